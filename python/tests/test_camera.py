"""Simulated cameras from Python: batches, recording, tools, the context
manager, and loops that end when the camera stops, goes or Ctrl-C comes."""

import signal
import threading
import time

import numpy as np
import pytest

import orvane


def test_batches_by_time_and_by_count(camera):
    camera.start()
    batches = camera.batches(time_us=5_000, timeout=10)
    for _, batch in zip(range(20), batches):
        assert batch.dtype == orvane.EVENT_DTYPE and not batch.flags.owndata
        assert len(batch) and batch["t"][-1] - batch["t"][0] < 5_000
        assert batch["x"].max() < camera.width and batch["y"].max() < camera.height
    counted = [len(b) for _, b in zip(range(5), camera.batches(count=1_000, timeout=10))]
    assert counted == [1_000] * 5
    with pytest.raises(ValueError):
        camera.batches(count=10, time_us=10)

    # A loop that falls behind keeps the newest batches and counts the others.
    behind = camera.batches(count=1_000, capacity=2, timeout=10)
    next(camera.batches(count=100_000, timeout=10))  # 100 batches went to `behind` meanwhile
    assert behind.dropped >= 98
    kept = [next(behind), next(behind)]
    assert all(len(b) == 1_000 for b in kept) and kept[0]["t"][-1] <= kept[1]["t"][0]

    # A closed loop collects nothing more: no drops counted while it is left alone.
    with camera.batches(count=1_000, capacity=2, timeout=10) as left:
        next(left)
    dropped = left.dropped
    next(camera.batches(count=100_000, timeout=10))
    assert left.dropped == dropped
    with pytest.raises(StopIteration):
        next(left)


def test_recording_reads_back_as_streamed(camera, tmp_path):
    path = str(tmp_path / "live.raw")
    camera.record(path)
    assert camera.recording
    with pytest.raises(RuntimeError):
        camera.record(str(tmp_path / "second.raw"))
    streamed = []
    batches = camera.batches(count=10_000, timeout=10)
    camera.start()
    for batch in batches:  # ends, with the last partial batch, once stopped
        streamed.append(batch)
        if len(streamed) == 10:
            camera.stop()
    camera.stop_recording()
    streamed = np.concatenate(streamed)
    assert len(streamed) > 100_000
    # Buffers the camera had received but not yet decoded at stop() are
    # recorded too: the file holds what was streamed, then possibly more.
    recorded = orvane.RawReader(path)
    assert recorded.event_count >= len(streamed)
    assert np.array_equal(recorded.read_events(len(streamed)), streamed)


def test_with_block_stops_the_camera_when_its_body_raises(tmp_path):
    orvane.sim.plug(serial="PYTEST-WITH", sleep_delays=False)
    try:
        manager = orvane.CameraManager()
        with pytest.raises(KeyError):
            with manager.open("PYTEST-WITH") as cam:
                cam.start()
                cam.record(str(tmp_path / "with.raw"))
                assert cam.running and cam.recording
                next(cam.batches(count=1_000, timeout=10))
                raise KeyError("body failed")
        assert not cam.running and not cam.recording
        assert orvane.RawReader(str(tmp_path / "with.raw")).event_count > 0
    finally:
        orvane.sim.unplug("PYTEST-WITH")


def test_tools_name_their_parameters_and_refuse_bad_values(camera):
    assert camera.tools() == ["biases", "trigger_in", "sync", "anti_flicker",
                              "event_trail_filter", "event_rate_control", "roi"]
    roi = camera.tool("roi")
    assert roi.params == ["enable", "mode", "x", "y", "x_width", "y_height"]
    assert roi.info("x")["type"] == "int" and roi.info("x")["max"] == camera.width - 1
    roi.set("x_width", 500)
    roi.set("x", 100)
    assert (roi.get("x"), roi.get("x_width")) == (100, 500)
    with pytest.raises(ValueError, match="1279"):
        roi.set("x", 100_000)
    with pytest.raises(TypeError):
        roi.set("enable", "yes")
    with pytest.raises(ValueError, match="no parameter"):
        roi.get("nothing")
    with pytest.raises(RuntimeError, match="Tool not found"):
        camera.tool("aps_ctrl")
    with pytest.raises(ValueError):
        camera.tool("zoom")


def test_waiting_loops_end_on_stop_unplug_and_ctrl_c(camera):
    # A slave without a master sends nothing: the loop waits until Ctrl-C.
    camera.tool("sync").set("mode", "slave")
    camera.start()
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        began = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            for _ in camera.batches(time_us=1_000, timeout=20):
                pass
        # Well before the 20 s timeout, with room for a loaded machine.
        assert time.monotonic() - began < 10
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    camera.tool("sync").set("mode", "standalone")

    # Stopped from another thread: the loop ends instead of waiting on.
    batches = camera.batches(time_us=1_000, timeout=20)
    next(batches)
    stopper = threading.Thread(target=camera.stop)
    stopper.start()
    rest = list(batches)
    stopper.join()
    assert not camera.running and len(rest) >= 0

    # Unplugged while streaming: the loop ends too.
    camera.start()
    batches = camera.batches(time_us=1_000, timeout=20)
    next(batches)
    orvane.sim.unplug(camera.serial)
    list(batches)
    assert not camera.connected


def test_sim_refuses_bad_devices():
    with pytest.raises(ValueError, match="unknown scene"):
        orvane.sim.plug(serial="PYTEST-BAD", scene="waves")
    with pytest.raises(ValueError, match="unknown product"):
        orvane.sim.plug(product="evk9", serial="PYTEST-BAD")
    with pytest.raises(ValueError, match="beyond the simulated sensor's peak"):
        orvane.sim.plug(serial="PYTEST-BAD", rate=1e12)
    with pytest.raises(ValueError, match="no camera"):
        orvane.CameraManager().open("PYTEST-ABSENT")
    assert orvane.sim.unplug("PYTEST-ABSENT") is False


def test_fusion_camera_frames_fusion_images_and_recording(tmp_path):
    # A rate the event thread keeps up with on a loaded machine: a lagging one
    # would leave pictures without their pulses.
    orvane.sim.plug(product="tandro", serial="PYTEST-TD", sleep_delays=False, rate=2e5)
    try:
        manager = orvane.CameraManager()
        with pytest.raises(ValueError, match="open_fusion"):
            manager.open("PYTEST-TD")
        with manager.open_fusion("PYTEST-TD") as cam:
            assert (cam.frame_width, cam.frame_height) == (3840, 2160)
            assert "aps_ctrl" in cam.tools() and "sync" not in cam.tools()
            # Only the newest fusion images wait: take the newest picture each time.
            frames = cam.frames(capacity=1, timeout=10)
            cam.start()
            times, images, own = [], [], 0
            # On a loaded machine some pictures come too late for their pulses or
            # for their fusion images: read on until a few have both.
            for n, (t, picture) in zip(range(100), frames):
                if n >= 10 and own >= 3 and images:
                    break
                assert picture.shape == (2160, 3840, 3) and not picture.flags.owndata
                image = cam.fusion_events(t)  # the events of that picture, by pixel and polarity
                if image is not None:
                    assert image.shape == (720, 1280, 2) and image.sum() > 0
                    images.append(image)
                times.append(t)
                # The simulated device writes the time of the picture's own pulse
                # into its top rows, one bit per 16-pixel block.
                own += t == sum(int(picture[8, 16 * b + 8, 1] > 128) << b for b in range(48))
            assert images or cam.pictures_without_pulse > 0
            assert times == sorted(times) and len(set(times)) == len(times)
            assert own + cam.pictures_without_pulse >= len(times) and own > 0
            assert cam.fusion_events(times[-1] + 1) is None
            assert len(next(cam.batches(count=1_000, timeout=10))) == 1_000
            cam.record(str(tmp_path / "both.raw"))
            for _ in zip(range(5), frames):
                pass
            cam.stop_recording()
        assert not cam.running and len(list(frames)) <= 4  # what was queued, then the end
        assert orvane.RawReader(str(tmp_path / "both.raw")).event_count > 0
        video = orvane.Mp4Reader(str(tmp_path / "both.mp4"))
        assert len(video) > 0 and video.timestamps[0] == 0
        on_sensor = orvane.Mp4Reader(str(tmp_path / "both.mp4"), sensor_time=True)
        assert on_sensor.sensor_time_offset == video.sensor_time_offset > 0
        assert on_sensor.timestamps[0] == on_sensor.sensor_time_offset
        assert next(iter(on_sensor))[0] == on_sensor.sensor_time_offset
        assert (on_sensor.timestamps - video.timestamps == video.sensor_time_offset).all()
    finally:
        orvane.sim.unplug("PYTEST-TD")
