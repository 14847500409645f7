"""Writing: each frame as a count line, a canonical comment line and one native atom block, in bytes."""
from __future__ import annotations

import bz2
import errno
import gzip
import io
import lzma
import os
import secrets
import stat
from collections import deque
from collections.abc import Callable, Iterable, Mapping
from concurrent.futures import Future, ThreadPoolExecutor
from typing import IO, Any, Literal, Union, cast

import numpy as np
import numpy.typing as npt

from . import _native, _source
from ._comment import format_header
from ._frame import Frame, as_cell, as_float_property, as_pbc
from ._progress import optional_bar
from ._properties import layout_of_arrays
from ._source import is_parquet, source_name
from ._table import Table

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
# Compressors over an open file object, by the destination's suffix: (file object, path, mode).
_Mode = Literal["wb", "ab"]
_COMPRESSORS: dict[str, Callable[[Any, str, _Mode], Any]] = {
    ".gz": lambda f, path, mode: gzip.GzipFile(filename=path, mode=mode, fileobj=f),  # the name in the header
    ".bz2": lambda f, path, mode: bz2.BZ2File(f, mode),
    ".xz": lambda f, path, mode: lzma.LZMAFile(f, mode),
}
_ALL_ROWS = slice(None)
_FLOAT64 = np.dtype(np.float64)
_INT64 = np.dtype(np.int64)
_BOOL = np.dtype(np.bool_)


# Per exact (name, type, dtype, shape) signature of a frame's arrays that needs no
# conversion: (natoms, layout, names of the S, R, I and L properties, string widths).
_plans: dict[tuple[Any, ...] | None, tuple[Any, ...]] = {}
_CACHE_LIMIT = 1024  # distinct array signatures kept; a trajectory has one or a few


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
        # The width from the item size, not -1: NumPy cannot infer it for zero atoms.
        self.strs = [(v if v.flags.c_contiguous else np.ascontiguousarray(v)).view(np.uint32)
                     .reshape(natoms, v.itemsize >> 2) for v in strs]
        self.floats = [arrays[name] for name in float_names]
        self.ints = [arrays[name] for name in int_names]
        self.bools = [arrays[name] for name in bool_names]

    def _convert(self, arrays: dict[str, Any], key: tuple[Any, ...] | None) -> None:
        """Any frame's arrays; a plan is cached when they need no conversion but a str view."""
        for name in arrays:
            if not isinstance(name, str):
                raise TypeError(f"arrays: property names must be str, got {type(name).__name__} {name!r}")
        given = arrays
        arrays = {name: as_float_property(name, np.asarray(values)) for name, values in arrays.items()}
        natoms = next((len(v) for v in arrays.values() if v.ndim), 0)
        layout = layout_of_arrays(arrays, natoms)
        self.natoms, self.layout = natoms, layout
        self.strs: list[Array] = []
        self.names: list[str] = []
        self.floats: list[Array] = []
        self.ints: list[Array] = []
        self.bools: list[Array] = []
        # A plan skips every conversion: only for arrays taken exactly as given.
        plain = key is not None and all(arrays[name] is values for name, values in given.items())
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
            if e.kind not in ("empty_string", "blank_or_control") or e.column is None:
                raise
            k = e.column
            raise _string_fault(self.strs[k], self.names[k], e.row, e.kind == "empty_string") from None


def _header(frame: Frame, natoms: int, properties: str) -> bytes:
    cell = frame.cell
    if cell is not None and not (type(cell) is np.ndarray and cell.dtype is _FLOAT64 and cell.shape == (3, 3)):
        cell = as_cell(cell)  # set directly on the frame: the constructor's forms and errors
    pbc = frame.pbc
    if not (type(pbc) is np.ndarray and pbc.dtype is _BOOL and pbc.shape == (3,)):
        pbc = as_pbc(pbc, cell)
    return format_header(natoms, properties, frame.info, cell, pbc)


def _write_frames(put: Callable[[bytes], Any], frames: Iterable[Frame], float_format: FloatFormat,
                  bar: Any, workers: int) -> None:
    """Each frame is checked whole (types, arrays, header, strings) before any of its bytes
    reach `put`; when a frame (or the iterable) fails, the frames before it are written.
    A Table is formatted natively, range by range, with the same bytes and errors."""
    if isinstance(frames, Table):
        from ._table_write import write_table  # it imports this module

        write_table(put, frames, float_format, bar, workers, WRITE_ROWS,
                    lambda todo: _write_frames(put, todo, float_format, bar, workers))
        return
    pending: list[bytes] = []  # small frames' text, written in one call per WRITE_BATCH bytes
    size = 0
    pool: ThreadPoolExecutor | None = None  # made at the first big frame
    try:
        for number, frame in enumerate(frames):
            if not isinstance(frame, Frame):
                raise TypeError(f"frame {number} is a {type(frame).__name__}, not a Frame")
            columns = _Columns(frame)
            natoms = columns.natoms
            if natoms <= WRITE_ROWS:
                block = columns.block(_ALL_ROWS, natoms, float_format)
                header = _header(frame, natoms, columns.layout.text)
                pending.append(header)
                pending.append(block)
                size += len(header) + len(block)
                if size >= WRITE_BATCH:
                    batch = b"".join(pending)
                    pending.clear()
                    put(batch)
                    bar.update(size)
                    size = 0
                continue
            _check_points(columns.strs, columns.names, natoms)
            header = _header(frame, natoms, columns.layout.text)
            if pending:
                batch = b"".join(pending)
                pending.clear()
                put(batch)
                bar.update(size)
                size = 0
            put(header)
            bar.update(len(header))
            if workers > 1 and pool is None:
                pool = ThreadPoolExecutor(workers, thread_name_prefix="atomblock-write")
            _write_chunks(put, columns, natoms, float_format, bar, pool, workers)
    except Exception:
        # A frame or the iterable failed, not `put` (pending is emptied before each put):
        # the whole frames before it still go out, so a stream ends at a frame boundary.
        if pending:
            put(b"".join(pending))
            bar.update(size)
        raise
    else:
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


class _FdWriter:
    """A file object over a descriptor for the compressors and the frames: every write is
    whole (short writes are resumed) and unbuffered, so that nothing is left to reach the
    file after a failure has been cleaned up; detach() makes later writes fail."""

    def __init__(self, fd: int) -> None:
        self.fd = fd

    def write(self, data: bytes) -> int:
        if self.fd < 0:
            raise ValueError("write to a file that was given up")
        view = memoryview(data)
        total = len(view)
        while view:
            view = view[os.write(self.fd, view):]
        return total

    def flush(self) -> None:
        pass

    def detach(self) -> None:
        self.fd = -1


class _Compressed:
    """A compressor over an _FdWriter that starts at the first bytes: until then (while the
    frames' source opens, maybe this very file when appending) nothing is added to the file."""

    def __init__(self, make: Callable[[Any, str, _Mode], Any], out: _FdWriter, path: str, mode: _Mode) -> None:
        self.make, self.out, self.path, self.mode = make, out, path, mode
        self.file: Any = None

    def write(self, data: bytes) -> None:
        if self.file is None:
            self.file = self.make(self.out, self.path, self.mode)
        self.file.write(data)

    def close(self) -> None:
        if self.file is None:  # no frames: still a whole (empty) compressed stream
            self.file = self.make(self.out, self.path, self.mode)
        self.file.close()

    def abandon(self) -> None:
        """Closed with the writer detached (call out.detach() first): nothing more is written."""
        if self.file is not None:
            try:
                self.file.close()
            except Exception:  # fails at the detached writer, after marking itself closed
                pass


def _write_fd(fd: int, path: str, append: bool, frames: Iterable[Frame], float_format: FloatFormat,
              bar: Any, workers: int, sync: bool) -> None:
    """The frames into an open descriptor, compressed as the path's suffix says, then on disk
    when `sync` (fsync). On any failure the writer is detached before the compressor is
    closed, so that no late trailer reaches the descriptor or a file that reuses its number."""
    out = _FdWriter(fd)
    make = _COMPRESSORS.get(os.path.splitext(path)[1].lower())
    compressed = None if make is None else _Compressed(make, out, path, "ab" if append else "wb")
    try:
        _write_frames(out.write if compressed is None else compressed.write, frames, float_format, bar, workers)
        if compressed is not None:
            compressed.close()
    except BaseException:
        out.detach()
        if compressed is not None:
            compressed.abandon()
        raise
    if sync:
        os.fsync(fd)


def _fsync_directory(directory: str) -> None:
    """The rename on disk too (POSIX; best effort: not every file system can sync a directory)."""
    flag = getattr(os, "O_DIRECTORY", None)
    if flag is None:
        return
    try:
        fd = os.open(directory, os.O_RDONLY | flag)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _temporary(path: str) -> tuple[int, str]:
    """A new hidden file beside `path` (.NAME.XXXXXXXX.tmp), open for writing, mode 0o666 less
    the umask (what open() would give a new file), exclusively created."""
    directory, base = os.path.split(path)
    if len(os.fsencode(base)) > 200:  # the suffix must not push the name past the 255-byte limit
        base = "atomblock"
    while True:
        temp = os.path.join(directory, f".{base}.{secrets.token_hex(4)}.tmp")
        try:
            return os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666), temp
        except FileExistsError:
            continue
        except OSError as e:  # named after the destination: the temporary name means nothing to a caller
            raise type(e)(e.errno, f"{e.strerror} (creating a temporary file in its directory, to replace"
                          " it whole)", path) from None


def _keep_owner_and_mode(fd: int, temp: str, old: os.stat_result) -> None:
    """The replaced file's permission bits on the temporary; its owner too where the caller may
    give it (a privileged caller; for others the new file is theirs, as any rewrite makes it)."""
    if hasattr(os, "fchmod"):
        os.fchmod(fd, stat.S_IMODE(old.st_mode))
    else:
        os.chmod(temp, stat.S_IMODE(old.st_mode))
    if hasattr(os, "fchown") and (old.st_uid, old.st_gid) != (os.geteuid(), os.getegid()):
        try:
            os.fchown(fd, old.st_uid, old.st_gid)
        except OSError:
            pass


def _replace(path: str, frames: Iterable[Frame], float_format: FloatFormat, bar: Any, workers: int) -> None:
    """The whole file into a temporary beside it, then renamed over it (see replace_path)."""
    replace_path(path, lambda fd, sync: _write_fd(fd, path, False, frames, float_format, bar, workers, sync=sync))


def replace_path(path: str, write: Callable[[int, bool], None]) -> None:
    """`write(fd, sync)` writes a whole file into a temporary beside `path`, which is then renamed
    over it: the destination is the old file or the complete new one, never a part (a failure
    removes the temporary). `sync` asks for the text on disk before the rename. A device or a
    pipe at `path` is written in place (renaming over it would replace the node)."""
    try:
        old: os.stat_result | None = os.stat(path)
    except FileNotFoundError:
        old = None
    if old is not None and not stat.S_ISREG(old.st_mode):
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_BINARY", 0), 0o666)
        try:
            write(fd, False)
        finally:
            os.close(fd)
        return
    if old is not None and not os.access(path, os.W_OK):
        # A file the caller may not write stays refused, as open() would refuse it.
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)
    fd, temp = _temporary(path)
    try:
        try:
            if old is not None:
                _keep_owner_and_mode(fd, temp, old)
            # Synced before the rename: after a crash the path holds the old or the new text.
            write(fd, True)
        finally:
            os.close(fd)
        os.replace(temp, path)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise
    _fsync_directory(os.path.dirname(path) or ".")


def _append(path: str, frames: Iterable[Frame], float_format: FloatFormat, bar: Any, workers: int) -> None:
    """The frames appended in place; on failure the file is cut back to its old length (or
    removed when this call made it). A pipe or device is written, not cut back."""
    flags = os.O_WRONLY | os.O_APPEND | getattr(os, "O_BINARY", 0)
    made = False
    try:
        fd = os.open(path, flags)
    except FileNotFoundError:
        fd = os.open(path, flags | os.O_CREAT | os.O_EXCL, 0o666)
        made = True
    try:
        old = os.fstat(fd)
        try:
            # Not synced: appending frame after frame stays cheap, and a crash cannot harm the old text.
            _write_fd(fd, path, True, frames, float_format, bar, workers, sync=False)
        except BaseException:
            if stat.S_ISREG(old.st_mode):
                try:
                    os.ftruncate(fd, old.st_size)
                except OSError:
                    pass
                if made:
                    try:
                        os.unlink(path)
                    except OSError:
                        pass
            raise
    finally:
        os.close(fd)


def _frames_of(frames: Any) -> Iterable[Frame]:
    if isinstance(frames, Frame):
        return (frames,)
    if isinstance(frames, (str, bytes, Mapping)) or not isinstance(frames, Iterable):
        raise TypeError(f"frames must be a Frame or an iterable of Frames, got {type(frames).__name__}")
    return cast("Iterable[Frame]", frames)


def write(dest: Dest, frames: Frame | Iterable[Frame], *, append: bool = False,
          float_format: str = "fixed", workers: int = 1, progress: bool = False) -> None:
    """Write a frame or frames: to a path (replaced, or appended to with append=True; .gz, .bz2
    and .xz compress) or to an open file (binary, or text).

    A path is written whole or not at all: the frames go to a hidden temporary file
    beside it (.NAME.XXXXXXXX.tmp), which is synced and then renamed over the path,
    keeping its permission bits; a symbolic link is followed and stays a link. Any
    failure (a bad frame, the iterable raising, KeyboardInterrupt, a full disk)
    removes the temporary and leaves the path as it was, so writing onto the file
    that `frames` is reading from works. append=True writes in place and, on a
    failure, cuts the file back to its old length. A path that is a device or a
    pipe is written in place.

    An open file cannot be restored: each frame is checked whole (arrays, comment
    line, strings) before any of its bytes are written, so a failure leaves the
    frames before the failing one, complete.

    frames: a Frame or an iterable of Frames (TypeError names the first item, counted
    from 0, that is not a Frame). float_format "fixed" writes per-atom floats as
    "%16.8f"; "shortest" writes the shortest text that reads back to the same float.
    Comment-line floats are always shortest. With workers=N > 1, a frame of more
    than WRITE_ROWS atoms is formatted in row chunks on N helper threads while the
    calling thread writes them in order; the file is the same. A Table is written
    from its columns, ranges of frames of about WRITE_ROWS atoms at a time (on N
    threads with workers=N), the same bytes as writing list(table).

    A path ending in .parquet or .pq is written as one Parquet file of the frames
    (the columns of Table.to_arrow; needs pyarrow), whole, through a temporary file
    as above; its values are stored exactly, so float_format and workers do not
    apply, and append=True is refused.
    """
    if float_format not in FLOAT_FORMATS:
        raise ValueError(f"float_format must be one of {FLOAT_FORMATS}, got {float_format!r}")
    if workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    fmt = cast(FloatFormat, float_format)
    if is_parquet(dest):
        from ._arrow import write_parquet

        if append:
            raise ValueError(f"{os.fsdecode(dest)}: a Parquet file is written whole; append=True is for extxyz")  # type: ignore[arg-type]
        return write_parquet(dest, frames if isinstance(frames, Table) else _frames_of(frames))
    todo: Iterable[Frame]
    if isinstance(frames, Table):
        frames._writable()  # refused first when a frame lost its atoms' columns
        todo = frames
    else:
        todo = _frames_of(frames)
    is_path = _source.is_path(dest)
    if not is_path and not callable(getattr(dest, "write", None)):
        raise TypeError(f"dest must be a path or an open file, got {type(dest).__name__}")
    name = source_name(dest)
    with optional_bar(None, os.path.basename(name), progress) as bar:
        if is_path:
            path = os.path.realpath(os.fsdecode(dest))  # type: ignore[arg-type]  # a link stays a link
            (_append if append else _replace)(path, todo, fmt, bar, workers)
        elif isinstance(dest, io.TextIOBase) or (
                not isinstance(dest, (io.RawIOBase, io.BufferedIOBase)) and hasattr(dest, "encoding")):
            text_dest = cast("IO[str]", dest)

            def put(data: bytes) -> None:
                text_dest.write(data.decode("utf-8"))

            _write_frames(put, todo, fmt, bar, workers)
        else:
            _write_frames(cast("IO[bytes]", dest).write, todo, fmt, bar, workers)
