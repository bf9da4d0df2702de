# test_panic_exception.py: the failure exception type, and a PanicException raised by Python
# code that the module calls (the resumed failure).
import pytest

import kelmor
from conftest import run_python

MISSING = "/nonexistent/kelmor/plot.txt"


def panic_from_failure():
    try:
        kelmor.rust_read_valdrum(MISSING, 12)
    except BaseException as exc:
        return exc
    raise AssertionError("no failure")


PANIC_DOC = (
    "\nThe exception raised when the native code of the kelmor module fails while called from "
    "Python.\n\nLike SystemExit, this exception is derived from BaseException so that\nit will "
    "typically propagate all the way through the stack and cause the\nPython interpreter to exit.\n"
)


def test_panic_exception_type():
    panic = type(panic_from_failure())
    assert panic.__name__ == "PanicException"
    assert panic.__qualname__ == "PanicException"
    assert panic.__module__ == "pyo3_runtime"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__doc__ == PANIC_DOC


def test_panic_exception_same_type_for_every_failure(write_file):
    first = panic_from_failure()
    second = panic_from_failure()
    try:
        kelmor.rust_read_valdrum(write_file(b""), 12)
    except BaseException as exc:
        third = exc
    assert first is not second
    assert type(first) is type(second) is type(third)


def test_panic_exception_args_and_text():
    message = 'Plot file not found!: Os { code: 2, kind: NotFound, message: "No such file or directory" }'
    exc = panic_from_failure()
    assert exc.args == (message,)
    assert str(exc) == message
    assert exc.__cause__ is None
    assert exc.__context__ is None


def test_panic_exception_not_caught_by_except_exception():
    caught_by = None
    try:
        try:
            kelmor.rust_read_valdrum(MISSING, 12)
        except Exception:
            caught_by = "Exception"
    except BaseException:
        caught_by = "BaseException"
    assert caught_by == "BaseException"


def raising_index(exception):
    class Width:
        def __index__(self):
            raise exception
    return Width()


def test_resumed_panic_gives_new_exception_with_same_message(capfd):
    panic = type(panic_from_failure())
    capfd.readouterr()
    raised = panic("boom")
    with pytest.raises(BaseException) as info:
        kelmor.rust_read_valdrum(MISSING, raising_index(raised))
    assert type(info.value) is panic
    assert info.value is not raised
    assert info.value.args == ("boom",)
    err = capfd.readouterr().err
    assert err.startswith(
        "--- kelmor: resuming a failure after a PanicException was fetched from Python ---\n"
        "Python stack trace below:\nTraceback (most recent call last):\n")
    assert err.endswith("pyo3_runtime.PanicException: boom\n")
    assert "panicked at" not in err


def test_panic_subclass_from_python_passes_unchanged(capfd):
    panic = type(panic_from_failure())
    capfd.readouterr()
    sub = type("SubPanic", (panic,), {})
    raised = sub("not resumed")
    with pytest.raises(BaseException) as info:
        kelmor.rust_read_valdrum(MISSING, raising_index(raised))
    assert info.value is raised
    assert capfd.readouterr() == ("", "")


RESUME_CODE = r"""
import os, kelmor
try:
    kelmor.rust_read_valdrum("/nonexistent/kelmor/plot.txt", 12)
except BaseException as exc:
    panic = type(exc)
os.write(2, b"MARK\n")

class Width:
    def __index__(self):
        raise panic(ARGUMENT)

class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")

try:
    kelmor.rust_read_valdrum("/nonexistent/kelmor/plot.txt", Width())
except BaseException as exc:
    print(type(exc) is panic, repr(exc.args[0]) if isinstance(exc.args[0], str) else "?")
"""

RESUMES = [
    # (id, argument of the PanicException raised by __index__, its traceback line, message)
    ("text", '"boom"', "pyo3_runtime.PanicException: boom", "'boom'"),
    ("unprintable", "Unprintable()", "pyo3_runtime.PanicException: <exception str() failed>",
     "'Unwrapped panic from Python code'"),
]


@pytest.mark.parametrize("argument, last_line, message", [row[1:] for row in RESUMES],
                         ids=[row[0] for row in RESUMES])
def test_resumed_panic_output(tmp_path, argument, last_line, message):
    script = tmp_path / "resume.py"
    result = run_python(RESUME_CODE.replace("ARGUMENT", argument), script=script)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode() == f"True {message}\n"
    after_mark = result.stderr.decode().split("MARK\n", 1)[1]
    assert after_mark == (
        "--- kelmor: resuming a failure after a PanicException was fetched from Python ---\n"
        "Python stack trace below:\n"
        "Traceback (most recent call last):\n"
        f'  File "{script}", line 11, in __index__\n'
        f"    raise panic({argument})\n"
        f"{last_line}\n")
