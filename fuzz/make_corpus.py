"""Writes the seed corpora of the fuzz targets into fuzz/corpus/.
Run from anywhere: python fuzz/make_corpus.py (overwrites the seed files)."""
import pathlib
import struct
from decimal import Decimal, getcontext

HERE = pathlib.Path(__file__).resolve().parent

# ---- reader seeds: first line = column type codes, then one atom line per line ----

# Exact decimal expansions of values halfway between two neighbouring doubles.
getcontext().prec = 1200
EXACT_TIE_ABOVE_ONE = str(Decimal(1) + Decimal(2) ** -53)          # between 1 and 1 + 2^-52
HALF_MIN_SUBNORMAL = f"{Decimal(2) ** -1075:e}"                     # between 0 and 2^-1074

READER_SEEDS = {
    "typical.txt": "sfffib\nH 0.0 1.5 -2.25 7 T\nO 1 2 3 8 F\nSi -0.5e-3 +.5 5. -42 True\n",
    "whitespace_and_skips.txt": "sxf\n\tH  7\f 1.5\r\n  C\t9 -0.0  extra tokens ignored\n",
    "long_digits.txt": "ff\n"
    + "0." + "0" * 300 + "123456789012345678901234567890 "
    + "1" * 400 + "e-400\n"
    + "123456789012345678901234567890123456789e-20 .000000000000000000000000000001e30\n",
    "halfway_tokens.txt": "ffff\n"
    f"9007199254740993 {EXACT_TIE_ABOVE_ONE} {EXACT_TIE_ABOVE_ONE}0000000001 1.7976931348623158e308\n"
    "2.2250738585072011e-308 2.4703282292062327e-324 2.4703282292062328e-324 1e23\n"
    f"{HALF_MIN_SUBNORMAL} 8.988465674311579e307 0.1 -9.999999995\n",
    "special_words_and_exponents.txt": "ffffff\ninf -Infinity NaN -nan +INF +nan\n"
    "1e400 -1e400 1e-400 -0 1e0000000000000000000001 1e99999999999999\n"
    "0.0000001e-999999 5e-324 1.7976931348623157e308 1E+03 -.25E1 007.50\n",
    "unicode.txt": "sxs\nF\u00e9 1 \u00f1\n\u65e5\u672c x \u8a9e\nNe\U0001f600 0 \u00c5\n",
    "unicode_errors.txt": "f\n1\u00a02\n",
    "combining_error.txt": "sf\nH e\u0301\n",
    "nul_bytes.txt": "fi\n1\x002 3\n",
    "nul_string.txt": "s\n\x00\nH\n",
    "int_limits.txt": "iii\n-9223372036854775808 9223372036854775807 007\n",
    "int_too_large.txt": "ii\n1 99999999999999999999x\n",
    "int_too_small.txt": "i\n-9223372036854775809\n",
    "int_invalid.txt": "ii\n9223372036854775807x 1\n",
    "bool_words.txt": "bbbbbbbb\nT True TRUE true F False FALSE false\nt F F F F F F F\n",
    "ran_out.txt": "sfffff\nH 1 2\n",
    "float_refused.txt": "f\n1.0D+00\n",
    "quotes_and_controls.txt": "f\n\"a\\b'\x0b\x7f\n",
    "empty_codes.txt": "\n\n   \nanything at all\n",
    "no_lines.txt": "sfib",
    "invalid_utf8.txt": b"sf\nH \xe6\x97 1\n\xff\xfe 2\n",
}

# ---- fields seeds: records of one parameter byte and eight payload bytes ----------


def bits(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def record(param, payload):
    return bytes([param]) + struct.pack("<Q", payload & (2**64 - 1))


def records(*pairs):
    return b"".join(record(p, v) for p, v in pairs)


def param(arg, negative=False):
    """The parameter byte: a 4-bit argument in bits 3..6, the sign in bit 7."""
    return (arg << 3) | (0x80 if negative else 0)


FIELD_SEEDS = {
    "ties": records((param(0), 1), (param(0), 3), (param(0, True), 2**53 - 1),
                    (param(8), 999999999999999), (param(7), 9999999), (param(0), bits(0.001953125))),
    "huge": records((param(0), bits(1.7976931348623157e308)), (param(0, True), bits(1e20)),
                    (param(15), bits(2.0**64)), (param(1), bits(12345678.123456789)),
                    (param(3), bits(-1234567.5)), (param(0), 2**63 - 1)),
    "subnormal": records((param(0), 1), (param(0, True), 0x000FFFFFFFFFFFFF), (param(2), 0x0010000000000000),
                         (param(10), bits(2.0**-12)), (param(5), bits(4e-9)), (param(5, True), bits(6e-9))),
    "special_values": records((param(0), 0x7FF8000000000000), (param(0), 0xFFF8000000000001),
                        (param(0), 0x7FF0000000000000), (param(0), 0xFFF0000000000000),
                        (param(0), 0x8000000000000000), (param(0), bits(9.999999995))),
}


def block_seed():
    """One atom block of 3 atoms, sym_width 2, codes "sfifbx": the byte layout of
    check_atom_block in fields_fuzzer.cpp, all matrices C-contiguous."""
    out = bytearray([3, 2])                      # natoms, width choice 2 -> width 2

    def matrix(rows, cols, itemsize, elements):
        out.extend([cols * itemsize, itemsize])  # row stride, column stride (bytes)
        out.extend(b"\0" * (rows * cols * itemsize if rows and cols else 0))
        for e in elements:
            out.extend(e)

    out.append(2)                                # symbol columns
    matrix(3, 2, 4, [bytes([1]), bytes([2]), bytes([3]), bytes([0]), bytes([4]), bytes([1])])
    out.extend([0, 2])                           # float rows = natoms, 2 columns
    matrix(3, 2, 8, [record(param(0), bits(v)) for v in (0.0, 1.5, -2.25, 1e-9, 0.001953125, 1e20)])
    out.extend([0, 1])                           # int rows = natoms, 1 column
    matrix(3, 1, 8, [record(0, v) for v in (7, -1, 123456789)])
    out.extend([0, 1])                           # bool rows = natoms, 1 column
    matrix(3, 1, 1, [bytes([1]), bytes([0]), bytes([2])])
    codes = "sfifbx"
    out.append(len(codes))
    out.extend("sfibfxSi".index(c) for c in codes)
    return bytes(out)


FIELD_SEEDS["block"] = block_seed()


# ---- scan seeds: four parameter bytes (offset low, offset high, frame limit, lines), text --


def scan(text, offset=0, limit=255, lines=255):
    data = text.encode("utf-8") if isinstance(text, str) else text
    return bytes([offset & 0xFF, offset >> 8, limit, lines]) + data


SCAN_SEEDS = {
    "frames": scan("2\nLattice=\"5 0 0 0 5 0 0 0 5\" Properties=species:S:1:pos:R:3 pbc=\"T T F\"\n"
                   "H 0 0 0\nO 1 1 1\n1\nenergy=-1.5 name=abc flag e=inf n=-7 x=\"\" y= z=T\nC 2 2 2\n"),
    "crlf_blanks": scan(" 1 \r\n\tkey=value\r\nH 1 2 3\r\n0\r\n\r\n \t\r\n\n", offset=0, limit=1, lines=3),
    "hostile_counts": scan("1\n\nH\n9223372036854775807\nc\nH\n9223372036854775808\n18446744073709551617\n"
                           + "0" * 40 + "1\nc\nH\n" + "9" * 300 + "\n"),
    "cut_short": scan("3\nc\nH\nO\n", limit=4, lines=2),
    "mid_offset": scan("xx\n1\nc\nH\n-1\n+2\n1 2\n", offset=3, limit=3, lines=1),
    "free_text": scan("1\nEnergy = -229.4332821667\nH 0 0 0\n1\ni = 0, time = 0.000, E = -17.1708469051\nH\n"
                      "1\nImage 1/11, Energy = -92.3 (+9.0 kcal/mol)\nH\n1\n# comment with = sign\nH\n"),
    "comment_values": scan('a=1 b=1.5e3 c=.5 d=1d3 e=NaN f=True g=TRUE h="x" PROPERTIES="species:S:1" '
                           'LATTICE=x PBC=TTT i=99999999999999999999 j=a=b k="a b" l=x"y" "q"=1 =2\n'
                           "m=[1, 2] n={1 2} o=\"a\\\"b\" p=\t q\n"),
    "utf8": scan(b"1\nname=\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80\nH\x00 \xed\x9f\xbf\xee\x80\x80\n"
                 b"\xc0\x80 \xed\xa0\x80 \xf4\x90\x80\x80 \xe0\x9f\xbf \xf0\x8f\xbf\xbf \xc3\n"),
    "empty": b"",
}


# ---- Python harness seeds (fuzz/python_fuzzer.py): comment lines and whole files ----

COMMENT_LINES = [
    'Lattice="5.0 0.0 0.0 0.0 5.0 0.0 0.0 0.0 5.0" Properties=species:S:1:pos:R:3 pbc="T T F"',
    "Properties=species:S:1:pos:R:3:forces:R:3:tags:I:1:fixed:L:1 energy=-1.5 config_type=bulk",
    'Lattice="5.0, 0.0, 0.0 0.0, 5.0, 0.0 0.0, 0.0, 5.0" pbc=TTT stress="1 2 3 4 5 6 7 8 9"',
    'pbc="t f T" virial="1 0 0 0 1 0 0 0 1" name="two words" empty="" esc="a\\"b\\\\c\\nd"',
    "Energy = -229.4332821667",
    "i = 0, time = 0.000, E = -17.1708469051",
    "FINAL HEAT OF FORMATION = -248.08",
    "Image 1/11, Energy = -92.3 (+9.0 kcal/mol)",
    "# comment with = sign",
    "energy = -1.0 energy= -1.0",
    "a=1 b=-2 c=+3 d=007 e=1.5d2 f=2D-1 g=.5 h=5. i=inf j=-Infinity k=nan",
    "a=T b=F c=True d=False e=true f=false g=TRUE h=FALSE flag",
    "a={1 2} b={T} c={x y} d={1.5d0 2} e=[1, 2, 3] f=[[1, 2], [3, 4]] g=[] h=[T, false]",
    'm="_JSON [[0.0, 1.0], [2.0, 3.0]]" d="_JSON {\\"x\\": 1}" l="_JSON [1, \\"a\\"]"',
    'lattice=[[1, 0, 0], [0, 2, 0], [0, 0, 3]] PBC=[F, T, F] "quoted key"=1',
    "properties=a:r:2:b:s:1:c:I:1",
    'pbc="1 1 0" Lattice="1 0 0 0 1 0 0 0 1"',
    "a=9223372036854775807 b=-9223372036854775808 c=9223372036854775808 d=1e999 e=4.9e-324",
    "a={1 2",
    "a=[1, [2]",
    'a="unterminated',
    "a=1 =2 a==2 a=b=c",
    "Properties=species:S:1:pos:R Properties=pos:R:0 Properties=pos:R:3:pos:I:1",
    "a=\u00e9 b=1\x0bc=2",
    "",
]

SOURCE_FILES = {
    "plain.xyz": "2\nwater molecule fragment\nH 0.0 0.0 0.0\nO 0.0 0.0 1.0\n",
    "extended.xyz": "2\n" + COMMENT_LINES[1] + "\n"
    "Si 0.0 1.0 2.0 0.1 0.2 0.3 7 T\nC -1.5 2e-3 3.25 0 0 0 -1 F\n"
    "1\n" + COMMENT_LINES[0] + "\nH 1 2 3\n",
    "crlf_blanks.xyz": " 1 \r\nenergy = -1.0\r\nH  1  2  3  extra\r\n0\r\n\r\n\n \n",
    "free_text.xyz": "1\nImage 1/11, Energy = -92.3 (+9.0 kcal/mol)\nH 0 0 0\n"
    "1\ni = 0, time = 0.000, E = -17.1708469051\nO 1 1 1\n",
    "faults.xyz": "1\n\nH 0 0 x\nx\n\n2\nProperties=pos:R:0\nH 1 1 1\n",
    "unicode.xyz": "1\nname=caf\u00e9 Properties=species:S:1:pos:R:3:label:S:1\nFe 1 2 3 \u65e5\u672c\n",
    "cut_short.xyz": "3\nc\nH 0 0 0\n",
    "huge_count.xyz": "99999999999999999999\nc\nH 0 0 0\n" + "9" * 5000 + "\n",
}


def main():
    for name, seeds in (("reader", READER_SEEDS), ("fields", FIELD_SEEDS), ("scan", SCAN_SEEDS)):
        folder = HERE / "corpus" / name
        folder.mkdir(parents=True, exist_ok=True)
        for file, content in seeds.items():
            data = content.encode("utf-8") if isinstance(content, str) else content
            (folder / file).write_bytes(data)
    comment = HERE / "corpus" / "python_comment"
    comment.mkdir(parents=True, exist_ok=True)
    for k, line in enumerate(COMMENT_LINES):
        (comment / f"line{k:02d}").write_bytes(line.encode("utf-8"))
    source = HERE / "corpus" / "python_source"
    source.mkdir(parents=True, exist_ok=True)
    for file, text in SOURCE_FILES.items():
        (source / file).write_bytes(text.encode("utf-8"))


if __name__ == "__main__":
    main()
