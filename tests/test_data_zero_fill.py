"""The buffers a call lends to the Reader library, as the library sees them:
zero-filled over their whole capacity, whichever road the module took to
reserve them (recycled heap memory cleared in full below the mapping
threshold, pages mapped from the system above it, which a thread keeps for
its next call and makes zero again), also when the memory was written all
over by a call before, inside or past the points it returned. (That they are visible to tracemalloc
while the call runs, then released, is in test_reliability_leaks.py.)"""
import pytest

# Result arrays of one call whose block reaches this many bytes per array are
# mapped from the system (kMappedBytesPerArray in src/binding/call_buffers.h).
MAPPED_BYTES_PER_ARRAY = 64 * 1024

# Arrays per call, side by side in one block.
ARRAYS = {
    "get_spectrum": 2,
    "get_centroid_stream_full": 5,
    "get_averaged_spectrum": 2,
    "get_chromatogram": 2,
    "get_ms2_filter_masses": 1,
}

# Bytes per element of capacity: the sum over the call's parallel arrays.
ELEMENT_BYTES = {
    "get_spectrum": 16,
    "get_centroid_stream_full": 36,
    "get_averaged_spectrum": 16,
    "get_chromatogram": 16,
    "get_ms2_filter_masses": 8,
}


# Points the stand-in writes by default.
WRITTEN = {
    "get_spectrum": 5,
    "get_centroid_stream_full": 3,
    "get_averaged_spectrum": 5,
    "get_chromatogram": 4,
    "get_ms2_filter_masses": 2,
}


def call(m, entry, capacity):
    if entry == "get_spectrum":
        return m.get_spectrum(1, 1, capacity)
    if entry == "get_centroid_stream_full":
        return m.get_centroid_stream(1, 1, capacity)
    if entry == "get_averaged_spectrum":
        return m.get_averaged_spectrum(1, [1, 2, 3], capacity)
    if entry == "get_chromatogram":
        return m.get_chromatogram(1, 0, "ms1", [100.0], [200.0], 1, 9, capacity)
    return m.get_ms2_filter_masses(1, capacity)


def capacities(entry):
    """0, 1, a little, both sides of the mapping threshold, and the largest
    capacity callers use."""
    at = MAPPED_BYTES_PER_ARRAY * ARRAYS[entry] // ELEMENT_BYTES[entry]
    return [0, 1, 1000, at * 9 // 10, at - 8, at + 8, at * 11 // 10, 4_000_000]


ARRAY_CASES = [(entry, capacity) for entry in ELEMENT_BYTES for capacity in capacities(entry)]


@pytest.mark.parametrize("entry, capacity", ARRAY_CASES)
def test_reader_library_sees_zero_filled_arrays(corvix, stub, entry, capacity):
    # The first calls scribble over every byte they were lent and hand the
    # memory back: an allocator that hands it out again uncleared is caught
    # by the next call, which counts what it finds before writing.
    stub.fill_outputs(0xA5)
    for _ in range(3):
        call(corvix, entry, capacity)
    stub.fill_outputs(None)
    stub.check_zero_fill()
    for _ in range(3):
        call(corvix, entry, capacity)
        assert stub.nonzero_bytes(entry) == 0
    capacity_position = len(stub.sig(entry).partition(":")[2]) - 1
    assert stub.last_int(entry, capacity_position) == capacity


@pytest.mark.parametrize("entry, capacity", ARRAY_CASES)
def test_unwritten_points_read_zero(corvix, stub, entry, capacity):
    # The library claims more points than it wrote: the rest of the arrays,
    # up to the capacity, must read 0.0 (0 in the integer array), never what
    # an earlier call left in the memory.
    stub.fill_outputs(0x7F)
    call(corvix, entry, capacity)
    stub.fill_outputs(None)
    claimed = min(capacity, 50_000)
    stub.set_result(entry, claimed)
    result = call(corvix, entry, capacity)
    lists = [item for item in result if isinstance(item, list)] if isinstance(result, tuple) else [result]
    written = min(WRITTEN[entry], claimed)
    for values in lists:
        assert len(values) == claimed
        assert values[written:] == [0] * (claimed - written)
        assert all(type(v) is type(values[0]) for v in values)


# The fixed-size buffers of the other families: texts, text slots, the
# statistics block, the centroid trailer and the dependent-scan details.
FIXED_BUFFERS = [
    ("get_instrument_method", lambda m: m.get_instrument_method(1, 0)),
    ("get_status_log_values_for_rt", lambda m: m.get_status_log_values_for_rt(1, 0.5)),
    ("get_file_name", lambda m: m.get_file_name(1)),
    ("get_filters", lambda m: m.get_filters(1)),
    ("get_scan_stats", lambda m: m.get_scan_stats(1, 1)),
    ("get_scan_stats_scan_type", lambda m: m.get_scan_stats_scan_type(1, 1)),
    ("get_centroid_stream_full", lambda m: m.get_centroid_stream(1, 1, 0)),
    ("get_scan_dependent_detail_filter_string", lambda m: m.get_scan_dependent_detail_filter_string(1, 1, 2, 0)),
    ("get_scan_dependent_detail_precursor_mass_array",
     lambda m: m.get_scan_dependent_detail_precursor_mass_array(1, 1, 2, 0)),
]


@pytest.mark.parametrize("entry, run", FIXED_BUFFERS, ids=[entry for entry, _ in FIXED_BUFFERS])
def test_fixed_buffers_are_zero_filled(corvix, stub, capfd, entry, run):
    stub.fill_outputs(0xFF)
    for _ in range(3):
        try:
            run(corvix)
        except BaseException:  # the scribbled text may not decode as the family wants
            pass
    stub.fill_outputs(None)
    stub.check_zero_fill()
    for _ in range(3):
        run(corvix)
        assert stub.nonzero_bytes(entry) == 0
    capfd.readouterr()


@pytest.mark.parametrize("entry", list(ELEMENT_BYTES))
def test_mapped_arrays_are_zero_whatever_came_before(corvix, stub, entry):
    # A thread keeps its last mapping for the next call: it must come back
    # zero after a call that wrote all over it and failed, after calls of
    # another capacity (a larger mapping serving a smaller call, and the
    # other way round), and where the library claimed fewer points than it
    # wrote.
    at = MAPPED_BYTES_PER_ARRAY * ARRAYS[entry] // ELEMENT_BYTES[entry]
    sizes = [at + 8, 4_000_000, at * 3, at + 8, 4_000_000]
    stub.fill_outputs(0x5A)
    stub.set_result(entry, -1)
    for capacity in sizes:
        with pytest.raises(RuntimeError, match="failed"):
            call(corvix, entry, capacity)
    stub.set_result(entry, 1)
    for capacity in sizes:
        call(corvix, entry, capacity)
    stub.fill_outputs(None)
    stub.check_zero_fill()
    for capacity in reversed(sizes):
        call(corvix, entry, capacity)
        assert stub.nonzero_bytes(entry) == 0, capacity
