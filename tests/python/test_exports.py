# test_exports.py: each built module file exports only its init function, links no libpython and
# is built for this machine. Read with tools/elf_facts.py, not binutils: the wheels' tests run on
# systems that have no toolchain.
import pathlib
import platform
import sys

import pytest

import kelmor
import kelmor_arrays

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))
from elf_facts import read_elf  # noqa: E402

MACHINES = {"x86_64": 62, "aarch64": 183}
MODULES = [(kelmor, "PyInit_kelmor"), (kelmor_arrays, "PyInit_kelmor_arrays")]
IDS = ["kelmor", "kelmor_arrays"]


@pytest.fixture(scope="module", params=MODULES, ids=IDS)
def module(request):
    """(facts of the module file, its init function's name)"""
    module, init = request.param
    return read_elf(pathlib.Path(module.__file__).read_bytes()), init


def test_only_init_function_exported(module):
    facts, init = module
    assert facts.defined == {init}


def test_no_libpython_needed(module):
    facts, _ = module
    assert "libc.so.6" in facts.needed
    assert not [library for library in facts.needed if "libpython" in library]


def test_built_for_this_machine(module):
    facts, _ = module
    assert facts.machine == MACHINES[platform.machine()]


def test_symbol_versions_of_needed_libraries(module):
    # Every library that a symbol version comes from is a needed one, and glibc's versions are
    # among them (read from the chain of version records, whose links a misread would break).
    facts, _ = module
    assert set(facts.versions) <= set(facts.needed)
    assert any(name.startswith("GLIBC_2.") for name in facts.versions["libc.so.6"])
