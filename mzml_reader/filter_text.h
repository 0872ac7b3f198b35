// Filter texts of scans: the library's own text for a scan (used wherever
// the file carries no filter text of its own), and the matching of a filter
// given by a caller (chromatograms) against a scan.
//
// Format of a built filter text, tokens separated by one space:
//
//   ms<level> {<precursor>} [<polarity>] <data> [<window>]
//
//   level      the scan's MS level ("ms" alone when the file gives none)
//   precursor  one per precursor, in document order: its m/z with four
//              decimals, then "@" and the activation (cid, hcd, etd, ecd,
//              mpd, pqd, act) directly followed by the collision energy
//              with two decimals when the file gives them:
//              "445.1200@hcd30.00", "445.1200@etd", "445.1200"
//   polarity   "+" or "-", left out when the file does not say
//   data       "c" for centroid data, "p" for profile data, left out when
//              the file does not say
//   window     the scan window "[low-high]", four decimals each, left out
//              when the file gives none
//
// Examples: "ms1 + p [200.0000-2000.0000]",
//           "ms2 445.1200@hcd30.00 + c [100.0000-1000.0000]".
//
// Matching: a caller's filter is split at white space; the empty filter
// selects every scan. A scan is selected when every token of the filter
// equals (ignoring ASCII case) a token of the scan's filter text, either of
// its own text from the file or of its built text. A token that is a bare
// number also matches a precursor token whose m/z part agrees with it to
// within half a unit of the number's last written decimal ("445.12" matches
// "445.1200@hcd30.00").
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "run.h"

namespace mzml {

// The activation name used in built filter texts, "" when unknown.
std::string_view activation_name(Activation a) noexcept;

// The built filter text of one scan.
std::string build_filter_text(const ScanInfo& scan);

// A caller's filter, parsed once and matched against many scans.
class FilterQuery {
public:
    explicit FilterQuery(std::string_view filter);
    bool selects_all() const noexcept { return tokens_.empty(); }
    // True when the filter selects a scan whose filter texts are `own` (may
    // be empty) and `built`.
    bool matches(std::string_view own, std::string_view built) const;

private:
    struct Token {
        std::string text;   // lower-cased
        bool number = false;
        double value = 0.0;
        double half_unit = 0.0;
    };
    bool matches_one(const Token& t, std::string_view text) const;
    std::vector<Token> tokens_;
};

}  // namespace mzml
