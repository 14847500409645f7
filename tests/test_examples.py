"""The examples on the atomblock package (the demo, the Parquet dataset on Dask) and the earlier
example file layer kept as the benchmark's baseline (bench/old_extxyz.py): it must read and
write the same data as the package, or the comparison means nothing."""
import io
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES, BENCH = ROOT / "examples", ROOT / "bench"
if not (BENCH / "old_extxyz.py").is_file() or not (EXAMPLES / "demo.py").is_file():
    pytest.skip("examples/ and bench/ are not beside the tests", allow_module_level=True)
sys.path.insert(0, str(EXAMPLES))
sys.path.insert(0, str(BENCH))
import old_extxyz as extxyz  # noqa: E402

RNG = np.random.default_rng(11)


def grid(shape, scale=50.0):
    """Random values that survive "%16.8f" exactly (multiples of 1/256)."""
    return np.round(RNG.uniform(-scale, scale, shape) * 256) / 256


def frame(props, **info):
    natoms = len(next(iter(props.values()))) if props else 0
    return extxyz.Frame(natoms, props, {k: str(v) for k, v in info.items()})


FRAMES = {
    "species+pos": [frame({"species": np.array(["O", "H", "H"]), "pos": grid((3, 3))})],
    "all types": [frame({
        "species": np.array(["Si", "H", "C", "O"]), "pos": grid((4, 3)), "forces": grid((4, 3), 3),
        "charge": grid(4), "tags": np.array([0, -7, 123456789, 2**62]),
        "fixed": np.array([True, False, True, False]), "mask": np.array([[True, False]] * 4)})],
    "non-ASCII and wide species": [frame({"species": np.array(["Ψ", "Fé", "Xyzzy", "H"]),
                                          "pos": grid((4, 3))})],
    "species not first": [frame({"pos": grid((2, 3)), "species": np.array(["H", "Na"]),
                                 "id": np.array([1, 2])})],
    "no species": [frame({"pos": grid((3, 3)), "energy_per_atom": grid(3)})],
    "no atoms": [frame({"species": np.array([], str), "pos": np.zeros((0, 3))})],
    "quoted info": [frame({"species": np.array(["C"]), "pos": grid((1, 3))},
                          Lattice="5.0 0 0 0 5.0 0 0 0 5.0", note='say "hi" \\ bye',
                          energy=-1.5, empty="")],
    "multi-frame, changing layout": [
        frame({"species": np.array(["H", "H"]), "pos": grid((2, 3))}, step=0),
        frame({"species": RNG.choice(np.array(["Cu", "Au"]), 50), "pos": grid((50, 3)),
               "fixed": RNG.random(50) < 0.5}, step=1),
        frame({"species": np.array(["Ar"]), "pos": grid((1, 3)), "velocities": grid((1, 3))}, step=2),
    ],
}


@pytest.mark.parametrize("frames", FRAMES.values(), ids=FRAMES.keys())
def test_round_trip(tmp_path, frames):
    path = tmp_path / "a.xyz"
    extxyz.write(path, frames)
    back = extxyz.read(path)
    assert len(back) == len(frames)
    for ours, theirs in zip(frames, back, strict=True):
        assert theirs.natoms == ours.natoms and theirs.info == ours.info
        assert list(theirs.properties) == list(ours.properties)
        for name, values in ours.properties.items():
            assert theirs.properties[name].dtype.kind == np.asarray(values).dtype.kind, name
            np.testing.assert_array_equal(theirs.properties[name], values, err_msg=name)
    extxyz.write(tmp_path / "b.xyz", back)
    assert (tmp_path / "b.xyz").read_bytes() == path.read_bytes()


CANONICAL = (
    "3\n"
    'Lattice="4.0 0.0 0.0 0.0 4.0 0.0 0.0 0.0 4.0" Properties=species:S:1:pos:R:3:tags:I:1:fixed:L:1'
    ' energy=-3.25 pbc="T T T" relaxed\n'
    "Si       0.00000000       0.50000000      -1.25000000        3  T\n"
    "H        1.00000000       2.00000000       3.00000000        0  F\n"
    "Fé      -0.12500000      10.00000000       0.00000000       -2  F\n"
    "1\n"
    "Properties=species:S:1:pos:R:3\n"
    "H " + " %16s %16s %16s\n" % ("NaN", "inf", "-inf")  # one letter: still two wide
)


def test_canonical_file_reads_and_rewrites_byte_for_byte():
    frames = extxyz.read(io.StringIO(CANONICAL))
    first = frames[0]
    assert first.info == {"Lattice": "4.0 0.0 0.0 0.0 4.0 0.0 0.0 0.0 4.0", "energy": "-3.25",
                          "pbc": "T T T", "relaxed": None}
    assert first.properties["species"].tolist() == ["Si", "H", "Fé"]
    np.testing.assert_array_equal(first.properties["pos"][2], [-0.125, 10.0, 0.0])
    assert first.properties["tags"].tolist() == [3, 0, -2]
    assert first.properties["fixed"].tolist() == [True, False, False]
    out = io.StringIO()
    extxyz.write(out, frames)
    assert out.getvalue() == CANONICAL


def test_atom_block_matches_percent_formatting():
    f = FRAMES["all types"][0]
    p = f.properties
    fmt = " ".join(["%-2s"] + ["%16.8f"] * 7 + ["%8d"] + [" %.1s"] * 3) + "\n"
    expected = "".join(
        fmt % (p["species"][i], *p["pos"][i], *p["forces"][i], p["charge"][i], p["tags"][i],
               p["fixed"][i], *p["mask"][i])
        for i in range(f.natoms))
    assert extxyz.atom_block(f, extxyz.layout_of(f)) == expected


@pytest.mark.parametrize("change, expected_comment", [
    (lambda f: f.info.update(energy="2.0"),
     'Properties=species:S:1:pos:R:3 energy=2.0 note="a b"'),
    (lambda f: f.properties.pop("pos"), 'Properties=species:S:1 energy=-1 note="a b"'),
    (lambda f: f.info.clear(), "Properties=species:S:1:pos:R:3"),
    (lambda f: None, 'energy=-1   note="a b"'),  # unchanged: the line as read, spacing and all
])
def test_comment_rebuilt_only_when_it_no_longer_fits(change, expected_comment):
    f = extxyz.read(io.StringIO('1\nenergy=-1   note="a b"\nH 1 2 3\n'))[0]
    change(f)
    out = io.StringIO()
    extxyz.write(out, f)
    assert out.getvalue().splitlines()[1] == expected_comment
    assert extxyz.read(io.StringIO(out.getvalue()))[0].info == f.info


GOOD = "2\nProperties=species:S:1:pos:R:3\nH 0 0 0\nH 0 0 0.74\n"


@pytest.mark.parametrize("bad, message", [
    ("2\n\nH 0 0 0\nH 0 zero 1\n", r"line 8: cannot parse \"zero\" as float"),
    ("2\n\nH 0 0 0\n", r"frame 1 ends after 1 of 2 atom lines"),
    ("two\n\n", r"line 5: frame 1: bad atom count 'two'"),
    ("1\nProperties=species:S:1:n:I:1\nH 1.5\n", r'line 7: cannot parse "1.5" as int'),
    ("1\nProperties=species:Q:1\nH\n", r"bad column species:Q:1"),
    ("\n\n1\n\nH 0 0 0\n", r"line 5: blank line"),
])
def test_reading_is_lazy_and_errors_name_the_line(tmp_path, bad, message):
    path = tmp_path / "t.xyz"
    path.write_text(GOOD + bad, encoding="utf-8")
    frames = extxyz.iread(path)
    first = next(frames)
    assert first.properties["pos"][1, 2] == 0.74
    with pytest.raises(ValueError, match=message):
        next(frames)


def test_two_string_columns_are_refused_on_write():
    f = frame({"species": np.array(["H"]), "label": np.array(["a"]), "pos": np.zeros((1, 3))})
    with pytest.raises(ValueError, match="one string column"):
        extxyz.write(io.StringIO(), f)


def package_env():
    """This process's environment with its atomblock package first on the path."""
    import atomblock

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(os.path.dirname(os.path.abspath(atomblock.__file__))),
                                         env.get("PYTHONPATH", "")])
    return env


def test_demo_runs_and_checks_its_round_trip():
    proc = subprocess.run([sys.executable, str(EXAMPLES / "demo.py"), "--large", "2000"],
                          capture_output=True, text=True, env=package_env(), timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "copy byte-identical" in proc.stdout and "round trip ok" in proc.stdout.splitlines()[-1]
    assert "  atoms       3,003 total, per frame 3 min, 2,000 max" in proc.stdout


def test_parquet_dataset_on_a_local_dask_cluster(tmp_path, monkeypatch):
    distributed = pytest.importorskip("dask.distributed")
    pytest.importorskip("dask.dataframe")
    pytest.importorskip("duckdb")
    import atomblock

    import parquet_dataset

    paths = parquet_dataset.make_demo(tmp_path / "data", files=2, frames=30)
    monkeypatch.chdir(tmp_path)  # relative paths: the workers get absolute ones
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        assert parquet_dataset.convert("data/*.xyz*", "out", bytes_per_partition="8 KiB") == 60
    assert len(list((tmp_path / "out").glob("*.parquet"))) > 2  # the plain file split, the .gz one part
    table = atomblock.Table([f for path in paths for f in atomblock.read(path, ":")])
    kinds, energy = table.info["config_type"], table.info["energy"]
    assert [row[:2] for row in parquet_dataset.energies_per_config_type("out")] == \
        [("bulk", 30), ("molecule", 30)]
    assert [row[2] for row in parquet_dataset.energies_per_config_type("out")] == pytest.approx(
        [energy[kinds == k].mean() for k in ("bulk", "molecule")], rel=1e-12)
    species, norms = table.arrays["species"], np.linalg.norm(table.arrays["forces"], axis=1)
    got = parquet_dataset.mean_force_per_species("out")
    assert [(s, n) for s, n, _ in got] == [(s, int((species == s).sum())) for s in ("H", "O", "Si")]
    assert [f for _, _, f in got] == pytest.approx([norms[species == s].mean() for s in ("H", "O", "Si")],
                                                   rel=1e-12)
