// Spectrum and chromatogram headers, see element_header.h.
#include "element_header.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace mzml {

void ElementHeaderHandler::begin_spectrum(const char** atts) {
    doc_->scans.emplace_back();
    doc_->scan_ends.push_back(0);
    doc_->scan_arrays.push_back(0);
    doc_->scan_config_refs.emplace_back();
    scan_ = &doc_->scans.back();
    scan_->offset = offset();
    const char* id = attr(atts, "id");
    if (id) scan_->native_id = id;
    scan_->list_index = std::max<std::int64_t>(-1, to_int(attr(atts, "index"), -1));
    scan_->array_length = std::max<std::int64_t>(0, to_int(attr(atts, "defaultArrayLength"), 0));
    scans_in_list_ = 0;
    in_arrays_ = false;
}

void ElementHeaderHandler::begin_chromatogram(const char** atts) {
    doc_->chromatograms.emplace_back();
    doc_->chrom_ends.push_back(0);
    doc_->chrom_arrays.push_back(0);
    chrom_ = &doc_->chromatograms.back();
    chrom_->offset = offset();
    const char* id = attr(atts, "id");
    if (id) chrom_->id = id;
    chrom_->array_length = std::max<std::int64_t>(0, to_int(attr(atts, "defaultArrayLength"), 0));
}

void ElementHeaderHandler::note_array_list() {
    Tag owner = parent();
    if (owner == Tag::Spectrum && scan_) {
        doc_->scan_arrays.back() = offset();
        in_arrays_ = true;
    }
    if (owner == Tag::Chromatogram && chrom_) doc_->chrom_arrays.back() = offset();
}

void ElementHeaderHandler::open_element_part(Tag t, const char** atts) {
    switch (t) {
    case Tag::ScanList:
        scans_in_list_ = 0;
        return;
    case Tag::Scan:
        first_scan_ = scan_ && parent() == Tag::ScanList && parent(2) == Tag::Spectrum && scans_in_list_++ == 0;
        windows_ = 0;
        if (first_scan_) {
            const char* ref = attr(atts, "instrumentConfigurationRef");
            if (ref) doc_->scan_config_refs.back() = ref;
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
    default:
        return;
    }
}

void ElementHeaderHandler::close(Tag t) {
    switch (t) {
    case Tag::Spectrum:
        scan_ = nullptr;
        return;
    case Tag::Chromatogram:
        chrom_ = nullptr;
        return;
    case Tag::Scan:
        first_scan_ = false;
        return;
    default:
        return;
    }
}

// Every param of an element's header, by the element that holds it.
void ElementHeaderHandler::param(Tag context, const ParamView& p) {
    if (p.user && scan_ && !in_arrays_ && context != Tag::BinaryDataArray)
        scan_->user_params.push_back(UserParam{p.name, p.value});
    switch (context) {
    case Tag::Spectrum:
        if (scan_) spectrum_param(p);
        return;
    case Tag::Scan:
        if (scan_ && first_scan_) scan_param(p);
        return;
    case Tag::ScanWindow:
        if (scan_ && first_scan_ && windows_ == 1) scan_window_param(p);
        return;
    case Tag::IsolationWindow:
        if (scan_ && parent(2) == Tag::Precursor && !scan_->precursors.empty())
            isolation_param(scan_->precursors.back(), p);
        else if (chrom_)
            chromatogram_ion_param(context, p);
        return;
    case Tag::SelectedIon:
        if (scan_ && selected_ions_ == 1 && !scan_->precursors.empty())
            selected_ion_param(scan_->precursors.back(), p);
        else if (chrom_)
            chromatogram_ion_param(context, p);
        return;
    case Tag::Activation:
        if (scan_ && !scan_->precursors.empty()) activation_param(scan_->precursors.back(), p);
        return;
    case Tag::Chromatogram:
        if (chrom_) chromatogram_param(p);
        return;
    default:
        header_param(context, p);
        return;
    }
}

// The filter text and the summaries, from a cvParam (always) or from a
// userParam of the term's name (only where nothing stands for it yet, so a
// cvParam wins wherever it is written).
void ElementHeaderHandler::summary_param(Term term, const ParamView& p) {
    ScanInfo& s = *scan_;
    const auto number = [&](double& field) {
        if (!p.user || std::isnan(field)) field = to_double(p.value);
    };
    switch (term) {
    case Term::TotalIonCurrent: number(s.tic); return;
    case Term::BasePeakMz: number(s.base_peak_mz); return;
    case Term::BasePeakIntensity: number(s.base_peak_intensity); return;
    case Term::LowestObservedMz: number(s.lowest_mz); return;
    case Term::HighestObservedMz: number(s.highest_mz); return;
    case Term::FilterString:
        if (!p.user || s.filter_text.empty()) s.filter_text = p.value;
        return;
    default: return;
    }
}

void ElementHeaderHandler::spectrum_param(const ParamView& p) {
    if (p.user) return summary_param(term_named(p.name), p);
    ScanInfo& s = *scan_;
    switch (p.term) {
    case Term::MsLevel: s.ms_level = static_cast<std::int32_t>(to_int(p.value, 0)); return;
    case Term::Centroid: s.representation = Representation::Centroid; return;
    case Term::Profile: s.representation = Representation::Profile; return;
    case Term::PositiveScan: s.polarity = Polarity::Positive; return;
    case Term::NegativeScan: s.polarity = Polarity::Negative; return;
    case Term::SpectrumType: s.scan_type = p.name; return;
    default: return summary_param(p.term, p);
    }
}

void ElementHeaderHandler::scan_param(const ParamView& p) {
    if (p.user) return summary_param(term_named(p.name), p);
    switch (p.term) {
    case Term::ScanStartTime: scan_->rt_minutes = to_double(p.value) / units_per_minute(p.unit_acc, p.unit_name); return;
    case Term::FilterString: return summary_param(p.term, p);
    case Term::InjectionTime: scan_->injection_time = to_double(p.value); return;
    default: return;
    }
}

void ElementHeaderHandler::scan_window_param(const ParamView& p) {
    if (p.term == Term::WindowLower) scan_->window_low = to_double(p.value);
    else if (p.term == Term::WindowUpper) scan_->window_high = to_double(p.value);
}

void ElementHeaderHandler::isolation_param(Precursor& pr, const ParamView& p) {
    if (p.term == Term::IsolationTarget) pr.isolation_target = to_double(p.value);
    else if (p.term == Term::IsolationLower) pr.isolation_lower = to_double(p.value);
    else if (p.term == Term::IsolationUpper) pr.isolation_upper = to_double(p.value);
}

void ElementHeaderHandler::selected_ion_param(Precursor& pr, const ParamView& p) {
    if (p.term == Term::SelectedIonMz) pr.selected_mz = to_double(p.value);
    else if (p.term == Term::ChargeState) pr.charge = static_cast<std::int32_t>(to_int(p.value, 0));
    else if (p.term == Term::PeakIntensity) pr.selected_intensity = to_double(p.value);
}

void ElementHeaderHandler::activation_param(Precursor& pr, const ParamView& p) {
    if (p.user) {
        // A collision energy given as a userParam, where no cvParam gives one.
        if (term_named(p.name) == Term::CollisionEnergy && std::isnan(pr.collision_energy))
            pr.collision_energy = to_double(p.value);
        return;
    }
    if (p.term == Term::CollisionEnergy) {
        pr.collision_energy = to_double(p.value);
        return;
    }
    if (p.term == Term::SupplementalActivation) {
        pr.supplemental = true;
        return;
    }
    if (pr.activation != Activation::Unknown) return;
    Activation act = activation_of(p.term);
    if (act == Activation::Unknown && empty(p.value)) act = Activation::Other;  // another dissociation term
    pr.activation = act;
}

// The chromatogram's kind: the first value-less term whose name ends in
// "chromatogram" ("total ion current chromatogram", ...).
void ElementHeaderHandler::chromatogram_param(const ParamView& p) {
    if (p.user || !chrom_->kind.empty() || !empty(p.value)) return;
    static constexpr char kSuffix[] = "chromatogram";
    constexpr std::size_t kSuffixLength = sizeof kSuffix - 1;
    std::size_t len = std::strlen(p.name);
    if (len >= kSuffixLength && !std::strcmp(p.name + len - kSuffixLength, kSuffix)) chrom_->kind = p.name;
}

// The m/z of an SRM chromatogram's precursor and product: their isolation
// window targets; for the precursor, its selected ion where it has no target.
void ElementHeaderHandler::chromatogram_ion_param(Tag context, const ParamView& p) {
    if (p.user) return;
    const Tag holder = context == Tag::IsolationWindow ? parent(2) : parent(3);  // selectedIon sits in a list
    if (context == Tag::IsolationWindow && p.term == Term::IsolationTarget) {
        if (holder == Tag::Precursor) chrom_->precursor_mz = to_double(p.value);
        else if (holder == Tag::Product) chrom_->product_mz = to_double(p.value);
    } else if (context == Tag::SelectedIon && p.term == Term::SelectedIonMz && holder == Tag::Precursor &&
               std::isnan(chrom_->precursor_mz)) {
        chrom_->precursor_mz = to_double(p.value);
    }
}

// ------------------------------------------------------- one element's header

bool OneElementHeader::root(Tag t, const char** atts) {
    const char* id = attr(atts, "id");
    if (t != root_ || !(id ? id_ == id : id_.empty())) {
        abort(Failure::Malformed, "the offset does not point at the named element");
        return false;
    }
    return true;
}

void OneElementHeader::open(Tag t, const char** atts) {
    if (t == Tag::BinaryDataArrayList) {
        note_array_list();
        stop();  // the header ends where the arrays begin
        return;
    }
    if (!element_level(t)) return;
    if (t == Tag::Spectrum || t == Tag::Chromatogram) {
        if (depth() != 1) return;  // only the root
        if (t == Tag::Spectrum) begin_spectrum(atts);
        else begin_chromatogram(atts);
        return;
    }
    open_element_part(t, atts);
}

Outcome OneElementHeader::landed(std::uint64_t at) const {
    if (failed()) return failure();
    bool spectrum = root_ == Tag::Spectrum;
    if (spectrum ? doc_->scans.empty() || doc_->scans.back().offset != at
                 : doc_->chromatograms.empty() || doc_->chromatograms.back().offset != at)
        return Outcome::fail(Failure::Malformed, "no element starts at the offset");
    // Stopped at the array list, or the whole (array-less) element was read.
    if (!stopped()) return Outcome::fail(Failure::Truncated, "the element's header ends early");
    return Outcome::success();
}

}  // namespace mzml
