"""Writing a Table: ranges of frames formatted natively straight from its columns, the same bytes
as writing its frames one by one (`list(table)`).

The plan names, once per table, what the native writer reads: per Properties layout the
whole-table columns in Properties order, per info-key order the keys as written and their
columns, and per info key either a typed column (numbers and bools, as scalars, quoted lists, a
one-item [x] or an empty []) or texts that the comment writer of `_comment` made (strings, and
every value it writes as _JSON or otherwise rarely). A table the plan cannot describe, or whose
values the comment writer refuses, is written frame by frame by `_write`, which raises the same
error at the same frame.
"""
from __future__ import annotations

from collections import deque
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _native
from ._comment import TENSOR_KEYS, format_key, format_str, format_value
from ._properties import DEFAULT_PROPERTIES
from ._table import Table

Array = npt.NDArray[Any]

_FLOAT64 = np.dtype(np.float64)
_INT64 = np.dtype(np.int64)
_BOOL = np.dtype(np.bool_)
_KIND_CODES = {_FLOAT64: b"f", _INT64: b"i", _BOOL: b"b"}
_SCALAR, _QUOTED, _BRACKETS, _EMPTY = range(4)  # how a numeric row is written (the native `wrap`)


class _Plan:
    """What the native writer reads of the table, by frame: row offsets, the Properties layout
    and the info-key order of each frame (numbers into `layouts` and `orders`), the info columns
    the orders name, cells and pbc."""

    __slots__ = ("offsets", "layout_ids", "layouts", "order_ids", "orders", "columns", "cells", "has_cell", "pbc")

    def __init__(self, offsets: Array, layout_ids: Array, layouts: list[Any], order_ids: Array,
                 orders: list[list[tuple[bytes, int]]], columns: list[tuple[bytes, Any, Any]], cells: Array,
                 has_cell: Array, pbc: Array) -> None:
        self.offsets, self.layout_ids, self.layouts = offsets, layout_ids, layouts
        self.order_ids, self.orders, self.columns = order_ids, orders, columns
        self.cells, self.has_cell, self.pbc = cells, has_cell, pbc

    def arguments(self, first: int, end: int) -> tuple[Array, Array, list[Any], Array, list[list[tuple[bytes, int]]],
                                                       list[tuple[bytes, Any, Any]], Array, Array, Array, int, int]:
        """write_frames' arguments but the float format for frames [first, end), renumbered so
        that only the layouts, orders and info columns those frames use are passed: a call costs
        what its frames cost, however many layouts and key orders the whole table has."""
        used_layouts, layout_ids = np.unique(self.layout_ids[first:end], return_inverse=True)
        used_orders, order_ids = np.unique(self.order_ids[first:end], return_inverse=True)
        orders = [self.orders[o] for o in used_orders.tolist()]
        number: dict[int, int] = {}
        for order in orders:
            for _, column in order:
                number.setdefault(column, len(number))
        columns = []
        for column in number:
            code, values, wrap = self.columns[column]
            columns.append((code, values, wrap[first:end]) if code == b"t" else (code, values[first:end], wrap))
        return (self.offsets[first:end + 1], layout_ids.reshape(-1).astype(np.int64),
                [self.layouts[lid] for lid in used_layouts.tolist()], order_ids.reshape(-1).astype(np.int64),
                [[(key, number[column]) for key, column in order] for order in orders], columns,
                self.cells[first:end], self.has_cell[first:end], self.pbc[first:end], 0, end - first)


def _codepoints(values: Array) -> Array:
    """A str column's zero-padded UTF-32 code points, (rows, width) uint32, width at least 1."""
    if not values.dtype.isnative:
        values = values.astype(values.dtype.newbyteorder("="))
    width = values.itemsize // 4
    if not width:
        return np.zeros((len(values), 1), np.uint32)
    return np.ascontiguousarray(values).view(np.uint32).reshape(len(values), width)


def _layout(table: Table, frame: int) -> tuple[Any, ...]:
    """The native layout of the frame's Properties, over the whole table's columns."""
    from ._write import _Columns  # _write imports this module

    columns = _Columns(table[frame])
    layout = columns.layout
    strs: list[Array] = []
    floats: list[Array] = []
    ints: list[Array] = []
    bools: list[Array] = []
    for name, kind, _first, count in layout.fields:
        values = table.arrays[name]
        if kind == "S":
            if values.dtype.kind != "U":
                raise TypeError(f"arrays[{name!r}] is not a str column")
            strs += [_codepoints(values)] if count == 1 else [_codepoints(values[:, j]) for j in range(count)]
        elif kind == "R":
            floats.append(values.astype(np.float64, copy=False))
        elif kind == "I":
            if values.dtype != _INT64:
                raise TypeError(f"arrays[{name!r}] is not an int64 column")
            ints.append(values)
        else:
            bools.append(values.astype(np.bool_, copy=False))
    head = ("Properties=" + (layout.text or DEFAULT_PROPERTIES)).encode()
    return layout.col_types, head, strs, columns.widths, floats, ints, bools


def _texts(values: list[Any], where: Array, n: int) -> tuple[bytes, list[bytes], Array]:
    """A text column: each distinct text once, and per frame the index of its own (0 where absent)."""
    found: dict[bytes, int] = {}
    index = np.zeros(n, dtype=np.int64)
    for k, text in zip(where.tolist(), values, strict=True):
        index[k] = found.setdefault(text.encode(), len(found))
    return b"t", list(found) or [b""], index


def _info_column(key: str, column: Array, holders: Array) -> tuple[Any, ...]:
    """The native column of an info key (ValueError/TypeError as the comment writer raises them)."""
    n = len(column)
    code = _KIND_CODES.get(column.dtype)
    if code is not None:
        shape = column.shape[1:]
        tensor = key in TENSOR_KEYS and code != b"b"
        if not shape:
            return code, column, _SCALAR
        if len(shape) == 1 and not (tensor and shape[0] == 9):
            if shape[0] > 1:
                return code, column, _QUOTED
            if shape[0] == 1:
                return code, column, _BRACKETS
            if code == b"f":
                return code, column.reshape(n, 0), _EMPTY
        elif tensor and shape == (3, 3):
            # stress/virial: nine numbers, column by column, as the common writers store them
            return code, np.ascontiguousarray(column.transpose(0, 2, 1)).reshape(n, 9), _QUOTED
    if column.dtype.kind == "U" and column.ndim == 1:
        distinct, inverse = np.unique(column[holders], return_inverse=True)
        texts = [format_str(v).encode() for v in distinct.tolist()]
        index = np.zeros(n, dtype=np.int64)
        index[holders] = inverse.reshape(-1)
        return b"t", texts or [b""], index
    # Anything else as the comment writer writes the frame's own value.
    written = [format_value(column[k] if column.ndim > 1 or column.dtype.kind == "O" else column.item(k), key)
               for k in holders.tolist()]
    return _texts(written, holders, n)


def plan(table: Table) -> _Plan:
    """The native writer's view of the table; ValueError/TypeError for what it cannot write."""
    n = len(table)
    layout_ids = table._layout_ids.astype(np.int64)
    order_ids = table._order_ids.astype(np.int64)
    layouts: list[Any] = [None] * len(table._layouts)
    if n:
        used, firsts = np.unique(layout_ids, return_index=True)
        for lid, k in zip(used.tolist(), firsts.tolist(), strict=True):
            layouts[lid] = _layout(table, k)
    keys = list(table.info)
    columns = []
    for key in keys:
        holders = np.flatnonzero(np.array([key in order for order in table._orders], dtype=bool)[order_ids])
        columns.append(_info_column(key, table.info[key], holders))
    number = {key: j for j, key in enumerate(keys)}
    # A sub-table keeps every key order of its parent; those none of its frames uses may name
    # keys it no longer has.
    used_orders = set(np.unique(order_ids).tolist())
    orders = [[(format_key(key).encode(), number[key]) for key in order] if oid in used_orders else []
              for oid, order in enumerate(table._orders)]
    cells = np.ascontiguousarray(table.cell, dtype=np.float64).reshape(n, 9)
    return _Plan(np.ascontiguousarray(table.offsets, dtype=np.int64), layout_ids, layouts, order_ids, orders,
                 columns, cells, table._has_cell.astype(np.bool_, copy=False),
                 np.ascontiguousarray(table.pbc, dtype=np.bool_))


def ranges(offsets: Array, rows: int) -> list[tuple[int, int]]:
    """Consecutive frame ranges of about `rows` atom rows each (at least one frame each)."""
    n = len(offsets) - 1
    bounds = [0]
    while bounds[-1] < n:
        start = bounds[-1]
        stop = int(np.searchsorted(offsets, offsets[start] + rows, side="right")) - 1
        bounds.append(min(n, max(stop, start + 1)))
    return list(zip(bounds[:-1], bounds[1:], strict=True))


def write_table(put: Callable[[bytes], Any], table: Table, float_format: str, bar: Any, workers: int,
                rows: int, frames_path: Callable[[Any], None]) -> None:
    """The table's frames through `put`, a range of about `rows` atom rows per call; with
    workers > 1 the ranges are formatted on that many threads and written in order. A table the
    plan refuses, and the frames from one whose strings cannot be written, go to `frames_path`
    (the frame-by-frame writer, which raises the error there)."""
    try:
        made = plan(table)
    except (TypeError, ValueError):
        frames_path(iter(table))
        return
    fmt = float_format.encode()

    def formatted(span: tuple[int, int]) -> tuple[bytes, int]:
        faulty: int
        data, faulty = _native.write_frames(*made.arguments(*span), fmt)
        return data, faulty if faulty < 0 else span[0] + faulty

    def done(result: tuple[bytes, int]) -> bool:
        data, faulty = result
        if data:
            put(data)
            bar.update(len(data))
        if faulty >= 0:
            frames_path(table[k] for k in range(faulty, len(table)))
            return False
        return True

    spans = ranges(made.offsets, rows)
    if workers <= 1 or len(spans) <= 1:
        for span in spans:
            if not done(formatted(span)):
                return
        return
    with ThreadPoolExecutor(workers, thread_name_prefix="atomblock-write") as pool:
        ahead: deque[Future[tuple[bytes, int]]] = deque()
        try:
            for span in spans:
                if len(ahead) > workers and not done(ahead.popleft().result()):
                    return
                ahead.append(pool.submit(formatted, span))
            while ahead:
                if not done(ahead.popleft().result()):
                    return
        finally:
            for future in ahead:
                future.cancel()
