#!/usr/bin/env bash
# Installs a built tree into a temporary folder, as `cmake --install` does for
# a user, and checks that the desktop integration landed and holds together:
#   tests/packaging_test.sh BUILD_DIR APP_ID [SCREENSHOT_URL]
# Fails on the first fault. Where desktop-file-validate or appstreamcli is
# missing, runs everything else, says what was left out and exits 77 (skipped).
set -euo pipefail

build=$1
app_id=$2
screenshot_url=${3:-}
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
skipped=()

cmake --install "$build" --prefix "$stage/usr" >/dev/null
share=$stage/usr/share
program=$stage/usr/bin/tallyroot
entry=$share/applications/$app_id.desktop
metainfo=$share/metainfo/$app_id.metainfo.xml

[ -x "$program" ] || fail "no program at usr/bin/tallyroot"
[ -f "$entry" ] || fail "no desktop entry at usr/share/applications/$app_id.desktop"
[ -f "$metainfo" ] || fail "no metainfo at usr/share/metainfo/$app_id.metainfo.xml"

# The entry starts the installed program and names an icon that is installed
# in both forms.
key() { sed -n "s/^$1=//p" "$entry" | head -n 1; }
exec_line=$(key Exec)
[ "${exec_line%% *}" = tallyroot ] || fail "Exec=$exec_line does not start tallyroot"
icon=$(key Icon)
[ -n "$icon" ] || fail "the desktop entry names no icon"
svg=$share/icons/hicolor/scalable/apps/$icon.svg
png=$share/icons/hicolor/256x256/apps/$icon.png
[ -f "$svg" ] || fail "Icon=$icon, but no $icon.svg under hicolor/scalable/apps"
[ -f "$png" ] || fail "Icon=$icon, but no $icon.png under hicolor/256x256/apps"

# A PNG is as large as its folder says: width and height are the first two
# 32-bit big-endian words after the 16 bytes of signature and chunk header.
[ "$(head -c 8 "$png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] ||
  fail "$icon.png is not a PNG"
size=$(od -An -tu1 -j16 -N8 "$png" |
  awk '{ printf "%dx%d", (($1*256+$2)*256+$3)*256+$4, (($5*256+$6)*256+$7)*256+$8 }')
[ "$size" = 256x256 ] || fail "$icon.png is $size, not 256x256"

# The package and the metainfo both name the licence of LICENSE.
copyright=$share/doc/tallyroot/copyright
[ -f "$copyright" ] || fail "no copyright file at usr/share/doc/tallyroot/copyright"
grep -qx 'License: GPL-3.0+' "$copyright" || fail "the copyright file does not say GPL-3.0+"
grep -q '<project_license>GPL-3.0-or-later</project_license>' "$metainfo" ||
  fail "the metainfo's project_license is not GPL-3.0-or-later"

# The metainfo describes this entry.
grep -q "<id>$app_id</id>" "$metainfo" || fail "the metainfo's id is not $app_id"
grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
  fail "the metainfo does not launch $app_id.desktop"

# The screenshot is the one the build was given, and only that.
images=$(grep -c '<image>' "$metainfo" || true)
if [ -n "$screenshot_url" ]; then
  grep -qF "<image>$screenshot_url</image>" "$metainfo" || fail "the metainfo lacks the screenshot $screenshot_url"
  [ "$images" = 1 ] || fail "the metainfo has $images images, not 1"
else
  [ "$images" = 0 ] || fail "the metainfo has a screenshot the build was not given"
fi

# The program tells the desktop the same entry name (a Wayland shell finds
# the entry, and so the icon, by it). Qt keeps its string literals in UTF-16.
strings -e l "$program" | grep -qxF "$app_id" ||
  fail "the program does not name $app_id as its desktop entry"

# The installed program starts and is still running two seconds later.
status=0
QT_QPA_PLATFORM=offscreen timeout 2 "$program" >/dev/null 2>&1 || status=$?
[ "$status" -eq 124 ] || fail "the installed program ended with status $status within 2 s"

if command -v desktop-file-validate >/dev/null; then
  report=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate: $report"
  # Hints pass; warnings and errors do not.
  if grep -Eq ': (warning|error):' <<<"$report"; then fail "desktop-file-validate: $report"; fi
  [ -z "$report" ] || echo "$report"
  echo "desktop-file-validate: passed"
else
  skipped+=("desktop-file-validate (package desktop-file-utils)")
fi

if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net --no-color "$metainfo" || fail "appstreamcli validate"
  # The installed tree as a software centre reads it: metainfo, entry, icon.
  appstreamcli validate-tree --no-net --no-color "$stage" || fail "appstreamcli validate-tree"
else
  skipped+=("appstreamcli (package appstream)")
fi

if [ ${#skipped[@]} -gt 0 ]; then
  printf 'SKIPPED, not installed: %s\n' "${skipped[@]}"
  exit 77
fi
echo "packaging: passed"
