"""Evolution to any time within a tolerance, and trajectories with observables.

Both functions run the error-controlled Krylov engine of `velmora._native`:
Lanczos steps whose length is chosen from a computable bound of the Krylov
error, with every output time inside a step formed from the same basis.
"""

from __future__ import annotations

import cmath
import math
import numbers
import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Callable, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

from velmora import _native, _taylor, _tolerance
from velmora._checks import check_memory, real_number
from velmora._threads import resolve_num_threads
from velmora.pauli_sum import PauliSum, finite_expectations
from velmora.quasi_magnus import Integrator
from velmora.sector import SectorOperator, keep_images, observable_in
from velmora.time_dependent import TimeDependentSum

#: A PauliSum, a real diagonal, a SciPy sparse matrix or a callable (typed loosely: SciPy is optional).
Observable = Union[PauliSum, ArrayLike, Any]

#: Krylov dimension of one time step.
DEFAULT_KRYLOV_DIM = 30

#: Krylov dimension of one time step in a sector whose basis is small
#: against the memory budget (see `_default_krylov_dim`).
SECTOR_KRYLOV_DIM = 90

#: Smallest Krylov dimension accepted: below it a step covers so little time
#: that long runs take tens of thousands of steps and rounding adds up.
MIN_KRYLOV_DIM = 8

#: Runs estimated to need more products H @ v than this are refused.
MAX_PRODUCTS = 10**12


def _resident_bytes() -> int:
    """This process's resident set (0 where /proc cannot be read)."""
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return 0


def default_memory_budget() -> int:
    """Bytes the engine may spend on a kept Krylov basis by default: a quarter
    of physical memory, but no more than what this process can still get under
    its limits (cgroup memory limit of a container or batch job, RLIMIT_AS,
    physical memory plus swap; the figure the out-of-memory check uses) beyond
    what it holds now. The engine falls back to regenerating the basis when a
    kept one would not fit, whatever the budget."""
    try:
        quarter = int(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") // 4)
    except (ValueError, OSError, AttributeError):
        quarter = 1 << 30
    limit, _ = _native.memory_limit()
    if limit >= 2**64 - 1:
        return quarter
    return max(0, min(quarter, limit - _resident_bytes()))


@dataclass(frozen=True)
class EvolveResult:
    """The result of `evolve`.

    For a 2-D psi of k states (one per row), each evolved as its own run, every
    field gains a leading axis of length k: `state` has shape (k, dim), `error`
    is a float64 array of k, `steps`, `applications` and `function_calls`
    int64 arrays, `kept_basis` a bool array and `log_norm` (with normalize) a
    float64 array; row r holds the bits of ``evolve(H, psi[r], ...)``. The
    annotations describe one state. The record is immutable.

    Parameters
    ----------
    state, error, steps, applications, kept_basis, log_norm, function_calls
        The attributes below, in this order; `evolve` makes the record.

    Attributes
    ----------
    state : numpy.ndarray
        exp(-i t H) psi, a new complex128 array (not renormalised) of shape
        (dim,): dim = 2^n, or len(H) for a `SectorOperator`.
    error : float
        Upper estimate of the relative error ||state - exact|| / ||exact||: in
        real time the sum of the steps' computable bounds plus a worst-case
        rounding floor; in imaginary and complex time the same weighted by the
        growth of each step's error over the rest of the run (an estimate;
        above 1 when double precision cannot give the result). For a
        `TimeDependentSum` the sum of the Taylor steps' estimates (the
        series' truncation, the drives' polynomials, rounding), or with
        method='magnus' a safety factor times an asymptotic estimate of each
        step's time-discretisation error plus the Krylov bounds.
    steps : int
        Time steps taken: Krylov steps for a constant H, Taylor (or
        quasi-Magnus) steps for a `TimeDependentSum`.
    applications : int
        Products H @ v computed (for a `TimeDependentSum`'s Taylor steps,
        products with one part: H(t) @ v costs one with each part).
    kept_basis : bool
        True when the Krylov basis was kept in memory, False when it was
        regenerated in a second pass to stay within `memory_budget`.
    log_norm : float or None
        With normalize=True: the natural log of the norm of the unnormalised
        result (finite whenever the result is not zero, however large); None
        otherwise.
    function_calls : int
        Calls of the functions f_k of a `TimeDependentSum` (0 for a constant
        H).

    Examples
    --------
    >>> import numpy as np
    >>> from velmora import evolve
    >>> from velmora.models import ising_chain
    >>> psi = np.zeros(2**6, dtype=complex); psi[0] = 1
    >>> result = evolve(ising_chain(6), psi, 1.0)
    >>> result.state.shape, result.steps, result.kept_basis, result.log_norm
    ((64,), 1, True, None)
    >>> batch = evolve(ising_chain(6), np.eye(2**6)[:3], 1.0)     # three states, as rows
    >>> batch.state.shape, batch.error.shape, batch.steps
    ((3, 64), (3,), array([1, 1, 1]))
    """

    state: NDArray[np.complex128]
    error: float
    steps: int
    applications: int
    kept_basis: bool
    log_norm: float | None = None
    function_calls: int = 0


@dataclass(frozen=True)
class TrajectoryResult:
    """The result of `trajectory`.

    For a 2-D psi of k states (one per row), each evolved as its own run,
    `times` stays shared and every other field gains a leading axis of length
    k: `states` (k, len(times), dim), `expectations` (k, len(times), m),
    `log_norms` (k, len(times)), and arrays of k for `error`, `steps`,
    `applications`, `kept_basis` and `function_calls`; row r holds the bits of
    ``trajectory(H, psi[r], ...)``. The annotations describe one state. The
    record is immutable.

    Parameters
    ----------
    times, states, expectations, error, steps, applications, kept_basis, log_norms, function_calls
        The attributes below, in this order; `trajectory` makes the record.

    Attributes
    ----------
    times : numpy.ndarray
        The output times, as given (float64, shape (len(times),)).
    states : numpy.ndarray or None
        States at every time, complex128 of shape (len(times), dim), dim =
        2^n or len(H) for a `SectorOperator`; None when observables were
        given.
    expectations : numpy.ndarray or None
        <psi(t_k)|O_j|psi(t_k)>, shape (len(times), len(observables));
        float64 when every observable is Hermitian, else complex128; None
        without observables.
    error : float
        Never below the relative error of any returned state (see `evolve`).
    steps : int
        Time steps taken (as in `EvolveResult`).
    applications : int
        Products H @ v computed.
    kept_basis : bool
        True when the Krylov basis was kept in memory, False when it was
        regenerated to stay within `memory_budget`.
    log_norms : numpy.ndarray or None
        With normalize=True: the natural log of the norm of each unnormalised
        state, shape (len(times),); None otherwise.
    function_calls : int
        Calls of the functions f_k of a `TimeDependentSum` (0 for a constant
        H).

    Examples
    --------
    >>> import numpy as np
    >>> from velmora import trajectory
    >>> from velmora.models import ising_chain, z_diagonal
    >>> psi = np.zeros(2**6, dtype=complex); psi[0] = 1
    >>> kept = trajectory(ising_chain(6), psi, [0.0, 0.5, 1.0])
    >>> kept.times, kept.states.shape, kept.expectations
    (array([0. , 0.5, 1. ]), (3, 64), None)
    >>> measured = trajectory(ising_chain(6), psi, [0.0, 0.5, 1.0],
    ...                       observables=[z_diagonal(6, 0)])
    >>> measured.states, measured.expectations.shape, measured.expectations.dtype
    (None, (3, 1), dtype('float64'))
    """

    times: NDArray[np.float64]
    states: NDArray[np.complex128] | None
    expectations: NDArray[Any] | None
    error: float
    steps: int
    applications: int
    kept_basis: bool
    log_norms: NDArray[np.float64] | None = None
    function_calls: int = 0


def _check_hamiltonian(H: object) -> PauliSum | SectorOperator:
    if not isinstance(H, (PauliSum, SectorOperator)):
        raise TypeError(f"H must be a velmora.PauliSum or SectorOperator, got {type(H).__name__}")
    if isinstance(H, SectorOperator) and len(H) == 0:
        raise ValueError(f"the sector of H is empty ({H.sector!r}): no state has its eigenvalues")
    if not H.is_hermitian:
        terms = _pauli_sum(H).terms
        index, (label, coeff) = next((k, t) for k, t in enumerate(terms) if t[1].imag != 0)
        raise ValueError(
            f"H is not Hermitian: term {index} ({label!r}, {coeff}) has a complex coefficient; "
            "the Lanczos method needs a Hermitian H (real coefficients)")
    return H


def _pauli_sum(H: PauliSum | SectorOperator) -> PauliSum:
    return H.pauli_sum if isinstance(H, SectorOperator) else H


def _check_state(H: PauliSum | SectorOperator | TimeDependentSum,
                 psi: ArrayLike) -> NDArray[np.complex128]:
    """psi as one state (1-D) or as k states, one per row (2-D), finite."""
    state = H._state(psi, rows=True)
    if not np.isfinite(state).all():
        where = np.argwhere(~np.isfinite(state))[0]
        if state.ndim == 1:
            raise ValueError(f"psi has a non-finite amplitude at index {where[0]}")
        raise ValueError(f"psi[{where[0]}] has a non-finite amplitude at index {where[1]}")
    return state


def _evolve_rows(states: NDArray[np.complex128], one: Callable[[NDArray[np.complex128]], EvolveResult],
                 normalized: bool) -> EvolveResult:
    """The EvolveResult of the rows of `states`, each evolved by `one` as its
    own run, the fields stacked along a leading axis."""
    k, dim = states.shape
    check_memory(16 * k * dim, "evolve", f"{k} result states of {16 * dim / 2**30:.2f} GiB")
    out = np.empty((k, dim), dtype=np.complex128)
    error: Any = np.zeros(k)
    steps: Any = np.zeros(k, dtype=np.int64)
    applications: Any = np.zeros(k, dtype=np.int64)
    kept: Any = np.zeros(k, dtype=bool)
    calls: Any = np.zeros(k, dtype=np.int64)
    log_norm: Any = np.zeros(k) if normalized else None
    for r in range(k):
        result = one(states[r])
        out[r] = result.state
        error[r], steps[r], applications[r] = result.error, result.steps, result.applications
        kept[r], calls[r] = result.kept_basis, result.function_calls
        if log_norm is not None:
            log_norm[r] = result.log_norm
    return EvolveResult(out, error, steps, applications, kept, log_norm=log_norm,
                        function_calls=calls)


def _trajectory_rows(states: NDArray[np.complex128], times: NDArray[np.float64],
                     one: Callable[[NDArray[np.complex128], Callable[[float], None] | None],
                                   TrajectoryResult],
                     keep_states: bool, num_observables: int, hermitian: bool, normalized: bool,
                     span: float, progress: bool) -> TrajectoryResult:
    """The TrajectoryResult of the rows of `states`, each run by
    one(row, progress) over a time `span`, the fields stacked along a leading
    axis; one progress bar for all rows."""
    k, dim = states.shape
    if keep_states:
        check_memory(16 * k * times.size * dim, "trajectory",
                     f"{k} x {times.size} states of {16 * dim / 2**30:.2f} GiB",
                     "; give observables to measure along the way instead of keeping the states")
    kept_states = np.empty((k, times.size, dim), dtype=np.complex128) if keep_states else None
    expectations = (None if keep_states else
                    np.zeros((k, times.size, num_observables),
                             dtype=np.float64 if hermitian else np.complex128))
    error: Any = np.zeros(k)
    steps: Any = np.zeros(k, dtype=np.int64)
    applications: Any = np.zeros(k, dtype=np.int64)
    kept: Any = np.zeros(k, dtype=bool)
    calls: Any = np.zeros(k, dtype=np.int64)
    log_norms = np.zeros((k, times.size)) if normalized else None
    bar = _Progress(k * span) if progress else None
    try:
        for r in range(k):
            report = None if bar is None else _offset(bar, r * span)
            result = one(states[r], report)
            if kept_states is not None:
                kept_states[r] = result.states
            elif expectations is not None:
                expectations[r] = result.expectations
            error[r], steps[r], applications[r] = result.error, result.steps, result.applications
            kept[r], calls[r] = result.kept_basis, result.function_calls
            if log_norms is not None:
                log_norms[r] = result.log_norms
    finally:
        if bar is not None:
            bar.close()
    return TrajectoryResult(times, kept_states, expectations, error, steps, applications, kept,
                            log_norms=log_norms, function_calls=calls)


def _offset(bar: _Progress, start: float) -> Callable[[float], None]:
    """bar's callback for a run that starts at `start` of its total."""
    return lambda reached: bar(start + reached)


def _check_tol(tol: object) -> float:
    if isinstance(tol, bool) or not isinstance(tol, numbers.Real):
        raise TypeError(f"tol must be a real number, got {type(tol).__name__}")
    value = float(tol)
    if not 0.0 < value < 1.0:
        raise ValueError(f"tol must be in (0, 1), got {value}")
    return value


def _check_budget(memory_budget: int | None) -> int:
    if memory_budget is None:
        return default_memory_budget()
    if isinstance(memory_budget, bool) or not isinstance(memory_budget, numbers.Integral):
        raise TypeError("memory_budget must be an int (bytes) or None")
    if memory_budget < 0:
        raise ValueError(f"memory_budget must be >= 0 bytes, got {memory_budget}")
    return min(int(memory_budget), 2**64 - 1)  # any larger budget means the same


def _default_krylov_dim(H: PauliSum | SectorOperator, budget: int) -> int:
    """What krylov_dim=None means: DEFAULT_KRYLOV_DIM, but SECTOR_KRYLOV_DIM
    for a sector whose SECTOR_KRYLOV_DIM + 1 basis vectors take at most a
    quarter of the budget. A longer Krylov step covers more time per product
    (on the 28-site ring's symmetric sector: 576 products to t = 10 instead of
    1104), at the memory of more vectors, which sectors can often afford."""
    if isinstance(H, SectorOperator) and (SECTOR_KRYLOV_DIM + 1) * 16 * len(H) <= budget // 4:
        return SECTOR_KRYLOV_DIM
    return DEFAULT_KRYLOV_DIM


def _check_krylov_dim(krylov_dim: int) -> int:
    if isinstance(krylov_dim, bool) or not isinstance(krylov_dim, numbers.Integral):
        raise TypeError("krylov_dim must be an int")
    if not MIN_KRYLOV_DIM <= krylov_dim <= 200:
        raise ValueError(
            f"krylov_dim must be in {MIN_KRYLOV_DIM}..200, got {krylov_dim}: smaller Krylov "
            "spaces cover so little time per step that long runs need tens of thousands of "
            "steps and lose accuracy to rounding")
    return int(krylov_dim)


def _check_duration(H: PauliSum | SectorOperator, magnitude: float, direction: complex) -> None:
    """Refuses real or complex times whose oscillations alone would take more
    than MAX_PRODUCTS products (a step resolves at most a few oscillations of
    the fastest frequency, which sum |coeff| over the non-identity terms
    bounds)."""
    factor = magnitude * abs(direction.real)
    # Each |c| |t| first: the sum of |c| alone may exceed the double range.
    products = 0.5 * math.fsum(abs(c) * factor for label, c in _pauli_sum(H).terms
                               if label.strip("I"))
    if products > MAX_PRODUCTS:
        raise ValueError(
            f"|t| = {magnitude:g} would take on the order of {products:.1e} products H @ psi "
            f"(at a microsecond each, {products * 1e-6 / 86400 / 365.25:.1e} years); "
            "evolve to a shorter time")


def _check_times(times: ArrayLike, start: float = 0.0) -> NDArray[np.float64]:
    array = np.asarray(times)
    if array.dtype == object and all(isinstance(x, numbers.Real) and not isinstance(x, bool)
                                     for x in array.ravel()):
        array = array.astype(np.float64)  # a list of Python or NumPy numbers of mixed types
    if array.ndim != 1:
        raise ValueError(f"times must be a 1-D sequence of real times, got shape {array.shape}")
    if array.size == 0:
        raise ValueError("times is empty; give at least one output time")
    if np.iscomplexobj(array) or not (np.issubdtype(array.dtype, np.number)):
        raise TypeError(f"times must be real numbers, got dtype {array.dtype}")
    values = np.ascontiguousarray(array, dtype=np.float64)
    if not np.isfinite(values).all():
        raise ValueError("times must be finite")
    if (values < start).any():
        bound = "0" if start == 0.0 else f"t0 = {start}"
        raise ValueError(f"times must be >= {bound}, got {values[values < start][0]}")
    if (np.diff(values) < 0).any():
        k = int(np.flatnonzero(np.diff(values) < 0)[0])
        raise ValueError(f"times must be non-decreasing: times[{k + 1}] = {values[k + 1]} "
                         f"< times[{k}] = {values[k]}")
    return values


def _measured(expectations: NDArray[np.complex128] | None, num_times: int,
              hermitian: bool) -> NDArray[Any]:
    """The expectations a run returns: an empty (num_times, 0) array for an
    empty list of observables, real parts when every observable is Hermitian,
    and an OverflowError for a value beyond the double range."""
    if expectations is None:  # no observables: nothing measured, nothing kept
        return np.zeros((num_times, 0))
    if hermitian:
        expectations = np.ascontiguousarray(expectations.real)
    finite_expectations(expectations, None, "an expectation value")
    return expectations


def _check_observables(H: PauliSum | SectorOperator, observables: Sequence[Observable],
                       size: int | None = None,
                       num_threads: int | None = None) -> tuple[list[Any], bool]:
    """The observables compiled for the engine; diagonals have `size` entries
    (default: the whole state, or the sector's)."""
    if isinstance(observables, (str, bytes, PauliSum)) or not isinstance(observables, Sequence):
        raise TypeError("observables must be a sequence of PauliSums, real 1-D arrays "
                        "and/or SciPy sparse matrices")
    sector = H.sector if isinstance(H, SectorOperator) else None
    whole = len(H) if sector is not None else 1 << H.num_qubits
    if size is None:
        size = whole
    compiled: list[Any] = []
    hermitian = True
    for j, obs in enumerate(observables):
        if isinstance(obs, PauliSum):
            if obs.num_qubits != H.num_qubits:
                raise ValueError(f"observables[{j}] acts on {obs.num_qubits} qubits, "
                                 f"but H acts on {H.num_qubits}")
            if sector is None:
                compiled.append(obs._operator)
            else:
                compiled.append(observable_in(sector, obs, resolve_num_threads(num_threads)))
            hermitian = hermitian and obs.is_hermitian
            continue
        if isinstance(obs, SectorOperator):
            if sector is None or obs.sector is not sector:
                raise ValueError(f"observables[{j}] is a SectorOperator on another sector than H's")
            compiled.append(obs._operator)
            hermitian = hermitian and obs.is_hermitian
            continue
        if callable(obs):
            if size != whole:
                raise ValueError(f"observables[{j}]: a callable needs the whole state; with "
                                 "velmora.mpi give PauliSums or diagonals")
            compiled.append(obs)  # called with a read-only view of each state
            hermitian = False
            continue
        if type(obs).__module__.startswith("scipy.sparse"):
            measure, symmetric = _sparse_observable(j, obs, size, whole,
                                                    resolve_num_threads(num_threads))
            compiled.append(measure)
            hermitian = hermitian and symmetric
            continue
        diagonal = np.asarray(obs)
        if diagonal.ndim != 1 or diagonal.size != size:
            raise ValueError(f"observables[{j}] must be a PauliSum or a real 1-D array of "
                             f"{size} entries (a diagonal), got shape {diagonal.shape}")
        if np.iscomplexobj(diagonal) or not np.issubdtype(diagonal.dtype, np.number):
            raise TypeError(f"observables[{j}]: a diagonal observable must be real, "
                            f"got dtype {diagonal.dtype}")
        values = np.ascontiguousarray(diagonal, dtype=np.float64)
        if not np.isfinite(values).all():
            raise ValueError(f"observables[{j}] has non-finite entries")
        compiled.append(values)
    return compiled, hermitian


def _sparse_observable(j: int, obs: Any, size: int, whole: int,
                       threads: int) -> tuple[Callable[[NDArray[np.complex128]], complex], bool]:
    """A SciPy sparse matrix as a function state -> <state|A|state> for the
    engine, and whether A is Hermitian. The inner product is the engine's
    fixed-chunk sum: numpy.vdot's (OpenBLAS's) bits change with the number of
    BLAS threads."""
    if size != whole:
        raise ValueError(f"observables[{j}]: a sparse matrix needs the whole state; with "
                         "velmora.mpi give PauliSums or diagonals")
    if obs.ndim != 2 or obs.shape != (whole, whole):
        raise ValueError(f"observables[{j}]: a sparse matrix observable must be {whole} x "
                         f"{whole}, got shape {obs.shape}")
    matrix = obs.tocsr().astype(np.complex128)
    if not np.isfinite(matrix.data).all():
        raise ValueError(f"observables[{j}] has non-finite entries")
    difference = matrix - matrix.conj().T
    symmetric = difference.nnz == 0 or not np.abs(difference.data).any()

    def measure(state: NDArray[np.complex128]) -> complex:
        return complex(_native.inner(state, matrix @ state, threads))

    return measure, symmetric


class _Progress:
    """A tqdm bar over the simulated time, updated between steps."""

    def __init__(self, total: float) -> None:
        from tqdm.auto import tqdm

        self._bar = tqdm(total=total, unit="t", unit_scale=False,
                         bar_format="{l_bar}{bar}| t = {n:.4g}/{total:.4g} [{elapsed}<{remaining}]")
        self._reached = 0.0

    def __call__(self, reached: float) -> None:
        self._bar.update(reached - self._reached)
        self._reached = reached

    def close(self) -> None:
        self._bar.close()


def _with_images(H: PauliSum | SectorOperator, memory_budget: int | None, threads: int,
                 measured: Sequence[Any] = ()) -> int:
    """The budget of a call's vectors, after the images policy: a sector H and
    the sector operators the call measures repeatedly (`measured`) keep their
    images when they fit, together, in half of the default budget, whatever
    the budget given (the images are the operator's, like a sparse matrix,
    and outlive the call); the default budget is then what is left beside
    them, a given one bounds the call's vectors alone."""
    budget = _check_budget(memory_budget)
    if isinstance(H, SectorOperator):
        held = keep_images([H, *measured], default_memory_budget() // 2, threads)
        if memory_budget is None:
            budget = max(0, budget - held)
    return budget


def _sector_observables(observables: Sequence[Observable] | None,
                        compiled: Sequence[Any]) -> list[Any]:
    """The observables of a sector run that are sector operators (as given,
    or compiled from a PauliSum), for the images policy."""
    if observables is None:
        return []
    return [given if isinstance(given, SectorOperator) else handle
            for given, handle in zip(observables, compiled)
            if isinstance(handle, _native.SectorOperator)]


def _settings(H: PauliSum | SectorOperator, num_threads: int | None, krylov_dim: int | None,
              memory_budget: int | None, measured: Sequence[Any] = ()) -> tuple[int, int, int]:
    """(threads, budget, Krylov dimension) of the engine's runs."""
    threads = resolve_num_threads(num_threads)
    budget = _with_images(H, memory_budget, threads, measured)
    dimension = _check_krylov_dim(_default_krylov_dim(H, budget) if krylov_dim is None
                                  else krylov_dim)
    return threads, budget, dimension


def _run(H: PauliSum | SectorOperator, state: NDArray[np.complex128],
         times: NDArray[np.float64], direction: complex, tol: float,
         settings: tuple[int, int, int], keep_states: bool, observables: list[Any],
         progress: Callable[[float], None] | None, normalize: bool = False,
         caller: str = "trajectory") -> tuple[Any, ...]:
    """(states, expectations, error, steps, applications, kept_basis, log_norms)."""
    threads, budget, dimension = settings
    out = _native.krylov_evolve(
        H._operator, state, times, direction, tol, threads, dimension, budget, keep_states,
        observables, progress, None, normalize, caller)
    return (*out[:6], out[8])


def _check_normalize(normalize: object) -> bool:
    if not isinstance(normalize, (bool, np.bool_)):
        raise TypeError(f"normalize must be True or False, got {type(normalize).__name__}")
    return bool(normalize)


def _time_and_direction(t: object) -> tuple[float, complex]:
    """|t| and t / |t| (1 for t = 0) for a real or complex time (a 0-d array
    holding one counts as one)."""
    if isinstance(t, np.ndarray) and t.ndim == 0 and np.issubdtype(t.dtype, np.number):
        t = t[()]
    if isinstance(t, (bool, np.bool_, str, bytes)) or not isinstance(t, numbers.Number):
        raise TypeError(f"t must be a real or complex number, got {type(t).__name__}")
    time = complex(t)  # type: ignore[arg-type]
    if not cmath.isfinite(time):
        raise ValueError(f"t must be finite, got {t}")
    magnitude = abs(time)
    if magnitude == 0:
        return 0.0, 1.0 + 0j
    # The direction from the parts scaled by the larger one, so that it has
    # modulus 1 to rounding even for subnormal times.
    largest = max(abs(time.real), abs(time.imag))
    re, im = time.real / largest, time.imag / largest
    modulus = math.hypot(re, im)
    return magnitude, complex(re / modulus, im / modulus)


def evolve(H: PauliSum | SectorOperator | TimeDependentSum, psi: ArrayLike, t: complex, *,
           t0: float = 0.0, tol: float = 1e-12, num_threads: int | None = None,
           krylov_dim: int | None = None, memory_budget: int | None = None,
           normalize: bool = False, order: int | None = None, method: str | None = None,
           max_step: float | None = None) -> EvolveResult:
    """exp(-i t H) psi within the relative error `tol`.

    `H` is a Hermitian `PauliSum`; `t` may be real or complex (t = -1j * tau is
    imaginary time, exp(-tau H) psi, not renormalised). With `t0`, psi is the
    state at time t0 and the result the state at the real time t >= t0.

    `psi` may be a 2-D array of k states, one per row: each row is evolved as
    its own run, with the bytes of ``evolve(H, psi[r], ...)``, and every field
    of the result gains a leading axis of length k (see `EvolveResult`); k = 0
    gives arrays of length 0 after the arguments are checked. The results of
    all rows must fit in memory (MemoryError before any run otherwise).

    `H` may be a `TimeDependentSum`: then the result is the state at the real
    time t >= t0 of i d/dt psi = H(t) psi with psi(t0) = psi, computed by
    Taylor steps (the default, method='taylor'): on each step every f is
    replaced by its Chebyshev polynomial, whose error is measured, and the
    state by its Taylor series in time, one product with each part per
    order; `function_calls` counts the calls of the parts' functions. Its
    `error` sums each step's estimates of the series' truncation, of the
    drives' polynomials and of rounding: an estimate, not a proven bound
    (measured at least 11 times the true error, median 50; the documentation's
    error-control page gives the table). A step is at most `max_step` long (default: a
    twentieth of the run, so that every f is sampled a few hundred times); an
    f that jumps where no breakpoint is given stops the run with a
    ValueError naming the part and the time. method='magnus' takes the
    commutator-free quasi-Magnus steps of `order` 4, 6 or 8 instead
    (`velmora.quasi_magnus`; full space only). Complex and imaginary times
    are refused.

    The steps are chosen so that the computable bound of ||result - exact|| /
    ||exact||, rounding floor included, stays below `tol`; a short step stops
    its Krylov recurrence as soon as the bound is met. `error` is never below
    the true error: the step bounds plus a rounding floor, which grows with
    the run and with cancelling coefficients, so that where it dominates (a
    small `tol` over many steps) `error` exceeds a `tol` that the state itself
    may meet, and a `ToleranceWarning` says so; real-time results meet
    ``tol >= max(1e-13, 5e-16 * H.norm_bound * |t|)``. In imaginary and complex time `error` also counts
    how much each step's error grows until the end, relative to the result;
    that is an estimate, and it exceeds 1 when double precision cannot give
    the result.

    With `normalize=True` the state comes back with unit norm and `log_norm`
    is the natural log of the norm of the true result, so that imaginary-time
    results of any size can be had (exp(-tau H) psi grows or decays like
    exp(-tau E_0)). Without it, a result beyond the double range raises
    `OverflowError`, never a NaN or infinite state. The inputs are copied,
    and the interpreter lock is released during the numerical work.

    Parameters
    ----------
    H : PauliSum, SectorOperator or TimeDependentSum
        The Hamiltonian, Hermitian (real coefficients). A `TaperedSum` is a
        PauliSum; with a `SectorOperator` (`PauliSum.in_sector`), psi and the
        result are sector vectors of ``len(H)`` amplitudes.
    psi : array_like
        The initial state: 2^n amplitudes (len(H) for a SectorOperator),
        qubit 0 the least significant bit of an index, of any norm (a zero
        psi gives zeros with error 0); or a 2-D array of k such states, one
        per row.
    t : float or complex
        The time. For a constant H with ``t0 = 0`` any finite real or complex
        number (or a 0-d array of one); otherwise a real t >= t0.
    t0 : float, optional
        The time of psi (default 0.0).
    tol : float, optional
        The relative error allowed, in (0, 1) (default 1e-12).
    num_threads : int, optional
        None (default) uses OMP_NUM_THREADS when set, the calling thread
        inside a multiprocessing pool's workers, else every core the process
        may use; 0 the calling thread alone. The bytes are the same for every
        value.
    krylov_dim : int, optional
        The Krylov dimension of a step (8..200; None: 30, and 90 for a sector
        whose 91 vectors take at most a quarter of the budget).
    memory_budget : int, optional
        Bytes (default ``velmora.evolution.default_memory_budget()``); decides
        whether the Krylov basis is kept or regenerated in a second pass (the
        same bytes either way).
    normalize : bool, optional
        Return the state with unit norm and the log of its true norm in
        `log_norm` (default False). Not with a TimeDependentSum, whose real
        time keeps the norm.
    order : {4, 6, 8}, optional
        For a TimeDependentSum with method='magnus' only: the order of the
        quasi-Magnus scheme (None: `velmora.quasi_magnus.default_order` of
        tol).
    method : {'taylor', 'magnus'}, optional
        For a TimeDependentSum only: Taylor steps (None, the default, unless
        `order` is given) or the quasi-Magnus schemes (faster when many parts
        have their own functions; full space only).
    max_step : float, optional
        For a TimeDependentSum's Taylor steps only: the longest step (default:
        a twentieth of the run). Shorter steps sample the functions more
        densely: the remedy for a feature narrower than the default sampling
        can see.

    Returns
    -------
    EvolveResult
        `state`, the bound `error` and the work done (`steps`,
        `applications`, `kept_basis`, `function_calls`), with `log_norm` when
        normalize is True; each field with a leading axis of length k for a
        2-D psi.

    Raises
    ------
    TypeError
        When H is not a PauliSum, SectorOperator or TimeDependentSum; psi
        does not hold numbers; t is not a number (not a real number when t0 is
        not 0 or H is a TimeDependentSum), t0 or tol is not a real number,
        `krylov_dim`, `memory_budget` or `num_threads` is not an int (or
        None), or `normalize` is not a bool.
    ValueError
        When H is not Hermitian (naming the first complex term) or its sector
        is empty; psi (or a row) has the wrong number of amplitudes, more than
        2 dimensions or a non-finite amplitude; t or t0 is not finite, t < t0,
        or a TimeDependentSum gets a complex t; tol is outside (0, 1),
        `krylov_dim` outside 8..200, `memory_budget` or `num_threads`
        negative; `order` is given with a constant H or is not 4, 6 or 8;
        `normalize` is True with a TimeDependentSum; the time would need more
        than 1e12 products H @ psi (the message says how long). With a
        TimeDependentSum, also when an f(t) is not a finite real number, when
        an f is not smooth somewhere no breakpoint is given (the message
        names the part and the time), or `method`, `max_step` or `order` is
        out of place (`method` and `max_step` with a constant H, `order` with
        the Taylor steps, method='magnus' on a sector).
    OverflowError
        When H @ psi leaves the double range (coefficients near 1e308) or,
        without `normalize`, when the result does.
    MemoryError
        When the results of a 2-D psi, or the vectors of the run, cannot fit
        in the memory this process may have (before the run starts).
    KeyboardInterrupt
        On Ctrl-C, which stops a run between two steps.

    Warns
    -----
    ToleranceWarning
        When the reported `error` exceeds `tol` (the largest row's, once, for
        a 2-D psi), naming the reason: a tol below the smallest that real
        time meets, the rounding floor, the conditioning of imaginary or
        complex time. The result is returned all the same; set the warnings
        filter to ``"error"`` to get an exception.

    Examples
    --------
    A quench of the 6-spin transverse-field Ising chain from all spins up,
    checked against the exponential of its matrix:

    >>> import numpy as np
    >>> import scipy.linalg
    >>> from velmora import evolve
    >>> from velmora.models import ising_chain, z_diagonal
    >>> H = ising_chain(6)                                # -sum Z_q Z_q+1 - sum X_q
    >>> psi = np.zeros(2**6, dtype=complex); psi[0] = 1    # |000000>
    >>> result = evolve(H, psi, 1.0)
    >>> result.steps, bool(result.error <= 1e-12)
    (1, True)
    >>> z0 = z_diagonal(6, 0)                             # Z on qubit 0, a diagonal
    >>> round(float(np.vdot(result.state, z0 * result.state).real), 6)
    -0.033022
    >>> exact = scipy.linalg.expm(-1j * 1.0 * H.to_sparse().toarray()) @ psi
    >>> bool(np.linalg.norm(result.state - exact) < 1e-12)
    True

    Imaginary time t = -i tau projects onto the ground state; `normalize`
    keeps the state at unit norm:

    >>> cooled = evolve(H, psi, -30j, normalize=True, tol=1e-10)
    >>> energy = H.expectation(cooled.state)
    >>> ground = np.linalg.eigvalsh(H.to_sparse().toarray())[0]
    >>> round(energy, 6), bool(abs(energy - ground) < 1e-9)
    (-7.29623, True)

    A Hamiltonian whose field is driven as cos(t), by Taylor steps:

    >>> import math
    >>> from velmora import PauliSum, TimeDependentSum
    >>> parts = ising_chain(6, parts=True)
    >>> bonds, fields = parts["zz"], parts["x"]
    >>> bonds + fields == H
    True
    >>> driven = evolve(TimeDependentSum([bonds, (fields, math.cos)]), psi, 1.0, tol=1e-8)
    >>> driven.function_calls > 0, bool(driven.error <= 1e-8)
    (True, True)
    >>> import scipy.integrate                            # against an ODE solver
    >>> B, X = bonds.to_sparse(), fields.to_sparse()
    >>> ode = scipy.integrate.solve_ivp(
    ...     lambda t, y: -1j * (B @ y + math.cos(t) * (X @ y)), (0.0, 1.0), psi,
    ...     rtol=1e-12, atol=1e-12)
    >>> bool(np.linalg.norm(driven.state - ode.y[:, -1]) < 1e-8)
    True
    """
    if isinstance(H, TimeDependentSum):
        return _evolve_time_dependent(H, psi, t, t0, tol, num_threads, krylov_dim,
                                      memory_budget, normalize, order, method, max_step)
    H = _check_hamiltonian(H)
    state = _check_state(H, psi)
    tolerance = _check_tol(tol)
    _no_order(order, method, max_step)
    magnitude, direction = _time_and_direction(_elapsed(t, t0))
    _check_duration(H, magnitude, direction)
    normalized = _check_normalize(normalize)
    settings = _settings(H, num_threads, krylov_dim, memory_budget)
    checked = H

    def one(row: NDArray[np.complex128]) -> EvolveResult:
        states, _, error, steps, applications, kept, log_norms = _run(
            checked, row, np.array([magnitude]), direction, tolerance, settings, True, [], None,
            normalized, "evolve")
        log_norm = float(log_norms[0]) if normalized else None
        return EvolveResult(states[0], error, steps, applications, kept, log_norm=log_norm)

    result = one(state) if state.ndim == 1 else _evolve_rows(state, one, normalized)
    _warn_missed("evolve", result.error, tolerance,
                 lambda: _constant_reason(checked, magnitude, direction, tolerance))
    return result


def _constant_reason(H: PauliSum | SectorOperator, magnitude: float, direction: complex,
                     tol: float) -> str:
    """Why a run of a constant H to |t| = magnitude reports more than tol."""
    if direction.imag != 0.0:
        return _tolerance.complex_time_reason()
    return _tolerance.real_time_reason(_pauli_sum(H).norm_bound, magnitude, tol)


def _warn_missed(what: str, error: float | NDArray[np.float64], tol: float,
                 reason: Callable[[], str]) -> None:
    """One ToleranceWarning when the reported error (of one run, or the
    largest of a batch's rows) exceeds tol."""
    errors = np.atleast_1d(np.asarray(error, dtype=np.float64))
    if errors.size == 0 or not np.any(errors > tol):
        return
    worst = int(np.argmax(errors))
    where = ""
    if np.ndim(error) > 0:
        where = f" of row {worst} ({int(np.sum(errors > tol))} of {errors.size} rows miss it)"
    _tolerance.warn(_tolerance.missed(what, float(errors[worst]), tol, reason(), where))


def trajectory(H: PauliSum | SectorOperator | TimeDependentSum, psi: ArrayLike,
               times: ArrayLike, *, t0: float = 0.0,
               observables: Sequence[Observable] | None = None, tol: float = 1e-12,
               num_threads: int | None = None, progress: bool = False,
               krylov_dim: int | None = None, memory_budget: int | None = None,
               normalize: bool = False, order: int | None = None, method: str | None = None,
               max_step: float | None = None) -> TrajectoryResult:
    """The states exp(-i t_k H) psi at real times t_k, or expectations along them.

    The times are real, non-decreasing and >= 0 (>= `t0` when given).
    `observables` is a sequence of `PauliSum` objects, real 1-D arrays (diagonal
    observables in the computational basis), SciPy sparse matrices of
    2^n x 2^n (measured as vdot(psi, A @ psi) on each output, with the
    interpreter lock held: slower than a PauliSum) and/or callables f(state)
    -> complex (called on a read-only view of each output state; their
    presence makes `expectations` complex).

    `H` may also be a `SectorOperator` (`PauliSum.in_sector`): then psi and
    the states hold ``len(H)`` amplitudes in the sector's basis, diagonals
    and sparse matrices are in that basis, and a `PauliSum` observable O is
    measured as <embed(psi)|O|embed(psi)> (through its average over the
    sector's symmetry group, restricted to the sector). With observables, no state is
    kept: `states` is None and `expectations[k, j]` = <psi(t_k)|O_j|psi(t_k)>.
    Every returned state is within the relative error `tol`; `error` is never
    below the true error (see `evolve`). An empty `observables` gives
    expectations of shape (len(times), 0). `normalize=True` returns unit-norm
    states (and expectations of them) with the log norms in `log_norms`.
    `progress=True` shows a progress bar (tqdm). Many output times cost
    little: every time inside a Krylov step comes from the same basis.

    With `t0`, psi is the state at time t0 and the times are >= t0. `H` may
    be a `TimeDependentSum` (see `evolve`): an output time inside a Taylor
    step comes from that step's series (each of its terms smaller than at
    the step's end, so the step's estimate covers it), the steps land on the
    breakpoints, and the observables are measured as for a constant H.

    `psi` may be a 2-D array of k states, one per row: each row runs as its
    own trajectory, with the bytes of ``trajectory(H, psi[r], ...)``, and the
    result's fields gain a leading axis of length k (`states` (k, len(times),
    dim), `expectations` (k, len(times), m); see `TrajectoryResult`); k = 0
    gives arrays of length 0. Kept states of all rows must fit in memory
    (MemoryError before any run otherwise); the progress bar covers all rows.

    Parameters
    ----------
    H : PauliSum, SectorOperator or TimeDependentSum
        The Hamiltonian, Hermitian (real coefficients), as in `evolve`.
    psi : array_like
        The state at time t0: 2^n amplitudes (len(H) for a SectorOperator),
        or a 2-D array of k such states, one per row.
    times : array_like
        The output times: a non-empty 1-D sequence of real, finite,
        non-decreasing times >= t0.
    t0 : float, optional
        The time of psi (default 0.0).
    observables : sequence, optional
        PauliSums (on the qubits of H), real diagonals of dim entries, SciPy
        sparse matrices of dim x dim, SectorOperators on the sector of H,
        and/or callables f(state) -> complex; None (default) keeps the
        states instead.
    tol : float, optional
        The relative error allowed for every returned state, in (0, 1)
        (default 1e-12).
    num_threads : int, optional
        As in `evolve`; the bytes are the same for every value.
    progress : bool, optional
        Show a progress bar of the simulated time (tqdm; default False).
    krylov_dim : int, optional
        The Krylov dimension of a step, as in `evolve`.
    memory_budget : int, optional
        Bytes for the Krylov basis, as in `evolve`.
    normalize : bool, optional
        Return unit-norm states (and their expectations) with the log norms
        in `log_norms` (default False); not with a TimeDependentSum.
    order : {4, 6, 8}, optional
        For a TimeDependentSum with method='magnus' only: the order of the
        quasi-Magnus scheme (None: chosen from tol).
    method : {'taylor', 'magnus'}, optional
        For a TimeDependentSum only, as in `evolve`.
    max_step : float, optional
        For a TimeDependentSum's Taylor steps only, as in `evolve`.

    Returns
    -------
    TrajectoryResult
        `times`, and `states` (without observables) or `expectations` (with
        them), with the bound `error` and the work done; each field but
        `times` with a leading axis of length k for a 2-D psi.

    Raises
    ------
    TypeError
        As in `evolve` for H, psi, t0, tol, `krylov_dim`, `memory_budget`,
        `num_threads` and `normalize`; when the times are not real numbers;
        when `observables` is not a sequence (a single PauliSum or a str), or
        a diagonal observable is complex or not numeric.
    ValueError
        As in `evolve` for H, psi, t0, tol, `krylov_dim`, `memory_budget`,
        `num_threads`, `normalize` and `order`; when the times are not 1-D,
        empty, not finite, below t0 or decreasing, or the last would need
        more than 1e12 products H @ psi; when an observable acts on another
        number of qubits, is a diagonal or sparse matrix of the wrong size or
        with non-finite entries, or is a SectorOperator on another sector.
    OverflowError
        When H @ psi leaves the double range or, without `normalize`, a
        state does; when an expectation value does (a huge state or
        observable).
    MemoryError
        When the kept states (of all rows), or the vectors of the run, cannot
        fit in the memory this process may have (before the run starts).
    KeyboardInterrupt
        On Ctrl-C, which stops a run between two steps.

    Warns
    -----
    ToleranceWarning
        When the reported `error` exceeds `tol` (once per call, the largest
        row's for a 2-D psi), naming the reason: a tol below the smallest that real
        time meets, the rounding floor, the conditioning of imaginary or
        complex time. The result is returned all the same; set the warnings
        filter to ``"error"`` to get an exception.

    Examples
    --------
    The magnetisation of the first spin and the energy along a quench of the
    6-spin Ising chain, and the states checked against the exponential of
    its matrix:

    >>> import numpy as np
    >>> import scipy.linalg
    >>> from velmora import trajectory
    >>> from velmora.models import ising_chain, z_diagonal
    >>> H = ising_chain(6)
    >>> psi = np.zeros(2**6, dtype=complex); psi[0] = 1    # |000000>
    >>> times = [0.0, 0.5, 1.0, 1.5, 2.0]
    >>> run = trajectory(H, psi, times, observables=[z_diagonal(6, 0), H])
    >>> run.states, run.expectations.shape
    (None, (5, 2))
    >>> np.round(run.expectations[:, 0], 4)                # <Z_0>(t)
    array([ 1.    ,  0.5767, -0.033 , -0.0922,  0.0587])
    >>> np.round(run.expectations[:, 1], 10)               # the energy is conserved
    array([-5., -5., -5., -5., -5.])
    >>> kept = trajectory(H, psi, times)
    >>> exact = scipy.linalg.expm(-2j * H.to_sparse().toarray()) @ psi
    >>> kept.states.shape, bool(np.linalg.norm(kept.states[-1] - exact) < 1e-12)
    ((5, 64), True)

    Several initial states at once, one per row:

    >>> batch = trajectory(ising_chain(4), np.eye(2**4)[:3], [0.0, 0.5],
    ...                    observables=[ising_chain(4)])
    >>> batch.expectations.shape, batch.steps.shape
    ((3, 2, 1), (3,))
    """
    if isinstance(H, TimeDependentSum):
        return _trajectory_time_dependent(H, psi, times, t0, observables, tol, num_threads,
                                          progress, krylov_dim, memory_budget, normalize, order,
                                          method, max_step)
    H = _check_hamiltonian(H)
    state = _check_state(H, psi)
    tolerance = _check_tol(tol)
    _no_order(order, method, max_step)
    start = real_number("t0", t0)
    given = _check_times(times, start)
    values = given - start if start != 0.0 else given
    span = float(values[-1])
    _check_duration(H, span, 1.0 + 0j)
    normalized = _check_normalize(normalize)
    compiled: list[Any] = []
    hermitian = True
    if observables is not None:
        compiled, hermitian = _check_observables(H, observables, num_threads=num_threads)
    settings = _settings(H, num_threads, krylov_dim, memory_budget,
                         _sector_observables(observables, compiled))
    checked = H

    def one(row: NDArray[np.complex128],
            report: Callable[[float], None] | None) -> TrajectoryResult:
        states, expectations, error, steps, applications, kept, log_norms = _run(
            checked, row, values, 1.0 + 0j, tolerance, settings, observables is None, compiled,
            report, normalized, "trajectory")
        if observables is None:
            return TrajectoryResult(given, states, None, error, steps, applications, kept,
                                    log_norms=log_norms)
        return TrajectoryResult(given, None, _measured(expectations, given.size, hermitian),
                                error, steps, applications, kept, log_norms=log_norms)

    if state.ndim == 2:
        result = _trajectory_rows(state, given, one, observables is None, len(compiled),
                                  hermitian, normalized, span, progress)
    else:
        bar = _Progress(span) if progress else None
        try:
            result = one(state, bar)
        finally:
            if bar is not None:
                bar.close()
    _warn_missed("trajectory", result.error, tolerance,
                 lambda: _constant_reason(checked, span, 1.0 + 0j, tolerance))
    return result


# -- time-dependent sums ----------------------------------------------------


def _end_time(t: object, start: float) -> float:
    """t as a real time t >= start."""
    end = real_number("t", t)
    if end < start:
        raise ValueError(f"t = {end} is before t0 = {start}; evolve forward in time")
    return end


def _elapsed(t: object, t0: object) -> object:
    """t - t0 for a constant H: t itself when t0 is 0 (t may then be complex),
    else the real time elapsed from t0 to t >= t0."""
    start = real_number("t0", t0)
    return t if start == 0.0 else _end_time(t, start) - start


def _no_order(order: object, method: object = None, max_step: object = None) -> None:
    if order is not None:
        raise ValueError("order applies to a TimeDependentSum with method='magnus'; a constant "
                         "H is evolved by error-controlled Krylov steps")
    if method is not None:
        raise ValueError("method applies to a TimeDependentSum; a constant H is evolved by "
                         "error-controlled Krylov steps")
    if max_step is not None:
        raise ValueError("max_step applies to a TimeDependentSum")


def _check_order(order: object) -> int | None:
    if order is None:
        return None
    if isinstance(order, bool) or not isinstance(order, numbers.Integral) or order not in (4, 6, 8):
        raise ValueError(f"order must be 4, 6, 8 or None (chosen from tol), got {order!r}")
    return int(order)


def _check_method(H: TimeDependentSum, method: object, order: object) -> str:
    """'taylor' (the default) or 'magnus'."""
    if method is None:
        method = "magnus" if order is not None else "taylor"
    if method not in ("taylor", "magnus"):
        raise ValueError(f"method must be 'taylor', 'magnus' or None, got {method!r}")
    if method == "taylor" and order is not None:
        raise ValueError("order applies to method='magnus' (the Taylor steps choose their own "
                         "number of terms)")
    if method == "magnus" and H.sector is not None:
        raise ValueError("method='magnus' runs in the full space; on a sector use the default "
                         "method='taylor'")
    return str(method)


def _check_max_step(max_step: object) -> float | None:
    if max_step is None:
        return None
    value = real_number("max_step", max_step)
    if not (value > 0.0 and math.isfinite(value)):
        raise ValueError(f"max_step must be a finite time > 0, got {value}")
    return value


def _integrator(H: TimeDependentSum, tol: object, num_threads: int | None,
                krylov_dim: int | None, memory_budget: int | None, normalize: object,
                order: object) -> Integrator:
    tolerance = _check_tol(tol)
    _refuse_normalize(normalize)
    budget = _check_budget(memory_budget)
    dimension = _check_krylov_dim(DEFAULT_KRYLOV_DIM if krylov_dim is None else krylov_dim)
    return Integrator(H, tolerance, num_threads, dimension, budget, _check_order(order))


def _refuse_normalize(normalize: object) -> None:
    if _check_normalize(normalize):
        raise ValueError("normalize applies to imaginary and complex time; a TimeDependentSum "
                         "evolves in real time, which keeps the norm")


def _end_of(t: object, start: float) -> float:
    if isinstance(t, numbers.Complex) and not isinstance(t, numbers.Real) and t.imag != 0:
        raise ValueError(f"t = {t}: a TimeDependentSum evolves in real time; give a real "
                         "t >= t0")
    return _end_time(t.real if isinstance(t, numbers.Complex) else t, start)


def _evolve_time_dependent(H: TimeDependentSum, psi: ArrayLike, t: object, t0: object,
                           tol: object, num_threads: int | None, krylov_dim: int | None,
                           memory_budget: int | None, normalize: object,
                           order: object, method: object, max_step: object) -> EvolveResult:
    state = _check_state(H, psi)
    start = real_number("t0", t0)
    end = _end_of(t, start)
    chosen = _check_method(H, method, order)
    if chosen == "magnus":
        if max_step is not None:
            raise ValueError("max_step applies to method='taylor'")
        return _evolve_magnus(H, state, start, end, tol, num_threads, krylov_dim, memory_budget,
                              normalize, order)
    tolerance = _check_tol(tol)
    _refuse_normalize(normalize)
    step = _check_max_step(max_step)
    threads = resolve_num_threads(num_threads)

    def one(row: NDArray[np.complex128]) -> EvolveResult:
        out = _taylor.run(H, row, start, np.array([end]), tolerance, threads, step, True, [],
                          None)
        assert out.states is not None
        return EvolveResult(out.states[0], out.error, out.steps, out.applications, True,
                            function_calls=out.function_calls)

    result = one(state) if state.ndim == 1 else _evolve_rows(state, one, False)
    _warn_missed("evolve", result.error, tolerance, _time_dependent_reason)
    return result


def _evolve_magnus(H: TimeDependentSum, state: NDArray[np.complex128], start: float, end: float,
                   tol: object, num_threads: int | None, krylov_dim: int | None,
                   memory_budget: int | None, normalize: object, order: object) -> EvolveResult:
    integrator = _integrator(H, tol, num_threads, krylov_dim, memory_budget, normalize, order)

    def one(row: NDArray[np.complex128]) -> EvolveResult:
        current = row.copy()
        final: list[NDArray[np.complex128]] = [current]

        def output(k: int, value: NDArray[np.complex128]) -> None:
            final[0] = value

        run = integrator.evolve(current, start, np.array([end]), output, None)
        return EvolveResult(final[0], run.error, run.steps, run.applications, run.kept_basis,
                            function_calls=run.function_calls)

    result = one(state) if state.ndim == 1 else _evolve_rows(state, one, False)
    _warn_missed("evolve", result.error, integrator.tol, _time_dependent_reason)
    return result


def _time_dependent_reason() -> str:
    return ("the steps' estimates (the series' truncation, the drives' polynomials, rounding) "
            "exceed tol: a tol near what double precision allows over this many steps")


def _trajectory_time_dependent(H: TimeDependentSum, psi: ArrayLike, times: ArrayLike,
                               t0: object, observables: Sequence[Observable] | None,
                               tol: object, num_threads: int | None, progress: bool,
                               krylov_dim: int | None, memory_budget: int | None,
                               normalize: object, order: object, method: object,
                               max_step: object) -> TrajectoryResult:
    state = _check_state(H, psi)
    start = real_number("t0", t0)
    values = _check_times(times, start)
    chosen = _check_method(H, method, order)
    compiled: list[Any] = []
    hermitian = True
    representative = H.parts[0][0]  # a PauliSum, or a SectorOperator on H's sector
    if observables is not None:
        compiled, hermitian = _check_observables(representative, observables,
                                                 num_threads=num_threads)
    dim = state.shape[-1]
    if observables is None:
        # The states returned and the integrators' vectors besides (counted by the core).
        check_memory(values.size * 16 * dim, "trajectory",
                     f"{values.size} states of {16 * dim / 2**30:.2f} GiB",
                     "; give observables to measure along the way instead of keeping the states")
    if chosen == "magnus":
        if max_step is not None:
            raise ValueError("max_step applies to method='taylor'")
        integrator = _integrator(H, tol, num_threads, krylov_dim, memory_budget, normalize,
                                 order)
        tolerance = integrator.tol
    else:
        tolerance = _check_tol(tol)
        _refuse_normalize(normalize)
        step = _check_max_step(max_step)
        threads = resolve_num_threads(num_threads)

    def finish(states: Any, expectations: Any, error: float, steps: int, applications: int,
               kept: bool, calls: int) -> TrajectoryResult:
        if observables is None:
            return TrajectoryResult(values, states, None, error, steps, applications, kept,
                                    function_calls=calls)
        return TrajectoryResult(values, None, _measured(expectations, values.size, hermitian),
                                error, steps, applications, kept, function_calls=calls)

    def one(row: NDArray[np.complex128],
            report: Callable[[float], None] | None) -> TrajectoryResult:
        if chosen == "taylor":
            out = _taylor.run(H, row, start, values, tolerance, threads, step,
                              observables is None, compiled, report)
            return finish(out.states, out.expectations, out.error, out.steps, out.applications,
                          True, out.function_calls)
        states = None if observables is not None else np.empty((values.size, dim), complex)
        expectations = np.zeros((values.size, len(compiled)), complex)

        def output(k: int, value: NDArray[np.complex128]) -> None:
            if states is not None:
                states[k] = value
            elif compiled:
                expectations[k] = integrator.measure(value, compiled)

        run = integrator.evolve(row.copy(), start, values, output, report)
        return finish(states, expectations, run.error, run.steps, run.applications,
                      run.kept_basis, run.function_calls)

    span = float(values[-1]) - start
    if state.ndim == 2:
        result = _trajectory_rows(state, values, one, observables is None, len(compiled),
                                  hermitian, False, span, progress)
    else:
        bar = _Progress(span) if progress else None
        try:
            result = one(state, bar)
        finally:
            if bar is not None:
                bar.close()
    _warn_missed("trajectory", result.error, tolerance, _time_dependent_reason)
    return result
