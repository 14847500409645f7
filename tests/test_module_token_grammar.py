"""Float, integer and boolean token grammars: accepted and refused tokens,
values, reason texts, correct rounding; checked through read_atom_lines_rs."""
import math
import random
from decimal import Decimal, getcontext

import pytest

from _atomblock import read_atom_lines_rs

import model_reader as model

INVALID_FLOAT = model.FLOAT_INVALID
INF = float("inf")


def read_floats(tokens):
    """The float64 bit patterns of `tokens`, read as one line of f codes."""
    floats = read_atom_lines_rs([" ".join(tokens)], b"f" * len(tokens))["floats"]
    return [model.float_bits(v) for v in floats[0].tolist()]


def read_float(token):
    return model.bits_to_float(read_floats([token])[0])


def read_error(token, code):
    with pytest.raises(ValueError) as excinfo:
        read_atom_lines_rs([token], code)
    return str(excinfo.value)


# ---- float grammar ---------------------------------------------------------------

@pytest.mark.parametrize(
    "token, expected",
    [
        ("1", 1.0), ("-2.5", -2.5), ("+.5", 0.5), ("5.", 5.0), (".5", 0.5), ("007.50", 7.5),
        ("1e3", 1000.0), ("1E+03", 1000.0), ("2e-3", 0.002), ("-.25E1", -2.5),
        ("1e400", INF), ("-1e400", -INF), ("1e-400", 0.0), ("INF", INF), ("inf", INF),
        ("-Infinity", -INF), ("+iNfInItY", INF),
        ("1e0000000000000000000000000000003", 1000.0),  # leading zeros of the exponent
        ("123456789e-5", 1234.56789), ("9007199254740993e15", 9007199254740993e15),
        ("123456789e30", 123456789e30),  # exponent beyond 22, folded into the significand
    ],
)
def test_float_values(token, expected):
    assert read_float(token) == expected


@pytest.mark.parametrize(
    "token, bits",
    [
        ("-0", 0x8000000000000000), ("-0.0e5", 0x8000000000000000), ("+0", 0),
        ("-0e999999999", 0x8000000000000000), ("-1e-400", 0x8000000000000000),
        ("NaN", 0x7FF8000000000000), ("nan", 0x7FF8000000000000), ("+NAN", 0x7FF8000000000000),
        ("-nan", 0xFFF8000000000000), ("-NaN", 0xFFF8000000000000),
    ],
)
def test_float_sign_of_zero_and_nan_bit_patterns(token, bits):
    assert read_floats([token]) == [bits]


@pytest.mark.parametrize(
    "token",
    [
        ".", "e5", "1e", "1e+", "1e-", "+", "-", "+-1", "--1", "1.2.3", "1,5", "0x10", "0X1p3",
        "1_000", "1.0D+00", "1d5", "infinite", "infinityy", "nan(1)", "nann", "in", "na", "i",
        "1e5x", "1e1.5", ".e1", "1.e", "1ee5", "1e+-5", "+inf+", "-+inf", "e", "E",
        "\u0661", "\uff11", "1\u00a0", "1\x0b2", "\u0131nf",  # non-ASCII digit, fullwidth, NBSP, VT, dotless i
        "5\u0301", "1'000",
    ],
)
def test_float_refusals(token):
    assert read_error(token, b"f") == (
        f"row 0: cannot parse {model.quote(token)} as float: {INVALID_FLOAT}"
    )


# ---- float rounding --------------------------------------------------------------

getcontext().prec = 2000


def midpoint(bits):
    """The exact decimal midpoint between the double `bits` and the next one up."""
    low = Decimal(model.bits_to_float(bits))
    high = Decimal(2) ** 1024 if bits == 0x7FEFFFFFFFFFFFFF else Decimal(model.bits_to_float(bits + 1))
    return (low + high) / 2


@pytest.mark.parametrize(
    "bits",
    [
        0x0000000000000000, 0x0000000000000001, 0x0000000000000002,  # smallest subnormals
        0x000FFFFFFFFFFFFF, 0x0010000000000000,  # subnormal / normal border
        0x3FF0000000000000, 0x3FF0000000000001, 0x4340000000000000,  # 1.0, 2^53
        0x44B52D02C7E14AF6, 0x7FEFFFFFFFFFFFFE, 0x7FEFFFFFFFFFFFFF,  # 1e23, largest finite
    ],
)
def test_exact_halfway_tokens_round_to_even(bits):
    mid = midpoint(bits)
    even = bits if bits % 2 == 0 else bits + 1
    tiny = Decimal(10) ** (mid.adjusted() - 800)  # far below any halfway digit
    tokens = [format(mid, "e"), format(mid, "f"), format(mid - tiny, "e"), format(mid + tiny, "e")]
    assert read_floats(tokens) == [even, even, bits, bits + 1]
    assert [model.float_bits(float(t)) for t in tokens] == [even, even, bits, bits + 1]


@pytest.mark.parametrize(
    "token",
    [
        "3.14159265358979323846264338327950288419716939937510",
        "0.000000000000000000000000000000000000000000123456789012345678901234567890",
        "1.7976931348623157081452742373170435679807056752584499659891747680315726e308",
        "2.4703282292062327208828439643411068618252990130716238221279284125033775363e-324",
        "9007199254740993.000000000000000000000000000000000000000000000000001",
        "7.2057594037927933e16", "123456789012345678901234567890e-40",
        "1" + "0" * 5000 + "e-5000", "0." + "0" * 5000 + "17976931348623157e5309",
        "4." + "9" * 30000 + "e-324",
    ],
)
def test_long_tokens_are_correctly_rounded(token):
    assert read_floats([token]) == [model.float_bits(float(token))]


@pytest.mark.parametrize(
    "token, expected",
    [
        # Exponent digits stop counting once the exponent reaches 65536:
        # e700000 reads as e70000, e-6553699 as e-65536, which a long
        # significand can outweigh.
        ("0." + "0" * 70000 + "1e700000", 0.1),
        ("1" + "0" * 70000 + "e-700000", 1.0),
        ("1" + "0" * 70000 + "e-6553699", INF),
        ("1e6553699", INF), ("1e-6553699", 0.0), ("-1e99999999999999999999", -INF),
    ],
)
def test_exponent_accumulation_limit(token, expected):
    assert read_float(token) == expected


def random_decimal_token(rng):
    digits = "".join(rng.choice("0123456789") for _ in range(rng.choice([1, 9, 17, 19, 20, 25, 40, 120])))
    cut = rng.randrange(len(digits) + 1)
    token = rng.choice(["", "-", "+"]) + digits[:cut] + rng.choice([".", ""]) + digits[cut:]
    if rng.random() < 0.8:
        token += rng.choice("eE") + str(rng.choice([rng.randrange(-30, 30), rng.randrange(-345, 330)]))
    return token


@pytest.mark.parametrize("seed", range(4))
def test_random_decimals_against_python_float(seed):
    rng = random.Random(seed)
    tokens = [random_decimal_token(rng) for _ in range(5000)]
    for v in (model.bits_to_float(rng.getrandbits(63)) for _ in range(2000)):
        if math.isfinite(v):
            tokens += [repr(v), format(v, ".20e"), format(midpoint(model.float_bits(v)), "e")]
    assert read_floats(tokens) == [model.float_bits(model.parse_float(t)) for t in tokens]


@pytest.mark.parametrize("seed", range(2))
def test_random_mutated_float_tokens_against_model(seed):
    rng = random.Random(100 + seed)
    alphabet = "+-.eE0123456789_xdinfaINFAty"
    for _ in range(1500):
        token = list(random_decimal_token(rng) if rng.random() < 0.8 else rng.choice(["inf", "nan", "infinity"]))
        for _ in range(rng.randrange(1, 3)):
            token.insert(rng.randrange(len(token) + 1), rng.choice(alphabet))
        token = "".join(token)
        try:
            expected = model.float_bits(model.parse_float(token))
        except model.TokenError as exc:
            assert read_error(token, b"f") == f'row 0: cannot parse "{token}" as float: {exc.args[0]}'
        else:
            assert read_floats([token]) == [expected], token


# ---- integer grammar -------------------------------------------------------------

@pytest.mark.parametrize(
    "token, expected",
    [
        ("0", 0), ("+0", 0), ("-0", 0), ("007", 7), ("-12", -12), ("+12", 12),
        ("9223372036854775807", 2**63 - 1), ("-9223372036854775808", -(2**63)),
        ("0" * 40 + "9223372036854775807", 2**63 - 1), ("-" + "0" * 30 + "1", -1),
        ("999999999999999999", 10**18 - 1),
    ],
)
def test_int_values(token, expected):
    assert read_atom_lines_rs([token], b"i")["ints"].tolist() == [[expected]]


@pytest.mark.parametrize(
    "token, reason",
    [
        ("9223372036854775808", model.INT_TOO_LARGE), ("+9223372036854775808", model.INT_TOO_LARGE),
        ("-9223372036854775809", model.INT_TOO_SMALL), ("9" * 20 + "a", model.INT_TOO_LARGE),
        ("-" + "9" * 20 + "x", model.INT_TOO_SMALL), ("9223372036854775807a", model.INT_INVALID),
        ("-9223372036854775808a", model.INT_INVALID), ("92233720368547758070", model.INT_TOO_LARGE),
        ("+", model.INT_INVALID), ("-", model.INT_INVALID), ("--1", model.INT_INVALID),
        ("+-1", model.INT_INVALID), ("1.0", model.INT_INVALID), ("1e3", model.INT_INVALID),
        ("0x1F", model.INT_INVALID), ("1_000", model.INT_INVALID), ("\u0663", model.INT_INVALID),
        ("1\uff12", model.INT_INVALID), ("T", model.INT_INVALID), ("1-", model.INT_INVALID),
    ],
)
def test_int_refusals(token, reason):
    assert read_error(token, b"i") == f"row 0: cannot parse {model.quote(token)} as int: {reason}"


@pytest.mark.parametrize("seed", range(3))
def test_random_int_tokens_against_model(seed):
    rng = random.Random(200 + seed)
    for _ in range(3000):
        value = rng.choice([rng.randrange(-(2**63), 2**63), rng.randrange(-(2**66), 2**66),
                            rng.randrange(-1000, 1000)])
        token = rng.choice(["", "+", "0" * rng.randrange(1, 5)]) + str(value) if value >= 0 else str(value)
        if rng.random() < 0.3:
            i = rng.randrange(len(token) + 1)
            token = token[:i] + rng.choice("+-.ex9") + token[i:]
        try:
            expected = model.parse_int(token)
        except model.TokenError as exc:
            assert read_error(token, b"i") == f'row 0: cannot parse "{token}" as int: {exc.args[0]}'
        else:
            assert read_atom_lines_rs([token], b"i")["ints"].tolist() == [[expected]]


# ---- boolean grammar -------------------------------------------------------------

def test_bool_words():
    words = ["T", "True", "TRUE", "true", "F", "False", "FALSE", "false"]
    bools = read_atom_lines_rs([" ".join(words)], b"b" * 8)["bools"]
    assert bools.tolist() == [[1, 1, 1, 1, 0, 0, 0, 0]]


@pytest.mark.parametrize(
    "token",
    ["t", "f", "tRUE", "TRue", "fALSE", "1", "0", "yes", "no", ".true.", ".false.", "Tr", "Truee",
     "FALSEE", "\u0422rue"],  # the last starts with a Cyrillic capital Te
)
def test_bool_refusals(token):
    assert read_error(token, b"b") == f'row 0: cannot parse "{token}" as bool'
