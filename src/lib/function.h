// One module function: its Python name, the Reader library entry point it
// calls, its docstring, its call shape and its parameter names. The native
// entry that the interpreter calls is generated per function from these.
#pragma once

#include "../binding/call_frame.h"

namespace corvix {

template <Text Name, Text Entry, Text Body, class Shape, Text... Params>
struct Function {
    static constexpr const char* name = Name.value;
    static constexpr const char* entry = Entry.value;
    static constexpr Py_ssize_t arity = sizeof...(Params);
    static constexpr const char* params[] = {Params.value...};
    static constexpr auto doc = make_signature_doc<Name, Body, Params...>();

    // The parameter names as interned str objects, made once at import.
    static inline PyObject* interned[sizeof...(Params)] = {};

    static constexpr Signature signature{name, params, interned, arity};

    static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded([&]() -> PyObject* {
            PyObject* argv[sizeof...(Params)];
            if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
            return Shape::template run<Function>(argv);
        });
    }

    static bool intern_parameters() {
        for (Py_ssize_t i = 0; i < arity; ++i) {
            if (interned[i] != nullptr) continue;
            interned[i] = PyUnicode_InternFromString(params[i]);
            if (interned[i] == nullptr) return false;
        }
        return true;
    }

    static PyMethodDef method_def() {
        return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&call)),
                           METH_FASTCALL | METH_KEYWORDS, doc.data()};
    }
};

// Most functions call the entry point of their own name and have no
// docstring beyond their text signature.
template <Text Name, class Shape, Text... Params>
using Fn = Function<Name, Name, Text(""), Shape, Params...>;

template <class... Functions>
struct FunctionTable {
    static constexpr std::size_t size = sizeof...(Functions);
    // Method records must outlive the function objects: static storage.
    static inline PyMethodDef methods[sizeof...(Functions)] = {Functions::method_def()...};
    static bool intern_parameters() { return (Functions::intern_parameters() && ...); }
};

}  // namespace corvix
