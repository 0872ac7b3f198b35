"""Argument fuzzing over all 187 functions.

Every call ends in a result of the function's kind or in one of the
exceptions that the argument rules allow: TypeError, OverflowError,
ValueError (UnicodeEncodeError for a lone surrogate is one), MemoryError for
an unreservable capacity, the exception that a hostile argument raises itself
(passed on unchanged by the conversion rules), and PanicException only where
a function has it: a negative capacity, or a filter with a NUL character.
With the full stand-in loaded and unscripted, no RuntimeError can arise. A
call that raises never reaches an entry point (the stand-in counts every
call); a call that succeeds reaches exactly one.

A catalogue of hostile values is run through every parameter of every
function; hypothesis then draws whole argument lists, keyword mixes and wrong
counts. CORVIX_STRESS=1 raises the example counts.
"""
import array
import math
import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import run_python, stub_path
from signatures import NAMES, PARAMS
from test_arguments import good_args
from families import FAMILIES

STRESS = os.environ.get("CORVIX_STRESS", "") not in ("", "0")
EXAMPLES = 5000 if STRESS else 200
FUZZ = settings(max_examples=EXAMPLES, deadline=None, derandomize=not STRESS,
                suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])


class Boom(Exception):
    """Raised by hostile arguments; must come out unchanged."""


# -- hostile objects ----------------------------------------------------------


class IndexRaises:
    def __index__(self):
        raise Boom("index")


class IndexTypeError:
    def __index__(self):
        raise TypeError("no index")


class IndexNonInt:
    def __index__(self):
        return "3"


class IndexHuge:
    def __index__(self):
        return 2**100


class IndexGood:
    def __index__(self):
        return 7


class FloatRaises:
    def __float__(self):
        raise Boom("float")


class FloatNonFloat:
    def __float__(self):
        return 5


class FloatGood:
    def __float__(self):
        return 2.5


class LenRaises(list):
    def __len__(self):
        raise Boom("len")


class LenHuge(list):
    def __len__(self):
        return 10**9


class LenNegative(list):
    def __len__(self):
        return -1


class LenOverflow(list):
    def __len__(self):
        return 2**70


class IterRaises(list):
    def __iter__(self):
        raise Boom("iter")


class IterTypeError(list):
    def __iter__(self):
        raise TypeError("no iter")


class IterStops(list):
    def __iter__(self):
        yield 1
        raise Boom("mid-iteration")


class GetItemOnly:
    """Old sequence protocol: iterated through __getitem__ until IndexError."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return i + 1


class Shrinking(list):
    """Loses its tail while it is iterated."""

    def __iter__(self):
        for i in range(10**6):
            if i >= len(self):
                return
            item = self[i]
            if len(self) > 1:
                self.pop()
            yield item


class GrowsWhileIterated:
    """Its items append to the list that holds them, a bounded number of times."""

    def __init__(self, owner):
        self.owner = owner

    def __index__(self):
        if len(self.owner) < 50:
            self.owner.append(GrowsWhileIterated(self.owner))
        return 1

    def __float__(self):
        return float(self.__index__())


def growing_list():
    owner = []
    owner.append(GrowsWhileIterated(owner))
    return owner


class StrSubclass(str):
    pass


SCALARS = [
    0, 1, -1, 2**31 - 1, -(2**31), 2**31, -(2**31) - 1, 2**63, -(2**63) - 1, 10**100, True, False,
    0.0, -0.0, 1.5, math.nan, math.inf, -math.inf, 1e308, "", "3", "a\0b", "\ud800", StrSubclass("x"), b"", b"ab",
    None, IndexRaises(), IndexTypeError(), IndexNonInt(), IndexHuge(), IndexGood(), FloatRaises(), FloatNonFloat(),
    FloatGood(), object(), {}, set(), complex(1, 2),
]


def sequences():
    """Fresh sequence-like values (some are mutated when used)."""
    return [
        [], [1, 2], (1.5, 2.5), range(3), b"\x01\x02", bytearray(b"\x03"), array.array("d", [1.0, 2.0]),
        [1, "x"], [1, 2**40], [math.nan, math.inf], [IndexRaises()], [FloatRaises()], [IndexGood(), FloatGood()],
        LenRaises([1, 2]), LenHuge([1, 2]), LenNegative([1]), LenOverflow([1]), IterRaises([1]), IterTypeError([1]),
        IterStops([1, 2]), GetItemOnly(), Shrinking([1, 2, 3, 4, 5]), growing_list(), "12", {1: 2}, {1, 2},
        (i for i in range(2)), 5, None,
    ]


# -- the oracle ---------------------------------------------------------------

ALLOWED = (TypeError, OverflowError, ValueError, MemoryError, Boom)
RESULT_TYPES = {"scalar": (int, float), "flag": (bool,), "none": (type(None),), "open": (int,),
                "set_path": (type(None),), "text": (str,), "field_list": (list,), "user_text": (list,),
                "slots": (list,), "counted": (str, type(None)), "dependent_array": (list, type(None)),
                "caller_sized": (tuple, list), "stats": (list,)}


def check_call(corvix, stub, name, args, kwargs=None):
    """Calls and checks one combination; returns the outcome's type."""
    kwargs = kwargs or {}
    record = FAMILIES[name]
    before = stub.total_calls()
    try:
        result = getattr(corvix, name)(*args, **kwargs)
    except corvix.PanicException as error:
        assert stub.total_calls() == before, f"{name}: entry point called before the fault"
        message = str(error)
        assert (record.kind == "caller_sized" and message == "capacity overflow") or (
            name == "get_chromatogram" and "NUL" in message
        ), f"{name}{args!r} {kwargs!r}: unexpected PanicException {message!r}"
        return type(error)
    except ALLOWED as error:
        assert stub.total_calls() == before, f"{name}{args!r} {kwargs!r}: {error!r} after an entry-point call"
        return type(error)
    except BaseException as error:  # noqa: B036 - anything else is a defect
        pytest.fail(f"{name}{args!r} {kwargs!r}: unexpected {error!r}")
    expected_calls = 0 if name == "set_dylib_path" else 1
    assert stub.total_calls() == before + expected_calls
    assert isinstance(result, RESULT_TYPES[record.kind]), (name, result)
    return None


# -- the catalogue: every hostile value in every position ---------------------


@pytest.mark.parametrize("name", NAMES)
def test_catalogue_in_every_position(corvix, stub, name):
    outcomes = set()
    for position in range(len(PARAMS[name])):
        for value in SCALARS + sequences():
            args = good_args(name)
            args[position] = value
            if name == "set_dylib_path" and isinstance(value, str):
                continue  # a loaded library ignores the path: nothing to fuzz
            if position == len(PARAMS[name]) - 1 and FAMILIES[name].kind == "caller_sized" and value == 2**31 - 1:
                continue  # the largest capacity has test_huge_capacity of its own
            outcomes.add(check_call(corvix, stub, name, args))
    # Every function both refuses some values and accepts the good ones.
    assert outcomes - {None}
    assert check_call(corvix, stub, name, good_args(name)) is None


# -- hypothesis ---------------------------------------------------------------

numbers = st.one_of(
    st.integers(),
    st.integers(min_value=-(2**31) - 2, max_value=2**31 + 1),
    st.sampled_from([2**31 - 1, -(2**31), 2**31, -(2**31) - 1, 2**63, -(2**64)]),
    st.booleans(),
    st.floats(),
)
texts = st.text(st.one_of(st.characters(), st.sampled_from(["\0", "\ud800", "\udfff", "|"])), max_size=12)
anything = st.one_of(
    numbers,
    texts,
    texts.map(StrSubclass),
    st.binary(max_size=8),
    st.none(),
    st.sampled_from(range(len(SCALARS))).map(lambda i: SCALARS[i]),
    st.sampled_from(range(len(sequences()))).map(lambda i: sequences()[i]),
    st.lists(st.one_of(numbers, st.sampled_from([IndexRaises(), FloatGood(), IndexGood(), "x", None])), max_size=6),
)


def small_capacity(name, args):
    """Keeps caller-chosen capacities modest where the value is a plain int:
    the module reserves what it is asked for, and the fuzz is about
    conversion, not about the machine's memory (huge capacities are tried by
    the catalogue and by test_huge_capacity)."""
    record = FAMILIES[name]
    if record.kind == "caller_sized":
        last = args[-1]
        if type(last) is int and last > 4096:
            args[-1] = last % 4096
    return args


@FUZZ
@given(data=st.data(), name=st.sampled_from(NAMES))
def test_random_arguments(corvix, stub, data, name):
    arity = len(PARAMS[name])
    args = data.draw(st.lists(anything, min_size=arity, max_size=arity))
    if name == "set_dylib_path" and isinstance(args[0], str):
        args[0] = 5
    check_call(corvix, stub, name, small_capacity(name, args))


@FUZZ
@given(data=st.data(), name=st.sampled_from(NAMES))
def test_random_numbers(corvix, stub, data, name):
    # Numbers only, so that more calls get through conversion to the library.
    args = good_args(name)
    for i, value in enumerate(args):
        if isinstance(value, (int, float)):
            args[i] = data.draw(numbers)
    check_call(corvix, stub, name, small_capacity(name, args))


@FUZZ
@given(data=st.data(), name=st.sampled_from(NAMES))
def test_random_keywords_and_counts(corvix, stub, data, name):
    params = PARAMS[name]
    values = good_args(name)
    npos = data.draw(st.integers(min_value=0, max_value=len(params) + 2))
    args = (values + [1, 2])[:npos]
    keywords = data.draw(st.lists(st.sampled_from(params + ["", "handle ", "HANDLE", "x\0y", "\ud800"]),
                                  max_size=len(params) + 2))
    kwargs = {k: values[params.index(k)] if k in params else 1 for k in keywords}
    error = check_call(corvix, stub, name, args, kwargs)
    filled = set(params[:npos]) | set(kwargs)
    well_formed = npos <= len(params) and set(kwargs) <= set(params) and not set(params[:npos]) & set(kwargs)
    if well_formed and filled == set(params):
        assert error is None, (args, kwargs)
    else:
        assert error is TypeError, (args, kwargs)


@FUZZ
@given(data=st.data(), name=st.sampled_from(["get_chromatogram", "get_averaged_spectrum"]))
def test_random_sequences(corvix, stub, data, name):
    args = good_args(name)
    for i, param in enumerate(PARAMS[name]):
        if param in ("mass_ranges_start", "mass_ranges_end", "scan_numbers"):
            args[i] = data.draw(st.one_of(
                st.lists(st.one_of(numbers, st.sampled_from([IndexGood(), FloatGood(), FloatRaises()])), max_size=8),
                st.tuples(numbers, numbers),
                st.sampled_from(range(len(sequences()))).map(lambda k: sequences()[k]),
            ))
    check_call(corvix, stub, name, args)


HUGE = r"""
import native_corvix_py_backend as m
from test_arguments import good_args
from families import FAMILIES
from signatures import NAMES
m.set_dylib_path(FULL)
outcomes = {}
for name in sorted(n for n in NAMES if FAMILIES[n].kind == "caller_sized"):
    args = good_args(name)
    args[-1] = 2**31 - 1
    try:
        result = getattr(m, name)(*args)
    except MemoryError:
        outcomes[name] = "MemoryError"
        continue
    first = result if name == "get_ms2_filter_masses" else result[0]
    outcomes[name] = len(first)
print(repr(outcomes))
"""


def test_huge_capacity(tmp_path):
    # The largest capacity the integer rule admits: reserved (lazily, by the
    # system) or refused with MemoryError, never a crash; the lists hold what
    # the entry point gave. Under the sanitizer, whose allocator would make
    # every such reservation slow, allocations above 1 GiB are refused so
    # that the MemoryError road is the one taken.
    env = {}
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        env["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":max_allocation_size_mb=1024"
    result = run_python(HUGE.replace("FULL", repr(str(stub_path("full")))), cwd=tmp_path, env=env)
    assert result.returncode == 0, result.stderr[-3000:]
    outcomes = eval(result.stdout.strip().splitlines()[-1])
    natural = {"get_spectrum": 5, "get_centroid_stream": 3, "get_averaged_spectrum": 5, "get_chromatogram": 4,
               "get_ms2_filter_masses": 2}
    for name, outcome in outcomes.items():
        assert outcome in ("MemoryError", natural[name]), (name, outcome)
    assert len(outcomes) == 5


# -- no library at all --------------------------------------------------------

NO_LIBRARY = r"""
import native_corvix_py_backend as m
from signatures import NAMES, PARAMS
from test_arguments import good_args
from test_reliability_fuzz import SCALARS, sequences, ALLOWED, Boom
LOAD = "Dylib not found and VELMAR_NATIVE_LIB not set."
wrong, loads, refusals = [], 0, 0
for name in NAMES:
    for position in range(len(PARAMS[name])):
        for value in SCALARS + sequences():
            args = good_args(name)
            args[position] = value
            try:
                getattr(m, name)(*args)
                wrong.append((name, position, repr(value), "returned"))
            except RuntimeError as error:
                if str(error) == LOAD or (name == "set_dylib_path" and str(error).startswith("Dylib not found at: ")):
                    loads += 1
                else:
                    wrong.append((name, position, repr(value), repr(error)))
            except ALLOWED:
                refusals += 1
            except BaseException as error:
                wrong.append((name, position, repr(value), repr(error)))
assert "VelmarNativeReader" not in open("/proc/self/maps").read()
print(repr((wrong, loads, refusals)))
"""


def test_catalogue_without_any_library(tmp_path):
    # Conversion comes first: a bad argument is refused before the library is
    # searched for; only calls whose arguments convert get the load error.
    result = run_python(NO_LIBRARY, cwd=tmp_path)
    assert result.returncode == 0, result.stderr[-3000:]
    wrong, loads, refusals = eval(result.stdout.strip().splitlines()[-1])
    assert wrong == []
    assert loads > 0 and refusals > 0
