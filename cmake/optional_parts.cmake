# Whether the tests and the benchmarks are built. Each needs libraries that the programs do not:
# AUTO builds a part when all it needs is found and otherwise says in one status line which Debian
# packages would bring the rest; ON stops with that list; OFF looks for nothing.

# Sets <missing> to the Debian packages of what the tests need to build and was not found: the
# window harness talks to the X server (Xlib, XTest) and to a Wayland compositor's IPC (JSON).
function(cvtrio_missing_for_tests missing)
  set(packages)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    list(APPEND packages libgtest-dev)
  endif()
  find_package(X11 QUIET COMPONENTS Xtst)
  if(NOT X11_FOUND)
    list(APPEND packages libx11-dev)
  endif()
  if(NOT X11_Xtst_FOUND)
    list(APPEND packages libxtst-dev)
  endif()
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(cvtrio_wayland_client QUIET wayland-client)
  endif()
  # Without pkg-config nothing tells whether wayland-client is there; a machine without the one
  # most likely lacks the other too.
  if(NOT PKG_CONFIG_FOUND)
    list(APPEND packages pkg-config libwayland-dev)
  elseif(NOT cvtrio_wayland_client_FOUND)
    list(APPEND packages libwayland-dev)
  endif()
  find_package(nlohmann_json 3 QUIET)
  if(NOT nlohmann_json_FOUND)
    list(APPEND packages nlohmann-json3-dev)
  endif()
  set(${missing} ${packages} PARENT_SCOPE)
endfunction()

function(cvtrio_missing_for_bench missing)
  find_package(benchmark QUIET)
  set(packages)
  if(NOT benchmark_FOUND)
    set(packages libbenchmark-dev)
  endif()
  set(${missing} ${packages} PARENT_SCOPE)
endfunction()

# Settles CVTRIO_BUILD_<PART> (TESTS, BENCH) to ON or OFF, given the Debian packages <missing>
# that it still needs; <what> names the part in messages. An AUTO part left out adds its words to
# cvtrio_left_out.
macro(cvtrio_settle part what missing)
  string(REPLACE ";" " " cvtrio_missing_words "${missing}")
  if(CVTRIO_BUILD_${part} STREQUAL "AUTO")
    if(cvtrio_missing_words)
      set(CVTRIO_BUILD_${part} OFF)
      list(APPEND cvtrio_left_out "without ${what} (missing ${cvtrio_missing_words})")
    else()
      set(CVTRIO_BUILD_${part} ON)
    endif()
  elseif(CVTRIO_BUILD_${part} AND cvtrio_missing_words)
    message(FATAL_ERROR
            "CVTRIO_BUILD_${part} is ON, and ${what} need what these Debian packages bring: "
            "${cvtrio_missing_words}. Install them, or configure with -DCVTRIO_BUILD_${part}=AUTO "
            "(or OFF) to build the programs without ${what}.")
  endif()
endmacro()

set(cvtrio_left_out)
set(cvtrio_tests_missing)
set(cvtrio_bench_missing)
if(CVTRIO_BUILD_TESTS)
  cvtrio_missing_for_tests(cvtrio_tests_missing)
endif()
if(CVTRIO_BUILD_BENCH)
  cvtrio_missing_for_bench(cvtrio_bench_missing)
endif()
cvtrio_settle(TESTS "the tests" "${cvtrio_tests_missing}")
cvtrio_settle(BENCH "the benchmarks" "${cvtrio_bench_missing}")
if(cvtrio_left_out)
  list(JOIN cvtrio_left_out " and " cvtrio_left_out_words)
  message(STATUS "Building the programs ${cvtrio_left_out_words}")
endif()
