#!/usr/bin/env bash
# Installation speed, measured against the machine's own tools in the same run (a benchmark to
# read, not a test that passes or fails):
#   1. A game of about 1 GB (large and small files, a third of the bytes stored bzip2-compressed)
#      on two discs made by mkdisc, in CD-ROM drives D: and E:, installed through the real
#      dialogs without and with verification, against the baseline of copying the same plain
#      files (Python's shutil.copyfile) and expanding the same .bz2 files with `bzip2 -dc`.
#      Both builds of installer.exe are measured in the same run: the shipped i686 one (in Wine's
#      WoW64 mode, as on 64-bit Windows) and its x86_64 twin.
#   2. 20,000 files of 4 KiB, installed, against a CopyFileW loop (copyloop.exe) over the same
#      files under the same Wine.
#   3. With --drive alone: how long a player waits. A game that fills a cd700 image (about 40% of
#      its bytes stored compressed) is installed from that image in drive D: of the disc drives
#      (tests/drive/disc_drive.py) at the pace of each drive profile (DRIVE_PROFILES, default
#      "cd52 dvd16 bd12"), without and with verification, against reading the same image in
#      order through the same drive. It measures the build the machine runs natively (the i686
#      one where it can), once per profile.
# Everything runs from the page cache (the discs are read once before each measurement) in a
# private prefix and Xvfb under $BUILD_ROOT/bench; the small files are written to a tmpfs volume
# where one can be mounted. The data is removed at the end. Each figure
# is the best of ROUNDS (default 2) runs taken in turn, since the machine may be shared.
# Usage: [ROUNDS=n] bash scripts/bench-install.sh [--small-only | --drive]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_ROOT=${BUILD_ROOT:-$root/build}
small_only=0 drive_only=0
rounds=${ROUNDS:-2}
[ "${1:-}" = --small-only ] && small_only=1
[ "${1:-}" = --drive ] && drive_only=1 small_only=1

bash "$root/scripts/setup.sh" >/dev/null
bin=$BUILD_ROOT/x86_64
# Only the programs measured and the ones that drive them; a full build configures first.
[ -f "$bin/build.ninja" ] || bash "$root/scripts/build.sh" >/dev/null
[ -f "$BUILD_ROOT/i686/build.ninja" ] || bash "$root/scripts/build.sh" >/dev/null
for target in "$bin installer mkdisc copyloop driver" "$BUILD_ROOT/i686 installer base_test"; do
  set -- $target
  cmake --build "$1" --target "${@:2}" >/dev/null 2>&1 || {
    echo "bench-install: the build failed:" >&2
    cmake --build "$1" --target "${@:2}" 2>&1 | grep -E 'error|FAILED' | head -n 20 >&2
    exit 1
  }
done
set --
source "$root/scripts/wine-env.sh"
wine_env_start "$BUILD_ROOT/bench"
# The prefix runs Wine's X11 driver unmanaged (wine-env.sh): a bare Xvfb has no window manager,
# and Wine would otherwise wait about 2 s for one each time a window closes, no cost of the
# installer's.
work=$INSTALLER_SCRATCH   # drive T:
# An emulated 32-bit program's figures would say nothing about a player's machine.
archs="i686 x86_64"
if [ "$INSTALLER_WINE_ROUTE" = emulated ]; then
  echo "bench-install: $(i686_route_line); only the x86_64 installer.exe is measured"
  archs=x86_64
fi
# Where the installations and the copy loop write: drive C: of the prefix, or for the small files
# a memory-backed volume (see below).
target_win='C:' target_unix=$WINEPREFIX/drive_c
dest_win="$target_win\\bench-dest" dest_unix=$target_unix/bench-dest
small_volume=$BUILD_ROOT/bench/small-volume
cleanup() {
  wine_env_stop
  rm -rf "$work" "$dest_unix" "$target_unix/bench-copyloop" "$WINEPREFIX/drive_c/bench-dest"
  rm -f "$WINEPREFIX/dosdevices/w:"
  if mountpoint -q "$small_volume"; then umount -l "$small_volume"; fi
  rmdir "$small_volume" 2>/dev/null || true
}
trap cleanup EXIT

company='ベンチ工房'
app='ベンチゲーム'
main_title="$app インストーラ"
user=${USER:-$(id -un)}
dosdevices=$WINEPREFIX/dosdevices
drv() { "$WINE64" "$bin/tests/driver/driver.exe" "$@" | tr -d '\r'; }
now() { date +%s.%N; }
fail() { echo "bench-install: FAILED: $*" >&2; exit 1; }

make_control_files() {  # folder
  python3 - "$1" "$company" "$app" <<'PY'
import sys
folder, company, app = sys.argv[1:]
with open(folder + "/setup.ini", "wb") as f:
    f.write(("[INSTALLER]\r\nCompany=%s\r\nPublisher=%s\r\nURLInfoAbout=https://www.example.com/\r\n"
             "AppName=%s\r\nInstFolder=%s\r\nAppExe=game.exe\r\n" % (company, company, app, app)).encode("cp932"))
open(folder + "/uninst.dat", "wb").close()
open(folder + "/game/game.exe", "wb").write(b"MZ")  # AppExe: mkdisc wants it among the game's files
PY
  cp "$BUILD_ROOT/i686/installer.exe" "$1/installer.exe"  # mkdisc takes the 32-bit installer only
}

forget_installation() {
  "$WINE64" reg delete "HKCU\\Software\\$company" /f >/dev/null 2>&1 || true
  "$WINE64" reg delete "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$app" /reg:32 /f >/dev/null 2>&1 || true
  "$WINE64" reg delete "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$app" /reg:64 /f >/dev/null 2>&1 || true
  rm -rf "$dest_unix" "$WINEPREFIX/drive_c/users/$user/Desktop/$app.lnk"
}

put_discs() {  # disc1 [disc2]: disc 1 in D:, disc 2 in E:
  ln -sfn "$1" "$dosdevices/d:"
  "$WINE64" reg add 'HKLM\Software\Wine\Drives' /v d: /d cdrom /f >/dev/null 2>&1
  if [ -n "${2:-}" ]; then
    ln -sfn "$2" "$dosdevices/e:"
    "$WINE64" reg add 'HKLM\Software\Wine\Drives' /v e: /d cdrom /f >/dev/null 2>&1
  else
    rm -f "$dosdevices/e:"
  fi
  wineserver -k 2>/dev/null || true
}

# ext4 without a journal (as on these machines) avoids reusing the inodes of files deleted in the
# last minutes, and every file created meanwhile pays a search past them while their blocks stay
# cached: whichever program ran right after a deletion of 20,000 files was measured at half its
# speed. So each measurement starts after the deletions, with the disk written out and, when this
# user may, the kernel's caches dropped; the discs are then read back into the cache.
drop_caches=/proc/sys/vm/drop_caches
[ -w "$drop_caches" ] || echo "bench-install: cannot drop the kernel's caches; figures measured right after a deletion may be low"
warm() {
  sync
  [ -w "$drop_caches" ] && echo 3 >"$drop_caches"
  find "$@" -type f -exec cat {} + >/dev/null
}

# One installation through the dialogs by the given build's installer.exe on disc 1, into a
# destination already cleared (see install_round); prints the seconds from the confirmation to
# the outcome.
install_once() {  # arch(i686|x86_64) verify(0|1)
  local arch=$1
  shift
  # A disc image carries the installer it was made with.
  [ "$drive_only" -eq 1 ] || cp "$BUILD_ROOT/$arch/installer.exe" "$(readlink "$dosdevices/d:")/installer.exe"
  "$WINE64" 'D:\installer.exe'
  drv wait "$main_title" 60 >/dev/null || fail "no main dialog"
  drv type "$main_title" 1000 "$dest_win" >/dev/null
  local state
  state=$(drv state "$main_title" 1004)
  if { [ "$1" = 0 ] && [[ $state == *checked=1* ]]; } || { [ "$1" = 1 ] && [[ $state == *checked=0* ]]; }; then
    drv click "$main_title" 1004 >/dev/null
    sleep 0.3
    [[ $(drv state "$main_title" 1004) == *checked=$1* ]] || fail "the verification box did not turn to $1"
  fi
  drv click "$main_title" 1009 >/dev/null
  drv wait 確認 30 >/dev/null || fail "no confirmation"
  local timed seconds outcome
  # From posting the confirmation's OK to finding the outcome box, timed inside one driver.exe,
  # so that no Wine process start or exit counts.
  timed=$(drv timed 確認 1 確認 1800) || fail "no outcome"
  seconds=${timed%%$'\n'*} outcome=${timed#*$'\n'}
  [ "$outcome" = "インストール作業が正常に完了しました。" ] || fail "the installation said: $outcome"
  drv click 確認 1 >/dev/null; drv gone 確認 30 >/dev/null
  drv click "$main_title" 1005 >/dev/null; drv wait 確認 30 >/dev/null
  drv click 確認 1 >/dev/null; drv gone "$main_title" 30 >/dev/null || true
  wineserver -w 2>/dev/null || true
  python3 -c "print(f'{$seconds:.2f}')"
}

# One installation by each build, without and with verification, each from warm discs; the
# seconds are added to the named associative array under "arch:verify".
install_round() {  # discs-folder array-name round
  local -n times=$2
  local arch verify seconds
  for arch in $archs; do
    for verify in 0 1; do
      forget_installation
      warm "$1"
      seconds=$(install_once "$arch" "$verify")
      times[$arch:$verify]+=" $seconds"
      echo "round $3: $arch installer, verification $([ "$verify" = 1 ] && echo on || echo off) $seconds s"
    done
  done
}

results=()
report() { results+=("$1"); echo "$1"; }
best() { python3 -c "import sys; print(min(float(a) for a in sys.argv[1:]))" "$@"; }

if [ "$small_only" -eq 0 ]; then
  echo "== 1 GB game: generating"
  mkdir -p "$work/big"
  python3 - "$work/big/game" <<'PY'
import os, random, sys
game = sys.argv[1]
rng = random.Random(1)
def put(rel, data):
    path = os.path.join(game, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
urandom = open("/dev/urandom", "rb")
MiB = 1 << 20
for i in range(5):                      # 600 MiB in large files
    put(f"movie/m{i}.mpg", urandom.read(120 * MiB))
for i in range(40):                     # 40 MiB in medium files
    put(f"se/effect{i:02d}.wav", urandom.read(MiB))
for i in range(2000):                   # 31 MiB in small files
    put(f"image/{i // 100:02d}/cg{i:04d}.bmp", urandom.read(16 * 1024))
words = [("".join(rng.choice("あいうえおかきくけこさしすせそabcdefghij") for _ in range(rng.randint(2, 7)))).encode("utf-8")
         for _ in range(5000)]
block = b" ".join(rng.choice(words) for _ in range(700000))[:4 * MiB]
for i in range(3):                      # 336 MiB of text, stored compressed
    with open(os.path.join(game, f"script{i}.dat"), "wb") as f:
        for j in range(28):
            f.write(block[j * 1000:] + block[:j * 1000])
PY
  make_control_files "$work/big"
  total=$(du -sb "$work/big/game" | cut -f1)
  compressed=$(find "$work/big/game" -name '*.dat' -printf '%s\n' | awk '{s+=$1} END {print s}')
  echo "game: $total bytes, $compressed of them (.dat) to be stored compressed"
  t0=$(now)
  "$WINE64" "$bin/tools/mkdisc/mkdisc.exe" make --game 'T:\big\game' --out 'T:\big\discs' --installer 'T:\big\installer.exe' \
    --ini 'T:\big\setup.ini' --template 'T:\big\uninst.dat' --compress '*.dat' --capacity 400M --quiet
  t1=$(now)
  echo "mkdisc make: $(python3 -c "print(f'{$t1 - $t0:.1f}')") s"
  put_discs "$work/big/discs/disc1" "$work/big/discs/disc2"

  # Baseline: the same files copied and expanded by the machine's own tools.
  baselines=()
  declare -A big=()
  for round in $(seq "$rounds"); do
    rm -rf "$work/baseline"
    warm "$work/big/discs"
    t0=$(now)
    python3 - "$work/big/discs" "$work/baseline" <<'PY'
import os, shutil, subprocess, sys, time
discs, out = sys.argv[1:]
spent = {"copy": 0.0, "expand": 0.0}
with open(os.path.join(discs, "disc1", "setup.lst"), "rb") as f:
    lines = f.read().decode("cp932").splitlines()
for line in lines:
    disc, path, size, crc = line.split(",")
    source = os.path.join(discs, f"disc{int(disc) + 1}", "data", *path.split("\\"))
    target = os.path.join(out, *path.split("\\"))
    os.makedirs(os.path.dirname(target), exist_ok=True)
    start = time.monotonic()
    if path.endswith(".bz2"):
        with open(target[:-4], "wb") as f:
            subprocess.run(["bzip2", "-dc", source], stdout=f, check=True)
        spent["expand"] += time.monotonic() - start
    else:
        shutil.copyfile(source, target)
        spent["copy"] += time.monotonic() - start
print(f"  of which copying {spent['copy']:.2f} s, expanding {spent['expand']:.2f} s", file=sys.stderr)
PY
    t1=$(now)
    baselines+=("$(python3 -c "print(f'{$t1 - $t0:.2f}')")")
    rm -rf "$work/baseline"
    echo "round $round: baseline ${baselines[-1]} s"
    install_round "$work/big/discs" big "$round"
  done
  baseline=$(best "${baselines[@]}")
  report "baseline (shutil.copyfile + bzip2 -dc): $baseline s"
  for arch in $archs; do
    plain=$(best ${big[$arch:0]}) verified=$(best ${big[$arch:1]})
    report "$arch installer, verification off: $plain s  ($(python3 -c "print(f'{$plain / $baseline:.2f}')")x the baseline; target 0.65x)"
    report "$arch installer, verification on:  $verified s  ($(python3 -c "print(f'{$verified / $baseline:.2f}')")x the baseline; target 0.65x)"
  done
  forget_installation
  rm -rf "$work/big"
fi

if [ "$drive_only" -eq 1 ]; then
  arch=x86_64
  [ "$INSTALLER_WINE_ROUTE" = native ] && arch=i686
  echo "== A game that fills a cd700 disc, installed by the $arch installer from its image: generating"
  mkdir -p "$work/cd"
  python3 - "$work/cd/game" <<'PY'
import os, random, sys
game = sys.argv[1]
rng = random.Random(2)
urandom = open("/dev/urandom", "rb")
MB = 1000 * 1000
def put(rel, data):
    path = os.path.join(game, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
for i in range(4):                      # 480 MB of movies, stored as they are
    put(f"movie/m{i}.mpg", urandom.read(120 * MB))
for i in range(60):                     # 60 MB of sounds
    put(f"se/effect{i:02d}.wav", urandom.read(MB))
for i in range(2500):                   # 40 MB of pictures
    put(f"image/{i // 100:02d}/cg{i:04d}.bmp", urandom.read(16000))
words = [("".join(rng.choice("あいうえおかきくけこさしすせそabcdefghij") for _ in range(rng.randint(2, 7)))).encode("utf-8")
         for _ in range(5000)]
block = b" ".join(rng.choice(words) for _ in range(700000))[:4 * MB]
for i in range(4):                      # 384 MB of text, stored compressed
    with open(os.path.join(game, f"script{i}.dat"), "wb") as f:
        for j in range(24):
            f.write(block[j * 1000:] + block[:j * 1000])
PY
  make_control_files "$work/cd"
  "$WINE64" "$bin/tools/mkdisc/mkdisc.exe" make --game 'T:\cd\game' --out 'T:\cd\discs' --installer 'T:\cd\installer.exe' \
    --ini 'T:\cd\setup.ini' --template 'T:\cd\uninst.dat' --compress '*.dat' --capacity cd700 --iso --quiet
  if [ "$arch" != i686 ]; then  # the image of the build measured: its installer.exe in disc 1, imaged again
    cp "$BUILD_ROOT/$arch/installer.exe" "$work/cd/discs/disc1/installer.exe"
    "$WINE64" "$bin/tools/mkdisc/mkdisc.exe" image 'T:\cd\discs\disc1' 'T:\cd\discs\disc1.iso' >/dev/null
  fi
  [ ! -e "$work/cd/discs/disc2.iso" ] || fail "the game does not fit one cd700 disc"
  image=$work/cd/discs/disc1.iso
  size=$(stat -c %s "$image")
  total=$(du -sb "$work/cd/game" | cut -f1)
  compressed=$(find "$work/cd/game" -name '*.dat' -printf '%s\n' | awk '{s+=$1} END {print s}')
  report "game: $total bytes, $compressed of them stored compressed; image $size bytes (cd700: 737280000)"
  ln -sfn "$DISC_DRIVES/d" "$dosdevices/d:"
  "$WINE64" reg add 'HKLM\Software\Wine\Drives' /v d: /d cdrom /f >/dev/null 2>&1
  rm -f "$dosdevices/e:"
  wineserver -k 2>/dev/null || true
  for profile in ${DRIVE_PROFILES:-cd52 dvd16 bd12}; do
    # The image in order through the drive, after a first sector has spun the disc up (the
    # installer's staging has done that before its installation is timed).
    disc_drives_insert d "$image" "$profile"
    dd if="$DISC_DRIVES/d.image" of=/dev/null bs=2048 count=1 status=none
    t0=$(now)
    dd if="$DISC_DRIVES/d.image" of=/dev/null bs=128K status=none
    t1=$(now)
    in_order=$(python3 -c "print(f'{$t1 - $t0:.1f}')")
    model=$(/usr/bin/python3 -c "import sys; sys.path.insert(0, '$root/tests/drive'); import disc_drive
p = disc_drive.PROFILES['$profile']; print(f'{p.read_in_order_s($size) - p.spin_up_s:.1f}')")
    report "$profile: the image read in order: $in_order s (the drive's model: $model s)"
    for verify in 0 1; do
      forget_installation
      disc_drives_insert d "$image" "$profile"
      seconds=$(install_once "$arch" "$verify")
      target=1.05
      [ "$profile" = bd12 ] && target=1.25
      report "$profile: $arch installer, verification $([ "$verify" = 1 ] && echo on: || echo off:) $seconds s ($(python3 -c "print(f'{$seconds / $in_order:.3f}')")x the read in order; target ${target}x)"
    done
  done
  forget_installation
  disc_drives_empty
  rm -rf "$work/cd"
  echo
  echo "== Summary ($(nproc) cores, $(date -u +%Y-%m-%dT%H:%MZ))"
  printf '%s\n' "${results[@]}"
  exit 0
fi

echo "== 20,000 files of 4 KiB"
mkdir -p "$work/small"
python3 - "$work/small/game" <<'PY'
import os, sys
game = sys.argv[1]
urandom = open("/dev/urandom", "rb")
for folder in range(100):
    os.makedirs(os.path.join(game, f"f{folder:03d}"))
    for i in range(200):
        with open(os.path.join(game, f"f{folder:03d}", f"file{i:03d}.bin"), "wb") as f:
            f.write(urandom.read(4096))
PY
make_control_files "$work/small"
"$WINE64" "$bin/tools/mkdisc/mkdisc.exe" make --game 'T:\small\game' --out 'T:\small\discs' --installer 'T:\small\installer.exe' \
  --ini 'T:\small\setup.ini' --template 'T:\small\uninst.dat' --capacity dvd5 --quiet
put_discs "$work/small/discs/disc1"
# The small files are written to a tmpfs volume (drive W:) where this user may mount one: on ext4
# without a journal, each file created within minutes of a deletion of thousands searches past
# the deleted inodes, and the rates on the build disk then tell what ran before more than what
# is measured. The loop and the installers write to the same volume.
mkdir -p "$small_volume"
if mountpoint -q "$small_volume" || mount -t tmpfs -o size=1g tmpfs "$small_volume" 2>/dev/null; then
  ln -sfn "$small_volume" "$dosdevices/w:"
  wineserver -k 2>/dev/null || true
  target_win='W:' target_unix=$small_volume
  dest_win="$target_win\\bench-dest" dest_unix=$target_unix/bench-dest
else
  echo "bench-install: no tmpfs volume could be mounted; the small files are written to drive C:"
fi
loops=()
declare -A small=()
for round in $(seq "$rounds"); do
  warm "$work/small/discs"
  loop=$("$WINE64" "$bin/bench/copyloop.exe" 'T:\small\discs\disc1' "$target_win\\bench-copyloop" | tr -d '\r')
  loops+=("$(awk '{print $4}' <<<"$loop")")
  rm -rf "$target_unix/bench-copyloop"
  echo "round $round: CopyFileW loop ${loops[-1]} s"
  install_round "$work/small/discs" small "$round"
done
loop=$(best "${loops[@]}")
loop_rate=$(python3 -c "print(f'{20000 / $loop:.0f}')")
report "CopyFileW loop: 20000 files in $loop s: $loop_rate files/s"
for arch in $archs; do
  for verify in 0 1; do
    seconds=$(best ${small[$arch:$verify]})
    report "$arch installer, verification $([ "$verify" = 1 ] && echo on: || echo off:) 20000 files in $seconds s: $(python3 -c "print(f'{20000 / $seconds:.0f}')") files/s ($(python3 -c "print(f'{$loop / $seconds:.2f}')")x the CopyFileW loop's rate)"
  done
done
forget_installation

echo
echo "== Summary ($(nproc) cores, $(date -u +%Y-%m-%dT%H:%MZ))"
printf '%s\n' "${results[@]}"
