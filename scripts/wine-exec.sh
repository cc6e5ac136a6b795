#!/usr/bin/env bash
# Runs one Windows program under Wine 10 from the Debian 13 root that wine-root.sh builds for the
# route of the i686 programs (i686-route.sh): on the native route 32-bit programs run in Wine's
# WoW64 mode, as on 64-bit Windows; on the emulated route under qemu-i386. 64-bit programs run
# natively on both. The root is entered with bwrap, whose mounts vanish with its process. The
# repository, the build root and the folders in WINE_BINDS (blank-separated) are seen inside at
# their own paths; so is the X11 socket folder. --server runs the root's wineserver instead (for
# -k and -w).
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ -z "${INSTALLER_WINE_ROUTE:-}" ]; then
  source "$root/scripts/i686-route.sh"
  i686_route_choose || exit 2
fi
rootfs=$root/third_party/wine-root
if [ "$INSTALLER_WINE_ROUTE" = emulated ]; then
  rootfs=$root/third_party/wine-root-emulated
  ulimit -c 0  # qemu leaves core files behind otherwise
fi
export WINEDEBUG=${WINEDEBUG:--all}
program=/usr/lib/wine/wine64
if [ "${1:-}" = --server ]; then program=/usr/lib/wine/wineserver; shift; fi

binds=(--bind "$root" "$root")
for dir in ${BUILD_ROOT:-} ${WINE_BINDS:-}; do
  [ -d "$dir" ] && binds+=(--bind "$dir" "$dir")
done
here=$PWD
case "$here" in "$root"|"$root"/*|"${BUILD_ROOT:-/nonexistent}"|"${BUILD_ROOT:-/nonexistent}"/*) ;; *) here=/ ;; esac
exec bwrap --bind "$rootfs" / --dev /dev --proc /proc --bind-try /tmp/.X11-unix /tmp/.X11-unix \
  "${binds[@]}" --chdir "$here" "$program" "$@"
