"""Token statistics of a directory of UTF-8 text files or Parquet files,
computed on a Dask cluster: the same job and the same report as
corpus_stats.py. By default a local cluster of worker processes is started for
the run; with --scheduler the tasks go to a running cluster, whose workers must
see the files under the same paths (a shared file system).

A text file larger than --block-size (64 MiB by default) is cut into blocks of
whole lines, one task each: every block ends just after a line feed (the last
at the end of the file), and each line of a block is a document of
FDTokenizer. A Parquet file of several row groups is one task per row group,
counted by FDTokenizer on its Arrow column. No token spans a line feed, and
row groups hold whole rows, so the parts add up to what one process counts.
Other files are one task each.

    pip install "tarvelinCXX[dask,examples]"
    python examples/corpus_stats_dask.py DIR [--workers N] [--scheduler ADDRESS] [--block-size BYTES] [--json]
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import os
import sys
import time
from typing import Any, NamedTuple

import _tokens
import corpus_stats
from _tokens import run_main
from corpus_stats import (
    Progress,
    Stats,
    add_common_arguments,
    at_least,
    file_sizes,
    file_stats,
    is_parquet,
    line_block_stats,
    list_files,
    no_files,
    parquet_stats,
    print_report,
)

# The topic on which workers report how far they have read.
TOPIC = "corpus_stats.progress"


class Part(NamedTuple):
    """One task: a whole file ("file"), bytes [start, stop) of a text file
    ("lines"), or row group `start` of a Parquet file ("row group")."""

    path: str
    kind: str
    start: int = 0
    stop: int = 0
    # Bytes of the file this part stands for, for the progress bar.
    weight: int = 0


# How far to look at a time for the line feed that ends a block.
SEEK_STEP = 1 << 16


def line_blocks(path: str, block_size: int) -> list[tuple[int, int]]:
    """Byte ranges [start, stop) of whole lines covering the file, in order: each
    but the last holds at least `block_size` bytes and ends just after a line
    feed; the last ends at the end of the file. An empty file is one empty block."""
    size = os.path.getsize(path)
    blocks: list[tuple[int, int]] = []
    start = 0
    with open(path, "rb") as f:
        while start < size:
            # The line feed at or after the block's last byte ends it.
            pos = start + block_size - 1
            stop = size
            f.seek(pos)
            while chunk := f.read(SEEK_STEP):
                found = chunk.find(b"\n")
                if found >= 0:
                    stop = pos + found + 1
                    break
                pos += len(chunk)
            blocks.append((start, stop))
            start = stop
    return blocks or [(0, 0)]


def row_group_count(path: str) -> int:
    """The row groups of a Parquet file; 0 when it cannot be told here (the
    worker that reads it names the problem)."""
    try:
        import pyarrow.parquet as pq

        with pq.ParquetFile(path) as parquet:
            return int(parquet.num_row_groups)
    except Exception:  # no pyarrow, not Parquet, not readable: one task finds out
        return 0


def plan_parts(paths: list[str], sizes: dict[str, int], block_size: int) -> list[Part]:
    parts = []
    for path in paths:
        size = sizes[path]
        groups = row_group_count(path) if is_parquet(path) else 0
        if groups > 1:
            share = size // groups
            parts += [Part(path, "row group", g, g + 1, share) for g in range(groups)]
        elif not is_parquet(path) and size > block_size:
            try:
                blocks = line_blocks(path, block_size)
            except OSError:
                blocks = []  # gone or unreadable: the whole-file task names it
            parts += [Part(path, "lines", a, b, b - a) for a, b in blocks] or [Part(path, "file", weight=size)]
        else:
            parts.append(Part(path, "file", weight=size))
    return parts


def cluster_part_stats(part: Part, batch_size: int, errors: str, column: str, show_progress: bool) -> Stats:
    """The counts of one part on a worker; a whole file reports its reading to
    the client as worker events."""
    if part.kind == "lines":
        return line_block_stats(part.path, part.start, part.stop, batch_size, errors)
    if part.kind == "row group":
        return parquet_stats(part.path, batch_size, errors, None, column, [part.start])
    from dask.distributed import get_worker

    def report(path: str, done: int) -> None:
        get_worker().log_event(TOPIC, (path, done))

    return file_stats(part.path, batch_size, errors, report if show_progress else None, column)


def run_on_cluster(
    client: Any,
    paths: list[str],
    batch_size: int,
    errors: str,
    show_progress: bool,
    column: str = "text",
    block_size: int = 64 << 20,
) -> Stats:
    from dask.distributed import as_completed

    total = Stats()
    if not paths:
        return total
    sizes = file_sizes(paths)
    parts = plan_parts(paths, sizes, block_size)
    left = collections.Counter(part.path for part in parts)
    # Events arrive on the client's own thread; the loop below takes them.
    events: collections.deque[tuple[str, int]] = collections.deque()
    if show_progress:
        client.subscribe_topic(TOPIC, lambda event: events.append(tuple(event[1])))
    # Client.map has a batch_size keyword of its own: pass ours by position.
    n = len(parts)
    futures = client.map(
        cluster_part_stats, parts, [batch_size] * n, [errors] * n, [column] * n, [show_progress] * n
    )
    part_of = {future.key: part for future, part in zip(futures, parts)}
    try:
        with Progress(sizes, show_progress) as progress:
            finished = as_completed(futures, with_results=True)
            while not finished.is_empty():
                while events:
                    progress.reading(*events.popleft())
                done = finished.next_batch(block=False)
                if not done:
                    time.sleep(0.1)
                for future, stats in done:
                    total.merge(stats)
                    part = part_of[future.key]
                    left[part.path] -= 1
                    if left[part.path]:
                        progress.add(part.path, part.weight)
                    else:
                        progress.finished(part.path)
    finally:
        if show_progress:
            client.unsubscribe_topic(TOPIC)
    return total


async def server_identity(address: str, timeout: float) -> Any:
    """What the Dask server at `address` says it is (a dict whose "type" is
    "Scheduler" for a scheduler)."""
    from distributed.comm import connect

    comm = await connect(address, timeout=timeout)
    try:
        await comm.write({"op": "identity"})
        return await comm.read()
    finally:
        comm.abort()


def scheduler_problem(address: str, timeout: float) -> str | None:
    """None when a Dask scheduler answers at `address`, otherwise what is wrong.

    The Dask client waits for a server's first message without a time limit and
    takes whatever bytes come as one: a server of another kind hangs it, or
    makes it allocate the exabytes that junk read as a length asks for. So the
    server is asked who it is first, within bounds: `connect` gives up on an
    address it cannot reach after `timeout` seconds, and a server that accepts
    the connection gets as long again to answer.
    """
    try:
        identity = asyncio.run(asyncio.wait_for(server_identity(address, timeout), 2 * timeout))
    except TimeoutError:
        return f"no Dask scheduler answered at {address}: it took the connection but said nothing within {2 * timeout} s"
    except OSError as err:
        return f"cannot reach the scheduler at {address}: {err}"
    except Exception as err:  # bytes that are no Dask message: MemoryError, decoding errors, ...
        return f"{address} is not a Dask scheduler: its answer is not a Dask message ({type(err).__name__}: {err})"
    kind = identity.get("type") if isinstance(identity, dict) else None
    if kind != "Scheduler":
        return f"{address} is not a Dask scheduler: it answered as {kind or 'something else'}"
    return None


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_common_arguments(parser)
    parser.add_argument("--scheduler", metavar="ADDRESS", help="address of a running scheduler, e.g. tcp://host:8786")
    parser.add_argument(
        "--timeout",
        type=at_least(1),
        default=3,
        help="seconds to wait for the scheduler to take the connection, and as long again for its answer"
        " (default: %(default)s)",
    )
    parser.add_argument(
        "--workers", type=at_least(1), default=2, help="worker processes of the local cluster (default: %(default)s)"
    )
    parser.add_argument(
        "--threads", type=at_least(1), default=1, help="threads per local worker (default: %(default)s)"
    )
    parser.add_argument(
        "--block-size",
        type=at_least(1),
        default=64 << 20,
        help="a text file larger than this many bytes is counted in blocks of whole lines of at least this size,"
        " one task each (default: %(default)s)",
    )
    args = corpus_stats.parse_arguments(parser, argv)
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        parser.error('this example needs Dask distributed: pip install "dask[distributed]" (or the dask extra)')

    start = time.perf_counter()
    paths, skipped = list_files(args.directory, args.pattern)
    if not paths:
        return no_files(args, skipped)
    if args.scheduler:
        problem = scheduler_problem(args.scheduler, args.timeout)
        if problem:
            print(f"error: {problem}", file=sys.stderr)
            return 1
        try:
            client = Client(args.scheduler, timeout=args.timeout)
        except (OSError, TimeoutError, ValueError) as err:
            print(f"error: cannot reach the scheduler at {args.scheduler}: {err}", file=sys.stderr)
            return 1
        cluster = None
    else:
        cluster = LocalCluster(
            n_workers=args.workers, threads_per_worker=args.threads, processes=True, dashboard_address=None
        )
        client = Client(cluster)
    try:
        # Workers of a running cluster do not have these scripts: send them.
        # The helper module goes first, since the other one imports it.
        if args.scheduler:
            for module in (_tokens, corpus_stats):
                client.upload_file(module.__file__)
        total = run_on_cluster(
            client, paths, args.batch_size, args.errors, not args.no_progress, args.column, args.block_size
        )
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    total.skipped.extend(skipped)
    print_report(total.report(args.top), args.json, time.perf_counter() - start)
    return 0


if __name__ == "__main__":
    run_main(main)
