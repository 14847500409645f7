"""Shared fixtures and helpers for the _atomblock test suite."""
import os
import subprocess
import sys

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
