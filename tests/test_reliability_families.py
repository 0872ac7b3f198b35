"""The family records (families.py) against the stand-in's independent table
of native signatures: a wrong record cannot hide a wrong module."""
import pytest

from families import FAMILIES
from signatures import NAMES, PARAMS

PARAMS_OF_KIND = {"text": "b", "field_list": "b", "user_text": "b", "counted": "b", "slots": "P",
                  "dependent_array": "D", "stats": "S"}


def test_every_function_has_a_record():
    assert len(FAMILIES) == 187
    kinds = {}
    for record in FAMILIES.values():
        kinds[record.kind] = kinds.get(record.kind, 0) + 1
    # Counts as the design gives them: 29 single texts + get_path + 2 log texts,
    # 6 field lists, 5 caller-sized arrays, 8 flags, 2 without a result.
    assert kinds["text"] == 32
    assert kinds["field_list"] == 6
    assert kinds["caller_sized"] == 5
    assert kinds["flag"] == 8
    assert kinds["none"] == 2


@pytest.mark.parametrize("name", [n for n in NAMES if n != "set_dylib_path"])
def test_record_matches_native_signature(stub, name):
    record = FAMILIES[name]
    ret, _, params = stub.sig(record.entry).partition(":")
    buffers = "".join(k for k in params if k in "sbPDNTSAJ")
    if record.kind in ("scalar", "flag", "none"):
        assert buffers == ""
        if record.kind == "flag":
            assert ret == "i"
    elif record.kind == "open":
        assert params == "s"
    elif record.kind == "caller_sized":
        assert "D" in params
    else:
        assert buffers == PARAMS_OF_KIND[record.kind]
    if buffers in ("b", "P", "D") and record.kind != "caller_sized":
        # A fixed buffer is followed by its capacity; the value parameters
        # before it are the Python parameters after the handle.
        assert params.index(buffers) == len(PARAMS[name])
