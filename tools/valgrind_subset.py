#!/usr/bin/env python3
"""The calls that `make valgrind` runs under memcheck: each success and failure kind of
tests/python/test_resources.py a few times, plus the threads and the fault injection of the
null-result rule, in one interpreter; then kelmor_arrays's calls of
tests/python/test_arrays_faults.py, with their buffers used after the results are gone, and
threads. Prints what it did; exits non-zero on a wrong outcome."""

import itertools
import pathlib
import sys
import tempfile
import threading

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))

import kelmor  # noqa: E402
import kelmor_arrays  # noqa: E402
from test_arrays_faults import leak_scenarios  # noqa: E402
from test_resources import run_all, scenarios  # noqa: E402


def arrays_calls(calls):
    """Runs kelmor_arrays's calls; gives the count of each outcome and views of the values."""
    outcomes, views = {}, []
    for args, kwargs in calls:
        try:
            result = kelmor_arrays.read(*args, **kwargs)
            views.append(memoryview(result.values))
            list(result.block_headers)
            outcome = "result"
        except Exception as exc:
            outcome = type(exc).__name__
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
    return outcomes, views


def main():
    with tempfile.TemporaryDirectory(prefix="kelmor-valgrind-") as folder:
        tmp = pathlib.Path(folder)
        counter = itertools.count()

        def write_file(content, name=None):
            path = tmp / (name or f"plot_{next(counter)}.txt")
            path.write_bytes(content.encode() if isinstance(content, str) else content)
            return str(path)

        calls = scenarios(write_file, tmp)
        outcomes = run_all(calls * 3)

        # Threads calling at once.
        good = calls[0][0][0]
        expected = kelmor.rust_read_valdrum(good, 12)
        wrong = []

        def work():
            for args, kwargs in calls:
                try:
                    kelmor.rust_read_valdrum(*args, **kwargs)
                except BaseException:
                    pass
            if kelmor.rust_read_valdrum(good, 12) != expected:
                wrong.append("thread result")

        threads = [threading.Thread(target=work) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

        # Failing interpreter allocations: the null-result rule and its unraisable report.
        nulls = 0
        try:
            import _testcapi
        except ImportError:
            _testcapi = None
        if _testcapi is not None:
            sys.unraisablehook = lambda report: None
            for k in range(12):
                _testcapi.set_nomemory(k, k + 1)
                try:
                    kelmor.rust_read_valdrum(good, 12)
                except BaseException as exc:
                    outcome = exc
                else:
                    outcome = None
                finally:
                    _testcapi.remove_mem_hooks()
                nulls += getattr(outcome, "args", None) == ("PyObject pointer is null",)
        # kelmor_arrays: every kind of call, the values read after their results are gone,
        # and threads reading at once without the interpreter lock.
        array_outcomes, views = arrays_calls(leak_scenarios(write_file, tmp) * 3)
        sums = {sum(sum(row) for row in view.tolist()) for view in views}
        del views
        array_threads = [threading.Thread(target=arrays_calls, args=(leak_scenarios(write_file, tmp),))
                         for _ in range(4)]
        for thread in array_threads:
            thread.start()
        for thread in array_threads:
            thread.join()
        print(f"valgrind subset: {sum(outcomes.values())} calls {outcomes}, 4 threads, "
              f"{nulls} null results under failing allocations; kelmor_arrays: "
              f"{array_outcomes}, 4 threads", file=sys.stderr)
        if set(array_outcomes) != {"result", "PlotFileError", "FileNotFoundError",
                                   "IsADirectoryError", "ValueError", "TypeError"} or len(sums) != 1:
            print("valgrind subset: wrong outcomes of kelmor_arrays", array_outcomes, sums,
                  file=sys.stderr)
            return 1
        if wrong or set(outcomes) != {"result", "PanicException", "TypeError", "ValueError",
                                      "OverflowError", "UnicodeEncodeError"}:
            print("valgrind subset: wrong outcomes", wrong, file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
