// Stand-in for the Reader library (VelmarNativeReader.dll).
//
// Exports the Reader library's entry points with their native C signatures
// and a control API (stub_*) through which tests script what each entry point
// writes and returns, and read back what it was called with. The signatures
// come from the table in src/binding/reader_entries.def and nowhere else: each exported
// function's C prototype is spelled from its signature string, so the table
// is the single description of the library's shapes that tests compare the
// module against.
//
// Build variants (compile definitions):
//   (none)                                   every entry point is exported
//   READER_STUB_OMIT_<entry>=RS_PROBE         that entry point is not defined
//   READER_STUB_NO_ENTRY_POINTS              only the control API is exported
//
// Every entry point and every control function runs under one process-wide
// mutex: tests call the library from many threads at once.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "reader_signatures.h"

#if defined(_WIN32)
#define READER_STUB_EXPORT __declspec(dllexport)
#else
#define READER_STUB_EXPORT __attribute__((visibility("default")))
#endif

// ---------------------------------------------------------------------------
// Variant selection in the preprocessor.
//
// RS_OMITTED(entry) is 1 when the build defines READER_STUB_OMIT_<entry> as
// RS_PROBE, else 0. The probe expands to two arguments, shifting the 1 into
// the slot that RS_SECOND picks; any other token leaves the default 0 there.
#define RS_CAT_(a, b) a##b
#define RS_CAT(a, b) RS_CAT_(a, b)
#define RS_SECOND(a, b, ...) b
#define RS_IS_PROBE(...) RS_SECOND(__VA_ARGS__, 0, 0)
#define RS_PROBE ~, 1
#define RS_OMITTED(entry) RS_IS_PROBE(RS_CAT(READER_STUB_OMIT_, entry))

#if defined(READER_STUB_NO_ENTRY_POINTS)
#define RS_NO_ENTRY_POINTS 1
#else
#define RS_NO_ENTRY_POINTS 0
#endif

namespace {

using namespace corvix::signatures;

// ---------------------------------------------------------------------------
// The table.

enum EntryIndex : int {
#define READER_ENTRY(name, sig, n) idx_##name,
#include "reader_entries.def"
    kEntryCount
};

struct EntryRow {
    const char* name;
    const char* sig;
    bool exported;  // defined and exported by this build variant
};

constexpr EntryRow kRows[kEntryCount] = {
#define READER_ENTRY(name, sig, n) \
    {#name, sig, !RS_NO_ENTRY_POINTS && !RS_OMITTED(name)},
#include "reader_entries.def"
};

#define READER_ENTRY(name, sig, n) \
    static_assert(row_is_valid(sig, n), "bad signature row: " #name);
#include "reader_entries.def"

static_assert(kEntryCount == 186, "the Reader library has 186 entry points");

// ---------------------------------------------------------------------------
// State.

// What one parameter of the last call was.
struct ArgRecord {
    std::int64_t i = 0;                 // 'i'
    double d = 0.0;                     // 'd'
    bool is_null = false;               // every pointer kind
    std::optional<std::string> text;    // 's': bytes before the terminator
    std::vector<double> in_doubles;     // 'A'
    std::vector<std::int32_t> in_ints;  // 'J'
};

struct Entry {
    std::string_view name;
    std::string_view params;  // the part after "R:"
    char ret = 'i';

    std::int64_t calls = 0;
    // Non-zero bytes found in the out-buffers of the last call before
    // anything was written, when the state checks for them; else -1.
    std::int64_t nonzero_bytes = -1;
    std::vector<ArgRecord> last;  // one per parameter, valid once calls > 0

    // Scripted answer. "Default" values are installed by reset; a scripted
    // result replaces the natural count of buffer-filling entry points.
    bool has_result = false;
    std::int64_t result_i = 0;
    double result_d = 0.0;
    std::int64_t default_i = 0;
    double default_d = 0.0;

    std::optional<std::string> text;                    // 'b'
    std::vector<std::vector<double>> arrays;            // 'D' in order; 'S' is 0
    std::vector<std::int32_t> int_array;                // 'N'
    std::vector<std::optional<std::string>> pointers;   // 'P'; nullopt = null slot
    std::optional<std::pair<double, double>> trailer;   // 'T'

    bool has(char kind) const { return params.find(kind) != std::string_view::npos; }
    bool fills_output() const {
        return params.find_first_of("bPDNTS") != std::string_view::npos;
    }
    std::size_t array_slots() const {
        const auto d = static_cast<std::size_t>(std::count(params.begin(), params.end(), 'D'));
        return has('S') ? std::max<std::size_t>(d, 1) : d;
    }
};

struct State {
    std::array<Entry, kEntryCount> entries;
    std::int32_t next_handle = 1;
    std::string last_opened_path;
    // Checks of the out-buffers (see stub_check_zero_fill, stub_fill_outputs).
    bool check_zero = false;
    int fill_byte = -1;

    State() { reset(); }
    void reset();
    void install_defaults();
};

std::mutex g_mutex;

State& state() {
    static State s;
    return s;
}

void State::reset() {
    for (int k = 0; k < kEntryCount; ++k) {
        Entry fresh;
        fresh.name = kRows[k].name;
        const std::string_view sig = kRows[k].sig;
        fresh.ret = sig[0];
        fresh.params = sig.substr(2);
        fresh.arrays.resize(fresh.array_slots());
        entries[static_cast<std::size_t>(k)] = std::move(fresh);
    }
    next_handle = 1;
    last_opened_path.clear();
    check_zero = false;
    fill_byte = -1;
    install_defaults();
}

// Defaults after reset. A plausible small file: 100 scans numbered 1..100,
// 0.5 minutes apart (0 to 60 minutes expected run time), masses 100..2000.
//
//   open_raw_file        a fresh handle 1, 2, 3, ... counted since reset
//   is_open 1, is_error 0, in_acquisition 0, close_raw_file 0,
//   select_instrument 0
//   get_path             the last path given to open_raw_file ("" before any)
//   flags                get_instrument_is_valid, has_ms_data,
//                        get_instrument_has_accurate_mass_precursors 1;
//                        get_instrument_is_qvx_meridon_file 0
//   run floats           start 0.0, end 60.0, expected runtime 60.0,
//                        low mass 100.0, high mass 2000.0, resolution 0.5,
//                        max integrated intensity 1.0e9, dilution 1.0,
//                        injection volume 5.0, istd 0.0, volume 0.0, weight 0.0
//   run ints             num_scans 100, first 1, last 100, max intensity
//                        1000000, instrument count 1 (of any type 1), units 0,
//                        revision 66, calibrated 0, modified 0, sample type 0,
//                        row 1, barcode status 0, tray index 1, vial index 1,
//                        tray shape 0, vials per tray 96 (12 x 8)
//   scan filter          ms order 1, polarity 1, mass range count 1, the
//                        rest 0 / 0.0; scan type index 0
//   scan event           ms order 1, mass count 1, the rest 0 / 0.0
//   scan lookup          get_scan_rt = 0.5 * scan_number, ms order 1,
//                        precursor mass 0.0, mass analyzer 0, scan number
//                        from rt 1, ms1 1, ms2 2, events count 1, segments 1,
//                        events per segment 1
//   texts                see install_defaults; file name "Stand-in file.raw"
//   user text            "User text 1###|###User text 2"
//   field lists          header/labels "Time|Pressure|Temp" (status log),
//                        "Charge|Injection time|Resolution" (trailer extra)
//   counts               status log 2, trailer extra 100, tune data 1,
//                        error log items 1, instrument methods 1
//   error log            message "Stand-in error", retention time 1.25
//   get_filters          two filter texts; meta filters one text
//   get_ms2_filter_masses  400.0, 500.0
//   get_spectrum         5 points: mass 100+i, intensity 1000*(i+1)
//   get_centroid_stream_full  3 centroids (100/200/300, 1000/2000/3000,
//                        60000 each, 10/20/30, ints 1/2/3), trailer (1.5, 2.5)
//   get_averaged_spectrum 5 points: mass 100+i, intensity 500*(i+1)
//   get_chromatogram     4 points: time 0.5*i, intensity 10*(i+1)
//   get_scan_stats       20 values 1.0 .. 20.0
//   dependents           count 2, instrument type 0, scan index 2, filter
//                        text "ms2 dependent", precursor masses 400.0, 500.0,
//                        isolation widths 2.0, 2.0
//   is_centroid 0
// Buffer-filling entry points return their natural count unless scripted:
// the text's byte length, the length of array 0, or the number of slots.
void State::install_defaults() {
    auto e = [this](EntryIndex k) -> Entry& { return entries[static_cast<std::size_t>(k)]; };
    auto int_default = [&](EntryIndex k, std::int64_t v) { e(k).default_i = v; };
    auto real_default = [&](EntryIndex k, double v) { e(k).default_d = v; };
    auto text = [&](EntryIndex k, const char* t) { e(k).text = std::string(t); };

    int_default(idx_is_open, 1);

    int_default(idx_get_instrument_has_accurate_mass_precursors, 1);
    int_default(idx_get_instrument_is_valid, 1);
    int_default(idx_has_ms_data, 1);

    real_default(idx_get_end_time, 60.0);
    real_default(idx_get_expected_runtime, 60.0);
    real_default(idx_get_high_mass, 2000.0);
    real_default(idx_get_low_mass, 100.0);
    real_default(idx_get_mass_resolution, 0.5);
    real_default(idx_get_max_integrated_intensity, 1.0e9);
    real_default(idx_get_sample_dilution_factor, 1.0);
    real_default(idx_get_sample_injection_volume, 5.0);

    int_default(idx_get_autosampler_tray_index, 1);
    int_default(idx_get_autosampler_vial_index, 1);
    int_default(idx_get_autosampler_vials_per_tray, 96);
    int_default(idx_get_autosampler_vials_per_tray_x, 12);
    int_default(idx_get_autosampler_vials_per_tray_y, 8);
    int_default(idx_get_first_scan, 1);
    int_default(idx_get_instrument_count, 1);
    int_default(idx_get_last_scan, 100);
    int_default(idx_get_max_intensity, 1000000);
    int_default(idx_get_num_scans, 100);
    int_default(idx_get_revision, 66);
    int_default(idx_get_sample_row_number, 1);
    int_default(idx_get_instrument_count_of_type, 1);

    int_default(idx_get_scan_filter_ms_order, 1);
    int_default(idx_get_scan_filter_polarity, 1);
    int_default(idx_get_scan_filter_mass_range_count, 1);

    int_default(idx_get_scan_event_ms_order, 1);
    int_default(idx_get_scan_event_mass_count, 1);

    int_default(idx_get_ms_order, 1);
    int_default(idx_get_scan_number_from_rt, 1);
    int_default(idx_get_ms1_scan_number_from_rt, 1);
    int_default(idx_get_ms2_scan_number_from_rt, 2);
    int_default(idx_get_scan_events_count, 1);
    int_default(idx_get_scan_events_segments, 1);
    int_default(idx_get_scan_events_event_count_for_segment, 1);

    text(idx_get_file_name, "Stand-in file.raw");
    text(idx_get_file_description, "Stand-in RAW file");
    text(idx_get_creator_id, "creator");
    text(idx_get_creation_date, "2024-01-02 03:04:05");
    text(idx_get_modified_date, "2024-01-02 03:04:05");
    text(idx_get_who_modified_id, "modifier");
    text(idx_get_who_created_logon, "creator-logon");
    text(idx_get_who_modified_logon, "modifier-logon");
    text(idx_get_computer_name, "STAND-IN-PC");
    text(idx_get_sample_id, "S-001");
    text(idx_get_sample_name, "Sample 1");
    text(idx_get_sample_vial, "A1");
    text(idx_get_sample_barcode, "0001");
    text(idx_get_sample_comment, "stand-in sample");
    text(idx_get_sample_instrument_method_file, "method.meth");
    text(idx_get_sample_calibration_file, "calibration.cal");
    text(idx_get_sample_calibration_level, "1");
    text(idx_get_sample_processing_method_file, "processing.pmd");
    text(idx_get_autosampler_tray_name, "Tray 1");
    text(idx_get_instrument_name, "Stand-in instrument");
    text(idx_get_instrument_model, "Model S");
    text(idx_get_instrument_serial_number, "SN-0001");
    text(idx_get_instrument_hardware_version, "1.0");
    text(idx_get_instrument_software_version, "2.0");
    text(idx_get_instrument_flags, "flags");
    text(idx_get_instrument_axis_label_x, "m/z");
    text(idx_get_instrument_axis_label_y, "Intensity");
    text(idx_get_scan_filter_string, "ms1 full [100.0-2000.0]");
    text(idx_get_scan_event_string, "event ms1 full [100.0-2000.0]");

    text(idx_get_sample_user_text, "User text 1###|###User text 2");
    e(idx_get_filters).pointers = {std::string("ms1 full [100.0-2000.0]"),
                                   std::string("ms2 400.00 [100.0-1000.0]")};
    e(idx_get_scan_filter_meta_filters).pointers = {std::string("meta filter 1")};
    e(idx_get_ms2_filter_masses).arrays[0] = {400.0, 500.0};

    int_default(idx_get_status_log_count, 2);
    text(idx_get_status_log_header, "Time|Pressure|Temp");
    text(idx_get_status_log_values, "0.5|1.5e-05|25.0");
    text(idx_get_status_log_values_for_rt, "0.5|1.5e-05|25.0");
    int_default(idx_get_trailer_extra_count, 100);
    text(idx_get_trailer_extra_header, "Charge|Injection time|Resolution");
    text(idx_get_trailer_extra_labels, "Charge|Injection time|Resolution");
    text(idx_get_trailer_extra_values, "2|10.0|60000");
    int_default(idx_get_tune_data_count, 1);
    int_default(idx_get_error_log_items_count, 1);
    text(idx_get_error_log_item_message, "Stand-in error");
    real_default(idx_get_error_log_item_retention_time, 1.25);
    int_default(idx_get_instrument_method_count, 1);
    text(idx_get_instrument_method, "Stand-in instrument method");

    auto& spectrum = e(idx_get_spectrum).arrays;
    auto& averaged = e(idx_get_averaged_spectrum).arrays;
    for (int i = 0; i < 5; ++i) {
        spectrum[0].push_back(100.0 + i);
        spectrum[1].push_back(1000.0 * (i + 1));
        averaged[0].push_back(100.0 + i);
        averaged[1].push_back(500.0 * (i + 1));
    }
    Entry& centroids = e(idx_get_centroid_stream_full);
    centroids.arrays = {{100.0, 200.0, 300.0},
                        {1000.0, 2000.0, 3000.0},
                        {60000.0, 60000.0, 60000.0},
                        {10.0, 20.0, 30.0}};
    centroids.int_array = {1, 2, 3};
    centroids.trailer = std::make_pair(1.5, 2.5);
    auto& chromatogram = e(idx_get_chromatogram).arrays;
    for (int i = 0; i < 4; ++i) {
        chromatogram[0].push_back(0.5 * i);
        chromatogram[1].push_back(10.0 * (i + 1));
    }
    auto& stats = e(idx_get_scan_stats).arrays[0];
    for (int i = 0; i < 20; ++i) stats.push_back(1.0 + i);
    text(idx_get_scan_stats_scan_type, "Full ms");

    int_default(idx_get_scan_dependents_count, 2);
    int_default(idx_get_scan_dependent_detail_scan_index, 2);
    text(idx_get_scan_dependent_detail_filter_string, "ms2 dependent");
    e(idx_get_scan_dependent_detail_precursor_mass_array).arrays[0] = {400.0, 500.0};
    e(idx_get_scan_dependent_detail_isolation_width_array).arrays[0] = {2.0, 2.0};
}

int find_entry(const char* name) {
    static const std::unordered_map<std::string_view, int> index = [] {
        std::unordered_map<std::string_view, int> m;
        for (int k = 0; k < kEntryCount; ++k) m.emplace(kRows[k].name, k);
        return m;
    }();
    if (name == nullptr) return -1;
    const auto it = index.find(name);
    return it == index.end() ? -1 : it->second;
}

// ---------------------------------------------------------------------------
// One call of an entry point.

struct Arg {
    std::int64_t i = 0;
    double d = 0.0;
    void* p = nullptr;
};

struct Outcome {
    std::int64_t i = 0;
    double d = 0.0;
};

template <typename T>
Arg to_arg(T v) {
    Arg a;
    if constexpr (std::is_pointer_v<T>) {
        // input pointers are only read; the constness is restored by kind
        a.p = const_cast<void*>(static_cast<const void*>(v));
    } else if constexpr (std::is_floating_point_v<T>) {
        a.d = v;
    } else {
        a.i = v;
    }
    return a;
}

// Capacity or count that belongs to the parameter at k; negative counts as 0.
std::size_t capacity_for(const Entry& e, const Arg* args, std::size_t k) {
    const std::size_t pos = count_position(e.params, k);
    return static_cast<std::size_t>(std::max<std::int64_t>(args[pos].i, 0));
}

void record_call(Entry& e, const Arg* args) {
    ++e.calls;
    e.last.assign(e.params.size(), ArgRecord{});
    for (std::size_t k = 0; k < e.params.size(); ++k) {
        ArgRecord& r = e.last[k];
        const Arg& a = args[k];
        switch (e.params[k]) {
            case 'i':
                r.i = a.i;
                break;
            case 'd':
                r.d = a.d;
                break;
            case 's':
                r.is_null = a.p == nullptr;
                if (a.p != nullptr) r.text = std::string(static_cast<const char*>(a.p));
                break;
            case 'A': {
                r.is_null = a.p == nullptr;
                const auto* v = static_cast<const double*>(a.p);
                if (v != nullptr) r.in_doubles.assign(v, v + capacity_for(e, args, k));
                break;
            }
            case 'J': {
                r.is_null = a.p == nullptr;
                const auto* v = static_cast<const std::int32_t*>(a.p);
                if (v != nullptr) r.in_ints.assign(v, v + capacity_for(e, args, k));
                break;
            }
            default:  // out-buffers: their capacities are recorded as 'i'
                r.is_null = a.p == nullptr;
                break;
        }
    }
}

const std::string* text_for(const Entry& e, const State& s) {
    if (e.text) return &*e.text;
    if (e.name == "get_path") return &s.last_opened_path;
    return nullptr;
}

void write_outputs(const Entry& e, const State& s, const Arg* args) {
    std::size_t array_ordinal = 0;
    for (std::size_t k = 0; k < e.params.size(); ++k) {
        void* const out = args[k].p;
        switch (e.params[k]) {
            case 'b': {
                const std::string* t = text_for(e, s);
                if (out != nullptr && t != nullptr) {
                    const std::size_t n = std::min(t->size(), capacity_for(e, args, k));
                    std::memcpy(out, t->data(), n);
                }
                break;
            }
            case 'D': {
                const std::vector<double>& v = e.arrays[array_ordinal++];
                if (out != nullptr) {
                    const std::size_t n = std::min(v.size(), capacity_for(e, args, k));
                    std::copy_n(v.begin(), n, static_cast<double*>(out));
                }
                break;
            }
            case 'N':
                if (out != nullptr) {
                    const std::size_t n = std::min(e.int_array.size(), capacity_for(e, args, k));
                    std::copy_n(e.int_array.begin(), n, static_cast<std::int32_t*>(out));
                }
                break;
            case 'T':
                if (out != nullptr && e.trailer) {
                    auto* t = static_cast<double*>(out);
                    t[0] = e.trailer->first;
                    t[1] = e.trailer->second;
                }
                break;
            case 'S':
                if (out != nullptr) {
                    const std::vector<double>& v = e.arrays[0];
                    std::copy_n(v.begin(), std::min<std::size_t>(v.size(), 20),
                                static_cast<double*>(out));
                }
                break;
            case 'P':
                if (out != nullptr) {
                    auto* slots = static_cast<const char**>(out);
                    const std::size_t n = std::min(e.pointers.size(), capacity_for(e, args, k));
                    for (std::size_t j = 0; j < n; ++j) {
                        if (e.pointers[j]) slots[j] = e.pointers[j]->c_str();
                    }
                }
                break;
            default:
                break;
        }
    }
}

std::int64_t natural_count(const Entry& e, const State& s) {
    if (e.has('b')) {
        const std::string* t = text_for(e, s);
        return t == nullptr ? 0 : static_cast<std::int64_t>(t->size());
    }
    if (e.has('P')) return static_cast<std::int64_t>(e.pointers.size());
    if (!e.arrays.empty()) return static_cast<std::int64_t>(e.arrays[0].size());
    return 0;
}

Outcome outcome_of(Entry& e, State& s, const Arg* args) {
    if (e.has_result) return {e.result_i, e.result_d};
    if (e.name == "open_raw_file") {
        if (args[0].p != nullptr) s.last_opened_path = static_cast<const char*>(args[0].p);
        return {s.next_handle++, 0.0};
    }
    if (e.fills_output()) return {natural_count(e, s), 0.0};
    if (e.name == "get_scan_rt") return {0, 0.5 * static_cast<double>(args[1].i)};
    return {e.default_i, e.default_d};
}

// Unused in the variant without entry points.
// Bytes of the out-buffer at parameter k as the entry point is allowed to
// write it: its whole capacity. 0 for parameters that are not out-buffers.
std::size_t out_bytes(const Entry& e, const Arg* args, std::size_t k) {
    switch (e.params[k]) {
        case 'b':
            return capacity_for(e, args, k);
        case 'D':
            return capacity_for(e, args, k) * sizeof(double);
        case 'N':
            return capacity_for(e, args, k) * sizeof(std::int32_t);
        case 'P':
            return capacity_for(e, args, k) * sizeof(const char*);
        case 'T':
            return 2 * sizeof(double);
        case 'S':
            return 20 * sizeof(double);
        default:
            return 0;
    }
}

std::int64_t count_nonzero_outputs(const Entry& e, const Arg* args) {
    std::int64_t found = 0;
    for (std::size_t k = 0; k < e.params.size(); ++k) {
        const auto* bytes = static_cast<const unsigned char*>(args[k].p);
        const std::size_t n = bytes != nullptr ? out_bytes(e, args, k) : 0;
        for (std::size_t i = 0; i < n; ++i) found += bytes[i] != 0;
    }
    return found;
}

void fill_outputs(const Entry& e, const Arg* args, unsigned char byte) {
    for (std::size_t k = 0; k < e.params.size(); ++k) {
        if (args[k].p != nullptr) std::memset(args[k].p, byte, out_bytes(e, args, k));
    }
}

[[maybe_unused]] Outcome run_entry(EntryIndex k, const Arg* args) {
    std::lock_guard<std::mutex> lock(g_mutex);
    State& s = state();
    Entry& e = s.entries[static_cast<std::size_t>(k)];
    record_call(e, args);
    e.nonzero_bytes = s.check_zero ? count_nonzero_outputs(e, args) : -1;
    if (s.fill_byte >= 0) fill_outputs(e, args, static_cast<unsigned char>(s.fill_byte));
    write_outputs(e, s, args);
    return outcome_of(e, s, args);
}

template <Sig S, typename... A>
RetT<S> call_entry(EntryIndex k, A... a) {
    static_assert(sizeof...(A) == S.arity());
    const std::array<Arg, sizeof...(A)> args{to_arg(a)...};
    const Outcome r = run_entry(k, args.data());
    if constexpr (S.ret() == 'd') {
        return r.d;
    } else {
        return static_cast<RetT<S>>(r.i);
    }
}

// ---------------------------------------------------------------------------
// Control-API helpers (callers hold the mutex).

Entry* entry_named(const char* name) {
    const int k = find_entry(name);
    return k < 0 ? nullptr : &state().entries[static_cast<std::size_t>(k)];
}

// The record of parameter pos of the last call, if that parameter has kind
// in `kinds` and a call was recorded.
const ArgRecord* record_at(const Entry& e, std::int32_t pos, std::string_view kinds) {
    if (pos < 0 || static_cast<std::size_t>(pos) >= e.params.size()) return nullptr;
    if (kinds.find(e.params[static_cast<std::size_t>(pos)]) == std::string_view::npos) return nullptr;
    if (e.calls == 0) return nullptr;
    return &e.last[static_cast<std::size_t>(pos)];
}

constexpr std::int64_t kNoInt = std::numeric_limits<std::int64_t>::min();
constexpr std::string_view kPointerKinds = "sbPDNTSAJ";

}  // namespace

// ---------------------------------------------------------------------------
// The entry points.

#define RS_PARAMS_1(S) ParamT<S, 0> a0
#define RS_PARAMS_2(S) RS_PARAMS_1(S), ParamT<S, 1> a1
#define RS_PARAMS_3(S) RS_PARAMS_2(S), ParamT<S, 2> a2
#define RS_PARAMS_4(S) RS_PARAMS_3(S), ParamT<S, 3> a3
#define RS_PARAMS_5(S) RS_PARAMS_4(S), ParamT<S, 4> a4
#define RS_PARAMS_6(S) RS_PARAMS_5(S), ParamT<S, 5> a5
#define RS_PARAMS_7(S) RS_PARAMS_6(S), ParamT<S, 6> a6
#define RS_PARAMS_8(S) RS_PARAMS_7(S), ParamT<S, 7> a7
#define RS_PARAMS_9(S) RS_PARAMS_8(S), ParamT<S, 8> a8
#define RS_PARAMS_10(S) RS_PARAMS_9(S), ParamT<S, 9> a9
#define RS_PARAMS_11(S) RS_PARAMS_10(S), ParamT<S, 10> a10
#define RS_ARGS_1 a0
#define RS_ARGS_2 RS_ARGS_1, a1
#define RS_ARGS_3 RS_ARGS_2, a2
#define RS_ARGS_4 RS_ARGS_3, a3
#define RS_ARGS_5 RS_ARGS_4, a4
#define RS_ARGS_6 RS_ARGS_5, a5
#define RS_ARGS_7 RS_ARGS_6, a6
#define RS_ARGS_8 RS_ARGS_7, a7
#define RS_ARGS_9 RS_ARGS_8, a8
#define RS_ARGS_10 RS_ARGS_9, a9
#define RS_ARGS_11 RS_ARGS_10, a10

#define RS_DEFINE_1(name, sig, n)  // omitted from this variant
#define RS_DEFINE_0(name, sig, n)                                      \
    extern "C" READER_STUB_EXPORT RetT<sig> name(RS_PARAMS_##n(sig)) { \
        return call_entry<sig>(idx_##name, RS_ARGS_##n);               \
    }

#if RS_NO_ENTRY_POINTS
#define READER_ENTRY(name, sig, n)
#else
#define READER_ENTRY(name, sig, n) RS_CAT(RS_DEFINE_, RS_OMITTED(name))(name, sig, n)
#endif
#include "reader_entries.def"

// ---------------------------------------------------------------------------
// Control API. Functions that take an entry name return 0 on success, -1 for
// an unknown name and -2 when the request does not fit the entry point (it
// has no parameter of that kind, a negative length, a missing array).

extern "C" {

READER_STUB_EXPORT std::int32_t stub_entry_count(void) { return kEntryCount; }

// nullptr when i is out of range.
READER_STUB_EXPORT const char* stub_entry_name(std::int32_t i) {
    return i >= 0 && i < kEntryCount ? kRows[i].name : nullptr;
}

// nullptr when i is out of range.
READER_STUB_EXPORT const char* stub_entry_sig(std::int32_t i) {
    return i >= 0 && i < kEntryCount ? kRows[i].sig : nullptr;
}

// 1 if this variant exports the entry point, 0 if not, -1 for an unknown name.
READER_STUB_EXPORT std::int32_t stub_variant_exports(const char* name) {
    const int k = find_entry(name);
    return k < 0 ? -1 : (kRows[k].exported ? 1 : 0);
}

READER_STUB_EXPORT void stub_reset(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    state().reset();
}

// int32 entry points return (int32_t)v, the int64 one v, float64 ones (double)v.
READER_STUB_EXPORT int stub_set_result_int(const char* name, std::int64_t v) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Entry* e = entry_named(name);
    if (e == nullptr) return -1;
    e->has_result = true;
    e->result_i = v;
    e->result_d = static_cast<double>(v);
    return 0;
}

// Only for float64 entry points (-2 otherwise).
READER_STUB_EXPORT int stub_set_result_double(const char* name, double v) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Entry* e = entry_named(name);
    if (e == nullptr) return -1;
    if (e->ret != 'd') return -2;
    e->has_result = true;
    e->result_d = v;
    return 0;
}

READER_STUB_EXPORT int stub_set_text(const char* name, const char* bytes, std::int32_t len) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Entry* e = entry_named(name);
    if (e == nullptr) return -1;
    if (!e->has('b') || len < 0 || (bytes == nullptr && len > 0)) return -2;
    e->text = len == 0 ? std::string() : std::string(bytes, static_cast<std::size_t>(len));
    return 0;
}

READER_STUB_EXPORT int stub_set_array(const char* name, std::int32_t which, const double* values,
                                      std::int32_t n) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Entry* e = entry_named(name);
    if (e == nullptr) return -1;
    if (which < 0 || static_cast<std::size_t>(which) >= e->arrays.size()) return -2;
    if (n < 0 || (values == nullptr && n > 0)) return -2;
    auto& v = e->arrays[static_cast<std::size_t>(which)];
    v.assign(values, values + n);
    return 0;
}

READER_STUB_EXPORT int stub_set_int_array(const char* name, const std::int32_t* values,
                                          std::int32_t n) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Entry* e = entry_named(name);
    if (e == nullptr) return -1;
    if (!e->has('N') || n < 0 || (values == nullptr && n > 0)) return -2;
    e->int_array.assign(values, values + n);
    return 0;
}

// The texts are copied; the copies stay valid until the next reset or the
// next stub_set_pointers for this entry. A null entry gives a null slot,
// which the entry point leaves untouched.
READER_STUB_EXPORT int stub_set_pointers(const char* name, const char* const* texts,
                                         std::int32_t n) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Entry* e = entry_named(name);
    if (e == nullptr) return -1;
    if (!e->has('P') || n < 0 || (texts == nullptr && n > 0)) return -2;
    std::vector<std::optional<std::string>> copies;
    copies.reserve(static_cast<std::size_t>(n));
    for (std::int32_t j = 0; j < n; ++j) {
        if (texts[j] == nullptr) {
            copies.emplace_back(std::nullopt);
        } else {
            copies.emplace_back(std::string(texts[j]));
        }
    }
    e->pointers = std::move(copies);
    return 0;
}

READER_STUB_EXPORT int stub_set_trailer(const char* name, double a, double b) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Entry* e = entry_named(name);
    if (e == nullptr) return -1;
    if (!e->has('T')) return -2;
    e->trailer = std::make_pair(a, b);
    return 0;
}

// The entry point writes nothing into its trailer from now on.
READER_STUB_EXPORT int stub_clear_trailer(const char* name) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Entry* e = entry_named(name);
    if (e == nullptr) return -1;
    if (!e->has('T')) return -2;
    e->trailer.reset();
    return 0;
}

// -1 for an unknown name.
// With `on` non-zero, every later call counts the non-zero bytes in its
// out-buffers, over their whole capacity, before it writes anything
// (stub_nonzero_bytes reads the count back). Off after reset.
READER_STUB_EXPORT void stub_check_zero_fill(std::int32_t on) {
    std::lock_guard<std::mutex> lock(g_mutex);
    state().check_zero = on != 0;
}

// With `byte` in 0..255, every later call first fills its out-buffers with
// that byte over their whole capacity, then writes its answer on top: it
// leaves memory that a careless allocator would hand out again uncleared.
// -1 (the state after reset) stops it.
READER_STUB_EXPORT void stub_fill_outputs(std::int32_t byte) {
    std::lock_guard<std::mutex> lock(g_mutex);
    state().fill_byte = byte >= 0 && byte <= 255 ? byte : -1;
}

// Non-zero bytes that the last call of the entry point found in its
// out-buffers; -1 when that call did not check (or there was none), -2 for an
// unknown name.
READER_STUB_EXPORT std::int64_t stub_nonzero_bytes(const char* name) {
    std::lock_guard<std::mutex> lock(g_mutex);
    const Entry* e = entry_named(name);
    if (e == nullptr) return -2;
    return e->calls > 0 ? e->nonzero_bytes : -1;
}

READER_STUB_EXPORT std::int64_t stub_calls(const char* name) {
    std::lock_guard<std::mutex> lock(g_mutex);
    const Entry* e = entry_named(name);
    return e == nullptr ? -1 : e->calls;
}

READER_STUB_EXPORT std::int64_t stub_total_calls(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::int64_t total = 0;
    for (const Entry& e : state().entries) total += e.calls;
    return total;
}

// INT64_MIN when the name is unknown, pos is not an 'i' parameter, or no
// call was recorded.
READER_STUB_EXPORT std::int64_t stub_last_int(const char* name, std::int32_t pos) {
    std::lock_guard<std::mutex> lock(g_mutex);
    const Entry* e = entry_named(name);
    const ArgRecord* r = e == nullptr ? nullptr : record_at(*e, pos, "i");
    return r == nullptr ? kNoInt : r->i;
}

// NaN when the name is unknown, pos is not a 'd' parameter, or no call was
// recorded.
READER_STUB_EXPORT double stub_last_double(const char* name, std::int32_t pos) {
    std::lock_guard<std::mutex> lock(g_mutex);
    const Entry* e = entry_named(name);
    const ArgRecord* r = e == nullptr ? nullptr : record_at(*e, pos, "d");
    return r == nullptr ? std::numeric_limits<double>::quiet_NaN() : r->d;
}

// Copies min(length, cap) recorded bytes of an 's' parameter into out and
// returns the full length; -1 when the pointer was null or no call was
// recorded; -2 when the name is unknown or pos is not an 's' parameter.
READER_STUB_EXPORT std::int32_t stub_last_text(const char* name, std::int32_t pos, char* out,
                                               std::int32_t cap) {
    std::lock_guard<std::mutex> lock(g_mutex);
    const Entry* e = entry_named(name);
    if (e == nullptr || pos < 0 || static_cast<std::size_t>(pos) >= e->params.size() ||
        e->params[static_cast<std::size_t>(pos)] != 's') {
        return -2;
    }
    const ArgRecord* r = record_at(*e, pos, "s");
    if (r == nullptr || !r->text) return -1;
    if (out != nullptr && cap > 0) {
        std::memcpy(out, r->text->data(), std::min(r->text->size(), static_cast<std::size_t>(cap)));
    }
    return static_cast<std::int32_t>(r->text->size());
}

// 1 if the pointer parameter at pos was null in the last call, 0 if not;
// -1 when no call was recorded; -2 when the name is unknown or pos is not a
// pointer parameter.
READER_STUB_EXPORT std::int32_t stub_last_ptr_was_null(const char* name, std::int32_t pos) {
    std::lock_guard<std::mutex> lock(g_mutex);
    const Entry* e = entry_named(name);
    if (e == nullptr || pos < 0 || static_cast<std::size_t>(pos) >= e->params.size() ||
        kPointerKinds.find(e->params[static_cast<std::size_t>(pos)]) == std::string_view::npos) {
        return -2;
    }
    const ArgRecord* r = record_at(*e, pos, kPointerKinds);
    if (r == nullptr) return -1;
    return r->is_null ? 1 : 0;
}

// Number of elements recorded for an 'A' or 'J' parameter (0 when the
// pointer was null or the count negative); -1 when the name is unknown, pos
// is not an input array or no call was recorded.
READER_STUB_EXPORT std::int32_t stub_last_in_count(const char* name, std::int32_t pos) {
    std::lock_guard<std::mutex> lock(g_mutex);
    const Entry* e = entry_named(name);
    const ArgRecord* r = e == nullptr ? nullptr : record_at(*e, pos, "AJ");
    if (r == nullptr) return -1;
    const std::size_t n = e->params[static_cast<std::size_t>(pos)] == 'A' ? r->in_doubles.size()
                                                                          : r->in_ints.size();
    return static_cast<std::int32_t>(n);
}

// Element i of a recorded 'A' array; NaN when out of range or not recorded.
READER_STUB_EXPORT double stub_last_in_double(const char* name, std::int32_t pos, std::int32_t i) {
    std::lock_guard<std::mutex> lock(g_mutex);
    const Entry* e = entry_named(name);
    const ArgRecord* r = e == nullptr ? nullptr : record_at(*e, pos, "A");
    if (r == nullptr || i < 0 || static_cast<std::size_t>(i) >= r->in_doubles.size()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return r->in_doubles[static_cast<std::size_t>(i)];
}

// Element i of a recorded 'J' array; INT64_MIN when out of range or not
// recorded.
READER_STUB_EXPORT std::int64_t stub_last_in_int(const char* name, std::int32_t pos,
                                                 std::int32_t i) {
    std::lock_guard<std::mutex> lock(g_mutex);
    const Entry* e = entry_named(name);
    const ArgRecord* r = e == nullptr ? nullptr : record_at(*e, pos, "J");
    if (r == nullptr || i < 0 || static_cast<std::size_t>(i) >= r->in_ints.size()) return kNoInt;
    return r->in_ints[static_cast<std::size_t>(i)];
}

}  // extern "C"

#if defined(_WIN32)
// The loader must switch the calling thread's critical-error message boxes
// off while it loads a library. The thread error mode seen when this library
// is attached to the process is kept for the loader test to read.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {
DWORD g_thread_error_mode_at_load = 0;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_thread_error_mode_at_load = GetThreadErrorMode();
    return TRUE;
}

extern "C" READER_STUB_EXPORT std::uint32_t stub_thread_error_mode_at_load(void) {
    return g_thread_error_mode_at_load;
}
#endif
