#include "loader.h"

#include <atomic>
#include <string>

#include "panic.h"
#include "utf8.h"

namespace corvix {

namespace {

#ifndef _WIN32
// The search reads VELMAR_NATIVE_LIB anew on every call until a library
// loads. Where the interpreter holds its lock (every build with the lock, and
// the free-threaded build while the lock is on, which is the normal case once
// this module is imported) the variable is read from the process environment
// with libc's getenv: every Python thread that could change the environment
// (os.environ, os.putenv, os.unsetenv) needs the lock to do it, and this
// thread holds the lock for the whole search. Where the interpreter runs
// without its lock, getenv is not safe against a setenv or unsetenv running
// at the same moment on another thread, so the variable is read from the
// interpreter's own mapping, os.environb, which the interpreter makes safe
// to read while other threads write it. That mapping sees what goes through
// os.environ and nothing else: a change made with os.putenv, os.unsetenv or
// from native code is not seen there.

// True when the interpreter runs with its lock on. On the free-threaded
// build the lock can be switched on at run time, so its state is asked of
// the interpreter (sys._is_gil_enabled, a built-in: no Python code runs);
// when the answer cannot be had, the road that is safe without the lock is
// taken.
bool interpreter_lock_is_on() {
#if defined(Py_GIL_DISABLED)
    PyObject* name = PyUnicode_FromString("sys");
    if (name == nullptr) {
        PyErr_Clear();
        return false;
    }
    PyObject* sys = PyImport_GetModule(name);  // sys.modules only: no import machinery runs
    Py_DECREF(name);
    if (sys == nullptr) {
        PyErr_Clear();
        return false;
    }
    PyObject* probe = PyObject_GetAttrString(sys, "_is_gil_enabled");
    Py_DECREF(sys);
    if (probe == nullptr || !PyCFunction_Check(probe)) {
        Py_XDECREF(probe);
        PyErr_Clear();
        return false;
    }
    PyObject* answer = PyObject_CallNoArgs(probe);
    Py_DECREF(probe);
    if (answer == nullptr) {
        PyErr_Clear();
        return false;
    }
    bool on = answer == Py_True;
    Py_DECREF(answer);
    return on;
#else
    return true;
#endif
}

// os.environb, taken at the first search made without the lock and kept for
// the life of the process.
std::atomic<PyObject*> g_environment{nullptr};

// The mapping (borrowed: it is kept for good), or nullptr with the
// interpreter's error set. Threads that race here each fetch it; the first
// to store wins and the others drop theirs.
PyObject* environment_mapping() {
    PyObject* environment = g_environment.load(std::memory_order_acquire);
    if (environment != nullptr) return environment;
    PyObject* os = PyImport_ImportModule("os");
    if (os == nullptr) return nullptr;
    environment = PyObject_GetAttrString(os, "environb");
    Py_DECREF(os);
    if (environment == nullptr) return nullptr;
    PyObject* expected = nullptr;
    if (!g_environment.compare_exchange_strong(expected, environment, std::memory_order_acq_rel)) {
        Py_DECREF(environment);
        return expected;
    }
    return environment;
}

bool read_python_environment(const char* name, std::optional<std::string>& value) {
    value.reset();
    PyObject* environment = environment_mapping();
    if (environment == nullptr) return false;
    PyObject* key = PyBytes_FromString(name);
    if (key == nullptr) return false;
    PyObject* item = PyObject_GetItem(environment, key);
    Py_DECREF(key);
    if (item == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;  // the interpreter's error stands
        PyErr_Clear();
        return true;  // not set
    }
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    // A value that is not bytes, or not valid UTF-8, is ignored like an
    // unset variable.
    if (PyBytes_Check(item) && PyBytes_AsStringAndSize(item, &bytes, &size) == 0 &&
        valid_utf8(bytes, static_cast<std::size_t>(size))) {
        try {
            value.emplace(bytes, static_cast<std::size_t>(size));
        } catch (...) {
            Py_DECREF(item);
            throw;
        }
    }
    Py_DECREF(item);
    return true;
}

bool read_module_environment(const char* name, std::optional<std::string>& value) {
    if (interpreter_lock_is_on()) return search::read_platform_environment(name, value);
    return read_python_environment(name, value);
}

constexpr search::SystemCalls kModuleCalls = {
    read_module_environment,
    platform::entry_exists,
    platform::load_library,
    platform::release_library,
};
#else
// GetEnvironmentVariableW reads the process environment under the system's
// own lock, which SetEnvironmentVariableW (and so os.environ) takes as well.
constexpr const search::SystemCalls& kModuleCalls = search::kPlatformCalls;
#endif

// RuntimeError with a message that may hold any bytes of a path or of the
// loader's reason text (embedded zero bytes included).
void raise_runtime(const std::string& message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return;
    PyErr_SetObject(PyExc_RuntimeError, text);
    Py_DECREF(text);
}

}  // namespace

namespace detail {
constinit search::LibrarySlot g_library{kModuleCalls};
}

namespace detail {

platform::LibraryHandle obtain_library_slow() {
    search::Outcome found = g_library.obtain();
    if (found.library == nullptr && !found.unreadable_environment) raise_runtime(found.error);
    return found.library;
}

}  // namespace detail

PyObject* set_dylib_path(const char* path, Py_ssize_t length) {
    search::Outcome found = detail::g_library.set_path(std::string(path, static_cast<size_t>(length)));
    if (found.library == nullptr) {
        raise_runtime(found.error);
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace corvix
