# test_failure_report.py: the failure report on file descriptor 2 and the bad-count line on file
# descriptor 1, as a fresh process writes them.
import re

import pytest

from conftest import run_python

MISSING = "/nonexistent/kelmor/plot.txt"
OPEN_FAILURE = 'Plot file not found!: Os { code: 2, kind: NotFound, message: "No such file or directory" }'
HINT = "note: run with `KELMOR_BACKTRACE=1` environment variable to display a backtrace\n"

TWO_FAILURES = f"""
import os, kelmor
print(os.getpid(), flush=True)
for _ in range(2):
    try:
        kelmor.rust_read_valdrum({MISSING!r}, 12)
    except BaseException as exc:
        print(type(exc).__name__, exc.args == ({OPEN_FAILURE!r},), flush=True)
"""

HEAD = r"\nthread '<unnamed>' \((\d+)\) panicked at src/lib/[a-z_]+\.cpp:\d+:\d+:\n"


def report_pattern(message):
    return HEAD + re.escape(message + "\n")


@pytest.mark.parametrize("env", [{}, {"KELMOR_BACKTRACE": "0"}], ids=["unset", "zero"])
def test_report_hint_only_on_first(env):
    result = run_python(TWO_FAILURES, env)
    assert result.returncode == 0
    pid, first, second = result.stdout.decode().splitlines()
    assert first == second == "PanicException True"
    err = result.stderr.decode()
    match = re.fullmatch(report_pattern(OPEN_FAILURE) + re.escape(HINT) + report_pattern(OPEN_FAILURE), err)
    assert match, err
    # Threads that the module did not create show as unnamed, with their kernel thread id.
    assert match.group(1) == match.group(2) == pid


@pytest.mark.parametrize("value", ["1", "full", "yes", ""])
def test_report_with_backtrace(value):
    result = run_python(TWO_FAILURES, {"KELMOR_BACKTRACE": value})
    assert result.returncode == 0
    err = result.stderr.decode()
    reports = re.findall(HEAD + re.escape(OPEN_FAILURE) + "\nstack backtrace:\n", err)
    assert len(reports) == 2, err
    assert "note: run with `KELMOR_BACKTRACE=1`" not in err


def test_report_in_thread_shows_its_own_id():
    code = f"""
import threading, kelmor
def work():
    import threading
    print(threading.get_native_id(), flush=True)
    try:
        kelmor.rust_read_valdrum({MISSING!r}, 12)
    except BaseException:
        pass
t = threading.Thread(target=work, name="worker")
t.start(); t.join()
"""
    result = run_python(code)
    tid = result.stdout.decode().strip()
    err = result.stderr.decode()
    assert re.fullmatch(report_pattern(OPEN_FAILURE) + re.escape(HINT), err), err
    assert f"thread '<unnamed>' ({tid}) panicked at" in err


BAD_COUNT = """
import kelmor, sys
try:
    kelmor.rust_read_valdrum(sys.argv[1] if len(sys.argv) > 1 else PATH, 12)
except BaseException as exc:
    sys.stderr.write("ARGS " + repr(exc.args) + "\\n")
"""


@pytest.mark.parametrize("first_line, token", [
    ("3 parameters", "parameters"),
    ("Number of parameters: -3", "-3"),
    ("n = 3.0", "3.0"),
    ("+", "+"),
    ("4294967296", "4294967296"),
], ids=["word", "negative", "decimal", "plus", "too_large"])
def test_bad_count_line_on_stdout(write_file, first_line, token):
    path = write_file(first_line + "\nname\n")
    result = run_python(BAD_COUNT.replace("PATH", repr(path)))
    assert result.returncode == 0
    assert result.stdout.decode() == f"Error: '{token}' is not a valid number of parameters!\n"
    message = f"The first line should end with the number of parameters:\n'{first_line}'"
    err = result.stderr.decode()
    assert re.fullmatch(report_pattern(message) + re.escape(HINT) + re.escape(f"ARGS {(message,)!r}\n"), err), err


def test_argument_errors_write_nothing():
    result = run_python("""
import kelmor
for args in [(), (1, 2), ("x", -1), ("x", 2**32), ("x", 1.5)]:
    try:
        kelmor.rust_read_valdrum(*args)
    except BaseException:
        pass
""")
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
