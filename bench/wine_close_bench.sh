#!/usr/bin/env bash
# The Windows program closed during a load, as a user would close it: under
# wine on an X display (Xvfb), the path typed into the path box, "load"
# pressed, and Alt+F4 after a few seconds; the time from the key until the
# window is gone from the screen, and until the process has ended (which
# under wine waits for any thread's file request in flight). Run on a local
# tree and on slowfs mounts of it (wine sees them under Z:), which answer
# each request after the delays given.
#   bench/wine_close_bench.sh EXE [--runs N] [--delays "1 5000"] [--after-ms M]
# EXE is a tallyroot.exe (scripts/windows.sh builds one); the wine prefix is
# the one windows.sh --test made. Needs xvfb and xdotool (installed here).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
exe=$(realpath "$1")
shift
runs=3 delays="1 5000" afterMs=3000
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --delays) delays=$2; shift 2 ;;
    --after-ms) afterMs=$2; shift 2 ;;
    *) echo "usage: $0 EXE [--runs N] [--delays LIST] [--after-ms M]" >&2; exit 2 ;;
  esac
done
"$repo/scripts/setup.sh" xvfb xdotool
build=${TALLYROOT_BENCH_BUILD:-$repo/build-bench}
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTALLYROOT_TESTS=OFF >/dev/null
cmake --build "$build" --parallel 2 --target make_tree slowfs >/dev/null
bin=$build/bench
slowfs=$build/tools/slowfs/slowfs
source "$repo/bench/trees.sh"
source "$repo/bench/storage_lib.sh"
small=/tmp/tallyroot-bench-10k
make_tree "$small" --files 10000 --folders 500

export WINEPREFIX=${WINEPREFIX:-/var/cache/tallyroot/wine} WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEQT_QPA_PLATFORM QT_QPA_PLATFORM
rm -f /tmp/.X97-lock
Xvfb :97 -screen 0 1280x800x24 >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=:97
cleanup() { kill "$xvfb" 2>/dev/null || true; wineserver -k 2>/dev/null || true; unmount; }
trap cleanup EXIT
sleep 1

# closeOnce FOLDER: seconds from Alt+F4 until no window shows, and until the
# process has ended ("gone/ended").
closeOnce() {
  local folder=$1 window pid start
  wine "$exe" >/dev/null 2>&1 &
  pid=$!
  for ((i = 0; i < 300; i++)); do
    window=$(xdotool search --name '^Tallyroot$' 2>/dev/null | head -n1) && [ -n "$window" ] && break
    sleep 0.1
  done
  [ -n "${window:-}" ] || { echo "no window" >&2; kill "$pid"; return 1; }
  sleep 1
  # No window manager runs: a click gives the path box the focus. Its text
  # is replaced, and "load" (at the right end of the same row) clicked.
  local X Y WIDTH HEIGHT SCREEN
  eval "$(xdotool getwindowgeometry --shell "$window")"
  xdotool mousemove $((X + 100)) $((Y + 25)) click 1
  xdotool key ctrl+a
  xdotool type --delay 5 "Z:${folder//\//\\}"
  xdotool mousemove $((X + WIDTH - 35)) $((Y + 25)) click 1
  sleep "$(awk -v ms="$afterMs" 'BEGIN { print ms / 1000 }')"
  start=$(now)
  xdotool key alt+F4
  local gone=""
  while [ -z "$gone" ] && kill -0 "$pid" 2>/dev/null; do
    xdotool search --onlyvisible --name '^Tallyroot$' >/dev/null 2>&1 || gone=$(($(now) - start))
    sleep 0.02
  done
  wait "$pid" || true
  local ended=$(($(now) - start))
  echo "$(seconds "${gone:-$ended}")/$(seconds "$ended")"
}

row() {
  local label=$1 folder=$2 times=""
  for ((run = 0; run < runs; run++)); do times+=" $(closeOnce "$folder")"; done
  local gone ended
  gone=$(tr ' ' '\n' <<<"$times" | cut -d/ -f1 | median)
  ended=$(tr ' ' '\n' <<<"$times" | cut -d/ -f2 | median)
  printf '  %-28s window gone %.3f s, process ended %.3f s after Alt+F4 (medians; runs gone/ended:%s)\n' \
    "$label" "$gone" "$ended" "$times"
}

echo "== $(basename "$exe"): Alt+F4 $afterMs ms into a load of $small =="
row "local tree" "$small"
for delay in $delays; do
  mountSlow "$delay" "$small"
  row "slowfs, $delay ms a request" "$mounted"
  unmount
done
