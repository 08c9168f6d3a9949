"""Common spin models as `PauliSum`s, and the label helper they share.

Every chain numbers its sites by qubit: site q is qubit q, the letter at
position n - 1 - q of each label.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping

import numpy as np

from velmora.pauli_sum import PauliSum


def pauli_label(num_qubits: int, placed: Mapping[int, str] | Iterable[tuple[int, str]]) -> str:
    """The label with the given letters on the given qubits and I elsewhere;
    qubit 0 is the last letter. ``pauli_label(3, {0: "X"}) == "IIX"``."""
    letters = ["I"] * num_qubits
    pairs = placed.items() if isinstance(placed, Mapping) else placed
    for qubit, letter in pairs:
        q = int(qubit)
        if not 0 <= q < num_qubits:
            raise ValueError(f"qubit {q} is outside 0..{num_qubits - 1}")
        letters[num_qubits - 1 - q] = letter
    return "".join(letters)


def ising_chain(num_qubits: int, j: float = 1.0, h: float = 1.0) -> PauliSum:
    """The open transverse-field Ising chain -J sum Z_q Z_{q+1} - h sum X_q
    (2n - 1 terms: the bonds first, then the fields)."""
    n = num_qubits
    bonds = [(pauli_label(n, {q: "Z", q + 1: "Z"}), -j) for q in range(n - 1)]
    return PauliSum(bonds + [(pauli_label(n, {q: "X"}), -h) for q in range(n)])


def xxz_ring(num_qubits: int, delta: float = 0.5) -> PauliSum:
    """The periodic XXZ ring sum X_q X_{q+1} + Y_q Y_{q+1} + delta Z_q Z_{q+1}
    (3n terms, site by site)."""
    n = num_qubits
    terms = []
    for q in range(n):
        r = (q + 1) % n
        terms += [(pauli_label(n, {q: "X", r: "X"}), 1.0),
                  (pauli_label(n, {q: "Y", r: "Y"}), 1.0),
                  (pauli_label(n, {q: "Z", r: "Z"}), delta)]
    return PauliSum(terms)


def random_local(num_qubits: int, num_terms: int = 500, locality: int = 4,
                 seed: int = 2024) -> PauliSum:
    """`num_terms` random words, each with X, Y or Z on `locality` distinct
    random qubits and a standard-normal coefficient. The same arguments give
    the same operator on every machine (NumPy's PCG64 generator)."""
    rng = np.random.default_rng(seed)
    terms = []
    for _ in range(num_terms):
        qubits = rng.choice(num_qubits, size=locality, replace=False)
        letters = rng.choice(list("XYZ"), size=locality)
        terms.append((pauli_label(num_qubits, zip(qubits.tolist(), letters.tolist())),
                      float(rng.normal())))
    return PauliSum(terms)
