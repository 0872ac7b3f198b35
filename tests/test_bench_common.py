"""The benchmarks' shared timer and baselines (bench/_common.py): a figure is
only a comparison when the candidates take turns and the baseline computes
what it says it computes."""
import pathlib
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))

import _common  # noqa: E402


@pytest.mark.parametrize("target, expected_loops", [(0.0, 1), (None, None)])
def test_the_clock_interleaves_its_candidates_and_keeps_their_results(target, expected_loops):
    order = []
    counter = {"a": 0, "b": 0}

    def make(name):
        def work():
            counter[name] += 1
            order.append(name)
            return (name, counter[name])
        return work

    clock = _common.Clock(4, 0.0) if target is not None else _common.Clock(3, 1e-4, max_number=10)
    results = {}
    figures = clock.per_call({"a": make("a"), "b": make("b")}, results)
    assert list(figures) == ["a", "b"] and all(f > 0 for f in figures.values())
    # The last call of each candidate left its value.
    assert results == {"a": ("a", counter["a"]), "b": ("b", counter["b"])}
    if expected_loops == 1:
        # One call a round, and after the first round the two take turns.
        assert order == ["a", "b"] * 4
    else:
        # Every round after the choice of loop counts holds a block of a, then a block of b.
        blocks = [name for i, name in enumerate(order) if i == 0 or order[i - 1] != name]
        assert blocks[-4:] == ["a", "b", "a", "b"]


def test_statement_candidates_run_in_their_namespace():
    namespace = {"calls": []}
    figures = _common.Clock(2, 0.0).per_call({"s": ("calls.append(1)", namespace)})
    assert figures["s"] > 0 and namespace["calls"] == [1, 1]
    with pytest.raises(TypeError):
        _common.Clock(1).per_call({"s": ("pass", {})}, {})


@pytest.mark.parametrize("value, limit, at_least, met", [
    (0.4, 0.5, False, True), (0.5, 0.5, False, True), (0.6, 0.5, False, False),
    (6.0, 5.0, True, True), (4.9, 5.0, True, False),
])
def test_targets(value, limit, at_least, met, capsys):
    target = _common.Target("t", value, limit, at_least)
    assert target.met is met
    assert _common.report_targets([target]) == (0 if met else 1)
    assert ("PASS" if met else "MISS") in capsys.readouterr().out


@pytest.mark.parametrize("seconds, text", [(2.5, "2.500 s"), (0.0025, "2.500 ms"), (2.5e-6, "2.500 us"),
                                           (2.5e-8, "25.0 ns"), (float("inf"), "--")])
def test_times_keep_one_width(seconds, text):
    shown = _common.fmt_time(seconds)
    assert len(shown) == 11 and shown.strip() == text


@pytest.mark.parametrize("rt_unit", ["second", "minute"])
def test_the_pyteomics_chromatogram_is_the_ms1_window_sum(tmp_path, rt_unit):
    from mzmlgen import RunConfig, WriteOptions, make_run, write_mzml

    truth = write_mzml(make_run(RunConfig(seed=3, n_scans=40)), str(tmp_path / "run.mzML"),
                       WriteOptions(rt_unit=rt_unit))
    ms1 = [s for s in truth.spectra if s.ms_level == 1]
    assert 0 < len(ms1) < len(truth.spectra)
    centre = float(ms1[1].mz[ms1[1].intensity.argmax()])
    times, values = _common.pyteomics_xic(truth.path, centre, 10)
    low, high = _common.ppm_window(centre, 10)
    np.testing.assert_allclose(times, [s.rt for s in ms1], rtol=1e-9)
    np.testing.assert_allclose(values, [s.intensity[(s.mz >= low) & (s.mz <= high)].sum() for s in ms1], rtol=1e-12)
    assert values[1] > 0
    assert _common.traces_agree((times, values), (times.copy(), values.copy()))
    assert not _common.traces_agree((times, values), (times, values * 1.001))
    assert not _common.traces_agree((times, values), (times[:-1], values[:-1]))
