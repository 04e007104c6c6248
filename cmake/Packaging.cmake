# The Debian package: `cpack -G DEB` in a build folder (scripts/package.sh).
# It holds what `cmake --install` puts in place, under /usr.

set(TALLYROOT_PACKAGE_MAINTAINER "Tallyroot developers"
    CACHE STRING "The Debian package's Maintainer field: \"Name <address>\"")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tallyroot)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TALLYROOT_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Wrapped by hand: CPack copies the lines into the control file as they are.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Tallyroot lists a folder's files and subfolders with their sizes, their"
  "share of the folder and their share of the loaded root, so that one sees"
  "what fills a disk. A subfolder's size is the sum of every file below it."
  "Sizes are apparent sizes, symbolic links are not followed, and the file"
  "system is only ever read. The window's texts are German.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # tallyroot_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TALLYROOT_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the program links come from dpkg-shlibdeps. Qt loads its
# platform plugins at run time, which no library scan sees: the X11 one comes
# with libqt6gui6, and the Wayland one, without which Qt runs through
# XWayland, is recommended.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland)

# GPL-3.0-or-later, in Debian's machine-readable form, which points to the
# licence text that every Debian system has.
install(FILES ${PROJECT_SOURCE_DIR}/data/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tallyroot)

include(CPack)
