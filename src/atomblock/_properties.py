"""Properties= layouts: the columns of the atom lines, parsed once per distinct text and cached.

A layout maps the ``name:type:count`` triples to the native column type codes
(S -> s, R -> f, I -> i, L -> b, one per column) and records, per property,
which slice of the reader's per-type matrices holds it.
"""
from __future__ import annotations

from collections.abc import Iterable, Iterator, Sequence
from typing import Any, overload

import numpy as np
import numpy.typing as npt

from ._errors import CommentError

Array = npt.NDArray[Any]

DEFAULT_PROPERTIES = "species:S:1:pos:R:3"
_CODE_OF_TYPE = {"S": "s", "R": "f", "I": "i", "L": "b"}
_TYPE_OF_KIND = {"U": "S", "S": "S", "O": "S", "f": "R", "i": "I", "u": "I", "b": "L"}
# Where Layout.arrays takes a property from: the reader's float, int or bool matrix, one
# string column, or several string columns stacked.
_FROM_FLOATS, _FROM_INTS, _FROM_BOOLS, _FROM_STR, _FROM_STRS = range(5)
_SOURCE_OF_TYPE = {"R": _FROM_FLOATS, "I": _FROM_INTS, "L": _FROM_BOOLS}
_CACHE_LIMIT = 1024  # distinct Properties texts kept parsed; files use one or a few
_MAX_COUNT_DIGITS = 15  # a count of more digits is refused unparsed (int() of long texts is slow)
_MAX_COLUMNS = (1 << 31) - 1  # columns of any layout: no atom line holds more
_SHORT = 40  # characters of a long Properties text quoted in a message


def shortened(text: str) -> str:
    """A text as quoted in a message: its first characters and "..." when it is long."""
    return text if len(text) <= _SHORT + 20 else text[:_SHORT] + "..."
_str_dtypes: dict[int, np.dtype[Any]] = {}


def str_view(points: Array) -> Array:
    """The (natoms,) str array over a C-contiguous (natoms, width) uint32 code-point matrix: a view."""
    width = points.shape[1]
    dtype = _str_dtypes.get(width)
    if dtype is None:
        dtype = _str_dtypes[width] = np.dtype((np.str_, width))  # native byte order, as the matrix
    return points.view(dtype).reshape(len(points))


class ColumnTypes(Sequence[tuple[str, str]]):
    """(name, type letter) of each token of an atom line, found by bisection over the
    properties' first columns: a Properties of a million columns holds no million tuples."""

    __slots__ = ("_starts", "_fields", "_total")

    def __init__(self, fields: tuple[tuple[str, str, int, int], ...]) -> None:
        self._fields = fields  # Layout.fields: (name, type letter, first within its type, count)
        ends = np.cumsum(np.fromiter((f[3] for f in fields), dtype=np.int64, count=len(fields)))
        self._total = int(ends[-1]) if len(ends) else 0
        self._starts = ends - np.fromiter((f[3] for f in fields), dtype=np.int64, count=len(fields))

    def __len__(self) -> int:
        return self._total

    @overload
    def __getitem__(self, index: int) -> tuple[str, str]: ...
    @overload
    def __getitem__(self, index: slice) -> list[tuple[str, str]]: ...
    def __getitem__(self, index: int | slice) -> tuple[str, str] | list[tuple[str, str]]:
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(self._total))]
        if index < 0:
            index += self._total
        if not 0 <= index < self._total:
            raise IndexError("column index out of range")
        name, kind, _, _ = self._fields[int(np.searchsorted(self._starts, index, side="right")) - 1]
        return name, kind

    def __iter__(self) -> Iterator[tuple[str, str]]:
        for name, kind, _, count in self._fields:
            column = (name, kind)
            for _ in range(count):
                yield column


class Layout:
    """The parsed columns of one Properties text.

    fields: (name, type letter, first column within its type, count) per property;
    columns: (name, type letter) per token of an atom line, for error messages;
    strict: whether tokens past the last column are a fault (not for plain XYZ).
    """

    __slots__ = ("text", "fields", "_steps", "has_bools", "col_types", "columns", "strict")

    def __init__(self, text: str, triples: Iterable[tuple[str, str, int]], strict: bool) -> None:
        self.text = text
        self.strict = strict
        taken = dict.fromkeys(_CODE_OF_TYPE, 0)
        fields = []
        for name, kind, count in triples:
            fields.append((name, kind, taken[kind], count))
            taken[kind] += count
        self.fields = tuple(fields)
        self._steps: tuple[tuple[str, int, Any], ...] | None = None
        self.has_bools = taken["L"] > 0
        self.col_types = b"".join(_CODE_OF_TYPE[k].encode("ascii") * c for _, k, _, c in fields)
        self.columns = ColumnTypes(self.fields)

    @property
    def steps(self) -> tuple[tuple[str, int, Any], ...]:
        """Per property in Properties order: (name, source, index into the source); made at first use."""
        steps = self._steps
        if steps is None:
            made: list[tuple[str, int, Any]] = []
            for name, kind, first, count in self.fields:
                if kind != "S":
                    column = first if count == 1 else slice(first, first + count)
                    made.append((name, _SOURCE_OF_TYPE[kind], (slice(None), column)))
                elif count == 1:
                    made.append((name, _FROM_STR, first))
                else:
                    made.append((name, _FROM_STRS, slice(first, first + count)))
            steps = self._steps = tuple(made)
        return steps

    def arrays(self, cols: dict[str, Any]) -> dict[str, Array]:
        """Named per-atom arrays over the reader's matrices (string columns as code-point
        matrices), in Properties order: views, no copies (several string columns excepted)."""
        strs = cols["strs"]
        sources = (cols["floats"], cols["ints"], cols["bools"].view(bool) if self.has_bools else None)
        out: dict[str, Array] = {}
        for name, source, index in self._steps or self.steps:
            if source < _FROM_STR:
                out[name] = sources[source][index]
            elif source == _FROM_STR:
                points = strs[index]
                dtype = _str_dtypes.get(points.shape[1])
                out[name] = str_view(points) if dtype is None else points.view(dtype)[:, 0]
            else:
                out[name] = np.stack([str_view(m) for m in strs[index]], axis=1)
        return out


_layouts: dict[str | None, Layout] = {}
text_layouts = _layouts  # read-only for callers: a hit saves layout_of_text's call per frame


def layout_of_text(text: str | None, max_columns: int | None = None) -> Layout:
    """The layout of a Properties text (None: absent, the plain XYZ columns); CommentError when
    bad, or when its columns add up to more than max_columns (checked before anything is made)."""
    layout = _layouts.get(text)
    if layout is None:
        layout = _parse(text, max_columns)
        if len(_layouts) >= _CACHE_LIMIT:
            _layouts.clear()
        _layouts[text] = layout
    elif max_columns is not None and len(layout.columns) > max_columns:
        raise CommentError(_too_many(layout.text, len(layout.columns), max_columns))
    return layout


def _too_many(text: str, columns: int, max_columns: int) -> str:
    return (
        f"bad Properties={shortened(text)}: its {columns} columns cannot fit in the atom lines,"
        f" which hold at most {max_columns}"
    )


def _parse(text: str | None, max_columns: int | None) -> Layout:
    if text is None:
        return Layout(DEFAULT_PROPERTIES, [("species", "S", 1), ("pos", "R", 3)], strict=False)
    if text == "":
        return Layout(text, [], strict=True)
    short = shortened(text)
    limit = _MAX_COLUMNS if max_columns is None else max_columns
    parts = text.split(":")
    if len(parts) % 3:
        raise CommentError(
            f"bad Properties={short}: expected name:type:count triples ({len(parts)} fields is not a multiple of 3)"
        )
    seen = set()
    total = 0
    # Checked and summed first; the layout is made after, from the same parts.
    for name, kind, count in zip(parts[0::3], parts[1::3], parts[2::3], strict=True):
        letter = kind.upper()
        if letter not in _CODE_OF_TYPE:
            raise CommentError(f"bad Properties={short}: type {kind!r} of column {name!r} is not S, R, I or L")
        digits = count.lstrip("0")
        if not count.isascii() or not count.isdigit() or not digits:
            raise CommentError(
                f"bad Properties={short}: count {shortened(count)!r} of column {name!r} is not a positive integer"
            )
        if not name or name in seen:
            what = "an empty name" if not name else f"column name {name!r} used twice"
            raise CommentError(f"bad Properties={short}: {what}")
        seen.add(name)
        if len(digits) > _MAX_COUNT_DIGITS:
            raise CommentError(
                f"bad Properties={short}: count {shortened(count)!r} of column {name!r} cannot fit in the atom lines,"
                f" which hold at most {limit}"
            )
        total += int(digits)
    if total > limit:
        raise CommentError(_too_many(text, total, limit))
    del seen
    triples = zip(parts[0::3], map(str.upper, parts[1::3]), map(int, parts[2::3]), strict=True)
    return Layout(text, triples, strict=True)


_write_layouts: dict[tuple[tuple[str, str, tuple[int, ...]], ...], Layout] = {}


def layout_of_arrays(arrays: dict[str, Array], natoms: int) -> Layout:
    """The layout that writes these arrays, in their dict order; ValueError/TypeError when impossible."""
    # Whole shapes in the key: a cached layout was checked for exactly these lengths.
    key = tuple([(name, values.dtype.kind, values.shape) for name, values in arrays.items()])
    layout = _write_layouts.get(key)
    if layout is None:
        layout = _new_write_layout(arrays, natoms)
        if len(_write_layouts) >= _CACHE_LIMIT:
            _write_layouts.clear()
        _write_layouts[key] = layout
    return layout


def _new_write_layout(arrays: dict[str, Array], natoms: int) -> Layout:
    triples = []
    for name, values in arrays.items():
        kind = _TYPE_OF_KIND.get(values.dtype.kind)
        if kind is None:
            raise TypeError(f"arrays[{name!r}]: no extended XYZ type for dtype {values.dtype}")
        if values.ndim not in (1, 2) or len(values) != natoms or (values.ndim == 2 and values.shape[1] < 1):
            raise ValueError(f"arrays[{name!r}]: shape {values.shape} is not ({natoms},) or ({natoms}, count)")
        if not name or any(c.isspace() or c in ':="' for c in name) or name[0] in "[{":
            raise ValueError(
                f"arrays[{name!r}]: a property name must be non-empty, without blanks, colons, quotes"
                " or '=', and not begin with '[' or '{'"
            )
        triples.append((name, kind, 1 if values.ndim == 1 else int(values.shape[1])))
    text = ":".join(f"{n}:{k}:{c}" for n, k, c in triples)
    return Layout(text, triples, strict=True)
