"""Argument binding, argument conversion and error translation of both functions."""
import sys

import numpy as np
import pytest

import _atomblock
from _atomblock import read_atom_lines_rs, write_atoms_rs

from conftest import panic_type_of, run_python, write_kwargs

R = "read_atom_lines_rs()"
W = "write_atoms_rs()"


def empty_write_args(natoms=0):
    return write_kwargs(natoms)


# ---- binding -------------------------------------------------------------------

@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: read_atom_lines_rs([], b"", 1), f"{R} takes 2 positional arguments but 3 were given"),
        (lambda: write_atoms_rs(*range(7)), f"{W} takes 6 positional arguments but 7 were given"),
        # too many positional arguments is checked before unknown keywords
        (lambda: read_atom_lines_rs(1, 2, 3, foo=1), f"{R} takes 2 positional arguments but 3 were given"),
        (lambda: read_atom_lines_rs([]), f"{R} missing 1 required positional argument: 'col_types'"),
        (lambda: read_atom_lines_rs(), f"{R} missing 2 required positional arguments: 'lines' and 'col_types'"),
        (lambda: read_atom_lines_rs(col_types=b""), f"{R} missing 1 required positional argument: 'lines'"),
        (
            lambda: write_atoms_rs(),
            f"{W} missing 6 required positional arguments: 'sym_codepoints', 'sym_width', "
            "'float_mat', 'int_mat', 'bool_mat', and 'col_types'",
        ),
        (
            lambda: write_atoms_rs(1, 2, int_mat=3),
            f"{W} missing 3 required positional arguments: 'float_mat', 'bool_mat', and 'col_types'",
        ),
        (lambda: read_atom_lines_rs([], lines=[]), f"{R} got multiple values for argument 'lines'"),
        (lambda: read_atom_lines_rs([], foo=1, lines=[]), f"{R} got an unexpected keyword argument 'foo'"),
        (lambda: read_atom_lines_rs([], lines=[], foo=1), f"{R} got multiple values for argument 'lines'"),
        (lambda: read_atom_lines_rs(foo=1), f"{R} got an unexpected keyword argument 'foo'"),
        (lambda: read_atom_lines_rs(col_types=b"", lines=[], Lines=1),
         f"{R} got an unexpected keyword argument 'Lines'"),
        # keywords with NUL characters or lone surrogates appear whole
        (lambda: read_atom_lines_rs([], b"", **{"a\x00b": 1}), f"{R} got an unexpected keyword argument 'a\x00b'"),
        (lambda: read_atom_lines_rs([], **{"col_types\x00": 1}),
         f"{R} got an unexpected keyword argument 'col_types\x00'"),
        (lambda: write_atoms_rs(**{"\ud800": 1}), f"{W} got an unexpected keyword argument '\ud800'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == message


def test_keywords_bind_by_name_in_any_order():
    result = read_atom_lines_rs(col_types=b"s", lines=["H"])
    assert result["strs"] == [["H"]]
    assert write_atoms_rs(**dict(reversed(list(empty_write_args().items())))) == ""


# ---- sequence conversion -------------------------------------------------------

class Seq:
    """A minimal sequence whose behaviour the tests control."""

    def __init__(self, items, length=None, len_error=None):
        self.items = list(items)
        self.length = len(self.items) if length is None else length
        self.len_error = len_error

    def __len__(self):
        if self.len_error:
            raise self.len_error
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class IterRaises(Seq):
    def __iter__(self):
        raise KeyError("no iteration")


class BadIndex:
    def __index__(self):
        raise ZeroDivisionError("bad index")


class IndexTypeError:
    def __index__(self):
        raise TypeError("x\x00y\ud800")


def instance_of_type_named(qualname):
    cls = type("Named", (), {})
    cls.__qualname__ = qualname
    return cls()


@pytest.mark.parametrize(
    "col_types",
    [b"sfffi", bytearray(b"sfffi"), [115, 102, 102, 102, 105], (115, 102, 102, 102, 105),
     np.frombuffer(b"sfffi", np.uint8), memoryview(b"sfffi"), Seq([115, 102, 102, 102, 105])],
    ids=["bytes", "bytearray", "list", "tuple", "ndarray", "memoryview", "sequence"],
)
def test_col_types_forms_are_equivalent(col_types):
    result = read_atom_lines_rs(["H 1 2 3 4"], col_types)
    assert result["strs"] == [["H"]]
    assert result["floats"].tolist() == [[1.0, 2.0, 3.0]]
    assert result["ints"].tolist() == [[4]]


def test_col_types_bool_and_index_items():
    class Code:
        def __index__(self):
            return ord("f")

    result = read_atom_lines_rs(["1.5 2.5"], [Code(), True])  # True is the skip code 1
    assert result["floats"].tolist() == [[1.5]]


@pytest.mark.parametrize(
    "lines, col_types, exc_type, message",
    [
        ("H 1", b"s", TypeError, "argument 'lines': Can't extract `str` to `Vec`"),
        (type("S", (str,), {})("H"), b"s", TypeError, "argument 'lines': Can't extract `str` to `Vec`"),
        (["H"], "s", TypeError, "argument 'col_types': Can't extract `str` to `Vec`"),
        ((x for x in ["H"]), b"s", TypeError,
         "argument 'lines': 'generator' object cannot be converted to 'Sequence'"),
        ({"H": 1}, b"s", TypeError, "argument 'lines': 'dict' object cannot be converted to 'Sequence'"),
        (["H"], {115}, TypeError, "argument 'col_types': 'set' object cannot be converted to 'Sequence'"),
        (["H"], 115, TypeError, "argument 'col_types': 'int' object cannot be converted to 'Sequence'"),
        (["H", b"O"], b"s", TypeError, "argument 'lines': 'bytes' object cannot be converted to 'PyString'"),
        ([None], b"s", TypeError, "argument 'lines': 'NoneType' object cannot be converted to 'PyString'"),
        (["H"], [115, 256], OverflowError, "out of range integral type conversion attempted"),
        (["H"], [-1], OverflowError, "out of range integral type conversion attempted"),
        (["H"], [2**70], OverflowError, "Python int too large to convert to C long"),
        (["H"], [1.5], TypeError, "argument 'col_types': 'float' object cannot be interpreted as an integer"),
        (["H"], ["s"], TypeError, "argument 'col_types': 'str' object cannot be interpreted as an integer"),
        (["H"], [BadIndex()], ZeroDivisionError, "bad index"),
        (IterRaises(["H"]), b"s", KeyError, "'no iteration'"),
        (["H"], Seq([115, 1.0]), TypeError,
         "argument 'col_types': 'float' object cannot be interpreted as an integer"),
        # type names and wrapped messages with NUL characters or lone surrogates appear whole
        (["H", instance_of_type_named("ab\x00cd")], b"s", TypeError,
         "argument 'lines': 'ab\x00cd' object cannot be converted to 'PyString'"),
        (instance_of_type_named("a\ud800b"), b"s", TypeError,
         "argument 'lines': 'a\ud800b' object cannot be converted to 'Sequence'"),
        (["H"], [IndexTypeError()], TypeError, "argument 'col_types': x\x00y\ud800"),
    ],
)
def test_sequence_conversion_errors(lines, col_types, exc_type, message):
    with pytest.raises(BaseException) as excinfo:
        read_atom_lines_rs(lines, col_types)
    assert type(excinfo.value) is exc_type
    assert str(excinfo.value) == message


def test_lone_surrogate_passes_unicode_error_unwrapped():
    with pytest.raises(UnicodeEncodeError) as excinfo:
        read_atom_lines_rs(["H", "\ud800"], b"s")
    assert "argument" not in str(excinfo.value)


def test_lines_are_checked_before_col_types():
    with pytest.raises(TypeError, match="^argument 'lines'"):
        read_atom_lines_rs([1], "s")


@pytest.mark.parametrize(
    "length, len_error",
    [(None, None), (0, None), (10**6, None), (sys.maxsize, None), (None, RuntimeError("len fails"))],
    ids=["exact", "zero", "large", "maxsize", "raises"],
)
def test_length_is_only_a_hint(length, len_error):
    lines = Seq(["H 1", "O 2", "C 3"], length=length, len_error=len_error)
    codes = Seq([115, 105], length=length, len_error=len_error)
    result = read_atom_lines_rs(lines, codes)
    assert result["strs"] == [["H", "O", "C"]]
    assert result["ints"].tolist() == [[1], [2], [3]]


def test_tuple_of_lines_and_str_subclass_items():
    class Line(str):
        def split(self, *args):  # never used: the content is read directly
            raise AssertionError

    result = read_atom_lines_rs((Line("H 1.5"), "O 2"), b"sf")
    assert result["strs"] == [["H", "O"]]
    assert result["floats"].tolist() == [[1.5], [2.0]]


# ---- argument name wrapping ------------------------------------------------------

class TypeErrorSubclass(TypeError):
    pass


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


def test_wrapped_type_error_keeps_cause_and_suppresses_context():
    original = TypeError("inner")
    original.__cause__ = KeyError("why")
    with pytest.raises(TypeError) as excinfo:
        read_atom_lines_rs(["H"], [RaisingIndex(original)])
    exc = excinfo.value
    assert type(exc) is TypeError
    assert str(exc) == "argument 'col_types': inner"
    assert exc is not original
    assert isinstance(exc.__cause__, KeyError) and str(exc.__cause__) == "'why'"
    assert exc.__suppress_context__ is True


def test_type_error_subclass_is_not_wrapped():
    original = TypeErrorSubclass("sub")
    with pytest.raises(TypeErrorSubclass) as excinfo:
        read_atom_lines_rs(["H"], [RaisingIndex(original)])
    assert excinfo.value is original
    assert str(excinfo.value) == "sub"


def test_binding_errors_are_not_wrapped():
    with pytest.raises(TypeError) as excinfo:
        read_atom_lines_rs([], b"", 3)
    assert not str(excinfo.value).startswith("argument")
    assert excinfo.value.__suppress_context__ is False


# ---- sym_width --------------------------------------------------------------------

class Width:
    def __index__(self):
        return 3


@pytest.mark.parametrize("width, expected_line", [(True, "H\n"), (Width(), "H  \n"), (np.uint8(2), "H \n"), (0, "H\n")])
def test_sym_width_integer_conversion(width, expected_line):
    args = empty_write_args(1)
    args["sym_codepoints"] = np.array([[ord("H"), 0]], np.uint32)
    args["sym_width"] = width
    args["col_types"] = b"s"
    assert write_atoms_rs(**args) == expected_line


@pytest.mark.parametrize(
    "width, exc_type, message",
    [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        (3.0, TypeError, "argument 'sym_width': 'float' object cannot be interpreted as an integer"),
        ("2", TypeError, "argument 'sym_width': 'str' object cannot be interpreted as an integer"),
        (RaisingIndex(ValueError("nope")), ValueError, "nope"),
    ],
)
def test_sym_width_errors(width, exc_type, message):
    args = empty_write_args()
    args["sym_width"] = width
    with pytest.raises(BaseException) as excinfo:
        write_atoms_rs(**args)
    assert type(excinfo.value) is exc_type
    assert str(excinfo.value) == message


def test_write_conversion_order_names_first_bad_argument():
    with pytest.raises(TypeError) as excinfo:
        write_atoms_rs([[1]], 2, None, None, None, "s")
    assert str(excinfo.value).startswith("argument 'sym_codepoints': 'list' object")
    args = empty_write_args()
    args.update(int_mat=np.zeros((0, 1), np.int32), col_types="s")
    with pytest.raises(TypeError,
                       match="^argument 'int_mat': 'ndarray' object cannot be converted to 'PyArray<T, D>'$"):
        write_atoms_rs(**args)


# ---- errors raised by the cores ---------------------------------------------------------

def test_read_error_is_value_error_with_one_argument():
    with pytest.raises(ValueError) as excinfo:
        read_atom_lines_rs(["H 1.0 2.0"], b"sfff")
    assert type(excinfo.value) is ValueError
    assert excinfo.value.args == ("row 0: expected 4 tokens, ran out",)


def _panicking_write():
    args = empty_write_args(1)
    args.update(sym_width=65536, col_types=b"s")
    return write_atoms_rs(**args)


def test_internal_failure_is_panic_exception(capfd):
    with pytest.raises(BaseException) as excinfo:
        try:
            _panicking_write()
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by `except Exception`")
    panic = panic_type_of(excinfo)
    assert excinfo.value.args == ("Formatting argument out of range",)
    assert "Formatting argument out of range" in capfd.readouterr().err
    # The class is created once and reused; the module stays usable.
    with pytest.raises(panic):
        _panicking_write()
    assert read_atom_lines_rs(["H"], b"s")["strs"] == [["H"]]
    assert not hasattr(_atomblock, "PanicException")


def test_panic_exception_class_docstring():
    with pytest.raises(BaseException) as excinfo:
        _panicking_write()
    doc = type(excinfo.value).__doc__
    assert "BaseException" in doc and "SystemExit" in doc


def test_uncaught_panic_ends_script_with_traceback():
    proc = run_python(
        "import numpy as np, _atomblock\n"
        "_atomblock.write_atoms_rs(np.zeros((1,1),np.uint32), 70000, np.zeros((1,0)),"
        " np.zeros((1,0),np.int64), np.zeros((1,0),np.uint8), b's')\n"
    )
    assert proc.returncode == 1
    assert "PanicException: Formatting argument out of range" in proc.stderr
