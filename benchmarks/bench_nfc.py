#!/usr/bin/env python3
"""What NFC normalisation costs against tokenizing, on the benchmark corpora.

In one process, on each corpus of make_corpus.py read into a str, interleaved
rounds time:
  tokenize        every batch of FTTokenizer(text) taken from its stream
  NFC             unicodedata.normalize("NFC", text)
  NFC by blocks   the same, a block of 10,000 lines at a time
  NFC of NFD      unicodedata.normalize("NFC", ...) of the text's NFD form,
                  where every composable letter is decomposed (the worst case)
Medians of the rounds are printed as a Markdown table, with each time as a
multiple of the tokenizing time.

Usage: bench_nfc.py [--rounds N]
"""

from __future__ import annotations

import argparse
import sys
import time
import unicodedata
from itertools import batched
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import DATA, MB, log, machine, md_table, median  # noqa: E402

CORPORA = ["real_ru.txt", "real_en.txt", "mixed.txt"]
BLOCK_LINES = 10_000
STEPS = ["tokenize", "NFC", "NFC by blocks", "NFC of NFD"]


def tokenize(tc, text: str) -> int:
    n = 0
    for batch in tc.FTTokenizer(text).stream:
        n += len(batch["types"])
    return n


def nfc_by_blocks(blocks: list[str]) -> list[str]:
    return [unicodedata.normalize("NFC", block) for block in blocks]


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=7)
    args = ap.parse_args(argv)
    import tarvelinCXX as tc

    rows = []
    for name in CORPORA:
        path = DATA / name
        if not path.exists():
            log(f"{name} missing (make_corpus.py builds it), skipped")
            continue
        text = path.read_text(encoding="utf-8")
        blocks = ["".join(lines) for lines in batched(text.splitlines(keepends=True), BLOCK_LINES)]
        nfd = unicodedata.normalize("NFD", text)
        # A line feed never composes with a neighbour, so blocks of lines
        # normalise to the same text as the whole.
        assert "".join(nfc_by_blocks(blocks)) == unicodedata.normalize("NFC", text)
        steps = dict(zip(STEPS, [
            lambda: tokenize(tc, text),
            lambda: unicodedata.normalize("NFC", text),
            lambda: nfc_by_blocks(blocks),
            lambda: unicodedata.normalize("NFC", nfd),
        ]))
        times: dict[str, list[float]] = {step: [] for step in steps}
        for _ in range(args.rounds):
            for step, run in steps.items():
                start = time.perf_counter()
                run()
                times[step].append(time.perf_counter() - start)
        m = {step: median(ts) for step, ts in times.items()}
        size = len(text.encode("utf-8"))
        log(f"{name}: " + ", ".join(f"{step} {t * 1e3:.0f} ms" for step, t in m.items()))
        rows.append(
            [f"{name} ({size / MB:.1f} MB, NFC: {unicodedata.is_normalized('NFC', text)})"]
            + [f"{m[step] * 1e3:.0f} ms ({m[step] / m['tokenize']:.2f}x)" for step in STEPS]
        )
    print(f"{machine()}; medians of {args.rounds} interleaved rounds.\n")
    print(md_table(["corpus", *STEPS], rows, "l" + "r" * len(STEPS)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
