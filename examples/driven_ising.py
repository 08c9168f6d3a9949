"""
Ising chains in a time-dependent field
======================================

Ising chains whose field changes in time, with velmora.TimeDependentSum.

H(t) = -sum_q Z_q Z_(q+1) - h(t) sum_q X_q on an open chain of L spins: the
bonds are a constant part, the field a part scaled by h(t)
(`TimeDependentSum([bonds, (field, h)])`). Two runs:

- a ramp across the transition at h = 1: from the ground state at h = 2
  (found by imaginary-time evolution of the same chain, `velmora.evolve` with
  t = -1j * tau and normalize=True), h(t) falls linearly to 0 over a ramp
  time T. The density of domain walls left behind, (1/(L-1)) sum_q
  <(1 - Z_q Z_(q+1))/2>, falls as the ramp gets slower (Kibble-Zurek); it
  is measured along the way with `velmora.trajectory` for several T;
- a periodic drive h(t) = 1 + 0.5 cos(3t) from all spins up, measuring the
  magnetisations <Z_0> at the edge and the mean <X>.

A smaller chain (--check-spins) is run both ways with velmora and with SciPy's
solve_ivp (DOP853, rtol 1e-12) on the sparse matrices, and the curves agree
to the tolerance. Plotted to velmora-output/driven_ising.png (or --out), with
the parameters beside it in driven_ising.json.

Run::

    python examples/driven_ising.py [--spins 14] [--check-spins 8] [--ramps 2 8 32]

Cost at the defaults: about 4 s and 125 MB of memory on a 2-core machine.
"""

import math
import time

import numpy as np

import _picture
from velmora import PauliSum, TimeDependentSum, evolve, trajectory
from velmora.models import ising_chain, pauli_label


def parts(spins):
    """The bonds -sum Z_q Z_(q+1) and the field operator -sum X_q, each a PauliSum
    of its own (together, in this order, they are ising_chain(spins))."""
    chain = ising_chain(spins, parts=True)
    return chain["zz"], chain["x"]


class Ramp:
    """h(t) = h0 + (h1 - h0) t / T, held at h1 after T (picklable, unlike a lambda)."""

    def __init__(self, h0, h1, duration):
        self.h0, self.h1, self.duration = h0, h1, duration

    def __call__(self, t):
        return self.h0 + (self.h1 - self.h0) * min(t, self.duration) / self.duration


def drive(t):
    return 1.0 + 0.5 * math.cos(3.0 * t)


def walls(spins):
    """The density of domain walls (1/(L-1)) sum_q (1 - Z_q Z_(q+1))/2."""
    n = spins - 1
    return PauliSum([("I" * spins, 0.5)] + [
        (pauli_label(spins, {q: "Z", q + 1: "Z"}), -0.5 / n) for q in range(n)])


def magnetisations(spins):
    """<Z_0> at the edge and the mean <X>."""
    return [PauliSum([(pauli_label(spins, {0: "Z"}), 1.0)]),
            PauliSum([(pauli_label(spins, {q: "X"}), 1.0 / spins)
                      for q in range(spins)])]


def ground_state(spins, h, tol):
    """The ground state of the chain at field h by imaginary time (the gap at
    h = 2 is about 2, so tau = 20 leaves e^-40 of the excited states)."""
    psi = np.ones(2**spins, dtype=complex) / 2 ** (spins / 2)
    return evolve(ising_chain(spins, h=h), psi, -20j, normalize=True, tol=tol).state


def ramp_run(spins, duration, times, tol, threads):
    bonds, field = parts(spins)
    H = TimeDependentSum([bonds, (field, Ramp(2.0, 0.0, duration))])
    return trajectory(H, ground_state(spins, 2.0, tol), times,
                      observables=[walls(spins)],
                      tol=tol, num_threads=threads)


def drive_run(spins, times, tol, threads):
    bonds, field = parts(spins)
    H = TimeDependentSum([bonds, (field, drive)])
    psi = np.zeros(2**spins, dtype=complex)
    psi[0] = 1.0
    return trajectory(H, psi, times, observables=magnetisations(spins), tol=tol,
                      num_threads=threads)


def scipy_run(spins, psi, f, times, observables):
    """The same evolution by solve_ivp DOP853 on the sparse matrices."""
    from scipy.integrate import solve_ivp

    bonds, field = parts(spins)
    A, B = bonds.to_sparse(), field.to_sparse()
    sol = solve_ivp(lambda t, y: -1j * (A @ y + f(t) * (B @ y)),
                    (times[0], times[-1]), psi,
                    method="DOP853", rtol=1e-12, atol=1e-14, t_eval=times)
    return np.array([[np.vdot(y, o.apply(y)).real for o in observables]
                     for y in sol.y.T])


def argument_parser():
    parser = _picture.argument_parser(__doc__)
    parser.add_argument("--spins", type=int, default=14,
                        help="spins L of the chain (a state of 2^L amplitudes)")
    parser.add_argument("--check-spins", type=int, default=8,
                        help="the chain also run by SciPy's solve_ivp, as a check")
    parser.add_argument("--ramps", type=float, nargs="+", default=[2.0, 8.0, 32.0],
                        help="ramp times T, one run each (the field falls from 2 to 0 "
                             "in T)")
    parser.add_argument("--t-drive", type=float, default=10.0,
                        help="the last time of the periodic drive")
    parser.add_argument("--points", type=int, default=201,
                        help="output times of each run, evenly spaced")
    parser.add_argument("--tol", type=float, default=1e-8,
                        help="relative error allowed for the state at every time")
    _picture.add_threads_argument(parser)
    _picture.add_out_argument(parser)
    _picture.reduce_sizes(parser, spins=8, check_spins=6, ramps=[2.0, 4.0], points=41)
    return parser


def picture_parameters(args):
    return _picture.parameters(args)


def main():
    args = argument_parser().parse_args()
    if args.spins < 2 or args.check_spins < 2:
        raise SystemExit("--spins and --check-spins must be at least 2")
    plt = _picture.pyplot()
    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(11, 4))

    print(f"Ramp h: 2 -> 0 on L = {args.spins} from the ground state at h = 2 "
          f"(tol {args.tol:g})")
    print(f"{'T':>6} {'walls at end':>13} {'error':>9} {'steps':>6} {'products':>9} "
          f"{'f calls':>8} {'seconds':>8}")
    for duration in args.ramps:
        times = np.linspace(0.0, duration, args.points)
        start = time.perf_counter()
        result = ramp_run(args.spins, duration, times, args.tol, args.threads)
        seconds = time.perf_counter() - start
        density = result.expectations[:, 0]
        print(f"{duration:6g} {density[-1]:13.6f} {result.error:9.1e} "
              f"{result.steps:6d} {result.applications:9d} {result.function_calls:8d} "
              f"{seconds:8.2f}")
        ax1.plot(2.0 - 2.0 * times / duration, density, label=f"T = {duration:g}")

    times = np.linspace(0.0, args.t_drive, args.points)
    start = time.perf_counter()
    driven = drive_run(args.spins, times, args.tol, args.threads)
    seconds = time.perf_counter() - start
    print(f"Drive h(t) = 1 + 0.5 cos 3t on L = {args.spins} to t = {args.t_drive:g}: "
          f"error {driven.error:.1e},")
    print(f"  {driven.steps} steps, {driven.applications} products, "
          f"{driven.function_calls} f calls, {seconds:.2f} s")
    ax2.plot(times, driven.expectations[:, 0], label=r"$\langle Z_0\rangle$ (edge)")
    ax2.plot(times, driven.expectations[:, 1], label=r"$\langle X\rangle$ (mean)")

    # The small chain against solve_ivp, both runs.
    n = args.check_spins
    check_times = np.linspace(0.0, args.ramps[0], 21)
    ours = ramp_run(n, args.ramps[0], check_times, args.tol, args.threads).expectations
    theirs = scipy_run(n, ground_state(n, 2.0, args.tol), Ramp(2.0, 0.0, args.ramps[0]),
                       check_times, [walls(n)])
    ramp_deviation = np.abs(ours - theirs).max()
    check_times = np.linspace(0.0, args.t_drive, 21)
    ours = drive_run(n, check_times, args.tol, args.threads).expectations
    psi = np.zeros(2**n, dtype=complex)
    psi[0] = 1.0
    theirs = scipy_run(n, psi, drive, check_times, magnetisations(n))
    drive_deviation = np.abs(ours - theirs).max()
    ax2.plot(check_times, theirs[:, 0], "k.", ms=4, label=f"L = {n}, solve_ivp DOP853")
    ax2.plot(check_times, ours[:, 0], "C3--", lw=1, label=f"L = {n}, velmora")

    ax1.set_xlabel("field h(t) (falls from 2 to 0)")
    ax1.set_ylabel("domain-wall density")
    ax1.set_title(f"ramp across h = 1, L = {args.spins}: slower ramps leave fewer "
                  "walls", fontsize=10)
    ax1.invert_xaxis()
    ax2.set_xlabel("time t")
    ax2.set_ylabel("magnetisation")
    ax2.set_title(f"drive h(t) = 1 + 0.5 cos 3t from all up, L = {args.spins}",
                  fontsize=10)
    for ax in (ax1, ax2):
        ax.grid(True, alpha=0.3)
        ax.legend(fontsize=8)
    fig.suptitle("Ising chains with a time-dependent field, "
                 f"velmora.TimeDependentSum (tol {args.tol:g})")
    fig.tight_layout()
    picture = _picture.save(fig, args.out, "driven_ising", picture_parameters(args))
    print(f"L = {n} against solve_ivp DOP853: max deviation {ramp_deviation:.1e} "
          f"(ramp), {drive_deviation:.1e} (drive)")
    print(f"plot: {picture}")


if __name__ == "__main__":
    main()
