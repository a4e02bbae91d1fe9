"""The benchmark's regular expression reproduces the module's tokens on simple text."""

import sys
from pathlib import Path

import pytest

import tarvelinCXX as tc

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))
peers = pytest.importorskip("peers")

SAMPLES = [
    "ab cd",
    "well-known Москва-река covid-19 1-й 2023-01-01 x-y-z",
    "-5 a--b well- known one - two hello  world x\n\ny",
    "... 3.14 abc123 abcабв x\u2013y «цитата» — № 5, Ёлка ёжик!",
    "tab\there\r\n\u00a0nbsp\u000bvt café 中文 😀 well-",
]


def module_tokens(text):
    out = []
    for batch in tc.FTTokenizer(text).stream:
        toks = batch["text"].split("\0")[:-1]
        out += list(zip(toks, (int(t) for t in batch["types"])))
    return out


@pytest.mark.parametrize("text", SAMPLES)
def test_re_pattern_matches_module(text):
    import re

    assert peers.re_tokens(text, re) == module_tokens(text)
    assert re.findall(peers.TOKEN_PATTERN, text, re.DOTALL) == [t for t, _ in module_tokens(text)]


@pytest.mark.parametrize("text", SAMPLES)
def test_regex_pattern_matches_module(text):
    regex = pytest.importorskip("regex")
    assert peers.re_tokens(text, regex) == module_tokens(text)
