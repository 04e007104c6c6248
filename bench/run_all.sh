#!/usr/bin/env bash
# Builds the benchmarks in build-bench/, makes the benchmark trees under /tmp
# when they are missing, and runs every benchmark on them (the walker, the
# listing, the window, read-ahead), then the soak run on the default tree,
# then a chain of 100,000 nested folders (deep_chain_bench), then the storage
# benchmark (bench/storage_bench.sh).
#   bench/run_all.sh           the default tree (500,000 files in 20,000 folders)
#   bench/run_all.sh --large   also a tree twice that size and one flat folder
#                              of 200,000 files
# Figures are only worth quoting from a quiet machine: every benchmark prints
# the load average and warns when it is high.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${TALLYROOT_BENCH_BUILD:-$repo/build-bench}
large=false
[ "${1:-}" = "--large" ] && large=true

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTALLYROOT_TESTS=OFF >/dev/null
cmake --build "$build" --parallel 2 --target make_tree walk_bench listing_bench window_bench read_ahead_bench \
  soak_bench deep_chain_bench
bin=$build/bench

source "$repo/bench/trees.sh"

trees=(/tmp/tallyroot-bench-500k)
make_tree /tmp/tallyroot-bench-500k
if $large; then
  make_tree /tmp/tallyroot-bench-1m --files 1000000 --folders 40000
  make_tree /tmp/tallyroot-bench-flat200k --flat 200000
  trees+=(/tmp/tallyroot-bench-1m /tmp/tallyroot-bench-flat200k)
fi

for tree in "${trees[@]}"; do
  echo
  "$bin/walk_bench" "$tree"
  echo
  "$bin/listing_bench" "$tree"
  echo
  "$bin/window_bench" "$tree"
  echo
  "$bin/read_ahead_bench" "$tree"
done
echo
"$bin/soak_bench" /tmp/tallyroot-bench-500k
echo
"$bin/deep_chain_bench" || true  # its ratio is printed; a missed target does not stop the run
echo
"$repo/bench/storage_bench.sh"
