"""evolve: numerics against an exact reference, thread counts, the array and
integer rules, refusals and ownership of the result."""

import gc

import numpy as np
import pytest
from reference import dense_hamiltonian, exact_evolve, random_state, random_terms

from _velmora import Hamiltonian, PauliWord, evolve


def build(terms):
    return Hamiltonian([PauliWord(c, s) for c, s in terms])


def rel_err(a, b):
    return np.linalg.norm(a - b) / np.linalg.norm(b)


@pytest.mark.parametrize("num_qubits", [1, 2, 3, 4, 5, 7, 9])
@pytest.mark.parametrize(
    "coeff", [0.9, -2.0, -1.5j, 0.8j, 1.2 - 0.6j, -0.4 + 0.3j], ids=lambda c: f"c={c}"
)
def test_matches_exact_evolution(num_qubits, coeff):
    rng = np.random.default_rng(100 * num_qubits + int(abs(coeff) * 10))
    terms = random_terms(rng, num_qubits, 3 * num_qubits + 2)
    h = dense_hamiltonian(terms)
    # Scale H to unit spectral radius: |coeff| * ||H|| <= 2 is well inside
    # what one Krylov step of dimension 30 resolves to full precision.
    radius = np.abs(np.linalg.eigvalsh(h)).max()
    terms = [(c / radius, s) for c, s in terms]
    h = h / radius
    psi = random_state(rng, num_qubits)
    out = evolve(build(terms), psi, coeff, 0)
    assert rel_err(out, exact_evolve(h, psi, coeff)) <= 1e-10


def test_zero_coefficient_returns_input_and_positive_multiple_scales():
    rng = np.random.default_rng(1)
    ham = build(random_terms(rng, 6, 12))
    psi = random_state(rng, 6)
    np.testing.assert_allclose(evolve(ham, psi, 0.0, 0), psi, rtol=0, atol=1e-13)
    a = evolve(ham, psi, 0.3, 0)
    np.testing.assert_allclose(evolve(ham, 3.5 * psi, 0.3, 0), 3.5 * a, rtol=1e-13, atol=1e-13)


def test_input_unchanged_and_result_is_new():
    rng = np.random.default_rng(2)
    ham = build(random_terms(rng, 5, 8))
    psi = random_state(rng, 5)
    before = psi.tobytes()
    out = evolve(ham, psi, 0.4, 2)
    assert psi.tobytes() == before
    assert isinstance(out, np.ndarray)
    assert out.dtype == np.complex128 and out.ndim == 1 and out.shape == psi.shape
    assert out.flags.writeable and out.flags.c_contiguous
    assert not np.shares_memory(out, psi)
    out[:] = 0
    assert psi.tobytes() == before


def test_thread_counts_give_identical_bytes():
    rng = np.random.default_rng(3)
    ham = build(random_terms(rng, 9, 20, complex_coeffs=True))
    psi = random_state(rng, 9)
    serial = evolve(ham, psi, 0.25 - 0.1j, 0).tobytes()
    for threads in (1, 2, 3, 8, 2**31 - 1):
        assert evolve(ham, psi, 0.25 - 0.1j, threads).tobytes() == serial, threads


def test_zero_state_gives_zero_vector():
    ham = build([(1.0, "XY"), (0.5, "ZZ")])
    out = evolve(ham, np.zeros(4, dtype=complex), 1.0, 0)
    assert out.tobytes() == np.zeros(4, dtype=complex).tobytes()


def test_non_finite_input_is_carried_not_fatal():
    ham = build([(1.0, "XY"), (0.5, "ZZ")])
    psi = np.array([np.nan, 1, np.inf, 0], dtype=complex)
    out = evolve(ham, psi, 1.0, 2)
    assert out.shape == (4,) and not np.isfinite(out).all()


# --- array rule -------------------------------------------------------------

HAM3 = build([(1.0, "XIZ"), (0.5, "ZYI"), (-0.3, "IXX")])
PSI3 = np.exp(1j * np.arange(8)) / np.sqrt(8)


def readonly(a):
    a = a.copy()
    a.flags.writeable = False
    return a


@pytest.mark.parametrize(
    "psi",
    [
        PSI3,
        readonly(PSI3),
        np.repeat(PSI3, 2)[::2],  # strided view, converted to a contiguous copy
        PSI3.real.copy(),  # float64, converted
        np.arange(8),  # integers, converted
        PSI3.astype(np.complex64),
    ],
    ids=["complex128", "readonly", "strided", "float64", "int64", "complex64"],
)
def test_array_rule_accepts(psi):
    expected = evolve(HAM3, np.ascontiguousarray(psi, dtype=complex), 0.5, 0)
    np.testing.assert_array_equal(evolve(HAM3, psi, 0.5, 0), expected)


@pytest.mark.parametrize(
    "psi",
    [PSI3.reshape(8, 1), PSI3.reshape(2, 4), list(PSI3), tuple(PSI3), None, 1.0, "psi"],
    ids=["8x1", "2x4", "list", "tuple", "None", "scalar", "str"],
)
def test_array_rule_refuses(psi):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        evolve(HAM3, psi, 0.5, 0)


# --- integer rule -----------------------------------------------------------


class Indexable:
    def __index__(self):
        return 2


class IntLike:
    def __int__(self):
        return 1


@pytest.mark.parametrize(
    "threads",
    [0, 1, True, False, np.int32(2), np.int64(3), np.uint8(1), "2", b"3", Indexable(), IntLike(),
     2**31 - 1],
    ids=repr,
)
def test_integer_rule_accepts(threads):
    expected = evolve(HAM3, PSI3, 0.5, 0)
    assert evolve(HAM3, PSI3, 0.5, threads).tobytes() == expected.tobytes()


@pytest.mark.parametrize(
    "threads", [2**31, -(2**31) - 1, 4.0, np.float64(2.0), "2.0", "two", None, 1j, [1]], ids=repr
)
def test_integer_rule_refuses(threads):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        evolve(HAM3, PSI3, 0.5, threads)


def test_all_keywords_and_refused_ham():
    out = evolve(ham=HAM3, psi=PSI3, coeff=0.5, num_threads=1)
    assert out.tobytes() == evolve(HAM3, PSI3, 0.5, 0).tobytes()
    for ham in (None, PauliWord(1.0, "XYZ"), [PauliWord(1.0, "XYZ")]):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            evolve(ham, PSI3, 0.5, 0)
    with pytest.raises(TypeError):
        evolve(HAM3, PSI3, "0.5", 0)


# --- refusals ---------------------------------------------------------------


@pytest.mark.parametrize(
    "make_ham, psi, threads, message",
    [
        (lambda: HAM3, PSI3[:4], 0,
         "psi has 4 amplitudes, but the Hamiltonian acts on 3 qubits and needs 2^3 = 8"),
        (lambda: HAM3, np.zeros(16, complex), 0,
         "psi has 16 amplitudes, but the Hamiltonian acts on 3 qubits and needs 2^3 = 8"),
        (lambda: HAM3, np.zeros(0, complex), 0,
         "psi has 0 amplitudes, but the Hamiltonian acts on 3 qubits and needs 2^3 = 8"),
        (lambda: Hamiltonian([]), PSI3, 0, "the Hamiltonian has no words; it needs at least one"),
        (lambda: build([(1.0, "I" * 64)]), PSI3, 0,
         "the Hamiltonian acts on 64 qubits; evolve supports at most 63"),
        (lambda: build([(1.0, "X" * 200)]), PSI3, 0,
         "the Hamiltonian acts on 200 qubits; evolve supports at most 63"),
        (lambda: HAM3, PSI3, -1, "num_threads must be 0 (serial) or positive, got -1"),
        (lambda: HAM3, PSI3, -(2**31),
         "num_threads must be 0 (serial) or positive, got -2147483648"),
    ],
    ids=["short", "long", "empty", "no-words", "64-qubits", "200-qubits", "neg-1", "int32-min"],
)
def test_value_errors(make_ham, psi, threads, message):
    with pytest.raises(ValueError) as info:
        evolve(make_ham(), psi, 0.5, threads)
    assert str(info.value) == message


# --- ownership --------------------------------------------------------------


def test_result_owns_its_buffer():
    rng = np.random.default_rng(4)
    terms = random_terms(rng, 4, 6)
    ham = build(terms)
    psi = random_state(rng, 4)
    first = evolve(ham, psi, 0.3, 0)
    second = evolve(ham, psi, 0.3, 0)
    copy = first.copy()
    assert not np.shares_memory(first, second)
    del ham, psi
    gc.collect()
    for _ in range(10):
        evolve(build(terms), random_state(rng, 4), 0.3, 0)  # reuse freed memory
    np.testing.assert_array_equal(first, copy)
    np.testing.assert_array_equal(first, second)
