"""Writing: each frame as a count line, a canonical comment line and one native atom block, in bytes."""
from __future__ import annotations

import bz2
import gzip
import io
import lzma
import os
import re
from collections import deque
from collections.abc import Callable, Iterable
from concurrent.futures import Future, ThreadPoolExecutor
from typing import IO, Any, Literal, Union, cast

import numpy as np
import numpy.typing as npt

from . import _native
from ._comment import format_header
from ._frame import Frame
from ._properties import layout_of_arrays
from ._read import _bar, _is_path, source_name

Array = npt.NDArray[Any]
Dest = Union[str, "os.PathLike[str]", IO[bytes], IO[str]]

FLOAT_FORMATS = ("fixed", "shortest")
FloatFormat = Literal["fixed", "shortest"]
SYMBOL_WIDTH = 2  # a string first on the line is left-justified to "%-2s", the usual symbol field
_INT64_MAX = 2**63 - 1
# Small frames are joined up to 64 KiB per write call (one call per frame costs more); below
# the C allocator's 128 KiB threshold the joined text reuses heap memory, not fresh pages.
WRITE_BATCH = 1 << 16
# Big frames are formatted 16384 rows (about 2 MB of text) at a time: the text stays in
# the caches and its memory is reused, where one whole-frame text costs fresh pages.
WRITE_ROWS = 1 << 14
_LAST_BLANK = 32  # code points 1..32 (controls and space) would split or end an atom-line token
_OPENERS: dict[str, Callable[..., Any]] = {".gz": gzip.open, ".bz2": bz2.open, ".xz": lzma.open}
_ALL_ROWS = slice(None)
_FLOAT64 = np.dtype(np.float64)
_INT64 = np.dtype(np.int64)
_BOOL = np.dtype(np.bool_)


# Per exact (name, type, dtype, shape) signature of a frame's arrays that needs no
# conversion: (natoms, layout, names of the S, R, I and L properties, string widths).
_plans: dict[tuple[Any, ...] | None, tuple[Any, ...]] = {}
_CACHE_LIMIT = 1024  # distinct array signatures kept; a trajectory has one or a few
_STR_FAULT = re.compile(r"str_cols\[(\d+)\]: (empty string|blank)")


def _codepoints(values: Array, natoms: int) -> Array:
    """Zero-padded UTF-32 code points of a str column, (natoms, width) uint32 (a view when it can)."""
    text = values
    if text.dtype.kind != "U":
        text = text.astype(str)
    if not text.dtype.isnative:
        text = text.astype(text.dtype.newbyteorder("="))
    width = text.itemsize // 4
    if not width:
        return np.zeros((natoms, 1), np.uint32)
    if not text.flags.c_contiguous:
        text = np.ascontiguousarray(text)
    return text.view(np.uint32).reshape(natoms, width)


def _string_fault(points: Array, name: str, atom: int, empty: bool) -> ValueError:
    if empty:
        return ValueError(f"arrays[{name!r}]: empty string at atom {atom}")
    text = "".join(map(chr, points[atom].tolist())).rstrip("\0")
    return ValueError(f"arrays[{name!r}]: {text!r} at atom {atom} holds a blank"
                      " or control character: it would not read back as one token")


def _check_points(strs: list[Array], names: list[str], natoms: int) -> None:
    """The native string check done by NumPy over a whole big frame, before any chunk is written."""
    for points, name in zip(strs, names, strict=True):
        if not natoms:
            continue
        if points[:, 0].min() == 0:
            raise _string_fault(points, name, int(np.flatnonzero(points[:, 0] == 0)[0]), True)
        # Padding zeros wrap around to the largest value: only 1..32 fall below the bound.
        blank = (points - 1) < _LAST_BLANK
        if blank.any():
            raise _string_fault(points, name, int(np.flatnonzero(blank.any(axis=1))[0]), False)


def _widths(codes: bytes, nstrs: int) -> list[int]:
    """"%-2s" for a string that starts the line; later strings get no padding (no trailing blanks)."""
    return [SYMBOL_WIDTH if j == 0 and codes[:1] == b"s" else 0 for j in range(nstrs)]


class _Columns:
    """One frame's values for write_block: code points per string column (with its property
    name), and the float, int and bool parts in Properties order (1-D or 2-D, unjoined)."""

    __slots__ = ("natoms", "layout", "strs", "names", "widths", "floats", "ints", "bools")

    def __init__(self, frame: Frame) -> None:
        arrays = frame.arrays
        try:
            # Exact types, dtypes and shapes: what a cached plan was made and checked for.
            key: tuple[Any, ...] | None = tuple([(name, type(v), v.dtype, v.shape) for name, v in arrays.items()])
        except AttributeError:  # not all arrays
            key = None
        plan = _plans.get(key)
        if plan is None:
            self._convert(arrays, key)
            return
        natoms, self.layout, str_names, float_names, int_names, bool_names, self.widths = plan
        self.natoms = natoms
        self.names = str_names
        strs = [arrays[name] for name in str_names]
        # The width from the item size: reshape(0, -1) cannot infer it for a frame of no atoms.
        self.strs = [(v if v.flags.c_contiguous else np.ascontiguousarray(v)).view(np.uint32)
                     .reshape(natoms, v.itemsize // 4) for v in strs]
        self.floats = [arrays[name] for name in float_names]
        self.ints = [arrays[name] for name in int_names]
        self.bools = [arrays[name] for name in bool_names]

    def _convert(self, arrays: dict[str, Any], key: tuple[Any, ...] | None) -> None:
        """Any frame's arrays; a plan is cached when they need no conversion but a str view."""
        if not all(type(values) is np.ndarray for values in arrays.values()):
            arrays = {name: np.asarray(values) for name, values in arrays.items()}
        natoms = next((len(v) for v in arrays.values() if v.ndim), 0)
        layout = layout_of_arrays(arrays, natoms)
        self.natoms, self.layout = natoms, layout
        self.strs: list[Array] = []
        self.names: list[str] = []
        self.floats: list[Array] = []
        self.ints: list[Array] = []
        self.bools: list[Array] = []
        plain = key is not None and all(t is np.ndarray for _, t, _, _ in key)
        for name, kind, _first, count in layout.fields:
            values = arrays[name]
            if kind == "R":
                plain = plain and values.dtype == _FLOAT64
                self.floats.append(values if values.dtype is _FLOAT64 or values.dtype == _FLOAT64
                                   else values.astype(np.float64))
            elif kind == "S":
                plain = plain and count == 1 and values.dtype.kind == "U" and values.dtype.isnative \
                    and values.itemsize > 0
                for j in range(count):
                    self.strs.append(_codepoints(values if count == 1 else values[:, j], natoms))
                    self.names.append(name)
            elif kind == "I":
                if values.dtype is not _INT64 and values.dtype != _INT64:
                    plain = False
                    if (values.dtype.kind == "u" and values.dtype.itemsize == 8 and natoms
                            and int(values.max()) > _INT64_MAX):
                        raise ValueError(f"arrays[{name!r}]: values above the int64 range")
                    values = values.astype(np.int64)
                self.ints.append(values)
            else:
                plain = plain and values.dtype == np.bool_
                self.bools.append(values)
        self.widths = _widths(layout.col_types, len(self.strs)) if self.strs else []
        if plain:
            names = {kind: tuple(name for name, k, _, _ in layout.fields if k == kind) for kind in "SRIL"}
            if len(_plans) >= _CACHE_LIMIT:
                _plans.clear()
            _plans[key] = (natoms, layout, list(names["S"]), names["R"], names["I"], names["L"], self.widths)

    def block(self, rows: slice, n: int, float_format: FloatFormat) -> bytes:
        """The text of the given rows (all of them: slice(None)); string faults as ValueError."""
        whole = rows.start is None
        try:
            return _native.write_block(
                self.strs if whole else [s[rows] for s in self.strs], self.widths,
                self.floats if whole else [p[rows] for p in self.floats],
                self.ints if whole else [p[rows] for p in self.ints],
                self.bools if whole else [p[rows] for p in self.bools],
                self.layout.col_types, float_format, n, whole)
        except _native.BlockError as e:
            m = _STR_FAULT.match(str(e))
            if m is None:
                raise
            k = int(m.group(1))
            raise _string_fault(self.strs[k], self.names[k], e.row, m.group(2) == "empty string") from None


def _header(frame: Frame, natoms: int, properties: str) -> bytes:
    cell = frame.cell
    if cell is not None and not (type(cell) is np.ndarray and cell.dtype is _FLOAT64 and cell.shape == (3, 3)):
        cell = np.asarray(cell, dtype=np.float64).reshape(3, 3)
    pbc = frame.pbc
    if not (type(pbc) is np.ndarray and pbc.dtype is _BOOL and pbc.shape == (3,)):
        pbc = np.asarray(pbc, dtype=bool).reshape(3)
    return format_header(natoms, properties, frame.info, cell, pbc)


def _write_frames(put: Callable[[bytes], Any], frames: Iterable[Frame], float_format: FloatFormat,
                  bar: Any, workers: int) -> None:
    pending: list[bytes] = []  # small frames' text, written in one call per WRITE_BATCH bytes
    size = 0
    pool: ThreadPoolExecutor | None = None  # made at the first big frame
    try:
        for frame in frames:
            columns = _Columns(frame)
            natoms = columns.natoms
            if natoms <= WRITE_ROWS:
                block = columns.block(_ALL_ROWS, natoms, float_format)
                header = _header(frame, natoms, columns.layout.text)
                pending.append(header)
                pending.append(block)
                size += len(header) + len(block)
                if size >= WRITE_BATCH:
                    put(b"".join(pending))
                    bar.update(size)
                    pending.clear()
                    size = 0
                continue
            _check_points(columns.strs, columns.names, natoms)
            header = _header(frame, natoms, columns.layout.text)
            if pending:
                put(b"".join(pending))
                bar.update(size)
                pending.clear()
                size = 0
            put(header)
            bar.update(len(header))
            if workers > 1 and pool is None:
                pool = ThreadPoolExecutor(workers, thread_name_prefix="atomblock-write")
            _write_chunks(put, columns, natoms, float_format, bar, pool, workers)
        if pending:
            put(b"".join(pending))
            bar.update(size)
    finally:
        if pool is not None:
            pool.shutdown()


def _write_chunks(put: Callable[[bytes], Any], columns: _Columns, natoms: int, float_format: FloatFormat,
                  bar: Any, pool: ThreadPoolExecutor | None, workers: int) -> None:
    """A big frame's atom lines, WRITE_ROWS at a time. With a pool, its threads format the next
    chunks while this thread hands the finished ones to the file, in order (the formatting runs
    without the interpreter lock); without one, each chunk is formatted, then written."""
    if pool is None:
        for first in range(0, natoms, WRITE_ROWS):
            _put_block(put, columns.block(slice(first, first + WRITE_ROWS),
                                          min(WRITE_ROWS, natoms - first), float_format), bar)
        return
    ahead: deque[Future[bytes]] = deque()
    for first in range(0, natoms, WRITE_ROWS):
        if len(ahead) > workers:
            _put_block(put, ahead.popleft().result(), bar)
        ahead.append(pool.submit(columns.block, slice(first, first + WRITE_ROWS),
                                 min(WRITE_ROWS, natoms - first), float_format))
    while ahead:
        _put_block(put, ahead.popleft().result(), bar)


def _put_block(put: Callable[[bytes], Any], block: bytes, bar: Any) -> None:
    put(block)
    bar.update(len(block))


def write(dest: Dest, frames: Frame | Iterable[Frame], *, append: bool = False,
          float_format: str = "fixed", workers: int = 1, progress: bool = False) -> None:
    """Write a frame or frames: to a path (replaced, or appended to with append=True; .gz, .bz2
    and .xz compress) or to an open file (binary, or text).

    float_format "fixed" writes per-atom floats as "%16.8f"; "shortest" writes the
    shortest text that reads back to the same float. Comment-line floats are
    always shortest. With workers=N > 1, a frame of more than WRITE_ROWS atoms is
    formatted in row chunks on N helper threads while the calling thread writes
    them in order; the file is the same.
    """
    if float_format not in FLOAT_FORMATS:
        raise ValueError(f"float_format must be one of {FLOAT_FORMATS}, got {float_format!r}")
    if workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    fmt = cast(FloatFormat, float_format)
    todo: Iterable[Frame] = (frames,) if isinstance(frames, Frame) else frames
    name = source_name(dest)
    with _bar(None, os.path.basename(name), progress) as bar:
        if _is_path(dest):
            path = os.fsdecode(dest)  # type: ignore[arg-type]
            opener = _OPENERS.get(os.path.splitext(path)[1].lower(), open)
            with opener(path, "ab" if append else "wb") as f:
                _write_frames(f.write, todo, fmt, bar, workers)
        elif isinstance(dest, io.TextIOBase) or (
                not isinstance(dest, (io.RawIOBase, io.BufferedIOBase)) and hasattr(dest, "encoding")):
            text_dest = cast("IO[str]", dest)

            def put(data: bytes) -> None:
                text_dest.write(data.decode("utf-8"))

            _write_frames(put, todo, fmt, bar, workers)
        else:
            _write_frames(cast("IO[bytes]", dest).write, todo, fmt, bar, workers)
