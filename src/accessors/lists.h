// List accessors: the sample's user texts (one text split at "###|###"),
// text-pointer slots filled by the Reader library, and a caller-sized array
// of floats.
#pragma once

#include "text.h"

namespace corvix {

// User texts: an empty text and a failed call both give [].
template <std::size_t Capacity, class... Kinds>
using UserTexts = SplitText<Capacity, Text("###|###"), true, OnFailure::Empty, Kinds...>;

// Reads the texts behind the first min(status, Slots) slots, skipping nulls.
// The texts stay the Reader library's: copied, never released.
PyObject* slot_texts(const char* const* slots, std::size_t count);

template <std::size_t Slots, class... Kinds>
struct PointerSlots {
    template <class Row>
    static PyObject* run(PyObject* const* argv) {
        std::tuple<typename Kinds::value...> values;
        platform::LibraryHandle library = convert_then_obtain<Row, Kinds...>(argv, values);
        if (library == nullptr) return nullptr;

        Buffer<const char*> slots;
        if (!slots.reserve(Slots)) return nullptr;
        using Entry = contract::SlotsEntry<typename Kinds::value...>;
        Entry entry = lookup_entry<Entry, Row>(library);
        if (entry == nullptr) return nullptr;
        contract::Int status = std::apply(
            [&](auto... v) { return entry(v..., slots.data(), static_cast<contract::Int>(Slots)); }, values);
        if (status < 0) return raise_status_failure(Row::entry);
        std::size_t count = static_cast<std::size_t>(status) < Slots ? static_cast<std::size_t>(status) : Slots;
        return slot_texts(slots.data(), count);
    }
};

// (handle, max_size): max_size floats, the first min(status, max_size) returned.
struct CallerSizedReals {
    template <class Row>
    static PyObject* run(PyObject* const* argv) {
        std::tuple<contract::Int, contract::Int> values;
        platform::LibraryHandle library = convert_then_obtain<Row, Int, Int>(argv, values);
        if (library == nullptr) return nullptr;
        auto [handle, max_size] = values;
        std::size_t capacity = capacity_of(max_size);
        Buffer<double> array;
        if (!array.reserve(capacity)) return nullptr;
        using Entry = contract::ArrayEntry<contract::Handle>;
        Entry entry = lookup_entry<Entry, Row>(library);
        if (entry == nullptr) return nullptr;
        contract::Int status = entry(handle, array.data(), max_size);
        if (status < 0) return raise_status_failure(Row::entry);
        std::size_t count = static_cast<std::size_t>(status) < capacity ? static_cast<std::size_t>(status) : capacity;
        array.written(count);
        return real_list(array.data(), count);
    }
};

}  // namespace corvix
