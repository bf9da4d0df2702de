#!/usr/bin/env python3
"""Checks the distribution files that `python -m build` made, for tools/check-dist.

  check_dist.py sdist SDIST [SOURCE_TREE]   contents and metadata of the sdist; with a git
                                            checkout as SOURCE_TREE, the contents must be its
                                            files (tracked or not ignored) less the exclusions
  check_dist.py wheel WHEEL                 tag, contents and metadata of a wheel
  check_dist.py portable WHEEL SHOW         a manylinux_2_17 wheel: its module needs nothing but
                                            glibc 2.17 (no libstdc++, no newer symbol version),
                                            exports only its init function, is built for the
                                            tag's architecture; SHOW is `auditwheel show`'s output
  check_dist.py summary DIST RESULTS        the table of the files in DIST: file, platform tag,
                                            size, and where each was tested (RESULTS/<wheel id>
                                            lists the places, one a line)

Prints what it checked and exits 1 at the first list of problems.
"""

import email.parser
import fnmatch
import pathlib
import re
import subprocess
import sys
import tarfile
import tomllib
import zipfile

from elf_facts import ElfFacts, read_elf

ROOT = pathlib.Path(__file__).resolve().parents[1]
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())
META = PROJECT["project"]
NAME, VERSION = META["name"], META["version"]

# Nothing generated or local may ship in an sdist.
FORBIDDEN_PARTS = {"build", "dist", ".venv", ".git", "__pycache__", ".pytest_cache",
                   ".mypy_cache"}
FORBIDDEN_SUFFIXES = (".so", ".o", ".a", ".pyc", ".whl")
# What building and testing from the sdist needs.
SDIST_REQUIRED = ["PKG-INFO", "pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE",
                  "src/interface/kelmor.pyi", "src/interface/kelmor.map",
                  "src/arrays/kelmor_arrays.pyi", "src/arrays/kelmor_arrays.map",
                  "tests/python/conftest.py", "examples/sample.plt"]


def fail(problems: list[str]) -> None:
    if problems:
        for problem in problems:
            print(f"  PROBLEM: {problem}")
        sys.exit(1)


def check_metadata(text: str, where: str) -> None:
    meta = email.parser.Parser().parsestr(text)
    expected = {
        "Name": [NAME],
        "Version": [VERSION],
        "Summary": [META["description"]],
        "Requires-Python": [">=3.12"],
        "License-Expression": ["MIT"],
        "License-File": ["LICENSE"],
        "Classifier": META["classifiers"],
        "Project-URL": [f"{label}, {url}" for label, url in META["urls"].items()],
        "Provides-Extra": list(META["optional-dependencies"]),
        "Description-Content-Type": ["text/markdown"],
    }
    problems = [f"{where}: {field} is {meta.get_all(field)}, expected {value}"
                for field, value in expected.items() if meta.get_all(field) != value]
    if any(not url.startswith("https://example.invalid/") for url in META["urls"].values()):
        problems.append("project URLs must stay placeholders under https://example.invalid/")
    for requirement in meta.get_all("Requires-Dist") or []:
        if "; extra == " not in requirement:
            problems.append(f"{where}: the module must need nothing, but requires {requirement}")
    if not meta.get_payload().lstrip().startswith("# kelmor"):
        problems.append(f"{where}: the long description is not the README")
    fail(problems)
    print(f"  {where}: metadata of {NAME} {VERSION} as in pyproject.toml "
          f"(MIT, requires-python >=3.12, {len(META['classifiers'])} classifiers, "
          f"{len(META['urls'])} placeholder URLs, no required dependencies)")


def excluded(path: str) -> bool:
    patterns = PROJECT["tool"]["scikit-build"]["sdist"]["exclude"]
    parts = path.split("/")
    for pattern in patterns:
        if pattern.startswith("/"):
            anchored = pattern[1:]
            if any(fnmatch.fnmatch("/".join(parts[:i]), anchored)
                   for i in range(1, len(parts) + 1)):
                return True
        elif any(fnmatch.fnmatch(part, pattern) for part in parts):
            return True
    return False


def check_sdist(path: pathlib.Path, tree: pathlib.Path | None) -> None:
    prefix = f"{NAME}-{VERSION}/"
    if path.name != f"{NAME}-{VERSION}.tar.gz":
        fail([f"sdist file name {path.name}, expected {NAME}-{VERSION}.tar.gz"])
    with tarfile.open(path) as archive:
        members = archive.getmembers()
        names = [m.name for m in members]
        problems = [f"{n} lies outside {prefix}" for n in names if not n.startswith(prefix)]
        files = {m.name[len(prefix):] for m in members if m.isfile()}
        pkg_info = archive.extractfile(prefix + "PKG-INFO").read().decode()
    problems += [f"sdist holds {f}" for f in sorted(files)
                 if FORBIDDEN_PARTS & set(f.split("/")[:-1]) or f.endswith(FORBIDDEN_SUFFIXES)]
    problems += [f"sdist lacks {f}" for f in SDIST_REQUIRED if f not in files]
    if tree is not None and (tree / ".git").exists():
        listed = subprocess.run(
            ["git", "ls-files", "--cached", "--others", "--exclude-standard", "-z"],
            cwd=tree, check=True, capture_output=True, text=True).stdout.split("\0")
        wanted = {f for f in listed if f and (tree / f).is_file() and not excluded(f)}
        problems += [f"sdist lacks the source file {f}" for f in sorted(wanted - files)]
        problems += [f"sdist holds {f}, which is no source file"
                     for f in sorted(files - wanted - {"PKG-INFO"})]
    fail(problems)
    print(f"  {path.name}: {len(files)} files, all sources, no build output or local state")
    check_metadata(pkg_info, "sdist PKG-INFO")


def check_wheel(path: pathlib.Path) -> None:
    match = re.fullmatch(
        rf"{NAME}-{re.escape(VERSION)}-(cp3\d+)-(cp3\d+)-((?:manylinux\w+\.)*(?:linux|manylinux)\w+)\.whl",
        path.name)
    if not match or match.group(1) != match.group(2):
        fail([f"wheel file name {path.name} is not {NAME}-{VERSION}-cp3XX-cp3XX-<linux tag>.whl"])
    python_tag, platform_tag = match.group(1), match.group(3)
    info = f"{NAME}-{VERSION}.dist-info/"
    architecture = re.search(r"_(x86_64|aarch64|i686|ppc64le|s390x)$", platform_tag)
    if not architecture:
        fail([f"wheel platform tag {platform_tag} names no known architecture"])
    suffix = f".cpython-{python_tag[2:]}-{architecture.group(1)}-linux-gnu.so"
    # Each module file with its stub beside it and its stub-only package.
    modules = {NAME: ROOT / "src" / "interface" / f"{NAME}.pyi",
               f"{NAME}_arrays": ROOT / "src" / "arrays" / f"{NAME}_arrays.pyi"}
    with zipfile.ZipFile(path) as archive:
        # auditwheel adds entries for directories; only files count.
        files = {n for n in archive.namelist() if not n.endswith("/")}
        wheel_info = archive.read(info + "WHEEL").decode()
        metadata = archive.read(info + "METADATA").decode()
        shipped_license = archive.read(info + "licenses/LICENSE").decode()
        stubs = {name: {archive.read(n).decode() for n in (f"{name}.pyi", f"{name}-stubs/__init__.pyi")
                        if n in files} for name in modules}
    expected = {info + "METADATA", info + "WHEEL", info + "RECORD", info + "licenses/LICENSE"}
    for name in modules:
        expected |= {name + suffix, f"{name}.pyi", f"{name}-stubs/__init__.pyi"}
    problems = [f"wheel holds {f}" for f in sorted(files - expected)]
    problems += [f"wheel lacks {f}" for f in sorted(expected - files)]
    tags = {f"{python_tag}-{python_tag}-{p}" for p in platform_tag.split(".")}
    listed_tags = set(re.findall(r"^Tag: (\S+)$", wheel_info, re.MULTILINE))
    if listed_tags != tags:
        problems.append(f"WHEEL lists tags {sorted(listed_tags)}, the file name says {sorted(tags)}")
    if "Root-Is-Purelib: false" not in wheel_info.splitlines():
        problems.append("WHEEL does not say Root-Is-Purelib: false")
    if shipped_license != (ROOT / "LICENSE").read_text():
        problems.append("the wheel's LICENSE differs from the project's")
    for name, source in modules.items():
        if stubs[name] != {source.read_text()}:
            problems.append(f"the wheel's stubs of {name} differ from {source.relative_to(ROOT)}")
    fail(problems)
    print(f"  {path.name}: the modules kelmor and kelmor_arrays, each with its .pyi and -stubs "
          "package, only; "
          f"tags {', '.join(sorted(tags))}")
    check_metadata(metadata, "wheel METADATA")


# --- Portable modules ---------------------------------------------------------------------------

# manylinux2014: glibc 2.17, and the system libraries that its policy lets a module need (the
# dynamic loader among them, which a module that uses thread-local storage names).
GLIBC_LIMIT = (2, 17)
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
                    "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
# ELF e_machine of each architecture of a wheel tag.
MACHINES = {"x86_64": 62, "aarch64": 183}

def portability_problems(facts: ElfFacts, arch: str, module: str) -> list[str]:
    """Why a module cannot go into a manylinux_2_17 wheel for `arch`; empty when it can."""
    problems = []
    if facts.machine != MACHINES[arch]:
        problems.append(f"the module is built for ELF machine {facts.machine}, not {arch}")
    problems += [f"the module needs {library}, which is no part of manylinux2014"
                 for library in facts.needed if library not in SYSTEM_LIBRARIES]
    for library, names in sorted(facts.versions.items()):
        for name in sorted(names):
            glibc = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", name)
            if glibc is None:
                problems.append(f"the module needs {name} of {library}")
            elif (int(glibc.group(1)), int(glibc.group(2))) > GLIBC_LIMIT:
                problems.append(f"the module needs {name} of {library}, newer than glibc 2.17")
    if facts.defined != {f"PyInit_{module}"}:
        problems.append(f"the module exports {sorted(facts.defined)}, not PyInit_{module} alone")
    return problems


def auditwheel_problems(show: str, arch: str) -> list[str]:
    """What is wrong in `auditwheel show`'s verdict on a wheel for manylinux_2_17."""
    text = " ".join(show.split())
    problems = []
    tag = f'"manylinux_2_17_{arch}"'
    if f"is consistent with the following platform tag: {tag}" not in text:
        problems.append(f"auditwheel does not find the wheel consistent with {tag}")
    if re.search(r"libstdc\+\+|libgcc_s|GLIBCXX|CXXABI", text):
        problems.append("auditwheel reports a C++ runtime dependency")
    return problems


def check_portable(path: pathlib.Path, show: str) -> None:
    arch = wheel_architecture(path.name)
    with zipfile.ZipFile(path) as archive:
        modules = [n for n in archive.namelist() if n.endswith(".so")]
        if not modules:
            fail(["the wheel holds 0 modules"])
        # Each module file, named <module>.<suffix>.so, exports its own init function alone.
        found = {n: read_elf(archive.read(n)) for n in modules}
    problems = [problem for name, facts in found.items()
                for problem in portability_problems(facts, arch, name.split("/")[-1].split(".")[0])]
    fail(problems + auditwheel_problems(show, arch))
    for name, facts in found.items():
        glibc = sorted({v for names in facts.versions.values() for v in names},
                       key=lambda v: [int(p) for p in re.findall(r"\d+", v)])
        print(f"  {path.name}: {name}: {arch}; needs {', '.join(facts.needed)}; symbol versions "
              f"up to {glibc[-1] if glibc else 'none'}; exports its init function only; "
              f"auditwheel: manylinux_2_17_{arch}")


# --- Summary --------------------------------------------------------------------------------------

def wheel_architecture(file_name: str) -> str:
    match = re.search(r"_(x86_64|aarch64)\.whl$", file_name)
    if not match:
        fail([f"{file_name} is no wheel for x86_64 or aarch64"])
    return match.group(1)


def summary_rows(dist: pathlib.Path, results: pathlib.Path) -> list[list[str]]:
    """One row per file of `dist`: the sdist first, then the wheels, x86_64 before aarch64, each
    by CPython version."""
    rows = []
    for path in sorted(dist.iterdir(), key=lambda p: (p.suffix != ".gz", p.name)):
        size = f"{path.stat().st_size / 1024:.0f} KiB"
        if path.name.endswith(".tar.gz"):
            rows.append([path.name, "(source)", size,
                         "the source of every wheel here; `make dist` installs and tests it"])
            continue
        match = re.fullmatch(r".*?-(cp3\d+)-cp3\d+-(.*)\.whl", path.name)
        if not match:
            fail([f"{path.name} in {dist} is neither the sdist nor a wheel"])
        tested = results / f"{match.group(1)}-{wheel_architecture(path.name)}"
        places = tested.read_text().splitlines() if tested.exists() else []
        rows.append([path.name, match.group(2), size, "; ".join(places) or "NOT TESTED"])
    rows[1:] = sorted(rows[1:], key=lambda row: (wheel_architecture(row[0]) != "x86_64", row[0]))
    return rows


def print_summary(dist: pathlib.Path, results: pathlib.Path) -> None:
    print("| File | Platform tag | Size | Where the test suite passed |")
    print("|---|---|---|---|")
    for row in summary_rows(dist, results):
        print("| " + " | ".join(row) + " |")


def main() -> None:
    if len(sys.argv) >= 3 and sys.argv[1] == "sdist":
        check_sdist(pathlib.Path(sys.argv[2]),
                    pathlib.Path(sys.argv[3]) if len(sys.argv) > 3 else None)
    elif len(sys.argv) == 3 and sys.argv[1] == "wheel":
        check_wheel(pathlib.Path(sys.argv[2]))
    elif len(sys.argv) == 4 and sys.argv[1] == "portable":
        check_portable(pathlib.Path(sys.argv[2]), pathlib.Path(sys.argv[3]).read_text())
    elif len(sys.argv) == 4 and sys.argv[1] == "summary":
        print_summary(pathlib.Path(sys.argv[2]), pathlib.Path(sys.argv[3]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
