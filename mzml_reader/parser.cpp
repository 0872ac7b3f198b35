// The streaming mzML parser over expat. No DOM: one handler object follows
// the element stack and keeps only what the run model needs. Element names
// are matched without any namespace prefix.
#include "parser.h"

#include <expat.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>

#include "decode.h"
#include "source.h"
#include "subset_xml.h"

namespace mzml {

namespace {

enum class Tag : std::uint8_t {
    Other, IndexedMzML, MzML, SourceFile, ParamGroup, Sample, Software, InstrumentConfiguration, Analyzer,
    Run, SpectrumList, Spectrum, ScanList, Scan, ScanWindow, Precursor, IsolationWindow, SelectedIon, Activation,
    BinaryDataArrayList, BinaryDataArray, Binary, ChromatogramList, Chromatogram, CvParam, UserParam, ParamGroupRef,
    IndexList, Index, Offset,
};

const char* local_name(const char* name) {
    const char* colon = std::strrchr(name, ':');
    return colon ? colon + 1 : name;
}

Tag classify(const char* full) {
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
        break;
    case 'u':
        if (!std::strcmp(n, "userParam")) return Tag::UserParam;
        break;
    default:
        break;
    }
    return Tag::Other;
}

const char* attr(const XML_Char** atts, const char* key) {
    for (const XML_Char** a = atts; *a; a += 2)
        if (!std::strcmp(a[0], key)) return a[1];
    return nullptr;
}

double to_double(const char* s) {
    if (!s) return kNaN;
    while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r') ++s;
    if (*s == '+') ++s;
    double v = kNaN;
    const char* end = s + std::strlen(s);
    auto r = std::from_chars(s, end, v);
    if (r.ec != std::errc()) return kNaN;
    return v;
}

std::int64_t to_int(const char* s, std::int64_t fallback) {
    if (!s) return fallback;
    while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r') ++s;
    if (*s == '+') ++s;
    std::int64_t v = 0;
    auto r = std::from_chars(s, s + std::strlen(s), v);
    if (r.ec != std::errc()) return fallback;
    return v;
}

bool eq(const char* a, const char* b) { return a && !std::strcmp(a, b); }
bool empty(const char* s) { return !s || !*s; }

// A param seen through pointers into expat's attributes or a stored Param.
struct P {
    const char* acc = "";
    const char* name = "";
    const char* value = "";
    const char* unit_acc = "";
    const char* unit_name = "";
    bool user = false;
};

P view(const Param& p) {
    return P{p.accession.c_str(), p.name.c_str(), p.value.c_str(), p.unit_accession.c_str(), p.unit_name.c_str(), p.user};
}

double time_to_minutes(double v, const P& p) {
    if (eq(p.unit_acc, "UO:0000031") || eq(p.unit_name, "minute")) return v;
    if (eq(p.unit_acc, "UO:0000028") || eq(p.unit_name, "millisecond")) return v / 60000.0;
    return v / 60.0;  // seconds, also when the unit is missing
}

// Time unit factor (to minutes) of a chromatogram's time array.
double time_factor(const P& p) {
    if (eq(p.unit_acc, "UO:0000031") || eq(p.unit_name, "minute")) return 1.0;
    if (eq(p.unit_acc, "UO:0000028") || eq(p.unit_name, "millisecond")) return 1.0 / 60000.0;
    return 1.0 / 60.0;
}

bool is_spectrum_type(const char* a) {
    static const char* const kTypes[] = {"MS:1000579", "MS:1000580", "MS:1000581", "MS:1000582", "MS:1000583",
                                         "MS:1000804", "MS:1000805", "MS:1000806", "MS:1000325", "MS:1000326",
                                         "MS:1000341", "MS:1000789", "MS:1000790", "MS:1000928"};
    for (const char* t : kTypes)
        if (!std::strcmp(a, t)) return true;
    return false;
}

Activation activation_of(const char* a) {
    struct M { const char* acc; Activation act; };
    static const M kMap[] = {
        {"MS:1000133", Activation::CID}, {"MS:1002472", Activation::CID},  // trap-type CID
        {"MS:1000422", Activation::HCD}, {"MS:1002481", Activation::HCD},
        {"MS:1000598", Activation::ETD}, {"MS:1000250", Activation::ECD},
        {"MS:1000435", Activation::MPD}, {"MS:1000262", Activation::MPD},  // photodissociation, IRMPD
        {"MS:1000599", Activation::PQD},
    };
    for (const M& m : kMap)
        if (!std::strcmp(a, m.acc)) return m.act;
    return Activation::Unknown;
}

enum class Mode { Document, Header, Arrays, IndexList };

constexpr std::size_t kMaxDepth = 256;

class Handler {
public:
    // Driven by expat through `p`, or (p null) by replay() of the subset
    // tokenizer's events.
    Handler(XML_Parser p, Mode mode) : p_(p), mode_(mode) {
        if (!p_) return;
        XML_SetUserData(p_, this);
        XML_SetElementHandler(p_, &Handler::on_start, &Handler::on_end);
    }

    // Delivers the subset tokenizer's events as expat would have, with
    // positions relative to `base`.
    void replay(const SubsetTokens& t, std::uint64_t base) {
        replay_base_ = base;
        std::vector<const char*> atts;
        for (const SubsetEvent& e : t.events) {
            if (stopped || !fail.empty()) return;
            replay_at_ = e.at;
            replay_length_ = e.length;
            const char* name = t.arena.data() + e.name;
            if (e.end) {
                end(name);
                continue;
            }
            atts.clear();
            for (std::uint32_t k = 0; k < 2 * e.attr_count; ++k) atts.push_back(t.arena.data() + t.attrs[e.attrs + k]);
            atts.push_back(nullptr);
            start(name, atts.data());
        }
    }

    // Document / Header: where results go, and how fed positions map to
    // document offsets.
    Document* doc = nullptr;
    const ParamGroups* groups = nullptr;  // Header / Arrays: the document's groups
    // Header / Arrays: what the fragment's root must be.
    Tag expect_root = Tag::Other;
    bool spectrum_arrays = true;          // Arrays: m/z + intensity (else time + intensity)
    std::int64_t default_length = 0;      // Arrays from a binaryDataArrayList root: the element's defaultArrayLength
    const std::string* expect_id = nullptr;
    bool stop_at_first_element = false;  // Document: stop at the first spectrum/chromatogram
    // Arrays
    const char* buffer = nullptr;  // the fragment (for zero-copy binary text)
    std::size_t buffer_len = 0;
    Arrays* arrays = nullptr;
    // Index list: (id, offset) per entry.
    std::vector<std::pair<std::string, std::uint64_t>> spectrum_index, chromatogram_index;

    bool in_binary = false;
    bool stopped = false;     // stopped on purpose (not an error)
    bool element_done = false;
    std::string fail;         // why the handler aborted

    // Fed-stream index -> document offset.
    struct Segment { std::uint64_t fed, file; };
    std::vector<Segment> segments;
    std::uint64_t fed_total = 0;

    std::uint64_t doc_offset() const {
        if (!p_) return replay_base_ + replay_at_;
        XML_Index idx = XML_GetCurrentByteIndex(p_);
        std::uint64_t fed = idx < 0 ? 0 : static_cast<std::uint64_t>(idx);
        for (auto it = segments.rbegin(); it != segments.rend(); ++it)
            if (it->fed <= fed) return it->file + (fed - it->fed);
        return fed;
    }

    // Bytes in the tag being reported.
    std::uint64_t event_length() const {
        if (!p_) return replay_length_;
        return static_cast<std::uint64_t>(XML_GetCurrentByteCount(p_));
    }

private:
    XML_Parser p_;
    Mode mode_;
    std::uint64_t replay_base_ = 0;
    std::size_t replay_at_ = 0, replay_length_ = 0;
    std::vector<Tag> stack_;

    // Per-element state.
    ScanInfo* scan_ = nullptr;
    ChromatogramInfo* chrom_ = nullptr;
    std::int64_t default_length_ = 0;
    int scans_in_list_ = 0;
    bool first_scan_ = false;
    int windows_ = 0;
    int selected_ions_ = 0;
    std::vector<Param>* group_ = nullptr;
    InstrumentConfig* config_ = nullptr;
    long analyzer_order_ = 0;
    bool first_sample_ = false, first_software_ = false;
    int samples_ = 0, softwares_ = 0, source_files_ = 0;
    bool software_named_ = false;
    // Current binaryDataArray.
    struct ArrayState {
        Compression compression = Compression::Unknown;  // the first non-zlib compression term
        bool zlib = false;                                 // "zlib compression" was among the terms
        DataType type = DataType::Unknown;
        int kind = 0;  // 1 m/z, 2 intensity, 3 time
        double time_factor = 1.0 / 60.0;
        std::int64_t encoded_length = -1;
        std::int64_t array_length = -1;
        std::size_t text_begin = 0, text_end = 0;
        bool have_text = false;
    } array_;
    bool have_x_ = false, have_y_ = false;
    // Index list text.
    std::string text_;
    std::string index_name_, offset_ref_;

    static void XMLCALL on_start(void* ud, const XML_Char* name, const XML_Char** atts) {
        static_cast<Handler*>(ud)->start(name, atts);
    }
    static void XMLCALL on_end(void* ud, const XML_Char* name) { static_cast<Handler*>(ud)->end(name); }
    static void XMLCALL on_text(void* ud, const XML_Char* s, int len) {
        auto* h = static_cast<Handler*>(ud);
        if (h->text_.size() < 64) h->text_.append(s, static_cast<std::size_t>(std::min(len, 64)));
    }

    void abort(const char* why) {
        if (fail.empty()) fail = why;
        if (p_) XML_StopParser(p_, XML_FALSE);
    }
    void stop() {
        stopped = true;
        if (p_) XML_StopParser(p_, XML_FALSE);
    }
    Tag parent(std::size_t up = 1) const { return stack_.size() > up ? stack_[stack_.size() - 1 - up] : Tag::Other; }

    void start(const XML_Char* name, const XML_Char** atts) {
        if (stopped || !fail.empty()) return;
        if (stack_.size() >= kMaxDepth) return abort("elements nested too deeply");
        Tag t = classify(name);
        try {
            if (stack_.empty()) {
                if (!root(t, atts)) return;
            }
            stack_.push_back(t);
            open(t, atts);
        } catch (...) {
            abort("out of memory");
        }
    }

    bool root(Tag t, const XML_Char** atts) {
        if (mode_ == Mode::Document) {
            if (t != Tag::MzML && t != Tag::IndexedMzML) {
                abort("not an mzML document");
                return false;
            }
            doc->saw_root = true;
            return true;
        }
        if (mode_ == Mode::IndexList) {
            if (t != Tag::IndexList) {
                abort("the index offset does not point at an indexList");
                return false;
            }
            return true;
        }
        const char* id = attr(atts, "id");
        if (t != expect_root || (expect_id && !(id ? *expect_id == id : expect_id->empty()))) {
            abort("the offset does not point at the named element");
            return false;
        }
        if (mode_ == Mode::Arrays)
            default_length_ = t == Tag::BinaryDataArrayList ? default_length : to_int(attr(atts, "defaultArrayLength"), 0);
        return true;
    }

    void end(const XML_Char*) {
        if (stopped || !fail.empty() || stack_.empty()) return;
        Tag t = stack_.back();
        try {
            close(t);
        } catch (...) {
            abort("out of memory");
        }
        if (!stack_.empty()) stack_.pop_back();
        if (stack_.empty() && (mode_ == Mode::Header || mode_ == Mode::Arrays || mode_ == Mode::IndexList)) {
            element_done = true;
            stop();
        }
    }

    void open(Tag t, const XML_Char** atts) {
        switch (t) {
        case Tag::CvParam:
        case Tag::UserParam: {
            P p;
            p.user = t == Tag::UserParam;
            for (const XML_Char** a = atts; *a; a += 2) {
                const char* k = a[0];
                if (!std::strcmp(k, "accession")) p.acc = a[1];
                else if (!std::strcmp(k, "name")) p.name = a[1];
                else if (!std::strcmp(k, "value")) p.value = a[1];
                else if (!std::strcmp(k, "unitAccession")) p.unit_acc = a[1];
                else if (!std::strcmp(k, "unitName")) p.unit_name = a[1];
            }
            param(parent(), p);
            return;
        }
        case Tag::ParamGroupRef: {
            const char* ref = attr(atts, "ref");
            const ParamGroups* g = groups ? groups : (doc ? &doc->groups : nullptr);
            if (!ref || !g) return;
            auto it = g->find(ref);
            if (it == g->end()) return;
            Tag ctx = parent();
            for (const Param& q : it->second) param(ctx, view(q));
            return;
        }
        case Tag::Binary:
            if (parent() != Tag::BinaryDataArray) return;
            in_binary = true;
            if (mode_ == Mode::Arrays) {
                // Positions in the element's bytes (the text itself is not fed to expat).
                array_.text_begin = static_cast<std::size_t>(doc_offset() + event_length());
                array_.have_text = false;
            }
            return;
        case Tag::BinaryDataArrayList:
            if (doc && stack_.size() >= 2 && (parent() == Tag::Spectrum || parent() == Tag::Chromatogram)) {
                std::uint64_t at = doc_offset();
                if (parent() == Tag::Spectrum && scan_) doc->scan_arrays.back() = at;
                if (parent() == Tag::Chromatogram && chrom_) doc->chrom_arrays.back() = at;
            }
            if (mode_ == Mode::Header) stop();
            return;
        case Tag::BinaryDataArray:
            array_ = ArrayState{};
            array_.encoded_length = to_int(attr(atts, "encodedLength"), -1);
            array_.array_length = to_int(attr(atts, "arrayLength"), -1);
            return;
        default:
            break;
        }
        if (mode_ == Mode::IndexList) {
            if (t == Tag::Index) {
                const char* n = attr(atts, "name");
                index_name_ = n ? n : "";
            } else if (t == Tag::Offset) {
                const char* r = attr(atts, "idRef");
                offset_ref_ = r ? r : "";
                text_.clear();
                if (p_) XML_SetCharacterDataHandler(p_, &Handler::on_text);
            }
            return;
        }
        if (mode_ == Mode::Arrays) return;
        // Document-level elements inside a spectrum or chromatogram (or in
        // a header, which is read for its element alone) are not the
        // document's.
        if ((mode_ == Mode::Header || scan_ || chrom_) && !element_level(t)) return;
        switch (t) {
        case Tag::Spectrum:
            if (stop_at_first_element) return stop();
            if (mode_ == Mode::Document ? parent() != Tag::SpectrumList : stack_.size() != 1) return;
            open_spectrum(atts);
            return;
        case Tag::Chromatogram:
            if (stop_at_first_element) return stop();
            if (mode_ == Mode::Document ? parent() != Tag::ChromatogramList : stack_.size() != 1) return;
            open_chromatogram(atts);
            return;
        case Tag::ScanList:
            scans_in_list_ = 0;
            return;
        case Tag::Scan:
            first_scan_ = scan_ && parent() == Tag::ScanList && parent(2) == Tag::Spectrum && scans_in_list_++ == 0;
            windows_ = 0;
            if (first_scan_) {
                const char* ref = attr(atts, "instrumentConfigurationRef");
                if (ref) doc->scan_config_refs.back() = ref;
            }
            return;
        case Tag::ScanWindow:
            ++windows_;
            return;
        case Tag::Precursor:
            if (scan_ && parent(2) == Tag::Spectrum) {
                scan_->precursors.emplace_back();
                const char* ref = attr(atts, "spectrumRef");
                if (ref) scan_->precursors.back().spectrum_ref = ref;
                selected_ions_ = 0;
            }
            return;
        case Tag::SelectedIon:
            ++selected_ions_;
            return;
        case Tag::SpectrumList:
            // Once, before the first spectrum: a list met again must not
            // move the scans that scan_ may point into.
            if (!doc->scans.empty()) return;
            doc->spectrum_count = to_int(attr(atts, "count"), -1);
            if (doc->spectrum_count > 0) {
                // A declared count is only a hint: never reserve more than the document can hold.
                std::uint64_t most = std::min<std::uint64_t>(doc->source_size / 128 + 16, 1 << 20);
                std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(
                    static_cast<std::uint64_t>(doc->spectrum_count), most));
                doc->scans.reserve(want);
                doc->scan_ends.reserve(want);
                doc->scan_arrays.reserve(want);
                doc->scan_config_refs.reserve(want);
            }
            return;
        case Tag::ChromatogramList:
            doc->chromatogram_count = to_int(attr(atts, "count"), -1);
            return;
        case Tag::Run: {
            const char* id = attr(atts, "id");
            const char* ts = attr(atts, "startTimeStamp");
            const char* ic = attr(atts, "defaultInstrumentConfigurationRef");
            if (id) doc->info.run_id = id;
            if (ts) doc->info.start_time_stamp = ts;
            if (ic) doc->default_config = ic;
            return;
        }
        case Tag::SourceFile:
            if (source_files_++ == 0) {
                const char* n = attr(atts, "name");
                const char* l = attr(atts, "location");
                if (n) doc->info.source_file_name = n;
                if (l) doc->info.source_file_location = l;
            }
            return;
        case Tag::Sample:
            first_sample_ = samples_++ == 0;
            if (first_sample_) {
                const char* n = attr(atts, "name");
                const char* i = attr(atts, "id");
                if (n) doc->info.sample_name = n;
                if (i) doc->info.sample_id = i;
            }
            return;
        case Tag::Software:
            first_software_ = softwares_++ == 0;
            if (first_software_) {
                const char* i = attr(atts, "id");
                const char* v = attr(atts, "version");
                if (i) doc->info.software_name = i;
                if (v) doc->info.software_version = v;
            }
            return;
        case Tag::ParamGroup: {
            const char* id = attr(atts, "id");
            group_ = id ? &doc->groups[id] : nullptr;
            if (group_) group_->clear();
            return;
        }
        case Tag::InstrumentConfiguration: {
            doc->configs.emplace_back();
            config_ = &doc->configs.back();
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

    static bool element_level(Tag t) {
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

    void open_spectrum(const XML_Char** atts) {
        doc->scans.emplace_back();
        doc->scan_ends.push_back(0);
        doc->scan_arrays.push_back(0);
        doc->scan_config_refs.emplace_back();
        scan_ = &doc->scans.back();
        scan_->offset = doc_offset();
        const char* id = attr(atts, "id");
        if (id) scan_->native_id = id;
        scan_->array_length = std::max<std::int64_t>(0, to_int(attr(atts, "defaultArrayLength"), 0));
        scans_in_list_ = 0;
    }

    void open_chromatogram(const XML_Char** atts) {
        doc->chromatograms.emplace_back();
        doc->chrom_ends.push_back(0);
        doc->chrom_arrays.push_back(0);
        chrom_ = &doc->chromatograms.back();
        chrom_->offset = doc_offset();
        const char* id = attr(atts, "id");
        if (id) chrom_->id = id;
        chrom_->array_length = std::max<std::int64_t>(0, to_int(attr(atts, "defaultArrayLength"), 0));
    }

    void close(Tag t) {
        switch (t) {
        case Tag::Binary:
            if (!in_binary) return;
            in_binary = false;
            if (mode_ == Mode::Arrays) {
                std::size_t endpos = static_cast<std::size_t>(doc_offset());
                array_.text_end = std::max(endpos, array_.text_begin);
                array_.have_text = true;
            }
            return;
        case Tag::BinaryDataArray:
            if (mode_ == Mode::Arrays) finish_array();
            return;
        case Tag::Spectrum:
            if (scan_ && mode_ != Mode::Arrays) {
                if (mode_ == Mode::Document)
                    doc->scan_ends.back() = doc_offset() + event_length();
                scan_ = nullptr;
            }
            return;
        case Tag::Chromatogram:
            if (chrom_ && mode_ != Mode::Arrays) {
                if (mode_ == Mode::Document)
                    doc->chrom_ends.back() = doc_offset() + event_length();
                chrom_ = nullptr;
            }
            return;
        case Tag::ParamGroup:
            group_ = nullptr;
            return;
        case Tag::InstrumentConfiguration:
            config_ = nullptr;
            return;
        case Tag::Sample:
            first_sample_ = false;
            return;
        case Tag::Software:
            first_software_ = false;
            return;
        case Tag::Scan:
            first_scan_ = false;
            return;
        case Tag::Offset:
            if (mode_ == Mode::IndexList) {
                if (p_) XML_SetCharacterDataHandler(p_, nullptr);
                std::int64_t off = to_int(text_.c_str(), -1);
                if (off < 0) return abort("bad offset in the index");
                if (index_name_ == "spectrum") spectrum_index.emplace_back(offset_ref_, static_cast<std::uint64_t>(off));
                else if (index_name_ == "chromatogram")
                    chromatogram_index.emplace_back(offset_ref_, static_cast<std::uint64_t>(off));
            }
            return;
        case Tag::Run:
        case Tag::MzML:
            if (mode_ == Mode::Document && doc && t == Tag::MzML) {
                // The index that may follow is not needed by a full pass.
                doc->complete = true;
                stop();
            }
            return;
        default:
            return;
        }
    }

    void param(Tag ctx, const P& p) {
        if (mode_ == Mode::IndexList) return;
        if (ctx == Tag::BinaryDataArray) return array_param(p);
        if (mode_ == Mode::Arrays) return;
        switch (ctx) {
        case Tag::Spectrum:
            if (scan_) spectrum_param(p);
            return;
        case Tag::Scan:
            if (scan_ && first_scan_) scan_param(p);
            return;
        case Tag::ScanWindow:
            if (scan_ && first_scan_ && windows_ == 1) {
                if (eq(p.acc, "MS:1000501")) scan_->window_low = to_double(p.value);
                else if (eq(p.acc, "MS:1000500")) scan_->window_high = to_double(p.value);
            }
            return;
        case Tag::IsolationWindow:
            if (scan_ && parent(2) == Tag::Precursor && !scan_->precursors.empty()) {
                Precursor& pr = scan_->precursors.back();
                if (eq(p.acc, "MS:1000827")) pr.isolation_target = to_double(p.value);
                else if (eq(p.acc, "MS:1000828")) pr.isolation_lower = to_double(p.value);
                else if (eq(p.acc, "MS:1000829")) pr.isolation_upper = to_double(p.value);
            }
            return;
        case Tag::SelectedIon:
            if (scan_ && selected_ions_ == 1 && !scan_->precursors.empty()) {
                Precursor& pr = scan_->precursors.back();
                if (eq(p.acc, "MS:1000744")) pr.selected_mz = to_double(p.value);
                else if (eq(p.acc, "MS:1000041")) pr.charge = static_cast<std::int32_t>(to_int(p.value, 0));
                else if (eq(p.acc, "MS:1000042")) pr.selected_intensity = to_double(p.value);
            }
            return;
        case Tag::Activation:
            if (scan_ && !scan_->precursors.empty()) activation_param(scan_->precursors.back(), p);
            return;
        case Tag::Chromatogram:
            if (chrom_ && !p.user && chrom_->kind.empty() && empty(p.value)) {
                std::size_t len = std::strlen(p.name);
                if (len >= 12 && !std::strcmp(p.name + len - 12, "chromatogram")) chrom_->kind = p.name;
            }
            return;
        case Tag::ParamGroup:
            if (group_ && group_->size() < 4096)
                group_->push_back(Param{p.acc, p.name, p.value, p.unit_acc, p.unit_name, p.user});
            return;
        case Tag::InstrumentConfiguration:
            if (config_) config_param(p);
            return;
        case Tag::Analyzer:
            if (config_ && !p.user && empty(p.value) && (config_->analyzer.empty() || analyzer_order_ >= config_->analyzer_order)) {
                config_->analyzer = p.name;
                config_->analyzer_order = analyzer_order_;
            }
            return;
        case Tag::Software:
            if (first_software_ && !software_named_) {
                const char* n = p.user ? (empty(p.name) ? p.value : p.name) : (empty(p.value) ? p.name : p.value);
                if (!empty(n)) {
                    doc->info.software_name = n;
                    software_named_ = true;
                }
            }
            return;
        case Tag::Sample:
            if (first_sample_ && doc->info.sample_comment.empty() && !empty(p.value) &&
                (std::strstr(p.name, "comment") || std::strstr(p.name, "description")))
                doc->info.sample_comment = p.value;
            return;
        default:
            return;
        }
    }

    void spectrum_param(const P& p) {
        if (p.user) return;
        const char* a = p.acc;
        if (!std::strcmp(a, "MS:1000511")) scan_->ms_level = static_cast<std::int32_t>(to_int(p.value, 0));
        else if (!std::strcmp(a, "MS:1000127")) scan_->centroid = true;
        else if (!std::strcmp(a, "MS:1000128")) scan_->centroid = false;
        else if (!std::strcmp(a, "MS:1000130")) scan_->polarity = Polarity::Positive;
        else if (!std::strcmp(a, "MS:1000129")) scan_->polarity = Polarity::Negative;
        else if (!std::strcmp(a, "MS:1000285")) scan_->tic = to_double(p.value);
        else if (!std::strcmp(a, "MS:1000504")) scan_->base_peak_mz = to_double(p.value);
        else if (!std::strcmp(a, "MS:1000505")) scan_->base_peak_intensity = to_double(p.value);
        else if (!std::strcmp(a, "MS:1000528")) scan_->lowest_mz = to_double(p.value);
        else if (!std::strcmp(a, "MS:1000527")) scan_->highest_mz = to_double(p.value);
        else if (!std::strcmp(a, "MS:1000512")) scan_->filter_text = p.value;
        else if (is_spectrum_type(a)) scan_->scan_type = p.name;
    }

    void scan_param(const P& p) {
        if (p.user) return;
        const char* a = p.acc;
        if (!std::strcmp(a, "MS:1000016")) {
            double v = to_double(p.value);
            scan_->rt_minutes = time_to_minutes(v, p);
        } else if (!std::strcmp(a, "MS:1000512")) {
            scan_->filter_text = p.value;
        } else if (!std::strcmp(a, "MS:1000927")) {
            scan_->injection_time = to_double(p.value);
        }
    }

    void activation_param(Precursor& pr, const P& p) {
        if (p.user) return;
        const char* a = p.acc;
        if (!std::strcmp(a, "MS:1000045")) {
            pr.collision_energy = to_double(p.value);
            return;
        }
        if (!std::strcmp(a, "MS:1002678") || !std::strcmp(a, "MS:1002679")) {
            pr.supplemental = true;
            return;
        }
        if (pr.activation != Activation::Unknown) return;
        Activation act = activation_of(a);
        if (act == Activation::Unknown && empty(p.value)) act = Activation::Other;  // another dissociation term
        pr.activation = act;
    }

    void config_param(const P& p) {
        InstrumentConfig& c = *config_;
        if (p.user) {
            if (!std::strcmp(p.name, "instrument model") && c.model.empty()) c.model = p.value;
            else if (!std::strcmp(p.name, "instrument name") && c.name.empty()) c.name = p.value;
            else if (!std::strcmp(p.name, "instrument serial number") && c.serial.empty()) c.serial = p.value;
            return;
        }
        if (!std::strcmp(p.acc, "MS:1000529")) {
            c.serial = p.value;
        } else if (!std::strcmp(p.acc, "MS:1000031")) {
            c.model = empty(p.value) ? p.name : p.value;
        } else if (!std::strcmp(p.name, "instrument name") || !std::strcmp(p.acc, "MS:1000496")) {
            if (c.name.empty()) c.name = p.value;
        } else if (std::strcmp(p.acc, "MS:1000032") != 0 && empty(p.value) && c.model.empty()) {
            c.model = p.name;  // a specific model term
        }
    }

    void array_param(const P& p) {
        if (p.user) return;
        const char* a = p.acc;
        if (!std::strcmp(a, "MS:1000514")) {
            array_.kind = 1;
        } else if (!std::strcmp(a, "MS:1000515")) {
            array_.kind = 2;
        } else if (!std::strcmp(a, "MS:1000595")) {
            array_.kind = 3;
            array_.time_factor = time_factor(p);
        } else {
            Compression c = compression_from_accession(a);
            if (c == Compression::Zlib) {
                array_.zlib = true;
                return;
            }
            if (c != Compression::Unknown) {
                if (array_.compression == Compression::Unknown || array_.compression == Compression::None)
                    array_.compression = c;
                return;
            }

            DataType d = data_type_from_accession(a);
            if (d != DataType::Unknown) array_.type = d;
        }
    }

    // Numpress is written either with its "followed by zlib" term or with
    // the plain Numpress term beside "zlib compression"; no term at all
    // means no compression.
    Compression effective_compression() const {
        Compression c = array_.compression;
        if (!array_.zlib) return c == Compression::Unknown ? Compression::None : c;
        switch (c) {
        case Compression::Unknown:
        case Compression::None:
        case Compression::Zlib:
            return Compression::Zlib;
        case Compression::NumpressLinear:
            return Compression::NumpressLinearZlib;
        case Compression::NumpressPic:
            return Compression::NumpressPicZlib;
        case Compression::NumpressSlof:
            return Compression::NumpressSlofZlib;
        default:
            return c;  // already a combined term
        }
    }

    void finish_array() {
        bool spectrum = spectrum_arrays;
        int kind = array_.kind;
        bool want_x = spectrum ? kind == 1 : kind == 3;
        bool want_y = kind == 2;
        if ((!want_x || have_x_) && (!want_y || have_y_)) return;
        if (!array_.have_text) return abort("binary data array without its data");
        std::int64_t count = array_.array_length >= 0 ? array_.array_length : default_length_;
        if (count < 0) return abort("negative array length");
        const char* text = buffer + array_.text_begin;
        std::size_t n = array_.text_end - array_.text_begin;
        if (array_.text_end > buffer_len) return abort("binary data out of range");
        if (std::memchr(text, '<', n) || std::memchr(text, '&', n))
            return abort("markup inside binary data is not supported");
        std::vector<double>& dst = want_x ? arrays->x : arrays->y;
        std::string why;
        if (!decode_array(text, n, effective_compression(), array_.type, static_cast<std::size_t>(count),
                          array_.encoded_length, &dst, &why)) {
            fail = why;
            if (p_) XML_StopParser(p_, XML_FALSE);
            return;
        }
        if (want_x) {
            have_x_ = true;
            if (!spectrum && array_.time_factor != 1.0)
                for (double& v : dst) v *= array_.time_factor;
        } else {
            have_y_ = true;
        }
    }

public:
    bool has_both() const { return have_x_ && have_y_; }
    bool has_none() const { return !have_x_ && !have_y_; }
    std::int64_t element_length() const { return default_length_; }
};

struct ParserDeleter {
    void operator()(XML_ParserStruct* p) const { XML_ParserFree(p); }
};
using ParserPtr = std::unique_ptr<XML_ParserStruct, ParserDeleter>;

ParserPtr make_parser() {
    ParserPtr p(XML_ParserCreate(nullptr));
    return p;
}

// Skipped array text: where a "<binary" start tag of the fed data ends.
const char* find_binary_tag_end(const char* p, const char* end) {
    while (p < end) {
        const char* q = static_cast<const char*>(std::memchr(p, '<', static_cast<std::size_t>(end - p)));
        if (!q) return nullptr;
        if (end - q >= 8 && std::memcmp(q + 1, "binary", 6) == 0 &&
            (q[7] == '>' || q[7] == ' ' || q[7] == '\t' || q[7] == '\n' || q[7] == '\r')) {
            const char* r = static_cast<const char*>(std::memchr(q + 7, '>', static_cast<std::size_t>(end - q - 7)));
            return r ? r + 1 : nullptr;
        }
        p = q + 1;
    }
    return nullptr;
}

// Feeds a document (or part of one) to expat in the order the source
// delivers it, leaving out the text of binary elements.
class Feeder {
public:
    Feeder(XML_Parser p, Handler& h, std::uint64_t start, bool skip) : p_(p), h_(h), pos_(start), skip_(skip) {}

    bool feed(const char* data, std::size_t n) {
        const char* p = data;
        const char* end = data + n;
        while (p < end) {
            if (skipping_) {
                const char* q = static_cast<const char*>(std::memchr(p, '<', static_cast<std::size_t>(end - p)));
                if (!q) {
                    pos_ += static_cast<std::uint64_t>(end - p);
                    return true;
                }
                pos_ += static_cast<std::uint64_t>(q - p);
                p = q;
                skipping_ = false;
            }
            // Feed up to the end of the next <binary> start tag: when expat
            // has then entered the element, its text is skipped. (Only there:
            // data ending elsewhere may leave expat inside a partial tag.)
            const char* stop = end;
            bool at_binary = false;
            if (skip_) {
                const char* c = find_binary_tag_end(p, end);
                if (c) {
                    stop = c;
                    at_binary = true;
                }
            }
            std::size_t len = static_cast<std::size_t>(stop - p);
            if (h_.segments.empty() || h_.segments.back().file + (h_.fed_total - h_.segments.back().fed) != pos_) {
                if (h_.segments.size() >= 256) h_.segments.erase(h_.segments.begin(), h_.segments.begin() + 192);
                h_.segments.push_back({h_.fed_total, pos_});
            }
            while (len > 0) {
                int k = static_cast<int>(std::min<std::size_t>(len, std::size_t(1) << 30));
                XML_Status st = XML_Parse(p_, p, k, XML_FALSE);
                h_.fed_total += static_cast<std::uint64_t>(k);
                pos_ += static_cast<std::uint64_t>(k);
                p += k;
                len -= static_cast<std::size_t>(k);
                if (st != XML_STATUS_OK) {
                    ended_ = true;
                    if (!h_.stopped && h_.fail.empty()) h_.fail = XML_ErrorString(XML_GetErrorCode(p_));
                    return false;
                }
            }
            if (at_binary && h_.in_binary) skipping_ = true;
        }
        return true;
    }

    // The end of the input: lets expat check the document is complete.
    void finish() {
        if (ended_) return;
        ended_ = true;
        if (XML_Parse(p_, "", 0, XML_TRUE) != XML_STATUS_OK && !h_.stopped && h_.fail.empty())
            h_.fail = XML_ErrorString(XML_GetErrorCode(p_));
    }

private:
    XML_Parser p_;
    Handler& h_;
    std::uint64_t pos_;
    bool skip_;
    bool skipping_ = false;
    bool ended_ = false;
};

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

}  // namespace

bool scan_document(const ByteSource& source, Document* doc, bool skip_binary, std::string* error) {
    *doc = Document{};
    doc->source_size = source.size();
    ParserPtr parser = make_parser();
    if (!parser) {
        if (error) *error = "out of memory";
        return false;
    }
    Handler h(parser.get(), Mode::Document);
    h.doc = doc;
    Feeder feeder(parser.get(), h, 0, skip_binary);
    std::string read_error;
    bool read_ok = source.scan(0, [&](const char* d, std::size_t n) { return feeder.feed(d, n); }, &read_error);
    feeder.finish();
    if (!h.stopped || !h.fail.empty()) doc->complete = false;
    if (!h.fail.empty()) doc->error = h.fail;
    else if (!read_ok) doc->error = read_error;
    drop_incomplete(doc);
    if (!doc->saw_root) {
        if (error) {
            if (!read_ok && source.size() > 0) *error = read_error;
            else if (doc->error.empty() || doc->error == "no element found") *error = "empty or not an XML file";
            else if (doc->error == "not an mzML document") *error = "not an mzML file";
            else *error = "not an XML file (" + doc->error + ")";
        }
        return false;
    }
    return true;
}

namespace {

// Parses one element's header (up to its binaryDataArrayList) from `offset`
// into doc, reading at most up to `limit`. False when the offset does not
// land on a `root` element with `id`, or the header is malformed.
// What decides a header's outcome once its events have been delivered.
bool header_landed(const Handler& h, const Document* doc, Tag root, std::uint64_t offset) {
    if (!h.fail.empty()) return false;
    bool spectrum = root == Tag::Spectrum;
    if (spectrum ? doc->scans.empty() || doc->scans.back().offset != offset
                 : doc->chromatograms.empty() || doc->chromatograms.back().offset != offset)
        return false;
    // Stopped at the array list, or the whole (array-less) element was read.
    return h.stopped;
}

// The subset tokenizer's try at a header: true when it could read the
// header (its answer then in *landed); false leaves expat to do it, with
// nothing of the document touched.
bool header_by_subset(const ByteSource& source, Document* doc, Tag root, const std::string& id, std::uint64_t offset,
                      std::uint64_t limit, std::vector<char>& buf, SubsetTokens& tokens, bool* landed) {
    constexpr std::size_t kMaxHeader = std::size_t(1) << 20;
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(limit - offset, 8192));
    while (true) {
        if (buf.size() < want) buf.resize(want);
        std::int64_t got = source.read_at(offset, buf.data(), want);
        if (got < 2 || buf[0] != '<') return false;
        Subset r = tokenize_subset(buf.data(), static_cast<std::size_t>(got), "binaryDataArrayList", &tokens);
        if (r == Subset::Complete) {
            Handler h(nullptr, Mode::Header);
            h.doc = doc;
            h.expect_root = root;
            h.expect_id = &id;
            h.replay(tokens, offset);
            *landed = header_landed(h, doc, root, offset);
            return true;
        }
        std::size_t whole = static_cast<std::size_t>(std::min<std::uint64_t>(limit - offset, kMaxHeader));
        if (r == Subset::Outside || static_cast<std::size_t>(got) < want || want >= whole) return false;
        want = std::min(want * 4, whole);
    }
}

bool parse_header_at(const ByteSource& source, XML_Parser parser, Document* doc, Tag root, const std::string& id,
                     std::uint64_t offset, std::uint64_t limit, std::vector<char>& buf, SubsetTokens* tokens) {
    bool landed = false;
    if (tokens && header_by_subset(source, doc, root, id, offset, limit, buf, *tokens, &landed)) return landed;
    XML_ParserReset(parser, nullptr);
    Handler h(parser, Mode::Header);
    h.doc = doc;
    h.expect_root = root;
    h.expect_id = &id;
    h.segments.push_back({0, offset});
    std::uint64_t pos = offset;
    std::size_t chunk = 8192;
    while (pos < limit) {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, limit - pos));
        if (buf.size() < want) buf.resize(want);
        std::int64_t got = source.read_at(pos, buf.data(), want);
        if (got <= 0) return false;
        if (pos == offset && (got < 2 || buf[0] != '<')) return false;
        XML_Status st = XML_Parse(parser, buf.data(), static_cast<int>(got), XML_FALSE);
        pos += static_cast<std::uint64_t>(got);
        if (st != XML_STATUS_OK) break;
        chunk = std::min<std::size_t>(chunk * 2, std::size_t(1) << 20);
    }
    return header_landed(h, doc, root, offset);
}

}  // namespace

bool index_document(const ByteSource& source, Document* doc, std::string* why, XmlPath path) {
    auto fail = [&](const char* reason) {
        if (why) *why = reason;
        return false;
    };
    *doc = Document{};
    const std::uint64_t size = source.size();
    doc->source_size = size;
    // The index offset near the end of the file.
    std::size_t tail_len = static_cast<std::size_t>(std::min<std::uint64_t>(size, 4096));
    std::string tail(tail_len, '\0');
    if (source.read_at(size - tail_len, tail.data(), tail_len) != static_cast<std::int64_t>(tail_len))
        return fail("read error");
    std::size_t open_tag = tail.rfind("<indexListOffset>");
    if (open_tag == std::string::npos) return fail("no index");
    std::int64_t index_offset = to_int(tail.c_str() + open_tag + 17, -1);
    if (index_offset <= 0 || static_cast<std::uint64_t>(index_offset) >= size) return fail("index offset out of range");

    ParserPtr parser = make_parser();
    if (!parser) return fail("out of memory");
    // The index list.
    Handler ih(parser.get(), Mode::IndexList);
    {
        Feeder feeder(parser.get(), ih, static_cast<std::uint64_t>(index_offset), false);
        std::string err;
        source.scan(static_cast<std::uint64_t>(index_offset),
                    [&](const char* d, std::size_t n) { return feeder.feed(d, n); }, &err);
        if (!ih.element_done || !ih.fail.empty()) return fail("the index list is malformed");
    }
    // The header, up to the first spectrum or chromatogram.
    XML_ParserReset(parser.get(), nullptr);
    {
        Handler hh(parser.get(), Mode::Document);
        hh.doc = doc;
        hh.stop_at_first_element = true;
        Feeder feeder(parser.get(), hh, 0, true);
        std::string err;
        source.scan(0, [&](const char* d, std::size_t n) { return feeder.feed(d, n); }, &err);
        if (!doc->saw_root || !hh.stopped || !hh.fail.empty()) return fail("the header is malformed");
    }
    auto& sidx = ih.spectrum_index;
    auto& cidx = ih.chromatogram_index;
    if (doc->spectrum_count >= 0 && static_cast<std::uint64_t>(doc->spectrum_count) != sidx.size())
        return fail("the index does not list every spectrum");
    if (doc->chromatogram_count >= 0 && static_cast<std::uint64_t>(doc->chromatogram_count) != cidx.size())
        return fail("the index does not list every chromatogram");
    if (doc->spectrum_count < 0 && !sidx.empty()) return fail("the index lists spectra the document does not");
    // All element offsets, to bound each element's span.
    std::vector<std::uint64_t> bounds;
    bounds.reserve(sidx.size() + cidx.size() + 1);
    for (auto& e : sidx) bounds.push_back(e.second);
    for (auto& e : cidx) bounds.push_back(e.second);
    bounds.push_back(static_cast<std::uint64_t>(index_offset));
    std::sort(bounds.begin(), bounds.end());
    if (std::adjacent_find(bounds.begin(), bounds.end()) != bounds.end()) return fail("duplicate offsets in the index");
    auto next_bound = [&](std::uint64_t off) { return *std::upper_bound(bounds.begin(), bounds.end(), off); };
    for (std::size_t i = 1; i < sidx.size(); ++i)
        if (sidx[i].second <= sidx[i - 1].second) return fail("spectrum offsets out of order");

    // The spectra's headers, from sidx[from] up to sidx[to], into `into`;
    // nullptr, or why the index cannot be used.
    const bool subset = path == XmlPath::Auto;
    auto parse_spectra = [&](Document* into, XML_Parser p, std::size_t from, std::size_t to) -> const char* {
        std::vector<char> buf;
        SubsetTokens tokens;
        for (std::size_t i = from; i < to; ++i) {
            const auto& [id, off] = sidx[i];
            if (off >= static_cast<std::uint64_t>(index_offset)) return "offset beyond the index";
            std::uint64_t limit = next_bound(off);
            if (!parse_header_at(source, p, into, Tag::Spectrum, id, off, limit, buf, subset ? &tokens : nullptr))
                return "an index offset does not land on its spectrum";
            into->scan_ends.back() = limit;
        }
        return nullptr;
    };
    // A long index of a plain file is parsed by two threads, each with its
    // own parser and its own half of the table (positioned reads of a plain
    // file need no lock); the second half is appended in order. This halves
    // the time an indexed file takes to open on a machine with a core to
    // spare. Gzip files read through one cursor, so they stay on one thread.
    constexpr std::size_t kParallelHeaders = 256;
    std::size_t half = sidx.size();
    Document second;
    const char* second_failure = nullptr;
    std::thread worker;
    if (!source.gzip() && sidx.size() >= kParallelHeaders && std::thread::hardware_concurrency() > 1) {
        half = sidx.size() / 2;
        second.groups = doc->groups;
        second.scans.reserve(sidx.size() - half);
        try {
            worker = std::thread([&] {
                try {
                    ParserPtr p = make_parser();
                    second_failure = p ? parse_spectra(&second, p.get(), half, sidx.size()) : "out of memory";
                } catch (...) {
                    second_failure = "out of memory";
                }
            });
        } catch (...) {
            half = sidx.size();  // no thread to be had: this one parses all
        }
    }
    doc->scans.reserve(sidx.size());
    const char* first_failure = parse_spectra(doc, parser.get(), 0, half);
    if (worker.joinable()) worker.join();
    if (first_failure) return fail(first_failure);
    if (half < sidx.size()) {
        if (second_failure) return fail(second_failure);
        auto append = [](auto& to, auto& from) { to.insert(to.end(), std::make_move_iterator(from.begin()),
                                                           std::make_move_iterator(from.end())); };
        append(doc->scans, second.scans);
        append(doc->scan_ends, second.scan_ends);
        append(doc->scan_arrays, second.scan_arrays);
        append(doc->scan_config_refs, second.scan_config_refs);
    }
    std::vector<char> buf;
    SubsetTokens tokens;
    for (auto& [id, off] : cidx) {
        if (off >= static_cast<std::uint64_t>(index_offset)) return fail("offset beyond the index");
        std::uint64_t limit = next_bound(off);
        if (!parse_header_at(source, parser.get(), doc, Tag::Chromatogram, id, off, limit, buf,
                             subset ? &tokens : nullptr))
            return fail("an index offset does not land on its chromatogram");
        doc->chrom_ends.back() = limit;
    }
    doc->complete = true;
    return true;
}

namespace {

bool parse_arrays(const char* data, std::size_t n, ElementKind kind, Tag root, const std::string* expect_id,
                  std::int64_t default_length, const ParamGroups& groups, Arrays* out, std::string* why,
                  XmlPath path) {
    try {
        out->x.clear();
        out->y.clear();
        if (n > (std::size_t(1) << 30)) {
            if (why) *why = "the element is too large";
            return false;
        }
        // The subset tokenizer reads what real writers produce; expat reads
        // the rest, and anything the tokenizer declines.
        ParserPtr parser;
        SubsetTokens tokens;
        bool by_subset = path == XmlPath::Auto && tokenize_subset(data, n, nullptr, &tokens) == Subset::Complete;
        if (!by_subset) {
            parser = make_parser();
            if (!parser) {
                if (why) *why = "out of memory";
                return false;
            }
        }
        Handler h(parser.get(), Mode::Arrays);
        h.groups = &groups;
        h.expect_root = root;
        h.expect_id = expect_id;
        h.spectrum_arrays = kind == ElementKind::Spectrum;
        h.default_length = default_length;
        h.buffer = data;
        h.buffer_len = n;
        h.arrays = out;
        if (by_subset) {
            h.replay(tokens, 0);
        } else {
            Feeder feeder(parser.get(), h, 0, true);
            feeder.feed(data, n);
        }
        // An element without arrays is an empty spectrum when it declares no points.
        bool arrays_ok = h.has_both() || (h.has_none() && h.element_length() == 0);
        bool ok = h.fail.empty() && h.element_done && arrays_ok && out->x.size() == out->y.size();
        if (!ok) {
            if (why) {
                if (!h.fail.empty()) *why = h.fail;
                else if (!h.element_done) *why = "the element is truncated";
                else if (!arrays_ok) *why = "the element lacks its arrays";
                else *why = "the arrays differ in length";
            }
            out->x.clear();
            out->y.clear();
        }
        return ok;
    } catch (...) {
        out->x.clear();
        out->y.clear();
        if (why) *why = "out of memory";
        return false;
    }
}

}  // namespace

bool parse_element_arrays(const char* data, std::size_t n, ElementKind kind, const std::string& expect_id,
                          const ParamGroups& groups, Arrays* out, std::string* why, XmlPath path) noexcept {
    Tag root = kind == ElementKind::Spectrum ? Tag::Spectrum : Tag::Chromatogram;
    return parse_arrays(data, n, kind, root, &expect_id, 0, groups, out, why, path);
}

bool parse_array_list(const char* data, std::size_t n, ElementKind kind, std::int64_t default_length,
                      const ParamGroups& groups, Arrays* out, std::string* why, XmlPath path) noexcept {
    return parse_arrays(data, n, kind, Tag::BinaryDataArrayList, nullptr, default_length, groups, out, why, path);
}

}  // namespace mzml
