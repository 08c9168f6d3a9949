"""
Ground state of an XXZ ring by imaginary time
=============================================

Ground state of an XXZ chain by imaginary-time evolution with velmora.evolve.

H = sum_i (X_i X_(i+1) + Y_i Y_(i+1) + delta Z_i Z_(i+1)) on a ring of L spins
(`velmora.models.xxz_ring`). velmora.evolve(H, psi, -1j * tau, tol=...) returns
exp(-tau H) psi within the relative error tol: the components along
high-energy eigenstates shrink fastest, so a long imaginary time projects onto
the ground state. One call goes all the way to tau = steps * dtau; the result is
not renormalised (its norm grows like exp(-tau E_0)), and it is normalised once
at the end. For the convergence plot the example also walks in imaginary-time
slices of dtau, renormalising after each. The energy is compared with the exact
ground-state energy of the sparse matrix (`PauliSum.to_sparse`, lowest
eigenvalue by SciPy's eigsh); the convergence is plotted to
velmora-output/xxz_ground_state.png (or --out), with the parameters beside it in
xxz_ground_state.json.

Run::

    python examples/xxz_ground_state.py [--spins 12] [--delta 0.5] [--steps 80]

Cost at the defaults: about 2 s and 100 MB of memory on a 2-core machine.
"""

import time

import numpy as np
from scipy.sparse.linalg import eigsh

import _picture
from velmora import evolve
from velmora.models import xxz_ring

# Seed of the small random admixture to the starting state.
SEED = 1


def argument_parser():
    parser = _picture.argument_parser(__doc__)
    parser.add_argument("--spins", type=int, default=12,
                        help="spins L of the ring (a state of 2^L amplitudes)")
    parser.add_argument("--delta", type=float, default=0.5,
                        help="anisotropy: the coefficient of Z_i Z_(i+1)")
    parser.add_argument("--tau", type=float, default=0.2,
                        help="imaginary time of one slice of the convergence curve")
    parser.add_argument("--steps", type=int, default=80,
                        help="slices; the last imaginary time is steps * tau")
    parser.add_argument("--tol", type=float, default=1e-10,
                        help="relative error allowed for each evolution")
    _picture.add_threads_argument(parser)
    _picture.add_out_argument(parser)
    _picture.reduce_sizes(parser, spins=8, steps=40)
    return parser


def picture_parameters(args):
    return _picture.parameters(args, seed=SEED)


def main():
    args = argument_parser().parse_args()

    H = xxz_ring(args.spins, args.delta)
    # eigsh's start vector is fixed: E_0 (to rounding) and the plot repeat exactly.
    start_vector = np.random.default_rng(SEED).normal(size=2**args.spins)
    exact = float(eigsh(H.to_sparse(), k=1, which="SA", v0=start_vector,
                        return_eigenvectors=False)[0])

    # Start from the Neel state |0101...> mixed with a little of everything, so
    # that it overlaps the ground state whatever its symmetry sector.
    rng = np.random.default_rng(SEED)
    psi = 0.1 * (rng.normal(size=2**args.spins) + 1j * rng.normal(size=2**args.spins))
    psi[int("01" * (args.spins // 2), 2)] += 1.0
    psi /= np.linalg.norm(psi)

    # One call to the final imaginary time, within the tolerance.
    tau_end = args.steps * args.tau
    start = time.perf_counter()
    result = evolve(H, psi, -1j * tau_end, tol=args.tol, num_threads=args.threads)
    seconds = time.perf_counter() - start
    ground = result.state / np.linalg.norm(result.state)
    final_error = H.expectation(ground, args.threads) - exact

    # The convergence curve: slices of dtau, renormalised after each.
    taus, errors = [], []
    for step in range(1, args.steps + 1):
        psi = evolve(H, psi, -1j * args.tau, tol=args.tol,
                     num_threads=args.threads).state
        psi /= np.linalg.norm(psi)
        taus.append(step * args.tau)
        errors.append(H.expectation(psi, args.threads) - exact)

    plt = _picture.pyplot()
    fig, ax = plt.subplots(figsize=(6, 3.6))
    # Below about 1e-13 the energy difference is rounding, not convergence: not plotted.
    shown = np.array(errors) > 1e-13
    ax.semilogy(np.array(taus)[shown], np.array(errors)[shown], marker=".", ms=4,
                label=f"slices of dtau = {args.tau:g}, renormalised")
    if final_error > 1e-13:
        ax.semilogy([tau_end], [final_error], "r*", ms=10,
                    label=f"one evolve call to tau = {tau_end:g} "
                          f"({result.steps} steps)")
    ax.set_xlabel("imaginary time tau")
    ax.set_ylabel("E(tau) - E_0")
    ax.set_title(f"XXZ ring, L = {args.spins}, delta = {args.delta:g}, "
                 f"tol {args.tol:g}")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    picture = _picture.save(fig, args.out, "xxz_ground_state", picture_parameters(args))

    print(f"XXZ ring L = {args.spins}, delta = {args.delta}: exact E_0 = {exact:.12f}")
    for i in (0, 4, 9, 19, len(taus) - 1):
        print(f"  tau = {taus[i]:5.1f}   E - E_0 = {errors[i]:.3e}")
    print(f"one evolve call to tau = {tau_end:g}: error bound {result.error:.1e} "
          f"(tol {args.tol:g}),")
    print(f"  {result.steps} steps, {result.applications} H-products, {seconds:.2f} s")
    print(f"final energy {exact + final_error:.12f} (E - E_0 = {final_error:.1e})")
    print(f"plot: {picture}")


if __name__ == "__main__":
    main()
