"""Typing stub of native_corvix_py_backend.

Function-by-function access to RAW files through the Reader library
(VelmarNativeReader.dll), which the module loads on first use: from the path
given to set_dylib_path, else from the file named by VELMAR_NATIVE_LIB, else
from the current directory.

Common to every function but set_dylib_path: TypeError for a missing, surplus
or ill-typed argument; OverflowError for an integer outside the signed 32-bit
range; RuntimeError when the Reader library cannot be loaded (its messages are
in the module guide, docs/module.md) or lacks the entry point ("get function <entry>: <reason>").
The docstrings below name only what each function adds.

Integer parameters accept any object with __index__; real parameters also
accept int and anything with __float__. Every parameter is
positional-or-keyword and required.
"""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

__all__ = [
    "open_raw_file",
    "get_num_scans",
    "get_tune_data_count",
    "get_scan_rt",
    "get_spectrum",
    "is_centroid",
    "get_centroid_stream",
    "get_filters",
    "get_first_scan",
    "get_last_scan",
    "get_start_time",
    "get_end_time",
    "get_mass_resolution",
    "get_expected_runtime",
    "get_max_integrated_intensity",
    "get_max_intensity",
    "get_low_mass",
    "get_high_mass",
    "get_file_name",
    "get_path",
    "get_ms_order",
    "get_mass_analyzer",
    "get_precursor_mass",
    "get_scan_event_string",
    "get_scan_filter_string",
    "get_scan_number_from_rt",
    "get_ms2_filter_masses",
    "get_ms2_scan_number_from_rt",
    "get_ms1_scan_number_from_rt",
    "get_chromatogram",
    "get_averaged_spectrum",
    "get_instrument_count",
    "get_instrument_count_of_type",
    "is_open",
    "is_error",
    "in_acquisition",
    "has_ms_data",
    "get_creation_date",
    "set_dylib_path",
    "get_computer_name",
    "get_creator_id",
    "get_sample_type",
    "get_sample_row_number",
    "get_sample_instrument_method_file",
    "get_sample_injection_volume",
    "get_sample_dilution_factor",
    "get_instrument_model",
    "get_instrument_name",
    "get_instrument_serial_number",
    "get_instrument_software_version",
    "get_instrument_hardware_version",
    "get_status_log_values",
    "get_status_log_header",
    "get_status_log_values_for_rt",
    "get_status_log_count",
    "get_trailer_extra_values",
    "get_trailer_extra_labels",
    "get_trailer_extra_count",
    "get_trailer_extra_header",
    "get_scan_event_ms_order",
    "get_scan_event_mass_count",
    "get_scan_event_precursor_mass",
    "get_scan_event_collision_energy_valid",
    "get_scan_event_first_precursor_mass",
    "get_scan_event_last_precursor_mass",
    "get_scan_filter_mass_count",
    "get_scan_filter_mass_range_count",
    "get_scan_filter_source_fragmentation_info_count",
    "get_scan_filter_scan_type_index",
    "get_scan_filter_multi_state_activation",
    "get_scan_filter_photo_ionization",
    "get_scan_filter_sector_scan",
    "get_scan_event_precursor_range_validity",
    "get_scan_event_is_multiple_activation",
    "get_scan_event_energy_valid",
    "get_scan_event_source_fragmentation_info",
    "get_scan_event_mass_calibrator",
    "get_scan_event_mass_range_low",
    "get_scan_event_mass_range_high",
    "get_scan_event_source_fragmentation_mass_range_low",
    "get_scan_event_source_fragmentation_mass_range_high",
    "get_scan_event_multiple_activation",
    "get_scan_event_precursor_range_is_valid",
    "get_scan_event_activation_type",
    "get_scan_event_isolation_width",
    "get_scan_event_isolation_width_offset",
    "get_scan_event_collision_energy",
    "get_scan_stats",
    "get_scan_stats_scan_type",
    "get_instrument_axis_label_x",
    "get_instrument_axis_label_y",
    "get_instrument_flags",
    "get_instrument_units",
    "get_instrument_is_valid",
    "get_instrument_has_accurate_mass_precursors",
    "get_instrument_is_qvx_meridon_file",
    "get_file_description",
    "get_modified_date",
    "get_who_created_logon",
    "get_who_modified_id",
    "get_who_modified_logon",
    "get_number_of_times_calibrated",
    "get_number_of_times_modified",
    "get_revision",
    "get_sample_barcode",
    "get_sample_id",
    "get_sample_name",
    "get_sample_vial",
    "get_sample_comment",
    "get_scan_dependents_instrument_type",
    "get_scan_dependents_count",
    "get_scan_dependent_detail_scan_index",
    "get_scan_dependent_detail_filter_string",
    "get_scan_dependent_detail_precursor_mass_array",
    "get_scan_dependent_detail_isolation_width_array",
    "get_scan_filter_ultra",
    "get_scan_filter_wideband",
    "get_scan_filter_polarity",
    "get_scan_filter_ms_order",
    "get_scan_filter_mass_analyzer",
    "get_scan_filter_detector",
    "get_scan_filter_scan_data",
    "get_scan_filter_scan_mode",
    "get_scan_filter_accurate_mass",
    "get_scan_filter_ionization_mode",
    "get_scan_filter_lock",
    "get_scan_filter_turbo_scan",
    "get_scan_filter_corona",
    "get_scan_filter_dependent",
    "get_scan_filter_detector_value",
    "get_scan_event_compensation_voltage",
    "get_scan_event_compensation_voltage_value",
    "get_scan_filter_compensation_volt_type",
    "get_scan_filter_compensation_voltage_count",
    "get_scan_filter_electron_capture_dissociation",
    "get_scan_filter_electron_capture_dissociation_value",
    "get_scan_filter_electron_transfer_dissociation",
    "get_scan_filter_electron_transfer_dissociation_value",
    "get_scan_filter_enhanced",
    "get_scan_filter_higher_energy_cid",
    "get_scan_filter_higher_energy_cid_value",
    "get_scan_filter_multiple_photon_dissociation",
    "get_scan_filter_multiple_photon_dissociation_value",
    "get_scan_filter_pulsed_q_dissociation",
    "get_scan_filter_pulsed_q_dissociation_value",
    "get_scan_filter_source_fragmentation",
    "get_scan_filter_source_fragmentation_info_valid",
    "get_scan_filter_source_fragmentation_type",
    "get_scan_filter_source_fragmentation_value",
    "get_scan_filter_supplemental_activation",
    "get_scan_filter_mass_precision",
    "get_scan_filter_multi_notch",
    "get_scan_filter_multiplex",
    "get_scan_filter_unique_mass_count",
    "get_scan_filter_param_a",
    "get_scan_filter_param_b",
    "get_scan_filter_param_f",
    "get_scan_filter_param_r",
    "get_scan_filter_param_v",
    "get_scan_filter_meta_filters",
    "get_scan_filter_field_free_region",
    "get_scan_filter_index_to_multiple_activation_index",
    "get_instrument_method_count",
    "get_instrument_method",
    "select_instrument",
    "get_autosampler_tray_index",
    "get_autosampler_vial_index",
    "get_autosampler_tray_name",
    "get_autosampler_tray_shape",
    "get_autosampler_vials_per_tray",
    "get_autosampler_vials_per_tray_x",
    "get_autosampler_vials_per_tray_y",
    "get_scan_events_segments",
    "get_scan_events_count",
    "get_scan_events_event_count_for_segment",
    "get_sample_barcode_status",
    "get_sample_calibration_file",
    "get_sample_calibration_level",
    "get_sample_istd_amount",
    "get_sample_processing_method_file",
    "get_sample_sample_volume",
    "get_sample_sample_weight",
    "get_sample_user_text",
    "get_error_log_items_count",
    "get_error_log_item_message",
    "get_error_log_item_retention_time",
    "close_raw_file",
]

@final
class PanicException(BaseException):
    """Raised when the module's native code fails internally.

    Derives from BaseException, like SystemExit, so that `except Exception`
    does not catch it. Created on first need (first internal fault, or the
    first access to this attribute).
    """

def open_raw_file(path: str) -> int:
    """Open the RAW file at path and return the Reader library's handle unchanged (check is_open/is_error); ValueError "nul byte in path" if path holds a NUL."""

def get_num_scans(handle: int) -> int:
    """Return the number of scans as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_tune_data_count(handle: int) -> int:
    """Return the number of tune data entries as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_rt(handle: int, scan_number: SupportsIndex) -> float:
    """Return the retention time of the scan as a float, unchanged (NaN too); nothing is raised for the value."""

def get_spectrum(
    handle: int,
    scan_number: SupportsIndex,
    max_length: SupportsIndex,
) -> tuple[list[float], list[float]]:
    """Return (masses, intensities) of the scan, min(count, max_length) floats each; RuntimeError "get_spectrum failed" on a negative count, PanicException "capacity overflow" if max_length < 0."""

def is_centroid(handle: int, scan_number: SupportsIndex) -> bool:
    """Return True when the Reader library's is_centroid result of the scan is non-zero, False when it is 0; nothing else is raised."""

def get_centroid_stream(
    handle: int,
    scan_number: SupportsIndex,
    max_length: SupportsIndex,
) -> tuple[list[float], list[float], list[float], list[float], list[int], float, float]:
    """Return the centroids of the scan: four float lists and one int list of min(count, max_length) items, then two trailer floats; RuntimeError "get_centroid_stream_full failed" on a negative count, PanicException "capacity overflow" if max_length < 0."""

def get_filters(handle: int) -> list[str]:
    """Return the filters as a list of str (at most 1024, null slots skipped); RuntimeError "get_filters failed" on a negative status."""

def get_first_scan(handle: int) -> int:
    """Return the first scan number as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_last_scan(handle: int) -> int:
    """Return the last scan number as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_start_time(handle: int) -> float:
    """Return the start time as a float, unchanged (NaN too); nothing is raised for the value."""

def get_end_time(handle: int) -> float:
    """Return the end time as a float, unchanged (NaN too); nothing is raised for the value."""

def get_mass_resolution(handle: int) -> float:
    """Return the mass resolution as a float, unchanged (NaN too); nothing is raised for the value."""

def get_expected_runtime(handle: int) -> float:
    """Return the expected runtime as a float, unchanged (NaN too); nothing is raised for the value."""

def get_max_integrated_intensity(handle: int) -> float:
    """Return the max integrated intensity as a float, unchanged (NaN too); nothing is raised for the value."""

def get_max_intensity(handle: int) -> int:
    """Return the max intensity as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_low_mass(handle: int) -> float:
    """Return the low mass as a float, unchanged (NaN too); nothing is raised for the value."""

def get_high_mass(handle: int) -> float:
    """Return the high mass as a float, unchanged (NaN too); nothing is raised for the value."""

def get_file_name(handle: int) -> str:
    """Return the file name as str (at most 1024 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_file_name failed" on a negative status."""

def get_path(handle: int) -> str:
    """Return the path that the Reader library holds for the handle as str (at most 1024 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_path failed" on a negative status."""

def get_ms_order(handle: int, scan_number: SupportsIndex) -> int:
    """Return the MS order of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_mass_analyzer(handle: int, scan_number: SupportsIndex) -> int:
    """Return the mass-analyzer code of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_precursor_mass(handle: int, scan_number: SupportsIndex) -> float:
    """Return the precursor mass of the scan as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_event_string(handle: int, scan_number: SupportsIndex) -> str:
    """Return the scan event string of the scan as str (at most 1024 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_scan_event_string failed" on a negative status."""

def get_scan_filter_string(handle: int, scan_number: SupportsIndex) -> str:
    """Return the scan filter string of the scan as str (at most 1024 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_scan_filter_string failed" on a negative status."""

def get_scan_number_from_rt(handle: int, rt: SupportsFloat | SupportsIndex) -> int:
    """Return the number of the scan at retention time rt as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_ms2_filter_masses(handle: int, max_size: SupportsIndex) -> list[float]:
    """Return at most max_size MS2 filter masses as floats; RuntimeError "get_ms2_filter_masses failed" on a negative status, PanicException "capacity overflow" if max_size < 0."""

def get_ms2_scan_number_from_rt(
    handle: int,
    rt: SupportsFloat | SupportsIndex,
    precursor_mz: SupportsFloat | SupportsIndex,
    tolerance_ppm: SupportsFloat | SupportsIndex,
) -> int:
    """Return the number of the MS2 scan at retention time rt whose precursor is precursor_mz within tolerance_ppm as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_ms1_scan_number_from_rt(handle: int, rt: SupportsFloat | SupportsIndex) -> int:
    """Return the number of the MS1 scan at retention time rt as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_chromatogram(
    handle: int,
    trace_type: SupportsIndex,
    filter: str,
    mass_ranges_start: Sequence[SupportsFloat | SupportsIndex],
    mass_ranges_end: Sequence[SupportsFloat | SupportsIndex],
    start_scan: SupportsIndex,
    end_scan: SupportsIndex,
    max_length: SupportsIndex,
) -> tuple[list[float], list[float]]:
    """Return (times, intensities) of the trace, min(count, max_length) floats each; RuntimeError "get_chromatogram failed" on a negative count, TypeError for a str or non-sequence mass range, PanicException for max_length < 0 or a NUL in filter."""

def get_averaged_spectrum(
    handle: int,
    scan_numbers: Sequence[SupportsIndex],
    max_length: SupportsIndex,
) -> tuple[list[float], list[float]]:
    """Return (masses, intensities) averaged over scan_numbers, min(count, max_length) floats each; RuntimeError "get_averaged_spectrum failed" on a negative count, TypeError for a str or non-sequence, PanicException "capacity overflow" if max_length < 0."""

def get_instrument_count(handle: int) -> int:
    """Return the instrument count as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_instrument_count_of_type(handle: int, device_type: SupportsIndex) -> int:
    """Return the number of instruments of device_type as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def is_open(handle: int) -> bool:
    """Return True when the Reader library's is_open result is non-zero, False when it is 0; nothing else is raised."""

def is_error(handle: int) -> bool:
    """Return True when the Reader library's is_error result is non-zero, False when it is 0; nothing else is raised."""

def in_acquisition(handle: int) -> bool:
    """Return True when the Reader library's in_acquisition result is non-zero, False when it is 0; nothing else is raised."""

def has_ms_data(handle: int) -> bool:
    """Return True when the Reader library's has_ms_data result is non-zero, False when it is 0; nothing else is raised."""

def get_creation_date(handle: int) -> str:
    """Return the creation date as str (at most 256 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_creation_date failed" on a negative status."""

def set_dylib_path(path: str) -> None:
    """Load the Reader library from path unless one is loaded already (then do nothing); RuntimeError "Dylib not found at: {path}" or "Failed to load dylib {path}: {reason}"."""

def get_computer_name(handle: int) -> str:
    """Return the computer name as str (at most 256 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_computer_name failed" on a negative status."""

def get_creator_id(handle: int) -> str:
    """Return the creator id as str (at most 256 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_creator_id failed" on a negative status."""

def get_sample_type(handle: int) -> int:
    """Return the sample type as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_sample_row_number(handle: int) -> int:
    """Return the sample row number as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_sample_instrument_method_file(handle: int) -> str:
    """Return the sample instrument method file as str (at most 1024 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_sample_instrument_method_file failed" on a negative status."""

def get_sample_injection_volume(handle: int) -> float:
    """Return the sample injection volume as a float, unchanged (NaN too); nothing is raised for the value."""

def get_sample_dilution_factor(handle: int) -> float:
    """Return the sample dilution factor as a float, unchanged (NaN too); nothing is raised for the value."""

def get_instrument_model(handle: int) -> str:
    """Return the instrument model as str (at most 1024 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_instrument_model failed" on a negative status."""

def get_instrument_name(handle: int) -> str:
    """Return the instrument name as str (at most 1024 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_instrument_name failed" on a negative status."""

def get_instrument_serial_number(handle: int) -> str:
    """Return the instrument serial number as str (at most 1024 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_instrument_serial_number failed" on a negative status."""

def get_instrument_software_version(handle: int) -> str:
    """Return the instrument software version as str (at most 1024 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_instrument_software_version failed" on a negative status."""

def get_instrument_hardware_version(handle: int) -> str:
    """Return the instrument hardware version as str (at most 1024 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_instrument_hardware_version failed" on a negative status."""

def get_status_log_values(handle: int, scan_number: SupportsIndex) -> list[str]:
    """Return the status log values of the scan split at "|" into a list of str ([""] for an empty text); RuntimeError "get_status_log_values failed" on a negative status."""

def get_status_log_header(handle: int) -> list[str]:
    """Return the status log header split at "|" into a list of str ([""] for an empty text); RuntimeError "get_status_log_header failed" on a negative status."""

def get_status_log_values_for_rt(handle: int, rt: SupportsFloat | SupportsIndex) -> list[str]:
    """Return the status log values at retention time rt split at "|" into a list of str ([""] for an empty text); RuntimeError "get_status_log_values_for_rt failed" on a negative status."""

def get_status_log_count(handle: int) -> int:
    """Return the status log count as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_trailer_extra_values(handle: int, scan_number: SupportsIndex) -> list[str]:
    """Return the trailer extra values of the scan split at "|" into a list of str ([""] for an empty text); RuntimeError "get_trailer_extra_values failed" on a negative status."""

def get_trailer_extra_labels(handle: int, scan_number: SupportsIndex) -> list[str]:
    """Return the trailer extra labels of the scan split at "|" into a list of str ([""] for an empty text); RuntimeError "get_trailer_extra_labels failed" on a negative status."""

def get_trailer_extra_count(handle: int) -> int:
    """Return the trailer extra count as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_trailer_extra_header(handle: int) -> list[str]:
    """Return the trailer extra header split at "|" into a list of str ([""] for an empty text); RuntimeError "get_trailer_extra_header failed" on a negative status."""

def get_scan_event_ms_order(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan event ms order of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_event_mass_count(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan event mass count of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_event_precursor_mass(handle: int, scan_number: SupportsIndex, index: SupportsIndex) -> float:
    """Return the scan event precursor mass for index in the scan's event as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_event_collision_energy_valid(
    handle: int,
    scan_number: SupportsIndex,
    index: SupportsIndex,
) -> int:
    """Return the scan event collision energy valid for index in the scan's event as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_event_first_precursor_mass(
    handle: int,
    scan_number: SupportsIndex,
    index: SupportsIndex,
) -> float:
    """Return the scan event first precursor mass for index in the scan's event as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_event_last_precursor_mass(
    handle: int,
    scan_number: SupportsIndex,
    index: SupportsIndex,
) -> float:
    """Return the scan event last precursor mass for index in the scan's event as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_filter_mass_count(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter mass count of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_mass_range_count(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter mass range count of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_source_fragmentation_info_count(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter source fragmentation info count of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_scan_type_index(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter scan type index of the scan as an int from the Reader library's 64-bit value, unchanged; nothing is raised for the value."""

def get_scan_filter_multi_state_activation(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter multi state activation of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_photo_ionization(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter photo ionization of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_sector_scan(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter sector scan of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_event_precursor_range_validity(
    handle: int,
    scan_number: SupportsIndex,
    index: SupportsIndex,
) -> int:
    """Return the scan event precursor range validity for index in the scan's event as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_event_is_multiple_activation(
    handle: int,
    scan_number: SupportsIndex,
    index: SupportsIndex,
) -> int:
    """Return the scan event is multiple activation for index in the scan's event as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_event_energy_valid(handle: int, scan_number: SupportsIndex, index: SupportsIndex) -> int:
    """Return the scan event energy valid for index in the scan's event as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_event_source_fragmentation_info(
    handle: int,
    scan_number: SupportsIndex,
    index: SupportsIndex,
) -> float:
    """Return the scan event source fragmentation info for index in the scan's event as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_event_mass_calibrator(handle: int, scan_number: SupportsIndex, index: SupportsIndex) -> float:
    """Return the scan event mass calibrator for index in the scan's event as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_event_mass_range_low(handle: int, scan_number: SupportsIndex, index: SupportsIndex) -> float:
    """Return the scan event mass range low for index in the scan's event as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_event_mass_range_high(handle: int, scan_number: SupportsIndex, index: SupportsIndex) -> float:
    """Return the scan event mass range high for index in the scan's event as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_event_source_fragmentation_mass_range_low(
    handle: int,
    scan_number: SupportsIndex,
    index: SupportsIndex,
) -> float:
    """Return the scan event source fragmentation mass range low for index in the scan's event as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_event_source_fragmentation_mass_range_high(
    handle: int,
    scan_number: SupportsIndex,
    index: SupportsIndex,
) -> float:
    """Return the scan event source fragmentation mass range high for index in the scan's event as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_event_multiple_activation(handle: int, scan_number: SupportsIndex, index: SupportsIndex) -> int:
    """Return the scan event multiple activation for index in the scan's event as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_event_precursor_range_is_valid(
    handle: int,
    scan_number: SupportsIndex,
    index: SupportsIndex,
) -> int:
    """Return the scan event precursor range is valid for index in the scan's event as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_event_activation_type(handle: int, scan_number: SupportsIndex, index: SupportsIndex) -> int:
    """Return the scan event activation type for index in the scan's event as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_event_isolation_width(handle: int, scan_number: SupportsIndex, index: SupportsIndex) -> float:
    """Return the scan event isolation width for index in the scan's event as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_event_isolation_width_offset(
    handle: int,
    scan_number: SupportsIndex,
    index: SupportsIndex,
) -> float:
    """Return the scan event isolation width offset for index in the scan's event as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_event_collision_energy(handle: int, scan_number: SupportsIndex, index: SupportsIndex) -> float:
    """Return the scan event collision energy for index in the scan's event as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_stats(handle: int, scan_number: SupportsIndex) -> list[float]:
    """Return the 20 statistics values of the scan as floats (unwritten ones 0.0); RuntimeError "get_scan_stats failed" on a negative status."""

def get_scan_stats_scan_type(handle: int, scan_number: SupportsIndex) -> str | None:
    """Return the scan-type text of the scan's statistics, None when the status is 0; RuntimeError "get_scan_stats_scan_type failed" on a negative status, PanicException if the status exceeds 1024."""

def get_instrument_axis_label_x(handle: int) -> str:
    """Return the instrument axis label x as str (at most 1024 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_instrument_axis_label_x failed" on a negative status."""

def get_instrument_axis_label_y(handle: int) -> str:
    """Return the instrument axis label y as str (at most 1024 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_instrument_axis_label_y failed" on a negative status."""

def get_instrument_flags(handle: int) -> str:
    """Return the instrument flags as str (at most 1024 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_instrument_flags failed" on a negative status."""

def get_instrument_units(handle: int) -> int:
    """Return the instrument units as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_instrument_is_valid(handle: int) -> bool:
    """Return True when the Reader library's get_instrument_is_valid result is non-zero, False when it is 0; nothing else is raised."""

def get_instrument_has_accurate_mass_precursors(handle: int) -> bool:
    """Return True when the Reader library's get_instrument_has_accurate_mass_precursors result is non-zero, False when it is 0; nothing else is raised."""

def get_instrument_is_qvx_meridon_file(handle: int) -> bool:
    """Return True when the Reader library's get_instrument_is_qvx_meridon_file result is non-zero, False when it is 0; nothing else is raised."""

def get_file_description(handle: int) -> str:
    """Return the file description as str (at most 1024 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_file_description failed" on a negative status."""

def get_modified_date(handle: int) -> str:
    """Return the modified date as str (at most 256 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_modified_date failed" on a negative status."""

def get_who_created_logon(handle: int) -> str:
    """Return the who created logon as str (at most 256 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_who_created_logon failed" on a negative status."""

def get_who_modified_id(handle: int) -> str:
    """Return the who modified id as str (at most 256 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_who_modified_id failed" on a negative status."""

def get_who_modified_logon(handle: int) -> str:
    """Return the who modified logon as str (at most 256 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_who_modified_logon failed" on a negative status."""

def get_number_of_times_calibrated(handle: int) -> int:
    """Return the number of times calibrated as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_number_of_times_modified(handle: int) -> int:
    """Return the number of times modified as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_revision(handle: int) -> int:
    """Return the revision as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_sample_barcode(handle: int) -> str:
    """Return the sample barcode as str (at most 1024 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_sample_barcode failed" on a negative status."""

def get_sample_id(handle: int) -> str:
    """Return the sample id as str (at most 1024 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_sample_id failed" on a negative status."""

def get_sample_name(handle: int) -> str:
    """Return the sample name as str (at most 1024 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_sample_name failed" on a negative status."""

def get_sample_vial(handle: int) -> str:
    """Return the sample vial as str (at most 256 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_sample_vial failed" on a negative status."""

def get_sample_comment(handle: int) -> str:
    """Return the sample comment as str (at most 1024 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_sample_comment failed" on a negative status."""

def get_scan_dependents_instrument_type(
    handle: int,
    scan_number: SupportsIndex,
    ms_order: SupportsIndex,
) -> int:
    """Return the instrument type of the dependent scans of the scan for ms_order as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_dependents_count(handle: int, scan_number: SupportsIndex, ms_order: SupportsIndex) -> int:
    """Return the number of dependent scans of the scan for ms_order as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_dependent_detail_scan_index(
    handle: int,
    scan_number: SupportsIndex,
    ms_order: SupportsIndex,
    detail_index: SupportsIndex,
) -> int:
    """Return the scan index of dependent scan detail_index as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_dependent_detail_filter_string(
    handle: int,
    scan_number: SupportsIndex,
    ms_order: SupportsIndex,
    detail_index: SupportsIndex,
) -> str | None:
    """Return the filter text of dependent scan detail_index ("" for status 0), None on a negative status; PanicException if the status exceeds 1024."""

def get_scan_dependent_detail_precursor_mass_array(
    handle: int,
    scan_number: SupportsIndex,
    ms_order: SupportsIndex,
    detail_index: SupportsIndex,
) -> list[float] | None:
    """Return up to 256 precursor mass values of dependent scan detail_index as floats, None on a negative status (never raised)."""

def get_scan_dependent_detail_isolation_width_array(
    handle: int,
    scan_number: SupportsIndex,
    ms_order: SupportsIndex,
    detail_index: SupportsIndex,
) -> list[float] | None:
    """Return up to 256 isolation width values of dependent scan detail_index as floats, None on a negative status (never raised)."""

def get_scan_filter_ultra(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter ultra of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_wideband(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter wideband of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_polarity(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter polarity of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_ms_order(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter ms order of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_mass_analyzer(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter mass analyzer of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_detector(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter detector of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_scan_data(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter scan data of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_scan_mode(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter scan mode of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_accurate_mass(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter accurate mass of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_ionization_mode(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter ionization mode of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_lock(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter lock of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_turbo_scan(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter turbo scan of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_corona(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter corona of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_dependent(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter dependent of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_detector_value(handle: int, scan_number: SupportsIndex) -> float:
    """Return the scan filter detector value of the scan as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_event_compensation_voltage(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan event compensation voltage of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_event_compensation_voltage_value(handle: int, scan_number: SupportsIndex) -> float:
    """Return the scan event compensation voltage value of the scan as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_filter_compensation_volt_type(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter compensation volt type of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_compensation_voltage_count(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter compensation voltage count of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_electron_capture_dissociation(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter electron capture dissociation of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_electron_capture_dissociation_value(handle: int, scan_number: SupportsIndex) -> float:
    """Return the scan filter electron capture dissociation value of the scan as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_filter_electron_transfer_dissociation(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter electron transfer dissociation of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_electron_transfer_dissociation_value(handle: int, scan_number: SupportsIndex) -> float:
    """Return the scan filter electron transfer dissociation value of the scan as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_filter_enhanced(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter enhanced of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_higher_energy_cid(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter higher energy cid of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_higher_energy_cid_value(handle: int, scan_number: SupportsIndex) -> float:
    """Return the scan filter higher energy cid value of the scan as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_filter_multiple_photon_dissociation(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter multiple photon dissociation of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_multiple_photon_dissociation_value(handle: int, scan_number: SupportsIndex) -> float:
    """Return the scan filter multiple photon dissociation value of the scan as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_filter_pulsed_q_dissociation(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter pulsed q dissociation of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_pulsed_q_dissociation_value(handle: int, scan_number: SupportsIndex) -> float:
    """Return the scan filter pulsed q dissociation value of the scan as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_filter_source_fragmentation(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter source fragmentation of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_source_fragmentation_info_valid(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter source fragmentation info valid of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_source_fragmentation_type(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter source fragmentation type of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_source_fragmentation_value(handle: int, scan_number: SupportsIndex) -> float:
    """Return the scan filter source fragmentation value of the scan as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_filter_supplemental_activation(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter supplemental activation of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_mass_precision(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter mass precision of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_multi_notch(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter multi notch of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_multiplex(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter multiplex of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_unique_mass_count(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter unique mass count of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_param_a(handle: int, scan_number: SupportsIndex) -> float:
    """Return the scan filter param a of the scan as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_filter_param_b(handle: int, scan_number: SupportsIndex) -> float:
    """Return the scan filter param b of the scan as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_filter_param_f(handle: int, scan_number: SupportsIndex) -> float:
    """Return the scan filter param f of the scan as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_filter_param_r(handle: int, scan_number: SupportsIndex) -> float:
    """Return the scan filter param r of the scan as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_filter_param_v(handle: int, scan_number: SupportsIndex) -> float:
    """Return the scan filter param v of the scan as a float, unchanged (NaN too); nothing is raised for the value."""

def get_scan_filter_meta_filters(handle: int, scan_number: SupportsIndex) -> list[str]:
    """Return the scan filter meta filters of the scan as a list of str (at most 32, null slots skipped); RuntimeError "get_scan_filter_meta_filters failed" on a negative status."""

def get_scan_filter_field_free_region(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter field free region of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_filter_index_to_multiple_activation_index(handle: int, scan_number: SupportsIndex) -> int:
    """Return the scan filter index to multiple activation index of the scan as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_instrument_method_count(handle: int) -> int:
    """Return the instrument method count as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_instrument_method(handle: int, index: SupportsIndex) -> str:
    """Return the text of instrument method index as str (at most 131072 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_instrument_method failed" on a negative status."""

def select_instrument(handle: int, device_type: SupportsIndex, device_number: SupportsIndex) -> None:
    """Ask the Reader library to select the instrument (device_type, device_number) and return None; its result is ignored, nothing is raised for it."""

def get_autosampler_tray_index(handle: int) -> int:
    """Return the autosampler tray index as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_autosampler_vial_index(handle: int) -> int:
    """Return the autosampler vial index as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_autosampler_tray_name(handle: int) -> str:
    """Return the autosampler tray name as str (at most 1024 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_autosampler_tray_name failed" on a negative status."""

def get_autosampler_tray_shape(handle: int) -> int:
    """Return the autosampler tray shape as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_autosampler_vials_per_tray(handle: int) -> int:
    """Return the autosampler vials per tray as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_autosampler_vials_per_tray_x(handle: int) -> int:
    """Return the autosampler vials per tray x as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_autosampler_vials_per_tray_y(handle: int) -> int:
    """Return the autosampler vials per tray y as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_events_segments(handle: int) -> int:
    """Return the number of scan-event segments as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_events_count(handle: int) -> int:
    """Return the number of scan events as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_scan_events_event_count_for_segment(handle: int, segment: SupportsIndex) -> int:
    """Return the number of scan events in segment as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_sample_barcode_status(handle: int) -> int:
    """Return the sample barcode status as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_sample_calibration_file(handle: int) -> str:
    """Return the sample calibration file as str (at most 8192 UTF-8 bytes, U+FFFD for ill-formed ones); a negative status gives ""."""

def get_sample_calibration_level(handle: int) -> str:
    """Return the sample calibration level as str (at most 8192 UTF-8 bytes, U+FFFD for ill-formed ones); a negative status gives ""."""

def get_sample_istd_amount(handle: int) -> float:
    """Return the sample istd amount as a float, unchanged (NaN too); nothing is raised for the value."""

def get_sample_processing_method_file(handle: int) -> str:
    """Return the sample processing method file as str (at most 8192 UTF-8 bytes, U+FFFD for ill-formed ones); a negative status gives ""."""

def get_sample_sample_volume(handle: int) -> float:
    """Return the sample volume as a float, unchanged (NaN too); nothing is raised for the value."""

def get_sample_sample_weight(handle: int) -> float:
    """Return the sample weight as a float, unchanged (NaN too); nothing is raised for the value."""

def get_sample_user_text(handle: int) -> list[str]:
    """Return the sample user texts split at "###|###" ([] for an empty text); a negative status gives [], never an exception."""

def get_error_log_items_count(handle: int) -> int:
    """Return the error log items count as an int, unchanged (a -1 sentinel too); nothing is raised for the value."""

def get_error_log_item_message(handle: int, index: SupportsIndex) -> str:
    """Return the message of error-log item index as str (at most 8192 UTF-8 bytes, U+FFFD for ill-formed ones); RuntimeError "get_error_log_item_message failed" on a negative status."""

def get_error_log_item_retention_time(handle: int, index: SupportsIndex) -> float:
    """Return the retention time of error-log item index as a float, unchanged (NaN too); nothing is raised for the value."""

def close_raw_file(handle: int) -> None:
    """Give the handle back to the Reader library and return None; its result is ignored, nothing is raised for it."""
