#!/usr/bin/env bash
# Installs what is missing, builds both targets, and runs every test on both builds: the i686
# test programs (the shipped code, in Wine's WoW64 mode) and the x86_64 ones, under Wine 10 on a
# private display and prefix. Extra arguments go to ctest (for example -R transfer).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_ROOT=${BUILD_ROOT:-$root/build}

bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"

source "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
wine_env_start "$BUILD_ROOT/wine"

# Wine runs 32-bit programs only where the processor lets a 64-bit process switch to 32-bit code;
# some virtual machines offer no such code segment, and every 32-bit process then dies at once.
archs="i686 x86_64"
export INSTALLER_E2E_BUILD=i686
if ! wine_runs_32bit "$BUILD_ROOT/i686/tests/base_test.exe"; then
  echo "test: THIS MACHINE CANNOT RUN 32-BIT CODE (no 32-bit code segment for Wine's WoW64 mode):"
  echo "test: the i686 test programs are skipped and the end-to-end suites start the x86_64 installer.exe"
  archs=x86_64
  INSTALLER_E2E_BUILD=x86_64
fi

status=0
for arch in $archs; do
  echo "test: the $arch build"
  wine_env_drives
  (cd "$BUILD_ROOT/$arch" && ctest --output-on-failure --no-tests=error "$@") || status=1
done
exit "$status"
