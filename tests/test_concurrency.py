"""evolve from several Python threads at once, in a process forked after a
parallel evolve, and over many calls without growing the process."""

import multiprocessing
import threading
import warnings

import numpy as np
import pytest
from reference import random_state, random_terms

from _velmora import Hamiltonian, PauliWord, evolve


def build(terms):
    return Hamiltonian([PauliWord(c, s) for c, s in terms])


RNG = np.random.default_rng(31)
HAM = build(random_terms(RNG, 11, 15))
PSI = random_state(RNG, 11)
EXPECTED = evolve(HAM, PSI, 0.25, 0).tobytes()


def _child(queue, threads):
    queue.put(evolve(HAM, PSI, 0.25, threads).tobytes() == EXPECTED)


@pytest.mark.parametrize("threads", [2, 0, 1])
def test_forked_child_after_parallel_evolve(threads):
    assert evolve(HAM, PSI, 0.25, 2).tobytes() == EXPECTED  # the parent starts a team
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a threaded process
        child = ctx.Process(target=_child, args=(queue, threads))
        child.start()
    child.join(60)
    if child.is_alive():
        child.kill()
        pytest.fail("the forked child hung in evolve")
    assert child.exitcode == 0
    assert queue.get(timeout=5) is True
    assert evolve(HAM, PSI, 0.25, 2).tobytes() == EXPECTED  # the parent still has its team


def test_python_threads_share_one_hamiltonian():
    results = []
    errors = []

    def worker(threads):
        try:
            for _ in range(8):
                results.append(evolve(HAM, PSI, 0.25, threads).tobytes() == EXPECTED)
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    workers = [threading.Thread(target=worker, args=(t % 3,)) for t in range(6)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(120)
    assert not errors
    assert len(results) == 48 and all(results)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def test_soak_memory_stays_flat():
    """Thousands of calls over 0 to 16 qubits and both kernels; resident memory
    may not grow by more than 8 MiB once every size has been seen."""
    rng = np.random.default_rng(8)
    cases = []
    for q in list(range(0, 13)) + [16]:
        ham = build(random_terms(rng, q, q + 2)) if q else build([(0.5, "")])
        cases.append((ham, random_state(rng, q)))

    def sweep(rounds):
        for r in range(rounds):
            for i, (ham, psi) in enumerate(cases):
                if len(psi) == 2**16 and r % 40:
                    continue  # the 16-qubit case every 40th round
                evolve(ham, psi, 0.1 + 0.05j, (r + i) % 3)

    sweep(3)
    start = rss_bytes()
    sweep(400)  # 400 * 13 + 10 = 5210 calls
    assert rss_bytes() - start < 8 * 2**20
