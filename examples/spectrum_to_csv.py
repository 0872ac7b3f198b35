"""Export the spectrum of one scan as CSV (mass,intensity).

Usage: python examples/spectrum_to_csv.py LIBRARY RAW_FILE SCAN [OUT.csv]

LIBRARY is the path of VelmarNativeReader.dll. Without OUT.csv the CSV goes
to standard output. The number of points is not known in advance: the module
returns at most as many points as the capacity asked for, so the capacity is
doubled until the scan fits.
"""
import csv
import sys
from typing import TextIO

import native_corvix_py_backend as backend


def read_spectrum(handle: int, scan: int, capacity: int = 4096) -> tuple[list[float], list[float]]:
    while True:
        masses, intensities = backend.get_spectrum(handle, scan, capacity)
        if len(masses) < capacity:
            return masses, intensities
        capacity *= 2


def write_csv(out: TextIO, masses: list[float], intensities: list[float]) -> None:
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["mass", "intensity"])
    writer.writerows(zip(masses, intensities))


def main(argv: list[str]) -> int:
    if len(argv) not in (4, 5):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    library, raw_path, scan = argv[1], argv[2], int(argv[3])
    backend.set_dylib_path(library)
    handle = backend.open_raw_file(raw_path)
    try:
        if backend.is_error(handle) or not backend.is_open(handle):
            print(f"could not open {raw_path}", file=sys.stderr)
            return 1
        first, last = backend.get_first_scan(handle), backend.get_last_scan(handle)
        if not first <= scan <= last:
            print(f"scan {scan} is outside {first}..{last}", file=sys.stderr)
            return 1
        masses, intensities = read_spectrum(handle, scan)
        if len(argv) == 5:
            with open(argv[4], "w", newline="", encoding="utf-8") as out:
                write_csv(out, masses, intensities)
        else:
            write_csv(sys.stdout, masses, intensities)
        print(f"scan {scan}: {len(masses)} points, {backend.get_scan_filter_string(handle, scan)!r}", file=sys.stderr)
    finally:
        backend.close_raw_file(handle)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
