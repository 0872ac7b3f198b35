// What damage costs an opened document, and how the error log names it.
//
// A lost spectrum keeps its slot. Scan numbers are positions in the
// spectrum list (first scan + position), so a spectrum that cannot be read
// stays in the list as a placeholder (ScanInfo::lost): every scan after it
// keeps the number it has in an undamaged copy of the file, and every read
// of the placeholder fails. Spectra missing at the end of a document that
// ends early get no slot (nothing after them could shift); the log says how
// many the file declares and how many it holds.
//
// Every loss is one error-log entry whose text begins with "lost N
// spectrum"/"lost N spectra" (or "lost an unknown number of spectra",
// "lost N chromatogram(s)"), then says where: the spectrum index (its
// position in the list), its id when known, the byte offset in the
// (decompressed) document, and what was wrong there. Damage that cost
// nothing (a count the file declares too low, markup damaged between
// elements) is an entry without that prefix.
#pragma once

#include <cstddef>
#include <string>

#include "document.h"

namespace mzml {

// After the full pass: the stretches of damage become lost slots in
// doc->scans (with their byte spans and the rest kept in step) and
// entries in doc->damage, with what the declared counts say is missing.
//
// How many spectra a stretch cost is read from the index attributes of the
// spectra around it (each spectrum's zero-based position in the list) when
// they are consistent: rising by one between spectra with no damage
// between them, and by at least one across damage. Otherwise a stretch
// costs the element it fell in, if any.
void account_for_damage(Document* doc);

// After the indexed open: each spectrum or chromatogram that the index
// lists but whose header did not parse at the listed offset is looked up by
// id among the intact elements of `streamed` (the full pass over the same
// document; null when there is none) and taken from there when found there
// (the index was wrong about it, the element is fine). What stays missing
// is lost: a spectrum keeps its placeholder, a chromatogram is dropped, and
// each is an entry in indexed->damage.
void settle_index_misses(Document* indexed, const Document* streamed);

// Spectra of a document that are not lost slots.
std::size_t intact_spectra(const Document& doc);

// "1 spectrum", "3 spectra".
std::string count_of_spectra(std::size_t n);

}  // namespace mzml
