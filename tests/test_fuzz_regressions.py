"""Inputs that the fuzz targets of fuzz/ found faults with, through the public
API. Some faults (undefined behaviour) only show in the sanitizer run,
tools/sanitize.sh, which runs this file with the rest of the suite."""
import pytest

from _atomblock import read_atom_lines_rs

import model_reader as model


def read_bits(tokens):
    floats = read_atom_lines_rs([" ".join(tokens)], b"f" * len(tokens))["floats"]
    return [model.float_bits(v) for v in floats[0].tolist()]


# Digit runs are classified eight bytes at a time; the per-byte constant of the
# classifier overflowed a signed 64-bit multiplication (undefined behaviour,
# reported by UBSan on the first float token read). Runs of every length up to
# two words, ending in each kind of byte that stops a run.
DIGIT_RUNS = ["7", "1234567", "12345678", "123456789", "1234567890123456", "12345678901234567"]


@pytest.mark.parametrize("run", DIGIT_RUNS)
@pytest.mark.parametrize("shape", ["{}", "{}.5", "0.{}", "{}.{}", "-{}e-3", "+.{}E2", "{}.50000000"])
def test_float_digit_runs_read_exactly(run, shape):
    token = shape.format(run, run)
    assert read_bits([token]) == [model.float_bits(model.parse_float(token))]


@pytest.mark.parametrize("stop", ["x", "/", ":", "\u00e9", "\u00a0", ",", "_", "\x7f"])
def test_digit_run_stopped_by_a_non_digit_is_refused(stop):
    for run in DIGIT_RUNS:
        token = f"{run}{stop}9"
        with pytest.raises(ValueError) as excinfo:
            read_atom_lines_rs([token], b"f")
        assert str(excinfo.value) == f"row 0: cannot parse {model.quote(token)} as float: invalid float literal"
