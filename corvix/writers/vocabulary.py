"""The PSI-MS and Unit Ontology terms that corvix writes into mzML.

Accession and name of every term are facts of the vocabularies; the test suite
checks each entry of :data:`TERMS` and :data:`UNITS`, and every term of
written files, against the copies of the vocabularies that psims ships.
"""

from __future__ import annotations

from typing import NamedTuple


class Term(NamedTuple):
    """One vocabulary term: its vocabulary ("MS" or "UO"), accession and name."""

    cv: str
    accession: str
    name: str


def _ms(accession: int, name: str) -> Term:
    return Term("MS", f"MS:{accession:07d}", name)


def _uo(accession: int, name: str) -> Term:
    return Term("UO", f"UO:{accession:07d}", name)


_ALL = (
    # spectrum
    _ms(1000511, "ms level"),
    _ms(1000796, "spectrum title"),
    _ms(1000579, "MS1 spectrum"),
    _ms(1000580, "MSn spectrum"),
    _ms(1000130, "positive scan"),
    _ms(1000129, "negative scan"),
    _ms(1000127, "centroid spectrum"),
    _ms(1000128, "profile spectrum"),
    _ms(1000285, "total ion current"),
    _ms(1000504, "base peak m/z"),
    _ms(1000505, "base peak intensity"),
    _ms(1000528, "lowest observed m/z"),
    _ms(1000527, "highest observed m/z"),
    # scan
    _ms(1000795, "no combination"),
    _ms(1000016, "scan start time"),
    _ms(1000512, "filter string"),
    # precursor
    _ms(1000827, "isolation window target m/z"),
    _ms(1000828, "isolation window lower offset"),
    _ms(1000829, "isolation window upper offset"),
    _ms(1000744, "selected ion m/z"),
    _ms(1000041, "charge state"),
    _ms(1000045, "collision energy"),
    _ms(1000133, "collision-induced dissociation"),
    _ms(1000422, "beam-type collision-induced dissociation"),
    _ms(1000598, "electron transfer dissociation"),
    _ms(1000250, "electron capture dissociation"),
    _ms(1000435, "photodissociation"),
    _ms(1000599, "pulsed q dissociation"),
    # binary arrays
    _ms(1000514, "m/z array"),
    _ms(1000515, "intensity array"),
    _ms(1000595, "time array"),
    _ms(1000523, "64-bit float"),
    _ms(1000574, "zlib compression"),
    _ms(1000576, "no compression"),
    _ms(1002312, "MS-Numpress linear prediction compression"),
    _ms(1002314, "MS-Numpress short logged float compression"),
    _ms(1002746, "MS-Numpress linear prediction compression followed by zlib compression"),
    _ms(1002748, "MS-Numpress short logged float compression followed by zlib compression"),
    # chromatograms
    _ms(1000235, "total ion current chromatogram"),
    _ms(1000628, "basepeak chromatogram"),
    _ms(1000627, "selected ion current chromatogram"),
    _ms(1001472, "selected ion monitoring chromatogram"),
    _ms(1001473, "selected reaction monitoring chromatogram"),
    # file, run and instrument
    _ms(1000776, "scan number only nativeID format"),
    _ms(1000777, "spectrum identifier nativeID format"),
    _ms(1000774, "multiple peak list nativeID format"),
    _ms(1000824, "no nativeID format"),
    _ms(1000584, "mzML format"),
    _ms(1000031, "instrument model"),
    _ms(1000529, "instrument serial number"),
    _ms(1000799, "custom unreleased software tool"),
    _ms(1000544, "Conversion to mzML"),
    _ms(1000002, "sample name"),
    _ms(1000001, "sample number"),
)

TERMS: dict[str, Term] = {term.name: term for term in _ALL}
"""The terms corvix writes, by name."""

UNITS: dict[str, Term] = {term.name: term for term in (
    _ms(1000040, "m/z"),
    _ms(1000131, "number of detector counts"),
    _uo(31, "minute"),
    _uo(266, "electronvolt"),
)}
"""The units corvix writes, by name."""

ACTIVATION_TERMS: dict[str, str] = {
    "CID": "collision-induced dissociation",
    "HCD": "beam-type collision-induced dissociation",
    "ETD": "electron transfer dissociation",
    "ECD": "electron capture dissociation",
    "MPD": "photodissociation",
    "PQD": "pulsed q dissociation",
}
"""Activation names of :data:`corvix.ACTIVATION_NAMES` and the term written for each."""

CHROMATOGRAM_TERMS: dict[str, str] = {
    "tic": "total ion current chromatogram",
    "bpc": "basepeak chromatogram",
    "sic": "selected ion current chromatogram",
    "sim": "selected ion monitoring chromatogram",
    "srm": "selected reaction monitoring chromatogram",
}
"""Chromatogram kinds a run may name, and the term written for each."""

CV_LIST = (
    ("MS", "Proteomics Standards Initiative Mass Spectrometry Ontology",
     "https://raw.githubusercontent.com/HUPO-PSI/psi-ms-CV/master/psi-ms.obo"),
    ("UO", "Unit Ontology",
     "https://raw.githubusercontent.com/bio-ontology-research-group/unit-ontology/master/unit.obo"),
)
"""The vocabularies an mzML file of corvix refers to: id, full name, URI."""
