"""The scripts in examples/, run as a user runs them, against the stand-in
Reader library with its default answers (see reader_stub/reader_stub.cpp:
100 scans, a 5-point spectrum, a 4-point chromatogram, two dependents per
scan, ...). A few paths that the defaults do not reach are run in-process
with the stand-in scripted."""
import csv
import importlib.util
import io
import os
import pathlib
import subprocess
import sys

import pytest

from conftest import module_dir, stub_path

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
SPECTRUM = [(100.0 + i, 1000.0 * (i + 1)) for i in range(5)]
CHROMATOGRAM = [(0.5 * i, 10.0 * (i + 1)) for i in range(4)]


# A free-threaded interpreter switches its lock on when it imports the
# module, which declares that it needs the lock, and says so on stderr.
GIL_WARNING = ("RuntimeWarning: The global interpreter lock (GIL) has been enabled to load module "
               "'native_corvix_py_backend'")


def without_gil_warning(stderr):
    """stderr without the interpreter's warning that the import enabled the
    lock (and the source line it may show under it)."""
    kept, skip_source = [], False
    for line in stderr.splitlines(keepends=True):
        if GIL_WARNING in line:
            skip_source = True
            continue
        if skip_source and line.startswith(" "):
            continue
        skip_source = False
        kept.append(line)
    return "".join(kept)


def run_example(script, *args, cwd):
    environment = {k: v for k, v in os.environ.items() if k != "VELMAR_NATIVE_LIB"}
    environment["PYTHONPATH"] = module_dir()
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / script), *map(str, args)],
        cwd=cwd, env=environment, capture_output=True, text=True, timeout=120)
    result.stderr = without_gil_warning(result.stderr)
    return result


def test_gil_warning_is_all_that_is_dropped():
    warning = ("<frozen importlib._bootstrap>:488: " + GIL_WARNING + ", which has not declared that it can run "
               "safely without the GIL. To override this behavior and keep the GIL disabled (at your own risk), "
               "run with PYTHON_GIL=0 or -Xgil=0.\n")
    assert without_gil_warning(warning + "scan 3: 5 points\n") == "scan 3: 5 points\n"
    assert without_gil_warning(warning + "  import x\nTraceback:\n  File\n") == "Traceback:\n  File\n"
    other = "x.py:1: RuntimeWarning: The global interpreter lock (GIL) has been enabled to load module 'other'\n"
    assert without_gil_warning(other) == other


@pytest.fixture
def library():
    return stub_path("full")


def csv_rows(text):
    rows = list(csv.reader(io.StringIO(text)))
    return rows[0], [tuple(float(v) for v in row) for row in rows[1:]]


def test_every_example_is_tested():
    tested = {"quickstart.py", "spectrum_to_csv.py", "chromatogram.py", "file_info.py", "dependent_scans.py",
              "mzml_run_summary.py",
              "corvix_quickstart.py", "dask_convert.py"}  # the last two in test_corvix_docs.py
    assert {p.name for p in EXAMPLES.glob("*.py")} == tested


def test_quickstart(library, tmp_path):
    result = run_example("quickstart.py", library, "example.raw", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:3] == ["file: Stand-in file.raw", "instrument: Model S SN-0001",
                         "scans 1..100 (100), time 0.00..60.00 min"]
    assert "scan 2: rt 1.000, MS1, 5 points, filter 'ms1 full [100.0-2000.0]'" in lines
    assert lines[-2:] == ["chromatogram: 4 points, max intensity 40.0", "status log fields: ['Time', 'Pressure', 'Temp']"]


def test_spectrum_to_csv_file(library, tmp_path):
    out = tmp_path / "scan.csv"
    result = run_example("spectrum_to_csv.py", library, "x.raw", 3, out, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == ""
    assert result.stderr.strip() == "scan 3: 5 points, 'ms1 full [100.0-2000.0]'"
    header, rows = csv_rows(out.read_text(encoding="utf-8"))
    assert header == ["mass", "intensity"] and rows == SPECTRUM


def test_spectrum_to_csv_stdout_and_errors(library, tmp_path):
    result = run_example("spectrum_to_csv.py", library, "x.raw", 1, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert csv_rows(result.stdout) == (["mass", "intensity"], SPECTRUM)

    result = run_example("spectrum_to_csv.py", library, "x.raw", 101, cwd=tmp_path)
    assert result.returncode == 1 and "scan 101 is outside 1..100" in result.stderr

    result = run_example("spectrum_to_csv.py", library, cwd=tmp_path)
    assert result.returncode == 2 and "Usage:" in result.stderr


@pytest.mark.parametrize("extra", [[], ["--mz", "500", "--ppm", "5", "--filter", "ms1"]])
def test_chromatogram(library, tmp_path, extra):
    result = run_example("chromatogram.py", library, "x.raw", *extra, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert csv_rows(result.stdout) == (["time", "intensity"], CHROMATOGRAM)
    assert result.stderr.strip() == "4 points, apex 40 at 1.5000"


def test_file_info(library, tmp_path):
    result = run_example("file_info.py", library, "x.raw", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    lines = [" ".join(line.split()) for line in result.stdout.splitlines()]
    for expected in [
        "[file]", "name Stand-in file.raw", "revision 66", "user texts ['User text 1', 'User text 2']",
        "model Model S", "scans 1..100 (100)", "mass range 100..2000", "has MS data True",
        "filter 1 ms2 400.00 [100.0-1000.0]",
        "[status log, scan 1]", "Time 0.5", "Pressure 1.5e-05", "Temp 25.0",
        "[trailer extra, scan 1]", "Charge 2", "Resolution 60000",
        "1.250 min Stand-in error", "method 0 26 characters: Stand-in instrument method",
    ]:
        assert expected in lines, expected


def test_dependent_scans(library, tmp_path):
    result = run_example("dependent_scans.py", library, "x.raw", 4, 5, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    detail = "scan index 2, filter 'ms2 dependent', precursors [400.0000, 500.0000], widths [2, 2]"
    assert result.stdout.splitlines() == [
        "scan 4 rt 2.000 (Full ms): 2 dependent scans", f"  0: {detail}", f"  1: {detail}",
        "scan 5 rt 2.500 (Full ms): 2 dependent scans", f"  0: {detail}", f"  1: {detail}",
    ]


def mzml_library():
    path = stub_path("full").parent.parent.parent / "mzml_reader" / "libcorvix_mzml_reader.so"
    assert path.exists(), f"the mzML Reader library was not built: {path}"
    return path


def test_mzml_run_summary(tmp_path):
    # A generated run read through the mzML Reader library (in the example's
    # own interpreter): the summary against what the generator wrote, and the
    # two pictures.
    from mzmlgen import RunConfig, make_run, write_mzml

    truth = write_mzml(make_run(RunConfig(seed=4, n_scans=150, top_n=4, rt_start=1.0, rt_end=9.0, n_features=60)),
                       tmp_path / "run.mzML")
    out = tmp_path / "pictures"
    result = run_example("mzml_run_summary.py", mzml_library(), truth.path, "--out", out, "--top", 3, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    ms1 = sum(s.ms_level == 1 for s in truth.spectra)
    assert lines[0] == f"file: run.mzML (from {truth.source_file_name}, acquired {truth.start_time_stamp})"
    assert lines[1] == f"instrument: {truth.instrument_model}, serial {truth.instrument_serial}"
    assert lines[3] == f"scans 1..150 (150): {ms1} MS1, {150 - ms1} MS2"
    assert lines[4] == f"time {truth.spectra[0].rt:.2f}..{truth.spectra[-1].rt:.2f} min"
    # The three precursors of the MS2 scans with the highest total ion current.
    top = sorted((s for s in truth.spectra if s.ms_level == 2), key=lambda s: -s.tic)[:3]
    rows = [line.split() for line in lines[7:10]]
    assert [int(r[0]) for r in rows] == [s.scan_number for s in top]
    assert [r[2] for r in rows] == [f"{s.precursor.mz:.4f}" for s in top]
    assert lines[-2:] == [f"saved {out / 'tic.png'}", f"saved {out / f'ms2_scan_{top[0].scan_number}.png'}"]
    for picture in (out / "tic.png", out / f"ms2_scan_{top[0].scan_number}.png"):
        assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and picture.stat().st_size > 10_000


def test_mzml_run_summary_of_a_file_that_is_not_mzml(tmp_path):
    (tmp_path / "bad.mzML").write_text("not mzML")
    result = run_example("mzml_run_summary.py", mzml_library(), tmp_path / "bad.mzML", cwd=tmp_path)
    assert result.returncode == 1 and result.stderr.startswith(f"could not open {tmp_path / 'bad.mzML'}: ")
    assert not (tmp_path / "tic.png").exists()


# -- in-process, with the stand-in scripted ----------------------------------


def load_example(name):
    found = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.mark.parametrize("name", ["quickstart", "spectrum_to_csv", "chromatogram", "file_info", "dependent_scans",
                                  "mzml_run_summary"])
def test_a_file_that_does_not_open_is_reported(corvix, stub, capsys, name):
    stub.set_result("is_open", 0)
    argv = {"spectrum_to_csv": ["x.raw", "1"]}.get(name, ["x.raw"])
    assert load_example(name).main([name, str(stub_path("full")), *argv]) == 1
    captured = capsys.readouterr()
    assert "could not open x.raw" in captured.out + captured.err
    assert stub.calls("close_raw_file") == 1


def test_spectrum_capacity_grows_until_the_scan_fits(corvix, stub):
    points = [float(i) for i in range(10)]
    stub.set_array("get_spectrum", 0, points)
    stub.set_array("get_spectrum", 1, points)
    handle = corvix.open_raw_file("x.raw")
    masses, _ = load_example("spectrum_to_csv").read_spectrum(handle, 1, capacity=2)
    assert masses == points
    assert stub.calls("get_spectrum") == 4  # capacities 2, 4, 8, 16
    assert stub.last_int("get_spectrum", 4) == 16


def test_chromatogram_capacity_grows_until_the_trace_fits(corvix, stub, capsys):
    stub.set_result("get_last_scan", 3)  # first capacity: max(3 - 1 + 2, 16) = 16
    stub.set_array("get_chromatogram", 0, [0.1 * i for i in range(40)])
    stub.set_array("get_chromatogram", 1, [1.0] * 40)
    assert load_example("chromatogram").main(["chromatogram", str(stub_path("full")), "x.raw", "--mz", "400"]) == 0
    assert len(capsys.readouterr().out.splitlines()) == 1 + 40
    assert stub.calls("get_chromatogram") == 3  # capacities 16, 32, 64
    assert stub.last_in_array("get_chromatogram", 3) == pytest.approx([400 - 0.004])
    assert stub.last_in_array("get_chromatogram", 4) == pytest.approx([400 + 0.004])


def test_dependent_details_that_are_missing(corvix, stub, capsys):
    stub.set_result("get_scan_dependents_count", 1)
    stub.set_result("get_scan_dependent_detail_precursor_mass_array", -1)
    stub.set_result("get_scan_stats_scan_type", 0)
    stub.set_result("get_ms_order", 2)
    main = load_example("dependent_scans").main
    assert main(["dependent_scans", str(stub_path("full")), "x.raw", "1", "3"]) == 0
    assert capsys.readouterr().out == ""  # no MS1 scan in range
    stub.set_result("get_ms_order", 1)
    assert main(["dependent_scans", str(stub_path("full")), "x.raw", "1", "1"]) == 0
    assert capsys.readouterr().out.splitlines() == [
        "scan 1 rt 0.500 (no scan type): 1 dependent scans",
        "  0: scan index 2, filter 'ms2 dependent', precursors [-], widths [2, 2]",
    ]


# -- the README and the module guide's code -----------------------------------

README = EXAMPLES.parent / "README.md"
MODULE_GUIDE = EXAMPLES.parent / "docs" / "module.md"
GUIDE_LIBRARY = "/opt/velmar/VelmarNativeReader.dll"


def test_readme_opens_with_the_two_commands():
    head = README.read_text(encoding="utf-8").splitlines()[:5]
    assert any("`bash scripts/run.sh`" in line for line in head)
    assert any("`bash scripts/test.sh`" in line for line in head)


def test_module_guide_python_snippets_run(library, tmp_path):
    # Every ```python block of the module guide, in order, as one session
    # against the stand-in (the guide's library path replaced by the stand-in's).
    text = MODULE_GUIDE.read_text(encoding="utf-8")
    blocks = [block.split("```", 1)[0] for block in text.split("```python\n")[1:]]
    assert len(blocks) >= 10
    script = tmp_path / "module_guide_session.py"
    script.write_text("\n".join(blocks).replace(GUIDE_LIBRARY, str(library)) + "\nprint('session done')\n")
    environment = {k: v for k, v in os.environ.items() if k != "VELMAR_NATIVE_LIB"}
    environment["PYTHONPATH"] = module_dir()
    result = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=environment,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "session done"
