// Reading and checking the offset index, see offset_index.h.
#include "offset_index.h"

#include <algorithm>
#include <cstring>

#include "feeder.h"
#include "source.h"
#include "xml_events.h"

namespace mzml {

namespace {

// The indexList: one (id, offset) per <offset> of the spectrum and
// chromatogram indexes; other indexes are passed over.
class IndexListHandler final : public ElementHandler {
public:
    explicit IndexListHandler(OffsetIndex* index) : ElementHandler(nullptr), index_(index) {}

    void text(const char* s, int len) override {
        constexpr std::size_t kMaxText = 64;  // more is not an offset
        if (text_.size() < kMaxText) text_.append(s, std::min<std::size_t>(static_cast<std::size_t>(len), kMaxText));
    }

private:
    OffsetIndex* index_;
    std::vector<IndexEntry>* list_ = nullptr;  // the last index opened, null for another kind
    std::string text_, ref_;

    bool root(Tag t, const char**) override {
        if (t == Tag::IndexList) return true;
        abort(Failure::Malformed, "the index offset does not point at an indexList");
        return false;
    }

    void open(Tag t, const char** atts) override {
        if (t == Tag::Index) {
            const char* name = attr(atts, "name");
            list_ = nullptr;
            if (name && !std::strcmp(name, "spectrum")) list_ = &index_->spectra;
            else if (name && !std::strcmp(name, "chromatogram")) list_ = &index_->chromatograms;
        } else if (t == Tag::Offset) {
            const char* r = attr(atts, "idRef");
            ref_ = r ? r : "";
            text_.clear();
            source().capture_text(true);
        }
    }

    void close(Tag t) override {
        if (t != Tag::Offset) return;
        source().capture_text(false);
        std::int64_t off = to_int(text_.c_str(), -1);
        if (off < 0) return abort(Failure::Malformed, "bad offset in the index");
        if (list_) list_->push_back(IndexEntry{ref_, static_cast<std::uint64_t>(off)});
    }
};

}  // namespace

Outcome read_index_list_offset(const ByteSource& source, std::uint64_t* list_offset) {
    static constexpr char kTag[] = "<indexListOffset>";
    constexpr std::size_t kTail = 4096;
    const std::uint64_t size = source.size();
    std::size_t tail_len = static_cast<std::size_t>(std::min<std::uint64_t>(size, kTail));
    std::string tail(tail_len, '\0');
    if (source.read_at(size - tail_len, tail.data(), tail_len) != static_cast<std::int64_t>(tail_len))
        return Outcome::index_unusable(IndexProblem::Unreadable, "read error");
    std::size_t open_tag = tail.rfind(kTag);
    if (open_tag == std::string::npos) return Outcome::index_unusable(IndexProblem::Absent, "no index");
    std::int64_t at = to_int(tail.c_str() + open_tag + (sizeof kTag - 1), -1);
    if (at <= 0 || static_cast<std::uint64_t>(at) >= size)
        return Outcome::index_unusable(IndexProblem::OffsetOutOfRange, "index offset out of range");
    *list_offset = static_cast<std::uint64_t>(at);
    return Outcome::success();
}

Outcome read_index_list(const ByteSource& source, XML_Parser parser, OffsetIndex* index) {
    IndexListHandler handler(index);
    Feeder feeder(parser, handler, index->list_offset, false);
    Outcome ignored;  // a read error leaves the list unfinished, which is what counts
    source.scan(index->list_offset, [&](const char* d, std::size_t n) { return feeder.feed(d, n); }, &ignored);
    if (!handler.finished() || handler.failed())
        return Outcome::index_unusable(IndexProblem::ListMalformed, "the index list is malformed");
    return Outcome::success();
}

Outcome check_spectrum_count(const OffsetIndex& index, const Document& header) {
    if (header.spectrum_count >= 0 && static_cast<std::uint64_t>(header.spectrum_count) != index.spectra.size())
        return Outcome::index_unusable(IndexProblem::SpectrumCount, "the index does not list every spectrum");
    return Outcome::success();
}

Outcome check_chromatogram_count(const OffsetIndex& index, const Document& header) {
    if (header.chromatogram_count >= 0 &&
        static_cast<std::uint64_t>(header.chromatogram_count) != index.chromatograms.size())
        return Outcome::index_unusable(IndexProblem::ChromatogramCount, "the index does not list every chromatogram");
    return Outcome::success();
}

Outcome check_spectra_declared(const OffsetIndex& index, const Document& header) {
    if (header.spectrum_count < 0 && !index.spectra.empty())
        return Outcome::index_unusable(IndexProblem::UndeclaredSpectra, "the index lists spectra the document does not");
    return Outcome::success();
}

Outcome check_spectra_in_order(const OffsetIndex& index) {
    const auto& s = index.spectra;
    for (std::size_t i = 1; i < s.size(); ++i)
        if (s[i].offset <= s[i - 1].offset)
            return Outcome::index_unusable(IndexProblem::SpectraOutOfOrder, "spectrum offsets out of order");
    return Outcome::success();
}

Outcome check_before_index(const OffsetIndex& index, std::uint64_t offset) {
    if (offset >= index.list_offset)
        return Outcome::index_unusable(IndexProblem::OffsetBeyondIndex, "offset beyond the index");
    return Outcome::success();
}

Outcome ElementSpans::build(const OffsetIndex& index) {
    bounds_.clear();
    bounds_.reserve(index.spectra.size() + index.chromatograms.size() + 1);
    for (const IndexEntry& e : index.spectra) bounds_.push_back(e.offset);
    for (const IndexEntry& e : index.chromatograms) bounds_.push_back(e.offset);
    bounds_.push_back(index.list_offset);
    std::sort(bounds_.begin(), bounds_.end());
    if (std::adjacent_find(bounds_.begin(), bounds_.end()) != bounds_.end())
        return Outcome::index_unusable(IndexProblem::DuplicateOffsets, "duplicate offsets in the index");
    return Outcome::success();
}

std::uint64_t ElementSpans::end_of(std::uint64_t offset) const {
    return *std::upper_bound(bounds_.begin(), bounds_.end(), offset);
}

}  // namespace mzml
