"""A small caller of _atomblock written for `mypy --strict`: CI type-checks it
against the installed stub (the _atomblock-stubs package) and also runs it.
Not a pytest module (its name does not match test_*.py)."""
from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from _atomblock import read_atom_lines_rs, write_atoms_rs

if TYPE_CHECKING:
    from typing_extensions import assert_type

    from _atomblock import AtomColumns


def read_positions(lines: list[str]) -> tuple[list[str], npt.NDArray[np.float64]]:
    cols: AtomColumns = read_atom_lines_rs(lines, b"sfff")
    if TYPE_CHECKING:
        assert_type(cols["floats"], npt.NDArray[np.float64])
        assert_type(cols["bools"], npt.NDArray[np.uint8])
        assert_type(cols["strs"], list[list[str]])
    return cols["strs"][0], cols["floats"]


def write_block(symbols: list[str], positions: npt.NDArray[np.float64], tags: list[int]) -> str:
    natoms = len(symbols)
    unicode = np.asarray(symbols, dtype=str)
    codepoints: npt.NDArray[np.uint32] = unicode.view(np.uint32).reshape(natoms, unicode.itemsize // 4)
    ints = np.asarray(tags, dtype=np.int64).reshape(natoms, 1)
    bools = np.zeros((natoms, 0), np.uint8)
    text: str = write_atoms_rs(codepoints, 2, positions, ints, bools, bytearray(b"sfffi"))
    return text


def main() -> None:
    lines = ["H 0.0 1.5 -2.25", "O 1 2 3"]
    symbols, positions = read_positions(lines)
    text = write_block(symbols, positions, [7, 8])
    again = read_atom_lines_rs(text.splitlines(), [ord(c) for c in "sfffi"])
    assert again["strs"] == [symbols] and (again["floats"] == positions).all()
    assert again["ints"].tolist() == [[7], [8]]
    print(text, end="")


if __name__ == "__main__":
    main()
