"""Independent checks of the files corvix writes: the indexed-mzML schema and
the PSI-MS vocabulary as psims ships them, the offset index and checksum, and
readers of the written files (pyteomics, pyarrow, DuckDB)."""
import functools
import gzip
import hashlib
import pathlib
import re

import numpy as np


def _psims_dir():
    import psims

    return pathlib.Path(psims.__file__).resolve().parent


@functools.lru_cache(maxsize=None)
def schema():
    """The indexed-mzML 1.1 XML schema (with the mzML 1.1 schema it includes)."""
    from lxml import etree

    return etree.XMLSchema(etree.parse(str(_psims_dir() / "validation" / "xsd" / "mzML1.1.2_idx.xsd")))


@functools.lru_cache(maxsize=None)
def vocabulary():
    """Accession -> name of every term of the PSI-MS vocabulary and the Unit Ontology."""
    terms = {}
    for name in ("psi-ms.obo.gz", "unit.obo.gz"):
        current = None
        with gzip.open(_psims_dir() / "controlled_vocabulary" / "vendor" / name, "rt", encoding="utf-8") as obo:
            for line in obo:
                if line.startswith("["):
                    current = None
                elif line.startswith("id: "):
                    current = line[4:].strip()
                elif line.startswith("name: ") and current is not None:
                    terms[current] = line[6:].strip()
    return terms


@functools.lru_cache(maxsize=None)
def _pyteomics_cv():
    """The PSI-MS vocabulary as pyteomics loads it through psims; loading it takes half a second,
    so every reader in the process shares one copy."""
    from pyteomics.auxiliary.psims_util import load_psims

    return load_psims()


def pyteomics_mzml(source, **options):
    """pyteomics' mzML reader of `source` (a path or a binary file), with the shared vocabulary."""
    from pyteomics import mzml

    return mzml.MzML(source, cv=_pyteomics_cv(), **options)


NS = "{http://psi.hupo.org/ms/mzml}"


def check_mzml(path):
    """Asserts that `path` is valid indexed mzML with a true index and checksum
    and only vocabulary terms that exist under the names written; returns the
    parsed document."""
    from lxml import etree

    data = pathlib.Path(path).read_bytes()
    document = etree.fromstring(data)
    validator = schema()
    assert validator.validate(document), validator.error_log
    terms = vocabulary()
    for param in document.iter(NS + "cvParam"):
        accession, name = param.get("accession"), param.get("name")
        assert terms.get(accession) == name, f"{accession} is {terms.get(accession)!r}, written as {name!r}"
        assert accession.split(":")[0] == param.get("cvRef")
        if param.get("unitAccession") is not None:
            assert terms.get(param.get("unitAccession")) == param.get("unitName"), param.attrib
            assert param.get("unitAccession").split(":")[0] == param.get("unitCvRef")
    # The offset index: each offset is where the element with that id starts.
    for index in document.iter(NS + "index"):
        element = index.get("name").encode()
        for offset in index.iter(NS + "offset"):
            at = int(offset.text)
            assert data[at:at + 1 + len(element)] == b"<" + element, (offset.get("idRef"), data[at:at + 40])
            head = data[at:data.index(b">", at)].decode("utf-8")
            ids = re.findall(r'\sid="([^"]*)"', head)
            assert [etree.fromstring(f'<x a="{ids[0]}"/>').get("a")] == [offset.get("idRef")]
    list_offset = int(document.find(NS + "indexListOffset").text)
    assert data[list_offset:list_offset + 10] == b"<indexList"
    end = data.index(b"<fileChecksum>") + len(b"<fileChecksum>")
    assert document.find(NS + "fileChecksum").text == hashlib.sha1(data[:end]).hexdigest()
    return document


def spectra_by_id(path):
    """Every spectrum pyteomics reads from an mzML file, by id, in file order. It reads the file
    through from the start: check_mzml checks the offset index on its own, and pyteomics' lookup
    through the index costs a parse per spectrum."""
    with pyteomics_mzml(str(path), use_index=False) as reader:
        return {s["id"]: s for s in reader}


def precursor_of(spectrum):
    """The first precursor of a spectrum read by pyteomics, as plain values (None when it has none)."""
    precursors = spectrum.get("precursorList", {}).get("precursor", [])
    if not precursors:
        return None
    p = precursors[0]
    ion = p.get("selectedIonList", {}).get("selectedIon", [{}])[0]
    window = p.get("isolationWindow", {})
    activation = p.get("activation", {})
    return {
        "mz": ion.get("selected ion m/z"),
        "charge": int(ion["charge state"]) if "charge state" in ion else None,
        "target": window.get("isolation window target m/z"),
        "lower": window.get("isolation window lower offset"),
        "upper": window.get("isolation window upper offset"),
        "activation": sorted(k for k in activation if "dissociation" in k),
        "energy": activation.get("collision energy"),
        "ref": p.get("spectrumRef"),
    }


def mgf_entries(path):
    from pyteomics import mgf

    with mgf.MGF(str(path)) as reader:
        return list(reader)


def same_floats(a, b):
    """Equal float arrays, value for value (NaN equal to NaN)."""
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


def assert_numpress_close(actual, expected, kind):
    """MS-Numpress keeps m/z and times to about 1e-9 of the largest value (linear prediction) and
    intensities to about 1e-4 in log(1 + x) (short logged floats)."""
    actual, expected = np.asarray(actual, dtype=np.float64), np.asarray(expected, dtype=np.float64)
    assert actual.shape == expected.shape
    if kind == "intensity":
        np.testing.assert_allclose(np.log1p(actual), np.log1p(expected), rtol=0, atol=2e-4)
    else:
        np.testing.assert_allclose(actual, expected, rtol=0, atol=1e-9 * np.abs(expected).max())
