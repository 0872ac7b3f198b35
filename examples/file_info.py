"""Dump a RAW file's metadata and logs: file, sample, instrument, run ranges,
scan filters, status log and trailer extra of one scan, error log and
instrument methods.

Usage: python examples/file_info.py LIBRARY RAW_FILE [SCAN]

SCAN (default: the first scan) selects the status-log and trailer-extra rows.
"""
import sys

import native_corvix_py_backend as backend


def section(title: str) -> None:
    print(f"\n[{title}]")


def show(label: str, value: object) -> None:
    print(f"{label:<24} {value}")


def main(argv: list[str]) -> int:
    if len(argv) not in (3, 4):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    backend.set_dylib_path(argv[1])
    raw_path = argv[2]
    handle = backend.open_raw_file(raw_path)
    try:
        if backend.is_error(handle) or not backend.is_open(handle):
            print(f"could not open {raw_path}", file=sys.stderr)
            return 1
        first, last = backend.get_first_scan(handle), backend.get_last_scan(handle)
        scan = int(argv[3]) if len(argv) == 4 else first

        section("file")
        show("name", backend.get_file_name(handle))
        show("description", backend.get_file_description(handle))
        show("created", f"{backend.get_creation_date(handle)} by {backend.get_creator_id(handle)}")
        show("modified", f"{backend.get_modified_date(handle)} by {backend.get_who_modified_id(handle)}")
        show("computer", backend.get_computer_name(handle))
        show("revision", backend.get_revision(handle))

        section("sample")
        show("name", backend.get_sample_name(handle))
        show("id", backend.get_sample_id(handle))
        show("vial", backend.get_sample_vial(handle))
        show("injection volume", backend.get_sample_injection_volume(handle))
        show("dilution factor", backend.get_sample_dilution_factor(handle))
        show("instrument method", backend.get_sample_instrument_method_file(handle))
        show("user texts", backend.get_sample_user_text(handle))

        section("instrument")
        show("name", backend.get_instrument_name(handle))
        show("model", backend.get_instrument_model(handle))
        show("serial number", backend.get_instrument_serial_number(handle))
        show("software version", backend.get_instrument_software_version(handle))
        show("axes", f"{backend.get_instrument_axis_label_x(handle)} / {backend.get_instrument_axis_label_y(handle)}")

        section("run")
        show("scans", f"{first}..{last} ({backend.get_num_scans(handle)})")
        show("time (min)", f"{backend.get_start_time(handle):g}..{backend.get_end_time(handle):g}")
        show("mass range", f"{backend.get_low_mass(handle):g}..{backend.get_high_mass(handle):g}")
        show("has MS data", backend.has_ms_data(handle))
        for index, text in enumerate(backend.get_filters(handle)):
            show(f"filter {index}", text)

        section(f"status log, scan {scan}")
        header = backend.get_status_log_header(handle)
        values = backend.get_status_log_values(handle, scan)
        # The header and the values are split separately; they pair up only
        # when the Reader library writes as many fields in both.
        for label, value in zip(header, values):
            show(label, value)

        section(f"trailer extra, scan {scan}")
        for label, value in zip(backend.get_trailer_extra_labels(handle, scan),
                                backend.get_trailer_extra_values(handle, scan)):
            show(label, value)

        section("error log")
        for index in range(backend.get_error_log_items_count(handle)):
            rt = backend.get_error_log_item_retention_time(handle, index)
            show(f"{rt:.3f} min", backend.get_error_log_item_message(handle, index))

        section("instrument methods")
        for index in range(backend.get_instrument_method_count(handle)):
            method = backend.get_instrument_method(handle, index)
            first_line = method.splitlines()[0] if method else ""
            show(f"method {index}", f"{len(method)} characters: {first_line}")
    finally:
        backend.close_raw_file(handle)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
