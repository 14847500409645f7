"""Sources of text: opening a path or an open file, naming it, decompressing it, and reading it in chunks.

Every reader takes its bytes from a `ByteSource`: `fill(buf, at, want)` reads
the next bytes into a bytearray. Compressed data (gzip, bzip2, xz) is recognised by
its first bytes, for paths and open binary files alike, and decompressed as it
is read. A regular file is read up to the length it had when it was opened; a
file that shrinks under the reader gives a `SourceFault`, as does corrupt or
truncated compressed data: the reader turns it into an ExtxyzError at the line
where the text stopped.
"""
from __future__ import annotations

import bz2
import io
import lzma
import os
import stat
from typing import IO, Any, Union

Source = Union[str, bytes, "os.PathLike[str]", IO[bytes], IO[str]]

CHUNK = 1 << 20  # bytes asked of a source per read (a frame bigger than this grows the buffer)

try:  # the fastest gzip decoder present, all with the standard gzip module's interface
    from isal import igzip as _gzip_module

    GZIP_DECODER = "isal"
except ImportError:  # pragma: no cover - depends on what is installed
    try:
        from zlib_ng import gzip_ng as _gzip_module  # type: ignore[no-redef]

        GZIP_DECODER = "zlib-ng"
    except ImportError:
        import gzip as _gzip_module  # type: ignore[no-redef]

        GZIP_DECODER = "gzip"

_MAGIC = ((b"\x1f\x8b", "gzip"), (b"BZh", "bzip2"), (b"\xfd7zXZ\x00", "xz"))
_MAGIC_BYTES = max(len(m) for m, _ in _MAGIC)


def source_name(source: object) -> str:
    """How messages name a source: a path as text, an open file by its name, else <stream>."""
    if isinstance(source, (str, bytes, os.PathLike)):
        return os.fsdecode(source)
    name = getattr(source, "name", None)
    if isinstance(name, bytes):
        return os.fsdecode(name)
    return name if isinstance(name, str) else "<stream>"


def is_path(source: object) -> bool:
    return isinstance(source, (str, bytes, os.PathLike))


def is_parquet(source: object) -> bool:
    """A path ending in .parquet or .pq: frames stored as a table, read with pyarrow."""
    return isinstance(source, (str, bytes, os.PathLike)) and os.fsdecode(source).lower().endswith((".parquet", ".pq"))


def check_source(source: object) -> None:
    """TypeError for what is neither a path nor an open file (text held in bytes included)."""
    if isinstance(source, (bytes, bytearray, memoryview)) and b"\n" in source:
        raise TypeError("source is bytes holding a line break, not a path: wrap text held in memory"
                        " as io.BytesIO(data)")
    if isinstance(source, (bytearray, memoryview)) or not (is_path(source) or hasattr(source, "read")):
        raise TypeError("source must be a path (str, bytes, os.PathLike) or an open file,"
                        f" not {type(source).__name__}")


class SourceFault(Exception):
    """The bytes of a source stop short of its end. The reader says where:
    f"{lead} after line N: {reason}"."""

    def __init__(self, lead: str, reason: str) -> None:
        super().__init__(f"{lead}: {reason}")
        self.lead = lead
        self.reason = reason


def _reader_of(f: Any) -> Any:
    """The most prompt read of an open file: one that returns what is there without waiting for more."""
    # read1 first: a buffered file's readinto1 copies what it holds, then may wait on one more read.
    for method in ("read1", "readinto1", "readinto"):
        call = getattr(f, method, None)
        if call is not None:
            return method, call
    return "read", f.read


class _Raw(io.RawIOBase):
    """Bytes of a path or an open binary file: the bytes already peeked first, a regular file's
    up to the length it had when opened. What the decompressors read from."""

    def __init__(self, f: Any, limit: int | None, prefix: bytes = b"") -> None:
        self._f = f
        self._kind, self._call = _reader_of(f)
        self._limit = limit  # bytes left of a regular file; None: read to the end
        self._size = limit
        self._prefix = prefix
        self.failed: BaseException | None = None  # an error of the underlying file, for the caller

    def readable(self) -> bool:
        return True

    def readinto(self, view: Any) -> int:  # type: ignore[override]
        if self._prefix:
            n = min(len(view), len(self._prefix))
            view[:n] = self._prefix[:n]
            self._prefix = self._prefix[n:]
            return n
        want = len(view)
        if self._limit is not None:
            want = min(want, self._limit)
            if want == 0:
                return 0
        try:
            if self._kind in ("readinto1", "readinto"):
                with memoryview(view) as mv:
                    got = self._call(mv[:want]) or 0
            else:
                data = self._call(want)
                if isinstance(data, str):
                    raise TypeError("a compressed stream must be opened in binary mode")
                got = len(data)
                view[:got] = data
        except BaseException as e:
            self.failed = e
            raise
        if self._limit is not None:
            if got == 0:
                self.failed = SourceFault("the file ends", f"it was {self._size} bytes when opened:"
                                          " it changed while being read")
                raise self.failed
            self._limit -= got
        return got


class ByteSource:
    """A source's bytes, decompressed when they start with a gzip, bzip2 or xz header."""

    name: str
    total: int | None  # bytes the progress bar expects (None: unknown)

    def __init__(self, source: Source) -> None:
        check_source(source)
        self._owned: Any = None
        self._text: Any = None
        self._decoder: Any = None
        start = 0
        limit: int | None = None
        if is_path(source):
            self.name = source_name(source)
            f = self._owned = open(source, "rb", buffering=0)  # type: ignore[arg-type]
            st = os.fstat(f.fileno())
            if stat.S_ISREG(st.st_mode):
                limit = st.st_size
        else:
            f = source
            self.name = source_name(source)
            if isinstance(f, io.TextIOBase) or (_reader_of(f)[0] == "read" and isinstance(_empty_read(f), str)):
                self._text = f
            else:
                start = _position(f)
                if isinstance(f, (io.BufferedReader, io.FileIO)) and start is not None:
                    try:
                        st = os.fstat(f.fileno())
                        if stat.S_ISREG(st.st_mode):
                            limit = max(0, st.st_size - start)
                    except (OSError, ValueError):
                        pass
                if start:
                    self.name += f" (from byte {start})"
        self.total = limit
        self._prompt = not is_path(source)  # a path is read in whole chunks
        if self._text is not None:
            self._raw = None
            return
        self._raw = _Raw(f, limit)
        try:
            prefix = self._peek()
        except BaseException:
            self.close()
            raise
        self._raw = _Raw(f, None if limit is None else limit - len(prefix), prefix)
        self._raw._size = limit
        kind = next((k for m, k in _MAGIC if prefix.startswith(m)), None)
        if kind is not None:
            self.total = None  # the progress bar counts decompressed bytes, whose number is unknown
            if kind == "gzip":
                self._decoder = _gzip_module.open(self._raw, "rb")
            elif kind == "bzip2":
                self._decoder = bz2.BZ2File(self._raw, "rb")
            else:
                self._decoder = lzma.LZMAFile(self._raw, "rb")

    def _peek(self) -> bytes:
        """The first bytes, as many as tell whether a compression header starts the data: reading
        stops as soon as they cannot start one, so a stream is never waited on for more."""
        got = bytearray()
        piece = bytearray(_MAGIC_BYTES)
        while len(got) < _MAGIC_BYTES and any(m.startswith(bytes(got[:len(m)])) for m, _ in _MAGIC):
            if any(bytes(got).startswith(m) for m, _ in _MAGIC):
                break
            n = self._raw.readinto(memoryview(piece)[:_MAGIC_BYTES - len(got)])  # type: ignore[union-attr]
            if not n:
                break
            got += piece[:n]
        return bytes(got)

    def fill(self, buf: bytearray, at: int, want: int) -> int:
        """Read up to `want` bytes into `buf` from offset `at` on, and cut `buf` after them (what it
        held past `at` is read over). Fewer bytes when an open file has no more for now (a pipe or a
        socket) or at the end; 0 only at the end. SourceFault when the bytes stop short: what was
        decompressed before the fault is in `buf` then."""
        added = 0
        if self._text is not None:
            del buf[at:]
            while added < want:
                piece = min(want - added, CHUNK)
                data = self._text.read(piece)
                encoded = data.encode("utf-8") if isinstance(data, str) else data
                buf += encoded
                added += len(encoded)
                if len(data) < piece:  # at the end, or no more for now
                    break
            return added
        n0 = at
        if len(buf) < at + want:
            grow(buf, at + want - len(buf))  # room to read into: the bytes land in `buf` directly
        try:
            with memoryview(buf) as whole:
                while added < want:
                    piece = want - added if self._decoder is None else min(want - added, CHUNK)
                    with whole[n0 + added:n0 + added + piece] as view:
                        got = self._read(view)
                    if got == 0:
                        break
                    added += got
                    # A decoder hands out what one block of input gives: ask again; an open file that
                    # gave less than asked has no more for now, and a frame may be whole already.
                    if got < piece and self._decoder is None and self._prompt:
                        break
        finally:
            del buf[n0 + added:]
        return added

    def _read(self, view: memoryview) -> int:
        if self._decoder is None:
            return self._raw.readinto(view)  # type: ignore[union-attr]
        try:
            return int(self._decoder.readinto1(view))
        except (KeyboardInterrupt, MemoryError, SourceFault):
            raise
        except Exception as e:
            failed = self._raw.failed if self._raw is not None else None
            if failed is not None:
                raise failed from None
            reason = str(e) or type(e).__name__
            raise SourceFault("compressed data is corrupt or truncated", reason) from None

    def positional(self) -> tuple[int, int] | None:
        """(file descriptor, length when opened) of an uncompressed regular file opened from a path,
        for reads at chosen offsets (os.preadv) that leave the stream where it is; None for any
        other source. Bytes past that length are not the source's."""
        if self._owned is None or self._decoder is not None or self._raw is None or self._raw._size is None:
            return None
        if not hasattr(os, "preadv"):  # pragma: no cover - systems without positional reads
            return None
        return int(self._owned.fileno()), self._raw._size

    def remaining(self) -> int | None:
        """Bytes of an uncompressed regular file not read yet (None when unknown)."""
        if self._decoder is not None or self._raw is None:
            return None
        return self._raw._limit

    def close(self) -> None:
        if self._decoder is not None:
            try:
                self._decoder.close()
            except Exception:
                pass
        if self._owned is not None:
            self._owned.close()

    def __enter__(self) -> ByteSource:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


_ZEROS = memoryview(bytes(1 << 20))


def grow(buf: bytearray, n: int) -> None:
    """Append n bytes (zeros) to `buf`, at the cost of one copy from a small block of zeros."""
    while n > 0:
        step = min(n, len(_ZEROS))
        buf += _ZEROS[:step]
        n -= step


def _empty_read(f: Any) -> object:
    """What read(0) of a file object without binary reads gives: str for a text file."""
    try:
        return f.read(0)
    except Exception:
        return b""


def _position(f: Any) -> int | None:
    try:
        return int(f.tell())
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        return None
