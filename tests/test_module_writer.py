"""write_atoms_rs: line layout by column type codes, symbol decoding, reading
arrays through any strides, failures and their messages, and seeded random
whole blocks against the Python model in model_writer."""
import numpy as np
import pytest

from _atomblock import write_atoms_rs

import model_writer
from conftest import write_kwargs

WIDTH_OUT_OF_RANGE = "Formatting argument out of range"


def codepoints(*symbols, width=None):
    """(natoms, width) uint32 rows, zero-padded; a symbol is a str or a list of ints."""
    rows = [[ord(c) for c in s] if isinstance(s, str) else list(s) for s in symbols]
    width = max((len(r) for r in rows), default=0) if width is None else width
    out = np.zeros((len(rows), width), np.uint32)
    for i, r in enumerate(rows):
        out[i, : len(r)] = r
    return out


def block(natoms=1, **overrides):
    return write_kwargs(natoms, **overrides)


def panic_message(args):
    with pytest.raises(BaseException) as excinfo:
        write_atoms_rs(**args)
    assert type(excinfo.value).__name__ == "PanicException"
    return excinfo.value.args[0]


def model(args):
    return model_writer.write_atoms(**args)


# ---- line layout ----------------------------------------------------------------------

@pytest.mark.parametrize(
    "col_types, floats, ints, bools, expected",
    [
        # the worked example: 65 characters and a line feed
        (b"sfffib", [0.0, 1.5, -2.25], [7], [1],
         "H " + "       0.00000000" + "       1.50000000" + "      -2.25000000"
         + "        7" + "  T\n"),
        (b"", [], [], [], "\n"),
        (b"fs", [1.0], [], [], "       1.00000000H \n"),           # symbol right after the float
        (b"f", [1.0], [], [], "       1.00000000\n"),             # leading separator
        (b"fxf", [1.0, 2.0], [], [], "       1.00000000       2.00000000\n"),
        (b"ss", [], [], [], "H H \n"),                            # nothing between symbol fields
        (b"SFIBxy\x00\xff", [1.0], [1], [1], "\n"),               # codes are case-sensitive
        (b"bbbb", [], [], [0, 1, 2, 255], "  F  T  T  T\n"),
        (b"ifib", [3.0], [-5, 6], [0], "       -5       3.00000000        6  F\n"),
        (b"sf", [1.0, 2.0, 3.0], [], [], "H        1.00000000\n"),   # trailing columns unread
    ],
)
def test_line_layout(col_types, floats, ints, bools, expected):
    args = block(
        float_mat=np.array([floats], np.float64).reshape(1, -1),
        int_mat=np.array([ints], np.int64).reshape(1, -1),
        bool_mat=np.array([bools], np.uint8).reshape(1, -1),
        col_types=col_types,
    )
    assert write_atoms_rs(**args) == expected


def test_columns_are_read_per_atom_and_lines_end_in_line_feeds():
    args = block(
        3,
        sym_codepoints=codepoints("H", "Si", "O", width=2),
        float_mat=np.array([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]]),
        int_mat=np.array([[10], [20], [30]], np.int64),
        col_types=b"sffi",
    )
    assert write_atoms_rs(**args) == (
        "H        1.00000000       2.00000000       10\n"
        "Si       3.00000000       4.00000000       20\n"
        "O        5.00000000       6.00000000       30\n"
    )


@pytest.mark.parametrize("natoms", [0, 1, 5])
def test_no_codes_gives_bare_line_feeds(natoms):
    assert write_atoms_rs(**block(natoms)) == "\n" * natoms


def test_no_atoms_gives_empty_text_whatever_else():
    args = block(0, sym_width=2**64 - 1, col_types=b"sfib")
    assert write_atoms_rs(**args) == ""


# ---- symbol decoding -------------------------------------------------------------------

@pytest.mark.parametrize(
    "row, width, expected",
    [
        ([ord("S"), ord("i"), 0, 0], 3, "Si "),
        ([ord("S"), ord("i"), 0, 0], 1, "Si"),                    # never cut
        ([ord("S"), ord("i")], 0, "Si"),
        ([ord("N"), 0, ord("a")], 4, "N   "),                     # stops at the first 0
        ([ord("S"), 0xD800, ord("i")], 2, "Si"),                  # surrogates skipped
        ([ord("S"), 0xDFFF, ord("i")], 2, "Si"),
        ([ord("S"), 0x110000, ord("i")], 2, "Si"),                # beyond U+10FFFF skipped
        ([ord("S"), 0xFFFFFFFF, ord("i")], 2, "Si"),
        ([0xD800, 0], 2, "  "),                                    # nothing left
        ([0xE9], 3, "\u00e9  "),                                   # padded by code points
        ([0x7F, 0x80, 0x7FF, 0x800], 5, "\x7f\x80\u07ff\u0800 "),   # 1-, 2-, 2-, 3-byte ends
        ([0xFFFF, 0x10000, 0x10FFFF], 3, "\uffff\U00010000\U0010ffff"),
        ([0xD7FF, 0xE000], 2, "\ud7ff\ue000"),                    # just outside the surrogates
        ([ord("A")] * 8, 10, "A" * 8 + "  "),                    # longest packed row
        ([ord("A")] * 9, 10, "A" * 9 + " "),                     # one longer
        ([ord("B")] * 3 + [0] + [ord("C")] * 6, 12, "BBB" + " " * 9),
        ([ord("C"), 0], 40, "C" + " " * 39),                     # padding beyond one store
        ([ord("C"), 0], 12, "C" + " " * 11),
        ([0x1F600, ord("x")], 70, "\U0001f600x" + " " * 68),
        ([], 3, "   "),                                            # no columns at all
    ],
)
def test_symbol_field(row, width, expected):
    args = block(sym_codepoints=np.array([row], np.uint32).reshape(1, len(row)), sym_width=width,
                 col_types=b"s")
    assert write_atoms_rs(**args) == expected + "\n"


def test_symbol_width_limit():
    args = block(sym_width=65535, col_types=b"s")
    assert write_atoms_rs(**args) == "H" + " " * 65534 + "\n"
    assert panic_message(block(sym_width=65536, col_types=b"s")) == WIDTH_OUT_OF_RANGE
    assert write_atoms_rs(**block(sym_width=65536, col_types=b"x")) == "\n"


def test_mixed_symbols_of_every_utf8_length():
    symbols = ["H", "Si", "\u00e9", "\u20ac", "\U0001f600", "Xx\u00e9"]
    args = block(len(symbols), sym_codepoints=codepoints(*symbols, width=4), sym_width=3,
                 col_types=b"ss")
    assert write_atoms_rs(**args) == "".join(s.ljust(3) * 2 + "\n" for s in symbols)


# ---- arrays read through their strides ----------------------------------------------

def strided_variants(contiguous):
    """Views with the same elements as `contiguous` and other layouts."""
    n, k = contiguous.shape
    doubled = np.zeros((n, 2 * k), np.uint32)
    doubled[:, ::2] = contiguous
    reversed_store = np.ascontiguousarray(contiguous[:, ::-1])
    packed = np.zeros((n, k), dtype=np.dtype([("pad", "u1"), ("cp", "<u4")], align=False))
    packed["cp"] = contiguous
    rows_reversed = np.ascontiguousarray(contiguous[::-1])
    return {
        "column-major": np.asfortranarray(contiguous),
        "every-second-column": doubled[:, ::2],
        "reversed-columns": reversed_store[:, ::-1],
        "odd-byte-strides": packed["cp"],             # strides (5k, 5)
        "reversed-rows": rows_reversed[::-1],
        "transposed-copy": np.ascontiguousarray(contiguous.T).T,
    }


@pytest.mark.parametrize("layout", list(strided_variants(codepoints("H", width=1))))
def test_symbol_rows_read_through_any_strides(layout):
    contiguous = codepoints("H", "Si", "\u00e9", "Xyz", "", "Ne\U0001f600", width=4)
    view = strided_variants(contiguous)[layout]
    assert not view.flags.c_contiguous
    assert np.array_equal(view, contiguous)
    args = block(6, sym_codepoints=view, sym_width=3, col_types=b"sx")
    assert write_atoms_rs(**args) == write_atoms_rs(**dict(args, sym_codepoints=contiguous))
    assert write_atoms_rs(**args) == "H  \nSi \n\u00e9  \nXyz\n   \nNe\U0001f600\n"


@pytest.mark.parametrize("cp", [ord("\u00e9"), ord("H"), 0, 0xD800])
@pytest.mark.parametrize("col_types", [b"s", b"fsxs"])
def test_broadcast_symbol_rows_longer_than_one_line_room(cp, col_types):
    # 5000 repeats of one element: beyond the room checked once per line, so
    # each field finds its own room, counted without walking such a row.
    sym = np.broadcast_to(np.array([[cp]], np.uint32), (3, 5000))
    args = block(3, columns=1, sym_codepoints=sym, sym_width=7, col_types=col_types)
    assert write_atoms_rs(**args) == model_writer.write_atoms(**dict(args, sym_codepoints=sym.copy()))


def test_value_matrices_read_through_any_strides():
    rng = np.random.default_rng(1)
    floats = rng.uniform(-10, 10, (5, 3))
    ints = rng.integers(-1000, 1000, (5, 2))
    bools = rng.integers(0, 3, (5, 2)).astype(np.uint8)
    rec = np.zeros((5, 3), dtype=np.dtype([("t", "u1"), ("f", "<f8"), ("i", "<i8"), ("b", "u1")]))
    rec["f"], rec["i"][:, :2], rec["b"][:, :2] = floats, ints, bools
    contiguous = block(5, float_mat=floats, int_mat=ints, bool_mat=bools, col_types=b"fffiibb")
    expected = write_atoms_rs(**contiguous)
    assert expected == model(contiguous)
    for f, i, b in [
        (np.asfortranarray(floats), np.asfortranarray(ints), np.asfortranarray(bools)),
        (rec["f"], rec["i"][:, :2], rec["b"][:, :2]),                      # odd byte strides
        (floats[::-1][::-1], ints[:, ::-1][:, ::-1], bools.T.copy().T),
    ]:
        assert write_atoms_rs(**dict(contiguous, float_mat=f, int_mat=i, bool_mat=b)) == expected


# ---- failures ---------------------------------------------------------------------------

@pytest.mark.parametrize(
    "overrides, message",
    [
        (dict(col_types=b"f"), "index out of bounds: row 0 of 1, column 0 of 0 in float_mat"),
        (dict(int_mat=np.zeros((1, 1), np.int64), col_types=b"ii"),
         "index out of bounds: row 0 of 1, column 1 of 1 in int_mat"),
        (dict(bool_mat=np.zeros((0, 1), np.uint8), col_types=b"b"),
         "index out of bounds: row 0 of 0, column 0 of 1 in bool_mat"),
        (dict(sym_width=65536, col_types=b"xs"), WIDTH_OUT_OF_RANGE),
        (dict(sym_width=70000, col_types=b"fs"),                            # first failing field wins
         "index out of bounds: row 0 of 1, column 0 of 0 in float_mat"),
        (dict(sym_width=70000, col_types=b"sf"), WIDTH_OUT_OF_RANGE),
        (dict(sym_width=2**63, col_types=b""), "capacity overflow"),        # before any line
        (dict(sym_codepoints=codepoints("H", "H", "H"), sym_width=2**62),   # 3 * 2^62 >= 2^63
         "capacity overflow"),
        (dict(float_mat=np.broadcast_to(np.zeros((1, 1)), (1, 2**59)), col_types=b"f"),
         "capacity overflow"),                                              # 17 * 2^59 >= 2^63
    ],
)
def test_failures(overrides, message):
    assert panic_message(block(**overrides)) == message


def test_short_value_matrix_fails_only_at_its_first_missing_row():
    args = block(4, float_mat=np.zeros((3, 1)), col_types=b"f")
    assert panic_message(args) == "index out of bounds: row 3 of 3, column 0 of 1 in float_mat"
    # Without an f code the short matrix is never read.
    assert write_atoms_rs(**dict(args, col_types=b"s")) == "H \n" * 4


def test_wrapping_estimate_that_is_not_negative_is_accepted():
    # 4 * (2^62 + 17 + 2) wraps to 76: no overflow, and no symbol field is written.
    args = block(4, sym_width=2**62, float_mat=np.ones((4, 1)), col_types=b"f")
    assert write_atoms_rs(**args) == "       1.00000000\n" * 4


def test_unreservable_estimate_is_memory_error():
    rows = 2**33
    args = block(sym_codepoints=np.broadcast_to(np.zeros((1, 1), np.uint32), (rows, 1)),
                 sym_width=2**29, float_mat=np.zeros((0, 0)), int_mat=np.zeros((0, 0), np.int64),
                 bool_mat=np.zeros((0, 0), np.uint8))
    with pytest.raises(MemoryError):
        write_atoms_rs(**args)


# ---- long lines and buffer growth ------------------------------------------------------

@pytest.mark.parametrize(
    "ncols, value",
    [(60, 1.5), (3, 1e300), (60, -1e300), (40, float("nan"))],
    ids=["many-columns", "huge-values", "many-huge-values", "many-nan"],
)
def test_lines_longer_than_the_estimate(ncols, value):
    natoms = 300
    floats = np.full((natoms, ncols), value)
    floats[::7] = 0.25
    args = block(natoms, float_mat=floats, col_types=b"s" + b"f" * ncols)
    assert write_atoms_rs(**args) == model(args)


def test_long_symbol_rows():
    # 5000 code points a row: the per-field room path; a non-ASCII tail.
    natoms, k = 20, 5000
    cps = np.full((natoms, k), ord("a"), np.uint32)
    cps[:, -1] = 0x1F600
    cps[::3, 10] = 0
    args = block(natoms, sym_codepoints=cps, sym_width=3, float_mat=np.ones((natoms, 1)),
                 col_types=b"sfs")
    assert write_atoms_rs(**args) == model(args)


# ---- seeded random blocks against the model ---------------------------------------------

ALPHABET = [0, 0, 0, ord("H"), ord("e"), ord("S"), ord("i"), 0xE9, 0x20AC, 0x1F600, 0xD800,
            0x110000, ord(" ")]
CODES = b"sfibsffffiixSF"


def random_values(rng, shape):
    kinds = rng.integers(0, 6, shape)
    values = rng.uniform(-1000, 1000, shape)
    values[kinds == 1] = np.ldexp(rng.uniform(-1, 1, shape), rng.integers(-1074, 1024, shape))[kinds == 1]
    values[kinds == 2] = rng.integers(-(10**7), 10**7, shape)[kinds == 2] / 2**9
    values[kinds == 3] = rng.choice([0.0, -0.0, np.inf, -np.inf, np.nan, 5e-9, -5e-9], shape)[kinds == 3]
    return values


def random_view(rng, array):
    kind = rng.integers(0, 4)
    if kind == 1:
        return np.asfortranarray(array)
    if kind == 2 and array.shape[1] > 0:
        doubled = np.zeros((array.shape[0], 2 * array.shape[1]), array.dtype)
        doubled[:, ::2] = array
        return doubled[:, ::2]
    if kind == 3:
        return np.ascontiguousarray(array[::-1, ::-1])[::-1, ::-1]
    return array


@pytest.mark.parametrize("seed", range(60))
def test_random_blocks_against_model(seed):
    rng = np.random.default_rng(1000 + seed)
    natoms = int(rng.integers(0, 60))
    k = int(rng.integers(0, 6))
    col_types = bytes(rng.choice(list(CODES), int(rng.integers(0, 12))))
    # Matrices usually match the codes; sometimes one row or column too few
    # (a failure) or too many (left unread).
    def size(count):
        return max(count + int(rng.choice([0] * 12 + [-1, 1])), 0)
    nf, ni, nb = (size(col_types.count(c)) for c in b"fib")
    rows = [size(natoms) for _ in range(3)]
    args = dict(
        sym_codepoints=random_view(rng, rng.choice(ALPHABET, (natoms, k)).astype(np.uint32)),
        sym_width=int(rng.choice([0, 1, 2, 3, 9, 17, 65535] * 3 + [65536])),
        float_mat=random_view(rng, random_values(rng, (rows[0], nf))),
        int_mat=random_view(rng, rng.integers(-(2**63), 2**63, (rows[1], ni), dtype=np.int64,
                                                endpoint=False) >> rng.integers(0, 64, (rows[1], ni))),
        bool_mat=random_view(rng, rng.integers(0, 3, (rows[2], nb)).astype(np.uint8)),
        col_types=col_types,
    )
    try:
        expected = model(args)
    except model_writer.ModelFailure as failure:
        message = panic_message(args)
        if failure.args[0] == model_writer.INDEX_OUT_OF_RANGE:
            assert message.startswith("index out of bounds: ")
        else:
            assert message == failure.args[0]
        return
    assert write_atoms_rs(**args) == expected
