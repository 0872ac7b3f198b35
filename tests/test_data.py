"""Spectra, centroid streams, averaged spectra and chromatograms: result
arrays and the count rule, the sequence rule, and the faults found before
the library is called (the order of failures around the library is in
test_failure_order.py)."""
import array

import pytest

# Python name -> (entry point, good arguments, native position of the capacity).
ARRAY_CALLS = {
    "get_spectrum": ("get_spectrum", (1, 1, 10), 4),
    "get_centroid_stream": ("get_centroid_stream_full", (1, 1, 10), 8),
    "get_averaged_spectrum": ("get_averaged_spectrum", (1, [1, 2], 10), 5),
    "get_chromatogram": ("get_chromatogram", (1, 1, "f", [1.0], [2.0], 1, 2, 10), 10),
}
# Native positions of the float arrays of each entry point.
FLOAT_ARRAYS = {"get_spectrum": 2, "get_centroid_stream_full": 4, "get_averaged_spectrum": 2,
                "get_chromatogram": 2}


def with_capacity(name, max_length):
    args = list(ARRAY_CALLS[name][1])
    args[-1] = max_length
    return args


def float_lists(name, result):
    """The float lists of a result (the centroid int list and trailer aside)."""
    return list(result[:4]) if name == "get_centroid_stream" else list(result)


# ---------------------------------------------------------------------------
# Result arrays and the count rule (all four array functions).


@pytest.mark.parametrize("name", ARRAY_CALLS)
@pytest.mark.parametrize("max_length, expected", [(10, 5), (5, 5), (3, 3), (1, 1)])
def test_lists_hold_min_of_count_and_capacity(corvix, stub, name, max_length, expected):
    entry, _, cap_pos = ARRAY_CALLS[name]
    written = [float(v) for v in range(11, 16)]
    for which in range(FLOAT_ARRAYS[entry]):
        stub.set_array(entry, which, [w + 100 * which for w in written])
    if entry == "get_centroid_stream_full":
        stub.set_int_array(entry, [1, 2, 3, 4, 5])
    result = getattr(corvix, name)(*with_capacity(name, max_length))
    assert stub.last_int(entry, cap_pos) == max_length
    lists = float_lists(name, result)
    assert lists == [[w + 100 * k for w in written[:expected]] for k in range(len(lists))]
    if name == "get_centroid_stream":
        assert result[4] == [1, 2, 3, 4, 5][:expected]


@pytest.mark.parametrize("name", ARRAY_CALLS)
def test_count_above_what_was_written_reads_zeros(corvix, stub, name):
    entry, _, _ = ARRAY_CALLS[name]
    # Fill freed memory with non-zero values first, so a reservation that is
    # not zero-filled would show them.
    for which in range(FLOAT_ARRAYS[entry]):
        stub.set_array(entry, which, [9.5] * 16)
    for _ in range(20):
        getattr(corvix, name)(*with_capacity(name, 16))
    for which in range(FLOAT_ARRAYS[entry]):
        stub.set_array(entry, which, [1.5, 2.5])
    if entry == "get_centroid_stream_full":
        stub.set_int_array(entry, [7])
    stub.set_result(entry, 8)
    for _ in range(20):
        result = getattr(corvix, name)(*with_capacity(name, 16))
        for values in float_lists(name, result):
            assert values == [1.5, 2.5] + [0.0] * 6
        if name == "get_centroid_stream":
            assert result[4] == [7] + [0] * 7


@pytest.mark.parametrize("name", ARRAY_CALLS)
@pytest.mark.parametrize("count", [0, 5, 2**31 - 1])
def test_zero_capacity_still_calls_the_entry_point(corvix, stub, name, count):
    entry, _, cap_pos = ARRAY_CALLS[name]
    stub.set_result(entry, count)
    result = getattr(corvix, name)(*with_capacity(name, 0))
    assert stub.calls(entry) == 1 and stub.last_int(entry, cap_pos) == 0
    if name == "get_centroid_stream":
        assert result == ([], [], [], [], [], 1.5, 2.5)
        assert not stub.last_ptr_was_null(entry, 7)
    else:
        assert result == ([], [])


@pytest.mark.parametrize("name", ARRAY_CALLS)
def test_count_zero_gives_empty_lists(corvix, stub, name):
    entry, _, _ = ARRAY_CALLS[name]
    stub.set_result(entry, 0)
    result = getattr(corvix, name)(*with_capacity(name, 10))
    assert all(values == [] for values in float_lists(name, result))


@pytest.mark.parametrize("name", ARRAY_CALLS)
@pytest.mark.parametrize("status", [-1, -(2**31)])
def test_negative_count_is_a_status_failure(corvix, stub, name, status):
    entry, _, _ = ARRAY_CALLS[name]
    stub.set_result(entry, status)
    with pytest.raises(RuntimeError) as info:
        getattr(corvix, name)(*with_capacity(name, 10))
    assert str(info.value) == f"{entry} failed"


@pytest.mark.parametrize("name", ARRAY_CALLS)
@pytest.mark.parametrize("max_length", [-1, -(2**31)])
def test_negative_capacity_is_an_internal_fault(corvix, stub, name, max_length):
    with pytest.raises(corvix.PanicException) as info:
        getattr(corvix, name)(*with_capacity(name, max_length))
    assert str(info.value) == "capacity overflow"
    assert stub.total_calls() == 0


def test_spectrum_shape_and_arguments(corvix, stub):
    result = corvix.get_spectrum(max_length=6, scan_number=-3, handle=7)
    assert result == ([100.0, 101.0, 102.0, 103.0, 104.0], [1000.0, 2000.0, 3000.0, 4000.0, 5000.0])
    assert type(result) is tuple and all(type(x) is float for x in result[0] + result[1])
    assert [stub.last_int("get_spectrum", p) for p in (0, 1, 4)] == [7, -3, 6]


def test_centroid_stream_shape_and_arguments(corvix, stub):
    stub.set_int_array("get_centroid_stream_full", [-1, -(2**31), 2**31 - 1])
    stub.set_trailer("get_centroid_stream_full", float("inf"), -0.0)
    result = corvix.get_centroid_stream(4, 9, 3)
    assert [stub.last_int("get_centroid_stream_full", p) for p in (0, 1, 8)] == [4, 9, 3]
    assert type(result) is tuple and len(result) == 7
    assert result[:4] == ([100.0, 200.0, 300.0], [1000.0, 2000.0, 3000.0], [60000.0] * 3, [10.0, 20.0, 30.0])
    assert result[4] == [-1, -(2**31), 2**31 - 1] and all(type(x) is int for x in result[4])
    assert result[5] == float("inf") and str(result[6]) == "-0.0"


def test_centroid_stream_unwritten_trailer_is_zero(corvix, stub):
    stub.clear_trailer("get_centroid_stream_full")
    assert corvix.get_centroid_stream(1, 1, 0) == ([], [], [], [], [], 0.0, 0.0)
    assert stub.last_ptr_was_null("get_centroid_stream_full", 7) == 0


@pytest.mark.parametrize("value, expected", [(0, False), (1, True), (-1, True), (2, True), (-(2**31), True)])
def test_is_centroid(corvix, stub, value, expected):
    stub.set_result("is_centroid", value)
    assert corvix.is_centroid(5, 6) is expected
    assert (stub.last_int("is_centroid", 0), stub.last_int("is_centroid", 1)) == (5, 6)


# ---------------------------------------------------------------------------
# Averaged spectrum: scan numbers by the sequence rule with integer elements.


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "scans, passed",
    [
        ([5, 3, 5, 5, 1], [5, 3, 5, 5, 1]),
        ((7, -1, 2**31 - 1, -(2**31)), [7, -1, 2**31 - 1, -(2**31)]),
        (range(10, 20), list(range(10, 20))),
        ([True, Index(42)], [1, 42]),
        (array.array("i", [3, 2, 1]), [3, 2, 1]),
        (b"\x01\x02", [1, 2]),
        ([], []),
    ],
)
def test_scan_numbers_passed_in_iteration_order(corvix, stub, scans, passed):
    assert corvix.get_averaged_spectrum(2, scans, 10)[0] == [100.0, 101.0, 102.0, 103.0, 104.0]
    assert stub.last_in_array("get_averaged_spectrum", 1, "i") == passed
    assert stub.last_int("get_averaged_spectrum", 2) == len(passed)
    assert (stub.last_int("get_averaged_spectrum", 0), stub.last_int("get_averaged_spectrum", 5)) == (2, 10)


@pytest.mark.parametrize(
    "scans, error, message",
    [
        ([1, 10.0], TypeError, "argument 'scan_numbers': 'float' object cannot be interpreted as an integer"),
        ([1, "2"], TypeError, "argument 'scan_numbers': 'str' object cannot be interpreted as an integer"),
        ([1, 2**31], OverflowError, "Python int too large to convert to C long"),
        ([-(2**31) - 1], OverflowError, "Python int too large to convert to C long"),
        ("12", TypeError, "argument 'scan_numbers': Can't extract `str` to `Vec`"),
        ({1, 2}, TypeError, "argument 'scan_numbers': 'set' object cannot be cast as 'Sequence'"),
        ({1: 2}, TypeError, "argument 'scan_numbers': 'dict' object cannot be cast as 'Sequence'"),
        (5, TypeError, "argument 'scan_numbers': 'int' object cannot be cast as 'Sequence'"),
        ((i for i in [1]), TypeError, "argument 'scan_numbers': 'generator' object cannot be cast as 'Sequence'"),
    ],
)
def test_scan_numbers_refused(corvix, stub, scans, error, message):
    with pytest.raises(error) as info:
        corvix.get_averaged_spectrum(1, scans, 10)
    assert type(info.value) is error and str(info.value) == message
    # The scan_numbers error wins over a negative capacity.
    with pytest.raises(error) as info:
        corvix.get_averaged_spectrum(1, scans, -1)
    assert str(info.value) == message
    assert stub.total_calls() == 0


def test_averaged_spectrum_parameter_order(corvix, stub):
    with pytest.raises(TypeError, match="^argument 'handle': "):
        corvix.get_averaged_spectrum("h", "bad", "bad")
    with pytest.raises(TypeError, match="^argument 'max_length': "):
        corvix.get_averaged_spectrum(1, [1], "bad")
    assert stub.total_calls() == 0


# ---------------------------------------------------------------------------
# Chromatogram.


def chromatogram(corvix, **changes):
    args = dict(handle=1, trace_type=0, filter="", mass_ranges_start=[], mass_ranges_end=[],
                start_scan=1, end_scan=100, max_length=10)
    args.update(changes)
    return corvix.get_chromatogram(*args.values())


def test_chromatogram_arguments_reach_the_entry_point(corvix, stub):
    result = corvix.get_chromatogram(3, -7, "ms é ✓", [100, 200.5], (101.0, 201.5), 10, 20, 8)
    assert result == ([0.0, 0.5, 1.0, 1.5], [10.0, 20.0, 30.0, 40.0])
    last = [stub.last_int("get_chromatogram", p) for p in (0, 1, 5, 6, 7, 10)]
    assert last == [3, -7, 2, 10, 20, 8]
    assert stub.last_text("get_chromatogram", 2) == "ms é ✓".encode()
    assert stub.last_in_array("get_chromatogram", 3) == [100.0, 200.5]
    assert stub.last_in_array("get_chromatogram", 4) == [101.0, 201.5]


def test_empty_filter_and_mass_ranges(corvix, stub):
    assert chromatogram(corvix) == ([0.0, 0.5, 1.0, 1.5], [10.0, 20.0, 30.0, 40.0])
    assert stub.last_text("get_chromatogram", 2) == b""
    assert stub.last_int("get_chromatogram", 5) == 0


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


@pytest.mark.parametrize(
    "masses, passed",
    [
        ([1, 2.5, True], [1.0, 2.5, 1.0]),
        ((3.5, 4), [3.5, 4.0]),
        (range(3), [0.0, 1.0, 2.0]),
        (b"\x00\x7f\xff", [0.0, 127.0, 255.0]),
        (bytearray(b"\x05"), [5.0]),
        (array.array("d", [1.25, -2.5]), [1.25, -2.5]),
        ([Floaty(9.75), Index(4)], [9.75, 4.0]),
        ([float("nan")], None),
    ],
)
def test_mass_range_sequences(corvix, stub, masses, passed):
    chromatogram(corvix, mass_ranges_start=masses, mass_ranges_end=masses)
    for pos in (3, 4):
        got = stub.last_in_array("get_chromatogram", pos)
        if passed is None:
            assert len(got) == 1 and got[0] != got[0]
        else:
            assert got == passed
    assert stub.last_int("get_chromatogram", 5) == len(masses)


def test_longer_end_list_surplus_ignored(corvix, stub):
    chromatogram(corvix, mass_ranges_start=[1.0, 2.0], mass_ranges_end=[3.0, 4.0, 5.0, 6.0])
    assert stub.last_int("get_chromatogram", 5) == 2
    assert stub.last_in_array("get_chromatogram", 4) == [3.0, 4.0]


SHORT_END = "mass_ranges_end has fewer elements than mass_ranges_start"


def test_shorter_end_list_refused(corvix, stub):
    with pytest.raises(ValueError) as info:
        chromatogram(corvix, mass_ranges_start=[1.0, 2.0], mass_ranges_end=[3.0], max_length=-1)
    assert str(info.value) == SHORT_END
    # A conversion error of a later parameter is reported instead.
    with pytest.raises(TypeError, match="^argument 'end_scan': "):
        chromatogram(corvix, mass_ranges_start=[1.0, 2.0], mass_ranges_end=[3.0], end_scan="x")
    assert stub.total_calls() == 0


PARAMS = ["handle", "trace_type", "filter", "mass_ranges_start", "mass_ranges_end", "start_scan", "end_scan",
          "max_length"]
BAD = {"handle": "x", "trace_type": 1.0, "filter": b"f", "mass_ranges_start": "s", "mass_ranges_end": 5,
       "start_scan": None, "end_scan": "x", "max_length": []}


@pytest.mark.parametrize("first", range(len(PARAMS)))
def test_chromatogram_first_failing_parameter_is_named(corvix, stub, first):
    with pytest.raises(TypeError) as info:
        chromatogram(corvix, **{p: BAD[p] for p in PARAMS[first:]})
    assert str(info.value).startswith(f"argument '{PARAMS[first]}': ")
    assert stub.total_calls() == 0


@pytest.mark.parametrize("param", ["mass_ranges_start", "mass_ranges_end"])
@pytest.mark.parametrize(
    "value, message",
    [
        ("1.0", "Can't extract `str` to `Vec`"),
        ({1.0}, "'set' object cannot be cast as 'Sequence'"),
        ({1.0: 2.0}, "'dict' object cannot be cast as 'Sequence'"),
        (1.0, "'float' object cannot be cast as 'Sequence'"),
        ((x for x in [1.0]), "'generator' object cannot be cast as 'Sequence'"),
        ([1.0, "2"], "must be real number, not str"),
        ([None], "must be real number, not NoneType"),
    ],
)
def test_mass_ranges_refused(corvix, stub, param, value, message):
    with pytest.raises(TypeError) as info:
        chromatogram(corvix, **{param: value})
    assert type(info.value) is TypeError and str(info.value) == f"argument '{param}': {message}"
    assert stub.total_calls() == 0


def test_str_subclass_refused_as_a_sequence(corvix):
    class Text(str):
        pass

    with pytest.raises(TypeError, match="^argument 'mass_ranges_start': Can't extract `str` to `Vec`$"):
        chromatogram(corvix, mass_ranges_start=Text("12"))


def test_element_errors_other_than_type_errors_pass_unchanged(corvix, stub):
    class Bad:
        def __float__(self):
            raise ZeroDivisionError("element")

    with pytest.raises(ZeroDivisionError, match="^element$"):
        chromatogram(corvix, mass_ranges_end=[1.0, Bad()])
    with pytest.raises(OverflowError):
        chromatogram(corvix, mass_ranges_start=[10**400])
    with pytest.raises(UnicodeEncodeError):
        chromatogram(corvix, filter="\ud800")
    assert stub.total_calls() == 0


class Sized:
    """A sequence whose len() is scripted and counted."""

    def __init__(self, items, length):
        self.items, self.length, self.len_calls = list(items), length, 0

    def __len__(self):
        self.len_calls += 1
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


@pytest.mark.parametrize(
    "length",
    [3, 0, 1, 10**6, 2**62, -1, RuntimeError("len"), TypeError("len"), OverflowError("len")],
)
@pytest.mark.parametrize("size", [3, 5000])
def test_length_asked_once_and_errors_discarded(corvix, stub, length, size):
    items = [float(i) for i in range(size)]
    seq = Sized(items, length)
    chromatogram(corvix, mass_ranges_start=seq, mass_ranges_end=items)
    assert seq.len_calls == 1
    assert stub.last_int("get_chromatogram", 5) == size
    assert stub.last_in_array("get_chromatogram", 3) == items


def test_sequences_that_change_during_iteration(corvix, stub):
    grows = [1.0, 2.0]

    class Append:
        def __float__(self):
            grows.append(9.0) if len(grows) < 6 else None
            return 3.0

    grows.append(Append())
    chromatogram(corvix, mass_ranges_start=grows, mass_ranges_end=[0.0] * 10)
    assert stub.last_in_array("get_chromatogram", 3) == [1.0, 2.0, 3.0, 9.0]

    shrinks = [1.0]

    class Pop:
        def __float__(self):
            del shrinks[2:]
            return 2.0

    shrinks += [Pop(), 7.0, 8.0]
    chromatogram(corvix, mass_ranges_start=shrinks, mass_ranges_end=[0.0] * 10)
    assert stub.last_in_array("get_chromatogram", 3) == [1.0, 2.0]


class FailingIteration:
    def __init__(self, error, at_start):
        self.error, self.at_start = error, at_start

    def __len__(self):
        return 2

    def __getitem__(self, i):
        return 1.0

    def __iter__(self):
        if self.at_start:
            raise self.error
        return self

    def __next__(self):
        raise self.error


@pytest.mark.parametrize("at_start", [True, False])
def test_iteration_errors(corvix, stub, at_start):
    with pytest.raises(TypeError) as info:
        chromatogram(corvix, mass_ranges_end=FailingIteration(TypeError("no iteration"), at_start))
    assert str(info.value) == "argument 'mass_ranges_end': no iteration"
    with pytest.raises(KeyError) as info:
        chromatogram(corvix, mass_ranges_start=FailingIteration(KeyError("k"), at_start))
    assert type(info.value) is KeyError
    assert stub.total_calls() == 0


def test_nul_in_filter(corvix, stub):
    with pytest.raises(corvix.PanicException) as info:
        chromatogram(corvix, filter="a\0b")
    assert "NUL" in str(info.value)
    # The capacity check comes first.
    with pytest.raises(corvix.PanicException, match="^capacity overflow$"):
        chromatogram(corvix, filter="a\0b", max_length=-1)
    assert stub.total_calls() == 0
