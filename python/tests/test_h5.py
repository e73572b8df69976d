"""HDF5 event files: the layout h5py sees in what `orvane convert` writes,
NumPy outputs, read_h5/write_h5, and files of another making refused with
their name and the problem."""

import os
import pathlib
import subprocess

import h5py
import numpy as np
import pytest

import orvane

CLI = os.environ.get("ORVANE_CLI")


def convert(*args):
    if not CLI:
        pytest.skip("ORVANE_CLI is not set (the orvane program is not built)")
    done = subprocess.run([CLI, "convert", *args, "-q"], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done


@pytest.fixture(scope="module")
def with_triggers(recordings):
    return next(path for path in recordings if "trigger" in path)


def test_convert_writes_the_public_datasets_layout(with_triggers, tmp_path):
    packed, plain = tmp_path / "packed.h5", tmp_path / "plain.h5"
    convert(with_triggers, str(packed))
    convert(with_triggers, str(plain), "--compression", "none")
    with h5py.File(packed, "r") as f:
        assert set(f.keys()) == {"events", "triggers", "t_offset", "ms_to_idx"}
        events = f["events"]
        assert set(events.keys()) == {"x", "y", "p", "t"}
        dtypes = {name: events[name].dtype for name in "xypt"}
        assert dtypes == {"x": np.uint16, "y": np.uint16, "p": np.uint8, "t": np.int64}
        n = events["x"].shape[0]
        assert n > 1000 and all(events[name].shape == (n,) for name in "xypt")
        for name in "xypt":
            assert events[name].chunks is not None
            assert events[name].compression == "gzip" and events[name].shuffle
            assert events[name].maxshape == (None,)
        assert f["t_offset"].shape == () and f["t_offset"].dtype == np.int64
        assert f.attrs["width"] == 1280 and f.attrs["height"] == 720
        assert f.attrs["width"].dtype == np.uint16
        assert "% evt 3.0" in list(f.attrs["header_lines"])
        triggers = f["triggers"]
        assert {name: triggers[name].dtype for name in ("t", "p", "id")} == {
            "t": np.int64, "p": np.uint8, "id": np.uint8}
        assert triggers["t"].shape[0] > 0 and set(np.unique(triggers["p"][:])) <= {0, 1}

        t = events["t"][:]
        assert np.all(np.diff(t) >= 0) and t[0] == 0
        ms_to_idx = f["ms_to_idx"][:]
        assert ms_to_idx.dtype == np.uint64
        assert len(ms_to_idx) == t[-1] // 1000 + 2
        expected = np.searchsorted(t, np.arange(len(ms_to_idx)) * 1000, side="left")
        np.testing.assert_array_equal(ms_to_idx, expected)

        full = orvane.read_h5(str(packed))
        assert full.dtype == orvane.EVENT_DTYPE and len(full) == n
        np.testing.assert_array_equal(full["t"], t + f["t_offset"][()])
        np.testing.assert_array_equal(full["x"], events["x"][:])
    with h5py.File(plain, "r") as f:
        assert f["events/t"].compression is None and f["events/t"].chunks is not None
        np.testing.assert_array_equal(f["events/t"][:], t)

    # A range read through ms_to_idx holds exactly the events of that time.
    start, end = int(full["t"][n // 3]) + 17, int(full["t"][n // 2]) + 1
    part = orvane.read_h5(str(packed), start_us=start, end_us=end)
    np.testing.assert_array_equal(part, full[(full["t"] >= start) & (full["t"] < end)])
    assert len(orvane.read_h5(str(packed), start_us=int(full["t"][-1]) + 1)) == 0
    np.testing.assert_array_equal(orvane.read_h5(str(packed), end_us=start), full[full["t"] < start])


def test_convert_to_numpy_gives_event_dtype_arrays(with_triggers, tmp_path):
    convert(with_triggers, str(tmp_path / "all.h5"))
    expected = orvane.read_h5(str(tmp_path / "all.h5"))
    convert(with_triggers, str(tmp_path / "events.npy"))
    events = np.load(tmp_path / "events.npy")
    assert events.dtype == orvane.EVENT_DTYPE
    for name in "xypt":
        np.testing.assert_array_equal(events[name], expected[name])

    cut = int(expected["t"][len(expected) // 2])
    convert(with_triggers, str(tmp_path / "events.npz"), "--to", str(cut))
    with np.load(tmp_path / "events.npz") as archive:
        assert sorted(archive.files) == ["events", "triggers"]
        events, triggers = archive["events"], archive["triggers"]
    assert events.dtype == orvane.EVENT_DTYPE and triggers.dtype == orvane.TRIGGER_DTYPE
    np.testing.assert_array_equal(events, expected[expected["t"] < cut])
    with h5py.File(tmp_path / "all.h5", "r") as f:
        edges = f["triggers/t"][:] + f["t_offset"][()]
        levels = f["triggers/p"][:]
    assert len(triggers) > 0
    np.testing.assert_array_equal(triggers["t"], edges[edges < cut])
    np.testing.assert_array_equal(triggers["polarity"], levels[edges < cut])


def test_write_h5_and_read_h5_round_trip(tmp_path):
    events = np.zeros(5000, dtype=orvane.EVENT_DTYPE)
    events["x"] = np.arange(5000) % 640
    events["y"] = np.arange(5000) % 480
    events["p"] = np.arange(5000) % 2
    events["t"] = 1_000_000 + np.arange(5000) * 7
    path = str(tmp_path / "mine.h5")
    orvane.write_h5(path, events, 640, 480)
    np.testing.assert_array_equal(orvane.read_h5(path), events)
    with h5py.File(path, "r") as f:
        assert f["t_offset"][()] == 1_000_000
        assert (f.attrs["width"], f.attrs["height"]) == (640, 480)
    orvane.write_h5(path, events[:0], 640, 480, compression="none")
    assert len(orvane.read_h5(path)) == 0

    outside = events.copy()
    outside["x"][7] = 640
    with pytest.raises(ValueError, match=r"events\[7\] at \(640, 7\) lies outside 640x480"):
        orvane.write_h5(path, outside, 640, 480)
    backwards = events.copy()
    backwards["t"][9] = 0
    with pytest.raises(ValueError, match=r"events\[9\]: the time goes back"):
        orvane.write_h5(path, backwards, 640, 480)
    with pytest.raises(TypeError, match="EVENT_DTYPE"):
        orvane.write_h5(path, np.zeros(3, dtype=np.uint64), 640, 480)


def make_file(path, lengths=(5, 5, 5, 5), t=None, x=None, width=64, drop=None):
    with h5py.File(path, "w") as f:
        f.attrs["width"] = np.uint16(width)
        f.attrs["height"] = np.uint16(48)
        f["t_offset"] = np.int64(100)
        columns = {
            "x": x if x is not None else np.arange(lengths[0], dtype=np.uint16),
            "y": np.zeros(lengths[1], dtype=np.uint16),
            "p": np.ones(lengths[2], dtype=np.uint8),
            "t": t if t is not None else np.arange(lengths[3], dtype=np.int64) * 10,
        }
        for name, values in columns.items():
            if name != drop:
                f["events/" + name] = values
        f["ms_to_idx"] = np.zeros(1, dtype=np.uint64)
    return str(path)


def test_files_of_another_making_are_refused_with_their_name(tmp_path):
    good = make_file(tmp_path / "good.h5")
    np.testing.assert_array_equal(orvane.read_h5(good)["t"], np.arange(5) * 10 + 100)

    cases = {
        make_file(tmp_path / "no_t.h5", drop="t"): "has no dataset events/t",
        make_file(tmp_path / "short.h5", lengths=(5, 4, 5, 5)):
            "events/y holds 4 values where the others of events hold 5",
        make_file(tmp_path / "back.h5", t=np.array([0, 10, 5, 20, 30], dtype=np.int64)):
            "the time goes back at event 2",
        make_file(tmp_path / "wide.h5", x=np.array([1, 2, 64, 3, 4], dtype=np.uint16)):
            r"event 2 at \(64, 0\) lies outside the 64x48 geometry",
        make_file(tmp_path / "huge.h5", width=5000): "its width of 5000 is outside 1..2048",
    }
    for path, problem in cases.items():
        with pytest.raises(ValueError, match=pathlib.Path(path).name + ": " + problem):
            orvane.read_h5(path)

    with h5py.File(tmp_path / "other.h5", "w") as f:
        f["data"] = np.arange(3)
    with pytest.raises(ValueError, match="other.h5: has no width attribute"):
        orvane.read_h5(str(tmp_path / "other.h5"))
    (tmp_path / "text.h5").write_text("x,y,p,t\n")
    with pytest.raises(ValueError, match="text.h5: not an HDF5 file"):
        orvane.read_h5(str(tmp_path / "text.h5"))
    with pytest.raises(FileNotFoundError):
        orvane.read_h5(str(tmp_path / "absent.h5"))


def test_deflated_files_of_another_making_read_whole(tmp_path):
    n = 100_003
    events = np.zeros(n, dtype=orvane.EVENT_DTYPE)
    events["x"] = np.arange(n) % 640
    events["y"] = (np.arange(n) * 7) % 480
    events["p"] = (np.arange(n) // 3) % 2
    events["t"] = 100 + np.arange(n) // 4
    # Our own chunks are 65536 values behind shuffle and deflate; these differ
    # in size, in filters, and (x as u32) in the stored type.
    for shuffle, chunk, x_type in ((False, 4099, np.uint16), (True, 30000, np.uint32),
                                   (False, n, np.uint16)):
        path = tmp_path / f"other-{chunk}.h5"
        with h5py.File(path, "w") as f:
            f.attrs["width"] = np.uint16(640)
            f.attrs["height"] = np.uint16(480)
            f["t_offset"] = np.int64(0)
            columns = {"x": events["x"].astype(x_type), "y": events["y"].astype(np.uint16),
                       "p": events["p"].astype(np.uint8), "t": events["t"].astype(np.int64)}
            for name, values in columns.items():
                f.create_dataset("events/" + name, data=values, chunks=(chunk,),
                                 compression="gzip", compression_opts=1, shuffle=shuffle)
            ms = np.arange(events["t"][-1] // 1000 + 2) * 1000
            f["ms_to_idx"] = np.searchsorted(events["t"], ms).astype(np.uint64)
        np.testing.assert_array_equal(orvane.read_h5(str(path)), events)
