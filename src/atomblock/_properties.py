"""Properties= layouts: the columns of the atom lines, parsed once per distinct text and cached.

A layout maps the ``name:type:count`` triples to the native column type codes
(S -> s, R -> f, I -> i, L -> b, one per column) and records, per property,
which slice of the reader's per-type matrices holds it.
"""
from __future__ import annotations

import sys
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from ._errors import CommentError

Array = npt.NDArray[Any]

DEFAULT_PROPERTIES = "species:S:1:pos:R:3"
_CODE_OF_TYPE = {"S": "s", "R": "f", "I": "i", "L": "b"}
_TYPE_OF_KIND = {"U": "S", "S": "S", "O": "S", "f": "R", "i": "I", "u": "I", "b": "L"}
_MATRIX_OF_TYPE = {"R": "floats", "I": "ints", "L": "bools"}
_CACHE_LIMIT = 1024  # distinct Properties texts kept parsed; files use one or a few
# Small frames repeat their species frame after frame: one dict lookup replaces a
# NumPy conversion of every string. Big frames are converted (hashing them costs as much).
_STRS_CACHE_MAX_ATOMS = 1024
_STRS_CACHE_LIMIT = 64  # distinct string columns kept; a trajectory has one or a few
_strs_cache: dict[tuple[str, ...], Array] = {}
_UTF32 = "utf-32-le" if sys.byteorder == "little" else "utf-32-be"  # NumPy's native str layout


def _str_array(strs: list[str]) -> Array:
    """A NumPy str array of one string column."""
    if len(strs) > _STRS_CACHE_MAX_ATOMS:
        return _joined_str_array(strs)
    key = tuple(strs)
    array = _strs_cache.get(key)
    if array is None:
        array = np.array(strs, dtype=str)
        if len(_strs_cache) >= _STRS_CACHE_LIMIT:
            _strs_cache.clear()
        _strs_cache[key] = array
    return array.copy()


def _joined_str_array(strs: list[str]) -> Array:
    """The str array of a big column through one joined UTF-32 text, a few times faster than
    converting string by string: NUL separators give each string's start and length."""
    n = len(strs)
    points = np.frombuffer("\0".join(strs).encode(_UTF32), dtype=np.uint32)
    ends = np.flatnonzero(points == 0)
    if len(ends) != n - 1:  # a string holds a NUL itself
        return np.array(strs, dtype=str)
    starts = np.empty(n, dtype=np.int64)
    starts[0] = 0
    starts[1:] = ends + 1
    lengths = np.empty(n, dtype=np.int64)
    lengths[:-1] = ends - starts[:-1]
    lengths[-1] = len(points) - starts[-1]
    width = max(1, int(lengths.max()))
    out = np.zeros((n, width), dtype=np.uint32)
    out[:, 0] = points[np.minimum(starts, len(points) - 1)] * (lengths > 0)
    for j in range(1, width):
        rows = lengths > j
        out[rows, j] = points[starts[rows] + j]
    return out.view(f"={'U'}{width}").reshape(n)


class Layout:
    """The parsed columns of one Properties text.

    fields: (name, type letter, first column within its type, count) per property;
    columns: (name, type letter) per token of an atom line, for error messages;
    strict: whether tokens past the last column are a fault (not for plain XYZ).
    """

    __slots__ = ("text", "fields", "plan", "strings", "order", "strings_lead", "col_types", "columns", "strict")

    def __init__(self, text: str, triples: list[tuple[str, str, int]], strict: bool) -> None:
        self.text = text
        self.strict = strict
        taken = dict.fromkeys(_CODE_OF_TYPE, 0)
        fields = []
        for name, kind, count in triples:
            fields.append((name, kind, taken[kind], count))
            taken[kind] += count
        self.fields = tuple(fields)
        # Per numeric property: its matrix and a prebuilt index (a column, or a column slice).
        self.plan = tuple((name, _MATRIX_OF_TYPE[kind], (slice(None), first if count == 1 else slice(first, first + count)))
                          for name, kind, first, count in fields if kind != "S")
        self.strings = tuple((name, first, count) for name, kind, first, count in fields if kind == "S")
        self.order = tuple(name for name, _, _, _ in fields)
        # Strings are filled first: when they lead the line, the dict is already in order.
        self.strings_lead = self.order[:len(self.strings)] == tuple(name for name, _, _ in self.strings)
        self.col_types = "".join(_CODE_OF_TYPE[k] * c for _, k, c in triples).encode("ascii")
        self.columns = tuple((name, kind) for name, kind, count in triples for _ in range(count))

    def arrays(self, cols: dict[str, Any]) -> dict[str, Array]:
        """Named per-atom arrays over the reader's matrices, in Properties order: views, no copies
        (strings excepted)."""
        out: dict[str, Array] = {}
        for name, first, count in self.strings:
            strs = cols["strs"]
            if count == 1:
                out[name] = _str_array(strs[first])
            else:
                out[name] = np.array(strs[first:first + count], dtype=str).T.copy()
        if self.plan:
            matrices = {"floats": cols["floats"], "ints": cols["ints"], "bools": cols["bools"].view(bool)}
            for name, matrix, index in self.plan:
                out[name] = matrices[matrix][index]
        return out if self.strings_lead else {name: out[name] for name in self.order}


_layouts: dict[Optional[str], Layout] = {}


def layout_of_text(text: Optional[str]) -> Layout:
    """The layout of a Properties text (None: absent, the plain XYZ columns); CommentError when bad."""
    layout = _layouts.get(text)
    if layout is None:
        layout = _parse(text)
        if len(_layouts) >= _CACHE_LIMIT:
            _layouts.clear()
        _layouts[text] = layout
    return layout


def _parse(text: Optional[str]) -> Layout:
    if text is None:
        return Layout(DEFAULT_PROPERTIES, [("species", "S", 1), ("pos", "R", 3)], strict=False)
    if text == "":
        return Layout(text, [], strict=True)
    parts = text.split(":")
    if len(parts) % 3:
        raise CommentError(f"bad Properties={text}: expected name:type:count triples"
                           f" ({len(parts)} fields is not a multiple of 3)")
    triples = []
    seen = set()
    for name, kind, count in zip(parts[0::3], parts[1::3], parts[2::3]):
        letter = kind.upper()
        if letter not in _CODE_OF_TYPE:
            raise CommentError(f"bad Properties={text}: type {kind!r} of column {name!r}"
                               " is not S, R, I or L")
        if not count.isascii() or not count.isdigit() or int(count) < 1:
            raise CommentError(f"bad Properties={text}: count {count!r} of column {name!r}"
                               " is not a positive integer")
        if not name or name in seen:
            what = "an empty name" if not name else f"column name {name!r} used twice"
            raise CommentError(f"bad Properties={text}: {what}")
        seen.add(name)
        triples.append((name, letter, int(count)))
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
        if not name or ":" in name or any(c.isspace() for c in name) or '"' in name:
            raise ValueError(f"arrays[{name!r}]: a property name must be non-empty,"
                             " without blanks, colons or quotes")
        triples.append((name, kind, 1 if values.ndim == 1 else int(values.shape[1])))
    text = ":".join(f"{n}:{k}:{c}" for n, k, c in triples)
    return Layout(text, triples, strict=True)
