"""FTTokenizer specifics: construction, byte-string input, states.

The behaviour it shares with FFTokenizer is tested on both in test_batches.py.
"""

import gc
import sys

import pytest

import tarvelinCXX as tc
from conftest import all_tokens, drain, reference_tokens, tokens


@pytest.mark.parametrize(
    "text, expected",
    [
        ("ab cd", [("ab", 4), (" ", 1), ("cd", 4)]),
        ("well-known", [("well-known", 4)]),
        ("a--b", [("a-", 4), ("-", 32), ("b", 4)]),
    ],
)
def test_one_batch(text, expected):
    tok = tc.FTTokenizer(text)
    assert tokens(tok.get_batch()) == expected
    assert tok.get_batch() == {}


def test_hello():
    tok = tc.FTTokenizer("hello")
    b = tok.get_batch()
    assert b["text"] == "hello\0"
    assert b["types"].tolist() == [4]
    for _ in range(3):
        assert tok.get_batch() == {}


def test_well_known_from_drain():
    b = tc.FTTokenizer("well-known").get_batch()
    assert b["text"] == "well-known\0"
    assert b["types"].tolist() == [4]


def test_empty_text():
    tok = tc.FTTokenizer("")
    assert tok.get_batch() == {}
    assert list(tok.stream) == []
    assert list(tc.FTTokenizer(b"").stream) == []


def test_constructor_by_keyword_and_position():
    assert tokens(tc.FTTokenizer(text="a b").get_batch()) == [("a", 4), (" ", 1), ("b", 4)]
    assert tokens(tc.FTTokenizer("a b").get_batch()) == [("a", 4), (" ", 1), ("b", 4)]


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((1,), {}),
        ((None,), {}),
        ((["a"],), {}),
        (("a", "b"), {}),
        ((), {"fpath": "a"}),
        ((), {"txt": "a"}),
        (("\ud800",), {}),  # a lone surrogate has no UTF-8 form
        (("ab\udfffcd",), {}),
    ],
    ids=repr,
)
def test_constructor_refuses(args, kwargs):
    with pytest.raises(TypeError):
        tc.FTTokenizer(*args, **kwargs)


TEXTS = [
    "ab cd",
    "Привет, мир! Hello, world-wide web 2023-01-01…\n\tЁж — «ёлка»",
    "a\0b",
    "😀" * 3 + " x",
    "",
]


@pytest.mark.parametrize("text", TEXTS)
@pytest.mark.parametrize("convert", [bytes, bytearray])
@pytest.mark.parametrize("size", [1, 3, 65536])
def test_bytes_give_the_same_batches_as_str(text, convert, size):
    data = convert(text.encode("utf-8"))
    a, b = tc.FTTokenizer(text), tc.FTTokenizer(data)
    a.set_batch_size(size)
    b.set_batch_size(size)
    batches_a, batches_b = drain(a), drain(b)
    assert batches_a == batches_b
    assert [t for x in batches_a for t in x] == reference_tokens(text)


def test_text_is_copied_at_construction():
    data = bytearray(b"abc def")
    tok = tc.FTTokenizer(data)
    data[:] = b"xyz uvw"
    data.extend(b" more")
    assert all_tokens(tok) == [("abc", 4), (" ", 1), ("def", 4)]


@pytest.mark.parametrize(
    "make_text, held",
    [
        (lambda: "".join(["Москва-река ", "well-known "] * 500), 1),  # read in place
        (lambda: "".join(["plain ascii "] * 500), 1),  # read in place
        (lambda: ("".join(["Жук-", "12 "] * 500)).encode(), 1),  # read in place
    ],
    ids=["str", "ascii-str", "bytes"],
)
def test_text_is_read_without_copies_and_kept_alive(make_text, held):
    # No str or bytes argument is copied: the tokenizer holds one reference
    # to what it reads, for exactly as long as the tokenizer lives.
    text = make_text()
    expected = reference_tokens(text.decode() if isinstance(text, bytes) else text)
    before = sys.getrefcount(text)
    tok = tc.FTTokenizer(text)
    assert sys.getrefcount(text) == before + held
    tok.set_batch_size(7)
    first = tokens(tok.get_batch())
    del text  # only the tokenizer holds it now
    gc.collect()
    rest = all_tokens(tok)
    assert first + rest == expected
    text = make_text()
    before = sys.getrefcount(text)
    tok = tc.FTTokenizer(text)
    del tok
    assert sys.getrefcount(text) == before


def test_non_ascii_str_keeps_no_encoded_copy_after_the_tokenizer():
    # The tokenizer keeps its own UTF-8 form of a non-ASCII str and drops it
    # with the tokenizer; the caller's str is left as it was (a str otherwise
    # caches its UTF-8 form for as long as it lives).
    text = "".join(["Москва-река ", "ёлка "] * 2000)
    size = sys.getsizeof(text)
    tok = tc.FTTokenizer(text)
    assert all_tokens(tok) == reference_tokens(text)
    del tok
    assert sys.getsizeof(text) == size


def test_str_with_nul_is_passed_through():
    tok = tc.FTTokenizer("\0")
    b = tok.get_batch()
    assert b["text"] == "\0\0"
    assert b["types"].tolist() == [64]


def test_many_nuls():
    tok = tc.FTTokenizer("\0" * 1000)
    tok.set_batch_size(7)
    got = all_tokens(tok)
    assert got == [("\0", 64)] * 1000


def test_states_fresh_reading_exhausted():
    tok = tc.FTTokenizer("ab cd ef")
    tok.set_batch_size(1)
    assert tokens(tok.get_batch()) == [("ab", 4)]  # fresh -> reading
    rest = all_tokens(tok)  # reading -> exhausted
    assert rest == [(" ", 1), ("cd", 4), (" ", 1), ("ef", 4)]
    tok.set_batch_size(100)
    tok.set_filter(2**64 - 1)
    assert tok.get_batch() == {}  # nothing leads back from exhausted


def test_large_text_many_batches():
    words = ["alpha", "бета", "gamma-ray", "42", "covid-19", "Ёжик", "—", "…", "x"]
    text = " ".join(words[i % len(words)] for i in range(30000))
    expected = reference_tokens(text)
    tok = tc.FTTokenizer(text)
    tok.set_batch_size(997)
    assert all_tokens(tok) == expected
    tok = tc.FTTokenizer(text)
    assert all_tokens(tok) == expected
