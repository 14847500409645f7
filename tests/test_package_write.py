"""atomblock.write to paths and streams: failed writes leave the file as it was, zero-atom
frames, the forms a Frame accepts, and wrong argument types named at the call."""
import io
import os
import stat
import sys
import threading

import numpy as np
import pytest

import atomblock
from atomblock import _write
from atomblock._cli import main as cli_main


def frames_of(n, natoms=3, start=0):
    return [atomblock.Frame({"species": ["H"] * natoms,
                             "pos": np.full((natoms, 3), float(k)), "tags": np.arange(natoms)},
                            info={"step": k}) for k in range(start, start + n)]


def written(frames, **kwargs):
    out = io.BytesIO()
    atomblock.write(out, frames, **kwargs)
    return out.getvalue()


def steps(path):
    return [f.info["step"] for f in atomblock.read(path, ":")]


def bad_frame():
    return atomblock.Frame({"c": np.array([1j, 2j])})  # no extended XYZ type


def failing(kind):
    """Three good frames (steps 10..12), then a failure of the given kind."""
    yield from frames_of(3, start=10)
    if kind == "bad frame":
        yield bad_frame()
    elif kind == "not a frame":
        yield {"species": ["H"]}
    elif kind == "bad string":
        yield atomblock.Frame({"species": ["H", "a b"]})
    elif kind == "generator raises":
        raise RuntimeError("source failed")
    else:
        raise KeyboardInterrupt


FAILURES = {"bad frame": TypeError, "not a frame": TypeError, "bad string": ValueError,
            "generator raises": RuntimeError, "interrupt": KeyboardInterrupt}


@pytest.mark.parametrize("append", [False, True])
@pytest.mark.parametrize("suffix", ["", ".gz", ".xz"])
@pytest.mark.parametrize("kind", list(FAILURES))
def test_a_failed_write_leaves_the_file_as_it_was(tmp_path, kind, suffix, append):
    path = tmp_path / f"t.xyz{suffix}"
    atomblock.write(path, frames_of(2))
    before = path.read_bytes()
    with pytest.raises(FAILURES[kind]):
        atomblock.write(path, failing(kind), append=append)
    assert path.read_bytes() == before and os.listdir(tmp_path) == [path.name]
    # A destination that did not exist is not left behind either.
    with pytest.raises(FAILURES[kind]):
        atomblock.write(tmp_path / f"new.xyz{suffix}", failing(kind), append=append)
    assert os.listdir(tmp_path) == [path.name]


@pytest.mark.parametrize("write_rows", [1 << 14, 2])  # small frames batched; big frames in chunks
@pytest.mark.parametrize("kind", ["bad frame", "not a frame", "bad string", "generator raises"])
def test_a_stream_gets_the_whole_frames_before_a_failure(kind, write_rows, monkeypatch):
    monkeypatch.setattr(_write, "WRITE_ROWS", write_rows)
    out = io.BytesIO()
    with pytest.raises(FAILURES[kind]):
        atomblock.write(out, failing(kind))
    assert out.getvalue() == written(frames_of(3, start=10))


FULL_DISK = r"""
import errno, os, resource, signal, sys
import numpy as np
import atomblock
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
directory = DIRECTORY
old = [atomblock.Frame({"species": ["H"], "pos": [[0.0, 0.0, 0.0]]}, info={"step": -1})]
rng = np.random.default_rng(0)
big = [atomblock.Frame({"species": ["H"] * 5000, "pos": rng.normal(size=(5000, 3))}, info={"step": k})
       for k in range(4)]  # about 1.2 MB of text, more than 100 kB compressed
paths = [os.path.join(directory, "t.xyz" + s) for s in ("", ".gz", ".bz2")]
for p in paths:
    atomblock.write(p, old)
before = {p: open(p, "rb").read() for p in paths}
resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, resource.RLIM_INFINITY))
for p in paths:
    for append in (False, True):
        try:
            atomblock.write(p, big, append=append)
        except OSError as e:
            assert e.errno == errno.EFBIG, e
        else:
            raise AssertionError(f"{p} append={append}: written past the file size limit")
        assert open(p, "rb").read() == before[p], (p, append)
assert sorted(os.listdir(directory)) == sorted(os.path.basename(p) for p in paths), os.listdir(directory)
print("ok")
"""


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX file size limit")
def test_a_full_disk_leaves_the_file_as_it_was(tmp_path, python_subprocess):
    # RLIMIT_FSIZE makes writes past 100 kB fail with EFBIG, as a full disk fails with ENOSPC.
    result = python_subprocess(FULL_DISK.replace("DIRECTORY", repr(str(tmp_path))),
                               env={"PYTHONPATH": os.pathsep.join(sys.path)})
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr


@pytest.mark.parametrize("append", [False, True])
@pytest.mark.parametrize("suffix", ["", ".gz", ".bz2"])
def test_writing_onto_the_file_being_read(tmp_path, suffix, append):
    path = tmp_path / f"t.xyz{suffix}"
    atomblock.write(path, frames_of(3))
    atomblock.write(path, atomblock.iread(path, "::-1"), append=append)
    assert steps(path) == ([0, 1, 2] if append else []) + [2, 1, 0]
    assert os.listdir(tmp_path) == [path.name]


def test_cli_convert_keeps_the_output_when_the_input_is_bad_in_the_middle(tmp_path):
    source, keep = tmp_path / "bad.xyz", tmp_path / "keep.xyz"
    source.write_bytes(written(frames_of(3)) + b"x\n\n" + written(frames_of(2)))
    atomblock.write(keep, frames_of(1, start=7))
    before = keep.read_bytes()
    assert cli_main(["convert", str(source), str(keep)]) != 0
    assert keep.read_bytes() == before and sorted(os.listdir(tmp_path)) == ["bad.xyz", "keep.xyz"]


@pytest.mark.skipif(os.name != "posix", reason="POSIX modes and links")
@pytest.mark.parametrize("append", [False, True])
def test_mode_links_and_devices_are_kept(tmp_path, append):
    target = tmp_path / "target.xyz"
    atomblock.write(target, frames_of(1))
    target.chmod(0o640)
    link = tmp_path / "link.xyz"
    link.symlink_to(target.name)
    atomblock.write(link, frames_of(2, start=5), append=append)
    assert link.is_symlink() and stat.S_IMODE(target.stat().st_mode) == 0o640
    assert steps(target) == ([0] if append else []) + [5, 6]
    mask = os.umask(0o027)
    try:
        atomblock.write(tmp_path / "new.xyz", frames_of(1), append=append)
    finally:
        os.umask(mask)
    assert stat.S_IMODE((tmp_path / "new.xyz").stat().st_mode) == 0o640  # 0o666 less the umask
    # A pipe is written into, not renamed over.
    fifo = tmp_path / "pipe.xyz"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_bytes()), daemon=True)
    reader.start()
    atomblock.write(fifo, frames_of(2), append=append)
    reader.join(10)
    assert got == [written(frames_of(2))] and stat.S_ISFIFO(fifo.stat().st_mode)


def zero_atoms(strings):
    arrays = {"pos": np.zeros((0, 3)), "tags": np.zeros(0, np.int64), "fixed": np.zeros(0, bool)}
    if strings:
        arrays = {"species": np.array([], str), **arrays, "pair": np.zeros((0, 2), "U3")}
    return atomblock.Frame(arrays, info={"e": 1.5}, cell=[2, 3, 4])


def test_zero_atom_frames_write_and_read_like_any_frame():
    frames = [zero_atoms(True), zero_atoms(True), zero_atoms(False), atomblock.Frame(), zero_atoms(False),
              *frames_of(2), zero_atoms(True)]
    first = written(frames)
    assert written(frames) == first  # a second time, through the cached plans
    assert first.startswith(b"0\nLattice=")
    back = atomblock.read(io.BytesIO(first), ":")
    assert [len(f) for f in back] == [0, 0, 0, 0, 0, 3, 3, 0]
    assert back[0].arrays["pair"].shape == (0, 2) and back[2].arrays["tags"].dtype == np.int64
    assert written(back) == first


EYE = np.eye(3)


@pytest.mark.parametrize("kwargs, natoms, cell, pbc", [
    ({}, 0, None, [False] * 3),
    ({"cell": [10, 20, 30]}, 0, np.diag([10.0, 20, 30]), [True] * 3),
    ({"cell": EYE.tolist(), "pbc": False}, 0, EYE, [False] * 3),
    ({"cell": range(1, 10), "pbc": [1, 0, 1]}, 0, np.arange(1.0, 10).reshape(3, 3), [True, False, True]),
    ({"pbc": True}, 0, None, [True] * 3),
    ({"pbc": np.bool_(True), "arrays": {"pos": [[0, 0, 0], [1, 2, 3]]}}, 2, None, [True] * 3),
])
def test_frame_forms(kwargs, natoms, cell, pbc):
    frame = atomblock.Frame(**kwargs)
    assert len(frame) == natoms and frame.pbc.tolist() == pbc and frame.pbc.dtype == bool and bool(frame)
    assert cell is None and frame.cell is None or np.array_equal(frame.cell, cell) and frame.cell.dtype == float
    back = atomblock.read(io.BytesIO(written(frame)))
    assert len(back) == natoms and back.pbc.tolist() == pbc and (back.cell is None) == (cell is None)
    assert cell is None or np.array_equal(back.cell, frame.cell)


@pytest.mark.parametrize("kwargs, error, message", [
    ({"cell": [1, 2]}, ValueError, r"^cell must be three lengths, .* got shape \(2,\)$"),
    ({"cell": np.ones((2, 3))}, ValueError, r"^cell .* got shape \(2, 3\)$"),
    ({"cell": "abc"}, ValueError, r"^cell must be numbers"),
    ({"pbc": [True, False]}, ValueError, r"^pbc must be one bool or three, got shape \(2,\)$"),
    ({"pbc": "TTF"}, ValueError, r"^pbc must be one bool or three"),
    ({"arrays": {"a": [1, 2], "b": [1]}}, ValueError,
     r"^arrays\['b'\] has 1 row but arrays\['a'\] has 2 rows: every per-atom array has one row per atom$"),
    ({"arrays": {"a": 1.0}}, ValueError, r"^arrays\['a'\] is a single value"),
    ({"arrays": {1: [1.0]}}, TypeError, r"^arrays: property names must be str, got int 1$"),
    ({"arrays": [("pos", [[0, 0, 0]])]}, TypeError, r"^arrays must be a mapping .* got list$"),
])
def test_frame_refusals_name_the_argument(kwargs, error, message):
    with pytest.raises(error, match=message):
        atomblock.Frame(**kwargs)


def test_integer_values_of_float_properties_are_written_as_reals():
    made = atomblock.Frame({"species": ["H"], "pos": [[0, 1, 2]], "forces": np.ones((1, 3), np.int32),
                            "tags": [3], "charges": np.array([1], np.uint8)})
    assert [v.dtype.kind for v in made.arrays.values()] == ["U", "f", "f", "i", "f"]
    direct = atomblock.Frame()
    direct.arrays = {k: np.asarray(v) for k, v in {"species": ["H"], "pos": [[0, 1, 2]], "forces": [[1, 1, 1]],
                                                    "tags": [3], "charges": [1]}.items()}
    text = written(made)
    assert b"Properties=species:S:1:pos:R:3:forces:R:3:tags:I:1:charges:R:1" in text
    assert written(direct) == text and written(direct) == text  # the second through any cached plan
    assert atomblock.read(io.BytesIO(text)) == made


@pytest.mark.parametrize("frames, message", [
    ({"species": ["H"]}, "frames must be a Frame or an iterable of Frames, got dict"),
    ("t.xyz", "frames must be a Frame or an iterable of Frames, got str"),
    (5, "frames must be a Frame or an iterable of Frames, got int"),
    ([atomblock.Frame(), atomblock.Frame(), atomblock.Frame(), {"a": 1}], "frame 3 is a dict, not a Frame"),
    ((np.zeros(3) for _ in range(1)), "frame 0 is a ndarray, not a Frame"),
])
def test_wrong_frames_are_named(tmp_path, frames, message):
    with pytest.raises(TypeError) as info:
        atomblock.write(tmp_path / "t.xyz", frames)
    assert str(info.value) == message and os.listdir(tmp_path) == []
    with pytest.raises(TypeError, match="dest must be a path or an open file, got int"):
        atomblock.write(3, atomblock.Frame())


@pytest.mark.parametrize("attribute, value, outcome", [
    ("arrays", {1: np.zeros(1)}, "arrays: property names must be str, got int 1"),
    ("arrays", {"pos": np.zeros((1, 3), np.int16)}, b"Properties=pos:R:3\n       0.00000000"),
    ("cell", [2, 3, 4], b'Lattice="2.0 0.0 0.0 0.0 3.0 0.0 0.0 0.0 4.0" Properties=species:S:1:pos:R:3'),
    ("cell", [1, 2], "cell must be three lengths, a (3, 3) matrix or nine numbers, got shape (2,)"),
    ("pbc", True, b'Properties=species:S:1:pos:R:3 pbc="T T T"'),
    ("pbc", [True, False], "pbc must be one bool or three, got shape (2,)"),
])
def test_attributes_set_directly_are_written_as_the_constructor_takes_them(attribute, value, outcome):
    frame = atomblock.Frame()
    setattr(frame, attribute, value)
    if isinstance(outcome, bytes):
        assert outcome in written(frame)
    else:
        with pytest.raises((TypeError, ValueError)) as info:
            written(frame)
        assert str(info.value) == outcome


def test_a_directory_without_room_for_the_temporary_is_named(tmp_path, monkeypatch):
    path = tmp_path / "t.xyz"
    atomblock.write(path, frames_of(1))
    real_open = os.open

    def no_new_files(name, flags, *args):  # a directory the caller may not add files to
        if flags & os.O_CREAT:
            raise PermissionError(13, "Permission denied", name)
        return real_open(name, flags, *args)

    monkeypatch.setattr(os, "open", no_new_files)
    with pytest.raises(PermissionError, match="temporary file") as info:
        atomblock.write(path, frames_of(2))
    assert info.value.filename == str(path) and steps(path) == [0] and os.listdir(tmp_path) == ["t.xyz"]
