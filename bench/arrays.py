#!/usr/bin/env python3
"""Benchmark of kelmor_arrays.read against the reader core's own read, the NumPy peer and
kelmor, on the generated plot files, and its scaling over threads.

For every size and width, one cold read in a fresh process (median of --runs processes),
in ns per value of processor time (KELMOR_BENCH_CLOCK=wall: wall time):
  core         the C++ core reading the file into its columns (bench/read_timed), and into
               rows, as kelmor_arrays does
  arrays       kelmor_arrays.read, with its peak RSS growth during the call
  numpy        the vectorised NumPy reader of bench/run.py, giving the same float32 array
  kelmor       kelmor.rust_read_valdrum (lists of floats), for comparison
and the ratios arrays/core (target at most 1.3), numpy/arrays (target at least 10), and the
memory ratio (peak RSS - RSS before) / (4 bytes per value + the names and headers), that is
the RSS that the result holds when the call is over (target at most 1.1). Each process reads
the bundled sample once before it measures, so that the pages of the modules' code, which
the first call of a process brings into memory (about 90 kB), count neither as the call's
memory nor as its time.

Threads: the wall time of reading two files one after the other on one thread, over the
time of reading them on two threads at once (warm, median of --runs); 2.0 is perfect
scaling on two idle cores. kelmor, which holds the interpreter lock, is shown beside it, and
as the measure of what the machine allows at the time, hashlib's SHA-256 of 50 MB, which
also runs without the interpreter lock: on a shared machine whose other core is busy, no
code scales.

Exits 1 when a target is missed or a result differs from kelmor's.
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import generate  # noqa: E402
import run  # noqa: E402  (the NumPy peer's decoding and the memory helpers)

READ_TIMED = HERE.parent / "build" / "bench" / "bench" / "read_timed"
SAMPLE = HERE.parent / "examples" / "sample.plt"
clock = run.clock

TARGET_CORE = 1.3
TARGET_NUMPY = 10.0
TARGET_MEMORY = 1.1


def numpy_rows(path, width):
    # bench/run.py's NumPy reader, stopping at the float32 array of one row per block.
    import numpy as np
    raw = np.fromfile(path, dtype=np.uint8)
    n, table = run._numpy_layout(raw, np)
    out = np.empty((table.shape[0], n), dtype=np.float32)
    offsets = np.arange(run.FIELDS_PER_LINE * width, dtype=np.int64)
    for k in range(table.shape[1] - 1):
        count = min(run.FIELDS_PER_LINE, n - k * run.FIELDS_PER_LINE)
        index = table[:, k + 1, None] + offsets[None, :count * width]
        fields = raw[index].reshape(-1, width)
        values = run._fixed_exponent_values(fields, width, np)
        if values is None:
            values = np.ascontiguousarray(fields).view(f"S{width}").ravel().astype(np.float64)
        out[:, k * run.FIELDS_PER_LINE:k * run.FIELDS_PER_LINE + count] = values.reshape(-1, count)
    return out


def child(method, path, width):
    # One cold call in this fresh process; prints one JSON line.
    if method == "arrays":
        import kelmor_arrays
        reader = lambda p, w: kelmor_arrays.read(p, w)  # noqa: E731
    elif method == "kelmor":
        import kelmor
        reader = kelmor.rust_read_valdrum
    else:
        import numpy  # noqa: F401
        reader = numpy_rows
    reader(str(SAMPLE), 12)  # the modules' code into memory: see the module's doc string
    before = run.rss_bytes()
    have_peak = run.reset_peak()
    start = clock()
    result = reader(path, width)
    seconds = clock() - start
    peak = run.peak_rss_bytes() if have_peak else 0
    after = run.rss_bytes()
    record = {"seconds": seconds, "before": before, "peak": peak, "after": after}
    if method == "arrays":
        import numpy as np
        reference = np.fromfile(Path(path).with_suffix(".f32"), dtype=np.float32,
                                offset=len(Path(path).with_suffix(".f32").open("rb").readline()))
        values = np.asarray(result.values)
        record["same"] = bool(np.array_equal(values.T.ravel().view(np.uint32),
                                             reference.view(np.uint32)))
        headers = result.block_headers
        record["headers"] = sum(len(headers[i]) for i in range(len(headers))) + 8 * len(headers)
        record["names"] = sys.getsizeof(result.names) + sum(sys.getsizeof(n) for n in result.names)
    print(json.dumps(record))


def cold(method, path, width, runs):
    records = []
    for _ in range(runs):
        if method in ("columns", "rows"):
            command = [str(READ_TIMED), method, str(path), str(width)]
        else:
            command = [sys.executable, __file__, "--child", method, str(path), str(width)]
        out = subprocess.run(command, check=True, capture_output=True, text=True)
        records.append(json.loads(out.stdout.strip().splitlines()[-1]))
    return records


def median(records, key="seconds"):
    return statistics.median(r[key] for r in records)


def threads(paths, width, runs, read):
    # Wall time: two files on one thread, then on two threads at once; warm (a first read
    # of each before), the median of `runs` of each, taking turns.
    for path in paths:
        read(path, width)
    one, two = [], []
    for _ in range(runs):
        start = time.perf_counter()
        for path in paths:
            read(path, width)
        one.append(time.perf_counter() - start)
        workers = [threading.Thread(target=read, args=(path, width)) for path in paths]
        start = time.perf_counter()
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        two.append(time.perf_counter() - start)
    return statistics.median(one), statistics.median(two)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small and medium sizes, 3 runs")
    parser.add_argument("--sizes", help="comma-separated subset of " + ",".join(generate.TIMED_SIZES))
    parser.add_argument("--runs", type=int, help="fresh processes per cold median")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], args.child[1], int(args.child[2]))
        return
    if not READ_TIMED.exists():
        sys.exit(f"{READ_TIMED} is missing: `make bench` builds it")
    sizes = args.sizes.split(",") if args.sizes else generate.sizes_for(args.quick)
    runs = args.runs or (3 if args.quick else 5)
    print(f"kelmor_arrays benchmark, {time.strftime('%Y-%m-%d %H:%M %Z')}, {platform.node()}, "
          f"{platform.machine()} {os.cpu_count()} cpus, Python {platform.python_version()}")
    print(f"cold: median of {runs} fresh processes; ns per value of "
          f"{'wall' if clock is time.perf_counter else 'processor'} time", flush=True)
    rows, missed = [], []
    for size in sizes:
        for width in generate.WIDTHS:
            path = generate.ensure(size, width)
            run.write_reference(path, width)
            parameters, steps = generate.SIZES[size]
            values = parameters * steps
            ns = lambda s: s * 1e9 / values  # noqa: E731
            columns, core_rows, arrays = [], [], []
            for _ in range(runs):  # taking turns, so that all meet the same load
                columns += cold("columns", path, width, 1)
                core_rows += cold("rows", path, width, 1)
                arrays += cold("arrays", path, width, 1)
            numpy_runs = cold("numpy", path, width, min(3, runs))
            kelmor_runs = cold("kelmor", path, width, 1 if values >= 10_000_000 else min(3, runs))
            result_bytes = 4 * values + arrays[0]["headers"] + arrays[0]["names"]
            row = {
                "size": size, "width": width, "values": values,
                "core": ns(median(columns)), "core_rows": ns(median(core_rows)),
                "arrays": ns(median(arrays)), "numpy": ns(median(numpy_runs)),
                "kelmor": ns(median(kelmor_runs)),
                "arrays_peak": statistics.median(r["peak"] - r["before"] for r in arrays),
                "kelmor_peak": statistics.median(r["peak"] - r["before"] for r in kelmor_runs),
                "result": result_bytes,
                "same": all(r["same"] for r in arrays),
            }
            row["vs_core"] = row["arrays"] / row["core"]
            row["vs_numpy"] = row["numpy"] / row["arrays"]
            row["memory"] = row["arrays_peak"] / result_bytes
            if row["vs_core"] > TARGET_CORE:
                missed.append(f"{path.name}: arrays/core {row['vs_core']:.2f} > {TARGET_CORE}")
            if row["vs_numpy"] < TARGET_NUMPY:
                missed.append(f"{path.name}: numpy/arrays {row['vs_numpy']:.1f} < {TARGET_NUMPY}")
            if row["memory"] > TARGET_MEMORY:
                missed.append(f"{path.name}: memory {row['memory']:.2f} > {TARGET_MEMORY}")
            if not row["same"]:
                missed.append(f"{path.name}: values differ from kelmor's")
            rows.append(row)
            print(f"  {size:6s} w{width}: " + ", ".join(
                f"{k}={v:.3g}" if isinstance(v, float) else f"{k}={v}"
                for k, v in row.items() if k not in ("size", "width")), flush=True)
    print()
    print_table(rows)

    # Threads: the two widths of the largest size, so two files of the same shape.
    import kelmor
    import kelmor_arrays
    size = sizes[-1] if "large" not in sizes else "large"
    paths = [str(generate.ensure(size, width)) for width in generate.WIDTHS]
    print()
    print(f"threads: {size} files, both widths each read with its own width, wall time, "
          f"median of {runs}")
    import hashlib
    blob = os.urandom(50_000_000)
    for name, read in (("kelmor_arrays", lambda p, w: kelmor_arrays.read(p, int(p[-6:-4]))),
                       ("kelmor", lambda p, w: kelmor.rust_read_valdrum(p, int(p[-6:-4]))),
                       ("hashlib", lambda p, w: hashlib.sha256(blob).digest())):
        one, two = threads(paths, None, runs, read)
        print(f"  {name:13s}: 1 thread {one * 1e3:.0f} ms, 2 threads {two * 1e3:.0f} ms, "
              f"speed-up {one / two:.2f}")
    if missed:
        print("TARGETS MISSED: " + "; ".join(missed))
        sys.exit(1)


def print_table(rows):
    head = ["size", "w", "values", "core", "core rows", "arrays", "arrays/core", "numpy",
            "numpy/arrays", "kelmor", "kelmor/arrays", "arrays peak MB", "result MB",
            "peak/result", "kelmor peak MB"]
    lines = [head]
    for r in rows:
        lines.append([r["size"], str(r["width"]), f"{r['values']:,}", f"{r['core']:.1f}",
                      f"{r['core_rows']:.1f}", f"{r['arrays']:.1f}", f"{r['vs_core']:.2f}",
                      f"{r['numpy']:.0f}", f"{r['vs_numpy']:.1f}", f"{r['kelmor']:.1f}",
                      f"{r['kelmor'] / r['arrays']:.1f}", f"{r['arrays_peak'] / 2**20:.0f}",
                      f"{r['result'] / 2**20:.0f}", f"{r['memory']:.2f}",
                      f"{r['kelmor_peak'] / 2**20:.0f}"])
    widths = [max(len(line[i]) for line in lines) for i in range(len(head))]
    for i, line in enumerate(lines):
        print("| " + " | ".join(c.rjust(w) for c, w in zip(line, widths)) + " |")
        if i == 0:
            print("|" + "|".join("-" * (w + 1) + ":" for w in widths) + "|")
    print("ns per value, cold (fresh process, median); core = the C++ core into columns, core "
          "rows = into rows; peak = RSS growth during the call; result = 4 bytes per value + "
          "names + headers")


if __name__ == "__main__":
    main()
