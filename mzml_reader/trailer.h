// A scan's trailer: the label/value pairs the mzML Reader library answers
// through get_trailer_extra_labels / get_trailer_extra_values, the one place
// the entry points give for per-scan texts. In this order:
//
//   "native id"                 the spectrum's id attribute
//   "reader pairs"              k, the number of pairs the library puts before
//                               the file's userParams (these three included)
//   "file pairs"                u, the number of the file's userParams that follow
//   "precursor N spectrum ref"  precursor N's spectrumRef (N from 1), only where
//                               the file names one
//   "extra binary array"        the name of each array besides m/z and
//                               intensity, in file order (one pair each)
//   "extra binary arrays unknown"  in their place when the arrays cannot be read
//   <the userParam's name>      its value: every userParam of the spectrum's
//                               header, in document order (u pairs)
//
// Fields are written with every "%" as "%25" and every "|" as "%7C", so that
// a "|" in a name or value cannot split it (the field separator is "|"). A
// trailer longer than the caller's buffer is cut at a whole pair: the labels
// and the values hold the same first pairs, as many as fit in both, so a
// reader that gets fewer than k + u pairs knows what is missing. The id
// comes first and is never cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "handles.h"

namespace mzml {

struct TrailerPair {
    std::string label, value;
};

// The pairs of scans()[pos] as the file gives them (not yet escaped).
std::vector<TrailerPair> trailer_pairs(const RunView& view, std::size_t pos);

// Writes the labels (or the values) of `pairs` into buffer: escaped, joined
// by "|", cut as described above, ending with a zero byte. The number of
// text bytes written, or -1 for no buffer or a capacity below 1.
std::int32_t write_trailer_text(const std::vector<TrailerPair>& pairs, bool labels, char* buffer,
                                std::int32_t capacity);

}  // namespace mzml
