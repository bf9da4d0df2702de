#!/usr/bin/env python3
"""The calls that `make valgrind` runs under memcheck: each success and failure kind of
tests/python/test_resources.py a few times, plus the threads and the fault injection of the
null-result rule, in one interpreter. Prints what it did; exits non-zero on a wrong outcome."""

import itertools
import pathlib
import sys
import tempfile
import threading

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))

import kelmor  # noqa: E402
from test_resources import run_all, scenarios  # noqa: E402


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
        print(f"valgrind subset: {sum(outcomes.values())} calls {outcomes}, 4 threads, "
              f"{nulls} null results under failing allocations", file=sys.stderr)
        if wrong or set(outcomes) != {"result", "PanicException", "TypeError", "ValueError",
                                      "OverflowError", "UnicodeEncodeError"}:
            print("valgrind subset: wrong outcomes", wrong, file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
