import pytest

import tarvelinCXX as tc


def tokens(batch):
    return list(zip(batch["text"].split("\0")[:-1], (int(t) for t in batch["types"])))


@pytest.mark.parametrize(
    "text, expected",
    [
        ("ab cd", [("ab", 4), (" ", 1), ("cd", 4)]),
        ("well-known", [("well-known", 4)]),
        ("a--b", [("a-", 4), ("-", 32), ("b", 4)]),
    ],
)
def test_one_batch(text, expected):
    tok = tc.FTTokenizer(text)
    assert tokens(tok.get_batch()) == expected
    assert tok.get_batch() == {}
