"""corvix conversion against the stand-in Reader library: the mzML and MGF it
writes (read back with pyteomics), atomic output, failed files, parallel
workers, and the other commands of the command line."""
import json
import os
import subprocess
import sys
import sysconfig

import numpy as np
import pytest
from pyteomics import mgf

import corvix as cx
from corvix import cli
import pyarrow.parquet as pq
from corvix.convert import (ConvertJob, atomic_output, chromatogram_path, convert_file, convert_task, output_path,
                            stem)

from conftest import module_dir, stub_path
from written import pyteomics_mzml

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture
def raw(tmp_path):
    path = tmp_path / "sample.raw"
    path.write_bytes(b"")
    return str(path)


def script_msn(stub):
    """Every scan of the stand-in becomes an MS2 scan of a charge-3 precursor."""
    stub.set_result("get_ms_order", 2)
    stub.set_result("get_precursor_mass", 445.123456789)
    stub.set_result("get_scan_event_isolation_width", 1.6)
    # The window reaches from 444.5 to 446.1 around its target, 445.1 (0.6 below, 1.0 above).
    stub.set_result("get_scan_event_first_precursor_mass", 444.5)
    stub.set_result("get_scan_event_isolation_width_offset", 0.2)
    stub.set_result("get_scan_event_collision_energy", 30.0)
    stub.set_result("get_scan_event_activation_type", 1)
    stub.set_text("get_trailer_extra_labels", b"Charge State:")
    stub.set_text("get_trailer_extra_values", b"3")


def cli_run(*args, cwd, env=None, timeout=300):
    environment = {k: v for k, v in os.environ.items() if k not in ("VELMAR_NATIVE_LIB", "CORVIX_MZML_READER")}
    environment["PYTHONPATH"] = os.pathsep.join([module_dir(), REPO])
    environment["VELMAR_NATIVE_LIB"] = str(stub_path("full"))
    environment.update(env or {})
    return subprocess.run([sys.executable, "-m", "corvix", *map(str, args)], cwd=cwd, env=environment,
                          capture_output=True, text=True, timeout=timeout)


# -- what is written ---------------------------------------------------------------------


def test_mzml_output_carries_scans_metadata_and_precursors(stub, raw, tmp_path):
    script_msn(stub)
    stub.set_text("get_scan_filter_string", b"ms2 445.1235@hcd30.00 [100.0-1000.0]")
    out = tmp_path / "out.mzML"
    assert convert_file(raw, out) == 100
    data = out.read_text(encoding="utf-8")
    assert data.startswith("<?xml") and "<indexedmzML" in data and "<indexList" in data
    assert 'name="zlib compression"' in data and 'name="64-bit float"' in data
    assert 'name="instrument model" value="Model S"' in data
    assert 'name="instrument serial number" value="SN-0001"' in data
    assert 'name="Sample 1"' in data and 'startTimeStamp="2024-01-02T03:04:05"' in data
    with pyteomics_mzml(str(out), use_index=False) as reader:
        spectra = list(reader)
    assert [s["id"] for s in spectra] == [f"scan={n}" for n in range(1, 101)]
    first = spectra[0]
    assert first["ms level"] == 2 and first["centroid spectrum"] == ""
    scan = first["scanList"]["scan"][0]
    assert scan["scan start time"] == 0.5 and scan["filter string"] == "ms2 445.1235@hcd30.00 [100.0-1000.0]"
    assert first["m/z array"].tolist() == [100.0, 200.0, 300.0]
    assert first["intensity array"].tolist() == [1000.0, 2000.0, 3000.0]
    assert first["m/z array"].dtype == np.float64
    # Summaries this Reader library does not state are computed from the peaks; the isolation window is the
    # one it reports (not the selected ion's m/z plus and minus half the width); no precursor scan is guessed.
    assert (first["total ion current"], first["base peak m/z"], first["base peak intensity"]) == (6000.0, 300.0, 3000.0)
    assert (first["lowest observed m/z"], first["highest observed m/z"]) == (100.0, 300.0)
    precursor = first["precursorList"]["precursor"][0]
    ion = precursor["selectedIonList"]["selectedIon"][0]
    assert ion["selected ion m/z"] == 445.123456789 and ion["charge state"] == 3
    window = precursor["isolationWindow"]
    assert window["isolation window target m/z"] == pytest.approx(445.1, abs=1e-12)
    assert (window["isolation window lower offset"], window["isolation window upper offset"]) == \
        pytest.approx((0.6, 1.0), abs=1e-12)
    assert "spectrumRef" not in precursor
    assert "beam-type collision-induced dissociation" in precursor["activation"]
    assert precursor["activation"]["collision energy"] == 30.0
    assert '<userParam name="Charge State" value="3"/>' in data  # the trailer's fields come back as userParams
    assert spectra[99]["scanList"]["scan"][0]["scan start time"] == 50.0


def test_mzml_output_of_ms1_profile_scans(stub, raw, tmp_path):
    stub.set_result("get_centroid_stream_full", -1)
    stub.set_result("get_scan_filter_polarity", 0)
    out = tmp_path / "out.mzML"
    convert_file(raw, out, "MZML")
    with pyteomics_mzml(str(out)) as reader:
        first = next(reader)
        assert reader.get_by_id("scan=100")["index"] == 99
    assert first["ms level"] == 1 and "profile spectrum" in first and "negative scan" in first
    assert "precursorList" not in first
    assert first["m/z array"].tolist() == [100.0, 101.0, 102.0, 103.0, 104.0]


def test_mgf_output_has_msn_scans_only(stub, raw, tmp_path):
    out = tmp_path / "ms1.mgf"
    assert convert_file(raw, out, "mgf") == 0 and out.read_bytes() == b""
    script_msn(stub)
    out = tmp_path / "msn.mgf"
    assert convert_file(raw, out, "mgf") == 100
    with mgf.MGF(str(out)) as reader:
        spectra = list(reader)
    assert len(spectra) == 100
    params = spectra[3]["params"]
    assert params["title"] == "sample.raw: scan=4" and params["scans"] == "4"
    assert params["pepmass"][0] == 445.123456789 and params["charge"] == [3]
    assert params["rtinseconds"] == 120.0
    assert spectra[3]["m/z array"].tolist() == [100.0, 200.0, 300.0]
    text = out.read_text()
    assert text.count("BEGIN IONS") == text.count("END IONS") == 100 and "CHARGE=3+" in text


def test_output_names():
    assert stem("/d/run.01.raw") == "run.01" and stem("x.mzML.gz") == "x" and stem("X.MZML") == "X"
    assert output_path("/d/run.raw", "/o", "mzml") == os.path.join("/o", "run.mzML")
    assert output_path("a.mzML.gz", "o", "MGF") == os.path.join("o", "a.mgf")
    assert output_path("a.raw", "o", "Parquet") == os.path.join("o", "a.peaks.parquet")
    assert chromatogram_path(os.path.join("o", "a.peaks.parquet")) == os.path.join("o", "a.chromatograms.parquet")
    assert chromatogram_path("b.parquet") == "b.chromatograms.parquet" and chromatogram_path("c") == \
        "c.chromatograms.parquet"
    with pytest.raises(ValueError, match="unknown output format"):
        output_path("a.raw", "o", "csv")
    with pytest.raises(ValueError, match="cannot be named like the chromatogram file"):
        chromatogram_path("x.chromatograms.parquet")


def test_parquet_output_of_the_run_and_its_facts(stub, raw, tmp_path):
    script_msn(stub)
    out = tmp_path / "sample.peaks.parquet"
    assert cx.convert_file(raw, out, format="parquet", compression="snappy") == 100
    table = pq.read_table(out)
    assert table.num_rows == 300 and table.column_names[-2:] == ["mz", "intensity"]
    rows = table.slice(0, 3).to_pylist()
    assert [r["mz"] for r in rows] == [100.0, 200.0, 300.0] and {r["native_id"] for r in rows} == {"scan=1"}
    first = rows[0]
    assert (first["ms_level"], first["rt"], first["precursor_mz"], first["charge"]) == (2, 0.5, 445.123456789, 3)
    assert (first["activation"], first["collision_energy"], first["centroid"]) == ("HCD", 30.0, True)
    assert (first["isolation_target"], first["isolation_lower_offset"], first["isolation_upper_offset"]) == \
        pytest.approx((445.1, 0.6, 1.0), abs=1e-12)
    facts = json.loads(table.schema.metadata[b"corvix.run"])
    assert facts["instrument"]["model"] == "Model S" and facts["sample"]["name"] == "Sample 1"
    chromatograms = pq.read_table(tmp_path / "sample.chromatograms.parquet")
    assert chromatograms.num_rows == 0 and chromatograms.schema.metadata[b"corvix.schema"] == b"corvix-chromatograms"
    assert pq.ParquetFile(out).metadata.row_group(0).column(0).compression == "SNAPPY"


def test_to_arrow_selects_scans_and_columns(stub, raw):
    script_msn(stub)
    with cx.open(raw) as run:
        whole = run.to_arrow()
        part = run.to_arrow(ms_order=2, rt=(1.0, 2.0), columns=["intensity", "scan_number"])
        assert run.to_arrow(ms_order=1).num_rows == 0
        with pytest.raises(ValueError, match="unknown column.*'peaks'"):
            run.to_arrow(columns=["peaks"])
        frame = run.to_pandas(rt=(0.0, 0.5))
    assert whole.num_rows == 300 and whole.schema.metadata[b"corvix.schema"] == b"corvix-peaks"
    assert part.column_names == ["scan_number", "intensity"]  # in the schema's order
    assert part.column("scan_number").to_pylist() == [2, 2, 2, 3, 3, 3, 4, 4, 4]
    assert len(frame) == 3 and list(frame["mz"]) == [100.0, 200.0, 300.0]


def test_dataframes_name_the_extra_to_install(stub, raw, monkeypatch):
    import builtins

    real_import = builtins.__import__

    def no_dataframes(name, *args, **kwargs):
        if name in ("pandas", "polars"):
            raise ImportError(f"No module named {name!r}")
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_dataframes)
    with cx.open(raw) as run:
        with pytest.raises(ImportError, match=r"pip install 'native_corvix_py_backend\[pandas\]'"):
            run.to_pandas()
        with pytest.raises(ImportError, match=r"pip install 'native_corvix_py_backend\[polars\]'"):
            run.to_polars()


# -- atomic output and failures ---------------------------------------------------------------


def leftovers(directory):
    return sorted(name for name in os.listdir(directory) if name.endswith(".part"))


def finals(directory):
    return sorted(name for name in os.listdir(directory) if not name.endswith(".part") and name != "sample.raw")


@pytest.mark.parametrize("format", ["mzML", "mgf", "parquet"])
@pytest.mark.parametrize("fault", ["midway", "at the end"])
def test_a_failed_write_leaves_no_file_and_keeps_the_old_one(stub, raw, tmp_path, monkeypatch, format, fault):
    script_msn(stub)
    out = output_path(raw, tmp_path, format)
    with open(out, "w") as old:
        old.write("previous conversion")
    full = OSError(28, "No space left on device")

    def progress(done, total):
        if fault == "midway" and done == 50:
            raise full

    def fsync(descriptor):
        raise full

    if fault == "at the end":
        monkeypatch.setattr(os, "fsync", fsync)
    with pytest.raises(OSError, match="No space left"):
        convert_file(raw, out, format, progress=progress)
    assert open(out).read() == "previous conversion" and leftovers(tmp_path) == []
    assert finals(tmp_path) == [os.path.basename(out)]  # nor a chromatogram file beside a Parquet one


def test_an_unwritable_output_is_a_failure_that_leaves_nothing(stub, raw, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("")
    for format in ("mzML", "parquet"):
        with pytest.raises(OSError):
            convert_file(raw, blocker / "out" / "x.mzML", format)
    result = cli_run("convert", raw, "-o", blocker, cwd=tmp_path)
    assert result.returncode == 1 and "corvix convert:" in result.stderr
    assert sorted(os.listdir(tmp_path)) == ["file", "sample.raw"]


def test_a_failure_midway_leaves_no_file_and_keeps_the_old_one(stub, raw, tmp_path):
    out = tmp_path / "sample.mzML"
    out.write_text("previous conversion")
    stub.set_result("get_centroid_stream_full", -1)
    stub.set_result("get_spectrum", -1)
    with pytest.raises(cx.ReaderError, match="scan 1: get_spectrum failed"):
        convert_file(raw, out)
    assert out.read_text() == "previous conversion" and leftovers(tmp_path) == []


def test_an_interrupted_conversion_leaves_no_file(stub, raw, tmp_path):
    out = tmp_path / "sample.mzML"
    seen = []

    def progress(done, total):
        seen.append((done, total))
        if done >= 50:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        convert_file(raw, out, progress=progress)
    assert not out.exists() and leftovers(tmp_path) == []
    assert seen[0] == (0, 100) and seen[-1][0] >= 50


def test_atomic_output_appears_only_when_complete(tmp_path):
    final = tmp_path / "x.mgf"
    with atomic_output(str(final)) as handle:
        handle.write(b"data")
        assert not final.exists() and len(leftovers(tmp_path)) == 1
        assert leftovers(tmp_path)[0].startswith(".x.mgf.")
    assert final.read_bytes() == b"data" and leftovers(tmp_path) == []


def test_convert_task_reports_instead_of_raising(stub, raw, tmp_path):
    outcome = convert_task(ConvertJob(str(tmp_path / "absent.raw"), str(tmp_path)))
    assert not outcome.ok and outcome.output is None and "no such file" in outcome.error
    outcome = convert_task(ConvertJob(raw, str(tmp_path), "mgf"))
    assert outcome.ok and outcome.output == os.path.join(str(tmp_path), "sample.mgf")
    outcome = convert_task(ConvertJob(raw, str(tmp_path), "mzML"))
    assert outcome.ok and outcome.scans == 100 and outcome.seconds > 0
    # The input itself is never the output.
    source = tmp_path / "in.mzML"
    source.write_text("input")
    outcome = convert_task(ConvertJob(str(source), str(tmp_path), "mzML"))
    assert not outcome.ok and "input file itself" in outcome.error and source.read_text() == "input"


# -- the command line ------------------------------------------------------------------------------


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_one_good_and_one_missing_file_exit_with_failure(tmp_path, jobs):
    (tmp_path / "good.raw").write_bytes(b"")
    result = cli_run("convert", "good.raw", "missing.raw", "-o", "out", "--jobs", jobs, cwd=tmp_path)
    assert result.returncode == 1, result.stderr
    assert os.listdir(tmp_path / "out") == ["good.mzML"]
    assert "FAILED missing.raw: FileNotFoundError" in result.stderr
    assert result.stderr.strip().endswith("1 converted, 1 failed")


# Loaded by every interpreter started with its folder on PYTHONPATH (workers included): the
# conversion of two of the files ends its process, one by exiting, one by a signal.
DYING_WORKERS = """
import os, signal
import corvix.convert as convert

real = convert.convert

def convert_or_die(source, *args, **kwargs):
    name = os.path.basename(os.fspath(source))
    if name == "exits.raw":
        os._exit(7)
    if name == "killed.raw":
        os.kill(os.getpid(), signal.SIGKILL)
    return real(source, *args, **kwargs)

convert.convert = convert_or_die
"""


def test_a_worker_that_dies_fails_its_file_and_the_others_go_on(tmp_path):
    names = ["a.raw", "exits.raw", "b.raw", "killed.raw", "c.raw", "d.raw"]
    for name in names:
        (tmp_path / name).write_bytes(b"")
    hooks = tmp_path / "hooks"
    hooks.mkdir()
    (hooks / "sitecustomize.py").write_text(DYING_WORKERS)
    env = {"PYTHONPATH": os.pathsep.join([str(hooks), module_dir(), REPO])}
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        env["PYTHON_GIL"] = "1"  # worker processes, not the threads used without the lock
    result = cli_run("convert", *names, "-o", "out", "--jobs", "2", "-f", "mgf", cwd=tmp_path, env=env)
    assert result.returncode == 1, result.stderr
    assert sorted(os.listdir(tmp_path / "out")) == ["a.mgf", "b.mgf", "c.mgf", "d.mgf"]
    assert "FAILED exits.raw: the worker process converting it died (exit status 7)" in result.stderr
    assert "FAILED killed.raw: the worker process converting it died (killed by SIGKILL)" in result.stderr
    assert result.stderr.strip().endswith("4 converted, 2 failed")


def test_compression_words_of_each_format(tmp_path):
    (tmp_path / "a.raw").write_bytes(b"")
    result = cli_run("convert", "a.raw", "-o", "out", "-f", "mgf", "-c", "zlib", cwd=tmp_path)
    assert result.returncode == 2 and "mgf has no compression 'zlib' (choose none)" in result.stderr
    result = cli_run("convert", "a.raw", "-o", "out", "-f", "parquet", "-c", "numpress", cwd=tmp_path)
    assert result.returncode == 2 and "choose zstd, snappy" in result.stderr
    result = cli_run("convert", "a.raw", "-o", "out", "-c", "none", "-f", "mzml", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert 'name="no compression"' in (tmp_path / "out" / "a.mzML").read_text()


def test_what_cannot_be_carried_is_named_and_strict_fails_the_file(tmp_path):
    (tmp_path / "a.raw").write_bytes(b"")
    # Hooks that script the stand-in in the converting process: an activation with no vocabulary term.
    hooks = tmp_path / "hooks"
    hooks.mkdir()
    (hooks / "sitecustomize.py").write_text(
        "import sys\n"
        f"sys.path.insert(0, {os.path.dirname(__file__)!r})\n"
        "from readerstub import ReaderStub\n"
        f"stub = ReaderStub({str(stub_path('full'))!r})\n"
        "stub.set_result('get_ms_order', 2)\n"
        "stub.set_result('get_precursor_mass', 500.0)\n"
        "stub.set_result('get_scan_event_activation_type', 6)\n")
    env = {"PYTHONPATH": os.pathsep.join([str(hooks), module_dir(), REPO])}
    result = cli_run("convert", "a.raw", "-o", "out", cwd=tmp_path, env=env)
    assert result.returncode == 0, result.stderr
    assert "(100 spectra" in result.stdout and "not carried: 100 x activation 'other' (no vocabulary term)" in \
        result.stdout
    assert result.stderr.strip().endswith("1 converted, 0 failed (1 with data not carried)")
    result = cli_run("convert", "a.raw", "-o", "strict", "--strict", cwd=tmp_path, env=env)
    assert result.returncode == 1 and "FAILED a.raw: NotCarriedError" in result.stderr
    assert os.listdir(tmp_path / "strict") == []



def test_convert_skips_failed_files_and_says_so(tmp_path):
    for name in ("a.raw", "b.raw"):
        (tmp_path / name).write_bytes(b"")
    result = cli_run("convert", "a.raw", "missing.raw", "b.raw", "sub/b.raw", "-o", "out", cwd=tmp_path)
    assert result.returncode == 1, result.stderr
    assert sorted(os.listdir(tmp_path / "out")) == ["a.mzML", "b.mzML"]
    assert "FAILED missing.raw: FileNotFoundError: no such file: missing.raw" in result.stderr
    assert "FAILED sub/b.raw: its output" in result.stderr and "also the output of b.raw" in result.stderr
    assert result.stderr.strip().endswith("2 converted, 2 failed")
    assert "converted a.raw -> out/a.mzML (100 spectra" in result.stdout


def test_parallel_conversion_matches_the_sequential_one(tmp_path):
    names = [f"f{i}.raw" for i in range(4)]
    for name in names:
        (tmp_path / name).write_bytes(b"")
    one = cli_run("convert", *names, "-o", "one", cwd=tmp_path)
    two = cli_run("convert", *names, "-o", "two", "--jobs", "2", "--progress", cwd=tmp_path)
    assert one.returncode == two.returncode == 0, one.stderr + two.stderr
    assert "files: 100%" in two.stderr and "f0.raw" in two.stderr  # the bars were drawn
    for name in names:
        target = name.replace(".raw", ".mzML")
        with pyteomics_mzml(str(tmp_path / "one" / target), use_index=False) as a, \
                pyteomics_mzml(str(tmp_path / "two" / target), use_index=False) as b:
            for x, y in zip(a, b, strict=True):
                assert x["id"] == y["id"] and np.array_equal(x["m/z array"], y["m/z array"])


def test_files_needing_different_libraries_run_in_different_workers(tmp_path):
    # The stand-in copied elsewhere plays the mzML Reader library: a second library,
    # which one process could not load beside the first.
    import shutil

    other = tmp_path / "lib" / "libcorvix_mzml_reader.so"
    other.parent.mkdir()
    shutil.copy(stub_path("full"), other)
    (tmp_path / "a.raw").write_bytes(b"")
    (tmp_path / "b.mzML").write_bytes(b"")
    result = cli_run("convert", "a.raw", "b.mzML", "-o", "out", "-f", "mgf", cwd=tmp_path,
                     env={"CORVIX_MZML_READER": str(other)})
    assert result.returncode == 0, result.stderr
    assert sorted(os.listdir(tmp_path / "out")) == ["a.mgf", "b.mgf"]


def test_help_of_every_command(tmp_path):
    for args in ([], ["convert"], ["info"], ["xic"], ["plot"]):
        result = cli_run(*args, "--help", cwd=tmp_path)
        assert result.returncode == 0 and result.stdout.startswith("usage: corvix"), result.stderr
    result = cli_run("convert", "x.raw", cwd=tmp_path)
    assert result.returncode == 2 and "-o/--outdir" in result.stderr
    result = cli_run("convert", "x.raw", "-o", "o", "--jobs", "0", cwd=tmp_path)
    assert result.returncode == 2 and "--jobs" in result.stderr


def test_info(tmp_path):
    (tmp_path / "a.raw").write_bytes(b"")
    result = cli_run("info", "a.raw", "--json", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    facts = json.loads(result.stdout)
    assert facts["scans"] == 100 and facts["scans_per_ms_order"] == {"1": 100}
    assert facts["rt_range_min"] == [0.5, 50.0] and facts["instrument"]["model"] == "Model S"
    assert facts["sample"]["name"] == "Sample 1"
    result = cli_run("info", "a.raw", cwd=tmp_path)
    lines = [" ".join(line.split()) for line in result.stdout.splitlines()]
    assert "instrument: Model S (Stand-in instrument, serial SN-0001, software 2.0)" in lines
    assert "scans: 100 (1..100)" in lines and "MS1: 100" in lines and "rt range: 0.5000 .. 50.0000 min" in lines
    result = cli_run("info", "absent.raw", cwd=tmp_path)
    assert result.returncode == 1 and "no such file: absent.raw" in result.stderr


def test_xic_csv_and_png(tmp_path):
    (tmp_path / "a.raw").write_bytes(b"")
    result = cli_run("xic", "a.raw", "--mz", "524.26", "--ppm", "5", "--rt", "1:2", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["rt_min,intensity", "0.0,10.0", "0.5,20.0", "1.0,30.0", "1.5,40.0"]
    result = cli_run("xic", "a.raw", "--mz", "524.26", "--png", "x.png", cwd=tmp_path)
    assert result.returncode == 0 and (tmp_path / "x.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    result = cli_run("xic", "a.raw", "--mz", "524.26", "--rt", "5", cwd=tmp_path)
    assert result.returncode == 2 and "START:END" in result.stderr


def test_plot(tmp_path):
    (tmp_path / "a.raw").write_bytes(b"")
    for extra in ([], ["--profile"]):
        result = cli_run("plot", "a.raw", "--scan", "3", "--png", "s.png", *extra, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        assert (tmp_path / "s.png").read_bytes()[:4] == b"\x89PNG"
        assert f"({5 if extra else 3} points)" in result.stderr
    result = cli_run("plot", "a.raw", "--scan", "101", "--png", "s.png", cwd=tmp_path)
    assert result.returncode == 1 and "scan 101 is outside 1..100" in result.stderr


def test_main_returns_the_exit_status(stub, raw, tmp_path, capsys):
    assert cli.main(["info", raw]) == 0
    assert "Model S" in capsys.readouterr().out
    assert cli.main(["convert", raw, "-o", str(tmp_path / "o"), "--no-progress"]) == 0
    assert (tmp_path / "o" / "sample.mzML").exists()


def test_threads_convert_in_parallel_where_the_interpreter_runs_without_its_lock(stub, tmp_path, monkeypatch):
    from corvix import parallel

    monkeypatch.setattr(parallel, "gil_enabled", lambda: False)
    used = []
    real = parallel.ThreadPoolExecutor
    monkeypatch.setattr(parallel, "ThreadPoolExecutor", lambda **kw: used.append(kw) or real(**kw))
    jobs = []
    for name in ("a.raw", "b.raw", "c.raw"):
        (tmp_path / name).write_bytes(b"")
        jobs.append(ConvertJob(str(tmp_path / name), str(tmp_path / "out"), "mzML"))
    jobs.append(ConvertJob(str(tmp_path / "gone.raw"), str(tmp_path / "out"), "mzML"))
    reported = []
    outcomes = parallel.convert_many(jobs, workers=2, progress=False, report=reported.append)
    assert used == [{"max_workers": 2}]
    assert [o.source for o in outcomes] == [j.source for j in jobs]
    assert [o.ok for o in outcomes] == [True, True, True, False] and len(reported) == 4
    assert sorted(os.listdir(tmp_path / "out")) == ["a.mzML", "b.mzML", "c.mzML"]


def test_progress_messages_after_a_file_finished_are_ignored():
    from corvix.parallel import ProgressBars

    bars = ProgressBars([ConvertJob("a.raw", "o")], enabled=True, stream=open(os.devnull, "w"))
    bars.update(0, 10, 100)
    bars.finish(0)
    bars.update(0, 100, 100)  # a worker's last message, arriving late
    assert bars._files == {} and bars.overall.n == 1
    bars.close()
