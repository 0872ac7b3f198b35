#include "lists.h"

namespace corvix {

PyObject* slot_texts(const char* const* slots, std::size_t count) {
    std::size_t filled = 0;
    for (std::size_t i = 0; i < count; ++i)
        if (slots[i] != nullptr) ++filled;
    Ref list(checked(PyList_New(static_cast<Py_ssize_t>(filled))));
    Py_ssize_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (slots[i] == nullptr) continue;
        PyList_SET_ITEM(list.get(), at++, decode_utf8(slots[i], std::strlen(slots[i])));
    }
    return list.release();
}

}  // namespace corvix
