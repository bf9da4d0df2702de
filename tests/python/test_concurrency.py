# test_concurrency.py: many threads reading different files at once in a fresh interpreter, some
# failing: every result is right, every failure report is whole, only the first report of the
# process carries the hint, and the failure type is created once even when the first failures of
# the process race for it; also threads that race to import the module and call it at once.
# (test_threads.py covers argument errors, whose building releases the interpreter lock.)
import os
import re
import subprocess
import sys

from conftest import plot_text

THREADS = 8
ROUNDS = 150
HINT = "note: run with `KELMOR_BACKTRACE=1` environment variable to display a backtrace\n"
REPORT = re.compile(r"\nthread '<unnamed>' \((\d+)\) panicked at src/lib/[a-z_]+\.cpp:\d+:\d+:\n")

FAILING = [
    # (file content, or None for a missing file; failure message)
    (None, 'Plot file not found!: Os { code: 2, kind: NotFound, message: "No such file or directory" }'),
    (b"", "Failed ot read line!"),
    (b"2\na\nb\nt\n         1.0         xyz\n", "Could not parse line: ParseFloatError { kind: Invalid }"),
    (b"2\na\nb\nt\n         1.0  2\n", "byte index 24 is out of bounds of `         1.0  2`"),
    (b"1\na\nt\n         1.0\xff\n",
     'Failed to read line!: Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'),
    (b"two parameters\n", "The first line should end with the number of parameters:\n'two parameters'"),
    (b"3\na\nb\n", "Failed to read line!"),
]

SCRIPT = r"""
import gc, sys, threading
results_path, cases = sys.argv[1], eval(sys.argv[2])
THREADS, ROUNDS, IMPORT_RACE = int(sys.argv[3]), int(sys.argv[4]), sys.argv[5] == "1"
if not IMPORT_RACE:
    import kelmor
barrier = threading.Barrier(THREADS)
errors, panic_types, modules, tids, calls = [], set(), set(), set(), []

def work(index):
    global kelmor
    tids.add(threading.get_native_id())
    barrier.wait()
    if IMPORT_RACE:
        import kelmor
    modules.add(id(kelmor))
    for round in range(ROUNDS):
        # The first call of every thread fails, so that the first failures of the process race
        # for the failure type; later calls go round every good and failing file.
        if round == 0:
            path, width, expected = cases[THREADS + index % (len(cases) - THREADS)]
        else:
            path, width, expected = cases[(index + round) % len(cases)]
        try:
            got = kelmor.rust_read_valdrum(path, width)
        except BaseException as exc:
            panic_types.add(type(exc))
            got = ("failure", exc.args)
        if got != expected:
            errors.append((index, round, path, got, expected))
        calls.append(index)

threads = [threading.Thread(target=work, args=(n,)) for n in range(THREADS)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
classes = [o for o in gc.get_objects() if isinstance(o, type) and o.__name__ == "PanicException"]
with open(results_path, "w") as out:
    print(repr((errors[:5], len(errors), len(calls), len(panic_types), len(modules), len(classes),
                sorted(tids))), file=out)
"""


def make_cases(write_file, tmp_path):
    """One good file per thread (distinct values, widths 12 and 15), then the failing files."""
    cases = []
    for index in range(THREADS):
        values = [[f"{index + step / 4}", f"-{step}e{index % 3}"] for step in range(3)]
        width = 12 if index % 2 == 0 else 15
        expected = [[index + step / 4 for step in range(3)],
                    [float(f"-{step}e{index % 3}") for step in range(3)]]
        cases.append((write_file(plot_text(values, width=width)), width, expected))
    for content, message in FAILING:
        path = str(tmp_path / "missing.txt") if content is None else write_file(content)
        cases.append((path, 12, ("failure", (message,))))
    return cases


def check_run(tmp_path, cases, import_race):
    results = tmp_path / "results.txt"
    script = tmp_path / "threads.py"
    script.write_text(SCRIPT)
    command = [sys.executable, str(script), str(results), repr(cases), str(THREADS), str(ROUNDS),
               "1" if import_race else "0"]
    env = {name: value for name, value in os.environ.items() if name != "KELMOR_BACKTRACE"}
    process = subprocess.run(command, capture_output=True, timeout=300, env=env)
    assert process.returncode == 0, process.stderr.decode()[-3000:]
    errors, error_count, calls, panic_types, modules, classes, tids = eval(results.read_text())
    assert error_count == 0, errors
    assert calls == THREADS * ROUNDS
    assert panic_types == 1  # one failure type for every failure of every thread
    assert classes == 1  # and only one was ever created
    assert modules == 1

    # Standard error holds nothing but whole reports, the hint after the first one only.
    err = process.stderr.decode()
    messages = {case[2][1][0] for case in cases if case[2][0] == "failure"}
    pieces = REPORT.split(err)
    assert pieces[0] == ""
    heads = pieces[1::2]
    bodies = pieces[2::2]
    assert {int(tid) for tid in heads} <= set(tids)
    assert bodies[0].endswith("\n" + HINT) and bodies[0][: -len(HINT) - 1] in messages
    assert all(body[:-1] in messages for body in bodies[1:]), [b for b in bodies[1:] if b[:-1] not in messages][:3]
    assert err.count(HINT) == 1
    # One report per failing call: ROUNDS - 1 calls per thread go round all the cases.
    failing = len(cases) - THREADS
    expected_reports = THREADS + sum(
        1 for index in range(THREADS) for round in range(1, ROUNDS) if (index + round) % len(cases) >= THREADS)
    assert len(heads) == expected_reports
    assert failing == len(FAILING)

    # The bad count line on standard output: whole lines, one per such failure.
    out = process.stdout.decode()
    assert set(out.splitlines()) == {"Error: 'parameters' is not a valid number of parameters!"}
    assert out.count("\n") == sum(body.startswith("The first line") for body in bodies)


def test_threads_reading_at_once(write_file, tmp_path):
    check_run(tmp_path, make_cases(write_file, tmp_path), import_race=False)


def test_threads_racing_the_import(write_file, tmp_path):
    check_run(tmp_path, make_cases(write_file, tmp_path), import_race=True)
