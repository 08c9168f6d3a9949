"""Evolution of a state vector split over MPI processes, with the same bytes
for every number of processes.

2^r processes share a state of n qubits: rank k holds the slice of the
2^(n-r) amplitudes whose top r index bits equal k (amplitudes k * 2^(n-r)
up to (k + 1) * 2^(n-r) - 1). `evolve` and `trajectory` run the engine of
`velmora.evolve` on the slices: a word whose flip mask has high bits h reads
the slice of rank k ^ h, received in one exchange per distinct high pattern
and product (the next one in flight while the current one is applied, in at
most two buffers of one slice), and every sum over the state is formed over
fixed chunks whose partial sums are combined in one fixed pairwise tree,
the levels above a slice identically on every rank. The results are
therefore the same bytes for 1, 2, 4, 8, ... processes, for every
`num_threads`, and the same as `velmora.evolve` and `velmora.trajectory` on
the whole vector.

Every rank calls each function at the same point with the same arguments
(its own slice); arguments that differ between ranks are detected and
refused on every rank. A rank that fails during a run ends the whole job
(MPI_Abort) with a message, so that no other rank waits forever.

Requires mpi4py and an MPI runtime: ``pip install 'velmora[mpi]'`` brings
both (MPICH from PyPI); a system MPI with its own mpi4py works as well.
A script runs under ``mpiexec -n 4 python script.py`` (any power of two) or
as a plain ``python script.py`` (one process); the examples here run on one
process, and the same lines run unchanged on several.
"""

from __future__ import annotations

import hashlib
import numbers
import os
import pickle
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, TypeVar

import numpy as np
from numpy.typing import ArrayLike, NDArray

try:
    from mpi4py import MPI
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError(
        "velmora.mpi needs mpi4py and an MPI runtime; install them with "
        "pip install 'velmora[mpi]' (or mpi4py built against a system MPI)"
    ) from error

from velmora import _native, _taylor, evolution
from velmora._threads import available_cores, resolve_num_threads
from velmora.evolution import EvolveResult, Observable, TrajectoryResult
from velmora.pauli_sum import PauliSum
from velmora.sector import SectorOperator
from velmora.time_dependent import TimeDependentSum

__all__ = [
    "MIN_SLICE",
    "DistributedEvolveResult",
    "DistributedTrajectoryResult",
    "basis_state",
    "default_threads",
    "evolve",
    "exchanges_per_product",
    "gather",
    "scatter",
    "slice_range",
    "trajectory",
]

#: Slices below this many amplitudes are too small to carry the engine's
#: fixed chunks of sums; such (small) states are evolved whole on every rank
#: from the gathered slices, which gives the same bytes.
#:
#: An int: a slice of n qubits over 2^r processes has 2^(n - r) amplitudes,
#: so states of fewer than 12 + r qubits are evolved whole on every rank.
#:
#: Examples
#: --------
#: >>> import velmora.mpi
#: >>> velmora.mpi.MIN_SLICE
#: 4096
MIN_SLICE = 4096

T = TypeVar("T")


@dataclass(frozen=True)
class DistributedEvolveResult(EvolveResult):
    """`EvolveResult` with `state` this rank's slice, and what the run sent.

    The result of `velmora.mpi.evolve` on every rank: the fields of
    `velmora.EvolveResult` (the same values on every rank but `state`), and
    two about the communication. The record is immutable.

    Parameters
    ----------
    state, error, steps, applications, kept_basis, log_norm, function_calls, exchanges_per_product, exchange_bytes
        The attributes below, in this order; `velmora.mpi.evolve` makes the
        record.

    Attributes
    ----------
    state : numpy.ndarray
        This rank's slice of exp(-i t H) psi: complex128, the indices
        `slice_range` gives.
    error : float
        Upper estimate of the relative error of the whole state, as in
        `velmora.EvolveResult`.
    steps : int
        Krylov time steps taken.
    applications : int
        Products H @ v computed.
    kept_basis : bool
        True when the Krylov basis was kept in memory, False when it was
        regenerated to stay within `memory_budget`.
    log_norm : None
        Always None (`velmora.mpi.evolve` has no normalize).
    function_calls : int
        Always 0 (a constant H).
    exchanges_per_product : int
        Exchanges of slices per product H @ v: the distinct high parts of the
        words' flip masks (0 when the state was evolved whole on every rank,
        as on one process).
    exchange_bytes : int
        Bytes of the exchange buffers this process held (at most two slices).

    Examples
    --------
    >>> from mpi4py import MPI
    >>> import velmora.mpi
    >>> from velmora.models import ising_chain
    >>> comm = MPI.COMM_WORLD                              # one process here
    >>> local = velmora.mpi.basis_state(6, 0, comm)
    >>> result = velmora.mpi.evolve(ising_chain(6), local, 1.0, comm=comm)
    >>> result.state.shape, result.steps
    ((64,), 1)
    >>> result.exchanges_per_product, result.exchange_bytes
    (0, 0)
    """

    exchanges_per_product: int = 0
    exchange_bytes: int = 0


@dataclass(frozen=True)
class DistributedTrajectoryResult(TrajectoryResult):
    """`TrajectoryResult` with this rank's slices and the whole state's expectations.

    The result of `velmora.mpi.trajectory` on every rank: the fields of
    `velmora.TrajectoryResult` (the same values on every rank but `states`),
    and two about the communication. The record is immutable.

    Parameters
    ----------
    times, states, expectations, error, steps, applications, kept_basis, log_norms, function_calls, exchanges_per_product, exchange_bytes
        The attributes below, in this order; `velmora.mpi.trajectory` makes
        the record.

    Attributes
    ----------
    times : numpy.ndarray
        The output times, as given (float64).
    states : numpy.ndarray or None
        This rank's slices of the states, one row per time (complex128,
        shape (len(times), slice length)); None when observables were given.
    expectations : numpy.ndarray or None
        <psi(t_k)|O_j|psi(t_k)> of the whole state, the same on every rank,
        shape (len(times), len(observables)); float64 when every observable
        is Hermitian, else complex128; None without observables.
    error : float
        Never below the relative error of any returned state.
    steps : int
        Krylov time steps taken.
    applications : int
        Products H @ v computed.
    kept_basis : bool
        True when the Krylov basis was kept in memory.
    log_norms : None
        Always None (`velmora.mpi.trajectory` has no normalize).
    function_calls : int
        Always 0 (a constant H).
    exchanges_per_product : int
        Exchanges of slices per product H @ v (0 when the state was evolved
        whole on every rank, as on one process).
    exchange_bytes : int
        Bytes of the exchange buffers this process held (at most two slices).

    Examples
    --------
    >>> from mpi4py import MPI
    >>> import velmora.mpi
    >>> from velmora.models import ising_chain
    >>> comm = MPI.COMM_WORLD                              # one process here
    >>> local = velmora.mpi.basis_state(6, 0, comm)
    >>> run = velmora.mpi.trajectory(ising_chain(6), local, [0.0, 0.5], comm=comm)
    >>> run.states.shape, run.expectations, run.exchanges_per_product
    ((2, 64), None, 0)
    """

    exchanges_per_product: int = 0
    exchange_bytes: int = 0


# -- layout -----------------------------------------------------------------


def _comm_size(comm: object) -> tuple[int, int]:
    if not isinstance(comm, MPI.Intracomm):
        raise TypeError("comm must be an mpi4py intracommunicator such as MPI.COMM_WORLD, "
                        f"got {type(comm).__name__}")
    size = comm.Get_size()
    if size & (size - 1):
        raise ValueError(f"velmora.mpi needs a power-of-two number of processes "
                         f"(1, 2, 4, 8, ...), got {size}")
    return size, comm.Get_rank()


def _checked_num_qubits(num_qubits: object) -> int:
    if isinstance(num_qubits, (bool, np.bool_)) or not isinstance(num_qubits, numbers.Integral) \
            or num_qubits < 1:
        raise ValueError(f"num_qubits must be a positive int, got {num_qubits!r}")
    return int(num_qubits)


def _slice_size(num_qubits: int, size: int) -> int:
    bits = size.bit_length() - 1
    if num_qubits < bits:
        raise ValueError(f"{size} processes need a state of at least {bits} qubits, "
                         f"got {num_qubits}")
    return 1 << (num_qubits - bits)


def exchanges_per_product(H: PauliSum, processes: int) -> int:
    """The slices each process receives per product H @ v on `processes` processes.

    On 2^r processes: the distinct nonzero patterns of X and Y letters on
    the top r qubits (the rank qubits, the first r letters of each label).
    For planning: it needs no communicator.

    Parameters
    ----------
    H : PauliSum
        The Hamiltonian.
    processes : int
        The number of processes, a power of two 2^r with r <= n.

    Returns
    -------
    int
        The number of exchanges per product, 0 .. 2^r - 1 (0 for one
        process).

    Raises
    ------
    TypeError
        When H is not a `velmora.PauliSum`.
    ValueError
        When `processes` is not a power of two (or not an int), or H has
        fewer qubits than r.

    Examples
    --------
    >>> from velmora.mpi import exchanges_per_product
    >>> from velmora.models import ising_chain
    >>> [exchanges_per_product(ising_chain(6), p) for p in (1, 2, 4, 8)]  # = log2(p)
    [0, 1, 2, 3]
    """
    if not isinstance(H, PauliSum):
        raise TypeError(f"H must be a velmora.PauliSum, got {type(H).__name__}")
    if isinstance(processes, bool) or not isinstance(processes, int) or processes < 1 or (
            processes & (processes - 1)):
        raise ValueError(f"processes must be a power of two, got {processes!r}")
    bits = processes.bit_length() - 1
    _slice_size(H.num_qubits, processes)
    patterns = {label[:bits].translate(_FLIPS) for label, _ in H.terms}
    return len(patterns - {"0" * bits})


_FLIPS = str.maketrans("IXYZ", "0110")


def slice_range(num_qubits: int, comm: Any) -> range:
    """The indices of the whole state that this rank's slice holds.

    Rank k of 2^r processes holds the 2^(n-r) amplitudes k 2^(n-r) up to
    (k + 1) 2^(n-r) - 1: those whose top r index bits equal k.

    Parameters
    ----------
    num_qubits : int
        The number of qubits n of the whole state.
    comm : mpi4py.MPI.Intracomm
        The communicator, of a power-of-two size 2^r <= 2^n.

    Returns
    -------
    range
        The indices of this rank's amplitudes in the whole state.

    Raises
    ------
    TypeError
        When `comm` is not an mpi4py intracommunicator.
    ValueError
        When the number of processes is not a power of two, or exceeds 2^n,
        or `num_qubits` is not a positive int.

    Examples
    --------
    >>> from mpi4py import MPI
    >>> from velmora.mpi import slice_range
    >>> slice_range(6, MPI.COMM_WORLD)        # one process holds everything
    range(0, 64)
    """
    size, rank = _comm_size(comm)
    length = _slice_size(_checked_num_qubits(num_qubits), size)
    return range(rank * length, (rank + 1) * length)


# -- agreement between the ranks ---------------------------------------------

_RAISED: dict[str, type[BaseException]] = {
    "TypeError": TypeError, "ValueError": ValueError, "MemoryError": MemoryError,
    "KeyboardInterrupt": KeyboardInterrupt}


def _digest(value: object) -> str:
    return hashlib.sha256(pickle.dumps(value, protocol=5)).hexdigest()


def _agree(comm: Any, check: Callable[[], tuple[T, dict[str, object]]]) -> tuple[T, list[Any]]:
    """Runs `check` on every rank and compares the outcomes: when any rank's
    check raised, every rank raises the same error; when the fingerprints
    (name -> value that must be equal on every rank) differ, every rank raises
    ValueError naming the argument. Returns the local result and each rank's
    extra value ("extra" in the fingerprint is gathered, not compared)."""
    result: Any = None
    failure: tuple[str, str] | None = None
    local_error: BaseException | None = None
    prints: dict[str, object] = {}
    try:
        result, prints = check()
    except BaseException as error:  # reported to every rank below, Ctrl-C included
        failure = (type(error).__name__, str(error))
        local_error = error
    extra = prints.pop("extra", None)
    reports = comm.allgather((failure, {k: _digest(v) for k, v in prints.items()}, extra))
    for rank, (other, _, _) in enumerate(reports):
        if other is not None:
            if rank == comm.Get_rank() and local_error is not None:
                raise local_error  # the failing rank keeps its own exception
            name, message = other
            raise _RAISED.get(name, RuntimeError)(f"{message} (on rank {rank})")
    first = reports[0][1]
    for rank, (_, fingerprint, _) in enumerate(reports):
        for name in first:
            if fingerprint.get(name) != first[name]:
                raise ValueError(f"the ranks were given different {name}: rank {rank} differs "
                                 "from rank 0; every rank must pass the same arguments")
    return result, [r[2] for r in reports]


def _guarded(comm: Any, run: Callable[[], T]) -> T:
    """run(), ending the whole job if it fails on this rank: the others would
    otherwise wait forever for its messages."""
    try:
        return run()
    except BaseException as error:
        size, rank = comm.Get_size(), comm.Get_rank()
        if size == 1:
            raise
        sys.stderr.write(
            f"velmora.mpi: rank {rank} of {size} failed during the evolution: "
            f"{type(error).__name__}: {error}\n"
            f"velmora.mpi: aborting all {size} processes (MPI_Abort) so that none waits "
            "forever\n")
        sys.stderr.flush()
        # The launcher forwards a rank's output asynchronously: an abort right
        # after the write can end the job before the message reaches the
        # terminal (seen once in about twenty runs). A failing job may wait.
        time.sleep(0.5)
        comm.Abort(1)
        raise  # pragma: no cover - Abort does not return


def default_threads(comm: Any) -> int:
    """Threads per process when num_threads is None.

    The cores this process may use, shared evenly with the other ranks on
    the same machine that may use any of them (mpiexec without binding lets
    every rank use every core; a team per rank on all of them would
    oversubscribe the machine). Ranks bound to cores of their own keep all of
    theirs. Collective: every rank of `comm` calls it.

    Parameters
    ----------
    comm : mpi4py.MPI.Intracomm
        The communicator of the ranks.

    Returns
    -------
    int
        The number of threads, at least 1.

    Raises
    ------
    TypeError
        When `comm` is not an mpi4py intracommunicator.

    Examples
    --------
    >>> import os
    >>> from mpi4py import MPI
    >>> from velmora.mpi import default_threads
    >>> threads = default_threads(MPI.COMM_WORLD)      # one process: all of its cores
    >>> threads == len(os.sched_getaffinity(0))
    True
    """
    if not isinstance(comm, MPI.Intracomm):
        raise TypeError("comm must be an mpi4py intracommunicator such as MPI.COMM_WORLD, "
                        f"got {type(comm).__name__}")
    try:
        cores = set(os.sched_getaffinity(0))
    except (AttributeError, OSError):  # pragma: no cover - platforms without affinity
        cores = set(range(available_cores()))
    node = comm.Split_type(MPI.COMM_TYPE_SHARED)
    try:
        masks = node.allgather(sorted(cores))
    finally:
        node.Free()
    sharing = sum(1 for mask in masks if cores.intersection(mask))
    return max(1, len(cores) // max(1, sharing))


# -- moving states ------------------------------------------------------------


def scatter(psi: ArrayLike | None, comm: Any) -> NDArray[np.complex128]:
    """This rank's slice of `psi`, which only rank 0 needs to hold.

    The other ranks may pass None. Its length must be a power of two, at
    least the number of processes. Collective: every rank of `comm` calls it;
    a refused psi raises on every rank.

    Parameters
    ----------
    psi : array_like or None
        The whole state (2^n amplitudes) on rank 0; ignored on the others.
    comm : mpi4py.MPI.Intracomm
        The communicator, of a power-of-two size.

    Returns
    -------
    numpy.ndarray
        This rank's slice, complex128 of 2^n / size amplitudes (the indices
        `slice_range` gives).

    Raises
    ------
    TypeError
        When `comm` is not an mpi4py intracommunicator.
    ValueError
        When the number of processes is not a power of two, or psi (on rank
        0) is not 1-D or its length is not a power of two at least the number
        of processes.

    Examples
    --------
    >>> import numpy as np
    >>> from mpi4py import MPI
    >>> from velmora.mpi import scatter
    >>> scatter(np.arange(4), MPI.COMM_WORLD)           # one process: the whole state
    array([0.+0.j, 1.+0.j, 2.+0.j, 3.+0.j])
    """
    size, rank = _comm_size(comm)

    def check() -> tuple[Any, dict[str, object]]:
        if rank != 0:
            return None, {}
        state = np.ascontiguousarray(np.asarray(psi), dtype=np.complex128)
        if state.ndim != 1:
            raise ValueError(f"psi must be a 1-D array of amplitudes, got shape {state.shape}")
        length = state.size
        if length & (length - 1) or length < size:
            raise ValueError(f"psi has {length} amplitudes; it needs 2^n of them, at least "
                             f"one per process ({size})")
        return state, {"extra": length}

    state, lengths = _agree(comm, check)
    local = np.empty(lengths[0] // size, dtype=np.complex128)
    comm.Scatter(state if rank == 0 else None, local, root=0)
    return local


def gather(local: ArrayLike, comm: Any) -> NDArray[np.complex128] | None:
    """The whole state on rank 0 from every rank's slice; None on the others.

    Collective: every rank of `comm` calls it with its slice. Rank 0 must be
    able to hold the whole state.

    Parameters
    ----------
    local : array_like
        This rank's slice, 1-D, of the same length on every rank.
    comm : mpi4py.MPI.Intracomm
        The communicator, of a power-of-two size.

    Returns
    -------
    numpy.ndarray or None
        On rank 0 the whole state (complex128, the slices in rank order);
        None on the other ranks.

    Raises
    ------
    TypeError
        When `comm` is not an mpi4py intracommunicator.
    ValueError
        When the number of processes is not a power of two, a slice is not
        1-D, or the slices have different lengths on different ranks.

    Examples
    --------
    >>> import numpy as np
    >>> from mpi4py import MPI
    >>> from velmora.mpi import gather, scatter
    >>> comm = MPI.COMM_WORLD
    >>> whole = gather(scatter(np.arange(8), comm), comm)
    >>> whole if comm.rank == 0 else None
    array([0.+0.j, 1.+0.j, 2.+0.j, 3.+0.j, 4.+0.j, 5.+0.j, 6.+0.j, 7.+0.j])
    """
    size, rank = _comm_size(comm)

    def check() -> tuple[NDArray[np.complex128], dict[str, object]]:
        piece = np.ascontiguousarray(np.asarray(local), dtype=np.complex128)
        if piece.ndim != 1:
            raise ValueError(f"local must be a 1-D slice, got shape {piece.shape}")
        return piece, {"slice lengths": piece.size}

    piece, _ = _agree(comm, check)
    whole = np.empty(piece.size * size, dtype=np.complex128) if rank == 0 else None
    comm.Gather(piece, whole, root=0)
    return whole


def basis_state(num_qubits: int, index: int, comm: Any) -> NDArray[np.complex128]:
    """This rank's slice of the basis state ``|index>`` of `num_qubits` qubits.

    Made without the whole vector existing anywhere: the rank that holds
    amplitude `index` sets it to 1, the others return zeros.

    Parameters
    ----------
    num_qubits : int
        The number of qubits n >= 1.
    index : int
        The basis state, 0 <= index < 2^n (qubit 0 the least significant bit).
    comm : mpi4py.MPI.Intracomm
        The communicator, of a power-of-two size 2^r <= 2^n.

    Returns
    -------
    numpy.ndarray
        This rank's slice, complex128 of 2^n / size amplitudes.

    Raises
    ------
    TypeError
        When `comm` is not an mpi4py intracommunicator.
    ValueError
        When the number of processes is not a power of two or exceeds 2^n,
        `num_qubits` is not a positive int, or `index` is not an int in
        0..2^n - 1.

    Examples
    --------
    >>> from mpi4py import MPI
    >>> from velmora.mpi import basis_state
    >>> basis_state(3, 5, MPI.COMM_WORLD)              # |101> on one process
    array([0.+0.j, 0.+0.j, 0.+0.j, 0.+0.j, 0.+0.j, 1.+0.j, 0.+0.j, 0.+0.j])
    """
    size, rank = _comm_size(comm)
    num_qubits = _checked_num_qubits(num_qubits)
    if isinstance(index, (bool, np.bool_)) or not isinstance(index, numbers.Integral) or \
            not 0 <= index < 1 << num_qubits:
        raise ValueError(f"index must be an int in [0, 2^{num_qubits}), got {index!r}")
    index = int(index)
    length = _slice_size(num_qubits, size)
    local = np.zeros(length, dtype=np.complex128)
    if index // length == rank:
        local[index % length] = 1.0
    return local


# -- evolution ----------------------------------------------------------------


def _check_memory(num_qubits: int, size: int, states: int, what: str) -> None:
    """Refuses, before anything is copied, a run whose smallest working set on
    this rank (the copy of the slice, `states` returned slices, and the
    engine's regenerated basis: three scratch vectors, the current state, two
    output buffers, two exchange buffers and the diagonal) exceeds what the
    process can still get. Called inside the ranks' agreement, so that every
    rank raises MemoryError instead of one rank ending the job."""
    length = _slice_size(num_qubits, size)
    needed = 16 * length * (1 + states + 8.5)
    limit, source = _native.memory_limit()
    if limit >= 2**64 - 1:
        return
    available = limit - evolution._resident_bytes()
    if needed > available:
        raise MemoryError(
            f"{what} needs at least {needed / 2**30:.1f} GiB on this rank ({1 + states + 8.5:g} "
            f"slices of {16 * length / 2**30:.2f} GiB), but this process can get only "
            f"{max(available, 0) / 2**30:.1f} GiB more ({source}); use more processes")


def _check_slice(H: PauliSum, local: ArrayLike, size: int) -> NDArray[np.complex128]:
    array = np.asarray(local)
    length = _slice_size(H.num_qubits, size)
    if array.ndim != 1 or array.size != length:
        raise ValueError(f"local must be this rank's slice of {length} amplitudes "
                         f"(2^{H.num_qubits} over {size} processes), got shape {array.shape}")
    if not (np.issubdtype(array.dtype, np.number) or array.dtype == np.bool_):
        raise TypeError(f"local must hold numbers, got dtype {array.dtype}")
    state = np.ascontiguousarray(array, dtype=np.complex128)
    if not np.isfinite(state).all():
        index = int(np.flatnonzero(~np.isfinite(state))[0])
        raise ValueError(f"local has a non-finite amplitude at index {index}")
    return state


def _observable_prints(observables: Sequence[Observable] | None) -> object:
    if observables is None:
        return None
    return [obs.terms if isinstance(obs, PauliSum) else "diagonal" for obs in observables]


def _run(H: PauliSum, comm: Any, state: NDArray[np.complex128], times: NDArray[np.float64],
         direction: complex, tol: float, num_threads: int | None, krylov_dim: int,
         budget: int, keep_states: bool, observables: list[Any], progress: bool
         ) -> tuple[Any, ...]:
    """The engine on the slices, or on the whole state on every rank when the
    slices are small. Returns the tuple of _native.krylov_evolve."""
    size, rank = comm.Get_size(), comm.Get_rank()
    shared = default_threads(comm)  # collective, so called whatever num_threads is
    threads = shared if num_threads is None else resolve_num_threads(num_threads)
    bar = evolution._Progress(float(times[-1])) if progress and rank == 0 else None

    def run() -> tuple[Any, ...]:
        try:
            if size == 1:
                return tuple(_native.krylov_evolve(
                    H._operator, state, times, direction, tol, threads, krylov_dim, budget,
                    keep_states, observables, bar))
            if state.size >= MIN_SLICE:
                ours = comm.Dup()  # our messages never match the caller's
                out = _native.krylov_evolve(
                    H._operator, state, times, direction, tol, threads, krylov_dim, budget,
                    keep_states, observables, bar, ours)
                ours.Free()
                return tuple(out)
            return _run_whole(H, comm, state, times, direction, tol, threads, krylov_dim,
                              budget, keep_states, observables, bar)
        finally:
            if bar is not None:
                bar.close()

    return _guarded(comm, run)


def _run_whole(H: PauliSum, comm: Any, state: NDArray[np.complex128],
               times: NDArray[np.float64], direction: complex, tol: float, threads: int,
               krylov_dim: int, budget: int, keep_states: bool, observables: list[Any],
               bar: Any) -> tuple[Any, ...]:
    whole, compiled = _gather(comm, state, observables)
    states, expectations, *rest = _native.krylov_evolve(
        H._operator, whole, times, direction, tol, threads, krylov_dim, budget, keep_states,
        compiled, bar)
    return (_own_columns(comm, states, state.size), expectations, *rest[:4], 0, 0, None)


def _gather(comm: Any, state: NDArray[np.complex128],
            observables: list[Any]) -> tuple[NDArray[np.complex128], list[Any]]:
    """The whole state and the whole diagonals of diagonal observables, on
    every rank, from their slices (for runs too small to split)."""
    size = comm.Get_size()
    whole = np.empty(state.size * size, dtype=np.complex128)
    comm.Allgather(state, whole)
    compiled: list[Any] = []
    for obs in observables:
        if isinstance(obs, np.ndarray):
            diagonal = np.empty(state.size * size, dtype=np.float64)
            comm.Allgather(obs, diagonal)
            compiled.append(diagonal)
        else:
            compiled.append(obs)
    return whole, compiled


def _own_columns(comm: Any, states: NDArray[np.complex128] | None,
                 length: int) -> NDArray[np.complex128] | None:
    """This rank's slice of whole states kept at the output times."""
    if states is None:
        return None
    rank = comm.Get_rank()
    return np.ascontiguousarray(states[:, rank * length:(rank + 1) * length])


def _check_full_space(H: object) -> PauliSum:
    """H as evolution checks it, but not a sector: those run on one process."""
    if isinstance(H, SectorOperator):
        raise TypeError("velmora.mpi evolves states of the full space; a SectorOperator runs on "
                        "one process (velmora.evolve, velmora.trajectory), and Z2 symmetries "
                        "can be tapered off for velmora.mpi with PauliSum.taper")
    ham = evolution._check_hamiltonian(H)
    assert isinstance(ham, PauliSum)
    return ham


def evolve(H: PauliSum | TimeDependentSum, local: ArrayLike, t: complex, *, comm: Any,
           tol: float = 1e-12, num_threads: int | None = None,
           krylov_dim: int = evolution.DEFAULT_KRYLOV_DIM, memory_budget: int | None = None,
           max_step: float | None = None) -> DistributedEvolveResult:
    """`velmora.evolve` on a state split over the processes of `comm`.

    `local` is this rank's slice, and so is the returned `state`. The same
    bytes as `velmora.evolve` on the whole state, for every number of
    processes. `num_threads` threads per process (default: `default_threads`,
    the cores this process may use, shared with the ranks on the same machine
    that may use them too; mpiexec's binding options decide which those are).
    `memory_budget` is per process (default: a quarter of physical memory, at
    most what this process can still get; the smallest value over the ranks
    is used). A rank that cannot hold its working set at all makes every rank
    raise MemoryError before any slice is copied.

    Collective: every rank calls it with the same arguments but its own
    slice. Arguments are checked on every rank before the run, and a refusal
    raises on every rank (on the others with "(on rank k)" added to the
    message). A rank that fails during the run ends the whole job
    (MPI_Abort) with a message on standard error, so that no other rank
    waits forever; on one process the exception is raised instead.

    Parameters
    ----------
    H : PauliSum or TimeDependentSum
        The Hamiltonian, Hermitian; a `TaperedSum` works, a `SectorOperator`
        does not (sectors run on one process). A `TimeDependentSum` (of
        PauliSums) is evolved by Taylor steps, as `velmora.evolve` does, with
        its bytes; every rank calls the parts' functions itself.
    local : array_like
        This rank's slice of the state: 2^n / size amplitudes (`scatter` or
        `basis_state` make it).
    t : float or complex
        The time, real or complex, as in `velmora.evolve`.
    comm : mpi4py.MPI.Intracomm
        The communicator of the processes sharing the state, of a power-of-two
        size.
    tol : float, optional
        The relative error allowed, in (0, 1) (default 1e-12).
    num_threads : int, optional
        Threads per process (None: `default_threads`).
    krylov_dim : int, optional
        The Krylov dimension of a step, 8..200 (default 30).
    memory_budget : int, optional
        Bytes per process for the Krylov basis (None: as described above).
    max_step : float, optional
        For a TimeDependentSum only: the longest step, as in `velmora.evolve`.

    Returns
    -------
    DistributedEvolveResult
        `state` this rank's slice, the other fields as in
        `velmora.EvolveResult`, with the exchanges of the run.

    Raises
    ------
    TypeError
        When `comm` is not an mpi4py intracommunicator; H is not a PauliSum
        (a SectorOperator included); `local` does not hold numbers; t is not
        a number; tol, `krylov_dim`, `memory_budget` or `num_threads` has the
        wrong type.
    ValueError
        When the number of processes is not a power of two or exceeds 2^n; H
        is not Hermitian; `local` is not this rank's slice of 2^n / size
        amplitudes or has a non-finite amplitude; t is not finite or would
        need more than 1e12 products; tol, `krylov_dim`, `memory_budget` or
        `num_threads` is out of range; the ranks were given different
        arguments.
    MemoryError
        When a rank cannot hold its working set (on every rank, before the
        run).
    OverflowError
        On one process, when H @ psi or the result leaves the double range
        (on several, the job ends).

    Examples
    --------
    A 6-spin Ising quench on the processes of ``MPI.COMM_WORLD``: one here;
    the same lines under ``mpiexec -n 2`` give the same bytes.

    >>> import numpy as np
    >>> from mpi4py import MPI
    >>> import velmora
    >>> import velmora.mpi
    >>> from velmora.models import ising_chain
    >>> comm = MPI.COMM_WORLD
    >>> H = ising_chain(6)
    >>> local = velmora.mpi.basis_state(6, 0, comm)           # this rank's part of |0..0>
    >>> result = velmora.mpi.evolve(H, local, 1.0, comm=comm)
    >>> whole = velmora.mpi.gather(result.state, comm)        # on rank 0, None elsewhere
    >>> single = velmora.evolve(H, np.eye(64)[0], 1.0).state  # one process, whole vector
    >>> bool(np.array_equal(whole, single)) if comm.rank == 0 else True
    True
    """
    size, rank = _comm_size(comm)
    if isinstance(H, TimeDependentSum):
        return _time_dependent_evolve(H, local, t, comm, tol, num_threads, max_step)
    if max_step is not None:
        raise ValueError("max_step applies to a TimeDependentSum")

    def check() -> tuple[Any, dict[str, object]]:
        ham = _check_full_space(H)
        _check_memory(ham.num_qubits, size, 1, "velmora.mpi.evolve")
        state = _check_slice(ham, local, size)
        tolerance = evolution._check_tol(tol)
        magnitude, direction = evolution._time_and_direction(t)
        evolution._check_duration(ham, magnitude, direction)
        dim = evolution._check_krylov_dim(krylov_dim)
        budget = evolution._check_budget(memory_budget)
        resolve_num_threads(num_threads)
        prints: dict[str, object] = {"H": ham.terms, "t": (magnitude, direction),
                                     "tol": tolerance, "krylov_dim": dim, "extra": budget}
        return (ham, state, tolerance, magnitude, direction, dim), prints

    (ham, state, tolerance, magnitude, direction, dim), budgets = _agree(comm, check)
    states, _, error, steps, applications, kept, exchanges, exchange_bytes, _ = _run(
        ham, comm, state, np.array([magnitude]), direction, tolerance, num_threads, dim,
        min(budgets), True, [], False)
    return DistributedEvolveResult(states[0], error, steps, applications, kept,
                                   exchanges_per_product=exchanges,
                                   exchange_bytes=exchange_bytes)


def trajectory(H: PauliSum | TimeDependentSum, local: ArrayLike, times: ArrayLike, *, comm: Any,
               observables: Sequence[Observable] | None = None, tol: float = 1e-12,
               num_threads: int | None = None, progress: bool = False,
               krylov_dim: int = evolution.DEFAULT_KRYLOV_DIM,
               memory_budget: int | None = None,
               max_step: float | None = None) -> DistributedTrajectoryResult:
    """`velmora.trajectory` on a state split over the processes of `comm`.

    Without observables, `states` holds this rank's slices (one row per
    time). With observables, `expectations` are the values for the whole
    state, on every rank; a diagonal observable is given as this rank's slice
    of the diagonal. `progress=True` shows a bar on rank 0. The same bytes as
    `velmora.trajectory` on the whole state, for every number of processes.

    Collective, and checked on every rank, as `velmora.mpi.evolve`: a refused
    argument raises on every rank; a rank that fails during the run ends the
    whole job (MPI_Abort), except on one process, where the exception is
    raised.

    Parameters
    ----------
    H : PauliSum or TimeDependentSum
        The Hamiltonian, Hermitian; not a `SectorOperator`. A
        `TimeDependentSum` is evolved by Taylor steps, as in `evolve`.
    local : array_like
        This rank's slice of the state at time 0: 2^n / size amplitudes.
    times : array_like
        Real, finite, non-decreasing times >= 0.
    comm : mpi4py.MPI.Intracomm
        The communicator of the processes sharing the state, of a power-of-two
        size.
    observables : sequence, optional
        PauliSums (on the qubits of H) and real diagonals given as this
        rank's slice; callables and SciPy sparse matrices need the whole
        state, so only one process. None (default) keeps the states.
    tol : float, optional
        The relative error allowed for every returned state, in (0, 1)
        (default 1e-12).
    num_threads : int, optional
        Threads per process (None: `default_threads`).
    progress : bool, optional
        Show a progress bar on rank 0 (default False).
    krylov_dim : int, optional
        The Krylov dimension of a step, 8..200 (default 30).
    memory_budget : int, optional
        Bytes per process for the Krylov basis, as in `velmora.mpi.evolve`.
    max_step : float, optional
        For a TimeDependentSum only: the longest step, as in `velmora.evolve`.

    Returns
    -------
    DistributedTrajectoryResult
        `times`, and this rank's slices of the `states` or the whole state's
        `expectations`, with the bound `error` and the work done.

    Raises
    ------
    TypeError
        As in `velmora.mpi.evolve`; when the times are not real numbers, or
        `observables` is not a sequence or holds a complex diagonal.
    ValueError
        As in `velmora.mpi.evolve`; when the times are empty, not 1-D, not
        finite, negative or decreasing; when an observable acts on another
        number of qubits, a diagonal is not this rank's slice or not finite,
        or a callable or sparse matrix is given to several processes.
    MemoryError
        When a rank cannot hold its working set, the kept slices included (on
        every rank, before the run).
    OverflowError
        On one process, when H @ psi leaves the double range (on several,
        the job ends); on every rank, when an expectation value does.

    Examples
    --------
    The energy and the magnetisation of the first spin along a 6-spin Ising
    quench, on the processes of ``MPI.COMM_WORLD`` (one here):

    >>> import numpy as np
    >>> from mpi4py import MPI
    >>> import velmora.mpi
    >>> from velmora.models import ising_chain, z_diagonal
    >>> comm = MPI.COMM_WORLD
    >>> H = ising_chain(6)
    >>> local = velmora.mpi.basis_state(6, 0, comm)
    >>> z0 = z_diagonal(6, 0)[velmora.mpi.slice_range(6, comm)]   # this rank's slice
    >>> run = velmora.mpi.trajectory(H, local, [0.0, 0.5, 1.0], comm=comm,
    ...                              observables=[H, z0])
    >>> np.round(run.expectations, 6)                            # the same on every rank
    array([[-5.      ,  1.      ],
           [-5.      ,  0.576725],
           [-5.      , -0.033022]])
    """
    size, rank = _comm_size(comm)
    if isinstance(H, TimeDependentSum):
        return _time_dependent_trajectory(H, local, times, comm, observables, tol, num_threads,
                                          progress, max_step)
    if max_step is not None:
        raise ValueError("max_step applies to a TimeDependentSum")

    def check() -> tuple[Any, dict[str, object]]:
        ham = _check_full_space(H)
        values = evolution._check_times(times)
        _check_memory(ham.num_qubits, size, values.size if observables is None else 0,
                      "velmora.mpi.trajectory")
        state = _check_slice(ham, local, size)
        tolerance = evolution._check_tol(tol)
        evolution._check_duration(ham, float(values[-1]), 1.0 + 0j)
        dim = evolution._check_krylov_dim(krylov_dim)
        budget = evolution._check_budget(memory_budget)
        resolve_num_threads(num_threads)
        compiled: list[Any] = []
        hermitian = True
        if observables is not None:
            compiled, hermitian = evolution._check_observables(ham, observables, state.size)
        prints: dict[str, object] = {
            "H": ham.terms, "times": values.tobytes(), "tol": tolerance, "krylov_dim": dim,
            "observables": _observable_prints(observables), "extra": budget}
        return (ham, state, tolerance, values, dim, compiled, hermitian), prints

    (ham, state, tolerance, values, dim, compiled, hermitian), budgets = _agree(comm, check)
    states, expectations, error, steps, applications, kept, exchanges, exchange_bytes, _ = _run(
        ham, comm, state, values, 1.0 + 0j, tolerance, num_threads, dim, min(budgets),
        observables is None, compiled, bool(progress))
    if observables is None:
        return DistributedTrajectoryResult(values, states, None, error, steps, applications,
                                           kept, exchanges_per_product=exchanges,
                                           exchange_bytes=exchange_bytes)
    return DistributedTrajectoryResult(values, None,
                                       evolution._measured(expectations, values.size, hermitian),
                                       error, steps, applications, kept,
                                       exchanges_per_product=exchanges,
                                       exchange_bytes=exchange_bytes)


# -- time-dependent sums -----------------------------------------------------------


def _check_time_dependent(H: TimeDependentSum) -> TimeDependentSum:
    if H.sector is not None:
        raise TypeError("velmora.mpi evolves states of the full space; a TimeDependentSum on a "
                        "sector runs on one process (velmora.evolve, velmora.trajectory)")
    return H


def _time_dependent_prints(H: TimeDependentSum) -> dict[str, object]:
    """What every rank must agree on: the parts' terms, which are driven, the
    breakpoints (the functions themselves cannot be compared across ranks)."""
    return {"H": [(part.terms, f is None) for part, f in H.parts],
            "breakpoints": H.breakpoints}


def _run_taylor(H: TimeDependentSum, comm: Any, state: NDArray[np.complex128], t0: float,
                times: NDArray[np.float64], tol: float, num_threads: int | None,
                max_step: float | None, keep_states: bool, observables: list[Any],
                progress: bool) -> Any:
    """The Taylor steps on the slices (the whole state on every rank when the
    slices are small), every rank sampling the drives itself."""
    size, rank = comm.Get_size(), comm.Get_rank()
    shared = default_threads(comm)
    threads = shared if num_threads is None else resolve_num_threads(num_threads)
    bar = evolution._Progress(float(times[-1]) - t0) if progress and rank == 0 else None

    def run() -> Any:
        try:
            if size == 1:
                return _taylor.run(H, state, t0, times, tol, threads, max_step, keep_states,
                                   observables, bar)
            if state.size >= MIN_SLICE:
                ours = comm.Dup()
                out = _taylor.run(H, state, t0, times, tol, threads, max_step, keep_states,
                                  observables, bar, comm=ours)
                ours.Free()
                return out
            whole, compiled = _gather(comm, state, observables)
            out = _taylor.run(H, whole, t0, times, tol, threads, max_step, keep_states,
                              compiled, bar)
            out.states = _own_columns(comm, out.states, state.size)
            return out
        finally:
            if bar is not None:
                bar.close()

    return _guarded(comm, run)


def _time_dependent_evolve(H: TimeDependentSum, local: ArrayLike, t: object, comm: Any,
                           tol: object, num_threads: int | None,
                           max_step: object) -> DistributedEvolveResult:
    size, _ = _comm_size(comm)

    def check() -> tuple[Any, dict[str, object]]:
        ham = _check_time_dependent(H)
        _check_memory(ham.num_qubits, size, 1, "velmora.mpi.evolve")
        state = _check_slice(ham.parts[0][0], local, size)
        tolerance = evolution._check_tol(tol)
        end = evolution._end_of(t, 0.0)
        step = evolution._check_max_step(max_step)
        resolve_num_threads(num_threads)
        prints = {**_time_dependent_prints(ham), "t": end, "tol": tolerance, "max_step": step}
        return (state, tolerance, end, step), prints

    (state, tolerance, end, step), _ = _agree(comm, check)
    out = _run_taylor(H, comm, state, 0.0, np.array([end]), tolerance, num_threads, step, True,
                      [], False)
    evolution._warn_missed("velmora.mpi.evolve", out.error, tolerance,
                           evolution._time_dependent_reason)
    return DistributedEvolveResult(out.states[0], out.error, out.steps, out.applications, True,
                                   function_calls=out.function_calls)


def _time_dependent_trajectory(H: TimeDependentSum, local: ArrayLike, times: ArrayLike,
                               comm: Any, observables: Sequence[Observable] | None,
                               tol: object, num_threads: int | None, progress: bool,
                               max_step: object) -> DistributedTrajectoryResult:
    size, _ = _comm_size(comm)

    def check() -> tuple[Any, dict[str, object]]:
        ham = _check_time_dependent(H)
        values = evolution._check_times(times)
        _check_memory(ham.num_qubits, size, values.size if observables is None else 0,
                      "velmora.mpi.trajectory")
        state = _check_slice(ham.parts[0][0], local, size)
        tolerance = evolution._check_tol(tol)
        step = evolution._check_max_step(max_step)
        resolve_num_threads(num_threads)
        compiled: list[Any] = []
        hermitian = True
        if observables is not None:
            compiled, hermitian = evolution._check_observables(ham.parts[0][0], observables,
                                                               state.size)
        prints = {**_time_dependent_prints(ham), "times": values.tobytes(), "tol": tolerance,
                  "max_step": step, "observables": _observable_prints(observables)}
        return (state, values, tolerance, step, compiled, hermitian), prints

    (state, values, tolerance, step, compiled, hermitian), _ = _agree(comm, check)
    out = _run_taylor(H, comm, state, 0.0, values, tolerance, num_threads, step,
                      observables is None, compiled, bool(progress))
    evolution._warn_missed("velmora.mpi.trajectory", out.error, tolerance,
                           evolution._time_dependent_reason)
    if observables is None:
        return DistributedTrajectoryResult(values, out.states, None, out.error, out.steps,
                                           out.applications, True,
                                           function_calls=out.function_calls)
    return DistributedTrajectoryResult(values, None,
                                       evolution._measured(out.expectations, values.size,
                                                           hermitian),
                                       out.error, out.steps, out.applications, True,
                                       function_calls=out.function_calls)
