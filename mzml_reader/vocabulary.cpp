// The term table and the time-unit table, see vocabulary.h.
#include "vocabulary.h"

#include <array>
#include <cstring>

namespace mzml {

namespace {

struct Entry {
    const char* accession;  // "MS:" and seven digits
    Term term;
    // The name under which a userParam is read as this term, or nullptr
    // when userParams never stand for it.
    const char* user_name = nullptr;
};

// Every accession the reader reads, sorted by accession (checked below).
constexpr Entry kTerms[] = {
    {"MS:1000016", Term::ScanStartTime},
    {"MS:1000031", Term::InstrumentModel, "instrument model"},
    {"MS:1000032", Term::Customization},
    {"MS:1000041", Term::ChargeState},
    {"MS:1000042", Term::PeakIntensity},
    {"MS:1000045", Term::CollisionEnergy, "collision energy"},
    {"MS:1000127", Term::Centroid},
    {"MS:1000128", Term::Profile},
    {"MS:1000129", Term::NegativeScan},
    {"MS:1000130", Term::PositiveScan},
    {"MS:1000133", Term::Cid},
    {"MS:1000250", Term::Ecd},
    {"MS:1000262", Term::Photodissociation},  // infrared multiphoton dissociation
    {"MS:1000285", Term::TotalIonCurrent, "total ion current"},
    {"MS:1000325", Term::SpectrumType},  // constant neutral gain spectrum
    {"MS:1000326", Term::SpectrumType},  // constant neutral loss spectrum
    {"MS:1000341", Term::SpectrumType},  // precursor ion spectrum
    {"MS:1000422", Term::Hcd},           // beam-type collision-induced dissociation
    {"MS:1000435", Term::Photodissociation},
    {"MS:1000496", Term::InstrumentName, "instrument name"},  // instrument attribute
    {"MS:1000500", Term::WindowUpper},
    {"MS:1000501", Term::WindowLower},
    {"MS:1000504", Term::BasePeakMz, "base peak m/z"},
    {"MS:1000505", Term::BasePeakIntensity, "base peak intensity"},
    {"MS:1000511", Term::MsLevel},
    {"MS:1000512", Term::FilterString, "filter string"},
    {"MS:1000514", Term::MzArray},
    {"MS:1000515", Term::IntensityArray},
    {"MS:1000519", Term::Int32},
    {"MS:1000521", Term::Float32},
    {"MS:1000522", Term::Int64},
    {"MS:1000523", Term::Float64},
    {"MS:1000527", Term::HighestObservedMz, "highest observed m/z"},
    {"MS:1000528", Term::LowestObservedMz, "lowest observed m/z"},
    {"MS:1000529", Term::InstrumentSerial, "instrument serial number"},
    {"MS:1000574", Term::Zlib},
    {"MS:1000576", Term::NoCompression},
    {"MS:1000579", Term::SpectrumType},  // MS1 spectrum
    {"MS:1000580", Term::SpectrumType},  // MSn spectrum
    {"MS:1000581", Term::SpectrumType},  // CRM spectrum
    {"MS:1000582", Term::SpectrumType},  // SIM spectrum
    {"MS:1000583", Term::SpectrumType},  // SRM spectrum
    {"MS:1000595", Term::TimeArray},
    {"MS:1000598", Term::Etd},
    {"MS:1000599", Term::Pqd},
    {"MS:1000744", Term::SelectedIonMz},
    {"MS:1000786", Term::NonStandardArray},
    {"MS:1000789", Term::SpectrumType},  // enhanced multiply charged spectrum
    {"MS:1000790", Term::SpectrumType},  // time-delayed fragmentation spectrum
    {"MS:1000804", Term::SpectrumType},  // electromagnetic radiation spectrum
    {"MS:1000805", Term::SpectrumType},  // emission spectrum
    {"MS:1000806", Term::SpectrumType},  // absorption spectrum
    {"MS:1000827", Term::IsolationTarget},
    {"MS:1000828", Term::IsolationLower},
    {"MS:1000829", Term::IsolationUpper},
    {"MS:1000927", Term::InjectionTime},
    {"MS:1000928", Term::SpectrumType},  // calibration spectrum
    {"MS:1002312", Term::NumpressLinear},
    {"MS:1002313", Term::NumpressPic},
    {"MS:1002314", Term::NumpressSlof},
    {"MS:1002472", Term::Cid},  // trap-type collision-induced dissociation
    {"MS:1002481", Term::Hcd},  // higher energy beam-type collision-induced dissociation
    {"MS:1002678", Term::SupplementalActivation},
    {"MS:1002679", Term::SupplementalActivation},
    {"MS:1002746", Term::NumpressLinearZlib},
    {"MS:1002747", Term::NumpressPicZlib},
    {"MS:1002748", Term::NumpressSlofZlib},
};

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The seven digits of "MS:NNNNNNN" as a number; -1 for any other text.
constexpr long number_of(const char* a) {
    if (!a || a[0] != 'M' || a[1] != 'S' || a[2] != ':') return -1;
    long n = 0;
    for (int i = 3; i < 10; ++i) {
        if (!is_digit(a[i])) return -1;
        n = n * 10 + (a[i] - '0');
    }
    return a[10] == '\0' ? n : -1;
}

constexpr std::size_t kCount = sizeof kTerms / sizeof kTerms[0];

constexpr bool table_is_sorted() {
    for (std::size_t i = 0; i < kCount; ++i) {
        if (number_of(kTerms[i].accession) < 0) return false;
        if (i > 0 && number_of(kTerms[i - 1].accession) >= number_of(kTerms[i].accession)) return false;
    }
    return true;
}
static_assert(table_is_sorted(), "the term table must hold distinct well-formed accessions in rising order");

// The table as a direct lookup by accession number (built from it at
// compile time): a term is found with no search and no string compare.
constexpr long kFirstNumber = 1000000;
constexpr long kSpan = 3000;
static_assert(number_of(kTerms[0].accession) >= kFirstNumber &&
                  number_of(kTerms[kCount - 1].accession) < kFirstNumber + kSpan,
              "the lookup must span every accession of the table");

constexpr std::array<Term, kSpan> lookup() {
    std::array<Term, kSpan> out{};
    for (std::size_t i = 0; i < kCount; ++i)
        out[static_cast<std::size_t>(number_of(kTerms[i].accession) - kFirstNumber)] = kTerms[i].term;
    return out;
}
constexpr std::array<Term, kSpan> kByNumber = lookup();

struct TimeUnit {
    const char* accession;
    const char* name;
    double per_minute;
};

// Looked up in this order; anything else counts as seconds.
constexpr TimeUnit kTimeUnits[] = {
    {"UO:0000031", "minute", 1.0},
    {"UO:0000028", "millisecond", 60000.0},
};
constexpr double kSecondsPerMinute = 60.0;

bool same_text(const char* a, const char* b) { return a && b && !std::strcmp(a, b); }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Equal ignoring ASCII letter case.
bool same_name(const char* a, const char* b) {
    if (!a || !b) return false;
    for (; *a && *b; ++a, ++b)
        if (lower(*a) != lower(*b)) return false;
    return *a == *b;
}

}  // namespace

Term term_of(const char* accession) noexcept {
    long n = number_of(accession) - kFirstNumber;
    if (n < 0 || n >= kSpan) return Term::Unknown;
    return kByNumber[static_cast<std::size_t>(n)];
}

Term term_named(const char* name) noexcept {
    if (!name || !*name) return Term::Unknown;
    for (const Entry& e : kTerms)
        if (same_name(e.user_name, name)) return e.term;
    return Term::Unknown;
}

Activation activation_of(Term term) noexcept {
    switch (term) {
    case Term::Cid: return Activation::CID;
    case Term::Hcd: return Activation::HCD;
    case Term::Etd: return Activation::ETD;
    case Term::Ecd: return Activation::ECD;
    case Term::Photodissociation: return Activation::MPD;
    case Term::Pqd: return Activation::PQD;
    default: return Activation::Unknown;
    }
}

Compression compression_of(Term term) noexcept {
    switch (term) {
    case Term::NoCompression: return Compression::None;
    case Term::Zlib: return Compression::Zlib;
    case Term::NumpressLinear: return Compression::NumpressLinear;
    case Term::NumpressPic: return Compression::NumpressPic;
    case Term::NumpressSlof: return Compression::NumpressSlof;
    case Term::NumpressLinearZlib: return Compression::NumpressLinearZlib;
    case Term::NumpressPicZlib: return Compression::NumpressPicZlib;
    case Term::NumpressSlofZlib: return Compression::NumpressSlofZlib;
    default: return Compression::Unknown;
    }
}

DataType data_type_of(Term term) noexcept {
    switch (term) {
    case Term::Float32: return DataType::Float32;
    case Term::Float64: return DataType::Float64;
    case Term::Int32: return DataType::Int32;
    case Term::Int64: return DataType::Int64;
    default: return DataType::Unknown;
    }
}

Compression compression_from_accession(const char* accession) noexcept {
    return compression_of(term_of(accession));
}

DataType data_type_from_accession(const char* accession) noexcept { return data_type_of(term_of(accession)); }

double units_per_minute(const char* unit_accession, const char* unit_name) noexcept {
    for (const TimeUnit& u : kTimeUnits)
        if (same_text(unit_accession, u.accession) || same_text(unit_name, u.name)) return u.per_minute;
    return kSecondsPerMinute;
}

}  // namespace mzml
