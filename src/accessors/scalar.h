// Scalar call shape: one entry point of (handle, value parameters...) that
// returns one number, turned into int, float or bool, or ignored. It serves
// the run-level values, the scan filter and scan event properties, the scan
// lookups, the log counts and the handle flags; the function table picks the
// result kind and the parameter kinds per function.
#pragma once

#include "../binding/call_frame.h"

namespace corvix {

// Result kinds: the native return type and its Python object.
struct AsInt {
    using native = contract::Int;
    static PyObject* make(native v) { return int_result(v); }
};
struct AsLong {
    using native = contract::Long;
    static PyObject* make(native v) { return long_result(v); }
};
struct AsReal {
    using native = contract::Real;
    static PyObject* make(native v) { return real_result(v); }
};
struct AsFlag {  // all 32 bits tested
    using native = contract::Int;
    static PyObject* make(native v) { return flag_result(v); }
};
struct AsNone {  // result ignored
    using native = void;
};

template <class Result, class... Kinds>
struct Scalar {
    template <class Row>
    static PyObject* run(PyObject* const* argv) {
        std::tuple<typename Kinds::value...> values;
        platform::LibraryHandle library = convert_then_obtain<Row, Kinds...>(argv, values);
        if (library == nullptr) return nullptr;

        using Entry = contract::ScalarEntry<typename Result::native, typename Kinds::value...>;
        Entry entry = lookup_entry<Entry, Row>(library);
        if (entry == nullptr) return nullptr;
        if constexpr (std::is_void_v<typename Result::native>) {
            std::apply(entry, values);
            Py_RETURN_NONE;
        } else {
            return Result::make(std::apply(entry, values));
        }
    }
};

}  // namespace corvix
