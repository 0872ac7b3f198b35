"""The same files read by pyteomics, an independent reader, agree with what
the module returns through the mzML Reader library (and the generator's files
agree with what the generator says it wrote)."""
import math

import numpy as np
import pytest

from mzml_session import SHAPES
from independent import read_chromatograms, read_spectra

POLARITY = {0: "negative", 1: "positive"}
ACTIVATION = {0: "CID", 1: "HCD", 2: "ETD"}


@pytest.fixture(scope="module")
def independent(corpus):
    """pyteomics' reading of each shape, made once for both tests below
    (its arrays read-only, so that no test can change what another sees)."""
    readings = {}

    def read(shape):
        if shape not in readings:
            path = corpus[shape].path
            records = read_spectra(path)
            for r in records:
                r.mz.flags.writeable = r.intensity.flags.writeable = False
            readings[shape] = records, read_chromatograms(path)
        return readings[shape]
    return read


@pytest.mark.parametrize("shape", list(SHAPES))
def test_generator_files_read_back_with_pyteomics(corpus, independent, shape):
    truth = corpus[shape]
    records, chromatograms = independent(shape)
    assert [r.native_id for r in records] == [s.native_id for s in truth.spectra]
    for r, s in zip(records, truth.spectra):
        assert (r.ms_level, r.centroid, r.polarity, r.filter_text) == (s.ms_level, s.centroid, s.polarity, s.filter_text)
        assert r.rt == pytest.approx(s.rt, rel=1e-12) and r.window == s.window
        assert r.tic == s.tic if truth.options.spectrum_summaries else math.isnan(r.tic)
        np.testing.assert_array_equal(r.mz, s.mz)
        np.testing.assert_array_equal(r.intensity, s.intensity)
        if s.precursor is not None:
            assert (r.precursor_mz, r.charge, r.activation, r.spectrum_ref) == (
                s.precursor.mz, s.precursor.charge, s.precursor.activation, s.precursor.spectrum_ref or None)
    assert sorted(chromatograms) == sorted(c.id for c in truth.chromatograms)
    for c in truth.chromatograms:
        np.testing.assert_allclose(chromatograms[c.id][0], c.times, rtol=1e-14)
        np.testing.assert_array_equal(chromatograms[c.id][1], c.intensities)


@pytest.mark.parametrize("shape", list(SHAPES))
def test_module_agrees_with_pyteomics(m, corpus, independent, shape):
    truth = corpus[shape]
    records, chromatograms = independent(shape)
    h = m.open_raw_file(truth.path)
    try:
        first = m.get_first_scan(h)
        assert m.get_num_scans(h) == len(records)
        for i, r in enumerate(records):
            n = first + i
            where = f"{shape}: scan {n} ({r.native_id})"
            assert m.get_ms_order(h, n) == r.ms_level, where
            assert m.get_scan_rt(h, n) == pytest.approx(r.rt, rel=1e-12), where
            assert m.is_centroid(h, n) == r.centroid, where
            assert POLARITY[m.get_scan_filter_polarity(h, n)] == r.polarity, where
            tic = m.get_scan_stats(h, n)[4]
            assert (math.isnan(tic) and math.isnan(r.tic)) or tic == pytest.approx(r.tic, rel=1e-12), where
            if r.filter_text is not None:
                assert m.get_scan_filter_string(h, n) == r.filter_text, where
            if r.precursor_mz is None:
                assert math.isnan(m.get_precursor_mass(h, n)), where
            else:
                assert m.get_precursor_mass(h, n) == pytest.approx(r.precursor_mz, rel=1e-12), where
                assert m.get_scan_stats(h, n)[12] == r.charge, where
                assert ACTIVATION[m.get_scan_event_activation_type(h, n, 0)] == r.activation, where
                energy = m.get_scan_event_collision_energy(h, n, 0)
                assert (math.isnan(energy) and r.collision_energy is None) or energy == r.collision_energy, where
            masses, intensities = m.get_spectrum(h, n, r.mz.size + 1)
            np.testing.assert_allclose(masses, r.mz, rtol=1e-12, atol=0, err_msg=where)
            np.testing.assert_allclose(intensities, r.intensity, rtol=1e-12, atol=0, err_msg=where)
        if truth.chromatograms:
            times, tic = chromatograms["TIC"]
            got_times, got_tic = m.get_chromatogram(h, 0, "", [], [], 0, 0, 100_000)
            # The file's TIC chromatogram holds the scans' values in its own float width
            # (or Numpress-coded, to about 1e-10 for times and 1e-4 for intensities).
            numpress = truth.options.compression.startswith("numpress")
            np.testing.assert_allclose(got_times, times, rtol=1e-9 if numpress else 1e-12)
            np.testing.assert_allclose(got_tic, tic, rtol=1e-3 if numpress
                                       else 1e-6 if truth.options.intensity_bits == 32 else 1e-12)
    finally:
        m.close_raw_file(h)
