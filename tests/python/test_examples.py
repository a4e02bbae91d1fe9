"""Runs every script of examples/ and checks what it prints against the module."""

import ast
import collections
import importlib
import json
import os
import random
import re
import signal
import socket
import socketserver
import subprocess
import sys
import threading
import unicodedata
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
        modules = {
            name: importlib.import_module(name) for name in ("_tokens", "corpus_stats", "corpus_stats_dask")
        }
        yield modules
        for name in modules:
            sys.modules.pop(name, None)


def run_script(name, *args, cwd=ROOT, env=None, timeout=300, **kwargs):
    return subprocess.run(
        [sys.executable, str(EXAMPLES / name), *map(str, args)],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
        **kwargs,
    )


def one_batch_kinds(text):
    """The kind of every token of `text`, read in one batch (malformed UTF-8 included)."""
    tokenizer = tc.FTTokenizer(text)
    try:
        batch = tokenizer.get_batch()
    except UnicodeDecodeError as err:
        batch = err.batch
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


def check_demo_rows(stdout, data):
    """Checks that the table holds every token of the bytes `data`; returns its rows."""
    rows, count_lines = parse_demo(stdout)
    assert "".join(token for _, _, token, _ in rows).encode("utf-8", "surrogateescape") == data
    assert [name for *_, name in rows] == [k.name for k in one_batch_kinds(data)]
    assert count_lines[-1] == ["total", str(len(rows))]
    return rows


@pytest.mark.parametrize("source", ["pipe", "socket", "closed"])
def test_demo_reads_standard_input(source):
    text = "Привет, world!\nx-ray 3.14\n"
    if source == "pipe":
        result = run_script("demo.py", "-", "--batch-size", 4, input=text)
    elif source == "closed":
        result = run_script("demo.py", "-", stdin=subprocess.DEVNULL, preexec_fn=lambda: os.close(0))
        assert result.returncode == 1 and "cannot open standard input" in result.stderr
        return
    else:
        # A socket cannot be reopened through /dev/stdin: it is read whole.
        ours, theirs = socket.socketpair()
        with ours, theirs:
            ours.sendall(text.encode())
            ours.shutdown(socket.SHUT_WR)
            result = run_script("demo.py", "-", stdin=theirs.fileno())
    assert result.returncode == 0, result.stderr
    check_demo_rows(result.stdout, text.encode())


@pytest.mark.parametrize("batch_size", [2, 65536])
def test_demo_shows_malformed_utf8_and_names_it(tmp_path, batch_size):
    # A surrogate, an overlong form inside a word, and a value above U+10FFFF.
    data = b"ab " + MALFORMED + b" cd b\xc1\x81c\n\xf5\x80\x80\x80 end"
    path = tmp_path / "bad.txt"
    path.write_bytes(data)
    result = run_script("demo.py", path, "--batch-size", batch_size)
    assert result.returncode == 0, result.stderr
    rows = {(batch, index): token for batch, index, token, _ in check_demo_rows(result.stdout, data)}
    named = re.findall(r"^malformed UTF-8 in batch (\d+), token (\d+): (b'.*')$", result.stderr, flags=re.MULTILINE)
    assert [ast.literal_eval(raw) for *_, raw in named] == [MALFORMED, b"\xc1\x81", b"\xf5\x80\x80\x80"]
    for batch, index, raw in named:  # each at the row of the token that holds it
        assert ast.literal_eval(raw) in rows[int(batch), int(index)].encode("utf-8", "surrogateescape")


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


def check_report(report, expected, top, skipped=(), malformed=()):
    assert report["files"] == expected["files"]
    assert report["tokens"] == expected["tokens"]
    assert report["kinds"] == expected["kinds"]
    assert list(report["kinds"]) == sorted(report["kinds"], key=lambda name: KINDS[name].value)
    for key in ("english", "russian"):
        ranked = sorted(expected[key].items(), key=lambda item: (-item[1], item[0]))[:top]
        assert [tuple(pair) for pair in report[key]] == ranked
    assert [(s["path"], s["reason"]) for s in report["skipped"]] == sorted(skipped)
    assert report["malformed"] == sorted(malformed)


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    root = tmp_path_factory.mktemp("corpus")
    expected = make_corpus(root, seed=7)
    expected["bytes"] = sum(p.stat().st_size for p in root.rglob("*.txt"))
    return root, expected


@pytest.mark.parametrize("jobs, batch_size, top", [(1, 65536, 100), (2, 7, 3), (3, 1, 0)])
def test_corpus_stats_counts_kinds_and_words(corpus, tmp_path, jobs, batch_size, top):
    root, expected = corpus
    args = [root, "--json", "--no-progress", "--jobs", jobs, "--batch-size", batch_size, "--top", top]
    result = run_script("corpus_stats.py", *args, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    check_report(report, expected, top)
    assert report["bytes"] == expected["bytes"]


def test_corpus_stats_text_report_and_progress(corpus, tmp_path):
    root, expected = corpus
    result = run_script("corpus_stats.py", root, "--jobs", 2, "--top", 2, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    size = f"{expected['bytes'] / 1024:.1f} KiB"
    assert result.stdout.startswith(f"{expected['files']} files, {size}, {expected['tokens']} tokens\n")
    for name, n in expected["kinds"].items():
        assert re.search(rf"^{name}\s+{n}$", result.stdout, flags=re.MULTILINE)
    # tqdm's two bars, on stderr, both finished.
    assert re.search(rf"files: 100%.*{expected['files']}/{expected['files']}", result.stderr)
    assert re.search(r"bytes: 100%", result.stderr)
    timing = re.search(rf"read {re.escape(size)} in ([\d.]+) (s|ms|µs): [\d.]+ (B|kB|MB|GB)/s", result.stderr)
    assert timing and float(timing[1]) >= 1, result.stderr  # a short run is shown in smaller units, never as 0


@pytest.mark.parametrize(
    "show, value, shown",
    [("human_duration", 1.0, "1.00 s"), ("human_duration", 1234.4, "1234 s"), ("human_duration", 0.0412, "41.2 ms"),
     ("human_duration", 0.00087, "870 µs"), ("human_duration", 5e-7, "0.50 µs"), ("human_duration", 0.0, "0.00 µs"),
     ("human_rate", 160, "160 B/s"), ("human_rate", 512e3, "512 kB/s"), ("human_rate", 30.1e6, "30.1 MB/s"),
     ("human_rate", 1.25e9, "1.25 GB/s"), ("human_rate", 2e12, "2000 GB/s")],
)
def test_times_and_rates_are_shown_in_adaptive_units(examples, show, value, shown):
    assert getattr(examples["corpus_stats"], show)(value) == shown


@pytest.mark.parametrize(
    "size, shown",
    [(0, "0 B"), (1023, "1023 B"), (1024, "1.0 KiB"), (1536, "1.5 KiB"), (5 << 20, "5.0 MiB"), (3 << 30, "3.0 GiB"),
     (2048 << 40, "2048.0 TiB")],
)
def test_sizes_are_shown_in_binary_units(examples, size, shown):
    assert examples["corpus_stats"].human_size(size) == shown


@pytest.fixture(scope="module")
def messy(tmp_path_factory):
    root = tmp_path_factory.mktemp("messy")
    (root / "good.txt").write_text("one two, три\n", encoding="utf-8")
    # Names that are not UTF-8: such a file opens all the same, and a skipped
    # one is named with the undecodable bytes escaped.
    broot = os.fsencode(root)
    with open(os.path.join(broot, b"\xffname.txt"), "wb") as f:
        f.write(b"two four\n")
    os.symlink(os.path.join(broot, b"gone"), os.path.join(broot, b"\xfelink.txt"))
    (root / "dangling.txt").symlink_to(root / "nowhere")
    os.mkfifo(root / "pipe.txt")
    (root / "bad.txt").write_bytes(b"five " + MALFORMED + b" six\n")
    expected = {
        "files": 3,
        "english": collections.Counter("one two two four five six".split()),
        "russian": collections.Counter(["три"]),
        "skipped": [
            (f"{root}/dangling.txt", "cannot open: No such file or directory"),
            (f"{root}/\\xfelink.txt", "cannot open: No such file or directory"),
            (f"{root}/pipe.txt", "not a regular file"),
        ],
        "malformed": [f"{root}/bad.txt"],
    }
    return root, expected


@pytest.mark.parametrize("script", ["corpus_stats.py", "corpus_stats_dask.py"])
def test_corpus_scripts_name_what_they_skip(messy, script):
    if script.endswith("dask.py"):
        pytest.importorskip("dask.distributed")
    root, expected = messy
    result = run_script(script, root, "--json", "--no-progress", "--top", 10)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["files"] == expected["files"]
    ranked = sorted(expected["english"].items(), key=lambda item: (-item[1], item[0]))
    assert [tuple(pair) for pair in report["english"]] == ranked
    assert report["russian"] == [["три", 1]]
    assert [(s["path"], s["reason"]) for s in report["skipped"]] == sorted(expected["skipped"])
    assert report["malformed"] == expected["malformed"]
    # Only the ill-formed token is left out.
    assert report["kinds"] == {"WRDSPC": 5, "NWLINE": 3, "ENWORD": 6, "RUWORD": 1, "PNCTTN": 1}
    for path, reason in expected["skipped"]:
        assert f"skipped {path}: {reason}" in result.stderr
    assert f"malformed UTF-8 in {root}/bad.txt" in result.stderr


def test_corpus_stats_counts_malformed_text_as_replacement_characters(messy):
    root, _ = messy
    result = run_script("corpus_stats.py", root, "--json", "--no-progress", "--errors", "replace")
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["malformed"] == []
    replaced = MALFORMED.decode("utf-8", "replace").count("\ufffd")
    assert report["kinds"]["UNKNWN"] == replaced
    assert report["tokens"] == report["kinds"]["WRDSPC"] + 7 + 1 + 3 + replaced  # spaces, words, comma, line feeds


@pytest.mark.parametrize(
    "script, args, message",
    [
        ("corpus_stats.py", ["--batch-size", "-1"], "argument --batch-size: must be at least 1, not -1"),
        ("corpus_stats.py", ["--jobs", "0"], "argument --jobs: must be at least 1, not 0"),
        ("corpus_stats.py", ["--top", "-2"], "argument --top: must be at least 0, not -2"),
        ("corpus_stats.py", ["--jobs", "two"], "argument --jobs: not an integer: 'two'"),
        ("corpus_stats.py", ["--errors", "ignore"], "argument --errors: invalid choice"),
        ("corpus_stats_dask.py", ["--workers", "0"], "argument --workers: must be at least 1, not 0"),
        ("corpus_stats_dask.py", ["--threads", "-1"], "argument --threads: must be at least 1, not -1"),
        ("corpus_stats_dask.py", ["--batch-size", "0"], "argument --batch-size: must be at least 1, not 0"),
        ("demo.py", ["--batch-size", "0"], "argument --batch-size: must be at least 1, not 0"),
    ],
)
def test_scripts_refuse_bad_arguments(tmp_path, script, args, message):
    result = run_script(script, *([] if script == "demo.py" else [tmp_path]), *args)
    assert result.returncode == 2
    assert message in result.stderr and result.stdout == ""


@pytest.mark.parametrize("script", ["corpus_stats.py", "corpus_stats_dask.py"])
def test_corpus_scripts_refuse_a_missing_directory(tmp_path, script):
    result = run_script(script, tmp_path / "nowhere")
    assert result.returncode == 2 and "not a directory" in result.stderr


@pytest.mark.parametrize("pattern, skipped", [("*.csv", None), ("pipe.txt", "pipe.txt: not a regular file")])
@pytest.mark.parametrize("script", ["corpus_stats.py", "corpus_stats_dask.py"])
def test_corpus_scripts_fail_when_no_file_matches(messy, script, pattern, skipped):
    if script.endswith("dask.py"):
        pytest.importorskip("dask.distributed")
    root, _ = messy
    result = run_script(script, root, "--pattern", pattern, "--no-progress")
    assert result.returncode == 1 and result.stdout == ""
    assert f"error: no readable file under {root} matches --pattern {pattern!r}" in result.stderr
    assert (f"skipped {root}/{skipped}" in result.stderr) if skipped else ("skipped" not in result.stderr)


@pytest.fixture(scope="module")
def wordy(tmp_path_factory):
    """A directory with one file of 20,000 distinct words: more output than a pipe holds."""
    root = tmp_path_factory.mktemp("wordy")
    rng = random.Random(3)
    words = {"".join(rng.choices("abcdefghijklmnopqrstuvwxyz", k=10)) for _ in range(20_000)}
    (root / "words.txt").write_text("\n".join(sorted(words)), encoding="utf-8")
    return root


@pytest.mark.parametrize("lines", [0, 2])
@pytest.mark.parametrize("script", ["demo.py", "corpus_stats.py"])
def test_scripts_end_quietly_when_their_reader_goes(wordy, script, lines):
    args = [wordy / "words.txt"] if script == "demo.py" else [wordy, "--no-progress", "--top", 20_000]
    command = [sys.executable, str(EXAMPLES / script), *map(str, args)]
    with subprocess.Popen(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        for _ in range(lines):
            assert process.stdout.readline()
        process.stdout.close()  # as `| head -n LINES` does once it has its lines
        stderr = process.stderr.read().decode()
        status = process.wait(timeout=120)
    # The status a shell shows for a tool that SIGPIPE ended, and no traceback.
    assert status == 128 + signal.SIGPIPE, stderr
    assert "Traceback" not in stderr and "Error" not in stderr


def test_corpus_stats_needs_tqdm_only_for_progress(corpus, tmp_path):
    # A tqdm that cannot be imported, found first on the path.
    (tmp_path / "tqdm.py").write_text("raise ImportError('no tqdm here')\n")
    root, expected = corpus
    env = {**os.environ, "PYTHONPATH": str(tmp_path)}
    result = run_script("corpus_stats.py", root, env=env)
    assert result.returncode == 2 and "progress bars need tqdm" in result.stderr and result.stdout == ""
    result = run_script("corpus_stats.py", root, "--json", "--no-progress", env=env)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["tokens"] == expected["tokens"]


def test_file_stats_reports_unreadable_and_malformed_files(examples, tmp_path):
    file_stats = examples["corpus_stats"].file_stats
    missing = str(tmp_path / "missing.txt")
    stats = file_stats(missing)
    assert stats.skipped == [(missing, "cannot open: No such file or directory")]
    assert stats.files == 0 and stats.kinds.total() == 0

    bad = tmp_path / "bad.txt"
    bad.write_bytes(b"one two " + MALFORMED + b" three")
    stats = file_stats(str(bad), batch_size=1)
    assert stats.malformed == [str(bad)]
    assert stats.english == {"one": 1, "two": 1, "three": 1}

    total = file_stats(str(bad), batch_size=1).merge(stats)
    assert total.files == 2 and total.malformed == [str(bad)] * 2
    assert total.english == {"one": 2, "two": 2, "three": 2}


@pytest.mark.parametrize("step", [1 << 20, 3 << 20])
def test_file_stats_counts_in_steps_and_reports_them(examples, tmp_path, monkeypatch, step):
    corpus_stats = examples["corpus_stats"]
    monkeypatch.setattr(corpus_stats, "STEP_BYTES", step)
    unit = "Alpha beta, гамма-дельта 42\n"
    path = tmp_path / "big.txt"
    path.write_text(unit * 400_000, encoding="utf-8")  # about 12 MB: several reading slices
    size = path.stat().st_size
    reports = []
    stats = corpus_stats.file_stats(str(path), report=lambda p, done: reports.append((p, done)))
    assert stats.english == {"alpha": 400_000, "beta": 400_000}
    assert stats.russian == {"гамма-дельта": 400_000}
    assert stats.kinds == {name: 400_000 * n for name, n in collections.Counter(
        k.name for k in one_batch_kinds(unit)).items()}
    # Reports come while the file is read, in order, and end at its size.
    done = [d for p, d in reports]
    assert {p for p, _ in reports} == {str(path)}
    assert done == sorted(done) and done[-1] == size and len(done) == size // step + 1


@settings(max_examples=100, deadline=None)
@given(text=st.text(max_size=30))
def test_the_kind_of_a_counted_token_is_the_kind_of_its_first_character(examples, text):
    kinds = examples["_tokens"].char_kinds(text)
    for token, kind in paired(examples, text, 65536):
        assert kinds[token[0]] == kind.value
    assert set(text) <= set(kinds)


@settings(max_examples=100, deadline=None)
@given(a=st.dictionaries(st.sampled_from("abcdef"), st.integers(1, 9)),
       b=st.dictionaries(st.sampled_from("abcdef"), st.integers(1, 9)))
def test_add_counts_sums_two_counts(examples, a, b):
    expected = collections.Counter(a) + collections.Counter(b)
    assert examples["_tokens"].add_counts(dict(a), b) == expected


# --- the Dask version ----------------------------------------------------------------


def dask_report(*args, cwd=ROOT):
    result = run_script("corpus_stats_dask.py", *args, cwd=cwd)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout), result.stderr


def test_corpus_stats_dask_on_a_local_cluster(corpus, tmp_path):
    pytest.importorskip("dask.distributed")
    root, expected = corpus
    report, stderr = dask_report(
        root, "--json", "--workers", 1, "--threads", 1, "--batch-size", 5, "--top", 4, cwd=tmp_path
    )
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


def test_corpus_stats_dask_names_an_unreachable_scheduler(corpus):
    pytest.importorskip("dask.distributed")
    root, _ = corpus
    # Nothing listens on the discard port of this host.
    result = run_script("corpus_stats_dask.py", root, "--scheduler", "tcp://127.0.0.1:9", "--timeout", 1, timeout=60)
    assert result.returncode == 1 and result.stdout == ""
    assert "cannot reach the scheduler at tcp://127.0.0.1:9" in result.stderr


class SilentOrJunk(socketserver.BaseRequestHandler):
    """A TCP server that is no Dask scheduler: it sends its `answer`, if any,
    and holds the connection until the client leaves."""

    def handle(self):
        if self.server.answer is not None:
            self.request.sendall(self.server.answer)
        while self.request.recv(1 << 16):
            pass


@pytest.mark.parametrize(
    "answer, message",
    [
        (b"HTTP/1.0 400 Bad Request\r\n\r\n", "{} is not a Dask scheduler: its answer is not a Dask message"),
        (None, "no Dask scheduler answered at {}: it took the connection but said nothing within 2 s"),
    ],
)
def test_corpus_stats_dask_refuses_a_server_that_is_no_scheduler(corpus, answer, message):
    pytest.importorskip("dask.distributed")
    root, _ = corpus
    with socketserver.ThreadingTCPServer(("127.0.0.1", 0), SilentOrJunk) as server:
        server.daemon_threads = True
        server.answer = answer
        threading.Thread(target=server.serve_forever, daemon=True).start()
        address = "tcp://{}:{}".format(*server.server_address)
        # The client library answers junk by asking for an impossible amount
        # of memory; under AddressSanitizer that is an abort unless the
        # allocator may fail as the plain one does. Its warning about it goes
        # to the script's own stderr, not to the sanitizer's report files.
        env = dict(os.environ)
        if "ASAN_OPTIONS" in env:
            env["ASAN_OPTIONS"] += ":allocator_may_return_null=1:log_path=stderr"
        result = run_script(
            "corpus_stats_dask.py", root, "--scheduler", address, "--timeout", 1, env=env, timeout=60
        )
        server.shutdown()
    assert result.returncode == 1 and result.stdout == ""
    assert f"error: {message.format(address)}" in result.stderr
    assert "Traceback" not in result.stderr


# --- documents: Parquet columns and blocks of lines ----------------------------------


def fd_reads(docs):
    """Whether this build's FDTokenizer takes `docs`."""
    if not hasattr(tc, "FDTokenizer"):
        return False
    try:
        tc.FDTokenizer(docs).get_batch()
    except TypeError:
        return False
    return True


def arrow_or_skip():
    pa = pytest.importorskip("pyarrow")
    if not fd_reads(pa.array(["a"])):
        pytest.skip("FDTokenizer does not read Arrow columns in this build")
    return pa, pytest.importorskip("pyarrow.parquet")


def corpus_texts(root):
    return [p.read_text(encoding="utf-8") for p in sorted(root.rglob("*.txt"))]


@pytest.mark.parametrize("kind", ["string", "large_binary"])
def test_corpus_stats_counts_a_parquet_column(corpus, tmp_path, kind):
    pa, pq = arrow_or_skip()
    root, expected = corpus
    texts = corpus_texts(root)
    # The texts of the corpus as rows, with a null and an empty row, in row
    # groups of two, beside a column that is not counted.
    rows = [t if kind == "string" else t.encode() for t in texts] + [None, ""]
    table = pa.table({"id": list(range(len(rows))), "body": pa.array(rows, getattr(pa, kind)())})
    pq.write_table(table, tmp_path / "docs.parquet", row_group_size=2)
    args = ["--json", "--no-progress", "--pattern", "*.parquet", "--column", "body", "--batch-size", 5]
    result = run_script("corpus_stats.py", tmp_path, *args)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    check_report(report, {**expected, "files": 1}, 10)
    assert report["bytes"] == (tmp_path / "docs.parquet").stat().st_size


def test_parquet_files_that_cannot_be_counted_are_named(examples, tmp_path):
    pa, pq = arrow_or_skip()
    parquet_stats = examples["corpus_stats"].parquet_stats
    pq.write_table(pa.table({"text": [1, 2]}), tmp_path / "numbers.parquet")
    pq.write_table(pa.table({"other": ["a"]}), tmp_path / "other.parquet")
    (tmp_path / "junk.parquet").write_bytes(b"not a parquet file")
    (tmp_path / "bad.parquet").write_bytes(b"")
    pq.write_table(pa.table({"text": pa.array([b"one " + MALFORMED + b" two"], pa.binary())}), tmp_path / "bad.parquet")
    reasons = {name: parquet_stats(str(tmp_path / name)).skipped for name in ("numbers.parquet", "other.parquet",
                                                                               "junk.parquet", "gone.parquet")}
    assert reasons["numbers.parquet"] == [(str(tmp_path / "numbers.parquet"), "column 'text' holds int64, not text")]
    assert reasons["other.parquet"] == [(str(tmp_path / "other.parquet"), "no column 'text'")]
    assert reasons["junk.parquet"][0][1].startswith("not a Parquet file: ")
    assert reasons["gone.parquet"][0][1] == "cannot open: No such file or directory"
    bad = parquet_stats(str(tmp_path / "bad.parquet"))
    assert bad.malformed == [str(tmp_path / "bad.parquet")] and bad.english == {"one": 1, "two": 1}


@settings(max_examples=200, deadline=None)
@given(data=st.binary(max_size=60).map(lambda b: b.replace(b"a", b"\n")), block_size=st.integers(1, 20))
def test_line_blocks_cover_a_file_with_whole_lines(examples, tmp_path_factory, data, block_size):
    path = tmp_path_factory.mktemp("blocks") / "f.txt"
    path.write_bytes(data)
    blocks = examples["corpus_stats_dask"].line_blocks(str(path), block_size)
    assert blocks[0][0] == 0 and blocks[-1][1] == len(data)
    assert all(stop == start for (_, stop), (start, _) in zip(blocks, blocks[1:]))
    for start, stop in blocks[:-1]:
        assert data[stop - 1 : stop] == b"\n" and stop - start >= block_size
    # No block but the last could have ended sooner.
    for start, stop in blocks:
        assert b"\n" not in data[start + block_size - 1 : stop - 1]


@pytest.fixture(scope="module")
def split_corpus(corpus, tmp_path_factory):
    """A text file of many lines (one malformed) and, when FDTokenizer reads Arrow
    columns, a Parquet file of several row groups: both larger than a small block."""
    root, _ = corpus
    texts = corpus_texts(root)
    out = tmp_path_factory.mktemp("split")
    lines = "\n".join(texts).encode() + b"\n\nlast " + MALFORMED + b" line\nend"
    (out / "doc-lines.txt").write_bytes(lines)
    (out / "doc-small.txt").write_text("один two\n", encoding="utf-8")
    parquet = False
    try:
        pa, pq = arrow_or_skip()
    except pytest.skip.Exception:
        pass
    else:
        pq.write_table(pa.table({"text": texts + [None]}), out / "doc-rows.parquet", row_group_size=3)
        # Named once, though every row group finds the column missing.
        pq.write_table(pa.table({"other": texts}), out / "doc-other.parquet", row_group_size=3)
        parquet = True
    return out, parquet


def test_corpus_stats_dask_in_parts_equals_one_process(examples, split_corpus):
    pytest.importorskip("dask.distributed")
    if not hasattr(tc, "FDTokenizer"):
        pytest.skip("no FDTokenizer in this build")
    root, parquet = split_corpus
    parts = examples["corpus_stats_dask"].plan_parts(
        sorted(str(p) for p in root.iterdir()), {str(p): p.stat().st_size for p in root.iterdir()}, 200
    )
    kinds = collections.Counter(part.kind for part in parts)
    assert kinds["lines"] > 5 and kinds["file"] == 1 and kinds["row group"] == (6 if parquet else 0)
    args = [root, "--json", "--no-progress", "--pattern", "doc-*", "--top", 50, "--batch-size", 7]
    single = run_script("corpus_stats.py", *args)
    assert single.returncode == 0, single.stderr
    report, _ = dask_report(*args, "--workers", 2, "--block-size", 200)
    assert report == json.loads(single.stdout)
    assert report["files"] == 2 + parquet and report["malformed"] == [str(root / "doc-lines.txt")]
    assert report["skipped"] == ([{"path": str(root / "doc-other.parquet"), "reason": "no column 'text'"}]
                                 if parquet else [])


# --- the README's snippets -------------------------------------------------------------

README = (ROOT / "README.md").read_text(encoding="utf-8")
SNIPPETS = [
    block
    for block in re.findall(r"^```python\n(.*?)^```$", README, flags=re.MULTILINE | re.DOTALL)
    if "print(" in block and "..." not in block and not block.startswith("# Recipe:")
]


@pytest.mark.parametrize("snippet", SNIPPETS, ids=lambda block: block.splitlines()[0][:40])
def test_readme_snippets_print_what_they_say(snippet):
    """Each complete snippet runs, and a `print(...)  # value...` line prints what its comment begins with."""
    code = snippet if snippet.startswith("import") else "import tarvelinCXX as tc\n" + snippet
    result = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    printed = result.stdout.splitlines()
    for comment in re.findall(r"^\s*print\(.*\)\s+# (.*)$", snippet, re.MULTILINE):
        assert any(line and comment.startswith(line) for line in printed), (comment, printed)
    if "Москва-река замерзает" in snippet:
        words = [line.split() for line in printed]
        assert words == [["Москва-река", "RUWORD"], ["замерзает", "RUWORD"], ["the", "ENWORD"],
                         ["well-known", "ENWORD"], ["river", "ENWORD"], ["freezes", "ENWORD"]]


# The table of "Text from the wild": | `text` | form | tokens |
WILD = re.search(r"^## Text from the wild\n(.*?)^## ", README, flags=re.MULTILINE | re.DOTALL)[1]
WILD_ROWS = re.findall(r"^\| `([^`]+)` \| (NFC|NFD) \| (.+) \|$", WILD, flags=re.MULTILINE)
assert len(WILD_ROWS) == 9, "the table of text from the wild has changed its shape"


def shown_tokens(text):
    """The tokens of `text` as the table shows them: `token` KIND, a combining mark as U+XXXX KIND."""
    batch = tc.FTTokenizer(text).get_batch()
    return " · ".join(
        f"{f'U+{ord(token):04X}' if unicodedata.combining(token[0]) else f'`{token}`'} {tc.TokenType(kind).name}"
        for token, kind in zip(batch["text"].split("\0")[:-1], batch["types"].tolist(), strict=True)
    )


@pytest.mark.parametrize("text, form, tokens", WILD_ROWS)
def test_readme_shows_the_tokens_of_text_from_the_wild(text, form, tokens):
    assert shown_tokens(unicodedata.normalize(form, text)) == tokens


@settings(max_examples=200, deadline=None)
@given(text=st.text(alphabet="ab Яж1-\n,\r\u0306\u0301", max_size=60), per_block=st.integers(1, 3))
def test_blocks_of_lines_hold_the_tokens_of_the_whole(text, per_block):
    # The README normalises a file a block of lines at a time: no token spans a line feed.
    lines = re.findall(r"[^\n]*\n|[^\n]+", text)
    blocks = ["".join(lines[i : i + per_block]) for i in range(0, len(lines), per_block)]
    pieces = [tc.FTTokenizer(block).get_batch() for block in blocks]
    whole = tc.FTTokenizer(text).get_batch()
    assert "".join(p["text"] for p in pieces) == whole.get("text", "")
    assert [k for p in pieces for k in p["types"].tolist()] == (whole["types"].tolist() if whole else [])
