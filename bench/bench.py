"""Benchmark of _atomblock against the pure-Python loops it replaces.

Run:  python bench/bench.py [--sizes 10,1000,100000,1000000] [--repeat 5]
                            [--json PATH] [--png PATH] [--quick] [--skip-slow]
      python bench/bench.py --replot RUN.json --png PATH   (chart of an earlier run)

Contenders, timed in one process on the same random frames:
  writer: _atomblock.write_atoms_rs versus the calling package's loop
          "fmt % tuple(data[i])" over a NumPy structured array;
  reader: _atomblock.read_atom_lines_rs versus "line.split()" with one
          converter per column gathered into a structured array, and
          numpy.loadtxt on the numeric columns of the same lines.
Each size is cross-checked once (module and Python loop give the same text /
the same arrays). Figures: ns/atom (median), ratio to the module, MB/s of
atom-block text, fixed cost per call on 10 atoms, and the peak resident memory
of one module call measured in a fresh subprocess. Targets are printed as
PASS/FAIL for information only; the exit status never depends on them.
"""
from __future__ import annotations

import argparse
import gc
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time
import timeit

import numpy as np

try:
    import resource  # POSIX only: page faults and peak memory are not reported elsewhere
except ImportError:
    resource = None

try:
    import _atomblock
    MODULE_IMPORT_ERROR = None
except ImportError as exc:  # the benchmark still runs the Python contenders
    _atomblock = None
    MODULE_IMPORT_ERROR = f"{type(exc).__name__}: {exc}"

LAYOUTS = ("sfff", "sffffffib")
SYMBOLS = ("H", "C", "N", "O", "Si")
SYM_WIDTH = 2
FULL_SIZES = (10, 1_000, 100_000, 1_000_000)
QUICK_SIZES = (10, 1_000)
SLOW_SIZE = 500_000          # from here on the pure-Python loops use --python-repeat
SAMPLE_ATOMS = 10_000        # atoms cross-checked at each end when a Python loop is skipped
RATIO_ATOMS = 100_000        # size of the speed-ratio targets: the fixed cost is negligible
LARGE_ATOMS = 1_000_000      # size of the scaling and memory targets: beyond the caches
BASE_SEED = 20_240_611

MODULE = "module"
PY_WRITE = "python loop"
PY_READ = "python loop"
LOADTXT = "numpy.loadtxt"


# --------------------------------------------------------------------------
# Data
# --------------------------------------------------------------------------

def make_frame(natoms: int, layout: str, seed: int | None = None) -> dict:
    """Random frame of `natoms` atoms for a layout of column type codes.

    Symbols from H, C, N, O, Si; the first three float columns are positions
    uniform in [-50, 50], further float columns forces ~ N(0, 1); integers
    1..100; booleans random. Returns the module's inputs and the calling
    package's structured array for the same data.
    """
    if seed is None:
        seed = BASE_SEED + 7919 * LAYOUTS.index(layout) + natoms if layout in LAYOUTS \
            else BASE_SEED + natoms
    rng = np.random.default_rng(seed)
    nf, ni, nb = layout.count("f"), layout.count("i"), layout.count("b")
    symbols = rng.choice(np.array(SYMBOLS), natoms)
    floats = np.empty((natoms, nf))
    npos = min(nf, 3)
    floats[:, :npos] = rng.uniform(-50.0, 50.0, (natoms, npos))
    floats[:, npos:] = rng.normal(0.0, 1.0, (natoms, nf - npos))
    ints = rng.integers(1, 101, (natoms, ni), dtype=np.int64)
    bools = rng.integers(0, 2, (natoms, nb), dtype=np.uint8)

    # The calling package's structured array: one field per column, booleans
    # stored as "T"/"F" so that " %.1s" formats them.
    fields, counters = [], {"s": 0, "f": 0, "i": 0, "b": 0}
    for code in layout:
        k = counters[code]
        counters[code] += 1
        fields.append((f"{code}{k}", {"s": "U2", "f": "f8", "i": "i8", "b": "U1"}[code]))
    data = np.empty(natoms, dtype=fields)
    counters = {"s": 0, "f": 0, "i": 0, "b": 0}
    for name, _ in fields:
        code = name[0]
        k = counters[code]
        counters[code] += 1
        if code == "s":
            data[name] = symbols
        elif code == "f":
            data[name] = floats[:, k]
        elif code == "i":
            data[name] = ints[:, k]
        else:
            data[name] = np.where(bools[:, k] != 0, "T", "F")
    return {
        "layout": layout,
        "natoms": natoms,
        "col_types": layout.encode(),
        "symbols": symbols,
        "sym_codepoints": symbols.view(np.uint32).reshape(natoms, -1),
        "floats": floats,
        "ints": ints,
        "bools": bools,
        "data": data,
        "fmt": python_format(layout),
    }


def python_format(layout: str) -> str:
    """printf-style line format of the calling package for a layout."""
    parts = {"s": "%-2s", "f": "%16.8f", "i": "%8d", "b": " %.1s"}
    return " ".join(parts[c] for c in layout) + "\n"


# --------------------------------------------------------------------------
# Contenders
# --------------------------------------------------------------------------

def module_write(frame: dict) -> str:
    return _atomblock.write_atoms_rs(frame["sym_codepoints"], SYM_WIDTH, frame["floats"],
                                     frame["ints"], frame["bools"], frame["col_types"])


def python_write(data: np.ndarray, fmt: str) -> str:
    """The calling package's writer loop, one printf per atom, joined."""
    return "".join([fmt % tuple(data[i]) for i in range(len(data))])


def module_read(lines: list, col_types: bytes) -> dict:
    return _atomblock.read_atom_lines_rs(lines, col_types)


_BOOL_WORDS = {"T": True, "True": True, "TRUE": True, "true": True,
               "F": False, "False": False, "FALSE": False, "false": False}


def parse_bool(token: str) -> bool:
    try:
        return _BOOL_WORDS[token]
    except KeyError:
        raise ValueError(f"cannot parse {token!r} as bool") from None


def python_converters(layout: str):
    """The calling package's reader set-up: one converter per column (the
    converter list) and the structured dtype the rows are gathered into."""
    convs = {"s": str, "f": float, "i": int, "b": parse_bool}
    kinds = {"s": "U3", "f": "f8", "i": "i8", "b": "?"}
    counters = {"s": 0, "f": 0, "i": 0, "b": 0}
    dtype = []
    for code in layout:
        dtype.append((f"{code}{counters[code]}", kinds[code]))
        counters[code] += 1
    return [convs[c] for c in layout], np.dtype(dtype)


def python_read(lines: list, convs: list, dtype: np.dtype) -> np.ndarray:
    """The calling package's reader loop: split, convert per column, one array."""
    rows = []
    append = rows.append
    for line in lines:
        append(tuple([conv(tok) for conv, tok in zip(convs, line.split(), strict=False)]))
    return np.array(rows, dtype)


def loadtxt_columns(layout: str) -> list:
    return [j for j, c in enumerate(layout) if c in "fi"]


def loadtxt_read(lines: list, usecols: list) -> np.ndarray:
    """numpy.loadtxt of the numeric (float and integer) columns as float64.

    It is given the same list of lines as the module: on NumPy 2 that is
    faster than an io.StringIO of the block (about 0.6 of its time here).
    """
    return np.loadtxt(lines, dtype=np.float64, usecols=usecols, ndmin=2)


def structured_to_columns(arr: np.ndarray, layout: str) -> dict:
    """Per-type matrices of a structured array, shaped like the module's result."""
    names = arr.dtype.names
    pick = lambda code, dt: (np.column_stack([arr[n] for n in names if n[0] == code]).astype(dt)
                             if any(n[0] == code for n in names)
                             else np.zeros((len(arr), 0), dt))
    return {
        "floats": pick("f", np.float64).reshape(len(arr), layout.count("f")),
        "ints": pick("i", np.int64).reshape(len(arr), layout.count("i")),
        "bools": pick("b", np.uint8).reshape(len(arr), layout.count("b")),
        "strs": [arr[n].tolist() for n in names if n[0] == "s"],
    }


def same_columns(mod: dict, ref: dict) -> bool:
    """True when the module's read result equals the reference columns exactly."""
    for key, dt in (("floats", np.float64), ("ints", np.int64), ("bools", np.uint8)):
        a = mod[key]
        if not isinstance(a, np.ndarray) or a.dtype != dt or not np.array_equal(a, ref[key]):
            return False
    return mod["strs"] == ref["strs"]


# --------------------------------------------------------------------------
# Timing
# --------------------------------------------------------------------------

def measure(fn, repeat: int, min_time: float):
    """Median seconds per call of `fn` over `repeat` repetitions.

    Calls that take at least `min_time` are timed one by one (the first call,
    whose result is returned, counts as a repetition); quicker ones are looped
    so that each repetition lasts about `min_time`. The cyclic garbage
    collector is off while timing, for every contender alike.
    Returns (median seconds, all per-call times, first result, mean minor
    page faults per call over the timed calls).
    """
    gc_was_on = gc.isenabled()
    gc.disable()
    try:
        f0 = _minor_faults()
        t0 = time.perf_counter()
        result = fn()
        first = time.perf_counter() - t0
        if first >= min_time:
            times = [first]
            for _ in range(repeat - 1):
                t0 = time.perf_counter()
                fn()
                times.append(time.perf_counter() - t0)
            calls = repeat
        else:
            number = max(1, math.ceil(min_time / max(first, 1e-7)))
            timer = timeit.Timer(fn)
            f0 = _minor_faults()
            times = [t / number for t in timer.repeat(repeat, number)]
            calls = repeat * number
        faults = None if resource is None else (_minor_faults() - f0) / calls
    finally:
        if gc_was_on:
            gc.enable()
        gc.collect()
    return statistics.median(times), times, result, faults


def _minor_faults() -> int | None:
    return None if resource is None else resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def per_call_us(fn, number: int, repeat: int) -> float:
    """Median µs per call over `repeat` timeit runs of `number` calls."""
    fn()
    times = timeit.Timer(fn).repeat(repeat, number)
    return statistics.median(times) / number * 1e6


# --------------------------------------------------------------------------
# Memory probe (runs in a fresh subprocess per measurement)
# --------------------------------------------------------------------------

def _proc_status_kib(field: str) -> int | None:
    try:
        with open("/proc/self/status") as fh:
            for line in fh:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def _reset_peak() -> bool:
    """Reset the kernel's resident high-water mark of this process (Linux)."""
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        return True
    except OSError:
        return False


def _release_free_heap() -> None:
    """Give freed heap pages back to the system (glibc), so that a call that
    reuses them shows up in the resident peak instead of hiding in them."""
    try:
        import ctypes
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass


def memory_probe(op: str, layout: str, natoms: int) -> dict:
    """Peak RSS increase of one module call, inputs prepared beforehand.

    Everything made while preparing stays alive until the measurement ends
    and freed heap is trimmed first, so that the call cannot hide its
    allocations in memory that is resident but free.
    """
    frame = make_frame(natoms, layout)
    text = lines = None
    if op == "read":
        try:
            text = module_write(frame)
        except Exception:
            text = python_write(frame["data"], frame["fmt"])
        lines = text.splitlines()
    gc.collect()
    gc.disable()
    _release_free_heap()
    reset = _reset_peak()
    rss0 = _proc_status_kib("VmRSS")
    max0 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    out = module_write(frame) if op == "write" else module_read(lines, frame["col_types"])
    max1 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    hwm1 = _proc_status_kib("VmHWM")
    if reset and rss0 is not None and hwm1 is not None:
        peak_kib, method = hwm1 - rss0, "VmHWM after reset of the peak"
    else:
        peak_kib, method = max1 - max0, "ru_maxrss difference (lower bound)"
    res = {"op": op, "layout": layout, "natoms": natoms, "method": method,
           "peak_bytes": peak_kib * 1024}
    if op == "write":
        res["output_bytes"] = len(out.encode())
        res["output_object_bytes"] = sys.getsizeof(out)
    else:
        arrays = sum(out[k].nbytes for k in ("floats", "ints", "bools"))
        unique = {id(s): s for col in out["strs"] for s in col}
        strs = sum(sys.getsizeof(col) for col in out["strs"]) + \
            sum(sys.getsizeof(s) for s in unique.values())
        res.update(array_bytes=arrays, strs_bytes=strs, output_bytes=arrays + strs,
                   input_text_bytes=len(text.encode()),
                   input_lines_bytes=sum(sys.getsizeof(s) for s in lines))
    return res


def run_memory_probe(op: str, layout: str, natoms: int) -> dict:
    if resource is None:
        return {"op": op, "layout": layout, "natoms": natoms,
                "error": "no memory probe on this platform (needs the resource module)"}
    cmd = [sys.executable, os.path.abspath(__file__), "--memprobe", op, layout, str(natoms)]
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=1800)
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        return {"op": op, "layout": layout, "natoms": natoms, "error": tail}
    return json.loads(proc.stdout.strip().splitlines()[-1])


# --------------------------------------------------------------------------
# Machine
# --------------------------------------------------------------------------

def machine_info() -> dict:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        usable = len(os.sched_getaffinity(0))
    except AttributeError:
        usable = os.cpu_count()
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "usable_cores": usable,
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
        "numpy": np.__version__,
        "platform": platform.platform(),
        "module": getattr(_atomblock, "__file__", None) if _atomblock else MODULE_IMPORT_ERROR,
    }


# --------------------------------------------------------------------------
# The benchmark
# --------------------------------------------------------------------------

def _row(layout, op, natoms, contender, *, seconds=None, times=(), text_bytes=0,
         status="ok", note="", faults=None):
    return {
        "layout": layout, "op": op, "natoms": natoms, "contender": contender,
        "status": status, "note": note,
        "seconds": seconds, "times": list(times), "repeat": len(times),
        "ns_per_atom": seconds / natoms * 1e9 if seconds is not None else None,
        "mb_per_s": text_bytes / seconds / 1e6 if seconds else None,
        "text_bytes": text_bytes, "ratio_to_module": None, "faults_per_call": faults,
    }


def _safe(fn):
    try:
        return fn(), None
    except BaseException as exc:  # PanicException derives from BaseException
        if isinstance(exc, KeyboardInterrupt):
            raise
        return None, f"{type(exc).__name__}: {exc}"


def bench_size(layout: str, natoms: int, args) -> tuple[list, list]:
    """All contenders and the cross-checks for one layout and size."""
    frame = make_frame(natoms, layout)
    slow = natoms >= args.slow_size
    py_repeat = args.python_repeat if slow else args.repeat
    skip_py = slow and args.skip_slow
    min_time = args.min_time
    rows, checks = [], []
    py_note = f"only {py_repeat} rep(s) at this size (--python-repeat)" \
        if slow and not skip_py and py_repeat < args.repeat else ""

    # ---- writer ----
    mod_text, err = None, None
    if _atomblock is None:
        err = MODULE_IMPORT_ERROR
    else:
        _, err = _safe(lambda: module_write(frame))
    if err is None:
        sec, times, mod_text, pf = measure(lambda: module_write(frame), args.repeat, min_time)
        rows.append(_row(layout, "write", natoms, MODULE, seconds=sec, times=times,
                         text_bytes=len(mod_text), faults=pf))
    else:
        rows.append(_row(layout, "write", natoms, MODULE, status="error", note=err))

    py_text = None
    if skip_py:
        rows.append(_row(layout, "write", natoms, PY_WRITE, status="skipped",
                         note="--skip-slow"))
    else:
        data, fmt = frame["data"], frame["fmt"]
        sec, times, py_text, pf = measure(lambda: python_write(data, fmt), py_repeat, min_time)
        rows.append(_row(layout, "write", natoms, PY_WRITE, seconds=sec, times=times,
                         text_bytes=len(py_text), note=py_note, faults=pf))

    # Cross-check of the writer: whole text, or both ends when the loop was skipped.
    if mod_text is None:
        status = "n/a (module failed)"
    elif py_text is not None:
        status = "ok" if mod_text == py_text else "MISMATCH"
    else:
        m = min(SAMPLE_ATOMS, natoms)
        head = python_write(frame["data"][:m], frame["fmt"])
        tail = python_write(frame["data"][natoms - m:], frame["fmt"])
        mod_lines = mod_text.splitlines(keepends=True)
        ok = (len(mod_lines) == natoms and "".join(mod_lines[:m]) == head
              and "".join(mod_lines[natoms - m:]) == tail)
        status = ("ok" if ok else "MISMATCH") + f" (first and last {m} atoms)"
        del mod_lines
    checks.append({"layout": layout, "natoms": natoms, "op": "write",
                   "against": PY_WRITE, "status": status})

    # ---- reader, on the text of the writer that passed the check ----
    text = mod_text if (mod_text is not None and status.startswith("ok")) else py_text
    if text is None:
        text = python_write(frame["data"], frame["fmt"])
    del mod_text, py_text
    lines = text.splitlines()
    text_bytes = len(text)
    col_types = frame["col_types"]

    mod_res, err = None, None
    if _atomblock is None:
        err = MODULE_IMPORT_ERROR
    else:
        _, err = _safe(lambda: module_read(lines, col_types))
    if err is None:
        sec, times, mod_res, pf = measure(lambda: module_read(lines, col_types), args.repeat,
                                          min_time)
        rows.append(_row(layout, "read", natoms, MODULE, seconds=sec, times=times,
                         text_bytes=text_bytes, faults=pf))
    else:
        rows.append(_row(layout, "read", natoms, MODULE, status="error", note=err))

    convs, dtype = python_converters(layout)
    py_res = None
    if skip_py:
        rows.append(_row(layout, "read", natoms, PY_READ, status="skipped",
                         note="--skip-slow"))
    else:
        sec, times, py_res, pf = measure(lambda: python_read(lines, convs, dtype), py_repeat,
                                         min_time)
        rows.append(_row(layout, "read", natoms, PY_READ, seconds=sec, times=times,
                         text_bytes=text_bytes, note=py_note, faults=pf))

    usecols = loadtxt_columns(layout)
    sec, times, lt_res, pf = measure(lambda: loadtxt_read(lines, usecols), args.repeat, min_time)
    rows.append(_row(layout, "read", natoms, LOADTXT, seconds=sec, times=times,
                     text_bytes=text_bytes, note="numeric columns only", faults=pf))

    # Cross-checks of the reader.
    if py_res is not None:
        ref = structured_to_columns(py_res, layout)
        ref_note = ""
    else:
        m = min(SAMPLE_ATOMS, natoms)
        sample = lines[:m] + lines[natoms - m:]
        ref = structured_to_columns(python_read(sample, convs, dtype), layout)
        ref_note = f" (first and last {m} atoms)"
    if mod_res is None:
        status = "n/a (module failed)"
    else:
        got = mod_res
        if py_res is None:
            idx = np.r_[0:m, natoms - m:natoms]
            got = {k: mod_res[k][idx] for k in ("floats", "ints", "bools")}
            got["strs"] = [[col[i] for i in idx] for col in mod_res["strs"]]
        status = ("ok" if same_columns(got, ref) else "MISMATCH") + ref_note
    checks.append({"layout": layout, "natoms": natoms, "op": "read",
                   "against": PY_READ, "status": status})
    if mod_res is not None:
        numeric = np.column_stack(
            [mod_res["floats"][:, layout[:j].count("f")] if layout[j] == "f"
             else mod_res["ints"][:, layout[:j].count("i")].astype(np.float64)
             for j in usecols]) if usecols else np.zeros((natoms, 0))
        lt_status = "ok" if np.array_equal(numeric, lt_res) else "MISMATCH"
    else:
        lt_status = "n/a (module failed)"
    checks.append({"layout": layout, "natoms": natoms, "op": "read",
                   "against": LOADTXT, "status": lt_status})

    # Ratios to the module.
    for op in ("write", "read"):
        base = next((r for r in rows if r["op"] == op and r["contender"] == MODULE), None)
        for r in rows:
            if r["op"] == op and base and base["seconds"] and r["seconds"]:
                r["ratio_to_module"] = r["seconds"] / base["seconds"]
    return rows, checks


def fixed_costs(args) -> list:
    """µs per call on a 10-atom frame, over many calls."""
    out = []
    n_mod = args.fixed_number
    n_py = max(1, n_mod // 10)
    for layout in args.layouts:
        frame = make_frame(10, layout)
        py_text = python_write(frame["data"], frame["fmt"])
        lines = py_text.splitlines()
        convs, dtype = python_converters(layout)
        usecols = loadtxt_columns(layout)
        cases = [
            ("write", MODULE, lambda: module_write(frame), n_mod),
            ("write", PY_WRITE, lambda: python_write(frame["data"], frame["fmt"]), n_py),
            ("read", MODULE, lambda: module_read(lines, frame["col_types"]), n_mod),
            ("read", PY_READ, lambda: python_read(lines, convs, dtype), n_py),
            ("read", LOADTXT, lambda: loadtxt_read(lines, usecols), n_py),
        ]
        for op, contender, fn, number in cases:
            if contender == MODULE:
                _, err = (None, MODULE_IMPORT_ERROR) if _atomblock is None else _safe(fn)
                if err is not None:
                    out.append({"layout": layout, "op": op, "contender": contender,
                                "us_per_call": None, "number": number, "error": err})
                    continue
            us = per_call_us(fn, number, args.repeat)
            out.append({"layout": layout, "op": op, "contender": contender,
                        "us_per_call": us, "number": number})
    return out


BREAKDOWN_LAYOUT = "sffffffib"
BREAKDOWN_CODES = {  # column codes of growing work; "x" takes a token and drops it
    "write": ("", "s", "sffffff", "sffffffi", "sffffffib"),
    "read": ("", "xxxxxxxxx", "xffffffxx", "xffffffix", "xffffffib", "sffffffib"),
}


def breakdown(args) -> list:
    """Module only: where the time of one call goes, by growing sets of codes
    on the same sffffffib frame, at 10 atoms (median µs/call) and at a large
    size (fastest repetition, as this is a diagnosis rather than a figure)."""
    big = min(100_000, max(args.sizes))
    small_f, big_f = make_frame(10, BREAKDOWN_LAYOUT), make_frame(big, BREAKDOWN_LAYOUT)
    out = []
    for op, variants in BREAKDOWN_CODES.items():
        if op == "read":
            small_lines = python_write(small_f["data"], small_f["fmt"]).splitlines()
            big_lines = python_write(big_f["data"], big_f["fmt"]).splitlines()
        for codes in variants:
            ct = codes.encode()
            if op == "write":
                call_s = lambda ct=ct: _atomblock.write_atoms_rs(
                    small_f["sym_codepoints"], SYM_WIDTH, small_f["floats"], small_f["ints"],
                    small_f["bools"], ct)
                call_b = lambda ct=ct: _atomblock.write_atoms_rs(
                    big_f["sym_codepoints"], SYM_WIDTH, big_f["floats"], big_f["ints"],
                    big_f["bools"], ct)
            else:
                call_s = lambda ct=ct: _atomblock.read_atom_lines_rs(small_lines, ct)
                call_b = lambda ct=ct: _atomblock.read_atom_lines_rs(big_lines, ct)
            _, err = (None, MODULE_IMPORT_ERROR) if _atomblock is None else _safe(call_b)
            if err is not None:
                out.append({"op": op, "codes": codes, "natoms": big, "error": err})
                continue
            us10 = per_call_us(call_s, args.fixed_number, args.repeat)
            _, times, _, _ = measure(call_b, args.repeat, args.min_time)
            out.append({"op": op, "codes": codes, "natoms": big, "us_per_call_10": us10,
                        "ns_per_atom": min(times) / big * 1e9})
    return out


def evaluate_targets(rows, fixed, memory) -> list:
    """The performance targets, each PASS, FAIL or n/a (missing data)."""
    def sec(layout, op, n, contender):
        r = next((r for r in rows if (r["layout"], r["op"], r["natoms"], r["contender"])
                  == (layout, op, n, contender)), None)
        return r["seconds"] if r else None

    def nspa(layout, op, n):
        s = sec(layout, op, n, MODULE)
        return s / n * 1e9 if s else None

    targets = []

    def add(name, value, passed, detail):
        targets.append({"name": name, "value": value,
                        "result": "n/a" if passed is None else ("PASS" if passed else "FAIL"),
                        "detail": detail})

    def no_data(*sizes):
        run = {r["natoms"] for r in rows}
        missing = [n for n in sizes if n not in run]
        return f"needs {' and '.join(f'{n:,}' for n in missing)} atoms" if missing else "no data"

    for layout, op, other, need in (("sffffffib", "write", PY_WRITE, 40),
                                    ("sfff", "write", PY_WRITE, 30),
                                    ("sffffffib", "read", PY_READ, 20),
                                    ("sffffffib", "read", LOADTXT, 10)):
        m, o = sec(layout, op, RATIO_ATOMS, MODULE), sec(layout, op, RATIO_ATOMS, other)
        v = o / m if m and o else None
        add(f"{op} {layout} @{RATIO_ATOMS:,}: >= {need}x faster than {other}", v,
            None if v is None else v >= need, f"{v:.1f}x" if v else no_data(RATIO_ATOMS))
    for op in ("write", "read"):
        for layout in LAYOUTS:
            a, b = nspa(layout, op, RATIO_ATOMS), nspa(layout, op, LARGE_ATOMS)
            v = b / a if a and b else None
            add(f"{op} {layout}: ns/atom @{LARGE_ATOMS:,} within 1.3x of @{RATIO_ATOMS:,}", v,
                None if v is None else v <= 1.3,
                f"{b:.1f} / {a:.1f} ns = {v:.2f}x" if v else no_data(RATIO_ATOMS, LARGE_ATOMS))
    for op, limit in (("write", 2.0), ("read", 3.0)):
        for layout in LAYOUTS:
            f = next((f for f in fixed if (f["layout"], f["op"], f["contender"])
                      == (layout, op, MODULE)), None)
            v = f["us_per_call"] if f else None
            add(f"{op} {layout} fixed cost on 10 atoms < {limit:g} us", v,
                None if v is None else v < limit, f"{v:.2f} us" if v else "no data")
    for m in memory:
        if "error" in m or not m.get("output_bytes") or m["natoms"] < LARGE_ATOMS:
            # Below LARGE_ATOMS the peak is made of page and allocator
            # granularity rather than of the call's buffers.
            detail = m.get("error") or (f"needs {LARGE_ATOMS:,} atoms"
                                        if m["natoms"] < LARGE_ATOMS else "no data")
            add(f"memory {m['op']} {m['layout']} @{m['natoms']:,}", None, None, detail)
            continue
        ratio = m["peak_bytes"] / m["output_bytes"]
        if m["op"] == "write":
            # output str plus one buffer of the same size, with 2 % slack
            ok = m["peak_bytes"] <= 2.0 * m["output_bytes"] * 1.02
            name = f"memory write {m['layout']} @{m['natoms']:,}: peak <= 2x output str"
        else:
            # arrays plus the string tokens kept, with 25 % slack
            ok = m["peak_bytes"] <= 1.25 * m["output_bytes"]
            name = (f"memory read {m['layout']} @{m['natoms']:,}: "
                    f"peak ~ arrays + string tokens kept (<= 1.25x)")
        add(name, ratio, ok, f"{ratio:.2f}x")
    return targets


# --------------------------------------------------------------------------
# Output
# --------------------------------------------------------------------------

def fmt_num(v, fmt):
    return "-" if v is None else format(v, fmt)


def print_report(res, out=sys.stdout):
    p = lambda *a: print(*a, file=out)
    m = res["machine"]
    cfg = res["config"]
    p("_atomblock benchmark")
    p(f"machine: {m['cpu']}, {m['cores']} cores ({m['usable_cores']} usable), "
      f"{m['implementation']} {m['python']}, NumPy {m['numpy']}, {m['platform']}")
    p(f"module:  {m['module']}")
    p(f"sizes {', '.join(f'{n:,}' for n in cfg['sizes'])}; layouts {', '.join(cfg['layouts'])}; "
      f"median of {cfg['repeat']} repetitions (pure-Python loops at >= {cfg['slow_size']:,} atoms: "
      + ("skipped" if cfg["skip_slow"] else f"{cfg['python_repeat']} repetition(s)")
      + "); GC off while timing")
    p("faults = minor page faults per call (fresh memory pages touched), mean over the timed calls")
    p("")
    hdr = (f"{'layout':<10} {'op':<5} {'natoms':>9}  {'contender':<14} {'ns/atom':>10} "
           f"{'x module':>9} {'MB/s':>8} {'reps':>4} {'faults':>8}  note")
    p(hdr)
    p("-" * len(hdr))
    for r in res["results"]:
        note = r["note"] if r["status"] == "ok" else f"{r['status']}: {r['note']}"
        if len(note) > 70:
            note = note[:67] + "..."
        p(f"{r['layout']:<10} {r['op']:<5} {r['natoms']:>9,}  {r['contender']:<14} "
          f"{fmt_num(r['ns_per_atom'], '10.1f'):>10} "
          f"{fmt_num(r['ratio_to_module'], '8.1f') + ('x' if r['ratio_to_module'] else ''):>9} "
          f"{fmt_num(r['mb_per_s'], '8.1f'):>8} {r['repeat']:>4} "
          f"{fmt_num(r['faults_per_call'], '8.0f'):>8}  {note}")
    p("")
    p("cross-checks (module against the other contenders, same data):")
    for c in res["checks"]:
        p(f"  {c['layout']:<10} {c['op']:<5} {c['natoms']:>9,} vs {c['against']:<14} "
          f"{c['status']}")
    p("")
    p("fixed cost of one call on a 10-atom frame:")
    for f in res["fixed_cost"]:
        v = fmt_num(f["us_per_call"], "9.2f")
        extra = f"  {f['error'][:60]}" if f.get("error") else ""
        p(f"  {f['layout']:<10} {f['op']:<5} {f['contender']:<14} {v:>9} us/call "
          f"(median of {res['config']['repeat']} x {f['number']} calls){extra}")
    p("")
    p("peak resident memory of one module call (fresh subprocess, inputs prepared first):")
    for mm in res["memory"]:
        if "error" in mm:
            p(f"  {mm['op']:<5} {mm['layout']:<10} {mm['natoms']:>9,}  error: {mm['error'][:80]}")
            continue
        mb = lambda b: b / 2**20
        if mm["op"] == "write":
            p(f"  write {mm['layout']:<10} {mm['natoms']:>9,}  peak +{mb(mm['peak_bytes']):8.1f} MiB"
              f"  output str {mb(mm['output_bytes']):8.1f} MiB"
              f"  ratio {mm['peak_bytes'] / mm['output_bytes']:.2f}x")
        else:
            p(f"  read  {mm['layout']:<10} {mm['natoms']:>9,}  peak +{mb(mm['peak_bytes']):8.1f} MiB"
              f"  arrays {mb(mm['array_bytes']):.1f} + strs kept {mb(mm['strs_bytes']):.1f}"
              f" = {mb(mm['output_bytes']):.1f} MiB"
              f"  ratio {mm['peak_bytes'] / mm['output_bytes']:.2f}x;"
              f"  input lines {mb(mm['input_lines_bytes']):.1f} MiB as str objects"
              f" ({mb(mm['input_text_bytes']):.1f} MiB of text);"
              f" peak / (output + text) "
              f"{mm['peak_bytes'] / (mm['output_bytes'] + mm['input_text_bytes']):.2f}x")
        p(f"        ({mm['method']})")
    p("")
    if res.get("breakdown"):
        n = res["breakdown"][0]["natoms"]
        p(f"module cost by column codes on the {BREAKDOWN_LAYOUT} frame (x = token taken and"
          f" dropped; '' = no codes;\n  large size: fastest of the repetitions):")
        p(f"  {'op':<5} {'codes':<11} {'10 atoms us/call':>17} {f'{n:,} atoms ns/atom':>22}")
        for b in res["breakdown"]:
            if "error" in b:
                p(f"  {b['op']:<5} {repr(b['codes']):<11} error: {b['error'][:60]}")
                continue
            p(f"  {b['op']:<5} {repr(b['codes']):<11} {b['us_per_call_10']:>17.2f}"
              f" {b['ns_per_atom']:>22.1f}")
        p("")
    p("targets (informational):")
    for t in res["targets"]:
        p(f"  {t['result']:<4} {t['name']}  [{t['detail']}]")


def write_png(res, path) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.lines import Line2D
    except ImportError:
        return False
    fig, axes = plt.subplots(1, 2, figsize=(12, 5.6), sharey=False)
    styles = {"sfff": "--", "sffffffib": "-"}
    colors = {MODULE: "tab:blue", "python loop": "tab:red", LOADTXT: "tab:green"}
    legend = {}  # label -> handle, shared by both panels
    single_run_handle = None
    for ax, op, title in zip(axes, ("write", "read"), ("writer", "reader"), strict=True):
        for layout in res["config"]["layouts"]:
            for contender in (MODULE, "python loop", LOADTXT):
                pts = [(r["natoms"], r["ns_per_atom"], r["repeat"]) for r in res["results"]
                       if r["op"] == op and r["layout"] == layout
                       and r["contender"] == contender and r["ns_per_atom"]]
                if not pts:
                    continue
                xs, ys, reps = zip(*pts, strict=True)
                label = f"{contender} ({layout})"
                (line,) = ax.plot(xs, ys, styles.get(layout, ":"), marker="o",
                                  color=colors[contender], label=label)
                legend.setdefault(label, line)
                # A point of one repetition is not a median: drawn hollow.
                single = [(x, y) for x, y, n in zip(xs, ys, reps, strict=True) if n == 1]
                if single:
                    sx, sy = zip(*single, strict=True)
                    ax.plot(sx, sy, linestyle="none", marker="o", markersize=11,
                            markerfacecolor="white", markeredgecolor=colors[contender],
                            markeredgewidth=1.5, zorder=3)
                    single_run_handle = Line2D(
                        [], [], linestyle="none", marker="o", markersize=11,
                        markerfacecolor="white", markeredgecolor="black")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("natoms")
        ax.set_ylabel("ns / atom (lower is better)")
        ax.set_title(title)
        ax.grid(True, which="both", alpha=0.3)
    if single_run_handle is not None:
        legend["single run (not a median)"] = single_run_handle
    # One legend below both panels, so that it covers no line.
    fig.legend(list(legend.values()), list(legend.keys()), loc="lower center", ncol=4,
               fontsize=8, frameon=False)
    m = res["machine"]
    fig.suptitle(f"_atomblock, {m['cpu']}, Python {m['python']}, NumPy {m['numpy']}",
                 fontsize=9)
    legend_rows = -(-len(legend) // 4)
    fig.tight_layout(rect=(0, 0.045 * legend_rows + 0.02, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def parse_args(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", help="comma-separated natoms (default 10,1000,100000,1000000;"
                    " --quick: 10,1000)")
    ap.add_argument("--layouts", default=",".join(LAYOUTS),
                    help="comma-separated column layouts (default sfff,sffffffib)")
    ap.add_argument("--repeat", type=int, default=5,
                    help="repetitions per figure, the median is reported (default 5)")
    ap.add_argument("--python-repeat", type=int, default=1,
                    help=f"repetitions of the pure-Python loops at >= {SLOW_SIZE:,} atoms"
                    " (default 1)")
    ap.add_argument("--skip-slow", action="store_true",
                    help=f"skip the pure-Python loops at >= {SLOW_SIZE:,} atoms")
    ap.add_argument("--slow-size", type=int, default=SLOW_SIZE,
                    help=f"natoms from which the pure-Python loops count as slow"
                    f" (default {SLOW_SIZE:,})")
    ap.add_argument("--min-time", type=float, default=None,
                    help="seconds per repetition for quick calls (default 0.05, --quick 0.005)")
    ap.add_argument("--fixed-number", type=int, default=None,
                    help="calls per timeit run of the fixed cost (default 10000, --quick 2000)")
    ap.add_argument("--memory-size", type=int, default=None,
                    help="natoms of the memory probe (default 1000000, --quick: largest size)")
    ap.add_argument("--no-memory", action="store_true", help="skip the memory probe")
    ap.add_argument("--json", metavar="PATH", help="write all figures as JSON")
    ap.add_argument("--png", metavar="PATH", help="write a chart (needs matplotlib)")
    ap.add_argument("--quick", action="store_true", help="small sizes, short runs")
    ap.add_argument("--replot", metavar="JSON",
                    help="draw the --png chart from the JSON of an earlier run, without running")
    ap.add_argument("--memprobe", nargs=3, metavar=("OP", "LAYOUT", "NATOMS"),
                    help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.sizes:
        args.sizes = [int(s.replace("_", "")) for s in args.sizes.split(",") if s.strip()]
    else:
        args.sizes = list(QUICK_SIZES if args.quick else FULL_SIZES)
    args.layouts = [s.strip() for s in args.layouts.split(",") if s.strip()]
    if args.repeat < 1 or args.python_repeat < 1:
        ap.error("--repeat and --python-repeat must be at least 1")
    if args.min_time is None:
        args.min_time = 0.005 if args.quick else 0.05
    if args.fixed_number is None:
        args.fixed_number = 2000 if args.quick else 10_000
    if args.memory_size is None:
        args.memory_size = max(args.sizes) if args.quick else 1_000_000
    return args


def run(args) -> dict:
    res = {"machine": machine_info(),
           "config": {"sizes": args.sizes, "layouts": args.layouts, "repeat": args.repeat,
                      "python_repeat": args.python_repeat, "skip_slow": args.skip_slow,
                      "slow_size": args.slow_size, "min_time": args.min_time,
                      "fixed_number": args.fixed_number, "memory_size": args.memory_size,
                      "quick": args.quick, "seed": BASE_SEED},
           "results": [], "checks": []}
    for layout in args.layouts:
        for n in args.sizes:
            print(f"... {layout} {n:,} atoms", file=sys.stderr, flush=True)
            rows, checks = bench_size(layout, n, args)
            res["results"] += rows
            res["checks"] += checks
            gc.collect()
    print("... fixed cost", file=sys.stderr, flush=True)
    res["fixed_cost"] = fixed_costs(args)
    print("... breakdown", file=sys.stderr, flush=True)
    res["breakdown"] = breakdown(args)
    res["memory"] = []
    if not args.no_memory:
        for op in ("write", "read"):
            for layout in args.layouts:
                print(f"... memory {op} {layout} {args.memory_size:,}", file=sys.stderr,
                      flush=True)
                res["memory"].append(run_memory_probe(op, layout, args.memory_size))
    res["targets"] = evaluate_targets(res["results"], res["fixed_cost"], res["memory"])
    return res


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.memprobe:
        op, layout, n = args.memprobe
        print(json.dumps(memory_probe(op, layout, int(n))))
        return 0
    if args.replot:
        if not args.png:
            print("--replot needs --png", file=sys.stderr)
            return 2
        with open(args.replot) as fh:
            res = json.load(fh)
        os.makedirs(os.path.dirname(os.path.abspath(args.png)), exist_ok=True)
        if not write_png(res, args.png):
            print("matplotlib is not installed: no chart written")
            return 1
        print(f"chart written to {args.png}")
        return 0
    # Create the output folders now rather than fail after the whole run.
    for path in (args.json, args.png):
        if path:
            os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    res = run(args)
    print_report(res)
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(res, fh, indent=1)
        print(f"\nJSON written to {args.json}")
    if args.png:
        if write_png(res, args.png):
            print(f"chart written to {args.png}")
        else:
            print("matplotlib is not installed: no chart written")
    return 0


if __name__ == "__main__":
    sys.exit(main())
