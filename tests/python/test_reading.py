# test_reading.py: the result of a read, value by value, and reader failures as Python sees them.
import ctypes
import os
import struct

import pytest

import kelmor
from conftest import plot_text


def bits(values):
    return [struct.pack("<f", v) for v in values]


_libc = ctypes.CDLL(None)
_libc.strtof.restype = ctypes.c_float
_libc.strtof.argtypes = [ctypes.c_char_p, ctypes.c_void_p]


def f32(text):
    """The binary32 value of a decimal text, rounded once (by the C library's strtof)."""
    return _libc.strtof(text.encode(), None)


VALUES = [
    # (id, field text, float of the widened binary32 value)
    ("tenth", "0.1", 0.10000000149011612),
    ("exponent", "1.23456E+02", 123.45600128173828),
    ("negative_exponent", "-4.56789E-03", -0.004567889962345362),
    ("integer", "42", 42.0),
    ("negative_zero", "-0.0", -0.0),
    ("max_float", "3.40282347E+38", 3.4028234663852886e38),
    ("overflow", "1E39", float("inf")),
    ("smallest_subnormal", "1.4E-45", 1.401298464324817e-45),
    ("underflow", "1E-50", 0.0),
    ("nine_digits", "0.123456789", 0.12345679104328156),
    ("infinity", "-inf", float("-inf")),
]


@pytest.mark.parametrize("text, expected", [row[1:] for row in VALUES], ids=[row[0] for row in VALUES])
def test_value_bits(write_file, text, expected):
    path = write_file(plot_text([[text]], width=15))
    [[value]] = kelmor.rust_read_valdrum(path, 15)
    assert type(value) is float
    assert struct.pack("<d", value) == struct.pack("<d", expected)


def test_nan_bits(write_file):
    path = write_file(plot_text([["nan", "-nan"]], width=12))
    [[positive], [negative]] = kelmor.rust_read_valdrum(path, 12)
    assert struct.pack("<f", positive) == bytes.fromhex("0000c07f")
    assert struct.pack("<f", negative) == bytes.fromhex("0000c0ff")


def block_values(n, steps):
    return [[f"{(p + 1) * 1.5 + s * 0.01:.5E}" for p in range(n)] for s in range(steps)]


SHAPES = [
    # (id, parameters, timesteps, width): 23 parameters take three data lines per block
    ("one_param", 1, 5, 12),
    ("ten_params", 10, 3, 12),
    ("eleven_params", 11, 2, 12),
    ("many_columns", 23, 4, 12),
    ("width_15", 23, 3, 15),
    ("many_steps", 3, 500, 12),
]


@pytest.mark.parametrize("n, steps, width", [row[1:] for row in SHAPES], ids=[row[0] for row in SHAPES])
def test_columns(write_file, n, steps, width):
    blocks = block_values(n, steps)
    result = kelmor.rust_read_valdrum(write_file(plot_text(blocks, width=width)), width)
    assert type(result) is list and len(result) == n
    for p, column in enumerate(result):
        assert type(column) is list
        assert bits(column) == bits(f32(blocks[s][p]) for s in range(steps))


def test_crlf_reads_like_lf(write_file):
    blocks = block_values(12, 3)
    lf = kelmor.rust_read_valdrum(write_file(plot_text(blocks, newline="\n")), 12)
    crlf = kelmor.rust_read_valdrum(write_file(plot_text(blocks, newline="\r\n")), 12)
    assert len(lf) == 12 and lf == crlf


def test_inner_lists_are_distinct_new_objects(write_file):
    path = write_file(plot_text([["1"] * 4, ["1"] * 4]))
    first = kelmor.rust_read_valdrum(path, 12)
    second = kelmor.rust_read_valdrum(path, 12)
    assert first == second == [[1.0, 1.0]] * 4
    inner = [id(column) for column in first + second]
    assert len(set(inner)) == 8
    first[0].append(2.0)
    assert first[1] == [1.0, 1.0]


EMPTY_RESULTS = [
    # (id, file content, result)
    ("zero_params", "Number of parameters: 0\n", []),
    ("empty_first_line_skips_rest", "\nanything\n  else\n", []),
    ("blank_first_line", "   \t\n", []),
    ("params_without_blocks", "Number of parameters: 3\na\nb\nc\n", [[], [], []]),
    ("params_without_blocks_no_final_newline", "2\na\nb", [[], []]),
]


@pytest.mark.parametrize("content, expected", [row[1:] for row in EMPTY_RESULTS],
                         ids=[row[0] for row in EMPTY_RESULTS])
def test_empty_results(write_file, content, expected):
    assert kelmor.rust_read_valdrum(write_file(content), 12) == expected


def os_error(code, kind, message):
    return f'Os {{ code: {code}, kind: {kind}, message: "{message}" }}'


FAILURES = [
    # (id, file content or None for a missing file, width, failure message); PATH is the path
    ("missing_file", None, 12, "Plot file not found!: " + os_error(2, "NotFound", "No such file or directory")),
    ("empty_file", b"", 12, "Failed ot read line!"),
    ("bad_count", b"3 parameters\n", 12,
     "The first line should end with the number of parameters:\n'3 parameters'"),
    ("missing_name_line", b"3\na\nb\n", 12, "Failed to read line!"),
    ("truncated_block", plot_text([["1"] * 12]).encode()[:-25], 12, "Error reading line"),
    ("header_without_data", b"1\na\n t=0\n", 12, "Error reading line"),
    ("empty_line_after_block", plot_text([["1"]]).encode() + b"\n", 12, "Error reading line"),
    ("not_a_number", b"1\na\n t\n         abc\n", 12, "Could not parse line: ParseFloatError { kind: Invalid }"),
    ("blank_field", b"1\na\n t\n            \n", 12, "Could not parse line: ParseFloatError { kind: Empty }"),
    ("short_line", b"2\na\nb\n t\n         1.0  2\n", 12, "byte index 24 is out of bounds of `         1.0  2`"),
    ("invalid_utf8", b"1\na\n t\n         1.0\xff\n", 12,
     'Failed to read line!: Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'),
    ("nul_in_path", "NUL", 12,
     'Plot file not found!: Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'),
]


@pytest.mark.parametrize("content, width, message", [row[1:] for row in FAILURES],
                         ids=[row[0] for row in FAILURES])
def test_reader_failure(write_file, tmp_path, capfd, content, width, message):
    if content is None:
        path = str(tmp_path / "missing.txt")
    elif content == "NUL":
        path = write_file(b"1\na\n") + "\0"
    else:
        path = write_file(content)
    with pytest.raises(BaseException) as info:
        kelmor.rust_read_valdrum(path, width)
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == (message,)
    out, err = capfd.readouterr()
    assert f") panicked at src/lib/" in err
    assert f":\n{message}\n" in err


def test_directory_failure(tmp_path, capfd):
    with pytest.raises(BaseException) as info:
        kelmor.rust_read_valdrum(str(tmp_path), 12)
    assert info.value.args == ("Failed to read line!: " + os_error(21, "IsADirectory", "Is a directory"),)


def test_unreadable_file(write_file):
    if os.geteuid() == 0:
        pytest.skip("root reads every file")
    path = write_file("1\n")
    os.chmod(path, 0)
    with pytest.raises(BaseException) as info:
        kelmor.rust_read_valdrum(path, 12)
    assert info.value.args == ("Plot file not found!: " + os_error(13, "PermissionDenied", "Permission denied"),)
