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

from velmora import _native, evolution
from velmora._threads import available_cores, resolve_num_threads
from velmora.evolution import EvolveResult, Observable, TrajectoryResult
from velmora.pauli_sum import PauliSum
from velmora.sector import SectorOperator

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
MIN_SLICE = 4096

T = TypeVar("T")


@dataclass(frozen=True)
class DistributedEvolveResult(EvolveResult):
    """`EvolveResult` with `state` this rank's slice, and what the run sent."""

    #: Exchanges of slices per product H @ v: the distinct high parts of the
    #: words' flip masks (0 when the state was evolved whole on every rank).
    exchanges_per_product: int = 0
    #: Bytes of the exchange buffers this process held (at most two slices).
    exchange_bytes: int = 0


@dataclass(frozen=True)
class DistributedTrajectoryResult(TrajectoryResult):
    """`TrajectoryResult` with `states` (when kept) this rank's slices and
    `expectations` the values for the whole state, on every rank."""

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


def _slice_size(num_qubits: int, size: int) -> int:
    bits = size.bit_length() - 1
    if num_qubits < bits:
        raise ValueError(f"{size} processes need a state of at least {bits} qubits, "
                         f"got {num_qubits}")
    return 1 << (num_qubits - bits)


def exchanges_per_product(H: PauliSum, processes: int) -> int:
    """The slices each process receives per product H @ v on `processes`
    (2^r) processes: the distinct nonzero patterns of X and Y letters on the
    top r qubits (the rank qubits, the first r letters of each label). For
    planning: it needs no communicator."""
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
    """The indices of the whole state that this rank's slice holds."""
    size, rank = _comm_size(comm)
    length = _slice_size(num_qubits, size)
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
    """Threads per process when num_threads is None: the cores this process
    may use, shared evenly with the other ranks on the same machine that may
    use any of them (mpiexec without binding lets every rank use every core;
    a team per rank on all of them would oversubscribe the machine). Ranks
    bound to cores of their own keep all of theirs. Collective: every rank of
    `comm` calls it."""
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
    """This rank's slice of `psi`, which only rank 0 needs to hold (the other
    ranks may pass None). Its length must be a power of two, at least the
    number of processes."""
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
    """The whole state on rank 0 from every rank's slice; None on the others."""
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
    """This rank's slice of the basis state |index> of `num_qubits` qubits,
    made without the whole vector existing anywhere."""
    size, rank = _comm_size(comm)
    if isinstance(num_qubits, (bool, np.bool_)) or not isinstance(num_qubits, numbers.Integral) \
            or num_qubits < 1:
        raise ValueError(f"num_qubits must be a positive int, got {num_qubits!r}")
    num_qubits = int(num_qubits)
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
    size, rank = comm.Get_size(), comm.Get_rank()
    length = state.size
    whole = np.empty(length * size, dtype=np.complex128)
    comm.Allgather(state, whole)
    compiled: list[Any] = []
    for obs in observables:
        if isinstance(obs, np.ndarray):
            diagonal = np.empty(length * size, dtype=np.float64)
            comm.Allgather(obs, diagonal)
            compiled.append(diagonal)
        else:
            compiled.append(obs)
    states, expectations, *rest = _native.krylov_evolve(
        H._operator, whole, times, direction, tol, threads, krylov_dim, budget, keep_states,
        compiled, bar)
    if states is not None:
        states = np.ascontiguousarray(states[:, rank * length:(rank + 1) * length])
    return (states, expectations, *rest[:4], 0, 0, None)


def _check_full_space(H: object) -> PauliSum:
    """H as evolution checks it, but not a sector: those run on one process."""
    if isinstance(H, SectorOperator):
        raise TypeError("velmora.mpi evolves states of the full space; a SectorOperator runs on "
                        "one process (velmora.evolve, velmora.trajectory), and Z2 symmetries "
                        "can be tapered off for velmora.mpi with PauliSum.taper")
    ham = evolution._check_hamiltonian(H)
    assert isinstance(ham, PauliSum)
    return ham


def evolve(H: PauliSum, local: ArrayLike, t: complex, *, comm: Any, tol: float = 1e-12,
           num_threads: int | None = None, krylov_dim: int = evolution.DEFAULT_KRYLOV_DIM,
           memory_budget: int | None = None) -> DistributedEvolveResult:
    """`velmora.evolve` on a state split over the processes of `comm`: `local`
    is this rank's slice, and so is the returned `state`. The same bytes as
    `velmora.evolve` on the whole state, for every number of processes.
    `num_threads` threads per process (default: `default_threads`, the cores
    this process may use, shared with the ranks on the same machine that may
    use them too; mpiexec's binding options decide which those are).
    `memory_budget` is per process (default: a quarter of physical memory, at
    most what this process can still get; the smallest value over the ranks
    is used). A rank that cannot hold its working set at all makes every rank
    raise MemoryError before any slice is copied."""
    size, rank = _comm_size(comm)

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


def trajectory(H: PauliSum, local: ArrayLike, times: ArrayLike, *, comm: Any,
               observables: Sequence[Observable] | None = None, tol: float = 1e-12,
               num_threads: int | None = None, progress: bool = False,
               krylov_dim: int = evolution.DEFAULT_KRYLOV_DIM,
               memory_budget: int | None = None) -> DistributedTrajectoryResult:
    """`velmora.trajectory` on a state split over the processes of `comm`.
    Without observables, `states` holds this rank's slices (one row per
    time). With observables, `expectations` are the values for the whole
    state, on every rank; a diagonal observable is given as this rank's slice
    of the diagonal. `progress=True` shows a bar on rank 0."""
    size, rank = _comm_size(comm)

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
    if expectations is None:  # no observables: nothing measured, nothing kept
        expectations = np.zeros((values.size, 0))
    elif hermitian:
        expectations = np.ascontiguousarray(expectations.real)
    return DistributedTrajectoryResult(values, None, expectations, error, steps, applications,
                                       kept, exchanges_per_product=exchanges,
                                       exchange_bytes=exchange_bytes)
