"""Text functions: single texts, user texts, pointer-slot lists, the MS2 filter
masses and the log field lists, against the stand-in Reader library."""

import math
import os

import pytest

from families import FAMILIES
from signatures import PARAMS

if not os.environ.get("CORVIX_BUILD_DIR"):
    pytest.skip("CORVIX_BUILD_DIR is not set", allow_module_level=True)

from conftest import run_python, stub_path  # noqa: E402

INT32_MIN = -(2**31)

# Buffer capacity and reading rule of every function that lends the Reader
# library one byte buffer, from the family table.
TEXTS = {n: f.capacity for n, f in FAMILIES.items() if f.kind == "text" and f.negative == "raise"}
QUIET_TEXTS = {n: f.capacity for n, f in FAMILIES.items() if f.kind == "text" and f.negative == "empty"}
FIELD_LISTS = {n: f.capacity for n, f in FAMILIES.items() if f.kind == "field_list"}
USER_TEXT = {n: f.capacity for n, f in FAMILIES.items() if f.kind == "user_text"}

MEMBERS = {
    **{n: (c, "text") for n, c in TEXTS.items()},
    **{n: (c, "quiet") for n, c in QUIET_TEXTS.items()},
    **{n: (c, "fields") for n, c in FIELD_LISTS.items()},
    **{n: (c, "user") for n, c in USER_TEXT.items()},
}
NAMES = list(MEMBERS)


def expected(name, written):
    """What `name` must return when its entry point wrote `written` (the
    stand-in writes at most the capacity and no terminator of its own)."""
    capacity, shape = MEMBERS[name]
    text = written[:capacity].split(b"\0", 1)[0].decode("utf-8", "replace")
    if shape == "fields":
        return text.split("|")
    if shape == "user":
        return text.split("###|###") if text else []
    return text


def arguments(name, shift=0):
    """Distinct values for the parameters before the buffer: (given, native)."""
    values = {"handle": -7 - shift, "scan_number": 2**31 - 1 - shift, "index": INT32_MIN + shift, "rt": 7 + shift}
    return [(values[p], float(values[p]) if p == "rt" else values[p]) for p in PARAMS[name]]


def call(corvix, name, shift=0):
    return getattr(corvix, name)(*[given for given, _ in arguments(name, shift)])


def test_every_buffer_function_is_listed(stub):
    with_buffer = {name for name, sig in stub.entries() if sig.endswith("bi")}
    # the remaining buffer functions (scan type, dependent detail) read their text by the count rule
    assert with_buffer - set(MEMBERS) == {"get_scan_stats_scan_type", "get_scan_dependent_detail_filter_string"}
    assert len(MEMBERS) == 39


@pytest.mark.parametrize("name", NAMES)
def test_capacity_and_arguments(corvix, stub, name):
    params = PARAMS[name]
    assert stub.sig(name) == "i:" + "".join("d" if p == "rt" else "i" for p in params) + "bi"
    for shift in range(2):
        values = arguments(name, shift)
        keywords = {p: given for p, (given, _) in reversed(list(zip(params, values)))}
        getattr(corvix, name)(**keywords)
        assert stub.calls(name) == shift + 1
        for k, (p, (_, native)) in enumerate(zip(params, values)):
            recorded = stub.last_double(name, k) if p == "rt" else stub.last_int(name, k)
            assert type(recorded) is type(native) and recorded == native, (p, recorded)
        assert not stub.last_ptr_was_null(name, len(params))
        assert stub.last_int(name, len(params) + 1) == MEMBERS[name][0]


def buffer_cases(capacity):
    """(bytes written, scripted status or None for the natural count)."""
    return {
        "nothing-written": (b"", 0),
        "zero-in-the-middle": (b"ab|c###|###d\0ef|g", None),
        "status-above-capacity": (b"ab|c", capacity + 5),
        "status-not-the-length": (b"a###|###bcdef|", 2),
        "status-zero-with-text": (b"lot|###|###", 0),
        "full-capacity-no-zero": (b"x" * (capacity - 3) + b"|yz", None),
        "zero-in-the-last-byte": (b"w" * (capacity - 3) + b"|w\0", None),
        "char-cut-at-capacity": (b"y" * (capacity - 1) + "\u20ac".encode(), None),
        "longer-than-capacity": (b"z|" * capacity, 2**31 - 1),
    }


BUFFER_CASES = list(buffer_cases(0))


@pytest.mark.parametrize("case", BUFFER_CASES)
@pytest.mark.parametrize("name", NAMES)
def test_terminated_text_rule(corvix, stub, name, case):
    capacity = MEMBERS[name][0]
    written, status = buffer_cases(capacity)[case]
    stub.set_text(name, written)
    if status is not None:
        stub.set_result(name, status)
    got = call(corvix, name)
    assert got == expected(name, written)
    if case == "zero-in-the-last-byte":
        # the terminator in the buffer's last byte ends the text: no U+0000
        assert "\0" not in (got if isinstance(got, str) else "".join(got))
    if case == "char-cut-at-capacity":
        # one U+FFFD for the two bytes left of the three-byte character
        last = got if isinstance(got, str) else got[-1]
        assert last.endswith("y\ufffd") and len(last) == capacity


@pytest.mark.parametrize("name", NAMES)
def test_buffer_is_zero_filled_on_every_call(corvix, stub, name):
    capacity = MEMBERS[name][0]
    stub.set_text(name, b"Q" * capacity)
    call(corvix, name)
    for written in (b"ab", b""):
        stub.set_text(name, written)
        assert call(corvix, name) == expected(name, written)


@pytest.mark.parametrize("status", [-1, INT32_MIN])
@pytest.mark.parametrize("name", NAMES)
def test_negative_status(corvix, stub, name, status):
    shape = MEMBERS[name][1]
    stub.set_text(name, b"written anyway")
    stub.set_result(name, status)
    if shape in ("text", "fields"):
        with pytest.raises(RuntimeError) as info:
            call(corvix, name)
        assert str(info.value) == f"{name} failed"
    else:
        assert call(corvix, name) == ("" if shape == "quiet" else [])
    assert stub.calls(name) == 1


# Ill-formed UTF-8 and what the interpreter's "replace" decoding makes of it.
MALFORMED = {
    b"\x80": "\ufffd",
    b"a\xbf\xbfb": "a\ufffd\ufffdb",
    b"\xe2\x82": "\ufffd",
    b"\xe2\x82x": "\ufffdx",
    b"\xf0\x9f\x98": "\ufffd",
    b"\xc0\x80": "\ufffd\ufffd",
    b"\xe0\x80\x80": "\ufffd" * 3,
    b"\xed\xa0\x80": "\ufffd" * 3,
    b"\xf4\x90\x80\x80": "\ufffd" * 4,
    b"\xff\xfe": "\ufffd\ufffd",
    b"\xe9t\xe9": "\ufffdt\ufffd",
    b"\xe1\x80\xe2\xf0\x91\x92\xf1\xbfA": "\ufffd" * 4 + "A",
    b"\xf0\x9f\x98\x80\xc3\xa9": "\U0001f600\u00e9",
}
SHAPE_EXAMPLES = ["get_creator_id", "get_sample_processing_method_file", "get_trailer_extra_values",
                  "get_sample_user_text"]


@pytest.mark.parametrize("raw", list(MALFORMED), ids=[r.hex() for r in MALFORMED])
@pytest.mark.parametrize("name", SHAPE_EXAMPLES)
def test_malformed_utf8_is_replaced(corvix, stub, name, raw):
    assert raw.decode("utf-8", "replace") == MALFORMED[raw]
    stub.set_text(name, raw + b"|" + raw)
    got = call(corvix, name)
    assert got == expected(name, raw + b"|" + raw)
    assert (got if isinstance(got, str) else "|".join(got)) == MALFORMED[raw] + "|" + MALFORMED[raw]


@pytest.mark.parametrize(
    "written, items",
    [
        (b"", []),
        (b"one", ["one"]),
        (b"A###|###B", ["A", "B"]),
        (b"A###|###", ["A", ""]),
        (b"###|###A", ["", "A"]),
        (b"###|###", ["", ""]),
        (b"A###|######|###B", ["A", "", "B"]),
        (b"A##|###B", ["A##|###B"]),
        (b"A###|##B", ["A###|##B"]),
        (b"A|B||", ["A|B||"]),
        (b"A###|###|###B", ["A", "|###B"]),
        (b"A####|####B", ["A#", "#B"]),
        (b" a ###|### b ", [" a ", " b "]),
        (b"A###|###B\0###|###C", ["A", "B"]),
    ],
)
def test_user_text_split(corvix, stub, written, items):
    stub.set_text("get_sample_user_text", written)
    assert corvix.get_sample_user_text(1) == items


@pytest.mark.parametrize(
    "written, items",
    [
        (b"", [""]),
        (b"abc", ["abc"]),
        (b"a|b|c|d", ["a", "b", "c", "d"]),
        (b"a|b|c|d|", ["a", "b", "c", "d", ""]),
        (b"a||b", ["a", "", "b"]),
        (b"|", ["", ""]),
        (b"||", ["", "", ""]),
        (b"|a", ["", "a"]),
        (b" a | b ", [" a ", " b "]),
        (b"x###|###y", ["x###", "###y"]),
    ],
)
@pytest.mark.parametrize("name", list(FIELD_LISTS))
def test_field_list_split(corvix, stub, name, written, items):
    stub.set_text(name, written)
    assert call(corvix, name) == items


SLOT_FUNCTIONS = {"get_filters": 1024, "get_scan_filter_meta_filters": 32}


@pytest.mark.parametrize("name, slots", list(SLOT_FUNCTIONS.items()))
def test_pointer_slots(corvix, stub, name, slots):
    params = PARAMS[name]
    assert stub.sig(name) == "i:" + "i" * len(params) + "Pi"

    def run(texts, status=None):
        stub.reset()
        stub.set_pointers(name, texts)
        if status is not None:
            stub.set_result(name, status)
        return call(corvix, name)

    assert run([b"first", None, b"third"], 3) == ["first", "third"]
    for k, (_, native) in enumerate(arguments(name)):
        assert stub.last_int(name, k) == native
    assert not stub.last_ptr_was_null(name, len(params))
    assert stub.last_int(name, len(params) + 1) == slots
    assert run([b"a", b"b"], 0) == []
    assert run([None, None], 2) == []
    # slots the entry point did not write stay null
    assert run([b"a", b"b"], 5) == ["a", "b"]
    assert run([b"a", b"b", b"c"], 2) == ["a", "b"]
    # at most the capacity is read, whatever the status claims
    many = [b"t%d" % i for i in range(slots + 8)]
    assert run(many, slots + 100) == [t.decode() for t in many[:slots]]
    assert run(many, 2**31 - 1) == [t.decode() for t in many[:slots]]
    # texts: empty kept, no length limit, ill-formed bytes replaced
    odd = [b"", b"L" * 20000, b"\xff ok \xe2\x82", "\u00b5s".encode()]
    assert run(odd) == ["", "L" * 20000, "\ufffd ok \ufffd", "\u00b5s"]
    for status in (-1, INT32_MIN):
        with pytest.raises(RuntimeError) as info:
            run([b"a"], status)
        assert str(info.value) == f"{name} failed"


def test_ms2_filter_masses(corvix, stub):
    name = "get_ms2_filter_masses"
    assert stub.sig(name) == "i:iDi"

    def run(max_size, values, status=None, handle=-3):
        stub.reset()
        stub.set_array(name, 0, values)
        if status is not None:
            stub.set_result(name, status)
        got = corvix.get_ms2_filter_masses(max_size=max_size, handle=handle)
        assert stub.calls(name) == 1
        assert (stub.last_int(name, 0), stub.last_int(name, 2)) == (handle, max_size)
        assert type(got) is list and all(type(v) is float for v in got)
        return got

    assert run(0, [1.0, 2.0]) == []
    assert run(0, [], 0) == []
    assert run(3, [1.5, 2.5, 3.5, 4.5]) == [1.5, 2.5, 3.5]
    assert run(10, [1.5, 2.5, 3.5], 3) == [1.5, 2.5, 3.5]
    assert run(10, [1.5, 2.5, 3.5, 4.5], 2) == [1.5, 2.5]
    special = run(4, [float("nan"), float("inf"), -0.0, 5e-324])
    assert math.isnan(special[0]) and special[1:3] == [float("inf"), 0.0] and special[3] == 5e-324
    assert math.copysign(1.0, special[2]) == -1.0
    # after a full array, a shorter one: the surplus items are 0.0
    run(10, [9.0] * 10)
    assert run(10, [1.0, 2.0], 5) == [1.0, 2.0, 0.0, 0.0, 0.0]
    for status in (-1, INT32_MIN):
        with pytest.raises(RuntimeError) as info:
            run(4, [1.0], status)
        assert str(info.value) == "get_ms2_filter_masses failed"


@pytest.mark.parametrize("max_size", [-1, INT32_MIN])
def test_ms2_filter_masses_negative_capacity(corvix, stub, max_size):
    with pytest.raises(corvix.PanicException) as info:
        corvix.get_ms2_filter_masses(1, max_size)
    assert str(info.value) == "capacity overflow"
    assert stub.total_calls() == 0


def test_ms2_filter_masses_too_large_is_memory_error(tmp_path):
    # The address space is limited so that the reservation fails whatever the
    # machine's overcommit policy; the call must fail in order, not crash.
    code = (
        "import resource\n"
        "import native_corvix_py_backend as m\n"
        f"m.set_dylib_path({str(stub_path('full'))!r})\n"
        "m.get_ms2_filter_masses(1, 2)\n"
        "size = next(int(l.split()[1]) for l in open('/proc/self/status') if l.startswith('VmSize:')) * 1024\n"
        "limit = size + (1 << 30)\n"
        "resource.setrlimit(resource.RLIMIT_AS, (limit, limit))\n"
        "try:\n"
        "    m.get_ms2_filter_masses(1, 2**31 - 1)\n"
        "    print('no error')\n"
        "except MemoryError:\n"
        "    print('MemoryError')\n"
        "print(m.get_ms2_filter_masses(1, 5))\n"
    )
    result = run_python(code, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines() == ["MemoryError", "[400.0, 500.0]"]
