# Manual pages, desktop launchers and the Debian package.
install(FILES data/man/rectsketch.1 data/man/framefilter.1 data/man/feedview.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES data/applications/rectsketch.desktop data/applications/framefilter.desktop
              data/applications/feedview.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME cvtrio)
set(CPACK_PACKAGE_CONTACT "cvtrio developers <dev@cvtrio.local>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "rectsketch, framefilter and feedview: small OpenCV desktop programs")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
# The dependencies are read off the libraries the programs link: Debian's OpenCV runtime
# packages and the C++ runtime. Xlib is looked up at run time, where the toolkit that draws on X
# brought it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Debian's OpenCV draws its windows with Qt 5, which needs its Wayland plugin to draw on a Wayland
# desktop that has no XWayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qtwayland5)
# Only the programs and their data go into the package, not the test harness or benchmarks.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};Unspecified;/")
include(CPack)
