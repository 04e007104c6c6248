#!/usr/bin/env bash
# Tallyroot's first load on a share just mounted, as people meet a network
# share or a cloud drive: a fresh slowfs mount for every timed run of every
# tool, so that the kernel knows none of its names. Against the floor (an
# unordered walk with 64 threads, one folder per thread), du, ncdu and gdu,
# in one run; each figure is the median of the runs and its ratio to the
# floor's, and the median of each run's ratio to the floor in that run
# (paired). Trees of 10,000 files with 8, 20, 40 and 200 files a folder, and
# one flat folder of 2,000 files, behind mounts that answer every request
# after 1, 5 and 20 ms. du, ncdu and gdu read one name at a time and take
# minutes at 5 and 20 ms: they run at 1 ms only, unless --all-tools.
# --warm-mount adds the figures after one walk of the floor through the
# mount, which the kernel then knows (labelled so). --before BUILD adds
# another build of Tallyroot (its build folder, window_bench built).
# --no-other-tools leaves du, ncdu and gdu out at every delay. --stalls also
# watches how long the whole machine stood still (storage_lib.sh).
#   bench/fresh_share_bench.sh [--runs N] [--delays "1 5 20"]
#                              [--shapes "8 20 40 200 flat"] [--all-tools]
#                              [--no-other-tools] [--warm-mount] [--before BUILD]
#                              [--stalls]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${TALLYROOT_BENCH_BUILD:-$repo/build-bench}
runs=3 delays="1 5 20" shapes="8 20 40 200 flat" allTools=false otherTools=true warmMount=false
before="" watchStalls=""
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --delays) delays=$2; shift 2 ;;
    --shapes) shapes=$2; shift 2 ;;
    --all-tools) allTools=true; shift ;;
    --no-other-tools) otherTools=false; shift ;;
    --warm-mount) warmMount=true; shift ;;
    --before) before=$(cd "$2" && pwd); shift 2 ;;
    --stalls) watchStalls=--stalls; shift ;;
    *) echo "usage: $0 [--runs N] [--delays LIST] [--shapes LIST] [--all-tools] [--no-other-tools] [--warm-mount] [--before BUILD] [--stalls]" >&2
       exit 2 ;;
  esac
done

"$repo/scripts/setup.sh" ncdu gdu || echo "could not install ncdu and gdu; their rows are left out"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTALLYROOT_TESTS=OFF >/dev/null
cmake --build "$build" --parallel 2 --target make_tree window_bench floor_walk slowfs >/dev/null
bin=$build/bench
slowfs=$build/tools/slowfs/slowfs
source "$repo/bench/trees.sh"
source "$repo/bench/storage_lib.sh"
export QT_QPA_PLATFORM=offscreen
echo "load average $(cut -d' ' -f1 /proc/loadavg) on $(nproc) cores; $runs runs each"

# The tree of a shape, made once.
treeOf() {
  local root=/tmp/tallyroot-bench-share-$1
  if [ "$1" = flat ]; then
    make_tree "$root" --flat 2000 >&2
  else
    make_tree "$root" --files 10000 --folders $((10000 / $1)) >&2
  fi
  echo "$root"
}

tools() {
  local delay=$1
  echo "Tallyroot first load|$bin/window_bench"
  [ -n "$before" ] && echo "Tallyroot before|$before/bench/window_bench"
  if $otherTools && { [ "$delay" = 1 ] || $allTools; }; then
    echo "du -sb|du -sb"
    command -v ncdu >/dev/null && echo "ncdu -0 -o /dev/null|ncdu -0 -o /dev/null"
    command -v gdu >/dev/null && echo "gdu -n -p|gdu -n -p"
  fi
  echo "floor_walk 64 threads|$bin/floor_walk --threads 64"
}

# row DELAY SHAPE FRESH: every tool once per run, in turns (storage_lib.sh),
# each on a mount of its own (FRESH true) or on one mount walked once by the
# floor first.
row() {
  local delay=$1 shape=$2 fresh=$3 source name command
  source=$(treeOf "$shape")
  local -a names commands
  local -A times
  local stretches="" stalls="" peaks=""
  while IFS='|' read -r name command; do names+=("$name") commands+=("$command"); done \
    < <(tools "$delay")
  $fresh || { mountSlow "$delay" "$source" && "$bin/floor_walk" --threads 64 "$mounted" >/dev/null; }
  local i
  for ((run = 0; run < runs; run++)); do
    for i in $(turns ${#names[@]} $run); do
      if $fresh; then mountSlow "$delay" "$source" || return 1; fi
      timeTool "$i" "$mounted"
    done
  done
  unmount
  local floor m
  local floorTimes=${times[$((${#names[@]} - 1))]:-}
  floor=$(median <<<"$floorTimes")
  echo
  if $fresh; then
    echo "== $delay ms, $shape files a folder$([ "$shape" = flat ] && echo ' (one folder of 2,000)'), a fresh mount for every run =="
  else
    echo "== $delay ms, $shape files a folder, warm mount (after one floor walk) =="
  fi
  printf '  %-24s %10s %8s %8s   %s\n' tool median "/ floor" paired runs
  for i in "${!names[@]}"; do
    m=$(median <<<"${times[$i]:-}")
    if [ -z "$m" ]; then printf '  %-24s failed\n' "${names[i]}"; continue; fi
    printf '  %-24s %8.3f s %8.2f %8s   (%s )\n' "${names[i]}" "$m" "$(ratio "$m" "$floor")" \
      "$(pairedRatio "${times[$i]}" "$floorTimes")" \
      "${times[$i]}"
  done
  loadsLine
}

for delay in $delays; do
  for shape in $shapes; do
    row "$delay" "$shape" true
    if $warmMount; then row "$delay" "$shape" false; fi
  done
done
