"""Observables of the examples that are not sums of Pauli words; those
(energies) come from `PauliSum.expectation`."""

import numpy as np


def z_expectations(psi, num_qubits):
    """<Z_q> for every qubit q, from the probabilities of the basis states
    (qubit q is bit q of an amplitude index)."""
    prob = np.abs(psi) ** 2
    index = np.arange(psi.size)
    return np.array([prob @ (1 - 2 * ((index >> q) & 1)) for q in range(num_qubits)])
