"""Float ("%16.8f", "NaN") and integer ("%8d") fields of write_atoms_rs:
the edge-case tables, then seeded differential runs against Python's %
operator over millions of values (random bit patterns, typical coordinates,
values around the rounding boundaries, exact ties, subnormals, huge values)."""
import math
import struct

import numpy as np
import pytest

from _atomblock import write_atoms_rs

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


def bits_to_float(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def fields(column, code):
    """The field of every value of `column`, written as a one-column block."""
    column = np.asarray(column)
    n = len(column)
    empty_f, empty_i = np.zeros((n, 0)), np.zeros((n, 0), np.int64)
    args = dict(
        sym_codepoints=np.zeros((n, 0), np.uint32), sym_width=0,
        float_mat=column.reshape(n, 1) if code == b"f" else empty_f,
        int_mat=column.reshape(n, 1) if code == b"i" else empty_i,
        bool_mat=np.zeros((n, 0), np.uint8), col_types=code,
    )
    lines = write_atoms_rs(**args).split("\n")
    assert lines[-1] == "" and len(lines) == n + 1
    assert all(line[0] == " " for line in lines[:-1])  # the separator
    return [line[1:] for line in lines[:-1]]


def float_fields(values):
    return fields(np.asarray(values, dtype=np.float64), b"f")


def int_fields(values):
    return fields(np.asarray(values, dtype=np.int64), b"i")


def assert_same_as_percent(values, label):
    """Every field equals "%16.8f" % value; reports the first mismatches."""
    values = np.asarray(values, dtype=np.float64)
    got = float_fields(values)
    bad = [(v.hex(), g, "%16.8f" % v) for v, g in zip(values.tolist(), got, strict=True) if g != "%16.8f" % v]
    assert not bad, f"{label}: {len(bad)} of {len(values)} differ, first: {bad[:5]}"


# ---- tables ---------------------------------------------------------------------------

@pytest.mark.parametrize(
    "value, expected",
    [
        (0.0, " " * 6 + "0.00000000"),
        (-0.0, " " * 5 + "-0.00000000"),
        (-1e-9, " " * 5 + "-0.00000000"),
        (4e-9, " " * 6 + "0.00000000"),
        (6e-9, " " * 6 + "0.00000001"),
        (5e-324, " " * 6 + "0.00000000"),
        (-5e-324, " " * 5 + "-0.00000000"),
        (0.1, " " * 6 + "0.10000000"),
        (1 / 3, " " * 6 + "0.33333333"),
        (2**-9, " " * 6 + "0.00195312"),
        (3 * 2**-9, " " * 6 + "0.00585938"),
        (9.999999995, " " * 6 + "9.99999999"),
        (9.999999996, " " * 5 + "10.00000000"),
        (-2.25, " " * 5 + "-2.25000000"),
        (999999.999999995, "999999.99999999".rjust(16)),   # 6 integer digits, just below carry
        (-999999.999999996, "-1000000.00000000"),           # the carry makes it 17 wide
        (9999999.99999999, "9999999.99999999"),              # exactly 16 wide, no padding
        (12345678.123456789, "12345678.12345679"),
        (-1234567.5, "-1234567.50000000"),
        (1e20, "100000000000000000000.00000000"),
        (2.0**64, "18446744073709551616.00000000"),
        (-(2.0**63), "-9223372036854775808.00000000"),
        (float("nan"), " " * 13 + "NaN"),
        (-float("nan"), " " * 13 + "NaN"),
        (bits_to_float(0x7FF0000000000001), " " * 13 + "NaN"),  # signalling payload
        (float("inf"), " " * 13 + "inf"),
        (-float("inf"), " " * 12 + "-inf"),
    ],
)
def test_float_field_table(value, expected):
    assert float_fields([value]) == [expected]


def test_largest_double_has_309_integer_digits():
    (field,) = float_fields([-1.7976931348623157e308])
    assert field == "-" + str(int(1.7976931348623157e308)) + ".00000000"
    assert len(field) == 1 + 309 + 1 + 8


@pytest.mark.parametrize(
    "value, expected",
    [
        (0, " " * 7 + "0"),
        (7, " " * 7 + "7"),
        (-1, " " * 6 + "-1"),
        (-1234567, "-1234567"),
        (12345678, "12345678"),
        (-12345678, "-12345678"),
        (123456789, "123456789"),
        (INT64_MIN, "-9223372036854775808"),
        (INT64_MAX, "9223372036854775807"),
    ],
)
def test_int_field_table(value, expected):
    assert int_fields([value]) == [expected]


# ---- differential runs against the % operator ---------------------------------------

def test_random_bit_patterns():
    rng = np.random.default_rng(20260801)
    values = rng.integers(0, 2**64, 1_000_000, dtype=np.uint64, endpoint=False).view(np.float64)
    nan = np.isnan(values)
    assert set(float_fields(values[nan])) <= {" " * 13 + "NaN"}
    assert_same_as_percent(values[~nan], "random bits")


def test_random_bit_patterns_of_atomistic_magnitudes():
    # Exponents from 2^-40 to 2^40: the integer-arithmetic range and its edges.
    rng = np.random.default_rng(11)
    mantissa = rng.integers(0, 2**52, 1_000_000, dtype=np.uint64)
    exponent = rng.integers(1023 - 40, 1023 + 40, 1_000_000, dtype=np.uint64)
    sign = rng.integers(0, 2, 1_000_000, dtype=np.uint64)
    values = ((sign << np.uint64(63)) | (exponent << np.uint64(52)) | mantissa).view(np.float64)
    assert_same_as_percent(values, "exponents 2^-40..2^40")


def test_typical_coordinates():
    rng = np.random.default_rng(3)
    assert_same_as_percent(rng.uniform(-1000.0, 1000.0, 1_000_000), "coordinates")


def test_values_around_the_half_unit_of_the_last_digit():
    # (k + 1/2) * 1e-8 and its neighbours within 3 ulps: rounding up or down
    # hinges on the exact binary value, not on its shortest decimal form.
    rng = np.random.default_rng(5)
    k = rng.integers(-10**11, 10**11, 100_000)
    centres = (k + 0.5) / 1e8
    values = [np.nextafter(centres, np.sign(centres) * np.inf * d) for d in (1, -1)]
    up, down = np.nextafter(values[0], np.inf), np.nextafter(values[1], -np.inf)
    assert_same_as_percent(np.concatenate([centres, *values, up, down]), "half-unit boundaries")


def test_exact_ties_round_to_even():
    # Odd multiples of 2^-9 are exactly halfway between two 8-digit decimals.
    rng = np.random.default_rng(9)
    odd = rng.integers(0, 2**43, 300_000) * 2 + 1
    ties = np.ldexp(odd.astype(np.float64), -9)
    assert np.all(np.ldexp(ties, 9) == odd)  # exact
    small = np.ldexp(np.arange(1, 20001, 2, dtype=np.float64), -9)
    values = np.concatenate([ties, -ties, small, -small])
    assert_same_as_percent(values, "ties")
    # Both directions occur, so ties-to-even (not half-up) is what is checked.
    got = float_fields([2**-9, 3 * 2**-9])
    assert got == ["      0.00195312", "      0.00585938"]


def test_subnormal_and_tiny_values():
    rng = np.random.default_rng(13)
    subnormal = rng.integers(1, 2**52, 100_000, dtype=np.uint64).view(np.float64)
    # 2^-40 .. 2^-12 reach the digits only through the last few places.
    tiny = np.ldexp(rng.uniform(1, 2, 200_000), rng.integers(-40, -11, 200_000))
    values = np.concatenate([subnormal, -subnormal, tiny, -tiny])
    assert_same_as_percent(values, "tiny")


def test_powers_of_two_and_neighbours():
    powers = np.ldexp(1.0, np.arange(-1074, 1024))
    values = np.concatenate([powers, np.nextafter(powers, 0), np.nextafter(powers, np.inf)])
    values = values[np.isfinite(values)]
    assert_same_as_percent(np.concatenate([values, -values]), "powers of two")


def test_huge_values():
    rng = np.random.default_rng(17)
    values = np.ldexp(rng.uniform(1, 2, 50_000), rng.integers(60, 1024, 50_000))
    edges = np.concatenate([np.nextafter(2.0**64, 0) - np.arange(0, 4) * 4096.0, [2.0**64, 2.0**53]])
    assert_same_as_percent(np.concatenate([values, -values, edges, -edges]), "huge")


def test_decimal_boundaries_of_the_integer_part():
    # Around 10^k the integer part gains a digit and the field its width.
    centres = np.array([10.0**k for k in range(22)])
    offsets = np.array([-1e-8, -6e-9, -5e-9, -4e-9, 0.0, 4e-9, 1e-8])
    values = (centres[:, None] + offsets[None, :] * np.maximum(centres[:, None] / 1e7, 1)).ravel()
    ulps = [np.nextafter(centres, -np.inf), np.nextafter(centres, np.inf)]
    all_values = np.concatenate([values, *ulps])
    assert_same_as_percent(np.concatenate([all_values, -all_values]), "10^k boundaries")


def test_int_field_against_percent_d():
    rng = np.random.default_rng(19)
    # Random widths: shift random 64-bit patterns right by 0..63 bits, both signs.
    raw = rng.integers(INT64_MIN, INT64_MAX, 500_000, dtype=np.int64, endpoint=True)
    shifts = rng.integers(0, 64, 500_000).astype(np.int64)
    values = raw >> shifts
    edges = [p + d for k in range(19) for p in (10**k, -(10**k)) for d in (-1, 0, 1)]
    edges += [INT64_MIN, INT64_MIN + 1, INT64_MAX]
    values = np.concatenate([values, np.array(edges, dtype=np.int64)])
    got = int_fields(values)
    bad = [(v, g) for v, g in zip(values.tolist(), got, strict=True) if g != "%8d" % v]
    assert not bad, bad[:5]


def test_nan_never_signed_and_infinities_signed():
    payloads = [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001, 0xFFFFFFFFFFFFFFFF]
    values = [bits_to_float(b) for b in payloads] + [math.inf, -math.inf]
    assert float_fields(values) == [" " * 13 + "NaN"] * 4 + [" " * 13 + "inf", " " * 12 + "-inf"]
