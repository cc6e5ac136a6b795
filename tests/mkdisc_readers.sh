#!/usr/bin/env bash
# mkdisc's images read by readers that are not mkdisc's: udfinfo (udftools) reads the UDF volume,
# 7-Zip lists and extracts the UDF tree and the ISO tree separately, pycdlib reads the Joliet and
# the ISO 9660 trees, the file over 4 GiB included (several extents in each tree). A game 13
# folders deep goes into an image and 7-Zip finds its deepest file through UDF. Two runs with
# SOURCE_DATE_EPOCH on two copies of a game give identical images; a run without it differs only
# in times and identifiers. mkdisc verify accepts the images. What a disc cannot hold is refused
# before anything is written.
#   mkdisc_readers.sh <Wine runner> <mkdisc.exe>     (under scripts/test.sh: INSTALLER_SCRATCH is T:)
set -euo pipefail
runner=$1
tool=$2
source "$(dirname "$0")/scratch.sh"
scratch_begin mkdisc-readers
win='T:\mkdisc-readers'
pycdlib_python=/usr/bin/python3  # Debian's python3-pycdlib

# A small game: Japanese names (16-bit UDF names), ASCII ones (8-bit), an empty file, a name
# without extension, and a file 13 folders deep.
make_game() {  # <folder>
  python3 - "$1" <<'EOF'
import os, random, sys
root = sys.argv[1]
rng = random.Random(28)
def put(path, data):
    path = os.path.join(root, *path.split("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
put("game.exe", rng.randbytes(70000))
put("音声/ボイス001.ogg", rng.randbytes(5000))
put("音声/empty.ogg", b"")
put("README", b"read me\r\n")
put("/".join("d%02d" % level for level in range(1, 14)) + "/deepest.txt", b"thirteen folders down\r\n")
for i in range(40):
    put("画像/背景%03d.bmp" % i, rng.randbytes(rng.randint(0, 9000)))
EOF
}

# Runs mkdisc make on base/<name>; prints "<disc> <planned bytes>" per disc of its summary.
make_discs() {  # <name> <capacity> [options...]
  local name=$1 capacity=$2
  shift 2
  "$runner" "$tool" make --quiet --game "$win\\$name\\game" --out "$win\\$name\\out" --installer "$win\\installer.exe" \
    --ini "$win\\setup.ini" --capacity "$capacity" --iso "$@" >"$base/$name.summary" 2>&1 ||
    { cat "$base/$name.summary" >&2; return 1; }
  tr -d '\r' <"$base/$name.summary" | sed -n 's/^.*\\\(disc[0-9]*\): drvno:[0-9]*, [0-9]* files, image \([0-9]*\) of [0-9]* bytes.*$/\1 \2/p'
}

# udfinfo: UDF revision 1.02, the label, the image's blocks, the files and folders of the disc.
check_udfinfo() {  # <image> <disc folder> <label>
  local iso=$1 folder=$2 label=$3 info
  info=$(udfinfo --blocksize=2048 "$iso" 2>&1) || { fail "udfinfo cannot read $iso: $info"; return; }
  grep -qx "udfrev=1.02" <<<"$info" || fail "$iso: udfinfo finds no UDF 1.02: $info"
  grep -qx "label=$label" <<<"$info" || fail "$iso: udfinfo finds no label $label"
  grep -qx "blocks=$(($(stat -c %s "$iso") / 2048))" <<<"$info" || fail "$iso: udfinfo's blocks are not the image's"
  grep -qx "numfiles=$(find "$folder" -type f | wc -l)" <<<"$info" || fail "$iso: udfinfo counts other files"
  grep -qx "numdirs=$(find "$folder" -type d | wc -l)" <<<"$info" || fail "$iso: udfinfo counts other folders"
  grep -qx "integrity=closed" <<<"$info" || fail "$iso: the volume is not closed"
}

# 7-Zip extracts the UDF tree and the ISO tree separately; each must equal the disc folder.
check_7zip() {  # <image> <disc folder>
  local iso=$1 folder=$2 type
  for type in udf iso; do
    rm -rf "$base/7z-$type"
    7zz x -y -t$type -o"$base/7z-$type" "$iso" >"$base/7z.log" 2>&1 || { cat "$base/7z.log"; fail "$iso: 7-Zip cannot extract its $type tree"; continue; }
    grep -q "^Warnings\|^ERROR" "$base/7z.log" && fail "$iso: 7-Zip warns about its $type tree: $(cat "$base/7z.log")"
    diff -r "$folder" "$base/7z-$type" >/dev/null || fail "$iso: its $type tree as 7-Zip reads it differs from $folder"
    rm -rf "$base/7z-$type"
  done
}

# pycdlib reads the Joliet tree (names and bytes) and the ISO 9660 tree (the same bytes); a path
# given as big is compared by streaming, in both trees.
check_pycdlib() {  # <image> <disc folder> [<big Joliet path> <its ISO 9660 path>]
  "$pycdlib_python" - "$@" <<'EOF' || fail "$1: pycdlib does not read the Joliet and ISO 9660 trees as $2"
import hashlib, os, sys, pycdlib
image, folder = sys.argv[1], sys.argv[2]
big, big9660 = (sys.argv[3], sys.argv[4]) if len(sys.argv) > 4 else (None, None)
iso = pycdlib.PyCdlib()
iso.open(image)
class Digest:
    def __init__(self): self.h = hashlib.md5()
    def write(self, data): self.h.update(data); return len(data)
def digest_of(**path):
    d = Digest()
    iso.get_file_from_iso_fp(d, **path)
    return d.h.hexdigest()
def file_digest(path):
    h = hashlib.md5()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(1 << 20), b""): h.update(piece)
    return h.hexdigest()
def files(**root):
    found = set()
    for top, dirs, names in iso.walk(**root):
        found.update(top.rstrip("/") + "/" + name for name in names)
    return found
expected = {}
for top, dirs, names in os.walk(folder):
    for name in names:
        full = os.path.join(top, name)
        expected["/" + os.path.relpath(full, folder)] = full
joliet, iso9660 = files(joliet_path="/"), files(iso_path="/")
checks = {"Joliet names": joliet == set(expected), "ISO 9660 files": len(iso9660) == len(expected)}
small = sorted(file_digest(p) for k, p in expected.items() if k != big)
checks["Joliet bytes"] = sorted(digest_of(joliet_path=k) for k in joliet if k != big) == small
checks["ISO 9660 bytes"] = sorted(digest_of(iso_path=p) for p in iso9660 if p != big9660) == small
if big:
    want = file_digest(expected[big])
    checks["Joliet multi-extent file"] = digest_of(joliet_path=big) == want
    checks["ISO 9660 multi-extent file"] = digest_of(iso_path=big9660) == want
wrong = [name for name, ok in checks.items() if not ok]
if wrong: print("pycdlib reads other", ", ".join(wrong))
sys.exit(1 if wrong else 0)
EOF
}

# The small game, its copy with the same times, and two reproducible runs.
make_game "$base/small/game"
mkdisc_controls "$base" "$base/small/game" "Reader Test"
mkdir -p "$base/copy"
cp -a "$base/small/game" "$base/copy/game"
export SOURCE_DATE_EPOCH=1767225600  # 2026-01-01
plan=$(make_discs small cd700) || fail "small: mkdisc make --iso failed"
make_discs copy cd700 >/dev/null || fail "copy: mkdisc make --iso failed"
unset SOURCE_DATE_EPOCH
iso="$base/small/out/disc1.iso"
[ "$(stat -c %s "$iso")" = "${plan#* }" ] || fail "small: the image is not its planned size ($plan)"
cmp -s "$iso" "$base/copy/out/disc1.iso" || fail "two runs with SOURCE_DATE_EPOCH on two copies differ"
mv "$base/copy/out" "$base/copy/epoch"
make_discs copy cd700 >/dev/null || fail "copy: mkdisc make --iso without SOURCE_DATE_EPOCH failed"
# The data begins with drvno.dat's; times and identifiers lie before it, in the trees.
python3 - "$iso" "$base/copy/out/disc1.iso" <<'EOF' || fail "a run without SOURCE_DATE_EPOCH differs in more than times and identifiers"
import sys
a, b = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read()
data = next(at for at in range(0, len(a), 2048) if a.startswith(b"drvno:0\r\n", at))
differing = [at for at in range(len(a)) if a[at] != b[at]] if len(a) == len(b) else [len(a)]
print("without SOURCE_DATE_EPOCH: %d bytes differ, the last at %d, the data from %d" % (len(differing), max(differing, default=-1), data))
sys.exit(0 if differing and max(differing) < data and a[data:] == b[data:] else 1)
EOF
check_udfinfo "$iso" "$base/small/out/disc1" READER_TEST
check_7zip "$iso" "$base/small/out/disc1"
check_pycdlib "$iso" "$base/small/out/disc1"
7zz l -tudf "$iso" >"$base/7z.log" 2>&1 || true
grep -q 'data/d01/d02/d03/d04/d05/d06/d07/d08/d09/d10/d11/d12/d13/deepest.txt' "$base/7z.log" ||
  fail "7-Zip does not find the deepest file through UDF"
"$runner" "$tool" verify --quiet "$win\\small\\out\\disc1.iso" >"$base/verify.txt" 2>&1 ||
  fail "small: verify refuses the image: $(cat "$base/verify.txt")"

# A game with a file of 4 GiB and 1 MiB, sparse but for bytes marking where extents meet.
mkdir -p "$base/big/game"
python3 - "$base/big/game/huge.bin" <<'EOF'
import sys
size = (4 << 30) + (1 << 20)
with open(sys.argv[1], "wb") as f:
    f.truncate(size)
    for at in [0, (1 << 30) - 2049, (1 << 30) - 2048, (1 << 30) - 1, 0xFFFFF7FF, 0xFFFFF800, (4 << 30) - 1, 4 << 30, size - 1]:
        f.seek(at)
        f.write(bytes([(at * 7 + 13) % 251 or 1]))
EOF
printf 'small' >"$base/big/game/small.txt"
mkdisc_controls "$base" "$base/big/game" "Reader Test"
if plan=$(make_discs big dvd9); then
  iso="$base/big/out/disc1.iso"
  [ "$(stat -c %s "$iso")" = "${plan#* }" ] || fail "big: the image is not its planned size ($plan)"
  check_udfinfo "$iso" "$base/big/out/disc1" READER_TEST
  for type in udf iso; do
    7zz e -so -t$type "$iso" data/huge.bin 2>/dev/null | cmp -s - "$base/big/game/huge.bin" ||
      fail "big: 7-Zip's $type tree does not hold the file over 4 GiB"
  done
  check_pycdlib "$iso" "$base/big/out/disc1" /data/huge.bin "/DATA/HUGE.BIN;1"
  "$runner" "$tool" verify --quiet "$win\\big\\out\\disc1.iso" >"$base/verify.txt" 2>&1 ||
    fail "big: verify refuses the image: $(cat "$base/verify.txt")"
else
  fail "big: mkdisc make --iso failed"
fi
rm -rf "$base/big/out"

# Refusals, before anything is written: a file over 4 GiB in disc folders without --iso, more
# folders than the path tables number, a name longer than Joliet's.
refuse() {  # <name> <expected words> [options...]
  local name=$1 because=$2 status=0
  shift 2
  "$runner" "$tool" make --game "$win\\$name\\game" --out "$win\\$name\\out" --installer "$win\\installer.exe" \
    --ini "$win\\setup.ini" --capacity dvd9 "$@" >"$base/$name.summary" 2>&1 || status=$?
  [ "$status" -eq 1 ] || fail "$name: exit code $status, expected 1"
  grep -q "refused: .*$because" "$base/$name.summary" || fail "$name: $(cat "$base/$name.summary")"
  [ ! -e "$base/$name/out" ] || fail "$name: something was written"
}
refuse big "use --iso"
mkdir -p "$base/long/game" && : >"$base/long/game/$(printf 'n%.0s' {1..65}).bin"
refuse long "at most 64" --iso
python3 - "$base/folders/game" <<'EOF'
import os, sys
for i in range(65280):  # 255 folders of 256, and the 255: with the root and data, two more than 65,535
    folder = os.path.join(sys.argv[1], "%03x" % (i >> 8), "%02x" % (i & 255))
    os.makedirs(folder)
    open(os.path.join(folder, "f"), "wb").close()
EOF
refuse folders "more than 65533 folders" --iso

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "foreign readers read every image as its game"
