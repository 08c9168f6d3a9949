"""The module, its two classes and their conversion rules."""

import collections
import weakref

import numpy as np
import pytest

import _velmora
from _velmora import Hamiltonian, PauliWord, evolve

INCOMPATIBLE = "incompatible function arguments. The following argument types are supported:"


def test_module_identity():
    assert _velmora.__doc__ == "Velmora C++ core bindings"
    assert PauliWord.__module__ == "_velmora"
    assert Hamiltonian.__module__ == "_velmora"
    public = {name for name in dir(_velmora) if not name.startswith("__")}
    assert public == {"PauliWord", "Hamiltonian", "evolve"}


def test_signatures_as_rendered():
    assert PauliWord.__init__.__doc__ == "__init__(self, coeff: complex, string: str) -> None"
    assert Hamiltonian.__init__.__doc__ == (
        "__init__(self, pauli_words: collections.abc.Sequence[_velmora.PauliWord]) -> None"
    )
    assert evolve.__doc__ == (
        "evolve(ham: _velmora.Hamiltonian, psi: ndarray[dtype=complex128, shape=(*), "
        "order='C', device='cpu', writable=False], coeff: complex, num_threads: int) "
        "-> numpy.ndarray[dtype=complex128, shape=(*), order='C']"
    )


class WithComplex:
    def __complex__(self):
        return 1 + 2j


class WithIndex:
    def __index__(self):
        return 3


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((1j, "XZ"), {}),
        ((), {"coeff": 0.5, "string": "XYZI"}),
        ((0.5,), {"string": "Z"}),
        ((2, "ZZ"), {}),
        ((True, "X"), {}),
        ((-1.0, "X"), {}),
        ((np.float32(1.5), "X"), {}),
        ((np.complex128(1 - 1j), "X"), {}),
        ((WithComplex(), "X"), {}),
        ((WithIndex(), "X"), {}),
        ((float("nan"), "X"), {}),
        ((float("inf"), "Y"), {}),
        ((1.0, ""), {}),
        ((1.0, "X\u00e9"), {}),
        ((1.0, "xyz\x00Q"), {}),
        ((1.0, "I" * 100), {}),
    ],
)
def test_pauli_word_constructs(args, kwargs):
    assert isinstance(PauliWord(*args, **kwargs), PauliWord)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((1.0, b"XZ"), {}),
        ((1.0, bytearray(b"XZ")), {}),
        (("1", "XZ"), {}),
        ((None, "X"), {}),
        ((1.0, None), {}),
        ((1.0, "\ud800"), {}),
        ((1.0,), {}),
        ((1.0, "X", 3), {}),
        ((1.0, "X"), {"coeff": 2.0}),
        ((), {"coeff": 1.0, "letters": "X"}),
        (([1.0], "X"), {}),
    ],
)
def test_pauli_word_refuses(args, kwargs):
    with pytest.raises(TypeError, match="__init__\\(\\): " + INCOMPATIBLE):
        PauliWord(*args, **kwargs)


class WordSequence(collections.abc.Sequence):
    def __init__(self, items):
        self._items = list(items)

    def __len__(self):
        return len(self._items)

    def __getitem__(self, i):
        return self._items[i]


class SubWord(PauliWord):
    pass


class SubHamiltonian(Hamiltonian):
    pass


def words():
    return [PauliWord(1.0, "XI"), PauliWord(0.5, "ZZ")]


@pytest.mark.parametrize(
    "make",
    [
        lambda: Hamiltonian(words()),
        lambda: Hamiltonian(tuple(words())),
        lambda: Hamiltonian(pauli_words=words()),
        lambda: Hamiltonian(WordSequence(words())),
        lambda: Hamiltonian(collections.UserList(words())),
        lambda: Hamiltonian([SubWord(1.0, "XY"), PauliWord(2.0, "ZI")]),
        lambda: Hamiltonian([]),
        lambda: Hamiltonian(()),
        lambda: SubHamiltonian(words()),
    ],
)
def test_hamiltonian_constructs(make):
    assert isinstance(make(), Hamiltonian)


# Arguments are built inside the test: instances kept in parameter lists would
# outlive the module's teardown.
@pytest.mark.parametrize(
    "make_arg",
    [
        lambda: [PauliWord(1.0, "X"), None],
        lambda: [PauliWord(1.0, "X"), 3],
        lambda: [None],
        lambda: "XZ",
        lambda: b"XZ",
        lambda: (w for w in words()),
        lambda: set(words()),
        lambda: {0: PauliWord(1.0, "X")},
        lambda: PauliWord(1.0, "X"),
        lambda: None,
        lambda: [(1.0, "X")],
    ],
    ids=["word-None", "word-int", "None-element", "str", "bytes", "generator", "set", "dict",
         "single-word", "None", "tuple-pair"],
)
def test_hamiltonian_refuses(make_arg):
    with pytest.raises(TypeError, match="__init__\\(\\): " + INCOMPATIBLE):
        Hamiltonian(make_arg())


def test_hamiltonian_refuses_mixed_lengths():
    with pytest.raises(
        ValueError,
        match="^all words of a Hamiltonian need strings of the same length: "
        "word 2 has 1 bytes, but word 0 has 2$",
    ):
        Hamiltonian([PauliWord(1.0, "XX"), PauliWord(1.0, "ZZ"), PauliWord(1.0, "Z")])
    # Letters count in UTF-8 bytes: 'é' is two of them.
    Hamiltonian([PauliWord(1.0, "X\u00e9"), PauliWord(1.0, "ZZZ")])


@pytest.mark.parametrize("make", [lambda: PauliWord(1.0, "X"),
                                  lambda: Hamiltonian([PauliWord(1.0, "X")])],
                         ids=["PauliWord", "Hamiltonian"])
def test_instances_have_no_attributes(make):
    obj = make()
    with pytest.raises(AttributeError):
        obj.coeff
    with pytest.raises(AttributeError):
        obj.string
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(AttributeError):
        obj.coeff = 2.0
    with pytest.raises(AttributeError):
        obj.evolve
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)


def test_hamiltonian_holds_independent_copies():
    x = PauliWord(0.5, "XI")
    z = SubWord(0.25, "ZZ")
    twice = Hamiltonian([x, x, z])
    doubled = Hamiltonian([PauliWord(1.0, "XI"), PauliWord(0.25, "ZZ")])
    del x, z
    psi = np.array([1, 0, 0, 0], dtype=complex)
    a = evolve(twice, psi, 0.7, 0)
    b = evolve(doubled, psi, 0.7, 0)
    np.testing.assert_allclose(a, b, rtol=0, atol=1e-14)
