// Memory that a call owns and lends to the Reader library: zero-filled when
// the library first sees it, reserved for one call, released on every path,
// visible to tracemalloc.
//
// Two roads to a zero-filled block:
//   * the interpreter's allocator (PyMem_Calloc): cheap for small blocks, but
//     it hands back recycled memory that must be cleared in full, so its cost
//     grows with the size asked for;
//   * pages mapped from the system: they are zero already and cost
//     something only where somebody writes them, so a large array of which
//     the Reader library fills a few points costs those few pages, whatever
//     the capacity. The thread's last mapping is kept, zero again, for its
//     next call (spare_mapping.h): a call that tells the block which parts
//     were written (written()) lets those pages be cleared in place rather
//     than faulted in afresh next time.
// Blocks of kMappedBytesPerArray per array and more take the second road.
// The parallel result arrays of one call share one block, so they cost one
// mapping.
//
// Sanitizer builds keep every buffer on the instrumented heap, each array a
// block of its own, so that a read or write past any of them is caught.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>

#include "platform.h"
#include "spare_mapping.h"

namespace corvix {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

// A zero-filled block of at least this many bytes per array it holds is
// mapped from the system. Below it, clearing recycled heap memory costs
// less than making the thread's spare mapping zero again (a system call,
// about 1.5 us on this project's 2-core virtual machines, plus one cleared
// page per array); above it, the clearing costs more and grows with the
// size while the mapping does not. Measured against the stand-in with both
// interpreter allocators (pymalloc over glibc malloc on 3.11, mimalloc on
// the free-threaded build): for one, two and five arrays the two roads cost
// the same between 32 and 64 KiB per array.
inline constexpr std::size_t kMappedBytesPerArray = kSanitized ? SIZE_MAX : std::size_t{64} << 10;

// A block the system refuses to map is taken from the heap only below this
// size: the heap may have that much room in memory it already holds, while a
// larger block would make it ask the system again, and an allocator that
// maps without reserving (mimalloc, the free-threaded build's) would hand out
// memory the system just refused to promise, so that the process crashes
// when it is written. Larger blocks raise MemoryError.
inline constexpr std::size_t kHeapFallbackBytes = std::size_t{256} << 20;

// Zero-filled bytes owned for one call. With zero bytes nothing is reserved.
class ZeroedBlock {
public:
    ZeroedBlock() = default;
    ZeroedBlock(const ZeroedBlock&) = delete;
    ZeroedBlock& operator=(const ZeroedBlock&) = delete;
    ~ZeroedBlock() { release(); }

    // False with MemoryError set when the memory cannot be had. `arrays`:
    // how many arrays the block holds side by side.
    bool reserve(std::size_t bytes, std::size_t arrays = 1);
    void* data() const { return data_; }
    std::size_t size() const { return bytes_; }

    // Says that the Reader library wrote `bytes` from `offset` (a hint for
    // the mapped road: whatever it says, every byte is zero again before the
    // memory serves another call).
    void written(std::size_t offset, std::size_t bytes) {
        if (mapped_ && warm_count_ < warm_.size()) warm_[warm_count_++] = {offset, bytes};
    }

    // Takes ownership of memory from PyMem_Malloc/Realloc.
    void adopt(void* heap_block, std::size_t bytes) {
        release();
        data_ = heap_block;
        bytes_ = bytes;
    }
    // Gives up the memory without freeing it (after PyMem_Realloc moved it).
    void forget() {
        data_ = nullptr;
        bytes_ = 0;
        mapped_ = false;
        warm_count_ = 0;
    }
    void release();

private:
    void* data_ = nullptr;
    std::size_t bytes_ = 0;
    std::size_t mapping_bytes_ = 0;  // the whole mapping, on the mapped road
    bool mapped_ = false;
    std::array<spare_mapping::Range, spare_mapping::kMaxRanges> warm_{};
    std::size_t warm_count_ = 0;
};

// `count` zero-filled elements owned for one call. With zero elements
// nothing is reserved and data() points at a private empty slot, never at
// null.
template <class T>
class Buffer {
public:
    bool reserve(std::size_t count) {
        if (count == 0) return true;
        if (count > SIZE_MAX / sizeof(T)) {
            PyErr_NoMemory();
            return false;
        }
        if (!block_.reserve(count * sizeof(T))) return false;
        size_ = count;
        return true;
    }
    T* data() { return block_.data() != nullptr ? static_cast<T*>(block_.data()) : empty_; }
    const T* data() const { return block_.data() != nullptr ? static_cast<const T*>(block_.data()) : empty_; }
    std::size_t size() const { return size_; }
    // The Reader library wrote the first `count` elements.
    void written(std::size_t count) { block_.written(0, (count < size_ ? count : size_) * sizeof(T)); }

    // Takes ownership of memory from PyMem_Malloc/Realloc.
    void adopt(T* data, std::size_t size) {
        block_.adopt(data, size * sizeof(T));
        size_ = size;
    }
    // Gives up the memory without freeing it (after PyMem_Realloc moved it).
    void release_raw() {
        block_.forget();
        size_ = 0;
    }

private:
    ZeroedBlock block_;
    std::size_t size_ = 0;
    T empty_[1]{};
};

namespace buffers {

// Offsets of parallel arrays of `count` elements each inside one block, each
// array starting on a multiple of `alignment`, and the block's size; false
// when the size does not fit in size_t.
template <std::size_t N>
bool layout(std::size_t count, const std::array<std::size_t, N>& element_bytes, std::size_t alignment,
            std::array<std::size_t, N>& offsets, std::size_t& total) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < N; ++i) {
        if (at > SIZE_MAX - alignment) return false;
        at = (at + alignment - 1) / alignment * alignment;
        offsets[i] = at;
        if (count > (SIZE_MAX - at) / element_bytes[i]) return false;
        at += count * element_bytes[i];
    }
    total = at;
    return true;
}

}  // namespace buffers

// Parallel arrays of one capacity, one per element type, reserved together:
// one block (one mapping when large) in ordinary builds, one block per array
// in sanitizer builds.
template <class... Ts>
class ParallelArrays {
public:
    static constexpr std::size_t N = sizeof...(Ts);

    // False with MemoryError set when the memory cannot be had; whatever was
    // reserved is released with the object.
    bool reserve(std::size_t count) {
        capacity_ = count;
        if (count == 0) return true;
        constexpr std::array<std::size_t, N> element_bytes{sizeof(Ts)...};
        if constexpr (kSanitized) {
            for (std::size_t i = 0; i < N; ++i) {
                if (count > SIZE_MAX / element_bytes[i]) return no_memory();
                if (!separate_[i].reserve(count * element_bytes[i])) return false;
                parts_[i] = separate_[i].data();
            }
        } else {
            // Every array starts on a cache line, so that each keeps the
            // alignment its elements need.
            std::array<std::size_t, N> offsets{};
            std::size_t total = 0;
            if (!buffers::layout<N>(count, element_bytes, 64, offsets, total)) return no_memory();
            if (!block_.reserve(total, N)) return false;
            auto* base = static_cast<unsigned char*>(block_.data());
            for (std::size_t i = 0; i < N; ++i) parts_[i] = base + offsets[i];
            offsets_ = offsets;
        }
        return true;
    }

    // The Reader library wrote the first `count` elements of every array.
    void written(std::size_t count) {
        if constexpr (!kSanitized) {
            constexpr std::array<std::size_t, N> element_bytes{sizeof(Ts)...};
            std::size_t n = count < capacity_ ? count : capacity_;
            for (std::size_t i = 0; i < N; ++i) block_.written(offsets_[i], n * element_bytes[i]);
        }
    }

    template <std::size_t I>
    auto* get() {
        using T = std::tuple_element_t<I, std::tuple<Ts...>>;
        return parts_[I] != nullptr ? static_cast<T*>(parts_[I]) : reinterpret_cast<T*>(empty_);
    }
    std::size_t capacity() const { return capacity_; }

private:
    static bool no_memory() {
        PyErr_NoMemory();
        return false;
    }

    std::array<void*, N> parts_{};
    std::array<std::size_t, N> offsets_{};
    std::size_t capacity_ = 0;
    ZeroedBlock block_;
    std::array<ZeroedBlock, kSanitized ? N : 0> separate_;
    alignas(16) unsigned char empty_[16]{};
};

}  // namespace corvix
