"""Finding and loading the Reader library. The library is loaded once per
process, so every scenario runs in a fresh interpreter."""
import os
import shutil
import sysconfig

import pytest

from conftest import LIB_NAME, run_python, stub_path

NOT_FOUND = "Dylib not found and VELMAR_NATIVE_LIB not set."


def run(code, cwd, **env):
    result = run_python("import native_corvix_py_backend as m\n" + code, cwd=cwd, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout.splitlines()


def outcome_snippet(call):
    return (
        f"def outcome():\n"
        f"    try:\n"
        f"        return 'ok ' + repr({call})\n"
        f"    except RuntimeError as e:\n"
        f"        return 'RuntimeError ' + str(e)\n"
    )


def test_not_found_until_the_file_appears(tmp_path):
    full = stub_path("full")
    lines = run(
        outcome_snippet("m.get_num_scans(0)")
        + "print(outcome()); print(outcome())\n"
        + f"import shutil; shutil.copy({str(full)!r}, {LIB_NAME!r})\n"
        + "print(outcome())\n",
        tmp_path,
    )
    assert lines[:2] == [f"RuntimeError {NOT_FOUND}"] * 2
    assert lines[2].startswith("ok ")


def test_environment_path_that_names_nothing_is_ignored(tmp_path):
    shutil.copy(stub_path("full"), tmp_path / LIB_NAME)
    lines = run(outcome_snippet("m.get_revision(0)") + "print(outcome())\n", tmp_path,
                VELMAR_NATIVE_LIB=str(tmp_path / "nothing" / LIB_NAME))
    assert lines[0].startswith("ok ")


def test_environment_path_that_is_not_utf8_is_ignored(tmp_path):
    lines = run(outcome_snippet("m.get_revision(0)") + "print(outcome())\n", tmp_path,
                VELMAR_NATIVE_LIB=str(stub_path("full")).encode().decode() + "\udcff")
    assert lines == [f"RuntimeError {NOT_FOUND}"]


def test_environment_path_that_fails_to_load_ends_the_search(tmp_path):
    shutil.copy(stub_path("full"), tmp_path / LIB_NAME)
    bad = str(stub_path("not_a_library"))
    lines = run(outcome_snippet("m.get_revision(0)") + "print(outcome())\n", tmp_path, VELMAR_NATIVE_LIB=bad)
    assert lines[0].startswith(f"RuntimeError Failed to load override dylib {bad}: dlopen failed: ")


def test_environment_path_is_used(tmp_path):
    lines = run(outcome_snippet("m.get_revision(0)") + "print(outcome())\n", tmp_path,
                VELMAR_NATIVE_LIB=str(stub_path("missing")))
    assert lines[0].startswith("RuntimeError get function get_revision: dlsym failed")


def test_directory_at_the_candidate_path_counts_as_existing(tmp_path):
    (tmp_path / LIB_NAME).mkdir()
    lines = run(outcome_snippet("m.get_revision(0)") + "print(outcome())\n", tmp_path)
    assert lines[0].startswith(f"RuntimeError Failed to load dylib {LIB_NAME}: dlopen failed: ")


def test_bare_names_load_the_file_in_the_current_directory(tmp_path):
    # A library of the same name on the loader's search path must not be
    # picked instead of the file that passed the existence test.
    shutil.copy(stub_path("full"), tmp_path / LIB_NAME)
    decoy = str(stub_path("missing").parent)
    for code, env in [
        ("", {}),
        ("", {"VELMAR_NATIVE_LIB": LIB_NAME}),
        (f"m.set_dylib_path({LIB_NAME!r})\n", {}),
    ]:
        lines = run(code + outcome_snippet("m.get_revision(0)") + "print(outcome())\n", tmp_path,
                    LD_LIBRARY_PATH=decoy, **env)
        assert lines[0].startswith("ok "), (code, env, lines)


def test_bare_name_failure_shows_the_path_as_written(tmp_path):
    (tmp_path / "broken.dll").write_text("not a library")
    lines = run(outcome_snippet("m.set_dylib_path('broken.dll')") + "print(outcome())\n"
                + outcome_snippet("m.get_revision(0)").replace("outcome", "other") + "print(other())\n",
                tmp_path, VELMAR_NATIVE_LIB="broken.dll")
    assert lines[0].startswith("RuntimeError Failed to load dylib broken.dll: dlopen failed: ")
    assert lines[1].startswith("RuntimeError Failed to load override dylib broken.dll: dlopen failed: ")


def test_set_dylib_path(tmp_path):
    full, missing = str(stub_path("full")), str(stub_path("missing"))
    lines = run(
        outcome_snippet("m.set_dylib_path('missing.dll')") + "print(outcome())\n"
        + f"print(repr(m.set_dylib_path({full!r})))\n"
        + "print(m.get_revision(0) is not None)\n"
        + "print(repr(m.set_dylib_path('missing.dll')))\n"
        + f"print(repr(m.set_dylib_path({missing!r})))\n"
        + "print(m.get_revision(0) is not None)\n",
        tmp_path,
        VELMAR_NATIVE_LIB=missing,
    )
    assert lines == ["RuntimeError Dylib not found at: missing.dll", "None", "True", "None", "None", "True"]


def test_set_dylib_path_failure_leaves_nothing_behind(tmp_path):
    bad = str(stub_path("not_a_library"))
    full = str(stub_path("full"))
    lines = run(
        outcome_snippet(f"m.set_dylib_path({bad!r})") + "print(outcome())\n"
        + outcome_snippet("m.get_revision(0)").replace("outcome", "later") + "print(later())\n"
        + f"m.set_dylib_path({full!r}); print(m.get_revision(0) is not None)\n",
        tmp_path,
    )
    assert lines[0].startswith(f"RuntimeError Failed to load dylib {bad}: dlopen failed: ")
    assert lines[1] == f"RuntimeError {NOT_FOUND}"
    assert lines[2] == "True"


def test_loaded_library_outlives_file_and_environment(tmp_path):
    shutil.copy(stub_path("full"), tmp_path / LIB_NAME)
    lines = run(
        "a = m.get_revision(0)\n"
        f"import os; os.remove({LIB_NAME!r}); os.environ['VELMAR_NATIVE_LIB'] = {str(stub_path('missing'))!r}\n"
        "print(m.get_revision(0) == a)\n",
        tmp_path,
    )
    assert lines == ["True"]


def test_missing_entry_point_fails_only_that_function(tmp_path):
    lines = run(
        outcome_snippet("m.get_revision(0)") + "print(outcome())\n"
        + "print(type(m.get_num_scans(0)).__name__)\n",
        tmp_path,
        VELMAR_NATIVE_LIB=str(stub_path("missing")),
    )
    assert lines[0].startswith("RuntimeError get function get_revision: dlsym failed: ")
    assert lines[1] == "int"


def test_every_function_reports_its_lookup_failure(tmp_path):
    # The empty variant exports no entry point: each function must name its own.
    code = (
        "from test_arguments import good_args\n"
        "from signatures import NAMES\n"
        "for name in NAMES:\n"
        "    if name == 'set_dylib_path': continue\n"
        "    try:\n"
        "        getattr(m, name)(*good_args(name))\n"
        "        print(name, 'no error')\n"
        "    except RuntimeError as e:\n"
        "        print(name, str(e))\n"
    )
    lines = run(code, tmp_path, VELMAR_NATIVE_LIB=str(stub_path("empty")))
    assert len(lines) == 186
    for line in lines:
        name, message = line.split(" ", 1)
        entry = "get_centroid_stream_full" if name == "get_centroid_stream" else name
        assert message.startswith(f"get function {entry}: dlsym failed: "), line


@pytest.mark.parametrize("raw", [b"\xed\xa0\x80", b"\xc0\xaf", b"\xf4\x90\x80\x80", b"\xff"],
                         ids=["surrogate", "overlong", "above-10ffff", "ff"])
def test_environment_path_with_ill_formed_utf8_is_ignored(tmp_path, raw):
    # The variable names a loadable copy of the stand-in, but its bytes are
    # not UTF-8: it must be ignored like an unset variable (and not loaded).
    directory = os.fsencode(tmp_path) + b"/lib" + raw
    os.mkdir(directory)
    shutil.copy(stub_path("full"), os.fsdecode(directory + b"/" + LIB_NAME.encode()))
    value = os.fsdecode(directory + b"/" + LIB_NAME.encode())
    lines = run(outcome_snippet("m.get_revision(0)") + "print(outcome())\n", tmp_path, VELMAR_NATIVE_LIB=value)
    assert lines == [f"RuntimeError {NOT_FOUND}"]
    # the same file through a well-formed name loads
    os.symlink(value, tmp_path / "good.dll")
    lines = run(outcome_snippet("m.get_revision(0)") + "print(outcome())\n", tmp_path,
                VELMAR_NATIVE_LIB=str(tmp_path / "good.dll"))
    assert lines == ["ok 66"]


def test_set_dylib_path_with_a_zero_byte(tmp_path):
    # Cut at the zero byte, the path names a loadable library: it must not be
    # taken, and the message must hold the whole path.
    full = str(stub_path("full"))
    for path in (full + "\0", full + "\0/x.dll", "\0" + full):
        lines = run(
            f"try:\n    m.set_dylib_path({path!r})\nexcept RuntimeError as e:\n    print(ascii(str(e)))\n"
            + outcome_snippet("m.get_revision(0)") + "print(outcome())\n",
            tmp_path,
        )
        assert lines == [ascii("Dylib not found at: " + path), f"RuntimeError {NOT_FOUND}"]


# ---------------------------------------------------------------------------
# Where the interpreter holds its lock, the variable is read from the process
# environment, as libc's getenv sees it: os.putenv and os.unsetenv count.
# Where it runs without its lock (the free-threaded build with PYTHON_GIL=0),
# it is read from the interpreter's os.environb, which is safe against writes
# on other threads but sees only what goes through os.environ.

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
LOCK_STATES = [
    pytest.param("on", {"PYTHON_GIL": None}, id="lock-as-declared"),
    pytest.param("on", {"PYTHON_GIL": "1"}, id="lock-forced-on",
                 marks=pytest.mark.skipif(not FREE_THREADED, reason="the lock cannot be switched here")),
    pytest.param("off", {"PYTHON_GIL": "0"}, id="lock-forced-off",
                 marks=pytest.mark.skipif(not FREE_THREADED, reason="the lock cannot be switched off here")),
]


@pytest.mark.parametrize("lock, env", LOCK_STATES)
def test_changes_behind_os_environ(tmp_path, lock, env):
    full, missing = str(stub_path("full")), str(stub_path("missing"))
    lines = run(
        "import os, sys\n"
        + "print(getattr(sys, '_is_gil_enabled', lambda: True)())\n"
        + outcome_snippet("m.get_revision(0)")
        # set through os.environ, then removed behind its back
        + f"os.environ['VELMAR_NATIVE_LIB'] = {full!r}; os.unsetenv('VELMAR_NATIVE_LIB'); print(outcome())\n"
        # set behind os.environ's back (the missing variant lacks get_revision)
        + f"os.putenv('VELMAR_NATIVE_LIB', {missing!r}); print(outcome())\n",
        tmp_path,
        **env,
    )
    assert lines[0] == str(lock == "on")
    if lock == "on":
        assert lines[1] == f"RuntimeError {NOT_FOUND}"
        assert lines[2].startswith("RuntimeError get function get_revision: dlsym failed")
    else:
        assert lines[1:] == ["ok 66", "ok 66"]


def test_no_python_code_runs_in_the_search_with_the_lock_on(tmp_path):
    # A replaced os.environb and a profile hook: with the lock on, the search
    # reads the process environment and calls back into nothing.
    lines = run(
        "import os, sys\n"
        "class Hostile(dict):\n"
        "    def __getitem__(self, key):\n"
        "        raise ValueError('consulted')\n"
        "os.environb = Hostile()\n"
        "calls = []\n"
        "sys.setprofile(lambda frame, event, arg: calls.append((event, frame.f_code.co_name)))\n"
        + outcome_snippet("m.get_revision(0)")
        + "result = outcome()\n"
        "sys.setprofile(None)\n"
        "print(result)\n"
        "print(sorted({name for event, name in calls if event == 'call'}))\n",
        tmp_path,
        PYTHON_GIL=None,
    )
    assert lines == [f"RuntimeError {NOT_FOUND}", "['outcome']"]


def test_variable_read_by_environ_changes_on_other_threads(tmp_path):
    # Four threads call into the module with no library findable while a
    # fifth sets and deletes environment variables (VELMAR_NATIVE_LIB among
    # them, always naming nothing) through os.environ. With the lock forced
    # off where the interpreter allows, libc's getenv crashed here; with the
    # lock on, getenv and the writes take turns.
    code = (
        "import os, threading\n"
        "stop = threading.Event()\n"
        "seen = set()\n"
        "def caller():\n"
        "    for _ in range(3000):\n"
        "        try:\n"
        "            m.get_revision(1)\n"
        "        except RuntimeError as e:\n"
        "            seen.add(str(e))\n"
        "def writer():\n"
        "    i = 0\n"
        "    while not stop.is_set():\n"
        "        i += 1\n"
        "        os.environ['CORVIX_SCRATCH_%d' % (i % 64)] = 'x' * (i % 200)\n"
        "        os.environ['VELMAR_NATIVE_LIB'] = os.path.join('nowhere', str(i), 'VelmarNativeReader.dll')\n"
        "        os.environ.pop('CORVIX_SCRATCH_%d' % ((i * 7) % 64), None)\n"
        "        if i % 3 == 0:\n"
        "            del os.environ['VELMAR_NATIVE_LIB']\n"
        "w = threading.Thread(target=writer)\n"
        "w.start()\n"
        "callers = [threading.Thread(target=caller) for _ in range(4)]\n"
        "for t in callers: t.start()\n"
        "for t in callers: t.join()\n"
        "stop.set(); w.join()\n"
        "print(sorted(seen))\n"
    )
    env = {"PYTHON_GIL": "0"} if sysconfig.get_config_var("Py_GIL_DISABLED") else {}
    lines = run(code, tmp_path, **env)
    assert lines == [repr([NOT_FOUND])]
