"""The reader's block-wise paths at their edges: token splitting by 16-byte
blocks and 64-byte windows, digit runs read eight bytes at a time, the short
fixed-point float path ([+-] d{1,7} . d{1,16}) and one-letter booleans.
Each case is checked against the pure-Python model."""
import random

import pytest

from _atomblock import read_atom_lines_rs

import model_reader as model

SEPARATORS = [" ", "\t", "\n", "\f", "\r"]
# Token bytes that sit next to separators in the byte tables: vertical tab,
# NUL, and the multi-byte characters NBSP (C2 A0), NEL (C2 85) and e-acute.
NON_SEPARATORS = ["\x0b", "\x00", "\u00a0", "\u0085", "\u00e9"]

# Line lengths around the classification units: 8-byte digit words,
# 16-byte blocks, 64-byte windows (and two of each).
EDGE_LENGTHS = [1, 2, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 79, 80, 81, 127, 128, 129]


def read_error(lines, col_types):
    with pytest.raises(ValueError) as excinfo:
        read_atom_lines_rs(lines, col_types)
    return str(excinfo.value)


def check_tokens(line):
    """The string columns give the model's tokens, and one code more runs out."""
    expected = model.tokens(line)
    codes = b"s" * len(expected)
    assert read_atom_lines_rs([line], codes)["strs"] == [[t] for t in expected], repr(line)
    assert read_error([line], codes + b"x") == f"row 0: expected {len(codes) + 1} tokens, ran out"


# ---- token splitting ---------------------------------------------------------------

@pytest.mark.parametrize("byte", SEPARATORS + NON_SEPARATORS)
def test_one_odd_byte_at_each_position(byte):
    for length in range(1, 131):
        for i in range(length):
            line = "".join(byte if j == i else "abcdefghij"[j % 10] for j in range(length))
            check_tokens(line)


@pytest.mark.parametrize("length", EDGE_LENGTHS)
@pytest.mark.parametrize("separator", SEPARATORS)
def test_separator_runs_and_tokens_around_block_edges(length, separator):
    # all-separator lines, a token filling the line, a token ending exactly
    # at the line end after a separator run, and the reverse
    for line in [separator * length, "x" * length]:
        check_tokens(line)
    for split in range(1, length):
        check_tokens(separator * split + "y" * (length - split))
        check_tokens("y" * split + separator * (length - split))
        check_tokens("y" * split + separator + "z" * (length - split - 1))


@pytest.mark.parametrize("seed", range(4))
def test_random_lines_against_model(seed):
    rng = random.Random(seed)
    runs = [1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65]
    for _ in range(1500):
        pieces = [rng.choice(SEPARATORS) * rng.choice([0, 0] + runs)]
        for _ in range(rng.randrange(0, 8)):
            token = "".join(rng.choice(["a", "7", ".", "-"] + NON_SEPARATORS) for _ in range(rng.choice(runs)))
            pieces.append(token)
            pieces.append("".join(rng.choice(SEPARATORS) for _ in range(rng.choice(runs))))
        if rng.random() < 0.5:
            pieces.pop()  # the last token ends the line
        check_tokens("".join(pieces))


def test_codes_ask_for_fewer_tokens_than_a_long_line_holds():
    # The second window holds junk that no code asks for.
    line = " ".join(["1.5"] * 20) + " " + "\x0b" * 70 + " junk"
    assert read_atom_lines_rs([line], b"ff")["floats"].tolist() == [[1.5, 1.5]]


# ---- digit runs and the short fixed-point path ----------------------------------------

def float_bits_read(tokens):
    floats = read_atom_lines_rs([" ".join(tokens)], b"f" * len(tokens))["floats"][0].tolist()
    return [model.float_bits(v) for v in floats]


# What a float token may follow on its line: nothing, or enough bytes that the
# eight or sixteen bytes ending with it lie in the line (then it is read in
# one word or one register), among them digits and points that must not
# leak into its value. SUFFIXES likewise let a short token be read in the
# word that starts with it.
PREFIXES = ["", " " * 16, "9.9.9.9.9.9.9.9.9 ", "-" + "9" * 20 + "\t", "Si" + " " * 6]
SUFFIXES = ["", " 9.9.9.9", "\n" + "7" * 20]


def float_outcome(token, prefix="", suffix=""):
    """('ok', bits) or ('error', message) from the module for one token."""
    line = prefix + token + suffix
    codes = b"x" * len(model.tokens(prefix)) + b"f"
    try:
        return "ok", model.float_bits(read_atom_lines_rs([line], codes)["floats"][0, 0])
    except ValueError as exc:
        return "error", str(exc)


def model_outcome(token):
    try:
        return "ok", model.float_bits(model.parse_float(token))
    except model.TokenError as exc:
        return "error", f"row 0: cannot parse {model.quote(token)} as float: {exc.args[0]}"


@pytest.mark.parametrize("sign", ["", "-", "+"])
def test_integer_and_fraction_digit_counts(sign):
    rng = random.Random(sign)
    tokens = []
    for integer_digits in range(21):
        for fraction_digits in range(21):
            for point in (["."] if integer_digits == 0 or fraction_digits else [".", ""]):
                if integer_digits + fraction_digits == 0:
                    continue
                for _ in range(3):
                    integer = "".join(rng.choice("0123456789") for _ in range(integer_digits))
                    fraction = "".join(rng.choice("0123456789") for _ in range(fraction_digits))
                    tokens.append(sign + integer + point + fraction)
    assert float_bits_read(tokens) == [model.float_bits(float(t)) for t in tokens]


@pytest.mark.parametrize(
    "token",
    [
        # the largest digit integer 2^53 the exact division takes, and one above it
        "9007199.254740992", "9007199.254740993", "-90071992.54740993", "0.9007199254740993",
        "9007199254740.993", "9007199254740993.", ".9007199254740993",
        # 19 digits (the most the short path reads) and 20
        "1234567.890123456789", "1234567.8901234567891", "0.000000000000000001", "0000000.000000000001",
        # leading and trailing zeros, zeros of either sign
        "0000000.00000001", "1.0000000000000000", "-0.00000000", "+0.00000000", "-0000000.0",
        # halfway between two doubles (2^53 + 1 scaled), and 16-digit fractions
        "1.2345678901234567", "-9.9999999999999999",
        # integer parts of 7 and 8 digits (8 leaves the word without its point)
        "1234567.12345678", "12345678.12345678", "-99999999.99999999",
        # 20 digits whose integer is 2^64 + 1: read as a whole it would wrap to 1
        "1844674.4073709551617", "184467440737.09551617", "18446744073709551617",
        # an eight-digit group that completes 19 digits, and one that would make 20
        "99999999999.99999999", "999999999999.99999999", "12345678901.2345678e-3",
    ],
)
def test_values_at_the_short_path_limits(token):
    assert float_bits_read([token]) == [model.float_bits(float(token))]


# Bytes that end or break a digit run: the neighbours of '0' and '9', the
# other grammar symbols, a separator-like control byte, NUL, a non-ASCII
# letter (two bytes, both >= 0x80) and a no-break space.
BREAKERS = ["/", ":", ".", "e", "E", "+", "-", "x", "\x0b", "\x00", "\u00e9", "\u00a0", "\x7f"]


@pytest.mark.parametrize("prefix", PREFIXES)
@pytest.mark.parametrize("breaker", BREAKERS)
def test_one_odd_byte_in_each_position_of_fixed_point_tokens(breaker, prefix):
    bases = ["-12.34567890", "0.12345678", "1234567.12345678", "+7654321.00000001", "12345678.12345678",
             "1.2345678", "1.123456789", "1234567.1234567890123456", "7.1234567812345678"]
    for base in bases:
        for i in range(len(base) + 1):
            for token in (base[:i] + breaker + base[i + 1:], base[:i] + breaker + base[i:]):
                assert float_outcome(token, prefix) == model_outcome(token), (prefix, token)


@pytest.mark.parametrize("suffix", SUFFIXES)
@pytest.mark.parametrize("prefix", ["", "1.5 ", "Si" + " " * 6])
@pytest.mark.parametrize("breaker", BREAKERS)
def test_one_odd_byte_in_each_position_of_short_tokens(breaker, prefix, suffix):
    # numbers of one to eight bytes after the sign, read in one word when
    # the line has room before or after them
    bases = ["1", "-7", "1.5", "-0.123", "+.25", "5.", "12345678", "1234.567", "-1.234567", "0.000001"]
    for base in bases:
        for i in range(len(base) + 1):
            for token in (base[:i] + breaker + base[i + 1:], base[:i] + breaker + base[i:]):
                assert float_outcome(token, prefix, suffix) == model_outcome(token), (prefix, token, suffix)


@pytest.mark.parametrize("sign", ["", "-", "+"])
def test_every_digit_and_point_layout_of_short_numbers(sign):
    rng = random.Random(7 + len(sign))
    tokens = []
    for size in range(1, 9):
        for point in [None] + list(range(size)):
            digits = "".join(rng.choice("0123456789") for _ in range(size))
            number = digits if point is None else digits[:point] + "." + digits[point + 1:]
            if number != ".":
                tokens.append(sign + number)
    # one line holding all (read in words that end with them), then each alone
    line = " ".join(tokens)
    assert float_bits_read(tokens) == [model.float_bits(float(t)) for t in tokens], line
    for token in tokens:
        assert float_outcome(token) == model_outcome(token), token


@pytest.mark.parametrize("token", ["1.12345678", "-1.12345678", "9999999.99999999", "-0.00000000",
                                   "1234567.12345678", "0000000.00000001"])
@pytest.mark.parametrize("reach", [8, 9, 15, 16, 17, 31])
def test_fixed_point_tokens_ending_at_each_distance_from_the_line_start(token, reach):
    # reach = bytes from the line start to the token's end, when the token fits
    pad = max(reach - len(token), 0)
    line = " " * pad + token
    assert float_outcome(token, " " * pad) == model_outcome(token), repr(line)


def test_exponents_after_short_fixed_point_tokens():
    # a point within the first eight bytes, then an exponent: not the short path
    tokens = ["12.34567890e1", "1.2345678e-5", "-0.00001234E+12", "1234567.1e22", "1.23456789e400",
              "1.2345678901234567e+01", "-4.9406564584124654e-324"]
    assert float_bits_read(tokens) == [model.float_bits(float(t)) for t in tokens]


@pytest.mark.parametrize("seed", range(3))
def test_random_writer_fields_against_python_float(seed):
    rng = random.Random(1000 + seed)
    values = [rng.uniform(-1e8, 1e8) * 10 ** -rng.randrange(0, 9) for _ in range(6 * 700)]
    tokens = [f"{v:.{rng.randrange(1, 17)}f}" for v in values]
    lines = [" ".join(f"{t:>24}" for t in tokens[i:i + 6]) for i in range(0, len(tokens), 6)]
    floats = read_atom_lines_rs(lines, b"ffffff")["floats"].ravel().tolist()
    assert [model.float_bits(v) for v in floats] == [model.float_bits(float(t)) for t in tokens]


# ---- one-letter booleans ---------------------------------------------------------------

def test_every_single_character_as_a_bool():
    for code in list(range(1, 128)) + [0xa0, 0xe9, 0x130, 0x3a4]:
        ch = chr(code)
        if ch in "".join(SEPARATORS):
            continue
        if ch in "TF":
            assert read_atom_lines_rs([ch], b"b")["bools"].tolist() == [[int(ch == "T")]]
        else:
            assert read_error([ch], b"b") == f"row 0: cannot parse {model.quote(ch)} as bool"
