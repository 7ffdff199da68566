"""Binding and conversion of the arguments, and the errors the bodies raise for bad input."""

import collections
import re

import numpy as np
import pytest

from helpers import EXPECTED_ROWS, FRAME, N_ATOMS, N_FRAMES, SEARCH_PARAMETERS

A, B, T = "run_baker_hubbard", "run_baker_hubbard_brute", "run_baker_hubbard_with_threads"
ALL_FIVE = "'xyz_flat', 'n_frames', 'n_atoms', 'donor_h_pairs', and 'acceptor_indices'"


def raw_args(name):
    """Valid positional arguments, in parameter order, of the function called `name`."""
    args = [np.array(FRAME * N_FRAMES), N_FRAMES, N_ATOMS, [(0, 1)], [2]]
    return args + [2] if name == T else args


def raises_exactly(exc_type, message):
    return pytest.raises(exc_type, match=f"^{re.escape(message)}$")


# --- binding ---------------------------------------------------------------------------------

# (function, number of positional arguments, keyword names, message after "{function}() ")
BINDING_ERRORS = [
    (B, 6, (), "takes 5 positional arguments but 6 were given"),
    (A, 6, (), "takes 5 positional arguments but 6 were given"),
    (T, 7, (), "takes 6 positional arguments but 7 were given"),
    # With too many positionals the keywords are not looked at.
    (B, 6, ("bogus",), "takes 5 positional arguments but 6 were given"),
    (B, 5, ("n_threads",), "got an unexpected keyword argument 'n_threads'"),
    (A, 5, ("n_threads",), "got an unexpected keyword argument 'n_threads'"),
    (T, 6, ("bogus",), "got an unexpected keyword argument 'bogus'"),
    (B, 0, ("Xyz_flat",), "got an unexpected keyword argument 'Xyz_flat'"),
    (B, 5, ("n_frames",), "got multiple values for argument 'n_frames'"),
    (T, 6, ("n_threads",), "got multiple values for argument 'n_threads'"),
    # The first bad keyword decides; keyword errors come before missing arguments.
    (A, 2, ("bogus", "n_frames"), "got an unexpected keyword argument 'bogus'"),
    (A, 2, ("n_frames", "bogus"), "got multiple values for argument 'n_frames'"),
    (B, 0, (), f"missing 5 required positional arguments: {ALL_FIVE}"),
    (A, 0, (), f"missing 5 required positional arguments: {ALL_FIVE}"),
    (T, 0, (), "missing 6 required positional arguments: "
     "'xyz_flat', 'n_frames', 'n_atoms', 'donor_h_pairs', 'acceptor_indices', and 'n_threads'"),
    (B, 3, (), "missing 2 required positional arguments: 'donor_h_pairs' and 'acceptor_indices'"),
    (B, 4, (), "missing 1 required positional argument: 'acceptor_indices'"),
    (T, 4, (), "missing 2 required positional arguments: 'acceptor_indices' and 'n_threads'"),
    (T, 5, (), "missing 1 required positional argument: 'n_threads'"),
    (A, 1, ("acceptor_indices",),
     "missing 3 required positional arguments: 'n_frames', 'n_atoms', and 'donor_h_pairs'"),
    (T, 1, ("n_threads", "donor_h_pairs", "acceptor_indices"),
     "missing 2 required positional arguments: 'n_frames' and 'n_atoms'"),
    (T, 0, ("n_threads", "n_atoms", "donor_h_pairs", "acceptor_indices", "n_frames"),
     "missing 1 required positional argument: 'xyz_flat'"),
]


@pytest.mark.parametrize(("name", "n_positional", "keywords", "message"), BINDING_ERRORS)
def test_binding_errors(module, name, n_positional, keywords, message):
    args = (raw_args(name) + [0])[:n_positional]
    with raises_exactly(TypeError, f"{name}() {message}"):
        getattr(module, name)(*args, **dict.fromkeys(keywords, 0))


@pytest.mark.parametrize("name", [A, B, T])
@pytest.mark.parametrize("n_positional", [0, 1, 3, 5])
def test_any_mix_of_positional_and_keyword_arguments_binds(module, name, n_positional):
    values = raw_args(name)
    keywords = dict(reversed(list(zip((*SEARCH_PARAMETERS, "n_threads"), values))[n_positional:]))
    assert getattr(module, name)(*values[:n_positional], **keywords).tolist() == EXPECTED_ROWS


def test_keyword_without_utf8_text_is_an_unexpected_keyword(module):
    with raises_exactly(TypeError, f"{B}() got an unexpected keyword argument '\ud800'"):
        getattr(module, B)(*raw_args(B), **{"\ud800": 1})


# --- conversion ------------------------------------------------------------------------------


class NoIndex:
    pass


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# Only a TypeError is given the argument's name; CPython's OverflowError passes unchanged.
INTEGER_ERRORS = [
    (-1, OverflowError, "can't convert negative int to unsigned"),
    (2**64, OverflowError, "int too big to convert"),
    (np.int64(-3), OverflowError, "can't convert negative int to unsigned"),
    (IndexLike(-1), OverflowError, "can't convert negative int to unsigned"),
    (2.0, TypeError, "argument '{name}': 'float' object cannot be interpreted as an integer"),
    ("3", TypeError, "argument '{name}': 'str' object cannot be interpreted as an integer"),
    (None, TypeError, "argument '{name}': 'NoneType' object cannot be interpreted as an integer"),
    (NoIndex(), TypeError, "argument '{name}': 'NoIndex' object cannot be interpreted as an integer"),
]
NOT_AN_ARRAY = "argument 'xyz_flat': '{}' object cannot be converted to 'PyArray<T, D>'"
FOREIGN_ORDER = ">f8" if np.little_endian else "<f8"

CONVERSION_ERRORS = [
    ("xyz_flat", FRAME * N_FRAMES, TypeError, NOT_AN_ARRAY.format("list")),
    ("xyz_flat", None, TypeError, NOT_AN_ARRAY.format("NoneType")),
    *[("xyz_flat", array, TypeError, NOT_AN_ARRAY.format("ndarray"))
      for array in (np.zeros(()), np.zeros((6, 3)), np.zeros(18, np.float32), np.zeros(18, np.int64),
                    np.zeros(18, FOREIGN_ORDER))],
    *[(name, value, exc_type, message.format(name=name))
      for name in ("n_frames", "n_atoms") for value, exc_type, message in INTEGER_ERRORS],
    ("donor_h_pairs", "01", TypeError, "argument 'donor_h_pairs': Can't extract `str` to `Vec`"),
    ("acceptor_indices", "012", TypeError, "argument 'acceptor_indices': Can't extract `str` to `Vec`"),
    ("acceptor_indices", {1, 2}, TypeError,
     "argument 'acceptor_indices': 'set' object cannot be converted to 'Sequence'"),
    ("donor_h_pairs", {0: 1}, TypeError,
     "argument 'donor_h_pairs': 'dict' object cannot be converted to 'Sequence'"),
    ("acceptor_indices", (i for i in [2]), TypeError,
     "argument 'acceptor_indices': 'generator' object cannot be converted to 'Sequence'"),
    ("acceptor_indices", 2, TypeError, "argument 'acceptor_indices': 'int' object cannot be converted to 'Sequence'"),
    ("donor_h_pairs", None, TypeError,
     "argument 'donor_h_pairs': 'NoneType' object cannot be converted to 'Sequence'"),
    ("donor_h_pairs", [(0, 1), [0, 1]], TypeError,
     "argument 'donor_h_pairs': 'list' object cannot be converted to 'PyTuple'"),
    ("donor_h_pairs", [1], TypeError, "argument 'donor_h_pairs': 'int' object cannot be converted to 'PyTuple'"),
    ("donor_h_pairs", np.array([[0, 1]]), TypeError,
     "argument 'donor_h_pairs': 'ndarray' object cannot be converted to 'PyTuple'"),
    ("donor_h_pairs", [(0, 1, 2)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ("donor_h_pairs", [()], ValueError, "expected tuple of length 2, but got tuple of length 0"),
    ("donor_h_pairs", [(0, -1)], OverflowError, "can't convert negative int to unsigned"),
    ("donor_h_pairs", [(0.0, 1)], TypeError,
     "argument 'donor_h_pairs': 'float' object cannot be interpreted as an integer"),
    ("acceptor_indices", [1, -2], OverflowError, "can't convert negative int to unsigned"),
    ("acceptor_indices", [2**64], OverflowError, "int too big to convert"),
    ("acceptor_indices", [2, None], TypeError,
     "argument 'acceptor_indices': 'NoneType' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize(("name", "value", "exc_type", "message"), CONVERSION_ERRORS)
def test_conversion_errors(search_fn, valid_kwargs, capfd, name, value, exc_type, message):
    with raises_exactly(exc_type, message) as info:
        search_fn(**{**valid_kwargs, name: value})
    assert type(info.value) is exc_type
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize(("value", "exc_type", "message"), INTEGER_ERRORS)
def test_n_threads_conversion_errors(module, value, exc_type, message):
    with raises_exactly(exc_type, message.format(name="n_threads")):
        getattr(module, T)(*raw_args(T)[:5], value)


Named = collections.namedtuple("Named", "donor hydrogen")


class LengthFails(list):
    """Its length is only a hint, so failing to give one is no error."""

    def __len__(self):
        raise RuntimeError("no length")


ACCEPTED = [
    ("n_frames", np.int64(N_FRAMES)),
    ("n_atoms", np.uint8(N_ATOMS)),
    ("n_atoms", IndexLike(N_ATOMS)),
    ("donor_h_pairs", ((0, 1),)),
    ("donor_h_pairs", [Named(0, 1)]),
    ("donor_h_pairs", [(np.int32(0), IndexLike(1))]),
    ("acceptor_indices", range(N_ATOMS)),
    ("acceptor_indices", (2,)),
    ("acceptor_indices", LengthFails([2])),
    ("acceptor_indices", np.array([2, 2**64 - 1], dtype=np.uint64)),
    ("acceptor_indices", b"\x02"),
    ("acceptor_indices", bytearray(b"\x05\x02")),
]


@pytest.mark.parametrize(("name", "value"), ACCEPTED)
def test_accepted_arguments(search_fn, valid_kwargs, name, value):
    assert search_fn(**{**valid_kwargs, name: value}).tolist() == EXPECTED_ROWS


def test_true_is_one(search_fn, valid_kwargs):
    one_frame = {**valid_kwargs, "xyz_flat": np.array(FRAME), "n_frames": True}
    assert search_fn(**one_frame).tolist() == EXPECTED_ROWS[:1]


def test_largest_count_converts_and_fails_the_length_check(search_fn, valid_kwargs):
    with raises_exactly(ValueError, "xyz_flat length must equal n_frames * n_atoms * 3"):
        search_fn(**{**valid_kwargs, "n_frames": 2**64 - 1})


@pytest.mark.parametrize("n_threads", [0, 1, True, np.int16(3), IndexLike(4)])
def test_n_threads_values(module, n_threads):
    assert getattr(module, T)(*raw_args(T)[:5], n_threads).tolist() == EXPECTED_ROWS


# --- iteration that raises midway --------------------------------------------------------------


class Root(Exception):
    pass


class TypeErrorSubclass(TypeError):
    pass


class FailingSequence:
    """Yields `items`, then raises `error` (chained from `cause` when one is given)."""

    def __init__(self, items, error, cause=None):
        self.items, self.error, self.cause = items, error, cause

    def __len__(self):
        return len(self.items) + 1

    def __getitem__(self, index):
        if index < len(self.items):
            return self.items[index]
        raise self.error from self.cause


FIRST_ITEM = {"donor_h_pairs": (0, 1), "acceptor_indices": 2}


@pytest.mark.parametrize("name", FIRST_ITEM)
def test_type_error_while_iterating_is_named_and_keeps_its_cause(search_fn, valid_kwargs, name):
    cause = Root("root")
    sequence = FailingSequence([FIRST_ITEM[name]], TypeError("boom"), cause)
    with raises_exactly(TypeError, f"argument '{name}': boom") as info:
        search_fn(**{**valid_kwargs, name: sequence})
    assert info.value.__cause__ is cause


@pytest.mark.parametrize("error_type", [ValueError, Root, TypeErrorSubclass])
@pytest.mark.parametrize("name", FIRST_ITEM)
def test_other_errors_while_iterating_are_raised_unchanged(search_fn, valid_kwargs, name, error_type):
    error = error_type("boom")
    with pytest.raises(error_type) as info:
        search_fn(**{**valid_kwargs, name: FailingSequence([FIRST_ITEM[name]], error)})
    assert info.value is error


# --- precedence --------------------------------------------------------------------------------

PRECEDENCE = [
    ({"xyz_flat": [0.0], "n_frames": -1}, TypeError, "argument 'xyz_flat'"),
    ({"n_frames": 2.0, "n_atoms": -1}, TypeError, "argument 'n_frames'"),
    ({"n_atoms": -1, "donor_h_pairs": "01"}, OverflowError, "can't convert"),
    ({"donor_h_pairs": [[0, 1]], "acceptor_indices": {1}}, TypeError, "argument 'donor_h_pairs'"),
    ({"donor_h_pairs": [(0, 1, 2)], "acceptor_indices": "x"}, ValueError, "expected tuple"),
    # Conversion errors come before anything the search itself checks...
    ({"xyz_flat": np.zeros(36)[::2], "n_atoms": -1}, OverflowError, "can't convert"),
    ({"xyz_flat": np.zeros(5), "acceptor_indices": [None]}, TypeError, "argument 'acceptor_indices'"),
    # ...and the search checks contiguity before the length.
    ({"xyz_flat": np.zeros(10)[::2]}, TypeError, "The given array is not contiguous"),
]


@pytest.mark.parametrize(("bad", "exc_type", "message_start"), PRECEDENCE)
def test_first_failure_in_parameter_order_decides(search_fn, valid_kwargs, bad, exc_type, message_start):
    with pytest.raises(exc_type, match=f"^{re.escape(message_start)}"):
        search_fn(**{**valid_kwargs, **bad})


def test_bad_acceptors_beat_bad_n_threads(module):
    with raises_exactly(TypeError, "argument 'acceptor_indices': 'set' object cannot be converted to 'Sequence'"):
        getattr(module, T)(*raw_args(T)[:4], {2}, -1)


# --- coordinate array ----------------------------------------------------------------------------


class Subclass(np.ndarray):
    pass


def unaligned(values):
    array = np.zeros(8 * len(values) + 1, dtype=np.uint8)[1:].view(np.float64)
    array[:] = values
    assert not array.flags.aligned
    return array


def read_only(values):
    array = np.array(values)
    array.flags.writeable = False
    return array


@pytest.mark.parametrize(
    "make_view", [lambda v: np.array(v[::-1])[::-1], lambda v: np.repeat(v, 2)[::2]], ids=["reversed", "every-second"]
)
def test_non_contiguous_coordinates_are_refused(search_fn, valid_kwargs, make_view):
    view = make_view(FRAME * N_FRAMES)
    assert view.tolist() == FRAME * N_FRAMES
    with raises_exactly(TypeError, "The given array is not contiguous"):
        search_fn(**{**valid_kwargs, "xyz_flat": view})


@pytest.mark.parametrize(
    "make_array",
    [read_only, unaligned, lambda v: np.array(v).view(Subclass)],
    ids=["read-only", "unaligned", "subclass"],
)
def test_accepted_coordinate_arrays(search_fn, valid_kwargs, make_array):
    assert search_fn(**{**valid_kwargs, "xyz_flat": make_array(FRAME * N_FRAMES)}).tolist() == EXPECTED_ROWS


@pytest.mark.parametrize(
    ("n_frames", "n_atoms", "length"), [(2, 3, 17), (2, 3, 19), (3, 3, 18), (2**63, 2, 0), (2**32, 2**32, 0)]
)
def test_wrong_coordinate_length(search_fn, valid_kwargs, n_frames, n_atoms, length):
    # The last two need a multiple of 2**64 values, which wraps to 0 in 64-bit arithmetic.
    with raises_exactly(ValueError, "xyz_flat length must equal n_frames * n_atoms * 3"):
        search_fn(**{**valid_kwargs, "xyz_flat": np.zeros(length), "n_frames": n_frames, "n_atoms": n_atoms})
