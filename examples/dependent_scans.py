"""List the dependent scans recorded for each MS1 scan: scan index, filter,
precursor masses and isolation widths of each dependent.

Usage: python examples/dependent_scans.py LIBRARY RAW_FILE [FIRST [LAST]]

FIRST and LAST limit the scan range (default: the whole file). The ms_order
argument of the dependent-scan functions is a Reader library value; this
example passes the MS order of the scan whose dependents it lists.
"""
import sys

import native_corvix_py_backend as backend


def main(argv: list[str]) -> int:
    if not 3 <= len(argv) <= 5:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    backend.set_dylib_path(argv[1])
    raw_path = argv[2]
    handle = backend.open_raw_file(raw_path)
    try:
        if backend.is_error(handle) or not backend.is_open(handle):
            print(f"could not open {raw_path}", file=sys.stderr)
            return 1
        first = int(argv[3]) if len(argv) > 3 else backend.get_first_scan(handle)
        last = int(argv[4]) if len(argv) > 4 else backend.get_last_scan(handle)
        for scan in range(first, last + 1):
            ms_order = backend.get_ms_order(handle, scan)
            if ms_order != 1:
                continue
            count = backend.get_scan_dependents_count(handle, scan, ms_order)
            scan_type = backend.get_scan_stats_scan_type(handle, scan)
            print(f"scan {scan} rt {backend.get_scan_rt(handle, scan):.3f} ({scan_type or 'no scan type'}):"
                  f" {max(count, 0)} dependent scans")
            for detail in range(count):
                index = backend.get_scan_dependent_detail_scan_index(handle, scan, ms_order, detail)
                text = backend.get_scan_dependent_detail_filter_string(handle, scan, ms_order, detail)
                precursors = backend.get_scan_dependent_detail_precursor_mass_array(handle, scan, ms_order, detail)
                widths = backend.get_scan_dependent_detail_isolation_width_array(handle, scan, ms_order, detail)
                # None means the Reader library has no such detail to give.
                masses = "-" if precursors is None else ", ".join(f"{m:.4f}" for m in precursors)
                isolation = "-" if widths is None else ", ".join(f"{w:g}" for w in widths)
                print(f"  {detail}: scan index {index}, filter {text!r}, precursors [{masses}], widths [{isolation}]")
    finally:
        backend.close_raw_file(handle)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
