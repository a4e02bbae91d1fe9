"""FFTokenizer specifics: opening, paths, files, lazy reading.

The behaviour it shares with FTTokenizer is tested on both in test_batches.py.
"""

import os
import pathlib
import selectors
import subprocess
import sys
import textwrap
import time

import pytest

import tarvelinCXX as tc
from conftest import all_tokens, drain, reference_tokens, tokens


def test_spec_file_example(write_file):
    tok = tc.FFTokenizer(write_file("ab cd"))
    assert tok.is_fopen()
    b = tok.get_batch()
    assert b["text"] == "ab\0 \0cd\0"
    assert b["types"].tolist() == [4, 1, 4]
    assert b["types"].base is None
    assert tok.get_batch() == {}
    assert tok.is_fopen()


def test_spec_file_example_only_spaces(write_file):
    tok = tc.FFTokenizer(write_file("ab cd"))
    tok.set_filter(tc.WRDSPC)
    b = tok.get_batch()
    assert b["text"] == " \0"
    assert b["types"].tolist() == [1]
    assert tok.get_batch() == {}


def test_constructor_by_keyword_and_position(write_file):
    path = write_file("x y")
    assert tokens(tc.FFTokenizer(fpath=path).get_batch()) == [("x", 4), (" ", 1), ("y", 4)]
    assert tokens(tc.FFTokenizer(path).get_batch()) == [("x", 4), (" ", 1), ("y", 4)]


def test_bytes_and_bytearray_paths(write_file):
    path = write_file("x y")
    for p in (os.fsencode(path), bytearray(os.fsencode(path))):
        tok = tc.FFTokenizer(p)
        assert tok.is_fopen()
        assert all_tokens(tok) == [("x", 4), (" ", 1), ("y", 4)]


def test_non_utf8_bytes_path_is_passed_unchanged(tmp_path):
    raw = os.fsencode(str(tmp_path)) + b"/caf\xe9.txt"  # Latin-1, not UTF-8
    fd = os.open(raw, os.O_WRONLY | os.O_CREAT, 0o644)
    os.write(fd, "Жук".encode())
    os.close(fd)
    tok = tc.FFTokenizer(raw)
    assert tok.is_fopen()
    assert all_tokens(tok) == [("Жук", 16)]


def test_non_ascii_str_path_is_utf8(tmp_path):
    path = tmp_path / "файл ё.txt"
    path.write_bytes("да нет".encode())
    tok = tc.FFTokenizer(str(path))
    assert tok.is_fopen()
    assert all_tokens(tok) == [("да", 16), (" ", 1), ("нет", 16)]


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((None,), {}),
        ((1,), {}),
        ((object(),), {}),
        (("a", "b"), {}),
        ((), {"text": "x.txt"}),
        (("\ud800.txt",), {}),  # a surrogate that the file system encoding cannot take
    ],
    ids=repr,
)
def test_constructor_refuses(args, kwargs):
    with pytest.raises(TypeError):
        tc.FFTokenizer(*args, **kwargs)


def test_missing_path(tmp_path):
    tok = tc.FFTokenizer(str(tmp_path / "does-not-exist.txt"))
    assert tok.is_fopen() is False
    for _ in range(3):
        assert tok.get_batch() == {}
    assert list(tok.stream) == []
    s = tok.stream
    with pytest.raises(StopIteration):
        next(s)
    tok.set_batch_size(1)
    tok.set_filter(0)
    tok.set_token_min_len(1)
    tok.set_token_max_len(2)
    assert tok.get_batch() == {}
    assert tok.is_fopen() is False


def test_empty_path():
    tok = tc.FFTokenizer("")
    assert tok.is_fopen() is False
    assert tok.get_batch() == {}


def test_file_created_after_construction_is_not_seen(tmp_path):
    path = tmp_path / "later.txt"
    tok = tc.FFTokenizer(str(path))
    path.write_text("now here")
    assert tok.is_fopen() is False
    assert tok.get_batch() == {}


def test_file_is_opened_at_construction(tmp_path):
    path = tmp_path / "gone.txt"
    path.write_text("still readable")
    tok = tc.FFTokenizer(str(path))
    path.unlink()
    assert tok.is_fopen()
    assert all_tokens(tok) == [("still", 4), (" ", 1), ("readable", 4)]


@pytest.mark.skipif(hasattr(os, "geteuid") and os.geteuid() == 0, reason="root may read anything")
def test_unreadable_file(write_file):
    path = write_file("secret")
    os.chmod(path, 0)
    try:
        tok = tc.FFTokenizer(path)
        assert tok.is_fopen() is False
        assert tok.get_batch() == {}
    finally:
        os.chmod(path, 0o644)


def test_directory_path_gives_empty_batches(tmp_path):
    tok = tc.FFTokenizer(str(tmp_path))
    # fopen may or may not succeed on a directory; reading it gives nothing.
    assert tok.get_batch() == {}
    assert tok.get_batch() == {}
    assert list(tok.stream) == []


# Decision 5: a path holding NUL opens nothing.

@pytest.mark.parametrize("suffix", ["\0", "\0junk", "\0/../x"])
def test_path_with_nul_opens_nothing(tmp_path, suffix):
    real = tmp_path / "real.txt"
    real.write_text("must not be read")
    tok = tc.FFTokenizer(str(real) + suffix)
    assert tok.is_fopen() is False
    assert tok.get_batch() == {}
    assert list(tok.stream) == []


def test_bytes_path_with_nul_opens_nothing(tmp_path):
    real = tmp_path / "real.txt"
    real.write_text("must not be read")
    for p in (os.fsencode(str(real)) + b"\0x", bytearray(os.fsencode(str(real)) + b"\0")):
        tok = tc.FFTokenizer(p)
        assert tok.is_fopen() is False
        assert tok.get_batch() == {}


def test_nul_only_path():
    tok = tc.FFTokenizer("\0")
    assert tok.is_fopen() is False
    assert tok.get_batch() == {}


def test_empty_file(write_file):
    tok = tc.FFTokenizer(write_file(b""))
    assert tok.is_fopen()
    for _ in range(3):
        assert tok.get_batch() == {}
    assert list(tok.stream) == []
    assert tok.is_fopen()


def test_all_tokens_fail_filter_reads_whole_file(write_file):
    tok = tc.FFTokenizer(write_file("ab cd ef\n" * 5000))
    tok.set_batch_size(1)
    tok.set_filter(tc.NUMBER)
    assert tok.get_batch() == {}
    tok.set_filter(2**64 - 1)
    assert tok.get_batch() == {}
    assert tok.is_fopen()


def test_is_fopen_stays_true_after_end(write_file):
    tok = tc.FFTokenizer(write_file("a"))
    assert tok.is_fopen() is True
    drain(tok)
    assert tok.is_fopen() is True
    assert tok.get_batch() == {}
    assert tok.is_fopen() is True


def test_line_ends_are_read_untranslated(write_file):
    tok = tc.FFTokenizer(write_file(b"a\r\nb\n"))
    assert all_tokens(tok) == [("a", 4), ("\r", 64), ("\n", 2), ("b", 4), ("\n", 2)]


def test_get_batch_and_stream_alternate(write_file):
    text = "раз два three four 5 6 семь"
    tok = tc.FFTokenizer(write_file(text))
    tok.set_batch_size(2)
    s = tok.stream
    got = []
    while True:
        b = tok.get_batch()
        if not b:
            break
        got += tokens(b)
        try:
            got += tokens(next(s))
        except StopIteration:
            break
    assert got == reference_tokens(text)


def _big_text():
    words = ["Привет", "world", "covid-19", "Москва-река", "2023-01-01", "…", "—", "ёж", "x", "😀"]
    parts = []
    total = i = 0
    while total < 150_000:
        parts.append(words[i % len(words)])
        parts.append("\n" if i % 17 == 0 else " ")
        total += len(parts[-2]) + 1
        i += 1
    return "".join(parts)


@pytest.mark.parametrize("size", [1, 2, 3, 50, 4096, 65536])
def test_large_file_batches_equal_one_batch(write_file, size):
    text = _big_text()
    data = text.encode()
    assert len(data) > 3 * 65536
    path = write_file(data)
    expected = reference_tokens(text)
    tok = tc.FFTokenizer(path)
    tok.set_batch_size(size)
    batches = drain(tok)
    assert all(len(b) <= size for b in batches)
    assert [t for b in batches for t in b] == expected


@pytest.mark.parametrize("offset", [65535, 65534, 65533, 65536, 131071])
def test_multibyte_character_across_read_blocks(write_file, offset):
    # Places a four-byte and a two-byte character where a read block of 64 KiB
    # may end, and a word across it.
    head = "a" * (offset - 2) + " "
    text = head + "😀Жук" + "b" * 10 + " end"
    expected = reference_tokens(text)
    for size in (1, 65536):
        tok = tc.FFTokenizer(write_file(text))
        tok.set_batch_size(size)
        assert all_tokens(tok) == expected


@pytest.mark.parametrize("offset", [262142, 262143, 262144, 524287, 786433])
def test_character_across_read_blocks_of_a_large_file(write_file, offset):
    # A file of many read blocks: a four-byte character, a two-byte one and a
    # word where a block may end.
    head = (b"ab " * (offset // 3 + 1))[: offset - 2]
    data = head + " 😀Жук-b end\n".encode() + "слово-x ".encode() * 80_000
    path = write_file(data)
    for size in (61, 65536):
        got, want = tc.FFTokenizer(path), tc.FTTokenizer(data)
        got.set_batch_size(size)
        want.set_batch_size(size)
        assert [(b["text"], b["types"].tolist()) for b in got] == [
            (b["text"], b["types"].tolist()) for b in want
        ]


def test_malformed_file_raises_for_its_batch_and_continues(write_file):
    tok = tc.FFTokenizer(write_file(b"good \xed\xa0\x80 more good"))
    tok.set_batch_size(2)
    assert tokens(tok.get_batch()) == [("good", 4), (" ", 1)]
    with pytest.raises(UnicodeDecodeError):
        tok.get_batch()
    assert tokens(tok.get_batch()) == [("more", 4), (" ", 1)]
    assert tokens(tok.get_batch()) == [("good", 4)]
    assert tok.get_batch() == {}


# Lazy reading: each call reads only as far as its batch needs. With a FIFO whose writer stays open, a batch that can be filled
# from the bytes already written must come back without waiting for more.
FIFO_CHILD = textwrap.dedent(
    """
    import sys
    import numpy  # imported up front, so the first batch is quick
    import tarvelinCXX as tc
    print("ready", flush=True)
    tok = tc.FFTokenizer(sys.argv[1])
    tok.set_batch_size(1)
    while True:
        b = tok.get_batch()
        print(repr(b.get("text")), flush=True)
        if not b:
            break
    """
)


def _readline(proc, sel, timeout):
    deadline = time.monotonic() + timeout
    buf = b""
    while not buf.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not sel.select(left):
            return None
        chunk = os.read(proc.stdout.fileno(), 1)
        if not chunk:
            return buf.decode() or None
        buf += chunk
    return buf.decode().rstrip("\n")


def test_batch_from_pipe_does_not_wait_for_more_input(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    proc = subprocess.Popen(
        [sys.executable, "-c", FIFO_CHILD, str(fifo)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    sel = selectors.DefaultSelector()
    sel.register(proc.stdout, selectors.EVENT_READ)
    wfd = None
    try:
        assert _readline(proc, sel, 120) == "ready", proc.stderr.read1().decode()
        deadline = time.monotonic() + 60
        while wfd is None:
            try:
                wfd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            except OSError:  # ENXIO until the child has opened its end
                assert time.monotonic() < deadline, "the child never opened the pipe"
                time.sleep(0.01)
        os.set_blocking(wfd, True)
        os.write(wfd, b"ab cd ")
        # Both batches can be made from the six bytes written so far.
        first = _readline(proc, sel, 5)
        second = _readline(proc, sel, 5) if first is not None else None
        os.write(wfd, b"ef")
        os.close(wfd)
        wfd = None
        rest = []
        while True:
            line = _readline(proc, sel, 60)
            if line is None:
                break
            rest.append(line)
        assert first == repr("ab\0")
        assert second == repr(" \0")
        assert rest == [repr("cd\0"), repr(" \0"), repr("ef\0"), "None"]
    finally:
        if wfd is not None:
            os.close(wfd)
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        sel.close()
        proc.stdout.close()
        proc.stderr.close()
