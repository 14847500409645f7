"""Sources: chunked reading, compression found by its first bytes, files that change or never end,
corrupt compressed data, prompt sockets, faults in file order, messages and extra-token notes."""
import bz2
import gzip
import io
import lzma
import random
import socket
import subprocess
import sys
import threading

import pytest

import atomblock
from atomblock import _read, _source

from conftest import run_python


def frame(natoms, step, atom="H {i}.5 -1.25 3e-2"):
    return f"{natoms}\nstep={step}\n" + "".join(atom.format(i=i) + "\n" for i in range(natoms))


TEXT = "".join(frame(3 + k % 3, k) for k in range(7)).encode()  # 7 frames, lines of varying length
STEPS = list(range(7))
COMPRESS = {"gzip": gzip.compress, "bzip2": bz2.compress, "xz": lzma.compress}


def steps(frames):
    return [f.info.get("step") for f in frames]


def entry_points(source_factory, workers=(1,)):
    """(name, outcome) of read(":") per workers, list(iread()) and the first fault of check():
    an outcome is the steps read or the message of the ExtxyzError raised."""
    out = {}
    for w in workers:
        try:
            out[f"read{w}"] = steps(atomblock.read(source_factory(), ":", workers=w))
        except atomblock.ExtxyzError as e:
            out[f"read{w}"] = str(e)
    try:
        out["iread"] = steps(atomblock.iread(source_factory()))
    except atomblock.ExtxyzError as e:
        out["iread"] = str(e)
    faults = atomblock.check(source_factory())
    out["check"] = str(faults[0]) if faults else None
    return out


@pytest.mark.parametrize("kind", ["gzip", "bzip2", "xz"])
@pytest.mark.parametrize("how", ["path without extension", "binary stream", "open file"])
def test_compression_is_found_by_its_first_bytes(tmp_path, kind, how):
    # Two members/streams back to back, as append=True leaves them.
    data = COMPRESS[kind](TEXT[:100]) + COMPRESS[kind](TEXT[100:])
    path = tmp_path / "trajectory"
    path.write_bytes(data)
    factory = {"path without extension": lambda: path, "binary stream": lambda: io.BytesIO(data),
               "open file": lambda: open(path, "rb")}[how]
    assert steps(atomblock.read(factory(), ":")) == STEPS
    assert steps(atomblock.iread(factory(), "2::2")) == [2, 4, 6]
    assert atomblock.read(factory()).info["step"] == 6
    assert atomblock.check(factory()) == []


@pytest.mark.parametrize("module", ["gzip", "isal.igzip", "zlib_ng.gzip_ng"])
def test_every_gzip_decoder_reads_members_in_small_chunks(monkeypatch, module):
    decoder = pytest.importorskip(module)
    monkeypatch.setattr(_source, "_gzip_module", decoder)
    monkeypatch.setattr(_source, "CHUNK", 64)
    data = b"".join(gzip.compress(TEXT[i:i + 50]) for i in range(0, len(TEXT), 50))
    assert entry_points(lambda: io.BytesIO(data), workers=(1, 2)) == {
        "read1": STEPS, "read2": STEPS, "iread": STEPS, "check": None}


def bad_float_then(kind, damage):
    """A compressed file whose frame 1 has a bad float and whose compressed data is damaged late."""
    rng = random.Random(1)  # digits that do not compress away: several decoder blocks of text
    text = frame(3, 0) + frame(3, 1, "H {i} x 0") + "".join(
        frame(100, k, "H {i} " + " ".join(str(rng.random()) for _ in range(3))) for k in range(2, 300))
    data = bz2.compress(text.encode(), 1) if kind == "bzip2" else COMPRESS[kind](text.encode())
    return data[:-len(data) // 4] if damage == "truncated" else data[:len(data) // 2] + bytes(64) + data[
        len(data) // 2 + 64:]


@pytest.mark.parametrize("kind", ["gzip", "bzip2", "xz"])
@pytest.mark.parametrize("damage", ["truncated", "corrupt"])
def test_damaged_compressed_data_is_a_fault_naming_the_file(tmp_path, kind, damage):
    path = tmp_path / f"damaged.{kind}"
    path.write_bytes(bad_float_then(kind, damage))
    assert [f.info["step"] for f in atomblock.iread(path, ":1")] == [0]  # what comes before reads
    faults = [str(e) for e in atomblock.check(path)]
    assert faults[0] == f'{path}:8: frame 1: cannot parse "x" as float: invalid float literal (column pos, expected R)'
    # (corrupt data may decode to bad text before the decoder finds out)
    assert faults[-1].startswith(f"{path}:") and "compressed data is corrupt or truncated after line " in faults[-1]
    assert damage == "corrupt" or len(faults) == 2
    with pytest.raises(atomblock.ExtxyzError) as e:
        atomblock.read(path, -1)
    assert str(e.value) in faults[1:]


TRUNCATE_AFTER_FIRST_READ = """
import os, sys
import atomblock, atomblock._cli
from atomblock import _source
path = sys.argv[1]
fill = _source.ByteSource.fill
def fill_then_truncate(self, buf, at, want):
    got = fill(self, buf, at, want)
    os.truncate(path, 1_500_000)  # shrinks the file under the reader, inside its big frame
    return got
_source.ByteSource.fill = fill_then_truncate
preadv = os.preadv
def preadv_then_truncate(fd, buffers, offset):  # the positional pass of read(index=-1)
    got = preadv(fd, buffers, offset)
    os.truncate(path, 1_500_000)
    return got
os.preadv = preadv_then_truncate
call = sys.argv[2]
try:
    if call == "cli":
        sys.exit(atomblock._cli.main(sys.argv[3:]))
    elif call == "read":
        atomblock.read(path, ":", workers=int(sys.argv[3]))
    elif call == "read-1":
        atomblock.read(path)
    elif call == "iread":
        for _ in atomblock.iread(path):
            pass
    elif call == "check":
        print("\\n".join(str(e) for e in atomblock.check(path)))
        sys.exit(0)
except (atomblock.ExtxyzError, OSError) as e:
    print(type(e).__name__, e)
    sys.exit(0)
print("read to the end")
"""


@pytest.mark.parametrize("call", [["read", "1"], ["read", "2"], ["read-1"], ["iread"], ["check"],
                                  ["cli", "info"], ["cli", "check"], ["cli", "convert"]])
def test_a_file_that_shrinks_under_the_reader_is_a_fault_not_a_signal(tmp_path, call):
    path = tmp_path / "t.xyz"
    # small frames, then one of about 4 MiB
    path.write_bytes("".join(frame(20, k) for k in range(5)).encode() + frame(200000, 5).encode())
    size = path.stat().st_size
    args = [str(path), *call] + ([str(path)] if call[0] == "cli" else [])
    if call[-1] == "convert":
        args.append(str(tmp_path / "out.xyz"))
    script = tmp_path / "truncate.py"
    script.write_text(TRUNCATE_AFTER_FIRST_READ)
    done = subprocess.run([sys.executable, str(script), *args], capture_output=True, text=True, timeout=120)
    assert done.returncode in (0, 1, 2), done  # not killed by a signal
    said = done.stdout + done.stderr
    assert f"it was {size} bytes when opened: it changed while being read" in said, done


BOUNDED = """
import gzip, resource, sys, time, zlib
import atomblock
source = sys.argv[1]
if source.endswith(".gz"):  # 256 MiB of zeros in about 256 KiB of gzip
    z = zlib.compressobj(1, zlib.DEFLATED, 31)
    block = bytes(1 << 20)
    with open(source, "wb") as f:
        for _ in range(256):
            f.write(z.compress(block))
        f.write(z.flush())
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
for call in (lambda: atomblock.read(source), lambda: next(atomblock.iread(source))):
    try:
        call()
    except atomblock.ExtxyzError as e:
        print(e)
faults = atomblock.check(source)
print(len(faults), faults[0])
grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024
print(f"{grown:.0f} MB {time.perf_counter() - start:.1f} s")
"""


@pytest.mark.skipif(sys.platform != "linux", reason="/dev/zero and ru_maxrss in KiB")
@pytest.mark.parametrize("source", ["/dev/zero", "zeros.gz"])
def test_endless_zeros_are_refused_at_once_with_little_memory(tmp_path, source):
    if source.endswith(".gz"):
        source = str(tmp_path / source)
    done = run_python(BOUNDED.replace("sys.argv[1]", repr(source)), timeout=120)
    lines = done.stdout.splitlines()
    assert done.returncode == 0 and len(lines) == 4, done
    assert lines[0] == lines[1] == lines[2][2:] == f'{source}:1: frame 0: expected an atom count, got "' + \
        "\\x00" * 40 + '..."'
    grown, seconds = float(lines[3].split()[0]), float(lines[3].split()[2])
    assert grown < 150 and seconds < 10, lines[3]


@pytest.mark.parametrize("text, message", [
    (b"9223372036854775808\n\n", "1: frame 0: atom count 9223372036854775808 is too large (at most 2**63 - 1)"),
    (b"1\nx\nH 0 0 0\n" + b"9" * 5000 + b"\n", "4: frame 1: count line longer than 1024 bytes"),
    (b" " * 1030 + b"7" * 10, "1: frame 0: count line longer than 1024 bytes"),  # no line end yet
    (b"1\nx\nH 0 0 0\n" + b"12x" + b"4" * 3000, '4: frame 1: expected an atom count, got "12x' + "4" * 37 + '..."'),
    (b"2\n" + b"c" * 300 + b"\nH 0 0 0\n", "2: frame 0: comment line longer than 0 MiB: \"" + "c" * 40 + '..."'),
])
@pytest.mark.parametrize("chunk", [64, 1 << 20])
def test_hostile_count_and_comment_lines(monkeypatch, text, message, chunk):
    monkeypatch.setattr(_source, "CHUNK", chunk)
    monkeypatch.setattr(_read, "MAX_COMMENT_LINE", 200)
    assert set(entry_points(lambda: io.BytesIO(text)).values()) == {f"<stream>:{message}"}


def test_a_count_beyond_the_bytes_left_in_a_file_is_refused_before_reading_them(tmp_path, monkeypatch):
    path = tmp_path / "t.xyz"
    path.write_bytes(b"1000000\ncomment\n" + b"H 0 0 0\n" * 1000)
    filled = []
    fill = _source.ByteSource.fill
    monkeypatch.setattr(_source.ByteSource, "fill",
                        lambda self, buf, at, want: filled.append(want) or fill(self, buf, at, want))
    monkeypatch.setattr(_source, "CHUNK", 256)
    assert set(entry_points(lambda: path).values()) == {
        f"{path}:1: frame 0: expected 1000000 atom lines after this count line, the file has only 8008 bytes after it"}
    assert sum(filled) == 3 * 256  # one chunk per entry point
    monkeypatch.setattr(_source, "CHUNK", 1 << 20)  # all of it in one chunk: the usual message
    with pytest.raises(atomblock.ExtxyzError, match="1000000 atom lines after this count line, the file ends after"):
        atomblock.read(path)


def test_a_socket_frame_is_yielded_before_more_is_sent():
    ours, theirs = socket.socketpair()
    with ours, theirs:
        ours.sendall(frame(2, 0).encode())
        frames = atomblock.iread(theirs.makefile("rb"))
        got = []
        reader = threading.Thread(target=lambda: got.append(next(frames)), daemon=True)
        reader.start()
        reader.join(10)
        assert [f.info["step"] for f in got] == [0]  # not waiting for a chunk or the end
        ours.sendall(frame(2, 1).encode())
        ours.shutdown(socket.SHUT_WR)
        assert [f.info["step"] for f in frames] == [1]


@pytest.mark.parametrize("chunk", [64, 1 << 20])
def test_a_count_too_large_is_reported_at_the_first_faulty_line(monkeypatch, chunk):
    monkeypatch.setattr(_source, "CHUNK", chunk)
    text = ("120\n\n" + "H 0 0 0\n" * 100 + frame(5, 1)).encode()
    expected = "<stream>:103: frame 0: expected 4 tokens, ran out (column pos, expected R)"
    assert set(entry_points(lambda: io.BytesIO(text), workers=(1, 2)).values()) == {expected}
    with pytest.raises(atomblock.ExtxyzError) as e:
        atomblock.read(io.BytesIO(text), -1)
    assert str(e.value) == expected
    # The frames before a stop are converted first: their fault comes first.
    text = (frame(2, 0, "H 0 x 0") + frame(1, 1) + "oops\n").encode()
    assert set(entry_points(lambda: io.BytesIO(text), workers=(1, 2)).values()) == {
        '<stream>:3: frame 0: cannot parse "x" as float: invalid float literal (column pos, expected R)'}


def test_messages_quote_and_name_sources(tmp_path):
    assert set(entry_points(lambda: io.BytesIO(b"1\nx\nH 0 0 0\nx\x00\r\x8b\t\\\"y\r\n")).values()) == {
        '<stream>:4: frame 1: expected an atom count, got "x\\x00\\r\\x8b\\t\\\\\\"y"'}
    path = tmp_path / "bad.xyz"
    path.write_bytes(b"x\n")
    with pytest.raises(atomblock.ExtxyzError, match=f"^{path}:1: frame 0: "):
        atomblock.read(bytes(path))
    with open(path, "wb") as f:
        f.write(TEXT + b"oops\n")
    with open(path, "rb") as f:
        f.seek(len(frame(3, 0)))  # frame 1 onwards: lines count from here
        with pytest.raises(atomblock.ExtxyzError) as e:
            atomblock.read(f, ":")
    assert str(e.value) == f'{path} (from byte {len(frame(3, 0))}):{len(TEXT.splitlines()) - 5 + 1}: frame 6:' \
                           ' expected an atom count, got "oops"'
    for call in (atomblock.read, atomblock.iread, atomblock.check):
        with pytest.raises(TypeError, match="^source must be a path .* or an open file, not int$"):
            call(123)
        with pytest.raises(TypeError, match=r"io\.BytesIO\(data\)"):
            call(TEXT)


PROPS = "Properties=species:S:1:pos:R:3"


@pytest.mark.parametrize("comment", ["", PROPS])
def test_extra_atom_tokens_are_read_and_noted_once(comment):
    text = (f"2\n{comment}\nH 0 0 0\nO 1 1 1 7\n1\n{comment}\nH 0 0 0\n1\n{comment}\nH 0 0 x 8 9\n"
            f"1\n{comment}\nC 2 2 2 5 6 7\n").encode()
    with pytest.raises(atomblock.ExtxyzError, match=':10: frame 2: cannot parse "x" as float'):
        atomblock.read(io.BytesIO(text), ":")
    assert [f.arrays["pos"].tolist() for f in atomblock.read(io.BytesIO(text), "::3")] == [
        [[0, 0, 0], [1, 1, 1]], [[2, 2, 2]]]
    assert [str(e) for e in atomblock.check(io.BytesIO(text))] == [
        '<stream>:10: frame 2: cannot parse "x" as float: invalid float literal (column pos, expected R)']
    found = atomblock.check(io.BytesIO(text), notes=True)
    assert [str(e) for e in found] == [
        "<stream>:4: frame 0: atom lines have more tokens than Properties declares (5 for 4 columns);"
        " the extra tokens are ignored (in 2 of 4 frames)",
        '<stream>:10: frame 2: cannot parse "x" as float: invalid float literal (column pos, expected R)']
    note = found[0]
    assert isinstance(note, atomblock.ExtxyzNote) and not isinstance(note, BaseException)
    assert (note.file, note.line, note.frame) == ("<stream>", 4, 0)


@pytest.mark.parametrize("seed", range(6))
def test_damaged_files_read_or_fail_with_extxyz_errors_alike(seed):
    rng = random.Random(seed)
    plain = (frame(2, 0) + frame(0, 1) + "3\nLattice=\"1 0 0 0 1 0 0 0 1\" a=1\nH 1 2 3\nO 4 5 6\r\nC 7 8 9\n"
             + frame(1, 3)).encode()
    for case in range(50):
        data = bytearray(gzip.compress(plain, 1) if case % 2 else plain)
        if rng.random() < 0.3:
            del data[rng.randrange(1, len(data)):]
        for _ in range(rng.randrange(1, 4)):
            data[rng.randrange(len(data))] = rng.choice(b"0123456789 \n\r\x00\xff\x8bx=\"")
        chunk = rng.choice([7, 64, 1 << 20])
        _source.CHUNK = chunk
        try:
            outcome = entry_points(lambda d=bytes(data): io.BytesIO(d))
        finally:
            _source.CHUNK = 1 << 20
        read_outcome = outcome["read1"]
        assert outcome["iread"] == read_outcome, (seed, case, bytes(data))
        assert outcome["check"] == (read_outcome if isinstance(read_outcome, str) else None), (seed, case, bytes(data))


def test_chunked_reads_with_workers_match_one_read(monkeypatch, tmp_path):
    path = tmp_path / "t.xyz.gz"
    big = "".join(frame(1 + (k * 37) % 300, k) for k in range(60)).encode()
    path.write_bytes(gzip.compress(big, 1))
    whole = atomblock.read(path, ":")
    monkeypatch.setattr(_source, "CHUNK", 1000)
    monkeypatch.setattr(_read, "POOL_ROWS", 100)  # frames of fewer atoms are read on the calling thread
    monkeypatch.setattr(_read.KEPT, "spares", [])  # buffers lent to the pool, kept for the next read
    for index in (":", "5:50:3", -7, "-10:", "::-4", "2:-3", "40::-2"):
        assert atomblock.read(path, index, workers=2) == atomblock.read(path, index) == (
            whole[index] if isinstance(index, int) else whole[_read.parse_index(index)])
        got = list(atomblock.iread(path, index))
        assert got == ([whole[index]] if isinstance(index, int) else whole[_read.parse_index(index)])
    assert _read.KEPT.spares and all(len(b) >= 1000 for b in _read.KEPT.spares)


LAST = frame(2, 7) + frame(1, 8, "H {i} 0 x")  # a bad float in the last frame
POSITIONAL_CASES = [  # text, index, read by the positional pass (else by the ordinary scan; None: by piece)
    (TEXT, -1, True),
    (TEXT, -3, True),
    (TEXT, "-4::2", True),
    (TEXT, -8, True),  # out of range
    (b"", -1, True),
    (TEXT + b"\n \t\r\n\n", -2, True),  # blank lines after the last frame
    (TEXT.replace(b"\n", b"\r\n"), -2, True),
    (TEXT.replace(b"\n3\n", b"\n      3   \n"), "-5:", True),  # blanks around counts, across pieces
    ((frame(0, 0) + frame(2, 1) + frame(0, 2)).encode(), "-3:", True),
    (TEXT + LAST.encode(), -1, True),  # the fault of the frame read, at its line
    (LAST.encode() + TEXT, -1, True),  # a fault in a frame not read is not looked for
    (TEXT[:-1], -1, False),  # the last line has no line break
    (TEXT + b"\n" + TEXT, -1, False),  # a blank line between frames
    (TEXT + b"junk\n", -1, False),
    (TEXT + b"5\nc\nH 0 0 0\n", -1, False),  # cut short
    (TEXT + b"999999999\nc\n" + TEXT, -1, False),  # more lines than bytes left
    (TEXT + b"9" * 30 + b"\nc\n", -1, False),  # a count too large
    # a comment line over the limit: like the ordinary scan's chunks, a piece it crosses refuses it
    (TEXT + b"1\n" + b"c" * 150 + b"\nH 0 0 0\n" + TEXT, -1, None),
]


@pytest.mark.parametrize("text, index, positional", POSITIONAL_CASES)
@pytest.mark.parametrize("piece", [16, 1 << 19])
def test_last_frames_by_position_read_as_the_ordinary_scan(monkeypatch, tmp_path, text, index, positional, piece):
    path = tmp_path / "t.xyz"
    path.write_bytes(text)
    monkeypatch.setattr(_read, "PASS_PIECE", piece)
    monkeypatch.setattr(_read, "MAX_COMMENT_LINE", 100)
    served = []
    last_frames = _read._last_frames

    def spied(*args):
        found = last_frames(*args)
        served.append(found is not None)
        return found

    monkeypatch.setattr(_read, "_last_frames", spied)

    def outcome(source):
        try:
            got = atomblock.read(source, index)
            return steps(got) if isinstance(got, list) else got.info.get("step")
        except (atomblock.ExtxyzError, IndexError) as e:
            return f"{type(e).__name__}: {e}".replace(str(path), "<stream>")

    by_path = outcome(path)
    assert served == [positional if positional is not None else piece > len(text)]
    assert by_path == outcome(io.BytesIO(text))


@pytest.mark.parametrize("workers", [2, 3])
def test_big_frames_read_in_row_ranges_match_one_thread(monkeypatch, tmp_path, workers):
    monkeypatch.setattr(_read, "POOL_ROWS", 3)  # 0 atoms: here; 3 to 5: on the pool; 11, 12: in row ranges
    monkeypatch.setattr(_read, "SPLIT_ROWS", 6)
    comment = "Properties=species:S:1:pos:R:3:tag:I:1:fix:L:1 step={k}"
    rows = ["H 0.5 1 2 7 T", "Uuo -1e-3 2 3 -8 F", "Ω 1 1 1 9 T"]  # string widths differ between ranges
    text = "".join(f"{n}\n{comment.format(k=k)}\n" + "".join(rows[(i * i + k) % 3] + "\n" for i in range(n))
                   for k, n in enumerate([11, 0, 4, 5, 3, 12]))
    path = tmp_path / "t.xyz"
    path.write_text(text, encoding="utf-8")
    one = atomblock.read(path, ":")
    assert [len(f.arrays["species"]) for f in one] == [11, 0, 4, 5, 3, 12]
    assert atomblock.read(path, ":", workers=workers) == one
    lines = text.splitlines(keepends=True)
    for bad in (3, 11, 45):  # a fault in the first, a later and the last range: the line one thread names
        path.write_text("".join(lines[:bad] + [lines[bad].replace(" 1 ", " x ", 1).replace(" 2 ", " x ", 1)]
                                + lines[bad + 1:]), encoding="utf-8")
        with pytest.raises(atomblock.ExtxyzError) as e:
            atomblock.read(path, ":")
        with pytest.raises(atomblock.ExtxyzError) as e_workers:
            atomblock.read(path, ":", workers=workers)
        assert str(e_workers.value) == str(e.value)
        assert f":{bad + 1}:" in str(e.value)


def test_the_buffer_an_earlier_read_left_reads_the_next_files_afresh(monkeypatch, tmp_path):
    monkeypatch.setattr(_source, "CHUNK", 64)
    monkeypatch.setattr(_read.KEPT, "buffers", [])
    big, other, small = tmp_path / "big.xyz", tmp_path / "other.xyz", tmp_path / "small.xyz"
    big.write_bytes(frame(300, 0).encode() + TEXT)  # the buffer grows to hold the big frame
    other.write_bytes(frame(250, 1, "He {i} 1 1").encode() + TEXT)
    small.write_bytes(TEXT[::-1].split(b"\n", 1)[1][::-1] + b"\n")
    atomblock.read(big, 0)
    kept = _read.KEPT.buffers[0]
    atomblock.read(other, 0)
    assert not kept.startswith(b"300\n")  # grown into
    for path in (small, big, other, small):
        data = path.read_bytes()
        expected = steps(atomblock.read(io.BytesIO(data), ":"))
        assert steps(atomblock.read(path, ":")) == steps(atomblock.read(path, ":", workers=2)) == expected
        assert steps(atomblock.iread(path, "::2")) == expected[::2]
