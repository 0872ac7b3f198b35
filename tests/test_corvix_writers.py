"""corvix's writers on hand-made records: every field they hold is written,
passes the indexed-mzML schema with vocabulary terms as psims ships them, and
reads back equal with pyteomics, pyarrow and DuckDB; unknown fields are not
written; numbers are written exactly."""
import dataclasses
import io
import json
import math

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from corvix.writers import (ChromatogramRecord, MgfWriter, MzMLWriter, ParquetPeakWriter, PrecursorRecord,
                            RunRecord, SpectrumRecord, write_chromatograms)
from corvix.writers.numbers import format_pairs, format_values
from corvix.writers.table import PEAK_COLUMN_NAMES, PeakTableBuilder
from corvix.writers.vocabulary import ACTIVATION_TERMS, CHROMATOGRAM_TERMS, TERMS, UNITS

from written import (assert_numpress_close, check_mzml, mgf_entries, precursor_of, pyteomics_mzml, same_floats,
                     spectra_by_id, vocabulary)

RNG = np.random.default_rng(17)


def floats(n, low, high, decimals=None):
    values = np.sort(RNG.uniform(low, high, n))
    return values if decimals is None else np.round(values, decimals)


def spectra():
    """Spectra holding every field the records have, some unknown, one without peaks."""
    f32 = floats(40, 10, 1e6).astype(np.float32).astype(np.float64)  # as read from 32-bit arrays
    return [
        SpectrumRecord(0, "controllerType=0 scan=101", 101, 1, 0.25, floats(40, 300, 1500), f32, polarity="+",
                       centroid=False, filter="FTMS + p ESI Full ms [300.00-1500.00]", tic=1.5e7,
                       base_peak_mz=712.3456, base_peak_intensity=9.5e5, lowest_mz=300.5, highest_mz=1499.25,
                       user_params=(("[Extra] Ion Injection Time (ms)", "12.5"), ("note", 'a "quoted" <text> & \t tab'))),
        SpectrumRecord(1, "controllerType=0 scan=102", 102, 2, 0.2625, floats(25, 100, 900, 4),
                       floats(25, 1, 1e4, 2), polarity="+", centroid=True, filter="ms2 500.25@hcd30",
                       precursors=(PrecursorRecord(mz=500.2501, charge=2, isolation_target=500.25,
                                                   isolation_lower_offset=0.7, isolation_upper_offset=1.3,
                                                   activation="HCD", collision_energy=30.0,
                                                   spectrum_ref="controllerType=0 scan=101"),)),
        # An MS2 spectrum whose precursor is known only in part, and with two precursors.
        SpectrumRecord(2, "spectrum 3", 103, 2, 0.27, floats(3, 100, 900), floats(3, 1, 100), polarity="-",
                       precursors=(PrecursorRecord(mz=612.5, activation="ETD"),
                                   PrecursorRecord(isolation_target=700.0, isolation_lower_offset=1.0,
                                                   isolation_upper_offset=1.0))),
        # Nothing known but the essentials, and no peaks.
        SpectrumRecord(3, "index=3", 104, 3, 0.3, np.empty(0), np.empty(0)),
    ]


def run_record(count=4, chromatograms=()):
    return RunRecord(source_path="/data/runs/sample A.raw", run_id="sample_A", spectrum_count=count,
                     ms_levels=(1, 2, 3), instrument={"model": "Bench Model <7>", "serial_number": "SN 1"},
                     sample={"name": "digest & wash", "id": "S-1"}, run_info={"creation_date": "2026-01-02"},
                     native_id_format=None, start_time="2026-01-02T03:04:05", chromatograms=tuple(chromatograms))


CHROMATOGRAMS = [
    ChromatogramRecord("TIC", floats(30, 0, 10), floats(30, 1, 1e8), kind="tic"),
    ChromatogramRecord("SRM SIC Q1=500.25 Q3=300.1", floats(12, 0, 10), floats(12, 0, 1e4), kind="srm",
                       precursor_mz=500.25, product_mz=300.1),
    ChromatogramRecord("empty trace", np.empty(0), np.empty(0)),
]


def write_mzml(path, records, compression="zlib", chromatograms=()):
    with open(path, "wb") as out, MzMLWriter(out, run_record(len(records), chromatograms), compression) as writer:
        for record in records:
            writer.write(record)
    return writer


# -- mzML ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("compression", ["zlib", "none", "numpress", "numpress-zlib"])
def test_mzml_holds_every_field_and_reads_back(tmp_path, compression):
    path = tmp_path / "out.mzML"
    records = spectra()
    writer = write_mzml(path, records, compression, CHROMATOGRAMS)
    assert writer.notes == {}
    document = check_mzml(path)
    read = spectra_by_id(path)
    # An id that mzML does not allow (not key=value pairs) is written as index=N, the id kept as the title.
    ids = ["controllerType=0 scan=101", "controllerType=0 scan=102", "index=2", "index=3"]
    assert list(read) == ids
    assert read["index=2"]["spectrum title"] == "spectrum 3" and "spectrum title" not in read["index=3"]
    for r, written_id in zip(records, ids):
        s = read[written_id]
        assert s["index"] == r.index and s["ms level"] == r.ms_level
        scan = s["scanList"]["scan"][0]
        assert scan["scan start time"] == r.rt and scan["scan start time"].unit_info == "minute"
        assert scan.get("filter string") == r.filter
        assert ("positive scan" in s, "negative scan" in s) == (r.polarity == "+", r.polarity == "-")
        assert ("centroid spectrum" in s, "profile spectrum" in s) == (r.centroid is True, r.centroid is False)
        # As stated; computed from the peaks only where a value is not stated (no base peak or m/z range
        # without peaks).
        peaks = len(r.mz) > 0
        top = int(np.argmax(r.intensity)) if peaks else 0
        for key, value, computed in (
                ("total ion current", r.tic, float(r.intensity.sum())),
                ("base peak m/z", r.base_peak_mz, float(r.mz[top]) if peaks else None),
                ("base peak intensity", r.base_peak_intensity, float(r.intensity[top]) if peaks else None),
                ("lowest observed m/z", r.lowest_mz, float(r.mz.min()) if peaks else None),
                ("highest observed m/z", r.highest_mz, float(r.mz.max()) if peaks else None)):
            assert s.get(key) == (value if value is not None else computed), (key, r.native_id)
        element = document.find(f".//{{*}}spectrum[@index='{r.index}']")
        assert [(u.get("name"), u.get("value")) for u in element.findall("{*}userParam")] == list(r.user_params)
        if compression.startswith("numpress") and len(r.mz) >= 2:
            assert_numpress_close(s["m/z array"], r.mz, "mz")
            assert_numpress_close(s["intensity array"], r.intensity, "intensity")
        else:
            assert same_floats(s["m/z array"], r.mz) and same_floats(s["intensity array"], r.intensity)
        p = precursor_of(s)
        if not r.precursors:
            assert p is None
            continue
        q = r.precursors[0]
        assert p == {"mz": q.mz, "charge": q.charge, "target": q.isolation_target, "lower": q.isolation_lower_offset,
                     "upper": q.isolation_upper_offset,
                     "activation": [ACTIVATION_TERMS[q.activation]] if q.activation else [],
                     "energy": q.collision_energy, "ref": q.spectrum_ref}
        assert len(s["precursorList"]["precursor"]) == len(r.precursors)
    # The run's facts, with their markup escaped.
    text = path.read_text(encoding="utf-8")
    assert 'value="Bench Model &lt;7&gt;"' in text and 'name="digest &amp; wash"' in text
    assert 'startTimeStamp="2026-01-02T03:04:05"' in text and 'name="sample A.raw"' in text
    with pyteomics_mzml(str(path)) as reader:
        traces = {c["id"]: c for c in reader.iterfind("chromatogram")}
    assert list(traces) == [c.id for c in CHROMATOGRAMS]
    for c in CHROMATOGRAMS:
        t = traces[c.id]
        if compression.startswith("numpress") and len(c.rt) >= 2:
            assert_numpress_close(t["time array"], c.rt, "time")
            assert_numpress_close(t["intensity array"], c.intensity, "intensity")
        else:
            assert same_floats(t["time array"], c.rt) and same_floats(t["intensity array"], c.intensity)
        assert (CHROMATOGRAM_TERMS.get(c.kind) in t) == (c.kind is not None)
    srm = traces[CHROMATOGRAMS[1].id]
    assert srm["precursor"][0]["isolationWindow"]["isolation window target m/z"] == 500.25
    assert srm["product"][0]["isolationWindow"]["isolation window target m/z"] == 300.1
    assert len(document.findall(".//{http://psi.hupo.org/ms/mzml}index")) == 2


def test_mzml_zlib_streams_of_either_engine_read_back(tmp_path, monkeypatch):
    import zlib

    from corvix.writers import binary

    records = spectra()
    for engine, level in (("isal", 2), ("zlib", 1)):
        if engine == "zlib":  # as where isal has no build
            monkeypatch.setattr(binary, "_deflate", zlib)
            monkeypatch.setattr(binary, "ZLIB_LEVEL", 1)
        elif binary.ZLIB_ENGINE != "isal":
            continue
        path = tmp_path / f"{engine}.mzML"
        write_mzml(path, records)
        check_mzml(path)
        read = spectra_by_id(path)
        for r, s in zip(records, read.values()):
            assert same_floats(s["m/z array"], r.mz) and same_floats(s["intensity array"], r.intensity)


def test_mzml_names_what_it_cannot_write_and_keeps_the_xml_valid(tmp_path):
    path = tmp_path / "odd.mzML"
    odd = SpectrumRecord(0, "scan=1", 1, 2, 1.0, np.array([100.0]), np.array([5.0]), filter="bell \x07 in text",
                         precursors=(PrecursorRecord(mz=400.0, activation="other"),))
    writer = write_mzml(path, [odd], "numpress")
    assert writer.notes == {"activation 'other' (no vocabulary term)": 1,
                            "texts with characters XML cannot hold (replaced by U+FFFD)": 1}
    check_mzml(path)
    s = spectra_by_id(path)["scan=1"]
    assert s["scanList"]["scan"][0]["filter string"] == "bell \ufffd in text"
    assert same_floats(s["m/z array"], [100.0])  # a one-value array is not Numpress-coded


def test_mzml_writer_refuses_a_wrong_count(tmp_path):
    records = spectra()
    with pytest.raises(ValueError, match="3 spectra written, 4 announced"):
        _write_announcing(tmp_path / "short.mzML", records[:3], 4)
    with pytest.raises(ValueError, match="more spectra than the 2 announced"):
        _write_announcing(tmp_path / "long.mzML", records, 2)
    bad = SpectrumRecord(0, "x", 1, 1, 0.0, np.zeros(3), np.zeros(2))
    with pytest.raises(ValueError, match="3 m/z values but 2 intensities"):
        _write_announcing(tmp_path / "bad.mzML", [bad], 1)


def _write_announcing(path, records, count):
    with open(path, "wb") as out, MzMLWriter(out, run_record(count)) as writer:
        for record in records:
            writer.write(record)


def test_vocabulary_tables_match_the_psi_ms_vocabulary():
    terms = vocabulary()
    for table in (TERMS, UNITS):
        for name, term in table.items():
            assert terms.get(term.accession) == name == term.name
            assert term.accession.startswith(term.cv + ":")
    assert set(ACTIVATION_TERMS.values()) | set(CHROMATOGRAM_TERMS.values()) <= set(TERMS)


# -- numbers ------------------------------------------------------------------------------------

HARD = np.concatenate([
    RNG.standard_normal(3000) * 10.0 ** RNG.uniform(-30, 30, 3000),   # any magnitude, either sign
    RNG.uniform(0, 1e4, 3000),                                        # 17 significant digits
    RNG.uniform(0, 1e6, 3000).astype(np.float32).astype(np.float64),  # from 32-bit arrays
    np.round(RNG.uniform(50, 2000, 3000), 5),                         # few decimals
    [0.0, -0.0, math.nan, math.inf, -math.inf, 1e300, 5e-324, 2.0 ** 53, 2.0 ** 53 + 2, 0.1, 0.05, -0.05,
     123456789012345.6, 1e22, 1e-22, 9.999999999999999e15, 1e15, 0.000123, 1e-7],
])


def test_numbers_read_back_as_the_same_doubles():
    texts = format_values(HARD)
    back = np.array([float(t) for t in texts])
    assert same_floats(back, HARD) and np.array_equal(np.signbit(back), np.signbit(HARD))
    # The digits of repr's for ordinary values (repr writes large and small ones with an exponent,
    # and whole numbers with ".0").
    ordinary = (np.abs(HARD) >= 1e-4) & (np.abs(HARD) < 1e15)
    assert [t for t, o in zip(texts, ordinary) if o] == [repr(float(v)).removesuffix(".0") for v in HARD[ordinary]]


def test_pairs_are_lines_with_their_ends():
    a, b = HARD[:500], HARD[-500:][::-1]
    text, ends = format_pairs(a, b)
    lines = text.decode("ascii").split("\n")
    assert lines[-1] == "" and len(lines) == 501
    pairs = np.array([[float(x) for x in line.split(" ")] for line in lines[:-1]])
    assert same_floats(pairs[:, 0], a) and same_floats(pairs[:, 1], b)
    assert ends.tolist() == np.cumsum([len(line) + 1 for line in lines[:-1]]).tolist()
    assert format_pairs(np.empty(0), np.empty(0))[0] == b""


# -- MGF ----------------------------------------------------------------------------------------


def test_mgf_holds_msn_spectra_and_reads_back(tmp_path):
    path = tmp_path / "out.mgf"
    records = [r for r in spectra() if r.ms_level >= 2]
    # What MGF has no place for is counted: userParams (those the source could not pass on too), extra arrays.
    records[0] = dataclasses.replace(records[0], user_params=(("a", "1"), ("b", "2")), user_params_left_out=3,
                                     extra_arrays=("charge array",))
    with open(path, "wb") as out, MgfWriter(out, run_record()) as writer:
        for record in records:
            writer.write(record)
    assert writer.notes == {"precursors after the first (MGF holds one)": 1,
                            "userParams (MGF has no place for them)": 5,
                            "binary arrays besides m/z and intensity": 1}
    entries = mgf_entries(path)
    assert len(entries) == len(records)
    # The title names the source file and the native id; SCANS is the scan number of a "scan=N" id, else absent.
    scans = {"controllerType=0 scan=102": "102", "spectrum 3": None, "index=3": None}
    for entry, r in zip(entries, records):
        params = entry["params"]
        p = r.precursor or PrecursorRecord()
        assert params["title"] == f"sample A.raw: {r.native_id}"
        assert params.get("scans") == scans[r.native_id] and params["rtinseconds"] == r.rt * 60.0
        assert params.get("pepmass", (None,))[0] == p.mz
        assert ("charge" in params) == (p.charge is not None)
        assert same_floats(entry["m/z array"], r.mz) and same_floats(entry["intensity array"], r.intensity)
    assert "CHARGE=2+" in path.read_text()


# -- Arrow tables and Parquet ------------------------------------------------------------------------


def expected_rows(records):
    """The long table the records make, row by row, as Python values."""
    rows = []
    for r in records:
        p = r.precursor
        base = {"native_id": r.native_id, "scan_number": r.scan_number, "ms_level": r.ms_level, "rt": r.rt,
                "polarity": r.polarity, "filter": r.filter, "precursor_mz": p and p.mz, "charge": p and p.charge,
                "isolation_target": p and p.isolation_target,
                "isolation_lower_offset": p and p.isolation_lower_offset,
                "isolation_upper_offset": p and p.isolation_upper_offset, "activation": p and p.activation,
                "collision_energy": p and p.collision_energy, "centroid": r.centroid}
        pairs = list(zip(r.mz.tolist(), r.intensity.tolist())) or [(None, None)]
        rows += [{**base, "mz": mz, "intensity": intensity} for mz, intensity in pairs]
    return rows


def test_peak_table_has_one_row_per_peak_and_one_per_empty_spectrum():
    records = spectra()
    builder = PeakTableBuilder()
    for record in records:
        builder.add(record)
    assert builder.rows == 40 + 25 + 3 + 1
    table = builder.table()
    assert table.column_names == list(PEAK_COLUMN_NAMES)
    assert table.to_pylist() == expected_rows(records)
    assert builder.notes == {"precursors after the first (a peak table holds one)": 1,
                             "userParams (a peak table has no column for them)": 2}
    assert builder.table().num_rows == 0 and builder.rows == 0  # the builder starts over


@pytest.mark.parametrize("compression", ["zstd", "none"])
def test_parquet_files_read_back_with_pyarrow_and_duckdb(tmp_path, compression):
    duckdb = pytest.importorskip("duckdb")
    path, chromatograms = str(tmp_path / "a.peaks.parquet"), str(tmp_path / "a.chromatograms.parquet")
    records = spectra() * 3  # 40, 25, 3 and 1 rows, three times
    run = run_record(len(records), CHROMATOGRAMS)
    with ParquetPeakWriter(path, run, compression, row_group_rows=41) as writer:
        for record in records:
            writer.write(record)
    assert write_chromatograms(chromatograms, run, compression) == 3
    metadata = pq.ParquetFile(path).metadata
    # A row group ends with the spectrum that reaches 41 rows: a spectrum is never split.
    assert [metadata.row_group(i).num_rows for i in range(metadata.num_row_groups)] == [65, 44, 69, 29]
    assert metadata.row_group(0).column(0).compression == ("ZSTD" if compression == "zstd" else "UNCOMPRESSED")
    table = pq.read_table(path)
    assert table.to_pylist() == expected_rows(records)
    meta = table.schema.metadata
    assert meta[b"corvix.schema"] == b"corvix-peaks" and meta[b"corvix.schema_version"] == b"1"
    facts = json.loads(meta[b"corvix.run"])
    assert facts["instrument"]["model"] == "Bench Model <7>" and facts["source_file"] == "sample A.raw"
    db = duckdb.connect()
    counts = db.execute(f"select native_id, count(mz), count(*) from read_parquet('{path}') "
                        "group by native_id order by min(scan_number)").fetchall()
    assert counts == [(r.native_id, 3 * len(r.mz), 3 * max(1, len(r.mz))) for r in records[:4]]
    traces = db.execute(f"select chromatogram_id, kind, count(rt), max(intensity) from read_parquet('{chromatograms}') "
                        "group by all order by chromatogram_id").fetchall()
    assert traces == sorted((c.id, c.kind, len(c.rt), float(c.intensity.max()) if len(c.rt) else None)
                            for c in CHROMATOGRAMS)
    assert pq.read_table(chromatograms).schema.metadata[b"corvix.schema"] == b"corvix-chromatograms"


def test_arrow_table_converts_to_dataframes():
    builder = PeakTableBuilder(("native_id", "rt", "mz", "intensity"))
    for record in spectra():
        builder.add(record)
    table = builder.table()
    assert table.column_names == ["native_id", "rt", "mz", "intensity"]
    pandas = pytest.importorskip("pandas")
    frame = table.to_pandas()
    assert isinstance(frame, pandas.DataFrame) and len(frame) == 69 and frame["mz"].isna().sum() == 1
    polars = pytest.importorskip("polars")
    assert polars.from_arrow(table).filter(polars.col("native_id") == "spectrum 3").height == 3
