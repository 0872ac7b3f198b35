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
#include "damage.h"
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
// (and fit), else 1. Lost slots keep their place and take no part.
std::int32_t first_scan_number(const std::vector<ScanInfo>& scans) {
    std::int64_t first = -1;
    for (std::size_t i = 0; i < scans.size(); ++i) {
        if (scans[i].lost) continue;
        const std::int64_t n = scan_number_of(scans[i].native_id);
        if (first < 0) {
            first = n - static_cast<std::int64_t>(i);
            if (n < 0 || first < 1) return 1;
        }
        if (n != first + static_cast<std::int64_t>(i)) return 1;
    }
    if (first < 1 || first + static_cast<std::int64_t>(scans.size()) > INT32_MAX) return 1;
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
        if (indexed && !doc.misses.empty()) {
            // Some listed headers do not parse where the index says: a full
            // pass tells a wrong offset (the element is fine elsewhere) from
            // a damaged element.
            Document streamed;
            Outcome e2;
            const bool read = scan_document(*source, &streamed, true, &e2);
            if (read) account_for_damage(&streamed);
            if (read && streamed.complete && streamed.damage.empty()) {
                doc = std::move(streamed);  // only the index was wrong
                indexed = false;
            } else {
                settle_index_misses(&doc, read ? &streamed : nullptr);
            }
        } else if (!indexed) {
            if (!scan_document(*source, &doc, true, error)) return nullptr;
            account_for_damage(&doc);
            // Stretches of damage arise from malformed XML alone.
            if (!doc.stretches.empty() || (!doc.complete && full_parse_may_help(doc.stopped_by))) {
                // Array text holding markup defeats the skipping of array
                // text: parse it all and keep the better result.
                Document full;
                Outcome e2;
                if (scan_document(*source, &full, false, &e2)) {
                    account_for_damage(&full);
                    const std::size_t was = intact_spectra(doc), now = intact_spectra(full);
                    if (now > was || (now == was && full.damage.size() < doc.damage.size())) doc = std::move(full);
                }
            }
        }
        if (intact_spectra(doc) == 0 && !doc.complete) {
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
            info.instrument_name = config->name;
            // The instrument's software is the one its configuration names.
            for (const SoftwareInfo& sw : doc.software) {
                if (config->software_ref.empty() || sw.id != config->software_ref) continue;
                info.software_name = sw.name.empty() ? sw.id : sw.name;
                info.software_version = sw.version;
                break;
            }
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
        run->damage_ = std::move(doc.damage);
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
Outcome read_element(const ByteSource& source, std::uint64_t begin, std::uint64_t arrays, std::uint64_t end,
                     ElementKind kind, const std::string& id, std::int64_t length, const ParamGroups& groups,
                     Arrays* out, XmlPath path, ArrayWork work = ArrayWork::Decode) {
    std::vector<char>* buf = nullptr;
    const bool list_only = arrays > begin && arrays < end;
    const std::uint64_t from = list_only ? arrays : begin;
    if (!read_span(source, from, end, &buf)) return Outcome::fail(Failure::Io, "its bytes cannot be read");
    if (list_only)
        return parse_array_list(buf->data(), static_cast<std::size_t>(end - arrays), kind, length, groups, out, path, work);
    return parse_element_arrays(buf->data(), static_cast<std::size_t>(end - begin), kind, id, groups, out, path, work);
}

}  // namespace

namespace {

// The frame both reads share: *out is emptied first and on any failure, and
// nothing escapes.
template <class Read>
bool emptied_on_failure(Arrays* out, Outcome* why, Read&& read) noexcept {
    if (!out) return false;
    out->x.clear();
    out->y.clear();
    out->others.clear();
    try {
        Outcome o = read();
        if (o.ok()) return true;
        if (why) *why = std::move(o);
    } catch (...) {
        if (why) {
            why->failure = Failure::NoMemory;
            why->index = IndexProblem::None;
            why->text.clear();
        }
    }
    out->x.clear();
    out->y.clear();
    out->others.clear();
    return false;
}

}  // namespace

bool Run::read_spectrum(std::size_t position, Arrays* out, XmlPath path, Outcome* why) const noexcept {
    return emptied_on_failure(out, why, [&] {
        if (position >= scans_.size()) return Outcome::fail(Failure::Malformed, "no such spectrum");
        const ScanInfo& s = scans_[position];
        if (s.lost) return Outcome::fail(Failure::Malformed, "the spectrum was lost to damage");
        return read_element(*source_, s.offset, detail_->scan_arrays[position], detail_->scan_ends[position],
                            ElementKind::Spectrum, s.native_id, s.array_length, detail_->groups, out, path);
    });
}

bool Run::read_chromatogram(std::size_t position, Arrays* out, XmlPath path) const noexcept {
    return emptied_on_failure(out, nullptr, [&] {
        if (position >= chromatograms_.size()) return Outcome::fail(Failure::Malformed, "no such chromatogram");
        const ChromatogramInfo& c = chromatograms_[position];
        return read_element(*source_, c.offset, detail_->chrom_arrays[position], detail_->chrom_ends[position],
                            ElementKind::Chromatogram, c.id, c.array_length, detail_->groups, out, path);
    });
}

bool Run::other_arrays(std::size_t position, std::vector<std::string>* names) const noexcept {
    if (!names) return false;
    names->clear();
    Arrays arrays;
    const bool ok = emptied_on_failure(&arrays, nullptr, [&] {
        if (position >= scans_.size()) return Outcome::fail(Failure::Malformed, "no such spectrum");
        const ScanInfo& s = scans_[position];
        if (s.lost) return Outcome::fail(Failure::Malformed, "the spectrum was lost to damage");
        return read_element(*source_, s.offset, detail_->scan_arrays[position], detail_->scan_ends[position],
                            ElementKind::Spectrum, s.native_id, s.array_length, detail_->groups, &arrays,
                            XmlPath::Auto, ArrayWork::NameOthers);
    });
    if (ok) names->swap(arrays.others);
    return ok;
}

}  // namespace mzml
