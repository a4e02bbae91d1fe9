"""Shared helpers for the Python API tests of tarvelinCXX.

Besides small helpers to read batches, this file holds `reference_tokens`,
the tokens of a whole text by the pure-Python reference model
(reference_model.py), which tests compare the module against.
"""

import os
import sys

import numpy as np
import pytest

import tarvelinCXX as tc
from reference_model import MAX_CHARS, tokens_of

NOTTKN, WRDSPC, NWLINE, ENWORD, NUMBER, RUWORD, PNCTTN, UNKNWN = 0, 1, 2, 4, 8, 16, 32, 64


def reference_tokens(text, *, filter=2**64 - 1, min_len=0, max_len=512):
    """All tokens of `text` (a str) as (text, type) pairs, as one unlimited
    batch with the given filter and bounds, by the reference model."""
    return [
        (t.text.decode(), t.kind)
        for t in tokens_of(text.encode())
        if (t.kind & filter) != 0 and min_len <= t.length <= max_len
    ]


def split_text(text):
    """Splits a batch's "text" into its tokens, U+0000 tokens included.

    Every token is followed by U+0000; a token never is empty, and U+0000 only
    ever stands as a token of its own, so the text can be read left to right.
    """
    tokens = []
    pos = 0
    while pos < len(text):
        if text[pos] == "\0":
            assert text[pos + 1] == "\0", "a U+0000 token must be followed by its separator"
            tokens.append("\0")
            pos += 2
        else:
            end = text.index("\0", pos)
            tokens.append(text[pos:end])
            pos = end + 1
    return tokens


def check_batch(batch, owner=None):
    """Asserts the shape of a batch dictionary; returns its tokens."""
    assert type(batch) is dict
    if not batch:
        return []
    assert list(batch) == ["text", "types"]
    text, types = batch["text"], batch["types"]
    assert type(text) is str
    assert text.endswith("\0")
    assert isinstance(types, np.ndarray)
    assert types.dtype == np.uint64
    assert types.ndim == 1
    assert types.strides == (8,)
    assert types.flags.writeable
    assert not types.flags.owndata
    if owner is not None:
        # The array holds its own storage block, not the tokenizer.
        assert types.base is None
    parts = split_text(text)
    assert len(parts) == len(types) > 0
    values = [int(t) for t in types]
    for s, t in zip(parts, values):
        assert t in (WRDSPC, NWLINE, ENWORD, NUMBER, RUWORD, PNCTTN, UNKNWN)
        assert 1 <= len(s) <= MAX_CHARS
    return list(zip(parts, values))


def tokens(batch):
    """The (text, type) pairs of one batch dictionary."""
    return check_batch(batch)


def drain(tokenizer, limit=10_000_000):
    """Calls get_batch until the empty dict; returns the list of batches' tokens."""
    batches = []
    for _ in range(limit):
        batch = tokenizer.get_batch()
        got = check_batch(batch, tokenizer)
        if not got:
            return batches
        batches.append(got)
    raise AssertionError("the tokenizer never returned the empty dict")


def all_tokens(tokenizer):
    """All tokens that the tokenizer still has, across batches, in order."""
    return [t for b in drain(tokenizer) for t in b]


def under_asan():
    """True when this process runs with AddressSanitizer preloaded."""
    return "asan" in os.environ.get("LD_PRELOAD", "") or "ASAN_OPTIONS" in os.environ


def asan_may_return_null():
    return "allocator_may_return_null=1" in os.environ.get("ASAN_OPTIONS", "")


@pytest.fixture
def write_file(tmp_path):
    """Factory: write_file(content: str | bytes, name=...) -> path as str."""
    counter = [0]

    def make(content, name=None):
        counter[0] += 1
        path = tmp_path / (name or f"input{counter[0]}.txt")
        data = content.encode("utf-8") if isinstance(content, str) else bytes(content)
        path.write_bytes(data)
        return str(path)

    return make


# Kinds of tokenizer, so that shared behaviour is tested on both classes.
@pytest.fixture(params=["text", "file"])
def make_tokenizer(request, tmp_path):
    """Factory: make_tokenizer(content: str | bytes) -> FTTokenizer or FFTokenizer."""
    counter = [0]

    def make(content):
        if request.param == "text":
            return tc.FTTokenizer(content)
        counter[0] += 1
        path = tmp_path / f"shared{counter[0]}.txt"
        path.write_bytes(content.encode("utf-8") if isinstance(content, str) else bytes(content))
        return tc.FFTokenizer(str(path))

    make.kind = request.param
    return make


def find_other_pythons():
    """Working CPython interpreters of a version other than 3.13, one per minor version.

    Looks at pyenv's versions, /usr/bin, /usr/local/bin and the PATH; every
    candidate is run once to confirm that it works and to learn its version.
    """
    import glob
    import shutil
    import subprocess

    candidates = []
    roots = []
    pyenv = shutil.which("pyenv")
    if pyenv:
        try:
            root = subprocess.run(
                [pyenv, "root"], capture_output=True, text=True, timeout=30
            ).stdout.strip()
            if root:
                roots.append(root)
        except (OSError, subprocess.SubprocessError):
            pass
    roots.append(os.path.expanduser("~/.pyenv"))
    for root in roots:
        candidates += sorted(glob.glob(os.path.join(root, "versions", "3.*", "bin", "python3.*[0-9]")))
    for minor in (12, 14, 11, 10, 15, 9, 8):
        for d in ("/usr/bin", "/usr/local/bin"):
            candidates.append(f"{d}/python3.{minor}")
        found = shutil.which(f"python3.{minor}")
        if found:
            candidates.append(found)

    by_minor = {}
    for exe in candidates:
        if not (os.path.isfile(exe) and os.access(exe, os.X_OK)):
            continue
        try:
            r = subprocess.run(
                [exe, "-c", "import sys; print(sys.version_info[0], sys.version_info[1])"],
                capture_output=True,
                text=True,
                timeout=60,
            )
        except (OSError, subprocess.SubprocessError):
            continue
        if r.returncode != 0:
            continue
        try:
            major, minor = map(int, r.stdout.split())
        except ValueError:
            continue
        # importlib.util.module_from_spec needs 3.5.
        if (major, minor) == (3, 13) or (major, minor) < (3, 5):
            continue
        by_minor.setdefault((major, minor), exe)
    # 3.12 first: the interpreter the brief names.
    order = sorted(by_minor, key=lambda v: (v != (3, 12), v))
    return [by_minor[v] for v in order]


PY313 = sys.version_info[:2] == (3, 13)
