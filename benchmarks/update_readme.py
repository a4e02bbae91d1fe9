#!/usr/bin/env python3
"""Writes the results of the last full benchmark run into the "## Benchmarks"
section of README.md (the section is replaced up to the next "## " heading, or
appended when missing). Nothing else in the README is touched."""

from __future__ import annotations

import json
import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import MB, RESULTS, fmt_count, fmt_rate, md_table  # noqa: E402
from bench_peers import checks  # noqa: E402
from peers import TOOL_BY_KEY, TOOLS  # noqa: E402

README = Path(__file__).resolve().parent.parent / "README.md"
HEADING = "## Benchmarks"

ROWS = ["ft_str", "ft_bytes", "ff", "ft_words", "ft_b1024", "ff_b1024", "ft_native",
        "ff_native", "decode", "decode_out", "split_out", "re", "regex", "nltk", "hf_whitespace",
        "hf_ws_punct", "razdel", "spacy", "split"]


def section() -> str:
    peers = json.loads((RESULTS / "peers.json").read_text(encoding="utf-8"))
    toks = json.loads((RESULTS / "tokenizers.json").read_text(encoding="utf-8"))
    corpus = "mixed.txt" if "mixed.txt" in peers["rows"] else next(iter(peers["rows"]))
    rows = peers["rows"][corpus]
    size = peers["sizes"][corpus]
    ref = rows["ft_str"]["full_seconds"]
    body = []
    for key in [k for k in ROWS if k in rows]:
        r = rows[key]
        label = TOOL_BY_KEY[key].label
        if r["sliced"]:
            label += f" ¹ ({r['slice_mb']:.0f} MB)"
        body.append([label, fmt_rate(r["mbps"]),
                     fmt_count(r["tps"]) if r["tokens"] else "—",
                     f"{r['peak_mib']:.0f}", f"{r['full_seconds'] / ref:.2f}"])
    others = {}
    for c, crow in peers["rows"].items():
        if c == corpus:
            continue
        others[c] = crow
    lines = [
        HEADING, "",
        "`make bench` builds a separate virtual environment (`.venv-bench`), installs the",
        "package and the peer tokenizers of `benchmarks/requirements.txt` into it, builds",
        "the corpora under `benchmarks/data/` (git-ignored) with `benchmarks/make_corpus.py`,",
        "and runs `benchmarks/bench_tokenizers.py` (the three tokenizers against",
        "`bytes.decode` per corpus, with filters, and the same at the scalar level),",
        "`benchmarks/bench_peers.py` and `benchmarks/bench_counting.py` (`count_tokens()`",
        "against `collections.Counter` and bare batches, and the cost of the signal",
        "checks). `make bench-kernel` times the vector kernels alone, level by level.",
        "`make bench BENCH_QUICK=1` is a smoke run on small corpora (results in",
        "`benchmarks/results/quick/`); `BENCH_BIG=0` skips the 1 GiB memory measurement.",
        "",
        f"Last full run ({peers.get('date', '')}) on {peers['machine']}.",
        "The machine was shared with other work, so single timings are noisy; medians",
        f"of repeated runs are given. Corpus: {size / MB:.0f} MB of generated mixed",
        "Russian/English text; every tool in a fresh process, median of",
        f"{peers['rounds']} interleaved rounds. time / module: the tool's time over that of",
        "`FTTokenizer(str)` producing token lists (above 1: slower than the module).",
        "¹ measured on a prefix of the corpus, ratio extrapolated.",
        "",
        md_table(["tool", "MB/s", "tokens/s", "peak MiB", "time / module"], body).rstrip(),
        "",
    ]
    lines += [f"- {x}" for x in checks(rows)]
    if "split_out" in rows and "re" in rows:
        fl = rows["split_out"]["full_seconds"]
        lines.append(f"- Making the Python strings is a floor of its own: decoding our output text "
                     f"and splitting it at \"\\0\" alone runs at {rows['split_out']['mbps']:.0f} MB/s, "
                     f"{rows['re']['full_seconds'] / fl:.1f}x the speed of re.findall, so no tool "
                     f"that hands out a list of token strings can be more than that much faster "
                     f"than re here.")
    mem = toks.get("memory")
    if mem:
        lines += [f"- FFTokenizer over a 1 GiB file, default settings: peak resident memory "
                  f"{mem['peak_mib']:.1f} MiB for the whole process (target: under 100 MiB)."]
    tt = toks["times"]
    dec = tt['bytes.decode("utf-8")']["median"]
    lines += ["- Same process, " + toks["corpus"] + ", median of "
              f"{toks['rounds']}: " + ", ".join(
                  f"{k} {toks['bytes'] / MB / v['median']:.0f} MB/s ({v['median'] / dec:.2f}x decode)"
                  for k, v in tt.items() if not k.startswith("bytes.")) +
              f"; bytes.decode {toks['bytes'] / MB / dec:.0f} MB/s."]
    best = toks.get("goals", {}).get("best", {})
    for c, g in best.items():
        m = g["median"]
        dec = m["decode"]
        lines.append(f"- {c}, same process, median of {toks['rounds']}: " + ", ".join(
            f"{k} {g['bytes'] / MB / m[k]:.0f} MB/s ({m[k] / dec:.2f}x decode)"
            for k in ("FTTokenizer(bytes)", "FTTokenizer(str)", "FFTokenizer(path)")) +
            f"; words only {m['words only'] / m['FTTokenizer(bytes)']:.2f}x and set_filter(0) "
            f"{m['set_filter(0)'] / m['FTTokenizer(bytes)']:.2f}x the time of all tokens.")
    th = toks.get("threads")
    if th:
        tm = th["median"]
        lines.append(f"- Two threads, each with its own FFTokenizer on its own file: "
                     f"{tm['one thread'] / tm['two threads']:.2f}x faster than one thread "
                     f"reading both.")
    for c, crow in others.items():
        r = {k: crow[k]["full_seconds"] for k in ("ft_str", "re", "decode") if k in crow}
        if len(r) == 3:
            lines.append(f"- {c} ({peers['sizes'][c] / MB:.1f} MB of real text from Debian "
                         f"packages): FTTokenizer(str) {crow['ft_str']['mbps']:.0f} MB/s, "
                         f"{r['re'] / r['ft_str']:.1f}x faster than re, "
                         f"{r['ft_str'] / r['decode']:.1f}x the time of bytes.decode of the "
                         f"same bytes.")
    lines += shapes_lines()
    lines += ["",
              "All tables, the notes on how each tool was run, and the real-text corpora: "
              "`benchmarks/results/peers.md`, `benchmarks/results/tokenizers.md`, "
              "`benchmarks/results/counting.md`, `benchmarks/results/shapes.md`; chart: "
              "`benchmarks/results/peers.png`."]
    return "\n".join(lines) + "\n"


def shapes_lines() -> list[str]:
    """The goal table of bench_shapes.py, when it has run."""
    path = RESULTS / "shapes.json"
    if not path.exists():
        return []
    shapes = json.loads(path.read_text(encoding="utf-8"))
    docs = shapes["documents"]
    shown = {True: "met", False: "**not met**", None: "not measured"}
    rows = [[r["what"], r["measured"], r["goal"], shown[r["met"]], r["before"]] for r in shapes["rows"]]
    return ["", "### Every shape of input", "",
            f"`benchmarks/bench_shapes.py`: {docs['lines']:,} {docs['source']} "
            f"({docs['mean_line_bytes']:.1f} bytes a line with its line feed) as documents, against the "
            f"same lines joined into one text; the other shapes as named. Ratios measured in one process, "
            f"medians of {shapes['rounds']} interleaved rounds; memory in fresh child processes. Before: one "
            "`FTTokenizer(line).get_batch()` a line, the way without `FDTokenizer`.", "",
            md_table(["", "measured", "goal", "", "before"], rows, "lrrlr").rstrip()]


def main() -> int:
    text = README.read_text(encoding="utf-8")
    new = section()
    m = re.search(r"^## Benchmarks[^\n]*\n", text, re.M)
    if m:
        nxt = re.search(r"^## ", text[m.end():], re.M)
        end = m.end() + nxt.start() if nxt else len(text)
        text = text[: m.start()] + new + ("\n" if nxt else "") + text[end:]
    else:
        text = text.rstrip("\n") + "\n\n" + new
    README.write_text(text, encoding="utf-8")
    print(f"updated the {HEADING!r} section of {README.name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
