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
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _native, _progress, _source
from ._errors import ExtxyzError
from ._frame import Frame
from ._properties import Layout, layout_of_text, text_layouts
from ._read import (
    COLUMNS_ALWAYS_ALLOWED,
    KEEP_BUFFER,
    Header,
    _comment_of,
    _CountingBar,
    _header,
    _kept,
    _open,
    _out_of_range,
    _scanned_so_far,
    _Scanner,
    convert,
)
from ._source import Source

Array = npt.NDArray[Any]

TABLE_CHUNKS = 4  # chunks per source read: fewer, bigger batches (each costs some Python calls)
BATCH_FRAMES = 1 << 14  # frames indexed per batch at most
_STOP_SLOW = 1  # the native batch stopped at a frame that read()'s code must read


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
          name: str, registry: _Registry, keep_info: frozenset[str] | None,
          atoms: bool) -> list[Batch | Frame | Header]:
    """The frames at `offsets` (file lines `lines`, numbers `frames`), natively where it can."""
    out: list[Batch | Frame | Header] = []
    j, n = 0, len(offsets)
    while j < n:
        done, stop, info, orders, order_ids, layout_ids, cells, has_cell, pbc, runs = \
            _native.read_table_batch(buf, offsets[j:], natoms[j:], registry.numbers, registry.col_types,
                                     keep_info, atoms)
        if done:
            out.append(Batch(done, natoms[j:j + done], info, orders, order_ids, layout_ids, cells, has_cell, pbc, runs,
                             registry.layouts))
            j += done
        if stop == _STOP_SLOW:
            offset, count, line, frame = int(offsets[j]), int(natoms[j]), lines[j], frames[j]
            if atoms:
                layout = _comment_of(buf, offset, count, line, frame, name)[4]
                out.append(convert(buf, offset, count, line, frame, name))
            else:
                header = _header(buf, offset, count, line, frame, name)
                layout = text_layouts.get(header[6]) or layout_of_text(header[6])
                out.append(header)
            registry.add(layout.text, layout)
            j += 1
    return out


def table_parts(source: Source, forward: tuple[int, int | None, int], single: bool,
                keep_info: frozenset[str] | None, atoms: bool, workers: int, progress: bool,
                share: list[float] | None = None) -> Iterator[Batch | Frame | Header]:
    """The selected frames (`forward`: start, stop, step; `single`: an int index) as batches and
    single frames, in file order; read()'s errors, including its IndexError for `single`.

    `share[0]`, when given, is kept at the share of the source walked so far (0 when its size is
    not known): what the frames given so far tell of the whole."""
    start, stop, step = forward
    registry = _Registry()
    with _open(source) as src, _progress.optional_bar(src.total, os.path.basename(src.name), progress) as shown:
        name = src.name
        bar = _CountingBar(shown) if shown is not _progress.NO_PROGRESS else None
        scan = _Scanner(src)
        scan.chunks = TABLE_CHUNKS
        size = src.remaining() or 0
        pool = ThreadPoolExecutor(workers) if workers > 1 and atoms else None
        # Batches on the pool: their futures and the buffer lent to them.
        pending: deque[tuple[list[Future[list[Batch | Frame | Header]]], bytearray]] = deque()

        def collect() -> Iterator[Batch | Frame | Header]:
            futures, lent = pending.popleft()
            for future in futures:
                yield from future.result()
            if lent is not scan.buf and all(lent is not other for _, other in pending):
                scan.spares.append(lent)  # read by no thread now: the scanner may fill it again

        try:
            while stop is None or scan.frame < stop:
                first = scan.frame
                try:
                    idx = scan.batch(BATCH_FRAMES if stop is None else min(BATCH_FRAMES, stop - first))
                except ExtxyzError:
                    while pending:  # faults of the frames before come first
                        for _ in collect():
                            pass
                    raise
                if idx is None:
                    break
                lo = max(0, start - first)
                lo += (start - first - lo) % step  # the first frame of the batch on the step
                chosen = slice(lo, len(idx), step)
                offsets = np.array(idx.offsets[chosen], dtype=np.int64)
                natoms = np.array(idx.natoms[chosen], dtype=np.int64)
                lines = idx.lines[chosen]
                frames = list(range(first + lo, first + len(idx), step))
                if share is not None and size:
                    share[0] = (scan.dropped + scan.start) / size
                if pool is None:
                    yield from _part(scan.buf, offsets, natoms, lines, frames, name, registry, keep_info, atoms)
                else:
                    size = -(-len(frames) // workers)
                    pending.append(([pool.submit(_part, scan.buf, offsets[k:k + size], natoms[k:k + size],
                                                 lines[k:k + size], frames[k:k + size], name, registry,
                                                 keep_info, atoms)
                                     for k in range(0, len(frames), size)], scan.buf))
                    scan.lend()  # the threads read this buffer: the scanner reads on into another
                    while len(pending) > workers:
                        yield from collect()
                if bar is not None:
                    _scanned_so_far(scan, bar)
            while pending:
                yield from collect()
        finally:
            if _source.CHUNK <= len(scan.buf) <= KEEP_BUFFER and not _kept:
                _kept.append(scan.buf)  # for the next read: no column refers to it
            if pool is not None:
                for futures, _ in pending:
                    for future in futures:
                        future.cancel()
                pool.shutdown(wait=True)
        if single and scan.frame <= start:
            raise _out_of_range(start, name, scan.frame)
        if bar is not None and scan.ended:
            bar.update(max(0, scan.bytes_read - bar.done))
