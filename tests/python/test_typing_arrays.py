# test_typing_arrays.py: the installed type information of kelmor_arrays: mypy accepts correct
# use of read() and its result and flags every wrong one, and the stub agrees with the module.
import os
import subprocess
import sys

from conftest import require
from test_typing import ERROR_LINE, run_mypy

require("mypy")  # pip install .[test]

CORRECT = '''\
import os
import pathlib

import kelmor_arrays


def read(path: pathlib.Path) -> dict[str, float]:
    result = kelmor_arrays.read(path, 12)
    reveal_type(result)
    other = kelmor_arrays.read(file_path=str(path), n_digits=15)
    names: list[str] = result.names
    first_header: str = result.block_headers[0]
    some_headers: list[str] = result.block_headers[1:3]
    view = memoryview(result.values)
    rows, parameters = result.values.shape
    try:
        kelmor_arrays.read(os.fspath(path), True)
    except kelmor_arrays.PlotFileError as exc:
        message: str = str(exc)
    except FileNotFoundError as exc:
        code: int | None = exc.errno
    return {"first": float(view.nbytes + rows * parameters), "names": float(len(names)),
            "headers": float(len(first_header) + len(some_headers) + len(other.block_headers))}
'''

WRONG = [
    ('kelmor_arrays.read(b"run.plt", 12)', "arg-type"),
    ('kelmor_arrays.read("run.plt", "12")', "arg-type"),
    ('kelmor_arrays.read("run.plt", 12.0)', "arg-type"),
    ('kelmor_arrays.read("run.plt")', "call-arg"),
    ('kelmor_arrays.read(path="run.plt", n_digits=12)', "call-arg"),
    ('names: list[int] = kelmor_arrays.read("run.plt", 12).names', "assignment"),
    ('header: bytes = kelmor_arrays.read("run.plt", 12).block_headers[0]', "assignment"),
    ('kelmor_arrays.read("run.plt", 12).names = ["a"]', "misc"),
    ('kelmor_arrays.read("run.plt", 12).values.shape = (1, 2)', "misc"),
    ('kelmor_arrays.rust_read_valdrum("run.plt", 12)', "attr-defined"),
]


def test_correct_use_passes_strict_checking(tmp_path):
    result = run_mypy(tmp_path, CORRECT, "--strict")
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines() == [
        'user.py:9: note: Revealed type is "kelmor_arrays.PlotData"',
        "Success: no issues found in 1 source file",
    ]


def test_every_wrong_use_is_flagged(tmp_path):
    header = "import kelmor_arrays\n\n"
    source = header + "".join(line + "\n" for line, _ in WRONG)
    first_line = header.count("\n") + 1
    result = run_mypy(tmp_path, source)
    assert result.returncode == 1, result.stdout + result.stderr
    flagged = {}
    for line in result.stdout.splitlines():
        match = ERROR_LINE.match(line)
        if match:
            flagged.setdefault(int(match.group(1)), set()).add(match.group(2))
    expected = {first_line + i: {code} for i, (_, code) in enumerate(WRONG)}
    assert flagged == expected, result.stdout


def test_stub_matches_the_runtime_module(tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "kelmor_arrays", "--mypy-config-file", os.devnull],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith("Success: no issues found in 1 module"), result.stdout
