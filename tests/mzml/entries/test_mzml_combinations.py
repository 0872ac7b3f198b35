"""Random combinations of run and file shapes, drawn by hypothesis: whatever
the combination, the module reads through the mzML Reader library what the
generator wrote."""
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from mzmlgen import RunConfig, WriteOptions, make_run, write_mzml

configs = st.builds(
    RunConfig,
    seed=st.integers(0, 10_000),
    n_scans=st.integers(1, 45),
    top_n=st.integers(0, 5),
    n_features=st.integers(5, 80),
    profile_ms1=st.booleans(),
    polarity=st.sampled_from(["positive", "negative", "alternate"]),
    activation=st.sampled_from(["HCD", "CID", "ETD", "mixed"]),
    selected_ion_every=st.integers(1, 3),
    rt_start=st.just(0.2),
    rt_end=st.floats(0.5, 30.0),
    ms3_every=st.sampled_from([0, 0, 2]),
)

options = st.builds(
    WriteOptions,
    indexed=st.booleans(),
    compression=st.sampled_from(["zlib", "none", "numpress", "numpress-zlib"]),
    mz_bits=st.sampled_from([32, 64]),
    intensity_bits=st.sampled_from([32, 64]),
    numpress_intensity=st.sampled_from(["slof", "pic"]),
    gzip=st.booleans(),
    filter_strings=st.booleans(),
    id_style=st.sampled_from(["scan", "offset", "gaps", "index", "nonnumeric"]),
    scan_offset=st.integers(0, 100_000),
    chromatograms=st.booleans(),
    param_groups=st.booleans(),
    rt_unit=st.sampled_from(["second", "minute"]),
    pretty=st.booleans(),
    newline=st.sampled_from(["\n", "\r\n"]),
    spectrum_summaries=st.booleans(),
    precursor_refs=st.booleans(),
    extra_arrays=st.booleans(),
    intensity_first=st.booleans(),
    empty_positions=st.lists(st.integers(0, 44), max_size=3).map(tuple),
)


@settings(max_examples=40, derandomize=True, database=None, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(config=configs, opts=options)
def test_any_combination_reads_as_written(m, tmp_path, config, opts):
    truth = write_mzml(make_run(config), tmp_path / ("run.mzML.gz" if opts.gzip else "run.mzML"), opts)
    rel = 1e-12 if opts.compression.startswith("numpress") else 0.0
    h = m.open_raw_file(truth.path)
    try:
        assert m.is_open(h), m.get_error_log_item_message(h, 0)
        assert (m.get_first_scan(h), m.get_last_scan(h)) == (truth.first_scan, truth.last_scan)
        for s in truth.spectra:
            n = s.scan_number
            assert m.get_scan_rt(h, n) == pytest.approx(s.rt, rel=1e-12)
            assert (m.get_ms_order(h, n), m.is_centroid(h, n)) == (s.ms_level, s.centroid)
            assert m.get_scan_filter_polarity(h, n) == (1 if s.polarity == "positive" else 0)
            if s.filter_text is not None:
                assert m.get_scan_filter_string(h, n) == s.filter_text
            precursor = m.get_precursor_mass(h, n)
            if s.precursor is None:
                assert math.isnan(precursor)
            else:
                assert precursor == pytest.approx(s.precursor.mz, rel=1e-12)
                assert m.get_scan_stats(h, n)[12] == s.precursor.charge
            masses, intensities = m.get_spectrum(h, n, s.mz.size + 1)
            np.testing.assert_allclose(masses, s.mz, rtol=rel, atol=0)
            np.testing.assert_allclose(intensities, s.intensity, rtol=rel, atol=0)
            if s.ms_level == 1:
                dependents = sum(1 for d in truth.spectra if d.precursor and d.precursor.source_scan_number == n)
                assert m.get_scan_dependents_count(h, n, 2) == dependents
        rts = [s.rt for s in truth.spectra]
        pick = truth.spectra[len(rts) // 2]
        assert m.get_scan_number_from_rt(h, pick.rt) == pick.scan_number
    finally:
        m.close_raw_file(h)
