# test_fast_paths.py: the reader's quick paths (data lines in the writers' layout taken whole,
# fields in that layout, columns sized from the first block) give exactly what the general paths
# give, and fail exactly as they do, next to their boundaries.
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


def layout(value, width):
    """A field as writers write it: "% .5E" in 12 bytes, "% .8E" in 15."""
    return f"{value: .{width - 7}E}"


# Shapes of a data line that the direct way must leave to the long one, or take with care.
LINE_SHAPES = {
    "plain": lambda fields: "".join(fields) + "\n",
    "crlf": lambda fields: "".join(fields) + "\r\n",
    "bytes_after_the_fields": lambda fields: "".join(fields) + "  \u00e9t\u00e9\n",
    "cr_then_text": lambda fields: "".join(fields) + "\rx\n",
    "plus_in_front": lambda fields: "".join("+" + f[1:] if f[0] == " " else f for f in fields) + "\n",
    "lower_case_e": lambda fields: "".join(f.replace("E", "e") for f in fields) + "\n",
    "other_format": lambda fields: "".join(f"{float(f):>{len(f)}.3e}" for f in fields) + "\n",
}


@pytest.mark.parametrize("width", [12, 15])
@pytest.mark.parametrize("shape", sorted(LINE_SHAPES))
def test_layout_lines_read_like_fields(write_file, read, width, shape):
    # 13 parameters: a line of ten fields and one of three; values of every magnitude, one on a
    # binary32 midpoint (exact) and one without a power of ten for one multiplication.
    rng = random.Random(width)
    n, steps = 13, 40
    values = [[(rng.choice([-1, 1]) * 10 ** rng.uniform(-30, 30)) for _ in range(n)]
              for _ in range(steps)]
    for step in values:
        step[3], step[8] = 2.86344e9, 1.4013e-45
    lines = [f"parameters {n}"] + [f"p{i}" for i in range(n)]
    text = "\n".join(lines) + "\n"
    texts = []
    for step, row in enumerate(values):
        fields = [layout(v, width) for v in row]
        texts.append(fields)
        text += f" TIME = {step}\n" + LINE_SHAPES[shape](fields[:10]) + LINE_SHAPES[shape](fields[10:])
    result = read(write_file(text), width)
    for p in range(n):
        got = [struct.pack("<f", v) for v in result[p]]
        want = []
        for step in range(steps):
            field = texts[step][p]
            if shape == "plus_in_front" and field[0] == " ":
                field = "+" + field[1:]
            if shape == "other_format":
                field = f"{float(field):>{width}.3e}"
            want.append(f32_bits(field))
        assert got == want, p


INVALID_UTF8 = ('Failed to read line!: Error { kind: InvalidData, message: "stream did not '
                'contain valid UTF-8" }')
INVALID_FIELD = "Could not parse line: ParseFloatError { kind: Invalid }"
GOOD = "".join(layout(k * 0.5, 12) for k in range(10))


@pytest.mark.parametrize("data_lines, message", [
    (GOOD[:60] + " 1.00000D+00" + GOOD[72:] + "\n" + GOOD[:24] + "\n", INVALID_FIELD),
    (GOOD[:60] + " 1.00000D+00" + GOOD[72:] + "\n\udcff\n", INVALID_FIELD),
    (GOOD[:60] + " 1.000\udcff0E+00" + GOOD[72:] + "\n" + GOOD[:24] + "\n", INVALID_UTF8),
    (GOOD + "\udcc0\udcaf\n" + GOOD[:24] + "\n", INVALID_UTF8),
    (GOOD[:60] + " 1.000\u00e9E+00" + GOOD[72:] + "\n" + GOOD[:24] + "\n", INVALID_FIELD),
    (GOOD + "\n" + GOOD[:23] + "\n", "byte index 24 is out of bounds of `" + GOOD[:23] + "`"),
    (GOOD + "\n", "Error reading line"),
    (GOOD + "\n" + GOOD[:24] + "\n\n", "Error reading line"),
], ids=["bad_field", "bad_field_before_invalid_utf8", "invalid_utf8_in_a_field",
        "invalid_utf8_after_the_fields", "valid_non_ascii_in_a_field", "line_too_short",
        "file_ends_in_the_block", "empty_line_after_the_block"])
def test_layout_line_faults_in_file_order(write_file, read, capfd, data_lines, message):
    # Two good blocks of 12 parameters in the layout, then a block with the fault(s).
    good_block = " TIME = 0\n" + GOOD + "\n" + GOOD[:24] + "\n"
    text = "12\n" + "p\n" * 12 + good_block * 2 + " TIME = 2\n" + data_lines
    path = write_file(text.encode("utf-8", "surrogateescape"))
    with pytest.raises(BaseException) as caught:
        read(path, 12)
    assert type(caught.value).__name__ == "PanicException"
    assert caught.value.args == (message,)
    capfd.readouterr()
