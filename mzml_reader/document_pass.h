// The document handler and the one streaming pass over a whole document.
//
// DocumentHandler reads the document's header (file description, samples,
// software, param groups, instrument configurations, run attributes) and,
// in a full pass, every spectrum's and chromatogram's header and byte span.
// scan_document() is the pass that opens a file without a usable index; the
// indexed open (header_parse.h) uses the same handler for the header alone.
#pragma once

#include "element_header.h"
#include "failure.h"

namespace mzml {

class ByteSource;

class DocumentHandler final : public ElementHeaderHandler {
public:
    enum class Reach {
        WholeDocument,  // every element, to the end of <mzML>
        Header,         // stop at the first spectrum or chromatogram
        Resumed,        // the rest of a document, after damage: its header and list counts are known
    };
    DocumentHandler(Document* doc, Reach reach) : ElementHeaderHandler(doc), reach_(reach) {}

    // Where the events stand, for the decision to resume after damage.
    bool lists_begun() const noexcept { return list_depth_ > 0 || lists_seen_; }  // a list was opened
    bool in_spectrum_list() const noexcept { return in_spectra_; }   // the last list opened holds spectra
    bool inside_list_child() const noexcept { return list_depth_ > 0 && depth() > list_depth_; }
    // Drops the element that was begun and not ended, if any; true (and
    // its id and offset) when there was one.
    bool drop_begun(std::string* id, std::uint64_t* offset);

private:
    Reach reach_;
    std::size_t list_depth_ = 0;  // depth of the open spectrum or chromatogram list, 0 when none is open
    bool lists_seen_ = false;
    bool in_spectra_ = true;
    std::vector<Param>* group_ = nullptr;  // the param group being read
    InstrumentConfig* config_ = nullptr;   // the instrument configuration being read
    long analyzer_order_ = 0;
    bool first_sample_ = false;
    SoftwareInfo* software_ = nullptr;     // the software entry being read
    int samples_ = 0, source_files_ = 0;

    bool root(Tag tag, const char** atts) override;
    void open(Tag tag, const char** atts) override;
    void close(Tag tag) override;
    void header_param(Tag context, const ParamView& p) override;
    void open_spectrum_list(const char** atts);
    void config_param(const ParamView& p);
};

// One streaming pass over the whole document. False (with *error) only when
// the input is not an mzML document at all (or cannot be read from its
// start); a document cut short keeps the spectra and chromatograms that were
// complete, and says why and where it stopped in doc->stopped_by and
// doc->stopped_at.
//
// Damage inside the spectrum list or the chromatogram list does not end
// the pass: the element it falls in is dropped, the stretch is recorded in
// doc->stretches, and parsing resumes at the next spectrum or chromatogram
// start tag after the damage, by a fresh parser that is first given the
// start tags of the elements around it (mzML, run and the list). It resumes
// only after damage to the XML itself, never after the input ended or could
// not be read, and never in the header, which every element depends on.
// The stretches become lost slots and error-log entries in damage.h.
//
// `skip_binary` = false parses the array text too (a fallback for files
// whose array text holds markup).
bool scan_document(const ByteSource& source, Document* doc, bool skip_binary, Outcome* error);

}  // namespace mzml
