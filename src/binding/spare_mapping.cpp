#include "spare_mapping.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform.h"

namespace corvix::spare_mapping {

namespace {

struct Spare {
    Mapping mapping;
    Spare() = default;
    Spare(const Spare&) = delete;
    Spare& operator=(const Spare&) = delete;
    ~Spare() { platform::unmap_zeroed(mapping.base, mapping.bytes); }
};

thread_local Spare spare;

std::size_t round_up(std::size_t bytes, std::size_t unit) {
    std::size_t rest = bytes % unit;
    return rest == 0 ? bytes : (unit - rest > SIZE_MAX - bytes ? 0 : bytes + (unit - rest));
}

// Makes every byte of the mapping zero: the warm pages cleared in place, all
// others handed back to the system. False when the system refused.
bool make_zero(const Mapping& mapping, const Range* written, std::size_t ranges) {
    const std::size_t page = platform::page_bytes();
    auto* base = static_cast<unsigned char*>(mapping.base);
    // Warm page runs in ascending order (the arrays of a block lie in
    // ascending order), merged where they touch.
    std::size_t begins[kMaxRanges], ends[kMaxRanges], runs = 0;
    for (std::size_t i = 0; i < ranges && i < kMaxRanges; ++i) {
        std::size_t offset = std::min(written[i].offset, mapping.bytes);
        std::size_t bytes = std::min({written[i].bytes, kWarmBytes, mapping.bytes - offset});
        if (bytes == 0) continue;
        std::size_t begin = offset / page * page;
        std::size_t end = std::min(round_up(offset + bytes, page), mapping.bytes);
        if (runs > 0 && begin < begins[runs - 1]) return platform::rezero_pages(base, mapping.bytes);
        if (runs > 0 && begin <= ends[runs - 1]) {
            ends[runs - 1] = std::max(ends[runs - 1], end);
        } else {
            begins[runs] = begin;
            ends[runs] = end;
            ++runs;
        }
    }
    std::size_t at = 0;
    for (std::size_t r = 0; r < runs; ++r) {
        if (!platform::rezero_pages(base + at, begins[r] - at)) return false;
        std::memset(base + begins[r], 0, ends[r] - begins[r]);
        at = ends[r];
    }
    return platform::rezero_pages(base + at, mapping.bytes - at);
}

}  // namespace

Mapping take(std::size_t bytes) {
    if (spare.mapping.base != nullptr) {
        Mapping kept = spare.mapping;
        spare.mapping = {};
        if (kept.bytes >= bytes) return kept;
        // Too small: a larger one replaces it.
        platform::unmap_zeroed(kept.base, kept.bytes);
    }
    std::size_t rounded = round_up(bytes, platform::page_bytes());
    if (rounded == 0) return {};
    return {platform::map_zeroed(rounded), rounded};
}

void give_back(Mapping mapping, const Range* written, std::size_t ranges) {
    if (mapping.base == nullptr) return;
    if (mapping.bytes > kKeptBytes || !make_zero(mapping, written, ranges)) {
        platform::unmap_zeroed(mapping.base, mapping.bytes);
        return;
    }
    // Two large blocks in one call (an argument sequence and the result
    // arrays): the larger one stays.
    if (spare.mapping.base != nullptr) {
        if (spare.mapping.bytes >= mapping.bytes) {
            platform::unmap_zeroed(mapping.base, mapping.bytes);
            return;
        }
        platform::unmap_zeroed(spare.mapping.base, spare.mapping.bytes);
    }
    spare.mapping = mapping;
}

}  // namespace corvix::spare_mapping
