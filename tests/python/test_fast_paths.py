# test_fast_paths.py: the reader's quick paths (fields in the writers' layout, columns sized
# from the first block) give exactly what the general paths give, next to their boundaries.
import ctypes
import random
import struct
from decimal import Decimal

import pytest

from conftest import plot_text

_libc = ctypes.CDLL(None)
_libc.strtof.restype = ctypes.c_float
_libc.strtof.argtypes = [ctypes.c_char_p, ctypes.c_void_p]


def f32_bits(text):
    """The bits of the binary32 value of a decimal text, rounded once (C library strtof)."""
    return struct.pack("<f", _libc.strtof(text.strip().encode(), None))


def layout_texts(width, count, seed):
    """Random fields as writers write them: d.ffffE+xx, both signs, exponents of the whole
    binary32 range and beyond."""
    rng = random.Random(seed)
    digits = 5 if width < 15 else 8
    texts = []
    for _ in range(count):
        sign = rng.choice(["", "-"])
        fraction = "".join(rng.choice("0123456789") for _ in range(digits))
        exponent = rng.randint(-47, 39)
        texts.append(f"{sign}{rng.randint(0, 9)}.{fraction}E{exponent:+03d}")
    return texts


# Texts at the recogniser's and the scaling path's edges: binary32 midpoints, exponents at
# the limits of one exact multiplication (10^-22 .. 10^22), subnormals, overflow, zeros, and
# layouts that only the general parser takes.
EDGE_TEXTS = [
    "1.6777217E+07", "1.6777219E+07", "-1.6777217E+07", "1.6777216E+07", "1.6777218E+07",
    "1.2345678E+22", "1.2345678E-22", "1.2345678E+23", "1.2345678E-23", "9.9999999E-01",
    "1.00000E+22", "1.00000E-22", "1.00000E+23", "1.00000E-23", "9.99999E-01",
    "3.40282E+38", "3.40283E+38", "1.17549E-38", "1.40130E-45", "7.00000E-46", "8.00000E-46",
    "0.00000E+00", "-0.00000E+00", "0.0000E+00", "1.2345E+02", "1.234567890E+02",
    "1.2345E+2", "1.2345E+002", "12.345E+01", "1.2345e-02", ".12345E+03", "12345E-02",
    "1.2345", "-1.2345", "+1.2345E+01", "  1.5E+00", "\t1.25E+00", "1.5E+00\t",
]


def midpoint_texts(count, seed):
    """Exact midpoints between neighbouring binary32 values of 2^14 to 2^40 (short decimal
    expansions), one unit of their last digit below, and a digit above: one multiplication by
    a rounded power of ten lands on or next to the midpoint, where only the exact paths may
    decide."""
    rng = random.Random(seed)
    texts = []
    while len(texts) < count:
        low = struct.unpack("<f", struct.pack("<f", 2.0 ** rng.uniform(14, 40)))[0]
        high = struct.unpack("<f", struct.pack("<I", struct.unpack("<I", struct.pack("<f", low))[0] + 1))[0]
        exact = Decimal(low + high) / 2  # exact: both are binary64 values with few bits
        text = format(exact, "f")
        if "." not in text:
            text += ".0"
        significant = len(text.replace(".", "").lstrip("0"))
        if significant > 16:
            continue
        below = Decimal(text) - Decimal(1).scaleb(-len(text.split(".")[1]))
        texts += [text, format(below, "f"), text + "1"]
    return texts


@pytest.mark.parametrize("width", [12, 15, 24])
def test_fields_round_like_strtof(write_file, read, width):
    edges = [text for text in EDGE_TEXTS if len(text) <= width]
    texts = layout_texts(width, 3000, seed=width) + edges
    if width >= 20:
        texts += midpoint_texts(3000, seed=width) + [" " + t for t in edges
                                                              if len(t) < width]
    n = 10
    blocks = [texts[i:i + n] for i in range(0, len(texts) - len(texts) % n, n)]
    result = read(write_file(plot_text(blocks, n, width)), width)
    got = [struct.pack("<f", value) for step in range(len(blocks)) for value in
           (column[step] for column in result)]
    want = [f32_bits(text) for block in blocks for text in block]
    mismatches = [(t, g, w) for t, g, w in zip((t for b in blocks for t in b), got, want)
                  if g != w]
    assert mismatches == []


def block_values(n, steps):
    # p + s / 4 is exact in binary32 and in the field text.
    return [[f"{p + s / 4:.5E}" for p in range(n)] for s in range(steps)]


def expected_columns(n, steps):
    return [[p + s / 4 for s in range(steps)] for p in range(n)]


@pytest.mark.parametrize("n, steps, first_header, other_headers", [
    (13, 300, " time = 0", " time = 1"),            # uniform blocks
    (13, 300, "x" * 20000, " t"),                   # first block far longer than the rest
    (13, 300, "", "y" * 20000),                     # first block far shorter than the rest
    (13, 1, " time = 0", None),                     # one block
    (13, 2, "", " t"),                              # two blocks
    (1, 5000, " t", " t"),                          # one column, many blocks
])
def test_columns_sized_from_the_first_block(write_file, read, n, steps, first_header,
                                            other_headers):
    text = plot_text(block_values(n, steps), n)
    lines = text.split("\n")
    per_block = 1 + (n + 9) // 10
    for step in range(steps):
        lines[1 + n + step * per_block] = first_header if step == 0 else other_headers
    assert read(write_file("\n".join(lines)), 12) == expected_columns(n, steps)


def test_file_without_size_reads_the_same(tmp_path, read):
    # A FIFO has no size: the columns grow without an estimate.
    import os
    import subprocess
    n, steps = 11, 70
    source = tmp_path / "plot.txt"
    source.write_text(plot_text(block_values(n, steps), n))
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    writer = subprocess.Popen(["cp", str(source), str(fifo)])
    try:
        assert read(str(fifo), 12) == expected_columns(n, steps)
    finally:
        writer.wait()
