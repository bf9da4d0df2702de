# test_hostile.py: inputs that no plot file writer produces: huge counts, endless and very long
# lines, FIFOs, files that change while they are read, broken UTF-8 anywhere, fields cut inside
# characters, paths the system refuses. Each ends in its documented failure or a sound result.
import os
import struct
import subprocess
import sys
import tempfile

import pytest

import kelmor
from conftest import plot_text, run_python

INVALID_UTF8 = 'Failed to read line!: Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'
TOO_LONG = 'Failed to read line!: Error { kind: InvalidData, message: "line longer than 1073741824 bytes" }'


def os_error(code, kind, message):
    return f'Os {{ code: {code}, kind: {kind}, message: "{message}" }}'


def failure_of(path, width, capfd=None):
    """The message of the PanicException that reading `path` raises."""
    with pytest.raises(BaseException) as info:
        kelmor.rust_read_valdrum(path, width)
    assert type(info.value).__name__ == "PanicException"
    assert len(info.value.args) == 1
    if capfd is not None:
        err = capfd.readouterr().err
        assert f":\n{info.value.args[0]}\n" in err
    return info.value.args[0]


# The count is read before any name line, and a count of 2^32 - 1 is valid: the reader goes on
# to the name lines, which the file does not have. (The columns are created only after the names;
# test_faults.py makes their allocation fail.)
@pytest.mark.parametrize("token", ["4294967295", "+4294967295", "0004294967295"])
def test_largest_count_without_names(write_file, capfd, token):
    path = write_file(f"Number of parameters: {token}\nname\n".encode())
    assert failure_of(path, 12, capfd) == "Failed to read line!"


def test_count_beyond_32_bits(write_file, capfd):
    path = write_file(b"Number of parameters: 99999999999999999999999999\n")
    assert failure_of(path, 12) == (
        "The first line should end with the number of parameters:\n"
        "'Number of parameters: 99999999999999999999999999'")
    assert capfd.readouterr().out == (
        "Error: '99999999999999999999999999' is not a valid number of parameters!\n")


def long_line_files():
    values = [["1.25", "-2.5e-1"], ["3.0", "4"]]
    expected = [[1.25, 3.0], [-0.25, 4.0]]
    big = 200_000
    return [
        # (id, content, width, result)
        ("long_count_line", ("x" * big + " 2\n").encode() + plot_text(values).split("\n", 1)[1].encode(),
         12, expected),
        ("long_name_lines", ("2\n" + "n" * big + "\n" + "\u00e9" * big + "\n").encode()
         + b"".join(line.encode() + b"\n" for line in plot_text(values).splitlines()[3:]), 12, expected),
        ("long_block_header", plot_text(values).replace(" time = 0.000E+00 s", "t" * big).encode(),
         12, expected),
        ("wide_fields", plot_text(values, width=50_000).encode(), 50_000, expected),
        ("long_ignored_tail", plot_text(values).replace("     -2.5e-1\n", "     -2.5e-1" + "#" * big + "\n").encode(),
         12, expected),
        ("long_line_without_feed", b"1\na\nt\n" + b" " * big + b"7", big + 1, [[7.0]]),
    ]


@pytest.mark.parametrize("content, width, expected", [row[1:] for row in long_line_files()],
                         ids=[row[0] for row in long_line_files()])
def test_lines_far_longer_than_the_buffer(write_file, content, width, expected):
    assert kelmor.rust_read_valdrum(write_file(content), width) == expected


# Line ends, carriage returns and multi-byte characters that straddle the 8192-byte refills.
@pytest.mark.parametrize("shift", range(-4, 4))
@pytest.mark.parametrize("tail", [b"\r\n", b"\n", "\u20ac\r\n".encode(), "\U0001d11e\n".encode()])
def test_line_ends_across_refills(write_file, shift, tail):
    head = b"1\n"
    # The name line runs up to the buffer's end, give or take `shift` bytes, then its tail.
    name = b"n" * (8192 - len(head) - len(tail) + shift) + tail
    path = write_file(head + name + b"t\n         1.5" + tail)
    assert kelmor.rust_read_valdrum(path, 12) == [[1.5]]


def test_dev_zero_ends_in_the_long_line_failure(tmp_path):
    # One endless line without a line feed: the reader gives up at 1 GiB instead of taking all
    # memory. A fresh process, so that the gathered gigabyte is not kept by this one.
    code = """
import kelmor
try:
    kelmor.rust_read_valdrum("/dev/zero", 12)
except BaseException as exc:
    print(type(exc).__name__, exc.args == (%r,), flush=True)
""" % TOO_LONG
    result = run_python(code)
    assert result.returncode == 0, result.stderr.decode()[-2000:]
    assert result.stdout.decode() == "PanicException True\n"
    assert f"panicked at src/lib/reader.cpp:" in result.stderr.decode()


def test_dev_urandom_ends_in_a_failure(capfd):
    # Endless random bytes end in a failure, almost always the first line that is not UTF-8; a
    # first line of valid text ends in the count failure, or, when it ends in digits (about one
    # run in ten thousand), in whichever failure the following bytes meet first.
    assert failure_of("/dev/urandom", 12, capfd)


def test_dev_null_is_an_empty_file(capfd):
    assert failure_of("/dev/null", 12, capfd) == "Failed ot read line!"


def start_fifo_writer(fifo, source):
    # The writer is another process: the reader keeps the interpreter lock while it waits for
    # data, so a writer thread of this interpreter could never run.
    return subprocess.Popen(["sh", "-c", 'exec cat "$1" > "$2"', "sh", source, fifo])


@pytest.mark.parametrize("steps", [2, 5000], ids=["small", "beyond_pipe_capacity"])
def test_fifo_with_writer(write_file, tmp_path, steps):
    blocks = [[f"{s}.5", f"-{s}"] for s in range(steps)]
    source = write_file(plot_text(blocks))
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    writer = start_fifo_writer(fifo, source)
    try:
        result = kelmor.rust_read_valdrum(fifo, 12)
    finally:
        writer.wait(timeout=60)
    assert result == [[s + 0.5 for s in range(steps)], [-float(s) for s in range(steps)]]


def test_fifo_writer_gone_mid_block(write_file, tmp_path, capfd):
    source = write_file(plot_text([["1.5"] * 12] * 3).encode()[:-20])
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    writer = start_fifo_writer(fifo, source)
    try:
        assert failure_of(fifo, 12, capfd) == "byte index 12 is out of bounds of `     `"
    finally:
        writer.wait(timeout=60)


def test_unreadable_file_as_another_user(tmp_path):
    # Root reads every file; a child that gives up root's rights meets the permission check.
    if os.geteuid() != 0:
        pytest.skip("test_reading.py covers this for ordinary users")
    folder = tempfile.mkdtemp(prefix="kelmor-")
    try:
        os.chmod(folder, 0o755)
        path = os.path.join(folder, "plot.txt")
        with open(path, "w") as file:
            file.write("1\n")
        os.chmod(path, 0)
        code = """
import os, sys
os.setgid(65534)
os.setuid(65534)
sys.path[:0] = %r
import kelmor
try:
    kelmor.rust_read_valdrum(%r, 12)
except BaseException as exc:
    print(exc.args[0])
""" % (sys.path, path)
        result = run_python(code)
        if b"No module named" in result.stderr or b"Permission denied" in result.stderr and not result.stdout:
            pytest.skip("the module is not readable by an unprivileged user here")
        assert result.stdout.decode() == "Plot file not found!: " + os_error(13, "PermissionDenied", "Permission denied") + "\n"
    finally:
        os.unlink(path)
        os.rmdir(folder)


@pytest.mark.parametrize("make_path, message", [
    (lambda d: os.path.join(d, "x" * 300), os_error(36, "InvalidFilename", "File name too long")),
    (lambda d: os.path.join(d, "loop"), os_error(40, "FilesystemLoop", "Too many levels of symbolic links")),
    (lambda d: os.path.join(d, "file", "below"), os_error(20, "NotADirectory", "Not a directory")),
], ids=["name_too_long", "symlink_loop", "file_as_directory"])
def test_paths_the_system_refuses(tmp_path, capfd, make_path, message):
    os.symlink("loop", tmp_path / "loop")
    (tmp_path / "file").write_text("1\n")
    assert failure_of(make_path(str(tmp_path)), 12, capfd) == "Plot file not found!: " + message


# A block's data line with two fields of width 12; the bad sequence is written over the line at
# every position (the line keeps its length), in the fields and in the ignored tail.
DATA_LINE = b"         1.5        -2.5   ignored"
BAD_SEQUENCES = [b"\xff", b"\x80", b"\xc3", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xed\xa0\x80",
                 b"\xf4\x90\x80\x80", b"\xf0\x9f\x98", b"\xf8\x88\x80\x80\x80"]


@pytest.mark.parametrize("bad", BAD_SEQUENCES, ids=[b.hex() for b in BAD_SEQUENCES])
def test_invalid_utf8_at_every_position_of_a_data_line(write_file, capfd, bad):
    for position in range(len(DATA_LINE) - len(bad) + 1):
        line = DATA_LINE[:position] + bad + DATA_LINE[position + len(bad):]
        path = write_file(b"2\na\nb\nt\n" + line + b"\n")
        assert failure_of(path, 12) == INVALID_UTF8, position
    capfd.readouterr()


@pytest.mark.parametrize("line_index", range(5), ids=["count", "name", "header", "data", "next_header"])
def test_invalid_utf8_in_every_kind_of_line(write_file, capfd, line_index):
    lines = [b"2", b"a", b"t", DATA_LINE, b"t"]
    lines[line_index] += b"\xed\xbf\xbf"  # an encoded surrogate
    assert failure_of(write_file(b"\n".join(lines) + b"\n"), 12, capfd) == INVALID_UTF8


def float32(value):
    return struct.unpack("f", struct.pack("f", value))[0]


def char_literal(char):
    return "'\\u{a0}'" if char == "\u00a0" else f"'{char}'"


# Characters of two, three and four bytes (a no-break space among them, which the message writes
# escaped) placed so that each byte offset of the character meets the end of field 0 or the start
# of field 1 of a width-12 line.
@pytest.mark.parametrize("char", ["\u00b0", "\u00a0", "\u20ac", "\U0001d11e"])
def test_fields_that_end_inside_a_character(write_file, capfd, char):
    encoded = char.encode()
    for start in range(12 - len(encoded) + 1, 12 + 1):
        line_bytes = b"1" * start + encoded
        line_bytes += b"2" * (24 - len(line_bytes)) + b"3" * 4
        line = line_bytes.decode()
        path = write_file(b"2\na\nb\nt\n" + line_bytes + b"\n")
        end = start + len(encoded)
        if start == 12 or end == 12:
            # The boundary falls between characters: a field holds the character, which is white
            # space around the number or makes the field no number.
            if char == "\u00a0":
                fields = [line_bytes[:12].decode(), line_bytes[12:24].decode()]
                expected = [[float32(float(field.strip("\u00a0")))] for field in fields]
                assert kelmor.rust_read_valdrum(path, 12) == expected
                continue
            expected = "Could not parse line: ParseFloatError { kind: Invalid }"
        else:
            expected = (f"byte index 12 is not a char boundary; it is inside {char_literal(char)} "
                        f"(bytes {start}..{end}) of `{line}`")
        assert failure_of(path, 12) == expected, start
    capfd.readouterr()


# A file rewritten by another process while it is read: every outcome is a whole result of
# complete blocks whose values are the ones written, or one of the failures of a file that ends
# or changes mid-way; never a crash, a hang or a value that was never written.
CHANGING_WRITER = r"""
import os, sys
path, head, block = sys.argv[1], sys.argv[2].encode(), sys.argv[3].encode()
fd = os.open(path, os.O_WRONLY)
os.ftruncate(fd, 0)
os.write(fd, head)
print("ready", flush=True)
while True:
    for _ in range(200):  # grows block by block, each in two pieces cut inside a line
        os.write(fd, block[:37])
        os.write(fd, block[37:])
    for size in range(len(head) + 200 * len(block), len(head), -97):  # and shrinks
        os.ftruncate(fd, size)
    os.lseek(fd, len(head), os.SEEK_SET)
"""

CHANGING_FAILURES = {
    "Failed ot read line!",
    "Failed to read line!",
    "Error reading line",
    "Could not parse line: ParseFloatError { kind: Empty }",
    "Could not parse line: ParseFloatError { kind: Invalid }",
}


def test_file_that_grows_and_shrinks_while_read(write_file, capfd):
    values = [f"{i}.25" for i in range(12)]
    text = plot_text([values])
    head = text[: text.index(" time")]
    block = text[len(head):]
    path = write_file(head)
    writer = subprocess.Popen([sys.executable, "-c", CHANGING_WRITER, path, head, block],
                              stdout=subprocess.PIPE)
    outcomes = set()
    try:
        assert writer.stdout.readline() == b"ready\n"
        for _ in range(2000):
            try:
                columns = kelmor.rust_read_valdrum(path, 12)
            except BaseException as exc:
                assert type(exc).__name__ == "PanicException"
                message = exc.args[0]
                assert message in CHANGING_FAILURES or message.startswith("byte index "), message
                outcomes.add(message.split(":")[0])
            else:
                assert len(columns) == 12 and len({len(column) for column in columns}) == 1
                assert all(set(column) <= {i + 0.25} for i, column in enumerate(columns))
                outcomes.add("result")
    finally:
        writer.kill()
        writer.wait()
    capfd.readouterr()
    assert outcomes  # what exactly was met depends on the timing, which the test does not fix


# Standard output and standard error closed, or a pipe nobody reads: the count line and the
# failure reports cannot be written, which changes nothing for the caller.
CLOSED_STREAMS = r"""
import os, sys
path = sys.argv[1]
result = os.fdopen(os.dup(1), "w")
os.close(1)
os.close(2)
import kelmor
for _ in range(3):
    try:
        kelmor.rust_read_valdrum(path, 12)
    except BaseException as exc:
        print(type(exc).__name__, exc.args, file=result, flush=True)
"""


def test_closed_standard_streams(write_file):
    path = write_file(b"3 parameters\n")
    process = subprocess.run([sys.executable, "-c", CLOSED_STREAMS, path], capture_output=True, timeout=60)
    message = "The first line should end with the number of parameters:\n'3 parameters'"
    assert process.returncode == 0
    assert process.stdout.decode() == f"PanicException ({message!r},)\n" * 3


def test_streams_to_a_pipe_without_reader(write_file):
    # The interpreter ignores SIGPIPE, so the writes fail with EPIPE instead of ending the process.
    path = write_file(b"3 parameters\n")
    code = CLOSED_STREAMS.replace("os.close(1)\nos.close(2)", "r, w = os.pipe()\nos.close(r)\nos.dup2(w, 1)\nos.dup2(w, 2)")
    process = subprocess.run([sys.executable, "-c", code, path], capture_output=True, timeout=60)
    message = "The first line should end with the number of parameters:\n'3 parameters'"
    assert process.returncode == 0
    assert process.stdout.decode() == f"PanicException ({message!r},)\n" * 3


# Signals that arrive while the reader waits for a FIFO: the interrupted reads are repeated, and the
# interpreter runs the Python handlers once the call has returned.
SIGNALS = r"""
import os, signal, subprocess, sys
fifo, source = sys.argv[1], sys.argv[2]
caught = []
signal.signal(signal.SIGALRM, lambda number, frame: caught.append(number))
writer = subprocess.Popen(["sh", "-c", 'exec 3>"$1"; head -c 5000 "$2" >&3; sleep 0.3; cat "$2" | tail -c +5001 >&3',
                           "sh", fifo, source])
signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
import kelmor
result = kelmor.rust_read_valdrum(fifo, 12)
signal.setitimer(signal.ITIMER_REAL, 0, 0)
writer.wait()
print(len(result), len(result[0]), result[1][-1], bool(caught))
"""


def test_signals_during_a_read(write_file, tmp_path):
    steps = 400
    source = write_file(plot_text([[f"{s}.5", f"-{s}"] for s in range(steps)]))
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    process = subprocess.run([sys.executable, "-c", SIGNALS, fifo, source], capture_output=True, timeout=60)
    assert process.returncode == 0, process.stderr.decode()[-2000:]
    assert process.stdout.decode() == f"2 {steps} {-float(steps - 1)} True\n"
