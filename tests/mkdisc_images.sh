#!/usr/bin/env bash
# mkdisc's disc plans against the images a burner really writes: each layout of the table is made
# into disc folders by mkdisc.exe (run under Wine on drive T:), every disc folder is written as an
# image with `xorriso -as mkisofs -J -R`, and the image must fit the capacity, with the planned size
# never below it and at most 1% above. Compressed files must be single standard bzip2 streams that
# bzip2 and Python read back as the game file. The images mkdisc writes itself (--iso, image) are
# read back by xorriso and isoinfo and must be exactly their planned size (mkdisc_readers.sh reads
# their UDF trees and checks the refusals). The installer of the images, signed with osslsigncode
# beforehand as a publisher signs it, must still carry a signature that verifies once read back.
#   mkdisc_images.sh <Wine runner> <mkdisc.exe>     (under scripts/test.sh: INSTALLER_SCRATCH is T:)
set -euo pipefail -f  # no globbing: the --compress patterns pass through as words
runner=$1
tool=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/scratch.sh"
scratch_begin mkdisc-images

# Game folders, made by Python for names of any script and sizes of every kind.
make_game() {  # <layout> <folder>
  python3 - "$1" "$2" <<'EOF'
import os, random, sys
layout, root = sys.argv[1], sys.argv[2]
rng = random.Random(layout)
kana = "あいうえおかきくけこさしすせそたちつてとなにぬねのはひふへほまみむめもやゆよらりるれろわをん音声画像設定"
def put(path, size, text=False):
    path = os.path.join(root, *path.split("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        if text:
            words = [b"sword", b"dragon", b"castle", b"%d" % rng.randint(0, 99999), b"\n"]
            data = b" ".join(rng.choice(words) for _ in range(size // 5))
            f.write(data[:size])
        else:
            f.write(rng.randbytes(size))
if layout == "small-odd-files":
    for i in range(600):
        put("d%02d/file%04d%s" % (i % 12, i, rng.choice([".dat", ".ogg", ".bmp", ".x", ""])), rng.randint(0, 5000))
elif layout == "deep-folders":
    path = "top"
    for level in range(14):
        path += "/l%d" % level
        for j in range(3):
            put("%s/f%d.bin" % (path, j), rng.randint(1, 6000))
elif layout == "japanese-names":
    for i in range(120):
        folder = "".join(rng.choice(kana) for _ in range(rng.randint(1, 20)))
        name = "".join(rng.choice(kana) for _ in range(rng.randint(1, 53))) + "%03d" % i  # 64 with ".txt.bz2"
        put("%s/%s.%s" % (folder, name, rng.choice(["bin", "txt"])), rng.randint(0, 20000), text=True)
elif layout == "one-folder-of-400":
    for i in range(400):
        put("many/f%07d.bin" % i, rng.randint(1, 3000))  # 8.3 names: the plan's records are exact
elif layout == "iso-game":
    path = "深い"
    for level in range(5):  # data, 深い and five more: seven folders
        path += "/階層%d" % level
        put("%s/f%d.bin" % (path, level), rng.randint(0, 9000))
    for i in range(300):  # 64 characters, Joliet's longest name, some records in every sector
        put("音声/%s%03d.ogg" % ("".join(rng.choice(kana) for _ in range(57)), i), rng.randint(0, 3000))
    for i in range(5):
        put("空/empty%d.bin" % i, 0)
    put("シナリオ.txt", 400000, text=True)
    put("黒/movie.bin", 1500000)  # last in path order: on a disc of its own
elif layout == "300-files-of-2049-bytes":
    for i in range(300):
        put("f%03d.bin" % i, 2049)
elif layout == "one-file":
    put("movie.bin", 5000000)
elif layout == "compressed-pieces":
    put("big.txt", 6000000, text=True)
    put("noise.txt", 2000000)
EOF
}

# Runs mkdisc make; prints "<disc folder> <planned bytes>" per disc of its summary.
make_discs() {  # <layout> <capacity> [extra options...]
  local layout=$1 capacity=$2
  shift 2
  local win='T:\mkdisc-images\'"$layout"
  rm -rf "$base/$layout/out"
  "$runner" "$tool" make --quiet --game "$win\\game" --out "$win\\out" --installer "$win\\installer.exe" \
    --ini "$win\\setup.ini" --capacity "$capacity" "$@" >"$base/$layout/summary.txt" 2>&1 ||
    { cat "$base/$layout/summary.txt" >&2; return 1; }
  tr -d '\r' <"$base/$layout/summary.txt" | sed -n 's/^.*\\\(disc[0-9]*\): drvno:[0-9]*, [0-9]* files, image \([0-9]*\) of [0-9]* bytes.*$/\1 \2/p'
}

image_bytes() {  # <disc folder>
  LC_ALL=C.UTF-8 xorriso -as mkisofs -J -R -o "$base/image.iso" "$1" >"$base/xorriso.log" 2>&1 ||
    { cat "$base/xorriso.log" >&2; echo 0; return; }
  grep -q "can't be added to Joliet tree" "$base/xorriso.log" && echo "Joliet dropped a file" >&2
  stat -c %s "$base/image.iso"
  rm -f "$base/image.iso"
}

# Each disc's image against its plan and the capacity.
check_discs() {  # <layout> <capacity bytes> <expected discs> <plan lines>
  local layout=$1 capacity=$2 expected=$3 plan=$4 count=0 disc planned real
  while read -r disc planned; do
    [ -n "$disc" ] || continue
    count=$((count + 1))
    real=$(image_bytes "$base/$layout/out/$disc")
    echo "$layout $disc: planned $planned, image $real, capacity $capacity"
    [ "$real" -gt 0 ] || fail "$layout $disc: no image"
    [ "$planned" -ge "$real" ] || fail "$layout $disc: planned $planned below the image's $real"
    [ $((planned * 100)) -le $((real * 101)) ] || fail "$layout $disc: planned $planned more than 1% above $real"
    [ "$real" -le "$capacity" ] || fail "$layout $disc: image $real over the capacity $capacity"
  done <<<"$plan"
  [ "$count" -eq "$expected" ] || fail "$layout: $count disc(s), expected $expected"
}

# The bzip2 files mkdisc wrote: one standard stream each, expanding to the game file.
check_compressed() {  # <layout>
  local layout=$1 packed name
  while IFS= read -r -d '' packed; do
    name=${packed#"$base/$layout/out/"disc*/data/}
    name=${name%.bz2}
    bzip2 -t "$packed" || fail "$layout: bzip2 -t refuses $packed"
    bzip2 -dc "$packed" | cmp -s - "$base/$layout/game/$name" || fail "$layout: bzip2 -dc of $packed differs"
    python3 -c '
import bz2, sys
packed, original = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read()
reader = bz2.BZ2Decompressor()
sys.exit(0 if reader.decompress(packed) == original and reader.eof and not reader.unused_data else 1)
' "$packed" "$base/$layout/game/$name" || fail "$layout: $packed is not one stream that Python reads back"
  done < <(find "$base/$layout/out" -name '*.bz2' -print0)
}

# layout | capacity | expected discs | options
table=(
  "small-odd-files|cd700|1|"
  "deep-folders|cd700|1|"
  "japanese-names|cd700|1|--compress *.txt"
  "one-folder-of-400|cd700|1|"
  "300-files-of-2049-bytes|1M|2|"  # 614,700 bytes, 600 sectors: more than a disc of 512 sectors
  "compressed-pieces|cd700|1|--compress *.txt"
)
for row in "${table[@]}"; do
  IFS='|' read -r layout capacity discs options <<<"$row"
  mkdir -p "$base/$layout"
  make_game "$layout" "$base/$layout/game"
  mkdisc_controls "$base/$layout" "$base/$layout/game" test
  # shellcheck disable=SC2086  # the options are words
  plan=$(make_discs "$layout" "$capacity" $options) || { fail "$layout: mkdisc make failed"; continue; }
  case $capacity in cd700) bytes=737280000 ;; 1M) bytes=1048576 ;; esac
  check_discs "$layout" "$bytes" "$discs" "$plan"
  check_compressed "$layout"
done

# One file exactly filling the disc: the capacity of its planned size keeps one disc, one byte
# less moves the file to a second disc.
layout=one-file
mkdir -p "$base/$layout"
make_game "$layout" "$base/$layout/game"
mkdisc_controls "$base/$layout" "$base/$layout/game" test
if plan=$(make_discs "$layout" cd700); then
  exact=${plan#* }
  for capacity in "$exact" "$((exact - 1))"; do
    if plan=$(make_discs "$layout" "$capacity"); then
      check_discs "$layout" "$capacity" $((capacity == exact ? 1 : 2)) "$plan"
    else
      fail "$layout: mkdisc make failed at the capacity $capacity"
    fi
  done
else
  fail "$layout: mkdisc make failed"
fi

# Images written by mkdisc itself, read back by xorriso and isoinfo (not ours): through the Joliet tree every
# file of the disc folder with its exact name and bytes, through the ISO 9660 tree the same data;
# the image exactly its planned size, and the label and volume size that isoinfo reads. The path
# tables of both trees are read by iso_path_tables.py.
check_images() {  # <layout> <label> <plan lines>
  local layout=$1 label=$2 plan=$3 disc planned iso real sectors
  while read -r disc planned; do
    [ -n "$disc" ] || continue
    iso="$base/$layout/out/$disc.iso"
    real=$(stat -c %s "$iso" 2>/dev/null || echo 0)
    echo "$layout $disc.iso: planned $planned, image $real"
    [ "$real" -eq "$planned" ] || fail "$layout $disc.iso: $real bytes, planned $planned"
    isoinfo -d -i "$iso" >"$base/pvd.txt" 2>&1 || fail "$layout $disc.iso: isoinfo cannot read it"
    grep -qx "Volume id: $label" "$base/pvd.txt" || fail "$layout $disc.iso: not labelled $label: $(cat "$base/pvd.txt")"
    sectors=$(sed -n 's/^Volume size is: //p' "$base/pvd.txt")
    [ "$((sectors * 2048))" -eq "$real" ] || fail "$layout $disc.iso: volume of $sectors sectors in $real bytes"
    grep -q "Joliet with UCS level 3 found" "$base/pvd.txt" || fail "$layout $disc.iso: no Joliet level 3"
    # Windows' CD-ROM file system finds folders through the path tables.
    python3 "$here/iso_path_tables.py" "$iso" >"$base/tables.txt" 2>&1 ||
      fail "$layout $disc.iso: its path tables: $(cat "$base/tables.txt")"
    for tree in norock ecma119; do
      rm -rf "$base/read-$tree"
      LC_ALL=C.UTF-8 xorriso -read_fs $tree -osirrox on -indev "$iso" -extract / "$base/read-$tree" \
        >"$base/xorriso.log" 2>&1 || { cat "$base/xorriso.log"; fail "$layout $disc.iso: xorriso cannot read its $tree tree"; }
      chmod -R u+w "$base/read-$tree"
    done
    diff -r "$base/$layout/out/$disc" "$base/read-norock" >/dev/null || fail "$layout $disc.iso: its Joliet tree differs from $disc"
    [ "$(cd "$base/read-ecma119" && find . -type f -exec md5sum {} + | cut -c1-32 | sort)" = \
      "$(cd "$base/$layout/out/$disc" && find . -type f -exec md5sum {} + | cut -c1-32 | sort)" ] ||
      fail "$layout $disc.iso: its ISO 9660 tree does not hold the files of $disc"
  done <<<"$plan"
}

layout=iso-game
mkdir -p "$base/$layout"
make_game "$layout" "$base/$layout/game"
touch -d '2001-02-03 04:05:06 UTC' "$base/$layout/game/空/empty0.bin"
mkdisc_controls "$base/$layout" "$base/$layout/game" 'Sample Game 2!'
if plan=$(make_discs "$layout" 3M --iso --compress '*.txt'); then
  check_images "$layout" SAMPLE_GAME_2 "$plan"
  [ "$(echo "$plan" | wc -l)" -eq 2 ] || fail "$layout: $plan, expected two discs"
  [ "$(find "$base/$layout/out/disc1/data/音声" -type f | wc -l)" -eq 300 ] || fail "$layout: 音声 is not whole on disc 1"
  rm -rf "$base/read-norock"
  LC_ALL=C.UTF-8 xorriso -osirrox on -indev "$base/$layout/out/disc1.iso" -extract / "$base/read-norock" >/dev/null 2>&1
  [ "$(stat -c %Y "$base/read-norock/data/空/empty0.bin")" = "$(date -d '2001-02-03 04:05:06 UTC' +%s)" ] ||
    fail "$layout: the image does not carry the file's time"
  chmod -R u+w "$base/read-norock"
  images=()
  while read -r disc _; do images+=("T:\\mkdisc-images\\$layout\\out\\$disc.iso"); done <<<"$plan"
  "$runner" "$tool" verify --quiet "${images[@]}" >"$base/verify.txt" 2>&1 ||
    fail "$layout: verify refuses the images: $(cat "$base/verify.txt")"
  # One folder made into an image on its own, labelled as given.
  "$runner" "$tool" image "T:\\mkdisc-images\\$layout\\out\\disc2" "T:\\mkdisc-images\\$layout\\one.iso" --label one \
    >"$base/image.txt" 2>&1 || fail "$layout: mkdisc image failed: $(cat "$base/image.txt")"
  mv "$base/$layout/one.iso" "$base/$layout/out/disc2.iso"
  check_images "$layout" ONE "disc2 $(stat -c %s "$base/$layout/out/disc2.iso")"
else
  fail "$layout: mkdisc make --iso failed"
fi

# An image exactly filling the disc: a capacity of its size keeps one disc, one byte less makes two.
# Its installer is the shipped i686 build's (mkdisc takes no other), signed with a throwaway
# self-signed certificate as a publisher signs it before making the discs: the copy read back from
# the image must still verify.
layout=one-file
shipped=$(dirname "$tool")/../../../i686/installer.exe
[ -f "$shipped" ] || fail "no i686 installer.exe beside this build: build both targets first"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$base/key.pem" -out "$base/cert.pem" -days 2 \
  -subj "/CN=Example Publisher" >/dev/null 2>&1 || fail "openssl cannot make a certificate"
rm -f "$base/$layout/installer.exe"  # osslsigncode writes only new files
osslsigncode sign -certs "$base/cert.pem" -key "$base/key.pem" -n "Sample Game" \
  -in "$shipped" -out "$base/$layout/installer.exe" >/dev/null || fail "osslsigncode cannot sign"
if plan=$(make_discs "$layout" cd700 --iso); then
  LC_ALL=C.UTF-8 xorriso -osirrox on -indev "$base/$layout/out/disc1.iso" -extract /installer.exe "$base/read.exe" \
    >/dev/null 2>&1 || fail "$layout: xorriso cannot read installer.exe from disc1.iso"
  osslsigncode verify -CAfile "$base/cert.pem" -in "$base/read.exe" >"$base/signature.txt" 2>&1 ||
    fail "$layout: the installer read back from disc1.iso has no valid signature: $(tail -3 "$base/signature.txt")"
  exact=${plan#* }
  for capacity in "$exact" "$((exact - 1))"; do
    if plan=$(make_discs "$layout" "$capacity" --iso); then
      [ "$(echo "$plan" | wc -l)" -eq $((capacity == exact ? 1 : 2)) ] || fail "$layout: $plan at the capacity $capacity"
      check_images "$layout" TEST "$plan"
    else
      fail "$layout: mkdisc make --iso failed at the capacity $capacity"
    fi
  done
else
  fail "$layout: mkdisc make --iso failed"
fi

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all disc images fit their plans"
