# test_threads.py: calls from several Python threads at once. Building argument errors releases
# the interpreter lock briefly; every thread must still get its own, exact outcome.
import threading

import kelmor
from conftest import plot_text

THREADS = 4
ROUNDS = 200


def test_concurrent_calls(write_file, capfd):
    good = write_file(plot_text([["1.5", "2.5"], ["3.5", "4.5"]]))
    missing = good + ".missing"
    cases = [
        ((good, 12), None, [[1.5, 3.5], [2.5, 4.5]]),
        ((b"x", 12), TypeError, "argument 'file_path': 'bytes' object is not an instance of 'str'"),
        ((good, 2**33), OverflowError, "out of range integral type conversion attempted"),
        ((good, 1.5), TypeError, "argument 'n_digits': 'float' object cannot be interpreted as an integer"),
        ((missing, 12), "PanicException",
         'Plot file not found!: Os { code: 2, kind: NotFound, message: "No such file or directory" }'),
    ]
    outcomes = []
    panic_types = set()
    barrier = threading.Barrier(THREADS)

    def work(offset):
        barrier.wait()
        for i in range(ROUNDS):
            args, error, expected = cases[(i + offset) % len(cases)]
            try:
                got = kelmor.rust_read_valdrum(*args)
                outcomes.append(error is None and got == expected)
            except BaseException as exc:
                if type(exc).__name__ == "PanicException":
                    panic_types.add(type(exc))
                    outcomes.append(error == "PanicException" and exc.args == (expected,))
                else:
                    outcomes.append(type(exc) is error and str(exc) == expected)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    capfd.readouterr()
    assert len(outcomes) == THREADS * ROUNDS
    assert all(outcomes)
    assert len(panic_types) == 1
