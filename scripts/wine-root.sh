#!/usr/bin/env bash
# Builds a Debian 13 root that holds Wine 10 (run with bwrap; see wine-exec.sh), for one route of
# the 32-bit programs (see i686-route.sh):
#   wine-root.sh native     third_party/wine-root: Wine's WoW64 mode runs them on the processor,
#                           with the i386 Windows modules taken from Debian's i386 libwine package
#                           (unpacked, not installed)
#   wine-root.sh emulated   third_party/wine-root-emulated: Wine's classic 32-bit loader, started
#                           under qemu-i386 by a preloader script of ours, with a small library that
#                           mends the signal context qemu hands to Wine's fault handler
# Safe to run again: a finished root is only checked.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
route=${1:-native}
case $route in
  native) rootfs=$root/third_party/wine-root ;;
  emulated) rootfs=$root/third_party/wine-root-emulated ;;
  *) echo "wine-root: unknown route $route (native or emulated)" >&2; exit 2 ;;
esac
stamp="$rootfs/.installer-wine-root-ready"
[ -f "$stamp" ] && exit 0

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
inside() { as_root bwrap --bind "$rootfs" / --dev /dev --proc /proc --ro-bind /etc/resolv.conf /etc/resolv.conf \
  --setenv DEBIAN_FRONTEND noninteractive --setenv PATH /usr/sbin:/usr/bin:/sbin:/bin "$@"; }
fail() { tail -n 20 "$rootfs.log" >&2; exit 1; }

# The mirror is the machine's own Debian entry, read at run time.
mirror=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
[ -n "$mirror" ] || mirror=$(awk '/^deb / { print $2; exit }' /etc/apt/sources.list 2>/dev/null || true)
[ -n "$mirror" ] || { echo "wine-root: no Debian package source found on this machine" >&2; exit 1; }

echo "wine-root: building the Debian 13 root with Wine 10 ($route route) in $rootfs"
rm -rf "$rootfs"
mkdir -p "$(dirname "$rootfs")"
as_root debootstrap --variant=minbase trixie "$rootfs" "$mirror" >"$rootfs.log" 2>&1 || fail
inside dpkg --add-architecture i386
inside apt-get update -qq
common=(wine64 fonts-ipafont-gothic fonts-wine locales)
if [ "$route" = native ]; then
  inside apt-get install -y -qq --no-install-recommends "${common[@]}" >>"$rootfs.log" 2>&1 || fail
  # The i386 Windows side of Wine: PE modules only, no 32-bit Linux code.
  inside sh -c 'cd /tmp && rm -rf libwine-i386 && mkdir libwine-i386 && cd libwine-i386 &&
    apt-get download -qq libwine:i386 && dpkg -x libwine_*_i386.deb unpacked &&
    cp -a unpacked/usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/x86_64-linux-gnu/wine/ &&
    cd /tmp && rm -rf libwine-i386'
  [ -f "$rootfs/usr/lib/x86_64-linux-gnu/wine/i386-windows/kernel32.dll" ] ||
    { echo "wine-root: the i386 Windows modules are missing" >&2; exit 1; }
else
  inside apt-get install -y -qq --no-install-recommends "${common[@]}" wine wine32:i386 qemu-user \
    gcc-i686-linux-gnu libc6-dev-i386-cross >>"$rootfs.log" 2>&1 || fail
  here=$root/scripts/emulated
  mkdir -p "$rootfs/usr/local/lib/i386-linux-gnu"
  cp "$here/trapno_fix.c" "$rootfs/tmp/trapno_fix.c"
  inside i686-linux-gnu-gcc -O2 -shared -fPIC -o /usr/local/lib/i386-linux-gnu/trapno_fix.so /tmp/trapno_fix.c -ldl
  install -m 755 "$here/wine-preloader" "$rootfs/usr/lib/wine/wine-preloader"
  [ -x "$rootfs/usr/bin/qemu-i386" ] && [ -x "$rootfs/usr/lib/wine/wine" ] ||
    { echo "wine-root: qemu-i386 or Wine's 32-bit loader is missing" >&2; exit 1; }
  inside apt-get purge -y -qq gcc-i686-linux-gnu libc6-dev-i386-cross >>"$rootfs.log" 2>&1 || true
  inside apt-get autoremove -y -qq >>"$rootfs.log" 2>&1 || true
fi
echo 'ja_JP.UTF-8 UTF-8' >"$rootfs/etc/locale.gen"
inside locale-gen >/dev/null
inside apt-get clean
rm -f "$rootfs.log"
touch "$stamp"
echo "wine-root: ready"
