"""The command line `python -m atomblock`: exit statuses, check's fault lines, convert round
trips, info's fields and one-line errors, each run in a subprocess like a user would."""
import os
import re
import subprocess
import sys

import numpy as np
import pytest

atomblock = pytest.importorskip("atomblock")
if not hasattr(atomblock, "write"):
    pytest.skip("the atomblock package API is not built", allow_module_level=True)

RNG = np.random.default_rng(5)


def run_cli(*args, cwd=None):
    """`python -m atomblock ARGS` with this process's atomblock first on the path."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.dirname(os.path.abspath(atomblock.__file__))), env.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, "-m", "atomblock", *map(str, args)], capture_output=True,
                          text=True, env=env, cwd=cwd, timeout=120)


def frames(n=5):
    """Frames of growing size with random (not grid) floats, some with a cell."""
    out = []
    for k in range(n):
        natoms = 2 + k
        cell = np.diag(RNG.uniform(5, 10, 3)) if k % 2 else None
        out.append(atomblock.Frame(
            arrays={"species": RNG.choice(np.array(["H", "O", "Fe"]), natoms),
                    "pos": RNG.normal(0, 10, (natoms, 3)), "tags": RNG.integers(-5, 5, natoms)},
            info={"step": k, "energy": float(RNG.normal())}, cell=cell,
            pbc=None if cell is None else np.array([True, False, True])))
    return out


GOOD = "2\nProperties=species:S:1:pos:R:3\nH 0 0 0\nO 0 0 1.5\n"


@pytest.mark.parametrize("texts, status, fault_lines, summary", [
    ([GOOD + GOOD], 0, [], "no faults in 1 file checked"),
    ([GOOD + "1\n\nH 0 x 0\n"], 1, [(0, 7, 1)], "1 fault in 1 of 1 file checked"),
    ([GOOD + "1\n\nH 0 x 0\n" + GOOD + "2\n\nH 0 0 0\nO 0 0 y\n", GOOD], 1,
     [(0, 7, 1), (0, 15, 3)], "2 faults in 1 of 2 files checked"),
    ([GOOD, "x\n\n"], 1, [(1, 1, 0)], "1 fault in 1 of 2 files checked"),
], ids=["clean", "bad float", "two faults, two files", "bad count line"])
def test_check_prints_every_fault_like_a_compiler(tmp_path, texts, status, fault_lines, summary):
    paths = []
    for i, text in enumerate(texts):
        paths.append(tmp_path / f"f{i}.xyz")
        paths[-1].write_text(text, encoding="utf-8")
    proc = run_cli("check", *paths)
    assert proc.returncode == status, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[-1] == summary
    assert len(lines[:-1]) == len(fault_lines)
    for line, (file_no, line_no, frame_no) in zip(lines[:-1], fault_lines, strict=True):
        assert line.startswith(f"{paths[file_no]}:{line_no}: frame {frame_no}: "), line


@pytest.mark.parametrize("index, picked", [
    (":", slice(None)), ("::2", slice(None, None, 2)), ("1:4", slice(1, 4)), ("-2:", slice(-2, None)),
    ("-1", -1), ("0", 0),
])
@pytest.mark.parametrize("fmt, suffixes", [
    ("fixed", (".xyz", ".xyz")), ("fixed", (".xyz", ".xyz.gz")),
    ("shortest", (".xyz.bz2", ".xyz")), ("shortest", (".xyz", ".xyz.xz")),
])
def test_convert_copies_the_chosen_frames(tmp_path, index, picked, fmt, suffixes):
    src, dst = tmp_path / f"in{suffixes[0]}", tmp_path / f"out{suffixes[1]}"
    written = frames()
    atomblock.write(src, written, float_format=fmt)
    proc = run_cli("convert", src, dst, "--index", index, "--float-format", fmt)
    assert proc.returncode == 0, proc.stderr
    expected = atomblock.read(src, ":")
    expected = [expected[picked]] if isinstance(picked, int) else expected[picked]
    got = atomblock.read(dst, ":")
    assert len(got) == len(expected)
    for a, b in zip(got, expected, strict=True):
        assert list(a.arrays) == list(b.arrays) and a.info == b.info
        for name in a.arrays:
            np.testing.assert_array_equal(a.arrays[name], b.arrays[name], err_msg=name)
        assert (a.cell is None) == (b.cell is None) and np.array_equal(a.pbc, b.pbc)
    if fmt == "shortest":  # the shortest text reads back to the very same binary64 values
        originals = written[picked] if isinstance(picked, slice) else [written[picked]]
        for a, b in zip(got, originals, strict=True):
            assert np.array_equal(a.arrays["pos"], b.arrays["pos"])
    if index == ":" and suffixes == (".xyz", ".xyz"):  # canonical files are copied byte for byte
        assert dst.read_bytes() == src.read_bytes()


def test_convert_append_adds_frames(tmp_path):
    src, dst = tmp_path / "in.xyz", tmp_path / "out.xyz"
    atomblock.write(src, frames(3))
    for _ in range(2):
        assert run_cli("convert", src, dst, "--index", "-1", "--append", "--workers", "2").returncode == 0
    last = atomblock.read(src, -1)
    got = atomblock.read(dst, ":")
    assert len(got) == 2
    for frame in got:
        np.testing.assert_array_equal(frame.arrays["pos"], last.arrays["pos"])


@pytest.mark.parametrize("args, message", [
    (["convert", "{d}/missing.xyz", "{d}/out.xyz"], r"missing\.xyz"),
    (["info", "{d}/missing.xyz"], r"missing\.xyz"),
    (["convert", "{d}/in.xyz", "{d}/out.xyz", "--index", "1:x"], r"bad index '1:x'"),
    (["convert", "{d}/in.xyz", "{d}/out.xyz", "--index", "::0"], r"bad index '::0'"),
    (["convert", "{d}/in.xyz", "{d}/out.xyz", "--index", "7"], r"7"),
    (["convert", "{d}/in.xyz", "{d}/in.xyz"], r"input file"),
    (["info", "{d}/bad.xyz"], r"bad\.xyz:3: frame 0: "),
    ([], r"usage:"),
])
def test_errors_are_one_line_with_status_2(tmp_path, args, message):
    atomblock.write(tmp_path / "in.xyz", frames(3))
    (tmp_path / "bad.xyz").write_text("1\n\nH 0 0 zero\n", encoding="utf-8")
    proc = run_cli(*[a.format(d=tmp_path) for a in args])
    assert proc.returncode == 2
    assert "Traceback" not in proc.stderr
    assert re.search(message, proc.stderr), proc.stderr
    if args:
        assert len(proc.stderr.strip().splitlines()) == 1, proc.stderr
    assert not (tmp_path / "out.xyz").exists()


def test_info_reports_every_field(tmp_path):
    path = tmp_path / "t.xyz"
    atomblock.write(path, [
        atomblock.Frame(arrays={"species": np.array(["H"] * 3), "pos": np.zeros((3, 3))}, info={"energy": 1.5}),
        atomblock.Frame(arrays={"species": np.array(["O"] * 5), "pos": np.ones((5, 3)),
                                "forces": np.ones((5, 3))}, info={"energy": 2.0, "step": 7},
                        cell=np.diag([2.0, 3.0, 4.0]), pbc=np.array([True, True, False]))])
    proc = run_cli("info", path)
    assert proc.returncode == 0, proc.stderr
    fields = dict(re.split(r"\s{2,}", line.strip(), maxsplit=1) for line in proc.stdout.splitlines()[1:])
    assert proc.stdout.splitlines()[0] == str(path)
    assert fields == {
        "frames": "2",
        "atoms": "8 total, per frame 3 min, 5 max",
        "properties": "species:S:1, pos:R:3, forces:R:3 (1 of 2)",
        "info keys": "energy, step (1 of 2)",
        "cell": "1 of 2 frames; first: vector lengths 2 3 4; volume 24",
        "pbc": "F F F (1 of 2), T T F (1 of 2)",
    }


@pytest.mark.parametrize("args, expected", [
    (["--help"], "info"), (["info", "--help"], "FILE"), (["check", "--help"], "Exit status"),
    (["convert", "--help"], "--float-format"), (["--version"], "atomblock "),
])
def test_help_and_version(args, expected):
    proc = run_cli(*args)
    assert proc.returncode == 0 and expected in proc.stdout, proc.stderr


def test_progress_bar_or_one_note_without_tqdm(tmp_path):
    src, dst = tmp_path / "in.xyz", tmp_path / "out.xyz"
    atomblock.write(src, frames(3))
    proc = run_cli("convert", src, dst, "--progress")
    assert proc.returncode == 0, proc.stderr
    assert atomblock.read(dst, ":") == atomblock.read(src, ":")
    try:
        import tqdm  # noqa: F401
    except ImportError:
        assert proc.stderr.splitlines() == [
            "python -m atomblock: note: --progress needs the tqdm package (pip install tqdm); continuing without it"]
    else:  # the bar ends at the input's size in bytes
        assert "in.xyz: 100%" in proc.stderr and "B/s" in proc.stderr, proc.stderr
