"""Property tests: the extension against the plain-Python model in
reference_model.py, for random inputs (well-formed and malformed UTF-8) and
random settings changed between batches, through both tokenizers, with
get_batch and streams interleaved.

Example counts come from a Hypothesis profile: "ci" (the default) keeps the
run short, "sanitized" (the default under the sanitizer build) shorter still;
TARVELIN_HYPOTHESIS_PROFILE=thorough runs many more examples, and
TARVELIN_HYPOTHESIS_EXAMPLES=N sets the count directly.
"""

import os
import tempfile

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import reference_model as model
import tarvelinCXX as tc

settings.register_profile(
    "ci",
    max_examples=500,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.register_profile(
    "thorough",
    parent=settings.get_profile("ci"),
    max_examples=5000,
)
# Under the sanitizer build every example costs much more; fewer of them still
# exercise every path there, while the plain build runs the full count.
settings.register_profile("sanitized", parent=settings.get_profile("ci"), max_examples=100)
_default_profile = "sanitized" if os.environ.get("TARVELIN_SANITIZED") else "ci"
_profile = settings.get_profile(os.environ.get("TARVELIN_HYPOTHESIS_PROFILE", _default_profile))
if "TARVELIN_HYPOTHESIS_EXAMPLES" in os.environ:
    _profile = settings(_profile, max_examples=int(os.environ["TARVELIN_HYPOTHESIS_EXAMPLES"]))
PROFILE = _profile

ALL = (1 << 64) - 1

# ---------------------------------------------------------------- inputs

_SAMPLES = [
    "well-known", "Москва-река", "covid-19", "1-й", "2023-01-01", "a--b", "-5",
    "x-y-z", " ", "  ", "\n", "\t", "\r\n", "\0", "\u00a0", "\u000b", "...",
    "…", "—", "–", "«", "»", "№", "·", "ё", "Ё", "Ж", "é", "ѐ", "ђ", "中",
    "😀", "\U0010ffff", "\ud7ff", "abc", "абв", "123", "ABCабв123",
]
_SAMPLE_BYTES = [s.encode() for s in _SAMPLES]

# Malformed UTF-8: stray continuation bytes, cut characters, overlong forms,
# surrogates, values above U+10FFFF, bytes that are never lead bytes.
_MALFORMED = [
    b"\x80", b"\xbf", b"\xff", b"\xf8", b"\xd0", b"\xe2\x80", b"\xf0\x9f\x98",
    b"\xc0\x80", b"\xc1\x81", b"\xe0\x80\xae", b"\xed\xa0\x80",
    b"\xf4\x90\x80\x80", b"\xf7\xbf\xbf\xbf", b"\xe2\x80\xff", b"\xd0\x41",
    b"A\x80\x80\x80\x80\x80", b"\x80\x80\x80\x80\x80\x80",
]

_word_piece = st.sampled_from([b"a", b"Zz", b"7", b"42", "ж".encode(), "ёЯ".encode()])


@st.composite
def _long_run(draw):
    unit = draw(st.sampled_from([b"a", b"9", "д".encode(), "😀".encode(), b" "]))
    return unit * draw(st.integers(100, 300))


@st.composite
def _hyphen_chain(draw):
    pieces = draw(st.lists(_word_piece, min_size=2, max_size=22))
    if draw(st.booleans()):  # some pieces long enough to pass 128 characters together
        pieces = [p * draw(st.integers(1, 40)) for p in pieces]
    sep = draw(st.sampled_from([b"-", b"-", b"--", "–".encode()]))
    return sep.join(pieces) + draw(st.sampled_from([b"", b"-", b" "]))


_fragment = st.one_of(
    st.sampled_from(_SAMPLE_BYTES),
    st.sampled_from(_MALFORMED),
    st.text(
        alphabet=st.characters(codec="utf-8", categories=["L", "N", "P", "Z", "S", "Cc"]),
        max_size=12,
    ).map(str.encode),
    st.binary(max_size=8),
    _long_run(),
    _hyphen_chain(),
)

any_bytes = st.lists(_fragment, max_size=25).map(b"".join)
valid_text = st.lists(
    st.one_of(st.sampled_from(_SAMPLES), st.text(max_size=20)), max_size=25
).map("".join)

# ---------------------------------------------------------------- settings

_batch_sizes = st.one_of(st.integers(1, 10), st.sampled_from([0, 16, 129, 65536]))
_masks = st.one_of(
    st.just(ALL),
    st.integers(0, 127),
    st.sampled_from([0, tc.ENWORD | tc.RUWORD, int(tc.WRDSPC), int(tc.NUMBER), 1 << 63]),
)
_lengths = st.one_of(st.integers(0, 12), st.integers(120, 135), st.just(512))


@st.composite
def _setting_change(draw):
    """A dict of settings to change before a call (possibly none)."""
    change = {}
    if draw(st.booleans()):
        change["set_batch_size"] = draw(_batch_sizes)
    if draw(st.integers(0, 3)) == 0:
        change["set_filter"] = draw(_masks)
    if draw(st.integers(0, 3)) == 0:
        change["set_token_min_len"] = draw(_lengths)
    if draw(st.integers(0, 3)) == 0:
        change["set_token_max_len"] = draw(_lengths)
    return change


_call_kinds = st.sampled_from(["get_batch", "stream", "iter_stream"])
_steps = st.lists(st.tuples(_setting_change(), _call_kinds), max_size=12)

# ---------------------------------------------------------------- helpers


@pytest.fixture(scope="module")
def file_dir():
    with tempfile.TemporaryDirectory(prefix="tarvelin-props-") as d:
        yield d


def _make(kind, data, file_dir):
    if kind == "text":
        return tc.FTTokenizer(data)
    path = os.path.join(file_dir, "input.bin")
    with open(path, "wb") as f:
        f.write(data)
    tok = tc.FFTokenizer(path)
    assert tok.is_fopen()
    return tok


def _expected(ref):
    """The model's next batch as (text, types), or the exception type."""
    try:
        batch = ref.get_batch()
    except UnicodeDecodeError:
        return UnicodeDecodeError
    return (model.batch_text(batch).decode("utf-8"), [kind for _, kind in batch])


def _actual(tok, how):
    """The extension's next batch as (text, types), or the exception type.

    A stream's StopIteration stands for the empty batch.
    """
    try:
        if how == "get_batch":
            result = tok.get_batch()
        elif how == "stream":
            result = next(tok.stream)
        else:
            result = next(iter(tok.stream))
    except UnicodeDecodeError:
        return UnicodeDecodeError
    except StopIteration:
        return ("", [])
    if not result:
        return ("", [])
    assert list(result) == ["text", "types"]
    types = result["types"]
    assert types.dtype == np.uint64 and types.ndim == 1
    return (result["text"], [int(t) for t in types])


def _run(tok, ref, steps):
    history = []
    for change, how in steps:
        for setter, value in change.items():
            getattr(tok, setter)(value)
            getattr(ref, setter)(value)
        expected = _expected(ref)
        history.append((change, how, expected))
        assert _actual(tok, how) == expected, history
    # Then read to the end with the last settings (a batch size of 0 would
    # never end, so it is lifted).
    if ref.batch_size == 0:
        tok.set_batch_size(3)
        ref.set_batch_size(3)
    while True:
        expected = _expected(ref)
        history.append(({}, "get_batch", expected))
        assert _actual(tok, "get_batch") == expected, history
        if expected == ("", []):
            break
    assert tok.get_batch() == {}
    with pytest.raises(StopIteration):
        next(tok.stream)


# ---------------------------------------------------------------- properties


@pytest.mark.parametrize("kind", ["text", "file"])
@PROFILE
@given(data=any_bytes, steps=_steps)
def test_matches_model_with_settings_changed_between_calls(kind, data, steps, file_dir):
    _run(_make(kind, data, file_dir), model.ModelTokenizer(data), steps)


@pytest.fixture(params=tc._scan_levels())
def scan_level(request):
    """Each vector level this machine has, in force for the test only."""
    best = tc._scan_level()
    tc._set_scan_level(request.param)
    yield request.param
    tc._set_scan_level(best)


# Texts long enough for the vector kernels' blocks of 64 bytes.
_long_bytes = st.lists(_fragment, min_size=8, max_size=60).map(b"".join)


@settings(PROFILE, suppress_health_check=list(PROFILE.suppress_health_check) +
          [HealthCheck.function_scoped_fixture])  # the level is the same for every example
@given(data=_long_bytes, steps=_steps)
def test_every_scan_level_matches_model(scan_level, data, steps):
    _run(tc.FTTokenizer(data), model.ModelTokenizer(data), steps)


@pytest.mark.parametrize("kind", ["text", "file"])
@PROFILE
@given(
    data=any_bytes,
    batch_size=_batch_sizes.filter(bool),
    mask=_masks,
    min_len=_lengths,
    max_len=_lengths,
)
def test_matches_model_with_fixed_settings(kind, data, batch_size, mask, min_len, max_len, file_dir):
    tok = _make(kind, data, file_dir)
    ref = model.ModelTokenizer(data)
    for setter, value in [
        ("set_batch_size", batch_size),
        ("set_filter", mask),
        ("set_token_min_len", min_len),
        ("set_token_max_len", max_len),
    ]:
        getattr(tok, setter)(value)
        getattr(ref, setter)(value)
    _run(tok, ref, [])


@PROFILE
@given(text=valid_text, batch_size=st.integers(1, 12))
def test_batches_of_valid_text_give_back_the_input(text, batch_size):
    """Independent of the model: every character lands in exactly one token,
    and batches of any size hold, together, what one unlimited batch holds."""
    whole = tc.FTTokenizer(text).get_batch()
    tok = tc.FTTokenizer(text)
    tok.set_batch_size(batch_size)
    # Kept without a copy: later batches never write into a kept array.
    parts = [(b["text"], b["types"]) for b in tok.stream]
    assert all(len(types) <= batch_size for _, types in parts)
    assert all(len(types) == batch_size for _, types in parts[:-1])
    joined_text = "".join(text for text, _ in parts)
    joined_types = [int(t) for _, types in parts for t in types]
    if not text:
        assert whole == {} and parts == []
        return
    assert joined_text == whole["text"]
    assert joined_types == [int(t) for t in whole["types"]]
    # Every token is followed by one NUL; the input's own NULs are tokens.
    assert len(joined_text) == len(text) + len(joined_types)
    assert joined_text.count("\0") == text.count("\0") + len(joined_types)
    assert set(joined_types) <= {1, 2, 4, 8, 16, 32, 64}


@PROFILE
@given(data=any_bytes)
def test_text_and_file_tokenizers_agree(data, file_dir):
    assume(data)
    by_text = tc.FTTokenizer(data)
    by_file = _make("file", data, file_dir)
    for tok in (by_text, by_file):
        tok.set_batch_size(7)
    while True:
        a, b = _actual(by_text, "get_batch"), _actual(by_file, "stream")
        assert a == b
        if a == ("", []):
            break


_FILE_BLOCK = 64 * 1024  # the file tokenizer reads ahead in blocks of this size


@settings(PROFILE, max_examples=min(PROFILE.max_examples, 40))
@given(
    lead=st.integers(0, 700),
    tail=any_bytes,
    batch_size=st.one_of(st.integers(1, 10), st.just(65536)),
)
def test_file_read_ahead_boundary_matches_model(lead, tail, batch_size, file_dir):
    """Characters, runs and compounds that straddle the end of the first
    read-ahead block come out as if the file were read in one piece."""
    filler = (b"ab cd-ef 12 " * (_FILE_BLOCK // 12 + 1))[: _FILE_BLOCK - lead]
    data = filler + tail
    tok = _make("file", data, file_dir)
    ref = model.ModelTokenizer(data)
    tok.set_batch_size(batch_size)
    ref.set_batch_size(batch_size)
    _run(tok, ref, [])


# ---------------------------------------------------------------- the model


@pytest.mark.parametrize(
    "text, expected",
    [
        ("well-known", [("well-known", model.ENWORD)]),
        ("covid-19", [("covid-19", model.ENWORD)]),
        ("1-й", [("1-й", model.NUMBER)]),
        ("-5", [("-", model.PNCTTN), ("5", model.NUMBER)]),
        ("a--b", [("a-", model.ENWORD), ("-", model.PNCTTN), ("b", model.ENWORD)]),
        ("3.14", [("3", model.NUMBER), (".", model.PNCTTN), ("14", model.NUMBER)]),
        ("abcабв", [("abc", model.ENWORD), ("абв", model.RUWORD)]),
        ("x\u2013y", [("x", model.ENWORD), ("\u2013", model.PNCTTN), ("y", model.ENWORD)]),
        ("\t\r", [("\t", model.UNKNWN), ("\r", model.UNKNWN)]),
        ("a" * 130, [("a" * 128, model.ENWORD), ("aa", model.ENWORD)]),
        ("-".join("123456789"), [("-".join("12345678") + "-", model.NUMBER), ("9", model.NUMBER)]),
        ("a" * 100 + "-" + "b" * 100, [("a" * 100 + "-", model.ENWORD), ("b" * 100, model.ENWORD)]),
    ],
)
def test_model_follows_the_documented_examples(text, expected):
    """The model itself, on cases whose tokens the rules spell out."""
    assert [(t.text.decode(), t.kind) for t in model.tokens_of(text.encode())] == expected


@pytest.mark.parametrize(
    "data, code_points",
    [
        (b"\xd0\x96", [0x416]),
        (b"\xf4\x8f\xbf\xbf", [0x10FFFF]),
        (b"\xc1\x81", [0x41]),
        (b"\xf7\xbf\xbf\xbf", [0x1FFFFF]),
        (b"\xd0\x41", [0x41]),
        (b"A\x80\x80\x80\x80B", [0x41, 0x42]),
        (b"\x80\xffA", [0x41]),
        (b"\xe2\x80\xff", [0x203F]),
        (b"\xe2\x80", []),
    ],
)
def test_model_decodes_like_the_rules_say(data, code_points):
    assert [model.code_point_of(c) for c in model.decode(data)] == code_points
