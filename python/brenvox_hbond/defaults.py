"""Defaults shared by `analyze`, the cluster and the command line, in a module that imports
nothing, so that the command can parse its arguments before anything heavy is loaded."""

# The libraries that read trajectory files.
BACKENDS = ("mdtraj", "mdanalysis")
# Analysed frames per cluster task: a few seconds of work for a 30 000-atom system, so the
# scheduler's few milliseconds per task stay well under 1 %, while a lost worker costs little
# to redo.
TASK_FRAMES = 500
# Frames read and searched at once.
CHUNK_SIZE = 100
# Seconds to wait for a Dask scheduler to answer at an address.
CONNECT_TIMEOUT = 30.0
