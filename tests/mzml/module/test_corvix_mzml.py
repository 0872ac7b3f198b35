"""corvix over the mzML Reader library, on generated files, and the round
trip mzML -> mzML Reader library -> module -> corvix convert -> mzML.

These run in the mzML session (a process keeps the first Reader library it
loads), where corvix finds the library through CORVIX_MZML_READER. The
generator (tests/mzmlgen) returns the truth of what it wrote; pyteomics reads
both the input and corvix's output independently.
"""
import gzip
import io
import json
import subprocess
import sys

import numpy as np
import pytest
from pyteomics import mgf

import corvix
from corvix.convert import convert_file
from mzmlgen import RunConfig, WriteOptions, make_run, write_mzml
from written import pyteomics_mzml

ACTIVATION = {"HCD": "beam-type collision-induced dissociation", "CID": "collision-induced dissociation",
              "ETD": "electron transfer dissociation"}


@pytest.fixture(scope="session")
def model():
    return make_run(RunConfig(seed=5, n_scans=240, activation="mixed", polarity="alternate",
                              selected_ion_every=3))


@pytest.fixture(scope="session")
def generated(tmp_path_factory, model):
    path = tmp_path_factory.mktemp("gen") / "run.mzML"
    return write_mzml(model, str(path), WriteOptions())


# -- the API against the truth ------------------------------------------------------------------


def test_scans_match_what_was_written(generated):
    truth = generated
    with corvix.open(truth.path) as run:
        assert run.mzml_conventions
        assert (run.first_scan, run.last_scan) == (truth.first_scan, truth.last_scan)
        for scan, expected in zip(run, truth.spectra, strict=True):
            assert scan.rt == pytest.approx(expected.rt, rel=1e-12)
            assert scan.ms_order == expected.ms_level and scan.centroid == expected.centroid
            assert scan.polarity == ("+" if expected.polarity == "positive" else "-")
            assert scan.filter == expected.filter_text
            mz, intensity = scan.peaks()
            np.testing.assert_array_equal(mz, expected.mz)
            np.testing.assert_array_equal(intensity, expected.intensity)
            p = expected.precursor
            if p is None:
                assert scan.precursor_mz is None and scan.charge is None and scan.activation is None
                continue
            assert scan.precursor_mz == p.mz and scan.charge == (p.charge or None)
            assert scan.isolation_width == pytest.approx(p.isolation_lower + p.isolation_upper)
            assert scan.activation == p.activation and scan.collision_energy == p.collision_energy
            assert scan.precursor_scan == p.source_scan_number


def test_chromatograms_and_averages_match_the_spectra(generated):
    truth = generated
    with corvix.open(truth.path) as run:
        tic = run.tic()
        np.testing.assert_allclose(tic.rt, [s.rt for s in truth.spectra], rtol=1e-12)
        np.testing.assert_allclose(tic.intensity, [s.tic for s in truth.spectra], rtol=1e-9)
        ms1 = [s for s in truth.spectra if s.ms_level == 1]
        target = ms1[len(ms1) // 2]
        centre = float(target.mz[target.intensity.argmax()])
        xic = run.xic(centre, ppm=10, filter="ms1")
        low, high = centre * (1 - 10e-6), centre * (1 + 10e-6)
        expected = [s.intensity[(s.mz >= low) & (s.mz <= high)].sum() for s in ms1]
        np.testing.assert_allclose(xic.rt, [s.rt for s in ms1], rtol=1e-12)
        np.testing.assert_allclose(xic.intensity, expected, rtol=1e-9)
        window = (ms1[2].rt - 1e-9, ms1[4].rt + 1e-9)
        part = run.xic(centre, ppm=10, rt=window, filter="ms1")
        np.testing.assert_allclose(part.intensity, expected[2:5], rtol=1e-9)
        averaged = run.averaged(rt=window)
        assert len(averaged.mz) > 0
        assert averaged.intensity.sum() == pytest.approx(sum(s.intensity.sum() for s in ms1[2:5]) / 3, rel=1e-9)
        dependents = run[ms1[0].scan_number].dependents()
        children = [s.scan_number for s in truth.spectra
                    if s.precursor is not None and s.precursor.source_scan_number == ms1[0].scan_number]
        assert [d.index for d in dependents] == children


def test_metadata_of_the_file(generated):
    truth = generated
    with corvix.open(truth.path) as run:
        meta = run.metadata()
    assert meta["instrument"]["model"] == truth.instrument_model
    assert meta["instrument"]["serial_number"] == truth.instrument_serial
    assert (meta["sample"]["name"], meta["sample"]["id"]) == (truth.sample_name, truth.sample_id)
    assert meta["run"]["creation_date"] == truth.start_time_stamp
    assert meta["run"]["num_scans"] == len(truth.spectra)
    assert meta["instrument"]["hardware_version"] is None  # what mzML does not hold


def test_a_file_that_is_not_mzml_is_refused_with_the_reason(tmp_path):
    bad = tmp_path / "bad.mzML"
    bad.write_text("this is not XML")
    with pytest.raises(corvix.OpenError, match="cannot open this file") as caught:
        corvix.open(bad)
    assert len(str(caught.value)) > len(f"{bad}: the Reader library cannot open this file")


def test_a_second_library_is_refused(generated, tmp_path):
    import shutil

    copy = tmp_path / "copy.so"
    shutil.copy(corvix.mzml_reader_path(), copy)
    corvix.open(generated.path).close()
    with pytest.raises(corvix.ReaderConflictError):
        corvix.open(generated.path, reader=copy)


# -- round trip: mzML -> library -> module -> corvix convert -> mzML ----------------------------------


def minutes(value):
    unit = getattr(value, "unit_info", None)
    return float(value) / 60.0 if unit == "second" else float(value)


def precursor_facts(spectrum):
    precursors = spectrum.get("precursorList", {}).get("precursor", [])
    if not precursors:
        return None
    p = precursors[0]
    ions = p.get("selectedIonList", {}).get("selectedIon", [])
    window = p.get("isolationWindow", {})
    mz = ions[0]["selected ion m/z"] if ions else window["isolation window target m/z"]
    charge = int(ions[0]["charge state"]) if ions and "charge state" in ions[0] else None
    activation = p.get("activation", {})
    return {
        "mz": float(mz),
        "charge": charge,
        "window": window or None,
        "activation": sorted(k for k in activation if "dissociation" in k),
        "energy": float(activation["collision energy"]) if "collision energy" in activation else None,
        "ref": p.get("spectrumRef"),
    }


SHAPES = {
    "indexed zlib 64/32": WriteOptions(),
    "plain uncompressed 32/32, minutes": WriteOptions(indexed=False, compression="none", mz_bits=32, rt_unit="minute"),
    "gzip, no filter texts": WriteOptions(gzip=True, filter_strings=False),
}


@pytest.mark.parametrize("shape", SHAPES)
def test_round_trip_keeps_scans_times_levels_precursors_and_peaks(tmp_path, model, shape):
    options = SHAPES[shape]
    source = tmp_path / ("in.mzML.gz" if options.gzip else "in.mzML")
    write_mzml(model, str(source), options)
    out = tmp_path / "out" / "in.mzML"
    result = subprocess.run([sys.executable, "-m", "corvix", "convert", str(source), "-o", str(out.parent)],
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    # pyteomics reads the gzip-wrapped input from its decompressed bytes.
    data = io.BytesIO(gzip.decompress(source.read_bytes())) if options.gzip else str(source)
    # Read through from the start: a lookup through pyteomics' index costs a parse per spectrum.
    with pyteomics_mzml(data, use_index=False) as original, \
            pyteomics_mzml(str(out), use_index=False) as converted:
        before, after = list(original), list(converted)
    assert len(before) == len(after) == len(model.spectra)
    for a, b in zip(before, after):
        assert a["id"] == b["id"]
        assert a["ms level"] == b["ms level"]
        assert minutes(b["scanList"]["scan"][0]["scan start time"]) == pytest.approx(
            minutes(a["scanList"]["scan"][0]["scan start time"]), rel=1e-12, abs=1e-12)
        assert ("centroid spectrum" in a) == ("centroid spectrum" in b)
        assert ("negative scan" in a) == ("negative scan" in b)
        np.testing.assert_array_equal(b["m/z array"], a["m/z array"].astype(np.float64))
        np.testing.assert_array_equal(b["intensity array"], a["intensity array"].astype(np.float64))
        pa, pb = precursor_facts(a), precursor_facts(b)
        assert (pa is None) == (pb is None)
        if pa is not None:
            assert pb["mz"] == pa["mz"] and pb["charge"] == pa["charge"] and pb["ref"] == pa["ref"]
            # The window as the Reader library reports it: the file's target and offsets.
            assert pb["window"] == pytest.approx(pa["window"], rel=1e-12)
            assert pb["activation"] == pa["activation"] and pb["energy"] == pa["energy"]


def test_mgf_from_mzml_holds_every_msn_scan(tmp_path, generated, model):
    out = tmp_path / "run.mgf"
    convert_file(generated.path, out, "mgf")
    with mgf.MGF(str(out)) as reader:
        entries = list(reader)
    msn = [s for s in generated.spectra if s.ms_level >= 2]
    assert len(entries) == len(msn)
    for entry, expected in zip(entries, msn):
        params = entry["params"]
        assert int(params["scans"]) == expected.scan_number
        assert params["pepmass"][0] == expected.precursor.mz
        assert params["rtinseconds"] == pytest.approx(expected.rt * 60.0, rel=1e-12)
        if expected.precursor.charge:
            assert [int(c) for c in params["charge"]] == [expected.precursor.charge * (1 if expected.polarity == "positive" else -1)]
        np.testing.assert_array_equal(entry["m/z array"], expected.mz)


def test_info_command(generated):
    result = subprocess.run([sys.executable, "-m", "corvix", "info", generated.path, "--json"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    facts = json.loads(result.stdout)
    levels = {}
    for s in generated.spectra:
        levels[str(s.ms_level)] = levels.get(str(s.ms_level), 0) + 1
    assert facts["scans_per_ms_order"] == levels
    assert facts["rt_range_min"] == [generated.spectra[0].rt, generated.spectra[-1].rt]
    assert facts["instrument"]["model"] == generated.instrument_model
