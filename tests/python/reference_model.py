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
* In "replace" mode, decoding is strict instead: every sequence that is not
  well-formed UTF-8 becomes one U+FFFD, where bytes.decode("utf-8",
  "replace") puts it. A change of mode takes force between two characters;
  the model follows it from the end of the last token used up (see
  ModelTokenizer.can_set_errors for when that is exact).
* The completed tokens come out in input order. Each batch takes tokens while
  it has room; a token is kept when its kind passes the filter and its length
  lies within the bounds. A token not kept is still used up.
"""

from __future__ import annotations

import codecs
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
    return [raw for raw, _ in decode_with_ends(data)]


def decode_with_ends(
    data: bytes, start: int = 0, stop: int | None = None
) -> list[tuple[bytes, int]]:
    """The complete characters of data[start:stop], decoded permissively as
    `decode` does, each with the index in `data` just past its last byte."""
    chars = []
    stored: list[int] = []
    announced = 0
    stop = len(data) if stop is None else stop
    for i in range(start, stop):
        b = data[i]
        length = lead_length(b)
        if length:
            stored = [b]
            announced = length
        elif len(stored) < 4:
            stored.append(b)
        else:
            continue  # no room left since the last lead byte
        if len(stored) == announced:
            chars.append((bytes(stored), i + 1))
    return chars


REPLACEMENT = "\ufffd".encode()

_error_spans: list[tuple[int, int]] = []


def _note_error(error: UnicodeDecodeError) -> tuple[str, int]:
    _error_spans.append((error.start, error.end))
    return ("\ufffd", error.end)


codecs.register_error("reference-model-note", _note_error)


def decode_replacing(
    data: bytes, start: int = 0, stop: int | None = None
) -> list[tuple[bytes, int]]:
    """The characters of data[start:stop] as bytes.decode("utf-8", "replace")
    gives them (each ill-formed sequence one U+FFFD), each as its UTF-8 bytes
    with the index in `data` just past the input bytes it stands for."""
    _error_spans.clear()
    text = data[start:stop].decode("utf-8", "reference-model-note")
    spans = list(_error_spans)
    chars = []
    pos = 0  # in data[start:stop]
    for ch in text:
        if spans and spans[0][0] == pos:  # no character starts where an error does
            pos = spans.pop(0)[1]
            chars.append((REPLACEMENT, start + pos))
        else:
            raw = ch.encode()
            pos += len(raw)
            chars.append((raw, start + pos))
    return chars


def decode_scheduled(data: bytes, schedule: list[tuple[int, str]]) -> list[tuple[bytes, int]]:
    """The characters of `data` decoded under a schedule of error modes: each
    (position, mode) decodes from that byte up to the next entry's position,
    "strict" permissively (decode_with_ends), "replace" by decode_replacing."""
    chars: list[tuple[bytes, int]] = []
    stops = [pos for pos, _ in schedule[1:]] + [len(data)]
    for (pos, mode), stop in zip(schedule, stops):
        decoder = decode_replacing if mode == "replace" else decode_with_ends
        chars += decoder(data, pos, stop)
    return chars


@dataclass
class Piece:
    kind: int
    chars: list[bytes] = field(default_factory=list)
    first: int = 0  # index of its first character in the input's characters

    def is_hyphen(self) -> bool:
        return self.kind == PNCTTN and self.chars == [b"-"]


def _runs(chars: list[bytes]) -> list[Piece]:
    runs: list[Piece] = []
    for i, ch in enumerate(chars):
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
            runs.append(Piece(kind, [ch], i))
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
    start: int = 0  # index of its first character in the input's characters


def _complete(group: list[Piece]) -> Token:
    chars = [ch for p in group for ch in p.chars]
    return Token(b"".join(chars), group[0].kind, len(chars), group[0].first)


def tokens_of(data: bytes) -> list[Token]:
    """Every completed token of the whole input, in order."""
    return tokens_of_chars(decode(data))


def tokens_of_chars(chars: list[bytes]) -> list[Token]:
    """Every completed token of a sequence of decoded characters, in order."""
    tokens: list[Token] = []
    group: list[Piece] = []
    for run in _runs(chars):
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
    tokens are used up all the same). `next_batch` gives the batch's Token
    records instead and never raises.
    """

    def __init__(self, data: bytes):
        self._data = data
        self._schedule: list[tuple[int, str]] = [(0, "strict")]
        self._chars = decode_with_ends(data)
        self._tokens = tokens_of_chars([raw for raw, _ in self._chars])
        self._next = 0
        self._read = False  # a batch has read input
        self.batch_size = 65536
        self.filter = ALL_KINDS
        self.min_len = 0
        self.max_len = 512
        self.errors = "strict"
        self.offsets = False

    def set_batch_size(self, n: int) -> None:
        self.batch_size = n

    def set_filter(self, mask: int) -> None:
        self.filter = mask

    def set_token_min_len(self, n: int) -> None:
        self.min_len = n

    def set_token_max_len(self, n: int) -> None:
        self.max_len = n

    def set_offsets(self, on: bool) -> None:
        self.offsets = on

    def keeps(self, token: Token) -> bool:
        return bool(token.kind & self.filter) and self.min_len <= token.length <= self.max_len

    def exhausted(self) -> bool:
        """Whether every token has been used up."""
        return self._next == len(self._tokens)

    def remaining(self) -> list[Token]:
        """The tokens not used up yet, kept or not."""
        return self._tokens[self._next :]

    def _end_of(self, index: int) -> int:
        """The index in the input just past the bytes of token `index`."""
        token = self._tokens[index]
        return self._chars[token.start + token.length - 1][1]

    def can_set_errors(self, mode: str) -> bool:
        """Whether the model follows a change to `mode` exactly now.

        The model switches at the end of the last token used up. A tokenizer
        may have decoded a few characters beyond it (the characters that
        completed that token), and switches after them; the two agree when
        the bytes from there on to the end of the fourth token after it are
        well-formed UTF-8, which either mode decodes alike. Before any batch
        has read input, a change is always exact, and after the last token
        too, unless malformed bytes that this mode dropped follow it: the
        tokenizer may not have read them yet, and would decode them anew.
        """
        if mode == self.errors or not self._read:
            return True
        if self.exhausted():
            rest = self._data[self._end_of(self._next - 1) if self._next else 0 :]
            try:
                rest.decode("utf-8")
            except UnicodeDecodeError:
                return False
            return True
        if self._next == 0:
            return False
        last = self._next + 3
        stop = len(self._data) if last >= len(self._tokens) - 1 else self._end_of(last)
        try:
            self._data[self._end_of(self._next - 1) : stop].decode("utf-8")
        except UnicodeDecodeError:
            return False
        return True

    def set_errors(self, mode: str) -> None:
        assert mode in ("strict", "replace")
        assert self.can_set_errors(mode), "the model cannot follow this change"
        if mode == self.errors:
            return
        self.errors = mode
        if self._read and self.exhausted():
            return  # everything is read: the mode changes nothing any more
        at = self._end_of(self._next - 1) if self._next else 0
        self._schedule = [(pos, m) for pos, m in self._schedule if pos < at] + [(at, mode)]
        self._chars = decode_scheduled(self._data, self._schedule)
        tokens = tokens_of_chars([raw for raw, _ in self._chars])
        assert tokens[: self._next] == self._tokens[: self._next]
        self._tokens = tokens

    def next_batch(self) -> list[Token]:
        """The kept tokens of the next batch, used up like get_batch's."""
        batch: list[Token] = []
        if self.batch_size:
            self._read = True
        while len(batch) < self.batch_size and self._next < len(self._tokens):
            token = self._tokens[self._next]
            self._next += 1
            if self.keeps(token):
                batch.append(token)
        return batch

    def get_batch(self) -> list[tuple[bytes, int]]:
        batch = [(token.text, token.kind) for token in self.next_batch()]
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
