"""Many recordings as one Dask dataframe, read by the workers of a cluster.

    import orvane.dask
    from dask.distributed import Client

    client = Client("scheduler-host:8786")   # or Client(LocalCluster(...)), or none
    events = orvane.dask.read_events(paths, partition_us=1_000_000)
    per_pixel = events.groupby(["x", "y"]).size().compute()
    print(orvane.dask.summarize(paths))

Partitions are time ranges of one recording each, cut at bookmarks of the
recording's index, so that a worker reads a partition with one seek and one
sequential read. The task graph holds only paths and time ranges: the
workers open the recordings (every worker must see them under the same
paths, e.g. on a shared file system), never the client.

Index (divisions): the recordings are laid end to end on one time line in
the order given. The index ``time`` of an event is its time ``t`` within its
recording plus that recording's offset on the line: the first recording
keeps its own times (for one recording, ``time == t``), and each next one
starts 1 us after the previous one's last event. Divisions are therefore
known and increasing across all recordings; ``file`` (categorical, the
path) and ``t`` say where each event came from, and ``offsets(paths)`` gives
the line's offset of each recording for turning times into index values.

Index side files (<name>.ovmark.tmp) are built first, one task per
recording on the cluster, before the dataframe is made; the library writes
them under a temporary name and renames them into place, so several
processes or machines indexing one recording at once never see a partial
one.
"""

from dataclasses import dataclass
from typing import List, Sequence

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd

from . import _orvane

__all__ = ["read_events", "summarize", "offsets", "Recording"]

COLUMNS = {"x": np.uint16, "y": np.uint16, "p": np.uint8, "t": np.uint64}


@dataclass(frozen=True)
class Recording:
    """What a worker's look at one recording's index found (no events)."""

    path: str
    start: int  # first event's time, us
    end: int  # last event's time, us
    events: int
    width: int
    height: int
    bookmarks: np.ndarray  # the index's bookmark times, us


def _index(path):
    """Runs on a worker: loads the recording (building its side file if there
    is none) and returns its span and bookmark times."""
    with _orvane.RawReader(path) as reader:
        return Recording(path, reader.start_time, reader.end_time, reader.event_count,
                         reader.width, reader.height, reader.bookmarks()["t"].copy())


def _indexes(paths):
    paths = [str(p) for p in paths]
    if not paths:
        raise ValueError("no recordings given")
    if len(set(paths)) != len(paths):
        raise ValueError("a recording is given twice: its events would be counted twice")
    return list(dask.compute(*[dask.delayed(_index, pure=False)(p) for p in paths]))


def _cuts(recording, partition_us):
    """Bookmark times about `partition_us` apart inside the recording's span:
    the starts of its partitions after the first, which starts at its start."""
    cuts = []
    last = recording.start
    step = max(partition_us, 2)  # a range is read as (start, end - 1]: 2 us at least
    for t in recording.bookmarks:
        t = int(t)
        if t - last >= step and t < recording.end:
            cuts.append(t)
            last = t
    return cuts


def _line(recordings):
    """Each recording's offset on the time line and the line's start of each."""
    result = []
    base = recordings[0].start
    for r in recordings:
        result.append(base - r.start)
        base += r.end - r.start + 1
    return result


def offsets(paths) -> List[int]:
    """The offset added to each recording's times in read_events' index
    (index = t + offset), indexing the recordings if needed."""
    return _line(_indexes(paths))


def _read(path, start, end, read_all):
    """Runs on a worker: the events of [start, end) us (to the end of the
    recording when `read_all`), seeking to `start`, a bookmark time."""
    with _orvane.RawReader(path) as reader:
        reader.seek_time(start)
        if read_all:
            return reader.read_events(reader.event_count - reader.event_number)
        return reader.read_time(end - start - 1)  # read_time includes its end


def _partition(piece, categories):
    path, start, end, read_all, offset = piece
    events = _read(path, start, end, read_all)
    frame = pd.DataFrame({name: events[name] for name in COLUMNS})
    frame["file"] = pd.Categorical.from_codes(
        np.full(len(events), categories.index(path), dtype=np.int32), categories=categories)
    frame.index = pd.Index(events["t"].astype(np.int64) + offset, name="time")
    return frame


def _pieces(recordings, partition_us):
    """(path, start, end, to the end, offset) per partition, and the divisions."""
    pieces, divisions = [], []
    for r, offset in zip(recordings, _line(recordings)):
        bounds = [r.start] + _cuts(r, partition_us) + [r.end + 1]
        for k in range(len(bounds) - 1):
            pieces.append((r.path, bounds[k], bounds[k + 1], k == len(bounds) - 2, offset))
            divisions.append(bounds[k] + offset)
    last = recordings[-1]
    divisions.append(last.end + _line(recordings)[-1])
    return pieces, divisions


def read_events(paths: Sequence[str], partition_us: int = 1_000_000) -> dd.DataFrame:
    """The events of `paths` as a dask dataframe with columns x, y (uint16),
    p (uint8, 1 = ON), t (uint64, us within its recording) and file
    (categorical path), indexed by ``time`` on the recordings' common time
    line (see the module's doc), with known divisions.

    Each partition is one recording's events between two of its bookmarks
    about `partition_us` apart (longer where the index has gaps). Indexes
    missing side files on the cluster first; reading happens when the
    dataframe is computed, on the workers."""
    if partition_us < 1:
        raise ValueError("partition_us must be at least 1 us")
    recordings = _indexes(paths)
    pieces, divisions = _pieces(recordings, partition_us)
    categories = [r.path for r in recordings]
    meta = pd.DataFrame({name: pd.Series(dtype=dtype) for name, dtype in COLUMNS.items()})
    meta["file"] = pd.Categorical([], categories=categories)
    meta.index = pd.Index([], dtype=np.int64, name="time")
    return dd.from_map(_partition, pieces, categories=categories, meta=meta,
                       divisions=divisions, label="orvane-events", enforce_metadata=False)


def _slices(path, start, end, read_all, step_us=10_000, step_events=262_144):
    """Runs on a worker: the events of [start, end) us as _read gives them, in
    slices of `step_us` (the last partition of a file in pieces of
    `step_events`, which never ask past the file's end): their memory is
    reused from one to the next, where one array of the whole range would be
    fresh memory for every partition."""
    with _orvane.RawReader(path) as reader:
        reader.seek_time(start)
        if read_all:
            while reader.event_number < reader.event_count:
                yield reader.read_events(min(step_events, reader.event_count - reader.event_number))
            return
        while not reader.at_end and reader.time < end - 1:
            yield reader.read_time(min(step_us, end - 1 - reader.time))


def _tally(piece):
    """Runs on a worker: (events, ON events, first t, last t) of one partition."""
    path, start, end, read_all, _ = piece
    count = on = 0
    first = last = None
    for events in _slices(path, start, end, read_all):
        if len(events):
            t = events["t"]
            count += len(events)
            on += int(np.count_nonzero(events["p"]))
            first = int(t.min()) if first is None else min(first, int(t.min()))
            last = int(t.max()) if last is None else max(last, int(t.max()))
    return count, on, first, last


def summarize(paths: Sequence[str], partition_us: int = 1_000_000) -> pd.DataFrame:
    """Per recording: events, first and last event's time (us), duration (s),
    mean rate (events per second), and the shares of ON and OFF events, in a
    pandas dataframe indexed by path. Every partition is read and tallied on
    the workers; only the tallies travel."""
    recordings = _indexes(paths)
    pieces, _ = _pieces(recordings, partition_us)
    tallies = dask.compute(*[dask.delayed(_tally, pure=True)(p) for p in pieces])
    rows = {r.path: {"events": 0, "on": 0, "first": None, "last": None} for r in recordings}
    for (path, *_), (count, on, first, last) in zip(pieces, tallies):
        row = rows[path]
        row["events"] += count
        row["on"] += on
        if count:
            row["first"] = first if row["first"] is None else min(row["first"], first)
            row["last"] = last if row["last"] is None else max(row["last"], last)
    table = []
    for r in recordings:
        row = rows[r.path]
        events = row["events"]
        first = row["first"] if events else r.start
        last = row["last"] if events else r.end
        seconds = (last - first) / 1e6
        table.append({
            "path": r.path,
            "width": r.width,
            "height": r.height,
            "events": events,
            "start_us": first,
            "end_us": last,
            "duration_s": seconds,
            "rate_ev_s": events / seconds if seconds > 0 else float("nan"),
            "on_share": row["on"] / events if events else float("nan"),
            "off_share": (events - row["on"]) / events if events else float("nan"),
        })
    return pd.DataFrame(table).set_index("path")
