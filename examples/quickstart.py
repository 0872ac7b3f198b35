"""Open a RAW file through the Reader library and print what it reads.

Usage: python examples/quickstart.py [path/to/VelmarNativeReader.dll] [file.raw]

Without a library path the module looks for VELMAR_NATIVE_LIB, then for
VelmarNativeReader.dll in the current directory.
"""
import sys

import native_corvix_py_backend as backend


def main(argv: list[str]) -> int:
    if len(argv) > 1:
        backend.set_dylib_path(argv[1])
    raw_path = argv[2] if len(argv) > 2 else "example.raw"

    handle = backend.open_raw_file(raw_path)
    try:
        if backend.is_error(handle) or not backend.is_open(handle):
            print(f"could not open {raw_path}")
            return 1
        print("file:", backend.get_file_name(handle))
        print("instrument:", backend.get_instrument_model(handle), backend.get_instrument_serial_number(handle))
        first, last = backend.get_first_scan(handle), backend.get_last_scan(handle)
        print(f"scans {first}..{last} ({backend.get_num_scans(handle)}),",
              f"time {backend.get_start_time(handle):.2f}..{backend.get_end_time(handle):.2f} min")
        for scan in range(first, min(last, first + 2) + 1):
            masses, intensities = backend.get_spectrum(handle, scan, 1000)
            print(f"scan {scan}: rt {backend.get_scan_rt(handle, scan):.3f}, MS{backend.get_ms_order(handle, scan)},",
                  f"{len(masses)} points, filter {backend.get_scan_filter_string(handle, scan)!r}")
            for mass, intensity in list(zip(masses, intensities))[:3]:
                print(f"    {mass:10.4f}  {intensity:12.1f}")
        times, tic = backend.get_chromatogram(handle, 0, "", [], [], first, last, 100000)
        print(f"chromatogram: {len(times)} points, max intensity {max(tic, default=0.0):.1f}")
        print("status log fields:", backend.get_status_log_header(handle))
    finally:
        backend.close_raw_file(handle)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
