#!/usr/bin/env python3
"""Throughput of FTTokenizer and FFTokenizer next to bytes.decode, and the peak
memory of FFTokenizer over a 1 GiB file.

Throughput: the generated mixed text (benchmarks/data/mixed.txt) is tokenized
with default settings, every batch taken from the stream, in one process; each
round times `bytes.decode("utf-8")` of the same bytes, FTTokenizer(bytes),
FTTokenizer(str) and FFTokenizer(path), in that order, and the median of the
rounds is reported with the ratio tokenizer time / decode time.

Goals: on each corpus of make_corpus.py (the real Russian and English text,
real_ru.txt and real_en.txt, and the mixed text), one process times, in
interleaved rounds, bytes.decode("utf-8"), FTTokenizer(bytes), FTTokenizer(str),
FFTokenizer(path), and FTTokenizer(bytes) keeping words only and with
set_filter(0), and reports each as a ratio: the tokenizers' time over decoding
the same bytes, English MB/s against decoding the Russian corpus, and the two
filters' time over taking all tokens. The same again at the scalar level when
the module has the private hook _set_scan_level (TARVELIN_SCAN_LEVEL names the
levels to run, comma-separated; default "best,scalar", "best" being the level
the module chose). A quick run takes the first 2 MB of each corpus.

Two threads: two copies of the start of the corpus, each read by its own
FFTokenizer, by one thread one after the other and by two threads at once.

Memory: a fresh subprocess imports the module, opens benchmarks/data/big.txt
(1 GiB, built from the mixed text when missing and reused afterwards) with
FFTokenizer at default settings, takes every batch, and reports its peak
resident memory (VmHWM from /proc/self/status; ru_maxrss where that is missing).

Results: benchmarks/results/tokenizers.md and tokenizers.json.

Usage: bench_tokenizers.py [--quick] [--rounds N] [--no-big | --big] [--no-goals]
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


GOAL_CORPORA = ("real_ru.txt", "real_en.txt", "mixed.txt")
QUICK_PREFIX = 2_000_000


def goal_corpora(quick: bool) -> list[Path]:
    """The corpora present; in a quick run their first 2 MB (cut at a character)."""
    out = []
    for name in GOAL_CORPORA:
        path = DATA / name
        if name == "mixed.txt" and quick:
            path = DATA / "mixed_quick.txt"
        if not path.exists():
            log(f"  {path.name} missing, skipped (run benchmarks/make_corpus.py)")
            continue
        if quick and path.stat().st_size > QUICK_PREFIX:
            data = path.read_bytes()[:QUICK_PREFIX].decode("utf-8", "ignore").encode("utf-8")
            cut = DATA / (path.stem + "_prefix.txt")
            if not cut.exists() or cut.read_bytes() != data:
                cut.write_bytes(data)
            path = cut
        out.append(path)
    return out


def goal_cases(tc, path: Path):
    data = path.read_bytes()
    text = data.decode("utf-8")
    words = int(tc.ENWORD) | int(tc.NUMBER) | int(tc.RUWORD)

    def filtered(mask):
        def run():
            tok = tc.FTTokenizer(data)
            tok.set_filter(mask)
            return _drain(tok)
        return run

    return data, {
        "decode": lambda: (data.decode("utf-8"), 0)[1],
        "FTTokenizer(bytes)": lambda: _drain(tc.FTTokenizer(data)),
        "FTTokenizer(str)": lambda: _drain(tc.FTTokenizer(text)),
        "FFTokenizer(path)": lambda: _drain(tc.FFTokenizer(str(path))),
        "words only": filtered(words),
        "set_filter(0)": filtered(0),
    }


def goals(corpora: list[Path], rounds: int, levels: list[str]):
    """Median seconds of every case on every corpus, per level."""
    import tarvelinCXX as tc

    hook = getattr(tc, "_set_scan_level", None)
    _drain(tc.FTTokenizer("warm up: таблица, NumPy"))
    best = tc._scan_level() if hasattr(tc, "_scan_level") else None
    result = {}
    for level in levels:
        if level == "best" and best is not None:
            hook(best)
        elif level != "best":
            if hook is None:
                log(f"  level {level}: the module has no _set_scan_level, skipped")
                continue
            hook(level)
        per = {}
        for path in corpora:
            data, cases = goal_cases(tc, path)
            times = {k: [] for k in cases}
            for r in range(rounds):
                for name, fn in cases.items():
                    t0 = time.perf_counter()
                    fn()
                    times[name].append(time.perf_counter() - t0)
            per[path.name] = {"bytes": len(data),
                              "median": {k: median(v) for k, v in times.items()},
                              "seconds": times}
            m = per[path.name]["median"]
            log(f"  [{level}] {path.name}: " + ", ".join(
                f"{k} {len(data) / MB / v:.0f} MB/s" for k, v in m.items()))
        result[level] = per
    if best is not None:
        hook(best)  # what follows measures the default level again
    return result


def goals_md(res) -> list[str]:
    md = ["\n## Goals per corpus\n\n"
          "Ratios of median times in one process, default settings, every batch dict taken. "
          "`/ decode`: time over `bytes.decode(\"utf-8\")` of the same bytes (goal for Russian "
          "and mixed text: at most 1.00). `/ all`: time over FTTokenizer(bytes) taking all "
          "tokens (goal: below 1.00). English goal: at least 1000 MB/s and at least twice the "
          "MB/s of decoding the Russian corpus.\n\n"]
    for level, per in res.items():
        ru = next((v for k, v in per.items() if k.startswith("real_ru")), None)
        ru_dec = ru["bytes"] / ru["median"]["decode"] / MB if ru else None
        rows = []
        for name, v in per.items():
            m, size = v["median"], v["bytes"]
            dec, all_ = m["decode"], m["FTTokenizer(bytes)"]
            rate = lambda k: size / MB / m[k]  # noqa: E731
            row = [name, f"{rate('decode'):.0f}"]
            for k in ("FTTokenizer(bytes)", "FTTokenizer(str)", "FFTokenizer(path)"):
                row.append(f"{rate(k):.0f} ({m[k] / dec:.2f})")
            row.append(f"{m['words only'] / all_:.2f}")
            row.append(f"{m['set_filter(0)'] / all_:.2f}")
            row.append(f"{min(rate(k) for k in ('FTTokenizer(bytes)', 'FTTokenizer(str)', 'FFTokenizer(path)')) / ru_dec:.2f}"
                       if ru_dec else "—")
            rows.append(row)
        md.append(f"Level: {level}.\n\n")
        md.append(md_table(["corpus", "decode MB/s", "FT(bytes) MB/s (/ decode)",
                            "FT(str) MB/s (/ decode)", "FF(path) MB/s (/ decode)",
                            "words only / all", "set_filter(0) / all",
                            "slowest of the three / Russian decode"], rows))
        md.append("\n")
    return md


def two_threads(corpus: Path, rounds: int, quick: bool):
    """Median seconds of one thread reading two files (each with its own
    FFTokenizer) one after the other, and of two threads reading one each at
    once; the files are two copies of the corpus's first 32 MB (4 MB quick)."""
    import tempfile
    import threading

    import tarvelinCXX as tc

    data = corpus.read_bytes()[: (4 if quick else 32) * 1000 * 1000]
    data = data.decode("utf-8", "ignore").encode("utf-8")
    with tempfile.TemporaryDirectory(prefix="tarvelin-bench-") as tmp:
        paths = [Path(tmp) / f"part{i}.txt" for i in range(2)]
        for path in paths:
            path.write_bytes(data)

        def read(path):
            _drain(tc.FFTokenizer(str(path)))

        def one():
            for path in paths:
                read(path)

        def two():
            threads = [threading.Thread(target=read, args=(path,)) for path in paths]
            for t in threads:
                t.start()
            for t in threads:
                t.join()

        times = {"one thread": [], "two threads": []}
        for _ in range(rounds):
            for name, fn in (("one thread", one), ("two threads", two)):
                t0 = time.perf_counter()
                fn()
                times[name].append(time.perf_counter() - t0)
    return {"bytes": 2 * len(data), "seconds": times,
            "median": {k: median(v) for k, v in times.items()}}


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
    ap.add_argument("--no-goals", action="store_true", help="skip the per-corpus goal ratios")
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

    goal_res = None
    if not args.no_goals:
        levels = [x for x in os.environ.get("TARVELIN_SCAN_LEVEL", "best,scalar").split(",") if x]
        log("goals per corpus at levels " + ", ".join(levels))
        goal_res = goals(goal_corpora(quick), rounds, levels)
        md += goals_md(goal_res)

    threads = None
    if not args.no_goals:
        log("two threads on two files against one thread doing both")
        threads = two_threads(corpus, rounds, quick)
        m = threads["median"]
        md.append(f"\n## Two threads\n\nTwo files of {threads['bytes'] / 2 / MB:.0f} MB (copies of "
                  f"the start of {corpus.name}), each read by its own FFTokenizer, every batch "
                  f"taken: one thread reading both one after the other took "
                  f"{m['one thread'] * 1000:.0f} ms, two threads reading one each at once "
                  f"{m['two threads'] * 1000:.0f} ms: **{m['one thread'] / m['two threads']:.2f}x** "
                  f"faster (goal: at least 1.6x; medians of {rounds} interleaved rounds).\n")

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
         "quick": quick, "times": raw, "goals": goal_res, "threads": threads,
         "memory": mem}, indent=1), encoding="utf-8")
    print("".join(md))
    return 0


if __name__ == "__main__":
    sys.exit(main())
