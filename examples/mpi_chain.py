"""
An Ising quench over MPI processes
==================================

A transverse-field Ising quench on a state split over MPI processes.

H = -J sum_i Z_i Z_(i+1) - h sum_i X_i on an open chain of L spins; the state
starts in ``|00...0>``, made slice by slice (`velmora.mpi.basis_state`, so no
process ever holds the whole vector). `velmora.mpi.trajectory` measures the
magnetisation of the first and the last spin (the last one is a rank qubit:
its X terms exchange slices between processes) and the energy; then
`velmora.mpi.evolve` takes the state to the last time and rank 0 prints a
SHA-256 digest of its bytes.

Everything printed on standard output is the same, byte for byte, for 1, 2, 4,
8, ... processes and for the single-process `velmora.evolve`::

    mpiexec -n 2 python examples/mpi_chain.py
    python examples/mpi_chain.py                 # one process: the same output

How the run was split (processes, exchanges, memory) goes to standard error.
Rank 0 plots the magnetisations to velmora-output/mpi_chain.png (or --out),
with the parameters beside it in mpi_chain.json; the documentation's gallery
runs the example on one process.

Cost at the defaults: about 10 s and 650 MB of memory on one process of a
2-core machine (two threads); the memory per process shrinks with more
processes.
"""

import hashlib
import sys
import time

import numpy as np
from mpi4py import MPI

import _picture
import velmora.mpi as vm
from velmora import PauliSum
from velmora.models import ising_chain, pauli_label


def argument_parser():
    parser = _picture.argument_parser(__doc__)
    parser.add_argument("--spins", type=int, default=20,
                        help="spins L of the chain (a state of 2^L amplitudes, split "
                             "over the processes)")
    parser.add_argument("--field", type=float, default=1.0,
                        help="transverse field h switched on at t = 0")
    parser.add_argument("--t-end", type=float, default=4.0, help="the last time")
    parser.add_argument("--points", type=int, default=21,
                        help="output times, evenly spaced from 0 to --t-end")
    parser.add_argument("--tol", type=float, default=1e-10,
                        help="relative error allowed for the state at every time")
    parser.add_argument("--threads", type=int, default=None,
                        help="threads per process (default: the cores of this machine "
                             "shared by the processes on it)")
    _picture.add_out_argument(parser)
    _picture.reduce_sizes(parser, spins=14)
    return parser


def picture_parameters(args):
    return _picture.parameters(args)


def plot(args, times, expectations, error):
    plt = _picture.pyplot()
    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(10, 3.6))
    ax1.plot(times, expectations[:, 0], "o-", ms=3, label=r"$\langle Z_0\rangle$")
    ax1.plot(times, expectations[:, 1], "s--", ms=3,
             label=rf"$\langle Z_{{{args.spins - 1}}}\rangle$ (a rank qubit)")
    ax1.set_xlabel("time t")
    ax1.set_ylabel("magnetisation")
    ax1.set_title("the first and the last spin (equal: the chain is symmetric)",
                  fontsize=10)
    ax1.legend(fontsize=8)
    ax2.plot(times, expectations[:, 2] - expectations[0, 2], "o-", ms=3)
    ax2.set_xlabel("time t")
    ax2.set_ylabel(r"$\langle H\rangle(t) - \langle H\rangle(0)$")
    ax2.set_title("energy drift", fontsize=10)
    for ax in (ax1, ax2):
        ax.grid(True, alpha=0.3)
    fig.suptitle(f"Ising quench over MPI processes, L = {args.spins}, "
                 f"h = {args.field:g}: error bound {error:.1e}, the same bytes on any "
                 "number of processes", fontsize=10)
    fig.tight_layout()
    return _picture.save(fig, args.out, "mpi_chain", picture_parameters(args))


def main():
    args = argument_parser().parse_args()

    comm = MPI.COMM_WORLD
    n = args.spins
    H = ising_chain(n, 1.0, args.field)
    observables = [PauliSum([(pauli_label(n, {0: "Z"}), 1.0)]),
                   PauliSum([(pauli_label(n, {n - 1: "Z"}), 1.0)]), H]
    times = np.linspace(0.0, args.t_end, args.points)
    local = vm.basis_state(n, 0, comm)
    threads = args.threads if args.threads is not None else vm.default_threads(comm)

    start = time.perf_counter()
    run = vm.trajectory(H, local, times, comm=comm, observables=observables,
                        tol=args.tol, num_threads=threads)
    final = vm.evolve(H, local, args.t_end, comm=comm, tol=args.tol,
                      num_threads=threads)
    whole = vm.gather(final.state, comm)
    elapsed = time.perf_counter() - start

    if comm.rank == 0:
        print(f"Ising chain of {n} spins, h = {args.field}, tol = {args.tol:g}")
        print("     t     <Z_0>                  <Z_last>               <H>")
        for t, (z0, zl, e) in zip(times, run.expectations):
            print(f"{t:6.2f}  {z0: .17e}  {zl: .17e}  {e: .17e}")
        print(f"error bound {run.error:.3e}, {run.steps} steps, "
              f"{run.applications} products")
        digest = hashlib.sha256(whole.tobytes()).hexdigest()
        print(f"state at t = {args.t_end:g}: norm {np.linalg.norm(whole):.17f}, "
              f"sha256 {digest[:32]}")
        picture = plot(args, times, run.expectations, run.error)
        print(f"plot: {picture}")
        slice_bytes = whole.nbytes // comm.size
        print(f"{comm.size} process(es), {threads} thread(s) each: {elapsed:.2f} s; "
              f"{final.exchanges_per_product} exchange(s) per product;\n"
              f"slice {slice_bytes / 2**20:.1f} MiB, exchange buffers "
              f"{final.exchange_bytes / 2**20:.1f} MiB per process", file=sys.stderr)


if __name__ == "__main__":
    main()
