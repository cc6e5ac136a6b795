#!/usr/bin/env bash
# Builds mkdisc's compression benchmark (x86_64, the build this machine runs natively) and runs it
# under 64-bit Wine on a private prefix, over 60 MB of mixed game-like data (text, small-alphabet
# binary, noise, zeros), every output written to a file. In one run, on the same data and cores:
# mkdisc on all logical processors against a single-threaded libbzip2 loop and against native
# `lbzip2 -9 -n<processors>`; mkdisc on one thread against the libbzip2 loop and `lbzip2 -9 -n1`;
# and the output sizes against `bzip2 -9`; the processor time of each too (other work on the
# machine disturbs it less), and the load average. Targets: all processors at least 1.0x lbzip2's
# throughput, one thread at least 2.0x the loop's, output at most 1.01x bzip2 -9's.
# BUILD_ROOT as for build.sh; ROUNDS (default 2): each figure is the best of that many rounds,
# each round running every program in turn. Needs about 250 MB of free disk.
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
data="$INSTALLER_SCRATCH/compress-bench"
cores=$(nproc)
# Runs a program with its output to a file; prints its seconds and its processor seconds.
run_timed() {  # <output file> <program> [arguments...]
  python3 -c '
import resource, subprocess, sys, time
start = time.perf_counter()
with open(sys.argv[1], "wb") as out:
    subprocess.run(sys.argv[2:], stdout=out, check=True)
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
print("%.3f %.3f" % (time.perf_counter() - start, usage.ru_utime + usage.ru_stime))
' "$@"
}
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
figures=()
for round in $(seq 1 "${ROUNDS:-2}"); do
  line=$("$WINE64" "$dir/bench/compressbench.exe" 'T:\compress-bench\mixed.bin' 'T:\compress-bench' | tr -d '\r')
  read -r lbzip_all lbzip_all_cpu < <(run_timed "$data/lbzip2-all.bz2" lbzip2 -9 -n "$cores" -c "$data/mixed.bin")
  read -r lbzip_one lbzip_one_cpu < <(run_timed "$data/lbzip2-one.bz2" lbzip2 -9 -n 1 -c "$data/mixed.bin")
  figures+=("$line lbzip_all=$lbzip_all lbzip_all_cpu=$lbzip_all_cpu lbzip_one=$lbzip_one lbzip_one_cpu=$lbzip_one_cpu \
load=$(cut -d' ' -f1 /proc/loadavg)")
  echo "round $round: ${figures[-1]}"
done
bzip2 -9 -c "$data/mixed.bin" > "$data/bzip2.bz2"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$cores" "$(stat -c %s "$data/bzip2.bz2")" "$(stat -c %s "$data/lbzip2-all.bz2")" "${figures[@]}" <<'PY'
import sys
cores, bzip2_out, lbzip2_out = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
rounds = [dict(item.split("=") for item in line.split()) for line in sys.argv[4:]]
best = {key: min(float(r[key]) for r in rounds) for key in ("loop", "pool", "one", "lbzip_all", "lbzip_one",
                                                             "loop_cpu", "pool_cpu", "one_cpu", "lbzip_all_cpu",
                                                             "lbzip_one_cpu")}
r = rounds[0]
mb = int(r["bytes"]) / 1e6
def line(what, key, out=None):
    text = "%-42s %6.2f s  %6.1f MB/s" % (what, best[key], mb / best[key])
    return text + ("  %6.2f MB out" % (out / 1e6) if out else "")
def verdict(ratio, target):
    return "%.2fx (target >= %.1fx: %s)" % (ratio, target, "met" if ratio >= target else "NOT met")
print("source %.1f MB, %d logical processors, best of %d round(s)" % (mb, cores, len(rounds)))
print("all processors:")
print("  " + line("mkdisc on %s threads (Wine, x86_64)" % r["threads"], "pool", int(r["pool_out"])))
print("  " + line("lbzip2 -9 -n%d (native)" % cores, "lbzip_all", lbzip2_out))
print("  " + line("libbzip2 loop, one thread (Wine, x86_64)", "loop", int(r["loop_out"])))
print("  mkdisc / lbzip2: " + verdict(best["lbzip_all"] / best["pool"], 1.0))
print("  mkdisc / libbzip2 loop: %.2fx" % (best["loop"] / best["pool"]))
print("one thread:")
print("  " + line("mkdisc on 1 thread (Wine, x86_64)", "one", int(r["one_out"])))
print("  " + line("libbzip2 loop, one thread (Wine, x86_64)", "loop"))
print("  " + line("lbzip2 -9 -n1 (native)", "lbzip_one"))
print("  mkdisc / libbzip2 loop: " + verdict(best["loop"] / best["one"], 2.0))
print("  mkdisc / lbzip2 -n1: %.2fx" % (best["lbzip_one"] / best["one"]))
print("output:")
print("  mkdisc %d bytes, bzip2 -9 %d bytes: %.4fx (target <= 1.01x: %s)" % (int(r["pool_out"]), bzip2_out,
      int(r["pool_out"]) / bzip2_out, "met" if int(r["pool_out"]) <= 1.01 * bzip2_out else "NOT met"))
print("processor seconds (user and system, all threads), which other work on the machine disturbs less:")
print("  mkdisc on %s threads %.2f s, lbzip2 -9 -n%d %.2f s: %.2fx" % (r["threads"], best["pool_cpu"], cores,
      best["lbzip_all_cpu"], best["lbzip_all_cpu"] / best["pool_cpu"]))
print("  mkdisc on 1 thread %.2f s, libbzip2 loop %.2f s: %.2fx; lbzip2 -9 -n1 %.2f s: %.2fx" % (
      best["one_cpu"], best["loop_cpu"], best["loop_cpu"] / best["one_cpu"], best["lbzip_one_cpu"],
      best["lbzip_one_cpu"] / best["one_cpu"]))
print("each round (its own pairs, the load average at its end):")
for i, x in enumerate(rounds, 1):
    print("  round %d: all processors mkdisc %.2f s / lbzip2 %.2f s = %.2fx; one thread mkdisc %.2f s / loop %.2f s"
          " = %.2fx; load %s" % (i, float(x["pool"]), float(x["lbzip_all"]), float(x["lbzip_all"]) / float(x["pool"]),
                                 float(x["one"]), float(x["loop"]), float(x["loop"]) / float(x["one"]), x["load"]))
PY
# The outputs are checked too: one stream each that bzip2 accepts and expands to the source.
for out in pool one; do
  bzip2 -t "$data/$out.bz2"
  bzip2 -dc "$data/$out.bz2" | cmp - "$data/mixed.bin"
done
cmp "$data/pool.bz2" "$data/one.bz2"
echo "mkdisc's outputs: bzip2 -t passes, bzip2 -dc gives the source back, one thread and all give the same bytes"
rm -rf "$data"
