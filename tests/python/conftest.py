# conftest.py: shared helpers: plot files written under tmp_path, and fresh interpreters.
import importlib
import os
import signal
import subprocess
import sys

import pytest

import kelmor

# True when the ASan runtime is preloaded (make test-sanitize): its allocator keeps freed memory
# in quarantine, so resident memory says nothing about leaks, and its operator new aborts instead
# of throwing when memory runs out.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

# Set by tools/run-python-tests, which installs every test dependency: there a missing package,
# interpreter module or tool is a broken set-up, and the run must fail rather than pass on
# fewer tests.
STRICT = os.environ.get("KELMOR_TEST_STRICT") == "1"


def require(module):
    """Imports and gives `module`; when it is missing the test is skipped, or fails under
    STRICT."""
    if STRICT:
        return importlib.import_module(module)
    return pytest.importorskip(module)


def missing(what):
    """Skips the test for want of `what`, or fails it under STRICT."""
    if STRICT:
        pytest.fail(f"{what} is missing, and the test set-up should have provided it")
    pytest.skip(f"{what} is missing")


def format_block(values, width):
    """The data lines of one timestep block: values right-aligned in fields, ten to a line."""
    lines = []
    for start in range(0, len(values), 10):
        lines.append("".join(f"{v:>{width}}" for v in values[start:start + 10]))
    return lines


def plot_text(blocks, n=None, width=12, newline="\n"):
    """A plot file holding `blocks` (one list of field texts per timestep)."""
    if n is None:
        n = len(blocks[0])
    lines = [f"Number of parameters: {n}"]
    lines += [f"  {i + 1} param_{i}" for i in range(n)]
    for step, values in enumerate(blocks):
        lines.append(f" time = {step * 0.5:.3E} s")
        lines += format_block(values, width)
    return newline.join(lines) + newline


@pytest.fixture
def write_file(tmp_path):
    """Writes bytes or text to a new file under tmp_path and gives its path as str."""
    counter = iter(range(1_000_000))

    def write(content, name=None):
        path = tmp_path / (name or f"plot_{next(counter)}.txt")
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    return write


@pytest.fixture
def read():
    return kelmor.rust_read_valdrum


def run_python(code, env_update=None, unset=("KELMOR_BACKTRACE",), script=None):
    """Runs `code` in a fresh interpreter, from the file `script` if given (so that tracebacks
    show source lines); gives the completed process (bytes output)."""
    env = dict(os.environ)
    for name in unset:
        env.pop(name, None)
    env.update(env_update or {})
    if script is None:
        command = [sys.executable, "-c", code]
    else:
        script.write_text(code)
        command = [sys.executable, str(script)]
    return subprocess.run(command, capture_output=True, env=env, timeout=120)


class Width:
    """An __index__ that gives `value`, or raises a new exception of type `value` with `message`
    (a new one each time: raising one instance again would chain its tracebacks)."""

    def __init__(self, value, message=""):
        self.value = value
        self.message = message

    def __index__(self):
        if isinstance(self.value, type):
            raise self.value(self.message)
        return self.value


class DieOnIndex:
    """A field width whose conversion kills the process, as the kernel's out-of-memory killer
    would, or when `once` names a file, only the first time (it creates the file) and then
    gives 12: for tests of worker processes that die. It lives here, not in a test file,
    because a worker imports its module to unpickle it, and this one imports little."""

    def __init__(self, once=None):
        self.once = once

    def __index__(self):
        if self.once is not None:
            try:
                os.close(os.open(self.once, os.O_CREAT | os.O_EXCL))
            except FileExistsError:
                return 12
        os.kill(os.getpid(), signal.SIGKILL)


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
