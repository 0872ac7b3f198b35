"""A Reader library that returns the worst it can, for every buffer family.

Texts that fill the whole buffer without a zero byte, statuses of INT_MIN and
INT_MAX, counts above the capacity or above what was written, null pointer
slots, NaN and infinities everywhere. Each case is run over every function
that the family serves and checked against the family's rules. Under the
sanitizer build (CORVIX_SANITIZE=1) the same cases prove that nothing is read
or written past a buffer: the module's buffers come from the interpreter's
allocator, which is plain malloc there and so guarded by AddressSanitizer.
"""
import math
import struct

import pytest

from signatures import NAMES
from test_arguments import good_args
from families import FAMILIES, INT_MAX, INT_MIN, names_of, same_value

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
SPECIALS = [math.nan, math.inf, -math.inf, -0.0, 5e-324, 1.7976931348623157e308]


def call(corvix, name, *override):
    args = good_args(name)
    for index, value in override:
        args[index] = value
    return getattr(corvix, name)(*args)


def capacity_position(stub, record):
    """Native position of the capacity that follows the buffer."""
    params = stub.sig(record.entry).partition(":")[2]
    return max(params.index(k) for k in "bPD" if k in params) + 1


def decoded(data, capacity):
    """The terminated-text rule, written out independently."""
    data = data[:capacity]
    end = data.find(b"\0")
    return (data if end < 0 else data[:end]).decode("utf-8", "replace")


def expected_text(record, text):
    if record.kind == "field_list":
        return text.split("|")
    if record.kind == "user_text":
        return text.split("###|###") if text else []
    return text


def fill(capacity, unit):
    """More bytes than the capacity, none of them zero, with a multi-byte
    character cut by the capacity."""
    body = (unit * (capacity // len(unit) + 2))[: capacity - 1]
    return body + "\u20ac".encode() + b"tail"


TEXT_NAMES = names_of("text", "field_list", "user_text")

def negative_result(record):
    return {"text": "", "user_text": []}.get(record.kind) if record.negative == "empty" else None


# -- terminated texts ---------------------------------------------------------


@pytest.mark.parametrize("name", TEXT_NAMES)
def test_text_filling_the_buffer_without_terminator(corvix, stub, name):
    record = FAMILIES[name]
    unit = {"field_list": b"ab|\xc3\xa9|", "user_text": b"x###|###\xe9y"}.get(record.kind, b"t\xe2\x82\xac")
    data = fill(record.capacity, unit)
    stub.set_text(record.entry, data)
    stub.set_result(record.entry, INT_MAX)  # never taken as a length
    result = call(corvix, name)
    assert stub.last_int(record.entry, capacity_position(stub, record)) == record.capacity
    expected = expected_text(record, decoded(data, record.capacity))
    assert result == expected
    last = result[-1] if isinstance(result, list) else result
    assert last.endswith("\ufffd")


@pytest.mark.parametrize("name", TEXT_NAMES)
@pytest.mark.parametrize("status", [INT_MIN, -1])
def test_text_negative_status(corvix, stub, name, status):
    record = FAMILIES[name]
    stub.set_result(record.entry, status)
    if record.negative == "raise":
        with pytest.raises(RuntimeError) as info:
            call(corvix, name)
        assert str(info.value) == f"{record.entry} failed"
    else:
        assert call(corvix, name) == negative_result(record)


@pytest.mark.parametrize("name", TEXT_NAMES)
def test_text_status_unrelated_to_length(corvix, stub, name):
    record = FAMILIES[name]
    stub.set_text(record.entry, b"a|b\0hidden|c")
    stub.set_result(record.entry, INT_MAX)
    assert call(corvix, name) == expected_text(record, "a|b")
    stub.set_text(record.entry, b"")
    assert call(corvix, name) == expected_text(record, "")


# -- counted texts --------------------------------------------------------------


@pytest.mark.parametrize("name", sorted(names_of("counted")))
def test_counted_text_bounds(corvix, stub, name):
    record = FAMILIES[name]
    data = fill(record.capacity, b"c\xc3\xa9")
    stub.set_text(record.entry, data)
    stub.set_result(record.entry, record.capacity)
    assert call(corvix, name) == data[:record.capacity].decode("utf-8", "replace")
    for status in (record.capacity + 1, INT_MAX):
        stub.set_result(record.entry, status)
        with pytest.raises(corvix.PanicException):
            call(corvix, name)
    # A status above what was written reads the zero-filled rest as U+0000.
    stub.set_text(record.entry, b"abcde")
    stub.set_result(record.entry, 8)
    assert call(corvix, name) == "abcde\0\0\0"
    stub.set_result(record.entry, 0)
    assert call(corvix, name) == (None if name == "get_scan_stats_scan_type" else "")
    stub.set_result(record.entry, INT_MIN)
    if record.negative == "raise":
        with pytest.raises(RuntimeError, match=f"^{record.entry} failed$"):
            call(corvix, name)
    else:
        assert call(corvix, name) is None


# -- pointer slots ------------------------------------------------------------


@pytest.mark.parametrize("name", sorted(names_of("slots")))
def test_pointer_slots(corvix, stub, name):
    record = FAMILIES[name]
    n = record.capacity
    # More filled texts than slots and a status of INT_MAX: only n are read.
    stub.set_pointers(record.entry, [b"f%d" % i for i in range(n + 5)])
    stub.set_result(record.entry, INT_MAX)
    assert call(corvix, name) == [f"f{i}" for i in range(n)]
    assert stub.last_int(record.entry, capacity_position(stub, record)) == n
    # Null slots are skipped; a count above what was written finds nulls.
    stub.set_pointers(record.entry, [b"a", None, b"\xffz", None])
    stub.set_result(record.entry, 10)
    assert call(corvix, name) == ["a", "\ufffdz"]
    stub.set_pointers(record.entry, [None, None])
    stub.set_result(record.entry, INT_MAX)
    assert call(corvix, name) == []
    stub.set_result(record.entry, INT_MIN)
    with pytest.raises(RuntimeError, match=f"^{record.entry} failed$"):
        call(corvix, name)


# -- arrays -------------------------------------------------------------------

CALLER_SIZED = sorted(names_of("caller_sized"))


def array_count(stub, entry):
    return stub.sig(entry).count("D")


def lists_of(name, result):
    if name == "get_ms2_filter_masses":
        return [result]
    if name == "get_centroid_stream":
        return list(result[:5])
    return list(result)


@pytest.mark.parametrize("name", CALLER_SIZED)
@pytest.mark.parametrize("capacity", [0, 3, 6, 9])
def test_caller_sized_arrays_with_hostile_counts(corvix, stub, name, capacity):
    entry = FAMILIES[name].entry
    arrays = [SPECIALS[k:] + SPECIALS[:k] for k in range(array_count(stub, entry))]
    for which, values in enumerate(arrays):
        stub.set_array(entry, which, values)  # six values written per array
    integers = [INT_MIN, INT_MAX, -1, 0, 1, 7]
    if name == "get_centroid_stream":
        stub.set_int_array(entry, integers)
        stub.set_trailer(entry, math.nan, -math.inf)
    for count in (INT_MAX, 8):
        stub.set_result(entry, count)
        result = call(corvix, name, (-1, capacity))
        taken = min(count, capacity)
        expected = [(values + [0.0] * 10)[:taken] for values in arrays]
        if name == "get_centroid_stream":
            expected.append((integers + [0] * 10)[:taken])
            assert math.isnan(result[5]) and result[6] == -math.inf
        got = lists_of(name, result)
        assert len(got) == len(expected)
        for have, want in zip(got, expected):
            assert len(have) == len(want)
            assert all(same_value(a, b) for a, b in zip(have, want)), (have, want)
    stub.set_result(entry, INT_MIN)
    with pytest.raises(RuntimeError, match=f"^{entry} failed$"):
        call(corvix, name, (-1, capacity))


@pytest.mark.parametrize("name", sorted(names_of("dependent_array")))
def test_dependent_arrays(corvix, stub, name):
    stub.set_array(name, 0, SPECIALS)
    stub.set_result(name, INT_MAX)
    result = call(corvix, name)
    capacity = FAMILIES[name].capacity
    assert len(result) == capacity
    assert all(same_value(a, b) for a, b in zip(result, SPECIALS + [0.0] * (capacity - len(SPECIALS))))
    assert stub.last_int(name, 5) == capacity
    stub.set_result(name, 3)
    assert len(call(corvix, name)) == 3
    stub.set_result(name, INT_MIN)
    assert call(corvix, name) is None


def test_scan_stats(corvix, stub):
    values = (SPECIALS * 5)[:25]  # more than the block holds: at most 20 are written
    stub.set_array("get_scan_stats", 0, values)
    for status in (INT_MAX, 0, 100):
        stub.set_result("get_scan_stats", status)
        result = call(corvix, "get_scan_stats")
        assert len(result) == 20
        assert all(same_value(a, b) for a, b in zip(result, values[:20]))
    stub.set_result("get_scan_stats", INT_MIN)
    with pytest.raises(RuntimeError, match="^get_scan_stats failed$"):
        call(corvix, "get_scan_stats")


# -- scalars ------------------------------------------------------------------

PAYLOAD_NAN = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000001))[0]


def scalar_cases(stub, name):
    record = FAMILIES[name]
    ret = stub.sig(record.entry)[0]
    if record.kind == "flag":
        return [(INT_MIN, True), (INT_MAX, True), (256, True), (-1, True), (0, False)]
    if record.kind == "none":
        return [(INT_MIN, None), (INT_MAX, None)]
    if ret == "d":
        return [(v, v) for v in SPECIALS + [PAYLOAD_NAN]]
    if ret == "q":
        return [(INT64_MIN, INT64_MIN), (INT64_MAX, INT64_MAX), (2**32, 2**32), (-1, -1)]
    return [(INT_MIN, INT_MIN), (INT_MAX, INT_MAX), (-1, -1)]


@pytest.mark.parametrize("name", names_of("scalar", "flag", "none", "open"))
def test_scalar_extremes(corvix, stub, name):
    entry = FAMILIES[name].entry
    for native, expected in scalar_cases(stub, name):
        stub.set_result(entry, native)
        result = call(corvix, name)
        if isinstance(expected, float):
            assert struct.pack("<d", result) == struct.pack("<d", expected), (native, result)
        else:
            assert result is expected if expected in (True, False, None) else same_value(result, expected)


def test_every_function_has_a_hostile_case():
    # set_dylib_path calls no entry point: nothing hostile can reach it.
    covered = set(TEXT_NAMES) | set(CALLER_SIZED)
    covered |= set(names_of("counted", "slots", "dependent_array", "stats", "scalar", "flag", "none", "open"))
    assert covered == set(NAMES) - {"set_dylib_path"}
