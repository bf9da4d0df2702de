# test_typing.py: the installed type information: mypy accepts correct calls of
# rust_read_valdrum and flags every wrong one, and the stub agrees with the real module.
import os
import re
import subprocess
import sys

import pytest

from conftest import require

require("mypy")  # pip install .[test]

CORRECT = '''\
import pathlib

import kelmor


def read(path: pathlib.Path) -> dict[str, float]:
    columns = kelmor.rust_read_valdrum(str(path), 12)
    reveal_type(columns)
    wide = kelmor.rust_read_valdrum(file_path="run.plt", n_digits=15)
    by_keyword = kelmor.rust_read_valdrum(n_digits=True, file_path=str(path))
    first: float = columns[0][0]
    return {"first": first, "steps": float(len(wide[0]) + len(by_keyword))}


names: list[str] = kelmor.__all__
'''

# Each wrong line of the user script, with the mypy error code it must draw.
WRONG = [
    ('kelmor.rust_read_valdrum(b"run.plt", 12)', "arg-type"),
    ('kelmor.rust_read_valdrum("run.plt", "12")', "arg-type"),
    ('kelmor.rust_read_valdrum("run.plt", 12.0)', "arg-type"),
    ('kelmor.rust_read_valdrum(pathlib.Path("run.plt"), 12)', "arg-type"),
    ('rows: list[list[str]] = kelmor.rust_read_valdrum("run.plt", 12)', "assignment"),
    ('total: int = kelmor.rust_read_valdrum("run.plt", 12)[0][0]', "assignment"),
    ('kelmor.rust_read_valdrum("run.plt")', "call-arg"),
    ('kelmor.rust_read_valdrum("run.plt", 12, 3)', "call-arg"),
    ('kelmor.rust_read_valdrum(path="run.plt", n_digits=12)', "call-arg"),
    ('kelmor.read_valdrum("run.plt", 12)', "attr-defined"),
]

ERROR_LINE = re.compile(r"^user\.py:(\d+): error: .*\[([a-z-]+)\]$")


def run_mypy(tmp_path, source, *options):
    (tmp_path / "user.py").write_text(source)
    # An empty configuration, and a directory without stubs of its own: only what is
    # installed in this interpreter's site-packages can give mypy the types of kelmor.
    (tmp_path / "mypy.ini").write_text("[mypy]\n")
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "MYPY_CACHE_DIR")}
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", "mypy.ini", "--no-incremental",
         "--cache-dir", os.devnull, *options, "user.py"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)


def test_correct_use_passes_strict_checking(tmp_path):
    result = run_mypy(tmp_path, CORRECT, "--strict")
    assert result.returncode == 0, result.stdout + result.stderr
    # Older mypy versions qualify builtin names, newer ones do not.
    assert result.stdout.replace("builtins.", "").splitlines() == [
        'user.py:8: note: Revealed type is "list[list[float]]"',
        "Success: no issues found in 1 source file",
    ]


def test_every_wrong_use_is_flagged(tmp_path):
    header = "import pathlib\n\nimport kelmor\n\n"
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
    assert result.stdout.splitlines()[-1] == \
        f"Found {len(WRONG)} errors in 1 file (checked 1 source file)"


def test_stub_matches_the_runtime_module(tmp_path):
    # stubtest imports the real module and compares its names and the function's signature
    # (from its text signature) with the installed stub.
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "kelmor", "--mypy-config-file", os.devnull],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith("Success: no issues found in 1 module"), result.stdout
