"""Writing: each frame as a count line, a canonical comment line and one native atom block, in bytes."""
from __future__ import annotations

import bz2
import gzip
import io
import lzma
import os
from typing import IO, Any, Callable, Iterable, Literal, Union, cast

import numpy as np
import numpy.typing as npt

from . import _native
from ._comment import format_comment
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


# Small frames repeat their species frame after frame: checked code points are kept by
# content, so a repeat costs one hash of the array's bytes.
_POINTS_CACHE_MAX_ATOMS = 1024
_POINTS_CACHE_LIMIT = 64  # distinct string columns kept
_points_cache: dict[tuple[str, bytes], Array] = {}


def _codepoints(values: Array, name: str, natoms: int) -> Array:
    """Zero-padded UTF-32 code points, (natoms, width) uint32; ValueError for a value that is not one token."""
    text = values if values.dtype.kind == "U" else values.astype(str)
    if not text.dtype.isnative:
        text = text.astype(text.dtype.newbyteorder("="))
    text = np.ascontiguousarray(text)
    if natoms > _POINTS_CACHE_MAX_ATOMS:
        return _checked_points(text, name, natoms)
    key = (text.dtype.str, text.tobytes())
    points = _points_cache.get(key)
    if points is None:
        points = _checked_points(text, name, natoms).copy()  # not a view of the caller's array
        if len(_points_cache) >= _POINTS_CACHE_LIMIT:
            _points_cache.clear()
        _points_cache[key] = points
    return points


def _checked_points(text: Array, name: str, natoms: int) -> Array:
    width = text.itemsize // 4
    points = text.view(np.uint32).reshape(natoms, width) if width else np.zeros((natoms, 1), np.uint32)
    if natoms:
        if points[:, 0].min() == 0:
            empty = int(np.flatnonzero(points[:, 0] == 0)[0])
            raise ValueError(f"arrays[{name!r}]: empty string at atom {empty}")
        # Padding zeros wrap around to the largest value: only 1..32 fall below the bound.
        if (points - 1).min() < _LAST_BLANK:
            blank = (points - 1) < _LAST_BLANK
            atom = int(np.flatnonzero(blank.any(axis=1))[0])
            raise ValueError(f"arrays[{name!r}]: {str(text[atom])!r} at atom {atom} holds a blank"
                             " or control character: it would not read back as one token")
    return points


def _matrix(parts: list[Array], natoms: int, dtype: Any) -> Array:
    """One (natoms, columns) matrix of the given dtype; a lone 2-D part of that dtype as it is (strided)."""
    if not parts:
        return np.empty((natoms, 0), dtype)
    if len(parts) == 1:
        mat = parts[0]
        if mat.ndim == 1:
            mat = mat.reshape(natoms, 1)
    else:
        mat = np.concatenate([p.reshape(natoms, 1) if p.ndim == 1 else p for p in parts], axis=1)
    return mat if mat.dtype == dtype else mat.astype(dtype)


def _widths(codes: bytes, nstrs: int) -> list[int]:
    """"%-2s" for a string that starts the line; later strings get no padding (no trailing blanks)."""
    return [SYMBOL_WIDTH if j == 0 and codes[:1] == b"s" else 0 for j in range(nstrs)]


def _columns(frame: Frame) -> tuple[int, str, bytes, list[Array], list[Array], list[Array], list[Array]]:
    """natoms, Properties text, codes, string code points, and the float, int and bool parts in order."""
    arrays = {name: values if type(values) is np.ndarray else np.asarray(values)
              for name, values in frame.arrays.items()}
    natoms = next((len(v) for v in arrays.values() if v.ndim), 0)
    layout = layout_of_arrays(arrays, natoms)
    strs: list[Array] = []
    floats: list[Array] = []
    ints: list[Array] = []
    bools: list[Array] = []
    for name, kind, _first, count in layout.fields:
        values = arrays[name]
        if kind == "S":
            strs.extend(_codepoints(values if count == 1 else values[:, j], name, natoms) for j in range(count))
        elif kind == "R":
            floats.append(values)
        elif kind == "I":
            if values.dtype.kind == "u" and values.dtype.itemsize == 8 and natoms and int(values.max()) > _INT64_MAX:
                raise ValueError(f"arrays[{name!r}]: values above the int64 range")
            ints.append(values)
        else:
            bools.append(values.view(np.uint8))
    return natoms, layout.text, layout.col_types, strs, floats, ints, bools


def _header(frame: Frame, natoms: int, properties: str) -> bytes:
    cell = frame.cell
    if cell is not None and not (type(cell) is np.ndarray and cell.dtype == np.float64 and cell.shape == (3, 3)):
        cell = np.asarray(cell, dtype=np.float64).reshape(3, 3)
    pbc = frame.pbc
    if not (type(pbc) is np.ndarray and pbc.dtype == np.bool_ and pbc.shape == (3,)):
        pbc = np.asarray(pbc, dtype=bool).reshape(3)
    comment = format_comment(properties, frame.info, cell, pbc)
    return f"{natoms}\n{comment}\n".encode("utf-8")


def _write_frames(put: Callable[[bytes], Any], frames: Iterable[Frame], float_format: FloatFormat,
                  bar: Any) -> None:
    pending: list[bytes] = []  # small frames' text, written in one call per WRITE_BATCH bytes
    size = 0
    for frame in frames:
        natoms, properties, codes, strs, floats, ints, bools = _columns(frame)
        header = _header(frame, natoms, properties)
        widths = _widths(codes, len(strs))
        if natoms <= WRITE_ROWS:
            block = _native.write_block(strs, widths, _matrix(floats, natoms, np.float64),
                                        _matrix(ints, natoms, np.int64), _matrix(bools, natoms, np.uint8),
                                        codes, float_format)
            pending.append(header)
            pending.append(block)
            size += len(header) + len(block)
            if size >= WRITE_BATCH:
                put(b"".join(pending))
                bar.update(size)
                pending.clear()
                size = 0
            continue
        if pending:
            put(b"".join(pending))
            bar.update(size)
            pending.clear()
            size = 0
        put(header)
        bar.update(len(header))
        # Parts are joined chunk by chunk too: small joined matrices stay in cache.
        for first in range(0, natoms, WRITE_ROWS):
            rows = slice(first, first + WRITE_ROWS)
            n = min(WRITE_ROWS, natoms - first)
            block = _native.write_block([s[rows] for s in strs], widths,
                                        _matrix([p[rows] for p in floats], n, np.float64),
                                        _matrix([p[rows] for p in ints], n, np.int64),
                                        _matrix([p[rows] for p in bools], n, np.uint8), codes, float_format)
            put(block)
            bar.update(len(block))
    if pending:
        put(b"".join(pending))
        bar.update(size)


def write(dest: Dest, frames: Union[Frame, Iterable[Frame]], *, append: bool = False,
          float_format: str = "fixed", progress: bool = False) -> None:
    """Write a frame or frames: to a path (replaced, or appended to with append=True; .gz, .bz2
    and .xz compress) or to an open file (binary, or text).

    float_format "fixed" writes per-atom floats as "%16.8f"; "shortest" writes the
    shortest text that reads back to the same float. Comment-line floats are
    always shortest.
    """
    if float_format not in FLOAT_FORMATS:
        raise ValueError(f"float_format must be one of {FLOAT_FORMATS}, got {float_format!r}")
    fmt = cast(FloatFormat, float_format)
    todo: Iterable[Frame] = (frames,) if isinstance(frames, Frame) else frames
    name = source_name(dest)
    with _bar(None, os.path.basename(name), progress) as bar:
        if _is_path(dest):
            path = os.fsdecode(dest)  # type: ignore[arg-type]
            opener = _OPENERS.get(os.path.splitext(path)[1].lower(), open)
            with opener(path, "ab" if append else "wb") as f:
                _write_frames(f.write, todo, fmt, bar)
        elif isinstance(dest, io.TextIOBase) or (
                not isinstance(dest, (io.RawIOBase, io.BufferedIOBase)) and hasattr(dest, "encoding")):
            text_dest = cast("IO[str]", dest)

            def put(data: bytes) -> None:
                text_dest.write(data.decode("utf-8"))

            _write_frames(put, todo, fmt, bar)
        else:
            _write_frames(cast("IO[bytes]", dest).write, todo, fmt, bar)
