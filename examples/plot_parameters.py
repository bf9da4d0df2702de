"""Plots a few parameters of a plot file over time and saves the figure as a PNG.

Usage: python examples/plot_parameters.py [-w WIDTH] [-o OUTPUT.png] [PLOT_FILE [PARAMETER ...]]
Default: the bundled sample, four parameters of its first group, written to parameters.png.
Needs: pip install .[examples]
"""

import argparse
import pathlib

import matplotlib

matplotlib.use("Agg")  # renders to files only: no display needed, works in batch jobs and CI
import matplotlib.pyplot as pyplot  # noqa: E402  (the backend is chosen before pyplot loads)
from matplotlib.figure import Figure  # noqa: E402

import kelmor  # noqa: E402
from plot_header import read_header  # noqa: E402

SAMPLE = str(pathlib.Path(__file__).with_name("sample.plt"))
DEFAULT_PARAMETERS = ["PRESSURE_1", "TEMPERATURE_1", "MASS_FLOW_1", "VOID_FRACTION_1"]


def plot_parameters(path: str, width: int, parameters: list[str]) -> Figure:
    """A figure with one panel per named parameter (their scales differ by orders of
    magnitude), all against the time of the block header lines, or the timestep number when
    the headers hold no time."""
    columns = kelmor.rust_read_valdrum(path, width)
    names, times = read_header(path, len(columns))
    missing = [name for name in parameters if name not in names]
    if missing:
        raise ValueError(f"no parameter named {', '.join(missing)} in {path}")
    if any(time != time for time in times):  # NaN: a header without a time
        x_values, x_label = list(range(len(times))), "timestep"
    else:
        x_values, x_label = times, "time [s]"

    figure, axes = pyplot.subplots(len(parameters), 1, sharex=True, squeeze=False,
                                   figsize=(8, 2 * len(parameters)), layout="constrained")
    for axis, name in zip(axes[:, 0], parameters):
        axis.plot(x_values, columns[names.index(name)], linewidth=1)
        axis.set_ylabel(name, fontsize="small")
        axis.grid(True, alpha=0.3)
    axes[-1, 0].set_xlabel(x_label)
    figure.suptitle(pathlib.Path(path).name)
    return figure


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("plot_file", nargs="?", default=SAMPLE)
    parser.add_argument("parameters", nargs="*", default=DEFAULT_PARAMETERS)
    parser.add_argument("-w", "--width", type=int, default=12, help="field width (12 or 15)")
    parser.add_argument("-o", "--output", default="parameters.png")
    args = parser.parse_args()

    figure = plot_parameters(args.plot_file, args.width, args.parameters)
    figure.savefig(args.output, dpi=100)
    pyplot.close(figure)
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
