"""Turning array-like arguments into arrays, with errors that name the argument; array helpers."""

from typing import Any

import numpy as np
import numpy.typing as npt


def real_array(value: npt.ArrayLike, name: str, shape: str, contents: str) -> npt.NDArray[Any]:
    """`value` as an array of integers or floats. ValueError naming `name` and the expected
    `shape` for ragged nesting; TypeError saying it must hold `contents` for any other kind."""
    try:
        array = np.asarray(value)
    except ValueError as exc:  # ragged nesting
        raise ValueError(f"{name} must have shape {shape}: {exc}") from None
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{name} must hold {contents}, got an array of dtype {array.dtype}")
    return array


def distinct(values: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """The distinct values of a one-dimensional array, ascending: np.unique, without loading
    numpy.ma, which np.unique's plain form imports (some 10 ms at the command's start)."""
    ordered = np.sort(values)
    keep = np.ones(len(ordered), dtype=bool)
    keep[1:] = ordered[1:] != ordered[:-1]
    return ordered[keep]


def among(values: npt.NDArray[Any], candidates: Any) -> npt.NDArray[np.bool_]:
    """np.isin(values, candidates) for names, without the np.unique that loads numpy.ma."""
    distinct_values, codes = np.unique(values, return_inverse=True)
    wanted = set(np.asarray(candidates).tolist())
    found = np.array([value in wanted for value in distinct_values.tolist()], dtype=bool)
    return found[np.asarray(codes).reshape(-1)].reshape(np.shape(values))
