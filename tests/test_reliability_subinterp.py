"""Importing the module in a second interpreter is refused; the first goes on.

Each of the interpreter's own sub-interpreter helpers that this version has is
tried in a fresh process (a refused import leaves nothing behind, but a
crashed one would take the test run with it). Helpers that the version lacks
are skipped. A legacy sub-interpreter (one that shares the main interpreter's
lock) lets the module's own initialisation run and refuse; an isolated one
(the default of the 3.12+ helpers) is refused by the interpreter's import
machinery before that, since the module is single-phase. Both are ImportError.
A free-threaded interpreter checks every sub-interpreter, legacy ones too, so
there the interpreter's refusal comes first in every case.
"""
import importlib.util
import sys
import sysconfig

import pytest

from conftest import module_dir, run_python, stub_path

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

RUNNERS = {
    "_testcapi.run_in_subinterp": (
        "_testcapi",
        "import _testcapi\n_testcapi.run_in_subinterp(SUB)\n",
        True,  # legacy: the module's own refusal
    ),
    "_xxsubinterpreters": (
        "_xxsubinterpreters",
        "import _xxsubinterpreters as i\nx = i.create()\ni.run_string(x, SUB)\ni.destroy(x)\n",
        sys.version_info < (3, 12),
    ),
    "_interpreters": (
        "_interpreters",
        "import _interpreters as i\nx = i.create()\ni.exec(x, SUB)\ni.destroy(x)\n",
        False,
    ),
    "test.support.interpreters": (
        "test.support.interpreters",
        "from test.support import interpreters\nx = interpreters.create()\n"
        "(x.exec if hasattr(x, 'exec') else x.run)(SUB)\nx.close()\n",
        sys.version_info < (3, 12),
    ),
}

MAIN = r"""
import importlib, sys
import native_corvix_py_backend as m
m.set_dylib_path(FULL)
assert m.get_revision(1) == 66
SUB = '''
import sys
sys.path[:0] = PATHS
try:
    import native_corvix_py_backend
    outcome = "imported"
except ImportError as error:
    outcome = "ImportError: " + str(error)
except BaseException as error:
    outcome = "other: " + repr(error)
with open(OUTFILE, "w") as f:
    f.write(outcome)
'''.replace("PATHS", repr(PATHS)).replace("OUTFILE", repr(OUTFILE))
RUNNER
# The first interpreter keeps working, and initialising the module again
# here gives the same module object.
assert m.get_revision(1) == 66
assert m.get_file_name(1) == "Stand-in file.raw"
del sys.modules["native_corvix_py_backend"]
again = importlib.import_module("native_corvix_py_backend")
assert again is m, (again, m)
print(open(OUTFILE).read())
"""


@pytest.mark.parametrize("runner", sorted(RUNNERS))
def test_second_interpreter_is_refused(tmp_path, runner):
    module, code, legacy = RUNNERS[runner]
    try:
        available = importlib.util.find_spec(module) is not None
    except ModuleNotFoundError:
        available = False
    if not available:
        pytest.skip(f"{module} is not part of Python {sys.version_info[0]}.{sys.version_info[1]}")
    out = tmp_path / "outcome.txt"
    main = (
        MAIN.replace("RUNNER", code)
        .replace("FULL", repr(str(stub_path("full"))))
        .replace("PATHS", repr([module_dir()] + sys.path[:1]))
        .replace("OUTFILE", repr(str(out)))
    )
    result = run_python(main, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr[-3000:]
    outcome = result.stdout.strip().splitlines()[-1]
    assert outcome.startswith("ImportError: "), outcome
    own = (
        "ImportError: native_corvix_py_backend does not support sub-interpreters: it can only be "
        "initialised once per process, in the first interpreter that imports it"
    )
    interpreters = "ImportError: module native_corvix_py_backend does not support loading in subinterpreters"
    if legacy and not FREE_THREADED:
        assert outcome == own
    elif legacy:
        # the interpreter refuses first where it checks legacy sub-interpreters
        assert outcome in (interpreters, own), outcome
    else:
        assert "subinterpreters" in outcome or "sub-interpreters" in outcome, outcome
