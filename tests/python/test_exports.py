# test_exports.py: the built module file exports only its init function and links no libpython.
import shutil
import subprocess

import pytest

import kelmor
from conftest import missing


def tool_output(tool, *args):
    if shutil.which(tool) is None:
        missing(f"the tool {tool} (binutils)")
    return subprocess.run([tool, *args, kelmor.__file__], capture_output=True, text=True,
                          check=True).stdout


def test_only_init_function_exported():
    symbols = [line.split()[-1] for line in tool_output("nm", "-D", "--defined-only").splitlines()]
    assert symbols == ["PyInit_kelmor"]


def test_no_libpython_needed():
    needed = [line for line in tool_output("readelf", "-d").splitlines() if "(NEEDED)" in line]
    assert needed
    assert not [line for line in needed if "libpython" in line]
