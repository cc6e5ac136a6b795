#!/usr/bin/env bash
# The sample game, from the publisher's desk to the player's screen: builds everything, makes
# the sample game's two disc images with mkdisc, puts them into CD-ROM drives of a private Wine
# prefix (build/sample), which read them through the test's disc drives (a FUSE file system that
# reads the images with a reader that is not mkdisc's), and starts installer.exe from the first
# disc as a player would.
#
#   bash scripts/run-sample.sh          with a display: opens the real window for you to use
#                                       (disc 1 in drive D:, disc 2 in drive E:)
#   bash scripts/run-sample.sh --auto   (or without a display) on a private Xvfb: installs and
#                                       uninstalls by itself through driver.exe, exchanging the
#                                       disc in drive D: at the prompt, checks every file, and
#                                       leaves screenshots in build/sample/screenshots/
#   --drive cd52|dvd16|bd12|none        how fast the drives read (none, memory speed, by default)
#
# The discs carry the shipped i686 installer.exe, which Wine 10 runs by the route this machine
# allows (scripts/i686-route.sh): in its WoW64 mode as 64-bit Windows does, or emulated by
# qemu-i386 where the machine offers no 32-bit code segment. mkdisc and the driver are x86_64 builds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_ROOT=${BUILD_ROOT:-$root/build}

auto=0 profile=none
while [ $# -gt 0 ]; do
  case $1 in
    --auto) auto=1 ;;
    --drive) profile=${2:-}; shift
      case $profile in none|cd52|dvd16|bd12) ;; *) echo "run-sample: --drive takes cd52, dvd16, bd12 or none" >&2; exit 2 ;; esac ;;
    -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-sample: unknown argument $1 (try --help)" >&2; exit 2 ;;
  esac
  shift
done
[ -n "${DISPLAY:-}" ] || auto=1

bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"

bin=$BUILD_ROOT/x86_64
sample=$BUILD_ROOT/sample
shots=$sample/screenshots
source "$root/scripts/wine-env.sh"

say() { printf '\n== %s\n' "$*"; }
if [ "$auto" -eq 1 ]; then
  wine_env_start "$sample"
  trap wine_env_stop EXIT
else
  export WINEPREFIX="$sample/prefix-$INSTALLER_WINE_ROUTE" INSTALLER_SCRATCH="$sample/scratch"
  mkdir -p "$sample"
  disc_drives_start "$sample/drives"
  trap disc_drives_stop EXIT
  [ -f "$WINEPREFIX/system.reg" ] || { "$WINE64" wineboot -i >/dev/null 2>&1 || true; wineserver -w 2>/dev/null || true; }
  wine_env_drives
fi
scratch=$INSTALLER_SCRATCH   # drive T: inside Wine
# The discs carry the shipped i686 installer.exe; its Uninstall entry lives in the 32-bit view.
echo "run-sample: $(i686_route_line)"
ship=i686 regview=/reg:32
user=${USER:-$(id -un)}       # Wine names the Windows user after the Unix one

company='サンプル工房'
app='サンプルゲーム'
main_title="$app インストーラ"
dosdevices=$WINEPREFIX/dosdevices
install_dir=$WINEPREFIX/drive_c/Games/$app

say "The publisher: the sample game and its discs"
bash "$root/scripts/sample-game.sh" "$scratch/src"
cp "$BUILD_ROOT/$ship/installer.exe" "$scratch/src/installer.exe"
"$WINE64" "$bin/tools/mkdisc/mkdisc.exe" make --game 'T:\src\game' --out 'T:\discs' \
  --installer 'T:\src\installer.exe' --ini 'T:\src\setup.ini' --template 'T:\src\uninst.dat' \
  --compress '*.dat' --capacity 8M --iso
"$WINE64" "$bin/tools/mkdisc/mkdisc.exe" verify 'T:\discs\disc1.iso' 'T:\discs\disc2.iso'
echo "setup.lst (shown in UTF-8):"
iconv -f CP932 -t UTF-8 "$scratch/discs/disc1/setup.lst" | sed 's/^/  /'

# A clean machine for the player: no record or files of an earlier run.
"$WINE64" reg delete "HKCU\\Software\\$company" /f >/dev/null 2>&1 || true
"$WINE64" reg delete "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$app" $regview /f >/dev/null 2>&1 || true
rm -rf "$install_dir" "$WINEPREFIX/drive_c/users/$user/Desktop/$app.lnk"

# Disc 1 goes into CD-ROM drive D:; with a person at the screen disc 2 waits in drive E:. Both
# drives read the images as mkdisc wrote them, at the pace of the profile chosen with --drive.
echo "run-sample: the drives read at the pace of the profile $profile"
ln -sfn "$DISC_DRIVES/d" "$dosdevices/d:"
disc_drives_insert d "$scratch/discs/disc1.iso" "$profile"
"$WINE64" reg add 'HKLM\Software\Wine\Drives' /v d: /d cdrom /f >/dev/null 2>&1
if [ "$auto" -eq 0 ]; then
  ln -sfn "$DISC_DRIVES/e" "$dosdevices/e:"
  disc_drives_insert e "$scratch/discs/disc2.iso" "$profile"
  "$WINE64" reg add 'HKLM\Software\Wine\Drives' /v e: /d cdrom /f >/dev/null 2>&1
else
  rm -f "$dosdevices/e:"
fi
wineserver -k 2>/dev/null || true

if [ "$auto" -eq 0 ]; then
  say "The player: installer.exe from disc 1 (drive D:, disc 2 in drive E:)"
  echo "Install, try the uninstall look, uninstall and close the window; this script waits."
  "$WINE64" 'D:\installer.exe'
  wineserver -w
  exit 0
fi

# driver.exe writes text-mode lines (CR LF); the comparisons want bare LF.
drv() { "$WINE64" "$bin/tests/driver/driver.exe" "$@" | tr -d '\r'; }
fail() {
  echo "run-sample: FAILED: $*" >&2
  import -display "$DISPLAY" -window root "$shots/failure.png" 2>/dev/null && echo "screen: $shots/failure.png" >&2
  exit 1
}
# Screenshot of one window, found by its exact title.
shot() {  # file title
  local id
  id=$(xdotool search --onlyvisible --name "^$2\$" 2>/dev/null | head -n 1 || true)
  if [ -n "$id" ]; then import -display "$DISPLAY" -window "$id" "$shots/$1.png"
  else import -display "$DISPLAY" -window root "$shots/$1.png"; fi
  echo "screenshot: $shots/$1.png"
}
expect_box() {  # title expected-text [seconds]: waits for the box, prints and checks its text
  local text
  text=$(drv msgbox "$1" "${3:-30}") || fail "no message box \"$1\""
  printf '[%s] %s\n' "$1" "$text" | sed '2,$s/^/    /'
  [ "$text" = "$2" ] || fail "the box \"$1\" did not say: $2"
}
answer() {  # title button-id: presses the button and waits until the box has gone
  drv click "$1" "$2" >/dev/null || fail "cannot press $2 in \"$1\""
  drv gone "$1" 15 || fail "\"$1\" stayed open"
}

rm -rf "$shots" && mkdir -p "$shots"
say "The player: D:\\installer.exe from disc 1 in CD-ROM drive D:"
"$WINE64" 'D:\installer.exe'
drv wait "$main_title" 60 >/dev/null || fail "the main dialog did not open"
echo "main dialog \"$main_title\"; destination shown: $(drv text "$main_title" 1000)"
drv type "$main_title" 1000 'C:\Games' || fail "cannot type the destination"
shot main-dialog "$main_title"
drv click "$main_title" 1009 >/dev/null
expect_box 確認 "インストールを開始します。
「C:\\Games\\$app\\」

※既に存在するファイルは上書きされます。
※指定フォルダ内にゲーム名フォルダが作成されます。
※存在しないフォルダは作成されます。"
answer 確認 1

drv wait セットアップ中 30 >/dev/null || fail "the progress dialog did not open"
expect_box ディスク交換 "ディスク 2 を挿入して「再試行」を押して下さい。

※ディスクを挿入した際に「自動再生」ウィンドウが表示された場合は閉じてください。" 120
# Move the prompt aside so that the picture shows the progress dialog behind it.
prompt=$(xdotool search --onlyvisible --name '^ディスク交換$' | head -n 1 || true)
[ -n "$prompt" ] && xdotool windowmove "$prompt" 560 560 && sleep 0.5
import -display "$DISPLAY" -window root -trim +repage "$shots/progress-and-disc-prompt.png"
echo "screenshot: $shots/progress-and-disc-prompt.png"
shot progress-dialog セットアップ中
echo "exchanging the disc in drive D: (disc 1 out, disc 2 in) and pressing 再試行"
disc_drives_insert d "$scratch/discs/disc2.iso" "$profile"
answer ディスク交換 4
expect_box 確認 "インストール作業が正常に完了しました。" 120
answer 確認 1

say "What was installed in C:\\Games\\$app"
diff -r "$scratch/src/game" "$install_dir" --exclude=uninst.dat || fail "the installed files differ from the game's"
echo "every game file arrived byte for byte:"
(cd "$install_dir" && find . -type f | sort | sed 's/^\.\//  /')
echo "uninst.dat:"
iconv -f CP932 -t UTF-8 "$install_dir/uninst.dat" | sed 's/^/  /'
"$WINE64" reg query "HKCU\\Software\\$company\\$app" | iconv -f CP932 -t UTF-8 | tr -d '\r' | sed '/^$/d; s/^/  /'
echo "the entry in Windows' list of programs (the view of the build on the disc: a 32-bit installer's entry lives):"
"$WINE64" reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$app" $regview | iconv -f CP932 -t UTF-8 |
  tr -d '\r' | sed '/^$/d; s/^/  /' || fail "no entry in the list of programs"
ls "$WINEPREFIX/drive_c/users/$user/Desktop/$app.lnk" >/dev/null || fail "no desktop shortcut"
echo "desktop shortcut: $app.lnk"
[ "$(drv text "$main_title" 1009)" = アンインストール ] || fail "the main dialog did not turn to its uninstall look"
shot main-dialog-installed "$main_title"

say "The player uninstalls"
drv click "$main_title" 1009 >/dev/null
drv wait アンインストール 30 >/dev/null || fail "the uninstall dialog did not open"
shot uninstall-dialog アンインストール
drv click アンインストール 1020 >/dev/null
expect_box 確認 "アンインストールが終了しました。

一部残ってるファイルは、手動で削除して下さい。" 60
answer 確認 1
[ ! -e "$install_dir" ] || fail "the game folder is still there: $(find "$install_dir" | head)"
[ ! -e "$WINEPREFIX/drive_c/users/$user/Desktop/$app.lnk" ] || fail "the desktop shortcut is still there"
if "$WINE64" reg query "HKCU\\Software\\$company\\$app" >/dev/null 2>&1; then fail "the registry record is still there"; fi
if "$WINE64" reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$app" $regview >/dev/null 2>&1; then
  fail "the entry in the list of programs is still there"
fi
echo "the game folder, the shortcut and the registry record are gone"
[ "$(drv text "$main_title" 1009)" = インストール ] || fail "the main dialog did not return to its install look"

drv click "$main_title" 1005 >/dev/null
expect_box 確認 "終了しますか？"
answer 確認 1
drv gone "$main_title" 15 || fail "the installer did not end"
say "Done: installed from two discs with a disc exchange, checked, uninstalled. Screenshots in $shots"
