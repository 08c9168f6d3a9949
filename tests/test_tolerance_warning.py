"""ToleranceWarning: a reported error above tol is said once per call, with the
reason; a met tol says nothing."""

import warnings

import numpy as np
import pytest

import velmora
from velmora import (PauliSum, ToleranceWarning, correlation, eigsh, evolve, spectral_function,
                     trajectory)
from velmora.models import ising_chain, z_diagonal

CANCELLING = PauliSum(ising_chain(4).terms + [("IIII", 1e10), ("IIII", 0.1), ("IIII", -1e10)])
CANCELLING_Z = PauliSum(ising_chain(4).terms + [("ZIII", 1e10), ("ZIII", -1e10)])
UP = np.eye(16)[0].astype(complex)


def small_overlap_state():
    """An excited eigenvector of the 6-spin chain with 1e-8 of the ground state."""
    w, v = np.linalg.eigh(ising_chain(6).to_sparse().toarray())
    return v[:, 3] + 1e-8 * v[:, 0]


MISSES = {
    "evolve, cancelling identity terms": (
        lambda: evolve(CANCELLING, UP, 1.0, tol=1e-10), "the rounding floor"),
    "evolve, cancelling Z words": (
        lambda: evolve(CANCELLING_Z, UP, 1.0, tol=1e-10), "tol is below the smallest"),
    # Every coefficient is finite but their sum is not: the reason's norm_bound
    # is inf (it raised "intermediate overflow in fsum" after a finished run).
    "evolve, sum of |coeff| beyond the double range": (
        lambda: evolve(PauliSum([("X", 1e308), ("Z", 1e308)]), np.array([1, 1 + 0j]), 1e-300),
        "(H.norm_bound = inf"),
    "evolve, tol below the smallest": (
        lambda: evolve(ising_chain(4), UP, 50.0, tol=1e-14), "tol is below the smallest"),
    "evolve, imaginary time, overlap 1e-8 with the ground state": (
        lambda: evolve(ising_chain(6), small_overlap_state(), -20j, tol=1e-10, normalize=True),
        "conditioning"),
    "evolve, three rows of which two miss": (
        lambda: evolve(CANCELLING, np.stack([UP, UP, np.zeros(16)]), 1.0, tol=1e-10),
        "of row 0 (2 of 3 rows miss it)"),
    "trajectory, cancelling terms": (
        lambda: trajectory(CANCELLING, UP, [0.0, 0.5, 1.0], tol=1e-10,
                           observables=[z_diagonal(4, 0)]), "the rounding floor"),
    "trajectory, rows": (
        lambda: trajectory(CANCELLING, np.stack([UP, UP]), [0.0, 1.0], tol=1e-10), "rows"),
    "correlation, given state": (
        lambda: correlation(CANCELLING, z_diagonal(4, 0), z_diagonal(4, 1), [0.0, 1.0],
                            state=UP, tol=1e-10), "correlation: the reported error"),
    "correlation, random states and chunks": (
        lambda: correlation(CANCELLING, z_diagonal(4, 0), z_diagonal(4, 1),
                            np.linspace(0, 1, 9), num_samples=3, seed=1, tol=1e-10,
                            memory_budget=16 * 16 * 4), "its share of tol"),
    "eigsh, cancelling Z words": (
        lambda: eigsh(CANCELLING_Z, k=2, tol=1e-10), "rounding of H @ v"),
    "spectral_function, too few levels": (
        lambda: spectral_function(ising_chain(8), PauliSum([("IIIXIIII", 1.0)]),
                                  np.linspace(-2, 6, 9), state=eigsh(ising_chain(8))
                                  .eigenvectors[0], eta=0.02, krylov_dim=6),
        "did not converge"),
}


@pytest.mark.parametrize("case", list(MISSES))
def test_a_miss_warns_once_with_its_reason(case):
    call, reason = MISSES[case]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call()
    tolerance = [w for w in caught if issubclass(w.category, ToleranceWarning)]
    assert len(tolerance) == 1, [str(w.message) for w in caught]
    message = str(tolerance[0].message)
    assert reason in message, message
    # Attributed to this file's line, not to the package's internals.
    assert tolerance[0].filename == __file__


MET = {
    "evolve": lambda: evolve(ising_chain(6), np.eye(64)[0], 2.0),
    "evolve, merged coefficients": lambda: evolve(CANCELLING.simplify(), UP, 1.0, tol=1e-10),
    "evolve, imaginary time": lambda: evolve(ising_chain(6), np.ones(64), -3j, tol=1e-8),
    "trajectory": lambda: trajectory(ising_chain(6), np.eye(64)[0], [0.0, 1.0, 4.0], tol=1e-10),
    "correlation": lambda: correlation(ising_chain(6), z_diagonal(6, 0), z_diagonal(6, 0),
                                       [0.0, 1.0], num_samples=2, seed=3),
    "eigsh": lambda: eigsh(ising_chain(6), k=3),
    "spectral_function": lambda: spectral_function(
        ising_chain(6), PauliSum([("IIIXII", 1.0)]), [0.0, 1.0],
        state=eigsh(ising_chain(6)).eigenvectors[0], eta=0.1),
}


@pytest.mark.parametrize("case", list(MET))
def test_a_met_tol_is_silent(case):
    with warnings.catch_warnings():
        warnings.simplefilter("error", ToleranceWarning)
        MET[case]()


def test_the_filter_turns_a_miss_into_an_exception():
    assert issubclass(ToleranceWarning, UserWarning) and velmora.ToleranceWarning is ToleranceWarning
    with warnings.catch_warnings():
        warnings.simplefilter("error", ToleranceWarning)
        with pytest.raises(ToleranceWarning, match=r"evolve: the reported error 1\.\de-05 "
                                                   r"exceeds tol = 1e-10"):
            evolve(CANCELLING, UP, 1.0, tol=1e-10)


@pytest.mark.parametrize("tol", [1e-10, 1e-8, 1e-6])
@pytest.mark.parametrize("t", [0.5, 2.0, 20.0])
@pytest.mark.parametrize("model", ["ising", "xxz"])
def test_the_budget_keeps_room_for_the_rounding_floor(model, t, tol):
    # Before the floor was reserved, a fully used budget plus the floor gave
    # 1.0002e-10 at tol 1e-10 (10-spin Ising chain, t = 2): a miss by rounding alone.
    H = ising_chain(10) if model == "ising" else velmora.models.xxz_ring(10, delta=0.5)
    psi = np.random.default_rng(3).normal(size=2**10) + 0j
    with warnings.catch_warnings():
        warnings.simplefilter("error", ToleranceWarning)
        result = evolve(H, psi, t, tol=tol)
    assert result.error <= tol
