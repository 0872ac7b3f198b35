"""corvix selects retention-time windows by value and MS orders by level, on
runs whose file order is not their retention-time order (every MS1 scan
first, then every MS2 and MS3 scan) as well as on runs in acquisition order.
Every expectation is computed from the generator's truth."""
import subprocess
import sys

import numpy as np
import pytest

import corvix
from mzmlgen import RunConfig, WriteOptions, make_run, write_mzml

ORDERS = {
    "levels": WriteOptions(order="levels"),
    "levels, unindexed, minutes": WriteOptions(order="levels", indexed=False, rt_unit="minute"),
    "acquisition": WriteOptions(),
}


@pytest.fixture(scope="module", params=list(ORDERS))
def truth(request, tmp_path_factory):
    run = make_run(RunConfig(seed=17, n_scans=150, top_n=4, ms3_every=3, rt_start=0.5, rt_end=9.0,
                             n_features=120))
    folder = tmp_path_factory.mktemp("windows")
    return write_mzml(run, str(folder / "run.mzML"), ORDERS[request.param])


def windows(truth):
    """Windows whose ends are scans' own retention times (the ends are inclusive), a window
    between scans, one before the run and one upside down."""
    rts = sorted(s.rt for s in truth.spectra)
    n = len(rts)
    return [(rts[n // 5], rts[n // 2]), (rts[0], rts[0]), (rts[n // 3], rts[-1]),
            ((rts[10] + rts[11]) / 2, (rts[40] + rts[41]) / 2), (-5.0, -1.0), (rts[30], rts[20])]


def inside(truth, window, level=None):
    start, end = window
    return [s for s in truth.spectra if start <= s.rt <= end and (level is None or s.ms_level == level)]


def test_the_generated_file_order_is_what_the_shape_says(truth):
    rts = [s.rt for s in truth.spectra]
    assert (rts != sorted(rts)) == (truth.options.order == "levels")


def test_scans_in_a_window_are_those_whose_rt_lies_in_it(truth):
    with corvix.open(truth.path) as run:
        for window in windows(truth):
            expected = [s.scan_number for s in inside(truth, window)]
            assert run.scans_in_rt(*window) == expected, window
            assert [s.number for s in run.scans(rt=window)] == expected, window
            for level in (1, 2, 3):
                assert [s.number for s in run.scans(ms_order=level, rt=window)] == \
                    [s.scan_number for s in inside(truth, window, level)], (window, level)


def test_ms_order_selects_each_level_of_a_mixed_run(truth):
    levels = {s.ms_level for s in truth.spectra}
    assert levels == {1, 2, 3}
    with corvix.open(truth.path) as run:
        for level in levels:
            assert [s.number for s in run.scans(ms_order=level)] == \
                [s.scan_number for s in truth.spectra if s.ms_level == level]
            assert all(s.ms_order == level for s in run.scans(ms_order=level))
        assert list(run.scans(ms_order=4)) == []


def test_traces_in_a_window_hold_exactly_its_scans_in_rt_order(truth):
    ms1 = [s for s in truth.spectra if s.ms_level == 1]
    busiest = max(ms1, key=lambda s: s.intensity.max())
    centre = float(busiest.mz[busiest.intensity.argmax()])
    low, high = centre * (1 - 10e-6), centre * (1 + 10e-6)
    with corvix.open(truth.path) as run:
        for window in windows(truth):
            expected = sorted(inside(truth, window), key=lambda s: s.rt)
            tic = run.tic(rt=window)
            np.testing.assert_array_equal(tic.rt, [s.rt for s in expected])
            np.testing.assert_allclose(tic.intensity, [s.tic for s in expected], rtol=1e-12)
            bpc = run.bpc(rt=window, filter="ms2")
            ms2 = [s for s in expected if s.ms_level == 2]
            np.testing.assert_array_equal(bpc.rt, [s.rt for s in ms2])
            np.testing.assert_allclose(bpc.intensity, [s.base_peak_intensity for s in ms2], rtol=1e-12)
            xic = run.xic(centre, ppm=10, rt=window)
            np.testing.assert_array_equal(xic.rt, [s.rt for s in expected])
            np.testing.assert_allclose(
                xic.intensity, [s.intensity[(s.mz >= low) & (s.mz <= high)].sum() for s in expected], rtol=1e-9)
        whole = run.tic()
        assert np.all(np.diff(whole.rt) >= 0) and len(whole.rt) == len(truth.spectra)
        np.testing.assert_array_equal(np.sort(whole.rt), sorted(s.rt for s in truth.spectra))


def test_averaged_over_a_window_takes_its_ms1_scans(truth):
    window = windows(truth)[0]
    ms1 = inside(truth, window, 1)
    assert len(ms1) >= 3
    with corvix.open(truth.path) as run:
        averaged = run.averaged(rt=window)
        same = run.averaged(scans=[s.scan_number for s in ms1])
        every = run.averaged(rt=window, ms_order=None)
    np.testing.assert_array_equal(averaged.mz, same.mz)
    np.testing.assert_array_equal(averaged.intensity, same.intensity)
    assert averaged.intensity.sum() == pytest.approx(sum(s.intensity.sum() for s in ms1) / len(ms1), rel=1e-9)
    everything = inside(truth, window)
    assert every.intensity.sum() == pytest.approx(
        sum(s.intensity.sum() for s in everything) / len(everything), rel=1e-9)


def test_xic_command_window(truth):
    window = windows(truth)[0]
    ms1 = inside(truth, window, 1)
    centre = float(ms1[0].mz[ms1[0].intensity.argmax()])
    result = subprocess.run([sys.executable, "-m", "corvix", "xic", truth.path, "--mz", repr(centre), "--ppm", "10",
                             "--rt", f"{window[0]!r}:{window[1]!r}", "--filter", "ms1"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    rows = [line.split(",") for line in result.stdout.splitlines()[1:]]
    assert [float(r[0]) for r in rows] == [s.rt for s in sorted(ms1, key=lambda s: s.rt)]
