# Sourced by the scripts that run Windows programs: a private Xvfb display and a private Wine
# prefix with drives for the tests. Call wine_env_start, and wine_env_stop when done. Every
# Windows program runs through "$WINE64" (Wine 10 from the Debian 13 root of the route that the
# i686 programs take, see i686-route.sh and wine-exec.sh), and wineserver names that root's server.
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/i686-route.sh"
i686_route_choose
WINE64="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/wine-exec.sh"
wineserver() { "$WINE64" --server "$@"; }
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES='winemenubuilder.exe=d;mscoree=;mshtml='
export LANG=${LANG_FOR_WINE:-ja_JP.UTF-8}

wine_env_start() {  # $1: folder for the prefix and the scratch drives
  local base=$1
  mkdir -p "$base"
  export WINEPREFIX="$base/prefix-$INSTALLER_WINE_ROUTE"  # each route's Wine makes its own prefix
  export INSTALLER_SCRATCH="$base/scratch"
  local display=$((100 + RANDOM % 800))
  while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
  Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  XVFB_PID=$!
  export DISPLAY=":$display"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$WINE64" wineboot -i >/dev/null 2>&1 || true
    wineserver -w 2>/dev/null || true
  fi
  wine_env_drives
}

# Test drives: T: a fixed drive on the scratch folder (tests reach the disc folders through it),
# M: and N: CD-ROM drives whose discs are the folders scratch/cd-m and scratch/cd-n (a missing
# folder is an empty drive).
wine_env_drives() {
  rm -rf "$INSTALLER_SCRATCH"
  mkdir -p "$INSTALLER_SCRATCH"
  local dos="$WINEPREFIX/dosdevices"
  ln -sfn "$INSTALLER_SCRATCH" "$dos/t:"
  ln -sfn "$INSTALLER_SCRATCH/cd-m" "$dos/m:"
  ln -sfn "$INSTALLER_SCRATCH/cd-n" "$dos/n:"
  "$WINE64" reg add 'HKLM\Software\Wine\Drives' /v m: /d cdrom /f >/dev/null 2>&1
  "$WINE64" reg add 'HKLM\Software\Wine\Drives' /v n: /d cdrom /f >/dev/null 2>&1
  # The dialogs ask for Japanese Windows fonts; map them to the IPA Gothic fonts that setup installs.
  local font
  for font in 'MS UI Gothic' 'ＭＳ Ｐゴシック' 'ＭＳ ゴシック' 'MS Shell Dlg'; do
    "$WINE64" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" /d 'IPAPGothic' /f >/dev/null 2>&1
  done
  # Wine draws the windows' frames and title bars itself, as on a desktop, and does not wait for a
  # window manager that a bare Xvfb lacks each time a window closes.
  "$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  # Drive types are read when the server starts: let it end by itself, which also saves the
  # registry (killing it can lose the last changes).
  timeout 60 wineserver -w 2>/dev/null || wineserver -k 2>/dev/null || true
}

wine_env_stop() {
  wineserver -k 2>/dev/null || true
  [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null || true
  wait "${XVFB_PID:-}" 2>/dev/null || true
}
