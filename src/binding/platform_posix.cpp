// POSIX implementation of the platform layer: dlopen/dlsym, getenv, stat,
// mmap. (The module reads the environment through getenv only while the
// interpreter holds its lock; see loader.cpp.)
#ifndef _WIN32

#include "platform.h"
#include "utf8.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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
    if (block == MAP_FAILED) return nullptr;
#if defined(__linux__) && defined(MADV_NOHUGEPAGE)
    // Where huge pages are on for every mapping, the first write into an
    // array would make the kernel clear a whole 2 MiB page; a hint, so its
    // failure changes nothing.
    ::madvise(block, bytes, MADV_NOHUGEPAGE);
#endif
    return block;
}

void unmap_zeroed(void* block, std::size_t bytes) {
    if (block != nullptr) ::munmap(block, bytes);
}

std::size_t page_bytes() {
    static const std::size_t bytes = [] {
        long size = ::sysconf(_SC_PAGESIZE);
        return size > 0 ? static_cast<std::size_t>(size) : std::size_t{4096};
    }();
    return bytes;
}

bool rezero_pages(void* block, std::size_t bytes) {
    if (bytes == 0) return true;
#ifdef __linux__
    // Linux drops the pages of a private anonymous mapping, and the next
    // access finds zero pages.
    return ::madvise(block, bytes, MADV_DONTNEED) == 0;
#else
    // Elsewhere MADV_DONTNEED may keep the contents: map fresh zero pages
    // over the range instead.
    void* fresh = ::mmap(block, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    return fresh == block;
#endif
}

void* find_symbol(LibraryHandle handle, const char* name, std::string& reason) {
    void* address = ::dlsym(handle, name);
    if (address == nullptr) reason = dl_reason("dlsym failed");
    return address;
}

}  // namespace corvix::platform

#endif  // !_WIN32
