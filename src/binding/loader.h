// Finding, loading and keeping the Reader library, for the module: the
// process's one library slot, with search failures raised as RuntimeError.
// The library is loaded at most once per process, on first need, and stays
// loaded until the process ends.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "library_search.h"

namespace corvix {

namespace detail {
extern search::LibrarySlot g_library;
platform::LibraryHandle obtain_library_slow();
}  // namespace detail

// The loaded Reader library, loading it if need be; nullptr with a
// RuntimeError set when no library could be had. Once a library is stored,
// this is one atomic load.
inline platform::LibraryHandle obtain_library() {
    platform::LibraryHandle lib = detail::g_library.stored();
    if (lib != nullptr) [[likely]] return lib;
    return detail::obtain_library_slow();
}

// Body of set_dylib_path once its argument is converted: loads the library
// at `path` unless one is stored already. Returns a new reference to None,
// or nullptr with a RuntimeError set.
PyObject* set_dylib_path(const char* path, Py_ssize_t length);

}  // namespace corvix
