"""The comment line of a frame: key=value pairs parsed into typed values, and written back canonically.

Grammar (read):
  * pairs are separated by blanks; a key is a run without blanks, ``=`` or
    quotes, or a double-quoted string; a key without ``=`` means True;
  * a value is a bare word (no blanks, ``=`` or quotes, not starting with
    ``{`` or ``[``), a double-quoted string, a ``{...}`` list or a new-style
    ``[...]`` array (one or two levels); ``key=`` before a blank or the end of
    the line is the empty string;
  * inside double quotes, ``\\"``, ``\\\\`` and ``\\n`` are escapes; a backslash
    before any other character is kept as written (so ``"C:\\data"`` survives);
  * bare words are typed int, then float (``e``/``E`` and Fortran ``d``/``D``
    exponents, ``inf``, ``nan``), then bool (T F True False true false TRUE
    FALSE), else str; a quoted value is a str unless it holds two or more
    blank-separated items that are all ints, all floats or all bools, which
    make an array (``{...}`` lists make an array from one item on);
  * a line without any ``=`` is free text, kept whole under ``"comment"``.
Lattice, Properties and pbc are recognised in any letter case.

A str value that is itself a blank-separated list of numbers or booleans (for
example ``"1 2"``) reads back as an array: old-style lists cannot tell them apart.
"""
from __future__ import annotations

import re
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _native
from ._errors import CommentError

Array = npt.NDArray[Any]
InfoValue = int | float | bool | str | Array

_QUOTED = r'"[^"\\]*(?:\\.[^"\\]*)*"'  # unrolled: runs of plain characters between escapes
_LIST1 = r'\[(?:[^\[\]"]|' + _QUOTED + r')*\]'
_LIST2 = r'\[(?:[^\[\]"]|' + _QUOTED + r'|' + _LIST1 + r')*\]'
# One pair per match: (key, "=", value, unbalanced value opener, stray character).
# Every non-blank character starts one alternative, so findall never skips text.
_PAIR = re.compile(
    r'\s*(?:(' + _QUOTED + r'|[^\s="]+)'
    r'(?:(=)(?:(' + _QUOTED + r'|[^\s="\[{][^\s="]*|\{[^{}]*\}|' + _LIST2 + r')|(["{\[])|(?=\s|$)))?'
    r'|(\S))'
)
_SCALAR = re.compile(
    r'([+-]?\d+)\Z'
    r'|([+-]?(?:\d+\.?\d*|\.\d+)(?:[eEdD][+-]?\d+)?\Z|[+-]?(?:inf|infinity|nan)\Z)',
    re.IGNORECASE,
)
_BOOLS = {"T": True, "True": True, "true": True, "TRUE": True,
          "F": False, "False": False, "false": False, "FALSE": False}
_ESCAPE = re.compile(r'\\(.)', re.S)
_ESCAPES = {'"': '"', "\\": "\\", "n": "\n"}
_ARRAY_TOKEN = re.compile(r'\s*(?:(\[)|(\])|(,)|(' + _QUOTED + r')|([^\s,\[\]"]+))')
_FORTRAN_EXPONENT = str.maketrans("dD", "eE")

SPECIAL_KEYS = ("Lattice", "Properties", "pbc")
_SPECIAL_OF_LOWER = {k.lower(): k for k in SPECIAL_KEYS}
_SPECIAL_LENGTHS = frozenset(len(k) for k in SPECIAL_KEYS)
_SPECIAL_SPELLINGS = {k: k for k in SPECIAL_KEYS}  # as written canonically: no lower() needed
_STRUCTURED = frozenset('"{[')  # first characters of values that are not bare words
_SCALAR_MATCH = _SCALAR.match
_CACHE_LIMIT = 4096  # distinct Lattice/pbc texts kept parsed; a trajectory has few

# The native scanner of the common lines; None makes every line take the Python parser.
_fast_scan: Any | None = _native.parse_comment_fast

_lattice_cache: dict[str, Array] = {}
_pbc_cache: dict[str, Array] = {}


def _unescape(body: str) -> str:
    if "\\" not in body:
        return body
    return _ESCAPE.sub(lambda m: _ESCAPES.get(m.group(1), m.group(0)), body)


def _float(text: str) -> float:
    """A float literal the scalar pattern accepted; Fortran d/D exponents only cost a retry."""
    try:
        return float(text)
    except ValueError:
        return float(text.translate(_FORTRAN_EXPONENT))


def scalar(text: str) -> int | float | bool | str:
    """A bare word typed: int, float, bool, else the text itself."""
    m = _SCALAR.match(text)
    if m is not None:
        if m.lastindex == 1:
            return int(text)
        return _float(text)
    b = _BOOLS.get(text)
    return text if b is None else b


def _typed_items(items: list[str]) -> Array | None:
    """An old-style list as an int, float or bool array; None when its items do not agree."""
    typed = [scalar(t) for t in items]
    kinds = {type(v) for v in typed}
    if kinds == {int}:
        try:
            return np.array(typed, dtype=np.int64)
        except OverflowError:
            return np.array(typed, dtype=np.float64)
    if kinds <= {int, float}:
        return np.array(typed, dtype=np.float64)
    if kinds == {bool}:
        return np.array(typed, dtype=bool)
    return None


def _new_style(text: str) -> Array | None:
    """A ``[...]`` array (one or two levels) typed as a whole; None when ragged or mixed."""
    # The pair pattern has already checked that the brackets balance.
    stack: list[list[Any]] = []
    root: list[Any] = []
    for opening, closing, _comma, quoted, bare in _ARRAY_TOKEN.findall(text):
        if opening:
            new: list[Any] = []
            (stack[-1] if stack else root).append(new)
            stack.append(new)
        elif closing:
            stack.pop()
        elif quoted:
            stack[-1].append(_unescape(quoted[1:-1]))
        elif bare:
            stack[-1].append(scalar(bare))
    value = root[0]
    rows = value if value and all(isinstance(v, list) for v in value) else None
    flat = [v for row in rows for v in row] if rows is not None else value
    if any(isinstance(v, list) for v in flat):
        return None
    if rows is not None and len({len(row) for row in rows}) != 1:
        return None
    kinds = {type(v) for v in flat}
    array: Array
    if not flat:
        array = np.zeros(0, dtype=np.float64)
    elif kinds == {int}:
        try:
            array = np.array(flat, dtype=np.int64)
        except OverflowError:
            array = np.array(flat, dtype=np.float64)
    elif kinds <= {int, float}:
        array = np.array(flat, dtype=np.float64)
    elif kinds == {bool}:
        array = np.array(flat, dtype=bool)
    elif kinds == {str}:
        array = np.array(flat, dtype=str)
    else:
        return None
    return array.reshape(len(rows), -1) if rows is not None else array


def _value(raw: str) -> InfoValue:
    head = raw[:1]
    if head == '"':
        body = _unescape(raw[1:-1])
        items = body.split()
        if len(items) > 1:
            array = _typed_items(items)
            if array is not None:
                return array
        return body
    if head == "{":
        body = raw[1:-1]
        items = body.split()
        if items:
            array = _typed_items(items)
            if array is not None:
                return array
        return body
    if head == "[":
        array = _new_style(raw)
        return raw if array is None else array
    return scalar(raw)


def _lattice(raw: str) -> Array:
    cell = _lattice_cache.get(raw)
    if cell is None:
        value = _value(raw)
        if (not isinstance(value, np.ndarray) or value.size != 9
                or value.dtype.kind not in "if"):
            raise CommentError(f"bad Lattice={raw}: expected 9 numbers (3 cell vectors)")
        cell = value.astype(np.float64).reshape(3, 3)
        if len(_lattice_cache) >= _CACHE_LIMIT:
            _lattice_cache.clear()
        _lattice_cache[raw] = cell
    return cell.copy()


def _pbc(raw: str) -> Array:
    pbc = _pbc_cache.get(raw)
    if pbc is None:
        value = _value(raw)
        ok = isinstance(value, np.ndarray) and value.size == 3 and (
            value.dtype == bool or (value.dtype.kind == "i" and bool(np.isin(value, (0, 1)).all())))
        if not ok:
            raise CommentError(f"bad pbc={raw}: expected 3 booleans, e.g. pbc=\"T T F\"")
        assert isinstance(value, np.ndarray)
        pbc = value.astype(bool).reshape(3)
        if len(_pbc_cache) >= _CACHE_LIMIT:
            _pbc_cache.clear()
        _pbc_cache[raw] = pbc
    return pbc.copy()


class Comment:
    """What one comment line says: the info pairs, the cell, pbc and the Properties text."""

    __slots__ = ("info", "cell", "pbc", "properties")

    def __init__(self, info: dict[str, InfoValue], cell: Array | None, pbc: Array | None,
                 properties: str | None) -> None:
        self.info = info
        self.cell = cell
        self.pbc = pbc
        self.properties = properties


Parts = tuple[dict[str, InfoValue], Array | None, Array | None, str | None]


def parse_comment(line: str) -> Comment:
    """Parse one comment line (without its line end); CommentError when it is malformed."""
    return Comment(*comment_parts(line))


def comment_parts(line: str) -> Parts:
    """parse_comment's (info, cell, pbc, properties) as a tuple: the reader's per-frame call."""
    if "=" not in line:
        return ({"comment": line} if line.strip() else {}), None, None, None
    if _fast_scan is not None:
        found = _fast_scan(line)
        if found is not None:
            info, lattice, pbc_text, properties = found
            # Valid texts come from the caches; a faulty one is reported by the
            # parser below, in line order with any other fault.
            cell = pbc = None
            try:
                if lattice is not None:
                    cell = _lattice_cache.get(lattice)
                    cell = _lattice(lattice) if cell is None else cell.copy()
                if pbc_text is not None:
                    pbc = _pbc_cache.get(pbc_text)
                    pbc = _pbc(pbc_text) if pbc is None else pbc.copy()
                return info, cell, pbc, properties
            except CommentError:
                pass
    return _parse_pairs(line)


def _parse_pairs(line: str) -> Parts:
    info: dict[str, InfoValue] = {}
    cell = pbc = None
    properties = None
    # The common case (a plain key with a bare number or word) is inlined: this
    # loop runs once per pair of every frame.
    for key, eq, raw, opener, stray in _PAIR.findall(line):
        if stray or opener:
            raise CommentError(_fault(line))
        special = _SPECIAL_SPELLINGS.get(key)
        if special is None:
            if key[0] == '"':
                key = _unescape(key[1:-1])
            if len(key) in _SPECIAL_LENGTHS:
                special = _SPECIAL_OF_LOWER.get(key.lower())
        if special is None:
            if not eq:
                info[key] = True
            elif raw[:1] in _STRUCTURED:
                info[key] = _value(raw)
            else:
                m = _SCALAR_MATCH(raw)
                if m is None:
                    b = _BOOLS.get(raw)
                    info[key] = raw if b is None else b
                elif m.lastindex == 1:
                    info[key] = int(raw)
                else:
                    info[key] = _float(raw)
        elif not eq:
            raise CommentError(f"{key} without a value")
        elif special == "Lattice":
            cell = _lattice(raw)
        elif special == "pbc":
            pbc = _pbc(raw)
        else:
            properties = raw[1:-1] if raw[:1] == '"' else raw
    return info, cell, pbc, properties


def _fault(line: str) -> str:
    """The message for the first faulty character of a line (error path only)."""
    for m in _PAIR.finditer(line):
        group = 4 if m.group(4) else 5 if m.group(5) else 0
        if group:
            char = m.group(group)
            what = {'"': "unbalanced quote", "{": "unbalanced brace", "[": "unbalanced bracket",
                    "=": '"=" with no key'}.get(char, f"unexpected {char!r}")
            return f"malformed comment line: {what} at column {m.start(group) + 1}"
    raise AssertionError("no faulty character in the line")


# --- writing --------------------------------------------------------------

_NEEDS_QUOTES = re.compile(r'[\s="\\]|\A[\[{]|\A\Z')
_KEY_NEEDS_QUOTES = re.compile(r'[\s="\\]|\A\Z')
_quoted_cache: dict[str, str] = {}


def quote(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def format_str(text: str) -> str:
    """A str value as written: bare when it reads back as the same str, else quoted."""
    done = _quoted_cache.get(text)
    if done is None:
        if _NEEDS_QUOTES.search(text) or not isinstance(scalar(text), str):
            done = quote(text)
        else:
            done = text
        if len(_quoted_cache) >= _CACHE_LIMIT:
            _quoted_cache.clear()
        _quoted_cache[text] = done
    return done


_key_cache: dict[str, str] = {}


def format_key(key: str) -> str:
    """A key as written ("key="), quoted when needed; ValueError for the reserved keys."""
    done = _key_cache.get(key)
    if done is None:
        if len(key) in _SPECIAL_LENGTHS and key.lower() in _SPECIAL_OF_LOWER:
            raise ValueError(f"info key {key!r} is reserved: use Frame.cell, Frame.pbc or Frame.arrays")
        done = (quote(key) if _KEY_NEEDS_QUOTES.search(key) else key) + "="
        if len(_key_cache) >= _CACHE_LIMIT:
            _key_cache.clear()
        _key_cache[key] = done
    return done


def _item(v: Any) -> str:
    if isinstance(v, (bool, np.bool_)):
        return "T" if v else "F"
    if isinstance(v, (int, np.integer)):
        return "%d" % v
    if isinstance(v, (float, np.floating)):
        return repr(float(v))
    return quote(str(v))


def format_value(value: Any) -> str:
    """One info value in canonical text; TypeError for a type the format has no text for."""
    if isinstance(value, str):
        return format_str(value)
    if isinstance(value, (bool, np.bool_)):
        return "T" if value else "F"
    if isinstance(value, (int, np.integer)):
        return "%d" % value
    if isinstance(value, (float, np.floating)):
        return repr(float(value))
    array = np.asarray(value)
    kind = array.dtype.kind
    if kind not in "biufUS" or array.ndim > 2:
        raise TypeError(f"no extended XYZ text for a value of type {type(value).__name__}"
                        f" (dtype {array.dtype}, {array.ndim} dimensions)")
    if array.ndim == 0:
        return format_value(array.item())
    if kind == "S":
        array = array.astype(str)
        kind = "U"
    items = array.tolist()
    if array.ndim == 1 and kind != "U" and len(items) > 1:
        return '"' + " ".join(_item(v) for v in items) + '"'
    if array.ndim == 1:
        return "[" + ", ".join(_item(v) for v in items) + "]"
    return "[" + ", ".join("[" + ", ".join(_item(v) for v in row) + "]" for row in items) + "]"


_lattice_text_cache: dict[bytes, str] = {}


def format_lattice(cell: Array) -> str:
    """Lattice="..." of a (3, 3) float64 cell; cached by its bytes (cells rarely change between frames)."""
    key = cell.tobytes()
    text = _lattice_text_cache.get(key)
    if text is None:
        text = 'Lattice="' + " ".join(repr(v) for v in cell.reshape(9).tolist()) + '"'
        if len(_lattice_text_cache) >= _CACHE_LIMIT:
            _lattice_text_cache.clear()
        _lattice_text_cache[key] = text
    return text


_PBC_TEXT = {(a, b, c): f'pbc="{"T" if a else "F"} {"T" if b else "F"} {"T" if c else "F"}"'
             for a in (False, True) for b in (False, True) for c in (False, True)}


_NO_PBC = _PBC_TEXT[(False, False, False)]


def format_pbc(pbc: Array) -> str:
    """pbc="..." of a (3,) bool array."""
    return _PBC_TEXT[tuple(pbc.tolist())]


_ends_cache: dict[tuple[str, bytes | None, bytes], tuple[str, str]] = {}


def format_header(natoms: int, properties: str, info: dict[str, Any], cell: Array | None, pbc: Array) -> bytes:
    """The count line and the comment line of a frame, as written (format_comment's line).

    cell is None or a (3, 3) float64 array, pbc a (3,) bool array.
    """
    ends_key = (properties, None if cell is None else cell.tobytes(), pbc.tobytes())
    ends = _ends_cache.get(ends_key)
    if ends is None:
        # What comes before and after the info pairs depends on these three only.
        head = "Properties=" + (properties if properties else '""')
        if cell is not None:
            head = format_lattice(cell) + " " + head
        pbc_text = format_pbc(pbc)
        ends = head, (" " + pbc_text if cell is not None or pbc_text != _NO_PBC else "") + "\n"
        if len(_ends_cache) >= _CACHE_LIMIT:
            _ends_cache.clear()
        _ends_cache[ends_key] = ends
    parts = [f"{natoms}\n{ends[0]}"]
    _append_pairs(parts, info)
    return (" ".join(parts) + ends[1]).encode()


def _append_pairs(parts: list[str], info: dict[str, Any]) -> None:
    """Appends the info pairs as written ("key=value"), in order; floats and ints inline (hot)."""
    for key, value in info.items():
        kind = type(value)
        if kind is float:
            text = repr(value)
        elif kind is int:
            text = "%d" % value
        else:
            text = format_value(value)
        parts.append((_key_cache.get(key) or format_key(key)) + text)


def format_comment(properties: str, info: dict[str, Any], cell: Array | None, pbc: Array) -> str:
    """The canonical comment line: Lattice, Properties, the info pairs in order, then pbc.

    pbc is written whenever Lattice is, and without a Lattice when it is not F F F.
    """
    parts = [format_lattice(cell)] if cell is not None else []
    parts.append("Properties=" + (properties if properties else '""'))
    _append_pairs(parts, info)
    pbc_text = format_pbc(pbc)
    if cell is not None or pbc_text != _NO_PBC:
        parts.append(pbc_text)
    return " ".join(parts)
