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
