"""Demo of the atomblock package: write a small trajectory, read it, write it back, check
the copy is byte-identical, summarise it with `python -m atomblock info`, and show the
shortest float format reading back exactly.

Run with: .venv/bin/python examples/demo.py   (needs NumPy; takes a few seconds)
"""
from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import atomblock

# Values on a grid of 1/256 survive the fixed "%16.8f" columns exactly, so a frame written,
# read and compared gives back the very same arrays.
GRID_STEPS_PER_UNIT = 256


def sample_frames(rng: np.random.Generator, large: int) -> list[atomblock.Frame]:
    """Three frames of different sizes and columns."""
    def grid(shape, scale):
        return np.round(rng.uniform(-scale, scale, shape) * GRID_STEPS_PER_UNIT) / GRID_STEPS_PER_UNIT

    def species(n, names=("H", "C", "O", "Si")):
        return rng.choice(np.array(names), n)

    water = atomblock.Frame(
        arrays={"species": np.array(["O", "H", "H"]), "pos": grid((3, 3), 2)},
        info={"energy": -14.25, "note": "water, rigid", "converged": True},
        cell=np.diag([10.0, 10.0, 10.0]), pbc=np.array([True, True, True]))
    medium = atomblock.Frame(
        arrays={"species": species(1000), "pos": grid((1000, 3), 30), "forces": grid((1000, 3), 5),
                "tags": rng.integers(0, 9, 1000), "fixed": rng.random(1000) < 0.25},
        info={"step": 10})
    big = atomblock.Frame(
        arrays={"species": species(large), "pos": grid((large, 3), 90)},
        info={"step": 20, "comment": f"{large:,} atoms"})
    return [water, medium, big]


def same_frames(a: atomblock.Frame, b: atomblock.Frame) -> bool:
    return (list(a.arrays) == list(b.arrays)
            and all(np.array_equal(a.arrays[k], b.arrays[k]) for k in a.arrays)
            and a.info.keys() == b.info.keys()
            and (a.cell is None) == (b.cell is None)
            and (a.cell is None or np.array_equal(a.cell, b.cell))
            and np.array_equal(a.pbc, b.pbc))


def seconds(t: float) -> str:
    return f"{t * 1e3:.1f} ms"


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0].replace("\n", " "))
    parser.add_argument("--large", type=int, default=100_000, metavar="N",
                        help="atoms in the largest frame (default 100,000)")
    parser.add_argument("--seed", type=int, default=2024, help="random seed (default 2024)")
    args = parser.parse_args(argv)

    frames = sample_frames(np.random.default_rng(args.seed), args.large)
    with tempfile.TemporaryDirectory() as tmp:
        original, copy = Path(tmp, "traj.xyz"), Path(tmp, "copy.xyz")
        start = time.perf_counter()
        atomblock.write(original, frames)
        t_write = time.perf_counter() - start
        start = time.perf_counter()
        read_back = atomblock.read(original, ":")
        t_read = time.perf_counter() - start
        atomblock.write(copy, read_back)
        natoms = sum(f.natoms for f in frames)
        size = original.stat().st_size
        print(f"{len(frames)} frames, {natoms:,} atoms, {size / 2**20:.1f} MiB: "
              f"write {seconds(t_write)}, read {seconds(t_read)} "
              f"({t_read / natoms * 1e9:.0f} ns/atom)")
        if copy.read_bytes() != original.read_bytes():
            sys.exit("FAILED: the rewritten trajectory differs from the original")
        if len(read_back) != len(frames) or not all(same_frames(a, b) for a, b in zip(frames, read_back, strict=True)):
            sys.exit("FAILED: the frames read back differ from the frames written")
        print(f"copy byte-identical; first frame info: {read_back[0].info}")

        start = time.perf_counter()
        last = atomblock.read(original)  # index=-1: only the last frame is converted
        print(f"last frame alone: {last.natoms:,} atoms in {seconds(time.perf_counter() - start)}")

        print(f"\n$ python -m atomblock info {original.name}")
        info = subprocess.run([sys.executable, "-m", "atomblock", "info", str(original)],
                              capture_output=True, text=True, env=dict(os.environ))
        print(info.stdout.replace(str(original), original.name), end="")
        if info.returncode != 0:
            sys.exit(f"FAILED: atomblock info: {info.stderr.strip()}")

        # Fixed columns keep 8 decimals; "shortest" writes the shortest text that reads back exactly.
        thirds = atomblock.Frame(arrays={"species": np.array(["H", "He"]),
                                         "pos": np.array([[1 / 3, 0.1, 2e-9], [-0.0, 1e22, np.pi]])})
        exact = Path(tmp, "shortest.xyz")
        atomblock.write(exact, thirds, float_format="shortest")
        print("\nfloat_format='shortest':")
        print("".join("    " + line for line in exact.read_text(encoding="utf-8").splitlines(keepends=True)), end="")
        if not np.array_equal(atomblock.read(exact).arrays["pos"], thirds.arrays["pos"]):
            sys.exit("FAILED: the shortest float text did not read back to the same values")
    print("\nround trip ok: byte-identical copy, same arrays, shortest floats read back exactly")


if __name__ == "__main__":
    main()
