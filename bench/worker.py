"""One benchmark measurement in its own process, so that its peak resident
memory is its own. Prints one JSON line; writes the result vector to --out.

    python bench/worker.py METHOD WORKLOAD N COEFF THREADS REPEATS OUT

METHOD: velmora, scipy, quspin, dense. THREADS is evolve's num_threads for
velmora and the OpenMP team size for QuSpin (set by the parent through
OMP_NUM_THREADS before this process starts).
"""

import json
import statistics
import sys
import time

import numpy as np

from workloads import csr_matrix, state, terms


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def reset_peak():
    """Starts the peak resident set (VmHWM) afresh from the current one. The
    peak that getrusage reports is carried over from the parent through fork
    and exec, so it cannot be used here."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def peak_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def main():
    method, workload, n, coeff, threads, repeats, out = sys.argv[1:8]
    n, coeff, threads, repeats = int(n), complex(coeff), int(threads), int(repeats)
    term_list = terms(workload, n)
    psi = state(n)
    if method == "quspin":  # import before the baseline: its libraries are not the method's data
        from quspin.tools.expm_multiply_parallel_core import ExpmMultiplyParallel
    if method == "dense":
        import scipy.linalg
    if method == "scipy":
        from scipy.sparse.linalg import expm_multiply
    if method == "velmora":
        from _velmora import Hamiltonian, PauliWord, evolve
    reset_peak()
    baseline = rss_bytes()

    start = time.perf_counter()
    if method == "velmora":
        ham = Hamiltonian([PauliWord(c, s) for c, s in term_list])
        run = lambda: evolve(ham, psi, coeff, threads)  # noqa: E731
    elif method == "scipy":
        a = csr_matrix(term_list, n, scale=-1j * coeff)
        run = lambda: expm_multiply(a, psi)  # noqa: E731
    elif method == "quspin":
        h = csr_matrix(term_list, n)
        op = ExpmMultiplyParallel(h, a=-1j * coeff)
        work = np.zeros(2 * psi.size, dtype=np.complex128)
        run = lambda: op.dot(psi, work_array=work)  # noqa: E731
    elif method == "dense":
        h = csr_matrix(term_list, n).toarray()
        run = lambda: scipy.linalg.expm(-1j * coeff * h) @ psi  # noqa: E731
    else:
        raise SystemExit(f"unknown method {method}")
    build = time.perf_counter() - start

    times = []
    result = None
    for _ in range(repeats):
        result = None
        start = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - start)
    peak = peak_bytes()
    np.save(out, result)
    print(json.dumps({"build_s": build, "times_s": times, "median_s": statistics.median(times),
                      "baseline_bytes": baseline, "peak_bytes": peak}))


if __name__ == "__main__":
    main()
