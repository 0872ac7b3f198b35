"""ctypes access to the stand-in Reader library's control API.

The stand-in (reader_stub/) is a shared library named VelmarNativeReader.dll
that exports the Reader library's entry points plus stub_* functions through
which a test scripts the entry points' answers and reads back how they were
called. On Linux a second dlopen of the path that the module loaded returns
the very same object, so a ReaderStub opened on that path shares its state
with the module under test.
"""

import ctypes
import math
import os

_INT64_MIN = -(2**63)

# ctypes type of each signature kind (see src/binding/reader_entries.def).
KIND_CTYPES = {
    "i": ctypes.c_int32,
    "q": ctypes.c_int64,
    "d": ctypes.c_double,
    "s": ctypes.c_char_p,
    "b": ctypes.c_void_p,  # char* out: a void pointer so any buffer fits
    "P": ctypes.POINTER(ctypes.c_char_p),
    "D": ctypes.POINTER(ctypes.c_double),
    "N": ctypes.POINTER(ctypes.c_int32),
    "T": ctypes.POINTER(ctypes.c_double),
    "S": ctypes.POINTER(ctypes.c_double),
    "A": ctypes.POINTER(ctypes.c_double),
    "J": ctypes.POINTER(ctypes.c_int32),
}


def split_sig(sig):
    """'i:ibi' -> ('i', 'ibi')."""
    ret, sep, params = sig.partition(":")
    if sep != ":" or len(ret) != 1:
        raise ValueError(f"malformed signature {sig!r}")
    return ret, params


class ReaderStub:
    """One loaded stand-in library and its control API."""

    def __init__(self, path):
        self.path = os.fspath(path)
        self.lib = ctypes.CDLL(self.path)
        self._declare()
        self._sigs = {}
        for i in range(self.lib.stub_entry_count()):
            name = self.lib.stub_entry_name(i).decode()
            self._sigs[name] = self.lib.stub_entry_sig(i).decode()

    def _declare(self):
        lib = self.lib
        c_str, i32, i64, dbl = ctypes.c_char_p, ctypes.c_int32, ctypes.c_int64, ctypes.c_double
        protos = {
            "stub_entry_count": (i32, []),
            "stub_entry_name": (c_str, [i32]),
            "stub_entry_sig": (c_str, [i32]),
            "stub_variant_exports": (i32, [c_str]),
            "stub_reset": (None, []),
            "stub_set_result_int": (ctypes.c_int, [c_str, i64]),
            "stub_set_result_double": (ctypes.c_int, [c_str, dbl]),
            "stub_set_text": (ctypes.c_int, [c_str, c_str, i32]),
            "stub_set_array": (ctypes.c_int, [c_str, i32, ctypes.POINTER(dbl), i32]),
            "stub_set_int_array": (ctypes.c_int, [c_str, ctypes.POINTER(i32), i32]),
            "stub_set_pointers": (ctypes.c_int, [c_str, ctypes.POINTER(c_str), i32]),
            "stub_set_trailer": (ctypes.c_int, [c_str, dbl, dbl]),
            "stub_clear_trailer": (ctypes.c_int, [c_str]),
            "stub_calls": (i64, [c_str]),
            "stub_total_calls": (i64, []),
            "stub_last_int": (i64, [c_str, i32]),
            "stub_last_double": (dbl, [c_str, i32]),
            "stub_last_text": (i32, [c_str, i32, ctypes.c_char_p, i32]),
            "stub_last_ptr_was_null": (i32, [c_str, i32]),
            "stub_last_in_count": (i32, [c_str, i32]),
            "stub_last_in_double": (dbl, [c_str, i32, i32]),
            "stub_last_in_int": (i64, [c_str, i32, i32]),
            "stub_check_zero_fill": (None, [i32]),
            "stub_fill_outputs": (None, [i32]),
            "stub_nonzero_bytes": (i64, [c_str]),
        }
        for fname, (restype, argtypes) in protos.items():
            fn = getattr(lib, fname)
            fn.restype = restype
            fn.argtypes = argtypes

    # -- the table -----------------------------------------------------------

    def entries(self):
        """[(name, sig), ...] in table order."""
        return list(self._sigs.items())

    def sig(self, name):
        return self._sigs[self._name(name).decode()]

    def exports(self, name):
        """True if this build variant exports the entry point."""
        return self.lib.stub_variant_exports(self._name(name)) == 1

    def function(self, name):
        """The entry point as a ctypes function typed from its signature."""
        ret, params = split_sig(self.sig(name))
        fn = getattr(self.lib, name)
        fn.restype = KIND_CTYPES[ret]
        fn.argtypes = [KIND_CTYPES[k] for k in params]
        return fn

    # -- scripting -------------------------------------------------------------

    def reset(self):
        self.lib.stub_reset()

    def set_result(self, name, value):
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError(f"result must be int or float, not {type(value).__name__}")
        if isinstance(value, int):
            self._check(self.lib.stub_set_result_int(self._name(name), value), name)
        else:
            self._check(self.lib.stub_set_result_double(self._name(name), value), name)

    def set_text(self, name, data):
        data = bytes(data)
        self._check(self.lib.stub_set_text(self._name(name), data, len(data)), name)

    def set_array(self, name, which, values):
        values = [float(v) for v in values]
        arr = (ctypes.c_double * len(values))(*values)
        self._check(self.lib.stub_set_array(self._name(name), which, arr, len(values)), name)

    def set_int_array(self, name, values):
        values = [int(v) for v in values]
        arr = (ctypes.c_int32 * len(values))(*values)
        self._check(self.lib.stub_set_int_array(self._name(name), arr, len(values)), name)

    def set_pointers(self, name, texts):
        """texts: list of bytes or None (a null slot)."""
        texts = [None if t is None else bytes(t) for t in texts]
        arr = (ctypes.c_char_p * len(texts))(*texts)
        self._check(self.lib.stub_set_pointers(self._name(name), arr, len(texts)), name)

    def set_trailer(self, name, a, b):
        self._check(self.lib.stub_set_trailer(self._name(name), a, b), name)

    def clear_trailer(self, name):
        """The entry point leaves its trailer unwritten from now on."""
        self._check(self.lib.stub_clear_trailer(self._name(name)), name)

    def check_zero_fill(self, on=True):
        """From now on every call counts the non-zero bytes it finds in its
        out-buffers, over their whole capacity, before writing (see
        nonzero_bytes)."""
        self.lib.stub_check_zero_fill(1 if on else 0)

    def fill_outputs(self, byte):
        """From now on every call first fills its out-buffers with `byte` over
        their whole capacity, then writes its answer; None stops it."""
        self.lib.stub_fill_outputs(-1 if byte is None else byte)

    # -- reading back -----------------------------------------------------------

    def calls(self, name):
        return self.lib.stub_calls(self._name(name))

    def total_calls(self):
        return self.lib.stub_total_calls()

    def nonzero_bytes(self, name):
        """Non-zero bytes the last call of `name` found in its out-buffers
        before it wrote anything (check_zero_fill must be on)."""
        n = self.lib.stub_nonzero_bytes(self._name(name))
        if n < 0:
            raise LookupError(f"{name}: no checked call recorded")
        return n

    def last_int(self, name, pos):
        self._require(name, pos, "i")
        return self._value(self.lib.stub_last_int(self._name(name), pos), name)

    def last_double(self, name, pos):
        self._require(name, pos, "d")
        v = self.lib.stub_last_double(self._name(name), pos)
        if math.isnan(v) and self.calls(name) == 0:
            raise LookupError(f"{name}: no call recorded")
        return v

    def last_text(self, name, pos):
        """Bytes of an 's' argument of the last call, None if it was null."""
        self._require(name, pos, "s")
        bname = self._name(name)
        n = self.lib.stub_last_text(bname, pos, None, 0)
        if n == -1:
            if self.calls(name) == 0:
                raise LookupError(f"{name}: no call recorded")
            return None
        buf = ctypes.create_string_buffer(n)
        self.lib.stub_last_text(bname, pos, buf, n)
        return buf.raw[:n]

    def last_ptr_was_null(self, name, pos):
        self._require(name, pos, "sbPDNTSAJ")
        r = self.lib.stub_last_ptr_was_null(self._name(name), pos)
        if r == -1:
            raise LookupError(f"{name}: no call recorded")
        return r == 1

    def last_in_array(self, name, pos, kind="d"):
        """Elements of an 'A' (kind 'd') or 'J' (kind 'i') argument."""
        self._require(name, pos, "A" if kind == "d" else "J")
        bname = self._name(name)
        n = self.lib.stub_last_in_count(bname, pos)
        if n < 0:
            raise LookupError(f"{name}: no call recorded")
        get = self.lib.stub_last_in_double if kind == "d" else self.lib.stub_last_in_int
        return [get(bname, pos, i) for i in range(n)]

    # -- helpers ----------------------------------------------------------------

    def _name(self, name):
        if name not in self._sigs:
            raise KeyError(f"no entry point named {name!r}")
        return name.encode()

    def _require(self, name, pos, kinds):
        _, params = split_sig(self.sig(name))
        if not 0 <= pos < len(params):
            raise IndexError(f"{name} has no parameter {pos}")
        if params[pos] not in kinds:
            raise ValueError(f"{name} parameter {pos} is of kind {params[pos]!r}, not {kinds!r}")

    def _value(self, v, name):
        if v == _INT64_MIN and self.calls(name) == 0:
            raise LookupError(f"{name}: no call recorded")
        return v

    @staticmethod
    def _check(rc, name):
        if rc == -1:
            raise KeyError(f"no entry point named {name!r}")
        if rc != 0:
            raise ValueError(f"{name}: request does not fit the entry point's signature")
