"""orvane.dask on a LocalCluster of two worker processes: the same counts,
per-pixel histograms and per-millisecond rates as a direct decode, partitions
cut at bookmarks, and side files built once even by concurrent builders."""

import multiprocessing
import os
import pathlib
import pickle

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane.bench import payload  # the bytes after a recording's header

dask_distributed = pytest.importorskip("dask.distributed")
import dask  # noqa: E402  (after the skip: dask may be missing)
import orvane.dask  # noqa: E402


@pytest.fixture(scope="module")
def dataset(recordings, tmp_path_factory):
    """The real recordings and a larger one made of their payloads, repeated
    (each join steps the time back, which the decoder takes as a wrap)."""
    scratch = tmp_path_factory.mktemp("dataset")
    big = scratch / "concatenated.raw"
    parts = [payload(p) for p in recordings]
    big.write_bytes(b"% evt 3.0\n% geometry 1280x720\n% end\n" + b"".join(parts * 6))
    return list(recordings) + [str(big)]


@pytest.fixture(scope="module")
def client():
    cluster = dask_distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                            dashboard_address=None)
    try:
        with dask_distributed.Client(cluster) as c:
            yield c
    finally:
        cluster.close()


def direct(path):
    events, _ = orvane.decode(payload(path))
    return events


def test_dask_results_equal_a_direct_decode(dataset, client):
    frame = orvane.dask.read_events(dataset, partition_us=200_000)
    assert frame.known_divisions and frame.npartitions > len(dataset)
    assert list(frame.columns) == ["x", "y", "p", "t", "file"]
    # The graph holds paths and ranges only: the client never read events.
    graph = pickle.dumps(dict(frame.__dask_graph__()))
    assert len(graph) < 4000 + 1000 * frame.npartitions

    pixels = frame.assign(pixel=frame.y.astype("int64") * 2048 + frame.x)
    # One compute: the partitions are read once for all four results.
    counts, histogram, per_ms, whole = dask.compute(
        frame.groupby("file", observed=True).size(),
        pixels.groupby(["file", "pixel"], observed=True).size(),
        frame.assign(ms=frame.t // 1000).groupby(["file", "ms"], observed=True).size(),
        frame)
    offsets = orvane.dask.offsets(dataset)
    for path, offset in zip(dataset, offsets):
        events = direct(path)
        assert counts[path] == len(events), path
        pixel = events["y"].astype(np.int64) * 2048 + events["x"]
        want = pd.Series(pixel).value_counts().sort_index()
        got = histogram.xs(path, level="file").sort_index()
        assert np.array_equal(got.index.values, want.index.values), path
        assert np.array_equal(got.values, want.values), path
        want_ms = pd.Series(events["t"] // 1000).value_counts().sort_index()
        got_ms = per_ms.xs(path, level="file").sort_index()
        assert np.array_equal(got_ms.index.values.astype(np.uint64), want_ms.index.values), path
        assert np.array_equal(got_ms.values, want_ms.values), path

        # The events in stream order; index = t + the file's offset.
        mine = whole[whole.file == path]
        assert np.array_equal(mine["t"].values, events["t"])
        assert np.array_equal(mine.index.values, events["t"].astype(np.int64) + offset)
    divisions = frame.divisions
    assert all(a < b for a, b in zip(divisions, divisions[1:]))
    for k in (0, frame.npartitions // 2, frame.npartitions - 1):
        part = frame.get_partition(k).compute()
        if len(part):
            assert divisions[k] <= part.index.min() and part.index.max() <= divisions[k + 1]


def test_partitions_start_at_bookmarks(dataset):
    # No cluster: the same code runs on the threads of this process.
    path = dataset[-1]
    reader = orvane.RawReader(path)
    marks = reader.bookmarks()
    assert marks.dtype.names == ("t", "position", "events")
    assert np.all(np.diff(marks["t"].astype(np.int64)) > 0)
    assert marks["events"][-1] == reader.event_count
    assert marks["position"][-1] == os.path.getsize(path)
    # Seeking to a bookmark's time lands on its event count.
    k = len(marks) // 2
    reader.seek_time(int(marks["t"][k]))
    assert reader.event_number == marks["events"][k]

    frame = orvane.dask.read_events([path], partition_us=50_000)
    inner = frame.divisions[1:-1]
    assert set(inner) <= set(int(t) for t in marks["t"])
    assert all(b - a >= 50_000 for a, b in zip(frame.divisions[:-2], frame.divisions[1:-1]))
    # One recording keeps its own times as the index.
    assert frame.divisions[0] == reader.start_time and frame.divisions[-1] == reader.end_time
    assert len(frame) == reader.event_count

    with pytest.raises(ValueError, match="twice"):
        orvane.dask.read_events([path, path])
    with pytest.raises(ValueError, match="at least 1 us"):
        orvane.dask.read_events([path], partition_us=0)
    with pytest.raises(FileNotFoundError):
        orvane.dask.read_events([path + ".absent.raw"]).compute()


def test_summarize_counts_spans_rates_and_polarities(dataset, client):
    table = orvane.dask.summarize(dataset, partition_us=300_000)
    assert list(table.index) == dataset
    for path in dataset:
        events = direct(path)
        row = table.loc[path]
        assert row["events"] == len(events)
        assert row["start_us"] == events["t"].min() and row["end_us"] == events["t"].max()
        on = np.count_nonzero(events["p"]) / len(events)
        assert row["on_share"] == pytest.approx(on) and row["off_share"] == pytest.approx(1 - on)
        span = (int(events["t"].max()) - int(events["t"].min())) / 1e6
        assert row["rate_ev_s"] == pytest.approx(len(events) / span)
    assert table.loc[dataset[-1], "events"] == 6 * table.loc[dataset[:-1], "events"].sum()


def _load(path, ready):
    ready.wait()
    reader = orvane.RawReader(path)
    reader.load()
    return reader.event_count


def test_concurrent_index_builds_leave_one_whole_side_file(recordings, tmp_path):
    path = str(tmp_path / "fresh.raw")
    big = b"% evt 3.0\n% end\n" + b"".join([payload(p) for p in recordings] * 4)
    pathlib.Path(path).write_bytes(big)
    context = multiprocessing.get_context("spawn")
    with context.Manager() as manager:
        ready = manager.Event()
        with context.Pool(4) as pool:
            pending = [pool.apply_async(_load, (path, ready)) for _ in range(4)]
            ready.set()
            counts = [p.get(timeout=120) for p in pending]
    assert len(set(counts)) == 1
    assert sorted(f.name for f in tmp_path.iterdir()) == ["fresh.ovmark.tmp", "fresh.raw"]
    # The side file that won is whole: reopening reads it instead of indexing.
    built = []
    again = orvane.RawReader(path)
    again.load(progress=lambda done, total: built.append(done))
    assert built == [] and again.event_count == counts[0]
