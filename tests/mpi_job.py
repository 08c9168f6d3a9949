"""Jobs that tests/test_mpi.py runs under mpiexec, and the cases they share.

    mpiexec -n P python tests/mpi_job.py bytes OUT.npz
        runs every case of CASES on P processes; rank 0 saves the gathered
        results (states, expectations, reports) to OUT.npz.
    mpiexec -n P python tests/mpi_job.py fail
        rank 1 raises in the middle of a long run.
    mpiexec -n P python tests/mpi_job.py mismatch DIR
        rank 1 passes another time t than rank 0; every rank writes what it
        raised to DIR/rank<r>.txt.
    mpiexec -n P python tests/mpi_job.py interrupt DIR
        rank 1 is interrupted (KeyboardInterrupt) while its arguments are
        checked; every rank writes what it raised to DIR/rank<r>.txt.
"""

from __future__ import annotations

import math
import signal
import sys
from typing import Any

import numpy as np

from velmora import PauliSum, TimeDependentSum
from velmora.models import ising_chain, pauli_label, random_local, xxz_ring


def crossing_words(n: int, seed: int) -> PauliSum:
    """Random 2- and 3-local words plus words that flip the top qubits (the
    rank bits of 2 and 4 processes), X and Y among them."""
    top = {n - 1: "X", n - 2: "Y"}
    extra = PauliSum([(pauli_label(n, top), 0.4), (pauli_label(n, {n - 1: "Y", 0: "Z"}), -0.3),
                      (pauli_label(n, {n - 2: "X", 3: "Y", 1: "Z"}), 0.25),
                      (pauli_label(n, {n - 1: "Z", n - 2: "Z"}), 0.6),
                      (pauli_label(n, {}), 0.1)])
    return random_local(n, 30, 3, seed=seed) + extra


def state(n: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    psi = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    return psi / np.linalg.norm(psi)


def cases() -> list[dict[str, Any]]:
    """Each case: H, psi, and the call (evolve to t, or a trajectory)."""
    out: list[dict[str, Any]] = []
    out.append(dict(name="ising13", H=ising_chain(13, 1.0, 0.9), psi=state(13, 1), t=1.3))
    out.append(dict(name="xxz14", H=xxz_ring(14, 0.5), psi=state(14, 2), t=0.8, num_threads=2))
    out.append(dict(name="crossing14", H=crossing_words(14, 3), psi=state(14, 3), t=2.0))
    out.append(dict(name="imaginary14", H=crossing_words(14, 4), psi=state(14, 4), t=-0.5j))
    out.append(dict(name="regenerated14", H=crossing_words(14, 5), psi=state(14, 5), t=0.6,
                    memory_budget=4 * 16 * 2**14))
    out.append(dict(name="small10", H=crossing_words(10, 6), psi=state(10, 6), t=0.9))
    n = 14
    diagonal = np.cos(np.arange(2**n) * 0.01)
    observables = [PauliSum([(pauli_label(n, {n - 1: "X"}), 1.0)]), crossing_words(n, 7),
                   PauliSum([(pauli_label(n, {0: "Z"}), 1.0)]), diagonal]
    out.append(dict(name="observed14", H=crossing_words(n, 7), psi=state(n, 7),
                    times=[0.0, 0.4, 0.5, 1.7], observables=observables))
    out.append(dict(name="states13", H=xxz_ring(13, 1.5), psi=state(13, 8),
                    times=[0.2, 0.9, 0.9, 2.5]))
    # Time-dependent sums by Taylor steps: a driven part whose words cross the
    # ranks, and a trajectory with observables on small slices.
    driven = TimeDependentSum([crossing_words(14, 9), (xxz_ring(14, 0.0), drive)])
    out.append(dict(name="driven14", H=driven, psi=state(14, 9), t=1.1))
    small = TimeDependentSum([ising_chain(11, 1.0, 0.0), (crossing_words(11, 10), drive)])
    out.append(dict(name="driven_observed11", H=small, psi=state(11, 10), times=[0.0, 0.7, 1.3],
                    observables=[crossing_words(11, 10), np.linspace(-1, 1, 2**11)]))
    return out


def drive(t: float) -> float:
    return 1.0 + 0.5 * math.cos(3.0 * t)


def local_observables(observables: list[Any], rank: int, size: int) -> list[Any]:
    """Diagonal observables cut to the rank's slice."""
    out = []
    for obs in observables:
        if isinstance(obs, np.ndarray):
            length = obs.size // size
            obs = obs[rank * length:(rank + 1) * length]
        out.append(obs)
    return out


def run_bytes(path: str) -> None:
    from mpi4py import MPI

    import velmora.mpi as vm

    comm = MPI.COMM_WORLD
    saved: dict[str, Any] = {}
    for case in cases():
        local = vm.scatter(case["psi"] if comm.rank == 0 else None, comm)
        options = {k: case[k] for k in ("num_threads", "memory_budget") if k in case}
        if "t" in case:
            result = vm.evolve(case["H"], local, case["t"], comm=comm, tol=1e-10, **options)
            saved[case["name"] + ".state"] = vm.gather(result.state, comm)
        else:
            observables = case.get("observables")
            if observables is not None:
                observables = local_observables(observables, comm.rank, comm.size)
            result = vm.trajectory(case["H"], local, case["times"], comm=comm,
                                   observables=observables, tol=1e-10, **options)
            if result.states is not None:
                for k, row in enumerate(result.states):
                    saved[f"{case['name']}.state{k}"] = vm.gather(row, comm)
            else:
                saved[case["name"] + ".expectations"] = result.expectations
        saved[case["name"] + ".report"] = np.array(
            [result.error, result.steps, result.applications, result.exchanges_per_product])
    if comm.rank == 0:
        np.savez(path, **saved)


def run_fail() -> None:
    from mpi4py import MPI

    import velmora.mpi as vm

    comm = MPI.COMM_WORLD
    n = 16
    local = vm.basis_state(n, 5, comm)
    if comm.rank == 1:
        def fail(signum: int, frame: object) -> None:
            raise RuntimeError("injected failure on rank 1")
        signal.signal(signal.SIGALRM, fail)
        signal.setitimer(signal.ITIMER_REAL, 0.5)
    vm.evolve(ising_chain(n, 1.0, 0.9), local, 5000.0, comm=comm, tol=1e-10, num_threads=1)
    print(f"rank {comm.rank} finished a run that should have been aborted", flush=True)


class InterruptedCount:
    """A thread count whose conversion is interrupted, as by Ctrl-C."""

    def __index__(self) -> int:
        raise KeyboardInterrupt("interrupted while checking")


def run_argument_failure(mode: str, folder: str) -> None:
    """Rank 1 passes another t (mismatch), is interrupted while its arguments
    are checked (interrupt) or has too little memory for its slices (memory);
    every rank records what it raised."""
    from mpi4py import MPI

    import velmora.mpi as vm

    comm = MPI.COMM_WORLD
    n = 22 if mode == "memory" else 13
    local = vm.basis_state(n, 0, comm)
    t = 1.0 + comm.rank if mode == "mismatch" else 1.0
    threads: Any = InterruptedCount() if mode == "interrupt" and comm.rank == 1 else 1
    if mode == "memory" and comm.rank == 1:
        # Room for a few slices of 32 MiB on this rank, not for the run's ten.
        import resource
        with open("/proc/self/statm") as statm:
            mapped = int(statm.read().split()[0]) * 4096
        limit = mapped + 100 * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    try:
        vm.evolve(ising_chain(n, 1.0, 0.9), local, t, comm=comm, num_threads=threads)
    except (ValueError, KeyboardInterrupt, MemoryError) as error:
        with open(f"{folder}/rank{comm.rank}.txt", "w") as out:
            out.write(f"{type(error).__name__}: {error}")


if __name__ == "__main__":
    mode = sys.argv[1]
    if mode == "bytes":
        run_bytes(sys.argv[2])
    elif mode == "fail":
        run_fail()
    elif mode in ("mismatch", "interrupt", "memory"):
        run_argument_failure(mode, sys.argv[2])
    else:
        raise SystemExit(f"unknown mode {mode!r}")
