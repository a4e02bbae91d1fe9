"""Tokenizes a text file and prints a table of its tokens with their kinds,
then the number of tokens of each kind.

    python examples/demo.py [FILE] [--batch-size N]
"""

from __future__ import annotations

import argparse
import collections
import sys

import tarvelinCXX as tc
from _tokens import batches, tokens_with_kinds


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file", nargs="?", default="examples/sample.txt", help="a UTF-8 text file")
    parser.add_argument("--batch-size", type=int, default=32, help="tokens per batch (default: %(default)s)")
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
        for index, (token, kind) in enumerate(tokens_with_kinds(batch)):
            counts[kind.name] += 1
            print(f"{number:>5}  {index:>4}  {token!r:<24} {kind.name}")

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
