"""Convert many files on a Dask cluster, one corvix task per file.

Usage:
    python dask_convert.py OUTDIR FILE... [--format mzML|mgf|parquet] [--compression C]
                           [--reader LIB] [--scheduler ADDRESS | --workers N] [--summary]

With --scheduler the files go to a running cluster (for example one started
with `dask scheduler` and `dask worker` on each machine); otherwise a local
cluster of N worker processes is started on this machine. Every worker runs
`corvix.convert.convert_task`, the same function `corvix convert --jobs N`
runs in its worker processes: it converts one file into OUTDIR (written under
a temporary name and renamed when complete) and returns an outcome instead
of raising, so one bad file never stops the others.

With --format parquet the files become a Parquet dataset (one
NAME.peaks.parquet per run, one row per peak; see docs/parquet.md), and
--summary then queries the whole folder with DuckDB: spectra and peaks per
run and MS level.

What the workers need: corvix and the Reader library installed, the input
files and OUTDIR at the same paths as here (a shared file system), and, since
a process keeps the first Reader library it loads, one kind of file per
cluster (or --reader naming the library for all of them). Use one thread per
worker process: the module holds the interpreter lock during its calls.
"""

import argparse
import os
import sys
from collections.abc import Iterator, Sequence

from dask.distributed import Client, LocalCluster, as_completed

from corvix.convert import ConvertJob, ConvertOutcome, convert_task

SUMMARY = """
    select regexp_extract(filename, '([^/\\\\]+)\\.peaks\\.parquet$', 1) as run, ms_level,
           count(distinct scan_number) as spectra, count(mz) as peaks
    from read_parquet(?, filename = true)
    group by all
    order by run, ms_level
"""


def convert_on_cluster(client: Client, jobs: Sequence[ConvertJob]) -> Iterator[ConvertOutcome]:
    """Yield the outcome of every job as soon as a worker has finished it."""
    futures = client.map(convert_task, jobs, pure=False)
    for future in as_completed(futures):  # type: ignore[no-untyped-call]  # dask is untyped
        yield future.result()


def summarise(outdir: str) -> list[tuple[str, int, int, int]]:
    """Spectra and peaks per run and MS level of the Parquet dataset in `outdir`, queried with DuckDB."""
    import duckdb  # type: ignore[import-untyped,import-not-found,unused-ignore]

    pattern = os.path.join(outdir, "*.peaks.parquet")
    rows: list[tuple[str, int, int, int]] = duckdb.connect().execute(SUMMARY, [pattern]).fetchall()
    return rows


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("outdir")
    parser.add_argument("files", nargs="+")
    parser.add_argument("--format", default="mzML", choices=["mzML", "mgf", "parquet"])
    parser.add_argument("--compression", help="as corvix convert --compression (default: the format's own)")
    parser.add_argument("--summary", action="store_true",
                        help="with --format parquet: query the converted folder with DuckDB and print a summary")
    parser.add_argument("--reader", help="Reader library for every file")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes (default 2)")
    args = parser.parse_args(argv)
    if args.summary and args.format != "parquet":
        parser.error("--summary needs --format parquet")

    outdir = os.path.abspath(args.outdir)
    os.makedirs(outdir, exist_ok=True)
    jobs = [ConvertJob(os.path.abspath(path), outdir, args.format, args.reader, args.compression)
            for path in args.files]
    cluster: LocalCluster | None = None
    if args.scheduler:
        client = Client(args.scheduler)  # type: ignore[no-untyped-call]
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1,  # type: ignore[no-untyped-call]
                               processes=True, dashboard_address=None)
        client = Client(cluster)  # type: ignore[no-untyped-call]
    failed = 0
    try:
        for outcome in convert_on_cluster(client, jobs):
            if outcome.ok:
                print(f"converted {outcome.source} -> {outcome.output} ({outcome.scans} spectra)")
            else:
                failed += 1
                print(f"FAILED {outcome.source}: {outcome.error}", file=sys.stderr)
    finally:
        client.close()  # type: ignore[no-untyped-call]
        if cluster is not None:
            cluster.close()
    print(f"{len(jobs) - failed} converted, {failed} failed", file=sys.stderr)
    if args.summary:
        for run, ms_level, spectra, peaks in summarise(outdir):
            print(f"summary: {run} MS{ms_level}: {spectra} spectra, {peaks} peaks")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
