"""Reads a VALDRUM plot file with kelmor and prints what one wants to see first.

Usage: python examples/read_sample.py [PLOT_FILE [FIELD_WIDTH]]   (default: the bundled sample)
"""

import pathlib
import sys

import kelmor


def parameter_names(path: str, count: int) -> list[str]:
    """The module returns values only; the names are the last word of the header's name lines."""
    with open(path, encoding="utf-8") as plot_file:
        plot_file.readline()  # the parameter count line
        return [plot_file.readline().split()[-1] for _ in range(count)]


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else str(pathlib.Path(__file__).with_name("sample.plt"))
    width = int(sys.argv[2]) if len(sys.argv) > 2 else 12

    columns = kelmor.rust_read_valdrum(path, width)

    steps = len(columns[0]) if columns else 0
    print(f"{path}: {len(columns)} parameters, {steps} timesteps")
    print(f"{'parameter':<26}{'first':>14}{'last':>14}{'min':>14}{'max':>14}")
    for name, values in list(zip(parameter_names(path, len(columns)), columns))[:8]:
        if values:
            print(f"{name:<26}{values[0]:>14.6g}{values[-1]:>14.6g}"
                  f"{min(values):>14.6g}{max(values):>14.6g}")
    if len(columns) > 8:
        print(f"... and {len(columns) - 8} more parameters")


if __name__ == "__main__":
    main()
