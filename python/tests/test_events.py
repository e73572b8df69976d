"""Event arrays: their dtype is Event2D's layout, and they reach Python
without a copy and stay valid after the reader moves on or goes."""

import gc
import tracemalloc

import numpy as np
import pytest

import orvane
from orvane.bench import payload  # the bytes after a recording's header


def test_dtypes_match_the_library_records():
    dtype = orvane.EVENT_DTYPE
    assert dtype.itemsize == 16
    assert [(name, dtype.fields[name][0].str, dtype.fields[name][1]) for name in dtype.names] == [
        ("x", "<u2", 0), ("y", "<u2", 2), ("p", "|u1", 4), ("t", "<u8", 8)]
    trigger = orvane.TRIGGER_DTYPE
    assert trigger.itemsize == 24
    assert [trigger.fields[n][1] for n in ("polarity", "t", "id")] == [0, 8, 16]


def test_decode_agrees_with_itself_in_pieces_and_finds_triggers(recordings):
    for path in recordings:
        data = payload(path)
        events, triggers = orvane.decode(data)
        assert events.dtype == orvane.EVENT_DTYPE and triggers.dtype == orvane.TRIGGER_DTYPE
        assert len(events) > 1000
        assert np.all(np.diff(events["t"].astype(np.int64)) >= 0)
        # Any bytes-like object works; a memoryview of half the payload decodes a prefix.
        half, _ = orvane.decode(memoryview(data)[: len(data) // 2])
        assert 0 < len(half) < len(events)
        assert np.array_equal(half, events[: len(half)])
        if "trigger" in path:
            assert len(triggers) > 0 and set(np.unique(triggers["polarity"])) <= {0, 1}


def test_arrays_are_views_of_the_library_vectors(recordings):
    reader = orvane.RawReader(recordings[0])
    reader.load()
    count = reader.event_count
    tracemalloc.start()
    events = reader.read_events(count)
    _, peak = tracemalloc.get_traced_memory()
    copy = events.copy()  # what a copy costs, to show the measure sees one
    _, peak_with_copy = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert len(events) == count and events.nbytes > 1_000_000
    assert not events.flags.owndata and events.base is not None
    assert peak < events.nbytes // 100, "numpy allocated the events: they were copied"
    assert peak_with_copy >= events.nbytes

    # The reader reuses its vector for the next query: an array handed out
    # before must keep its own events, also once the reader is gone.
    reader.seek_event(0)
    first = reader.read_time(5_000)
    kept = first.copy()
    second = reader.read_time(5_000)
    assert len(first) and len(second)
    assert first.__array_interface__["data"][0] != second.__array_interface__["data"][0]
    del reader, second
    gc.collect()
    assert np.array_equal(first, kept)
    assert np.array_equal(first, copy[: len(first)])


def test_decode_rejects_what_is_not_bytes():
    with pytest.raises(TypeError):
        orvane.decode(12)
    events, triggers = orvane.decode(b"")
    assert len(events) == 0 and len(triggers) == 0


def test_decode_equals_the_reader_on_the_same_bytes(recordings, tmp_path):
    for path in recordings:
        events, _ = orvane.decode(payload(path))
        reader = orvane.RawReader(path)
        assert np.array_equal(events, reader.read_events(reader.event_count)), path
    # Twelve events per two bytes: far more than decode reserves up front, so
    # its buffer grows many times over.
    words = [0x8001, 0x6002, 0x0005, 0x3000] + [0x4FFF] * 300_000
    stream = np.array(words, dtype="<u2").tobytes()
    events, _ = orvane.decode(stream)
    assert len(events) == 12 * 300_000
    bare = tmp_path / "dense.raw"
    bare.write_bytes(stream)
    reader = orvane.RawReader(str(bare))
    assert np.array_equal(events, reader.read_events(reader.event_count))
    # Arrays from decode stay valid once the next decode has run.
    kept = events[:1000].copy()
    orvane.decode(stream)
    assert np.array_equal(events[:1000], kept)
