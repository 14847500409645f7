"""Fuzz harness of the package's Python layer, run against the importable atomblock.

Targets:
  comment  atomblock._comment.parse_comment(line) returns, or raises CommentError;
           nothing else.
  source   atomblock.read(stream, ":"), list(atomblock.iread(stream)),
           atomblock.read_table(stream) and atomblock.check(stream) on the bytes
           as they are and gzip-compressed: read and iread return frames or raise
           ExtxyzError, and agree (the same frames, or both an error); read_table
           gives the frames of Table.from_frames(read's) or read's error; check returns ExtxyzErrors, raises nothing,
           and finds a fault wherever read raised one.
  Both also time one in STRETCH_EVERY inputs with a piece of it repeated to
  STRETCH_BYTES: slower than SLOW_SECONDS there is a finding (a quadratic or
  worse blow-up; linear work on that size takes milliseconds).

    python fuzz/python_fuzzer.py TARGET [options] [CORPUS_DIR...]

With atheris (2.x: pip install "atheris<3", built with clang) the target runs under
libFuzzer with coverage of the package's Python code; the options are libFuzzer's, and
a finding (an unexpected exception, a broken agreement, a -timeout overrun) ends the
run with the input saved under -artifact_prefix. Without atheris, or with -driver=plain,
a plain driver runs instead: fixed-seed mutations of the corpus files for
-max_total_time seconds (-seed=N, -max_len=N, -artifact_prefix=P as for libFuzzer),
exiting 1 with the input written to P + "crash-<n>" at the first finding, or to
P + "current-input" when a run overruns -timeout seconds (default 10); with
-keep_going=1 it runs to the end and prints each distinct finding once.
"""
from __future__ import annotations

import faulthandler
import gzip
import io
import os
import random
import resource
import sys
import time
import traceback
import zlib
from collections.abc import Callable

try:
    import atheris
except ImportError:
    atheris = None
if "-driver=plain" in sys.argv:
    atheris = None

if atheris is not None:  # the package's code instrumented for coverage
    with atheris.instrument_imports(include=["atomblock"]):
        import atomblock
        from atomblock import _comment, _errors
else:
    import atomblock
    from atomblock import _comment, _errors


# Address space allowed to the process: a tiny input that makes the package allocate
# without bound raises MemoryError here (a finding) instead of exhausting the machine.
ADDRESS_SPACE_LIMIT = 3 << 30
_hard = resource.getrlimit(resource.RLIMIT_AS)[1]
if _hard == resource.RLIM_INFINITY or _hard > ADDRESS_SPACE_LIMIT:
    resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE_LIMIT, _hard))


class Finding(AssertionError):
    """A broken contract other than an unexpected exception: a disagreement or a blow-up."""

    def __init__(self, kind: str, detail: str) -> None:
        super().__init__(f"{kind}: {detail}")
        self.kind = kind


STRETCH_EVERY, STRETCH_BYTES, SLOW_SECONDS = 32, 1 << 16, 2.0


def _stretched(data: bytes, check: Callable[[bytes], None]) -> None:
    """For one input in STRETCH_EVERY: times check on the input with one of its pieces
    (chosen by the input's hash) repeated until it is STRETCH_BYTES long; a prefix, a run of
    one repeated piece and a suffix is the shape that catches a parser's backtracking."""
    h = zlib.crc32(data)
    if not data or h % STRETCH_EVERY:
        return
    start = (h >> 8) % len(data)
    end = start + 1 + (h >> 20) % (len(data) - start)
    piece = data[start:end]
    long = data[:start] + piece * ((STRETCH_BYTES - len(data)) // len(piece) + 1) + data[end:]
    began = time.perf_counter()
    check(long)
    took = time.perf_counter() - began
    if took > SLOW_SECONDS:
        raise Finding("slow", f"{took:.1f} s on {len(long)} bytes: {piece!r} repeated after {data[:start]!r}")


def _comment_line(data: bytes) -> None:
    # A comment line is one decoded line of the file: no line feed.
    line = data.decode("utf-8", errors="replace").split("\n", 1)[0]
    try:
        _comment.parse_comment(line)
    except _errors.CommentError:
        pass


def fuzz_comment(data: bytes) -> None:
    _comment_line(data)
    _stretched(data.replace(b"\n", b" "), _comment_line)


def _outcome(call: Callable[[], object]) -> tuple[str, object]:
    try:
        return "frames", call()
    except atomblock.ExtxyzError as error:
        return "error", str(error)


def _check_source(blob: bytes) -> None:
    read = _outcome(lambda: atomblock.read(io.BytesIO(blob), ":"))
    iread = _outcome(lambda: list(atomblock.iread(io.BytesIO(blob))))
    # Both fail or both give the same frames; with several faults in a file,
    # which one each reports first is not compared.
    if read[0] != iread[0] or (read[0] == "frames" and read[1] != iread[1]):
        raise Finding("read(':') and iread disagree", f"\n  read:  {read!r}\n  iread: {iread!r}")
    _check_table(blob, read)
    faults = atomblock.check(io.BytesIO(blob))
    if not isinstance(faults, list) or not all(isinstance(f, atomblock.ExtxyzError) for f in faults):
        raise Finding("check returned other than a list of ExtxyzError", repr(faults))
    if read[0] == "error" and not faults:
        raise Finding("check found nothing where read raised", repr(read[1]))


def _table_outcome(call: Callable[[], object]) -> tuple[str, object]:
    try:
        return "frames", call()
    except (atomblock.ExtxyzError, ValueError) as error:
        return type(error).__name__, str(error)


def _check_table(blob: bytes, read: tuple[str, object]) -> None:
    """read_table fails as read does, or gives the frames Table.from_frames makes of read's (a
    ValueError for columns that cannot be joined, or too many info values, aside)."""
    table = _table_outcome(lambda: list(atomblock.read_table(io.BytesIO(blob))))
    if read[0] == "error":
        if table != ("ExtxyzError", read[1]):
            raise Finding("read_table and read fail differently", f"\n  read:  {read!r}\n  table: {table!r}")
        return
    joined = _table_outcome(lambda: list(atomblock.Table.from_frames(read[1])))  # type: ignore[arg-type]
    if table != joined and not (table[0] == "ValueError" and "values per byte" in str(table[1])):
        raise Finding("read_table and read disagree", f"\n  table: {table!r}\n  read:  {joined!r}")


def _source_forms(data: bytes) -> None:
    _check_source(data)
    _check_source(gzip.compress(data, mtime=0))


def fuzz_source(data: bytes) -> None:
    _source_forms(data)
    _stretched(data if data.endswith(b"\n") else data + b"\n", _check_source)


TARGETS: dict[str, Callable[[bytes], None]] = {"comment": fuzz_comment, "source": fuzz_source}


# ---- the plain driver ----------------------------------------------------------------


def _options(argv: list[str]) -> tuple[dict[str, str], list[str]]:
    options, paths = {}, []
    for arg in argv:
        if arg.startswith("-") and "=" in arg:
            key, value = arg[1:].split("=", 1)
            options[key] = value
        else:
            paths.append(arg)
    return options, paths


def _seeds(paths: list[str]) -> list[bytes]:
    seeds = []
    for path in paths:
        names = [os.path.join(path, n) for n in sorted(os.listdir(path))] if os.path.isdir(path) else [path]
        for name in names:
            with open(name, "rb") as f:
                seeds.append(f.read())
    return seeds or [b""]


_INTERESTING = [b"\n", b"\r\n", b" ", b"\t", b"=", b'"', b"\\", b"{", b"}", b"[", b"]", b",", b"0",
                b"9223372036854775808", b"1e999", b"nan", b"T", b"Properties=", b"Lattice=", b"pbc=",
                b":S:1", b":R:3", b"_JSON ", b"\x00", b"\xff", b"\xc3\xa9"]


def _mutate(rng: random.Random, data: bytes, seeds: list[bytes], max_len: int) -> bytes:
    out = bytearray(data)
    for _ in range(rng.randint(1, 8)):
        kind = rng.randrange(6)
        at = rng.randint(0, len(out))
        if kind == 0 and out:
            out[rng.randrange(len(out))] = rng.randrange(256)
        elif kind == 1:
            out[at:at] = rng.choice(_INTERESTING)
        elif kind == 2 and out:
            del out[at:at + rng.randint(1, 16)]
        elif kind == 3 and out:
            start = rng.randrange(len(out))
            out[at:at] = out[start:start + rng.randint(1, 64)]
        elif kind == 4:
            other = rng.choice(seeds)
            start = rng.randint(0, len(other))
            out[at:at] = other[start:start + rng.randint(1, 128)]
        else:
            out[at:at] = bytes([rng.randrange(256)]) * rng.randint(1, 64)
    return bytes(out[:max_len])


def _where(error: BaseException) -> str:
    """The exception type and the innermost package line it came from: one finding's identity."""
    if isinstance(error, Finding):
        return error.kind
    frames = [f for f in traceback.extract_tb(error.__traceback__) if "atomblock" in f.filename]
    last = frames[-1] if frames else None
    place = f"{os.path.basename(last.filename)}:{last.lineno}" if last else "?"
    return f"{type(error).__name__} at {place}"


def plain_driver(target: Callable[[bytes], None], argv: list[str]) -> int:
    options, paths = _options(argv)
    seconds = float(options.get("max_total_time", "60"))
    max_len = int(options.get("max_len", "4096"))
    prefix = options.get("artifact_prefix", "./")
    keep_going = options.get("keep_going", "0") == "1"
    timeout = float(options.get("timeout", "10"))
    rng = random.Random(int(options.get("seed", "1")))
    seeds = _seeds(paths)
    # A run longer than the timeout (stuck in C code as often as not) is ended by
    # faulthandler's watchdog thread, which prints the stack and exits 1; the input
    # of the run is always in this file.
    current = f"{prefix}current-input"
    fd = os.open(current, os.O_WRONLY | os.O_CREAT, 0o644)
    print(f"inputs of runs over {timeout:g} s are left in {current}", file=sys.stderr)
    deadline = time.monotonic() + seconds
    runs = 0
    found: dict[str, int] = {}
    while True:
        data = seeds[runs] if runs < len(seeds) else _mutate(rng, rng.choice(seeds), seeds, max_len)
        os.ftruncate(fd, 0)
        os.pwrite(fd, data, 0)
        faulthandler.dump_traceback_later(timeout, exit=True)
        try:
            target(data)
        except Exception as error:  # every unexpected exception is a finding
            where = _where(error)
            found[where] = found.get(where, 0) + 1
            if found[where] == 1:
                path = f"{prefix}crash-{runs}"
                with open(path, "wb") as f:
                    f.write(data)
                traceback.print_exc()
                print(f"FINDING {where} after {runs} runs; input written to {path}", file=sys.stderr)
            if not keep_going:
                return 1
        finally:
            faulthandler.cancel_dump_traceback_later()
        runs += 1
        if runs >= len(seeds) and time.monotonic() >= deadline:
            break
    print(f"stat::number_of_executed_units: {runs}", file=sys.stderr)
    for where, count in found.items():
        print(f"finding: {where} ({count} inputs)", file=sys.stderr)
    return 1 if found else 0


def main() -> int:
    if len(sys.argv) < 2 or sys.argv[1] not in TARGETS:
        print(f"usage: {sys.argv[0]} {{{','.join(TARGETS)}}} [options] [CORPUS...]", file=sys.stderr)
        return 2
    target = TARGETS[sys.argv[1]]
    if atheris is None:
        return plain_driver(target, [a for a in sys.argv[2:] if a != "-driver=plain"])
    atheris.Setup([sys.argv[0], *sys.argv[2:]], target)
    atheris.Fuzz()
    return 0


if __name__ == "__main__":
    sys.exit(main())
