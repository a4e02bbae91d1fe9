"""Tokenizes a text file and prints a table of its tokens with their kinds,
then the number of tokens of each kind.

    python examples/demo.py [FILE | -] [--batch-size N]

With FILE "-" the text is read from standard input. Malformed UTF-8 is shown
in the table as the module hands it out (each ill-formed byte as a lone
surrogate, \\udcNN) and named on standard error with its bytes.
"""

from __future__ import annotations

import argparse
import collections
import re
import sys
from pathlib import Path

import tarvelinCXX as tc
from _tokens import KIND_NAMES, batches, run_main, split_tokens

SAMPLE = Path(__file__).resolve().parent / "sample.txt"

# A byte of malformed UTF-8, as a batch decoded with surrogateescape holds it.
ILL_FORMED = re.compile("[\udc80-\udcff]+")


def positive(text: str) -> int:
    """An argparse type: an integer of at least 1."""
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def open_input(name: str | Path) -> tc.FTTokenizer | tc.FFTokenizer:
    """The tokenizer of a file, or of standard input for "-"."""
    if name != "-":
        return tc.FFTokenizer(name)
    # /dev/stdin reopens a pipe, a terminal or a file, which are then read
    # lazily; a socket cannot be reopened, so it is read whole instead.
    tokenizer = tc.FFTokenizer("/dev/stdin")
    if tokenizer.is_fopen() or sys.stdin is None:
        return tokenizer
    return tc.FTTokenizer(sys.stdin.buffer.read())


def report_malformed(number: int, tokens: list[str]) -> None:
    """Names on stderr every ill-formed byte sequence among a batch's tokens."""
    for index, token in enumerate(tokens):
        for match in ILL_FORMED.finditer(token):
            raw = match[0].encode("utf-8", "surrogateescape")
            print(f"malformed UTF-8 in batch {number}, token {index}: {raw!r}", file=sys.stderr)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(
        "file",
        nargs="?",
        default=SAMPLE,
        help='a UTF-8 text file, or "-" for standard input (default: the sample beside this script)',
    )
    parser.add_argument("--batch-size", type=positive, default=32, help="tokens per batch (default: %(default)s)")
    args = parser.parse_args(argv)

    tokenizer = open_input(args.file)
    if isinstance(tokenizer, tc.FFTokenizer) and not tokenizer.is_fopen():
        print(f"cannot open {'standard input' if args.file == '-' else args.file}", file=sys.stderr)
        return 1
    tokenizer.set_batch_size(args.batch_size)

    counts: collections.Counter[str] = collections.Counter()
    malformed: list[UnicodeDecodeError] = []
    print(f"{'batch':>5}  {'#':>4}  {'token':<24} kind")
    for number, batch in enumerate(batches(tokenizer, malformed=malformed), start=1):
        types = batch["types"].tolist()
        tokens = split_tokens(batch["text"], batch["types"])
        if malformed:  # the batch came with a UnicodeDecodeError
            report_malformed(number, tokens)
            malformed.clear()
        for index, (token, kind) in enumerate(zip(tokens, types)):
            name = KIND_NAMES[kind]
            counts[name] += 1
            print(f"{number:>5}  {index:>4}  {token!r:<24} {name}")

    print()
    print(f"{'kind':<8} {'value':>5} {'tokens':>7}")
    for name, n in counts.most_common():
        print(f"{name:<8} {tc.TokenType.__members__[name].value:>5} {n:>7}")
    print(f"{'total':<8} {'':>5} {counts.total():>7}")
    return 0


if __name__ == "__main__":
    run_main(main)
