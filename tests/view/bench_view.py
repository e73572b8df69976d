"""The viewer's cost, measured as a person uses it: a simulated camera at 20
Mev/s shown in headless chromium at 30 pictures a second. The baseline is the
same camera streamed by `orvane stream` for as long, in the same run: the
difference in CPU time is the viewer's path. Run by `make bench`."""

import os
import sys
import subprocess
import time

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


if __name__ == "__main__":
    main()
