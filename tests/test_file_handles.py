"""Opening, querying and closing reader handles. The flags, close_raw_file and
select_instrument are also covered with every other scalar function in
test_scalars.py, get_path with the single texts in test_texts.py."""

import pytest


INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1


@pytest.mark.parametrize(
    "path",
    ["plain.raw", "/donn\u00e9es/\u30b9\u30da\u30af\u30c8\u30eb/\U0001f600 run.raw", "C:\\Data\\\u00d6l.raw", "",
     "\u00e9" * 1000],
)
def test_open_passes_the_path_as_utf8(corvix, stub, path):
    handle = corvix.open_raw_file(path)
    assert type(handle) is int and handle == 1
    assert stub.last_text("open_raw_file", 0) == path.encode("utf-8")
    # the stand-in keeps the path it was given; get_path reads it back, at
    # most the 1024 bytes of its buffer
    assert corvix.get_path(handle) == path.encode("utf-8")[:1024].decode("utf-8", "replace")
    assert stub.last_int("get_path", 0) == handle


@pytest.mark.parametrize("result", [-1, 0, INT32_MIN, INT32_MAX, 42])
def test_open_returns_any_result_unchanged(corvix, stub, result):
    stub.set_result("open_raw_file", result)
    got = corvix.open_raw_file(path="cannot-open.raw")
    assert type(got) is int and got == result


@pytest.mark.parametrize("path", ["a\0b", "\0", "end\0", "\u00e9\0\u00e9"])
def test_nul_byte_in_path(corvix, stub, path):
    with pytest.raises(ValueError) as info:
        corvix.open_raw_file(path)
    assert str(info.value) == "nul byte in path"
    assert stub.calls("open_raw_file") == 0


def test_handle_lifecycle(corvix, stub):
    handle = corvix.open_raw_file("run.raw")
    assert corvix.is_open(handle) is True and stub.last_int("is_open", 0) == handle
    assert corvix.select_instrument(handle, 0, 1) is None
    assert [stub.last_int("select_instrument", k) for k in range(3)] == [handle, 0, 1]
    stub.set_result("close_raw_file", -1)
    assert corvix.close_raw_file(handle) is None
    # closing again, or a handle never issued, still reaches the Reader library
    assert corvix.close_raw_file(handle) is None
    assert corvix.close_raw_file(handle=-5) is None
    assert stub.calls("close_raw_file") == 3 and stub.last_int("close_raw_file", 0) == -5
    stub.set_result("is_open", 0)
    assert corvix.is_open(handle) is False
