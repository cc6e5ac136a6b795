#!/usr/bin/env bash
# Builds both targets: i686 (what ships) and x86_64 (its twin under test). BUILD_ROOT (default:
# build) lets several checkouts or people build side by side; BUILD_ARCHS (default: both) names
# the targets to build, and any arguments go to `cmake --build` (for example --target NAME).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_root=${BUILD_ROOT:-$root/build}
for arch in ${BUILD_ARCHS:-i686 x86_64}; do
  dir="$build_root/$arch"
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" \
      -DCMAKE_CROSSCOMPILING_EMULATOR="$root/scripts/wine-exec.sh" >/dev/null
  fi
  cmake --build "$dir" "$@" -- -j"$(nproc)"
done
