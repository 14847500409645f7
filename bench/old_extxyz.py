"""Benchmark baseline: the earlier example file layer (extended XYZ frames in Python, each
frame's atom block read and written by _atomblock, everything else line by line in Python).

Kept only so that bench/bench_files.py can time the atomblock package against it; use the
atomblock package (atomblock.read/iread/write/check) for real work.

    import old_extxyz as extxyz
    for frame in extxyz.iread("traj.xyz"):          # lazy: one frame in memory at a time
        print(frame.natoms, frame.info.get("energy"), frame.properties["pos"].shape)
    extxyz.write("copy.xyz", extxyz.read("traj.xyz"))

A frame is a count line, a comment line and `natoms` atom lines. The comment line
holds key=value pairs (values with spaces in double quotes); the pair
`Properties=name:type:ncols:...` names the columns of the atom lines, with the types
S (string), R (real), I (integer) and L (logical). Without it the columns are
`species:S:1:pos:R:3`, as in a plain XYZ file.
"""
from __future__ import annotations

import os
import re
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from itertools import count, islice
from typing import IO, Any, Union

import numpy as np

from _atomblock import read_atom_lines_rs, write_atoms_rs

try:  # a progress bar on long files, when tqdm is there
    from tqdm import tqdm
except ImportError:
    tqdm = None

PROGRESS_MIN_BYTES = 64 * 2**20
DEFAULT_PROPERTIES = "species:S:1:pos:R:3"
TYPE_CODES = {"S": ord("s"), "R": ord("f"), "I": ord("i"), "L": ord("b")}
_TYPE_OF_DTYPE_KIND = {"U": "S", "f": "R", "i": "I", "u": "I", "b": "L"}

# One key, optionally "=" and a value: a "double-quoted string" (backslash escapes),
# a {braced list} or a bare word. Then blanks up to the next pair.
_PAIR = re.compile(r'([^\s="]+)(?:=("(?:[^"\\]|\\.)*"|\{[^}]*\}|[^\s"]*))?\s*')
_NEEDS_QUOTES = re.compile(r'[\s"\\=]')
_ROW_MESSAGE = re.compile(r"row (\d+): (.*)", re.S)

Layout = list  # of (name, type letter, ncols)
Source = Union[str, "os.PathLike[str]", IO[str]]


@dataclass
class Frame:
    """One frame: per-atom properties as named arrays plus the comment line's other pairs.

    Property arrays have `natoms` rows, shape (natoms,) for one column and
    (natoms, ncols) for more; their dtype gives the type (str -> S, float -> R,
    int -> I, bool -> L). `info` maps each key of the comment line other than
    Properties to its value as text (None for a key without a value).
    `comment` is the comment line as read: it is written back verbatim as long
    as it still describes `info` and the properties, else a new one is made.
    """

    natoms: int
    properties: dict[str, np.ndarray]
    info: dict[str, str | None] = field(default_factory=dict)
    comment: str | None = None

    def __post_init__(self):
        for name, values in self.properties.items():
            if len(values) != self.natoms:
                raise ValueError(f"property {name!r} has {len(values)} rows, not {self.natoms}")


def parse_comment(line: str) -> dict[str, str | None]:
    """The key=value pairs of a comment line, quotes removed; {} for a line that has none."""
    info: dict[str, str | None] = {}
    line = line.strip()
    pos = 0
    while pos < len(line):
        m = _PAIR.match(line, pos)
        if m is None or m.end() == pos:
            return {}  # free text with a stray quote: no pairs
        key, value = m.groups()
        if value is not None and value.startswith('"'):
            value = re.sub(r"\\(.)", r"\1", value[1:-1])
        info[key] = value
        pos = m.end()
    return info


def parse_properties(text: str) -> Layout:
    """`name:type:ncols:...` as a list of (name, type, ncols)."""
    parts = text.split(":")
    if len(parts) % 3:
        raise ValueError(f"Properties={text!r}: expected name:type:ncols triples")
    layout = []
    for name, kind, ncols in zip(parts[0::3], parts[1::3], parts[2::3], strict=True):
        if kind not in TYPE_CODES or not ncols.isdigit() or int(ncols) < 1:
            raise ValueError(f"Properties={text!r}: bad column {name}:{kind}:{ncols}")
        layout.append((name, kind, int(ncols)))
    if len({name for name, _, _ in layout}) != len(layout):
        raise ValueError(f"Properties={text!r}: a name is used twice")
    return layout


def column_codes(layout: Layout) -> bytes:
    """One _atomblock column type code per column: S->s, R->f, I->i, L->b."""
    return bytes(TYPE_CODES[kind] for _, kind, ncols in layout for _ in range(ncols))


def layout_of(frame: Frame) -> Layout:
    layout = []
    for name, values in frame.properties.items():
        kind = _TYPE_OF_DTYPE_KIND.get(np.asarray(values).dtype.kind)
        if kind is None:
            raise TypeError(f"property {name!r}: no extended XYZ type for dtype {values.dtype}")
        layout.append((name, kind, 1 if np.ndim(values) == 1 else np.shape(values)[1]))
    return layout


def _quote(value: str) -> str:
    if value and not _NEEDS_QUOTES.search(value):
        return value
    if value.startswith("{") and value.endswith("}") and '"' not in value:
        return value
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


def comment_line(frame: Frame, layout: Layout) -> str:
    """The comment line to write: the frame's own one if it still fits, else a new one."""
    if frame.comment is not None:
        info = parse_comment(frame.comment)
        properties = info.pop("Properties", DEFAULT_PROPERTIES) or ""
        try:
            if info == frame.info and parse_properties(properties) == layout:
                return frame.comment
        except ValueError:
            pass
    pairs = ["Properties=" + ":".join(f"{n}:{k}:{c}" for n, k, c in layout)]
    pairs += [key if value is None else f"{key}={_quote(value)}" for key, value in frame.info.items()]
    return " ".join(pairs)


def _to_properties(layout: Layout, columns: Mapping[str, Any]) -> dict[str, np.ndarray]:
    """Split the read result back into one named array per property."""
    matrices = {"R": columns["floats"], "I": columns["ints"], "L": columns["bools"].view(np.bool_)}
    taken = dict.fromkeys(TYPE_CODES, 0)
    properties = {}
    for name, kind, ncols in layout:
        first = taken[kind]
        taken[kind] += ncols
        if kind == "S":
            strs = columns["strs"][first:first + ncols]
            properties[name] = np.array(strs[0] if ncols == 1 else list(zip(*strs, strict=True)), dtype=str)
        else:
            matrix = matrices[kind]
            properties[name] = matrix[:, first] if ncols == 1 else matrix[:, first:first + ncols]
    return properties


def _located(error: ValueError, name: str, first_line: int) -> ValueError:
    """Turn "row r: ..." into "name, line n: ..." (lines of the file count from 1)."""
    m = _ROW_MESSAGE.match(str(error))
    where = f"line {first_line + int(m.group(1))}" if m else f"atom lines from line {first_line}"
    return ValueError(f"{name}, {where}: {m.group(2) if m else error}")


def _frames(f: IO[str], name: str, bar) -> Iterator[Frame]:
    line_no = 1  # of the count line of the next frame
    for index in count():
        count_line = f.readline()
        if not count_line.strip():
            if count_line and any(line.strip() for line in f):
                raise ValueError(f"{name}, line {line_no}: blank line where a frame should start")
            return
        try:
            natoms = int(count_line)
        except ValueError:
            raise ValueError(f"{name}, line {line_no}: frame {index}: bad atom count {count_line.strip()!r}") from None
        comment = f.readline().rstrip("\r\n")
        lines = list(islice(f, natoms))
        if len(lines) < natoms:
            raise ValueError(f"{name}: frame {index} ends after {len(lines)} of {natoms} atom lines")
        info = parse_comment(comment)
        layout = parse_properties(info.pop("Properties", DEFAULT_PROPERTIES) or "")
        try:
            columns = read_atom_lines_rs(lines, column_codes(layout))
        except ValueError as e:
            raise _located(e, name, line_no + 2) from e
        if bar is not None:
            bar.update(len(count_line) + len(comment) + 1 + sum(map(len, lines)))
        yield Frame(natoms, _to_properties(layout, columns), info, comment)
        line_no += natoms + 2


def iread(source: Source, progress: bool | None = None) -> Iterator[Frame]:
    """Yield the frames of a file (path or open text file), one at a time.

    progress: None shows a tqdm bar for files of 64 MiB and more when tqdm is
    installed, True always (given tqdm), False never.
    """
    if isinstance(source, (str, os.PathLike)):
        with open(source, encoding="utf-8") as f:
            yield from iread(f, progress)
        return
    name = getattr(source, "name", "<stream>")
    try:
        total = os.fstat(source.fileno()).st_size
    except (AttributeError, OSError, ValueError):
        total = None
    show = progress if progress is not None else (total or 0) >= PROGRESS_MIN_BYTES
    if not (show and tqdm is not None):
        yield from _frames(source, str(name), None)
        return
    with tqdm(total=total, unit="B", unit_scale=True, desc=os.path.basename(str(name))) as bar:
        yield from _frames(source, str(name), bar)


def read(source: Source, progress: bool | None = None) -> list[Frame]:
    """All frames of a file as a list."""
    return list(iread(source, progress))


def atom_block(frame: Frame, layout: Layout) -> str:
    """The atom lines of a frame, made by one write_atoms_rs call."""
    natoms = frame.natoms

    def matrix(kind: str, dtype) -> np.ndarray:
        parts = [np.asarray(frame.properties[n]).reshape(natoms, c) for n, k, c in layout if k == kind]
        if not parts:
            return np.zeros((natoms, 0), dtype)
        return (parts[0] if len(parts) == 1 else np.hstack(parts)).astype(dtype, copy=False)

    strings = [(n, c) for n, k, c in layout if k == "S"]
    if len(strings) > 1 or (strings and strings[0][1] > 1):
        raise ValueError("only one string column (the species) can be written per frame")
    codes = column_codes(layout)
    if strings:
        symbols = np.asarray(frame.properties[strings[0][0]], dtype=str)
        if not symbols.dtype.isnative:
            symbols = symbols.astype(symbols.dtype.newbyteorder("="))
        # The symbol field has no separator of its own: one after another field needs a blank.
        lead = codes[:1] != b"s"
        if lead:
            symbols = np.char.add(" ", symbols)
        width = max(2 + lead, int(np.char.str_len(symbols).max()) if natoms else 0)
        codepoints = np.ascontiguousarray(symbols).view(np.uint32).reshape(natoms, symbols.itemsize // 4)
    else:
        width, codepoints = 0, np.zeros((natoms, 0), np.uint32)
    return write_atoms_rs(codepoints, width, matrix("R", np.float64), matrix("I", np.int64),
                          matrix("L", np.uint8), codes)


def write_frame(f: IO[str], frame: Frame) -> None:
    """Write one frame: count line, comment line, atom block."""
    layout = layout_of(frame)
    block = atom_block(frame, layout)
    f.write(f"{frame.natoms}\n{comment_line(frame, layout)}\n")
    f.write(block)


def write(target: Source, frames: Frame | Iterable[Frame]) -> None:
    """Write a frame or frames to a path (replacing the file) or an open text file."""
    if isinstance(target, (str, os.PathLike)):
        with open(target, "w", encoding="utf-8", newline="\n") as f:
            return write(f, frames)
    for frame in [frames] if isinstance(frames, Frame) else frames:
        write_frame(target, frame)
