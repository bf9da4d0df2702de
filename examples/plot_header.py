"""What kelmor leaves out of its result: the parameter names and the time of each block.

kelmor returns values only. The names stand in the header, one per line after the parameter
count line (the last word of each line), and most writers put the simulated time into each
block header line, e.g. " TIME = 1.00000E-01 S   STEP        1". These few lines read both,
splitting lines at line feeds only, as kelmor does.
"""

import itertools
import math
import re

# "TIME = <number>" anywhere in a block header line; the unit after it is not read.
TIME_PATTERN = re.compile(
    r"\bTIME\s*=\s*([-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?)", re.IGNORECASE)


def block_time(header_line: str) -> float:
    """The time that a block header line holds, or NaN when it holds none."""
    match = TIME_PATTERN.search(header_line)
    return float(match.group(1)) if match else math.nan


def _text(raw: bytes) -> str:
    """A line as text, without its line feed and a carriage return before it."""
    line = raw.decode("utf-8")
    if line.endswith("\n"):
        line = line[:-1].removesuffix("\r")
    return line


def read_header(path: str, count: int) -> tuple[list[str], list[float]]:
    """Names of the `count` parameters and the time of every timestep block of a plot file.

    `count` is the number of columns that kelmor returned for the file; a name line without
    any word gives the name "parameter_<number>".
    """
    with open(path, "rb") as plot_file:  # binary lines: split at line feeds only
        next(plot_file, None)  # the parameter count line
        names = []
        for number in range(1, count + 1):
            words = _text(next(plot_file, b"")).split()
            names.append(words[-1] if words else f"parameter_{number}")
        if count == 0:
            return names, []
        # A header line, then ten values to a line. Only the block header lines are decoded:
        # the data lines, nearly all of a big file, are skipped as bytes.
        lines_per_block = 1 + (count + 9) // 10
        return names, [block_time(_text(line))
                       for line in itertools.islice(plot_file, 0, None, lines_per_block)]
