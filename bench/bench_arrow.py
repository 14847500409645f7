"""Arrow and Parquet figures: Table.to_arrow against read_table, and converting a set of extended
XYZ files to Parquet in one process against a two-worker Dask LocalCluster.

    python bench/bench_arrow.py                          # 20,000 x 100 table; 8 files of 128 MB
    python bench/bench_arrow.py --frames 2000 --files 2 --file-mb 16     # a quick run

1. A file of `--frames` frames of `--atoms` atoms (species, pos, forces, energy, a 3x3
   stress, config_type, Lattice, pbc): read_table, then to_arrow, from_arrow of that
   Arrow table, and writing / reading it as Parquet. to_arrow shares the per-atom float
   and int values with the Table (checked here by their buffer addresses), so its time
   is a small fraction of read_table's.
2. `--files` files of about `--file-mb` MB each, made by writing one block of frames
   with atomblock.write and repeating its text: converted to Parquet files one after the
   other in this process (read_table, then write), then by atomblock.dask.read_table(...)
   .to_parquet(...) on a LocalCluster of two one-thread worker processes (partitions of
   `--partition` bytes: the files split at frame boundaries), its workers started and their
   modules imported before the clock starts. MB/s counts the input text.

The files are made in a temporary directory (--dir to choose it) and removed afterwards.
"""
from __future__ import annotations

import argparse
import os
import shutil
import tempfile
import time
from pathlib import Path

import numpy as np

import atomblock


def frames(count: int, natoms: int, seed: int = 0) -> list[atomblock.Frame]:
    rng = np.random.default_rng(seed)
    species = np.array(["Si", "O", "H", "C"])
    return [atomblock.Frame(
        {"species": species[rng.integers(0, 4, natoms)], "pos": rng.uniform(0, 12, (natoms, 3)),
         "forces": rng.normal(0, 1, (natoms, 3))},
        {"energy": float(rng.normal(-500, 10)), "stress": rng.normal(0, 0.1, (3, 3)),
         "config_type": ("bulk", "surface", "cluster")[k % 3]},
        cell=np.diag([12.0, 12.0, 12.0]), pbc=True) for k in range(count)]


def best(call, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def table_figures(directory: Path, n_frames: int, natoms: int, repeat: int) -> None:
    path = directory / "table.xyz"
    block = frames(min(n_frames, 1000), natoms)
    atomblock.write(path, (block[k % len(block)] for k in range(n_frames)))
    size = path.stat().st_size
    table = atomblock.read_table(path)
    read = best(lambda: atomblock.read_table(path), repeat)
    to = best(table.to_arrow, max(repeat, 5))
    data = table.to_arrow()
    shared = data.column("pos").chunk(0).values.values.buffers()[1].address == table.arrays["pos"].ctypes.data
    back = best(lambda: atomblock.Table.from_arrow(data), max(repeat, 5))
    parquet = directory / "table.parquet"
    write = best(lambda: atomblock.write(parquet, table), repeat)
    read_pq = best(lambda: atomblock.read_table(parquet), repeat)
    print(f"table: {n_frames:,} frames x {natoms} atoms, {size / 1e6:.0f} MB of extxyz,"
          f" {parquet.stat().st_size / 1e6:.0f} MB of Parquet (zstd)")
    print(f"  read_table(xyz)     {read * 1e3:9.1f} ms")
    print(f"  to_arrow            {to * 1e3:9.3f} ms  ({100 * to / read:.2f}% of read_table;"
          f" pos shared, not copied: {shared})")
    print(f"  from_arrow          {back * 1e3:9.3f} ms")
    print(f"  write(.parquet)     {write * 1e3:9.1f} ms")
    print(f"  read_table(.parquet){read_pq * 1e3:9.1f} ms")
    os.unlink(path)
    os.unlink(parquet)


def make_files(directory: Path, files: int, file_mb: float, natoms: int) -> list[Path]:
    """Files of about file_mb MB: one block of frames written, its text repeated."""
    block_path = directory / "block.xyz"
    atomblock.write(block_path, frames(500, natoms, seed=1))
    text = block_path.read_bytes()
    os.unlink(block_path)
    copies = max(1, round(file_mb * 1e6 / len(text)))
    paths = []
    for i in range(files):
        path = directory / "data" / f"traj{i}.xyz"
        path.parent.mkdir(exist_ok=True)
        with open(path, "wb") as f:
            for _ in range(copies):
                f.write(text)
        paths.append(path)
    return paths


def _warm() -> None:
    import pandas  # noqa: F401
    import pyarrow.parquet  # noqa: F401

    import atomblock.dask  # noqa: F401


def conversion_figures(directory: Path, files: int, file_mb: float, natoms: int, partition: str) -> None:
    from dask.distributed import Client, LocalCluster

    import atomblock.dask

    paths = make_files(directory, files, file_mb, natoms)
    total = sum(p.stat().st_size for p in paths) / 1e6
    out = directory / "single"
    out.mkdir()
    start = time.perf_counter()
    for path in paths:
        atomblock.write(out / (path.stem + ".parquet"), atomblock.read_table(path))
    single = time.perf_counter() - start
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        client.run(_warm)  # a running cluster's workers have their modules imported already
        start = time.perf_counter()
        frames_df = atomblock.dask.read_table(str(directory / "data" / "*.xyz"), bytes_per_partition=partition)
        planned = time.perf_counter() - start
        frames_df.to_parquet(str(directory / "cluster"), write_index=False)
        cluster_time = time.perf_counter() - start
        partitions = frames_df.npartitions
    print(f"conversion: {files} files, {total:,.0f} MB of extxyz")
    print(f"  one process         {single:7.1f} s  {total / single:6.0f} MB/s")
    print(f"  LocalCluster(2)     {cluster_time:7.1f} s  {total / cluster_time:6.0f} MB/s  ({partitions} partitions;"
          f" split and schema pass {planned:.1f} s)  speed-up {single / cluster_time:.2f}x")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=20_000)
    parser.add_argument("--atoms", type=int, default=100)
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--file-mb", type=float, default=128.0)
    parser.add_argument("--partition", default="64 MiB", help="bytes_per_partition of the Dask run")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--dir", help="where to make the files (default: a temporary directory)")
    parser.add_argument("--skip-conversion", action="store_true")
    args = parser.parse_args(argv)
    directory = Path(tempfile.mkdtemp(prefix="bench_arrow_", dir=args.dir))
    try:
        table_figures(directory, args.frames, args.atoms, args.repeat)
        if not args.skip_conversion:
            conversion_figures(directory, args.files, args.file_mb, args.atoms, args.partition)
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
