# test_arguments.py: binding of positional and keyword arguments, conversion of file_path and
# n_digits, and the exact errors of each.
import operator
import pathlib
import sys

import pytest

import kelmor

F = "rust_read_valdrum()"
P = "/nonexistent/kelmor/plot.txt"  # never opened: every case here fails before the read


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


def index_error(value):
    """The interpreter's own message when `value` is used as an integer (its text for an
    __index__ that gives no int differs between versions)."""
    with pytest.raises(TypeError) as info:
        operator.index(value)
    return str(info.value)


class TypeErrorSubclass(TypeError):
    pass


class Path(str):
    pass


def call(args, kwargs):
    return kelmor.rust_read_valdrum(*args, **kwargs)


BINDING_ERRORS = [
    # (id, positional arguments, keyword arguments, message of the TypeError)
    ("no_arguments", (), {}, f"{F} missing 2 required positional arguments: 'file_path' and 'n_digits'"),
    ("only_path_positional", (P,), {}, f"{F} missing 1 required positional argument: 'n_digits'"),
    ("only_path_keyword", (), {"file_path": P}, f"{F} missing 1 required positional argument: 'n_digits'"),
    ("only_digits_keyword", (), {"n_digits": 12}, f"{F} missing 1 required positional argument: 'file_path'"),
    ("three_positional", (P, 12, 13), {}, f"{F} takes 2 positional arguments but 3 were given"),
    ("three_positional_and_keywords", (P, 12, 13), {"file_path": P, "bogus": 1},
     f"{F} takes 2 positional arguments but 3 were given"),
    ("five_positional", (1, 2, 3, 4, 5), {}, f"{F} takes 2 positional arguments but 5 were given"),
    ("duplicate_path", (P, 12), {"file_path": P}, f"{F} got multiple values for argument 'file_path'"),
    ("duplicate_digits", (P, 12), {"n_digits": 12}, f"{F} got multiple values for argument 'n_digits'"),
    ("duplicate_path_one_positional", (P,), {"file_path": P, "n_digits": 12},
     f"{F} got multiple values for argument 'file_path'"),
    ("unexpected_keyword", (P, 12), {"width": 12}, f"{F} got an unexpected keyword argument 'width'"),
    ("unexpected_keyword_alone", (), {"path": P}, f"{F} got an unexpected keyword argument 'path'"),
    ("keyword_case_sensitive", (), {"File_Path": P, "n_digits": 12},
     f"{F} got an unexpected keyword argument 'File_Path'"),
    ("keyword_upper_case", (P,), {"N_DIGITS": 12}, f"{F} got an unexpected keyword argument 'N_DIGITS'"),
    # The first bad keyword ends binding, before the missing arguments are counted.
    ("first_bad_keyword_wins", (), {"zzz": 1, "file_path": P, "file_path2": 1},
     f"{F} got an unexpected keyword argument 'zzz'"),
    ("unknown_before_duplicate", (P, 12), {"other": 1, "file_path": P},
     f"{F} got an unexpected keyword argument 'other'"),
    ("duplicate_before_unknown", (P, 12), {"file_path": P, "other": 1},
     f"{F} got multiple values for argument 'file_path'"),
    ("lone_surrogate_keyword", (P, 12), {"\udc80name": 1},
     f"{F} got an unexpected keyword argument '\ufffd\ufffd\ufffdname'"),
    ("non_ascii_keyword", (P, 12), {"n_digíts": 1}, f"{F} got an unexpected keyword argument 'n_digíts'"),
    ("empty_keyword", (P, 12), {"": 1}, f"{F} got an unexpected keyword argument ''"),
]


@pytest.mark.parametrize("args, kwargs, message", [row[1:] for row in BINDING_ERRORS],
                         ids=[row[0] for row in BINDING_ERRORS])
def test_binding_error(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(args, kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.__cause__ is None


def test_binding_non_interned_keyword_names(write_file):
    # Keyword names built at run time are equal to the parameter names but not the same objects.
    path = write_file("Number of parameters: 0\n")
    kwargs = {"".join(["file", "_path"]): path, "".join(["n_", "digits"]): 12}
    assert kelmor.rust_read_valdrum(**kwargs) == []


BINDING_MIXES = [
    # (id, positional arguments, keyword arguments); PATH stands for the file's path
    ("positional", ("PATH", 4), {}),
    ("mixed", ("PATH",), {"n_digits": 4}),
    ("keywords", (), {"file_path": "PATH", "n_digits": 4}),
    ("keywords_reversed", (), {"n_digits": 4, "file_path": "PATH"}),
]


@pytest.mark.parametrize("args, kwargs", [row[1:] for row in BINDING_MIXES],
                         ids=[row[0] for row in BINDING_MIXES])
def test_binding_accepts_every_mix(write_file, args, kwargs):
    path = write_file("1\nname\n t\n 2.5\n")
    args = tuple(path if a == "PATH" else a for a in args)
    kwargs = {k: path if v == "PATH" else v for k, v in kwargs.items()}
    assert kelmor.rust_read_valdrum(*args, **kwargs) == [[2.5]]


CONVERSION_ERRORS = [
    # (id, file_path, n_digits, exception type, message)
    ("path_int", 1, 12, TypeError, "argument 'file_path': 'int' object is not an instance of 'str'"),
    ("path_none", None, 12, TypeError, "argument 'file_path': 'None' is not an instance of 'str'"),
    ("path_bytes", b"/tmp/x", 12, TypeError, "argument 'file_path': 'bytes' object is not an instance of 'str'"),
    ("path_pathlib", pathlib.PurePosixPath("/tmp/x"), 12, TypeError,
     "argument 'file_path': 'PurePosixPath' object is not an instance of 'str'"),
    ("path_posix_path", pathlib.Path("/tmp/x"), 12, TypeError,
     "argument 'file_path': 'PosixPath' object is not an instance of 'str'"),
    ("path_nested_class", Index(1), 12, TypeError,
     "argument 'file_path': 'Index' object is not an instance of 'str'"),
    ("path_list", ["/tmp"], 12, TypeError, "argument 'file_path': 'list' object is not an instance of 'str'"),
    ("path_lone_surrogate", "/tmp/\udcff", 12, UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udcff' in position 5: surrogates not allowed"),
    # With both arguments wrong only the file_path error is raised.
    ("both_wrong", None, "12", TypeError, "argument 'file_path': 'None' is not an instance of 'str'"),
    ("both_wrong_overflow", 3, -1, TypeError, "argument 'file_path': 'int' object is not an instance of 'str'"),
    ("digits_float", P, 12.0, TypeError, "argument 'n_digits': 'float' object cannot be interpreted as an integer"),
    ("digits_float_fraction", P, 1.5, TypeError,
     "argument 'n_digits': 'float' object cannot be interpreted as an integer"),
    ("digits_str", P, "12", TypeError, "argument 'n_digits': 'str' object cannot be interpreted as an integer"),
    ("digits_none", P, None, TypeError,
     "argument 'n_digits': 'NoneType' object cannot be interpreted as an integer"),
    ("digits_negative", P, -1, OverflowError, "can't convert negative int to unsigned"),
    ("digits_negative_index", P, Index(-5), OverflowError, "can't convert negative int to unsigned"),
    ("digits_2_32", P, 2**32, OverflowError, "out of range integral type conversion attempted"),
    ("digits_2_32_index", P, Index(2**32), OverflowError, "out of range integral type conversion attempted"),
    ("digits_2_64_minus_1", P, 2**64 - 1, OverflowError, "out of range integral type conversion attempted"),
    ("digits_2_64", P, 2**64, OverflowError, "int too big to convert"),
    ("digits_huge", P, 10**40, OverflowError, "int too big to convert"),
    ("digits_index_not_int", P, Index(12.0), TypeError,
     "argument 'n_digits': " + index_error(Index(12.0))),
    ("digits_index_value_error", P, Index(ValueError("bad width")), ValueError, "bad width"),
    ("digits_index_type_error_subclass", P, Index(TypeErrorSubclass("not prefixed")),
     TypeErrorSubclass, "not prefixed"),
    ("digits_index_type_error", P, Index(TypeError("prefixed")), TypeError, "argument 'n_digits': prefixed"),
    ("digits_index_overflow_error", P, Index(OverflowError("from index")), OverflowError, "from index"),
]


@pytest.mark.parametrize("file_path, n_digits, error, message", [row[1:] for row in CONVERSION_ERRORS],
                         ids=[row[0] for row in CONVERSION_ERRORS])
def test_conversion_error(file_path, n_digits, error, message, capfd):
    with pytest.raises(BaseException) as info:
        kelmor.rust_read_valdrum(file_path, n_digits)
    assert type(info.value) is error
    assert str(info.value) == message
    # Argument errors write nothing: only failures do.
    assert capfd.readouterr() == ("", "")


def test_conversion_error_keyword_arguments():
    with pytest.raises(TypeError) as info:
        kelmor.rust_read_valdrum(n_digits=12, file_path=b"x")
    assert str(info.value) == "argument 'file_path': 'bytes' object is not an instance of 'str'"


def test_prefixed_type_error_keeps_cause():
    cause = KeyError("inner")

    class Raising:
        def __index__(self):
            raise TypeError("outer") from cause

    with pytest.raises(TypeError) as info:
        kelmor.rust_read_valdrum(P, Raising())
    assert str(info.value) == "argument 'n_digits': outer"
    assert info.value.__cause__ is cause


def test_prefixed_type_error_without_cause():
    with pytest.raises(TypeError) as info:
        kelmor.rust_read_valdrum(P, 1.5)
    assert info.value.__cause__ is None
    assert info.value.args == ("argument 'n_digits': 'float' object cannot be interpreted as an integer",)


def test_unprefixed_errors_are_the_raised_objects():
    raised = ValueError("the very object")
    with pytest.raises(ValueError) as info:
        kelmor.rust_read_valdrum(P, Index(raised))
    assert info.value is raised


def test_unprintable_exact_type_error(monkeypatch):
    # An exact TypeError whose str() raises: its args make str() fail.
    class BadText:
        def __str__(self):
            raise RuntimeError("no text")

    class Raising:
        def __index__(self):
            raise TypeError(BadText())

    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    with pytest.raises(TypeError) as info:
        kelmor.rust_read_valdrum(P, Raising())
    assert str(info.value) == "argument 'n_digits': <unprintable TypeError object>"
    assert len(reports) == 1
    assert type(reports[0].exc_value) is RuntimeError
    assert str(reports[0].exc_value) == "no text"
    assert type(reports[0].object) is TypeError


def test_unexpected_keyword_text_of_str_subclass():
    class Name(str):
        pass

    with pytest.raises(TypeError) as info:
        kelmor.rust_read_valdrum(P, 12, **{Name("width"): 1})
    assert str(info.value) == f"{F} got an unexpected keyword argument 'width'"


ACCEPTED = [
    # (id, file_path maker, n_digits, result): the data line is "7.250", cut to n_digits bytes
    ("str_subclass_path", Path, 4, [[7.25]]),
    ("bool_true_is_1", str, True, [[7.0]]),
    ("index_object", str, Index(4), [[7.25]]),
    ("int_subclass", str, type("Width", (int,), {})(3), [[7.199999809265137]]),
]


@pytest.mark.parametrize("make_path, n_digits, expected", [row[1:] for row in ACCEPTED],
                         ids=[row[0] for row in ACCEPTED])
def test_conversion_accepted(write_file, make_path, n_digits, expected):
    path = make_path(write_file("1\nname\n t\n7.250\n"))
    assert kelmor.rust_read_valdrum(path, n_digits) == expected


WIDTHS_REACHING_READER = [
    # (id, n_digits, message of the failure): the file's data line is "x", one byte long
    ("false_is_0", False, "Could not parse line: ParseFloatError { kind: Empty }"),
    ("zero", 0, "Could not parse line: ParseFloatError { kind: Empty }"),
    ("width_2", 2, "byte index 2 is out of bounds of `x`"),
    ("max_u32", 2**32 - 1, "byte index 4294967295 is out of bounds of `x`"),
]


@pytest.mark.parametrize("n_digits, message", [row[1:] for row in WIDTHS_REACHING_READER],
                         ids=[row[0] for row in WIDTHS_REACHING_READER])
def test_width_reaches_reader(write_file, n_digits, message, capfd):
    path = write_file("1\nname\n t\nx\n")
    with pytest.raises(BaseException) as info:
        kelmor.rust_read_valdrum(path, n_digits)
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == (message,)
    assert message in capfd.readouterr().err


def test_unexpected_keyword_with_unprintable_name(monkeypatch):
    class Name(str):
        def __str__(self):
            raise RuntimeError("no text")

    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    name = Name("width")
    with pytest.raises(TypeError) as info:
        kelmor.rust_read_valdrum(P, 12, **{name: 1})
    assert str(info.value) == f"{F} got an unexpected keyword argument '<unprintable Name object>'"
    assert [(type(r.exc_value), str(r.exc_value), r.object) for r in reports] == [
        (RuntimeError, "no text", name)]
