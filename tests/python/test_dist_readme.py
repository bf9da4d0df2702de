# test_dist_readme.py: the user's manual (README.md, also the distribution's long description)
# tells the truth: its argument error table, its failure messages and its failure report
# example are checked against what the module really does.
import pathlib
import re

import pytest

import kelmor
from conftest import run_python

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text()
SAMPLE = str(ROOT / "examples" / "sample.plt")


def section(title):
    """The text of a README section, up to the next heading of the same or a higher level."""
    level = title.split(" ")[0]
    start = README.index(f"\n{title}\n")
    end = re.compile(rf"^#{{1,{len(level)}}} ", re.MULTILINE).search(README, start + len(title) + 2)
    return README[start:end.start() if end else len(README)]


def table_rows(text):
    """The cells of every body row of the Markdown tables in `text`."""
    rows = []
    for line in text.splitlines():
        if line.startswith("|") and not line.startswith("|---"):
            rows.append([cell.strip() for cell in line.strip("|").split(" | ")])
    return rows[1:]  # the header row of the first table


def argument_error_rows():
    rows = table_rows(section("### Argument errors"))
    assert len(rows) == 12
    return [pytest.param(call, documented, id=call)
            for call, documented in ((re.search(r"`([^`]+)`", c).group(1),
                                      re.search(r"`([^`]+)`", d).group(1)) for c, d in rows)]


@pytest.mark.parametrize("call, documented", argument_error_rows())
def test_argument_error_table(call, documented):
    # Each row's first call raises the documented exception; rows that quote a message
    # quote it exactly.
    namespace = {"rust_read_valdrum": kelmor.rust_read_valdrum, "p": SAMPLE}
    with pytest.raises(BaseException) as caught:
        eval(call, namespace)  # the README's own call text
    actual = f"{type(caught.value).__name__}: {caught.value}"
    if ": " in documented:
        assert actual == documented
    else:
        assert type(caught.value).__name__ == documented


# Files whose failure messages the failure table quotes whole (in backquotes).
FAILING_FILES = [
    (None, 'Plot file not found!: Os { code: 2, kind: NotFound, message: "No such file or directory" }'),
    ("bad\0path", 'Plot file not found!: Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'),
    (b"", "Failed ot read line!"),
    ("/", 'Failed to read line!: Os { code: 21, kind: IsADirectory, message: "Is a directory" }'),
    (b"N: 1\n a\n T\n \xff\n", 'Failed to read line!: Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'),
    (b"N: 3\n a\n b\n", "Failed to read line!"),
    (b"N: 2\n a\n b\n T\n", "Error reading line"),
    (b"N: 1\n a\n T\n         1.0\n\n", "Error reading line"),
    (b"N: 1\n a\n T\n            \n", "Could not parse line: ParseFloatError { kind: Empty }"),
    (b"N: 1\n a\n T\n     1.0d+03\n", "Could not parse line: ParseFloatError { kind: Invalid }"),
    ("N: 1\n a\n T\n        1.0\u00e9\n".encode(),
     "byte index 12 is not a char boundary; it is inside 'é' (bytes 11..13) of `        1.0é`"),
]


@pytest.mark.parametrize("content, message", FAILING_FILES)
def test_failure_messages_are_documented(write_file, tmp_path, content, message):
    if content is None:
        path = str(tmp_path / "missing.plt")
    elif isinstance(content, str):
        path = content
    else:
        path = write_file(content)
    with pytest.raises(BaseException) as caught:
        kelmor.rust_read_valdrum(path, 12)
    assert type(caught.value).__name__ == "PanicException"
    assert caught.value.args == (message,)
    assert f"`{message}`" in section("### Failures: `PanicException`") or \
        f"`` {message} ``" in section("### Failures: `PanicException`")


def test_bad_count_is_documented(write_file, capfd):
    path = write_file("3 parameters\n")
    with pytest.raises(BaseException) as caught:
        kelmor.rust_read_valdrum(path, 12)
    first, second = caught.value.args[0].split("\n")
    failures = section("### Failures: `PanicException`")
    assert f"`{first}`<br>`'<first line>'`" in failures and second == "'3 parameters'"
    assert capfd.readouterr().out == "Error: 'parameters' is not a valid number of parameters!\n"
    assert "`Error: '<last word>' is not a valid number of parameters!`" in failures


def report_example():
    return re.search(r"```text\n(.*?)```", section("## The failure report on standard error"),
                     re.DOTALL).group(1)


def missing_file_report(tmp_path):
    """What a fresh process writes to standard error for a missing file."""
    result = run_python(f"import kelmor\ntry:\n    kelmor.rust_read_valdrum({str(tmp_path / 'missing.plt')!r}, 12)\n"
                        "except BaseException:\n    pass\n")
    assert result.returncode == 0
    return result


def test_report_example_matches_a_real_report(tmp_path):
    example = report_example()
    result = missing_file_report(tmp_path)
    # Thread ids and source locations differ from run to run and build to build.
    def normalise(text):
        return re.sub(r"\(\d+\) panicked at \S+:\d+:\d+:", "(ID) panicked at LOCATION:", text)
    assert normalise(result.stderr.decode()) == normalise(example)
    assert "KELMOR_BACKTRACE" in example


def call_columns(file, line):
    """Where g++ and clang place the failure's call on a line of the sources: its opening
    parenthesis, and the start of the name."""
    text = (ROOT / file).read_text().splitlines()[line - 1]
    call = re.search(r"\b(?:raise_failure|fail)(?:<[^<>()]*>)?\(", text)
    return {"g++": call.end(), "clang": call.start() + 1}


def test_report_example_location_is_the_real_one(tmp_path):
    # The source location moves whenever the reader's code above it does; the example must
    # move with it. It shows the column of g++ (the build from source); the wheels' clang
    # counts to the called name, which the README gives too.
    location = re.compile(r"panicked at (src/\S+\.cpp):(\d+):(\d+):\n")
    file, line, column = location.search(report_example()).groups()
    actual_file, actual_line, actual_column = location.search(
        missing_file_report(tmp_path).stderr.decode()).groups()
    assert (file, line) == (actual_file, actual_line)
    columns = call_columns(file, int(line))
    assert int(column) == columns["g++"]
    assert int(actual_column) in columns.values()
    assert f"`{pathlib.Path(file).name}:{line}:{columns['clang']}`" in section(
        "## The failure report on standard error")
