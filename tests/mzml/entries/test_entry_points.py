"""The mzML Reader library's entry points, called through ctypes (and, for
the Python shapes, through the module in a fresh interpreter): what each
answers for generated files, bad handles, bad scans and bad buffers."""
import ctypes
import math
import re
import subprocess
import threading

import numpy as np
import pytest

import mzmlgen
from mzml_session import TESTS, mzml_library, run_child
from readerstub import KIND_CTYPES

ROOT = TESTS.parent
TABLE = ROOT / "src" / "binding" / "reader_entries.def"
ANSWERS_PAGE = ROOT / "docs" / "mzml-reader.md"
NAN = float("nan")
EXTENSION_TABLE = ROOT / "mzml_reader" / "extension.def"


def table_rows():
    rows = re.findall(r'^READER_ENTRY\((\w+), "([^"]+)", (\d+)\)', TABLE.read_text(), re.M)
    return {name: sig for name, sig, _ in rows}


class Lib:
    """The library with every entry point typed from the table."""

    def __init__(self, path):
        self.dll = ctypes.CDLL(str(path))
        for name, sig in table_rows().items():
            f = getattr(self.dll, name)
            f.restype = KIND_CTYPES[sig[0]]
            f.argtypes = [KIND_CTYPES[k] for k in sig[2:]]

    def __getattr__(self, name):
        return getattr(self.dll, name)

    def text(self, name, *args, capacity=1024):
        buf = ctypes.create_string_buffer(capacity)
        status = getattr(self.dll, name)(*args, buf, capacity)
        return status, buf.raw.split(b"\0", 1)[0].decode()

    def arrays(self, name, *args, capacity, count=2):
        bufs = [(ctypes.c_double * max(capacity, 1))() for _ in range(count)]
        status = getattr(self.dll, name)(*args, *bufs, capacity)
        n = max(0, min(status, capacity))
        return status, [np.array(b[:n]) for b in bufs]

    def chromatogram(self, h, trace, filt="", ranges=(), start=0, end=0, capacity=100000):
        lo = (ctypes.c_double * max(len(ranges), 1))(*[r[0] for r in ranges])
        hi = (ctypes.c_double * max(len(ranges), 1))(*[r[1] for r in ranges])
        return self.arrays("get_chromatogram", h, trace, filt.encode(), lo, hi, len(ranges), start, end,
                           capacity=capacity)


@pytest.fixture(scope="module")
def lib():
    return Lib(mzml_library())


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Two renderings of one run: without filter texts (the library builds
    them) and with the file's own; plus a centroid-MS1 run with chromatogram
    elements and no per-scan TIC hints used."""
    d = tmp_path_factory.mktemp("entries")
    run = mzmlgen.make_run(mzmlgen.RunConfig(seed=5, n_scans=90, top_n=4))
    built = mzmlgen.write_mzml(run, d / "built.mzML", mzmlgen.WriteOptions(filter_strings=False))
    own = mzmlgen.write_mzml(run, d / "own.mzML", mzmlgen.WriteOptions(filter_strings=True, id_style="offset"))
    return {"built": built, "own": own, "dir": d}


@pytest.fixture
def opened(lib, files):
    handles = []

    def open_(key):
        h = lib.open_raw_file(str(files[key].path).encode())
        assert h > 0 and lib.is_open(h) == 1, lib.text("get_error_log_item_message", h, 0)
        handles.append(h)
        return h, files[key]

    yield open_
    for h in handles:
        lib.close_raw_file(h)


def built_text(s):
    text = f"ms{s.ms_level}"
    if s.precursor is not None:
        p = s.precursor
        text += f" {p.mz:.4f}@{p.activation.lower()}"
        if p.collision_energy is not None:
            text += f"{p.collision_energy:.2f}"
    text += " +" if s.polarity == "positive" else " -"
    text += " c" if s.centroid else " p"
    return text + f" [{s.window[0]:.4f}-{s.window[1]:.4f}]"


# -- the exports and the documented table of answers ------------------------------------------


def test_exports_are_exactly_the_table(lib):
    out = subprocess.run(["nm", "-D", "--defined-only", str(mzml_library())], capture_output=True, text=True,
                         check=True).stdout
    exported = {line.split()[-1] for line in out.splitlines() if line.split()[-2:-1] in (["T"], ["W"], ["D"], ["B"])}
    # The 186 entry points and the library's own functions of extension.def, nothing else.
    extension = set(re.findall(r"^MZML_EXTENSION\((\w+),", EXTENSION_TABLE.read_text(), re.M))
    assert len(table_rows()) == 186 and len(extension) == 5
    assert exported == set(table_rows()) | extension


def test_documented_table_names_every_entry_point_once():
    text = ANSWERS_PAGE.read_text(encoding="utf-8")
    section = text[text.index("\n## The entry points\n"):]
    end = section.find("\n## ", 1)
    section = section if end < 0 else section[:end]
    names = re.findall(r"^\| `(\w+)` \|", section, re.M)
    assert sorted(names) == sorted(table_rows())


# -- handles ---------------------------------------------------------------------------------


def test_unreadable_file_gets_a_handle_whose_error_says_why(lib, tmp_path):
    path = tmp_path / "dossier é" / "missing.mzML"
    h = lib.open_raw_file(str(path).encode())
    try:
        assert h > 0
        assert (lib.is_open(h), lib.is_error(h)) == (0, 1)
        assert lib.text("get_path", h) == (len(str(path).encode()), str(path))
        assert lib.text("get_file_name", h)[1] == "missing.mzML"
        assert lib.get_error_log_items_count(h) == 1
        status, reason = lib.text("get_error_log_item_message", h, 0)
        assert status > 0 and reason
        assert lib.get_num_scans(h) == -1 and math.isnan(lib.get_start_time(h))
        assert lib.text("get_instrument_model", h)[0] == -1
    finally:
        assert lib.close_raw_file(h) == 0
    assert lib.close_raw_file(h) == -1
    assert (lib.is_open(h), lib.is_error(h)) == (0, 1)
    assert lib.text("get_path", h)[0] == -1


def test_handle_numbers_are_never_reused(lib, files):
    path = str(files["built"].path).encode()
    seen = []
    for _ in range(3):
        h = lib.open_raw_file(path)
        seen.append(h)
        lib.close_raw_file(h)
    assert len(set(seen)) == 3 and seen == sorted(seen)
    assert lib.get_num_scans(seen[0]) == -1


def test_a_closed_handle_is_unknown_everywhere(lib, files):
    # Each thread remembers the handle it used last: a close on this thread
    # or on another must reach it.
    path = str(files["built"].path).encode()
    for closer in ("this thread", "another thread"):
        h = lib.open_raw_file(path)
        assert lib.get_num_scans(h) == 90 and lib.get_num_scans(h) == 90
        if closer == "this thread":
            assert lib.close_raw_file(h) == 0
        else:
            other = threading.Thread(target=lib.close_raw_file, args=(h,))
            other.start()
            other.join()
        assert lib.get_num_scans(h) == -1 and lib.is_open(h) == 0
        assert lib.get_spectrum(h, files["built"].first_scan, None, None, 0) == -1


def test_each_run_answers_with_its_own_spectra(lib, files, tmp_path):
    # Each thread keeps the last spectrum it decoded: asking another run for
    # the same scan position, open or opened after a close, must decode that
    # run's own spectrum.
    other = mzmlgen.write_mzml(mzmlgen.make_run(mzmlgen.RunConfig(seed=6, n_scans=90, top_n=4)),
                               tmp_path / "other.mzML", mzmlgen.WriteOptions())
    first = files["built"]
    assert first.first_scan == other.first_scan and not np.array_equal(first.spectra[0].mz, other.spectra[0].mz)
    scan = first.first_scan

    def spectrum(h, truth):
        status, (mz, intensity) = lib.arrays("get_spectrum", h, scan, capacity=100000)
        assert status == len(truth.spectra[0].mz) and np.array_equal(mz, truth.spectra[0].mz)

    a = lib.open_raw_file(str(first.path).encode())
    b = lib.open_raw_file(str(other.path).encode())
    for _ in range(2):
        spectrum(a, first)
        spectrum(b, other)
    lib.close_raw_file(a)
    lib.close_raw_file(b)
    for truth in (first, other, first):
        h = lib.open_raw_file(str(truth.path).encode())
        spectrum(h, truth)
        lib.close_raw_file(h)


def test_text_is_cut_on_a_character_boundary_within_the_capacity(lib, tmp_path):
    path = str(tmp_path / "ééé.mzML")  # the name ends in 2-byte characters
    h = lib.open_raw_file(path.encode())
    try:
        full = path.encode()
        for capacity in range(1, len(full) + 3):
            buf = ctypes.create_string_buffer(b"\xff" * (capacity + 4), capacity + 4)
            status = lib.get_path(h, buf, capacity)
            raw = buf.raw
            assert raw[capacity:] == b"\xff" * 4  # nothing written past the capacity
            assert raw[status] == 0
            raw[:status].decode()  # whole characters only
            fits = min(len(full), capacity - 1)
            assert full.startswith(raw[:status]) and status in (fits, fits - 1)
            assert status == fits or (full[fits] & 0xC0) == 0x80  # shorter only to keep a character whole
        assert lib.get_path(h, None, 10) == -1
        assert lib.get_path(h, ctypes.create_string_buffer(4), 0) == -1
    finally:
        lib.close_raw_file(h)


# -- per-scan answers ------------------------------------------------------------------------


def test_scan_range_and_per_scan_values(lib, opened):
    h, truth = opened("own")
    assert (lib.get_first_scan(h), lib.get_last_scan(h), lib.get_num_scans(h)) == (
        truth.first_scan, truth.last_scan, len(truth.spectra))
    for s in truth.spectra:
        n = s.scan_number
        assert lib.get_scan_rt(h, n) == pytest.approx(s.rt, rel=1e-12)
        assert lib.get_ms_order(h, n) == s.ms_level == lib.get_scan_filter_ms_order(h, n)
        assert lib.is_centroid(h, n) == int(s.centroid) == lib.get_scan_filter_scan_data(h, n)
        assert lib.get_scan_filter_polarity(h, n) == (1 if s.polarity == "positive" else 0)
        assert lib.get_scan_event_mass_range_low(h, n, 0) == pytest.approx(s.window[0])
        assert lib.get_scan_event_mass_range_high(h, n, 0) == pytest.approx(s.window[1])
        assert math.isnan(lib.get_scan_event_mass_range_low(h, n, 1))
        assert lib.text("get_scan_filter_string", h, n)[1] == s.filter_text  # the file's own
        assert lib.text("get_scan_event_string", h, n)[1] == built_text(s)  # always the library's
        p = s.precursor
        if p is None:
            assert math.isnan(lib.get_precursor_mass(h, n))
            assert lib.get_scan_filter_mass_count(h, n) == 0
            continue
        assert lib.get_precursor_mass(h, n) == pytest.approx(p.mz, rel=1e-12)
        assert lib.get_scan_event_isolation_width(h, n, 0) == pytest.approx(p.isolation_lower + p.isolation_upper)
        assert lib.get_scan_event_isolation_width_offset(h, n, 0) == pytest.approx(
            (p.isolation_upper - p.isolation_lower) / 2)
        assert lib.get_scan_event_first_precursor_mass(h, n, 0) == pytest.approx(p.isolation_target - p.isolation_lower)
        assert lib.get_scan_event_activation_type(h, n, 0) == {"CID": 0, "HCD": 1, "ETD": 2}[p.activation]
        assert lib.get_scan_filter_higher_energy_cid(h, n) == int(p.activation == "HCD")
        if p.collision_energy is not None:
            assert lib.get_scan_event_collision_energy(h, n, 0) == pytest.approx(p.collision_energy)
            assert lib.get_scan_event_collision_energy_valid(h, n, 0) == 1
        assert math.isnan(lib.get_scan_event_precursor_mass(h, n, 1))
        assert lib.get_scan_filter_dependent(h, n) == 1


def test_out_of_range_scans_and_unknown_handles(lib, opened):
    h, truth = opened("built")
    for handle, scan in [(h, truth.first_scan - 1), (h, truth.last_scan + 1), (h, -2**31), (987654, 1)]:
        assert lib.get_ms_order(handle, scan) == -1
        assert math.isnan(lib.get_scan_rt(handle, scan))
        assert lib.is_centroid(handle, scan) == 0
        assert lib.get_scan_filter_polarity(handle, scan) == -1
        assert lib.text("get_scan_filter_string", handle, scan)[0] == -1
        assert lib.arrays("get_spectrum", handle, scan, capacity=10)[0] == -1
        assert lib.get_scan_stats(handle, scan, (ctypes.c_double * 20)()) == -1
        assert lib.get_scan_dependents_count(handle, scan, 0) == -1


def test_built_filter_texts_and_the_distinct_list(lib, opened):
    h, truth = opened("built")
    texts = [built_text(s) for s in truth.spectra]
    assert [lib.text("get_scan_filter_string", h, s.scan_number)[1] for s in truth.spectra] == texts
    distinct = list(dict.fromkeys(texts))
    slots = (ctypes.c_char_p * 1024)()
    assert lib.get_filters(h, slots, 1024) == len(distinct)
    assert [slots[i].decode() for i in range(len(distinct))] == distinct
    few = (ctypes.c_char_p * 3)()
    assert lib.get_filters(h, few, 2) == len(distinct) and few[2] is None  # no slot past the capacity
    assert lib.get_filters(h, None, 5) == -1 and lib.get_filters(h, None, 0) == len(distinct)
    masses = sorted({round(s.precursor.mz, 4) for s in truth.spectra if s.ms_level == 2})
    status, (got,) = lib.arrays("get_ms2_filter_masses", h, capacity=4096, count=1)
    assert status == len(masses) and np.allclose(got, masses)


# -- spectra ---------------------------------------------------------------------------------


def test_spectrum_arrays_and_capacities(lib, opened):
    h, truth = opened("built")
    for s in truth.spectra[:12]:
        n = len(s.mz)
        status, (mz, inten) = lib.arrays("get_spectrum", h, s.scan_number, capacity=n + 5)
        assert status == n and np.array_equal(mz, s.mz) and np.array_equal(inten, s.intensity)
        assert lib.get_spectrum(h, s.scan_number, None, None, 0) == n
        # a short capacity: the count stays the full count, nothing written past it
        guard = (ctypes.c_double * 8)(*([-7.0] * 8))
        other = (ctypes.c_double * 8)(*([-7.0] * 8))
        assert lib.get_spectrum(h, s.scan_number, guard, other, 3) == n
        assert list(guard[:3]) == list(s.mz[:3]) and list(guard[3:]) == [-7.0] * 5
        assert lib.get_spectrum(h, s.scan_number, None, other, 3) == -1
        assert lib.get_spectrum(h, s.scan_number, guard, other, -1) == -1


def test_centroid_stream(lib, opened):
    h, truth = opened("built")
    for s in truth.spectra[:15]:
        size = len(s.mz) + 2
        d = [(ctypes.c_double * size)(*([5.0] * size)) for _ in range(4)]
        ints = (ctypes.c_int32 * size)(*([5] * size))
        trailer = (ctypes.c_double * 2)(5.0, 5.0)
        status = lib.get_centroid_stream_full(h, s.scan_number, *d, ints, trailer, size)
        assert all(math.isnan(v) for v in trailer)  # not held
        if not s.centroid:
            assert status == 0
            continue
        n = len(s.mz)
        assert status == n
        assert list(d[0][:n]) == list(s.mz) and list(d[1][:n]) == list(s.intensity)
        assert all(math.isnan(v) for v in d[2][:n] + d[3][:n]) and set(ints[:n]) == {-1}
        assert d[0][n] == 5.0 and ints[n] == 5


def test_averaged_spectrum_merges_within_the_tolerance(lib, opened):
    h, truth = opened("built")
    ms2 = [s for s in truth.spectra if s.ms_level == 2][:3]
    scans = [s.scan_number for s in ms2]

    def expected(spectra):
        points = sorted((m, i) for s in spectra for m, i in zip(s.mz, s.intensity))
        out, k = [], 0
        while k < len(points):
            start, j = points[k][0], k
            while j < len(points) and points[j][0] - start <= 10e-6 * abs(start):
                j += 1
            group = points[k:j]
            total = sum(i for _, i in group)
            out.append((sum(m * i for m, i in group) / total if total > 0 else sum(m for m, _ in group) / len(group),
                        total / len(spectra)))
            k = j
        return out

    def call(numbers, capacity=100000):
        arr = (ctypes.c_int32 * max(len(numbers), 1))(*numbers)
        return lib.arrays("get_averaged_spectrum", h, arr, len(numbers), capacity=capacity)

    status, (mz, inten) = call(scans)
    want = expected(ms2)
    assert status == len(want)
    assert np.allclose(mz, [m for m, _ in want], rtol=1e-12) and np.allclose(inten, [i for _, i in want], rtol=1e-12)
    # a scan listed twice averages to itself
    status, (mz, inten) = call([scans[0], scans[0]])
    want = expected([ms2[0], ms2[0]])
    assert status == len(want) and np.allclose(inten, [i for _, i in want])
    assert call([])[0] == 0
    assert call([scans[0], truth.last_scan + 1])[0] == -1
    assert call(scans, capacity=2)[0] == len(expected(ms2))


@pytest.mark.parametrize("entry", ["get_averaged_spectrum", "get_ms2_filter_masses"])
def test_nothing_written_past_a_short_capacity(lib, opened, entry):
    """A capacity below the full count: the full count is returned, the first
    values are those of a full call, and guard values right after stay."""
    h, truth = opened("built")
    if entry == "get_averaged_spectrum":
        scans = [s.scan_number for s in truth.spectra if s.ms_level == 2][:3]
        args, outputs = (h, (ctypes.c_int32 * len(scans))(*scans), len(scans)), 2
    else:
        args, outputs = (h,), 1
    full, reference = lib.arrays(entry, *args, capacity=100000, count=outputs)
    assert full > 4
    for capacity in (0, 1, full // 2, full - 1):
        guarded = [(ctypes.c_double * (capacity + 6))(*([-7.0] * (capacity + 6))) for _ in range(outputs)]
        assert getattr(lib.dll, entry)(*args, *guarded, capacity) == full
        for got, want in zip(guarded, reference):
            assert list(got[:capacity]) == list(want[:capacity]), (entry, capacity)
            assert list(got[capacity:]) == [-7.0] * 6, (entry, capacity)


# -- chromatograms ---------------------------------------------------------------------------


def test_chromatogram_traces(lib, opened):
    h, truth = opened("built")
    spectra = truth.spectra
    rts = np.array([s.rt for s in spectra])

    status, (t, y) = lib.chromatogram(h, 0)
    assert status == len(spectra) and np.allclose(t, rts) and np.allclose(y, [s.tic for s in spectra], rtol=1e-9)

    status, (t, y) = lib.chromatogram(h, 1)
    assert np.allclose(y, [s.base_peak_intensity for s in spectra], rtol=1e-6)

    ranges = [(400.0, 450.0), (700.5, 701.5)]

    def inside(s):
        keep = np.zeros(len(s.mz), bool)
        for lo, hi in ranges:
            keep |= (s.mz >= lo) & (s.mz <= hi)
        return keep

    status, (t, y) = lib.chromatogram(h, 2, ranges=ranges)
    assert np.allclose(y, [s.intensity[inside(s)].sum() for s in spectra], rtol=1e-9)
    status, (t, y) = lib.chromatogram(h, 1, ranges=ranges)
    assert np.allclose(y, [s.intensity[inside(s)].max(initial=0.0) for s in spectra], rtol=1e-9)

    # a filter in the library's format selects scans; a scan range is clamped to the run
    ms1 = [s for s in spectra if s.ms_level == 1]
    status, (t, y) = lib.chromatogram(h, 0, "ms1 +")
    assert status == len(ms1) and np.allclose(t, [s.rt for s in ms1])
    p = spectra[[s.ms_level for s in spectra].index(2)].precursor
    status, (t, _) = lib.chromatogram(h, 0, f"ms2 {p.mz:.2f}")
    assert status == sum(1 for s in spectra if s.precursor and abs(s.precursor.mz - p.mz) <= 0.005)
    assert lib.chromatogram(h, 0, "ms3")[0] == 0
    status, (t, _) = lib.chromatogram(h, 0, start=truth.first_scan + 10, end=truth.last_scan + 1000)
    assert status == len(spectra) - 10 and t[0] == pytest.approx(spectra[10].rt)
    assert lib.chromatogram(h, 0, start=20, end=10)[0] == 0

    # refused requests
    assert lib.chromatogram(h, 2)[0] == -1                       # a mass-range trace needs ranges
    assert lib.chromatogram(h, 2, ranges=[(NAN, 500.0)])[0] == -1
    assert lib.chromatogram(h, 2, ranges=[(500.0, 400.0)])[0] == -1
    assert lib.chromatogram(h, 3)[0] == -1
    assert lib.chromatogram(h, 0, capacity=0)[0] == len(spectra)


def test_whole_run_chromatogram_uses_the_files_element_when_scans_lack_the_value(lib, tmp_path):
    """Scans without a written TIC and one spectrum that cannot be decoded:
    the whole-run TIC comes from the file's chromatogram element, while a
    filtered TIC must decode the spectra and fails."""
    run = mzmlgen.make_run(mzmlgen.RunConfig(seed=9, n_scans=40))
    data, truth = mzmlgen.render(run, mzmlgen.WriteOptions(indexed=False, alter={3: {"mz_binary": "@@@@"}}))
    data = re.sub(rb'\s*<cvParam[^>]*accession="MS:1000285"[^>]*/>', b"", data)
    path = tmp_path / "no_tic.mzML"
    path.write_bytes(data)
    h = lib.open_raw_file(str(path).encode())
    try:
        assert lib.is_open(h) == 1
        tic = next(c for c in truth.chromatograms if c.kind == "tic")
        status, (t, y) = lib.chromatogram(h, 0)
        assert status == len(truth.spectra)
        assert np.allclose(y, tic.intensities, rtol=1e-6) and np.allclose(t, tic.times, rtol=1e-9)
        assert lib.chromatogram(h, 0, "+")[0] == -1  # every scan, but filtered
        assert lib.chromatogram(h, 0, start=truth.first_scan + 4)[0] == len(truth.spectra) - 4
        assert lib.arrays("get_spectrum", h, truth.first_scan + 3, capacity=10)[0] == -1
    finally:
        lib.close_raw_file(h)


def test_long_traces_split_among_threads_keep_order_and_failures(lib, tmp_path):
    """Traces long enough to be computed by several threads: points stay in
    scan order, and a spectrum that cannot be decoded in any part fails the
    whole trace."""
    run = mzmlgen.make_run(mzmlgen.RunConfig(seed=4, n_scans=400))
    data, truth = mzmlgen.render(run, mzmlgen.WriteOptions(alter={350: {"intensity_binary": "!!!!"}}))
    path = tmp_path / "long.mzML"
    path.write_bytes(data)
    h = lib.open_raw_file(str(path).encode())
    try:
        good = truth.spectra[:300]
        status, (t, y) = lib.chromatogram(h, 2, ranges=[(300.0, 2000.0)], end=truth.first_scan + 299)
        assert status == 300 and np.allclose(t, [s.rt for s in good])
        assert np.allclose(y, [s.intensity[(s.mz >= 300.0) & (s.mz <= 2000.0)].sum() for s in good], rtol=1e-9)
        assert lib.chromatogram(h, 2, ranges=[(300.0, 2000.0)])[0] == -1
        assert lib.chromatogram(h, 2, ranges=[(300.0, 2000.0)], capacity=300)[0] == 400  # the bad scan not needed
    finally:
        lib.close_raw_file(h)


# -- statistics and run level (dependents, scans by time: test_mzml_values.py) ----------------


def test_scan_statistics(lib, opened):
    h, truth = opened("built")
    for s in truth.spectra[:10]:
        stats = (ctypes.c_double * 21)(*([9.0] * 21))
        assert lib.get_scan_stats(h, s.scan_number, stats) == 20
        assert stats[20] == 9.0
        assert stats[0] == s.scan_number and stats[1] == pytest.approx(s.rt) and stats[2] == s.ms_level
        assert stats[3] == len(s.mz) and stats[4] == pytest.approx(s.tic)
        assert stats[9] == int(s.centroid) and (stats[13], stats[14]) == pytest.approx(s.window)
        if s.precursor:
            assert stats[11] == pytest.approx(s.precursor.mz) and stats[16] == s.precursor.source_scan_number
        buf = ctypes.create_string_buffer(1024)
        n = lib.get_scan_stats_scan_type(h, s.scan_number, buf, 1024)
        assert buf.raw[:n].decode() == ("MS1 spectrum" if s.ms_level == 1 else "MSn spectrum")


def test_run_level_answers(lib, opened):
    h, truth = opened("own")
    assert lib.text("get_instrument_model", h)[1] == truth.instrument_model
    assert lib.text("get_instrument_serial_number", h)[1] == truth.instrument_serial
    assert lib.text("get_instrument_software_version", h)[1] == f"{truth.software_name} {truth.software_version}"
    assert lib.text("get_sample_name", h)[1] == truth.sample_name
    assert lib.text("get_sample_id", h)[1] == truth.sample_id
    assert lib.text("get_sample_comment", h)[1] == truth.sample_comment
    assert lib.text("get_creation_date", h)[1] == truth.start_time_stamp
    assert lib.text("get_file_description", h)[1] == truth.source_file_name
    assert lib.text("get_file_name", h)[1] == "own.mzML"
    assert lib.get_start_time(h) == pytest.approx(truth.spectra[0].rt)
    assert lib.get_end_time(h) == pytest.approx(truth.spectra[-1].rt)
    assert lib.get_low_mass(h) == pytest.approx(min(s.window[0] for s in truth.spectra))
    assert lib.get_high_mass(h) == pytest.approx(max(s.window[1] for s in truth.spectra))
    # what mzML does not hold
    assert lib.text("get_computer_name", h) == (0, "")
    assert math.isnan(lib.get_sample_injection_volume(h)) and lib.get_autosampler_vial_index(h) == -1
    assert lib.get_status_log_count(h) == 0 and lib.get_error_log_items_count(h) == 0
    status, labels = lib.text("get_trailer_extra_labels", h, truth.first_scan, capacity=8192)
    assert status == len(labels.encode()) and labels.startswith("native id|reader pairs|file pairs")
    assert lib.get_scan_filter_scan_type_index(h, truth.first_scan) == -1
    assert lib.get_instrument_count_of_type(h, 0) == 1 and lib.get_instrument_count_of_type(h, 1) == 0


# -- threads ---------------------------------------------------------------------------------


@pytest.mark.parametrize("handles", ["one shared handle", "a handle per thread"])
def test_threads_reading_while_another_closes(lib, files, handles):
    """ctypes drops the interpreter lock around each call, so these calls run
    inside the library at the same time."""
    truth = files["built"]
    path = str(truth.path).encode()
    shared = lib.open_raw_file(path)
    errors = []
    stop = threading.Event()

    def reader(k):
        own = lib.open_raw_file(path) if handles == "a handle per thread" else shared
        try:
            while not stop.is_set():
                for s in truth.spectra[k::4]:
                    status, (mz, _) = lib.arrays("get_spectrum", own, s.scan_number, capacity=len(s.mz))
                    if status != len(s.mz) or not np.array_equal(mz, s.mz):
                        errors.append(("spectrum", s.scan_number, status))
                status, _ = lib.chromatogram(own, 2, ranges=[(400.0, 500.0)])
                if status != len(truth.spectra):
                    errors.append(("chromatogram", status))
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)
        finally:
            if own != shared:
                lib.close_raw_file(own)

    def churner():
        while not stop.is_set():
            h = lib.open_raw_file(path)
            lib.get_spectrum(h, truth.first_scan, None, None, 0)
            lib.close_raw_file(h)

    threads = [threading.Thread(target=reader, args=(k,)) for k in range(4)] + [threading.Thread(target=churner)]
    for t in threads:
        t.start()
    timer = threading.Timer(2.0, stop.set)
    timer.start()
    for t in threads:
        t.join()
    lib.close_raw_file(shared)
    assert errors == []


# -- through the module ----------------------------------------------------------------------


def test_python_shapes_through_the_module(files):
    truth = files["built"]
    code = f"""
import math
h = m.open_raw_file({str(truth.path)!r})
print(m.is_open(h), m.get_num_scans(h))
mz, inten = m.get_spectrum(h, {truth.first_scan}, 100000)
print(len(mz), mz[0])
print(repr(m.get_computer_name(h)), m.get_sample_user_text(h), m.get_status_log_header(h))
print(m.get_scan_stats_scan_type(h, {truth.first_scan}))
print(m.get_scan_dependent_detail_filter_string(h, {truth.first_scan}, 2, 999))
print(len(m.get_filters(h)), m.get_scan_filter_meta_filters(h, {truth.first_scan}))
print(m.get_trailer_extra_values(h, {truth.first_scan})[0])
t, y = m.get_chromatogram(h, 2, "ms1", [400.0], [500.0], 0, 0, 100000)
print(len(t))
bad = m.open_raw_file("/nonexistent/file.mzML")
print(bad > 0, m.is_open(bad), m.is_error(bad), m.get_file_name(bad))
m.close_raw_file(bad); m.close_raw_file(h)
"""
    result = run_child(code)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    s0 = truth.spectra[0]
    n_ms1 = sum(1 for s in truth.spectra if s.ms_level == 1)
    assert lines[0] == f"True {len(truth.spectra)}"
    assert lines[1] == f"{len(s0.mz)} {float(s0.mz[0])!r}"
    assert lines[2] == "'' [] ['']"
    assert lines[3] == "MS1 spectrum"
    assert lines[4] == "None"
    assert lines[5] == f"{len(set(built_text(s) for s in truth.spectra))} []"
    assert lines[6] == s0.native_id
    assert lines[7] == str(n_ms1)
    assert lines[8] == "True False True file.mzML"
