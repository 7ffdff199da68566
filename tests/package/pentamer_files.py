"""The solvated peptide pentamer of tests/data (written by GROMACS; see make-pentamer.sh),
unpacked once per test process into a scratch folder: the .gro is stored compressed, and
MDAnalysis writes offset caches beside the trajectories it reads."""

import atexit
import gzip
import shutil
import tempfile
from pathlib import Path

DATA = Path(__file__).parent.parent / "data"
FOLDER = Path(tempfile.mkdtemp(prefix="pentamer-"))
atexit.register(shutil.rmtree, FOLDER, True)

XTC, GRO, PDB, PEPTIDES_TPR = (FOLDER / name for name in
                               ("pentamer.xtc", "pentamer.gro", "pentamer.pdb.gz", "pentamer-peptides.tpr"))
for path in (XTC, PDB, PEPTIDES_TPR):
    shutil.copyfile(DATA / path.name, path)
with gzip.open(DATA / "pentamer.gro.gz") as packed, open(GRO, "wb") as unpacked:
    shutil.copyfileobj(packed, unpacked)
