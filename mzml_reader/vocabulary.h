// The vocabulary the reader understands: one table from a term's accession to
// what the term means here (Term), and one table of time units. Handlers look
// a param's meaning up once and switch on it; nothing else in the reader
// spells out an accession.
#pragma once

#include <cstdint>

#include "decode.h"  // Compression, DataType
#include "run.h"     // Activation

namespace mzml {

enum class Term : std::uint8_t {
    Unknown,
    // spectrum
    MsLevel, Centroid, Profile, PositiveScan, NegativeScan, TotalIonCurrent, BasePeakMz, BasePeakIntensity,
    LowestObservedMz, HighestObservedMz, FilterString, SpectrumType,
    // scan and scan window
    ScanStartTime, InjectionTime, WindowLower, WindowUpper,
    // precursor: isolation window, selected ion, activation
    IsolationTarget, IsolationLower, IsolationUpper, SelectedIonMz, ChargeState, PeakIntensity, CollisionEnergy,
    SupplementalActivation, Cid, Hcd, Etd, Ecd, Photodissociation, Pqd,
    // instrument configuration
    InstrumentModel, InstrumentSerial, InstrumentName, Customization,
    // binary data arrays
    MzArray, IntensityArray, TimeArray, NonStandardArray, NoCompression, Zlib, NumpressLinear, NumpressPic, NumpressSlof,
    NumpressLinearZlib, NumpressPicZlib, NumpressSlofZlib, Float32, Float64, Int32, Int64,
};

// The meaning of a cvParam's accession ("MS:" and seven digits), Unknown for
// any other text. Fast: no string compare on the way.
Term term_of(const char* accession) noexcept;

// The meaning of a userParam by its name (ASCII letter case ignored), for
// the few terms that writers give as userParams under the term's own name:
// the instrument's model, name and serial number, the filter string, the
// summaries of a spectrum and the collision energy; Unknown otherwise.
Term term_named(const char* name) noexcept;

// Groups of terms.
Activation activation_of(Term term) noexcept;    // a dissociation method, else Unknown
Compression compression_of(Term term) noexcept;  // an array compression, else Unknown
DataType data_type_of(Term term) noexcept;       // an array value type, else Unknown

// The same from an accession (for tools that take accessions on their
// command line).
Compression compression_from_accession(const char* accession) noexcept;
DataType data_type_from_accession(const char* accession) noexcept;

// Time units: how many of the unit (given by accession or by name, either
// may be empty) make a minute. Minutes 1, milliseconds 60000, seconds (and a
// missing or unknown unit) 60.
double units_per_minute(const char* unit_accession, const char* unit_name) noexcept;

}  // namespace mzml
