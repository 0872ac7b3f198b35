// A tokenizer for the plain subset of XML that mzML writers produce for the
// inside of a spectrum or chromatogram: start, end and empty-element tags
// with ASCII names and attribute values, whitespace between tags, and the
// text of <binary> elements (skipped unread, as the expat path skips it).
//
// It never guesses. Anything outside the subset (comments, processing
// instructions, CDATA, entity or character references, namespace prefixes,
// non-ASCII bytes, control characters, text outside <binary>) and anything
// that is not well-formed (a mismatched end tag, a repeated attribute, a
// missing space between attributes) makes it answer Outside, and the caller
// parses the same bytes with expat instead. On the subset the events it
// records are exactly those expat reports: the same names, the same
// attribute values in the same order, at the same byte positions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mzml {

struct SubsetEvent {
    bool end = false;              // an end tag (an empty-element tag gives a start, then an end)
    std::uint32_t name = 0;        // arena offset of the NUL-terminated element name
    std::uint32_t attrs = 0;       // index into SubsetTokens::attrs of the first (name, value) pair
    std::uint32_t attr_count = 0;
    std::size_t at = 0;            // byte position of the tag's '<' (for the end of an empty
                                   // element, the position just past its tag, as expat reports it)
    std::size_t length = 0;        // bytes in the tag (0 for the end of an empty element)
};

struct SubsetTokens {
    std::string arena;                   // NUL-terminated names and values
    std::vector<std::uint32_t> attrs;    // arena offsets: name, value, name, value, ...
    std::vector<SubsetEvent> events;
    void clear() {
        arena.clear();
        attrs.clear();
        events.clear();
    }
};

enum class Subset {
    Complete,  // the root element ended, or the stop tag was reached
    Outside,   // the bytes leave the subset: parse them with expat
    Short,     // the data ended first: more bytes may complete it
};

// Tokenizes `data`, which must begin with the root element's start tag, up to
// the end of the root element, or up to and including the first start tag
// named `stop_at` (when given). The text of a <binary> element directly
// inside a <binaryDataArray> is skipped up to the next '<' without being
// looked at. Inputs over 1 GiB are Outside.
Subset tokenize_subset(const char* data, std::size_t n, const char* stop_at, SubsetTokens* out);

}  // namespace mzml
