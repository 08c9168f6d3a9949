"""Several states at once: `apply`, `expectation`, `@`, `evolve` and `trajectory`
on a 2-D array of k states (one per row; columns for `@`). Every row must have
the bytes of its own call, for every batch size and thread count; dense
matrices check the values independently."""

import math

import numpy as np
import pytest
import scipy.sparse.linalg

import velmora
from velmora import PauliSum, Sector, TimeDependentSum, evolve, trajectory
from velmora.models import heisenberg_chain, ising_chain, random_local
from reference import random_state, random_terms

BATCH_SIZES = [1, 2, 3, 8, 17]
THREADS = [0, 1, 2]


def rows(rng, num_qubits, k, special=False):
    """k random states as rows; with `special`, row 1 carries an infinity, a
    NaN and a negative zero, which must travel as in a call of its own."""
    psi = np.array([random_state(rng, num_qubits) for _ in range(k)]).reshape(k, 2**num_qubits)
    if special and k > 1:
        psi[1, 0] = complex(math.inf, -0.0)
        psi[1, -1] = complex(math.nan, 1.0)
        psi[1, 1] = complex(-0.0, -0.0)
    return psi


def same(a, b):
    """The same bytes, except that any two NaNs match (their payload is the
    arithmetic's choice)."""
    a, b = np.atleast_1d(a), np.atleast_1d(b)
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    nan = np.isnan(a.view(np.float64)) & np.isnan(b.view(np.float64))
    return bool(np.all((a.view(np.uint64) == b.view(np.uint64)) | nan))


# Operators over the kernel's bodies: fewer amplitudes than one AVX-512 vector,
# one block, several blocks with far flips; Hermitian and not.
OPERATORS = {
    "one qubit, Y": lambda: PauliSum([("Y", 0.5), ("Z", -1.0)]),
    "ising 5": lambda: ising_chain(5, h=0.7),
    "heisenberg 12": lambda: heisenberg_chain(12, periodic=True),
    "complex 9": lambda: PauliSum([(s, c) for c, s in
                                   random_terms(np.random.default_rng(3), 9, 40, True)]),
    "local 14": lambda: random_local(14, 60, seed=5),
}


@pytest.mark.parametrize("k", BATCH_SIZES)
@pytest.mark.parametrize("name", list(OPERATORS))
def test_apply_and_expectation_rows_have_the_bytes_of_single_calls(name, k):
    H = OPERATORS[name]()
    psi = rows(np.random.default_rng(k), H.num_qubits, k, special=True)
    for threads in THREADS:
        out = H.apply(psi, num_threads=threads)
        values = H.expectation(psi, num_threads=threads)
        assert out.shape == psi.shape and out.dtype == np.complex128
        assert values.shape == (k,)
        assert values.dtype == (np.float64 if H.is_hermitian else np.complex128)
        for r in range(k):
            assert same(out[r], H.apply(psi[r], num_threads=0)), (r, threads)
            assert same(values[r], np.asarray(H.expectation(psi[r], num_threads=0))), r


def test_apply_and_expectation_match_the_dense_matrix():
    H = OPERATORS["complex 9"]()
    psi = rows(np.random.default_rng(8), 9, 5)
    matrix = H.to_sparse()
    np.testing.assert_allclose(H.apply(psi), (matrix @ psi.T).T, rtol=0, atol=1e-12)
    expected = np.einsum("ri,ri->r", psi.conj(), (matrix @ psi.T).T)
    np.testing.assert_allclose(H.expectation(psi), expected, rtol=1e-13)


def test_batches_longer_than_one_sweep():
    # At 17 qubits a sweep holds four states: 9 rows take three.
    H = ising_chain(17)
    psi = rows(np.random.default_rng(17), 17, 9)
    out = H.apply(psi, num_threads=2)
    values = H.expectation(psi, num_threads=2)
    for r in range(9):
        assert out[r].tobytes() == H.apply(psi[r], num_threads=0).tobytes()
        assert values[r] == H.expectation(psi[r], num_threads=0)


def test_matmul_takes_states_as_columns():
    H = OPERATORS["complex 9"]()
    psi = rows(np.random.default_rng(9), 9, 4).T  # (2^9, 4): four columns
    out = H @ psi
    assert out.shape == (2**9, 4)
    for j in range(4):
        assert out[:, j].tobytes() == H.apply(np.ascontiguousarray(psi[:, j])).tobytes()
    np.testing.assert_allclose(out, H.to_sparse() @ psi, rtol=0, atol=1e-12)


def test_sector_operator_rows():
    op = heisenberg_chain(10, periodic=True).in_sector(Sector.chain(10, weight=5, momentum=0))
    phi = np.random.default_rng(2).normal(size=(3, len(op))) + 0j
    out = op.apply(phi, num_threads=2)
    values = op.expectation(phi, num_threads=2)
    assert out.shape == phi.shape and values.shape == (3,) and values.dtype == np.float64
    for r in range(3):
        assert out[r].tobytes() == op.apply(phi[r], num_threads=0).tobytes()
        assert values[r] == op.expectation(phi[r], num_threads=0)
    np.testing.assert_allclose(out, (op.to_sparse() @ phi.T).T, rtol=0, atol=1e-12)


# -- evolve and trajectory: each row its own run ---------------------------------


def evolve_fields(result):
    return (result.state, result.error, result.steps, result.applications, result.kept_basis,
            result.log_norm, result.function_calls)


def trajectory_fields(result):
    return (result.states, result.expectations, result.error, result.steps, result.applications,
            result.kept_basis, result.log_norms, result.function_calls)


def assert_row(batch_fields, single_fields, r):
    for batch, single in zip(batch_fields, single_fields):
        if single is None:
            assert batch is None
        else:
            assert np.asarray(batch[r]).tobytes() == np.asarray(single).tobytes(), r


def ramp():
    H = ising_chain(4)
    return TimeDependentSum([PauliSum(H.terms[:3]),
                             (PauliSum(H.terms[3:]), lambda t: 1.0 + 0.5 * t)])


RUNS = {  # name: (operator, state size, evolve keywords)
    "real time": (lambda: ising_chain(7), 2**7, dict(t=0.8)),
    "imaginary time": (lambda: heisenberg_chain(6), 2**6, dict(t=-2j, normalize=True)),
    "sector": (lambda: heisenberg_chain(8, periodic=True).in_sector(
        Sector.chain(8, weight=4, momentum=0)), 10, dict(t=1.5)),
    "time-dependent": (ramp, 2**4, dict(t=0.6, tol=1e-8)),
}


@pytest.mark.parametrize("k", [1, 3, 8])
@pytest.mark.parametrize("name", list(RUNS))
def test_evolve_rows_are_separate_runs(name, k):
    make, dim, keywords = RUNS[name]
    H = make()
    psi = np.random.default_rng(k).normal(size=(k, dim)) + 0j
    keywords = dict(keywords)
    t = keywords.pop("t")
    batch = evolve(H, psi, t, num_threads=2, **keywords)
    assert batch.state.shape == (k, dim) and batch.error.shape == (k,)
    assert batch.steps.dtype == np.int64 and batch.kept_basis.dtype == bool
    for r in range(k):
        single = evolve(H, psi[r], t, num_threads=0, **keywords)
        assert isinstance(single.error, float) and isinstance(single.steps, int)
        assert_row(evolve_fields(batch), evolve_fields(single), r)


@pytest.mark.parametrize("name", list(RUNS))
def test_trajectory_rows_are_separate_runs(name):
    make, dim, keywords = RUNS[name]
    H = make()
    k = 3
    psi = np.random.default_rng(5).normal(size=(k, dim)) + 0j
    times = [0.0, 0.2, 0.5]
    normalize = {"normalize": True} if keywords.get("normalize") else {}
    observables = [H.pauli_sum if hasattr(H, "pauli_sum") else
                   (H.at(0.0) if isinstance(H, TimeDependentSum) else H),
                   np.linspace(-1.0, 1.0, dim)]
    for chosen in (None, observables, [lambda state: complex(state[0])], []):
        batch = trajectory(H, psi, times, observables=chosen, num_threads=2, **normalize)
        if chosen is None:
            assert batch.states.shape == (k, 3, dim) and batch.expectations is None
        else:
            assert batch.states is None and batch.expectations.shape == (k, 3, len(chosen))
        assert batch.times.shape == (3,)
        for r in range(k):
            single = trajectory(H, psi[r], times, observables=chosen, num_threads=0, **normalize)
            assert_row(trajectory_fields(batch), trajectory_fields(single), r)
            if chosen:
                assert batch.expectations.dtype == single.expectations.dtype


def test_evolve_rows_match_the_dense_exponential():
    H = ising_chain(6, h=0.9)
    psi = rows(np.random.default_rng(6), 6, 4)
    result = evolve(H, psi, 1.3, tol=1e-12)
    exact = scipy.sparse.linalg.expm_multiply(-1.3j * H.to_sparse(), psi.T).T
    for r in range(4):
        error = np.linalg.norm(result.state[r] - exact[r]) / np.linalg.norm(exact[r])
        assert error <= result.error[r]


def test_trajectory_progress_covers_all_rows(monkeypatch):
    reached = []

    class Bar:
        def __init__(self, total):
            self.total = total

        def __call__(self, value):
            reached.append(value)

        def close(self):
            reached.append("closed")

    monkeypatch.setattr(velmora.evolution, "_Progress", Bar)
    psi = rows(np.random.default_rng(1), 5, 3)
    trajectory(ising_chain(5), psi, [0.0, 10.0, 20.0], progress=True, krylov_dim=8)
    values = [v for v in reached if v != "closed"]
    assert reached[-1] == "closed" and reached.count("closed") == 1
    # Between the steps of each row, offset by the rows before it.
    assert values == sorted(values) and 0.0 < values[0] and values[-1] < 60.0
    assert all(any(20.0 * r < v < 20.0 * (r + 1) for v in values) for r in range(3))


# -- empty batches and bad input ----------------------------------------------------


def test_an_empty_batch_gives_empty_results_after_the_checks():
    H = ising_chain(3)
    none = np.zeros((0, 8))
    assert H.apply(none).shape == (0, 8) and H.apply(none).dtype == np.complex128
    assert H.expectation(none).shape == (0,) and H.expectation(none).dtype == np.float64
    assert PauliSum([("XY", 1j)]).expectation(np.zeros((0, 4))).dtype == np.complex128
    assert (H @ np.zeros((8, 0))).shape == (8, 0)
    result = evolve(H, none, 1.0)
    assert result.state.shape == (0, 8) and result.error.shape == (0,)
    assert result.steps.shape == (0,) and result.log_norm is None
    path = trajectory(H, none, [0.5, 1.0], observables=[H, H])
    assert path.expectations.shape == (0, 2, 2) and path.error.shape == (0,)
    assert trajectory(H, none, [0.5, 1.0]).states.shape == (0, 2, 8)
    with pytest.raises(ValueError, match=r"tol must be in \(0, 1\)"):
        evolve(H, none, 1.0, tol=2.0)
    with pytest.raises(ValueError, match="times must be non-decreasing"):
        trajectory(H, none, [1.0, 0.5])


H3 = ising_chain(3)
SECTOR_OP = heisenberg_chain(6, periodic=True).in_sector(Sector.chain(6, weight=3))
NAN_ROW = np.where(np.arange(16).reshape(2, 8) == 11, np.nan, 1.0)

BAD_BATCHES = [  # (call, exception, message)
    (lambda: H3.apply(np.zeros((2, 2, 8))), ValueError,
     r"psi must be a 1-D array of amplitudes or a 2-D array of states \(one per row\), "
     r"got shape \(2, 2, 8\)"),
    (lambda: H3.expectation(np.zeros((2, 4))), ValueError,
     r"psi has rows of 4 amplitudes, but the PauliSum acts on 3 qubits and needs 2\^3 = 8"),
    (lambda: H3.apply(np.array([["a"] * 8])), TypeError, "psi must hold numbers, got dtype <U1"),
    (lambda: H3 @ np.zeros((4, 2)), ValueError,
     r"psi has columns of 4 amplitudes, but the PauliSum acts on 3 qubits"),
    (lambda: H3 @ np.zeros((8, 2, 1)), ValueError,
     r"psi must be a 1-D array of amplitudes or a 2-D array of states \(one per column\)"),
    (lambda: evolve(H3, np.zeros((2, 9)), 1.0), ValueError, "psi has rows of 9 amplitudes"),
    (lambda: evolve(H3, np.zeros((1, 2, 8)), 1.0), ValueError, "a 2-D array of states"),
    (lambda: evolve(H3, NAN_ROW, 1.0), ValueError, r"psi\[1\] has a non-finite amplitude at index 3"),
    (lambda: trajectory(H3, NAN_ROW, [1.0]), ValueError, r"psi\[1\] has a non-finite amplitude"),
    (lambda: evolve(ramp(), np.zeros((2, 8)), 1.0), ValueError, "psi has rows of 8 amplitudes"),
    (lambda: SECTOR_OP.apply(np.zeros((2, 3))), ValueError,
     "phi has rows of 3 amplitudes, but the sector needs 20"),
    (lambda: SECTOR_OP.expectation(np.zeros((2, 2, 20))), ValueError,
     "phi must be a 1-D array of amplitudes or a 2-D array"),
    (lambda: evolve(SECTOR_OP, np.zeros((2, 64)), 1.0), ValueError,
     "psi has rows of 64 amplitudes, but the sector needs 20"),
]


@pytest.mark.parametrize("call,error,message", BAD_BATCHES)
def test_bad_batches_are_refused(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_non_finite_amplitudes_travel_through_apply_as_in_one_call():
    psi = NAN_ROW.astype(complex)
    out = H3.apply(psi)
    assert same(out[1], H3.apply(psi[1])) and np.isnan(out[1]).any()


def test_a_batch_whose_kept_states_cannot_fit_is_refused_before_running():
    limit, _ = velmora._native.memory_limit()
    if limit >= 2**63:
        pytest.skip("no memory limit can be read")
    k, dim = 4, 2**10
    # Each row's states would fit on their own; the four rows' do not.
    count = limit // (16 * k * dim) + 1
    times = np.linspace(0.0, 1e-9, count)
    psi = rows(np.random.default_rng(0), 10, k)
    with pytest.raises(MemoryError, match=r"trajectory needs .* \(4 x \d+ states of"):
        trajectory(ising_chain(10), psi, times)
