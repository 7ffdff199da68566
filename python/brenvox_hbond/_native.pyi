import numpy as np
import numpy.typing as npt

def find_hbonds(
    xyz: npt.NDArray[np.float32] | npt.NDArray[np.float64],
    donor_h_pairs: npt.NDArray[np.int64],
    acceptors: npt.NDArray[np.int64],
    box: npt.NDArray[np.float64] | None,
    distance_cutoff: float,
    angle_cutoff: float,
    n_threads: int,
    /,
) -> np.ndarray[tuple[int, int], np.dtype[np.uint32]]: ...
