#!/usr/bin/env bash
# Builds the transfer benchmark (x86_64) and runs it under 64-bit Wine on a private prefix:
# CheckFileCrc32 against zlib's crc32, CopyFileChunked against CopyFileW and ExpandBz2File
# against a bare libbzip2 read loop, each pair over the same files in the same run.
# BUILD_ROOT as for build.sh; an argument crc, copy or expand runs only that pair. Needs about 1.5 GB of free disk and 2 GB of memory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_root=${BUILD_ROOT:-$root/build}
dir="$build_root/x86_64"
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64.cmake" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$root/scripts/wine-exec.sh" >/dev/null
fi
cmake --build "$dir" --target transfer_bench -- -j"$(nproc)"

source "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
wine_env_start "$build_root/bench-wine"
# The files live on drive T:, the scratch folder that wine_env_start has just emptied.
"$WINE64" "$dir/bench/transfer_bench.exe" 'T:\transfer-bench' "$@"
