import os
import pathlib
import subprocess
import sys
import sysconfig

import pytest

BUILD_DIR = pathlib.Path(os.environ["CORVIX_BUILD_DIR"]) if os.environ.get("CORVIX_BUILD_DIR") else None
LIB_NAME = "VelmarNativeReader.dll"


def stub_path(variant):
    """Path of a stand-in Reader library variant (full, missing, empty) or fixture."""
    if BUILD_DIR is None:
        pytest.skip("CORVIX_BUILD_DIR is not set: the stand-in Reader library is not built")
    return BUILD_DIR / "reader_stub" / variant / LIB_NAME


@pytest.fixture(scope="session")
def corvix():
    """The module, with the full stand-in Reader library loaded in this process."""
    import native_corvix_py_backend as module

    module.set_dylib_path(str(stub_path("full")))
    return module


@pytest.fixture
def stub(corvix):
    """Control of the stand-in Reader library the module loaded; reset around each test."""
    from readerstub import ReaderStub

    control = ReaderStub(str(stub_path("full")))
    control.reset()
    yield control
    control.reset()


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def require_unless_free_threaded(name):
    """Imports `name`; on a free-threaded interpreter, where some packages have
    no wheels (their requirement lines are marked "# not on free-threaded"),
    skips the test when it is missing. Everywhere else a missing package fails."""
    if FREE_THREADED:
        return pytest.importorskip(name, reason=f"{name} has no wheels for a free-threaded interpreter")
    import importlib

    return importlib.import_module(name)


def module_dir():
    import native_corvix_py_backend as module

    return str(pathlib.Path(module.__file__).parent)


def run_python(code, cwd=None, env=None):
    """Runs `code` in a fresh interpreter (the Reader library is loaded once per
    process, so every loading scenario needs its own). VELMAR_NATIVE_LIB is
    removed unless `env` sets it; a variable that `env` maps to None is removed."""
    environment = {k: v for k, v in os.environ.items() if k != "VELMAR_NATIVE_LIB"}
    paths = [module_dir(), str(pathlib.Path(__file__).parent)]
    if environment.get("PYTHONPATH"):
        paths.append(environment["PYTHONPATH"])
    environment["PYTHONPATH"] = os.pathsep.join(paths)
    for name, value in (env or {}).items():
        if value is None:
            environment.pop(name, None)
        else:
            environment[name] = value
    return subprocess.run(
        [sys.executable, "-c", code], cwd=cwd, env=environment, capture_output=True, text=True, timeout=300
    )


def outcomes(calls, cwd=None, variant=None, **env):
    """Runs each call (Python source using `m`) in one fresh interpreter and
    returns one line per call: 'ok: <repr>' or '<exception type>: <message>'.
    `variant` names a stand-in variant loaded with set_dylib_path first; otherwise the
    library is found as `env` and `cwd` say."""
    code = "import native_corvix_py_backend as m\n"
    if variant is not None:
        code += f"m.set_dylib_path({str(stub_path(variant))!r})\n"
    code += (
        "for call in " + repr(list(calls)) + ":\n"
        "    try:\n"
        "        print('ok: ' + repr(eval(call)))\n"
        "    except BaseException as e:\n"
        "        print(type(e).__name__ + ': ' + str(e))\n"
    )
    result = run_python(code, cwd=cwd, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout.splitlines()
