"""Shared fixtures and helpers for the _atomblock test suite."""
import os
import subprocess
import sys

import numpy as np
import pytest


def run_python(code, *, env=None, timeout=120):
    """Run `code` in a fresh interpreter; returns the CompletedProcess."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


@pytest.fixture
def python_subprocess():
    return run_python


def panic_type_of(excinfo):
    """The exception class of an internal failure, checked by its identity."""
    exc = excinfo.value
    assert type(exc).__name__ == "PanicException"
    assert type(exc).__bases__ == (BaseException,)
    return type(exc)


def write_kwargs(natoms=1, columns=0, col_types=b"", **overrides):
    """Arguments of write_atoms_rs: natoms atoms named H (symbol width 2), and
    `columns` zero columns in each of the float, int and bool matrices."""
    args = dict(
        sym_codepoints=np.array([[ord("H"), 0]] * natoms, np.uint32).reshape(natoms, 2),
        sym_width=2,
        float_mat=np.zeros((natoms, columns)),
        int_mat=np.zeros((natoms, columns), np.int64),
        bool_mat=np.zeros((natoms, columns), np.uint8),
        col_types=col_types,
    )
    args.update(overrides)
    return args
