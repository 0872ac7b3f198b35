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
    long analyzer_order = -1;
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
    std::string default_config;
    std::uint64_t source_size = 0;          // bytes in the document (0 while a gzip stream is read)
    std::int64_t spectrum_count = -1;       // spectrumList@count
    std::int64_t chromatogram_count = -1;   // chromatogramList@count
    bool saw_root = false;                  // the root element is mzML / indexedmzML
    bool complete = false;                  // the document parsed to its end without error
    Outcome stopped_by;                     // why the pass stopped early, if it did
};

}  // namespace mzml
