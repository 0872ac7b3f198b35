// What went wrong, as a value. Every failure of the reading core is one kind
// of Failure (and, for an unusable offset index, one IndexProblem), so that a
// decision (make a recovery pass, give up on the index, report) reads the
// kind and never the wording. The text beside it is for the error log alone:
// rewording it changes no behaviour.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace mzml {

enum class Failure : std::uint8_t {
    None,           // nothing went wrong
    NoSuchFile,     // the path names nothing
    NotAFile,       // the path names something other than a regular file
    Io,             // the operating system refused an open or a read
    NoMemory,       // an allocation failed
    NotXml,         // the bytes are not an XML document
    NotMzml,        // an XML document whose root is not mzML / indexedmzML
    Truncated,      // the input ended early: inside a tag, an element or a compressed stream
    Malformed,      // the XML, or the mzML structure, is wrong
    Corrupt,        // the gzip stream is damaged
    BadArrays,      // a binary data array cannot be decoded, or is missing
    IndexUnusable,  // the offset index is absent or disagrees with the document (see IndexProblem)
};

// Why an offset index cannot be used.
enum class IndexProblem : std::uint8_t {
    None,
    Absent,                 // no indexListOffset near the end of the file
    Unreadable,             // the end of the file could not be read
    OffsetOutOfRange,       // indexListOffset points outside the file
    ListMalformed,          // the indexList there does not parse
    HeaderMalformed,        // the document before the first element does not parse
    SpectrumCount,          // spectrumList@count differs from the spectra the index lists
    ChromatogramCount,      // the same for chromatograms
    UndeclaredSpectra,      // the index lists spectra, the document declares no spectrumList
    DuplicateOffsets,       // two entries (or an entry and the index) share an offset
    SpectraOutOfOrder,      // spectrum offsets do not rise in document order
    OffsetBeyondIndex,      // an element's offset lies at or after the index itself
    SpectrumMisplaced,      // a spectrum's offset does not land on that spectrum's header
    ChromatogramMisplaced,  // the same for a chromatogram (no longer refuses an index: such a chromatogram is settled alone)
};

// A short name of each kind, for tools and logs.
constexpr const char* failure_name(Failure failure) noexcept {
    switch (failure) {
    case Failure::None: return "none";
    case Failure::NoSuchFile: return "no_such_file";
    case Failure::NotAFile: return "not_a_file";
    case Failure::Io: return "io";
    case Failure::NoMemory: return "no_memory";
    case Failure::NotXml: return "not_xml";
    case Failure::NotMzml: return "not_mzml";
    case Failure::Truncated: return "truncated";
    case Failure::Malformed: return "malformed";
    case Failure::Corrupt: return "corrupt";
    case Failure::BadArrays: return "bad_arrays";
    case Failure::IndexUnusable: return "index_unusable";
    }
    return "unknown";
}

constexpr const char* index_problem_name(IndexProblem problem) noexcept {
    switch (problem) {
    case IndexProblem::None: return "none";
    case IndexProblem::Absent: return "absent";
    case IndexProblem::Unreadable: return "unreadable";
    case IndexProblem::OffsetOutOfRange: return "offset_out_of_range";
    case IndexProblem::ListMalformed: return "list_malformed";
    case IndexProblem::HeaderMalformed: return "header_malformed";
    case IndexProblem::SpectrumCount: return "spectrum_count";
    case IndexProblem::ChromatogramCount: return "chromatogram_count";
    case IndexProblem::UndeclaredSpectra: return "undeclared_spectra";
    case IndexProblem::DuplicateOffsets: return "duplicate_offsets";
    case IndexProblem::SpectraOutOfOrder: return "spectra_out_of_order";
    case IndexProblem::OffsetBeyondIndex: return "offset_beyond_index";
    case IndexProblem::SpectrumMisplaced: return "spectrum_misplaced";
    case IndexProblem::ChromatogramMisplaced: return "chromatogram_misplaced";
    }
    return "unknown";
}

// The result of one step: ok(), or a failure with its kind and its text.
struct Outcome {
    Failure failure = Failure::None;
    IndexProblem index = IndexProblem::None;
    std::string text;

    bool ok() const noexcept { return failure == Failure::None; }
    bool operator==(const Outcome&) const = default;

    static Outcome success() { return Outcome{}; }
    static Outcome fail(Failure failure, std::string text) {
        return Outcome{failure, IndexProblem::None, std::move(text)};
    }
    static Outcome index_unusable(IndexProblem problem, std::string text) {
        return Outcome{Failure::IndexUnusable, problem, std::move(text)};
    }
};

}  // namespace mzml
