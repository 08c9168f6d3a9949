"""The benchmark workloads, defined once as `velmora.models` operators and
shared by the harness (run.py, worker.py) and the C++ kernel benchmark
(kernel_bench.cc), which reads the files this script writes:

    python bench/workloads.py --write build/bench/workloads [--sizes 16 20 22]

    ising          ising_chain(n): -sum Z_q Z_(q+1) - sum X_q on an open chain, 2n - 1 words
    xxz            xxz_ring(n, 0.5): sum X_q X_(q+1) + Y_q Y_(q+1) + 0.5 Z_q Z_(q+1) on a
                   ring, 3n words
    random4local   random_local(n, 500, 4, seed=2024): 500 words, each with X, Y or Z on 4
                   distinct random qubits and a standard-normal coefficient

The random sum takes the one seed 2024 for every size n (NumPy's PCG64: the
same words on every machine). Its qubits are drawn from range(n), so the words
still differ from one size to the next.

A written file holds a '#' comment line, then one word per line, "real imag
LABEL": the parts of the coefficient in Python's shortest round-trip form (they
read back as the same doubles) and the label with qubit 0 as its last letter.
DIR/index.txt lists "WORKLOAD N FILE" lines in the order the kernel benchmark
runs them.
"""

import argparse
import pathlib

import numpy as np

from velmora.models import ising_chain, random_local, xxz_ring

WORKLOADS = ("ising", "xxz", "random4local")
RANDOM_SEED = 2024
#: The sizes the kernel benchmark runs.
KERNEL_SIZES = (16, 20, 22)
#: Largest CSR matrix the competitors get: `PauliSum.to_sparse` refuses beyond it
#: and the harness skips SciPy and QuSpin for that size.
CSR_LIMIT_BYTES = 4 << 30


def operator(workload, n):
    """The workload on n qubits as a `velmora.PauliSum`."""
    if workload == "ising":
        return ising_chain(n)
    if workload == "xxz":
        return xxz_ring(n, 0.5)
    if workload == "random4local":
        return random_local(n, 500, 4, seed=RANDOM_SEED)
    raise ValueError(f"unknown workload {workload!r}; known: {', '.join(WORKLOADS)}")


def chemistry(n, seed=7):
    """A chemistry-shaped sum on n qubits: OpenFermion's
    random_interaction_operator(n, real=True, seed=7) under the Jordan-Wigner
    transformation (about 8-14 words per flip mask, as molecular Hamiltonians
    have). Needs OpenFermion (requirements-dev.txt)."""
    import openfermion

    from velmora import PauliSum

    operator = openfermion.random_interaction_operator(n, real=True, seed=seed)
    return PauliSum.from_openfermion(openfermion.jordan_wigner(operator), n)


def default_coeff(workload, n):
    """A coefficient well inside the accuracy range of one Krylov step."""
    if workload in ("ising", "xxz"):
        return 0.2
    return 6.0 / operator(workload, n).norm_bound  # norm_bound >= ||H||


def state(n, seed=7):
    rng = np.random.default_rng(seed)
    psi = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    return psi / np.linalg.norm(psi)


def write(directory, sizes=KERNEL_SIZES):
    """Writes every workload at every size, and the index; returns its path."""
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    index = []
    for workload in WORKLOADS:
        for n in sizes:
            H = operator(workload, n)
            name = f"{workload}-{n}.txt"
            lines = [f"# {workload}, n = {n}: {len(H)} words as 'real imag LABEL', "
                     "qubit 0 last (bench/workloads.py)"]
            lines += [f"{c.real!r} {c.imag!r} {label}" for label, c in H.terms]
            (directory / name).write_text("\n".join(lines) + "\n")
            index.append(f"{workload} {n} {name}")
    path = directory / "index.txt"
    path.write_text("\n".join(index) + "\n")
    return path


def main():
    parser = argparse.ArgumentParser(description="Writes the benchmark workloads for the "
                                                 "C++ kernel benchmark.")
    parser.add_argument("--write", metavar="DIR", required=True,
                        help="folder for one file per workload and size, and index.txt")
    parser.add_argument("--sizes", type=int, nargs="+", default=list(KERNEL_SIZES))
    args = parser.parse_args()
    print(f"wrote {write(args.write, args.sizes)}")


if __name__ == "__main__":
    main()
