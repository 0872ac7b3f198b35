// Field-by-field equality of what the open pass learns (NaN equals NaN),
// for comparing the two tokenizer paths in tools and fuzzing.
#pragma once

#include <cmath>

#include "document.h"

namespace mzml {

inline bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

inline bool same(const Precursor& a, const Precursor& b) {
    return same(a.selected_mz, b.selected_mz) && same(a.isolation_target, b.isolation_target) &&
           same(a.isolation_lower, b.isolation_lower) && same(a.isolation_upper, b.isolation_upper) &&
           a.charge == b.charge && same(a.selected_intensity, b.selected_intensity) && a.activation == b.activation &&
           a.supplemental == b.supplemental && same(a.collision_energy, b.collision_energy) &&
           a.spectrum_ref == b.spectrum_ref && a.precursor_scan == b.precursor_scan;
}

inline bool same(const ScanInfo& a, const ScanInfo& b) {
    if (a.precursors.size() != b.precursors.size()) return false;
    for (std::size_t i = 0; i < a.precursors.size(); ++i)
        if (!same(a.precursors[i], b.precursors[i])) return false;
    if (a.user_params.size() != b.user_params.size()) return false;
    for (std::size_t i = 0; i < a.user_params.size(); ++i)
        if (a.user_params[i].name != b.user_params[i].name || a.user_params[i].value != b.user_params[i].value)
            return false;
    return a.offset == b.offset && a.native_id == b.native_id && a.list_index == b.list_index && a.lost == b.lost &&
           a.ms_level == b.ms_level && a.representation == b.representation && a.polarity == b.polarity &&
           same(a.rt_minutes, b.rt_minutes) &&
           same(a.window_low, b.window_low) && same(a.window_high, b.window_high) && same(a.lowest_mz, b.lowest_mz) &&
           same(a.highest_mz, b.highest_mz) && same(a.tic, b.tic) && same(a.base_peak_mz, b.base_peak_mz) &&
           same(a.base_peak_intensity, b.base_peak_intensity) && same(a.injection_time, b.injection_time) &&
           a.array_length == b.array_length && a.filter_text == b.filter_text && a.scan_type == b.scan_type &&
           a.analyzer == b.analyzer;
}

inline bool same(const Document& a, const Document& b) {
    if (a.scans.size() != b.scans.size() || a.chromatograms.size() != b.chromatograms.size()) return false;
    for (std::size_t i = 0; i < a.scans.size(); ++i)
        if (!same(a.scans[i], b.scans[i])) return false;
    if (a.misses.size() != b.misses.size()) return false;
    for (std::size_t i = 0; i < a.misses.size(); ++i)
        if (a.misses[i].spectrum != b.misses[i].spectrum || a.misses[i].position != b.misses[i].position) return false;
    for (std::size_t i = 0; i < a.chromatograms.size(); ++i) {
        const ChromatogramInfo &x = a.chromatograms[i], &y = b.chromatograms[i];
        if (x.offset != y.offset || x.id != y.id || x.kind != y.kind || x.array_length != y.array_length ||
            !same(x.precursor_mz, y.precursor_mz) || !same(x.product_mz, y.product_mz))
            return false;
    }
    return a.scan_ends == b.scan_ends && a.scan_arrays == b.scan_arrays && a.scan_config_refs == b.scan_config_refs &&
           a.chrom_ends == b.chrom_ends && a.chrom_arrays == b.chrom_arrays && a.complete == b.complete;
}

}  // namespace mzml
