"""The corvix package's run and scan objects against the stand-in Reader
library, scripted per test (its answers are the same for every scan)."""
import math

import numpy as np
import pytest

import corvix as cx


@pytest.fixture
def raw(tmp_path):
    path = tmp_path / "sample.raw"
    path.write_bytes(b"")
    return str(path)


@pytest.fixture
def run(stub, raw):
    with cx.open(raw) as opened:
        yield opened


def text(stub, name, value):
    stub.set_text(name, value.encode())


# -- life cycle --------------------------------------------------------------------


def test_context_manager_closes_its_handle_once_also_on_error(stub, raw):
    stub.set_result("open_raw_file", 7)
    with pytest.raises(KeyError):
        with cx.open(raw) as run:
            assert run.handle == 7 and not run.closed
            raise KeyError("user error")
    assert run.closed
    assert stub.calls("close_raw_file") == 1 and stub.last_int("close_raw_file", 0) == 7
    run.close()
    assert stub.calls("close_raw_file") == 1
    with pytest.raises(ValueError, match="closed"):
        run.first_scan
    with pytest.raises(ValueError, match="closed"):
        run.handle


def test_a_run_that_is_dropped_gives_its_handle_back(stub, raw):
    run = cx.open(raw)
    del run
    import gc

    gc.collect()
    assert stub.calls("close_raw_file") == 1


def test_files_that_do_not_open(stub, raw, tmp_path):
    with pytest.raises(FileNotFoundError, match="no such file"):
        cx.open(tmp_path / "absent.raw")
    assert stub.calls("open_raw_file") == 0

    stub.set_result("open_raw_file", -3)
    with pytest.raises(cx.OpenError, match="handle -3") as caught:
        cx.open(raw)
    assert caught.value.path == raw and isinstance(caught.value, RuntimeError)
    assert stub.calls("close_raw_file") == 0

    stub.set_result("open_raw_file", 4)
    stub.set_result("is_error", 1)
    with pytest.raises(cx.OpenError, match="cannot open this file: Stand-in error"):  # the error log says why
        cx.open(raw)
    stub.set_result("is_error", 0)
    stub.set_result("is_open", 0)
    stub.set_result("get_error_log_items_count", 0)
    with pytest.raises(cx.OpenError) as caught:
        cx.open(raw)
    assert str(caught.value) == f"{raw}: the Reader library cannot open this file"
    # A handle the Reader library gave out is given back even when it is unusable.
    assert stub.calls("close_raw_file") == 2 and stub.last_int("close_raw_file", 0) == 4


# -- scans ----------------------------------------------------------------------------


def test_scan_numbers_iteration_and_indexing(stub, raw):
    stub.set_result("get_first_scan", 3)
    stub.set_result("get_last_scan", 6)
    with cx.open(raw) as run:
        assert run.scan_numbers == range(3, 7) and len(run) == 4
        assert [scan.number for scan in run] == [3, 4, 5, 6]
        assert run[3].number == 3 and run[6] == run[6]
        for bad in (2, 7, -1):
            with pytest.raises(IndexError, match=f"scan {bad} is outside 3..6"):
                run[bad]
        with pytest.raises(TypeError):
            run["3"]
        assert run.retention_times.tolist() == [1.5, 2.0, 2.5, 3.0]
        assert [s.number for s in run.scans(rt=(1.9, 2.6))] == [4, 5]
        assert list(run.scans(ms_order=2)) == []


@pytest.mark.parametrize("first, last", [(-1, -1), (5, 4), (1, 0)])
def test_a_run_without_scans_is_empty(stub, raw, first, last):
    stub.set_result("get_first_scan", first)
    stub.set_result("get_last_scan", last)
    with cx.open(raw) as run:
        assert len(run) == 0 and list(run) == []
        assert len(run.tic().rt) == 0 and stub.calls("get_chromatogram") == 0
        with pytest.raises(IndexError):
            run[first]


def test_msn_scan_attributes_come_from_their_functions_once(stub, run):
    stub.set_result("get_ms_order", 2)
    stub.set_result("get_precursor_mass", 445.12)
    stub.set_result("get_scan_event_isolation_width", 1.6)
    stub.set_result("get_scan_event_collision_energy", 27.5)
    stub.set_result("get_scan_event_activation_type", 1)
    stub.set_result("get_scan_filter_polarity", 0)
    stub.set_result("is_centroid", 1)
    text(stub, "get_scan_filter_string", "ms2 445.12@hcd27.50")
    text(stub, "get_trailer_extra_labels", "Injection time:|Charge State:|")
    text(stub, "get_trailer_extra_values", "12.5|3|")
    scan = run[9]
    assert (scan.ms_order, scan.precursor_mz, scan.isolation_width, scan.collision_energy) == (2, 445.12, 1.6, 27.5)
    assert (scan.activation, scan.activation_code, scan.polarity, scan.centroid) == ("HCD", 1, "-", True)
    assert scan.filter == "ms2 445.12@hcd27.50"
    assert scan.trailer == {"Injection time": "12.5", "Charge State": "3"}
    assert scan.charge == 3
    assert scan.rt == 4.5
    # The precursor is the first one of the scan event: index 0.
    assert stub.last_int("get_scan_event_isolation_width", 1) == 9
    assert stub.last_int("get_scan_event_isolation_width", 2) == 0
    assert stub.last_int("get_scan_event_activation_type", 2) == 0
    before = stub.total_calls()
    assert (scan.rt, scan.ms_order, scan.precursor_mz, scan.charge, scan.filter) == (4.5, 2, 445.12, 3, scan.filter)
    assert stub.total_calls() == before


def test_ms1_scans_and_unknown_values_give_none(stub, run):
    scan = run[1]
    assert scan.ms_order == 1
    assert (scan.precursor_mz, scan.isolation_width, scan.activation, scan.charge) == (None, None, None, None)
    assert stub.calls("get_precursor_mass") == 0
    stub.set_result("get_ms_order", 2)
    for name, value in [("get_precursor_mass", math.nan), ("get_scan_event_isolation_width", -1.0),
                        ("get_scan_event_collision_energy", math.nan), ("get_scan_event_activation_type", -1),
                        ("get_scan_filter_polarity", -1)]:
        stub.set_result(name, value)
    text(stub, "get_trailer_extra_labels", "Charge State:")
    text(stub, "get_trailer_extra_values", "0")
    scan = run[2]
    assert (scan.precursor_mz, scan.isolation_width, scan.collision_energy) == (None, None, None)
    assert (scan.activation, scan.polarity, scan.charge) == (None, None, None)


def test_failing_text_functions_give_none_or_empty(stub, run):
    for name in ("get_scan_filter_string", "get_trailer_extra_labels", "get_status_log_header",
                 "get_instrument_model", "get_filters"):
        stub.set_result(name, -1)
    scan = run[1]
    assert scan.filter is None and scan.trailer == {} and scan.status_log == {}
    assert run.instrument()["model"] is None and run.instrument()["name"] == "Stand-in instrument"
    assert run.filters() == []
    assert scan.status_log == {}


def test_status_log_pairs_header_and_values(stub, run):
    assert run[4].status_log == {"Time": "0.5", "Pressure": "1.5e-05", "Temp": "25.0"}
    assert stub.last_int("get_status_log_values", 1) == 4


# -- failures reach the caller with file and scan ---------------------------------


def test_a_status_failure_names_file_and_scan(stub, run, raw):
    stub.set_result("get_spectrum", -1)
    with pytest.raises(cx.ReaderError) as caught:
        run[7].spectrum()
    error = caught.value
    assert isinstance(error, RuntimeError)
    assert str(error) == f"{raw}: scan 7: get_spectrum failed"
    assert (error.path, error.scan, error.reason) == (raw, 7, "get_spectrum failed")
    assert type(error.__cause__) is RuntimeError and str(error.__cause__) == "get_spectrum failed"


def test_other_exceptions_pass_unchanged_with_a_note(stub, run, raw):
    with pytest.raises(OverflowError) as caught:
        run[1].run.call(cx.run._m.get_scan_rt, 2**40, scan=2**40)
    assert f"while reading {raw}, scan {2**40}" in caught.value.__notes__


def test_reader_errors_survive_pickling():
    import pickle

    error = pickle.loads(pickle.dumps(cx.ReaderError("get_spectrum failed", "a.raw", 3)))
    assert (str(error), error.scan, type(error)) == ("a.raw: scan 3: get_spectrum failed", 3, cx.ReaderError)


# -- peaks ----------------------------------------------------------------------------


def test_peaks_prefer_the_centroid_stream(stub, run):
    mz, intensity = run[2].peaks()
    assert mz.dtype == intensity.dtype == np.float64
    assert mz.tolist() == [100.0, 200.0, 300.0] and intensity.tolist() == [1000.0, 2000.0, 3000.0]
    assert stub.calls("get_spectrum") == 0
    stored = run[2].peaks(centroid=False)
    assert stored.mz.tolist() == [100.0, 101.0, 102.0, 103.0, 104.0]
    centroids = run[2].centroids()
    assert centroids.resolution.tolist() == [60000.0] * 3 and centroids.flags.tolist() == [1, 2, 3]


@pytest.mark.parametrize("how", ["empty", "failed"])
def test_peaks_fall_back_to_the_stored_spectrum(stub, run, how):
    if how == "empty":
        stub.set_result("get_centroid_stream_full", 0)
    else:
        stub.set_result("get_centroid_stream_full", -1)
    assert run[3].peaks().intensity.tolist() == [1000.0, 2000.0, 3000.0, 4000.0, 5000.0]
    only = run[3].peaks(centroid=True)
    assert len(only.mz) == len(only.intensity) == 0
    assert (run[3].centroids() is None) == (how == "failed")


@pytest.mark.parametrize(("size", "calls"), [(4095, 1), (4096, 2), (20000, 3), (70000, 4)])
def test_spectra_larger_than_the_first_capacity_arrive_whole(stub, run, size, calls):
    values = np.arange(size, dtype=np.float64) * 0.25
    values[:3] = [np.nan, np.inf, -0.0]
    stub.set_array("get_spectrum", 0, values)
    stub.set_array("get_spectrum", 1, values + 1)
    mz, intensity = run[5].spectrum()
    assert np.array_equal(mz, values, equal_nan=True) and np.array_equal(intensity, values + 1, equal_nan=True)
    assert np.signbit(mz[2]) and mz.flags.writeable and intensity.flags.owndata
    assert stub.calls("get_spectrum") == calls
    # The grown capacity is kept for the next scan of the run.
    run[6].spectrum()
    assert stub.calls("get_spectrum") == calls + 1
    assert stub.last_int("get_spectrum", 4) > size


# -- chromatograms and averages ----------------------------------------------------------


def test_tic_bpc_and_xic_ask_for_their_traces(stub, run):
    trace = run.tic()
    assert trace.rt.tolist() == [0.0, 0.5, 1.0, 1.5] and trace.intensity.tolist() == [10.0, 20.0, 30.0, 40.0]
    assert [stub.last_int("get_chromatogram", i) for i in (1, 6, 7)] == [cx.TRACE_TIC, 1, 100]
    assert stub.last_text("get_chromatogram", 2) == b"" and stub.last_int("get_chromatogram", 5) == 0
    run.bpc(filter="ms1")
    assert stub.last_int("get_chromatogram", 1) == cx.TRACE_BPC and stub.last_text("get_chromatogram", 2) == b"ms1"
    run.xic(500.0, ppm=10, rt=(1.0, 2.0), filter="ms1")
    assert stub.last_int("get_chromatogram", 1) == cx.TRACE_MASS_RANGE
    assert stub.last_in_array("get_chromatogram", 3) == pytest.approx([499.995])
    assert stub.last_in_array("get_chromatogram", 4) == pytest.approx([500.005])
    # The stand-in's retention time is 0.5 x scan number: scans 2..4 lie in 1..2 minutes.
    assert (stub.last_int("get_chromatogram", 6), stub.last_int("get_chromatogram", 7)) == (2, 4)
    run.xic([300.0, 400.0], ppm=0)
    assert stub.last_int("get_chromatogram", 5) == 2
    assert stub.last_in_array("get_chromatogram", 3) == [300.0, 400.0]
    with pytest.raises(ValueError, match="ppm"):
        run.xic(500.0, ppm=-1)


def test_a_trace_longer_than_the_scan_count_arrives_whole(stub, run):
    stub.set_array("get_chromatogram", 0, [0.01 * i for i in range(450)])
    stub.set_array("get_chromatogram", 1, [1.0] * 450)
    assert len(run.tic().rt) == 450


def test_an_rt_window_without_scans_gives_an_empty_trace(stub, run):
    trace = run.xic(500.0, rt=(1000.0, 2000.0))
    assert len(trace.rt) == 0 and stub.calls("get_chromatogram") == 0


def test_averaged_spectra(stub, run):
    peaks = run.averaged(scans=[3, 1, 3])
    assert peaks.intensity.tolist() == [500.0, 1000.0, 1500.0, 2000.0, 2500.0]
    assert stub.last_in_array("get_averaged_spectrum", 1, kind="i") == [3, 1, 3]
    run.averaged(rt=(1.0, 2.0))
    assert stub.last_in_array("get_averaged_spectrum", 1, kind="i") == [2, 3, 4]
    calls = stub.calls("get_averaged_spectrum")
    assert len(run.averaged(rt=(1.0, 2.0), ms_order=2).mz) == 0
    assert stub.calls("get_averaged_spectrum") == calls
    for bad in ({}, {"scans": [1], "rt": (1.0, 2.0)}):
        with pytest.raises(ValueError, match="either scans or rt"):
            run.averaged(**bad)


def test_dependent_scans(stub, run):
    dependents = run[1].dependents()
    assert dependents == [cx.DependentScan(2, "ms2 dependent", (400.0, 500.0), (2.0, 2.0))] * 2
    assert stub.last_int("get_scan_dependents_count", 2) == 2  # one order above the MS1 scan
    stub.set_result("get_scan_dependent_detail_filter_string", -1)
    stub.set_result("get_scan_dependent_detail_precursor_mass_array", -1)
    assert run[1].dependents(ms_order=3)[0] == cx.DependentScan(2, None, (), (2.0, 2.0))
    stub.set_result("get_scan_dependents_count", -1)
    assert run[1].dependents() == []


def test_metadata(stub, run, raw):
    meta = run.metadata()
    assert meta["run"]["path"] == raw and meta["run"]["num_scans"] == 100
    assert (meta["run"]["first_scan"], meta["run"]["last_scan"], meta["run"]["end_time"]) == (1, 100, 60.0)
    assert meta["instrument"]["model"] == "Model S" and meta["instrument"]["serial_number"] == "SN-0001"
    assert meta["sample"]["name"] == "Sample 1" and meta["sample"]["user_text"] == ["User text 1", "User text 2"]
    stub.set_result("get_sample_injection_volume", math.nan)
    assert run.sample()["injection_volume"] is None


# -- what a Reader library without the mzML library's conventions gives ---------------------


def test_a_reader_library_without_ids_or_stored_chromatograms(stub, run):
    stub.set_result("get_ms_order", 2)
    stub.set_result("get_scan_event_first_precursor_mass", 444.62)
    stub.set_result("get_scan_event_isolation_width", 1.96)
    stub.set_result("get_scan_event_isolation_width_offset", 0.48)
    text(stub, "get_trailer_extra_labels", "Charge State:|Note |")
    text(stub, "get_trailer_extra_values", " 3|a b|")
    scan = run[12]
    assert scan.native_id == "scan=12" and run.by_native_id("scan=12") == scan
    with pytest.raises(KeyError, match="'scan=101'"):
        run.by_native_id("scan=101")
    assert run.chromatograms() == []
    # Nothing is taken as stated where corvix does not know the Reader library's statistics.
    assert (scan.tic, scan.base_peak_mz, scan.lowest_mz, scan.precursor_native_id, scan.extra_arrays) == \
        (None, None, None, None, ())
    assert scan.trailer == {"Charge State": "3", "Note": "a b"}
    assert scan.trailer_pairs == (("Charge State:", " 3"), ("Note ", "a b"), ("", ""))
    assert scan.trailer_left_out == 0
    # The isolation window from its low end, width and centre offset.
    assert scan.isolation_lower_offset == pytest.approx(0.5) and scan.isolation_upper_offset == pytest.approx(1.46)
    assert scan.isolation_target == pytest.approx(445.12)
    stub.set_result("is_centroid", 1)
    assert scan.centroid is True and stub.calls("get_scan_filter_scan_data") == 0
