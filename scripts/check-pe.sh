#!/usr/bin/env bash
# Checks the shipped 32-bit program: machine i386, GUI subsystem, the manifest's execution
# level, common-controls dependency and supported systems, imports from system DLLs only, and,
# given a commit, that its version resource names it.
set -uo pipefail
export LC_ALL=C  # objdump translates "file format" under a Japanese LANG (the test runs set one)
exe=$1
commit=${2:-}
objdump=i686-w64-mingw32-objdump
passes=0
failures=0
check() {  # description, command...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; passes=$((passes + 1)); else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
[ -f "$exe" ] || { echo "FAILED: $exe does not exist"; echo "0 passed, 1 failed"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
$objdump -p "$exe" > "$work/headers"
strings -n 8 "$exe" | tr -d '\r' > "$work/manifest"

check "machine i386" grep -q 'file format pei-i386' "$work/headers"
check "GUI subsystem" grep -Eq '^Subsystem[[:space:]]+0*2[[:space:]]' "$work/headers"
check "requireAdministrator, uiAccess false" grep -q 'requestedExecutionLevel level="requireAdministrator" uiAccess="false"' "$work/manifest"
check "Common-Controls 6.0.0.0 for x86" grep -q 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0" processorArchitecture="x86"' "$work/manifest"
check "supportedOS Windows Vista" grep -q 'supportedOS Id="{e2011457-1546-43c5-a5fe-008deee3d3f0}"' "$work/manifest"
check "supportedOS Windows 7" grep -q 'supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"' "$work/manifest"

system_dlls='^(kernel32|user32|gdi32|shell32|shlwapi|ole32|oleaut32|comctl32|comdlg32|advapi32|msvcrt)\.dll$'
imports=$(grep 'DLL Name:' "$work/headers" | awk '{print tolower($3)}')
foreign=$(grep -Ev "$system_dlls" <<<"$imports" || true)
check "imports only system DLLs ($(echo $imports))" test -z "$foreign"
[ -n "$foreign" ] && echo "  not a system DLL: $foreign"

if [ -n "$commit" ]; then
  strings -el "$exe" > "$work/wide"
  check "version resource names $commit" grep -qx "$commit" "$work/wide"
fi

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
