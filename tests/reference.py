"""Dense reference constructions for the tests: Pauli words as Kronecker
products (first letter = most significant qubit) and exact evolution through
the eigendecomposition of a Hermitian matrix."""

import numpy as np

PAULI = {
    "I": np.eye(2, dtype=complex),
    "X": np.array([[0, 1], [1, 0]], dtype=complex),
    "Y": np.array([[0, -1j], [1j, 0]], dtype=complex),
    "Z": np.array([[1, 0], [0, -1]], dtype=complex),
}


def dense_word(letters):
    m = np.ones((1, 1), dtype=complex)
    for ch in letters:
        m = np.kron(m, PAULI.get(ch, PAULI["I"]))
    return m


def dense_hamiltonian(terms):
    """terms: list of (coeff, letters)."""
    return sum(c * dense_word(s) for c, s in terms)


def exact_evolve(h, psi, coeff):
    """exp(-i coeff H) psi for Hermitian H, through numpy.linalg.eigh."""
    w, v = np.linalg.eigh(h)
    return v @ (np.exp(-1j * coeff * w) * (v.conj().T @ psi))


def random_terms(rng, num_qubits, num_words, complex_coeffs=False):
    letters = np.array(list("IXYZ"))
    terms = []
    for _ in range(num_words):
        s = "".join(rng.choice(letters, size=num_qubits))
        c = rng.normal()
        if complex_coeffs:
            c = complex(c, rng.normal())
        terms.append((c, s))
    return terms


def random_state(rng, num_qubits):
    n = 2**num_qubits
    return rng.normal(size=n) + 1j * rng.normal(size=n)
