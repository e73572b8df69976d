"""RawReader and Mp4Reader on real recordings: what the C++ reader reads,
slices without gaps or overlaps, cuts and videos, and clear errors."""

import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import orvane


def cpp_reader_sums(path, slice_us):
    tool = os.environ.get("ORVANE_READER_SUMS")
    if not tool:
        pytest.skip("ORVANE_READER_SUMS is not set (run through ctest)")
    out = subprocess.run([tool, path, str(slice_us)], check=True, capture_output=True, text=True)
    return [int(v) for v in out.stdout.split()]


def sums(events):
    return [len(events)] + [int(events[f].astype(np.uint64).sum()) for f in ("x", "y", "p", "t")]


def test_slices_cover_every_event_once_as_the_cpp_reader_reads(recordings):
    for path in recordings:
        side_file = path[: -len(".raw")] + ".ovmark.tmp"
        if os.path.exists(side_file):  # left by another test: index afresh
            os.remove(side_file)
        reader = orvane.RawReader(path)
        progress = []
        reader.load(progress=lambda done, total: progress.append((done, total)))
        assert progress and progress[-1][0] == progress[-1][1]
        assert reader.header["evt"] == "3.0"
        assert (reader.width, reader.height) == ((640, 480) if "640x480" in path else (1280, 720))
        assert reader.duration == reader.end_time - reader.start_time > 0

        slices = list(reader.slices(10_000))
        assert reader.at_end
        events = np.concatenate(slices)
        assert sums(events) == cpp_reader_sums(path, 10_000)
        assert len(events) == reader.event_count
        for k, piece in enumerate(slices):  # slice k holds (start + k*d, start + (k+1)*d]
            if len(piece):
                assert piece["t"][-1] <= reader.start_time + (k + 1) * 10_000
                assert k == 0 or piece["t"][0] > reader.start_time + k * 10_000

        # The same events by count, from event 0, in uneven pieces.
        reader.seek_event(0)
        pieces = []
        while len(piece := reader.read_events(7_777)):
            pieces.append(piece)
        assert np.array_equal(np.concatenate(pieces), events)


def test_seeks_and_reopening(recordings):
    path = recordings[0]
    reader = orvane.RawReader(path)  # loads on first use, then from its side file
    middle = reader.start_time + reader.duration // 2
    reader.seek_time(middle)
    assert reader.time == middle
    after = reader.read_time(1_000)
    assert len(after) and after["t"][-1] <= middle + 1_000
    with pytest.raises(ValueError, match="no such time"):
        reader.seek_time(reader.end_time + 1)
    with pytest.raises(ValueError, match="holds"):
        reader.seek_event(reader.event_count + 1)
    with pytest.raises(ValueError):
        reader.read_time(0)
    again = orvane.RawReader(path)
    assert again.event_count == reader.event_count


def test_trigger_edges_of_a_recording_are_those_a_plain_decode_finds(recordings):
    for path in recordings:
        data = pathlib.Path(path).read_bytes()
        end = 0
        while data[end:end + 1] == b"%":  # the header's lines
            end = data.index(b"\n", end) + 1
        _, expected = orvane.decode(data[end:])
        reader = orvane.RawReader(path)
        edges = reader.triggers()
        assert len(edges) == len(expected), path
        assert (edges["t"] == expected["t"]).all() and (edges["id"] == expected["id"]).all()
        if len(edges) > 2:
            first, last = int(edges["t"][1]), int(edges["t"][-2])
            inside = ((expected["t"] >= first) & (expected["t"] <= last)).sum()
            assert len(reader.triggers(first, last)) == inside
        assert reader.event_number == 0, "reading triggers leaves the event position"


def test_missing_and_junk_files_raise(tmp_path):
    with pytest.raises(FileNotFoundError):
        orvane.RawReader(str(tmp_path / "absent.raw"))
    with pytest.raises(IsADirectoryError):
        orvane.RawReader(str(tmp_path))
    junk = tmp_path / "junk.raw"
    junk.write_bytes(b"% format EVT2;height=720;width=1280\n% end\n" + os.urandom(4096))
    with pytest.raises(ValueError, match="non-EVT3"):
        orvane.RawReader(str(junk)).load()
    old = tmp_path / "old.raw"
    old.write_bytes(b"% evt 2.0\n% end\n" + bytes(64))
    with pytest.raises(ValueError, match="non-EVT3"):
        orvane.RawReader(str(old)).event_count
    with pytest.raises(FileNotFoundError):
        orvane.Mp4Reader(str(tmp_path / "absent.mp4"))
    with pytest.raises(ValueError):
        orvane.Mp4Reader(str(junk))


def test_cut_and_export_video(recordings, tmp_path):
    # A recording over 100 ms long, so that the video has several pictures.
    reader = orvane.RawReader(next(p for p in recordings if "trigger" in p))
    start = reader.start_time
    cut = str(tmp_path / "cut.raw")
    reader.cut(start, start + 5_000, cut)
    piece = orvane.RawReader(cut)
    assert 0 < piece.event_count < reader.event_count
    with pytest.raises(ValueError, match="No end timestamp found."):
        reader.cut(start, reader.end_time + 1, str(tmp_path / "none.raw"))
    assert not (tmp_path / "none.raw").exists()

    video = str(tmp_path / "events.mp4")
    progress = []
    reader.export_video(start, start + 100_000, video, progress=lambda d, t: progress.append((d, t)))
    assert progress[-1][0] == progress[-1][1]
    mp4 = orvane.Mp4Reader(video)
    assert (mp4.width, mp4.height) == (1280, 720) and len(mp4) > 0
    pictures = list(mp4)
    assert len(pictures) == len(mp4)
    times = [t for t, _ in pictures]
    assert times == sorted(times)
    for _, picture in pictures:
        assert picture.shape == (720, 1280, 3) and picture.dtype == np.uint8
        assert picture.flags.owndata  # a copy: the reader reuses its buffer
    assert len(np.unique(pictures[0][1])) > 1  # events drawn on the grey background
    t, again = mp4.frame(0)
    assert t == times[0] and np.array_equal(again, pictures[0][1])
    with pytest.raises(IndexError):
        mp4.frame(len(mp4))


def test_times_reach_the_first_and_last_events(recordings, tmp_path):
    for path in recordings:
        data = pathlib.Path(path).read_bytes()
        end = 0
        while data[end:end + 1] == b"%":
            end = data.index(b"\n", end) + 1
        events, _ = orvane.decode(data[end:])
        reader = orvane.RawReader(path)
        assert reader.end_time == int(events["t"][-1]), path
        reader.seek_time(reader.end_time)
        assert int(reader.read_events(10)["t"][0]) == reader.end_time
        if "640x480" in path:
            reader.seek_time(9_217_000)
            assert len(reader.read_events(1000)) == int((events["t"] >= 9_217_000).sum())
        if "gen41" in path:
            reader.seek_time(11_721_463)
            assert reader.event_number == 71618
    # Events before the first time word have time 0; a file without a header is
    # read as a bare EVT 3.0 stream.
    bare = tmp_path / "bare.raw"
    bare.write_bytes(bytes([0x05, 0x00, 0x01, 0x20, 0x01, 0x80, 0x10, 0x60, 0x02, 0x20]))
    reader = orvane.RawReader(str(bare))
    assert reader.start_time == 0 and reader.end_time == 4112
    reader.seek_time(0)
    first = reader.read_events(5)
    assert list(first["t"]) == [0, 4112] and list(first["x"]) == [1, 2]


def test_a_reader_closes_says_what_it_holds_and_never_writes_over_its_recording(recordings, tmp_path):
    path = recordings[0]
    with orvane.RawReader(path) as reader:
        assert "not loaded" in repr(reader)
        count = reader.event_count
        assert f"{count} events" in repr(reader)
        original = pathlib.Path(path).read_bytes()
        link = tmp_path / "link.raw"
        link.symlink_to(path)
        hard = tmp_path / "hard.mp4"
        os.link(path, hard)
        for out, write in ((str(link), reader.cut), (path, reader.cut), (str(hard), reader.export_video)):
            with pytest.raises(ValueError, match="file being read"):
                write(reader.start_time, reader.end_time, out)
        assert pathlib.Path(path).read_bytes() == original
    assert "closed" in repr(reader)
    with pytest.raises(ValueError, match="closed"):
        reader.read_events(10)


def test_information_lines_are_not_shown_by_default():
    script = "import orvane; print(orvane.log_level())"
    env = {k: v for k, v in os.environ.items() if k != "ORVANE_LOG_LEVEL"}
    out = subprocess.run([sys.executable, "-c", script], env=env, check=True, capture_output=True, text=True)
    assert out.stdout.strip() == "3"


def test_odd_paths_files_and_header_bytes_get_a_named_answer(recordings, tmp_path):
    rec = recordings[0]
    # A NUL byte would end the name early: refused wherever a path is taken.
    for open_ in (orvane.RawReader, orvane.Mp4Reader):
        with pytest.raises(ValueError, match="embedded null byte"):
            open_(rec + "\0x")
    reader = orvane.RawReader(rec)
    start = reader.start_time
    with pytest.raises(ValueError, match="embedded null byte"):
        reader.cut(start, start + 1000, str(tmp_path / "cut.raw") + "\0x")
    with pytest.raises(ValueError, match="embedded null byte"):
        reader.export_video(start, start + 1000, str(tmp_path / "v.mp4") + "\0x")
    with pytest.raises(ValueError, match="embedded null byte"):
        orvane.sim.plug(serial="PYTEST-NUL", replay=rec + "\0x")
    assert list(tmp_path.iterdir()) == []
    with pytest.raises(ValueError, match=r"must end in \.mp4"):
        reader.export_video(start, start + 100_000, str(tmp_path / "video.txt"))

    # Header text that is not UTF-8 (Latin-1 here) shows escaped.
    latin1 = tmp_path / "latin1.raw"
    payload = pathlib.Path(rec).read_bytes().split(b"% end\n", 1)[-1]
    latin1.write_bytes(b"% evt 3.0\n% name caf\xe9\n% end\n" + payload)
    assert orvane.RawReader(str(latin1)).header["name"] == "caf\\xe9"

    # A FIFO under a recording's or a video's name is refused without waiting
    # for a writer (in a child, so that a hang cannot take the tests with it).
    for name, reader_class in (("f.raw", "RawReader"), ("f.mp4", "Mp4Reader")):
        fifo = tmp_path / name
        os.mkfifo(fifo)
        child = subprocess.run(
            [sys.executable, "-c", f"import orvane; orvane.{reader_class}({str(fifo)!r})"],
            capture_output=True, text=True, timeout=30)
        assert child.returncode == 1, child.stderr
        assert "not a regular file (a FIFO)" in child.stderr


def test_damaged_video_raises(recordings, tmp_path):
    reader = orvane.RawReader(next(p for p in recordings if "trigger" in p))
    video = tmp_path / "v.mp4"
    reader.export_video(reader.start_time, reader.start_time + 100_000, str(video))
    damaged = tmp_path / "damaged.mp4"
    data = video.read_bytes()
    entry = data.rfind(b"avc1")  # the sample entry; the first is among the file's brands
    damaged.write_bytes(data[:entry] + b"vp09" + data[entry + 4:])
    with pytest.raises(ValueError, match="damaged.mp4"):
        list(orvane.Mp4Reader(str(damaged)))
