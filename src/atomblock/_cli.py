"""The `python -m atomblock` command line: info, stats, check and convert for extended XYZ files."""

from __future__ import annotations

import argparse
import contextlib
import functools
import inspect
import json
import lzma
import os
import sys
import zlib
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any

import numpy as np

# Exit statuses: 0 all well, 1 `check` found faults, 2 the command could not do its work
# (bad arguments, a file that cannot be opened or read, an index out of range).
EXIT_OK = 0
EXIT_FAULTS = 1
EXIT_ERROR = 2

# The name in usage and error lines: the console command when run as one, else the module form.
PROG = "atomblock" if os.path.basename(sys.argv[0]) in ("atomblock", "atomblock.exe") else "python -m atomblock"

# A FILE or INPUT of "-" is standard input (read as bytes, compressed or not); an OUTPUT of "-"
# is standard output (uncompressed). Lines about standard input name it STDIN_NAME.
STDIO = "-"
STDIN_NAME = "<stdin>"

# Exceptions a corrupt compressed file raises from the decompressors (a bad gzip header is an
# OSError already): reported like any other unreadable file, never as a traceback.
_DECOMPRESS_ERRORS = (EOFError, zlib.error, lzma.LZMAError)


class CommandError(Exception):
    """A failure to report as one line and exit status 2, without a traceback."""


def parse_index(text: str) -> int | slice:
    """`--index` text read as `read` reads it (the package's own parse_index): an integer (`-1`) or
    slice text of up to three colon-separated parts (`::10`, `2:`, `1:9:2`), blanks allowed around
    each part (`1 : 2`). A text it refuses, or a zero slice step, is a CommandError."""
    from ._read import parse_index as parse_read_index

    try:
        index = parse_read_index(text)
    except ValueError:
        raise CommandError(f"bad index {text!r}: expected an integer such as -1 or a slice such as ::10") from None
    if isinstance(index, slice) and index.step == 0:
        raise CommandError(f"bad index {text!r}: the slice step cannot be zero")
    return index


def _input(path: str) -> Any:
    """What the package reads for a FILE argument: the path, or standard input's bytes for "-"."""
    return sys.stdin.buffer if path == STDIO else path


def _shown(path: str) -> str:
    return STDIN_NAME if path == STDIO else path


@contextlib.contextmanager
def _reading(path: str) -> Iterator[None]:
    """A decompressor's failure while `path` is read, as an error line that names the file."""
    try:
        yield
    except _DECOMPRESS_ERRORS as exc:
        raise CommandError(_unreadable_text(exc, _shown(path))) from exc


def _unreadable_text(exc: Exception, shown: str) -> str:
    text = str(exc).splitlines()[0] if str(exc) else ""
    return f"{shown}: cannot be read: {type(exc).__name__}" + (f": {text}" if text else "")


# ---------------------------------------------------------------------------------------------
# info


def _plural(n: int, word: str) -> str:
    return f"{n:,} {word}" if n == 1 else f"{n:,} {word}s"


def _property_texts(properties: str) -> list[str]:
    """`name:T:count` of each property of a Properties text, the type letter upper case and the
    count as a number: what the reader makes of it (`pos:r:03` is `pos:R:3`)."""
    from ._properties import layout_of_text

    return [f"{name}:{letter}:{count}" for name, letter, _, count in layout_of_text(properties).fields]


def _counted(counts: dict[str, int], nframes: int) -> str:
    """`a, b (2 of 5 frames)`: keys in first-seen order, those not in every frame counted."""
    if not counts:
        return "none"
    return ", ".join(key if n == nframes else f"{key} ({n} of {nframes})" for key, n in counts.items())


def _spread(groups: dict[Any, int], members: Callable[[Any], Iterable[str]]) -> dict[str, int]:
    """Frames per member, from frames per group of members (a Properties text, an info-key order),
    in the order of the first frame that has each member: groups are in first-seen order."""
    counts: dict[str, int] = {}
    for group, n in groups.items():
        for member in members(group):
            counts[member] = counts.get(member, 0) + n
    return counts


class FileSummary:
    """What `info` tells about one file, gathered from the frames' count and comment lines.

    Frames are counted per distinct Properties text and info-key order (a file has few of
    each), so a frame costs a few dictionary updates; no atom line is read."""

    def __init__(self) -> None:
        self.natoms: list[int] = []
        self.layouts: dict[str, int] = {}
        self.orders: dict[tuple[str, ...], int] = {}
        self.cells: list[np.ndarray] = []
        self.pbc: dict[bytes, int] = {}

    def add(self, natoms: int, info: dict[str, Any], cell: np.ndarray | None, pbc: np.ndarray,
            properties: str) -> None:
        self.natoms.append(natoms)
        self.layouts[properties] = self.layouts.get(properties, 0) + 1
        keys = tuple(info)
        self.orders[keys] = self.orders.get(keys, 0) + 1
        if cell is not None:
            self.cells.append(cell)
        flags = np.asarray(pbc, dtype=bool).tobytes()
        self.pbc[flags] = self.pbc.get(flags, 0) + 1

    def lines(self) -> list[str]:
        n = len(self.natoms)
        out = [f"  frames      {n:,}"]
        if n:
            out.append(f"  atoms       {sum(self.natoms):,} total, per frame {min(self.natoms):,} min,"
                       f" {max(self.natoms):,} max")
        out.append(f"  properties  {_counted(_spread(self.layouts, _property_texts), n)}")
        out.append(f"  info keys   {_counted(_spread(self.orders, iter), n)}")
        if not self.cells:
            out.append("  cell        none")
        else:
            cells = np.concatenate(self.cells).reshape(-1, 3, 3)
            volumes = np.abs(np.linalg.det(cells))
            low, high = float(volumes.min()), float(volumes.max())
            lengths = " ".join(f"{x:.6g}" for x in np.linalg.norm(cells[0], axis=1))
            volume = f"{low:.6g}" if low == high else f"{low:.6g} to {high:.6g}"
            where = "every frame" if len(cells) == n else f"{len(cells)} of {n} frames"
            out.append(f"  cell        {where}; first: vector lengths {lengths}; volume {volume}")
        # Most frames first; equal counts in first-seen order.
        ranked = sorted(self.pbc.items(), key=lambda item: -item[1])
        pbc = ", ".join(_pbc_text(flags) if count == n else f"{_pbc_text(flags)} ({count} of {n})"
                        for flags, count in ranked)
        out.append(f"  pbc         {pbc or 'none'}")
        return out


def _pbc_text(flags: bytes) -> str:
    return " ".join("T" if flag else "F" for flag in flags)


def cmd_info(args: argparse.Namespace, api: Any) -> int:
    from ._read import _frame_headers

    for position, path in enumerate(args.files):
        summary = FileSummary()
        with _reading(path):
            # The count and comment lines only: no atom line is converted (nor checked).
            for _, _, natoms, info, cell, pbc, properties in _frame_headers(_input(path), ":",
                                                                            progress=args.progress):
                summary.add(natoms, info, cell, pbc, properties)
        if position:
            print()
        print(_shown(path))
        print("\n".join(summary.lines()))
    return EXIT_OK


# ---------------------------------------------------------------------------------------------
# stats


class KeyStats:
    """min, mean and max of one quantity over the frames that define it, every element of an
    array value counted (a 3x3 stress gives nine values per frame). shape: the shape of each
    frame's value, () for a number, None when it differs between frames."""

    __slots__ = ("name", "frames", "shape", "low", "mean", "high")

    def __init__(self, name: str, frames: int, shape: tuple[int, ...] | None, values: np.ndarray) -> None:
        self.name, self.frames, self.shape = name, frames, shape
        self.low: Any = None
        self.mean: float | None = None
        self.high: Any = None
        if values.size:
            self.low, self.high = values.min().item(), values.max().item()
            self.mean = float(values.mean(dtype=np.float64))

    def as_json(self) -> dict[str, Any]:
        shape = None if self.shape is None else list(self.shape)
        return {"frames": self.frames, "shape": shape, "min": _json_number(self.low),
                "mean": _json_number(self.mean), "max": _json_number(self.high)}


def _json_number(value: Any) -> Any:
    """A number as JSON holds it: NaN and the infinities, which JSON has no literal for, as text."""
    if isinstance(value, float) and not np.isfinite(value):
        return str(value)
    return value


def _stats_number(value: Any) -> str:
    if value is None:
        return "-"
    return f"{value:.8g}" if isinstance(value, float) else str(value)


def _numeric_values(column: np.ndarray, where: np.ndarray) -> tuple[np.ndarray, tuple[int, ...] | None] | None:
    """(every element of the frames' values, as one flat array, and their shape) of an
    info column, over the frames `where`; None when the values are not all numbers (bools,
    strings and mixes are not)."""
    kind = column.dtype.kind
    if kind in "iuf":
        return column[where].reshape(-1), column.shape[1:]
    if kind != "O":
        return None
    # Values whose type or shape differs between frames: numbers and numeric arrays of any shape.
    pieces = []
    shapes = set()
    for value in column[where]:
        array = np.asarray(value)
        if array.dtype.kind not in "iuf":
            return None
        pieces.append(array.reshape(-1))
        shapes.add(array.shape)
    if not pieces:
        return np.zeros(0), ()
    shape = shapes.pop() if len(shapes) == 1 else None
    kinds = {piece.dtype.kind for piece in pieces}
    return np.concatenate(pieces).astype(np.float64 if "f" in kinds else np.int64, copy=False), shape


def _kind_text(column: np.ndarray) -> str:
    return {"b": "bool", "U": "str"}.get(column.dtype.kind, "mixed")


def file_stats(table: Any, keys: Sequence[str] | None, shown: str) -> tuple[list[KeyStats], list[tuple[str, str]]]:
    """(natoms and the info keys' statistics, the non-numeric keys left out) of a metadata-only table.

    keys: the info keys asked for, in that order; None for every numeric key in column order.
    A key asked for that is not numeric is a CommandError; one that no frame defines has
    0 frames and no values."""
    natoms = np.asarray(table.natoms)
    rows = [KeyStats("natoms", len(natoms), (), natoms)]
    skipped: list[tuple[str, str]] = []
    for key in table.info if keys is None else keys:
        column = table.info.get(key)
        if column is None:
            rows.append(KeyStats(key, 0, (), np.zeros(0)))
            continue
        where = np.asarray(table.has(key, kind="info"))
        found = _numeric_values(column, where)
        if found is None:
            if keys is not None:
                raise CommandError(f"{shown}: info key {key!r} is not numeric ({_kind_text(column)} values)")
            skipped.append((key, _kind_text(column)))
            continue
        values, shape = found
        rows.append(KeyStats(key, int(where.sum()), shape, values))
    return rows, skipped


def _stats_lines(rows: list[KeyStats], skipped: list[tuple[str, str]]) -> list[str]:
    names = [row.name if row.shape == () else
             f"{row.name} ({'varies' if row.shape is None else 'x'.join(map(str, row.shape))})" for row in rows]
    cells = [[name, str(row.frames), *map(_stats_number, (row.low, row.mean, row.high))]
             for name, row in zip(names, rows, strict=True)]
    header = ["key", "frames", "min", "mean", "max"]
    widths = [max(len(line[i]) for line in [header, *cells]) for i in range(len(header))]

    def laid_out(line: list[str]) -> str:
        return "  " + "  ".join(text.ljust(widths[0]) if i == 0 else text.rjust(widths[i])
                                for i, text in enumerate(line)).rstrip()

    out = [laid_out(header), *map(laid_out, cells)]
    if skipped:
        out.append("  not numeric: " + ", ".join(f"{key} ({kind})" for key, kind in skipped))
    return out


def cmd_stats(args: argparse.Namespace, api: Any) -> int:
    index = parse_index(args.index)
    keys = list(dict.fromkeys(args.info)) if args.info else None
    results = []
    for path in args.files:
        with _reading(path):
            # The metadata-only table: count and comment lines, no atom line converted.
            table = api.read_table(_input(path), index, arrays=[], info=keys, progress=args.progress)
        results.append((_shown(path), *file_stats(table, keys, _shown(path))))
    for key in keys or ():
        if not any(row.frames for _, rows, _ in results for row in rows[1:] if row.name == key):
            where = results[0][0] if len(results) == 1 else f"any of the {len(results)} files"
            raise CommandError(f"no frame of {where} defines the info key {key!r}")
    if args.json:
        print(json.dumps([{"file": shown, "frames": rows[0].frames, "natoms": rows[0].as_json(),
                           "info": {row.name: row.as_json() for row in rows[1:]},
                           "not_numeric": dict(skipped)}
                          for shown, rows, skipped in results], indent=1))
        return EXIT_OK
    for position, (shown, rows, skipped) in enumerate(results):
        if position:
            print()
        print(shown)
        print("\n".join(_stats_lines(rows, skipped)))
    return EXIT_OK


# ---------------------------------------------------------------------------------------------
# check


def _checker(api: Any) -> Callable[[Any], list[Any]]:
    """The package's check, asked for notes too when it can give them (`check(source, notes=True)`)."""
    try:
        takes_notes = "notes" in inspect.signature(api.check).parameters
    except (TypeError, ValueError):  # no signature to inspect: call it the plain way
        takes_notes = False
    return functools.partial(api.check, notes=True) if takes_notes else api.check


def _note_line(note: Any) -> str:
    """`FILE:LINE: frame K: note: WHAT`: a fault's form with `note:` before the text."""
    fields = [getattr(note, name, None) for name in ("file", "line", "frame", "what")]
    if any(field is None for field in fields):
        return f"note: {note}"
    file, line, frame, what = fields
    return f"{file}:{line}: frame {frame}: note: {what}"


def _is_note(item: Any, api: Any) -> bool:
    """A note is an `ExtxyzNote`; without that type, anything check lists that is not a fault."""
    note_type = getattr(api, "ExtxyzNote", None)
    if note_type is not None:
        return isinstance(item, note_type)
    error_type = getattr(api, "ExtxyzError", None)
    return error_type is not None and not isinstance(item, error_type)


def _unreadable_line(exc: Exception, shown: str, api: Any) -> str:
    if isinstance(exc, OSError):
        return _os_message(exc, shown)
    error_type = getattr(api, "ExtxyzError", None)
    if error_type is not None and isinstance(exc, error_type):  # already FILE:LINE: frame K: ...
        return str(exc).splitlines()[0]
    return _unreadable_text(exc, shown)


def cmd_check(args: argparse.Namespace, api: Any) -> int:
    check = _checker(api)
    faults = notes = faulty_files = unreadable = 0
    for path in args.files:
        try:
            found = check(_input(path))
        except Exception as exc:  # whatever stops one file, the others are still checked
            _error(_unreadable_line(exc, _shown(path), api))
            unreadable += 1
            continue
        file_faults = 0
        for item in found:
            if _is_note(item, api):
                print(_note_line(item))
                notes += 1
            else:
                print(item)
                file_faults += 1
        faults += file_faults
        faulty_files += bool(file_faults)
    checked = len(args.files) - unreadable
    if faults:
        summary = f"{_plural(faults, 'fault')} in {faulty_files} of {_plural(checked, 'file')} checked"
    else:
        summary = f"no faults in {_plural(checked, 'file')} checked"
    if notes:
        summary += f"; {_plural(notes, 'note')}"
    if unreadable:
        summary += f"; {_plural(unreadable, 'file')} could not be read"
    print(summary)
    if unreadable:
        return EXIT_ERROR
    return EXIT_FAULTS if faults else EXIT_OK


# ---------------------------------------------------------------------------------------------
# convert


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}")
    return value


def cmd_convert(args: argparse.Namespace, api: Any) -> int:
    index = parse_index(args.index)
    from_stdin, to_stdout = args.input == STDIO, args.output == STDIO
    if not from_stdin and not os.path.exists(args.input):
        raise CommandError(f"{args.input}: no such file")
    onto_input = not from_stdin and not to_stdout and _same_file(args.input, args.output)
    if onto_input and args.append:
        raise CommandError(f"{args.output}: is the input file; --append would read the appended frames again")
    frames: Any
    if isinstance(index, int):
        with _reading(args.input):
            frames = api.read(_input(args.input), index, progress=args.progress)
    else:
        # Frame by frame: one frame in memory at a time, whatever the file's size.
        frames = api.iread(_input(args.input), index, progress=args.progress)
    options = {"float_format": args.float_format, "workers": args.workers}
    with _reading(args.input):  # iread's frames are read while they are written
        if to_stdout:
            out = sys.stdout.buffer
            api.write(out, frames, **options)
            out.flush()
        else:
            # A path is replaced whole (temporary file, then rename): writing onto the input is
            # safe, since the reader keeps the old file open.
            api.write(args.output, frames, append=args.append, **options)
    return EXIT_OK


# ---------------------------------------------------------------------------------------------
# driver


def _version() -> str:
    import atomblock

    version = getattr(atomblock, "__version__", None)
    if version is None:
        try:
            from importlib.metadata import version as dist_version

            version = dist_version("atomblock")
        except Exception:  # not installed as a distribution (a development build)
            version = "unknown"
    return f"atomblock {version}"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Inspect, summarise, validate and convert extended XYZ files "
                    "(paths ending in .gz, .bz2 or .xz are compressed). A FILE or INPUT of - is "
                    "standard input (compressed or not); an OUTPUT of - is standard output.",
    )
    parser.add_argument("--version", action="version", version=_version())
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    info = sub.add_parser("info", help="summarise files: frames, atoms, properties, info keys, cell and pbc",
                          description="Summarise each file: frames, atoms (total, min and max per frame), "
                                      "properties as name:type:count, info keys, cell and pbc. Properties "
                                      "and keys not in every frame show in how many they are. Only the "
                                      "count and comment lines are read: a fault inside an atom line is "
                                      "not seen (check finds those).")
    info.add_argument("files", nargs="+", metavar="FILE")
    info.add_argument("--progress", action="store_true", help="show a progress bar (needs tqdm)")
    info.set_defaults(run=cmd_info)

    stats = sub.add_parser("stats", help="min, mean and max of natoms and numeric info values over the frames",
                           description="Per file: for natoms and each numeric info key (every one, or those "
                                       "named by --info), how many frames define it and the min, mean and max "
                                       "of its values over those frames. An array value (a 3x3 stress, a dipole) "
                                       "counts every element: the figures are over all elements of all frames, "
                                       "not per component (read_table gives the columns for that). Only the "
                                       "count and comment lines are read, not the atom lines. NaN values make "
                                       "the min, mean and max NaN.")
    stats.add_argument("files", nargs="+", metavar="FILE")
    stats.add_argument("--info", action="append", metavar="KEY",
                       help="an info key to report (repeat for more); default: every numeric key. A key that no "
                            "frame defines, or one that is not numeric, is an error")
    stats.add_argument("--index", default=":",
                       help="frames to count: an integer (0, -1) or a slice (::10, 5:, 1:9:2); default all")
    stats.add_argument("--json", action="store_true",
                       help="print one JSON list, an object per file (NaN and infinities as the text nan, inf)")
    stats.add_argument("--progress", action="store_true", help="show a progress bar (needs tqdm)")
    stats.set_defaults(run=cmd_stats)

    check = sub.add_parser("check", help="validate files, print every fault as FILE:LINE: ...",
                           description="Validate whole files and print every fault as FILE:LINE: frame K: ... "
                                       "and every note (something read but ignored, such as extra atom-line "
                                       "tokens) as FILE:LINE: frame K: note: ..., then a one-line summary. "
                                       "A file that cannot be read is reported on one line and the next "
                                       "file is checked. Exit status 0 when no fault (notes alone included), "
                                       "1 when any, 2 when a file cannot be read.")
    check.add_argument("files", nargs="+", metavar="FILE")
    check.set_defaults(run=cmd_check)

    convert = sub.add_parser("convert", help="copy frames from one file to another",
                             description="Copy frames of INPUT to OUTPUT, rewriting them canonically. "
                                         "OUTPUT is compressed by its extension (.gz, .bz2, .xz); INPUT "
                                         "may be compressed. - is standard input or output. OUTPUT may be INPUT itself "
                                         "(replaced once every frame is written), except with --append.")
    convert.add_argument("input", metavar="INPUT")
    convert.add_argument("output", metavar="OUTPUT")
    convert.add_argument("--index", default=":",
                         help="frames to copy: an integer (0, -1) or a slice (::10, 5:, 1:9:2, '1 : 9'); default all")
    convert.add_argument("--float-format", choices=("fixed", "shortest"), default="fixed",
                         help="fixed: %%16.8f columns (default); shortest: the shortest text that reads back exactly")
    convert.add_argument("--append", action="store_true",
                         help="append to OUTPUT instead of replacing it (not with OUTPUT the same file as INPUT)")
    convert.add_argument("--workers", type=_positive_int, default=1, metavar="N",
                         help="threads formatting big frames (default 1)")
    convert.add_argument("--progress", action="store_true", help="show a progress bar over INPUT (needs tqdm)")
    convert.set_defaults(run=cmd_convert)
    return parser


def _os_message(exc: OSError, path: str | None = None) -> str:
    name = exc.filename if exc.filename is not None else path
    reason = exc.strerror or str(exc)
    return f"{name}: {reason}" if name is not None else reason


def _error(message: str) -> None:
    print(f"{PROG}: error: {message}", file=sys.stderr)


def _join_index_values(argv: Sequence[str]) -> list[str]:
    """`--index -2:` as `--index=-2:`: argparse takes a value that starts with "-" and is not
    a plain negative number for an option, but negative slice starts are common here."""
    out: list[str] = []
    items = iter(argv)
    for item in items:
        if item == "--index":
            value = next(items, None)
            out.append(item if value is None else f"{item}={value}")
        else:
            out.append(item)
    return out


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(_join_index_values(sys.argv[1:] if argv is None else argv))
    if args.command is None:
        parser.print_help(sys.stderr)
        return EXIT_ERROR
    import atomblock

    if getattr(args, "progress", False) and not _have_tqdm():
        print(f"{PROG}: note: --progress needs the tqdm package (pip install tqdm); continuing without it",
              file=sys.stderr)
        args.progress = False
    try:
        return int(args.run(args, atomblock))
    except CommandError as exc:
        _error(str(exc))
    except OSError as exc:
        if isinstance(exc, BrokenPipeError):  # the reader of our output went away (`| head`)
            _silence_stdout()
            return EXIT_OK
        _error(_os_message(exc))
    except (ValueError, IndexError, KeyError, TypeError) as exc:
        # ExtxyzError is a ValueError whose text already starts with FILE:LINE.
        _error(str(exc).splitlines()[0] if str(exc) else type(exc).__name__)
    return EXIT_ERROR


def _have_tqdm() -> bool:
    try:
        import tqdm  # noqa: F401
    except ImportError:
        return False
    return True


def _silence_stdout() -> None:
    """After a broken pipe, point stdout at /dev/null so the interpreter's final flush is quiet."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
