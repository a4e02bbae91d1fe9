"""Tokenizes a text file and prints each token with its kind, then a count per kind."""

import collections
import sys

import tarvelinCXX as tc


def tokens_with_types(batch):
    """Pairs each token of a batch with its TokenType.

    Tokens are separated by U+0000, but U+0000 in the input is a token of its
    own, so the text is walked token by token instead of split blindly: every
    token but a U+0000 ends at the next U+0000.
    """
    text, pos = batch["text"], 0
    for kind in batch["types"]:
        kind = tc.TokenType(int(kind))
        if kind == tc.UNKNWN and text[pos] == "\0":
            end = pos + 1
        else:
            end = text.index("\0", pos)
        yield text[pos:end], kind
        pos = end + 1


def main(path):
    tokenizer = tc.FFTokenizer(path)
    if not tokenizer.is_fopen():
        sys.exit(f"cannot open {path}")
    counts = collections.Counter()
    print(f"{'token':<20} kind")
    for batch in tokenizer.stream:
        for token, kind in tokens_with_types(batch):
            counts[kind.name] += 1
            print(f"{token!r:<20} {kind.name}")
    print()
    for name, n in counts.most_common():
        print(f"{name:<8} {n}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "examples/sample.txt")
