"""Type stubs of orvane: event cameras and recordings as numpy arrays."""

from typing import Any, Callable, Iterator, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from . import sim as sim

Events = npt.NDArray[np.void]
"""A 1-D array of EVENT_DTYPE."""
Triggers = npt.NDArray[np.void]
"""A 1-D array of TRIGGER_DTYPE."""
Progress = Optional[Callable[[int, int], Any]]
"""progress(done, total), called during long work."""
Buffer = Union[bytes, bytearray, memoryview, npt.NDArray[np.uint8]]

EVENT_DTYPE: np.dtype
"""x, y (uint16), p (uint8, 1 = ON), t (uint64 us) at offsets 0, 2, 4, 8,
itemsize 16: the library's Event2D, so arrays share its memory."""
TRIGGER_DTYPE: np.dtype
"""polarity (int16, level after the edge), t (uint64 us), id (int16 channel)
at offsets 0, 8, 16, itemsize 24."""

def decode(data: Buffer) -> Tuple[Events, Triggers]:
    """Decodes an EVT 3.0 byte stream (without the '%' header) into events and
    trigger edges."""

def read_h5(path: str, start_us: Optional[int] = None, end_us: Optional[int] = None) -> Events:
    """The events of an HDF5 event file (events/x, y, p, t, t_offset,
    ms_to_idx), times on the sensor's clock; with start_us/end_us only those
    in [start_us, end_us), found through ms_to_idx."""

def write_h5(path: str, events: Events, width: int, height: int,
             compression: str = "deflate") -> None:
    """Writes time-ordered events inside width x height as an HDF5 event
    file; compression 'deflate' or 'none'."""

def set_log_level(level: int) -> None:
    """Minimum level of log lines shown on stderr: 1 debug, 2 info, 3 warning,
    4 error, 5 none."""

def log_level() -> int:
    """The minimum level of log lines shown on stderr."""

class RawReader:
    """Reads a raw EVT 3.0 recording from its read position, with a time index
    kept beside it (<name>.ovmark.tmp). FileNotFoundError for a missing file,
    ValueError for one whose header names another format; a file with no '%'
    header is read as a bare EVT 3.0 stream at 1280x720, with a warning."""

    def __init__(self, path: str) -> None: ...
    def load(self, progress: Progress = None) -> None:
        """Loads the file and its index now (else the first use does)."""
    def close(self) -> None:
        """Closes the recording; later queries raise ValueError."""
    def __enter__(self) -> RawReader: ...
    def __exit__(self, *exc: object) -> None: ...
    @property
    def path(self) -> str: ...
    @property
    def header(self) -> dict[str, str]:
        """The '%' header lines as {key: value}."""
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def start_time(self) -> int:
        """Time of the first event (or of the first time word, if earlier), us."""
    @property
    def end_time(self) -> int:
        """Time of the last event, us."""
    @property
    def duration(self) -> int:
        """end_time - start_time, us."""
    @property
    def event_count(self) -> int: ...
    @property
    def time(self) -> int:
        """Time of the read position, us."""
    @property
    def event_number(self) -> int:
        """Event number of the read position."""
    @property
    def at_end(self) -> bool: ...
    def bookmarks(self) -> npt.NDArray[np.void]:
        """The time index as records (t, position, events), in time order: a
        seek to a bookmark's t starts reading at its byte position."""
    def seek_time(self, t: int) -> None:
        """Moves to time t (us): the next event read is the first at or after t
        from where no earlier one follows; ValueError outside
        [start_time, end_time]."""
    def seek_event(self, n: int) -> None:
        """Moves to event n; ValueError beyond the last event."""
    def read_time(self, us: int) -> Events:
        """The events of the next `us` microseconds."""
    def read_events(self, n: int) -> Events:
        """The next n events (fewer at the end)."""
    def triggers(self, start: int = 0, end: int = ...) -> Triggers:
        """The recording's trigger edges with times in [start, end]; the read position stays."""
    def slices(self, us: int) -> SliceIterator:
        """Adjacent slices of `us` microseconds to the end: every event once."""
    def cut(self, start: int, end: int, path: str, progress: Progress = None) -> None:
        """Writes [start, end) us to a new raw file."""
    def export_video(self, start: int, end: int, path: str, progress: Progress = None) -> None:
        """Renders [start, end) us as an H.264 MP4, 30 pictures per second."""

class SliceIterator(Iterator[Events]):
    def __iter__(self) -> SliceIterator: ...
    def __next__(self) -> Events: ...

class Mp4Reader:
    """Reads an MP4 video; iterating yields (timestamp_us, HxWx3 uint8 BGR)."""

    def __init__(self, path: str, *, sensor_time: bool = False) -> None: ...
    @property
    def sensor_time_offset(self) -> Optional[int]:
        """Sensor time (us) of the video's time 0; None when the video holds none."""
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def timestamps(self) -> npt.NDArray[np.uint64]: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Mp4Reader: ...
    def __next__(self) -> Tuple[int, npt.NDArray[np.uint8]]: ...
    def frame(self, n: int) -> Tuple[int, npt.NDArray[np.uint8]]:
        """The n-th picture; IndexError outside the video."""

class CameraDescription:
    """An attached camera."""

    serial: str
    product: str
    manufacturer: str
    vendor_id: int
    product_id: int
    location: str

class CameraManager:
    """Finds the attached (and simulated) cameras and opens them by serial."""

    def __init__(self) -> None: ...
    def cameras(self) -> list[CameraDescription]: ...
    def open(self, serial: str) -> Camera:
        """Brings the camera up; ValueError for an unknown serial."""
    def open_fusion(self, serial: str) -> FusionCamera:
        """Brings a fusion camera up; ValueError for an unknown serial."""

class Tool:
    """A camera function with named, typed parameters."""

    @property
    def name(self) -> str: ...
    @property
    def params(self) -> list[str]: ...
    @property
    def description(self) -> str: ...
    def info(self, param: str) -> dict[str, Any]:
        """type, description, default, and min/max or values."""
    def get(self, param: str) -> Union[bool, int, float, str]: ...
    def set(self, param: str, value: Union[bool, int, float, str]) -> None:
        """ValueError with the library's reason when refused."""

class BatchIterator(Iterator[Events]):
    """Batches of a camera while it runs."""

    def __iter__(self) -> BatchIterator: ...
    def __next__(self) -> Events: ...
    def close(self) -> None:
        """Stops collecting batches; the loop ends."""
    def __enter__(self) -> BatchIterator: ...
    def __exit__(self, *exc: object) -> None: ...
    def triggers(self) -> Triggers:
        """Trigger edges received since the last call."""
    @property
    def dropped(self) -> int:
        """Batches dropped because the loop fell behind."""

class Camera:
    """An open event camera; a context manager that stops recording and
    streaming on leaving the block."""

    @property
    def serial(self) -> str: ...
    @property
    def product(self) -> str: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def running(self) -> bool: ...
    @property
    def recording(self) -> bool: ...
    @property
    def connected(self) -> bool: ...
    def start(self) -> None: ...
    def stop(self) -> None: ...
    def record(self, path: str) -> None: ...
    def stop_recording(self) -> None: ...
    def close(self) -> None: ...
    def tool(self, name: str) -> Tool: ...
    def tools(self) -> list[str]: ...
    def batches(
        self,
        *,
        time_us: Optional[int] = None,
        count: Optional[int] = None,
        capacity: int = 64,
        timeout: Optional[float] = None,
    ) -> BatchIterator:
        """Arrays of time_us microseconds (default 10000) or `count` events
        while the camera runs; Ctrl-C ends the wait at once."""
    def __enter__(self) -> Camera: ...
    def __exit__(self, *args: Any) -> bool: ...

class FrameIterator(Iterator[Tuple[int, npt.NDArray[np.uint8]]]):
    """Pictures of a fusion camera while it streams frames."""

    def __iter__(self) -> FrameIterator: ...
    def __next__(self) -> Tuple[int, npt.NDArray[np.uint8]]: ...
    @property
    def dropped(self) -> int:
        """Pictures dropped because the loop fell behind."""

class FusionCamera:
    """An open fusion camera: events as on Camera plus the frame sensor's
    pictures and each picture's per-pixel event counts; a context manager."""

    @property
    def serial(self) -> str: ...
    @property
    def product(self) -> str: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def frame_width(self) -> int: ...
    @property
    def frame_height(self) -> int: ...
    @property
    def running(self) -> bool: ...
    @property
    def connected(self) -> bool: ...
    @property
    def pictures_without_pulse(self) -> int:
        """Pictures whose trigger pulse was lost or late: no fusion events for them."""
    def start(self, streams: str = "both") -> None:
        """streams: 'events', 'frames' or 'both'."""
    def stop(self) -> None: ...
    def record(self, path: str, streams: str = "both") -> None:
        """Events to <base>.raw and/or pictures to <base>.mp4."""
    def stop_recording(self, streams: str = "both") -> None: ...
    def close(self) -> None: ...
    def tool(self, name: str) -> Tool: ...
    def tools(self) -> list[str]: ...
    def batches(
        self,
        *,
        time_us: Optional[int] = None,
        count: Optional[int] = None,
        capacity: int = 64,
        timeout: Optional[float] = None,
    ) -> BatchIterator: ...
    def frames(self, *, capacity: int = 4, timeout: Optional[float] = None) -> FrameIterator:
        """(timestamp_us, HxWx3 uint8 BGR) pictures while frames stream."""
    def fusion_events(self, timestamp: int) -> Optional[npt.NDArray[np.uint16]]:
        """(height, width, 2) per-pixel event counts (OFF, ON) of the picture
        with that time, or None."""
    def __enter__(self) -> FusionCamera: ...
    def __exit__(self, *args: Any) -> bool: ...
