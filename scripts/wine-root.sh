#!/usr/bin/env bash
# Builds the Debian 13 root that holds Wine 10 (run with bwrap; see wine-exec.sh) into
# third_party/wine-root. Wine 10 runs the shipped 32-bit program in its WoW64 mode, with the
# i386 Windows modules taken from Debian's i386 libwine package (unpacked, not installed).
# Safe to run again: a finished root is only checked.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rootfs=${WINE_ROOT:-$root/third_party/wine-root}
stamp="$rootfs/.installer-wine-root-ready"
[ -f "$stamp" ] && exit 0

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
inside() { as_root bwrap --bind "$rootfs" / --dev /dev --proc /proc --ro-bind /etc/resolv.conf /etc/resolv.conf \
  --setenv DEBIAN_FRONTEND noninteractive --setenv PATH /usr/sbin:/usr/bin:/sbin:/bin "$@"; }

# The mirror is the machine's own Debian entry, read at run time.
mirror=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
[ -n "$mirror" ] || mirror=$(awk '/^deb / { print $2; exit }' /etc/apt/sources.list 2>/dev/null || true)
[ -n "$mirror" ] || { echo "wine-root: no Debian package source found on this machine" >&2; exit 1; }

echo "wine-root: building the Debian 13 root with Wine 10 in $rootfs"
rm -rf "$rootfs"
mkdir -p "$(dirname "$rootfs")"
as_root debootstrap --variant=minbase trixie "$rootfs" "$mirror" >"$rootfs.log" 2>&1 ||
  { tail -n 20 "$rootfs.log" >&2; exit 1; }
inside dpkg --add-architecture i386
inside apt-get update -qq
inside apt-get install -y -qq --no-install-recommends wine64 fonts-ipafont-gothic fonts-wine locales >>"$rootfs.log" 2>&1 ||
  { tail -n 20 "$rootfs.log" >&2; exit 1; }
echo 'ja_JP.UTF-8 UTF-8' >"$rootfs/etc/locale.gen"
inside locale-gen >/dev/null

# The i386 Windows side of Wine: PE modules only, no 32-bit Linux code.
inside sh -c 'cd /tmp && rm -rf libwine-i386 && mkdir libwine-i386 && cd libwine-i386 &&
  apt-get download -qq libwine:i386 && dpkg -x libwine_*_i386.deb unpacked &&
  cp -a unpacked/usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/x86_64-linux-gnu/wine/ &&
  cd /tmp && rm -rf libwine-i386'
inside apt-get clean
[ -f "$rootfs/usr/lib/x86_64-linux-gnu/wine/i386-windows/kernel32.dll" ] ||
  { echo "wine-root: the i386 Windows modules are missing" >&2; exit 1; }
rm -f "$rootfs.log"
touch "$stamp"
echo "wine-root: ready"
