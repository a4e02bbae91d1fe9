"""What users do with tokens: native counting, offsets, iteration, closing,
paths as Python passes them, and the run-time documentation."""

import collections
import os
import pathlib
import pydoc

import pytest
from hypothesis import given
from hypothesis import strategies as st

import reference_model as model
import tarvelinCXX as tc
from conftest import split_text
from test_model_properties import PROFILE, any_bytes

_settings = st.tuples(
    st.sampled_from([1, 3, 64, 65536]),                           # batch size
    st.sampled_from([(1 << 64) - 1, tc.ENWORD | tc.RUWORD, 1, 0]),  # filter
    st.sampled_from([(0, 512), (2, 5)]),                          # length bounds
    st.sampled_from(["strict", "replace"]),
    st.integers(0, 3),                                            # batches taken first
)


def _configure(tok, size, mask, bounds, errors):
    tok.set_batch_size(size)
    tok.set_filter(mask)
    tok.set_token_min_len(bounds[0])
    tok.set_token_max_len(bounds[1])
    tok.set_errors(errors)
    return tok


def _tokenizers(data, tmp_path):
    path = tmp_path / "input.txt"
    path.write_bytes(data)
    return [tc.FTTokenizer(data), tc.FFTokenizer(path)]


def _batch_counts(tok):
    """Counter over the tokens of the remaining batches; a strict decoding
    error's batch is counted from its surrogate-escaped text."""
    counts, failed = collections.Counter(), False
    while True:
        try:
            batch = tok.get_batch()
        except UnicodeDecodeError as err:
            batch, failed = err.batch, True
        if not batch:
            return counts, failed
        counts.update(split_text(batch["text"]))


@PROFILE
@given(data=any_bytes, settings=_settings)
def test_count_tokens_equals_the_batches(tmp_path_factory, data, settings):
    size, mask, bounds, errors, taken = settings
    tmp = tmp_path_factory.mktemp("count")
    counted, reference = _tokenizers(data, tmp), _tokenizers(data, tmp)
    for tok, ref in zip(counted, reference):
        _configure(tok, size, mask, bounds, errors)
        _configure(ref, size, mask, bounds, errors)
        for _ in range(taken):  # both stand at the same place when counting starts
            for t in (tok, ref):
                try:
                    t.get_batch()
                except UnicodeDecodeError:
                    pass
        want, malformed = _batch_counts(ref)
        try:
            got = tok.count_tokens()
        except UnicodeDecodeError as err:
            assert malformed and errors == "strict"
            got = err.counts
            # The malformed texts, surrogate-escaped in the batches, are left out.
            want = {k: v for k, v in want.items() if not any(0xDC80 <= ord(c) <= 0xDCFF for c in k)}
        else:
            assert not malformed
        assert got == dict(want)
        assert tok.get_batch() == {} and tok.count_tokens() == {}


def test_count_tokens_in_steps_and_after_an_interrupting_handler():
    text = "the cat and the hat " * 50_000
    tok = tc.FTTokenizer(text)
    tok.set_batch_size(1000)
    total = collections.Counter()
    while part := tok.count_tokens(max_bytes=100_000):
        total.update(part)
    assert total == collections.Counter(text.split(" ")[:-1]) + collections.Counter({" ": 250_000})


@PROFILE
@given(data=any_bytes, size=st.sampled_from([1, 5, 65536]), mask=st.sampled_from([(1 << 64) - 1, 20, 64]),
       errors=st.sampled_from(["strict", "replace"]))
def test_offsets_agree_with_the_reference_model(data, size, mask, errors):
    source = data.decode("utf-8", "replace").encode() if errors == "replace" else data
    want, pos = [], 0
    for t in model.tokens_of(source):
        if t.kind & mask:
            want.append(pos)
        pos += t.length
    tok = tc.FTTokenizer(data)
    tok.set_batch_size(size)
    tok.set_filter(mask)
    tok.set_errors(errors)
    tok.set_offsets(True)
    got = []
    while True:
        try:
            batch = tok.get_batch()
        except UnicodeDecodeError as err:
            batch = err.batch
        if not batch:
            break
        assert list(batch) == ["text", "types", "offsets"]
        assert batch["offsets"].dtype == "uint64" and len(batch["offsets"]) == len(batch["types"])
        got.extend(batch["offsets"].tolist())
    assert got == want


@pytest.mark.parametrize("text", ["Москва-река замерзает; the well-known river 😀.", "a\0b  c\n"])
def test_offsets_index_a_str_input(text):
    tok = tc.FTTokenizer(text)
    tok.set_filter(tc.ENWORD.value | tc.RUWORD.value | tc.UNKNWN.value)
    tok.set_offsets(True)
    batch = tok.get_batch()
    for token, o in zip(split_text(batch["text"]), batch["offsets"].tolist(), strict=True):
        assert text[o:o + len(token)] == token
    tok.set_offsets(False)
    assert tc.FTTokenizer(text).get_batch().keys() == {"text", "types"}


def test_tokenizers_iterate_their_batches(tmp_path):
    path = tmp_path / "t.txt"
    path.write_text("a b c d", encoding="utf-8")
    for tok in (tc.FTTokenizer("a b c d"), tc.FFTokenizer(path)):
        tok.set_batch_size(3)
        assert [b["text"] for b in tok] == ["a\0 \0b\0", " \0c\0 \0", "d\0"]
        assert list(tok) == []


def test_close_and_context_manager(tmp_path):
    path = tmp_path / "t.txt"
    path.write_text("one two three", encoding="utf-8")
    fds = len(os.listdir("/proc/self/fd"))
    with tc.FFTokenizer(path) as tok:
        tok.set_batch_size(1)
        assert tok.get_batch()["text"] == "one\0"
        assert len(os.listdir("/proc/self/fd")) == fds + 1
    assert not tok.is_fopen() and len(os.listdir("/proc/self/fd")) == fds
    assert tok.get_batch() == {}
    with pytest.raises(ValueError, match="closed file"):  # as a closed Python file
        tok.count_tokens()
    tok.close()  # again: nothing happens
    with pytest.raises(ZeroDivisionError), tc.FFTokenizer(path) as other:
        1 / 0
    assert not other.is_fopen()


@pytest.mark.parametrize("make_path", [
    pathlib.Path,
    os.fsencode,
    lambda p: bytearray(os.fsencode(p)),
    lambda p: type("P", (), {"__fspath__": lambda self: p})(),
])
def test_paths_as_python_passes_them(tmp_path, make_path):
    name = os.fsdecode(b"\xff-\xd0\x96.txt")  # an undecodable byte, as os.listdir gives it
    (tmp_path / name).write_text("x", encoding="utf-8")
    [listed] = os.listdir(tmp_path)
    tok = tc.FFTokenizer(make_path(str(tmp_path / listed)))
    assert tok.is_fopen() and tok.get_batch()["text"] == "x\0"
    assert repr(name)[1:] in repr(tok)


def test_reprs_name_the_input_position_and_settings(tmp_path):
    tok = tc.FTTokenizer("ab cd")
    tok.set_batch_size(1)
    tok.get_batch()
    assert repr(tok).startswith("<FTTokenizer text of 5 bytes, at byte ")
    assert "batch_size=1" in repr(tok) and "errors='strict'" in repr(tok)
    assert repr(tok) in repr(tok.stream)
    missing = tc.FFTokenizer(tmp_path / "missing.txt")
    assert "missing.txt'" in repr(missing) and "not open" in repr(missing)


def test_help_documents_every_member():
    for cls in (tc.FTTokenizer, tc.FFTokenizer, tc.fts_stream, tc.ffs_stream):
        for name, member in vars(cls).items():
            if name.startswith("_") and name not in ("__init__", "__iter__", "__next__", "__enter__", "__exit__"):
                continue
            if name == "__init__" and "stream" in cls.__name__:
                continue  # streams have no constructor
            if callable(member) or isinstance(member, property):
                doc = member.__doc__
                lines = doc.strip().splitlines()
                assert len(lines) >= 2 and lines[1:] != [""], f"{cls.__name__}.{name} has only a signature"
    text = pydoc.render_doc(tc.FTTokenizer, renderer=pydoc.plaintext)
    assert "UnicodeDecodeError" in text and "count_tokens" in text
    assert tc.__version__.count(".") >= 2
