#!/usr/bin/env python3
"""Writes a realistic VALDRUM plot file: a header naming the parameters, then one block per
timestep of right-aligned values in fixed-width fields, ten to a line.

Width 12 holds 6 significant digits (" 1.23456E+02"), width 15 holds 9 (" 1.23456789E+02").
The values follow smooth physical-looking curves of every magnitude and sign, so that a
reader meets what simulation codes write, and the output depends only on the arguments.
"""

import argparse
import math
import random

KINDS = [
    ("PRESSURE", 1.0e5, 0.3),
    ("TEMPERATURE", 5.5e2, 0.1),
    ("MASS_FLOW", 1.2e1, 1.5),
    ("VOID_FRACTION", 0.5, 0.9),
    ("VELOCITY", 3.0, 2.0),
    ("HEAT_FLUX", 2.0e6, 0.5),
    ("LEVEL", 4.2, 0.2),
    ("POWER", 3.0e9, 0.05),
    ("CONCENTRATION", 1.0e-7, 0.8),
    ("DIFFERENTIAL_PRESSURE", 0.0, 1.0),
]


def field(value: float, width: int) -> str:
    digits = 5 if width < 15 else 8
    return f"{value:.{digits}E}".rjust(width)


def write_plot_file(path, parameters: int, steps: int, width: int = 12, seed: int = 1,
                    time_step: float = 0.1, run: int | None = None) -> None:
    """With `run`, the file is run number `run` of a parameter study: the curves of `seed`,
    each with a level, amplitude, pace and phase of its own, and noise of its own, so that
    the runs of one seed spread around common shapes, as the runs of a model with varied
    inputs do."""
    rng = random.Random(seed)
    curves = []
    names = []
    for p in range(parameters):
        name, scale, spread = KINDS[p % len(KINDS)]
        names.append(f"{name}_{p // len(KINDS) + 1}")
        curves.append((scale, spread, rng.uniform(0.05, 2.0), rng.uniform(0, math.tau)))
    if run is not None:
        rng = random.Random(f"{seed}/{run}")
        curves = [(scale * rng.uniform(0.95, 1.05), spread * rng.uniform(0.6, 1.4),
                   rate * rng.uniform(0.85, 1.15), phase + rng.gauss(0.0, 0.15))
                  for scale, spread, rate, phase in curves]
    with open(path, "w", encoding="ascii", newline="\n") as out:
        out.write(f"VALDRUM PLOT FILE   NUMBER OF PARAMETERS: {parameters:6d}\n")
        for p, name in enumerate(names):
            out.write(f"{p + 1:6d}  {name}\n")
        for step in range(steps):
            time = step * time_step
            out.write(f" TIME = {field(time, width).strip()} S   STEP {step:8d}\n")
            line = []
            for p, (scale, spread, rate, phase) in enumerate(curves):
                wave = math.sin(rate * time + phase) + 0.05 * rng.gauss(0.0, 1.0)
                value = scale * (1.0 + spread * wave) if scale else spread * wave * 1.0e3
                line.append(field(value, width))
                if len(line) == 10 or p + 1 == parameters:
                    out.write("".join(line) + "\n")
                    line = []


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output")
    parser.add_argument("--parameters", type=int, default=36)
    parser.add_argument("--steps", type=int, default=300)
    parser.add_argument("--width", type=int, choices=(12, 15), default=12)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--run", type=int, help="write run RUN of a parameter study of SEED")
    args = parser.parse_args()
    write_plot_file(args.output, args.parameters, args.steps, args.width, args.seed, run=args.run)


if __name__ == "__main__":
    main()
