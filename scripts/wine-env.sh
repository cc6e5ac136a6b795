# Sourced by the scripts that run Windows programs: a private Xvfb display and a private Wine
# prefix with drives for the tests. Call wine_env_start, and wine_env_stop when done. Every
# Windows program runs through "$WINE64" (Wine 10 from the Debian 13 root of the route that the
# i686 programs take, see i686-route.sh and wine-exec.sh), and wineserver names that root's server.
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/i686-route.sh"
i686_route_choose
WINE64="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/wine-exec.sh"
DISC_DRIVE_PROGRAM="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tests/drive/disc_drive.py"
wineserver() { "$WINE64" --server "$@"; }
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES='winemenubuilder.exe=d;mscoree=;mshtml='
export LANG=${LANG_FOR_WINE:-ja_JP.UTF-8}

wine_env_start() {  # $1: folder for the prefix and the scratch drives
  local base=$1
  mkdir -p "$base"
  export WINEPREFIX="$base/prefix-$INSTALLER_WINE_ROUTE"  # each route's Wine makes its own prefix
  export INSTALLER_SCRATCH="$base/scratch"
  disc_drives_start "$base/drives"
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

# The optical drives: a FUSE file system (tests/drive/disc_drive.py) that shows the disc images put
# into its drives, read the way a drive reads them. It is mounted before any Wine process starts:
# the processes inside the Wine root see only the mounts that existed when they entered it. Where
# FUSE cannot be mounted, this fails with one line.
disc_drives_start() {  # $1: mount point
  DISC_DRIVES=$1
  umount -l "$DISC_DRIVES" 2>/dev/null || true  # left over from a run that was killed
  mkdir -p "$DISC_DRIVES"
  : >"$DISC_DRIVES.log"
  if [ ! -c /dev/fuse ]; then
    echo "test: cannot mount the disc drives on $DISC_DRIVES: this machine has no /dev/fuse" >&2
    return 1
  fi
  /usr/bin/python3 "$DISC_DRIVE_PROGRAM" "$DISC_DRIVES" 2>>"$DISC_DRIVES.log" &
  DISC_DRIVES_PID=$!
  for _ in $(seq 100); do
    [ -e "$DISC_DRIVES/control" ] && return 0
    kill -0 "$DISC_DRIVES_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "test: cannot mount the disc drives (FUSE) on $DISC_DRIVES: $(grep -v '^ ' "$DISC_DRIVES.log" | tail -n 1)" >&2
  return 1
}

disc_drives_stop() {
  [ -n "${DISC_DRIVES_PID:-}" ] || return 0
  umount "$DISC_DRIVES" 2>/dev/null || umount -l "$DISC_DRIVES" 2>/dev/null || true
  # The drive does not always notice the unmount: after a few seconds it is told to end.
  local _
  for _ in $(seq 30); do kill -0 "$DISC_DRIVES_PID" 2>/dev/null || break; sleep 0.1; done
  kill "$DISC_DRIVES_PID" 2>/dev/null || true
  wait "$DISC_DRIVES_PID" 2>/dev/null || true
  DISC_DRIVES_PID=
}

# Puts a disc image into a drive of the disc drives: letter, image, and the drive's profile
# (none, cd52, dvd16, bd12; none by default). Whatever disc was in comes out.
disc_drives_insert() {
  printf 'drive=%s\nimage=%s\nprofile=%s\naction=insert\n' "$1" "$2" "${3:-none}" >"$DISC_DRIVES/control" || {
    echo "disc drive $1: cannot insert $2: $(cat "$DISC_DRIVES/control")" >&2
    return 1
  }
}

# Takes the discs out of every drive of the disc drives.
disc_drives_empty() {
  local letter
  for letter in r s; do
    printf 'drive=%s\naction=eject\n' "$letter" >"$DISC_DRIVES/control" 2>/dev/null || true
  done
}

# Test drives: T: a fixed drive on the scratch folder (tests reach the disc folders through it),
# M: and N: CD-ROM drives whose discs are the folders scratch/cd-m and scratch/cd-n (a missing
# folder is an empty drive), and R: and S: the CD-ROM drives of the disc drives, which read disc
# images (their control file is T:\drives\control).
wine_env_drives() {
  rm -rf "$INSTALLER_SCRATCH"
  mkdir -p "$INSTALLER_SCRATCH"
  local dos="$WINEPREFIX/dosdevices" letter
  ln -sfn "$INSTALLER_SCRATCH" "$dos/t:"
  ln -sfn "$INSTALLER_SCRATCH/cd-m" "$dos/m:"
  ln -sfn "$INSTALLER_SCRATCH/cd-n" "$dos/n:"
  for letter in m n; do
    "$WINE64" reg add 'HKLM\Software\Wine\Drives' /v "$letter:" /d cdrom /f >/dev/null 2>&1
  done
  if [ -n "${DISC_DRIVES:-}" ]; then
    disc_drives_empty
    ln -sfn "$DISC_DRIVES" "$INSTALLER_SCRATCH/drives"
    for letter in r s; do
      ln -sfn "$DISC_DRIVES/$letter" "$dos/$letter:"
      "$WINE64" reg add 'HKLM\Software\Wine\Drives' /v "$letter:" /d cdrom /f >/dev/null 2>&1
    done
  fi
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
  disc_drives_stop
  [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null || true
  wait "${XVFB_PID:-}" 2>/dev/null || true
}
