# test_examples.py: the examples under examples/ on the bundled sample and on small files:
# the header reader, the NumPy array, the pandas DataFrame and the PNG plot. Each test skips
# only when the optional dependency it needs is missing (pip install .[examples]), and fails then
# under tools/run-python-tests.
import importlib
import math
import pathlib
import struct
import subprocess
import sys

import pytest

import kelmor
from conftest import plot_text, require

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
SAMPLE = str(EXAMPLES / "sample.plt")
SAMPLE_GROUP = ["PRESSURE", "TEMPERATURE", "MASS_FLOW", "VOID_FRACTION", "VELOCITY",
                "HEAT_FLUX", "LEVEL", "POWER", "CONCENTRATION", "DIFFERENTIAL_PRESSURE"]
SAMPLE_NAMES = [f"{SAMPLE_GROUP[p % 10]}_{p // 10 + 1}" for p in range(36)]


@pytest.fixture(scope="module")
def example():
    """Imports an example module by name from examples/."""
    sys.path.insert(0, str(EXAMPLES))
    try:
        yield importlib.import_module
    finally:
        sys.path.remove(str(EXAMPLES))


@pytest.fixture(scope="module")
def sample_columns():
    return kelmor.rust_read_valdrum(SAMPLE, 12)


def run_example(name, *args, cwd=None):
    result = subprocess.run([sys.executable, str(EXAMPLES / name), *args], cwd=cwd,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return result.stdout


# --- the header reader (standard library only) ---

@pytest.mark.parametrize("line, expected", [
    (" TIME = 1.00000E-01 S   STEP        1", 0.1),
    (" TIME = 0.00000E+00 S   STEP        0", 0.0),
    (" time=2.5e+03 s", 2500.0),
    ("  Time =  -4.125 s", -4.125),
    (" TIME = .5 S", 0.5),
    (" TIME = 7 S", 7.0),
    (" STEP 12  TIME = 3.00000E+00 S", 3.0),
    ("", math.nan),
    (" STEP        1", math.nan),
    (" RUNTIME = 4.0", math.nan),
    (" TIME = S", math.nan),
])
def test_block_time(example, line, expected):
    value = example("plot_header").block_time(line)
    assert value == expected or (math.isnan(expected) and math.isnan(value))


def test_header_of_the_sample(example, sample_columns):
    names, times = example("plot_header").read_header(SAMPLE, len(sample_columns))
    assert names == SAMPLE_NAMES
    assert len(times) == len(sample_columns[0]) == 300
    assert times[:3] == [0.0, 0.1, 0.2]
    assert times[-1] == 29.9
    assert times == [float(f"{step * 0.1:.5E}") for step in range(300)]


@pytest.mark.parametrize("newline", ["\n", "\r\n"])
def test_header_of_a_small_file(example, write_file, newline):
    # 11 parameters: two data lines per block; block headers with and without a time.
    blocks = [[f"{step}.{p}" for p in range(11)] for step in range(3)]
    lines = plot_text(blocks, width=12, newline=newline).split(newline)
    lines[12] = " TIME = 1.5E+01 S   STEP 0"
    lines[15] = " no time here"
    lines[3] = "   "  # a name line without a name: a numbered name stands in
    path = write_file(newline.join(lines))
    columns = kelmor.rust_read_valdrum(path, 12)
    names, times = example("plot_header").read_header(path, len(columns))
    assert names == ["param_0", "param_1", "parameter_3", "param_3", "param_4", "param_5",
                     "param_6", "param_7", "param_8", "param_9", "param_10"]
    assert times[0] == 15.0 and math.isnan(times[1]) and times[2] == 1.0


def test_header_without_blocks_or_parameters(example, write_file):
    header = example("plot_header")
    assert header.read_header(write_file("Number of parameters: 2\n 1 A\n 2 B\n"), 2) == \
        (["A", "B"], [])
    assert header.read_header(write_file("\nanything\n"), 0) == ([], [])


# --- NumPy ---

def test_numpy_array(example, sample_columns, write_file):
    numpy = require("numpy")
    read_array = example("numpy_array").read_array
    values = read_array(SAMPLE, 12)
    assert values.shape == (300, 36)
    assert values.dtype == numpy.float32
    # float32 holds every value exactly: the array gives back the module's floats.
    assert [values[:, p].tolist() for p in range(36)] == sample_columns
    assert read_array(write_file("Number of parameters: 0\n"), 12).shape == (0, 0)
    assert read_array(write_file("Number of parameters: 3\n a\n b\n c\n"), 12).shape == (0, 3)


def test_numpy_array_script():
    require("numpy")
    lines = run_example("numpy_array.py").splitlines()
    assert lines[0] == f"{SAMPLE}: array of shape (300, 36), dtype float32"
    assert lines[1].startswith("parameter 0: mean ")


# --- pandas ---

def test_pandas_frame(example, sample_columns):
    require("pandas")
    frame = example("pandas_dataframe").read_frame(SAMPLE, 12)
    assert frame.shape == (300, 36)
    assert frame.columns.tolist() == SAMPLE_NAMES
    assert frame.columns.name == "parameter"
    assert frame.index.name == "time"
    assert frame.index.tolist() == [float(f"{step * 0.1:.5E}") for step in range(300)]
    assert [frame[name].tolist() for name in SAMPLE_NAMES] == sample_columns
    assert frame.loc[0.1, "PRESSURE_1"] == sample_columns[0][1]


def test_pandas_frame_keeps_repeated_names_and_missing_times(example, write_file):
    require("pandas")
    path = write_file("Number of parameters: 2\n 1 A\n 2 A\n TIME = 2.0 S\n"
                      "         1.5        -2.5\n\n         3.0         4.0\n")
    frame = example("pandas_dataframe").read_frame(path, 12)
    assert frame.columns.tolist() == ["A", "A"]
    assert frame.iloc[:, 0].tolist() == [1.5, 3.0]
    assert frame.iloc[:, 1].tolist() == [-2.5, 4.0]
    assert frame.index[0] == 2.0 and math.isnan(frame.index[1])


def test_pandas_frame_script():
    require("pandas")
    lines = run_example("pandas_dataframe.py").splitlines()
    assert lines[0] == f"{SAMPLE}: 300 timesteps x 36 parameters"
    assert "PRESSURE_1 between t = 1 s and t = 1.5 s:" in lines


# --- matplotlib ---

def png_size(path):
    data = pathlib.Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


def test_plot_figure(example, sample_columns):
    require("matplotlib")
    module = example("plot_parameters")
    names = ["POWER_2", "LEVEL_1", "HEAT_FLUX_4"]
    figure = module.plot_parameters(SAMPLE, 12, names)
    axes = figure.get_axes()
    assert [axis.get_ylabel() for axis in axes] == names
    times = [float(f"{step * 0.1:.5E}") for step in range(300)]
    for axis, name in zip(axes, names):
        (line,) = axis.get_lines()
        assert list(line.get_xdata()) == times
        assert list(line.get_ydata()) == sample_columns[SAMPLE_NAMES.index(name)]
    assert axes[-1].get_xlabel() == "time [s]"
    with pytest.raises(ValueError, match="no parameter named NOPE in"):
        module.plot_parameters(SAMPLE, 12, ["PRESSURE_1", "NOPE"])


def test_plot_script_writes_a_png(tmp_path):
    require("matplotlib")
    assert run_example("plot_parameters.py", cwd=tmp_path) == "wrote parameters.png\n"
    # Four panels of 8 x 2 inches at 100 dots per inch.
    assert png_size(tmp_path / "parameters.png") == (800, 800)
    out = tmp_path / "two.png"
    assert run_example("plot_parameters.py", "-o", str(out), SAMPLE, "PRESSURE_2", "POWER_1") \
        == f"wrote {out}\n"
    assert png_size(out) == (800, 400)


def test_read_sample_script():
    lines = run_example("read_sample.py").splitlines()
    assert lines[0] == f"{SAMPLE}: 36 parameters, 300 timesteps"
    assert lines[2].startswith("PRESSURE_1 ")
    assert lines[-1] == "... and 28 more parameters"
