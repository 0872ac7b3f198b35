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
    };
    DocumentHandler(Document* doc, Reach reach) : ElementHeaderHandler(doc), reach_(reach) {}

private:
    Reach reach_;
    std::vector<Param>* group_ = nullptr;  // the param group being read
    InstrumentConfig* config_ = nullptr;   // the instrument configuration being read
    long analyzer_order_ = 0;
    bool first_sample_ = false, first_software_ = false;
    int samples_ = 0, softwares_ = 0, source_files_ = 0;
    bool software_named_ = false;

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
// complete, and says why it stopped in doc->stopped_by.
// `skip_binary` = false parses the array text too (a fallback for files
// whose array text holds markup).
bool scan_document(const ByteSource& source, Document* doc, bool skip_binary, Outcome* error);

}  // namespace mzml
