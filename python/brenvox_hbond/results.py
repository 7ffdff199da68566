"""The hydrogen bonds of an analysed trajectory, and what is derived from them."""

from __future__ import annotations

import os
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from . import bond_tables, lifetimes
from ._arrays import distinct
from ._optional import require
from .criteria import PRESETS, Criterion
from .errors import RowsNotKeptError
from .outputs import atomic_path, time_text
from .sites import AtomLabels, Sites

if TYPE_CHECKING:
    from .existence import ExistenceMatrix

IntArray = npt.NDArray[np.int64]
FloatArray = npt.NDArray[np.float64]

_TYPE_KINDS = ("resname", "name", "element", "residue")


class _FoundWhenRead:
    """A field whose value may be given as a function of no arguments, called the first time the
    field is read: labels cost a pass over the topology that a run writing counts never needs."""

    def __set_name__(self, owner: type, name: str) -> None:
        self.slot = f"_{name}_value"

    def __get__(self, result: object, owner: type | None = None) -> AtomLabels | None:
        if result is None:
            return None  # the dataclass's default
        value = result.__dict__.get(self.slot)
        if callable(value):
            value = result.__dict__[self.slot] = value()
        return value

    def __set__(self, result: object, value: AtomLabels | Callable[[], AtomLabels | None] | None) -> None:
        result.__dict__[self.slot] = value


@dataclass(frozen=True)
class TripletCounts:
    """Distinct (donor, hydrogen, acceptor) triplets, in ascending order, and the number of
    analysed frames each is bonded in."""

    triplets: IntArray
    frames_bonded: IntArray


@dataclass
class HbondResult:
    """Hydrogen bonds found frame by frame, by the Baker–Hubbard criterion or the `criterion`
    named.

    `hbonds` holds one row ``(frame, donor, hydrogen, acceptor)`` per bond and frame, where
    frame counts the analysed frames from 0 (``frames[frame]`` is its index in the trajectory
    and ``times[frame]`` its time in ps). Rows come ordered by frame; within a frame as
    `find_hbonds` orders them. With ``keep_rows=False`` no rows are kept and only the counts
    per frame and, in `triplet_counts`, the frames each triplet is bonded in are kept.

    Attributes
    ----------
    hbonds : ndarray of uint32, shape (n_rows, 4), or None
        ``(frame, donor, hydrogen, acceptor)`` rows; None with ``keep_rows=False``.
    frames : ndarray of int64, shape (n_frames,)
        Index in the trajectory of each analysed frame.
    times : ndarray of float64, shape (n_frames,)
        Time of each analysed frame, in ps.
    counts : ndarray of int64, shape (n_frames,)
        Bonds in each analysed frame.
    sites : Sites
        The donor–hydrogen pairs and acceptors searched.
    labels : AtomLabels or None
        Atom, residue and chain names, from the topology (given as a function, found when
        first read).
    distance_cutoff, angle_cutoff : float
        The distance cut-off in nm and the angle cut-off in degrees the search used (H–A and
        D–H–A for Baker–Hubbard; `criterion` says what they measure).
    periodic : bool
        Whether the search used the periodic box.
    distances_da, distances_ha, angles : ndarray of float64, shape (n_rows,), or None
        With ``geometry=True``: the D–A and H–A distances in nm and the D–H–A angle in degrees
        of each row.
    triplet_counts : TripletCounts or None
        With ``keep_rows=False``: the distinct triplets and the frames each is bonded in.
    criterion : Criterion
        The definition searched with.

    References
    ----------
    E. N. Baker and R. E. Hubbard, "Hydrogen bonding in globular proteins", Prog. Biophys. Mol.
    Biol. 44, 97–179 (1984).
    """

    hbonds: npt.NDArray[np.uint32] | None
    frames: IntArray
    times: FloatArray
    counts: IntArray
    sites: Sites
    labels: _FoundWhenRead = _FoundWhenRead()
    distance_cutoff: float = 0.25
    angle_cutoff: float = 120.0
    periodic: bool = True
    distances_da: FloatArray | None = None
    distances_ha: FloatArray | None = None
    angles: FloatArray | None = None
    triplet_counts: TripletCounts | None = None
    criterion: Criterion = PRESETS["baker_hubbard"]
    _keys: tuple[IntArray, IntArray] | None = field(default=None, repr=False)
    _existence: ExistenceMatrix | None = field(default=None, repr=False)

    def __getstate__(self) -> dict[str, Any]:
        state = self.__dict__.copy()
        state["_labels_value"] = self.labels  # found now: what finds them may not pickle
        return state

    @property
    def n_frames(self) -> int:
        """Number of analysed frames."""
        return len(self.frames)

    @property
    def dt(self) -> float:
        """Time between analysed frames in ps (the median spacing; 1.0 with fewer than two frames).

        Returns
        -------
        float
            The median of the differences of `times`, in ps; 1.0 with fewer than two frames.
        """
        if self.n_frames < 2:
            return 1.0
        return float(np.median(np.diff(self.times)))

    def time_step(self) -> float | None:
        """The time between analysed frames in ps when they are evenly spaced in time (within the
        precision times are stored with), else None, with a RuntimeWarning.

        Returns
        -------
        float or None
            The common spacing of `times` in ps (their median difference); None with fewer
            than two frames, or when some spacing differs from it (a RuntimeWarning names the
            first such frame).
        """
        if self.n_frames < 2:
            return None
        steps = np.diff(self.times)
        step = float(np.median(steps))
        # Times stored in single precision carry up to half an ulp of float32 each.
        slack = max(1e-6 * abs(step), 4.0 * float(np.max(np.abs(self.times))) * 2.0**-24)
        if step > 0.0 and np.all(np.abs(steps - step) <= slack):
            return step
        where = int(np.flatnonzero(np.abs(steps - step) > slack)[0]) if step > 0.0 else 0
        warnings.warn(f"the analysed frames are not evenly spaced in time (frame {self.frames[where + 1]} comes "
                      f"{time_text(steps[where])} ps after the one before, most come {time_text(step)} ps apart): "
                      "lifetimes are given in frames only", RuntimeWarning, stacklevel=3)
        return None

    def __repr__(self) -> str:
        rows = "no rows kept" if self.hbonds is None else f"{len(self.hbonds)} rows"
        return (
            f"<HbondResult: {self.n_frames} frames, {rows}, "
            f"{self.counts.mean() if self.n_frames else 0.0:.1f} bonds per frame>"
        )

    def summary(self, top: int = 5) -> str:
        """A few lines for a terminal: frames, bonds per frame, the `top` most occupied bonds.

        Parameters
        ----------
        top : int, default 5
            Most occupied bonds to list, with their occupancy in percent; 0 lists none.

        Returns
        -------
        str
            Lines separated by newlines, without a final newline: frames analysed and their
            time span in ps, the numbers of donor–hydrogen pairs and acceptors, the mean,
            minimum and maximum bonds per frame, and when occupancy is known, the number of
            distinct bonds and the `top` most occupied.
        """
        lines = [
            f"frames analysed: {self.n_frames}"
            + (f" (time {time_text(self.times[0])} to {time_text(self.times[-1])} ps)" if self.n_frames else ""),
            f"donor-hydrogen pairs: {len(self.sites.donor_h_pairs)}, acceptors: {len(self.sites.acceptors)}",
        ]
        if self.criterion != PRESETS["baker_hubbard"]:
            lines.append(f"criterion: {self.criterion.describe()}")
        if self.n_frames:
            lines.append(
                f"hydrogen bonds per frame: mean {self.counts.mean():.2f}, "
                f"min {self.counts.min()}, max {self.counts.max()}"
            )
        if self.has_occupancy and len(self.unique_triplets()):
            triplets, fraction = self.occupancy()
            lines.append(f"distinct bonds (donor, hydrogen, acceptor): {len(triplets)}")
            if top > 0:
                lines.append("most occupied:")
            for triplet, share in zip(triplets[:top], fraction[:top]):
                lines.append(f"  {100 * share:5.1f}%  {self.describe(triplet)}")
        return "\n".join(lines)

    def describe(self, triplet: npt.ArrayLike) -> str:
        """A (donor, hydrogen, acceptor) triplet as ``A:GLU7-N - A:GLU7-H ... B:ASP9-OD1``, each
        atom with its chain (atom indices without labels).

        Parameters
        ----------
        triplet : array_like of int, 3 items
            Donor, hydrogen and acceptor atom indices, as a row of `unique_triplets` or
            `occupancy`.

        Returns
        -------
        str
            ``donor - hydrogen ... acceptor``, each atom as chain, residue name and number and
            atom name (``B:ASP9-OD1``; without a chain, ``ASP9-OD1``), or as its atom index
            when the result has no labels.
        """
        atoms = [int(atom) for atom in np.asarray(triplet).reshape(3)]
        if self.labels is None:
            return "{} - {} ... {}".format(*atoms)
        donor, hydrogen, acceptor = (self.labels.atom(atom) for atom in atoms)
        return f"{donor} - {hydrogen} ... {acceptor}"

    # -- counts and occupancy ------------------------------------------------------------------

    def counts_per_frame(self) -> IntArray:
        """Bonds in each analysed frame.

        Returns
        -------
        ndarray of int64, shape (n_frames,)
            `counts` itself (not a copy): the number of rows of each analysed frame.
        """
        return self.counts

    def _rows(self) -> npt.NDArray[np.uint32]:
        if self.hbonds is None:
            raise RowsNotKeptError("this result keeps no rows (keep_rows=False): only counts per frame and occupancy")
        return self.hbonds

    def _triplet_keys(self) -> tuple[IntArray, IntArray]:
        """(row keys, unique triplets): row i is triplet unique[keys[i]]."""
        if self._keys is None:
            self._keys = triplet_keys(self._rows())
        return self._keys

    @property
    def has_occupancy(self) -> bool:
        """Whether `occupancy` can be computed: from rows, or from the triplet counts kept
        instead of them.

        Returns
        -------
        bool
        """
        return self.hbonds is not None or self.triplet_counts is not None

    def unique_triplets(self) -> IntArray:
        """The distinct (donor, hydrogen, acceptor) triplets bonded in some frame, ascending.

        Returns
        -------
        ndarray of int64, shape (n_triplets, 3)
            Atom indices, one triplet a row, sorted by donor, then hydrogen, then acceptor.

        Raises
        ------
        ValueError
            The result keeps neither rows nor triplet counts.
        """
        if self.hbonds is None and self.triplet_counts is not None:
            return self.triplet_counts.triplets
        return self._triplet_keys()[1]

    def occupancy(self, freq: float = 0.0) -> tuple[IntArray, FloatArray]:
        """Distinct (donor, hydrogen, acceptor) triplets and the fraction of analysed frames in
        which each is bonded, most occupied first; only those above `freq`.

        Works with ``keep_rows=False`` too, from the triplet counts kept instead of rows.

        Parameters
        ----------
        freq : float, default 0.0
            Keep the triplets bonded in strictly more than this fraction of the analysed
            frames; 0.0 keeps every triplet bonded at least once.

        Returns
        -------
        triplets : ndarray of int64, shape (n_kept, 3)
            Donor, hydrogen and acceptor atom indices, most occupied first; ties in ascending
            triplet order.
        fraction : ndarray of float64, shape (n_kept,)
            Share of the analysed frames in which each triplet is bonded, from 0 to 1. Empty
            when no frame was analysed (`triplets` then holds every distinct triplet).
        """
        if self.hbonds is None and self.triplet_counts is not None:
            unique, bonded = self.triplet_counts.triplets, self.triplet_counts.frames_bonded
        else:
            keys, unique = self._triplet_keys()
            bonded = np.bincount(keys, minlength=len(unique))
        if self.n_frames == 0:
            return unique, np.zeros(0)
        fraction = bonded / self.n_frames
        order = np.lexsort((np.arange(len(unique)), -fraction))
        order = order[fraction[order] > freq]
        return unique[order], fraction[order]

    def counts_by_type(self, by: str = "resname") -> npt.NDArray[Any]:
        """Bonds summed over frames per (donor type, acceptor type), most frequent first, as a
        structured array with fields donor, acceptor, count and per_frame. `by` is "resname",
        "name", "element" or "residue" (chain, residue name and number: ``B:LYS28``).

        As MDAnalysis' ``HydrogenBondAnalysis.count_by_type``; every row counts, so a bond
        present in ten frames counts ten times.

        Parameters
        ----------
        by : {"resname", "name", "element", "residue"}, default "resname"
            What names an atom's type: its residue name, atom name, element, or residue with
            its chain.

        Returns
        -------
        ndarray, structured, shape (n_types,)
            Fields ``donor`` and ``acceptor`` (str: the types), ``count`` (int64: rows with
            that pair of types, over all analysed frames) and ``per_frame`` (float64: count
            divided by the number of analysed frames). Ordered by count, descending, then by
            donor and acceptor type.

        Raises
        ------
        ValueError
            `by` is not one of the four; the result has no atom labels; or it keeps no rows
            (``keep_rows=False``).
        """
        if by not in _TYPE_KINDS:
            raise ValueError(f"by must be one of {', '.join(_TYPE_KINDS)}, got {by!r}")
        if self.labels is None:
            raise ValueError("counting by type needs atom labels, which come from a topology")
        rows = self._rows()
        names = self._type_names(by)
        donors, acceptors = names[rows[:, 1]], names[rows[:, 3]]
        pairs, counts = np.unique(np.stack((donors, acceptors), axis=1), axis=0, return_counts=True)
        order = np.lexsort((pairs[:, 1], pairs[:, 0], -counts))
        table = np.zeros(len(pairs), dtype=[("donor", pairs.dtype), ("acceptor", pairs.dtype),
                                            ("count", np.int64), ("per_frame", np.float64)])
        table["donor"], table["acceptor"] = pairs[order, 0], pairs[order, 1]
        table["count"] = counts[order]
        table["per_frame"] = counts[order] / max(self.n_frames, 1)
        return table

    def _type_names(self, by: str) -> npt.NDArray[np.str_]:
        assert self.labels is not None
        labels = self.labels
        if by == "resname":
            return labels.residue_names
        if by == "name":
            return labels.names
        if by == "element":
            return labels.elements
        return labels.residues()

    # -- residues and the existence of each bond -------------------------------------------------

    def residue_pairs(self, directed: bool = True) -> npt.NDArray[Any]:
        """Bonds summed over residues: per pair of residues bonded in some frame, the share of
        analysed frames with at least one bond between them and the mean number of bonds per
        frame, most occupied first; a structured array (``pandas.DataFrame(table)`` makes it a
        data frame).

        A residue is a run of consecutive atoms with the same chain, residue name and number, so
        equal residue numbers in different chains stay apart, as do waters whose numbers wrap in
        a .gro (see `brenvox_hbond.residue_pairs`).

        Parameters
        ----------
        directed : bool, default True
            Pair donor residue with acceptor residue, so that A donating to B and B donating to
            A are two pairs; False makes them one, its residues in atom order.

        Returns
        -------
        ndarray, structured, shape (n_pairs,)
            For each of the two residues, prefixed ``donor_`` and ``acceptor_`` (``residue1_``
            and ``residue2_`` when not directed): ``residue`` (int64, the residue's number in
            atom order from 0), ``chain``, ``resname`` (str) and ``resid`` (int64, the file's
            number); then ``frames_bonded`` (int64, analysed frames with a bond between them),
            ``occupancy`` (float64, frames_bonded over the analysed frames) and ``mean_bonds``
            (float64, their bonds over all frames divided by the analysed frames). Ordered by
            frames bonded, then bonds, descending, then by residues.

        Raises
        ------
        RowsNotKeptError
            The result keeps no rows (``keep_rows=False``): the frames of each pair need them.
        ValueError
            The result has no atom labels.
        """
        from . import residue_pairs

        return residue_pairs.residue_pairs(self, directed)

    def residue_pair_series(self, top: int | None = None,
                            directed: bool = True) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.str_]]:
        """Bonds in each analysed frame between each residue pair: one column per pair, in the
        order of `residue_pairs`, with the pairs' names.

        Parameters
        ----------
        top : int, optional
            Only the `top` most occupied pairs (the first rows of `residue_pairs`); by default
            every pair, which for a solvent takes n_frames × n_pairs × 4 bytes.
        directed : bool, default True
            As for `residue_pairs`.

        Returns
        -------
        series : ndarray of int32, shape (n_frames, n_shown)
            Bonds between the pair of column j in analysed frame i.
        names : ndarray of str, shape (n_shown,)
            ``A:TYR24 -> A:MET21``, donor residue first (``A:MET21 <-> A:TYR24`` when not
            directed).

        Raises
        ------
        RowsNotKeptError
            The result keeps no rows (``keep_rows=False``).
        ValueError
            The result has no atom labels, or `top` is negative.
        """
        from . import residue_pairs

        return residue_pairs.residue_pair_series(self, top, directed)

    def existence_matrix(self) -> ExistenceMatrix:
        """Which bond is present in which analysed frame, as ``gmx hbond -hbm`` maps it: a row per
        triplet of `unique_triplets`, in its order, a column per analysed frame, packed eight
        frames to a byte.

        Returns
        -------
        existence.ExistenceMatrix
            Built once and kept. With `triplets`, `frames`, `times` and the packed `bits`; ``matrix[i]`` is the bool
            row of triplet i, ``matrix.to_dense()`` the whole (n_triplets, n_frames) bool array;
            ``save`` writes .npz, ``to_xpm`` the XPM map of GROMACS.

        Raises
        ------
        RowsNotKeptError
            The result keeps no rows (``keep_rows=False``).
        """
        if self._existence is None:
            from .existence import existence_matrix

            self._existence = existence_matrix(self)
        return self._existence

    # -- lifetimes -----------------------------------------------------------------------------

    def lifetime(self, tau_max: int = 20, window_step: int = 1,
                 intermittency: int = 0) -> lifetimes.Autocorrelation:
        """Continuous autocorrelation of the bonds (intermittency 0), or with gaps of up to
        `intermittency` frames forgiven, as MDAnalysis' ``HydrogenBondAnalysis.lifetime``:
        (tau in frames, C(tau)), with the lags in ps as `tau_ps` (see `time_step`). `tau_max`
        is capped at the last lag the trajectory has.

        Each (donor, hydrogen, acceptor) triplet is one bond. C(tau) is the mean, over origins
        t0 = 0, window_step, ... with bonds present, of the share of the bonds present at t0
        that are present at every frame from t0 to t0 + tau (see
        `brenvox_hbond.lifetimes.autocorrelation`).

        Parameters
        ----------
        tau_max : int, default 20
            Last lag, in analysed frames; capped at max(n_frames - 1, 1).
        window_step : int, default 1
            Analysed frames between consecutive origins.
        intermittency : int, default 0
            Longest absence, in analysed frames, filled in before the bonds are followed; 0
            is the strictly continuous function.

        Returns
        -------
        lifetimes.Autocorrelation
            Unpacks as ``(tau, timeseries)``: `tau` an int64 array 0, 1, ..., tau_max (after
            the cap) of lags in analysed frames, `timeseries` a float64 array of the same
            length, C(0) = 1, NaN at a lag without origin. Its `tau_ps` (float64, the lags in
            ps) and `dt_ps` are None when the frames are not evenly spaced in time.

        Raises
        ------
        ValueError
            The result keeps no rows (``keep_rows=False``), or an argument is out of range.
        """
        keys, _ = self._triplet_keys()
        tau, timeseries = lifetimes.autocorrelation(
            self._rows()[:, 0], keys, self.n_frames, tau_max=min(tau_max, max(self.n_frames - 1, 1)),
            window_step=window_step, intermittency=intermittency,
        )
        return lifetimes.Autocorrelation(tau, timeseries, self.time_step())

    def intermittent_lifetime(self, tau_max: int | None = None) -> lifetimes.Autocorrelation:
        """The intermittent (Luzar–Chandler) autocorrelation, computed as ``gmx hbond -ac``
        computes it: (tau in frames, C(tau)), with the lags in ps as `tau_ps`.

        C(tau) estimates the probability that a bond present at some time is present again tau
        frames later, whatever happened in between (the ``Ac(t)`` column of ``gmx hbond -ac``;
        see `brenvox_hbond.lifetimes.intermittent_autocorrelation` for the frames where the two
        can differ).

        Parameters
        ----------
        tau_max : int, optional
            Last lag, in analysed frames, at least 1; by default n_frames - 2, every lag with
            an origin.

        Returns
        -------
        lifetimes.Autocorrelation
            Unpacks as ``(tau, timeseries)``: `tau` an int64 array 0, 1, ..., tau_max of lags
            in analysed frames (empty with fewer than two frames and the default `tau_max`),
            `timeseries` a float64 array of the same length, 0 at a lag without origin. Its
            `tau_ps` (float64, the lags in ps) and `dt_ps` are None when the frames are not
            evenly spaced in time.

        Raises
        ------
        ValueError
            The result keeps no rows (``keep_rows=False``).

        References
        ----------
        A. Luzar and D. Chandler, "Hydrogen-bond kinetics in liquid water", Nature 379,
        55–57 (1996).
        """
        keys, _ = self._triplet_keys()
        tau, timeseries = lifetimes.intermittent_autocorrelation(self._rows()[:, 0], keys, self.n_frames,
                                                                  tau_max=tau_max)
        return lifetimes.Autocorrelation(tau, timeseries, self.time_step())

    # -- tables --------------------------------------------------------------------------------

    def to_dataframe(self) -> Any:
        """One row per bond and frame: frame, time_ps, donor, hydrogen, acceptor, their labels
        (chain, residue name and number of donor and acceptor; atom names), and the distances
        (nm) and angle (degrees) when they were computed.

        Needs pandas.

        Returns
        -------
        pandas.DataFrame
            One row per row of `hbonds`, in its order. Columns: ``frame`` (int64, the index in
            the trajectory), ``time_ps`` (float64), ``donor``, ``hydrogen``, ``acceptor``
            (int64 atom indices); with labels, ``donor_chain``, ``donor_resname``,
            ``donor_resid``, ``donor_name``, ``hydrogen_name``, ``acceptor_chain``,
            ``acceptor_resname``, ``acceptor_resid``, ``acceptor_name`` (categorical, the
            resids int64); with ``geometry=True``, ``distance_da_nm``, ``distance_ha_nm`` and
            ``angle_deg`` (float64).

        Raises
        ------
        ValueError
            The result keeps no rows (``keep_rows=False``).
        ImportError
            pandas is not installed.
        """
        pd = require("pandas", "HbondResult.to_dataframe")
        rows = self._rows()
        frame = rows[:, 0].astype(np.int64)
        columns: dict[str, Any] = {
            "frame": self.frames[frame],
            "time_ps": self.times[frame],
            "donor": rows[:, 1].astype(np.int64),
            "hydrogen": rows[:, 2].astype(np.int64),
            "acceptor": rows[:, 3].astype(np.int64),
        }
        if self.labels is not None:
            labels = self.labels
            for role, column in (("donor", 1), ("hydrogen", 2), ("acceptor", 3)):
                atoms = rows[:, column]
                if role != "hydrogen":
                    columns[f"{role}_chain"] = pd.Categorical(labels.chain_of[atoms])
                    columns[f"{role}_resname"] = pd.Categorical(labels.residue_names[atoms])
                    columns[f"{role}_resid"] = labels.residue_ids[atoms]
                columns[f"{role}_name"] = pd.Categorical(labels.names[atoms])
        for name in ("distances_da", "distances_ha", "angles"):
            values = getattr(self, name)
            if values is not None:
                columns[{"distances_da": "distance_da_nm", "distances_ha": "distance_ha_nm",
                         "angles": "angle_deg"}[name]] = values
        return pd.DataFrame(columns)

    def counts_dataframe(self) -> Any:
        """One row per analysed frame: frame, time_ps, n_hbonds.

        Needs pandas; works with ``keep_rows=False`` too.

        Returns
        -------
        pandas.DataFrame
            Columns ``frame`` (int64, the index in the trajectory), ``time_ps`` (float64) and
            ``n_hbonds`` (int64).
        """
        pd = require("pandas", "HbondResult.counts_dataframe")
        return pd.DataFrame({"frame": self.frames, "time_ps": self.times, "n_hbonds": self.counts})

    # The writers write a temporary file beside `path` and rename it once complete: a failure or
    # an interrupt leaves no partial file and whatever was at `path` before.

    def to_csv(self, path: str | os.PathLike[str]) -> None:
        """Write the columns of `to_dataframe` as CSV, with a header line and no index column;
        needs NumPy only.

        Times are written as `counts_to_csv` writes them, distances and angles as repr()
        writes them, labels quoted only where CSV needs it. The file is written whole or not at
        all: a failure or an interrupt leaves whatever was at `path` before.

        Parameters
        ----------
        path : str or os.PathLike
            The file to write.

        Returns
        -------
        None
        """
        bond_tables.write_csv(self, path)

    def to_parquet(self, path: str | os.PathLike[str]) -> None:
        """Write the columns of `to_dataframe` as Parquet (needs pyarrow), labels
        dictionary-encoded.

        The file is written whole or not at all: a failure or an interrupt leaves whatever was
        at `path` before.

        Parameters
        ----------
        path : str or os.PathLike
            The file to write.

        Returns
        -------
        None
        """
        bond_tables.write_parquet(self, path)

    def counts_to_csv(self, path: str | os.PathLike[str]) -> None:
        """frame,time_ps,n_hbonds, one line per analysed frame, times with the digits that read
        back as the stored value (see `time_text`); needs NumPy only.

        A header line ``frame,time_ps,n_hbonds``, then one line per analysed frame: its index
        in the trajectory, its time in ps and its bonds. Works with ``keep_rows=False`` too.
        The file is written whole or not at all.

        Parameters
        ----------
        path : str or os.PathLike
            The file to write.

        Returns
        -------
        None
        """
        with atomic_path(path) as temporary, open(temporary, "w") as out:
            out.write("frame,time_ps,n_hbonds\n")
            out.writelines(f"{frame},{time_text(time)},{count}\n"
                           for frame, time, count in zip(self.frames.tolist(), self.times.tolist(),
                                                         self.counts.tolist()))


def triplet_keys(rows: npt.NDArray[np.integer[Any]]) -> tuple[IntArray, IntArray]:
    """(row keys, distinct (donor, hydrogen, acceptor) triplets ascending) of (frame, donor,
    hydrogen, acceptor) rows: row i is triplet unique[keys[i]]."""
    span = int(rows[:, 1:].max(initial=0)) + 1
    if span**3 >= 2**63:  # too many atoms to pack a triplet into one integer
        unique, keys = np.unique(rows[:, 1:].astype(np.int64), axis=0, return_inverse=True)
        return keys.reshape(-1), unique.reshape(-1, 3)
    # One integer per triplet, ordered as the triplets: sorting it is many times faster than
    # np.unique over rows.
    packed = rows[:, 1].astype(np.int64)
    for column in (2, 3):
        packed *= span
        packed += rows[:, column]
    distinct_packed = distinct(packed)
    unique = np.column_stack((distinct_packed // (span * span), distinct_packed // span % span,
                              distinct_packed % span)).reshape(-1, 3)
    return np.searchsorted(distinct_packed, packed).astype(np.int64), unique
