"""Command line: python -m mzmlgen (run from tests/ or with tests/ on PYTHONPATH)

    python -m mzmlgen demo OUT.mzML            the demo run (600 scans, MS1 + top-8 MS2)
    python -m mzmlgen bench OUT.mzML [--scans N] [--peaks P]   about N x P peaks, indexed, zlib
    python -m mzmlgen large OUT.mzML [--mb 200]  an unindexed, uncompressed file of about that size
    python -m mzmlgen shape OUT.mzML [--seed S] [--scans N] [--option key=value ...]
"""
from __future__ import annotations

import argparse
import ast
import os
import sys
import time

from . import RunConfig, WriteOptions, benchmark_config, demo_config, make_run, write_mzml


def large_file(path: str, megabytes: float, seed: int = 13):
    """An unindexed file of about `megabytes` MB: a dense profile run written
    uncompressed with 64-bit arrays (a converter's largest shape)."""
    # About 5.5 bytes of base64 text per point and array (64-bit, uncompressed),
    # two arrays per point: scale the run's scan count to the size asked for.
    probe_cfg = RunConfig(seed=seed, n_scans=200, rt_start=0.5, rt_end=90.0, n_features=6000, top_n=4,
                          noise_peaks=300, fragments=(200, 400), profile_points=9)
    probe = make_run(probe_cfg)
    bytes_per_scan = probe.peak_count * 2 * 8 * 4 / 3 / len(probe.spectra) + 2500
    scans = max(50, int(megabytes * 1e6 / bytes_per_scan))
    cfg = RunConfig(**{**probe_cfg.__dict__, "n_scans": scans})
    return write_mzml(make_run(cfg), path, WriteOptions(indexed=False, compression="none", mz_bits=64,
                                                         intensity_bits=64))


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="mzmlgen", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", choices=["demo", "bench", "large", "shape"])
    parser.add_argument("out")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--scans", type=int, default=None)
    parser.add_argument("--peaks", type=int, default=500)
    parser.add_argument("--mb", type=float, default=200.0)
    parser.add_argument("--option", action="append", default=[], help="WriteOptions field=value")
    args = parser.parse_args(argv[1:])
    started = time.perf_counter()
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    if args.what == "demo":
        cfg = demo_config(args.seed if args.seed is not None else 7)
        truth = write_mzml(make_run(cfg), args.out, WriteOptions())
    elif args.what == "bench":
        cfg = benchmark_config(args.seed if args.seed is not None else 11, args.scans or 2000, args.peaks)
        truth = write_mzml(make_run(cfg), args.out, WriteOptions())
    elif args.what == "large":
        truth = large_file(args.out, args.mb, args.seed if args.seed is not None else 13)
    else:
        cfg = RunConfig(seed=args.seed if args.seed is not None else 1, n_scans=args.scans or 300)
        options = {}
        for item in args.option:
            key, _, value = item.partition("=")
            try:
                options[key] = ast.literal_eval(value)
            except (ValueError, SyntaxError):
                options[key] = value
        truth = write_mzml(make_run(cfg), args.out, WriteOptions(**options))
    peaks = sum(s.mz.size for s in truth.spectra)
    print(f"{args.out}: {len(truth.spectra)} spectra, {peaks} peaks, {truth.size / 1e6:.1f} MB "
          f"in {time.perf_counter() - started:.1f} s", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
