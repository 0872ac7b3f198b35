// The offset index of an indexedmzML document: reading it (the
// indexListOffset near the end of the file, then the indexList it points at)
// and checking it against the document's header, one named check per
// property. Each step answers an Outcome whose IndexProblem says which
// property failed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <expat.h>

#include "document.h"
#include "failure.h"

namespace mzml {

class ByteSource;

struct IndexEntry {
    std::string id;        // the element's id (offset@idRef)
    std::uint64_t offset;  // where its start tag begins
};

struct OffsetIndex {
    std::uint64_t list_offset = 0;  // where the <indexList> begins (indexListOffset)
    std::vector<IndexEntry> spectra, chromatograms;
};

// Reading.

// The indexListOffset among the last 4 KiB of the document.
Outcome read_index_list_offset(const ByteSource& source, std::uint64_t* list_offset);
// The entries of the indexList at index->list_offset, parsed with `parser`
// (fresh or reset).
Outcome read_index_list(const ByteSource& source, XML_Parser parser, OffsetIndex* index);

// Checks against the document's header (read up to its first element).

// spectrumList@count, where given, equals the spectra listed.
Outcome check_spectrum_count(const OffsetIndex& index, const Document& header);
// chromatogramList@count, where given, equals the chromatograms listed.
Outcome check_chromatogram_count(const OffsetIndex& index, const Document& header);
// Spectra are listed only when the document declares a spectrumList.
Outcome check_spectra_declared(const OffsetIndex& index, const Document& header);
// Spectrum offsets rise in document order.
Outcome check_spectra_in_order(const OffsetIndex& index);
// An element's offset lies before the index itself.
Outcome check_before_index(const OffsetIndex& index, std::uint64_t offset);

// The byte spans of the listed elements: each runs from its offset to the
// next listed offset (or to the index).
class ElementSpans {
public:
    // False (with the problem) when two offsets coincide.
    Outcome build(const OffsetIndex& index);
    // Where the element at `offset` ends; `offset` must have passed
    // check_before_index.
    std::uint64_t end_of(std::uint64_t offset) const;

private:
    std::vector<std::uint64_t> bounds_;  // every listed offset and the index's, ascending
};

}  // namespace mzml
