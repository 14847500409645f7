"""Pure-Python model of write_atoms_rs, the oracle of the seeded random
differential tests: fields by Python's % operator ("%16.8f", "%8d") except
NaN, which the module writes as "NaN"; symbols decoded code point by code
point; the same capacity estimate and failure messages (the index message is
only required to exist, so the model raises a distinct marker for it)."""
import math

SYMBOL, FLOAT, INT, BOOL = ord("s"), ord("f"), ord("i"), ord("b")
MAX_SYMBOL_WIDTH = 65535
UINT64 = 2**64

CAPACITY_OVERFLOW = "capacity overflow"
WIDTH_OUT_OF_RANGE = "Formatting argument out of range"
INDEX_OUT_OF_RANGE = "index out of range"  # marker; the module words it itself


class ModelFailure(Exception):
    """What the module raises as PanicException, with its message."""


def float_field(value):
    value = float(value)
    if math.isnan(value):
        return "%16s" % "NaN"
    return "%16.8f" % value


def int_field(value):
    return "%8d" % int(value)


def decode_symbol(row):
    """Code points up to the first 0; surrogates and values beyond U+10FFFF dropped."""
    chars = []
    for cp in (int(c) for c in row):
        if cp == 0:
            break
        if 0xD800 <= cp <= 0xDFFF or cp > 0x10FFFF:
            continue
        chars.append(chr(cp))
    return "".join(chars)


def capacity_estimate(natoms, sym_width, nf, ni, nb):
    """The estimate in wrapping unsigned 64-bit arithmetic."""
    return natoms * ((sym_width + 17 * nf + 9 * ni + 3 * nb + 2) % UINT64) % UINT64


def write_atoms(sym_codepoints, sym_width, float_mat, int_mat, bool_mat, col_types):
    natoms = sym_codepoints.shape[0]
    estimate = capacity_estimate(natoms, sym_width, float_mat.shape[1], int_mat.shape[1],
                                 bool_mat.shape[1])
    if estimate >= 2**63:
        raise ModelFailure(CAPACITY_OVERFLOW)

    def element(mat, atom, column):
        if atom >= mat.shape[0] or column >= mat.shape[1]:
            raise ModelFailure(INDEX_OUT_OF_RANGE)
        return mat[atom, column]

    lines = []
    for atom in range(natoms):
        symbol = decode_symbol(sym_codepoints[atom])
        parts = []
        nf = ni = nb = 0
        for code in col_types:
            if code == SYMBOL:
                if sym_width > MAX_SYMBOL_WIDTH:
                    raise ModelFailure(WIDTH_OUT_OF_RANGE)
                parts.append(symbol.ljust(sym_width))
            elif code == FLOAT:
                parts.append(" " + float_field(element(float_mat, atom, nf)))
                nf += 1
            elif code == INT:
                parts.append(" " + int_field(element(int_mat, atom, ni)))
                ni += 1
            elif code == BOOL:
                parts.append("  T" if element(bool_mat, atom, nb) else "  F")
                nb += 1
        lines.append("".join(parts) + "\n")
    return "".join(lines)
