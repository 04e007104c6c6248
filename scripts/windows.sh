#!/usr/bin/env bash
# Cross-builds a static tallyroot.exe for 64-bit Windows from Debian 12, and
# a zip of it (stripped) with the README and the licence:
#   build-windows/app/tallyroot.exe, build-windows/tallyroot-<version>-windows-x86_64.zip
#   scripts/windows.sh           installs what is missing, builds Qt once, builds Tallyroot
#   scripts/windows.sh --test    the same, then runs the cross-built tests under wine
#
# Qt for Windows is built once from Debian's own qt6-base source (the version
# of the Linux build, whose host tools the cross build uses) into
#   $TALLYROOT_QT_CACHE/qt6-mingw-<version>
# (by default in /var/cache/tallyroot, or ~/.cache/tallyroot when not run as
# root) and reused on later runs; runs that share the folder wait for each
# other there. That build takes about half an hour on two idle cores and over
# an hour on busy ones, so it runs under nice with QT_JOBS (2) jobs; its log
# is qt-build.log in that folder. It counts as complete only once its marker
# file exists, so a broken one is started again.
#
# Each phase's time is printed as it ends, and all of them at the end, so a
# fresh machine's run (CI's first one) can be held against CI's time limit.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

test=false
case "${1:-}" in
  --test) test=true ;;
  "") ;;
  *) echo "usage: scripts/windows.sh [--test]" >&2; exit 2 ;;
esac

phase_times=()
phase_start=$SECONDS
phase_done() {
  local took=$((SECONDS - phase_start))
  phase_times+=("$(printf '%-12s %3dm%02ds' "$1" $((took / 60)) $((took % 60)))")
  echo "windows.sh: ${phase_times[-1]}"
  phase_start=$SECONDS
}

scripts/setup.sh g++-mingw-w64-x86-64-posix wine wine64 fonts-wine qt6-base-dev-tools \
  ninja-build dpkg-dev zip googletest
phase_done packages

qt_version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools)  # e.g. 6.4.2+dfsg-10
qt_upstream=${qt_version%%+*}
default_cache=/var/cache/tallyroot
[ "$(id -u)" -ne 0 ] && default_cache=${XDG_CACHE_HOME:-$HOME/.cache}/tallyroot
cache=${TALLYROOT_QT_CACHE:-$default_cache}
qt=$cache/qt6-mingw-$qt_upstream
marker=$qt/.complete-$qt_version
toolchain=$repo/cmake/mingw-w64-x86_64.cmake

build_qt() {
  local work=$cache/qt6-mingw-work
  rm -rf "$work" "$qt"
  mkdir -p "$work/sources.list.d" "$work/lists/partial" "$work/cache/archives/partial"

  # Source packages are enabled in a copy of the machine's apt sources, with
  # its own package lists, so the machine's configuration stays as it is.
  local list
  for list in /etc/apt/sources.list.d/*.sources; do
    [ -e "$list" ] || continue
    sed 's/^Types:.*/Types: deb deb-src/' "$list" >"$work/sources.list.d/$(basename "$list")"
  done
  touch "$work/sources.list"
  if [ -s /etc/apt/sources.list ]; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$work/sources.list"
  fi
  local apt=(-o "Dir::Etc::SourceList=$work/sources.list"
    -o "Dir::Etc::SourceParts=$work/sources.list.d"
    -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache")
  apt-get "${apt[@]}" update -qq
  (cd "$work" && apt-get "${apt[@]}" source -qq "qt6-base=$qt_version")

  local source
  source=$(find "$work" -maxdepth 1 -type d -name "qt6-base-*" | head -n1)
  # OpenGL stays on (dynamic): the Windows platform plugin of this version does
  # not compile without it. Tablet events are off because the Debian source
  # leaves out the Wintab header they need.
  cmake -S "$source" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$qt" \
    -DBUILD_SHARED_LIBS=OFF \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
    -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF \
    -DFEATURE_xml=OFF -DFEATURE_concurrent=OFF \
    -DFEATURE_tabletevent=OFF \
    -DINPUT_opengl=dynamic -DFEATURE_opengl_dynamic=ON
  nice -n 19 cmake --build "$work/build" --parallel "${QT_JOBS:-2}"
  cmake --install "$work/build"
  touch "$marker"
  rm -rf "$work"
}

mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
if [ ! -e "$marker" ]; then
  echo "Building Qt $qt_upstream for Windows into $qt (log: $cache/qt-build.log)"
  start=$SECONDS
  if ! build_qt >"$cache/qt-build.log" 2>&1; then
    tail -n 40 "$cache/qt-build.log" >&2
    echo "The Qt build failed; the log is $cache/qt-build.log" >&2
    exit 1
  fi
  echo "Qt built in $(((SECONDS - start) / 60)) minutes; it takes $(du -sh "$qt" | cut -f1)"
fi
phase_done Qt

# GoogleTest for the cross-built tests, from Debian's source of it, once.
gtest=$cache/googletest-mingw
if $test && [ ! -e "$gtest/.complete" ]; then
  rm -rf "$gtest" "$cache/googletest-mingw-build"
  cmake -S /usr/src/googletest -B "$cache/googletest-mingw-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$gtest" -DBUILD_GMOCK=OFF >/dev/null
  nice -n 19 cmake --build "$cache/googletest-mingw-build" --parallel "${QT_JOBS:-2}" >/dev/null
  cmake --install "$cache/googletest-mingw-build" >/dev/null
  rm -rf "$cache/googletest-mingw-build"
  touch "$gtest/.complete"
fi
flock -u 9
$test && phase_done googletest

# The licence notices of the code linked in besides Tallyroot's own, to stdout:
# Debian's copyright files of the sources it came from, each whole (qt6-base
# covers every file of Qt's source, the bundled libraries included; then the
# mingw-w64 runtime and GCC's runtime libraries). Which third-party code the
# link took is read from the linker's map `$1`; the run fails if any of it,
# or a bundled library this list does not know, has no part of the notices.
write_notices() {
  local map=$1 qt_copyright=/usr/share/doc/qt6-base-dev-tools/copyright
  local mingw_copyright=/usr/share/doc/mingw-w64-x86-64-dev/copyright
  local gcc_copyright=/usr/share/doc/gcc-mingw-w64-base/copyright
  # The archive (member) the map names : what it is : the notices' text for it.
  local parts=(
    "libQt6Core.a(:Qt $qt_upstream (Core, Gui, Widgets and the plugins linked in):Files: *"
    "libQt6BundledFreetype.a(:FreeType:Files: src/3rdparty/freetype/*"
    "libQt6BundledHarfbuzz.a(:HarfBuzz:Files: src/3rdparty/harfbuzz-ng/*"
    "libQt6BundledLibjpeg.a(:libjpeg-turbo:Files: src/3rdparty/libjpeg/src/*"
    "libQt6BundledLibpng.a(:libpng:Files: src/3rdparty/libpng/*.c"
    "libQt6BundledPcre2.a(:PCRE2:Files: src/3rdparty/pcre2/src/*"
    "libQt6BundledZLIB.a(:zlib:src/3rdparty/zlib/src/*"
    "(bignum.cc.obj):double-conversion:Files: src/3rdparty/double-conversion/*"
    "(md4c.c.obj):MD4C:Files: src/3rdparty/md4c/*"
    "pthread.a(:mingw-w64 winpthreads:Files: mingw-w64-libraries/winpthreads/*"
    "libmingwex.a(:mingw-w64 runtime:Files: mingw-w64-crt/crt/*"
    "libstdc++.a(:GCC's libstdc++ and libgcc:GCC RUNTIME LIBRARY EXCEPTION"
  )
  local all_text known part linked=() missing=() member rest name text
  all_text=$(cat "$qt_copyright" "$mingw_copyright" "$gcc_copyright")
  known=$(printf '%s\n' "${parts[@]}")
  for part in "${parts[@]}"; do
    member=${part%%:*} rest=${part#*:}
    name=${rest%%:*} text=${rest#*:}
    grep -qF "$member" "$map" || continue
    linked+=("$name")
    grep -qF "$text" <<<"$all_text" || missing+=("$name")
  done
  for member in $(grep -o 'libQt6Bundled[A-Za-z0-9]*\.a(' "$map" | sort -u); do
    grep -qF "$member" <<<"$known" || missing+=("${member%(}")
  done
  if [ ${#missing[@]} -gt 0 ] || [ ${#linked[@]} -lt 3 ]; then
    echo "no licence notice for: ${missing[*]:-(the map lists too little: ${linked[*]:-nothing})}" >&2
    return 1
  fi
  echo "Third-party notices for tallyroot.exe"
  echo
  echo "Tallyroot itself is licensed GPL-3.0-or-later (LICENSE). The program is"
  echo "linked statically with the following, whose licence texts follow:"
  printf '  - %s\n' "${linked[@]}"
  echo
  echo "They are Debian's copyright files of the sources these were built from:"
  echo "qt6-base $qt_version, mingw-w64 and gcc-mingw-w64."
  local file
  for file in "$qt_copyright" "$mingw_copyright" "$gcc_copyright"; do
    printf '\n%s\n%s\n\n' "================================================================" "$file"
    cat "$file"
  done
}

# What Windows shows of the program besides its window must be in the exe
# `$1`: among its resources an icon and its group (types 3 and 14), a
# version block (16) with the version `$2` and the licence, and a manifest
# (24) that asks for no elevation, names Windows 10/11 and is per-monitor
# (v2) DPI aware as Qt is. Fails naming what is missing.
check_resources() {
  local exe=$1 version=$2 types texts missing=() part
  types=$(x86_64-w64-mingw32-objdump -p "$exe" |
    sed -n '/The .rsrc Resource Directory section/,$p' |
    sed -nE 's/^[0-9a-f]+   Entry: ID: (0x[0-9a-f]+),.*/\1/p')
  for part in 0x000003:icon 0x00000e:icon-group 0x000010:version-block 0x000018:manifest; do
    grep -qx "${part%%:*}" <<<"$types" || missing+=("${part#*:}")
  done
  texts=$(x86_64-w64-mingw32-strings -el "$exe")
  for part in "$version" GPL-3.0-or-later Tallyroot; do
    grep -qx "$part" <<<"$texts" || missing+=("version text $part")
  done
  for part in 'level="asInvoker"' '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}' '>PerMonitorV2<'; do
    grep -qF "$part" "$exe" || missing+=("manifest $part")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "tallyroot.exe lacks: ${missing[*]}" >&2
    return 1
  fi
}

# Linked -static: otherwise the program needs the mingw runtime DLLs beside it.
build=build-windows
tests=OFF
$test && tests=ON
cmake -S . -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$qt/lib/cmake/Qt6/qt.toolchain.cmake" \
  -DQT_CHAINLOAD_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_EXE_LINKER_FLAGS=-static \
  -DTALLYROOT_WERROR=ON -DTALLYROOT_BENCH=OFF -DTALLYROOT_TESTS=$tests \
  -DGTest_DIR="$gtest/lib/cmake/GTest" \
  -DCMAKE_CROSSCOMPILING_EMULATOR=wine >/dev/null
cmake --build "$build" --parallel "${QT_JOBS:-2}"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
zip=tallyroot-$version-windows-x86_64.zip
package=$build/package
rm -rf "$package" "$build/$zip"
mkdir -p "$package"
x86_64-w64-mingw32-strip -o "$package/tallyroot.exe" "$build/app/tallyroot.exe"
check_resources "$package/tallyroot.exe" "$version"
cp README.md LICENSE "$package/"
write_notices "$build/app/tallyroot.exe.map" >"$package/THIRD-PARTY-NOTICES.txt"
(cd "$package" && zip -q -9 "../$zip" tallyroot.exe README.md LICENSE THIRD-PARTY-NOTICES.txt)
ls -l "$build/$zip"
phase_done "cross build"

if $test; then
  # A wine prefix of its own, made once beside the Qt build (it holds 700 MB
  # of Windows DLLs); no Mono or Gecko installer is offered.
  export WINEPREFIX=$cache/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  # Wine hands no QT_ variable to a Windows program; with WINE before it, the
  # program gets it without that prefix. Headless, then: Qt's offscreen platform.
  export WINEQT_QPA_PLATFORM=offscreen
  wineboot --init >/dev/null 2>&1 || true
  # Windows' dialog font "MS Shell Dlg" stands for Tahoma, which Debian's
  # wine keeps in fonts-wine but puts into no prefix. Without it Qt takes the
  # first family it finds (DejaVu Math TeX Gyre), whose line is four times
  # the font's height: a line edit centres that line and paints its text
  # above the box.
  cp -u /usr/share/wine/fonts/tahoma*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  wineserver --wait
  phase_done "wine prefix"

  # A share that answers every request after half a second, for the test that
  # the window's thread never waits on one: a slowfs mount of a small tree,
  # made on the Linux side, which wine shows under Z:. slowfs is built for
  # Linux once; where FUSE cannot mount, that test skips and says so.
  host=build-windows-host
  cmake -S . -B "$host" -DCMAKE_BUILD_TYPE=Release -DTALLYROOT_TESTS=OFF -DTALLYROOT_BENCH=ON >/dev/null
  cmake --build "$host" --parallel "${QT_JOBS:-2}" --target slowfs >/dev/null
  share_source=$(mktemp -d /tmp/tallyroot-share-source-XXXXXX)
  share=$(mktemp -d /tmp/tallyroot-share-XXXXXX)
  unmount_share() {
    umount -l "$share" 2>/dev/null || fusermount3 -uz "$share" 2>/dev/null || true
    rmdir "$share" 2>/dev/null || true
    rm -rf "$share_source"
  }
  trap unmount_share EXIT
  for folder in a a/b c; do
    mkdir -p "$share_source/$folder"
    for file in 1 2 3; do head -c $((file * 1000)) /dev/zero >"$share_source/$folder/f$file"; done
  done
  if "$host/tools/slowfs/slowfs" --delay-ms 500 "$share_source" "$share" 2>/dev/null; then
    export TALLYROOT_SLOW_SHARE="Z:${share//\//\\}"
  else
    echo "windows.sh: slowfs could not mount; the test on a slow share skips"
  fi
  phase_done "slow share"
  tests_passed=true
  ctest --test-dir "$build" --output-on-failure --timeout 600 || tests_passed=false
  phase_done tests
fi
printf 'windows.sh: phase times\n'
printf '  %s\n' "${phase_times[@]}"
[ "${tests_passed:-true}" = true ]
