"""atomblock comment lines: what each line reads as, how values are written, and which lines are refused."""
import io
import struct

import numpy as np
import pytest

import atomblock

from conftest import run_python


def parsed(line):
    return atomblock.read(io.BytesIO(f"0\n{line}\n".encode()), 0)


def same(a, b):
    """Equal values of the same type; arrays of the same dtype kind, shape and items; lists and dicts item by item."""
    if isinstance(b, np.ndarray):
        return (isinstance(a, np.ndarray) and a.dtype.kind == b.dtype.kind and a.shape == b.shape
                and np.array_equal(a, b, equal_nan=a.dtype.kind == "f"))
    if isinstance(b, float) and b != b:
        return isinstance(a, float) and a != a
    if isinstance(b, (list, dict)):
        keys = range(len(b)) if isinstance(b, list) else list(b)
        return (type(a) is type(b) and len(a) == len(b) and (isinstance(b, list) or list(a) == keys)
                and all(same(a[k], b[k]) for k in keys))
    return type(a) is type(b) and a == b


A = np.array
C = lambda line: {"comment": line}  # a line kept whole as free text
M33 = A([[1, 4, 7], [2, 5, 8], [3, 6, 9]])  # "1 2 3 4 5 6 7 8 9" column by column

READ_TABLE = [
    # bare words: int, float (e/E/d/D exponents, inf, nan), bool, str
    ("a=1 b=-2 c=+3 d=007", {"a": 1, "b": -2, "c": 3, "d": 7}),
    ("a=1.5 b=-2e3 c=1E-2 d=1.5d2 e=2D-1 f=.5 g=5.", {"a": 1.5, "b": -2000.0, "c": 0.01, "d": 150.0, "e": 0.2,
                                                     "f": 0.5, "g": 5.0}),
    ("a=inf b=-Infinity c=nan", {"a": float("inf"), "b": float("-inf"), "c": float("nan")}),
    ("a=T b=F c=True d=False e=true f=false g=TRUE h=FALSE",
     {"a": True, "b": False, "c": True, "d": False, "e": True, "f": False, "g": True, "h": False}),
    ("a=H2O b=1.2.3 c=0x10 d=t e=1e", {"a": "H2O", "b": "1.2.3", "c": "0x10", "d": "t", "e": "1e"}),
    # bare keys mean True; "key=" is the empty string at the end or before another key=; quoted keys
    ("flag x=1 other", {"flag": True, "x": 1, "other": True}),
    ("a= b=2 c=", {"a": "", "b": 2, "c": ""}),
    ('"my key"=1 "k=v"=x', {"my key": 1, "k=v": "x"}),
    # quoted strings: escapes, one item stays a str, 2+ agreeing items make an array
    (r'a="x y" b="q\"t" c="back\\slash" d="line\nbreak" e="C:\data" f="\\\"\n"',
     {"a": "x y", "b": 'q"t', "c": "back\\slash", "d": "line\nbreak", "e": "C:\\data", "f": '\\"\n'}),
    ('a="1" b="T" c="" d="1.5"', {"a": "1", "b": "T", "c": "", "d": "1.5"}),
    ('a="1 2 3" b="1 2.5" c="T F T" d="1 x" e="T 1" f="-0 1.5" g="1 2.5d1"',
     {"a": A([1, 2, 3]), "b": A([1.0, 2.5]), "c": A([True, False, True]), "d": "1 x", "e": "T 1",
      "f": A([0.0, 1.5]), "g": A([1.0, 25.0])}),
    ("a={1 2} b={T} c={x y} d={1.5d0 2}", {"a": A([1, 2]), "b": A([True]), "c": "x y", "d": A([1.5, 2.0])}),
    # new-style arrays
    ("a=[1, 2, 3] b=[[1, 2], [3, 4]] c=[1.5] d=[T, false] e=[]",
     {"a": A([1, 2, 3]), "b": A([[1, 2], [3, 4]]), "c": A([1.5]), "d": A([True, False]), "e": A([], float)}),
    ('a=["x", "y z"] b=[1, 2.5] c=[[1], [2, 3]] d=[1, "x"]',
     {"a": A(["x", "y z"]), "b": A([1.0, 2.5]), "c": "[[1], [2, 3]]", "d": '[1, "x"]'}),
    # int64 overflow in a list falls back to float; tabs separate pairs
    ("a=\"99999999999999999999 1 -0\"\tb=2", {"a": A([1e20, 1.0, 0.0]), "b": 2}),
    # nine numbers in a list under stress/virial (only): the 3x3 stored column by column
    ('stress="1 2 3 4 5 6 7 8 9" virial=[1, 2, 3, 4, 5, 6, 7, 8, 9.5]',
     {"stress": M33, "virial": A([[1, 4, 7], [2, 5, 8], [3, 6, 9.5]])}),
    ('stress="1 2 3" Stress="1 2 3 4 5 6 7 8 9" virial="T T T F F F T T T" stress2={1 2 3 4 5 6 7 8 9}',
     {"stress": A([1, 2, 3]), "Stress": A(range(1, 10)), "virial": A([True] * 3 + [False] * 3 + [True] * 3),
      "stress2": A(range(1, 10))}),
    # _JSON values: rectangular lists of numbers or bools as arrays, anything else as the Python value
    (r'm="_JSON [[0.0, 1.0], [2.0, 3.0]]" d="_JSON {\"x\": 1}" s="_JSON \"1 2\"" n="_JSON null"',
     {"m": A([[0.0, 1.0], [2.0, 3.0]]), "d": {"x": 1}, "s": "1 2", "n": None}),
    (r'l="_JSON [1, \"a\", null]" b="_JSON [[true], [false]]" e="_JSON []" big="_JSON [1, 99999999999999999999]"'
     r' r="_JSON [[1], [2, 3]]" bad="_JSON [1," stress="_JSON [1, 2, 3, 4, 5, 6, 7, 8, 9]"',
     {"l": [1, "a", None], "b": A([[True], [False]]), "e": A([], float), "big": [1, 99999999999999999999],
      "r": [[1], [2, 3]], "bad": "_JSON [1,", "stress": A(range(1, 10))}),
    # nested deeper than NumPy's arrays: the lists; deeper than the JSON decoder: the text
    ('a="_JSON ' + "[" * 33 + "1" + "]" * 33 + '" b="_JSON ' + "[" * 100000 + "]" * 100000 + '"',
     {"a": [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]],
      "b": "_JSON " + "[" * 100000 + "]" * 100000}),
    # a pbc that is not three booleans stays an info value
    ('pbc="T T"', {"pbc": A([True, True])}),
    ("pbc=[1, 2, 0] x=1", {"pbc": A([1, 2, 0]), "x": 1}),
    ("PBC x=1", {"PBC": True, "x": 1}),
    # lines that are not strict pairs: loose pairs (blanks around "=", a comma after a value) ...
    ("Energy = -229.4332821667", {"Energy": -229.4332821667}),
    (" i =        0, time =        0.000, E =       -17.1708469051", {"i": 0, "time": 0.0, "E": -17.1708469051}),
    ("key = value", {"key": "value"}),
    ("key= value", {"key": "value"}),
    ('a = "x y" , b ={1 2}, c= 1,2 , d=,', {"a": "x y", "b": A([1, 2]), "c": "1,2", "d": ","}),
    ("a=1, b=2", {"a": "1,", "b": 2}),  # strict pairs keep their meaning: "1," is a str
    # ... else free text, kept whole
    ("FINAL HEAT OF FORMATION =     -248.087857", C("FINAL HEAT OF FORMATION =     -248.087857")),
    ("Image 1/11, Energy =   -92.3396907342 (+9.017 kcal/mol)",
     C("Image 1/11, Energy =   -92.3396907342 (+9.017 kcal/mol)")),
    ("# comment with = sign", C("# comment with = sign")),
    ("x = 1 flag", C("x = 1 flag")),
    ('a="open', C('a="open')),
    ('a=1 "b=2', C('a=1 "b=2')),
    ("a={1 2", C("a={1 2")),
    ("a=[1, [2]", C("a=[1, [2]")),
    ("a=[[[1]]]", C("a=[[[1]]]")),
    ("a=1 =2", C("a=1 =2")),
    ("a==2", C("a==2")),
    ("the lattice = fcc", C("the lattice = fcc")),
    # free text: no "=" at all
    ("just a title", C("just a title")),
    ('  spaced "quote ', C('  spaced "quote ')),
    ("", {}),
]


@pytest.mark.parametrize("line, info", READ_TABLE)
def test_comment_values(line, info):
    frame = parsed(line)
    assert list(frame.info) == list(info)
    for key, value in info.items():
        assert same(frame.info[key], value), (key, frame.info[key], value)


@pytest.mark.parametrize("line, cell, pbc, names", [
    ('Lattice="1 0 0 0 2 0 0 0 3"', np.diag([1.0, 2, 3]), [True] * 3, ["species", "pos"]),
    ("lattice=[[1, 0, 0], [0, 2, 0], [0, 0, 3]] PBC=[F, T, F]", np.diag([1.0, 2, 3]), [False, True, False],
     ["species", "pos"]),
    ('LATTICE={1 0 0 0 2 0 0 0 3} pbc="T F T"', np.diag([1.0, 2, 3]), [True, False, True], ["species", "pos"]),
    ('Lattice="1.98, -0.37, 5.65 -2.12, 1, 2, 3 4 5" pbc=TTT', A([[1.98, -0.37, 5.65], [-2.12, 1, 2], [3, 4, 5]]),
     [True] * 3, ["species", "pos"]),
    ("Lattice=1,0,0,0,2,0,0,0,3 pbc=fTf", np.diag([1.0, 2, 3]), [False, True, False], ["species", "pos"]),
    ('Lattice = "1 0 0 0 2 0 0 0 3", pbc = "true, FALSE, 1"', np.diag([1.0, 2, 3]), [True, False, True],
     ["species", "pos"]),
    ('pbc="1 0 1"', None, [True, False, True], ["species", "pos"]),
    ('pbc="t f T"', None, [True, False, True], ["species", "pos"]),
    ("properties=a:r:2:b:s:1:c:I:1", None, [False] * 3, ["a", "b", "c"]),
    ('Properties="x:L:1" e=1', None, [False] * 3, ["x"]),
    ('Properties="x:L:1" e = 1', None, [False] * 3, ["x"]),
])
def test_special_keys(line, cell, pbc, names):
    frame = parsed(line)
    assert (frame.cell is None) if cell is None else np.array_equal(frame.cell, cell)
    assert frame.pbc.tolist() == pbc
    assert list(frame.arrays) == names
    assert not {"Lattice", "lattice", "pbc", "PBC", "Properties", "properties"} & set(frame.info)


LONG = "x" * 200
LONG_PROPS = "species:S:1:" + ":".join(f"c{i}:R:1" for i in range(20)) + ":pos:R"


@pytest.mark.parametrize("line, what", [
    # a line that is no pairs but holds Properties= or Lattice=: the atoms depend on it
    ('a=1 Properties="species:S:1', "malformed comment line: unbalanced quote at column 16"),
    ("x = 1 flag lattice={1", 'malformed comment line: "=" with no key at column 3'),  # the first fault
    ("Properties=species:S:1:pos:R:3 x = 1 flag", 'malformed comment line: "=" with no key at column 34'),
    ('Lattice="1 2 3"', 'bad Lattice="1 2 3": expected 9 numbers (3 cell vectors)'),
    ('Lattice = "1 2 3", e = 1', 'bad Lattice="1 2 3": expected 9 numbers (3 cell vectors)'),
    ('Lattice="a b c d e f g h i"', 'bad Lattice="a b c d e f g h i": expected 9 numbers'),
    (f'Lattice="{LONG}"', f'bad Lattice="{LONG[:39]}...: expected 9 numbers'),
    ("a=1 Lattice", "Lattice without a value"),
    ("Properties=species:S:1:pos:R", "bad Properties=species:S:1:pos:R: expected name:type:count triples"
                                     " (5 fields is not a multiple of 3)"),
    (f"Properties={LONG_PROPS}", f"bad Properties={LONG_PROPS[:40]}...: expected name:type:count triples"),
    ("Properties=species:X:1", "bad Properties=species:X:1: type 'X' of column 'species' is not S, R, I or L"),
    ("Properties=pos:R:0", "bad Properties=pos:R:0: count '0' of column 'pos' is not a positive integer"),
    ("Properties=pos:R:-3", "bad Properties=pos:R:-3: count '-3' of column 'pos' is not a positive integer"),
    ("Properties=pos:R:3:pos:I:1", "bad Properties=pos:R:3:pos:I:1: column name 'pos' used twice"),
    ("Properties=pos:R:1" + "0" * 60, "bad Properties=pos:R:1" + "0" * 33 + "...: count '1" + "0" * 39
     + "...' of column 'pos' cannot fit in the atom lines"),
])
def test_malformed_comment_line_is_refused_at_its_line(line, what):
    text = f"1\nenergy=1\nH 0 0 0\n0\n{line}\n"
    with pytest.raises(atomblock.ExtxyzError) as excinfo:
        atomblock.read(io.BytesIO(text.encode()), ":")
    assert str(excinfo.value).startswith(f"<stream>:5: frame 1: {what}")
    assert (excinfo.value.line, excinfo.value.frame) == (5, 1)


@pytest.mark.parametrize("text, max_columns, what", [
    ("species:S:1:pos:R:100000000", 1 << 20, "bad Properties=species:S:1:pos:R:100000000: its 100000001 columns"
                                             " cannot fit in the atom lines, which hold at most 1048576"),
    ("species:S:1:pos:R:100000000000000", None, "bad Properties=species:S:1:pos:R:100000000000000: its"
                                                " 100000000000001 columns cannot fit in the atom lines, which hold"
                                                " at most 2147483647"),
    ("pos:R:" + "9" * 5000, 10, "bad Properties=pos:R:" + "9" * 34 + "...: count '" + "9" * 40 + "...' of column"
                                " 'pos' cannot fit in the atom lines, which hold at most 10"),
    ("species:S:1:pos:R:3", 3, "bad Properties=species:S:1:pos:R:3: its 4 columns cannot fit"),
    ("species:S:1:pos:R:3", 4, None),
])
def test_properties_column_count_checked_before_expansion(text, max_columns, what):
    from atomblock import _errors, _properties
    _properties.text_layouts.clear()
    if what is None:
        assert _properties.layout_of_text(text, max_columns=max_columns).col_types == b"sfff"
        return
    with pytest.raises(_errors.CommentError) as excinfo:
        _properties.layout_of_text(text, max_columns=max_columns)
    assert str(excinfo.value).startswith(what)


def test_layout_columns_are_found_without_expansion():
    from atomblock import _properties
    layout = _properties.layout_of_text("a:S:2:b:R:1:c:I:3:d:L:1")
    expanded = [("a", "S")] * 2 + [("b", "R")] + [("c", "I")] * 3 + [("d", "L")]
    assert len(layout.columns) == 7 and list(layout.columns) == expanded
    assert [layout.columns[i] for i in range(-7, 7)] == expanded * 2 and layout.columns[2:5] == expanded[2:5]
    with pytest.raises(IndexError):
        layout.columns[7]
    huge = _properties.layout_of_text("species:S:1:pos:R:1000000")  # a million columns, one tuple per property
    assert len(huge.columns) == 1000001 and huge.columns[999999] == ("pos", "R")


HOSTILE = r"""
import resource, time
from atomblock._comment import comment_parts
from atomblock._properties import layout_of_text
n = 2 * 2**20
lines = {
    "new-style": 'a=[' + ', '.join(['1.25'] * (n // 6)) + ']',
    "rows": 'a=[' + ', '.join(['[1, 2.5]'] * (n // 10)) + ']',
    "old-style": 'a="' + ' '.join(['-1.5e-3'] * (n // 8)) + '"',
    "quote": 'a="' + 'x\\" ' * (n // 4),
    "quote-in-list": 'x=[' + '"x\\" ' * (n // 5),
    "escapes": 'a="' + 'x\\" ' * (n // 4) + '" b=1',
    "digits": 'a=1' + '0' * (n // 8) + 'x',
    "digits-in-list": 'a="1 1' + '0' * (n // 8) + 'x"',
}
for name, line in lines.items():
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    info = comment_parts(line)[0]
    grew = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024
    value = next(iter(info.values()))
    print(name, type(value).__name__, getattr(value, "shape", len(value)), grew < 100)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
layout = layout_of_text(":".join(f"c{i}:R:1" for i in range(100000)))
print("properties", len(layout.columns), (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024 < 100)
"""


def test_hostile_lines_read_in_linear_time_and_memory():
    # Before: quadratic rescans (hours for these quotes) or a Python object per list item (~460 MB here).
    done = run_python(HOSTILE, timeout=60)
    assert done.returncode == 0, done.stderr
    n = 2 * 2**20
    assert done.stdout.split("\n") == [
        f"new-style ndarray ({n // 6},) True", f"rows ndarray ({n // 10}, 2) True",
        f"old-style ndarray ({n // 8},) True", f"quote str {n // 4 * 4 + 3} True",
        f"quote-in-list str {n // 5 * 5 + 3} True", f"escapes str {n // 4 * 3} True",
        f"digits str {n // 8 + 2} True", f"digits-in-list str {n // 8 + 4} True", "properties 100000 True", ""]


# --- writing: values -> text -> values ---------------------------------------------------------

DEFAULT = "Properties=species:S:1:pos:R:3"
CELL = 'Lattice="1.0 0.0 0.0 0.0 1.0 0.0 0.0 0.0 1.0"'
WIDE = np.finfo(np.longdouble).nmant > 52  # long double wider than float64 on this platform


@pytest.mark.parametrize("info, written, back", [
    ({"i": 3, "n": -7, "big": 2**70}, "i=3 n=-7 big=1180591620717411303424", None),
    ({"f": 0.1, "g": 1e-300, "h": -2.0, "j": float("inf"), "k": 1 / 3},
     "f=0.1 g=1e-300 h=-2.0 j=inf k=0.3333333333333333", None),
    ({"t": True, "u": np.bool_(False), "v": np.int32(4), "w": np.float32(0.5), "x": np.longdouble(0.25)},
     "t=T u=F v=4 w=0.5 x=0.25", {"t": True, "u": False, "v": 4, "w": 0.5, "x": 0.25}),
    ({"s": "plain", "b": "two words", "n": "12", "x": "1e5", "t": "T", "q": 'say "hi"', "bs": "a\\b",
      "nl": "a\nb", "eq": "a=b", "br": "[x", "cb": "{y"},
     r's=plain b="two words" n="12" x="1e5" t="T" q="say \"hi\"" bs="a\\b" nl="a\nb" eq="a=b" br="[x" cb="{y"', None),
    # strs that a plain quoted form would give back as arrays or decode: _JSON strs
    ({"s": "1 2", "t": "T F", "j": "_JSON 1", "z": "-0 1e5"},
     r's="_JSON \"1 2\"" t="_JSON \"T F\"" j="_JSON \"_JSON 1\"" z="_JSON \"-0 1e5\""', None),
    ({"a": A([1, 2, 3]), "f": A([0.5, 2.0]), "b": A([True, False]), "one": A([4]), "none": A([], float),
      "s": A(["x", "y z"])}, 'a="1 2 3" f="0.5 2.0" b="T F" one=[4] none=[] s=["x", "y z"]', None),
    ({"u": A([1, 2], np.uint8), "f4": A([0.5, 1.5], np.float32), "ld": A([0.5], np.longdouble)},
     'u="1 2" f4="0.5 1.5" ld=[0.5]', {"u": A([1, 2]), "f4": A([0.5, 1.5]), "ld": A([0.5])}),
    # 2-D: stress/virial 3x3 as nine numbers column by column; other 2-D (and 3x3 elsewhere) as _JSON
    ({"stress": A([[1.0, 2, 3], [4, 5, 6], [7, 8, 9]]), "virial": M33},
     'stress="1.0 4.0 7.0 2.0 5.0 8.0 3.0 6.0 9.0" virial="1 2 3 4 5 6 7 8 9"', None),
    ({"m": M33, "r": A([[0.5, -1.0]]), "b": A([[True], [False]]), "t": A(np.arange(8).reshape(2, 2, 2))},
     'm="_JSON [[1, 4, 7], [2, 5, 8], [3, 6, 9]]" r="_JSON [[0.5, -1.0]]" b="_JSON [[true], [false]]"'
     ' t="_JSON [[[0, 1], [2, 3]], [[4, 5], [6, 7]]]"', None),
    ({"stress": A(range(9)), "virial": A([[True] * 3] * 3)},
     'stress="_JSON [0, 1, 2, 3, 4, 5, 6, 7, 8]" virial="_JSON [[true, true, true], [true, true, true],'
     ' [true, true, true]]"', None),
    ({"s": A([["a", "b"], ["c", 'd"']])}, r's=[["a", "b"], ["c", "d\""]]', None),
    # lists, dicts and None: arrays when rectangular numbers or bools, else _JSON of the value
    ({"l": [1, "a"], "m": [True, 1], "d": {"x": 1, "y": [1.5, None]}, "n": None, "e": [], "p": (1, 2)},
     r'l="_JSON [1, \"a\"]" m="_JSON [true, 1]" d="_JSON {\"x\": 1, \"y\": [1.5, null]}" n="_JSON null" e=[]'
     ' p="1 2"', {"l": [1, "a"], "m": [True, 1], "d": {"x": 1, "y": [1.5, None]}, "n": None, "e": A([], float),
                  "p": A([1, 2])}),
    ({"my key": 1, "comment": "free text", "a\\b": 2}, r'"my key"=1 comment="free text" "a\\b"=2', None),
])
def test_written_values_and_read_back(info, written, back):
    out = io.BytesIO()
    atomblock.write(out, atomblock.Frame(info=info))
    assert out.getvalue().decode() == f"0\n{DEFAULT} {written}\n"
    got = atomblock.read(io.BytesIO(out.getvalue()), 0).info
    for key, value in (back or info).items():
        assert same(got[key], value), (key, got[key])


@pytest.mark.parametrize("info, cell, pbc, line", [
    ({"e": 1}, np.eye(3), None, f'{CELL} {DEFAULT} e=1 pbc="T T T"'),
    ({"e": 1}, None, [False, True, False], f'{DEFAULT} e=1 pbc="F T F"'),
    ({"e": 1}, None, None, f"{DEFAULT} e=1"),
    ({}, None, None, DEFAULT),  # a frame without arrays: the plain XYZ columns, which every reader takes
    # after key="" some readers misread what follows: pbc goes before such a pair
    ({"a": 1, "e": "", "b": 2}, np.eye(3), [True, False, True], f'{CELL} {DEFAULT} pbc="T F T" a=1 e="" b=2'),
    ({"e": ""}, None, None, f'{DEFAULT} e=""'),
])
def test_header_bytes(info, cell, pbc, line):
    out = io.BytesIO()
    atomblock.write(out, atomblock.Frame(info=info, cell=cell, pbc=pbc))
    assert out.getvalue() == f"0\n{line}\n".encode()
    again = io.BytesIO()
    atomblock.write(again, atomblock.read(io.BytesIO(out.getvalue())))
    assert again.getvalue() == out.getvalue()


LONGDOUBLE_THIRD = pytest.param({"info": {"x": np.longdouble(1) / 3}}, ValueError, "info['x']: longdouble",
                                marks=pytest.mark.skipif(not WIDE, reason="long double is float64 here"))


@pytest.mark.parametrize("frame, error, what", [
    ({"info": {5: 1}}, TypeError, "info keys must be str, got int: 5"),
    ({"info": {"a=b": 1}}, ValueError, "info key 'a=b' cannot be read back"),
    ({"info": {"[x": 1}}, ValueError, "info key '[x' cannot be read back"),
    ({"info": {"{x": 1}}, ValueError, "info key '{x' cannot be read back"),
    ({"info": {"Lattice": 1}}, ValueError, "info key 'Lattice' is reserved"),
    ({"info": {"PBC": "T"}}, ValueError, "info key 'PBC' is reserved"),
    ({"info": {"x": object()}}, TypeError, "info['x']: no extended XYZ text for a value of type object"),
    ({"info": {"x": np.array([1j])}}, TypeError, "info['x']: no extended XYZ text for an array of dtype complex128"),
    ({"info": {"x": np.array([1, None], dtype=object)}}, TypeError, "info['x']: no extended XYZ text for an array"),
    ({"info": {"x": np.zeros(0, int)}}, ValueError, "info['x']: an empty int64 array"),
    ({"info": {"x": np.zeros(0, bool)}}, ValueError, "info['x']: an empty bool array"),
    ({"info": {"x": np.array([], str)}}, ValueError, "info['x']: an empty <U1 array"),
    ({"info": {"x": np.zeros((0, 3))}}, ValueError, "info['x']: an empty float64 array of shape (0, 3)"),
    ({"info": {"x": np.array([2**63], np.uint64)}}, ValueError, "info['x']: values above the int64 range"),
    ({"info": {"x": {1: 2}}}, TypeError, "info['x']: dict keys must be str to read back, got int: 1"),
    ({"info": {"x": np.array([["a"]] * 2).reshape(1, 2, 1)}}, TypeError, "info['x']: no extended XYZ text for a str"),
    LONGDOUBLE_THIRD,
    ({"arrays": {"a=b": [1.0]}}, ValueError, "arrays['a=b']: a property name must be"),
    ({"arrays": {"[x": [1.0]}}, ValueError, "arrays['[x']: a property name must be"),
    ({"arrays": {"{x": [1.0]}}, ValueError, "arrays['{x']: a property name must be"),
])
def test_unwritable_frames_are_refused_before_anything_is_written(frame, error, what):
    out, good = io.BytesIO(), io.BytesIO()
    with pytest.raises(error) as excinfo:
        atomblock.write(out, [atomblock.Frame(info={"ok": 1}), atomblock.Frame(**frame)])
    assert str(excinfo.value).startswith(what)
    atomblock.write(good, atomblock.Frame(info={"ok": 1}))
    assert out.getvalue() == good.getvalue()  # the frame before it, and no byte of the refused one


# --- the native scanner of common lines against the Python parser ----------

def _outcome(line, fast, monkeypatch, pattern=True):
    """What parse_comment gives with the native scanner on or off, and the pair pattern or the
    hand-written scanner taking the strict pairs: values, or the error message."""
    from atomblock import _comment, _errors, _native
    monkeypatch.setattr(_comment, "_fast_scan", _native.parse_comment_fast if fast else None)
    monkeypatch.setattr(_comment, "_REGEX_LIMIT", 4096 if pattern else -1)
    try:
        c = _comment.parse_comment(line)
    except _errors.CommentError as e:
        return ("error", str(e))
    return (_exact(c.info), _exact(c.cell), _exact(c.pbc), c.properties)


def _exact(value):
    """A comparable form that tells types, float bits (signed zeros, NaN signs) and key order apart."""
    if isinstance(value, dict):
        return [(k, _exact(v)) for k, v in value.items()]
    if isinstance(value, np.ndarray):
        return (value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    if isinstance(value, list):
        return [_exact(v) for v in value]
    return (type(value).__name__, value)


def _random_line(rng):
    keys = ["a", "b", "energy", "step", "x1", "_k", "k-2", "+k", "1", "lattice", "LATTICE", "Lattice", "pbc",
            "PBC", "Pbc", "Properties", "properties", "pRoPeRtIeS", "latticex", "pb",
            "stress", "virial"]
    words = ["T", "F", "True", "False", "true", "false", "TRUE", "FALSE", "t", "tRUE", "H2O", "a-b", "", "+", ".",
             "-", "1e", "1e+", ".e5", "0x10", "inf", "-Infinity", "+nan", "NaN", "-nan", "INF", "infinit", "1.2.3",
             "9223372036854775807", "-9223372036854775808", "9223372036854775808", "99999999999999999999",
             "-0", "007", "+3", "5.", ".5", "-0.0", "1d5", "2D-1", "1e999", "1e-999", "4.9e-324",
             "0.1000000000000000055511151231257827", "1" * 30 + "e-10",
             '"x"', '"x y"', '""', '"1 2"', '"T F T"', '"1"', '"a=b"', "{1 2}", "[1, 2]", r'"a\"b"', '"open',
             "=", "é", "a\x0bb", '"1 0 0 0 1 0 0 0 1"', '"T T T"', '"T F"', "species:S:1:pos:R:3", '"pos:R:3"',
             "TTT", "ftf", '"T,F,T"', "1,0,0,0,1,0,0,0,1", '"1 2 3 4 5 6 7 8 9"']
    items = ["0", "-0", "+0", "-00", "7", "-12", "007", "9223372036854775807", "-9223372036854775808",
             "9223372036854775808", "-99999999999999999999", "1.5", "-0.0", "1.", ".5", "1e5", "2E-3", "1e999",
             "-1e-999", "4.9e-324", "inf", "-Infinity", "nan", "-NaN", "1d5", "T", "F", "true", "FALSE", "x",
             "1,2", "_JSON", "{", "}"]

    def number():
        form = rng.integers(4)
        if form == 0:
            return str(int(rng.integers(-10**6, 10**6)))
        if form == 1:
            return repr(float(rng.normal(0, 10.0 ** rng.integers(-30, 30))))
        exp = "eEdD"[rng.integers(4)] if form == 2 else "e"
        return f"{rng.choice(['', '+', '-'])}{rng.integers(100)}.{rng.integers(1000)}{exp}{rng.integers(-400, 400)}"

    pairs = []
    for _ in range(rng.integers(1, 7)):
        key = keys[rng.integers(len(keys))]
        form = rng.integers(5)
        if form == 0:
            pairs.append(key)
        elif form == 1:
            pairs.append(f"{key}={number()}")
        elif form == 2:
            pairs.append(f"{key}={words[rng.integers(len(words))]}")
        else:
            # a quoted or braced list: mostly items of one kind, sometimes one of another
            kind = rng.integers(3)
            pool = items[:10] if kind == 0 else items[:25] if kind == 1 else items[25:29]
            body = [number() if kind < 2 and rng.random() < 0.5 else pool[rng.integers(len(pool))]
                    for _ in range(rng.choice([0, 1, 2, 3, 8, 9, 9]))]
            if rng.random() < 0.1:
                body.insert(rng.integers(len(body) + 1), items[rng.integers(len(items))])
            sep = " " if rng.random() < 0.8 else "\t "
            open_, close = ('"', '"') if rng.random() < 0.7 else ("{", "}")
            pairs.append(f"{key}={open_}{sep.join(body)}{close}")
    seps = [" ", "\t", "  ", ""]
    return "".join(p + seps[rng.integers(len(seps)) if i + 1 < len(pairs) else 0] for i, p in enumerate(pairs))


def test_native_scanner_agrees_with_the_python_parser_on_random_lines(monkeypatch):
    from atomblock import _native
    rng = np.random.default_rng(20261208)
    taken = arrays = 0
    for _ in range(4000):
        line = _random_line(rng)
        found = _native.parse_comment_fast(line)
        if found is not None:
            taken += 1
            arrays += sum(isinstance(v, np.ndarray) for v in [*found[0].values(), found[1]])
        assert _outcome(line, True, monkeypatch) == _outcome(line, False, monkeypatch), line
    assert taken > 1000 and arrays > 300  # the comparison covers lines and lists the scanner really types


@pytest.mark.parametrize("line, taken", [
    ('Lattice="1 0 0 0 1 0 0 0 1" Properties=species:S:1:pos:R:3 energy=-1.5e3 step=12 pbc="T T T"', True),
    ('LATTICE="2 0 0 0 2 0 0 0 2" properties="x:R:1" PBC="F T F" flag s="ab" n=-0 e=', True),
    ("a=1 e=  ", True),
    ("pbc=TTT Lattice=1,0,0,0,1,0,0,0,1", True),  # the special values are typed by the Python functions
    ('pbc="T T" x=1', True),  # taken, then the Python parser keeps the bad pbc as an info value
    ("a=1 e= b=2", False),  # "key= value" may be a loose pair: the Python parser decides
    ("key= value", False),
    # quoted and braced lists typed by the scanner, as the parser types them
    ('stress="1 2 3 4 5 6 7 8 9" virial="1.5 2 3 4 5 6 7 8 9" Stress="1 2 3 4 5 6 7 8 9"', True),
    ('stress="1 2 3 4 5 6 7 8" virial="T T T F F F T T T" stress={1 2 3 4 5 6 7 8 9}', True),
    ('a="1 2" b="1.5 -2" c="T F true FALSE" d="x y" e="5" f="" g=" " h="1 x" i="T 1" j="x 1"', True),
    ('a={5} b={} c={ } d={T} e={x} f={1 2.5} g={-0} h={1e999 -inf NaN -nan}', True),
    ('a="-0 1.5" b="-0 -0" c="-00 1e0" d="-0.0 1" e="007 +3" f="1. .5 -0.0"', True),
    ('a="9223372036854775807 -9223372036854775808" b="9223372036854775808 1" c="99999999999999999999 -0"', True),
    ('a="' + "1" * 400 + 'e-400 2.4703282292062328e-324" b="	1	2 "', True),
    ('Lattice="1 0 0 0 2 0 0 0 3.5" Properties=species:S:1:pos:R:3 stress="1 2 3 4 5 6 7 8 9" pbc="T T T"', True),
    ('Lattice={1 0 0 0 2 0 0 0 3} pbc={T T F}', True),
    ('Lattice="99999999999999999999 0 0 0 -0 0 0 0 1"', True),
    ('Lattice="T T T T T T T T T"', True),  # taken, then the Python parser reports the cell
    ('Lattice="1,0,0,0,1,0,0,0,1" x="1,2 3"', True),
    ('a="1d5 2"', False),  # Fortran exponents in a list: the parser's
    ('a="_JSON [1]"', False),
    ('a="_JSON 1 2"', False),
    ('a={"1 2"}', False),
    ('a={x=1}', False),
    ('a={1 2}x', False),
    ('a={1 2', False),
    ('a="{1 2}"', False),
    ('a=x{', False),
    ('Properties={species:S:1}', False),
    ('a="' + " ".join(["1.5"] * 600) + '"', False),  # long lists: the parser's own path
    ("a=9223372036854775807 b=-9223372036854775808 c=+inf d=-NaN e=1e999 f=-0.0 g=4.9e-324", True),
    ("a=1e0000000000000000000005 b=-1e-99999999999999999999 c=2.4703282292062328e-324"
     " d=2.4703282292062327e-324 e=1.7976931348623159e308 f=" + "1" * 400 + "e-400", True),
    ("a=1 a=x a", True),  # repeated plain keys: the last value, at the first key's place
    ('Lattice="1 2 3"', True),  # taken, then the faulty cell is reported by the Python parser
    ('pbc="1 2 3" Lattice="a"', True),  # two faults: the first in the line is the one reported
    ("a=9223372036854775808", False),
    ("a=1d5", False),
    ('a="x y"', True),
    ("Lattice=\"1 0 0 0 1 0 0 0 1\" lattice=\"2 0 0 0 2 0 0 0 2\"", False),
    ("pbc", False),
    ("a=b=c", False),
    ('a="b"c=1', False),
    ('a=b"c"', False),
    ('a"b"=1', False),
    ('"k"=1', False),
    ("a=1 =2", False),
    ('a="open', False),
    ("a={1 2} b=[1, 2]", False),
    (r'a="x\"y"', False),
    ("a=\u00e9 b=1", False),
    ("a=1\x0bb=2", False),
])
def test_native_scanner_takes_the_common_lines_and_declines_the_rest(line, taken, monkeypatch):
    from atomblock import _native
    assert (_native.parse_comment_fast(line) is not None) == taken
    assert _outcome(line, True, monkeypatch) == _outcome(line, False, monkeypatch)



def test_native_scanner_takes_the_common_lines_the_writer_makes():
    # bench/bench_comment.py reports the fallback rate; these forms must never cost the Python parser.
    import runpy
    from pathlib import Path

    bench = runpy.run_path(str(Path(__file__).resolve().parent.parent / "bench" / "bench_comment.py"),
                           run_name="bench_comment")
    written = dict(bench["written_lines"]())
    common = ["float, int, bool, word", "cell and pbc T T F", "cell, no other value", "no value at all",
              "str with blanks", "empty str", "str that reads as a number", "str with =", "float inf and nan",
              "tiny and huge floats", "int array", "float array", "bool array", "3x3 stress"]
    forms = dict(bench["format_lines"]())
    assert bench["declined"]([(label, written[label]) for label in common]) == []
    assert bench["declined"]([(label, forms[label]) for label in ("written canonically", "training set frame")]) == []
    assert ("empty comment line", "") in forms.items() and "Energy = -229.4332821667" in forms.values()


FRAGMENTS = ["a", "k", "=", "=", " ", " ", "\t", '"', '"', "\\", '\\"', "\\\\", "[", "[[", "[[[", "]", "]]", "{", "}",
             ",", "1", "2.5", "x y", "Lattice", " = ", ", ", "0,"]
_FAULTS = {'"': "unbalanced quote", "{": "unbalanced brace", "[": "unbalanced bracket", "=": '"=" with no key'}


def _by_pattern(line):
    """The strict pairs and the first fault as the pair pattern finds them."""
    from atomblock import _comment
    pairs = []
    for m in _comment._PAIR.finditer(line):
        key, eq, raw, opener, stray = m.groups()
        if opener or stray:
            group = 4 if opener else 5
            return pairs, f"malformed comment line: {_FAULTS[m.group(group)[0]]} at column {m.start(group) + 1}"
        pairs.append((key, eq or "", raw or ""))
    return pairs, ""


def test_hand_written_scanner_agrees_with_the_pair_pattern():
    # Long lines and lines with backslashes take the hand-written scanner: the same pairs and faults.
    from atomblock._comment import scan_pairs
    rng = np.random.default_rng(7)
    for _ in range(20000):
        line = "".join(FRAGMENTS[i] for i in rng.integers(len(FRAGMENTS), size=rng.integers(1, 12)))
        assert scan_pairs(line) == _by_pattern(line), line
