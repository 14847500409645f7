"""Convert many extended XYZ trajectories in parallel on a Dask cluster, one task per file.

Each file is re-written with a subset of its per-atom columns and/or some real
columns scaled (a unit conversion), frame by frame, so a worker holds one frame
at a time. _atomblock keeps no state between calls, so any worker can take any file.

    pip install "dask[distributed]"
    python examples/convert_many.py OUT_DIR a.xyz b.xyz ... --keep species,pos --scale pos=0.1
    python examples/convert_many.py OUT_DIR *.xyz --scheduler tcp://HOST:8786   # a running cluster

On a local cluster use worker processes (the default): a call holds the interpreter
lock, so threads of one process do not run _atomblock calls side by side. On a real
cluster, every worker needs NumPy and _atomblock installed; extxyz.py is uploaded.
"""
from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np

import extxyz


def convert_frame(frame: extxyz.Frame, keep=None, scale=None) -> extxyz.Frame:
    """A copy of the frame with only the `keep` properties (all if None), `scale` applied."""
    names = list(frame.properties) if keep is None else list(keep)
    missing = [name for name in names if name not in frame.properties]
    if missing:
        raise KeyError(f"no properties {missing} in frame (has {list(frame.properties)})")
    properties = {name: frame.properties[name] for name in names}
    for name, factor in (scale or {}).items():
        if name in properties:
            properties[name] = np.asarray(properties[name], np.float64) * factor
    return extxyz.Frame(frame.natoms, properties, dict(frame.info), frame.comment)


def convert_file(source: str, target: str, keep=None, scale=None) -> tuple[str, int, int]:
    """Convert one file; returns (target, number of frames, number of atoms)."""
    frames = atoms = 0
    with open(target, "w", encoding="utf-8", newline="\n") as out:
        for frame in extxyz.iread(source, progress=False):
            extxyz.write_frame(out, convert_frame(frame, keep, scale))
            frames += 1
            atoms += frame.natoms
    return target, frames, atoms


def convert_many(client, sources, out_dir, keep=None, scale=None) -> list[tuple[str, int, int]]:
    """Convert every source file into out_dir (same file name), one Dask task per file."""
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    targets = [str(out_dir / Path(source).name) for source in sources]
    futures = client.map(convert_file, [str(s) for s in sources], targets,
                         keep=keep, scale=scale, pure=False)
    return client.gather(futures)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out_dir")
    parser.add_argument("files", nargs="+")
    parser.add_argument("--keep", help="comma-separated properties to keep, e.g. species,pos")
    parser.add_argument("--scale", action="append", default=[], metavar="NAME=FACTOR",
                        help="multiply a real property, e.g. pos=0.1 for Angstrom to nm")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes")
    args = parser.parse_args(argv)
    keep = args.keep.split(",") if args.keep else None
    scale = {name: float(factor) for name, factor in (s.split("=", 1) for s in args.scale)}

    from dask.distributed import Client, LocalCluster

    cluster = None if args.scheduler else LocalCluster(n_workers=args.workers, threads_per_worker=1)
    with Client(args.scheduler or cluster) as client:
        if args.scheduler:
            client.upload_file(extxyz.__file__)  # the workers import it from there
        for target, frames, atoms in convert_many(client, args.files, args.out_dir, keep, scale):
            print(f"{target}: {frames} frames, {atoms:,} atoms")
    if cluster is not None:
        cluster.close()


if __name__ == "__main__":
    main()
