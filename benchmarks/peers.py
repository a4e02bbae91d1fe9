"""The tokenizers measured by bench_peers.py: tarvelinCXX in several settings,
the decoding floor, and peer tools a user might pick instead.

Every tool is a `Tool` whose `make()` imports what it needs and returns a
function `run(inp) -> int` that tokenizes the whole input and returns the
number of tokens it produced. The input is given in the form the tool takes:

  "chunks"  the text as a list of `str` pieces of about 1 MiB, each ending in a
            line feed (a line feed ends a token under every tool, so the pieces
            give the same tokens as the whole text); for peers whose API takes
            one string at a time
  "text"    the whole text as one `str`
  "bytes"   the UTF-8 bytes of the text
  "path"    the path of a file holding those bytes
  "output"  the UTF-8 bytes of tarvelinCXX's own output text (tokens joined by
            U+0000), for the output-decoding floor
  "output_chunks"  the same bytes in pieces of about 1 MiB, each ending with a
            NUL byte

Each tool produces a comparable result, chunk by chunk: the list of token
strings, and the token types where the tool has them. Only the current chunk's
result is kept, as a streaming consumer would do; so peak memory shows a tool's
working memory, not a list of every token of the corpus.
"""

from __future__ import annotations

import re as _re
from dataclasses import dataclass, field
from typing import Callable

# --------------------------------------------------------------------------
# Our token rules as a regular expression
# --------------------------------------------------------------------------
#
# A word piece is a run of one word type; pieces are joined across single
# hyphen-minus characters, and a compound may end with the hyphen (as in
# "well-" before a space, or "a-" in "a--b"). Everything else is one character.
#
# Where the expression differs from tarvelinCXX:
#  * tokens are not limited to 128 characters (the module splits a longer run,
#    and completes a longer compound early);
#  * compounds are not limited to 16 pieces (the module completes
#    "1-2-3-4-5-6-7-8-9" as "1-2-3-4-5-6-7-8-" and "9");
#  * malformed UTF-8 never reaches it (a Python `str` is always well formed).

EN = "A-Za-z"
NUM = "0-9"
RU = "\u0410-\u044f\u0401\u0451"
SPACE = " \u000b\u00a0"
PUNCT = ("!-/:-@\\[-`{-~\u00ab\u00b7\u00bb\u2010-\u201f\u2024-\u2027\u2116")

_PIECE = f"(?:[{EN}]+|[{NUM}]+|[{RU}]+)"
_TAIL = f"(?:-{_PIECE})*-?"

# Token strings only.
TOKEN_PATTERN = f"{_PIECE}{_TAIL}|."
# With one group per token type (in TokenType bit order), for typed results.
TYPED_PATTERN = (
    f"(?P<WRDSPC>[{SPACE}])|(?P<NWLINE>\\n)|(?P<ENWORD>[{EN}]+{_TAIL})"
    f"|(?P<NUMBER>[{NUM}]+{_TAIL})|(?P<RUWORD>[{RU}]+{_TAIL})"
    f"|(?P<PNCTTN>[{PUNCT}])|(?P<UNKNWN>.)"
)
# Group index (1..7) to TokenType value.
GROUP_TYPE = [0, 1, 2, 4, 8, 16, 32, 64]


def re_tokens(text: str, engine=_re) -> list[tuple[str, int]]:
    """(token, TokenType value) pairs of `text` by the typed pattern."""
    pat = engine.compile(TYPED_PATTERN, engine.DOTALL)
    return [(m.group(), GROUP_TYPE[m.lastindex]) for m in pat.finditer(text)]


# --------------------------------------------------------------------------
# Tools
# --------------------------------------------------------------------------

@dataclass
class Tool:
    key: str                      # command-line name
    label: str                    # row label
    family: str                   # "module", "floor" or "peer"
    inp: str                      # input form, see the module docstring
    make: Callable[[], Callable]  # returns run(inp) -> token count
    result: str = ""              # what the comparable result is
    slice_mb: float | None = None  # measured on this prefix only (MB/s extrapolated)
    optional: bool = False        # a missing package skips the row instead of failing
    note: str = ""


def _module_run(kind: str, batch: int | None = None, words_only: bool = False,
                keep: bool = True):
    def make():
        import tarvelinCXX as tc

        def run(inp):
            tok = tc.FFTokenizer(inp) if kind == "FF" else tc.FTTokenizer(inp)
            if batch is not None:
                tok.set_batch_size(batch)
            if words_only:
                tok.set_filter(tc.ENWORD | tc.RUWORD)
            n = 0
            if keep:
                for b in tok.stream:
                    tokens = b["text"].split("\0")
                    tokens.pop()
                    types = b["types"].copy()   # the array views storage the next batch reuses
                    n += len(tokens)
                del tokens, types
            else:
                for b in tok.stream:
                    n += len(b["types"])
            return n
        return run
    return make


def _floor_decode():
    def run(data: bytes):
        s = data.decode("utf-8")
        del s
        return 0
    return run


def _floor_split():
    def run(chunks: list[bytes]):
        n = 0
        for c in chunks:
            toks = c.decode("utf-8").split("\0")
            toks.pop()
            n += len(toks)
        return n
    return run


def _counting(tokenize):
    """A run over the input chunks: each chunk's token list is built in full,
    as a user would get it, and the tokens are counted."""
    def run(chunks):
        return sum(len(tokenize(c)) for c in chunks)
    return run


def _re_findall(engine_name: str):
    def make():
        engine = __import__(engine_name)
        return _counting(engine.compile(TOKEN_PATTERN, engine.DOTALL).findall)
    return make


def _re_typed():
    pat = _re.compile(TYPED_PATTERN, _re.DOTALL)
    return _counting(
        lambda c: [(m.group(), GROUP_TYPE[m.lastindex]) for m in pat.finditer(c)])


def _hf(which: str):
    def make():
        from tokenizers import pre_tokenizers as pt
        if which == "ws+punct":
            pre = pt.Sequence([pt.WhitespaceSplit(), pt.Punctuation()])
        else:
            pre = pt.Whitespace()
        return _counting(pre.pre_tokenize_str)
    return make


def _razdel():
    import razdel
    return _counting(lambda c: [t.text for t in razdel.tokenize(c)])


def _nltk():
    from nltk.tokenize import wordpunct_tokenize
    return _counting(wordpunct_tokenize)


def _spacy():
    import spacy
    tokenizer = spacy.blank("xx").tokenizer
    return _counting(lambda c: [t.text for t in tokenizer(c)])


def _str_split():
    return _counting(str.split)


TYPED = "token strings + types"
STRINGS = "token strings"

TOOLS: list[Tool] = [
    Tool("ft_str", "tarvelinCXX FTTokenizer(str)", "module", "text", _module_run("FT"), TYPED,
         note="reference row"),
    Tool("ft_bytes", "tarvelinCXX FTTokenizer(bytes)", "module", "bytes", _module_run("FT"),
         TYPED),
    Tool("ff", "tarvelinCXX FFTokenizer(path)", "module", "path", _module_run("FF"), TYPED),
    Tool("ft_words", "tarvelinCXX FTTokenizer(str), words only", "module", "text",
         _module_run("FT", words_only=True), TYPED, note="set_filter(ENWORD | RUWORD)"),
    Tool("ff_words", "tarvelinCXX FFTokenizer(path), words only", "module", "path",
         _module_run("FF", words_only=True), TYPED, note="set_filter(ENWORD | RUWORD)"),
    Tool("ft_b1024", "tarvelinCXX FTTokenizer(str), batch 1024", "module", "text",
         _module_run("FT", batch=1024), TYPED, note="set_batch_size(1024)"),
    Tool("ff_b1024", "tarvelinCXX FFTokenizer(path), batch 1024", "module", "path",
         _module_run("FF", batch=1024), TYPED, note="set_batch_size(1024)"),
    Tool("ft_native", "tarvelinCXX FTTokenizer(bytes), batches only", "module", "bytes",
         _module_run("FT", keep=False), "batch dicts (not split into lists)",
         note="module total time: the batch dicts as handed out"),
    Tool("ff_native", "tarvelinCXX FFTokenizer(path), batches only", "module", "path",
         _module_run("FF", keep=False), "batch dicts (not split into lists)"),
    Tool("decode", "floor: bytes.decode(\"utf-8\") of the input", "floor", "bytes",
         lambda: _floor_decode(), "str"),
    Tool("decode_out", "floor: bytes.decode(\"utf-8\") of our output text", "floor", "output",
         lambda: _floor_decode(), "str",
         note="the module's \"\\0\"-joined token text, encoded to UTF-8"),
    Tool("split_out", "floor: our output text decoded and split at \"\\0\"", "floor",
         "output_chunks", lambda: _floor_split(), STRINGS,
         note="in pieces of about 1 MiB; the least any tool producing token lists pays"),
    Tool("re", "re.findall, our token rules", "peer", "chunks", _re_findall("re"), STRINGS),
    Tool("re_typed", "re.finditer, our token rules with types", "peer", "chunks", _re_typed,
         TYPED, slice_mb=20),
    Tool("regex", "regex.findall, our token rules", "peer", "chunks", _re_findall("regex"),
         STRINGS),
    Tool("hf_ws_punct", "tokenizers Sequence([WhitespaceSplit(), Punctuation()])", "peer",
         "chunks", _hf("ws+punct"), "token strings + offsets", slice_mb=10),
    Tool("hf_whitespace", "tokenizers Whitespace()", "peer", "chunks", _hf("whitespace"),
         "token strings + offsets", slice_mb=10),
    Tool("nltk", "nltk wordpunct_tokenize", "peer", "chunks", _nltk, STRINGS),
    Tool("razdel", "razdel.tokenize", "peer", "chunks", _razdel, STRINGS, slice_mb=10),
    Tool("spacy", "spaCy blank(\"xx\") tokenizer", "peer", "chunks", _spacy, STRINGS,
         slice_mb=10, optional=True),
    Tool("split", "str.split() (naive lower bound)", "peer", "chunks", _str_split, STRINGS),
]

TOOL_BY_KEY = {t.key: t for t in TOOLS}
