"""A directory of extended XYZ trajectories -> a Parquet dataset, converted on a Dask cluster,
then queried with DuckDB: energies per config_type and the mean force per species.

    pip install "atomblock[dask]" duckdb
    python examples/parquet_dataset.py 'data/*.xyz*' dataset/            # a LocalCluster of 2 workers
    python examples/parquet_dataset.py 'data/*.xyz*' dataset/ --scheduler tcp://HOST:8786
    python examples/parquet_dataset.py --demo data/ dataset/             # writes a small data set first

atomblock.dask.read_table splits each uncompressed file into partitions of whole frames
(compressed files are one partition each); every worker reads its own part of the files
and writes its own Parquet file, part.N.parquet. Each row is a frame: natoms, per-atom
list columns (species, pos, forces, ...), one column per info key (energy,
config_type, stress, ...), cell and pbc. On a real cluster every worker needs atomblock
installed and must see the same paths.
"""
from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

import numpy as np

import atomblock
import atomblock.dask


def make_demo(directory: str | Path, files: int = 4, frames: int = 200, seed: int = 0) -> list[Path]:
    """A small data set: `files` trajectories of H2O-like and bulk-like frames (the last gzipped)."""
    rng = np.random.default_rng(seed)
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    paths = []
    for i in range(files):
        made = []
        for k in range(frames):
            bulk = bool(k % 2)
            species = rng.choice(np.array(["Si", "O"]), 24) if bulk else np.array(["O", "H", "H"])
            n = len(species)
            made.append(atomblock.Frame(
                {"species": species, "pos": rng.uniform(0, 8, (n, 3)), "forces": rng.normal(0, 0.5, (n, 3))},
                {"energy": float(rng.normal(-5.0 * n, 1.0)), "config_type": "bulk" if bulk else "molecule",
                 "stress": rng.normal(0, 0.1, (3, 3))},
                cell=np.diag([8.0, 8.0, 8.0]) if bulk else None))
        path = directory / (f"traj{i}.xyz" + (".gz" if i == files - 1 else ""))
        atomblock.write(path, made)
        paths.append(path)
    return paths


def convert(pattern: str | list[str], out_dir: str | Path, bytes_per_partition: str = "256 MiB") -> int:
    """The files as a Parquet dataset in out_dir (one file per partition); the number of frames.
    Runs on the current Dask client, if any."""
    frames = atomblock.dask.read_table(pattern, bytes_per_partition=bytes_per_partition)
    frames.to_parquet(str(out_dir), write_index=False)
    return int(frames.natoms.count().compute())


def energies_per_config_type(out_dir: str | Path) -> list[tuple[Any, ...]]:
    """(config_type, frames, mean energy, mean energy per atom) from the Parquet files."""
    import duckdb

    return duckdb.sql(f"""
        SELECT config_type, count(*) AS frames, avg(energy) AS energy, avg(energy / natoms) AS per_atom
        FROM '{Path(out_dir) / '*.parquet'}' GROUP BY config_type ORDER BY config_type""").fetchall()


def mean_force_per_species(out_dir: str | Path) -> list[tuple[Any, ...]]:
    """(species, atoms, mean |force|): the per-atom lists unnested, one row per atom."""
    import duckdb

    return duckdb.sql(f"""
        SELECT species, count(*) AS atoms, avg(sqrt(f[1] * f[1] + f[2] * f[2] + f[3] * f[3])) AS force
        FROM (SELECT unnest(species) AS species, unnest(forces) AS f FROM '{Path(out_dir) / '*.parquet'}')
        GROUP BY species ORDER BY species""").fetchall()


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", help="a glob of the input files (quote it), or with --demo a directory to make")
    parser.add_argument("out_dir", help="the Parquet dataset's directory")
    parser.add_argument("--demo", action="store_true", help="first write a small data set into FILES")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes (default 2)")
    parser.add_argument("--partition", default="256 MiB", help="bytes of text per partition (default 256 MiB)")
    args = parser.parse_args(argv)
    pattern = args.files
    if args.demo:
        make_demo(args.files)
        pattern = str(Path(args.files) / "*.xyz*")

    from dask.distributed import Client, LocalCluster

    # Worker processes of one thread each: converting frames holds the interpreter lock.
    cluster = None if args.scheduler else LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                                       dashboard_address=None)
    with Client(args.scheduler or cluster):
        frames = convert(pattern, args.out_dir, args.partition)
    if cluster is not None:
        cluster.close()
    print(f"{frames} frames -> {args.out_dir}")
    print("config_type   frames   mean energy   per atom")
    for config_type, count, energy, per_atom in energies_per_config_type(args.out_dir):
        print(f"{config_type:<12} {count:7d} {energy:13.4f} {per_atom:10.4f}")
    print("species   atoms   mean |force|")
    for species, atoms, force in mean_force_per_species(args.out_dir):
        print(f"{species:<8} {atoms:7d} {force:14.6f}")


if __name__ == "__main__":
    main()
