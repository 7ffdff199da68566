"""Writes the real files that the fuzz target of the .xtc and .trr readers (fuzz_xdr.cpp) damages:
tests/data/pentamer.xtc, and, from its first frames and atoms, files written by MDTraj (.xtc, .trr
with and without box), MDAnalysis (.xtc at precision 10^6, .trr with velocities and forces and a
frame without coordinates) and GROMACS (a double-precision .trr), each when its writer is
installed. Prints the paths written, one a line.

    python tests/native/write_fuzz_inputs.py DIRECTORY
"""

import shutil
import subprocess
import sys
from pathlib import Path

PENTAMER = Path(__file__).resolve().parents[1] / "data" / "pentamer.xtc"
N_ATOMS, N_FRAMES = 400, 4


def main(directory: Path) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    written = [directory / "pentamer.xtc"]
    shutil.copyfile(PENTAMER, written[0])
    try:
        import mdtraj
    except ImportError:
        print(*written, sep="\n")
        return
    import numpy as np

    with mdtraj.formats.XTCTrajectoryFile(str(PENTAMER)) as handle:
        xyz, time, step, box = handle.read(n_frames=N_FRAMES)
    xyz = np.ascontiguousarray(xyz[:, :N_ATOMS])

    def mdtraj_file(name, atoms=xyz, boxes=box):
        kind = mdtraj.formats.XTCTrajectoryFile if name.endswith(".xtc") else mdtraj.formats.TRRTrajectoryFile
        with kind(str(directory / name), "w") as handle:
            handle.write(atoms, time=time, step=step, box=boxes)
        written.append(directory / name)

    mdtraj_file("mdtraj.xtc")
    mdtraj_file("mdtraj-10-atoms.xtc", np.ascontiguousarray(xyz[:, :10]))
    mdtraj_file("mdtraj-5-atoms.xtc", np.ascontiguousarray(xyz[:, :5]))
    mdtraj_file("mdtraj.trr")
    mdtraj_file("mdtraj-no-box.trr", boxes=None)
    try:
        from MDAnalysis.lib.formats.libmdaxdr import TRRFile, XTCFile
    except ImportError:
        pass
    else:
        with XTCFile(str(directory / "mdanalysis-precision-1e6.xtc"), "w") as handle:
            for k in range(N_FRAMES):
                handle.write(xyz[k], box[k], int(step[k]), float(time[k]), precision=1e6)
        with TRRFile(str(directory / "mdanalysis-xvf.trr"), "w") as handle:
            for k in range(N_FRAMES):
                handle.write(None if k == 1 else xyz[k], xyz[k], xyz[k], box[k], int(step[k]), float(time[k]), 0.0,
                             N_ATOMS)
        written += [directory / "mdanalysis-precision-1e6.xtc", directory / "mdanalysis-xvf.trr"]
    if shutil.which("gmx_d"):
        double = directory / "gromacs-double.trr"
        subprocess.run(["gmx_d", "-quiet", "trjconv", "-f", str(directory / "mdtraj.xtc"), "-o", str(double)],
                       input="0\n", capture_output=True, text=True, check=True, cwd=directory)
        written.append(double)
    print(*written, sep="\n")


if __name__ == "__main__":
    main(Path(sys.argv[1]))
