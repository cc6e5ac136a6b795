#!/usr/bin/env bash
# Builds mkdisc's compression benchmark (x86_64) and runs it under 64-bit Wine on a private
# prefix: `mkdisc make` compression (pieces on one thread per logical processor, joined into one
# stream) against a bare single-threaded libbzip2 loop at the same level, over the same 60 MB of
# mixed game-like data (text, small-alphabet binary, noise, zeros), outputs written to files.
# BUILD_ROOT as for build.sh; ROUNDS (default 2): each figure is the best of that many runs taken
# in turn. Needs about 150 MB of free disk.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_root=${BUILD_ROOT:-$root/build}
dir="$build_root/x86_64"
BUILD_ROOT=$build_root BUILD_ARCHS=x86_64 bash "$root/scripts/build.sh" --target compressbench

source "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
wine_env_start "$build_root/bench-wine"
# The data lives on drive T:, the scratch folder that wine_env_start has just emptied.
mkdir -p "$INSTALLER_SCRATCH/compress-bench"
python3 - "$INSTALLER_SCRATCH/compress-bench/mixed.bin" <<'PY'
import random, sys
rng = random.Random(7)
words = [b"sword", b"dragon", b"castle", b"princess", b"\r\n", b"<item id=", b"/>", b"0x", b"level"]
total = 0
with open(sys.argv[1], "wb") as out:
    while total < 60_000_000:
        kind, n = rng.random(), rng.randint(200_000, 2_000_000)
        if kind < 0.4:
            chunk = b" ".join(rng.choice(words) + b"%d" % rng.randint(0, 9999) for _ in range(n // 8))[:n]
        elif kind < 0.7:
            chunk = bytes(rng.choice(b"\x00\x01\x02\x10\x20\x7f\xff") for _ in range(n // 4)) * 4
        elif kind < 0.9:
            chunk = rng.randbytes(n)
        else:
            chunk = bytes(n)
        out.write(chunk)
        total += len(chunk)
PY
"$WINE64" "$dir/bench/compressbench.exe" 'T:\compress-bench\mixed.bin' 'T:\compress-bench' "${ROUNDS:-2}"
# The pool's output is checked too: one stream that bzip2 accepts and expands to the source.
bzip2 -t "$INSTALLER_SCRATCH/compress-bench/pool.bz2"
bzip2 -dc "$INSTALLER_SCRATCH/compress-bench/pool.bz2" | cmp - "$INSTALLER_SCRATCH/compress-bench/mixed.bin"
echo "pool output: bzip2 -t passes and bzip2 -dc gives the source back"
rm -rf "$INSTALLER_SCRATCH/compress-bench"
