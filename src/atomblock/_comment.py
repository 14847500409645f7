"""The comment line of a frame: key=value pairs parsed into typed values, and written back canonically.

Reading never refuses a line for its form. A line is read, in this order, as:
  1. strict pairs: pairs separated by blanks; a key is a run without blanks,
     ``=`` or quotes, or a double-quoted string; a key without ``=`` means
     True; a value is a bare word (no blanks, ``=`` or quotes, not starting
     with ``{`` or ``[``), a double-quoted string, a ``{...}`` list or a
     ``[...]`` array (one or two levels); ``key=`` before the end of the line
     or before another ``key=`` is the empty string;
  2. loose pairs, for the lines other programs write: every item is
     ``key = value`` with blanks allowed around ``=``, and a comma after a
     value (before a blank or the end) separates pairs (``i = 0, E = -1.5``);
     no bare keys;
  3. free text, kept whole under ``"comment"``.
A line that is free text although it visibly holds ``Properties=`` or
``Lattice=`` is a fault (the atom lines depend on them), as are a Properties
that does not parse and a Lattice that is not nine numbers.

Values:
  * inside double quotes, ``\\"``, ``\\\\`` and ``\\n`` are escapes; a backslash
    before any other character is kept as written (so ``"C:\\data"`` survives);
  * bare words are typed int, then float (``e``/``E`` and Fortran ``d``/``D``
    exponents, ``inf``, ``nan``), then bool (T F True False true false TRUE
    FALSE), else str; a quoted value is a str unless it holds two or more
    blank-separated items that are all ints, all floats or all bools, which
    make an array (``{...}`` lists make an array from one item on);
  * a quoted value starting ``_JSON `` is JSON: rectangular lists of numbers or
    of booleans become arrays, anything else the Python value;
  * nine numbers in a list under ``stress`` or ``virial`` are a (3, 3) array
    stored column by column (element [i, j] is item 3*j + i).
Lattice, Properties and pbc are recognised in any letter case; Lattice may
separate its numbers with commas; pbc takes T/F/True/False in any case or
1/0, blank-separated or run together (``TTT``). A pbc that is not three
booleans is kept as an info value and pbc takes its default.

Writing produces only text that reads back to the same value and type, or
raises ValueError/TypeError naming the key before anything is written.
"""

from __future__ import annotations

import json
import math
import re
import warnings
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _native
from ._errors import CommentError
from ._properties import DEFAULT_PROPERTIES, shortened

Array = npt.NDArray[Any]
InfoValue = Any  # int | float | bool | str | Array, or a Python value decoded from _JSON

_QUOTED = r'"[^"\\]*(?:\\.[^"\\]*)*"'  # unrolled: runs of plain characters between escapes
_LIST1 = r"\[(?:[^\[\]\"]|" + _QUOTED + r")*\]"
_LIST2 = r"\[(?:[^\[\]\"]|" + _QUOTED + r"|" + _LIST1 + r")*\]"
_STRUCT_VALUE = _QUOTED + r"|\{[^{}]*\}|" + _LIST2
# One strict pair per match: (key, "=", value, unbalanced value opener, stray text).
# Every non-blank character starts one alternative, so findall never skips text.
# A quote that does not close swallows the rest of the line as the fault: no
# later quote could close either, and retrying each would take quadratic time.
_PAIR = re.compile(
    r"\s*(?:(" + _QUOTED + r'|[^\s="]+)'
    r"(?:(=)(?:(" + _STRUCT_VALUE + r'|[^\s="\[{][^\s="]*)|("[\s\S]*|[{\[])'
    r'|(?=\s*\Z|\s+[^\s="]+=)))?'
    r'|("[\s\S]*|\S))'
)
# A Properties= or Lattice= pair, seen in a line that does not parse as pairs.
_HOLDS_SPECIAL = re.compile(r'(?<!\S)"?(?:properties|lattice)"?=', re.IGNORECASE)
# The hand-written scanner of the lines the patterns above would take too long or too much
# memory for (long lines, lines with backslashes: a pattern's repeated group keeps state per
# repetition). Its pieces are single-class runs and searches, linear in time and constant in memory.
_REGEX_LIMIT = 4096  # lines up to this length without a backslash take the findall pattern
_BLANKS = re.compile(r"\s*")
_BARE = re.compile(r'[^\s="]+')
_CLOSING_QUOTE = re.compile(r'(?<!\\)(?:\\\\)*"')  # a quote after an even run of backslashes
_LIST_MARK = re.compile(r'[\[\]"]')
_BRACE_MARK = re.compile(r"[{}]")
_EMPTY_VALUE_ENDS = re.compile(r'\s*\Z|\s+[^\s="]+=')  # key= is the empty str before these
_LOOSE_EQUALS = re.compile(r"\s*=\s*")
_LOOSE_END = re.compile(r"\s*,?(?=\s|\Z)")
Pair = tuple[str, str, str]  # key as written, "=" or "", raw value


def _quote_end(line: str, start: int) -> int:
    """The index after the quote closing the one at `start`; -1 when none does."""
    # Most strings hold no escaped quote: find the next quote and count the backslashes before
    # it; after a few escaped quotes, one search (slower per character, linear) does the rest.
    pos = start + 1
    for _ in range(8):
        end = line.find('"', pos)
        if end < 0:
            return -1
        run = end
        while line[run - 1] == "\\":
            run -= 1
        if (end - run) % 2 == 0:
            return end + 1
        pos = end + 1
    m = _CLOSING_QUOTE.search(line, pos)
    return -1 if m is None else m.end()


def _list_end(line: str, start: int) -> int:
    """The index after the "]" closing a one- or two-level list opened at `start`; -1 if none."""
    depth = 0
    pos = start
    while True:
        m = _LIST_MARK.search(line, pos)
        if m is None:
            return -1
        mark = m.group()
        if mark == '"':
            pos = _quote_end(line, m.start())
            if pos < 0:
                return -1
        elif mark == "[":
            depth += 1
            if depth > 2:
                return -1
            pos = m.end()
        else:
            depth -= 1
            if depth == 0:
                return m.end()
            pos = m.end()


def _value_end(line: str, start: int) -> tuple[int, str]:
    """The end of the value starting at `start`, or -1 and the fault found there."""
    head = line[start]
    if head == '"':
        end = _quote_end(line, start)
        return end, "unbalanced quote"
    if head == "{":
        m = _BRACE_MARK.search(line, start + 1)
        return (m.end() if m is not None and m.group() == "}" else -1), "unbalanced brace"
    if head == "[":
        return _list_end(line, start), "unbalanced bracket"
    m = _BARE.match(line, start)
    return (-1, '"=" with no key') if m is None else (m.end(), "")


def scan_pairs(line: str, loose: bool = False) -> tuple[list[Pair], str]:
    """The line's pairs and "", or the pairs before the first fault and its message.

    Strict (default): the grammar of the pair pattern, for any line. Loose: every item is
    key = value, with blanks around "=" and a comma after the value allowed.
    """
    pairs: list[Pair] = []
    n = len(line)
    pos = _BLANKS.match(line).end()
    while pos < n:
        start = pos
        if line[pos] == '"':
            pos = _quote_end(line, pos)
            if pos < 0:
                return pairs, f"malformed comment line: unbalanced quote at column {start + 1}"
        else:
            m = _BARE.match(line, pos)
            if m is None:
                return pairs, f'malformed comment line: "=" with no key at column {start + 1}'
            pos = m.end()
        key = line[start:pos]
        if loose:
            m = _LOOSE_EQUALS.match(line, pos)
            if m is None or "=" not in m.group():
                return pairs, "not a loose pair"
            pos = m.end()
            if pos == n:
                return pairs, "not a loose pair"
        elif pos == n or line[pos] != "=":
            pairs.append((key, "", ""))
            pos = _BLANKS.match(line, pos).end()
            continue
        else:
            pos += 1
            if pos == n or line[pos].isspace():
                if _EMPTY_VALUE_ENDS.match(line, pos) is None:
                    pairs.append((key, "", ""))  # as the pattern: a bare key, then the "=" is the fault
                    return pairs, f'malformed comment line: "=" with no key at column {pos}'
                pairs.append((key, "=", ""))
                pos = _BLANKS.match(line, pos).end()
                continue
        value_start = pos
        pos, fault = _value_end(line, pos)
        if pos < 0:
            column = value_start + 1
            if fault.startswith('"="'):
                pairs.append((key, "", ""))  # "a==": a bare key, then the first "=" is the fault
                column -= 1
            return pairs, f"malformed comment line: {fault} at column {column}"
        raw = line[value_start:pos]
        if loose:
            if raw[-1:] == "," and len(raw) > 1 and not fault and raw[0] not in _STRUCTURED:
                raw = raw[:-1]
                pos -= 1
            m = _LOOSE_END.match(line, pos)
            if m is None:
                return pairs, "not a loose pair"
            pos = m.end()
        pairs.append((key, "=", raw))
        pos = _BLANKS.match(line, pos).end()
    return pairs, ""


_SCALAR = re.compile(
    r"([+-]?\d+)\Z"
    r"|([+-]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eEdD][+-]?\d+)?\Z|[+-]?(?:inf|infinity|nan)\Z)",
    re.IGNORECASE,
)
_BOOLS = {
    "T": True, "True": True, "true": True, "TRUE": True,
    "F": False, "False": False, "false": False, "FALSE": False,
}  # fmt: skip
_ESCAPE = re.compile(r"\\(.)", re.S)
_ESCAPES = {'"': '"', "\\": "\\", "n": "\n"}
_ARRAY_TOKEN = re.compile(r'\s*(?:(\[)|(\])|(,)|(' + _QUOTED + r')|([^\s,\[\]"]+))')
_FORTRAN_EXPONENT = str.maketrans("dD", "eE")
_JSON_TAG = "_JSON "
TENSOR_KEYS = frozenset({"stress", "virial"})  # nine numbers there are a 3x3, column by column

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
_pbc_cache: dict[str, Array | None] = {}


def _unescape(body: str) -> str:
    if "\\" not in body:
        return body
    if "\\\\" not in body:
        # Every backslash escapes the character after it: two replaces, no call per escape.
        return body.replace('\\"', '"').replace("\\n", "\n")
    return _ESCAPE.sub(lambda m: _ESCAPES.get(m.group(1), m.group(0)), body)


def _float(text: str) -> float:
    """A float literal the scalar pattern accepted; Fortran d/D exponents only cost a retry."""
    try:
        return float(text)
    except ValueError:
        return float(text.translate(_FORTRAN_EXPONENT))


# Longer digit strings than Python converts to int by default (sys.get_int_max_str_digits is
# 4300 since 3.11 and in 3.10.7+): such a word stays the text it is, nothing of it lost.
_MAX_INT_DIGITS = 4000


def _int(text: str) -> int | str:
    return int(text) if len(text) <= _MAX_INT_DIGITS else text


def scalar(text: str) -> int | float | bool | str:
    """A bare word typed: int, float, bool, else the text itself."""
    m = _SCALAR.match(text)
    if m is not None:
        if m.lastindex == 1:
            return _int(text)
        return _float(text)
    b = _BOOLS.get(text)
    return text if b is None else b


# --- lists of numbers ---------------------------------------------------------------------------

_BIG_LIST = 2048  # characters from which a numeric list is parsed by NumPy on the joined text
_NOT_NUMERIC = re.compile(r"[^0-9eE+\-.\s,]")
_FLOAT_CHARS = re.compile(r"[.eE]")
_LONG_DIGITS = re.compile(r"\d{19}")  # may not fit in int64: the item-by-item path decides
_ASCII_BLANKS = np.frombuffer(b" \t\n\r\x0b\x0c", dtype=np.uint8)
_OTHER_BLANKS = re.compile(rb"[\t\n\r\x0b\x0c]")


def _numbers(body: str, sep: str) -> Array | None:
    """A long list of ints or floats (items separated by blanks, or by commas with optional
    blanks) parsed on the joined text in linear time and memory; None when it holds anything
    else or the item-by-item path must decide (big ints, inf/nan, d exponents)."""
    if not body.isascii() or _NOT_NUMERIC.search(body) or (sep == " " and "," in body):
        return None
    is_float = _FLOAT_CHARS.search(body) is not None
    if (not is_float and _LONG_DIGITS.search(body)) or (is_float and _minus_zero_int(body)):
        return None
    raw = body.encode("ascii")
    if sep == ",":
        expected = raw.count(b",") + 1
    elif raw[:1] != b" " and raw[-1:] != b" " and b"  " not in raw and not _OTHER_BLANKS.search(raw):
        expected = raw.count(b" ") + 1  # single spaces between the items: the common form
    else:
        # items = blank-to-non-blank transitions (or a non-blank first character)
        chars = np.frombuffer(raw, dtype=np.uint8)
        blank = np.isin(chars, _ASCII_BLANKS)
        expected = int(np.count_nonzero(blank[:-1] & ~blank[1:])) + int(bool(len(blank)) and not blank[0])
    if expected == 0:
        return None
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            values = np.fromstring(raw, dtype=np.float64 if is_float else np.int64, sep=sep)
        except (DeprecationWarning, ValueError):
            return None
    # Each item must have given exactly one number: NumPy also splits "1-2" or "1.5.5".
    return values if len(values) == expected else None


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


_PLAIN_NUMBER = r"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?"
_PLAIN_NUMBERS = re.compile(r"\s*(?:" + _PLAIN_NUMBER + r"\s+)*" + _PLAIN_NUMBER + r"\s*\Z")
_NOT_INT = re.compile(r"[.eE]")
# An int item "-0" is 0, which a float list holds as +0.0: NumPy would read -0.0.
_MINUS_ZERO_INT = re.compile(r"(?<![^\s,\[])-0+(?![^\s,\]])")


def _minus_zero_int(body: str) -> bool:
    return "-0" in body and _MINUS_ZERO_INT.search(body) is not None


def _old_style(body: str, minimum: int) -> Array | None:
    """A blank-separated list of at least `minimum` items as an array; None when not typed."""
    if len(body) >= _BIG_LIST:
        values = _numbers(body, " ")
        if values is not None:
            return values if len(values) >= minimum else None
    elif _PLAIN_NUMBERS.match(body):
        # Short lists of plain numbers (stress, virial, dipoles): NumPy types the items at once.
        items = body.split()
        if len(items) < minimum:
            return None
        if _NOT_INT.search(body):
            if not _minus_zero_int(body):
                return np.array(items, dtype=np.float64)
            return _typed_items(items)
        try:
            return np.array(items, dtype=np.int64)
        except (OverflowError, ValueError):
            return _typed_items(items)  # beyond int64: floats of the ints, as item by item
    first = body.split(None, 1)[:1]
    if not first or isinstance(scalar(first[0]), str):
        return None  # a word that is no number or bool: never an array (no list made)
    items = body.split()
    if len(items) < minimum:
        return None
    return _typed_items(items)


def _new_style(text: str) -> Array | None:
    """A ``[...]`` array (one or two levels) typed as a whole; None when ragged or mixed."""
    # The pair pattern has already checked that the brackets balance.
    if len(text) >= _BIG_LIST:
        inner = text[1:-1]
        if "[" not in inner:
            values = _numbers(inner, ",")
            if values is not None:
                return values
        elif '"' not in inner:
            rows = re.split(r"\]\s*,\s*\[", inner.strip()[1:-1]) if inner.strip()[-1:] == "]" else []
            widths = {row.count(",") for row in rows}
            if len(widths) == 1 and "[" not in inner.strip()[1:-1].replace("[", "", len(rows) - 1):
                values = _numbers(",".join(rows), ",")
                if values is not None:
                    return values.reshape(len(rows), -1)
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


# --- JSON values --------------------------------------------------------------------------------

_INT64 = (-(2**63), 2**63 - 1)
_MAX_DIMS = 32  # NumPy 1.x's most dimensions (2.x takes 64)


def json_array(value: Any) -> Array | None:
    """A rectangular list (nested to any depth) of bools, of int64 ints or of numbers as an
    array (bool, int64 or float64); None for anything else. An empty list is float64."""
    shape: list[int] = []
    level: list[Any] = [value]
    while level and all(isinstance(v, list) for v in level):
        if len(shape) == _MAX_DIMS:  # deeper than every NumPy's arrays: stays the nested lists
            return None
        width = len(level[0])
        if any(len(v) != width for v in level):
            return None
        shape.append(width)
        level = [item for v in level for item in v]
    if any(isinstance(v, list) for v in level):
        return None
    if not level:
        return np.zeros(shape, dtype=np.float64)
    kinds = {type(v) for v in level}
    if kinds == {bool}:
        return np.array(level, dtype=bool).reshape(shape)
    if kinds == {int}:
        if _INT64[0] <= min(level) and max(level) <= _INT64[1]:
            return np.array(level, dtype=np.int64).reshape(shape)
        return None
    if kinds <= {int, float}:
        return np.array(level, dtype=np.float64).reshape(shape)
    return None


def _json_value(text: str) -> Any:
    """The value of a _JSON text; the text itself when it is not valid JSON."""
    try:
        value = json.loads(text[len(_JSON_TAG) :])
    except (ValueError, RecursionError):  # nested deeper than the decoder goes: kept as text
        return text
    if isinstance(value, list):
        array = json_array(value)
        if array is not None:
            return array
    return value


# --- values -------------------------------------------------------------------------------------


def _value(raw: str) -> InfoValue:
    head = raw[:1]
    if head == '"':
        body = _unescape(raw[1:-1])
        if body.startswith(_JSON_TAG):
            return _json_value(body)
        array = _old_style(body, 2)
        return body if array is None else array
    if head == "{":
        body = raw[1:-1]
        array = _old_style(body, 1)
        return body if array is None else array
    if head == "[":
        array = _new_style(raw)
        return raw if array is None else array
    return scalar(raw)


def _tensor(value: InfoValue, raw: str) -> InfoValue:
    """A stress/virial value: a list of nine numbers as its (3, 3), column by column."""
    if (
        isinstance(value, np.ndarray)
        and value.shape == (9,)
        and value.dtype.kind in "if"
        and not raw.startswith('"' + _JSON_TAG)
    ):
        return value.reshape(3, 3).T.copy()
    return value


def _lattice(raw: str) -> Array:
    cell = _lattice_cache.get(raw)
    if cell is None:
        value = _value(raw)
        if "," in raw and not (isinstance(value, np.ndarray) and value.size == 9):
            body = _unescape(raw[1:-1]) if raw[:1] in '"{' else raw
            value = _old_style(body.replace(",", " "), 1)
        if not isinstance(value, np.ndarray) or value.size != 9 or value.dtype.kind not in "if":
            raise CommentError(f"bad Lattice={shortened(raw)}: expected 9 numbers (3 cell vectors)")
        cell = value.astype(np.float64).reshape(3, 3)
        if len(_lattice_cache) >= _CACHE_LIMIT:
            _lattice_cache.clear()
        _lattice_cache[raw] = cell
    return cell.copy()


_PBC_FLAGS = {"t": True, "true": True, "1": True, "f": False, "false": False, "0": False}


def _pbc_of(raw: str) -> Array | None:
    """Three booleans in any of the forms written in the wild; None otherwise."""
    body = raw[1:-1] if raw[:1] in '"{[' and len(raw) > 1 else raw
    items = body.replace(",", " ").split()
    if len(items) == 1 and len(items[0]) == 3:
        items = list(items[0])
    if len(items) != 3:
        return None
    flags = [_PBC_FLAGS.get(item.lower()) for item in items]
    if None in flags:
        return None
    return np.array(flags, dtype=bool)


def _pbc(raw: str) -> Array | None:
    """The pbc of a raw value (a copy), or None when it is not three booleans."""
    if raw in _pbc_cache:
        pbc = _pbc_cache[raw]
    else:
        pbc = _pbc_of(raw)
        if len(_pbc_cache) >= _CACHE_LIMIT:
            _pbc_cache.clear()
        _pbc_cache[raw] = pbc
    return None if pbc is None else pbc.copy()


class Comment:
    """What one comment line says: the info pairs, the cell, pbc and the Properties text."""

    __slots__ = ("info", "cell", "pbc", "properties")

    def __init__(
        self, info: dict[str, InfoValue], cell: Array | None, pbc: Array | None, properties: str | None
    ) -> None:
        self.info = info
        self.cell = cell
        self.pbc = pbc
        self.properties = properties


Parts = tuple[dict[str, InfoValue], Array | None, Array | None, str | None]


def parse_comment(line: str) -> Comment:
    """Parse one comment line (without its line end); CommentError when its Lattice or
    Properties cannot be read."""
    return Comment(*comment_parts(line))


def comment_parts(line: str) -> Parts:
    """parse_comment's (info, cell, pbc, properties) as a tuple: the reader's per-frame call."""
    if "=" not in line:
        return ({"comment": line} if line.strip() else {}), None, None, None
    if _fast_scan is not None:
        found = _fast_scan(line)
        if found is not None:
            info, lattice, pbc_text, properties = found
            # Valid texts come from the caches; a faulty one is left to the
            # parser below, which reports it (or keeps a bad pbc) in line order.
            try:
                cell = pbc = None
                if type(lattice) is str:
                    cell = _lattice_cache.get(lattice)
                    cell = _lattice(lattice) if cell is None else cell.copy()
                else:
                    cell = lattice  # nine numbers, typed by the scanner: a new (3, 3) float64
                if pbc_text is None:
                    return info, cell, pbc, properties
                pbc = _pbc_cache.get(pbc_text)
                pbc = _pbc(pbc_text) if pbc is None else pbc.copy()
                if pbc is not None:
                    return info, cell, pbc, properties
            except CommentError:
                pass
    fault = ""
    if len(line) <= _REGEX_LIMIT and "\\" not in line:
        parts = _pairs(_PAIR.findall(line))
    else:
        pairs, fault = scan_pairs(line)
        parts = None if fault else _pairs([(key, eq, raw, "", "") for key, eq, raw in pairs])
    if parts is None:
        # A quote that never closes spoils any reading as pairs: no second scan to the end.
        if "unbalanced quote" not in fault:
            parts = _pairs(_scanned(line, True))
        if parts is None:
            if _HOLDS_SPECIAL.search(line):
                raise CommentError(fault or scan_pairs(line)[1])
            return {"comment": line}, None, None, None
    return parts


def _scanned(line: str, loose: bool) -> list[tuple[str, str, str, str, str]] | None:
    """scan_pairs' pairs in the pair pattern's tuple form; None when the line has a fault."""
    pairs, fault = scan_pairs(line, loose)
    return None if fault else [(key, eq, raw, "", "") for key, eq, raw in pairs]


def _pairs(found: list[tuple[str, str, str, str, str]] | None) -> Parts | None:
    """Typed pairs; None at the first fault (the line is not strict pairs)."""
    if found is None:
        return None
    info: dict[str, InfoValue] = {}
    cell = pbc = None
    properties = None
    error = ""  # the first fault of a special key, raised once the line is known to be pairs
    # The common case (a plain key with a bare number or word) is inlined: this
    # loop runs once per pair of every frame the native scanner declines.
    for key, eq, raw, opener, stray in found:
        if stray or opener:
            return None
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
                value = _value(raw)
                info[key] = _tensor(value, raw) if key in TENSOR_KEYS else value
            else:
                m = _SCALAR_MATCH(raw)
                if m is None:
                    b = _BOOLS.get(raw)
                    info[key] = raw if b is None else b
                elif m.lastindex == 1:
                    info[key] = _int(raw)
                else:
                    info[key] = _float(raw)
        elif special == "pbc":
            pbc_value = _pbc(raw) if eq else None
            if pbc_value is None:
                info[key] = _value(raw) if eq else True
            else:
                pbc = pbc_value
        elif not eq:
            error = error or f"{key} without a value"
        elif special == "Lattice":
            try:
                cell = _lattice(raw)
            except CommentError as e:
                error = error or str(e)
        else:
            properties = raw[1:-1] if raw[:1] == '"' else raw
    if error:
        raise CommentError(error)
    return info, cell, pbc, properties


# --- writing ------------------------------------------------------------------------------------

_NEEDS_QUOTES = re.compile(r'[\s="\\]|\A[\[{]|\A\Z')
_KEY_NEEDS_QUOTES = re.compile(r'[\s="\\]|\A\Z')
_quoted_cache: dict[str, str] = {}


def quote(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def format_str(text: str) -> str:
    """A str value as written: bare when it reads back as the same str, quoted when that does,
    else as _JSON text (a quoted list of numbers or booleans would read back as an array)."""
    done = _quoted_cache.get(text)
    if done is None:
        if _NEEDS_QUOTES.search(text) or not isinstance(scalar(text), str):
            done = quote(text)
            back = _value(done)
            if not (isinstance(back, str) and back == text):
                done = quote(_JSON_TAG + json.dumps(text, ensure_ascii=False))
        else:
            done = text
        if len(_quoted_cache) >= _CACHE_LIMIT:
            _quoted_cache.clear()
        _quoted_cache[text] = done
    return done


_key_cache: dict[str, str] = {}


def format_key(key: str) -> str:
    """A key as written ("key="), quoted when needed; TypeError for a key that is not a str,
    ValueError for the reserved keys and for keys other readers cannot read back."""
    done = _key_cache.get(key)
    if done is None:
        if not isinstance(key, str):
            raise TypeError(f"info keys must be str, got {type(key).__name__}: {key!r}")
        if len(key) in _SPECIAL_LENGTHS and key.lower() in _SPECIAL_OF_LOWER:
            raise ValueError(f"info key {key!r} is reserved: use Frame.cell, Frame.pbc or Frame.arrays")
        if "=" in key or key[:1] in ("[", "{"):
            raise ValueError(f"info key {key!r} cannot be read back: keys hold no '=' and begin with no '[' or '{{'")
        done = (quote(key) if _KEY_NEEDS_QUOTES.search(key) else key) + "="
        if len(_key_cache) >= _CACHE_LIMIT:
            _key_cache.clear()
        _key_cache[key] = done
    return done


def _float_text(value: Any) -> str:
    """The shortest text of a float; ValueError for a wider float that no float64 equals."""
    f = float(value)
    if type(value) is not float and not isinstance(value, np.float64) and f != value and not math.isnan(f):
        raise ValueError(f"{type(value).__name__} {value!r} is not exactly a float64: convert it first")
    return repr(f)


def _item(v: Any) -> str:
    if isinstance(v, (bool, np.bool_)):
        return "T" if v else "F"
    if isinstance(v, (int, np.integer)):
        return "%d" % v
    if isinstance(v, (float, np.floating)):
        return repr(float(v))
    return quote(str(v))


def _plain(value: Any) -> Any:
    """A value as the JSON encoder takes it: tuples as lists, NumPy values as Python ones."""
    if isinstance(value, (str, bool, int, float)) or value is None:
        return value
    if isinstance(value, dict):
        for k in value:
            if not isinstance(k, str):
                raise TypeError(f"dict keys must be str to read back, got {type(k).__name__}: {k!r}")
        return {k: _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, np.ndarray):
        return _plain(value.tolist())
    if isinstance(value, np.floating):
        return float(_float_text(value))
    if isinstance(value, np.generic):
        return _plain(value.item())
    raise TypeError(f"no extended XYZ text for a value of type {type(value).__name__}")


def _same(a: Any, b: Any) -> bool:
    """Equal values of the same type, recursively; NaN equals NaN; arrays by dtype kind."""
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return (
            isinstance(a, np.ndarray)
            and isinstance(b, np.ndarray)
            and a.dtype.kind == b.dtype.kind
            and a.shape == b.shape
            and bool(np.array_equal(a, b, equal_nan=a.dtype.kind == "f"))
        )
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(_same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b, strict=True))
    if isinstance(a, float) and a != a:
        return b != b
    return bool(a == b)


def _format_json(expected: Any) -> str:
    """_JSON text of a plain value (or an array), checked to read back as `expected`."""
    plain = _plain(expected)
    text = quote(_JSON_TAG + json.dumps(plain, ensure_ascii=False))
    if not _same(_value(text), expected):
        raise ValueError("no text reads back as this value")
    return text


def format_value(value: Any, key: str = "") -> str:
    """One info value in canonical text (`key` decides the stress/virial 3x3 form); TypeError
    for a type the format has no text for, ValueError for a value that would read back as
    something else."""
    if isinstance(value, str):
        return format_str(value)
    if isinstance(value, (bool, np.bool_)):
        return "T" if value else "F"
    if isinstance(value, (int, np.integer)):
        return "%d" % value
    if isinstance(value, (float, np.floating)):
        return _float_text(value)
    if value is None or isinstance(value, dict):
        return _format_json(value)
    if isinstance(value, (list, tuple)):
        plain = _plain(value)
        array = json_array(plain)
        if array is None:
            return _format_json(plain)
        value = array
    if not isinstance(value, np.ndarray):
        raise TypeError(f"no extended XYZ text for a value of type {type(value).__name__}")
    return _format_array(value, key)


def _format_array(array: Array, key: str) -> str:
    kind = array.dtype.kind
    if kind not in "biufUS":
        raise TypeError(f"no extended XYZ text for an array of dtype {array.dtype}")
    if array.ndim == 0:
        return format_value(array[()], key)
    if kind == "S":
        array = array.astype(str)
        kind = "U"
    elif kind == "u":
        if array.size and int(array.max()) > _INT64[1]:
            raise ValueError("values above the int64 range would read back as floats")
        array = array.astype(np.int64)
        kind = "i"
    elif kind == "f" and array.dtype != np.float64:
        wide = array
        array = array.astype(np.float64)
        if not np.array_equal(array, wide, equal_nan=True):
            raise ValueError(f"{wide.dtype} values that are not exactly float64: convert them first")
    if array.size == 0:
        if kind == "f" and array.ndim == 1:
            return "[]"
        raise ValueError(f"an empty {array.dtype} array of shape {array.shape} reads back as float64 of shape (0,)")
    if kind == "U":
        if array.ndim == 1:
            return "[" + ", ".join(quote(v) for v in array.tolist()) + "]"
        if array.ndim == 2:
            return "[" + ", ".join("[" + ", ".join(quote(v) for v in row) + "]" for row in array.tolist()) + "]"
        raise TypeError(f"no extended XYZ text for a str array of {array.ndim} dimensions")
    tensor = key in TENSOR_KEYS and kind != "b"
    if array.ndim == 1 and not (tensor and len(array) == 9):
        items = array.tolist()
        if len(items) > 1:
            return '"' + " ".join(_item(v) for v in items) + '"'
        return "[" + _item(items[0]) + "]"
    if tensor and array.shape == (3, 3):
        # stress/virial: nine numbers, column by column, as the common writers store them
        return '"' + " ".join(_item(v) for v in array.T.reshape(9).tolist()) + '"'
    return _format_json(array)


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


_PBC_TEXT = {
    (a, b, c): f'pbc="{"T" if a else "F"} {"T" if b else "F"} {"T" if c else "F"}"'
    for a in (False, True)
    for b in (False, True)
    for c in (False, True)
}


_NO_PBC = _PBC_TEXT[(False, False, False)]


def format_pbc(pbc: Array) -> str:
    """pbc="..." of a (3,) bool array."""
    return _PBC_TEXT[tuple(pbc.tolist())]


_ends_cache: dict[tuple[str, bytes | None, bytes], tuple[str, str]] = {}


def _ends(properties: str, cell: Array | None, pbc: Array) -> tuple[str, str]:
    """What comes before the info pairs ("Lattice=... Properties=...") and after them
    (" pbc=..." or "", then the line end); a frame without columns gets the plain XYZ ones."""
    ends_key = (properties, None if cell is None else cell.tobytes(), pbc.tobytes())
    ends = _ends_cache.get(ends_key)
    if ends is None:
        head = "Properties=" + (properties or DEFAULT_PROPERTIES)
        if cell is not None:
            head = format_lattice(cell) + " " + head
        pbc_text = format_pbc(pbc)
        ends = head, (" " + pbc_text if cell is not None or pbc_text != _NO_PBC else "") + "\n"
        if len(_ends_cache) >= _CACHE_LIMIT:
            _ends_cache.clear()
        _ends_cache[ends_key] = ends
    return ends


def format_header(natoms: int, properties: str, info: dict[str, Any], cell: Array | None, pbc: Array) -> bytes:
    """The count line and the comment line of a frame, as written (format_comment's line).

    cell is None or a (3, 3) float64 array, pbc a (3,) bool array. Raises TypeError or
    ValueError, naming the key, for an info pair that cannot be written to read back.
    """
    head, tail = _ends(properties, cell, pbc)
    parts = [f"{natoms}\n{head}"]
    if _append_pairs(parts, info) and tail != "\n":
        # Some readers take the text after key="" as part of it: pbc goes before such a pair.
        parts.insert(1, tail[1:-1])
        tail = "\n"
    return (" ".join(parts) + tail).encode()


def _append_pairs(parts: list[str], info: dict[str, Any]) -> bool:
    """Appends the info pairs as written ("key=value"), in order; floats and ints inline (hot).
    Returns whether some value was written as the empty string ""."""
    empty = False
    for key, value in info.items():
        kind = type(value)
        if kind is float:
            text = repr(value)
        elif kind is int:
            text = "%d" % value
        else:
            try:
                text = format_value(value, key)
            except (TypeError, ValueError) as e:
                raise type(e)(f"info[{key!r}]: {e}") from None
            empty = empty or text == '""'
        parts.append((_key_cache.get(key) or format_key(key)) + text)
    return empty


def format_comment(properties: str, info: dict[str, Any], cell: Array | None, pbc: Array) -> str:
    """The canonical comment line: Lattice, Properties, the info pairs in order, then pbc
    (before the info pairs when one of them is written as "").

    pbc is written whenever Lattice is, and without a Lattice when it is not F F F.
    """
    return format_header(0, properties, info, cell, pbc).decode()[2:-1]
