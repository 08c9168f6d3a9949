"""velmora.entanglement_entropy against closed forms, a dense partial trace and
Qiskit's partial_trace (whose qubit 0 is also the least significant bit)."""

import itertools
import math

import numpy as np
import pytest
from qiskit.quantum_info import Statevector, entropy, partial_trace

from reference import random_state
from velmora import entanglement_entropy


def state_from_bits(n, amplitude):
    """The state whose amplitude at index x is amplitude(bits of x, qubit 0 first)."""
    psi = np.array([amplitude([(x >> q) & 1 for q in range(n)]) for x in range(2**n)],
                   dtype=complex)
    return psi / np.linalg.norm(psi)


def dense_entropy(psi, qubits):
    """-tr(rho log2 rho) of the qubits kept after tracing the others out of |psi><psi|."""
    n = psi.size.bit_length() - 1
    psi = psi / np.linalg.norm(psi)
    tensor = np.multiply.outer(psi, psi.conj()).reshape((2,) * (2 * n))
    kept = [n - 1 - q for q in sorted(qubits, reverse=True)]  # axes, most significant first
    rows = "".join(chr(97 + a) if a in kept else chr(65 + a) for a in range(n))
    cols = "".join(chr(110 + a) if a in kept else chr(65 + a) for a in range(n))
    out = "".join(chr(97 + a) for a in kept) + "".join(chr(110 + a) for a in kept)
    rho = np.einsum(f"{rows}{cols}->{out}", tensor).reshape(2 ** len(kept), 2 ** len(kept))
    p = np.linalg.eigvalsh(rho)
    p = p[p > 1e-15]
    return float(-np.sum(p * np.log2(p)))


GHZ4 = state_from_bits(4, lambda b: len(set(b)) == 1)
W3 = state_from_bits(3, lambda b: sum(b) == 1)
# a Bell pair on qubits 0 and 2, qubit 1 in |+>: the pair's bits are equal
BELL02 = state_from_bits(3, lambda b: b[0] == b[2])
# a Bell pair on qubits 0 and 1, qubit 2 in (|0> + 2i|1>) / sqrt(5)
BELL01 = state_from_bits(3, lambda b: (b[0] == b[1]) * (2j if b[2] else 1))
W_ONE = -(1 / 3) * math.log2(1 / 3) - (2 / 3) * math.log2(2 / 3)

CLOSED_FORMS = [  # (state, qubits, entropy in bits)
    (np.array([1, 0, 0, 1]) / math.sqrt(2), [0], 1.0),
    (np.array([0, 1, -1, 0]), {1}, 1.0),                   # unnormalised singlet
    (np.kron([0.6, 0.8j], [1, 1]) / math.sqrt(2), [0], 0.0),
    (BELL02, [0], 1.0), (BELL02, [2], 1.0), (BELL02, [1], 0.0), (BELL02, [0, 2], 0.0),
    (BELL02, [0, 1], 1.0), (BELL02, (1, 2), 1.0),
    (BELL01, [0], 1.0), (BELL01, [1], 1.0), (BELL01, [2], 0.0), (BELL01, [1, 2], 1.0),
    (BELL01, {0, 1}, 0.0),
    (W3, [0], W_ONE), (W3, [2, 1], W_ONE),
    (GHZ4, [], 0.0), (GHZ4, range(4), 0.0),
    (np.array([1.0]), [], 0.0),
] + [(GHZ4, list(subset), 1.0) for k in (1, 2, 3)
     for subset in itertools.combinations(range(4), k)]


@pytest.mark.parametrize("psi,qubits,expected", CLOSED_FORMS)
def test_closed_forms(psi, qubits, expected):
    assert entanglement_entropy(psi, qubits) == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize("n,seed", [(2, 1), (3, 2), (5, 3), (6, 4)])
def test_random_states_match_a_partial_trace_and_their_complements(n, seed):
    rng = np.random.default_rng(seed)
    psi = random_state(rng, n)
    for k in range(1, n):
        for subset in itertools.combinations(range(n), k):
            rest = [q for q in range(n) if q not in subset]
            value = entanglement_entropy(psi, subset)
            assert value == pytest.approx(dense_entropy(psi, subset), abs=1e-11)
            assert value == pytest.approx(entanglement_entropy(psi, rest), abs=1e-11)
            reduced = partial_trace(Statevector(psi / np.linalg.norm(psi)), rest)
            assert value == pytest.approx(entropy(reduced, base=2), abs=1e-10)
            assert value <= min(k, n - k) + 1e-12


def test_scale_and_base():
    psi = random_state(np.random.default_rng(9), 4)
    bits = entanglement_entropy(psi, [1, 3])
    for scale in (1e-200, 1e200, -3j):
        assert entanglement_entropy(scale * psi, [3, 1]) == pytest.approx(bits, rel=1e-12)
    assert entanglement_entropy(psi, [1, 3], base=math.e) == pytest.approx(bits * math.log(2))
    assert entanglement_entropy(psi, np.array([1, 3]), base=4) == pytest.approx(bits / 2)


BAD_ARGUMENTS = [  # (psi, qubits, keyword arguments, exception, message)
    (np.zeros(4), [0], {}, ValueError, "psi is the zero vector"),
    (np.ones(6), [0], {}, ValueError, r"psi has 6 amplitudes; a state of n qubits has 2\^n"),
    (np.ones(0), [], {}, ValueError, "psi has 0 amplitudes"),
    (np.ones((2, 2)), [0], {}, ValueError, r"psi must be a 1-D array of amplitudes, got shape \(2, 2\)"),
    (np.array(["a", "b"]), [0], {}, TypeError, "psi must hold numbers, got dtype <U1"),
    (np.array([1, np.nan]), [0], {}, ValueError, "psi has non-finite amplitudes"),
    (np.ones(4), 0, {}, TypeError, r"qubits must be a collection .* single int \(write \[0\]"),
    (np.ones(4), None, {}, TypeError, "qubits must be a collection of qubit indices, got NoneType"),
    (np.ones(4), [0, 0], {}, ValueError, "qubits: qubit 0 is given twice"),
    (np.ones(4), [2], {}, ValueError, r"qubits: qubit 2 is outside 0\.\.1 \(psi has 2 qubits\)"),
    (np.ones(4), [-1], {}, ValueError, r"qubit -1 is outside 0\.\.1"),
    (np.ones(4), [0.0], {}, TypeError, r"qubits must hold ints, got 0\.0 \(float\)"),
    (np.ones(4), [True], {}, TypeError, r"qubits must hold ints, got True \(bool\)"),
    (np.ones(4), [0], {"base": 1}, ValueError, "base must be a finite number > 1, got 1.0"),
    (np.ones(4), [0], {"base": 0.5}, ValueError, "base must be a finite number > 1, got 0.5"),
    (np.ones(4), [0], {"base": float("inf")}, ValueError, "base must be a finite number > 1"),
    (np.ones(4), [0], {"base": "2"}, TypeError, "base must be a real number, got str"),
]


@pytest.mark.parametrize("psi,qubits,kwargs,error,message", BAD_ARGUMENTS)
def test_bad_arguments_are_refused_by_name(psi, qubits, kwargs, error, message):
    with pytest.raises(error, match=message):
        entanglement_entropy(psi, qubits, **kwargs)


# -- reduced density matrices, Rényi entropies, sector states -----------------------------

def permuted(rho, order):
    """rho on ascending qubits, re-indexed so that bit j is the qubit order[j]."""
    k = len(order)
    rank = sorted(order)
    index = np.zeros(2**k, dtype=int)
    for x in range(2**k):
        for j, q in enumerate(order):  # bit j of the new index = qubit q = bit rank.index(q)
            index[x] |= ((x >> j) & 1) << rank.index(q)
    return rho[np.ix_(index, index)]


@pytest.mark.parametrize("n, qubits, seed", [(4, [1], 1), (5, [0, 3], 2), (5, [3, 0], 3),
                                              (6, [4, 1, 2], 4), (6, [], 5)])
def test_reduced_density_matrix_matches_qiskits_partial_trace(n, qubits, seed):
    from velmora import reduced_density_matrix

    psi = random_state(np.random.default_rng(seed), n)
    rho = reduced_density_matrix(3.0 * psi, qubits)
    traced = [q for q in range(n) if q not in qubits]
    theirs = np.asarray(partial_trace(Statevector(psi / np.linalg.norm(psi)), traced).data)
    np.testing.assert_allclose(rho, permuted(theirs, qubits), atol=1e-14)
    assert rho.shape == (2 ** len(qubits),) * 2


@pytest.mark.parametrize("alpha", [0.5, 1, 2, 3.5, math.inf])
def test_renyi_entropies_from_the_spectrum_of_rho(alpha):
    from velmora import reduced_density_matrix

    psi = random_state(np.random.default_rng(7), 6)
    for qubits in ([0], [2, 5], [0, 1, 4]):
        p = np.linalg.eigvalsh(reduced_density_matrix(psi, qubits))
        p = p[p > 1e-16]
        if alpha == 1:
            expected = -np.sum(p * np.log2(p))
        elif math.isinf(alpha):
            expected = -np.log2(p.max())
        else:
            expected = np.log2(np.sum(p**alpha)) / (1 - alpha)
        found = entanglement_entropy(psi, qubits, alpha=alpha)
        assert found == pytest.approx(expected, abs=1e-12)
        # the complement has the same entropy; GHZ's is 1 bit at every order
        assert entanglement_entropy(psi, set(range(6)) - set(qubits), alpha=alpha) == \
            pytest.approx(found, abs=1e-12)
    assert entanglement_entropy(GHZ4, [0, 1], alpha=alpha) == pytest.approx(1.0, abs=1e-14)


def test_sector_states_without_embedding_by_hand():
    from velmora import Sector, reduced_density_matrix

    sector = Sector.chain(8, weight=4, momentum=2, parity=None)
    rng = np.random.default_rng(3)
    phi = rng.normal(size=len(sector)) + 1j * rng.normal(size=len(sector))
    psi = sector.embed(phi)
    for alpha in (1, 2):
        assert entanglement_entropy(phi, [0, 1, 2], alpha=alpha, sector=sector) == \
            pytest.approx(entanglement_entropy(psi, [0, 1, 2], alpha=alpha), abs=1e-13)
    np.testing.assert_allclose(reduced_density_matrix(phi, [5, 2], sector=sector),
                               reduced_density_matrix(psi, [5, 2]), atol=1e-14)


SECTOR_BAD = [
    (lambda: entanglement_entropy(GHZ4, [0], alpha=0), ValueError, "alpha must be > 0"),
    (lambda: entanglement_entropy(GHZ4, [0], alpha=float("nan")), ValueError, "alpha must be"),
    (lambda: entanglement_entropy(GHZ4, [0], alpha="2"), TypeError, "alpha must be a real"),
    (lambda: entanglement_entropy(GHZ4, [0], sector="s"), TypeError, "sector must be"),
    (lambda: entanglement_entropy(np.ones(3), [0], sector=__import__("velmora").Sector(4, weight=2)),
     ValueError, "psi has 3 amplitudes"),
]


@pytest.mark.parametrize("make, error, match", SECTOR_BAD)
def test_bad_orders_and_sectors_are_refused(make, error, match):
    with pytest.raises(error, match=match):
        make()
