# test_arrays.py: kelmor_arrays against kelmor: the same values bit for bit, in file order, the
# names and block headers of the file, the same message in the matching exception for every
# failure; the buffer it exports, and what it writes (nothing).
import errno
import gc
import importlib.util
import inspect
import os
import pathlib
import sys
import threading

import pytest

import kelmor
import kelmor_arrays
from conftest import plot_text, require

ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "examples" / "sample.plt"


def load_writer():
    spec = importlib.util.spec_from_file_location("make_plot_file",
                                                  ROOT / "tools" / "make_plot_file.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.write_plot_file


def kelmor_rows(path, width):
    """kelmor's result as the rows kelmor_arrays gives: a (blocks, parameters) float32 array."""
    numpy = require("numpy")
    columns = kelmor.rust_read_valdrum(str(path), width)
    return numpy.array(columns, dtype=numpy.float32).reshape(len(columns), -1).T


def assert_same_bits(result, expected):
    numpy = require("numpy")
    values = numpy.asarray(result.values)
    assert values.shape == expected.shape
    assert values.dtype == numpy.float32
    assert numpy.array_equal(values.view(numpy.uint32), expected.view(numpy.uint32))


def name_and_header_lines(path, count):
    """The parameter names and block header lines of a plot file, read the plain way."""
    with open(path, encoding="utf-8", newline="") as f:
        lines = [line.removesuffix("\n").removesuffix("\r") for line in f]
    names = [(line.split() or [""])[-1] for line in lines[1:1 + count]]
    per_block = 1 + (count + 9) // 10
    headers = lines[1 + count::per_block] if count else []
    return names, headers


# ---------------------------------------------------------------------------------------
# Values, names and headers.

GENERATED = [
    # (id, parameters, steps, width)
    ("one", 1, 1, 12),
    ("ten_w15", 10, 50, 15),
    ("eleven", 11, 40, 12),
    ("thirty_six_w15", 36, 120, 15),
    ("wide", 2345, 3, 12),
    ("long", 3, 30_000, 12),
]


@pytest.mark.parametrize("parameters, steps, width", [row[1:] for row in GENERATED],
                         ids=[row[0] for row in GENERATED])
def test_generated_files_read_like_kelmor(tmp_path, parameters, steps, width):
    path = tmp_path / "run.plt"
    load_writer()(path, parameters, steps, width, seed=parameters + steps)
    result = kelmor_arrays.read(str(path), width)
    assert_same_bits(result, kelmor_rows(path, width))
    names, headers = name_and_header_lines(path, parameters)
    assert result.names == names
    assert list(result.block_headers) == headers


@pytest.mark.parametrize("width", [12, 15, 11, 13])
def test_sample_reads_like_kelmor(width):
    require("numpy")  # before the try, so that a missing numpy is not taken for kelmor's failure
    try:
        expected = kelmor_rows(SAMPLE, width)
    except BaseException as exc:  # the sample is written in width 12
        if type(exc).__name__ != "PanicException":
            raise
        with pytest.raises(kelmor_arrays.PlotFileError) as info:
            kelmor_arrays.read(SAMPLE, width)
        assert info.value.args == exc.args
        return
    result = kelmor_arrays.read(SAMPLE, width)
    assert_same_bits(result, expected)
    names, headers = name_and_header_lines(SAMPLE, len(result.names))
    assert (result.names, list(result.block_headers)) == (names, headers)


# Field texts of every form that the decoder takes, in the writers' layout and beside it.
FIELDS = ["1.5", "-2.25E+03", "3.40282E+38", "1e-45", "-0", "inf", "-NaN", "  7  ",
          "0.1", "1.17549E-38", "+4.2e1", "9.99999E-09", "123456789"]


@pytest.mark.parametrize("newline", ["\n", "\r\n"], ids=["lf", "crlf"])
@pytest.mark.parametrize("width", [12, 15, 17])
def test_every_field_form_reads_like_kelmor(write_file, newline, width):
    blocks = [FIELDS[s:] + FIELDS[:s] for s in range(len(FIELDS))]
    path = write_file(plot_text(blocks, width=width, newline=newline))
    result = kelmor_arrays.read(path, width)
    assert_same_bits(result, kelmor_rows(path, width))
    assert result.names == [f"param_{i}" for i in range(len(FIELDS))]
    assert list(result.block_headers) == [f" time = {s * 0.5:.3E} s" for s in range(len(FIELDS))]


EMPTY = [
    # (id, content, shape, names)
    ("no_parameters", "Number of parameters: 0\n", (0, 0), []),
    ("no_count_rest_skipped", "\nanything\n  else\n", (0, 0), []),
    ("parameters_without_blocks", "Number of parameters: 3\n 1 a\n 2 b\n3 c", (0, 3), ["a", "b", "c"]),
    ("name_line_without_word", "2\n   \n  x\u2003y\u00a0\n", (0, 2), ["", "y"]),
]


@pytest.mark.parametrize("content, shape, names", [row[1:] for row in EMPTY],
                         ids=[row[0] for row in EMPTY])
def test_files_without_blocks(write_file, content, shape, names):
    result = kelmor_arrays.read(write_file(content), 12)
    assert result.names == names
    assert len(result.block_headers) == 0
    view = memoryview(result.values)
    assert (view.shape, view.nbytes, result.values.shape) == (shape, 0, shape)
    assert view.tolist() == [] and bytes(view) == b""


def test_path_forms(write_file):
    path = write_file(plot_text([["1.5", "2.5"]]))
    for given in (path, pathlib.Path(path), pathlib.PurePosixPath(path)):
        assert memoryview(kelmor_arrays.read(given, 12).values).tolist() == [[1.5, 2.5]]
    assert memoryview(kelmor_arrays.read(n_digits=12, file_path=path).values).tolist() == [[1.5, 2.5]]


def test_undecodable_file_name_is_found(tmp_path):
    # A name that is not UTF-8 comes back from os.listdir with escaped bytes; it names the file.
    (tmp_path / os.fsdecode(b"run_\xff.plt")).write_text(plot_text([["4.0"]]))
    (name,) = os.listdir(tmp_path)
    assert memoryview(kelmor_arrays.read(tmp_path / name, 12).values).tolist() == [[4.0]]


# ---------------------------------------------------------------------------------------
# Failures: kelmor's message in the matching exception, and nothing written.

def os_error(code, kind, message):
    return f'Os {{ code: {code}, kind: {kind}, message: "{message}" }}'


FILE_FAULTS = [
    # (id, file content, width, message)
    ("empty_file", b"", 12, "Failed ot read line!"),
    ("bad_count", b"3 parameters\n", 12,
     "The first line should end with the number of parameters:\n'3 parameters'"),
    ("count_too_large", b"n 4294967296\n", 12,
     "The first line should end with the number of parameters:\n'n 4294967296'"),
    ("missing_name_line", b"3\na\nb\n", 12, "Failed to read line!"),
    ("truncated_block", plot_text([["1"] * 12]).encode()[:-25], 12, "Error reading line"),
    ("header_without_data", b"1\na\n t=0\n", 12, "Error reading line"),
    ("empty_line_after_block", plot_text([["1"]]).encode() + b"\n", 12, "Error reading line"),
    ("not_a_number", b"1\na\n t\n         abc\n", 12, "Could not parse line: ParseFloatError { kind: Invalid }"),
    ("blank_field", b"1\na\n t\n            \n", 12, "Could not parse line: ParseFloatError { kind: Empty }"),
    ("zero_width", b"1\na\n t\n1.0\n", 0, "Could not parse line: ParseFloatError { kind: Empty }"),
    ("short_line", b"2\na\nb\n t\n         1.0  2\n", 12, "byte index 24 is out of bounds of `         1.0  2`"),
    ("inside_a_character", "1\na\n t\n         1.\u00e9\n".encode(), 12,
     "byte index 12 is not a char boundary; it is inside '\u00e9' (bytes 11..13) of `         1.\u00e9`"),
    ("invalid_utf8", b"1\na\n t\n         1.0\xff\n", 12,
     'Failed to read line!: Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'),
    ("second_block_fault", plot_text([["1.0", "2.0"], ["3.0", "x"]]).encode(), 12,
     "Could not parse line: ParseFloatError { kind: Invalid }"),
]


def kelmor_failure(path, width):
    with pytest.raises(BaseException) as info:
        kelmor.rust_read_valdrum(path, width)
    assert type(info.value).__name__ == "PanicException"
    (message,) = info.value.args
    return message


@pytest.mark.parametrize("content, width, message", [row[1:] for row in FILE_FAULTS],
                         ids=[row[0] for row in FILE_FAULTS])
def test_file_faults_raise_plot_file_error(write_file, capfd, content, width, message):
    path = write_file(content)
    assert kelmor_failure(path, width) == message
    capfd.readouterr()
    with pytest.raises(kelmor_arrays.PlotFileError) as info:
        kelmor_arrays.read(path, width)
    assert info.value.args == (message,)
    assert str(info.value) == message
    assert isinstance(info.value, ValueError)
    assert capfd.readouterr() == ("", "")


def os_cases(tmp_path):
    loop = tmp_path / "loop"
    loop.symlink_to(loop)
    return {
        "missing": (tmp_path / "missing.plt", FileNotFoundError, errno.ENOENT,
                    "Plot file not found!: " + os_error(2, "NotFound", "No such file or directory")),
        "directory": (tmp_path, IsADirectoryError, errno.EISDIR,
                      "Failed to read line!: " + os_error(21, "IsADirectory", "Is a directory")),
        "not_a_directory": (pathlib.Path(os.devnull) / "plot", NotADirectoryError, errno.ENOTDIR,
                            "Plot file not found!: " + os_error(20, "NotADirectory", "Not a directory")),
        "symlink_loop": (loop, OSError, errno.ELOOP,
                         "Plot file not found!: " + os_error(40, "FilesystemLoop", "Too many levels of symbolic links")),
        "name_too_long": (tmp_path / ("x" * 300), OSError, errno.ENAMETOOLONG,
                          "Plot file not found!: " + os_error(36, "InvalidFilename", "File name too long")),
    }


@pytest.mark.parametrize("case", ["missing", "directory", "not_a_directory", "symlink_loop",
                                  "name_too_long"])
@pytest.mark.parametrize("as_path", [False, True], ids=["str", "pathlike"])
def test_system_errors_raise_the_matching_os_error(tmp_path, capfd, case, as_path):
    path, kind, code, message = os_cases(tmp_path)[case]
    given = path if as_path else str(path)
    assert kelmor_failure(str(path), 12) == message
    capfd.readouterr()
    with pytest.raises(OSError) as info:
        kelmor_arrays.read(given, 12)
    assert type(info.value) is kind
    assert (info.value.errno, info.value.strerror, info.value.filename) == (code, message, given)
    assert capfd.readouterr() == ("", "")


def test_permission_denied(write_file):
    if os.geteuid() == 0:
        pytest.skip("root reads every file")
    path = write_file("1\n")
    os.chmod(path, 0)
    with pytest.raises(PermissionError) as info:
        kelmor_arrays.read(path, 12)
    assert info.value.errno == errno.EACCES
    assert info.value.strerror == kelmor_failure(path, 12)


def test_nul_in_path_is_a_value_error(write_file):
    path = write_file(b"1\na\n") + "\0"
    with pytest.raises(ValueError) as info:
        kelmor_arrays.read(path, 12)
    assert type(info.value) is ValueError
    assert info.value.args == (kelmor_failure(path, 12),)


ARGUMENT_ERRORS = [
    # (id, args, kwargs, exception, message part)
    ("bytes_path", (b"run.plt", 12), {}, TypeError, "must be str or os.PathLike of str, not bytes"),
    ("int_path", (3, 12), {}, TypeError, "expected str, bytes or os.PathLike object, not int"),
    ("bytes_pathlike", (pathlib.PurePath, 12), {}, TypeError, "os.PathLike"),
    ("float_width", ("run.plt", 12.0), {}, TypeError, "'float' object cannot be interpreted as an integer"),
    ("str_width", ("run.plt", "12"), {}, TypeError, "'str' object cannot be interpreted as an integer"),
    ("negative_width", ("run.plt", -1), {}, ValueError, "must be from 0 to 4294967295, not -1"),
    ("width_too_large", ("run.plt", 2**32), {}, ValueError, "not 4294967296"),
    ("huge_width", ("run.plt", 10**30), {}, ValueError, "not 1000000000000000000000000000000"),
    ("missing_argument", ("run.plt",), {}, TypeError, "read() missing required argument 'n_digits' (pos 2)"),
    ("extra_argument", ("run.plt", 12, 3), {}, TypeError, "read() takes at most 2 arguments (3 given)"),
    ("unknown_keyword", ("run.plt", 12), {"width": 12}, TypeError, "read() got an unexpected keyword argument 'width'"),
    ("twice", ("run.plt", 12), {"n_digits": 12}, TypeError, "read() got multiple values for argument 'n_digits'"),
    ("wrong_keyword", (), {"path": "run.plt", "n_digits": 12}, TypeError, "unexpected keyword argument 'path'"),
    ("no_arguments", (), {}, TypeError, "read() missing required argument 'file_path' (pos 1)"),
    ("lone_surrogate", ("\udcff\ud800.plt", 12), {}, UnicodeEncodeError, "surrogates not allowed"),
]


@pytest.mark.parametrize("args, kwargs, kind, part", [row[1:] for row in ARGUMENT_ERRORS],
                         ids=[row[0] for row in ARGUMENT_ERRORS])
def test_argument_errors(args, kwargs, kind, part):
    if args and args[0] is pathlib.PurePath:
        class BytesPath:
            def __fspath__(self):
                return b"run.plt"
        args = (BytesPath(),) + args[1:]
    with pytest.raises(kind) as info:
        kelmor_arrays.read(*args, **kwargs)
    assert part in str(info.value)
    assert isinstance(info.value, (TypeError, ValueError))


def test_width_from_index(write_file):
    class Width:
        def __index__(self):
            return 12
    path = write_file(plot_text([["1.5"]]))
    assert memoryview(kelmor_arrays.read(path, Width()).values).tolist() == [[1.5]]


def test_exception_raised_by_fspath_passes_through():
    class Broken:
        def __fspath__(self):
            raise KeyError("no path")
    with pytest.raises(KeyError):
        kelmor_arrays.read(Broken(), 12)


def test_exhausted_memory_is_memory_error(write_file):
    # Under an address space limit the values cannot be mapped: MemoryError with kelmor's
    # message, in a child process, and the interpreter goes on.
    path = write_file(plot_text([[f"{s}.5"] * 1000 for s in range(2000)]))
    code = f"""
import resource, kelmor_arrays
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
with open("/proc/self/statm") as f:
    size = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + (4 << 20), hard))
try:
    kelmor_arrays.read({path!r}, 12)
except MemoryError as exc:
    print("MemoryError", exc.args)
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(kelmor_arrays.read({path!r}, 12).values.shape)
"""
    from conftest import SANITIZED, run_python
    if SANITIZED:
        pytest.skip("the sanitizer's allocator needs more address space than a limit leaves")
    result = run_python(code)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.decode().splitlines() == [
        "MemoryError ('Out of memory while reading the plot file',)", "(2000, 1000)"]
    assert result.stderr == b""


# ---------------------------------------------------------------------------------------
# The values' buffer.

@pytest.fixture
def result(write_file):
    return kelmor_arrays.read(write_file(plot_text([["1.5", "-2", "3"], ["4", "5", "6.25"]])), 12)


def test_memoryview_of_the_values(result):
    view = memoryview(result.values)
    assert (view.ndim, view.shape, view.strides) == (2, (2, 3), (12, 4))
    assert (view.format, view.itemsize, view.nbytes) == ("f", 4, 24)
    assert view.readonly and view.c_contiguous and view.contiguous
    assert view.obj is result.values
    assert view.tolist() == [[1.5, -2.0, 3.0], [4.0, 5.0, 6.25]]
    assert view.cast("B").tobytes() == view.tobytes()
    with pytest.raises(TypeError):
        view[0, 0] = 1.0


def test_numpy_shares_the_values(result):
    numpy = require("numpy")
    array = numpy.asarray(result.values)
    assert (array.shape, array.strides, array.dtype) == ((2, 3), (12, 4), numpy.float32)
    assert array.flags.c_contiguous and not array.flags.writeable and not array.flags.owndata
    # No copy: both views lie on the same memory.
    assert numpy.shares_memory(array, numpy.asarray(result.values))
    assert array.T.tolist() == [[1.5, 4.0], [-2.0, 5.0], [3.0, 6.25]]
    with pytest.raises(ValueError):
        array[0, 0] = 1.0
    pandas = require("pandas")
    frame = pandas.DataFrame(array, columns=result.names)
    assert list(frame.columns) == ["param_0", "param_1", "param_2"]


@pytest.mark.parametrize("flags, shape, strides, fmt", [
    (inspect.BufferFlags.SIMPLE, None, None, None),
    (inspect.BufferFlags.ND, (2, 3), None, None),
    (inspect.BufferFlags.STRIDES | inspect.BufferFlags.FORMAT, (2, 3), (12, 4), "f"),
    (inspect.BufferFlags.FULL_RO, (2, 3), (12, 4), "f"),
    (inspect.BufferFlags.C_CONTIGUOUS, (2, 3), (12, 4), None),
], ids=["simple", "nd", "strided", "full_ro", "c_contiguous"])
def test_every_read_only_request_is_met(result, flags, shape, strides, fmt):
    # memoryview shows what the export gave: without ND one run of bytes.
    view = result.values.__buffer__(flags)
    assert view.readonly and view.nbytes == 24
    if shape is None:
        assert (view.ndim, view.format, view.shape) == (1, "B", (24,))
    else:
        assert view.shape == shape and view.strides == (12, 4)
    view.release()


@pytest.mark.parametrize("flags", [inspect.BufferFlags.WRITABLE, inspect.BufferFlags.FULL,
                                   inspect.BufferFlags.CONTIG])
def test_writable_requests_are_refused(result, flags):
    with pytest.raises(BufferError, match="read-only"):
        result.values.__buffer__(flags)


def test_buffer_outlives_the_result(write_file):
    numpy = require("numpy")
    path = write_file(plot_text([[f"{s}.25", f"-{s}"] for s in range(1000)]))
    view = memoryview(kelmor_arrays.read(path, 12).values)
    array = numpy.asarray(kelmor_arrays.read(path, 12).values)
    gc.collect()
    # Memory that was freed and used again would no longer hold the values.
    filler = [bytearray(8000) for _ in range(1000)]
    expected = [[s + 0.25, -float(s)] for s in range(1000)]
    assert view.tolist() == expected and array.tolist() == expected
    assert isinstance(array.base, (kelmor_arrays.Values, memoryview))
    del filler


def test_lines_sequence(write_file):
    path = write_file(plot_text([[str(s)] for s in range(7)]))
    lines = kelmor_arrays.read(path, 12).block_headers
    expected = [f" time = {s * 0.5:.3E} s" for s in range(7)]
    assert len(lines) == 7 and list(lines) == expected
    assert lines[0] == expected[0] and lines[-1] == expected[-1] and lines[-7] == expected[0]
    assert lines[1:5:2] == expected[1:5:2] and lines[::-1] == expected[::-1] and lines[9:] == []
    assert expected[3] in lines and "x" not in lines
    for index in (7, -8, 2**70):
        with pytest.raises(IndexError):
            lines[index]
    with pytest.raises(TypeError):
        lines["0"]
    assert repr(lines) == "<kelmor_arrays.Lines of 7 block headers>"


def test_types_and_module():
    assert kelmor_arrays.__all__ == ["Lines", "PlotData", "PlotFileError", "Values", "read"]
    assert issubclass(kelmor_arrays.PlotFileError, ValueError)
    assert kelmor_arrays.PlotFileError.__module__ == "kelmor_arrays"
    assert kelmor_arrays.read.__text_signature__ == "(file_path, n_digits)"
    result = kelmor_arrays.read(SAMPLE, 12)
    assert isinstance(result, kelmor_arrays.PlotData)
    assert isinstance(result.values, kelmor_arrays.Values)
    assert isinstance(result.block_headers, kelmor_arrays.Lines)
    assert repr(result) == "<kelmor_arrays.PlotData: 36 parameters, 300 blocks>"
    assert repr(result.values) == "<kelmor_arrays.Values float32 300 x 36, read-only>"
    for kind in (kelmor_arrays.PlotData, kelmor_arrays.Values, kelmor_arrays.Lines):
        with pytest.raises(TypeError):
            kind()
    for name in ("names", "block_headers", "values"):
        with pytest.raises(AttributeError):
            setattr(result, name, None)
    # kelmor keeps its surface.
    assert kelmor.__all__ == ["rust_read_valdrum"]


# ---------------------------------------------------------------------------------------
# Threads.

def test_reads_without_the_interpreter_lock(tmp_path):
    # The reader waits on a FIFO that only this thread writes: were the lock held while it
    # reads, this thread could not run and the read would never end.
    fifo = tmp_path / "plot.fifo"
    os.mkfifo(fifo)
    outcome = []
    reader = threading.Thread(target=lambda: outcome.append(kelmor_arrays.read(fifo, 12)))
    reader.start()
    with open(fifo, "w") as f:
        f.write(plot_text([["1.5", "2.5"]]))
    reader.join(60)
    assert not reader.is_alive()
    assert memoryview(outcome[0].values).tolist() == [[1.5, 2.5]]


def test_threads_read_files_at_once(write_file):
    paths = [write_file(plot_text([[str(t + s / 4)] * 23 for s in range(300)])) for t in range(8)]
    results = [None] * 8 * 3
    errors = []

    def work(i):
        try:
            path = paths[i % 8]
            if i % 5 == 0:
                try:
                    kelmor_arrays.read(path + ".missing", 12)
                except FileNotFoundError:
                    pass
            results[i] = memoryview(kelmor_arrays.read(path, 12).values).tolist()
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(results))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    for i, rows in enumerate(results):
        assert rows == [[i % 8 + s / 4] * 23 for s in range(300)]


def test_free_threading_declaration():
    # Py_mod_gil: a free-threaded interpreter keeps its lock off on import.
    if not getattr(sys, "_is_gil_enabled", None) or not sysconfig_free_threaded():
        pytest.skip("not a free-threaded interpreter")
    assert not sys._is_gil_enabled()


def sysconfig_free_threaded():
    import sysconfig
    return bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


# Sub-interpreters with a lock of their own: the module keeps everything in its module state,
# so each interpreter gets its own types and exception, and reads on its own.
OWN_LOCK_CODE = r"""
import sys
try:
    from concurrent import interpreters
except ImportError:
    import _interpreters
    def run(code):
        interpreter = _interpreters.create()
        try:
            failure = _interpreters.exec(interpreter, code)
        finally:
            _interpreters.destroy(interpreter)
        print(failure.formatted if failure else "ran", flush=True)
else:
    def run(code):
        interpreter = interpreters.create()
        try:
            interpreter.exec(code)
            print("ran", flush=True)
        except interpreters.ExecutionFailed as exc:
            print(exc.excinfo.formatted, flush=True)
        finally:
            interpreter.close()
code = '''
import kelmor_arrays
result = kelmor_arrays.read(SAMPLE, 12)
assert memoryview(result.values).shape == (300, 36), result
try:
    kelmor_arrays.read(SAMPLE, 11)
except kelmor_arrays.PlotFileError:
    pass
'''.replace("SAMPLE", repr(sys.argv[1]))
run(code)
import kelmor_arrays
run(code)
print(kelmor_arrays.read(sys.argv[1], 12).values.shape)
"""


def test_subinterpreters_with_their_own_lock(tmp_path):
    if sys.version_info < (3, 13):
        pytest.skip("CPython 3.12 has no interface for interpreters with a lock of their own")
    from conftest import run_python
    code = OWN_LOCK_CODE.replace("sys.argv[1]", repr(str(SAMPLE)))
    result = run_python(code, script=tmp_path / "interpreters.py")
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.decode().splitlines() == ["ran", "ran", "(300, 36)"]
    assert result.stderr == b""
