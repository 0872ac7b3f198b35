#include "loader.h"

#include <string>

namespace corvix {

namespace detail {
std::atomic<platform::LibraryHandle> g_library{nullptr};
}

namespace {

constexpr const char kEnvironmentVariable[] = "VELMAR_NATIVE_LIB";
constexpr const char kLibraryFile[] = "VelmarNativeReader.dll";
constexpr const char kDirectoryPrefix[] = "./";

// Stores a freshly loaded library unless another thread stored one first; in
// that case the fresh one is released and the stored one returned.
platform::LibraryHandle store(platform::LibraryHandle fresh) {
    platform::LibraryHandle expected = nullptr;
    if (detail::g_library.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return fresh;
    platform::release_library(fresh);
    return expected;
}

std::string second_candidate() {
    std::string prefix = kDirectoryPrefix;
    if (!prefix.empty() && prefix.back() != '/') prefix += '/';
    return prefix + kLibraryFile;
}

// RuntimeError with a message that may hold any bytes of a path or of the
// loader's reason text (embedded zero bytes included).
void raise_runtime(const std::string& message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return;
    PyErr_SetObject(PyExc_RuntimeError, text);
    Py_DECREF(text);
}

}  // namespace

namespace detail {

platform::LibraryHandle obtain_library_slow() {
    // Nothing about earlier failures is remembered: every call searches anew.
    if (auto path = platform::environment_utf8(kEnvironmentVariable)) {
        if (platform::entry_exists(*path)) {
            platform::LoadResult loaded = platform::load_library(*path);
            if (loaded.handle == nullptr) {
                raise_runtime("Failed to load override dylib " + *path + ": " + loaded.reason);
                return nullptr;
            }
            return store(loaded.handle);
        }
    }
    const std::string candidates[] = {kLibraryFile, second_candidate()};
    for (const std::string& candidate : candidates) {
        if (!platform::entry_exists(candidate)) continue;
        platform::LoadResult loaded = platform::load_library(candidate);
        if (loaded.handle == nullptr) {
            raise_runtime("Failed to load dylib " + candidate + ": " + loaded.reason);
            return nullptr;
        }
        return store(loaded.handle);
    }
    PyErr_SetString(PyExc_RuntimeError, "Dylib not found and VELMAR_NATIVE_LIB not set.");
    return nullptr;
}

}  // namespace detail

PyObject* set_dylib_path(const char* path, Py_ssize_t length) {
    if (detail::g_library.load(std::memory_order_acquire) != nullptr) Py_RETURN_NONE;
    std::string text(path, static_cast<size_t>(length));
    if (!platform::entry_exists(text)) {
        raise_runtime("Dylib not found at: " + text);
        return nullptr;
    }
    platform::LoadResult loaded = platform::load_library(text);
    if (loaded.handle == nullptr) {
        raise_runtime("Failed to load dylib " + text + ": " + loaded.reason);
        return nullptr;
    }
    store(loaded.handle);
    Py_RETURN_NONE;
}

}  // namespace corvix
