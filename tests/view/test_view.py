"""`orvane view` in a real browser: Debian's chromium, headless, driven over the
Chrome DevTools protocol. Each test starts the viewer, opens its page, acts as a
person would (clicks, drags) and checks what the page shows against what the
library reads. Screenshots go to ORVANE_TEST_OUTPUT."""

import base64
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.request
import zlib

import numpy as np
import pytest
import websocket

import orvane

CLI = os.environ.get("ORVANE_CLI", "orvane")
OUTPUT = pathlib.Path(os.environ.get("ORVANE_TEST_OUTPUT", tempfile.gettempdir()))
DATA = pathlib.Path(os.environ.get("ORVANE_TEST_DATA", pathlib.Path(__file__).resolve().parents[3] / "shared" / "data" / "evt3"))
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


def wait_for(condition, what, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)  # polling a browser that has no way to call us back
    raise AssertionError(f"timed out waiting for {what}")


class Viewer:
    """`orvane view ARGS` on a free port, stopped with Ctrl-C at the end."""

    def __init__(self, args, cwd, env=None):
        self.process = subprocess.Popen([CLI, "view", *args, "--port", "0"], cwd=cwd, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, env={**os.environ, **(env or {})})
        line = self.process.stdout.readline()
        match = re.search(r"(http://\S+)", line)
        if not match:
            self.process.kill()
            raise AssertionError(f"orvane view did not start: {line}{self.process.stderr.read()}")
        self.url = match.group(1)

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        out, err = self.process.communicate(timeout=60)
        return self.process.returncode, out, err


class Browser:
    """A headless chromium with one page, driven over the DevTools protocol."""

    def __init__(self, url):
        self.profile = tempfile.mkdtemp(prefix="orvane-chromium-")
        self.process = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--remote-debugging-port=0", f"--user-data-dir={self.profile}", "--window-size=1400,1000", url],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        port = None
        for line in self.process.stderr:
            found = re.search(r"DevTools listening on ws://[^:]+:(\d+)/", line)
            if found:
                port = found.group(1)
                break
        assert port, "chromium did not start its DevTools endpoint"
        pages = wait_for(lambda: [t for t in json.load(urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list"))
                                  if t["type"] == "page"], "the page target")
        self.socket = websocket.create_connection(pages[0]["webSocketDebuggerUrl"], timeout=30)
        self.next_id = 0
        wait_for(lambda: self.eval("document.readyState === 'complete' && !!window.orvaneView"), "the page")

    def call(self, method, **params):
        self.next_id += 1
        self.socket.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.socket.recv())
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise AssertionError(f"{method}: {message['error']}")
                return message["result"]

    def eval(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise AssertionError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def screenshot(self, name):
        OUTPUT.mkdir(parents=True, exist_ok=True)
        path = OUTPUT / name
        path.write_bytes(base64.b64decode(self.call("Page.captureScreenshot", format="png")["data"]))
        return path

    def mouse(self, kind, x, y):
        self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)

    def close(self):
        self.socket.close()
        self.process.terminate()
        self.process.wait(timeout=30)
        shutil.rmtree(self.profile, ignore_errors=True)


@pytest.fixture
def browser_for():
    if not CHROMIUM:
        pytest.skip("no chromium to run the viewer's page in (make deps installs it)")
    opened = []

    def open_page(url):
        browser = Browser(url)
        opened.append(browser)
        return browser

    yield open_page
    for browser in opened:
        browser.close()


def window_pixels(path, end, window, width, height):
    """ON and OFF pixels of the events in [end - window, end), as the library reads them."""
    with orvane.RawReader(path) as reader:
        reader.seek_time(max(end - window, reader.start_time))
        events = reader.read_time(window if end - window >= reader.start_time else end - reader.start_time)
    events = events[events["t"] < end]
    on = np.zeros((height, width), bool)
    off = np.zeros((height, width), bool)
    on[events["y"][events["p"] == 1], events["x"][events["p"] == 1]] = True
    off[events["y"][events["p"] == 0], events["x"][events["p"] == 0]] = True
    return int(on.sum()), int(off.sum()), len(events)


def read_png(path):
    """An 8-bit RGB PNG as FFmpeg's encoder writes it (rows unfiltered or with
    the Sub or Up filter), as a height x width x 3 array."""
    data = pathlib.Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, chunks, width, height = 8, [], 0, 0
    while at < len(data):
        length = int.from_bytes(data[at:at + 4], "big")
        kind, body = data[at + 4:at + 8], data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height = int.from_bytes(body[0:4], "big"), int.from_bytes(body[4:8], "big")
            assert (body[8], body[9]) == (8, 2), "8-bit RGB"
        elif kind == b"IDAT":
            chunks.append(body)
        at += 12 + length
    raw = np.frombuffer(zlib.decompress(b"".join(chunks)), np.uint8).reshape(height, 1 + width * 3)
    rows = np.zeros((height, width * 3), np.uint8)
    for y in range(height):
        kind, row = raw[y, 0], raw[y, 1:].astype(np.uint32)
        if kind == 1:
            for x in range(3, len(row)):
                row[x] += row[x - 3]
        elif kind == 2 and y > 0:
            row += rows[y - 1]
        else:
            assert kind in (0, 2), f"PNG filter {kind}"
        rows[y] = row & 0xFF
    return rows.reshape(height, width, 3)


def lit_pixels(page, canvas="picture"):
    """Indices of the pixels the page drew in another colour than the background."""
    return page.eval(f"""(() => {{ const c = document.getElementById('{canvas}');
        const d = new Uint32Array(c.getContext('2d').getImageData(0, 0, c.width, c.height).data.buffer);
        const lit = []; for (let i = 0; i < d.length; i++) if (d[i] !== colours[0]) lit.push(i);
        return lit; }})()""")


def spread(page, canvas):
    """How far apart the darkest and the brightest green of a canvas are."""
    return page.eval(f"""(() => {{ const c = document.getElementById('{canvas}');
        const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        let lo = 255, hi = 0; for (let i = 1; i < d.length; i += 4) {{ lo = Math.min(lo, d[i]); hi = Math.max(hi, d[i]); }}
        return hi - lo; }})()""")


def click(page, element, share):
    """A click at `share` of the width of an element of the page."""
    box = page.eval(f"(() => {{ const r = document.getElementById('{element}').getBoundingClientRect();"
                    " return [r.left, r.top, r.width, r.height]; })()")
    x, y = box[0] + box[2] * share, box[1] + box[3] / 2
    page.mouse("mousePressed", x, y)
    page.mouse("mouseReleased", x, y)


def test_a_recording_plays_and_seeks_on_its_timeline(browser_for, tmp_path):
    source = DATA / "rosbag_event_camera_py_events_1_640x480.raw"
    if not source.exists():
        pytest.skip(f"no real recordings in {DATA} (set ORVANE_TEST_DATA)")
    recording = shutil.copy(source, tmp_path)
    viewer = Viewer([recording], tmp_path)
    try:
        page = browser_for(viewer.url)
        wait_for(lambda: page.eval("window.orvaneView.pictures > 0"), "pictures")
        hello = page.eval("window.orvaneView.hello")
        assert (hello["kind"], hello["width"], hello["height"]) == ("recording", 640, 480)
        page.screenshot("view-recording.png")

        # Pause, then click the timeline at two thirds: the page shows that time.
        page.eval("send({op: 'pause'})")
        wait_for(lambda: page.eval("window.orvaneView.status && window.orvaneView.status.paused"), "pause")
        click(page, "timeline", 2 / 3)
        wanted = hello["start_us"] + (hello["end_us"] - hello["start_us"]) * 2 / 3
        frame = wait_for(lambda: (f := page.eval("window.orvaneView.frame")) and abs(f["end"] - wanted) < 20_000 and f,
                         "the picture at the clicked time")
        page.screenshot("view-recording-seek.png")
        on, off, events = window_pixels(recording, frame["end"], frame["window"], 640, 480)
        assert events > 0
        assert frame["events"] == events
        assert (frame["drawnOn"], frame["drawnOff"]) == (on, off)
        assert page.eval("document.getElementById('events').textContent") == str(events)
        # The same window rendered by the command line lights the same pixels.
        centre = frame["end"] - frame["window"] + frame["window"] // 2
        render = subprocess.run([CLI, "render", recording, str(tmp_path / "at.png"), "--at", f"{centre}us",
                                 "--window", f"{frame['window']}us"], capture_output=True, text=True)
        assert render.returncode == 0, render.stderr
        rendered = read_png(tmp_path / "at.png").reshape(-1, 3)
        grey = np.array([0x70, 0x70, 0x70])  # the background of orvane render
        assert np.flatnonzero((rendered != grey).any(axis=1)).tolist() == lit_pixels(page)
    finally:
        status, out, err = viewer.stop()
    assert status == 0, err
    assert "stopped by Ctrl-C" in out


def test_a_live_camera_shows_events_takes_tools_and_records(browser_for, tmp_path):
    serial = f"VIEW-{os.getpid()}"
    viewer = Viewer([serial], tmp_path, env={"ORVANE_SIM": f"evk4:{serial},delays=log,rate=2e6"})
    try:
        page = browser_for(viewer.url)
        wait_for(lambda: page.eval("window.orvaneView.pictures > 5 && !!window.orvaneView.tools"), "live pictures")

        # The simulated bar enters and leaves the view with one edge only, so
        # for a tenth of its crossing a window holds one polarity.
        def both_polarities():
            frame = page.eval("window.orvaneView.frame")
            return frame if frame["drawnOn"] > 0 and frame["drawnOff"] > 0 else None

        frame = wait_for(both_polarities, "a picture with ON and OFF events")
        assert (frame["drawnOn"], frame["drawnOff"]) == (frame["onPixels"], frame["offPixels"])
        # Every drawn pixel had an event in the window; the camera sends 2 Mev/s.
        assert 0.9 * max(frame["drawnOn"], frame["drawnOff"]) <= frame["events"] <= 2e6 * frame["window"] / 1e6 * 1.5
        page.screenshot("view-camera.png")

        # A click on a tool's control reaches the camera and reads back.
        page.eval("document.getElementById('tool-event_trail_filter-enable').click()")
        wait_for(lambda: page.eval("(window.orvaneView.replies.find(r => r.op === 'set') || {}).ok"), "the tool's reply")
        assert page.eval("window.orvaneView.tools.event_trail_filter.parameters.enable.value") is True
        assert page.eval("document.getElementById('tool-event_trail_filter-enable').checked") is True

        # Recording from the page gives a file that orvane info reads.
        page.eval("document.getElementById('recordName').value = 'page.raw'; document.getElementById('record').click()")
        wait_for(lambda: page.eval("window.orvaneView.replies.some(r => r.op === 'record' && r.recording)"), "recording")
        wait_for(lambda: (tmp_path / "page.raw").exists() and (tmp_path / "page.raw").stat().st_size > 100_000,
                 "recorded data")
        page.eval("document.getElementById('record').click()")
        wait_for(lambda: page.eval("window.orvaneView.replies.some(r => r.op === 'record' && r.recorded)"), "the stop")
        page.screenshot("view-camera-recorded.png")
    finally:
        status, out, err = viewer.stop()
    assert status == 0, err
    info = subprocess.run([CLI, "info", str(tmp_path / "page.raw"), "--json"], capture_output=True, text=True)
    assert info.returncode == 0, info.stderr
    assert json.loads(info.stdout)["events"] > 0


def test_bad_requests_get_an_answer_and_a_public_viewer_needs_its_token(tmp_path):
    serial = f"VIEWBAD-{os.getpid()}"
    viewer = Viewer([serial, "--bind", "0.0.0.0"], tmp_path, env={"ORVANE_SIM": f"evk4:{serial},delays=log"})
    try:
        token = viewer.url.split("token=")[1]
        port = viewer.url.split(":")[2].split("/")[0]
        with pytest.raises(urllib.error.HTTPError) as missing:
            urllib.request.urlopen(f"http://127.0.0.1:{port}/nothing")
        assert missing.value.code == 404
        anyone = websocket.create_connection(f"ws://127.0.0.1:{port}/ws", timeout=30)
        owner = websocket.create_connection(f"ws://127.0.0.1:{port}/ws?token={token}", timeout=30)

        def ask(socket, text):
            socket.send(text)
            while True:
                message = socket.recv()
                if isinstance(message, str) and json.loads(message)["type"] == "reply":
                    return json.loads(message)

        assert ask(anyone, json.dumps({"op": "set", "tool": "roi", "param": "enable", "value": True}))["ok"] is False
        for bad in ["{not json", "[]", json.dumps({"op": 7}), json.dumps({"op": "record", "on": True, "name": "../x.raw"}),
                    json.dumps({"op": "set", "tool": "roi", "param": "x", "value": 99999}),
                    json.dumps({"op": "window", "us": -5}), json.dumps({"op": "fly"})]:
            reply = ask(owner, bad)
            assert reply["ok"] is False and reply["error"], bad
        assert ask(owner, json.dumps({"op": "set", "tool": "roi", "param": "enable", "value": True}))["ok"] is True
        with pytest.raises((websocket.WebSocketException, OSError)):
            owner.send("x" * 200_000)  # over the message limit: the server closes
            owner.recv()
            owner.recv()
        anyone.close()
    finally:
        status, _, err = viewer.stop()
    assert status == 0, err
    assert not list(tmp_path.glob("*.raw"))


def test_a_fusion_camera_shows_its_pictures_with_their_events_and_records_both(browser_for, tmp_path):
    serial = f"VIEWTD-{os.getpid()}"
    # A low event rate: the browser, the 4K frame sensor and the test share two cores.
    viewer = Viewer([serial], tmp_path, env={"ORVANE_SIM": f"tandro:{serial},delays=log,rate=2e5"})
    try:
        page = browser_for(viewer.url)
        hello = wait_for(lambda: page.eval("window.orvaneView.hello"), "the camera")
        assert hello["kind"] == "fusion"
        assert hello["frame"]["width"] <= 960 and hello["frame"]["sensor_width"] > hello["frame"]["width"]
        wait_for(lambda: page.eval("window.orvaneView.videoPictures > 2 && !!window.orvaneView.fusion"),
                 "frame-sensor pictures and a fusion image", timeout=90)
        # The frame picture is a picture, not a blank canvas.
        assert spread(page, "frame") > 50, "the frame picture is flat"
        fusion = page.eval("window.orvaneView.fusion")
        assert fusion["events"] > 0 and fusion["drawnOn"] + fusion["drawnOff"] > 0, fusion
        assert (fusion["drawnOn"], fusion["drawnOff"]) == (fusion["onPixels"], fusion["offPixels"])
        # A pixel has at most 10 events of each polarity counted.
        assert fusion["events"] <= 20 * len(lit_pixels(page, "fusion"))
        page.screenshot("view-fusion.png")

        page.eval("document.getElementById('recordName').value = 'both.raw'; document.getElementById('record').click()")
        wait_for(lambda: page.eval("window.orvaneView.replies.some(r => r.op === 'record' && r.recording)"), "recording")
        wait_for(lambda: (tmp_path / "both.raw").exists() and (tmp_path / "both.raw").stat().st_size > 100_000,
                 "recorded events")
        page.eval("document.getElementById('record').click()")
        stop = wait_for(lambda: page.eval("window.orvaneView.replies.find(r => r.op === 'record' && r.recorded)"),
                        "the stop", timeout=120)
        assert "both.mp4" in stop["recorded"]
    finally:
        status, out, err = viewer.stop()
    assert status == 0, err
    for name in ("both.raw", "both.mp4"):
        info = subprocess.run([CLI, "info", str(tmp_path / name), "--json"], capture_output=True, text=True)
        assert info.returncode == 0, info.stderr
    assert json.loads(info.stdout)["pictures"] > 0


def test_a_video_plays_and_seeks_to_its_pictures(browser_for, tmp_path):
    source = DATA / "rosbag_event_camera_py_events_1_640x480.raw"
    if not source.exists():
        pytest.skip(f"no real recordings in {DATA} (set ORVANE_TEST_DATA)")
    video = tmp_path / "v.mp4"
    export = subprocess.run([CLI, "export", str(source), str(video), "--to", "8.5s", "--quiet"],
                            capture_output=True, text=True)
    assert export.returncode == 0, export.stderr
    listed = subprocess.run([CLI, "frames", str(video), "--json"], capture_output=True, text=True)
    times = [p["time_us"] for p in json.loads(listed.stdout)["pictures"]]
    viewer = Viewer([str(video)], tmp_path)
    try:
        page = browser_for(viewer.url)
        hello = wait_for(lambda: page.eval("window.orvaneView.hello"), "the video")
        assert (hello["kind"], hello["width"], hello["height"], hello["pictures"]) == ("video", 640, 480, len(times))
        wait_for(lambda: page.eval("window.orvaneView.videoPictures > 3"), "playback")
        page.eval("send({op: 'pause'})")
        wait_for(lambda: page.eval("window.orvaneView.status && window.orvaneView.status.paused"), "pause")
        click(page, "timeline", 0.5)
        wanted = hello["start_us"] + (hello["end_us"] - hello["start_us"]) * 0.5
        # The picture on show at a time is the last one at or before it.
        expected = max(t for t in times if t <= wanted + 2000)
        shown = wait_for(lambda: (v := page.eval("window.orvaneView.video")) and abs(v["time"] - expected) <= 34_000 and v,
                         "the picture at the clicked time")
        assert shown["time"] in times
        assert page.eval("document.getElementById('time').textContent") == f"{shown['time'] / 1e6:.6f} s"
        assert spread(page, "picture") > 50, "the video picture is flat"
        page.screenshot("view-video.png")
    finally:
        status, _, err = viewer.stop()
    assert status == 0, err
