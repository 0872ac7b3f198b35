// The mzML Reader library's own functions beyond the 186 entry points, see
// extension.def. Declared from that table, so a definition below with any
// other type fails to compile; no C++ exception leaves them.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "handles.h"

#if defined(_WIN32)
#define MZML_EXPORT __declspec(dllexport)
#else
#define MZML_EXPORT __attribute__((visibility("default")))
#endif

using std::int32_t;

#define MZML_EXTENSION(name, result, params) extern "C" MZML_EXPORT result name params noexcept;
#include "extension.def"
#undef MZML_EXTENSION

namespace {

constexpr int32_t kVersion = 1;
constexpr int32_t kValues = 3;  // precursor m/z, product m/z, declared points

int32_t count_of(std::size_t n) {
    return n > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()) ? std::numeric_limits<int32_t>::max()
                                                                             : static_cast<int32_t>(n);
}

// A chromatogram of an open handle, with its run kept alive for the call.
struct ChromatogramRef {
    std::shared_ptr<const mzml::RunView> view;
    const mzml::ChromatogramInfo* info = nullptr;
    std::size_t pos = 0;
};

ChromatogramRef chromatogram_of(int32_t handle, int32_t index) {
    ChromatogramRef r;
    auto h = mzml::HandleTable::instance().find(handle);
    if (!h || !h->view) return r;
    const auto& all = h->view->run().chromatograms();
    if (index < 0 || static_cast<std::size_t>(index) >= all.size()) return r;
    r.view = h->view;
    r.pos = static_cast<std::size_t>(index);
    r.info = &all[r.pos];
    return r;
}

// Runs an answer; any exception (memory exhausted) is a failure.
template <class F>
int32_t guarded(F&& answer) noexcept {
    try {
        return answer();
    } catch (...) {
        return -1;
    }
}

}  // namespace

int32_t corvix_mzml_extension_version() noexcept { return kVersion; }

int32_t corvix_mzml_chromatogram_count(int32_t handle) noexcept {
    return guarded([&] {
        auto h = mzml::HandleTable::instance().find(handle);
        return h && h->view ? count_of(h->view->run().chromatograms().size()) : -1;
    });
}

int32_t corvix_mzml_chromatogram_text(int32_t handle, int32_t index, int32_t which, char* buffer,
                                      int32_t capacity) noexcept {
    return guarded([&] {
        const ChromatogramRef c = chromatogram_of(handle, index);
        if (!c.info || (which != 0 && which != 1) || buffer == nullptr || capacity <= 0) return -1;
        const std::string& text = which == 0 ? c.info->id : c.info->kind;
        std::size_t n = std::min(text.size(), static_cast<std::size_t>(capacity) - 1);
        if (n < text.size())
            while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
        return count_of(text.size());
    });
}

int32_t corvix_mzml_chromatogram_values(int32_t handle, int32_t index, double* values, int32_t capacity) noexcept {
    return guarded([&] {
        const ChromatogramRef c = chromatogram_of(handle, index);
        if (!c.info || capacity < 0 || (capacity > 0 && values == nullptr)) return -1;
        const double all[kValues] = {c.info->precursor_mz, c.info->product_mz,
                                     static_cast<double>(c.info->array_length)};
        std::copy_n(all, std::min(capacity, kValues), values);
        return kValues;
    });
}

int32_t corvix_mzml_chromatogram_arrays(int32_t handle, int32_t index, double* times, double* intensities,
                                        int32_t capacity) noexcept {
    return guarded([&] {
        const ChromatogramRef c = chromatogram_of(handle, index);
        if (!c.info || capacity < 0 || (capacity > 0 && (times == nullptr || intensities == nullptr))) return -1;
        mzml::Arrays a;
        if (!c.view->run().read_chromatogram(c.pos, &a) || a.x.size() != a.y.size()) return -1;
        const std::size_t n = std::min(a.x.size(), static_cast<std::size_t>(capacity));
        std::copy_n(a.x.data(), n, times);
        std::copy_n(a.y.data(), n, intensities);
        return count_of(a.x.size());
    });
}
