"""Property-based tests of the call boundary: whatever the arguments, a call either returns exactly the
rows of the NumPy reference or raises exactly the one exception that the argument rules predict, and
it leaves its inputs as it found them, contents and reference counts alike.

The oracle predicts the outcome from the raw arguments alone, in the order the module works: binding,
conversion in parameter order, then the search's own checks. HYPOTHESIS_PROFILE=ci|fuzz sets the
number of examples (conftest.py)."""

import collections
import ctypes
import gc
import math
import operator
import sys

import numpy as np
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import brenvox_hbond_rs
from helpers import FAR_OFFSETS, SEARCH_PARAMETERS
from reference import GRID_THRESHOLD, chosen_search, filter_indices, reference_rows

BRUTE, THREADS = "run_baker_hubbard_brute", "run_baker_hubbard_with_threads"
FUNCTIONS = ("run_baker_hubbard", BRUTE, THREADS)
PARAMETERS = {name: SEARCH_PARAMETERS + (("n_threads",) if name == THREADS else ()) for name in FUNCTIONS}
ROOM_LIMIT = 2**63  # bytes of list storage from which conversion gives up with "capacity overflow"
MAY_RUN_OUT = 2**32  # from this length hint on, running out of memory is a legitimate outcome
SLOW = settings(
    max_examples=max(10, settings.default.max_examples // 5),
    suppress_health_check=[HealthCheck.too_slow],
)

sequence_check = ctypes.pythonapi.PySequence_Check
sequence_check.argtypes, sequence_check.restype = [ctypes.py_object], ctypes.c_int


class InternalFailure(BaseException):
    """Stands for the module's internal-failure type, pyo3_runtime.PanicException, in predictions."""


Outcome = collections.namedtuple("Outcome", "rows error message cause", defaults=(None, None, None, None))


# --- oracle --------------------------------------------------------------------------------------


def bind(name, args, kwargs):
    function, parameters = f"{name}()", PARAMETERS[name]
    if len(args) > len(parameters):
        raise TypeError(f"{function} takes {len(parameters)} positional arguments but {len(args)} were given")
    slots = dict(zip(parameters, args))
    for keyword, value in kwargs.items():
        if keyword not in parameters:
            raise TypeError(f"{function} got an unexpected keyword argument '{keyword}'")
        if keyword in slots:
            raise TypeError(f"{function} got multiple values for argument '{keyword}'")
        slots[keyword] = value
    missing = [f"'{parameter}'" for parameter in parameters if parameter not in slots]
    if missing:
        listed = " and ".join(missing) if len(missing) <= 2 else ", ".join(missing[:-1]) + ", and " + missing[-1]
        plural = "s" if len(missing) > 1 else ""
        raise TypeError(f"{function} missing {len(missing)} required positional argument{plural}: {listed}")
    return [slots[parameter] for parameter in parameters]


def to_u64(value):
    index = value if isinstance(value, int) else operator.index(value)
    if index < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if index >= 2**64:
        raise OverflowError("int too big to convert")
    return int(index)


def to_pair(item):
    if not isinstance(item, tuple):
        raise TypeError(f"'{type(item).__qualname__}' object cannot be converted to 'PyTuple'")
    if len(item) != 2:
        raise ValueError(f"expected tuple of length 2, but got tuple of length {len(item)}")
    return to_u64(item[0]), to_u64(item[1])


def to_list(value, item_bytes, convert_item):
    if isinstance(value, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not sequence_check(value):
        raise TypeError(f"'{type(value).__qualname__}' object cannot be converted to 'Sequence'")
    try:
        hint = len(value)
    except Exception:  # a length that cannot be had is no error, only no hint
        hint = 0
    if hint * item_bytes >= ROOM_LIMIT:
        raise InternalFailure("capacity overflow")
    return [convert_item(item) for item in value]


def convert(parameter, value):
    if parameter == "xyz_flat":
        if isinstance(value, np.ndarray) and value.ndim == 1 and value.dtype == np.float64:
            return value
        raise TypeError(f"'{type(value).__qualname__}' object cannot be converted to 'PyArray<T, D>'")
    if parameter == "donor_h_pairs":
        return to_list(value, 16, to_pair)
    if parameter == "acceptor_indices":
        return to_list(value, 8, to_u64)
    return to_u64(value)


def predict(name, args, kwargs):
    try:
        values = bind(name, args, kwargs)
    except TypeError as error:
        return Outcome(error=TypeError, message=str(error))
    converted = []
    for parameter, value in zip(PARAMETERS[name], values):
        try:
            converted.append(convert(parameter, value))
        except (Exception, InternalFailure) as error:
            # Only an exact TypeError is given the parameter's name, and it keeps its cause.
            prefix = f"argument '{parameter}': " if type(error) is TypeError else ""
            return Outcome(error=type(error), message=prefix + str(error), cause=error.__cause__)
    xyz, n_frames, n_atoms, pairs, acceptors = converted[:5]
    if not (xyz.flags.c_contiguous or xyz.flags.f_contiguous):
        return Outcome(error=TypeError, message="The given array is not contiguous")
    if n_frames * n_atoms * 3 != xyz.size:
        return Outcome(error=ValueError, message="xyz_flat length must equal n_frames * n_atoms * 3")
    pairs, acceptors = filter_indices(n_atoms, pairs, acceptors)
    if n_frames == 0 or not pairs or not acceptors:  # spares the reference up to 2**64 empty frames
        return Outcome(rows=np.zeros((0, 4), np.uint32))
    search = "exhaustive" if name == BRUTE else "auto"
    return Outcome(rows=reference_rows(np.asarray(xyz), n_frames, n_atoms, pairs, acceptors, search))


# --- checking a call -----------------------------------------------------------------------------


def items_of(value):
    return value.items if isinstance(value, Sequence) else value if type(value) in (list, tuple) else ()


def state(value):
    """What a call must leave as it was: array memory and layout, container contents."""
    if isinstance(value, np.ndarray):
        return value.dtype.str, value.shape, value.strides, value.flags.writeable, value.tobytes()
    content = bytes(value) if isinstance(value, bytearray) else None
    return id(value), content, [state(item) for item in items_of(value)]


def error_kind(exc_type):
    if (exc_type.__module__, exc_type.__name__) == ("pyo3_runtime", "PanicException"):
        assert issubclass(exc_type, BaseException) and not issubclass(exc_type, Exception)
        return InternalFailure
    return exc_type


def check_call(name, args, kwargs):
    """Call the function and compare with the prediction; returns the prediction."""
    expected = predict(name, args, kwargs)
    event("returns" if expected.error is None else f"raises {expected.error.__name__}: {expected.message[:24]}")
    values = [*args, *kwargs.values()]
    watched = [obj for value in values for item in (value, *items_of(value)) for obj in (item, *items_of(item))]
    contents = [state(value) for value in values]
    gc.disable()  # a collection of unrelated garbage that refers to the inputs would change the counts
    try:
        before = [sys.getrefcount(obj) for obj in watched]
        try:
            result, got = getattr(brenvox_hbond_rs, name)(*args, **kwargs), None
        except BaseException as exc:  # the internal failure derives from BaseException only
            # Keep no reference to the exception: its traceback holds frames of the inputs' own methods.
            got = error_kind(type(exc)), str(exc), exc.__cause__ is expected.cause, exc.__context__ is None
        after = [sys.getrefcount(obj) for obj in watched]
    finally:
        gc.enable()
    assert after == before, "reference counts of the inputs changed"
    assert [state(value) for value in values] == contents, "the call changed its inputs"
    hints = [value.length for value in values if isinstance(value, Sequence) and isinstance(value.length, int)]
    if got is not None and got[0] is MemoryError and max(hints, default=0) >= MAY_RUN_OUT:
        return expected
    if expected.error is None:
        assert got is None, f"expected rows, got {got[0].__name__}: {got[1]}"
        assert type(result) is np.ndarray and result.dtype == np.uint32 and result.flags.c_contiguous
        assert result.ndim == 2 and result.shape[1] == 4
        assert result.tolist() == expected.rows.tolist()
    else:
        assert got is not None, f"expected {expected.error.__name__}: {expected.message}, got rows"
        assert got[:2] == (expected.error, expected.message)
        assert got[2], "the exception lost or changed its cause"
        assert got[3], "the exception was raised while another one was being handled"
    return expected


# --- argument objects ----------------------------------------------------------------------------


class IndexLike:
    """An index given through __index__, or an __index__ that returns a float or raises (a fresh
    exception each time, so that no traceback piles up)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise type(self.value)(*self.value.args)
        return self.value

    def __repr__(self):
        return f"IndexLike({self.value!r})"


class Root(Exception):
    pass


class TypeErrorSubclass(TypeError):
    pass


class Sequence:
    """`items` behind the length hint `length` (None: the true length; an exception type: __len__
    raises it; anything else is returned as it is), then, in place of the end, `error` raised from
    `cause` if an error type is given."""

    def __init__(self, items, length=None, error=None, cause=None):
        self.items, self.length, self.error, self.cause = items, length, error, cause

    def __len__(self):
        if isinstance(self.length, type):
            raise self.length("no length")
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, index):
        if index < len(self.items):
            return self.items[index]
        if self.error is None:
            raise IndexError(index)
        raise self.error("iteration failed") from self.cause

    def __repr__(self):
        return f"{type(self).__name__}({self.items!r}, {self.length!r}, {self.error!r}, {self.cause!r})"


class Uniterable(Sequence):
    def __iter__(self):
        raise self.error("no iterator") from self.cause


class NdarraySubclass(np.ndarray):
    pass


Named = collections.namedtuple("Named", "donor hydrogen")
NAN, INF = math.nan, math.inf

BAD_INTEGERS = st.sampled_from([
    -1, -(2**63), 2**64, 2**64 + 1, -(2**64), 2**100, np.int64(-3), None, 2.0, 0.5, NAN, "3", b"3", [1], (1,), {1},
    {}, 1j, np.float64(1.0), np.array([1]), np.array(2.5), object(), IndexLike(-5), IndexLike(2**64),
    IndexLike(1.5), IndexLike(TypeError("no index")), IndexLike(ValueError("bad index")),
    IndexLike(TypeErrorSubclass("no index")), (i for i in [1]),
])
BAD_CONTAINERS = st.sampled_from(
    ["01", "", {0: 1}, {1, 2}, frozenset(), None, 5, 2.5, np.array(5), np.float64(1.0), object()]
) | st.builds(lambda: (i for i in [0, 1]))
BAD_PAIRS = st.one_of(
    st.sampled_from([[0, 1], (0,), (), (0, 1, 2), 1, None, "01", np.array([0, 1]), b"\x00\x01", Named(0, 1)[:1]]),
    st.tuples(BAD_INTEGERS, st.just(0)),
    st.tuples(st.just(0), BAD_INTEGERS),
)
ERROR_TYPES = [TypeError, ValueError, RuntimeError, KeyError, OverflowError, Root, TypeErrorSubclass,
               IndexError, StopIteration]  # the last two end the iteration as if it were over
# Wrong length hints that still leave room (past sys.maxsize or not an int: no hint at all), and ones
# around the room limits of 2**59 pairs and 2**60 indices.
HINTS = [2**31, 2**40, 2**63, -1, 1.5, RuntimeError, TypeError]
LIMIT_HINTS = [2**59 - 1, 2**59, 2**60 - 1, 2**60, 2**62, 2**63 - 1]


# --- strategies ----------------------------------------------------------------------------------


def choose(draw, *options):
    """Call one of the (weight, thunk) `options`; shrinks towards the first."""
    ticket = draw(st.integers(0, sum(weight for weight, _ in options) - 1))
    for weight, thunk in options:
        if ticket < weight:
            return thunk()
        ticket -= weight


def spellings(value):
    """Ways to write the valid index `value`."""
    options = [value, IndexLike(value), np.uint64(value)]
    options += [np.int64(value)] if value < 2**63 else []
    return st.sampled_from(options + ([bool(value)] if value < 2 else []))


def put_in(draw, items, run):
    position = draw(st.integers(0, len(items)))
    return [*items[:position], *run, *items[position:]]


def respell_one(draw, items, spell):
    """`items` with the item at one position written another valid way."""
    position = draw(st.integers(0, len(items) - 1))
    return [*items[:position], draw(spell(items[position])), *items[position + 1:]]


def sequences(draw, items, bad=True):
    """`items` behind a lying length hint; with `bad`, also hints too large to make room for, and
    iteration that raises midway or at once instead of ending."""
    length = choose(draw, (1, lambda: None), (1, lambda: draw(st.integers(0, len(items) + 3))),
                    (2, lambda: draw(st.sampled_from(HINTS + LIMIT_HINTS * bad))))
    error = draw(st.none() | st.sampled_from(ERROR_TYPES)) if bad else None
    if error is None:
        return Sequence(items, length)
    kind, cause = draw(st.sampled_from([Sequence, Sequence, Uniterable])), draw(st.none() | st.just(Root("root")))
    return kind(items[: draw(st.integers(0, len(items)))], length, error, cause)


# Coordinates in place of some lattice points: anywhere near the origin, or special values.
ODD_COORDINATES = st.floats(-0.3, 0.3) | st.sampled_from([0.25, -0.25, 0.125, 0.2499, -0.0001, 5e-324, NAN, INF, -INF])


@st.composite
def systems(draw, pad=False):
    """A small trajectory as plain values: atoms near the origin, some coordinates odd, a few atoms far
    out; pairs and acceptors mostly in range, some just or far past it, duplicates kept. With `pad`,
    one out-of-the-way atom is added and repeated as pair and acceptor until the search space lies
    just below, at or above the grid threshold, and 1000 out-of-range acceptors that do not count."""
    n_frames, n_atoms = draw(st.integers(1 if pad else 0, 3)), draw(st.integers(0, 40))

    def index():
        return choose(draw, (85 if n_atoms else 0, lambda: draw(st.integers(0, n_atoms - 1))),
                      (10, lambda: draw(st.integers(n_atoms, n_atoms + 1))),
                      (5, lambda: draw(st.sampled_from([2**32, 2**32 + 1, 2**64 - 1]))))

    pairs = [(index(), index()) for _ in range(draw(st.integers(0, 12)))]
    acceptors = [index() for _ in range(draw(st.integers(0, 40)))]
    # Points of a 0.025 lattice within 0.2 of the origin (cell boundaries included), drawn as bytes
    # because that is fast; hydrogens 4 times nearer, so that more angles are wide enough for a bond.
    size = n_frames * n_atoms * 3
    lattice = (np.frombuffer(draw(st.binary(min_size=size, max_size=size)), np.uint8) + 8) % 17 - 8.0
    xyz = lattice.reshape(n_frames, n_atoms, 3) / 40
    xyz[:, sorted({h for _, h in pairs if h < n_atoms})] /= 4
    for _ in range(draw(st.integers(0, size // 8))):
        xyz.flat[draw(st.integers(0, size - 1))] = draw(ODD_COORDINATES)
    for _ in range(draw(st.integers(0, min(n_atoms, 3)))):
        xyz[:, draw(st.integers(0, n_atoms - 1))] += draw(st.sampled_from(FAR_OFFSETS))
    if pad:
        far, n_atoms = n_atoms, n_atoms + 1
        place = draw(st.sampled_from([(40.0, -40.0, 40.0), (6e8, 6e8, -6e8), (NAN, NAN, NAN)]))
        xyz = np.concatenate([xyz, np.tile(place, (n_frames, 1, 1))], axis=1)
        pairs = put_in(draw, pairs, [draw(st.sampled_from([(0, far), (far, far)]))] * draw(st.integers(0, 300)))
        n_pairs = len(filter_indices(n_atoms, pairs, [])[0])
        if n_pairs:
            wanted = -(-GRID_THRESHOLD // n_pairs) + draw(st.sampled_from([-1, 0, 0, 1, 9]))
            n_acceptors = len(filter_indices(n_atoms, [], acceptors)[1])
            acceptors = put_in(draw, acceptors, [far] * max(0, wanted - n_acceptors))
        acceptors = put_in(draw, acceptors, [2**32] * draw(st.sampled_from([0, 1000])))
        event(f"{chosen_search(n_atoms, pairs, acceptors)} search")
    return dict(xyz_flat=xyz.ravel(), n_frames=n_frames, n_atoms=n_atoms, donor_h_pairs=pairs,
                acceptor_indices=acceptors, n_threads=draw(st.integers(0, 4)))


# Each maker gives a valid spelling of its argument, or, to `spoil` it, one that is refused or odd.


def coordinate_arrays(draw, v, spoil):
    if not spoil:
        read_only, unaligned = v.copy(), np.zeros(8 * len(v) + 1, np.uint8)[1:].view(np.float64)
        read_only.flags.writeable = False
        unaligned[:] = v
        return draw(st.sampled_from([v, read_only, unaligned, v.view(NdarraySubclass), np.ma.masked_array(v),
                                     np.array(v, dtype=np.dtype(np.float64, metadata={"unit": "nm"}))]))
    # Half of them pass conversion and meet the search's own checks: contiguity, then length.
    return draw(st.sampled_from([
        np.array(v[::-1])[::-1], np.repeat(v, 2)[::2], np.array(np.append(v, 0.0)[::-1])[::-1],
        np.repeat(v[:-1], 2)[::2], np.append(v, 0.0), v[:-1].copy(), np.zeros(0),
    ]) | st.sampled_from([
        v.tolist(), np.zeros(len(v), np.float32), v.astype(v.dtype.newbyteorder()), v.view(np.int64),
        v.astype(complex), v.reshape(-1, 3) if len(v) else np.zeros((0, 3)), np.array(0.0), None, "xyz",
        v.tobytes(), {}, 0.0,
    ]))


def counts(draw, value, spoil):
    return draw(BAD_INTEGERS | st.sampled_from([value + 1, max(value - 1, 0), 0, 2**63, 2**64 - 1]) if spoil
                else spellings(value))


def thread_counts(draw, value, spoil):
    # Never a large valid value: every call builds a pool of that many threads.
    return draw(BAD_INTEGERS if spoil else spellings(value))


def pair_lists(draw, pairs, spoil):
    if spoil:
        return choose(draw, (3, lambda: put_in(draw, pairs, [draw(BAD_PAIRS)])),
                      (2, lambda: sequences(draw, pairs)), (1, lambda: draw(BAD_CONTAINERS)))
    return choose(
        draw,
        (5, lambda: list(pairs)),
        (1, lambda: tuple(pairs)),
        (1, lambda: [Named(*pair) for pair in pairs]),
        (2 * bool(pairs), lambda: respell_one(draw, pairs, lambda pair: st.tuples(*map(spellings, pair)))),
        (1, lambda: sequences(draw, pairs, bad=False)),
    )


def acceptor_lists(draw, acceptors, spoil):
    if spoil:
        odd_arrays = st.sampled_from([np.array([[1, 2]]), np.array([0.0, 1.0])])
        return choose(draw, (3, lambda: put_in(draw, acceptors, [draw(BAD_INTEGERS)])),
                      (2, lambda: sequences(draw, acceptors)), (1, lambda: draw(BAD_CONTAINERS | odd_arrays)))
    largest = max(acceptors, default=0)
    return choose(
        draw,
        (5, lambda: list(acceptors)),
        (1, lambda: tuple(acceptors)),
        (1, lambda: np.array(acceptors, dtype=np.uint64)),
        (largest < 2**63, lambda: np.array(acceptors, dtype=np.int64)),
        (largest < 256, lambda: draw(st.sampled_from([bytes, bytearray, memoryview]))(bytes(acceptors))),
        (2 * bool(acceptors), lambda: respell_one(draw, acceptors, spellings)),
        (1, lambda: sequences(draw, acceptors, bad=False)),
    )


MAKERS = {"xyz_flat": coordinate_arrays, "n_frames": counts, "n_atoms": counts, "donor_h_pairs": pair_lists,
          "acceptor_indices": acceptor_lists, "n_threads": thread_counts}
UNKNOWN_KEYWORDS = ["n_threads", "bogus", "Xyz_flat", "acceptors", "n_frames ", "\ud800"]


def bind_as_caller(draw, parameters, values, bad):
    """The first k values by position, the rest by keyword in any order; with `bad`, sometimes an
    extra positional, an unknown or duplicate keyword, or missing arguments."""
    n_positional = draw(st.integers(0, len(parameters)))
    args = list(values[:n_positional])
    keywords = draw(st.permutations(list(zip(parameters[n_positional:], values[n_positional:]))))
    fault = draw(st.sampled_from(["extra", "unknown", "duplicate", "missing"] + [None] * 16)) if bad else None
    if fault == "extra":
        args = list(values) + draw(st.lists(st.sampled_from([0, None, values[0]]), min_size=1, max_size=2))
    elif fault == "unknown":
        keywords = put_in(draw, keywords, [(draw(st.sampled_from(UNKNOWN_KEYWORDS)), 0)])
    elif fault == "duplicate" and args:
        keywords = put_in(draw, keywords, [draw(st.sampled_from(list(zip(parameters, args))))])
    elif fault == "missing" and draw(st.integers(0, 3)):
        args, keywords = (args, keywords[:-1]) if keywords else (args[:-1], keywords)
    elif fault == "missing":
        args = args[: draw(st.integers(0, len(args)))]
        keywords = [keyword for keyword in keywords if draw(st.booleans())]
    return args, dict(keywords)  # of two equal keywords the later one stays, as in a call


@st.composite
def calls(draw, pad=False, bad=True):
    """(function name, positional arguments, keyword arguments); with `bad`, up to three arguments
    spoilt and sometimes a binding fault."""
    name, system = draw(st.sampled_from(FUNCTIONS)), draw(systems(pad))
    parameters = PARAMETERS[name]
    n_spoilt = choose(draw, (2, lambda: 0), (5, lambda: 1), (2, lambda: 2), (1, lambda: 3)) if bad else 0
    spoilt = draw(st.permutations(parameters))[:n_spoilt]
    values = [MAKERS[parameter](draw, system[parameter], parameter in spoilt) for parameter in parameters]
    return (name, *bind_as_caller(draw, parameters, values, bad))


@st.composite
def calls_with_odd_sequences(draw):
    name, system = draw(st.sampled_from(FUNCTIONS)), draw(systems())
    values = [system[parameter] for parameter in PARAMETERS[name]]
    for position in draw(st.sets(st.sampled_from([3, 4]), min_size=1)):
        values[position] = sequences(draw, values[position])
    return name, values, {}


# --- properties ----------------------------------------------------------------------------------


@given(calls())
def test_any_call_ends_as_predicted(call):
    check_call(*call)


@given(calls_with_odd_sequences())
def test_lying_and_failing_sequences_end_as_predicted(call):
    check_call(*call)


@given(calls(bad=False))
def test_valid_calls_return_the_reference_rows(call):
    assert check_call(*call).error is None


@SLOW
@given(calls(pad=True, bad=False))
def test_padded_calls_around_the_grid_threshold_return_the_reference_rows(call):
    assert check_call(*call).error is None
