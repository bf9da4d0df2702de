#!/usr/bin/env python3
"""Benchmark of examples/study.py: a generated parameter study read in one process, in the
process pool and on a Dask LocalCluster, and what moving a file's result between processes
costs as lists of floats and as a float32 array.

The study: --files plot files of 500 parameters x 1000 timesteps, width 12 (runs of one seed
of tools/make_plot_file.py), written once into bench/data/study; 3 parameters are kept.

It prints, each the median of --repeat runs (min and max beside it):
  reading      files/s and values/s (all values of a file count: the reader decodes them all)
               for one process; --workers bare processes that each read a fixed share and
               send nothing back (what reading side by side costs without a pool); the pool at --workers workers (a
               new pool per study, as the command line makes it: its start-up is included);
               and a running LocalCluster of --workers processes (its start-up is given
               apart); with the speed-up over one process, CPU seconds (user + system, all
               processes) per file, and cores busy (CPU seconds over wall seconds)
  one file     where the time of a read in one process goes: the reader, the header, picking
               the parameters into float32, and freeing the reader's list of lists
  moving       a whole file's values between processes: pickle size and round-trip time of the
               list of lists and of one float32 array, and the pool's files/s when each worker
               sends back all values as lists, as an array, or only the 3 parameters
and the load average before and after: the machine may be shared, so compare ratios.
"""

import argparse
import concurrent.futures
import multiprocessing
import os
import pickle
import platform
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
# examples/ first: this file is named like the example module it measures.
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(1, str(ROOT / "tools"))
import numpy  # noqa: E402

import kelmor  # noqa: E402
import study  # noqa: E402
from make_plot_file import write_plot_file  # noqa: E402
from plot_header import read_header  # noqa: E402

DATA = HERE / "data" / "study"
PARAMETERS_IN_FILE, STEPS = 500, 1000
KEPT = ["PRESSURE_1", "POWER_7", "LEVEL_42"]


def study_files(count: int) -> list[str]:
    """The study's files, written once (in parallel) and then reused."""
    DATA.mkdir(parents=True, exist_ok=True)
    paths = [DATA / f"run_{run:03d}.plt" for run in range(count)]
    missing = [path for path in paths if not path.exists()]
    if missing:
        print(f"generating {len(missing)} plot files in {DATA} ...", file=sys.stderr, flush=True)
        with concurrent.futures.ProcessPoolExecutor(2) as pool:
            list(pool.map(_write, missing))
    return [str(path) for path in paths]


def _write(path: Path) -> None:
    partial = path.with_suffix(".partial")
    write_plot_file(partial, PARAMETERS_IN_FILE, STEPS, 12, seed=11, run=int(path.stem[4:]))
    os.replace(partial, path)


# What a worker sends back in the moving measurement.
def whole_lists(path: str) -> list[list[float]]:
    return kelmor.rust_read_valdrum(path, 12)


def whole_array(path: str) -> numpy.ndarray:
    return numpy.array(kelmor.rust_read_valdrum(path, 12), dtype=numpy.float32)


def chosen(path: str) -> study.RunData:
    return study.read_run(path, 12, KEPT)


def read_share(paths: list[str]) -> None:
    for path in paths:
        study.read_run(path, 12, KEPT)


def bare_processes(paths: list[str], workers: int) -> None:
    """`workers` processes, each reading its share of the files, with no pool and no result
    sent back: what running reads side by side costs on this machine, without the pool."""
    context = forkserver_context()
    processes = [context.Process(target=read_share, args=(paths[start::workers],))
                 for start in range(workers)]
    for process in processes:
        process.start()
    for process in processes:
        process.join()


def timed(action, repeat: int) -> list[float]:
    seconds = []
    for _ in range(repeat):
        start = time.perf_counter()
        action()
        seconds.append(time.perf_counter() - start)
    return seconds


def forkserver_context() -> multiprocessing.context.BaseContext:
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(["numpy", "kelmor", "kelmor_arrays"])
    return context


def pool_seconds(function, paths: list[str], workers: int, repeat: int) -> list[float]:
    def run():
        with concurrent.futures.ProcessPoolExecutor(workers, mp_context=forkserver_context()) \
                as pool:
            list(pool.map(function, paths))

    return timed(run, repeat)


class CpuClock:
    """CPU seconds (user + system) of this process and of the given worker processes. Pool
    workers fork from the forkserver, which reaps them: their time adds to its children's."""

    def __init__(self, worker_pids=()):
        import psutil
        self.workers = [psutil.Process(pid) for pid in worker_pids]
        server = multiprocessing.forkserver._forkserver._forkserver_pid
        self.server = psutil.Process(server) if server else None

    def __call__(self) -> float:
        total = time.process_time()
        for process in self.workers:
            times = process.cpu_times()
            total += times.user + times.system
        if self.server is not None:
            times = self.server.cpu_times()
            total += times.children_user + times.children_system
        return total


def measure(action, clock: CpuClock) -> tuple[float, float]:
    """Wall and CPU seconds of one run of `action`."""
    cpu, start = clock(), time.perf_counter()
    action()
    return time.perf_counter() - start, clock() - cpu


def load() -> str:
    return "load average " + " ".join(f"{value:.2f}" for value in os.getloadavg())


def spread(seconds: list[float]) -> str:
    return f"{statistics.median(seconds):.3f} s ({min(seconds):.3f}-{max(seconds):.3f})"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=24)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=9)
    args = parser.parse_args()

    paths = study_files(args.files)
    values = args.files * PARAMETERS_IN_FILE * STEPS
    print(f"# {args.files} files of {PARAMETERS_IN_FILE} parameters x {STEPS} timesteps, "
          f"width 12 ({values:,} values, {sum(map(os.path.getsize, paths)) / 1e6:.0f} MB), "
          f"{len(KEPT)} parameters kept; {args.workers} workers, median of {args.repeat}")
    print(f"# CPython {platform.python_version()}, {os.cpu_count()} CPUs, "
          f"{len(os.sched_getaffinity(0))} usable; {load()}")
    study.read_study(paths, 12, KEPT, workers=1, progress=False)  # page cache, forkserver

    # --- reading: the configurations take turns, so that a change of load hits all ---
    from distributed import Client, LocalCluster
    start = time.perf_counter()
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        cluster_start = time.perf_counter() - start
        study.read_study_dask(paths[:args.workers], 12, KEPT, client, progress=False)
        dask_clock = CpuClock(client.run(os.getpid).values())
        pool_clock = CpuClock()
        configurations = {
            "one process": (lambda: [study.read_run(path, 12, KEPT) for path in paths],
                            pool_clock),
            f"{args.workers} bare processes, a share of the files each": (
                lambda: bare_processes(paths, args.workers), pool_clock),
            f"process pool, {args.workers} workers": (
                lambda: study.read_study(paths, 12, KEPT, workers=args.workers,
                                         progress=False), pool_clock),
            f"Dask LocalCluster, {args.workers} workers": (
                lambda: study.read_study_dask(paths, 12, KEPT, client, progress=False),
                dask_clock),
        }
        rows = {name: [] for name in configurations}
        pool_start = []
        for _ in range(args.repeat):
            for name, (action, clock) in configurations.items():
                rows[name].append(measure(action, clock))
            pool_start.append(measure(lambda: study.read_study(
                paths[:args.workers], 12, KEPT, workers=args.workers, progress=False),
                pool_clock))
    print(f"\n## reading ({load()})\n")
    print("| how | files/s | million values/s | speed-up | study time | CPU s per file | "
          "cores busy |")
    print("|---|---|---|---|---|---|---|")
    base = statistics.median(wall for wall, _ in rows["one process"])
    for name, samples in rows.items():
        wall = statistics.median(wall for wall, _ in samples)
        cpu = statistics.median(cpu for _, cpu in samples)
        print(f"| {name} | {args.files / wall:.1f} | {values / wall / 1e6:.1f} | "
              f"{base / wall:.2f} | {spread([w for w, _ in samples])} | "
              f"{cpu / args.files * 1e3:.0f} ms | {cpu / wall:.2f} |")
    print(f"\nstart-up: a new pool of {args.workers} reading {args.workers} files "
          f"{spread([w for w, _ in pool_start])}, "
          f"CPU {statistics.median(c for _, c in pool_start):.2f} s; "
          f"LocalCluster {cluster_start:.2f} s")

    # --- where one read's time goes, in one process ---
    parts = {"reader (kelmor)": [], "header (names, times)": [], "pick 3 into float32": [],
             "free the list of lists": []}
    for _ in range(args.repeat):
        for path in paths[:6]:
            marks = [time.perf_counter()]
            columns = kelmor.rust_read_valdrum(path, 12)
            marks.append(time.perf_counter())
            names, _ = read_header(path, len(columns))
            marks.append(time.perf_counter())
            numpy.array([columns[names.index(name)] for name in KEPT], dtype=numpy.float32)
            marks.append(time.perf_counter())
            del columns
            marks.append(time.perf_counter())
            for part, begin, end in zip(parts.values(), marks, marks[1:]):
                part.append(end - begin)
    total = sum(statistics.median(part) for part in parts.values())
    print(f"\n## one file in one process ({load()})\n")
    print("| part | ms per file | share |")
    print("|---|---|---|")
    for name, part in parts.items():
        print(f"| {name} | {statistics.median(part) * 1e3:.1f} | "
              f"{statistics.median(part) / total:.0%} |")

    # --- moving a result between processes ---
    columns = kelmor.rust_read_valdrum(paths[0], 12)
    array = numpy.array(columns, dtype=numpy.float32)
    print(f"\n## moving one file's {PARAMETERS_IN_FILE * STEPS:,} values ({load()})\n")
    print("| payload | pickle size MB | pickle round trip ms | pool files/s | pool time |")
    print("|---|---|---|---|---|")
    payloads = [("lists of floats", columns, whole_lists), ("float32 array", array, whole_array),
                (f"{len(KEPT)} parameters, float32", study.read_run(paths[0], 12, KEPT), chosen)]
    for name, payload, function in payloads:
        size = len(pickle.dumps(payload, protocol=5))
        trip = timed(lambda: pickle.loads(pickle.dumps(payload, protocol=5)), args.repeat)
        seconds = pool_seconds(function, paths, args.workers, args.repeat)
        print(f"| {name} | {size / 1e6:.2f} | {statistics.median(trip) * 1e3:.1f} | "
              f"{args.files / statistics.median(seconds):.1f} | {spread(seconds)} |")
    build = timed(lambda: numpy.array(columns, dtype=numpy.float32), args.repeat)
    print(f"\nbuilding the float32 array from the lists: {statistics.median(build) * 1e3:.1f} ms")
    print(f"\n# done; {load()}")


if __name__ == "__main__":
    main()
