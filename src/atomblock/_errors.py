"""The one exception of the package: a fault in a file, located by file name, line and frame."""
from __future__ import annotations

from typing import Any


class ExtxyzError(ValueError):
    """A fault in an extended XYZ file.

    `str(error)` is ``"{file}:{line}: frame {frame}: {what}"``: `line` counts the
    file's lines from 1, `frame` counts frames from 0 (the first frame of the
    file is frame 0), `what` says what was found and what was expected there.
    A fault in an atom line is reported at that line, a malformed comment line
    or Properties= at the comment line, a bad count line at itself, and a frame
    cut short by the end of the file at its count line.
    """

    file: str
    line: int
    frame: int
    what: str

    def __init__(self, file: str, line: int, frame: int, what: str) -> None:
        super().__init__(f"{file}:{line}: frame {frame}: {what}")
        self.file = file
        self.line = line
        self.frame = frame
        self.what = what

    def __reduce__(self) -> tuple[Any, ...]:
        # The default would call the class with the formatted message alone.
        return (type(self), (self.file, self.line, self.frame, self.what))


class CommentError(ValueError):
    """A malformed comment line; the reader turns it into an ExtxyzError at that line."""
