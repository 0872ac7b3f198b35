// The document handler and the full pass, see document_pass.h.
#include "document_pass.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

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
        list_depth_ = depth();
        lists_seen_ = in_spectra_ = true;
        if (reach_ != Reach::Resumed) open_spectrum_list(atts);
        return;
    case Tag::ChromatogramList:
        list_depth_ = depth();
        lists_seen_ = true;
        in_spectra_ = false;
        if (reach_ != Reach::Resumed) doc_->chromatogram_count = to_int(attr(atts, "count"), -1);
        return;
    case Tag::Run: {
        if (reach_ == Reach::Resumed) return;
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
    case Tag::Software: {
        doc_->software.emplace_back();
        software_ = &doc_->software.back();
        const char* i = attr(atts, "id");
        const char* v = attr(atts, "version");
        if (i) software_->id = i;
        if (v) software_->version = v;
        return;
    }
    case Tag::SoftwareRef:
        if (config_ && parent() == Tag::InstrumentConfiguration) {
            const char* ref = attr(atts, "ref");
            if (ref) config_->software_ref = ref;
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
    case Tag::SpectrumList:
    case Tag::ChromatogramList:
        list_depth_ = 0;
        break;
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
        software_ = nullptr;
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

bool DocumentHandler::drop_begun(std::string* id, std::uint64_t* offset) {
    if (scan_ && !doc_->scans.empty() && doc_->scan_ends.back() == 0) {
        *id = doc_->scans.back().native_id;
        *offset = doc_->scans.back().offset;
        doc_->scans.pop_back();
        doc_->scan_ends.pop_back();
        doc_->scan_arrays.pop_back();
        doc_->scan_config_refs.pop_back();
        scan_ = nullptr;
        return true;
    }
    if (chrom_ && !doc_->chromatograms.empty() && doc_->chrom_ends.back() == 0) {
        *id = doc_->chromatograms.back().id;
        *offset = doc_->chromatograms.back().offset;
        doc_->chromatograms.pop_back();
        doc_->chrom_ends.pop_back();
        doc_->chrom_arrays.pop_back();
        chrom_ = nullptr;
        return true;
    }
    return false;
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
        // Its name: the first term's value (a generic software term) or name,
        // or a userParam's name.
        if (software_ && software_->name.empty()) {
            const char* n = p.user ? (empty(p.name) ? p.value : p.name) : (empty(p.value) ? p.name : p.value);
            if (!empty(n)) software_->name = n;
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
        // The generic term names a model only through its value.
        if (!empty(p.value)) c.model = p.value;
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

namespace {

// The full pass as the byte source delivers the document: parsing, and after
// damage inside the lists, searching for the next start tag to resume at
// (see scan_document in the header).
class RecoveringPass {
public:
    RecoveringPass(Document* doc, XML_Parser parser, bool skip_binary)
        : doc_(doc), parser_(parser), skip_(skip_binary) {
        handler_ = std::make_unique<DocumentHandler>(doc, DocumentHandler::Reach::WholeDocument);
        feeder_ = std::make_unique<Feeder>(parser, *handler_, 0, skip_binary);
    }
    ~RecoveringPass() { feeder_.reset(); }
    RecoveringPass(const RecoveringPass&) = delete;
    RecoveringPass& operator=(const RecoveringPass&) = delete;

    // The next bytes of the document; false once nothing more is wanted.
    bool feed(const char* data, std::size_t n) {
        if (mode_ == Mode::Done) return false;
        const std::uint64_t base = pos_;
        if (mode_ == Mode::Parsing) {
            run(data, n, base, 0);
        } else {
            // Still searching: the last bytes before this chunk may hold
            // the start of a tag that this chunk completes.
            std::string work = tail_from(search_from_);
            const std::uint64_t work_base = pos_ - work.size();
            work.append(data, n);
            run(work.data(), work.size(), work_base, 0);
        }
        remember(data, n);
        pos_ += n;
        return mode_ != Mode::Done;
    }

    // The end of the input (read_ok false: it could not be read further).
    void finish(bool read_ok, const Outcome& read_error) {
        if (mode_ == Mode::Parsing) {
            feeder_->finish();
            if (handler_->failed()) stop(handler_->failure(), feeder_->error_offset());
        } else if (mode_ == Mode::Searching) {
            // Damage with no start tag after it: the stretch is the last.
            mode_ = Mode::Done;
            const Stretch& last = doc_->stretches.back();
            doc_->stopped_by = Outcome::fail(Failure::Malformed, last.reason);
            doc_->stopped_at = last.begin;
        }
        if (!read_ok && doc_->stopped_by.ok()) {
            doc_->stopped_by = read_error;
            doc_->stopped_at = pos_;
        }
        if (!handler_->stopped() || handler_->failed() || !doc_->stopped_by.ok()) doc_->complete = false;
    }

    const Feeder& feeder() const noexcept { return *feeder_; }

private:
    enum class Mode { Parsing, Searching, Done };
    static constexpr std::size_t kLookback = 64 * 1024;  // bytes kept from before the current chunk
    static constexpr std::size_t kLongestTag = 14;       // "<chromatogram" and the character after it

    Document* doc_;
    XML_Parser parser_;
    bool skip_;
    std::unique_ptr<DocumentHandler> handler_;
    std::unique_ptr<Feeder> feeder_;
    Mode mode_ = Mode::Parsing;
    std::uint64_t pos_ = 0;          // document offset of the next byte fed
    std::uint64_t search_from_ = 0;  // where the search for a start tag goes on
    std::string tail_;               // the last bytes before pos_ (at most 2 * kLookback)

    void remember(const char* data, std::size_t n) {
        if (n >= kLookback) {
            tail_.assign(data + n - kLookback, kLookback);
            return;
        }
        if (tail_.size() + n > 2 * kLookback) tail_.erase(0, tail_.size() + n - kLookback);
        tail_.append(data, n);
    }

    // The remembered bytes from document offset `from` on (all of them when
    // they begin later).
    std::string tail_from(std::uint64_t from) const {
        const std::uint64_t tail_begin = pos_ - tail_.size();
        return from <= tail_begin ? tail_ : tail_.substr(static_cast<std::size_t>(from - tail_begin));
    }

    // Parses or searches buf (document offset `base`) from buf[at] to its end.
    void run(const char* buf, std::size_t len, std::uint64_t base, std::size_t at) {
        for (;;) {
            if (mode_ == Mode::Done) return;
            if (mode_ == Mode::Parsing) {
                if (feeder_->feed(buf + at, len - at)) return;
                if (!handler_->failed()) {  // the document's end: nothing more is needed
                    mode_ = Mode::Done;
                    return;
                }
                if (!damaged(buf, len, base)) return;
                if (search_from_ < base) {
                    if (base != pos_) {  // a buffer that holds the remembered bytes already
                        search_from_ = base;
                        continue;
                    }
                    // The damage began before this chunk: search the
                    // remembered bytes too.
                    std::string work = tail_from(search_from_);
                    const std::uint64_t work_base = pos_ - work.size();
                    search_from_ = std::max(search_from_, work_base);
                    work.append(buf, len);
                    run(work.data(), work.size(), work_base, 0);
                    return;
                }
                continue;
            }
            // Searching.
            std::size_t from = static_cast<std::size_t>(search_from_ - base);
            bool spectra = true;
            std::size_t found = find_start_tag(buf, len, from, &spectra);
            if (found == len) {
                if (len > kLongestTag) search_from_ = std::max(search_from_, base + len - kLongestTag);
                return;
            }
            resume(base + found, spectra);
            at = found;
        }
    }

    // The next "<spectrum" or "<chromatogram" start tag in buf[from..len),
    // len when there is none that the buffer holds whole enough to tell.
    static std::size_t find_start_tag(const char* buf, std::size_t len, std::size_t from, bool* spectra) {
        static constexpr std::string_view kSpectrum = "<spectrum", kChromatogram = "<chromatogram";
        const std::string_view text(buf, len);
        for (std::size_t at = text.find('<', from); at != std::string_view::npos; at = text.find('<', at + 1)) {
            const std::string_view rest = text.substr(at);
            for (std::string_view tag : {kSpectrum, kChromatogram}) {
                if (rest.size() <= tag.size() || rest.substr(0, tag.size()) != tag) continue;
                const char next = rest[tag.size()];
                if (next == ' ' || next == '\t' || next == '\n' || next == '\r' || next == '>') {
                    *spectra = tag == kSpectrum;
                    return at;
                }
            }
        }
        return len;
    }

    // The parse failed. True when it can resume: the stretch is recorded
    // and the search begins.
    bool damaged(const char* buf, std::size_t len, std::uint64_t base) {
        const Outcome why = handler_->failure();
        const std::uint64_t at = feeder_->error_offset();
        if (!doc_->saw_root || why.failure != Failure::Malformed || !handler_->lists_begun()) {
            stop(why, at);
            return false;
        }
        // A document that is more damage than elements is not read on: the
        // stretches would cost memory without bound.
        constexpr std::size_t kMostStretches = 100000;
        if (doc_->stretches.size() >= kMostStretches) {
            stop(Outcome::fail(Failure::Malformed, "too many damaged stretches (" + why.text + ")"), at);
            return false;
        }
        Stretch st;
        st.spectra = handler_->in_spectrum_list();
        st.begin = at;
        st.reason = why.text + " at byte offset " + std::to_string(at);
        if (handler_->drop_begun(&st.id, &st.begin) || handler_->inside_list_child()) {
            st.guess = 1;
        } else if (at >= base && at <= base + len) {
            // Damage between the list's elements costs one only when it
            // falls in an element's start tag.
            const std::string_view before(buf, static_cast<std::size_t>(at - base));
            const std::size_t lt = before.rfind('<');
            std::string_view tag = lt == std::string_view::npos ? std::string_view() : before.substr(lt);
            bool spectra = true;
            std::string probe(tag);
            probe += ' ';
            st.guess = tag.size() > 1 && tag[1] != '/' && find_start_tag(probe.data(), probe.size(), 0, &spectra) == 0 ? 1 : 0;
        }
        st.complete_before = st.spectra ? doc_->scans.size() : doc_->chromatograms.size();
        doc_->stretches.push_back(std::move(st));
        mode_ = Mode::Searching;
        search_from_ = at + 1;
        return true;
    }

    void stop(const Outcome& why, std::uint64_t at) {
        mode_ = Mode::Done;
        if (doc_->stopped_by.ok()) {
            doc_->stopped_by = why;
            doc_->stopped_at = at;
        }
    }

    // A fresh parser for the rest of the document from the start tag at
    // `offset`, standing inside the list it belongs to.
    void resume(std::uint64_t offset, bool spectra) {
        static constexpr char kSpectraPrefix[] = "<mzML><run><spectrumList>";
        static constexpr char kChromatogramsPrefix[] = "<mzML><run><chromatogramList>";
        feeder_.reset();
        XML_ParserReset(parser_, nullptr);
        handler_ = std::make_unique<DocumentHandler>(doc_, DocumentHandler::Reach::Resumed);
        feeder_ = std::make_unique<Feeder>(parser_, *handler_, offset, skip_);
        if (spectra) feeder_->feed_detached(kSpectraPrefix, sizeof kSpectraPrefix - 1);
        else feeder_->feed_detached(kChromatogramsPrefix, sizeof kChromatogramsPrefix - 1);
        doc_->stretches.back().resumed = offset;
        mode_ = Mode::Parsing;
    }
};

}  // namespace

bool scan_document(const ByteSource& source, Document* doc, bool skip_binary, Outcome* error) {
    *doc = Document{};
    doc->source_size = source.size();
    ParserPtr parser = make_parser();
    if (!parser) {
        if (error) *error = Outcome::fail(Failure::NoMemory, "out of memory");
        return false;
    }
    RecoveringPass pass(doc, parser.get(), skip_binary);
    Outcome read_error;
    bool read_ok = source.scan(0, [&](const char* d, std::size_t n) { return pass.feed(d, n); }, &read_error);
    pass.finish(read_ok, read_error);
    drop_incomplete(doc);
    if (!doc->saw_root) {
        if (!error) return false;
        if (read_ok) {
            *error = not_mzml(*doc, pass.feeder());
        } else if (source.size() > 0) {
            *error = read_error;
        } else {
            // Nothing could be read (a gzip stream that yields no byte):
            // the reason reads as for an empty file, the kind is the read's.
            *error = not_mzml(*doc, pass.feeder());
            error->failure = read_error.failure;
        }
        return false;
    }
    return true;
}

}  // namespace mzml
