"""The ``corvix`` command line: convert, info, xic, plot."""

from __future__ import annotations

import argparse
import csv
import json
import math
import os
import sys
import warnings
from collections import Counter
from collections.abc import Sequence
from typing import Any, TextIO

import numpy as np

from . import __version__
from .convert import COMPRESSIONS, FORMATS, ConvertJob, ConvertOutcome, describe, normalise_compression, \
    normalise_format, output_path
from .damage import DamagedRunWarning
from .errors import ReaderError
from .run import Run

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


def _format(value: str) -> str:
    try:
        return normalise_format(value)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _window(value: str) -> tuple[float, float]:
    """'A:B' -> (A, B); either side may be empty (open)."""
    start, sep, end = value.partition(":")
    try:
        if not sep:
            raise ValueError
        window = (float(start) if start.strip() else -math.inf, float(end) if end.strip() else math.inf)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected START:END in minutes, not {value!r}") from None
    if window[0] > window[1]:
        raise argparse.ArgumentTypeError(f"empty window {value!r}: START is after END")
    return window


def _positive_int(value: str) -> int:
    try:
        number = int(value)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number >= 1, not {value!r}")
    return number


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``corvix`` command."""
    parser = argparse.ArgumentParser(
        prog="corvix", description="Read mass-spectrometry files through the Reader library; convert them to "
        "mzML, MGF or Parquet, summarise them, extract chromatograms and draw spectra.")
    parser.add_argument("--version", action="version", version=f"corvix {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    reader_help = ("Reader library to read the files with (default: the module's own search; "
                   ".mzML/.mzML.gz files use the mzML Reader library)")

    convert = commands.add_parser(
        "convert", help="convert files to mzML, MGF or Parquet",
        description="Convert each input file to mzML (indexed, float64 arrays), to MGF (MS2 and higher "
        "scans) or to Parquet (one row per peak, the scan's facts beside it; the stored chromatograms in a "
        "second file, NAME.chromatograms.parquet). Outputs are written under a temporary name and renamed "
        "when complete. A file that fails is reported and skipped; the exit status is 1 when any file failed. "
        "What a format cannot carry is counted on the file's line (--strict fails the file instead).")
    convert.add_argument("inputs", nargs="+", metavar="IN", help="input files")
    convert.add_argument("-o", "--outdir", required=True, help="output directory (created if missing)")
    convert.add_argument("-f", "--format", type=_format, default="mzML",
                         help=f"output format: {', '.join(FORMATS)} (default mzML)")
    convert.add_argument("-c", "--compression", default=None,
                         help="mzML: " + ", ".join(COMPRESSIONS["mzML"]) + " (MS-Numpress is lossy); parquet: "
                         + ", ".join(COMPRESSIONS["parquet"]) + "; default: the first of each")
    convert.add_argument("--strict", action="store_true",
                         help="fail a file, writing nothing, when its output cannot carry all of its data")
    convert.add_argument("-j", "--jobs", type=_positive_int, default=1,
                         help="files converted at once (worker processes; threads on an interpreter "
                         "without its global lock); default 1")
    convert.add_argument("--reader", help=reader_help)
    convert.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                         help="show progress bars (default: when stderr is a terminal)")
    convert.add_argument("--allow-damaged", action="store_true",
                         help="convert what is readable of a file that lost spectra to damage (such a file "
                         "fails otherwise); the summary names the loss")

    info = commands.add_parser("info", help="summarise a file",
                               description="Run summary: file, instrument, sample, scan counts per MS order "
                               "and retention-time range.")
    info.add_argument("file")
    info.add_argument("--json", action="store_true", help="print JSON instead of text")
    info.add_argument("--reader", help=reader_help)

    xic = commands.add_parser("xic", help="extracted-ion chromatogram as CSV or PNG",
                              description="Print the extracted-ion chromatogram around an m/z as CSV "
                              "(rt_min,intensity), or draw it to a PNG file.")
    xic.add_argument("file")
    xic.add_argument("--mz", type=float, required=True, help="m/z at the centre of the window")
    xic.add_argument("--ppm", type=float, default=10.0, help="half width of the window in ppm (default 10)")
    xic.add_argument("--rt", type=_window, help="retention-time window START:END in minutes")
    xic.add_argument("--filter", default="", help="only scans matching this filter text")
    xic.add_argument("--png", help="draw the trace to this PNG file instead of printing CSV")
    xic.add_argument("--reader", help=reader_help)

    plot = commands.add_parser("plot", help="draw a spectrum to a PNG file",
                               description="Draw the peaks of one scan (centroid data where the Reader "
                               "library has them, else the spectrum as stored).")
    plot.add_argument("file")
    plot.add_argument("--scan", type=int, required=True, help="scan number")
    plot.add_argument("--png", required=True, help="output PNG file")
    plot.add_argument("--profile", action="store_true", help="draw the spectrum as stored, not the centroids")
    plot.add_argument("--reader", help=reader_help)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "convert":
        try:
            args.compression = normalise_compression(args.format, args.compression)
        except ValueError as error:
            parser.error(f"argument -c/--compression: {error}")
    try:
        if args.command == "convert":
            return _convert(args)
        if args.command == "info":
            return _info(args, sys.stdout)
        if args.command == "xic":
            return _xic(args, sys.stdout)
        return _plot(args)
    except KeyboardInterrupt:
        print("corvix: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of our output went away (`corvix xic ... | head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return EXIT_FAILED
    except (OSError, ReaderError, ValueError, IndexError) as error:
        print(f"corvix {args.command}: {error}", file=sys.stderr)
        return EXIT_FAILED


def _convert(args: argparse.Namespace) -> int:
    from .parallel import ProgressBars, convert_many

    os.makedirs(args.outdir, exist_ok=True)
    jobs: list[ConvertJob] = []
    refused: list[ConvertOutcome] = []
    taken: dict[str, str] = {}
    for source in args.inputs:
        target = os.path.normcase(os.path.abspath(output_path(source, args.outdir, args.format)))
        if target in taken:
            refused.append(ConvertOutcome(source, None, 0, 0.0,
                                          f"its output {target} is also the output of {taken[target]}"))
            continue
        taken[target] = source
        jobs.append(ConvertJob(source, args.outdir, args.format, args.reader, args.compression, args.strict,
                               args.allow_damaged))

    def report(outcome: ConvertOutcome) -> None:
        if outcome.ok:
            stored = f", {outcome.chromatograms} chromatograms" if outcome.chromatograms else ""
            line = (f"converted {outcome.source} -> {outcome.output} ({outcome.scans} spectra{stored}, "
                    f"{outcome.seconds:.2f} s)")
            if outcome.not_carried:
                line += f"; not carried: {describe(outcome.not_carried)}"
            if outcome.damage:
                line += f"; DAMAGED: {outcome.damage}, not in the output"
            ProgressBars.write_line(line, sys.stdout)
        else:
            ProgressBars.write_line(f"FAILED {outcome.source}: {outcome.error}", sys.stderr)

    for outcome in refused:
        report(outcome)
    outcomes = convert_many(jobs, args.jobs, args.progress, report) if jobs else []
    failed = len(refused) + sum(not o.ok for o in outcomes) + (len(jobs) - len(outcomes))
    converted = sum(o.ok for o in outcomes)
    partial = sum(bool(o.ok and o.not_carried) for o in outcomes)
    damaged = sum(o.ok and o.damage is not None for o in outcomes)
    print(f"{converted} converted, {failed} failed"
          + (f" ({partial} with data not carried)" if partial else "")
          + (f", {damaged} of the converted damaged" if damaged else ""), file=sys.stderr)
    return EXIT_FAILED if failed else EXIT_OK


def summary(run: Run) -> dict[str, Any]:
    """What ``corvix info`` prints: metadata, scan counts per MS order, RT range, damage."""
    meta = run.metadata()
    damage = run.damage
    lost = set(damage.positions)
    orders = Counter(int(o) for position, o in enumerate(run.ms_orders) if position not in lost)
    times = run.retention_times
    finite = times[np.isfinite(times)]
    return {
        "file": run.path,
        "run": meta["run"],
        "instrument": meta["instrument"],
        "sample": meta["sample"],
        "scans": len(run),
        "scans_per_ms_order": {str(order): orders[order] for order in sorted(orders)},
        "rt_range_min": [float(finite.min()), float(finite.max())] if len(finite) else None,
        "damage": None if not damage.lost else {
            "summary": damage.describe(), "spectra_lost": damage.spectra, "unknown_more": damage.unknown,
            "chromatograms_lost": damage.chromatograms, "log": list(damage.messages)},
    }


def _info(args: argparse.Namespace, out: TextIO) -> int:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DamagedRunWarning)  # the summary shows it
        with Run(args.file, args.reader) as run:
            facts = summary(run)
    if args.json:
        json.dump(facts, out, indent=2, allow_nan=False, default=str)
        out.write("\n")
        return EXIT_OK
    run_info, instrument, sample = facts["run"], facts["instrument"], facts["sample"]
    lines = [
        f"file:        {facts['file']}",
        f"instrument:  {_text(instrument.get('model'))} ({_text(instrument.get('name'))}, "
        f"serial {_text(instrument.get('serial_number'))}, software {_text(instrument.get('software_version'))})",
        f"sample:      {_text(sample.get('name'))} (id {_text(sample.get('id'))})",
        f"created:     {_text(run_info.get('creation_date'))}",
        f"scans:       {facts['scans']}"
        + (f" ({run_info['first_scan']}..{run_info['last_scan']})" if facts["scans"] else ""),
    ]
    for order, count in facts["scans_per_ms_order"].items():
        lines.append(f"  MS{order}:       {count}")
    if facts["rt_range_min"]:
        start, end = facts["rt_range_min"]
        lines.append(f"rt range:    {start:.4f} .. {end:.4f} min")
    if facts["damage"]:
        damage = facts["damage"]
        lines.append(f"DAMAGED:     {damage['summary']}; the rest reads as written")
        lines.extend(f"  {message}" for message in damage["log"])
    out.write("\n".join(lines) + "\n")
    return EXIT_OK


def _text(value: object) -> str:
    return "-" if value in (None, "") else str(value)


def _xic(args: argparse.Namespace, out: TextIO) -> int:
    with Run(args.file, args.reader) as run:
        trace = run.xic(args.mz, ppm=args.ppm, rt=args.rt, filter=args.filter)
    if args.png:
        from .plotting import draw_trace

        draw_trace(trace, args.png, title=f"XIC {args.mz} ± {args.ppm} ppm: {os.path.basename(args.file)}")
        print(f"wrote {args.png} ({len(trace.rt)} points)", file=sys.stderr)
        return EXIT_OK
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["rt_min", "intensity"])
    writer.writerows(zip(trace.rt.tolist(), trace.intensity.tolist()))
    return EXIT_OK


def _plot(args: argparse.Namespace) -> int:
    from .plotting import draw_peaks

    with Run(args.file, args.reader) as run:
        scan = run[args.scan]
        peaks = scan.peaks(centroid=False if args.profile else None)
        sticks = not args.profile and (scan.centroid or run.centroids(args.scan) is not None)
        title = f"{os.path.basename(args.file)} scan {scan.number} (rt {scan.rt:.3f} min)"
        if scan.filter:
            title += f"\n{scan.filter}"
    draw_peaks(peaks, args.png, title=title, sticks=bool(sticks))
    print(f"wrote {args.png} ({len(peaks.mz)} points)", file=sys.stderr)
    return EXIT_OK
