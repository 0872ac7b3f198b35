// Which Reader library file is loaded, and the once-only store that keeps it.
//
// This is the whole search with its messages, free of the Python headers: the
// module wraps it in loader.h, and the loader test program builds it with the
// platform layer alone, for Linux and for Windows. The search reaches the
// system only through a table of four calls, so a test can watch the order of
// the existence tests and loads, or hold a load back to force a race for the
// store, while the real platform calls still do the work.
#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "platform.h"

namespace corvix::search {

inline constexpr char kEnvironmentVariable[] = "VELMAR_NATIVE_LIB";
inline constexpr char kLibraryFile[] = "VelmarNativeReader.dll";
inline constexpr char kDirectoryPrefix[] = "./";
inline constexpr char kNotFound[] = "Dylib not found and VELMAR_NATIVE_LIB not set.";

// The system calls the search makes.
struct SystemCalls {
    // Reads an environment variable into `value`: its text when it is set and
    // valid Unicode, otherwise nothing. Returns false when the variable could
    // not be read at all; the reader has then reported why to its own caller
    // (the module: a pending Python error), and the search stops.
    bool (*read_environment)(const char* name, std::optional<std::string>& value);
    bool (*entry_exists)(const std::string& utf8_path);
    platform::LoadResult (*load_library)(const std::string& utf8_path);
    void (*release_library)(platform::LibraryHandle handle);
};

// The platform layer's own calls.
extern const SystemCalls kPlatformCalls;

// read_environment through platform::environment_utf8; never fails.
bool read_platform_environment(const char* name, std::optional<std::string>& value);

// Outcome of a search: the stored library, or no library and the message of
// the RuntimeError to raise, or (`unreadable_environment`) no library and no
// message because the environment could not be read.
struct Outcome {
    platform::LibraryHandle library = nullptr;
    std::string error;
    bool unreadable_environment = false;
};

// The candidates tried after the environment variable, in order: the bare
// file name, then the directory prefix joined with it.
std::string first_candidate();
std::string second_candidate();

// "get function <entry>: <reason>", the message of a failed entry-point lookup.
std::string lookup_failure(const char* entry, const std::string& reason);

// One library slot: empty until a search or set_path stores a library, then
// that library for good. The module has one for the process; a test may make
// as many as it likes.
class LibrarySlot {
public:
    constexpr explicit LibrarySlot(const SystemCalls& calls) noexcept : calls_(&calls) {}
    LibrarySlot(const LibrarySlot&) = delete;
    LibrarySlot& operator=(const LibrarySlot&) = delete;

    // The stored library, or nullptr. One atomic load.
    platform::LibraryHandle stored() const noexcept { return stored_.load(std::memory_order_acquire); }

    // The stored library; otherwise searches (the environment variable, then
    // the candidates), stores what it loads and returns it. A failure stores
    // nothing and is not remembered: the next call searches again.
    Outcome obtain();

    // Loads the library at `path` and stores it, unless a library is stored
    // already: then nothing is examined or loaded and the stored one is the
    // outcome.
    Outcome set_path(const std::string& path);

    // Stores `fresh` unless another library was stored first; in that case
    // releases `fresh`. Returns the library that is stored.
    platform::LibraryHandle store(platform::LibraryHandle fresh);

private:
    Outcome load_and_store(const std::string& path, const char* failure_prefix);

    const SystemCalls* calls_;
    std::atomic<platform::LibraryHandle> stored_{nullptr};
};

}  // namespace corvix::search
