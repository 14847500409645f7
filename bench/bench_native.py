"""Timing of atomblock._native against _atomblock: read_block and write_block
next to read_atom_lines_rs and write_atoms_rs on the same frames (ns per atom
and us per call, best of --repeat), and read_block on 1 and 2 threads over
several frames of one buffer.

    PYTHONPATH=<build dir> python bench/bench_native.py [--sizes 100000 100] [--repeat 7]
"""
import argparse
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import _atomblock
from atomblock import _native as native

# species:S:1:pos:R:3:forces:R:3:tags:I:1:fixed:L:1
COL_TYPES = b"sffffffib"
SPECIES = ["H", "C", "N", "O", "Fe", "Si"]
NANOSECONDS = 1e9
MICROSECONDS = 1e6


def make_frame(natoms, seed=0):
    rng = np.random.default_rng(seed)
    species = np.array(SPECIES)[rng.integers(0, len(SPECIES), natoms)]
    sym = species.view(np.uint32).reshape(natoms, -1)
    floats = rng.normal(scale=10.0, size=(natoms, 6))
    ints = rng.integers(0, 100, size=(natoms, 1), dtype=np.int64)
    bools = rng.integers(0, 2, size=(natoms, 1), dtype=np.uint8)
    return sym, floats, ints, bools


def best(fn, repeat, inner):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(inner):
            fn()
        times.append((time.perf_counter() - start) / inner)
    return min(times)


def report(name, seconds, natoms):
    print(f"  {name:<42} {seconds * NANOSECONDS / natoms:9.1f} ns/atom {seconds * MICROSECONDS:11.1f} us/call")


def bench_size(natoms, repeat):
    sym, floats, ints, bools = make_frame(natoms)
    inner = max(1, 200_000 // natoms)
    text = _atomblock.write_atoms_rs(sym, 2, floats, ints, bools, COL_TYPES)
    data = text.encode()
    lines = text.splitlines()
    print(f"{natoms} atoms ({inner} calls per timing, best of {repeat})")
    report("read_block(bytes)", best(lambda: native.read_block(data, 0, natoms, COL_TYPES), repeat, inner), natoms)
    report("read_atom_lines_rs(lines)",
           best(lambda: _atomblock.read_atom_lines_rs(lines, COL_TYPES), repeat, inner), natoms)
    report("read_atom_lines_rs(data.decode().splitlines())",
           best(lambda: _atomblock.read_atom_lines_rs(data.decode().splitlines(), COL_TYPES), repeat, inner),
           natoms)
    report("write_block(fixed)", best(lambda: native.write_block([sym], [2], floats, ints, bools, COL_TYPES),
                                      repeat, inner), natoms)
    report("write_block(shortest)",
           best(lambda: native.write_block([sym], [2], floats, ints, bools, COL_TYPES, "shortest"), repeat, inner),
           natoms)
    report("write_atoms_rs(...)", best(lambda: _atomblock.write_atoms_rs(sym, 2, floats, ints, bools, COL_TYPES),
                                       repeat, inner), natoms)
    report("write_atoms_rs(...).encode()",
           best(lambda: _atomblock.write_atoms_rs(sym, 2, floats, ints, bools, COL_TYPES).encode(), repeat, inner),
           natoms)


def bench_threads(natoms, frames, repeat):
    blocks = [native.write_block([s], [2], f, i, b, COL_TYPES) for s, f, i, b in
              (make_frame(natoms, seed) for seed in range(frames))]
    data = b"".join(blocks)
    starts = np.cumsum([0] + [len(b) for b in blocks[:-1]]).tolist()

    def read(offset):
        return native.read_block(data, offset, natoms, COL_TYPES)[1]

    serial = best(lambda: [read(offset) for offset in starts], repeat, 1)
    with ThreadPoolExecutor(2) as pool:
        parallel = best(lambda: list(pool.map(read, starts)), repeat, 1)
    total = natoms * frames
    print(f"read_block over {frames} frames x {natoms} atoms")
    report("1 thread", serial, total)
    report("2 threads (ThreadPoolExecutor)", parallel, total)
    print(f"  speed-up {serial / parallel:.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 100])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--thread-frames", type=int, default=8)
    args = parser.parse_args()
    for natoms in args.sizes:
        bench_size(natoms, args.repeat)
    bench_threads(max(args.sizes), args.thread_frames, args.repeat)


if __name__ == "__main__":
    main()
