"""Benchmark of atomblock.read_table against read(":") on machine-learning-shaped files: many
small frames with species, pos, forces, an energy, a 3x3 stress, a config_type, a Lattice and pbc.

    .venv/bin/python bench/bench_table.py                     # 20,000 x 100 and 50,000 x 20 atoms
    .venv/bin/python bench/bench_table.py --quick             # seconds: 2,000 x 100 and 5,000 x 20
    .venv/bin/python bench/bench_table.py --sizes 1000x50 --repeat 1 --big-atoms 0 --json out.json

Per workload, with the file in the page cache, the best of --repeat runs (wall-clock and CPU
seconds; us/frame and MB/s from the wall-clock time) of:
  read(":")                      the list of frames (the baseline);
  yardstick: one read_block      the native reader over every frame's atom lines at once (the lines
                                 alone, gathered beforehand into one buffer): the cost of the atoms,
                                 the yardstick of what a table adds per frame;
  read_table                     the same frames as a Table;
  read_table workers=2;
  read_table arrays=[]           the metadata-only table (natoms, offsets, info, cell, pbc), which
                                 parses the comment lines only;
  count newlines                 read the file and bytes.count(b"\n"): the floor for finding line ends;
  regex energies                 read the file, split it in lines and take each frame's energy from
                                 its comment line with a regex (plain Python, no atomblock);
  write frames / write table     the frames of read(":") and the table, to a file (fixed floats;
                                 a path is written to a temporary file, synced and renamed);
  write table workers=2          the table's frame ranges formatted on two threads;
  write table -> /dev/null       the same without the disk: formatting and write calls only
                                 (also with workers=2);
  yardstick: one write_block     the module formatting every frame's atom lines in one call over
                                 the concatenated columns (no count or comment lines, no file):
                                 what the table writer is measured against.
Then, for one frame of --big-atoms atoms (species, pos, forces), write to /dev/null with fixed and
with shortest floats (ns/atom and their ratio).
Each table is cross-checked once against read(":") (frame by frame), the regex energies against
the metadata-only table's, and the written files against each other (byte for byte); the big
frame's shortest text must read back to the same floats. The exit status is 1 when a check
fails, else 0. Per workload it also counts the file's comment lines that the native comment
scanner declines (each then costs the Python parser's time; none should).
"""
from __future__ import annotations

import argparse
import json
import os
import platform
import re
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

import atomblock
from atomblock import _native
from atomblock._properties import layout_of_text
from atomblock._write import _codepoints

DEFAULT_SIZES = "20000x100,50000x20,3x100000"
QUICK_SIZES = "2000x100,5000x20"
SPECIES = ("H", "C", "N", "O", "Si")
CONFIG_TYPES = ("bulk", "surface", "cluster", "md 300K")
ENERGY = re.compile(rb"(?:^|\s)energy=(\S+)")


def make_frames(nframes: int, natoms: int, seed: int = 0) -> list[atomblock.Frame]:
    rng = np.random.default_rng(seed)
    frames = []
    for _ in range(nframes):
        frames.append(atomblock.Frame(
            {"species": rng.choice(SPECIES, natoms), "pos": rng.random((natoms, 3)) * 10,
             "forces": rng.normal(size=(natoms, 3))},
            info={"energy": float(rng.normal() * 100), "stress": rng.normal(size=(3, 3)),
                  "config_type": str(rng.choice(CONFIG_TYPES))},
            cell=np.diag(rng.random(3) + 10), pbc=[True, True, True]))
    return frames


def comment_lines(path: Path) -> list[str]:
    """Each frame's comment line (without its line end), walking the frames by their count lines."""
    lines = path.read_bytes().split(b"\n")
    out = []
    i = 0
    while i < len(lines) and lines[i].strip():
        out.append(lines[i + 1].rstrip(b"\r").decode("utf-8"))
        i += int(lines[i]) + 2
    return out


def fallbacks(path: Path) -> tuple[int, int]:
    """(comment lines the native scanner declines, comment lines) of a file."""
    lines = comment_lines(path)
    return sum(_native.parse_comment_fast(line) is None for line in lines), len(lines)


def count_newlines(path: Path) -> int:
    return path.read_bytes().count(b"\n")


def atom_lines(path: Path) -> tuple[bytes, int]:
    """(every frame's atom lines, one after the other, their number)."""
    lines = path.read_bytes().split(b"\n")
    out = []
    i = 0
    while i < len(lines) and lines[i].strip():
        n = int(lines[i])
        out += lines[i + 2:i + 2 + n]
        i += n + 2
    return b"\n".join(out) + b"\n", len(out)


def regex_energies(path: Path) -> list[float]:
    """Each frame's energy from its comment line, walking the frames by their count lines."""
    lines = path.read_bytes().split(b"\n")
    energies = []
    i = 0
    while i < len(lines) and lines[i].strip():
        found = ENERGY.search(lines[i + 1])
        energies.append(float(found.group(1)) if found else float("nan"))
        i += int(lines[i]) + 2
    return energies


def best(fn: Callable[[], Any], repeat: int) -> tuple[float, float, Any]:
    """The shortest of `repeat` runs in wall-clock and in CPU seconds (all threads of the
    process: on a shared machine the steadier figure), and the last run's result."""
    times, cpu = [], []
    result = None
    for _ in range(repeat):
        result = None  # the previous result freed before the next run
        start, start_cpu = time.perf_counter(), time.process_time()
        result = fn()
        times.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return min(times), min(cpu), result


def run(nframes: int, natoms: int, repeat: int,
        directory: Path) -> tuple[list[dict[str, Any]], bool, tuple[int, int]]:
    path = directory / f"table_{nframes}x{natoms}.xyz"
    atomblock.write(path, make_frames(nframes, natoms))
    declined = fallbacks(path)
    size = path.stat().st_size
    path.read_bytes()  # into the page cache
    rows: list[dict[str, Any]] = []

    def timed(op: str, fn: Callable[[], Any]) -> Any:
        seconds, cpu, result = best(fn, repeat)
        rows.append({"workload": f"{nframes}x{natoms}", "op": op, "seconds": seconds, "cpu_seconds": cpu,
                     "us_per_frame": seconds / nframes * 1e6, "MB_per_s": size / seconds / 1e6})
        return result

    frames = timed('read(":")', lambda: atomblock.read(path, ":"))
    text, rows_in_all = atom_lines(path)
    col_types = layout_of_text("species:S:1:pos:R:3:forces:R:3").col_types
    one_call = timed("yardstick: one read_block",
                     lambda: _native.read_block(text, 0, rows_in_all, col_types, False, "utf32"))
    table = timed("read_table", lambda: atomblock.read_table(path))
    table2 = timed("read_table workers=2", lambda: atomblock.read_table(path, workers=2))
    bare = timed("read_table arrays=[]", lambda: atomblock.read_table(path, arrays=[]))
    newlines = timed("count newlines", lambda: count_newlines(path))
    energies = timed("regex energies", lambda: regex_energies(path))
    out_frames, out_table = directory / "frames_out.xyz", directory / "table_out.xyz"
    timed("write frames", lambda: atomblock.write(out_frames, frames))
    timed("write table", lambda: atomblock.write(out_table, table))
    out_table2 = directory / "table_out2.xyz"
    timed("write table workers=2", lambda: atomblock.write(out_table2, table, workers=2))
    timed("write table -> /dev/null", lambda: atomblock.write(os.devnull, table))
    timed("  ... workers=2", lambda: atomblock.write(os.devnull, table, workers=2))
    points = _codepoints(table.arrays["species"], int(table.offsets[-1]))
    timed("yardstick: one write_block", lambda: _native.write_block(
        [points], [2], [table.arrays["pos"], table.arrays["forces"]], [], [], b"sffffff"))
    ok = (np.array_equal(one_call[0]["floats"], np.hstack([table.arrays["pos"], table.arrays["forces"]]))
          and list(table) == frames and table2 == table and bare.arrays == {}
          and np.array_equal(bare.natoms, table.natoms) and np.array_equal(bare.info["energy"], table.info["energy"])
          and np.array_equal(energies, bare.info["energy"]) and newlines == nframes * (natoms + 2)
          and out_frames.read_bytes() == out_table.read_bytes() == out_table2.read_bytes() == path.read_bytes())
    for p in (path, out_frames, out_table, out_table2):
        p.unlink()
    return rows, ok, declined


def run_big(natoms: int, repeat: int, directory: Path) -> tuple[list[dict[str, Any]], bool]:
    """One frame of `natoms` atoms written with fixed and with shortest floats."""
    rng = np.random.default_rng(1)
    frame = atomblock.Frame({"species": rng.choice(SPECIES, natoms), "pos": rng.random((natoms, 3)) * 10,
                             "forces": rng.normal(size=(natoms, 3))})
    rows: list[dict[str, Any]] = []
    for fmt in ("fixed", "shortest"):
        seconds, cpu, _ = best(lambda fmt=fmt: atomblock.write(os.devnull, frame, float_format=fmt), repeat)
        rows.append({"workload": f"1x{natoms}", "op": f"big frame {fmt}", "seconds": seconds, "cpu_seconds": cpu,
                     "ns_per_atom": seconds / natoms * 1e9})
    path = directory / "big.xyz"
    atomblock.write(path, frame, float_format="shortest")
    back = atomblock.read(path)
    ok = all(np.array_equal(back.arrays[name], frame.arrays[name]) for name in ("species", "pos", "forces"))
    path.unlink()
    return rows, ok


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default=None, help=f"FRAMESxATOMS,... (default {DEFAULT_SIZES})")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help=f"sizes {QUICK_SIZES}, one run each")
    parser.add_argument("--big-atoms", type=int, default=None,
                        help="atoms of the one big frame (default 1,000,000; --quick 100,000; 0: none)")
    parser.add_argument("--json", type=Path, help="write the figures here too")
    args = parser.parse_args(argv)
    sizes = args.sizes or (QUICK_SIZES if args.quick else DEFAULT_SIZES)
    repeat = 1 if args.quick else args.repeat
    workloads = [tuple(int(x) for x in s.split("x")) for s in sizes.split(",")]
    all_rows: list[dict[str, Any]] = []
    all_ok = True
    declined: dict[str, list[int]] = {}
    print(f"atomblock {atomblock.__version__}, Python {platform.python_version()}, NumPy {np.__version__},"
          f" {os.cpu_count()} CPUs; best of {repeat}")
    print(f"{'workload':>12} {'op':<24} {'seconds':>9} {'cpu s':>7} {'us/frame':>9} {'MB/s':>8}")
    with tempfile.TemporaryDirectory(prefix="bench_table_") as tmp:
        for nframes, natoms in workloads:
            rows, ok, (fell, lines) = run(nframes, natoms, repeat, Path(tmp))
            declined[f"{nframes}x{natoms}"] = [fell, lines]
            for r in rows:
                print(f"{r['workload']:>12} {r['op']:<24} {r['seconds']:9.3f} {r['cpu_seconds']:7.3f}"
                      f" {r['us_per_frame']:9.1f}"
                      f" {r['MB_per_s']:8.1f}")
            print(f"{'':>12} cross-check: {'ok' if ok else 'FAILED'}; comment lines the native scanner"
                  f" declines: {fell:,} of {lines:,}")
            all_rows += rows
            all_ok = all_ok and ok
        big = args.big_atoms if args.big_atoms is not None else (100_000 if args.quick else 1_000_000)
        if big:
            rows, ok = run_big(big, repeat, Path(tmp))
            for r in rows:
                print(f"{r['workload']:>12} {r['op']:<24} {r['seconds']:9.3f} {r['cpu_seconds']:7.3f}"
                      f" {r['ns_per_atom']:9.1f} ns/atom")
            print(f"{'':>12} shortest / fixed: {rows[1]['seconds'] / rows[0]['seconds']:.2f};"
                  f" cross-check: {'ok' if ok else 'FAILED'}")
            all_rows += rows
            all_ok = all_ok and ok
    if args.json:
        args.json.write_text(json.dumps({"rows": all_rows, "ok": all_ok, "declined_comment_lines": declined},
                                        indent=1) + "\n")
    return 0 if all_ok else 1


if __name__ == "__main__":
    sys.exit(main())
