#!/usr/bin/env bash
# Installs what is missing, builds Tallyroot as a release and packs it into a
# Debian package: build-pkg/tallyroot_<version>_<arch>.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DTALLYROOT_TESTS=OFF -DTALLYROOT_BENCH=OFF >/dev/null
cmake --build build-pkg --parallel "$(nproc)"
(cd build-pkg && cpack -G DEB)
ls build-pkg/tallyroot_*.deb
