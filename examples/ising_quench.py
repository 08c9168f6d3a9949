"""
Quench of a transverse-field Ising chain
========================================

Quench of a transverse-field Ising chain along a whole trajectory with velmora.

H = -J sum_i Z_i Z_(i+1) - h sum_i X_i on an open chain of L spins
(`velmora.models.ising_chain`; spin i is qubit i). The state starts fully
polarised, ``|00...0>`` (every spin up along z), the ground state for h = 0; at
t = 0 the field is switched on. One call of `velmora.trajectory` evolves the
state to every output time within the tolerance `--tol` and measures the
magnetisation <Z> per spin (a diagonal observable) and the energy <H> (the
PauliSum itself, conserved by the exact evolution) without keeping any state.
Printed: the observables at a few times, the error bound the engine reports,
steps and H-products. A chain of 8 spins is checked against exact
diagonalisation of its matrix (`velmora.PauliSum.to_sparse`); the curves are
plotted to velmora-output/ising_quench.png (or --out), with the parameters
beside it in ising_quench.json.

Run::

    python examples/ising_quench.py [--spins 16] [--field 1.0] [--t-end 10]

Cost at the defaults: about 3 s and 90 MB of memory on a 2-core machine.
"""

import time

import numpy as np

import _picture
from velmora import trajectory
from velmora.models import ising_chain

# The chain small enough to check against exact diagonalisation.
EXACT_SPINS = 8


def magnetisation(spins):
    """The diagonal of (1/L) sum_q Z_q: qubit q is bit q of an amplitude index."""
    index = np.arange(2**spins)
    return np.mean([1.0 - 2.0 * ((index >> q) & 1) for q in range(spins)], axis=0)


def quench(spins, coupling, field, times, tol, threads):
    H = ising_chain(spins, coupling, field)
    psi = np.zeros(2**spins, dtype=np.complex128)
    psi[0] = 1.0
    start = time.perf_counter()
    result = trajectory(H, psi, times, observables=[magnetisation(spins), H], tol=tol,
                        num_threads=threads)
    return result, time.perf_counter() - start


def exact_magnetisation(spins, coupling, field, times):
    """<Z> per spin at the given times by exact diagonalisation."""
    w, v = np.linalg.eigh(ising_chain(spins, coupling, field).to_sparse().toarray())
    coeffs = v.conj().T[:, 0]  # v^dagger |00...0>
    m = magnetisation(spins)
    return np.array([m @ np.abs(v @ (np.exp(-1j * w * t) * coeffs)) ** 2
                     for t in times])


def argument_parser():
    parser = _picture.argument_parser(__doc__)
    parser.add_argument("--spins", type=int, default=16,
                        help="spins L of the chain (a state of 2^L amplitudes)")
    parser.add_argument("--coupling", type=float, default=1.0,
                        help="coupling J of each bond Z_i Z_(i+1)")
    parser.add_argument("--field", type=float, default=1.0,
                        help="transverse field h switched on at t = 0")
    parser.add_argument("--t-end", type=float, default=10.0, help="the last time")
    parser.add_argument("--points", type=int, default=101,
                        help="output times, evenly spaced from 0 to --t-end")
    parser.add_argument("--tol", type=float, default=1e-10,
                        help="relative error allowed for the state at every time")
    _picture.add_threads_argument(parser)
    _picture.add_out_argument(parser)
    _picture.reduce_sizes(parser, spins=10, points=41)
    return parser


def picture_parameters(args):
    return _picture.parameters(args, exact_spins=EXACT_SPINS)


def main():
    args = argument_parser().parse_args()

    times = np.linspace(0.0, args.t_end, args.points)
    print(f"Transverse-field Ising quench: L = {args.spins} spins, "
          f"J = {args.coupling}, h = {args.field},")
    print(f"{args.points} times in [0, {args.t_end}], tol = {args.tol:g}")
    result, seconds = quench(args.spins, args.coupling, args.field, times, args.tol,
                             args.threads)
    mags, energies = result.expectations.T
    print(f"{'t':>7} {'<Z> per spin':>14} {'<H>':>20}")
    for k in np.linspace(0, args.points - 1, min(args.points, 11)).astype(int):
        print(f"{times[k]:7.2f} {mags[k]:14.10f} {energies[k]:20.14f}")
    drift = np.abs(energies - energies[0]).max()
    print(f"error bound {result.error:.1e} (tol {args.tol:g}); {result.steps} steps, "
          f"{result.applications} H-products, {seconds:.2f} s")

    small, _ = quench(EXACT_SPINS, args.coupling, args.field, times, args.tol,
                      args.threads)
    exact = exact_magnetisation(EXACT_SPINS, args.coupling, args.field, times)
    ed_error = np.abs(small.expectations[:, 0] - exact).max()

    plt = _picture.pyplot()
    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(10, 3.6))
    ax1.plot(times, mags, label=f"L = {args.spins}")
    ax1.plot(times, small.expectations[:, 0], "o", ms=3,
             label=f"L = {EXACT_SPINS} (velmora)")
    ax1.plot(times, exact, "k-", lw=0.8,
             label=f"L = {EXACT_SPINS} (exact diagonalisation)")
    ax1.set_xlabel("time t")
    ax1.set_ylabel(r"$\langle Z\rangle$ per spin")
    ax1.set_title("magnetisation", fontsize=10)
    ax1.legend(fontsize=8)
    ax2.plot(times, energies - energies[0])
    ax2.set_xlabel("time t")
    ax2.set_ylabel(r"$\langle H\rangle(t) - \langle H\rangle(0)$")
    ax2.set_title(f"energy drift, L = {args.spins}", fontsize=10)
    fig.suptitle(f"Ising quench, L = {args.spins}, J = {args.coupling:g}, "
                 f"h = {args.field:g}: error bound {result.error:.1e} "
                 f"(tol {args.tol:g}), {result.steps} Krylov steps")
    fig.tight_layout()
    picture = _picture.save(fig, args.out, "ising_quench", picture_parameters(args))

    print(f"largest energy drift: {drift:.1e}")
    print(f"L = {EXACT_SPINS} against exact diagonalisation: "
          f"max |d<Z>| = {ed_error:.1e}")
    print(f"plot: {picture}")


if __name__ == "__main__":
    main()
