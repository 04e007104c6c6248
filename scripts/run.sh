#!/usr/bin/env bash
# Installs what is missing, builds Tallyroot and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTALLYROOT_TESTS=OFF -DTALLYROOT_BENCH=OFF >/dev/null
cmake --build build --parallel "$(nproc)" --target tallyroot
exec build/app/tallyroot "$@"
