// The docstrings of the module's public names, in one place beside the stubs
// (orvane/__init__.pyi) that repeat them for editors.
#pragma once

namespace orvane::python::doc {

constexpr const char* kDecode =
    "decode(data) -> (events, triggers)\n\nDecodes an EVT 3.0 byte stream (any bytes-like "
    "object, without the '%' header) into an EVENT_DTYPE and a TRIGGER_DTYPE array.";
constexpr const char* kSetLogLevel =
    "Minimum level of the library's log lines shown on stderr: 1 debug, 2 info, 3 warning "
    "(default, unless ORVANE_LOG_LEVEL is set), 4 error, 5 none. Exceptions carry the messages "
    "anyway.";
constexpr const char* kLogLevel = "The minimum level of log lines shown on stderr.";

constexpr const char* kRawReader =
    "RawReader(path)\n\nReads a raw EVT 3.0 recording. The first use (or load()) builds a "
    "time index, kept beside the file as <name>.ovmark.tmp so that the next opening is "
    "instant. Reads go on from the read position; every array returned is the caller's own. "
    "Raises FileNotFoundError for a missing file, ValueError for one whose header names "
    "another format. A file with no '%' header is read as a bare EVT 3.0 stream at 1280x720, "
    "with a warning.";
constexpr const char* kLoad =
    "load(progress=None)\n\nLoads the file and its index now; progress(done, total) is "
    "called while the index is built (payload bytes). Ctrl-C ends it.";
constexpr const char* kHeader =
    "The '%' header lines as {key: value}; bytes that are not UTF-8 show as \\xNN.";
constexpr const char* kStartTime =
    "Time of the first event (or of the first time word, if earlier), us.";
constexpr const char* kEndTime = "Time of the last event, us.";
constexpr const char* kDuration = "end_time - start_time, us.";
constexpr const char* kEventCount = "Number of events in the recording.";
constexpr const char* kTime = "Time of the read position, us.";
constexpr const char* kEventNumber = "Event number of the read position.";
constexpr const char* kAtEnd = "True once the read position is past the end.";
constexpr const char* kSeekTime =
    "Moves the read position to time t (us): the next event read is the first at or after t "
    "from where no earlier one follows. ValueError outside [start_time, end_time].";
constexpr const char* kSeekEvent =
    "Moves the read position to event n. ValueError beyond the last event.";
constexpr const char* kReadTime =
    "The events of the next `us` microseconds from the read position (an EVENT_DTYPE array).";
constexpr const char* kReadEvents = "The next n events (fewer at the end).";
constexpr const char* kRecordedTriggers =
    "The recording's trigger edges with times in [start, end]; the read position stays.";
constexpr const char* kBookmarks =
    "bookmarks() -> array of (t, position, events)\n\nThe time index, in time order: about one "
    "bookmark per 2 ms of recording, each the time t (us) a decoder reaches at byte `position` "
    "of the file and the number of events before it, and a last one at the end of the file. "
    "seek_time(t) to a bookmark's t starts reading at its position: ranges between bookmarks "
    "read with one seek and one sequential read.";
constexpr const char* kSlices =
    "slices(us) -> iterator of arrays\n\nAdjacent time slices of `us` microseconds from the "
    "read position to the end: every event once.";
constexpr const char* kCut =
    "cut(start, end, path, progress=None)\n\nWrites the recording's [start, end) us to a new "
    "raw file. ValueError with the library's message when the range is not in the recording.";
constexpr const char* kExportVideo =
    "export_video(start, end, path, progress=None)\n\nRenders [start, end) us as an H.264 "
    "MP4, one picture per 1/30 s that holds events.";
constexpr const char* kSliceIterator = "Time slices of a RawReader (see RawReader.slices).";
constexpr const char* kWidth = "Sensor or picture width, pixels.";
constexpr const char* kHeight = "Sensor or picture height, pixels.";
constexpr const char* kPath = "The file's path.";

constexpr const char* kMp4Reader =
    "Mp4Reader(path, *, sensor_time=False)\n\nReads an MP4 video (e.g. a fusion camera's or "
    "export_video's). Iterating yields (timestamp_us, picture) with picture an HxWx3 uint8 BGR "
    "array. Times count from the video's first picture; with sensor_time=True they are the "
    "camera's sensor times, as the events of the .raw recorded beside the video (ValueError "
    "for a video that holds none).";
constexpr const char* kPicturesWithoutPulse =
    "Pictures whose trigger pulse was lost or came too late: they carry the time their pulse "
    "was expected at and have no fusion events.";
constexpr const char* kSensorTimeOffset =
    "The sensor time (us) of the video's time 0, stored by fusion recordings; None when the "
    "video holds none.";
constexpr const char* kTimestamps = "Presentation time of every picture, in file order.";
constexpr const char* kFrame = "frame(n) -> (timestamp_us, picture): the n-th picture.";

constexpr const char* kCameraManager =
    "Finds the attached (and simulated) cameras and opens them by serial.";
constexpr const char* kCameras = "Descriptions of the cameras present: serial, product, ...";
constexpr const char* kOpen =
    "open(serial) -> Camera\n\nBrings the camera up (about 2.5 s on hardware). ValueError for "
    "an unknown serial, RuntimeError when bring-up fails.";
constexpr const char* kOpenFusion =
    "open_fusion(serial) -> FusionCamera\n\nBrings a fusion camera (event and frame sensor) "
    "up. ValueError for an unknown serial or an event camera's.";
constexpr const char* kFusionCamera =
    "An open fusion camera: events as on Camera (batches, tools, recording), plus the frame "
    "sensor's pictures (frames()) and each picture's per-pixel event counts "
    "(fusion_events()). A context manager like Camera.";
constexpr const char* kFusionStart =
    "start(streams='both'): 'events', 'frames' or 'both'. RuntimeError on failure.";
constexpr const char* kFusionRecord =
    "record(path, streams='both'): events to <base>.raw and/or pictures to <base>.mp4, "
    "<base> being path without its extension.";
constexpr const char* kFrames =
    "frames(*, capacity=4, timeout=None) -> iterator of (timestamp_us, HxWx3 uint8 BGR) "
    "while the camera streams frames; pictures beyond `capacity` unread are dropped and "
    "counted.";
constexpr const char* kFrameIterator = "Pictures of a fusion camera (see FusionCamera.frames).";
constexpr const char* kFusionEvents =
    "fusion_events(timestamp) -> (height, width, 2) uint16 array of per-pixel event counts "
    "(OFF, ON; columns mirrored as the sensor reads) of the picture with that time, or None "
    "when none waits under it. Only the newest few wait.";
constexpr const char* kFrameWidth = "Picture width of the frame sensor.";
constexpr const char* kFrameHeight = "Picture height of the frame sensor.";
constexpr const char* kCameraDescription =
    "An attached camera: serial, product, manufacturer, vendor_id, product_id, location.";

constexpr const char* kCamera =
    "An open event camera. As a context manager (`with manager.open(serial) as cam:`) it "
    "stops recording and streaming on leaving the block, also when the block raises.";
constexpr const char* kStart = "Starts streaming. RuntimeError on failure.";
constexpr const char* kStop = "Stops streaming; waiting batch loops end.";
constexpr const char* kRecord =
    "Records the raw stream to path (a .raw file). RuntimeError when already recording or "
    "when the file cannot be opened.";
constexpr const char* kStopRecording = "Writes what is buffered and closes the recording.";
constexpr const char* kClose = "Stops recording and streaming, as leaving a `with` block does.";
constexpr const char* kTool =
    "tool(name) -> Tool\n\nOne of biases, trigger_in, sync, anti_flicker, event_trail_filter, "
    "event_rate_control, roi, aps_ctrl. RuntimeError 'Tool not found' when the camera lacks it.";
constexpr const char* kTools = "Names of the camera's tools.";
constexpr const char* kBatches =
    "batches(*, time_us=None, count=None, capacity=64, timeout=None) -> iterator\n\nEvent "
    "arrays of time_us microseconds (default 10000) or of `count` events, while the camera "
    "runs; ends with the last partial batch once it stops or is unplugged. Waits without the "
    "GIL and sees Ctrl-C at once. When the loop falls `capacity` batches behind, the oldest "
    "are dropped and counted (BatchIterator.dropped). timeout: seconds without a batch before "
    "TimeoutError.";
constexpr const char* kRunning = "True while streaming.";
constexpr const char* kRecording = "True while recording.";
constexpr const char* kConnected = "False once the device is gone.";
constexpr const char* kSerial = "The camera's serial number.";
constexpr const char* kProduct = "The product name, e.g. 'EVK4'.";
constexpr const char* kFusionProduct = "The product name, e.g. 'Tandro'.";

constexpr const char* kBatchIterator = "Batches of a camera (see Camera.batches).";
constexpr const char* kReaderClose =
    "Closes the recording; later queries raise ValueError. 'with RawReader(path) as r:' closes "
    "it at the block's end.";
constexpr const char* kBatchClose =
    "Stops collecting batches: the iterator leaves the camera and the loop ends. Leaving a "
    "'with' block or dropping the iterator does the same.";
constexpr const char* kTriggers = "Trigger edges received since the last call (TRIGGER_DTYPE).";
constexpr const char* kDropped = "Batches dropped because the loop fell behind.";

constexpr const char* kToolClass =
    "A camera function with named, typed parameters (bool, int, float or enum text).";
constexpr const char* kParams = "The parameter names.";
constexpr const char* kDescription = "What the tool does.";
constexpr const char* kToolName = "The tool's name.";
constexpr const char* kInfo =
    "info(param) -> dict: type ('bool', 'int', 'float', 'enum'), description, default, and "
    "min/max (numbers) or values (enum).";
constexpr const char* kGet = "The parameter's current value.";
constexpr const char* kSet =
    "Sets a parameter. ValueError with the library's reason when refused (e.g. out of "
    "range), TypeError for a value of the wrong type.";

constexpr const char* kSim = "Simulated cameras, for notebooks and tests without hardware.";
constexpr const char* kPlug =
    "plug(*, product='evk4', serial='S1', rate=1e6, scene='bar', seed=1, pacing='realtime', "
    "sleep_delays=True, replay='')\n\nPlugs a simulated camera: product evk4, brisca or "
    "tandro; scene bar, dot, noise or replay (of the .raw file `replay`); rate in events/s; "
    "pacing 'fast' produces as fast as the camera reads; sleep_delays=False skips the "
    "bring-up delays. ValueError for a bad value or a serial already plugged.";
constexpr const char* kUnplug = "Unplugs a simulated camera; False when none has that serial.";
constexpr const char* kReset = "Unplugs every simulated camera.";

}  // namespace orvane::python::doc
