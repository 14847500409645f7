"""Decimal rounding at the extremes of digit count and exponent, where the
exact decimal rounding (the only one in ATOMBLOCK_PORTABLE builds and on
standard libraries without std::from_chars for double) does the most
shifting: checked bit for bit against Python's float()."""
import random

import pytest

from _atomblock import read_atom_lines_rs

import model_reader as model

# Significant digits the rounding keeps before it stands one sticky digit in
# for the rest.
KEPT_DIGITS = 800


def mantissa(rng, count, lead="123456789"):
    return rng.choice(lead) + "".join(rng.choice("0123456789") for _ in range(count - 1))


def scientific(digits, exponent):
    return f"{digits[0]}.{digits[1:]}e{exponent}"


def extreme_tokens(seed):
    rng = random.Random(seed)
    tokens = []
    for exponent in (308, 307, 300, 22, 0, -1, -307, -308, -309, -323, -324):
        for count in (KEPT_DIGITS - 1, KEPT_DIGITS, KEPT_DIGITS + 1, KEPT_DIGITS + 40):
            tokens.append(scientific(mantissa(rng, count), exponent))
        # Digits that carry all the way up when rounded, and zeros that end
        # beyond the kept digits after a nonzero one.
        tokens.append(scientific("9" * (KEPT_DIGITS + 1), exponent))
        tokens.append(scientific("1" + "0" * (KEPT_DIGITS + 5) + "1", exponent))
    return tokens


@pytest.mark.parametrize("seed", range(2))
def test_long_mantissas_at_extreme_exponents(seed):
    tokens = extreme_tokens(seed)
    floats = read_atom_lines_rs([" ".join(tokens)], b"f" * len(tokens))["floats"][0].tolist()
    assert [model.float_bits(v) for v in floats] == [model.float_bits(float(t)) for t in tokens]


@pytest.mark.parametrize(
    "token",
    [
        "0.5", "0.49999999999999999999999999999", "0.50000000000000000000000000001", ".1", "0.4",
        "1.7976931348623158e308", "1.7976931348623157e308", "1.797693134862315807e308",
        "2.2250738585072011e-308", "2.2250738585072012e-308", "4.9406564584124654e-324",
        "2.4703282292062328e-324", "2.4703282292062327e-324", "1e-323", "3e-324",
        "9007199254740992.5", "9007199254740993", "18446744073709551615.5",
    ],
)
def test_boundary_tokens(token):
    value = read_atom_lines_rs([token], b"f")["floats"][0, 0]
    assert model.float_bits(float(value)) == model.float_bits(float(token))
