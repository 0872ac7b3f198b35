// The common road of every module function: argument parsing, the argument
// conversion rules, entry-point lookup, status failures, result objects and
// call-owned buffers. The function table (src/lib/registry.h) pairs each
// function's name and parameter names with a call shape; shapes are built
// from the pieces here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>

#include "call_buffers.h"
#include "loader.h"
#include "panic.h"
#include "reader_contract.h"
#include "reader_signatures.h"

namespace corvix {

// ---------------------------------------------------------------------------
// Compile-time text, so names, parameter names and docstrings of the function
// table are template arguments.

template <std::size_t N>
struct Text {
    char value[N]{};
    constexpr Text(const char (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) value[i] = s[i];
    }
    static constexpr std::size_t length = N - 1;
};

// "name(p1, p2)\n--\n\n" followed by an optional docstring body.
template <Text Name, Text Body, Text... Params>
constexpr auto make_signature_doc() {
    constexpr std::size_t n_params = sizeof...(Params);
    constexpr std::size_t length = Name.length + 1 + (std::size_t{0} + ... + Params.length) +
                                   (n_params > 0 ? 2 * (n_params - 1) : 0) + 6 + Body.length;
    std::array<char, length + 1> out{};
    std::size_t at = 0;
    auto put = [&](const char* s, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) out[at++] = s[i];
    };
    put(Name.value, Name.length);
    put("(", 1);
    std::size_t index = 0;
    ((put(", ", index++ == 0 ? 0 : 2), put(Params.value, Params.length)), ...);
    put(")\n--\n\n", 6);
    put(Body.value, Body.length);
    out[at] = '\0';
    return out;
}

// ---------------------------------------------------------------------------
// Owned references.

class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* object) : object_(object) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = other.release();
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }
    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// ---------------------------------------------------------------------------
// Argument parsing.

struct Signature {
    const char* name;            // Python name, for messages
    const char* const* params;   // parameter names in declaration order
    PyObject* const* interned;   // the same names as interned str objects
    Py_ssize_t arity;
};

// Parses a call with keywords or with the wrong number of positionals into
// `out` (borrowed references, one per parameter). False with TypeError set.
bool parse_arguments_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          PyObject** out);

inline bool parse_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            PyObject** out) {
    if (kwnames == nullptr && nargs == sig.arity) [[likely]] {
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
        return true;
    }
    return parse_arguments_slow(sig, args, nargs, kwnames, out);
}

// ---------------------------------------------------------------------------
// Argument conversion rules. Each kind converts one Python object to its
// native value or sets the argument error naming the parameter.

// Replaces a pending TypeError by "argument '<name>': <message>" keeping the
// cause of the replaced exception; any other pending error stays as it is.
void relabel_type_error(const char* param);

// TypeError "argument '<name>': '<qualname of type>' object cannot be cast as '<target>'".
void raise_cast_error(const char* param, PyObject* object, const char* target);

// 32-bit range error with the interpreter's own message for a C long.
void raise_long_overflow();

// An exact int of at most one digit (below 2**30 in magnitude) always fits
// in 32 bits and is read straight from the object; the interpreter's
// conversion would give the same value. Anything else (bool, subclasses,
// objects with __index__, large ints) returns false.
inline bool small_exact_int(PyObject* object, long& out) {
    if (!PyLong_CheckExact(object)) return false;
    PyLongObject* number = reinterpret_cast<PyLongObject*>(object);
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(number)) return false;
    out = static_cast<long>(PyUnstable_Long_CompactValue(number));
#else
    Py_ssize_t size = Py_SIZE(object);
    if (size < -1 || size > 1) return false;
    out = size == 0 ? 0 : static_cast<long>(size) * static_cast<long>(number->ob_digit[0]);
#endif
    return true;
}

struct Int {
    using value = contract::Int;
    static bool convert(PyObject* object, const char* param, value& out) {
        long v;
        if (small_exact_int(object, v)) [[likely]] {
            out = static_cast<value>(v);
            return true;
        }
        v = PyLong_AsLong(object);
        if (v == -1 && PyErr_Occurred()) {
            relabel_type_error(param);
            return false;
        }
        if constexpr (sizeof(long) > sizeof(value)) {
            if (v < INT32_MIN || v > INT32_MAX) {
                raise_long_overflow();
                return false;
            }
        }
        out = static_cast<value>(v);
        return true;
    }
};

struct Real {
    using value = contract::Real;
    static bool convert(PyObject* object, const char* param, value& out) {
        if (PyFloat_CheckExact(object)) {
            out = PyFloat_AS_DOUBLE(object);
            return true;
        }
        double v = PyFloat_AsDouble(object);
        if (v == -1.0 && PyErr_Occurred()) {
            relabel_type_error(param);
            return false;
        }
        out = v;
        return true;
    }
};

// A str argument as UTF-8. The bytes are the str object's own UTF-8 form and
// live as long as the argument does, which is the whole call.
struct Utf8 {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    bool has_nul() const { return std::memchr(data, '\0', static_cast<std::size_t>(size)) != nullptr; }
};

// Copies the text into `copy` with one zero byte appended (a C string owned
// for the call). False with MemoryError set.
bool zero_terminated_copy(const Utf8& text, Buffer<char>& copy);

struct Str {
    using value = Utf8;
    static bool convert(PyObject* object, const char* param, value& out) {
        if (!PyUnicode_Check(object)) {
            raise_cast_error(param, object, "str");
            return false;
        }
        out.data = PyUnicode_AsUTF8AndSize(object, &out.size);
        return out.data != nullptr;
    }
};

// Converts argv[i] by Kinds[i] in declaration order; stops at the first failure.
template <class Row, class... Kinds, std::size_t... I>
bool convert_in_order(PyObject* const* argv, std::tuple<typename Kinds::value...>& out, std::index_sequence<I...>) {
    return (Kinds::convert(argv[I], Row::params[I], std::get<I>(out)) && ...);
}

template <class Row, class... Kinds>
bool convert_arguments(PyObject* const* argv, std::tuple<typename Kinds::value...>& out) {
    static_assert(sizeof...(Kinds) == Row::arity, "call shape and parameter list disagree");
    return convert_in_order<Row, Kinds...>(argv, out, std::index_sequence_for<Kinds...>{});
}

// ---------------------------------------------------------------------------
// The Reader library side.

// The first two steps of every call: convert the arguments in order, then
// obtain the Reader library. Nothing touches the library before every
// argument has converted. nullptr with the exception set on failure.
template <class Row, class... Kinds>
platform::LibraryHandle convert_then_obtain(PyObject* const* argv, std::tuple<typename Kinds::value...>& values) {
    if (!convert_arguments<Row, Kinds...>(argv, values)) return nullptr;
    return obtain_library();
}

// RuntimeError "get function <entry>: <reason>".
void raise_lookup_failure(const char* entry, const std::string& reason);

// Looks the entry point up by exact name, on every call.
template <class Fn>
inline Fn lookup(platform::LibraryHandle library, const char* entry) {
    std::string reason;
    void* address = platform::find_symbol(library, entry, reason);
    if (address == nullptr) [[unlikely]] {
        raise_lookup_failure(entry, reason);
        return nullptr;
    }
    return reinterpret_cast<Fn>(address);
}

// The lookup of a function-table row's entry point, with the proof at compile
// time that the pointer type the call shape uses is the one that the table of
// native signatures gives for that entry point.
template <class Fn, class Row>
inline Fn lookup_entry(platform::LibraryHandle library) {
    static_assert(signatures::matches_table<Fn>(Row::entry),
                  "the call shape disagrees with the table of native signatures");
    return lookup<Fn>(library, Row::entry);
}

// RuntimeError "<entry> failed".
PyObject* raise_status_failure(const char* entry);

// A negative capacity is an internal fault, raised after the library is
// obtained and before the entry point is looked up.
inline std::size_t capacity_of(contract::Int requested) {
    if (requested < 0) panic("capacity overflow");
    return static_cast<std::size_t>(requested);
}

// ---------------------------------------------------------------------------
// Result objects. Each returns a new reference or throws the API failure.

inline PyObject* int_result(long value) { return checked(PyLong_FromLong(value)); }
inline PyObject* long_result(long long value) { return checked(PyLong_FromLongLong(value)); }
inline PyObject* real_result(double value) { return checked(PyFloat_FromDouble(value)); }
inline PyObject* flag_result(contract::Int value) { return Py_NewRef(value != 0 ? Py_True : Py_False); }

PyObject* real_list(const double* values, std::size_t count);
PyObject* int_list(const contract::Int* values, std::size_t count);

// Terminated text: bytes up to the first zero byte, or the whole capacity;
// decoded as UTF-8 with one U+FFFD per maximal ill-formed subsequence.
PyObject* terminated_text(const char* buffer, std::size_t capacity);

// Length of the terminated text in a buffer.
std::size_t terminated_length(const char* buffer, std::size_t capacity);

// Counted text: the status is the byte length; above the capacity is an
// internal fault. Zero bytes inside become U+0000.
PyObject* counted_text(const char* buffer, std::size_t capacity, contract::Int status);

// UTF-8 bytes decoded with replacement into a str.
PyObject* decode_utf8(const char* bytes, std::size_t length);

// Splits bytes at every non-overlapping occurrence of `separator` into a list
// of str, empty pieces kept. Splitting the bytes before decoding gives the
// same items as decoding first: the separators are ASCII, and an ASCII byte
// never belongs to a multi-byte sequence or to an ill-formed subsequence.
PyObject* split_text(const char* text, std::size_t length, const char* separator, std::size_t separator_length);

// A tuple of items built beforehand; ownership passes to the tuple.
template <class... Refs>
PyObject* tuple_of(Refs&... items) {
    PyObject* tuple = checked(PyTuple_New(sizeof...(Refs)));
    Py_ssize_t at = 0;
    ((PyTuple_SET_ITEM(tuple, at++, items.release())), ...);
    return tuple;
}

}  // namespace corvix
