"""Reading many small frames: atomblock.read(path, ":") per frame on a training-set file.

Each frame has `--atoms` atoms and the comment line the common writers produce (Lattice,
Properties, energy, a nine-number stress, config_type, pbc), so the comment line is a large
share of the work. Run against any build of the package:

    PYTHONPATH=build/dev python bench/bench_small_frames.py [--frames 20000] [--atoms 100]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

import numpy as np


def write_file(path: str, frames: int, atoms: int) -> None:
    rng = np.random.default_rng(7)
    with open(path, "w") as f:
        for i in range(frames):
            a = 10.0 + rng.random()
            s = rng.normal(0, 0.01, 9)
            f.write(f"{atoms}\n")
            f.write(
                f'Lattice="{a!r} 0.0 0.0 0.0 {a!r} 0.0 0.0 0.0 {a!r}" Properties=species:S:1:pos:R:3:forces:R:3'
                f" energy={-123.456 - i * 1e-3!r} stress=\"{' '.join(repr(float(v)) for v in s)}\""
                f' config_type=bulk pbc="T T T"\n'
            )
            pos = rng.random((atoms, 3)) * a
            forces = rng.normal(0, 1, (atoms, 3))
            f.writelines(
                f"Si {p[0]:.8f} {p[1]:.8f} {p[2]:.8f} {g[0]:.8f} {g[1]:.8f} {g[2]:.8f}\n"
                for p, g in zip(pos, forces, strict=True)
            )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=20000)
    parser.add_argument("--atoms", type=int, default=100)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)
    import atomblock

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "train.xyz")
        write_file(path, args.frames, args.atoms)
        best = float("inf")
        for _ in range(args.repeat):
            t = time.perf_counter()
            frames = atomblock.read(path, ":")
            best = min(best, time.perf_counter() - t)
        assert len(frames) == args.frames
        print(f"{args.frames} frames of {args.atoms} atoms: {best:.3f} s, {best / args.frames * 1e6:.2f} us per frame")
    return 0


if __name__ == "__main__":
    sys.exit(main())
