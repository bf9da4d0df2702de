#!/usr/bin/env python3
"""Instructions per value of kelmor's reads, counted by callgrind: a figure that, unlike a
time, does not depend on the load of a shared machine.

For each shape and width it prints:
  core         the reader core alone (read_plot_file in bench/read_once.cpp), inclusive
  call-floor   a whole kelmor.rust_read_valdrum call minus the floor's work (reading the
               file's bytes and array('f').tolist() per column), in processes that differ
               only in that one call; this is what kelmor adds on top of the floor
  call, floor  the call and the floor alone, each over a process that makes neither
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import generate  # noqa: E402


def callgrind(command, extra=()):
    # The instructions callgrind collects while running `command`.
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "callgrind.out"
        env = dict(os.environ, PYTHONHASHSEED="0")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *extra,
                        *command], check=True, env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        text = out.read_text()
    found = re.search(r"^(?:totals|summary): (\d+)", text, re.M)
    if not found:
        sys.exit(f"instructions: no total in callgrind's output for {command}")
    return int(found.group(1))


def child(mode, path, width):
    # The same set-up in every mode (module imported, the floor's columns loaded), then at
    # most one read.
    import run
    import kelmor  # noqa: F401
    floor = run.floor_reader_factory(Path(path))
    if mode == "kelmor":
        run.kelmor_reader(path, width)
    elif mode == "floor":
        floor(path, width)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--read-once", required=True, help="path of the read_once executable")
    parser.add_argument("--no-calls", action="store_true", help="count the core only")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], args.child[1], int(args.child[2]))
        return
    import run
    print("instructions per value (callgrind); call-floor = kelmor's call minus the floor")
    print(f"| {'shape':>14} | w  | {'core':>6} | {'call-floor':>10} | {'call':>6} | {'floor':>6} |")
    print(f"|{'-' * 15}:|---:|{'-' * 7}:|{'-' * 11}:|{'-' * 7}:|{'-' * 7}:|")
    for shape in generate.INSTRUCTION_SHAPES:
        parameters, steps = generate.SIZES[shape]
        values = parameters * steps
        for width in generate.WIDTHS:
            path = generate.ensure(shape, width)
            core = callgrind([args.read_once, str(path), str(width)],
                             ["--toggle-collect=kelmor::read_plot_file*"]) / values
            row = f"| {f'{parameters}x{steps}':>14} | {width} | {core:6.1f} |"
            if not args.no_calls:
                run.write_reference(path, width)
                counts = {mode: callgrind([sys.executable, __file__, "--read-once",
                                           args.read_once, "--child", mode, str(path),
                                           str(width)])
                          for mode in ("none", "kelmor", "floor")}
                extra = (counts["kelmor"] - counts["floor"]) / values
                call = (counts["kelmor"] - counts["none"]) / values
                floor = (counts["floor"] - counts["none"]) / values
                row += f" {extra:10.1f} | {call:6.1f} | {floor:6.1f} |"
            print(row, flush=True)


if __name__ == "__main__":
    main()
