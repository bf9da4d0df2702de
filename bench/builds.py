#!/usr/bin/env python3
"""Compares builds of kelmor (for example the developer build by g++ and libstdc++ against the
portable wheel built by Zig's clang and libc++) on the benchmark's plot files: warm reads in
processor time, the builds taking turns in every round, and each build's speed as a ratio to
the first one's.

Usage: bench/builds.py [--rounds N] [--quick] LABEL=PYTHON LABEL=PYTHON...
Each PYTHON is an interpreter whose environment has the build of kelmor to measure. The
interpreters should be of one CPython version: the result's float objects cost what the
interpreter makes them cost.
"""

import argparse
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import generate  # noqa: E402

# Run in each interpreter: one read to warm the file's pages and the allocator, then the fastest
# of `repeats` reads, in processor time per value, and where the module came from.
CHILD = """
import sys, time, kelmor
path, width, repeats = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
result = kelmor.rust_read_valdrum(path, width)
values = sum(len(column) for column in result)
del result
best = float("inf")
for _ in range(repeats):
    start = time.process_time()
    result = kelmor.rust_read_valdrum(path, width)
    best = min(best, time.process_time() - start)
    del result
print(best / values * 1e9, kelmor.__file__)
"""


def parse_build(text: str) -> tuple[str, str]:
    label, separator, python = text.partition("=")
    if not separator or not label or not python:
        raise argparse.ArgumentTypeError(f"{text!r} is not LABEL=PYTHON")
    return label, python


def measure(python: str, path: Path, width: int, repeats: int) -> tuple[float, str]:
    done = subprocess.run([python, "-c", CHILD, str(path), str(width), str(repeats)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"builds.py: {python} failed:\n{done.stderr}")
    ns, module = done.stdout.split(maxsplit=1)
    return float(ns), module.strip()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="+", type=parse_build, metavar="LABEL=PYTHON")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--repeats", type=int, default=5, help="reads per round and build")
    parser.add_argument("--quick", action="store_true", help="the small files only")
    args = parser.parse_args()
    if len(args.builds) < 2:
        parser.error("give two builds or more")

    sizes = ["small"] if args.quick else ["small", "medium"]
    print("| file | " + " | ".join(f"{label} ns/value" for label, _ in args.builds) + " | " +
          " | ".join(f"{label}/{args.builds[0][0]}" for label, _ in args.builds[1:]) + " |")
    print("|---" * (2 * len(args.builds)) + "|")
    modules = {}
    for size in sizes:
        for width in generate.WIDTHS:
            path = generate.ensure(size, width)
            times = {label: [] for label, _ in args.builds}
            for round_ in range(args.rounds):
                # Every round in another order, so that none is always first after a pause.
                order = args.builds[round_ % len(args.builds):] + \
                    args.builds[:round_ % len(args.builds)]
                for label, python in order:
                    ns, modules[label] = measure(python, path, width, args.repeats)
                    times[label].append(ns)
            medians = [statistics.median(times[label]) for label, _ in args.builds]
            print(f"| {path.name} | " + " | ".join(f"{m:.1f}" for m in medians) + " | " +
                  " | ".join(f"{m / medians[0]:.3f}" for m in medians[1:]) + " |", flush=True)
    for label, module in modules.items():
        print(f"{label}: {module}")


if __name__ == "__main__":
    main()
