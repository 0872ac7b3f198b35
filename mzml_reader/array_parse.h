// The arrays of one spectrum (m/z, intensity) or chromatogram (time in
// minutes, intensity): the element's <binaryDataArrayList> parsed from the
// element's own bytes and each wanted array decoded (decode.h). Read by the
// subset tokenizer where the bytes allow, by expat otherwise; both give the
// same answers. Thread-safe: a fresh parser per call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "document.h"
#include "failure.h"
#include "run.h"

namespace mzml {

enum class ElementKind { Spectrum, Chromatogram };

// What a parse does: decode the wanted arrays (and name the others in
// Arrays::others), or only name the others, decoding nothing.
enum class ArrayWork { Decode, NameOthers };

// From the element's bytes, which start at "<spectrum"/"<chromatogram" and
// may run past its end tag. `expect_id` must match the element's id. On
// failure *out is left empty.
Outcome parse_element_arrays(const char* data, std::size_t n, ElementKind kind, const std::string& expect_id,
                             const ParamGroups& groups, Arrays* out, XmlPath path = XmlPath::Auto,
                             ArrayWork work = ArrayWork::Decode) noexcept;

// The same from the element's <binaryDataArrayList> alone (located at open):
// `default_length` is the element's defaultArrayLength.
Outcome parse_array_list(const char* data, std::size_t n, ElementKind kind, std::int64_t default_length,
                         const ParamGroups& groups, Arrays* out, XmlPath path = XmlPath::Auto,
                         ArrayWork work = ArrayWork::Decode) noexcept;

}  // namespace mzml
