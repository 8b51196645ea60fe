#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine, runs each installed program's
# failure paths, checks the manual pages and launchers, and removes the package again.
# Usage: package_test.sh BUILD_DIR. Needs root; exits 77 (skipped) otherwise.
set -euo pipefail
build_dir=$1

if [ "$(id -u)" -ne 0 ]; then
  echo "package test: needs root to install the package; skipped"
  exit 77
fi
if dpkg-query -W -f='${Status}' cvtrio 2>/dev/null | grep -q 'install ok installed'; then
  echo "package test: cvtrio is installed already; not touching it; skipped"
  exit 77
fi

work=$(mktemp -d)
trap 'apt-get remove -y -qq cvtrio >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
failures=0
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
# expect_failure STATUS COMMAND...: the command fails with STATUS and one line on standard error.
expect_failure() {
  local want=$1; shift
  local status=0
  "$@" >"$work/out" 2>"$work/err" </dev/null || status=$?
  [ "$status" -eq "$want" ] && [ "$(wc -l <"$work/err")" -eq 1 ] && [ ! -s "$work/out" ] \
    || { echo "  $*: status $status, stderr:"; cat "$work/err"; return 1; }
}

(cd "$work" && cpack --config "$build_dir/CPackConfig.cmake" -B "$work" >/dev/null)
deb=$(ls "$work"/cvtrio_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
check "depends on Debian's OpenCV runtime" grep -q 'libopencv-highgui' <<<"$depends"
check "depends on the video reader" grep -q 'libopencv-videoio' <<<"$depends"

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
check "installed" dpkg-query -W cvtrio
for program in rectsketch framefilter feedview; do
  check "$program in /usr/bin" test -x /usr/bin/$program
  check "$program manual page renders" bash -c "man -l /usr/share/man/man1/$program.1* | grep -q $program"
  check "$program launcher is valid" desktop-file-validate /usr/share/applications/$program.desktop
  # An existing file as the argument, so framefilter gets as far as looking for the displays.
  check "$program without a display" expect_failure 1 env -u DISPLAY -u QT_QPA_PLATFORM -u GDK_BACKEND WAYLAND_DISPLAY=cvtrio-none /usr/bin/$program "$0"
done
check "framefilter launcher opens files" grep -q '^Exec=framefilter %f' /usr/share/applications/framefilter.desktop
check "framefilter without an argument" expect_failure 2 env -u DISPLAY /usr/bin/framefilter
check "framefilter on a missing file" expect_failure 1 /usr/bin/framefilter "$work/no such video.avi"

DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq cvtrio >/dev/null
check "removed" bash -c '! dpkg-query -W -f="\${Status}" cvtrio 2>/dev/null | grep -q "install ok installed"'
for program in rectsketch framefilter feedview; do
  check "$program gone" test ! -e /usr/bin/$program
done
[ "$failures" -eq 0 ]
