"""Arrow columns as input: every string and binary layout read in place, with
slices, nulls, chunks and views inline or not; other types and arrays whose
offsets or views do not fit their buffers refused before anything is read; and
the producer's structures released, whoever made them."""

import collections
import ctypes
import errno
import gc
import weakref

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

import tarvelinCXX as tc
from conftest import all_tokens, split_text

DOCS = [
    "Привет, world! 3.14",
    None,
    "",
    "short",
    "twelve bytes",  # exactly 12: the longest value a view holds inline
    "a document longer than twelve bytes — и по-русски тоже",
    "nul\0inside",
    None,
    "конец",
]
LAYOUTS = [
    pa.string(),
    pa.large_string(),
    pa.string_view(),
    pa.binary(),
    pa.large_binary(),
    pa.binary_view(),
]


def column(docs, typ):
    binary = pa.types.is_binary(typ) or pa.types.is_large_binary(typ)
    binary |= pa.types.is_binary_view(typ)
    return pa.array([d.encode() if binary and d is not None else d for d in docs], typ)


def read(obj, batch_size=None):
    """(document, text, type) of every token FDTokenizer gives for `obj`."""
    got = []
    tokenizer = tc.FDTokenizer(obj)
    if batch_size is not None:
        tokenizer.set_batch_size(batch_size)
    for batch in tokenizer:
        docs, types = batch["docs"].tolist(), batch["types"].tolist()
        got += zip(docs, split_text(batch["text"]), types, strict=True)
    return got


def expected(docs):
    """The same from FTTokenizer, one document at a time (None: a null)."""
    return [
        (i, text, kind)
        for i, doc in enumerate(docs)
        if doc
        for text, kind in all_tokens(tc.FTTokenizer(doc))
    ]


@pytest.mark.parametrize("typ", LAYOUTS, ids=str)
def test_every_layout_whole_sliced_and_chunked(typ):
    arr = column(DOCS, typ)
    assert read(arr) == read(arr, batch_size=2) == expected(DOCS)
    assert read(arr.slice(3, 4)) == expected(DOCS[3:7])  # counted from the slice's start
    chunked = pa.chunked_array([arr.slice(0, 2), arr.slice(2, 0), arr.slice(2)], typ)
    assert read(chunked) == expected(DOCS)
    assert read(pa.chunked_array([], typ)) == []
    counts = collections.Counter()
    for doc in DOCS:
        counts.update(tc.FTTokenizer(doc or "").count_tokens())
    assert tc.FDTokenizer(chunked).count_tokens() == counts


def test_polars_and_pandas_columns():
    frame = pl.DataFrame({"text": DOCS, "n": range(len(DOCS))})
    assert read(frame["text"]) == expected(DOCS)
    binary = [None if d is None else d.encode() for d in DOCS]
    assert read(pl.Series(binary, dtype=pl.Binary)) == expected(DOCS)
    for dtype in (pd.ArrowDtype(pa.string()), pd.ArrowDtype(pa.large_string()), "str"):
        assert read(pd.Series(DOCS, dtype=dtype)) == expected(DOCS)
    assert read(pd.DataFrame({"text": DOCS})["text"]) == expected(DOCS)


@pytest.mark.parametrize(
    "obj, format",
    [
        (pa.array([1, 2]), "unsupported Arrow format 'l'"),
        (pa.array(["a", "b", "a"]).dictionary_encode(), "format 'i' is dictionary-encoded"),
        (pa.array([["a"], ["b"]]), "unsupported Arrow format '\\+l'"),
        (pl.Series([1.5]), "unsupported Arrow format 'g'"),
        (pd.DataFrame({"text": ["a"]}), "format '\\+s'.* \\(a table: pass one of its columns\\)"),
    ],
    ids=["int64", "dictionary", "list", "polars-float", "pandas-frame"],
)
def test_other_types_name_their_format(obj, format):
    with pytest.raises(TypeError, match=format) as err:
        tc.FDTokenizer(obj)
    assert "expected a string or binary type (u, U, vu, z, Z, vz)" in str(err.value)


class Owner(bytearray):
    """A buffer that can be watched for collection (bytearray itself cannot)."""


def int32s(*values):
    return Owner(np.array(values, np.int32).tobytes())


def view(size, data=b"", buffer=0, offset=0):
    if size <= 12:
        return np.int32(size).tobytes() + data.ljust(12, b"\0")
    return np.int32(size).tobytes() + data[:4] + np.array([buffer, offset], np.int32).tobytes()


def offsets_array(offsets):
    # Built valid, then changed in place: pyarrow checks the buffers only when
    # it makes the array, and a producer of another library may never check.
    data = pa.py_buffer(b"helloworld")
    return pa.Array.from_buffers(pa.string(), 2, [None, pa.py_buffer(offsets), data])


def views_array(views):
    data = pa.py_buffer(b"0123456789abcdefghij")
    return pa.Array.from_buffers(pa.string_view(), 2, [None, pa.py_buffer(views), data])


def offsets_buffer():
    return int32s(0, 5, 10)


def views_buffer():
    return Owner(view(3, b"abc") + view(15, b"0123"))


VALID = {offsets_array: ["hello", "world"], views_array: ["abc", "0123456789abcde"]}


def set_int32(buf, index, value):
    buf[4 * index : 4 * index + 4] = np.int32(value).tobytes()


@pytest.mark.parametrize(
    "make, buf, change, message",
    [
        (offsets_array, offsets_buffer, (1, 11), "document 1 ends before it starts \\(offsets 11, 10\\)"),
        (offsets_array, offsets_buffer, (0, -1), "document 0 starts at a negative offset \\(-1\\)"),
        (views_array, views_buffer, (7, 6), "document 1, bytes 6..21 of data buffer 0, lies outside its 20"),
        (views_array, views_buffer, (6, 1), "document 1 is in data buffer 1, of 1"),
        (views_array, views_buffer, (4, -2), "document 1 has a negative size \\(-2\\)"),
    ],
    ids=["decreasing", "negative", "view-past-buffer", "view-buffer", "view-size"],
)
def test_arrays_that_do_not_fit_their_buffers(make, buf, change, message):
    buf = buf()
    arr = make(buf)
    assert read(arr) == expected(VALID[make])
    set_int32(buf, *change)
    # Also as the second chunk of a stream: nothing of the first is given.
    for obj, chunk in ((arr, 0), (pa.chunked_array([pa.array(["ok"], arr.type), arr]), 1)):
        with pytest.raises(ValueError, match=f"Arrow array \\(chunk {chunk}\\): {message}"):
            read(obj)
    watch = weakref.ref(buf)
    del arr, obj, buf
    gc.collect()
    assert watch() is None  # the refused arrays were released


@pytest.mark.parametrize("typ", [pa.string(), pa.string_view()], ids=str)
def test_exported_data_is_released(typ):
    before = pa.total_allocated_bytes()
    arr = pa.chunked_array([column(DOCS * 50, typ)] * 3)
    assert read(arr)[-1][0] == 3 * 50 * len(DOCS) - 1
    with pytest.raises(TypeError):
        read(pa.chunked_array([pa.array(range(1000))]))
    del arr
    assert pa.total_allocated_bytes() == before


# A producer of another library, written with ctypes: a stream of pyarrow
# arrays exported one by one, which can fail at a given chunk.
GET = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
LAST_ERROR = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p)
RELEASE = ctypes.CFUNCTYPE(None, ctypes.c_void_p)


class CStream(ctypes.Structure):
    _fields_ = [
        ("get_schema", GET),
        ("get_next", GET),
        ("get_last_error", LAST_ERROR),
        ("release", RELEASE),
        ("private_data", ctypes.c_void_p),
    ]


capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype = ctypes.py_object
capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
CAPSULE_NAMES = {name: name.encode() for name in ("arrow_array_stream", "arrow_array")}


class Producer:
    def __init__(self, chunks, fail_at=None, code=0, capsule="arrow_array_stream"):
        self.chunks, self.fail_at, self.code, self.capsule = chunks, fail_at, code, capsule
        self.given = self.releases = 0
        self.text = ctypes.create_string_buffer(b"the disk is on fire")
        self.callbacks = (
            GET(self.get_schema),
            GET(self.get_next),
            LAST_ERROR(self.last_error),
            RELEASE(self.release),
        )
        self.struct = CStream(*self.callbacks, None)

    def get_schema(self, _, out):
        if self.fail_at == "schema":
            return self.code
        self.chunks[0].type._export_to_c(out)
        return 0

    def get_next(self, _, out):
        if self.given == self.fail_at:
            return self.code
        if self.given < len(self.chunks):
            self.chunks[self.given]._export_to_c(out)
        else:
            ctypes.memset(out, 0, 80)  # a released array: the end
        self.given += 1
        return 0

    def last_error(self, _):
        return ctypes.addressof(self.text)

    def release(self, stream):
        self.releases += 1
        ctypes.cast(stream, ctypes.POINTER(CStream)).contents.release = RELEASE()

    def __arrow_c_stream__(self, requested_schema=None):
        return capsule_new(ctypes.addressof(self.struct), CAPSULE_NAMES[self.capsule], None)


@pytest.mark.parametrize(
    "fail_at, code, error, message",
    [
        (None, 0, None, None),
        (1, errno.EIO, OSError, "give chunk 1 \\(error 5: the disk is on fire\\)"),
        ("schema", errno.EINVAL, ValueError, "give its schema \\(error 22: the disk is on fire\\)"),
        (0, errno.ENOMEM, MemoryError, "give chunk 0 \\(error 12"),
    ],
)
def test_streams_of_other_producers(fail_at, code, error, message):
    before = pa.total_allocated_bytes()
    producer = Producer([pa.array(["one", None]), pa.array(["two"])], fail_at, code)
    if error is None:
        assert read(producer) == expected(["one", None, "two"])
    else:
        with pytest.raises(error, match=message):
            read(producer)
    assert producer.releases == 1
    assert not producer.struct.release  # moved out: marked released where it was
    del producer
    gc.collect()
    assert pa.total_allocated_bytes() == before


def test_capsules_of_the_wrong_kind():
    producer = Producer([pa.array(["one"])], capsule="arrow_array")
    wrong = "returned a PyCapsule named 'arrow_array', not a PyCapsule named 'arrow_array_stream'"
    with pytest.raises(TypeError, match=wrong):
        read(producer)
    assert producer.releases == 0  # not taken: the stream is still its producer's

    class Pair:
        def __init__(self, result):
            self.result = result

        def __arrow_c_array__(self, requested_schema=None):
            return self.result

    schema, array = pa.array(["x"]).__arrow_c_array__()
    wrong = [((schema,), "tuple"), ((array, schema), "named 'arrow_array'"), ([schema, array], "list")]
    for result, what in wrong:
        with pytest.raises(TypeError, match=f"__arrow_c_array__\\(\\) returned .*{what}"):
            read(Pair(result))
    assert read(Pair((schema, array))) == [(0, "x", int(tc.ENWORD))]
