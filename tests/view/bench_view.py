"""The viewer's cost, measured as a person uses it: a simulated camera at 20
Mev/s shown in headless chromium at 30 pictures a second. The baseline is the
same camera streamed by `orvane stream` for as long, in the same run: the
difference in CPU time is the viewer's path. Then how long a seek on the
timeline of a 200 MB recording takes to show its picture. Run by `make bench`."""

import json
import os
import random
import statistics
import struct
import sys
import subprocess
import tempfile
import time

import websocket

sys.path.insert(0, os.path.dirname(__file__))
from test_view import CHROMIUM, Browser, Viewer  # noqa: E402

SECONDS = 10
CLI = os.environ["ORVANE_CLI"]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    if not CHROMIUM:
        print("viewer bench: no chromium, skipped")
        return
    env = {"ORVANE_SIM": "evk4:BENCH-VIEW,delays=log,rate=2e7"}
    stream = subprocess.Popen([CLI, "stream", "BENCH-VIEW", "--duration", "0", "--quiet"],
                              env={**os.environ, **env}, stdout=subprocess.PIPE, text=True)
    time.sleep(4)  # past the bring-up, then the same span as below
    before = cpu_seconds(stream.pid)
    time.sleep(SECONDS)
    baseline = (cpu_seconds(stream.pid) - before) / SECONDS
    stream.send_signal(2)
    stream.communicate()

    viewer = Viewer(["BENCH-VIEW"], "/tmp", env)
    browser = Browser(viewer.url)
    try:
        time.sleep(2)
        start = browser.eval("[window.orvaneView.pictures, window.orvaneView.bytes]")
        before = cpu_seconds(viewer.process.pid)
        time.sleep(SECONDS)
        used = (cpu_seconds(viewer.process.pid) - before) / SECONDS
        end = browser.eval("[window.orvaneView.pictures, window.orvaneView.bytes]")
        status = browser.eval("window.orvaneView.status")
    finally:
        browser.close()
        viewer.stop()
    pictures = end[0] - start[0]
    print(f"viewer bench: {pictures / SECONDS:.1f} pictures/s shown at 20 Mev/s, "
          f"{(end[1] - start[1]) / max(pictures, 1) / 1024:.1f} KiB a picture, "
          f"{status['dropped_buffers']} dropped buffers, {status['skipped_pictures']} skipped pictures")
    print(f"viewer bench: CPU {used:.2f} cores with the viewer, {baseline:.2f} streaming alone: "
          f"the viewer's path takes {used - baseline:.2f} of a core")


def seeks():
    with tempfile.TemporaryDirectory() as folder:
        recording = os.path.join(folder, "big.raw")
        sim = {"ORVANE_SIM": "evk4:BENCH-BIG,delays=log,rate=5e7,pacing=fast"}
        subprocess.run([CLI, "record", "BENCH-BIG", recording, "--duration", "9s", "--quiet"],
                       env={**os.environ, **sim}, check=True, stdout=subprocess.DEVNULL)
        size = os.path.getsize(recording)
        opened = time.monotonic()
        viewer = Viewer([recording], folder)
        try:
            port = viewer.url.split(":")[2].split("/")[0]
            socket = websocket.create_connection(f"ws://127.0.0.1:{port}/ws", timeout=30)
            hello = json.loads(socket.recv())
            ready = time.monotonic() - opened
            socket.send(json.dumps({"op": "pause"}))
            random.seed(7)
            latencies = []
            for _ in range(30):
                wanted = random.randint(hello["start_us"], hello["end_us"])
                asked = time.monotonic()
                socket.send(json.dumps({"op": "seek", "t": wanted}))
                while True:
                    message = socket.recv()
                    if isinstance(message, bytes) and message[:1] == b"E":
                        end = struct.unpack_from("<Q", message, 8)[0]
                        if abs(end - wanted) <= 2:
                            break
                latencies.append(time.monotonic() - asked)
            socket.close()
        finally:
            viewer.stop()
    print(f"viewer bench: a {size / 1e6:.0f} MB recording is on the page {ready:.2f} s after start "
          f"(its index reloaded); a seek shows its picture in {statistics.median(latencies) * 1000:.0f} ms "
          f"(median of 30), {max(latencies) * 1000:.0f} ms at most")


if __name__ == "__main__":
    main()
    seeks()
