#include "library_search.h"

namespace corvix::search {

bool read_platform_environment(const char* name, std::optional<std::string>& value) {
    value = platform::environment_utf8(name);
    return true;
}

const SystemCalls kPlatformCalls = {
    read_platform_environment,
    platform::entry_exists,
    platform::load_library,
    platform::release_library,
};

std::string first_candidate() { return kLibraryFile; }

std::string second_candidate() {
    std::string prefix = kDirectoryPrefix;
    if (!prefix.empty() && prefix.back() != '/') prefix += '/';
    return prefix + kLibraryFile;
}

std::string lookup_failure(const char* entry, const std::string& reason) {
    return std::string("get function ") + entry + ": " + reason;
}

platform::LibraryHandle LibrarySlot::store(platform::LibraryHandle fresh) {
    platform::LibraryHandle expected = nullptr;
    if (stored_.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return fresh;
    // Another thread stored first: this thread's own load is not kept. Loads
    // are counted, so this holds even when both loads gave the same handle.
    calls_->release_library(fresh);
    return expected;
}

Outcome LibrarySlot::load_and_store(const std::string& path, const char* failure_prefix) {
    platform::LoadResult loaded = calls_->load_library(path);
    if (loaded.handle == nullptr) return {nullptr, failure_prefix + path + ": " + loaded.reason};
    return {store(loaded.handle), {}};
}

Outcome LibrarySlot::obtain() {
    if (platform::LibraryHandle library = stored()) return {library, {}};
    // Nothing about earlier failures is remembered: every call searches anew.
    std::optional<std::string> path;
    if (!calls_->read_environment(kEnvironmentVariable, path)) return {nullptr, {}, true};
    // A value that names nothing is passed over without a word.
    if (path && calls_->entry_exists(*path)) return load_and_store(*path, "Failed to load override dylib ");
    // A candidate that exists but fails to load ends the search.
    for (const std::string& candidate : {first_candidate(), second_candidate()}) {
        if (calls_->entry_exists(candidate)) return load_and_store(candidate, "Failed to load dylib ");
    }
    return {nullptr, kNotFound};
}

Outcome LibrarySlot::set_path(const std::string& path) {
    // A library that is stored is never replaced; the path is not examined.
    if (platform::LibraryHandle library = stored()) return {library, {}};
    if (!calls_->entry_exists(path)) return {nullptr, "Dylib not found at: " + path};
    return load_and_store(path, "Failed to load dylib ");
}

}  // namespace corvix::search
