"""Tokenizes a text file and prints a table of its tokens with their kinds,
then the number of tokens of each kind.

    python examples/demo.py [FILE] [--batch-size N]
"""

from __future__ import annotations

import argparse
import collections
import sys
from pathlib import Path

import tarvelinCXX as tc
from _tokens import KIND_NAMES, batches, split_tokens

SAMPLE = Path(__file__).resolve().parent / "sample.txt"


def positive(text: str) -> int:
    """An argparse type: an integer of at least 1."""
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(
        "file", nargs="?", default=SAMPLE, help="a UTF-8 text file (default: the sample beside this script)"
    )
    parser.add_argument("--batch-size", type=positive, default=32, help="tokens per batch (default: %(default)s)")
    args = parser.parse_args(argv)

    tokenizer = tc.FFTokenizer(args.file)
    if not tokenizer.is_fopen():
        print(f"cannot open {args.file}", file=sys.stderr)
        return 1
    tokenizer.set_batch_size(args.batch_size)

    counts: collections.Counter[str] = collections.Counter()
    skipped = [0]
    print(f"{'batch':>5}  {'#':>4}  {'token':<24} kind")
    for number, batch in enumerate(batches(tokenizer, skipped), start=1):
        types = batch["types"].tolist()
        for index, (token, kind) in enumerate(zip(split_tokens(batch["text"], batch["types"]), types)):
            name = KIND_NAMES[kind]
            counts[name] += 1
            print(f"{number:>5}  {index:>4}  {token!r:<24} {name}")

    print()
    print(f"{'kind':<8} {'value':>5} {'tokens':>7}")
    for name, n in counts.most_common():
        print(f"{name:<8} {tc.TokenType.__members__[name].value:>5} {n:>7}")
    print(f"{'total':<8} {'':>5} {counts.total():>7}")
    if skipped[0]:
        print(f"{skipped[0]} batch(es) of malformed UTF-8 skipped", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
