"""Type information for the _atomblock extension module (atom blocks of extended XYZ frames)."""
from collections.abc import Sequence
from typing import SupportsIndex, TypeAlias, TypedDict

import numpy as np
import numpy.typing as npt

__all__ = ["write_atoms_rs", "read_atom_lines_rs"]

# Column type codes, one byte per field of an atom line: b"f" float, b"i" integer,
# b"s" string/symbol, b"b" boolean. bytes, bytearray or a sequence of ints 0..255.
_ColTypes: TypeAlias = bytes | bytearray | Sequence[int]

class AtomColumns(TypedDict):
    """The dict returned by read_atom_lines_rs.

    Known to type checkers only: import it under `if typing.TYPE_CHECKING:`.
    """

    floats: npt.NDArray[np.float64]  # shape (natoms, number of b"f" codes)
    ints: npt.NDArray[np.int64]  # shape (natoms, number of b"i" codes)
    bools: npt.NDArray[np.uint8]  # shape (natoms, number of b"b" codes), values 0 and 1
    strs: list[list[str]]  # one list of natoms str per b"s" code

def read_atom_lines_rs(lines: Sequence[str], col_types: _ColTypes) -> AtomColumns:
    """Parse one frame's atom lines; ValueError("row {r}: ...") on a bad token or short line."""

def write_atoms_rs(
    sym_codepoints: npt.NDArray[np.uint32],
    sym_width: SupportsIndex,
    float_mat: npt.NDArray[np.float64],
    int_mat: npt.NDArray[np.int64],
    bool_mat: npt.NDArray[np.uint8],
    col_types: _ColTypes,
) -> str:
    """Format one frame's atom block; sym_codepoints is symbols.view(np.uint32).reshape(natoms, -1)."""
