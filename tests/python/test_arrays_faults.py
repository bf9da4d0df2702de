# test_arrays_faults.py: kelmor_arrays when allocations fail and memory runs out, and over
# thousands of calls: every call ends in its normal outcome or an ordinary MemoryError, writes
# nothing, leaks nothing, and the interpreter goes on working.
import gc
import sys

import pytest

import kelmor_arrays
from conftest import SANITIZED, Width, open_fds, plot_text, require, run_python, resident_bytes

# Each call shape with exactly one failing allocation of the interpreter, the k-th after the
# hook is set, for every k up to past the shape's number of allocations, in a forked child that
# makes the failing call 21 times and checks that the last 20 left no block and no reference
# behind; the child's standard error must stay empty. The exception is kept without its
# traceback: the traceback's frame holding the exception is a cycle that outlives the call.
SWEEP = r"""
import gc, os, pathlib, sys, tempfile, _testcapi, kelmor_arrays

good, missing, bad = sys.argv[1], sys.argv[2], sys.argv[3]

class Width:
    def __index__(self):
        return 12

width = Width()
shapes = {
    "positional": ((good, 12), {}),
    "keywords": ((), {"n_digits": width, "file_path": pathlib.Path(good)}),
    "missing": ((missing, 12), {}),
    "bad file": ((bad, 12), {}),
    "bytes path": ((b"x", 12), {}),
    "negative width": ((good, -1), {}),
}

def outcome_of(result):
    if isinstance(result, BaseException):
        return (type(result).__name__, str(result))
    return (result.names, list(result.block_headers), memoryview(result.values).tolist())

def call(name):
    args, kwargs = shapes[name]
    try:
        return kelmor_arrays.read(*args, **kwargs)
    except BaseException as exc:
        return exc

expected = {name: outcome_of(call(name)) for name in shapes}

def failing_call(name, k):
    # Only the call runs with the hook, and nothing of this function's own before it.
    args, kwargs = shapes[name]
    _testcapi.set_nomemory(k, k + 1)
    try:
        result = kelmor_arrays.read(*args, **kwargs)
    except BaseException as exc:
        result = exc.with_traceback(None)
    finally:
        _testcapi.remove_mem_hooks()
    outcome = outcome_of(result)
    if outcome == expected[name]:
        return "normal"
    if outcome[0] == "MemoryError":
        return "MemoryError"
    if outcome == ("TypeError", "expected str, bytes or os.PathLike object, not PosixPath"):
        # os.fspath() itself turns a failed lookup of __fspath__ into this TypeError.
        return "fspath lookup"
    return repr(outcome)[:300]

def child(name, k, times=20):
    outcomes = {failing_call(name, k)}
    # The interpreter keeps up to 16 freed MemoryError objects for reuse: fill that list first,
    # or the errors of the calls would look like blocks left behind.
    errors = [MemoryError() for _ in range(20)]
    del errors
    gc.collect()
    blocks, refs = sys.getallocatedblocks(), (sys.getrefcount(good), sys.getrefcount(width))
    for _ in range(times):
        outcomes.add(failing_call(name, k))
    gc.collect()
    leaked = sys.getallocatedblocks() - blocks
    refs_kept = (sys.getrefcount(good), sys.getrefcount(width)) == refs
    return f"{','.join(sorted(outcomes))};{leaked};{refs_kept}"

for name in shapes:
    for _ in range(3):
        assert failing_call(name, 10**9) == "normal"
for name in shapes:
    for k in range(60):
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
            result = f"exit {os.waitstatus_to_exitcode(status)};0;True"
        print(f"{name}|{k}|{result}|{len(text)}")
assert outcome_of(call("positional")) == expected["positional"]
print(f"sum|{sum(range(100_000))}")
"""


def test_single_failing_allocations(write_file, tmp_path):
    require("_testcapi")
    good = write_file(plot_text([["1.5", "2.5"], ["3.5", "4.5"]]))
    bad = write_file(b"2\na\nb\n t\n         1.0         xyz\n")
    code = SWEEP.replace("sys.argv[1], sys.argv[2], sys.argv[3]",
                         "%r, %r, %r" % (good, good + ".missing", bad))
    result = run_python(code, script=tmp_path / "sweep.py")
    out, err = result.stdout.decode(), result.stderr.decode()
    assert result.returncode == 0, err[-3000:]
    rows = [line.split("|") for line in out.splitlines()]
    assert rows[-1] == ["sum", "4999950000"]
    kinds = {}
    for name, k, outcome, written in rows[:-1]:
        seen, leaked, refs_kept = outcome.split(";")
        seen = set(seen.split(","))
        allowed = {"normal", "MemoryError"} | ({"fspath lookup"} if name == "keywords" else set())
        assert seen <= allowed, (name, k, outcome)
        assert int(leaked) < 10 and refs_kept == "True", (name, k, outcome)
        assert written == "0", (name, k)
        kinds.setdefault(name, set()).update(seen)
    # Every shape met a failing allocation that it turned into MemoryError, and ran to its
    # normal end once past its last allocation.
    for name, seen in kinds.items():
        assert {"normal", "MemoryError"} <= seen, (name, seen)


# Every allocation of the interpreter fails from the k-th on: the call ends in some exception
# or its result, and the process neither crashes nor writes anything.
PERSISTENT = r"""
import sys, _testcapi, kelmor_arrays
path, k = sys.argv[1], int(sys.argv[2])
print("start", flush=True)
_testcapi.set_nomemory(k, 0)
try:
    kelmor_arrays.read(path, 12)
except BaseException:
    pass
_testcapi.remove_mem_hooks()
print("returned", flush=True)
"""


@pytest.mark.parametrize("k", range(0, 12))
def test_allocations_failing_for_good(write_file, tmp_path, k):
    require("_testcapi")
    path = write_file(plot_text([["1.5", "2.5"], ["3.5", "4.5"]]))
    code = PERSISTENT.replace("sys.argv[1], int(sys.argv[2])", "%r, %d" % (path, k))
    result = run_python(code, script=tmp_path / "persistent.py")
    assert (result.returncode, result.stdout, result.stderr) == (0, b"start\nreturned\n", b"")


# Out of address space while the values grow, in the main thread and in a thread that existed
# before: MemoryError with kelmor's message, nothing written, and the process goes on.
EXHAUSTED = r"""
import _thread, resource, sys, kelmor_arrays
path, where = sys.argv[1], sys.argv[2]

def call():
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
    resource.setrlimit(resource.RLIMIT_AS, (size + 40 * 2**20, resource.RLIM_INFINITY))
    try:
        kelmor_arrays.read(path, 1)
        outcome = None
    except BaseException as exc:
        outcome = exc
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    print(type(outcome).__name__, getattr(outcome, "args", ()), flush=True)

if where == "main":
    call()
else:
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


@pytest.mark.skipif(SANITIZED, reason="an address-space limit does not exhaust the ASan heap")
@pytest.mark.parametrize("where", ["main", "thread"])
def test_exhausted_address_space(tmp_path, where):
    path = tmp_path / "many.plt"
    path.write_bytes(b"1\np\n" + b"\n1\n" * 20_000_000)
    code = EXHAUSTED.replace("sys.argv[1], sys.argv[2]", "%r, %r" % (str(path), where))
    result = run_python(code, script=tmp_path / "exhausted.py")
    assert result.returncode == 0, result.stderr.decode()[-3000:]
    assert result.stdout.decode() == (
        "MemoryError ('Out of memory while reading the plot file',)\nalive 499500\n")
    assert result.stderr == b""


CALLS = 7000


def leak_scenarios(write_file, tmp_path):
    good = write_file(plot_text([[f"{s * 1.25:.4E}" for _ in range(23)] for s in range(50)]))
    return [
        ((good, 12), {}),
        ((), {"n_digits": 12, "file_path": good}),
        ((write_file(b""), 12), {}),
        ((write_file(plot_text([["1"] * 23]).encode()[:-30]), 12), {}),
        ((write_file(b"2\na\nb\n t\n         1.0         xyz\n"), 12), {}),
        ((write_file(b"3 parameters\n"), 12), {}),
        ((good + ".missing", 12), {}),
        ((str(tmp_path), 12), {}),
        ((good + "\0", 12), {}),
        ((good, Width(TypeError, "from __index__")), {}),
        ((good, -1), {}),
        ((good, 1.5), {}),
        ((b"bytes", 12), {}),
        ((good,), {"width": 12}),
    ]


def run_all(calls):
    kept = 0
    for args, kwargs in calls:
        try:
            result = kelmor_arrays.read(*args, **kwargs)
            # Take the values and headers as a user would, and let them go.
            kept += len(memoryview(result.values).tolist()) + len(list(result.block_headers))
        except Exception:
            pass
    return kept


def test_no_leaks_over_many_calls(write_file, tmp_path, capfd):
    calls = leak_scenarios(write_file, tmp_path)
    run_all(calls * 20)
    gc.collect()
    fds, blocks, rss = open_fds(), sys.getallocatedblocks(), resident_bytes()
    path = calls[0][0][0]
    path_refs = sys.getrefcount(path)

    run_all(calls * (CALLS // len(calls)))
    gc.collect()

    assert open_fds() == fds
    assert sys.getrefcount(path) == path_refs
    assert sys.getallocatedblocks() - blocks < CALLS // len(calls) // 2
    # The values live in mappings of their own, which the allocator's counts do not see: a
    # mapping kept per call would add at least a page each.
    if not SANITIZED:
        assert resident_bytes() - rss < 2 * 1024 * 1024
    assert capfd.readouterr() == ("", "")


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's runtime maps and unmaps memory of its own")
def test_mappings_are_released(write_file):
    # Each result owns up to three mappings (values, header text, header ends); they go with it.
    def mappings():
        with open("/proc/self/maps") as maps:
            return sum(1 for _ in maps)
    path = write_file(plot_text([["1.5"] * 40 for _ in range(500)]))
    kelmor_arrays.read(path, 12)
    before = mappings()
    results = [kelmor_arrays.read(path, 12) for _ in range(50)]
    views = [memoryview(result.values) for result in results]
    assert mappings() >= before + 50
    del results
    assert mappings() >= before + 50  # the views keep the values
    del views
    gc.collect()
    assert mappings() <= before + 2
