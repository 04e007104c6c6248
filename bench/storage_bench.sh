#!/usr/bin/env bash
# Tallyroot's first load against the bare loop, du, ncdu, gdu and the floor (an
# unordered walk with many threads) on storage that makes people wait, in one
# run; each figure is the median of the runs, with its ratio to du and to the
# floor, and the median of each run's ratio to the floor in that run (paired).
#   cold   the default tree (500,000 files in 20,000 folders), the page cache
#          dropped before every timed run of every tool (root only)
#   names  the same with only the page cache dropped: the kernel still knows
#          every name and inode, but each folder's listing is read anew
#   fuse   10,000 files in 500 folders behind a slowfs mount that answers
#          every request after 1 ms and lets the kernel cache nothing
#   warm   the default tree with the page cache warm
#   close  the window closed during a first load on the 10,000 files behind
#          a 1 ms and a 20 ms mount: time from the click on its close button
#          to the exit
# For Tallyroot also the longest stretch without event handling in the
# window's thread (worst run) and the peak resident memory (highest run).
# Tallyroot's figure is the load as window_bench --once times it (the window
# already shown); every other tool is timed from outside, process start
# included. --before BUILD adds a row for another build of Tallyroot (its
# build folder, with window_bench built), timed in turns with the rest, so
# that a change is measured before and after in one run. --stalls also
# watches how long the whole machine stood still (storage_lib.sh).
#   bench/storage_bench.sh [--only cold|names|fuse|warm|close] [--runs N]
#                          [--close-after-ms M] [--before BUILD] [--stalls]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${TALLYROOT_BENCH_BUILD:-$repo/build-bench}
only="" runs=3 closeAfter=300 before="" watchStalls=""
while [ $# -gt 0 ]; do
  case $1 in
    --only) only=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --close-after-ms) closeAfter=$2; shift 2 ;;
    --before) before=$(cd "$2" && pwd); shift 2 ;;
    --stalls) watchStalls=--stalls; shift ;;
    *) echo "usage: $0 [--only cold|names|fuse|warm|close] [--runs N] [--close-after-ms M] [--before BUILD] [--stalls]" >&2; exit 2 ;;
  esac
done
part() { [ -z "$only" ] || [ "$only" = "$1" ]; }

"$repo/scripts/setup.sh" ncdu gdu || echo "could not install ncdu and gdu; their rows are left out"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTALLYROOT_TESTS=OFF >/dev/null
cmake --build "$build" --parallel 2 --target make_tree walk_bench window_bench floor_walk slowfs
bin=$build/bench
slowfs=$build/tools/slowfs/slowfs
source "$repo/bench/trees.sh"
source "$repo/bench/storage_lib.sh"
big=/tmp/tallyroot-bench-500k small=/tmp/tallyroot-bench-10k
if part cold || part names || part warm; then make_tree "$big"; fi
if part fuse || part close; then make_tree "$small" --files 10000 --folders 500; fi
export QT_QPA_PLATFORM=offscreen
echo "load average $(cut -d' ' -f1 /proc/loadavg) on $(nproc) cores; $runs runs each"

dropCaches=false dropWhat=3  # 3: all the kernel caches of files; 1: the page cache alone
drop() { if $dropCaches; then sync && echo "$dropWhat" >/proc/sys/vm/drop_caches; fi; }

# The tools of a row: a name, then the command, which takes the root last.
tools() {
  echo "Tallyroot first load|$bin/window_bench"
  [ -n "$before" ] && echo "Tallyroot before|$before/bench/window_bench"
  echo "bare loop|$bin/walk_bench --profile-bare --once"
  echo "du -sb|du -sb"
  command -v ncdu >/dev/null && echo "ncdu -0 -o /dev/null|ncdu -0 -o /dev/null"
  command -v gdu >/dev/null && echo "gdu -n -p|gdu -n -p"
  for threads in "$@"; do echo "floor_walk $threads threads|$bin/floor_walk --threads $threads"; done
}

# row TITLE ROOT FLOOR_THREADS...: every tool once per run, in turns, then the
# table. The floor of the ratios is the last floor_walk given.
row() {
  local title=$1 root=$2
  shift 2
  local -a names commands
  local -A times
  local stretches="" stalls="" peaks="" name command
  while IFS='|' read -r name command; do names+=("$name") commands+=("$command"); done \
    < <(tools "$@")
  local i
  for ((run = 0; run < runs; run++)); do
    for i in $(turns ${#names[@]} $run); do
      drop
      timeTool "$i" "$root"
    done
  done
  local du floor at
  for at in "${!names[@]}"; do [ "${names[at]}" = "du -sb" ] && du=$(median <<<"${times[$at]:-}"); done
  local floorTimes=${times[$((${#names[@]} - 1))]:-}
  floor=$(median <<<"$floorTimes")
  echo
  echo "== $title =="
  printf '  %-24s %10s %8s %8s %8s   %s\n' tool median "/ du" "/ floor" paired runs
  for i in "${!names[@]}"; do
    local m
    m=$(median <<<"${times[$i]:-}")
    if [ -z "$m" ]; then printf '  %-24s failed\n' "${names[i]}"; continue; fi
    printf '  %-24s %8.3f s %8.2f %8.2f %8s   (%s )\n' "${names[i]}" "$m" \
      "$(ratio "$m" "$du")" "$(ratio "$m" "$floor")" \
      "$(pairedRatio "${times[$i]}" "$floorTimes")" \
      "${times[$i]}"
  done
  if ! command -v ncdu >/dev/null; then echo "  ncdu: not available"; fi
  if ! command -v gdu >/dev/null; then echo "  gdu: not available"; fi
  if [ -n "$stretches" ]; then
    loadsLine
  fi
}

# closing DELAY_MS WINDOW_BENCH LABEL: the window closed $closeAfter ms into a
# first load, as a click on its close button then; the time from the click
# until the process has ended, seen from outside, and how late the window
# took the click.
closing() {
  local delay=$1 windowBench=$2 label=$3 exits="" handled="" late="" out end asked
  for ((run = 0; run < runs; run++)); do
    out=$(timeout 120 "$windowBench" "$mounted" --close-after-ms "$closeAfter" 2>/dev/null |
      grep '^close asked at') || true
    end=$(now)
    asked=$(awk '{ print $4 }' <<<"$out")
    if [ -z "$asked" ]; then exits+=" 120" late+=" (killed after 120 s)"; continue; fi
    exits+=" $(seconds $((end - asked)))"
    handled+=" $(awk '{ print $10 }' <<<"$out")"
    if grep -q "after the load had ended" <<<"$out"; then late+=" (a load ended before the close)"; fi
  done
  printf '  %s, %2s ms mount: exit %.3f s after the click (median; runs:%s), the click taken up to %.3f s late%s\n' \
    "$label" "$delay" "$(median <<<"$exits")" "$exits" "$(highest <<<"$handled")" "$late"
}

if part cold || part names; then
  if [ "$(id -u)" -eq 0 ] && (sync && echo 3 >/proc/sys/vm/drop_caches) 2>/dev/null; then
    dropCaches=true
    if part cold; then row "cold: $big, page cache dropped before every run" "$big" 16; fi
    if part names; then
      "$bin/walk_bench" "$big" --profile-bare --once >/dev/null  # every name and inode known
      dropWhat=1
      row "names: $big, names and inodes known, listings dropped before every run" "$big" 16
    fi
    dropCaches=false
  else
    echo
    echo "== cold and names: left out: dropping the page cache needs root (and a writable /proc/sys/vm) =="
  fi
fi
if part fuse; then
  "$bin/walk_bench" "$small" --profile-bare --once >/dev/null  # slowfs's own source warm
  if mountSlow 1 "$small"; then
    # A fresh mount answers the first walk through it several times slower
    # (slowfs meets every inode for the first time); no tool should pay that.
    "$bin/floor_walk" "$mounted" --threads 64 >/dev/null
    row "fuse: $small behind a 1 ms slowfs mount" "$mounted" 16 64
  fi
  unmount
fi
if part warm; then
  "$bin/walk_bench" "$big" --profile-bare --once >/dev/null
  row "warm: $big" "$big" 16
fi
if part close; then
  echo
  echo "== close: the window closed $closeAfter ms into a first load of $small =="
  "$bin/walk_bench" "$small" --profile-bare --once >/dev/null
  for delay in 1 20; do
    if mountSlow "$delay" "$small"; then
      "$bin/floor_walk" "$mounted" --threads 64 >/dev/null  # past the fresh mount's first walk
      closing "$delay" "$bin/window_bench" Tallyroot
      if [ -n "$before" ]; then closing "$delay" "$before/bench/window_bench" "Tallyroot before"; fi
    fi
    unmount
  done
fi
