// Lost slots and the error log's entries, see damage.h.
#include "damage.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace mzml {

namespace {

// An entry and the document offset it is sorted by.
struct Placed {
    std::uint64_t offset;
    std::string message;
};

std::string quoted(const std::string& id) { return "\"" + id + "\""; }

std::string offset_text(std::uint64_t offset) { return "byte offset " + std::to_string(offset); }

std::string count_of(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "spectrum index 19 (id "scan=20")", "spectrum indexes 19 to 21".
std::string spectra_at(std::size_t first, std::size_t count, const std::string& id) {
    std::string s = count == 1 ? "spectrum index " + std::to_string(first)
                               : "spectrum indexes " + std::to_string(first) + " to " + std::to_string(first + count - 1);
    if (count == 1 && !id.empty()) s += " (id " + quoted(id) + ")";
    return s;
}

// Why a pass stopped, and where.
std::string stop_cause(const Document& doc) {
    const std::string where = offset_text(doc.stopped_at);
    const Outcome& why = doc.stopped_by;
    switch (why.failure) {
    case Failure::Truncated: return "the document ends early, at " + where;
    case Failure::Corrupt: return "the gzip stream is corrupt after " + where + " of the document";
    case Failure::Io: return "a read error at " + where;
    case Failure::NoMemory: return "memory ran out at " + where;
    case Failure::Malformed:
        return "the document is damaged at " + where + " and no element after the damage could be read (" +
               why.text + ")";
    default: return (why.text.empty() ? std::string("reading stopped") : why.text) + " at " + where;
    }
}

// The index attributes of the intact spectra place the losses: the gap
// before each intact spectrum, or false when they cannot be trusted.
bool gaps_from_index_attributes(const std::vector<ScanInfo>& scans, const std::vector<std::size_t>& guess,
                                const std::vector<const Stretch*>& first_at, std::vector<std::size_t>* gaps) {
    std::int64_t previous = -1;
    for (std::size_t i = 0; i < scans.size(); ++i) {
        const std::int64_t at = scans[i].list_index;
        if (at <= previous) return false;
        const auto gap = static_cast<std::uint64_t>(at - previous - 1);
        if (gap > 0 && !first_at[i]) return false;  // a gap where nothing was damaged
        if (gap == 0 && guess[i] > 0) return false;  // an element lost where the attributes see none
        // A spectrum takes more than a few bytes: a gap the damaged bytes
        // could not have held is an index attribute that lies.
        const std::uint64_t from = first_at[i] ? first_at[i]->begin : 0;
        const std::uint64_t span = scans[i].offset > from ? scans[i].offset - from : 0;
        if (gap > span / 16 + 1) return false;
        (*gaps)[i] = static_cast<std::size_t>(gap);
        previous = at;
    }
    return true;
}

}  // namespace

std::string count_of_spectra(std::size_t n) { return count_of(n, "spectrum", "spectra"); }

std::size_t intact_spectra(const Document& doc) {
    return static_cast<std::size_t>(
        std::count_if(doc.scans.begin(), doc.scans.end(), [](const ScanInfo& s) { return !s.lost; }));
}

void account_for_damage(Document* doc) {
    const std::size_t m = doc->scans.size();
    // The stretches between intact spectra: before spectrum i for i < m,
    // after the last one for i == m.
    std::vector<std::size_t> guess(m + 1, 0);
    std::vector<const Stretch*> first_at(m + 1, nullptr);
    std::vector<Placed> entries;
    std::size_t chromatograms_lost = 0;
    for (const Stretch& st : doc->stretches) {
        if (!st.spectra) {
            // A chromatogram keeps no slot: it is dropped and named.
            if (st.guess > 0) {
                ++chromatograms_lost;
                std::string what = "lost 1 chromatogram: ";
                what += st.id.empty() ? "chromatogram index " + std::to_string(st.complete_before)
                                      : "id " + quoted(st.id);
                entries.push_back({st.begin, what + " at " + offset_text(st.begin) + ": " + st.reason});
            } else if (st.resumed != 0) {
                entries.push_back({st.begin, "damaged markup between chromatograms at " + offset_text(st.begin) +
                                                 ": " + st.reason + "; no chromatogram was lost"});
            }
            continue;
        }
        const std::size_t k = std::min(st.complete_before, m);
        guess[k] += st.guess;
        if (!first_at[k]) first_at[k] = &st;
    }

    std::vector<std::size_t> gaps(m + 1, 0);
    if (m == 0 || !gaps_from_index_attributes(doc->scans, guess, first_at, &gaps)) gaps = guess;

    std::vector<ScanInfo> scans;
    std::vector<std::uint64_t> ends, arrays;
    std::vector<std::string> refs;
    std::size_t slots = 0;
    for (std::size_t s = 0; s < m; ++s) slots += gaps[s] + 1;
    scans.reserve(slots);
    ends.reserve(slots);
    arrays.reserve(slots);
    refs.reserve(slots);
    for (std::size_t i = 0; i < m; ++i) {
        const Stretch* st = first_at[i];
        if (gaps[i] > 0) {
            const std::size_t first = scans.size();
            for (std::size_t g = 0; g < gaps[i]; ++g) {
                ScanInfo lost;
                lost.lost = true;
                lost.offset = st ? st->begin : 0;
                lost.list_index = static_cast<std::int64_t>(scans.size());
                if (gaps[i] == 1 && st) lost.native_id = st->id;
                scans.push_back(std::move(lost));
                ends.push_back(0);
                arrays.push_back(0);
                refs.emplace_back();
            }
            const std::uint64_t at = st ? st->begin : 0;
            entries.push_back({at, "lost " + count_of_spectra(gaps[i]) + ": " +
                                       spectra_at(first, gaps[i], st ? st->id : std::string()) + " at " +
                                       offset_text(at) + ": " + (st ? st->reason : std::string("damaged"))});
        } else if (st) {
            entries.push_back({st->begin, "damaged markup before spectrum index " + std::to_string(scans.size()) +
                                              " at " + offset_text(st->begin) + ": " + st->reason +
                                              "; no spectrum was lost"});
        }
        scans.push_back(std::move(doc->scans[i]));
        ends.push_back(doc->scan_ends[i]);
        arrays.push_back(doc->scan_arrays[i]);
        refs.push_back(std::move(doc->scan_config_refs[i]));
    }
    doc->scans = std::move(scans);
    doc->scan_ends = std::move(ends);
    doc->scan_arrays = std::move(arrays);
    doc->scan_config_refs = std::move(refs);

    // What the counts the file declares say is missing.
    const std::size_t held = doc->scans.size();
    const std::int64_t declared = doc->spectrum_count;
    const std::uint64_t end_at = doc->complete ? doc->source_size : doc->stopped_at;
    if (!doc->complete) {
        const std::string cause = stop_cause(*doc);
        if (declared >= 0 && static_cast<std::uint64_t>(declared) > held) {
            entries.push_back({end_at, "lost " + count_of_spectra(static_cast<std::size_t>(declared) - held) + ": " +
                                           cause + ", after " + std::to_string(held) + " of the " +
                                           std::to_string(declared) + " spectra it declares"});
        } else if (declared < 0) {
            entries.push_back({end_at, "lost an unknown number of spectra: " + cause + ", after " +
                                           count_of_spectra(held) + " (the file does not declare how many it holds)"});
        } else {
            entries.push_back({end_at, cause + ", after all " + std::to_string(held) +
                                           " spectra it declares: no spectrum was lost"});
        }
    } else if (declared >= 0 && static_cast<std::uint64_t>(declared) > held) {
        entries.push_back({end_at, "lost " + count_of_spectra(static_cast<std::size_t>(declared) - held) +
                                       ": the spectrum list declares " + std::to_string(declared) +
                                       " spectra, the file holds " + std::to_string(held)});
    } else if (declared >= 0 && static_cast<std::uint64_t>(declared) < held) {
        entries.push_back({end_at, "the spectrum list declares " + std::to_string(declared) +
                                       " spectra, the file holds " + std::to_string(held) + ": all were read"});
    }
    const std::int64_t chromatograms = doc->chromatogram_count;
    const std::size_t have = doc->chromatograms.size() + chromatograms_lost;
    if (chromatograms >= 0 && static_cast<std::uint64_t>(chromatograms) > have) {
        const auto missing = static_cast<std::size_t>(chromatograms) - have;
        entries.push_back({end_at, "lost " + count_of(missing, "chromatogram", "chromatograms") + ": " +
                                       (doc->complete ? "the chromatogram list declares " +
                                                            std::to_string(chromatograms) + ", the file holds " +
                                                            std::to_string(doc->chromatograms.size())
                                                      : stop_cause(*doc))});
    }

    std::stable_sort(entries.begin(), entries.end(),
                     [](const Placed& a, const Placed& b) { return a.offset < b.offset; });
    for (Placed& e : entries) doc->damage.push_back(LogEntry{std::move(e.message), kNaN});
}

void settle_index_misses(Document* doc, const Document* streamed) {
    // Intact elements of the full pass by id (ids met twice are ambiguous
    // and looked up in neither).
    std::unordered_map<std::string_view, std::size_t> spectra, chromatograms;
    if (streamed) {
        for (std::size_t i = 0; i < streamed->scans.size(); ++i) {
            const ScanInfo& s = streamed->scans[i];
            if (s.lost) continue;
            auto [it, fresh] = spectra.emplace(std::string_view(s.native_id), i);
            if (!fresh) it->second = static_cast<std::size_t>(-1);
        }
        for (std::size_t i = 0; i < streamed->chromatograms.size(); ++i) {
            auto [it, fresh] = chromatograms.emplace(std::string_view(streamed->chromatograms[i].id), i);
            if (!fresh) it->second = static_cast<std::size_t>(-1);
        }
    }
    auto found = [](const auto& map, const std::string& id) {
        const auto it = map.find(std::string_view(id));
        return it == map.end() ? static_cast<std::size_t>(-1) : it->second;
    };
    std::vector<std::size_t> dropped;
    for (const IndexMiss& miss : doc->misses) {
        if (miss.spectrum) {
            const std::size_t j = found(spectra, miss.id);
            if (j != static_cast<std::size_t>(-1)) {
                doc->scans[miss.position] = streamed->scans[j];
                doc->scans[miss.position].list_index = static_cast<std::int64_t>(miss.position);
                doc->scan_ends[miss.position] = streamed->scan_ends[j];
                doc->scan_arrays[miss.position] = streamed->scan_arrays[j];
                doc->scan_config_refs[miss.position] = streamed->scan_config_refs[j];
                continue;
            }
            doc->damage.push_back(LogEntry{"lost 1 spectrum: " + spectra_at(miss.position, 1, miss.id) + " at " +
                                               offset_text(miss.offset) + ": " + miss.reason,
                                           kNaN});
        } else {
            const std::size_t j = found(chromatograms, miss.id);
            if (j != static_cast<std::size_t>(-1)) {
                doc->chromatograms[miss.position] = streamed->chromatograms[j];
                doc->chrom_ends[miss.position] = streamed->chrom_ends[j];
                doc->chrom_arrays[miss.position] = streamed->chrom_arrays[j];
                continue;
            }
            dropped.push_back(miss.position);
            doc->damage.push_back(LogEntry{"lost 1 chromatogram: id " + quoted(miss.id) + " at " +
                                               offset_text(miss.offset) + ": " + miss.reason,
                                           kNaN});
        }
    }
    std::sort(dropped.rbegin(), dropped.rend());
    for (std::size_t p : dropped) {
        doc->chromatograms.erase(doc->chromatograms.begin() + static_cast<std::ptrdiff_t>(p));
        doc->chrom_ends.erase(doc->chrom_ends.begin() + static_cast<std::ptrdiff_t>(p));
        doc->chrom_arrays.erase(doc->chrom_arrays.begin() + static_cast<std::ptrdiff_t>(p));
    }
    doc->misses.clear();
}

}  // namespace mzml
