"""Frame: one structure of an extended XYZ file (per-atom arrays, comment-line info, cell, pbc)."""
from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

Array = npt.NDArray[Any]


class Frame:
    """One frame.

    arrays: per-atom arrays keyed by property name, in Properties order; S is a
        NumPy str array, R float64, I int64, L bool; count 1 gives shape
        (natoms,), more gives (natoms, count).
    info: the typed comment-line values (int, float, bool, str, NumPy arrays),
        without Lattice, Properties and pbc.
    cell: (3, 3) float64, one lattice vector per row, or None.
    pbc: (3,) bool; defaults to T T T with a cell and F F F without.
    """

    __slots__ = ("arrays", "info", "cell", "pbc")

    arrays: dict[str, Array]
    info: dict[str, Any]
    cell: Array | None
    pbc: Array

    def __init__(self, arrays: Mapping[str, Any] | None = None, info: Mapping[str, Any] | None = None,
                 cell: Any = None, pbc: Any = None) -> None:
        self.arrays = {name: np.asarray(values) for name, values in (arrays or {}).items()}
        lengths = {name: len(values) if values.ndim else -1 for name, values in self.arrays.items()}
        if len(set(lengths.values())) > 1 or -1 in lengths.values():
            raise ValueError(f"per-atom arrays must have one length, got {lengths}")
        self.info = dict(info or {})
        if cell is None:
            self.cell = None
        else:
            self.cell = np.array(cell, dtype=np.float64).reshape(3, 3)
        if pbc is None:
            self.pbc = np.full(3, self.cell is not None)
        else:
            self.pbc = np.array(pbc, dtype=bool).reshape(3)

    @property
    def natoms(self) -> int:
        for values in self.arrays.values():
            return len(values)
        return 0

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
