"""Which Reader library corvix has the module load: the reader argument, the
mzML default, the one-library-per-process rule and mzml_reader_path. Each
case runs in a fresh interpreter, since a process keeps the first library it
loads."""
import os
import pathlib
import shutil
import sys

import pytest

from conftest import outcomes, run_python, stub_path


@pytest.fixture
def files(tmp_path):
    for name in ("a.raw", "b.mzML", "c.MZML.GZ"):
        (tmp_path / name).write_bytes(b"")
    return tmp_path


@pytest.fixture
def second_library(tmp_path):
    """A copy of the stand-in: the same code under another file, i.e. a different library."""
    copy = tmp_path / "other" / "VelmarNativeReader.dll"
    copy.parent.mkdir()
    shutil.copy(stub_path("full"), copy)
    return str(copy)


def run_case(code, cwd, **env):
    result = run_python("import corvix, native_corvix_py_backend as m\n" + code, cwd=cwd, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout.splitlines()


def test_the_reader_argument_loads_that_library_and_a_second_one_is_refused(files, second_library):
    stub = str(stub_path("full"))
    lines = run_case(f"""
run = corvix.open('a.raw', reader={stub!r})
print(corvix.loaded_reader() == {os.path.realpath(stub)!r}, len(run))
corvix.open('a.raw', reader={stub!r}).close()   # the same library again is fine
try:
    corvix.open('b.mzML', reader={second_library!r})
except corvix.ReaderConflictError as e:
    print('conflict', isinstance(e, RuntimeError), e.path)
    print(str(e))
print(corvix.open('b.mzML').handle is not None)   # no reader: the loaded one reads it
""", files)
    assert lines[0] == "True 100"
    assert lines[1] == "conflict True b.mzML"
    assert os.path.realpath(stub) in lines[2] and os.path.realpath(second_library) in lines[2]
    assert "keeps the first one it loads" in lines[2]
    assert lines[3] == "True"


def test_a_library_loaded_outside_corvix_is_recognised(files, second_library):
    stub = str(stub_path("full"))
    lines = run_case(f"""
m.set_dylib_path({stub!r})
corvix.open('a.raw', reader={stub!r}).close()
print('same ok')
try:
    corvix.open('a.raw', reader={second_library!r})
except corvix.ReaderConflictError as e:
    print('conflict:', e)
""", files)
    assert lines[0] == "same ok"
    # Confirmed once, the library is named in the refusal.
    assert lines[1].startswith(f"conflict: a.raw: this process already uses the Reader library {os.path.realpath(stub)}")


def test_an_unconfirmed_library_loaded_outside_corvix_refuses_another(files, second_library):
    lines = run_case(f"""
m.set_dylib_path({str(stub_path("full"))!r})
try:
    corvix.open('a.raw', reader={second_library!r})
except corvix.ReaderConflictError as e:
    print('conflict:', e)
""", files)
    assert lines[0].startswith("conflict: a.raw: this process already uses another Reader library (loaded before")


def test_mzml_files_default_to_the_mzml_reader(files, second_library):
    # The stand-in plays the mzML Reader library here; what matters is which file is loaded.
    lines = run_case("""
for name in ('b.mzML', 'c.MZML.GZ', 'a.raw'):
    with corvix.open(name) as run:
        print(name, corvix.loaded_reader(), len(run))
""", files, CORVIX_MZML_READER=second_library)
    real = os.path.realpath(second_library)
    assert lines == [f"b.mzML {real} 100", f"c.MZML.GZ {real} 100", f"a.raw {real} 100"]


def test_the_mzml_default_yields_to_a_loaded_library_and_to_the_variable(files, second_library):
    shutil.copy(stub_path("full"), files / "VelmarNativeReader.dll")
    lines = run_case("""
corvix.open('a.raw').close()            # the module's own search loads ./VelmarNativeReader.dll
with corvix.open('b.mzML') as run:      # so no mzML Reader library is asked for
    print(corvix.loaded_reader(), len(run))
""", files, CORVIX_MZML_READER=second_library)
    # corvix recognises what the module loaded: the only Reader library in the process.
    assert lines == [f"{os.path.realpath(files / 'VelmarNativeReader.dll')} 100"]
    (files / "VelmarNativeReader.dll").unlink()
    lines = run_case("""
with corvix.open('b.mzML') as run:
    print(corvix.loaded_reader(), len(run))
""", files, VELMAR_NATIVE_LIB=str(stub_path("full")), CORVIX_MZML_READER=second_library)
    assert lines == [f"{os.path.realpath(stub_path('full'))} 100"]


def test_missing_libraries_are_explained(files):
    import corvix
    from corvix import _library

    if (pathlib.Path(corvix.__file__).parent / "lib" / _library.mzml_library_name()).exists():
        pytest.skip("corvix is installed with its mzML Reader library, so none can be missing")
    lines = run_case("""
for call in ("corvix.open('a.raw')", "corvix.open('b.mzML')", "corvix.open('a.raw', reader='nowhere.so')",
             "corvix.mzml_reader_path()"):
    try:
        eval(call)
    except Exception as e:
        print(type(e).__name__ + ': ' + str(e))
""", files, CORVIX_MZML_READER="")
    assert lines[0].startswith("ReaderNotFoundError: a.raw: no Reader library found. Pass reader=PATH")
    assert "VELMAR_NATIVE_LIB" in lines[0] and "set_dylib_path" in lines[0] and "mzml_reader_path" in lines[0]
    assert lines[1].startswith("FileNotFoundError: the mzML Reader library is not installed")
    assert "CORVIX_MZML_READER" in lines[1]
    assert lines[2] == "FileNotFoundError: Reader library not found: nowhere.so"
    assert lines[3] == lines[1]


def test_mzml_reader_path_contract(tmp_path, monkeypatch):
    import corvix
    from corvix import _library

    library = tmp_path / "build" / "mzml_reader" / _library.mzml_library_name()
    monkeypatch.setenv("CORVIX_MZML_READER", str(library))
    with pytest.raises(FileNotFoundError, match="CORVIX_MZML_READER names .* no file there"):
        corvix.mzml_reader_path()
    library.parent.mkdir(parents=True)
    library.write_bytes(b"")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("CORVIX_MZML_READER", os.path.join("build", "mzml_reader", library.name))
    found = corvix.mzml_reader_path()
    assert found == str(library.resolve()) and os.path.isabs(found)
    # Installed layout: the library inside the package, under lib/.
    monkeypatch.delenv("CORVIX_MZML_READER")
    package = tmp_path / "site" / "corvix"
    shutil.copytree(os.path.dirname(corvix.__file__), package, ignore=shutil.ignore_patterns("__pycache__", "lib"))
    (package / "lib").mkdir()
    (package / "lib" / _library.mzml_library_name()).write_bytes(b"")
    result = run_python("import corvix; print(corvix.mzml_reader_path())",
                        env={"PYTHONPATH": os.pathsep.join([str(package.parent), os.path.dirname(sys.modules['native_corvix_py_backend'].__file__)]),
                             "CORVIX_MZML_READER": ""})
    assert result.stdout.strip() == str(package / "lib" / _library.mzml_library_name()), result.stderr
    names = {"linux": "libcorvix_mzml_reader.so", "darwin": "libcorvix_mzml_reader.dylib",
             "win32": "corvix_mzml_reader.dll"}
    assert _library.mzml_library_name() == names.get(sys.platform, "libcorvix_mzml_reader.so")


def test_load_failure_prefixes_are_the_modules_messages(files, stub, corvix):
    """corvix tells a library it cannot use from a failure status by the
    beginnings of the module's messages: each must match a message the
    module really gives, and a status failure must match none."""
    from corvix import _library
    from corvix.errors import ReaderError, ReaderNotFoundError

    bad = str(stub_path("not_a_library"))
    messages = outcomes(["m.get_num_scans(0)", "m.set_dylib_path('missing.dll')", f"m.set_dylib_path({bad!r})"],
                        cwd=files)
    messages += outcomes(["m.get_num_scans(0)"], cwd=files, VELMAR_NATIVE_LIB=bad)
    messages += outcomes(["m.get_revision(0)"], cwd=files, VELMAR_NATIVE_LIB=str(stub_path("missing")))
    assert all(line.startswith("RuntimeError: ") for line in messages), messages
    messages = [line.split(": ", 1)[1] for line in messages]
    kinds = [_library.load_failure(message) for message in messages]
    kind = _library.LoadFailure
    assert kinds == [kind.NOT_FOUND, kind.NOT_FOUND, kind.UNLOADABLE, kind.UNLOADABLE, kind.NO_ENTRY_POINT]
    # Every prefix corvix knows begins one of those messages (none is stale).
    for prefixes in _library.LOAD_FAILURE_PREFIXES.values():
        for prefix in prefixes:
            assert any(message.startswith(prefix) for message in messages), prefix
    stub.set_result("get_spectrum", -1)
    with pytest.raises(RuntimeError) as status:
        corvix.get_spectrum(0, 1, 10)
    assert _library.load_failure(str(status.value)) is None
    # What corvix makes of them: load failures stay errors, a status failure is an unknown answer.
    for message in messages:
        error = _library.reader_error(RuntimeError(message), "f.raw", 3)
        assert isinstance(error, ReaderNotFoundError) and error.path == "f.raw", message
        with pytest.raises(ReaderNotFoundError):
            _library.unless_failed(lambda: (_ for _ in ()).throw(error))
    failed = _library.reader_error(status.value, "f.raw", 3)
    assert type(failed) is ReaderError and failed.scan == 3 and failed.reason == "get_spectrum failed"
    assert _library.unless_failed(lambda: (_ for _ in ()).throw(failed)) is None


# Each case: code run before opening a.raw, then what corvix says of the module's library.
LOADED_CASES = {
    # The mzML Reader library is mapped by ctypes, but the module holds the stand-in.
    "mapped-by-ctypes-only": ("m.set_dylib_path(STUB); ctypes.CDLL(MZML)", "corvix.open('a.raw').close()",
                              "False None"),
    # The module holds it, loaded outside corvix: recognised as the only Reader library.
    "loaded-by-the-module": ("m.set_dylib_path(MZML)", "corvix.open('a.raw').close()", "True MZML"),
    # Loaded by ctypes before corvix asks for it: the module takes it, and it is the only one.
    "mapped-then-asked-for": ("ctypes.CDLL(MZML)", "corvix.open('b.mzML').close()", "True MZML"),
    # corvix loaded the stand-in; another library mapped later changes nothing.
    "corvix-loaded-another": ("corvix.open('a.raw', reader=STUB).close(); ctypes.CDLL(MZML)",
                              "corvix.open('a.raw').close()", "False STUB"),
}


@pytest.mark.parametrize("case", LOADED_CASES)
def test_mzml_conventions_follow_the_library_the_module_holds(files, second_library, case):
    before, opening, expected = LOADED_CASES[case]
    stub = os.path.realpath(stub_path("full"))
    lines = run_case(f"""
import ctypes
from corvix import _library
STUB, MZML = {stub!r}, {second_library!r}
{before}
{opening}
print(_library.mzml_reader_loaded(), corvix.loaded_reader())
""", files, CORVIX_MZML_READER=second_library)
    assert lines == [expected.replace("MZML", os.path.realpath(second_library)).replace("STUB", stub)]


def test_a_reader_that_cannot_be_told_from_another_is_refused(files, second_library):
    lines = run_case(f"""
import ctypes
m.set_dylib_path({str(stub_path("full"))!r})
ctypes.CDLL({second_library!r})
try:
    corvix.open('a.raw', reader={second_library!r})
except corvix.ReaderConflictError as e:
    print('conflict:', e)
""", files)
    assert lines[0].startswith("conflict: a.raw: several Reader libraries are loaded in this process")
    assert "cannot tell whether the module uses " + os.path.realpath(second_library) in lines[0]
