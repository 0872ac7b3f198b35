// Number-sequence arguments (mass ranges, scan numbers): any object that
// passes the interpreter's sequence check except str, iterated once, each
// item converted by the element rule, stored in iteration order.
#pragma once

#include "../binding/call_frame.h"

namespace corvix {

template <class T>
struct Sequence {
    Buffer<T> items;
    std::size_t count = 0;
    const T* data() const { return items.data(); }
};

// Fills `out` from `object`; false with the argument error set.
bool extract_real_sequence(PyObject* object, const char* param, Sequence<double>& out);
bool extract_int_sequence(PyObject* object, const char* param, Sequence<contract::Int>& out);

struct RealSequence {
    using value = Sequence<double>;
    static bool convert(PyObject* object, const char* param, value& out) {
        return extract_real_sequence(object, param, out);
    }
};

struct IntSequence {
    using value = Sequence<contract::Int>;
    static bool convert(PyObject* object, const char* param, value& out) {
        return extract_int_sequence(object, param, out);
    }
};

}  // namespace corvix
