#include "call_frame.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace corvix {

namespace {

// Fetches the pending exception as one normalised object (new reference).
PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

void restore_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    PyObject* traceback = PyException_GetTraceback(exception);
    PyErr_Restore(type, exception, traceback);
#endif
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const char* const* names, Py_ssize_t count) {
    std::string out;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i > 0) {
            if (count > 2) out += ",";
            out += (i == count - 1) ? " and " : " ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

Py_ssize_t match_keyword(const Signature& sig, PyObject* keyword) {
    // Keyword names from compiled code are interned, so pointer equality
    // nearly always decides; the text comparison is the fallback.
    for (Py_ssize_t i = 0; i < sig.arity; ++i)
        if (keyword == sig.interned[i]) return i;
    for (Py_ssize_t i = 0; i < sig.arity; ++i)
        if (PyUnicode_CompareWithASCIIString(keyword, sig.params[i]) == 0) return i;
    return -1;
}

}  // namespace

bool parse_arguments_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          PyObject** out) {
    if (nargs > sig.arity) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given", sig.name, sig.arity,
                     nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < sig.arity; ++i) out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = match_keyword(sig, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, keyword);
            return false;
        }
        if (out[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name, sig.params[index]);
            return false;
        }
        out[index] = args[nargs + k];
    }
    const char* missing[16];
    Py_ssize_t n_missing = 0;
    for (Py_ssize_t i = 0; i < sig.arity; ++i)
        if (out[i] == nullptr) missing[n_missing++] = sig.params[i];
    if (n_missing > 0) {
        std::string names = quoted_list(missing, n_missing);
        PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional %s: %s", sig.name, n_missing,
                     n_missing == 1 ? "argument" : "arguments", names.c_str());
        return false;
    }
    return true;
}

bool zero_terminated_copy(const Utf8& text, Buffer<char>& copy) {
    if (!copy.reserve(static_cast<std::size_t>(text.size) + 1)) return false;
    std::memcpy(copy.data(), text.data, static_cast<std::size_t>(text.size));
    return true;
}

void relabel_type_error(const char* param) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject* old = take_exception();
    PyObject* message = old != nullptr ? PyObject_Str(old) : nullptr;
    if (message == nullptr) {
        // Keep the original error rather than lose it.
        Py_XDECREF(message);
        if (old != nullptr) restore_exception(old);
        return;
    }
    PyObject* text = PyUnicode_FromFormat("argument '%s': %U", param, message);
    Py_DECREF(message);
    if (text == nullptr) {
        Py_DECREF(old);
        return;
    }
    PyObject* replacement = PyObject_CallOneArg(PyExc_TypeError, text);
    Py_DECREF(text);
    if (replacement == nullptr) {
        Py_DECREF(old);
        return;
    }
    PyObject* cause = PyException_GetCause(old);  // new reference or null
    if (cause != nullptr) PyException_SetCause(replacement, cause);  // steals
    Py_DECREF(old);
    restore_exception(replacement);
}

void raise_cast_error(const char* param, PyObject* object, const char* target) {
    PyObject* qualname = PyType_GetQualName(Py_TYPE(object));
    if (qualname == nullptr) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be cast as '%s'", param, qualname, target);
    Py_DECREF(qualname);
}

void raise_long_overflow() {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
}

void raise_lookup_failure(const char* entry, const std::string& reason) {
    std::string message = search::lookup_failure(entry, reason);
    PyObject* text = decode_utf8(message.data(), message.size());
    PyErr_SetObject(PyExc_RuntimeError, text);
    Py_DECREF(text);
}

PyObject* raise_status_failure(const char* entry) {
    PyErr_Format(PyExc_RuntimeError, "%s failed", entry);
    return nullptr;
}

PyObject* real_list(const double* values, std::size_t count) {
    Ref list(checked(PyList_New(static_cast<Py_ssize_t>(count))));
    for (std::size_t i = 0; i < count; ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), checked(PyFloat_FromDouble(values[i])));
    return list.release();
}

PyObject* int_list(const contract::Int* values, std::size_t count) {
    Ref list(checked(PyList_New(static_cast<Py_ssize_t>(count))));
    for (std::size_t i = 0; i < count; ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), checked(PyLong_FromLong(values[i])));
    return list.release();
}

PyObject* decode_utf8(const char* bytes, std::size_t length) {
    return checked(PyUnicode_DecodeUTF8(bytes, static_cast<Py_ssize_t>(length), "replace"));
}

std::size_t terminated_length(const char* buffer, std::size_t capacity) {
    const void* zero = std::memchr(buffer, '\0', capacity);
    return zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - buffer) : capacity;
}

PyObject* terminated_text(const char* buffer, std::size_t capacity) {
    return decode_utf8(buffer, terminated_length(buffer, capacity));
}

PyObject* counted_text(const char* buffer, std::size_t capacity, contract::Int status) {
    if (status < 0 || static_cast<std::size_t>(status) > capacity)
        panic("text length reported by the Reader library exceeds the buffer capacity");
    return decode_utf8(buffer, static_cast<std::size_t>(status));
}

namespace {

// One item. An ASCII item's bytes are its characters, so its str is made at
// its final size and the bytes copied in, with no decoding pass. Empty and
// one-character items, and items that are not ASCII, go through the
// decoder (which hands out the interpreter's shared objects for the short
// ones); both roads give equal str objects.
PyObject* make_item(const char* bytes, std::size_t length, bool ascii) {
    if (!ascii || length <= 1) return decode_utf8(bytes, length);
    PyObject* item = checked(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
    std::memcpy(PyUnicode_DATA(item), bytes, length);
    return item;
}

bool is_ascii(const char* bytes, std::size_t length) {
    unsigned char high = 0;
    for (std::size_t i = 0; i < length; ++i) high |= static_cast<unsigned char>(bytes[i]);
    return (high & 0x80) == 0;
}

// One-byte separator (the field lists): count the pieces, then one pass
// that finds each piece's end and tests it for ASCII at the same time.
PyObject* split_at_byte(const char* text, std::size_t length, char mark) {
    std::size_t pieces = 1 + static_cast<std::size_t>(std::count(text, text + length, mark));
    Ref list(checked(PyList_New(static_cast<Py_ssize_t>(pieces))));
    std::size_t at = 0;
    for (std::size_t i = 0; i < pieces; ++i) {
        std::size_t start = at;
        unsigned char high = 0;
        for (; at < length && text[at] != mark; ++at) high |= static_cast<unsigned char>(text[at]);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        make_item(text + start, at - start, (high & 0x80) == 0));
        ++at;  // past the separator
    }
    return list.release();
}

}  // namespace

PyObject* split_text(const char* text, std::size_t length, const char* separator, std::size_t separator_length) {
    if (separator_length == 1) return split_at_byte(text, length, separator[0]);
    std::string_view whole(text, length);
    std::string_view sep(separator, separator_length);
    std::size_t pieces = 1;
    for (std::size_t at = whole.find(sep); at != std::string_view::npos; at = whole.find(sep, at + sep.size()))
        ++pieces;
    Ref list(checked(PyList_New(static_cast<Py_ssize_t>(pieces))));
    std::size_t start = 0;
    for (std::size_t i = 0; i < pieces; ++i) {
        std::size_t end = i + 1 < pieces ? whole.find(sep, start) : length;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        make_item(text + start, end - start, is_ascii(text + start, end - start)));
        start = end + sep.size();
    }
    return list.release();
}

}  // namespace corvix
