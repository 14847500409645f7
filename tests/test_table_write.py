"""Writing a Table natively: the same bytes as writing its frames one by one (the oracle), on
generated tables, for both float formats, one or two workers and ranges of any size; and the
same partial output and error when a frame cannot be written."""
import gzip
import io

import numpy as np
import pytest
from test_package_table import dataset

import atomblock
from atomblock import _write


def written(frames, **kwargs):
    out = io.BytesIO()
    atomblock.write(out, frames, **kwargs)
    return out.getvalue()


def odd_info_frames():
    """Info values at the edges of the comment writer: quoting, "" (pbc moves before the
    pairs), texts that read as numbers, objects, one-item and empty arrays, 9-item and 2x2
    arrays (_JSON), int arrays and tensors, floats at the edges of their text, wide ints."""
    values = [
        {"s": "", "t": 'say "hi"\\', "n": 1.5, "i": -(2**63), "a": np.array([2.5]), "e": np.zeros(0)},
        {"s": "1.5", "t": "line\nbreak", "n": float("nan"), "i": 2**63 - 1, "a": np.array([-0.0])},
        {"s": "T", "o": {"k": [1, 2]}, "n": 5e-324, "m": np.ones((2, 2)), "stress": np.arange(9.0)},
        {"s": "plain", "o": None, "n": float("-inf"), "virial": np.arange(9).reshape(3, 3),
         "b": np.array([True, False])},
        {"s": "{x", "n": 1e16, "i": 7, "stress": np.arange(9.0).reshape(3, 3) * 1e-300, "ints": np.arange(3)},
    ]
    frames = []
    for k, info in enumerate(values):
        cell = None if k == 3 else np.full((3, 3), [1e-310, 0.1, 123456789.0][k % 3])
        pbc = [True, False, k % 2 == 0] if cell is None else None
        arrays = {"species": np.array(["H"] * k, dtype=str), "pos": np.full((k, 3), 0.1 * k)}
        frames.append(atomblock.Frame(arrays, info, cell=cell, pbc=pbc))
    return frames


TABLES = {
    "mixed layouts and keys": lambda: atomblock.Table(dataset(60, seed=3)),
    "odd info values": lambda: atomblock.Table(odd_info_frames()),
    "bare frames": lambda: atomblock.Table([atomblock.Frame(), atomblock.Frame({"pos": np.zeros((0, 3))}),
                                            atomblock.Frame(info={"x": 1}, pbc=[False, False, True])]),
    "sub-table": lambda: atomblock.Table(dataset(30, seed=5))[3:27:2],
    "sub-table without a key": lambda: atomblock.Table(  # keeps its parent's key orders, one of them unused
        [atomblock.Frame({"pos": np.zeros((1, 3))}, {"a": 1.0} if k % 2 else {"b": "x y"}) for k in range(6)])[::2],
    "no frames": lambda: atomblock.Table([]),
}


@pytest.mark.parametrize("rows", [1 << 14, 5])
@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("float_format", ["fixed", "shortest"])
@pytest.mark.parametrize("kind", list(TABLES))
def test_table_is_written_as_its_frames(kind, float_format, workers, rows, monkeypatch):
    table = TABLES[kind]()
    expected = written(list(table), float_format=float_format)
    monkeypatch.setattr(_write, "WRITE_ROWS", rows)  # ranges of about this many atom rows
    assert written(table, float_format=float_format, workers=workers) == expected


def broken(kind):
    """Four good frames, then one that cannot be written, then a good one."""
    frames = dataset(6, seed=1)
    species = {"empty species": ["H", ""], "blank in species": ["H", "H e"]}.get(kind, ["H", "He"])
    bad = atomblock.Frame({"species": np.array(species), "pos": np.zeros((2, 3))}, {"e": 1.0})
    if kind == "reserved key":
        bad.info["Lattice"] = 1.0  # set past the constructor
    elif kind == "unwritable value":
        bad.info["odd"] = np.zeros((0, 2), dtype=np.int64)
    frames[4] = bad
    return atomblock.Table(frames)


@pytest.mark.parametrize("kind", ["empty species", "blank in species", "reserved key", "unwritable value"])
@pytest.mark.parametrize("workers", [1, 2])
def test_faults_leave_the_frames_before_them(kind, workers, monkeypatch):
    table = broken(kind)
    monkeypatch.setattr(_write, "WRITE_ROWS", 3)
    outcomes = []
    for frames in (list(table), table):
        out = io.BytesIO()
        with pytest.raises((ValueError, TypeError)) as info:
            atomblock.write(out, frames, workers=workers)
        outcomes.append((out.getvalue(), type(info.value), str(info.value)))
    assert outcomes[0] == outcomes[1]
    assert outcomes[0][0] == written(list(table)[:4])


@pytest.mark.parametrize("dest", ["path", "gz path", "text file", "append"])
def test_table_destinations(dest, tmp_path, monkeypatch):
    table = TABLES["mixed layouts and keys"]()
    expected = written(list(table))
    monkeypatch.setattr(_write, "WRITE_ROWS", 7)
    path = tmp_path / ("out.xyz.gz" if dest == "gz path" else "out.xyz")
    if dest == "text file":
        with open(path, "w", encoding="utf-8") as f:
            atomblock.write(f, table, workers=2)
    elif dest == "append":
        atomblock.write(path, table[:10])
        atomblock.write(path, table[10:], append=True)
    else:
        atomblock.write(path, table, workers=2)
    got = gzip.decompress(path.read_bytes()) if dest == "gz path" else path.read_bytes()
    assert got == expected
