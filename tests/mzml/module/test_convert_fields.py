"""Conversion reads only what each format writes, and the id pass that names the ids' form for the mzML
header reads the same ids the records carry: on every generated shape, the short paths give exactly what
the full records give."""
import io

import pyarrow.parquet as pq
import pytest

import corvix
from mzml_session import SHAPES
from corvix.writers import record as records
from corvix.writers.mgf import MgfWriter
from corvix.writers.parquet import ParquetPeakWriter


@pytest.mark.parametrize("shape", list(SHAPES))
def test_id_pass_reads_the_ids_the_records_carry(corpus, shape):
    with corvix.open(corpus[shape].path) as run:
        numbers = list(run.scan_numbers)
        assert numbers
        full = [spectrum.native_id for spectrum in records.spectrum_records(run, numbers)]
        assert [records._stated_id(run, number) for number in numbers] == full
        assert records.run_record(run, chromatograms=False).native_id_format == records.native_id_format(full)


def _mgf(run, numbers, fields):
    out = io.BytesIO()
    with MgfWriter(out, records.run_record(run, len(numbers), numbers, chromatograms=False, id_format=False)) as w:
        for spectrum in records.spectrum_records(run, numbers, fields):
            w.write(spectrum)
    return out.getvalue(), dict(w.notes)


def _parquet(run, path, fields):
    record = records.run_record(run, chromatograms=False, id_format=False)
    with ParquetPeakWriter(str(path), record) as w:
        for spectrum in records.spectrum_records(run, None, fields):
            w.write(spectrum)
    return pq.read_table(str(path)), dict(w.notes)


@pytest.mark.parametrize("shape", list(SHAPES))
def test_writers_given_only_their_fields_write_what_full_records_give(corpus, tmp_path, shape):
    with corvix.open(corpus[shape].path) as run:
        msn = [n for n, order in zip(run.scan_numbers, run.ms_orders.tolist()) if order >= 2]
        text, notes = _mgf(run, msn, MgfWriter.FIELDS)
        assert (text, notes) == _mgf(run, msn, None)
        assert text.count(b"BEGIN IONS") == len(msn)
        table, notes = _parquet(run, tmp_path / "short.parquet", ParquetPeakWriter.FIELDS)
        full_table, full_notes = _parquet(run, tmp_path / "full.parquet", None)
        assert table.num_rows >= len(run.scan_numbers)
        assert table.equals(full_table) and notes == full_notes
