#!/usr/bin/env bash
# Installs what is missing, builds both targets, and runs every test: the x86_64 test programs
# under 64-bit Wine on a private display and prefix, and the checks of the shipped i686 program.
# Extra arguments go to ctest (for example -R transfer).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_ROOT=${BUILD_ROOT:-$root/build}

bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"

source "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
wine_env_start "$BUILD_ROOT/wine"

cd "$BUILD_ROOT/x86_64"
ctest --output-on-failure --no-tests=error "$@"
