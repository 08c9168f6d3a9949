"""velmora.PauliSum against independent references: Kronecker-product matrices,
Qiskit's and OpenFermion's own matrices, and the refusals of bad input."""

import pickle

import numpy as np
import pytest

import _velmora
from reference import dense_hamiltonian, exact_evolve, random_state, random_terms
from velmora import PauliSum
from velmora.models import ising_chain, pauli_label, random_local, xxz_ring


def as_pauli_sum(terms):
    """reference terms are (coeff, letters); PauliSum takes (label, coeff)."""
    return PauliSum([(s, c) for c, s in terms])


RANDOM_SUMS = [  # (qubits, words, complex coefficients, seed)
    (1, 3, False, 1), (2, 6, True, 2), (3, 5, False, 3), (5, 12, True, 4),
    (6, 20, False, 5), (8, 30, True, 6),
]


@pytest.mark.parametrize("num_qubits,num_words,complex_coeffs,seed", RANDOM_SUMS)
def test_matrix_apply_and_expectation_match_kronecker_products(num_qubits, num_words,
                                                              complex_coeffs, seed):
    rng = np.random.default_rng(seed)
    terms = random_terms(rng, num_qubits, num_words, complex_coeffs)
    terms.append((0.75, "I" * num_qubits))
    terms.append((-0.5, "Y" * num_qubits))
    H = as_pauli_sum(terms)
    dense = dense_hamiltonian(terms)
    matrix = H.to_sparse()
    assert matrix.format == "csr" and matrix.shape == dense.shape
    np.testing.assert_allclose(matrix.toarray(), dense, atol=1e-13)

    psi = random_state(rng, num_qubits)
    np.testing.assert_allclose(H.apply(psi), dense @ psi, atol=1e-12)
    value = H.expectation(psi)
    np.testing.assert_allclose(value, np.vdot(psi, dense @ psi), rtol=1e-12)
    assert isinstance(value, float) is (not complex_coeffs)
    assert H.is_hermitian is (not complex_coeffs)
    assert H.norm_bound == pytest.approx(sum(abs(c) for c, s in terms if s.strip("I")))


@pytest.mark.parametrize("make", [lambda: ising_chain(13), lambda: xxz_ring(12),
                                  lambda: random_local(12, 60, seed=9)],
                         ids=["ising13", "xxz12", "random12"])
def test_apply_has_the_same_bits_for_every_thread_count(make):
    H = make()  # built in the test: bound instances in parameter lists outlive the module
    psi = random_state(np.random.default_rng(3), H.num_qubits)
    reference = H.apply(psi, num_threads=0)
    for threads in (1, 2, 3, None):
        assert H.apply(psi, num_threads=threads).tobytes() == reference.tobytes()
        assert H.expectation(psi, num_threads=threads) == H.expectation(psi, num_threads=0)
    np.testing.assert_allclose(reference, H.to_sparse() @ psi, atol=1e-12)


def test_core_hamiltonian_is_the_same_operator():
    rng = np.random.default_rng(11)
    terms = random_terms(rng, 5, 10) + [(0.3, "IIIII")]
    H = as_pauli_sum(terms)
    assert H.hamiltonian is H.hamiltonian  # built once
    psi = random_state(rng, 5)
    out = _velmora.evolve(H.hamiltonian, psi, 0.4, 0)
    np.testing.assert_allclose(out, exact_evolve(dense_hamiltonian(terms), psi, 0.4), atol=1e-12)


def test_terms_are_kept_in_order_and_the_object_is_immutable():
    H = PauliSum([("XZ", 1), ("XZ", 0), ("IY", 2.5j)])
    assert H.terms == [("XZ", 1 + 0j), ("XZ", 0j), ("IY", 2.5j)]
    assert (H.num_qubits, len(H)) == (2, 3)
    H.terms.append(("ZZ", 1.0))  # a copy: the operator does not change
    assert len(H) == 3
    with pytest.raises(AttributeError):
        H.num_qubits = 3
    with pytest.raises(AttributeError):
        H._terms = ()
    with pytest.raises(ValueError):
        H.coeffs[0] = 2.0
    clone = pickle.loads(pickle.dumps(H))
    assert clone == H and clone.terms == H.terms and hash(clone) == hash(H)
    assert PauliSum({"XZ": 1.0, "ZZ": 2}) == PauliSum([("XZ", 1.0), ("ZZ", 2.0)])
    assert (2 * H).terms == [(label, 2 * c) for label, c in H.terms]
    assert (H + H).terms == H.terms + H.terms


def test_models_place_qubit_zero_last():
    assert pauli_label(4, {0: "X", 3: "Z"}) == "ZIIX"
    assert ising_chain(3).terms == [("IZZ", -1), ("ZZI", -1), ("IIX", -1), ("IXI", -1),
                                    ("XII", -1)]
    assert random_local(6, 5, seed=1) == random_local(6, 5, seed=1)


def test_to_sparse_refuses_beyond_the_limit_and_says_how_much():
    H = ising_chain(20)
    with pytest.raises(ValueError, match=r"20 qubits has 22020096 stored entries and needs about "
                                         r"424\.0 MiB, above max_bytes = 1\.0 MiB"):
        H.to_sparse(max_bytes=1 << 20)
    assert ising_chain(30).num_qubits == 30
    with pytest.raises(ValueError, match="above max_bytes = 1.0 GiB"):
        ising_chain(30).to_sparse()


BAD_TERMS = [  # (terms, exception, message)
    ([], ValueError, "terms is empty"),
    ("XX", TypeError, "not a single str"),
    (5, TypeError, "iterable of .label, coeff. pairs, got int"),
    ([("XX", 1.0), "ZZ"], TypeError, r"term 1: expected a \(label, coeff\) pair, got 'ZZ'"),
    ([("XX", 1.0, 2.0)], TypeError, "term 0: expected a"),
    ([(3, 1.0)], TypeError, "term 0: the label must be a str, got int"),
    ([("", 1.0)], ValueError, "term 0: the label is empty"),
    ([("XX", 1), ("XA", 1)], ValueError, "term 1: the label 'XA' has 'A' at position 1"),
    ([("xx", 1)], ValueError, "has 'x' at position 0; labels use only I, X, Y and Z"),
    ([("XX", 1), ("XXX", 1)], ValueError, "term 1: the label 'XXX' has 3 letters, but term 0 has 2"),
    ([("XX", "1.0")], TypeError, "term 0: the coefficient '1.0' is a str, not a number"),
    ([("XX", True)], TypeError, "is a bool"),
    ([("XX", None)], TypeError, "term 0: the coefficient None is not a number"),
    ([("XX", 1), ("ZZ", float("nan"))], ValueError, "term 1: the coefficient .*nan.* is not finite"),
    ([("XX", complex(1, float("inf")))], ValueError, "not finite"),
]


@pytest.mark.parametrize("terms,error,message", BAD_TERMS)
def test_bad_terms_are_refused_with_the_term_named(terms, error, message):
    with pytest.raises(error, match=message):
        PauliSum(terms)


BAD_STATES = [  # (psi, num_threads, exception, message)
    (np.zeros(8), None, ValueError, "psi has 8 amplitudes, but the PauliSum acts on 2 qubits"),
    (np.zeros((2, 2)), None, ValueError, r"psi must be a 1-D array .* shape \(2, 2\)"),
    (np.array(["a", "b", "c", "d"]), None, TypeError, "psi must hold numbers"),
    (np.zeros(4), -1, ValueError, "num_threads must be None, 0 .* got -1"),
    (np.zeros(4), 1.5, TypeError, "num_threads must be an int or None, got float"),
    (np.zeros(4), True, TypeError, "got a bool"),
]


@pytest.mark.parametrize("psi,num_threads,error,message", BAD_STATES)
@pytest.mark.parametrize("method", ["apply", "expectation"])
def test_bad_states_and_thread_counts_are_refused(method, psi, num_threads, error, message):
    H = PauliSum([("XZ", 1.0)])
    with pytest.raises(error, match=message):
        getattr(H, method)(psi, num_threads=num_threads)


def test_real_and_integer_states_are_converted():
    H = PauliSum([("XI", 1.0), ("IZ", 2.0)])
    np.testing.assert_array_equal(H.apply(np.array([1, 0, 0, 0])), [2, 0, 1, 0])
    np.testing.assert_array_equal(H.apply(np.arange(8.0)[::2]), H.apply([0, 2, 4, 6]))
