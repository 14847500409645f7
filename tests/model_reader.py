"""Pure-Python model of read_atom_lines_rs, used as the oracle of the seeded
random differential tests: tokens by the five whitespace bytes, grammars by
regular expressions, values by Python's float() and int(), same messages.

Quoting uses the interpreter's unicodedata (Unicode 13 on CPython 3.10,
older than the module's tables); callers keep to characters whose class is
the same in both versions."""
import re
import struct
import unicodedata

WHITESPACE = " \t\n\f\r"
_SPLIT = re.compile("[ \t\n\f\r]+")

_DECIMAL = re.compile(r"([+-]?)(?:([0-9]+)(?:\.([0-9]*))?|\.([0-9]+))(?:[eE]([+-]?)([0-9]+))?\Z")
_SPECIAL = re.compile(r"([+-]?)(inf|infinity|nan)\Z", re.IGNORECASE | re.ASCII)
_INTEGER = re.compile(r"[+-]?[0-9]+\Z")

EXPONENT_LIMIT = 65536
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
NAN_BITS, NEGATIVE_NAN_BITS = 0x7FF8000000000000, 0xFFF8000000000000

FLOAT_EMPTY = "cannot parse float from empty string"
FLOAT_INVALID = "invalid float literal"
INT_EMPTY = "cannot parse integer from empty string"
INT_INVALID = "invalid digit found in string"
INT_TOO_LARGE = "number too large to fit in target type"
INT_TOO_SMALL = "number too small to fit in target type"

BOOL_WORDS = {"T": True, "True": True, "TRUE": True, "true": True,
              "F": False, "False": False, "FALSE": False, "false": False}

# The non-printable general categories; Zs is handled apart (the space prints).
_NOT_PRINTABLE = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp"}
# Other_Grapheme_Extend members that the random alphabets use (not Mn/Me).
_OTHER_GRAPHEME_EXTEND = {"\u200c", "\u09be", "\uff9e"}


def bits_to_float(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def float_bits(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


class TokenError(Exception):
    pass


def tokens(line):
    return [t for t in _SPLIT.split(line) if t]


def parse_float(token):
    """The float value, or TokenError(reason)."""
    if token == "":
        raise TokenError(FLOAT_EMPTY)
    m = _DECIMAL.match(token)
    if m:
        sign, integer, fraction, point_fraction, exp_sign, exp_digits = m.groups()
        if point_fraction is not None:
            integer, fraction = "", point_fraction
        exponent = 0
        for d in exp_digits or "":
            if exponent < EXPONENT_LIMIT:
                exponent = exponent * 10 + int(d)
        if exp_sign == "-":
            exponent = -exponent
        return float(f"{sign}{integer or '0'}.{fraction or ''}e{exponent}")
    m = _SPECIAL.match(token)
    if m:
        negative = m.group(1) == "-"
        if m.group(2).lower() == "nan":
            return bits_to_float(NEGATIVE_NAN_BITS if negative else NAN_BITS)
        return float("-inf") if negative else float("inf")
    raise TokenError(FLOAT_INVALID)


def parse_int(token):
    """The int value, or TokenError(reason), deciding as the module does."""
    if token == "":
        raise TokenError(INT_EMPTY)
    negative = token[0] == "-"
    body = token[1:] if token[0] in "+-" else token
    if body == "":
        raise TokenError(INT_INVALID)
    value = 0
    for ch in body:
        if ch not in "0123456789":
            raise TokenError(INT_INVALID)
        value = value * 10 + int(ch)
        if negative and -value < INT64_MIN:
            raise TokenError(INT_TOO_SMALL)
        if not negative and value > INT64_MAX:
            raise TokenError(INT_TOO_LARGE)
    assert _INTEGER.match(token)
    return -value if negative else value


def parse_bool(token):
    if token not in BOOL_WORDS:
        raise TokenError(None)
    return BOOL_WORDS[token]


def quote(token):
    out = ['"']
    for ch in token:
        simple = {'"': '\\"', "\\": "\\\\", "\0": "\\0", "\t": "\\t", "\n": "\\n", "\r": "\\r"}
        if ch in simple:
            out.append(simple[ch])
            continue
        cat = unicodedata.category(ch)
        escaped = (cat in _NOT_PRINTABLE or (cat == "Zs" and ch != " ")
                   or cat in ("Mn", "Me") or ch in _OTHER_GRAPHEME_EXTEND)
        out.append(f"\\u{{{ord(ch):x}}}" if escaped else ch)
    out.append('"')
    return "".join(out)


def read_atom_lines(lines, col_types):
    """The result of read_atom_lines_rs as plain lists, or raises
    ValueError(message). Floats are compared by their bit patterns."""
    codes = bytes(col_types)
    n = {c: codes.count(c) for c in b"fibs"}
    floats, ints, bools = [], [], []
    strs = [[] for _ in range(n[ord("s")])]
    for r, line in enumerate(lines):
        toks = tokens(line)
        row_f, row_i, row_b, k_s = [], [], [], 0
        for j, code in enumerate(codes):
            if j >= len(toks):
                raise ValueError(f"row {r}: expected {len(codes)} tokens, ran out")
            tok = toks[j]
            try:
                if code == ord("f"):
                    row_f.append(float_bits(parse_float(tok)))
                elif code == ord("i"):
                    row_i.append(parse_int(tok))
                elif code == ord("b"):
                    row_b.append(int(parse_bool(tok)))
                elif code == ord("s"):
                    strs[k_s].append(tok)
                    k_s += 1
            except TokenError as exc:
                kind = {ord("f"): "float", ord("i"): "int", ord("b"): "bool"}[code]
                tail = f": {exc.args[0]}" if exc.args[0] else ""
                raise ValueError(f"row {r}: cannot parse {quote(tok)} as {kind}{tail}") from None
        floats.append(row_f)
        ints.append(row_i)
        bools.append(row_b)
    return {"floats": floats, "ints": ints, "bools": bools, "strs": strs,
            "shape": {k: (len(lines), n[ord(c)]) for k, c in
                      (("floats", "f"), ("ints", "i"), ("bools", "b"))}}
