"""The README's example and the docstring examples run as doctests."""

import doctest
import importlib
import pathlib

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_readme_example():
    result = doctest.testfile(str(README), module_relative=False,
                              optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted >= 8
    assert result.failed == 0


@pytest.mark.parametrize("name", ["evolution", "pauli_sum", "models", "states", "sector", "time_dependent",
                                  "eigen", "correlations", "tapering", "quasi_magnus", "mpi",
                                  ""])
def test_docstring_examples(name):
    if name == "mpi":
        pytest.importorskip("mpi4py")  # the examples run on one process, without mpiexec
    # "": the package itself, whose own names (ToleranceWarning) live in private modules.
    module = importlib.import_module(f"velmora.{name}" if name else "velmora")
    result = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS)
    assert result.attempted >= 1
    assert result.failed == 0
