"""Self-test of the stand-in Reader library, through ctypes only.

Needs CORVIX_BUILD_DIR, the build tree holding reader_stub/<variant>/
VelmarNativeReader.dll; skipped when it is not set.
"""

import collections
import ctypes
import math
import os
import threading

import pytest

from readerstub import ReaderStub, split_sig

BUILD_DIR = os.environ.get("CORVIX_BUILD_DIR")
if not BUILD_DIR:
    pytest.skip("CORVIX_BUILD_DIR is not set", allow_module_level=True)


def variant_path(variant):
    return os.path.join(BUILD_DIR, "reader_stub", variant, "VelmarNativeReader.dll")


FULL = ReaderStub(variant_path("full"))
ENTRIES = FULL.entries()

# How many entry points have each signature, counted from the interface
# tables of the Reader library's families.
EXPECTED_SIGNATURE_COUNTS = {
    "i:s": 1,  # open_raw_file
    "i:i": 33,  # 4 handle flags/close, 22 run-level ints, 2 event counts, 5 log counts
    "i:ii": 46,  # count_of_type, 38 filter ints, 3 event ints, 3 lookups, is_centroid
    "i:iii": 10,  # select_instrument, 7 indexed event ints, 2 dependent counts
    "i:iiii": 1,  # detail scan index
    "d:i": 12,
    "d:ii": 16,  # 12 filter floats, compensation voltage value, rt, precursor, error rt
    "d:iii": 12,
    "q:ii": 1,  # scan type index
    "i:id": 2,
    "i:iddd": 1,
    "i:ibi": 31,  # get_path, 27 single texts, user text, 2 headers
    "i:iibi": 8,  # 2 scan texts, 5 log texts, scan stats type
    "i:idbi": 1,
    "i:iiiibi": 1,
    "i:iPi": 1,
    "i:iiPi": 1,
    "i:iDi": 1,
    "i:iiiiDi": 2,
    "i:iiDDi": 1,
    "i:iiDDDDNTi": 1,
    "i:iJiDDi": 1,
    "i:iisAAiiiDDi": 1,
    "i:iiS": 1,
}


@pytest.fixture(autouse=True)
def fresh_stub():
    FULL.reset()
    yield
    FULL.reset()


def guarded(ctype, n, guard, fill):
    """A ctypes array of n + guard elements, all set to fill."""
    return (ctype * (n + guard))(*([fill] * (n + guard)))


def test_table_has_186_entries_with_the_documented_shapes():
    names = [name for name, _ in ENTRIES]
    assert len(names) == 186
    assert len(set(names)) == 186
    assert "get_centroid_stream_full" in names and "set_dylib_path" not in names
    counts = collections.Counter(sig for _, sig in ENTRIES)
    assert dict(counts) == EXPECTED_SIGNATURE_COUNTS
    returns = collections.Counter(sig[0] for _, sig in ENTRIES)
    assert returns == {"i": 145, "d": 40, "q": 1}


@pytest.mark.parametrize(
    "name, sig",
    [
        ("get_max_intensity", "i:i"),
        ("get_max_integrated_intensity", "d:i"),
        ("get_scan_filter_scan_type_index", "q:ii"),
        ("get_scan_event_compensation_voltage", "i:ii"),
        ("get_scan_event_compensation_voltage_value", "d:ii"),
        ("get_error_log_item_retention_time", "d:ii"),
        ("get_status_log_values_for_rt", "i:idbi"),
        ("get_scan_stats", "i:iiS"),
    ],
)
def test_rows_that_are_easy_to_confuse(name, sig):
    assert FULL.sig(name) == sig


@pytest.mark.parametrize("variant, absent", [
    ("full", set()),
    ("missing", {"get_revision"}),
    ("empty", {name for name, _ in ENTRIES}),
])
def test_variant_exports(variant, absent):
    stub = FULL if variant == "full" else ReaderStub(variant_path(variant))
    assert stub.entries() == ENTRIES
    for name, _ in ENTRIES:
        present = hasattr(stub.lib, name)  # a real dlsym
        assert present == (name not in absent), name
        assert stub.exports(name) == present, name


def call_args(sig):
    """Distinct plain values per position; every pointer null."""
    _, params = split_sig(sig)
    args = []
    for pos, kind in enumerate(params):
        if kind == "i":
            args.append(1000 + pos)
        elif kind == "d":
            args.append(0.25 + pos)
        else:
            args.append(None)
    return args


@pytest.mark.parametrize("name, sig", ENTRIES)
def test_every_entry_point_records_its_arguments_and_returns_its_result(name, sig):
    fn = FULL.function(name)
    ret, params = split_sig(sig)
    args = call_args(sig)
    fn(*args)
    assert FULL.calls(name) == 1
    assert FULL.total_calls() == 1
    for pos, kind in enumerate(params):
        if kind == "i":
            assert FULL.last_int(name, pos) == args[pos]
        elif kind == "d":
            assert FULL.last_double(name, pos) == args[pos]
        else:
            assert FULL.last_ptr_was_null(name, pos)
    if "s" in params:
        assert FULL.last_text(name, params.index("s")) is None

    big = 2**32 + 5  # the int32 entry points keep only the low 32 bits
    FULL.set_result(name, big)
    assert fn(*args) == {"i": 5, "q": big, "d": float(big)}[ret]
    if ret == "d":
        FULL.set_result(name, -0.0)
        assert math.copysign(1.0, fn(*args)) == -1.0
    else:
        FULL.set_result(name, -(2**31))
        assert fn(*args) == -(2**31)
    assert FULL.calls(name) == 3


def test_text_buffer_is_cut_at_the_capacity_and_status_is_independent():
    fn = FULL.function("get_file_name")
    text = b"\xe9abc\x00def" + b"x" * 40
    FULL.set_text("get_file_name", text)
    buf = guarded(ctypes.c_char, 16, 16, b"\xaa")
    assert fn(3, buf, 16) == len(text)  # natural count: the scripted length
    assert buf.raw[:16] == text[:16]
    assert buf.raw[16:] == b"\xaa" * 16
    assert FULL.last_int("get_file_name", 0) == 3
    assert FULL.last_int("get_file_name", 2) == 16
    assert not FULL.last_ptr_was_null("get_file_name", 1)

    FULL.set_result("get_file_name", -7)
    buf = guarded(ctypes.c_char, 0, 8, b"\xaa")
    assert fn(3, buf, 0) == -7
    assert buf.raw == b"\xaa" * 8  # capacity 0 writes nothing
    assert fn(3, None, 16) == -7  # a null buffer is not written either


def test_default_spectrum_is_cut_at_the_capacity():
    fn = FULL.function("get_spectrum")
    masses = guarded(ctypes.c_double, 3, 4, -1.0)
    intensities = guarded(ctypes.c_double, 3, 4, -1.0)
    assert fn(1, 10, masses, intensities, 3) == 5
    assert list(masses) == [100.0, 101.0, 102.0] + [-1.0] * 4
    assert list(intensities) == [1000.0, 2000.0, 3000.0] + [-1.0] * 4


def test_centroid_stream_arrays_and_trailer():
    fn = FULL.function("get_centroid_stream_full")
    for which in range(4):
        FULL.set_array("get_centroid_stream_full", which, [which + 0.5] * 4)
    FULL.set_int_array("get_centroid_stream_full", [-1, 2, 3, 4])
    arrays = [guarded(ctypes.c_double, 2, 2, 9.0) for _ in range(4)]
    ints = guarded(ctypes.c_int32, 2, 2, 99)
    trailer = guarded(ctypes.c_double, 2, 2, 9.0)
    assert fn(1, 2, *arrays, ints, trailer, 2) == 4
    for which, arr in enumerate(arrays):
        assert list(arr) == [which + 0.5] * 2 + [9.0] * 2
    assert list(ints) == [-1, 2, 99, 99]
    assert list(trailer) == [1.5, 2.5, 9.0, 9.0]
    FULL.set_trailer("get_centroid_stream_full", -3.0, 4.0)
    assert fn(1, 2, *arrays, ints, trailer, 0) == 4
    assert list(trailer)[:2] == [-3.0, 4.0]
    assert FULL.last_int("get_centroid_stream_full", 8) == 0


def test_scan_stats_block_takes_at_most_twenty_values():
    fn = FULL.function("get_scan_stats")
    FULL.set_array("get_scan_stats", 0, range(1, 26))
    block = guarded(ctypes.c_double, 20, 5, -2.0)
    fn(1, 1, block)
    assert list(block) == [float(v) for v in range(1, 21)] + [-2.0] * 5


def test_pointer_slots_honour_capacity_and_leave_null_slots_alone():
    fn = FULL.function("get_filters")
    FULL.set_pointers("get_filters", [b"alpha", None, b"gamma", b"delta"])
    sentinel = ctypes.create_string_buffer(b"untouched")
    mark = ctypes.addressof(sentinel)
    slots = guarded(ctypes.c_void_p, 3, 2, mark)
    assert fn(1, ctypes.cast(slots, ctypes.POINTER(ctypes.c_char_p)), 3) == 4
    assert ctypes.string_at(slots[0]) == b"alpha"
    assert slots[1] == mark  # a null script entry leaves the slot alone
    assert ctypes.string_at(slots[2]) == b"gamma"
    assert list(slots)[3:] == [mark, mark]
    # the copies stay alive after the call (until reset or re-script)
    FULL.function("get_num_scans")(1)
    assert ctypes.string_at(slots[0]) == b"alpha"


def test_input_arrays_and_filter_text_are_recorded():
    fn = FULL.function("get_chromatogram")
    start = (ctypes.c_double * 2)(100.0, 200.0)
    end = (ctypes.c_double * 3)(150.0, 250.0, 999.0)
    times = (ctypes.c_double * 4)()
    intensities = (ctypes.c_double * 4)()
    assert fn(1, 0, b"ms1 \xc3\xa9", start, end, 2, 5, 9, times, intensities, 4) == 4
    assert FULL.last_text("get_chromatogram", 2) == b"ms1 \xc3\xa9"
    assert FULL.last_in_array("get_chromatogram", 3) == [100.0, 200.0]
    assert FULL.last_in_array("get_chromatogram", 4) == [150.0, 250.0]  # count from start
    assert [FULL.last_int("get_chromatogram", p) for p in (5, 6, 7, 10)] == [2, 5, 9, 4]
    assert list(times) == [0.0, 0.5, 1.0, 1.5]

    fn(1, 0, None, start, end, -1, 5, 9, times, intensities, 4)
    assert FULL.last_text("get_chromatogram", 2) is None
    assert FULL.last_in_array("get_chromatogram", 3) == []  # negative count: nothing read

    avg = FULL.function("get_averaged_spectrum")
    scans = (ctypes.c_int32 * 3)(10, -11, 10)
    masses = (ctypes.c_double * 5)()
    intensities = (ctypes.c_double * 5)()
    assert avg(1, scans, 3, masses, intensities, 5) == 5
    assert FULL.last_in_array("get_averaged_spectrum", 1, kind="i") == [10, -11, 10]


def test_handles_paths_and_reset():
    open_ = FULL.function("open_raw_file")
    get_path = FULL.function("get_path")
    assert open_(b"a.raw") == 1
    assert open_("C:/dätä/b.raw".encode()) == 2
    buf = ctypes.create_string_buffer(64)
    assert get_path(2, buf, 64) == len("C:/dätä/b.raw".encode())
    assert buf.value.decode() == "C:/dätä/b.raw"
    assert FULL.function("get_scan_rt")(1, 7) == 3.5
    FULL.set_result("get_num_scans", -1)
    assert FULL.total_calls() == 4

    FULL.reset()
    assert FULL.total_calls() == 0
    assert FULL.function("get_num_scans")(1) == 100
    assert open_(b"c.raw") == 1


def test_misuse_raises():
    with pytest.raises(KeyError):
        FULL.calls("get_centroid_stream")  # the Python name, not the entry point
    with pytest.raises(KeyError):
        FULL.set_result("no_such_entry", 1)
    with pytest.raises(ValueError):
        FULL.set_result("get_num_scans", 1.5)  # int32 entry point
    with pytest.raises(ValueError):
        FULL.set_text("get_num_scans", b"x")  # no text buffer
    with pytest.raises(ValueError):
        FULL.set_array("get_spectrum", 2, [1.0])  # only arrays 0 and 1
    with pytest.raises(ValueError):
        FULL.last_double("get_scan_rt", 0)  # position 0 is the int32 handle
    with pytest.raises(IndexError):
        FULL.last_int("get_scan_rt", 2)
    with pytest.raises(LookupError):
        FULL.last_int("get_num_scans", 0)  # no call yet


def test_concurrent_calls_are_all_counted():
    # ctypes releases the interpreter lock around foreign calls, so these
    # threads are inside the stand-in at the same time.
    fn = FULL.function("get_scan_filter_string")
    num_scans = FULL.function("get_num_scans")
    threads, per_thread = 8, 5000
    start = threading.Barrier(threads)

    def work():
        buf = ctypes.create_string_buffer(32)
        start.wait()
        for k in range(per_thread):
            fn(1, k, buf, 32)
            num_scans(k)

    pool = [threading.Thread(target=work) for _ in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    assert FULL.calls("get_scan_filter_string") == threads * per_thread
    assert FULL.total_calls() == 2 * threads * per_thread
