"""The exception of the package, a fault in a file located by file name, line and frame, and its note."""
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


class ExtxyzNote:
    """Something in an extended XYZ file that reads, but that a checker points out (check(notes=True)).

    Not an exception: the same fields and text as ExtxyzError, ``"{file}:{line}: frame {frame}: {what}"``.
    """

    __slots__ = ("file", "line", "frame", "what")

    def __init__(self, file: str, line: int, frame: int, what: str) -> None:
        self.file = file
        self.line = line
        self.frame = frame
        self.what = what

    def __str__(self) -> str:
        return f"{self.file}:{self.line}: frame {self.frame}: {self.what}"

    def __repr__(self) -> str:
        return f"ExtxyzNote({self.file!r}, {self.line}, {self.frame}, {self.what!r})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ExtxyzNote):
            return NotImplemented
        return (self.file, self.line, self.frame, self.what) == (other.file, other.line, other.frame, other.what)

    def __hash__(self) -> int:
        return hash((self.file, self.line, self.frame, self.what))


class CommentError(ValueError):
    """A malformed comment line; the reader turns it into an ExtxyzError at that line."""
