"""Reading: a source's text as one buffer, frames indexed natively, then converted frame by frame.

The atom lines never become Python objects: the native reader walks the
buffer (bytes, or a read-only mmap of a big file) from a byte offset. Python
work per frame is the comment line (one regex pass), a cached Properties
layout and views over the reader's matrices.
"""
from __future__ import annotations

import bz2
import gzip
import io
import lzma
import mmap
import os
import re
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import IO, Any, Union

import numpy as np
import numpy.typing as npt

from . import _native, _progress
from ._comment import comment_parts
from ._errors import CommentError, ExtxyzError
from ._frame import Frame
from ._properties import Layout, layout_of_text, str_view, text_layouts

Source = Union[str, "os.PathLike[str]", IO[bytes], IO[str]]
Buffer = bytes | bytearray | mmap.mmap
Index = int | slice | str
Array = npt.NDArray[Any]

MMAP_MIN_BYTES = 1 << 20  # below 1 MiB one read() is cheaper than setting up a mapping
STREAM_CHUNK = 1 << 20  # bytes asked of an unmappable stream at a time (grows with big frames)
INDEX_BATCH = 4096  # frames indexed per native call by iread: 64 KiB of offsets
PROGRESS_ROWS = 1 << 16  # rows per native call in a big frame while a progress bar shows
SHOWN_TEXT = 40  # characters of a faulty line quoted in a message

_DECOMPRESS: dict[str, Callable[[bytes], bytes]] = {
    ".gz": gzip.decompress, ".bz2": bz2.decompress, ".xz": lzma.decompress}
_COUNT_LINE = re.compile(rb"[ \t\r]*(\d+)[ \t\r]*\Z")
_COUNT_LINE_SEARCH = re.compile(rb"^[ \t\r]*\d+[ \t\r]*$", re.M)
_ROW_MESSAGE = re.compile(r"row (\d+): (.*)", re.S)
_ATOM_FLOAT = re.compile(rb"[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|inf|infinity|nan)\Z", re.I)
_ATOM_INT = re.compile(rb"[+-]?\d+\Z")
_ATOM_BOOLS = frozenset((b"T", b"True", b"TRUE", b"true", b"F", b"False", b"FALSE", b"false"))
_INT64_MAX = 2**63 - 1
_TYPE_WORD = {"R": "float", "I": "int", "L": "bool", "S": "UTF-8"}
_new_frame = object.__new__


def _no_pbc() -> Array:
    return np.zeros(3, dtype=bool)


def _full_pbc() -> Array:
    return np.ones(3, dtype=bool)


def _bar(total: int | None, desc: str, enabled: bool) -> Any:
    # progress_bar is looked up at call time, so that it can be replaced (tests record updates).
    return _progress.progress_bar(total, desc, enabled) if enabled else _progress.NO_PROGRESS


def source_name(source: object) -> str:
    if isinstance(source, (str, os.PathLike)):
        return os.fsdecode(source)
    name = getattr(source, "name", None)
    return name if isinstance(name, str) else "<stream>"


def _is_path(source: object) -> bool:
    return isinstance(source, (str, bytes, os.PathLike))


class _Text:
    """The whole text of a source as one buffer; close() releases a mapping."""

    def __init__(self, source: Source) -> None:
        self.name = source_name(source)
        self._mapping: mmap.mmap | None = None
        self.buf: Buffer
        if _is_path(source):
            path = os.fsdecode(source)  # type: ignore[arg-type]
            decompress = _DECOMPRESS.get(os.path.splitext(path)[1].lower())
            with open(path, "rb") as f:
                if decompress is not None:
                    self.buf = decompress(f.read())
                elif os.fstat(f.fileno()).st_size >= MMAP_MIN_BYTES:
                    self._mapping = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
                    self.buf = self._mapping
                else:
                    self.buf = f.read()
        else:
            data = source.read()  # type: ignore[union-attr]
            self.buf = data.encode("utf-8") if isinstance(data, str) else data

    def close(self) -> None:
        if self._mapping is not None:
            self._mapping.close()


def parse_index(index: Index) -> int | slice:
    """An int, a slice, or a string "5", "-1", ":" or "a:b:c" as int or slice."""
    if isinstance(index, (int, np.integer)) and not isinstance(index, bool):
        return int(index)
    if isinstance(index, slice):
        return index
    if isinstance(index, str):
        parts = index.split(":")
        try:
            if len(parts) == 1:
                return int(parts[0])
            if len(parts) <= 3:
                return slice(*(int(p) if p.strip() else None for p in parts))
        except ValueError:
            pass
        raise ValueError(f"index {index!r}: expected an int or a slice like ':', '1:10' or '::2'")
    raise TypeError(f"index must be an int, a slice or a string, not {type(index).__name__}")


def _frames_needed(sel: int | slice) -> int:
    """How many leading frames the selection needs indexed; -1 for all of them."""
    if isinstance(sel, int):
        return sel + 1 if sel >= 0 else -1
    start, stop, step = sel.start, sel.stop, sel.step
    if (step is None or step > 0) and stop is not None and stop >= 0 and (start is None or start >= 0):
        return int(stop)
    return -1


def _quoted(text: bytes) -> str:
    shown = text.decode("utf-8", "backslashreplace").rstrip("\r")
    if len(shown) > SHOWN_TEXT:
        shown = shown[:SHOWN_TEXT] + "..."
    return '"' + shown.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _line_at(buf: Buffer, offset: int) -> bytes:
    end = buf.find(b"\n", offset)
    return bytes(buf[offset:end if end >= 0 else len(buf)])


def stop_error(buf: Buffer, stop: int, line: int, frame: int, name: str) -> tuple[ExtxyzError, bool]:
    """The fault where indexing stopped before the end; the flag says whether the file ended early."""
    text = _line_at(buf, stop)
    m = _COUNT_LINE.match(text)
    if m is None:
        got = "a blank line" if not text.strip() else _quoted(text)
        return ExtxyzError(name, line, frame, f"expected an atom count, got {got}"), False
    natoms = int(m.group(1))
    _, found = _native.skip_lines(buf, stop, natoms + 2)
    if found < 2:
        return ExtxyzError(name, line, frame, "expected a comment line after the atom count, the file ends"), True
    return ExtxyzError(name, line, frame, f"expected {natoms} atom lines after this count line,"
                                          f" the file ends after {found - 2}"), True


def _faulty_column(what: str, tokens: list[bytes], layout: Layout) -> int | None:
    """Which column of an atom line the native reader refused (error path only)."""
    columns = layout.columns
    if what.endswith("ran out"):
        return len(tokens) if len(tokens) < len(columns) else None
    for i, (token, (_, kind)) in enumerate(zip(tokens, columns, strict=False)):
        if kind == "R":
            ok = _ATOM_FLOAT.match(token) is not None
        elif kind == "I":
            ok = _ATOM_INT.match(token) is not None and abs(int(token)) <= _INT64_MAX
        elif kind == "L":
            ok = token in _ATOM_BOOLS
        else:
            try:
                token.decode("utf-8")
                ok = True
            except UnicodeDecodeError:
                ok = False
        if not ok and _TYPE_WORD[kind] in what:
            return i
    return None


def block_error(error: Exception, buf: Buffer, atoms: int, natoms: int, layout: Layout,
                name: str, line: int, frame: int) -> ExtxyzError:
    """An ExtxyzError at the file line of a native reader fault; `line` is the frame's count line."""
    row = int(getattr(error, "row", 0))
    m = _ROW_MESSAGE.match(str(error))
    what = m.group(2) if m else str(error)
    if what.endswith("the data ends"):
        return ExtxyzError(name, line, frame, f"expected {natoms} atom lines after this count line,"
                                              f" the file ends after {row}")
    start, _ = _native.skip_lines(buf, atoms, row)
    tokens = _line_at(buf, start).split()
    if what.endswith("found more"):
        what = f"expected {len(layout.columns)} tokens (Properties={layout.text}), found {len(tokens)}"
    else:
        column = _faulty_column(what, tokens, layout)
        if column is not None:
            cname, kind = layout.columns[column]
            what += f" (column {cname}, expected {kind})"
    return ExtxyzError(name, line + 2 + row, frame, what)


def _read_rows(buf: Buffer, atoms: int, natoms: int, layout: Layout, bar: Any) -> tuple[dict[str, Any], int]:
    """One frame's block in row chunks, moving the progress bar (only with a bar shown)."""
    parts = []
    offset = atoms
    done = 0
    while done < natoms:
        rows = min(PROGRESS_ROWS, natoms - done)
        try:
            cols, end = _native.read_block(buf, offset, rows, layout.col_types, layout.strict, "utf32")
        except _native.BlockError as e:
            e.row += done
            raise
        bar.update(end - offset)
        parts.append(cols)
        offset = end
        done += rows
    joined = {key: np.concatenate([p[key] for p in parts]) for key in ("floats", "ints", "bools")}
    # NumPy widens str arrays of different widths to the widest; back to code points after.
    joined["strs"] = [_points(np.concatenate([str_view(p["strs"][j]) for p in parts]))
                      for j in range(len(parts[0]["strs"]))]
    return joined, offset


def _points(strs: Array) -> Array:
    return strs.view(np.uint32).reshape(len(strs), strs.itemsize // 4)


def convert(buf: Buffer, offset: int, natoms: int, line: int, frame: int, name: str,
            bar: Any | None = None) -> Frame:
    """The frame whose count line starts at `offset` (file line `line`, 1-based)."""
    start = buf.find(b"\n", offset) + 1
    end = buf.find(b"\n", start) if start else -1
    if end < 0:
        end = atoms = len(buf)
    else:
        atoms = end + 1
    try:
        text = buf[start:end].decode("utf-8")
    except UnicodeDecodeError as e:
        raise ExtxyzError(name, line + 1, frame, f"invalid UTF-8 in the comment line at byte {e.start + 1}") from None
    if text[-1:] == "\r":
        text = text[:-1]
    try:
        info, cell, pbc, properties = comment_parts(text)
        layout = text_layouts.get(properties) or layout_of_text(properties)
    except CommentError as e:
        raise ExtxyzError(name, line + 1, frame, str(e)) from None
    try:
        if bar is None:
            cols, _ = _native.read_block(buf, atoms, natoms, layout.col_types, layout.strict, "utf32")
        elif natoms <= PROGRESS_ROWS:
            cols, stop = _native.read_block(buf, atoms, natoms, layout.col_types, layout.strict, "utf32")
            bar.update(stop - offset)
        else:
            bar.update(atoms - offset)
            cols, _ = _read_rows(buf, atoms, natoms, layout, bar)
    except _native.BlockError as e:
        raise block_error(e, buf, atoms, natoms, layout, name, line, frame) from None
    if pbc is None:
        pbc = _no_pbc() if cell is None else _full_pbc()
    made = _new_frame(Frame)  # the reader's values are checked already: no conversion
    made.arrays = layout.arrays(cols)
    made.info = info
    made.cell = cell
    made.pbc = pbc
    return made


class _Index:
    """Frame offsets, atom counts and count-line numbers of a buffer, from `offset` on."""

    def __init__(self, buf: Buffer, offset: int, first_line: int, max_frames: int) -> None:
        offsets, natoms, self.stop, stop_line = _native.index_frames(buf, offset, max_frames)
        self.stop_line = first_line + int(stop_line)
        self.offsets: list[int] = offsets.tolist()
        self.natoms: list[int] = natoms.tolist()
        spans = np.asarray(natoms, dtype=np.int64) + 2
        self.lines: list[int] = (np.cumsum(spans) - spans + first_line).tolist()

    def __len__(self) -> int:
        return len(self.offsets)


def _chunks(items: list[int], parts: int) -> list[list[int]]:
    size = max(1, -(-len(items) // parts))
    return [items[i:i + size] for i in range(0, len(items), size)]


def read(source: Source, index: Index = -1, *, workers: int = 1, progress: bool = False) -> Frame | list[Frame]:
    """Read one frame (int index; -1, the last, by default) or a list of frames (slice, ':' or 'a:b:c').

    Only the frames asked for are converted; `workers` > 1 converts them on
    that many threads (the native reader runs without the interpreter lock),
    with the same result. Faults raise ExtxyzError.
    """
    sel = parse_index(index)
    if workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    text = _Text(source)
    try:
        buf, name = text.buf, text.name
        need = _frames_needed(sel)
        idx = _Index(buf, 0, 1, need)
        if (need < 0 or len(idx) < need) and idx.stop != len(buf):
            raise stop_error(buf, idx.stop, idx.stop_line, len(idx), name)[0]
        if isinstance(sel, int):
            k = sel + len(idx) if sel < 0 else sel
            if not 0 <= k < len(idx):
                raise IndexError(f"frame index {sel} out of range: {name} has {len(idx)} frames")
            chosen = [k]
        else:
            chosen = list(range(len(idx)))[sel]
        total = None
        if progress:
            ends = idx.offsets[1:] + [idx.stop]
            total = sum(ends[k] - idx.offsets[k] for k in chosen)
        with _bar(total, os.path.basename(name), progress) as bar:
            shown = bar if progress else None

            def run(ks: list[int]) -> list[Frame]:
                return [convert(buf, idx.offsets[k], idx.natoms[k], idx.lines[k], k, name, shown) for k in ks]

            if workers > 1 and len(chosen) > 1:
                with ThreadPoolExecutor(workers) as pool:
                    frames = [f for part in pool.map(run, _chunks(chosen, workers * 4)) for f in part]
            else:
                frames = run(chosen)
    finally:
        text.close()
    return frames[0] if isinstance(sel, int) else frames


def _forward(sel: int | slice) -> tuple[int, int | None, int] | None:
    """(start, stop, step) when the selection walks forward from a non-negative start, else None."""
    if isinstance(sel, int):
        return (sel, sel + 1, 1) if sel >= 0 else None
    step = 1 if sel.step is None else sel.step
    start = 0 if sel.start is None else sel.start
    if step <= 0 or start < 0 or (sel.stop is not None and sel.stop < 0):
        return None
    return start, sel.stop, step


def iread(source: Source, index: Index = ":", *, progress: bool = False) -> Iterator[Frame]:
    """Yield the selected frames one at a time, holding one frame's arrays at a time.

    A file is mapped (or, compressed, decompressed) and indexed in batches; an
    open file that is read front to back is read in chunks, frame by frame.
    """
    sel = parse_index(index)
    forward = _forward(sel)
    if not _is_path(source) and forward is not None:
        return _iread_stream(source, forward, progress)  # type: ignore[arg-type]
    return _iread_text(source, sel, forward, progress)


def _iread_text(source: Source, sel: int | slice, forward: tuple[int, int | None, int] | None,
                progress: bool) -> Iterator[Frame]:
    text = _Text(source)
    try:
        buf, name = text.buf, text.name
        with _bar(len(buf), os.path.basename(name), progress) as bar:
            shown = bar if progress else None
            if forward is None:
                idx = _Index(buf, 0, 1, -1)
                if idx.stop != len(buf):
                    raise stop_error(buf, idx.stop, idx.stop_line, len(idx), name)[0]
                if isinstance(sel, int):
                    k = sel + len(idx)
                    if k < 0:
                        raise IndexError(f"frame index {sel} out of range: {name} has {len(idx)} frames")
                    chosen = [k]
                else:
                    chosen = list(range(len(idx)))[sel]
                for k in chosen:
                    yield convert(buf, idx.offsets[k], idx.natoms[k], idx.lines[k], k, name, shown)
                return
            start, stop, step = forward
            offset, line, first = 0, 1, 0
            while True:
                batch = INDEX_BATCH if stop is None else min(INDEX_BATCH, stop - first)
                if batch <= 0:
                    return
                idx = _Index(buf, offset, line, batch)
                for j in range(len(idx)):
                    k = first + j
                    if k >= start and (k - start) % step == 0:
                        yield convert(buf, idx.offsets[j], idx.natoms[j], idx.lines[j], k, name, shown)
                first += len(idx)
                offset, line = idx.stop, idx.stop_line
                if len(idx) < batch:
                    if offset != len(buf):
                        raise stop_error(buf, offset, line, first, name)[0]
                    if isinstance(sel, int):
                        raise IndexError(f"frame index {sel} out of range: {name} has {first} frames")
                    return
    finally:
        text.close()


def _iread_stream(stream: IO[Any], forward: tuple[int, int | None, int], progress: bool) -> Iterator[Frame]:
    """Frames of an open file read in chunks: the buffer holds about one frame's text."""
    name = source_name(stream)
    start, stop, step = forward
    try:
        total: int | None = os.fstat(stream.fileno()).st_size - stream.tell()
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        total = None
    buf = bytearray()
    offset, line, k, ended = 0, 1, 0, False
    with _bar(total, os.path.basename(name), progress) as bar:
        while stop is None or k < stop:
            idx = _Index(buf, offset, line, 1)
            # A frame that reaches the end of the buffer may go on in the next chunk.
            if len(idx) and (idx.stop < len(buf) or ended):
                if k >= start and (k - start) % step == 0:
                    # convert() moves the bar by the frame's bytes, inside big frames too.
                    yield convert(buf, idx.offsets[0], idx.natoms[0], line, k, name, bar if progress else None)
                else:
                    bar.update(idx.stop - offset)
                offset, line, k = idx.stop, idx.stop_line, k + 1
                if offset > STREAM_CHUNK and offset * 2 > len(buf):
                    del buf[:offset]
                    offset = 0
                continue
            if ended:
                if idx.stop != len(buf):
                    raise stop_error(buf, idx.stop, idx.stop_line, k, name)[0]
                if stop is not None and stop == start + 1 and step == 1 and k <= start:
                    raise IndexError(f"frame index {start} out of range: {name} has {k} frames")
                return
            whole = buf.find(b"\n", idx.stop)
            if whole >= 0 and _line_at(buf, idx.stop).strip() and _COUNT_LINE.match(_line_at(buf, idx.stop)) is None:
                raise stop_error(buf, idx.stop, idx.stop_line, k, name)[0]
            chunk = stream.read(max(STREAM_CHUNK, len(buf) - offset))
            if not chunk:
                ended = True
            else:
                buf += chunk.encode("utf-8") if isinstance(chunk, str) else chunk


def check(source: Source) -> list[ExtxyzError]:
    """Every fault of a file, in file order; after a bad count line, checking resumes at the next count line."""
    text = _Text(source)
    errors: list[ExtxyzError] = []
    try:
        buf, name = text.buf, text.name
        offset, line, k = 0, 1, 0
        while True:
            idx = _Index(buf, offset, line, -1)
            for j in range(len(idx)):
                try:
                    convert(buf, idx.offsets[j], idx.natoms[j], idx.lines[j], k + j, name)
                except ExtxyzError as e:
                    errors.append(e)
            k += len(idx)
            if idx.stop == len(buf):
                return errors
            error, ended = stop_error(buf, idx.stop, idx.stop_line, k, name)
            errors.append(error)
            if ended:
                return errors
            after = buf.find(b"\n", idx.stop)
            found = _COUNT_LINE_SEARCH.search(buf, after + 1) if after >= 0 else None
            if found is None:
                return errors
            line = idx.stop_line + 1 + buf[after + 1:found.start()].count(b"\n")
            offset, k = found.start(), k + 1
    finally:
        text.close()
