"""
A Heisenberg ring in a symmetry sector
======================================

Heisenberg ring from a Néel state, evolved in a symmetry sector with velmora.Sector.

H = sum over the bonds of X_q X_(q+1) + Y_q Y_(q+1) + Z_q Z_(q+1) on a ring of L
spins (`velmora.models.heisenberg_chain(L, periodic=True)`) conserves the
weight (the number of spins in state 1) and commutes with the translations,
the reflection q -> L - 1 - q and the spin flip. The Néel state ``|0101...01>``
has weight L/2; its projection on momentum 0, parity +1 and spin flip +1 is
``(|0101...01> + |1010...10>)/sqrt(2)``, one basis vector of
`Sector.chain(L, weight=L/2, momentum=0, parity=1, spin_flip=1)`, which has
about C(L, L/2)/(4L) states instead of 2^L amplitudes. One call of
`velmora.trajectory` on `H.in_sector(sector)` evolves it and measures, at every
output time:

- the staggered magnetisation M_s = (1/L) sum_q (-1)^q Z_q, a PauliSum
  (measured on the sector state embedded in the 2^L space). It stays 0: the
  translation by one site and the spin flip both change its sign, and the
  sector's states are their eigenstates;
- its square M_s^2, which does not vanish. It is diagonal in the basis of
  integers and takes one value on each orbit, so it is diagonal in the
  sector's basis too: a real array over `sector.states`;
- the return probability ``|<start|psi(t)>|^2``, also a diagonal in the sector
  basis.

A smaller ring (--check-spins) is evolved both in its sector and in the full
space of 2^L amplitudes from the same start (`sector.basis_state`), where M_s^2
is the PauliSum (1/L^2) (L + 2 sum_{q<r} (-1)^(q+r) Z_q Z_r), and the curves
agree to the tolerance. Plotted to velmora-output/sector_ring.png (or --out),
with the parameters beside it in sector_ring.json.

Run::

    python examples/sector_ring.py [--spins 20] [--check-spins 14] [--t-end 10]

Cost at the defaults: about 3 s and 90 MB of memory on a 2-core machine (the
20-site sector has 2,518 states).
"""

import math
import time

import numpy as np
import scipy.sparse

import _picture
from velmora import PauliSum, Sector, trajectory
from velmora.models import heisenberg_chain, pauli_label


def neel(spins):
    """|0101...01>: the odd qubits in state 1 (qubit 0 is the last letter)."""
    return int("01" * (spins // 2), 2)


def staggered(spins):
    """M_s = (1/L) sum_q (-1)^q Z_q as a PauliSum."""
    return PauliSum([(pauli_label(spins, {q: "Z"}), (-1) ** q / spins)
                     for q in range(spins)])


def staggered_squared(spins):
    """M_s^2 = (1/L^2) (L + 2 sum_{q<r} (-1)^(q+r) Z_q Z_r) as a PauliSum."""
    return PauliSum([("I" * spins, 1.0 / spins)] + [
        (pauli_label(spins, {q: "Z", r: "Z"}), 2.0 * (-1) ** (q + r) / spins**2)
        for q in range(spins) for r in range(q + 1, spins)])


def staggered_squared_diagonal(states, spins):
    """M_s^2 on the basis integers `states`: Z_q is 1 - 2 (bit q)."""
    shifts = np.arange(spins, dtype=np.uint64)
    bits = (np.asarray(states, dtype=np.uint64)[:, None] >> shifts) & 1
    signs = (-1.0) ** np.arange(spins)
    return ((1.0 - 2.0 * bits) @ signs / spins) ** 2


def ring_sector(spins):
    return Sector.chain(spins, weight=spins // 2, momentum=0, parity=1, spin_flip=1)


def in_sector(spins, times, tol, threads):
    """M_s, M_s^2 and the return probability along the sector's trajectory."""
    start = time.perf_counter()
    sector = ring_sector(spins)
    op = heisenberg_chain(spins, periodic=True).in_sector(sector)
    first = sector.index(neel(spins))
    phi = np.zeros(len(sector), dtype=np.complex128)
    phi[first] = 1.0
    returned = np.zeros(len(sector))  # |start><start| is diagonal in the sector basis
    returned[first] = 1.0
    # M_s^2 on each orbit's representative is its value on the whole orbit.
    square = staggered_squared_diagonal(sector.states, spins)
    result = trajectory(op, phi, times,
                        observables=[staggered(spins), square, returned],
                        tol=tol, num_threads=threads)
    return sector, result, time.perf_counter() - start


def in_full_space(spins, sector, times, tol, threads):
    """The same observables from the same start, on all 2^L amplitudes."""
    psi = sector.basis_state(sector.index(neel(spins)))
    start = scipy.sparse.csr_matrix(psi.reshape(-1, 1))
    returned = (start @ start.conj().T).tocsr()  # |start><start|: four entries
    observables = [staggered(spins), staggered_squared(spins), returned]
    return trajectory(heisenberg_chain(spins, periodic=True), psi, times,
                      observables=observables, tol=tol, num_threads=threads)


def argument_parser():
    parser = _picture.argument_parser(__doc__)
    parser.add_argument("--spins", type=int, default=20,
                        help="sites L of the ring, even (its sector: about "
                             "C(L, L/2)/(4L) states)")
    parser.add_argument("--check-spins", type=int, default=14,
                        help="the ring evolved both in its sector and in the full "
                             "space of 2^L amplitudes, even")
    parser.add_argument("--t-end", type=float, default=10.0, help="the last time")
    parser.add_argument("--points", type=int, default=201,
                        help="output times, evenly spaced from 0 to --t-end")
    parser.add_argument("--tol", type=float, default=1e-10,
                        help="relative error allowed for the state at every time")
    _picture.add_threads_argument(parser)
    _picture.add_out_argument(parser)
    _picture.reduce_sizes(parser, spins=12, check_spins=8, points=41)
    return parser


def picture_parameters(args):
    return _picture.parameters(args)


def main():
    args = argument_parser().parse_args()
    for name in ("spins", "check_spins"):
        value = getattr(args, name)
        if value < 4 or value % 2:
            raise SystemExit(f"--{name.replace('_', '-')} must be even and at least 4, "
                             f"got {value}")

    times = np.linspace(0.0, args.t_end, args.points)
    sector, result, seconds = in_sector(args.spins, times, args.tol, args.threads)
    m, square, back = result.expectations.T
    print(f"Heisenberg ring, L = {args.spins}, from the Néel state, in the sector of")
    print(f"weight {args.spins // 2}, momentum 0, parity +1, spin flip +1: "
          f"{len(sector):,} states")
    print(f"(weight alone: {math.comb(args.spins, args.spins // 2):,}; "
          f"full space: {2**args.spins:,})")
    print(f"{'t':>7} {'M_s^2':>14} {'return prob.':>14}")
    for k in np.linspace(0, args.points - 1, min(args.points, 11)).astype(int):
        print(f"{times[k]:7.2f} {square[k]:14.10f} {back[k]:14.10f}")
    print(f"error bound {result.error:.1e} (tol {args.tol:g}); {result.steps} steps, "
          f"{result.applications} H-products,")
    print(f"{seconds:.2f} s (basis and operator included); "
          f"max |<M_s>| = {np.abs(m).max():.1e}")

    small_sector, small, _ = in_sector(args.check_spins, times, args.tol, args.threads)
    full = in_full_space(args.check_spins, small_sector, times, args.tol, args.threads)
    deviation = np.abs(small.expectations - full.expectations).max(axis=0)

    plt = _picture.pyplot()
    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(10, 3.8))
    every = max(1, args.points // 50)
    back_label = r"return probability $|\langle\psi_0|\psi(t)\rangle|^2$"
    for ax, column, label in ((ax1, 1, "staggered magnetisation"),
                              (ax2, 2, back_label)):
        ax.plot(times, result.expectations[:, column],
                label=f"L = {args.spins}, sector ({len(sector):,} states)")
        ax.plot(times, small.expectations[:, column],
                label=f"L = {args.check_spins}, sector ({len(small_sector):,} states)")
        ax.plot(times[::every], full.expectations[::every, column], "k.", ms=4,
                label=f"L = {args.check_spins}, full space "
                      f"({2**args.check_spins:,} amplitudes)")
        ax.set_xlabel("time t")
        ax.set_ylabel(label)
        ax.grid(True, alpha=0.3)
    ax1.plot(times, m, color="0.5", ls="--", lw=1,
             label=rf"$\langle M_s\rangle$, L = {args.spins} (PauliSum)")
    ax2.set_yscale("log")
    ax1.set_title(r"$\langle M_s^2\rangle$ (lines, dots) and "
                  r"$\langle M_s\rangle$ (dashed), "
                  r"$M_s = \frac{1}{L}\sum_q (-1)^q Z_q$", fontsize=10)
    ax2.set_title("return to the start", fontsize=10)
    ax1.legend(fontsize=8)
    fig.suptitle("Heisenberg ring from the Néel state, sector w = L/2, k = 0, p = +1, "
                 f"z = +1: error bound {result.error:.1e} (tol {args.tol:g})")
    fig.tight_layout()
    picture = _picture.save(fig, args.out, "sector_ring", picture_parameters(args))

    print(f"L = {args.check_spins}, sector against full space: "
          f"max |d M_s^2| = {deviation[1]:.1e},")
    print(f"max |d return prob.| = {deviation[2]:.1e}, "
          f"max |d M_s| = {deviation[0]:.1e}")
    print(f"plot: {picture}")


if __name__ == "__main__":
    main()
