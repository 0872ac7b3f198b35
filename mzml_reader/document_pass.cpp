// The document handler and the full pass, see document_pass.h.
#include "document_pass.h"

#include <algorithm>
#include <cstring>

#include "feeder.h"
#include "source.h"

namespace mzml {

bool DocumentHandler::root(Tag t, const char**) {
    if (t != Tag::MzML && t != Tag::IndexedMzML) {
        abort(Failure::NotMzml, "not an mzML document");
        return false;
    }
    doc_->saw_root = true;
    return true;
}

void DocumentHandler::open(Tag t, const char** atts) {
    if (t == Tag::BinaryDataArrayList) return note_array_list();
    // Inside a spectrum or chromatogram only its header's elements count.
    if (inside_element() && !element_level(t)) return;
    switch (t) {
    case Tag::Spectrum:
        if (reach_ == Reach::Header) return stop();
        if (parent() == Tag::SpectrumList) begin_spectrum(atts);
        return;
    case Tag::Chromatogram:
        if (reach_ == Reach::Header) return stop();
        if (parent() == Tag::ChromatogramList) begin_chromatogram(atts);
        return;
    case Tag::ScanList:
    case Tag::Scan:
    case Tag::ScanWindow:
    case Tag::Precursor:
    case Tag::SelectedIon:
        return open_element_part(t, atts);
    case Tag::SpectrumList:
        return open_spectrum_list(atts);
    case Tag::ChromatogramList:
        doc_->chromatogram_count = to_int(attr(atts, "count"), -1);
        return;
    case Tag::Run: {
        const char* id = attr(atts, "id");
        const char* ts = attr(atts, "startTimeStamp");
        const char* ic = attr(atts, "defaultInstrumentConfigurationRef");
        if (id) doc_->info.run_id = id;
        if (ts) doc_->info.start_time_stamp = ts;
        if (ic) doc_->default_config = ic;
        return;
    }
    case Tag::SourceFile:
        if (source_files_++ == 0) {
            const char* n = attr(atts, "name");
            const char* l = attr(atts, "location");
            if (n) doc_->info.source_file_name = n;
            if (l) doc_->info.source_file_location = l;
        }
        return;
    case Tag::Sample:
        first_sample_ = samples_++ == 0;
        if (first_sample_) {
            const char* n = attr(atts, "name");
            const char* i = attr(atts, "id");
            if (n) doc_->info.sample_name = n;
            if (i) doc_->info.sample_id = i;
        }
        return;
    case Tag::Software:
        first_software_ = softwares_++ == 0;
        if (first_software_) {
            const char* i = attr(atts, "id");
            const char* v = attr(atts, "version");
            if (i) doc_->info.software_name = i;
            if (v) doc_->info.software_version = v;
        }
        return;
    case Tag::ParamGroup: {
        const char* id = attr(atts, "id");
        group_ = id ? &doc_->groups[id] : nullptr;
        if (group_) group_->clear();
        return;
    }
    case Tag::InstrumentConfiguration: {
        doc_->configs.emplace_back();
        config_ = &doc_->configs.back();
        const char* id = attr(atts, "id");
        if (id) config_->id = id;
        return;
    }
    case Tag::Analyzer:
        analyzer_order_ = static_cast<long>(to_int(attr(atts, "order"), 0));
        return;
    default:
        return;
    }
}

// Once, before the first spectrum: a list met again must not move the scans
// that scan_ may point into.
void DocumentHandler::open_spectrum_list(const char** atts) {
    if (!doc_->scans.empty()) return;
    doc_->spectrum_count = to_int(attr(atts, "count"), -1);
    if (doc_->spectrum_count <= 0) return;
    // A declared count is only a hint: never reserve more than the document can hold.
    std::uint64_t most = std::min<std::uint64_t>(doc_->source_size / 128 + 16, 1 << 20);
    std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(doc_->spectrum_count), most));
    doc_->scans.reserve(want);
    doc_->scan_ends.reserve(want);
    doc_->scan_arrays.reserve(want);
    doc_->scan_config_refs.reserve(want);
}

void DocumentHandler::close(Tag t) {
    switch (t) {
    case Tag::Spectrum:
        if (scan_) doc_->scan_ends.back() = offset() + event_length();
        break;
    case Tag::Chromatogram:
        if (chrom_) doc_->chrom_ends.back() = offset() + event_length();
        break;
    case Tag::ParamGroup:
        group_ = nullptr;
        break;
    case Tag::InstrumentConfiguration:
        config_ = nullptr;
        break;
    case Tag::Sample:
        first_sample_ = false;
        break;
    case Tag::Software:
        first_software_ = false;
        break;
    case Tag::MzML:
        // The index that may follow is not needed by a full pass.
        doc_->complete = true;
        stop();
        break;
    default:
        break;
    }
    ElementHeaderHandler::close(t);
}

// Every param of the document's header, by the element that holds it.
void DocumentHandler::header_param(Tag context, const ParamView& p) {
    switch (context) {
    case Tag::ParamGroup:
        if (group_ && group_->size() < 4096)
            group_->push_back(Param{p.acc, p.name, p.value, p.unit_acc, p.unit_name, p.user});
        return;
    case Tag::InstrumentConfiguration:
        if (config_) config_param(p);
        return;
    case Tag::Analyzer:
        if (config_ && !p.user && empty(p.value) &&
            (config_->analyzer.empty() || analyzer_order_ >= config_->analyzer_order)) {
            config_->analyzer = p.name;
            config_->analyzer_order = analyzer_order_;
        }
        return;
    case Tag::Software:
        if (first_software_ && !software_named_) {
            const char* n = p.user ? (empty(p.name) ? p.value : p.name) : (empty(p.value) ? p.name : p.value);
            if (!empty(n)) {
                doc_->info.software_name = n;
                software_named_ = true;
            }
        }
        return;
    case Tag::Sample:
        if (first_sample_ && doc_->info.sample_comment.empty() && !empty(p.value) &&
            (std::strstr(p.name, "comment") || std::strstr(p.name, "description")))
            doc_->info.sample_comment = p.value;
        return;
    default:
        return;
    }
}

void DocumentHandler::config_param(const ParamView& p) {
    InstrumentConfig& c = *config_;
    if (p.user) {
        Term named = term_named(p.name);
        if (named == Term::InstrumentModel && c.model.empty()) c.model = p.value;
        else if (named == Term::InstrumentName && c.name.empty()) c.name = p.value;
        else if (named == Term::InstrumentSerial && c.serial.empty()) c.serial = p.value;
        return;
    }
    if (p.term == Term::InstrumentSerial) {
        c.serial = p.value;
    } else if (p.term == Term::InstrumentModel) {
        c.model = empty(p.value) ? p.name : p.value;
    } else if (p.term == Term::InstrumentName || term_named(p.name) == Term::InstrumentName) {
        if (c.name.empty()) c.name = p.value;
    } else if (p.term != Term::Customization && empty(p.value) && c.model.empty()) {
        c.model = p.name;  // a specific model term
    }
}

namespace {

// Drops a trailing element that was opened but not closed.
void drop_incomplete(Document* doc) {
    while (!doc->scans.empty() && doc->scan_ends.back() == 0) {
        doc->scans.pop_back();
        doc->scan_ends.pop_back();
        doc->scan_arrays.pop_back();
        doc->scan_config_refs.pop_back();
    }
    while (!doc->chromatograms.empty() && doc->chrom_ends.back() == 0) {
        doc->chromatograms.pop_back();
        doc->chrom_ends.pop_back();
        doc->chrom_arrays.pop_back();
    }
}

// Why a document without an mzML root was refused.
Outcome not_mzml(const Document& doc, const Feeder& feeder) {
    const Outcome& why = doc.stopped_by;
    if (why.ok() || feeder.error() == XML_ERROR_NO_ELEMENTS)
        return Outcome::fail(Failure::NotXml, "empty or not an XML file");
    if (why.failure == Failure::NotMzml) return Outcome::fail(Failure::NotMzml, "not an mzML file");
    Failure kind = why.failure == Failure::NoMemory ? Failure::NoMemory : Failure::NotXml;
    return Outcome::fail(kind, "not an XML file (" + why.text + ")");
}

}  // namespace

bool scan_document(const ByteSource& source, Document* doc, bool skip_binary, Outcome* error) {
    *doc = Document{};
    doc->source_size = source.size();
    ParserPtr parser = make_parser();
    if (!parser) {
        if (error) *error = Outcome::fail(Failure::NoMemory, "out of memory");
        return false;
    }
    DocumentHandler h(doc, DocumentHandler::Reach::WholeDocument);
    Feeder feeder(parser.get(), h, 0, skip_binary);
    Outcome read_error;
    bool read_ok = source.scan(0, [&](const char* d, std::size_t n) { return feeder.feed(d, n); }, &read_error);
    feeder.finish();
    if (!h.stopped() || h.failed()) doc->complete = false;
    if (h.failed()) doc->stopped_by = h.failure();
    else if (!read_ok) doc->stopped_by = read_error;
    drop_incomplete(doc);
    if (!doc->saw_root) {
        if (!error) return false;
        if (read_ok) {
            *error = not_mzml(*doc, feeder);
        } else if (source.size() > 0) {
            *error = read_error;
        } else {
            // Nothing could be read (a gzip stream that yields no byte):
            // the reason reads as for an empty file, the kind is the read's.
            *error = not_mzml(*doc, feeder);
            error->failure = read_error.failure;
        }
        return false;
    }
    return true;
}

}  // namespace mzml
