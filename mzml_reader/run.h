// An opened mzML run: what the library keeps in memory after open (run-level
// texts, one ScanInfo per spectrum, the chromatogram index) and the on-demand
// decoding of one spectrum's or chromatogram's arrays.
//
// A Run is immutable once open() returns it. Every const member is safe to
// call from many threads at once; reads of arrays go back to the file (or to
// the decompressed gzip stream) on every call and share no mutable state
// except what the byte source guards itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "failure.h"

namespace mzml {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Activation (dissociation) methods, from the activation element's terms.
enum class Activation : std::int32_t {
    Unknown = -1,
    CID = 0,     // collision-induced dissociation
    HCD = 1,     // beam-type / higher-energy collision dissociation
    ETD = 2,     // electron transfer dissociation
    ECD = 3,     // electron capture dissociation
    MPD = 4,     // photodissociation (multiphoton / IRMPD)
    PQD = 5,     // pulsed-q dissociation
    Other = 6,   // any other dissociation term
};

enum class Polarity : std::int32_t { Unknown = -1, Negative = 0, Positive = 1 };

// How a spectrum's points are stored, as the file says; Unknown where it has
// no centroid/profile term.
enum class Representation : std::int8_t { Unknown = -1, Profile = 0, Centroid = 1 };

// A userParam as written (name and value exactly).
struct UserParam {
    std::string name, value;
};

// One precursor of a spectrum (mzML precursorList/precursor).
struct Precursor {
    double selected_mz = kNaN;        // selectedIon "selected ion m/z" (first selected ion)
    double isolation_target = kNaN;   // isolationWindow "isolation window target m/z"
    double isolation_lower = kNaN;    // "isolation window lower offset" (a positive width below the target)
    double isolation_upper = kNaN;    // "isolation window upper offset"
    std::int32_t charge = 0;          // "charge state", 0 when absent
    double selected_intensity = kNaN; // "peak intensity" of the selected ion
    Activation activation = Activation::Unknown;  // the first dissociation term met
    bool supplemental = false;        // a supplemental activation term was present
    double collision_energy = kNaN;   // "collision energy" (any unit as written)
    std::string spectrum_ref;         // the precursor's spectrumRef (native id), may be empty
    std::int32_t precursor_scan = -1; // spectrum_ref resolved to a scan number, -1 when unknown
};

// What is known about one spectrum without decoding its arrays.
struct ScanInfo {
    std::uint64_t offset = 0;          // byte offset of "<spectrum" in the (decompressed) document
    std::string native_id;             // the spectrum's id attribute
    std::int64_t list_index = -1;      // the spectrum's index attribute (its position in the list), -1 when absent
    // A slot kept for a spectrum lost to damage: it holds its scan number
    // (so that the scans after it keep theirs) and nothing else (offset and
    // native_id where known); every read of it fails.
    bool lost = false;
    std::int32_t ms_level = 0;         // "ms level"; 0 when absent
    Representation representation = Representation::Unknown;  // "centroid spectrum" / "profile spectrum"
    Polarity polarity = Polarity::Unknown;
    double rt_minutes = kNaN;          // "scan start time", converted to minutes by its unit
    double window_low = kNaN;          // first scanWindow lower limit
    double window_high = kNaN;         // first scanWindow upper limit
    // The summaries below, and the filter text, as cvParams or else as
    // userParams of the same name.
    double lowest_mz = kNaN;           // "lowest observed m/z"
    double highest_mz = kNaN;          // "highest observed m/z"
    double tic = kNaN;                 // "total ion current"
    double base_peak_mz = kNaN;        // "base peak m/z"
    double base_peak_intensity = kNaN; // "base peak intensity"
    double injection_time = kNaN;      // "ion injection time" (ms)
    std::int64_t array_length = 0;     // defaultArrayLength
    std::string filter_text;           // "filter string" as written, empty when absent
    std::string scan_type;             // spectrum type term name ("MS1 spectrum", "MSn spectrum", ...)
    std::string analyzer;              // analyzer term name of the scan's instrument configuration, may be empty
    std::vector<Precursor> precursors; // in document order
    // Every userParam of the spectrum's header (the spectrum, its scans and
    // scan windows, its precursors, and the param groups they reference), in
    // document order.
    std::vector<UserParam> user_params;

    bool centroid() const noexcept { return representation == Representation::Centroid; }
};

// A chromatogram element of the file.
struct ChromatogramInfo {
    std::uint64_t offset = 0;  // byte offset of "<chromatogram"
    std::string id;
    std::string kind;          // "total ion current chromatogram", "basepeak chromatogram", ... or ""
    std::int64_t array_length = 0;
    double precursor_mz = kNaN;  // its precursor's isolation window target (else selected ion m/z), SRM
    double product_mz = kNaN;    // its product's isolation window target
};

// Run-level facts from the header (fileDescription, sampleList,
// instrumentConfigurationList, softwareList, run attributes).
struct RunInfo {
    std::string run_id;
    std::string start_time_stamp;      // run@startTimeStamp as written (xs:dateTime), may be empty
    std::string source_file_name;      // first sourceFile@name
    std::string source_file_location;  // first sourceFile@location
    std::string instrument_model;      // name of a specific model term, or the value of "instrument model"
    std::string instrument_name;       // an "instrument attribute"/"instrument name" value, may be empty
    std::string instrument_serial;     // "instrument serial number" value
    std::string software_name;         // the instrument configuration's software: its term name (or id)
    std::string software_version;      // its version attribute
    std::string sample_name;           // first sample@name
    std::string sample_id;             // first sample@id
    std::string sample_comment;        // first sample's "sample description"/comment value or user param, may be empty
    std::vector<std::string> analyzers;// analyzer term names over the instrument configurations
};

// One entry of a run's error log: what was lost and where, with the
// retention time of the spectrum concerned when that is known.
struct LogEntry {
    std::string message;
    double rt = kNaN;
};

// The arrays of one spectrum or chromatogram, decoded.
struct Arrays {
    std::vector<double> x;  // m/z (spectrum) or time in minutes (chromatogram)
    std::vector<double> y;  // intensity
    // The names of the element's other arrays, which are not decoded: the
    // array's type term ("charge array"), the value of a "non-standard data
    // array", or a second m/z / intensity array, in document order.
    std::vector<std::string> others;
};

// Which tokenizer reads the bytes of one element: the subset tokenizer
// (subset_xml.h), with expat for whatever it declines, or expat alone. Both
// give the same answers; ExpatOnly exists to show that in tests.
enum class XmlPath { Auto, ExpatOnly };

class ByteSource;  // plain file or gzip stream, see source.h

class Run {
public:
    // Opens and indexes a file. Returns nullptr and sets *error (what went
    // wrong, with a short English reason for the error log) when the file
    // cannot be read, is not mzML, or ends before its first spectrum. Never
    // throws.
    static std::unique_ptr<Run> open(const std::string& path, Outcome* error) noexcept;
    ~Run();

    const std::string& path() const noexcept { return path_; }
    const RunInfo& info() const noexcept { return info_; }
    // Spectra in document order; scan number = first_scan() + position.
    const std::vector<ScanInfo>& scans() const noexcept { return scans_; }
    std::int32_t first_scan() const noexcept { return first_scan_; }
    const std::vector<ChromatogramInfo>& chromatograms() const noexcept { return chromatograms_; }
    bool gzip() const noexcept;
    // True when open() used the file's own offset index (it was present and
    // checked out; spectra it lists that do not parse are lost alone);
    // false after a full pass.
    bool used_index() const noexcept { return used_index_; }
    // What open() found damaged or missing, in document order (see
    // damage.h): one entry per lost stretch of spectra or chromatogram, per
    // count the file declares but does not hold, and for a document that
    // ends early. Empty for an undamaged file.
    const std::vector<LogEntry>& damage() const noexcept { return damage_; }

    // Decodes the m/z and intensity arrays of scans()[position] into *out.
    // Returns false (and leaves *out empty, and says why in *why when given)
    // when the element cannot be read, its arrays are malformed (bad
    // base64, wrong length, bad compression) or the spectrum was lost.
    // Thread-safe. Never throws.
    bool read_spectrum(std::size_t position, Arrays* out, XmlPath path = XmlPath::Auto,
                       Outcome* why = nullptr) const noexcept;
    // The same for chromatograms()[position] (x in minutes).
    bool read_chromatogram(std::size_t position, Arrays* out, XmlPath path = XmlPath::Auto) const noexcept;
    // The names of the arrays of scans()[position] besides m/z and
    // intensity (Arrays::others), read without decoding any array. False
    // when the element cannot be read.
    bool other_arrays(std::size_t position, std::vector<std::string>* names) const noexcept;

private:
    Run() = default;
    std::string path_;
    RunInfo info_;
    std::vector<ScanInfo> scans_;
    std::vector<ChromatogramInfo> chromatograms_;
    std::int32_t first_scan_ = 1;
    bool used_index_ = false;
    std::vector<LogEntry> damage_;
    std::unique_ptr<ByteSource> source_;
    struct Detail;  // element spans and parameter groups, see run.cpp
    std::unique_ptr<Detail> detail_;
};

}  // namespace mzml
