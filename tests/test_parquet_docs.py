"""docs/parquet.md: its schema tables are the schema corvix writes, and its
code (a DuckDB and a Polars query over a folder of runs, the metadata and the
API) runs, as a user runs it, over runs converted by `corvix convert`, giving
what the generator wrote."""
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

from conftest import module_dir
from corvix.writers.table import CHROMATOGRAM_COLUMNS, PEAK_COLUMNS

REPO = pathlib.Path(__file__).resolve().parent.parent
DOC = REPO / "docs" / "parquet.md"


def blocks(tag):
    return re.findall(rf"^```python \{{\.{tag}\}}\n(.*?)^```", DOC.read_text(encoding="utf-8"), flags=re.S | re.M)


def table_after(heading):
    """The rows of the first Markdown table after `heading`, as tuples of cell texts."""
    text = DOC.read_text(encoding="utf-8").split(heading, 1)[1]
    lines = [line for line in text.splitlines() if line.startswith("|")]
    rows = []
    for line in lines[2:]:
        if not line.startswith("| `"):
            break
        rows.append(tuple(cell.strip() for cell in line.strip("|").split(" | ")))
    return rows


@pytest.mark.parametrize("heading, columns", [("## The peak table", PEAK_COLUMNS),
                                              ("## The chromatogram table", CHROMATOGRAM_COLUMNS)])
def test_the_schema_tables_are_the_schema_written(heading, columns):
    assert table_after(heading) == [(f"`{c.name}`", str(c.type), c.description) for c in columns]


def environment():
    env = {k: v for k, v in os.environ.items() if k != "VELMAR_NATIVE_LIB"}
    env["PYTHONPATH"] = os.pathsep.join([module_dir(), str(REPO), str(REPO / "tests")])
    return env


def run_python(code, cwd):
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, env=environment(), capture_output=True, text=True,
                          timeout=300)


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """Two generated runs converted to Parquet in converted/, their truths, and run.mzML."""
    library = os.environ.get("CORVIX_MZML_READER", "")
    if not os.path.isfile(library):
        pytest.skip(f"the mzML Reader library is not built (CORVIX_MZML_READER={library!r} names no file)")
    from mzmlgen import RunConfig, make_run, write_mzml

    work = tmp_path_factory.mktemp("parquet-docs")
    truths = {"a": write_mzml(make_run(RunConfig(seed=2, n_scans=120, rt_end=3.0)), str(work / "a.mzML")),
              "b": write_mzml(make_run(RunConfig(seed=3, n_scans=90, rt_start=0.8, rt_end=2.5, top_n=2)),
                              str(work / "b.mzML"))}
    result = subprocess.run([sys.executable, "-m", "corvix", "convert", "a.mzML", "b.mzML", "-o", "converted",
                             "--format", "parquet", "--jobs", "2"], cwd=work, env=environment(),
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    shutil.copy(work / "a.mzML", work / "run.mzML")
    return work, truths


def test_duckdb_query_over_the_folder(folder):
    pytest.importorskip("duckdb")
    work, truths = folder
    result = run_python("".join(blocks("parquet-duckdb")), work)
    assert result.returncode == 0, result.stderr
    expected = []
    for name, truth in sorted(truths.items()):
        for level in sorted({s.ms_level for s in truth.spectra}):
            spectra = [s for s in truth.spectra if s.ms_level == level]
            expected.append(f"{name} {level} {len(spectra)} {sum(len(s.mz) for s in spectra)}")
    assert result.stdout.splitlines() == expected


def test_polars_query_over_the_folder(folder):
    pytest.importorskip("polars")
    work, truths = folder
    result = run_python("".join(blocks("parquet-polars")), work)
    assert result.returncode == 0, result.stderr
    lines = [line.split(" ") for line in result.stdout.splitlines()]
    expected = [(f"{name}.peaks.parquet", str(s.scan_number), float(s.intensity.sum()))
                for name, truth in sorted(truths.items()) for s in truth.spectra
                if s.ms_level == 1 and 1.0 <= s.rt <= 2.0]
    assert len(expected) > 10
    assert [(file, scan) for file, scan, _ in lines] == [(file, scan) for file, scan, _ in expected]
    assert [float(tic) for _, _, tic in lines] == pytest.approx([tic for _, _, tic in expected], rel=1e-12)


def test_metadata_and_api_blocks(folder):
    pytest.importorskip("polars")  # the API block makes a Polars frame too
    work, truths = folder
    result = run_python("".join(blocks("parquet-meta")) + "\n" + "\n".join(blocks("parquet-api")), work)
    assert result.returncode == 0, result.stderr
    truth = truths["a"]
    spectra = truth.spectra
    rows = sum(max(1, len(s.mz)) for s in spectra)
    ms2 = sum(max(1, len(s.mz)) for s in spectra if s.ms_level == 2 and 1.0 <= s.rt <= 2.5)
    ms1 = sum(max(1, len(s.mz)) for s in spectra if s.ms_level == 1)
    window = sum(max(1, len(s.mz)) for s in spectra if 1.0 <= s.rt <= 2.0)
    assert result.stdout.splitlines() == [f"corvix-peaks {truth.instrument_model}", f"{rows} {ms2} 4 {ms1} {window}"]
    assert (work / "converted" / "run.peaks.parquet").is_file()
    assert (work / "converted" / "run.chromatograms.parquet").is_file()


def test_dask_example_makes_a_parquet_dataset_and_queries_it(tmp_path):
    pytest.importorskip("duckdb")
    from conftest import stub_path

    for name in ("a.raw", "b.raw"):
        (tmp_path / name).write_bytes(b"")
    env = environment()
    env["VELMAR_NATIVE_LIB"] = str(stub_path("full"))
    result = subprocess.run([sys.executable, str(REPO / "examples" / "dask_convert.py"), "dataset", "a.raw", "b.raw",
                             "missing.raw", "--format", "parquet", "--workers", "2", "--summary"],
                            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    assert result.returncode == 1, result.stderr  # one file failed
    assert sorted(os.listdir(tmp_path / "dataset")) == ["a.chromatograms.parquet", "a.peaks.parquet",
                                                        "b.chromatograms.parquet", "b.peaks.parquet"]
    assert "2 converted, 1 failed" in result.stderr
    summary = [line for line in result.stdout.splitlines() if line.startswith("summary:")]
    assert summary == ["summary: a MS1: 100 spectra, 300 peaks", "summary: b MS1: 100 spectra, 300 peaks"]
