"""Every generated mzML shape, converted by corvix to mzML, MGF and Parquet
and read back by independent readers (lxml against the indexed-mzML schema,
pyteomics, pyarrow, DuckDB), gives the generator's truth; and Run.to_arrow
gives what the Parquet file holds, selecting by retention time by value."""
import dataclasses

import numpy as np
import pyarrow.parquet as pq
import pytest

import corvix
from mzml_session import RUN_CONFIG, SHAPES
from mzmlgen import WriteOptions, make_run, write_mzml
from converted import check_converted_chromatograms, check_converted_mgf, check_converted_mzml
from written import assert_numpress_close, check_mzml, same_floats, spectra_by_id

def polarity(spectrum):
    return "+" if spectrum.polarity == "positive" else "-"


@pytest.fixture(scope="module")
def converted(corpus, tmp_path_factory):
    """Every shape converted to every format: shape -> {format: path}."""
    folder = tmp_path_factory.mktemp("converted")
    out = {}
    for shape, truth in corpus.items():
        paths = {}
        for fmt, suffix in (("mzML", ".mzML"), ("mgf", ".mgf"), ("parquet", ".peaks.parquet")):
            paths[fmt] = str(folder / (shape + suffix))
            corvix.convert_file(truth.path, paths[fmt], format=fmt)
        out[shape] = paths
    return out


@pytest.mark.parametrize("shape", list(SHAPES))
def test_mzml_of_every_shape_is_valid_and_reads_back(corpus, converted, shape):
    check_converted_mzml(corpus[shape], converted[shape]["mzML"], shape)
    check_converted_chromatograms(corpus[shape], converted[shape]["mzML"])


@pytest.mark.parametrize("shape", list(SHAPES))
def test_mgf_of_every_shape_reads_back(corpus, converted, shape):
    check_converted_mgf(corpus[shape], converted[shape]["mgf"])


@pytest.mark.parametrize("shape", list(SHAPES))
def test_parquet_of_every_shape_reads_back_with_pyarrow_and_duckdb(corpus, converted, shape):
    duckdb = pytest.importorskip("duckdb")

    truth = corpus[shape]
    path = converted[shape]["parquet"]
    table = pq.read_table(path)
    sizes = [max(1, len(s.mz)) for s in truth.spectra]
    assert table.num_rows == sum(sizes)
    assert same_floats(table.column("mz").to_numpy(zero_copy_only=False),
                       np.concatenate([s.mz if len(s.mz) else [np.nan] for s in truth.spectra]))
    assert same_floats(table.column("intensity").to_numpy(zero_copy_only=False),
                       np.concatenate([s.intensity if len(s.intensity) else [np.nan] for s in truth.spectra]))
    per_scan = duckdb.connect().execute(
        f"select scan_number, any_value(native_id), any_value(ms_level), any_value(rt), any_value(polarity), "
        f"any_value(centroid), any_value(precursor_mz), any_value(charge), any_value(activation), "
        f"any_value(collision_energy), count(mz), sum(intensity) "
        f"from read_parquet('{path}') group by scan_number order by scan_number").fetchall()
    expected = []
    for s in truth.spectra:
        p = s.precursor
        expected.append((s.scan_number, s.native_id, s.ms_level, s.rt, polarity(s), s.centroid,
                         p and p.mz, (p.charge or None) if p else None, p and p.activation,
                         p and p.collision_energy, len(s.mz), float(s.intensity.sum()) if len(s.mz) else None))
    assert [row[:11] for row in per_scan] == [row[:11] for row in expected]
    sums = [[np.nan if row[11] is None else row[11] for row in rows] for rows in (per_scan, expected)]
    np.testing.assert_allclose(sums[0], sums[1], rtol=1e-12)
    chromatograms = pq.read_table(path.replace(".peaks.", ".chromatograms."))
    assert chromatograms.column("chromatogram_id").unique().to_pylist() == [c.id for c in truth.chromatograms]
    assert chromatograms.num_rows == sum(max(1, len(c.times)) for c in truth.chromatograms)
    assert same_floats(chromatograms.column("intensity").to_numpy(zero_copy_only=False),
                       np.concatenate([c.intensities for c in truth.chromatograms] or [[]]))


@pytest.mark.parametrize("shape", ["indexed-zlib", "empty-spectra", "numpress-slof"])
def test_to_arrow_is_the_parquet_table(corpus, converted, shape):
    with corvix.open(corpus[shape].path) as run:
        table = run.to_arrow()
    stored = pq.read_table(converted[shape]["parquet"])
    assert table.equals(stored.replace_schema_metadata(table.schema.metadata))


@pytest.mark.parametrize("compression", ["numpress", "numpress-zlib", "none"])
def test_mzml_compressions_read_back(corpus, tmp_path, compression):
    truth = corpus["indexed-zlib"]
    out = tmp_path / "out.mzML"
    corvix.convert_file(truth.path, out, compression=compression)
    check_mzml(out)
    for s, spectrum in zip(truth.spectra, spectra_by_id(out).values()):
        if compression == "none" or len(s.mz) < 2:
            assert same_floats(spectrum["m/z array"], s.mz) and same_floats(spectrum["intensity array"], s.intensity)
        else:
            assert_numpress_close(spectrum["m/z array"], s.mz, "mz")
            assert_numpress_close(spectrum["intensity array"], s.intensity, "intensity")


def survey_scans_first(run):
    """The run with its MS1 scans first and the others after (retention time not rising in file order)."""
    order = [s for s in run.spectra if s.ms_level == 1] + [s for s in run.spectra if s.ms_level > 1]
    moved = {s.position: i for i, s in enumerate(order)}
    spectra = []
    for i, s in enumerate(order):
        precursor = s.precursor and dataclasses.replace(s.precursor, source_position=moved[s.precursor.source_position])
        spectra.append(dataclasses.replace(s, position=i, precursor=precursor))
    return dataclasses.replace(run, spectra=spectra)


def test_tables_select_retention_times_by_value(tmp_path):
    truth = write_mzml(survey_scans_first(make_run(RUN_CONFIG)), tmp_path / "ms1-first.mzML", WriteOptions())
    times = np.array([s.rt for s in truth.spectra])
    assert (np.diff(times) < 0).any()
    window = (float(np.quantile(times, 0.3)), float(np.quantile(times, 0.6)))
    inside = [s for s in truth.spectra if window[0] <= s.rt <= window[1]]
    with corvix.open(truth.path) as run:
        table = run.to_arrow(rt=window, columns=["scan_number", "rt", "mz"])
        ms2 = run.to_polars(ms_order=2, rt=window) if _has("polars") else None
        frame = run.to_pandas(rt=(window[1], window[1]))
    assert sorted(set(table.column("scan_number").to_pylist())) == [s.scan_number for s in inside]
    assert table.num_rows == sum(max(1, len(s.mz)) for s in inside)
    if ms2 is not None:
        assert sorted(set(ms2["scan_number"].to_list())) == [s.scan_number for s in inside if s.ms_level == 2]
    assert set(frame["rt"]) <= {window[1]}  # both ends of the window are inclusive


def _has(module):
    try:
        __import__(module)
    except ImportError:
        return False
    return True
