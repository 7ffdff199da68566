"""The residue numbers a GROMACS .tpr file stores, which MDAnalysis' parser reads past.

MDAnalysis numbers the residues of a .tpr 1, 2, ... over the whole system, while the .gro and
.pdb of the same system carry the numbers of the topology (a peptide of residues 17-42 keeps
them). The .tpr stores each molecule type's residues as (name, number, insertion code); this
module parses the file once more with MDAnalysis, noting those numbers as its parser passes
them, and numbers the system's residues as GROMACS does when it writes a .gro: molecules of
several residues keep their numbers, molecules of one residue (water, ions) are numbered on
from the largest of those, in order.
"""

from __future__ import annotations

import importlib
import threading
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

# The first .tpr version whose residue records hold a number (older ones store names only).
_NUMBERED_RESIDUES = 63

_patching = threading.Lock()


def tpr_residue_numbers(path: str | Path, residue_molnums: npt.NDArray[Any],
                        residue_moltypes: npt.NDArray[Any]) -> npt.NDArray[np.int64] | None:
    """Each residue's number as the .tpr stores it, for residues given by molecule number and
    molecule type in system order; None when the file or MDAnalysis' parser is not as expected."""
    try:
        utils: Any = importlib.import_module("MDAnalysis.topology.tpr.utils")
        parser = importlib.import_module("MDAnalysis.topology.TPRParser").TPRParser
    except ImportError:
        return None
    numbers_of: dict[str, list[int]] = {}
    pending: list[list[int] | None] = []
    read_resinfo, read_moltype = utils.do_resinfo, utils.do_moltype

    def resinfo(data: Any, symtab: Any, fver: int, nres: int) -> Any:
        start = data.get_position()
        names = read_resinfo(data, symtab, fver, nres)
        numbers = None
        if fver >= _NUMBERED_RESIDUES:
            end = data.get_position()
            data.set_position(start)
            numbers = []
            for _ in range(nres):
                data.unpack_int()  # name
                numbers.append(data.unpack_int())
                data.unpack_uchar()  # insertion code
            data.set_position(end)
        pending.append(numbers)
        return names

    def moltype(data: Any, symtab: Any, fver: int) -> Any:
        kind = read_moltype(data, symtab, fver)
        numbers = pending.pop() if pending else None
        if numbers is not None:
            numbers_of[kind.name.decode()] = numbers
        return kind

    with _patching:
        utils.do_resinfo, utils.do_moltype = resinfo, moltype
        try:
            parser(str(path)).parse()
        except Exception:
            return None
        finally:
            utils.do_resinfo, utils.do_moltype = read_resinfo, read_moltype
    return _per_residue(numbers_of, np.asarray(residue_molnums), np.asarray(residue_moltypes, dtype=str))


def _per_residue(numbers_of: dict[str, list[int]], molnums: npt.NDArray[Any],
                 moltypes: npt.NDArray[np.str_]) -> npt.NDArray[np.int64] | None:
    if not len(molnums) or not set(moltypes.tolist()) <= set(numbers_of):
        return None
    starts = np.flatnonzero(np.concatenate(([True], molnums[1:] != molnums[:-1])))
    sizes = np.diff(np.append(starts, len(molnums)))
    within = np.arange(len(molnums)) - np.repeat(starts, sizes)
    numbers = np.empty(len(molnums), dtype=np.int64)
    for name in np.unique(moltypes):
        chosen = moltypes == name
        table = np.asarray(numbers_of[name], dtype=np.int64)
        if within[chosen].max() >= len(table):
            return None
        numbers[chosen] = table[within[chosen]]
    alone = np.repeat(sizes == 1, sizes)
    kept = numbers[~alone]
    numbers[alone] = (kept.max() if len(kept) else 0) + 1 + np.arange(np.count_nonzero(alone))
    return numbers
