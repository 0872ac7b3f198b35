// Built filter texts and the matching of callers' filters, see filter_text.h.

#include "filter_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>

namespace mzml {

namespace {

// Appends `value` with `decimals` fixed decimals, independent of the
// process locale.
void append_fixed(std::string& out, double value, int decimals) {
    std::array<char, 64> buf{};
    const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed, decimals);
    if (r.ec == std::errc()) out.append(buf.data(), r.ptr);
}

char lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_nocase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// Calls f(token) for every white-space separated token of text; stops and
// returns true as soon as f does.
template <class F>
bool any_token(std::string_view text, F&& f) {
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_space(text[i])) ++i;
        std::size_t j = i;
        while (j < text.size() && !is_space(text[j])) ++j;
        if (j > i && f(text.substr(i, j - i))) return true;
        i = j;
    }
    return false;
}

// Parses a plain decimal number (digits with at most one point, nothing
// else); sets the half unit of its last written decimal.
bool parse_number(std::string_view t, double* value, double* half_unit) {
    if (t.empty()) return false;
    std::size_t point = std::string_view::npos;
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '.') {
            if (point != std::string_view::npos) return false;
            point = i;
        } else if (t[i] < '0' || t[i] > '9') {
            return false;
        }
    }
    const auto r = std::from_chars(t.data(), t.data() + t.size(), *value);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return false;
    const std::size_t decimals = point == std::string_view::npos ? 0 : t.size() - point - 1;
    *half_unit = 0.5 * std::pow(10.0, -static_cast<double>(decimals));
    return true;
}

}  // namespace

std::string_view activation_name(Activation a) noexcept {
    switch (a) {
        case Activation::CID: return "cid";
        case Activation::HCD: return "hcd";
        case Activation::ETD: return "etd";
        case Activation::ECD: return "ecd";
        case Activation::MPD: return "mpd";
        case Activation::PQD: return "pqd";
        case Activation::Other: return "act";
        case Activation::Unknown: break;
    }
    return {};
}

std::string build_filter_text(const ScanInfo& scan) {
    std::string t = "ms";
    if (scan.ms_level > 0) t += std::to_string(scan.ms_level);
    for (const Precursor& p : scan.precursors) {
        const double mz = !std::isnan(p.selected_mz) ? p.selected_mz : p.isolation_target;
        if (!std::isfinite(mz)) continue;
        t += ' ';
        append_fixed(t, mz, 4);
        const std::string_view act = activation_name(p.activation);
        const bool energy = std::isfinite(p.collision_energy);
        if (!act.empty() || energy) {
            t += '@';
            t += act.empty() ? std::string_view("act") : act;
            if (energy) append_fixed(t, p.collision_energy, 2);
        }
    }
    if (scan.polarity == Polarity::Positive) t += " +";
    if (scan.polarity == Polarity::Negative) t += " -";
    if (scan.representation == Representation::Centroid) t += " c";
    if (scan.representation == Representation::Profile) t += " p";
    if (std::isfinite(scan.window_low) && std::isfinite(scan.window_high)) {
        t += " [";
        append_fixed(t, scan.window_low, 4);
        t += '-';
        append_fixed(t, scan.window_high, 4);
        t += ']';
    }
    return t;
}

FilterQuery::FilterQuery(std::string_view filter) {
    any_token(filter, [this](std::string_view tok) {
        Token t;
        t.text.reserve(tok.size());
        for (char c : tok) t.text += lower(c);
        t.number = parse_number(tok, &t.value, &t.half_unit);
        tokens_.push_back(std::move(t));
        return false;
    });
}

bool FilterQuery::matches_one(const Token& t, std::string_view text) const {
    return any_token(text, [&t](std::string_view tok) {
        if (equal_nocase(tok, t.text)) return true;
        if (!t.number) return false;
        const std::size_t at = tok.find('@');
        double v = 0.0, unused = 0.0;
        if (!parse_number(tok.substr(0, at), &v, &unused)) return false;
        return std::fabs(v - t.value) <= t.half_unit * (1.0 + 1e-9);
    });
}

bool FilterQuery::matches(std::string_view own, std::string_view built) const {
    const auto all_in = [this](std::string_view text) {
        for (const Token& t : tokens_)
            if (!matches_one(t, text)) return false;
        return true;
    };
    return all_in(built) || (!own.empty() && all_in(own));
}

}  // namespace mzml
