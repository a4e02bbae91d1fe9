"""A str is read from its own storage (one, two or four bytes a character):
its batches must be exactly those of its UTF-8 bytes, whatever the widest
character, the batch size, the filter and where the source's windows fall."""

import pytest

import tarvelinCXX as tc


def drain(tok):
    out = []
    while True:
        b = tok.get_batch()
        if not b:
            return out
        out.append((b["text"], b["types"].tolist()))


PIECES = {
    "latin1": ["été", " ", "«", "»", "\u00a0", "word", "-", "x-y", "\n", "12"],
    "bmp": ["Москва", "ёлка", "-", "—", "中", " ", "я-я", "word", "…", "\n"],
    "astral": ["😀", "𐍈", "Жук", " ", "-", "a", "\U0010ffff", "\n"],
}


@pytest.mark.parametrize("widest", list(PIECES))
@pytest.mark.parametrize("size, mask", [(1, None), (7, None), (65536, None),
                                        (65536, int(tc.ENWORD | tc.RUWORD)), (65536, 0)])
@pytest.mark.parametrize("repeat", [3, 5000])  # 5000: more than one window
def test_str_gives_the_batches_of_its_utf8_bytes(widest, size, mask, repeat):
    import random

    rng = random.Random(repeat * 7 + size)
    text = "".join(rng.choice(PIECES[widest]) for _ in range(repeat * 4))
    a, b = tc.FTTokenizer(text), tc.FTTokenizer(text.encode("utf-8"))
    for t in (a, b):
        t.set_batch_size(size)
        if mask is not None:
            t.set_filter(mask)
    got, want = drain(a), drain(b)
    assert got == want
    if mask is None:
        assert "".join(x for batch, _ in got for x in batch.split("\0")) == text


@pytest.mark.parametrize("text", ["é\ud800", "Ж\udfff", "😀\ud83d", "\udc00😀"] +
                         ["Ж" * k + s + "я" * 6 for k in range(9) for s in ("\ud800", "\udfff")])
def test_str_with_a_lone_surrogate_is_refused(text):
    with pytest.raises(TypeError):
        tc.FTTokenizer(text)


@pytest.mark.parametrize("text", ["été à la plage", "Жук ест — «да»", "😀 x-y 𐍈"])
def test_str_reports_the_size_and_position_of_its_utf8_bytes(text):
    a, b = tc.FTTokenizer(text), tc.FTTokenizer(text.encode("utf-8"))
    for t in (a, b):
        t.set_batch_size(2)
    while True:
        assert repr(a) == repr(b)
        if not a.get_batch():
            break
        b.get_batch()
    assert repr(a) == repr(b)


@pytest.mark.parametrize("k", range(5))
def test_str_next_to_the_surrogates_is_taken(k):
    text = "я" * k + "\ud7ff\ue000\uf8ff\uffff" * 3
    assert drain(tc.FTTokenizer(text)) == drain(tc.FTTokenizer(text.encode()))
