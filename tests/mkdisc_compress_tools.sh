#!/usr/bin/env bash
# mkdisc's bzip2 streams read by other programs: mkdisc.exe (run under Wine on drive T:) compresses
# edge-case files, and each stream must be one standard stream that bzip2 -t accepts and bzip2 -dc,
# Python's bz2, 7-Zip and the installer's expansion (mkdisc verify) give back as the file, no more
# than 1% larger than bzip2 -9's.
#   mkdisc_compress_tools.sh <Wine runner> <mkdisc.exe>     (under scripts/test.sh: INSTALLER_SCRATCH is T:)
set -euo pipefail
runner=$1
tool=$2
source "$(dirname "$0")/scratch.sh"
scratch_begin mkdisc-compress
mkdir -p "$base/game"

python3 - "$base/game" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(30)
def put(name, data):
    with open(os.path.join(root, name), "wb") as f:
        f.write(data)
def unrepeated(n):
    out = bytearray(rng.choice(b"abcdefgh0123 \n") for _ in range(n))
    for i in range(1, n):
        if out[i] == out[i - 1]:
            out[i] = ord("x") if out[i] != ord("x") else ord("y")
    return bytes(out)
put("empty.bin", b"")
put("one.bin", b"A")
put("runs.bin", b"|".join(bytes([97 + n % 7]) * n for n in (3, 4, 5, 6, 254, 255, 256, 257, 511, 4000)))
put("one-symbol.bin", b"\xff" * 2000000)
put("all-bytes.bin", bytes(range(256)) * 40)
exact = unrepeated(900000)
put("exact-block.bin", exact)
put("exact-block-and-one.bin", exact + b"!")
put("noise.bin", rng.randbytes(1500000))
words = [b"sword", b"dragon", b"castle", b"\r\n", b"<item id=", b"/>", b"level"]
put("text.bin", b" ".join(rng.choice(words) + b"%d" % rng.randint(0, 9999) for _ in range(400000)))
PY
mkdisc_controls "$base" "$base/game" test
win='T:\mkdisc-compress'
"$runner" "$tool" make --quiet --game "$win\\game" --out "$win\\out" --installer "$win\\installer.exe" \
  --ini "$win\\setup.ini" --compress '*.bin' >"$base/make.txt" 2>&1 || { cat "$base/make.txt"; exit 1; }

count=0
for original in "$base"/game/*.bin; do
  name=$(basename "$original")
  packed="$base/out/disc1/data/$name.bz2"
  count=$((count + 1))
  [ -f "$packed" ] || { fail "$name: no $name.bz2"; continue; }
  bzip2 -t "$packed" || fail "$name: bzip2 -t refuses it"
  bzip2 -dc "$packed" | cmp -s - "$original" || fail "$name: bzip2 -dc differs"
  7zz e -so -bd "$packed" 2>"$base/7zz.log" | cmp -s - "$original" ||
    fail "$name: 7-Zip differs ($(tr -d '\r' <"$base/7zz.log"))"
  ours=$(stat -c %s "$packed")
  reference=$(bzip2 -9 -c "$original" | wc -c)
  echo "$name: $(stat -c %s "$original") bytes, mkdisc $ours, bzip2 -9 $reference"
  [ $((ours * 100)) -le $((reference * 101)) ] || fail "$name: $ours bytes, more than 1% above bzip2 -9's $reference"
done
[ "$count" -eq 9 ] || fail "$count files, expected 9"
# Python's bz2 reads each as exactly one stream, with nothing after it.
python3 - "$base" <<'PY' || fail "Python's bz2"
import bz2, glob, os, sys
base = sys.argv[1]
for original in sorted(glob.glob(os.path.join(base, "game", "*.bin"))):
    packed = os.path.join(base, "out", "disc1", "data", os.path.basename(original) + ".bz2")
    reader = bz2.BZ2Decompressor()
    with open(original, "rb") as a, open(packed, "rb") as b:
        if reader.decompress(b.read()) != a.read() or not reader.eof or reader.unused_data:
            sys.exit("%s: not one stream that gives the file back" % packed)
PY
"$runner" "$tool" verify "$win\\out\\disc1" >"$base/verify.txt" 2>&1 || fail "mkdisc verify: $(tr -d '\r' <"$base/verify.txt")"
[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all $count streams read back by bzip2, Python, 7-Zip and mkdisc verify"
