#!/usr/bin/env bash
# Builds the transfer benchmark for both targets and runs the i686 build (the shipped code, in
# Wine's WoW64 mode) and the x86_64 build one after the other, on the same files, under Wine on a
# private prefix (on the emulated route of i686-route.sh, the x86_64 build alone):
# CheckFileCrc32 against zlib's crc32, CopyFileChunked against CopyFileW and the earlier copy
# loop, and ExpandBz2File against a bare libbzip2 read loop, the earlier single-threaded
# expansion and lbzip2 (run natively here, on the same file, with its output to a file too).
# The expansion's file is 64 MiB of game-like data (EXPAND_MIB) compressed by the bzip2 tool
# with -9. BUILD_ROOT as for build.sh; an argument crc, copy or expand runs only that pair.
# Needs about 1.5 GB of free disk and 2 GB of memory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_root=${BUILD_ROOT:-$root/build}
only=${1:-}
source "$root/scripts/wine-env.sh"
# An emulated 32-bit program's figures would say nothing about a player's machine.
archs="i686 x86_64"
if [ "$INSTALLER_WINE_ROUTE" = emulated ]; then
  echo "bench-transfer: $(i686_route_line); only the x86_64 build is measured"
  archs=x86_64
fi
BUILD_ROOT=$build_root BUILD_ARCHS="$archs" bash "$root/scripts/build.sh" --target transfer_bench

trap wine_env_stop EXIT
wine_env_start "$build_root/bench-wine"
bench="$build_root/x86_64/bench/transfer_bench.exe"
# The files live on drive T:, the scratch folder that wine_env_start has just emptied.
work="$INSTALLER_SCRATCH/transfer-bench"
mkdir -p "$work"
if [ -n "$only" ] && [ "$only" != expand ]; then
  status=0
  for arch in $archs; do
    echo "== the $arch build"
    "$WINE64" "$build_root/$arch/bench/transfer_bench.exe" 'T:\transfer-bench' "$only" || status=$?
  done
  exit $status
fi

"$WINE64" "$bench" --game-data 'T:\transfer-bench\mixed.bin' "${EXPAND_MIB:-64}"
bzip2 -9 -k -f "$work/mixed.bin"
# lbzip2 on all processors, best of five, its output going to a file like the installer's.
best=""
for _ in 1 2 3 4 5; do
  start=$(date +%s.%N)
  lbzip2 -d -n "$(nproc)" -c "$work/mixed.bin.bz2" >"$work/lbzip2.bin"
  end=$(date +%s.%N)
  best=$(python3 -c "import sys; t=$end-$start; b='$best'; print(min(t, float(b)) if b else t)")
done
cmp -s "$work/lbzip2.bin" "$work/mixed.bin" || { echo "lbzip2 expanded the file differently" >&2; exit 2; }
rm -f "$work/lbzip2.bin"
echo "(lbzip2 -d -n $(nproc), native: best of 5 $(printf %.3f "$best") s)"
status=0
for arch in $archs; do
  echo "== the $arch build"
  "$WINE64" "$build_root/$arch/bench/transfer_bench.exe" 'T:\transfer-bench' "${only:-all}" \
    'T:\transfer-bench\mixed.bin.bz2' "$best" || status=$?
  if [ -f "$work/expand.bin" ] && ! cmp -s "$work/expand.bin" "$work/mixed.bin"; then
    echo "ExpandBz2File ($arch) expanded the file differently" >&2
    status=2
  fi
  rm -f "$work/expand.bin"
done
exit $status
