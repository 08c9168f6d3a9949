"""One benchmark measurement in its own process, so that its peak resident
memory is its own. Prints one JSON line; writes the result vector to --out.

    python bench/worker.py METHOD WORKLOAD N COEFF THREADS REPEATS OUT

METHOD: velmora, scipy, quspin, dense. THREADS is evolve's num_threads for
velmora and the OpenMP team size for QuSpin (set by the parent through
OMP_NUM_THREADS before this process starts). The competitors get the matrix of
`PauliSum.to_sparse`; when it would take more than workloads.CSR_LIMIT_BYTES,
the JSON line is {"skipped": the reason} and nothing is measured.
"""

import json
import statistics
import sys
import time

import numpy as np

from workloads import CSR_LIMIT_BYTES, operator, state


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


class Skipped(Exception):
    pass


def sparse(H):
    """H.to_sparse() within the harness's limit, which it checks before building."""
    try:
        return H.to_sparse(max_bytes=CSR_LIMIT_BYTES)
    except ValueError as refusal:
        raise Skipped(str(refusal).split(";")[0]) from None


def main():
    method, workload, n, coeff, threads, repeats, out = sys.argv[1:8]
    n, coeff, threads, repeats = int(n), complex(coeff), int(threads), int(repeats)
    H = operator(workload, n)
    psi = state(n)
    if method == "quspin":  # import before the baseline: its libraries are not the method's data
        from quspin.tools.expm_multiply_parallel_core import ExpmMultiplyParallel
    if method == "dense":
        import scipy.linalg
    if method == "scipy":
        from scipy.sparse.linalg import expm_multiply
    if method == "velmora":
        from _velmora import evolve
        from velmora import PauliSum
    reset_peak()
    baseline = rss_bytes()

    start = time.perf_counter()
    try:
        if method == "velmora":  # what a caller pays from a term list to evolve's operand
            ham = PauliSum(H.terms).hamiltonian
            run = lambda: evolve(ham, psi, coeff, threads)  # noqa: E731
        elif method == "scipy":
            a = sparse(-1j * coeff * H)
            run = lambda: expm_multiply(a, psi)  # noqa: E731
        elif method == "quspin":
            op = ExpmMultiplyParallel(sparse(H), a=-1j * coeff)
            work = np.zeros(2 * psi.size, dtype=np.complex128)
            run = lambda: op.dot(psi, work_array=work)  # noqa: E731
        elif method == "dense":
            h = sparse(H).toarray()
            run = lambda: scipy.linalg.expm(-1j * coeff * h) @ psi  # noqa: E731
        else:
            raise SystemExit(f"unknown method {method}")
    except Skipped as reason:
        print(json.dumps({"skipped": str(reason)}))
        return
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
