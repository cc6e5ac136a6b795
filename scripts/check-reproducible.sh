#!/usr/bin/env bash
# Builds installer.exe a second time, in a build tree of its own in another folder, and compares
# the two byte for byte: a build depends on its commit, never on its folder or its moment. The
# second tree is kept, so that later runs build only what changed.
# Usage: check-reproducible.sh <source folder> <installer.exe built> <second build folder>
#        <toolchain file> [cmake options...]
set -euo pipefail
source_dir=$1 built=$2 other=$3 toolchain=$4
shift 4
cmake -S "$source_dir" -B "$other" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DINSTALLER_BUILD_TESTS=OFF "$@" >/dev/null
nice -n 5 cmake --build "$other" --target installer -- -j"$(nproc)" >/dev/null
if cmp "$built" "$other/installer.exe"; then
  echo "identical: $built and $other/installer.exe"
else
  echo "FAILED: $built and $other/installer.exe differ"
  exit 1
fi
