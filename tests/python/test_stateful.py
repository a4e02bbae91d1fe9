"""A stateful property test: random sequences of calls on a text tokenizer
(over bytes, a bytearray or a str), a file tokenizer over the same input and
a documents tokenizer over the input cut into documents, each checked step
by step against the plain-Python model in reference_model.py.

The calls: get_batch, streams (new ones, single steps, abandoned ones), `for`
loops over the tokenizer or a stream left early, every setter (batch size 0
included), error mode changes between batches, offsets on and off, and
count_tokens with and without max_bytes. "types" arrays of earlier batches
are kept and read again after later batches: they keep their values. Every batch handed out must be
the model's next batch exactly, malformed ones included: in strict mode the
UnicodeDecodeError carries the batch, and the next call goes on after it.

Example counts follow the profiles of test_model_properties.py.
"""

import collections
import os
import tempfile

import numpy as np
from hypothesis import event, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import reference_model as model
import tarvelinCXX as tc
from test_model_properties import (
    _MALFORMED,
    PROFILE,
    _batch_sizes,
    _lengths,
    _masks,
    any_bytes,
)

TYPE_VALUES = {1, 2, 4, 8, 16, 32, 64}
MODES = ("strict", "replace")
KEPT_ARRAYS = 12  # older arrays are dropped as new ones are kept

which = st.sampled_from(["text", "file", "docs"])

# Malformed pieces set apart by a few well-formed tokens: the error mode can
# then change between them and decide how the later ones are read.
_gap = st.lists(
    st.sampled_from([b"ab", b"12", "жук".encode(), b"x-y", b".", b"\n"]),
    min_size=4,
    max_size=9,
).map(b" ".join)
_spaced_malformed = st.lists(
    st.tuples(_gap, st.sampled_from(_MALFORMED)).map(lambda p: p[0] + b" " + p[1] + b" "),
    min_size=1,
    max_size=6,
).map(b"".join)
inputs = st.one_of(any_bytes, _spaced_malformed)


def _decodes(raw):
    try:
        raw.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


class DocsModel(model.ModelTokenizer):
    """The model of a documents tokenizer: each document's tokens by a model
    of its own, one document after the other. Its error mode is set before
    any batch and not changed."""

    def __init__(self, docs, errors):
        super().__init__(b"".join(docs))
        tokens, self.doc_of = [], []
        for i, doc in enumerate(docs):
            m = model.ModelTokenizer(doc)
            m.set_errors(errors)
            tokens += m._tokens
            self.doc_of += [i] * len(m._tokens)
        self._tokens = tokens
        self.errors = errors
        self.batch_docs = []  # the documents of the last batch's tokens

    def can_set_errors(self, mode):
        return mode == self.errors

    def next_batch(self):
        batch, self.batch_docs = [], []
        if self.batch_size:
            self._read = True
        while len(batch) < self.batch_size and self._next < len(self._tokens):
            token, doc = self._tokens[self._next], self.doc_of[self._next]
            self._next += 1
            if self.keeps(token):
                batch.append(token)
                self.batch_docs.append(doc)
        return batch


def cut_into_documents(data, cuts, kinds):
    """`data` cut at the positions `cuts`, each piece as bytes, a bytearray
    or (when it decodes) a str; returns (arguments, their bytes)."""
    bounds = sorted({0, len(data), *(c % (len(data) + 1) for c in cuts)})
    pieces = [data[a:b] for a, b in zip(bounds, bounds[1:])] + [b""] * (len(cuts) % 2)
    args = []
    for piece, kind in zip(pieces, kinds * len(pieces)):
        if kind == "str" and _decodes(piece):
            args.append(piece.decode("utf-8"))
        else:
            args.append(bytearray(piece) if kind == "bytearray" else piece)
    return args, pieces


class Side:
    """One tokenizer, the model that follows it, and the str it was made
    from (None for bytes and files): offsets must index that str."""

    def __init__(self, tok, data, text=None, model_=None):
        self.tok = tok
        self.model = model_ or model.ModelTokenizer(data)
        self.text = text

    def keys(self):
        docs = ["docs"] if isinstance(self.model, DocsModel) else []
        return ["text", "types"] + docs + (["offsets"] if self.model.offsets else [])

    def expected(self):
        """Uses up the model's next batch; returns its Token records."""
        return self.model.next_batch()

    def check(self, batch, expected):
        """A batch dict handed out (or {} for the end) against the model's."""
        if not expected:
            assert batch == {}
            return
        assert list(batch) == self.keys()
        raw = model.batch_text([(t.text, t.kind) for t in expected])
        assert _decodes(raw), "a malformed batch was handed out without an error"
        if "docs" in batch:
            assert batch["docs"].tolist() == self.model.batch_docs
        assert batch["text"] == raw.decode("utf-8")
        types = batch["types"]
        assert types.dtype == np.uint64 and types.ndim == 1
        assert types.base is None  # it holds its storage, not the tokenizer
        assert types.tolist() == [t.kind for t in expected]
        if self.model.offsets:
            assert batch["offsets"].tolist() == [t.start for t in expected]
            if self.text is not None:
                for t, o in zip(expected, batch["offsets"].tolist()):
                    assert self.text[o : o + t.length] == t.text.decode()

    def check_error(self, error, expected):
        """A strict-mode UnicodeDecodeError against the model's batch."""
        raw = model.batch_text([(t.text, t.kind) for t in expected])
        assert not _decodes(raw), "the batch is well-formed, yet raised"
        event("malformed batch raised")
        kept = error.batch
        assert list(kept) == self.keys()
        if "docs" in kept:
            assert kept["docs"].tolist() == self.model.batch_docs
        assert kept["text"] == raw.decode("utf-8", "surrogateescape")
        assert kept["types"].tolist() == [t.kind for t in expected]
        if self.model.offsets:
            assert kept["offsets"].tolist() == [t.start for t in expected]

    def call(self, fetch, stream=False):
        """Runs one fetch of a batch and checks it; returns the batch, {} at
        the end, or None for a batch that raised its decoding error."""
        expected = self.expected()
        try:
            batch = fetch()
        except UnicodeDecodeError as error:
            self.check_error(error, expected)
            return None
        except StopIteration:
            assert stream, "StopIteration from get_batch"
            batch = {}
        self.check(batch, expected)
        return batch


class TokenizerMachine(RuleBasedStateMachine):
    @initialize(
        data=inputs,
        text_kind=st.sampled_from(["bytes", "bytearray", "str"]),
        errors=st.sampled_from(MODES),
        batch_size=st.integers(1, 6),
        cuts=st.lists(st.integers(0, 300), max_size=8),
        doc_kinds=st.lists(st.sampled_from(["bytes", "bytearray", "str"]), min_size=1, max_size=3),
        doc_generator=st.booleans(),
    )
    def open(self, data, text_kind, errors, batch_size, cuts, doc_kinds, doc_generator):
        text = None
        arg = bytearray(data) if text_kind == "bytearray" else data
        if text_kind == "str" and _decodes(data):
            text = arg = data.decode("utf-8")
        fd, self.path = tempfile.mkstemp(prefix="tarvelin-stateful-")
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        file_tok = tc.FFTokenizer(self.path)
        assert file_tok.is_fopen()
        docs, pieces = cut_into_documents(data, cuts, doc_kinds)
        docs_tok = tc.FDTokenizer(iter(docs) if doc_generator else docs)
        self.sides = {
            "text": Side(tc.FTTokenizer(arg), data, text),
            "file": Side(file_tok, data),
            "docs": Side(docs_tok, data, model_=DocsModel(pieces, errors)),
        }
        if isinstance(arg, bytearray):
            arg[:] = b"#" * len(arg)  # the tokenizer reads its own copy
        self.data = data
        self.arrays = []  # (types array, its values) of earlier batches
        self.streams = []  # (side name, stream) of streams still held
        for side in self.sides.values():
            side.tok.set_errors(errors)
            side.model.set_errors(errors)
            side.tok.set_batch_size(batch_size)
            side.model.set_batch_size(batch_size)

    def keep(self, batch, wanted):
        if wanted and batch:
            self.arrays.append((batch["types"], batch["types"].tolist()))
            del self.arrays[:-KEPT_ARRAYS]

    # ------------------------------------------------------------ batches

    @rule(w=which, keep=st.booleans(), errors=st.one_of(st.none(), st.sampled_from(MODES)))
    def get_batch(self, w, keep, errors):
        side = self.sides[w]
        if errors is not None:
            self.set_errors(w, errors)
        self.keep(side.call(side.tok.get_batch), keep)

    @rule(w=which)
    def new_stream(self, w):
        self.streams.append((w, self.sides[w].tok.stream))

    @rule(index=st.integers(0, 7), keep=st.booleans())
    def stream_step(self, index, keep):
        if not self.streams:
            self.new_stream("file" if index % 2 else "text")
        w, s = self.streams[index % len(self.streams)]
        self.keep(self.sides[w].call(lambda: next(s), stream=True), keep)

    @rule(index=st.integers(0, 7))
    def abandon_stream(self, index):
        # The stream is dropped, maybe in the middle of the input; its
        # tokenizer and the other streams go on.
        if self.streams:
            del self.streams[index % len(self.streams)]

    @rule(w=which, steps=st.integers(0, 4), over_stream=st.booleans())
    def for_loop(self, w, steps, over_stream):
        """A `for` loop over the tokenizer (or a stream), left after `steps` batches."""
        side = self.sides[w]
        done = 0
        expected = side.expected()
        try:
            for batch in side.tok.stream if over_stream else side.tok:
                side.check(batch, expected)
                done += 1
                if done == steps:
                    return
                expected = side.expected()
            assert expected == [], "the loop ended before the model's last batch"
        except UnicodeDecodeError as error:
            side.check_error(error, expected)

    # ------------------------------------------------------------ settings

    @rule(w=which, n=_batch_sizes)
    def set_batch_size(self, w, n):
        self.sides[w].tok.set_batch_size(n)
        self.sides[w].model.set_batch_size(n)

    @rule(w=which, mask=_masks)
    def set_filter(self, w, mask):
        self.sides[w].tok.set_filter(mask)
        self.sides[w].model.set_filter(mask)

    @rule(w=which, n=_lengths)
    def set_token_min_len(self, w, n):
        self.sides[w].tok.set_token_min_len(n)
        self.sides[w].model.set_token_min_len(n)

    @rule(w=which, n=_lengths)
    def set_token_max_len(self, w, n):
        self.sides[w].tok.set_token_max_len(n)
        self.sides[w].model.set_token_max_len(n)

    @rule(w=which, on=st.booleans())
    def set_offsets(self, w, on):
        self.sides[w].tok.set_offsets(on)
        self.sides[w].model.set_offsets(on)

    @rule(w=which, mode=st.sampled_from(MODES))
    def set_errors(self, w, mode):
        side = self.sides[w]
        if not side.model.can_set_errors(mode):
            # The tokenizer may have decoded malformed bytes ahead already.
            event("error mode change skipped")
            return
        if mode != side.model.errors and side.model._read and not side.model.exhausted():
            event("error mode changed in the middle of the input")
        side.tok.set_errors(mode)
        side.model.set_errors(mode)

    # ------------------------------------------------------------ counting

    @rule(
        w=which,
        limit=st.sampled_from(["none", "zero", "beyond", "some"]),
        some=st.integers(1, 80),
    )
    def count_tokens(self, w, limit, some):
        side = self.sides[w]
        m = side.model
        if limit == "some" and any(m.keeps(t) and not _decodes(t.text) for t in m.remaining()):
            # Malformed tokens are missing from the counts, so counts alone
            # would not tell how many batches were read: stop after one.
            limit = "zero"
        max_bytes = {"none": None, "zero": 0, "beyond": len(self.data) + 1, "some": some}[limit]
        try:
            got = side.tok.count_tokens() if max_bytes is None else side.tok.count_tokens(max_bytes)
            failed = False
        except UnicodeDecodeError as error:
            got, failed = error.counts, True

        # The batches that were read: all of them without a limit (or one
        # beyond the input), the first alone for 0, else as many as the
        # counts show (each full batch adds to them).
        counts = collections.Counter()

        def seen():
            good = {raw.decode(): n for raw, n in counts.items() if _decodes(raw)}
            return good, len(good) != len(counts)

        if m.batch_size:
            while True:
                counts.update(t.text for t in m.next_batch())
                if m.exhausted() or limit == "zero":
                    break
                if limit == "some" and seen() == (got, failed):
                    break
        assert (got, failed) == seen()
        event(f"count_tokens: {limit}, failed={failed}")
        if not m.exhausted() and not any(m.keeps(t) for t in m.remaining()):
            # What is left is filtered out: the counting may or may not have
            # read it. A batch reads it for sure, and is empty either way.
            assert side.call(side.tok.get_batch) == {}

    # ------------------------------------------------------------ arrays

    @rule(index=st.integers(0, KEPT_ARRAYS))
    def drop_array(self, index):
        if self.arrays:
            del self.arrays[index % len(self.arrays)]

    @invariant()
    def old_arrays_stay_readable(self):
        # Later batches never write into the storage of a kept array.
        for array, values in getattr(self, "arrays", []):
            assert array.dtype == np.uint64 and array.tolist() == values
            assert set(values) <= TYPE_VALUES

    def teardown(self):
        if not hasattr(self, "sides"):
            return
        try:
            for side in self.sides.values():
                if side.model.batch_size == 0:  # would never end
                    side.tok.set_batch_size(5)
                    side.model.set_batch_size(5)
                while side.call(side.tok.get_batch) != {}:
                    pass
                assert side.model.exhausted()
                assert side.tok.get_batch() == {}
                assert next(side.tok.stream, None) is None
            self.old_arrays_stay_readable()
        finally:
            self.sides["file"].tok.close()
            os.unlink(self.path)


TestTokenizerMachine = TokenizerMachine.TestCase
TestTokenizerMachine.settings = settings(
    PROFILE, max_examples=PROFILE.max_examples * 2, stateful_step_count=50
)
