#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors and
# runs every test (GUI tests headless). Fails first on code that
# scripts/format.sh would change.
#   scripts/test.sh              the normal build, in build-test/
#   scripts/test.sh --sanitize   the same under AddressSanitizer and
#                                UndefinedBehaviorSanitizer, in build-asan/
#   scripts/test.sh --threads    the walker's tests (the only code that runs
#                                threads) under ThreadSanitizer, in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/format.sh --check

dir=build-test
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-asan
  flags=(-DCMAKE_BUILD_TYPE=Debug -DTALLYROOT_SANITIZE=address,undefined -DTALLYROOT_BENCH=OFF)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
targets=()
only=()
if [ "${1:-}" = "--threads" ]; then
  dir=build-tsan
  flags=(-DCMAKE_BUILD_TYPE=Debug -DTALLYROOT_SANITIZE=thread -DTALLYROOT_BENCH=OFF)
  targets=(--target walker_test read_ahead_test)
  only=(-R '^(walker_test|read_ahead_test)$')
  # Helper threads outlive walks, so tests that fork do so in a process with
  # threads; the child starts helpers of its own, which TSan allows only so.
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:die_after_fork=0
fi

cmake -S . -B "$dir" -DTALLYROOT_WERROR=ON "${flags[@]}" >/dev/null
cmake --build "$dir" --parallel "$(nproc)" "${targets[@]}"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$dir" --output-on-failure --timeout 600 "${only[@]}"
