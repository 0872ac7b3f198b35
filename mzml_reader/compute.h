// What the entry points compute from a run: chromatogram traces, averaged
// spectra, scans by retention time, the scan statistics block and the codes
// the library uses for enumerated values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "handles.h"

namespace mzml {

// Trace types of get_chromatogram.
enum class Trace : std::int32_t {
    TIC = 0,        // total ion current of each scan
    BasePeak = 1,   // base peak intensity (within the mass ranges when given)
    MassRange = 2,  // summed intensity within the mass ranges (extracted ion chromatogram)
};

// Mass analyzer codes (get_mass_analyzer, get_scan_filter_mass_analyzer),
// from the analyzer term of the scan's instrument configuration.
enum class AnalyzerCode : std::int32_t {
    Unknown = -1,
    Quadrupole = 0,
    IonTrap = 1,
    TimeOfFlight = 2,
    FourierTransform = 3,
    MagneticSector = 4,
    Other = 5,
};
AnalyzerCode analyzer_code(const ScanInfo& scan) noexcept;

// Scan mode codes (get_scan_filter_scan_mode), from the spectrum type.
std::int32_t scan_mode_code(const ScanInfo& scan) noexcept;

// The m/z of a precursor: the selected ion, else the isolation target.
double precursor_mz(const Precursor& p) noexcept;
// The isolation window's full width (lower + upper offset), NaN when unknown.
double isolation_width(const Precursor& p) noexcept;

// A chromatogram request after validation.
struct ChromatogramRequest {
    Trace trace = Trace::TIC;
    const char* filter = nullptr;
    const double* range_low = nullptr;
    const double* range_high = nullptr;
    std::int32_t range_count = 0;
    std::int32_t start_scan = 0;
    std::int32_t end_scan = 0;
};

// Fills up to `capacity` points (times in minutes, intensities) and returns
// the number of points of the whole trace, or -1 for a request that is not
// valid or data that cannot be read.
std::int32_t chromatogram(const RunView& view, const ChromatogramRequest& request, double* times,
                          double* intensities, std::int32_t capacity);

// Merges the spectra of `scans` (scan numbers) into *mz and *intensity, see
// "Computed answers" in docs/mzml-reader.md for the merging rule. False when a scan is out of range or its
// arrays cannot be read.
inline constexpr double kAverageTolerancePpm = 10.0;
bool average(const RunView& view, const std::int32_t* scans, std::int32_t count, std::vector<double>* mz,
             std::vector<double>* intensity);

// Scans by retention time: the scan nearest `rt` (minutes) among all scans,
// MS1 scans, or MS2 scans whose first precursor lies within `ppm` of
// `precursor`; the earlier scan on a tie; -1 when none qualifies.
std::int32_t nearest_scan(const RunView& view, double rt);
std::int32_t nearest_ms1_scan(const RunView& view, double rt);
std::int32_t nearest_ms2_scan(const RunView& view, double rt, double precursor, double ppm);

// The twenty values of get_scan_stats.
inline constexpr std::size_t kStatsSize = 20;
void scan_stats(const RunView& view, std::size_t pos, double* out);

}  // namespace mzml
