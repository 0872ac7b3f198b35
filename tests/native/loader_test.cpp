// The platform layer and the library search, run on the real system against
// the stand-in Reader library: built for Linux, and with MinGW-w64 for
// Windows, where it runs under Wine. No Python is involved.
//
//   loader_test list
//   loader_test run <case> <stand-in root> <scratch directory>
//
// The stand-in root holds the variants full/, missing/ (no get_revision),
// empty/ (no entry points), not_a_library/ (a text file) and a_directory/ (a
// directory), each as VelmarNativeReader.dll. Every case runs in a process of
// its own, in a fresh directory under the scratch directory: a process keeps
// what it has loaded, and on Windows a library already loaded answers to its
// bare name.
#include <barrier>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "library_search.h"
#include "platform.h"
#include "spare_mapping.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#include <stdlib.h>
#endif

namespace fs = std::filesystem;
using corvix::platform::LibraryHandle;
namespace platform = corvix::platform;
namespace search = corvix::search;

namespace {

// ---------------------------------------------------------------------------
// Checks

int g_failures = 0;

void fail(const char* file, int line, const std::string& what) {
    ++g_failures;
    std::printf("FAIL %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stdout);
}

#define CHECK(cond) \
    do { if (!(cond)) fail(__FILE__, __LINE__, #cond); } while (0)
#define CHECK_TEXT(actual, expected)                                                                  \
    do {                                                                                              \
        const std::string a_ = (actual), e_ = (expected);                                             \
        if (a_ != e_) fail(__FILE__, __LINE__, "got \"" + a_ + "\"\n    expected \"" + e_ + "\""); \
    } while (0)

// ---------------------------------------------------------------------------
// The system's own words, and the test's view of the system

#ifdef _WIN32
constexpr char kLoadCall[] = "LoadLibraryExW failed";
constexpr char kLookupCall[] = "GetProcAddress failed";
#else
constexpr char kLoadCall[] = "dlopen failed";
constexpr char kLookupCall[] = "dlsym failed";
#endif

// A reason text for a failed call that the system did report. Windows gives
// the call's name alone, character for character; POSIX adds the system's
// description, which is the system's to word.
bool is_reported_reason(const std::string& reason, const char* call) {
#ifdef _WIN32
    return reason == call;
#else
    const std::string prefix = std::string(call) + ": ";
    return reason.size() > prefix.size() && reason.compare(0, prefix.size(), prefix) == 0;
#endif
}

// `message` is `head` followed by the reason text of a reported load failure.
void check_load_failure(const char* file, int line, const std::string& message, const std::string& head) {
    if (message.compare(0, head.size(), head) != 0 || !is_reported_reason(message.substr(head.size()), kLoadCall))
        fail(file, line, "got \"" + message + "\"\n    expected \"" + head + kLoadCall + "...\"");
}
#define CHECK_LOAD_FAILURE(message, head) check_load_failure(__FILE__, __LINE__, message, head)

std::string utf8(const fs::path& p) {
    std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

#ifdef _WIN32
fs::path from_utf8(const std::string& s) { return fs::path(std::u8string(s.begin(), s.end())); }
#endif

void set_variable(const std::string& value) {
#ifdef _WIN32
    SetEnvironmentVariableW(L"VELMAR_NATIVE_LIB", from_utf8(value).c_str());
#else
    setenv("VELMAR_NATIVE_LIB", value.c_str(), 1);
#endif
}

// A value that is not valid Unicode: a lone surrogate on Windows, a byte
// that starts no UTF-8 sequence on POSIX.
void set_variable_not_unicode(const std::string& valid_prefix) {
#ifdef _WIN32
    std::wstring value = from_utf8(valid_prefix).wstring();
    value.push_back(static_cast<wchar_t>(0xD800));
    SetEnvironmentVariableW(L"VELMAR_NATIVE_LIB", value.c_str());
#else
    setenv("VELMAR_NATIVE_LIB", (valid_prefix + "\xff").c_str(), 1);
#endif
}

void unset_variable() {
#ifdef _WIN32
    SetEnvironmentVariableW(L"VELMAR_NATIVE_LIB", nullptr);
#else
    unsetenv("VELMAR_NATIVE_LIB");
#endif
}

// The file a loaded library was mapped from.
fs::path file_of(LibraryHandle library) {
#ifdef _WIN32
    wchar_t name[32768];
    DWORD n = GetModuleFileNameW(reinterpret_cast<HMODULE>(library), name, 32768);
    return fs::path(std::wstring(name, n));
#else
    struct link_map* map = nullptr;
    if (dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return {};
    return fs::path(map->l_name);
#endif
}

bool same_file(LibraryHandle library, const fs::path& expected) {
    std::error_code ec;
    return library != nullptr && fs::equivalent(file_of(library), expected, ec);
}

// Whether the library at `file` is mapped in this process, asked without
// loading it.
bool is_loaded(const fs::path& file) {
#ifdef _WIN32
    return GetModuleHandleW(fs::absolute(file).c_str()) != nullptr;
#else
    void* handle = dlopen(fs::absolute(file).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) dlclose(handle);
    return handle != nullptr;
#endif
}

// ---------------------------------------------------------------------------
// The system as the search sees it, watched: every call is logged, the first
// candidate can be hidden, loads can be sent to another file and held at a
// barrier.

struct Watch {
    std::mutex mutex;
    std::vector<std::string> log;
    bool hide_first_candidate = false;
    std::function<std::string(const std::string&)> redirect;
    std::barrier<>* hold_loads = nullptr;

    void note(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        log.push_back(line);
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(log, {});
    }
};
Watch g_watch;

const search::SystemCalls kWatchedCalls = {
    [](const char* name, std::optional<std::string>& value) {
        g_watch.note(std::string("env ") + name);
        return search::read_platform_environment(name, value);
    },
    [](const std::string& path) {
        g_watch.note("exists " + path);
        if (g_watch.hide_first_candidate && path == search::first_candidate()) return false;
        return platform::entry_exists(path);
    },
    [](const std::string& path) {
        g_watch.note("load " + path);
        platform::LoadResult result = platform::load_library(g_watch.redirect ? g_watch.redirect(path) : path);
        if (g_watch.hold_loads != nullptr) g_watch.hold_loads->arrive_and_wait();
        return result;
    },
    [](LibraryHandle library) {
        g_watch.note("release");
        platform::release_library(library);
    },
};

using Log = std::vector<std::string>;

std::string joined(const Log& log) {
    std::string out;
    for (const std::string& line : log) out += (out.empty() ? "" : " | ") + line;
    return out;
}
#define CHECK_LOG(actual, ...) CHECK_TEXT(joined(actual), joined(Log{__VA_ARGS__}))

const std::string kBare = search::first_candidate();
const std::string kDotted = search::second_candidate();
const std::string kEnv = std::string("env ") + search::kEnvironmentVariable;

// ---------------------------------------------------------------------------
// Cases. Each starts with the variable unset, in an empty current directory.

struct Context {
    fs::path stubs;  // stand-in root
    fs::path here;   // this case's directory, the current directory

    fs::path variant(const char* name) const { return stubs / name / search::kLibraryFile; }
    // Copies a variant to `dir` (under the case directory) and returns the copy.
    fs::path place(const char* name, const fs::path& dir) const {
        fs::create_directories(here / dir);
        fs::path target = here / dir / search::kLibraryFile;
        fs::copy(variant(name), target, fs::copy_options::recursive);
        return target;
    }
};

void not_found_until_the_file_appears(const Context& c) {
    search::LibrarySlot slot(kWatchedCalls);
    CHECK_TEXT(slot.obtain().error, "Dylib not found and VELMAR_NATIVE_LIB not set.");
    CHECK_LOG(g_watch.take(), kEnv, "exists " + kBare, "exists " + kDotted);
    // Failures are not remembered: the next call searches again.
    CHECK_TEXT(slot.obtain().error, "Dylib not found and VELMAR_NATIVE_LIB not set.");
    CHECK(g_watch.take().size() == 3);
    fs::path file = c.place("full", ".");
    search::Outcome found = slot.obtain();
    CHECK(found.error.empty());
    CHECK(same_file(found.library, file));
    CHECK(slot.stored() == found.library);
}

// The bare name is handed to the loader as written and finds the file in the
// current directory.
void bare_name_loads_the_file_in_the_current_directory(const Context& c) {
    fs::path file = c.place("full", ".");
    search::LibrarySlot slot(kWatchedCalls);
    search::Outcome found = slot.obtain();
    CHECK_TEXT(found.error, "");
    CHECK_LOG(g_watch.take(), kEnv, "exists " + kBare, "load " + kBare);
    CHECK(same_file(found.library, file));
    std::string reason;
    CHECK(platform::find_symbol(found.library, "get_revision", reason) != nullptr);
    // Once stored, the library is returned without touching the system.
    CHECK(slot.obtain().library == found.library);
    CHECK(g_watch.take().empty());
}

void second_candidate_is_tried_when_the_first_names_nothing(const Context& c) {
    fs::path file = c.place("full", ".");
    g_watch.hide_first_candidate = true;
    search::LibrarySlot slot(kWatchedCalls);
    search::Outcome found = slot.obtain();
    CHECK_TEXT(kDotted, "./VelmarNativeReader.dll");
    CHECK_TEXT(found.error, "");
    CHECK_LOG(g_watch.take(), kEnv, "exists " + kBare, "exists " + kDotted, "load " + kDotted);
    CHECK(same_file(found.library, file));
}

void candidate_that_fails_to_load_ends_the_search(const Context& c) {
    c.place("not_a_library", ".");
    search::LibrarySlot slot(kWatchedCalls);
    CHECK_LOAD_FAILURE(slot.obtain().error, "Failed to load dylib VelmarNativeReader.dll: ");
    CHECK_LOG(g_watch.take(), kEnv, "exists " + kBare, "load " + kBare);
    CHECK(slot.stored() == nullptr);
}

void directory_at_the_candidate_path_counts_as_existing(const Context& c) {
    fs::create_directory(c.here / search::kLibraryFile);
    search::LibrarySlot slot(kWatchedCalls);
    CHECK_LOAD_FAILURE(slot.obtain().error, "Failed to load dylib VelmarNativeReader.dll: ");
    CHECK_LOG(g_watch.take(), kEnv, "exists " + kBare, "load " + kBare);
}

void variable_is_used_before_the_candidates(const Context& c) {
    c.place("full", ".");
    fs::path chosen = c.place("missing", "chosen");
    set_variable(utf8(chosen));
    search::LibrarySlot slot(kWatchedCalls);
    search::Outcome found = slot.obtain();
    CHECK_TEXT(found.error, "");
    CHECK_LOG(g_watch.take(), kEnv, "exists " + utf8(chosen), "load " + utf8(chosen));
    CHECK(same_file(found.library, chosen));
    std::string reason;
    CHECK(platform::find_symbol(found.library, "get_revision", reason) == nullptr);
}

void variable_that_names_nothing_is_passed_over(const Context& c) {
    fs::path file = c.place("full", ".");
    std::string nothing = utf8(c.here / "nothing" / search::kLibraryFile);
    set_variable(nothing);
    search::LibrarySlot slot(kWatchedCalls);
    search::Outcome found = slot.obtain();
    CHECK_TEXT(found.error, "");
    CHECK_LOG(g_watch.take(), kEnv, "exists " + nothing, "exists " + kBare, "load " + kBare);
    CHECK(same_file(found.library, file));
}

void variable_that_is_not_unicode_is_ignored(const Context& c) {
    fs::path file = c.place("full", ".");
    set_variable_not_unicode(utf8(c.variant("missing")));
    search::LibrarySlot slot(kWatchedCalls);
    search::Outcome found = slot.obtain();
    CHECK_TEXT(found.error, "");
    CHECK_LOG(g_watch.take(), kEnv, "exists " + kBare, "load " + kBare);
    CHECK(same_file(found.library, file));
}

void variable_that_fails_to_load_ends_the_search(const Context& c) {
    c.place("full", ".");
    std::string bad = utf8(c.place("not_a_library", "bad"));
    set_variable(bad);
    search::LibrarySlot slot(kWatchedCalls);
    CHECK_LOAD_FAILURE(slot.obtain().error, "Failed to load override dylib " + bad + ": ");
    CHECK_LOG(g_watch.take(), kEnv, "exists " + bad, "load " + bad);
    CHECK(slot.stored() == nullptr);
}

// Paths outside ASCII go through the wide-character conversion (Windows) in
// both directions: into the existence test and the loader, and back out of
// the environment into the messages.
void paths_outside_ascii_round_trip(const Context& c) {
    const fs::path dir = fs::path(u8"Biblioth\u00e8que \u03a9 \u6570\u636e");
    fs::path good = c.place("full", dir);
    fs::path bad = c.place("not_a_library", dir / u8"d\u00e9fectueux");
    std::string good_text = utf8(good), bad_text = utf8(bad);
    CHECK(good_text.find("\xce\xa9") != std::string::npos);  // the path really holds UTF-8

    set_variable(good_text);
    {
        search::LibrarySlot slot(kWatchedCalls);
        search::Outcome found = slot.obtain();
        CHECK_TEXT(found.error, "");
        CHECK_LOG(g_watch.take(), kEnv, "exists " + good_text, "load " + good_text);
        CHECK(same_file(found.library, good));
    }
    set_variable(bad_text);
    {
        search::LibrarySlot slot(kWatchedCalls);
        CHECK_LOAD_FAILURE(slot.obtain().error, "Failed to load override dylib " + bad_text + ": ");
    }
    unset_variable();
    {
        search::LibrarySlot slot(kWatchedCalls);
        const std::string missing = utf8(c.here / dir / u8"\u00e9\u00e9" / search::kLibraryFile);
        CHECK_TEXT(slot.set_path(missing).error, "Dylib not found at: " + missing);
        CHECK_LOAD_FAILURE(slot.set_path(bad_text).error, "Failed to load dylib " + bad_text + ": ");
        search::Outcome found = slot.set_path(good_text);
        CHECK_TEXT(found.error, "");
        CHECK(same_file(found.library, good));
    }
}

void set_path_loads_once_and_then_examines_nothing(const Context& c) {
    search::LibrarySlot slot(kWatchedCalls);
    CHECK_TEXT(slot.set_path("missing.dll").error, "Dylib not found at: missing.dll");
    std::string bad = utf8(c.variant("not_a_library"));
    CHECK_LOAD_FAILURE(slot.set_path(bad).error, "Failed to load dylib " + bad + ": ");
    std::string directory = utf8(c.variant("a_directory"));
    CHECK_LOAD_FAILURE(slot.set_path(directory).error, "Failed to load dylib " + directory + ": ");
    CHECK(slot.stored() == nullptr);
    g_watch.take();

    fs::path good = c.place("full", "chosen");
    search::Outcome found = slot.set_path(utf8(good));
    CHECK_TEXT(found.error, "");
    CHECK(same_file(found.library, good));
    CHECK(slot.stored() == found.library);
    g_watch.take();
    // Stored: later calls neither test files nor read the variable.
    set_variable(bad);
    CHECK(slot.set_path("missing.dll").library == found.library);
    CHECK(slot.obtain().library == found.library);
    CHECK(g_watch.take().empty());
}

// The first store wins; a library that loses is released.
void store_keeps_the_first_library(const Context& c) {
    fs::path first = c.place("full", "first"), second = c.place("full", "second");
    search::LibrarySlot slot(kWatchedCalls);
    platform::LoadResult a = platform::load_library(utf8(first));
    platform::LoadResult b = platform::load_library(utf8(second));
    CHECK(a.handle != nullptr && b.handle != nullptr && a.handle != b.handle);
    CHECK(slot.store(a.handle) == a.handle);
    CHECK(slot.store(b.handle) == a.handle);
    CHECK_LOG(g_watch.take(), "release");
    CHECK(is_loaded(first));
    CHECK(!is_loaded(second));
}

// Threads that all load before any of them stores: one library is kept by
// every thread, and each loser has released its own.
void race_for_the_store(const Context& c) {
    constexpr int kThreads = 6;
    std::vector<fs::path> copies;
    for (int i = 0; i < kThreads; ++i) copies.push_back(c.place("full", "copy" + std::to_string(i)));
    c.place("full", ".");

    static thread_local int t_index = -1;
    g_watch.redirect = [&copies](const std::string&) { return utf8(copies.at(static_cast<size_t>(t_index))); };
    std::barrier<> all_loaded(kThreads);
    g_watch.hold_loads = &all_loaded;

    search::LibrarySlot slot(kWatchedCalls);
    std::vector<search::Outcome> outcomes(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            t_index = i;
            // Half come through the search, half through set_path.
            outcomes[static_cast<size_t>(i)] = i % 2 == 0 ? slot.obtain() : slot.set_path(kBare);
        });
    for (std::thread& t : threads) t.join();
    g_watch.hold_loads = nullptr;

    LibraryHandle kept = slot.stored();
    CHECK(kept != nullptr);
    int releases = 0, loaded = 0;
    for (const std::string& line : g_watch.take()) releases += line == "release";
    for (int i = 0; i < kThreads; ++i) {
        CHECK_TEXT(outcomes[static_cast<size_t>(i)].error, "");
        CHECK(outcomes[static_cast<size_t>(i)].library == kept);
        loaded += is_loaded(copies[static_cast<size_t>(i)]);
    }
    CHECK(releases == kThreads - 1);
    CHECK(loaded == 1);
    bool kept_is_a_copy = false;
    for (const fs::path& copy : copies) kept_is_a_copy = kept_is_a_copy || same_file(kept, copy);
    CHECK(kept_is_a_copy);
}

void lookup_by_exact_name(const Context& c) {
    std::string reason;
    platform::LoadResult full = platform::load_library(utf8(c.variant("full")));
    platform::LoadResult missing = platform::load_library(utf8(c.variant("missing")));
    platform::LoadResult empty = platform::load_library(utf8(c.variant("empty")));
    CHECK(full.handle != nullptr && missing.handle != nullptr && empty.handle != nullptr);

    CHECK(platform::find_symbol(full.handle, "get_revision", reason) != nullptr);
    CHECK(platform::find_symbol(full.handle, "get_centroid_stream_full", reason) != nullptr);
    CHECK_TEXT(reason, "");
    CHECK(platform::find_symbol(full.handle, "get_centroid_stream", reason) == nullptr);
    CHECK(is_reported_reason(reason, kLookupCall));

    reason.clear();
    CHECK(platform::find_symbol(missing.handle, "get_num_scans", reason) != nullptr);
    CHECK(platform::find_symbol(missing.handle, "get_revision", reason) == nullptr);
#ifdef _WIN32
    CHECK_TEXT(search::lookup_failure("get_revision", reason), "get function get_revision: GetProcAddress failed");
#else
    CHECK(search::lookup_failure("get_revision", reason).rfind("get function get_revision: dlsym failed: ", 0) == 0);
#endif
    reason.clear();
    CHECK(platform::find_symbol(empty.handle, "get_num_scans", reason) == nullptr);
    CHECK(is_reported_reason(reason, kLookupCall));
    CHECK(platform::find_symbol(empty.handle, "stub_entry_count", reason) != nullptr);

    // The form a reason takes when the system reports no error code.
    CHECK_TEXT(platform::failure_reason(kLoadCall, false), std::string(kLoadCall) + ", but system did not report the error");
}

// Windows: critical-error message boxes are off for the loading thread while
// it loads, and the thread's own mode is back afterwards; the process-wide
// mode is never touched.
void error_mode_is_switched_for_the_load_only(const Context& c) {
#ifdef _WIN32
    const UINT process_mode = GetErrorMode();
    for (DWORD before : {DWORD{0}, DWORD{SEM_NOGPFAULTERRORBOX}, DWORD{SEM_FAILCRITICALERRORS}}) {
        SetThreadErrorMode(before, nullptr);
        CHECK(!platform::load_library(utf8(c.variant("not_a_library"))).reason.empty());
        CHECK(GetThreadErrorMode() == before);
        CHECK(!platform::load_library(utf8(c.variant("a_directory"))).reason.empty());
        CHECK(GetThreadErrorMode() == before);
        CHECK(GetErrorMode() == process_mode);
    }
    SetThreadErrorMode(SEM_NOGPFAULTERRORBOX, nullptr);
    platform::LoadResult full = platform::load_library(utf8(c.place("full", "fresh")));
    CHECK(full.handle != nullptr);
    std::string reason;
    auto mode_at_load =
        reinterpret_cast<uint32_t (*)()>(platform::find_symbol(full.handle, "stub_thread_error_mode_at_load", reason));
    CHECK(mode_at_load != nullptr);
    if (mode_at_load != nullptr) CHECK(mode_at_load() == SEM_FAILCRITICALERRORS);
    CHECK(GetThreadErrorMode() == SEM_NOGPFAULTERRORBOX);
#else
    (void)c;
    std::printf("(no thread error mode on this platform)\n");
#endif
}

// Result arrays mapped fresh from the system read zero over their whole
// size, take writes anywhere in them, and each new block is zero again
// even after the last one was written all over and given back.
void mapped_blocks_are_zero_filled(const Context& c) {
    (void)c;
    for (std::size_t bytes : {std::size_t{1}, std::size_t{4096}, std::size_t{512} << 10, std::size_t{9} << 20}) {
        for (int round = 0; round < 3; ++round) {
            auto* block = static_cast<unsigned char*>(platform::map_zeroed(bytes));
            CHECK(block != nullptr);
            if (block == nullptr) return;
            std::size_t nonzero = 0;
            for (std::size_t i = 0; i < bytes; ++i) nonzero += block[i] != 0;
            CHECK(nonzero == 0);
            std::memset(block, 0xA5, bytes);
            CHECK(block[0] == 0xA5 && block[bytes - 1] == 0xA5);
            platform::unmap_zeroed(block, bytes);
        }
    }
    platform::unmap_zeroed(nullptr, 4096);  // nothing to give back: nothing happens
}

// A thread's spare mapping serves the next call zero-filled and writable,
// whatever the last call wrote inside or outside the ranges it said it wrote
// (so the pages handed back with rezero_pages read zero again, on each
// platform), and however the sizes of the calls alternate; another thread
// has a spare of its own.
void spare_mapping_comes_back_zero(const Context& c) {
    (void)c;
    namespace spare = corvix::spare_mapping;
    const std::size_t sizes[] = {std::size_t{600} << 10, std::size_t{9} << 20, std::size_t{700} << 10,
                                 std::size_t{9} << 20, std::size_t{1} << 20};
    const std::size_t page = platform::page_bytes();
    auto count_nonzero = [](const spare::Mapping& m) {
        std::size_t n = 0;
        for (std::size_t i = 0; i < m.bytes; ++i) n += static_cast<const unsigned char*>(m.base)[i] != 0;
        return n;
    };
    for (int hints = 0; hints < 3; ++hints) {
        for (std::size_t bytes : sizes) {
            spare::Mapping m = spare::take(bytes);
            CHECK(m.base != nullptr && m.bytes >= bytes && m.bytes % page == 0);
            if (m.base == nullptr) return;
            CHECK(count_nonzero(m) == 0);
            // Written all over, the last bytes of the mapping beyond the
            // block included; the hints name some of it (none, three
            // arrays' starts, or ranges larger than what stays warm).
            std::memset(m.base, 0xA5, m.bytes);
            spare::Range ranges[3] = {{0, 40}, {bytes / 3 + 64, hints == 2 ? bytes / 3 : 8000},
                                      {2 * bytes / 3 + 128, 5}};
            spare::give_back(m, ranges, hints == 0 ? 0 : 3);
        }
    }
    spare::Mapping mine = spare::take(std::size_t{600} << 10);
    CHECK(mine.base != nullptr);
    std::thread([&] {
        spare::Mapping theirs = spare::take(std::size_t{600} << 10);
        CHECK(theirs.base != nullptr && theirs.base != mine.base);
        CHECK(count_nonzero(theirs) == 0);
        std::memset(theirs.base, 0x11, theirs.bytes);
        spare::give_back(theirs, nullptr, 0);
    }).join();
    CHECK(count_nonzero(mine) == 0);
    spare::give_back(mine, nullptr, 0);
}

struct Case {
    const char* name;
    void (*run)(const Context&);
};

const Case kCases[] = {
    {"not_found_until_the_file_appears", not_found_until_the_file_appears},
    {"bare_name_loads_the_file_in_the_current_directory", bare_name_loads_the_file_in_the_current_directory},
    {"second_candidate_is_tried_when_the_first_names_nothing", second_candidate_is_tried_when_the_first_names_nothing},
    {"candidate_that_fails_to_load_ends_the_search", candidate_that_fails_to_load_ends_the_search},
    {"directory_at_the_candidate_path_counts_as_existing", directory_at_the_candidate_path_counts_as_existing},
    {"variable_is_used_before_the_candidates", variable_is_used_before_the_candidates},
    {"variable_that_names_nothing_is_passed_over", variable_that_names_nothing_is_passed_over},
    {"variable_that_is_not_unicode_is_ignored", variable_that_is_not_unicode_is_ignored},
    {"variable_that_fails_to_load_ends_the_search", variable_that_fails_to_load_ends_the_search},
    {"paths_outside_ascii_round_trip", paths_outside_ascii_round_trip},
    {"set_path_loads_once_and_then_examines_nothing", set_path_loads_once_and_then_examines_nothing},
    {"store_keeps_the_first_library", store_keeps_the_first_library},
    {"race_for_the_store", race_for_the_store},
    {"lookup_by_exact_name", lookup_by_exact_name},
    {"error_mode_is_switched_for_the_load_only", error_mode_is_switched_for_the_load_only},
    {"mapped_blocks_are_zero_filled", mapped_blocks_are_zero_filled},
    {"spare_mapping_comes_back_zero", spare_mapping_comes_back_zero},
};

int usage() {
    std::fprintf(stderr, "usage: loader_test list | run <case> <stand-in root> <scratch directory>\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "list") {
        for (const Case& c : kCases) std::printf("%s\n", c.name);
        return 0;
    }
    if (argc != 5 || std::string(argv[1]) != "run") return usage();
    const std::string name = argv[2];
    for (const Case& c : kCases) {
        if (name != c.name) continue;
        Context context{fs::absolute(argv[3]), fs::absolute(argv[4]) / name};
        fs::remove_all(context.here);
        fs::create_directories(context.here);
        fs::current_path(context.here);
        unset_variable();
        c.run(context);
        std::printf("%s %s\n", g_failures == 0 ? "ok" : "FAILED", c.name);
        return g_failures == 0 ? 0 : 1;
    }
    std::fprintf(stderr, "no case named %s\n", name.c_str());
    return 2;
}
