"""atomblock comment lines: what each line reads as, how values are written, and which lines are refused."""
import io
import struct

import numpy as np
import pytest

import atomblock


def parsed(line):
    return atomblock.read(io.BytesIO(f"0\n{line}\n".encode()), 0)


def same(a, b):
    """Equal values of the same type; arrays of the same dtype kind, shape and items."""
    if isinstance(b, np.ndarray):
        return (isinstance(a, np.ndarray) and a.dtype.kind == b.dtype.kind and a.shape == b.shape
                and np.array_equal(a, b, equal_nan=a.dtype.kind == "f"))
    if isinstance(b, float) and b != b:
        return isinstance(a, float) and a != a
    return type(a) is type(b) and a == b


A = np.array

READ_TABLE = [
    # bare words: int, float (e/E/d/D exponents, inf, nan), bool, str
    ("a=1 b=-2 c=+3 d=007", {"a": 1, "b": -2, "c": 3, "d": 7}),
    ("a=1.5 b=-2e3 c=1E-2 d=1.5d2 e=2D-1 f=.5 g=5.", {"a": 1.5, "b": -2000.0, "c": 0.01, "d": 150.0, "e": 0.2,
                                                     "f": 0.5, "g": 5.0}),
    ("a=inf b=-Infinity c=nan", {"a": float("inf"), "b": float("-inf"), "c": float("nan")}),
    ("a=T b=F c=True d=False e=true f=false g=TRUE h=FALSE",
     {"a": True, "b": False, "c": True, "d": False, "e": True, "f": False, "g": True, "h": False}),
    ("a=H2O b=1.2.3 c=0x10 d=t e=1e", {"a": "H2O", "b": "1.2.3", "c": "0x10", "d": "t", "e": "1e"}),
    # bare keys mean True; "key=" is the empty string; quoted keys
    ("flag x=1 other", {"flag": True, "x": 1, "other": True}),
    ("a= b=2", {"a": "", "b": 2}),
    ('"my key"=1 "k=v"=x', {"my key": 1, "k=v": "x"}),
    # quoted strings: escapes, one item stays a str, 2+ agreeing items make an array
    (r'a="x y" b="q\"t" c="back\\slash" d="line\nbreak" e="C:\data"',
     {"a": "x y", "b": 'q"t', "c": "back\\slash", "d": "line\nbreak", "e": "C:\\data"}),
    ('a="1" b="T" c="" d="1.5"', {"a": "1", "b": "T", "c": "", "d": "1.5"}),
    ('a="1 2 3" b="1 2.5" c="T F T" d="1 x" e="T 1"',
     {"a": A([1, 2, 3]), "b": A([1.0, 2.5]), "c": A([True, False, True]), "d": "1 x", "e": "T 1"}),
    ("a={1 2} b={T} c={x y} d={1.5d0 2}", {"a": A([1, 2]), "b": A([True]), "c": "x y", "d": A([1.5, 2.0])}),
    # new-style arrays
    ("a=[1, 2, 3] b=[[1, 2], [3, 4]] c=[1.5] d=[T, false] e=[]",
     {"a": A([1, 2, 3]), "b": A([[1, 2], [3, 4]]), "c": A([1.5]), "d": A([True, False]), "e": A([], float)}),
    ('a=["x", "y z"] b=[1, 2.5] c=[[1], [2, 3]] d=[1, "x"]',
     {"a": A(["x", "y z"]), "b": A([1.0, 2.5]), "c": "[[1], [2, 3]]", "d": '[1, "x"]'}),
    # int64 overflow in a list falls back to float; tabs separate pairs
    ("a=\"99999999999999999999 1\"\tb=2", {"a": A([1e20, 1.0]), "b": 2}),
    # free text: no "=" at all
    ("just a title", {"comment": "just a title"}),
    ('  spaced "quote ', {"comment": '  spaced "quote '}),
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
    ('pbc="1 0 1"', None, [True, False, True], ["species", "pos"]),
    ("properties=a:r:2:b:s:1:c:I:1", None, [False] * 3, ["a", "b", "c"]),
    ('Properties="x:L:1" e=1', None, [False] * 3, ["x"]),
])
def test_special_keys(line, cell, pbc, names):
    frame = parsed(line)
    assert (frame.cell is None) if cell is None else np.array_equal(frame.cell, cell)
    assert frame.pbc.tolist() == pbc
    assert list(frame.arrays) == names
    assert not {"Lattice", "lattice", "pbc", "PBC", "Properties", "properties"} & set(frame.info)


@pytest.mark.parametrize("line, what", [
    ('a="open', 'malformed comment line: unbalanced quote at column 3'),
    ('a=1 "b=2', 'malformed comment line: unbalanced quote at column 5'),
    ("a={1 2", "malformed comment line: unbalanced brace at column 3"),
    ("a=[1, [2]", "malformed comment line: unbalanced bracket at column 3"),
    ("a=1 =2", 'malformed comment line: "=" with no key at column 5'),
    ("a==2", 'malformed comment line: "=" with no key at column 2'),
    ('Lattice="1 2 3"', 'bad Lattice="1 2 3": expected 9 numbers (3 cell vectors)'),
    ('Lattice="a b c d e f g h i"', 'bad Lattice="a b c d e f g h i": expected 9 numbers'),
    ('pbc="T T"', 'bad pbc="T T": expected 3 booleans'),
    ("pbc=[1, 2, 0]", "bad pbc=[1, 2, 0]: expected 3 booleans"),
    ("a=1 Lattice", "Lattice without a value"),
    ("Properties=species:S:1:pos:R", "bad Properties=species:S:1:pos:R: expected name:type:count triples"
                                     " (5 fields is not a multiple of 3)"),
    ("Properties=species:X:1", "bad Properties=species:X:1: type 'X' of column 'species' is not S, R, I or L"),
    ("Properties=pos:R:0", "bad Properties=pos:R:0: count '0' of column 'pos' is not a positive integer"),
    ("Properties=pos:R:-3", "bad Properties=pos:R:-3: count '-3' of column 'pos' is not a positive integer"),
    ("Properties=pos:R:3:pos:I:1", "bad Properties=pos:R:3:pos:I:1: column name 'pos' used twice"),
])
def test_malformed_comment_line_is_refused_at_its_line(line, what):
    text = f"1\nenergy=1\nH 0 0 0\n0\n{line}\n"
    with pytest.raises(atomblock.ExtxyzError) as excinfo:
        atomblock.read(io.BytesIO(text.encode()), ":")
    assert str(excinfo.value).startswith(f"<stream>:5: frame 1: {what}")
    assert (excinfo.value.line, excinfo.value.frame) == (5, 1)


@pytest.mark.parametrize("info, written", [
    ({"i": 3, "n": -7, "big": 2**70}, "i=3 n=-7 big=1180591620717411303424"),
    ({"f": 0.1, "g": 1e-300, "h": -2.0, "j": float("inf"), "k": 1 / 3},
     "f=0.1 g=1e-300 h=-2.0 j=inf k=0.3333333333333333"),
    ({"t": True, "u": np.bool_(False), "v": np.int32(4), "w": np.float32(0.5)}, "t=T u=F v=4 w=0.5"),
    ({"s": "plain", "e": "", "b": "two words", "n": "12", "x": "1e5", "t": "T", "q": 'say "hi"', "bs": "a\\b",
      "nl": "a\nb", "eq": "a=b", "br": "[x", "cb": "{y"},
     r's=plain e="" b="two words" n="12" x="1e5" t="T" q="say \"hi\"" bs="a\\b" nl="a\nb" eq="a=b" br="[x" cb="{y"'),
    ({"a": A([1, 2, 3]), "f": A([0.5, 2.0]), "b": A([True, False]), "one": A([4]), "none": A([], float),
      "m": A([[1, 2], [3, 4]]), "s": A(["x", "y z"])},
     'a="1 2 3" f="0.5 2.0" b="T F" one=[4] none=[] m=[[1, 2], [3, 4]] s=["x", "y z"]'),
    ({"my key": 1, "comment": "free text"}, '"my key"=1 comment="free text"'),
])
def test_written_values_and_read_back(info, written):
    out = io.BytesIO()
    atomblock.write(out, atomblock.Frame(info=info))
    assert out.getvalue().decode() == f"0\nProperties=\"\" {written}\n"
    back = atomblock.read(io.BytesIO(out.getvalue()), 0).info
    for key, value in info.items():
        expected = np.asarray(value) if isinstance(value, np.ndarray) else type(np.asarray(value).item())(value)
        assert same(back[key], expected), (key, back[key])


@pytest.mark.parametrize("cell, pbc, first, last", [
    (np.eye(3) * 2.5, None, 'Lattice="2.5 0.0 0.0 0.0 2.5 0.0 0.0 0.0 2.5" Properties=""', 'pbc="T T T"'),
    (np.eye(3), [True, False, False], 'Lattice="1.0 0.0', 'pbc="T F F"'),
    (None, [False, True, False], 'Properties=""', 'pbc="F T F"'),
    (None, None, 'Properties=""', 'e=1'),
])
def test_canonical_order_lattice_properties_info_pbc(cell, pbc, first, last):
    out = io.BytesIO()
    atomblock.write(out, atomblock.Frame(info={"e": 1}, cell=cell, pbc=pbc))
    line = out.getvalue().decode().split("\n")[1]
    assert line.startswith(first) and line.endswith(last)


@pytest.mark.parametrize("info, error", [
    ({"Lattice": 1}, ValueError), ({"PBC": "T"}, ValueError), ({"x": object()}, TypeError),
    ({"x": np.zeros((2, 2, 2))}, TypeError), ({"x": np.array([1j])}, TypeError),
])
def test_unwritable_info_is_refused(info, error):
    with pytest.raises(error):
        atomblock.write(io.BytesIO(), atomblock.Frame(info=info))


# --- the native scanner of common lines against the Python parser ----------

def _outcome(line, fast, monkeypatch):
    """What parse_comment gives with the native scanner on or off: values, or the error message."""
    from atomblock import _comment, _errors, _native
    monkeypatch.setattr(_comment, "_fast_scan", _native.parse_comment_fast if fast else None)
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
    return (type(value).__name__, value)


def _random_line(rng):
    keys = ["a", "b", "energy", "step", "x1", "_k", "k-2", "+k", "1", "lattice", "LATTICE", "Lattice", "pbc",
            "PBC", "Pbc", "Properties", "properties", "pRoPeRtIeS", "latticex", "pb"]
    words = ["T", "F", "True", "False", "true", "false", "TRUE", "FALSE", "t", "tRUE", "H2O", "a-b", "", "+", ".",
             "-", "1e", "1e+", ".e5", "0x10", "inf", "-Infinity", "+nan", "NaN", "-nan", "INF", "infinit", "1.2.3",
             "9223372036854775807", "-9223372036854775808", "9223372036854775808", "99999999999999999999",
             "-0", "007", "+3", "5.", ".5", "-0.0", "1d5", "2D-1", "1e999", "1e-999", "4.9e-324",
             "0.1000000000000000055511151231257827", "1" * 30 + "e-10",
             '"x"', '"x y"', '""', '"1 2"', '"T F T"', '"1"', '"a=b"', "{1 2}", "[1, 2]", r'"a\"b"', '"open',
             "=", "é", "a\x0bb", '"1 0 0 0 1 0 0 0 1"', '"T T T"', '"T F"', "species:S:1:pos:R:3", '"pos:R:3"']

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
        else:
            pairs.append(f"{key}={words[rng.integers(len(words))]}")
    seps = [" ", "\t", "  ", ""]
    return "".join(p + seps[rng.integers(len(seps)) if i + 1 < len(pairs) else 0] for i, p in enumerate(pairs))


def test_native_scanner_agrees_with_the_python_parser_on_random_lines(monkeypatch):
    from atomblock import _native
    rng = np.random.default_rng(20261208)
    taken = 0
    for _ in range(4000):
        line = _random_line(rng)
        taken += _native.parse_comment_fast(line) is not None
        assert _outcome(line, True, monkeypatch) == _outcome(line, False, monkeypatch), line
    assert taken > 1000  # the comparison covers lines the scanner really parses


@pytest.mark.parametrize("line, taken", [
    ('Lattice="1 0 0 0 1 0 0 0 1" Properties=species:S:1:pos:R:3 energy=-1.5e3 step=12 pbc="T T T"', True),
    ('LATTICE="2 0 0 0 2 0 0 0 2" properties="x:R:1" PBC="F T F" flag e= s="ab" n=-0', True),
    ("a=9223372036854775807 b=-9223372036854775808 c=+inf d=-NaN e=1e999 f=-0.0 g=4.9e-324", True),
    ("a=1e0000000000000000000005 b=-1e-99999999999999999999 c=2.4703282292062328e-324"
     " d=2.4703282292062327e-324 e=1.7976931348623159e308 f=" + "1" * 400 + "e-400", True),
    ("a=1 a=x a", True),  # repeated plain keys: the last value, at the first key's place
    ('Lattice="1 2 3"', True),  # taken, then the faulty cell is reported by the Python parser
    ('pbc="1 2 3" Lattice="a"', True),  # two faults: the first in the line is the one reported
    ("a=9223372036854775808", False),
    ("a=1d5", False),
    ('a="x y"', False),
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
