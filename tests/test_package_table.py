"""atomblock.Table and read_table: columns against read()'s frames, fills and masks, mixed types,
index forms and errors as read() gives them, selections, sub-tables and writing a table back."""
import io
import json
import runpy
from pathlib import Path

import numpy as np
import pytest

import atomblock

BENCH_TABLE = Path(__file__).resolve().parent.parent / "bench" / "bench_table.py"
PROPERTIES = {  # name: values for n atoms
    "forces": lambda rng, n: rng.normal(size=(n, 3)),
    "tags": lambda rng, n: rng.integers(-50, 50, n),
    "fixed": lambda rng, n: rng.random(n) < 0.5,
    "pair": lambda rng, n: rng.choice(["x", "yyy"], (n, 2)),
    "charge": lambda rng, n: rng.normal(size=n),
}
INFO = {
    "energy": lambda rng: float(rng.normal()),
    "stress": lambda rng: rng.normal(size=(3, 3)),
    "config_type": lambda rng: str(rng.choice(["bulk", "two words", "a=b"])),
    "step": lambda rng: int(rng.integers(0, 10**6)),
    "flag": lambda rng: bool(rng.random() < 0.5),
    "v": lambda rng: rng.normal(size=3),
}


def dataset(nframes, seed=0):
    """Frames of 0..6 atoms, each with its own subset and order of properties and info keys,
    species of different widths, with or without a cell."""
    rng = np.random.default_rng(seed)
    frames = []
    for k in range(nframes):
        n = int(rng.integers(0, 7)) if k else 3
        names = [p for p in PROPERTIES if rng.random() < 0.6]
        arrays = {"species": rng.choice(["H", "Fe", "Xx1"][: 1 + k % 3], n), "pos": rng.normal(size=(n, 3))}
        arrays.update({p: PROPERTIES[p](rng, n) for p in names})
        order = rng.permutation(list(arrays))
        keys = [key for key in rng.permutation(list(INFO)) if rng.random() < 0.6]
        cell = None if rng.random() < 0.3 else rng.normal(size=(3, 3))
        pbc = None if rng.random() < 0.5 else rng.random(3) < 0.5
        frames.append(atomblock.Frame({p: arrays[p] for p in order}, {key: INFO[key](rng) for key in keys},
                                      cell=cell, pbc=pbc))
    return frames


def written(frames, **kwargs):
    out = io.BytesIO()
    atomblock.write(out, frames, **kwargs)
    return out.getvalue()


@pytest.fixture(scope="module")
def path(tmp_path_factory):
    p = tmp_path_factory.mktemp("table") / "data.xyz"
    atomblock.write(p, dataset(14))
    return p


def fill(column):
    return {"f": np.nan, "i": 0, "b": False, "U": "", "O": None}[column.dtype.kind]


def same(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and bool(np.array_equal(a, b, equal_nan=a.dtype.kind == "f"))


@pytest.mark.parametrize("index", [":", "1:", "::2", "-4:", "::-1", "3:9:3", 2, -1, slice(None, 5)])
def test_table_frames_and_columns_are_reads_frames(path, index):
    expected = atomblock.read(path, index)
    expected = [expected] if isinstance(expected, atomblock.Frame) else expected
    table = atomblock.read_table(path, index)
    assert len(table) == len(expected) and list(table) == expected
    assert table.natoms.tolist() == [f.natoms for f in expected]
    assert table.offsets.tolist() == np.concatenate([[0], np.cumsum(table.natoms)]).tolist()
    first = [name for f in expected for name in f.arrays]
    assert list(table.arrays) == list(dict.fromkeys(first))
    assert list(table.info) == list(dict.fromkeys(key for f in expected for key in f.info))
    # The columns themselves: each frame's values, or the fill where it lacks them.
    for name, column in table.arrays.items():
        assert table.has(name).tolist() == [name in f.arrays for f in expected]
        for k, f in enumerate(expected):
            rows = column[table.offsets[k]:table.offsets[k + 1]]
            want = f.arrays[name] if name in f.arrays else np.full(rows.shape, fill(column), column.dtype)
            assert same(rows, want), (name, k)
    for key, column in table.info.items():
        assert table.has(key).tolist() == [key in f.info for f in expected]
        for k, f in enumerate(expected):
            want = f.info[key] if key in f.info else np.full(column.shape[1:], fill(column), column.dtype)
            assert same(column[k], want), (key, k)
    assert table.has("cell").tolist() == [f.cell is not None for f in expected]
    for k, f in enumerate(expected):
        assert same(table.cell[k], np.full((3, 3), np.nan) if f.cell is None else f.cell)
        assert same(table.pbc[k], f.pbc)


def test_workers_and_rewrites(path, tmp_path):
    table = atomblock.read_table(path)
    twice = atomblock.read_table(path, workers=2)
    assert twice == table and all(same(twice.arrays[n], v) for n, v in table.arrays.items())
    # A canonical file writes back byte for byte, whether written from the table or from its frames.
    assert written(table) == written(list(table)) == path.read_bytes()
    out = tmp_path / "shortest.xyz"
    atomblock.write(out, table, float_format="shortest")
    assert atomblock.read_table(out) == table


def test_empty_and_zero_atom_tables():
    empty = atomblock.read_table(io.BytesIO(b""))
    assert len(empty) == 0 and empty.offsets.tolist() == [0] and empty.cell.shape == (0, 3, 3)
    assert written(empty) == b""
    frames = [atomblock.Frame({"species": np.array([], str), "pos": np.zeros((0, 3))}, {"e": 1.5})] * 2
    table = atomblock.read_table(io.BytesIO(written(frames)))
    assert table.offsets.tolist() == [0, 0, 0] and table.arrays["pos"].shape == (0, 3)
    assert list(table) == atomblock.read(io.BytesIO(written(frames)), ":")


def info_frames(*values):
    return [atomblock.Frame(info={} if v is None else {"x": v}) for v in values]


@pytest.mark.parametrize("values, dtype, shape", [
    ((1, 2.5, None), np.float64, (3,)),
    ((1, None, 2), np.int64, (3,)),
    ((True, None), np.bool_, (2,)),
    (("a", None, "bcd"), np.dtype("<U3"), (3,)),
    ((np.arange(3), np.ones(3) / 3), np.float64, (2, 3)),
    ((np.ones((3, 3)), None), np.float64, (2, 3, 3)),
    ((True, 1), object, (2,)),
    (("a", 1.0), object, (2,)),
    ((np.ones(3), np.ones(2)), object, (2,)),
    ((2**70, 1), object, (2,)),
    ((np.array(["a", "b"]), None), object, (2,)),
    (({"d": 1}, [1, "a"]), object, (2,)),
])
def test_info_columns_widen_or_hold_objects(values, dtype, shape):
    table = atomblock.Table.from_frames(info_frames(*values))
    column = table.info["x"]
    assert column.dtype == dtype and column.shape == shape
    assert table.has("x").tolist() == [v is not None for v in values]
    for k, v in enumerate(values):
        got = table[k].info
        if v is None:
            assert got == {} and same(column[k], np.full(shape[1:], fill(column), column.dtype))
        elif dtype is object:
            assert got["x"] is v
        else:  # the column's type, as Python scalars or arrays
            want = np.asarray(v, dtype=column.dtype) if shape[1:] else column.dtype.type(v).item()
            assert same(got["x"], want) and type(got["x"]) is type(want)


@pytest.mark.parametrize("second, error", [
    (np.arange(2), None),                          # int widens to float
    (np.array([True, False]), "int values|bool values"),
    (np.array(["a", "b"]), "str values"),
    (np.zeros((2, 2)), r"shape \(natoms, 2\)"),
])
def test_per_atom_type_conflicts(second, error):
    frames = [atomblock.Frame({"x": np.arange(1)}), atomblock.Frame({"x": np.ones(1) / 3}),
              atomblock.Frame({"x": second})]
    if error is None:
        table = atomblock.Table.from_frames(frames)
        assert table.arrays["x"].dtype == np.float64 and table.arrays["x"].tolist() == [0, 1 / 3, 0, 1]
        return
    with pytest.raises(ValueError, match=rf"arrays\['x'\]: frame 2 has .*({error}).* but frame 0 has"):
        atomblock.Table.from_frames(frames)
    # Read from a file, a frame is named by its number in the file.
    with pytest.raises(ValueError, match=r"arrays\['x'\]: frame 3 has .* but frame 1 has"):
        atomblock.read_table(io.BytesIO(written([atomblock.Frame()] + frames)), "1:")


GOOD = b"1\nenergy=1.5\nH 0 0 0\n"


@pytest.mark.parametrize("text", [
    b"2\n\nH 0 0 0\nH 0 0 x\n",
    GOOD + b"3\n\nH 0 0 0\n",
    GOOD + b"abc\n\nH 0 0 0\n",
    GOOD + b'1\nProperties=pos:Q:3\n0 0 0\n' + GOOD,
    GOOD,
])
@pytest.mark.parametrize("index", [":", "0", "-1", "1:", 5, "x"])
def test_errors_are_reads(text, index):
    def outcome(reader):
        try:
            got = reader(io.BytesIO(text), index)
        except Exception as e:
            return type(e), str(e)
        return list(got) if isinstance(got, atomblock.Table) else [got] if isinstance(got, atomblock.Frame) else got

    assert outcome(atomblock.read_table) == outcome(atomblock.read)


def test_selected_columns(path):
    full = atomblock.read_table(path)
    bare = atomblock.read_table(path, arrays=[])
    assert bare.arrays == {} and all(f.arrays == {} for f in bare)
    assert bare.natoms.tolist() == full.natoms.tolist() and bare.offsets.tolist() == full.offsets.tolist()
    assert all(same(bare.info[k], v) for k, v in full.info.items()) and same(bare.cell, full.cell)
    with pytest.raises(ValueError, match="has 3 atoms but no per-atom column"):
        written(bare)
    some = atomblock.read_table(path, arrays=["forces", "nothing"], info=["energy", "nothing"])
    assert list(some.arrays) == ["forces"] and list(some.info) == ["energy"]
    assert same(some.has("forces"), full.has("forces")) and not some.has("nothing").any()
    for a, b in zip(some, full, strict=True):
        assert list(a.arrays) == [n for n in b.arrays if n == "forces"]
        assert a.info == {k: v for k, v in b.info.items() if k == "energy"}
    with pytest.raises(TypeError, match="list of names"):
        atomblock.read_table(path, arrays="pos")


def test_sub_tables(path):
    full = atomblock.read_table(path)
    frames = list(full)
    n = len(full)
    assert full[3:9] == atomblock.read_table(path, "3:9")
    assert list(full[[5, 0, 5, -1]]) == [frames[5], frames[0], frames[5], frames[-1]]
    mask = full.has("forces")
    lacking = full[~mask]
    assert list(lacking) == [f for f in frames if "forces" not in f.arrays] and "forces" not in lacking.arrays
    assert list(full[::-3]) == frames[::-3] and len(full[n:]) == 0 and full[-1] == frames[-1]
    assert np.shares_memory(full[int(np.argmax(full.natoms))].arrays["pos"], full.arrays["pos"])
    assert np.shares_memory(full[2:].arrays["pos"], full.arrays["pos"])
    for bad, error in [(n, IndexError), (-n - 1, IndexError), ([0, n], IndexError), (np.ones(2, bool), IndexError),
                       ("1", TypeError), (1.0, TypeError)]:
        with pytest.raises(error):
            full[bad]



SLOTS = ("natoms", "offsets", "cell", "pbc", "_has_cell", "_layout_ids", "_order_ids")


def same_table(a, b):
    """Every stored column equal, info columns with their dtypes (object columns value by value)."""
    assert all(same(getattr(a, s), getattr(b, s)) for s in SLOTS) and a.arrays == b.arrays == {}
    assert a._layouts == b._layouts and a._orders == b._orders and a._widths == b._widths == {}
    assert list(a.info) == list(b.info) and all(getattr(a, s).dtype == getattr(b, s).dtype for s in SLOTS)
    for key, column in a.info.items():
        other = b.info[key]
        assert column.dtype == other.dtype and column.shape == other.shape, key
        if column.dtype.kind == "O":
            assert all(same(x, y) for x, y in zip(column, other, strict=True)), key
        else:
            assert same(column, other), key


ZERO_ATOMS = written([atomblock.Frame(info={"e": 1}), atomblock.Frame({"pos": np.ones((2, 3))}, {"e": 2.5}),
                      atomblock.Frame(cell=np.eye(3)), atomblock.Frame(info={"e": "x"})]) + b"\n\n"


@pytest.mark.parametrize("index", [":", "1:", "::2", "-4:", "::-1", "3:9:3", "5::-2", ":-3", "2:-3:2", "-2",
                                   2, -1, 0, slice(None, 5)])
@pytest.mark.parametrize("workers, info", [(1, None), (2, None), (1, ["energy", "v"])])
def test_metadata_only_table_is_the_full_reads_columns(path, index, workers, info):
    # The oracle: the table read() builds, keeping a per-atom column that no frame has.
    for source in (path, ZERO_ATOMS):
        if isinstance(source, bytes):
            if index in ("3:9:3", "2:-3:2"):
                continue
            source = io.BytesIO(source)
        oracle = atomblock.read_table(source, index, arrays=["no such column"], info=info)
        if not isinstance(source, Path):
            source.seek(0)
        same_table(atomblock.read_table(source, index, arrays=[], info=info, workers=workers), oracle)


@pytest.mark.parametrize("index", [":", "1::2", "-2:", "::-1"])
def test_metadata_only_progress_counts_every_byte(path, index, tmp_path, monkeypatch):
    import atomblock._progress

    moved = []

    class Bar:
        def __init__(self, total, desc, enabled):
            pass

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            pass

        def update(self, nbytes):
            assert nbytes >= 0
            moved.append(nbytes)

    monkeypatch.setattr(atomblock._progress, "progress_bar", Bar)
    blanks = tmp_path / "blanks.xyz"
    blanks.write_bytes(path.read_bytes() + b"\n \n")
    atomblock.read_table(blanks, index, arrays=[], progress=True)
    assert sum(moved) == blanks.stat().st_size


@pytest.mark.parametrize("index", ["::7", "100:9000:3", "-4100::5", "9000::-3", 4097])
def test_metadata_only_selections_across_batches(index):
    # More frames than one scan batch holds: selections that step over batch boundaries.
    text = b"".join(b"%d\ne=%d\n" % (k % 3, k) + b"H 0 0 0\n" * (k % 3) for k in range(9500))
    same_table(atomblock.read_table(io.BytesIO(text), index, arrays=[]),
               atomblock.read_table(io.BytesIO(text), index, arrays=["no such column"]))


@pytest.mark.parametrize("text", [
    GOOD + b"abc\n\nH 0 0 0\n" + GOOD,                # not a count line
    GOOD + b"\n" + GOOD,                                # a blank line between frames
    GOOD + b"123456789012345678901234\nx\n",           # a count too large
    GOOD + b"3\ne=1\nH 0 0 0\n",                        # cut short in the atom lines
    GOOD + b"3\nH 0 0 0\n",                             # ... in the comment line's place
    GOOD + b"2\n",                                      # ... before the comment line
    GOOD + b"3\n\nH 0 0 x\n",                           # ... with a faulty atom line first
    GOOD + b"1\nProperties=pos:Q:3\n0 0 0\n" + GOOD,    # Properties that does not parse
    GOOD * 2 + b'1\nLattice="1 2 3"\nH 0 0 0\n' + GOOD * 2,  # a Lattice of three numbers
    GOOD + b"1\n\xff=1\nH 0 0 0\n" + GOOD,              # invalid UTF-8 in a comment line
    GOOD + b'1\nLattice="1 2 3"\nH 0 0 0\n' + b"abc\n",  # a comment-line fault, then a count-line one
    GOOD * 3 + b"1\ne=2\nH 0 0 x\n" + GOOD,              # an atom-line fault: unseen without atom columns
])
@pytest.mark.parametrize("index", [":", "0", "-1", "1:", "-2:", "::-1", ":-1", 5, "x"])
def test_metadata_only_faults_are_reads(text, index):
    def outcome(reader, text, **kwargs):
        try:
            got = reader(io.BytesIO(text), index, **kwargs)
        except Exception as e:
            return type(e), str(e)
        frames = [got] if isinstance(got, atomblock.Frame) else got
        natoms = got.natoms.tolist() if isinstance(got, atomblock.Table) else [f.natoms for f in frames]
        return natoms, [(f.info, f.cell is None) for f in frames]

    # Atom lines are not parsed: the file reads as it would with its atom-line fault mended.
    mended = text.replace(b"H 0 0 x\n" + GOOD, b"H 0 0 0\n" + GOOD)
    assert outcome(atomblock.read_table, text, arrays=[]) == outcome(atomblock.read, mended)


def test_from_frames_and_ambiguous_names():
    frames = [atomblock.Frame({"q": [1.0]}, {"q": 2, "cell": "c"}, cell=[1, 2, 3]), atomblock.Frame()]
    table = atomblock.Table.from_frames(frames)
    assert list(table) == frames and atomblock.Table(frames) == table
    with pytest.raises(ValueError, match="both arrays and info"):
        table.has("q")
    assert table.has("q", "arrays").tolist() == [True, False] and table.has("cell", "cell").tolist() == [True, False]
    with pytest.raises(TypeError, match="frame 1 is a dict"):
        atomblock.Table.from_frames([atomblock.Frame(), {}])
    wrong = atomblock.Frame({"species": ["H", "H"], "pos": np.zeros((2, 3))})
    wrong.arrays["pos"] = np.zeros((3, 3))  # set past the constructor's check
    with pytest.raises(ValueError, match=r"frame 1: arrays\['pos'\] has shape \(3, 3\), not one row per atom"):
        atomblock.Table.from_frames([atomblock.Frame({"pos": np.ones((2, 3))}), wrong])
    wrong.arrays["pos"] = np.ones((2, 3), dtype=np.int64)  # positions are floats, as Frame makes them
    assert atomblock.Table.from_frames([wrong]).arrays["pos"].dtype == np.float64


def test_bench_script_runs_and_cross_checks(tmp_path):
    bench = runpy.run_path(str(BENCH_TABLE), run_name="bench_table")
    assert bench["main"](["--sizes", "30x4,10x0", "--repeat", "1", "--big-atoms", "50",
                          "--json", str(tmp_path / "b.json")]) == 0
    figures = json.loads((tmp_path / "b.json").read_text())
    assert figures["ok"] and len(figures["rows"]) == 2 * 13 + 2
    # The package's own files: every comment line taken by the native scanner.
    assert figures["declined_comment_lines"] == {"30x4": [0, 30], "10x0": [0, 10]}


@pytest.mark.parametrize("middle", [
    b"1\nenergy=1.5 tags=[1,2]\nH 0 0 0\n",                        # a list in brackets
    b'1\nenergy=1.5 e="a\\"b"\nH 0 0 0\n',                          # an escape
    b"1\nenergy=abc\nH 0 0 0\n",                                    # a key changing kind: an object column
    b"1\nenergy=2\nH 0 0 0\n",                                      # an int among floats: widened
    b"1\nenergy=1 energy=2\nH 0 0 0\n",                             # a repeated key
    b"1\nfree text, no pairs\nH 0 0 0\n",
    b"1\n \t \nH 0 0 0\n",
    b"1\n\xc3\xa9t\xc3\xa9\nH 0 0 0\n",
    b"1\n\xc3\x85=1\nH 0 0 0\n",
    b"2\nProperties=species:S:1:pos:R:3:q:I:1\nH 0 0 0 1\nC 1 1 1 2\n",  # a new layout
    b'1\nLattice="1 0 0 0 1 0 0 0 1" pbc="T F T"\nH 0 0 0\n',
    b"1\npbc=TFT Lattice={1 0 0 0 1 0 0 0 1}\nH 0 0 0\n",
    b'1\nLattice="1,0,0,0,1,0,0,0,1"\nH 0 0 0\n',
    b"1\npbc=maybe\nH 0 0 0\n",
    b"1\n\n\xc3\x85 0 0 0\n",                                       # a non-ASCII symbol
    b"0\nenergy=3.5\n",
    b"1\n\nH 0 0 x\n",                                              # faults
    b"1\n\n\xff 0 0 0\n",
    b"1\n\nH\x00 0 0 0\n",
    b"1\nProperties=species:S:1:pos:R:2\nH 0 0 0 5\n",
])
@pytest.mark.parametrize("workers", [1, 2])
def test_frames_beyond_the_native_forms_join_in(middle, workers):
    # A frame in the middle of frames of the common forms: the native reader stops there, read()'s
    # code reads it (or raises read()'s error), and the native reader goes on after it.
    text = GOOD * 40 + b"2\nenergy=0.5 stress=\"1 2 3 4 5 6 7 8 9\"\nC 1 2 3\nO 4 5 6\n" * 3 + middle + GOOD * 40

    def outcome(reader):
        try:
            return reader()
        except Exception as e:
            return type(e), str(e)

    got = outcome(lambda: list(atomblock.read_table(io.BytesIO(text), workers=workers)))
    assert got == outcome(lambda: list(atomblock.Table.from_frames(atomblock.read(io.BytesIO(text), ":"))))
    if isinstance(got, list):
        meta = atomblock.read_table(io.BytesIO(text), arrays=[])
        def listed(frames):
            return [{key: np.asarray(v).tolist() for key, v in f.info.items()} for f in frames]

        assert listed(meta) == listed(got) and meta.natoms.tolist() == [f.natoms for f in got]


@pytest.mark.parametrize("middle", [b"1\nenergy=1.5 tags=[1,2]\nH 0 0 0\n", b"1\nenergy=abc\nH 0 0 0\n",
                                    b"2\nProperties=species:S:1:pos:R:3:q:I:1\nH 0 0 0 1\nC 1 1 1 2\n",
                                    b"1\n\nH 0 0 x\n"])
def test_workers_split_batches_into_ranges(middle):
    # Text enough for ranges on two threads, a frame beyond the native forms in each of them.
    text = GOOD * 3000 + middle + GOOD * 6000 + middle + GOOD * 100

    def outcome(workers):
        try:
            return atomblock.read_table(io.BytesIO(text), workers=workers)
        except Exception as e:
            return type(e), str(e)

    assert outcome(2) == outcome(1)


@pytest.mark.parametrize("extra", [b"", b" t=[1,2]"])  # comment lines the native scanner takes / leaves
def test_a_new_key_in_every_frame_is_refused_early(extra):
    # Dense columns of keys that each appear once would grow with the square of the file.
    text = b"".join(b"1\nk%d=1%s\nH 0 0 0\n" % (k, extra) for k in range(4000))
    with pytest.raises(ValueError, match=r"<stream>: frame \d+: the info keys .* values per byte"):
        atomblock.read_table(io.BytesIO(text))
    assert len(atomblock.read_table(io.BytesIO(text), info=["k1"]).info["k1"]) == 4000
    sparse = b"".join(b"1\nk%d=1\nH 0 0 0\n" % (k % 40) for k in range(4000))  # a few keys: a table
    assert len(atomblock.read_table(io.BytesIO(sparse)).info) == 40
