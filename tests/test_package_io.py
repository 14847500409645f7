"""atomblock files: byte-for-byte round trips, compressed files, index forms, threads and open-file sources."""
import io

import numpy as np
import pytest

import atomblock
from atomblock import _read, _source


def trajectory(nframes=4, natoms=5, seed=0):
    """Frames with every property type, two string columns and a varying cell and info."""
    rng = np.random.default_rng(seed)
    frames = []
    for k in range(nframes):
        n = natoms + k % 2
        frames.append(atomblock.Frame(
            {"species": rng.choice(["H", "O", "Fe", "Xx1"], n), "pos": rng.normal(size=(n, 3)) * 10,
             "tags": rng.integers(-1000, 1000, n), "fixed": rng.random(n) < 0.5,
             "label": rng.choice(["a", "bb", "ccc"], n), "pair": rng.choice(["x", "y"], (n, 2)),
             "charge": rng.normal(size=n)},
            info={"step": k, "energy": float(rng.normal()), "name": "run one", "v": rng.normal(size=3)},
            cell=np.diag(rng.random(3) + 5) if k % 3 else None, pbc=[True, False, True] if k % 3 == 1 else None))
    return frames


def written(frames, **kwargs):
    out = io.BytesIO()
    atomblock.write(out, frames, **kwargs)
    return out.getvalue()


@pytest.mark.parametrize("float_format", ["fixed", "shortest"])
@pytest.mark.parametrize("frames", [trajectory(), [atomblock.Frame()], trajectory(1, 0)])
def test_canonical_file_rewrites_byte_for_byte(frames, float_format):
    first = written(frames, float_format=float_format)
    again = written(atomblock.read(io.BytesIO(first), ":"), float_format=float_format)
    assert again == first


def test_shortest_floats_read_back_exactly():
    values = np.array([0.1, -1e-300, 5e-324, 1.7976931348623157e308, np.nan, -np.inf, 1 / 3, -0.0, 123456789.0])
    frame = atomblock.Frame({"species": ["H"] * len(values), "x": values}, info={"e": float(values[7])})
    back = atomblock.read(io.BytesIO(written(frame, float_format="shortest")))
    assert back == frame
    assert np.array_equal(np.signbit(back.arrays["x"]), np.signbit(values))


def test_fixed_floats_are_percent_16_8f():
    frame = atomblock.Frame({"species": ["H", "He"], "pos": [[0.5, -1e-9, 1e5], [np.nan, 2.25, -3.0]]})
    lines = written(frame).decode().splitlines()[2:]
    assert lines == ["H " + "".join(" %16.8f" % v for v in (0.5, -1e-9, 1e5)),
                     "He" + " %16s" % "NaN" + "".join(" %16.8f" % v for v in (2.25, -3.0))]


def test_read_arrays_have_the_documented_types():
    frame = atomblock.read(io.BytesIO(written(trajectory(1))))
    kinds = {name: (a.dtype.kind, a.shape[1:]) for name, a in frame.arrays.items()}
    assert kinds == {"species": ("U", ()), "pos": ("f", (3,)), "tags": ("i", ()), "fixed": ("b", ()),
                     "label": ("U", ()), "pair": ("U", (2,)), "charge": ("f", ())}
    assert frame.arrays["pos"].dtype == np.float64 and frame.arrays["tags"].dtype == np.int64


def test_plain_xyz_reads_with_default_columns_and_extra_tokens():
    frame = atomblock.read(io.BytesIO(b"2\ntitle line\nC 1 2 3 extra\r\nO 4 5 6\n\n\n"))
    assert frame.info == {"comment": "title line"} and frame.cell is None and not frame.pbc.any()
    assert frame.arrays["species"].tolist() == ["C", "O"]
    assert frame.arrays["pos"].tolist() == [[1, 2, 3], [4, 5, 6]]


@pytest.mark.parametrize("suffix", [".gz", ".bz2", ".xz"])
def test_compressed_files(tmp_path, suffix):
    path = tmp_path / f"t.xyz{suffix}"
    frames = trajectory()
    atomblock.write(path, frames[:2])
    atomblock.write(path, frames[2:], append=True)
    assert path.read_bytes()[:2] != written(frames)[:2]  # really compressed
    assert written(atomblock.read(path, ":")) == written(frames)
    assert written(list(atomblock.iread(str(path), "1:"))) == written(frames[1:])


INDEXES = [(0, [0]), (-1, [4]), (-5, [0]), (2, [2]), (slice(1, 3), [1, 2]), (slice(None, None, -2), [4, 2, 0]),
           (":", [0, 1, 2, 3, 4]), ("1:4:2", [1, 3]), ("-2:", [3, 4]), ("3", [3]), ("::-1", [4, 3, 2, 1, 0]),
           (slice(3, 99), [3, 4]), (np.int64(1), [1])]


@pytest.mark.parametrize("index, steps", INDEXES)
@pytest.mark.parametrize("kind", ["path", "small chunks", "stream"])
def test_index_forms(tmp_path, monkeypatch, index, steps, kind):
    frames = trajectory(5)
    data = written(frames)
    path = tmp_path / "t.xyz"
    path.write_bytes(data)
    if kind == "small chunks":
        monkeypatch.setattr(_source, "CHUNK", 97)  # frames straddle many chunk ends
    source = (lambda: io.BytesIO(data)) if kind == "stream" else (lambda: path)
    got = atomblock.read(source(), index)
    got_iter = list(atomblock.iread(source(), index))
    if isinstance(got, atomblock.Frame):
        got = [got]
    assert [f.info["step"] for f in got] == steps
    assert [f.info["step"] for f in got_iter] == steps
    assert written(got) == written([frames[k] for k in steps])


@pytest.mark.parametrize("kind", ["stream", "path"])  # a path's last frames take the positional pass
@pytest.mark.parametrize("index, picked", [(5, None), (-6, None), ("7", None), (4, 4), (-5, 0), ("-1", 4)])
def test_index_out_of_range(tmp_path, kind, index, picked):
    """read, iread and the header walk pick the same frame for an int, or raise the same IndexError."""
    data = written(trajectory(5))
    path = tmp_path / "t.xyz"
    path.write_bytes(data)
    source = (lambda: io.BytesIO(data)) if kind == "stream" else (lambda: path)
    walks = {"read": lambda s: [atomblock.read(s, index).info["step"]],
             "iread": lambda s: [f.info["step"] for f in atomblock.iread(s, index)],
             "headers": lambda s: [h[0] for h in _read._frame_headers(s, index)]}
    for name, walk in walks.items():
        if picked is None:
            with pytest.raises(IndexError, match=rf"^frame index {int(index)} out of range: .+ has 5 frames$"):
                walk(source())
        else:
            assert walk(source()) == [picked], name


@pytest.mark.parametrize("index", [1.5, "a:b", "1:2:3:4", None])
def test_bad_index_is_refused_at_the_call(index):
    with pytest.raises((TypeError, ValueError)):
        atomblock.iread(io.BytesIO(b""), index)


def test_workers_give_the_same_frames(tmp_path):
    path = tmp_path / "t.xyz"
    atomblock.write(path, trajectory(40, 30))
    assert atomblock.read(path, ":", workers=2) == atomblock.read(path, ":", workers=1)
    assert atomblock.read(path, "::3", workers=2) == atomblock.read(path, "::3")


def test_stream_read_in_small_chunks_matches_the_whole(monkeypatch):
    data = written(trajectory(6, 40))
    monkeypatch.setattr(_source, "CHUNK", 97)  # frames straddle many chunk ends
    assert list(atomblock.iread(io.BytesIO(data))) == atomblock.read(io.BytesIO(data), ":")


def test_text_files_read_and_write(tmp_path):
    frames = trajectory()
    path = tmp_path / "t.xyz"
    with open(path, "w", encoding="utf-8") as f:
        atomblock.write(f, frames)
    assert path.read_bytes() == written(frames)
    with open(path, encoding="utf-8") as f:
        assert written(atomblock.read(f, ":")) == written(frames)
    with open(path, encoding="utf-8") as f:
        assert written(list(atomblock.iread(f))) == written(frames)
    assert atomblock.read(io.StringIO(path.read_text()), 1) == atomblock.read(path, 1)


def test_unicode_strings_round_trip():
    frame = atomblock.Frame({"name": ["Å", "日本", "x"], "e": [1.0, 2.0, 3.0]}, info={"title": "über alles"})
    data = written(frame)
    back = atomblock.read(io.BytesIO(data))
    assert back.arrays["name"].tolist() == ["Å", "日本", "x"] and back.info["title"] == "über alles"
    assert written(back) == data


@pytest.mark.parametrize("arrays, error", [
    ({"species": ["H", ""]}, ValueError),
    ({"species": ["H", "a b"]}, ValueError),
    ({"x": [1.0, 2.0], "y": [1.0]}, ValueError),
    ({"c": np.array([1j, 2j])}, TypeError),
    ({"bad:name": [1]}, ValueError),
])
def test_unwritable_arrays_are_refused(arrays, error):
    frame = atomblock.Frame()
    frame.arrays = {k: np.asarray(v) for k, v in arrays.items()}  # unchecked, as a caller may do
    with pytest.raises(error):
        atomblock.write(io.BytesIO(), frame)


@pytest.mark.parametrize("write_rows", [1 << 14, 2])  # one block, or row chunks checked first
@pytest.mark.parametrize("arrays, message", [
    ({"species": ["H", "C", ""], "lab": ["a", "", ""]}, "arrays['species']: empty string at atom 2"),
    ({"species": ["H", "C", "O"], "lab": ["a", "b", "c d"]},
     "arrays['lab']: 'c d' at atom 2 holds a blank or control character: it would not read back as one token"),
    ({"species": ["H", "C\x01", ""]},
     "arrays['species']: empty string at atom 2"),  # an empty string is reported first
    ({"n": np.array([["a", "b"], ["c", "\n"], ["", "e"]])},
     "arrays['n']: empty string at atom 2"),  # the column of the first fault, then its atom
])
def test_unwritable_strings_name_the_atom(arrays, message, write_rows, monkeypatch):
    monkeypatch.setattr(atomblock._write, "WRITE_ROWS", write_rows)
    out = io.BytesIO()
    with pytest.raises(ValueError) as info:
        atomblock.write(out, atomblock.Frame(arrays))
    assert str(info.value) == message and out.getvalue() == b""


class RecordingBar:
    def __init__(self, total, desc, enabled):
        self.updates = []
        BARS.append(self)

    def update(self, nbytes):
        self.updates.append(nbytes)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        pass


BARS = []


def test_progress_counts_every_byte_in_row_chunks(tmp_path, monkeypatch):
    import atomblock._progress
    monkeypatch.setattr(atomblock._progress, "progress_bar", RecordingBar)
    monkeypatch.setattr(_read, "PROGRESS_ROWS", 64)
    monkeypatch.setattr(atomblock._write, "WRITE_ROWS", 64)
    frames = trajectory(2, 300)
    path = tmp_path / "t.xyz"
    BARS.clear()
    atomblock.write(path, frames, progress=True)
    atomblock.read(path, ":", progress=True)
    list(atomblock.iread(io.BytesIO(path.read_bytes()), progress=True))
    assert path.read_bytes() == written(frames)
    size = path.stat().st_size
    assert [sum(bar.updates) for bar in BARS] == [size] * 3
    assert len(BARS[0].updates) > 10 and len(BARS[1].updates) > 10  # moved inside the big frames


@pytest.mark.parametrize("workers", [1, 3])
@pytest.mark.parametrize("write_rows", [7, 64])
@pytest.mark.parametrize("float_format", ["fixed", "shortest"])
def test_big_frames_in_row_chunks_write_the_text_of_one_block(write_rows, float_format, workers,
                                                             monkeypatch):
    # With workers > 1 chunks are formatted on helper threads and must reach the file in row order.
    frames = trajectory(3, 300)
    whole = written(frames, float_format=float_format)
    monkeypatch.setattr(atomblock._write, "WRITE_ROWS", write_rows)
    assert written(frames, float_format=float_format, workers=workers) == whole
