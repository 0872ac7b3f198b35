// POSIX implementation of the platform layer: dlopen/dlsym, getenv, stat,
// mmap. (The module reads the environment through getenv only while the
// interpreter holds its lock; see loader.cpp.)
#ifndef _WIN32

#include "platform.h"
#include "utf8.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

namespace corvix::platform {

namespace {

std::string dl_reason(const char* what) {
    const char* err = dlerror();
    return failure_reason(what, err != nullptr, err);
}

}  // namespace

std::optional<std::string> environment_utf8(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    size_t n = std::strlen(value);
    if (!valid_utf8(value, n)) return std::nullopt;
    return std::string(value, n);
}

bool entry_exists(const std::string& utf8_path) {
    // A path with a zero byte names nothing the system could open.
    if (utf8_path.find('\0') != std::string::npos) return false;
    struct stat st;
    return ::stat(utf8_path.c_str(), &st) == 0;
}

LoadResult load_library(const std::string& utf8_path) {
    // dlopen searches the library path, not the current directory, for a
    // name without a slash. The existence test looked in the current
    // directory, so make the loader look at that same file.
    std::string target = utf8_path;
    if (target.find('/') == std::string::npos) target = "./" + target;
    dlerror();  // forget any stale error of this thread
    void* handle = ::dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return {nullptr, dl_reason("dlopen failed")};
    return {handle, {}};
}

void release_library(LibraryHandle handle) {
    if (handle != nullptr) ::dlclose(handle);
}

void* map_zeroed(std::size_t bytes) {
    void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
}

void unmap_zeroed(void* block, std::size_t bytes) {
    if (block != nullptr) ::munmap(block, bytes);
}

void* find_symbol(LibraryHandle handle, const char* name, std::string& reason) {
    void* address = ::dlsym(handle, name);
    if (address == nullptr) reason = dl_reason("dlsym failed");
    return address;
}

}  // namespace corvix::platform

#endif  // !_WIN32
