"""Evolution under time-dependent sums against closed forms, dense
references, the order conditions of the schemes, and the constant-H engine."""

import functools
import math
import pickle

import mpmath
import numpy as np
import pytest
from scipy.integrate import solve_ivp
from scipy.linalg import expm

import velmora
from velmora import PauliSum, TimeDependentSum
from velmora import quasi_magnus as qm
from reference import dense_hamiltonian, random_state, random_terms


def _word(n, letters):
    """A PauliSum of one word with the given {qubit: letter}."""
    label = ["I"] * n
    for qubit, letter in letters.items():
        label[n - 1 - qubit] = letter
    return "".join(label)


# -- a spin in a rotating field -------------------------------------------------

ROTATING = [  # (omega0, Omega, omega) per qubit
    (1.0, 0.7, 1.3),
    (2.0, 1.5, 2.0),
    (0.5, 3.0, 0.2),
]


def _rotating_sum(params):
    n = len(params)
    parts = [PauliSum([(_word(n, {q: "Z"}), w0 / 2) for q, (w0, _, _) in enumerate(params)])]
    for q, (_, big, w) in enumerate(params):
        parts.append((PauliSum([(_word(n, {q: "X"}), big / 2)]), _Cos(w)))
        parts.append((PauliSum([(_word(n, {q: "Y"}), big / 2)]), _Sin(w)))
    return TimeDependentSum(parts)


class _Cos:
    def __init__(self, w):
        self.w = w

    def __call__(self, t):
        return math.cos(self.w * t)


class _Sin(_Cos):
    def __call__(self, t):
        return math.sin(self.w * t)


def _rotating_exact(params, psi_qubits, t):
    """Kronecker product of the one-qubit solutions: in the frame rotating at
    omega the field is constant, psi(t) = exp(-i w t Z/2) exp(-i t ((w0 - w)/2 Z
    + Omega/2 X)) psi(0)."""
    X = np.array([[0, 1], [1, 0]], complex)
    Z = np.diag([1.0, -1.0]).astype(complex)
    state = np.ones(1, complex)
    for (w0, big, w), psi in zip(reversed(params), reversed(psi_qubits)):
        one = expm(-1j * w * t * Z / 2) @ expm(-1j * t * ((w0 - w) / 2 * Z + big / 2 * X)) @ psi
        state = np.kron(state, one)
    return state


@pytest.mark.parametrize("tol", [1e-6, 1e-8, 1e-10, 1e-12])
@pytest.mark.parametrize("order", [None, 6, 8])
def test_rotating_field_matches_the_closed_form(tol, order):
    rng = np.random.default_rng(7)
    qubits = [v / np.linalg.norm(v) for v in rng.normal(size=(3, 2)) + 1j * rng.normal(size=(3, 2))]
    psi = functools.reduce(np.kron, qubits[::-1])
    H = _rotating_sum(ROTATING)
    result = velmora.evolve(H, psi, 5.0, tol=tol, order=order)
    true = np.linalg.norm(result.state - _rotating_exact(ROTATING, qubits, 5.0))
    assert true <= max(tol, 1e-12)
    assert result.error >= true
    assert result.function_calls > 0 and result.steps > 0


# -- dense references on random sums ---------------------------------------------


def _pulse(t):
    return math.sin(math.pi * (t - 1.0)) ** 2 if 1.0 <= t <= 2.0 else 0.0


CASES = {
    "smooth": ([lambda t: 1.0 + 0.3 * t, math.cos], []),
    "oscillating": ([lambda t: math.cos(7.0 * t), lambda t: 0.5 * math.sin(3.0 * t) ** 2], []),
    "pulse": ([lambda t: 1.0, _pulse], [1.0, 2.0]),
}


def _random_case(name, n=6, seed=3):
    rng = np.random.default_rng(seed)
    functions, breakpoints = CASES[name]
    parts, dense = [], []
    for k, f in enumerate([None] + functions):
        terms = random_terms(rng, n, 5)
        part = PauliSum([(s, c) for c, s in terms])
        parts.append(part if f is None else (part, f))
        dense.append((dense_hamiltonian(terms), f))
    return TimeDependentSum(parts, breakpoints=breakpoints), dense


def _dense_reference(dense, psi, t0, t1, breakpoints):
    """solve_ivp DOP853 at rtol 1e-13, piece by piece between breakpoints."""
    def rhs(t, y):
        out = np.zeros_like(y)
        for matrix, f in dense:
            out += (1.0 if f is None else f(t)) * (matrix @ y)
        return -1j * out

    edges = [t0] + [b for b in breakpoints if t0 < b < t1] + [t1]
    state = psi
    for a, b in zip(edges, edges[1:]):
        state = solve_ivp(rhs, (a, b), state, method="DOP853", rtol=1e-13, atol=1e-15).y[:, -1]
    return state


@functools.lru_cache(maxsize=None)
def _random_reference(name):
    H, dense = _random_case(name)
    psi = random_state(np.random.default_rng(1), 6)
    psi /= np.linalg.norm(psi)
    return H, psi, _dense_reference(dense, psi, 0.5, 3.0, H.breakpoints)


@pytest.mark.parametrize("name", list(CASES))
@pytest.mark.parametrize("tol", [1e-5, 1e-8, 1e-10])
def test_random_sums_against_dense_integration(name, tol):
    H, psi, want = _random_reference(name)
    result = velmora.evolve(H, psi, 3.0, t0=0.5, tol=tol)
    true = np.linalg.norm(result.state - want)
    assert true <= tol
    assert result.error >= true


def test_trajectory_lands_on_every_output_and_measures_there():
    H, dense = _random_case("pulse", n=5, seed=4)
    psi = np.zeros(32, complex)
    psi[3] = 1
    times = np.array([0.0, 0.0, 0.7, 1.0, 1.5, 2.5])
    states = velmora.trajectory(H, psi, times, tol=1e-9)
    for k, t in enumerate(times):
        want = _dense_reference(dense, psi, 0.0, t, H.breakpoints) if t > 0 else psi
        assert np.linalg.norm(states.states[k] - want) <= 1e-9
    observable = PauliSum([("ZIIII", 1.0), ("IXIXI", 0.5)])
    measured = velmora.trajectory(H, psi, times, tol=1e-9, observables=[observable])
    direct = [np.vdot(s, observable.apply(s)).real for s in states.states]
    assert np.allclose(measured.expectations[:, 0], direct, atol=1e-9)
    assert measured.expectations.dtype == np.float64


# -- the schemes' order conditions ------------------------------------------------


def _scheme_local(scheme, A, h):
    result = mpmath.eye(A[0].rows)
    for row in scheme.rows:
        B = mpmath.zeros(A[0].rows)
        for a, c in zip(row, scheme.nodes):
            s = mpmath.mpf(c) * h
            B += mpmath.mpf(a) * (A[0] + A[1] * s + A[2] * s * s)
        result = mpmath.expm(-1j * h * B) * result
    return result


@pytest.mark.parametrize("scheme", list(qm.SCHEMES.values()),
                         ids=lambda s: s.name)
def test_local_error_has_the_order_of_the_scheme(scheme):
    """One step of a scheme on a generic problem (random 4 x 4 Hermitian
    matrices, H(t) quadratic in t: every nested commutator up to the order
    appears) has local error ~ h^(order + 1), measured in 40 digits."""
    mpmath.mp.dps = 40
    rng = np.random.default_rng(11)
    A = []
    for _ in range(3):
        m = rng.normal(size=(4, 4)) + 1j * rng.normal(size=(4, 4))
        A.append(mpmath.matrix((m + m.conj().T).tolist()) * 0.5)
    errors = []
    for h in (mpmath.mpf("0.1"), mpmath.mpf("0.05")):
        exact = _taylor_propagator(A, h)
        errors.append(mpmath.mnorm(_scheme_local(scheme, A, h) - exact, 1))
    slope = float(mpmath.log(errors[0] / errors[1], 2))
    assert abs(slope - (scheme.order + 1)) < 0.35, slope


def _taylor_propagator(A, h):
    """U(h) for i U' = (A0 + A1 t + A2 t^2) U, U(0) = 1: U = sum_k U_k h^k with
    (k + 1) U_{k+1} = -i (A0 U_k + A1 U_{k-1} + A2 U_{k-2})."""
    n = A[0].rows
    coeffs = [mpmath.eye(n)]
    total = mpmath.eye(n)
    power = mpmath.mpf(1)
    for k in range(90):
        nxt = A[0] * coeffs[k]
        if k >= 1:
            nxt += A[1] * coeffs[k - 1]
        if k >= 2:
            nxt += A[2] * coeffs[k - 2]
        nxt *= mpmath.mpc(0, -1) / (k + 1)
        coeffs.append(nxt)
        power *= h
        total += nxt * power
    return total


@pytest.mark.parametrize("order", [4, 6, 8])
def test_global_error_falls_with_the_order_at_fixed_steps(order):
    """The engine's steps at fixed length, exponentials to 1e-15: halving the
    step divides the error at t = 1 by about 2^order."""
    H, dense = _random_case("smooth", n=4, seed=5)
    psi = np.zeros(16, complex)
    psi[0] = 1
    want = _dense_reference(dense, psi, 0.0, 1.0, [])
    integrator = qm.Integrator(H, 1e-12, 1, 30, 1 << 30, order)
    errors = []
    for steps in (4, 8):
        state, h = psi, 1.0 / steps
        for j in range(steps):
            state, _ = integrator._step(state, j * h, h, 1e-15)
        errors.append(np.linalg.norm(state - want))
    assert math.log2(errors[0] / errors[1]) > order - 0.7


# -- constant functions, threads, interrupts ------------------------------------


def test_constant_functions_match_the_constant_engine_and_threads_give_the_same_bytes():
    H, _ = _random_case("smooth", n=7, seed=8)
    constant = TimeDependentSum([(part, lambda t: 2.0) for part, _ in H.parts])
    psi = random_state(np.random.default_rng(2), 7)
    psi /= np.linalg.norm(psi)
    want = velmora.evolve(H.at(0.0) * 2.0, psi, 1.5, tol=1e-12).state
    result = velmora.evolve(constant, psi, 1.5, tol=1e-9)
    assert np.linalg.norm(result.state - want) <= 1e-9
    runs = [velmora.evolve(H, psi, 1.5, tol=1e-8, num_threads=k) for k in (1, 2)]
    assert runs[0].state.tobytes() == runs[1].state.tobytes()
    assert (runs[0].error, runs[0].applications) == (runs[1].error, runs[1].applications)


# -- the object ---------------------------------------------------------------


def test_at_pickle_and_immutability():
    H = TimeDependentSum([PauliSum([("ZZ", 1.0)]), (PauliSum([("XI", 2.0)]), math.sin)],
                         breakpoints=[2.0, 1.0, 2.0])
    assert H.at(0.5).terms == [("ZZ", 1 + 0j), ("XI", 2.0 * math.sin(0.5) + 0j)]
    assert H.breakpoints == (1.0, 2.0) and H.num_qubits == 2 and len(H.parts) == 2
    copy = pickle.loads(pickle.dumps(H))
    assert copy.at(0.3) == H.at(0.3) and copy.breakpoints == H.breakpoints
    with pytest.raises(AttributeError):
        H.parts = []
    assert velmora.evolve(H, [1, 0, 0, 0], 1.0, t0=1.0).steps == 0


def _complex(t):
    return 1j


BAD = [
    (lambda: TimeDependentSum([]), ValueError, "terms is empty"),
    (lambda: TimeDependentSum(PauliSum([("Z", 1.0)])), TypeError, "single PauliSum"),
    (lambda: TimeDependentSum([("Z", 1.0)]), TypeError, "part 0: expected"),
    (lambda: TimeDependentSum([(PauliSum([("Z", 1.0)]), 2.0)]), TypeError, "part 0: f must be"),
    (lambda: TimeDependentSum([PauliSum([("Z", 1.0)]), PauliSum([("ZZ", 1.0)])]), ValueError,
     "part 1 acts on 2 qubits"),
    (lambda: TimeDependentSum([PauliSum([("Z", 1j)])]), ValueError, "part 0 is not Hermitian"),
    (lambda: TimeDependentSum([PauliSum([("Z", 1.0)])], breakpoints=[math.inf]), ValueError,
     "breakpoints\\[0\\] must be finite"),
]

H1 = [PauliSum([("X", 1.0)])]


def _run(f=None, **kwargs):
    parts = H1 + ([(PauliSum([("Z", 1.0)]), f)] if f is not None else [])
    args = {"t": 1.0, **kwargs}
    t = args.pop("t")
    return velmora.evolve(TimeDependentSum(parts), [1, 0], t, **args)


BAD += [
    (lambda: _run(_complex), ValueError, r"part 1: f\(0\.\d+\) returned 1j"),
    (lambda: _run(lambda t: math.nan), ValueError, r"part 1: f\(0\.\d+\) = nan is not finite"),
    (lambda: _run(lambda t: "1"), ValueError, "it must return a real float"),
    (lambda: _run(t=1j), ValueError, "evolves in real time"),
    (lambda: _run(t=0.5, t0=1.0), ValueError, "t = 0.5 is before t0 = 1.0"),
    (lambda: _run(normalize=True), ValueError, "normalize applies to imaginary"),
    (lambda: _run(order=5), ValueError, "order must be 4, 6, 8 or None"),
    (lambda: _run(t0=math.nan), ValueError, "t0 must be finite"),
    (lambda: velmora.trajectory(TimeDependentSum(H1), [1, 0], [0.5, 1.0], t0=0.75), ValueError,
     "times must be >= t0 = 0.75"),
    (lambda: velmora.evolve(H1[0], [1, 0], 1.0, order=8), ValueError,
     "order applies to a TimeDependentSum"),
    (lambda: velmora.evolve(H1[0], [1, 0], 1j, t0=0.5), TypeError, "t must be a real number"),
]


BAD += [
    (lambda: velmora.trajectory(TimeDependentSum([PauliSum([("X" * 20, 1.0)])]),
                                np.eye(1, 2**20, dtype=complex)[0], np.linspace(0, 1, 10**6)),
     MemoryError, "give observables to measure along the way"),
]


@pytest.mark.parametrize("make, error, match", BAD)
def test_bad_input_is_refused_with_a_clear_message(make, error, match):
    with pytest.raises(error, match=match):
        make()


def test_a_constant_sum_with_t0_evolves_for_the_elapsed_time():
    H = PauliSum([("X", 0.7), ("Z", 0.2)])
    a = velmora.evolve(H, [1, 0], 2.5, t0=1.0)
    b = velmora.evolve(H, [1, 0], 1.5)
    assert a.state.tobytes() == b.state.tobytes()
    traj = velmora.trajectory(H, [1, 0], [1.0, 2.5], t0=1.0)
    assert traj.states[1].tobytes() == b.state.tobytes() and list(traj.times) == [1.0, 2.5]
