"""Table: many frames held as columns (per-atom arrays concatenated, per-frame info columns).

A Table holds no per-frame Python objects. Its storage is what a reader can fill
directly:

- ``natoms`` (n,) int64 and ``offsets`` (n + 1,) int64: frame i owns the rows
  ``offsets[i]:offsets[i + 1]`` of every per-atom column;
- ``arrays``: one (total_atoms, ...) array per property, every frame's rows one
  after the other; ``info``: one (n, ...) array per comment-line key; ``cell``
  (n, 3, 3) float64 and ``pbc`` (n, 3) bool;
- where a frame lacks a column, a fill value (NaN, 0, False, "" or None), and
  the per-frame record of what each frame has:
  * ``_layouts``/``_layout_ids``: the distinct per-frame orders of the property
    names and, per frame, which one is its own (a frame has a property exactly
    when its order names it);
  * ``_orders``/``_order_ids``: the same for the info keys;
  * ``_has_cell`` (n,) bool;
  * ``_widths``: per string property, (n,) int32 code points per item in each
    frame, so that a frame is given back with the str dtype it was read with.

`_assemble` puts such columns together into a Table without copying them.
"""
from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ._frame import FLOAT_PROPERTIES, Frame, as_cell, as_float_property, as_pbc
from ._read import Header, Index, Source, _forward, _frame_headers, parse_index, read, source_name
from ._source import is_parquet
from ._table_read import INFO_VALUES_PER_BYTE, MIN_INFO_VALUES, Batch, table_parts, too_wide

Array = npt.NDArray[Any]

_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1
_DTYPES = {"f": np.dtype(np.float64), "i": np.dtype(np.int64), "b": np.dtype(np.bool_)}
_FILLS: dict[str, Any] = {"f": np.nan, "i": 0, "b": False, "U": "", "O": None}
_KIND_WORDS = {"f": "float", "i": "int", "b": "bool", "U": "str"}
_KINDS = ("arrays", "info", "cell")
_PLAIN_KINDS = {float: "f", bool: "b", str: "U"}
_new_frame = object.__new__


def _atom_kind(dtype: np.dtype[Any]) -> str | None:
    """The column kind of a per-atom dtype: f, i, b or U (u for uint64), None when no column holds it."""
    kind = dtype.kind
    if kind in "fb":
        return kind
    if kind == "i" or (kind == "u" and dtype.itemsize < 8):
        return "i"
    if kind == "u":
        return "u"  # uint64: int64 when its values fit (checked on the values)
    if kind in "USO":
        return "U"
    return None


def _info_kind(value: Any) -> tuple[str, tuple[int, ...]]:
    """(kind, shape) of an info value: a typed column kind b, i, f or U, or O for the rest."""
    if isinstance(value, (bool, np.bool_)):
        return "b", ()
    if isinstance(value, (int, np.integer)):
        return ("i", ()) if _INT64_MIN <= value <= _INT64_MAX else ("O", ())
    if isinstance(value, (float, np.floating)):
        return "f", ()
    if isinstance(value, str):
        return "U", ()
    if isinstance(value, np.ndarray):
        kind = value.dtype.kind
        if kind in "fb":
            return kind, value.shape
        if kind == "i" or (kind == "u" and value.dtype.itemsize < 8):
            return "i", value.shape
    # Anything else (str arrays, uint64, dicts, lists, None) is kept as the object itself.
    return "O", ()


def _merged(a: tuple[str, tuple[int, ...]], b: tuple[str, tuple[int, ...]]) -> tuple[str, tuple[int, ...]] | None:
    """The kind that holds values of both kinds: ints widen to floats of the same shape; None when none does."""
    if a == b:
        return a
    if a[1] == b[1] and {a[0], b[0]} == {"i", "f"}:
        return "f", a[1]
    return None


def _described(kind: str, shape: tuple[int, ...]) -> str:
    word = _KIND_WORDS.get(kind, kind)
    return f"{word} values of shape (natoms,)" if not shape else \
        f"{word} values of shape (natoms, {', '.join(map(str, shape))})"


def _narrow(values: Array, width: int) -> Array:
    """A view of a str array with items of `width` code points (its own are wider, zero-padded)."""
    wide = values.itemsize >> 2
    if width >= wide:
        return values
    points = values.view(np.uint32).reshape(*values.shape, wide)[..., :width]
    return points.view(np.dtype((np.str_, width)))[..., 0]


def _names(what: str, names: Iterable[str] | None) -> frozenset[str] | None:
    if names is None:
        return None
    if isinstance(names, (str, bytes)):
        raise TypeError(f"{what} must be a list of names, not one {type(names).__name__} ({names!r})")
    chosen = frozenset(names)
    for name in chosen:
        if not isinstance(name, str):
            raise TypeError(f"{what}: names must be str, got {type(name).__name__} {name!r}")
    return chosen


def _frame_number(k: int) -> str:
    return f"frame {k}"


class _AtomColumn:
    """One property's values while a table is built: the frames that have it, their arrays and str widths."""

    __slots__ = ("kind", "shape", "where", "values", "widths")

    def __init__(self, kind: str, shape: tuple[int, ...], where: list[int], values: list[Array],
                 widths: list[int]) -> None:
        self.kind, self.shape, self.where, self.values, self.widths = kind, shape, where, values, widths


def _number_of(names: tuple[str, ...], numbers: dict[tuple[str, ...], int]) -> int:
    """The number of a distinct name order, in the order first seen."""
    number = numbers.get(names)
    if number is None:
        number = numbers[names] = len(numbers)
    return number


def _build(frames: Iterable[Frame], keep_arrays: frozenset[str] | None, keep_info: frozenset[str] | None,
           number: Callable[[int], str] = _frame_number) -> Table:
    """A Table of the frames, keeping only the named columns (all when None); `number`
    names a frame (counted from 0 in the order given) in error messages.

    One pass over the frames records what each has; then each column is gathered,
    checked and joined on its own."""
    counts: list[int] = []
    given: list[dict[str, Any]] = []
    infos: list[dict[str, Any]] = []
    layout_of: dict[tuple[str, ...], int] = {}
    layout_ids: list[int] = []
    order_of: dict[tuple[str, ...], int] = {}
    order_ids: list[int] = []
    cells: list[Array] = []
    cell_where: list[int] = []
    pbcs: list[Array] = []
    for k, frame in enumerate(frames):
        if not isinstance(frame, Frame):
            raise TypeError(f"{number(k)} is a {type(frame).__name__}, not a Frame")
        arrays = frame.arrays
        names = tuple(arrays) if keep_arrays is None else tuple(n for n in arrays if n in keep_arrays)
        layout_ids.append(_number_of(names, layout_of))
        given.append(arrays)
        counts.append(frame.natoms)
        info = frame.info
        keys = tuple(info) if keep_info is None else tuple(key for key in info if key in keep_info)
        order_ids.append(_number_of(keys, order_of))
        infos.append(info)
        cell = frame.cell
        if cell is not None and not (type(cell) is np.ndarray and cell.dtype == np.float64
                                     and cell.shape == (3, 3)):
            cell = as_cell(cell)  # set directly on the frame: the constructor's forms and errors
        if cell is not None:
            cells.append(cell)
            cell_where.append(k)
        pbc = frame.pbc
        if not (type(pbc) is np.ndarray and pbc.dtype == np.bool_ and pbc.shape == (3,)):
            pbc = as_pbc(pbc, cell)
        pbcs.append(pbc)

    n = len(counts)
    natoms_col = np.array(counts, dtype=np.int64)
    offsets = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(natoms_col, out=offsets[1:])
    layouts, orders = list(layout_of), list(order_of)
    layout_col = np.array(layout_ids, dtype=np.int32)
    order_col = np.array(order_ids, dtype=np.int32)
    arrays_out: dict[str, Array] = {}
    widths: dict[str, Array] = {}
    # Names in the order of the first frame that has them: layouts are numbered by first use.
    for name in dict.fromkeys(name for layout in layouts for name in layout):
        where = _holders(name, layouts, layout_col)
        column = _atom_values(name, [given[k][name] for k in where], where, natoms_col, number)
        arrays_out[name] = _atom_column(column, counts)
        if column.kind == "U":
            width = np.ones(n, dtype=np.int32)
            width[where] = column.widths
            widths[name] = width
    info_cols, cell_col, pbc_col, has_cell = _frame_columns(infos, orders, order_col, cells, cell_where, pbcs)
    return _assemble(natoms_col, offsets, arrays_out, info_cols, cell_col, pbc_col, has_cell,
                     layouts, layout_col, orders, order_col, widths)


def _frame_columns(infos: list[dict[str, Any]], orders: list[tuple[str, ...]], order_col: Array,
                   cells: list[Array], cell_where: list[int],
                   pbcs: list[Array]) -> tuple[dict[str, Array], Array, Array, Array]:
    """The per-frame columns (info, cell, pbc, has_cell) of n frames' info dicts (each keeping the
    keys of its order), cells (of the frames `cell_where`) and pbcs."""
    n = len(infos)
    info_cols: dict[str, Array] = {}
    for key in dict.fromkeys(key for order in orders for key in order):
        where = _holders(key, orders, order_col)
        info_cols[key] = _info_column([infos[k][key] for k in where], where, n)
    cell_col = np.full((n, 3, 3), np.nan)
    has_cell = np.zeros(n, dtype=bool)
    if cells:
        # One concatenate of the (3, 3) arrays: np.stack costs a few Python calls per array.
        cell_col[cell_where] = np.concatenate(cells).reshape(-1, 3, 3)
        has_cell[cell_where] = True
    pbc_col = np.concatenate(pbcs).reshape(-1, 3) if pbcs else np.zeros((0, 3), dtype=bool)
    return info_cols, cell_col, pbc_col, has_cell


def _from_headers(headers: Iterable[Header], keep_info: frozenset[str] | None) -> Table:
    """The Table without per-atom columns of frames known by their headers (arrays=[])."""
    counts: list[int] = []
    infos: list[dict[str, Any]] = []
    order_of: dict[tuple[str, ...], int] = {}
    order_ids: list[int] = []
    cells: list[Array] = []
    cell_where: list[int] = []
    pbcs: list[Array] = []
    for k, (_, _, natoms, info, cell, pbc, _) in enumerate(headers):
        counts.append(natoms)
        keys = tuple(info) if keep_info is None else tuple(key for key in info if key in keep_info)
        order_ids.append(_number_of(keys, order_of))
        infos.append(info)
        if cell is not None:
            cells.append(cell)
            cell_where.append(k)
        pbcs.append(pbc)
    n = len(counts)
    natoms_col = np.array(counts, dtype=np.int64)
    offsets = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(natoms_col, out=offsets[1:])
    orders = list(order_of)
    order_col = np.array(order_ids, dtype=np.int32)
    info_cols, cell_col, pbc_col, has_cell = _frame_columns(infos, orders, order_col, cells, cell_where, pbcs)
    # Every frame has the same (empty) order of kept property names, as _build numbers it.
    return _assemble(natoms_col, offsets, {}, info_cols, cell_col, pbc_col, has_cell,
                     [()] if n else [], np.zeros(n, dtype=np.int32), orders, order_col, {})


def _holders(name: str, groups: list[tuple[str, ...]], ids: Array) -> list[int]:
    """The frames whose group (their layout or info-key order) names `name`."""
    return np.flatnonzero(np.array([name in group for group in groups], dtype=bool)[ids]).tolist()  # type: ignore[no-any-return]


_PLAIN_ATOM_KINDS = {np.dtype(np.float64): "f", np.dtype(np.int64): "i", np.dtype(np.bool_): "b"}


def _atom_values(name: str, values: list[Any], where: list[int], natoms: Array,
                 number: Callable[[int], str]) -> _AtomColumn:
    """One property's values checked (one row per atom, one kind and shape, ints widened to
    floats) and its kind; ValueError/TypeError at the first frame that does not fit."""
    try:
        forms = {(type(v), v.shape[1:]) for v in values}
        dtypes = {v.dtype for v in values}
        rows_ok = bool((np.fromiter(map(len, values), np.int64, len(values)) == natoms[where]).all())
    except (AttributeError, TypeError):  # not all arrays, or one is 0-d
        forms, rows_ok = set(), False
    if rows_ok and len(forms) == 1:
        (cls, shape), = forms
        kind = _PLAIN_ATOM_KINDS.get(next(iter(dtypes))) if len(dtypes) == 1 else None
        if kind is None and all(d.kind == "U" and d.isnative for d in dtypes):
            kind = "U"
        if cls is np.ndarray and kind is not None:
            if kind == "i" and name in FLOAT_PROPERTIES:
                kind = "f"
            widths = [max(1, v.itemsize >> 2) for v in values] if kind == "U" else []
            return _AtomColumn(kind, shape, where, values, widths)
    # Any other mix, value by value: conversions, widening, and the first frame that does not fit.
    column: _AtomColumn | None = None
    first = 0
    kinds: dict[np.dtype[Any], str | None] = {}
    for k, values_k in zip(where, values, strict=True):
        v = as_float_property(name, np.asarray(values_k))
        if v.ndim == 0 or len(v) != natoms[k]:
            raise ValueError(f"{number(k)}: arrays[{name!r}] has shape {v.shape}, not one row per atom ({natoms[k]})")
        kind = kinds.get(v.dtype, "?")
        if kind == "?":
            kind = kinds[v.dtype] = _atom_kind(v.dtype)
        if kind is None:
            raise TypeError(f"{number(k)}: arrays[{name!r}] has dtype {v.dtype}, which no column holds")
        if kind == "u":
            if len(v) and int(v.max()) > _INT64_MAX:
                raise ValueError(f"{number(k)}: arrays[{name!r}] holds values above the int64 range")
            kind = "i"
        elif kind == "U" and (v.dtype.kind != "U" or not v.dtype.isnative):
            v = v.astype(str)
        shape = v.shape[1:]
        if column is None:
            column, first = _AtomColumn(kind, shape, where, [], []), k
        elif column.kind != kind or column.shape != shape:
            merged = _merged((column.kind, column.shape), (kind, shape))
            if merged is None:
                raise ValueError(f"arrays[{name!r}]: {number(k)} has {_described(kind, shape)} but"
                                 f" {number(first)} has {_described(column.kind, column.shape)}:"
                                 " one column cannot hold both")
            column.kind = merged[0]
        column.values.append(v)
        if kind == "U":
            column.widths.append(max(1, v.itemsize >> 2))
    assert column is not None  # a property in a layout is in at least one frame
    return column


def _atom_column(column: _AtomColumn, counts: list[int]) -> Array:
    """The property's rows of every frame in one concatenate, fill rows where a frame lacks it."""
    kind, shape = column.kind, column.shape
    dtype: np.dtype[Any]
    if kind == "U":
        dtype = np.dtype((np.str_, max(column.widths)))
    else:
        dtype = _DTYPES[kind]
    pieces = column.values
    if len(column.where) != len(counts):
        at = dict(zip(column.where, column.values, strict=True))
        longest = max((c for k, c in enumerate(counts) if k not in at), default=0)
        fill = np.full((longest, *shape), _FILLS[kind], dtype=dtype)
        pieces = [at[k] if k in at else fill[:c] for k, c in enumerate(counts)]
    if not pieces:
        return np.empty((0, *shape), dtype=dtype)
    return np.concatenate(pieces, dtype=dtype)


def _info_column(values: list[Any], where: list[int], n: int) -> Array:
    """One info key's per-frame column: typed when the frames' values share a kind and shape
    (ints widen to floats), else an object array of the values themselves."""
    shape: tuple[int, ...]
    types = set(map(type, values))
    if len(types) == 1 and types <= _PLAIN_KINDS.keys():  # the common case, without a call per value
        kind, shape = _PLAIN_KINDS[types.pop()], ()
    elif types == {np.ndarray} and len({(v.dtype, v.shape) for v in values}) == 1:
        kind, shape = _info_kind(values[0])  # arrays of one dtype and shape: one kind
    else:
        kind, shape = _info_kind(values[0])
        for value in values[1:]:
            merged = _merged((kind, shape), _info_kind(value))
            if merged is None:
                kind, shape = "O", ()
                break
            kind, shape = merged
    everywhere = len(where) == n
    if kind == "O":
        column = np.empty(n, dtype=object)
        for k, value in zip(where, values, strict=True):
            column[k] = value
        return column
    if kind == "U":
        typed = np.array(values, dtype=str)
        if everywhere:
            return typed
        column = np.zeros(n, dtype=typed.dtype)
    else:
        dtype = _DTYPES[kind]
        typed = np.array(values, dtype=dtype) if not shape else \
            np.concatenate(values).reshape(len(values), *shape).astype(dtype, copy=False)
        if everywhere:
            return typed
        column = np.full((n, *shape), _FILLS[kind], dtype=dtype)
    column[where] = typed
    return column


def _assemble(natoms: Array, offsets: Array, arrays: dict[str, Array], info: dict[str, Array], cell: Array,
              pbc: Array, has_cell: Array, layouts: list[tuple[str, ...]], layout_ids: Array,
              orders: list[tuple[str, ...]], order_ids: Array, widths: dict[str, Array]) -> Table:
    table: Table = _new_frame(Table)
    table.natoms, table.offsets, table.arrays, table.info = natoms, offsets, arrays, info
    table.cell, table.pbc, table._has_cell = cell, pbc, has_cell
    table._layouts, table._layout_ids = layouts, layout_ids
    table._orders, table._order_ids, table._widths = orders, order_ids, widths
    return table


class Table:
    """Frames as columns: the shape of a machine-learning dataset of many small frames.

    natoms: (n_frames,) int64 atoms per frame; offsets: (n_frames + 1,) int64, the
        first row of each frame in the per-atom columns (frame i is the rows
        offsets[i]:offsets[i + 1]).
    arrays: per-atom columns by property name, every frame's rows concatenated:
        pos is one (total_atoms, 3) float64 array, species one str array; types as
        in Frame.arrays.
    info: per-frame columns by comment-line key: energy (n_frames,) float64,
        stress (n_frames, 3, 3), strings as str arrays.
    cell: (n_frames, 3, 3) float64, NaN for frames without a cell; pbc: (n_frames, 3) bool.

    Columns are in the order of the first frame that has them, later ones
    appended. A frame lacking a property or key holds a fill value there: NaN
    for floats, 0 for ints, False for bools, "" for strings, None in object
    columns; has(name) says which frames define it.

    Values whose type differs between frames: ints widen to float64 (int64 ->
    float64, also for arrays of one shape); any other mix in an info key (a str
    in one frame and a float in another, bools with numbers, arrays of
    different shapes) makes the column an object array of each frame's value;
    in a per-atom property it is a ValueError naming the property and the frame.

    len(table) is the number of frames. table[i] is frame i as a Frame whose arrays,
    cell and pbc are views into the columns (writing to them writes to the
    table), its arrays in the frame's own Properties order, its info the frame's
    keys in their own order (absent keys absent), its cell None where it had
    none. table[a:b], table[[i, j]] and table[mask] are Tables (a step-1 slice
    holds views; the others copies) with the columns defined in at least one of
    their frames. Iteration gives the frames in order; == compares frame by
    frame. atomblock.write(dest, table) writes the frames in order.
    """

    __slots__ = ("natoms", "offsets", "arrays", "info", "cell", "pbc", "_has_cell",
                 "_layouts", "_layout_ids", "_orders", "_order_ids", "_widths")

    natoms: Array
    offsets: Array
    arrays: dict[str, Array]
    info: dict[str, Array]
    cell: Array
    pbc: Array
    _has_cell: Array
    _layouts: list[tuple[str, ...]]
    _layout_ids: Array
    _orders: list[tuple[str, ...]]
    _order_ids: Array
    _widths: dict[str, Array]

    def __init__(self, frames: Iterable[Frame] = ()) -> None:
        built = _build(frames, None, None)
        for slot in Table.__slots__:
            setattr(self, slot, getattr(built, slot))

    @classmethod
    def from_frames(cls, frames: Iterable[Frame]) -> Table:
        """A Table holding copies of the frames' values (TypeError names an item that is not a Frame)."""
        return _build(frames, None, None)

    def to_frames(self) -> list[Frame]:
        """Every frame as list(table) gives them: views into the columns."""
        return list(self)

    def __len__(self) -> int:
        return len(self.natoms)

    def has(self, name: str, kind: str | None = None) -> Array:
        """(n_frames,) bool: which frames define `name`, a property, an info key or "cell".

        kind ("arrays", "info" or "cell") says where to look; without it, the one
        of the three that knows the name, and ValueError when two do. A name that
        no frame defines (one left out by read_table's arrays=/info= included)
        gives an all-False mask.
        """
        if kind is None:
            found = [k for k, there in zip(_KINDS, (name in self.arrays, name in self.info, name == "cell"),
                                          strict=True) if there]
            if len(found) > 1:
                raise ValueError(f"{name!r} is both {' and '.join(found)}: say which with kind=")
            kind = found[0] if found else "arrays"
        if kind == "cell":
            return self._has_cell.copy()
        if kind == "arrays":
            groups = self._layouts
            ids = self._layout_ids
        elif kind == "info":
            groups = self._orders
            ids = self._order_ids
        else:
            raise ValueError(f"kind must be one of {_KINDS} or None, got {kind!r}")
        return np.array([name in group for group in groups], dtype=bool)[ids] if groups else \
            np.zeros(len(self), dtype=bool)

    def __getitem__(self, index: Any) -> Any:
        if isinstance(index, (int, np.integer)) and not isinstance(index, (bool, np.bool_)):
            n = len(self)
            k = int(index)
            if not -n <= k < n:
                raise IndexError(f"frame index {k} out of range: the table has {n} frames")
            return self._frame(k + n if k < 0 else k)
        if isinstance(index, slice):
            start, stop, step = index.indices(len(self))
            if step == 1:
                return self._range(start, max(start, stop))
            return self._take(np.arange(start, stop, step, dtype=np.int64))
        if isinstance(index, (list, np.ndarray)):
            chosen = np.asarray(index)
            if chosen.dtype == np.bool_:
                if chosen.shape != (len(self),):
                    raise IndexError(f"a boolean mask of shape {chosen.shape} does not select from"
                                     f" {len(self)} frames")
                return self._take(np.flatnonzero(chosen))
            if chosen.size == 0:
                chosen = chosen.astype(np.int64)
            if chosen.ndim != 1 or chosen.dtype.kind not in "iu":
                raise IndexError(f"frames are selected by an int, a slice, a list of ints or a boolean"
                                 f" mask, got an array of {chosen.dtype} and shape {chosen.shape}")
            n = len(self)
            bad = (chosen < -n) | (chosen >= n)
            if bad.any():
                raise IndexError(f"frame index {int(chosen[bad][0])} out of range: the table has {n} frames")
            return self._take(np.where(chosen < 0, chosen + n, chosen).astype(np.int64))
        raise TypeError(f"frames are selected by an int, a slice, a list of ints or a boolean mask,"
                        f" not {type(index).__name__}")

    def _frame(self, k: int) -> Frame:
        lo, hi = int(self.offsets[k]), int(self.offsets[k + 1])
        arrays: dict[str, Array] = {}
        for name in self._layouts[self._layout_ids[k]]:
            values = self.arrays[name][lo:hi]
            width = self._widths.get(name)
            arrays[name] = values if width is None else _narrow(values, int(width[k]))
        info: dict[str, Any] = {}
        for key in self._orders[self._order_ids[k]]:
            column = self.info[key]
            info[key] = column[k] if column.ndim > 1 or column.dtype.kind == "O" else column.item(k)
        frame: Frame = _new_frame(Frame)
        frame.arrays = arrays
        frame.info = info
        frame.cell = self.cell[k] if self._has_cell[k] else None
        frame.pbc = self.pbc[k]
        return frame

    def __iter__(self) -> Iterator[Frame]:
        for k in range(len(self)):
            yield self._frame(k)

    def _range(self, start: int, stop: int) -> Table:
        lo, hi = int(self.offsets[start]), int(self.offsets[stop])
        return self._pruned(self.natoms[start:stop], self.offsets[start:stop + 1] - lo,
                            {name: v[lo:hi] for name, v in self.arrays.items()}, slice(start, stop))

    def _take(self, chosen: Array) -> Table:
        natoms = self.natoms[chosen]
        offsets = np.zeros(len(chosen) + 1, dtype=np.int64)
        np.cumsum(natoms, out=offsets[1:])
        # Row r of the new columns is row r - offsets[j] + self.offsets[chosen[j]] of the old, in frame j.
        rows = np.arange(offsets[-1], dtype=np.int64) + np.repeat(self.offsets[:-1][chosen] - offsets[:-1], natoms)
        return self._pruned(natoms, offsets, {name: v[rows] for name, v in self.arrays.items()}, chosen)

    def _pruned(self, natoms: Array, offsets: Array, arrays: dict[str, Array], frames: slice | Array) -> Table:
        """The sub-table of the selected frames, without the columns none of them defines."""
        layout_ids = self._layout_ids[frames]
        order_ids = self._order_ids[frames]
        used = {name for lid in np.unique(layout_ids).tolist() for name in self._layouts[lid]}
        keys = {key for oid in np.unique(order_ids).tolist() for key in self._orders[oid]}
        return _assemble(natoms, offsets, {name: v for name, v in arrays.items() if name in used},
                         {key: v[frames] for key, v in self.info.items() if key in keys},
                         self.cell[frames], self.pbc[frames], self._has_cell[frames],
                         self._layouts, layout_ids, self._orders, order_ids,
                         {name: w[frames] for name, w in self._widths.items() if name in used})

    def _writable(self) -> Iterator[Frame]:
        """The frames for the writer; ValueError, before any is given, when a frame with atoms
        kept none of its per-atom columns (it would be written with no atoms)."""
        bare = np.array([not layout for layout in self._layouts], dtype=bool)
        if len(bare):
            lost = np.flatnonzero(bare[self._layout_ids] & (self.natoms > 0))
            if len(lost):
                k = int(lost[0])
                raise ValueError(f"frame {k} of the table has {int(self.natoms[k])} atoms but no per-atom"
                                 " column (read with arrays=[]?): it cannot be written")
        return iter(self)

    def to_arrow(self) -> Any:
        """The frames as a pyarrow.Table, one row per frame; the float and int per-atom values
        are shared, not copied (atomblock._arrow describes the columns). Needs pyarrow."""
        from ._arrow import to_arrow

        return to_arrow(self)

    @classmethod
    def from_arrow(cls, data: Any) -> Table:
        """A Table of a pyarrow.Table (or RecordBatch) of frames as to_arrow makes them."""
        from ._arrow import from_arrow

        return from_arrow(data)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Table):
            return NotImplemented
        return len(self) == len(other) and all(a == b for a, b in zip(self, other, strict=True))

    __hash__ = None  # type: ignore[assignment]  # mutable

    def __repr__(self) -> str:
        def columns(cols: dict[str, Array], lead: int) -> str:
            return ", ".join(f"{name}:{v.dtype}{list(v.shape[lead:])}" for name, v in cols.items())

        return (f"Table(frames={len(self)}, atoms={int(self.offsets[-1])}, arrays=[{columns(self.arrays, 1)}],"
                f" info=[{columns(self.info, 1)}], cells={int(self._has_cell.sum())})")


def read_table(source: Source, index: Index = ":", *, arrays: Sequence[str] | None = None,
               info: Sequence[str] | None = None, workers: int = 1, progress: bool = False) -> Table:
    """Read the selected frames of a file as a Table (see Table for the columns).

    index: as read() takes it (an int gives a one-frame table); faults and index
    errors are read()'s, at the same file line with the same message. arrays /
    info: the per-atom properties / info keys to keep (None: all); arrays=[]
    keeps none, leaving natoms, offsets, info, cell and pbc. A name asked for
    that no selected frame has gets no column, and has(name) is all False for
    it. workers and progress are read()'s: with workers=N, each batch of frames
    (a few MiB of text) is split into N ranges read on N native threads, also
    with arrays=[]. A per-atom property whose type or
    column count differs between frames (beyond ints widening to floats) is a
    ValueError naming it and the two frames (counted as in the file).

    The columns are filled natively, without a Python object per frame: the
    comment lines of the common forms are typed into per-key columns and the
    atom lines of frames with one Properties layout are read in one call.
    Frames beyond those forms (escapes, [] or _JSON values in the comment line)
    are read as read() reads them and joined in.

    With arrays=[] no atom line is parsed: the frames are found by counting lines
    and only their comment lines are read, so that the per-frame columns of a big
    training set cost little more than finding its line ends. Faults in count
    lines and comment lines (Properties, Lattice) and a file cut short inside a
    frame raise read()'s error; a fault inside an atom line goes unseen in this
    mode (read the file with read() or check() to find those).

    A path ending in .parquet or .pq is a Parquet file of frames (see
    Table.to_arrow), read with pyarrow: only the columns asked for are read;
    workers and progress do not apply.
    """
    keep_arrays = _names("arrays", arrays)
    keep_info = _names("info", info)
    if is_parquet(source):  # .parquet/.pq: the columns asked for, read by pyarrow
        from ._arrow import read_parquet

        return read_parquet(source, index, arrays=arrays, info=info)
    sel = parse_index(index)
    if workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    atoms = keep_arrays is None or bool(keep_arrays)
    number = _file_numbers(sel)
    forward = _forward(sel)
    if forward is None:  # counted from the end: read()'s walk picks the frames
        if not atoms:
            return _from_headers(_frame_headers(source, sel, progress=progress), keep_info)
        got = read(source, index, workers=workers, progress=progress)
        return _build([got] if isinstance(got, Frame) else got, keep_arrays, keep_info, number)
    share = [0.0, 0]
    parts = table_parts(source, forward, isinstance(sel, int), keep_info, atoms, workers, progress, share)
    return _joined((t for part in parts for t in _pieces(part, keep_arrays, keep_info)), number, share,
                   source_name(source))


def _pieces(part: Batch | Frame | Header, keep_arrays: frozenset[str] | None,
            keep_info: frozenset[str] | None) -> list[Table]:
    """A part of table_parts as Tables: one per run of frames of one layout in a native batch."""
    if isinstance(part, Frame):
        return [_build([part], keep_arrays, keep_info)]
    if not isinstance(part, Batch):
        return [_from_headers([part], keep_info)]
    n = part.frames
    info: dict[str, Array] = {}
    for key, kind, square, values in part.info:
        if kind == "b":
            values = values.view(np.bool_)
        elif kind == "U":
            values = values.view(np.dtype((np.str_, values.shape[1])))
        info[key] = values.reshape(n) if square is None else values.reshape(n, 3, 3) if square else values
    order_ids = part.order_ids.reshape(n).astype(np.int32)
    cell = part.cells.reshape(n, 3, 3)
    has_cell = part.has_cell.reshape(n).view(np.bool_)
    pbc = part.pbc.view(np.bool_)
    if not part.runs:  # no atom line read: every frame keeps the same (empty) property names
        offsets = np.zeros(n + 1, dtype=np.int64)
        np.cumsum(part.natoms, out=offsets[1:])
        return [_assemble(part.natoms, offsets, {}, info, cell, pbc, has_cell, [()],
                          np.zeros(n, dtype=np.int32), part.orders, order_ids, {})]
    tables = []
    for layout_number, first, last, columns, widths in part.runs:
        layout = part.layouts[layout_number]
        named = layout.arrays(columns)
        if keep_arrays is not None:
            named = {name: v for name, v in named.items() if name in keep_arrays}
        str_widths: dict[str, Array] = {}
        for name, kind, column, count in layout.fields:
            if kind == "S" and name in named:
                str_widths[name] = widths[:, column:column + count].max(axis=1).astype(np.int32)
        natoms = part.natoms[first:last]
        offsets = np.zeros(last - first + 1, dtype=np.int64)
        np.cumsum(natoms, out=offsets[1:])
        tables.append(_assemble(natoms, offsets, named, {key: v[first:last] for key, v in info.items()},
                                cell[first:last], pbc[first:last], has_cell[first:last], [tuple(named)],
                                np.zeros(last - first, dtype=np.int32), part.orders, order_ids[first:last],
                                str_widths))
    return tables


def _kind_of(column: Array) -> tuple[str, tuple[int, ...]]:
    kind = column.dtype.kind
    return ("O", ()) if kind == "O" else (kind, column.shape[1:])


def _first_having(table: Table, name: str, kind: str, frames_before: int) -> int:
    return frames_before + int(np.flatnonzero(table.has(name, kind))[0])


def _renumbered(groups: list[tuple[str, ...]], ids: Array, numbers: dict[tuple[str, ...], int]) -> Array:
    """`ids` into `groups` as numbers of a joined list of groups (those in use only)."""
    remap = np.zeros(len(groups), dtype=np.int32)
    for used in np.unique(ids).tolist():
        remap[used] = _number_of(groups[used], numbers)
    return remap[ids]


def _ones(n: int) -> Array:
    return np.ones(n, dtype=np.int32)


GROWTH = 1.25  # a joined per-atom column grows by this factor: its memory stays within it of the result
ESTIMATE_MARGIN = 1.05  # room beyond the rows foreseen from the share of the file read so far


class _AtomJoiner:
    """Per-atom columns of tables given one after the other, appended to columns that grow in
    place (a reallocation moves no data for big buffers), so that a table read piece by piece
    peaks at about GROWTH times its per-atom columns plus one piece."""

    def __init__(self, number: Callable[[int], str], share: list[float] | None = None) -> None:
        self.number = number
        self.share = share  # share[0]: the share of the source the rows so far come from (0: unknown)
        self.rows = 0
        self.columns: dict[str, Array] = {}  # over-allocated: rows [0, self.rows) are held
        self.first: dict[str, int] = {}  # the first frame (of the result) that has each property

    def add(self, table: Table, start: int) -> None:
        """Appends the table's rows; `start` is its first frame's number in the result."""
        rows = int(table.offsets[-1])
        names = {name for lid in np.unique(table._layout_ids).tolist() for name in table._layouts[lid]}
        end = self.rows + rows
        for name in names:
            values = table.arrays[name]
            column = self.columns.get(name)
            if column is None:
                kind, shape = _kind_of(values)
                dtype = values.dtype if kind == "U" else _DTYPES[kind]
                column = np.empty((max(end, self._foreseen(end)), *shape), dtype=dtype)
                column[:self.rows] = _FILLS[kind]
                self.first[name] = _first_having(table, name, "arrays", start)
            else:
                column = self._fitted(name, column, values, table, start)
            self.columns[name] = column = self._room(column, end)
            column[self.rows:end] = values
        for name, column in self.columns.items():
            if name not in names:
                column = self.columns[name] = self._room(column, end)
                column[self.rows:end] = _FILLS[column.dtype.kind]
        self.rows = end

    def _fitted(self, name: str, column: Array, values: Array, table: Table, start: int) -> Array:
        """The column, converted to hold `values` too; ValueError when no column holds both."""
        have, other = _kind_of(column), _kind_of(values)
        if have == other:
            if other[0] == "U" and values.dtype.itemsize > column.dtype.itemsize:
                return column.astype(values.dtype)  # wider strings (a copy, rare: widths are few)
            return column
        merged = _merged(have, other)
        if merged is None:
            here = _first_having(table, name, "arrays", start)
            raise ValueError(f"arrays[{name!r}]: {self.number(here)} has {_described(*other)} but"
                             f" {self.number(self.first[name])} has {_described(*have)}:"
                             " one column cannot hold both")
        return column if merged == have else column.astype(_DTYPES[merged[0]])

    def _room(self, column: Array, rows: int) -> Array:
        if rows <= len(column):
            return column
        if not column.flags.owndata:
            column = column.copy()
        # As many rows as the share of the file read so far foretells (the files of a dataset are
        # even: one growth at most), else a GROWTH factor more.
        column.resize((max(rows, self._foreseen(rows), int(len(column) * GROWTH)), *column.shape[1:]),
                      refcheck=False)
        return column

    def _foreseen(self, rows: int) -> int:
        share = self.share[0] if self.share else 0.0
        return int(rows / share * ESTIMATE_MARGIN) + 1 if 0.0 < share <= 1.0 else 1

    def finish(self) -> dict[str, Array]:
        for column in self.columns.values():
            if len(column) != self.rows:
                column.resize((self.rows, *column.shape[1:]), refcheck=False)
        return self.columns


def _joined(tables: Iterable[Table], number: Callable[[int], str], share: list[float] | None = None,
            name: str = "") -> Table:
    """_concat of tables given one by one, each table's per-atom columns appended and let go
    before the next one is made (`share`: see _AtomJoiner; share[1], the bytes of text the tables
    come from, bounds their info values; `name` names the source in that error)."""
    joiner = _AtomJoiner(number, share)
    kept = []
    start = 0
    values: dict[str, int] = {}  # info values per frame of each key so far
    for t in tables:
        if not len(t):
            continue
        if share is not None:  # dense info columns within a bound per byte of text (see too_wide)
            for key, column in t.info.items():
                values.setdefault(key, int(np.prod(column.shape[1:])))
            if sum(values.values()) * (start + len(t)) > max(MIN_INFO_VALUES, INFO_VALUES_PER_BYTE * share[1]):
                raise too_wide(name, number(start + len(t) - 1))
        joiner.add(t, start)
        start += len(t)
        kept.append(_assemble(t.natoms, t.offsets, {}, t.info, t.cell, t.pbc, t._has_cell, t._layouts,
                              t._layout_ids, t._orders, t._order_ids, t._widths))
    return _concat(kept, number, joiner.finish())


def _concat(tables: list[Table], number: Callable[[int], str] = _frame_number,
            joined: dict[str, Array] | None = None) -> Table:
    """The frames of the tables one after the other, in one Table with contiguous columns.

    Columns join as _build joins frames: ints widen to floats; any other mix of kinds makes
    an info column an object array of each frame's value, and is a ValueError for a per-atom
    property, naming it and the two frames (`number` names the k-th frame of the result)."""
    tables = [t for t in tables if len(t)]
    if not tables:
        return _build([], None, None)
    starts = np.cumsum([0] + [len(t) for t in tables]).tolist()
    n = starts[-1]
    natoms = np.concatenate([t.natoms for t in tables])
    offsets = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(natoms, out=offsets[1:])
    layout_of: dict[tuple[str, ...], int] = {}
    order_of: dict[tuple[str, ...], int] = {}
    layout_ids = np.concatenate([_renumbered(t._layouts, t._layout_ids, layout_of) for t in tables])
    order_ids = np.concatenate([_renumbered(t._orders, t._order_ids, order_of) for t in tables])
    # Per table, the info keys its frames define (its orders in use).
    used_keys = [{key for oid in np.unique(t._order_ids).tolist() for key in t._orders[oid]} for t in tables]
    names = dict.fromkeys(name for layout in layout_of for name in layout)
    if joined is None:
        joiner = _AtomJoiner(number)
        for k, t in enumerate(tables):
            joiner.add(t, starts[k])
        joined = joiner.finish()
    arrays = {name: joined[name] for name in names}
    widths = {name: np.concatenate([t._widths.get(name, _ones(len(t))) for t in tables])
              for name in names if any(name in t._widths for t in tables)}
    info: dict[str, Array] = {}
    for key in dict.fromkeys(key for order in order_of for key in order):
        holders = [k for k, keys in enumerate(used_keys) if key in keys]
        forms = {_kind_of(tables[k].info[key]) for k in holders}
        form: tuple[str, tuple[int, ...]] | None = forms.pop()
        for other in forms:
            form = _merged(form, other) if form is not None else None
        if form is None or form[0] == "O":
            column = np.empty(n, dtype=object)
            for k in holders:
                values, t = tables[k].info[key], tables[k]
                has = t.has(key, "info")
                scalar = values.ndim == 1 and values.dtype.kind != "O"
                for j in np.flatnonzero(has).tolist():
                    column[starts[k] + j] = values.item(j) if scalar else values[j]
            info[key] = column
            continue
        kind, shape = form
        held = set(holders)
        parts = [tables[k].info[key] if k in held else
                 np.full((len(t), *shape), _FILLS[kind], dtype=np.dtype((np.str_, 1)) if kind == "U" else
                         _DTYPES[kind]) for k, t in enumerate(tables)]
        info[key] = np.concatenate(parts, dtype=None if kind == "U" else _DTYPES[kind])
    cell = np.concatenate([t.cell for t in tables])
    pbc = np.concatenate([t.pbc for t in tables])
    has_cell = np.concatenate([t._has_cell for t in tables])
    return _assemble(natoms, offsets, arrays, info, cell, pbc, has_cell, list(layout_of), layout_ids,
                     list(order_of), order_ids, widths)


def _file_numbers(sel: int | slice) -> Callable[[int], str]:
    """Names the k-th frame read by its number in the file, where the selection tells it without the count."""
    if isinstance(sel, int):
        return lambda k: f"frame {sel}"
    step = 1 if sel.step is None else sel.step
    start = 0 if sel.start is None else sel.start
    if step > 0 and start >= 0:
        return lambda k: f"frame {start + k * step}"
    return lambda k: f"frame {k} of the selection {sel.start}:{sel.stop}:{sel.step}"
