# test_exports.py: each built module file exports only its init function and links no libpython.
import shutil
import subprocess

import pytest

import kelmor
import kelmor_arrays
from conftest import missing

MODULES = [(kelmor, "PyInit_kelmor"), (kelmor_arrays, "PyInit_kelmor_arrays")]
IDS = ["kelmor", "kelmor_arrays"]


def tool_output(tool, module, *args):
    if shutil.which(tool) is None:
        missing(f"the tool {tool} (binutils)")
    return subprocess.run([tool, *args, module.__file__], capture_output=True, text=True,
                          check=True).stdout


@pytest.mark.parametrize("module, init", MODULES, ids=IDS)
def test_only_init_function_exported(module, init):
    symbols = [line.split()[-1]
               for line in tool_output("nm", module, "-D", "--defined-only").splitlines()]
    assert symbols == [init]


@pytest.mark.parametrize("module, init", MODULES, ids=IDS)
def test_no_libpython_needed(module, init):
    needed = [line for line in tool_output("readelf", module, "-d").splitlines()
              if "(NEEDED)" in line]
    assert needed
    assert not [line for line in needed if "libpython" in line]
