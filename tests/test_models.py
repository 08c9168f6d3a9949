"""velmora.models against Qiskit's qubit placement, dense spectra with closed
forms, and the refusals of bad arguments."""

import numpy as np
import pytest
from qiskit.quantum_info import SparsePauliOp

import velmora
from reference import random_state
from velmora import PauliSum
from velmora.models import (heisenberg_chain, ising_chain, pauli_label, random_local,
                            xxz_chain, xxz_ring, z_diagonal)


def qiskit_chain(n, bonds, delta):
    """XX + YY + delta ZZ on each bond (q, r), placed by Qiskit's qubit indices."""
    return SparsePauliOp.from_sparse_list(
        [(word, [q, r], c) for q, r in bonds for word, c in (("XX", 1), ("YY", 1), ("ZZ", delta))],
        num_qubits=n)


CHAINS = [  # (the model, n, its bonds, delta)
    (lambda: xxz_chain(2, 0.3), 2, [(0, 1)], 0.3),
    (lambda: xxz_chain(2, 0.3, periodic=True), 2, [(0, 1)], 0.3),  # the bond is counted once
    (lambda: xxz_ring(2, -1.5), 2, [(0, 1)], -1.5),
    (lambda: xxz_chain(5, -0.7), 5, [(0, 1), (1, 2), (2, 3), (3, 4)], -0.7),
    (lambda: xxz_chain(4, 2, periodic=True), 4, [(0, 1), (1, 2), (2, 3), (3, 0)], 2.0),
    (lambda: xxz_ring(3), 3, [(0, 1), (1, 2), (2, 0)], 0.5),
    (lambda: heisenberg_chain(3), 3, [(0, 1), (1, 2)], 1.0),
    (lambda: heisenberg_chain(2, periodic=True), 2, [(0, 1)], 1.0),
    (lambda: heisenberg_chain(5, periodic=True), 5, [(0, 1), (1, 2), (2, 3), (3, 4), (4, 0)], 1.0),
]


@pytest.mark.parametrize("make,n,bonds,delta", CHAINS)
def test_chains_have_the_terms_of_their_bonds_in_order(make, n, bonds, delta):
    H = make()
    assert H.terms == qiskit_chain(n, bonds, delta).to_list()
    assert H.num_qubits == n and len(H) == 3 * len(bonds)


@pytest.mark.parametrize("make,names", [
    (lambda **kw: ising_chain(5, 0.7, -0.4, **kw), ("zz", "x")),
    (lambda **kw: xxz_chain(5, -0.7, **kw), ("xy", "zz")),
    (lambda **kw: xxz_chain(2, 0.3, periodic=True, **kw), ("xy", "zz")),
    (lambda **kw: xxz_ring(6, 2.0, **kw), ("xy", "zz")),
])
def test_chain_parts_add_up_to_the_chain(make, names):
    whole, parts = make(), make(parts=True)
    assert tuple(parts) == names
    np.testing.assert_allclose(sum(parts[k].to_sparse().toarray() for k in names),
                               whole.to_sparse().toarray(), atol=1e-15)
    # Each part is diagonal or not: the letters of each name, and nothing else.
    for name, part in parts.items():
        assert {letter for label, _ in part.terms for letter in label} <= set(name.upper()) | {"I"}


@pytest.mark.parametrize("n", [3, 4, 7, 10])
@pytest.mark.parametrize("delta", [0.5, -1.25, 0, 3])
def test_xxz_ring_from_three_sites_keeps_its_terms(n, delta):
    terms = []
    for q in range(n):
        r = (q + 1) % n
        terms += [(pauli_label(n, {q: "X", r: "X"}), 1.0), (pauli_label(n, {q: "Y", r: "Y"}), 1.0),
                  (pauli_label(n, {q: "Z", r: "Z"}), delta)]
    assert xxz_ring(n, delta) == PauliSum(terms) == xxz_chain(n, delta, periodic=True)
    assert xxz_ring(n) == xxz_ring(n, 0.5)


SPECTRA = [  # (the model, its eigenvalues in closed form)
    # two sites: the triplet (1, 1, 1) and the singlet -3 of sigma_0.sigma_1, the bond once
    (lambda: heisenberg_chain(2), [-3, 1, 1, 1]),
    (lambda: heisenberg_chain(2, periodic=True), [-3, 1, 1, 1]),
    (lambda: xxz_ring(2, 0.4), [-2.4, 0.4, 0.4, 1.6]),            # -2 - d, d, d, 2 - d
    # sigma_1.(sigma_0 + sigma_2) = 2 (S^2 - S_1^2 - S_02^2) in spin-1/2 units
    (lambda: heisenberg_chain(3), [-4, -4, 0, 0, 2, 2, 2, 2]),
    # (sigma_0 + sigma_2).(sigma_1 + sigma_3) = 2 (S^2 - S_02^2 - S_13^2)
    (lambda: heisenberg_chain(4, periodic=True), [-8] + [-4] * 3 + [0] * 7 + [4] * 5),
    (lambda: ising_chain(1, h=0.7), [-0.7, 0.7]),
]


@pytest.mark.parametrize("make,expected", SPECTRA)
def test_spectra_have_their_closed_forms(make, expected):
    energies = np.linalg.eigvalsh(make().to_sparse().toarray())
    np.testing.assert_allclose(energies, expected, atol=1e-12)


@pytest.mark.parametrize("n,qubit", [(1, 0), (3, 0), (3, 2), (6, 4)])
def test_z_diagonal_is_the_diagonal_of_z_on_the_qubit(n, qubit):
    diagonal = z_diagonal(n, qubit)
    assert diagonal.dtype == np.float64 and diagonal.shape == (2**n,)
    word = SparsePauliOp.from_sparse_list([("Z", [qubit], 1)], num_qubits=n).to_matrix()
    np.testing.assert_array_equal(diagonal, word.diagonal().real)


def test_z_diagonal_observable_follows_the_pauli_word_along_a_trajectory():
    n = 5
    H = ising_chain(n, 1.0, 0.8)
    psi = random_state(np.random.default_rng(7), n)
    psi /= np.linalg.norm(psi)
    words = [PauliSum([(pauli_label(n, {q: "Z"}), 1.0)]) for q in (0, 3)]
    result = velmora.trajectory(H, psi, [0.0, 0.4, 1.1],
                                observables=[z_diagonal(n, 0), z_diagonal(n, 3)] + words)
    np.testing.assert_allclose(result.expectations[:, :2], result.expectations[:, 2:], atol=1e-12)


BAD_ARGUMENTS = [  # (call, exception, message)
    (lambda: xxz_ring(1), ValueError, r"num_qubits must be at least 2 \(a chain needs one bond\), got 1"),
    (lambda: xxz_ring(0, 0.5), ValueError, "num_qubits must be at least 2"),
    (lambda: xxz_chain(1), ValueError, "num_qubits must be at least 2"),
    (lambda: heisenberg_chain(-3, periodic=True), ValueError, r"at least 2 .*, got -3"),
    (lambda: xxz_ring(4.0), TypeError, "num_qubits must be an int, got float"),
    (lambda: xxz_chain(True), TypeError, "num_qubits must be an int, got bool"),
    (lambda: xxz_chain(4, float("nan")), ValueError, "delta must be finite, got nan"),
    (lambda: xxz_ring(4, 1j), TypeError, "delta must be a real number, got complex"),
    (lambda: ising_chain(0), ValueError, "num_qubits must be at least 1, got 0"),
    (lambda: ising_chain(3, j="1"), TypeError, "j must be a real number, got str"),
    (lambda: ising_chain(3, h=float("inf")), ValueError, "h must be finite, got inf"),
    (lambda: ising_chain(3, parts=1), TypeError, "parts must be True or False, got 1"),
    (lambda: xxz_ring(3, parts="yes"), TypeError, "parts must be True or False"),
    (lambda: random_local(3, 5, 4), ValueError, "locality must be at most num_qubits = 3"),
    (lambda: random_local(3, 0), ValueError, "num_terms must be at least 1, got 0"),
    (lambda: random_local(0, 5, 1), ValueError, "num_qubits must be at least 1, got 0"),
    (lambda: z_diagonal(3, 3), ValueError, "qubit must be in 0..2 for num_qubits = 3, got 3"),
    (lambda: z_diagonal(3, -1), ValueError, "qubit must be at least 0, got -1"),
    (lambda: z_diagonal(3, 1.0), TypeError, "qubit must be an int, got float"),
    (lambda: z_diagonal(0, 0), ValueError, "num_qubits must be at least 1, got 0"),
    (lambda: z_diagonal(41, 0), ValueError, "num_qubits must be at most 40"),
    (lambda: pauli_label(2, {2: "X"}), ValueError, r"qubit 2 is outside 0\.\.1"),
    (lambda: pauli_label(2, [(0, "X"), (0, "Z")]), ValueError, "qubit 0 is given more than one"),
    (lambda: pauli_label(2, {0: "A"}), ValueError, "qubit 0: the letter must be one of I, X, Y, Z"),
    (lambda: pauli_label(2, {0.5: "X"}), TypeError, "qubit 0.5 must be an int, got float"),
]


@pytest.mark.parametrize("call,error,message", BAD_ARGUMENTS)
def test_bad_arguments_are_refused_by_name(call, error, message):
    with pytest.raises(error, match=message):
        call()
