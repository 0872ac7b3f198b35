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

// PanicException is made on first need; asking the module for it is a need.
PyObject* module_getattr(PyObject* module, PyObject* name) {
    return guarded([&]() -> PyObject* {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "PanicException") == 0)
            return Py_NewRef(panic_exception_type());
        PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%U'", PyModule_GetName(module), name);
        return nullptr;
    });
}

PyMethodDef g_getattr = {"__getattr__", reinterpret_cast<PyCFunction>(module_getattr), METH_O, nullptr};

// Adds one function: built-in function object bound to the module, its
// __name__ appended to __all__, then set as the attribute of that name.
void add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
    Ref function(checked(PyCFunction_NewEx(def, module, module_name)));
    Ref name(checked(PyObject_GetAttrString(function.get(), "__name__")));
    if (!PyUnicode_Check(name.get())) panic("function __name__ is not a str");
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) api_failure();
        PyErr_Clear();
        all = Ref(checked(PyList_New(0)));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) api_failure();
    }
    if (!PyList_Check(all.get()) || PyList_Append(all.get(), name.get()) < 0)
        panic("could not append __name__ to __all__");
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) api_failure();
}

PyObject* create_module() {
    Ref module(checked(PyModule_Create2(&g_definition, 1013)));
#ifdef Py_GIL_DISABLED
    // The module declares that it needs the interpreter lock: a free-threaded
    // interpreter switches the lock on at import unless the user forced it off.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) api_failure();
#endif
    if (!Registry::intern_parameters()) api_failure();
    Ref module_name(checked(PyUnicode_FromString(kModuleName)));
    for (PyMethodDef& def : Registry::methods) add_function(module.get(), module_name.get(), &def);
    Ref getattr(checked(PyCFunction_NewEx(&g_getattr, module.get(), module_name.get())));
    if (PyObject_SetAttrString(module.get(), "__getattr__", getattr.get()) < 0) api_failure();
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
    g_module.store(module, std::memory_order_release);
    return Py_NewRef(module);
}

}  // namespace
}  // namespace corvix

PyMODINIT_FUNC PyInit_native_corvix_py_backend(void) {
    return corvix::guarded([] { return corvix::initialise(); });
}
