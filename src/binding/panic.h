// Internal faults. A fault inside the module that is not an ordinary Python
// error (a broken invariant, the interpreter failing to create a result
// object, a negative capacity) is thrown as `Panic` and turned, at the native
// entry of the module function, into the Python exception `PanicException`
// after a short report on standard error. Nothing else in the module uses C++
// exceptions.
//
// The fault path allocates nothing from the C heap: a fault carries its text
// as a pointer to a literal, the report is written from fixed buffers, and
// the exception type exists before the first fault (it is made when the
// module is created). Memory exhaustion therefore cannot turn one fault into
// another, or into a second exception while the first is handled.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <source_location>

namespace corvix {

struct Panic {
    const char* text;  // a literal: static storage, never freed
    std::source_location where;
};

// Throws a Panic carrying `text` and the caller's source position.
[[noreturn]] void panic(const char* text, std::source_location where = std::source_location::current());

// The interpreter failed to create an object: print its pending error to
// standard error, then throw the Panic "Python API call failed".
[[noreturn]] void api_failure(std::source_location where = std::source_location::current());

// Returns `object`, or raises the API failure when it is null.
inline PyObject* checked(PyObject* object, std::source_location where = std::source_location::current()) {
    if (object == nullptr) api_failure(where);
    return object;
}

// The exception type, created once per process on first need. Throws a Panic
// when the type cannot be created (that fault escapes the guard).
PyObject* panic_exception_type();

// Creates the exception type ahead of any fault, so that raising it later
// needs no allocation for the type. False with the interpreter's error set
// when it cannot be created.
bool prepare_panic_exception_type() noexcept;

// Reports the fault on standard error and sets PanicException. Aborts the
// process with "uncaught panic at ffi boundary" when the conversion itself
// fails.
void raise_panic(const Panic& fault) noexcept;

// Per-thread record that the thread is inside one of the module's native
// entries, attached to the interpreter. Initial-exec TLS makes each update a
// single thread-pointer-relative access instead of a call into the loader.
#if defined(__GNUC__)
#define CORVIX_FAST_TLS __attribute__((tls_model("initial-exec")))
#else
#define CORVIX_FAST_TLS
#endif
extern thread_local constinit int attached_depth CORVIX_FAST_TLS;

// Runs `body` (which returns a new reference or nullptr with an error set)
// under the guard of every native entry.
template <class Body>
inline PyObject* guarded(Body&& body) noexcept {
    struct Depth {
        Depth() { ++attached_depth; }
        ~Depth() { --attached_depth; }
    } depth;
    try {
        return body();
    } catch (const Panic& fault) {
        raise_panic(fault);
        return nullptr;
    } catch (const std::bad_alloc&) {
        // The C++ side ran out of memory (a message being composed, say):
        // the interpreter's own MemoryError, which needs no allocation.
        PyErr_NoMemory();
        return nullptr;
    } catch (...) {
        raise_panic(Panic{"an unexpected C++ exception escaped a module function", std::source_location::current()});
        return nullptr;
    }
}

}  // namespace corvix
