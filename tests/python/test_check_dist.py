# test_check_dist.py: the checks that let a wheel out as manylinux_2_17 (tools/check_dist.py)
# refuse every way in which a module can fail to be portable, and the summary table of
# `make wheels` names each file's tag and where it was tested.
import pathlib
import platform
import sys
import zipfile

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))
import check_dist  # noqa: E402
from elf_facts import ElfFacts, read_elf  # noqa: E402

LOADER = {"x86_64": "ld-linux-x86-64.so.2", "aarch64": "ld-linux-aarch64.so.1"}


def portable(arch, **changes):
    """The facts of a module as the wheels' toolchain builds it, with `changes` applied."""
    facts = ElfFacts(machine=check_dist.MACHINES[arch],
                     needed=["libc.so.6", LOADER[arch], "libpthread.so.0", "libdl.so.2"],
                     versions={"libc.so.6": {"GLIBC_2.2.5", "GLIBC_2.3.2", "GLIBC_2.17"},
                               "libdl.so.2": {"GLIBC_2.2.5"}},
                     defined={"PyInit_kelmor"})
    for name, value in changes.items():
        setattr(facts, name, value)
    return facts


GLIBC_ONLY = {"GLIBC_2.2.5"}


@pytest.mark.parametrize("arch", ["x86_64", "aarch64"])
@pytest.mark.parametrize("changes, problems", [
    ({}, []),
    # glibc's versions up to 2.17 pass, also with a third number; 2.18 is one too many.
    ({"versions": {"libc.so.6": {"GLIBC_2.17", "GLIBC_2.3.4"}}}, []),
    ({"versions": {"libc.so.6": {"GLIBC_2.18"}}},
     ["the module needs GLIBC_2.18 of libc.so.6, newer than glibc 2.17"]),
    ({"versions": {"libc.so.6": {"GLIBC_2.34", "GLIBC_2.2.5"},
                   "libpthread.so.0": {"GLIBC_2.34"}}},
     ["the module needs GLIBC_2.34 of libc.so.6, newer than glibc 2.17",
      "the module needs GLIBC_2.34 of libpthread.so.0, newer than glibc 2.17"]),
    # The C++ runtime of the system: what a module built by g++ needs.
    ({"needed": ["libstdc++.so.6", "libm.so.6", "libgcc_s.so.1", "libc.so.6"],
      "versions": {"libstdc++.so.6": {"GLIBCXX_3.4.29", "CXXABI_1.3"}, "libc.so.6": GLIBC_ONLY}},
     ["the module needs libstdc++.so.6, which is no part of manylinux2014",
      "the module needs libgcc_s.so.1, which is no part of manylinux2014",
      "the module needs CXXABI_1.3 of libstdc++.so.6",
      "the module needs GLIBCXX_3.4.29 of libstdc++.so.6"]),
    ({"needed": ["libc.so.6", "libpython3.13.so.1.0"]},
     ["the module needs libpython3.13.so.1.0, which is no part of manylinux2014"]),
    ({"defined": {"PyInit_kelmor", "_ZNSt3__16vectorIfNS_9allocatorIfEEE9push_backEOf"}},
     ["the module exports ['PyInit_kelmor', '_ZNSt3__16vectorIfNS_9allocatorIfEEE9push_backEOf'],"
      " not PyInit_kelmor alone"]),
    ({"defined": set()}, ["the module exports [], not PyInit_kelmor alone"]),
], ids=["as-built", "glibc-2.17", "glibc-2.18", "glibc-2.34", "libstdc++", "libpython",
        "extra-export", "no-init"])
def test_portability_problems(arch, changes, problems):
    assert check_dist.portability_problems(portable(arch, **changes), arch, "kelmor") == problems


@pytest.mark.parametrize("arch, other", [("x86_64", "aarch64"), ("aarch64", "x86_64")])
def test_module_of_another_architecture(arch, other):
    facts = portable(other, needed=["libc.so.6"])
    assert check_dist.portability_problems(facts, arch, "kelmor") == [
        f"the module is built for ELF machine {check_dist.MACHINES[other]}, not {arch}"]


def show(tag, libraries="libc.so.6 with versions\n{'GLIBC_2.3', 'GLIBC_2.2.5'}"):
    """`auditwheel show`'s words, wrapped as it wraps them."""
    return (f"kelmor-0.1.0-cp313-cp313-linux_x86_64.whl is consistent with the\n"
            f'following platform tag: "{tag}".\n\nThe wheel references external versioned '
            f"symbols in these\nsystem-provided shared libraries: {libraries}\n")


@pytest.mark.parametrize("text, problems", [
    (show("manylinux_2_17_x86_64"), []),
    (show("manylinux_2_34_x86_64"),
     ['auditwheel does not find the wheel consistent with "manylinux_2_17_x86_64"']),
    (show("linux_x86_64"),
     ['auditwheel does not find the wheel consistent with "manylinux_2_17_x86_64"']),
    (show("manylinux_2_17_x86_64", "libstdc++.so.6 with versions {'GLIBCXX_3.4.29'}"),
     ["auditwheel reports a C++ runtime dependency"]),
    (show("manylinux_2_17_aarch64"),
     ['auditwheel does not find the wheel consistent with "manylinux_2_17_x86_64"']),
], ids=["2.17", "2.34", "plain-linux", "libstdc++", "other-architecture"])
def test_auditwheel_verdict(text, problems):
    assert check_dist.auditwheel_problems(text, "x86_64") == problems


def test_summary_rows(tmp_path):
    dist, results = tmp_path / "dist", tmp_path / "results"
    dist.mkdir()
    results.mkdir()
    tag = "manylinux2014_{0}.manylinux_2_17_{0}"
    names = [f"kelmor-0.1.0-cp314-cp314-{tag.format('aarch64')}.whl",
             f"kelmor-0.1.0-cp313-cp313-{tag.format('x86_64')}.whl",
             "kelmor-0.1.0.tar.gz",
             f"kelmor-0.1.0-cp312-cp312-{tag.format('x86_64')}.whl"]
    for size, name in enumerate(names, 1):
        (dist / name).write_bytes(b"x" * size * 1024)
    (results / "cp313-x86_64").write_text("this machine\nDebian 11 bullseye\n")
    (results / "cp314-aarch64").write_text("Debian sid arm64\n")
    assert check_dist.summary_rows(dist, results) == [
        ["kelmor-0.1.0.tar.gz", "(source)", "3 KiB",
         "the source of every wheel here; `make dist` installs and tests it"],
        [names[3], tag.format("x86_64"), "4 KiB", "NOT TESTED"],
        [names[1], tag.format("x86_64"), "2 KiB", "this machine; Debian 11 bullseye"],
        [names[0], tag.format("aarch64"), "1 KiB", "Debian sid arm64"],
    ]


@pytest.mark.parametrize("data", [
    b"",
    b"#!/bin/sh\nexit 0\n",
    b"\x7fELF\x01\x01\x01" + bytes(57),   # 32-bit
    b"\x7fELF\x02\x02\x01" + bytes(57),   # big-endian
], ids=["empty", "script", "elf32", "big-endian"])
def test_read_elf_refuses_other_files(data):
    with pytest.raises(ValueError, match="not a 64-bit little-endian ELF file"):
        read_elf(data)


def wheel_with(tmp_path, arch, modules):
    """A wheel for `arch` holding `modules` (name: bytes)."""
    path = tmp_path / f"kelmor-0.1.0-cp313-cp313-manylinux_2_17_{arch}.whl"
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in modules.items():
            archive.writestr(name, data)
    return path


def test_verdict_on_the_module_under_test(tmp_path, capsys):
    # The module under test is either the developer build (g++ and the system's libstdc++, which
    # no manylinux_2_17 wheel may need, even when auditwheel's words were right) or a portable
    # wheel's (which must pass).
    import kelmor
    arch = platform.machine()
    data = pathlib.Path(kelmor.__file__).read_bytes()
    wheel = wheel_with(tmp_path, arch, {"kelmor.cpython-313-x86_64-linux-gnu.so": data})
    if "libstdc++.so.6" in read_elf(data).needed:
        with pytest.raises(SystemExit) as exit_:
            check_dist.check_portable(wheel, show(f"manylinux_2_17_{arch}"))
        assert exit_.value.code == 1
        assert "PROBLEM: the module needs libstdc++.so.6, which is no part of manylinux2014" in \
            capsys.readouterr().out
    else:
        check_dist.check_portable(wheel, show(f"manylinux_2_17_{arch}"))
        assert "exports its init function only" in capsys.readouterr().out


def test_wheel_without_a_module_is_refused(tmp_path, capsys):
    with pytest.raises(SystemExit):
        check_dist.check_portable(wheel_with(tmp_path, "x86_64", {"kelmor.pyi": b""}),
                                  show("manylinux_2_17_x86_64"))
    assert "the wheel holds 0 modules" in capsys.readouterr().out


@pytest.mark.parametrize("name", ["kelmor-0.1.0-cp313-cp313-manylinux_2_17_i686.whl",
                                  "kelmor-0.1.0-cp313-cp313-linux_x86_64.tar", "notes.txt"])
def test_summary_refuses_unknown_files(tmp_path, capsys, name):
    dist = tmp_path / "dist"
    dist.mkdir()
    (dist / "kelmor-0.1.0.tar.gz").write_bytes(b"")
    (dist / name).write_bytes(b"")
    with pytest.raises(SystemExit):
        check_dist.summary_rows(dist, tmp_path)
    assert "PROBLEM" in capsys.readouterr().out
