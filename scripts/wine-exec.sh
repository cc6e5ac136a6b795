#!/usr/bin/env bash
# Runs one Windows program under 64-bit Wine in the environment that wine-env.sh prepared.
export WINEDEBUG=${WINEDEBUG:--all}
exec /usr/lib/wine/wine64 "$@"
