# Type stub of atomblock._native, the package's compiled helpers.
from collections.abc import Iterable, Sequence
from typing import Any, Literal

import numpy as np
import numpy.typing as npt
from _typeshed import ReadableBuffer

class BlockError(ValueError):
    row: int
    kind: str
    column: int | None
    token: tuple[int, int] | None
    found: int | None
    detail: str

def read_block(
    buffer: ReadableBuffer,
    offset: int,
    natoms: int,
    col_types: bytes,
    strict: bool = True,
    strings: Literal["list", "utf32"] = "list",
) -> tuple[dict[str, Any], int]: ...
def skip_lines(buffer: ReadableBuffer, offset: int, n: int) -> tuple[int, int]: ...
def index_frames(
    buffer: ReadableBuffer, offset: int = 0, max_frames: int = -1
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], int, int]: ...
def write_block(
    str_cols: Sequence[npt.NDArray[np.uint32]],
    str_widths: Sequence[int],
    float_mat: npt.NDArray[np.float64] | list[npt.NDArray[np.float64]] | tuple[npt.NDArray[np.float64], ...],
    int_mat: npt.NDArray[np.int64] | list[npt.NDArray[np.int64]] | tuple[npt.NDArray[np.int64], ...],
    bool_mat: npt.NDArray[np.uint8] | list[npt.NDArray[Any]] | tuple[npt.NDArray[Any], ...],
    col_types: bytes,
    float_format: Literal["fixed", "shortest"] = "fixed",
    natoms: int | None = None,
    check_strings: bool = False,
) -> bytes: ...
def write_frames(
    offsets: npt.NDArray[np.int64],
    layout_ids: npt.NDArray[np.int64],
    layouts: Sequence[tuple[Any, ...] | None],
    order_ids: npt.NDArray[np.int64],
    orders: Sequence[Sequence[tuple[bytes, int]]],
    columns: Sequence[tuple[bytes, Any, Any]],
    cells: npt.NDArray[np.float64],
    has_cell: npt.NDArray[np.bool_],
    pbc: npt.NDArray[np.bool_],
    first: int,
    end: int,
    float_format: bytes = b"fixed",
) -> tuple[bytes, int]: ...
def parse_comment_fast(
    line: str,
) -> (
    tuple[
        dict[str, int | float | bool | str | npt.NDArray[Any]],
        str | npt.NDArray[np.float64] | None,
        str | None,
        str | None,
    ]
    | None
): ...
def read_table_batch(
    buffer: ReadableBuffer,
    offsets: npt.NDArray[np.int64],
    natoms: npt.NDArray[np.int64],
    layouts: dict[str | None, int],
    col_types: list[bytes],
    keep_info: Iterable[str] | None,
    atoms: bool = True,
) -> tuple[Any, ...]: ...
def ascii_strings(points: ReadableBuffer, width: int) -> tuple[bytes, bytes] | None: ...
