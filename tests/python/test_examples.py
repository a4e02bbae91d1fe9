"""Runs every script of examples/ and checks what it prints against the module."""

import ast
import collections
import importlib
import json
import random
import re
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarvelinCXX as tc

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
ROOT = EXAMPLES.parent
KINDS = tc.TokenType.__members__


@pytest.fixture(scope="module")
def examples():
    """The example modules, imported from examples/ without leaving it on sys.path."""
    with pytest.MonkeyPatch.context() as mp:
        mp.syspath_prepend(str(EXAMPLES))
        modules = {name: importlib.import_module(name) for name in ("_tokens", "corpus_stats")}
        yield modules
        for name in modules:
            sys.modules.pop(name, None)


def run_script(name, *args, cwd=ROOT):
    return subprocess.run(
        [sys.executable, str(EXAMPLES / name), *map(str, args)],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=300,
    )


def one_batch_kinds(text):
    """The kind of every token of `text`, read in one batch."""
    tokenizer = tc.FTTokenizer(text)
    batch = tokenizer.get_batch()
    return [tc.TokenType(int(t)) for t in batch["types"]] if batch else []


# --- pairing tokens with their kinds ---------------------------------------------

TEXTS = [
    "ab cd",
    "a\0b",
    "\0",
    "\0\0\0",
    "x-y\0\0 z\n",
    "Москва-река\0, well-known 2023-01-01\0",
    "\0Ёлка, 1-й\t\0снег…",
]


def paired(examples, text, batch_size):
    tokenizer = tc.FTTokenizer(text)
    tokenizer.set_batch_size(batch_size)
    _tokens = examples["_tokens"]
    return [pair for batch in _tokens.batches(tokenizer) for pair in _tokens.tokens_with_kinds(batch)]


@pytest.mark.parametrize("batch_size", [1, 2, 3, 65536])
@pytest.mark.parametrize("text", TEXTS)
def test_pairs_rebuild_the_text_with_its_kinds(examples, text, batch_size):
    pairs = paired(examples, text, batch_size)
    assert "".join(token for token, _ in pairs) == text
    assert [kind for _, kind in pairs] == one_batch_kinds(text)
    for token, kind in pairs:
        if kind.value & examples["_tokens"].WORD_KINDS:
            assert "\0" not in token
        else:
            assert len(token) == 1


@settings(max_examples=150, deadline=None)
@given(text=st.text(alphabet="ab Яж1-\0\n,\t", max_size=40), batch_size=st.integers(1, 6))
def test_pairs_rebuild_any_text(examples, text, batch_size):
    pairs = paired(examples, text, batch_size)
    assert "".join(token for token, _ in pairs) == text
    assert [kind for _, kind in pairs] == one_batch_kinds(text)


@pytest.mark.parametrize("text", [t for t in TEXTS if "\0" in t])
def test_plain_split_misreads_a_text_that_holds_nul(examples, text):
    batch = tc.FTTokenizer(text).get_batch()
    plain = batch["text"].split("\0")[:-1]
    assert plain != examples["_tokens"].split_tokens(batch["text"], batch["types"])


@pytest.mark.parametrize("text", TEXTS)
def test_split_is_plain_split_without_nul_tokens(examples, text):
    clean = text.replace("\0", "")
    batch = tc.FTTokenizer(clean).get_batch()
    if batch:
        assert examples["_tokens"].split_tokens(batch["text"], batch["types"]) == batch["text"].split("\0")[:-1]


# A surrogate's UTF-8 form: it reaches the batch byte for byte and fails to decode.
MALFORMED = b"\xed\xa0\x80"


@pytest.mark.parametrize("batch_size", [1, 2])
def test_batches_skip_malformed_utf8_and_go_on(examples, batch_size):
    head, tail = "ab ", " cd ef"
    tokenizer = tc.FTTokenizer(head.encode() + MALFORMED + tail.encode())
    tokenizer.set_batch_size(batch_size)
    skipped = [0]
    _tokens = examples["_tokens"]
    tokens = [t for batch in _tokens.batches(tokenizer, skipped) for t, _ in _tokens.tokens_with_kinds(batch)]
    assert skipped[0] == 1
    # Only the tokens of the failed batch are lost: the rest come in order.
    clean = [t for t, _ in paired(examples, head + tail, 65536)]
    assert len(tokens) == len(clean) + 1 - batch_size
    assert tokens[:1] == clean[:1] and tokens[-2:] == clean[-2:]


# --- demo.py ---------------------------------------------------------------------

ROW = re.compile(r"^\s*(\d+)\s+(\d+)\s+('.*'|\".*\")\s+([A-Z]{6})$")


def parse_demo(stdout):
    table, counts = stdout.split("\n\n")
    rows = [ROW.match(line) for line in table.splitlines()[1:]]
    assert all(rows), table
    parsed = [(int(m[1]), int(m[2]), ast.literal_eval(m[3]), m[4]) for m in rows]
    count_lines = [line.split() for line in counts.strip().splitlines()[1:]]
    return parsed, count_lines


@pytest.mark.parametrize(
    "text, batch_size",
    [
        (None, 32),  # the bundled sample, as `make demo` runs it
        ("Привет, world!\n\0 x-ray 3.14\t«ёж»\n", 5),
        ("a" * 300 + " конец\n", 1),
    ],
)
def test_demo_prints_every_token_with_its_kind(tmp_path, text, batch_size):
    if text is None:
        path = EXAMPLES / "sample.txt"
        text = path.read_text(encoding="utf-8")
        args = [] if batch_size == 32 else ["--batch-size", batch_size]
    else:
        path = tmp_path / "input.txt"
        path.write_bytes(text.encode())
        args = [path, "--batch-size", batch_size]
    result = run_script("demo.py", *args)
    assert result.returncode == 0, result.stderr
    rows, count_lines = parse_demo(result.stdout)

    assert "".join(token for _, _, token, _ in rows) == text
    kinds = one_batch_kinds(text)
    assert [name for *_, name in rows] == [k.name for k in kinds]
    # Rows are numbered within batches of at most batch_size tokens.
    for previous, row in zip([(0, -1)] + rows, rows):
        if row[0] == previous[0]:
            assert row[1] == previous[1] + 1
        else:
            assert (row[0], row[1]) == (previous[0] + 1, 0)
        assert row[1] < batch_size

    expected = collections.Counter(k.name for k in kinds)
    assert count_lines[-1] == ["total", str(len(kinds))]
    assert {name: (int(value), int(n)) for name, value, n in count_lines[:-1]} == {
        name: (KINDS[name].value, n) for name, n in expected.items()
    }


def test_demo_reports_a_file_it_cannot_open(tmp_path):
    result = run_script("demo.py", tmp_path / "missing.txt")
    assert result.returncode == 1
    assert "cannot open" in result.stderr and result.stdout == ""


# --- corpus statistics -----------------------------------------------------------

ENGLISH = ["the", "The", "river", "well-known", "covid-19", "Data", "x"]
RUSSIAN = ["река", "Москва-река", "ёлка", "ЁЛКА", "снег", "в"]
NUMBERS = ["2023", "1-й", "42"]


def make_corpus(root, seed):
    """Writes a corpus of known words and separators; returns the expected counts."""
    rng = random.Random(seed)
    kinds = collections.Counter()
    english, russian = collections.Counter(), collections.Counter()
    files = 0
    for index in range(7):
        words = []
        for _ in range(rng.randrange(0, 400)):
            family = rng.choice([ENGLISH, RUSSIAN, NUMBERS])
            word = rng.choice(family)
            words.append(word)
            if family is ENGLISH:
                kinds["ENWORD"] += 1
                english[word.lower()] += 1
            elif family is RUSSIAN:
                kinds["RUWORD"] += 1
                russian[word.lower()] += 1
            else:
                kinds["NUMBER"] += 1
        text = ""
        for i, word in enumerate(words):
            text += word
            if i < len(words) - 1:
                sep = rng.choice([" ", "\n", ", "])
                text += sep
                kinds.update({" ": ["WRDSPC"], "\n": ["NWLINE"], ", ": ["PNCTTN", "WRDSPC"]}[sep])
        folder = root / f"part{index % 3}"
        folder.mkdir(exist_ok=True)
        (folder / f"doc{index}.txt").write_text(text, encoding="utf-8")
        files += 1
    (root / "notes.md").write_text("not matched by the pattern", encoding="utf-8")
    return {
        "files": files,
        "tokens": sum(kinds.values()),
        "kinds": dict(kinds),
        "english": english,
        "russian": russian,
    }


def check_report(report, expected, top):
    assert report["files"] == expected["files"]
    assert report["tokens"] == expected["tokens"]
    assert report["kinds"] == expected["kinds"]
    assert list(report["kinds"]) == sorted(report["kinds"], key=lambda name: KINDS[name].value)
    for key in ("english", "russian"):
        ranked = sorted(expected[key].items(), key=lambda item: (-item[1], item[0]))[:top]
        assert [tuple(pair) for pair in report[key]] == ranked
    assert report["skipped_batches"] == 0 and report["unreadable"] == []


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    root = tmp_path_factory.mktemp("corpus")
    expected = make_corpus(root, seed=7)
    expected["bytes"] = sum(p.stat().st_size for p in root.rglob("*.txt"))
    return root, expected


@pytest.mark.parametrize("jobs, batch_size, top", [(1, 65536, 100), (2, 7, 3)])
def test_corpus_stats_counts_kinds_and_words(corpus, jobs, batch_size, top):
    root, expected = corpus
    result = run_script(
        "corpus_stats.py", root, "--json", "--no-progress", "--jobs", jobs, "--batch-size", batch_size, "--top", top
    )
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    check_report(report, expected, top)
    assert report["bytes"] == expected["bytes"]


def test_corpus_stats_text_report_and_progress(corpus):
    root, expected = corpus
    result = run_script("corpus_stats.py", root, "--jobs", 2, "--top", 2)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(f"{expected['files']} files, {expected['bytes']} bytes, {expected['tokens']} tokens")
    for name, n in expected["kinds"].items():
        assert re.search(rf"^{name}\s+{n}$", result.stdout, flags=re.MULTILINE)
    # tqdm's two bars, on stderr, both finished.
    assert re.search(rf"files: 100%.*{expected['files']}/{expected['files']}", result.stderr)
    assert re.search(r"bytes: 100%", result.stderr)


def test_corpus_stats_refuses_a_missing_directory(tmp_path):
    result = run_script("corpus_stats.py", tmp_path / "nowhere")
    assert result.returncode == 2 and "not a directory" in result.stderr


def test_file_stats_reports_unreadable_and_malformed_files(examples, tmp_path):
    file_stats = examples["corpus_stats"].file_stats
    missing = str(tmp_path / "missing.txt")
    stats = file_stats(missing)
    assert stats.unreadable == [missing] and stats.kinds.total() == 0

    bad = tmp_path / "bad.txt"
    bad.write_bytes(b"one two " + MALFORMED + b" three")
    stats = file_stats(str(bad), batch_size=1)
    assert stats.skipped_batches == 1
    assert stats.english == collections.Counter({"one": 1, "two": 1, "three": 1})

    total = file_stats(str(bad), batch_size=1).merge(stats)
    assert total.files == 2 and total.skipped_batches == 2
    assert total.english == collections.Counter({"one": 2, "two": 2, "three": 2})


# --- the Dask version ----------------------------------------------------------------


def dask_report(*args):
    result = run_script("corpus_stats_dask.py", *args)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout), result.stderr


def test_corpus_stats_dask_on_a_local_cluster(corpus):
    pytest.importorskip("dask.distributed")
    root, expected = corpus
    report, stderr = dask_report(root, "--json", "--workers", 1, "--threads", 1, "--batch-size", 5, "--top", 4)
    check_report(report, expected, 4)
    assert report["bytes"] == expected["bytes"]
    assert re.search(r"bytes: 100%", stderr)


def test_corpus_stats_dask_on_a_running_scheduler(corpus):
    distributed = pytest.importorskip("dask.distributed")
    root, expected = corpus
    # The workers have not got the example scripts: the script must send them.
    with distributed.LocalCluster(
        n_workers=1, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster:
        report, _ = dask_report(root, "--json", "--no-progress", "--scheduler", cluster.scheduler_address, "--top", 5)
    check_report(report, expected, 5)
