"""
Accuracy of one core step against the size of the step
======================================================

Accuracy of one evolve call (one Krylov step of dimension 30) against
``|coeff| * ||H||``, for real and imaginary coefficients.

Random 10-qubit Hamiltonians (40 words, every letter drawn from I, X, Y, Z)
are scaled to spectral radius ``||H|| = 1`` and compared with exp(-i coeff H) psi
from numpy.linalg.eigh of their matrix. Writes
velmora-output/accuracy_envelope.png (or --out), with the parameters beside it
in accuracy_envelope.json, and prints the table that the error-control page of
the documentation quotes.

Run::

    python examples/accuracy_envelope.py

Cost at the defaults: about 4 s and 180 MB of memory on a 2-core machine.
"""

import numpy as np

import _picture
from _velmora import evolve
from velmora import PauliSum

SCALES = [0.5, 1, 2, 4, 6, 8, 10, 12, 14, 16, 20, 25, 30, 40]
TRIALS, QUBITS, WORDS, SEED = 4, 10, 40, 2


def random_sum(rng, n, count):
    """`count` words with a random letter on every qubit (identities included),
    unlike the fixed-locality `velmora.models.random_local`."""
    letters = np.array(list("IXYZ"))
    terms = []
    for _ in range(count):
        coeff = float(rng.normal())
        terms.append(("".join(rng.choice(letters, size=n)), coeff))
    return PauliSum(terms)


def argument_parser():
    parser = _picture.argument_parser(__doc__)
    _picture.add_out_argument(parser)
    return parser


def picture_parameters(args):
    return _picture.parameters(args, scales=SCALES, trials=TRIALS, qubits=QUBITS,
                               words=WORDS, seed=SEED)


def main():
    args = argument_parser().parse_args()
    rng = np.random.default_rng(SEED)
    real_err = np.zeros((TRIALS, len(SCALES)))
    imag_err = np.zeros((TRIALS, len(SCALES)))
    for trial in range(TRIALS):
        H = random_sum(rng, QUBITS, WORDS)
        w, v = np.linalg.eigh(H.to_sparse().toarray())
        radius = np.abs(w).max()
        H = H * (1 / radius)
        w = w / radius
        psi = rng.normal(size=2**QUBITS) + 1j * rng.normal(size=2**QUBITS)
        c0 = v.conj().T @ psi
        for j, x in enumerate(SCALES):
            for coeff, errs in ((x, real_err), (-1j * x, imag_err)):
                exact = v @ (np.exp(-1j * coeff * w) * c0)
                got = evolve(H.hamiltonian, psi, coeff, 0)
                errs[trial, j] = np.linalg.norm(got - exact) / np.linalg.norm(exact)

    plt = _picture.pyplot()
    fig, ax = plt.subplots(figsize=(6, 3.8))
    ax.semilogy(SCALES, real_err.max(axis=0), "o-", label="real coeff (time evolution)")
    ax.semilogy(SCALES, imag_err.max(axis=0), "s-",
                label="imaginary coeff (exp(-tau H))")
    ax.axhline(1e-10, color="gray", lw=0.8, ls="--", label="1e-10")
    ax.set_xlabel("|coeff| * ||H||   (||H|| = spectral radius)")
    ax.set_ylabel(f"relative error, worst of {TRIALS}")
    ax.set_title(f"One Krylov step of dimension 30, {QUBITS} qubits, "
                 f"{WORDS} random words")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    picture = _picture.save(fig, args.out, "accuracy_envelope",
                            picture_parameters(args))

    print(f"Worst relative error of {TRIALS} random Hamiltonians:")
    print("| |coeff|·‖H‖ | real coeff | imaginary coeff |")
    print("|---|---|---|")
    for x, real, imaginary in zip(SCALES, real_err.max(axis=0), imag_err.max(axis=0)):
        print(f"| {x:g} | {real:.0e} | {imaginary:.0e} |")
    print(f"plot: {picture}")


if __name__ == "__main__":
    main()
