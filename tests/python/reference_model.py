"""A slow, plain-Python model of the tokenizer, used to check the extension.

It follows the rules one step at a time and keeps no buffers: decoding turns
bytes into characters, assembly turns characters into completed tokens, and a
batcher hands the completed tokens out under the settings in force at each
call. Nothing here is shared with the extension's code.

Rules modelled:

* Decoding is permissive. A lead byte announces a length of 1..4 and starts a
  new character, dropping an incomplete one. Every other byte (0x80..0xBF and
  0xF8..0xFF) is stored as a continuation byte; at most four bytes are stored
  since the last lead byte, and further ones are dropped. A character is
  complete when it holds as many bytes as announced; its code point is the
  plain UTF-8 bit arithmetic with no validation.
* Each code point has a kind. Letters A-Z/a-z, digits and the Russian letters
  are word kinds; every other character is a token of its own.
* Word characters of one kind form runs of at most 128 characters. Runs join
  across single hyphen-minus pieces into one compound of the first run's kind,
  as long as the group keeps to 16 pieces and 128 characters; a piece that
  does not fit completes the group and opens the next one.
* The completed tokens come out in input order. Each batch takes tokens while
  it has room; a token is kept when its kind passes the filter and its length
  lies within the bounds. A token not kept is still used up.
"""

from __future__ import annotations

from dataclasses import dataclass, field

WRDSPC = 1
NWLINE = 2
ENWORD = 4
NUMBER = 8
RUWORD = 16
PNCTTN = 32
UNKNWN = 64

WORD_KINDS = (ENWORD, NUMBER, RUWORD)
MAX_CHARS = 128
MAX_PIECES = 16
ALL_KINDS = (1 << 64) - 1

_PUNCTUATION = (
    set(range(0x21, 0x30))
    | set(range(0x3A, 0x41))
    | set(range(0x5B, 0x61))
    | set(range(0x7B, 0x7F))
    | {0xAB, 0xB7, 0xBB}
    | set(range(0x2010, 0x2020))
    | set(range(0x2024, 0x2028))
    | {0x2116}
)


def kind_of(code_point: int) -> int:
    """The token kind of one code point (anything unlisted is UNKNWN)."""
    if code_point in (0x20, 0x0B, 0xA0):
        return WRDSPC
    if code_point == 0x0A:
        return NWLINE
    if 0x41 <= code_point <= 0x5A or 0x61 <= code_point <= 0x7A:
        return ENWORD
    if 0x30 <= code_point <= 0x39:
        return NUMBER
    if 0x410 <= code_point <= 0x44F or code_point in (0x401, 0x451):
        return RUWORD
    if code_point in _PUNCTUATION:
        return PNCTTN
    return UNKNWN


def lead_length(b: int) -> int:
    """Length announced by a lead byte, or 0 for a byte that is not one."""
    if b < 0x80:
        return 1
    if 0xC0 <= b <= 0xDF:
        return 2
    if 0xE0 <= b <= 0xEF:
        return 3
    if 0xF0 <= b <= 0xF7:
        return 4
    return 0


def code_point_of(raw: bytes) -> int:
    if len(raw) == 1:
        return raw[0]
    value = raw[0] & (0x7F >> len(raw))  # the lead byte's payload bits
    for b in raw[1:]:
        value = (value << 6) | (b & 0x3F)
    return value


def decode(data: bytes) -> list[bytes]:
    """The complete characters of `data`, each as the bytes it came from."""
    chars = []
    stored: list[int] = []
    announced = 0
    for b in data:
        length = lead_length(b)
        if length:
            stored = [b]
            announced = length
        elif len(stored) < 4:
            stored.append(b)
        else:
            continue  # no room left since the last lead byte
        if len(stored) == announced:
            chars.append(bytes(stored))
    return chars


@dataclass
class Piece:
    kind: int
    chars: list[bytes] = field(default_factory=list)

    def is_hyphen(self) -> bool:
        return self.kind == PNCTTN and self.chars == [b"-"]


def _runs(chars: list[bytes]) -> list[Piece]:
    runs: list[Piece] = []
    for ch in chars:
        kind = kind_of(code_point_of(ch))
        last = runs[-1] if runs else None
        if (
            last is not None
            and kind in WORD_KINDS
            and last.kind == kind
            and len(last.chars) < MAX_CHARS
        ):
            last.chars.append(ch)
        else:
            runs.append(Piece(kind, [ch]))
    return runs


def _can_join(group: list[Piece], piece: Piece) -> bool:
    if group[0].kind not in WORD_KINDS:
        return False
    if group[-1].kind in WORD_KINDS:
        fits_pattern = piece.is_hyphen()
    else:
        fits_pattern = piece.kind in WORD_KINDS
    total = sum(len(p.chars) for p in group) + len(piece.chars)
    return fits_pattern and len(group) < MAX_PIECES and total <= MAX_CHARS


@dataclass(frozen=True)
class Token:
    text: bytes
    kind: int
    length: int  # in characters


def _complete(group: list[Piece]) -> Token:
    chars = [ch for p in group for ch in p.chars]
    return Token(b"".join(chars), group[0].kind, len(chars))


def tokens_of(data: bytes) -> list[Token]:
    """Every completed token of the whole input, in order."""
    tokens: list[Token] = []
    group: list[Piece] = []
    for run in _runs(decode(data)):
        if group and not _can_join(group, run):
            tokens.append(_complete(group))
            group = []
        group.append(run)
    if group:
        tokens.append(_complete(group))
    return tokens


class ModelTokenizer:
    """Hands out the tokens of one input in batches, like a tokenizer object.

    `get_batch` returns the list of (text, kind) pairs of the next batch, or
    raises UnicodeDecodeError when the batch's text is not valid UTF-8 (its
    tokens are used up all the same).
    """

    def __init__(self, data: bytes):
        self._tokens = tokens_of(data)
        self._next = 0
        self.batch_size = 65536
        self.filter = ALL_KINDS
        self.min_len = 0
        self.max_len = 512

    def set_batch_size(self, n: int) -> None:
        self.batch_size = n

    def set_filter(self, mask: int) -> None:
        self.filter = mask

    def set_token_min_len(self, n: int) -> None:
        self.min_len = n

    def set_token_max_len(self, n: int) -> None:
        self.max_len = n

    def keeps(self, token: Token) -> bool:
        return bool(token.kind & self.filter) and self.min_len <= token.length <= self.max_len

    def get_batch(self) -> list[tuple[bytes, int]]:
        batch: list[tuple[bytes, int]] = []
        while len(batch) < self.batch_size and self._next < len(self._tokens):
            token = self._tokens[self._next]
            self._next += 1
            if self.keeps(token):
                batch.append((token.text, token.kind))
        batch_text(batch).decode("utf-8")  # raises for malformed text
        return batch


def batch_text(batch: list[tuple[bytes, int]]) -> bytes:
    """The batch's text as the extension lays it out: each token, then NUL."""
    return b"".join(text + b"\0" for text, _ in batch)


def batches(
    data: bytes,
    batch_size: int = 65536,
    mask: int = ALL_KINDS,
    min_len: int = 0,
    max_len: int = 512,
) -> list[list[tuple[bytes, int]] | UnicodeDecodeError]:
    """All non-empty batches of `data` under fixed settings, in order.

    A batch whose text is not valid UTF-8 stands as the UnicodeDecodeError
    that reading it raises.
    """
    if batch_size == 0:
        return []
    model = ModelTokenizer(data)
    model.set_batch_size(batch_size)
    model.set_filter(mask)
    model.set_token_min_len(min_len)
    model.set_token_max_len(max_len)
    result: list[list[tuple[bytes, int]] | UnicodeDecodeError] = []
    while model._next < len(model._tokens):
        try:
            batch = model.get_batch()
        except UnicodeDecodeError as error:
            result.append(error)
            continue
        if batch:
            result.append(batch)
    return result
