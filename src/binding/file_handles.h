// Opening files and choosing the Reader library. The other handle functions
// (close, flags, instrument selection, path) are ordinary scalar and text
// shapes in the function table.
#pragma once

#include "call_frame.h"

namespace corvix {

// open_raw_file(path): the path goes to the Reader library as a
// zero-terminated UTF-8 copy owned for the call.
struct OpenRawFile {
    template <class Row>
    static PyObject* run(PyObject* const* argv) {
        std::tuple<Utf8> values;
        platform::LibraryHandle library = convert_then_obtain<Row, Str>(argv, values);
        if (library == nullptr) return nullptr;
        const Utf8& path = std::get<0>(values);
        auto entry = lookup_entry<contract::OpenEntry, Row>(library);
        if (entry == nullptr) return nullptr;
        // The zero-byte test comes after the library and the lookup, so their
        // errors win over this one.
        if (path.has_nul()) {
            PyErr_SetString(PyExc_ValueError, "nul byte in path");
            return nullptr;
        }
        Buffer<char> copy;
        if (!zero_terminated_copy(path, copy)) return nullptr;
        return int_result(entry(copy.data()));
    }
};

// set_dylib_path(path): loads the library at `path` unless one is loaded.
struct SetDylibPath {
    template <class Row>
    static PyObject* run(PyObject* const* argv) {
        std::tuple<Utf8> values;
        if (!convert_arguments<Row, Str>(argv, values)) return nullptr;
        return set_dylib_path(std::get<0>(values).data, std::get<0>(values).size);
    }
};

}  // namespace corvix
