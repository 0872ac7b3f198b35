// The 186 entry points of the mzML Reader library.
//
// Every export is declared and defined from the shared table of native
// signatures (reader_entries.def): the table row gives the C prototype, and
// the definition forwards to impl::<name>, which must have exactly the
// table's function type (checked at compile time), be a FixedAnswer (an
// answer that does not depend on the file: what mzML does not hold), or a
// RunText (a text of the run's header facts, as it is).
//
// Conventions of every entry point:
//   - an unknown or closed handle, a handle of a file that could not be
//     opened, or a scan number outside the run: int results -1, float
//     results NaN, statuses -1 (flags answer 0);
//   - arrays and buffers: a negative capacity, or a null pointer with a
//     positive capacity, gives -1; nothing is ever written past a capacity;
//   - texts are UTF-8, cut on a character boundary so that a terminating
//     zero byte fits within the capacity (a capacity of 0 gives -1);
//   - no C++ exception leaves an entry point (memory exhaustion gives the
//     failure answer of the entry point's result kind).

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "compute.h"
#include "handles.h"
#include "reader_signatures.h"
#include "trailer.h"

#if defined(_WIN32)
#define MZML_EXPORT __declspec(dllexport)
#else
#define MZML_EXPORT __attribute__((visibility("default")))
#endif

using namespace corvix::signatures;

// Declarations from the table: a definition below with any other type fails
// to compile.
#define READER_ENTRY(name, sig, n) extern "C" MZML_EXPORT std::remove_pointer_t<EntryPointer<sig>> name;
#include "reader_entries.def"

namespace {

using i32 = std::int32_t;
using mzml::Arrays;
using mzml::HandleTable;
using mzml::Precursor;
using mzml::RunView;
using mzml::ScanInfo;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The failure answer of a result kind.
template <class R>
constexpr R failure() {
    if constexpr (std::is_floating_point_v<R>)
        return kNaN;
    else
        return R{-1};
}

// ---------------------------------------------------------------------------
// Handles, scans and output buffers.

// An open handle's run, kept alive for the call by its handle: a call takes
// one counted reference (the handle's), so that threads calling on one
// shared handle write one reference count between them, not two.
struct ViewRef {
    std::shared_ptr<const mzml::Handle> handle;
    const RunView* view = nullptr;
    explicit operator bool() const noexcept { return view != nullptr; }
    const RunView* operator->() const noexcept { return view; }
    const RunView& operator*() const noexcept { return *view; }
};

ViewRef view_of(i32 handle) {
    ViewRef r;
    r.handle = HandleTable::instance().find(handle);
    if (r.handle) r.view = r.handle->view.get();
    return r;
}

// A scan of an open handle, with its run kept alive for the call.
struct ScanRef {
    ViewRef view;
    std::size_t pos = 0;
    const ScanInfo* scan = nullptr;
    explicit operator bool() const noexcept { return scan != nullptr; }
    const Precursor* precursor(i32 index) const noexcept {
        if (index < 0 || static_cast<std::size_t>(index) >= scan->precursors.size()) return nullptr;
        return &scan->precursors[static_cast<std::size_t>(index)];
    }
};

// A lost spectrum's slot (see damage.h) answers as a scan the run does
// not have: nothing is known of it.
ScanRef scan_of(i32 handle, i32 scan_number) {
    ScanRef r;
    r.view = view_of(handle);
    if (r.view && r.view->position(scan_number, &r.pos) && !r.view->scans()[r.pos].lost)
        r.scan = &r.view->scans()[r.pos];
    return r;
}

// Writes text into a buffer of `capacity` bytes: as much of it as fits
// before a terminating zero, cut on a UTF-8 character boundary. Returns the
// number of text bytes written, or -1 when nothing can be written.
i32 write_text(char* buffer, i32 capacity, std::string_view text) {
    if (buffer == nullptr || capacity <= 0) return -1;
    std::size_t n = std::min(text.size(), static_cast<std::size_t>(capacity) - 1);
    if (n < text.size())
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return static_cast<i32>(n);
}

// True when a group of arrays of `capacity` elements can be written.
template <class... P>
bool arrays_usable(i32 capacity, P*... arrays) {
    return capacity >= 0 && (capacity == 0 || ((arrays != nullptr) && ...));
}

i32 count_of(std::size_t n) {
    return n > static_cast<std::size_t>(std::numeric_limits<i32>::max()) ? std::numeric_limits<i32>::max()
                                                                          : static_cast<i32>(n);
}

// Copies up to `capacity` values and returns the full count.
i32 write_values(const std::vector<double>& values, double* out, i32 capacity) {
    std::copy_n(values.begin(), std::min(values.size(), static_cast<std::size_t>(capacity)), out);
    return count_of(values.size());
}

// The isolation window's ends around its target; NaN when the file gives no
// target (the selected ion need not be the window's centre).
double window_low(const Precursor& p) { return p.isolation_target - p.isolation_lower; }
double window_high(const Precursor& p) { return p.isolation_target + p.isolation_upper; }

// ---------------------------------------------------------------------------
// Answers that do not depend on the file's content.

enum class Fixed {
    NotHeld,    // a value mzML does not hold: int -1, float NaN, for every handle
    Off,        // a flag mzML does not hold: 0 for every handle
    EmptyText,  // a text mzML does not hold: status 0 and "" for an open handle, else -1
    NoEntries,  // the count of a log mzML does not hold: 0 for an open handle, else -1
    NoEntry,    // an item of such a log: -1 (there is none)
};
struct FixedAnswer {
    Fixed kind;
};

// A run-level text taken as it is from the run's header facts.
struct RunText {
    std::string mzml::RunInfo::* field;
};

// The parameter index of a signature's text buffer, or npos.
template <Sig S>
constexpr std::size_t text_buffer_param() {
    for (std::size_t k = 0; k < S.arity(); ++k)
        if (S.param(k) == 'b') return k;
    return static_cast<std::size_t>(-1);
}

template <Sig S, class... A>
RetT<S> fixed_answer(Fixed kind, i32 handle, A... rest) {
    using R = RetT<S>;
    switch (kind) {
        case Fixed::NotHeld:
        case Fixed::NoEntry:
            return failure<R>();
        case Fixed::Off:
            return R{0};
        case Fixed::NoEntries:
            return view_of(handle) ? R{0} : failure<R>();
        case Fixed::EmptyText:
            if constexpr (constexpr std::size_t b = text_buffer_param<S>(); b != static_cast<std::size_t>(-1)) {
                // `rest` starts after the handle (parameter 0).
                auto args = std::make_tuple(rest...);
                if (!view_of(handle)) return failure<R>();
                return write_text(std::get<b - 1>(args), std::get<b>(args), "");
            } else {
                return failure<R>();
            }
    }
    return failure<R>();
}

i32 run_text_answer(std::string mzml::RunInfo::* field, i32 h, char* buffer, i32 capacity) {
    auto v = view_of(h);
    return v ? write_text(buffer, capacity, v->run().info().*field) : -1;
}

// Calls the implementation of one entry point; no exception leaves.
template <Sig S, class F, class... A>
RetT<S> call(const F& f, A... args) noexcept {
    try {
        if constexpr (std::is_same_v<F, FixedAnswer>) {
            return fixed_answer<S>(f.kind, args...);
        } else if constexpr (std::is_same_v<F, RunText>) {
            return run_text_answer(f.field, args...);
        } else {
            static_assert(std::is_same_v<F, std::remove_pointer_t<EntryPointer<S>>>,
                          "an implementation does not have the table's native signature");
            return f(args...);
        }
    } catch (...) {
        return failure<RetT<S>>();
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Implementations, one per entry point, in the order of the table.

namespace impl {

using mzml::Activation;
constexpr FixedAnswer kNotHeld{Fixed::NotHeld};
constexpr FixedAnswer kOff{Fixed::Off};
constexpr FixedAnswer kEmptyText{Fixed::EmptyText};
constexpr FixedAnswer kNoEntries{Fixed::NoEntries};
constexpr FixedAnswer kNoEntry{Fixed::NoEntry};

// ---- File handle lifecycle -------------------------------------------------

i32 open_raw_file(const char* path) { return HandleTable::instance().open(path); }
i32 close_raw_file(i32 h) { return HandleTable::instance().close(h); }
i32 is_open(i32 h) { return view_of(h) ? 1 : 0; }
i32 is_error(i32 h) {
    auto handle = HandleTable::instance().find(h);
    return handle && handle->view ? 0 : 1;
}
constexpr FixedAnswer in_acquisition = kOff;
// Device type 0 (mass spectrometer), device number 1: the only instrument.
i32 select_instrument(i32 h, i32 device_type, i32 device_number) {
    return view_of(h) && device_type == 0 && device_number == 1 ? 0 : -1;
}
i32 get_path(i32 h, char* buffer, i32 capacity) {
    auto handle = HandleTable::instance().find(h);
    return handle ? write_text(buffer, capacity, handle->path) : -1;
}

// ---- Run-level scalars -----------------------------------------------------

constexpr FixedAnswer get_instrument_has_accurate_mass_precursors = kNotHeld;
constexpr FixedAnswer get_instrument_is_qvx_meridon_file = kOff;
i32 get_instrument_is_valid(i32 h) { return view_of(h) ? 1 : 0; }
i32 has_ms_data(i32 h) {
    auto v = view_of(h);
    return v && v->size() > 0 ? 1 : 0;
}

// The extreme of one per-scan value over the run, NaN when no scan has it.
template <class Get>
double run_extreme(i32 h, bool largest, Get&& get) {
    auto v = view_of(h);
    if (!v) return kNaN;
    double best = kNaN;
    for (const ScanInfo& s : v->scans()) {
        const double x = get(s);
        if (std::isnan(x)) continue;
        if (std::isnan(best) || (largest ? x > best : x < best)) best = x;
    }
    return best;
}

double get_end_time(i32 h) { return run_extreme(h, true, [](const ScanInfo& s) { return s.rt_minutes; }); }
constexpr FixedAnswer get_expected_runtime = kNotHeld;
double get_high_mass(i32 h) {
    return run_extreme(h, true, [](const ScanInfo& s) { return std::isnan(s.window_high) ? s.highest_mz : s.window_high; });
}
double get_low_mass(i32 h) {
    return run_extreme(h, false, [](const ScanInfo& s) { return std::isnan(s.window_low) ? s.lowest_mz : s.window_low; });
}
constexpr FixedAnswer get_mass_resolution = kNotHeld;
double get_max_integrated_intensity(i32 h) { return run_extreme(h, true, [](const ScanInfo& s) { return s.tic; }); }
constexpr FixedAnswer get_sample_dilution_factor = kNotHeld;
constexpr FixedAnswer get_sample_injection_volume = kNotHeld;
constexpr FixedAnswer get_sample_istd_amount = kNotHeld;
constexpr FixedAnswer get_sample_sample_volume = kNotHeld;
constexpr FixedAnswer get_sample_sample_weight = kNotHeld;
double get_start_time(i32 h) { return run_extreme(h, false, [](const ScanInfo& s) { return s.rt_minutes; }); }

constexpr FixedAnswer get_autosampler_tray_index = kNotHeld;
constexpr FixedAnswer get_autosampler_tray_shape = kNotHeld;
constexpr FixedAnswer get_autosampler_vial_index = kNotHeld;
constexpr FixedAnswer get_autosampler_vials_per_tray = kNotHeld;
constexpr FixedAnswer get_autosampler_vials_per_tray_x = kNotHeld;
constexpr FixedAnswer get_autosampler_vials_per_tray_y = kNotHeld;
i32 get_first_scan(i32 h) {
    auto v = view_of(h);
    return v ? v->first_scan() : -1;
}
i32 get_instrument_count(i32 h) { return view_of(h) ? 1 : -1; }
constexpr FixedAnswer get_instrument_units = kNotHeld;
i32 get_last_scan(i32 h) {
    auto v = view_of(h);
    return v ? v->last_scan() : -1;
}
i32 get_max_intensity(i32 h) {
    const double m = run_extreme(h, true, [](const ScanInfo& s) { return s.base_peak_intensity; });
    if (std::isnan(m)) return -1;
    return static_cast<i32>(std::clamp(std::round(m), 0.0, static_cast<double>(std::numeric_limits<i32>::max())));
}
i32 get_num_scans(i32 h) {
    auto v = view_of(h);
    return v ? count_of(v->size()) : -1;
}
constexpr FixedAnswer get_number_of_times_calibrated = kNotHeld;
constexpr FixedAnswer get_number_of_times_modified = kNotHeld;
constexpr FixedAnswer get_revision = kNotHeld;
constexpr FixedAnswer get_sample_barcode_status = kNotHeld;
constexpr FixedAnswer get_sample_row_number = kNotHeld;
constexpr FixedAnswer get_sample_type = kNotHeld;
i32 get_instrument_count_of_type(i32 h, i32 device_type) {
    if (!view_of(h)) return -1;
    return device_type == 0 ? 1 : 0;
}

// ---- Scan filter scalars ---------------------------------------------------

// 1 when a precursor of the scan was activated by `a`; 0 when every
// precursor's activation is known and none is `a` (so also for a scan
// without precursors); -1 when a precursor's activation is not known.
i32 activated_by(i32 h, i32 scan_number, Activation a) {
    const ScanRef r = scan_of(h, scan_number);
    if (!r) return -1;
    bool unknown = false;
    for (const Precursor& p : r.scan->precursors) {
        if (p.activation == a) return 1;
        unknown = unknown || p.activation == Activation::Unknown;
    }
    return unknown ? -1 : 0;
}
// The collision energy of the first precursor activated by `a`.
double energy_of(i32 h, i32 scan_number, Activation a) {
    const ScanRef r = scan_of(h, scan_number);
    if (!r) return kNaN;
    for (const Precursor& p : r.scan->precursors)
        if (p.activation == a) return p.collision_energy;
    return kNaN;
}
// An int property of a scan, -1 when the scan is not there.
template <class Get>
i32 scan_int(i32 h, i32 scan_number, Get&& get) {
    const ScanRef r = scan_of(h, scan_number);
    return r ? static_cast<i32>(get(*r.scan)) : -1;
}

constexpr FixedAnswer get_scan_filter_accurate_mass = kNotHeld;
constexpr FixedAnswer get_scan_filter_compensation_volt_type = kNotHeld;
constexpr FixedAnswer get_scan_filter_compensation_voltage_count = kNotHeld;
constexpr FixedAnswer get_scan_filter_corona = kNotHeld;
// 1 for a scan whose precursor names the spectrum it was selected in, 0 for
// an MS1 scan, -1 for any other (the file does not say).
i32 get_scan_filter_dependent(i32 h, i32 scan) {
    return scan_int(h, scan, [](const ScanInfo& s) {
        for (const Precursor& p : s.precursors)
            if (p.precursor_scan >= 0 || !p.spectrum_ref.empty()) return 1;
        return s.ms_level == 1 ? 0 : -1;
    });
}
constexpr FixedAnswer get_scan_filter_detector = kNotHeld;
i32 get_scan_filter_electron_capture_dissociation(i32 h, i32 scan) { return activated_by(h, scan, Activation::ECD); }
i32 get_scan_filter_electron_transfer_dissociation(i32 h, i32 scan) { return activated_by(h, scan, Activation::ETD); }
constexpr FixedAnswer get_scan_filter_enhanced = kNotHeld;
constexpr FixedAnswer get_scan_filter_field_free_region = kNotHeld;
i32 get_scan_filter_higher_energy_cid(i32 h, i32 scan) { return activated_by(h, scan, Activation::HCD); }
constexpr FixedAnswer get_scan_filter_index_to_multiple_activation_index = kNotHeld;
constexpr FixedAnswer get_scan_filter_ionization_mode = kNotHeld;
constexpr FixedAnswer get_scan_filter_lock = kNotHeld;
i32 get_scan_filter_mass_analyzer(i32 h, i32 scan) {
    return scan_int(h, scan, [](const ScanInfo& s) { return static_cast<i32>(mzml::analyzer_code(s)); });
}
i32 get_scan_filter_mass_count(i32 h, i32 scan) {
    return scan_int(h, scan, [](const ScanInfo& s) { return count_of(s.precursors.size()); });
}
constexpr FixedAnswer get_scan_filter_mass_precision = kNotHeld;
i32 get_scan_filter_mass_range_count(i32 h, i32 scan) {
    return scan_int(h, scan, [](const ScanInfo& s) {
        return !std::isnan(s.window_low) && !std::isnan(s.window_high) ? 1 : 0;
    });
}
i32 get_scan_filter_ms_order(i32 h, i32 scan) {
    return scan_int(h, scan, [](const ScanInfo& s) { return s.ms_level; });
}
constexpr FixedAnswer get_scan_filter_multi_notch = kNotHeld;
constexpr FixedAnswer get_scan_filter_multi_state_activation = kNotHeld;
i32 get_scan_filter_multiple_photon_dissociation(i32 h, i32 scan) { return activated_by(h, scan, Activation::MPD); }
i32 get_scan_filter_multiplex(i32 h, i32 scan) {
    return scan_int(h, scan, [](const ScanInfo& s) { return s.precursors.size() > 1 ? 1 : 0; });
}
constexpr FixedAnswer get_scan_filter_photo_ionization = kNotHeld;
i32 get_scan_filter_polarity(i32 h, i32 scan) {
    return scan_int(h, scan, [](const ScanInfo& s) { return static_cast<i32>(s.polarity); });
}
i32 get_scan_filter_pulsed_q_dissociation(i32 h, i32 scan) { return activated_by(h, scan, Activation::PQD); }
i32 get_scan_filter_scan_data(i32 h, i32 scan) {
    return scan_int(h, scan, [](const ScanInfo& s) { return static_cast<i32>(s.representation); });
}
i32 get_scan_filter_scan_mode(i32 h, i32 scan) {
    return scan_int(h, scan, [](const ScanInfo& s) { return mzml::scan_mode_code(s); });
}
constexpr FixedAnswer get_scan_filter_sector_scan = kNotHeld;
constexpr FixedAnswer get_scan_filter_source_fragmentation = kNotHeld;
constexpr FixedAnswer get_scan_filter_source_fragmentation_info_count = kNotHeld;
constexpr FixedAnswer get_scan_filter_source_fragmentation_info_valid = kNotHeld;
constexpr FixedAnswer get_scan_filter_source_fragmentation_type = kNotHeld;
i32 get_scan_filter_supplemental_activation(i32 h, i32 scan) {
    return scan_int(h, scan, [](const ScanInfo& s) {
        return std::any_of(s.precursors.begin(), s.precursors.end(), [](const Precursor& p) { return p.supplemental; })
                   ? 1
                   : 0;
    });
}
constexpr FixedAnswer get_scan_filter_turbo_scan = kNotHeld;
constexpr FixedAnswer get_scan_filter_ultra = kNotHeld;
constexpr FixedAnswer get_scan_filter_unique_mass_count = kNotHeld;
constexpr FixedAnswer get_scan_filter_wideband = kNotHeld;
constexpr FixedAnswer get_scan_filter_detector_value = kNotHeld;
double get_scan_filter_electron_capture_dissociation_value(i32 h, i32 scan) { return energy_of(h, scan, Activation::ECD); }
double get_scan_filter_electron_transfer_dissociation_value(i32 h, i32 scan) { return energy_of(h, scan, Activation::ETD); }
double get_scan_filter_higher_energy_cid_value(i32 h, i32 scan) { return energy_of(h, scan, Activation::HCD); }
double get_scan_filter_multiple_photon_dissociation_value(i32 h, i32 scan) { return energy_of(h, scan, Activation::MPD); }
constexpr FixedAnswer get_scan_filter_param_a = kNotHeld;
constexpr FixedAnswer get_scan_filter_param_b = kNotHeld;
constexpr FixedAnswer get_scan_filter_param_f = kNotHeld;
constexpr FixedAnswer get_scan_filter_param_r = kNotHeld;
constexpr FixedAnswer get_scan_filter_param_v = kNotHeld;
double get_scan_filter_pulsed_q_dissociation_value(i32 h, i32 scan) { return energy_of(h, scan, Activation::PQD); }
constexpr FixedAnswer get_scan_filter_source_fragmentation_value = kNotHeld;
constexpr FixedAnswer get_scan_filter_scan_type_index = kNotHeld;

// ---- Scan event scalars ----------------------------------------------------
// `index` selects a precursor of the scan, 0 being the first.

// A float property of one precursor, NaN when scan or precursor is not there.
template <class Get>
double precursor_value(i32 h, i32 scan_number, i32 index, Get&& get) {
    const ScanRef r = scan_of(h, scan_number);
    const Precursor* p = r ? r.precursor(index) : nullptr;
    return p ? static_cast<double>(get(*p)) : kNaN;
}
// An int property of one precursor, -1 when scan or precursor is not there.
template <class Get>
i32 precursor_int(i32 h, i32 scan_number, i32 index, Get&& get) {
    const ScanRef r = scan_of(h, scan_number);
    const Precursor* p = r ? r.precursor(index) : nullptr;
    return p ? static_cast<i32>(get(*p)) : -1;
}

constexpr FixedAnswer get_scan_event_compensation_voltage = kNotHeld;
i32 get_scan_event_mass_count(i32 h, i32 scan) { return get_scan_filter_mass_count(h, scan); }
i32 get_scan_event_ms_order(i32 h, i32 scan) { return get_scan_filter_ms_order(h, scan); }
constexpr FixedAnswer get_scan_event_compensation_voltage_value = kNotHeld;
double get_scan_event_collision_energy(i32 h, i32 scan, i32 index) {
    return precursor_value(h, scan, index, [](const Precursor& p) { return p.collision_energy; });
}
double get_scan_event_first_precursor_mass(i32 h, i32 scan, i32 index) {
    return precursor_value(h, scan, index, [](const Precursor& p) { return window_low(p); });
}
double get_scan_event_isolation_width(i32 h, i32 scan, i32 index) {
    return precursor_value(h, scan, index, [](const Precursor& p) { return mzml::isolation_width(p); });
}
// How far the window's centre lies above its target: (upper - lower) / 2.
double get_scan_event_isolation_width_offset(i32 h, i32 scan, i32 index) {
    return precursor_value(h, scan, index, [](const Precursor& p) { return (p.isolation_upper - p.isolation_lower) / 2.0; });
}
double get_scan_event_last_precursor_mass(i32 h, i32 scan, i32 index) {
    return precursor_value(h, scan, index, [](const Precursor& p) { return window_high(p); });
}
constexpr FixedAnswer get_scan_event_mass_calibrator = kNotHeld;
// Index 0 is the scan window; mzML gives one window per scan here.
double get_scan_event_mass_range_high(i32 h, i32 scan, i32 index) {
    const ScanRef r = scan_of(h, scan);
    return r && index == 0 ? r.scan->window_high : kNaN;
}
double get_scan_event_mass_range_low(i32 h, i32 scan, i32 index) {
    const ScanRef r = scan_of(h, scan);
    return r && index == 0 ? r.scan->window_low : kNaN;
}
double get_scan_event_precursor_mass(i32 h, i32 scan, i32 index) {
    return precursor_value(h, scan, index, [](const Precursor& p) { return mzml::precursor_mz(p); });
}
constexpr FixedAnswer get_scan_event_source_fragmentation_info = kNotHeld;
constexpr FixedAnswer get_scan_event_source_fragmentation_mass_range_high = kNotHeld;
constexpr FixedAnswer get_scan_event_source_fragmentation_mass_range_low = kNotHeld;
i32 get_scan_event_activation_type(i32 h, i32 scan, i32 index) {
    return precursor_int(h, scan, index, [](const Precursor& p) { return static_cast<i32>(p.activation); });
}
i32 get_scan_event_collision_energy_valid(i32 h, i32 scan, i32 index) {
    return precursor_int(h, scan, index, [](const Precursor& p) { return std::isnan(p.collision_energy) ? 0 : 1; });
}
i32 get_scan_event_energy_valid(i32 h, i32 scan, i32 index) { return get_scan_event_collision_energy_valid(h, scan, index); }
i32 get_scan_event_is_multiple_activation(i32 h, i32 scan, i32 index) {
    return precursor_int(h, scan, index, [](const Precursor& p) { return p.supplemental ? 1 : 0; });
}
i32 get_scan_event_multiple_activation(i32 h, i32 scan, i32 index) { return get_scan_event_is_multiple_activation(h, scan, index); }
i32 get_scan_event_precursor_range_is_valid(i32 h, i32 scan, i32 index) {
    return precursor_int(h, scan, index, [](const Precursor& p) {
        return std::isnan(window_low(p)) || std::isnan(window_high(p)) ? 0 : 1;
    });
}
i32 get_scan_event_precursor_range_validity(i32 h, i32 scan, i32 index) {
    return get_scan_event_precursor_range_is_valid(h, scan, index);
}

// ---- Scan lookup -----------------------------------------------------------

double get_scan_rt(i32 h, i32 scan) {
    const ScanRef r = scan_of(h, scan);
    return r ? r.scan->rt_minutes : kNaN;
}
i32 get_ms_order(i32 h, i32 scan) { return get_scan_filter_ms_order(h, scan); }
double get_precursor_mass(i32 h, i32 scan) { return get_scan_event_precursor_mass(h, scan, 0); }
i32 get_mass_analyzer(i32 h, i32 scan) { return get_scan_filter_mass_analyzer(h, scan); }
i32 get_scan_number_from_rt(i32 h, double rt) {
    auto v = view_of(h);
    return v ? mzml::nearest_scan(*v, rt) : -1;
}
i32 get_ms1_scan_number_from_rt(i32 h, double rt) {
    auto v = view_of(h);
    return v ? mzml::nearest_ms1_scan(*v, rt) : -1;
}
i32 get_ms2_scan_number_from_rt(i32 h, double rt, double precursor, double ppm) {
    auto v = view_of(h);
    return v ? mzml::nearest_ms2_scan(*v, rt, precursor, ppm) : -1;
}
constexpr FixedAnswer get_scan_events_count = kNotHeld;
constexpr FixedAnswer get_scan_events_segments = kNotHeld;
constexpr FixedAnswer get_scan_events_event_count_for_segment = kNotHeld;

// ---- Single texts ----------------------------------------------------------

// A run-level text of an open handle.
template <class Get>
i32 run_text(i32 h, char* buffer, i32 capacity, Get&& get) {
    auto v = view_of(h);
    return v ? write_text(buffer, capacity, get(*v)) : -1;
}

// The last component of the path given to open_raw_file.
i32 get_file_name(i32 h, char* buffer, i32 capacity) {
    auto handle = HandleTable::instance().find(h);
    if (!handle) return -1;
    const std::string_view path = handle->path;
    const std::size_t slash = path.find_last_of("/\\");
    return write_text(buffer, capacity, slash == std::string_view::npos ? path : path.substr(slash + 1));
}
constexpr RunText get_file_description{&mzml::RunInfo::source_file_name};
constexpr FixedAnswer get_creator_id = kEmptyText;
constexpr RunText get_creation_date{&mzml::RunInfo::start_time_stamp};
constexpr FixedAnswer get_modified_date = kEmptyText;
constexpr FixedAnswer get_who_modified_id = kEmptyText;
constexpr FixedAnswer get_who_created_logon = kEmptyText;
constexpr FixedAnswer get_who_modified_logon = kEmptyText;
constexpr FixedAnswer get_computer_name = kEmptyText;
constexpr RunText get_sample_id{&mzml::RunInfo::sample_id};
constexpr RunText get_sample_name{&mzml::RunInfo::sample_name};
constexpr FixedAnswer get_sample_vial = kEmptyText;
constexpr FixedAnswer get_sample_barcode = kEmptyText;
constexpr RunText get_sample_comment{&mzml::RunInfo::sample_comment};
constexpr FixedAnswer get_sample_instrument_method_file = kEmptyText;
constexpr FixedAnswer get_sample_calibration_file = kEmptyText;
constexpr FixedAnswer get_sample_calibration_level = kEmptyText;
constexpr FixedAnswer get_sample_processing_method_file = kEmptyText;
constexpr FixedAnswer get_autosampler_tray_name = kEmptyText;
constexpr RunText get_instrument_name{&mzml::RunInfo::instrument_name};
constexpr RunText get_instrument_model{&mzml::RunInfo::instrument_model};
constexpr RunText get_instrument_serial_number{&mzml::RunInfo::instrument_serial};
constexpr FixedAnswer get_instrument_hardware_version = kEmptyText;
// "<software name> <version>" of the software the instrument configuration
// names (its softwareRef); "" when it names none.
i32 get_instrument_software_version(i32 h, char* buffer, i32 capacity) {
    return run_text(h, buffer, capacity, [](const RunView& v) {
        const mzml::RunInfo& info = v.run().info();
        std::string text = info.software_name;
        if (!text.empty() && !info.software_version.empty()) text += ' ';
        return text + info.software_version;
    });
}
constexpr FixedAnswer get_instrument_flags = kEmptyText;
i32 get_instrument_axis_label_x(i32 h, char* buffer, i32 capacity) {
    return run_text(h, buffer, capacity, [](const RunView&) { return std::string_view("m/z"); });
}
i32 get_instrument_axis_label_y(i32 h, char* buffer, i32 capacity) {
    return run_text(h, buffer, capacity, [](const RunView&) { return std::string_view("intensity"); });
}
i32 get_scan_filter_string(i32 h, i32 scan, char* buffer, i32 capacity) {
    const ScanRef r = scan_of(h, scan);
    return r ? write_text(buffer, capacity, r.view->filter_text(r.pos)) : -1;
}
i32 get_scan_event_string(i32 h, i32 scan, char* buffer, i32 capacity) {
    const ScanRef r = scan_of(h, scan);
    return r ? write_text(buffer, capacity, r.view->built_text(r.pos)) : -1;
}

// ---- Lists -----------------------------------------------------------------

constexpr FixedAnswer get_sample_user_text = kEmptyText;

// The texts behind pointer slots must outlive the entry point's return until
// its caller has copied them. They are copied into storage of the calling
// thread, which lasts until that thread's next call of the same entry point;
// closing the handle meanwhile does not touch them.
i32 fill_slots(const std::vector<std::string>& texts, const char** slots, i32 capacity, std::string* storage) {
    const std::size_t n = std::min(texts.size(), static_cast<std::size_t>(capacity));
    storage->clear();
    std::size_t total = 0;
    for (std::size_t i = 0; i < n; ++i) total += texts[i].size() + 1;
    storage->reserve(total);
    for (std::size_t i = 0; i < n; ++i) storage->append(texts[i].c_str(), texts[i].size() + 1);
    const char* at = storage->data();
    for (std::size_t i = 0; i < n; ++i) {
        slots[i] = at;
        at += texts[i].size() + 1;
    }
    return count_of(texts.size());
}

i32 get_filters(i32 h, const char** slots, i32 capacity) {
    auto v = view_of(h);
    if (!v || !arrays_usable(capacity, slots)) return -1;
    thread_local std::string storage;
    return fill_slots(v->distinct_filters(), slots, capacity, &storage);
}
// mzML has no meta filters: an empty list for every scan of the run.
i32 get_scan_filter_meta_filters(i32 h, i32 scan, const char** slots, i32 capacity) {
    if (!scan_of(h, scan) || !arrays_usable(capacity, slots)) return -1;
    return 0;
}
i32 get_ms2_filter_masses(i32 h, double* masses, i32 capacity) {
    auto v = view_of(h);
    if (!v || !arrays_usable(capacity, masses)) return -1;
    return write_values(v->ms2_masses(), masses, capacity);
}

// ---- Logs and headers ------------------------------------------------------
// mzML holds none of these logs. The error log of a handle whose file could
// not be opened holds one item: the reason. That of an open run names what
// was lost to damage (see error_log.h): empty for an undamaged file.

constexpr FixedAnswer get_status_log_count = kNoEntries;
constexpr FixedAnswer get_status_log_header = kEmptyText;
constexpr FixedAnswer get_status_log_values = kNoEntry;
constexpr FixedAnswer get_status_log_values_for_rt = kNoEntry;
// Every scan has a trailer: its native id, what the library cannot carry
// elsewhere, and the file's userParams (trailer.h). Its labels differ from
// scan to scan, so there is no common header.
i32 get_trailer_extra_count(i32 h) {
    auto v = view_of(h);
    return v ? count_of(v->size()) : -1;
}
constexpr FixedAnswer get_trailer_extra_header = kEmptyText;
i32 get_trailer_extra_labels(i32 h, i32 scan, char* buffer, i32 capacity) {
    const ScanRef r = scan_of(h, scan);
    if (!r || buffer == nullptr || capacity <= 0) return -1;
    return mzml::write_trailer_text(mzml::trailer_pairs(*r.view, r.pos), true, buffer, capacity);
}
i32 get_trailer_extra_values(i32 h, i32 scan, char* buffer, i32 capacity) {
    const ScanRef r = scan_of(h, scan);
    if (!r || buffer == nullptr || capacity <= 0) return -1;
    return mzml::write_trailer_text(mzml::trailer_pairs(*r.view, r.pos), false, buffer, capacity);
}
constexpr FixedAnswer get_tune_data_count = kNoEntries;
i32 get_error_log_items_count(i32 h) {
    auto handle = HandleTable::instance().find(h);
    if (!handle) return -1;
    return handle->view ? count_of(handle->view->error_log().size()) : 1;
}
i32 get_error_log_item_message(i32 h, i32 index, char* buffer, i32 capacity) {
    auto handle = HandleTable::instance().find(h);
    if (!handle || index < 0) return -1;
    if (!handle->view) return index == 0 ? write_text(buffer, capacity, handle->error) : -1;
    mzml::LogEntry entry;
    if (!handle->view->error_log().item(static_cast<std::size_t>(index), &entry)) return -1;
    return write_text(buffer, capacity, entry.message);
}
// The retention time of the spectrum an entry names, NaN when unknown (a
// lost spectrum's is).
double get_error_log_item_retention_time(i32 h, i32 index) {
    auto v = view_of(h);
    mzml::LogEntry entry;
    if (!v || index < 0 || !v->error_log().item(static_cast<std::size_t>(index), &entry)) return kNaN;
    return entry.rt;
}
constexpr FixedAnswer get_instrument_method_count = kNoEntries;
constexpr FixedAnswer get_instrument_method = kNoEntry;

// ---- Spectra ---------------------------------------------------------------

i32 get_spectrum(i32 h, i32 scan, double* masses, double* intensities, i32 capacity) {
    const ScanRef r = scan_of(h, scan);
    if (!r || !arrays_usable(capacity, masses, intensities)) return -1;
    const std::shared_ptr<const Arrays> a = r.view->spectrum(r.pos);
    if (!a) return -1;
    const std::size_t n = std::min(a->x.size(), static_cast<std::size_t>(capacity));
    std::copy_n(a->x.data(), n, masses);
    std::copy_n(a->y.data(), n, intensities);
    return count_of(a->x.size());
}

// Centroid scans: m/z, intensity, then what mzML does not hold: NaN in
// arrays 3 and 4 and both trailer values, -1 in the integer array. Profile
// scans, and scans the file does not call centroided, have no centroid
// stream: count 0.
i32 get_centroid_stream_full(i32 h, i32 scan, double* mz, double* intensity, double* third, double* fourth,
                             i32* integers, double* trailer, i32 capacity) {
    const ScanRef r = scan_of(h, scan);
    if (!r || !arrays_usable(capacity, mz, intensity, third, fourth, integers)) return -1;
    if (trailer != nullptr) trailer[0] = trailer[1] = kNaN;
    if (!r.scan->centroid()) return 0;
    const std::shared_ptr<const Arrays> a = r.view->spectrum(r.pos);
    if (!a) return -1;
    const std::size_t n = std::min(a->x.size(), static_cast<std::size_t>(capacity));
    std::copy_n(a->x.data(), n, mz);
    std::copy_n(a->y.data(), n, intensity);
    std::fill_n(third, n, kNaN);
    std::fill_n(fourth, n, kNaN);
    std::fill_n(integers, n, -1);
    return count_of(a->x.size());
}
i32 is_centroid(i32 h, i32 scan) {
    const ScanRef r = scan_of(h, scan);
    return r && r.scan->centroid() ? 1 : 0;
}

// ---- Averaged spectrum -----------------------------------------------------

i32 get_averaged_spectrum(i32 h, const i32* scans, i32 scan_count, double* masses, double* intensities, i32 capacity) {
    auto v = view_of(h);
    if (!v || scan_count < 0 || (scan_count > 0 && scans == nullptr) ||
        !arrays_usable(capacity, masses, intensities))
        return -1;
    std::vector<double> mz, intensity;
    if (!mzml::average(*v, scans, scan_count, &mz, &intensity)) return -1;
    write_values(intensity, intensities, capacity);
    return write_values(mz, masses, capacity);
}

// ---- Chromatogram ----------------------------------------------------------

i32 get_chromatogram(i32 h, i32 trace_type, const char* filter, const double* range_low, const double* range_high,
                     i32 range_count, i32 start_scan, i32 end_scan, double* times, double* intensities,
                     i32 capacity) {
    auto v = view_of(h);
    if (!v || trace_type < 0 || trace_type > 2 || range_count < 0 ||
        (range_count > 0 && (range_low == nullptr || range_high == nullptr)) ||
        !arrays_usable(capacity, times, intensities))
        return -1;
    for (i32 k = 0; k < range_count; ++k)
        if (!(range_low[k] <= range_high[k])) return -1;  // also a NaN at either end
    mzml::ChromatogramRequest rq;
    rq.trace = static_cast<mzml::Trace>(trace_type);
    if (rq.trace == mzml::Trace::MassRange && range_count == 0) return -1;
    rq.filter = filter;
    rq.range_low = range_low;
    rq.range_high = range_high;
    rq.range_count = range_count;
    rq.start_scan = start_scan;
    rq.end_scan = end_scan;
    return mzml::chromatogram(*v, rq, times, intensities, capacity);
}

// ---- Scan statistics -------------------------------------------------------

i32 get_scan_stats(i32 h, i32 scan, double* stats) {
    const ScanRef r = scan_of(h, scan);
    if (!r || stats == nullptr) return -1;
    mzml::scan_stats(*r.view, r.pos, stats);
    return static_cast<i32>(mzml::kStatsSize);
}
// The spectrum type term ("MS1 spectrum", ...); status 0 when the file
// names none.
i32 get_scan_stats_scan_type(i32 h, i32 scan, char* buffer, i32 capacity) {
    const ScanRef r = scan_of(h, scan);
    return r ? write_text(buffer, capacity, r.scan->scan_type) : -1;
}

// ---- Dependent-scan details ------------------------------------------------
// The dependents of a scan are the scans with a precursor whose spectrum
// reference names it, in file order. ms_order selects those of one MS level;
// 0 or less selects every level.

std::vector<std::uint32_t> dependents_of(const ScanRef& r, i32 ms_order) {
    std::vector<std::uint32_t> out;
    for (std::uint32_t p : r.view->dependents(r.pos))
        if (ms_order <= 0 || r.view->scans()[p].ms_level == ms_order) out.push_back(p);
    return out;
}
// The detail_index-th dependent, or false.
bool dependent_at(const ScanRef& r, i32 ms_order, i32 detail_index, std::uint32_t* pos) {
    if (!r || detail_index < 0) return false;
    const std::vector<std::uint32_t> d = dependents_of(r, ms_order);
    if (static_cast<std::size_t>(detail_index) >= d.size()) return false;
    *pos = d[static_cast<std::size_t>(detail_index)];
    return true;
}

i32 get_scan_dependents_count(i32 h, i32 scan, i32 ms_order) {
    const ScanRef r = scan_of(h, scan);
    return r ? count_of(dependents_of(r, ms_order).size()) : -1;
}
// The analyzer code of the first dependent, -1 when there is none.
i32 get_scan_dependents_instrument_type(i32 h, i32 scan, i32 ms_order) {
    std::uint32_t pos = 0;
    const ScanRef r = scan_of(h, scan);
    if (!dependent_at(r, ms_order, 0, &pos)) return -1;
    return static_cast<i32>(mzml::analyzer_code(r.view->scans()[pos]));
}
// The dependent's scan number.
i32 get_scan_dependent_detail_scan_index(i32 h, i32 scan, i32 ms_order, i32 detail_index) {
    std::uint32_t pos = 0;
    const ScanRef r = scan_of(h, scan);
    if (!dependent_at(r, ms_order, detail_index, &pos)) return -1;
    return static_cast<i32>(r.view->first_scan() + static_cast<std::int64_t>(pos));
}
i32 get_scan_dependent_detail_filter_string(i32 h, i32 scan, i32 ms_order, i32 detail_index, char* buffer,
                                            i32 capacity) {
    std::uint32_t pos = 0;
    const ScanRef r = scan_of(h, scan);
    if (!dependent_at(r, ms_order, detail_index, &pos)) return -1;
    return write_text(buffer, capacity, r.view->filter_text(pos));
}
// One value per precursor of the dependent.
template <class Get>
i32 dependent_values(i32 h, i32 scan, i32 ms_order, i32 detail_index, double* out, i32 capacity, Get&& get) {
    std::uint32_t pos = 0;
    const ScanRef r = scan_of(h, scan);
    if (!arrays_usable(capacity, out) || !dependent_at(r, ms_order, detail_index, &pos)) return -1;
    std::vector<double> values;
    for (const Precursor& p : r.view->scans()[pos].precursors) values.push_back(get(p));
    return write_values(values, out, capacity);
}
i32 get_scan_dependent_detail_precursor_mass_array(i32 h, i32 scan, i32 ms_order, i32 detail_index, double* out,
                                                   i32 capacity) {
    return dependent_values(h, scan, ms_order, detail_index, out, capacity, [](const Precursor& p) { return mzml::precursor_mz(p); });
}
i32 get_scan_dependent_detail_isolation_width_array(i32 h, i32 scan, i32 ms_order, i32 detail_index, double* out,
                                                    i32 capacity) {
    return dependent_values(h, scan, ms_order, detail_index, out, capacity,
                            [](const Precursor& p) { return mzml::isolation_width(p); });
}

}  // namespace impl

// ---------------------------------------------------------------------------
// The exports.

#define MZ_PARAMS_1(S) ParamT<S, 0> a0
#define MZ_PARAMS_2(S) MZ_PARAMS_1(S), ParamT<S, 1> a1
#define MZ_PARAMS_3(S) MZ_PARAMS_2(S), ParamT<S, 2> a2
#define MZ_PARAMS_4(S) MZ_PARAMS_3(S), ParamT<S, 3> a3
#define MZ_PARAMS_5(S) MZ_PARAMS_4(S), ParamT<S, 4> a4
#define MZ_PARAMS_6(S) MZ_PARAMS_5(S), ParamT<S, 5> a5
#define MZ_PARAMS_7(S) MZ_PARAMS_6(S), ParamT<S, 6> a6
#define MZ_PARAMS_8(S) MZ_PARAMS_7(S), ParamT<S, 7> a7
#define MZ_PARAMS_9(S) MZ_PARAMS_8(S), ParamT<S, 8> a8
#define MZ_PARAMS_10(S) MZ_PARAMS_9(S), ParamT<S, 9> a9
#define MZ_PARAMS_11(S) MZ_PARAMS_10(S), ParamT<S, 10> a10
#define MZ_ARGS_1 a0
#define MZ_ARGS_2 MZ_ARGS_1, a1
#define MZ_ARGS_3 MZ_ARGS_2, a2
#define MZ_ARGS_4 MZ_ARGS_3, a3
#define MZ_ARGS_5 MZ_ARGS_4, a4
#define MZ_ARGS_6 MZ_ARGS_5, a5
#define MZ_ARGS_7 MZ_ARGS_6, a6
#define MZ_ARGS_8 MZ_ARGS_7, a7
#define MZ_ARGS_9 MZ_ARGS_8, a8
#define MZ_ARGS_10 MZ_ARGS_9, a9
#define MZ_ARGS_11 MZ_ARGS_10, a10

#define READER_ENTRY(name, sig, n)                                                  \
    static_assert(row_is_valid(sig, n), "bad signature row: " #name);              \
    extern "C" MZML_EXPORT RetT<sig> name(MZ_PARAMS_##n(sig)) {                    \
        return call<sig>(impl::name, MZ_ARGS_##n);                                  \
    }
#include "reader_entries.def"
