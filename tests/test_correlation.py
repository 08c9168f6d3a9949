"""correlation and spectral_function against dense references (n <= 10), the
XX chain's free-fermion autocorrelation, the statistics of the random states,
the error bounds, threads and seeds, sectors, and bad input."""

import math

import numpy as np
import pytest
import scipy.linalg
from reference import dense_hamiltonian

import velmora
import velmora.correlations
from velmora import PauliSum, Sector, correlation, spectral_function
from velmora import _native
from velmora.models import (heisenberg_chain, ising_chain, pauli_label, random_local, xxz_chain,
                            z_diagonal)


def dense(operator, num_qubits):
    """The matrix of a PauliSum (through reference.py's Kronecker products) or
    of a diagonal."""
    if isinstance(operator, PauliSum):
        return dense_hamiltonian([(c, label) for label, c in operator.terms])
    return np.diag(np.asarray(operator, dtype=complex))


class Exact:
    """C(t) and G(omega) from the eigendecomposition of the dense H (one per
    Hamiltonian, shared by the tests)."""

    _made = {}

    def __new__(cls, H):
        key = tuple(H.terms)
        if key not in cls._made:
            exact = super().__new__(cls)
            exact.n = H.num_qubits
            exact.w, exact.v = np.linalg.eigh(dense(H, exact.n))
            cls._made[key] = exact
        return cls._made[key]

    def correlation(self, A, B, times, psi):
        a, b = dense(A, self.n), dense(B, self.n)
        values = []
        for t in times:
            u = self.v @ (np.exp(-1j * self.w * t) * (self.v.conj().T @ psi))
            phi = self.v @ (np.exp(-1j * self.w * t) * (self.v.conj().T @ (b @ psi)))
            values.append(np.vdot(u, a @ phi))
        return np.array(values)

    def trace(self, A, B, times):
        """Tr(A(t) B) / 2^n in the eigenbasis: sum_mn e^{i(w_m - w_n)t} A_mn B_nm / D."""
        a = self.v.conj().T @ dense(A, self.n) @ self.v
        b = self.v.conj().T @ dense(B, self.n) @ self.v
        weights = a * b.T
        return np.array([np.sum(np.exp(1j * np.subtract.outer(self.w, self.w) * t) * weights)
                         for t in times]) / self.w.size

    def resolvent(self, A, omegas, eta, psi, energy):
        amplitudes = self.v.conj().T @ (dense(A, self.n) @ psi)
        z = omegas[:, None] + 1j * eta + energy
        return np.sum(np.abs(amplitudes) ** 2 / (z - self.w), axis=1)


def sum_abs(operator):
    if isinstance(operator, PauliSum):
        return math.fsum(abs(c) for _, c in operator.terms)
    return float(np.max(np.abs(operator)))


def random_state(n, seed):
    rng = np.random.default_rng(seed)
    return rng.normal(size=2**n) + 1j * rng.normal(size=2**n)


# -- a given state against the dense evolution ---------------------------------

N6, N7, N8 = 6, 7, 8
CASES = {
    # Non-Hermitian A (complex coefficients), diagonal B.
    "heisenberg, non-Hermitian A": (
        heisenberg_chain(N6),
        PauliSum([(pauli_label(N6, {2: "X"}), 1.0), (pauli_label(N6, {3: "Y", 4: "Z"}), 0.5j)]),
        z_diagonal(N6, 4), np.linspace(0, 5, 11)),
    # Hermitian A = B, Ising chain with a field.
    "ising, A = B = X_0": (
        ising_chain(N7, 1.0, 0.7), PauliSum([(pauli_label(N7, {0: "X"}), 1.0)]),
        PauliSum([(pauli_label(N7, {0: "X"}), 1.0)]), np.linspace(0, 8, 9)),
    # A random real diagonal against a Pauli sum B with complex coefficients,
    # H with an identity term; irregular times with a repeat.
    "random local H, diagonal A": (
        random_local(N8, 30, 3, seed=5) + PauliSum([("I" * N8, 2.5)]),
        np.random.default_rng(7).normal(size=2**N8),
        PauliSum([(pauli_label(N8, {1: "Y", 5: "X"}), 0.3 - 0.4j),
                  (pauli_label(N8, {7: "Z"}), -1.1)]),
        np.array([0.0, 0.01, 0.5, 0.5, 2.0, 3.7, 6.25])),
}


@pytest.mark.parametrize("budget_states", [None, 3], ids=["one run", "chunks of 3 times"])
@pytest.mark.parametrize("case", list(CASES))
def test_given_state_against_dense_evolution(case, budget_states):
    H, A, B, times = CASES[case]
    n = H.num_qubits
    psi = random_state(n, 11)
    budget = None if budget_states is None else 2 * budget_states * 16 * 2**n
    result = correlation(H, A, B, times, state=psi, memory_budget=budget)
    exact = Exact(H).correlation(A, B, times, psi)
    true_error = np.abs(result.values - exact)
    assert (true_error <= result.error).all()
    # The bound is of the order of tol times the scale ||A|| ||psi|| ||B psi||.
    scale = sum_abs(A) * np.linalg.norm(psi) * np.linalg.norm(dense(B, n) @ psi)
    assert result.error.max() <= 1e-10 * scale
    assert result.statistical_error is None and result.num_samples is None
    expected_chunks = 1 if budget_states is None else -(-times.size // budget_states)
    assert result.chunks == expected_chunks
    assert result.times.tolist() == times.tolist()


@pytest.mark.parametrize("tol", [1e-5, 1e-8, 1e-12])
@pytest.mark.parametrize("chunks", [1, 4])
def test_error_bound_holds_when_the_evolution_error_dominates(tol, chunks):
    # Long times at a loose tol: the evolution errors are far above rounding,
    # and the bound must still cover them (and grow with t, never shrink).
    H = heisenberg_chain(N8)
    A = B = PauliSum([(pauli_label(N8, {3: "Z"}), 1.0), (pauli_label(N8, {4: "X"}), 0.5)])
    times = np.linspace(0, 12, 16)
    psi = random_state(N8, 3)
    budget = 2 * (-(-times.size // chunks)) * 16 * 2**N8
    result = correlation(H, A, B, times, state=psi, tol=tol, memory_budget=budget)
    exact = Exact(H).correlation(A, B, times, psi)
    true_error = np.abs(result.values - exact)
    assert result.chunks == chunks
    assert (true_error <= result.error).all()
    assert (np.diff(result.error) >= 0).all()
    scale = sum_abs(A) * np.linalg.norm(psi) * np.linalg.norm(dense(B, N8) @ psi)
    # About 2 tol relative to the scale; at tol = 1e-12 the evolutions' own
    # rounding floor (5e-12 over these 12 time units) takes over.
    assert result.error[-1] <= 10 * max(tol, 1e-11) * scale


def test_zero_b_psi_gives_zero_with_zero_error():
    H = ising_chain(4)
    psi = np.zeros(16, dtype=complex)
    psi[0] = 1  # |0000>: the projector on bit 0 = 1 annihilates it
    B = (1 - z_diagonal(4, 0)) / 2
    result = correlation(H, PauliSum([("XIII", 1.0)]), B, [0.0, 1.0], state=psi)
    assert result.values.tolist() == [0, 0]
    assert result.error.max() <= 1e-15  # B's rounding, eps * max |d| * ||psi||


# -- infinite temperature --------------------------------------------------------


@pytest.mark.parametrize("H, A, B", [
    (heisenberg_chain(N8), z_diagonal(N8, 3), z_diagonal(N8, 3)),
    (ising_chain(N7, 1.0, 0.5), PauliSum([(pauli_label(N7, {2: "X"}), 1.0)]),
     PauliSum([(pauli_label(N7, {2: "Y"}), 1.0), (pauli_label(N7, {3: "Z"}), 0.5j)])),
], ids=["Z-Z autocorrelation", "non-Hermitian pair"])
def test_infinite_temperature_against_the_trace(H, A, B):
    times = np.linspace(0, 4, 9)
    result = correlation(H, A, B, times, num_samples=12, seed=4)
    exact = Exact(H).trace(A, B, times)
    assert result.num_samples == 12
    deviation = np.abs(result.values - exact)
    assert (deviation <= 4 * result.statistical_error + result.error + 1e-14).all()
    assert result.error.max() <= 1e-10


@pytest.mark.parametrize("n, samples", [(6, 16), (8, 16), (8, 48), (10, 16)])
def test_statistical_error_shrinks_like_one_over_sqrt_samples_times_dimension(n, samples):
    # For X = Z_j(t) Z_j, X^dagger X = 1, so over Haar-random unit states
    # Var <r|X|r> = (1 - |C|^2) / (D + 1): the standard error of the mean of S
    # samples is sqrt((1 - |C|^2) / ((D + 1) S)).
    H = heisenberg_chain(n)
    z = z_diagonal(n, n // 2)
    times = np.linspace(0.5, 4, 8)
    result = correlation(H, z, z, times, num_samples=samples, seed=n + samples)
    exact = Exact(H).trace(z, z, times)
    expected = np.sqrt((1 - np.abs(exact) ** 2) / ((2**n + 1) * samples))
    ratio = result.statistical_error / expected
    assert 0.6 <= ratio.mean() <= 1.5
    assert (np.abs(result.values - exact) <= 4.5 * expected).all()


def hopping_autocorrelation(n, site, times):
    """<Z_j(t) Z_j> at infinite temperature for the open XX chain
    sum X_q X_q+1 + Y_q Y_q+1 = 2 sum (c_q^dag c_q+1 + h.c.) (Jordan-Wigner;
    the strings cancel on neighbours): with Z_j = 1 - 2 n_j, <n_j> = 1/2 and
    Wick's theorem, <Z_j(t) Z_j> = |[exp(-i h t)]_jj|^2, h = 2 x adjacency."""
    h = 2.0 * (np.eye(n, k=1) + np.eye(n, k=-1))
    return np.array([abs(scipy.linalg.expm(-1j * h * t)[site, site]) ** 2 for t in times])


@pytest.mark.parametrize("n, site", [(10, 0), (10, 4), (12, 6)])
def test_xx_chain_against_free_fermions(n, site):
    times = np.linspace(0, 5, 11)
    z = z_diagonal(n, site)
    samples = 6
    result = correlation(xxz_chain(n, 0.0), z, z, times, num_samples=samples, seed=site)
    exact = hopping_autocorrelation(n, site, times)
    # The spread of the mean over Haar-random states (see the test above).
    sigma = np.sqrt((1 - exact**2) / ((2**n + 1) * samples))
    assert (np.abs(result.values - exact) <= 4.5 * sigma + result.error).all()
    assert result.values[0] == pytest.approx(1, abs=1e-14)
    assert result.statistical_error[1:].max() < 3 * sigma.max()


def test_seed_repeats_the_bytes_and_threads_change_nothing():
    H = heisenberg_chain(N8)
    A = PauliSum([(pauli_label(N8, {3: "Z"}), 1.0), (pauli_label(N8, {2: "X", 3: "Y"}), 0.2j)])
    times = np.linspace(0, 3, 7)
    runs = [correlation(H, A, A, times, num_samples=3, seed=9, num_threads=threads,
                        memory_budget=2 * 3 * 16 * 2**N8) for threads in (0, 1, 2)]
    for run in runs[1:]:
        for field in ("values", "error", "statistical_error"):
            assert getattr(run, field).tobytes() == getattr(runs[0], field).tobytes()
    other = correlation(H, A, A, times, num_samples=3, seed=10)
    assert other.values.tobytes() != runs[0].values.tobytes()
    generator = correlation(H, A, A, times, num_samples=3, seed=np.random.default_rng(9),
                            memory_budget=2 * 3 * 16 * 2**N8)
    assert generator.values.tobytes() == runs[0].values.tobytes()


# -- sectors ---------------------------------------------------------------------


def test_sector_hamiltonian_matches_the_full_space():
    n = 8
    H = heisenberg_chain(n, periodic=True)
    sector = Sector.chain(n, weight=4, momentum=0)
    phi = np.random.default_rng(3).normal(size=len(sector)) + 0j
    A = PauliSum([(pauli_label(n, {0: "Z"}), 1.0), (pauli_label(n, {2: "X", 3: "X"}), 0.3)])
    B = PauliSum([(pauli_label(n, {q: "Z", (q + 1) % n: "Z"}), 1.0) for q in range(n)])
    times = np.linspace(0, 3, 7)
    in_sector = correlation(H.in_sector(sector), A, B, times, state=phi)
    full = correlation(H, A, B, times, state=sector.embed(phi))
    assert (np.abs(in_sector.values - full.values) <= in_sector.error + full.error).all()
    # B given as the sector operator itself: the same bytes.
    again = correlation(H.in_sector(sector), A, B.in_sector(sector), times, state=phi)
    assert again.values.tobytes() == in_sector.values.tobytes()


# -- spectral functions ------------------------------------------------------------


def ground_state(H):
    exact = Exact(H)
    return exact, exact.v[:, 0], exact.w[0]


SPECTRAL = [
    # (H, A, eta, steps, expected converged)
    (heisenberg_chain(8), PauliSum([(pauli_label(8, {3: "X"}), 0.5),
                                    (pauli_label(8, {3: "Y"}), 0.5j)]), 0.3, 120, True),
    (heisenberg_chain(8), PauliSum([(pauli_label(8, {3: "X"}), 0.5),
                                    (pauli_label(8, {3: "Y"}), 0.5j)]), 0.05, 8, False),
    (ising_chain(9, 1.0, 0.8), PauliSum([(pauli_label(9, {0: "X"}), 1.0)]), 0.1, 200, True),
    (xxz_chain(10, 0.5), z_diagonal(10, 5), 0.2, 150, True),
    (xxz_chain(10, 0.5), z_diagonal(10, 5), 0.02, 12, False),
]


@pytest.mark.parametrize("H, A, eta, steps, converged", SPECTRAL)
def test_continued_fraction_against_the_dense_resolvent(H, A, eta, steps, converged):
    exact, psi, e0 = ground_state(H)
    omegas = np.linspace(-1, 10, 45)
    result = spectral_function(H, A, omegas, state=psi, eta=eta, krylov_dim=steps)
    reference = exact.resolvent(A, omegas, eta, psi, e0)
    true_error = np.abs(result.values - reference).max()
    assert result.converged is converged
    assert abs(result.energy - e0) <= 1e-12 * abs(e0)
    assert result.norm == pytest.approx(np.linalg.norm(dense(A, H.num_qubits) @ psi), rel=1e-13)
    largest = np.abs(reference).max()
    if converged:
        assert true_error <= max(result.convergence, 1e-12 * largest)
        assert true_error <= 1e-8 * largest
    else:
        assert true_error > 1e-3 * largest  # rightly not claimed converged
    assert result.steps == min(steps, result.alpha.size) == result.beta.size


def growing_case(H, A, sector):
    """(operator, A, ground state, its energy, the resolvent at given omegas
    and eta) from the dense matrix of H on the sector (or the full space)."""
    op = H.in_sector(sector) if sector is not None else H
    matrix = op.to_sparse().toarray()
    if not np.abs(matrix.imag).any():
        matrix = matrix.real
    w, v = np.linalg.eigh(matrix)
    ground = v[:, 0]
    applied = (A.in_sector(sector, precompute=False) if sector is not None else A).apply(ground)
    weights = np.abs(v.conj().T @ applied) ** 2

    def resolvent(omegas, eta):
        return np.array([np.sum(weights / (o + 1j * eta - (w - w[0]))) for o in omegas])

    return op, ground, w, resolvent


HOPPING = PauliSum([(pauli_label(12, {5: "X", 6: "X"}), 1.0),
                    (pauli_label(12, {5: "Y", 6: "Y"}), 1.0)])
GROWING = [
    # (H, A, sector, eta, tol, how far the estimate may exceed the true error):
    # chains that 200 levels do not converge at this tol. The random sum's chain
    # runs past the dimension (512), where its error falls abruptly to the
    # rounding: the estimate, from the last eighth of the levels, lags behind.
    (xxz_chain(12, 0.3), HOPPING, Sector(12, weight=6), 0.02, 1e-6, 50),
    (xxz_chain(12, 0.3), PauliSum([(pauli_label(12, {5: "Z"}), 1.0)]), Sector(12, weight=6),
     0.02, 1e-8, 50),
    (random_local(9, 50, 3, seed=3), PauliSum([(pauli_label(9, {4: "X"}), 1.0)]), None, 0.05,
     1e-6, None),
]


@pytest.mark.parametrize("H, A, sector, eta, tol, above", GROWING)
def test_the_chain_grows_until_the_estimate_meets_tol(H, A, sector, eta, tol, above):
    op, psi, w, resolvent = growing_case(H, A, sector)
    omegas = np.linspace(-1, w[-1] - w[0] + 1, 120)
    reference = resolvent(omegas, eta)
    largest = np.abs(reference).max()
    with pytest.warns(velmora.ToleranceWarning, match="raise krylov_dim"):
        fixed = spectral_function(op, A, omegas, state=psi, eta=eta, tol=tol, krylov_dim=200,
                                  energy=w[0])
    assert not fixed.converged and fixed.applications == fixed.steps == 200
    grown = spectral_function(op, A, omegas, state=psi, eta=eta, tol=tol, energy=w[0])
    true_error = np.abs(grown.values - reference).max()
    assert grown.converged and grown.steps > 200
    assert grown.convergence <= tol * np.abs(grown.values).max()
    # The estimate follows the true error: above it (or both at the rounding of
    # the dense reference), and not far above.
    assert true_error <= max(grown.convergence, 1e-12 * largest)
    if above is not None:
        assert grown.convergence <= above * max(true_error, 1e-12 * largest)
    # Longer chains start over with the same coefficients; at most about twice the products.
    assert fixed.alpha.tobytes() == grown.alpha[:200].tobytes()
    assert grown.steps < grown.applications <= 2.5 * grown.steps
    # The half-chain change, the estimate of before, was far above the true error.
    half = velmora.correlations._continued_fraction(omegas + w[0], eta, grown.alpha, grown.beta,
                                                    grown.steps // 2, grown.norm)
    assert np.abs(grown.values - half).max() > 5 * grown.convergence


def test_a_growing_chain_stops_at_max_steps_with_a_warning():
    H, A, sector, eta, tol, _ = GROWING[1]
    op, psi, w, _ = growing_case(H, A, sector)
    omegas = np.linspace(-1, w[-1] - w[0] + 1, 120)
    with pytest.warns(velmora.ToleranceWarning, match=r"raise max_steps \(now 300\)"):
        result = spectral_function(op, A, omegas, state=psi, eta=eta, tol=tol, max_steps=300)
    assert not result.converged and result.steps == 300
    assert result.applications == 200 + 300  # the first chain, then one at the cap


def test_continued_fraction_is_exact_on_an_invariant_subspace():
    # From the singlet of a dimer, X_0 reaches one triplet state: one level.
    H = PauliSum([("XX", 1.0), ("YY", 1.0), ("ZZ", 1.0)])
    singlet = np.array([0, 1, -1, 0]) / np.sqrt(2)
    omegas = np.linspace(0, 8, 9)
    result = spectral_function(H, PauliSum([("IX", 1.0)]), omegas, state=singlet, eta=0.1)
    assert result.terminated and result.converged and result.steps == 1
    np.testing.assert_allclose(result.values, 1 / (omegas + 0.1j - 4), rtol=1e-13)


def test_energy_argument_shifts_the_frequencies():
    H = ising_chain(6)
    exact, psi, e0 = ground_state(H)
    A = PauliSum([(pauli_label(6, {2: "Z"}), 1.0)])
    omegas = np.linspace(0, 6, 13)
    shifted = spectral_function(H, A, omegas, state=psi, eta=0.2, energy=e0 + 0.5)
    reference = exact.resolvent(A, omegas, 0.2, psi, e0 + 0.5)
    np.testing.assert_allclose(shifted.values, reference, rtol=1e-9, atol=1e-12)
    assert shifted.energy == e0 + 0.5


def test_spectral_function_in_a_sector_and_threads():
    n = 8
    H = heisenberg_chain(n, periodic=True)
    sector = Sector(n, weight=4)
    op = H.in_sector(sector)
    vector = np.linalg.eigh(op.to_sparse().toarray())[1][:, 0]
    A = PauliSum([(pauli_label(n, {q: "Z", (q + 2) % n: "Z"}), 1.0) for q in range(n)])
    omegas = np.linspace(0, 8, 17)
    runs = [spectral_function(op, A, omegas, state=vector, eta=0.2, krylov_dim=60,
                              num_threads=threads) for threads in (0, 2)]
    assert runs[0].values.tobytes() == runs[1].values.tobytes()
    full = spectral_function(H, A, omegas, state=sector.embed(vector), eta=0.2, krylov_dim=60)
    np.testing.assert_allclose(runs[0].values, full.values, rtol=1e-9, atol=1e-12)


def test_zero_a_psi_gives_zero():
    H = ising_chain(3)
    psi = np.zeros(8, dtype=complex)
    psi[0] = 1
    result = spectral_function(H, (1 - z_diagonal(3, 1)) / 2, [0.0, 1.0], state=psi, eta=0.1)
    assert result.values.tolist() == [0, 0] and result.converged and result.steps == 0


# -- the inner product the bounds rely on -----------------------------------------


@pytest.mark.parametrize("size", [1, 4096, 4097, 3 * 2**15 + 5])
def test_native_inner_product_is_thread_independent_and_within_its_bound(size):
    rng = np.random.default_rng(size)
    a = rng.normal(size=size) + 1j * rng.normal(size=size)
    b = rng.normal(size=size) * 1e3 + 1j * rng.normal(size=size)
    values = {threads: _native.inner(a, b, threads) for threads in (0, 1, 2, 3)}
    assert len({np.complex128(v).tobytes() for v in values.values()}) == 1
    # Correctly rounded sums of the products (each within u of its value).
    exact = complex(math.fsum(np.concatenate([a.real * b.real, a.imag * b.imag])),
                    math.fsum(np.concatenate([a.real * b.imag, -(a.imag * b.real)])))
    gamma = velmora.correlations._dot_rounding(size)
    assert abs(values[0] - exact) <= gamma * np.linalg.norm(a) * np.linalg.norm(b)


# -- bad input ---------------------------------------------------------------------

H4 = ising_chain(4)
Z4 = PauliSum([("IIIZ", 1.0)])
PSI4 = np.ones(16) / 4
T = [0.0, 1.0]


def corr(**kwargs):
    args = {"H": H4, "A": Z4, "B": Z4, "times": T, "state": PSI4, **kwargs}
    return correlation(args.pop("H"), args.pop("A"), args.pop("B"), args.pop("times"), **args)


def spectral_call(**kwargs):
    args = {"H": H4, "A": Z4, "omegas": [0.0, 1.0], "state": PSI4, "eta": 0.1, **kwargs}
    return spectral_function(args.pop("H"), args.pop("A"), args.pop("omegas"), **args)


BAD = [
    (lambda: corr(H=Z4 * 1j), ValueError, "H is not Hermitian"),
    (lambda: corr(H="ZZ"), TypeError, "H must be a velmora.PauliSum or SectorOperator"),
    (lambda: corr(A=PauliSum([("ZZ", 1.0)])), ValueError, "A acts on 2 qubits, but H acts on 4"),
    (lambda: corr(B=PauliSum([("ZZZZZ", 1.0)])), ValueError, "B acts on 5 qubits"),
    (lambda: corr(A=np.ones(8)), ValueError, r"A must be a PauliSum or a real 1-D array of 16"),
    (lambda: corr(B=np.ones(16) * 1j), TypeError, "B: a diagonal must be real"),
    (lambda: corr(B=np.full(16, np.nan)), ValueError, "B has a non-finite entry at index 0"),
    (lambda: corr(A="Z"), TypeError, "A must be a velmora.PauliSum"),
    (lambda: corr(A=lambda v: v), TypeError, "A must be a velmora.PauliSum"),
    (lambda: corr(times=[-1.0, 1.0]), ValueError, "times must be >= 0"),
    (lambda: corr(times=[0.0, np.inf]), ValueError, "times must be finite"),
    (lambda: corr(times=[2.0, 1.0]), ValueError, "times must be non-decreasing"),
    (lambda: corr(times=[]), ValueError, "times is empty"),
    (lambda: corr(times=[[1.0]]), ValueError, "times must be a 1-D sequence"),
    (lambda: corr(tol=0.0), ValueError, r"tol must be in \(0, 1\)"),
    (lambda: corr(tol=1.5), ValueError, r"tol must be in \(0, 1\)"),
    (lambda: corr(tol="1e-9"), TypeError, "tol must be a real number"),
    (lambda: corr(state=np.ones(8)), ValueError, "psi"),
    (lambda: corr(state=np.full(16, np.nan)), ValueError, "non-finite amplitude"),
    (lambda: corr(num_samples=4), ValueError, "num_samples applies to infinite temperature"),
    (lambda: corr(seed=1), ValueError, "seed applies to infinite temperature"),
    (lambda: corr(state=None, num_samples=1), ValueError, "num_samples must be at least 2"),
    (lambda: corr(state=None, num_samples=0), ValueError, "num_samples must be at least 2"),
    (lambda: corr(state=None, num_samples=2.0), TypeError, "num_samples must be an int"),
    (lambda: corr(state=None, seed=-1), ValueError, "seed must be >= 0"),
    (lambda: corr(state=None, seed="x"), TypeError, "seed must be None, an int"),
    (lambda: corr(memory_budget=-1), ValueError, "memory_budget must be >= 0"),
    (lambda: corr(krylov_dim=2), ValueError, "krylov_dim must be in 8..200"),
    (lambda: corr(H=heisenberg_chain(4, periodic=True).in_sector(Sector.chain(4, momentum=0)),
                  state=np.ones(6)), ValueError, "B does not map the sector of H into itself"),
    (lambda: corr(H=heisenberg_chain(4).in_sector(Sector(4, weight=2)), state=np.ones(6),
                  B=Z4.in_sector(Sector(4, weight=1))), ValueError,
     "B is a SectorOperator on another sector"),
    (lambda: corr(B=Z4.in_sector(Sector(4, weight=1))), ValueError,
     "B is a SectorOperator on another sector"),
    (lambda: spectral_call(eta=0.0), ValueError, r"eta must be > 0"),
    (lambda: spectral_call(eta=-1.0), ValueError, r"eta must be > 0"),
    (lambda: spectral_call(eta=np.nan), ValueError, "eta must be finite"),
    (lambda: spectral_call(omegas=[]), ValueError, "omegas must be a non-empty 1-D sequence"),
    (lambda: spectral_call(omegas=[0.0, np.nan]), ValueError, "omegas must be finite"),
    (lambda: spectral_call(omegas=[1j]), TypeError, "omegas must be real numbers"),
    (lambda: spectral_call(krylov_dim=1), ValueError, r"krylov_dim must be in 2\.\.1000000"),
    (lambda: spectral_call(krylov_dim=2.5), TypeError, "krylov_dim must be an int"),
    (lambda: spectral_call(max_steps=1), ValueError, r"max_steps must be in 2\.\.1000000"),
    (lambda: spectral_call(max_steps="9"), TypeError, "max_steps must be an int or None"),
    (lambda: spectral_call(krylov_dim=50, max_steps=100), ValueError, "not both"),
    (lambda: spectral_call(state=np.zeros(16)), ValueError, "state is zero"),
    (lambda: spectral_call(state=np.ones(4)), ValueError, "psi"),
    (lambda: spectral_call(energy=np.inf), ValueError, "energy must be finite"),
    (lambda: spectral_call(tol=0.0), ValueError, r"tol must be in \(0, 1\)"),
    (lambda: spectral_call(A=PauliSum([("ZZ", 1.0)])), ValueError, "A acts on 2 qubits"),
    (lambda: spectral_call(H=heisenberg_chain(4, periodic=True).in_sector(Sector.chain(4, momentum=0)),
                  state=np.ones(6)), ValueError, "A does not map the sector of H into itself"),
    (lambda: spectral_function(H4, Z4, [0.0], eta=0.1), TypeError, "missing 1 required"),
]


@pytest.mark.parametrize("make, error, match", BAD)
def test_bad_input_is_refused_with_a_clear_message(make, error, match):
    with pytest.raises(error, match=match):
        make()
