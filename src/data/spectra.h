// Measured arrays: spectra, centroid streams, averaged spectra and
// chromatograms. The caller chooses the capacity; the module reserves exactly
// that many zero-filled elements per array, the Reader library returns how
// many points it has, and the lists hold min(count, capacity) items.
#pragma once

#include "../binding/call_frame.h"
#include "sequence.h"

namespace corvix {

inline std::size_t points_taken(contract::Int count, std::size_t capacity) {
    std::size_t available = static_cast<std::size_t>(count);
    return available < capacity ? available : capacity;
}

// Two parallel arrays of reals as (first list, second list).
PyObject* pair_of_lists(const double* first, const double* second, std::size_t count);

// The two result arrays of a spectrum-shaped call (masses or times, and
// intensities), zero-filled for `max_length` points each.
struct PointArrays {
    ParallelArrays<double, double> arrays;

    // A negative max_length is the internal fault "capacity overflow".
    bool reserve(contract::Int max_length) { return arrays.reserve(capacity_of(max_length)); }
    double* first() { return arrays.get<0>(); }
    double* second() { return arrays.get<1>(); }
    // (first list, second list) of min(count, capacity) points, or the status
    // failure of `entry` for a negative count.
    PyObject* result(contract::Int count, const char* entry) {
        if (count < 0) return raise_status_failure(entry);
        std::size_t n = points_taken(count, arrays.capacity());
        arrays.written(n);
        return pair_of_lists(first(), second(), n);
    }
};

// get_spectrum(handle, scan_number, max_length) -> (masses, intensities).
struct Spectrum {
    template <class Row>
    static PyObject* run(PyObject* const* argv) {
        std::tuple<contract::Int, contract::Int, contract::Int> values;
        platform::LibraryHandle library = convert_then_obtain<Row, Int, Int, Int>(argv, values);
        if (library == nullptr) return nullptr;
        auto [handle, scan_number, max_length] = values;
        PointArrays points;
        if (!points.reserve(max_length)) return nullptr;
        auto entry = lookup_entry<contract::SpectrumEntry, Row>(library);
        if (entry == nullptr) return nullptr;
        return points.result(entry(handle, scan_number, points.first(), points.second(), max_length),
                             Row::entry);
    }
};

// get_centroid_stream(handle, scan_number, max_length) -> four lists of
// floats, one list of ints and the two trailer values.
struct CentroidStream {
    template <class Row>
    static PyObject* run(PyObject* const* argv) {
        std::tuple<contract::Int, contract::Int, contract::Int> values;
        platform::LibraryHandle library = convert_then_obtain<Row, Int, Int, Int>(argv, values);
        if (library == nullptr) return nullptr;
        auto [handle, scan_number, max_length] = values;
        std::size_t capacity = capacity_of(max_length);
        ParallelArrays<double, double, double, double, contract::Int> arrays;
        Buffer<double> trailer;  // reserved also for a zero capacity
        if (!arrays.reserve(capacity) || !trailer.reserve(2)) return nullptr;
        auto entry = lookup_entry<contract::CentroidEntry, Row>(library);
        if (entry == nullptr) return nullptr;
        contract::Int count = entry(handle, scan_number, arrays.get<0>(), arrays.get<1>(), arrays.get<2>(),
                                    arrays.get<3>(), arrays.get<4>(), trailer.data(), max_length);
        if (count < 0) return raise_status_failure(Row::entry);
        double t1 = trailer.data()[0], t2 = trailer.data()[1];
        std::size_t n = points_taken(count, capacity);
        arrays.written(n);
        Ref l1(real_list(arrays.get<0>(), n));
        Ref l2(real_list(arrays.get<1>(), n));
        Ref l3(real_list(arrays.get<2>(), n));
        Ref l4(real_list(arrays.get<3>(), n));
        Ref li(int_list(arrays.get<4>(), n));
        Ref f1(real_result(t1));
        Ref f2(real_result(t2));
        return tuple_of(l1, l2, l3, l4, li, f1, f2);
    }
};

// get_averaged_spectrum(handle, scan_numbers, max_length) -> (masses, intensities).
struct AveragedSpectrum {
    template <class Row>
    static PyObject* run(PyObject* const* argv) {
        std::tuple<contract::Int, Sequence<contract::Int>, contract::Int> values;
        platform::LibraryHandle library = convert_then_obtain<Row, Int, IntSequence, Int>(argv, values);
        if (library == nullptr) return nullptr;
        contract::Int handle = std::get<0>(values);
        const Sequence<contract::Int>& scans = std::get<1>(values);
        contract::Int max_length = std::get<2>(values);
        PointArrays points;
        if (!points.reserve(max_length)) return nullptr;
        auto entry = lookup_entry<contract::AveragedEntry, Row>(library);
        if (entry == nullptr) return nullptr;
        return points.result(entry(handle, scans.data(), element_count(scans.count), points.first(),
                                   points.second(), max_length),
                             Row::entry);
    }

    static contract::Int element_count(std::size_t count) {
        if (count > static_cast<std::size_t>(INT32_MAX)) panic("sequence too long for the Reader library");
        return static_cast<contract::Int>(count);
    }
};

// get_chromatogram(handle, trace_type, filter, mass_ranges_start,
// mass_ranges_end, start_scan, end_scan, max_length) -> (times, intensities).
struct Chromatogram {
    template <class Row>
    static PyObject* run(PyObject* const* argv) {
        std::tuple<contract::Int, contract::Int, Utf8, Sequence<double>, Sequence<double>, contract::Int,
                   contract::Int, contract::Int>
            values;
        if (!convert_arguments<Row, Int, Int, Str, RealSequence, RealSequence, Int, Int, Int>(argv, values))
            return nullptr;
        auto& [handle, trace_type, filter, starts, ends, start_scan, end_scan, max_length] = values;
        // The Reader library reads as many ends as starts: a shorter end list
        // would be read past its end.
        if (ends.count < starts.count) {
            PyErr_SetString(PyExc_ValueError, "mass_ranges_end has fewer elements than mass_ranges_start");
            return nullptr;
        }
        contract::Int range_count = AveragedSpectrum::element_count(starts.count);
        platform::LibraryHandle library = obtain_library();
        if (library == nullptr) return nullptr;
        PointArrays points;
        if (!points.reserve(max_length)) return nullptr;
        if (filter.has_nul()) panic("filter contains a NUL character and cannot be passed as a C string");
        Buffer<char> filter_copy;
        if (!zero_terminated_copy(filter, filter_copy)) return nullptr;
        auto entry = lookup_entry<contract::ChromatogramEntry, Row>(library);
        if (entry == nullptr) return nullptr;
        return points.result(entry(handle, trace_type, filter_copy.data(), starts.data(), ends.data(), range_count,
                                   start_scan, end_scan, points.first(), points.second(), max_length),
                             Row::entry);
    }
};

}  // namespace corvix
