"""The module object, its functions' metadata and the internal-failure exception."""

import importlib
import subprocess
import sys

import pytest

from helpers import FUNCTION_NAMES, N_FRAMES, HugeLength

CPYTHON_MODULE_ATTRIBUTES = {"__name__", "__doc__", "__loader__", "__package__", "__spec__", "__file__"}

DOCSTRINGS = [
    (
        "run_baker_hubbard",
        "run_baker_hubbard(xyz_flat, n_frames, n_atoms, donor_h_pairs, acceptor_indices)\n--\n\n"
        "Run Baker-Hubbard over all frames. Uses spatial pruning for large search spaces\n"
        "and brute force for smaller ones (same geometry either way).",
        224,
    ),
    (
        "run_baker_hubbard_brute",
        "run_baker_hubbard_brute(xyz_flat, n_frames, n_atoms, donor_h_pairs, acceptor_indices)\n--\n\n"
        "Brute-force Baker\u2013Hubbard (reference implementation for regression tests).",
        166,
    ),
    (
        "run_baker_hubbard_with_threads",
        "run_baker_hubbard_with_threads(xyz_flat, n_frames, n_atoms, donor_h_pairs, acceptor_indices, "
        "n_threads)\n--\n\nThreaded Baker\u2013Hubbard (adaptive spatial vs brute per frame batch).",
        177,
    ),
]


def test_namespace_holds_the_three_functions_and_all(module):
    assert set(vars(module)) == CPYTHON_MODULE_ATTRIBUTES | {"__all__", *FUNCTION_NAMES}
    assert type(module.__all__) is list
    assert module.__all__ == list(FUNCTION_NAMES)
    assert module.__doc__ == ""
    assert module.__name__ == "brenvox_hbond_rs"


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_functions_are_bound_to_the_module(module, name):
    function = getattr(module, name)
    assert function.__name__ == name
    assert function.__module__ == "brenvox_hbond_rs"
    assert function.__self__ is module


def test_reimport_returns_the_same_module_object(module, monkeypatch):
    monkeypatch.delitem(sys.modules, "brenvox_hbond_rs")
    again = importlib.import_module("brenvox_hbond_rs")
    assert again is module
    assert again.__all__ == list(FUNCTION_NAMES)


def test_second_interpreter_cannot_import_the_module(module):
    testcapi = pytest.importorskip("_testcapi")
    script = (
        "try:\n"
        "    import brenvox_hbond_rs\n"
        "except ImportError as exc:\n"
        "    assert str(exc).startswith('PyO3 modules do not yet support subinterpreters'), exc\n"
        "else:\n"
        "    raise AssertionError('imported in a second interpreter')\n"
    )
    assert testcapi.run_in_subinterp(script) == 0


def test_import_does_not_import_numpy():
    code = "import sys, brenvox_hbond_rs; print('numpy' in sys.modules)"
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert completed.stdout == "False\n"
    assert completed.stderr == ""


@pytest.mark.parametrize(("name", "docstring", "n_bytes"), DOCSTRINGS)
def test_docstring_and_text_signature(module, name, docstring, n_bytes):
    function = getattr(module, name)
    # CPython splits the native docstring into these two attributes at the "--" marker.
    assert f"{name}{function.__text_signature__}\n--\n\n{function.__doc__}" == docstring
    assert len(docstring.encode("utf-8")) == n_bytes


# --- internal failure ------------------------------------------------------------------------


# (parameter, claimed length): 8 bytes per acceptor, 16 per pair, refused from 2**63 bytes on.
CAPACITY_OVERFLOWS = [("acceptor_indices", 2**60), ("donor_h_pairs", 2**59)]


def call_with(search_fn, valid_kwargs, name, value):
    return search_fn(**{**valid_kwargs, name: value})


def catch_past_exception_handler(call):
    """What escapes `except Exception:`; None if that handler caught it or nothing was raised."""
    try:
        try:
            call()
        except Exception:
            return None
    except BaseException as exc:
        return exc
    return None


@pytest.mark.parametrize(("name", "length"), CAPACITY_OVERFLOWS)
def test_capacity_overflow_is_an_internal_failure(search_fn, valid_kwargs, module, capfd, name, length):
    exc = catch_past_exception_handler(lambda: call_with(search_fn, valid_kwargs, name, HugeLength(length)))
    out, err = capfd.readouterr()
    assert exc is not None, "caught by `except Exception:`"

    exc_type = type(exc)
    assert exc_type.__module__ == "pyo3_runtime"
    assert exc_type.__name__ == "PanicException"
    assert exc_type.__qualname__ == "PanicException"
    assert exc_type.__bases__ == (BaseException,)
    assert not issubclass(exc_type, Exception)
    assert exc.args == ("capacity overflow",)
    assert str(exc) == "capacity overflow"
    assert exc_type not in vars(module).values()

    assert out == ""
    assert "capacity overflow" in err
    assert len(err.splitlines()) <= 5


@pytest.mark.parametrize(("name", "length"), [("acceptor_indices", 2**60 - 1), ("donor_h_pairs", 2**59 - 1)])
def test_largest_representable_length_hint_is_no_capacity_overflow(search_fn, valid_kwargs, name, length):
    # The room is below 2**63 bytes; whether it can be had is another matter, so only the
    # "capacity overflow" outcome is ruled out.
    try:
        result = call_with(search_fn, valid_kwargs, name, HugeLength(length))
    except BaseException as exc:
        assert str(exc) != "capacity overflow"
    else:
        assert result.shape == (0, 4)


def test_calls_work_after_an_internal_failure_of_the_same_type(search_fn, valid_kwargs, capfd):
    failure_types = set()
    for name, length in CAPACITY_OVERFLOWS:
        with pytest.raises(BaseException) as info:
            call_with(search_fn, valid_kwargs, name, HugeLength(length))
        failure_types.add(type(info.value))
    capfd.readouterr()
    assert len(failure_types) == 1
    assert search_fn(**valid_kwargs).shape == (N_FRAMES, 4)
