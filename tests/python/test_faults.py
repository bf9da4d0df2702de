# test_faults.py: allocations that fail inside a call. Every call ends in its normal outcome, an
# ordinary MemoryError, or PanicException "PyObject pointer is null" after an unraisable report of
# the MemoryError; nothing is leaked and the interpreter goes on working. Each scenario runs in a
# fresh interpreter, so that a crash could not take the test run down with it.
import re

import pytest

from conftest import SANITIZED, plot_text, require, run_python

require("_testcapi")  # the interpreter's test module, which sets the failing allocations

NULL_RESULT = "PyObject pointer is null"

# Runs each call shape with exactly one failing allocation, the k-th after the hook is set, for
# every k up to past the shape's number of allocations. Each k runs in a forked child with its own
# standard error, which makes the failing call 21 times (free lists move the failing allocation
# from call to call) and checks that the last 20 left no block and no reference behind. Besides
# the three outcomes above, an argument error may show "<failed to extract type name>" when the
# type's name could not be had. When the failing allocation is one that the entry needs to surface
# a failure (the message string or the argument tuple of the PanicException), the null-result
# failure escapes while surfacing and the last-resort guard ends the process: that is the
# documented end of a failure that cannot be surfaced.
SWEEP = r"""
import gc, os, sys, tempfile, _testcapi, kelmor

good, missing = sys.argv[1], sys.argv[2]
unraisable = []
sys.unraisablehook = lambda report: unraisable.append(report.exc_type)

class Width:
    def __index__(self):
        return 12

width = Width()
shapes = {
    "positional": ((good, 12), {}),
    "keywords": ((), {"n_digits": width, "file_path": good}),
    "missing": ((missing, 12), {}),
    "bytes path": ((b"x", 12), {}),
    "float width": ((good, 1.5), {}),
    "unknown keyword": ((good,), {"width": 12}),
}
expected = {
    "positional": [[1.5, 3.5], [2.5, 4.5]],
    "keywords": [[1.5, 3.5], [2.5, 4.5]],
    "missing": ("PanicException", 'Plot file not found!: Os { code: 2, kind: NotFound, message: "No such file or directory" }'),
    "bytes path": ("TypeError", "argument 'file_path': 'bytes' object is not an instance of 'str'"),
    "float width": ("TypeError", "argument 'n_digits': 'float' object cannot be interpreted as an integer"),
    "unknown keyword": ("TypeError", "rust_read_valdrum() got an unexpected keyword argument 'width'"),
}

def call(args, kwargs):
    try:
        return kelmor.rust_read_valdrum(*args, **kwargs)
    except BaseException as exc:
        return (type(exc).__name__, str(exc))

def failing_call(name, k):
    # Only the call runs with the hook: the outcome is looked at once allocations work again.
    del unraisable[:]
    args, kwargs = shapes[name]
    _testcapi.set_nomemory(k, k + 1)
    try:
        outcome = kelmor.rust_read_valdrum(*args, **kwargs)
    except BaseException as exc:
        outcome = exc
    finally:
        _testcapi.remove_mem_hooks()
    if isinstance(outcome, BaseException):
        outcome = (type(outcome).__name__, str(outcome))
    if outcome == expected[name]:
        return "normal"
    if outcome == ("MemoryError", ""):
        return "MemoryError"
    if outcome == ("PanicException", "PyObject pointer is null"):
        # The null-result rule: the pending MemoryError is reported as unraisable first.
        return "null result" if unraisable == [MemoryError] else "null result without report"
    if outcome == (expected[name][0], expected[name][1].replace("'bytes'", "'<failed to extract type name>'")):
        return "type name fallback"  # the message could not get the type's name
    return repr(outcome)

def child(name, k, times=20):
    # Every outcome of a first call and `times` more, and the blocks and references that the
    # `times` calls left: free lists move a block or two, a leak of one block per call would
    # show as `times` blocks or more.
    outcomes = {failing_call(name, k)}
    gc.collect()
    blocks, refs = sys.getallocatedblocks(), (sys.getrefcount(good), sys.getrefcount(width))
    for _ in range(times):
        outcomes.add(failing_call(name, k))
    gc.collect()
    leaked = sys.getallocatedblocks() - blocks
    refs_kept = (sys.getrefcount(good), sys.getrefcount(width)) == refs
    return f"{','.join(sorted(outcomes))};{leaked};{refs_kept}"

for name in shapes:
    for _ in range(3):  # warm up what the children inherit
        assert call(*shapes[name]) == expected[name], name
        assert failing_call(name, 10**9) == "normal"
for name in shapes:
    for k in range(100):
        err = tempfile.TemporaryFile()
        reader, writer = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(reader)
            os.dup2(err.fileno(), 2)
            os.write(writer, child(name, k).encode())
            os._exit(0)
        os.close(writer)
        with os.fdopen(reader, "rb") as pipe:
            result = pipe.read().decode()
        _, status = os.waitpid(pid, 0)
        err.seek(0)
        text = err.read().decode()
        if not result:
            result = f"exit {os.waitstatus_to_exitcode(status)} {text[-400:]!r};0;True"
        if os.WIFSIGNALED(status):
            result = f"signal {os.WTERMSIG(status)};0;True"
            if "surface.cpp" in text and "uncaught panic at ffi boundary" in text:
                result = "abort while surfacing;0;True"
        print(f"{name}|{k}|{result}|{text.count('panicked at')}")
# The interpreter that ran all this is still usable, and the module too.
assert call(*shapes["positional"]) == expected["positional"]
print(f"sum|{sum(range(100_000))}")
"""


@pytest.fixture
def sweep_files(write_file):
    good = write_file(plot_text([["1.5", "2.5"], ["3.5", "4.5"]]))
    return good, good + ".missing"


def test_single_failing_allocations(sweep_files, tmp_path):
    result = run_python(SWEEP.replace("sys.argv[1], sys.argv[2]", "%r, %r" % sweep_files),
                        script=tmp_path / "sweep.py")
    out, err = result.stdout.decode(), result.stderr.decode()
    assert result.returncode == 0, err[-3000:]
    rows = [line.split("|") for line in out.splitlines()]
    assert rows[-1] == ["sum", "4999950000"]
    kinds = {}
    allowed = {"normal", "MemoryError", "null result", "type name fallback", "abort while surfacing"}
    for name, k, outcome, reports in rows[:-1]:
        seen, leaked, refs_kept = outcome.split(";")
        seen = set(seen.split(","))
        assert seen <= allowed, (name, k, outcome)
        assert int(leaked) < 10 and refs_kept == "True", (name, k, outcome)
        if seen != {"abort while surfacing"}:
            # At least one report per null result, at most one per call besides.
            assert int(reports) <= 21 * (1 + (name == "missing")), (name, k, outcome)
            assert int(reports) >= ("null result" in seen), (name, k, outcome)
        kinds.setdefault(name, set()).update(seen)
    # The result conversion and the building of argument errors met failing allocations that
    # ended in the null-result rule; the failure of the missing file met them while surfacing;
    # and every shape also ran to its normal end.
    for name in ("positional", "keywords", "bytes path", "float width"):
        assert "null result" in kinds[name], (name, kinds[name])
    assert "abort while surfacing" in kinds["missing"]
    for name, seen in kinds.items():
        assert "normal" in seen, (name, seen)


# Every allocation fails from the k-th on, until the call returns. The module then cannot even
# build the exception that would carry its failure: the documented end is the last-resort
# guard's abort with its report, never a crash of another kind or a hang.
PERSISTENT = r"""
import sys, _testcapi, kelmor
path, k = sys.argv[1], int(sys.argv[2])
print("start", flush=True)
_testcapi.set_nomemory(k, 0)
try:
    kelmor.rust_read_valdrum(path, 12)
except BaseException:
    pass
_testcapi.remove_mem_hooks()
print("returned", flush=True)
"""


@pytest.mark.parametrize("k", range(0, 12))
def test_allocations_failing_for_good(sweep_files, tmp_path, k):
    code = PERSISTENT.replace("sys.argv[1], int(sys.argv[2])", "%r, %d" % (sweep_files[0], k))
    result = run_python(code, script=tmp_path / "persistent.py")
    out, err = result.stdout.decode(), result.stderr.decode()
    assert out.startswith("start\n")
    if result.returncode == 0:
        assert out == "start\nreturned\n"
    else:
        assert result.returncode == -6, err  # SIGABRT from the last-resort guard
        assert "panicked at" in err
        assert "uncaught panic at ffi boundary" in err or "failure raised while another failure was unwinding" in err


# The columns are created before any block is read; when the memory for them cannot be had the
# call fails like any other, and the process lives on. An address-space limit makes the
# allocation of 3,000,000 columns fail; the names exist (empty lines), as the reader needs them.
COLUMNS = r"""
import resource, sys, kelmor
path, small = sys.argv[1], sys.argv[2]
with open("/proc/self/statm") as statm:
    size = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + 48 * 2**20, resource.RLIM_INFINITY))
try:
    kelmor.rust_read_valdrum(path, 12)
except BaseException as exc:
    print(type(exc).__name__, exc.args, flush=True)
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(kelmor.rust_read_valdrum(small, 12))
"""


# The ASan runtime reserves more address space than the limit allows, and aborts when operator
# new fails; the sanitizer run leaves this to the normal run.
@pytest.mark.skipif(SANITIZED, reason="the ASan runtime needs more address space than the limit")
def test_columns_that_cannot_be_allocated(write_file, tmp_path):
    count = 3_000_000
    path = write_file(b"%d\n" % count + b"\n" * count)
    small = write_file(plot_text([["1.5", "2.5"]]))
    result = run_python(COLUMNS.replace("sys.argv[1], sys.argv[2]", "%r, %r" % (path, small)),
                        script=tmp_path / "columns.py")
    message = "Could not allocate the columns of 3000000 parameters: out of memory"
    assert result.returncode == 0, result.stderr.decode()[-3000:]
    assert result.stdout.decode() == f"PanicException ({message!r},)\n[[1.5], [2.5]]\n"
    assert re.fullmatch(r"\nthread '<unnamed>' \(\d+\) panicked at src/lib/reader\.cpp:\d+:\d+:\n"
                        + re.escape(message) + r"\nnote: run with `KELMOR_BACKTRACE=1` environment "
                        r"variable to display a backtrace\n", result.stderr.decode())


# The first failure of a fresh process when memory has run out, as a user meets it: under an
# address-space limit the call exhausts the heap and fails at that very moment, so nothing that
# raising a failure needs may be created on first use then (glibc, for one, allocates a thread's
# thread-local storage of a module loaded by dlopen at the thread's first access to it, and ends
# the process when it cannot). The failure is reported and raised, and the process goes on: in
# the main thread, and in a thread that exists before the limit is set; with or without a
# backtrace, which must not come out empty.
EXHAUSTED = r"""
import _thread, resource, sys, threading, kelmor
path, headroom, where = sys.argv[1], int(sys.argv[2]), sys.argv[3]

def call():
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
    resource.setrlimit(resource.RLIMIT_AS, (size + headroom, resource.RLIM_INFINITY))
    try:
        kelmor.rust_read_valdrum(path, 1)
        outcome = None
    except BaseException as exc:
        outcome = exc
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    print(threading.get_native_id(), type(outcome).__name__, getattr(outcome, "args", ()),
          flush=True)

if where == "main":
    call()
else:
    # The main thread must need no memory while the heap is exhausted: it blocks on a lock that
    # the thread releases once the limit is lifted. (threading.Thread.start() goes on running
    # Python code in the main thread after the new thread has started, which then met the
    # exhausted heap when the call let the interpreter lock go.)
    done = _thread.allocate_lock()
    done.acquire()

    def run():
        try:
            call()
        finally:
            done.release()

    _thread.start_new_thread(run, ())
    done.acquire()
print("alive", sum(range(1000)), flush=True)
"""

HINT = "note: run with `KELMOR_BACKTRACE=1` environment variable to display a backtrace\n"


@pytest.fixture(scope="module")
def many_blocks(tmp_path_factory):
    """One parameter in 20,000,000 blocks: the result outgrows 300 MB."""
    path = tmp_path_factory.mktemp("exhausted") / "many.plt"
    path.write_bytes(b"1\np\n" + b"\n1\n" * 20_000_000)
    return str(path)


# What runs out: the floats of the result (the interpreter's MemoryError is reported as
# unraisable first), or the column while the file is read. "result" uses the interpreter's own
# allocator, which fails when it cannot map a new arena, while malloc may still hold free
# fragments. "heap" makes every object a malloc block: when a float cannot be had, no free
# block is left anywhere, and the interpreter's own unraisable report may come out in pieces.
KINDS = {  # headroom, environment, failing statement, message
    "result": (300 * 2**20, {}, "src/interface/convert.cpp", "PyObject pointer is null"),
    "heap": (300 * 2**20, {"PYTHONMALLOC": "malloc", "PYTHONUNBUFFERED": "1"},
             "src/interface/convert.cpp", "PyObject pointer is null"),
    "column": (40 * 2**20, {}, "src/lib/reader.cpp", "Out of memory while reading the plot file"),
}


# The ASan runtime maps its heap at start-up, so a limit set later never exhausts it (the call
# succeeds), and its operator new aborts instead of throwing when memory runs out.
@pytest.mark.skipif(SANITIZED, reason="an address-space limit does not exhaust the ASan heap")
@pytest.mark.parametrize("kind, where, backtrace", [
    ("result", "main", None), ("result", "thread", None),
    ("result", "main", "1"), ("result", "thread", "1"),
    ("result", "main", "full"), ("result", "thread", "full"),
    ("heap", "main", None), ("heap", "thread", None), ("heap", "thread", "1"),
    ("column", "main", None), ("column", "thread", None),
], ids=lambda value: {None: "no-backtrace", "1": "backtrace", "full": "full-backtrace"}.get(
    value, value))
def test_first_failure_without_memory(many_blocks, tmp_path, kind, where, backtrace):
    headroom, env, location, message = KINDS[kind]
    code = EXHAUSTED.replace("sys.argv[1], int(sys.argv[2]), sys.argv[3]",
                             "%r, %d, %r" % (many_blocks, headroom, where))
    env = dict(env, **({"KELMOR_BACKTRACE": backtrace} if backtrace else {}))
    result = run_python(code, env_update=env, script=tmp_path / "exhausted.py")
    out, err = result.stdout.decode(), result.stderr.decode()
    assert result.returncode == 0, err[-3000:]
    thread_id, outcome = out.split(" ", 1)
    assert outcome == f"PanicException ({message!r},)\nalive 499500\n"
    if backtrace is None:
        tail = re.escape(HINT)
    else:
        # The raising function and its callers, at least up to the interpreter.
        tail = r"stack backtrace:\n(  \d+: [^\n]+ at [^\n]+\n){2,}(note: [^\n]+\n)?"
    report = re.search(r"\nthread '<unnamed>' \((\d+)\) panicked at " + re.escape(location)
                       + r":\d+:\d+:\n" + re.escape(message) + r"\n" + tail, err)
    assert report, err[-3000:]
    assert report.group(1) == thread_id  # reported by the thread that failed
    before, after = err[:report.start()], err[report.end():]
    if kind == "column":
        assert (before, after) == ("", ""), err[-3000:]
    elif kind == "result":
        assert re.search(r"\bMemoryError\b[^\n]*\n\Z", before) and after == "", err[-3000:]
    else:
        assert "MemoryError" in before and "panicked" not in after, err[-3000:]
