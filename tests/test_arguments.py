"""Argument parsing and conversion, common to every function of the table."""
import pytest

from conftest import run_python
from signatures import NAMES, PARAMS

TEXT_PARAMS = {"path", "filter"}
SEQUENCE_PARAMS = {"mass_ranges_start", "mass_ranges_end", "scan_numbers"}
REAL_PARAMS = {"rt", "precursor_mz", "tolerance_ppm"}


def good_value(param):
    if param in TEXT_PARAMS:
        return "x"
    if param in SEQUENCE_PARAMS:
        return [1, 2]
    if param in REAL_PARAMS:
        return 1.5
    return 1


def good_args(name):
    return [good_value(p) for p in PARAMS[name]]


def quoted(names):
    items = [f"'{n}'" for n in names]
    if len(items) == 1:
        return items[0]
    if len(items) == 2:
        return f"{items[0]} and {items[1]}"
    return ", ".join(items[:-1]) + ", and " + items[-1]


@pytest.mark.parametrize("name", NAMES)
def test_parsing_errors(corvix, name):
    function = getattr(corvix, name)
    params = PARAMS[name]
    n = len(params)
    args = good_args(name)

    with pytest.raises(TypeError) as info:
        function(*args, 0)
    assert str(info.value) == f"{name}() takes {n} positional arguments but {n + 1} {'was' if n + 1 == 1 else 'were'} given"

    with pytest.raises(TypeError) as info:
        function()
    plural = "argument" if n == 1 else "arguments"
    assert str(info.value) == f"{name}() missing {n} required positional {plural}: {quoted(params)}"

    with pytest.raises(TypeError) as info:
        function(*args[:1], **{params[-1] + "_x": 1})
    assert str(info.value) == f"{name}() got an unexpected keyword argument '{params[-1]}_x'"

    with pytest.raises(TypeError) as info:
        function(*args, **{params[0]: args[0]})
    assert str(info.value) == f"{name}() got multiple values for argument '{params[0]}'"

    if n > 1:
        with pytest.raises(TypeError) as info:
            function(*args[:1])
        assert str(info.value) == f"{name}() missing {n - 1} required positional {'argument' if n == 2 else 'arguments'}: {quoted(params[1:])}"


def test_keyword_names_built_at_run_time_are_matched(corvix, stub):
    # A keyword that is not the interned constant still matches by text.
    key = "".join(["scan_", "number"])
    stub.set_result("get_scan_rt", 2.25)
    assert corvix.get_scan_rt(**{key: 3, "handle": 9}) == 2.25
    assert (stub.last_int("get_scan_rt", 0), stub.last_int("get_scan_rt", 1)) == (9, 3)


def test_first_bad_keyword_wins(corvix):
    with pytest.raises(TypeError, match="unexpected keyword argument 'zz'"):
        corvix.get_scan_rt(zz=1, handle=1, yy=2)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 4.5


@pytest.mark.parametrize(
    "value, passed",
    [(True, 1), (False, 0), (-1, -1), (2**31 - 1, 2**31 - 1), (-(2**31), -(2**31)), (Index(77), 77)],
)
def test_integer_rule_accepts(corvix, stub, value, passed):
    stub.set_result("get_num_scans", 5)
    assert corvix.get_num_scans(value) == 5
    assert stub.last_int("get_num_scans", 0) == passed


@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**63, -(2**64)])
def test_integer_rule_overflow_has_no_parameter_name(corvix, stub, value):
    with pytest.raises(OverflowError) as info:
        corvix.get_num_scans(value)
    assert str(info.value) == "Python int too large to convert to C long"
    assert stub.total_calls() == 0


@pytest.mark.parametrize(
    "value, message",
    [
        ("3", "'str' object cannot be interpreted as an integer"),
        (3.0, "'float' object cannot be interpreted as an integer"),
        (None, "'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_integer_rule_relabels_type_errors(corvix, stub, value, message):
    with pytest.raises(TypeError) as info:
        corvix.get_scan_filter_ultra(1, value)
    assert str(info.value) == f"argument 'scan_number': {message}"
    assert stub.total_calls() == 0


def test_relabelled_error_keeps_the_cause(corvix):
    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as error:
                raise TypeError("no index here") from error

    with pytest.raises(TypeError) as info:
        corvix.get_num_scans(Bad())
    assert str(info.value) == "argument 'handle': no index here"
    assert isinstance(info.value.__cause__, KeyError)


def test_non_type_errors_of_index_pass_unchanged(corvix):
    class Bad:
        def __index__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="^boom$"):
        corvix.get_num_scans(Bad())


def test_first_failing_parameter_is_reported(corvix):
    with pytest.raises(TypeError, match="^argument 'handle': "):
        corvix.get_instrument_count_of_type("1", "2")
    with pytest.raises(TypeError, match="^argument 'scan_number': "):
        corvix.get_scan_event_collision_energy(1, "5", "0")
    with pytest.raises(TypeError, match="^argument 'index': "):
        corvix.get_scan_event_collision_energy(1, 5, "0")


@pytest.mark.parametrize("value, passed", [(5, 5.0), (True, 1.0), (Floaty(), 4.5), (Index(3), 3.0), (-1.0, -1.0)])
def test_float_rule_accepts(corvix, stub, value, passed):
    stub.set_result("get_scan_number_from_rt", 12)
    assert corvix.get_scan_number_from_rt(1, value) == 12
    assert stub.last_double("get_scan_number_from_rt", 1) == passed


def test_float_rule_refuses_text(corvix, stub):
    with pytest.raises(TypeError) as info:
        corvix.get_ms2_scan_number_from_rt(1, 1.0, 2.0, "5")
    assert str(info.value) == "argument 'tolerance_ppm': must be real number, not str"
    assert stub.total_calls() == 0


def test_text_rule(corvix):
    class MyStr(str):
        pass

    with pytest.raises(TypeError) as info:
        corvix.set_dylib_path(5)
    assert str(info.value) == "argument 'path': 'int' object cannot be cast as 'str'"
    with pytest.raises(TypeError) as info:
        corvix.open_raw_file(b"file.raw")
    assert str(info.value) == "argument 'path': 'bytes' object cannot be cast as 'str'"

    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as info:
        corvix.open_raw_file(Outer.Inner())
    qualname = Outer.Inner.__qualname__
    assert qualname.endswith("Outer.Inner")
    assert str(info.value) == f"argument 'path': '{qualname}' object cannot be cast as 'str'"
    with pytest.raises(UnicodeEncodeError):
        corvix.open_raw_file("\ud800")
    assert isinstance(corvix.open_raw_file(MyStr("sub.raw")), int)


def bad_args(name):
    """Arguments whose last parameter fails to convert."""
    args = good_args(name)
    last = PARAMS[name][-1]
    args[-1] = 5 if last in TEXT_PARAMS else ("abc" if last in SEQUENCE_PARAMS else "bad")
    return args


def test_no_argument_error_loads_the_library(tmp_path):
    # With no Reader library anywhere, every function still reports its
    # argument error, not the load error: nothing touches the library first.
    code = (
        "import native_corvix_py_backend as m\n"
        "from test_arguments import bad_args\n"
        "from test_arguments import TEXT_PARAMS, REAL_PARAMS, SEQUENCE_PARAMS\n"
        "from signatures import NAMES, PARAMS\n"
        "wrong = []\n"
        "for name in NAMES:\n"
        "    try:\n"
        "        getattr(m, name)(*bad_args(name))\n"
        "        wrong.append((name, 'no error'))\n"
        "    except TypeError as e:\n"
        "        if not str(e).startswith('argument '): wrong.append((name, str(e)))\n"
        "    except BaseException as e:\n"
        "        wrong.append((name, repr(e)))\n"
        "    try:\n"
        "        if PARAMS[name][-1] not in TEXT_PARAMS | REAL_PARAMS | SEQUENCE_PARAMS:\n"
        "            getattr(m, name)(*bad_args(name)[:-1], 2**40)\n"
        "            wrong.append((name, 'no overflow'))\n"
        "    except OverflowError:\n"
        "        pass\n"
        "    except BaseException as e:\n"
        "        wrong.append((name, repr(e)))\n"
        "assert 'VelmarNativeReader' not in open('/proc/self/maps').read()\n"
        "print(wrong)\n"
    )
    result = run_python(code, cwd=tmp_path)
    assert result.stdout.strip() == "[]", result.stdout + result.stderr
