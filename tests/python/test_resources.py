# test_resources.py: tens of thousands of calls that mix every kind of success and failure, the
# hostile ones included, keep the process's memory, descriptors, blocks and references flat.
# (test_leaks.py checks the common outcomes over fewer calls, and exact reference counts.)
import gc
import sys

import kelmor
from conftest import SANITIZED, Width, open_fds, plot_text, resident_bytes

CALLS = 30_000



def scenarios(write_file, tmp_path):
    blocks = [[f"{(s + 1) * (i + 1) * 0.125:.6E}" for i in range(23)] for s in range(40)]
    good = write_file(plot_text(blocks))
    try:
        kelmor.rust_read_valdrum(good + ".missing", 12)
    except BaseException as exc:
        panic = type(exc)
    files = {
        "good12": good,
        "good15": write_file(plot_text(blocks, width=15)),
        "crlf": write_file(plot_text(blocks, newline="\r\n")),
        "no_params": write_file("Number of parameters: 0\nsome\nlines\n"),
        "names_only": write_file("3\na\nb\nc\n"),
        "long_lines": write_file(("x" * 30_000 + " 1\n" + "n" * 30_000 + "\n" + "t" * 30_000 + "\n"
                                  + " " * 30_000 + "2.5\n") * 1),
        "empty": write_file(b""),
        "bad_count": write_file("3 parameters\n"),
        "missing_names": write_file("3\na\n"),
        "truncated": write_file(plot_text(blocks).encode()[:-40]),
        "blank_field": write_file(b"1\na\nt\n            \n"),
        "invalid_field": write_file(b"1\na\nt\n       1.0e+\n"),
        "short_line": write_file(b"2\na\nb\nt\n         1.0  2\n"),
        "inside_char": write_file("2\na\nb\nt\n          1\u20ac      2.0\n".encode()),
        "invalid_utf8": write_file(b"1\na\nt\n         1.0\xed\xa0\x80\n"),
        "directory": str(tmp_path),
        "missing": good + ".missing",
        "nul": good + "\0",
    }
    width_long = 30_003
    calls = [((path, width_long if name == "long_lines" else 15 if name == "good15" else 12), {})
             for name, path in files.items()]
    calls += [
        ((), {"n_digits": 12, "file_path": good}),
        ((good, Width(12)), {}),
        ((good, Width(TypeError, "prefixed")), {}),
        ((good, Width(ValueError, "unchanged")), {}),
        ((good, Width(panic, "resumed")), {}),
        ((good, 2**40), {}),
        ((good, -1), {}),
        ((good, 1.5), {}),
        ((b"bytes", 12), {}),
        (("\ud800", 12), {}),
        ((good,), {"width": 12}),
        ((good, 12, 13), {}),
        ((), {}),
    ]
    return calls


def run_all(calls):
    outcomes = {}
    for args, kwargs in calls:
        try:
            kelmor.rust_read_valdrum(*args, **kwargs)
            kind = "result"
        except BaseException as exc:
            kind = type(exc).__name__
        outcomes[kind] = outcomes.get(kind, 0) + 1
    return outcomes


def test_resources_stay_flat(write_file, tmp_path, capfd):
    calls = scenarios(write_file, tmp_path)
    run_all(calls * 20)  # warm up: process-wide objects, caches, free lists, arenas
    gc.collect()
    capfd.readouterr()
    refs = [sys.getrefcount(arg) for args, kwargs in calls for arg in args + tuple(kwargs.values())]
    before = open_fds(), sys.getallocatedblocks(), resident_bytes()

    rounds = CALLS // len(calls)
    outcomes = run_all(calls * rounds)
    gc.collect()
    # Measured before the captured output (megabytes of reports) is read into this process.
    after = open_fds(), sys.getallocatedblocks(), resident_bytes()
    out, err = capfd.readouterr()

    with capfd.disabled():
        print(f"\n{rounds * len(calls)} calls {outcomes}: descriptors {before[0]} -> {after[0]}, "
              f"blocks {before[1]} -> {after[1]}, resident {before[2] / 2**20:.2f} -> "
              f"{after[2] / 2**20:.2f} MiB; {err.count('panicked at')} failure reports")
    assert set(outcomes) == {"result", "PanicException", "TypeError", "ValueError", "OverflowError",
                             "UnicodeEncodeError"}
    assert outcomes["result"] >= 7 * rounds
    assert after[0] == before[0]
    assert refs == [sys.getrefcount(arg) for args, kwargs in calls for arg in args + tuple(kwargs.values())]
    # A leak of one block per call of any one scenario would show as `rounds` blocks; the
    # interpreter and pytest's capturing move a few hundred at most over the whole run.
    assert after[1] - before[1] < rounds // 2
    # Keeping one good file's columns per call would add tens of megabytes.
    if not SANITIZED:
        assert after[2] - before[2] < 2**20
