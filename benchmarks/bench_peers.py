#!/usr/bin/env python3
"""tarvelinCXX against the decoding floor and peer tokenizers.

Every measurement runs in a fresh subprocess (a worker of this script), which
loads the corpus, imports the tool, warms it up on a few kilobytes, and then
tokenizes the whole corpus once, timing it and measuring the peak resident
memory the run adds (see _common.PeakProbe). The rounds are interleaved (round
1 of every tool, then round 2, ...) so that a change in the machine's load hits
every tool alike, and the median of the rounds is reported.

Results: benchmarks/results/peers.md (Markdown tables), peers.json (raw numbers)
and peers.png (bar chart).

Usage: bench_peers.py [--quick] [--rounds N] [--tools k1,k2] [--corpora c1,c2]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import (DATA, MB, MIB, results_dir, PeakProbe, fmt_count, fmt_rate,  # noqa: E402
                     log, machine, md_table, median)
from peers import TOOL_BY_KEY, TOOLS  # noqa: E402

CHUNK_CHARS = 1 << 20
QUICK_BYTES = 2 * MB
MISSING = 3   # worker exit status: the tool's package is not installed


def _slice(data: bytes, limit: int | None) -> bytes:
    if limit is None or len(data) <= limit:
        return data
    cut = data.rfind(b"\n", 0, limit)
    return data[: cut + 1 if cut > 0 else limit]


def _chunks(text: str) -> list[str]:
    out, i, n = [], 0, len(text)
    while i < n:
        j = text.find("\n", min(i + CHUNK_CHARS, n) - 1)
        j = n if j < 0 else j + 1
        out.append(text[i:j])
        i = j
    return out


def _prepare(form: str, data: bytes, path: Path, output: Path | None):
    if form == "bytes":
        return data
    if form == "path":
        return str(path)
    if form == "output":
        return output.read_bytes()
    if form == "output_chunks":
        out, raw, i = [], output.read_bytes(), 0
        while i < len(raw):
            j = raw.find(b"\0", i + CHUNK_CHARS)
            j = len(raw) if j < 0 else j + 1
            out.append(raw[i:j])
            i = j
        return out
    text = data.decode("utf-8")
    return text if form == "text" else _chunks(text)


def worker(args) -> int:
    tool = TOOL_BY_KEY[args.worker]
    path = Path(args.corpus)
    data = _slice(path.read_bytes(), args.slice_bytes)
    if tool.inp == "path" and len(data) != path.stat().st_size:
        raise SystemExit("a file tokenizer cannot run on a slice")
    try:
        run = tool.make()
    except ImportError as e:
        print(f"missing: {e}", file=sys.stderr)
        return MISSING
    # Warm-up on the first few kilobytes, in the same input form.
    small = _slice(data, 8192)
    with tempfile.NamedTemporaryFile(suffix=".txt") as tmp:
        tmp.write(small)
        tmp.flush()
        if not tool.inp.startswith("output"):
            run(_prepare(tool.inp, small, Path(tmp.name), None))
    inp = _prepare(tool.inp, data, path, Path(args.output) if args.output else None)
    nbytes = len(data)
    del data
    with PeakProbe() as probe:
        t0 = time.perf_counter()
        n = run(inp)
        dt = time.perf_counter() - t0
    print(json.dumps({"tool": tool.key, "seconds": dt, "tokens": n, "bytes": nbytes,
                      "peak_kib": probe.delta_kib, "mem_method": probe.method}))
    return 0


def _run_worker(key: str, corpus: Path, slice_bytes: int | None, output: Path | None):
    cmd = [sys.executable, __file__, "--worker", key, "--corpus", str(corpus)]
    if slice_bytes:
        cmd += ["--slice-bytes", str(slice_bytes)]
    if output:
        cmd += ["--output", str(output)]
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode == MISSING:
        return None
    if r.returncode != 0:
        raise RuntimeError(f"worker {key} on {corpus.name} failed:\n{r.stderr}")
    return json.loads(r.stdout.strip().splitlines()[-1])


def _quick_copy(corpus: Path) -> Path:
    """The first QUICK_BYTES of a corpus (cut at a line feed), for smoke runs."""
    if "quick" in corpus.stem and corpus.stat().st_size <= QUICK_BYTES:
        return corpus
    out = DATA / f"quick_{corpus.stem}.txt"
    if not out.exists() or out.stat().st_mtime < corpus.stat().st_mtime:
        out.write_bytes(_slice(corpus.read_bytes(), QUICK_BYTES))
        src = corpus.with_suffix(".sources")
        if src.exists():
            out.with_suffix(".sources").write_text(src.read_text(encoding="utf-8"),
                                                   encoding="utf-8")
    return out


def _module_output(corpus: Path) -> Path:
    """The module's output text for the corpus, "\\0"-joined tokens, as UTF-8 bytes."""
    import tarvelinCXX as tc
    out = DATA / f"output_{corpus.stem}.bin"
    if out.exists() and out.stat().st_mtime >= corpus.stat().st_mtime:
        return out
    parts = [b["text"] for b in tc.FTTokenizer(corpus.read_bytes()).stream]
    out.write_bytes("".join(parts).encode("utf-8"))
    return out


def measure(corpora: list[Path], keys: list[str], rounds: int, slice_scale: float):
    results: dict[str, dict[str, list[dict]]] = {}
    skipped: set[str] = set()
    for corpus in corpora:
        output = _module_output(corpus)
        size = corpus.stat().st_size
        res = results.setdefault(corpus.name, {})
        for r in range(rounds):
            for key in keys:
                if key in skipped:
                    continue
                tool = TOOL_BY_KEY[key]
                sl = int(tool.slice_mb * MB * slice_scale) if tool.slice_mb else None
                if sl and sl >= size:
                    sl = None
                t0 = time.perf_counter()
                rec = _run_worker(key, corpus, sl,
                                  output if tool.inp.startswith("output") else None)
                if rec is None:
                    log(f"  {key}: package missing, skipped")
                    skipped.add(key)
                    continue
                res.setdefault(key, []).append(rec)
                log(f"  {corpus.name} round {r + 1}/{rounds} {key:14s} "
                    f"{rec['bytes'] / MB / rec['seconds']:9.1f} MB/s "
                    f"peak +{rec['peak_kib'] / 1024:7.1f} MiB  ({time.perf_counter() - t0:.1f} s)")
    return results, sorted(skipped)


def summarize(results, corpus_name: str, corpus_size: int):
    rows = {}
    for key, recs in results[corpus_name].items():
        secs = median([r["seconds"] for r in recs])
        nbytes = recs[0]["bytes"]
        rate = nbytes / secs
        rows[key] = {
            "mbps": rate / MB,
            "tokens": recs[0]["tokens"],
            "tps": recs[0]["tokens"] / secs,
            "full_seconds": corpus_size / rate,     # extrapolated for sliced runs
            "sliced": nbytes < corpus_size,
            "slice_mb": nbytes / MB,
            "peak_mib": median([r["peak_kib"] for r in recs]) / 1024,
            "runs": len(recs),
            "seconds": [r["seconds"] for r in recs],
            "mem_method": recs[0]["mem_method"],
        }
    return rows


def checks(rows) -> list[str]:
    out = []

    def t(k):
        return rows[k]["full_seconds"] if k in rows else None

    ref = t("ft_str")
    if ref and t("re"):
        out.append(f"FTTokenizer(str), token lists, is {t('re') / ref:.1f}x faster than re.findall "
                   f"(target >= 10x)")
    others = {k: t(k) for k in rows if TOOL_BY_KEY[k].family == "peer"
              and k not in ("re", "re_typed", "regex", "split")}
    if ref and others:
        k = min(others, key=others.get)
        out.append(f"... and {others[k] / ref:.1f}x faster than the fastest other peer, "
                   f"{TOOL_BY_KEY[k].label} (target >= 3x)")
    if ref and t("split"):
        out.append(f"... and {t('split') / ref:.2f}x the speed of str.split() "
                   f"(naive whitespace split, not a tokenizer of the same job)")
    if t("decode"):
        for k in ("ft_native", "ff_native", "ft_str", "ff"):
            if t(k):
                out.append(f"{TOOL_BY_KEY[k].label}: {t(k) / t('decode'):.2f}x the time of "
                           f"bytes.decode (target <= 1.7x)")
    for a, b in (("ff", "ft_str"), ("ff", "ft_bytes"), ("ff_native", "ft_native")):
        if t(a) and t(b):
            out.append(f"{TOOL_BY_KEY[a].label} takes {t(a) / t(b):.2f}x the time of "
                       f"{TOOL_BY_KEY[b].label} (target within 15%)")
    return out


def table(rows, corpus_size: int) -> str:
    ref = rows.get("ft_str", {}).get("full_seconds")
    dec = rows.get("decode", {}).get("full_seconds")
    header = ["tool", "result", "MB/s", "tokens/s", "tokens", "peak MiB",
              "time / module", "time / decode"]
    body = []
    for tool in TOOLS:
        if tool.key not in rows:
            continue
        r = rows[tool.key]
        label = tool.label + (f" ¹ ({r['slice_mb']:.0f} MB slice)" if r["sliced"] else "")
        if r.get("added"):
            label += " ²"
        if tool.note and tool.family != "floor":
            label += f" — {tool.note}"
        tokens = fmt_count(r["tokens"] * (corpus_size / MB / r["slice_mb"])) if r["tokens"] else "—"
        body.append([
            label, tool.result, fmt_rate(r["mbps"]),
            fmt_count(r["tps"]) if r["tokens"] else "—",
            tokens + (" ¹" if r["sliced"] and r["tokens"] else ""),
            f"{r['peak_mib']:.1f}",
            f"{r['full_seconds'] / ref:.2f}" if ref else "—",
            f"{r['full_seconds'] / dec:.2f}" if dec else "—",
        ])
    return md_table(header, body, "llrrrrrr")


def chart(all_rows, sizes, path: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    corpora = list(all_rows)
    keys = [t.key for t in TOOLS if any(t.key in all_rows[c] for c in corpora)]
    fig, ax = plt.subplots(figsize=(10, 0.4 * len(keys) + 1.5))
    h = 0.8 / len(corpora)
    colors = ["#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd"]
    for ci, c in enumerate(corpora):
        ys, xs = [], []
        for i, k in enumerate(keys):
            if k in all_rows[c]:
                ys.append(i + ci * h)
                xs.append(all_rows[c][k]["mbps"])
        ax.barh(ys, xs, height=h, label=f"{c} ({sizes[c] / MB:.0f} MB)", color=colors[ci % 4])
    ax.set_yticks([i + h * (len(corpora) - 1) / 2 for i in range(len(keys))])
    ax.set_yticklabels([TOOL_BY_KEY[k].label for k in keys], fontsize=8)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("MB/s of UTF-8 input (log scale; higher is faster)")
    ax.set_title("tarvelinCXX, decoding floor and peer tokenizers")
    ax.grid(axis="x", which="both", alpha=0.3)
    ax.legend(fontsize=8, loc="lower right")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def report(results, corpora, rounds, quick, skipped) -> str:
    sizes = {c.name: c.stat().st_size for c in corpora}
    all_rows = {c.name: summarize(results, c.name, sizes[c.name]) for c in corpora}
    sources = {}
    for c in corpora:
        src = c.with_suffix(".sources")
        sources[c.name] = src.read_text(encoding="utf-8").strip() if src.exists() else (
            "Generated mixed Russian/English text (make_corpus.py, fixed seed).")
    doc = {"machine": machine(), "date": time.strftime("%Y-%m-%d %H:%M %Z"), "rounds": rounds,
           "quick": quick, "sizes": sizes, "sources": sources, "skipped": skipped,
           "rows": all_rows}
    return render(doc)


def render(doc) -> str:
    """Writes peers.md, peers.png and peers.json from the summarized results."""
    all_rows, sizes, rounds, quick = doc["rows"], doc["sizes"], doc["rounds"], doc["quick"]
    skipped = doc.get("skipped", [])
    method = next(iter(next(iter(all_rows.values())).values()))["mem_method"]
    parts = [
        "# tarvelinCXX and peer tokenizers\n\n",
        f"Measured on: {doc['machine']}.  \n",
        f"Date: {doc['date']}; {'quick smoke run' if quick else 'full run'}; "
        f"median of {rounds} rounds, every run in a fresh process, rounds interleaved.\n",
    ]
    for name in all_rows:
        parts.append(f"\n## {name} ({sizes[name] / MB:.1f} MB)\n\n{doc['sources'][name]}\n\n")
        parts.append(table(all_rows[name], sizes[name]))
        ck = checks(all_rows[name])
        if ck:
            parts.append("\n" + "\n".join(f"- {x}" for x in ck) + "\n")
    parts.append(f"""
## How to read the tables

- MB/s: decimal megabytes of UTF-8 input per second. tokens/s: the tool's own
  tokens per second; the tools disagree on what a token is (the whitespace
  splitters drop spaces, for instance), so the token counts differ.
- time / module: the tool's time for the whole corpus divided by the time of
  `tarvelinCXX FTTokenizer(str)` producing token lists (above 1: slower than
  the module). time / decode: divided by the time of `bytes.decode("utf-8")`
  of the input.
- ¹ Measured on a prefix of the corpus (cut at a line feed) because the tool is
  slow; MB/s and tokens/s are from the prefix, the time ratios and token
  counts are extrapolated to the whole corpus.
- peak MiB: the peak resident memory the tokenizing run adds to its process
  ({method}: the high-water mark is reset just before the run and read after
  it), input text excluded. Each tool keeps only the current piece's result,
  as a streaming consumer would. `FTTokenizer` copies its whole input, which
  shows here; `FFTokenizer` reads the file as it goes.
- Module rows produce, per batch, the list of token strings
  (`batch["text"].split("\\0")`) and a copy of the `"types"` array; rows marked
  "batches only" just take the batch dicts as the module hands them out.
  Default settings are batch size 65536 and every token type.
- Peers get the text as a list of pieces of about 1 MiB, each ending with a
  line feed (the split is done before timing; a line feed ends a token for
  every tool, so the tokens are the same as for the whole text).
- floor: `bytes.decode("utf-8")` of the input bytes, and of the module's own
  output text (all tokens, each followed by U+0000, encoded as UTF-8): no
  tokenizer that hands out Python strings can be faster than decoding them.
- re / regex use one pattern that follows the module's token rules: word
  pieces of Latin letters, digits or Russian letters, joined across single
  hyphen-minus characters (a trailing hyphen included), and every other
  character alone. It differs from the module in that it has no 128-character
  limit on a token and no 16-piece limit on a compound (the module completes
  `1-2-3-4-5-6-7-8-9` as `1-2-3-4-5-6-7-8-` and `9`). Checked on these
  corpora: on the generated text its tokens and types are identical to the
  module's; on the real texts they differ only at the few compounds of more
  than 16 pieces (such as `we-are-the-high-priests-of-hardware-so-you`).
""")
    added = sorted({r["added"] for rows in all_rows.values() for r in rows.values()
                    if r.get("added")})
    if added:
        parts.append(f"- ² Measured in a later run ({', '.join(added)}), {rounds} rounds "
                     "likewise; its ratios use the reference times of the main run.\n")
    if skipped:
        parts.append(f"\nNot measured (package not installed): {', '.join(skipped)}.\n")
    out = results_dir(quick)
    chart(all_rows, sizes, out / "peers.png")
    (out / "peers.json").write_text(json.dumps(doc, indent=1), encoding="utf-8")
    md = "".join(parts)
    (out / "peers.md").write_text(md, encoding="utf-8")
    return md


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--rounds", type=int, default=None)
    ap.add_argument("--tools", default=None, help="comma-separated keys: " +
                    ",".join(t.key for t in TOOLS))
    ap.add_argument("--corpora", default=None,
                    help="comma-separated file names under benchmarks/data/")
    ap.add_argument("--render", metavar="JSON",
                    help="only rewrite peers.md and peers.png from a peers.json")
    ap.add_argument("--add-to", metavar="JSON",
                    help="measure the --tools given and add their rows to this peers.json")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    ap.add_argument("--corpus", help=argparse.SUPPRESS)
    ap.add_argument("--slice-bytes", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--output", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        return worker(args)
    if args.render:
        print(render(json.loads(Path(args.render).read_text(encoding="utf-8"))))
        return 0

    quick = args.quick or os.environ.get("BENCH_QUICK") == "1"
    rounds = args.rounds or (2 if quick else 3)
    names = (args.corpora.split(",") if args.corpora else
             ["mixed_quick.txt" if quick else "mixed.txt", "real_ru.txt", "real_en.txt"])
    corpora = [DATA / n for n in names if (DATA / n).exists()]
    if quick:
        corpora = [_quick_copy(c) for c in corpora]
    for n in names:
        if not (DATA / n).exists():
            log(f"corpus {n} not found (run make_corpus.py); skipped")
    if not corpora:
        raise SystemExit("no corpus: run benchmarks/make_corpus.py first")
    keys = args.tools.split(",") if args.tools else [t.key for t in TOOLS]
    results, skipped = measure(corpora, keys, rounds, 0.1 if quick else 1.0)
    if args.add_to:
        doc = json.loads(Path(args.add_to).read_text(encoding="utf-8"))
        when = time.strftime("%Y-%m-%d %H:%M %Z")
        for c in corpora:
            rows = summarize(results, c.name, c.stat().st_size)
            for k, row in rows.items():
                row["added"] = when
                doc["rows"].setdefault(c.name, {})[k] = row
        print(render(doc))
        return 0
    md = report(results, corpora, rounds, quick, skipped)
    print(md)
    return 0


if __name__ == "__main__":
    sys.exit(main())
