"""The error promises of velmora.evolve against 200-bit ball-arithmetic
references: the true error is within tol in real time, the reported error is
never below the true one in real, imaginary and complex time (long runs,
cancelling coefficients, start states near eigenvectors or with small
overlaps), short steps meet tol with fewer products than a full step, and the
kept and regenerated Krylov bases give the same bytes. The engine's own tests
(evolution/krylov_engine.test.cc) cover coefficient scales across the double
range, the cooling of a rounded excited eigenvector and the bytes of short
steps over threads and ranks."""

import numpy as np
import pytest

from precise import Reference
from velmora import PauliSum, evolve, trajectory
from velmora.models import ising_chain, xxz_ring

LETTERS = np.array(list("IXYZ"))


def smallest_tol(H, t):
    """The smallest tol that real-time runs meet (docs/concepts/error_control.md, "The smallest tol
    that is met"): rounding alone leaves about eps * ||H|| t."""
    return max(1e-13, 5e-16 * H.norm_bound * abs(t))


# The tables below hold recipes, not operators: an operator kept by a module
# would outlive the extension modules at interpreter exit.

def random_terms(seed, num_qubits, num_words):
    rng = np.random.default_rng(seed)
    return [("".join(rng.choice(LETTERS, size=num_qubits)), float(rng.normal()))
            for _ in range(num_words)]


def random_sum(seed, num_qubits, num_words):
    return PauliSum(random_terms(seed, num_qubits, num_words))


def random_state(seed, num_qubits):
    rng = np.random.default_rng(seed)
    return rng.normal(size=2**num_qubits) + 1j * rng.normal(size=2**num_qubits)


def basis_state(num_qubits, index=0):
    psi = np.zeros(2**num_qubits, dtype=complex)
    psi[index] = 1.0
    return psi


def spectral_radius(H):
    return float(np.abs(np.linalg.eigvalsh(H.to_sparse().toarray())).max())


def true_error(H, psi, t, result):
    assert np.isfinite(result.state).all(), "a non-finite state was returned"
    return Reference(H, psi).relative_error(result.state, t)


# -- real time: tol is met and the report is above the truth -----------------

def long_run(H, psi, scaled_t, tol):
    """A case at |H| t = scaled_t, |H| the spectral radius; tol None is the
    smallest documented tol."""
    t = scaled_t / spectral_radius(H)
    return H, psi, t, smallest_tol(H, t) if tol is None else tol


# name: () -> (H, psi, t, tol)
LONG_RUNS = {
    "random 6q, |H|t=1e2": lambda: long_run(random_sum(1, 6, 20), random_state(2, 6), 1e2, 1e-12),
    "random 6q, |H|t=1e3": lambda: long_run(random_sum(1, 6, 20), random_state(2, 6), 1e3, 1e-12),
    "random 6q, |H|t=1e2, smallest tol":
        lambda: long_run(random_sum(1, 6, 20), random_state(2, 6), 1e2, None),
    "random 6q, |H|t=1e3, smallest tol":
        lambda: long_run(random_sum(1, 6, 20), random_state(2, 6), 1e3, None),
    "Ising n=6, |H|t=1e4, smallest tol":
        lambda: long_run(ising_chain(6), random_state(3, 6), 1e4, None),
    "random 5q dense, |H|t=3e3":
        lambda: long_run(random_sum(3, 5, 60), random_state(4, 5), 3e3, 1e-12),
    "Ising quench n=6 t=30": lambda: (ising_chain(6), basis_state(6), 30.0, 1e-12),
    "Ising quench n=6 t=300": lambda: (ising_chain(6), basis_state(6), 300.0, 1e-12),
    "XXZ ring n=6 Neel, |H|t=5e2":
        lambda: long_run(xxz_ring(6), basis_state(6, 0b010101), 5e2, 1e-10),
    "random 4q, short t, tol 1e-6":
        lambda: long_run(random_sum(5, 4, 10), random_state(6, 4), 0.3, 1e-6),
}


@pytest.mark.parametrize("name", list(LONG_RUNS))
def test_real_time_meets_tol_and_reports_above_truth(name):
    H, psi, t, tol = LONG_RUNS[name]()
    result = evolve(H, psi, t, tol=tol, num_threads=0)
    err = true_error(H, psi, t, result)
    assert err <= tol
    assert result.error >= err


# (name, terms added to a random 4-qubit sum): each rounds at eps * sum |c|,
# far above eps * ||H||.
G = random_terms(8, 4, 8)
CANCELLING = [
    ("identity 1e10 + 0.1 - 1e10", [("IIII", 1e10), ("IIII", 0.1), ("IIII", -1e10)]),
    ("Z words 1e10 + 0.1 - 1e10", [("ZIZI", 1e10), ("ZIZI", 0.1), ("ZIZI", -1e10)]),
    ("flipping words 1e9 - 1e9", [("XYIZ", 1e9), ("XYIZ", -1e9)]),
    ("H + 1e8 G - 1e8 G", [(label, 1e8 * c) for label, c in G]
     + [(label, -1e8 * c) for label, c in G]),
]


@pytest.mark.parametrize("name,extra", CANCELLING, ids=[c[0] for c in CANCELLING])
@pytest.mark.parametrize("t", [1.0, -0.5j])
def test_cancelling_coefficients_raise_the_reported_error(name, extra, t):
    H = PauliSum(random_sum(7, 4, 8).terms + extra)
    psi = random_state(9, 4)
    result = evolve(H, psi, t, tol=1e-10, num_threads=0)
    assert result.error >= true_error(H, psi, t, result)


def test_overflowing_product_is_an_error_in_the_users_terms():
    H = PauliSum([("XI", 1.7e308), ("IX", 1.7e308), ("XX", 1.7e308), ("ZZ", 1.7e308)])
    with pytest.raises(OverflowError, match="H \\* psi overflows double precision"):
        evolve(H, np.full(4, 0.5), 1e-300, tol=1e-8)


# -- imaginary and complex time: the report is above the truth ----------------

@pytest.fixture(scope="module")
def cooled():
    """A random 6-qubit sum with its lowest eigenvalue moved to 0 (so that
    cooling stays in range), its eigenvalues and eigenvectors."""
    H = random_sum(12, 6, 14)
    values, vectors = np.linalg.eigh(H.to_sparse().toarray())
    shifted = PauliSum(H.terms + [("I" * H.num_qubits, -float(values[0]))])
    return shifted, values - values[0], vectors


# name: (eigenvectors -> start state, |t| in units of the gap above the ground state)
STARTS = {
    "random": (lambda V: random_state(13, 6), 5.0),
    "eigenvector 10 + 1e-9 noise": (lambda V: V[:, 10] + 1e-9 * random_state(14, 6), 3.0),
    "eigenvector 20 + 1e-6 noise": (lambda V: V[:, 20] + 1e-6 * random_state(15, 6), 2.0),
    "overlap 1e-5 with the ground state": (lambda V: V[:, 5] + 1e-5 * V[:, 0], 20.0),
    "excited eigenvector, cooled long": (lambda V: V[:, 3], 30.0),
}
DIRECTIONS = [-1j, np.exp(-0.3j), np.exp(-1.2j), np.exp(-1.5j), np.exp(2.4j)]


@pytest.mark.parametrize("name", list(STARTS))
@pytest.mark.parametrize("direction", DIRECTIONS, ids=lambda d: f"{d:.2f}")
def test_non_real_time_reports_above_truth(cooled, name, direction):
    H, E, V = cooled
    make, gaps = STARTS[name]
    psi = make(V)
    # Cooling (Im t < 0) by `gaps` gap-times; heating only as far as it stays in range.
    scale = gaps / (E[1] - E[0]) if direction.imag < 0 else 0.5
    t = complex(direction * scale)
    result = evolve(H, psi, t, tol=1e-10, num_threads=0)
    assert result.error >= true_error(H, psi, t, result)


# -- short steps ----------------------------------------------------------------

def test_short_steps_meet_tol():
    H = random_sum(17, 6, 24)
    psi = random_state(18, 6)
    radius = spectral_radius(H)
    for scaled in (1e-3, 0.05, 0.5, 2.0):
        t = scaled / radius
        result = evolve(H, psi, t, tol=1e-12, num_threads=0)
        assert result.applications < 30
        err = true_error(H, psi, t, result)
        assert err <= 1e-12 and result.error >= err


# -- the kept and the regenerated basis ---------------------------------------

@pytest.mark.parametrize("t", [3.0, -2.0j, 4.0 * np.exp(-0.4j)], ids=["real", "imaginary",
                                                                      "complex"])
@pytest.mark.parametrize("num_threads", [1, 2])
def test_kept_and_regenerated_basis_give_the_same_bytes_for_evolve(t, num_threads):
    H = ising_chain(9, h=0.7)
    psi = random_state(19, 9)
    kept = evolve(H, psi, t, num_threads=num_threads)
    regenerated = evolve(H, psi, t, num_threads=num_threads, memory_budget=0)
    assert kept.kept_basis and not regenerated.kept_basis
    assert kept.state.tobytes() == regenerated.state.tobytes()
    # The second pass repeats the products; the steps and the report are the same.
    assert (kept.error, kept.steps) == (regenerated.error, regenerated.steps)


@pytest.mark.parametrize("num_threads", [1, 2])
def test_kept_and_regenerated_basis_give_the_same_bytes_for_trajectory(num_threads):
    H = xxz_ring(9)
    psi = random_state(20, 9)
    times = np.linspace(0.0, 9.0, 46)
    kept = trajectory(H, psi, times, num_threads=num_threads)
    regenerated = trajectory(H, psi, times, num_threads=num_threads, memory_budget=0)
    assert not regenerated.kept_basis
    assert kept.states.tobytes() == regenerated.states.tobytes()
    assert kept.error == regenerated.error
