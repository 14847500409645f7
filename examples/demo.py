"""Demo: make a small trajectory, read it back, write it again, check that the copy is
byte-identical, and time _atomblock against plain Python loops for the atom blocks.

The module times include the caller's own work around the call (stacking the
property arrays for writing). Run with: .venv/bin/python examples/demo.py
(needs only NumPy; takes a few seconds).
"""
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import extxyz  # examples/extxyz.py, beside this script
from _atomblock import read_atom_lines_rs

BOOL_WORDS = {"T": True, "True": True, "TRUE": True, "true": True,
              "F": False, "False": False, "FALSE": False, "false": False}


def sample_frames(rng):
    """Three frames of different sizes and columns, values on a grid of 1/256."""
    def grid(shape, scale):
        return np.round(rng.uniform(-scale, scale, shape) * 256) / 256

    def species(n, names=("H", "C", "O", "Si")):
        return rng.choice(np.array(names), n)

    small = extxyz.Frame(3, {"species": np.array(["O", "H", "H"]), "pos": grid((3, 3), 2)},
                         {"Lattice": "10.0 0.0 0.0 0.0 10.0 0.0 0.0 0.0 10.0", "energy": "-14.25",
                          "note": "water, rigid", "pbc": "T T T"})
    medium = extxyz.Frame(1000, {"species": species(1000), "pos": grid((1000, 3), 30),
                                 "forces": grid((1000, 3), 5), "tags": rng.integers(0, 9, 1000),
                                 "fixed": rng.random(1000) < 0.25}, {"step": "10"})
    large = extxyz.Frame(100_000, {"species": species(100_000), "pos": grid((100_000, 3), 90)},
                         {"step": "20", "comment": "100k atoms"})
    return [small, medium, large]


def python_read_atom_lines(lines, codes):
    """The same work in Python: line.split(), one converter per column, np.array."""
    convert = {ord("f"): float, ord("i"): int, ord("b"): BOOL_WORDS.__getitem__, ord("s"): str}
    converters = [convert[c] for c in codes]
    rows = [[conv(tok) for conv, tok in zip(converters, line.split())] for line in lines]
    def pick(code):
        return [j for j, c in enumerate(codes) if c == ord(code)]
    def matrix(code, dtype):
        cols = pick(code)
        return np.array([[row[j] for j in cols] for row in rows], dtype).reshape(len(rows), len(cols))
    return {"floats": matrix("f", np.float64), "ints": matrix("i", np.int64),
            "bools": matrix("b", np.uint8), "strs": [[row[j] for row in rows] for j in pick("s")]}


def python_atom_block(frame):
    """The same work in Python: fmt % tuple(row) per atom, the species field first."""
    layout = extxyz.layout_of(frame)
    formats = {"S": "%-{}s", "R": "%16.8f", "I": "%8d", "L": " %.1s"}
    width = max(2, max(map(len, frame.properties["species"]), default=0))
    fmt = " ".join(formats[kind].format(width) for _, kind, n in layout for _ in range(n)) + "\n"
    columns = []
    for name, _, ncols in layout:
        values = frame.properties[name].reshape(frame.natoms, ncols)
        columns.extend(values[:, j].tolist() for j in range(ncols))
    return "".join([fmt % tuple(row) for row in zip(*columns)])


def ms(seconds):
    return f"{seconds * 1e3:.3g} ms"


def best_of(repeats, func, *args):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = func(*args)
        times.append(time.perf_counter() - start)
    return min(times), result


def main():
    rng = np.random.default_rng(2024)
    frames = sample_frames(rng)
    with tempfile.TemporaryDirectory() as tmp:
        original, copy = Path(tmp, "traj.xyz"), Path(tmp, "copy.xyz")
        extxyz.write(original, frames)
        start = time.perf_counter()
        read_back = extxyz.read(original)  # lazily, frame by frame, then listed
        extxyz.write(copy, read_back)
        elapsed = time.perf_counter() - start
        size = original.stat().st_size
        if copy.read_bytes() != original.read_bytes():
            sys.exit("FAILED: the rewritten trajectory differs from the original")
        print(f"{len(frames)} frames, {sum(f.natoms for f in frames):,} atoms, {size / 2**20:.1f} MiB: "
              f"read + write back in {elapsed:.2f} s, copy byte-identical")
        for frame, again in zip(frames, read_back):
            for name, values in frame.properties.items():
                assert np.array_equal(values, again.properties[name]), name
            assert again.info == frame.info

        text = original.read_text(encoding="utf-8").splitlines(keepends=True)
        print(f"\n{'natoms':>8} {'columns':<28} {'read: module':>13} {'Python':>9} {'x':>5}"
              f" {'write: module':>14} {'Python':>9} {'x':>5}")
        line = 0
        for frame in read_back:
            layout = extxyz.layout_of(frame)
            codes = extxyz.column_codes(layout)
            lines = text[line + 2:line + 2 + frame.natoms]
            line += frame.natoms + 2
            repeats = 3 if frame.natoms < 10_000 else 1
            t_read, ours = best_of(repeats, read_atom_lines_rs, lines, codes)
            t_pyread, theirs = best_of(repeats, python_read_atom_lines, lines, codes)
            assert all(np.array_equal(ours[k], theirs[k]) for k in ("floats", "ints", "bools"))
            assert ours["strs"] == theirs["strs"]
            t_write, block = best_of(repeats, extxyz.atom_block, frame, layout)
            t_pywrite, py_block = best_of(repeats, python_atom_block, frame)
            assert block == py_block, "module and Python formatting differ"
            assert block == "".join(lines)
            names = ",".join(name for name, _, _ in layout)
            print(f"{frame.natoms:>8,} {names:<28} {ms(t_read):>13} {ms(t_pyread):>9} {t_pyread / t_read:>5.1f}"
                  f" {ms(t_write):>14} {ms(t_pywrite):>9} {t_pywrite / t_write:>5.1f}")
    print("\nround trip ok: module output equals Python's % formatting and the file copies match")


if __name__ == "__main__":
    main()
