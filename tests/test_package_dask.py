"""atomblock.dask.read_table: files split into partitions of whole frames, one schema over all
files, and a directory read on a real two-process LocalCluster equal to reading each file here."""
import builtins
import gzip
import sys

import numpy as np
import pytest

import atomblock

dd = pytest.importorskip("dask.dataframe", reason="Dask's DataFrame is not installed (the dask extra)")
distributed = pytest.importorskip("distributed", reason="dask.distributed is not installed (the dask extra)")
pa = pytest.importorskip("pyarrow", reason="pyarrow is not installed (the dask extra)")
import dask  # noqa: E402

import atomblock.dask  # noqa: E402

RNG = np.random.default_rng(8)


def grid(shape, scale=20.0):
    return np.round(RNG.uniform(-scale, scale, shape) * 256) / 256


def frames(count, natoms=None, **info):
    out = []
    for k in range(count):
        n = int(RNG.integers(0, 6)) if natoms is None else natoms
        out.append(atomblock.Frame(
            {"species": RNG.choice(np.array(["H", "C"]), n), "pos": grid((n, 3)), "forces": grid((n, 3))},
            {"energy": float(grid(())), "config_type": "ab"[k % 2], **({"stress": grid((3, 3))} if k % 3 else {}),
             **info}, cell=np.diag([9.0, 9.0, 9.0]) if k % 2 else None))
    return out


def as_table(df):
    """A computed partition or DataFrame as a Table (no atomblock metadata: pandas drops it)."""
    return atomblock.Table.from_arrow(pa.Table.from_pandas(df, preserve_index=False))


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) \
            as cluster, distributed.Client(cluster) as c:
        yield c


def test_a_directory_on_a_local_cluster_equals_each_file_read_here(client, tmp_path, monkeypatch):
    duckdb = pytest.importorskip("duckdb")
    data = tmp_path / "data"
    data.mkdir()
    atomblock.write(data / "a_big.xyz", frames(60))
    atomblock.write(data / "b.xyz.gz", frames(5, natoms=3, extra=1))
    atomblock.write(data / "c.xyz.gz", frames(4))
    monkeypatch.chdir(tmp_path)  # a relative pattern: the workers get absolute paths
    df = atomblock.dask.read_table("data/*", bytes_per_partition="2 KiB")
    sizes = df.map_partitions(len).compute().tolist()
    files = sorted(data.iterdir())
    want = atomblock.Table([f for path in files for f in atomblock.read_table(path)])
    assert sum(sizes) == len(want) and len(sizes) >= 6 and sizes[-2:] == [5, 4]  # the big file split, .gz whole
    assert as_table(df.compute()) == want
    df.to_parquet(tmp_path / "out", write_index=False)  # converted on the workers
    parts = sorted((tmp_path / "out").glob("*.parquet"), key=lambda p: int(p.stem.split(".")[1]))
    assert atomblock.Table([f for path in parts for f in atomblock.read_table(path)]) == want
    energies = duckdb.sql(f"SELECT config_type, sum(energy) FROM '{tmp_path / 'out'}/*.parquet'"
                          " GROUP BY 1 ORDER BY 1").fetchall()
    kinds = want.info["config_type"]
    assert [k for k, _ in energies] == ["a", "b"]
    assert [e for _, e in energies] == pytest.approx([want.info["energy"][kinds == k].sum() for k in "ab"])


@pytest.mark.parametrize(("name", "where"), [("bad.xyz.gz", r"bad\.xyz\.gz:6"),
                                             ("bad.xyz", r"bad\.xyz:6: frame 1:")])
def test_a_fault_is_raised_from_the_worker_at_its_place(client, tmp_path, name, where):
    text = b"1\n\nH 0 0 0\n1\n\nH 0 0\n"
    (tmp_path / name).write_bytes(gzip.compress(text) if name.endswith(".gz") else text)
    df = atomblock.dask.read_table(tmp_path / name, frames_per_partition=1)
    with pytest.raises(atomblock.ExtxyzError, match=where):  # the file's line and frame, not the part's
        df.compute()


# Ten frames of one size S: (frames_per_partition, bytes_per_partition in units of S) -> frames per partition.
SPLITS = [
    (None, None, [10]),
    (3, None, [3, 3, 3, 1]),
    (None, 2.5, [2, 2, 2, 2, 2]),
    (4, 3.5, [3, 3, 3, 1]),
    (None, 0.1, [1] * 10),  # a frame bigger than the bound is a partition of its own
]


@pytest.mark.parametrize(("per_frames", "per_size", "sizes"), SPLITS)
def test_a_file_splits_at_frame_boundaries(tmp_path, per_frames, per_size, sizes):
    atomblock.write(tmp_path / "a.xyz", frames(10, natoms=4))
    size = (tmp_path / "a.xyz").stat().st_size / 10
    with dask.config.set(scheduler="sync"):
        df = atomblock.dask.read_table(tmp_path / "a.xyz", frames_per_partition=per_frames,
                                       bytes_per_partition=None if per_size is None else int(per_size * size))
        assert df.map_partitions(len).compute().tolist() == sizes
        assert as_table(df.compute()) == atomblock.read_table(tmp_path / "a.xyz")


# Files whose types differ: the DataFrame's columns follow the Table's rules for the frames together.
UNIONS = {
    "int and float info widen": ({"k": 1}, {"k": 2.5}, "double"),
    "int and str info as text": ({"k": 1}, {"k": "one"}, "struct<extxyz: large_string>"),
    "arrays of different lengths as text": ({"k": np.array([1.0, 2.0])}, {"k": np.array([1.0, 2.0, 3.0])},
                                            "struct<extxyz: large_string>"),
    "a key in one file only": ({"k": True}, {}, "bool"),
}


@pytest.mark.parametrize(("first", "second", "typ"), UNIONS.values(), ids=UNIONS.keys())
def test_one_schema_over_files_of_different_types(tmp_path, first, second, typ):
    atomblock.write(tmp_path / "a.xyz", frames(2, **first))
    atomblock.write(tmp_path / "b.xyz", frames(3, **second))
    with dask.config.set(scheduler="sync"):
        df = atomblock.dask.read_table([tmp_path / "a.xyz", tmp_path / "b.xyz"])
        assert str(df.dtypes["k"].pyarrow_dtype) == typ
        assert as_table(df.compute()) == atomblock.Table(
            [*atomblock.read(tmp_path / "a.xyz", ":"), *atomblock.read(tmp_path / "b.xyz", ":")])


@pytest.mark.parametrize(("call", "error", "match"), [
    (lambda p: atomblock.dask.read_table(p / "none*.xyz"), FileNotFoundError, "no file matches"),
    (lambda p: atomblock.dask.read_table(p / "a.xyz", bytes_per_partition="lots"), ValueError, "not a size"),
    (lambda p: atomblock.dask.read_table([p / "a.xyz", p / "s.xyz"]), ValueError,
     r"column 'q': .* in another \(.*s\.xyz\)"),
])
def test_refusals(tmp_path, call, error, match):
    atomblock.write(tmp_path / "a.xyz", [atomblock.Frame({"q": np.array([1.5])})])
    atomblock.write(tmp_path / "s.xyz", [atomblock.Frame({"q": np.array(["x"])})])
    with dask.config.set(scheduler="sync"), pytest.raises(error, match=match):
        call(tmp_path)


def test_without_dask_the_error_names_the_extra(tmp_path, monkeypatch):
    real_import = builtins.__import__

    def no_dask(name, *args, **kwargs):
        if name == "dask" or name.startswith("dask."):
            raise ImportError(f"No module named {name!r}")
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_dask)
    for name in [m for m in sys.modules if m == "dask" or m.startswith("dask.")]:
        monkeypatch.delitem(sys.modules, name)
    with pytest.raises(ImportError, match=r'pip install "atomblock\[dask\]"'):
        atomblock.dask.read_table(tmp_path)
