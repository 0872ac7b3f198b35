"""What the module returns through the mzML Reader library equals, value for
value, what the generator wrote, for every file shape the generator makes:
scan numbering, per-scan metadata, precursors, spectra, chromatograms,
dependent scans, scans by retention time and run-level texts. Values written
as text compare to float64 precision; arrays compare exactly as stored
(float32 or float64), Numpress arrays to what the reference encoder's decoder
gives."""
import math

import numpy as np
import pytest

from mzml_session import SHAPES
from mzmlgen import writer

POLARITY = {"negative": 0, "positive": 1}
ACTIVATION = {"CID": 0, "HCD": 1, "ETD": 2}
NAN = float("nan")


@pytest.fixture(scope="module")
def opened(m, corpus):
    handles = {name: m.open_raw_file(truth.path) for name, truth in corpus.items()}
    yield handles
    for h in handles.values():
        m.close_raw_file(h)


@pytest.fixture(params=list(SHAPES))
def case(request, m, corpus, opened):
    """(module, handle, truth) for one file shape."""
    return m, opened[request.param], corpus[request.param]


def same(got, expected, rel=1e-12):
    if expected is None or (isinstance(expected, float) and math.isnan(expected)):
        return isinstance(got, float) and math.isnan(got)
    return got == pytest.approx(expected, rel=rel, abs=0.0)


def summary(truth, value):
    """A per-scan summary value as the library reports it: NaN where the file does not write it."""
    return value if truth.options.spectrum_summaries else NAN


def array_tolerance(truth):
    return 1e-12 if truth.options.compression.startswith("numpress") else 0.0


def test_scan_range_and_run_scalars(case):
    m, h, t = case
    assert m.is_open(h) and not m.is_error(h) and m.has_ms_data(h)
    assert (m.get_first_scan(h), m.get_last_scan(h), m.get_num_scans(h)) == (t.first_scan, t.last_scan, len(t.spectra))
    assert same(m.get_start_time(h), min(s.rt for s in t.spectra))
    assert same(m.get_end_time(h), max(s.rt for s in t.spectra))
    assert same(m.get_low_mass(h), min(s.window[0] for s in t.spectra))
    assert same(m.get_high_mass(h), max(s.window[1] for s in t.spectra))
    assert same(m.get_max_integrated_intensity(h), summary(t, max(s.tic for s in t.spectra)))
    assert m.get_max_intensity(h) == (round(max(s.base_peak_intensity for s in t.spectra))
                                      if t.options.spectrum_summaries else -1)
    assert m.get_path(h) == t.path
    assert m.get_file_name(h) == t.path.rsplit("/", 1)[-1]


def test_per_scan_metadata(case):
    m, h, t = case
    for s in t.spectra:
        n = s.scan_number
        where = f"scan {n} ({s.native_id})"
        assert same(m.get_scan_rt(h, n), s.rt), where
        assert m.get_ms_order(h, n) == s.ms_level == m.get_scan_filter_ms_order(h, n), where
        assert m.is_centroid(h, n) is s.centroid, where
        assert m.get_scan_filter_scan_data(h, n) == int(s.centroid), where
        assert m.get_scan_filter_polarity(h, n) == POLARITY[s.polarity], where
        assert m.get_scan_event_mass_range_low(h, n, 0) == s.window[0], where
        assert m.get_scan_event_mass_range_high(h, n, 0) == s.window[1], where
        assert m.get_scan_filter_mass_range_count(h, n) == 1, where
        stats = m.get_scan_stats(h, n)
        assert stats[0] == n and same(stats[1], s.rt) and stats[2] == s.ms_level, where
        assert stats[3] == s.mz.size and same(stats[4], summary(t, s.tic)), where
        assert same(stats[5], summary(t, s.base_peak_mz)), where
        assert same(stats[6], summary(t, s.base_peak_intensity)), where
        # The observed m/z range as written, never the scan window in its place.
        assert same(stats[7], summary(t, s.lowest_mz)) and same(stats[8], summary(t, s.highest_mz)), where
        assert stats[9] == float(s.centroid) and stats[10] == POLARITY[s.polarity], where
        assert (stats[13], stats[14], stats[15]) == (s.window[0], s.window[1], s.injection_time), where
        assert m.get_scan_stats_scan_type(h, n) == ("MS1 spectrum" if s.ms_level == 1 else "MSn spectrum"), where


def test_filter_texts(case):
    m, h, t = case
    for s in t.spectra:
        n = s.scan_number
        built = m.get_scan_event_string(h, n)
        polarity = "+" if s.polarity == "positive" else "-"
        data = "c" if s.centroid else "p"
        window = f"[{s.window[0]:.4f}-{s.window[1]:.4f}]"
        if s.precursor is None:
            expected_built = f"ms1 {polarity} {data} {window}"
        else:
            p = s.precursor
            energy = f"{p.collision_energy:.2f}" if p.collision_energy is not None else ""
            expected_built = f"ms{s.ms_level} {p.mz:.4f}@{p.activation.lower()}{energy} {polarity} {data} {window}"
        assert built == expected_built, f"scan {n}"
        own = m.get_scan_filter_string(h, n)
        assert own == (s.filter_text if s.filter_text is not None else expected_built), f"scan {n}"
    distinct = list(dict.fromkeys(s.filter_text if s.filter_text is not None else m.get_scan_event_string(h, s.scan_number)
                                  for s in t.spectra))
    assert m.get_filters(h) == distinct


def test_precursors(case):
    m, h, t = case
    for s in t.spectra:
        n = s.scan_number
        where = f"scan {n}"
        p = s.precursor
        if p is None:
            assert math.isnan(m.get_precursor_mass(h, n)), where
            assert m.get_scan_filter_mass_count(h, n) == 0 and m.get_scan_filter_dependent(h, n) == 0, where
            assert m.get_scan_event_activation_type(h, n, 0) == -1, where
            continue
        assert m.get_scan_filter_mass_count(h, n) == 1, where
        # Without a spectrum reference the file does not say whether the scan was dependent.
        assert m.get_scan_filter_dependent(h, n) == (1 if p.spectrum_ref else -1), where
        assert same(m.get_precursor_mass(h, n), p.mz), where
        assert same(m.get_scan_event_precursor_mass(h, n, 0), p.mz), where
        assert math.isnan(m.get_scan_event_precursor_mass(h, n, 1)), where
        assert same(m.get_scan_event_isolation_width(h, n, 0), p.isolation_lower + p.isolation_upper), where
        assert same(m.get_scan_event_isolation_width_offset(h, n, 0), (p.isolation_upper - p.isolation_lower) / 2), where
        assert same(m.get_scan_event_first_precursor_mass(h, n, 0), p.isolation_target - p.isolation_lower), where
        assert same(m.get_scan_event_last_precursor_mass(h, n, 0), p.isolation_target + p.isolation_upper), where
        assert m.get_scan_event_activation_type(h, n, 0) == ACTIVATION[p.activation], where
        assert same(m.get_scan_event_collision_energy(h, n, 0), p.collision_energy), where
        assert m.get_scan_event_collision_energy_valid(h, n, 0) == int(p.collision_energy is not None), where
        assert m.get_scan_filter_higher_energy_cid(h, n) == int(p.activation == "HCD"), where
        assert m.get_scan_filter_electron_transfer_dissociation(h, n) == int(p.activation == "ETD"), where
        if p.activation == "HCD":
            assert same(m.get_scan_filter_higher_energy_cid_value(h, n), p.collision_energy), where
        stats = m.get_scan_stats(h, n)
        assert same(stats[11], p.mz) and stats[12] == p.charge, where
        assert stats[16] == p.source_scan_number and stats[17] == 1, where
        assert same(stats[18], p.isolation_lower + p.isolation_upper), where
        assert same(stats[19], p.collision_energy), where


def assert_arrays(got, expected, rel, where):
    assert len(got) == expected.size, where
    if rel == 0.0:
        assert np.array_equal(np.asarray(got, dtype=np.float64), expected), where
    else:
        np.testing.assert_allclose(got, expected, rtol=rel, atol=0, err_msg=where)


def test_spectra_as_stored(case):
    m, h, t = case
    rel = array_tolerance(t)
    for s in t.spectra:
        n = s.scan_number
        masses, intensities = m.get_spectrum(h, n, s.mz.size + 3)
        assert_arrays(masses, s.mz, rel, f"m/z of scan {n}")
        assert_arrays(intensities, s.intensity, rel, f"intensities of scan {n}")
        stream = m.get_centroid_stream(h, n, s.mz.size + 1)
        if s.centroid:
            assert_arrays(stream[0], s.mz, rel, f"centroid m/z of scan {n}")
            assert_arrays(stream[1], s.intensity, rel, f"centroid intensities of scan {n}")
            # What mzML does not hold: NaN floats, -1 integers.
            assert all(math.isnan(v) for v in stream[2] + stream[3] + list(stream[5:])), f"scan {n}"
            assert stream[4] == [-1] * s.mz.size, f"scan {n}"
        else:
            assert stream[:5] == ([], [], [], [], []), f"profile scan {n} has no centroid stream"


def test_spectrum_capacity(case):
    m, h, t = case
    s = max(t.spectra, key=lambda s: s.mz.size)
    assert m.get_spectrum(h, s.scan_number, 0) == ([], [])
    masses, intensities = m.get_spectrum(h, s.scan_number, 5)
    assert_arrays(masses, s.mz[:5], array_tolerance(t), "cut m/z")
    assert_arrays(intensities, s.intensity[:5], array_tolerance(t), "cut intensities")
    assert m.get_centroid_stream(h, s.scan_number, 0)[:5] == ([], [], [], [], [])


def scan_tic(truth, s):
    """A scan's TIC: as written, else the sum of its stored intensities."""
    return s.tic if truth.options.spectrum_summaries else float(s.intensity.sum())


def scan_base_peak(truth, s):
    return s.base_peak_intensity if truth.options.spectrum_summaries else float(s.intensity.max(initial=0.0))


def test_whole_run_chromatograms(case):
    m, h, t = case
    times, tic = m.get_chromatogram(h, 0, "", [], [], t.first_scan, t.last_scan, 10_000)
    assert times == pytest.approx([s.rt for s in t.spectra], rel=1e-12)
    if t.options.spectrum_summaries or not t.chromatograms:
        assert tic == pytest.approx([scan_tic(t, s) for s in t.spectra], rel=1e-9)
    else:
        # Scans without their own TIC: the file's TIC chromatogram, as stored.
        assert tic == pytest.approx(list(t.chromatograms[0].intensities), rel=1e-12)
    times, bpc = m.get_chromatogram(h, 1, "", [], [], 0, 0, 10_000)
    assert times == pytest.approx([s.rt for s in t.spectra], rel=1e-12)
    if t.options.spectrum_summaries or not t.chromatograms:
        assert bpc == pytest.approx([scan_base_peak(t, s) for s in t.spectra], rel=1e-12)
    else:
        assert bpc == pytest.approx(list(t.chromatograms[1].intensities), rel=1e-12)
    # A scan range and a capacity smaller than the trace.
    a, b = t.first_scan + 10, t.first_scan + 29
    times, tic = m.get_chromatogram(h, 0, "", [], [], a, b, 7)
    assert times == pytest.approx([t.by_scan(n).rt for n in range(a, a + 7)], rel=1e-12)
    assert tic == pytest.approx([scan_tic(t, t.by_scan(n)) for n in range(a, a + 7)], rel=1e-9)
    assert m.get_chromatogram(h, 0, "", [], [], a, b, 0) == ([], [])


def test_filtered_and_mass_range_chromatograms(case):
    m, h, t = case
    ms1 = [s for s in t.spectra if s.ms_level == 1]
    times, tic = m.get_chromatogram(h, 0, "ms1", [], [], 0, 0, 10_000)
    assert times == pytest.approx([s.rt for s in ms1], rel=1e-12)
    assert tic == pytest.approx([scan_tic(t, s) for s in ms1], rel=1e-9)
    positive = [s for s in t.spectra if s.ms_level == 2 and s.polarity == "positive"]
    times, _ = m.get_chromatogram(h, 0, "ms2 +", [], [], 0, 0, 10_000)
    assert times == pytest.approx([s.rt for s in positive], rel=1e-12)
    # Extracted ion chromatograms over two ranges around the base peak of the busiest MS1 scan.
    apex = max(ms1, key=lambda s: (s.tic, s.position))
    lows, highs = [apex.base_peak_mz - 0.013, 400.0012], [apex.base_peak_mz + 0.011, 420.0031]
    times, xic = m.get_chromatogram(h, 2, "ms1", lows, highs, 0, 0, 10_000)
    def inside(s):
        mask = np.zeros(s.mz.size, dtype=bool)
        for lo, hi in zip(lows, highs):
            mask |= (s.mz >= lo) & (s.mz <= hi)
        return mask

    expected = [float(s.intensity[inside(s)].sum()) for s in ms1]
    assert times == pytest.approx([s.rt for s in ms1], rel=1e-12)
    assert xic == pytest.approx(expected, rel=1e-9, abs=1e-6)
    assert max(xic) > 0
    # Base peak within the ranges.
    _, bp = m.get_chromatogram(h, 1, "ms1", lows, highs, 0, 0, 10_000)
    expected = [float(s.intensity[inside(s)].max()) if inside(s).any() else 0.0 for s in ms1]
    assert bp == pytest.approx(expected, rel=1e-9, abs=1e-6)


def test_dependent_scans(case):
    m, h, t = case
    for s in t.spectra:
        n = s.scan_number
        dependents = [d for d in t.spectra if d.precursor is not None and d.precursor.source_scan_number == n]
        assert m.get_scan_dependents_count(h, n, 0) == len(dependents), f"scan {n}"
        for order in (2, 3, 4):
            of_order = [d for d in dependents if d.ms_level == order]
            assert m.get_scan_dependents_count(h, n, order) == len(of_order), f"scan {n}, order {order}"
            for i, d in enumerate(of_order):
                p = d.precursor
                assert m.get_scan_dependent_detail_scan_index(h, n, order, i) == d.scan_number
                assert m.get_scan_dependent_detail_precursor_mass_array(h, n, order, i) == pytest.approx(
                    [p.mz], rel=1e-12)
                assert m.get_scan_dependent_detail_isolation_width_array(h, n, order, i) == pytest.approx(
                    [p.isolation_lower + p.isolation_upper], rel=1e-12)
                assert m.get_scan_dependent_detail_filter_string(h, n, order, i) == m.get_scan_filter_string(
                    h, d.scan_number)
            k = len(of_order)
            assert m.get_scan_dependent_detail_scan_index(h, n, order, k) == -1
            assert m.get_scan_dependent_detail_precursor_mass_array(h, n, order, k) is None
        assert m.get_scan_dependent_detail_filter_string(h, n, 2, -1) is None


def test_scans_by_retention_time(case):
    m, h, t = case
    ms1 = [s for s in t.spectra if s.ms_level == 1]
    for s in t.spectra:
        assert m.get_scan_number_from_rt(h, s.rt) == s.scan_number
        assert m.get_scan_number_from_rt(h, s.rt + 1e-9) == s.scan_number  # the nearest, not only an exact time
        nearest = min(ms1, key=lambda x: (abs(x.rt - s.rt), x.position))
        assert m.get_ms1_scan_number_from_rt(h, s.rt) == nearest.scan_number
        if s.ms_level == 2:
            mz = s.precursor.mz
            assert m.get_ms2_scan_number_from_rt(h, s.rt, mz * (1 + 3e-6), 5.0) == s.scan_number
            # Just outside the tolerance in parts per million: not this scan.
            assert m.get_ms2_scan_number_from_rt(h, s.rt, mz * (1 + 6e-6), 5.0) != s.scan_number
            same_precursor = [x for x in t.spectra if x.precursor is not None
                              and abs(x.precursor.mz - (mz + 0.5)) <= (mz + 0.5) * 5e-6]
            if not same_precursor:
                assert m.get_ms2_scan_number_from_rt(h, s.rt, mz + 0.5, 5.0) == -1
    assert m.get_scan_number_from_rt(h, -100.0) == t.first_scan
    assert m.get_scan_number_from_rt(h, 1e9) == t.last_scan
    assert m.get_scan_number_from_rt(h, NAN) == -1
    assert m.get_ms2_scan_number_from_rt(h, 1.0, NAN, 5.0) == -1


def test_run_level_texts(case):
    m, h, t = case
    assert m.get_instrument_model(h) == writer.INSTRUMENT_MODEL
    assert m.get_instrument_serial_number(h) == writer.INSTRUMENT_SERIAL
    assert m.get_instrument_software_version(h) == f"{writer.SOFTWARE_NAME} {writer.SOFTWARE_VERSION}"
    assert m.get_sample_name(h) == writer.SAMPLE_NAME
    assert m.get_sample_id(h) == writer.SAMPLE_ID
    assert m.get_sample_comment(h) == writer.SAMPLE_COMMENT
    assert m.get_creation_date(h) == writer.START_TIME_STAMP
    assert m.get_file_description(h) == writer.SOURCE_FILE_NAME
    assert (m.get_instrument_axis_label_x(h), m.get_instrument_axis_label_y(h)) == ("m/z", "intensity")


def test_what_mzml_does_not_hold(case):
    m, h, t = case
    n = t.first_scan
    assert m.get_status_log_count(h) == 0 and m.get_tune_data_count(h) == 0
    assert m.get_instrument_method_count(h) == 0 and m.get_error_log_items_count(h) == 0
    assert m.get_status_log_header(h) == [""] and m.get_trailer_extra_header(h) == [""]
    with pytest.raises(RuntimeError):
        m.get_status_log_values(h, n)
    # Every scan has trailer pairs (its native id first), see test_fidelity.py.
    assert m.get_trailer_extra_count(h) == len(t.spectra)
    assert m.get_trailer_extra_values(h, n)[0] == t.by_scan(n).native_id.replace("%", "%25").replace("|", "%7C")
    assert math.isnan(m.get_expected_runtime(h)) and math.isnan(m.get_mass_resolution(h))
    assert m.get_sample_vial(h) == "" and m.get_computer_name(h) == "" and m.get_modified_date(h) == ""
    assert m.get_autosampler_tray_index(h) == -1 and m.in_acquisition(h) is False


def test_ms2_filter_masses(case):
    m, h, t = case
    # Distinct precursor m/z to four decimals, ascending: each within half a unit of a precursor.
    by_rounded = {}
    for s in t.spectra:
        if s.ms_level == 2:
            by_rounded.setdefault(round(s.precursor.mz, 4), s.precursor.mz)
    got = m.get_ms2_filter_masses(h, 10_000)
    assert len(got) == len(by_rounded) and got == sorted(got)
    assert got == pytest.approx([by_rounded[k] for k in sorted(by_rounded)], abs=0.5001e-4)
    assert m.get_ms2_filter_masses(h, 3) == got[:3] and m.get_ms2_filter_masses(h, 0) == []


def test_averaged_spectrum(case):
    m, h, t = case
    ms1 = [s for s in t.spectra if s.ms_level == 1 and s.mz.size]
    a, b = ms1[2], ms1[3]
    single = m.get_averaged_spectrum(h, [a.scan_number], 100_000)
    doubled = m.get_averaged_spectrum(h, [a.scan_number, a.scan_number], 100_000)
    assert single[0] == pytest.approx(doubled[0], rel=1e-12)
    assert single[1] == pytest.approx(doubled[1], rel=1e-12)
    masses, intensities = m.get_averaged_spectrum(h, [a.scan_number, b.scan_number], 100_000)
    assert masses == sorted(masses)
    assert sum(intensities) == pytest.approx((a.intensity.sum() + b.intensity.sum()) / 2, rel=1e-9)
    lo = min(a.mz[0], b.mz[0])
    hi = max(a.mz[-1], b.mz[-1])
    assert lo * (1 - 1e-12) <= masses[0] and masses[-1] <= hi * (1 + 1e-12)
    assert len(masses) <= a.mz.size + b.mz.size
    with pytest.raises(RuntimeError):
        m.get_averaged_spectrum(h, [a.scan_number, t.last_scan + 1], 10)


def test_numpress_with_a_separate_zlib_term(m, synthetic_run, tmp_path):
    # Some writers pair the plain Numpress term with the zlib term instead of
    # using the combined "followed by zlib compression" term.
    truth = writer.write_mzml(synthetic_run, tmp_path / "separate.mzML",
                              writer.WriteOptions(compression="numpress-zlib", numpress_zlib_style="separate"))
    h = m.open_raw_file(truth.path)
    try:
        for s in truth.spectra[:12]:
            masses, intensities = m.get_spectrum(h, s.scan_number, s.mz.size)
            assert_arrays(masses, s.mz, 1e-12, f"m/z of scan {s.scan_number}")
            assert_arrays(intensities, s.intensity, 1e-12, f"intensities of scan {s.scan_number}")
    finally:
        m.close_raw_file(h)
