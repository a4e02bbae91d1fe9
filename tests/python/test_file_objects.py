"""FFTokenizer over binary file objects instead of paths."""

import bz2
import gzip
import io
import lzma
import os
import signal
import socket
import threading
import time

import pytest

import tarvelinCXX as tc
from conftest import all_tokens, tokens

CHUNK = 1 << 20  # what the tokenizer asks of the object in one read

# Compounds, Russian, digits and a four-byte character, so that chunk edges
# cut every kind of token and character.
PIECE = "Жук-123 well-known 😀 x.y 42,5 абв\n".encode()


def text_over_chunks():
    # A four-byte character across the first chunk's edge.
    data = PIECE * (CHUNK // len(PIECE) + 50)
    emoji = "😀".encode()
    return data[: CHUNK - 2] + emoji + data[CHUNK + 2 :]


DATA = text_over_chunks()


def batches(tok, size=None):
    if size is not None:
        tok.set_batch_size(size)
    out = []
    while b := tok.get_batch():
        out.append({k: (v if k == "text" else v.tolist()) for k, v in b.items()})
    return out


def zstd_reader(data):
    zstandard = pytest.importorskip("zstandard")
    return zstandard.ZstdDecompressor().stream_reader(io.BytesIO(zstandard.compress(data)))


class ReadOnly:
    """A file object with read() alone, giving at most `step` bytes a call."""

    def __init__(self, data, step=None):
        self.f = io.BytesIO(data)
        self.step = step

    def read(self, n):
        return self.f.read(n if self.step is None else min(n, self.step))


class Trickle(io.RawIOBase):
    """readinto gives at most `step` bytes a call."""

    def __init__(self, data, step):
        self.f = io.BytesIO(data)
        self.step = step

    def readable(self):
        return True

    def readinto(self, b):
        return self.f.readinto(memoryview(b)[: self.step])


class ReadAlone(io.BufferedIOBase):
    """Defines read alone: the readinto1 and read1 it inherits refuse."""

    def __init__(self, data):
        self.f = io.BytesIO(data)

    def readable(self):
        return True

    def read(self, n=-1):
        return self.f.read(n)


OPENERS = {
    "BytesIO": io.BytesIO,
    "gzip": lambda d: gzip.GzipFile(fileobj=io.BytesIO(gzip.compress(d))),
    "bz2": lambda d: bz2.BZ2File(io.BytesIO(bz2.compress(d))),
    "lzma": lambda d: lzma.LZMAFile(io.BytesIO(lzma.compress(d, preset=0))),
    "zstandard": zstd_reader,
    "read only": ReadOnly,
    "read only, pieces": lambda d: ReadOnly(d, 777),
    "BufferedIOBase with read alone": ReadAlone,
    "readinto 1 byte": lambda d: Trickle(d[:5000], 1),
    "readinto 3 bytes": lambda d: Trickle(d[:50000], 3),
    "readinto 4093 bytes": lambda d: Trickle(d, 4093),
}
SIZES = {"readinto 1 byte": 5000, "readinto 3 bytes": 50000}


@pytest.mark.parametrize("kind", OPENERS)
def test_file_object_gives_the_batches_of_its_bytes(kind):
    data = DATA[: SIZES.get(kind, len(DATA))]
    f = OPENERS[kind](DATA)
    assert batches(tc.FFTokenizer(f)) == batches(tc.FTTokenizer(data))
    assert not getattr(f, "closed", False)


@pytest.mark.parametrize("setting", ["offsets", "replace", "strict", "small batches", "count"])
def test_settings_work_as_for_paths(setting, tmp_path):
    data = (b"ab \xff\xfe cd-ef \xd0" + PIECE) * 40000
    path = tmp_path / "in.txt"
    path.write_bytes(data)

    def run(tok):
        if setting == "count":
            first = tok.count_tokens(max_bytes=100_000)
            return first, tok.count_tokens()
        if setting == "offsets":
            tok.set_offsets(True)
        if setting == "replace":
            tok.set_errors("replace")
        out = []
        while True:
            try:
                b = tok.get_batch()
            except UnicodeDecodeError as e:
                b = e.batch
            if not b:
                return out
            offsets = b["offsets"].tolist() if "offsets" in b else None
            out.append((b["text"], b["types"].tolist(), offsets))
            if setting == "small batches":
                tok.set_batch_size(1 + len(out) % 5)

    with open(path, "rb") as f:
        assert run(tc.FFTokenizer(f)) == run(tc.FFTokenizer(str(path)))


class Failing(io.RawIOBase):
    """Gives `data`, then raises `exc` (once, or every time)."""

    def __init__(self, data, exc, every_time=False):
        self.f = io.BytesIO(data)
        self.exc = exc
        self.every_time = every_time
        self.raised = 0

    def readable(self):
        return True

    def readinto(self, b):
        n = self.f.readinto(b)
        if n:
            return n
        if self.raised and not self.every_time:
            return 0
        self.raised += 1
        raise self.exc


@pytest.mark.parametrize("call", ["get_batch", "count_tokens"])
def test_failed_read_raises_its_exception_then_the_tokens_before_it(call):
    data = PIECE * 100 + "незаконч".encode()
    f = Failing(data, OSError(5, "the disk is gone"), every_time=True)
    tok = tc.FFTokenizer(f)
    with pytest.raises(OSError, match="the disk is gone") as info:
        getattr(tok, call)()
    assert info.value.errno == 5 and f.raised == 1
    if call == "get_batch":
        assert all_tokens(tok) == all_tokens(tc.FTTokenizer(data))
    else:
        assert tok.count_tokens() == tc.FTTokenizer(data).count_tokens()
    assert tok.get_batch() == {} and f.raised == 1  # the input ended: never read again


@pytest.mark.parametrize(
    "exc", [KeyboardInterrupt(), BlockingIOError(11, "not now")], ids=["KeyboardInterrupt", "BlockingIOError"]
)
def test_interrupted_read_leaves_the_input_open(exc):
    data = PIECE * 100
    f = Failing(data, exc)
    f.f = io.BytesIO(data[:1000])
    tok = tc.FFTokenizer(f)
    with pytest.raises(type(exc)):
        tok.get_batch()
    f.f = io.BytesIO(data[1000:])  # the object goes on after the interruption
    assert all_tokens(tok) == all_tokens(tc.FTTokenizer(data))


def test_readinto_returning_none_raises_blocking_io_error_and_reads_again():
    class NotReady(Trickle):
        ready = False

        def readinto(self, b):
            return super().readinto(b) if self.ready else None

    f = NotReady(PIECE, 100)
    tok = tc.FFTokenizer(f)
    with pytest.raises(BlockingIOError, match="no bytes ready"):
        tok.get_batch()
    f.ready = True
    assert all_tokens(tok) == all_tokens(tc.FTTokenizer(PIECE))


class Returning(io.RawIOBase):
    def __init__(self, value):
        self.value = value

    def readable(self):
        return True

    def readinto(self, b):
        return self.value


class TextRead:
    def read(self, n):
        return "text"


@pytest.mark.parametrize(
    "obj, exc, match",
    [
        (Returning(-1), ValueError, "outside"),
        (Returning(CHUNK + 1), ValueError, "outside"),
        (Returning("7"), TypeError, "not an int"),
        (TextRead(), TypeError, "binary mode"),
    ],
    ids=["negative", "too many", "not an int", "read gives str"],
)
def test_bad_read_results_raise_and_end_the_input(obj, exc, match):
    tok = tc.FFTokenizer(obj)
    with pytest.raises(exc, match=match):
        tok.get_batch()
    assert tok.get_batch() == {}


def test_text_mode_objects_are_refused(tmp_path):
    path = tmp_path / "t.txt"
    path.write_text("x")
    with open(path) as f, pytest.raises(TypeError, match=r"binary mode \('rb'\)"):
        tc.FFTokenizer(f)
    with pytest.raises(TypeError, match="binary mode"):
        tc.FFTokenizer(io.StringIO("x"))


def test_the_object_is_never_closed_and_close_stops_reading():
    f = io.BytesIO(PIECE * 10)
    with tc.FFTokenizer(f) as tok:
        assert tok.is_fopen()
        assert repr(f) in repr(tok) and ", open, at byte 0" in repr(tok)
        tok.set_batch_size(2)
        assert tokens(tok.get_batch()) == [("Жук-123", 16), (" ", 1)]
    assert not f.closed and not tok.is_fopen()
    assert ", closed," in repr(tok)
    assert tok.get_batch() == {}
    with pytest.raises(ValueError, match="closed"):
        tok.count_tokens()
    del tok
    assert not f.closed


def test_a_reader_that_keeps_the_buffer_cannot_change_what_is_scanned():
    kept = []

    class Keeper(Trickle):
        def readinto(self, b):
            n = super().readinto(b)
            kept.append(b[:])  # a slice of the view outlives the call
            kept.append(b.obj)
            return n

    f = Keeper(DATA, CHUNK)
    tok = tc.FFTokenizer(f)
    got = []
    while b := tok.get_batch():
        for v in kept:
            v[:] = b"\xff" * len(v)  # scribble over every buffer it was lent
        got.append((b["text"], b["types"].tolist()))
    assert got == [(b["text"], b["types"].tolist()) for b in tc.FTTokenizer(DATA)]


def slow_writer(fd, data, pieces=7, pause=0.01):
    def run():
        step = len(data) // pieces + 1
        for i in range(0, len(data), step):
            os.write(fd, data[i : i + step])
            time.sleep(pause)
        os.close(fd)

    thread = threading.Thread(target=run)
    thread.start()
    return thread


@pytest.mark.parametrize("kind", ["pipe", "socket"])
def test_slowly_fed_stream(kind):
    data = PIECE * 3000
    if kind == "pipe":
        r, w = os.pipe()
        f = os.fdopen(r, "rb")
        writer = slow_writer(w, data)
    else:
        a, b = socket.socketpair()
        f = a.makefile("rb")
        writer = slow_writer(os.dup(b.fileno()), data)
        b.close()
    try:
        got = batches(tc.FFTokenizer(f), 1000)
        assert got == batches(tc.FTTokenizer(data), 1000)
    finally:
        writer.join()
        f.close()
        if kind == "socket":
            a.close()


def test_a_batch_from_a_pipe_does_not_wait_for_more_input():
    r, w = os.pipe()
    os.write(w, b"a b c ")
    closed = []

    def close_late():  # ends a test that would hang
        closed.append(True)
        os.close(w)

    closer = threading.Timer(10, close_late)
    closer.start()
    try:
        with os.fdopen(r, "rb") as f:
            tok = tc.FFTokenizer(f)
            tok.set_batch_size(2)
            start = time.monotonic()
            assert tokens(tok.get_batch()) == [("a", 4), (" ", 1)]
            assert time.monotonic() - start < 5
    finally:
        closer.cancel()
        closer.join()
        if not closed:
            os.close(w)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
def test_signal_interrupts_an_endless_object():
    class Endless(io.RawIOBase):
        def readable(self):
            return True

        def readinto(self, b):
            b[:] = b"a " * (len(b) // 2)
            return len(b)

    def handler(signum, frame):
        raise TimeoutError("stopped")

    old = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        tok = tc.FFTokenizer(Endless())
        with pytest.raises(TimeoutError):
            tok.count_tokens()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def test_a_file_object_referring_to_its_tokenizer_is_collected():
    import gc
    import weakref

    class Holder(io.BytesIO):
        pass

    f = Holder(PIECE)
    f.tok = tc.FFTokenizer(f)
    gone = weakref.ref(f)
    del f
    gc.collect()
    assert gone() is None
