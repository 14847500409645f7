"""atomblock._native against _atomblock and Python itself: buffer reads equal
read_atom_lines_rs on the same lines (faults with the same message and row),
the line and frame walks on crafted files, write_block equal to write_atoms_rs
or to Python's % and repr(), and reads running in parallel threads."""
import io
import math
import mmap
import struct
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import _atomblock
import atomblock
from atomblock import _native as native

from model_reader import tokens
from model_writer import float_field, int_field

# ---- read_block ------------------------------------------------------------------


def split_block(data, offset, natoms):
    """The lines read_block takes and the offset after them."""
    chunks = data[offset:].split(b"\n")
    lines = chunks[:-1] + ([chunks[-1]] if chunks[-1] else [])
    taken = lines[:natoms]
    return taken, min(len(data), offset + sum(len(line) + 1 for line in taken))


def expected_read(data, offset, natoms, col_types, strict):
    """("ok", columns, end) or ("fault", row, message), row by row through
    read_atom_lines_rs; data is valid UTF-8."""
    lines, end = split_block(data, offset, natoms)
    texts = [line.decode() for line in lines]
    for row, text in enumerate(texts):
        try:
            _atomblock.read_atom_lines_rs([text], col_types)
        except ValueError as exc:
            return "fault", row, str(exc).replace("row 0:", f"row {row}:", 1)
        if strict and len(tokens(text)) > len(col_types):
            return "fault", row, f"row {row}: expected {len(col_types)} tokens, found more"
    if len(lines) < natoms:
        return "fault", len(lines), f"row {len(lines)}: expected {natoms} lines, the data ends"
    return "ok", _atomblock.read_atom_lines_rs(texts, col_types), end


def listed(points):
    """A (natoms, width) uint32 code-point matrix as the list of str it holds (padding dropped)."""
    assert points.dtype == np.uint32 and points.ndim == 2 and points.shape[1] >= 1
    assert points.flags.c_contiguous
    return ["".join(map(chr, row)).rstrip("\0") for row in points.tolist()]


def outcome_of(buffer, offset, natoms, col_types, strict=True, strings="list"):
    try:
        columns, end = native.read_block(buffer, offset, natoms, col_types, strict, strings=strings)
    except native.BlockError as exc:
        return "fault", exc.row, str(exc)
    if strings == "utf32":
        matrices = columns["strs"]
        columns["strs"] = [listed(m) for m in matrices]
        # As narrow as the longest token (one code point at least).
        assert [m.shape[1] for m in matrices] == [max(map(len, c), default=1) or 1 for c in columns["strs"]]
    return "ok", columns, end


def assert_same_outcome(got, want):
    assert got[0] == want[0], (got, want)
    if got[0] == "fault":
        assert got[1:] == want[1:]
        return
    columns, expected = got[1], want[1]
    for key in ("floats", "ints", "bools"):
        assert columns[key].dtype == expected[key].dtype and columns[key].shape == expected[key].shape
        assert columns[key].tobytes() == expected[key].tobytes(), key  # floats by their bits
    assert columns["strs"] == expected["strs"]
    assert got[2] == want[2]


READ_CASES = [
    # data, offset, natoms, col_types, strict
    (b"H 1.0 2 T\nO -3.5e2 -7 F\n", 0, 2, b"sfib", True),
    (b"H 1 2 T\r\nO 3 4 F\r\n", 0, 2, b"sfib", True),
    (b"H 1 2 T\nO 3 4 F", 0, 2, b"sfib", True),  # last line ends at the end of the data
    (b"H 1 2 T \r\nO 3 4 F\t\r\n", 0, 2, b"sfib", True),  # trailing blanks are not tokens
    (b"H 1 2 T\nO 3 4 F x\n", 0, 2, b"sfib", True),
    (b"H 1 2 T\nO 3 4 F x\n", 0, 2, b"sfib", False),
    (b"H 1 2 T\nO 3 4 F\nC 1.2.3 5 T\n", 0, 3, b"sfib", True),
    (b"H 1 2 T\nO 3\n", 0, 2, b"sfib", True),
    (b"H 1 2 T\n\nO 3 4 F\n", 0, 3, b"sfib", True),  # a blank line runs out
    (b"H 1 2 T\nO 3 4 F\n", 0, 5, b"sfib", True),
    (b"H 1 2 T\nO x 4 F\n", 0, 5, b"sfib", True),  # the earlier fault wins over the data's end
    (b"", 0, 1, b"sf", True),
    (b"H 1\n", 4, 0, b"sf", True),
    (b"3\ncomment\nH 1 2\nFe\xc3\xa9 3 4\nO 5 6\n2\n", 10, 3, b"sxf", True),
    (b"H 1 2\nO 3 4\nC 5 6\nN 7 8\n", 6, 2, b"sif", True),  # starts mid-data, stops before the end
    (b"H 99999999999999999999 T\n", 0, 1, b"sib", True),
    (b"X 1 2 3\n", 0, 1, b"", True),
    (b"X 1 2 3\n", 0, 1, b"", False),
    # 1- to 4-byte UTF-8 forms in columns of different widths
    (b"\xf0\x9f\x98\x80x 1 ab\nH 2 \xc3\xa9\xe4\xb8\xad\xc3\xa9\n\x7f 3 z\n", 0, 3, b"sfs", True),
]


@pytest.mark.parametrize("strings", ["list", "utf32"])
@pytest.mark.parametrize("data, offset, natoms, col_types, strict", READ_CASES)
def test_read_block_matches_line_reader(data, offset, natoms, col_types, strict, strings):
    got = outcome_of(data, offset, natoms, col_types, strict, strings)
    assert_same_outcome(got, expected_read(data, offset, natoms, col_types, strict))


INVALID_UTF8_CASES = [
    (b"H\xff 1\n", b"sf", 0, 'row 0: invalid UTF-8 in "H\ufffd"'),
    (b"H 1\nO\xc0\x80 2\n", b"sf", 1, 'row 1: invalid UTF-8 in "O\ufffd\ufffd"'),  # overlong
    (b"H 1\n\xed\xa0\x80 2\n", b"sf", 1, 'row 1: invalid UTF-8 in "\ufffd\ufffd\ufffd"'),  # surrogate
    (b"H 1 a\nO 2 \xf4\x90\x80\x80\n", b"sfs", 1, 'row 1: invalid UTF-8 in "\ufffd\ufffd\ufffd\ufffd"'),
    # earliest row wins, whichever kind of fault comes later
    (b"\xfe 1\nO x\n", b"sf", 0, 'row 0: invalid UTF-8 in "\ufffd"'),
    (b"H 1\nO x\n\xfe 1\n", b"sf", 1, 'row 1: cannot parse "x" as float: invalid float literal'),
    (b"\xfe 1\n", b"sf" , 0, 'row 0: invalid UTF-8 in "\ufffd"'),
    # a NUL byte cannot live in a zero-padded code-point matrix, nor be written back
    (b"H\x00 1\n", b"sf", 0, "row 0: NUL byte in a UTF-8 token"),
    (b"\x00 1\n", b"sf", 0, "row 0: NUL byte in a UTF-8 token"),
    (b"H 1 a\nO 2 b\x00\xc3\xa9\n", b"sfs", 1, "row 1: NUL byte in a UTF-8 token"),
    (b"H 1\nO\x00 2\n\xfe 3\n", b"sf", 1, "row 1: NUL byte in a UTF-8 token"),
    (b"H\x00 \xfe\n", b"ss", 0, "row 0: NUL byte in a UTF-8 token"),  # first column wins
    (b"\xfe H\x00\n", b"ss", 0, 'row 0: invalid UTF-8 in "\ufffd"'),
    (b"H\x00\xfe 1\n", b"sf", 0, 'row 0: invalid UTF-8 in "H\\0\ufffd"'),
]


@pytest.mark.parametrize("strings", ["list", "utf32"])
@pytest.mark.parametrize("data, col_types, row, message", INVALID_UTF8_CASES)
def test_read_block_invalid_utf8(data, col_types, row, message, strings):
    assert outcome_of(data, 0, data.count(b"\n"), col_types, strings=strings) == ("fault", row, message)


@pytest.mark.parametrize("data, line, column", [
    (b"1\n\nH\x00 0 0 0\n", 3, "species"),
    (b"1\n\nH 0 0 0\n2\nProperties=species:S:1:pos:R:3:name:S:1\nH 0 0 0 a\nC 1 1 1 b\x00c\n", 7, "name"),
])
def test_nul_in_a_string_column_is_a_file_fault(data, line, column):
    for read in (lambda: atomblock.read(io.BytesIO(data), ":"), lambda: list(atomblock.iread(io.BytesIO(data)))):
        with pytest.raises(atomblock.ExtxyzError) as excinfo:
            read()
        assert excinfo.value.line == line
        assert excinfo.value.what == f"NUL byte in a UTF-8 token (column {column}, expected S)"


def test_read_block_accepts_any_bytes_outside_string_tokens():
    columns, _ = native.read_block(b"H \xff\xfe\x00 1.5 \x80\x00\n", 0, 1, b"sxf", False)
    assert columns["strs"] == [["H"]] and columns["floats"].tolist() == [[1.5]]


@pytest.fixture
def mapped(tmp_path):
    maps = []

    def make(data):
        path = tmp_path / "block.xyz"
        path.write_bytes(data)
        with open(path, "rb") as f:
            maps.append(mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ))
        return maps[-1]

    yield make
    for m in maps:
        m.close()  # raises BufferError if a call left its buffer exported


@pytest.mark.parametrize("kind", ["bytes", "bytearray", "memoryview", "memoryview-slice", "mmap"])
def test_read_block_buffer_kinds(kind, mapped):
    data = b"2\nc\nH 1 2 T\r\nO 3 4 F\n1\nc\nH 5 6 x\n"
    buffer = {
        "bytes": lambda: data,
        "bytearray": lambda: bytearray(data),
        "memoryview": lambda: memoryview(data),
        "memoryview-slice": lambda: memoryview(b"pad" + data)[3:],
        "mmap": lambda: mapped(data),
    }[kind]()
    assert_same_outcome(outcome_of(buffer, 4, 2, b"sfib"), expected_read(data, 4, 2, b"sfib", True))
    assert_same_outcome(outcome_of(buffer, 25, 1, b"sfib"), expected_read(data, 25, 1, b"sfib", True))
    if isinstance(buffer, bytearray):
        buffer.extend(b"x")  # resizable again: the buffer was released after the fault too


ARGUMENT_FAULTS = [
    (lambda: native.read_block(b"H 1\n", 5, 1, b"sf"), ValueError),
    (lambda: native.read_block(b"H 1\n", -1, 1, b"sf"), ValueError),
    (lambda: native.read_block(b"H 1\n", 0, -1, b"sf"), ValueError),
    (lambda: native.read_block("H 1\n", 0, 1, b"sf"), TypeError),
    (lambda: native.read_block(memoryview(b"H 1\nO 2\n")[::2], 0, 1, b"sf"), BufferError),
    (lambda: native.read_block(b"H 1\n", 0, 1), TypeError),
    (lambda: native.read_block(b"H 1\n", 0, 1, b"sf", strings="utf8"), ValueError),
    (lambda: native.skip_lines(b"a\n", 3, 1), ValueError),
    (lambda: native.index_frames(b"1\n", 0, -2), ValueError),
    (lambda: write_args(b"sf", ["H"], float_format="short"), ValueError),
    (lambda: write_args(b"sfs", ["H"]), ValueError),  # two `s` codes, one column
    (lambda: write_args(b"sff", ["H", "O"], floats=np.zeros((2, 1))), ValueError),
    (lambda: write_args(b"sf", ["H", "O"], floats=np.zeros((1, 1))), ValueError),
]


@pytest.mark.parametrize("call, error", ARGUMENT_FAULTS)
def test_argument_faults(call, error):
    with pytest.raises(error):
        call()


def test_block_error_is_a_value_error_with_row():
    with pytest.raises(ValueError) as excinfo:
        native.read_block(b"H 1\nO\n", 0, 2, b"sf")
    assert type(excinfo.value) is native.BlockError and excinfo.value.row == 1


# data, offset, natoms, col_types -> kind, row, column, token bytes (from the buffer offsets), found
FAULT_FIELDS = [
    (b"xx\nH 1 2\nO 3 zz\n", 3, 2, b"sff", ("bad_float", 1, 2, b"zz", None)),  # offsets in the buffer
    (b"H 1 99999999999999999999 T\n", 0, 1, b"sfib", ("bad_int", 0, 2, b"99999999999999999999", None)),
    (b"H 1 2 yes\n", 0, 1, b"sfib", ("bad_bool", 0, 3, b"yes", None)),
    (b"H q 7 z\n", 0, 1, b"sxff", ("bad_float", 0, 3, b"z", None)),  # a skipped token counts as a column
    (b"H 1 x\n", 0, 1, b"sfff", ("bad_float", 0, 2, b"x", None)),  # a bad token before the shortage
    (b"H 1 2 T\nO 3\n", 0, 2, b"sfib", ("too_few_tokens", 1, 2, None, 2)),
    (b"H 1\n \t\r\n", 0, 2, b"sf", ("too_few_tokens", 1, 0, None, 0)),
    (b"H 1 2 T\nO 3 4 F x y\n", 0, 2, b"sfib", ("too_many_tokens", 1, None, b"x", 6)),
    (b"H" + b" 1" * 99 + b"\n", 0, 1, b"sf", ("too_many_tokens", 0, None, b"1", 100)),  # past 64 bytes
    (b"H 1\nO 2\n", 0, 3, b"sf", ("too_few_lines", 2, None, None, 2)),
    (b"H 1 a\xff\n", 0, 1, b"sfs", ("invalid_utf8", 0, 2, b"a\xff", None)),
    (b"H 1 a\nO 2 b\x00c\n", 0, 2, b"sfs", ("nul_byte", 1, 2, b"b\x00c", None)),
    (b"H 1\n\xfe 2\nO x\n", 0, 3, b"sf", ("invalid_utf8", 1, 0, b"\xfe", None)),  # before a later row's fault
    (b"H 1\nO x\n\xfe 2\n", 0, 3, b"sf", ("bad_float", 1, 1, b"x", None)),
]


@pytest.mark.parametrize("data, offset, natoms, col_types, fields", FAULT_FIELDS)
def test_block_error_fields(data, offset, natoms, col_types, fields):
    with pytest.raises(native.BlockError) as excinfo:
        native.read_block(data, offset, natoms, col_types)
    e = excinfo.value
    token = None if e.token is None else data[e.token[0]:e.token[1]]
    assert (e.kind, e.row, e.column, token, e.found) == fields
    assert str(e) == f"row {e.row}: {e.detail}"


# ---- skip_lines and index_frames ----------------------------------------------


@pytest.mark.parametrize("data, offset, n, expected", [
    (b"a\nb\nc\n", 0, 2, (4, 2)),
    (b"a\nb\nc\n", 2, 5, (6, 2)),
    (b"a\nb\nc", 0, 3, (5, 3)),  # the last line has no "\n"
    (b"a\n\n\nb", 0, 3, (4, 3)),  # empty lines count
    (b"a\nb\n", 4, 1, (4, 0)),
    (b"a\nb\n", 1, 0, (1, 0)),
    # more lines wanted than a 64-byte block can end: blocks are counted whole, then line by line
    (b"ab\n" * 100, 0, 70, (210, 70)),
    (b"ab\n" * 100, 1, 70, (210, 70)),  # from inside a line
    (b"\n" * 200, 5, 150, (155, 150)),
    (b"x" * 200 + b"\n" + b"y" * 100, 0, 100, (301, 2)),  # a block cuts a line; the last has no "\n"
    ((b"a" * 63 + b"\n") * 10, 0, 65, (640, 10)),  # blocks end on line breaks
])
def test_skip_lines(data, offset, n, expected):
    assert native.skip_lines(data, offset, n) == expected


FRAME_A = b"2\nc\nH 1\nO 2\n"  # 12 bytes, 4 lines
FRAME_B = b" 1 \r\nc\r\nH 3\r\n"  # 13 bytes, 3 lines

INDEX_CASES = [
    # data, offset, max_frames, offsets, natoms, stop_offset, stop_line
    (FRAME_A + FRAME_B, 0, -1, [0, 12], [2, 1], 25, 7),
    (FRAME_A + FRAME_B + b"\n \t\r\n", 0, -1, [0, 12], [2, 1], 30, 9),  # trailing blank lines
    (FRAME_A + FRAME_B[:-2], 0, -1, [0, 12], [2, 1], 23, 6),  # last line without "\n"
    (FRAME_A + b"1\nc\n", 0, -1, [0], [2], 12, 4),  # cut short: not listed
    (FRAME_A + b"3\n", 0, -1, [0], [2], 12, 4),
    (FRAME_A + b"-1\nc\n", 0, -1, [0], [2], 12, 4),  # signs are not count lines
    (FRAME_A + b"+1\nc\nH\n", 0, -1, [0], [2], 12, 4),
    (FRAME_A + b"1 2\nc\nH\n", 0, -1, [0], [2], 12, 4),
    (FRAME_A + b"\n" + FRAME_A, 0, -1, [0], [2], 12, 4),  # a blank line before more data
    (FRAME_A + b"99999999999999999999\n", 0, -1, [0], [2], 12, 4),
    # hostile count lines stop the walk there, in linear time and without overflow:
    # too large for int64 (not a count line) or larger than the data (cut short)
    (FRAME_A + b"%d\nc\nH 1\n" % (2**63 - 1), 0, -1, [0], [2], 12, 4),
    (FRAME_A + b"%d\nc\nH 1\n" % 2**63, 0, -1, [0], [2], 12, 4),
    (FRAME_A + b"%d\nc\nH 1\n" % (2**64 + 1), 0, -1, [0], [2], 12, 4),
    (FRAME_A + b"9" * 5000 + b"\nc\n", 0, -1, [0], [2], 12, 4),
    (FRAME_A + b" " * 10**6 + b"1" * 10**6 + b"\n", 0, -1, [0], [2], 12, 4),
    (FRAME_A + b"0" * 5000 + b"1\nc\nH\n", 0, -1, [0, 12], [2, 1], 12 + 5006, 7),
    (FRAME_A + b" \t\r\nc\n", 0, -1, [0], [2], 12, 4),  # blanks only: not a count line
    (FRAME_A + b" " * 10**6 + b"\n\t\r\n", 0, -1, [0], [2], 12 + 10**6 + 4, 6),  # ... but the end
    (b"0\nempty\n" + FRAME_A, 0, -1, [0, 8], [0, 2], 20, 6),
    (FRAME_A * 3, 12, 1, [12], [2], 24, 4),
    (FRAME_A * 3, 0, 0, [], [], 0, 0),
    (b"", 0, -1, [], [], 0, 0),
]


@pytest.mark.parametrize("data, offset, max_frames, offsets, natoms, stop_offset, stop_line",
                         INDEX_CASES)
def test_index_frames(data, offset, max_frames, offsets, natoms, stop_offset, stop_line):
    got_offsets, got_natoms, got_stop, got_line = native.index_frames(data, offset, max_frames)
    assert got_offsets.dtype == np.int64 and got_natoms.dtype == np.int64
    assert (got_offsets.tolist(), got_natoms.tolist(), got_stop, got_line) == (
        offsets, natoms, stop_offset, stop_line)
    assert got_line == data[offset:got_stop].count(b"\n")


# ---- write_block ------------------------------------------------------------------


def codepoints(strings):
    array = np.array(strings, dtype=str)
    return array.view(np.uint32).reshape(len(strings), -1)


def write_args(col_types, *columns, floats=None, ints=None, bools=None, widths=None,
               float_format="fixed"):
    natoms = len(columns[0]) if columns else len(floats)
    return native.write_block(
        [codepoints(c) for c in columns],
        widths if widths is not None else [max(map(len, c)) for c in columns],
        floats if floats is not None else np.zeros((natoms, 0)),
        ints if ints is not None else np.zeros((natoms, 0), np.int64),
        bools if bools is not None else np.zeros((natoms, 0), np.uint8),
        col_types, float_format)


def random_matrices(rng, natoms):
    floats = rng.normal(scale=1e3, size=(natoms, 4))
    floats[0, :] = [np.nan, np.inf, -0.0, 1e300]
    floats = floats[:, ::-1]  # strided views are read as they are
    ints = rng.integers(-2**63, 2**63 - 1, size=(natoms, 3), dtype=np.int64)
    bools = rng.integers(0, 2, size=(natoms, 2), dtype=np.uint8)
    return floats, ints, bools


SYMBOLS = ["H", "He", "Fe", "\u00dc", "\u4e2d\u6587", "C"]


@pytest.mark.parametrize("col_types", [b"sfff", b"sfffiib", b"s", b"sbfi", b"fff", b"fib"])
def test_write_block_fixed_equals_write_atoms_rs(col_types):
    floats, ints, bools = random_matrices(np.random.default_rng(5), len(SYMBOLS))
    columns = [SYMBOLS] if b"s" in col_types else []
    got = write_args(col_types, *columns, floats=floats, ints=ints, bools=bools, widths=[3] * len(columns))
    want = _atomblock.write_atoms_rs(codepoints(SYMBOLS), 3, floats, ints, bools, col_types)
    assert got == want.encode()


@pytest.mark.parametrize("natoms", [0, 1, 3000])
@pytest.mark.parametrize("wide", ["none", "floats", "ints", "symbols"])
def test_write_block_text_beyond_the_usual_widths(natoms, wide):
    # Wide fields outgrow the room set aside for the text before formatting starts.
    rng = np.random.default_rng(11)
    floats = rng.normal(scale=1e300 if wide == "floats" else 1.0, size=(natoms, 3))
    ints = rng.integers(-2**63 if wide == "ints" else -9, 9, size=(natoms, 2), dtype=np.int64)
    bools = rng.integers(0, 2, size=(natoms, 1), dtype=np.uint8)
    symbols = list(rng.choice(["\U0001f600\u4e2d", "\u00dc"] if wide == "symbols" else ["H", "C"], natoms))
    points = codepoints(symbols) if natoms else np.zeros((0, 1), np.uint32)
    got = native.write_block([points], [2], floats, ints, bools, b"sfffiib")
    want = _atomblock.write_atoms_rs(points, 2, floats, ints, bools, b"sfffiib")
    assert got == want.encode()


@pytest.mark.parametrize("col_types, widths", [
    (b"sfs", [1, 4]), (b"ssfib", [0, 3]), (b"fsis", [2, 2]), (b"sss", [5, 1, 0]),
])
def test_write_block_string_columns(col_types, widths):
    rng = np.random.default_rng(9)
    floats, ints, bools = random_matrices(rng, 4)
    columns = [list(rng.choice(SYMBOLS + ["label_x", "\u00e9t\u00e9"], 4)) for _ in widths]
    lines = []
    for atom in range(4):
        parts, k = [], {c: 0 for c in b"sfib"}
        for j, code in enumerate(col_types):
            index, k[code] = k[code], k[code] + 1
            if code == ord("s"):
                parts.append((" " if j else "") + columns[index][atom].ljust(widths[index]))
            elif code == ord("f"):
                parts.append(" " + float_field(floats[atom, index]))
            elif code == ord("i"):
                parts.append(" " + int_field(ints[atom, index]))
            else:
                parts.append("  T" if bools[atom, index] else "  F")
        lines.append("".join(parts) + "\n")
    got = write_args(col_types, *columns, floats=floats, ints=ints, bools=bools, widths=widths)
    assert got == "".join(lines).encode()


def parts_of(matrix, split):
    """A matrix as parts of the given column counts (0: one 1-D column), every other part strided."""
    parts, first = [], 0
    for k, count in enumerate(split):
        part = matrix[:, first] if count == 0 else matrix[:, first:first + count]
        parts.append(part if k % 2 else np.ascontiguousarray(part))
        first += max(count, 1)
    return parts


@pytest.mark.parametrize("col_types, fsplit, isplit, bsplit", [
    (b"sffffiiibb", [0, 3], [2, 0], [0, 0]),
    (b"sffffiiibb", [4], [3], [2]),
    (b"ffffiiibb", [1, 0, 2], [0, 0, 0], [2]),
    (b"sib", [], [0], [0]),  # no float parts at all
])
def test_write_block_parts_equal_one_matrix(col_types, fsplit, isplit, bsplit):
    floats, ints, bools = random_matrices(np.random.default_rng(3), len(SYMBOLS))
    columns = [SYMBOLS] if b"s" in col_types else []
    whole = write_args(col_types, *columns, floats=floats, ints=ints, bools=bools, widths=[2] * len(columns))
    got = native.write_block(
        [codepoints(c) for c in columns], [2] * len(columns), parts_of(floats, fsplit),
        tuple(parts_of(ints, isplit)), [p.astype(bool) for p in parts_of(bools, bsplit)], col_types,
        natoms=len(SYMBOLS))
    assert got == whole


@pytest.mark.parametrize("parts, error", [
    ([np.zeros(5), np.zeros((6, 2))], "float_mat has shape (5, 3), needs at least (6, 3)"),  # a short part
    ([np.zeros((6, 1)), np.zeros(6)], "float_mat has shape (6, 2), needs at least (6, 3)"),
])
def test_write_block_parts_shape_faults(parts, error):
    with pytest.raises(ValueError) as info:
        native.write_block([codepoints(SYMBOLS)], [2], parts, [], [], b"sfff")
    assert str(info.value) == error


@pytest.mark.parametrize("columns, fault", [
    ([["H", "He"], ["a", "b"]], None),
    ([["H", ""], ["", "b"]], (0, 1, "str_cols[0]: empty string")),  # column by column
    ([["H", "a b"], ["", "b"]], (0, 1, "str_cols[0]: blank or control character")),
    ([["H\t", "He"]], (0, 0, "str_cols[0]: blank or control character")),
    ([["H", "a\x1f"]], (0, 1, "str_cols[0]: blank or control character")),
    ([["H", "He"], ["x", "\x00y"]], (1, 1, "str_cols[1]: empty string")),
    ([["H!", "\u00e9\u3000"]], None),  # only code points 1 to 32 split a token
    ([["H", "a b"], ["", "b"], ["", ""]], (0, 1, "str_cols[0]: blank or control character")),
])
def test_write_block_check_strings(columns, fault):
    args = ([codepoints(c) for c in columns], [0] * len(columns), np.zeros((2, 0)),
            np.zeros((2, 0), np.int64), np.zeros((2, 0), np.uint8), b"s" * len(columns))
    plain = native.write_block(*args)  # unchecked: written as they are
    if fault is None:
        assert native.write_block(*args, check_strings=True) == plain
        return
    with pytest.raises(native.BlockError) as info:
        native.write_block(*args, check_strings=True)
    assert (info.value.column, info.value.row, str(info.value)) == fault
    kind = "empty_string" if fault[2].endswith("empty string") else "blank_or_control"
    assert (info.value.kind, info.value.detail, info.value.token, info.value.found) == (kind, fault[2], None, None)


SHORTEST_EDGES = [
    0.0, -0.0, 1.0, -1.5, 0.1, 0.3, 2 / 3, 1e-4, 1e-5, 9.999e-5, 123.456, 1e15, 1e16,
    9999999999999998.0, 1.2345678901234568e17, 1e22, 1e23, 5e-324, -5e-324,
    2.2250738585072014e-308, -2.2250738585072014e-308, 1.7976931348623157e308,
    math.inf, -math.inf, math.nan, 100.0, 1e100, 1.5e-300,
]


def shortest_lines(values):
    text = write_args(b"f", floats=np.asarray(values, dtype=np.float64).reshape(-1, 1),
                      float_format="shortest").decode()
    assert text.endswith("\n")
    return text[:-1].split("\n")


def test_write_block_shortest_edges():
    lines = shortest_lines(SHORTEST_EDGES)
    assert lines == [" " + repr(v) for v in SHORTEST_EDGES]
    assert max(len(line) - 1 for line in lines) == 24  # the longest repr of a float


def neighbours(values):
    values = np.asarray(values, dtype=np.float64)
    with np.errstate(over="ignore"):  # the largest double's neighbour above is inf
        return np.concatenate([np.nextafter(values, -np.inf), values, np.nextafter(values, np.inf)])


# Doubles whose shortest digits are hard to get right: where the interval around the value is
# lopsided (powers of two), holds an exact integer or a tie, is tiny (subnormals), or sits at a
# power of ten, and where repr() switches between its fixed and scientific layouts.
HARD_DOUBLES = {
    "subnormals": np.arange(1, 3000, dtype=np.uint64).view(np.float64),
    "powers of two": neighbours([2.0**e for e in range(-1074, 1024)]),
    "powers of ten": neighbours([float(f"1e{e}") for e in range(-323, 309)]),
    "integers 1e15..1e17": np.concatenate([np.arange(10**15 - 500, 10**15 + 500, dtype=np.float64),
                                           np.arange(2**53 - 500, 2**53 + 500, 2, dtype=np.float64),
                                           np.arange(10**17 - 8000, 10**17 + 8000, 16, dtype=np.float64)]),
    "exact integers x 10^k": np.array([float(m * 10**k) for m in (1, 3, 7, 125, 4999, 2**20)
                                       for k in range(23)]),
    "halves and quarters": np.array([(2 * i + 1) / 2**j for i in range(0, 300, 7) for j in range(1, 60)]),
    "layout edges": neighbours([1e-4, 1e-5, 9.999999999999999e-05, 1e16, 9999999999999998.0, 0.1, 1.0]),
    "largest and smallest": neighbours([1.7976931348623157e308, 2.2250738585072014e-308, 5e-324]),
}


@pytest.mark.parametrize("name", list(HARD_DOUBLES))
def test_write_block_shortest_hard_doubles(name):
    values = np.concatenate([HARD_DOUBLES[name], -HARD_DOUBLES[name]])
    assert shortest_lines(values) == [" " + repr(v) for v in values.tolist()]


def test_pow10_table_is_generated(tmp_path):
    """The powers of ten of the shortest float text regenerate byte for byte (the generator
    also checks the logarithm shortcuts exactly for every exponent)."""
    root = Path(__file__).resolve().parent.parent
    out = tmp_path / "pow10_table.hpp"
    subprocess.run([sys.executable, str(root / "tools" / "gen_pow10_table.py"), "--output", str(out)], check=True)
    assert out.read_bytes() == (root / "src" / "writer" / "pow10_table.hpp").read_bytes()


def test_write_block_shortest_round_trips_random_bits():
    bits = np.random.default_rng(2024).integers(0, 2**64, size=300_000, dtype=np.uint64)
    values = bits.view(np.float64)
    lines = shortest_lines(values)
    for value, pattern, line in zip(values.tolist(), bits.tolist(), lines, strict=True):
        assert line == " " + repr(value)
        if value == value:  # NaN payloads are not kept
            assert struct.unpack("<Q", struct.pack("<d", float(line)))[0] == pattern


# ---- threads ----------------------------------------------------------------------


def test_parallel_reads_are_correct():
    natoms = 200_000
    rng = np.random.default_rng(3)
    blocks = []
    for _ in range(2):
        floats = rng.normal(size=(natoms, 3))
        blocks.append(write_args(b"sfffi", ["Si"] * natoms, floats=floats,
                                 ints=rng.integers(0, 9, size=(natoms, 1))))
    expected = [native.read_block(block, 0, natoms, b"sfffi") for block in blocks]
    results, barrier = {}, threading.Barrier(2)

    def work(k):
        barrier.wait()
        results[k] = [native.read_block(blocks[k], 0, natoms, b"sfffi") for _ in range(3)]

    threads = [threading.Thread(target=work, args=(k,)) for k in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for k in range(2):
        for columns, end in results[k]:
            assert end == len(blocks[k])
            for key in ("floats", "ints"):
                assert np.array_equal(columns[key], expected[k][0][key])
            assert columns["strs"] == expected[k][0]["strs"]


# ---- Ctrl-C inside one long read ------------------------------------------------------

INTERRUPT_SCRIPT = r"""
import io, os, signal, threading, time
import numpy as np
import atomblock
from atomblock import _native

# A process started in the background inherits SIGINT ignored, and Python then
# leaves it so: put the usual handler in place.
signal.signal(signal.SIGINT, signal.default_int_handler)
n = 1_500_000
out = io.BytesIO()
atomblock.write(out, atomblock.Frame({"species": np.full(n, "Si"), "pos": np.ones((n, 3))}))
data = bytearray(out.getvalue())
start = data.index(b"\n", data.index(b"\n") + 1) + 1
read = lambda: _native.read_block(data, start, n, b"sfff", True, "utf32")


def timed():
    t = time.perf_counter()
    read()
    return time.perf_counter() - t


full = min(timed(), timed())
begun, sent = threading.Event(), []

def interrupt():
    begun.wait()
    time.sleep(full / 10)
    sent.append(time.perf_counter())
    os.kill(os.getpid(), signal.SIGINT)

threading.Thread(target=interrupt).start()
try:
    begun.set()
    for _ in range(50):  # a signal sent late still lands inside a read
        read()
    raise SystemExit("no KeyboardInterrupt: the signal was not seen")
except KeyboardInterrupt:
    latency = time.perf_counter() - sent[0]
columns, end = read()  # the module and the buffer are fine afterwards
assert end == len(data) and columns["floats"].shape == (n, 3) and columns["floats"].all()
data.extend(b"x")  # released: resizable again
print(f"{full:.4f} {latency:.4f}")
"""


def test_ctrl_c_stops_a_long_read_block(python_subprocess):
    proc = python_subprocess(INTERRUPT_SCRIPT, timeout=120)
    assert proc.returncode == 0, proc.stderr
    full, latency = map(float, proc.stdout.split())
    # Checked between chunks of rows: the signal lands within a small part of
    # the read (signalled a tenth of the way in; it used to wait for the end).
    assert latency < min(0.5, full / 3), (full, latency)
