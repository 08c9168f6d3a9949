"""velmora.evolve and velmora.trajectory against exact diagonalisation, and
their promises: the error bound holds, the bytes do not depend on threads,
trajectories agree with single evolutions, bad input is refused, Ctrl-C stops
a run."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

from reference import dense_hamiltonian, random_state
from velmora import PauliSum, evolve, trajectory
from velmora.models import ising_chain, pauli_label

LETTERS = np.array(list("IXYZ"))


def random_hermitian(rng, num_qubits, num_words, shift=0.0):
    """A random real-coefficient sum with an identity term; (PauliSum, dense)."""
    terms = [(float(rng.normal()), "".join(rng.choice(LETTERS, size=num_qubits)))
             for _ in range(num_words)]
    terms.append((shift, "I" * num_qubits))
    return PauliSum([(s, c) for c, s in terms]), dense_hamiltonian(terms)


def exact(dense, psi, t):
    """exp(-i t H) psi through eigh, with the exponent shifted by its largest
    real part so that imaginary times stay finite; returns (state, log scale)."""
    w, v = np.linalg.eigh(dense)
    exponent = -1j * t * w
    top = exponent.real.max()
    return v @ (np.exp(exponent - top) * (v.conj().T @ psi)), top


# (qubits, words, |t| * ||H||, imaginary, tol, seed)
ACCURACY = [
    (6, 12, 1.0, False, 1e-10, 1), (7, 20, 40.0, False, 1e-6, 2), (8, 30, 300.0, False, 1e-10, 3),
    (9, 25, 2000.0, False, 1e-6, 4), (10, 40, 120.0, False, 1e-10, 5),
    (11, 30, 2000.0, False, 1e-10, 6),
    (6, 12, 1.0, True, 1e-10, 7), (8, 20, 60.0, True, 1e-6, 8), (9, 30, 500.0, True, 1e-10, 9),
    (10, 30, 2000.0, True, 1e-6, 10),
]


@pytest.mark.parametrize("num_qubits,num_words,scaled_t,imaginary,tol,seed", ACCURACY)
def test_error_within_tol_and_bound_above_true_error(num_qubits, num_words, scaled_t, imaginary,
                                                     tol, seed):
    rng = np.random.default_rng(seed)
    _, traceless = random_hermitian(rng, num_qubits, num_words)
    spectrum = np.linalg.eigvalsh(traceless)
    norm = np.abs(spectrum).max()
    # Imaginary time: the identity term moves the lowest eigenvalue to 0, so the
    # result stays representable (exp(2000) would overflow); real time: any shift.
    shift = -spectrum[0] if imaginary else float(rng.normal())
    H, dense = random_hermitian(np.random.default_rng(seed), num_qubits, num_words, shift)
    t = scaled_t / norm * (-1j if imaginary else 1.0)
    psi = random_state(rng, num_qubits)
    result = evolve(H, psi, t, tol=tol, num_threads=0)
    want, log_scale = exact(dense, psi, t)
    got = result.state * np.exp(-log_scale) if imaginary else result.state
    true_error = np.linalg.norm(got - want) / np.linalg.norm(want)
    assert true_error <= tol
    assert result.error >= true_error
    assert result.error <= 2 * tol  # the estimate plus a rounding floor per step
    assert result.applications >= result.steps >= 1


def test_scale_invariance():
    rng = np.random.default_rng(21)
    H, _ = random_hermitian(rng, 6, 10)
    psi = random_state(rng, 6)
    reference = evolve(H, psi, 3.0, tol=1e-10).state
    for s in (1e-30, 1e-10, 1e10, 1e30):
        scaled = evolve(s * H, psi, 3.0 / s, tol=1e-10)
        assert np.linalg.norm(scaled.state - reference) <= 2e-10 * np.linalg.norm(psi)


def test_trajectory_states_match_evolve_and_observables_match_states():
    H = ising_chain(9, 1.0, 0.7)
    psi = np.zeros(2**9, dtype=complex)
    psi[0] = 1
    times = np.linspace(0, 4, 17)
    states = trajectory(H, psi, times, tol=1e-10).states
    for k in (0, 5, 16):
        np.testing.assert_allclose(states[k], evolve(H, psi, times[k], tol=1e-10).state,
                                   atol=3e-10)
    z0 = PauliSum([(pauli_label(9, {0: "Z"}), 1.0)])
    diagonal = np.arange(2**9, dtype=float) % 3
    observed = trajectory(H, psi, times, observables=[H, z0, diagonal], tol=1e-10)
    assert observed.states is None and observed.expectations.dtype == np.float64
    for k, state in enumerate(states):
        expected = [H.expectation(state), z0.expectation(state),
                    float(np.sum(diagonal * np.abs(state) ** 2))]
        np.testing.assert_allclose(observed.expectations[k], expected, atol=1e-9)
    complex_obs = trajectory(H, psi, times, observables=[PauliSum([("X" * 9, 1j)])])
    assert complex_obs.expectations.dtype == np.complex128


@pytest.mark.parametrize("memory_budget,kept", [(None, True), (0, False)])
def test_bytes_equal_for_every_thread_count_on_both_memory_paths(memory_budget, kept):
    H = ising_chain(14)
    psi = random_state(np.random.default_rng(5), 14)
    times = [0.0, 0.3, 0.3, 1.1]
    runs = [trajectory(H, psi, times, num_threads=k, memory_budget=memory_budget, tol=1e-8)
            for k in (0, 1, 2, 3)]
    assert all(r.kept_basis is kept for r in runs)
    for r in runs[1:]:
        assert r.states.tobytes() == runs[0].states.tobytes()
        assert (r.error, r.steps, r.applications) == (runs[0].error, runs[0].steps,
                                                      runs[0].applications)
    np.testing.assert_array_equal(runs[0].states[0], psi)
    np.testing.assert_array_equal(runs[0].states[1], runs[0].states[2])


def test_memory_paths_agree_within_tol():
    H = ising_chain(10)
    psi = random_state(np.random.default_rng(8), 10)
    times = np.linspace(0, 3, 7)
    kept = trajectory(H, psi, times, tol=1e-10)
    regenerated = trajectory(H, psi, times, tol=1e-10, memory_budget=0)
    assert kept.kept_basis and not regenerated.kept_basis
    scale = np.linalg.norm(psi)
    assert np.abs(kept.states - regenerated.states).max() <= 2e-10 * scale


def test_zero_state_and_zero_time():
    H = ising_chain(4)
    zero = evolve(H, np.zeros(16), 2.0)
    assert not zero.state.any() and zero.error == 0.0
    psi = random_state(np.random.default_rng(1), 4)
    np.testing.assert_array_equal(evolve(H, psi, 0.0).state, psi)


BAD_INPUT = [  # (call, exception, message)
    (lambda H, psi: evolve(PauliSum([("XY", 1j)]), psi[:4], 1.0), ValueError,
     r"H is not Hermitian: term 0 \('XY', 1j\) has a complex coefficient"),
    (lambda H, psi: evolve([("XX", 1.0)], psi, 1.0), TypeError, "H must be a velmora.PauliSum"),
    (lambda H, psi: evolve(H, psi[:4], 1.0), ValueError, "psi has 4 amplitudes, but"),
    (lambda H, psi: evolve(H, psi.reshape(2, 4), 1.0), ValueError,
     "psi has rows of 4 amplitudes, but the PauliSum acts on 3 qubits"),
    (lambda H, psi: evolve(H, np.where(np.arange(8) == 3, np.nan, psi), 1.0), ValueError,
     "psi has a non-finite amplitude at index 3"),
    (lambda H, psi: evolve(H, psi, float("inf")), ValueError, "t must be finite"),
    (lambda H, psi: evolve(H, psi, "1.0"), TypeError, "t must be a real or complex number"),
    (lambda H, psi: evolve(H, psi, 1.0, tol=0.0), ValueError, r"tol must be in \(0, 1\), got 0.0"),
    (lambda H, psi: evolve(H, psi, 1.0, tol=1.0), ValueError, r"tol must be in \(0, 1\)"),
    (lambda H, psi: evolve(H, psi, 1.0, num_threads=-2), ValueError, "num_threads must be"),
    (lambda H, psi: trajectory(H, psi, [0.0, 2.0, 1.0]), ValueError,
     r"times must be non-decreasing: times\[2\] = 1.0 < times\[1\] = 2.0"),
    (lambda H, psi: trajectory(H, psi, [-1.0, 1.0]), ValueError, "times must be >= 0"),
    (lambda H, psi: trajectory(H, psi, [0.0, np.nan]), ValueError, "times must be finite"),
    (lambda H, psi: trajectory(H, psi, []), ValueError, "times is empty"),
    (lambda H, psi: trajectory(H, psi, [1j]), TypeError, "times must be real numbers"),
    (lambda H, psi: trajectory(H, psi, [1.0], observables=[np.ones(4)]), ValueError,
     r"observables\[0\] must be a PauliSum or a real 1-D array of 8 entries"),
    (lambda H, psi: trajectory(H, psi, [1.0], observables=[np.ones(8, complex)]), TypeError,
     r"observables\[0\]: a diagonal observable must be real"),
    (lambda H, psi: trajectory(H, psi, [1.0], observables=[H, PauliSum([("X", 1.0)])]),
     ValueError, r"observables\[1\] acts on 1 qubits, but H acts on 3"),
    (lambda H, psi: trajectory(H, psi, [1.0], observables=H), TypeError,
     "observables must be a sequence"),
    (lambda H, psi: evolve(H, psi, 1.0, krylov_dim=3), ValueError,
     r"krylov_dim must be in 8..200, got 3: smaller Krylov spaces"),
    (lambda H, psi: evolve(H, psi, 1e300), ValueError,
     r"\|t\| = 1e\+300 would take on the order of .* products H @ psi .* years"),
    (lambda H, psi: trajectory(H, psi, [0.0, 1e300]), ValueError, "years"),
    (lambda H, psi: evolve(H, psi, 1.0, normalize=1), TypeError, "normalize must be True or False"),
    (lambda H, psi: evolve(H, psi, np.array([1.0])), TypeError, "t must be a real or complex"),
    (lambda H, psi: evolve(H, psi, -400j), OverflowError,
     r"beyond the double range \(the natural log of its norm is .*normalize=True"),
    (lambda H, psi: evolve(H, psi, 400j), OverflowError, "normalize=True"),
]


@pytest.mark.parametrize("call,error,message", BAD_INPUT)
def test_bad_input_is_refused(call, error, message):
    H = ising_chain(3)
    psi = random_state(np.random.default_rng(0), 3)
    with pytest.raises(error, match=message):
        call(H, psi)


LONG_RUNS = {
    "constant": """
        H = ising_chain(16)
        run = lambda: trajectory(H, psi, np.linspace(0, 1e5, 11), observables=[H], num_threads=1)
        """,
    "time-dependent": """
        import math
        from velmora import PauliSum, TimeDependentSum
        chain = ising_chain(16)
        H = TimeDependentSum([PauliSum(chain.terms[:15]),
                              (PauliSum(chain.terms[15:]), lambda t: math.cos(t))])
        run = lambda: evolve(H, psi, 1e4, num_threads=1)
        """,
    "batched apply": """
        from velmora.models import random_local
        H = random_local(18, 1500)  # about 0.1 s per row; signals looked for between sweeps
        rows = np.ones((64, 2**18), complex)
        run = lambda: H.apply(rows, num_threads=1)
        """,
}


@pytest.mark.parametrize("kind", list(LONG_RUNS))
def test_ctrl_c_stops_a_long_run_promptly(kind):
    script = textwrap.dedent("""
        import sys, time, numpy as np
        from velmora import evolve, trajectory
        from velmora.models import ising_chain
        psi = np.zeros(2**16, complex); psi[0] = 1
        """) + textwrap.dedent(LONG_RUNS[kind]) + textwrap.dedent("""
        print("started", flush=True)
        try:
            run()
        except KeyboardInterrupt:
            print("interrupted", time.monotonic(), flush=True)
            sys.exit(3)
        """)
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True,
                            cwd="/")
    assert proc.stdout.readline().strip() == "started"
    time.sleep(1.0)
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    out, _ = proc.communicate(timeout=30)
    assert proc.returncode == 3, out
    assert float(out.split()[1]) - sent < 1.0


# -- inputs that are numbers in other clothes, and edge cases that must work --

ACCEPTED = [  # (name, call) -> a result equal to the plain call's
    ("t as a 0-d array", lambda H, psi: evolve(H, psi, np.array(0.7)).state,
     lambda H, psi: evolve(H, psi, 0.7).state),
    ("times as an object array", lambda H, psi: trajectory(
        H, psi, np.array([0, np.float32(0.5), 1], dtype=object)).states,
     lambda H, psi: trajectory(H, psi, [0.0, 0.5, 1.0]).states),
    ("memory_budget beyond 2**64", lambda H, psi: evolve(H, psi, 0.7, memory_budget=2**70).state,
     lambda H, psi: evolve(H, psi, 0.7).state),
]


@pytest.mark.parametrize("name,call,plain", ACCEPTED, ids=[a[0] for a in ACCEPTED])
def test_numbers_in_other_forms_are_accepted(name, call, plain):
    H = ising_chain(3)
    psi = random_state(np.random.default_rng(0), 3)
    assert call(H, psi).tobytes() == plain(H, psi).tobytes()


def test_subnormal_complex_time():
    H = ising_chain(3)
    psi = random_state(np.random.default_rng(0), 3)
    result = evolve(H, psi, complex(3e-320, -4e-320))
    assert np.allclose(result.state, psi, rtol=0, atol=1e-15)


def test_no_observables_gives_an_empty_table():
    H = ising_chain(3)
    run = trajectory(H, random_state(np.random.default_rng(0), 3), [0.0, 1.0, 2.0],
                     observables=[])
    assert run.states is None and run.expectations.shape == (3, 0)


# (name, H, psi, tau): cooling far beyond the double range, where only the
# normalised state and the log of the norm can be returned
COOLING = [
    ("Ising chain n=8, tau=100", ising_chain(8).terms, 0, 100.0),
    ("Ising chain n=8, tau=1000", ising_chain(8).terms, 0, 1000.0),
    ("shifted up: decays below the range", [(label, c) for label, c in ising_chain(6).terms]
     + [("I" * 6, 40.0)], 5, 30.0),
]


@pytest.mark.parametrize("name,terms,index,tau", COOLING, ids=[c[0] for c in COOLING])
def test_normalized_imaginary_time_beyond_the_double_range(name, terms, index, tau):
    H = PauliSum(terms)
    psi = np.zeros(2**H.num_qubits, dtype=complex)
    psi[index] = 1.0
    with pytest.raises(OverflowError, match="normalize=True"):
        evolve(H, psi, -1j * tau)
    result = evolve(H, psi, -1j * tau, normalize=True)
    assert np.isfinite(result.state).all()
    assert abs(np.linalg.norm(result.state) - 1.0) < 1e-14
    # Against the dense exponential with its scale taken out: the normalised
    # state, and log ||exp(-tau H) psi|| = -tau E_0 + log |<0|psi>| + ...
    values, vectors = np.linalg.eigh(H.to_sparse().toarray())
    weights = np.exp(-tau * (values - values[0])) * (vectors.conj().T @ psi)
    exact = vectors @ weights
    log_norm = -tau * values[0] + np.log(np.linalg.norm(exact))
    exact /= np.linalg.norm(exact)
    assert np.linalg.norm(result.state - exact) <= max(result.error, 1e-10)
    assert abs(result.log_norm - log_norm) <= 1e-9 * max(1.0, abs(log_norm))


def test_normalized_trajectory_and_zero_state():
    H = ising_chain(4)
    psi = 3.0 * random_state(np.random.default_rng(2), 4)
    run = trajectory(H, psi, [0.0, 0.5, 1.0], normalize=True)
    plain = trajectory(H, psi, [0.0, 0.5, 1.0])
    norms = np.linalg.norm(plain.states, axis=1)
    assert np.allclose(run.log_norms, np.log(norms), rtol=0, atol=1e-13)
    assert np.allclose(run.states, plain.states / norms[:, None], rtol=0, atol=1e-13)
    zero = evolve(H, np.zeros(16, dtype=complex), -1j, normalize=True)
    assert zero.log_norm == -np.inf and not zero.state.any()


def test_sparse_matrix_observables():
    import scipy.sparse

    H = ising_chain(5)
    psi = random_state(np.random.default_rng(4), 5)
    times = [0.0, 0.3, 1.1]
    a = scipy.sparse.random(32, 32, density=0.2, random_state=6, format="csr")
    hermitian = (a + a.T).tocsr()
    general = scipy.sparse.csr_array(a + 1j * scipy.sparse.random(32, 32, density=0.1,
                                                                   random_state=7))
    run = trajectory(H, psi, times, observables=[hermitian, H, general])
    states = trajectory(H, psi, times).states
    want = np.array([[np.vdot(s, m @ s) for m in (hermitian, H.to_sparse(), general)]
                     for s in states])
    assert run.expectations.dtype == np.complex128  # one observable is not Hermitian
    assert np.allclose(run.expectations, want, rtol=1e-12, atol=1e-10)
    real = trajectory(H, psi, times, observables=[hermitian]).expectations
    assert real.dtype == np.float64 and np.allclose(real[:, 0], want[:, 0].real)
    with pytest.raises(ValueError, match=r"observables\[0\]: a sparse matrix observable must "
                                         r"be 32 x 32, got shape \(16, 16\)"):
        trajectory(H, psi, times, observables=[scipy.sparse.eye(16)])


def test_sparse_matrix_observables_keep_their_bits_for_any_blas_thread_count():
    # numpy.vdot runs in OpenBLAS, whose sums split by its own thread count;
    # the engine's fixed-chunk inner product does not.
    script = textwrap.dedent("""
        import numpy as np, velmora
        from velmora.models import ising_chain
        H = ising_chain(16)
        psi = np.zeros(2**16, dtype=complex); psi[0] = 1
        run = velmora.trajectory(H, psi, [0.5, 1.0], observables=[H.to_sparse()])
        print(run.expectations.tobytes().hex())
    """)
    outputs = set()
    for threads in ("1", "2"):
        env = {**os.environ, "OPENBLAS_NUM_THREADS": threads}
        proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              env=env, timeout=300)
        assert proc.returncode == 0, proc.stderr
        outputs.add(proc.stdout)
    assert len(outputs) == 1
