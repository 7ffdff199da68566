"""The ``brenvox-hbond`` command: hydrogen bonds of trajectory files, summarised and written out.

Exit status: 0 on success, 1 when the run fails (unreadable input, no donors, a missing
optional dependency, an output that cannot be written), 2 for invalid arguments, 130 when
interrupted. Errors are one line on stderr starting with ``brenvox-hbond: error:``.
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import math
import os
import sys
import threading
import types
import warnings
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn

from ._optional import for_want_of_memory, require
from .criteria import PRESETS
from .defaults import BACKENDS, CHUNK_SIZE, CONNECT_TIMEOUT, TASK_FRAMES

if TYPE_CHECKING:
    from .bridge_result import BridgeResult
    from .outputs import StagedFiles
    from .results import HbondResult

PROG = "brenvox-hbond"
TABLE_SUFFIXES = (".csv", ".parquet")
PLOT_SUFFIXES = (".png", ".pdf", ".svg", ".eps", ".ps")
EXISTENCE_SUFFIXES = (".npz", ".xpm")
# Outputs made from the bonds of every frame: the command keeps them when one is asked for.
_FROM_ROWS = ("out", "plot", "residue_pairs", "existence", "heatmap", "existence_map")

# Messages of these say what went wrong by themselves; other exceptions are shown with their type.
_SELF_EXPLAINING = (OSError, ValueError, ImportError, IndexError, EOFError)
_READER_PACKAGES = ("mdtraj", "MDAnalysis")
_PACKAGE = __name__.split(".")[0]
_WITHOUT_TOPOLOGY = (".xtc", ".trr", ".dcd", ".nc", ".ncdf", ".netcdf", ".mdcrd", ".binpos")
_OUT_OF_MEMORY = f"{PROG}: error: out of memory: use a smaller --chunk-size or fewer --threads\n".encode()


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _number(text: str, check: Callable[[float], bool], requirement: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not (math.isfinite(value) and check(value)):
        raise argparse.ArgumentTypeError(f"must be {requirement}, got {text}")
    return value


def _integer(minimum: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, got {text}")
        return value

    return parse


def _distance(text: str) -> float:
    return _number(text, lambda value: value > 0, "a positive distance in nm")


def _angle(text: str) -> float:
    return _number(text, lambda value: 0 <= value <= 180, "an angle from 0 to 180 degrees")


def _seconds(text: str) -> float:
    return _number(text, lambda value: value > 0, "a positive number of seconds")


def _fraction(text: str) -> float:
    return _number(text, lambda value: 0 <= value < 1, "a fraction from 0 up to (not including) 1")


def _suffixed(suffixes: tuple[str, ...]) -> Callable[[str], Path]:
    def parse(text: str) -> Path:
        path = Path(text)
        if path.suffix.lower() not in suffixes:
            raise argparse.ArgumentTypeError(f"{text}: the file name must end in {' or '.join(suffixes)}")
        return path

    return parse


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Find Baker-Hubbard hydrogen bonds (H...A below a distance, D-H...A above an angle) "
                    "in every frame of a trajectory.",
        epilog="Exit status: 0 success, 1 the run failed, 2 invalid arguments, 130 interrupted.",
    )
    parser.add_argument("trajectory", nargs="+", type=Path, metavar="TRAJ",
                        help="trajectory files, read one after the other as one trajectory")
    parser.add_argument("--top", "-t", type=Path, metavar="TOP",
                        help="topology file (.pdb, .gro, .prmtop, .psf, ...); by default the first "
                             "trajectory file, when it holds one")
    parser.add_argument("--backend", choices=BACKENDS,
                        help="what reads the files (default: the package itself for .xtc/.trr with .gro/.pdb "
                             "and no selection, else MDTraj when installed)")

    search = parser.add_argument_group("search")
    search.add_argument("--criterion", choices=tuple(PRESETS), default="baker_hubbard",
                        help="definition of a bond: Baker-Hubbard (default; H...A < 0.25 nm, D-H...A > 120), "
                             "gmx hbond's (D...A <= 0.35 nm, H-D...A <= 30, hydrogens merged), MDAnalysis' "
                             "(D...A <= 0.3 nm, D-H...A > 150) or MDTraj's Wernet-Nilsson")
    search.add_argument("--distance-cutoff", type=_distance, metavar="NM",
                        help="the criterion's distance cut-off in nm (default: its own; 0.25 for H...A)")
    search.add_argument("--angle-cutoff", type=_angle, metavar="DEG",
                        help="the criterion's angle cut-off in degrees (default: its own; 120 for D-H...A)")
    search.add_argument("--between", nargs=2, metavar=("SEL1", "SEL2"),
                        help="only bonds between two groups, either way round (selections of the backend's "
                             "language: MDTraj or MDAnalysis)")
    search.add_argument("--no-periodic", dest="periodic", action="store_false",
                        help="ignore the periodic box stored with the frames")
    search.add_argument("--exclude-water", action="store_true", help="leave water out")
    search.add_argument("--sidechain-only", action="store_true",
                        help="leave backbone atoms out (MDTraj backend only)")
    for role in ("donors", "hydrogens", "acceptors"):
        search.add_argument(f"--{role}", metavar="SELECTION",
                            help=f"narrow the {role} with a selection of the backend's language")

    frames = parser.add_argument_group("frames")
    frames.add_argument("--start", type=_integer(0), metavar="N", help="first frame analysed (default 0)")
    frames.add_argument("--stop", type=_integer(0), metavar="N", help="stop before this frame")
    frames.add_argument("--step", type=_integer(1), metavar="N", help="analyse every N-th frame")
    frames.add_argument("--chunk-size", type=_integer(1), default=CHUNK_SIZE, metavar="N",
                        help=f"frames read and searched at once; bounds memory (default {CHUNK_SIZE})")
    frames.add_argument("--threads", type=_integer(1), metavar="N",
                        help="search threads (default: every core; on a cluster, the cores of each host "
                             "shared among its worker threads)")

    dask = parser.add_argument_group("Dask cluster (needs the distributed package)")
    where = dask.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on an existing cluster, e.g. tcp://host:8786; the workers open the "
                            "trajectory files themselves, so the paths must be valid there")
    where.add_argument("--workers", type=_integer(1), metavar="N",
                       help="run on a local cluster of N worker processes, started for the run")
    dask.add_argument("--task-frames", type=_integer(1), default=TASK_FRAMES, metavar="N",
                      help=f"analysed frames per task (default {TASK_FRAMES})")
    dask.add_argument("--connect-timeout", type=_seconds, default=CONNECT_TIMEOUT, metavar="SECONDS",
                      help="give up when no Dask scheduler answers at --scheduler within this time "
                           f"(default {CONNECT_TIMEOUT:g})")

    bridges = parser.add_argument_group("water bridges")
    bridges.add_argument("--bridges", nargs=2, metavar=("SEL1", "SEL2"),
                         help="also find atoms of SEL1 and SEL2 (selections of MDTraj's or MDAnalysis' language, "
                              "water left out) hydrogen-bonded to the same water, and summarise them")
    bridges.add_argument("--bridge-order", type=_integer(1), default=1, metavar="K",
                         help="water molecules in each bridge, chained by hydrogen bonds (default 1)")
    bridges.add_argument("--bridges-out", type=_suffixed(TABLE_SUFFIXES), metavar="FILE",
                         help="write every bridge of every frame, as .csv or .parquet (needs pandas)")

    output = parser.add_argument_group("output")
    output.add_argument("--freq", type=_fraction, default=0.1, metavar="F",
                        help="list the bonds present in more than this share of frames (default 0.1)")
    output.add_argument("--list", type=_integer(0), default=20, metavar="N", dest="list_limit",
                        help="list at most N of those bonds (default 20)")
    output.add_argument("--out", type=_suffixed(TABLE_SUFFIXES), metavar="FILE",
                        help="write every bond of every frame, as .csv or .parquet")
    output.add_argument("--geometry", action="store_true",
                        help="add the D-A and H-A distances and D-H...A angle to --out")
    output.add_argument("--counts", type=Path, metavar="FILE",
                        help="write frame,time_ps,n_hbonds lines (CSV)")
    output.add_argument("--plot", type=_suffixed(PLOT_SUFFIXES), metavar="FILE",
                        help="draw bonds per frame, occupancy and lifetimes (.png, .pdf, .svg, ...)")
    output.add_argument("--residue-pairs", type=_suffixed((".csv",)), metavar="FILE",
                        help="write the occupancy and mean bonds per frame of each donor residue-acceptor "
                             "residue pair, most occupied first (.csv)")
    output.add_argument("--existence", type=_suffixed(EXISTENCE_SUFFIXES), metavar="FILE",
                        help="write which bond is present in which frame: a bit-packed NumPy .npz, or "
                             "the .xpm map of gmx hbond -hbm")
    output.add_argument("--heatmap", type=_suffixed(PLOT_SUFFIXES), metavar="FILE",
                        help="draw the occupancy of the most occupied residue pairs (.png, .pdf, .svg, ...)")
    output.add_argument("--existence-map", type=_suffixed(PLOT_SUFFIXES), metavar="FILE",
                        help="draw the most occupied bonds against time (.png, .pdf, .svg, ...)")
    output.add_argument("--quiet", "-q", action="store_true",
                        help="print no summary and no progress bar")
    output.add_argument("--no-progress", action="store_true", help="never show a progress bar")
    output.add_argument("--traceback", action="store_true",
                        help="on failure, show the full Python traceback (for bug reports)")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command with `argv` (by default the process's arguments); returns the exit status."""
    # The command does no linear algebra, and OpenBLAS's idle threads spin on the cores the
    # decoding and the search need: set before NumPy loads it (a no-op when already loaded).
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if args.top is None and args.trajectory[0].suffix.lower() in _WITHOUT_TOPOLOGY:
            parser.error(f"{args.trajectory[0]} holds no topology: give one with --top")
        if args.bridges is None and (args.bridges_out is not None or args.bridge_order != 1):
            parser.error("--bridge-order and --bridges-out need --bridges")
        if args.bridges is not None and args.exclude_water:
            parser.error("--bridges needs the bonds of water: leave out --exclude-water")
    except SystemExit as exc:  # --help, or invalid arguments already reported
        return exc.code if isinstance(exc.code, int) else 0
    try:
        return _run(args)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except MemoryError:
        # Even the report of the failure ran out of memory: a line made without allocating.
        with contextlib.suppress(OSError):
            os.write(2, _OUT_OF_MEMORY)
        return 1


def run() -> NoReturn:
    """The command as a process: `main`, then an exit that skips the interpreter's teardown
    (some 15 ms with NumPy loaded, a tenth of a short run) once the output is flushed, unless a
    cluster's client or threads may still have work to finish."""
    status = main()
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except (OSError, ValueError):  # a closed pipe: leave it to the usual exit to report
        sys.exit(status)
    if "distributed" in sys.modules or threading.active_count() > 1:
        sys.exit(status)
    os._exit(status)


def _run(args: argparse.Namespace) -> int:
    # Imported here, where a shortage of memory while loading them is reported as such: a shared
    # library that cannot be mapped fails its import like a missing one.
    try:
        from .analysis import analyze
    except ImportError as exc:
        if for_want_of_memory(exc):
            raise MemoryError from exc
        raise

    result: HbondResult | None = None
    bridges: BridgeResult | None = None
    with _captured() as caught:
        try:
            _check_outputs(args)
            ends = None if args.bridges is None else _bridge_ends(args)
            result = analyze(
                [str(path) for path in args.trajectory], None if args.top is None else str(args.top),
                donors=args.donors, hydrogens=args.hydrogens, acceptors=args.acceptors,
                exclude_water=args.exclude_water, sidechain_only=args.sidechain_only,
                periodic=args.periodic, distance_cutoff=args.distance_cutoff, angle_cutoff=args.angle_cutoff,
                criterion=args.criterion, between=None if args.between is None else tuple(args.between),
                start=args.start, stop=args.stop, step=args.step, chunk_size=args.chunk_size,
                n_threads=args.threads, progress=False if args.quiet or args.no_progress else None,
                geometry=args.geometry and args.out is not None,
                keep_rows=any(getattr(args, name) is not None for name in _FROM_ROWS) or ends is not None,
                occupancy=not args.quiet,  # only the summary lists it
                backend=args.backend,
                scheduler=args.scheduler, workers=args.workers, task_frames=args.task_frames,
                connect_timeout=args.connect_timeout,
            )
            if ends is not None:
                from .bridges import bridges_from_hbonds

                bridges = bridges_from_hbonds(result, *ends, args.bridge_order)
            _write_outputs(result, args, bridges)
        except Exception as exc:
            if args.traceback:
                raise
            caught.failure = _describe_failure(exc, args)
    if caught.failure is not None:
        print(f"{PROG}: error: {caught.failure}", file=sys.stderr)
        return 1
    for message in caught.warnings:
        print(f"{PROG}: warning: {message}", file=sys.stderr)
    if not args.quiet and result is not None:
        print(_report(result, args))
        if bridges is not None:
            print(bridges.summary(top=args.list_limit))
            if args.bridges_out is not None:
                print(f"bridges written to {args.bridges_out}")
    return 0


def _bridge_ends(args: argparse.Namespace) -> tuple[Any, Any]:
    from .atom_selections import selected_atoms

    paths, top = [str(path) for path in args.trajectory], None if args.top is None else str(args.top)
    first, second = (selected_atoms(text, f"--bridges {name}", paths, top, args.backend)
                     for name, text in zip(("SEL1", "SEL2"), args.bridges))
    return first, second


def _check_outputs(args: argparse.Namespace) -> None:
    """Fail before a long analysis, not after it, when an output could not be written."""
    from .outputs import check_writable

    if args.out is not None and args.out.suffix.lower() == ".parquet":
        require("pyarrow", f"writing {args.out}")
    for figure in (args.plot, args.heatmap, args.existence_map):
        if figure is not None:
            require("matplotlib", f"drawing {figure}")
    if args.bridges_out is not None:
        require("pandas", f"writing {args.bridges_out}")
        if args.bridges_out.suffix.lower() == ".parquet":
            require("pyarrow", f"writing {args.bridges_out}")
    for path in (args.out, args.counts, args.bridges_out, *(getattr(args, name) for name in _FROM_ROWS[1:])):
        if path is not None:
            check_writable(path)


def _write_outputs(result: HbondResult, args: argparse.Namespace, bridges: BridgeResult | None = None) -> None:
    """Every output written to a temporary file first; they replace their targets together once
    all are written, so a failure or Ctrl-C leaves the earlier files as they were. The progress
    bar goes on over the writing and the drawing."""
    from .bond_tables import write_csv
    from .frame_loop import progress_bar
    from .outputs import staged_files, writing

    shown = False if args.quiet or args.no_progress else None
    with staged_files() as staged:
        if args.counts is not None:
            with writing(args.counts):
                result.counts_to_csv(staged.path(args.counts))
        if args.out is not None:
            with writing(args.out):
                if args.out.suffix.lower() == ".parquet":
                    result.to_parquet(staged.path(args.out))
                else:
                    rows = result.hbonds
                    assert rows is not None
                    with progress_bar(shown, lambda: len(rows), f"writing {args.out.name}", "row") as bar:
                        write_csv(result, staged.path(args.out), None if bar is None else bar.update)
        if bridges is not None and args.bridges_out is not None:
            with writing(args.bridges_out):
                if args.bridges_out.suffix.lower() == ".parquet":
                    bridges.to_parquet(staged.path(args.bridges_out))
                else:
                    bridges.to_csv(staged.path(args.bridges_out))
        if args.plot is not None:
            from .plots import summary_figure

            with progress_bar(shown, lambda: 5, f"drawing {args.plot.name}", "step") as bar:
                figure = summary_figure(result, progress=None if bar is None else bar.update)
                with writing(args.plot):
                    figure.savefig(staged.path(args.plot))
                if bar is not None:
                    bar.update(1)
        _write_views(result, args, staged)


def _write_views(result: HbondResult, args: argparse.Namespace, staged: StagedFiles) -> None:
    """The residue-pair table, the existence matrix and their figures, staged with the others."""
    from .outputs import writing

    if args.residue_pairs is not None:
        from .residue_pairs import write_csv

        with writing(args.residue_pairs):
            write_csv(result.residue_pairs(), staged.path(args.residue_pairs))
    if args.existence is not None:
        matrix = result.existence_matrix()
        with writing(args.existence):
            if args.existence.suffix.lower() == ".xpm":
                matrix.to_xpm(staged.path(args.existence))
            else:
                matrix.save(staged.path(args.existence))
    for path, draw in ((args.heatmap, "plot_residue_pairs"), (args.existence_map, "plot_existence")):
        if path is not None:
            from . import plots

            figure = getattr(plots, draw)(result)
            with writing(path):
                figure.savefig(staged.path(path))


def _report(result: HbondResult, args: argparse.Namespace) -> str:
    lines = [result.summary(top=0)]
    if result.has_occupancy:
        triplets, fraction = result.occupancy(args.freq)
        lines.append(f"bonds present in more than {100 * args.freq:g}% of frames: {len(triplets)}")
        for triplet, share in zip(triplets[: args.list_limit], fraction[: args.list_limit]):
            lines.append(f"  {100 * share:5.1f}%  {result.describe(triplet)}")
        if len(triplets) > args.list_limit:
            lines.append(f"  ... {len(triplets) - args.list_limit} more (--list to show more)")
    for name, path in (("bonds", args.out), ("counts", args.counts), ("plot", args.plot),
                       ("residue pairs", args.residue_pairs), ("existence matrix", args.existence),
                       ("heatmap", args.heatmap), ("existence map", args.existence_map)):
        if path is not None:
            lines.append(f"{name} written to {path}")
    return "\n".join(lines)


def _describe_failure(exc: Exception, args: argparse.Namespace) -> str:
    if isinstance(exc, MemoryError) or _out_of_memory(exc):
        return "out of memory: use a smaller --chunk-size or fewer --threads"
    from .errors import TaskError

    message = _one_line(str(exc))
    if not isinstance(exc, (*_SELF_EXPLAINING, TaskError)) or not message:
        message = f"{type(exc).__name__}: {message}" if message else type(exc).__name__
    caller = _library_caller(exc)
    if caller is not None and caller.startswith("sources."):
        inputs = [*args.trajectory, *([] if args.top is None else [args.top])]
        return f"cannot read {', '.join(map(str, inputs))}: {message}"
    if caller == "atom_selections":
        return f"invalid selection: {message}"
    if caller == "sites" and any(getattr(args, role) for role in ("donors", "hydrogens", "acceptors")):
        return f"invalid selection: {message}"
    return message


def _out_of_memory(exc: BaseException) -> bool:
    """Whether a library's failure came from a shortage of memory: C code that finds no memory
    often returns an error without setting one."""
    seen: BaseException | None = exc
    while seen is not None:
        if isinstance(seen, MemoryError) or (
                isinstance(seen, SystemError) and "without exception set" in str(seen)):
            return True
        seen = seen.__cause__ or seen.__context__
    return False


def _one_line(message: str) -> str:
    # Parser errors point at the fault with a line of carets under the text: drop it.
    parts = [line.strip() for line in message.splitlines()]
    return " ".join(part for part in parts if part.strip("^~ "))


def _library_caller(exc: BaseException) -> str | None:
    """The module of this package that called MDTraj or MDAnalysis where they raised `exc`:
    they raise many exception types on malformed input, often naming no file."""
    caller = None
    traceback: types.TracebackType | None = exc.__traceback__
    while traceback is not None:
        package, _, module = str(traceback.tb_frame.f_globals.get("__name__", "")).partition(".")
        if package == _PACKAGE:
            caller = module
        elif package in _READER_PACKAGES:
            return caller
        traceback = traceback.tb_next
    return None


class _Caught:
    def __init__(self) -> None:
        self.failure: str | None = None
        self.warnings: list[str] = []
        self.unraisable: list[Any] = []


@contextlib.contextmanager
def _captured() -> Iterator[_Caught]:
    """Warnings collected to be shown as single lines, and errors in finalisers held back while
    the run lasts; both are dropped when the run fails: a reader that failed half-way through
    opening a file can fail again when collected, and the error line already covers it."""
    caught = _Caught()
    hook = sys.unraisablehook
    sys.unraisablehook = caught.unraisable.append
    try:
        with warnings.catch_warnings(record=True) as recorded:
            warnings.simplefilter("always")
            for category in (DeprecationWarning, PendingDeprecationWarning, ImportWarning, ResourceWarning):
                warnings.simplefilter("ignore", category)
            yield caught
            if any(package in sys.modules for package in _READER_PACKAGES):
                gc.collect()  # only their readers fail in finalisers
    finally:
        sys.unraisablehook = hook
    if caught.failure is not None:
        return
    for text in dict.fromkeys(_one_line(str(warning.message)) for warning in recorded):
        caught.warnings.append(text)
    for unraisable in caught.unraisable:
        hook(unraisable)
