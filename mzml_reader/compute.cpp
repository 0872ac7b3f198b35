// Chromatograms, averaged spectra, scans by retention time and scan
// statistics, see compute.h.

#include "compute.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>
#include <thread>
#include <utility>

#include "filter_text.h"

namespace mzml {

namespace {

bool contains(std::string_view text, std::string_view word) { return text.find(word) != std::string_view::npos; }

std::int32_t clamp_count(std::size_t n) {
    return n > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())
               ? std::numeric_limits<std::int32_t>::max()
               : static_cast<std::int32_t>(n);
}

// Runs work(begin, end) over [0, n) split among the machine's cores (at
// most 8 threads, the caller's included) when n is large enough to pay for
// them; true when every part succeeded. Spectra decode independently, so a
// whole-run trace that must decode every spectrum scales with the cores.
template <class Work>
bool run_split(std::size_t n, const Work& work) {
    constexpr std::size_t kMinPerThread = 64;
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t parts = std::min({cores, std::size_t{8}, std::max<std::size_t>(1, n / kMinPerThread)});
    if (parts <= 1) return work(0, n);
    std::vector<std::thread> threads;
    std::vector<char> ok(parts, 0);
    const auto run_part = [&](std::size_t part) {
        try {
            ok[part] = work(n * part / parts, n * (part + 1) / parts) ? 1 : 0;
        } catch (...) {
            ok[part] = 0;
        }
    };
    std::size_t started = 1;
    try {
        threads.reserve(parts - 1);
        for (; started < parts; ++started) threads.emplace_back(run_part, started);
    } catch (...) {
        // no more threads: the caller's thread does the parts not started
    }
    run_part(0);
    for (std::size_t part = started; part < parts; ++part) run_part(part);
    for (std::thread& t : threads) t.join();
    return std::all_of(ok.begin(), ok.end(), [](char c) { return c != 0; });
}

}  // namespace

AnalyzerCode analyzer_code(const ScanInfo& scan) noexcept {
    const std::string_view a = scan.analyzer;
    if (a.empty()) return AnalyzerCode::Unknown;
    if (contains(a, "quadrupole") && !contains(a, "ion trap")) return AnalyzerCode::Quadrupole;
    if (contains(a, "ion trap")) return AnalyzerCode::IonTrap;
    if (contains(a, "time-of-flight") || contains(a, "time of flight")) return AnalyzerCode::TimeOfFlight;
    if (contains(a, "fourier transform") || contains(a, "cyclotron")) return AnalyzerCode::FourierTransform;
    if (contains(a, "magnetic sector")) return AnalyzerCode::MagneticSector;
    return AnalyzerCode::Other;
}

std::int32_t scan_mode_code(const ScanInfo& scan) noexcept {
    const std::string_view t = scan.scan_type;
    if (t.empty()) return -1;
    if (t == "MS1 spectrum" || t == "MSn spectrum" || t == "mass spectrum") return 0;  // full scan
    if (contains(t, "SIM")) return 1;                                                   // selected ion monitoring
    if (contains(t, "SRM") || contains(t, "MRM")) return 2;                             // reaction monitoring
    return 3;                                                                           // any other spectrum type
}

double precursor_mz(const Precursor& p) noexcept {
    return !std::isnan(p.selected_mz) ? p.selected_mz : p.isolation_target;
}

double isolation_width(const Precursor& p) noexcept {
    if (std::isnan(p.isolation_lower) || std::isnan(p.isolation_upper)) return kNaN;
    return p.isolation_lower + p.isolation_upper;
}

std::int32_t chromatogram(const RunView& view, const ChromatogramRequest& rq, double* times, double* intensities,
                          std::int32_t capacity) {
    const std::size_t n = view.size();
    // Scan range: 0 or less means the run's first (start) or last (end)
    // scan; numbers outside the run are clamped to it.
    std::int64_t first = rq.start_scan <= 0 ? view.first_scan() : std::max<std::int64_t>(rq.start_scan, view.first_scan());
    std::int64_t last = rq.end_scan <= 0 ? view.last_scan() : std::min<std::int64_t>(rq.end_scan, view.last_scan());
    std::vector<std::uint32_t> selected;
    const FilterQuery query(rq.filter == nullptr ? std::string_view() : std::string_view(rq.filter));
    if (n > 0 && first <= last) {
        const auto p0 = static_cast<std::size_t>(first - view.first_scan());
        const auto p1 = static_cast<std::size_t>(last - view.first_scan());
        selected.reserve(p1 - p0 + 1);
        // A lost spectrum's slot has no time and no data: no point.
        for (std::size_t p = p0; p <= p1; ++p)
            if (!view.scans()[p].lost &&
                (query.selects_all() || query.matches(view.scans()[p].filter_text, view.built_text(p))))
                selected.push_back(static_cast<std::uint32_t>(p));
    }
    const std::size_t count = selected.size();
    const std::size_t fill = std::min(count, static_cast<std::size_t>(std::max(capacity, 0)));
    if (fill == 0) return clamp_count(count);

    const auto& scans = view.scans();
    const bool ranges = rq.range_count > 0;
    // The file's own chromatogram of the same kind, when it covers exactly
    // the whole run without a filter and the scans do not carry the values.
    const bool whole_run = query.selects_all() && count == n && !ranges;
    if (whole_run && rq.trace != Trace::MassRange) {
        const bool have_all = std::all_of(scans.begin(), scans.end(), [&](const ScanInfo& s) {
            return rq.trace == Trace::TIC ? !std::isnan(s.tic) : !std::isnan(s.base_peak_intensity);
        });
        if (!have_all) {
            const std::string_view kind =
                rq.trace == Trace::TIC ? "total ion current chromatogram" : "basepeak chromatogram";
            const auto& chroms = view.run().chromatograms();
            for (std::size_t c = 0; c < chroms.size(); ++c) {
                if (chroms[c].kind != kind || static_cast<std::size_t>(chroms[c].array_length) != n) continue;
                Arrays a;
                if (!view.run().read_chromatogram(c, &a) || a.x.size() != n || a.y.size() != n) break;
                std::copy_n(a.x.begin(), fill, times);
                std::copy_n(a.y.begin(), fill, intensities);
                return clamp_count(count);
            }
        }
    }

    const auto in_ranges = [&](double mz) {
        for (std::int32_t r = 0; r < rq.range_count; ++r)
            if (mz >= rq.range_low[r] && mz <= rq.range_high[r]) return true;
        return false;
    };
    // Points [begin, end): false when a spectrum that is needed cannot be read.
    const auto compute = [&](std::size_t begin, std::size_t end) {
        Arrays a;
        for (std::size_t k = begin; k < end; ++k) {
            const std::size_t p = selected[k];
            const ScanInfo& s = scans[p];
            times[k] = s.rt_minutes;
            if (rq.trace == Trace::TIC && !std::isnan(s.tic)) {
                intensities[k] = s.tic;
                continue;
            }
            if (rq.trace == Trace::BasePeak && !ranges && !std::isnan(s.base_peak_intensity)) {
                intensities[k] = s.base_peak_intensity;
                continue;
            }
            Outcome why;
            if (!view.run().read_spectrum(p, &a, XmlPath::Auto, &why)) {
                view.unreadable(p, why);
                return false;
            }
            if (a.x.size() != a.y.size()) return false;
            double value = 0.0;
            switch (rq.trace) {
                case Trace::TIC:
                    for (double y : a.y) value += y;
                    break;
                case Trace::BasePeak:
                    for (std::size_t i = 0; i < a.y.size(); ++i)
                        if ((!ranges || in_ranges(a.x[i])) && a.y[i] > value) value = a.y[i];
                    break;
                case Trace::MassRange:
                    for (std::size_t i = 0; i < a.y.size(); ++i)
                        if (in_ranges(a.x[i])) value += a.y[i];
                    break;
            }
            intensities[k] = value;
        }
        return true;
    };
    return run_split(fill, compute) ? clamp_count(count) : -1;
}

bool average(const RunView& view, const std::int32_t* scans, std::int32_t count, std::vector<double>* mz,
             std::vector<double>* intensity) {
    mz->clear();
    intensity->clear();
    std::vector<std::pair<double, double>> points;
    for (std::int32_t k = 0; k < count; ++k) {
        std::size_t pos = 0;
        if (!view.position(scans[k], &pos)) return false;
        const std::shared_ptr<const Arrays> a = view.spectrum(pos);
        if (!a) return false;
        for (std::size_t i = 0; i < a->x.size(); ++i) points.emplace_back(a->x[i], a->y[i]);
    }
    std::sort(points.begin(), points.end());
    // Groups: a point joins the current group while its m/z lies within the
    // tolerance of the group's first m/z; a group becomes one peak at its
    // intensity-weighted m/z (the plain mean when all its intensities are
    // zero), with the group's summed intensity divided by the scan count.
    const double tolerance = kAverageTolerancePpm * 1e-6;
    std::size_t i = 0;
    while (i < points.size()) {
        const double start = points[i].first;
        double sum = 0.0, weighted = 0.0, plain = 0.0;
        std::size_t j = i;
        for (; j < points.size() && points[j].first - start <= tolerance * std::fabs(start); ++j) {
            sum += points[j].second;
            weighted += points[j].first * points[j].second;
            plain += points[j].first;
        }
        mz->push_back(sum > 0.0 ? weighted / sum : plain / static_cast<double>(j - i));
        intensity->push_back(sum / static_cast<double>(count));
        i = j;
    }
    return true;
}

namespace {

template <class Accept>
std::int32_t nearest(const RunView& view, double rt, Accept&& accept) {
    if (std::isnan(rt)) return -1;
    const auto& scans = view.scans();
    std::int64_t best = -1;
    double best_distance = std::numeric_limits<double>::infinity();
    for (std::size_t p = 0; p < scans.size(); ++p) {
        if (std::isnan(scans[p].rt_minutes) || !accept(scans[p])) continue;
        const double d = std::fabs(scans[p].rt_minutes - rt);
        if (d < best_distance || best < 0) {
            best_distance = d;
            best = static_cast<std::int64_t>(p);
        }
    }
    return best < 0 ? -1 : static_cast<std::int32_t>(view.first_scan() + best);
}

}  // namespace

std::int32_t nearest_scan(const RunView& view, double rt) {
    return nearest(view, rt, [](const ScanInfo&) { return true; });
}

std::int32_t nearest_ms1_scan(const RunView& view, double rt) {
    return nearest(view, rt, [](const ScanInfo& s) { return s.ms_level == 1; });
}

std::int32_t nearest_ms2_scan(const RunView& view, double rt, double precursor, double ppm) {
    if (std::isnan(precursor) || std::isnan(ppm) || ppm < 0.0) return -1;
    const double tolerance = std::fabs(precursor) * ppm * 1e-6;
    return nearest(view, rt, [&](const ScanInfo& s) {
        if (s.ms_level != 2 || s.precursors.empty()) return false;
        const double mz = precursor_mz(s.precursors.front());
        return !std::isnan(mz) && std::fabs(mz - precursor) <= tolerance;
    });
}

void scan_stats(const RunView& view, std::size_t pos, double* out) {
    const ScanInfo& s = view.scans()[pos];
    const Precursor* p = s.precursors.empty() ? nullptr : &s.precursors.front();
    const double values[kStatsSize] = {
        static_cast<double>(view.first_scan()) + static_cast<double>(pos),  // 0 scan number
        s.rt_minutes,                                                       // 1 retention time, minutes
        static_cast<double>(s.ms_level),                                    // 2 MS level
        static_cast<double>(s.array_length),                                // 3 number of points
        s.tic,                                                              // 4 total ion current
        s.base_peak_mz,                                                     // 5 base peak m/z
        s.base_peak_intensity,                                              // 6 base peak intensity
        s.lowest_mz,                                                        // 7 lowest observed m/z
        s.highest_mz,                                                       // 8 highest observed m/z
        s.representation == Representation::Unknown ? kNaN : (s.centroid() ? 1.0 : 0.0),  // 9 centroid flag
        static_cast<double>(static_cast<std::int32_t>(s.polarity)),         // 10 polarity code
        p ? precursor_mz(*p) : kNaN,                                        // 11 precursor m/z
        p ? static_cast<double>(p->charge) : 0.0,                           // 12 charge, 0 unknown
        s.window_low,                                                       // 13 scan window low
        s.window_high,                                                      // 14 scan window high
        s.injection_time,                                                   // 15 ion injection time, ms
        p ? static_cast<double>(p->precursor_scan) : -1.0,                  // 16 precursor scan number
        static_cast<double>(s.precursors.size()),                           // 17 precursor count
        p ? isolation_width(*p) : kNaN,                                     // 18 isolation width
        p ? p->collision_energy : kNaN,                                     // 19 collision energy
    };
    std::copy_n(values, kStatsSize, out);
}

}  // namespace mzml
