"""A catalogue of hostile input: each case gives its exact exception (or its
exact result) and leaves the module usable."""
import sys
import textwrap

import numpy as np
import pytest

from _atomblock import read_atom_lines_rs, write_atoms_rs

from conftest import run_python, write_kwargs


def write_args(natoms=1, **overrides):
    return write_kwargs(natoms, columns=1, **{"col_types": b"sfib", **overrides})


# ---- objects whose protocols raise or lie -------------------------------------

class LyingSeq:
    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class GetItemRaises(LyingSeq):
    def __getitem__(self, i):
        if i == 1:
            raise RuntimeError("getitem fails")
        return self.items[i]


class IndexReturnsFloat:
    def __index__(self):
        return 1.5  # noqa: PLE0305 - the wrong type is the hostile input


class IndexMutates:
    """An __index__ that empties the lines list and the code list mid-conversion."""

    def __init__(self, *targets):
        self.targets = targets

    def __index__(self):
        for t in self.targets:
            t.clear()
        return ord("s")


@pytest.mark.parametrize(
    "lines, col_types, exc_type, message",
    [
        (LyingSeq(["H"], RuntimeError("len")), b"s", None, [["H"]]),
        (LyingSeq(["H"], sys.maxsize), b"s", None, [["H"]]),
        (LyingSeq(["H", "O"], 0), b"s", None, [["H", "O"]]),
        (GetItemRaises(["H", "O"], 2), b"s", RuntimeError, "getitem fails"),
        (["H"], [IndexReturnsFloat()], TypeError,
         "argument 'col_types': __index__ returned non-int (type float)"),
        (["H"], [2**63], OverflowError, "Python int too large to convert to C long"),
        (["H"], np.array([115, 300]), OverflowError, "out of range integral type conversion attempted"),
        (["H"], np.array([115.0]), TypeError,
         "argument 'col_types': 'numpy.float64' object cannot be interpreted as an integer"),
    ],
)
def test_sequence_protocol_abuse(lines, col_types, exc_type, message):
    if exc_type is None:
        assert read_atom_lines_rs(lines, col_types)["strs"] == message
        return
    with pytest.raises(BaseException) as excinfo:
        read_atom_lines_rs(lines, col_types)
    assert type(excinfo.value) is exc_type
    assert str(excinfo.value) == message


def test_mutation_during_conversion_keeps_lines_alive():
    # Build lines whose str objects are referenced only by the list, then
    # empty the list while col_types converts: the converted lines must stay
    # intact, and the code list stops where it was cut.
    lines = ["".join(["Si ", str(i)]) for i in range(50)]
    codes = [105, 105]
    codes.insert(0, IndexMutates(lines, codes))
    result = read_atom_lines_rs(lines, codes)
    assert lines == [] and codes == []
    assert result["strs"] == [["Si"] * 50]
    assert result["ints"].shape == (50, 0)


@pytest.mark.parametrize(
    "line, col_types, expected",
    [
        ("H\x00 1.5", b"sf", {"strs": [["H\x00"]], "floats": [[1.5]]}),
        ("1\x005", b"f", 'row 0: cannot parse "1\\05" as float: invalid float literal'),
        ("\x00", b"b", 'row 0: cannot parse "\\0" as bool'),
        ("é\u0301 x", b"sf", 'row 0: cannot parse "x" as float: invalid float literal'),
        ("1\u00a02", b"i", 'row 0: cannot parse "1\\u{a0}2" as int: invalid digit found in string'),
    ],
)
def test_nul_and_unicode_inside_lines(line, col_types, expected):
    if isinstance(expected, str):
        with pytest.raises(ValueError) as excinfo:
            read_atom_lines_rs([line], col_types)
        assert str(excinfo.value) == expected
    else:
        result = read_atom_lines_rs([line], col_types)
        assert result["strs"] == expected["strs"]
        assert result["floats"].tolist() == expected["floats"]


# ---- hostile arrays ----------------------------------------------------------------

def test_zero_stride_arrays_read_every_row():
    natoms = 4
    args = write_args(
        natoms,
        sym_codepoints=np.broadcast_to(np.array([[ord("C"), 0]], np.uint32), (natoms, 2)),
        float_mat=np.broadcast_to(np.array([[1.25]]), (natoms, 1)),
        int_mat=np.broadcast_to(np.array([[-7]], np.int64), (natoms, 1)),
        bool_mat=np.broadcast_to(np.array([[1]], np.uint8), (natoms, 1)),
    )
    assert write_atoms_rs(**args) == "%-2s %16.8f %8d  T\n" % ("C", 1.25, -7) * natoms


def test_record_field_with_odd_byte_stride():
    rec = np.zeros(3, dtype=np.dtype([("tag", "u1"), ("x", "<f8"), ("n", "<i8")], align=False))
    rec["x"] = [0.5, -1.5, 2.0]
    rec["n"] = [1, 2, 3]
    floats = rec["x"].reshape(3, 1)
    ints = rec["n"].reshape(3, 1)
    assert floats.strides[0] == 17
    args = write_args(3, float_mat=floats, int_mat=ints, col_types=b"sfi")
    expected = write_args(3, float_mat=np.ascontiguousarray(floats),
                          int_mat=np.ascontiguousarray(ints), col_types=b"sfi")
    assert write_atoms_rs(**args) == write_atoms_rs(**expected)
    assert write_atoms_rs(**args).splitlines()[1] == "%-2s %16.8f %8d" % ("H", -1.5, 2)


@pytest.mark.parametrize(
    "name, value",
    [
        ("float_mat", np.zeros((1, 1), dtype=">f8")),
        ("int_mat", np.zeros((1, 1), dtype=">i8")),
        ("sym_codepoints", np.zeros((1, 2), dtype=">u4")),
        ("float_mat", np.zeros(())),
        ("float_mat", np.zeros((1, 1, 1))),
        ("bool_mat", np.zeros((1, 1), dtype=bool)),
        ("float_mat", np.zeros((1, 1), dtype=np.longdouble)),
        ("float_mat", np.zeros((1, 1), dtype=[("x", "f8")])),
        ("float_mat", memoryview(np.zeros((1, 1)))),
        ("sym_codepoints", type("T", (), {"__qualname__": "T\x00\ud800"})()),
    ],
    ids=["byteswapped-f8", "byteswapped-i8", "byteswapped-u4", "0-d", "3-d", "bool",
         "longdouble", "record", "memoryview", "nul-and-surrogate-type-name"],
)
def test_arrays_refused(name, value):
    with pytest.raises(TypeError) as excinfo:
        write_atoms_rs(**write_args(**{name: value}))
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == (
        f"argument '{name}': '{type(value).__qualname__}' object cannot be converted to 'PyArray<T, D>'"
    )


@pytest.mark.parametrize(
    "make",
    [np.matrix, lambda a: np.ma.masked_array(a, mask=np.zeros_like(a, bool)),
     lambda a: a.view(type("MyArray", (np.ndarray,), {}))],
    ids=["matrix", "masked", "subclass"],
)
@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
def test_ndarray_subclasses_are_accepted(make):
    floats = make(np.array([[3.5]]))
    assert write_atoms_rs(**write_args(float_mat=floats, col_types=b"f")) == " %16.8f\n" % 3.5


# ---- sizes beyond memory or address space ----------------------------------------

def test_huge_sym_width_without_symbol_code_wraps_to_overflow():
    with pytest.raises(BaseException) as excinfo:
        write_atoms_rs(**write_args(2, sym_width=2**62, col_types=b"f"))
    assert type(excinfo.value).__name__ == "PanicException"
    assert excinfo.value.args == ("capacity overflow",)


def test_unreservable_capacity_is_memory_error():
    # 2**40 broadcast rows of a 1x1 array: no memory behind them, but an
    # output estimate of about 2**40 * 2**20 bytes that cannot be reserved.
    rows = 2**40
    args = write_args(
        sym_codepoints=np.broadcast_to(np.zeros((1, 1), np.uint32), (rows, 1)),
        sym_width=2**20,
        float_mat=np.zeros((0, 0)), int_mat=np.zeros((0, 0), np.int64),
        bool_mat=np.zeros((0, 0), np.uint8), col_types=b"",
    )
    with pytest.raises(MemoryError):
        write_atoms_rs(**args)


def test_reader_store_beyond_memory_is_memory_error():
    lines = [""] * 2**20
    with pytest.raises(MemoryError):
        read_atom_lines_rs(lines, b"f" * 2**21)  # 2**41 floats: 16 TiB


def test_broadcast_symbol_row_beyond_memory_fails_without_walking_it():
    # One symbol of 2**36 code points, all one broadcast element: its field
    # cannot be had, and that must show before the row is walked (which took
    # over a minute); a subprocess, so that a regression fails by its timeout.
    code = textwrap.dedent(
        """
        import numpy as np
        from _atomblock import write_atoms_rs
        sym = np.broadcast_to(np.array([[72]], np.uint32), (1, 2**36))
        try:
            write_atoms_rs(sym, 2, np.zeros((1, 0)), np.zeros((1, 0), np.int64),
                           np.zeros((1, 0), np.uint8), b"s")
        except MemoryError:
            print("MemoryError")
        """
    )
    proc = run_python(code, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["MemoryError"]


@pytest.mark.parametrize(
    "body",
    [
        # a read whose stores do not fit under the limit
        "read_atom_lines_rs(['1 2 3 4'] * 100, b'f' * 1_000_000)",
        # a write whose output does not fit under the limit
        "write_atoms_rs(np.zeros((3_000_000, 1), np.uint32), 2,"
        " np.broadcast_to(np.zeros((1, 16)), (3_000_000, 16)),"
        " np.zeros((3_000_000, 0), np.int64), np.zeros((3_000_000, 0), np.uint8), b'sf')",
    ],
    ids=["read", "write"],
)
@pytest.mark.skipif(not sys.platform.startswith("linux"),
                    reason="reads /proc/self/statm and limits RLIMIT_AS, both Linux-only")
def test_memory_exhaustion_under_address_space_limit(body):
    code = textwrap.dedent(
        f"""
        import resource, numpy as np
        from _atomblock import read_atom_lines_rs, write_atoms_rs
        np.zeros((3_000_000, 8))  # warm NumPy's allocator before the limit
        limit = 700 * 2**20
        used = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + limit, used + limit))
        try:
            {body}
        except MemoryError:
            print("MemoryError")
        else:
            print("no error")
        print(read_atom_lines_rs(['H 1'], b'si')['ints'].tolist())
        """
    )
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["MemoryError", "[[1]]"]
