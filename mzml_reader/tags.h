// The mzML elements the reader follows, by name. Names are matched without
// any namespace prefix; every other element is Tag::Other.
#pragma once

#include <cstdint>

namespace mzml {

enum class Tag : std::uint8_t {
    Other, IndexedMzML, MzML, SourceFile, ParamGroup, Sample, Software, InstrumentConfiguration, Analyzer,
    Run, SpectrumList, Spectrum, ScanList, Scan, ScanWindow, Precursor, IsolationWindow, SelectedIon, Activation,
    BinaryDataArrayList, BinaryDataArray, Binary, ChromatogramList, Chromatogram, CvParam, UserParam, ParamGroupRef,
    IndexList, Index, Offset, Product, SoftwareRef,
};

// The Tag of an element name as written (with or without a prefix).
Tag classify(const char* name) noexcept;

// The elements that make up a spectrum's or chromatogram's header: the only
// ones a header handler follows inside an element.
bool element_level(Tag tag) noexcept;

}  // namespace mzml
