"""velmora.PauliSum against independent references: Kronecker-product matrices,
Qiskit's and OpenFermion's own matrices, and the refusals of bad input."""

import pickle
from fractions import Fraction

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
    for array in (H.coeffs, H.coeffs[1:], H.coeffs.view(np.float64)):
        with pytest.raises(ValueError, match="WRITEABLE"):
            array.flags.writeable = True
    with pytest.raises(ValueError):
        np.ndarray((3,), np.complex128, buffer=H.coeffs)[0] = 7.0
    np.testing.assert_array_equal(H.coeffs, [1, 0, 2.5j])
    mine = H.coeffs.copy()
    mine[0] = 7.0
    assert H.coeffs[0] == 1 and H.terms[0] == ("XZ", 1)
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
    ([("XX", "1.0")], TypeError, r"term 0 \('XX'\): the coefficient '1.0' is a str, not a number"),
    ([("XX", True)], TypeError, "is a bool"),
    ([("XX", None)], TypeError, r"term 0 \('XX'\): the coefficient None is not a number"),
    ([("XX", 1), ("ZZ", float("nan"))], ValueError,
     r"term 1 \('ZZ'\): the coefficient .*nan.* is not finite"),
    ([("XX", 1), ("ZY", 10**400)], OverflowError,
     r"term 1 \('ZY'\): the coefficient 100000000000\.\.\.\(401 digits\) is too large for a "
     r"double \(the largest finite one is about 1\.8e\+308\)"),
    ([("XX", -(10**400))], OverflowError, r"term 0 \('XX'\): the coefficient -10+\.\.\.\(401 digits"),
    ([("IX", Fraction(10**400, 3))], OverflowError,
     r"term 0 \('IX'\): the coefficient Fraction\(1000+\.\.\. is too large"),
    ([("XX", complex(1, float("inf")))], ValueError, "not finite"),
]


@pytest.mark.parametrize("terms,error,message", BAD_TERMS)
def test_bad_terms_are_refused_with_the_term_named(terms, error, message):
    with pytest.raises(error, match=message):
        PauliSum(terms)


BAD_STATES = [  # (psi, num_threads, exception, message)
    (np.zeros(8), None, ValueError, "psi has 8 amplitudes, but the PauliSum acts on 2 qubits"),
    (np.zeros((2, 2)), None, ValueError,
     r"psi has rows of 2 amplitudes, but the PauliSum acts on 2 qubits and needs 2\^2 = 4"),
    (np.zeros((2, 2, 4)), None, ValueError,
     r"psi must be a 1-D array of amplitudes or a 2-D array of states \(one per row\), got shape"),
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


def qiskit_op(H):
    from qiskit.quantum_info import SparsePauliOp

    return SparsePauliOp.from_list(H.terms)


H_A = [("ZZI", 1.0), ("XIY", -0.5j), ("ZZI", 2.0), ("IIX", 0.25)]
H_B = [("XIY", 0.5j), ("YYY", 1.5), ("IIX", -0.25)]
ARITHMETIC = [  # (name, the velmora expression, Qiskit's expression, the expected terms)
    ("sub", lambda a, b: a - b, lambda a, b: a - b,
     H_A + [("XIY", -0.5j), ("YYY", -1.5), ("IIX", 0.25)]),
    ("neg", lambda a, b: -a, lambda a, b: -a, [(label, -c) for label, c in H_A]),
    ("add", lambda a, b: a + b, lambda a, b: a + b, H_A + H_B),
    ("sub_self", lambda a, b: a - a, lambda a, b: a - a, H_A + [(l, -c) for l, c in H_A]),
    ("scaled", lambda a, b: 2 * a - 0.5j * b, lambda a, b: 2 * a - 0.5j * b,
     [(l, 2 * c) for l, c in H_A] + [(l, -0.5j * c) for l, c in H_B]),
    ("numpy_scalars", lambda a, b: np.float64(2) * a - b * np.complex128(0.5j),
     lambda a, b: np.float64(2) * a - b * np.complex128(0.5j),
     [(l, 2 * c) for l, c in H_A] + [(l, -0.5j * c) for l, c in H_B]),
]


@pytest.mark.parametrize("ours,theirs,expected", [r[1:] for r in ARITHMETIC],
                         ids=[r[0] for r in ARITHMETIC])
def test_arithmetic_concatenates_like_qiskit_and_matches_the_matrices(ours, theirs, expected):
    a, b = PauliSum(H_A), PauliSum(H_B)
    result = ours(a, b)
    assert result.terms == expected
    assert result.terms == theirs(qiskit_op(a), qiskit_op(b)).to_list()
    np.testing.assert_allclose(result.to_sparse().toarray(),
                               ours(a.to_sparse().toarray(), b.to_sparse().toarray()), atol=1e-15)


SIMPLIFY = [  # (terms, atol, the expected terms: merged, first appearance first)
    (H_A, 0.0, [("ZZI", 3.0), ("XIY", -0.5j), ("IIX", 0.25)]),
    (H_A, 0.3, [("ZZI", 3.0), ("XIY", -0.5j)]),
    (H_A + H_B, 0.0, [("ZZI", 3.0), ("YYY", 1.5)]),                # two labels cancel exactly
    (H_A + H_B, 1.5, [("ZZI", 3.0)]),                              # |coeff| == atol is dropped
    (H_A + H_B, float("inf"), [("III", 0)]),
    ([("XY", 1.0), ("XY", -1.0)], 0.0, [("II", 0)]),               # nothing left: identity * 0
    ([("X", 1e16), ("X", 1.0), ("X", -1e16)], 0.0, [("X", 1.0)]),  # summed without rounding
    ([("Z", 0.1j), ("Z", 0.2j), ("Z", 0.3), ("I", 0)], 0.0, [("Z", 0.3 + 0.30000000000000004j)]),
    ([("ZX", 0.0), ("ZX", -0.0)], 0.0, [("II", 0)]),
]


@pytest.mark.parametrize("terms,atol,expected", SIMPLIFY)
def test_simplify_merges_in_order_of_first_appearance(terms, atol, expected):
    H = PauliSum(terms)
    result = H.simplify(atol)
    assert result.terms == [(label, complex(c)) for label, c in expected]
    assert H.terms == PauliSum(terms).terms  # H itself unchanged
    if not (np.isfinite(atol) and all(abs(c) < 1e15 for _, c in terms)):
        return  # Qiskit and the matrix sum the coefficients one by one
    reference = qiskit_op(H).simplify(atol=atol, rtol=0.0)
    assert [label for label, _ in reference.to_list()] == [label for label, _ in expected]
    if atol == 0.0:
        np.testing.assert_allclose(result.to_sparse().toarray(), H.to_sparse().toarray(),
                                   atol=1e-15)


@pytest.mark.parametrize("seed", range(4))
def test_simplify_of_random_sums_agrees_with_qiskit(seed):
    rng = np.random.default_rng(seed)
    pool = ["".join(rng.choice(list("IXYZ"), size=4)) for _ in range(6)]
    terms = [(pool[k], complex(rng.normal(), rng.normal())) for k in rng.integers(0, 6, size=25)]
    H = PauliSum(terms)
    ours = H.simplify(atol=0.5)
    theirs = qiskit_op(H).simplify(atol=0.5, rtol=0.0).to_list()
    assert [l for l, _ in ours.terms] == [l for l, _ in theirs]
    np.testing.assert_allclose(ours.coeffs, [c for _, c in theirs], rtol=1e-14)


def test_matmul_is_apply():
    rng = np.random.default_rng(5)
    H = as_pauli_sum(random_terms(rng, 5, 12, complex_coeffs=True))
    psi = random_state(rng, 5)
    assert (H @ psi).tobytes() == H.apply(psi).tobytes()
    assert (H @ list(psi)).tobytes() == H.apply(psi).tobytes()


BAD_OPERATIONS = [  # (operation on H = PauliSum([("XZ", 1.0)]), exception, message)
    (lambda H: H - PauliSum([("XZI", 1.0)]), ValueError,
     "H - G: H acts on 2 qubits and G on 3; both need the same number"),
    (lambda H: H + PauliSum([("X", 1.0)]), ValueError, r"H \+ G: H acts on 2 qubits and G on 1"),
    (lambda H: H - "1", TypeError, "unsupported operand"),
    (lambda H: H @ PauliSum([("XZI", 1.0)]), ValueError, r"H @ G: H acts on 2 qubits and G on 3"),
    (lambda H: H @ np.ones(8), ValueError, "psi has 8 amplitudes, but the PauliSum acts on 2"),
    (lambda H: H @ 1.0, ValueError, "psi must be a 1-D array"),
    (lambda H: np.ones(4) @ H, TypeError, "unsupported operand"),
    (lambda H: np.ones(4) * H, TypeError, "unsupported operand"),
    (lambda H: 10**400 * H, OverflowError, r"the scalar 100000000000\.\.\.\(401 digits\) is too"),
    (lambda H: float("nan") * H, ValueError, "the scalar .*nan.* is not finite"),
    (lambda H: H.simplify("0"), TypeError, "atol must be a real number, got str"),
    (lambda H: H.simplify(True), TypeError, "atol must be a real number, got bool"),
    (lambda H: H.simplify(1e-3j), TypeError, "atol must be a real number, got complex"),
    (lambda H: H.simplify(-1e-12), ValueError, "atol must be >= 0, got -1e-12"),
    (lambda H: H.simplify(float("nan")), ValueError, "atol must be >= 0, got nan"),
    (lambda H: PauliSum([("XX", 1e308), ("ZZ", 1.0), ("XX", 1e308)]).simplify(), OverflowError,
     "simplify: the coefficients of 'XX' sum beyond the double range"),
]


@pytest.mark.parametrize("operation,error,message", BAD_OPERATIONS)
def test_bad_operations_are_refused(operation, error, message):
    with pytest.raises(error, match=message):
        operation(PauliSum([("XZ", 1.0)]))
