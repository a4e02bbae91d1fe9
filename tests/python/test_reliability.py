"""The Python surface under hostile and careless use: objects whose __init__
never ran, threads sharing a tokenizer, blocking input, signals, read errors,
malformed text and reference cycles. Where a fault would be a crash or a hang,
the case runs in a child process with a timeout."""

import gc
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import tarvelinCXX as tc
from conftest import all_tokens, reference_tokens, tokens

HERE = os.path.dirname(__file__)


def run_child(code, timeout=60):
    """Runs `code` in a fresh interpreter; returns its stdout, asserting it
    ended normally (not by a signal, not by a hang)."""
    r = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd=HERE,
    )
    assert r.returncode == 0, r.stderr
    return r.stdout


def test_objects_without_init_refuse_every_member():
    out = run_child(
        """
        import tarvelinCXX as tc
        tc.FTTokenizer("a b c")  # freed at once: its memory may be handed out again
        refused = 0
        for cls in (tc.FTTokenizer, tc.FFTokenizer, tc.fts_stream, tc.ffs_stream):
            for name in [k for k in vars(cls) if not k.startswith("__")] + ["__next__", "__iter__"]:
                if not hasattr(cls, name):
                    continue
                obj = cls.__new__(cls)
                try:
                    attr = getattr(obj, name)
                    if callable(attr):
                        attr(1) if name.startswith("set_") else attr()
                    raise SystemExit(f"{cls.__name__}.{name} accepted an uninitialised object")
                except TypeError:
                    refused += 1
        live = tc.FTTokenizer("a")
        for again in ("b", b"b"):
            try:
                live.__init__(again)
                raise SystemExit("a second __init__ was accepted")
            except TypeError:
                pass
        print(refused > 20, live.get_batch()["text"] == "a\\0")
        """
    )
    assert out.split() == ["True", "True"]


def test_threads_share_one_tokenizer_and_its_streams():
    text = " ".join(f"w{i}" for i in range(3000))
    tok = tc.FTTokenizer(text)
    tok.set_batch_size(7)
    got = []

    def worker(k):
        source = tok.stream if k % 2 else None
        while True:
            if source is None:
                b = tok.get_batch()
                if not b:
                    return
            else:
                b = next(source, None)
                if b is None:
                    return
            got.append(tokens(b))  # text and types checked against each other
            tok.set_token_max_len(512)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads)
    flat = sorted((s, t) for batch in got for s, t in batch)
    assert flat == sorted(reference_tokens(text))


def test_reentrant_call_from_an_audit_hook_raises():
    # The first non-empty batch imports NumPy while its dictionary is built,
    # inside the running call: the hook's calls on the same tokenizer refuse.
    out = run_child(
        """
        import sys, tarvelinCXX as tc
        tok = tc.FTTokenizer("ab cd")
        seen = []
        def hook(event, args):
            if event == "import" and not seen:
                for call in (tok.get_batch, lambda: tok.set_filter(0)):
                    try:
                        call()
                        seen.append("ran")
                    except RuntimeError:
                        seen.append("refused")
        sys.addaudithook(hook)
        b = tok.get_batch()
        print(*seen, b["types"].tolist(), tok.get_batch() == {})
        """
    )
    assert out.split() == ["refused", "refused", "[4,", "1,", "4]", "True"]


def test_pipe_written_by_a_python_thread_is_read():
    out = run_child(
        """
        import os, threading, tarvelinCXX as tc
        r, w = os.pipe()
        tok = tc.FFTokenizer(f"/proc/self/fd/{r}")
        def writer():
            for i in range(200):
                os.write(w, b"word%d " % i)
            os.close(w)
        t = threading.Thread(target=writer)
        t.start()
        n = sum(len(b["types"]) for b in tok.stream)
        t.join()
        print(n)
        """,
        timeout=30,
    )
    assert out.split() == ["600"]  # word, number, space


def test_alarm_stops_endless_input():
    out = run_child(
        """
        import signal, tarvelinCXX as tc
        class Alarm(Exception):
            pass
        def handler(*_):
            raise Alarm
        signal.signal(signal.SIGALRM, handler)
        tok = tc.FFTokenizer("/dev/zero")
        tok.set_filter(~int(tc.UNKNWN) & (2**64 - 1))  # NUL is UNKNWN: nothing is ever kept
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        try:
            tok.get_batch()
        except Alarm:
            print("interrupted")
        """,
        timeout=30,
    )
    assert out.split() == ["interrupted"]


def test_interrupted_read_raises_and_the_batch_continues():
    # The main thread waits on a pipe; SIGINT sent to it interrupts the wait,
    # KeyboardInterrupt comes out, and the next call finishes the same batch.
    out = run_child(
        """
        import os, signal, threading, time, tarvelinCXX as tc
        r, w = os.pipe()
        tok = tc.FFTokenizer(f"/proc/self/fd/{r}")
        tok.set_batch_size(10_000)
        main = threading.main_thread().ident
        def writer():
            os.write(w, b"ab " * 1000)
            time.sleep(0.5)
            signal.pthread_kill(main, signal.SIGINT)
            time.sleep(0.3)
            os.write(w, b"cd " * 1000)
            os.close(w)
        t = threading.Thread(target=writer)
        t.start()
        try:
            tok.get_batch()
            print("not interrupted")
        except KeyboardInterrupt:
            b = tok.get_batch()
            print(b["text"] == "ab\\0 \\0" * 1000 + "cd\\0 \\0" * 1000, tok.get_batch() == {})
        t.join()
        """
    )
    assert out.split() == ["True", "True"]


@pytest.mark.parametrize("path", ["/tmp", "/"])
def test_directory_opens_nothing(path):
    tok = tc.FFTokenizer(path)
    assert tok.is_fopen() is False
    assert tok.get_batch() == {}


def test_read_error_raises_oserror_then_ends():
    tok = tc.FFTokenizer("/proc/self/mem")  # reading offset 0 fails with EIO
    assert tok.is_fopen()
    with pytest.raises(OSError) as info:
        tok.get_batch()
    assert info.value.errno != 0
    assert info.value.filename == "/proc/self/mem"
    assert tok.get_batch() == {}


MALFORMED = [b"\xc0\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80"]


@pytest.mark.parametrize("bad", MALFORMED)
def test_strict_error_carries_the_batch(write_file, bad):
    data = bad + b"word " * 11_800 + b"end"
    tok = tc.FFTokenizer(write_file(data))
    with pytest.raises(UnicodeDecodeError) as info:
        tok.get_batch()
    kept = info.value.batch
    assert list(kept) == ["text", "types"]
    raw = kept["text"].encode("utf-8", "surrogateescape")
    assert raw.replace(b"\0", b"") == data
    assert len(kept["types"]) >= 23_600
    assert kept["types"].dtype == np.uint64
    assert tok.get_batch() == {}


@pytest.mark.parametrize(
    "data",
    [
        b"a\xffb",
        b"\xc0\x80 xx \xed\xa0\x80yy",
        b"\xf0\x9f\x98 \xe2\x82 \xf4\x90\x80\x80z",
        "Жук-ab 12".encode() + b"\x80\x80" + b"\xd0",
    ],
)
@pytest.mark.parametrize("kind", ["text", "file"])
def test_replace_mode_reads_like_the_replaced_text(write_file, data, kind):
    tok = tc.FTTokenizer(data) if kind == "text" else tc.FFTokenizer(write_file(data))
    tok.set_errors("replace")
    assert all_tokens(tok) == reference_tokens(data.decode("utf-8", "replace"))


def test_set_errors_refuses_unknown_modes():
    tok = tc.FTTokenizer(b"a\xc0\x80")
    for bad, error in (("ignore", ValueError), ("", ValueError), (b"strict", TypeError), (1, TypeError)):
        with pytest.raises(error):
            tok.set_errors(bad)
    tok.set_errors("replace")
    tok.set_errors("strict")
    with pytest.raises(UnicodeDecodeError):
        tok.get_batch()


def test_cycles_through_streams_and_arrays_are_collected(tmp_path):
    path = tmp_path / "t.txt"
    path.write_text("a b c")

    class Own(tc.FFTokenizer):
        pass

    def open_fds():
        return len(os.listdir("/proc/self/fd"))

    gc.collect()
    before = open_fds()
    for i in range(300):
        s = Own(str(path))
        if i % 2:
            s.me = s.stream
        else:
            s.me = s.get_batch()["types"]
            s.view = s.me[1:]
    del s
    gc.collect()
    assert open_fds() == before
