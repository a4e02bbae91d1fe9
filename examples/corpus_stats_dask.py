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
import os
import sys
from collections.abc import Iterator

from dask.distributed import Client, LocalCluster, as_completed

import _tokens
import corpus_stats
from corpus_stats import Progress, Stats, add_common_arguments, collect, file_stats, list_files, print_report


def run_on_cluster(client: Client, paths: list[str], batch_size: int, show_progress: bool) -> Stats:
    # Client.map has a batch_size keyword of its own: pass ours by position.
    futures = client.map(file_stats, paths, [batch_size] * len(paths))
    with Progress(paths, show_progress) as progress:

        def done() -> Iterator[Stats]:
            for _, stats in as_completed(futures, with_results=True):
                yield stats

        return collect(done(), progress)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_common_arguments(parser)
    parser.add_argument("--scheduler", metavar="ADDRESS", help="address of a running scheduler, e.g. tcp://host:8786")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster (default: %(default)s)")
    parser.add_argument("--threads", type=int, default=1, help="threads per local worker (default: %(default)s)")
    args = parser.parse_args(argv)

    if not os.path.isdir(args.directory):
        parser.error(f"not a directory: {args.directory}")
    paths = list_files(args.directory, args.pattern)

    if args.scheduler:
        client = Client(args.scheduler)
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
        total = run_on_cluster(client, paths, args.batch_size, not args.no_progress)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    print_report(total.report(args.top), args.json)
    return 0


if __name__ == "__main__":
    sys.exit(main())
