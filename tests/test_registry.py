"""The module object and its function table."""
import inspect
import types

import pytest

from conftest import run_python
from signatures import NAMES, PARAMS, SIGNATURES

SCAN_MODE_DOC = "Low-level NativeAOT bridge for Velmar Corvix RAW files."


def test_all_lists_the_functions_in_registration_order(corvix):
    assert corvix.__all__ == NAMES
    assert corvix.__doc__ == ""
    assert corvix.__name__ == "native_corvix_py_backend"


@pytest.mark.parametrize("signature", SIGNATURES)
def test_function_objects(corvix, signature):
    name = signature.partition("(")[0]
    function = getattr(corvix, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__self__ is corvix
    assert function.__module__ == "native_corvix_py_backend"
    assert function.__name__ == name
    assert function.__text_signature__ == signature[len(name):]
    assert function.__doc__ == (SCAN_MODE_DOC if name == "get_scan_filter_scan_mode" else None)
    parameters = inspect.signature(function).parameters
    assert list(parameters) == PARAMS[name]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in parameters.values())


def test_panic_exception_derives_from_base_exception(corvix):
    panic = corvix.PanicException
    assert panic.__mro__[1:] == (BaseException, object)
    assert panic.__module__ == "native_corvix_py_backend" and panic.__name__ == "PanicException"
    assert corvix.PanicException is panic
    with pytest.raises(AttributeError, match="has no attribute 'no_such_name'"):
        corvix.no_such_name


def test_second_initialisation_returns_the_same_module():
    result = run_python(
        "import sys, importlib, native_corvix_py_backend as a\n"
        "del sys.modules['native_corvix_py_backend']\n"
        "b = importlib.import_module('native_corvix_py_backend')\n"
        "assert a is b and b.__all__ is a.__all__ and len(b.__all__) == 187, (a, b)\n"
        "print('same')\n"
    )
    assert result.stdout.strip() == "same", result.stderr


def test_import_loads_no_reader_library(tmp_path):
    # Nothing to load anywhere: the import must still succeed, and /proc/self/maps
    # must not show a Reader library.
    result = run_python(
        "import native_corvix_py_backend as m\n"
        "maps = open('/proc/self/maps').read()\n"
        "assert 'VelmarNativeReader' not in maps\n"
        "print(len(m.__all__))\n",
        cwd=tmp_path,
    )
    assert result.stdout.strip() == "187", result.stderr


# ---------------------------------------------------------------------------
# The module's __getattr__ with any name and any state of the namespace. A
# crash would take the interpreter down, so each run has its own.

GETATTR = r"""
import native_corvix_py_backend as m
getattr_ = m.__getattr__  # kept: one state below empties the namespace

def outcome(step):
    try:
        return 'ok ' + repr(step())
    except BaseException as error:
        return type(error).__name__ + ': ' + str(error)

class Name(str):
    pass

def report(steps):
    for step in steps:
        print(ascii(outcome(step)))

report([
    lambda: getattr_(b'x'),
    lambda: getattr_(5),
    lambda: getattr_(None),
    lambda: getattr_('foo'),
    lambda: getattr_(Name('foo')),
    lambda: getattr_('\udcff'),
    lambda: getattr_('PanicException') is m.PanicException,
    lambda: hasattr(m, 'foo'),
    lambda: m.foo,
])
STATE
report([lambda: getattr_('foo'), lambda: getattr_(b'x'), lambda: getattr_('PanicException').__name__])
if hasattr(m, '__getattr__'):
    report([lambda: hasattr(m, 'foo'), lambda: m.foo])
"""

MISSING = "AttributeError: module 'native_corvix_py_backend' has no attribute "
INTACT = [
    "TypeError: attribute name must be string, not 'bytes'",
    "TypeError: attribute name must be string, not 'int'",
    "TypeError: attribute name must be string, not 'NoneType'",
    MISSING + "'foo'",
    MISSING + "'foo'",
    MISSING + "'\udcff'",
    "ok True",
    "ok False",
    MISSING + "'foo'",
]


@pytest.mark.parametrize(
    "state, missing",
    [
        ("pass", "module 'native_corvix_py_backend' has no attribute 'foo'"),
        ("del m.__name__", "module has no attribute 'foo'"),
        ("m.__name__ = 5", "module has no attribute 'foo'"),
        ("m.__name__ = b'bytes'", "module has no attribute 'foo'"),
        ("m.__name__ = 'renamed'", "module 'renamed' has no attribute 'foo'"),
        ("m.__dict__.clear()", "module has no attribute 'foo'"),
    ],
)
def test_module_getattr_never_crashes(state, missing):
    result = run_python(GETATTR.replace("STATE", state))
    assert result.returncode == 0, result.stdout + result.stderr
    lines = [eval(line) for line in result.stdout.splitlines()]
    assert lines[:9] == INTACT
    expected = [f"AttributeError: {missing}", "TypeError: attribute name must be string, not 'bytes'",
                "ok 'PanicException'"]
    if state != "m.__dict__.clear()":
        expected += ["ok False", f"AttributeError: {missing}"]
    assert lines[9:] == expected


# ---------------------------------------------------------------------------
# Failures while the module is created: the import fails with the
# interpreter's own error, leaves nothing behind and can be tried again.
# Allocations are made to fail with _testcapi.set_nomemory, in fresh
# interpreters. The export is called directly (as the import does), so that
# the allocations of the creation are failed one position after the other,
# whatever the import machinery around it allocates in this version.

CREATION = r"""
import _testcapi, ctypes, importlib.util, sys
origin = importlib.util.find_spec('native_corvix_py_backend').origin
init = ctypes.PyDLL(origin).PyInit_native_corvix_py_backend
init.restype = ctypes.py_object
init.argtypes = []
remove = _testcapi.remove_mem_hooks
failures = []
for start in range(FIRST, 100000):
    try:
        try:
            # Allocations start..start+WINDOW-1 fail: one failed allocation,
            # or every allocation from there on for the rest of the creation.
            _testcapi.set_nomemory(start, start + WINDOW)
            created = init()
        finally:
            remove()
    except BaseException as error:
        failures.append(type(error).__name__ + ': ' + str(error))
        continue
    break
import native_corvix_py_backend as m
print(repr((start, sorted(set(failures)), len(failures),
            m is created and m.__all__ == NAMES and m.get_num_scans.__self__ is m)))
"""


@pytest.mark.parametrize("window", [1, 50, 100000])
def test_creation_failure_is_the_interpreters_error_and_can_be_retried(window):
    if not hasattr(pytest.importorskip("_testcapi"), "set_nomemory"):
        pytest.skip("this interpreter's _testcapi cannot make allocations fail")
    # The interpreter swallows the failure of a few allocations (interning,
    # caches); the creation then succeeds at that position and the next
    # process goes on from the position after it.
    first, failed = 0, 0
    while failed < 2 * len(NAMES):
        code = CREATION.replace("FIRST", str(first)).replace("WINDOW", str(window)).replace("NAMES", repr(NAMES))
        result = run_python(code)
        assert result.returncode == 0, (first, result.stdout + result.stderr[-3000:])
        last, kinds, count, usable = eval(result.stdout.strip().splitlines()[-1])
        assert kinds in ([], ["MemoryError: "]), (first, kinds)
        assert usable, first
        assert "panicked" not in result.stderr, result.stderr[-3000:]
        first, failed = last + 1, failed + count


def test_import_after_failed_imports():
    # Through the import statement, as the user meets it: single failed
    # allocations from early in the import until one import succeeds.
    pytest.importorskip("_testcapi")
    code = (
        "import _testcapi, sys\n"
        "kinds = set()\n"
        "for start in range(20, 100000):\n"
        "    _testcapi.set_nomemory(start, start + 1)\n"
        "    try:\n"
        "        import native_corvix_py_backend as m\n"
        "    except BaseException as error:\n"
        "        _testcapi.remove_mem_hooks()\n"
        "        kinds.add(type(error).__name__)\n"
        "        sys.modules.pop('native_corvix_py_backend', None)\n"
        "        continue\n"
        "    _testcapi.remove_mem_hooks()\n"
        "    break\n"
        "print(sorted(kinds), len(m.__all__), m.get_num_scans.__self__ is m)\n"
    )
    result = run_python(code)
    assert result.returncode == 0, result.stdout + result.stderr[-3000:]
    assert result.stdout.split("\n")[0] in ("['MemoryError'] 187 True", "[] 187 True")
    assert "panicked" not in result.stderr
