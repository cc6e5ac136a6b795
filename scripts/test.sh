#!/usr/bin/env bash
# Installs what is missing, builds both targets, and runs every test on both builds under Wine 10
# on a private display and prefix: the i686 test programs (the shipped code) by the route this
# machine allows (i686-route.sh; INSTALLER_I686_ROUTE=native|emulated|auto), then the x86_64 ones.
# The end-to-end suites of both builds start the shipped i686 installer.exe. Extra arguments go
# to ctest (for example -R transfer).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_ROOT=${BUILD_ROOT:-$root/build}

bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"

source "$root/scripts/wine-env.sh"
echo "test: $(i686_route_line)"
trap wine_env_stop EXIT
wine_env_start "$BUILD_ROOT/wine"

status=0
for arch in i686 x86_64; do
  echo "test: the $arch build"
  wine_env_drives
  (cd "$BUILD_ROOT/$arch" && ctest --output-on-failure --no-tests=error "$@") || status=1
done
exit "$status"
