// The run model: open() indexes a document (through its own offset index
// when that checks out, else in one streaming pass) and keeps per-scan
// metadata; read_spectrum()/read_chromatogram() read one element's bytes
// with a single positioned read and decode its arrays.
#include "run.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "array_parse.h"
#include "document_pass.h"
#include "index_pass.h"
#include "source.h"

namespace mzml {

struct Run::Detail {
    std::vector<std::uint64_t> scan_ends;   // end (exclusive) of each spectrum's bytes
    std::vector<std::uint64_t> chrom_ends;
    std::vector<std::uint64_t> scan_arrays;  // offset of each element's <binaryDataArrayList>, 0 if none
    std::vector<std::uint64_t> chrom_arrays;
    ParamGroups groups;
};

namespace {

// The N of a "scan=N" term in a native id, or -1.
std::int64_t scan_number_of(const std::string& id) {
    std::size_t at = 0;
    for (;;) {
        at = id.find("scan=", at);
        if (at == std::string::npos) return -1;
        if (at == 0 || id[at - 1] == ' ') break;
        at += 5;
    }
    const char* b = id.data() + at + 5;
    const char* e = id.data() + id.size();
    std::int64_t v = -1;
    auto r = std::from_chars(b, e, v);
    if (r.ec != std::errc() || (r.ptr != e && *r.ptr != ' ')) return -1;
    return v;
}

// First scan number: from the native ids when they run contiguously
// (and fit), else 1.
std::int32_t first_scan_number(const std::vector<ScanInfo>& scans) {
    if (scans.empty()) return 1;
    std::int64_t first = scan_number_of(scans[0].native_id);
    if (first < 1 || first + static_cast<std::int64_t>(scans.size()) > INT32_MAX) return 1;
    for (std::size_t i = 1; i < scans.size(); ++i)
        if (scan_number_of(scans[i].native_id) != first + static_cast<std::int64_t>(i)) return 1;
    return static_cast<std::int32_t>(first);
}

// Whether a pass that skipped array text may have stopped because of it:
// array text holding markup looks like malformed XML (or, nested deeply
// enough, exhausts memory) once skipped. A pass that stopped because the
// input ended or could not be read would stop again.
bool full_parse_may_help(const Outcome& stopped_by) {
    return stopped_by.failure == Failure::Malformed || stopped_by.failure == Failure::NoMemory;
}

}  // namespace

Run::~Run() = default;

bool Run::gzip() const noexcept { return source_ && source_->gzip(); }

std::unique_ptr<Run> Run::open(const std::string& path, Outcome* error) noexcept {
    Outcome scratch;
    if (!error) error = &scratch;
    try {
        std::unique_ptr<ByteSource> source = open_source(path, error);
        if (!source) return nullptr;
        Document doc;
        Outcome why;
        bool indexed = !source->gzip() && index_document(*source, &doc, &why);
        if (!indexed) {
            if (!scan_document(*source, &doc, true, error)) return nullptr;
            if (!doc.complete && full_parse_may_help(doc.stopped_by)) {
                // Array text holding markup defeats the skipping of array
                // text: parse it all and keep the better result.
                Document full;
                Outcome e2;
                if (scan_document(*source, &full, false, &e2) &&
                    (full.complete || full.scans.size() > doc.scans.size()))
                    doc = std::move(full);
            }
        }
        if (doc.scans.empty() && !doc.complete) {
            const Outcome& cause = doc.stopped_by;
            *error = cause.ok() ? Outcome::fail(Failure::Truncated, "the file ends before its first spectrum")
                                : Outcome::fail(cause.failure, "the file ends before its first spectrum (" +
                                                                   cause.text + ")");
            return nullptr;
        }

        std::unique_ptr<Run> run(new Run());
        run->path_ = path;
        run->detail_ = std::make_unique<Detail>();
        run->first_scan_ = first_scan_number(doc.scans);
        run->used_index_ = indexed;

        // Instrument configuration: the run's default, else the first.
        const InstrumentConfig* config = nullptr;
        std::unordered_map<std::string_view, const InstrumentConfig*> configs;
        for (const InstrumentConfig& c : doc.configs) configs.emplace(c.id, &c);
        if (auto it = configs.find(doc.default_config); it != configs.end()) config = it->second;
        else if (!doc.configs.empty()) config = &doc.configs.front();
        RunInfo& info = doc.info;
        if (config) {
            info.instrument_model = config->model;
            info.instrument_serial = config->serial;
            info.instrument_name = config->name.empty() ? config->id : config->name;
        }
        for (const InstrumentConfig& c : doc.configs)
            if (!c.analyzer.empty() && std::find(info.analyzers.begin(), info.analyzers.end(), c.analyzer) == info.analyzers.end())
                info.analyzers.push_back(c.analyzer);

        // Precursor references and analyzers per scan.
        std::unordered_map<std::string_view, std::size_t> by_id;
        by_id.reserve(doc.scans.size());
        for (std::size_t i = 0; i < doc.scans.size(); ++i) by_id.emplace(doc.scans[i].native_id, i);
        for (std::size_t i = 0; i < doc.scans.size(); ++i) {
            ScanInfo& s = doc.scans[i];
            for (Precursor& p : s.precursors) {
                if (p.spectrum_ref.empty()) continue;
                auto it = by_id.find(p.spectrum_ref);
                if (it != by_id.end()) p.precursor_scan = run->first_scan_ + static_cast<std::int32_t>(it->second);
            }
            const InstrumentConfig* c = config;
            if (i < doc.scan_config_refs.size() && !doc.scan_config_refs[i].empty()) {
                auto it = configs.find(doc.scan_config_refs[i]);
                if (it != configs.end()) c = it->second;
            }
            if (c) s.analyzer = c->analyzer;
        }
        by_id.clear();

        run->info_ = std::move(doc.info);
        run->scans_ = std::move(doc.scans);
        run->scans_.shrink_to_fit();
        run->chromatograms_ = std::move(doc.chromatograms);
        run->detail_->scan_ends = std::move(doc.scan_ends);
        run->detail_->chrom_ends = std::move(doc.chrom_ends);
        run->detail_->scan_arrays = std::move(doc.scan_arrays);
        run->detail_->chrom_arrays = std::move(doc.chrom_arrays);
        run->detail_->groups = std::move(doc.groups);
        run->source_ = std::move(source);
        return run;
    } catch (...) {
        error->failure = Failure::NoMemory;
        error->index = IndexProblem::None;
        error->text = "out of memory";  // short enough to need no allocation
        return nullptr;
    }
}

namespace {

// The bytes of one element, read with one positioned read into a buffer
// kept per thread (reused between calls).
bool read_span(const ByteSource& source, std::uint64_t begin, std::uint64_t end, std::vector<char>** out) {
    thread_local std::vector<char> buffer;
    if (end <= begin || end - begin > (std::uint64_t(1) << 30)) return false;
    std::size_t n = static_cast<std::size_t>(end - begin);
    // A thread keeps a buffer of the usual element size, not of the
    // largest element it ever read.
    constexpr std::size_t kKeep = std::size_t(16) << 20;
    if (buffer.size() > kKeep && n <= kKeep) std::vector<char>().swap(buffer);
    if (buffer.size() < n) buffer.resize(n);
    if (source.read_at(begin, buffer.data(), n) != static_cast<std::int64_t>(n)) return false;
    *out = &buffer;
    return true;
}

// An element's arrays: from its binaryDataArrayList when open() located it
// (the element's header was checked then), else from the whole element.
bool read_element(const ByteSource& source, std::uint64_t begin, std::uint64_t arrays, std::uint64_t end,
                  ElementKind kind, const std::string& id, std::int64_t length, const ParamGroups& groups,
                  Arrays* out, XmlPath path) {
    std::vector<char>* buf = nullptr;
    if (arrays > begin && arrays < end) {
        if (!read_span(source, arrays, end, &buf)) return false;
        return parse_array_list(buf->data(), static_cast<std::size_t>(end - arrays), kind, length, groups, out, path)
            .ok();
    }
    if (!read_span(source, begin, end, &buf)) return false;
    return parse_element_arrays(buf->data(), static_cast<std::size_t>(end - begin), kind, id, groups, out, path).ok();
}

}  // namespace

namespace {

// The frame both reads share: *out is emptied first and on any failure, and
// nothing escapes.
template <class Read>
bool emptied_on_failure(Arrays* out, Read&& read) noexcept {
    if (!out) return false;
    out->x.clear();
    out->y.clear();
    try {
        if (read()) return true;
    } catch (...) {
    }
    out->x.clear();
    out->y.clear();
    return false;
}

}  // namespace

bool Run::read_spectrum(std::size_t position, Arrays* out, XmlPath path) const noexcept {
    return emptied_on_failure(out, [&] {
        if (position >= scans_.size()) return false;
        const ScanInfo& s = scans_[position];
        return read_element(*source_, s.offset, detail_->scan_arrays[position], detail_->scan_ends[position],
                            ElementKind::Spectrum, s.native_id, s.array_length, detail_->groups, out, path);
    });
}

bool Run::read_chromatogram(std::size_t position, Arrays* out, XmlPath path) const noexcept {
    return emptied_on_failure(out, [&] {
        if (position >= chromatograms_.size()) return false;
        const ChromatogramInfo& c = chromatograms_[position];
        return read_element(*source_, c.offset, detail_->chrom_arrays[position], detail_->chrom_ends[position],
                            ElementKind::Chromatogram, c.id, c.array_length, detail_->groups, out, path);
    });
}

}  // namespace mzml
