"""Helpers shared by the examples: reading batches, pairing tokens with kinds,
the kinds of counted tokens, and running a script as a command-line tool.

A batch's "text" holds the tokens one after another, each followed by U+0000.
A U+0000 in the input is a token of its own (kind UNKNWN), so a plain
``text.split("\\0")`` goes wrong as soon as the input holds one. The types say
where each token ends: a word kind (ENWORD, NUMBER, RUWORD) runs up to the next
U+0000, and every other kind is exactly one character.
"""

from __future__ import annotations

import operator
import os
import signal
import sys
from collections.abc import Callable, Iterable, Iterator
from itertools import repeat
from typing import TYPE_CHECKING, NoReturn

import numpy as np
import numpy.typing as npt

import tarvelinCXX as tc

if TYPE_CHECKING:
    from tarvelinCXX import _Batch

# `|` of two kinds gives an int, and an int cannot be OR-ed with a kind, so a
# mask of three or more kinds is built from the values.
WORD_KINDS = tc.ENWORD.value | tc.NUMBER.value | tc.RUWORD.value

# Kind value -> kind name, built once: indexing it is far cheaper than making a
# TokenType for every token.
KIND_NAMES = {member.value: name for name, member in tc.TokenType.__members__.items()}


def split_tokens(text: str, types: npt.NDArray[np.uint64]) -> list[str]:
    """Returns the tokens of a batch, one for each entry of ``types``."""
    if "\0\0" not in text:
        # Tokens are never empty, so two U+0000 side by side come only from a
        # U+0000 token. Without one, every U+0000 is a separator.
        return text.split("\0")[:-1]
    tokens = []
    pos = 0
    for kind in types.tolist():
        end = text.index("\0", pos) if kind & WORD_KINDS else pos + 1
        tokens.append(text[pos:end])
        pos = end + 1
    return tokens


def tokens_with_kinds(batch: _Batch) -> Iterator[tuple[str, tc.TokenType]]:
    """Yields (token, TokenType) for each token of a non-empty batch."""
    types = batch["types"]
    for token, kind in zip(split_tokens(batch["text"], types), types.tolist(), strict=True):
        yield token, tc.TokenType(kind)


def batches(
    tokenizer: tc.FTTokenizer | tc.FFTokenizer,
    skipped: list[int] | None = None,
    malformed: list[UnicodeDecodeError] | None = None,
) -> Iterator[_Batch]:
    """Yields the batches of a tokenizer until its input is exhausted.

    A batch whose bytes are not well-formed UTF-8 raises UnicodeDecodeError,
    which carries the batch as its attribute ``batch`` ("text" decoded with
    surrogateescape); reading goes on after it. Given a list ``malformed``,
    such a batch is yielded all the same and its error appended to the list.
    Otherwise the batch is skipped, and counted in ``skipped[0]`` when a
    one-element list is given.
    """
    stream = tokenizer.stream
    while True:
        try:
            batch = next(stream)
        except StopIteration:
            return
        except UnicodeDecodeError as err:
            if malformed is not None:
                malformed.append(err)
                yield err.batch  # type: ignore[attr-defined]
                continue
            if skipped is not None:
                skipped[0] += 1
            continue
        yield batch


# The kind of every character seen so far, as the module classifies it.
_char_kinds: dict[str, int] = {}


def char_kinds(chars: Iterable[str]) -> dict[str, int]:
    """Returns the lookup of character -> kind value, holding at least `chars`.

    A token's kind is the kind of its first character: a word token starts with
    a character of its own word kind, and every other token is one character.
    So the kinds of counted token texts follow from a lookup over their first
    characters, filled here by the module itself: the missing characters are
    tokenized once, each between two line feeds, which join with nothing.
    """
    missing = sorted(set(chars).difference(_char_kinds))
    if missing:
        tokenizer = tc.FTTokenizer("\n".join(missing))
        tokenizer.set_batch_size(2 * len(missing))
        types = tokenizer.get_batch()["types"].tolist()
        if len(types) != 2 * len(missing) - 1:
            raise ValueError("each character must be one token of its own")
        _char_kinds.update(zip(missing, types[::2]))
    return _char_kinds


def add_counts(total: dict[str, int], counts: dict[str, int]) -> dict[str, int]:
    """Adds `counts` into `total` and returns `total`.

    The pairs are made and stored by built-in iterators, with no Python code
    run per entry. Each key is read from `total` once, just before it is
    stored, and the keys of `counts` are distinct, so no sum is counted twice.
    """
    keys = counts.keys()
    total.update(zip(keys, map(operator.add, counts.values(), map(total.get, keys, repeat(0)))))
    return total


# The exit status of a tool that wrote into a pipe whose reader had gone, as a
# shell shows it when the signal SIGPIPE ends the tool: 128 + 13.
BROKEN_PIPE_STATUS = 128 + signal.SIGPIPE


def run_main(main: Callable[[], int]) -> NoReturn:
    """Runs a script's main() and exits with its status.

    When the reader of standard output goes away (``script | head``), the
    script ends quietly with BROKEN_PIPE_STATUS instead of a traceback.
    """
    try:
        status = main()
        # Output still buffered meets the closed pipe here rather than at exit.
        sys.stdout.flush()
    except BrokenPipeError:
        # Python flushes standard output once more at exit: send that to
        # /dev/null, so that it cannot fail again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        status = BROKEN_PIPE_STATUS
    sys.exit(status)
