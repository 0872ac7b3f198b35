// The header of a spectrum or chromatogram: everything the run keeps of the
// element without decoding its arrays (id, ms level, scan time, precursors,
// ...), read from its start tag and its children up to the
// <binaryDataArrayList>.
//
// ElementHeaderHandler holds this part for both handlers that need it: the
// document handler (document_pass.h), which meets every element in one
// pass, and OneElementHeader below, which reads one element at the offset
// the index gives. Every param of a spectrum, scan, scan window, isolation
// window, selected ion, activation or chromatogram arrives in
// ElementHeaderHandler::param(), whether written in place or through a
// param group. Every userParam of a spectrum's header is kept as written;
// those named as a term the reader serves (filter string, summaries,
// collision energy) also stand for it where no cvParam does.
#pragma once

#include <cstdint>
#include <string>

#include "xml_events.h"

namespace mzml {

class ElementHeaderHandler : public ElementHandler {
protected:
    explicit ElementHeaderHandler(Document* doc) : ElementHandler(&doc->groups), doc_(doc) {}

    // A new ScanInfo / ChromatogramInfo at the end of the document's lists,
    // from the element's start tag.
    void begin_spectrum(const char** atts);
    void begin_chromatogram(const char** atts);
    // A <binaryDataArrayList> opened: where the current element's arrays start.
    void note_array_list();
    // The children of a spectrum that carry its header.
    void open_element_part(Tag tag, const char** atts);
    bool inside_element() const noexcept { return scan_ || chrom_; }

    void close(Tag tag) override;
    void param(Tag context, const ParamView& p) override;
    // Params of every other context (the document's own header).
    virtual void header_param(Tag, const ParamView&) {}

    Document* doc_;
    ScanInfo* scan_ = nullptr;            // the spectrum being read
    ChromatogramInfo* chrom_ = nullptr;   // the chromatogram being read

private:
    int scans_in_list_ = 0;
    bool first_scan_ = false;  // inside the first scan of the spectrum's scanList
    int windows_ = 0;          // scan windows met in that scan
    int selected_ions_ = 0;    // selected ions met in the current precursor
    bool in_arrays_ = false;   // past the spectrum's <binaryDataArrayList>

    void spectrum_param(const ParamView& p);
    void scan_param(const ParamView& p);
    void scan_window_param(const ParamView& p);
    void isolation_param(Precursor& precursor, const ParamView& p);
    void selected_ion_param(Precursor& precursor, const ParamView& p);
    void activation_param(Precursor& precursor, const ParamView& p);
    void chromatogram_param(const ParamView& p);
    void chromatogram_ion_param(Tag context, const ParamView& p);
    void summary_param(Term term, const ParamView& p);
};

// One element's header, read from the bytes at the offset the index gives
// for it. The root must be `root` (Spectrum or Chromatogram) with id `id`;
// the handler stops at the element's <binaryDataArrayList> or its end.
class OneElementHeader final : public ElementHeaderHandler {
public:
    OneElementHeader(Document* doc, Tag root, const std::string& id)
        : ElementHeaderHandler(doc), root_(root), id_(id) {}

    // Once the events are delivered: did the header land, that is, start at
    // `offset` with the element named and parse up to its arrays or its end?
    Outcome landed(std::uint64_t offset) const;

private:
    Tag root_;
    const std::string& id_;

    bool root(Tag tag, const char** atts) override;
    void open(Tag tag, const char** atts) override;
};

}  // namespace mzml
