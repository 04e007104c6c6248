# Cross-compiles for 64-bit Windows with Debian's mingw-w64 in its POSIX
# threads flavour (g++-mingw-w64-x86-64-posix); the win32 flavour has no
# std::thread. Used for the Qt build itself, and for Tallyroot as the file
# that Qt's qt.toolchain.cmake chainloads (scripts/windows.sh).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TALLYROOT_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TALLYROOT_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TALLYROOT_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TALLYROOT_MINGW_TRIPLET}-windres)

# Libraries and headers come from the mingw sysroot (and the prefixes that
# Qt's toolchain file adds), programs from the build machine.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${TALLYROOT_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
