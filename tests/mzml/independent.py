"""The same files read by pyteomics, an independent mzML reader, in the shape
the tests compare: one record per spectrum in document order."""
from __future__ import annotations

import dataclasses
import gzip
from typing import Optional

import numpy as np

from written import pyteomics_mzml

ACTIVATIONS = {
    "collision-induced dissociation": "CID",
    "beam-type collision-induced dissociation": "HCD",
    "electron transfer dissociation": "ETD",
}


@dataclasses.dataclass
class Record:
    native_id: str
    ms_level: int
    rt: float                      # minutes
    centroid: bool
    polarity: str
    window: tuple[float, float]
    tic: float
    filter_text: Optional[str]
    precursor_mz: Optional[float]  # selected ion, else isolation target
    isolation: Optional[tuple[float, float, float]]
    charge: int
    activation: Optional[str]
    collision_energy: Optional[float]
    spectrum_ref: Optional[str]
    mz: np.ndarray
    intensity: np.ndarray


def _minutes(value) -> float:
    unit = getattr(value, "unit_info", None)
    return float(value) / 60.0 if unit == "second" else float(value)


def _record(s: dict) -> Record:
    scan = s["scanList"]["scan"][0]
    window = scan.get("scanWindowList", {}).get("scanWindow", [{}])[0]
    prec = s.get("precursorList", {}).get("precursor", [None])[0]
    precursor_mz = isolation = activation = energy = ref = None
    charge = 0
    if prec is not None:
        iso = prec.get("isolationWindow", {})
        ions = prec.get("selectedIonList", {}).get("selectedIon", [])
        target = iso.get("isolation window target m/z")
        precursor_mz = float(ions[0]["selected ion m/z"]) if ions else float(target)
        charge = int(ions[0].get("charge state", 0)) if ions else 0
        isolation = (float(target), float(iso["isolation window lower offset"]),
                     float(iso["isolation window upper offset"]))
        act = prec.get("activation", {})
        activation = next((v for k, v in ACTIVATIONS.items() if k in act), None)
        energy = float(act["collision energy"]) if "collision energy" in act else None
        ref = prec.get("spectrumRef")
    return Record(
        native_id=s["id"], ms_level=int(s["ms level"]), rt=_minutes(scan["scan start time"]),
        centroid="centroid spectrum" in s,
        polarity="positive" if "positive scan" in s else "negative" if "negative scan" in s else "",
        window=(float(window.get("scan window lower limit", np.nan)), float(window.get("scan window upper limit", np.nan))),
        tic=float(s.get("total ion current", np.nan)), filter_text=scan.get("filter string"),
        precursor_mz=precursor_mz, isolation=isolation, charge=charge, activation=activation,
        collision_energy=energy, spectrum_ref=ref,
        mz=np.asarray(s.get("m/z array", np.empty(0)), dtype=np.float64),
        intensity=np.asarray(s.get("intensity array", np.empty(0)), dtype=np.float64))


def read_spectra(path: str) -> list[Record]:
    """Every spectrum of the file, in document order (gzip files read as a stream)."""
    if str(path).endswith(".gz"):
        with gzip.open(path, "rb") as f, pyteomics_mzml(f, use_index=False, decode_binary=True) as reader:
            return [_record(s) for s in reader if "ms level" in s]
    with pyteomics_mzml(str(path), use_index=False, decode_binary=True) as reader:
        return [_record(s) for s in reader if "ms level" in s]


def _time_units(path: str) -> dict[str, str]:
    """The unit of each chromatogram's time array (pyteomics drops it), from a plain XML pass."""
    import xml.etree.ElementTree as ET

    opener = gzip.open if str(path).endswith(".gz") else open
    units = {}
    with opener(path, "rb") as f:
        for _, element in ET.iterparse(f):
            if element.tag.endswith("}chromatogram"):
                for param in element.iter():
                    if param.tag.endswith("}cvParam") and param.get("accession") == "MS:1000595":
                        units[element.get("id")] = param.get("unitName", "")
            if element.tag.endswith(("}spectrum", "}chromatogram")):
                element.clear()
    return units


def read_chromatograms(path: str) -> dict[str, tuple[np.ndarray, np.ndarray]]:
    """The file's chromatogram elements by id: (times in minutes, intensities)."""
    opener = gzip.open if str(path).endswith(".gz") else open
    units = _time_units(path)
    out = {}
    with opener(path, "rb") as f, pyteomics_mzml(f, use_index=False, decode_binary=True) as reader:
        for item in reader.iterfind("chromatogram"):
            scale = 1 / 60.0 if units.get(item["id"]) == "second" else 1.0
            out[item["id"]] = (np.asarray(item["time array"], dtype=np.float64) * scale,
                               np.asarray(item["intensity array"], dtype=np.float64))
    return out
