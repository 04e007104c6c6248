#!/usr/bin/env bash
# Installs what is missing, builds Tallyroot as a release and packs it into a
# Debian package: build-pkg/tallyroot_<version>_<arch>.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# TALLYROOT_SCREENSHOT_URL, when set, is where the README's screenshot is
# published; the package's software-centre description then shows it.
cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DTALLYROOT_TESTS=OFF -DTALLYROOT_BENCH=OFF \
  "-DTALLYROOT_SCREENSHOT_URL=${TALLYROOT_SCREENSHOT_URL:-}" >/dev/null
cmake --build build-pkg --parallel "$(nproc)"
(cd build-pkg && cpack -G DEB)
ls build-pkg/tallyroot_*.deb
