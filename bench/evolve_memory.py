"""Peak memory of one evolution of the `ising` workload, in state vectors of
16 * 2^n bytes, for the core step and for `velmora.evolve` with its basis kept
(the default) and regenerated (memory_budget=0):

    python bench/evolve_memory.py [--qubits 20] [--t 1.0] [--threads 2]

Every call runs in its own process. Memory is the peak resident set during the
call above the resident set just before it (the input state, the Hamiltonian
and the loaded libraries not counted), plus 1 for the input, as in the other
tables of the benchmark.
"""

import argparse
import json
import subprocess
import sys

from worker import peak_bytes, reset_peak, rss_bytes
from workloads import operator, state

CALLS = {
    "core": "`_velmora.evolve(H.hamiltonian, psi, t, threads)`: one Krylov step",
    "kept": "`velmora.evolve(H, psi, t, tol=1e-10)`: basis kept (default)",
    "regenerated": "`velmora.evolve(H, psi, t, tol=1e-10, memory_budget=0)`: basis regenerated",
}


def measure(call, n, t, threads):
    """One call in this process; returns its peak memory and what it did."""
    import _velmora
    import velmora

    H = operator("ising", n)
    ham = H.hamiltonian
    psi = state(n)
    small = operator("ising", 4)  # loads the libraries and starts the threads beforehand
    velmora.evolve(small, state(4), 0.1, num_threads=threads)
    _velmora.evolve(small.hamiltonian, state(4), 0.1, threads)
    reset_peak()
    baseline = rss_bytes()
    info = {}
    if call == "core":
        _velmora.evolve(ham, psi, t, threads)
    else:
        budget = {} if call == "kept" else {"memory_budget": 0}
        result = velmora.evolve(H, psi, t, tol=1e-10, num_threads=threads, **budget)
        info = {"steps": result.steps, "products": result.applications,
                "kept_basis": result.kept_basis}
    return {"vectors": (peak_bytes() - baseline) / psi.nbytes + 1, **info}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qubits", type=int, default=20)
    parser.add_argument("--t", type=float, default=1.0)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--call", choices=CALLS, help=argparse.SUPPRESS)  # one measurement
    args = parser.parse_args()
    if args.call:
        print(json.dumps(measure(args.call, args.qubits, args.t, args.threads)))
        return
    print(f"`ising` workload, n = {args.qubits}, t = {args.t:g}, {args.threads} threads; "
          "memory: peak resident set of the call in state vectors, plus 1 for the input.\n")
    print("| call | memory [vectors] | steps | products |")
    print("|---|---|---|---|")
    for call, text in CALLS.items():
        line = subprocess.run([sys.executable, __file__, "--call", call, "--qubits",
                               str(args.qubits), "--t", str(args.t), "--threads",
                               str(args.threads)], capture_output=True, text=True, check=True)
        r = json.loads(line.stdout)
        print(f"| {text} | {r['vectors']:.1f} | {r.get('steps', 1)} | "
              f"{r.get('products', '')} |")


if __name__ == "__main__":
    main()
