"""The command line `python -m atomblock`: exit statuses, check's fault and note lines, convert
round trips (onto itself too), `-` for standard input and output, info's fields and one-line
errors, run in a subprocess like a user would (check's bookkeeping also against fake packages)."""
import argparse
import gzip
import io
import os
import re
import stat
import subprocess
import sys

import numpy as np
import pytest

atomblock = pytest.importorskip("atomblock")
if not hasattr(atomblock, "write"):
    pytest.skip("the atomblock package API is not built", allow_module_level=True)

RNG = np.random.default_rng(5)


def run_cli(*args, cwd=None, stdin=b""):
    """`python -m atomblock ARGS` with this process's atomblock first on the path, `stdin` as its
    standard input; stdout and stderr decoded as UTF-8."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.dirname(os.path.abspath(atomblock.__file__))), env.get("PYTHONPATH", "")])
    proc = subprocess.run([sys.executable, "-m", "atomblock", *map(str, args)], capture_output=True,
                          input=stdin, env=env, cwd=cwd, timeout=120)
    proc.stdout, proc.stderr = proc.stdout.decode("utf-8"), proc.stderr.decode("utf-8")
    return proc


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
    ("-1", -1), ("0", 0), (" -4 : -1 ", slice(-4, -1)),
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
    (["convert", "{d}/in.xyz", "{d}/in.xyz", "--append"], r"is the input file; --append"),
    (["info", "{d}/bad.xyz"], r"bad\.xyz:2: frame 0: bad Properties"),
    (["stats", "{d}/bad.xyz"], r"bad\.xyz:2: frame 0: bad Properties"),
    (["stats", "{d}/missing.xyz"], r"missing\.xyz"),
    (["stats", "{d}/in.xyz", "--info", "energy", "--info", "nope"], r"no frame of \S*in\.xyz defines .*'nope'"),
    (["stats", "{d}/in.xyz", "{d}/in.xyz", "--info", "nope"], r"no frame of any of the 2 files defines .*'nope'"),
    (["stats", "{d}/in.xyz", "--info", "label"], r"in\.xyz: info key 'label' is not numeric \(str values\)"),
    (["stats", "{d}/in.xyz", "--index", "9"], r"9"),
    ([], r"usage:"),
])
def test_errors_are_one_line_with_status_2(tmp_path, args, message):
    atomblock.write(tmp_path / "in.xyz", [atomblock.Frame(f.arrays, {**f.info, "label": "a b"}) for f in frames(3)])
    (tmp_path / "bad.xyz").write_text("1\nProperties=species:S:1:pos:X:3\nH 0 0 0\n", encoding="utf-8")
    proc = run_cli(*[a.format(d=tmp_path) for a in args])
    assert proc.returncode == 2
    assert "Traceback" not in proc.stderr
    assert re.search(message, proc.stderr), proc.stderr
    if args:
        assert len(proc.stderr.strip().splitlines()) == 1, proc.stderr
    assert not (tmp_path / "out.xyz").exists()


@pytest.mark.parametrize("edit", [
    lambda text: text,
    lambda text: text.replace(b"0.00000000", b"zero", 1),  # info reads no atom line: check finds this
    lambda text: text.replace(b"species:S:1:pos:R:3", b"species:s:1:pos:r:03"),  # as the reader takes it
], ids=["as written", "atom-line fault unseen", "Properties spelled loosely"])
def test_info_reports_every_field(tmp_path, edit):
    path = tmp_path / "t.xyz"
    atomblock.write(path, [
        atomblock.Frame(arrays={"species": np.array(["H"] * 3), "pos": np.zeros((3, 3))}, info={"energy": 1.5}),
        atomblock.Frame(arrays={"species": np.array(["O"] * 5), "pos": np.ones((5, 3)),
                                "forces": np.ones((5, 3))}, info={"energy": 2.0, "step": 7},
                        cell=np.diag([2.0, 3.0, 4.0]), pbc=np.array([True, True, False]))])
    path.write_bytes(edit(path.read_bytes()))
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


def stats_frames():
    """Frames with every kind of info value: floats, ints widened to floats, a 3x3 stress in
    some frames, arrays whose length differs, a NaN-free int key, a str and a bool key."""
    out = []
    for k in range(7):
        natoms = int(RNG.integers(0, 6))
        info = {"energy": float(RNG.normal(0, 50)), "step": k * 3 - 4, "charge": k if k % 3 else k + 0.5,
                "dipole": RNG.normal(size=1 + k % 3), "label": f"run {k}", "ok": bool(k % 2)}
        if k % 2:
            info["stress"] = RNG.normal(size=(3, 3))
        out.append(atomblock.Frame({"species": ["H"] * natoms, "pos": RNG.normal(size=(natoms, 3))}, info))
    return out


def expected_stats(read_frames, key):
    """(frames, min, mean, max) of one info key (or natoms) over every element, by NumPy on read()."""
    values = [np.asarray(frame.natoms if key == "natoms" else frame.info[key]).reshape(-1)
              for frame in read_frames if key == "natoms" or key in frame.info]
    flat = np.concatenate(values)
    return len(values), flat.min(), flat.mean(), flat.max()


@pytest.mark.parametrize("index, keys", [
    (":", None), ("1::2", None), (":", ["stress", "energy"]), ("-1", ["charge"]),
])
def test_stats_match_numpy_over_read(tmp_path, index, keys):
    path = tmp_path / "s.xyz"
    atomblock.write(path, stats_frames())
    read_frames = atomblock.read(path, index)
    read_frames = read_frames if isinstance(read_frames, list) else [read_frames]
    options = ["--index", index, *(f"--info={key}" for key in keys or ())]
    proc = run_cli("stats", path, *options, "--json")
    assert proc.returncode == 0, proc.stderr
    (got,) = __import__("json").loads(proc.stdout)
    numeric = [key for key in ("energy", "step", "charge", "dipole", "stress")
               if any(key in frame.info for frame in read_frames)]
    assert list(got["info"]) == (keys or numeric)
    assert got["not_numeric"] == ({} if keys else {"label": "str", "ok": "bool"})
    rows = {"natoms": got["natoms"], **got["info"]}
    for key, row in rows.items():
        frames_with, low, mean, high = expected_stats(read_frames, key)
        assert (row["frames"], row["min"], row["max"]) == (frames_with, low, high), key
        assert row["mean"] == pytest.approx(mean, rel=1e-12), key
    for key, shape in {"energy": [], "stress": [3, 3], "dipole": None}.items():  # None: it differs between frames
        assert got["info"].get(key, {"shape": shape})["shape"] == shape, key
    # The text form: a header, one aligned row per key with the same figures, the left-out keys.
    text = run_cli("stats", path, *options).stdout.splitlines()
    assert text[0] == str(path) and text[1].split() == ["key", "frames", "min", "mean", "max"]
    assert len({len(line) for line in text[1:len(rows) + 2]}) == 1  # right-aligned columns
    for line, (key, row) in zip(text[2:], rows.items(), strict=False):
        name, *figures = re.split(r"\s{2,}", line.strip())
        assert name.split(" (")[0] == key
        assert [float(x) for x in figures] == pytest.approx([row["frames"], row["min"], row["mean"], row["max"]],
                                                            rel=1e-7)
    assert text[len(rows) + 2:] == ([] if keys else ["  not numeric: label (str), ok (bool)"])


@pytest.mark.parametrize("args, expected", [
    (["--help"], "info"), (["info", "--help"], "FILE"), (["check", "--help"], "Exit status"),
    (["convert", "--help"], "--float-format"), (["stats", "--help"], "not per component"),
    (["--version"], "atomblock "),
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


def _reads_gzip_streams():
    try:
        return len(atomblock.read(io.BytesIO(gzip.compress(GOOD.encode())), ":")) == 1
    except Exception:
        return False


@pytest.mark.parametrize("packing", ["plain", "gzip"])
@pytest.mark.parametrize("command", ["info", "stats", "check", "convert to file", "convert to stdout"])
def test_dash_is_stdin_and_stdout(tmp_path, command, packing):
    if packing == "gzip" and not _reads_gzip_streams():
        pytest.skip("this atomblock does not recognise compressed streams")
    src = tmp_path / "in.xyz"
    atomblock.write(src, frames())
    text = src.read_bytes() + (b"1\n\nH 0 x 0\n" if command == "check" else b"")
    proc = run_cli(*{"info": ["info", "-"], "stats": ["stats", "-"], "check": ["check", "-"],
                     "convert to file": ["convert", "-", "out.xyz"],
                     "convert to stdout": ["convert", "-", "-"]}[command],
                   cwd=tmp_path, stdin=gzip.compress(text) if packing == "gzip" else text)
    assert proc.returncode == (1 if command == "check" else 0), proc.stderr
    if command in ("info", "stats"):  # the same summary as of the file, under the name <stdin>
        assert proc.stdout == run_cli(command, src).stdout.replace(str(src), "<stdin>", 1)
    elif command == "check":
        assert proc.stdout.splitlines() == [
            f'<stdin>:{len(src.read_bytes().splitlines()) + 3}: frame 5: cannot parse "x" as float: '
            "invalid float literal (column pos, expected R)",
            "1 fault in 1 of 1 file checked"]
    elif command == "convert to file":
        assert (tmp_path / "out.xyz").read_bytes() == text and not (tmp_path / "-").exists()
    else:
        assert proc.stdout.encode() == text and proc.stderr == ""


def test_check_goes_on_after_unreadable_files(tmp_path):
    good, bad, corrupt = tmp_path / "good.xyz", tmp_path / "bad.xyz", tmp_path / "corrupt.xyz.gz"
    good.write_text(GOOD, encoding="utf-8")
    bad.write_text("1\n\nH 0 x 0\n", encoding="utf-8")
    corrupt.write_bytes(gzip.compress(GOOD.encode() * 50)[:40])  # ends inside the deflate stream
    proc = run_cli("check", tmp_path / "missing.xyz", corrupt, tmp_path, good, bad)
    assert proc.returncode == 2 and "Traceback" not in proc.stderr, proc.stderr
    for unreadable in ("missing.xyz", str(tmp_path) + ":"):
        assert sum(unreadable in line for line in proc.stderr.splitlines()) == 1, proc.stderr
    assert "corrupt.xyz.gz" in proc.stdout + proc.stderr
    lines = proc.stdout.splitlines()
    assert any(line.startswith(f"{bad}:3: frame 0: ") for line in lines), lines
    assert lines[-1] in ("1 fault in 1 of 2 files checked; 3 files could not be read",  # corrupt.gz unreadable
                         "2 faults in 2 of 3 files checked; 2 files could not be read")  # or a fault in it


class Note:
    """A stand-in for the package's note type: the fields and text form of ExtxyzError."""

    def __init__(self, file, line, frame, what):
        self.file, self.line, self.frame, self.what = file, line, frame, what

    def __str__(self):
        return f"{self.file}:{self.line}: frame {self.frame}: {self.what}"


def fake_package(found, notes_parameter=True, note_type=True):
    """A package whose check gives `found[path]` (raising it when it is an exception), with
    notes only when asked for them; its calls are recorded. `note_type`: it exports Note."""
    calls = []

    def pick(path, notes):
        calls.append((path, notes))
        if isinstance(found[path], Exception):
            raise found[path]
        return [item for item in found[path] if notes or not isinstance(item, Note)]

    def check_with_notes(source, *, notes=False):
        return pick(source, notes)

    def check_without_notes(source):
        return pick(source, None)

    api = argparse.Namespace(check=check_with_notes if notes_parameter else check_without_notes,
                             ExtxyzError=atomblock.ExtxyzError, calls=calls)
    if notes_parameter and note_type:
        api.ExtxyzNote = Note
    return api


FOUND = {
    "a.xyz": [atomblock.ExtxyzError("a.xyz", 3, 0, "bad"), Note("a.xyz", 4, 0, "2 tokens beyond Properties")],
    "b.xyz": [Note("b.xyz", 9, 2, "1 token beyond Properties")],
    "c.xyz": [],
    "z.xyz.gz": EOFError("Compressed file ended before the end-of-stream marker was reached"),
    "d.xyz.xz": __import__("lzma").LZMAError(),
    "e.xyz": atomblock.ExtxyzError("e.xyz", 1, 0, "raised, not returned"),
}


FAULTS_AND_NOTES = ["a.xyz:3: frame 0: bad", "a.xyz:4: frame 0: note: 2 tokens beyond Properties",
                    "b.xyz:9: frame 2: note: 1 token beyond Properties", "1 fault in 1 of 3 files checked; 2 notes"]


@pytest.mark.parametrize("files, notes_parameter, status, out, err", [
    (["a.xyz", "b.xyz", "c.xyz"], True, 1, FAULTS_AND_NOTES, []),
    (["a.xyz", "b.xyz", "c.xyz"], "without the note type", 1, FAULTS_AND_NOTES, []),
    (["b.xyz", "c.xyz"], True, 0, ["b.xyz:9: frame 2: note: 1 token beyond Properties",
                                   "no faults in 2 files checked; 1 note"], []),
    (["a.xyz", "b.xyz"], False, 1, ["a.xyz:3: frame 0: bad", "1 fault in 1 of 2 files checked"], []),
    (["z.xyz.gz", "b.xyz", "d.xyz.xz", "e.xyz"], True, 2,
     ["b.xyz:9: frame 2: note: 1 token beyond Properties",
      "no faults in 1 file checked; 1 note; 3 files could not be read"],
     ["z.xyz.gz: cannot be read: EOFError: Compressed file ended before the end-of-stream marker was reached",
      "d.xyz.xz: cannot be read: LZMAError", "e.xyz:1: frame 0: raised, not returned"]),
], ids=["faults and notes", "note type not exported", "notes alone", "package without notes", "unreadable files"])
def test_check_counts_faults_notes_and_unreadable_files(capsys, files, notes_parameter, status, out, err):
    from atomblock import _cli

    api = fake_package(FOUND, bool(notes_parameter), note_type=notes_parameter is True)
    assert _cli.cmd_check(argparse.Namespace(files=files), api) == status
    captured = capsys.readouterr()
    assert captured.out.splitlines() == out
    assert captured.err.splitlines() == [f"{_cli.PROG}: error: {line}" for line in err]
    assert api.calls == [(path, True if notes_parameter else None) for path in files]


@pytest.mark.skipif(not hasattr(atomblock, "ExtxyzNote"), reason="this atomblock reports no notes")
def test_check_reports_extra_tokens_as_notes(tmp_path):
    path = tmp_path / "extra.xyz"
    path.write_text("2\nProperties=species:S:1:pos:R:3\nH 0 0 0 0.5\nO 0 0 1.5\n", encoding="utf-8")
    proc = run_cli("check", path)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert re.match(rf"{re.escape(str(path))}:\d+: frame 0: note: \S", lines[0]), lines
    assert lines[1:] == ["no faults in 1 file checked; 1 note"]


@pytest.mark.parametrize("suffix, index, extra, link", [
    (".xyz", ":", ["--float-format", "shortest"], False), (".xyz.gz", "1::2", [], False), (".xyz", "-1", [], False),
    (".xyz", "::2", [], True),
])
def test_convert_onto_itself_replaces_the_file(tmp_path, suffix, index, extra, link):
    path = tmp_path / f"t{suffix}"
    atomblock.write(path, frames(5))
    os.chmod(path, 0o640)
    expected = atomblock.read(path, index)
    expected = expected if isinstance(expected, list) else [expected]
    named = tmp_path / "sub" / "link.xyz" if link else path  # through a link: the file it points to
    if link:
        named.parent.mkdir()
        named.symlink_to(path)
    proc = run_cli("convert", path, named, "--index", index, *extra)
    assert proc.returncode == 0, proc.stderr
    assert named.is_symlink() == link  # and no temporary file is left anywhere:
    assert sorted(os.listdir(tmp_path)) == sorted([path.name, *(["sub"] if link else [])])
    got = atomblock.read(path, ":")
    assert [f.info for f in got] == [f.info for f in expected]
    for a, b in zip(got, expected, strict=True):
        np.testing.assert_allclose(a.arrays["pos"], b.arrays["pos"], rtol=0, atol=5e-9)
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o640


def test_convert_onto_itself_keeps_the_file_when_reading_fails(tmp_path):
    path = tmp_path / "t.xyz"
    atomblock.write(path, frames(3))
    before = path.read_bytes() + b"2\n\nH 0 0 0\n"  # the last frame ends early
    path.write_bytes(before)
    proc = run_cli("convert", path, path)
    assert proc.returncode == 2 and "Traceback" not in proc.stderr, proc.stderr
    assert path.read_bytes() == before and os.listdir(tmp_path) == [path.name]


@pytest.mark.parametrize("text, expected", [
    ("3", 3), (" -1 ", -1), ("+2", 2), (":", slice(None)), ("1 : 4", slice(1, 4)), (" : : 2 ", slice(None, None, 2)),
    ("-3:", slice(-3, None)), ("1:9:2", slice(1, 9, 2)), ("::-1", slice(None, None, -1)),
    ("1:x", None), ("::0", None), ("1:2:3:4", None), ("", None), (" ", None), ("a", None), ("1.5", None),
])
def test_index_takes_the_forms_read_takes(tmp_path, text, expected):
    from atomblock import _cli

    if expected is None:
        with pytest.raises(_cli.CommandError, match="bad index"):
            _cli.parse_index(text)
        return
    assert _cli.parse_index(text) == expected
    path = tmp_path / "t.xyz"
    atomblock.write(path, frames(5))
    assert atomblock.read(path, text) == atomblock.read(path, expected)  # the package reads it the same
