"""What each of the 187 functions is: the one family and capacity table the
tests import.

One record per function: its entry point, its buffer family, the capacity
the module must lend, and what a negative status gives. The records are
written from the design of each family, not read from the module;
test_reliability_families.py checks them against the stand-in's independent
table of native signatures so that a wrong record cannot hide a wrong module.
"""
import math
from dataclasses import dataclass

from signatures import NAMES

INT_MIN, INT_MAX = -(2**31), 2**31 - 1

# Terminated single texts: capacity in bytes.
SINGLE_TEXT = {
    **dict.fromkeys(
        [
            "get_creator_id", "get_creation_date", "get_modified_date", "get_who_modified_id",
            "get_who_created_logon", "get_who_modified_logon", "get_computer_name", "get_sample_vial",
        ],
        256,
    ),
    **dict.fromkeys(
        [
            "get_file_name", "get_file_description", "get_sample_id", "get_sample_name", "get_sample_barcode",
            "get_sample_comment", "get_sample_instrument_method_file", "get_autosampler_tray_name",
            "get_instrument_name", "get_instrument_model", "get_instrument_serial_number",
            "get_instrument_hardware_version", "get_instrument_software_version", "get_instrument_flags",
            "get_instrument_axis_label_x", "get_instrument_axis_label_y", "get_scan_filter_string",
            "get_scan_event_string", "get_path",
        ],
        1024,
    ),
    "get_error_log_item_message": 8192,
    "get_instrument_method": 131072,
}
SILENT_TEXT = {"get_sample_calibration_file": 8192, "get_sample_calibration_level": 8192,
               "get_sample_processing_method_file": 8192}
FIELD_LISTS = {"get_status_log_header": 8192, "get_status_log_values": 8192, "get_status_log_values_for_rt": 16384,
               "get_trailer_extra_header": 8192, "get_trailer_extra_labels": 8192, "get_trailer_extra_values": 8192}
USER_TEXT = {"get_sample_user_text": 16384}
SLOTS = {"get_filters": 1024, "get_scan_filter_meta_filters": 32}
# Counted texts: the status is the byte length; capacity 1024.
COUNTED = {"get_scan_stats_scan_type", "get_scan_dependent_detail_filter_string"}
DEPENDENT_ARRAYS = {"get_scan_dependent_detail_precursor_mass_array",
                    "get_scan_dependent_detail_isolation_width_array"}
# Caller-sized arrays: the capacity parameter and the number of output arrays.
CALLER_SIZED = {"get_spectrum": ("max_length", 2), "get_centroid_stream": ("max_length", 5),
                "get_averaged_spectrum": ("max_length", 2), "get_chromatogram": ("max_length", 2),
                "get_ms2_filter_masses": ("max_size", 1)}
FLAGS = {"is_open", "is_error", "in_acquisition", "has_ms_data", "is_centroid", "get_instrument_is_valid",
         "get_instrument_has_accurate_mass_precursors", "get_instrument_is_qvx_meridon_file"}
NO_RESULT = {"close_raw_file", "select_instrument"}


@dataclass(frozen=True)
class Family:
    name: str
    entry: str  # the entry point called (None for set_dylib_path)
    kind: str  # scalar, flag, none, open, set_path, text, field_list, user_text, slots, counted,
    #            dependent_array, caller_sized, stats
    capacity: int = 0  # fixed capacity lent (bytes or elements)
    negative: str = ""  # what a negative status gives: raise, empty, none ("" = no status)

    @property
    def has_status(self):
        return self.negative != ""


def family(name):
    entry = "get_centroid_stream_full" if name == "get_centroid_stream" else name
    if name == "set_dylib_path":
        return Family(name, None, "set_path")
    if name == "open_raw_file":
        return Family(name, entry, "open")
    if name in SINGLE_TEXT:
        return Family(name, entry, "text", SINGLE_TEXT[name], "raise")
    if name in SILENT_TEXT:
        return Family(name, entry, "text", SILENT_TEXT[name], "empty")
    if name in FIELD_LISTS:
        return Family(name, entry, "field_list", FIELD_LISTS[name], "raise")
    if name in USER_TEXT:
        return Family(name, entry, "user_text", USER_TEXT[name], "empty")
    if name in SLOTS:
        return Family(name, entry, "slots", SLOTS[name], "raise")
    if name == "get_scan_stats_scan_type":
        return Family(name, entry, "counted", 1024, "raise")
    if name == "get_scan_dependent_detail_filter_string":
        return Family(name, entry, "counted", 1024, "none")
    if name in DEPENDENT_ARRAYS:
        return Family(name, entry, "dependent_array", 256, "none")
    if name in CALLER_SIZED:
        return Family(name, entry, "caller_sized", 0, "raise")
    if name == "get_scan_stats":
        return Family(name, entry, "stats", 20, "raise")
    if name in FLAGS:
        return Family(name, entry, "flag")
    if name in NO_RESULT:
        return Family(name, entry, "none")
    return Family(name, entry, "scalar")


FAMILIES = {name: family(name) for name in NAMES}


def names_of(*kinds):
    return [n for n in NAMES if FAMILIES[n].kind in kinds]


def status_names():
    return [n for n in NAMES if FAMILIES[n].has_status]


def same_value(a, b):
    """Equality that also holds for NaN and tells 0.0 from -0.0."""
    if isinstance(a, float) and isinstance(b, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    return type(a) is type(b) and a == b
