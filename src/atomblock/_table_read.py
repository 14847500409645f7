"""The table reader's walk: whole frames of a source read into columns by the native module.

The source is walked as read() walks it (the same scanner, so the same faults at
the same lines), batch by batch. Each batch goes to `_native.read_table_batch`,
which types the comment lines into per-key columns and reads the atom lines of
each run of frames with one Properties layout in one call, without the
interpreter. It stops at a frame it does not cover (a comment line outside the
common grammar, a Properties text it does not know yet, a fault): that frame
is read here by read()'s own code, which raises read()'s error for a fault, and
the walk goes on natively from the next frame.

Yields, in selection order, `Batch`es (a native batch's columns) and single
frames (Frame, or a Header when no atom line is read); `_table` joins them.
"""
from __future__ import annotations

import os
from collections import deque
from collections.abc import Iterator
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _native, _progress, _source
from ._frame import Frame
from ._properties import Layout, layout_of_text, text_layouts
from ._read import (
    COLUMNS_ALWAYS_ALLOWED,
    KEEP_BUFFER,
    KEPT,
    Header,
    _comment_of,
    _CountingBar,
    _header,
    _open,
    _out_of_range,
    _scanned_so_far,
    _Scanner,
    convert,
)
from ._source import Source

Array = npt.NDArray[Any]

TABLE_CHUNKS = 4  # chunks per source read: fewer, bigger batches (each costs some Python calls)
# With workers > 1 a batch is split into that many ranges of frames, read on as many native threads
# within one call (no handing of the interpreter lock between them).
BATCH_FRAMES = 1 << 14  # frames indexed per batch at most
_STOP_SLOW = 1  # the native batch stopped at a frame that read()'s code must read
_STOP_WIDE = 3  # ... at a frame whose info keys would make the columns outgrow the text
# Info values (fills included) a table may hold: INFO_VALUES_PER_BYTE per byte of text, at least
# MIN_INFO_VALUES (see too_wide), as the native reader bounds each batch.
INFO_VALUES_PER_BYTE = 16
MIN_INFO_VALUES = 1 << 16


def too_wide(name: str, frame: str) -> ValueError:
    """The error of a table whose info columns would hold far more values than the text has bytes:
    keys that each appear in few frames (columns are dense, one value per frame and key)."""
    return ValueError(f"{name}: {frame}: the info keys of the frames so far would give the table"
                      f" more than {INFO_VALUES_PER_BYTE} values per byte of the file (keys that each"
                      " appear in few frames): keep some with read_table(..., info=[...]), or read the"
                      " frames with iread()")


class Batch(NamedTuple):
    """A native batch: `frames` frames' per-frame columns and the runs of their atom lines."""

    frames: int
    natoms: Array  # (frames,) int64
    info: list[tuple[str, str, bool | None, Array]]  # key, kind b/i/f/U, 3x3 list?, (frames, width)
    orders: list[tuple[str, ...]]
    order_ids: Array
    layout_ids: Array
    cells: Array
    has_cell: Array
    pbc: Array
    runs: list[tuple[int, int, int, dict[str, Any], Array]]  # layout, first, last, columns, widths
    layouts: list[Layout]  # by number (the registry's list, shared)


class _Registry:
    """The Properties layouts the native reader knows: number by text (None: no Properties),
    and each number's Layout and column type codes."""

    def __init__(self) -> None:
        self.numbers: dict[str | None, int] = {}
        self.layouts: list[Layout] = []
        self.col_types: list[bytes] = []
        self.add(None, layout_of_text(None))
        for text, layout in list(text_layouts.items()):
            self.add(text, layout)

    def add(self, text: str | None, layout: Layout) -> None:
        """Lets the native reader take frames of this Properties text (not very wide ones:
        those are measured against their first atom line, frame by frame, by read()'s code)."""
        if text in self.numbers or len(layout.col_types) > COLUMNS_ALWAYS_ALLOWED:
            return
        # The lists grow before the dict names the number: a thread reading beside this one
        # never sees a number without its layout.
        self.layouts.append(layout)
        self.col_types.append(layout.col_types)
        self.numbers[text] = len(self.layouts) - 1


def _part(buf: bytearray, offsets: Array, natoms: Array, lines: list[int], frames: list[int],
          name: str, registry: _Registry, keep_info: frozenset[str] | None, atoms: bool,
          workers: int) -> list[tuple[Batch | Frame | Header, int]]:
    """The frames at `offsets` (file lines `lines`, numbers `frames`), natively where it can: in
    `workers` ranges on as many threads, each range read on from where it stopped. Each part
    comes with the index of the frame after it."""
    out: list[tuple[Batch | Frame | Header, int]] = []
    # In file order: ranges still to read (first frame, end, threads), frames for read()'s code
    # (an int), and batches read with the index of the frame after them.
    todo: deque[tuple[int, int, int] | int | tuple[Batch, int]] = deque([(0, len(offsets), workers)])
    while todo:
        item = todo.popleft()
        if isinstance(item, int):
            offset, count, line, frame = int(offsets[item]), int(natoms[item]), lines[item], frames[item]
            if atoms:
                layout = _comment_of(buf, offset, count, line, frame, name)[4]
                out.append((convert(buf, offset, count, line, frame, name), item + 1))
            else:
                header = _header(buf, offset, count, line, frame, name)
                layout = text_layouts.get(header[6]) or layout_of_text(header[6])
                out.append((header, item + 1))
            registry.add(layout.text, layout)
            continue
        if len(item) == 2:  # a batch read, and the frame after it
            out.append(item)  # type: ignore[arg-type]
            continue
        j, end, threads = item
        results = _native.read_table_batch(buf, offsets[j:end], natoms[j:end], registry.numbers,
                                           registry.col_types, keep_info, atoms, threads)
        ends = [result[0] for result in results[1:]] + [end - j]
        after: list[tuple[int, int, int] | int | tuple[Batch, int]] = []
        for (begin, done, stop, *columns), range_end in zip(results, ends, strict=True):
            first = j + begin
            if done:
                batch = Batch(done, natoms[first:first + done], *columns, registry.layouts)
                after.append((batch, first + done))
            k, range_end = first + done, j + range_end
            if k < range_end:  # the range stopped short: the rest of it comes before the next range
                if stop == _STOP_WIDE:
                    raise too_wide(name, f"frame {frames[k]}")
                if stop == _STOP_SLOW:
                    after.append(k)
                    k += 1
                after.append((k, range_end, 1))
        todo.extendleft(reversed(after))
    return out


def table_parts(source: Source, forward: tuple[int, int | None, int], single: bool,
                keep_info: frozenset[str] | None, atoms: bool, workers: int, progress: bool,
                share: list[float] | None = None) -> Iterator[Batch | Frame | Header]:
    """The selected frames (`forward`: start, stop, step; `single`: an int index) as batches and
    single frames, in file order; read()'s errors, including its IndexError for `single`.

    `share`, when given, is kept at [the share of the source walked so far (0 when its size is
    not known): what the frames given so far tell of the whole, the bytes walked so far]."""
    start, stop, step = forward
    registry = _Registry()
    with _open(source) as src, _progress.optional_bar(src.total, os.path.basename(src.name), progress) as shown:
        name = src.name
        bar = _CountingBar(shown) if shown is not _progress.NO_PROGRESS else None
        scan = _Scanner(src)
        scan.chunks = TABLE_CHUNKS
        size = src.remaining() or 0
        try:
            while stop is None or scan.frame < stop:
                first = scan.frame
                idx = scan.batch(BATCH_FRAMES if stop is None else min(BATCH_FRAMES, stop - first))
                if idx is None:
                    break
                lo = max(0, start - first)
                lo += (start - first - lo) % step  # the first frame of the batch on the step
                chosen = slice(lo, len(idx), step)
                offsets = np.array(idx.offsets[chosen], dtype=np.int64)
                natoms = np.array(idx.natoms[chosen], dtype=np.int64)
                lines = idx.lines[chosen]
                frames = list(range(first + lo, first + len(idx), step))
                for part, end in _part(scan.buf, offsets, natoms, lines, frames, name, registry, keep_info,
                                       atoms, workers):
                    if share is not None:
                        # The text up to the part's last frame: what its rows and those before came from.
                        walked = scan.dropped + (int(offsets[end]) if end < len(offsets) else idx.stop)
                        share[:] = walked / size if size else 0.0, walked
                    yield part
                if bar is not None:
                    _scanned_so_far(scan, bar)
        finally:
            if _source.CHUNK <= len(scan.buf) <= KEEP_BUFFER and not KEPT.buffers:
                KEPT.buffers.append(scan.buf)  # for the next read: no column refers to it
        if single and scan.frame <= start:
            raise _out_of_range(start, name, scan.frame)
        if bar is not None and scan.ended:
            bar.update(max(0, scan.bytes_read - bar.done))
