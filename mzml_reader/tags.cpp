// Element names to Tags, see tags.h.
#include "tags.h"

#include <cstring>

namespace mzml {

namespace {

const char* local_name(const char* name) {
    const char* colon = std::strrchr(name, ':');
    return colon ? colon + 1 : name;
}

}  // namespace

// A switch on the first letter, then the few names that share it.
Tag classify(const char* full) noexcept {
    const char* n = local_name(full);
    switch (n[0]) {
    case 'a':
        if (!std::strcmp(n, "activation")) return Tag::Activation;
        if (!std::strcmp(n, "analyzer")) return Tag::Analyzer;
        break;
    case 'b':
        if (!std::strcmp(n, "binary")) return Tag::Binary;
        if (!std::strcmp(n, "binaryDataArray")) return Tag::BinaryDataArray;
        if (!std::strcmp(n, "binaryDataArrayList")) return Tag::BinaryDataArrayList;
        break;
    case 'c':
        if (!std::strcmp(n, "cvParam")) return Tag::CvParam;
        if (!std::strcmp(n, "chromatogram")) return Tag::Chromatogram;
        if (!std::strcmp(n, "chromatogramList")) return Tag::ChromatogramList;
        break;
    case 'i':
        if (!std::strcmp(n, "isolationWindow")) return Tag::IsolationWindow;
        if (!std::strcmp(n, "instrumentConfiguration")) return Tag::InstrumentConfiguration;
        if (!std::strcmp(n, "indexedmzML")) return Tag::IndexedMzML;
        if (!std::strcmp(n, "indexList")) return Tag::IndexList;
        if (!std::strcmp(n, "index")) return Tag::Index;
        break;
    case 'm':
        if (!std::strcmp(n, "mzML")) return Tag::MzML;
        break;
    case 'o':
        if (!std::strcmp(n, "offset")) return Tag::Offset;
        break;
    case 'p':
        if (!std::strcmp(n, "precursor")) return Tag::Precursor;
        if (!std::strcmp(n, "product")) return Tag::Product;
        break;
    case 'r':
        if (!std::strcmp(n, "referenceableParamGroupRef")) return Tag::ParamGroupRef;
        if (!std::strcmp(n, "referenceableParamGroup")) return Tag::ParamGroup;
        if (!std::strcmp(n, "run")) return Tag::Run;
        break;
    case 's':
        if (!std::strcmp(n, "scan")) return Tag::Scan;
        if (!std::strcmp(n, "spectrum")) return Tag::Spectrum;
        if (!std::strcmp(n, "selectedIon")) return Tag::SelectedIon;
        if (!std::strcmp(n, "scanWindow")) return Tag::ScanWindow;
        if (!std::strcmp(n, "scanList")) return Tag::ScanList;
        if (!std::strcmp(n, "spectrumList")) return Tag::SpectrumList;
        if (!std::strcmp(n, "sourceFile")) return Tag::SourceFile;
        if (!std::strcmp(n, "sample")) return Tag::Sample;
        if (!std::strcmp(n, "software")) return Tag::Software;
        if (!std::strcmp(n, "softwareRef")) return Tag::SoftwareRef;
        break;
    case 'u':
        if (!std::strcmp(n, "userParam")) return Tag::UserParam;
        break;
    default:
        break;
    }
    return Tag::Other;
}

bool element_level(Tag t) noexcept {
    switch (t) {
    case Tag::Spectrum:
    case Tag::Chromatogram:
    case Tag::ScanList:
    case Tag::Scan:
    case Tag::ScanWindow:
    case Tag::Precursor:
    case Tag::SelectedIon:
        return true;
    default:
        return false;
    }
}

}  // namespace mzml
