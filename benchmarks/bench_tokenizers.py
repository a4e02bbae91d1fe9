#!/usr/bin/env python3
"""Throughput of FTTokenizer and FFTokenizer next to bytes.decode, and the peak
memory of FFTokenizer over a 1 GiB file.

Throughput: the generated mixed text (benchmarks/data/mixed.txt) is tokenized
with default settings, every batch taken from the stream, in one process; each
round times `bytes.decode("utf-8")` of the same bytes, FTTokenizer(bytes),
FTTokenizer(str) and FFTokenizer(path), in that order, and the median of the
rounds is reported with the ratio tokenizer time / decode time.

Memory: a fresh subprocess imports the module, opens benchmarks/data/big.txt
(1 GiB, built from the mixed text when missing and reused afterwards) with
FFTokenizer at default settings, takes every batch, and reports its peak
resident memory (VmHWM from /proc/self/status; ru_maxrss where that is missing).

Results: benchmarks/results/tokenizers.md and tokenizers.json.

Usage: bench_tokenizers.py [--quick] [--rounds N] [--no-big | --big]
(a quick run skips the 1 GiB file unless --big is given)
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import DATA, MB, MIB, results_dir, fmt_count, fmt_rate, log, machine, md_table, median  # noqa: E402,E501
from make_corpus import BIG_BYTES, build_big  # noqa: E402


def _drain(tok) -> int:
    n = 0
    for b in tok.stream:
        n += len(b["types"])
    return n


def throughput(path: Path, rounds: int):
    import tarvelinCXX as tc

    data = path.read_bytes()
    text = data.decode("utf-8")
    _drain(tc.FTTokenizer(data[:4096].decode("utf-8", "ignore")))   # table, NumPy import
    cases = {
        "bytes.decode(\"utf-8\")": lambda: (data.decode("utf-8"), 0)[1],
        "FTTokenizer(bytes)": lambda: _drain(tc.FTTokenizer(data)),
        "FTTokenizer(str)": lambda: _drain(tc.FTTokenizer(text)),
        "FFTokenizer(path)": lambda: _drain(tc.FFTokenizer(str(path))),
    }
    times: dict[str, list[float]] = {k: [] for k in cases}
    tokens: dict[str, int] = {}
    for r in range(rounds):
        for name, fn in cases.items():
            t0 = time.perf_counter()
            n = fn()
            dt = time.perf_counter() - t0
            times[name].append(dt)
            tokens[name] = n
            log(f"  round {r + 1}/{rounds} {name:22s} {len(data) / MB / dt:8.1f} MB/s")
    return len(data), times, tokens


MEMORY_WORKER = r"""
import sys, resource
def hwm():
    try:
        for line in open("/proc/self/status"):
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
import numpy, tarvelinCXX as tc
before = hwm()
tok = tc.FFTokenizer(sys.argv[1])
n = 0
for b in tok.stream:
    n += len(b["types"])
print(before, hwm(), n)
"""


def peak_memory(path: Path):
    r = subprocess.run([sys.executable, "-c", MEMORY_WORKER, str(path)], capture_output=True,
                       text=True, check=True)
    before, peak, n = map(int, r.stdout.split())
    return before / 1024, peak / 1024, n


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--rounds", type=int, default=None)
    ap.add_argument("--no-big", action="store_true", help="skip the 1 GiB memory measurement")
    ap.add_argument("--big", action="store_true", help="measure it in a quick run too")
    ap.add_argument("--corpus", default=None, help="file name under benchmarks/data/")
    args = ap.parse_args()
    quick = args.quick or os.environ.get("BENCH_QUICK") == "1"
    rounds = args.rounds or (3 if quick else 7)
    corpus = DATA / (args.corpus or ("mixed_quick.txt" if quick else "mixed.txt"))
    if not corpus.exists():
        raise SystemExit(f"{corpus} not found: run benchmarks/make_corpus.py first")

    log(f"throughput on {corpus.name}")
    size, times, tokens = throughput(corpus, rounds)
    dec = median(times["bytes.decode(\"utf-8\")"])
    rows = []
    raw = {}
    for name, ts in times.items():
        t = median(ts)
        raw[name] = {"seconds": ts, "median": t, "tokens": tokens[name]}
        rows.append([name, fmt_rate(size / MB / t), fmt_count(tokens[name] / t) if tokens[name]
                     else "—", f"{t * 1000:.0f}", f"{t / dec:.2f}"])
    md = ["# FTTokenizer and FFTokenizer throughput\n\n",
          f"Measured on: {machine()}.  \n",
          f"Date: {time.strftime('%Y-%m-%d %H:%M %Z')}; {'quick smoke run' if quick else 'full run'}. "
          f"Corpus: {corpus.name}, {size / MB:.1f} MB of generated mixed Russian/English text, "
          f"{fmt_count(tokens['FTTokenizer(bytes)'])} tokens. Default settings (batch size 65536, "
          f"every token type), every batch dict taken from the stream. Median of {rounds} rounds "
          f"in one process.\n\n",
          md_table(["", "MB/s", "tokens/s", "median ms", "time / decode"], rows)]
    ff, ft = median(times["FFTokenizer(path)"]), median(times["FTTokenizer(bytes)"])
    md.append(f"\nFFTokenizer(path) takes {ff / ft:.2f}x the time of FTTokenizer(bytes) and "
              f"{ff / median(times['FTTokenizer(str)']):.2f}x that of FTTokenizer(str).\n")

    mem = None
    if args.big or not (args.no_big or quick):
        big = DATA / "big.txt"
        if not big.exists() or big.stat().st_size != BIG_BYTES:
            src = DATA / "mixed.txt" if (DATA / "mixed.txt").exists() else corpus
            log(f"building {big.name} (1 GiB) from {src.name}")
            build_big(big, src)
        log("peak memory of FFTokenizer over big.txt (fresh process)")
        t0 = time.perf_counter()
        before, peak, n = peak_memory(big)
        dt = time.perf_counter() - t0
        mem = {"before_mib": before, "peak_mib": peak, "tokens": n, "seconds": dt}
        md.append(f"\n## Peak memory over a 1 GiB file\n\n"
                  f"FFTokenizer at default settings over big.txt ({BIG_BYTES / MIB:.0f} MiB, the "
                  f"mixed text repeated), every batch taken, in a fresh process: peak resident "
                  f"memory (VmHWM) **{peak:.1f} MiB** for the whole process "
                  f"(target: under 100 MiB); {before:.1f} MiB of it were reached before the "
                  f"tokenizer was made (interpreter, NumPy, module). {fmt_count(n)} tokens in "
                  f"{dt:.1f} s including process start.\n")
    out = results_dir(quick)
    (out / "tokenizers.md").write_text("".join(md), encoding="utf-8")
    (out / "tokenizers.json").write_text(json.dumps(
        {"machine": machine(), "corpus": corpus.name, "bytes": size, "rounds": rounds,
         "quick": quick, "times": raw, "memory": mem}, indent=1), encoding="utf-8")
    print("".join(md))
    return 0


if __name__ == "__main__":
    sys.exit(main())
