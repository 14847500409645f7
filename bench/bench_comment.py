"""Comment-line benchmark: parse time of typical lines, and time and peak memory of hostile ones.

Each hostile case runs in a fresh interpreter (subprocess) so that its peak memory is its own;
a case over --timeout seconds is reported as such. Run against any build of the package:

    PYTHONPATH=build/dev python bench/bench_comment.py [--big] [--timeout 120]

--big adds the 100 MB lines and the 10**8-column Properties.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import timeit

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
    args = parser.parse_args(argv)
    typical()
    if not args.no_hostile:
        hostile(args.big, args.timeout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
