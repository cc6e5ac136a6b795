# Sourced: chooses the route by which the i686 programs (the shipped installer.exe and its test
# programs) run here, and exports it as INSTALLER_WINE_ROUTE for wine-exec.sh:
#   native    Wine 10's WoW64 mode, where a 64-bit process may switch to 32-bit code
#   emulated  Wine's classic 32-bit loader under qemu-i386, where the machine offers no 32-bit
#             code segment (some paravirtualised guests)
# INSTALLER_I686_ROUTE=native|emulated forces one; auto (the default) asks the processor.
i686_route_choose() {
  local here probe
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  case ${INSTALLER_I686_ROUTE:-auto} in
    native | emulated) INSTALLER_WINE_ROUTE=$INSTALLER_I686_ROUTE ;;
    auto)
      probe=$here/third_party/probe_32bit
      [ -x "$probe" ] || cc -O1 -static -no-pie -o "$probe" "$here/scripts/emulated/probe_32bit.c"
      # The probe is expected to die where no 32-bit segment exists. A subshell whose last
      # command is the probe becomes the probe, and then this shell would report the signal; one
      # that goes on after it reports the signal itself, into its own silenced error stream.
      if (ulimit -c 0; "$probe"; exit $?) 2>/dev/null; then INSTALLER_WINE_ROUTE=native; else INSTALLER_WINE_ROUTE=emulated; fi ;;
    *) echo "INSTALLER_I686_ROUTE must be native, emulated or auto, not ${INSTALLER_I686_ROUTE}" >&2; return 2 ;;
  esac
  export INSTALLER_WINE_ROUTE
}

# One line that says which route was taken and why.
i686_route_line() {
  local why="the processor runs 32-bit code"
  [ "$INSTALLER_WINE_ROUTE" = emulated ] && why="this machine offers no 32-bit code segment"
  [ "${INSTALLER_I686_ROUTE:-auto}" = auto ] || why="INSTALLER_I686_ROUTE=$INSTALLER_I686_ROUTE"
  echo "the i686 programs run by the $INSTALLER_WINE_ROUTE route ($why)"
}
