#!/usr/bin/env python3
"""Every shape of input against one joined text: many documents, Arrow columns,
counting, threads, a gzip-compressed corpus, files, small texts.

Documents: 200,000 real lines (the first 100,000 non-empty lines of
benchmarks/data/real_ru.txt and of real_en.txt, one of each in turn; the
lines of mixed.txt when those are missing), each without its line feed. In
one process, in interleaved rounds, the script times FTTokenizer over the
lines joined by line feeds, FDTokenizer over the list, over a pyarrow array
and over a polars Series of the same lines, one FTTokenizer(line).get_batch()
per line (the way before FDTokenizer), re.findall per line with the module's
token rules (benchmarks/peers.py), and count_tokens() over the documents and
over the joined text. MB/s are the bytes of the joined text (lines and line
feeds) over the time. The same FDTokenizer-against-joined ratio is measured
on the first 200,000 lines of mixed.txt, whose lines are longer.

Threads: two lists of the lines (distinct str objects), each read by its own
FDTokenizer, one after the other in one thread and at once in two; the same
for two FTTokenizers over the lines joined, to show what a second thread gives
on the machine at the time.

Compressed: mixed.txt followed by real_ru.txt (about 110 MB), gzip-compressed
at level 6 once into build/bench-shapes/ and reused; FFTokenizer over
gzip.open() against decompressing the same file alone into a 1 MiB buffer,
and the peak resident memory of the whole process doing it in a fresh child.

Files: FFTokenizer(path) against FTTokenizer(bytes) over mixed.txt, the bytes
read beforehand, the file in the page cache. The peak memory over 1 GiB is
measured by bench_tokenizers.py (benchmarks/results/tokenizers.json).

Small texts, in a fresh child: the resident memory that 1,000 tokenizers hold
together, each used once on one line of the documents, and the resident
memory after each of 20 rounds of making, using and dropping 1,000.

Recipes: the README's recipes (the code blocks starting with "# Recipe:"),
taken from README.md and timed on the same documents.

A measurement that the module cannot make yet (no FDTokenizer, no Arrow input,
no file objects) is reported as n/a with the reason. Results:
benchmarks/results/shapes.md and shapes.json; --quick takes 20,000 lines and
the quick corpora, results under benchmarks/results/quick/.

Usage: bench_shapes.py [--quick] [--rounds N]
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import gzip
import io
import json
import os
import re
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from dataclasses import asdict, dataclass
from itertools import islice
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import DATA, MB, MIB, log, machine, md_table, median, results_dir  # noqa: E402
from peers import TOKEN_PATTERN  # noqa: E402

import tarvelinCXX as tc  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "bench-shapes"
LINES = 200_000
QUICK_LINES = 20_000


@dataclass
class Row:
    """One line of the goal table."""

    what: str
    measured: str
    goal: str
    met: bool | None  # None: not measured
    before: str = "—"
    note: str = ""


# --- inputs ------------------------------------------------------------------------


def first_lines(path: Path, n: int, non_empty: bool) -> list[str]:
    with open(path, encoding="utf-8") as f:
        lines = (line.rstrip("\n") for line in f)
        return list(islice((x for x in lines if x) if non_empty else lines, n))


def mixed_path(quick: bool) -> Path:
    """The generated mixed text; in a quick run mixed_quick.txt, or else the first
    4 MB of mixed.txt (cut at a line) written once into build/bench-shapes/."""
    if not quick:
        return DATA / "mixed.txt"
    if (DATA / "mixed_quick.txt").exists():
        return DATA / "mixed_quick.txt"
    path = CACHE / "mixed_prefix.txt"
    if not path.exists():
        CACHE.mkdir(parents=True, exist_ok=True)
        with open(DATA / "mixed.txt", "rb") as f:
            data = f.read(4 * MB)
        path.write_bytes(data[: data.rindex(b"\n") + 1])
    return path


def documents(n: int, quick: bool) -> tuple[list[str], str]:
    """`n` real lines, Russian and English in turn; the source named."""
    ru, en = DATA / "real_ru.txt", DATA / "real_en.txt"
    if ru.exists() and en.exists():
        a, b = first_lines(ru, n // 2, True), first_lines(en, n - n // 2, True)
        docs = [x for pair in zip(a, b) for x in pair]
        return docs, f"lines of {ru.name} and {en.name} in turn"
    mixed = mixed_path(quick)
    return first_lines(mixed, n, False), f"lines of {mixed.name}"


def gzip_corpus(quick: bool) -> tuple[Path, int]:
    """The compressed corpus (built once) and its uncompressed size."""
    sources = [mixed_path(quick)] if quick else [DATA / "mixed.txt", DATA / "real_ru.txt"]
    sources = [p for p in sources if p.exists()]
    size = sum(p.stat().st_size for p in sources)
    CACHE.mkdir(parents=True, exist_ok=True)
    path = CACHE / f"corpus-{size}.txt.gz"
    if not path.exists():
        log(f"compressing {' + '.join(p.name for p in sources)} ({size / MB:.0f} MB) into {path}")
        tmp = path.with_suffix(".part")
        with gzip.open(tmp, "wb", compresslevel=6) as out:
            for p in sources:
                with open(p, "rb") as f:
                    while chunk := f.read(1 << 24):
                        out.write(chunk)
        tmp.rename(path)
    return path, size


# --- what the module can do ----------------------------------------------------------


def has_docs() -> str | None:
    """None when FDTokenizer exists, otherwise why not."""
    return None if hasattr(tc, "FDTokenizer") else "no FDTokenizer in this build"


def arrow_problem(column: object) -> str | None:
    """None when FDTokenizer reads `column`, otherwise why not."""
    if has_docs():
        return has_docs()
    try:
        tc.FDTokenizer(column).get_batch()
    except TypeError as err:
        return f"not accepted: {err}"
    return None


def file_object_problem() -> str | None:
    try:
        tc.FFTokenizer(io.BytesIO(b"a b")).get_batch()
    except TypeError as err:
        return f"file objects not accepted (TypeError: {first_line(str(err)).rstrip(':.')})"
    return None


# --- workloads -------------------------------------------------------------------------


def drain(tokenizer) -> int:
    n = 0
    for batch in tokenizer.stream:
        n += len(batch["types"])
    return n


def per_document_batches(docs: list[str]) -> int:
    n = 0
    for doc in docs:
        if batch := tc.FTTokenizer(doc).get_batch():
            n += len(batch["types"])
    return n


def per_document_findall(docs: list[str]) -> int:
    findall = re.compile(TOKEN_PATTERN, re.DOTALL).findall
    return sum(len(findall(doc)) for doc in docs)


def per_document_counts(docs: list[str]) -> int:
    total: dict[str, int] = {}
    for doc in docs:
        for token, n in tc.FTTokenizer(doc).count_tokens().items():
            total[token] = total.get(token, 0) + n
    return sum(total.values())


def in_threads(jobs: list[Callable[[], object]]) -> None:
    threads = [threading.Thread(target=job) for job in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def rounds_of(cases: dict[str, Callable[[], object]], rounds: int) -> dict[str, list[float]]:
    """Seconds of each case per round, the cases interleaved within a round."""
    times: dict[str, list[float]] = {name: [] for name in cases}
    for _ in range(rounds):
        for name, fn in cases.items():
            gc.collect()
            t0 = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - t0)
    return times


CHILD = r"""
import gc, json, sys
def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
import tarvelinCXX as tc
"""

GZIP_CHILD = CHILD + r"""
import gzip
before = status("VmHWM")
n = 0
with gzip.open(sys.argv[1], "rb") as f:
    for batch in tc.FFTokenizer(f).stream:
        n += len(batch["types"])
print(json.dumps({"before": before, "peak": status("VmHWM"), "tokens": n}))
"""

SMALL_CHILD = CHILD + r"""
line, rounds = sys.argv[1], int(sys.argv[2])
def used_once():
    tokenizer = tc.FTTokenizer(line)
    tokenizer.get_batch()
    return tokenizer
used_once()
gc.collect()
base = status("VmRSS")
held = [used_once() for _ in range(1000)]
together = status("VmRSS") - base
del held
after = []
for _ in range(rounds):
    held = [used_once() for _ in range(1000)]
    del held
    gc.collect()
    after.append(status("VmRSS"))
print(json.dumps({"base": base, "together": together, "after": after}))
"""


def child(script: str, *args: str) -> dict:
    r = subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True)
    if r.returncode:
        raise RuntimeError(r.stderr.strip().splitlines()[-1] if r.stderr.strip() else f"status {r.returncode}")
    return json.loads(r.stdout)


# --- the measurements --------------------------------------------------------------------


def ratio_row(what, value, goal, at_least, before="—", note="", unit="x"):
    met = value >= goal if at_least else value <= goal
    sign = "≥" if at_least else "≤"
    shown = f"{value:.0%}" if unit == "%" else f"{value:.2f}x"
    goal_shown = f"{sign} {goal:.0%}" if unit == "%" else f"{sign} {goal:g}x"
    return Row(what, shown, goal_shown, met, before, note)


def na_row(what, goal, why):
    return Row(what, "n/a", goal, None, note=first_line(why))


def first_line(text: str) -> str:
    return text.strip().splitlines()[0] if text.strip() else text


def documents_rows(docs, source, rounds, quick, res):
    """The rows of documents, Arrow columns, counting and small texts' speed."""
    joined = "\n".join(docs)
    size = len(joined.encode())
    res["documents"] = {"source": source, "lines": len(docs), "bytes": size, "mean_line_bytes": size / len(docs)}
    log(f"documents: {len(docs)} {source}, {size / len(docs):.1f} bytes a line with its line feed")
    cases: dict[str, Callable[[], object]] = {
        "joined": lambda: drain(tc.FTTokenizer(joined)),
        "per-document FTTokenizer": lambda: per_document_batches(docs),
        "per-document re.findall": lambda: per_document_findall(docs),
        "count joined": lambda: tc.FTTokenizer(joined).count_tokens(),
    }
    problems: dict[str, str | None] = {"list": has_docs()}
    if not problems["list"]:
        cases["FDTokenizer(list)"] = lambda: drain(tc.FDTokenizer(docs))
        cases["count documents"] = lambda: tc.FDTokenizer(docs).count_tokens()
    for name, make in (("pyarrow", lambda: __import__("pyarrow").array(docs, type="string")),
                       ("polars", lambda: __import__("polars").Series("text", docs))):
        try:
            column = make()
        except ImportError:
            problems[name] = f"{name} is not installed"
            continue
        problems[name] = arrow_problem(column)
        if not problems[name]:
            cases[f"FDTokenizer({name})"] = lambda c=column: drain(tc.FDTokenizer(c))
    cases["per-document count_tokens"] = lambda: per_document_counts(docs)
    if not problems["list"]:
        tokens = drain(tc.FDTokenizer(docs))
        assert tokens == drain(tc.FTTokenizer(joined)) - (len(docs) - 1), "documents and joined text differ"
        assert tokens == per_document_batches(docs), "FDTokenizer differs from one FTTokenizer a document"
    log("  timing " + ", ".join(cases))
    times = rounds_of(cases, rounds)
    t = {name: median(ts) for name, ts in times.items()}
    res["documents"]["seconds"] = times
    res["documents"]["mbps"] = {name: size / MB / s for name, s in t.items()}

    def rate(name):
        return f"{size / MB / t[name]:.0f} MB/s"

    rows = []
    joined_rate = f"joined {rate('joined')}"
    before = f"{t['joined'] / t['per-document FTTokenizer']:.1%} ({rate('per-document FTTokenizer')})"
    what = f"FDTokenizer over the lines (list of str) / FTTokenizer over them joined, MB/s"
    if problems["list"]:
        rows.append(na_row(what, "≥ 50%", problems["list"]))
        rows.append(na_row("FDTokenizer over the lines / per-document re.findall, speed", "≥ 20x",
                           problems["list"]))
    else:
        rows.append(ratio_row(what, t["joined"] / t["FDTokenizer(list)"], 0.5, True, before,
                              f"{rate('FDTokenizer(list)')}, {joined_rate}", unit="%"))
        rows.append(ratio_row("FDTokenizer over the lines / per-document re.findall, speed",
                              t["per-document re.findall"] / t["FDTokenizer(list)"], 20, True,
                              f"{t['per-document re.findall'] / t['per-document FTTokenizer']:.2f}x",
                              f"re.findall {rate('per-document re.findall')}"))
    for name in ("pyarrow", "polars"):
        what = f"FDTokenizer over a {name} {'string array' if name == 'pyarrow' else 'Series'} / joined, MB/s"
        if problems[name]:
            rows.append(na_row(what, "≥ 80%", problems[name]))
        else:
            rows.append(ratio_row(what, t["joined"] / t[f"FDTokenizer({name})"], 0.8, True, before,
                                  f"{rate(f'FDTokenizer({name})')}, {joined_rate}", unit="%"))
    what = "count_tokens() over the documents / over the joined text, speed"
    per_doc_count = (f"{t['count joined'] / t['per-document count_tokens']:.1%}"
                     if "per-document count_tokens" in t else "—")
    if problems["list"]:
        rows.append(na_row(what, "≥ 70%", problems["list"]))
    else:
        rows.append(ratio_row(what, t["count joined"] / t["count documents"], 0.7, True, per_doc_count,
                              f"{rate('count documents')}, joined {rate('count joined')}", unit="%"))
    res["per_line"] = {"ft": t["per-document FTTokenizer"], "re": t["per-document re.findall"]}
    small_speed = ratio_row(
        "one FTTokenizer(line).get_batch() a line / re.findall a line, speed",
        t["per-document re.findall"] / t["per-document FTTokenizer"], 2, True, "—",
        f"{t['per-document FTTokenizer'] / len(docs) * 1e6:.2f} µs a line against "
        f"{t['per-document re.findall'] / len(docs) * 1e6:.2f} µs")
    return rows, small_speed


def long_lines_row(rounds, quick, res):
    mixed = mixed_path(quick)
    what = f"FDTokenizer over {mixed.name}'s lines / joined, MB/s"
    if has_docs() or not mixed.exists():
        return na_row(what, "≥ 50%", has_docs() or f"{mixed.name} missing")
    docs = first_lines(mixed, QUICK_LINES if quick else LINES, False)
    joined = "\n".join(docs)
    size = len(joined.encode())
    times = rounds_of({"joined": lambda: drain(tc.FTTokenizer(joined)),
                       "FDTokenizer(list)": lambda: drain(tc.FDTokenizer(docs))}, rounds)
    t = {name: median(ts) for name, ts in times.items()}
    res["long_lines"] = {"lines": len(docs), "bytes": size, "seconds": times}
    return ratio_row(what, t["joined"] / t["FDTokenizer(list)"], 0.5, True, "—",
                     f"{len(docs)} lines of {size / len(docs):.0f} bytes; {size / MB / t['FDTokenizer(list)']:.0f} "
                     f"MB/s against {size / MB / t['joined']:.0f} MB/s", unit="%")


def threads_row(docs, rounds, res):
    what = "two threads, each its own FDTokenizer over its own list / one thread doing both"
    if has_docs():
        return na_row(what, "≥ 1.5x", has_docs())
    lists = [docs, [(d + ".")[:-1] for d in docs]]
    # The control: what two threads give on this machine for two joined texts.
    joined = ["\n".join(docs), "\n".join(lists[1]) + "\n"]

    def read(i):
        return lambda: drain(tc.FDTokenizer(lists[i]))

    def per_doc(i):
        return lambda: per_document_batches(lists[i])

    def whole(i):
        return lambda: drain(tc.FTTokenizer(joined[i]))

    cases = {
        "one thread": lambda: (read(0)(), read(1)()),
        "two threads": lambda: in_threads([read(0), read(1)]),
        "one thread, per document": lambda: (per_doc(0)(), per_doc(1)()),
        "two threads, per document": lambda: in_threads([per_doc(0), per_doc(1)]),
        "one thread, joined": lambda: (whole(0)(), whole(1)()),
        "two threads, joined": lambda: in_threads([whole(0), whole(1)]),
    }
    times = rounds_of(cases, rounds)
    t = {name: median(ts) for name, ts in times.items()}
    res["threads"] = {"seconds": times}
    return ratio_row(what, t["one thread"] / t["two threads"], 1.5, True,
                     f"{t['one thread, per document'] / t['two threads, per document']:.2f}x",
                     f"{t['one thread'] * 1000:.0f} ms against {t['two threads'] * 1000:.0f} ms; two "
                     f"FTTokenizers over joined texts, the same way: "
                     f"{t['one thread, joined'] / t['two threads, joined']:.2f}x")


def gzip_rows(rounds, quick, res):
    path, size = gzip_corpus(quick)
    what = f"FFTokenizer(gzip.open(p)) / decompressing alone, time ({size / MB:.0f} MB)"
    mem_what = "peak resident memory of the whole process doing it"
    if problem := file_object_problem():
        return [na_row(what, "< 1.6x", problem), na_row(mem_what, "< 150 MiB", problem)]
    buffer = bytearray(1 << 20)

    def decompress():
        with gzip.open(path, "rb") as f:
            while f.readinto(buffer):
                pass

    def tokenize():
        with gzip.open(path, "rb") as f:
            return drain(tc.FFTokenizer(f))

    times = rounds_of({"decompress": decompress, "FFTokenizer(gzip.open)": tokenize}, max(3, rounds // 2))
    t = {name: median(ts) for name, ts in times.items()}
    mem = child(GZIP_CHILD, str(path))
    res["gzip"] = {"path": path.name, "bytes": size, "compressed": path.stat().st_size, "seconds": times,
                   "memory": mem}
    ratio = t["FFTokenizer(gzip.open)"] / t["decompress"]
    peak = mem["peak"] / MIB
    return [
        Row(what, f"{ratio:.2f}x", "< 1.6x", ratio < 1.6, "n/a (paths only)",
            f"{size / MB / t['FFTokenizer(gzip.open)']:.0f} MB/s, decompressing "
            f"{size / MB / t['decompress']:.0f} MB/s"),
        Row(mem_what, f"{peak:.0f} MiB", "< 150 MiB", peak < 150, "n/a (paths only)",
            f"{mem['before'] / MIB:.0f} MiB before the tokenizer was made"),
    ]


def file_row(rounds, quick, res):
    path = mixed_path(quick)
    data = path.read_bytes()
    times = rounds_of({"FTTokenizer(bytes)": lambda: drain(tc.FTTokenizer(data)),
                       "FFTokenizer(path)": lambda: drain(tc.FFTokenizer(str(path)))}, rounds)
    t = {name: median(ts) for name, ts in times.items()}
    res["file"] = {"path": path.name, "bytes": len(data), "seconds": times}
    ratio = t["FFTokenizer(path)"] / t["FTTokenizer(bytes)"]
    note = f"{len(data) / MB:.0f} MB: {len(data) / MB / t['FFTokenizer(path)']:.0f} MB/s against " \
           f"{len(data) / MB / t['FTTokenizer(bytes)']:.0f} MB/s"
    tokenizers = results_dir(quick) / "tokenizers.json"
    try:
        big = json.loads(tokenizers.read_text(encoding="utf-8")).get("memory") or {}
    except (OSError, ValueError):
        big = {}
    if big:
        note += f"; peak over 1 GiB {big['peak_mib']:.0f} MiB (bench_tokenizers.py, goal < 100 MiB)"
    else:
        note += "; peak over 1 GiB: see bench_tokenizers.py (goal < 100 MiB)"
    return Row(f"FFTokenizer(path) / FTTokenizer(bytes), time ({path.name})", f"{ratio:.3f}x", "≤ 1.05x",
               ratio <= 1.05, note=note)


def small_rows(line, res):
    rounds = 20
    m = child(SMALL_CHILD, line, str(rounds))
    res["small"] = m
    together = m["together"]
    growth = m["after"][-1] - m["after"][1]
    return [
        Row("1,000 tokenizers, each used once on a line: resident memory together",
            f"{together / MB:.1f} MB", "< 64 MB", together < 64 * MB,
            note=f"{together / 1000 / 1024:.0f} KiB a tokenizer"),
        Row(f"resident memory after {rounds} rounds of 1,000, growth from round 2",
            f"{growth / MIB:+.1f} MiB", "flat (< 4 MiB)", growth < 4 * MIB,
            note=f"{m['after'][0] / MIB:.0f} MiB after round 1, {m['after'][-1] / MIB:.0f} MiB after the last"),
    ]


# --- the README's recipes ----------------------------------------------------------------------

RECIPE = re.compile(r"^```python\n(# Recipe: (.*?)\n.*?)^```$", re.MULTILINE | re.DOTALL)


def readme_recipes() -> dict[str, str]:
    """Title -> code of each README block that starts with "# Recipe:"."""
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    return {m[2]: m[1] for m in RECIPE.finditer(text)}


def recipe_inputs(docs, gz):
    """Key of a recipe's function -> (its input built from the documents, the call timed)."""

    def dataset():
        import datasets

        datasets.disable_progress_bars()
        return datasets.Dataset.from_dict({"text": docs})

    return {
        "token_lists": (lambda: docs, lambda ns, x: ns["token_lists"](x)),
        "word_counts": (lambda: __import__("pandas").Series(docs), lambda ns, x: ns["word_counts"](x)),
        "word_counts (polars)": (lambda: __import__("polars").Series(docs), lambda ns, x: ns["word_counts"](x)),
        "count_gzip": (lambda: str(gz[0]), lambda ns, x: ns["count_gzip"](x)),
        "tokenize_batch": (dataset, lambda ns, x: x.map(ns["tokenize_batch"], batched=True, keep_in_memory=True)),
    }


def recipe_rows(docs, gz, rounds, res):
    """Each recipe's own example run (its output dropped), then its function timed
    on the documents, the column or dataset made beforehand."""
    rows = []
    out = res.setdefault("recipes", {})
    # One namespace, as a later recipe may call an earlier one's function.
    ns: dict = {"__name__": "recipe"}
    for title, code in readme_recipes().items():
        known = set(ns)
        try:
            with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
                exec(compile(code, f"<README recipe {title}>", "exec"), ns)
        except Exception as err:  # a missing feature or package: the reason is the row
            rows.append([title, "n/a", first_line(f"{type(err).__name__}: {err}")])
            continue
        for key, (make, call) in recipe_inputs(docs, gz).items():
            name, _, variant = key.partition(" ")
            if name in known or name not in ns:
                continue
            label = f"{title} {variant}".rstrip()
            try:
                arg = make()
                times = rounds_of({label: lambda: call(ns, arg)}, max(1, rounds // 2))[label]
            except Exception as err:
                rows.append([label, "n/a", first_line(f"{type(err).__name__}: {err}")])
                continue
            out[label] = times
            what = f"{gz[1] / MB:.0f} MB, gzip-compressed" if name == "count_gzip" else \
                f"{len(docs):,} lines, {res['documents']['bytes'] / MB / median(times):.0f} MB/s"
            rows.append([label, f"{median(times) * 1000:.0f} ms", what])
    return rows


# --- the report -------------------------------------------------------------------------------


def markdown(rows: list[Row], recipe_table, res, quick, rounds) -> str:
    docs = res["documents"]
    shown = {True: "met", False: "**not met**", None: "not measured"}
    lines = [
        "# Every shape of input against one joined text\n",
        f"Measured on: {machine()}.  ",
        f"Date: {time.strftime('%Y-%m-%d %H:%M %Z')}; {'quick smoke run' if quick else 'full run'}; "
        f"medians of {rounds} interleaved rounds in one process (memory in fresh child processes).\n",
        f"Documents: {docs['lines']:,} {docs['source']}, {docs['mean_line_bytes']:.1f} bytes a line on average "
        f"with its line feed ({docs['bytes'] / MB:.1f} MB joined). Before: the way without FDTokenizer, one "
        f"`FTTokenizer(line).get_batch()` a line (per-document `count_tokens()` summed for counting, the same in "
        f"two threads for threads).\n",
        md_table(["", "measured", "goal", "", "before", "detail"],
                 [[r.what, r.measured, r.goal, shown[r.met], r.before, r.note] for r in rows], "lrrlrl"),
    ]
    if recipe_table:
        lines += ["## The README's recipes\n",
                  "Each recipe's code as README.md shows it, its function run on the documents above "
                  "(the gzip one on the compressed corpus).\n",
                  md_table(["recipe", "median", "input"], recipe_table, "lrl")]
    return "\n".join(lines)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--rounds", type=int, default=None)
    args = ap.parse_args()
    quick = args.quick or os.environ.get("BENCH_QUICK") == "1"
    rounds = args.rounds or (3 if quick else 7)
    t0 = time.perf_counter()
    docs, source = documents(QUICK_LINES if quick else LINES, quick)
    res: dict = {"machine": machine(), "quick": quick, "rounds": rounds}
    rows, small_speed = documents_rows(docs, source, rounds, quick, res)
    log("  long lines")
    rows.append(long_lines_row(rounds, quick, res))
    log("  threads")
    rows.append(threads_row(docs, rounds, res))
    log("  gzip")
    rows += gzip_rows(rounds, quick, res)
    log("  files")
    rows.append(file_row(rounds, quick, res))
    log("  small texts")
    line = min(docs, key=lambda d: abs(len(d.encode()) - 54))
    rows += small_rows(line, res)
    rows.append(small_speed)
    log("  recipes")
    recipe_table = recipe_rows(docs, gzip_corpus(quick), rounds, res)
    res["rows"] = [asdict(r) for r in rows]
    res["recipe_rows"] = recipe_table
    res["seconds"] = time.perf_counter() - t0
    md = markdown(rows, recipe_table, res, quick, rounds)
    out = results_dir(quick)
    (out / "shapes.md").write_text(md, encoding="utf-8")
    (out / "shapes.json").write_text(json.dumps(res, indent=1, ensure_ascii=False), encoding="utf-8")
    print(md)
    log(f"bench_shapes.py took {res['seconds']:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
