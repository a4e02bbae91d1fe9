"""Lifetime abuse: tokenizers dropped while streams and arrays live, resizes
under live arrays, exhausted streams, many objects made and destroyed.

These tests are written to be meaningful under AddressSanitizer: every access
that could reach released memory is actually made (read and write), and
objects are dropped in every order.
"""

import gc
import os
import random
import subprocess
import sys
import threading
import weakref

import numpy as np
import pytest

import tarvelinCXX as tc
from conftest import all_tokens, reference_tokens, tokens


@pytest.fixture
def new_tokenizer(request, write_file):
    """Factory for both kinds: new_tokenizer(kind, content)."""

    def make(kind, content):
        if kind == "text":
            return tc.FTTokenizer(content)
        return tc.FFTokenizer(write_file(content))

    return make


KINDS = ["text", "file"]


def collect():
    gc.collect()


# ---------------------------------------------------------------- Decision 3

@pytest.mark.parametrize("kind", KINDS)
def test_stream_keeps_tokenizer_alive(new_tokenizer, kind):
    tok = new_tokenizer(kind, "a b c")
    tok.set_batch_size(1)
    ref = weakref.ref(tok)
    s = tok.stream
    del tok
    collect()
    assert ref() is not None
    assert [tokens(b) for b in s] == [[("a", 4)], [(" ", 1)], [("b", 4)], [(" ", 1)], [("c", 4)]]
    del s
    collect()
    assert ref() is None  # and nothing more keeps it: no leak


def test_stream_of_unnamed_text_tokenizer_brief_example():
    # In a subprocess: if the stream did not keep its tokenizer alive, this
    # would read freed memory and might take the test process down.
    code = (
        "import gc, tarvelinCXX as tc\n"
        "s = tc.FTTokenizer('a b').stream\n"
        "gc.collect()\n"
        "b = next(s)\n"
        "print(repr(b['text']), b['types'].tolist())\n"
        "try:\n"
        "    next(s)\n"
        "except StopIteration:\n"
        "    print('stop')\n"
    )
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr[-2000:]
    assert r.stdout.splitlines() == [repr("a\0 \0b\0") + " [4, 1, 4]", "stop"]


@pytest.mark.parametrize("kind", KINDS)
def test_iter_stream_keeps_tokenizer_alive(new_tokenizer, kind):
    tok = new_tokenizer(kind, "x y")
    ref = weakref.ref(tok)
    it = iter(tok.stream)
    del tok
    collect()
    assert ref() is not None
    assert tokens(next(it)) == [("x", 4), (" ", 1), ("y", 4)]
    with pytest.raises(StopIteration):
        next(it)
    del it
    collect()
    assert ref() is None


@pytest.mark.parametrize("kind", KINDS)
def test_chain_of_streams_keeps_tokenizer_alive(new_tokenizer, kind):
    tok = new_tokenizer(kind, "a b c d e")
    tok.set_batch_size(1)
    ref = weakref.ref(tok)
    s1 = tok.stream
    s2 = iter(s1)
    s3 = iter(iter(s2))
    del tok, s1, s2
    collect()
    assert ref() is not None
    assert [tokens(b) for b in s3] == [[(c, 4 if c != " " else 1)] for c in "a b c d e"]
    del s3
    collect()
    assert ref() is None


@pytest.mark.parametrize("kind", KINDS)
def test_for_loop_over_stream_of_temporary(new_tokenizer, kind, write_file):
    text = "один two 3 четыре five"
    if kind == "text":
        source = lambda: tc.FTTokenizer(text).stream  # noqa: E731
    else:
        path = write_file(text)
        source = lambda: tc.FFTokenizer(path).stream  # noqa: E731
    got = []
    for b in source():
        collect()
        got += tokens(b)
    assert got == reference_tokens(text)


@pytest.mark.parametrize("kind", KINDS)
def test_streams_dropped_in_any_order(new_tokenizer, kind):
    rng = random.Random(1234)
    for _ in range(10):
        tok = new_tokenizer(kind, "a b c d e f g h")
        tok.set_batch_size(1)
        ref = weakref.ref(tok)
        objs = [tok.stream for _ in range(5)]
        objs += [iter(s) for s in objs[:3]]
        objs.append(tok)
        del tok
        got = []
        rng.shuffle(objs)
        while objs:
            o = objs.pop()
            if not isinstance(o, (tc.FTTokenizer, tc.FFTokenizer)):
                try:
                    got += tokens(next(o))
                except StopIteration:
                    pass
            del o
        collect()
        assert ref() is None
        assert got == reference_tokens("a b c d e f g h")[: len(got)]


@pytest.mark.parametrize("kind", KINDS)
def test_refcount_of_tokenizer_returns_to_baseline(new_tokenizer, kind):
    tok = new_tokenizer(kind, "a")
    base = sys.getrefcount(tok)
    streams = [tok.stream for _ in range(50)]
    streams += [iter(s) for s in streams]
    assert sys.getrefcount(tok) > base
    del streams
    collect()
    assert sys.getrefcount(tok) == base
    b = tok.get_batch()
    assert sys.getrefcount(tok) == base  # the array holds its storage, not the tokenizer
    del b
    collect()
    assert sys.getrefcount(tok) == base


# ---------------------------------------------------------------- arrays

@pytest.mark.parametrize("kind", KINDS)
def test_array_outlives_tokenizer(new_tokenizer, kind):
    tok = new_tokenizer(kind, "ab cd")
    ref = weakref.ref(tok)
    arr = tok.get_batch()["types"]
    del tok
    collect()
    assert ref() is None  # the tokenizer is gone, its array's storage is not
    assert arr.base is None
    assert arr.tolist() == [4, 1, 4]
    arr[:] = [1, 2, 3]
    assert arr.tolist() == [1, 2, 3]
    del arr
    collect()


def test_array_of_unnamed_tokenizer():
    arr = tc.FTTokenizer("x y z").get_batch()["types"]
    collect()
    assert arr.tolist() == [4, 1, 4, 1, 4]
    arr += 1
    assert arr.tolist() == [5, 2, 5, 2, 5]


@pytest.mark.parametrize("kind", KINDS)
def test_array_keeps_its_values_while_the_tokenizer_reads_on(new_tokenizer, kind):
    tok = new_tokenizer(kind, "a b 1")
    tok.set_batch_size(2)
    arr = tok.get_batch()["types"]
    b = tok.get_batch()
    assert tokens(b) == [("b", 4), (" ", 1)]
    b["types"][:] = 7
    assert arr.tolist() == [4, 1]
    assert tokens(tok.get_batch()) == [("1", 8)]
    del tok, b
    collect()
    assert arr.tolist() == [4, 1]


@pytest.mark.parametrize("kind", KINDS)
def test_views_and_copies_of_array_outlive_tokenizer(new_tokenizer, kind):
    tok = new_tokenizer(kind, "a " * 1000)
    arr = tok.get_batch()["types"]
    view = arr[::2]
    sliced = arr[10:20]
    copied = arr.copy()
    del tok, arr
    collect()
    assert view.tolist() == [4] * 1000
    assert sliced.tolist() == [4, 1] * 5
    view[:] = 9
    sliced[:] = 7
    assert copied.sum() == 5000
    assert np.frombuffer(memoryview(view.base), dtype=np.uint64).size >= 2000


@pytest.mark.parametrize("kind", KINDS)
def test_resize_under_live_arrays_many_times(new_tokenizer, kind):
    # 50000 tokens; batch sizes that grow and shrink across the default
    # storage, keeping every array handed out and touching all of them.
    text = "a1 " * 12500 + "ж" * 50 + "-" * 10
    expected = reference_tokens(text)
    tok = new_tokenizer(kind, text)
    sizes = [3, 70000, 1, 200000, 10, 0, 65536, 65537, 131072, 2, 300000]
    arrays, got = [], []
    for size in sizes:
        tok.set_batch_size(size)
        b = tok.get_batch()
        got += tokens(b)
        if b:
            arrays.append(b["types"])
        for a in arrays:
            assert a.size > 0
            _ = int(a.sum())  # read every element
            a[0] = a[-1]  # write the ends
        if size > 1000:
            with pytest.raises(MemoryError):
                tok.set_batch_size(2**64 - 1)
    got += all_tokens(tok)
    assert got == expected
    del tok
    collect()
    for a in arrays:
        a[:] = 1
        assert int(a.sum()) == a.size


@pytest.mark.parametrize("kind", KINDS)
def test_shrink_then_old_large_array_still_valid(new_tokenizer, kind):
    tok = new_tokenizer(kind, "b " * 100000)
    tok.set_batch_size(150000)
    big = tok.get_batch()["types"]
    assert big.size == 150000
    tok.set_batch_size(1)
    tok.set_batch_size(5)
    small = tok.get_batch()["types"]
    assert small.size == 5
    big[:] = 3
    assert int(big.sum()) == 450000
    small[:] = 2
    del tok
    collect()
    assert int(big[5:].sum()) == 3 * (150000 - 5)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("keep", ["all", "words"])
@pytest.mark.parametrize("tail", [1, 7, 40, 300])
def test_old_array_longer_than_last_batch_holds_token_kinds(new_tokenizer, kind, keep, tail):
    # The last, shorter batch goes to other storage while the old array lives:
    # the old array keeps its token kinds exactly.
    kinds = {int(k) for k in tc.TokenType.__members__.values()} - {0}
    tok = new_tokenizer(kind, "ab, cd-ef 12 " * 1000 + "xy " * tail + "\u0451")
    tok.set_batch_size(6000)
    old = tok.get_batch()["types"]
    values = old.tolist()
    if keep == "words":
        tok.set_filter(int(tc.TokenType.ENWORD) | int(tc.TokenType.RUWORD))
    assert 0 < len(tok.get_batch()["types"]) < len(old)
    assert set(old.tolist()) <= kinds
    assert old.tolist() == values


# ---------------------------------------------------------------- exhausted and failing

@pytest.mark.parametrize("kind", KINDS)
def test_exhausted_stream_after_tokenizer_dropped(new_tokenizer, kind):
    tok = new_tokenizer(kind, "z")
    s = tok.stream
    assert tokens(next(s)) == [("z", 4)]
    del tok
    collect()
    for _ in range(10):
        with pytest.raises(StopIteration):
            next(s)
        with pytest.raises(StopIteration):
            next(iter(s))
    assert list(s) == []


@pytest.mark.parametrize("kind", KINDS)
def test_decode_errors_release_everything(new_tokenizer, kind):
    tok = new_tokenizer(kind, b"a \xc0\x80 " * 100)
    tok.set_batch_size(3)
    ref = weakref.ref(tok)
    s = tok.stream
    del tok
    errors = 0
    while True:
        try:
            next(s)
        except UnicodeDecodeError:
            errors += 1
        except StopIteration:
            break
    assert errors > 0
    del s
    collect()
    assert ref() is None


# ---------------------------------------------------------------- many objects

def test_many_text_tokenizers_created_and_destroyed():
    for i in range(300):
        tok = tc.FTTokenizer(f"word{i} слово {i}")
        if i % 3 == 0:
            tok.set_batch_size(i % 7)
        if i % 5:
            assert all_tokens(tok) is not None
        del tok
    collect()


def test_many_tokenizers_with_live_arrays_and_streams():
    keep = []
    for i in range(200):
        tok = tc.FTTokenizer("a b c " * (i % 5 + 1))
        tok.set_batch_size(i % 4 + 1)
        b = tok.get_batch()
        keep.append(b["types"])
        keep.append(tok.stream)
    collect()
    total = 0
    for o in keep:
        if isinstance(o, np.ndarray):
            total += int(o.sum())
            o[:] = 0
        else:
            for b in o:
                total += len(b["types"])
    assert total > 0
    random.Random(7).shuffle(keep)
    while keep:
        keep.pop()
    collect()


def _open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_file_tokenizers_close_their_files(write_file):
    path = write_file("file content here")
    before = _open_fds()
    for i in range(300):
        tok = tc.FFTokenizer(path)
        if i % 2:
            tok.set_batch_size(1)
            tok.get_batch()
        if i % 3 == 0:
            s = tok.stream
            del tok
            next(s)
            del s
        else:
            del tok
    collect()
    assert _open_fds() <= before


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_file_closes_while_array_lives(write_file):
    path = write_file("a b")
    before = _open_fds()
    tok = tc.FFTokenizer(path)
    arr = tok.get_batch()["types"]
    assert _open_fds() == before + 1
    del tok
    collect()
    assert _open_fds() == before  # the array holds its storage, not the tokenizer
    assert arr.tolist() == [4, 1, 4]
    del arr
    collect()
    assert _open_fds() == before


def test_unused_tokenizers():
    for _ in range(100):
        tc.FTTokenizer("never read")
        tc.FFTokenizer("/nonexistent/never/opened")
    collect()


# ---------------------------------------------------------------- threads

def test_threads_share_one_tokenizer():
    # Each batch goes to whoever asks first; every token is handed out once.
    text = " ".join(f"w{i}" for i in range(3000))
    tok = tc.FTTokenizer(text)
    tok.set_batch_size(1)
    results = [[] for _ in range(6)]

    def worker(out):
        s = tok.stream
        for b in s:
            out.append(b["text"])

    threads = [threading.Thread(target=worker, args=(r,)) for r in results]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    got = sorted(x for r in results for x in r)
    expected = sorted(s + "\0" for s, _ in reference_tokens(text))
    assert got == expected


def test_threads_with_own_tokenizers():
    text = "Привет, world! 2023-01-01 " * 200
    expected = reference_tokens(text)
    failures = []

    def worker(seed):
        rng = random.Random(seed)
        for _ in range(5):
            tok = tc.FTTokenizer(text)
            tok.set_batch_size(rng.randint(1, 50))
            got = []
            for b in tok.stream:
                got += tokens(b)
            if got != expected:
                failures.append(seed)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
