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
        if for_want_of_memory(exc):
            raise MemoryError(f"out of memory while importing {module.split('.')[0]} for {purpose}") from exc
        extra = EXTRAS.get(module.split(".")[0], "all")
        raise ImportError(
            f"{purpose} needs {module.split('.')[0]}, which is not installed: "
            f"pip install 'brenvox_hbond_rs[{extra}]' (or [all] for every extra)"
        ) from exc


def for_want_of_memory(exc: ImportError) -> bool:
    # A shared library that cannot be mapped (ENOMEM) fails its import like a missing one.
    text = str(exc).lower()
    return "cannot allocate memory" in text or "failed to map segment" in text or isinstance(
        exc.__cause__ or exc.__context__, MemoryError)
