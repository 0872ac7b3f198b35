#include "sequence.h"

namespace corvix {

namespace {

// The length hint only sizes the first reservation; a __len__ that lies
// cannot make the module reserve more than this up front.
constexpr std::size_t kFirstReservation = 4096;

template <class Kind>
bool extract(PyObject* object, const char* param, Sequence<typename Kind::value>& out) {
    using T = typename Kind::value;
    if (PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", param);
        return false;
    }
    if (!PySequence_Check(object)) {
        raise_cast_error(param, object, "Sequence");
        return false;
    }
    Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    std::size_t capacity = static_cast<std::size_t>(hint) < kFirstReservation ? static_cast<std::size_t>(hint)
                                                                              : kFirstReservation;
    T* items = capacity > 0 ? static_cast<T*>(PyMem_Malloc(capacity * sizeof(T))) : nullptr;
    if (capacity > 0 && items == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    out.items.adopt(items, capacity);
    out.count = 0;

    Ref iterator(PyObject_GetIter(object));
    if (!iterator) {
        relabel_type_error(param);
        return false;
    }
    while (true) {
        Ref item(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) {
                relabel_type_error(param);
                return false;
            }
            return true;
        }
        T value;
        if (!Kind::convert(item.get(), param, value)) return false;
        if (out.count == capacity) {
            std::size_t grown = capacity < 16 ? 16 : capacity * 2;
            T* bigger = static_cast<T*>(PyMem_Realloc(items, grown * sizeof(T)));
            if (bigger == nullptr) {
                PyErr_NoMemory();
                return false;
            }
            // Realloc took the old block; hand the new one to the buffer
            // without freeing the old pointer a second time.
            out.items.release_raw();
            items = bigger;
            capacity = grown;
            out.items.adopt(items, capacity);
        }
        items[out.count++] = value;
    }
}

}  // namespace

bool extract_real_sequence(PyObject* object, const char* param, Sequence<double>& out) {
    return extract<Real>(object, param, out);
}

bool extract_int_sequence(PyObject* object, const char* param, Sequence<contract::Int>& out) {
    return extract<Int>(object, param, out);
}

}  // namespace corvix
