"""Frame: one structure of an extended XYZ file (per-atom arrays, comment-line info, cell, pbc)."""
from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

Array = npt.NDArray[Any]

# Per-atom properties that are real numbers whatever the caller typed: integer input under
# one of these names (positions typed as [[0, 0, 0], ...]) becomes float64, written as R.
FLOAT_PROPERTIES = frozenset({"pos", "forces", "velocities", "momenta", "masses", "charges", "magmoms",
                              "initial_charges", "initial_magmoms"})


def as_float_property(name: str, values: Array) -> Array:
    """Integer values under a FLOAT_PROPERTIES name as float64; anything else unchanged."""
    if values.dtype.kind in "iu" and name in FLOAT_PROPERTIES:
        return values.astype(np.float64)
    return values


def as_cell(cell: Any) -> Array | None:
    """A (3, 3) float64 cell, one lattice vector per row, from None, three lengths (an
    orthorhombic cell), a (3, 3) matrix or nine numbers row by row."""
    if cell is None:
        return None
    try:
        values = np.array(cell, dtype=np.float64)
    except (TypeError, ValueError) as e:
        raise ValueError(f"cell must be numbers: three lengths, a (3, 3) matrix or nine numbers ({e})") from None
    if values.shape == (3,):
        return np.diag(values)
    if values.shape in ((3, 3), (9,)):
        return values.reshape(3, 3)
    raise ValueError(f"cell must be three lengths, a (3, 3) matrix or nine numbers, got shape {values.shape}")


def as_pbc(pbc: Any, cell: Array | None) -> Array:
    """(3,) bool: one bool for all three directions, or three; None is T T T with a cell, F F F without."""
    if pbc is None:
        return np.full(3, cell is not None)
    values = np.array(pbc)
    if values.dtype.kind not in "biu":
        raise ValueError(f"pbc must be one bool or three, got {values.dtype} values {pbc!r}")
    if values.shape == ():
        return np.full(3, bool(values))
    if values.shape == (3,):
        return values.astype(bool)
    raise ValueError(f"pbc must be one bool or three, got shape {values.shape}")


class Frame:
    """One frame.

    arrays: per-atom arrays keyed by property name (str), in Properties order; S is
        a NumPy str array, R float64, I int64, L bool; count 1 gives shape
        (natoms,), more gives (natoms, count). Integer values under the names of
        FLOAT_PROPERTIES (pos, forces, velocities, momenta, masses, charges,
        magmoms, initial_charges, initial_magmoms) become float64 here, and the
        writer writes such arrays set directly on a frame as R too.
    info: the typed comment-line values (int, float, bool, str, NumPy arrays),
        without Lattice, Properties and pbc.
    cell: (3, 3) float64, one lattice vector per row, or None; the constructor also
        takes three lengths (an orthorhombic cell) or nine numbers row by row.
    pbc: (3,) bool; one bool stands for all three; defaults to T T T with a cell
        and F F F without.

    len(frame) is the number of atoms. A frame is always true, even with no atoms.
    """

    __slots__ = ("arrays", "info", "cell", "pbc")

    arrays: dict[str, Array]
    info: dict[str, Any]
    cell: Array | None
    pbc: Array

    def __init__(self, arrays: Mapping[str, Any] | None = None, info: Mapping[str, Any] | None = None,
                 cell: Any = None, pbc: Any = None) -> None:
        if arrays is None:
            arrays = {}
        elif not isinstance(arrays, Mapping):
            raise TypeError(f"arrays must be a mapping of property names to per-atom values,"
                            f" got {type(arrays).__name__}")
        if info is not None and not isinstance(info, Mapping):
            raise TypeError(f"info must be a mapping of keys to values, got {type(info).__name__}")
        self.arrays = {}
        natoms: tuple[str, int] | None = None  # the first array's name and length
        for name, given in arrays.items():
            if not isinstance(name, str):
                raise TypeError(f"arrays: property names must be str, got {type(name).__name__} {name!r}")
            values = as_float_property(name, np.asarray(given))
            if values.ndim == 0:
                raise ValueError(f"arrays[{name!r}] is a single value: a per-atom array has one row per atom")
            if natoms is None:
                natoms = (name, len(values))
            elif len(values) != natoms[1]:
                raise ValueError(f"arrays[{name!r}] has {_rows(len(values))} but arrays[{natoms[0]!r}]"
                                 f" has {_rows(natoms[1])}: every per-atom array has one row per atom")
            self.arrays[name] = values
        self.info = dict(info or {})
        self.cell = as_cell(cell)
        self.pbc = as_pbc(pbc, self.cell)

    @property
    def natoms(self) -> int:
        for values in self.arrays.values():
            return len(values)
        return 0

    def __len__(self) -> int:
        return self.natoms

    def __bool__(self) -> bool:
        # A record, not a container: `if frame:` must not skip a frame with zero atoms.
        return True

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Frame):
            return NotImplemented
        return (_same_arrays(self.arrays, other.arrays) and _same_arrays(self.info, other.info)
                and _same(self.cell, other.cell) and _same(self.pbc, other.pbc))

    __hash__ = None  # type: ignore[assignment]  # mutable

    def __repr__(self) -> str:
        names = ", ".join(f"{n}:{v.dtype}{list(v.shape[1:])}" for n, v in self.arrays.items())
        cell = "None" if self.cell is None else np.array2string(self.cell.reshape(9), separator=" ")
        return (f"Frame(natoms={self.natoms}, arrays=[{names}], info={sorted(self.info)},"
                f" cell={cell}, pbc={self.pbc.tolist()})")


def _rows(n: int) -> str:
    return f"{n} row" if n == 1 else f"{n} rows"


def _same(a: Any, b: Any) -> bool:
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        if not (isinstance(a, np.ndarray) and isinstance(b, np.ndarray)):
            return False
        return a.dtype == b.dtype and a.shape == b.shape and bool(np.array_equal(a, b, equal_nan=a.dtype.kind in "fc"))
    if isinstance(a, float) and isinstance(b, float) and a != a and b != b:
        return True
    return type(a) is type(b) and bool(a == b)


def _same_arrays(a: Mapping[str, Any], b: Mapping[str, Any]) -> bool:
    return list(a) == list(b) and all(_same(a[k], b[k]) for k in a)
