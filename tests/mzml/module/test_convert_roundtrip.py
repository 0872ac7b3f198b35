"""Round trips of the shapes real files have: each generated, read through the mzML Reader library,
converted by corvix to mzML and MGF, and read back with pyteomics, gives the generator's truth (native ids,
retention times, isolation windows as stated, summaries as stated, userParams, stored chromatograms, the
centroid term or none); what a format cannot hold is named on the command's line, and --strict fails."""
import os
import subprocess
import sys

import pyarrow.parquet as pq
import pytest

import corvix
from mzml_session import TESTS, write_shapes
from converted import check_converted_chromatograms, check_converted_mgf, check_converted_mzml
from mzmlgen import RunConfig, WriteOptions, make_run, write_mzml
from written import pyteomics_mzml

SHAPES = {
    "MS1 first, scan ids out of order, extra array": WriteOptions(order="levels", extra_arrays=True),
    "spectrum=N with gaps, userParams, TIC stated apart from the peaks": WriteOptions(
        id_style="spectrum-gaps", user_params=True, tic_scale=1.37),
    "key=value ids, milliseconds, userParams": WriteOptions(id_style="keyvalue", rt_unit="millisecond",
                                                             user_params=True),
    "free text ids, no centroid/profile term, generic model": WriteOptions(
        id_style="freetext", representation=False, model_term="generic", indexed=False),
    "asymmetric windows, non-standard arrays, no refs, gzip": WriteOptions(
        isolation_offsets=(0.5, 1.46), nonstandard_arrays=("resolution", "signal|noise 100%"), gzip=True,
        precursor_refs=False, id_style="index"),
    "no summaries, userParams past the trailer buffer": WriteOptions(
        spectrum_summaries=False, padding_params=100, user_params=True, id_style="offset"),
    "spectra with TIC, BPC and SRM chromatograms": WriteOptions(srm_chromatograms=3, chromatogram_time_unit="minute"),
}
RUN = RunConfig(seed=31, n_scans=48, top_n=4, activation="mixed", polarity="alternate", selected_ion_every=3,
                ms3_every=4, rt_start=0.4, rt_end=4.0, n_features=80)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    return write_shapes(make_run(RUN), SHAPES, tmp_path_factory.mktemp("roundtrip"))


def extra_arrays(truth):
    return sum(len(s.extra_arrays) for s in truth.spectra)


def user_params(truth):
    return sum(len(s.user_params) for s in truth.spectra)


@pytest.mark.parametrize("shape", list(SHAPES))
def test_mzml_round_trip(files, tmp_path, shape):
    truth = files[shape]
    out = tmp_path / "out.mzML"
    result = corvix.convert.convert(truth.path, out)
    assert (result.spectra, result.chromatograms) == (len(truth.spectra), len(truth.chromatograms))
    cut = bool(truth.options.padding_params)
    document = check_converted_mzml(truth, out, shape, cut_user_params=cut)
    check_converted_chromatograms(truth, out)
    notes = dict(result.not_carried)
    assert notes.get("binary arrays besides m/z and intensity (their values are not read)", 0) == extra_arrays(truth)
    left_out = notes.get("userParams the Reader library could not pass on (its trailer text was full)", 0)
    assert left_out + sum(len(e.findall("{*}userParam")) for e in document.iter("{*}spectrum")) == user_params(truth)
    assert (left_out > 0) == cut
    # The model is written only where the file names one; the ids' form only where they share a generic one.
    text = out.read_text(encoding="utf-8")
    assert ('name="instrument model"' in text) == (truth.instrument_model is not None)
    forms = {"scan": "scan number only", "offset": "scan number only", "index": "multiple peak list",
             "spectrum-gaps": "spectrum identifier"}
    form = forms.get(truth.options.id_style)
    assert ("nativeID format" in text) == (form is not None) and (form is None or f"{form} nativeID format" in text)


@pytest.mark.parametrize("shape", list(SHAPES))
def test_mgf_round_trip(files, tmp_path, shape):
    truth = files[shape]
    out = tmp_path / "out.mgf"
    result = corvix.convert.convert(truth.path, out, format="mgf")
    check_converted_mgf(truth, out)
    notes = dict(result.not_carried)
    msn = [s for s in truth.spectra if s.ms_level >= 2]
    assert notes.get("userParams (MGF has no place for them)", 0) == sum(len(s.user_params) for s in msn)
    assert notes.get("binary arrays besides m/z and intensity", 0) == sum(len(s.extra_arrays) for s in msn)
    assert notes.get("stored chromatograms (MGF holds spectra only)", 0) == len(truth.chromatograms)


def corvix_cli(*args):
    environment = {k: v for k, v in os.environ.items() if k != "VELMAR_NATIVE_LIB"}
    environment["PYTHONPATH"] = os.pathsep.join(filter(None, [str(TESTS.parent), environment.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-m", "corvix", *map(str, args)], capture_output=True, text=True,
                          timeout=600, env=environment)


@pytest.mark.parametrize("spectrum_list", ["empty", "absent"])
def test_a_chromatogram_only_file_converts_its_chromatograms(tmp_path, spectrum_list):
    truth = write_mzml(make_run(RUN), str(tmp_path / "srm.mzML"),
                       WriteOptions(spectrum_list=spectrum_list, srm_chromatograms=25, indexed=False,
                                    chromatogram_time_unit="millisecond"))
    done = corvix_cli("convert", truth.path, "-o", tmp_path / "out")
    assert done.returncode == 0, done.stderr
    assert f"(0 spectra, {len(truth.chromatograms)} chromatograms, " in done.stdout
    check_converted_chromatograms(truth, tmp_path / "out" / "srm.mzML")
    table = pq.read_table(corvix.convert.convert(truth.path, tmp_path / "srm.peaks.parquet", format="parquet")
                          .outputs[1])
    assert table.column("chromatogram_id").unique().to_pylist() == [c.id for c in truth.chromatograms]
    # MGF holds none of it: the file fails rather than "converted (0 spectra)".
    refused = corvix_cli("convert", truth.path, "-o", tmp_path / "mgf", "-f", "mgf")
    assert refused.returncode == 1 and f"MGF cannot hold its {len(truth.chromatograms)} stored chromatograms" \
        in refused.stderr, refused.stderr
    assert not os.path.exists(tmp_path / "mgf" / "srm.mgf")


def test_what_cannot_be_carried_is_named_and_strict_fails(files, tmp_path):
    truth = files["asymmetric windows, non-standard arrays, no refs, gzip"]
    done = corvix_cli("convert", truth.path, "-o", tmp_path / "out", "-f", "mgf")
    assert done.returncode == 0, done.stderr
    msn = sum(s.ms_level >= 2 for s in truth.spectra)
    assert (f"not carried: {2 * msn} x binary arrays besides m/z and intensity, "
            f"{len(truth.chromatograms)} x stored chromatograms (MGF holds spectra only)") in done.stdout, done.stdout
    strict = corvix_cli("convert", truth.path, "-o", tmp_path / "strict", "--strict")
    assert strict.returncode == 1 and "NotCarriedError" in strict.stderr, strict.stderr
    assert "binary arrays besides m/z and intensity" in strict.stderr
    assert not os.listdir(tmp_path / "strict")


def test_a_damaged_file_names_its_damage_and_what_was_not_carried(tmp_path):
    from mzmlgen import broken, render

    # The extra array comes after m/z and intensity, so the damage below hits the m/z array.
    document, truth = render(make_run(RUN), WriteOptions(indexed=False, nonstandard_arrays=("resolution",)))
    ms2 = [s for s in truth.spectra if s.ms_level == 2]
    # One spectrum lost when the file is opened, one whose arrays fail only when they are read.
    data = broken.markup_damaged(document, ms2[1].offset, "close-tag-name")
    data = broken.array_text_damaged(data, ms2[3].offset, b"!")
    source = tmp_path / "damaged.mzML"
    source.write_bytes(data)
    done = corvix_cli("convert", source, "-o", tmp_path / "out", "--allow-damaged")
    assert done.returncode == 0, done.stderr
    kept = len(truth.spectra) - 2
    line = next(line for line in done.stdout.splitlines() if line.startswith("converted "))
    assert f"({kept} spectra, " in line and "DAMAGED: 2 spectra lost to damage" in line, line
    assert f"not carried: {kept} x binary arrays besides m/z and intensity" in line, line
    assert "1 converted, 0 failed (1 with data not carried), 1 of the converted damaged" in done.stderr
    ids = [s["id"] for s in spectra_of(tmp_path / "out" / "damaged.mzML")]
    assert ids == [s.native_id for s in truth.spectra if s.position not in (ms2[1].position, ms2[3].position)]
    # Without --allow-damaged the file fails and nothing is written.
    refused = corvix_cli("convert", source, "-o", tmp_path / "refused")
    assert refused.returncode == 1 and "DamagedRunError" in refused.stderr
    assert not os.listdir(tmp_path / "refused")


def spectra_of(path):
    with pyteomics_mzml(str(path), use_index=False) as reader:
        return list(reader)
