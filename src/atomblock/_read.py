"""Reading: a source read in chunks, whole frames indexed natively in the buffer, then converted.

The atom lines never become Python objects: the native reader walks the
buffer from a byte offset. Python work per frame is the comment line (one
regex pass), a cached Properties layout and views over the reader's matrices.
The buffer holds about one chunk plus the frame being read: text already
converted is dropped, so memory does not grow with the file (only with what
the selection keeps). The last frames of an uncompressed regular file are found
by an index pass that keeps no text, and then only their bytes are read. With
workers > 1, mid-sized frames are converted on a thread pool while the scanner
reads on; big ones are read in row ranges on all its threads.
"""
from __future__ import annotations

import os
import re
import threading
from collections import deque
from collections.abc import Iterator
from concurrent.futures import Future, ThreadPoolExecutor, wait
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _native, _progress, _source
from ._comment import comment_parts
from ._errors import CommentError, ExtxyzError, ExtxyzNote
from ._frame import Frame
from ._properties import Layout, layout_of_text, str_view, text_layouts
from ._source import ByteSource, Source, SourceFault, check_source, is_parquet, source_name

__all__ = ["read", "iread", "check", "parse_index", "source_name", "Source"]

Buffer = bytes | bytearray
Index = int | slice | str
Array = npt.NDArray[Any]

INDEX_BATCH = 4096  # frames indexed per native call: 64 KiB of offsets
PROGRESS_ROWS = 1 << 16  # rows per native call in a big frame while a progress bar shows
SHOWN_TEXT = 40  # characters of a faulty line quoted in a message
POOL_ROWS = 1024  # with workers > 1, frames of fewer atoms are read on the calling thread
SPLIT_ROWS = 1 << 14  # with workers > 1, a frame of this many atoms is read in row ranges at once
POOL_TASK_BYTES = 2 << 20  # text per thread gathered before the pool is given a task (fewer handoffs)
MAX_COUNT_LINE = 1024  # bytes: a longer line where a count line belongs is refused at once
MAX_COMMENT_LINE = 64 << 20  # bytes: a longer comment line is refused at once (never read to its end)
# Properties may declare this many columns whatever the atom lines, and more only as many as
# the frame's first atom line can hold (a byte and a blank each): a hostile count is refused
# before it is expanded, while a line merely too short is reported at itself ("ran out").
COLUMNS_ALWAYS_ALLOWED = 1 << 20

_COUNT_LINE = re.compile(rb"[ \t\r]*(\d+)[ \t\r]*\Z")
_COUNT_PREFIX = re.compile(rb"[ \t\r]*\d*[ \t\r]*\Z")  # what an unfinished count line may hold
_COUNT_LINE_SEARCH = re.compile(rb"^[ \t\r]*\d+[ \t\r]*$", re.M)
_NOT_BLANK = re.compile(rb"[^ \t\r\n]")
_INT64_MAX = 2**63 - 1
_new_frame = object.__new__
# Control characters and undecodable bytes as quoted: visible escapes, each shown once.
_SHOWN_CONTROL = {**{c: f"\\x{c:02x}" for c in range(32)}, 0x7F: "\\x7f", 0x09: "\\t", 0x0D: "\\r",
                  0x5C: "\\\\", 0x22: '\\"', **{0xDC80 + b: f"\\x{0x80 + b:02x}" for b in range(128)}}

def _no_pbc() -> Array:
    return np.zeros(3, dtype=bool)


def _full_pbc() -> Array:
    return np.ones(3, dtype=bool)


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


def _quoted(text: bytes) -> str:
    """A line as quoted in a message: at most SHOWN_TEXT characters, control characters and
    invalid UTF-8 as escapes (\\x00, \\r, \\x8b), a line-ending CR left out."""
    if text.endswith(b"\r"):
        text = text[:-1]
    shown = text[:SHOWN_TEXT * 4].decode("utf-8", "surrogateescape")
    cut = len(shown) > SHOWN_TEXT or len(text) > SHOWN_TEXT * 4
    return '"' + shown[:SHOWN_TEXT].translate(_SHOWN_CONTROL) + ('..."' if cut else '"')


def _count_fault(buf: Buffer, pos: int, line: int, frame: int, name: str,
                 final: bool) -> tuple[ExtxyzError | None, int]:
    """What the line at `pos`, where a count line belongs, tells when indexing stopped there.

    Returns (fault, natoms): a fault that is certain now (a line that is not a count line, too
    long, a count too large); else (None, natoms of a well-formed count line, or -1 while the
    line is unfinished and may still become one). `final`: the buffer holds the rest of the text.
    """
    eol = buf.find(b"\n", pos)
    text = bytes(buf[pos:eol if eol >= 0 else min(len(buf), pos + MAX_COUNT_LINE + 1)])
    if eol < 0 and not final:
        if _COUNT_PREFIX.match(text) is None:
            if len(text) <= SHOWN_TEXT * 4:
                return None, -1  # quoted once as much of the line as a message shows is here
            got = _quoted(text)
        elif len(text) > MAX_COUNT_LINE:
            return ExtxyzError(name, line, frame, f"count line longer than {MAX_COUNT_LINE} bytes"), -1
        else:
            return None, -1
        return ExtxyzError(name, line, frame, f"expected an atom count, got {got}"), -1
    m = _COUNT_LINE.match(text)
    if m is None:
        got = "a blank line" if not text.strip() else _quoted(text)
        return ExtxyzError(name, line, frame, f"expected an atom count, got {got}"), -1
    if len(text) > MAX_COUNT_LINE:
        return ExtxyzError(name, line, frame, f"count line longer than {MAX_COUNT_LINE} bytes"), -1
    digits = m.group(1).lstrip(b"0") or b"0"
    if len(digits) > 19 or int(digits) > _INT64_MAX:
        shown = digits.decode() if len(digits) <= SHOWN_TEXT else digits[:SHOWN_TEXT].decode() + "..."
        return ExtxyzError(name, line, frame, f"atom count {shown} is too large (at most 2**63 - 1)"), -1
    return None, int(digits)


def cut_short_error(buf: Buffer, pos: int, natoms: int, line: int, frame: int, name: str,
                    complete: bool) -> ExtxyzError | None:
    """The first fault of a frame that the text cuts short, in file order: a fault in its comment
    line or in the atom lines it has comes before its missing end. `complete`: the text really ends
    at the end of the buffer (else its last unfinished line is not looked at, and None means that
    no fault is certain yet)."""
    end, found = _native.skip_lines(buf, pos, min(natoms + 2, _INT64_MAX))
    if not complete and end == len(buf) and buf[-1:] != b"\n":
        found -= 1
    if found < 2:
        if not complete:
            return None
        return ExtxyzError(name, line, frame, "expected a comment line after the atom count, the file ends")
    rows = found - 2
    try:
        convert(buf, pos, rows, line, frame, name)
    except ExtxyzError as e:
        return e
    if not complete:
        return None
    return ExtxyzError(name, line, frame, f"expected {natoms} atom lines after this count line,"
                                          f" the file ends after {rows}")


def block_error(error: _native.BlockError, natoms: int, layout: Layout, name: str, line: int,
                frame: int) -> ExtxyzError:
    """An ExtxyzError at the file line of a native reader fault; `line` is the frame's count line,
    `natoms` its atom count (the block read may have been a part of it: error.row counts from the
    frame's first atom line)."""
    row = error.row
    if error.kind == "too_few_lines":
        return ExtxyzError(name, line, frame, f"expected {natoms} atom lines after this count line,"
                                              f" the file ends after {row}")
    if error.kind == "too_many_tokens":
        what = f"expected {len(layout.columns)} tokens (Properties={layout.text}), found {error.found}"
    else:
        what = error.detail
        if error.column is not None:
            cname, kind = layout.columns[error.column]
            what += f" (column {cname}, expected {kind})"
    return ExtxyzError(name, line + 2 + row, frame, what)


def _read_rows(buf: Buffer, atoms: int, natoms: int, layout: Layout, bar: Any,
               strict: bool) -> tuple[dict[str, Any], int]:
    """One frame's block in row chunks, moving the progress bar (only with a bar shown)."""
    parts = []
    offset = atoms
    done = 0
    while done < natoms:
        rows = min(PROGRESS_ROWS, natoms - done)
        try:
            cols, end = _native.read_block(buf, offset, rows, layout.col_types, strict, "utf32")
        except _native.BlockError as e:
            e.row += done
            raise
        bar.update(end - offset)
        parts.append(cols)
        offset = end
        done += rows
    return _joined(parts), offset


def _joined(parts: list[dict[str, Any]]) -> dict[str, Any]:
    """The native reader's columns of consecutive row ranges, as one read of them all gives."""
    joined = {key: np.concatenate([p[key] for p in parts]) for key in ("floats", "ints", "bools")}
    # NumPy widens str arrays of different widths to the widest; back to code points after.
    joined["strs"] = [_points(np.concatenate([str_view(p["strs"][j]) for p in parts]))
                      for j in range(len(parts[0]["strs"]))]
    return joined


def _read_ranges(buf: Buffer, atoms: int, natoms: int, layout: Layout, pool: ThreadPoolExecutor,
                 ranges: int, strict: bool) -> tuple[dict[str, Any], int]:
    """One frame's block read in `ranges` row ranges at once on the pool's (idle) threads. The fault
    of the lowest row wins, as in one read."""
    per = -(-natoms // ranges)
    rows = [min(per, natoms - k * per) for k in range(ranges) if k * per < natoms]
    starts = [atoms]
    for r in rows[:-1]:
        starts.append(_native.skip_lines(buf, starts[-1], r)[0])
    futures = [pool.submit(_native.read_block, buf, at, r, layout.col_types, strict, "utf32")
               for at, r in zip(starts, rows, strict=True)]
    wait(futures)  # the buffer is read by them until then
    outcomes: list[Any] = [f.exception() or f.result() for f in futures]
    done = 0
    for outcome, r in zip(outcomes, rows, strict=True):
        if isinstance(outcome, BaseException):
            if isinstance(outcome, _native.BlockError):
                outcome.row += done
            raise outcome
        done += r
    return _joined([cols for cols, _ in outcomes]), outcomes[-1][1]


def _points(strs: Array) -> Array:
    return strs.view(np.uint32).reshape(len(strs), strs.itemsize // 4)


class ExtraTokens(Exception):
    """A strict read found tokens past the declared columns (check reports them as a note)."""

    def __init__(self, line: int, found: int, columns: int) -> None:
        super().__init__(line, found, columns)
        self.line, self.found, self.columns = line, found, columns


def _comment_of(buf: Buffer, offset: int, natoms: int, line: int, frame: int,
                name: str) -> tuple[int, dict[str, Any], Array | None, Array | None, Layout]:
    """(offset of the first atom line, info, cell, pbc or None, layout) of the frame whose count line
    starts at `offset`: its comment line parsed, and its faults raised at that line. No atom line is
    read, only the first one's length (the bound on the columns Properties may declare)."""
    start = buf.find(b"\n", offset) + 1
    end = buf.find(b"\n", start) if start else -1
    if end < 0:
        end = atoms = len(buf)
    else:
        atoms = end + 1
    if end - start > MAX_COMMENT_LINE:
        raise ExtxyzError(name, line + 1, frame, f"comment line longer than {MAX_COMMENT_LINE >> 20} MiB:"
                                                 f" {_quoted(bytes(buf[start:start + SHOWN_TEXT * 4]))}")
    try:
        text = buf[start:end].decode("utf-8")
    except UnicodeDecodeError as e:
        raise ExtxyzError(name, line + 1, frame, f"invalid UTF-8 in the comment line at byte {e.start + 1}") from None
    if text[-1:] == "\r":
        text = text[:-1]
    try:
        info, cell, pbc, properties = comment_parts(text)
        layout = text_layouts.get(properties)
        # A cached layout within the columns always allowed needs no look at the atom lines.
        if layout is None or len(layout.col_types) > COLUMNS_ALWAYS_ALLOWED:
            max_columns = COLUMNS_ALWAYS_ALLOWED
            if natoms:
                first_end = buf.find(b"\n", atoms)
                max_columns = max(max_columns, ((first_end if first_end >= 0 else len(buf)) - atoms + 1) // 2)
            if layout is None or len(layout.col_types) > max_columns:
                layout = layout_of_text(properties, max_columns=max_columns)
    except CommentError as e:
        raise ExtxyzError(name, line + 1, frame, str(e)) from None
    return atoms, info, cell, pbc, layout


def convert(buf: Buffer, offset: int, natoms: int, line: int, frame: int, name: str,
            bar: Any | None = None, strict: bool = False, pool: ThreadPoolExecutor | None = None,
            ranges: int = 1) -> Frame:
    """The frame whose count line starts at `offset` (file line `line`, 1-based).

    Tokens past the declared columns are ignored; with `strict` they raise ExtraTokens. A frame
    of SPLIT_ROWS atoms or more is read in `ranges` row ranges at once, on the idle `pool`.
    """
    atoms, info, cell, pbc, layout = _comment_of(buf, offset, natoms, line, frame, name)
    try:
        if pool is not None and ranges > 1 and natoms >= SPLIT_ROWS:
            cols, stop = _read_ranges(buf, atoms, natoms, layout, pool, ranges, strict)
            if bar is not None:
                bar.update(stop - offset)
        elif bar is None:
            cols, _ = _native.read_block(buf, atoms, natoms, layout.col_types, strict, "utf32")
        elif natoms <= PROGRESS_ROWS:
            cols, stop = _native.read_block(buf, atoms, natoms, layout.col_types, strict, "utf32")
            bar.update(stop - offset)
        else:
            bar.update(atoms - offset)
            cols, _ = _read_rows(buf, atoms, natoms, layout, bar, strict)
    except _native.BlockError as e:
        error = block_error(e, natoms, layout, name, line, frame)
        if e.kind == "too_many_tokens" and e.found is not None:  # only a strict read looks past the last column
            raise ExtraTokens(error.line, e.found, len(layout.columns)) from None
        raise error from None
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

    @classmethod
    def single(cls, offset: int, natoms: int, line: int, stop: int) -> _Index:
        """The index of one frame whose end is known."""
        idx = cls.__new__(cls)
        idx.offsets, idx.natoms, idx.lines = [offset], [natoms], [line]
        idx.stop, idx.stop_line = stop, line + natoms + 2
        return idx

    def __len__(self) -> int:
        return len(self.offsets)



def _newlines(buf: Buffer, offset: int, most: int) -> tuple[int, int]:
    """(n, end): the first n <= `most` newlines from `offset` on, and the offset just after the last."""
    end, found = _native.skip_lines(buf, offset, min(most, _INT64_MAX))
    if found and buf[end - 1:end] != b"\n":  # the last line runs to the end of the buffer unfinished
        found -= 1
        end = buf.rfind(b"\n", offset, end) + 1 or offset
    return found, end


class _Scanner:
    """Whole frames of a source, batch by batch, from a buffer of about one chunk plus one frame.

    `batch()` returns the next frames complete in the buffer (their text stays in `buf` until the
    next call), reading more when none is; it raises ExtxyzError where the walk cannot go on.
    `resumable` then says whether check() may look for the next count line (`resync()`).
    """

    def __init__(self, src: ByteSource) -> None:
        self.src = src
        self.name = src.name
        self.buf = bytearray()
        self.start = 0  # offset in buf of the next frame's count line
        self.line = 1  # file line at `start`
        self.frame = 0  # frames before `start`
        self.ended = False  # the source has no more bytes (at its end or after a fault)
        self.fault: SourceFault | None = None
        self.bytes_read = 0
        self.resumable = True
        self.dropped = 0  # bytes dropped from the front of `buf`: buf[i] is byte dropped + i of the text
        self.hold: int | None = None  # text from this offset (counted as `dropped` is) stays in `buf`
        self._stopped = -1  # where (counted as `hold`) the last walk stopped short of the buffer's end
        self._recent = 0  # bytes of the last frame walked: a read asks for a chunk more than that
        self._lines = 0  # lines of the frame cut short counted so far (after its count line)
        self._natoms = 0  # its atom count
        self._lent = False  # `buf` is lent to converting threads: read on into another buffer
        self.spares: list[bytearray] = []  # buffers given back after such a loan
        self.chunks = 1  # chunks per read (more while buffers are lent: fewer of them, reused sooner)
        self._blank_line = 0  # the first of blank lines dropped while waiting for what follows them
        self._resync_here = False  # the fault was in lines already dropped: resync() starts at `start`
        # A frame cut short by the end of the buffer: newlines it still needs, buffer bytes
        # from `start` already counted, where its comment line starts (offsets from `start`).
        self._need = 0
        self._counted = 0
        self._comment = 0

    @property
    def final(self) -> bool:
        return self.ended and self.fault is None

    def batch(self, max_frames: int) -> _Index | None:
        while True:
            buf = self.buf
            if self._need > 0 and not self.ended:
                self._count_newlines()
                if self._need > 0:
                    self._fill()
                    continue
                # The frame cut short is whole now, and where it ends is known: no walk needed.
                natoms = self._natoms
                idx = _Index.single(self.start, natoms, self.line, self.start + self._counted)
                self._need = 0
                self.start, self.line = idx.stop, idx.stop_line
                self.frame += 1
                self._recent = self._counted
                return idx
            if self._stopped == self.start + self.dropped and not self.ended:
                self._stopped = -1  # the last walk found no whole frame here: no need to walk again
                self._wait_or_raise()
                self._fill()
                continue
            idx = _Index(buf, self.start, self.line, max_frames)
            if not self.final:
                self._trim(idx)
            if len(idx) or (self.final and idx.stop == len(buf)):
                if self._blank_line and (len(idx) or _NOT_BLANK.search(buf, self.start)):
                    self.resumable = self._resync_here = True
                    raise ExtxyzError(self.name, self._blank_line, self.frame,
                                      "expected an atom count, got a blank line")
                self._need = 0
                self.start, self.line = idx.stop, idx.stop_line
                self.frame += len(idx)
                if len(idx):
                    self._recent = idx.stop - idx.offsets[-1]
                    if len(idx) < max_frames and idx.stop < len(buf):
                        self._stopped = idx.stop + self.dropped
                return idx if len(idx) else None
            self._wait_or_raise()
            self._fill()

    def _trim(self, idx: _Index) -> None:
        """Keep the frames that no later byte can change: not one whose last line may go on, nor
        blank lines at the end of the buffer (a frame after them makes them a fault)."""
        buf = self.buf
        if idx.stop < len(buf):
            return
        if not idx.offsets:
            idx.stop, idx.stop_line = self.start, self.line
            return
        last_end, _ = _native.skip_lines(buf, idx.offsets[-1], idx.natoms[-1] + 2)
        if last_end < len(buf) or buf[-1:] == b"\n":
            idx.stop, idx.stop_line = last_end, idx.lines[-1] + idx.natoms[-1] + 2
        else:
            idx.stop, idx.stop_line = idx.offsets.pop(), idx.lines.pop()
            idx.natoms.pop()

    def _count_newlines(self) -> None:
        buf = self.buf
        found, end = _newlines(buf, self.start + self._counted, self._need)
        self._need -= found
        self._lines += found
        self._counted = end - self.start
        comment = self.start + self._comment
        if self._need > 0 and buf.find(b"\n", comment) < 0 and len(buf) - comment > MAX_COMMENT_LINE:
            self._need = 0  # found to be too long by _wait_or_raise
            self._wait_or_raise()

    def _wait_or_raise(self) -> None:
        """No whole frame at `start`, the source not at its end: raise when no later byte can mend
        what the buffer holds there, else return to read more."""
        buf, pos, line, frame, name = self.buf, self.start, self.line, self.frame, self.name
        final = self.final
        eol = buf.find(b"\n", pos)
        natoms = -1
        if eol >= 0 and not final and not buf[pos:eol].strip():
            # Blank lines: a fault only when text follows them. Until then drop them and remember where.
            if _NOT_BLANK.search(buf, pos):
                fault: ExtxyzError | None = ExtxyzError(name, line, frame, "expected an atom count, got a blank line")
            else:
                last = buf.rfind(b"\n") + 1
                self._blank_line = self._blank_line or line
                self.line += buf.count(b"\n", pos, last)
                self.start = last
                fault = self._fault_error()
                if fault is None:
                    return
        elif self._blank_line and _NOT_BLANK.match(buf, pos):
            fault = ExtxyzError(name, line, frame, "text after blank lines")  # replaced below
        else:
            fault, natoms = _count_fault(buf, pos, line, frame, name, final)
            if fault is None and natoms >= 0:
                if self.fault is not None or final:
                    fault = cut_short_error(buf, pos, natoms, line, frame, name, final) or self._fault_error()
                else:
                    fault = self._frame_fault(pos, natoms)
                    if fault is None:
                        self._comment = eol + 1 - pos
                        found, end = _newlines(buf, eol + 1, natoms + 1)
                        self._need = natoms + 1 - found
                        self._counted = end - pos
                        self._lines = found
                        self._natoms = natoms
                        return
            elif fault is None:
                fault = self._fault_error()
                if fault is None:
                    return
        assert fault is not None
        if self._blank_line and self.fault is None:  # the blank lines before come first
            fault = ExtxyzError(name, self._blank_line, frame, "expected an atom count, got a blank line")
            self._resync_here = True
            self.resumable = True
        else:
            self.resumable = self.fault is None and natoms < 0
        raise fault

    def _frame_fault(self, pos: int, natoms: int) -> ExtxyzError | None:
        """A frame cut short by the end of the buffer that cannot end: a comment line longer than
        MAX_COMMENT_LINE, or more lines than an uncompressed file has bytes left."""
        buf = self.buf
        comment = buf.find(b"\n", pos) + 1
        if buf.find(b"\n", comment) < 0 and len(buf) - comment > MAX_COMMENT_LINE:
            return ExtxyzError(self.name, self.line + 1, self.frame,
                               f"comment line longer than {MAX_COMMENT_LINE >> 20} MiB:"
                               f" {_quoted(bytes(buf[comment:comment + SHOWN_TEXT * 4]))}")
        remaining = self.src.remaining()
        if remaining is not None:
            left = len(buf) - comment + remaining
            if left < natoms + 1:  # each line takes a byte at least
                fault = cut_short_error(buf, pos, natoms, self.line, self.frame, self.name, False)
                return fault or ExtxyzError(self.name, self.line, self.frame,
                                            f"expected {natoms} atom lines after this count line,"
                                            f" the file has only {left} bytes after it")
        return None

    def _fault_error(self) -> ExtxyzError | None:
        """The source fault, if any, at the line after the last whole one."""
        if self.fault is None:
            return None
        self.resumable = False
        done = self.line - 1 + self.buf.count(b"\n", self.start)
        return ExtxyzError(self.name, done + 1, self.frame, f"{self.fault.lead} after line {done}: {self.fault.reason}")

    def lend(self) -> None:
        """The current buffer is being read by others: the next read goes to another buffer."""
        self._lent = True

    def _fill(self) -> None:
        buf = self.buf
        cut = self.start if self.hold is None else min(self.start, self.hold - self.dropped)
        keep = len(buf) - cut
        if self._lent:
            # On into a buffer given back (its memory in use already), the text kept copied over.
            self._lent = False
            new = self.spares.pop() if self.spares else bytearray()
            if len(new) < keep:
                _source.grow(new, keep - len(new))
            with memoryview(buf) as view:
                new[:keep] = view[cut:]
            buf = self.buf = new
            self.start -= cut
            self.dropped += cut
        elif cut:
            if keep <= cut:
                # The text still needed moves to the front; the bytes after it are read over, so
                # that the buffer keeps its memory (no fresh pages to fault in at every read).
                with memoryview(buf) as view:
                    view[:keep] = view[cut:]
            else:  # much text kept: cheaper to let go of the front than to move it
                del buf[:cut]
            self.start -= cut
            self.dropped += cut
        # A chunk (and a frame's worth, after big frames), or as much as the buffer holds already
        # (no new memory); at least as much again as is kept, so a frame that grows past the
        # buffer is walked a bounded number of times.
        room = len(buf) - keep
        chunk = _source.CHUNK * self.chunks
        want = max(keep, room if room >= chunk else chunk + self._recent)
        remaining = self.src.remaining()
        if self._need > 0 and self._lines and remaining is not None:
            # A frame cut short in a file of known length: room for the rest of it at once, by the
            # length of its lines so far (the buffer then grows once, not by doubling).
            have = self._counted - self._comment
            want = max(want, min(have // self._lines * self._need + _source.CHUNK, remaining))
        kept = KEPT.buffers
        if keep + want > len(buf) and kept and len(buf) < len(kept[-1]) <= 2 * (keep + want):
            # The buffer must grow: into the bigger one an earlier read left, whose pages are in
            # memory already (fresh pages cost about a fifth of converting what they hold); not
            # for a read that fills less than half of it (the buffer would shrink, its pages freed).
            try:
                spare = kept.pop()
            except IndexError:  # taken by another thread meanwhile
                spare = buf
            if spare is not buf:
                with memoryview(buf) as view:
                    spare[:keep] = view[:keep]
                buf = self.buf = spare
        try:
            got = self.src.fill(buf, keep, want)
        except SourceFault as e:
            self.fault = e
            self.ended = True
            got = len(buf) - keep
        self.bytes_read += got
        if got == 0 or self.src.remaining() == 0:
            self.ended = True

    def resync(self) -> bool:
        """After a line that is not a count line: on to the next line that is one (False: none).
        The faulty line counts as a frame, as a reader that took it for one would."""
        self.frame += 1
        self._need = 0
        self._blank_line = 0
        skipped = 0  # bytes of the faulty line dropped
        in_line = not self._resync_here
        self._resync_here = False
        while True:
            buf = self.buf
            if in_line:
                eol = buf.find(b"\n", self.start)
                if eol >= 0:
                    self.start, self.line, in_line = eol + 1, self.line + 1, False
                    continue
                skipped += len(buf) - self.start
                self.start = len(buf)
                if skipped > MAX_COMMENT_LINE:
                    return False
            else:
                m = _COUNT_LINE_SEARCH.search(buf, self.start)
                if m is not None and (m.end() < len(buf) or self.final):
                    self.line += buf.count(b"\n", self.start, m.start())
                    self.start = m.start()
                    self.resumable = True
                    return True
                last = m.start() if m is not None else buf.rfind(b"\n", self.start) + 1
                if last > self.start:
                    self.line += buf.count(b"\n", self.start, last)
                    self.start = last
                if len(buf) - self.start > MAX_COMMENT_LINE:
                    in_line, skipped = True, 0
            if self.ended:
                return False
            self._fill()


class _CountingBar:
    """A progress bar that remembers how many bytes it was moved by."""

    __slots__ = ("bar", "done")

    def __init__(self, bar: Any) -> None:
        self.bar = bar
        self.done = 0

    def update(self, nbytes: int) -> None:
        self.done += nbytes
        self.bar.update(nbytes)


def _span(idx: _Index, j: int) -> tuple[int, int]:
    return idx.offsets[j], idx.offsets[j + 1] if j + 1 < len(idx) else idx.stop


_Kept = tuple[int, int, int, int, int]  # a frame's text span, atom count, count-line number and frame number


def _forward(sel: int | slice) -> tuple[int, int | None, int] | None:
    """(start, stop, step) when the selection walks forward from a non-negative start, else None."""
    if isinstance(sel, int):
        return (sel, sel + 1, 1) if sel >= 0 else None
    step = 1 if sel.step is None else sel.step
    start = 0 if sel.start is None else sel.start
    if step <= 0 or start < 0 or (sel.stop is not None and sel.stop < 0):
        return None
    return start, sel.stop, step


def _out_of_range(sel: int | slice, name: str, n: int) -> IndexError:
    return IndexError(f"frame index {sel} out of range: {name} has {n} frames")


def _chosen(sel: int | slice, n: int, name: str) -> list[int]:
    """The frame numbers that `sel` picks among the `n` frames of `name`, in selection order.

    An int counts from the end when negative; one that picks no frame raises read()'s IndexError
    (a slice picks what there is, perhaps nothing). The forward walk calls this once it has seen
    the frames, for the error alone; the walks that count from the end, for the frames to yield.
    """
    if isinstance(sel, int):
        if not -n <= sel < n:
            raise _out_of_range(sel, name, n)
        return [sel + n if sel < 0 else sel]
    return list(range(n)[sel])


# One scanner buffer is kept from a read to the next (up to this size), for a buffer that must grow
# to hold a big frame.
KEEP_BUFFER = 32 << 20


class _KeptBuffers(threading.local):
    """The buffers kept from a read to the next, per thread: a buffer is only ever taken again by
    the thread that let it go, so that no read can get a buffer another thread still reads."""

    def __init__(self) -> None:
        self.buffers: list[bytearray] = []  # a scanner buffer
        self.spares: list[bytearray] = []  # and the buffers lent to a pool, up to that size in all


KEPT = _KeptBuffers()


def _frames(src: ByteSource, sel: int | slice, bar: Any, workers: int) -> Iterator[Frame]:
    """The selected frames in selection order, reading the source once, front to back."""
    scan = _Scanner(src)
    try:
        yield from _scanned(scan, src, sel, bar, workers)
    finally:
        if _source.CHUNK <= len(scan.buf) <= KEEP_BUFFER and not KEPT.buffers:
            KEPT.buffers.append(scan.buf)  # no frame refers to it: the converted arrays are new memory


def _scanned(scan: _Scanner, src: ByteSource, sel: int | slice, bar: Any, workers: int) -> Iterator[Frame]:
    name = src.name
    counted = _CountingBar(bar)
    shown = counted if bar is not _progress.NO_PROGRESS else None
    forward = _forward(sel)
    if forward is not None:
        yield from _forward_frames(scan, forward, shown, workers)
        if isinstance(sel, int):
            _chosen(sel, scan.frame, name)
    else:
        tail = _from_the_end(src, sel) if shown is None else None
        if tail is not None:
            yield from tail
            return
        yield from _selected_at_end(scan, sel, shown)
    if shown is not None and scan.ended:
        counted.update(max(0, scan.bytes_read - counted.done))  # blank lines after the last frame


def _forward_frames(scan: _Scanner, forward: tuple[int, int | None, int], bar: _CountingBar | None,
                    workers: int) -> Iterator[Frame]:
    start, stop, step = forward
    name = scan.name
    pool = ThreadPoolExecutor(workers) if workers > 1 else None
    if pool is not None:
        scan.chunks = max(1, POOL_TASK_BYTES // (1 << 20))  # a buffer lent holds about a task's text
        while True:  # the buffers an earlier read lent, each taken by one reader
            try:
                scan.spares.append(KEPT.spares.pop())
            except IndexError:
                break
    # Frames gathered for the pool: (buffer, offset, atoms, line, frame). The pool converts them
    # from the scanner's buffers, lent to it, while the scanner reads on into other buffers.
    gathered: list[tuple[bytearray, int, int, int, int]] = []
    gathered_bytes = 0
    pending: deque[tuple[list[Future[list[Frame]]], list[bytearray]]] = deque()

    def submit() -> None:
        nonlocal gathered, gathered_bytes
        lent = list({id(item[0]): item[0] for item in gathered}.values())
        pending.append(([pool.submit(_convert_part, part, name, bar)  # type: ignore[union-attr]
                         for part in _parts(gathered, workers)], lent))
        gathered, gathered_bytes = [], 0

    def collect() -> Iterator[Frame]:
        futures, lent = pending.popleft()
        for future in futures:
            yield from future.result()
        in_use = {id(b) for _, bufs in pending for b in bufs} | {id(item[0]) for item in gathered} | {id(scan.buf)}
        scan.spares.extend(b for b in lent if id(b) not in in_use)

    try:
        while stop is None or scan.frame < stop:
            first = scan.frame
            try:
                idx = scan.batch(INDEX_BATCH if stop is None else min(INDEX_BATCH, stop - first))
            except ExtxyzError:
                if gathered:
                    submit()
                while pending:  # faults of the frames before come first
                    for _ in collect():
                        pass
                raise
            if idx is None:
                break
            buf = scan.buf
            chosen = [j for j in range(len(idx)) if first + j >= start and (first + j - start) % step == 0]
            if bar is not None and len(chosen) < len(idx):
                taken = set(chosen)
                bar.update(sum(b - a for a, b in (_span(idx, j) for j in range(len(idx)) if j not in taken)))
            if pool is None:
                for j in chosen:
                    yield convert(buf, idx.offsets[j], idx.natoms[j], idx.lines[j], first + j, name, bar)
                continue
            lent = False
            for j in chosen:
                if not POOL_ROWS <= idx.natoms[j] < SPLIT_ROWS:
                    # Converted here, after the frames before it: a small frame, whose read holds
                    # the interpreter lock (no thread would run beside it), or a big one, read in row
                    # ranges by all threads. The buffer is not lent: the scanner reads on into it.
                    if gathered:
                        submit()
                    while pending:
                        yield from collect()
                    yield convert(buf, idx.offsets[j], idx.natoms[j], idx.lines[j], first + j, name, bar,
                                  pool=pool, ranges=workers)
                    continue
                lent = True
                gathered.append((buf, idx.offsets[j], idx.natoms[j], idx.lines[j], first + j))
                a, b = _span(idx, j)
                gathered_bytes += b - a
            if lent:
                scan.lend()
                if gathered_bytes >= POOL_TASK_BYTES * workers:
                    submit()
            while len(pending) > workers:
                yield from collect()
        if gathered:
            submit()
        while pending:
            yield from collect()
    finally:
        if pool is not None:
            for futures, _ in pending:
                for future in futures:
                    future.cancel()
            pool.shutdown(wait=True)
            held = sum(len(b) for b in KEPT.spares)
            for spare in scan.spares:  # no thread reads them now
                if _source.CHUNK <= len(spare) and held + len(spare) <= KEEP_BUFFER:
                    KEPT.spares.append(spare)
                    held += len(spare)


def _parts(items: list[Any], parts: int) -> list[list[Any]]:
    size = max(1, -(-len(items) // parts))
    return [items[i:i + size] for i in range(0, len(items), size)]


def _convert_part(part: list[tuple[bytearray, int, int, int, int]], name: str, bar: Any) -> list[Frame]:
    return [convert(buf, offset, natoms, line, k, name, bar) for buf, offset, natoms, line, k in part]


PASS_PIECE = 1 << 19  # bytes per read of the positional index pass (the buffer stays in cache)


def _last_frames(src: ByteSource, window: int) -> tuple[deque[_Kept], int] | None:
    """The spans (file offsets) of the last `window` frames and the number of frames, by one pass
    over an uncompressed regular file that reads at chosen offsets and keeps no frame's text.

    None when the source is not such a file, or when its text is not plain frames back to back
    up to blank lines at its end (a fault, a file that shrank, a last line without a line break):
    the ordinary scan, which has not moved, then reads it and says what is wrong.
    """
    at = src.positional()
    if at is None:
        return None
    fd, size = at
    buf = bytearray()
    kept: deque[_Kept] = deque(maxlen=window)
    base = cur = 0  # buf[i] is byte base + i of the file; `cur`: where the walk is in buf
    ended = False
    line, frame = 1, 0  # file line and frame number of the next count line
    need = 0  # lines still to pass of the frame whose count line is at `opened` (comment, atoms)
    opened = natoms = 0
    comment = -1  # file offset of that frame's comment line while its end is not found yet
    blanks = False  # blank text reached the end of a piece: only blanks may follow

    def refill(keep_from: int) -> bool:
        """Move buf[keep_from:] to the front and read on behind it; False when the file has shrunk."""
        nonlocal base, cur, buf, ended
        keep = len(buf) - keep_from
        if keep:
            buf[:keep] = buf[keep_from:]
        base += keep_from
        cur = max(0, cur - keep_from)  # text before keep_from is passed (a partial line: its newline is what counts)
        want = min(PASS_PIECE, size - base - keep)  # kept: an unfinished count line, at most MAX_COUNT_LINE
        if len(buf) < keep + want:
            _source.grow(buf, keep + want - len(buf))
        got = 0
        with memoryview(buf) as whole:
            while got < want:
                with whole[keep + got:keep + want] as part:
                    n = os.preadv(fd, [part], base + keep + got)
                if n == 0:
                    break
                got += n
        del buf[keep + got:]
        ended = base + len(buf) >= size
        return got == want

    if not refill(0):
        return None
    while True:
        if need:
            end, found = _native.skip_lines(buf, cur, need)
            if found and end == len(buf) and buf[-1] != 0x0A:  # the last line goes on in the next piece
                found -= 1
                end = buf.rfind(b"\n", cur, end) + 1 or cur
            if comment >= 0:  # a comment line longer than MAX_COMMENT_LINE: the ordinary scan refuses it
                if base + (buf.find(b"\n", cur) if found else len(buf)) - comment > MAX_COMMENT_LINE:
                    return None
                if found:
                    comment = -1
            need -= found
            cur = end
            if need:
                if ended or not refill(len(buf)):
                    return None
                continue
            kept.append((opened, base + cur, natoms, line, frame))
            line += natoms + 2
            frame += 1
        if not blanks:
            offsets, counts, stop, _ = _native.index_frames(buf, cur, -1)
            n = len(offsets)
            end = stop if n else cur  # where the last frame listed ends
            if stop == len(buf):
                if n and buf[-1] != 0x0A:  # its last line may go on in the next piece: passed as cut short
                    n -= 1
                    end = stop = int(offsets[n])
                    offsets, counts = offsets[:n], counts[:n]
                elif n:
                    end = _native.skip_lines(buf, int(offsets[-1]), int(counts[-1]) + 2)[0]
                if stop > end:  # blank text after the frames, to the end of the piece
                    if ended or buf.find(b"\n", end, stop) >= 0:
                        blanks = True
                    else:
                        stop = end  # blanks on an unfinished line: may start a count line
            if n:
                spans = counts + 2
                first = max(0, n - window)
                starts = offsets[first:].tolist()
                lines = (np.cumsum(spans) - spans + line)[first:].tolist()
                for j, (a, b, k, ln) in enumerate(zip(starts, starts[1:] + [end], counts[first:].tolist(), lines,
                                                      strict=True)):
                    kept.append((base + a, base + b, k, ln, frame + first + j))
                frame += n
                line += int(spans.sum())
            cur = stop
        if blanks:
            if _NOT_BLANK.search(buf, cur) is not None:
                return None
            if ended:
                return kept, frame
            if not refill(len(buf)):
                return None
            continue
        if cur == len(buf):
            if ended:
                return kept, frame
            if not refill(cur):
                return None
            continue
        eol = buf.find(b"\n", cur)
        if eol < 0:
            if ended or len(buf) - cur > MAX_COUNT_LINE or not refill(cur):
                return None
            continue
        m = _COUNT_LINE.match(buf, cur, eol)
        if m is None or eol - cur > MAX_COUNT_LINE or len(m.group(1)) > 18:
            return None  # not a count line, or one whose checks the ordinary scan makes
        natoms = int(m.group(1))
        opened, need, cur = base + cur, natoms + 1, eol + 1
        comment = base + cur
        if need > size - comment:
            return None  # more lines than bytes left


def _from_the_end(src: ByteSource, sel: int | slice) -> Iterator[Frame] | None:
    """Selections of the last frames of an uncompressed regular file: an index pass over the file
    (_last_frames), then reads of only the chosen frames' bytes. None where that does not apply."""
    if isinstance(sel, int):
        window = -sel
    elif (sel.step is None or sel.step > 0) and sel.start is not None and sel.start < 0:
        window = -sel.start
    else:
        return None
    found = _last_frames(src, window)
    if found is None:
        return None
    kept, n = found
    order = _chosen(sel, n, src.name)
    at = src.positional()
    assert at is not None
    by_k = {item[4]: item for item in kept}
    texts = []
    for k in order:
        a, b, natoms, line, _ = by_k[k]
        text = os.pread(at[0], b - a, a)
        if len(text) != b - a:
            return None  # the file has shrunk: the ordinary scan reports it
        texts.append((text, natoms, line, k))
    return (convert(text, 0, natoms, line, k, src.name) for text, natoms, line, k in texts)


class _EndPlan(NamedTuple):
    """How a selection that counts from the end is read in one forward pass."""

    window: int | None  # frames whose text is kept: the last `window` of them
    delayed: bool  # frames leaving the window are chosen by the forward rule (a:-b:c)
    start: int | None
    stop: int | None
    step: int
    # Backward slices: frames past a non-negative start are never chosen; when the stop does
    # not count from the end either, reading can end after the start frame (`last`, `enough`);
    # frames below `low` are never chosen.
    last: int | None
    enough: bool
    low: int


def _end_plan(sel: int | slice) -> _EndPlan:
    window: int | None = None
    delayed = False
    start = stop = None
    step = 1
    if isinstance(sel, int):
        window = -sel
    else:
        step = 1 if sel.step is None else sel.step
        start, stop = sel.start, sel.stop
        if step > 0 and start is not None and start < 0:
            window = -start
        elif step > 0:
            window, delayed = -stop, True  # type: ignore[operator]
            start = start or 0
    last = start if window is None and start is not None and start >= 0 else None
    enough = last is not None and (stop is None or stop >= 0)
    low = stop + 1 if window is None and stop is not None and stop >= 0 else 0
    return _EndPlan(window, delayed, start, stop, step, last, enough, low)


def _end_order(sel: int | slice, n: int, delayed: bool, name: str) -> list[int]:
    """The window frames chosen once all `n` frames are known (none left when `delayed`:
    those were chosen as they left the window)."""
    return [] if delayed else _chosen(sel, n, name)


def _selected_at_end(scan: _Scanner, sel: int | slice, bar: _CountingBar | None) -> Iterator[Frame]:
    """Selections that count from the end: the frames that may be chosen are kept until the end
    (the last few frames' text, held in the scanner's buffer, or the converted frames of a
    backward slice)."""
    name = scan.name
    window, delayed, start, stop, step, last, enough, low = _end_plan(sel)
    kept: deque[_Kept] = deque()  # (offset in the text, end, natoms, line, frame) of window frames
    converted: dict[int, Frame] = {}

    def text_of(item: _Kept) -> tuple[bytearray, int]:
        return scan.buf, item[0] - scan.dropped

    try:
        while not (enough and last is not None and scan.frame > last):
            first = scan.frame
            idx = scan.batch(INDEX_BATCH)
            if idx is None:
                break
            buf = scan.buf
            for j in range(len(idx)):
                k = first + j
                a, b = _span(idx, j)
                if window is None:
                    if k >= low and (last is None or k <= last):
                        converted[k] = convert(buf, a, idx.natoms[j], idx.lines[j], k, name, bar)
                    elif bar is not None:
                        bar.update(b - a)
                    continue
                kept.append((a + scan.dropped, b + scan.dropped, idx.natoms[j], idx.lines[j], k))
                if len(kept) > window:
                    item = kept.popleft()
                    k_out = item[4]
                    if delayed and k_out >= start and (k_out - start) % step == 0:  # type: ignore[operator]
                        yield convert(*text_of(item), item[2], item[3], k_out, name, bar)
                    elif bar is not None:
                        bar.update(item[1] - item[0])
            scan.hold = kept[0][0] if kept else None
    except ExtxyzError:
        for item in kept:  # faults of the frames before come first
            convert(*text_of(item), item[2], item[3], item[4], name)
        raise
    n = scan.frame
    if window is None:
        yield from (converted[k] for k in range(n)[sel])  # type: ignore[index]
        return
    order = _end_order(sel, n, delayed, name)
    by_k = {item[4]: item for item in kept}
    if bar is not None:
        bar.update(sum(item[1] - item[0] for item in kept if item[4] not in set(order)))
    for k in order:
        item = by_k[k]
        yield convert(*text_of(item), item[2], item[3], k, name, bar)


def _open(source: Source) -> ByteSource:
    return ByteSource(source)


def read(source: Source, index: Index = -1, *, workers: int = 1, progress: bool = False) -> Frame | list[Frame]:
    """Read one frame (int index; -1, the last, by default) or a list of frames (slice, ':' or 'a:b:c').

    `source` is a path (str, bytes or os.PathLike) or an open file, binary or text. Compressed
    data (gzip, bzip2, xz) is recognised by its first bytes and decompressed as it is read. A
    regular file is read up to the length it had when opened. An open file is read from its
    current position: line numbers in messages count from there, and the file is then named
    "NAME (from byte N)". The text is read in chunks: memory holds the frames asked for, not the
    file. Only the frames asked for are converted; `workers` > 1 converts them on that many
    threads (the native reader runs without the interpreter lock), with the same result. Tokens
    past the declared columns of an atom line are ignored. Faults raise ExtxyzError, in file order.
    A path ending in .parquet or .pq is read as a Parquet file of frames (Table.to_arrow's columns).
    """
    sel = parse_index(index)
    if workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    if is_parquet(source):
        from ._arrow import read_frames

        return read_frames(source, sel)
    check_source(source)
    with _open(source) as src, _progress.optional_bar(src.total, os.path.basename(src.name), progress) as bar:
        frames = list(_frames(src, sel, bar, workers))
    return frames[0] if isinstance(sel, int) else frames


def iread(source: Source, index: Index = ":", *, progress: bool = False) -> Iterator[Frame]:
    """Yield the selected frames one at a time, reading the source in chunks as they are asked for.

    Sources as for read(). A frame complete in what a pipe or socket has delivered is yielded
    without waiting for more. A selection that counts from the end keeps what it may need
    (the last frames' text) until the end.
    """
    sel = parse_index(index)
    if is_parquet(source):
        from ._arrow import iread_frames

        return iread_frames(source, sel)
    check_source(source)
    return _iread(source, sel, progress)


def _iread(source: Source, sel: int | slice, progress: bool) -> Iterator[Frame]:
    with _open(source) as src, _progress.optional_bar(src.total, os.path.basename(src.name), progress) as bar:
        yield from _frames(src, sel, bar, 1)


def check(source: Source, *, notes: bool = False) -> list[ExtxyzError | ExtxyzNote]:
    """Every fault of a file, in file order; after a bad count line, checking resumes at the next count line.

    A source that cannot be read to its end (corrupt compressed data, a file that shrank) ends the
    list with that fault. With `notes`, the list also holds ExtxyzNote entries for what reads but
    deserves a look (atom lines with more tokens than Properties declares), in file order.
    """
    check_source(source)
    errors: list[ExtxyzError | ExtxyzNote] = []
    extra: ExtraTokens | None = None
    extra_frame = extra_frames = 0
    with _open(source) as src:
        scan = _Scanner(src)
        name = src.name
        while True:
            first = scan.frame
            try:
                idx = scan.batch(INDEX_BATCH)
            except ExtxyzError as e:
                errors.append(e)
                if scan.resumable and scan.resync():
                    continue
                error = scan._fault_error()
                if error is not None and error is not e and str(error) != str(e):
                    errors.append(error)
                break
            if idx is None:
                break
            buf = scan.buf
            for j in range(len(idx)):
                args = (buf, idx.offsets[j], idx.natoms[j], idx.lines[j], first + j, name)
                try:
                    try:
                        convert(*args, strict=True)
                    except ExtraTokens as more:
                        extra_frames += 1
                        if extra is None:
                            extra, extra_frame = more, first + j
                        convert(*args)
                except ExtxyzError as e:
                    errors.append(e)
    if notes and extra is not None:
        note = ExtxyzNote(name, extra.line, extra_frame,
                          f"atom lines have more tokens than Properties declares ({extra.found} for"
                          f" {extra.columns} columns); the extra tokens are ignored"
                          f" (in {extra_frames} of {scan.frame} frames)")
        at = next((i for i, e in enumerate(errors) if e.line > note.line), len(errors))
        errors.insert(at, note)
    return errors


# Frame headers: the count and comment lines of the selected frames, without reading atom lines.

Header = tuple[int, int, int, dict[str, Any], Array | None, Array, str]
"""(frame number, count-line number, natoms, info, cell or None, pbc, Properties text) of a frame."""


def _header(buf: Buffer, offset: int, natoms: int, line: int, frame: int, name: str) -> Header:
    _, info, cell, pbc, layout = _comment_of(buf, offset, natoms, line, frame, name)
    if pbc is None:
        pbc = _no_pbc() if cell is None else _full_pbc()
    return frame, line, natoms, info, cell, pbc, layout.text


def _header_text(buf: Buffer, offset: int, natoms: int) -> bytes:
    """A frame's count line, comment line and (when it has atoms) first atom line: what _header reads."""
    end = buf.find(b"\n", buf.find(b"\n", offset) + 1)
    if end >= 0 and natoms:
        end = buf.find(b"\n", end + 1)
    return bytes(buf[offset:end + 1 if end >= 0 else len(buf)])


def _frame_headers(source: Source, index: Index = ":", *, progress: bool = False) -> Iterator[Header]:
    """The selected frames' headers (see Header), in selection order, from one scan of the source.

    The frames are walked as read() walks them and their comment lines parsed as read() parses
    them: faults in count lines, comment lines (Properties, Lattice) and frames cut short by the
    end of the text raise read()'s ExtxyzError, at the same line, in the same order. Atom lines
    are only counted, so their own faults go unseen (except in a frame that the end cuts short,
    which is reported as read() reports it).
    """
    sel = parse_index(index)
    check_source(source)
    return _headers(source, sel, progress)


def _headers(source: Source, sel: int | slice, progress: bool) -> Iterator[Header]:
    with _open(source) as src, _progress.optional_bar(src.total, os.path.basename(src.name), progress) as shown:
        scan = _Scanner(src)
        bar = _CountingBar(shown)
        forward = _forward(sel)
        if forward is not None:
            yield from _forward_headers(scan, forward, bar)
            if isinstance(sel, int):
                _chosen(sel, scan.frame, src.name)
        else:
            yield from _headers_at_end(scan, sel, bar)
        if scan.ended:
            bar.update(max(0, scan.bytes_read - bar.done))  # blank lines after the last frame


def _scanned_so_far(scan: _Scanner, bar: _CountingBar) -> None:
    """Moves the progress bar to the end of the text scanned so far."""
    bar.update(scan.dropped + scan.start - bar.done)


def _forward_headers(scan: _Scanner, forward: tuple[int, int | None, int],
                     bar: _CountingBar) -> Iterator[Header]:
    start, stop, step = forward
    name = scan.name
    while stop is None or scan.frame < stop:
        first = scan.frame
        idx = scan.batch(INDEX_BATCH if stop is None else min(INDEX_BATCH, stop - first))
        if idx is None:
            break
        buf, offsets, counts, lines = scan.buf, idx.offsets, idx.natoms, idx.lines
        lo = max(0, start - first)
        lo += (start - first - lo) % step  # the first frame of the batch on the step
        for j in range(lo, len(idx), step):
            yield _header(buf, offsets[j], counts[j], lines[j], first + j, name)
        _scanned_so_far(scan, bar)


def _headers_at_end(scan: _Scanner, sel: int | slice, bar: _CountingBar) -> Iterator[Header]:
    """Selections that count from the end, parsing the comment lines of the frames that read()
    converts (_selected_at_end), so that a fault among them comes first as there. The window
    frames' header text is copied out of the buffer until the end."""
    name = scan.name
    window, delayed, start, stop, step, last, enough, low = _end_plan(sel)
    kept: deque[tuple[bytes, int, int, int]] = deque()  # header text, natoms, line, frame
    parsed: dict[int, Header] = {}
    try:
        while not (enough and last is not None and scan.frame > last):
            first = scan.frame
            idx = scan.batch(INDEX_BATCH)
            if idx is None:
                break
            buf = scan.buf
            for j in range(len(idx)):
                k = first + j
                if window is None:
                    if k >= low and (last is None or k <= last):
                        parsed[k] = _header(buf, idx.offsets[j], idx.natoms[j], idx.lines[j], k, name)
                    continue
                kept.append((_header_text(buf, idx.offsets[j], idx.natoms[j]), idx.natoms[j], idx.lines[j], k))
                if len(kept) > window:
                    text, natoms, line, k_out = kept.popleft()
                    if delayed and k_out >= start and (k_out - start) % step == 0:  # type: ignore[operator]
                        yield _header(text, 0, natoms, line, k_out, name)
            _scanned_so_far(scan, bar)
    except ExtxyzError:
        for text, natoms, line, k in kept:  # faults of the frames before come first
            _header(text, 0, natoms, line, k, name)
        raise
    n = scan.frame
    if window is None:
        assert isinstance(sel, slice)  # an int selection counts from the end: it has a window
        yield from (parsed[k] for k in range(n)[sel])
        return
    order = _end_order(sel, n, delayed, name)
    by_k = {item[3]: item for item in kept}
    for k in order:
        text, natoms, line, _ = by_k[k]
        yield _header(text, 0, natoms, line, k, name)
