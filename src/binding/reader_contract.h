// What the module relies on from the Reader library: the native types that
// cross the boundary and the shape of every entry point. Entry points use the
// platform's C calling convention; every one but open_raw_file takes the
// reader handle first. Buffers are owned by the module for one call and are
// always followed by their capacity (bytes for text, elements for arrays).
#pragma once

#include <cstdint>

namespace corvix::contract {

using Handle = std::int32_t;   // reader handle, chosen by open_raw_file
using Int = std::int32_t;      // integer parameters, results, statuses, counts, capacities
using Long = std::int64_t;     // the one 64-bit integer result
using Real = double;           // IEEE 754 binary64

// Entry-point shapes, by the family that uses them. `Args...` are the value
// parameters after the handle (Int or Real), as the function table gives them.

// Scalars: R name(Handle, Args...). R is Int, Long or Real; void where the
// result is ignored (close_raw_file, select_instrument).
template <class R, class... Args>
using ScalarEntry = R (*)(Args...);

// open_raw_file: Handle name(const char* zero_terminated_utf8_path).
using OpenEntry = Handle (*)(const char*);

// Text into a byte buffer: Int status name(Args..., char* buffer, Int capacity).
template <class... Args>
using TextEntry = Int (*)(Args..., char*, Int);

// Pointer slots: Int count name(Args..., const char** slots, Int capacity).
// The texts behind the slots stay the Reader library's.
template <class... Args>
using SlotsEntry = Int (*)(Args..., const char**, Int);

// One caller-sized array: Int count name(Args..., Real* values, Int capacity).
template <class... Args>
using ArrayEntry = Int (*)(Args..., Real*, Int);

// get_spectrum: Int count (Handle, Int scan, Real* masses, Real* intensities, Int capacity).
using SpectrumEntry = Int (*)(Handle, Int, Real*, Real*, Int);

// get_centroid_stream_full: Int count (Handle, Int scan, Real* a1, Real* a2,
// Real* a3, Real* a4, Int* integers, Real* trailer /* 2 values */, Int capacity).
using CentroidEntry = Int (*)(Handle, Int, Real*, Real*, Real*, Real*, Int*, Real*, Int);

// get_averaged_spectrum: Int count (Handle, const Int* scans, Int scan_count,
// Real* masses, Real* intensities, Int capacity).
using AveragedEntry = Int (*)(Handle, const Int*, Int, Real*, Real*, Int);

// get_chromatogram: Int count (Handle, Int trace_type, const char* filter,
// const Real* starts, const Real* ends, Int range_count, Int start_scan,
// Int end_scan, Real* times, Real* intensities, Int capacity).
using ChromatogramEntry = Int (*)(Handle, Int, const char*, const Real*, const Real*, Int, Int, Int, Real*, Real*,
                                  Int);

// get_scan_stats: Int status (Handle, Int scan, Real* block); the block holds
// kStatsValues values and its size is not passed.
using StatsEntry = Int (*)(Handle, Int, Real*);
inline constexpr Int kStatsValues = 20;

}  // namespace corvix::contract
