"""orvane: event cameras and their recordings as numpy arrays.

Events are structured arrays of ``EVENT_DTYPE`` (fields ``x``, ``y``, ``p``,
``t``) that share the library's memory: no copy is made on the way from the
decoder to your array. Trigger edges use ``TRIGGER_DTYPE`` (``polarity``,
``t``, ``id``). Times are microseconds of the sensor's clock.

Recordings: ``RawReader(path)``, ``decode(bytes)``, ``Mp4Reader(path)``;
HDF5 event files: ``read_h5(path)``, ``write_h5(path, events, width, height)``.
Cameras: ``CameraManager().open(serial)``, fusion cameras (events and 4K
pictures) ``open_fusion(serial)``; ``orvane.sim.plug(...)`` plugs a simulated
one. Library failures raise ``FileNotFoundError`` (and the other
``OSError`` kinds), ``ValueError`` or ``RuntimeError`` with its message.
"""

from . import _orvane
from ._orvane import (
    EVENT_DTYPE,
    TRIGGER_DTYPE,
    BatchIterator,
    Camera,
    CameraDescription,
    CameraManager,
    FrameIterator,
    FusionCamera,
    Mp4Reader,
    RawReader,
    SliceIterator,
    Tool,
    decode,
    log_level,
    read_h5,
    set_log_level,
    write_h5,
)
from . import sim

__all__ = [
    "EVENT_DTYPE",
    "TRIGGER_DTYPE",
    "BatchIterator",
    "Camera",
    "CameraDescription",
    "CameraManager",
    "FrameIterator",
    "FusionCamera",
    "Mp4Reader",
    "RawReader",
    "SliceIterator",
    "Tool",
    "decode",
    "log_level",
    "read_h5",
    "set_log_level",
    "sim",
    "write_h5",
]
