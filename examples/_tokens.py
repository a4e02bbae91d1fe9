"""Helpers shared by the examples: reading batches and pairing tokens with kinds.

A batch's "text" holds the tokens one after another, each followed by U+0000.
A U+0000 in the input is a token of its own (kind UNKNWN), so a plain
``text.split("\\0")`` goes wrong as soon as the input holds one. The types say
where each token ends: a word kind (ENWORD, NUMBER, RUWORD) runs up to the next
U+0000, and every other kind is exactly one character.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

import tarvelinCXX as tc

if TYPE_CHECKING:
    from tarvelinCXX import _Batch

# `|` of two kinds gives an int, and an int cannot be OR-ed with a kind, so a
# mask of three or more kinds is built from the values.
WORD_KINDS = tc.ENWORD.value | tc.NUMBER.value | tc.RUWORD.value


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


def batches(tokenizer: tc.FTTokenizer | tc.FFTokenizer, skipped: list[int] | None = None) -> Iterator[_Batch]:
    """Yields the batches of a tokenizer until its input is exhausted.

    A batch whose bytes are not valid UTF-8 raises UnicodeDecodeError; its
    tokens are lost, but reading goes on after them. Such batches are skipped
    here, and counted in ``skipped[0]`` when a one-element list is given.
    """
    stream = tokenizer.stream
    while True:
        try:
            batch = next(stream)
        except StopIteration:
            return
        except UnicodeDecodeError:
            if skipped is not None:
                skipped[0] += 1
            continue
        yield batch
