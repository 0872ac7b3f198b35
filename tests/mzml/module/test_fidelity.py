"""What a file holds comes back out, through the module (with the mzML Reader
library) and through corvix, for the shapes real files have: native ids of
every common form, userParams, stored SRM chromatograms, unknown
representation and model, asymmetric isolation windows, extra arrays, times in
milliseconds. Each shape is generated once; every expectation comes from the
generator's truth."""
import ctypes
import math
import re

import numpy as np
import pytest

import corvix
from mzml_session import TESTS, mzml_library, write_shapes
from mzmlgen import RunConfig, WriteOptions, make_run, write_mzml

NAN = float("nan")
SHAPES = {
    "levels, scan ids out of file order": WriteOptions(order="levels", extra_arrays=True),
    "spectrum=N with gaps, userParams, stated TIC": WriteOptions(id_style="spectrum-gaps", user_params=True,
                                                                 tic_scale=1.37),
    "key=value ids, milliseconds": WriteOptions(id_style="keyvalue", rt_unit="millisecond", user_params=True),
    "free text ids, no representation, generic model": WriteOptions(id_style="freetext", representation=False,
                                                                    model_term="generic", indexed=False),
    "asymmetric windows, non-standard arrays, gzip": WriteOptions(
        isolation_offsets=(0.5, 1.46), nonstandard_arrays=("resolution", "signal|noise 100%"), gzip=True,
        precursor_refs=False, id_style="index"),
    "trailer longer than the buffer": WriteOptions(padding_params=100, user_params=True, id_style="offset"),
}
RUN = RunConfig(seed=29, n_scans=60, top_n=4, activation="mixed", polarity="alternate", selected_ion_every=3,
                ms3_every=4, rt_start=0.4, rt_end=5.0, n_features=90)
TRAILER_CAPACITY = 8192


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    return write_shapes(make_run(RUN), SHAPES, tmp_path_factory.mktemp("fidelity"))


@pytest.fixture(params=list(SHAPES))
def shape(request, m, files):
    """(module, handle, truth) of one shape."""
    truth = files[request.param]
    h = m.open_raw_file(truth.path)
    assert m.is_open(h), m.get_error_log_item_message(h, 0)
    yield m, h, truth
    m.close_raw_file(h)


def escape(field):
    return field.replace("%", "%25").replace("|", "%7C")


def unescape(field):
    return field.replace("%7C", "|").replace("%25", "%")


def expected_trailer(s):
    """The trailer pairs of a scan as the library lays them out."""
    mine = []
    if s.precursor is not None and s.precursor.spectrum_ref:
        mine.append(("precursor 1 spectrum ref", s.precursor.spectrum_ref))
    mine += [("extra binary array", name) for name in s.extra_arrays]
    head = [("native id", s.native_id), ("reader pairs", str(3 + len(mine))), ("file pairs", str(len(s.user_params)))]
    return head + mine + list(s.user_params)


def stated(s, name):
    value = s.stated(name)
    return NAN if value is None else value


def same(got, expected):
    if isinstance(expected, float) and math.isnan(expected):
        return isinstance(got, float) and math.isnan(got)
    return got == pytest.approx(expected, rel=1e-12, abs=0.0)


# -- native ids and the trailer channel ---------------------------------------------------------


def test_trailer_pairs_carry_id_refs_arrays_and_user_params(shape):
    m, h, t = shape
    assert m.get_trailer_extra_count(h) == len(t.spectra)
    cut = 0
    for s in t.spectra:
        labels = m.get_trailer_extra_labels(h, s.scan_number)
        values = m.get_trailer_extra_values(h, s.scan_number)
        assert len(labels) == len(values), s.native_id
        expected = expected_trailer(s)
        got = [(unescape(a), unescape(b)) for a, b in zip(labels, values)]
        if len(got) < len(expected):
            # Cut at a whole pair: the next pair would not have fitted the buffer.
            cut += 1
            assert got == expected[:len(got)]
            longer = expected[:len(got) + 1]
            assert max(len("|".join(escape(p[i]) for p in longer).encode()) for i in (0, 1)) >= TRAILER_CAPACITY
        else:
            assert got == expected, s.native_id
    assert cut == (len(t.spectra) if t.options.padding_params else 0)


def test_corvix_serves_ids_user_params_and_what_it_cannot_carry(files):
    for t in files.values():
        with corvix.open(t.path) as run:
            for s, scan in zip(t.spectra, run, strict=True):
                assert scan.native_id == s.native_id
                assert run.by_native_id(s.native_id) == scan
                assert scan.extra_arrays == s.extra_arrays
                shown = scan.trailer_pairs
                assert shown == tuple(s.user_params[:len(shown)])
                assert scan.trailer_left_out == len(s.user_params) - len(shown)
                assert scan.trailer == dict(shown)
                assert (scan.trailer_left_out > 0) == bool(t.options.padding_params)
                p = s.precursor
                assert scan.precursor_native_id == (p.spectrum_ref or None if p else None)
                assert scan.precursor_scan == (p.source_scan_number if p and p.spectrum_ref else None)
            with pytest.raises(KeyError, match=re.escape(repr("scan=0 absent"))):
                run.by_native_id("scan=0 absent")


# -- userParams served as values ------------------------------------------------------------------


def test_stated_values_and_filter_texts_from_cv_or_user_params(shape):
    m, h, t = shape
    for s in t.spectra:
        n = s.scan_number
        stats = m.get_scan_stats(h, n)
        for index, name in enumerate(("tic", "base_peak_mz", "base_peak_intensity", "lowest_mz", "highest_mz"), 4):
            assert same(stats[index], stated(s, name)), (s.native_id, name)
        assert m.get_scan_filter_string(h, n) == (s.filter_text or m.get_scan_event_string(h, n))
        if s.precursor is not None:
            energy = s.precursor.collision_energy
            assert same(m.get_scan_event_collision_energy(h, n, 0), NAN if energy is None else energy)
    # A token of the file's own filter texts selects exactly the scans whose text has it.
    token = t.spectra[1].filter_text.split()[-1]
    chosen = [s for s in t.spectra if token in s.filter_text.split()]
    assert 0 < len(chosen) < len(t.spectra)
    times, _ = m.get_chromatogram(h, 0, token, [], [], 0, 0, 1000)
    assert times == [s.rt for s in chosen]


def test_corvix_attributes_as_the_file_states_them(files):
    for t in files.values():
        with corvix.open(t.path) as run:
            for s, scan in zip(t.spectra, run):
                for name in ("tic", "base_peak_mz", "base_peak_intensity", "lowest_mz", "highest_mz"):
                    assert getattr(scan, name) == s.stated(name), (s.native_id, name)
                if s.filter_text:
                    assert scan.filter == s.filter_text
                p = s.precursor
                if p is None:
                    assert scan.isolation_target is scan.isolation_lower_offset is None
                    continue
                assert scan.collision_energy == p.collision_energy
                assert scan.isolation_target == pytest.approx(p.isolation_target, rel=1e-12)
                assert scan.isolation_lower_offset == pytest.approx(p.isolation_lower, rel=1e-12)
                assert scan.isolation_upper_offset == pytest.approx(p.isolation_upper, rel=1e-12)
            token = t.spectra[1].filter_text.split()[-1]
            chosen = [s for s in t.spectra if token in s.filter_text.split()]
            assert run.tic(filter=token).rt.tolist() == sorted(s.rt for s in chosen)


# -- times in every unit -------------------------------------------------------------------------------


def test_retention_times_in_minutes_whatever_the_unit(shape):
    m, h, t = shape
    assert [m.get_scan_rt(h, s.scan_number) for s in t.spectra] == pytest.approx([s.rt for s in t.spectra],
                                                                                 rel=1e-12)
    assert (m.get_first_scan(h), m.get_last_scan(h)) == (t.first_scan, t.last_scan)


# -- unknown stays unknown -----------------------------------------------------------------------------


def test_unknown_representation_and_model_are_not_guessed(shape):
    m, h, t = shape
    for s in t.spectra:
        n = s.scan_number
        assert m.get_scan_filter_scan_data(h, n) == {True: 1, False: 0, None: -1}[s.centroid]
        assert m.is_centroid(h, n) is bool(s.centroid)
        assert same(m.get_scan_stats(h, n)[9], NAN if s.centroid is None else float(s.centroid))
        tokens = m.get_scan_event_string(h, n).split()
        assert ("c" in tokens, "p" in tokens) == (s.centroid is True, s.centroid is False)
        if s.centroid is None:
            assert m.get_centroid_stream(h, n, 10)[0] == []
    assert m.get_instrument_model(h) == (t.instrument_model or "")


def test_corvix_keeps_unknown_as_none(files):
    for t in files.values():
        with corvix.open(t.path) as run:
            assert [scan.centroid for scan in run] == [s.centroid for s in t.spectra]
            assert run.instrument()["model"] == t.instrument_model


# -- stored chromatograms ------------------------------------------------------------------------------------

CHROMATOGRAM_SHAPES = {
    "SRM only, empty spectrum list, indexed, seconds": WriteOptions(spectrum_list="empty", srm_chromatograms=40),
    "SRM only, no spectrum list, milliseconds": WriteOptions(spectrum_list="absent", srm_chromatograms=40,
                                                             indexed=False, chromatogram_time_unit="millisecond"),
    "spectra with TIC, BPC and SRM, minutes": WriteOptions(srm_chromatograms=3, chromatogram_time_unit="minute",
                                                           gzip=True),
}


@pytest.mark.parametrize("name", CHROMATOGRAM_SHAPES)
def test_stored_chromatograms_come_back_whole(m, tmp_path, name):
    options = CHROMATOGRAM_SHAPES[name]
    t = write_mzml(make_run(RUN), str(tmp_path / f"c.mzML{'.gz' if options.gzip else ''}"), options)
    with corvix.open(t.path) as run:
        assert len(run) == len(t.spectra)
        got = run.chromatograms()
    assert [c.id for c in got] == [c.id for c in t.chromatograms]
    for c, expected in zip(got, t.chromatograms):
        np.testing.assert_allclose(c.rt, expected.times, rtol=1e-14)
        np.testing.assert_array_equal(c.intensity, expected.intensities)
        assert (c.precursor_mz, c.product_mz, c.kind) == (expected.precursor_mz, expected.product_mz, expected.term)


def test_the_extension_refuses_what_it_does_not_have(m, files):
    lib = ctypes.CDLL(str(mzml_library()))
    t = next(iter(files.values()))
    h = m.open_raw_file(t.path)
    try:
        count = lib.corvix_mzml_chromatogram_count(h)
        assert count == len(t.chromatograms) == 2
        double2 = ctypes.c_double * 2
        assert lib.corvix_mzml_chromatogram_arrays(h, count, double2(), double2(), 2) == -1
        assert lib.corvix_mzml_chromatogram_arrays(h, -1, double2(), double2(), 2) == -1
        assert lib.corvix_mzml_chromatogram_arrays(h, 0, None, None, 0) == len(t.spectra)
        assert lib.corvix_mzml_chromatogram_arrays(h, 0, None, None, 1) == -1
        buffer = ctypes.create_string_buffer(2)
        assert lib.corvix_mzml_chromatogram_text(h, 0, 0, buffer, 2) == 3 and buffer.value == b"T"
        assert lib.corvix_mzml_chromatogram_text(h, 0, 2, buffer, 2) == -1
    finally:
        m.close_raw_file(h)
    assert lib.corvix_mzml_chromatogram_count(h) == -1


def test_the_extension_table_and_corvix_declarations_agree():
    from corvix import _extension

    table = (TESTS.parent / "mzml_reader" / "extension.def").read_text()
    rows = re.findall(r"^MZML_EXTENSION\((\w+), (\w+), \(([^)]*)\)\)", table, re.M)
    ctype = {"int32_t": ctypes.c_int32, "double*": _extension._double_p, "char*": ctypes.c_char_p}
    declared = {name: (ctype[result], [ctype[p.rsplit(" ", 1)[0]] for p in params.split(", ") if p])
                for name, result, params in rows}
    assert declared == _extension.DECLARATIONS


def test_a_precursor_without_activation_term_leaves_the_activation_flags_unknown(m, tmp_path):
    from mzmlgen import render
    from mzmlgen.writer import ACTIVATION_TERMS

    data, t = render(make_run(RUN), WriteOptions(indexed=False))
    for accession, name in ACTIVATION_TERMS.values():
        data = re.sub(rb'<cvParam cvRef="MS" accession="' + accession.encode() + rb'"[^>]*/>', b"", data)
    path = tmp_path / "no-activation.mzML"
    path.write_bytes(data)
    h = m.open_raw_file(str(path))
    try:
        for s in t.spectra:
            flags = [m.get_scan_filter_higher_energy_cid(h, s.scan_number),
                     m.get_scan_filter_electron_transfer_dissociation(h, s.scan_number)]
            assert flags == ([0, 0] if s.precursor is None else [-1, -1]), s.native_id
    finally:
        m.close_raw_file(h)


def test_a_scan_whose_arrays_cannot_be_read_keeps_its_id_and_says_so(tmp_path):
    from mzmlgen import render

    data, t = render(make_run(RUN), WriteOptions())
    broken = t.spectra[5]
    end = data.index(b"</binaryDataArrayList>", broken.offset)
    # The same length, so that the offset index stays right.
    data = data[:end] + b"</binaryDataArrayLisX>" + data[end + 22:]
    path = tmp_path / "broken-arrays.mzML"
    path.write_bytes(data)
    with corvix.open(path) as run:
        scan = run[broken.scan_number]
        assert scan.native_id == broken.native_id and run.by_native_id(broken.native_id) == scan
        with pytest.raises(corvix.ReaderError, match="arrays cannot be read"):
            scan.extra_arrays
        assert run[broken.scan_number + 1].extra_arrays == ()
