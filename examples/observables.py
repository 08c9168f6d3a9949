"""Small helpers shared by the examples: Pauli strings for chain models,
observables from amplitudes, and a dense matrix for exact checks."""

import numpy as np

from _velmora import Hamiltonian, PauliWord

_PAULI = {
    "I": np.eye(2, dtype=complex),
    "X": np.array([[0, 1], [1, 0]], dtype=complex),
    "Y": np.array([[0, -1j], [1j, 0]], dtype=complex),
    "Z": np.array([[1, 0], [0, -1]], dtype=complex),
}


def letters(num_qubits, placed):
    """A Pauli string with the given {qubit: letter}; qubit 0 is the last letter."""
    s = ["I"] * num_qubits
    for qubit, letter in placed.items():
        s[num_qubits - 1 - qubit] = letter
    return "".join(s)


def hamiltonian(terms):
    """A Hamiltonian from (coefficient, string) pairs."""
    return Hamiltonian([PauliWord(c, s) for c, s in terms])


def dense(terms):
    """The dense matrix of sum c * P: the first letter is the most significant qubit."""
    n = len(terms[0][1])
    h = np.zeros((2**n, 2**n), dtype=complex)
    for c, s in terms:
        m = np.ones((1, 1), dtype=complex)
        for ch in s:
            m = np.kron(m, _PAULI[ch])
        h += c * m
    return h


def z_expectations(psi, num_qubits):
    """<Z_q> for every qubit q, from the probabilities of the basis states."""
    prob = np.abs(psi) ** 2
    index = np.arange(psi.size)
    return np.array([prob @ (1 - 2 * ((index >> q) & 1)) for q in range(num_qubits)])


def expectation(terms, psi):
    """<psi|H|psi> / <psi|psi> without forming H: each word acts on the index bits."""
    index = np.arange(psi.size)
    n = len(terms[0][1])
    total = 0.0
    for c, s in terms:
        flip = y = z = 0
        for i, ch in enumerate(s):
            bit = 1 << (n - 1 - i)
            flip |= bit if ch in "XY" else 0
            y |= bit if ch == "Y" else 0
            z |= bit if ch == "Z" else 0
        # P|x> = i^k (-1)^popcount((y|z) & x) |x ^ flip>
        sign = 1.0 - 2.0 * (np.bitwise_count(index & (y | z)) & 1)
        p_psi = np.zeros_like(psi)
        p_psi[index ^ flip] = (1j ** bin(y).count("1")) * sign * psi
        total += c * np.vdot(psi, p_psi)
    return float(np.real(total) / np.vdot(psi, psi).real)
