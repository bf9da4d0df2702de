"""Reads a plot file into a NumPy array: one row per timestep, one column per parameter.

Usage: python examples/numpy_array.py [PLOT_FILE [FIELD_WIDTH]]   (default: the bundled sample)
Needs: pip install .[examples]
"""

import pathlib
import sys

import numpy

import kelmor

SAMPLE = str(pathlib.Path(__file__).with_name("sample.plt"))


def read_array(path: str, width: int) -> numpy.ndarray:
    """The file's values as a (timesteps, parameters) float32 array.

    Every value kelmor returns is a single-precision number widened exactly to a Python float,
    so float32 holds it without loss in half the memory of float64.
    """
    columns = kelmor.rust_read_valdrum(path, width)
    if not columns:
        return numpy.empty((0, 0), dtype=numpy.float32)
    return numpy.array(columns, dtype=numpy.float32).T


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else SAMPLE
    width = int(sys.argv[2]) if len(sys.argv) > 2 else 12

    values = read_array(path, width)
    steps, parameters = values.shape
    print(f"{path}: array of shape {values.shape}, dtype {values.dtype}")
    if steps:
        print(f"parameter 0: mean {values[:, 0].mean():.6g}, "
              f"min {values[:, 0].min():.6g}, max {values[:, 0].max():.6g}")
        print(f"timestep with the largest parameter 0: {int(values[:, 0].argmax())}")
        print(f"last timestep, first 5 parameters: {values[-1, :5]}")


if __name__ == "__main__":
    main()
