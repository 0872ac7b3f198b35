"""Print a chromatogram trace as CSV (time,intensity): the whole run (TIC) or,
with --mz, the intensity within a mass window (XIC).

Usage: python examples/chromatogram.py LIBRARY RAW_FILE [--mz MZ] [--ppm PPM]
                                       [--filter FILTER] [--trace-type CODE]

The trace type is a code of the Reader library, passed through unchanged; the
default 0 asks for the trace that the Reader library numbers 0. --filter
restricts the trace to scans that match a scan filter text (see
file_info.py for the file's filters). The apex is reported on standard error.
"""
import argparse
import sys

import native_corvix_py_backend as backend


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description="TIC/XIC chromatogram as CSV")
    parser.add_argument("library")
    parser.add_argument("raw_file")
    parser.add_argument("--mz", type=float, help="centre of the mass window (XIC)")
    parser.add_argument("--ppm", type=float, default=10.0, help="half width of the window in ppm")
    parser.add_argument("--filter", default="", help="scan filter text, empty for all scans")
    parser.add_argument("--trace-type", type=int, default=0, help="Reader library trace-type code")
    args = parser.parse_args(argv[1:])

    starts: list[float] = []
    ends: list[float] = []
    if args.mz is not None:
        half = args.mz * args.ppm * 1e-6
        starts, ends = [args.mz - half], [args.mz + half]

    backend.set_dylib_path(args.library)
    handle = backend.open_raw_file(args.raw_file)
    try:
        if backend.is_error(handle) or not backend.is_open(handle):
            print(f"could not open {args.raw_file}", file=sys.stderr)
            return 1
        first, last = backend.get_first_scan(handle), backend.get_last_scan(handle)
        # The module returns at most `capacity` points and does not say whether
        # more exist: a trace that fills the capacity is asked for again.
        capacity = max(last - first + 2, 16)
        while True:
            times, intensities = backend.get_chromatogram(
                handle, args.trace_type, args.filter, starts, ends, first, last, capacity)
            if len(times) < capacity:
                break
            capacity *= 2
    finally:
        backend.close_raw_file(handle)

    print("time,intensity")
    for time, intensity in zip(times, intensities):
        print(f"{time:.4f},{intensity:.6g}")
    if intensities:
        apex = max(range(len(intensities)), key=intensities.__getitem__)
        print(f"{len(times)} points, apex {intensities[apex]:.6g} at {times[apex]:.4f}", file=sys.stderr)
    else:
        print("empty trace", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
