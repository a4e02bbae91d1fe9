"""A tokenizer holds memory in proportion to what it has read: many
tokenizers over short texts stay small together, rounds of them leave the
resident memory flat, and a kept short batch does not hold a large block.

Resident memory is read from /proc/self/statm; the bounds leave room for the
allocators' own slack while failing a tokenizer that reserves a full batch's
storage (half a megabyte of types alone)."""

import gc
import os

import pytest

import tarvelinCXX as tc
from conftest import reference_tokens, split_text, under_asan

pytestmark = [
    pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm"),
    pytest.mark.skipif(under_asan(), reason="the sanitizer's allocator keeps freed memory"),
]

PAGE = os.sysconf("SC_PAGE_SIZE")
MB = 1 << 20

LINES = [
    "Жена 41616 то but конец, came о высокий, наконец went деньги.",
    "Under question hard такой sentence London may small sea state-of-the-art.",
    "«feet well» them group pose friend eat... Наконец 3086 мужчина",
    "plain ascii words, numbers 12 34 and punctuation!",
]


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def settled_resident():
    gc.collect()
    return resident()


def line(i):
    return f"{LINES[i % len(LINES)]} {i}"


def used_once(i, kind):
    text = line(i)
    t = tc.FTTokenizer(text.encode() if kind == "bytes" else text)
    return t, t.get_batch()


@pytest.mark.parametrize("kind", ["str", "bytes"])
def test_a_thousand_tokenizers_over_short_lines_hold_little(kind):
    used_once(0, kind)  # the module's one-time setup (NumPy, the array type)
    before = settled_resident()
    kept = [used_once(i, kind) for i in range(1000)]
    grown = settled_resident() - before
    # About 10 KB a tokenizer with its batch; a full batch's reservation
    # would be 80 KB or more each.
    assert grown < 32 * MB, f"{grown / MB:.1f} MB for 1000 tokenizers"
    text, batch = line(999), kept[999][1]
    assert list(zip(split_text(batch["text"]), batch["types"].tolist())) == reference_tokens(text)


def test_rounds_of_short_tokenizers_leave_resident_memory_flat():
    used_once(0, "str")
    before = settled_resident()
    after = []
    for r in range(10):
        kept = [used_once(1000 * r + i, "str") for i in range(1000)]
        assert all(len(b["types"]) > 0 for _, b in kept)
        del kept
        after.append(settled_resident())
    rounds = [round((a - before) / MB, 1) for a in after]
    # Each round's storage is given back and reused: tokenizers that reserve
    # a full batch each leave a hundred megabytes or more behind.
    assert max(after) - before < 32 * MB, rounds
    assert after[-1] - after[2] < 8 * MB, rounds


def test_a_kept_short_last_batch_does_not_hold_the_large_block():
    text = "a " * 33_000  # a full batch of 65536 tokens, then 464 tokens
    before = settled_resident()
    last = []
    for _ in range(100):
        t = tc.FTTokenizer(text)
        assert len(t.get_batch()["types"]) == 65536
        last.append(t.get_batch()["types"])
        del t
    grown = settled_resident() - before
    # Each would otherwise hold a block of 65536 entries (512 KiB).
    assert grown < 16 * MB, f"{grown / MB:.1f} MB for 100 short batches"
    assert all(a.tolist() == [4, 1] * 232 for a in last)
    for a in last:  # each array alone, writable
        a[:] = 0
    assert sum(int(a.sum()) for a in last) == 0


def test_batch_size_beyond_memory_costs_only_what_batches_hold():
    before = settled_resident()
    t = tc.FTTokenizer("слово word 42, " * 1000)
    t.set_batch_size(2**36)  # a full batch would need 35 TB
    batch = t.get_batch()
    assert len(batch["types"]) == 7000
    assert t.get_batch() == {}
    assert settled_resident() - before < 16 * MB
    with pytest.raises(MemoryError):  # a full batch no process could address
        t.set_batch_size(2**44)
    t.set_batch_size(3)
    assert t.get_batch() == {}
