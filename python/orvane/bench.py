"""Reading a large recording to numpy, against the C++ reader in the same run.

    python3 -m orvane.bench [--raw FILE] [--events N] [--slice-us US] [--rounds R]

Without --raw, records N events (default 30 million) from a simulated camera
into a temporary directory first. Both readers load the same index, then walk
the whole recording in time slices: the C++ reader's own loop (no Python in
it) and RawReader.slices() handing out numpy arrays. Best of R rounds each,
alternating; the figure to watch is the ratio.
"""

import argparse
import os
import tempfile
import time

import orvane


def record(path, events):
    """Records about `events` events of a fast-paced simulated camera."""
    serial = f"BENCH-{os.getpid()}"
    orvane.sim.plug(serial=serial, scene="bar", rate=20e6, pacing="fast", sleep_delays=False)
    try:
        with orvane.CameraManager().open(serial) as cam:
            cam.record(path)
            batches = cam.batches(count=1_000_000, capacity=1_000_000, timeout=30)
            cam.start()
            seen = 0
            for batch in batches:
                seen += len(batch)
                if seen >= events:
                    break
    finally:
        orvane.sim.unplug(serial)


def python_read(path, slice_us):
    reader = orvane.RawReader(path)
    reader.load()
    start = time.perf_counter()
    events = last = 0
    for events_slice in reader.slices(slice_us):
        events += len(events_slice)
        if len(events_slice):
            last += int(events_slice["t"][-1])
    return events, time.perf_counter() - start, last


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--raw", help="a recording to read instead of a simulated one")
    parser.add_argument("--events", type=int, default=30_000_000)
    parser.add_argument("--slice-us", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    orvane.set_log_level(4)

    with tempfile.TemporaryDirectory() as scratch:
        path = args.raw
        if path is None:
            path = os.path.join(scratch, "bench.raw")
            began = time.perf_counter()
            record(path, args.events)
            print(f"recorded {os.path.getsize(path) / 2**20:.0f} MiB from a simulated camera "
                  f"in {time.perf_counter() - began:.1f} s")
        indexed = time.perf_counter()
        orvane.RawReader(path).load()
        print(f"{path}: index built in {time.perf_counter() - indexed:.2f} s")

        best = {"C++ reader": 0.0, "numpy (RawReader.slices)": 0.0}
        for _ in range(args.rounds):
            cpp_events, cpp_seconds, cpp_last = orvane._orvane._read_all_cpp(path, args.slice_us)
            py_events, py_seconds, py_last = python_read(path, args.slice_us)
            if (cpp_events, cpp_last) != (py_events, py_last):
                raise SystemExit(f"readers disagree: {cpp_events} vs {py_events} events")
            best["C++ reader"] = max(best["C++ reader"], cpp_events / cpp_seconds / 1e6)
            best["numpy (RawReader.slices)"] = max(best["numpy (RawReader.slices)"],
                                                   py_events / py_seconds / 1e6)
        print(f"{cpp_events / 1e6:.1f} Mev in {args.slice_us} us slices, best of {args.rounds}:")
        for name, rate in best.items():
            print(f"  {name:26s} {rate:8.1f} Mev/s")
        ratio = best["numpy (RawReader.slices)"] / best["C++ reader"]
        print(f"  numpy / C++ = {ratio:.2f}")


if __name__ == "__main__":
    main()
