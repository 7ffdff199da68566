"""Existence maps as the XPM text images GROMACS writes (``gmx hbond -hbm``) and reads (``gmx
xpm2ps``).

An XPM image is a C array of strings: the first holds width, height, number of colours and
characters per pixel; then one string per colour (its character, ``c``, an RGB colour); then one
string per pixel row, top row first. GROMACS adds comments before the array (title, legend, axis
labels, type) and, before the pixel rows, the axis values, 80 to a comment line. Its existence
map is a column per frame, the time in ps on the x axis, and a row per bond, bond 0 at the
bottom: the last bond is the first pixel row. A bonded frame is ``o`` (red), another a space
(white).
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

from .outputs import atomic_path


class PresenceMap(Protocol):
    """What the writer reads of an existence matrix: its bool rows and the analysed frames."""

    @property
    def n_frames(self) -> int: ...
    @property
    def times(self) -> npt.NDArray[np.float64]: ...
    def __len__(self) -> int: ...
    def __getitem__(self, rows: Any) -> npt.NDArray[np.bool_]: ...

_AXIS_VALUES_PER_LINE = 80
# Pixel rows formatted at once: a few MB of text whatever the map's size.
_BLOCK_BYTES = 1 << 22
_PRESENT, _ABSENT = ord("o"), ord(" ")


def write_existence_xpm(matrix: PresenceMap, path: str | os.PathLike[str]) -> None:
    """Write `matrix` as GROMACS writes a hydrogen-bond existence map; whole or not at all."""
    n_rows, n_frames = len(matrix), matrix.n_frames
    header = [
        "/* XPM */",
        "/* This file can be converted to EPS by the GROMACS program xpm2ps */",
        '/* title:   "Hydrogen Bond Existence Map" */',
        '/* legend:  "Hydrogen Bonds" */',
        '/* x-label: "Time (ps)" */',
        '/* y-label: "Hydrogen Bond Index" */',
        '/* type:    "Discrete" */',
        "static char *gromacs_xpm[] = {",
        f'"{n_frames} {n_rows}   2 1",',
        '"   c #FFFFFF " /* "None" */,',
        '"o  c #FF0000 " /* "Present" */,',
        *_axis_lines("x", (f"{time:g}" for time in matrix.times.tolist())),
        *_axis_lines("y", map(str, range(n_rows))),
    ]
    block = max(1, _BLOCK_BYTES // max(n_frames, 1))
    with atomic_path(path) as temporary, open(temporary, "wb") as out:
        out.write(("\n".join(header) + "\n").encode())
        for top in range(n_rows, 0, -block):
            rows = np.arange(top - 1, max(top - block, 0) - 1, -1)
            text = _pixel_rows(matrix[rows])
            if rows[-1] == 0:
                text = text[:-2] + b"\n"  # no comma after the last string
            out.write(text)


def _axis_lines(axis: str, values: Iterable[str]) -> list[str]:
    texts = list(values)
    return [f"/* {axis}-axis:  {' '.join(texts[start:start + _AXIS_VALUES_PER_LINE])} */"
            for start in range(0, len(texts), _AXIS_VALUES_PER_LINE)]


def _pixel_rows(present: np.ndarray) -> bytes:
    """`"o o  ",` and a newline per row of a bool array."""
    n_rows, width = present.shape
    lines = np.empty((n_rows, width + 4), dtype=np.uint8)
    lines[:, 0] = lines[:, width + 1] = ord('"')
    lines[:, 1:width + 1] = np.where(present, _PRESENT, _ABSENT)
    lines[:, width + 2] = ord(",")
    lines[:, width + 3] = ord("\n")
    return lines.tobytes()
