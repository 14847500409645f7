"""Arrow and Parquet: a Table as a pyarrow.Table of one row per frame, back again, and Parquet files.

The columns (the contract other tools read):

- ``natoms`` int64; ``cell`` fixed_size_list<double, 9>, the three cell vectors one
  after the other (as Lattice lists them), null for a frame without a cell;
  ``pbc`` fixed_size_list<bool, 3>;
- one column per per-atom property: large_list of the per-atom values (float64,
  int64, bool or large_string), each atom a fixed_size_list<T, k> when the property
  has k > 1 columns (``pos`` is large_list<fixed_size_list<double, 3>>); null for a
  frame that lacks the property. The lists are always large_list: their int64
  offsets are the table's own, so the float and int values are shared with the
  Table, not copied, and every file and partition has the same type whatever its
  size;
- one column per info key: float64, int64, bool or large_string; arrays as
  fixed_size_list<T, k> (2-D as nested fixed_size_lists, row by row), except a 3x3
  stress or virial, which is fixed_size_list<T, 9> with the nine numbers in the
  order the comment line lists them (column by column: item 3*j + i is element
  [i, j], as extended XYZ files store these tensors); null where a frame lacks the
  key. A key whose values differ in type between frames (an object column of the
  Table) is struct<extxyz: large_string>: each value's comment-line text (what
  follows ``key=`` in the file), parsed back on reading;
- ``_properties`` and ``_info_keys``: per frame, its per-atom property names in
  Properties order and its info keys in comment-line order, as JSON arrays of
  strings (dictionary-encoded). With them a frame is written back with its own
  columns in its own order: extxyz -> Parquet -> extxyz is byte for byte for
  files written by atomblock.write.

Column names are the property and key names. A name taken already (by a frame
column, or a property and an info key of one name) is given as "arrays.NAME" or
"info.NAME" instead; each column's field metadata (key ``atomblock``, JSON) says
what it holds: {"kind": "arrays" or "info", "name": NAME, "shape": [...]}. Read
without that metadata (Parquet written from pandas, e.g. by Dask), columns are
taken by their types: list columns are per-atom properties named as the column,
the others info keys, a nine-item stress/virial a 3x3 (the reader's own rule).

pyarrow is imported on first use only; without it an ImportError names the extra.
"""
from __future__ import annotations

import json
import os
from collections.abc import Iterable, Iterator, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _native
from ._comment import TENSOR_KEYS, comment_parts, format_key, format_value
from ._frame import Frame
from ._table import Table, _assemble

Array = npt.NDArray[Any]

PARQUET_SUFFIXES = (".parquet", ".pq")
META = b"atomblock"
VERSION = 1
NATOMS, CELL, PBC = "natoms", "cell", "pbc"
PROPERTIES, INFO_KEYS = "_properties", "_info_keys"
FRAME_COLUMNS = (NATOMS, CELL, PBC, PROPERTIES, INFO_KEYS)
INSTALL_HINT = 'pip install "atomblock[arrow]"'
TEXT_FIELD = "extxyz"
_FILLS: dict[str, Any] = {"f": np.nan, "i": 0, "b": False}
# Parquet row groups of about this many bytes of Arrow data: units that readers
# (DuckDB, Dask, iread) take one at a time.
ROW_GROUP_BYTES = 64 << 20
BATCH_FRAMES = 4096  # frames converted at a time by iread of a Parquet file


def pyarrow() -> Any:
    """The pyarrow module; ImportError naming the extra to install when it is missing."""
    try:
        import pyarrow as pa
        import pyarrow.compute  # pa.compute
    except ImportError as e:
        raise ImportError(f"Arrow and Parquet need pyarrow: {INSTALL_HINT}") from e
    return pa


def _parquet() -> Any:
    pyarrow()
    import pyarrow.parquet as pq

    return pq


# --- Table -> Arrow -------------------------------------------------------------------------------


def _validity(pa: Any, mask: Array) -> Any:
    """A validity bitmap of a (n,) bool mask; None when every entry is valid."""
    if mask.all():
        return None
    return pa.py_buffer(np.packbits(mask, bitorder="little"))


def _leaf(pa: Any, flat: Array) -> Any:
    """A 1-D NumPy array as an Arrow array: float64 and int64 share the NumPy memory."""
    kind = flat.dtype.kind
    if kind in "fi":
        flat = np.ascontiguousarray(flat, dtype=np.float64 if kind == "f" else np.int64)
        kind_type = pa.float64() if kind == "f" else pa.int64()
        return pa.Array.from_buffers(kind_type, len(flat), [None, pa.py_buffer(flat)])
    if kind == "b":
        return pa.array(flat, type=pa.bool_())
    if kind == "U":
        return _strings(pa, flat)
    raise TypeError(f"no Arrow column for values of dtype {flat.dtype}")


def _strings(pa: Any, flat: Array) -> Any:
    """A 1-D str array as large_string. ASCII text (species, labels) is laid out natively in one
    pass over the code points; other text item by item by pyarrow."""
    n, width = len(flat), flat.itemsize >> 2
    if n and width:
        made = _native.ascii_strings(np.ascontiguousarray(flat), width)
        if made is not None:
            offsets, data = made
            return pa.Array.from_buffers(pa.large_string(), n, [None, pa.py_buffer(offsets), pa.py_buffer(data)])
    return pa.array(flat, type=pa.large_string())


def _ascii_array(pa: Any, arr: Any) -> Array | None:
    """A string array without nulls as a NumPy str array, when its text is ASCII; else None."""
    if arr.null_count or not len(arr):
        return None
    large = pa.types.is_large_string(arr.type)
    offsets = np.frombuffer(arr.buffers()[1], dtype=np.int64 if large else np.int32)
    offsets = offsets[arr.offset:arr.offset + len(arr) + 1]
    data = np.frombuffer(arr.buffers()[2], dtype=np.uint8)[offsets[0]:offsets[-1]] if arr.buffers()[2] is not None \
        else np.zeros(0, dtype=np.uint8)
    if len(data) and int(data.max()) >= 128:
        return None
    lengths = np.diff(offsets).astype(np.int64)
    width = max(1, int(lengths.max()))
    points = np.zeros((len(arr), width), dtype=np.uint32)
    rows = np.repeat(np.arange(len(arr)), lengths)
    columns = np.arange(len(data)) - np.repeat(offsets[:-1] - offsets[0], lengths)
    points[rows, columns] = data
    return points.view(np.dtype((np.str_, width))).reshape(len(arr))


def _nested(pa: Any, values: Array) -> Any:
    """(m, *shape) values as m items: fixed_size_lists of the trailing dimensions, row by row."""
    arr = _leaf(pa, values.reshape(-1))
    for size in reversed(values.shape[1:]):
        arr = pa.FixedSizeListArray.from_arrays(arr, size)
    return arr


def _atom_array(pa: Any, values: Array, offsets: Array, has: Array) -> Any:
    child = _nested(pa, values)
    offsets = np.ascontiguousarray(offsets, dtype=np.int64)
    return pa.Array.from_buffers(pa.large_list(child.type), len(has), [_validity(pa, has), pa.py_buffer(offsets)],
                                 children=[child])


def _texts(values: Array, has: Array, key: str) -> list[str | None]:
    return [format_value(v, key) if there else None for v, there in zip(values.tolist(), has.tolist(), strict=True)]


def _info_array(pa: Any, key: str, values: Array, has: Array) -> tuple[Any, dict[str, Any]]:
    """An info column and its description: typed, or each value's comment-line text."""
    described: dict[str, Any] = {"kind": "info", "name": key}
    kind = values.dtype.kind
    if kind == "O":
        texts = pa.array(_texts(values, has, key), type=pa.large_string())
        return pa.StructArray.from_arrays([texts], names=[TEXT_FIELD], mask=pa.array(~has)), described
    shape = values.shape[1:]
    described["shape"] = list(shape)
    if key in TENSOR_KEYS and shape == (3, 3) and kind in "if":
        values = values.transpose(0, 2, 1).reshape(len(values), 9)  # the file's order: column by column
    if kind == "U":
        return pa.array(values, type=pa.large_string(), mask=~has), described
    arr = _nested(pa, values)
    if has.all():
        return arr, described
    validity = _validity(pa, has)
    if shape:
        return pa.Array.from_buffers(arr.type, len(arr), [validity], children=[arr.values]), described
    return pa.Array.from_buffers(arr.type, len(arr), [validity, arr.buffers()[1]]), described


def text_type(pa: Any) -> Any:
    """The type of an info column of values of mixed types: each value's comment-line text."""
    return pa.struct([pa.field(TEXT_FIELD, pa.large_string())])


def is_text(pa: Any, typ: Any) -> bool:
    return bool(pa.types.is_struct(typ) and typ.num_fields == 1 and typ.field(0).name == TEXT_FIELD)


def _group_column(pa: Any, groups: list[tuple[str, ...]], ids: Array) -> Any:
    texts = pa.array([json.dumps(list(group), ensure_ascii=False) for group in groups], type=pa.string())
    return pa.DictionaryArray.from_arrays(pa.array(np.asarray(ids, dtype=np.int32), type=pa.int32()), texts)


def _column_name(name: str, kind: str, used: set[str]) -> str:
    """`name`, or "KIND.NAME" (then with "~2", "~3", ...) when a column has that name already."""
    chosen = name if name not in used else f"{kind}.{name}"
    n = 2
    while chosen in used:
        chosen, n = f"{kind}.{name}~{n}", n + 1
    used.add(chosen)
    return chosen


def to_arrow(table: Table) -> Any:
    """The Table as a pyarrow.Table, one row per frame (module docstring: the columns)."""
    pa = pyarrow()
    n = len(table)
    names: list[str] = [NATOMS]
    columns: list[Any] = [pa.array(np.ascontiguousarray(table.natoms, dtype=np.int64))]
    meta: list[dict[str, Any] | None] = [None]
    used = set(FRAME_COLUMNS)
    for name, values in table.arrays.items():
        names.append(_column_name(name, "arrays", used))
        columns.append(_atom_array(pa, values, table.offsets, table.has(name, "arrays")))
        meta.append({"kind": "arrays", "name": name, "shape": list(values.shape[1:])})
    for key, values in table.info.items():
        names.append(_column_name(key, "info", used))
        column, described = _info_array(pa, key, values, table.has(key, "info"))
        columns.append(column)
        meta.append(described)
    cells = np.ascontiguousarray(table.cell, dtype=np.float64).reshape(n, 9)
    cell = _nested(pa, cells)
    names += [CELL, PBC, PROPERTIES, INFO_KEYS]
    columns += [cell.from_buffers(cell.type, n, [_validity(pa, np.asarray(table._has_cell, dtype=bool))],
                                  children=[cell.values]),
                _nested(pa, np.asarray(table.pbc, dtype=bool).reshape(n, 3)),
                _group_column(pa, table._layouts, table._layout_ids),
                _group_column(pa, table._orders, table._order_ids)]
    meta += [None] * 4
    fields = [pa.field(name, column.type, metadata=None if m is None else {META: json.dumps(m, ensure_ascii=False)})
              for name, column, m in zip(names, columns, meta, strict=True)]
    schema = pa.schema(fields, metadata={META: json.dumps({"version": VERSION})})
    return pa.Table.from_arrays(columns, schema=schema)


# --- Arrow -> Table -------------------------------------------------------------------------------


def _one_chunk(pa: Any, column: Any) -> Any:
    if isinstance(column, pa.ChunkedArray):
        if column.num_chunks == 1:
            return column.chunk(0)
        if column.num_chunks == 0:
            return pa.array([], type=column.type)
        return pa.concat_arrays(column.chunks)
    return column


def _is_list(pa: Any, typ: Any) -> bool:
    return bool(pa.types.is_list(typ) or pa.types.is_large_list(typ))


def _leaf_numpy(pa: Any, arr: Any, what: str) -> Array:
    """A 1-D Arrow array as NumPy: float64, int64, bool or str."""
    typ = arr.type
    if pa.types.is_floating(typ):
        if typ != pa.float64():
            arr = arr.cast(pa.float64())
        return np.asarray(arr.to_numpy(zero_copy_only=False), dtype=np.float64)
    if pa.types.is_integer(typ):
        if typ != pa.int64():
            arr = arr.cast(pa.int64())  # an unsigned value above the int64 range is an ArrowInvalid
        if arr.null_count:
            arr = arr.fill_null(0)
        return np.asarray(arr.to_numpy(zero_copy_only=False), dtype=np.int64)
    if pa.types.is_boolean(typ):
        if arr.null_count:
            arr = arr.fill_null(False)
        return np.asarray(arr.to_numpy(zero_copy_only=False), dtype=bool)
    view = getattr(pa.types, "is_string_view", None)  # pyarrow 16 and later
    if pa.types.is_string(typ) or pa.types.is_large_string(typ) or pa.types.is_dictionary(typ) or \
            (view is not None and view(typ)):
        if pa.types.is_dictionary(typ):
            arr = arr.cast(arr.type.value_type)
        if not (pa.types.is_string(arr.type) or pa.types.is_large_string(arr.type)):
            arr = arr.cast(pa.large_string())
        if arr.null_count:
            arr = arr.fill_null("")
        fast = _ascii_array(pa, arr)
        if fast is not None:
            return fast
        texts = arr.to_numpy(zero_copy_only=False)
        return texts.astype(str) if len(texts) else np.zeros(0, dtype="<U1")
    raise TypeError(f"{what}: no Table column holds Arrow values of type {typ}")


def _items(pa: Any, arr: Any, what: str) -> Array:
    """m Arrow items (nested fixed_size_lists of a leaf type) as an (m, *shape) NumPy array."""
    shape: list[int] = []
    while pa.types.is_fixed_size_list(arr.type):
        size = arr.type.list_size
        shape.append(size)
        # Every item, null ones too (flatten() would drop them): rows stay aligned with frames.
        arr = arr.values.slice(arr.offset * size, len(arr) * size)
    flat = _leaf_numpy(pa, arr, what)
    return flat.reshape(-1, *shape)


def _frame_items(pa: Any, arr: Any, what: str) -> Array:
    """A per-frame column as (n, *shape) NumPy: fixed_size_lists, or lists of one length (as
    Parquet files store arrays that may be null), null entries holding the fill value."""
    if not _is_list(pa, arr.type):
        return _items(pa, arr, what)
    n = len(arr)
    lists = np.asarray(arr.offsets, dtype=np.int64)
    lengths = np.diff(lists)
    valid = np.asarray(arr.is_valid(), dtype=bool) if arr.null_count else np.ones(n, dtype=bool)
    sizes = np.unique(lengths[valid])
    if len(sizes) > 1:
        raise ValueError(f"{what}: frames hold arrays of {int(sizes[0])} and {int(sizes[1])} items")
    size = int(sizes[0]) if len(sizes) else 0
    values = _items(pa, arr.values, what)
    if valid.all():
        return values[lists[0]:lists[-1]].reshape(n, size, *values.shape[1:]) if n else \
            values[:0].reshape(0, size, *values.shape[1:])
    kind = values.dtype.kind
    out = np.zeros((n * size, *values.shape[1:]), dtype=values.dtype) if kind == "U" else \
        np.full((n * size, *values.shape[1:]), _FILLS[kind], dtype=values.dtype)
    frames = np.flatnonzero(valid)
    each = np.full(n, size, dtype=np.int64)
    out[_rows(np.arange(n, dtype=np.int64) * size, each, frames)] = values[_rows(lists, each, frames)]
    return out.reshape(n, size, *values.shape[1:])


def parquet_schema(schema: Any) -> Any:
    """The schema as a Parquet file stores it: frame columns that are fixed_size_lists and may
    be null (cell, info arrays) as lists. pyarrow's Parquet reader refuses a null entry in a
    fixed_size_list column ("Expected all lists to be of size=9"); from_arrow reads either."""
    pa = pyarrow()
    fields = [field.with_type(pa.list_(field.type.value_type))
              if pa.types.is_fixed_size_list(field.type) and field.name != PBC else field for field in schema]
    return pa.schema(fields, metadata=schema.metadata)


def parquet_ready(data: Any) -> Any:
    """The Arrow table with the types of parquet_schema."""
    schema = parquet_schema(data.schema)
    return data if schema.equals(data.schema) else data.cast(schema)


def _rows(offsets: Array, natoms: Array, frames: Array) -> Array:
    """The rows offsets[k]:offsets[k] + natoms[k] of the given frames, one after the other."""
    counts = natoms[frames]
    starts = offsets[frames]
    firsts = np.cumsum(counts) - counts
    return np.repeat(starts - firsts, counts) + np.arange(int(counts.sum()), dtype=np.int64)


def _atom_column(pa: Any, arr: Any, natoms: Array, offsets: Array, has: Array, what: str) -> Array:
    """A per-atom list column as the Table's concatenated array: the Arrow values themselves
    when their lists are the frames' rows already, else copied in with fill rows."""
    lists = np.asarray(arr.offsets, dtype=np.int64)
    lengths = np.diff(lists)
    valid = np.asarray(arr.is_valid(), dtype=bool) if arr.null_count else np.ones(len(arr), dtype=bool)
    missing = np.flatnonzero(has & ~valid)
    if len(missing):
        raise ValueError(f"{what}: frame {int(missing[0])} is null where its _properties name the column")
    wrong = np.flatnonzero(has & (lengths != natoms))
    if len(wrong):
        k = int(wrong[0])
        raise ValueError(f"{what}: frame {k} has {int(lengths[k])} values for {int(natoms[k])} atoms")
    values = _items(pa, arr.values, what)
    if has.all() and (len(lists) == 0 or np.array_equal(lists - lists[0], offsets)):
        return values[lists[0]:lists[-1]] if len(lists) else values[:0]
    kind = values.dtype.kind
    out = np.zeros((int(offsets[-1]), *values.shape[1:]), dtype=values.dtype) if kind == "U" else \
        np.full((int(offsets[-1]), *values.shape[1:]), _FILLS[kind], dtype=values.dtype)
    frames = np.flatnonzero(has)
    out[_rows(offsets, natoms, frames)] = values[_rows(lists, natoms, frames)]
    return out


def _str_widths(values: Array, natoms: Array, offsets: Array) -> Array:
    """Per frame, the code points of its longest str (at least 1): the width read() gives."""
    widths = np.ones(len(natoms), dtype=np.int32)
    if values.size == 0:
        return widths
    lengths = np.char.str_len(values)
    while lengths.ndim > 1:
        lengths = lengths.max(axis=-1)
    full = np.flatnonzero(natoms > 0)
    if len(full):
        widths[full] = np.maximum(np.maximum.reduceat(lengths, offsets[full]), 1)
    return widths


def _info_column(pa: Any, arr: Any, key: str, described: dict[str, Any] | None, has: Array, what: str) -> Array:
    n = len(arr)
    if is_text(pa, arr.type):
        column = np.empty(n, dtype=object)
        head = format_key(key)
        for k, text in enumerate(arr.field(0).to_pylist()):
            if has[k]:
                if text is None:
                    raise ValueError(f"{what}: frame {k} is null where its _info_keys name the key")
                column[k] = comment_parts(head + text)[0][key]
        return column
    if arr.null_count and has[~np.asarray(arr.is_valid(), dtype=bool)].any():
        k = int(np.flatnonzero(has & ~np.asarray(arr.is_valid(), dtype=bool))[0])
        raise ValueError(f"{what}: frame {k} is null where its _info_keys name the key")
    values = _frame_items(pa, arr, what)
    shape = tuple(described["shape"]) if described is not None and "shape" in described else \
        ((3, 3) if key in TENSOR_KEYS and values.shape[1:] == (9,) and values.dtype.kind in "if" else values.shape[1:])
    if shape != values.shape[1:]:
        if key in TENSOR_KEYS and shape == (3, 3) and values.shape[1:] == (9,):
            values = values.reshape(n, 3, 3).transpose(0, 2, 1).copy()  # listed column by column
        else:
            values = values.reshape(n, *shape)
    kind = values.dtype.kind
    if not has.all():
        values = values.copy() if kind != "U" else values
        values[~has] = "" if kind == "U" else _FILLS[kind]
    return values


def _groups(pa: Any, data: Any, column: str, present: list[str],
            masks: dict[str, Array] | None, n: int) -> tuple[list[tuple[str, ...]], Array]:
    """The distinct per-frame name orders and each frame's one, from a _properties/_info_keys column
    (names without a column dropped), or, without one, the names of the valid columns in order."""
    if column in data.column_names:
        arr = _one_chunk(pa, data.column(column))
        if arr.null_count:
            raise ValueError(f"column {column!r}: frame {int(np.flatnonzero(~np.asarray(arr.is_valid()))[0])} is null")
        if pa.types.is_dictionary(arr.type):
            texts = arr.dictionary.to_pylist()
            codes = np.asarray(arr.indices.to_numpy(zero_copy_only=False), dtype=np.int64)
        else:
            texts, codes_list = [], []
            number: dict[str, int] = {}
            for text in arr.to_pylist():
                code = number.get(text)
                if code is None:
                    code = number[text] = len(texts)
                    texts.append(text)
                codes_list.append(code)
            codes = np.array(codes_list, dtype=np.int64)
        keep = set(present)
        distinct: dict[tuple[str, ...], int] = {}
        renumber = np.zeros(len(texts), dtype=np.int32)
        for j, text in enumerate(texts):
            try:
                names = json.loads(text)
            except ValueError:
                names = None
            if not isinstance(names, list) or not all(isinstance(name, str) for name in names):
                raise ValueError(f"column {column!r}: {text!r} is not a JSON array of names")
            group = tuple(name for name in names if name in keep)
            renumber[j] = distinct.setdefault(group, len(distinct))
        return list(distinct), renumber[codes] if len(codes) else np.zeros(0, dtype=np.int32)
    assert masks is not None
    if not present:
        return ([()] if n else []), np.zeros(n, dtype=np.int32)
    matrix = np.stack([masks[name] for name in present], axis=1)
    rows, ids = np.unique(matrix, axis=0, return_inverse=True)
    groups = [tuple(name for name, there in zip(present, row.tolist(), strict=True) if there) for row in rows]
    return groups, np.asarray(ids, dtype=np.int32).reshape(-1)


def _kinds(pa: Any, data: Any) -> Any:
    """Whether a column without atomblock metadata is a per-atom property ("arrays") or an
    info key: named in a frame's _properties, or else (without that column) a list column."""
    if PROPERTIES not in data.schema.names:
        return lambda field: "arrays" if _is_list(pa, field.type) else "info"
    column = _one_chunk(pa, data.column(PROPERTIES))
    if pa.types.is_dictionary(column.type):
        column = column.dictionary
    named: set[str] = set()
    for text in pa.compute.unique(column).to_pylist():
        try:
            names = json.loads(text) if text is not None else []
        except ValueError:
            names = []
        if isinstance(names, list):
            named.update(name for name in names if isinstance(name, str))
    return lambda field: "arrays" if field.name in named else "info"


def _description(field: Any) -> dict[str, Any] | None:
    raw = (field.metadata or {}).get(META)
    if raw is None:
        return None
    described = json.loads(raw)
    return described if isinstance(described, dict) else None


def _owned(table: Table) -> Table:
    """The table with its own, writable copy of every column that is a read-only view of Arrow
    memory: what a table read from a file is, whatever the file's format."""
    for columns in (table.arrays, table.info):
        for name, values in columns.items():
            if not values.flags.writeable:
                columns[name] = values.copy()
    if not table.pbc.flags.writeable:
        table.pbc = table.pbc.copy()
    return table


def from_arrow(data: Any) -> Table:
    """A Table of an Arrow table of frames as to_arrow makes them (a pyarrow.Table or RecordBatch).

    Per-atom float and int columns whose lists are the frames' rows (as to_arrow gives them) are
    read-only views of the Arrow memory, not copies; copy a column to write to it."""
    pa = pyarrow()
    if isinstance(data, pa.RecordBatch):
        data = pa.Table.from_batches([data])
    if not isinstance(data, pa.Table):
        raise TypeError(f"expected a pyarrow.Table or RecordBatch, got {type(data).__name__}")
    if NATOMS not in data.column_names:
        raise ValueError("an Arrow table of frames needs a 'natoms' column (atoms per frame)")
    n = data.num_rows
    counts = _one_chunk(pa, data.column(NATOMS))
    if counts.null_count or not pa.types.is_integer(counts.type):
        raise ValueError("column 'natoms' must be integers without nulls")
    natoms = np.asarray(_leaf_numpy(pa, counts, "natoms"), dtype=np.int64)
    if (natoms < 0).any():
        raise ValueError(f"column 'natoms': frame {int(np.flatnonzero(natoms < 0)[0])} has a negative count")
    offsets = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(natoms, out=offsets[1:])

    atom_cols: dict[str, tuple[Any, str]] = {}
    info_cols: dict[str, tuple[Any, dict[str, Any] | None, str]] = {}
    kind_of = _kinds(pa, data)
    for field in data.schema:
        if field.name in FRAME_COLUMNS:
            continue
        described = _description(field)
        kind = described["kind"] if described is not None else kind_of(field)
        name = described["name"] if described is not None else field.name
        arr = _one_chunk(pa, data.column(field.name))
        what = f"column {field.name!r}"
        if kind == "arrays":
            if not _is_list(pa, arr.type):
                raise TypeError(f"{what}: a per-atom property must be a list column, not {arr.type}")
            atom_cols[name] = (arr, what)
        else:
            info_cols[name] = (arr, described, what)

    def valid(arr: Any) -> Array:
        return np.asarray(arr.is_valid(), dtype=bool) if arr.null_count else np.ones(n, dtype=bool)

    atom_masks = {name: valid(arr) for name, (arr, _) in atom_cols.items()} \
        if PROPERTIES not in data.column_names else None
    layouts, layout_ids = _groups(pa, data, PROPERTIES, list(atom_cols), atom_masks, n)
    info_masks = {key: valid(arr) for key, (arr, _, _) in info_cols.items()} \
        if INFO_KEYS not in data.column_names else None
    orders, order_ids = _groups(pa, data, INFO_KEYS, list(info_cols), info_masks, n)

    def holders(name: str, groups: list[tuple[str, ...]], ids: Array) -> Array:
        return np.array([name in group for group in groups], dtype=bool)[ids] if groups else np.zeros(n, bool)

    # Columns that no frame defines (after the name orders) are left out, as read_table leaves them.
    arrays: dict[str, Array] = {}
    widths: dict[str, Array] = {}
    for name, (arr, what) in atom_cols.items():
        has = holders(name, layouts, layout_ids)
        if not has.any():
            continue
        arrays[name] = values = _atom_column(pa, arr, natoms, offsets, has, what)
        if values.dtype.kind == "U":
            widths[name] = _str_widths(values, natoms, offsets)
    info: dict[str, Array] = {}
    for key, (arr, described, what) in info_cols.items():
        has = holders(key, orders, order_ids)
        if has.any():
            info[key] = _info_column(pa, arr, key, described, has, what)

    cell = np.full((n, 3, 3), np.nan)
    has_cell = np.zeros(n, dtype=bool)
    if CELL in data.column_names:
        arr = _one_chunk(pa, data.column(CELL))
        has_cell = valid(arr)
        cells = _frame_items(pa, arr, "column 'cell'")
        if n and cells.shape[1:] != (9,):
            raise ValueError(f"column 'cell' must hold nine numbers per frame, not {cells.shape[1:]}")
        cell = cells.reshape(n, 3, 3).copy()
        cell[~has_cell] = np.nan
    if PBC in data.column_names:
        arr = _one_chunk(pa, data.column(PBC))
        pbc = _frame_items(pa, arr, "column 'pbc'")
        if pbc.shape[1:] != (3,) or pbc.dtype != bool:
            raise ValueError("column 'pbc' must hold three bools per frame")
        if arr.null_count:
            pbc = pbc.copy()
            gone = ~valid(arr)
            pbc[gone] = has_cell[gone, None]
    else:
        pbc = np.repeat(has_cell[:, None], 3, axis=1)
    return _assemble(natoms, offsets, arrays, info, cell, pbc, has_cell, layouts, layout_ids,
                     orders, order_ids, widths)


# --- Parquet files --------------------------------------------------------------------------------


def _selected_columns(path: str, arrays: Sequence[str] | None, info: Sequence[str] | None) -> list[str] | None:
    """The columns of a Parquet file to read for read_table's arrays= and info= (None: all)."""
    if arrays is None and info is None:
        return None
    pq = _parquet()
    pa = pyarrow()
    schema = pq.read_schema(path)
    kind_of = None
    if PROPERTIES in schema.names and any(_description(f) is None for f in schema if f.name not in FRAME_COLUMNS):
        kind_of = _kinds(pa, pq.read_table(path, columns=[PROPERTIES]))
    else:
        kind_of = _kinds(pa, schema.empty_table())
    wanted = {"arrays": None if arrays is None else set(arrays), "info": None if info is None else set(info)}
    chosen = []
    for field in schema:
        if field.name in FRAME_COLUMNS:
            chosen.append(field.name)
            continue
        described = _description(field)
        kind = described["kind"] if described is not None else kind_of(field)
        name = described["name"] if described is not None else field.name
        names = wanted[kind]
        if names is None or name in names:
            chosen.append(field.name)
    return chosen


def read_parquet(source: Any, index: Any = ":", *, arrays: Sequence[str] | None = None,
                 info: Sequence[str] | None = None) -> Table:
    """read_table of a Parquet file: the selected frames, only the columns asked for read."""
    from ._read import _out_of_range, parse_index

    pq = _parquet()
    sel = parse_index(index)
    path = os.fsdecode(source)
    table = _owned(from_arrow(pq.read_table(path, columns=_selected_columns(path, arrays, info))))
    return _select(table, sel, path, _out_of_range)


def _select(table: Table, sel: int | slice, name: str, out_of_range: Any) -> Table:
    if isinstance(sel, int):
        n = len(table)
        if not -n <= sel < n:
            raise out_of_range(sel, name, n)
        picked: Table = table[[sel]]
        return picked
    if sel == slice(None):
        return table
    sliced: Table = table[sel]
    return sliced


def read_frames(source: Any, index: Any) -> Frame | list[Frame]:
    """read() of a Parquet file: a Frame for an int index, else a list."""
    from ._read import parse_index

    sel = parse_index(index)
    table = read_parquet(source, sel)
    return table[0] if isinstance(sel, int) else list(table)


def iread_frames(source: Any, index: Any) -> Iterator[Frame]:
    """iread() of a Parquet file: all frames (or a forward slice) a record batch at a time;
    other selections read the file whole first."""
    from ._read import parse_index

    sel = parse_index(index)
    pq = _parquet()  # the ImportError now, not at the first next()
    path = os.fsdecode(source)
    if isinstance(sel, int):
        return iter([read_frames(path, sel)])  # type: ignore[list-item]
    if (sel.step or 1) < 0 or (sel.start or 0) < 0 or (sel.stop is not None and sel.stop < 0):
        return iter(read_frames(path, sel))  # type: ignore[arg-type]
    return _batches(pq, path, sel.start or 0, sel.stop, sel.step or 1)


def _batches(pq: Any, path: str, start: int, stop: int | None, step: int) -> Iterator[Frame]:
    first = 0  # the number of the batch's first frame in the file
    with pq.ParquetFile(path) as f:
        for batch in f.iter_batches(batch_size=BATCH_FRAMES):
            if stop is not None and first >= stop:
                return
            number = np.arange(first, first + batch.num_rows)
            keep = (number >= start) & ((number - start) % step == 0)
            if stop is not None:
                keep &= number < stop
            first += batch.num_rows
            if keep.any():
                table = _owned(from_arrow(batch))
                yield from (table if keep.all() else table[np.flatnonzero(keep)])


def write_parquet(dest: Any, frames: Table | Iterable[Frame]) -> None:
    """The frames as one Parquet file at a path, replaced whole: written to a hidden temporary
    beside it, synced, then renamed over it (a failure leaves the path as it was)."""
    from ._write import replace_path

    pq = _parquet()
    table = frames if isinstance(frames, Table) else Table.from_frames(frames)
    if isinstance(frames, Table):
        frames._writable()  # the same refusal as an extxyz file: frames that lost their atoms' columns
    data = parquet_ready(to_arrow(table))
    rows = max(1, int(len(table) * ROW_GROUP_BYTES / max(1, data.nbytes)))
    path = os.path.realpath(os.fsdecode(dest))

    def write(fd: int, sync: bool) -> None:
        with os.fdopen(fd, "wb", closefd=False) as f:
            pq.write_table(data, f, compression="zstd", row_group_size=rows)
        if sync:
            os.fsync(fd)

    replace_path(path, write)
