"""Arrow and Parquet: Table.to_arrow/from_arrow, .parquet paths in read_table/read/iread/write and
the CLI, the columns other tools read (DuckDB, pyarrow.dataset), and the error without pyarrow."""
import builtins
import sys

import numpy as np
import pytest

import atomblock
from atomblock import _arrow
from atomblock._cli import main as cli_main

pa = pytest.importorskip("pyarrow", reason="pyarrow is not installed (the arrow extra)")
pq = pytest.importorskip("pyarrow.parquet")

RNG = np.random.default_rng(5)


def grid(shape, scale=20.0):
    """Values that "%16.8f" writes exactly (multiples of 1/256)."""
    return np.round(RNG.uniform(-scale, scale, shape) * 256) / 256


def frame(natoms, *, species=True, cell=True, exact=True, arrays=None, info=None):
    values = grid if exact else (lambda shape: RNG.normal(size=shape) * 10.0 ** RNG.integers(-8, 8, shape))
    columns = {"species": RNG.choice(np.array(["H", "O", "Na"]), natoms)} if species else {}
    columns["pos"] = values((natoms, 3))
    return atomblock.Frame({**columns, **(arrays or {})}, {"energy": float(values(())), **(info or {})},
                           cell=np.diag(values(3) + 30) if cell else None, pbc=[True, False, True] if cell else None)


def cases(exact=True):
    f = lambda natoms, **kw: frame(natoms, exact=exact, **kw)
    return {
        "one frame": [f(3)],
        "varying atoms, zero-atom frames, no cell": [f(4), f(0), f(1, cell=False), f(0, cell=False), f(7)],
        "properties come and go": [f(2, arrays={"forces": grid((2, 3))}), f(3),
                                   f(1, arrays={"tags": np.array([7]), "fixed": np.array([True])})],
        "3x3 stress, missing keys": [f(2, info={"stress": grid((3, 3))}), f(1),
                                     f(2, info={"stress": grid((3, 3)), "label": "a b"})],
        "info types": [f(1, info={"step": 3, "ok": True, "vec": np.array([1, 2, 3]), "name": "x"}),
                       f(2, info={"step": 4, "ok": False, "vec": np.array([4, 5, 6]), "name": ""})],
        "info of mixed types": [f(1, info={"mixed": "text"}), f(1, info={"mixed": 2.5}), f(1),
                                f(1, info={"mixed": np.array([1.0, 2.0])})],
        "names shared by a property and keys": [f(2, arrays={"charge": grid(2)},
                                                  info={"natoms": 5, "cell": True, "charge": 1, "pos": "p"})],
        "no species": [f(2, species=False), f(1, species=False)],
        "str columns, ASCII or not": [f(2, arrays={"label": np.array(["Ψ", "Fé"]), "tag": np.array(["ab", "c"])}),
                                      f(1, arrays={"label": np.array(["x"]), "tag": np.array(["longer"])})],
        "widening int to float": [f(1, arrays={"q": np.array([1])}), f(2, arrays={"q": np.array([0.5, 1.5])})],
        "no frames": [],
    }


def strip_metadata(data):
    """The table as pandas-written Parquet has it: no atomblock field or schema metadata."""
    return data.cast(pa.schema([field.remove_metadata() for field in data.schema]))


# A frame that is written back is the frame the Table holds: where the Table widened ints to
# floats, its R column, the same bytes as writing the Table read from the file.
WIDENED = "widening int to float"

ROUTES = {
    "arrow": lambda table, tmp: atomblock.Table.from_arrow(table.to_arrow()),
    "parquet": lambda table, tmp: (atomblock.write(tmp / "t.parquet", table), atomblock.read_table(tmp / "t.pq"
                                   if (tmp / "t.parquet").rename(tmp / "t.pq") else None))[1],
    "parquet, read with iread": lambda table, tmp: (atomblock.write(tmp / "t.parquet", table),
                                                    atomblock.Table(atomblock.iread(tmp / "t.parquet")))[1],
    "without metadata": lambda table, tmp: atomblock.Table.from_arrow(
        strip_metadata(_arrow.parquet_ready(table.to_arrow()))),
}


@pytest.mark.parametrize("float_format", ["fixed", "shortest"])
@pytest.mark.parametrize(("name", "route"), [
    (name, route) for name in cases() for route in ROUTES
    # Without metadata a column is known by its name alone: renamed columns need it.
    if (name, route) != ("names shared by a property and keys", "without metadata")])
def test_round_trip_gives_the_same_file(tmp_path, name, route, float_format):
    frames = cases(exact=float_format == "fixed")[name]
    atomblock.write(tmp_path / "a.xyz", frames, float_format=float_format)
    table = atomblock.read_table(tmp_path / "a.xyz")
    back = ROUTES[route](table, tmp_path)
    assert back == table
    atomblock.write(tmp_path / "b.xyz", back, float_format=float_format)
    atomblock.write(tmp_path / "t.xyz", table, float_format=float_format)
    assert (tmp_path / "b.xyz").read_bytes() == (tmp_path / "t.xyz").read_bytes()
    assert ((tmp_path / "b.xyz").read_bytes() == (tmp_path / "a.xyz").read_bytes()) is (name != WIDENED)
    for key, values in table.arrays.items():  # bit for bit, NaN fills included
        assert back.arrays[key].dtype == values.dtype
        if values.dtype.kind == "f":
            assert np.array_equal(back.arrays[key].view(np.int64), values.view(np.int64))


def test_to_arrow_shares_the_per_atom_values_and_types_the_columns(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    frames = [frame(3, arrays={"forces": grid((3, 3))}, info={"stress": grid((3, 3))}), frame(0, cell=False),
              frame(2)]
    table = atomblock.Table(frames)
    data = table.to_arrow()
    pos, forces = data.column("pos").chunk(0), data.column("forces").chunk(0)
    # The float values are the table's memory, not a copy; offsets are its int64 offsets.
    assert pos.values.values.buffers()[1].address == table.arrays["pos"].ctypes.data
    assert forces.values.values.buffers()[1].address == table.arrays["forces"].ctypes.data  # with nulls too
    assert pos.buffers()[1].address == table.offsets.ctypes.data
    assert np.shares_memory(atomblock.Table.from_arrow(data).arrays["pos"], table.arrays["pos"])
    atomblock.write("t.parquet", table)  # a table read from a file is the caller's to change
    for read in (atomblock.read_table("t.parquet")[0], next(atomblock.iread("t.parquet"))):
        read.arrays["pos"][0, 0] = read.arrays["species"][0] = read.pbc[0] = 1
    types = {field.name: str(field.type) for field in data.schema}
    assert types == {
        "natoms": "int64", "species": "large_list<item: large_string>",
        "pos": "large_list<item: fixed_size_list<item: double>[3]>",
        "forces": "large_list<item: fixed_size_list<item: double>[3]>", "energy": "double",
        "stress": "fixed_size_list<item: double>[9]", "cell": "fixed_size_list<item: double>[9]",
        "pbc": "fixed_size_list<item: bool>[3]", "_properties": "dictionary<values=string, indices=int32, ordered=0>",
        "_info_keys": "dictionary<values=string, indices=int32, ordered=0>"}
    # Absent values are nulls; the stress is listed column by column, as the comment line lists it.
    assert data.column("forces").is_valid().to_pylist() == [True, False, False]
    assert data.column("cell").is_valid().to_pylist() == [True, False, True]
    assert data.column("stress").to_pylist()[0] == frames[0].info["stress"].T.ravel().tolist()
    assert data.column("cell").to_pylist()[2] == frames[2].cell.ravel().tolist()
    assert data.column("_properties").to_pylist() == ['["species", "pos", "forces"]', '["species", "pos"]',
                                                      '["species", "pos"]']


def test_parquet_is_read_by_duckdb_and_pyarrow_dataset(tmp_path):
    duckdb = pytest.importorskip("duckdb")
    import pyarrow.dataset as ds

    frames = [frame(n, arrays={"forces": grid((n, 3))}, info={"config_type": t})
              for n, t in zip([3, 5, 2, 4], "abab", strict=True)]
    table = atomblock.Table(frames)
    path = str(tmp_path / "d.parquet")
    atomblock.write(path, table)
    sums = duckdb.sql(f"SELECT config_type, sum(energy), sum(natoms) FROM '{path}' GROUP BY 1 ORDER BY 1").fetchall()
    ctype, energy = table.info["config_type"], table.info["energy"]
    assert sums == [(t, energy[ctype == t].sum(), int(table.natoms[ctype == t].sum())) for t in "ab"]
    forces = duckdb.sql(f"""SELECT s, avg(f[1]) FROM (SELECT unnest(species) AS s, unnest(forces) AS f
                           FROM '{path}') GROUP BY 1 ORDER BY 1""").fetchall()
    species, fx = table.arrays["species"], table.arrays["forces"][:, 0]
    names = sorted(set(species.tolist()))
    assert [s for s, _ in forces] == names
    assert [m for _, m in forces] == pytest.approx([fx[species == s].mean() for s in names], rel=1e-12)
    read = ds.dataset(path).to_table()
    assert read.column("natoms").to_pylist() == table.natoms.tolist()
    assert np.array_equal(np.array(read.column("pos").to_pylist()[1]), frames[1].arrays["pos"])


@pytest.mark.parametrize("index", [":", "1:4", "::2", "-2:", 3, -1, "1:100:3", "4::-2"])
def test_parquet_selection_as_the_extxyz_reader_gives_it(tmp_path, monkeypatch, index):
    monkeypatch.setattr(_arrow, "BATCH_FRAMES", 2)  # iread crosses record batches
    frames = [frame(k % 3, info={"stress": grid((3, 3))}) for k in range(7)]
    atomblock.write(tmp_path / "a.xyz", frames)
    atomblock.write(tmp_path / "a.parquet", frames)
    want = atomblock.read(tmp_path / "a.xyz", index)
    assert atomblock.read(tmp_path / "a.parquet", index) == want
    assert list(atomblock.iread(tmp_path / "a.parquet", index)) == ([want] if isinstance(index, int) else want)
    assert atomblock.read_table(tmp_path / "a.parquet", index, arrays=["pos"], info=[]) == \
        atomblock.read_table(tmp_path / "a.xyz", index, arrays=["pos"], info=[])


@pytest.mark.parametrize(("call", "error", "match"), [
    (lambda p: atomblock.read(p, 9), IndexError, "frame index 9 out of range"),
    (lambda p: atomblock.write(p, [frame(1)], append=True), ValueError, "written whole"),
    (lambda p: atomblock.Table.from_arrow(pa.table({"x": [1]})), ValueError, "needs a 'natoms' column"),
    (lambda p: atomblock.Table.from_arrow(pa.table({"natoms": [2], "pos": pa.array([[[0.0] * 3]], pa.large_list(
        pa.list_(pa.float64(), 3)))})), ValueError, "frame 0 has 1 values for 2 atoms"),
    (lambda p: atomblock.Table.from_arrow({"natoms": [1]}), TypeError, "pyarrow.Table or RecordBatch"),
])
def test_refusals(tmp_path, call, error, match):
    path = tmp_path / "a.parquet"
    atomblock.write(path, [frame(1)])
    with pytest.raises(error, match=match):
        call(path)


def test_a_failed_write_leaves_the_old_parquet_file(tmp_path):
    path = tmp_path / "a.parquet"
    atomblock.write(path, [frame(2)])
    old = path.read_bytes()

    def frames():
        yield frame(1)
        raise RuntimeError("stop")

    with pytest.raises(RuntimeError, match="stop"):
        atomblock.write(path, frames())
    assert path.read_bytes() == old and [p.name for p in tmp_path.iterdir()] == ["a.parquet"]


def test_cli_converts_to_parquet_and_back(tmp_path, capsys):
    atomblock.write(tmp_path / "a.xyz", cases()["3x3 stress, missing keys"])
    assert cli_main(["convert", str(tmp_path / "a.xyz"), str(tmp_path / "a.parquet")]) == 0
    assert cli_main(["convert", str(tmp_path / "a.parquet"), str(tmp_path / "b.xyz")]) == 0
    assert (tmp_path / "b.xyz").read_bytes() == (tmp_path / "a.xyz").read_bytes()


def test_without_pyarrow_the_error_names_the_extra(tmp_path, monkeypatch):
    atomblock.write(tmp_path / "a.parquet", [frame(1)])
    real_import = builtins.__import__

    def no_pyarrow(name, *args, **kwargs):
        if name == "pyarrow" or name.startswith("pyarrow."):
            raise ImportError(f"No module named {name!r}")
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_pyarrow)
    for name in [m for m in sys.modules if m == "pyarrow" or m.startswith("pyarrow.")]:
        monkeypatch.delitem(sys.modules, name)
    table = atomblock.Table([frame(1)])
    for call in (table.to_arrow, lambda: atomblock.read_table(tmp_path / "a.parquet"),
                 lambda: atomblock.write(tmp_path / "b.parquet", table)):
        with pytest.raises(ImportError, match=r'pip install "atomblock\[arrow\]"'):
            call()


@pytest.mark.parametrize("values", [["H", "He", "", "Si"], ["é", "H"], ["a b", "~"], ["H"] * 3])
def test_str_columns_to_arrow_text(values):
    # ASCII columns are laid out natively, others by pyarrow: the same strings either way.
    flat = np.array(values)
    assert _arrow._strings(pa, flat).to_pylist() == flat.tolist()
