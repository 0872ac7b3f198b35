// The platform layer: everything the module needs from the operating system
// to find and load the Reader library. One small interface, implemented once
// for POSIX (dlopen/dlsym) and once for Windows (LoadLibraryExW/GetProcAddress).
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace corvix::platform {

// Opaque handle of a loaded shared library.
using LibraryHandle = void*;

// Outcome of loading one file: a handle, or the loader's reason text.
struct LoadResult {
    LibraryHandle handle = nullptr;
    std::string reason;
};

// The loader's reason text for a failed system call named by `call` ("dlopen
// failed", "LoadLibraryExW failed", ...): when the system reported no error,
// `call` + ", but system did not report the error"; otherwise `call`, followed
// by ": " and the system's own words where the platform has them in words.
// Error codes are never part of it.
inline std::string failure_reason(const char* call, bool reported, const char* words = nullptr) {
    if (!reported) return std::string(call) + ", but system did not report the error";
    if (words == nullptr) return call;
    return std::string(call) + ": " + words;
}

// Value of an environment variable when it is set and its value is valid
// Unicode (UTF-8 on POSIX, UTF-16 on Windows), converted to UTF-8; otherwise
// nothing.
std::optional<std::string> environment_utf8(const char* name);

// True when a file-system entry (file, directory, ...) exists at the path;
// a relative path is taken against the current directory.
bool entry_exists(const std::string& utf8_path);

// Loads one file. Never throws; on failure returns the reason text.
LoadResult load_library(const std::string& utf8_path);

// Releases a library this process loaded but does not keep.
void release_library(LibraryHandle handle);

// Fresh zero-filled pages straight from the system, mapped for one call.
// Nothing here touches them: a page costs something only once somebody
// writes it, so a large block of which the Reader library fills a few pages
// costs a mapping and those few pages. Returns nullptr when the system
// refuses; the caller then takes the memory elsewhere.
void* map_zeroed(std::size_t bytes);
void unmap_zeroed(void* block, std::size_t bytes);

// Size of the pages map_zeroed hands out.
std::size_t page_bytes();

// Makes whole pages of a block from map_zeroed read zero again by handing
// them back to the system, which gives fresh zero pages on the next write:
// no byte is cleared and pages nobody wrote cost next to nothing. `block`
// and `bytes` are multiples of page_bytes(). False when the system refuses;
// the pages' contents are then unknown and the block must be unmapped.
bool rezero_pages(void* block, std::size_t bytes);

// Finds an exported function by exact name. On failure returns nullptr and
// writes the loader's reason text into `reason`. Only the failure path
// builds a string.
void* find_symbol(LibraryHandle handle, const char* name, std::string& reason);

}  // namespace corvix::platform
