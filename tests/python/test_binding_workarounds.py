"""The binding library's workarounds (src/module/workaround_*): the release
they were checked against, and the behaviour each one gives. The behaviour of
each is also covered where it matters (test_reliability, test_token_type)."""

import re

import pytest

import tarvelinCXX as tc

CLASSES = [tc.FTTokenizer, tc.FFTokenizer, tc.fts_stream, tc.ffs_stream]


def test_built_with_the_binding_library_release_the_workarounds_were_checked_against():
    built, checked = tc._binding_library()
    assert built == checked, (
        f"the module was built with pybind11 {built}, but its workarounds "
        f"(src/module/workaround_*) were checked against pybind11 {checked}: check each one "
        "against the new release, then update BINDING_LIBRARY_CHECKED in "
        "src/module/workaround_checked.hpp"
    )


@pytest.mark.parametrize(
    "cls, make",
    [
        (tc.FTTokenizer, lambda path: tc.FTTokenizer("a")),
        (tc.FFTokenizer, lambda path: tc.FFTokenizer(path)),
        (tc.fts_stream, lambda path: tc.FTTokenizer("a").stream),
        (tc.ffs_stream, lambda path: tc.FFTokenizer(path).stream),
    ],
    ids=lambda c: getattr(c, "__name__", ""),
)
def test_every_object_has_a_repr(cls, make, tmp_path):
    assert repr(cls.__new__(cls)) == f"<{cls.__name__}: not initialised>"

    class Sub(cls):
        pass

    assert repr(Sub.__new__(Sub)) == f"<{cls.__name__}: not initialised>"
    path = tmp_path / "f.txt"
    path.write_text("a")
    assert re.fullmatch(rf"<{cls.__name__} .*>", repr(make(str(path))))


@pytest.mark.parametrize("cls", [tc.FTTokenizer, tc.FFTokenizer], ids=lambda c: c.__name__)
def test_wrong_arguments_message_shows_every_argument(cls):
    blank = cls.__new__(cls)
    with pytest.raises(TypeError) as caught:
        tc.FTTokenizer("a").set_batch_size(blank)
    message = str(caught.value)
    assert "incompatible function arguments" in message
    assert f"<{cls.__name__}: not initialised>" in message
    assert "repr raised" not in message
    with pytest.raises(TypeError, match="not initialised"):
        blank.get_batch()


def test_base_constructor_guard_is_inherited_by_every_class():
    base = tc.FTTokenizer.__mro__[-2]
    assert base.__name__ == "pybind11_object"
    with pytest.raises(TypeError):
        base()
    for cls in CLASSES:
        assert cls.__new__ is base.__new__


def test_second_init_raises_on_every_tokenizer(tmp_path):
    path = tmp_path / "f.txt"
    path.write_text("a b")
    for tok, again in ((tc.FTTokenizer("a b"), "c"), (tc.FFTokenizer(str(path)), str(path))):
        with pytest.raises(TypeError, match="initialised object"):
            tok.__init__(again)
        assert tok.get_batch()["text"] == "a\0 \0b\0"
