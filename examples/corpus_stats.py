"""Token statistics of a directory of UTF-8 text files: the number of tokens of
each kind and the most frequent English and Russian words (lower-cased,
hyphenated compounds included). Files are tokenized in parallel, one task per
file, by a pool of processes; progress is shown over files and over bytes.

    python examples/corpus_stats.py DIR [--pattern GLOB] [--jobs N] [--top K] [--json]
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import sys
from collections.abc import Iterable, Iterator
from concurrent.futures import ProcessPoolExecutor, as_completed
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import tarvelinCXX as tc
from _tokens import batches, split_tokens

KIND_NAMES = {member.value: name for name, member in tc.TokenType.__members__.items()}


@dataclass
class Stats:
    """Counts over one file or, merged, over many."""

    files: int = 0
    bytes: int = 0
    kinds: collections.Counter[str] = field(default_factory=collections.Counter)
    english: collections.Counter[str] = field(default_factory=collections.Counter)
    russian: collections.Counter[str] = field(default_factory=collections.Counter)
    skipped_batches: int = 0
    unreadable: list[str] = field(default_factory=list)

    def merge(self, other: Stats) -> Stats:
        self.files += other.files
        self.bytes += other.bytes
        self.kinds.update(other.kinds)
        self.english.update(other.english)
        self.russian.update(other.russian)
        self.skipped_batches += other.skipped_batches
        self.unreadable.extend(other.unreadable)
        return self

    def report(self, top: int) -> dict[str, Any]:
        """The result as plain data; ties among words are broken alphabetically."""

        def most_common(counter: collections.Counter[str]) -> list[tuple[str, int]]:
            return sorted(counter.items(), key=lambda item: (-item[1], item[0]))[:top]

        return {
            "files": self.files,
            "bytes": self.bytes,
            "tokens": self.kinds.total(),
            "kinds": dict(sorted(self.kinds.items(), key=lambda item: tc.TokenType.__members__[item[0]].value)),
            "english": most_common(self.english),
            "russian": most_common(self.russian),
            "skipped_batches": self.skipped_batches,
            "unreadable": sorted(self.unreadable),
        }


def file_stats(path: str, batch_size: int = 65536) -> Stats:
    """Tokenizes one file. Runs in a worker process, so it takes and returns plain data."""
    stats = Stats(files=1)
    tokenizer = tc.FFTokenizer(path)
    if not tokenizer.is_fopen():
        stats.unreadable.append(path)
        return stats
    stats.bytes = os.path.getsize(path)
    tokenizer.set_batch_size(batch_size)
    skipped = [0]
    for batch in batches(tokenizer, skipped):
        types = batch["types"].tolist()
        stats.kinds.update(KIND_NAMES[kind] for kind in types)
        for token, kind in zip(split_tokens(batch["text"], batch["types"]), types, strict=True):
            if kind == tc.ENWORD.value:
                stats.english[token.lower()] += 1
            elif kind == tc.RUWORD.value:
                stats.russian[token.lower()] += 1
    stats.skipped_batches = skipped[0]
    return stats


def list_files(root: str, pattern: str) -> list[str]:
    """The files under `root` (recursively) whose names match `pattern`, sorted."""
    return sorted(str(p.resolve()) for p in Path(root).rglob(pattern) if p.is_file())


class Progress:
    """Two progress bars on stderr: files done and bytes done."""

    def __init__(self, paths: list[str], enabled: bool) -> None:
        from tqdm import tqdm

        total = sum(os.path.getsize(p) for p in paths)
        self.files = tqdm(total=len(paths), desc="files", unit="file", position=0, disable=not enabled)
        self.bytes = tqdm(
            total=total, desc="bytes", unit="B", unit_scale=True, unit_divisor=1024, position=1, disable=not enabled
        )

    def advance(self, stats: Stats) -> None:
        self.files.update(stats.files)
        self.bytes.update(stats.bytes)

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        self.bytes.close()
        self.files.close()


def add_common_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("directory", help="directory to search for text files")
    parser.add_argument("--pattern", default="*.txt", help="file name pattern (default: %(default)s)")
    parser.add_argument("--top", type=int, default=10, help="words to list per language (default: %(default)s)")
    parser.add_argument("--batch-size", type=int, default=65536, help="tokens per batch (default: %(default)s)")
    parser.add_argument("--json", action="store_true", help="print the result as JSON")
    parser.add_argument("--no-progress", action="store_true", help="show no progress bars")


def print_report(report: dict[str, Any], as_json: bool) -> None:
    if as_json:
        print(json.dumps(report, ensure_ascii=False, indent=2))
        return
    print(f"{report['files']} files, {report['bytes']} bytes, {report['tokens']} tokens")
    print()
    print(f"{'kind':<8} {'tokens':>10}")
    for name, n in report["kinds"].items():
        print(f"{name:<8} {n:>10}")
    for title, key in (("English", "english"), ("Russian", "russian")):
        print()
        print(f"most frequent {title} words:")
        for word, n in report[key]:
            print(f"  {word:<24} {n:>8}")
    if report["skipped_batches"]:
        print(f"\n{report['skipped_batches']} batch(es) of malformed UTF-8 skipped")
    for path in report["unreadable"]:
        print(f"cannot open {path}", file=sys.stderr)


def collect(results: Iterable[Stats], progress: Progress) -> Stats:
    total = Stats()
    for stats in results:
        total.merge(stats)
        progress.advance(stats)
    return total


def run_in_processes(paths: list[str], jobs: int | None, batch_size: int, show_progress: bool) -> Stats:
    with ProcessPoolExecutor(max_workers=jobs) as pool, Progress(paths, show_progress) as progress:
        futures = [pool.submit(file_stats, path, batch_size) for path in paths]

        def done() -> Iterator[Stats]:
            for future in as_completed(futures):
                yield future.result()

        return collect(done(), progress)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_common_arguments(parser)
    parser.add_argument("--jobs", type=int, default=None, help="worker processes (default: one per core)")
    args = parser.parse_args(argv)

    if not os.path.isdir(args.directory):
        parser.error(f"not a directory: {args.directory}")
    paths = list_files(args.directory, args.pattern)
    total = run_in_processes(paths, args.jobs, args.batch_size, not args.no_progress)
    print_report(total.report(args.top), args.json)
    return 0


if __name__ == "__main__":
    sys.exit(main())
