// A scan's trailer pairs, see trailer.h.
#include "trailer.h"

#include <cstring>

namespace mzml {

namespace {

void append_escaped(std::string& out, const std::string& field) {
    for (char c : field) {
        if (c == '%') out += "%25";
        else if (c == '|') out += "%7C";
        else out += c;
    }
}

std::size_t escaped_size(const std::string& field) {
    std::size_t n = field.size();
    for (char c : field)
        if (c == '%' || c == '|') n += 2;
    return n;
}

}  // namespace

std::vector<TrailerPair> trailer_pairs(const RunView& view, std::size_t pos) {
    const ScanInfo& s = view.scans()[pos];
    std::vector<TrailerPair> mine;
    for (std::size_t i = 0; i < s.precursors.size(); ++i)
        if (!s.precursors[i].spectrum_ref.empty())
            mine.push_back({"precursor " + std::to_string(i + 1) + " spectrum ref", s.precursors[i].spectrum_ref});
    std::vector<std::string> arrays;
    if (view.run().other_arrays(pos, &arrays)) {
        for (std::string& name : arrays) mine.push_back({"extra binary array", std::move(name)});
    } else {
        mine.push_back({"extra binary arrays unknown", "the arrays cannot be read"});
    }
    std::vector<TrailerPair> out;
    out.reserve(3 + mine.size() + s.user_params.size());
    out.push_back({"native id", s.native_id});
    out.push_back({"reader pairs", std::to_string(3 + mine.size())});
    out.push_back({"file pairs", std::to_string(s.user_params.size())});
    for (TrailerPair& p : mine) out.push_back(std::move(p));
    for (const UserParam& p : s.user_params) out.push_back({p.name, p.value});
    return out;
}

std::int32_t write_trailer_text(const std::vector<TrailerPair>& pairs, bool labels, char* buffer,
                                std::int32_t capacity) {
    if (buffer == nullptr || capacity <= 0) return -1;
    // Whole pairs while both texts, and their zero byte, fit.
    const std::size_t room = static_cast<std::size_t>(capacity) - 1;
    std::size_t label_bytes = 0, value_bytes = 0, shown = 0;
    for (const TrailerPair& p : pairs) {
        const std::size_t bar = shown > 0 ? 1 : 0;
        const std::size_t l = label_bytes + bar + escaped_size(p.label);
        const std::size_t v = value_bytes + bar + escaped_size(p.value);
        if (l > room || v > room) break;
        label_bytes = l;
        value_bytes = v;
        ++shown;
    }
    std::string text;
    text.reserve(labels ? label_bytes : value_bytes);
    for (std::size_t i = 0; i < shown; ++i) {
        if (i > 0) text += '|';
        append_escaped(text, labels ? pairs[i].label : pairs[i].value);
    }
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return static_cast<std::int32_t>(text.size());
}

}  // namespace mzml
