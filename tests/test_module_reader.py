"""read_atom_lines_rs: tokenizing, column layout, skip codes, messages, row
numbers and the quoted form of tokens; plus a seeded differential test
against the pure-Python model."""
import random

import numpy as np
import pytest

from _atomblock import read_atom_lines_rs

import model_reader as model


def read_error(lines, col_types):
    with pytest.raises(ValueError) as excinfo:
        read_atom_lines_rs(lines, col_types)
    assert len(excinfo.value.args) == 1
    return str(excinfo.value)


def as_lists(result):
    return {k: (v if k == "strs" else v.tolist()) for k, v in result.items()}


# ---- layout and shapes -------------------------------------------------------------

def test_kth_code_of_a_type_feeds_column_k():
    result = read_atom_lines_rs(["H 1 T 2 7 x 3 F Cu 8", "O 4 F 5 9 y 6 T Zn -1"], b"sfbfisfbsi")
    assert list(result) == ["floats", "ints", "bools", "strs"]
    assert as_lists(result) == {
        "floats": [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]],
        "ints": [[7, 8], [9, -1]],
        "bools": [[1, 0], [0, 1]],
        "strs": [["H", "O"], ["x", "y"], ["Cu", "Zn"]],
    }
    assert (result["floats"].dtype, result["ints"].dtype, result["bools"].dtype) == (
        np.float64, np.int64, np.uint8)


@pytest.mark.parametrize(
    "lines, col_types, shapes, strs",
    [
        ([], b"sffib", [(0, 2), (0, 1), (0, 1)], [[]]),
        ([], b"ssxx", [(0, 0), (0, 0), (0, 0)], [[], []]),
        (["", "  \t", "H 1"], b"", [(3, 0), (3, 0), (3, 0)], []),
        (["1 2", "3 4"], b"ff", [(2, 2), (2, 0), (2, 0)], []),
    ],
)
def test_shapes(lines, col_types, shapes, strs):
    result = read_atom_lines_rs(lines, col_types)
    assert [result[k].shape for k in ("floats", "ints", "bools")] == shapes
    assert result["strs"] == strs


@pytest.mark.parametrize(
    "line, col_types, floats, strs",
    [
        ("H 7 1.5", b"sxf", [[1.5]], [["H"]]),
        ("H 7 1.5", b"sFf", [[1.5]], [["H"]]),  # codes are case-sensitive: F skips
        ("H x 1.5", b"s\x00f", [[1.5]], [["H"]]),
        ("H 1.5 junk 1.2.3 T", b"sf", [[1.5]], [["H"]]),  # extra tokens are never converted
        ("\t H\f\f1.5\r\n", b"sf", [[1.5]], [["H"]]),
        ("H\n1.5", b"sf", [[1.5]], [["H"]]),  # an embedded line feed only separates
        ("Fe\u0301\u00e9 2", b"sf", [[2.0]], [["Fe\u0301\u00e9"]]),
    ],
)
def test_tokens_and_skip_codes(line, col_types, floats, strs):
    result = read_atom_lines_rs([line], col_types)
    assert result["floats"].tolist() == floats
    assert result["strs"] == strs


@pytest.mark.parametrize(
    "lines, col_types, message",
    [
        (["H 7"], b"sxf", "row 0: expected 3 tokens, ran out"),
        (["1 2"], b"fffff", "row 0: expected 5 tokens, ran out"),
        (["H 1", "", "O 2"], b"sf", "row 1: expected 2 tokens, ran out"),
        (["H 1", " \t\r\n\f "], b"x", "row 1: expected 1 tokens, ran out"),
        (["abc"], b"ff", 'row 0: cannot parse "abc" as float: invalid float literal'),
        (["1 x"], b"fbf", 'row 0: cannot parse "x" as bool'),
        (["1 2"] * 4 + ["1.2.3 2"], b"ff", 'row 4: cannot parse "1.2.3" as float: invalid float literal'),
        (["1 2"] * 12345 + ["1 2.5"], b"fi", 'row 12345: cannot parse "2.5" as int: invalid digit found in string'),
        (["1\x0b2"], b"f", 'row 0: cannot parse "1\\u{b}2" as float: invalid float literal'),
        (["1\u00a02"], b"ff", 'row 0: cannot parse "1\\u{a0}2" as float: invalid float literal'),
        (["1\u30002"], b"f", 'row 0: cannot parse "1\\u{3000}2" as float: invalid float literal'),
        (["1 T", "2 X"], b"fb", 'row 1: cannot parse "X" as bool'),
    ],
)
def test_first_fault_message(lines, col_types, message):
    assert read_error(lines, col_types) == message


def test_failure_after_good_rows_leaves_later_reads_intact():
    read_error(["H 1"] * 1000 + ["H x"], b"sf")
    assert read_atom_lines_rs(["H 1"] * 3, b"sf")["floats"].tolist() == [[1.0]] * 3


# ---- quoted tokens -------------------------------------------------------------------

@pytest.mark.parametrize(
    "token, quoted",
    [
        ('a"b', r'"a\"b"'), ("a\\b", r'"a\\b"'), ("a\0b", r'"a\0b"'), ("it's", '"it\'s"'),
        ("\x01\x1f\x7f\x85", r'"\u{1}\u{1f}\u{7f}\u{85}"'),  # Cc
        ("a\u00adb\u200b\u200d\U000e0001", r'"a\u{ad}b\u{200b}\u{200d}\u{e0001}"'),  # Cf
        ("\ue000\U000f0000\U0010fffd", r'"\u{e000}\u{f0000}\u{10fffd}"'),  # Co
        ("\u0378\ufffe\U0010ffff", r'"\u{378}\u{fffe}\u{10ffff}"'),  # Cn
        ("\u2028\u2029", r'"\u{2028}\u{2029}"'),  # Zl, Zp
        ("\u00a0\u2003\u3000", r'"\u{a0}\u{2003}\u{3000}"'),  # Zs other than the space
        ("e\u0301\u20dd", r'"e\u{301}\u{20dd}"'),  # Mn, Me
        # Other_Grapheme_Extend (ZWNJ, a Bengali vowel sign, a halfwidth sound mark);
        # an emoji skin-tone modifier is Grapheme_Base in Unicode 15.0 and prints
        ("\u200c\u09be\uff9e\U0001f44d\U0001f3fb", '"\\u{200c}\\u{9be}\\u{ff9e}\U0001f44d\U0001f3fb"'),
        ("\u00e9\u4e2d\u0416\U0001f600\u00b2", '"\u00e9\u4e2d\u0416\U0001f600\u00b2"'),  # printable
        ("\U0001f6dd\u0c5d", '"\U0001f6dd\u0c5d"'),  # assigned in Unicode 14, printable with 15.0 tables
    ],
)
def test_quoted_token(token, quoted):
    assert read_error([token], b"b") == f"row 0: cannot parse {quoted} as bool"


# ---- differential test against the model ---------------------------------------------

# Characters whose general category and Grapheme_Extend are the same in the
# Unicode versions of the module (15.0) and of Python 3.10's unicodedata (13.0).
ODD_CHARS = "\x00\x0b\x7f\u00a0\u00ad\u0301\u20dd\u200c\u2028\u3000\ue000\u0378\u00e9\u4e2d\U0001f600\"\\'"
SEPARATORS = [" ", "  ", "\t", "\f", "\r", "\n", " \t "]


def random_token(rng):
    kind = rng.random()
    if kind < 0.35:
        return rng.choice([repr(rng.uniform(-1e3, 1e3)), f"{rng.uniform(-10, 10):.8f}",
                           f"{rng.gauss(0, 1):.17e}", "-0", "inf", "-nan", "1e400"])
    if kind < 0.55:
        return str(rng.choice([rng.randrange(-1000, 1000), rng.randrange(-(2**64), 2**64)]))
    if kind < 0.7:
        return rng.choice(["T", "F", "True", "false", "TRUE", "t", "yes"])
    if kind < 0.85:
        return rng.choice(["H", "He", "Si", "Fe\u0301", "\u4e2d", "x1", "1.2.3", "1e", "+-1"])
    return "".join(rng.choice(ODD_CHARS + "abc123.-e") for _ in range(rng.randrange(1, 6)))


def random_read(rng):
    col_types = bytes(rng.choice(b"ffffiibssx") for _ in range(rng.randrange(0, 7)))
    lines = []
    for _ in range(rng.randrange(0, 6)):
        ntok = len(col_types) + rng.choice([0, 0, 0, 0, 1, 2, -1])
        toks = [random_token(rng) for _ in range(max(ntok, 0))]
        pieces = [rng.choice(["", " ", "\t"])]
        for t in toks:
            pieces += [t, rng.choice(SEPARATORS)]
        lines.append("".join(pieces))
    return lines, col_types


@pytest.mark.parametrize("seed", range(5))
def test_random_reads_against_model(seed):
    rng = random.Random(300 + seed)
    outcomes = set()
    for _ in range(800):
        lines, col_types = random_read(rng)
        try:
            expected = model.read_atom_lines(lines, col_types)
        except ValueError as exc:
            assert read_error(lines, col_types) == str(exc), (lines, col_types)
            outcomes.add("ran out" if str(exc).endswith("ran out") else "cannot parse")
            continue
        result = read_atom_lines_rs(lines, col_types)
        shapes = expected.pop("shape")
        assert {k: result[k].shape for k in shapes} == shapes
        got = as_lists(result)
        got["floats"] = [[model.float_bits(v) for v in row] for row in got["floats"]]
        assert got == expected, (lines, col_types)
        outcomes.add("ok")
    # every kind of outcome occurred, so the comparison covered each path
    assert outcomes == {"ok", "ran out", "cannot parse"}
