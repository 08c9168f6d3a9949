"""velmora.mpi under mpiexec: the same bytes for 1, 2 and 4 processes and as
the single-process functions; failures end the job instead of hanging."""

from __future__ import annotations

import pathlib
import subprocess
import sys

import numpy as np
import pytest

import mpi_job
import velmora
import velmora.mpi as vm
from mpi4py import MPI

JOB = pathlib.Path(__file__).with_name("mpi_job.py")
MPIEXEC = pathlib.Path(sys.executable).with_name("mpiexec")
# Oversubscribed on small machines: generous, but a hang still ends.
TIMEOUT = 600


def mpiexec(processes: int, *args: str, timeout: float = TIMEOUT) -> subprocess.CompletedProcess:
    return subprocess.run([str(MPIEXEC), "-n", str(processes), sys.executable, str(JOB), *args],
                          capture_output=True, text=True, timeout=timeout)


@pytest.fixture(scope="module")
def single_process() -> dict[str, np.ndarray]:
    """The cases run by velmora.evolve and velmora.trajectory on the whole state."""
    out: dict[str, np.ndarray] = {}
    for case in mpi_job.cases():
        options = {k: case[k] for k in ("num_threads", "memory_budget") if k in case}
        if "t" in case:
            result = velmora.evolve(case["H"], case["psi"], case["t"], tol=1e-10, **options)
            out[case["name"] + ".state"] = result.state
        else:
            result = velmora.trajectory(case["H"], case["psi"], case["times"],
                                        observables=case.get("observables"), tol=1e-10,
                                        **options)
            if result.states is not None:
                for k, row in enumerate(result.states):
                    out[f"{case['name']}.state{k}"] = row
            else:
                out[case["name"] + ".expectations"] = result.expectations
        out[case["name"] + ".report"] = np.array([result.error, result.steps,
                                                  result.applications])
    return out


@pytest.fixture(scope="module")
def distributed(tmp_path_factory: pytest.TempPathFactory) -> dict[int, dict[str, np.ndarray]]:
    results = {}
    for processes in (1, 2, 4):
        path = tmp_path_factory.mktemp("mpi") / f"n{processes}.npz"
        done = mpiexec(processes, "bytes", str(path))
        assert done.returncode == 0, done.stderr[-3000:]
        with np.load(path) as data:
            results[processes] = {key: data[key] for key in data.files}
    return results


@pytest.mark.parametrize("processes", [1, 2, 4])
def test_same_bytes_as_one_process(distributed, single_process, processes):
    got = distributed[processes]
    assert sorted(got) == sorted(single_process)
    for key, expected in single_process.items():
        if key.endswith(".report"):
            # error, steps and applications match exactly.
            assert got[key][:3].tobytes() == expected.tobytes(), key
        else:
            assert got[key].dtype == expected.dtype and got[key].tobytes() == expected.tobytes(), (
                key, np.abs(got[key] - expected).max())


def test_words_on_rank_qubits_are_exchanged(distributed):
    # crossing14 flips the two top qubits: on 4 processes every rank meets
    # three partners; the small state is evolved whole (no exchanges).
    assert distributed[4]["crossing14.report"][3] == 3
    assert distributed[2]["crossing14.report"][3] == 1
    assert distributed[4]["small10.report"][3] == 0
    H = mpi_job.crossing_words(14, 3)
    assert [vm.exchanges_per_product(H, p) for p in (1, 2, 4)] == [0, 1, 3]


@pytest.mark.parametrize("build, processes, expected", [
    (lambda: velmora.models.ising_chain(10), 8, 3),     # X on each rank qubit alone
    (lambda: velmora.models.xxz_ring(10, 0.5), 4, 3),   # XX/YY pairs: 01, 10 (boundary), 11
    (lambda: velmora.models.ising_chain(10), 1, 0),
    (lambda: velmora.PauliSum([("ZZZI", 1.0), ("IIXX", 1.0)]), 4, 0),
])
def test_exchanges_per_product_counts_rank_patterns(build, processes, expected):
    # Operators are built in the test: compiled objects held by the test
    # items would outlive the extension modules at exit.
    H = build()
    assert vm.exchanges_per_product(H, processes) == expected


def test_failing_rank_ends_the_job():
    done = mpiexec(2, "fail", timeout=120)
    assert done.returncode != 0
    assert "velmora.mpi: rank 1 of 2 failed during the evolution: RuntimeError: injected" in (
        done.stderr)
    assert "should have been aborted" not in done.stdout


MISMATCH = ("ValueError: the ranks were given different t: rank 1 differs from rank 0; every "
            "rank must pass the same arguments")


@pytest.mark.parametrize("mode, expected", [
    ("mismatch", [MISMATCH, MISMATCH]),
    ("interrupt", ["KeyboardInterrupt: interrupted while checking (on rank 1)",
                   "KeyboardInterrupt: interrupted while checking"]),
    ("memory", ["MemoryError: velmora.mpi.evolve needs at least 0.3 GiB on this rank",
                "MemoryError: velmora.mpi.evolve needs at least 0.3 GiB on this rank"]),
])
def test_argument_failures_raise_on_every_rank(tmp_path, mode, expected):
    # One rank's bad or interrupted arguments make every rank raise (the
    # failing rank its own exception) before any collective work, instead of
    # leaving the others waiting.
    done = mpiexec(2, mode, str(tmp_path), timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    for rank in (0, 1):
        text = (tmp_path / f"rank{rank}.txt").read_text()
        if mode == "memory":  # the limit's figures vary; the start and the rank do not
            assert text.startswith(expected[rank]), text
            assert text.endswith("(on rank 1)") == (rank == 0), text
        else:
            assert text == expected[rank]


# -- single-process behaviour of the helpers (COMM_WORLD of size 1) -----------


def test_scatter_gather_and_basis_state_on_one_process():
    comm = MPI.COMM_WORLD
    psi = np.arange(8) + 1j
    local = vm.scatter(psi, comm)
    assert local.tobytes() == psi.astype(complex).tobytes()
    assert vm.gather(local, comm).tobytes() == local.tobytes()
    assert np.flatnonzero(vm.basis_state(3, 6, comm)).tolist() == [6]
    assert vm.slice_range(3, comm) == range(0, 8)


@pytest.mark.parametrize("call, error, match", [
    (lambda c: vm.scatter(np.ones(6), c), ValueError, "needs 2\\^n"),
    (lambda c: vm.scatter(np.ones((2, 2)), c), ValueError, "1-D"),
    (lambda c: vm.basis_state(3, 8, c), ValueError, "index must be"),
    (lambda c: vm.evolve(velmora.models.ising_chain(3, 1, 1), np.ones(4), 1.0, comm=c),
     ValueError, "slice of 8 amplitudes"),
    (lambda c: vm.evolve(velmora.models.ising_chain(3, 1, 1), np.ones(8), 1.0, comm=c, tol=2),
     ValueError, "tol must be in"),
    (lambda c: vm.evolve(velmora.models.ising_chain(3, 1, 1), np.ones(8), 1.0, comm=None),
     TypeError, "intracommunicator"),
    (lambda c: vm.trajectory(velmora.models.ising_chain(3, 1, 1), np.ones(8), [1, 0], comm=c),
     ValueError, "non-decreasing"),
])
def test_bad_arguments(call, error, match):
    with pytest.raises(error, match=match):
        call(MPI.COMM_WORLD)


def test_three_processes_are_refused(tmp_path):
    done = subprocess.run(
        [str(MPIEXEC), "-n", "3", sys.executable, "-c",
         "from mpi4py import MPI; import velmora.mpi as vm\n"
         "try:\n    vm.basis_state(4, 0, MPI.COMM_WORLD)\n"
         "except ValueError as e:\n    print(e)"],
        capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert done.stdout.count("needs a power-of-two number of processes (1, 2, 4, 8, ...), "
                             "got 3") == 3


@pytest.mark.parametrize("call, error, message", [
    (lambda comm: vm.slice_range(6.0, comm), ValueError, "num_qubits must be a positive int"),
    (lambda comm: vm.slice_range(0, comm), ValueError, "num_qubits must be a positive int"),
    (lambda comm: vm.default_threads(None), TypeError, "comm must be an mpi4py"),
])
def test_planning_helpers_name_the_argument_they_refuse(call, error, message):
    with pytest.raises(error, match=message):
        call(MPI.COMM_WORLD)
