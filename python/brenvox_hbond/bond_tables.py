"""The table of bonds written to files without pandas: CSV lines formatted by the extension a
block of rows at a time, Parquet built column by column with pyarrow. Both hold the columns of
`HbondResult.to_dataframe`, in its order."""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Protocol

import numpy as np
import numpy.typing as npt

from . import _native
from ._optional import require
from .outputs import atomic_path, time_text

if TYPE_CHECKING:
    from .labels import AtomLabels


class TableSource(Protocol):
    """What the tables read of a result (an `HbondResult`)."""

    @property
    def frames(self) -> npt.NDArray[np.int64]: ...
    @property
    def times(self) -> npt.NDArray[np.float64]: ...
    @property
    def labels(self) -> AtomLabels | None: ...
    def _rows(self) -> npt.NDArray[np.uint32]: ...

# Rows formatted at once: a few MB of text, so memory stays small whatever the table's length.
_BLOCK_ROWS = 1 << 16
_GEOMETRY = (("distances_da", "distance_da_nm"), ("distances_ha", "distance_ha_nm"), ("angles", "angle_deg"))
# Per role, the label columns and the row field of its atom.
_LABELLED = (("donor", 1, ("chain", "resname", "resid", "name")), ("hydrogen", 2, ("name",)),
             ("acceptor", 3, ("chain", "resname", "resid", "name")))

Progress = Callable[[int], object]  # told the rows written after each block


def column_names(result: TableSource) -> list[str]:
    names = ["frame", "time_ps", "donor", "hydrogen", "acceptor"]
    if result.labels is not None:
        names += [f"{role}_{kind}" for role, _, kinds in _LABELLED for kind in kinds]
    return names + [name for attribute, name in _GEOMETRY if getattr(result, attribute) is not None]


def write_csv(result: TableSource, path: str | os.PathLike[str], progress: Progress | None = None) -> None:
    """Every row, a line each, with a header line; times as `counts_to_csv` writes them, the
    distances and angles as repr() writes them, labels quoted only where CSV needs it."""

    rows = result._rows()
    frame_texts = [f"{frame},{time_text(time)}" for frame, time in zip(result.frames.tolist(), result.times.tolist())]
    columns: list[tuple[Any, ...]] = [("text", 0, *_text_table(frame_texts))]
    columns += [("number", field) for field in (1, 2, 3)]
    if result.labels is not None:
        heavy = _text_table(_label_texts(result.labels, ("chain", "resname", "resid", "name")))
        light = _text_table(_label_texts(result.labels, ("name",)))
        columns += [("text", field, *(light if role == "hydrogen" else heavy)) for role, field, _ in _LABELLED]
    reals = [np.ascontiguousarray(getattr(result, attribute), np.float64) for attribute, _ in _GEOMETRY
             if getattr(result, attribute) is not None]
    with atomic_path(path) as temporary, open(temporary, "wb") as out:
        out.write((",".join(column_names(result)) + "\n").encode())
        for begin in range(0, len(rows), _BLOCK_ROWS):
            block = slice(begin, begin + _BLOCK_ROWS)
            out.write(_native.format_rows(np.ascontiguousarray(rows[block]),
                                          [*columns, *(("real", values[block]) for values in reals)]))
            if progress is not None:
                progress(len(rows[block]))


def write_parquet(result: TableSource, path: str | os.PathLike[str]) -> None:
    """The table as Parquet, built with pyarrow from the arrays: labels dictionary-encoded, as
    pandas writes categorical columns."""
    pa = require("pyarrow", "HbondResult.to_parquet")
    parquet = require("pyarrow.parquet", "HbondResult.to_parquet")
    rows = result._rows()
    frame = rows[:, 0].astype(np.int64)
    columns: dict[str, Any] = {"frame": result.frames[frame], "time_ps": result.times[frame]}
    columns |= {role: rows[:, field].astype(np.int64) for role, field, _ in _LABELLED}
    if result.labels is not None:
        for role, field, kinds in _LABELLED:
            atoms = rows[:, field]
            for kind in kinds:
                values = _label_column(result.labels, kind)
                if kind == "resid":
                    columns[f"{role}_{kind}"] = values[atoms]
                else:
                    names, codes = np.unique(values, return_inverse=True)
                    columns[f"{role}_{kind}"] = pa.DictionaryArray.from_arrays(
                        np.asarray(codes, np.int32).reshape(-1)[atoms], pa.array(names.tolist(), pa.string()))
    for attribute, name in _GEOMETRY:
        if getattr(result, attribute) is not None:
            columns[name] = getattr(result, attribute)
    with atomic_path(path) as temporary:
        parquet.write_table(pa.table(columns), temporary)


def _label_column(labels: AtomLabels, kind: str) -> npt.NDArray[Any]:
    return {"chain": labels.chain_of, "resname": labels.residue_names, "resid": labels.residue_ids,
            "name": labels.names}[kind]


def _label_texts(labels: AtomLabels, kinds: tuple[str, ...]) -> list[str]:
    """Per atom, its label columns as one piece of a CSV line."""
    columns = [[_csv_field(str(value)) for value in _label_column(labels, kind).tolist()] for kind in kinds]
    return [",".join(fields) for fields in zip(*columns)]


def _csv_field(text: str) -> str:
    # Quoted as the csv module's minimal quoting does it.
    if any(mark in text for mark in ',"\n\r'):
        return '"' + text.replace('"', '""') + '"'
    return text


def _text_table(texts: list[str]) -> tuple[bytes, npt.NDArray[np.int64]]:
    encoded = [text.encode() for text in texts]
    starts = np.zeros(len(encoded) + 1, np.int64)
    np.cumsum([len(text) for text in encoded], out=starts[1:])
    return b"".join(encoded), starts
