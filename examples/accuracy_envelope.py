"""Accuracy of one evolve call (one Krylov step of dimension 30) against
|coeff| * ||H||, for real and imaginary coefficients.

Random 10-qubit Hamiltonians are scaled to spectral radius ||H|| = 1 and
compared with exp(-i coeff H) psi from numpy.linalg.eigh. Writes
examples/output/accuracy_envelope.png and prints the table the README quotes.

Run: python examples/accuracy_envelope.py
"""

import pathlib

import numpy as np
from pauli_tools import dense, hamiltonian

from _velmora import evolve

SCALES = [0.5, 1, 2, 4, 6, 8, 10, 12, 14, 16, 20, 25, 30, 40]


def random_terms(rng, n, count):
    letters = np.array(list("IXYZ"))
    return [(float(rng.normal()), "".join(rng.choice(letters, size=n))) for _ in range(count)]


def main():
    import argparse

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=str(pathlib.Path(__file__).parent / "output"))
    args = parser.parse_args()
    rng = np.random.default_rng(2)
    real_err = np.zeros((4, len(SCALES)))
    imag_err = np.zeros((4, len(SCALES)))
    for trial in range(4):
        terms = random_terms(rng, 10, 40)
        h = dense(terms)
        w, v = np.linalg.eigh(h)
        radius = np.abs(w).max()
        terms = [(c / radius, s) for c, s in terms]
        w = w / radius
        ham = hamiltonian(terms)
        psi = rng.normal(size=1024) + 1j * rng.normal(size=1024)
        c0 = v.conj().T @ psi
        for j, x in enumerate(SCALES):
            for coeff, errs in ((x, real_err), (-1j * x, imag_err)):
                exact = v @ (np.exp(-1j * coeff * w) * c0)
                got = evolve(ham, psi, coeff, 0)
                errs[trial, j] = np.linalg.norm(got - exact) / np.linalg.norm(exact)

    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(6, 3.8))
    ax.semilogy(SCALES, real_err.max(axis=0), "o-", label="real coeff (time evolution)")
    ax.semilogy(SCALES, imag_err.max(axis=0), "s-", label="imaginary coeff (exp(-tau H))")
    ax.axhline(1e-10, color="gray", lw=0.8, ls="--")
    ax.set_xlabel("|coeff| * ||H||   (||H|| = spectral radius)")
    ax.set_ylabel("relative error, worst of 4")
    ax.set_title("One Krylov step of dimension 30, 10 qubits")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(out / "accuracy_envelope.png", dpi=100)

    print("| |coeff|·‖H‖ | " + " | ".join(f"{x:g}" for x in SCALES) + " |")
    print("|---|" + "---|" * len(SCALES))
    print("| real coeff | " + " | ".join(f"{e:.0e}" for e in real_err.max(axis=0)) + " |")
    print("| imaginary coeff | " + " | ".join(f"{e:.0e}" for e in imag_err.max(axis=0)) + " |")
    print(f"plot: {out / 'accuracy_envelope.png'}")


if __name__ == "__main__":
    main()
