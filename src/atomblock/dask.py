"""atomblock.dask: extended XYZ files as one Dask DataFrame of frames, read in parallel.

    import atomblock.dask
    frames = atomblock.dask.read_table("data/*.xyz")       # lazy: one row per frame
    frames.to_parquet("dataset/")                           # converted on the workers

Rows and columns are those of Table.to_arrow (see atomblock._arrow), as pandas
columns backed by Arrow (pd.ArrowDtype): natoms, one list column per per-atom
property, one column per info key, cell, pbc, _properties and _info_keys. As in
a Parquet file, cell and info arrays are list<T> columns (stress/virial: nine
numbers, column by column).

Partitions are runs of whole frames. A file that is not compressed is split at
frame boundaries, found on the client by walking the count lines of the file
(atom lines are skipped, not parsed), so that each partition holds at most
`frames_per_partition` frames and at most `bytes_per_partition` bytes of text
(a single bigger frame is a partition of its own); a compressed file (gzip,
bzip2, xz, found by its first bytes) and a Parquet file are one partition each.
Each partition opens its file itself and reads its own byte range: the client
sends paths (made absolute) and offsets, nothing more.

The columns must be known before anything is read: a first pass over every
partition (run on the cluster, as a Dask computation) reads only the frames'
count and comment lines to learn the property and info-key types; their union
is the DataFrame's schema. Types differing between partitions follow the
Table's rules: ints widen to floats; an info key of other mixed types becomes
text (each value as the comment line writes it); a per-atom property of mixed
types is a ValueError.
"""
from __future__ import annotations

import contextlib
import glob
import io
import json
import mmap
import os
import re
from collections.abc import Iterator, Sequence
from typing import Any

import numpy as np

from . import _arrow, _native, _source
from ._errors import ExtxyzError
from ._frame import FLOAT_PROPERTIES
from ._properties import layout_of_text
from ._read import _frame_headers
from ._table import Table, _from_headers
from ._table import read_table as _read_table

__all__ = ["read_table", "INSTALL_HINT"]

INSTALL_HINT = 'pip install "atomblock[dask]"'
_MAGIC = (b"\x1f\x8b", b"BZh", b"\xfd7zXZ\x00")
_UNITS = {"": 1, "b": 1, "kb": 10**3, "mb": 10**6, "gb": 10**9, "tb": 10**12,
          "kib": 1 << 10, "mib": 1 << 20, "gib": 1 << 30, "tib": 1 << 40}
_INDEX_STEP = 1 << 16  # frames indexed per native call while a file is walked
_TYPES = {"S": "large_string", "R": "float64", "I": "int64", "L": "bool_"}

# (absolute path, first byte, end byte (-1: the end of the file), number of its first frame in
# the file, line number of that frame's count line): what a worker needs to read its frames and
# name a fault at its place in the file.
Part = tuple[str, int, int, int, int]


def _dask() -> Any:
    try:
        import dask.dataframe as dd
        import pandas as pd
    except ImportError as e:
        raise ImportError(f"atomblock.dask needs Dask's DataFrame: {INSTALL_HINT}") from e
    _arrow.pyarrow()
    return dd, pd


def _size(value: int | str | None, what: str) -> int | None:
    if value is None or isinstance(value, int):
        if value is not None and value < 1:
            raise ValueError(f"{what} must be positive, got {value}")
        return value
    m = re.fullmatch(r"\s*(\d+(?:\.\d*)?)\s*([a-zA-Z]*)\s*", value)
    if m is None or m.group(2).lower() not in _UNITS:
        raise ValueError(f"{what}: {value!r} is not a size such as 256 MiB")
    size = int(float(m.group(1)) * _UNITS[m.group(2).lower()])
    if size < 1:
        raise ValueError(f"{what} must be positive, got {value!r}")
    return size


def _paths(paths: str | os.PathLike[str] | Sequence[str | os.PathLike[str]]) -> list[str]:
    """Absolute paths: each item a path or a glob pattern (sorted matches), in order given."""
    items = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    found: list[str] = []
    for item in items:
        text = os.fspath(item)
        if glob.has_magic(text):
            matches = sorted(glob.glob(text))
            if not matches:
                raise FileNotFoundError(f"no file matches {text!r}")
            found += matches
        else:
            if not os.path.exists(text):
                raise FileNotFoundError(f"{text}: no such file")
            found.append(text)
    if not found:
        raise ValueError("no paths given")
    return [os.path.abspath(p) for p in found]


def _compressed(path: str) -> bool:
    with open(path, "rb") as f:
        head = f.read(8)
    return head.startswith(_MAGIC)


def _split(path: str, frames_per: int | None, bytes_per: int | None) -> list[Part]:
    """The partitions of one file: byte ranges of whole frames (see the module docstring)."""
    if _source.is_parquet(path) or _compressed(path) or os.path.getsize(path) == 0:
        return [(path, 0, -1, 0, 1)]
    parts: list[Part] = []
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as buf:
        start = pos = 0
        count = frame = 0
        line = first_line = 1  # the count line of frame `frame`; of the partition's first frame
        first_frame = 0
        while True:
            offsets, natoms, stop, _ = _native.index_frames(buf, pos, _INDEX_STEP)
            if len(offsets) == 0:
                break
            starts = offsets.tolist() + [stop]
            for j, atoms in enumerate(natoms.tolist()):
                end = starts[j + 1]
                full = (frames_per is not None and count >= frames_per) or \
                    (bytes_per is not None and count and end - start > bytes_per)
                if full:  # frame j starts the next partition
                    parts.append((path, start, starts[j], first_frame, first_line))
                    start, count, first_frame, first_line = starts[j], 0, frame, line
                count += 1
                frame += 1
                line += atoms + 2
            pos = stop
            if len(offsets) < _INDEX_STEP:
                break
    # The rest (trailing blank lines, or text the walk stopped at: the reader reports its fault).
    parts.append((path, start, -1, first_frame, first_line))
    return parts


class _Range(io.RawIOBase):
    """Bytes first..end of a file, as an open binary file for the reader (named by its path;
    its tell() counts from the file's start, so messages name the byte the range starts at)."""

    def __init__(self, path: str, first: int, end: int) -> None:
        super().__init__()
        self._f = open(path, "rb")  # closed with the range
        self._f.seek(first)
        self._left = end - first if end >= 0 else None
        self.name = path

    def readable(self) -> bool:
        return True

    def readinto(self, view: Any) -> int:
        want = len(view) if self._left is None else min(len(view), self._left)
        if want <= 0:
            return 0
        with memoryview(view) as mv:
            got = self._f.readinto(mv[:want]) or 0
        if self._left is not None:
            self._left -= got
        return got

    def tell(self) -> int:
        return self._f.tell()

    def close(self) -> None:
        self._f.close()
        super().close()


@contextlib.contextmanager
def _opened(part: Part) -> Iterator[Any]:
    """The part as a source for the readers; a fault in it raised at its place in the whole file."""
    path, first, end, first_frame, first_line = part
    if first == 0 and end < 0:
        yield path
        return
    source = _Range(path, first, end)
    try:
        yield source
    except ExtxyzError as e:
        raise ExtxyzError(path, e.line + first_line - 1, e.frame + first_frame, e.what) from None
    finally:
        source.close()


def _read_part(part: Part, arrays: Sequence[str] | None, info: Sequence[str] | None) -> Table:
    with _opened(part) as source:
        return _read_table(source, arrays=arrays, info=info)


# --- the schema: a first pass over the headers -------------------------------------------------


def _part_schema(part: Part, arrays: Sequence[str] | None, info: Sequence[str] | None) -> Any:
    """The Arrow schema of a partition's frames, from their count and comment lines only."""
    pa = _arrow.pyarrow()
    if _source.is_parquet(part[0]):
        return _read_part(part, arrays, info).to_arrow().schema
    keep_info = None if info is None else frozenset(info)
    with _opened(part) as source:
        headers = list(_frame_headers(source))
    bare = _from_headers(headers, keep_info).to_arrow()
    # Per-atom columns from the Properties texts: R, I, L, S with their counts.
    columns: dict[str, Any] = {}
    for text in dict.fromkeys(header[6] for header in headers):
        for name, kind, _, count in layout_of_text(text).fields:
            if arrays is not None and name not in arrays:
                continue
            typ = getattr(pa, _TYPES["R" if kind == "I" and name in FLOAT_PROPERTIES else kind])()
            if count > 1:
                typ = pa.list_(typ, count)
            seen = columns.get(name)
            if seen is not None and seen != typ:
                typ = _wider(pa, seen, typ)
                if typ is None:
                    raise ValueError(f"{part[0]}: property {name!r} has types {seen} and"
                                     f" {getattr(pa, _TYPES[kind])()} in different frames")
            columns[name] = typ
    fields = [bare.schema.field(_arrow.NATOMS)]
    used = set(_arrow.FRAME_COLUMNS)
    for name, typ in columns.items():
        described = {"kind": "arrays", "name": name, "shape": [typ.list_size] if pa.types.is_fixed_size_list(typ)
                     else []}
        fields.append(pa.field(_arrow._column_name(name, "arrays", used), pa.large_list(typ),
                               metadata={_arrow.META: json.dumps(described)}))
    for field in bare.schema:
        if field.name not in _arrow.FRAME_COLUMNS:
            name = (_arrow._description(field) or {}).get("name", field.name)
            fields.append(field.with_name(_arrow._column_name(name, "info", used)))
    fields += [bare.schema.field(name) for name in _arrow.FRAME_COLUMNS[1:]]
    return pa.schema(fields)


def _wider(pa: Any, a: Any, b: Any) -> Any:
    """The type holding values of both: int64 widens to float64 (also inside lists); None when none does."""
    if a == b:
        return a
    if {a, b} == {pa.int64(), pa.float64()}:
        return pa.float64()
    for is_kind in (pa.types.is_fixed_size_list, pa.types.is_list, pa.types.is_large_list):
        if not (is_kind(a) and is_kind(b)):
            continue
        fixed = is_kind is pa.types.is_fixed_size_list
        if fixed and a.list_size != b.list_size:
            return None
        inner = _wider(pa, a.value_type, b.value_type)
        if inner is None:
            return None
        if fixed:
            return pa.list_(inner, a.list_size)
        return pa.list_(inner) if is_kind is pa.types.is_list else pa.large_list(inner)
    return None


def _union(schemas: list[Any], paths: list[str]) -> Any:
    """One schema for all partitions, columns in first-seen order (frame columns at the ends)."""
    pa = _arrow.pyarrow()
    fields: dict[str, Any] = {}
    for schema, path in zip(schemas, paths, strict=True):
        for field in schema:
            if field.name in _arrow.FRAME_COLUMNS:
                fields.setdefault(field.name, field)
                continue
            seen = fields.get(field.name)
            if seen is None:
                fields[field.name] = field
                continue
            typ = _wider(pa, seen.type, field.type)
            if typ is not None:
                fields[field.name] = seen.with_type(typ)
                continue
            described = _arrow._description(seen) or {}
            if described.get("kind") == "arrays":
                raise ValueError(f"column {field.name!r}: {seen.type} in one partition and {field.type} in"
                                 f" another ({path})")
            text = {key: value for key, value in described.items() if key != "shape"}
            fields[field.name] = pa.field(field.name, _arrow.text_type(pa), metadata={_arrow.META: json.dumps(text)})
    order = [name for name in fields if name not in _arrow.FRAME_COLUMNS]
    columns = [fields[_arrow.NATOMS], *(fields[name] for name in order),
               *(fields[name] for name in _arrow.FRAME_COLUMNS[1:])]
    return pa.schema([f.with_type(pa.large_string()) if f.name in (_arrow.PROPERTIES, _arrow.INFO_KEYS) else f
                      for f in columns])  # as Table.to_arrow gives them: parquet_schema makes the final types


# --- a partition as the schema's columns ---------------------------------------------------------


def _conformed(table: Table, schema: Any) -> Any:
    """The partition's frames as an Arrow table of exactly `schema`'s columns and types."""
    pa = _arrow.pyarrow()
    for field in schema:
        described = _arrow._description(field) or {}
        if described.get("kind") != "info":
            continue
        key = described["name"]
        column = table.info.get(key)
        if column is None:
            continue
        if _arrow.is_text(pa, field.type) and column.dtype.kind != "O":
            has = table.has(key, "info")
            values = np.empty(len(table), dtype=object)
            for k in np.flatnonzero(has).tolist():
                values[k] = table[k].info[key]
            table.info[key] = values
    data = table.to_arrow()
    n = data.num_rows
    columns = []
    for field in schema:
        if field.name in data.column_names:
            column = data.column(field.name)
            if field.name in (_arrow.PROPERTIES, _arrow.INFO_KEYS):
                column = column.cast(pa.large_string())
            columns.append(column if column.type == field.type else column.cast(field.type))
        else:
            columns.append(pa.nulls(n, type=field.type))
    return _arrow.parquet_ready(pa.Table.from_arrays(columns, schema=schema))


def _partition(part: Part, schema: Any, arrays: Sequence[str] | None, info: Sequence[str] | None) -> Any:
    """One partition as a pandas DataFrame of Arrow-backed columns (runs on a worker)."""
    _, pd = _dask()
    data = _conformed(_read_part(part, arrays, info), schema)
    return data.to_pandas(types_mapper=pd.ArrowDtype)


def read_table(paths: str | os.PathLike[str] | Sequence[str | os.PathLike[str]], *,
               frames_per_partition: int | None = None, bytes_per_partition: int | str | None = "256 MiB",
               arrays: Sequence[str] | None = None, info: Sequence[str] | None = None) -> Any:
    """A lazy Dask DataFrame of the frames of extended XYZ (or Parquet) files, one row per frame.

    paths: a path, a glob pattern ("data/*.xyz") or a list of them, read in the order given
    (each pattern's matches sorted). frames_per_partition / bytes_per_partition bound a
    partition of an uncompressed file (None: no bound of that kind; "256 MiB" and the
    like, or an int of bytes). arrays / info: the per-atom properties / info keys to keep,
    as for atomblock.read_table. The columns are those of Table.to_arrow (see the module
    docstring). The client walks the uncompressed files' count lines to split them and runs a
    first Dask pass over the comment lines for the schema; no frame is converted until the
    DataFrame is computed.
    """
    dd, pd = _dask()
    frames_per = _size(frames_per_partition, "frames_per_partition")
    bytes_per = _size(bytes_per_partition, "bytes_per_partition")
    if arrays is not None:
        arrays = list(arrays)
    if info is not None:
        info = list(info)
    parts = [part for path in _paths(paths) for part in _split(path, frames_per, bytes_per)]
    from dask.base import compute
    from dask.delayed import delayed

    delayed_schema = delayed(_part_schema, pure=True)
    # On the current scheduler (a distributed Client when one is set up).
    schemas = compute(*[delayed_schema(part, arrays, info) for part in parts])  # type: ignore[no-untyped-call]
    schema = _union(list(schemas), [part[0] for part in parts])
    meta = _arrow.parquet_schema(schema).empty_table().to_pandas(types_mapper=pd.ArrowDtype)
    return dd.from_map(_partition, parts, schema=schema, arrays=arrays, info=info, meta=meta,
                       label="atomblock-read-table", enforce_metadata=False)
