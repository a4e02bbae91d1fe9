"""Batches kept by the caller keep their arrays: a later batch of the same
tokenizer never writes into storage that an array still views, while the plain
loop, which holds one batch as the next is made, reuses its storage."""

import gc
import queue
import threading

import numpy as np
import pytest

import tarvelinCXX as tc
from conftest import reference_tokens, split_text

EXAMPLE = "a 1 б , c"
EXAMPLE_TYPES = [[4, 1], [8, 1], [16, 1], [32, 1], [4]]


def blocks_made():
    return tc._types_blocks()[0]


def blocks_live():
    return tc._types_blocks()[1]


@pytest.mark.parametrize(
    "collect",
    [
        pytest.param(list, id="list"),
        pytest.param(lambda t: [b for b in t], id="comprehension"),
        pytest.param(lambda t: list(t.stream), id="stream"),
        pytest.param(lambda t: sorted(t, key=lambda b: b["text"]), id="sorted"),
        pytest.param(lambda t: list(iter(t.get_batch, {})), id="get_batch"),
    ],
)
def test_collected_batches_keep_their_types(make_tokenizer, collect):
    t = make_tokenizer(EXAMPLE)
    t.set_batch_size(2)
    batches = collect(t)
    by_text = {b["text"]: b["types"].tolist() for b in batches}
    assert by_text == {"a\0 \0": [4, 1], "1\0 \0": [8, 1], "б\0 \0": [16, 1],
                       ",\0 \0": [32, 1], "c\0": [4]}
    if len(batches) == 5 and batches[0]["text"] == "a\0 \0":
        assert [b["types"].tolist() for b in batches] == EXAMPLE_TYPES


@pytest.mark.parametrize("batch_size", [1, 3, 1000])
def test_every_kept_batch_matches_its_text_after_the_tokenizer_is_gone(make_tokenizer, batch_size):
    text = "слово word 42, " * 700 + "end"
    t = make_tokenizer(text)
    t.set_offsets(True)
    t.set_batch_size(batch_size)
    batches = list(t)
    del t
    gc.collect()
    got = [(s, int(k)) for b in batches for s, k in zip(split_text(b["text"]), b["types"])]
    assert got == reference_tokens(text)
    offsets = [int(o) for b in batches for o in b["offsets"]]
    assert all(text[o:o + len(s)] == s for o, (s, _) in zip(offsets, got))
    for b in batches:  # writable, and each array alone
        b["types"][:] = 0
        b["offsets"][:] = 0
    assert sum(int(b["types"].sum()) + int(b["offsets"].sum()) for b in batches) == 0


def test_kept_batch_survives_counting_resizing_and_closing(make_tokenizer):
    t = make_tokenizer("a 1 " * 50)
    t.set_batch_size(4)
    kept = t.get_batch()["types"]
    t.set_batch_size(2)
    assert t.get_batch()["types"].tolist() == [4, 1]
    assert t.count_tokens(max_bytes=1) == {"1": 1, " ": 1}
    t.set_batch_size(3)
    assert t.get_batch()["types"].tolist() == [4, 1, 8]
    if hasattr(t, "close"):
        t.close()
        assert t.get_batch() == {}
    assert kept.tolist() == [4, 1, 8, 1]


@pytest.mark.parametrize("via", ["for", "stream", "get_batch"])
def test_plain_loop_reuses_its_storage(make_tokenizer, via):
    gc.collect()
    live = blocks_live()
    t = make_tokenizer("a " * 20_000)
    t.set_batch_size(10)
    batches = iter(t) if via == "for" else t.stream if via == "stream" else iter(t.get_batch, {})
    addresses = set()
    for i, b in enumerate(batches):  # `b` holds the previous batch while the next is made
        assert b["types"].tolist() == [4, 1] * 5
        addresses.add(b["types"].__array_interface__["data"][0])
        if i == 10:
            made = blocks_made()
    assert blocks_made() == made  # nothing allocated once the loop settled
    assert len(addresses) <= 3
    del b, batches, t
    gc.collect()
    assert blocks_live() == live  # every block freed with the tokenizer


def test_blocks_of_kept_arrays_are_freed_with_the_last_array():
    gc.collect()
    live = blocks_live()
    t = tc.FTTokenizer("x y " * 100)
    t.set_batch_size(3)
    kept = [b["types"] for b in t]
    views = [a[1:] for a in kept]
    assert blocks_live() >= live + len(kept)
    del t, kept
    gc.collect()
    assert blocks_live() > live  # the views hold their arrays' blocks
    assert all(v.tolist() in ([1, 4], [4, 1], [1], []) for v in views)
    del views
    gc.collect()
    assert blocks_live() == live


def test_arrays_dropped_by_other_threads_while_reading():
    # One thread reads batches (the native reading runs without the
    # interpreter lock) and hands them over; others check and drop them. Any
    # batch written into storage an array still views shows as types that do
    # not match the text.
    kinds = {"a": 4, " ": 1, "1": 8, "б": 16, ",": 32}
    text = "a 1 б , " * 20_000
    handed = queue.Queue(maxsize=64)
    bad = []

    def check():
        while (b := handed.get()) is not None:
            types = b["types"].tolist()
            if types != [kinds.get(s) for s in split_text(b["text"])]:
                bad.append((b["text"], types))

    checkers = [threading.Thread(target=check) for _ in range(3)]
    for c in checkers:
        c.start()
    for batch_size in (1, 7, 4096):
        t = tc.FTTokenizer(text)
        t.set_batch_size(batch_size)
        for b in t:
            handed.put(b)
        del t
    for _ in checkers:
        handed.put(None)
    for c in checkers:
        c.join()
    assert bad == []


def test_decoding_error_batch_is_a_copy_beside_kept_arrays():
    t = tc.FTTokenizer(b"ab \xc0\x80 cd")
    t.set_batch_size(2)
    kept = t.get_batch()["types"]
    with pytest.raises(UnicodeDecodeError) as caught:
        t.get_batch()
    copied = caught.value.batch["types"]
    assert isinstance(copied, np.ndarray) and copied.flags.owndata
    assert t.get_batch()["types"].tolist() == [4]
    assert kept.tolist() == [4, 1] and len(copied) == 2
