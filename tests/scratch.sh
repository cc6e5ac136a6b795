# Sourced by the test scripts that scripts/test.sh runs: a folder of the script's own in the
# scratch folder (drive T:), emptied now and removed at exit, and a count of failed checks.
: "${INSTALLER_SCRATCH:?run through scripts/test.sh}"
scratch_begin() {  # $1: the folder's name in the scratch folder; sets base
  base="$INSTALLER_SCRATCH/$1"
  rm -rf "$base"
  mkdir -p "$base"
  trap 'rm -rf "$base"' EXIT
}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# The control files of a make (needs $tool, mkdisc.exe): the installer stand-in built beside the
# test programs, and a setup.ini whose AppExe names the first file of the game folder.
mkdisc_controls() {  # <folder for installer.exe and setup.ini> <game folder> <AppName>
  cp "$(dirname "$tool")/../../tests/installer_stand_in.exe" "$1/installer.exe"
  python3 - "$1/setup.ini" "$2" "$3" <<'PY'
import os, sys
ini, game, name = sys.argv[1:]
first = min(os.path.relpath(os.path.join(d, f), game) for d, _, files in os.walk(game) for f in files)
text = "[INSTALLER]\r\nCompany=Test\r\nAppName=%s\r\nInstFolder=Test\r\nAppExe=%s\r\n" % (name, first.replace("/", "\\"))
open(ini, "wb").write(text.encode("cp932"))
PY
}
