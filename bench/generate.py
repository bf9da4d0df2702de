#!/usr/bin/env python3
"""Writes the benchmark's plot files into bench/data (kept out of git), once: a file that
already exists is reused, since the output depends only on its name's parameters.

Sizes (parameters x timesteps): small 50 x 2000, medium 500 x 5000, and three files of 10
million values each that differ in shape: large 2000 x 5000, long 10 x 1,000,000 (few
parameters, many blocks) and wide 100,000 x 100 (many parameters, few blocks); each in widths
12 (" 1.23456E+02") and 15 (" 1.23456789E+02"). The same three shapes at 200,000 values are
the files whose instructions bench/instructions.py counts.
"""

import argparse
import importlib.util
import os
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
DATA = HERE / "data"

SIZES = {"small": (50, 2000), "medium": (500, 5000), "large": (2000, 5000),
         "long": (10, 1_000_000), "wide": (100_000, 100),
         "count": (200, 1000), "count_long": (10, 20_000), "count_wide": (20_000, 10)}
TIMED_SIZES = ["small", "medium", "large", "long", "wide"]
QUICK_SIZES = ["small", "medium"]
INSTRUCTION_SHAPES = ["count", "count_long", "count_wide"]
WIDTHS = (12, 15)


def _load_writer():
    # The realistic file writer of tools/, shared with the tests and the examples.
    spec = importlib.util.spec_from_file_location("make_plot_file",
                                                  HERE.parent / "tools" / "make_plot_file.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.write_plot_file


def plot_path(size: str, width: int) -> Path:
    parameters, steps = SIZES[size]
    return DATA / f"plot_{parameters}x{steps}_w{width}.txt"


def ensure(size: str, width: int) -> Path:
    path = plot_path(size, width)
    if not path.exists():
        parameters, steps = SIZES[size]
        print(f"generating {path.name} ...", file=sys.stderr, flush=True)
        DATA.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".partial")
        _load_writer()(partial, parameters, steps, width, seed=parameters + width)
        os.replace(partial, path)
    return path


def sizes_for(quick: bool):
    return QUICK_SIZES if quick else TIMED_SIZES


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small and medium sizes only")
    args, _ = parser.parse_known_args()
    for size in sizes_for(args.quick):
        for width in WIDTHS:
            print(ensure(size, width))


if __name__ == "__main__":
    main()
