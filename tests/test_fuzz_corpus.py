"""The committed reader seed corpus of fuzz/ through read_atom_lines_rs, against
the pure-Python model: the same arrays and strings, or the same ValueError."""
import pathlib

import numpy as np
import pytest

from _atomblock import read_atom_lines_rs

import model_reader as model

CORPUS = pathlib.Path(__file__).resolve().parent.parent / "fuzz" / "corpus" / "reader"
SEEDS = sorted(CORPUS.iterdir()) if CORPUS.is_dir() else []
MAX_CODES = 64  # the fuzz target reads at most this many codes


def split_seed(data):
    """(codes, lines) as fuzz/reader_fuzzer.cpp splits its input: the first line
    holds the codes, every further '\\n'-separated piece is an atom line, and a
    trailing '\\n' ends the last line instead of starting an empty one."""
    codes, newline, rest = data.partition(b"\n")
    lines = rest.split(b"\n") if newline else []
    if lines and lines[-1] == b"":
        lines.pop()
    return codes[:MAX_CODES], [line.decode("utf-8", errors="replace") for line in lines]


@pytest.mark.parametrize(
    "data, codes, lines",
    [
        (b"sf", b"sf", []),
        (b"sf\n", b"sf", []),
        (b"sf\nH 1\n", b"sf", ["H 1"]),
        (b"sf\nH 1\n\n", b"sf", ["H 1", ""]),
        (b"\nH\xff", b"", ["H\ufffd"]),
        (b"f" * 70 + b"\n1", b"f" * MAX_CODES, ["1"]),
    ],
)
def test_split_matches_the_fuzz_target(data, codes, lines):
    assert split_seed(data) == (codes, lines)


@pytest.mark.parametrize("seed", SEEDS, ids=lambda path: path.name)
def test_seed_reads_as_the_model_says(seed):
    codes, lines = split_seed(seed.read_bytes())
    try:
        expected = model.read_atom_lines(lines, codes)
    except ValueError as error:
        with pytest.raises(ValueError) as excinfo:
            read_atom_lines_rs(lines, codes)
        assert str(excinfo.value) == str(error)
        return
    got = read_atom_lines_rs(lines, codes)
    for key, dtype in (("floats", np.float64), ("ints", np.int64), ("bools", np.uint8)):
        assert (got[key].dtype, got[key].shape) == (np.dtype(dtype), expected["shape"][key])
    assert [[model.float_bits(v) for v in row] for row in got["floats"].tolist()] == expected["floats"]
    assert got["ints"].tolist() == expected["ints"]
    assert got["bools"].tolist() == expected["bools"]
    assert got["strs"] == expected["strs"]
