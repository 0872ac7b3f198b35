#include "loader.h"

#include <atomic>
#include <string>

#include "panic.h"
#include "utf8.h"

namespace corvix {

namespace {

#ifndef _WIN32
// The environment as the interpreter keeps it: os.environb, taken at the
// first search and kept for the life of the process.
//
// The search reads VELMAR_NATIVE_LIB anew on every call until a library
// loads. libc's getenv is not safe against a setenv or unsetenv running at
// the same moment on another thread, and os.environ's writes call exactly
// those; with the interpreter lock off nothing keeps the two apart. So the
// variable is read from the interpreter's own mapping instead, which Python
// code keeps in step with the process environment and which the
// interpreter makes safe to read while other threads write it. A change
// made behind the mapping's back (os.putenv, or setenv from native code) is
// not seen, just as os.environ does not see it.
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

constexpr search::SystemCalls kModuleCalls = {
    read_python_environment,
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
