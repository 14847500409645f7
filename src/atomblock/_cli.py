"""The `python -m atomblock` command line: info, check and convert for extended XYZ files."""

from __future__ import annotations

import argparse
import contextlib
import functools
import inspect
import lzma
import os
import sys
import zlib
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from typing import Any

import numpy as np

# Exit statuses: 0 all well, 1 `check` found faults, 2 the command could not do its work
# (bad arguments, a file that cannot be opened or read, an index out of range).
EXIT_OK = 0
EXIT_FAULTS = 1
EXIT_ERROR = 2

# The name in usage and error lines: the console command when run as one, else the module form.
PROG = "atomblock" if os.path.basename(sys.argv[0]) in ("atomblock", "atomblock.exe") else "python -m atomblock"

# dtype kind -> extended XYZ type letter, as the reader maps them (str, float, int, bool).
_TYPE_LETTER = {"U": "S", "S": "S", "f": "R", "i": "I", "u": "I", "b": "L"}

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
    """`--index` text in the forms that `read` takes: an integer (`-1`) or slice text of up to three
    colon-separated parts (`::10`, `2:`, `1:9:2`), blanks allowed around each part (`1 : 2`)."""
    parts = text.split(":")
    try:
        if len(parts) == 1:
            return int(parts[0])
        if len(parts) <= 3:
            start, stop, step = (int(part) if part.strip() else None for part in (*parts, "")[:3])
            if step == 0:
                raise CommandError(f"bad index {text!r}: the slice step cannot be zero")
            return slice(start, stop, step)
    except ValueError:
        pass
    raise CommandError(f"bad index {text!r}: expected an integer such as -1 or a slice such as ::10")


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


def _property_text(name: str, values: np.ndarray) -> str:
    letter = _TYPE_LETTER.get(values.dtype.kind, "?")
    count = 1 if values.ndim == 1 else int(values.shape[1])
    return f"{name}:{letter}:{count}"


def _counted(counts: dict[str, int], nframes: int) -> str:
    """`a, b (2 of 5 frames)`: keys in first-seen order, those not in every frame counted."""
    if not counts:
        return "none"
    return ", ".join(key if n == nframes else f"{key} ({n} of {nframes})" for key, n in counts.items())


def _pbc_text(pbc: Any) -> str:
    return " ".join("T" if flag else "F" for flag in np.asarray(pbc, dtype=bool).reshape(-1))


class FileSummary:
    """What `info` tells about one file, gathered one frame at a time."""

    def __init__(self) -> None:
        self.frames = 0
        self.atoms = 0
        self.min_atoms: int | None = None
        self.max_atoms: int | None = None
        self.properties: dict[str, int] = {}
        self.info_keys: dict[str, int] = {}
        self.cells = 0
        self.first_cell: np.ndarray | None = None
        self.volumes: list[float] = []
        self.pbc: Counter = Counter()

    def add(self, frame: Any) -> None:
        natoms = int(frame.natoms)
        self.frames += 1
        self.atoms += natoms
        self.min_atoms = natoms if self.min_atoms is None else min(self.min_atoms, natoms)
        self.max_atoms = natoms if self.max_atoms is None else max(self.max_atoms, natoms)
        for name, values in frame.arrays.items():
            key = _property_text(name, np.asarray(values))
            self.properties[key] = self.properties.get(key, 0) + 1
        for key in frame.info:
            self.info_keys[key] = self.info_keys.get(key, 0) + 1
        if frame.cell is not None:
            cell = np.asarray(frame.cell, dtype=np.float64)
            self.cells += 1
            if self.first_cell is None:
                self.first_cell = cell
            self.volumes.append(abs(float(np.linalg.det(cell))))
        self.pbc[_pbc_text(frame.pbc)] += 1

    def lines(self) -> list[str]:
        n = self.frames
        out = [f"  frames      {n:,}"]
        if n:
            out.append(f"  atoms       {self.atoms:,} total, per frame {self.min_atoms:,} min, {self.max_atoms:,} max")
        out.append(f"  properties  {_counted(self.properties, n)}")
        out.append(f"  info keys   {_counted(self.info_keys, n)}")
        if self.first_cell is None:
            out.append("  cell        none")
        else:
            lengths = " ".join(f"{x:.6g}" for x in np.linalg.norm(self.first_cell, axis=1))
            volumes = f"{min(self.volumes):.6g}" if min(self.volumes) == max(self.volumes) else \
                f"{min(self.volumes):.6g} to {max(self.volumes):.6g}"
            where = "every frame" if self.cells == n else f"{self.cells} of {n} frames"
            out.append(f"  cell        {where}; first: vector lengths {lengths}; volume {volumes}")
        pbc = ", ".join(value if count == n else f"{value} ({count} of {n})"
                        for value, count in self.pbc.most_common())
        out.append(f"  pbc         {pbc or 'none'}")
        return out


def cmd_info(args: argparse.Namespace, api: Any) -> int:
    for position, path in enumerate(args.files):
        summary = FileSummary()
        with _reading(path):
            for frame in api.iread(_input(path), ":", progress=args.progress):
                summary.add(frame)
        if position:
            print()
        print(_shown(path))
        print("\n".join(summary.lines()))
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
        description="Inspect, validate and convert extended XYZ files "
                    "(paths ending in .gz, .bz2 or .xz are compressed). A FILE or INPUT of - is "
                    "standard input (compressed or not); an OUTPUT of - is standard output.",
    )
    parser.add_argument("--version", action="version", version=_version())
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    info = sub.add_parser("info", help="summarise files: frames, atoms, properties, info keys, cell and pbc",
                          description="Summarise each file: frames, atoms (total, min and max per frame), "
                                      "properties as name:type:count, info keys, cell and pbc. Properties "
                                      "and keys not in every frame show in how many they are.")
    info.add_argument("files", nargs="+", metavar="FILE")
    info.add_argument("--progress", action="store_true", help="show a progress bar (needs tqdm)")
    info.set_defaults(run=cmd_info)

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
