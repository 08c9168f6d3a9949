"""The README's example and the docstring examples run as doctests."""

import doctest
import pathlib

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_readme_example():
    result = doctest.testfile(str(README), module_relative=False,
                              optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted >= 8
    assert result.failed == 0


def test_docstring_examples():
    import velmora.evolution

    result = doctest.testmod(velmora.evolution, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted >= 1
    assert result.failed == 0
