// The streaming mzML parser (expat). Three uses:
//   - the open pass: the whole document once, or (with a trustworthy offset
//     index) the header plus each spectrum's and chromatogram's element
//     header; binary array text is skipped without being parsed;
//   - the arrays of one spectrum or chromatogram, from the bytes of its
//     element alone, with a fresh parser per call.
// Element headers and arrays are read by the subset tokenizer where their
// bytes allow (subset_xml.h) and by expat otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "run.h"

namespace mzml {

class ByteSource;

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

// Everything the open pass learns about a document.
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
    std::string error;                      // why the pass stopped early, if it did
};

// One streaming pass over the whole document. Returns false (with *error)
// only when the input is not an mzML document at all; a document cut short
// keeps the spectra and chromatograms that were complete.
// `skip_binary` = false parses the array text too (a fallback for files
// whose array text holds markup).
bool scan_document(const ByteSource& source, Document* doc, bool skip_binary, std::string* error);

// Reads the offset index at the end of an indexedmzML document, checks that
// every offset lands on the element it names, and fills *doc from the
// header and each element's header. False when the file has no index or
// the index is wrong in any way; the caller then runs scan_document.
bool index_document(const ByteSource& source, Document* doc, std::string* why, XmlPath path = XmlPath::Auto);

enum class ElementKind { Spectrum, Chromatogram };

// Decodes the arrays of one <spectrum> (m/z, intensity) or <chromatogram>
// (time in minutes, intensity) from the element's bytes, which start at
// "<spectrum"/"<chromatogram" and may run past its end tag. `expect_id` must
// match the element's id. Thread-safe (a fresh parser per call).
bool parse_element_arrays(const char* data, std::size_t n, ElementKind kind, const std::string& expect_id,
                          const ParamGroups& groups, Arrays* out, std::string* why,
                          XmlPath path = XmlPath::Auto) noexcept;

// The same from the element's <binaryDataArrayList> alone (located at open):
// `default_length` is the element's defaultArrayLength.
bool parse_array_list(const char* data, std::size_t n, ElementKind kind, std::int64_t default_length,
                      const ParamGroups& groups, Arrays* out, std::string* why,
                      XmlPath path = XmlPath::Auto) noexcept;

}  // namespace mzml
