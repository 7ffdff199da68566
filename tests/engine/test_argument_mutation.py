"""Arguments converted after `xyz_flat` run the caller's code (`__index__`, `__len__`,
`__iter__`), which may change the array's dtype, byte order, shape, strides or memory. A call
must then behave as a plain call with the array as it is afterwards: the same rows or the same
exception, and never read past the array. Each function's cases run in a child process, so that
a crash fails the test instead of ending the run."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import brenvox_hbond_rs

FUNCTIONS = ["run_baker_hubbard", "run_baker_hubbard_brute", "run_baker_hubbard_with_threads"]
MUTATIONS = ["uint8", "int64", "float32", "big-endian", "2-D", "strided", "resize-larger", "resize-smaller"]

CHILD = """
import warnings
import numpy as np
import brenvox_hbond_rs

warnings.simplefilter("ignore")  # assigning dtype or strides is deprecated in newer NumPy
function = getattr(brenvox_hbond_rs, {function!r})
threaded = {function!r} == "run_baker_hubbard_with_threads"
FRAME = [0.0, 0.0, 0.0, 0.1, 0.0, 0.0, 0.3, 0.0, 0.0]


def fresh(mutation):
    if mutation.startswith("resize"):
        return np.array(FRAME * 2)  # only an array that owns its memory can be resized
    # A view into a larger buffer, so that a wider stride stays inside memory NumPy owns.
    return np.array(FRAME * 4)[:18]


def mutate(xyz, mutation):
    if mutation == "uint8":
        xyz.dtype = np.uint8
    elif mutation == "int64":
        xyz.dtype = np.int64
    elif mutation == "float32":
        xyz.dtype = np.float32
    elif mutation == "big-endian":
        xyz.dtype = ">f8"
    elif mutation == "2-D":
        xyz.shape = (-1, 3)
    elif mutation == "strided":
        xyz.strides = (16,)
    elif mutation == "resize-larger":
        xyz.resize(3_000_000, refcheck=False)
    elif mutation == "resize-smaller":
        xyz.resize(9, refcheck=False)


class Index:
    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value


class Sequence:
    def __init__(self, items, on_len=None, on_iter=None):
        self.items, self.on_len, self.on_iter = items, on_len, on_iter

    def __len__(self):
        if self.on_len:
            self.on_len()
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        if self.on_iter:
            self.on_iter()
        return iter(self.items)


def arguments(xyz, hook, action):
    n_frames, n_atoms, pairs, acceptors, n_threads = 2, 3, [(0, 1)], [2], 2
    if hook == "n_frames.__index__":
        n_frames = Index(2, action)
    elif hook == "n_atoms.__index__":
        n_atoms = Index(3, action)
    elif hook == "donor_h_pairs.__len__":
        pairs = Sequence(pairs, on_len=action)
    elif hook == "donor_h_pairs.__iter__":
        pairs = Sequence(pairs, on_iter=action)
    elif hook == "donor_h_pairs item.__index__":
        pairs = [(Index(0, action), 1)]
    elif hook == "acceptor_indices.__len__":
        acceptors = Sequence(acceptors, on_len=action)
    elif hook == "acceptor_indices.__iter__":
        acceptors = Sequence(acceptors, on_iter=action)
    elif hook == "acceptor_indices item.__index__":
        acceptors = [Index(2, action)]
    elif hook == "n_threads.__index__":
        n_threads = Index(2, action)
    return (xyz, n_frames, n_atoms, pairs, acceptors) + ((n_threads,) if threaded else ())


def outcome(args):
    try:
        return ("rows", function(*args).tolist())
    except Exception as error:
        return (type(error).__name__, str(error))


hooks = ["n_frames.__index__", "n_atoms.__index__", "donor_h_pairs.__len__",
         "donor_h_pairs.__iter__", "donor_h_pairs item.__index__", "acceptor_indices.__len__",
         "acceptor_indices.__iter__", "acceptor_indices item.__index__"]
if threaded:
    hooks.append("n_threads.__index__")
for hook in hooks:
    xyz = fresh({mutation!r})
    mutated = outcome(arguments(xyz, hook, lambda: mutate(xyz, {mutation!r})))
    plain = outcome(arguments(xyz, None, None))
    print(hook, "same" if mutated == plain else "differs: %r against %r" % (mutated, plain))
"""


@pytest.mark.parametrize("mutation", MUTATIONS)
@pytest.mark.parametrize("function", FUNCTIONS)
def test_mutation_during_conversion_acts_as_a_plain_call_afterwards(function, mutation):
    code = CHILD.format(function=function, mutation=mutation)
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert (completed.returncode, completed.stderr) == (0, "")
    lines = completed.stdout.splitlines()
    assert len(lines) == (9 if function.endswith("threads") else 8)
    assert [line for line in lines if not line.endswith(" same")] == []


class Interrupting:
    """A sequence whose length hint raises `raised`; iteration still works."""

    def __init__(self, items, raised):
        self.items, self.raised = items, raised

    def __len__(self):
        raise self.raised

    def __getitem__(self, index):
        return self.items[index]


def call(function, pairs, acceptors):
    xyz = np.array([0.0, 0.0, 0.0, 0.1, 0.0, 0.0, 0.3, 0.0, 0.0])
    extra = (2,) if function == "run_baker_hubbard_with_threads" else ()
    return getattr(brenvox_hbond_rs, function)(xyz, 1, 3, pairs, acceptors, *extra)


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("argument", ["donor_h_pairs", "acceptor_indices"])
@pytest.mark.parametrize("raised", [KeyboardInterrupt("stop"), SystemExit(3)], ids=["KeyboardInterrupt", "SystemExit"])
def test_interrupt_from_a_length_hint_is_not_swallowed(function, argument, raised):
    pairs, acceptors = [(0, 1)], [2]
    if argument == "donor_h_pairs":
        pairs = Interrupting(pairs, raised)
    else:
        acceptors = Interrupting(acceptors, raised)
    with pytest.raises(type(raised)) as caught:
        call(function, pairs, acceptors)
    assert caught.value is raised


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("raised", [TypeError("no length"), ValueError("odd"), OverflowError("huge")])
def test_ordinary_failure_of_a_length_hint_is_dropped(function, raised):
    assert call(function, Interrupting([(0, 1)], raised), Interrupting([2], raised)).tolist() == [[0, 0, 1, 2]]
