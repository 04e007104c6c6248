#!/usr/bin/env bash
# Installs the Debian package into a clean Debian 12 (a minimal debootstrap
# in a temporary folder) with apt, as a user would, and checks that apt finds
# everything the program needs and that the installed program starts.
#   tests/clean_install.sh
# Needs root (debootstrap, chroot) and Debian's mirror; says why and exits 0
# without testing where either is missing. Builds the package with
# scripts/package.sh first.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "clean install: SKIPPED (needs root for debootstrap and chroot)"
  exit 0
fi
scripts/setup.sh debootstrap
scripts/package.sh >/dev/null
package=$(ls build-pkg/tallyroot_*.deb | tail -n 1)

root=$(mktemp -d /tmp/tallyroot-clean-XXXXXX)
cleanup() {
  umount "$root/proc" 2>/dev/null || true
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
fail() { echo "clean install: FAIL: $*" >&2; exit 1; }

if ! debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian >"$root.log" 2>&1; then
  tail -n 5 "$root.log"
  rm -f "$root.log"
  echo "clean install: SKIPPED (debootstrap could not fetch Debian 12)"
  exit 0
fi
rm -f "$root.log"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$package" "$root/tmp/"
mount -t proc proc "$root/proc"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"; }

log=$root/tmp/apt.log
in_root apt-get update -qq >"$log" 2>&1 || { echo "clean install: SKIPPED (no package lists)"; exit 0; }
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "/tmp/$(basename "$package")" >"$log" 2>&1 ||
  { tail -n 20 "$log"; fail "apt could not install $(basename "$package")"; }

in_root test -x /usr/bin/tallyroot || fail "no /usr/bin/tallyroot"
missing=$(in_root ldd /usr/bin/tallyroot | grep 'not found' || true)
[ -z "$missing" ] || fail "libraries not installed: $missing"
# Qt loads its platform plugins at run time, so ldd of the program does not
# see them: the X11 one that a desktop needs must be there with its
# libraries, and the program must still be running after three seconds.
xcb=/usr/lib/x86_64-linux-gnu/qt6/plugins/platforms/libqxcb.so
in_root test -e "$xcb" || fail "no X11 platform plugin ($xcb)"
missing=$(in_root ldd "$xcb" | grep 'not found' || true)
[ -z "$missing" ] || fail "libraries of the X11 plugin not installed: $missing"
status=0
in_root env QT_QPA_PLATFORM=offscreen timeout 3 tallyroot >/dev/null 2>&1 || status=$?
[ "$status" -eq 124 ] || fail "the installed program ended with status $status within 3 s"
in_root env DEBIAN_FRONTEND=noninteractive apt-get remove -y -q tallyroot >"$log" 2>&1 ||
  { tail -n 20 "$log"; fail "apt could not remove it"; }
in_root test ! -e /usr/bin/tallyroot || fail "/usr/bin/tallyroot is left after removal"
echo "clean install: passed ($(basename "$package") on Debian 12 with its dependencies from apt)"
