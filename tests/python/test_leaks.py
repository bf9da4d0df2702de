# test_leaks.py: thousands of calls that succeed and fail leave no objects, references, memory
# or file descriptors behind.
import gc
import sys

import pytest

import kelmor
from conftest import SANITIZED, Width, open_fds, plot_text, resident_bytes

CALLS = 7000



def scenarios(write_file):
    good = write_file(plot_text([[f"{s * 1.25:.4E}" for _ in range(23)] for s in range(50)]))
    empty = write_file(b"")
    truncated = write_file(plot_text([["1"] * 23]).encode()[:-30])
    bad_value = write_file(b"2\na\nb\n t\n         1.0         xyz\n")
    missing = good + ".missing"
    try:
        kelmor.rust_read_valdrum(missing, 12)
    except BaseException as exc:
        panic = type(exc)
    return [
        ((good, 12), {}),
        ((), {"n_digits": 12, "file_path": good}),
        ((empty, 12), {}),
        ((truncated, 12), {}),
        ((bad_value, 12), {}),
        ((missing, 12), {}),
        ((good, Width(TypeError, "prefixed")), {}),
        ((good, Width(ValueError, "unchanged")), {}),
        ((good, Width(2**40)), {}),
        ((good, Width(panic, "resumed")), {}),
        ((good, 1.5), {}),
        ((b"bytes", 12), {}),
        ((good,), {"width": 12}),
        ((good, 12, 13), {}),
    ]


def run_all(calls):
    for args, kwargs in calls:
        try:
            kelmor.rust_read_valdrum(*args, **kwargs)
        except BaseException:
            pass


def test_no_leaks_over_many_calls(write_file, capfd):
    calls = scenarios(write_file)
    run_all(calls * 20)  # warm up: process-wide objects, caches, free lists
    gc.collect()
    capfd.readouterr()
    fds, blocks, rss = open_fds(), sys.getallocatedblocks(), resident_bytes()
    path = calls[0][0][0]
    path_refs = sys.getrefcount(path)

    run_all(calls * (CALLS // len(calls)))
    gc.collect()
    capfd.readouterr()

    assert open_fds() == fds
    assert sys.getrefcount(path) == path_refs
    # Every call creates and frees thousands of objects; a leak of one object per call of any
    # one scenario would show as CALLS / len(calls) blocks here, noise as a few dozen.
    assert sys.getallocatedblocks() - blocks < CALLS // len(calls) // 2
    # One call's columns hold 23 * 50 values; keeping them would add megabytes.
    if not SANITIZED:
        assert resident_bytes() - rss < 2 * 1024 * 1024


def test_argument_references_are_released(write_file):
    path = write_file(plot_text([["1"] * 3]))
    width = Width(12)
    missing = path + ".missing"
    before = (sys.getrefcount(path), sys.getrefcount(width), sys.getrefcount(missing))
    for _ in range(100):
        kelmor.rust_read_valdrum(path, width)
        kelmor.rust_read_valdrum(file_path=path, n_digits=width)
        with pytest.raises(BaseException):
            kelmor.rust_read_valdrum(missing, width)
    assert (sys.getrefcount(path), sys.getrefcount(width), sys.getrefcount(missing)) == before


def test_result_holds_only_its_own_references(write_file):
    fields = [["2.5", "-1E+00", "0.125"], ["3.0", "7.5E-01", "1e3"]]  # exact in binary32
    result = kelmor.rust_read_valdrum(write_file(plot_text(fields)), 12)
    # An equal list of new lists of new floats, built by Python and looked at in the same way:
    # what sys.getrefcount reports for an object referenced only by its container (and by the
    # loop variable and the call) differs between versions, since 3.14 borrows references on
    # the interpreter's stack.
    built = [[float(step[p]) for step in fields] for p in range(3)]
    assert result == built
    assert sys.getrefcount(result) == sys.getrefcount(built)
    for column, built_column in zip(result, built):
        assert sys.getrefcount(column) == sys.getrefcount(built_column)
        for value, built_value in zip(column, built_column):
            assert sys.getrefcount(value) == sys.getrefcount(built_value)
