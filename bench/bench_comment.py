"""Comment-line benchmark: parse time of typical lines, the native scanner's fallback rate, and
time and peak memory of hostile lines.

The fallback rate: how many comment lines the native scanner (`_native.parse_comment_fast`)
declines, so that the Python parser takes them, among the lines of bench/comment_lines.txt (every
form of comment line the format allows and files in the wild hold) and the lines atomblock.write
makes of each kind of info value; each declined line is listed. Each hostile case runs in a fresh
interpreter (subprocess) so that its peak memory is its own; a case over --timeout seconds is
reported as such. Run against any build of the package:

    PYTHONPATH=build/dev python bench/bench_comment.py [--big] [--timeout 120]

--big adds the 100 MB lines and the 10**8-column Properties; --fallback-only prints the fallback
rate alone.
"""

from __future__ import annotations

import argparse
import io
import subprocess
import sys
import timeit
from pathlib import Path
from typing import Any

import numpy as np

COMMENT_LINES = Path(__file__).resolve().with_name("comment_lines.txt")

TYPICAL = {
    "scanner (plain pairs)": 'Lattice="5.0 0.0 0.0 0.0 5.0 0.0 0.0 0.0 5.0" Properties=species:S:1:pos:R:3:forces:R:3'
    ' energy=-12.5 step=12 pbc="T T T"',
    "quoted stress (Python)": 'Lattice="5.0 0.0 0.0 0.0 5.0 0.0 0.0 0.0 5.0" Properties=species:S:1:pos:R:3:forces:R:3'
    ' energy=-12.5 stress="0.1 0.0 0.0 0.0 0.1 0.0 0.0 0.0 0.1" free_energy=-12.5 pbc="T T T"',
    "training set (stress)": 'Lattice="10.2 0.0 0.0 0.0 10.2 0.0 0.0 0.0 10.2"'
    " Properties=species:S:1:pos:R:3:forces:R:3"
    ' energy=-123.456 stress="0.0123 -0.0004 0.0011 -0.0004 0.0098 0.0002 0.0011 0.0002 0.0105"'
    ' config_type=bulk pbc="T T T"',
    "quoted words (Python)": 'Properties=species:S:1:pos:R:3 name="run one" energy=-1.0 config_type="bulk fcc"',
    "loose pairs (CP2K)": " i =        0, time =        0.000, E =       -17.1708469051",
}

# name -> (setup building `line` or `text`, the measured statement)
HOSTILE = {
    "unterminated quote of escaped quotes, {mb} MB": (
        "line = 'a=\"' + 'x\\\\\" ' * int({mb} * 2**20 / 4)",
        "_try(lambda: comment_parts(line))",
    ),
    "new-style list of floats, {mb} MB": (
        "line = 'a=[' + ', '.join(['1.25'] * int({mb} * 2**20 / 6)) + ']'",
        "_try(lambda: comment_parts(line))",
    ),
    "old-style quoted list of floats, {mb} MB": (
        "line = 'a=\"' + ' '.join(['1.25'] * int({mb} * 2**20 / 5)) + '\"'",
        "_try(lambda: comment_parts(line))",
    ),
    "Properties of {n} one-column properties": (
        "text = ':'.join(f'c{{i}}:R:1' for i in range({n}))",
        "_try(lambda: layout_of_text(text))",
    ),
    "Properties=species:S:1:pos:R:{n} (max_columns 1<<20)": (
        "text = 'species:S:1:pos:R:{n}'",
        "_try(lambda: layout_of_text(text, max_columns=1 << 20))",
    ),
}

CHILD = """
import resource, time
from atomblock._comment import comment_parts
from atomblock._properties import layout_of_text
def _try(f):
    try:
        f()
        return "ok"
    except Exception as e:
        return type(e).__name__ + ": " + str(e)[:90]
{setup}
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t = time.perf_counter()
outcome = {stmt}
took = time.perf_counter() - t
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(f"{{took:.3f}}\\t{{(after - before) / 1024:.0f}}\\t{{outcome}}")
"""


def typical() -> None:
    from atomblock._comment import comment_parts

    for name, line in TYPICAL.items():
        try:
            comment_parts(line)
        except Exception as e:  # an older build refuses some of these lines
            print(f"{name:28s} refused: {e}")
            continue
        timer = timeit.Timer(lambda line=line: comment_parts(line))
        number, _ = timer.autorange()
        best = min(timer.repeat(5, number)) / number
        print(f"{name:28s} {best * 1e6:8.2f} us")


def format_lines(path: Path = COMMENT_LINES) -> list[tuple[str, str]]:
    """(label, comment line) of each data line of comment_lines.txt: LABEL, a tab, the line."""
    out = []
    for raw in path.read_text(encoding="utf-8").split("\n"):
        if raw and not raw.startswith("#"):
            label, _, line = raw.partition("\t")
            out.append((label, line))
    return out


# label -> (info, cell, pbc) of a frame: the forms of value atomblock.write puts in a comment line.
WRITTEN_FORMS: dict[str, tuple[dict[str, Any], Any, Any]] = {
    "float, int, bool, word": ({"energy": -1.25, "step": 3, "converged": True, "kind": "bulk"}, None, None),
    "cell and pbc T T F": ({"energy": -1.25}, [[5.0, 0, 0], [0.5, 5.0, 0], [0, 0, 6.0]], [True, True, False]),
    "cell, no other value": ({}, [5.0, 5.0, 5.0], None),
    "no value at all": ({}, None, None),
    "str with blanks": ({"config_type": "md 300K"}, None, None),
    "empty str": ({"label": ""}, None, None),
    "str that reads as a number": ({"label": "12"}, None, None),
    "str with =": ({"label": "a=b"}, None, None),
    "str with a quote": ({"label": 'say "hi"'}, None, None),
    "str with a backslash": ({"path": "C:\\runs"}, None, None),
    "str with a newline": ({"note": "two\nlines"}, None, None),
    "non-ASCII str": ({"formula": "Fe\u2082O\u2083"}, None, None),
    "float inf and nan": ({"a": float("inf"), "b": float("nan")}, None, None),
    "tiny and huge floats": ({"a": 5e-324, "b": 1.7976931348623157e308, "c": -0.0}, None, None),
    "int beyond int64": ({"big": 2**70}, None, None),
    "int array": ({"tags": np.arange(4)}, None, None),
    "float array": ({"dipole": np.array([0.1, -0.2, 0.3])}, None, None),
    "bool array": ({"mask": np.array([True, False, True])}, None, None),
    "one-item array": ({"charge": np.array([0.5])}, None, None),
    "3x3 stress": ({"stress": np.arange(9.0).reshape(3, 3) / 7}, None, None),
    "3x3 under another key": ({"hessian": np.arange(9.0).reshape(3, 3)}, None, None),
    "2x2 array": ({"m": np.arange(4.0).reshape(2, 2)}, None, None),
    "long float array (500 items)": ({"spectrum": np.linspace(0.0, 1.0, 500)}, None, None),
    "dict": ({"meta": {"x": 1}}, None, None),
    "mixed list": ({"mixed": [1, "a"]}, None, None),
}


def written_lines() -> list[tuple[str, str]]:
    """(label, comment line) that atomblock.write makes of each of WRITTEN_FORMS (a frame of one atom)."""
    import atomblock

    out = []
    for label, (info, cell, pbc) in WRITTEN_FORMS.items():
        buffer = io.BytesIO()
        frame = atomblock.Frame({"species": ["H"], "pos": np.zeros((1, 3))}, info, cell=cell, pbc=pbc)
        atomblock.write(buffer, frame)
        out.append((label, buffer.getvalue().decode("utf-8").split("\n")[1]))
    return out


def declined(lines: list[tuple[str, str]]) -> list[tuple[str, str]]:
    """The lines that the native scanner declines (the Python parser takes them)."""
    from atomblock import _native

    return [(label, line) for label, line in lines if _native.parse_comment_fast(line) is None]


def fallback() -> dict[str, list[tuple[str, str]]]:
    """Prints and returns the declined lines of the format's forms and of the writer's."""
    found = {}
    for name, lines in (("forms of the format (bench/comment_lines.txt)", format_lines()),
                        ("lines atomblock.write makes", written_lines())):
        found[name] = fell = declined(lines)
        print(f"{name}: {len(fell)} of {len(lines)} fall back to the Python parser")
        for label, line in fell:
            print(f"    {label:32s} {line[:70]!r}")
    return found


def hostile(big: bool, timeout: float) -> None:
    cases = [
        ("unterminated quote of escaped quotes, {mb} MB", {"mb": mb}) for mb in (0.01, 0.1, 1, *((100,) if big else ()))
    ]
    cases += [("new-style list of floats, {mb} MB", {"mb": mb}) for mb in (4, *((100,) if big else ()))]
    cases += [("old-style quoted list of floats, {mb} MB", {"mb": mb}) for mb in (4, *((100,) if big else ()))]
    cases += [("Properties of {n} one-column properties", {"n": 10**6})]
    cases += [("Properties=species:S:1:pos:R:{n} (max_columns 1<<20)", {"n": n}) for n in (10**8, 10**15)]
    for name, params in cases:
        setup, stmt = HOSTILE[name]
        code = CHILD.format(setup=setup.format(**params), stmt=stmt)
        label = name.format(**params)
        try:
            done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            print(f"{label:58s} over {timeout:.0f} s")
            continue
        if done.returncode:
            print(f"{label:58s} failed: {done.stderr.strip().splitlines()[-1]}")
            continue
        took, mib, outcome = done.stdout.strip().split("\t")
        print(f"{label:58s} {float(took):8.3f} s {int(mib):7d} MiB more  {outcome}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--big", action="store_true", help="add the 100 MB lines")
    parser.add_argument("--timeout", type=float, default=120.0, help="seconds per hostile case")
    parser.add_argument("--no-hostile", action="store_true")
    parser.add_argument("--fallback-only", action="store_true", help="only the native scanner's fallback rate")
    args = parser.parse_args(argv)
    fallback()
    if args.fallback_only:
        return 0
    typical()
    if not args.no_hostile:
        hostile(args.big, args.timeout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
