"""Byte-counting progress bars for atomblock's readers and writers (tqdm when wanted and present)."""

from __future__ import annotations

import os
import sys
import warnings
from types import TracebackType
from typing import Any

__all__ = ["optional_bar", "progress_bar"]

# Set once the missing-tqdm warning has been given, so a loop over many files warns only once.
_warned_missing_tqdm = False

# The package's own directory: the missing-tqdm warning names the first caller outside it.
_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))

# Bytes are shown in binary multiples (KiB, MiB, ...): 1024 bytes per step.
_BYTES_PER_KIB = 1024


class _NoProgress:
    """Stands in for a bar when progress is off or tqdm is missing: every call does nothing."""

    __slots__ = ()

    def update(self, nbytes: int) -> None:
        pass

    def close(self) -> None:
        pass

    def __enter__(self) -> _NoProgress:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        pass


NO_PROGRESS = _NoProgress()  # stateless: one instance serves every call without a bar


class _TqdmProgress:
    """Owns one tqdm bar counted in bytes; closing it (leaving the context) ends the bar's line."""

    __slots__ = ("_bar",)

    def __init__(self, bar: Any) -> None:
        self._bar = bar

    def update(self, nbytes: int) -> None:
        if nbytes:
            self._bar.update(nbytes)

    def close(self) -> None:
        self._bar.close()

    def __enter__(self) -> _TqdmProgress:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()


def _user_stacklevel() -> int:
    """The `stacklevel` for warnings.warn, called from progress_bar, of the user's code that
    asked for progress (however deep in the package the bar was made)."""
    frame = sys._getframe(1)  # progress_bar
    level = 1
    while frame.f_back is not None and os.path.dirname(os.path.abspath(frame.f_code.co_filename)) == _PACKAGE_DIR:
        frame = frame.f_back
        level += 1
    return level


def optional_bar(total: int | None, desc: str, enabled: bool) -> Any:
    """progress_bar(total, desc, True) when `enabled`, else NO_PROGRESS without calling it.

    progress_bar is looked up at call time, so that it can be replaced (tests record updates).
    """
    return progress_bar(total, desc, enabled) if enabled else NO_PROGRESS


def progress_bar(total: int | None, desc: str, enabled: bool) -> Any:
    """Return a context manager with ``.update(nbytes)`` showing progress in bytes.

    ``total`` is the number of bytes expected (None when unknown, e.g. a compressed
    stream). When ``enabled`` is false the object does nothing. tqdm is optional: when
    it is missing, a ``RuntimeWarning`` is given once per process and the object does
    nothing.
    """
    global _warned_missing_tqdm
    if not enabled:
        return NO_PROGRESS
    try:
        from tqdm import tqdm
    except ImportError:
        if not _warned_missing_tqdm:
            _warned_missing_tqdm = True
            warnings.warn(
                "progress=True needs the tqdm package (pip install tqdm); continuing without a progress bar",
                RuntimeWarning,
                stacklevel=_user_stacklevel(),
            )
        return NO_PROGRESS
    bar = tqdm(
        total=total,
        desc=desc,
        unit="B",
        unit_scale=True,
        unit_divisor=_BYTES_PER_KIB,
    )
    return _TqdmProgress(bar)
