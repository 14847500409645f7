"""Resources under load: memory stays flat over many calls, argument reference
counts are unchanged, result buffers live exactly as long as their arrays, and
concurrent calls from several threads give correct results."""
import gc
import os
import sys
import threading

import numpy as np
import pytest

from _atomblock import read_atom_lines_rs, write_atoms_rs

PAGE = 4096

# RSS is read from /proc/self/statm, which only Linux has. AddressSanitizer
# keeps freed memory in quarantine, so RSS says nothing there.
rss_meaningful = pytest.mark.skipif(
    not sys.platform.startswith("linux") or bool(os.environ.get("ATOMBLOCK_UNDER_SANITIZER")),
    reason="RSS is read from Linux's /proc and is not meaningful under ASan",
)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def write_args(natoms=50, **overrides):
    rng = np.random.default_rng(7)
    symbols = rng.choice(np.array(["H", "C", "Si"]), natoms)
    args = dict(
        sym_codepoints=symbols.view(np.uint32).reshape(natoms, -1),
        sym_width=2,
        float_mat=rng.uniform(-50, 50, (natoms, 3)),
        int_mat=rng.integers(1, 100, (natoms, 1)),
        bool_mat=rng.integers(0, 2, (natoms, 1)).astype(np.uint8),
        col_types=b"sfffib",
    )
    args.update(overrides)
    return args


def _expect(exc_type, func, *args, **kwargs):
    try:
        func(*args, **kwargs)
    except BaseException as e:  # PanicException derives from BaseException
        assert type(e).__name__ == exc_type, repr(e)
    else:
        raise AssertionError(f"expected {exc_type}")


GOOD_WRITE = write_args()
GOOD_LINES = write_atoms_rs(**GOOD_WRITE).splitlines()

# Every success and failure path of both functions.
PATHS = {
    "read ok": lambda: read_atom_lines_rs(GOOD_LINES, b"sfffib"),
    "read ValueError": lambda: _expect("ValueError", read_atom_lines_rs, GOOD_LINES + ["H x"], b"sfffib"),
    "read ran out": lambda: _expect("ValueError", read_atom_lines_rs, GOOD_LINES, b"sfffibf"),
    "read TypeError item": lambda: _expect("TypeError", read_atom_lines_rs, GOOD_LINES + [b"x"], b"s"),
    "read surrogate": lambda: _expect("UnicodeEncodeError", read_atom_lines_rs, GOOD_LINES + ["\ud800"], b"s"),
    "read bad code": lambda: _expect("OverflowError", read_atom_lines_rs, GOOD_LINES, [115, 999]),
    "read binding": lambda: _expect("TypeError", read_atom_lines_rs, GOOD_LINES, b"s", foo=1),
    "write ok": lambda: write_atoms_rs(**GOOD_WRITE),
    "write TypeError late": lambda: _expect("TypeError", write_atoms_rs, **{**GOOD_WRITE, "col_types": "s"}),
    "write bad array": lambda: _expect("TypeError", write_atoms_rs, **{**GOOD_WRITE, "bool_mat": np.zeros((1, 1))}),
    "write panic width": lambda: _expect("PanicException", write_atoms_rs, **{**GOOD_WRITE, "sym_width": 70000}),
    "write panic index": lambda: _expect("PanicException", write_atoms_rs, **{**GOOD_WRITE, "col_types": b"sffffff"}),
}


@rss_meaningful
@pytest.mark.parametrize("path", list(PATHS))
def test_memory_flat_over_many_calls(path, capfd):
    call = PATHS[path]
    for _ in range(300):  # warm-up: caches, NumPy, allocator pools
        call()
    gc.collect()
    before = rss_bytes()
    for _ in range(5000):
        call()
    gc.collect()
    grown = rss_bytes() - before
    capfd.readouterr()  # panic diagnostics
    # 5000 calls leaking even one 50-line result would grow by megabytes.
    assert grown < 1 * 2**20, f"{path}: RSS grew by {grown} bytes"


def test_argument_reference_counts_unchanged():
    lines = list(GOOD_LINES)
    codes = b"sfffib"
    arrays = {k: v for k, v in GOOD_WRITE.items() if isinstance(v, np.ndarray)}
    objects = [lines, codes, *lines, *arrays.values()]
    before = [sys.getrefcount(o) for o in objects]
    for call in PATHS.values():
        call()
    for _ in range(10):
        read_atom_lines_rs(lines, codes)
        write_atoms_rs(**GOOD_WRITE)
        _expect("PanicException", write_atoms_rs, **{**GOOD_WRITE, "col_types": b"sffffff"})
        _expect("TypeError", write_atoms_rs, **{**GOOD_WRITE, "col_types": "x"})
    after = [sys.getrefcount(o) for o in objects]
    assert after == before


@rss_meaningful
def test_result_buffer_lives_while_any_view_lives():
    # 600,000 x 8 float64 = 38.4 MB: above the C allocator's largest mmap
    # threshold (32 MiB), so the buffer goes back to the system when freed.
    lines = ["1 2 3 4 5 6 7 8"] * 600_000
    gc.collect()
    base_rss = rss_bytes()
    result = read_atom_lines_rs(lines, b"ffffffff")
    floats = result.pop("floats")
    assert type(floats.base).__name__ == "PySliceContainer"
    view = floats[::2, 1:]
    del result, floats
    gc.collect()
    held_rss = rss_bytes()
    assert held_rss - base_rss > 30e6  # still held by the view
    assert view[3].tolist() == [2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0]
    del view
    gc.collect()
    assert held_rss - rss_bytes() > 30e6  # returned once the last view went


@rss_meaningful
def test_result_buffers_are_released():
    lines = ["1.5 2 T"] * 20000
    for _ in range(20):
        read_atom_lines_rs(lines, b"fib")
    gc.collect()
    before = rss_bytes()
    for _ in range(200):  # 200 x 20000 x 17 bytes = 68 MB if buffers leaked
        read_atom_lines_rs(lines, b"fib")
    gc.collect()
    assert rss_bytes() - before < 4 * 2**20


def test_threads_calling_both_functions():
    failures = []

    def worker(seed):
        try:
            rng = np.random.default_rng(seed)
            for _ in range(40):
                natoms = int(rng.integers(0, 300))
                args = write_args(natoms)
                args["float_mat"] = rng.normal(0, 10 ** int(rng.integers(-3, 6)), (natoms, 3))
                text = write_atoms_rs(**args)
                back = read_atom_lines_rs(text.splitlines(), b"sfffib")
                assert np.allclose(back["floats"], args["float_mat"], rtol=0, atol=5.1e-9)
                assert np.array_equal(back["ints"], args["int_mat"])
                assert np.array_equal(back["bools"], args["bool_mat"])
                assert write_atoms_rs(**{**args, "float_mat": back["floats"]}) == text
        except BaseException as e:  # report everything, PanicException included
            failures.append(repr(e))

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
