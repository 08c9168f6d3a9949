"""Building operators: products, powers, scalars and commutators of PauliSums
against dense matrices; QuSpin's operator strings against QuSpin's own
matrices; the observables of velmora.models against their definitions."""

import warnings

import numpy as np
import pytest
from reference import dense_hamiltonian, random_terms

import velmora
from velmora import PauliSum, Sector, commutator
from velmora.models import (heisenberg_chain, j1j2_square, staggered_z, total_spin_squared,
                            total_weight, total_x, total_z, xxz_chain)


def dense(H):
    return H.to_sparse().toarray()


def random_sum(seed, n=3, words=5, complex_coeffs=True):
    terms = random_terms(np.random.default_rng(seed), n, words, complex_coeffs)
    return PauliSum([(label, c) for c, label in terms])


PAIRS = [(random_sum(s), random_sum(s + 100)) for s in range(4)] + [
    (heisenberg_chain(4), total_z(4)),                       # commute: [H, G] = 0
    (PauliSum([("XYZI", 1.5)]), PauliSum([("YXIZ", -2j)])),
]


@pytest.mark.parametrize("H, G", PAIRS)
def test_products_commutators_and_scalars_against_dense_matrices(H, G):
    h, g = dense(H), dense(G)
    identity = np.eye(h.shape[0])
    np.testing.assert_allclose(dense(H @ G), h @ g, atol=1e-12)
    np.testing.assert_allclose(dense(commutator(H, G)), h @ g - g @ h, atol=1e-12)
    np.testing.assert_allclose(dense(H ** 3), h @ h @ h, atol=1e-11)
    np.testing.assert_allclose(dense(H ** 0), identity)
    for result, expected in [(H + 2.5, h + 2.5 * identity), (1j + H, h + 1j * identity),
                             (H - 2, h - 2 * identity), (3 - H, 3 * identity - h)]:
        np.testing.assert_allclose(dense(result), expected, atol=1e-14)
    labels = [label for label, _ in (H @ G).terms]
    assert len(labels) == len(set(labels))  # merged


def test_phases_are_exact_and_exact_cancellations_drop():
    X, Y, Z = (PauliSum([(a, 1.0)]) for a in "XYZ")
    assert (X @ Y).terms == [("Z", 1j)] and (Y @ X).terms == [("Z", -1j)]
    assert (Z @ X).terms == [("Y", 1j)] and (X @ Z).terms == [("Y", -1j)]
    assert commutator(X, Y).terms == [("Z", 2j)]
    assert commutator(heisenberg_chain(6), total_z(6)).terms == [("IIIIII", 0j)]
    assert ((X + Z) ** 2).terms == [("I", 2 + 0j)]
    # H + 0 and sum() add no identity term.
    assert (X + 0).terms == X.terms and sum([X, Y]).terms == (X + Y).terms
    # The products of a 4x4 J1-J2 sum: H^2 commutes with H, and its trace is
    # sum |c|^2 times the dimension.
    H = j1j2_square((4, 4), 0.5)
    square = H ** 2
    assert commutator(square, H).terms == [("I" * 16, 0j)]
    identity = dict(square.terms)["I" * 16]
    assert identity == pytest.approx(sum(abs(c) ** 2 for _, c in H.terms), rel=1e-15)


# -- QuSpin's operator strings --------------------------------------------------------

quspin_basis = pytest.importorskip("quspin.basis")
quspin_operators = pytest.importorskip("quspin.operators")
QUIET = dict(dtype=np.complex128, check_herm=False, check_symm=False, check_pcon=False)

STATIC = [
    # QuSpin's own examples: the XXZ chain with a field, and the hopping of its tutorials
    [["+-", [[0.5, i, i + 1] for i in range(3)]], ["-+", [[0.5, i, i + 1] for i in range(3)]],
     ["zz", [[0.3, i, i + 1] for i in range(3)]], ["z", [[0.2, i] for i in range(4)]]],
    [["xx", [[1.0, 0, 2]]], ["yz", [[-0.7, 3, 1]]], ["x", [[0.4, 3]]]],
    [["+", [[1.0 + 0.5j, 1]]], ["-", [[1.0 - 0.5j, 1]]], ["+-z", [[0.3, 0, 2, 3]]]],
    [["zz", [[1.0, 2, 2]]], ["+-", [[2.0, 1, 1]]], ["I", [[0.5, 2]]]],  # repeated sites
]


@pytest.mark.parametrize("pauli", [1, 0, -1])
@pytest.mark.parametrize("static", STATIC)
def test_quspin_strings_give_quspins_matrix(static, pauli):
    basis = quspin_basis.spin_basis_1d(4, pauli=pauli)
    theirs = quspin_operators.hamiltonian(static, [], basis=basis, **QUIET).toarray()
    np.testing.assert_allclose(dense(PauliSum.from_quspin(static, 4, pauli=pauli)), theirs,
                               atol=1e-14)


def test_quspin_occupation_is_the_hard_core_bosons():
    static = [["n", [[0.7, 0]]], ["+-", [[1.0, 0, 1]]], ["nn", [[0.2, 0, 1]]]]
    basis = quspin_basis.boson_basis_1d(2, sps=2)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = quspin_operators.hamiltonian(static, [], basis=basis, **QUIET).toarray()
    # boson_basis_1d's "+-" is b+ b-, velmora's pauli=-1 ladder operators.
    np.testing.assert_allclose(dense(PauliSum.from_quspin(static, 2, pauli=-1)), theirs,
                               atol=1e-14)


# -- observables ------------------------------------------------------------------------

def weights_of(n):
    return np.array([bin(x).count("1") for x in range(2**n)], dtype=float)


def test_observables_against_their_definitions():
    n = 4
    w = weights_of(n)
    np.testing.assert_allclose(np.diag(dense(total_weight(n))), w)
    np.testing.assert_allclose(np.diag(dense(total_z(n))), n - 2 * w)
    bits = (np.arange(2**n)[:, None] >> np.arange(n)) & 1
    np.testing.assert_allclose(np.diag(dense(staggered_z(n))),
                               ((1 - 2 * bits) * (-1.0) ** np.arange(n)).sum(axis=1))
    # S^2 from the spin operators, S = sum_q sigma_q / 2.
    s = [dense_hamiltonian([(0.5, "".join(a if j == q else "I" for j in range(n)))
                            for q in range(n)]) for a in "XYZ"]
    np.testing.assert_allclose(dense(total_spin_squared(n)), sum(m @ m for m in s), atol=1e-13)
    np.testing.assert_allclose(dense(total_x(n)), 2 * s[0], atol=1e-14)
    # 2-D staggering: (-1)^(x + y) on the 3x2 lattice, site x + 3 y.
    signs = [c.real for _, c in staggered_z((3, 2)).terms]
    assert signs == [1, -1, 1, -1, 1, -1]


def test_ground_state_quantum_numbers_in_a_sector():
    # The 8-site Heisenberg ring's ground state is a singlet at zero magnetisation.
    sector = Sector.chain(8, weight=4, momentum=0)
    phi = velmora.eigsh(heisenberg_chain(8, periodic=True).in_sector(sector)).eigenvectors[0]
    psi = sector.embed(phi)
    assert abs(total_spin_squared(8).expectation(psi)) < 1e-9
    assert total_weight(8).expectation(psi) == pytest.approx(4.0)
    assert xxz_chain(8).num_qubits == 8


BAD = [
    (lambda: PauliSum([("X", 1.0)]) @ PauliSum([("XX", 1.0)]), ValueError, "same number"),
    (lambda: PauliSum([("X", 1.0)]) ** -1, ValueError, "k >= 0"),
    (lambda: PauliSum([("X", 1.0)]) ** 1.5, TypeError, "unsupported operand"),
    (lambda: PauliSum([("X", 1.0)]) + "1", TypeError, "unsupported operand"),
    (lambda: PauliSum([("X", 1.0)]) + float("nan"), ValueError, "not finite"),
    (lambda: commutator(PauliSum([("X", 1.0)]), 1.0), TypeError, "G must be a velmora.PauliSum"),
    (lambda: PauliSum.from_quspin([["zq", [[1.0, 0, 1]]]], 2), ValueError, "has 'q'"),
    (lambda: PauliSum.from_quspin([["zz", [[1.0, 0]]]], 2), ValueError, "needs a coefficient"),
    (lambda: PauliSum.from_quspin([["zz", [[1.0, 0, 2]]]], 2), ValueError, "site 2"),
    (lambda: PauliSum.from_quspin([["z", [["a", 0]]]], 2), TypeError, "not a number"),
    (lambda: PauliSum.from_quspin([["z", []]], 2), ValueError, "no couplings"),
    (lambda: PauliSum.from_quspin([["z", [[1.0, 0]]]], 2, pauli=2), ValueError, "pauli"),
    (lambda: PauliSum.from_quspin("zz", 2), TypeError, "static must be a list"),
    (lambda: total_z(0), ValueError, "num_qubits must be at least 1"),
    (lambda: staggered_z("4"), TypeError, "shape"),
]


@pytest.mark.parametrize("make, error, match", BAD)
def test_bad_input_is_refused_naming_the_argument(make, error, match):
    with pytest.raises(error, match=match):
        make()
