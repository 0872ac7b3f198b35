// The open pass through the offset index, see index_pass.h.
#include "index_pass.h"

#include <algorithm>
#include <iterator>
#include <thread>
#include <vector>

#include "document_pass.h"
#include "element_header.h"
#include "feeder.h"
#include "offset_index.h"
#include "source.h"
#include "subset_xml.h"

namespace mzml {

namespace {

// What reading element headers needs, one per thread.
struct HeaderReader {
    const ByteSource& source;
    XML_Parser parser;
    bool subset;  // try the subset tokenizer first
    std::vector<char> buf{};
    SubsetTokens tokens{};
};

// The subset tokenizer's try at a header: true when it could read the header
// (its outcome then in *landed); false leaves expat to do it, with nothing of
// the document touched.
bool header_by_subset(HeaderReader& r, Document* doc, Tag root, const std::string& id, std::uint64_t offset,
                      std::uint64_t limit, Outcome* landed) {
    constexpr std::size_t kFirstRead = 8192;
    constexpr std::size_t kMaxHeader = std::size_t(1) << 20;
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(limit - offset, kFirstRead));
    while (true) {
        if (r.buf.size() < want) r.buf.resize(want);
        std::int64_t got = r.source.read_at(offset, r.buf.data(), want);
        if (got < 2 || r.buf[0] != '<') return false;
        Subset s = tokenize_subset(r.buf.data(), static_cast<std::size_t>(got), "binaryDataArrayList", &r.tokens);
        if (s == Subset::Complete) {
            OneElementHeader h(doc, root, id);
            replay(r.tokens, offset, h);
            *landed = h.landed(offset);
            return true;
        }
        std::size_t whole = static_cast<std::size_t>(std::min<std::uint64_t>(limit - offset, kMaxHeader));
        if (s == Subset::Outside || static_cast<std::size_t>(got) < want || want >= whole) return false;
        want = std::min(want * 4, whole);
    }
}

// One element's header from `offset`, reading at most up to `limit`: the
// element's own outcome (it did not land, is malformed, cannot be read).
Outcome parse_header_at(HeaderReader& r, Document* doc, Tag root, const std::string& id, std::uint64_t offset,
                        std::uint64_t limit) {
    Outcome landed;
    if (r.subset && header_by_subset(r, doc, root, id, offset, limit, &landed)) return landed;
    XML_ParserReset(r.parser, nullptr);
    OneElementHeader h(doc, root, id);
    Feeder feeder(r.parser, h, offset, false);
    std::uint64_t pos = offset;
    std::size_t chunk = 8192;
    while (pos < limit) {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, limit - pos));
        if (r.buf.size() < want) r.buf.resize(want);
        std::int64_t got = r.source.read_at(pos, r.buf.data(), want);
        if (got <= 0) return Outcome::fail(Failure::Io, "read error");
        if (pos == offset && (got < 2 || r.buf[0] != '<'))
            return Outcome::fail(Failure::Malformed, "no element starts at the offset");
        pos += static_cast<std::uint64_t>(got);
        if (!feeder.feed(r.buf.data(), static_cast<std::size_t>(got))) break;
        chunk = std::min<std::size_t>(chunk * 2, std::size_t(1) << 20);
    }
    return h.landed(offset);
}

// What the element headers are read from.
struct Listed {
    const ByteSource& source;
    const OffsetIndex& index;
    const ElementSpans& spans;
    bool subset;
};

// Keeps the lists of `doc` at the given lengths (what a header that did
// not land appended is taken back).
void truncate_lists(Document* doc, std::size_t scans, std::size_t chromatograms) {
    doc->scans.resize(scans);
    doc->scan_ends.resize(scans);
    doc->scan_arrays.resize(scans);
    doc->scan_config_refs.resize(scans);
    doc->chromatograms.resize(chromatograms);
    doc->chrom_ends.resize(chromatograms);
    doc->chrom_arrays.resize(chromatograms);
}

// A placeholder for the listed element that did not land, and the miss.
void keep_place(Document* doc, bool spectrum, std::size_t position, const IndexEntry& e, const Outcome& why) {
    if (spectrum) {
        ScanInfo lost;
        lost.lost = true;
        lost.offset = e.offset;
        lost.native_id = e.id;
        lost.list_index = static_cast<std::int64_t>(position);
        doc->scans.push_back(std::move(lost));
        doc->scan_ends.push_back(0);
        doc->scan_arrays.push_back(0);
        doc->scan_config_refs.emplace_back();
    } else {
        ChromatogramInfo lost;
        lost.offset = e.offset;
        lost.id = e.id;
        doc->chromatograms.push_back(std::move(lost));
        doc->chrom_ends.push_back(0);
        doc->chrom_arrays.push_back(0);
    }
    doc->misses.push_back(IndexMiss{spectrum, position, e.id, e.offset,
                                    "no header that parses starts at the offset the index gives (" + why.text + ")"});
}

// The headers of the listed spectra (or chromatograms) [from, to),
// appended to `into` in order. A header that does not land leaves a
// placeholder and a miss, to be settled against a full pass (damage.h); an
// index most of whose spectrum offsets miss (8, or more than half of a
// short list, before as many land) is unusable as a whole: it was written
// for another document, or shifted.
Outcome parse_listed(const Listed& in, Document* into, XML_Parser parser, Tag kind, std::size_t from,
                     std::size_t to) {
    constexpr std::size_t kMissesTolerated = 8;
    const bool spectra = kind == Tag::Spectrum;
    const std::vector<IndexEntry>& entries = spectra ? in.index.spectra : in.index.chromatograms;
    std::vector<std::uint64_t>& ends = spectra ? into->scan_ends : into->chrom_ends;
    HeaderReader r{in.source, parser, in.subset};
    std::size_t landed = 0, missed = 0;
    // Misses that make the index unusable (chromatograms are few: theirs never do).
    const std::size_t enough =
        spectra ? std::min<std::size_t>(kMissesTolerated, entries.size() / 2 + 1) : static_cast<std::size_t>(-1);
    for (std::size_t i = from; i < to; ++i) {
        const IndexEntry& e = entries[i];
        const std::size_t scans = into->scans.size(), chromatograms = into->chromatograms.size();
        Outcome o = check_before_index(in.index, e.offset);
        std::uint64_t limit = 0;
        if (o.ok()) {
            limit = in.spans.end_of(e.offset);
            o = parse_header_at(r, into, kind, e.id, e.offset, limit);
        }
        if (o.ok()) {
            ends.back() = limit;
            ++landed;
            continue;
        }
        if (++missed >= enough && missed > landed)
            return Outcome::index_unusable(IndexProblem::SpectrumMisplaced,
                                           "most index offsets do not land on their spectra");
        truncate_lists(into, scans, chromatograms);
        keep_place(into, spectra, i, e, o);
    }
    return Outcome::success();
}

Outcome no_memory() { return Outcome::fail(Failure::NoMemory, "out of memory"); }

// Joins a thread however the scope is left.
struct JoinOnExit {
    std::thread& thread;
    ~JoinOnExit() {
        if (thread.joinable()) thread.join();
    }
};

// Every listed spectrum's header. A long index of a plain file is parsed by
// two threads, each with its own parser and its own half of the list
// (positioned reads of a plain file need no lock); the second half is
// appended in order. This halves the time an indexed file takes to open on
// a machine with a core to spare. Gzip files read through one cursor, so
// they stay on one thread.
Outcome parse_spectrum_headers(const Listed& in, Document* doc, XML_Parser parser) {
    constexpr std::size_t kParallelHeaders = 256;
    const std::size_t n = in.index.spectra.size();
    std::size_t half = n;
    Document second;
    Outcome second_failure;
    std::thread worker;
    JoinOnExit join{worker};
    if (!in.source.gzip() && n >= kParallelHeaders && std::thread::hardware_concurrency() > 1) {
        half = n / 2;
        second.groups = doc->groups;
        second.scans.reserve(n - half);
        try {
            worker = std::thread([&] {
                try {
                    ParserPtr p = make_parser();
                    second_failure = p ? parse_listed(in, &second, p.get(), Tag::Spectrum, half, n) : no_memory();
                } catch (...) {
                    second_failure.failure = Failure::NoMemory;
                }
            });
        } catch (...) {
            half = n;  // no thread to be had: this one parses all
        }
    }
    doc->scans.reserve(n);
    Outcome first_failure = parse_listed(in, doc, parser, Tag::Spectrum, 0, half);
    if (worker.joinable()) worker.join();
    if (!first_failure.ok()) return first_failure;
    if (half == n) return Outcome::success();
    if (!second_failure.ok()) return second_failure;
    auto append = [](auto& to, auto& from) {
        to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
    };
    append(doc->scans, second.scans);
    append(doc->scan_ends, second.scan_ends);
    append(doc->scan_arrays, second.scan_arrays);
    append(doc->scan_config_refs, second.scan_config_refs);
    append(doc->misses, second.misses);
    return Outcome::success();
}

// The document up to its first spectrum or chromatogram.
Outcome read_header(const ByteSource& source, XML_Parser parser, Document* doc) {
    DocumentHandler h(doc, DocumentHandler::Reach::Header);
    Feeder feeder(parser, h, 0, true);
    Outcome ignored;  // a read error leaves the header unfinished, which is what counts
    source.scan(0, [&](const char* d, std::size_t n) { return feeder.feed(d, n); }, &ignored);
    if (!doc->saw_root || !h.stopped() || h.failed())
        return Outcome::index_unusable(IndexProblem::HeaderMalformed, "the header is malformed");
    return Outcome::success();
}

}  // namespace

bool index_document(const ByteSource& source, Document* doc, Outcome* why, XmlPath path) {
    auto fail = [&](Outcome o) {
        if (why) *why = std::move(o);
        return false;
    };
    *doc = Document{};
    doc->source_size = source.size();
    OffsetIndex index;
    if (Outcome o = read_index_list_offset(source, &index.list_offset); !o.ok()) return fail(std::move(o));
    ParserPtr parser = make_parser();
    if (!parser) return fail(no_memory());
    if (Outcome o = read_index_list(source, parser.get(), &index); !o.ok()) return fail(std::move(o));
    XML_ParserReset(parser.get(), nullptr);
    if (Outcome o = read_header(source, parser.get(), doc); !o.ok()) return fail(std::move(o));

    ElementSpans spans;
    for (Outcome o : {check_spectrum_count(index, *doc), check_chromatogram_count(index, *doc),
                      check_spectra_declared(index, *doc), spans.build(index), check_spectra_in_order(index)})
        if (!o.ok()) return fail(std::move(o));

    const Listed listed{source, index, spans, path == XmlPath::Auto};
    if (Outcome o = parse_spectrum_headers(listed, doc, parser.get()); !o.ok()) return fail(std::move(o));
    const std::size_t chromatograms = index.chromatograms.size();
    if (Outcome o = parse_listed(listed, doc, parser.get(), Tag::Chromatogram, 0, chromatograms); !o.ok())
        return fail(std::move(o));
    doc->complete = true;
    return true;
}

}  // namespace mzml
