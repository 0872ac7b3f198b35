// Module entry: creates the module object once per process, refuses
// sub-interpreters, and registers the functions of the table in order, each
// name also appended to __all__. No Reader library is loaded here.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "registry.h"

namespace corvix {
namespace {

constexpr const char kModuleName[] = "native_corvix_py_backend";

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    "",       // __doc__
    0,        // no per-module state
    nullptr,  // functions are added one by one after creation
    nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> g_interpreter{-1};
std::atomic<PyObject*> g_module{nullptr};
std::mutex g_creation;

// The value of `key` in the module's namespace (new reference), or nullptr
// when it is absent; nullptr with an error set when the lookup failed.
PyObject* namespace_item(PyObject* module, const char* key) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed; never fails for a module
    Ref text(PyUnicode_FromString(key));
    if (!text) return nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    PyDict_GetItemRef(dict, text.get(), &value);
    return value;
#else
    // Only interpreters with the global lock are this old: the borrowed
    // value cannot go away before it is taken.
    return Py_XNewRef(PyDict_GetItemWithError(dict, text.get()));
#endif
}

// The module's __getattr__: serves PanicException, and for any other name
// raises what the interpreter raises for a missing module attribute. Any
// object may be passed as the name and the module's namespace may be in any
// state (its __name__ deleted or not a str): the outcome is always an
// exception, never a message built from a null or a non-str.
PyObject* module_getattr(PyObject* module, PyObject* name) {
    return guarded([&]() -> PyObject* {
        if (!PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'", Py_TYPE(name)->tp_name);
            return nullptr;
        }
        if (PyUnicode_CompareWithASCIIString(name, "PanicException") == 0)
            return Py_NewRef(panic_exception_type());
        Ref module_name(namespace_item(module, "__name__"));
        if (PyErr_Occurred()) return nullptr;
        if (module_name && PyUnicode_Check(module_name.get()))
            PyErr_Format(PyExc_AttributeError, "module '%U' has no attribute '%U'", module_name.get(), name);
        else
            PyErr_Format(PyExc_AttributeError, "module has no attribute '%U'", name);
        return nullptr;
    });
}

PyMethodDef g_getattr = {"__getattr__", reinterpret_cast<PyCFunction>(module_getattr), METH_O, nullptr};

// Module creation reports every failure of the interpreter (memory
// exhausted, most often) as the interpreter's own error: the import fails
// with it and can be tried again. Only a broken invariant is an internal
// fault. Each step returns false (or nullptr) with the error set.

// Threads of a free-threaded interpreter that call `m.get_spectrum(...)`
// each take a reference to the function object for the call. Counted
// references to one object from several threads all write the same cache
// line; with deferred reference counting the interpreter takes such
// references without writing it. The module and its functions live until
// the process ends, so nothing is lost by leaving their release to the
// collector.
void share_without_counting([[maybe_unused]] PyObject* object) {
#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030E0000
    PyUnstable_Object_EnableDeferredRefcount(object);
#endif
}

// Adds one function: built-in function object bound to the module, its
// __name__ appended to __all__, then set as the attribute of that name.
bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
    Ref function(PyCFunction_NewEx(def, module, module_name));
    if (!function) return false;
    share_without_counting(function.get());
    Ref name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) panic("function __name__ is not a str");
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) panic("could not append __name__ to __all__");
    if (PyList_Append(all.get(), name.get()) < 0) return false;
    return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

// A new module with every function registered, or nullptr with the error
// set; a module left half-built is released.
PyObject* create_module() {
    // The internal-fault type exists before any call can fault, so that
    // raising it never has to allocate the type.
    if (!prepare_panic_exception_type()) return nullptr;
    Ref module(PyModule_Create2(&g_definition, 1013));
    if (!module) return nullptr;
    share_without_counting(module.get());
#ifdef Py_GIL_DISABLED
    // The module declares that it needs the interpreter lock: a free-threaded
    // interpreter switches the lock on at import unless the user forced it off.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) return nullptr;
#endif
    if (!Registry::intern_parameters()) return nullptr;
    Ref module_name(PyUnicode_FromString(kModuleName));
    if (!module_name) return nullptr;
    for (PyMethodDef& def : Registry::methods)
        if (!add_function(module.get(), module_name.get(), &def)) return nullptr;
    Ref getattr(PyCFunction_NewEx(&g_getattr, module.get(), module_name.get()));
    if (!getattr || PyObject_SetAttrString(module.get(), "__getattr__", getattr.get()) < 0) return nullptr;
    return module.release();
}

PyObject* initialise() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "native_corvix_py_backend does not support sub-interpreters: it can only be "
                        "initialised once per process, in the first interpreter that imports it");
        return nullptr;
    }
    if (PyObject* existing = g_module.load(std::memory_order_acquire)) return Py_NewRef(existing);

    // Concurrent first imports: wait detached so that the thread doing the
    // creation can run, then look again.
    std::unique_lock<std::mutex> lock(g_creation, std::defer_lock);
    Py_BEGIN_ALLOW_THREADS
    lock.lock();
    Py_END_ALLOW_THREADS
    if (PyObject* existing = g_module.load(std::memory_order_acquire)) return Py_NewRef(existing);
    PyObject* module = create_module();
    if (module == nullptr) return nullptr;  // nothing stored: a later import starts again
    g_module.store(module, std::memory_order_release);
    return Py_NewRef(module);
}

}  // namespace
}  // namespace corvix

PyMODINIT_FUNC PyInit_native_corvix_py_backend(void) {
    return corvix::guarded([] { return corvix::initialise(); });
}
