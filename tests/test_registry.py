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
