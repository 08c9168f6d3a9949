"""
Spin autocorrelation at infinite temperature
============================================

Spin autocorrelation of a Heisenberg chain at infinite temperature with
velmora.correlation.

H = sum_i (X_i X_(i+1) + Y_i Y_(i+1) + Z_i Z_(i+1)) on an open chain of L spins
(`velmora.models.heisenberg_chain`). C(t) = Tr(Z_j(t) Z_j) / 2^L for the
middle spin j is estimated by quantum typicality: for each of a few
Haar-random states r, `velmora.correlation` evolves r and Z_j r and forms
<r(t)|Z_j|(Z_j r)(t)>; the mean over the states estimates the trace, with a
statistical error of about 1 / sqrt(samples * 2^L), reported apart from the
numerical error bound of the evolutions. At long times the Heisenberg chain's
spin transport is superdiffusive (C(t) ~ t^(-2/3), the Kardar-Parisi-Zhang
exponent) until the finite chain saturates it near 1/L.

The spectrum S(omega) = int dt e^(i omega t) C(t) uses C(-t) = C(t)*
(Z_j is Hermitian), under a Hann window of the whole run so that the cut at
t_end does not ring; its integral over omega / 2 pi is C(0) = 1 (printed as
a check). A chain of --check-spins spins is checked against the exact trace
from the eigenvectors of its matrix: its deviations are statistical, and the
verdict compares their median, in statistical errors, with the median of
Student's t with samples - 1 degrees of freedom (0.77 for 4 states; the error
of a few random states is itself uncertain, so single times may be 3 or more
errors off). The curves are plotted to
velmora-output/heisenberg_autocorrelation.png (or --out), with the parameters
beside it in heisenberg_autocorrelation.json.

Run::

    python examples/heisenberg_autocorrelation.py [--spins 20] [--samples 4]

Cost at the defaults: about 23 min and 4.0 GB of memory on a 2-core
machine (20 spins: the states at up to 201 times are kept, 16 MiB each);
--spins 16 takes about 30 s and 360 MB.
"""

import time

import numpy as np
from scipy.stats import t as student_t

import _picture
from velmora import correlation
from velmora.models import heisenberg_chain, z_diagonal

# The random states' seed: the same states, and bytes, every run.
SEED = 2024


def argument_parser():
    parser = _picture.argument_parser(__doc__)
    parser.add_argument("--spins", type=int, default=20,
                        help="spins L of the chain (states of 2^L amplitudes)")
    parser.add_argument("--t-end", type=float, default=20.0, help="the last time")
    parser.add_argument("--points", type=int, default=201,
                        help="output times, evenly spaced from 0 to --t-end")
    parser.add_argument("--samples", type=int, default=4,
                        help="random states whose mean estimates the trace (at least "
                             "2)")
    parser.add_argument("--tol", type=float, default=1e-10,
                        help="relative error allowed for each evolved state")
    parser.add_argument("--check-spins", type=int, default=8,
                        help="chain checked against the exact trace (dense matrix)")
    _picture.add_threads_argument(parser)
    _picture.add_out_argument(parser)
    _picture.reduce_sizes(parser, spins=10, check_spins=6, t_end=8.0, points=41)
    return parser


def picture_parameters(args):
    return _picture.parameters(args, seed=SEED)


def autocorrelation(spins, times, samples, tol, threads):
    H = heisenberg_chain(spins)
    z = z_diagonal(spins, spins // 2)
    return correlation(H, z, z, times, num_samples=samples, seed=SEED, tol=tol,
                       num_threads=threads)


def exact_autocorrelation(spins, times):
    """Tr(Z_j(t) Z_j) / 2^L from the eigendecomposition of the dense matrix."""
    w, v = np.linalg.eigh(heisenberg_chain(spins).to_sparse().toarray())
    z = v.conj().T @ (z_diagonal(spins, spins // 2)[:, None] * v)
    weights = np.abs(z) ** 2
    gaps = np.subtract.outer(w, w)
    return np.array([np.sum(np.exp(1j * gaps * t) * weights) for t in times]) / w.size


def spectrum(times, values, omegas):
    """S(omega) = 2 Re int_0^T e^(i omega t) C(t) w(t) dt (trapezoid rule, Hann
    window w(t) = cos^2(pi t / 2T)), for C(-t) = C(t)*."""
    window = np.cos(np.pi * times / (2 * times[-1])) ** 2
    weights = np.full(times.size, times[1] - times[0])
    weights[[0, -1]] /= 2
    phases = np.exp(1j * np.outer(omegas, times))
    return 2 * np.real(phases @ (weights * window * values))


def main():
    args = argument_parser().parse_args()
    times = np.linspace(0.0, args.t_end, args.points)

    start = time.perf_counter()
    result = autocorrelation(args.spins, times, args.samples, args.tol, args.threads)
    seconds = time.perf_counter() - start
    values = result.values.real

    check = autocorrelation(args.check_spins, times, args.samples, args.tol,
                            args.threads)
    exact = exact_autocorrelation(args.check_spins, times)
    deviation = np.abs(check.values - exact)
    late = times > 0  # at t = 0, C = 1 for every unit state: no spread
    in_errors = deviation[late] / check.statistical_error[late]
    # Each deviation over its estimated error follows Student's t with S - 1
    # degrees of freedom when only sampling is at work: compare the medians.
    expected = student_t.ppf(0.75, args.samples - 1)
    consistent = np.median(in_errors) <= 2 * expected

    omegas = np.linspace(-12.0, 12.0, 481)
    density = spectrum(times, result.values, omegas)
    sum_rule = np.sum(density) * (omegas[1] - omegas[0]) / (2 * np.pi)

    plt = _picture.pyplot()
    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 3.8))
    band = 2 * result.statistical_error + result.error
    left.fill_between(times, values - band, values + band, color="C0", alpha=0.3,
                      label="2 statistical errors + error bound")
    left.plot(times, values, color="C0", lw=1.2, label=f"L = {args.spins}, "
              f"{result.num_samples} random states")
    left.plot(times, exact.real, "k--", lw=0.8,
              label=f"exact trace, L = {args.check_spins}")
    # The t^(-2/3) law through the data between t = 2 and 8 (before saturation).
    guide = (times >= 2) & (times <= 8)
    prefactor = np.median(values[guide] * times[guide] ** (2 / 3))
    later = times >= 1
    left.plot(times[later], prefactor * times[later] ** (-2 / 3), ":", color="C3",
              label=f"{prefactor:.2f} t^(-2/3)")
    left.set_xscale("log")
    left.set_yscale("log")
    # Times labelled 1, 2, 5 per decade as plain numbers: on a short axis (about
    # two decades) matplotlib labels its minor ticks in powers of ten, which run
    # into each other.
    from matplotlib.ticker import FormatStrFormatter, LogLocator, NullFormatter

    left.xaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
    left.xaxis.set_major_formatter(FormatStrFormatter("%g"))
    left.xaxis.set_minor_formatter(NullFormatter())
    left.set_ylim(1e-2, 1.2)
    left.set_xlim(times[1], times[-1])
    left.set_xlabel("t")
    left.set_ylabel("<Z_j(t) Z_j> at infinite temperature")
    left.grid(True, which="both", alpha=0.3)
    left.legend(fontsize=7)
    right.plot(omegas, density, color="C0")
    right.set_xlabel("omega")
    right.set_ylabel("S(omega) (Hann window)")
    right.set_title(f"integral / 2 pi = {sum_rule:.4f}", fontsize=9)
    right.grid(True, alpha=0.3)
    fig.suptitle(f"Heisenberg chain, middle spin, tol {args.tol:g}", fontsize=10)
    fig.tight_layout()
    picture = _picture.save(fig, args.out, "heisenberg_autocorrelation",
                            picture_parameters(args))

    middle = args.spins // 2
    print(f"Heisenberg chain L = {args.spins}, <Z_{middle}(t) Z_{middle}> at infinite "
          "temperature")
    print(f"from {result.num_samples} random states:")
    for k in np.unique(np.linspace(0, times.size - 1, 6).astype(int)):
        print(f"  t = {times[k]:6.2f}   C = {values[k]: .5f} "
              f"+- {result.statistical_error[k]:.1e} (statistical), "
              f"error bound {result.error[k]:.1e}")
    print(f"{result.steps} Krylov steps, {result.applications} H-products in "
          f"{result.chunks} run(s) per state, {seconds:.1f} s")
    print(f"L = {args.check_spins} against the exact trace: max |deviation| "
          f"{deviation.max():.1e};")
    print(f"  in statistical errors: median {np.median(in_errors):.2f} "
          f"(sampling alone: {expected:.2f}), largest {in_errors.max():.2f} "
          f"of {in_errors.size} times")
    print("  consistent with the sampling noise" if consistent else
          "  NOT consistent with the sampling noise: the estimate or its error is off")
    print(f"spectrum: integral of S(omega) / 2 pi = {sum_rule:.5f} (C(0) = 1)")
    print(f"plot: {picture}")


if __name__ == "__main__":
    main()
