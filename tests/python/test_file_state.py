"""FFTokenizer: files that could not be opened, closed tokenizers, and fork.

A tokenizer whose file did not open gives empty batches, but count_tokens()
raises what Python's own open() raises for that path, so that a typo never
counts as an empty file. After a fork, parent and children each read the file
from where the tokenizer stood, independently.
"""

import os
import subprocess
import sys
import textwrap

import pytest

import tarvelinCXX as tc

HERE = os.path.dirname(__file__)


def unopenable_paths(tmp_path):
    """(id, path) of paths whose open fails, each in its own way."""
    plain = tmp_path / "plain.txt"
    plain.write_text("text")
    secret = tmp_path / "secret.txt"
    secret.write_text("secret")
    secret.chmod(0)
    return {
        "missing": tmp_path / "typo.txt",
        "directory": tmp_path,
        "below-a-file": plain / "x",
        "no-permission": secret,
    }


@pytest.mark.parametrize("case", ["missing", "directory", "below-a-file", "no-permission"])
def test_count_tokens_raises_the_error_of_the_failed_open(tmp_path, case):
    path = unopenable_paths(tmp_path)[case]
    try:
        open(path).close()
    except OSError as e:
        expected = e
    else:
        pytest.skip("this user may open it (root reads anything)")
    tok = tc.FFTokenizer(str(path))
    assert tok.is_fopen() is False
    assert tok.get_batch() == {} and list(tok) == []  # batches stay empty
    for _ in range(2):  # at every call
        with pytest.raises(OSError) as raised:
            tok.count_tokens()
        e = raised.value
        assert type(e) is type(expected)
        assert (e.errno, e.strerror, e.filename) == (expected.errno, expected.strerror, str(path))
    assert f", not open: {expected.strerror}, at byte 0" in repr(tok)


def test_count_tokens_names_a_bytes_path_as_os_fsdecode_does(tmp_path):
    path = os.fsencode(tmp_path) + b"/\xff-missing.txt"
    with pytest.raises(FileNotFoundError) as raised:
        tc.FFTokenizer(path).count_tokens(max_bytes=1)
    assert raised.value.filename == os.fsdecode(path)


def test_path_with_nul_raises_value_error_as_open_does(tmp_path):
    (tmp_path / "real.txt").write_text("must not be read")
    tok = tc.FFTokenizer(str(tmp_path / "real.txt") + "\0junk")
    with pytest.raises(ValueError, match="embedded null byte"):
        tok.count_tokens()
    assert "not open: embedded null byte" in repr(tok)


@pytest.mark.parametrize("opened", [True, False])
def test_count_tokens_on_a_closed_tokenizer_raises_value_error(tmp_path, opened):
    path = tmp_path / ("words.txt" if opened else "missing.txt")
    if opened:
        path.write_text("one two")
    tok = tc.FFTokenizer(str(path))
    if opened:
        tok.count_tokens(max_bytes=1)
    with tok:
        pass
    for _ in range(2):
        with pytest.raises(ValueError, match="closed file"):
            tok.count_tokens()
    assert tok.get_batch() == {}
    assert ", closed, at byte" in repr(tok)


def test_an_open_file_counts_and_says_open(tmp_path):
    path = tmp_path / "words.txt"
    path.write_text("one two one")
    tok = tc.FFTokenizer(str(path))
    assert ", open, at byte 0" in repr(tok)
    assert tok.count_tokens() == {"one": 2, " ": 2, "two": 1}
    assert tok.count_tokens() == {}  # at its end: empty, not an error


# Fork: each process goes on from where the tokenizer stood.

FORK_CHILD = """
import collections, multiprocessing, sys
import tarvelinCXX as tc

path = sys.argv[1]
full = collections.Counter(tc.FFTokenizer(path).count_tokens())
assert sum(full.values()) > 500_000, sum(full.values())


def count(tok, results):
    results.put(tok.count_tokens())


def counts_in_children(tok, n):
    ctx = multiprocessing.get_context("fork")
    results = ctx.Queue()
    children = [ctx.Process(target=count, args=(tok, results)) for _ in range(n)]
    for child in children:
        child.start()
    got = [collections.Counter(results.get(timeout=120)) for _ in children]
    for child in children:
        child.join()
        assert child.exitcode == 0
    return got


# Opened before the fork, nothing read yet: every process counts the whole file.
tok = tc.FFTokenizer(path)
first, second = counts_in_children(tok, 2)
assert first == full, "first child"
assert second == full, "second child"
assert collections.Counter(tok.count_tokens()) == full, "parent"

# Forked after the parent read a few batches: the child goes on from there,
# and so does the parent afterwards.
tok = tc.FFTokenizer(path)
tok.set_batch_size(1000)
before = collections.Counter()
for _ in range(30):
    batch = tok.get_batch()
    before.update(batch["text"].split("\\0")[:-1])
assert sum(before.values()) == 30_000
(rest_in_child,) = counts_in_children(tok, 1)
rest_in_parent = collections.Counter(tok.count_tokens())
assert rest_in_child == rest_in_parent, "child and parent differ"
assert before + rest_in_parent == full, "tokens lost or repeated at the fork"
print("ok")
"""


def test_fork_gives_every_process_its_own_position(tmp_path):
    line = "Строка {0}: well-known words, числа {1} и e-mail-{2}.\nand more {3} text\n"
    path = tmp_path / "corpus.txt"
    with open(path, "w", encoding="utf-8") as f:
        for i in range(60_000):
            f.write(line.format(i, i % 977, i % 31, i * 7))
    assert path.stat().st_size > 4_000_000
    r = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(FORK_CHILD), str(path)],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=HERE,
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"
