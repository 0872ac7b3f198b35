// What the open pass learns about a document, before the run model is built
// from it (run.cpp): run-level texts, one ScanInfo per spectrum, the
// chromatograms, each element's byte span, the parameter groups and the
// instrument configurations.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "failure.h"
#include "run.h"

namespace mzml {

// A cvParam or userParam as written.
struct Param {
    std::string accession, name, value, unit_accession, unit_name;
    bool user = false;
};
using ParamGroups = std::unordered_map<std::string, std::vector<Param>>;

struct InstrumentConfig {
    std::string id, model, serial, name, analyzer;
    std::string software_ref;  // its softwareRef@ref: the software of the instrument
    long analyzer_order = -1;
};

// A softwareList entry: its id, name (term name, term value or userParam)
// and version.
struct SoftwareInfo {
    std::string id, name, version;
};

// A stretch of the document that did not parse in the full pass, met
// inside the spectrum list or the chromatogram list, and where reading
// resumed after it (see document_pass.h).
struct Stretch {
    bool spectra = true;              // inside the spectrum list (else the chromatogram list)
    std::uint64_t begin = 0;          // where the damaged element starts, else where the damage was met
    std::uint64_t resumed = 0;        // the start tag where reading resumed; 0 when it did not
    std::size_t complete_before = 0;  // elements of that list read whole before it
    std::size_t guess = 0;            // elements it is taken to have cost when the index attributes cannot tell
    std::string id;                   // id of the damaged element, when its start tag was read
    std::string reason;               // what was wrong, and where
};

// A spectrum or chromatogram that the offset index lists but whose header
// does not parse at the listed offset. It keeps a placeholder in the lists.
struct IndexMiss {
    bool spectrum = true;
    std::size_t position = 0;  // in the index (= in the document's list)
    std::string id;
    std::uint64_t offset = 0;
    std::string reason;
};

struct Document {
    RunInfo info;
    std::vector<ScanInfo> scans;
    std::vector<std::uint64_t> scan_ends;   // end (exclusive) of each spectrum element
    std::vector<ChromatogramInfo> chromatograms;
    std::vector<std::uint64_t> chrom_ends;
    // Offset of each element's <binaryDataArrayList>, 0 when unknown.
    std::vector<std::uint64_t> scan_arrays;
    std::vector<std::uint64_t> chrom_arrays;
    std::vector<std::string> scan_config_refs;  // scan@instrumentConfigurationRef per spectrum
    ParamGroups groups;
    std::vector<InstrumentConfig> configs;
    std::vector<SoftwareInfo> software;
    std::string default_config;
    std::uint64_t source_size = 0;          // bytes in the document (0 while a gzip stream is read)
    std::int64_t spectrum_count = -1;       // spectrumList@count
    std::int64_t chromatogram_count = -1;   // chromatogramList@count
    bool saw_root = false;                  // the root element is mzML / indexedmzML
    bool complete = false;                  // the document parsed to its end without error
    Outcome stopped_by;                     // why the pass stopped early, if it did
    std::uint64_t stopped_at = 0;           // where it stopped, if it did
    std::vector<Stretch> stretches;         // damage the full pass read past, in document order
    std::vector<IndexMiss> misses;          // listed elements that did not land (the indexed open)
    std::vector<LogEntry> damage;           // what was lost, for the error log (see damage.h)
};

}  // namespace mzml
