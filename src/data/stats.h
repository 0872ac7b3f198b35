// Scan statistics and dependent-scan details.
#pragma once

#include "../binding/call_frame.h"

namespace corvix {

// get_scan_stats(handle, scan_number) -> list of the 20 values of the block.
struct ScanStats {
    template <class Row>
    static PyObject* run(PyObject* const* argv) {
        std::tuple<contract::Int, contract::Int> values;
        platform::LibraryHandle library = convert_then_obtain<Row, Int, Int>(argv, values);
        if (library == nullptr) return nullptr;
        auto [handle, scan_number] = values;
        Buffer<double> block;
        if (!block.reserve(contract::kStatsValues)) return nullptr;
        auto entry = lookup_entry<contract::StatsEntry, Row>(library);
        if (entry == nullptr) return nullptr;
        if (entry(handle, scan_number, block.data()) < 0) return raise_status_failure(Row::entry);
        return real_list(block.data(), contract::kStatsValues);
    }
};

// get_scan_stats_scan_type(handle, scan_number): the counted text; a status
// of 0 gives None, a negative one raises.
template <std::size_t Capacity>
struct ScanTypeText {
    template <class Row>
    static PyObject* run(PyObject* const* argv) {
        std::tuple<contract::Int, contract::Int> values;
        platform::LibraryHandle library = convert_then_obtain<Row, Int, Int>(argv, values);
        if (library == nullptr) return nullptr;
        auto [handle, scan_number] = values;
        Buffer<char> buffer;
        if (!buffer.reserve(Capacity)) return nullptr;
        auto entry = lookup_entry<contract::TextEntry<contract::Int, contract::Int>, Row>(library);
        if (entry == nullptr) return nullptr;
        contract::Int status = entry(handle, scan_number, buffer.data(), static_cast<contract::Int>(Capacity));
        if (status < 0) return raise_status_failure(Row::entry);
        if (status == 0) Py_RETURN_NONE;
        return counted_text(buffer.data(), Capacity, status);
    }
};

// Dependent-scan details that fill a buffer: (handle, scan_number, ms_order,
// detail_index). The entry point is looked up before the buffer is reserved;
// a negative status gives None.
template <class Element, std::size_t Capacity>
struct DependentDetail {
    template <class Row>
    static PyObject* run(PyObject* const* argv) {
        std::tuple<contract::Int, contract::Int, contract::Int, contract::Int> values;
        platform::LibraryHandle library = convert_then_obtain<Row, Int, Int, Int, Int>(argv, values);
        if (library == nullptr) return nullptr;

        using Entry = contract::Int (*)(contract::Int, contract::Int, contract::Int, contract::Int, Element*,
                                        contract::Int);
        Entry entry = lookup_entry<Entry, Row>(library);
        if (entry == nullptr) return nullptr;
        Buffer<Element> buffer;
        if (!buffer.reserve(Capacity)) return nullptr;
        contract::Int status = std::apply(
            [&](auto... v) { return entry(v..., buffer.data(), static_cast<contract::Int>(Capacity)); }, values);
        if (status < 0) Py_RETURN_NONE;
        if constexpr (std::is_same_v<Element, char>) {
            return counted_text(buffer.data(), Capacity, status);
        } else {
            std::size_t n = static_cast<std::size_t>(status) < Capacity ? static_cast<std::size_t>(status) : Capacity;
            return real_list(buffer.data(), n);
        }
    }
};

}  // namespace corvix
