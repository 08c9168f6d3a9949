"""The module, its two classes and their conversion rules."""

import collections
import decimal
import fractions
import re
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


class WithFloat:
    def __float__(self):
        return 0.7


class MinusOne:
    """-1 is the value the interpreter's conversion also uses to signal an error."""

    def __complex__(self):
        return -1 + 0j


def generic_state(num_qubits):
    rng = np.random.default_rng(100 + num_qubits)
    return rng.normal(size=2**num_qubits) + 1j * rng.normal(size=2**num_qubits)


def observe(ham, coeff=0.7):
    """What a Hamiltonian does to a generic state, as bytes; or the error it
    gives. Words are compared through this: the objects expose no values."""
    try:
        try:
            evolve(ham, np.ones(1, dtype=complex), 0.0, 0)
            num_qubits = 0
        except ValueError as error:
            found = re.search(r"acts on (\d+) qubits", str(error))
            if found is None:
                raise
            num_qubits = int(found.group(1))
        return evolve(ham, generic_state(num_qubits), coeff, 0).tobytes()
    except ValueError as error:
        return (type(error).__name__, str(error))


def observe_word(word):
    return observe(Hamiltonian([word]))


# (arguments, keyword arguments, the coefficient and letters they must mean,
#  other meanings a faulty conversion could give, which must look different)
CONSTRUCTIONS = [
    ((1j, "XZ"), {}, 1j, "XZ", [(1, "XZ"), (-1j, "XZ"), (1j, "ZX")]),
    ((), {"coeff": 0.5, "string": "XYZI"}, 0.5, "XYZI", [(0.5, "IZYX")]),
    ((0.5,), {"string": "Z"}, 0.5, "Z", [(0.5, "X")]),
    ((2, "ZZ"), {}, 2, "ZZ", [(0, "ZZ")]),
    ((True, "X"), {}, 1, "X", [(0, "X")]),
    ((False, "X"), {}, 0, "X", [(1, "X")]),
    ((-1.0, "X"), {}, -1, "X", [(1, "X")]),
    ((MinusOne(), "X"), {}, -1, "X", [(1, "X")]),
    ((np.float32(0.1), "X"), {}, float(np.float32(0.1)), "X", [(0.1, "X")]),
    ((np.float16(0.1), "X"), {}, float(np.float16(0.1)), "X", [(0.1, "X")]),
    ((np.float64(0.1), "X"), {}, 0.1, "X", [(float(np.float32(0.1)), "X")]),
    ((np.int64(-3), "X"), {}, -3, "X", [(3, "X"), (0, "X")]),
    ((np.uint8(200), "X"), {}, 200, "X", [(-56, "X")]),
    ((np.complex64(0.1 - 0.3j), "X"), {}, complex(np.complex64(0.1 - 0.3j)), "X",
     [(0.1 - 0.3j, "X"), (float(np.float32(0.1)), "X"),
      (complex(np.complex64(0.1 + 0.3j)), "X")]),
    ((np.complex128(1 - 1j), "X"), {}, 1 - 1j, "X", [(1, "X"), (1 + 1j, "X")]),
    ((WithComplex(), "X"), {}, 1 + 2j, "X", [(1, "X"), (1 - 2j, "X")]),
    ((WithIndex(), "X"), {}, 3, "X", [(0, "X")]),
    ((WithFloat(), "X"), {}, 0.7, "X", [(0, "X")]),
    ((fractions.Fraction(1, 3), "X"), {}, 1 / 3, "X", [(0, "X")]),
    ((decimal.Decimal("0.1"), "X"), {}, 0.1, "X", [(0, "X")]),
    ((float("nan"), "X"), {}, float("nan"), "X", [(1, "X")]),
    ((float("inf"), "Y"), {}, float("inf"), "Y", [(1, "Y")]),
    ((1.0, ""), {}, 1, "", [(2, "")]),
    # Letters are UTF-8 bytes: 'é' is two identity positions.
    ((1.0, "X\u00e9"), {}, 1, "XII", [(1, "XI"), (1, "IIX")]),
    # Lower-case letters, NUL and other bytes are identity positions; the
    # string does not end at the NUL.
    ((1.0, "xyz\x00Q"), {}, 1, "IIIII", [(1, "XYZII"), (1, "III")]),
]


def construction_id(case):
    args, kwargs, _, letters, _ = case
    given = args[0] if args else kwargs["coeff"]
    return f"{type(given).__name__}-{letters or 'empty'}"


@pytest.mark.parametrize("args, kwargs, coeff, letters, others", CONSTRUCTIONS,
                         ids=[construction_id(c) for c in CONSTRUCTIONS])
def test_pauli_word_converts(args, kwargs, coeff, letters, others):
    word = PauliWord(*args, **kwargs)
    assert isinstance(word, PauliWord)
    got = observe_word(word)
    assert isinstance(got, bytes), got
    assert got == observe_word(PauliWord(complex(coeff), letters))
    # The meanings a faulty conversion would give are told apart.
    for other_coeff, other_letters in others:
        assert got != observe_word(PauliWord(complex(other_coeff), other_letters)), (
            other_coeff, other_letters)


def test_pauli_word_keeps_long_strings():
    # 100 letters are too many to evolve; their count shows in the error
    # naming mismatched lengths.
    word = PauliWord(1.0, "I" * 100)
    with pytest.raises(ValueError, match="word 1 has 1 bytes, but word 0 has 100$"):
        Hamiltonian([word, PauliWord(1.0, "X")])


# The same conversion applies to the coefficient of `evolve`.
@pytest.mark.parametrize(
    "value, meaning, others",
    [(c[0][0], c[2], c[4]) for c in CONSTRUCTIONS if c[0] and c[3] == "X"],
    ids=[construction_id(c) for c in CONSTRUCTIONS if c[0] and c[3] == "X"])
def test_evolve_coefficient_converts(value, meaning, others):
    ham = Hamiltonian([PauliWord(0.3 - 0.2j, "X"), PauliWord(0.5, "Z")])
    got = observe(ham, value)
    assert isinstance(got, bytes), got
    assert got == observe(ham, complex(meaning))
    for other_coeff, _ in others:
        assert got != observe(ham, complex(other_coeff)), other_coeff


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


def ordered_words():
    """Four words whose sum rounds differently in another order."""
    return [PauliWord(0.1, "XI"), PauliWord(0.7, "ZZ"), PauliWord(1 / 3, "YX"),
            PauliWord(0.25j, "XY")]


class WordList(list):
    pass


class WordTuple(tuple):
    pass


class BackwardsList(list):
    """A list subclass whose iteration runs backwards: tuple() of it, and so
    the Hamiltonian, sees the words in reverse."""

    def __iter__(self):
        return reversed(self)


def test_word_order_is_observable():
    forward = observe(Hamiltonian(ordered_words()))
    assert isinstance(forward, bytes)
    assert forward != observe(Hamiltonian(ordered_words()[::-1]))


def same(ws):
    return ws


def backwards(ws):
    return ws[::-1]


# How each container is handed over, and the order in which its words must
# arrive: that of tuple(container).
CONTAINERS = {
    "list": (lambda ws: Hamiltonian(list(ws)), same),
    "tuple": (lambda ws: Hamiltonian(tuple(ws)), same),
    "keyword": (lambda ws: Hamiltonian(pauli_words=ws), same),
    "list-subclass": (lambda ws: Hamiltonian(WordList(ws)), same),
    "tuple-subclass": (lambda ws: Hamiltonian(WordTuple(ws)), same),
    "Sequence": (lambda ws: Hamiltonian(WordSequence(ws)), same),
    "UserList": (lambda ws: Hamiltonian(collections.UserList(ws)), same),
    "deque": (lambda ws: Hamiltonian(collections.deque(ws)), same),
    "object-array": (lambda ws: Hamiltonian(np.array(ws, dtype=object)), same),
    "backwards-iteration": (lambda ws: Hamiltonian(BackwardsList(ws)), backwards),
    "Hamiltonian-subclass": (lambda ws: SubHamiltonian(ws), same),
}


@pytest.mark.parametrize("make, order", CONTAINERS.values(), ids=CONTAINERS.keys())
def test_hamiltonian_keeps_words_in_order(make, order):
    ham = make(ordered_words())
    assert isinstance(ham, Hamiltonian)
    got = observe(ham)
    assert isinstance(got, bytes), got
    assert got == observe(Hamiltonian(order(ordered_words())))


@pytest.mark.parametrize("make, order", CONTAINERS.values(), ids=CONTAINERS.keys())
def test_hamiltonian_reads_words_first_to_last(make, order):
    # An absolute check of the order, independent of how a plain list is read:
    # the error names the first word of another length and the first word.
    ws = [PauliWord(1.0, "XX"), PauliWord(1.0, "ZZ"), PauliWord(1.0, "Z")]
    message = ("word 2 has 1 bytes, but word 0 has 2" if order is same
               else "word 1 has 2 bytes, but word 0 has 1")
    with pytest.raises(ValueError, match=f"^all words of a Hamiltonian need strings of the "
                                         f"same length: {message}$"):
        make(ws)


@pytest.mark.parametrize(
    "make, reference",
    [
        (lambda: Hamiltonian([SubWord(0.1, "XI")] + ordered_words()[1:]), ordered_words),
        (lambda: Hamiltonian(words()), words),
        (lambda: Hamiltonian([SubWord(1.0, "XY"), PauliWord(2.0, "ZI")]),
         lambda: [PauliWord(1.0, "XY"), PauliWord(2.0, "ZI")]),
        # No words: nothing to evolve, the same refusal either way.
        (lambda: Hamiltonian(()), lambda: []),
        (lambda: Hamiltonian(WordSequence([])), lambda: []),
    ],
    ids=["word-subclass", "two-words", "word-subclass-pair", "empty-tuple", "empty-Sequence"],
)
def test_hamiltonian_constructs_the_same_sum(make, reference):
    ham = make()
    assert isinstance(ham, Hamiltonian)
    assert observe(ham) == observe(Hamiltonian(reference()))


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


def test_modules_export_their_entry_points_only():
    import shutil
    import subprocess

    import velmora._native

    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    for module, entry in ((_velmora, "PyInit__velmora"), (velmora._native, "PyInit__native")):
        listing = subprocess.run([nm, "-D", "--defined-only", module.__file__],
                                 capture_output=True, text=True, check=True).stdout
        assert [line.split()[-1] for line in listing.splitlines()] == [entry]
