"""Optional dependencies, imported when first needed, with the extra that installs each."""

import importlib
from types import ModuleType

# module -> the extra of brenvox_hbond_rs that installs it
EXTRAS = {
    "mdtraj": "mdtraj",
    "MDAnalysis": "mdanalysis",
    "pandas": "pandas",
    "pyarrow": "parquet",
    "matplotlib": "plot",
    "tqdm": "progress",
    "distributed": "dask",
}


def require(module: str, purpose: str) -> ModuleType:
    """Import `module`, or raise ImportError naming what needs it and the extra that installs it."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        extra = EXTRAS.get(module.split(".")[0], "all")
        raise ImportError(
            f"{purpose} needs {module.split('.')[0]}, which is not installed: "
            f"pip install 'brenvox_hbond_rs[{extra}]' (or [all] for every extra)"
        ) from exc
