#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian machine and fetches the bzip2
# and libdivsufsort sources into third_party/ (ignored by git). Safe to run again: a second run only checks.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

packages=(
  cmake ninja-build make
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  debootstrap bubblewrap xvfb xauth x11-utils xdotool imagemagick
  locales fonts-ipafont-gothic fonts-ipafont-mincho
  googletest libz-mingw-w64-dev bzip2 lbzip2 xorriso genisoimage udftools 7zip python3-pycdlib dpkg-dev python3 binutils
  patch xz-utils util-linux
  gcc libc6-dev
  fuse3 python3-fusepy
  osslsigncode openssl
)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if ! locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$'; then
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null || echo 'ja_JP.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
  as_root locale-gen >/dev/null
fi

# Sources from Debian's source packages, derived from the machine's own package sources, with
# Debian's patches applied: libbzip2, and libdivsufsort (the suffix sorter of mkdisc's encoder).
fetch_source() {
  local package=$1 dir=$2 check=$3
  [ -f "$dir/$check" ] && return 0
  local src_list=/etc/apt/sources.list.d/debian-src.sources
  if [ ! -f "$src_list" ] && [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | as_root tee "$src_list" >/dev/null
    as_root apt-get update -qq
  fi
  local work orig deb
  work=$(mktemp -d)
  (cd "$work" && apt-get source --download-only -qq "$package" >/dev/null)
  orig=$(ls "$work/${package}"_*.orig.tar.* | head -n 1)
  rm -rf "$dir" && mkdir -p "$dir"
  tar -xf "$orig" -C "$dir" --strip-components=1
  deb=$(ls "$work/${package}"_*.debian.tar.* 2>/dev/null | head -n 1 || true)
  if [ -n "$deb" ]; then
    mkdir -p "$work/debian" && tar -xf "$deb" -C "$work"
    if [ -f "$work/debian/patches/series" ]; then
      while read -r patch; do
        case "$patch" in ''|'#'*) continue ;; esac
        patch -s -d "$dir" -p1 < "$work/debian/patches/$patch" || echo "setup: patch $patch skipped"
      done < "$work/debian/patches/series"
    fi
  fi
  rm -rf "$work"
}
fetch_source bzip2 "$root/third_party/bzip2" bzlib.c
fetch_source libdivsufsort "$root/third_party/libdivsufsort" lib/divsufsort.c
# The Wine root of the route that the i686 programs take on this machine.
source "$root/scripts/i686-route.sh"
i686_route_choose
bash "$root/scripts/wine-root.sh" "$INSTALLER_WINE_ROUTE"
echo "setup: ready"
