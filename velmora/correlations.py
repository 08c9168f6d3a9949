"""Dynamical correlation functions and spectral functions.

`correlation` gives C(t) = <psi|exp(iHt) A exp(-iHt) B|psi> from the
evolutions of psi and B psi, with a bound of its numerical error derived from
the two evolutions' bounds; without a state, the infinite-temperature value
Tr(A(t) B) / dim by quantum typicality, with the statistical error of the
random states reported apart from the numerical one. `spectral_function`
gives G(omega) = <psi|A^dagger (omega + i eta - (H - E0))^-1 A|psi> by the
Lanczos continued fraction of A psi, with a check of its convergence in the
number of Lanczos steps.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Union, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from velmora import _native, _tolerance
from velmora._checks import real_number
from velmora._threads import resolve_num_threads
from velmora.evolution import (_check_budget, _check_duration, _check_hamiltonian, _check_state,
                               _check_times, _check_tol, _pauli_sum, _with_images, trajectory)
from velmora.pauli_sum import PauliSum
from velmora.sector import SectorOperator, observable_in

#: A PauliSum, a SectorOperator (with a sector H) or a real diagonal (typed loosely).
Operand = Union[PauliSum, SectorOperator, ArrayLike]

#: Random states of an infinite-temperature correlation by default.
DEFAULT_SAMPLES = 4

#: Lanczos steps of a spectral function's first chain (it grows from there
#: until it converges, up to `DEFAULT_MAX_CHAIN_STEPS`).
DEFAULT_CHAIN_STEPS = 200

#: The longest chain a spectral function grows to by default.
DEFAULT_MAX_CHAIN_STEPS = 10_000

#: The most Lanczos steps a spectral function may ask for.
MAX_CHAIN_STEPS = 1_000_000

_EPS = float(np.finfo(np.float64).eps)


@dataclass(frozen=True)
class CorrelationResult:
    """The result of `correlation`.

    The values of C(t) at the output times with their error bounds, and the
    work done; the record is immutable.

    Parameters
    ----------
    times, values, error, statistical_error, num_samples, steps, applications, chunks
        The attributes below, in this order; `correlation` makes the record.

    Attributes
    ----------
    times : numpy.ndarray
        The output times, as given (float64, shape (len(times),)).
    values : numpy.ndarray
        C(t_k) (complex128, shape (len(times),)); without a state, the mean
        over the random states.
    error : numpy.ndarray
        Per time (float64), a bound of ``|values[k] - C(t_k)|`` from the
        evolutions and the rounding (without a state: of the difference to
        the exact mean over the same random states; the sampling is in
        `statistical_error`).
    statistical_error : numpy.ndarray or None
        Per time (float64), the standard error of the mean over the random
        states, ``sqrt(sum_s |C_s - mean|^2 / (S (S - 1)))``; None for a
        given state.
    num_samples : int or None
        The number S of random states; None for a given state.
    steps : int
        Krylov steps of all evolutions.
    applications : int
        Products H @ v of all evolutions.
    chunks : int
        Runs the times were split into to keep the states within the memory
        budget (1 when all fit).

    Examples
    --------
    >>> import numpy as np
    >>> from velmora import correlation
    >>> from velmora.models import ising_chain, z_diagonal
    >>> z = z_diagonal(6, 2)
    >>> psi = np.zeros(2**6); psi[0] = 1
    >>> result = correlation(ising_chain(6), z, z, [0.0, 0.5], state=psi)
    >>> result.values.shape, result.statistical_error, result.num_samples, result.chunks
    ((2,), None, None, 1)
    >>> random = correlation(ising_chain(6), z, z, [0.0, 0.5], num_samples=4, seed=7)
    >>> random.num_samples, random.statistical_error.shape
    (4, (2,))
    """

    times: NDArray[np.float64]
    values: NDArray[np.complex128]
    error: NDArray[np.float64]
    statistical_error: NDArray[np.float64] | None
    num_samples: int | None
    steps: int
    applications: int
    chunks: int


@dataclass(frozen=True)
class SpectralResult:
    """The result of `spectral_function`.

    The values of G(omega), the check of their convergence and the Lanczos
    chain; the record is immutable.

    Parameters
    ----------
    omegas, values, convergence, converged, terminated, steps, energy, norm, alpha, beta, applications
        The attributes below, in this order; `spectral_function` makes the
        record.

    Attributes
    ----------
    omegas : numpy.ndarray
        The frequencies, as given (float64, shape (len(omegas),)).
    values : numpy.ndarray
        G(omega) (complex128, shape (len(omegas),)); -values.imag / pi is the
        broadened spectral density.
    convergence : float
        The estimate of the truncation error ``max |G - G_exact|`` over the
        omegas: the largest ``|G - G_j|`` over the omegas and the last
        max(1, steps // 8) truncations G_j of the chain (j levels, steps - j
        from 1 to max(1, steps // 8)). Against dense resolvents of 12-18
        spins it was 0.9 to 50 times the true error, 3 to 6 times at the
        median (the half chain's change, used before, 60 to 230 times).
    converged : bool
        True when ``convergence <= tol * max |G|``, or when the chain ended at an
        invariant subspace (then G is exact up to rounding).
    terminated : bool
        True when the chain ended early at an invariant subspace.
    steps : int
        The Lanczos steps taken (the levels of the continued fraction).
    energy : float
        E0: the `energy` given, else <psi|H|psi> / <psi|psi>.
    norm : float
        ||A psi||, the weight of the continued fraction (G ~ norm^2 / omega).
    alpha : numpy.ndarray
        The chain's diagonal, alpha[j] = <v_j|H|v_j> (float64, shape
        (steps,)).
    beta : numpy.ndarray
        The chain's off-diagonal, beta[j] joining v_j and v_(j+1) (float64,
        shape (steps,); the last is the residual, 0 when the chain
        terminated).
    applications : int
        Products H @ v of every chain run (a chain that grows is run again
        from its start: see `spectral_function`).

    Examples
    --------
    >>> import numpy as np
    >>> from velmora import PauliSum, spectral_function
    >>> H = PauliSum([("XX", 1.0), ("YY", 1.0), ("ZZ", 1.0)])
    >>> singlet = np.array([0, 1, -1, 0]) / np.sqrt(2)
    >>> G = spectral_function(H, PauliSum([("IX", 1.0)]), [3.0, 5.0], state=singlet,
    ...                       eta=0.5)
    >>> G.steps, G.terminated, G.converged, G.alpha, G.beta
    (1, True, True, array([1.]), array([0.]))
    >>> round(G.energy, 12), round(G.norm, 12), np.round(G.values, 4)  # 1/(omega+0.5j-4)
    (-3.0, 1.0, array([-0.8-0.4j,  0.8-0.4j]))
    """

    omegas: NDArray[np.float64]
    values: NDArray[np.complex128]
    convergence: float
    converged: bool
    terminated: bool
    steps: int
    energy: float
    norm: float
    alpha: NDArray[np.float64]
    beta: NDArray[np.float64]
    applications: int = 0


# -- operands ------------------------------------------------------------------


@dataclass(frozen=True)
class _Operand:
    """An operator A or B as the computations use it: its product, a bound of
    its norm, and `rounding` with ||computed A v - A v|| <= rounding * ||v||."""

    apply: Callable[[NDArray[np.complex128]], NDArray[np.complex128]]
    norm: float
    rounding: float
    #: The sector operator behind `apply`, for the images policy (None off sectors).
    sector_operator: Any = None


def _sum_abs(operator: PauliSum) -> float:
    """sum |c| over every term, the identity included: a bound of ||operator||."""
    return math.fsum(abs(c) for _, c in operator.terms)


def _word_rounding(words: int, sum_abs: float) -> float:
    """The rounding of a product by a sum of `words` Pauli words of sum |c| =
    `sum_abs` (relative to ||v||): each amplitude sums at most `words` products
    c * v[y], each within 2 eps of its value, so the entry is within
    (words + 2) eps sum_k |c_k| |v[y_k]| (any order of the sum), and the
    vector within (words + 2) eps sum |c| ||v||. Sector products multiply
    each term by one more computed factor (the orbit sizes' ratio): two eps
    more."""
    return (words + 4) * _EPS * sum_abs


def _diagonal(name: str, values: object, size: int) -> NDArray[np.float64]:
    diagonal = np.asarray(values)
    if diagonal.ndim != 1 or diagonal.size != size:
        raise ValueError(f"{name} must be a PauliSum or a real 1-D array of {size} entries "
                         f"(a diagonal), got shape {diagonal.shape}")
    if np.iscomplexobj(diagonal) or not np.issubdtype(diagonal.dtype, np.number) \
            or diagonal.dtype == np.bool_:
        raise TypeError(f"{name}: a diagonal must be real, got dtype {diagonal.dtype}")
    result = np.ascontiguousarray(diagonal, dtype=np.float64)
    if not np.isfinite(result).all():
        index = int(np.flatnonzero(~np.isfinite(result))[0])
        raise ValueError(f"{name} has a non-finite entry at index {index}")
    return result


def _operand(name: str, operator: object, H: PauliSum | SectorOperator, threads: int, *,
             closed: bool) -> _Operand:
    """`operator` (a PauliSum, a SectorOperator on H's sector or a diagonal) on
    the states of H. With `closed`, its products must stay in H's sector (the
    operator applied to the state); without, only its matrix between sector
    states matters (the operator measured), which the sector form of its
    average over the symmetry group gives."""
    sector = H.sector if isinstance(H, SectorOperator) else None
    if isinstance(operator, (PauliSum, SectorOperator)):
        if operator.num_qubits != H.num_qubits:
            raise ValueError(f"{name} acts on {operator.num_qubits} qubits, but H acts on "
                             f"{H.num_qubits}")
        words = _pauli_sum(operator)
        bound = _sum_abs(words)
        if isinstance(operator, SectorOperator):
            if sector is None or operator.sector is not sector:
                raise ValueError(f"{name} is a SectorOperator on another sector than H's; give "
                                 "a PauliSum or an operator on H's sector")
            handle = operator._operator  # type: ignore[attr-defined]
            owner: Any = operator
        elif sector is None:
            pauli = operator._operator
            return _Operand(lambda v: _native.apply(pauli, v, threads), bound,
                            _word_rounding(len(words), bound))
        elif closed:
            try:
                handle = operator.in_sector(sector, precompute=False, num_threads=threads)._operator
            except ValueError as error:
                reason = str(error).removeprefix("H does not commute with the sector: ")
                raise ValueError(f"{name} does not map the sector of H into itself, so "
                                 f"{name} psi has no sector vector: {reason}") from None
        else:
            handle = observable_in(sector, operator, threads)
        if not isinstance(operator, SectorOperator):
            owner = handle
        # The group average has at most |G| words per word of the operator.
        rounding = _word_rounding(len(words) * sector.group_order, bound)
        return _Operand(lambda v: handle.apply(v, threads), bound, rounding, owner)
    if isinstance(operator, (str, bytes)) or callable(operator):
        raise TypeError(f"{name} must be a velmora.PauliSum, a SectorOperator or a real 1-D "
                        f"array (a diagonal), got {type(operator).__name__}")
    diagonal = _diagonal(name, operator, len(H) if sector is not None else 1 << H.num_qubits)
    largest = float(np.max(np.abs(diagonal)))

    def multiply(v: NDArray[np.complex128]) -> NDArray[np.complex128]:
        out = np.empty_like(v)
        np.multiply(v.real, diagonal, out=out.real)
        np.multiply(v.imag, diagonal, out=out.imag)
        return out

    return _Operand(multiply, largest, _EPS * largest)


def _divided(v: NDArray[np.complex128], scale: float) -> NDArray[np.complex128]:
    """v / scale for a real scale, part by part (one rounding per part)."""
    out = np.empty_like(v)
    np.divide(v.real, scale, out=out.real)
    np.divide(v.imag, scale, out=out.imag)
    return out


def _dot_rounding(size: int) -> float:
    """gamma with |computed <a|b> - <a|b>| <= gamma ||a|| ||b|| for
    `_native.inner` (and the relative error of `_native.norm`): each chunk of
    at most `reduction_chunk` terms is summed in order, each term a complex
    product written out, and the chunk sums are added in a pairwise tree of
    ceil(log2(chunks)) levels; the usual bound (terms + levels + 2) u per
    part, sqrt(2) for the two parts, and sum |a_i| |b_i| <= ||a|| ||b||."""
    chunk = int(_native.reduction_chunk)
    levels = math.ceil(math.log2(max(1, -(-size // chunk))))
    return (min(size, chunk) + levels + 3) * _EPS


# -- checks --------------------------------------------------------------------


def _check_samples(num_samples: object, given_state: bool) -> int | None:
    if given_state:
        if num_samples is not None:
            raise ValueError("num_samples applies to infinite temperature (state=None); "
                             "with a given state there is nothing to sample")
        return None
    if num_samples is None:
        return DEFAULT_SAMPLES
    if isinstance(num_samples, (bool, np.bool_)) or not isinstance(num_samples, numbers.Integral):
        raise TypeError(f"num_samples must be an int, got {type(num_samples).__name__}")
    if num_samples < 2:
        raise ValueError(f"num_samples must be at least 2 (the statistical error is the spread "
                         f"of the samples), got {num_samples}")
    return int(num_samples)


def _check_seed(seed: object, given_state: bool) -> np.random.Generator | None:
    if given_state:
        if seed is not None:
            raise ValueError("seed applies to infinite temperature (state=None), which draws "
                             "random states")
        return None
    if seed is None or isinstance(seed, np.random.Generator):
        return np.random.default_rng(seed)
    if isinstance(seed, (bool, np.bool_)) or not isinstance(seed, numbers.Integral):
        raise TypeError(f"seed must be None, an int or a numpy.random.Generator, got "
                        f"{type(seed).__name__}")
    if seed < 0:
        raise ValueError(f"seed must be >= 0, got {seed}")
    return np.random.default_rng(int(seed))


def _check_real_array(name: str, values: ArrayLike) -> NDArray[np.float64]:
    array = np.asarray(values)
    if array.ndim != 1 or array.size == 0:
        raise ValueError(f"{name} must be a non-empty 1-D sequence of real numbers, got shape "
                         f"{array.shape}")
    if np.iscomplexobj(array) or not np.issubdtype(array.dtype, np.number) \
            or array.dtype == np.bool_:
        raise TypeError(f"{name} must be real numbers, got dtype {array.dtype}")
    result = np.ascontiguousarray(array, dtype=np.float64)
    if not np.isfinite(result).all():
        raise ValueError(f"{name} must be finite")
    return result


# -- correlation ---------------------------------------------------------------


def _offsets(times: NDArray[np.float64], start: float) -> tuple[NDArray[np.float64],
                                                                NDArray[np.float64]]:
    """times - start as computed, and the exact residual of each subtraction
    (Knuth's two-sum: times - start = offset + residual exactly)."""
    offset = times - start
    back_time = offset + start
    back_start = offset - back_time
    return offset, (times - back_time) + (-start - back_start)


def _evolve_pair(H: PauliSum | SectorOperator, u: NDArray[np.complex128],
                 v: NDArray[np.complex128], offsets: NDArray[np.float64],
                 measure: Callable[[NDArray[np.complex128], NDArray[np.complex128]], complex],
                 tol: float, threads: int, krylov_dim: int | None,
                 budget: int) -> tuple[Any, ...]:
    """Evolves u and v to the offsets, measuring measure(u(t_k), v(t_k)) at
    each: (values, u at the last offset, v there, u's run error, v's run
    error, steps, products). The one place where the two states are evolved.

    u's states are kept (the caller sized the chunk for them); v's run
    measures each of its states against the kept state of the same time, which
    the engine hands to its observables in the order of the times."""
    with _tolerance.quiet():  # a miss is reported once, by correlation
        first = trajectory(H, u, offsets, tol=tol, num_threads=threads, krylov_dim=krylov_dim,
                           memory_budget=budget)
    kept = first.states
    assert kept is not None
    seen = [0]
    end: list[NDArray[np.complex128]] = []

    def observe(state: NDArray[np.complex128]) -> complex:
        k = seen[0]
        seen[0] += 1
        if k == offsets.size - 1:
            end.append(state.copy())
        return measure(kept[k], state)

    with _tolerance.quiet():
        second = trajectory(H, v, offsets, observables=[observe], tol=tol, num_threads=threads,
                            krylov_dim=krylov_dim, memory_budget=budget)
    if seen[0] != offsets.size:  # pragma: no cover - the engine measures every output once
        raise RuntimeError(f"the evolution measured {seen[0]} of {offsets.size} outputs")
    assert second.expectations is not None
    return (second.expectations[:, 0], kept[-1].copy(), end[0], first.error, second.error,
            first.steps + second.steps, first.applications + second.applications)


def _chunk_length(num_times: int, size: int, budget: int) -> int:
    """Output times per run: the kept states take at most half of the budget."""
    return max(1, min(num_times, (budget // 2) // (16 * size)))


def _correlate(H: PauliSum | SectorOperator, psi: NDArray[np.complex128], B: _Operand,
               A: _Operand, times: NDArray[np.float64], tol: float, threads: int,
               krylov_dim: int | None, budget: int) -> tuple[Any, ...]:
    """C(t_k) = <psi(t_k)|A|(B psi)(t_k)> at every time and a bound of each
    value's error: (values, bounds, steps, products, chunks, worst), worst the
    largest of the evolutions' reported errors relative to their share of tol
    (above 1 when one missed it).

    The times run in chunks whose states fit; each chunk continues from the
    previous chunk's last states, so the relative errors add up:
    a_c = a_(c-1) + eps_c (1 + a_(c-1)) for each state, and the times of the
    chunk are offsets from the previous chunk's last time, whose rounding
    shifts the times by up to `drift` (both states alike)."""
    size = psi.size
    phi = B.apply(psi)
    gamma = _dot_rounding(size)
    # Norms rounded up by their relative rounding.
    norm_psi = _native.norm(psi, threads) * (1.0 + gamma)
    norm_phi = _native.norm(phi, threads) * (1.0 + gamma)
    norm_h = _pauli_sum(H).norm_bound
    length = _chunk_length(times.size, size, budget)
    chunks = -(-times.size // length)
    run_budget = max(0, budget - length * 16 * size)

    def measure(u: NDArray[np.complex128], v: NDArray[np.complex128]) -> complex:
        return complex(_native.inner(u, A.apply(v), threads))

    values = np.empty(times.size, dtype=np.complex128)
    bounds = np.empty(times.size)
    u, v = psi, phi
    error_u = error_v = 0.0
    start, drift = 0.0, 0.0
    steps = applications = 0
    worst = 0.0
    for first in range(0, times.size, length):
        last = min(first + length, times.size)
        offsets, residual = _offsets(times[first:last], start)
        out, u, v, run_u, run_v, run_steps, run_products = _evolve_pair(
            H, u, v, offsets, measure, tol / chunks, threads, krylov_dim, run_budget)
        error_u += run_u * (1.0 + error_u)
        error_v += run_v * (1.0 + error_v)
        worst = max(worst, run_u / (tol / chunks), run_v / (tol / chunks))
        shift = (drift + np.abs(residual)) * norm_h
        values[first:last] = out
        bounds[first:last] = _bound(A, B, norm_psi, norm_phi, error_u, error_v, shift, gamma)
        steps += run_steps
        applications += run_products
        start, drift = float(times[last - 1]), drift + abs(float(residual[-1]))
    return values, bounds, steps, applications, chunks, worst


def _check_finite(values: NDArray[np.complex128]) -> None:
    """Refuses values beyond the double range instead of returning them."""
    if not np.isfinite(values).all():
        k = int(np.flatnonzero(~np.isfinite(values))[0])
        raise OverflowError(f"C(t) at times[{k}] is beyond the double range; scale the state "
                            "or the operators down (C is linear in A and B, quadratic in psi)")


def _warn_correlation(H: PauliSum | SectorOperator, worst: float, tol: float, chunks: int,
                      span: float) -> None:
    """One ToleranceWarning when an evolution of `correlation` reported more
    than its share of tol (tol / chunks)."""
    if worst <= 1.0:
        return
    share = tol / chunks
    reason = _tolerance.real_time_reason(_pauli_sum(H).norm_bound, span, share)
    where = f" of an evolution (its share of tol: {share:.1e})" if chunks > 1 else \
        " of an evolution"
    _tolerance.warn(_tolerance.missed("correlation", worst * share, tol, reason, where))


def _bound(A: _Operand, B: _Operand, norm_psi: float, norm_phi: float, error_u: float,
           error_v: float, shift: NDArray[np.float64], gamma: float) -> NDArray[np.float64]:
    """The bound of |computed C - C| (see `correlation`), from the relative
    errors of the evolved psi (error_u, against ||psi||) and of the evolved
    computed B psi (error_v, against its norm norm_phi), the time shift's
    error `shift` (per time, relative, both states), B's rounding, and the
    rounding of A's product and of the inner product."""
    exact_phi = norm_phi + B.rounding * norm_psi  # >= ||B psi||
    du = (error_u + shift) * norm_psi
    dv = error_v * norm_phi + B.rounding * norm_psi + shift * exact_phi
    propagated = A.norm * (du * exact_phi + norm_psi * dv + du * dv)
    rounding = (norm_psi * (1.0 + error_u) * norm_phi * (1.0 + error_v)
                * (A.rounding + gamma * (A.norm + A.rounding)))
    return np.asarray(propagated + rounding, dtype=np.float64)


def _random_state(rng: np.random.Generator, size: int, threads: int) -> NDArray[np.complex128]:
    """A Haar-random unit vector: complex Gaussian amplitudes, normalised."""
    state = np.empty(size, dtype=np.complex128)
    state.real = rng.standard_normal(size)
    state.imag = rng.standard_normal(size)
    return _divided(state, float(_native.norm(state, threads)))


def correlation(H: PauliSum | SectorOperator, A: Operand, B: Operand, times: ArrayLike, *,
                state: ArrayLike | None = None, num_samples: int | None = None,
                seed: int | np.random.Generator | None = None, tol: float = 1e-12,
                num_threads: int | None = None, krylov_dim: int | None = None,
                memory_budget: int | None = None) -> CorrelationResult:
    r"""The correlation :math:`C(t) = \langle\psi|e^{iHt} A e^{-iHt} B|\psi\rangle` at real times.

    C(t) = <u(t)|A|v(t)> with u(t) = exp(-iHt) psi and v(t) = exp(-iHt) B psi:
    psi and B psi are evolved (`velmora.trajectory`) and A applied to v(t).
    With ``state=None`` the result is the infinite-temperature correlation
    Tr(A(t) B) / D (D = 2^n, or the sector's dimension) by quantum
    typicality: the mean of C over `num_samples` Haar-random unit states r_s,
    each an unbiased estimate (E <r|X|r> = Tr X / D), whose spread is
    reported as `statistical_error`; it shrinks like 1 / sqrt(S D).

    The error bound. Let eps_u and eps_v be the relative errors of the two
    evolved states (the runs' reported errors, added over the chunks as
    a_c = a_(c-1) + eps_c (1 + a_(c-1)), plus ``||H - c|| |dt|`` for the rounding
    dt of the times), rho_B and rho_A the roundings of the products by B and
    A (``||computed B psi - B psi|| <= rho_B ||psi||``), and gamma that of
    the inner product. With du = eps_u ||psi|| and
    dv = eps_v ||B psi|| + rho_B ||psi||, the computed value C~ satisfies

    .. math::

        |\tilde C - C| \le{} & \lVert A\rVert\,\bigl(d_u \lVert B\psi\rVert
            + \lVert\psi\rVert\, d_v + d_u d_v\bigr) \\
            & + \lVert\psi\rVert (1 + \epsilon_u)\, \lVert B\psi\rVert (1 + \epsilon_v)\,
              \bigl(\rho_A + \gamma (\lVert A\rVert + \rho_A)\bigr) ,

    the first term from <u + du|A|v + dv> - <u|A|v> = <du|A|v> + <u|A|dv>
    + <du|A|dv>, the second from forming <u~|A v~> in floating point. ||A||
    is bounded by ``sum |coeff|`` (every term) or ``max |d|`` of a diagonal; the
    norms are rounded up. `error[k]` is this bound at t_k: a run reports one
    bound for all its times, so it is constant within a chunk and grows from
    chunk to chunk. Without a state it is the mean of the samples' bounds
    (plus the rounding of the mean): a bound of the distance to the exact
    mean over the same random states.

    The cost: two evolutions per state (psi and B psi) to the last time, and
    one product by A and one inner product per time; at infinite temperature
    2 S evolutions. The bytes are the same for every `num_threads`; a
    different split into chunks (`memory_budget`) changes them within the
    bound.

    Parameters
    ----------
    H : PauliSum or SectorOperator
        A Hermitian Hamiltonian. With a SectorOperator, states are sector
        vectors, B must map the sector into itself (a PauliSum is restricted
        to it, or a SectorOperator on the same sector), A is measured through
        its average over the symmetry group (its matrix between sector
        states), and infinite temperature is the trace over the sector.
    A, B : PauliSum, SectorOperator or array_like
        Any Pauli sums (Hermitian or not) or real diagonals of 2^n (or
        len(H)) entries in the computational (or sector) basis.
    times : array_like
        Real, finite, non-decreasing times t >= 0.
    state : array_like, optional
        psi (not normalised: C is bilinear in psi). None: infinite
        temperature.
    num_samples : int, optional
        Random states S >= 2 at infinite temperature (default 4); only with
        ``state=None``.
    seed : int or numpy.random.Generator, optional
        Seed of the random states (numpy.random.default_rng(seed); None:
        fresh entropy). The same seed gives the same states and bytes.
    tol : float, optional
        Relative error allowed for each of the two evolved states over the
        whole run (shared evenly by the chunks), in (0, 1); default 1e-12.
    num_threads : int, optional
        As in `velmora.evolve`; the bytes are the same for every value.
    krylov_dim : int, optional
        Krylov dimension of a time step (as in `velmora.evolve`).
    memory_budget : int, optional
        Bytes for the kept states and Krylov bases (default
        ``velmora.evolution.default_memory_budget()``). The states of psi at up
        to budget / 2 / (16 len(psi)) times are kept at once; longer lists of
        times run in chunks, each continuing from the previous chunk's end.

    Returns
    -------
    CorrelationResult
        `values`, `error` and `statistical_error` per time.

    Raises
    ------
    TypeError
        When an argument has the wrong type (naming it): H is not a PauliSum
        or SectorOperator, A or B is a str or a callable, a diagonal is
        complex or not numeric, the state or the times are not numbers,
        `num_samples` is not an int, `seed` is not None, an int or a
        Generator, or tol, `krylov_dim`, `memory_budget` or `num_threads` has
        the wrong type.
    ValueError
        For operators on another number of qubits, diagonals of the wrong
        size or not finite, times that are empty, negative, not finite or
        decreasing, tol outside (0, 1), num_samples < 2, or num_samples or
        seed with a given state; for a B that leaves H's sector, or an A or B
        that is a SectorOperator on another sector; for an H that is not
        Hermitian, a state of the wrong shape or not finite, a negative seed,
        `memory_budget` or `num_threads`, `krylov_dim` outside 8..200, or a
        last time that would need more than 1e12 products H @ psi.
    OverflowError
        When a product by H leaves the double range (coefficients near
        1e308), or a value C(t) does (a huge state or operators).
    MemoryError
        When the vectors of an evolution cannot fit in the memory this
        process may have.
    KeyboardInterrupt
        On Ctrl-C, which stops an evolution between two steps.

    Warns
    -----
    ToleranceWarning
        Once per call, when one of the evolutions reports an error above its
        share of `tol` (rounding floor, a tol below the smallest that real
        time meets); the values and their `error` bound are returned all the
        same.

    Examples
    --------
    A correlation in the ground state of the 6-spin Ising chain, against the
    exponentials of its matrix:

    >>> import numpy as np
    >>> import scipy.linalg
    >>> from velmora import PauliSum, correlation, eigsh
    >>> from velmora.models import ising_chain
    >>> H = ising_chain(6)
    >>> ground = eigsh(H).eigenvectors[0]
    >>> x = PauliSum([("IIIXII", 1.0)])                        # X on qubit 2
    >>> result = correlation(H, x, x, [0.0, 0.5, 1.0], state=ground)
    >>> np.round(result.values, 6)
    array([1.      +0.j      , 0.266165-0.269547j, 0.54345 +0.151312j])
    >>> U = scipy.linalg.expm(-1j * 1.0 * H.to_sparse().toarray())
    >>> X = x.to_sparse().toarray()
    >>> exact = np.vdot(U @ ground, X @ U @ X @ ground)      # <g|e^{iHt} X e^{-iHt} X|g>
    >>> bool(abs(result.values[2] - exact) <= result.error[2])
    True
    >>> bool(result.error.max() < 1e-10)
    True

    The infinite-temperature autocorrelation of Z on a site of the XX chain,
    against its free-fermion value ``|[exp(-iht)]_jj|^2`` (see the tests):

    >>> import numpy as np
    >>> from velmora import correlation
    >>> from velmora.models import xxz_chain, z_diagonal
    >>> H = xxz_chain(8, delta=0.0)
    >>> z = z_diagonal(8, 3)
    >>> result = correlation(H, z, z, [0.0, 1.0], num_samples=8, seed=1)
    >>> w, v = np.linalg.eigh(2 * (np.eye(8, k=1) + np.eye(8, k=-1)))
    >>> exact = abs(np.sum(v[3] ** 2 * np.exp(-1j * w * 1.0))) ** 2
    >>> value, spread = result.values[1].real, result.statistical_error[1]
    >>> print(f"{value:.3f} +- {spread:.3f}, exact {exact:.3f}")
    0.155 +- 0.016, exact 0.161
    >>> bool(result.error.max() < 1e-10)
    True
    """
    H = _check_hamiltonian(H)
    threads = resolve_num_threads(num_threads)
    given = state is not None
    psi = _check_state(H, state) if state is not None else None
    samples = _check_samples(num_samples, given)
    rng = _check_seed(seed, given)
    values_t = _check_times(times)
    _check_duration(H, float(values_t[-1]), 1.0 + 0j)
    tolerance = _check_tol(tol)
    _check_budget(memory_budget)
    op_b = _operand("B", B, H, threads, closed=True)
    op_a = _operand("A", A, H, threads, closed=False)
    # A is applied at every output time of every evolution, B once per state.
    measured = [op_a.sector_operator] if op_a.sector_operator is not None else []
    budget = _with_images(H, memory_budget, threads, measured)

    def one(start: NDArray[np.complex128]) -> tuple[Any, ...]:
        return _correlate(H, start, op_b, op_a, values_t, tolerance, threads, krylov_dim, budget)

    span = float(values_t[-1])
    if psi is not None:
        values, bounds, steps, applications, chunks, worst = one(psi)
        _check_finite(values)
        _warn_correlation(H, worst, tolerance, chunks, span)
        return CorrelationResult(values_t, values, bounds, None, None, steps, applications,
                                 chunks)
    assert rng is not None and samples is not None
    size = len(H) if isinstance(H, SectorOperator) else 1 << H.num_qubits
    estimates = np.empty((samples, values_t.size), dtype=np.complex128)
    sample_bounds = np.empty((samples, values_t.size))
    steps = applications = chunks = 0
    worst = 0.0
    for s in range(samples):
        estimates[s], sample_bounds[s], run_steps, run_products, chunks, run_worst = one(
            _random_state(rng, size, threads))
        steps += run_steps
        applications += run_products
        worst = max(worst, run_worst)
    _warn_correlation(H, worst, tolerance, chunks, span)
    mean = np.sum(estimates, axis=0) / samples
    _check_finite(mean)
    spread = np.abs(estimates - mean) ** 2
    statistical = np.sqrt(np.sum(spread, axis=0) / (samples * (samples - 1)))
    # The mean of the bounds bounds the error of the mean; its own rounding
    # (a sum of S terms and a division) adds (S + 1) eps max |C_s|.
    bounds = (np.sum(sample_bounds, axis=0) / samples
              + (samples + 1) * _EPS * np.max(np.abs(estimates), axis=0))
    return CorrelationResult(values_t, mean, bounds, statistical, samples, steps, applications,
                             chunks)


# -- spectral functions --------------------------------------------------------


def _lanczos_chain(op: Any, v: NDArray[np.complex128], steps: int, num_threads: int,
                   progress: Callable[[int, int], None] | None = None
                   ) -> tuple[float, NDArray[np.float64], NDArray[np.float64], int]:
    """(norm, alpha, beta, products): the Lanczos coefficients of v / ||v||
    under the compiled operator `op` by the plain three-term recurrence (no
    reorthogonalisation), at most `steps` of them; beta[j] joins steps j and
    j + 1 (the last one is the residual, 0 when the chain broke down, which
    ends it early). The chain runs in the core, between checks for Ctrl-C;
    `progress(products, 0)` is called every 16 steps."""
    norm, alpha, beta, products = _native.lanczos_chain(op, v, steps, num_threads, progress)
    return float(norm), alpha, beta, int(products)


def _continued_fraction(z_re: NDArray[np.float64], eta: float, alpha: NDArray[np.float64],
                        beta: NDArray[np.float64], levels: int,
                        weight: float) -> NDArray[np.complex128]:
    """weight^2 / (z - alpha_0 - beta_0^2 / (z - alpha_1 - ...)) with `levels`
    levels, z = z_re + i eta, evaluated from the last level up. Each division
    x / g is written x (g* / |g|) / |g| with |g| = hypot: no overflow of
    |g|^2, and the parts are formed with real operations alone. Im g >= eta > 0
    at every level, so |g| never vanishes."""
    g_re = z_re - alpha[levels - 1]
    g_im = np.full_like(z_re, eta)
    for j in range(levels - 2, -1, -1):
        size = np.hypot(g_re, g_im)
        factor = beta[j] * (beta[j] / size)
        g_re = (z_re - alpha[j]) - factor * (g_re / size)
        g_im = eta + factor * (g_im / size)
    size = np.hypot(g_re, g_im)
    factor = weight * (weight / size)
    out = np.empty(z_re.shape, dtype=np.complex128)
    out.real = factor * (g_re / size)
    out.imag = -(factor * (g_im / size))
    return out


def _truncation_error(z_re: NDArray[np.float64], eta: float, alpha: NDArray[np.float64],
                      beta: NDArray[np.float64], levels: int, weight: float,
                      values: NDArray[np.complex128]) -> float:
    """The estimate of max over the omegas of |G_levels - G_exact|: the
    largest |values - G_j| over the last max(1, levels // 8) truncations j
    (levels - j = 1 .. max(1, levels // 8)), values = G_levels.

    The truncations come from one forward pass over the levels, G_j =
    weight^2 P_j / Q_j with the three-term recurrences of the continued
    fraction's numerators and denominators (Q_j(z) = (z - alpha_(j-1)) Q_(j-1)
    - beta_(j-2)^2 Q_(j-2), Q_0 = 1; P the same with P_0 = 0, P_1 = 1),
    both divided by |Q_j| at each level so that neither overflows; Q_j(z) has
    its zeros on the real axis, so it is never zero at Im z = eta > 0.

    Why a window and not the half chain: the difference to the half chain is
    the half chain's own error, which on dense references of 12-18 spins was
    2-20,000 times (median 60-230) the full chain's. The largest difference
    over the last eighth of the levels was 0.9-50 times it (median 3-6); the
    difference to a single level in that window fell to 0.4 times it, and a
    geometric extrapolation of the differences to 0.1, so neither is used."""
    window = max(1, levels // 8)
    if levels <= 1:
        return 0.0
    z = z_re + 1j * eta
    scaled = values / weight / weight  # G_levels / weight^2, compared with P_j / Q_j
    worst = np.zeros(z_re.shape)
    q_prev, q = np.ones_like(z), z - alpha[0]
    p_prev, p = np.zeros_like(z), np.ones_like(z)
    for j in range(1, levels):  # q, p are Q_j, P_j here
        if j >= levels - window:
            np.maximum(worst, np.abs(scaled - p / q), out=worst)
        factor = beta[j - 1] * beta[j - 1]
        q_next = (z - alpha[j]) * q - factor * q_prev
        p_next = (z - alpha[j]) * p - factor * p_prev
        size = np.abs(q_next)
        q_prev, q, p_prev, p = q / size, q_next / size, p / size, p_next / size
    return float(np.max(worst)) * weight * weight


def _next_length(steps: int, error: float, half_error: float, target: float, cap: int) -> int:
    """The length of the next chain of a growing spectral function: the
    truncation error falls about geometrically in the levels, at the rate
    seen between the half chain's estimate and the full one's; the length
    where it reaches half the target, with a quarter more levels, at least
    1.5 and at most 8 times the current one (every chain is run from its
    start: the growth bounds the products spent on shorter chains by twice
    those of the last), and at most `cap`."""
    least, most = -(-3 * steps // 2), 8 * steps
    wanted = most
    if 0.0 < error < half_error and target > 0.0:
        rate = math.log(half_error / error) / (steps - steps // 2)
        wanted = int(math.ceil(steps + 1.25 * math.log(2.0 * error / target) / rate))
    return min(cap, max(least, min(most, wanted)))


class _LevelBar:
    """A tqdm counter of the chain's products, over every chain run."""

    def __init__(self) -> None:
        from tqdm.auto import tqdm

        self._bar: Any = tqdm(unit=" products", desc="spectral_function")
        self._done = 0
        self._offset = 0

    def start_chain(self, length: int) -> None:
        self._offset = self._done
        self._bar.set_postfix(levels=length, refresh=False)

    def __call__(self, products: int, _converged: int) -> None:
        self._bar.update(self._offset + products - self._done)
        self._done = self._offset + products

    def end_chain(self, products: int) -> None:
        self(products, 0)

    def close(self) -> None:
        self._bar.close()


def _check_chain_lengths(krylov_dim: object, max_steps: object) -> tuple[int, int, bool]:
    """(first length, cap, grows) of a spectral function's chain."""
    for name, value in (("krylov_dim", krylov_dim), ("max_steps", max_steps)):
        if value is None:
            continue
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
            raise TypeError(f"{name} must be an int or None, got {type(value).__name__}")
        if not 2 <= int(value) <= MAX_CHAIN_STEPS:
            raise ValueError(f"{name} must be in 2..{MAX_CHAIN_STEPS} (the convergence check "
                             f"compares truncations of the chain), got {value}")
    if krylov_dim is not None:
        if max_steps is not None:
            raise ValueError("give krylov_dim (a chain of that many levels) or max_steps (the "
                             "cap of a chain that grows until it converges), not both")
        return int(cast(int, krylov_dim)), int(cast(int, krylov_dim)), False
    cap = DEFAULT_MAX_CHAIN_STEPS if max_steps is None else int(cast(int, max_steps))
    return min(DEFAULT_CHAIN_STEPS, cap), cap, True


def spectral_function(H: PauliSum | SectorOperator, A: Operand, omegas: ArrayLike, *,
                      state: ArrayLike, eta: float, krylov_dim: int | None = None,
                      energy: float | None = None, tol: float = 1e-4,
                      max_steps: int | None = None, num_threads: int | None = None,
                      progress: bool = False) -> SpectralResult:
    r""":math:`G(\omega) = \langle\psi|A^\dagger (\omega + i\eta - (H - E_0))^{-1} A|\psi\rangle`
    by the Lanczos continued fraction, grown until it converges.

    The Lanczos chain of v_0 = A psi / ||A psi|| under H (alpha_j =
    <v_j|H|v_j>, beta_j = ||H v_j - alpha_j v_j - beta_(j-1) v_(j-1)||, the
    plain recurrence: the loss of orthogonality does not spoil the continued
    fraction's values) gives, with :math:`z = \omega + i\eta + E_0`,

    .. math::

        G(\omega) = \cfrac{\lVert A\psi\rVert^2}{z - \alpha_0
            - \cfrac{\beta_0^2}{z - \alpha_1 - \cfrac{\beta_1^2}{\ddots}}}

    truncated after L levels (the last level z - alpha_(L-1)) or where the
    chain ends at an invariant subspace (then exact up to rounding). The
    check: `convergence` estimates the truncation error as the largest
    change of G over the omegas when the chain is cut by 1 to L // 8
    levels; `converged` says whether it is at most ``tol * max |G|``. By
    default the chain starts at 200 levels and, while unconverged, is run
    again longer (at the length where the error, falling at the rate seen so
    far, meets the tolerance; at least 1.5 times longer), up to `max_steps`
    levels. Each longer chain starts over from A psi (the coefficients of
    its first levels are the same bits), so growing costs at most about
    twice the products of the last chain; `applications` counts them all. A
    broadening eta resolves features of width about eta, which needs a
    chain of about (spectral width) / eta levels.

    Parameters
    ----------
    H : PauliSum or SectorOperator
        A Hermitian Hamiltonian; with a SectorOperator, psi is a sector
        vector and A must map the sector into itself. A SectorOperator keeps
        its images when they fit (the images policy of the memory page).
    A : PauliSum, SectorOperator or array_like
        Any Pauli sum, a SectorOperator on the sector of H, or a real diagonal
        (2^n or len(H) entries).
    omegas : array_like
        Real, finite frequencies (any order), measured from E0: a non-empty
        1-D sequence.
    state : array_like
        psi, usually a ground state (`velmora.eigsh`); not normalised: G is
        quadratic in psi.
    eta : float
        The broadening, > 0.
    krylov_dim : int, optional
        A chain of at most this many levels (2..1e6), one product H @ v
        each, that does not grow; None (default) grows the chain until it
        converges.
    energy : float, optional
        E0; default <psi|H|psi> / <psi|psi>.
    tol : float, optional
        The estimated truncation error relative to ``max |G|``, in (0, 1),
        at which the chain counts as converged (default 1e-4).
    max_steps : int, optional
        The longest chain a growing run builds (2..1e6; default 10,000);
        only without `krylov_dim`.
    num_threads : int, optional
        As in `velmora.evolve`; the bytes are the same for every value.
    progress : bool, optional
        Show a progress bar (tqdm) of the products and the chain's length
        (default False).

    Returns
    -------
    SpectralResult
        `values`, the check (`convergence`, `converged`, `terminated`), the
        chain, and the products spent.

    Raises
    ------
    TypeError
        When an argument has the wrong type (naming it): H is not a PauliSum
        or SectorOperator, A is a str or a callable, a diagonal or the omegas
        are complex or not numeric, the state does not hold numbers, eta,
        energy or tol is not a real number, `krylov_dim` or `max_steps` is
        not an int or None, or `num_threads` has the wrong type.
    ValueError
        For a state of the wrong shape, non-finite or zero (without
        `energy`), empty or non-finite omegas, eta <= 0 or not finite,
        `krylov_dim` or `max_steps` outside 2..1e6 or both given, tol outside
        (0, 1), an operator on another number of qubits, or an A that leaves
        H's sector; for an H that is not Hermitian, an energy that is not
        finite, a negative `num_threads`.
    OverflowError
        When A psi or G(omega) is beyond the double range (a huge state).
    MemoryError
        When the chain's vectors cannot fit in the memory this process may
        have.
    KeyboardInterrupt
        On Ctrl-C, which stops the chain between two levels.

    Warns
    -----
    ToleranceWarning
        When the chain stops unconverged (``converged`` is False): at
        `max_steps` levels, or at `krylov_dim` levels when given.

    Examples
    --------
    The spin-flip spectrum of a Heisenberg dimer from its singlet: one pole,
    at the triplet, 4 above the singlet's energy.

    >>> import numpy as np
    >>> from velmora import PauliSum, spectral_function
    >>> H = PauliSum([("XX", 1.0), ("YY", 1.0), ("ZZ", 1.0)])
    >>> singlet = np.array([0, 1, -1, 0]) / np.sqrt(2)
    >>> G = spectral_function(H, PauliSum([("IX", 1.0)]), [4.0], state=singlet, eta=0.1)
    >>> G.terminated, G.steps, round(G.energy, 12), bool(np.allclose(G.values, 1 / 0.1j))
    (True, 1, -3.0, True)

    From the ground state of the 6-spin Ising chain, against the resolvent of
    its matrix, ``sum_m |<m|X|g>|^2 / (omega + i eta - (E_m - E0))``:

    >>> from velmora import eigsh
    >>> from velmora.models import ising_chain
    >>> H = ising_chain(6)
    >>> ground = eigsh(H).eigenvectors[0]
    >>> omegas = np.linspace(0.0, 6.0, 7)
    >>> G = spectral_function(H, PauliSum([("IIIXII", 1.0)]), omegas, state=ground,
    ...                       eta=0.1)
    >>> G.converged, np.round(-G.values.imag[:3] / np.pi, 4)      # the broadened density
    (True, array([1.6394, 0.0199, 0.1125]))
    >>> w, v = np.linalg.eigh(H.to_sparse().toarray())
    >>> weights = np.abs(v.conj().T @ PauliSum([("IIIXII", 1.0)]).apply(ground)) ** 2
    >>> exact = [np.sum(weights / (o + 0.1j - (w - G.energy))) for o in omegas]
    >>> bool(np.allclose(G.values, exact, rtol=0, atol=1e-10))
    True
    """
    H = _check_hamiltonian(H)
    threads = resolve_num_threads(num_threads)
    psi = _check_state(H, state)
    z_re = _check_real_array("omegas", omegas)
    width = real_number("eta", eta)
    if width <= 0.0:
        raise ValueError(f"eta must be > 0 (the broadening), got {width}")
    length, cap, grows = _check_chain_lengths(krylov_dim, max_steps)
    tolerance = _check_tol(tol)
    op = _operand("A", A, H, threads, closed=True)
    if energy is None:
        norm_psi = float(_native.norm(psi, threads))
        if norm_psi == 0.0:
            raise ValueError("state is zero: it has no energy; give a nonzero state")
        e0 = float(H.expectation(psi, threads).real) / norm_psi / norm_psi
        if not math.isfinite(e0):  # <psi|H|psi> beyond the range: from the unit state
            e0 = float(H.expectation(_divided(psi, norm_psi), threads).real)
    else:
        e0 = real_number("energy", energy)
    applied = op.apply(psi)
    if not np.isfinite(applied).all():
        raise OverflowError("A psi is beyond the double range; scale the state down (G is "
                            "quadratic in psi)")
    _with_images(H, None, threads)  # the chain applies H at every level
    omegas_given = z_re.copy()
    shifted = z_re + e0
    bar = _LevelBar() if progress else None
    products = 0
    try:
        while True:
            if bar is not None:
                bar.start_chain(length)
            weight, alpha, beta, used = _lanczos_chain(H._operator, applied, length, threads, bar)
            products += used
            if bar is not None:
                bar.end_chain(used)
            steps = alpha.size
            if steps == 0:  # A psi = 0
                zero = np.zeros(z_re.size, dtype=np.complex128)
                return SpectralResult(omegas_given, zero, 0.0, True, True, 0, e0, 0.0, alpha,
                                      beta, products)
            terminated = bool(beta[-1] == 0.0)
            values = _continued_fraction(shifted, width, alpha, beta, steps, weight)
            if not np.isfinite(values).all():
                raise OverflowError(f"G(omega) is beyond the double range (||A psi|| = "
                                    f"{weight:.3g}, eta = {width:g}); scale the state down "
                                    "(G is quadratic in psi)")
            convergence = _truncation_error(shifted, width, alpha, beta, steps, weight, values)
            scale = float(np.max(np.abs(values)))
            converged = terminated or convergence <= tolerance * scale
            if converged or not grows or steps >= cap:
                break
            half = max(1, steps // 2)
            half_error = _truncation_error(
                shifted, width, alpha, beta, half, weight,
                _continued_fraction(shifted, width, alpha, beta, half, weight))
            length = _next_length(steps, convergence, half_error, tolerance * scale, cap)
    finally:
        if bar is not None:
            bar.close()
    if not converged:
        advice = (f"raise max_steps (now {cap}) or eta" if grows else
                  "raise krylov_dim (the levels) or eta, or leave krylov_dim out to let the "
                  "chain grow")
        _tolerance.warn(
            f"spectral_function: the chain of {steps} levels did not converge: its estimated "
            f"truncation error {convergence:.1e} exceeds tol * max |G| = {tolerance:g} * "
            f"{scale:.3g}; {advice}")
    return SpectralResult(omegas_given, values, convergence, converged, terminated, steps, e0,
                          weight, alpha, beta, products)
