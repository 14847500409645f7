"""atomblock faults: each one an ExtxyzError at its exact file line and frame, and check() collecting them all."""
import io
import pickle

import pytest

import atomblock

PROPS = "Properties=species:S:1:pos:R:3:tags:I:1:fixed:L:1"
GOOD = f"2\n{PROPS} e=1\nH 0.0 0.0 0.0 1 T\nO 1.0 1.0 1.0 2 F\n"  # lines 1-4 of each test file


def frame2(*atom_lines, count=None, comment=PROPS):
    return f"{len(atom_lines) if count is None else count}\n{comment}\n" + "".join(f"{a}\n" for a in atom_lines)


FAULTS = [
    (frame2("C 0 0 x 3 T", "N 0 0 0 4 F"),
     '7: frame 1: cannot parse "x" as float: invalid float literal (column pos, expected R)'),
    (frame2("C 0 0 0 3 T", "N 0 0 0 4.5 F"),
     '8: frame 1: cannot parse "4.5" as int: invalid digit found in string (column tags, expected I)'),
    (frame2("C 0 0 0 3 yes"), '7: frame 1: cannot parse "yes" as bool (column fixed, expected L)'),
    (frame2("C 0 0 0 99999999999999999999 T"),
     '7: frame 1: cannot parse "99999999999999999999" as int: number too large to fit in target type'
     ' (column tags, expected I)'),
    (frame2("C 0 0"), "7: frame 1: expected 6 tokens, ran out (column pos, expected R)"),
    (frame2("C 0 0 0 3 T", count=3), "5: frame 1: expected 3 atom lines after this count line, the file ends after 1"),
    ("7\n", "5: frame 1: expected a comment line after the atom count, the file ends"),
    ("abc\n", '5: frame 1: expected an atom count, got "abc"'),
    ("\n1\nx=1\nH 0 0 0\n", "5: frame 1: expected an atom count, got a blank line"),
    (frame2("C 0 0 0 3 T", count=0) + "N 0 0 0 4 F\n", '7: frame 2: expected an atom count, got "C 0 0 0 3 T"'),
    (frame2(comment='a=1 Properties="b'), "6: frame 1: malformed comment line: unbalanced quote at column 16"),
    (frame2("C 0 0 0", comment="Properties=species:S:1:pos:R:2.5"),
     "6: frame 1: bad Properties=species:S:1:pos:R:2.5: count '2.5' of column 'pos' is not a positive integer"),
]


@pytest.mark.parametrize("tail, where_what", FAULTS)
def test_fault_at_its_file_line(tail, where_what):
    data = (GOOD + tail).encode()
    for source in (io.BytesIO(data), io.TextIOWrapper(io.BytesIO(data), encoding="utf-8")):
        with pytest.raises(atomblock.ExtxyzError) as excinfo:
            atomblock.read(source, ":")
        assert str(excinfo.value) == f"<stream>:{where_what}"
    with pytest.raises(atomblock.ExtxyzError) as excinfo:
        list(atomblock.iread(io.BytesIO(data)))
    assert str(excinfo.value) == f"<stream>:{where_what}"
    assert [str(e) for e in atomblock.check(io.BytesIO(data))] == [f"<stream>:{where_what}"]


def test_error_names_the_path_and_pickles(tmp_path):
    path = tmp_path / "bad.xyz"
    path.write_bytes((GOOD + GOOD + "two\n").encode())
    with pytest.raises(atomblock.ExtxyzError) as excinfo:
        atomblock.read(path)
    e = excinfo.value
    assert (e.file, e.line, e.frame) == (str(path), 9, 2) and isinstance(e, ValueError)
    copy = pickle.loads(pickle.dumps(e))
    assert (str(copy), copy.file, copy.line, copy.frame) == (str(e), e.file, e.line, e.frame)


def test_earlier_frames_read_without_touching_later_faults():
    data = (GOOD + GOOD + frame2("C 0 0 x 3 T")).encode()
    assert atomblock.read(io.BytesIO(data), 1).info == {"e": 1}
    assert len(atomblock.read(io.BytesIO(data), ":2")) == 2
    assert len(list(atomblock.iread(io.BytesIO(data), ":2"))) == 2
    with pytest.raises(atomblock.ExtxyzError, match=":11: frame 2: "):
        atomblock.read(io.BytesIO(data), -1)


def test_check_collects_every_fault_and_resumes_at_the_next_frame():
    data = (GOOD                                          # frame 0, lines 1-4
            + frame2("C 0 0 0 x T", "N 0 0 0 4 F")        # frame 1, lines 5-8: bad int on line 7
            + frame2("C 0 0 0 3 T", count=1)              # frame 2, lines 9-11, one atom line too many
            + "N 0 0 0 4 F\n"                             # line 12: not a count line
            + GOOD                                        # frame 4, lines 13-16
            + frame2(comment="Lattice={") + "garbage\n"   # frame 5, lines 17-18: bad comment; line 19 no count
            + "H 1 1 1\n"                                 # line 20, skipped
            + frame2("C 0 0 0 3 T", "N 0 0 0 4 Q")        # frame 7, lines 21-24: bad bool on line 24
            + frame2("C 0 0 0 3 T", count=4))             # frame 8, lines 25-27: ends early
    assert [str(e) for e in atomblock.check(io.BytesIO(data.encode()))] == [
        '<stream>:7: frame 1: cannot parse "x" as int: invalid digit found in string (column tags, expected I)',
        '<stream>:12: frame 3: expected an atom count, got "N 0 0 0 4 F"',
        "<stream>:18: frame 5: malformed comment line: unbalanced brace at column 9",
        '<stream>:19: frame 6: expected an atom count, got "garbage"',
        '<stream>:24: frame 7: cannot parse "Q" as bool (column fixed, expected L)',
        "<stream>:25: frame 8: expected 4 atom lines after this count line, the file ends after 1",
    ]
    assert atomblock.check(io.BytesIO((GOOD * 3 + "\n\n").encode())) == []


@pytest.mark.parametrize("tail, where_what", [
    (b"1\nname=\xff\nH 0 0 0 1 T\n", "6: frame 1: invalid UTF-8 in the comment line at byte 6"),
    (b"1\n" + PROPS.encode() + b"\nH\xc3 0 0 0 1 T\n",
     '7: frame 1: invalid UTF-8 in "H\ufffd" (column species, expected S)'),
])
def test_invalid_utf8_at_its_line(tail, where_what):
    errors = atomblock.check(io.BytesIO(GOOD.encode() + tail))
    assert [str(e) for e in errors] == [f"<stream>:{where_what}"]


WIDE = b"Properties=species:S:1:pos:R:3:tags:I:1:fixed:L:1:label:S:1"
# Each fault kind of the atom-line reader in row 7 of a 10-atom frame after GOOD (its count line is
# line 5, row 7 is line 14): the line and the column come from the reader's fault, whichever way
# the frame is read. (None: the text ends after row 6.)
KIND_FAULTS = [
    (b"C 0 0 1e+ 3 T a", 14, 'cannot parse "1e+" as float: invalid float literal (column pos, expected R)'),
    (b"C " + b"1" * 70 + b" 0 zz 3 T a", 14,  # the fault past the first 64 bytes
     'cannot parse "zz" as float: invalid float literal (column pos, expected R)'),
    (b"C 0 0 0 -99999999999999999999 T a", 14, 'cannot parse "-99999999999999999999" as int:'
     " number too small to fit in target type (column tags, expected I)"),
    (b"C 0 0 0 3 t a", 14, 'cannot parse "t" as bool (column fixed, expected L)'),
    (b"C 0 0 0 3 T", 14, "expected 7 tokens, ran out (column label, expected S)"),
    (b"C 0 0 x", 14, 'cannot parse "x" as float: invalid float literal (column pos, expected R)'),  # not "ran out"
    (b"C 0 0 0 3 T a\xff", 14, 'invalid UTF-8 in "a\ufffd" (column label, expected S)'),
    (b"C 0 0 0 3 T a\x00", 14, "NUL byte in a UTF-8 token (column label, expected S)"),
    (b"C\x00 0 0 0 3 T \xff", 14, "NUL byte in a UTF-8 token (column species, expected S)"),
    (None, 5, "expected 10 atom lines after this count line, the file ends after 7"),
]


@pytest.mark.parametrize("bad, line, what", KIND_FAULTS)
def test_each_reader_fault_kind_names_its_line_and_column(bad, line, what, monkeypatch):
    from atomblock import _progress, _read
    rows = [b"H 0 0 0 1 T a"] * 10
    rows[7:] = [] if bad is None else [bad, *rows[8:]]
    data = GOOD.encode() + b"10\n" + WIDE + b"\n" + b"".join(row + b"\n" for row in rows)
    # Small enough that a progress bar reads the frame in row chunks and workers in row ranges.
    monkeypatch.setattr(_read, "PROGRESS_ROWS", 3)
    monkeypatch.setattr(_read, "SPLIT_ROWS", 4)
    monkeypatch.setattr(_read, "POOL_ROWS", 1)
    monkeypatch.setattr(_progress, "progress_bar", lambda *args: _progress._NoProgress())
    reads = [lambda: atomblock.read(io.BytesIO(data), ":"),
             lambda: atomblock.read(io.BytesIO(data), ":", progress=True),
             lambda: atomblock.read(io.BytesIO(data), ":", workers=2),
             lambda: list(atomblock.iread(io.BytesIO(data)))]
    for read in reads:
        with pytest.raises(atomblock.ExtxyzError) as excinfo:
            read()
        assert str(excinfo.value) == f"<stream>:{line}: frame 1: {what}"
    assert [str(e) for e in atomblock.check(io.BytesIO(data))] == [f"<stream>:{line}: frame 1: {what}"]


@pytest.mark.parametrize("extra, found", [(b" x", 8), (b" x" * 40 + b"\x0by", 47)])  # VT is no separator
def test_extra_tokens_note_counts_the_tokens_of_the_first_such_line(extra, found):
    rows = [b"H 0 0 0 1 T a"] * 3
    rows[1] += extra
    data = GOOD.encode() + b"3\n" + WIDE + b"\n" + b"".join(row + b"\n" for row in rows)
    assert atomblock.read(io.BytesIO(data), 1).arrays["label"].tolist() == ["a"] * 3
    notes = atomblock.check(io.BytesIO(data), notes=True)
    assert [(n.line, n.frame, n.what) for n in notes] == [
        (8, 1, f"atom lines have more tokens than Properties declares ({found} for 7 columns);"
               " the extra tokens are ignored (in 1 of 2 frames)")]
