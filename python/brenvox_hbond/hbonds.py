"""find_hbonds: the inputs checked and normalised here, the search done by the native module."""

import math
import operator
from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt

from . import _native
from ._arrays import real_array
from .boxes import box_vectors, reduced_box_vectors
from .criteria import Criterion, resolve_criterion

Bonds = np.ndarray[tuple[int, int], np.dtype[np.uint32]]

_INT64_MAX = np.iinfo(np.int64).max


def find_hbonds(
    xyz: npt.ArrayLike,
    donor_h_pairs: npt.ArrayLike,
    acceptors: npt.ArrayLike,
    *,
    box: npt.ArrayLike | None = None,
    distance_cutoff: float | None = None,
    angle_cutoff: float | None = None,
    n_threads: SupportsIndex = 1,
    criterion: Criterion | str | None = None,
) -> Bonds:
    """Find the hydrogen bonds of every frame, by the Baker–Hubbard criterion unless another
    is asked for.

    In a frame, the donor D carrying the hydrogen H is bonded to the acceptor A when the H–A
    distance is below `distance_cutoff` and the D–H–A angle is above `angle_cutoff`, both
    strictly. With a box, both vectors H→A and H→D are taken to their minimum image. Another
    `criterion` measures what it names the same way: every vector between two atoms is taken
    to its minimum image.

    Parameters
    ----------
    xyz : array_like, shape (n_frames, n_atoms, 3)
        Coordinates, in the unit of the cut-off (nm for the default 0.25). float32 and float64
        arrays are read where they are when C-contiguous and in native byte order; float32 is
        never widened as a whole. Integer and float16 input is converted to float64.
    donor_h_pairs : array_like of int, shape (n_pairs, 2)
        (donor, hydrogen) atom indices: a list of tuples or an integer array. ``[]`` is no pair.
    acceptors : array_like of int, shape (n_acceptors,)
        Acceptor atom indices.
    box : array_like, optional
        The periodic box; None (the default) for none. The number of dimensions decides the
        layout:

        - ``(3,)``: edge lengths of a rectangular box, the same for every frame;
        - ``(6,)``: lengths and angles in degrees, ``(a, b, c, alpha, beta, gamma)`` as in
          MDAnalysis' ``dimensions``, the same for every frame;
        - ``(n_frames, 3)`` or ``(n_frames, 6)``: the same, one row per frame;
        - ``(n_frames, 3, 3)`` or ``(1, 3, 3)``: box vectors as rows, per frame or for all
          frames, as in MDTraj's ``unitcell_vectors``.

        A two-dimensional box is always lengths (and angles), never box vectors. Lengths and
        angles become vectors as in MDAnalysis' ``triclinic_vectors``: a along x, b in the xy
        plane; three right angles give a diagonal box exactly. Each box is then reduced to the
        form GROMACS keeps (see ``boxes.reduced_box_vectors``); reduced boxes are used as given.
    distance_cutoff : float, optional
        Finite and positive; with a box, below half the box's smallest perpendicular width.
        By default the criterion's own (0.25 for Baker–Hubbard).
    angle_cutoff : float, optional
        In degrees, from 0 to 180; by default the criterion's own (120.0 for Baker–Hubbard).
    n_threads : int, default 1
        Worker threads for the search; the rows do not depend on it.
    criterion : str or Criterion, optional
        A preset's name ("baker_hubbard", the default, "gromacs", "mdanalysis",
        "wernet_nilsson") or a ``criteria.Criterion``; explicit cut-offs replace its own.
        With merged hydrogens, a donor's pairs are merged when listed one after the other.

    Returns
    -------
    numpy.ndarray of uint32, shape (n_bonds, 4)
        One row ``(frame, donor, hydrogen, acceptor)`` per bond, ordered by frame, then by
        position in `donor_h_pairs`, then by position in `acceptors`. An entry listed twice
        gives its rows twice. No row has the acceptor equal to its donor, nor an atom with a
        non-finite coordinate in that frame.

    Raises
    ------
    TypeError
        An argument of the wrong kind: coordinates or a box that are not real numbers,
        indices that are not integers, cut-offs that are not numbers, `n_threads` not an
        integer.
    ValueError
        A wrong shape, a box whose frame count differs from xyz's, an impossible or
        non-finite box or one whose volume overflows or underflows double precision, a
        cut-off out of its range (with a box, `distance_cutoff` not below
        half the smallest perpendicular width), `n_threads` below 1.
    IndexError
        An index outside ``0..n_atoms-1``; the message names the first such entry, pairs
        before acceptors.

    Examples
    --------
    A donor, its hydrogen and an acceptor on a line, H–A 0.2 apart; across the boundary of a
    box of edge 3 they are just as close:

    >>> import numpy as np
    >>> from brenvox_hbond import find_hbonds
    >>> xyz = np.array([[[0.0, 0.0, 0.0], [0.1, 0.0, 0.0], [0.3, 0.0, 0.0]],
    ...                 [[2.8, 0.0, 0.0], [2.9, 0.0, 0.0], [0.1, 0.0, 0.0]]])
    >>> find_hbonds(xyz, [(0, 1)], [2])
    array([[0, 0, 1, 2]], dtype=uint32)
    >>> find_hbonds(xyz, [(0, 1)], [2], box=[3.0, 3.0, 3.0])
    array([[0, 0, 1, 2],
           [1, 0, 1, 2]], dtype=uint32)
    """
    coordinates = _coordinates(xyz)
    pairs = _indices(donor_h_pairs, "donor_h_pairs", pairs=True)
    acceptor_indices = _indices(acceptors, "acceptors", pairs=False)
    vectors = box_vectors(box, coordinates.shape[0])
    if vectors is not None:
        vectors = reduced_box_vectors(vectors)
    distance = None if distance_cutoff is None else _real(distance_cutoff, "distance_cutoff")
    if distance is not None and not (math.isfinite(distance) and distance > 0.0):
        raise ValueError(f"distance_cutoff must be finite and positive, got {distance!r}")
    angle = None if angle_cutoff is None else _real(angle_cutoff, "angle_cutoff")
    if angle is not None and not 0.0 <= angle <= 180.0:
        raise ValueError(f"angle_cutoff must be between 0 and 180 degrees, got {angle!r}")
    chosen = resolve_criterion(criterion, distance, angle)
    threads = _thread_count(n_threads)
    if pairs.dtype == object or acceptor_indices.dtype == object:
        raise _first_out_of_range(pairs, acceptor_indices, coordinates.shape[1])
    # The native pool never starts more than 65535 workers.
    bonds: Bonds = _native.find_hbonds(coordinates, pairs, acceptor_indices, vectors, chosen.distance_cutoff,
                                       chosen.angle_cutoff, min(threads, 65535), chosen.native_form)
    return bonds


def _coordinates(xyz: npt.ArrayLike) -> npt.NDArray[np.floating]:
    array = real_array(xyz, "xyz", "(n_frames, n_atoms, 3)", "real coordinates (floats or integers)")
    if array.ndim != 3 or array.shape[2] != 3:
        raise ValueError(f"xyz must have shape (n_frames, n_atoms, 3), got shape {array.shape}")
    if array.dtype.type in (np.float32, np.float64):
        dtype = np.dtype(array.dtype.type)  # the same width, in native byte order
    else:
        dtype = np.dtype(np.float64)
    return np.require(array, dtype=dtype, requirements=["C", "A"])


def _indices(value: npt.ArrayLike, name: str, pairs: bool) -> npt.NDArray[Any]:
    """C-contiguous int64, or Python ints in an object array when some index does not fit int64."""
    expected = "(n_pairs, 2)" if pairs else "(n_acceptors,)"
    try:
        array = np.asarray(value)
    except OverflowError:
        array = np.asarray(value, dtype=object)
    except ValueError as exc:
        raise ValueError(f"{name} must have shape {expected}: {exc}") from None
    empty_shape = (0, 2) if pairs else (0,)
    if array.shape in ((0,), empty_shape):  # nothing to check, and [] has no integer dtype
        return np.zeros(empty_shape, dtype=np.int64)
    if array.dtype.kind not in "iu":
        array = _python_integers(value, array, name)
    if (array.ndim != 2 or array.shape[1] != 2) if pairs else array.ndim != 1:
        raise ValueError(f"{name} must have shape {expected}, got shape {array.shape}")
    if array.dtype != object and isinstance(value, (list, tuple)):
        _refuse_bools(value, array, name)
    if array.dtype == object:
        values = [int(item) for item in array.ravel()]
        if all(-_INT64_MAX - 1 <= item <= _INT64_MAX for item in values):
            return np.array(values, dtype=np.int64).reshape(array.shape)
        return np.array(values, dtype=object).reshape(array.shape)
    if array.dtype.kind == "u" and array.size and int(array.max()) > _INT64_MAX:  # NumPy 1 compares via float64
        return array.astype(object)
    return np.require(array, dtype=np.int64, requirements=["C", "A"])


def _python_integers(value: object, array: npt.NDArray[Any], name: str) -> npt.NDArray[Any]:
    # NumPy turns lists holding ints beyond int64 into float64 or object arrays; those are still
    # integers, and must end as an IndexError rather than a TypeError or a wrapped value.
    candidate = array
    if array.dtype.kind == "f" and not isinstance(value, np.ndarray):
        candidate = np.asarray(value, dtype=object)
    if candidate.dtype == object and candidate.ndim and all(_is_integer(item) for item in candidate.flat):
        return candidate
    what = type(value).__name__ if array.ndim == 0 else f"dtype {array.dtype}"
    raise TypeError(f"{name} must hold integer atom indices, got {what}")


def _refuse_bools(value: list[Any] | tuple[Any, ...], array: npt.NDArray[Any], name: str) -> None:
    """NumPy reads True and False among integers as 1 and 0, where it refuses a bool array: refuse
    them too. Only the entries read as 0 or 1 can have been bools, so only those are looked at."""
    for position in np.flatnonzero((array.ravel() >> 1) == 0):
        item = value[position // 2] if array.ndim == 2 else value[position]
        if array.ndim == 2 and isinstance(item, (list, tuple, np.ndarray)):
            item = item[position % 2]
        if isinstance(item, (bool, np.bool_)) or (isinstance(item, np.ndarray) and item.dtype == np.bool_):
            raise TypeError(f"{name} must hold integer atom indices, got dtype bool")


def _is_integer(item: object) -> bool:
    return isinstance(item, (int, np.integer)) and not isinstance(item, (bool, np.bool_))


def _first_out_of_range(
    pairs: npt.NDArray[Any], acceptors: npt.NDArray[Any], n_atoms: int
) -> IndexError:
    """The error the native search gives for the first index outside 0..n_atoms-1, pairs first."""
    for name, array in (("donor_h_pairs", pairs), ("acceptors", acceptors)):
        outside = np.flatnonzero((array < 0) | (array >= n_atoms))
        if len(outside):
            position = int(outside[0])
            where = f"[{position // 2}][{position % 2}]" if array.ndim == 2 else f"[{position}]"
            value = int(array.flat[position])
            return IndexError(f"{name}{where} = {value} is outside the 0..{n_atoms - 1} range of atom indices")
    raise AssertionError("an index beyond int64 is outside every range of atom indices")


def _real(value: object, name: str) -> float:
    if isinstance(value, (str, bytes, bool, np.bool_, complex, np.complexfloating)) or (
        isinstance(value, np.ndarray) and value.ndim
    ):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    try:
        return float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}") from None


def _thread_count(n_threads: object) -> int:
    if isinstance(n_threads, (bool, np.bool_)):
        raise TypeError(f"n_threads must be an integer, got {type(n_threads).__name__}")
    try:
        threads = operator.index(n_threads)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"n_threads must be an integer, got {type(n_threads).__name__}") from None
    if threads < 1:
        raise ValueError(f"n_threads must be at least 1, got {threads}")
    return threads
