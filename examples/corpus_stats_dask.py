"""Token statistics of a directory of UTF-8 text files, computed on a Dask
cluster: the same job and the same report as corpus_stats.py, one task per
file. By default a local cluster of worker processes is started for the run;
with --scheduler the tasks go to a running cluster, whose workers must see the
files under the same paths (a shared file system).

    pip install "tarvelinCXX[dask,examples]"
    python examples/corpus_stats_dask.py DIR [--workers N] [--scheduler ADDRESS] [--json]
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import sys
import time
from typing import Any

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
    list_files,
    no_files,
    print_report,
)

# The topic on which workers report how far they have read.
TOPIC = "corpus_stats.progress"


def cluster_file_stats(path: str, batch_size: int, errors: str, show_progress: bool) -> Stats:
    """file_stats on a worker, reporting its reading to the client as worker events."""
    from dask.distributed import get_worker

    def report(path: str, done: int) -> None:
        get_worker().log_event(TOPIC, (path, done))

    return file_stats(path, batch_size, errors, report if show_progress else None)


def run_on_cluster(client: Any, paths: list[str], batch_size: int, errors: str, show_progress: bool) -> Stats:
    from dask.distributed import as_completed

    total = Stats()
    if not paths:
        return total
    # Events arrive on the client's own thread; the loop below takes them.
    events: collections.deque[tuple[str, int]] = collections.deque()
    if show_progress:
        client.subscribe_topic(TOPIC, lambda event: events.append(tuple(event[1])))
    # Client.map has a batch_size keyword of its own: pass ours by position.
    n = len(paths)
    futures = client.map(cluster_file_stats, paths, [batch_size] * n, [errors] * n, [show_progress] * n)
    path_of = {future.key: path for future, path in zip(futures, paths)}
    try:
        with Progress(file_sizes(paths), show_progress) as progress:
            finished = as_completed(futures, with_results=True)
            while not finished.is_empty():
                while events:
                    progress.reading(*events.popleft())
                done = finished.next_batch(block=False)
                if not done:
                    time.sleep(0.1)
                for future, stats in done:
                    total.merge(stats)
                    progress.finished(path_of[future.key])
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
        total = run_on_cluster(client, paths, args.batch_size, args.errors, not args.no_progress)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    total.skipped.extend(skipped)
    print_report(total.report(args.top), args.json, time.perf_counter() - start)
    return 0


if __name__ == "__main__":
    run_main(main)
