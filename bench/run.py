#!/usr/bin/env python3
"""Benchmark of kelmor.rust_read_valdrum against the floor (what returning the result costs
at least) and against the readers a user would write instead, on generated plot files.

For every size and width it prints, in ns per value:
  kelmor cold  one call in a fresh process (median of --runs processes), with its peak RSS
  kelmor warm  median of repeated calls in this process after a first call
  floor        reading the file's bytes plus building the same list of lists from
               already-parsed binary32 columns (array('f').tolist() per column), cold and warm;
               kelmor's and the floor's runs take turns, so that both meet the same load
  peers        a plain pure-Python reader, a vectorised NumPy reader, pandas.read_fwf (cold)
and the ratios kelmor/floor, peer/kelmor, and kelmor's transient memory: (peak RSS during
the call - RSS before) / (RSS after, result alive - RSS before).

Peer results are checked against kelmor's. The NumPy and pandas readers parse to binary64 and
then round to binary32, which differs from the direct correctly rounded conversion in rare
double-rounding cases, so peers may differ by at most 1 ulp; the pure-Python reader returns
binary64 values, which are rounded to binary32 for the check.
"""

import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from array import array
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import generate  # noqa: E402

FIELDS_PER_LINE = 10

# The time a reader takes: the processor time of this process (user and system, so page
# faults and reads count), which other processes on a shared machine disturb far less than
# the time on the wall; KELMOR_BENCH_CLOCK=wall measures that instead.
clock = time.perf_counter if os.environ.get("KELMOR_BENCH_CLOCK") == "wall" else time.process_time


# ---------------------------------------------------------------------------------------
# Readers. Each takes (path, width) and returns a list of columns of Python floats.

def kelmor_reader(path, width):
    import kelmor
    return kelmor.rust_read_valdrum(str(path), width)


def python_reader(path, width):
    # What a user writes first: line by line, slice the fields, float() each.
    with open(path, encoding="utf-8") as f:
        n = int(f.readline().split()[-1])
        for _ in range(n):
            f.readline()
        columns = [[] for _ in range(n)]
        while f.readline():
            for base in range(0, n, FIELDS_PER_LINE):
                line = f.readline()
                for j in range(min(FIELDS_PER_LINE, n - base)):
                    columns[base + j].append(float(line[j * width:(j + 1) * width]))
    return columns


def _numpy_layout(raw, np):
    # Line starts of the whole file, the parameter count, and the block line table.
    feeds = np.flatnonzero(raw == 10)
    starts = np.empty(len(feeds) + 1, dtype=np.int64)
    starts[0] = 0
    starts[1:] = feeds + 1
    first = bytes(raw[:feeds[0]]).decode()
    n = int(first.split()[-1])
    lines_per_block = 1 + (n + FIELDS_PER_LINE - 1) // FIELDS_PER_LINE
    block_starts = starts[1 + n:len(feeds)]
    blocks = len(block_starts) // lines_per_block
    return n, block_starts[:blocks * lines_per_block].reshape(blocks, lines_per_block)


def _fixed_exponent_values(fields, width, np):
    # Vectorised decoding of fields written as [ -+]D.DDD...E[-+]DD, right-aligned; None when
    # any field has another shape (then the generic string cast is used).
    fraction = width - 7
    digits = fields[:, 3:3 + fraction].astype(np.int64) - 48
    lead = fields[:, 1].astype(np.int64) - 48
    exp_digits = fields[:, width - 2:].astype(np.int64) - 48
    ok = ((fields[:, 2] == 46) & (fields[:, width - 4] == 69) & (lead >= 0) & (lead <= 9)
          & ((digits >= 0) & (digits <= 9)).all(axis=1)
          & ((exp_digits >= 0) & (exp_digits <= 9)).all(axis=1)
          & ((fields[:, 0] == 32) | (fields[:, 0] == 45) | (fields[:, 0] == 43))
          & ((fields[:, width - 3] == 43) | (fields[:, width - 3] == 45)))
    if not ok.all():
        return None
    weights = 10 ** np.arange(fraction - 1, -1, -1, dtype=np.int64)
    mantissa = (lead * 10 ** fraction + digits @ weights).astype(np.float64)
    exponent = exp_digits[:, 0] * 10 + exp_digits[:, 1]
    exponent = np.where(fields[:, width - 3] == 45, -exponent, exponent) - fraction
    if np.abs(exponent).max() > 22:
        return None
    # Both operands exact in binary64: one correctly rounded multiplication or division.
    powers = 10.0 ** np.abs(exponent)
    values = np.where(exponent >= 0, mantissa * powers, mantissa / powers)
    return np.where(fields[:, 0] == 45, -values, values)


def numpy_reader(path, width):
    import numpy as np
    raw = np.fromfile(path, dtype=np.uint8)
    n, table = _numpy_layout(raw, np)
    out = np.empty((n, table.shape[0]), dtype=np.float32)
    offsets = np.arange(FIELDS_PER_LINE * width, dtype=np.int64)
    for k in range(table.shape[1] - 1):
        count = min(FIELDS_PER_LINE, n - k * FIELDS_PER_LINE)
        index = table[:, k + 1, None] + offsets[None, :count * width]
        fields = raw[index].reshape(-1, width)
        values = _fixed_exponent_values(fields, width, np)
        if values is None:
            values = np.ascontiguousarray(fields).view(f"S{width}").ravel().astype(np.float64)
        out[k * FIELDS_PER_LINE:k * FIELDS_PER_LINE + count, :] = values.reshape(-1, count).T
    return out.tolist()


def pandas_reader(path, width):
    import numpy as np
    import pandas as pd
    with open(path, encoding="utf-8") as f:
        n = int(f.readline().split()[-1])
    lines_per_block = 1 + (n + FIELDS_PER_LINE - 1) // FIELDS_PER_LINE
    total = sum(1 for _ in open(path, "rb"))
    skip = set(range(1 + n))
    skip.update(range(1 + n, total, lines_per_block))
    frame = pd.read_fwf(path, widths=[width] * FIELDS_PER_LINE, header=None, skiprows=skip,
                        dtype=np.float64)
    values = frame.to_numpy(dtype=np.float64)
    values = values.reshape(-1, (lines_per_block - 1) * FIELDS_PER_LINE)[:, :n]
    return values.astype(np.float32).T.tolist()


def load_reference(path):
    # kelmor's result for the file, written by this script as binary32 columns.
    ref = path.with_suffix(".f32")
    n, steps = None, None
    data = array("f")
    with open(ref, "rb") as f:
        header = f.readline().split()
        n, steps = int(header[0]), int(header[1])
        data.frombytes(f.read())
    return [data[i * steps:(i + 1) * steps] for i in range(n)]


def floor_reader_factory(path):
    columns = load_reference(path)
    buffer = bytearray(1 << 20)

    def floor(path, width):
        # Read every byte of the file through one reused buffer, as a reader must.
        with open(path, "rb", buffering=0) as f:
            view = memoryview(buffer)
            while f.readinto(view):
                pass
        return [column.tolist() for column in columns]
    return floor


READERS = {"kelmor": kelmor_reader, "python": python_reader, "numpy": numpy_reader,
           "pandas": pandas_reader}


# ---------------------------------------------------------------------------------------
# Memory of this process.

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def reset_peak():
    # Writing 5 resets the peak RSS (VmHWM) to the current RSS.
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def max_ulp_difference(result, reference, round_to_binary32):
    # Largest distance in binary32 units in the last place between result and reference, and
    # the number of values that differ at all.
    import numpy as np
    if len(result) != len(reference):
        return None, None
    worst, differing = 0, 0
    for got, want in zip(result, reference):
        if len(got) != len(want):
            return None, None
        g = np.asarray(got, dtype=np.float64 if round_to_binary32 else np.float32)
        g = g.astype(np.float32)
        w = np.frombuffer(want, dtype=np.float32)
        gi = g.view(np.int32).astype(np.int64)
        wi = w.view(np.int32).astype(np.int64)
        # Map the sign-magnitude bit patterns onto a monotone integer line.
        gi = np.where(gi < 0, -(gi & 0x7FFFFFFF), gi)
        wi = np.where(wi < 0, -(wi & 0x7FFFFFFF), wi)
        d = np.abs(gi - wi)
        worst = max(worst, int(d.max()) if len(d) else 0)
        differing += int(np.count_nonzero(d))
    return worst, differing


def child(method, path, width):
    # One cold call in this fresh process; prints one JSON line.
    path = Path(path)
    if method == "floor":
        reader = floor_reader_factory(path)
    else:
        reader = READERS[method]
        if method == "kelmor":
            import kelmor  # noqa: F401  (importing is not part of the call)
        elif method in ("numpy", "pandas"):
            import numpy  # noqa: F401
            if method == "pandas":
                import pandas  # noqa: F401
    before = rss_bytes()
    have_peak = reset_peak()
    start = clock()
    result = reader(path, width)
    seconds = clock() - start
    peak = peak_rss_bytes() if have_peak else 0
    after = rss_bytes()
    # The result's own memory: the lists' objects and slot arrays and the floats.
    own = sys.getsizeof(result) + sum(sys.getsizeof(column) for column in result)
    own += sum(len(column) for column in result) * sys.getsizeof(1.0)
    record = {"seconds": seconds, "before": before, "peak": peak, "after": after, "own": own}
    if method not in ("kelmor", "floor"):
        worst, differing = max_ulp_difference(result, load_reference(path), method == "python")
        record.update(max_ulp=worst, differing=differing)
    print(json.dumps(record))


def cold(method, path, width, runs):
    records = []
    for _ in range(runs):
        out = subprocess.run([sys.executable, __file__, "--child", method, str(path), str(width)],
                             check=True, capture_output=True, text=True)
        records.append(json.loads(out.stdout.strip().splitlines()[-1]))
    return records


def cold_pair(path, width, runs):
    # kelmor's and the floor's fresh processes take turns, so that a change in the load of a
    # shared machine falls on both alike.
    kelmor, floor = [], []
    for _ in range(runs):
        kelmor += cold("kelmor", path, width, 1)
        floor += cold("floor", path, width, 1)
    return kelmor, floor


def warm_pair(readers, path, width, repeats):
    # Repeated calls of each reader in this process, taking turns after a first call of each;
    # the median of each reader's times.
    for reader in readers:
        reader(path, width)
    times = [[] for _ in readers]
    for _ in range(repeats):
        for reader, spent in zip(readers, times):
            start = clock()
            result = reader(path, width)
            spent.append(clock() - start)
            del result
    return [statistics.median(spent) for spent in times]


def write_reference(path, width):
    ref = path.with_suffix(".f32")
    if ref.exists() and ref.stat().st_mtime >= path.stat().st_mtime:
        return
    columns = kelmor_reader(path, width)
    with open(ref, "wb") as f:
        f.write(f"{len(columns)} {len(columns[0]) if columns else 0}\n".encode())
        for column in columns:
            f.write(array("f", column).tobytes())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="small and medium sizes, fewer runs (for development)")
    parser.add_argument("--sizes", help="comma-separated subset of " + ",".join(generate.TIMED_SIZES))
    parser.add_argument("--runs", type=int, help="fresh processes per cold kelmor/floor median")
    parser.add_argument("--no-peers", action="store_true", help="kelmor and the floor only")
    parser.add_argument("--child", nargs=3, metavar=("METHOD", "PATH", "WIDTH"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], args.child[1], int(args.child[2]))
        return

    sizes = args.sizes.split(",") if args.sizes else generate.sizes_for(args.quick)
    runs = args.runs or (3 if args.quick else 5)
    rows = []
    disagreements = []
    print(f"kelmor benchmark, {time.strftime('%Y-%m-%d %H:%M %Z')}, {platform.node()}, "
          f"{platform.machine()} {os.cpu_count()} cpus, Python {platform.python_version()}")
    print(f"cold: median of {runs} fresh processes; ns per value of "
          f"{'wall' if clock is time.perf_counter else 'processor'} time; peers checked against "
          "kelmor (NumPy/pandas within 1 binary32 ulp: they round through binary64)",
          flush=True)
    for size in sizes:
        for width in generate.WIDTHS:
            path = generate.ensure(size, width)
            write_reference(path, width)
            parameters, steps = generate.SIZES[size]
            values = parameters * steps
            ns = lambda s: s * 1e9 / values  # noqa: E731
            row = {"size": size, "width": width, "values": values}
            k, f = cold_pair(path, width, runs)
            row["kelmor_cold"] = ns(statistics.median(r["seconds"] for r in k))
            row["peak_mb"] = statistics.median(r["peak"] for r in k) / 2**20
            row["transient"] = statistics.median(
                (r["peak"] - r["before"]) / max(1, r["after"] - r["before"]) for r in k)
            # The result's memory as the process sees it: what the floor's result adds to its
            # RSS (the floats' and slot arrays' allocator rounding included).
            result_bytes = statistics.median(r["after"] - r["before"] for r in f)
            row["result_mb"] = result_bytes / 2**20
            row["peak_own"] = statistics.median((r["peak"] - r["before"]) / result_bytes for r in k)
            row["floor_cold"] = ns(statistics.median(r["seconds"] for r in f))
            repeats = 5 if values > 1_000_000 else 15
            kelmor_warm, floor_warm = warm_pair([kelmor_reader, floor_reader_factory(path)], path,
                                                width, repeats)
            row["kelmor_warm"], row["floor_warm"] = ns(kelmor_warm), ns(floor_warm)
            gc.collect()
            if not args.no_peers:
                for peer in ("python", "numpy", "pandas"):
                    peer_runs = runs if peer == "numpy" else (1 if values >= 10_000_000 else min(3, runs))
                    p = cold(peer, path, width, peer_runs)
                    row[peer] = ns(statistics.median(r["seconds"] for r in p))
                    ulps = [r["max_ulp"] for r in p]
                    row[peer + "_ulp"] = None if None in ulps else max(ulps)
                    row[peer + "_diff"] = max((r["differing"] or 0) for r in p)
                    if row[peer + "_ulp"] is None or row[peer + "_ulp"] > 1:
                        disagreements.append(f"{peer} on {path.name}: {row[peer + '_ulp']} ulp")
            rows.append(row)
            print_row(row)
    print()
    print_table(rows, args.no_peers)
    if disagreements:
        print("PEER RESULTS DIFFER FROM KELMOR'S BY MORE THAN 1 ULP (or in shape): " +
              "; ".join(disagreements))
        sys.exit(1)


def print_row(row):
    print(f"  {row['size']:6s} w{row['width']}: " +
          ", ".join(f"{k}={v:.3g}" if isinstance(v, float) else f"{k}={v}"
                    for k, v in row.items() if k not in ("size", "width")), flush=True)


def print_table(rows, no_peers):
    head = ["size", "w", "values", "kelmor cold", "floor cold", "k/floor cold", "kelmor warm",
            "floor warm", "k/floor warm", "peak RSS MB", "transient", "growth/result"]
    if not no_peers:
        head += ["python", "numpy", "pandas", "python/k", "numpy/k", "pandas/k", "peer ulps"]
    lines = [head]
    for r in rows:
        line = [r["size"], str(r["width"]), f"{r['values']:,}",
                f"{r['kelmor_cold']:.1f}", f"{r['floor_cold']:.1f}",
                f"{r['kelmor_cold'] / r['floor_cold']:.2f}",
                f"{r['kelmor_warm']:.1f}", f"{r['floor_warm']:.1f}",
                f"{r['kelmor_warm'] / r['floor_warm']:.2f}",
                f"{r['peak_mb']:.0f}", f"{r['transient']:.2f}", f"{r['peak_own']:.2f}"]
        if not no_peers:
            line += [f"{r['python']:.0f}", f"{r['numpy']:.0f}", f"{r['pandas']:.0f}",
                     f"{r['python'] / r['kelmor_cold']:.1f}",
                     f"{r['numpy'] / r['kelmor_cold']:.1f}",
                     f"{r['pandas'] / r['kelmor_cold']:.1f}",
                     "/".join(str(r[p + "_ulp"]) for p in ("python", "numpy", "pandas"))]
        lines.append(line)
    widths = [max(len(line[i]) for line in lines) for i in range(len(head))]
    for i, line in enumerate(lines):
        print("| " + " | ".join(c.rjust(w) for c, w in zip(line, widths)) + " |")
        if i == 0:
            print("|" + "|".join("-" * (w + 1) + ":" for w in widths) + "|")
    print("ns per value; k = kelmor; cold = fresh process, median; warm = repeated calls in one "
          "process; transient = (peak - before) / (after - before), growth/result = kelmor's (peak - before) / the RSS that the floor's result adds (the result's own memory); peer ulps = largest "
          "binary32 ulp difference from kelmor (python/numpy/pandas)")


if __name__ == "__main__":
    main()
