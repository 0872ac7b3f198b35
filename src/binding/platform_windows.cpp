// Windows implementation of the platform layer: LoadLibraryExW under
// SetThreadErrorMode, GetProcAddress, FreeLibrary, GetEnvironmentVariableW.
#ifdef _WIN32

#include "platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <vector>

namespace corvix::platform {

namespace {

// UTF-8 to UTF-16; the input always comes from a Python str or from the
// environment, both already valid.
std::wstring widen(const std::string& s) {
    if (s.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
    return out;
}

std::string reason_text(const char* what) { return failure_reason(what, GetLastError() != 0); }

}  // namespace

std::optional<std::string> environment_utf8(const char* name) {
    std::wstring wname = widen(name);
    DWORD needed = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
    if (needed == 0) return std::nullopt;
    std::vector<wchar_t> buffer(needed);
    DWORD got = GetEnvironmentVariableW(wname.c_str(), buffer.data(), needed);
    if (got == 0 || got >= needed) return std::nullopt;
    // WC_ERR_INVALID_CHARS refuses unpaired surrogates: such a value is not
    // valid Unicode and is ignored like an unset variable.
    int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, buffer.data(), static_cast<int>(got),
                                nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::nullopt;
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, buffer.data(), static_cast<int>(got), out.data(), n,
                        nullptr, nullptr);
    return out;
}

bool entry_exists(const std::string& utf8_path) {
    // A path with a zero byte names nothing the system could open.
    if (utf8_path.find('\0') != std::string::npos) return false;
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExW(widen(utf8_path).c_str(), GetFileExInfoStandard, &data) != 0;
}

LoadResult load_library(const std::string& utf8_path) {
    std::wstring wide = widen(utf8_path);
    DWORD previous = 0;
    BOOL changed = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous);
    SetLastError(0);
    HMODULE module = LoadLibraryExW(wide.c_str(), nullptr, 0);
    std::string reason;
    if (module == nullptr) reason = reason_text("LoadLibraryExW failed");
    if (changed) SetThreadErrorMode(previous, nullptr);
    return {reinterpret_cast<LibraryHandle>(module), reason};
}

void release_library(LibraryHandle handle) {
    if (handle != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(handle));
}

// Committed pages are demand-zero: the system clears each on first touch.
void* map_zeroed(std::size_t bytes) { return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE); }

void unmap_zeroed(void* block, std::size_t) {
    if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
}

std::size_t page_bytes() {
    static const std::size_t bytes = [] {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return info.dwPageSize > 0 ? static_cast<std::size_t>(info.dwPageSize) : std::size_t{4096};
    }();
    return bytes;
}

bool rezero_pages(void* block, std::size_t bytes) {
    if (bytes == 0) return true;
    // Decommitted pages lose their contents; committed again, they read zero.
    if (!VirtualFree(block, bytes, MEM_DECOMMIT)) return false;
    return VirtualAlloc(block, bytes, MEM_COMMIT, PAGE_READWRITE) == block;
}

void* find_symbol(LibraryHandle handle, const char* name, std::string& reason) {
    SetLastError(0);
    FARPROC address = GetProcAddress(reinterpret_cast<HMODULE>(handle), name);
    if (address == nullptr) reason = reason_text("GetProcAddress failed");
    return reinterpret_cast<void*>(address);
}

}  // namespace corvix::platform

#endif  // _WIN32
