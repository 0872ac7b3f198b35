// Each thread keeps the last large mapping its calls used, zero again, for
// the next call that needs one.
//
// A fresh mapping per call costs two system calls and a page fault (a page
// cleared by the kernel) for every array the Reader library writes: several
// microseconds, which is more than the whole work of a call that answers a
// few points. A spare mapping costs none of that. Before it is kept, every
// byte of it is made zero again: the pages the call says were written (the
// warm ranges) are cleared in place and stay mapped, so the next call writes
// them without a fault; every other page is handed back to the system
// (platform::rezero_pages), which makes it a fresh zero page whether or not
// anybody wrote it. So no byte the Reader library may have written, inside
// what the call said or not, reaches the next call.
//
// One spare per thread, so no lock; the thread's exit unmaps it.
#pragma once

#include <cstddef>

namespace corvix::spare_mapping {

// Part of a mapping that a call says was written.
struct Range {
    std::size_t offset = 0;
    std::size_t bytes = 0;
};

// The warm ranges of one block: one per array of the call.
inline constexpr std::size_t kMaxRanges = 8;

// Of each warm range at most this many bytes are cleared in place and stay
// mapped; the rest goes back to the system.
inline constexpr std::size_t kWarmBytes = std::size_t{256} << 10;

// Mappings larger than this are unmapped after the call, not kept.
inline constexpr std::size_t kKeptBytes = std::size_t{256} << 20;

struct Mapping {
    void* base = nullptr;
    std::size_t bytes = 0;  // whole pages
};

// A zero-filled mapping of at least `bytes`: the thread's spare when it is
// large enough, else a fresh one. base is nullptr when the system refuses.
Mapping take(std::size_t bytes);

// Ends a call's use of a mapping from take(): zero again and kept as the
// thread's spare, or unmapped.
void give_back(Mapping mapping, const Range* written, std::size_t ranges);

}  // namespace corvix::spare_mapping
