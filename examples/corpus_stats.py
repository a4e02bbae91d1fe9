"""Token statistics of a directory of UTF-8 text files or Parquet files: the
number of tokens of each kind and the most frequent English and Russian words
(lower-cased, hyphenated compounds included). Files are tokenized in parallel,
one task per file, by a pool of processes; the tokens are counted natively, and
progress is shown over files and over bytes as the files are read.

    python examples/corpus_stats.py DIR [--pattern GLOB] [--jobs N] [--top K] [--json]
    python examples/corpus_stats.py DIR --pattern '*.parquet' [--column text]

A file whose name ends in .parquet or .pq is read as Parquet (this needs
pyarrow): its text column (--column, "text" by default; string or binary) is
read one row group at a time and counted by FDTokenizer straight from the Arrow
column, with no Python str made per row; a null row counts as an empty text.

When no readable file under DIR matches the pattern, the script says so and
exits with status 1. Files that cannot be listed, are not regular files or cannot be opened or read
are skipped and named with the reason, as are Parquet files without the column
or whose column holds no text. A file with malformed UTF-8 is counted
without its ill-formed tokens and named as well; with --errors replace every
ill-formed sequence is counted as U+FFFD instead.
"""

from __future__ import annotations

import argparse
import collections
import fnmatch
import heapq
import io
import json
import multiprocessing
import os
import queue
import stat
import sys
import time
from collections.abc import Callable, Iterable
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from dataclasses import dataclass, field
from typing import Any

import tarvelinCXX as tc
from _tokens import KIND_NAMES, add_counts, char_kinds, run_main

# Bytes read between two progress reports from a worker. Each step's counts are
# merged into the file's, so a step should hold far more tokens than a file
# has distinct ones.
STEP_BYTES = 32 << 20

# Called by a worker as it reads: (path, bytes of it read so far).
Report = Callable[[str, int], None]


def human_size(n: float) -> str:
    """A size in bytes in binary units: 999 B, 1.5 KiB, 2.0 GiB."""
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if n < 1024 or unit == "TiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    raise AssertionError("unreachable")


def in_units(value: float, units: tuple[tuple[str, float], ...]) -> str:
    """`value` in the first of `units` (name, size; largest first) that keeps it at
    1 or more, or in the last one, with about three significant digits."""
    for unit, size in units:
        if value >= size or unit == units[-1][0]:
            x = value / size
            return f"{x:.0f} {unit}" if x >= 100 else f"{x:.1f} {unit}" if x >= 10 else f"{x:.2f} {unit}"
    raise AssertionError("unreachable")


def human_duration(seconds: float) -> str:
    """A duration: 2.35 s, 41.2 ms, 870 µs."""
    return in_units(seconds, (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)))


def human_rate(bytes_per_second: float) -> str:
    """A speed in decimal units: 512 kB/s, 30.1 MB/s, 1.25 GB/s."""
    return in_units(bytes_per_second, (("GB/s", 1e9), ("MB/s", 1e6), ("kB/s", 1e3), ("B/s", 1.0)))


def shown_path(path: str) -> str:
    """A path as it can be printed: bytes of the name that do not decode are escaped as \\xNN."""
    encoding = sys.getfilesystemencoding()
    return path.encode(encoding, "surrogateescape").decode(encoding, "backslashreplace")


@dataclass
class Stats:
    """Counts over one file or, merged, over many."""

    files: int = 0
    bytes: int = 0
    kinds: collections.Counter[str] = field(default_factory=collections.Counter)
    english: dict[str, int] = field(default_factory=dict)
    russian: dict[str, int] = field(default_factory=dict)
    # (path, why): files not counted at all.
    skipped: list[tuple[str, str]] = field(default_factory=list)
    # Files counted without their ill-formed tokens.
    malformed: list[str] = field(default_factory=list)

    def add_tokens(self, counts: dict[str, int]) -> None:
        """Adds {token text: occurrences}, as count_tokens() gives it."""
        kind_of = char_kinds(token[0] for token in counts)
        by_kind: dict[int, int] = collections.defaultdict(int)
        english: dict[str, int] = collections.defaultdict(int)
        russian: dict[str, int] = collections.defaultdict(int)
        enword, ruword = tc.ENWORD.value, tc.RUWORD.value
        for token, n in counts.items():
            kind = kind_of[token[0]]
            by_kind[kind] += n
            if kind == enword:
                english[token.lower()] += n
            elif kind == ruword:
                russian[token.lower()] += n
        self.kinds.update({KIND_NAMES[kind]: n for kind, n in by_kind.items()})
        add_counts(self.english, english)
        add_counts(self.russian, russian)

    def merge(self, other: Stats) -> Stats:
        self.files += other.files
        self.bytes += other.bytes
        self.kinds.update(other.kinds)
        add_counts(self.english, other.english)
        add_counts(self.russian, other.russian)
        self.skipped.extend(other.skipped)
        self.malformed.extend(other.malformed)
        return self

    def report(self, top: int) -> dict[str, Any]:
        """The result as plain data; ties among words are broken alphabetically."""

        def most_common(counts: dict[str, int]) -> list[tuple[str, int]]:
            return heapq.nsmallest(top, counts.items(), key=lambda item: (-item[1], item[0]))

        return {
            "files": self.files,
            "bytes": self.bytes,
            "tokens": self.kinds.total(),
            "kinds": dict(sorted(self.kinds.items(), key=lambda item: tc.TokenType.__members__[item[0]].value)),
            "english": most_common(self.english),
            "russian": most_common(self.russian),
            # A file read in several parts is named once.
            "skipped": [
                {"path": path, "reason": why}
                for path, why in sorted(dict.fromkeys((shown_path(p), why) for p, why in self.skipped))
            ],
            "malformed": sorted(dict.fromkeys(shown_path(path) for path in self.malformed)),
        }


def merged_counts(counts: dict[str, int], part: dict[str, int]) -> dict[str, int]:
    """The sum of two counts, made by adding the smaller dict into the larger."""
    return add_counts(part, counts) if len(part) > len(counts) else add_counts(counts, part)


def counted(
    tokenizer: tc.FFTokenizer | tc.FDTokenizer, max_bytes: int | None, stats: Stats, path: str
) -> dict[str, int]:
    """count_tokens(max_bytes) of `tokenizer`; with malformed UTF-8, the counts
    without the ill-formed tokens, and `path` named once as malformed."""
    try:
        return tokenizer.count_tokens(max_bytes)
    except UnicodeDecodeError as err:
        if path not in stats.malformed:
            stats.malformed.append(path)
        return err.counts  # type: ignore[attr-defined, no-any-return]


PARQUET_SUFFIXES = (".parquet", ".pq")


def is_parquet(path: str) -> bool:
    return path.lower().endswith(PARQUET_SUFFIXES)


def parquet_stats(
    path: str,
    batch_size: int = 65536,
    errors: str = "strict",
    report: Report | None = None,
    column: str = "text",
    row_groups: list[int] | None = None,
) -> Stats:
    """Tokenizes the column `column` of a Parquet file, all its row groups or those
    given. Each row group is read by pyarrow and counted by FDTokenizer on its
    Arrow column. A part without row group 0 counts no file and no bytes, so the
    parts of a file add up to the whole."""
    stats = Stats()
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        stats.skipped.append((path, "reading Parquet needs pyarrow: pip install pyarrow (or the examples extra)"))
        return stats
    try:
        size = os.path.getsize(path)
        parquet = pq.ParquetFile(path)
    except OSError as err:
        stats.skipped.append((path, f"cannot open: {err.strerror or err}"))
        return stats
    except pa.ArrowException as err:
        stats.skipped.append((path, f"not a Parquet file: {err}"))
        return stats
    with parquet:
        if column not in parquet.schema_arrow.names:
            stats.skipped.append((path, f"no column {column!r}"))
            return stats
        groups = list(range(parquet.num_row_groups)) if row_groups is None else row_groups
        counts: dict[str, int] = {}
        for done, group in enumerate(groups, 1):
            try:
                texts = parquet.read_row_group(group, columns=[column]).column(0)
            except (OSError, pa.ArrowException) as err:
                stats.skipped.append((path, f"read failed: {err}"))
                stats.malformed.clear()
                return stats
            try:
                tokenizer = tc.FDTokenizer(texts)
            except TypeError:
                stats.skipped.append((path, f"column {column!r} holds {texts.type}, not text"))
                stats.malformed.clear()
                return stats
            tokenizer.set_batch_size(batch_size)
            tokenizer.set_errors(errors)
            counts = merged_counts(counts, counted(tokenizer, None, stats, path))
            if report is not None:
                report(path, size * done // len(groups))
    if row_groups is None or 0 in row_groups:
        stats.files = 1
        stats.bytes = size
    stats.add_tokens(counts)
    return stats


def line_block_stats(path: str, start: int, end: int, batch_size: int = 65536, errors: str = "strict") -> Stats:
    """Tokenizes bytes [start, end) of a text file, which must begin and end at
    line boundaries: FDTokenizer reads each line (with its line feed) as a
    document. No token spans a line feed, so the blocks of a file give the
    counts of the whole. The block at the start counts the file."""
    stats = Stats()
    try:
        with open(path, "rb") as f:
            f.seek(start)
            data = f.read(end - start)
    except OSError as err:
        stats.skipped.append((path, f"read failed: {err.strerror}"))
        return stats
    # Iterating over BytesIO yields its lines, each up to and with its line feed.
    tokenizer = tc.FDTokenizer(io.BytesIO(data))
    tokenizer.set_batch_size(batch_size)
    tokenizer.set_errors(errors)
    counts = counted(tokenizer, None, stats, path)
    stats.files = int(start == 0)
    stats.bytes = len(data)
    stats.add_tokens(counts)
    return stats


def file_stats(
    path: str, batch_size: int = 65536, errors: str = "strict", report: Report | None = None, column: str = "text"
) -> Stats:
    """Tokenizes one file. Runs in a worker process, so it takes and returns plain data."""
    if is_parquet(path):
        return parquet_stats(path, batch_size, errors, report, column)
    stats = Stats()
    try:
        size = os.path.getsize(path)
    except OSError as err:
        stats.skipped.append((path, f"cannot open: {err.strerror}"))
        return stats
    with tc.FFTokenizer(path) as tokenizer:
        if not tokenizer.is_fopen():
            stats.skipped.append((path, "cannot open"))
            return stats
        tokenizer.set_batch_size(batch_size)
        tokenizer.set_errors(errors)
        counts: dict[str, int] = {}
        # Every call but the last reads at least STEP_BYTES, so the steps end
        # within the file as it was measured; the last one reads to the end,
        # however much that is.
        steps = size // STEP_BYTES
        for step in range(steps + 1):
            try:
                part = counted(tokenizer, STEP_BYTES if step < steps else None, stats, path)
            except OSError as err:
                stats.skipped.append((path, f"read failed: {err.strerror}"))
                stats.malformed.clear()
                return stats
            counts = merged_counts(counts, part)
            if report is not None:
                report(path, min(size, (step + 1) * STEP_BYTES))
    stats.files = 1
    stats.bytes = size
    stats.add_tokens(counts)
    return stats


def list_files(root: str, pattern: str) -> tuple[list[str], list[tuple[str, str]]]:
    """The regular files under `root` (recursively, symbolic links followed to files)
    whose names match `pattern`, sorted; and the (path, why) of those that cannot be had."""
    paths: list[str] = []
    skipped: list[tuple[str, str]] = []

    def unreadable(err: OSError) -> None:
        skipped.append((os.path.abspath(err.filename), f"cannot list: {err.strerror}"))

    for folder, _, names in os.walk(root, onerror=unreadable):
        for name in names:
            if not fnmatch.fnmatchcase(name, pattern):
                continue
            path = os.path.abspath(os.path.join(folder, name))
            try:
                mode = os.stat(path).st_mode
            except OSError as err:
                skipped.append((path, f"cannot open: {err.strerror}"))
                continue
            if stat.S_ISREG(mode):
                paths.append(path)
            else:
                skipped.append((path, "not a regular file"))
    return sorted(paths), skipped


def require_tqdm(parser: argparse.ArgumentParser) -> None:
    """Exits with a clear message when the progress bars cannot be shown."""
    try:
        import tqdm  # noqa: F401
    except ImportError:
        parser.error("the progress bars need tqdm: pip install tqdm (or the examples extra), or pass --no-progress")


class Progress:
    """Two progress bars on stderr: files done and bytes read; nothing when disabled."""

    def __init__(self, sizes: dict[str, int], enabled: bool) -> None:
        self.sizes = sizes
        self.shown = dict.fromkeys(sizes, 0)
        self.enabled = enabled
        if enabled:
            from tqdm import tqdm

            self.files = tqdm(total=len(sizes), desc="files", unit="file", position=0)
            self.bytes = tqdm(
                total=sum(sizes.values()), desc="bytes", unit="B", unit_scale=True, unit_divisor=1024, position=1
            )

    def reading(self, path: str, done: int) -> None:
        """`done` bytes of `path` are read. Reports may come late or out of order."""
        done = min(done, self.sizes[path])
        if done > self.shown[path]:
            if self.enabled:
                self.bytes.update(done - self.shown[path])
            self.shown[path] = done

    def add(self, path: str, done: int) -> None:
        """`done` more bytes of `path` are read (a part of it, counted apart)."""
        self.reading(path, self.shown[path] + done)

    def finished(self, path: str) -> None:
        self.reading(path, self.sizes[path])
        if self.enabled:
            self.files.update(1)

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        if self.enabled:
            self.bytes.close()
            self.files.close()


def at_least(minimum: int) -> Callable[[str], int]:
    """An argparse type: an integer of at least `minimum`."""

    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, not {value}")
        return value

    return convert


positive = at_least(1)


def add_common_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("directory", help="directory to search for text files")
    parser.add_argument(
        "--pattern", default="*.txt", help="file name pattern (default: %(default)s); *.parquet, *.pq: Parquet files"
    )
    parser.add_argument(
        "--column", default="text", help="the text column of Parquet files (default: %(default)s)"
    )
    parser.add_argument("--top", type=at_least(0), default=10, help="words to list per language (default: %(default)s)")
    parser.add_argument("--batch-size", type=positive, default=65536, help="tokens per batch (default: %(default)s)")
    parser.add_argument(
        "--errors",
        choices=("strict", "replace"),
        default="strict",
        help="malformed UTF-8: leave its tokens out and name the file (strict, the default), or count U+FFFD (replace)",
    )
    parser.add_argument("--json", action="store_true", help="print the result as JSON")
    parser.add_argument("--no-progress", action="store_true", help="show no progress bars")


def parse_arguments(parser: argparse.ArgumentParser, argv: list[str] | None) -> argparse.Namespace:
    """Parses and checks the arguments, exiting with a message when they are wrong."""
    args = parser.parse_args(argv)
    if not os.path.isdir(args.directory):
        parser.error(f"not a directory: {args.directory}")
    if not args.no_progress:
        require_tqdm(parser)
    return args


def file_sizes(paths: Iterable[str]) -> dict[str, int]:
    sizes = {}
    for path in paths:
        try:
            sizes[path] = os.path.getsize(path)
        except OSError:
            sizes[path] = 0  # gone since it was listed: the worker names it
    return sizes


def print_skipped(report: dict[str, Any]) -> None:
    for skipped in report["skipped"]:
        print(f"skipped {skipped['path']}: {skipped['reason']}", file=sys.stderr)


def no_files(args: argparse.Namespace, skipped: list[tuple[str, str]]) -> int:
    """Names what was skipped, says that nothing is left to count, and returns the exit status."""
    print_skipped(Stats(skipped=skipped).report(0))
    print(f"error: no readable file under {args.directory} matches --pattern {args.pattern!r}", file=sys.stderr)
    return 1


def print_report(report: dict[str, Any], as_json: bool, seconds: float | None = None) -> None:
    """The report on stdout, and on stderr what was skipped or malformed and the
    time taken; these are written even when stdout is a pipe closed early."""
    try:
        if as_json:
            print(json.dumps(report, ensure_ascii=False, indent=2))
        else:
            print(f"{report['files']} files, {human_size(report['bytes'])}, {report['tokens']} tokens")
            print()
            print(f"{'kind':<8} {'tokens':>10}")
            for name, n in report["kinds"].items():
                print(f"{name:<8} {n:>10}")
            for title, key in (("English", "english"), ("Russian", "russian")):
                print()
                print(f"most frequent {title} words:")
                for word, n in report[key]:
                    print(f"  {word:<24} {n:>8}")
        sys.stdout.flush()
    finally:
        print_skipped(report)
        for path in report["malformed"]:
            print(f"malformed UTF-8 in {path}: its ill-formed tokens are not counted", file=sys.stderr)
        if seconds:
            rate = human_rate(report["bytes"] / seconds)
            print(f"read {human_size(report['bytes'])} in {human_duration(seconds)}: {rate}", file=sys.stderr)


# The queue a worker process reports its reading on, set when it starts.
_progress_queue: Any = None


def _start_worker(progress_queue: Any) -> None:
    global _progress_queue
    _progress_queue = progress_queue


def _report_to_queue(path: str, done: int) -> None:
    _progress_queue.put((path, done))


def _worker_file_stats(path: str, batch_size: int, errors: str, column: str) -> Stats:
    return file_stats(path, batch_size, errors, _report_to_queue, column)


def run_in_processes(
    paths: list[str], jobs: int | None, batch_size: int, errors: str, show_progress: bool, column: str = "text"
) -> Stats:
    total = Stats()
    if not paths:
        return total
    jobs = min(jobs or os.cpu_count() or 1, len(paths))
    context = multiprocessing.get_context()
    reports = context.Queue()
    with ProcessPoolExecutor(jobs, mp_context=context, initializer=_start_worker, initargs=(reports,)) as pool:
        # Every task is handed out before the bars start their thread, so that
        # no worker is forked from a process with threads.
        futures = {pool.submit(_worker_file_stats, path, batch_size, errors, column): path for path in paths}
        with Progress(file_sizes(paths), show_progress) as progress:
            pending: set[Future[Stats]] = set(futures)
            while pending:
                done, pending = wait(pending, timeout=0.2, return_when=FIRST_COMPLETED)
                try:
                    while True:
                        progress.reading(*reports.get_nowait())
                except queue.Empty:
                    pass
                for future in done:
                    total.merge(future.result())
                    progress.finished(futures[future])
    reports.close()
    return total


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_common_arguments(parser)
    parser.add_argument("--jobs", type=positive, default=None, help="worker processes (default: one per core)")
    args = parse_arguments(parser, argv)

    start = time.perf_counter()
    paths, skipped = list_files(args.directory, args.pattern)
    if not paths:
        return no_files(args, skipped)
    total = run_in_processes(paths, args.jobs, args.batch_size, args.errors, not args.no_progress, args.column)
    total.skipped.extend(skipped)
    print_report(total.report(args.top), args.json, time.perf_counter() - start)
    return 0


if __name__ == "__main__":
    run_main(main)
