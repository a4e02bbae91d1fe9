"""FDTokenizer: many documents, each tokenized exactly as FTTokenizer would
tokenize it alone.

The property tests take every token of every document from one FTTokenizer
per document (offsets on, nothing filtered) and check each FDTokenizer batch
against that sequence under the settings in force for the batch: a batch
holds the next tokens that pass, up to its size, and a full batch stops right
after its last token. The lean tests below them take each bad input in turn.
"""

import gc
import os
import resource
import threading

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import tarvelinCXX as tc
from conftest import split_text
from test_model_properties import _MALFORMED, _SAMPLES, PROFILE, _batch_sizes, _setting_change

ALL = (1 << 64) - 1

# ---------------------------------------------------------------- documents

_edge_pieces = ["из-", "-за", "a-", "-b", "к-во", "-", "--", " ", "\n", "\0", "x", "9"]
_texts = st.lists(
    st.one_of(
        st.sampled_from(_SAMPLES + _edge_pieces),
        st.text(max_size=12).filter(lambda s: not any(0xD800 <= ord(c) <= 0xDFFF for c in s)),
        st.builds(lambda c, n: c * n, st.sampled_from(["a", "д", "7", "😀", "é", " "]),
                  st.integers(120, 600)),
    ),
    max_size=6,
).map("".join)
_bytes = st.lists(
    st.one_of(_texts.map(str.encode), st.sampled_from(_MALFORMED)), max_size=4
).map(b"".join)
_document = st.one_of(_texts, _texts, _bytes, _bytes.map(bytearray), st.just(""))
_documents = st.lists(_document, max_size=14)

# ---------------------------------------------------------------- helpers


def read_batch(tok):
    """The next batch; a malformed one as UnicodeDecodeError's `batch`."""
    try:
        return tok.get_batch()
    except UnicodeDecodeError as e:
        return e.batch


def tokens_of(batch):
    """(text, type, offset, doc) of each token of a batch."""
    if not batch:
        return []
    texts = split_text(batch["text"])
    docs = batch.get("docs", np.zeros(len(texts), dtype=np.uint64))
    assert len(texts) == len(batch["types"]) == len(batch["offsets"]) == len(docs)
    return [(s, int(t), int(o), int(d)) for s, t, o, d in
            zip(texts, batch["types"], batch["offsets"], docs)]


def _read_alone(doc, errors):
    tok = tc.FTTokenizer(doc)
    tok.set_errors(errors)
    tok.set_offsets(True)
    tokens = []
    while batch := read_batch(tok):
        tokens += tokens_of(batch)
    return tokens


def per_document_tokens(docs, errors):
    """Every token of each document, read alone by FTTokenizer, with its
    length in characters as the tokenizer counts them (a malformed sequence
    is one character): up to the next token's offset, the last one's up to
    that of a line feed put after the document, which ends every token."""
    out = []
    for i, doc in enumerate(docs):
        tokens = _read_alone(doc, errors)
        ends = [o for _, _, o, _ in _read_alone(doc + ("\n" if isinstance(doc, str) else b"\n"), errors)]
        assert len(ends) == len(tokens) + 1
        out += [(s, t, o, i, ends[k + 1] - o) for k, (s, t, o, _) in enumerate(tokens)]
    return out


class Expected:
    """The batches FDTokenizer must give, from the per-document tokens."""

    def __init__(self, tokens):
        self.tokens, self.pos = tokens, 0
        self.size, self.mask, self.min_len, self.max_len = 65536, ALL, 0, 512

    def change(self, change):
        self.size = change.get("set_batch_size", self.size)
        self.mask = change.get("set_filter", self.mask)
        self.min_len = change.get("set_token_min_len", self.min_len)
        self.max_len = change.get("set_token_max_len", self.max_len)

    def next_batch(self):
        batch = []
        while len(batch) < self.size and self.pos < len(self.tokens):
            token = self.tokens[self.pos]
            self.pos += 1
            if token[1] & self.mask and self.min_len <= token[4] <= self.max_len:
                batch.append(token[:4])
        return batch


def make(docs, errors, as_generator):
    tok = tc.FDTokenizer((d for d in docs) if as_generator else docs)
    tok.set_errors(errors)
    tok.set_offsets(True)
    return tok


# ---------------------------------------------------------------- properties


@pytest.mark.parametrize("errors", ["strict", "replace"])
@PROFILE
@given(docs=_documents, steps=st.lists(_setting_change(), max_size=8), as_generator=st.booleans())
def test_each_document_as_alone_with_settings_changed_between_batches(
    errors, docs, steps, as_generator
):
    expected = Expected(per_document_tokens(docs, errors))
    tok = make(docs, errors, as_generator)
    history = []
    for change in steps + [{"set_batch_size": 5}] * (len(expected.tokens) + 2):
        for setter, value in change.items():
            getattr(tok, setter)(value)
        expected.change(change)
        want = expected.next_batch()
        history.append((change, want))
        assert tokens_of(read_batch(tok)) == want, history
    assert tok.get_batch() == {}


@pytest.mark.parametrize("errors", ["strict", "replace"])
@PROFILE
@given(docs=_documents, batch_size=_batch_sizes.filter(bool), as_generator=st.booleans())
def test_count_tokens_equals_counting_each_document(errors, docs, batch_size, as_generator):
    expected = {}
    try:
        for doc in docs:
            t = tc.FTTokenizer(doc)
            t.set_errors(errors)
            for text, n in t.count_tokens().items():
                expected[text] = expected.get(text, 0) + n
    except UnicodeDecodeError:  # malformed text counted in strict mode
        expected = UnicodeDecodeError
    tok = make(docs, errors, as_generator)
    tok.set_batch_size(batch_size)
    if expected is UnicodeDecodeError:
        with pytest.raises(UnicodeDecodeError):
            tok.count_tokens()
    else:
        assert tok.count_tokens() == expected


# ---------------------------------------------------------------- bad inputs


def test_an_item_that_is_not_text_is_named_skipped_and_loses_nothing():
    tok = tc.FDTokenizer(["a b", 5, "c"])
    with pytest.raises(TypeError, match=r"document 1 is int, not str, bytes or bytearray"):
        tok.get_batch()
    batch = tok.get_batch()
    assert split_text(batch["text"]) == ["a", " ", "b", "c"]
    assert batch["docs"].tolist() == [0, 0, 0, 2]
    assert tok.get_batch() == {}


def test_a_bad_item_after_many_documents_comes_out_after_their_tokens():
    docs = ["w"] * 3000 + [None] + ["z"]
    tok = tc.FDTokenizer(iter(docs))
    tok.set_batch_size(1000)
    seen = []
    with pytest.raises(TypeError, match="document 3000 is NoneType"):
        while batch := tok.get_batch():
            seen += batch["docs"].tolist()
    seen += tok.get_batch()["docs"].tolist()
    assert seen == list(range(3000)) + [3001]


@pytest.mark.parametrize("errors", ["strict", "replace"])
def test_a_lone_surrogate_raises_in_strict_mode_and_reads_as_replacement_otherwise(errors):
    tok = tc.FDTokenizer(["ok", "x\ud800y", "\U0001f600\udfff"])
    tok.set_errors(errors)
    if errors == "strict":
        with pytest.raises(TypeError, match=r"document 1 \(str\) holds a lone surrogate"):
            tok.get_batch()
        with pytest.raises(TypeError, match=r"document 2 \(str\)"):
            tok.get_batch()
        assert split_text(tok.get_batch()["text"]) == ["ok"]
    else:
        batch = tok.get_batch()
        assert split_text(batch["text"]) == ["ok", "x", "\ufffd", "y", "😀", "\ufffd"]
        assert batch["docs"].tolist() == [0, 1, 1, 1, 2, 2]


def test_malformed_bytes_follow_the_error_mode_and_the_error_carries_docs():
    docs = [b"ok", "", b"a \xc0\x80"]
    tok = tc.FDTokenizer(docs)
    with pytest.raises(UnicodeDecodeError) as e:
        tok.get_batch()
    assert e.value.batch["docs"].tolist() == [0, 2, 2, 2]
    assert split_text(e.value.batch["text"]) == ["ok", "a", " ", "\udcc0\udc80"]
    assert tok.get_batch() == {}
    tok = tc.FDTokenizer(docs)
    tok.set_errors("replace")
    assert split_text(tok.get_batch()["text"]) == ["ok", "a", " ", "\ufffd", "\ufffd"]


def test_an_exception_of_the_iterator_comes_out_after_the_tokens_before_it():
    def documents():
        yield "one"
        yield "two"
        raise KeyError("broken source")

    tok = tc.FDTokenizer(documents())
    with pytest.raises(KeyError, match="broken source"):
        tok.get_batch()
    assert split_text(tok.get_batch()["text"]) == ["one", "two"]
    assert tok.get_batch() == {}


def test_a_call_from_inside_the_iterator_raises_runtime_error():
    def documents():
        yield "a"
        with pytest.raises(RuntimeError, match="already running a call"):
            tok.get_batch()
        yield "b"

    tok = tc.FDTokenizer(documents())
    assert split_text(tok.get_batch()["text"]) == ["a", "b"]


@pytest.mark.parametrize("arg", ["text", b"bytes", bytearray(b"x"), 5, None])
def test_one_text_or_a_non_iterable_is_refused(arg):
    with pytest.raises(TypeError, match="FDTokenizer takes an iterable"):
        tc.FDTokenizer(arg)


def test_a_list_changed_by_another_thread_never_crashes():
    docs = [f"слово {i} word" for i in range(2000)]
    stop = threading.Event()

    def churn():
        while not stop.is_set():
            docs.append("x y")
            docs[:] = docs[:1000]
            del docs[::7]
            docs.extend(b"bytes doc" for _ in range(50))

    thread = threading.Thread(target=churn)
    thread.start()
    try:
        for _ in range(50):
            tok = tc.FDTokenizer(docs)
            tok.set_batch_size(97)
            for batch in tok:
                assert len(batch["docs"]) == len(batch["types"])
    finally:
        stop.set()
        thread.join()


# ---------------------------------------------------------------- the reader


def test_the_iterator_is_read_lazily_with_a_bounded_read_ahead():
    taken = []

    def documents():
        for i in range(100_000):
            taken.append(i)
            yield "w w"

    tok = tc.FDTokenizer(documents())
    tok.set_batch_size(3)
    tok.get_batch()
    assert 1 <= len(taken) <= 2048
    assert "documents read" in repr(tok)


def test_two_million_generated_documents_keep_memory_flat():
    def rss_mb():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20

    gc.collect()
    start = rss_mb()
    peak = start
    tok = tc.FDTokenizer(f"doc {i} слово" for i in range(2_000_000))
    n = 0
    for batch in tok:
        n += len(batch["types"])
        peak = max(peak, rss_mb())
    assert n == 2_000_000 * 5
    assert peak - start < 60, (start, peak, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)


def test_repr_and_stream():
    tok = tc.FDTokenizer(["ab", "cd"])
    assert repr(tok).startswith("<FDTokenizer iterable, 0 documents read, at byte 0: batch_size=65536")
    assert type(tok.stream).__name__ == "fds_stream"
    batches = list(tok)
    assert [b["docs"].tolist() for b in batches] == [[0, 1]]
    assert "2 documents read, at byte 4" in repr(tok)
