"""Convert many extended XYZ trajectories in parallel on a Dask cluster, one task per file.

Each file is re-written with a subset of its per-atom columns and/or some real
columns scaled (a unit conversion), frame by frame with atomblock.iread, so a worker
holds one frame at a time. Scaling `pos` scales the cell (Lattice) by the same factor,
so the structure stays the same in the new unit. Compressed paths (.gz, .bz2, .xz)
work on either side.

    pip install "dask[distributed]"
    python examples/convert_many.py OUT_DIR a.xyz b.xyz ... --keep species,pos --scale pos=0.1
    python examples/convert_many.py OUT_DIR *.xyz --scheduler tcp://HOST:8786   # a running cluster

Paths are made absolute before the tasks are submitted: a worker does not run in this
process's directory. On a real cluster every worker needs atomblock installed and must see
the same file system paths.
"""
from __future__ import annotations

import argparse
from collections.abc import Iterable, Mapping, Sequence
from pathlib import Path

import numpy as np

import atomblock

# The real property whose scaling also scales the cell: positions and lattice vectors
# are lengths in the same unit.
POSITIONS = "pos"


def convert_frame(frame: atomblock.Frame, keep: Sequence[str] | None = None,
                  scale: Mapping[str, float] | None = None) -> atomblock.Frame:
    """A copy of the frame with only the `keep` properties (all if None), `scale` applied."""
    names = list(frame.arrays) if keep is None else list(keep)
    missing = [name for name in names if name not in frame.arrays]
    if missing:
        raise KeyError(f"no properties {missing} in frame (has {list(frame.arrays)})")
    arrays = {name: frame.arrays[name] for name in names}
    cell = None if frame.cell is None else np.array(frame.cell, dtype=np.float64)
    for name, factor in (scale or {}).items():
        if name in arrays:
            arrays[name] = np.asarray(arrays[name], np.float64) * factor
        if name == POSITIONS and cell is not None:
            cell = cell * factor
    return atomblock.Frame(arrays=arrays, info=dict(frame.info), cell=cell, pbc=np.array(frame.pbc))


def convert_file(source: str, target: str, keep: Sequence[str] | None = None,
                 scale: Mapping[str, float] | None = None) -> tuple[str, int, int]:
    """Convert one file; returns (target, number of frames, number of atoms)."""
    counts = [0, 0]

    def converted() -> Iterable[atomblock.Frame]:
        for frame in atomblock.iread(source):
            counts[0] += 1
            counts[1] += frame.natoms
            yield convert_frame(frame, keep, scale)

    atomblock.write(target, converted())
    return target, counts[0], counts[1]


def convert_many(client, sources, out_dir, keep=None, scale=None) -> list[tuple[str, int, int]]:
    """Convert every source file into out_dir (same file name), one Dask task per file."""
    out_dir = Path(out_dir).resolve()
    out_dir.mkdir(parents=True, exist_ok=True)
    sources = [str(Path(source).resolve()) for source in sources]
    targets = [str(out_dir / Path(source).name) for source in sources]
    futures = client.map(convert_file, sources, targets, keep=keep, scale=scale, pure=False)
    return client.gather(futures)


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out_dir")
    parser.add_argument("files", nargs="+")
    parser.add_argument("--keep", help="comma-separated properties to keep, e.g. species,pos")
    parser.add_argument("--scale", action="append", default=[], metavar="NAME=FACTOR",
                        help="multiply a real property, e.g. pos=0.1 for Angstrom to nm "
                             "(pos also scales the cell)")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes")
    args = parser.parse_args(argv)
    keep = args.keep.split(",") if args.keep else None
    scale = {}
    for item in args.scale:
        name, sep, factor = item.partition("=")
        try:
            scale[name] = float(factor)
        except ValueError:
            sep = ""
        if not sep or not name:
            parser.error(f"--scale {item!r}: expected NAME=FACTOR, e.g. pos=0.1")

    from dask.distributed import Client, LocalCluster

    # Worker processes, one thread each: a frame's Python-level work holds the interpreter lock.
    cluster = None if args.scheduler else LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                                       dashboard_address=None)
    with Client(args.scheduler or cluster) as client:
        for target, frames, atoms in convert_many(client, args.files, args.out_dir, keep, scale):
            print(f"{target}: {frames} frames, {atoms:,} atoms")
    if cluster is not None:
        cluster.close()


if __name__ == "__main__":
    main()
