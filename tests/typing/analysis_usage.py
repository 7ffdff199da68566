"""Checked by mypy, not run: the analysis API's argument and result types."""

from typing import Any, assert_type

import numpy as np
import numpy.typing as npt

from brenvox_hbond import HbondResult, Sites, analyze, baker_hubbard, element_sites, load_existence

result = analyze(["a.xtc", "b.xtc"], "top.gro", start=0, stop=10, step=2, n_threads=2, keep_rows=False)
assert_type(result, HbondResult)
assert_type(result.counts_per_frame(), npt.NDArray[np.int64])
assert_type(result.occupancy(0.1), tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]])
tau, timeseries = result.lifetime(tau_max=10, intermittency=1)
assert_type(tau, npt.NDArray[np.int64])
assert_type(timeseries, npt.NDArray[np.float64])
assert_type(result.lifetime().tau_ps, npt.NDArray[np.float64] | None)
assert_type(result.to_dataframe(), Any)
series, names = result.residue_pair_series(top=10, directed=False)
assert_type(series, npt.NDArray[np.int32])
assert_type(names, npt.NDArray[np.str_])
assert_type(result.existence_matrix().most_occupied(5)[0], npt.NDArray[np.bool_])
assert_type(load_existence("bonds.npz").occupancy(), npt.NDArray[np.float64])
assert_type(element_sites(["O", "H", "H"], [(0, 1), (0, 2)]), Sites)
assert_type(baker_hubbard(object(), freq=0.0), npt.NDArray[np.int64])

analyze("a.xtc", chunk_size="100")  # type: ignore[arg-type]
result.lifetime(tau_max=2.5)  # type: ignore[arg-type]
result.residue_pairs(directed="yes")  # type: ignore[arg-type]
