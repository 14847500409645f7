"""Whole-file benchmark of the atomblock package: file -> frames and frames -> file, against
the earlier example file layer (bench/old_extxyz.py), on the same data with the file in the
page cache; plus read(index=-1) against a full read, iread of a gzip copy with each gzip decoder
present, and the peak memory of read and iread.

    .venv/bin/python bench/bench_files.py                 # the full run (about a minute)
    .venv/bin/python bench/bench_files.py --quick         # seconds: small sizes, same report
    .venv/bin/python bench/bench_files.py --size-mb 1000 --json bench/results/files.json

The targets are informational: the exit status is 0 whenever the run completes and every
contender reads and writes the same data (1 when a cross-check fails).
"""
from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))  # old_extxyz.py, beside this script

import atomblock

import old_extxyz

PROPERTIES = "species:S:1:pos:R:3:forces:R:3:tags:I:1:fixed:L:1"
SPECIES = ("H", "C", "N", "O", "Si")

# The two workloads: a few big frames (cost per atom) and many small ones (cost per frame).
BIG_FRAMES, BIG_ATOMS = 3, 100_000
SMALL_FRAMES, SMALL_ATOMS = 3_000, 100
QUICK_BIG_ATOMS, QUICK_SMALL_FRAMES = 10_000, 300
# Frames of the large file used for read(index=-1) and the memory probes: ~1.2 MB each
# (10,000 lines of ~117 bytes), so a 200 MB file has ~170 frames.
LARGE_FILE_ATOMS = 10_000
DEFAULT_SIZE_MB, QUICK_SIZE_MB = 200, 8
DEFAULT_REPEAT, QUICK_REPEAT = 5, 1
MB = 10**6
NS_PER_S, US_PER_S = 1e9, 1e6

# Targets: (name, workload, op, contender, limit) for absolute costs in the workload's unit,
# and (name, workload, op, min_ratio) for the speed-up over the old example.
COST_TARGETS = [
    ("read <= 150 ns/atom", "big", "read", "atomblock", 150.0),
    ("read <= 150 ns/atom (workers=2)", "big", "read", "atomblock workers=2", 150.0),
    ("write <= 120 ns/atom", "big", "write", "atomblock", 120.0),
    ("write <= 120 ns/atom (workers=2)", "big", "write", "atomblock workers=2", 120.0),
    ("read <= 20 us/frame", "small", "read", "atomblock", 20.0),
    ("write <= 20 us/frame", "small", "write", "atomblock", 20.0),
]
RATIO_TARGETS = [
    ("read >= 2.5x faster than the old example", "big", "read", 2.5),
    ("write >= 2.5x faster than the old example", "big", "write", 2.5),
    ("read >= 3x faster than the old example", "small", "read", 3.0),
    ("write >= 3x faster than the old example", "small", "write", 3.0),
]


def make_frame(rng: np.random.Generator, natoms: int, step: int) -> atomblock.Frame:
    """One frame in the benchmark layout: positions in a 100 A box, unit-variance forces."""
    return atomblock.Frame(
        arrays={"species": rng.choice(np.array(SPECIES), natoms),
                "pos": rng.uniform(-50, 50, (natoms, 3)),
                "forces": rng.normal(0, 1, (natoms, 3)),
                "tags": rng.integers(1, 101, natoms),
                "fixed": rng.random(natoms) < 0.5},
        info={"step": step, "energy": float(rng.normal(-1000, 10))},
        cell=np.diag([100.0, 100.0, 100.0]), pbc=np.array([True, True, True]))


def median_time(func: Callable[[], Any], repeat: int,
                setup: Callable[[], Any] | None = None) -> tuple[float, Any]:
    """Median wall time of `repeat` calls of func (setup, untimed, before each) and func's last result."""
    times, result = [], None
    for _ in range(repeat):
        if setup is not None:
            setup()
        start = time.perf_counter()
        result = func()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def same_arrays(new: list[atomblock.Frame], old: list[Any]) -> bool:
    """The package and the old example read the same values from the same file."""
    if len(new) != len(old):
        return False
    for a, b in zip(new, old, strict=True):
        if list(a.arrays) != list(b.properties):
            return False
        if not all(np.array_equal(a.arrays[k], b.properties[k]) for k in a.arrays):
            return False
    return True


def bench_workload(name: str, nframes: int, natoms: int, tmp: Path, repeat: int,
                   rng: np.random.Generator) -> tuple[list[dict], list[str]]:
    """Time both contenders on one file; returns (result rows, cross-check faults)."""
    source = tmp / f"{name}.xyz"
    atomblock.write(source, (make_frame(rng, natoms, k) for k in range(nframes)))
    data = source.read_bytes()  # also puts the file in the page cache
    size = len(data)
    units = nframes * natoms if name == "big" else nframes
    unit, per_unit = ("ns/atom", NS_PER_S) if name == "big" else ("us/frame", US_PER_S)
    rows, faults = [], []

    def row(op: str, contender: str, seconds: float) -> None:
        rows.append({"workload": name, "frames": nframes, "natoms": natoms, "bytes": size, "op": op,
                     "contender": contender, "seconds": seconds, "per_unit": seconds / units * per_unit,
                     "unit": unit, "mb_per_s": size / seconds / MB, "repeat": repeat})

    frames: list[atomblock.Frame] = []
    for workers in (1, 2):
        t, frames = median_time(lambda: atomblock.read(source, ":", workers=workers), repeat)
        row("read", "atomblock" if workers == 1 else "atomblock workers=2", t)
    t, old_frames = median_time(lambda: old_extxyz.read(source, progress=False), repeat)
    row("read", "old example", t)
    if not same_arrays(frames, old_frames):
        faults.append(f"{name}: atomblock and the old example read different arrays")

    # Each write makes a new file: truncating the previous copy's cached pages is not the writer's cost.
    target = tmp / f"{name}-copy.xyz"

    def fresh_target() -> None:
        target.unlink(missing_ok=True)

    for workers in (1, 2):
        t, _ = median_time(lambda: atomblock.write(target, frames, workers=workers), repeat, fresh_target)
        row("write", "atomblock" if workers == 1 else "atomblock workers=2", t)
        if target.read_bytes() != data:
            faults.append(f"{name}: atomblock's rewrite (workers={workers}) differs from the file it read")
    t, _ = median_time(lambda: old_extxyz.write(target, old_frames), repeat, fresh_target)
    row("write", "old example", t)
    if target.read_bytes() != data:
        faults.append(f"{name}: the old example's rewrite differs from the file it read")
    target.unlink()
    source.unlink()
    return rows, faults


def evaluate_targets(rows: list[dict]) -> list[dict]:
    def find(workload: str, op: str, contender: str) -> dict | None:
        return next((r for r in rows if (r["workload"], r["op"], r["contender"]) == (workload, op, contender)), None)

    def label(workload: str) -> str:
        r = next((r for r in rows if r["workload"] == workload), None)
        return workload if r is None else f"{r['frames']:,} x {r['natoms']:,} atoms"

    out = []
    for name, workload, op, contender, limit in COST_TARGETS:
        r = find(workload, op, contender)
        value = None if r is None else r["per_unit"]
        out.append({"workload": workload, "data": label(workload), "target": name, "value": value,
                    "shown": "n/a" if r is None else f"{value:.1f} {r['unit']}",
                    "result": "n/a" if r is None else ("PASS" if value <= limit else "FAIL")})
    for name, workload, op, min_ratio in RATIO_TARGETS:
        ours, old = find(workload, op, "atomblock"), find(workload, op, "old example")
        ratio = None if ours is None or old is None else old["seconds"] / ours["seconds"]
        out.append({"workload": workload, "data": label(workload), "target": name, "value": ratio,
                    "shown": "n/a" if ratio is None else f"{ratio:.2f}x",
                    "result": "n/a" if ratio is None else ("PASS" if ratio >= min_ratio else "FAIL")})
    return out


def make_large_file(path: Path, size_mb: float, rng: np.random.Generator) -> tuple[int, int]:
    """Write frames of LARGE_FILE_ATOMS atoms until the file holds size_mb; (frames, bytes)."""
    frame = make_frame(rng, LARGE_FILE_ATOMS, 0)
    atomblock.write(path, frame)
    nframes = max(2, round(size_mb * MB / path.stat().st_size))

    def frames():
        for step in range(nframes):
            frame.info["step"] = step
            yield frame

    atomblock.write(path, frames())
    return nframes, path.stat().st_size


def bench_last_frame(path: Path, nframes: int, repeat: int) -> dict:
    path.read_bytes()  # into the page cache
    t_last, last = median_time(lambda: atomblock.read(path, -1), repeat)
    t_all, frames = median_time(lambda: atomblock.read(path, ":"), 1)
    ok = len(frames) == nframes and all(np.array_equal(last.arrays[k], frames[-1].arrays[k]) for k in last.arrays)
    del frames
    return {"bytes": path.stat().st_size, "frames": nframes, "last_s": t_last, "full_s": t_all,
            "ratio": t_all / t_last, "same_last_frame": ok}


def bench_gzip(path: Path, repeat: int) -> list[dict]:
    """iread over a gzip copy of the large file (level 1), with each gzip decoder present."""
    import gzip
    import importlib

    from atomblock import _source

    packed = path.with_name(path.name + ".gz")
    with open(path, "rb") as src, gzip.open(packed, "wb", compresslevel=1) as dst:
        while block := src.read(1 << 24):
            dst.write(block)
    size = path.stat().st_size
    rows = []
    chosen = _source._gzip_module
    try:
        for decoder, module in (("gzip", "gzip"), ("isal", "isal.igzip"), ("zlib-ng", "zlib_ng.gzip_ng")):
            try:
                _source._gzip_module = importlib.import_module(module)
            except ImportError:
                continue
            t, n = median_time(lambda: sum(1 for _ in atomblock.iread(packed)), repeat)
            rows.append({"decoder": decoder, "bytes": size, "gz_bytes": packed.stat().st_size, "frames": n,
                         "seconds": t, "mb_per_s": size / t / MB})
    finally:
        _source._gzip_module = chosen
        packed.unlink()
    return rows


# Runs in a fresh interpreter so that the high-water marks belong to one call. Anonymous memory
# (resident minus file-backed pages, so a mapped file in the page cache does not count) is
# sampled every millisecond; the peak resident set (VmHWM, file pages included) is exact.
MEMORY_PROBE = r"""
import json, os, sys, threading, time
import atomblock
mode, path = sys.argv[1], sys.argv[2]
page = os.sysconf("SC_PAGE_SIZE")
def anon():
    with open("/proc/self/statm") as f:
        fields = f.read().split()
    return (int(fields[1]) - int(fields[2])) * page
def hwm():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
base_anon, base_hwm = anon(), hwm()
peak = [base_anon]
stop = threading.Event()
def sample():
    while not stop.is_set():
        peak[0] = max(peak[0], anon())
        time.sleep(0.001)
sampler = threading.Thread(target=sample, daemon=True)
sampler.start()
frame_bytes = total_bytes = frames = 0
if mode == "read":
    result = atomblock.read(path, ":")
    frames = len(result)
    sizes = [sum(a.nbytes for a in f.arrays.values()) for f in result]
else:
    sizes = []
    for f in atomblock.iread(path):
        frames += 1
        sizes.append(sum(a.nbytes for a in f.arrays.values()))
peak[0] = max(peak[0], anon())
stop.set()
sampler.join()
print(json.dumps({"mode": mode, "frames": frames, "arrays_bytes": sum(sizes), "largest_frame_bytes": max(sizes),
                  "peak_anon_bytes": peak[0] - base_anon, "peak_rss_growth_bytes": hwm() - base_hwm}))
"""


def memory_probe(mode: str, path: Path) -> dict:
    proc = subprocess.run([sys.executable, "-c", MEMORY_PROBE, mode, str(path)],
                          capture_output=True, text=True, env=dict(os.environ))
    if proc.returncode != 0:
        return {"mode": mode, "error": proc.stderr.strip().splitlines()[-1] if proc.stderr.strip() else "failed"}
    return json.loads(proc.stdout)


def machine() -> dict:
    cpu = platform.processor() or "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return {"cpu": cpu, "cores": os.cpu_count(), "python": platform.python_version(),
            "numpy": np.__version__, "atomblock": getattr(atomblock, "__version__", "dev")}


def print_report(res: dict) -> None:
    m = res["machine"]
    print(f"machine: {m['cpu']}, {m['cores']} cores, CPython {m['python']}, NumPy {m['numpy']}")
    print(f"file in the page cache; median of {res['config']['repeat']} runs"
          + ("; --quick: smaller than the target sizes" if res["config"]["quick"] else ""))
    print(f"\n{'data':<28} {'op':<6} {'contender':<20} {'time':>10} {'cost':>16} {'MB/s':>8} {'vs old':>7}")
    for r in res["results"]:
        data = f"{r['frames']:,} x {r['natoms']:,} atoms ({r['bytes'] / MB:.1f} MB)"
        old = next(o for o in res["results"] if (o["workload"], o["op"], o["contender"])
                   == (r["workload"], r["op"], "old example"))
        print(f"{data:<28} {r['op']:<6} {r['contender']:<20} {r['seconds'] * 1e3:>7.1f} ms"
              f" {r['per_unit']:>8.1f} {r['unit']:<7} {r['mb_per_s']:>8.1f} {old['seconds'] / r['seconds']:>6.2f}x")
    print("\ntargets (informational):")
    for t in res["targets"]:
        print(f"  {t['result']:<4} {t['data']}: {t['target']}: {t['shown']}")
    last = res["last_frame"]
    print(f"\nread(index=-1) on {last['bytes'] / MB:.0f} MB ({last['frames']} frames): {last['last_s'] * 1e3:.1f} ms;"
          f" full read {last['full_s'] * 1e3:.0f} ms ({last['ratio']:.0f}x the time)"
          + ("" if last["same_last_frame"] else "  MISMATCH: not the full read's last frame"))
    for g in res.get("gzip", []):
        print(f"iread of the same file gzipped (level 1, {g['gz_bytes'] / MB:.0f} MB), {g['decoder']} decoder:"
              f" {g['seconds'] * 1e3:.0f} ms, {g['mb_per_s']:.0f} MB/s of text")
    print("peak memory in a fresh process (anonymous memory, sampled; resident-set growth incl. file pages):")
    for p in res["memory"]:
        if "error" in p:
            print(f"  {p['mode']:<5}: error: {p['error']}")
            continue
        print(f"  {p['mode']:<5}: {p['peak_anon_bytes'] / MB:7.1f} MB anonymous,"
              f" {p['peak_rss_growth_bytes'] / MB:7.1f} MB"
              f" resident; arrays {p['arrays_bytes'] / MB:.1f} MB in all, {p['largest_frame_bytes'] / MB:.2f} MB"
              " in the largest frame")
    for fault in res["faults"]:
        print(f"CROSS-CHECK FAILED: {fault}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0].replace("\n", " "))
    parser.add_argument("--quick", action="store_true",
                        help=f"small sizes ({QUICK_BIG_ATOMS:,}-atom big frames, {QUICK_SMALL_FRAMES} small "
                             f"frames, {QUICK_SIZE_MB} MB file), one run each")
    parser.add_argument("--size-mb", type=float, help=f"size of the file for read(index=-1) and the memory "
                                                      f"probes (default {DEFAULT_SIZE_MB}, --quick {QUICK_SIZE_MB})")
    parser.add_argument("--repeat", type=int, help=f"runs per timing, the median is reported "
                                                   f"(default {DEFAULT_REPEAT}, --quick {QUICK_REPEAT})")
    parser.add_argument("--json", type=Path, metavar="PATH", help="also write the results as JSON")
    parser.add_argument("--dir", type=Path, help="directory for the temporary files (default: the system's)")
    args = parser.parse_args(argv)
    repeat = args.repeat or (QUICK_REPEAT if args.quick else DEFAULT_REPEAT)
    size_mb = args.size_mb or (QUICK_SIZE_MB if args.quick else DEFAULT_SIZE_MB)
    big_atoms = QUICK_BIG_ATOMS if args.quick else BIG_ATOMS
    small_frames = QUICK_SMALL_FRAMES if args.quick else SMALL_FRAMES

    rng = np.random.default_rng(2024)
    res: dict[str, Any] = {"machine": machine(), "config": {"quick": args.quick, "repeat": repeat,
                                                             "size_mb": size_mb, "properties": PROPERTIES}}
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp_name:
        tmp = Path(tmp_name)
        rows, faults = [], []
        for name, nframes, natoms in (("big", BIG_FRAMES, big_atoms), ("small", small_frames, SMALL_ATOMS)):
            r, f = bench_workload(name, nframes, natoms, tmp, repeat, rng)
            rows += r
            faults += f
        res["results"], res["targets"] = rows, evaluate_targets(rows)
        large = tmp / "large.xyz"
        nframes, _ = make_large_file(large, size_mb, rng)
        res["last_frame"] = bench_last_frame(large, nframes, repeat)
        if not res["last_frame"]["same_last_frame"]:
            faults.append("read(index=-1) differs from the last frame of a full read")
        res["gzip"] = bench_gzip(large, repeat)
        res["memory"] = [memory_probe(mode, large) for mode in ("read", "iread")]
        res["faults"] = faults
    print_report(res)
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(res, indent=1) + "\n", encoding="utf-8")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
