"""The module as imported: its attributes, classes and signatures."""

import importlib
import importlib.machinery
import importlib.metadata
import os
import subprocess
import sys

import pytest

import tarvelinCXX as tc

MEMBER_NAMES = ["NOTTKN", "WRDSPC", "NWLINE", "ENWORD", "NUMBER", "RUWORD", "PNCTTN", "UNKNWN"]
INT_HINT = "typing.SupportsInt | typing.SupportsIndex"
SETTERS = ["set_batch_size", "set_filter", "set_token_min_len", "set_token_max_len"]


def test_import_name_and_file():
    assert tc.__name__ == "tarvelinCXX"
    assert tc.__doc__.startswith("Splits Russian and English text")
    assert tc.__version__ == importlib.metadata.version("tarvelinCXX")
    assert os.path.basename(tc.__file__).startswith("tarvelinCXX.")
    assert any(tc.__file__.endswith(s) for s in importlib.machinery.EXTENSION_SUFFIXES)
    assert isinstance(tc.__loader__, importlib.machinery.ExtensionFileLoader)
    assert sys.version_info[:2] == (3, 13)


def test_attributes_in_registration_order():
    public = [k for k in vars(tc) if not k.startswith("_")]
    assert public == ["TokenType", *MEMBER_NAMES, "fts_stream", "FTTokenizer", "ffs_stream", "FFTokenizer",
                      "fds_stream", "FDTokenizer"]


def test_no_module_level_functions():
    import types

    # Only the private hooks of tests and benchmarks: the scanning level, the
    # read slice, the binding library's release, the count of types blocks.
    functions = [k for k, v in vars(tc).items() if isinstance(v, types.BuiltinFunctionType)]
    assert functions == [
        "_scan_levels", "_scan_level", "_set_scan_level", "_set_read_slice",
        "_binding_library", "_types_blocks",
    ]


@pytest.mark.parametrize("name", ["TokenType", "fts_stream", "FTTokenizer", "ffs_stream", "FFTokenizer",
                      "fds_stream", "FDTokenizer"])
def test_classes(name):
    cls = getattr(tc, name)
    assert isinstance(cls, type)
    assert cls.__module__ == "tarvelinCXX"
    assert cls.__qualname__ == name
    assert "_pybind11_conduit_v1_" in vars(cls)
    assert cls.__doc__ and len(cls.__doc__.split()) >= 5  # says what it is, for help()


def test_text_tokenizer_members_in_order():
    own = [k for k in vars(tc.FTTokenizer) if not k.startswith("_")]
    assert own == [*SETTERS, "get_batch", "stream", "set_errors", "set_offsets", "count_tokens"]
    assert not hasattr(tc.FTTokenizer, "is_fopen")


def test_file_tokenizer_members_in_order():
    own = [k for k in vars(tc.FFTokenizer) if not k.startswith("_")]
    assert own == ["is_fopen", *SETTERS, "get_batch", "stream", "set_errors", "set_offsets",
                   "count_tokens", "close"]


@pytest.mark.parametrize("stream_cls", [tc.fts_stream, tc.ffs_stream])
def test_stream_members(stream_cls):
    own = [k for k in vars(stream_cls) if k in ("__iter__", "__next__")]
    assert own == ["__iter__", "__next__"]


@pytest.mark.parametrize(
    "cls, arg",
    [(tc.FTTokenizer, "text"), (tc.FFTokenizer, "fpath")],
)
def test_tokenizer_signatures(cls, arg):
    q = f"tarvelinCXX.{cls.__name__}"
    assert cls.__init__.__doc__.startswith(f"__init__(self: {q}, {arg}: str) -> None")
    for name in SETTERS:
        doc = getattr(cls, name).__doc__
        assert doc.startswith(f"{name}(self: {q}, arg0: {INT_HINT}) -> None"), doc
    assert cls.get_batch.__doc__.startswith(f"get_batch(self: {q}) -> dict")
    stream_name = "fts_stream" if cls is tc.FTTokenizer else "ffs_stream"
    assert isinstance(vars(cls)["stream"], property)
    assert vars(cls)["stream"].fset is None
    assert cls.stream.fget.__doc__.startswith(f"(arg0: {q}) -> tarvelinCXX.{stream_name}")
    if cls is tc.FFTokenizer:
        assert cls.is_fopen.__doc__.startswith(f"is_fopen(self: {q}) -> bool")


def test_text_tokenizer_get_batch_doc_exact_start():
    assert tc.FTTokenizer.get_batch.__doc__.startswith(
        "get_batch(self: tarvelinCXX.FTTokenizer) -> dict"
    )


@pytest.mark.parametrize("name", ["fts_stream", "ffs_stream"])
def test_stream_signatures(name):
    cls = getattr(tc, name)
    q = f"tarvelinCXX.{name}"
    assert cls.__iter__.__doc__.startswith(f"__iter__(self: {q}) -> {q}")
    assert cls.__next__.__doc__.startswith(f"__next__(self: {q}) -> dict")


@pytest.mark.parametrize("name", ["fts_stream", "ffs_stream"])
def test_streams_have_no_constructor(name):
    cls = getattr(tc, name)
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == f"tarvelinCXX.{name}: No constructor defined!"


def test_fts_stream_no_constructor_exact_message():
    with pytest.raises(TypeError, match="^tarvelinCXX.fts_stream: No constructor defined!$"):
        tc.fts_stream()


def test_setters_take_no_keyword():
    tok = tc.FTTokenizer("a")
    for name in SETTERS:
        with pytest.raises(TypeError):
            getattr(tok, name)(n=1)


def _run(code):
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120
    )


def test_reimport_after_removal_gives_cached_module():
    # In a fresh process so as not to disturb this one's module table.
    r = _run(
        "import sys, tarvelinCXX as a\n"
        "T = a.TokenType\n"
        "del sys.modules['tarvelinCXX']\n"
        "import tarvelinCXX as b\n"
        "assert b is a, (a, b)\n"
        "assert b.TokenType is T\n"
        "assert b.ENWORD is T.ENWORD\n"
        "print(b.FTTokenizer('x y').get_batch()['text'] == 'x\\0 \\0y\\0')\n"
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "True"


def test_import_in_fresh_process_and_numpy_loaded_lazily():
    # An empty batch needs no NumPy; the first non-empty one imports it.
    r = _run(
        "import sys, tarvelinCXX as tc\n"
        "t = tc.FTTokenizer('')\n"
        "assert t.get_batch() == {}\n"
        "before = 'numpy' in sys.modules\n"
        "b = tc.FTTokenizer('a').get_batch()\n"
        "print(before, 'numpy' in sys.modules, isinstance(b['types'], sys.modules['numpy'].ndarray))\n"
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["False", "True", "True"]
