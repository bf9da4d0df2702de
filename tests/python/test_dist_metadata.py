# test_dist_metadata.py: what pip installed: the distribution's metadata agrees with
# pyproject.toml, and its files are the module, its stubs and the license, nothing else.
import importlib.metadata
import pathlib
import re
import sys
import sysconfig
import tomllib

import pytest

import kelmor

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def project():
    return tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]


@pytest.fixture(scope="module")
def dist():
    return importlib.metadata.distribution("kelmor")


def test_metadata(dist, project):
    meta = dist.metadata
    assert (meta["Name"], meta["Version"]) == (project["name"], project["version"])
    assert meta["Requires-Python"] == ">=3.12"
    assert meta["License-Expression"] == "MIT"
    assert meta.get_all("License-File") == ["LICENSE"]
    assert meta.get_all("Classifier") == project["classifiers"]
    assert meta.get_all("Project-URL") == [
        f"{label}, {url}" for label, url in project["urls"].items()]
    assert all(url.startswith("https://example.invalid/") for url in project["urls"].values())
    assert meta["Description-Content-Type"] == "text/markdown"
    # The long description is the README (the body of METADATA; from 3.15 on, importlib.metadata
    # gives it only as the Description field, which earlier versions add from the body too).
    assert meta["Description"] == (ROOT / "README.md").read_text()
    # The module itself needs nothing: every requirement belongs to an optional extra.
    assert sorted(meta.get_all("Provides-Extra")) == sorted(project["optional-dependencies"])
    assert all("; extra == " in req for req in meta.get_all("Requires-Dist"))


def test_supported_versions_are_declared(project):
    """The classifiers, the README and the test matrix name the same CPython versions, the one
    running the tests among them."""
    declared = [c.rsplit(" :: ", 1)[1] for c in project["classifiers"]
                if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)]
    assert "%d.%d" % sys.version_info[:2] in declared
    listed = "CPython " + ", ".join(declared[:-1]) + " and " + declared[-1]
    readme = " ".join((ROOT / "README.md").read_text().split())
    assert f"is tested under {listed} (see [Python versions]" in readme
    assert f"every change is tested under {listed} (`make test-matrix`" in readme
    # ... and make test-matrix fails unless every one of them was tested.
    matrix = re.search(r"MATRIX_VERSIONS:-([\d. ]+)\}", (ROOT / "tools" / "test-matrix").read_text())
    assert matrix.group(1).split() == declared


def test_installed_files(dist):
    files = {str(f) for f in dist.files}
    info = f"kelmor-{dist.version}.dist-info/"
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    assert {f for f in files if not f.startswith(info)} == {
        f"kelmor{suffix}", "kelmor.pyi", "kelmor-stubs/__init__.pyi",
        f"kelmor_arrays{suffix}", "kelmor_arrays.pyi", "kelmor_arrays-stubs/__init__.pyi"}
    assert {f"{info}METADATA", f"{info}WHEEL", f"{info}RECORD",
            f"{info}licenses/LICENSE"} <= files
    assert pathlib.Path(kelmor.__file__).name == f"kelmor{suffix}"


def test_license_and_stubs_are_the_sources(dist):
    license_text = dist.read_text("licenses/LICENSE")
    assert license_text == (ROOT / "LICENSE").read_text()
    assert license_text.startswith("MIT License\n\nCopyright (c) 2026 kelmor developers\n")
    stub = (ROOT / "src" / "interface" / "kelmor.pyi").read_text()
    installed = pathlib.Path(kelmor.__file__).parent
    assert (installed / "kelmor.pyi").read_text() == stub
    assert (installed / "kelmor-stubs" / "__init__.pyi").read_text() == stub
    arrays_stub = (ROOT / "src" / "arrays" / "kelmor_arrays.pyi").read_text()
    assert (installed / "kelmor_arrays.pyi").read_text() == arrays_stub
    assert (installed / "kelmor_arrays-stubs" / "__init__.pyi").read_text() == arrays_stub
