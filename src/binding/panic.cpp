#include "panic.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#ifndef _WIN32
#include <pthread.h>
#endif

namespace corvix {

thread_local constinit int attached_depth CORVIX_FAST_TLS = 0;

namespace {

constexpr const char kPanicDoc[] =
    "Raised when the native code of native_corvix_py_backend fails internally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so an\n"
    "ordinary `except Exception` does not catch it and it typically propagates all\n"
    "the way up and ends the interpreter.";

std::atomic<PyObject*> g_panic_type{nullptr};

[[noreturn]] void abort_at_boundary() {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

// The thread's name, written into the caller's fixed buffer.
const char* thread_label(char (&name)[64]) {
#if !defined(_WIN32) && defined(__GLIBC__)
    if (pthread_getname_np(pthread_self(), name, sizeof name) == 0 && name[0] != '\0') return name;
#else
    (void)name;
#endif
    return "<unnamed>";
}

}  // namespace

void panic(const char* text, std::source_location where) {
    throw Panic{text, where};
}

void api_failure(std::source_location where) {
    if (PyErr_Occurred()) PyErr_PrintEx(0);
    throw Panic{"Python API call failed", where};
}

PyObject* panic_exception_type() {
    PyObject* type = g_panic_type.load(std::memory_order_acquire);
    if (type != nullptr) return type;
    // Creation runs with the calling thread attached; a racing thread that
    // loses keeps the winner's type and drops its own.
    PyObject* created = PyErr_NewExceptionWithDoc("native_corvix_py_backend.PanicException", kPanicDoc,
                                                  PyExc_BaseException, nullptr);
    if (created == nullptr) throw Panic{"Failed to initialize new exception type.", std::source_location::current()};
    PyObject* expected = nullptr;
    if (!g_panic_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Py_DECREF(created);
        return expected;
    }
    return created;
}

bool prepare_panic_exception_type() noexcept {
    try {
        panic_exception_type();
        return true;
    } catch (const Panic&) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return false;
    }
}

void raise_panic(const Panic& fault) noexcept {
    try {
        const char* text =
            fault.text == nullptr || fault.text[0] == '\0' ? "native_corvix_py_backend internal fault" : fault.text;
        unsigned long long tid = std::hash<std::thread::id>{}(std::this_thread::get_id());
        char name[64] = {0};
        std::fprintf(stderr, "thread '%s' (%llx) panicked at %s:%u:%u:\n%s\n", thread_label(name), tid,
                     fault.where.file_name(), static_cast<unsigned>(fault.where.line()),
                     static_cast<unsigned>(fault.where.column()), text);
        std::fflush(stderr);
        PyObject* type = panic_exception_type();
        PyErr_SetString(type, text);
    } catch (...) {
        abort_at_boundary();
    }
}

}  // namespace corvix
