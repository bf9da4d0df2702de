"""Reads a plot file into a pandas DataFrame indexed by time, with the parameter names as columns.

Usage: python examples/pandas_dataframe.py [PLOT_FILE [FIELD_WIDTH]]   (default: the bundled sample)
Needs: pip install .[examples]
"""

import pathlib
import sys

import pandas

import kelmor
from plot_header import read_header

SAMPLE = str(pathlib.Path(__file__).with_name("sample.plt"))


def read_frame(path: str, width: int) -> pandas.DataFrame:
    """One row per timestep, indexed by the time of its block header line (NaN where the
    header holds no time), one float64 column per parameter, named as in the file header."""
    columns = kelmor.rust_read_valdrum(path, width)
    names, times = read_header(path, len(columns))
    # Columns are built by position, so that two parameters of the same name both stay.
    frame = pandas.DataFrame(dict(enumerate(columns)),
                             index=pandas.Index(times, name="time", dtype="float64"))
    frame.columns = pandas.Index(names, name="parameter")
    return frame


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else SAMPLE
    width = int(sys.argv[2]) if len(sys.argv) > 2 else 12

    frame = read_frame(path, width)
    print(f"{path}: {frame.shape[0]} timesteps x {frame.shape[1]} parameters")
    with pandas.option_context("display.width", 120, "display.max_columns", 6):
        print(frame.iloc[:, :4].head())
        print(frame.iloc[:, :4].describe().loc[["mean", "min", "max"]])
        if frame.shape[1] and frame.index.notna().any():
            first = frame.columns[0]
            print(f"{first} between t = 1 s and t = 1.5 s:")
            print(frame.loc[(frame.index >= 1.0) & (frame.index <= 1.5), first].to_string())


if __name__ == "__main__":
    main()
