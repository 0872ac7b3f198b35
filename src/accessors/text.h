// Text call shapes: the entry point writes into a zero-filled byte buffer of
// fixed capacity and returns a status; negative is failure. The buffer's
// text ends at its first zero byte or at the capacity (the status is never a
// length here).
#pragma once

#include "../binding/call_frame.h"

namespace corvix {

// What a negative status gives.
enum class OnFailure { Raise, Empty };

// The common road: convert, obtain the library, reserve, look up, call.
// Returns the status, or nullopt with an exception set.
template <class Row, std::size_t Capacity, class... Kinds>
struct TextCall {
    Buffer<char> buffer;
    contract::Int status = 0;

    bool run(PyObject* const* argv) {
        std::tuple<typename Kinds::value...> values;
        platform::LibraryHandle library = convert_then_obtain<Row, Kinds...>(argv, values);
        if (library == nullptr) return false;

        if (!buffer.reserve(Capacity)) return false;
        using Entry = contract::TextEntry<typename Kinds::value...>;
        Entry entry = lookup_entry<Entry, Row>(library);
        if (entry == nullptr) return false;
        status = std::apply(
            [&](auto... v) { return entry(v..., buffer.data(), static_cast<contract::Int>(Capacity)); }, values);
        return true;
    }
};

// One str.
template <std::size_t Capacity, OnFailure Failure, class... Kinds>
struct SingleText {
    template <class Row>
    static PyObject* run(PyObject* const* argv) {
        TextCall<Row, Capacity, Kinds...> call;
        if (!call.run(argv)) return nullptr;
        if (call.status < 0) {
            if constexpr (Failure == OnFailure::Empty) return checked(PyUnicode_FromStringAndSize("", 0));
            return raise_status_failure(Row::entry);
        }
        return terminated_text(call.buffer.data(), Capacity);
    }
};

}  // namespace corvix

namespace corvix {

// A list of str split at every non-overlapping `Separator`. `EmptyIsNoItem`
// decides what an empty text gives: [] when true, [""] when false.
template <std::size_t Capacity, Text Separator, bool EmptyIsNoItem, OnFailure Failure, class... Kinds>
struct SplitText {
    template <class Row>
    static PyObject* run(PyObject* const* argv) {
        TextCall<Row, Capacity, Kinds...> call;
        if (!call.run(argv)) return nullptr;
        if (call.status < 0) {
            if constexpr (Failure == OnFailure::Empty) return checked(PyList_New(0));
            return raise_status_failure(Row::entry);
        }
        std::size_t length = terminated_length(call.buffer.data(), Capacity);
        if (EmptyIsNoItem && length == 0) return checked(PyList_New(0));
        return split_text(call.buffer.data(), length, Separator.value, Separator.length);
    }
};

}  // namespace corvix
