"""Behaviour shared by FTTokenizer and FFTokenizer.

Every test here runs on both kinds of tokenizer through the `make_tokenizer`
fixture: the text tokenizer given the content, and the file tokenizer given a
file holding it.
"""

import os
import tempfile

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarvelinCXX as tc
from conftest import (
    ENWORD,
    NUMBER,
    NWLINE,
    PNCTTN,
    RUWORD,
    UNKNWN,
    WRDSPC,
    all_tokens,
    asan_may_return_null,
    check_batch,
    drain,
    reference_tokens,
    tokens,
    under_asan,
)

SP, LF = " ", "\n"

# The assembly edge cases, plus a worked example of a whole batch.
ASSEMBLY_CASES = [
    ("ab cd", [("ab", ENWORD), (SP, WRDSPC), ("cd", ENWORD)]),
    ("well-known", [("well-known", ENWORD)]),
    ("Москва-река", [("Москва-река", RUWORD)]),
    ("covid-19", [("covid-19", ENWORD)]),
    ("1-й", [("1-й", NUMBER)]),
    ("2023-01-01", [("2023-01-01", NUMBER)]),
    ("x-y-z", [("x-y-z", ENWORD)]),
    ("-5", [("-", PNCTTN), ("5", NUMBER)]),
    ("a--b", [("a-", ENWORD), ("-", PNCTTN), ("b", ENWORD)]),
    ("well- known", [("well-", ENWORD), (SP, WRDSPC), ("known", ENWORD)]),
    ("well-", [("well-", ENWORD)]),
    ("one - two", [("one", ENWORD), (SP, WRDSPC), ("-", PNCTTN), (SP, WRDSPC), ("two", ENWORD)]),
    ("hello  world", [("hello", ENWORD), (SP, WRDSPC), (SP, WRDSPC), ("world", ENWORD)]),
    ("x\n\ny", [("x", ENWORD), (LF, NWLINE), (LF, NWLINE), ("y", ENWORD)]),
    ("...", [(".", PNCTTN)] * 3),
    ("3.14", [("3", NUMBER), (".", PNCTTN), ("14", NUMBER)]),
    ("abc123", [("abc", ENWORD), ("123", NUMBER)]),
    ("abcабв", [("abc", ENWORD), ("абв", RUWORD)]),
    ("x\u2013y", [("x", ENWORD), ("\u2013", PNCTTN), ("y", ENWORD)]),
    ("hello", [("hello", ENWORD)]),
    ("-", [("-", PNCTTN)]),
    ("", []),
    ("a b", [("a", ENWORD), (SP, WRDSPC), ("b", ENWORD)]),
    ("covid-19 is", [("covid-19", ENWORD), (SP, WRDSPC), ("is", ENWORD)]),
    ("Ёлка ёж", [("Ёлка", RUWORD), (SP, WRDSPC), ("ёж", RUWORD)]),
    ("\t\r\x0b\xa0", [("\t", UNKNWN), ("\r", UNKNWN), ("\x0b", WRDSPC), ("\xa0", WRDSPC)]),
    ("é№…•", [("é", UNKNWN), ("№", PNCTTN), ("…", PNCTTN), ("•", UNKNWN)]),
    ("中😀", [("中", UNKNWN), ("😀", UNKNWN)]),
    ("a\u2010b", [("a", ENWORD), ("\u2010", PNCTTN), ("b", ENWORD)]),
    ("a-\u0456", [("a-", ENWORD), ("\u0456", UNKNWN)]),
]


@pytest.mark.parametrize("text, expected", ASSEMBLY_CASES)
def test_assembly_cases(make_tokenizer, text, expected):
    assert reference_tokens(text) == expected  # the model agrees with the table
    tok = make_tokenizer(text)
    batches = drain(tok)
    assert len(batches) == (1 if expected else 0)
    assert [t for b in batches for t in b] == expected
    assert tok.get_batch() == {}


def test_worked_example_batch(make_tokenizer):
    tok = make_tokenizer("ab cd")
    b = tok.get_batch()
    assert list(b) == ["text", "types"]
    assert b["text"] == "ab\0 \0cd\0"
    assert b["types"].tolist() == [4, 1, 4]
    assert b["types"].dtype == np.uint64
    assert tok.get_batch() == {}


def test_batch_dict_shape(make_tokenizer):
    tok = make_tokenizer("Жук ")
    b = tok.get_batch()
    check_batch(b, tok)
    assert b["text"] == "Жук\0 \0"
    assert len(b["text"]) == 6
    assert b["types"].tolist() == [16, 1]
    assert b["types"].base is None
    assert b["types"].flags.c_contiguous
    assert b["types"].shape == (2,)
    assert b["types"].itemsize == 8


def test_empty_batch_is_a_new_empty_dict(make_tokenizer):
    tok = make_tokenizer("")
    a, b = tok.get_batch(), tok.get_batch()
    assert a == {} and b == {}
    assert type(a) is dict
    assert a is not b
    assert "text" not in a and "types" not in a
    a["x"] = 1  # an independent, mutable dict
    assert tok.get_batch() == {}


def test_kept_batches_keep_their_text_and_types(make_tokenizer):
    tok = make_tokenizer("aa bb 11 22")
    tok.set_batch_size(2)
    first = tok.get_batch()
    text1 = first["text"]
    types1 = first["types"]
    assert text1 == "aa\0 \0" and types1.tolist() == [4, 1]
    second = tok.get_batch()
    assert second["types"].tolist() == [4, 1]
    third = tok.get_batch()
    assert third["types"].tolist() == [8, 1]
    # Later batches go to other storage while these arrays live.
    assert types1.tolist() == [4, 1]
    assert second["types"].tolist() == [4, 1]
    assert first["text"] == "aa\0 \0"  # the str is a copy
    assert not np.shares_memory(types1, third["types"])
    assert not np.shares_memory(second["types"], third["types"])
    # Writing through one array shows in no other.
    types1[0] = 99
    assert third["types"].tolist() == [8, 1] and second["types"][0] == 4
    last = tok.get_batch()
    assert last["text"] == "22\0" and last["types"].tolist() == [8]
    assert types1.tolist() == [99, 1] and third["types"].tolist() == [8, 1]


def test_longer_batch_array_shows_new_leading_values(make_tokenizer):
    tok = make_tokenizer("a b c d")
    tok.set_batch_size(4)
    old = tok.get_batch()["types"]
    assert old.tolist() == [4, 1, 4, 1]
    tok.set_batch_size(1)
    new = tok.get_batch()
    assert new["types"].tolist() == [4]
    assert old[0] == 4


# ---------------------------------------------------------------- filter

def test_filter_zero_gives_empty_batches(make_tokenizer):
    tok = make_tokenizer("ab cd 12")
    tok.set_filter(0)
    assert tok.get_batch() == {}
    # The input is exhausted: restoring the filter brings nothing back.
    tok.set_filter(2**64 - 1)
    assert tok.get_batch() == {}


def test_filter_words_only(make_tokenizer):
    text = "Hello, мир! 42 well-known\n"
    tok = make_tokenizer(text)
    tok.set_filter(tc.TokenType.ENWORD | tc.TokenType.RUWORD)
    assert all_tokens(tok) == [("Hello", 4), ("мир", 16), ("well-known", 4)]


def test_filter_member_and_plain_int(make_tokenizer):
    tok = make_tokenizer("a 1 b 2")
    tok.set_filter(tc.NUMBER)
    assert all_tokens(tok) == [("1", 8), ("2", 8)]
    tok = make_tokenizer("a 1 b 2")
    tok.set_filter(20 | 1)
    assert all_tokens(tok) == [("a", 4), (SP, 1), (SP, 1), ("b", 4), (SP, 1)]


def test_filter_all_ones_restores_default(make_tokenizer):
    tok = make_tokenizer("a 1, b")
    tok.set_filter(0)
    tok.set_filter(2**64 - 1)
    assert all_tokens(tok) == reference_tokens("a 1, b")


def test_filter_bool_is_an_int(make_tokenizer):
    tok = make_tokenizer("a b")
    tok.set_filter(True)  # 1: WRDSPC
    assert all_tokens(tok) == [(SP, 1)]


def test_filter_with_index_object(make_tokenizer):
    class Mask:
        def __index__(self):
            return 32

    tok = make_tokenizer("a, b.")
    tok.set_filter(Mask())
    assert all_tokens(tok) == [(",", 32), (".", 32)]
    tok = make_tokenizer("a, b.")
    tok.set_filter(np.uint64(4))
    assert all_tokens(tok) == [("a", 4), ("b", 4)]


def test_filter_nottkn_rejects_everything(make_tokenizer):
    tok = make_tokenizer("a b")
    tok.set_filter(tc.NOTTKN)
    assert tok.get_batch() == {}


def test_filter_only_space_on_file_example(make_tokenizer):
    tok = make_tokenizer("ab cd")
    tok.set_filter(tc.WRDSPC)
    b = tok.get_batch()
    assert b["text"] == " \0" and b["types"].tolist() == [1]
    assert tok.get_batch() == {}


def test_filter_rejecting_all_reads_whole_input(make_tokenizer):
    tok = make_tokenizer("ab cd ef " * 100)
    tok.set_batch_size(3)
    tok.set_filter(tc.NUMBER)
    assert tok.get_batch() == {}
    tok.set_filter(2**64 - 1)
    assert tok.get_batch() == {}
    assert list(tok.stream) == []


# ---------------------------------------------------------------- length bounds

def test_length_bounds_inclusive(make_tokenizer):
    tok = make_tokenizer("ab abc abcde abcdef")
    tok.set_token_min_len(3)
    tok.set_token_max_len(5)
    assert all_tokens(tok) == [("abc", 4), ("abcde", 4)]


def test_min_above_max_gives_empty_batches(make_tokenizer):
    tok = make_tokenizer("ab abc abcde")
    tok.set_token_min_len(4)
    tok.set_token_max_len(3)
    assert tok.get_batch() == {}


def test_length_counts_characters(make_tokenizer):
    tok = make_tokenizer("Жук Жуки")
    tok.set_token_max_len(3)
    assert all_tokens(tok) == [("Жук", 16), (SP, 1)]
    tok = make_tokenizer("Жук Жуки 😀")
    tok.set_token_min_len(4)
    assert all_tokens(tok) == [("Жуки", 16)]


def test_length_bounds_extremes(make_tokenizer):
    tok = make_tokenizer("a bb")
    tok.set_token_min_len(0)
    tok.set_token_max_len(2**64 - 1)
    assert all_tokens(tok) == [("a", 4), (SP, 1), ("bb", 4)]
    tok = make_tokenizer("a bb")
    tok.set_token_min_len(2**64 - 1)
    assert tok.get_batch() == {}
    tok = make_tokenizer("a bb")
    tok.set_token_max_len(0)
    assert tok.get_batch() == {}


def test_settings_change_between_batches(make_tokenizer):
    tok = make_tokenizer("aa bb cc dd")
    tok.set_batch_size(2)
    assert tokens(tok.get_batch()) == [("aa", 4), (SP, 1)]
    tok.set_filter(tc.ENWORD)
    assert tokens(tok.get_batch()) == [("bb", 4), ("cc", 4)]
    tok.set_filter(2**64 - 1)
    tok.set_batch_size(10)
    assert tokens(tok.get_batch()) == [(SP, 1), ("dd", 4)]
    assert tok.get_batch() == {}


# ---------------------------------------------------------------- setter arguments

BAD_ARGS = [-1, 2**64, 1.0, 0.0, "1", None, [1], b"1", 1 + 0j]


@pytest.mark.parametrize("setter", ["set_batch_size", "set_filter", "set_token_min_len", "set_token_max_len"])
@pytest.mark.parametrize("bad", BAD_ARGS, ids=repr)
def test_setters_refuse_bad_arguments(make_tokenizer, setter, bad):
    tok = make_tokenizer("ab, cd 12")
    with pytest.raises(TypeError):
        getattr(tok, setter)(bad)
    # Nothing changed: the defaults are still in effect.
    assert all_tokens(tok) == reference_tokens("ab, cd 12")


@pytest.mark.parametrize("setter", ["set_batch_size", "set_filter", "set_token_min_len", "set_token_max_len"])
def test_setters_refuse_wrong_arity(make_tokenizer, setter):
    tok = make_tokenizer("a")
    with pytest.raises(TypeError):
        getattr(tok, setter)()
    with pytest.raises(TypeError):
        getattr(tok, setter)(1, 2)


def test_refused_setter_keeps_previous_value(make_tokenizer):
    tok = make_tokenizer("ab, cd 12 x")
    tok.set_filter(tc.ENWORD)
    with pytest.raises(TypeError):
        tok.set_filter(-1)
    with pytest.raises(TypeError):
        tok.set_filter(2**64)
    tok.set_batch_size(1)
    with pytest.raises(TypeError):
        tok.set_batch_size(2.0)
    assert tokens(tok.get_batch()) == [("ab", 4)]
    assert tokens(tok.get_batch()) == [("cd", 4)]
    assert tokens(tok.get_batch()) == [("x", 4)]
    assert tok.get_batch() == {}


# ---------------------------------------------------------------- batch size

def test_batch_size_one(make_tokenizer):
    tok = make_tokenizer("ab cd, ef")
    tok.set_batch_size(1)
    batches = drain(tok)
    assert all(len(b) == 1 for b in batches)
    assert [t for b in batches for t in b] == reference_tokens("ab cd, ef")


def test_batch_size_two_spec_example(make_tokenizer):
    tok = make_tokenizer("ab. cd")
    tok.set_batch_size(2)
    assert tokens(tok.get_batch()) == [("ab", 4), (".", 32)]
    assert tokens(tok.get_batch()) == [(SP, 1), ("cd", 4)]
    assert tok.get_batch() == {}


def test_batch_size_zero_reads_nothing_then_continues(make_tokenizer):
    tok = make_tokenizer("ab cd ef")
    tok.set_batch_size(2)
    assert tokens(tok.get_batch()) == [("ab", 4), (SP, 1)]
    tok.set_batch_size(0)
    for _ in range(3):
        assert tok.get_batch() == {}
    assert list(tok.stream) == []
    tok.set_batch_size(100)
    assert tokens(tok.get_batch()) == [("cd", 4), (SP, 1), ("ef", 4)]
    assert tok.get_batch() == {}


def test_batch_size_zero_from_the_start(make_tokenizer):
    tok = make_tokenizer("x y")
    tok.set_batch_size(0)
    assert tok.get_batch() == {}
    tok.set_batch_size(1)
    assert all_tokens(tok) == [("x", 4), (SP, 1), ("y", 4)]


def test_batch_size_larger_than_default(make_tokenizer):
    text = "a " * 70000
    tok = make_tokenizer(text)
    tok.set_batch_size(200000)
    b = tok.get_batch()
    assert len(b["types"]) == 140000
    assert tok.get_batch() == {}


def test_default_batch_size_is_65536(make_tokenizer):
    tok = make_tokenizer("a " * 40000)  # 80000 tokens
    first = tok.get_batch()
    assert len(first["types"]) == 65536
    second = tok.get_batch()
    assert len(second["types"]) == 80000 - 65536
    assert tok.get_batch() == {}


# Decision 1: no token is lost at the end of the input.

def test_drain_continues_in_next_call_a_b_c(make_tokenizer):
    tok = make_tokenizer("a b c")
    tok.set_batch_size(2)
    assert tokens(tok.get_batch()) == [("a", 4), (SP, 1)]
    assert tokens(tok.get_batch()) == [("b", 4), (SP, 1)]
    assert tokens(tok.get_batch()) == [("c", 4)]
    assert tok.get_batch() == {}
    assert tok.get_batch() == {}


def test_drain_continues_both_steps_pending(make_tokenizer):
    # Batch size 1: the first drain step completes the space and fills the
    # batch; the word waits for the second step in the next call.
    tok = make_tokenizer("ab cd")
    tok.set_batch_size(1)
    assert [tokens(tok.get_batch()) for _ in range(4)] == [
        [("ab", 4)],
        [(SP, 1)],
        [("cd", 4)],
        [],
    ]


def test_drain_when_last_char_fills_batch(make_tokenizer):
    # The token completed by the last character fills the batch; the drain
    # runs entirely in the next call.
    tok = make_tokenizer("a b")
    tok.set_batch_size(1)
    assert [tokens(tok.get_batch()) for _ in range(4)] == [[("a", 4)], [(SP, 1)], [("b", 4)], []]


def test_drain_continues_through_stream(make_tokenizer):
    tok = make_tokenizer("a b c")
    tok.set_batch_size(2)
    assert [tokens(b) for b in tok.stream] == [
        [("a", 4), (SP, 1)],
        [("b", 4), (SP, 1)],
        [("c", 4)],
    ]


def test_drain_continues_after_batch_size_zero(make_tokenizer):
    tok = make_tokenizer("a b c")
    tok.set_batch_size(2)
    tok.get_batch()
    tok.get_batch()
    tok.set_batch_size(0)
    assert tok.get_batch() == {}
    tok.set_batch_size(5)
    assert tokens(tok.get_batch()) == [("c", 4)]
    assert tok.get_batch() == {}


def test_drain_pending_token_filtered_out(make_tokenizer):
    tok = make_tokenizer("a b c")
    tok.set_batch_size(2)
    tok.get_batch()
    tok.get_batch()
    tok.set_filter(tc.NUMBER)  # the pending "c" is offered after the change
    assert tok.get_batch() == {}
    tok.set_filter(2**64 - 1)
    assert tok.get_batch() == {}


@pytest.mark.parametrize("size", [1, 2, 3, 4, 5, 7, 16])
def test_every_batch_size_gives_the_unlimited_tokens(make_tokenizer, size):
    text = "Hello, мир! covid-19 well-known 2023-01-01 — «Москва-река»…\nЁж a--b -5 x"
    expected = reference_tokens(text)
    tok = make_tokenizer(text)
    tok.set_batch_size(size)
    batches = drain(tok)
    assert all(1 <= len(b) <= size for b in batches)
    assert all(len(b) == size for b in batches[:-1])
    assert [t for b in batches for t in b] == expected
    assert tok.get_batch() == {}


# Decision 2: the data-model limits never lose or cut a character.

LIMIT_CASES = [
    ("a" * 128, [("a" * 128, ENWORD)]),
    ("a" * 129, [("a" * 128, ENWORD), ("a", ENWORD)]),
    ("a" * 130, [("a" * 128, ENWORD), ("aa", ENWORD)]),
    ("7" * 200, [("7" * 128, NUMBER), ("7" * 72, NUMBER)]),
    ("ж" * 300, [("ж" * 128, RUWORD), ("ж" * 128, RUWORD), ("ж" * 44, RUWORD)]),
    ("a" * 256, [("a" * 128, ENWORD)] * 2),
    ("1-2-3-4-5-6-7-8-9", [("1-2-3-4-5-6-7-8-", NUMBER), ("9", NUMBER)]),
    ("1-2-3-4-5-6-7-8-9-", [("1-2-3-4-5-6-7-8-", NUMBER), ("9-", NUMBER)]),
    ("1-2-3-4-5-6-7-8", [("1-2-3-4-5-6-7-8", NUMBER)]),
    (
        "a-b-c-d-e-f-g-h-i-j-k-l-m-n-o-p-q",
        [("a-b-c-d-e-f-g-h-", ENWORD), ("i-j-k-l-m-n-o-p-", ENWORD), ("q", ENWORD)],
    ),
    ("a" * 100 + "-" + "b" * 100, [("a" * 100 + "-", ENWORD), ("b" * 100, ENWORD)]),
    ("a" * 127 + "-b", [("a" * 127 + "-", ENWORD), ("b", ENWORD)]),
    ("a" * 126 + "-b", [("a" * 126 + "-b", ENWORD)]),
    ("a" * 128 + "-b", [("a" * 128, ENWORD), ("-", PNCTTN), ("b", ENWORD)]),
    ("x " + "a" * 129 + " y", [("x", 4), (SP, 1), ("a" * 128, 4), ("a", 4), (SP, 1), ("y", 4)]),
    ("a" * 128 + "1", [("a" * 128, ENWORD), ("1", NUMBER)]),
]


@pytest.mark.parametrize("text, expected", LIMIT_CASES, ids=lambda v: v[:24] if isinstance(v, str) else None)
@pytest.mark.parametrize("size", [1, 2, 65536])
def test_limits_close_and_split_without_loss(make_tokenizer, text, expected, size):
    assert reference_tokens(text) == expected
    tok = make_tokenizer(text)
    tok.set_batch_size(size)
    got = all_tokens(tok)
    assert got == expected
    assert "".join(s for s, _ in got) == text
    assert all(len(s) <= 128 for s, _ in got)


def test_limits_respect_length_bounds(make_tokenizer):
    tok = make_tokenizer("a" * 300)
    tok.set_token_max_len(128)
    tok.set_token_min_len(128)
    assert all_tokens(tok) == [("a" * 128, 4)] * 2


# ---------------------------------------------------------------- special input

def test_nul_character_is_its_own_token(make_tokenizer):
    tok = make_tokenizer("a\0b\0\0")
    b = tok.get_batch()
    assert b["text"] == "a\0\0\0b\0\0\0\0\0"
    assert b["types"].tolist() == [4, 64, 4, 64, 64]
    assert tokens(b) == [("a", 4), ("\0", 64), ("b", 4), ("\0", 64), ("\0", 64)]


def test_nul_does_not_join_words(make_tokenizer):
    tok = make_tokenizer("ab\0-cd")
    assert all_tokens(tok) == [("ab", 4), ("\0", 64), ("-", 32), ("cd", 4)]


@pytest.mark.parametrize(
    "bad",
    [b"\xc0\x80", b"\xc1\x81", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x80\xff", b"\xf7\xbf\xbf\xbf"],
    ids=lambda b: b.hex(),
)
def test_malformed_utf8_raises_for_its_batch_and_continues(make_tokenizer, bad):
    tok = make_tokenizer(b"ab " + bad + b" cd")
    tok.set_batch_size(2)
    assert tokens(tok.get_batch()) == [("ab", 4), (SP, 1)]
    with pytest.raises(UnicodeDecodeError):
        tok.get_batch()
    assert tokens(tok.get_batch()) == [("cd", 4)]
    assert tok.get_batch() == {}


def test_malformed_utf8_loses_that_batch_only(make_tokenizer):
    tok = make_tokenizer(b"ab \xed\xa0\x80 cd")
    with pytest.raises(UnicodeDecodeError):
        tok.get_batch()
    assert tok.get_batch() == {}


def test_malformed_utf8_through_stream(make_tokenizer):
    tok = make_tokenizer(b"ab \xc0\x80 cd")
    tok.set_batch_size(2)
    s = tok.stream
    assert tokens(next(s)) == [("ab", 4), (SP, 1)]
    with pytest.raises(UnicodeDecodeError):
        next(s)
    assert tokens(next(s)) == [("cd", 4)]
    with pytest.raises(StopIteration):
        next(s)


def test_malformed_token_filtered_out_raises_nothing(make_tokenizer):
    tok = make_tokenizer(b"ab \xc0\x80 cd")
    tok.set_filter(tc.ENWORD)
    assert all_tokens(tok) == [("ab", 4), ("cd", 4)]


@pytest.mark.parametrize(
    "data, expected",
    [
        (b"\x80\x80ab", [("ab", 4)]),
        (b"\xffab", [("ab", 4)]),
        (b"\xd0A", [("A", 4)]),
        (b"ab\xe2\x80", [("ab", 4)]),
        (b"A\x80\x80\x80\x80\x80\x80\x80B", [("AB", 4)]),
        (b"\x80" * 20 + b"x", [("x", 4)]),
        (b"\xd0\x96\xd1\x83\xd0\xba", [("Жук", 16)]),
        (b"\xf0\x9f\x98\x80!", [("😀", 64), ("!", 32)]),
    ],
    ids=lambda v: v.hex() if isinstance(v, bytes) else None,
)
def test_permissive_decoding(make_tokenizer, data, expected):
    tok = make_tokenizer(data)
    assert all_tokens(tok) == expected


def test_multibyte_characters_across_batches(make_tokenizer):
    text = "Жук😀ёж—" * 50 + " end"
    expected = reference_tokens(text)
    for size in (1, 2, 3):
        tok = make_tokenizer(text)
        tok.set_batch_size(size)
        assert all_tokens(tok) == expected


# ---------------------------------------------------------------- Decision 4

@pytest.mark.parametrize("huge", [2**64 - 1, 2**63, 2**55, 2**55 + 1, (2**64 - 1) // 513 + 1])
def test_overflowing_batch_size_raises_memory_error_and_keeps_state(make_tokenizer, huge):
    text = "a b c d e f g"
    tok = make_tokenizer(text)
    tok.set_batch_size(2)
    assert tokens(tok.get_batch()) == [("a", 4), (SP, 1)]
    with pytest.raises(MemoryError):
        tok.set_batch_size(huge)
    # The old batch size is still in effect, and reading continues.
    assert tokens(tok.get_batch()) == [("b", 4), (SP, 1)]
    with pytest.raises(MemoryError):
        tok.set_batch_size(huge)
    batches = drain(tok)
    assert all(len(b) <= 2 for b in batches)
    assert [t for b in batches for t in b] == reference_tokens(text)[4:]


def test_overflowing_batch_size_on_fresh_tokenizer(make_tokenizer):
    tok = make_tokenizer("a " * 70000)
    with pytest.raises(MemoryError):
        tok.set_batch_size(2**64 - 1)
    assert len(tok.get_batch()["types"]) == 65536  # the default still holds
    assert len(tok.get_batch()["types"]) == 65536
    assert len(tok.get_batch()["types"]) == 140000 - 2 * 65536
    assert tok.get_batch() == {}


@pytest.mark.skipif(
    under_asan() and not asan_may_return_null(),
    reason="AddressSanitizer aborts on huge allocations unless allocator_may_return_null=1",
)
@pytest.mark.parametrize("huge", [2**50, 2**52 + 3])
def test_unallocatable_batch_size_raises_memory_error_and_keeps_state(make_tokenizer, huge):
    # n * 513 fits in 64 bits, but no such memory exists.
    tok = make_tokenizer("a b c d e")
    tok.set_batch_size(3)
    assert tokens(tok.get_batch()) == [("a", 4), (SP, 1), ("b", 4)]
    with pytest.raises(MemoryError):
        tok.set_batch_size(huge)
    assert tokens(tok.get_batch()) == [(SP, 1), ("c", 4), (SP, 1)]
    assert tokens(tok.get_batch()) == [("d", 4), (SP, 1), ("e", 4)]
    assert tok.get_batch() == {}


def test_arrays_survive_resizes(make_tokenizer):
    text = "a, 1 " * 50000  # 250000 tokens
    tok = make_tokenizer(text)
    tok.set_batch_size(3)
    small = tok.get_batch()["types"]
    assert small.tolist() == [4, 32, 1]
    tok.set_batch_size(100000)  # grows past the default storage
    big = tok.get_batch()["types"]
    assert len(big) == 100000
    # The array from before the resize is still readable and writable.
    assert set(small.tolist()) <= {1, 4, 8, 32}
    small[:] = 7
    assert small.tolist() == [7, 7, 7]
    assert set(big.tolist()) == {1, 4, 8, 32}
    tok.set_batch_size(1)  # shrinks
    one = tok.get_batch()["types"]
    assert len(one) == 1
    assert len(big) == 100000 and set(big.tolist()) <= {1, 4, 7, 8, 32}
    big[:] = 5
    assert int(big.sum()) == 500000
    with pytest.raises(MemoryError):
        tok.set_batch_size(2**64 - 1)
    assert small.sum() >= 0 and big.sum() >= 0 and one.sum() >= 0
    tok.set_batch_size(400000)  # grows again
    rest = tok.get_batch()["types"]
    assert len(rest) == 250000 - 3 - 100000 - 1
    small[:] = 1
    big[:] = 1
    one[:] = 1
    assert tok.get_batch() == {}
    del tok
    assert small.sum() == 3 and big.sum() == 100000 and one.sum() == 1
    assert len(rest) == 149996 and set(rest.tolist()) <= {1, 4, 8, 32}


# ---------------------------------------------------------------- streams

def test_stream_yields_batches_and_ends(make_tokenizer):
    tok = make_tokenizer("ab cd")
    tok.set_batch_size(2)
    got = [tokens(b) for b in tok.stream]
    assert got == [[("ab", 4), (SP, 1)], [("cd", 4)]]
    assert list(tok.stream) == []


def test_stream_empty_input(make_tokenizer):
    tok = make_tokenizer("")
    s = tok.stream
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(s)
    assert list(tok.stream) == []


def test_stream_is_a_new_object_each_read(make_tokenizer):
    tok = make_tokenizer("a")
    s1, s2 = tok.stream, tok.stream
    assert s1 is not s2
    stream_cls = tc.fts_stream if make_tokenizer.kind == "text" else tc.ffs_stream
    assert type(s1) is stream_cls
    assert type(iter(s1)) is stream_cls


def test_stream_property_cannot_be_assigned(make_tokenizer):
    tok = make_tokenizer("a")
    with pytest.raises(AttributeError):
        tok.stream = tok.stream
    with pytest.raises(AttributeError):
        del tok.stream


def test_iter_of_stream_is_new_but_shares_tokenizer(make_tokenizer):
    tok = make_tokenizer("a b c d")
    tok.set_batch_size(1)
    s = tok.stream
    it = iter(s)
    assert it is not s
    assert tokens(next(iter(s))) == [("a", 4)]
    assert tokens(next(s)) == [(SP, 1)]
    assert tokens(next(it)) == [("b", 4)]
    assert tokens(tok.get_batch()) == [(SP, 1)]


def test_streams_and_get_batch_share_one_position(make_tokenizer):
    text = "one two three four five six seven"
    tok = make_tokenizer(text)
    tok.set_batch_size(2)
    s1, s2 = tok.stream, tok.stream
    got = []
    got += tokens(next(s1))
    got += tokens(tok.get_batch())
    got += tokens(next(s2))
    got += tokens(next(iter(s1)))
    for b in s2:
        got += tokens(b)
    assert got == reference_tokens(text)
    for s in (s1, s2, iter(s1)):
        with pytest.raises(StopIteration):
            next(s)
    assert tok.get_batch() == {}


def test_exhausted_stream_raises_again_and_again(make_tokenizer):
    tok = make_tokenizer("x")
    s = tok.stream
    assert tokens(next(s)) == [("x", 4)]
    for _ in range(5):
        with pytest.raises(StopIteration):
            next(s)
    assert list(s) == []
    assert tok.get_batch() == {}


def test_stream_stops_at_first_empty_batch(make_tokenizer):
    tok = make_tokenizer("a b")
    tok.set_batch_size(0)
    assert list(tok.stream) == []
    tok.set_batch_size(1)
    assert [tokens(b) for b in tok.stream] == [[("a", 4)], [(SP, 1)], [("b", 4)]]


def test_stream_batches_each_keep_their_types(make_tokenizer):
    tok = make_tokenizer("a b 1")
    tok.set_batch_size(2)
    batches = list(tok.stream)
    assert [b["text"] for b in batches] == ["a\0 \0", "b\0 \0", "1\0"]
    assert all(b["types"].base is None for b in batches)
    assert [b["types"].tolist() for b in batches] == [[4, 1], [4, 1], [8]]


def test_for_loop_with_break_and_resume(make_tokenizer):
    tok = make_tokenizer("a b c d")
    tok.set_batch_size(1)
    seen = []
    for b in tok.stream:
        seen += tokens(b)
        if len(seen) == 3:
            break
    for b in tok.stream:
        seen += tokens(b)
    assert seen == reference_tokens("a b c d")


# ---------------------------------------------------------------- properties

ALPHABET = list("abZ09-- ..,\n\t\0жЁё—…é😀\xa0") + ["а", "я"]


@st.composite
def texts(draw):
    # Pieces of repeated characters, so that long runs and groups occur.
    parts = draw(
        st.lists(
            st.tuples(st.sampled_from(ALPHABET), st.integers(1, 3) | st.integers(60, 140)),
            max_size=12,
        )
    )
    return "".join(c * n for c, n in parts)


def _new(kind, content, tmpdir):
    if kind == "text":
        return tc.FTTokenizer(content)
    fd, path = tempfile.mkstemp(dir=tmpdir)
    with os.fdopen(fd, "wb") as f:
        f.write(content.encode("utf-8") if isinstance(content, str) else content)
    return tc.FFTokenizer(path)


@pytest.fixture(scope="module")
def module_tmpdir():
    with tempfile.TemporaryDirectory() as d:
        yield d


@pytest.mark.parametrize("kind", ["text", "file"])
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    text=texts() | st.text(alphabet=st.sampled_from(ALPHABET), max_size=40),
    size=st.integers(1, 9),
    filt=st.sampled_from([2**64 - 1, 127, 20, 1 | 2 | 32 | 64, 4, 0]),
    bounds=st.sampled_from([(0, 512), (1, 3), (2, 128), (100, 200)]),
)
def test_batches_together_equal_one_unlimited_batch(kind, module_tmpdir, text, size, filt, bounds):
    lo, hi = bounds
    expected = reference_tokens(text, filter=filt, min_len=lo, max_len=hi)
    tok = _new(kind, text, module_tmpdir)
    tok.set_batch_size(size)
    tok.set_filter(filt)
    tok.set_token_min_len(lo)
    tok.set_token_max_len(hi)
    batches = drain(tok)
    assert all(1 <= len(b) <= size for b in batches)
    assert [t for b in batches for t in b] == expected

    one = _new(kind, text, module_tmpdir)
    one.set_filter(filt)
    one.set_token_min_len(lo)
    one.set_token_max_len(hi)
    assert all_tokens(one) == expected


@pytest.mark.parametrize("kind", ["text", "file"])
@settings(max_examples=60, deadline=None)
@given(text=texts())
def test_tokens_join_back_to_input(kind, module_tmpdir, text):
    tok = _new(kind, text, module_tmpdir)
    got = all_tokens(tok)
    assert "".join(s for s, _ in got) == text
    assert all(1 <= len(s) <= 128 for s, _ in got)
    assert got == reference_tokens(text)


# Bytes that the permissive decoder drops without a trace when they
# stand between whole characters: continuation bytes and bytes F8..FF after a
# complete character, and lead bytes whose character never completes because
# the next character's lead byte (or the end of the input) arrives first. The
# input with such bytes gives exactly the tokens of the text without them;
# they also steer the reading loop off any fast path for well-formed text.
DROPPED = [b"\x80", b"\xbf\x80\xbf", b"\xff", b"\xf8\xf9", b"\x80" * 9, b"\xd0", b"\xe2\x80", b"\xf0\x9f\x98"]


@st.composite
def texts_with_dropped_bytes(draw):
    text = draw(texts() | st.text(alphabet=st.sampled_from(ALPHABET), max_size=40))
    inserts = draw(
        st.dictionaries(st.integers(0, len(text)), st.sampled_from(DROPPED), max_size=10)
    )
    out = bytearray()
    for i, ch in enumerate(text):
        out += inserts.get(i, b"")
        out += ch.encode()
    out += inserts.get(len(text), b"")
    return text, bytes(out)


@pytest.mark.parametrize("kind", ["text", "file"])
@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(case=texts_with_dropped_bytes(), size=st.integers(1, 6))
def test_dropped_bytes_change_nothing(kind, module_tmpdir, case, size):
    text, data = case
    tok = _new(kind, data, module_tmpdir)
    tok.set_batch_size(size)
    batches = drain(tok)
    assert all(1 <= len(b) <= size for b in batches)
    assert [t for b in batches for t in b] == reference_tokens(text)


@pytest.mark.parametrize(
    "data, size, expected",
    [
        (b"a b \x80c", 2, [[("a", 4), (" ", 1)], [("b", 4), (" ", 1)], [("c", 4)]]),
        (b"ab \xffcd", 1, [[("ab", 4)], [(" ", 1)], [("cd", 4)]]),
        (b"x-\x80y z\x80", 2, [[("x-y", 4), (" ", 1)], [("z", 4)]]),
        (b"a\x80 b", 1, [[("a", 4)], [(" ", 1)], [("b", 4)]]),
        (b"a \xe2\x80b", 1, [[("a", 4)], [(" ", 1)], [("b", 4)]]),
        # Two runs are pending when the input ends; the first step of the
        # drain fills the batch, the second must come in the next call.
        (b"\x800Z", 1, [[("0", 8)], [("Z", 4)]]),
        (b"\x80abc123", 1, [[("abc", 4)], [("123", 8)]]),
        (b"\xffx \x80\xd0\x96z", 2, [[("x", 4), (" ", 1)], [("\u0416", 16), ("z", 4)]]),
        (b"\x80" + b"a" * 130, 1, [[("a" * 128, 4)], [("aa", 4)]]),
    ],
    ids=lambda v: v[:12].hex() if isinstance(v, bytes) else None,
)
def test_drain_after_dropped_bytes_loses_nothing(make_tokenizer, data, size, expected):
    tok = make_tokenizer(data)
    tok.set_batch_size(size)
    assert [tokens(tok.get_batch()) for _ in range(len(expected) + 1)] == expected + [[]]
