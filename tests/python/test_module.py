# test_module.py: what `import kelmor` gives: module attributes, the function object, re-import,
# the exec step on prepared module objects, and sub-interpreters.
import importlib
import importlib.util
import inspect
import pathlib
import sys
import types

import pytest

import kelmor
from conftest import require, run_python

FUNCTION_DOC = """\
# Reads in the valdrum file.

1. First opens the
1. Gets the number of parameters
1. Gets the parameter names
1. Loops over the rest of the file

## VALDRUM plot file shape
The VALDRUM data is stored in blocks per timestep with a max width of 10 columns.
There are 2 versions of the VALDRUM plot file:
1. 6 digits of percision, n_digits=12
1. 9 digits of precision, n_digits=15

Parameters
----------
file_path: &str
    the file path
n_digits: usize
    the width of a datafield

Returns
-------
all_data: Vec<Vec<f32>>
    the data stored in a vector of columns/vectors.
"""


def test_module_attributes():
    assert kelmor.__all__ == ["rust_read_valdrum"]
    assert type(kelmor.__all__) is list
    assert kelmor.__doc__ == ""
    assert kelmor.__name__ == "kelmor"
    public = {name for name in vars(kelmor) if not name.startswith("__")}
    assert public == {"rust_read_valdrum"}


def test_panic_exception_is_not_a_module_attribute():
    assert not hasattr(kelmor, "PanicException")
    assert "PanicException" not in vars(kelmor)


def test_function_object():
    function = kelmor.rust_read_valdrum
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == "rust_read_valdrum"
    assert function.__qualname__ == "rust_read_valdrum"
    assert function.__module__ == kelmor.__name__
    assert function.__self__ is None
    assert function.__text_signature__ == "(file_path, n_digits)"
    assert function.__doc__ == FUNCTION_DOC
    # The whole doc string holds the signature lines too: 616 characters.
    assert len("rust_read_valdrum(file_path, n_digits)\n--\n\n" + FUNCTION_DOC) == 616


def test_function_signature():
    parameters = list(inspect.signature(kelmor.rust_read_valdrum).parameters.values())
    assert [(p.name, p.kind, p.default) for p in parameters] == [
        ("file_path", inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty),
        ("n_digits", inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty),
    ]


def test_reimport_gives_new_module_and_function():
    old_module = sys.modules.pop("kelmor")
    try:
        new_module = importlib.import_module("kelmor")
        assert new_module is not old_module
        assert new_module.rust_read_valdrum is not old_module.rust_read_valdrum
        assert new_module.__all__ == ["rust_read_valdrum"]
        assert new_module.__all__ is not old_module.__all__
        assert new_module.rust_read_valdrum.__module__ == "kelmor"
    finally:
        sys.modules["kelmor"] = old_module


def fresh_module():
    """A module object created from kelmor's definition, not yet executed."""
    spec = importlib.util.find_spec("kelmor")
    return spec, importlib.util.module_from_spec(spec)


def test_exec_creates_missing_all():
    spec, module = fresh_module()
    assert not hasattr(module, "__all__")
    spec.loader.exec_module(module)
    assert module.__all__ == ["rust_read_valdrum"]
    assert module.rust_read_valdrum.__self__ is None


def test_exec_appends_to_existing_all():
    spec, module = fresh_module()
    existing = ["other"]
    module.__all__ = existing
    spec.loader.exec_module(module)
    assert module.__all__ is existing
    assert existing == ["other", "rust_read_valdrum"]


def test_exec_accepts_list_subclass_all():
    class Names(list):
        pass

    spec, module = fresh_module()
    module.__all__ = Names()
    spec.loader.exec_module(module)
    assert module.__all__ == ["rust_read_valdrum"]


def test_exec_function_module_follows_module_name():
    spec, module = fresh_module()
    module.__name__ = "renamed"
    spec.loader.exec_module(module)
    assert module.rust_read_valdrum.__module__ == "renamed"


class AllRaises(types.ModuleType):
    @property
    def __all__(self):
        raise RuntimeError("no names here")


class AllImportError(types.ModuleType):
    @property
    def __all__(self):
        raise ModuleNotFoundError("gone")  # not an AttributeError: passed on unchanged


class AllKeyError(types.ModuleType):
    @property
    def __all__(self):
        raise KeyError("x")


class NoSetattr(types.ModuleType):
    def __setattr__(self, name, value):
        if name == "rust_read_valdrum":
            raise PermissionError("read-only module")
        super().__setattr__(name, value)


class AllViaAttributeErrorSubclass(types.ModuleType):
    class Missing(AttributeError):
        pass

    @property
    def __all__(self):
        raise self.Missing("__all__")


EXEC_FAILURES = [
    # (id, preparation of the module, exception type, message)
    ("all_tuple", lambda m: setattr(m, "__all__", ("x",)),
     TypeError, "'tuple' object is not an instance of 'list'"),
    ("all_none", lambda m: setattr(m, "__all__", None),
     TypeError, "'NoneType' object is not an instance of 'list'"),
    ("all_lookup_raises", lambda m: setattr(m, "__class__", AllRaises),
     RuntimeError, "no names here"),
    ("all_lookup_raises_non_attribute_error", lambda m: setattr(m, "__class__", AllImportError),
     ModuleNotFoundError, "gone"),
    ("all_lookup_raises_key_error", lambda m: setattr(m, "__class__", AllKeyError),
     KeyError, "'x'"),
    ("function_not_storable", lambda m: setattr(m, "__class__", NoSetattr),
     PermissionError, "read-only module"),
    ("nameless_module", lambda m: delattr(m, "__name__"),
     SystemError, "nameless module"),
]


@pytest.mark.parametrize("prepare_module, error, message",
                         [row[1:] for row in EXEC_FAILURES], ids=[row[0] for row in EXEC_FAILURES])
def test_exec_failure(prepare_module, error, message):
    spec, module = fresh_module()
    prepare_module(module)
    with pytest.raises(BaseException) as info:
        spec.loader.exec_module(module)
    assert type(info.value) is error
    assert str(info.value) == message


def test_exec_attribute_error_subclass_counts_as_missing_all():
    # The lookup error matches AttributeError, so a new list is stored: which fails here,
    # because the property has no setter; that error is the step's error.
    spec, module = fresh_module()
    module.__class__ = AllViaAttributeErrorSubclass
    with pytest.raises(AttributeError) as info:
        spec.loader.exec_module(module)
    assert type(info.value) is AttributeError
    assert str(info.value) == (
        "property '__all__' of 'AllViaAttributeErrorSubclass' object has no setter")


# A sub-interpreter that shares the main interpreter's lock (the legacy kind, made here with
# _testcapi) runs the exec step, which refuses it.
SHARED_LOCK_CODE = r"""
import sys, _testcapi, tempfile, os
out = tempfile.mktemp()
code = f'''
try:
    import kelmor
    outcome = "imported"
except BaseException as exc:
    outcome = type(exc).__name__ + ": " + str(exc)
with open({out!r}, "w") as f:
    f.write(outcome)
'''
status = _testcapi.run_in_subinterp(code)
with open(out) as f:
    print(status, f.read())
os.unlink(out)
"""

# A sub-interpreter with a lock of its own (what concurrent.interpreters makes, from 3.14 on):
# the interpreter itself refuses modules that do not declare support for it, before their exec
# step runs.
OWN_LOCK_CODE = r"""
from concurrent import interpreters
interpreter = interpreters.create()
try:
    interpreter.exec("import kelmor")
    print("imported")
except interpreters.ExecutionFailed as exc:
    print(exc.excinfo.type.__name__ + ": " + exc.excinfo.msg)
finally:
    interpreter.close()
"""

SUBINTERPRETERS = {
    "shared_lock": (SHARED_LOCK_CODE,
                    "0 ImportError: kelmor does not support loading in sub-interpreters"),
}
if sys.version_info >= (3, 14):
    SUBINTERPRETERS["own_lock"] = (
        OWN_LOCK_CODE, "ImportError: module kelmor does not support loading in subinterpreters")


@pytest.mark.parametrize("kind", SUBINTERPRETERS)
@pytest.mark.parametrize("main_first", [False, True], ids=["fresh_process", "after_main_import"])
def test_subinterpreter_import_is_refused(kind, main_first):
    require("_testcapi")
    code, outcome = SUBINTERPRETERS[kind]
    sample = str(pathlib.Path(__file__).resolve().parents[2] / "examples" / "sample.plt")
    code = ("import kelmor\n" if main_first else "") + code + (
        f"import kelmor\nprint(kelmor.__all__, len(kelmor.rust_read_valdrum({sample!r}, 12)))\n")
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    # The main interpreter imports and uses the module afterwards as before.
    assert result.stdout.decode().splitlines() == [outcome, "['rust_read_valdrum'] 36"]
    assert result.stderr == b""


# Runs child(k) for every k in range(count), each in a forked child of a process that has not
# imported kelmor, so that every child makes the module's process-wide objects for the first
# time, and prints "k outcome": child's text; "signal N" when the child died of a signal, with
# " without its report" added to a SIGABRT that did not come from the last-resort guard after
# its report; or the exit status and the end of standard error when it gave no outcome. A child
# that hangs is ended by an alarm (signal 14).
FORKED_CHILDREN = r"""
import importlib.util, os, signal, sys, tempfile, _testcapi
spec = importlib.util.find_spec("kelmor")

def for_each_k(count, child):
    for k in range(count):
        err = tempfile.TemporaryFile()
        reader, writer = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(reader)
            os.dup2(err.fileno(), 2)
            signal.alarm(5)
            os.write(writer, child(k).encode())
            os._exit(0)
        os.close(writer)
        with os.fdopen(reader, "rb") as pipe:
            result = pipe.read().decode()
        _, status = os.waitpid(pid, 0)
        err.seek(0)
        text = err.read().decode(errors="replace")
        if os.WIFSIGNALED(status):
            result = f"signal {os.WTERMSIG(status)}"
            if result == "signal 6" and not (
                    "uncaught panic at ffi boundary" in text and text.endswith(
                        "failure raised while another failure was unwinding; aborting\n")):
                result += " without its report"
        elif os.WEXITSTATUS(status) != 0 or not result:
            result = f"exit {os.WEXITSTATUS(status)} {result!r} {text[-300:]!r}"
        print(k, result, flush=True)
"""

# The first exec step of a process makes the process-wide objects. With every allocation failing
# from the k-th on, it must still end: imported, an ordinary exception, or the last-resort
# guard's abort after its report (when not even the failure type can be made), never a hang.
# While allocations fail the child runs nothing of its own that could need memory: what it
# calls is bound beforehand and its names are a function's locals (storing a global can grow
# the module's dictionary), so that a MemoryError cannot escape the child itself.
EXEC_FAULTS = FORKED_CHILDREN + r"""
def child(k):
    module = importlib.util.module_from_spec(spec)
    exec_module = spec.loader.exec_module
    set_nomemory, remove_hooks = _testcapi.set_nomemory, _testcapi.remove_mem_hooks
    outcome = None
    set_nomemory(k, 0)
    try:
        exec_module(module)
    except BaseException as exc:
        outcome = exc
    remove_hooks()
    return "ok" if outcome is None else type(outcome).__name__

for_each_k(80, child)
"""


def test_first_exec_with_allocations_failing_for_good():
    require("_testcapi")
    result = run_python(EXEC_FAULTS)
    assert result.returncode == 0, result.stderr.decode()[-3000:]
    outcomes = dict(line.split(" ", 1) for line in result.stdout.decode().splitlines())
    assert len(outcomes) == 80
    assert set(outcomes.values()) <= {"ok", "MemoryError", "signal 6"}, outcomes
    assert outcomes["79"] == "ok"


# Python code that runs while the first exec step makes a process-wide object can reach the
# same object again on the same thread: here an unraisable hook, called when making an interned
# name fails (the k-th allocation alone fails), runs the exec step of a second module object.
# That nested step fails with PanicException instead of waiting for itself for ever, the outer
# step ends as usual, and afterwards the module imports and reads as ever.
REENTRY = FORKED_CHILDREN + r"""
sample = sys.argv[1]

def child(k):
    nested = []

    def hook(report):
        if nested:
            return
        again = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(again)
            nested.append("ok")
        except BaseException as exc:
            nested.append(f"{type(exc).__name__}: {exc}")

    sys.unraisablehook = hook
    module = importlib.util.module_from_spec(spec)
    exec_module = spec.loader.exec_module
    set_nomemory, remove_hooks = _testcapi.set_nomemory, _testcapi.remove_mem_hooks
    outcome = None
    set_nomemory(k, k + 1)
    try:
        exec_module(module)
    except BaseException as exc:
        outcome = exc
    remove_hooks()
    sys.unraisablehook = sys.__unraisablehook__
    # A new module object of the same process, made once all allocations work again.
    after = importlib.util.module_from_spec(spec)
    exec_module(after)
    usable = (after.__all__ == ["rust_read_valdrum"]
              and len(after.rust_read_valdrum(sample, 12)) == 36)
    outcome = "ok" if outcome is None else f"{type(outcome).__name__}: {outcome}"
    return "|".join([outcome, *nested, "usable" if usable else "unusable"])

for_each_k(60, child)
"""


def test_first_exec_reentered_from_python_code():
    require("_testcapi")
    sample = pathlib.Path(__file__).resolve().parents[2] / "examples" / "sample.plt"
    result = run_python(REENTRY.replace("sys.argv[1]", repr(str(sample))))
    assert result.returncode == 0, result.stderr.decode()[-3000:]
    lines = result.stdout.decode().splitlines()
    assert len(lines) == 60
    reentered = []
    for line in lines:
        k, outcome = line.split(" ", 1)
        *outer, usable = outcome.split("|")
        assert usable == "usable", line
        if len(outer) == 2:
            # The hook ran: only the failing interned name calls it, with its null-result report.
            assert outer == ["PanicException: PyObject pointer is null", "PanicException: "
                             "Re-entrant initialization of a process-wide object detected"], line
            reentered.append(k)
        else:
            assert len(outer) == 1, line
    # Both names, "__name__" and "__all__", were re-entered.
    assert len(reentered) == 2, lines
