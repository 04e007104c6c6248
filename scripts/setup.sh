#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, and
# only those that are missing, and any named as arguments. Uses sudo when not
# run as root.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  clang-format            # the style check
  qt6-base-dev            # Qt 6 Widgets, Test
  libgtest-dev            # GoogleTest
  strace                  # the read-only check
  clang libclang-rt-14-dev  # the fuzzer
  desktop-file-utils appstream  # validating the desktop entry and metainfo
  file                    # CPack finds the Debian package's binaries with it
  libfuse3-dev fuse3      # slowfs, the slow storage the tests and benchmarks mount
)
packages+=("$@")          # what a caller needs besides

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
