"""Leak and stability checks: many calls and many tokenizers keep memory and
reference counts flat, and threads give correct results.

Memory is read from /proc/self/statm and compared against generous bounds
(a leak of one small object per call, or of one tokenizer's storage per
tokenizer, exceeds them many times over). Under the sanitizer build the counts
are smaller and the memory bounds are not checked: the sanitizer's allocator
keeps freed memory in quarantine on purpose.
"""

import gc
import os
import subprocess
import sys
import threading
import tracemalloc

import numpy as np
import pytest

import reference_model as model
import tarvelinCXX as tc

SANITIZED = bool(os.environ.get("TARVELIN_SANITIZED")) or "asan" in os.environ.get("LD_PRELOAD", "")
PAGE = os.sysconf("SC_PAGE_SIZE")
MIB = 1 << 20


def scaled(n):
    return n // 10 if SANITIZED else n


def memory():
    """(virtual size, resident size) of this process in bytes."""
    with open("/proc/self/statm") as f:
        size, resident = f.read().split()[:2]
    return int(size) * PAGE, int(resident) * PAGE


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def expected_batches(data, batch_size):
    """The model's batches as (text, types) pairs."""
    return [
        (model.batch_text(b).decode(), [kind for _, kind in b])
        for b in model.batches(data, batch_size)
    ]


def read_all(tok):
    out = []
    while batch := tok.get_batch():
        out.append((batch["text"], [int(t) for t in batch["types"]]))
    return out


KINDS = {1, 2, 4, 8, 16, 32, 64}
TEXT = "Москва-река, well-known 2023-01-01: x-y… «ёж» 1-й.\n" * 20


@pytest.fixture
def text_file(tmp_path):
    path = tmp_path / "stability.txt"
    path.write_bytes(TEXT.encode())
    return str(path)


def test_a_million_single_token_batches_keep_memory_flat():
    calls = scaled(1_000_000)
    tok = tc.FTTokenizer("a " * (calls // 2) + "end")
    tok.set_batch_size(1)
    stream = tok.stream
    for _ in range(1000):  # warm up allocator pools and caches
        tok.get_batch()
    gc.collect()
    refs_before = sys.getrefcount(tok)
    size_before, resident_before = memory()

    seen = 1000
    kinds = 0
    while True:
        batch = tok.get_batch() if seen % 2 else next(stream, {})
        if not batch:
            break
        seen += 1
        kinds |= int(batch["types"][0])
    del batch
    gc.collect()
    size_after, resident_after = memory()

    assert seen == calls + 1  # every "a", every space, and "end"
    assert kinds == tc.ENWORD | tc.WRDSPC
    assert sys.getrefcount(tok) == refs_before
    if not SANITIZED:
        assert resident_after - resident_before < 32 * MIB
        assert size_after - size_before < 64 * MIB


@pytest.mark.parametrize("kind", ["text", "file"])
def test_ten_thousand_tokenizers_created_and_dropped(kind, text_file):
    count = scaled(10_000)

    def use(i):
        tok = tc.FTTokenizer(TEXT) if kind == "text" else tc.FFTokenizer(text_file)
        if i % 2:  # half keep the default storage, half a small one
            tok.set_batch_size(7)
        batch = tok.get_batch()
        if i % 3 == 0:
            next(tok.stream, None)  # a stream, dropped at once
        if i % 5 == 0:
            return batch["types"]  # an array that outlives its tokenizer's name
        return None

    for i in range(50):
        use(i)
    gc.collect()
    size_before, resident_before = memory()
    fds_before = open_fds()
    kept = None
    for i in range(count):
        kept = use(i)  # the previous array, and with it its tokenizer, goes
    del kept
    gc.collect()
    size_after, resident_after = memory()

    # A leaked default-size tokenizer holds tens of MB of address space and
    # a file; a leaked small one, a few pages that it has written.
    assert open_fds() == fds_before
    if not SANITIZED:
        assert size_after - size_before < 64 * MIB
        assert resident_after - resident_before < 16 * MIB


@pytest.mark.parametrize("kind", ["text", "file"])
def test_reference_counts_balance_across_batches_streams_and_arrays(kind, text_file):
    tok = tc.FTTokenizer(TEXT) if kind == "text" else tc.FFTokenizer(text_file)
    tok.set_batch_size(3)
    base = sys.getrefcount(tok)

    arrays = [tok.get_batch()["types"] for _ in range(5)]
    assert sys.getrefcount(tok) == base  # each array holds its storage, not the tokenizer
    del arrays
    assert sys.getrefcount(tok) == base

    streams = [tok.stream for _ in range(4)]
    streams += [iter(s) for s in streams]
    for s in streams:
        next(s)
    del streams, s
    gc.collect()
    assert sys.getrefcount(tok) == base

    for _ in tok.stream:  # to the end, then past it
        pass
    for _ in range(3):
        assert tok.get_batch() == {}
        with pytest.raises(StopIteration):
            next(tok.stream)
    gc.collect()
    assert sys.getrefcount(tok) == base


def test_arrays_from_before_resizes_read_only_live_memory():
    """Old "types" arrays stay readable however the storage was resized since.

    Each read goes through one memcpy of the whole view, which the sanitizer
    build checks; without it, freed and reused memory shows as values that are
    no token kind.
    """
    tok = tc.FTTokenizer(TEXT * 2000)  # 720,000 tokens
    old = []
    # Sizes above the default make the types storage grow, more than once.
    for n in [1, 3, 70_000, 2, 17, 150_000, 5, 400_000, 1]:
        tok.set_batch_size(n)
        batch = tok.get_batch()
        assert batch
        old.append(batch["types"])
        churn = [bytearray(8 * n + k) for k in range(32)]  # reuse freed blocks
        for a in old:
            raw = a.tobytes()
            assert len(raw) == 8 * len(a)
            assert set(np.frombuffer(raw, dtype=np.uint64).tolist()) <= KINDS
        del churn


def test_python_allocations_stay_flat_over_many_batches():
    tok = tc.FTTokenizer(TEXT * 200)
    tok.set_batch_size(2)
    for _ in range(200):
        tok.get_batch()
    gc.collect()
    tracemalloc.start()
    try:
        before, _ = tracemalloc.get_traced_memory()
        for _ in range(scaled(20_000)):
            batch = tok.get_batch()
            assert batch
        del batch
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert after - before < 256 * 1024


@pytest.mark.parametrize("kind", ["text", "file"])
def test_threads_each_with_their_own_tokenizer(kind, tmp_path):
    texts = [
        (TEXT[i:] + "abc" * i + " конец-" * i).encode() + bytes([0xD0, 0x80 + i])
        for i in range(6)
    ]
    sizes = [1, 2, 3, 5, 8, 65536]
    expected = [expected_batches(t, n) for t, n in zip(texts, sizes)]
    paths = []
    for i, t in enumerate(texts):
        p = tmp_path / f"thread{i}.txt"
        p.write_bytes(t)
        paths.append(str(p))

    results = [None] * len(texts)
    start = threading.Barrier(len(texts))

    def work(i):
        # Valid text only: the model's batches hold no decoding errors here.
        tok = tc.FTTokenizer(texts[i]) if kind == "text" else tc.FFTokenizer(paths[i])
        tok.set_batch_size(sizes[i])
        start.wait()
        results[i] = read_all(tok)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(texts))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == expected


RACE_SCRIPT = r"""
import sys, threading
sys.path.insert(0, sys.argv[1])
import reference_model as model

texts = ["ёж-1 well-known " * k + "конец" for k in range(1, 9)]
expected = [[t for t in model.tokens_of(s.encode())] for s in texts]
results = [None] * len(texts)
start = threading.Barrier(len(texts))

def work(i):
    start.wait()
    import tarvelinCXX as tc  # the first use of the module, in every thread at once
    tok = tc.FTTokenizer(texts[i])
    tok.set_batch_size(i + 1)
    got = []
    for batch in tok.stream:
        got += list(zip(batch["text"].split("\0")[:-1], [int(t) for t in batch["types"]]))
    results[i] = got

threads = [threading.Thread(target=work, args=(i,)) for i in range(len(texts))]
for t in threads:
    t.start()
for t in threads:
    t.join()
want = [[(t.text.decode(), t.kind) for t in e] for e in expected]
assert results == want, "threads disagree with the model"
print("ok", len(texts))
"""


def test_threads_racing_the_first_use_of_the_module():
    here = os.path.dirname(os.path.abspath(__file__))
    for _ in range(3):
        run = subprocess.run(
            [sys.executable, "-c", RACE_SCRIPT, here],
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert run.returncode == 0, run.stderr
        assert run.stdout.split() == ["ok", "8"]
