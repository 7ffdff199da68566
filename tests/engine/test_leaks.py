"""Nothing outlives a call: neither converted inputs, bond storage, exceptions nor worker threads."""

import ctypes
import functools
import gc
import os
import sys
import weakref

import numpy as np
import pytest

from helpers import EXPECTED_ROWS, FRAME, FUNCTION_NAMES, HugeLength
from sanitizer import SANITIZED

# The sanitizer's allocator keeps freed memory in quarantine and answers no malloc statistics.
pytestmark = [
    pytest.mark.stress,
    pytest.mark.skipif(SANITIZED, reason="measures the process's memory, not meaningful under ASan"),
]

# Out-of-range padding makes every conversion large, so that a buffer kept per call adds tens of
# MB over the loop, while the filter leaves the search itself small: 128 kB in either list.
PAIR_PADDING, ACCEPTOR_PADDING = 8000, 15000
FAR = 2**40 + 1  # one shared, mortal element; out of range, so converted and then dropped
FAR_PAIR = (FAR, FAR)
PAIR = (0, 1)
N_FRAMES = 100
XYZ = np.array(FRAME * N_FRAMES)
PAIRS = [PAIR] + [FAR_PAIR] * PAIR_PADDING
ACCEPTORS = [2] * 1000 + [FAR] * ACCEPTOR_PADDING  # 1 pair x 1000 acceptors: 1000 bonds per frame

CALLS, WARM_UP = 200, 5
# After the warm-up these loops do not move the resident size by a single page, nor malloc's
# bytes in use by more than a chunk; the smallest buffer a leaking call could keep, a partial list,
# adds 25 MB over CALLS, its smallest malloc chunk (32 B) 6 kB, one Python object CALLS blocks.
RSS_SLACK, HEAP_SLACK, BLOCKS_SLACK = 8 * 2**20, 4 * 2**10, CALLS // 4


class MallInfo2(ctypes.Structure):
    _fields_ = [(field, ctypes.c_size_t) for field in
                ["arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost"]]


mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)  # glibc's; with other libcs "heap" stays 0
if mallinfo2 is not None:
    mallinfo2.restype = MallInfo2


def usage(since=None):
    """Resident bytes, bytes in use by malloc and Python's allocated blocks, or their growth `since`."""
    gc.collect()
    with open("/proc/self/statm") as statm:
        rss = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    info = mallinfo2() if mallinfo2 is not None else MallInfo2()
    now = {"rss": rss, "heap": info.uordblks + info.hblkhd, "blocks": sys.getallocatedblocks()}
    return now if since is None else {key: now[key] - since[key] for key in now}


def thread_ids():
    # Ids rather than a count: threads of earlier tests (a cluster's, say) may end meanwhile.
    return set(os.listdir("/proc/self/task"))


def name(text):
    """A keyword name that is not interned, hence not immortal, so that its count means something."""
    return "".join(text)


class Token:
    """Carried by each exception that a test input raises, and registered in RAISED while alive."""


RAISED = weakref.WeakSet()


def traced(error):
    error.token = Token()
    RAISED.add(error.token)
    return error


class IterationError(Exception):
    pass


class FailingSequence:
    """Yields `items`, then raises what `make_error` returns."""

    def __init__(self, items, make_error):
        self.items, self.make_error = items, make_error

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        yield from self.items
        raise self.make_error()


def type_error_with_cause():
    error = traced(TypeError("no more items"))
    error.__cause__ = traced(IterationError("source closed"))
    return error


def with_values(**changes):
    def change(args, kwargs):
        args = [changes.get(parameter, value) for parameter, value in zip(("xyz_flat", "n_frames"), args)]
        return args, {key: changes.get(key, value) for key, value in kwargs.items()}
    return change


# id: (change of the valid call, expected rows or (exception type, part of the message))
CASES = {
    "bonds-exhaustive": (with_values(), 100000),
    "bonds-grid": (with_values(xyz_flat=XYZ[:9], n_frames=1, donor_h_pairs=[PAIR] * 99 + PAIRS), 100000),
    "empty-result": (with_values(acceptor_indices=[FAR] * ACCEPTOR_PADDING), 0),
    "too-many-positional": (lambda a, k: ([*a, *k.values(), 0], {}), (TypeError, "positional arguments but")),
    "unexpected-keyword": (lambda a, k: (a, {**k, name("bogus"): 1}), (TypeError, "keyword argument 'bogus'")),
    "keyword-without-utf8": (lambda a, k: (a, {**k, "\udc80": 1}), (TypeError, "unexpected keyword argument")),
    "multiple-values": (lambda a, k: (a, {**k, name("xyz_flat"): XYZ}), (TypeError, "multiple values for argument")),
    "missing-argument": (lambda a, k: (a, {n: v for n, v in k.items() if n != "acceptor_indices"}),
                         (TypeError, "missing 1 required positional argument: 'acceptor_indices'")),
    "xyz-list": (with_values(xyz_flat=FRAME), (TypeError, "argument 'xyz_flat': 'list' object")),
    "xyz-float32": (with_values(xyz_flat=XYZ.astype(np.float32)), (TypeError, "'ndarray' object")),
    "n_frames-negative": (with_values(n_frames=-1), (OverflowError, "negative")),
    "n_frames-too-big": (with_values(n_frames=2**64), (OverflowError, "too big")),
    "n_frames-float": (with_values(n_frames=100.0), (TypeError, "argument 'n_frames': 'float'")),
    "pairs-str": (with_values(donor_h_pairs="01"), (TypeError, "Can't extract `str`")),
    "pairs-not-a-sequence": (with_values(donor_h_pairs=iter(PAIRS)), (TypeError, "'Sequence'")),
    "pair-not-a-tuple": (with_values(donor_h_pairs=PAIRS + [[0, 1]]), (TypeError, "'PyTuple'")),
    "pair-of-three": (with_values(donor_h_pairs=PAIRS + [(0, 1, 2)]), (ValueError, "length 3")),
    "pair-item-float": (with_values(donor_h_pairs=PAIRS + [(0, 1.5)]), (TypeError, "'donor_h_pairs': 'float'")),
    "pairs-iteration-raises": (
        with_values(donor_h_pairs=FailingSequence(PAIRS, lambda: traced(IterationError("gone")))),
        (IterationError, "gone")),
    "acceptors-str": (with_values(acceptor_indices="012"), (TypeError, "Can't extract `str`")),
    "acceptors-not-a-sequence": (with_values(acceptor_indices=set(ACCEPTORS)), (TypeError, "'set' object")),
    "acceptor-negative": (with_values(acceptor_indices=ACCEPTORS + [-1]), (OverflowError, "negative")),
    "acceptor-str": (with_values(acceptor_indices=ACCEPTORS + ["2"]), (TypeError, "'acceptor_indices': 'str'")),
    "acceptors-iteration-raises": (
        with_values(acceptor_indices=FailingSequence(ACCEPTORS, lambda: traced(IterationError("gone")))),
        (IterationError, "gone")),
    "acceptors-type-error-with-cause": (
        with_values(acceptor_indices=FailingSequence(ACCEPTORS, type_error_with_cause)),
        (TypeError, "'acceptor_indices': no more items")),
    "not-contiguous": (with_values(xyz_flat=np.repeat(XYZ, 2)[::2]), (TypeError, "not contiguous")),
    "wrong-length": (with_values(n_frames=N_FRAMES + 1), (ValueError, "xyz_flat length")),
    "capacity-overflow": (with_values(acceptor_indices=HugeLength(2**60)), (BaseException, "capacity overflow")),
}
THREADED_CASES = {
    "n_threads-negative": (with_values(n_threads=-1), (OverflowError, "negative")),
    "n_threads-too-big": (with_values(n_threads=2**64), (OverflowError, "too big")),
    "n_threads-float": (with_values(n_threads=2.0), (TypeError, "argument 'n_threads': 'float'")),
}

CALL_CASES = [
    pytest.param(function, case, id=f"{function}-{case}")
    for function in FUNCTION_NAMES
    for case in [*CASES, *(THREADED_CASES if function == "run_baker_hubbard_with_threads" else ())]
]


def valid_call(function_name):
    """The first two arguments by position, the rest by keyword."""
    kwargs = {name("n_atoms"): np.int64(3), name("donor_h_pairs"): PAIRS, name("acceptor_indices"): ACCEPTORS}
    if function_name == "run_baker_hubbard_with_threads":
        kwargs[name("n_threads")] = 2
    return [XYZ, np.int64(N_FRAMES)], kwargs


def objects_reached(args, kwargs):
    """The arguments, the keyword names, and what the arguments hold, two levels down."""
    found, level = {}, [*args, *kwargs, *kwargs.values()]
    for _ in range(3):
        found.update((id(item), item) for item in level)
        inner = [getattr(item, "base", None) for item in level]
        inner += [part for item in level if isinstance(item, (list, tuple)) for part in item]
        inner += [part for item in level if isinstance(item, FailingSequence) for part in item.items]
        level = [item for item in {id(item): item for item in inner}.values() if id(item) not in found]
    # Immortal objects (small ints, interned names, None) have a fixed count that proves nothing.
    return [item for item in found.values() if sys.getrefcount(item) < 2**30]


def call_repeatedly(call, times):
    """The last call's result or exception; each earlier one is dropped before the next call."""
    outcome = None
    for _ in range(times):
        outcome = None
        try:
            outcome = call()
        except BaseException as exc:  # the internal failure derives from BaseException only
            outcome = exc
    return outcome


@pytest.fixture(scope="module")
def container_type(module):
    result = module.run_baker_hubbard_brute(XYZ, N_FRAMES, 3, [PAIR], [2])
    assert type(result.base).__name__ == "PySliceContainer"
    return type(result.base)


@pytest.mark.parametrize(("function_name", "case"), CALL_CASES)
def test_repeated_calls_keep_nothing(module, container_type, function_name, case, capfd):
    change, expected = {**CASES, **THREADED_CASES}[case]
    args, kwargs = change(*valid_call(function_name))
    watched = [*objects_reached(args, kwargs), container_type]
    call = functools.partial(getattr(module, function_name), *args, **kwargs)

    call_repeatedly(call, WARM_UP)
    before = usage()
    counts = [sys.getrefcount(item) for item in watched]
    outcome = call_repeatedly(call, CALLS)
    if isinstance(expected, int):
        assert isinstance(outcome, np.ndarray) and outcome.shape == (expected, 4)
    else:
        exc_type, pattern = expected
        assert isinstance(outcome, exc_type) and outcome.args, outcome
        assert pattern in str(outcome)
    # The last exception, with its traceback and cause, must hold the only extra references.
    del outcome
    growth = usage(since=before)
    if growth["heap"] >= HEAP_SLACK:
        # A loaded machine sometimes moves malloc's count by a few kB once; a leak comes back in
        # every window of calls.
        before = usage()
        call_repeatedly(call, CALLS)
        growth = usage(since=before)
    capfd.readouterr()  # internal failures report to stderr
    assert [sys.getrefcount(item) for item in watched] == counts
    assert not RAISED
    assert growth["rss"] < RSS_SLACK and growth["heap"] < HEAP_SLACK and growth["blocks"] < BLOCKS_SLACK, growth


# --- the result array's storage ------------------------------------------------------------------

BIG_ROWS = 3000 * 1000  # 48 MB of rows: above glibc's largest mmap threshold, so freeing unmaps it
BIG_HELD = 40 * 2**20

VIEWS = {
    "slice": lambda a: a[10:12],
    "transpose": np.transpose,
    "T": lambda a: a.T,
    "asarray-of-memoryview": lambda a: np.asarray(memoryview(a)),
    "dtype-view": lambda a: a.view(np.int32),
    "view-of-view": lambda a: a[1:].T[:, ::7][2:],
}
# Each kind of view once, each function twice.
VIEW_CASES = [
    pytest.param(function, view, id=f"{function}-{kind}")
    for (kind, view), function in zip(VIEWS.items(), FUNCTION_NAMES * 2)
]


@pytest.mark.parametrize(("function_name", "make_view"), VIEW_CASES)
def test_storage_lives_exactly_as_long_as_the_last_view(module, container_type, function_name, make_view):
    extra = (2,) if function_name == "run_baker_hubbard_with_threads" else ()
    arguments = (np.array(FRAME * 3000), 3000, 3, [PAIR], [2] * 1000, *extra)
    function = getattr(module, function_name)
    function(*arguments)  # lets the threads' allocators reach their steady size first
    before = usage()
    containers = sys.getrefcount(container_type)

    result = function(*arguments)
    assert result.shape == (BIG_ROWS, 4) and type(result.base) is container_type
    assert sys.getrefcount(container_type) == containers + 1
    view = make_view(result)
    checksum = int(view.sum(dtype=np.uint64))
    del result
    # Bytes in use where malloc tells them: the resident size can hide the held storage when the
    # call's own freed buffers are returned to the system at the same time.
    grown = usage(since=before)
    assert (grown["heap"] if mallinfo2 is not None else grown["rss"]) > BIG_HELD
    # Storage freed too early would be unmapped, or refilled by an allocation of the same size.
    filler = np.full((BIG_ROWS, 4), 0xFFFFFFFF, dtype=np.uint32)
    del filler
    assert int(view.sum(dtype=np.uint64)) == checksum
    assert sys.getrefcount(container_type) == containers + 1

    del view
    # Again in malloc's bytes in use: freed pages that an arena of a finished worker keeps are
    # resident but not held.
    released = usage(since=before)
    assert (released["heap"] if mallinfo2 is not None else released["rss"]) < RSS_SLACK
    assert sys.getrefcount(container_type) == containers


# --- threads ---------------------------------------------------------------------------------------

def test_thousands_of_threaded_calls_keep_no_threads_or_memory(module, valid_kwargs):
    call = functools.partial(module.run_baker_hubbard_with_threads, **valid_kwargs, n_threads=4)
    call_repeatedly(call, 50)
    threads, before = thread_ids(), usage()
    for _ in range(2000):
        assert call().tolist() == EXPECTED_ROWS
    assert thread_ids() <= threads  # workers are joined before a call returns
    # A pool kept per call would add hundreds of bytes of heap each, the touched stacks of 8000
    # threads over 100 MB of RSS; a few MB of RSS come and go with the allocator under load.
    growth = usage(since=before)
    assert growth["rss"] < 8 * 2**20 and growth["heap"] < HEAP_SLACK and growth["blocks"] < 100, growth
