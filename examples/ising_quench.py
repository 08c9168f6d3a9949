"""Quench of a transverse-field Ising chain, stepped in time with _velmora.

H = -J sum_i Z_i Z_(i+1) - h sum_i X_i on an open chain of L spins
(`velmora.models.ising_chain`; spin i is qubit i). The state
starts fully polarised, |00...0> (every spin up along z), the ground state for
h = 0; at t = 0 the field is switched on. Each step calls
evolve(H.hamiltonian, psi, dt, num_threads) = exp(-i dt H) psi. Printed per step:
time, magnetisation <Z> per spin, energy <H> (conserved by the exact evolution)
and the wall time of the step. A chain of 8 spins is checked against exact
diagonalisation of its matrix (`PauliSum.to_sparse`), and the curves are
plotted to examples/output/ising_quench.png.

Run: python examples/ising_quench.py [--spins 16] [--field 1.0] [--dt 0.1] [--steps 30]
"""

import argparse
import os
import pathlib
import time

import numpy as np
from observables import z_expectations

from _velmora import evolve
from velmora.models import ising_chain


def quench(spins, coupling, field, dt, steps, threads, verbose):
    H = ising_chain(spins, coupling, field)
    psi = np.zeros(2**spins, dtype=np.complex128)
    psi[0] = 1.0
    times, mags, energies, step_times = [0.0], [1.0], [H.expectation(psi, threads)], []
    if verbose:
        print(f"{'t':>6} {'<Z>':>12} {'<H>':>20} {'step [ms]':>10}")
        print(f"{0.0:6.2f} {mags[0]:12.8f} {energies[0]:20.14f}")
    for step in range(1, steps + 1):
        start = time.perf_counter()
        psi = evolve(H.hamiltonian, psi, dt, threads)
        step_times.append(time.perf_counter() - start)
        times.append(step * dt)
        mags.append(float(z_expectations(psi, spins).mean()))
        energies.append(H.expectation(psi, threads))  # <psi|H|psi>: the norm stays 1
        if verbose:
            print(f"{times[-1]:6.2f} {mags[-1]:12.8f} {energies[-1]:20.14f} "
                  f"{1e3 * step_times[-1]:10.1f}")
    return np.array(times), np.array(mags), np.array(energies), step_times, psi


def exact_magnetisation(spins, coupling, field, times):
    """<Z> per spin at the given times by exact diagonalisation."""
    w, v = np.linalg.eigh(ising_chain(spins, coupling, field).to_sparse().toarray())
    psi0 = np.zeros(2**spins, dtype=complex)
    psi0[0] = 1.0
    coeffs = v.conj().T @ psi0
    return np.array([z_expectations(v @ (np.exp(-1j * w * t) * coeffs), spins).mean()
                     for t in times])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--spins", type=int, default=16)
    parser.add_argument("--coupling", type=float, default=1.0)
    parser.add_argument("--field", type=float, default=1.0)
    parser.add_argument("--dt", type=float, default=0.1)
    parser.add_argument("--steps", type=int, default=30)
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--out", default=str(pathlib.Path(__file__).parent / "output"))
    args = parser.parse_args()

    print(f"Transverse-field Ising quench: L = {args.spins} spins, J = {args.coupling}, "
          f"h = {args.field}, dt = {args.dt}, {args.threads} threads")
    times, mags, energies, step_times, psi = quench(
        args.spins, args.coupling, args.field, args.dt, args.steps, args.threads, True)
    drift = np.abs(energies - energies[0]).max()

    small_times, small_mags, *_ = quench(8, args.coupling, args.field, args.dt, args.steps,
                                         args.threads, False)
    ed_error = np.abs(small_mags - exact_magnetisation(8, args.coupling, args.field,
                                                       small_times)).max()

    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(10, 3.6))
    ax1.plot(times, mags, label=f"L = {args.spins}")
    ax1.plot(small_times, small_mags, "o", ms=3, label="L = 8 (velmora)")
    ax1.plot(small_times, exact_magnetisation(8, args.coupling, args.field, small_times), "-",
             lw=0.8, label="L = 8 (exact diagonalisation)")
    ax1.set_xlabel("time t")
    ax1.set_ylabel("<Z> per spin")
    ax1.legend()
    ax2.plot(times, energies - energies[0])
    ax2.set_xlabel("time t")
    ax2.set_ylabel("<H>(t) - <H>(0)")
    fig.suptitle(f"Ising quench, h = {args.field}, dt = {args.dt}")
    fig.tight_layout()
    fig.savefig(out / "ising_quench.png", dpi=100)

    print(f"norm - 1 at the end: {np.linalg.norm(psi) - 1:.1e}; largest energy drift: "
          f"{drift:.1e}; L = 8 against exact diagonalisation: max |d<Z>| = {ed_error:.1e}")
    print(f"median step: {1e3 * np.median(step_times):.1f} ms, total evolve time "
          f"{sum(step_times):.2f} s; plot: {out / 'ising_quench.png'}")


if __name__ == "__main__":
    main()
