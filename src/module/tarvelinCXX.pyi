"""Tokenizes Russian and English text into typed tokens, handed out in batches.

Type information for the compiled extension module. Keep it in step with the
bindings in module.cpp; tests/python/test_stubs.py compares the two.
"""

import os
from collections.abc import Iterable
from typing import Any, ClassVar, NotRequired, SupportsIndex, SupportsInt, TypedDict, type_check_only

import numpy
import numpy.typing

__version__: str

class _Batch(TypedDict):
    """A non-empty batch, as a stream yields it.

    "text" holds the tokens, each followed by U+0000. "types" holds each
    token's kind as a TokenType value; it views storage that no later batch
    writes into while the array lives, so a batch can be kept as it is.
    """

    text: str
    types: numpy.typing.NDArray[numpy.uint64]
    offsets: NotRequired[numpy.typing.NDArray[numpy.uint64]]  # after set_offsets(True)
    docs: NotRequired[numpy.typing.NDArray[numpy.uint64]]  # FDTokenizer: each token's document

class _BatchOrEmpty(TypedDict, total=False):
    """What get_batch returns: a batch with both keys, or {} when nothing is left."""

    text: str
    types: numpy.typing.NDArray[numpy.uint64]
    offsets: numpy.typing.NDArray[numpy.uint64]
    docs: numpy.typing.NDArray[numpy.uint64]

class TokenType:
    """Token kinds, as bit flags that can be OR-ed into a filter mask.

    Members:

      NOTTKN : no token

      WRDSPC : one space (U+0020, U+000B or U+00A0)

      NWLINE : one line feed

      ENWORD : a Latin word, or a hyphenated compound that starts with one

      NUMBER : a run of digits, or a hyphenated compound that starts with one

      RUWORD : a Russian word, or a hyphenated compound that starts with one

      PNCTTN : one punctuation character

      UNKNWN : one character of any other kind
    """

    NOTTKN: ClassVar[TokenType]
    WRDSPC: ClassVar[TokenType]
    NWLINE: ClassVar[TokenType]
    ENWORD: ClassVar[TokenType]
    NUMBER: ClassVar[TokenType]
    RUWORD: ClassVar[TokenType]
    PNCTTN: ClassVar[TokenType]
    UNKNWN: ClassVar[TokenType]
    __members__: ClassVar[dict[str, TokenType]]

    def __init__(self, value: SupportsInt | SupportsIndex) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __hash__(self) -> int: ...
    def __repr__(self) -> str: ...
    def __str__(self) -> str: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __lt__(self, other: TokenType, /) -> bool: ...
    def __le__(self, other: TokenType, /) -> bool: ...
    def __gt__(self, other: TokenType, /) -> bool: ...
    def __ge__(self, other: TokenType, /) -> bool: ...
    def __or__(self, other: TokenType, /) -> int: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: SupportsInt | SupportsIndex) -> None: ...

NOTTKN: TokenType
WRDSPC: TokenType
NWLINE: TokenType
ENWORD: TokenType
NUMBER: TokenType
RUWORD: TokenType
PNCTTN: TokenType
UNKNWN: TokenType

class fts_stream:
    """Iterator over the batches of one FTTokenizer; has no constructor."""

    def __iter__(self) -> fts_stream: ...
    def __next__(self) -> _Batch: ...
    def __repr__(self) -> str: ...

class FTTokenizer:
    """Tokenizes a text: a str, or UTF-8 bytes as bytes or bytearray."""

    def __init__(self, text: str | bytes | bytearray) -> None:
        """Opens the text; calling it again on an initialised tokenizer raises TypeError."""
    def set_batch_size(self, size: SupportsInt | SupportsIndex, /) -> None: ...
    def set_filter(self, mask: SupportsInt | SupportsIndex, /) -> None: ...
    def set_token_min_len(self, length: SupportsInt | SupportsIndex, /) -> None: ...
    def set_token_max_len(self, length: SupportsInt | SupportsIndex, /) -> None: ...
    def get_batch(self) -> _BatchOrEmpty: ...
    @property
    def stream(self) -> fts_stream: ...
    def set_errors(self, mode: str, /) -> None:
        """How a batch whose bytes are not well-formed UTF-8 is handed out.

        "strict" (the default): get_batch raises UnicodeDecodeError, with the
        batch as its attribute `batch` ("text" decoded with surrogateescape).
        "replace": malformed bytes are read as U+FFFD, as bytes.decode("utf-8",
        "replace") places it. Any other mode raises ValueError.
        """
    def set_offsets(self, on: bool, /) -> None:
        """Adds "offsets" (each token's first character's index in the input) to later batches."""
    def count_tokens(self, max_bytes: SupportsInt | SupportsIndex | None = None) -> dict[str, int]:
        """{token text: occurrences} from here to the end of the input (or about max_bytes more)."""
    def __iter__(self) -> fts_stream: ...
    def __repr__(self) -> str: ...

class ffs_stream:
    """Iterator over the batches of one FFTokenizer; has no constructor."""

    def __iter__(self) -> ffs_stream: ...
    def __next__(self) -> _Batch: ...
    def __repr__(self) -> str: ...

class FFTokenizer:
    """Tokenizes a UTF-8 text file, read lazily; the path is a str, bytes or bytearray."""

    def __init__(self, fpath: str | bytes | bytearray | os.PathLike[str] | os.PathLike[bytes]) -> None:
        """Opens the file; calling it again on an initialised tokenizer raises TypeError."""
    def is_fopen(self) -> bool: ...
    def set_batch_size(self, size: SupportsInt | SupportsIndex, /) -> None: ...
    def set_filter(self, mask: SupportsInt | SupportsIndex, /) -> None: ...
    def set_token_min_len(self, length: SupportsInt | SupportsIndex, /) -> None: ...
    def set_token_max_len(self, length: SupportsInt | SupportsIndex, /) -> None: ...
    def get_batch(self) -> _BatchOrEmpty: ...
    @property
    def stream(self) -> ffs_stream: ...
    def set_errors(self, mode: str, /) -> None:
        """As FTTokenizer.set_errors."""
    def set_offsets(self, on: bool, /) -> None:
        """Adds "offsets" (each token's first character's index in the input) to later batches."""
    def count_tokens(self, max_bytes: SupportsInt | SupportsIndex | None = None) -> dict[str, int]:
        """{token text: occurrences} from here to the end of the input (or about max_bytes more)."""
    def __iter__(self) -> ffs_stream: ...
    def __repr__(self) -> str: ...
    def close(self) -> None:
        """Closes the file: is_fopen() becomes False and later batches are empty."""
    def __enter__(self) -> FFTokenizer: ...
    def __exit__(self, exc_type: object, exc_value: object, traceback: object) -> None: ...

class fds_stream:
    """Iterator over the batches of one FDTokenizer; has no constructor."""

    def __iter__(self) -> fds_stream: ...
    def __next__(self) -> _Batch: ...
    def __repr__(self) -> str: ...

class FDTokenizer:
    """Tokenizes many documents: an iterable of str, bytes or bytearray, or an Arrow string column.

    Each document is tokenized as FTTokenizer would tokenize it alone; each
    batch adds "docs", every token's document index in the input.
    """

    def __init__(self, docs: Iterable[str | bytes | bytearray] | Any) -> None:  # Any: an Arrow column
        """Opens the documents; TypeError for one str, bytes or bytearray, a non-iterable, or
        an Arrow column of another type; ValueError for an Arrow array that does not fit its
        buffers."""
    def set_batch_size(self, size: SupportsInt | SupportsIndex, /) -> None: ...
    def set_filter(self, mask: SupportsInt | SupportsIndex, /) -> None: ...
    def set_token_min_len(self, length: SupportsInt | SupportsIndex, /) -> None: ...
    def set_token_max_len(self, length: SupportsInt | SupportsIndex, /) -> None: ...
    def get_batch(self) -> _BatchOrEmpty: ...
    @property
    def stream(self) -> fds_stream: ...
    def set_errors(self, mode: str, /) -> None:
        """As FTTokenizer.set_errors; a str with a lone surrogate reads as U+FFFD in "replace"."""
    def set_offsets(self, on: bool, /) -> None:
        """Adds "offsets" (each token's first character's index in its document) to later batches."""
    def count_tokens(self, max_bytes: SupportsInt | SupportsIndex | None = None) -> dict[str, int]:
        """{token text: occurrences} over the documents left (or about max_bytes more)."""
    def __iter__(self) -> fds_stream: ...
    def __repr__(self) -> str: ...
