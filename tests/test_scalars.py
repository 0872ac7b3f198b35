"""Functions that return one number or flag, checked against the stand-in's table.

Covered: every entry point whose parameters are 32-bit integers or 64-bit
floats and whose result is one number (run-level values, scan filter, scan
event and scan lookup properties, log counts, the error-log retention time,
the handle flags, close_raw_file, select_instrument and the dependent-scan
counters). The expected kind of every argument and result is read from the
stand-in's signature table, never from the module's own table, so a row of
the module's table with the wrong kind fails here.
"""

import math
import os

import pytest

from families import names_of
from signatures import PARAMS

if not os.environ.get("CORVIX_BUILD_DIR"):
    pytest.skip("CORVIX_BUILD_DIR is not set", allow_module_level=True)

from conftest import stub_path  # noqa: E402
from readerstub import ReaderStub  # noqa: E402

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1

# The only functions whose int32 result is a truth value, and those whose
# result is ignored.
FLAGS = set(names_of("flag"))
NO_RESULT = set(names_of("none"))

SCALARS = [
    (name, sig)
    for name, sig in ReaderStub(stub_path("full")).entries()
    if sig[0] in "iqd" and set(sig[2:]) <= set("id")
]


def test_selection_holds_every_scalar_function():
    # 119 family functions, 5 log counts, the error-log retention time, 3
    # handle flags, close, select, is_centroid and 3 dependent-scan counters.
    names = {name for name, _ in SCALARS}
    assert len(names) == 134
    assert FLAGS | NO_RESULT <= names
    assert all(len(PARAMS[name]) == len(sig) - 2 for name, sig in SCALARS)


# Argument values: (given to Python, expected at the entry point). Both lists
# are cycled so that neighbouring parameters always get different values.
INT_ARGS = [(v, v) for v in (INT32_MAX, INT32_MIN, -1, 0x12345678, 0, 17)]
REAL_ARGS = [(12.5, 12.5), (-1e300, -1e300), (7, 7.0), (5e-324, 5e-324), (-0.0, -0.0)]


def same_float(a, b):
    if math.isnan(b):
        return math.isnan(a)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def argument_values(kinds, shift):
    pool = {"i": INT_ARGS, "d": REAL_ARGS}
    return [pool[kind][(k + shift) % len(pool[kind])] for k, kind in enumerate(kinds)]


@pytest.mark.parametrize("name, sig", SCALARS, ids=[n for n, _ in SCALARS])
def test_arguments_reach_the_entry_point_in_order(corvix, stub, name, sig):
    function, params, kinds = getattr(corvix, name), PARAMS[name], sig[2:]
    for shift in range(6):
        values = argument_values(kinds, shift)
        given = [v for v, _ in values]
        calls = stub.calls(name)
        if shift % 2:
            # by keyword, in an order other than the declaration order
            order = list(reversed(range(len(params))))
            order = order[shift % len(order):] + order[: shift % len(order)]
            function(**{params[k]: given[k] for k in order})
        else:
            function(*given)
        assert stub.calls(name) == calls + 1
        for k, (kind, (_, native)) in enumerate(zip(kinds, values)):
            if kind == "i":
                assert stub.last_int(name, k) == native, (k, given)
            else:
                recorded = stub.last_double(name, k)
                assert type(recorded) is float and same_float(recorded, native), (k, given, recorded)


NAN, INF = float("nan"), float("inf")
INT_RESULTS = [-1, INT32_MIN, INT32_MAX, 0, 1, 2, 256, 0x7F00]
LONG_RESULTS = [2**32, -1, 2**63 - 1, -(2**63), 2**31, INT32_MIN - 1, 0]
REAL_RESULTS = [NAN, INF, -INF, -0.0, 0.0, 1.5, -2.75e-300, 5e-324, 1.7976931348623157e308]


def result_cases(name, ret):
    """(scripted native result, expected Python result)."""
    if name in NO_RESULT:
        return [(v, None) for v in (-1, 0, 1, INT32_MIN)]
    if name in FLAGS:
        return [(v, v != 0) for v in INT_RESULTS]
    return [(v, v) for v in {"i": INT_RESULTS, "q": LONG_RESULTS, "d": REAL_RESULTS}[ret]]


@pytest.mark.parametrize("name, sig", SCALARS, ids=[n for n, _ in SCALARS])
def test_results_keep_value_and_kind(corvix, stub, name, sig):
    function = getattr(corvix, name)
    args = [1.0 if kind == "d" else 1 for kind in sig[2:]]
    for scripted, expected in result_cases(name, sig[0]):
        stub.set_result(name, scripted)
        got = function(*args)
        if expected is None or isinstance(expected, bool):
            assert got is expected, (scripted, got)
        elif isinstance(expected, int):
            assert type(got) is int and got == expected, (scripted, got)
        else:
            assert type(got) is float and same_float(got, expected), (scripted, got)
