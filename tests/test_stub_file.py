"""The typing stub native_corvix_py_backend.pyi against the module it describes.

The stub is read with ast (never imported): its names, parameters and
docstrings are compared with the runtime module, its result annotations are
checked against what every function really returns from the stand-in Reader
library, and its parameter annotations against what the functions really
accept. The stub checked is the one installed beside the imported module when
there is one (a wheel install), else the one at the root of the source tree.
"""
import array
import ast
import inspect
import math
import pathlib

import pytest

from signatures import NAMES
from test_arguments import good_args

STUB_NAME = "native_corvix_py_backend.pyi"


def stub_path():
    import native_corvix_py_backend as module

    installed = pathlib.Path(module.__file__).parent / STUB_NAME
    if installed.is_file():
        return installed
    return pathlib.Path(__file__).resolve().parent.parent / STUB_NAME


STUB_TEXT = stub_path().read_text(encoding="utf-8")
STUB = ast.parse(STUB_TEXT)
DEFS = {node.name: node for node in STUB.body if isinstance(node, ast.FunctionDef)}
CLASSES = {node.name: node for node in STUB.body if isinstance(node, ast.ClassDef)}


def stub_all():
    for node in STUB.body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets if isinstance(t, ast.Name)] == ["__all__"]:
            return ast.literal_eval(node.value)
    raise AssertionError("the stub has no __all__")


# -- names and parameters -----------------------------------------------------


def test_all_matches_the_runtime(corvix):
    assert stub_all() == corvix.__all__


def test_the_stub_defines_exactly_the_runtime_functions(corvix):
    assert sorted(DEFS) == sorted(corvix.__all__)
    assert sorted(CLASSES) == ["PanicException"]
    # Nothing else at top level but the docstring, imports and __all__.
    others = [n for n in STUB.body if not isinstance(n, (ast.FunctionDef, ast.ClassDef, ast.Import, ast.ImportFrom))]
    assert len(others) == 2 and isinstance(others[0], ast.Expr) and isinstance(others[1], ast.Assign)


@pytest.mark.parametrize("name", NAMES)
def test_parameters_match_the_runtime_signature(corvix, name):
    runtime = inspect.signature(getattr(corvix, name)).parameters
    node = DEFS[name]
    arguments = node.args
    assert [a.arg for a in arguments.args] == list(runtime)
    assert not arguments.posonlyargs and not arguments.kwonlyargs
    assert arguments.vararg is None and arguments.kwarg is None
    assert not arguments.defaults and not arguments.kw_defaults
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in runtime.values())
    assert all(a.annotation is not None for a in arguments.args) and node.returns is not None


@pytest.mark.parametrize("name", NAMES)
def test_each_function_has_a_one_line_docstring(name):
    body = DEFS[name].body
    assert len(body) == 1, "the body is the docstring alone"
    doc = ast.get_docstring(DEFS[name], clean=False)
    assert doc and "\n" not in doc
    # It says what the function returns (or does) and what it raises or why not.
    assert doc.split()[0] in {"Return", "Open", "Load", "Ask", "Give"}
    assert any(word in doc for word in ("Error", "Exception", "raise", "None on", "gives"))


def test_panic_exception_derives_from_base_exception(corvix):
    bases = [ast.unparse(b) for b in CLASSES["PanicException"].bases]
    assert bases == ["BaseException"]
    assert issubclass(corvix.PanicException, BaseException)
    assert not issubclass(corvix.PanicException, Exception)


def test_stub_survives_the_wheel_template_step():
    # pyproject.toml copies the stub into the wheel's stub-only package through
    # scikit-build-core's string.Template step, which fails on any "$".
    assert "$" not in STUB_TEXT


# -- result annotations against real results ----------------------------------


def conforms(value, annotation):
    """True when `value` is exactly of the type that the annotation names
    (int means int and not bool, so a flag annotated int is caught)."""
    if isinstance(annotation, ast.BinOp) and isinstance(annotation.op, ast.BitOr):
        return conforms(value, annotation.left) or conforms(value, annotation.right)
    if isinstance(annotation, ast.Constant) and annotation.value is None:
        return value is None
    if isinstance(annotation, ast.Name):
        exact = {"int": int, "float": float, "str": str, "bool": bool}
        return type(value) is exact[annotation.id]
    if isinstance(annotation, ast.Subscript):
        container = annotation.value.id
        items = annotation.slice.elts if isinstance(annotation.slice, ast.Tuple) else [annotation.slice]
        if container == "list":
            return type(value) is list and all(conforms(v, items[0]) for v in value)
        if container == "tuple":
            return (type(value) is tuple and len(value) == len(items)
                    and all(conforms(v, a) for v, a in zip(value, items)))
    raise AssertionError(f"unexpected annotation {ast.unparse(annotation)}")


def entry_of(name):
    return "get_centroid_stream_full" if name == "get_centroid_stream" else name


def scripted_results(stub, entry):
    """Results to script for the entry point beyond its default: 0 and -1 for
    an integer result (the status of buffer-filling entry points), NaN for a
    float, a value beyond 32 bits for the 64-bit one."""
    if entry not in dict(stub.entries()):
        return []
    kind = stub.sig(entry)[0]
    return {"i": [0, -1], "d": [math.nan], "q": [2**40]}.get(kind, [])


@pytest.mark.parametrize("name", NAMES)
def test_results_conform_to_the_annotation(corvix, stub, name):
    annotation = DEFS[name].returns
    function = getattr(corvix, name)
    entry = entry_of(name)
    outcomes = []
    for scripted in [None, *scripted_results(stub, entry)]:
        stub.reset()
        if scripted is not None:
            stub.set_result(entry, scripted)
        try:
            outcomes.append(function(*good_args(name)))
        except RuntimeError as error:
            # A status failure is the documented outcome, not a result.
            assert str(error) == f"{entry} failed"
    assert outcomes, "at least the default call returns"
    for value in outcomes:
        assert conforms(value, annotation), f"{name} returned {value!r}, annotated {ast.unparse(annotation)}"


def test_optional_results_reach_both_branches(corvix, stub):
    # The `| None` annotations are not decoration: each such function can
    # return None and a value.
    optional = [n for n, d in DEFS.items() if ast.unparse(d.returns).endswith("| None")]
    assert sorted(optional) == sorted([
        "get_scan_stats_scan_type", "get_scan_dependent_detail_filter_string",
        "get_scan_dependent_detail_precursor_mass_array", "get_scan_dependent_detail_isolation_width_array"])
    for name in optional:
        function = getattr(corvix, name)
        stub.reset()
        assert function(*good_args(name)) is not None
        stub.set_result(name, 0 if name == "get_scan_stats_scan_type" else -1)
        assert function(*good_args(name)) is None


# -- parameter annotations against what the functions accept ------------------


class IndexOnly:
    def __index__(self):
        return 1


class FloatOnly:
    def __float__(self):
        return 1.5


class Text(str):
    pass


WITNESSES = {
    "int": [1],
    "str": [Text("x")],
    "SupportsIndex": [IndexOnly(), True],
    "SupportsFloat | SupportsIndex": [FloatOnly(), IndexOnly(), 2],
    "Sequence[SupportsFloat | SupportsIndex]": [
        array.array("d", [1.0, 2.0]), b"\x01\x02", (FloatOnly(), IndexOnly()), range(1, 3)],
    "Sequence[SupportsIndex]": [array.array("i", [1, 2]), b"\x01\x02", (IndexOnly(), 2), range(1, 3)],
}


@pytest.mark.parametrize("name", NAMES)
def test_every_parameter_accepts_what_its_annotation_admits(corvix, stub, name):
    parameters = DEFS[name].args.args
    for position, parameter in enumerate(parameters):
        annotation = ast.unparse(parameter.annotation)
        assert annotation in WITNESSES, f"{name}({parameter.arg}: {annotation}) has no witness"
        for witness in WITNESSES[annotation]:
            args = good_args(name)
            args[position] = witness
            function = getattr(corvix, name)
            function(*args)  # must not raise: the annotation admits the witness
