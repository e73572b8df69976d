"""Reading a large recording to numpy, against the C++ reader in the same run.

    python3 -m orvane.bench [--raw FILE] [--events N] [--slice-us US ...] [--rounds R]
                            [--dask-workers N ...]

Without --raw, records N events (default 30 million) from a simulated camera
into a temporary directory first. Both readers load the same index, then walk
the whole recording in time slices (10 ms and 1 ms by default): the C++
reader's own loop (no Python in it) and RawReader.slices() handing out numpy
arrays. Then decode() of the whole payload against the C++ decoder over the
same bytes, and orvane.dask.summarize() on a LocalCluster of 1 and 2 worker
processes. Best of R rounds each, alternating; the figures to watch are the
ratios.
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


def payload(path):
    with open(path, "rb") as f:
        data = f.read()
    at = 0
    while data.startswith(b"%", at):
        line_end = data.index(b"\n", at) + 1
        done = data[at:line_end].strip() == b"% end"
        at = line_end
        if done:
            break
    return memoryview(data)[at:]


def slice_ratio(path, slice_us, rounds):
    best = {"C++ reader": 0.0, "numpy (RawReader.slices)": 0.0}
    for _ in range(rounds):
        cpp_events, cpp_seconds, cpp_last = orvane._orvane._read_all_cpp(path, slice_us)
        py_events, py_seconds, py_last = python_read(path, slice_us)
        if (cpp_events, cpp_last) != (py_events, py_last):
            raise SystemExit(f"readers disagree: {cpp_events} vs {py_events} events")
        best["C++ reader"] = max(best["C++ reader"], cpp_events / cpp_seconds / 1e6)
        best["numpy (RawReader.slices)"] = max(best["numpy (RawReader.slices)"],
                                               py_events / py_seconds / 1e6)
    print(f"{cpp_events / 1e6:.1f} Mev in {slice_us} us slices, best of {rounds}:")
    for name, rate in best.items():
        print(f"  {name:26s} {rate:8.1f} Mev/s")
    ratio = best["numpy (RawReader.slices)"] / best["C++ reader"]
    print(f"  numpy / C++ = {ratio:.2f} (aim >= {0.8 if slice_us >= 10_000 else 0.5})")


def decode_ratio(path, rounds):
    data = payload(path)
    best_cpp = best_py = 0.0
    for _ in range(rounds):
        events, seconds = orvane._orvane._decode_cpp(data)
        best_cpp = max(best_cpp, events / seconds / 1e6)
        start = time.perf_counter()
        array, _ = orvane.decode(data)
        best_py = max(best_py, len(array) / (time.perf_counter() - start) / 1e6)
        del array
    print(f"decode of {len(data) / 2**20:.0f} MiB, best of {rounds}:")
    print(f"  {'C++ decoder (counting)':26s} {best_cpp:8.1f} Mev/s")
    print(f"  {'orvane.decode (numpy)':26s} {best_py:8.1f} Mev/s")
    print(f"  numpy / C++ = {best_py / best_cpp:.2f} (aim >= 0.5)")


def dask_summarize(path, workers_list, scratch):
    try:
        from dask.distributed import Client, LocalCluster
        import orvane.dask
    except ImportError as missing:
        print(f"dask summarize: skipped ({missing})")
        return
    # Four recordings of the dataset: links to the one recording.
    paths = []
    for k in range(4):
        link = os.path.join(scratch, f"dataset-{k}.raw")
        if not os.path.exists(link):
            os.symlink(os.path.abspath(path), link)
        paths.append(link)
    walls = {}
    for workers in workers_list:
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster):
            orvane.dask.offsets(paths)  # workers started, every recording indexed
            start = time.perf_counter()
            table = orvane.dask.summarize(paths)
            walls[workers] = time.perf_counter() - start
        events = int(table["events"].sum())
        print(f"dask summarize of {len(paths)} recordings ({events / 1e6:.0f} Mev), "
              f"{workers} worker(s): {walls[workers]:.2f} s ({events / walls[workers] / 1e6:.0f} Mev/s)")
    if len(walls) > 1:
        few, many = min(walls), max(walls)
        print(f"  speed-up {many} vs {few} worker(s): {walls[few] / walls[many]:.2f} "
              f"(this machine has {os.cpu_count()} cores)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--raw", help="a recording to read instead of a simulated one")
    parser.add_argument("--events", type=int, default=30_000_000)
    parser.add_argument("--slice-us", type=int, nargs="+", default=[10_000, 1_000])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dask-workers", type=int, nargs="*", default=[1, 2])
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
        for slice_us in args.slice_us:
            slice_ratio(path, slice_us, args.rounds)
        decode_ratio(path, args.rounds)
        if args.dask_workers:
            dask_summarize(path, args.dask_workers, scratch)


if __name__ == "__main__":
    main()
