#include "loader.h"

#include <string>

namespace corvix {

namespace detail {
constinit search::LibrarySlot g_library{search::kPlatformCalls};
}

namespace {

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

platform::LibraryHandle obtain_library_slow() {
    search::Outcome found = g_library.obtain();
    if (found.library == nullptr) raise_runtime(found.error);
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
