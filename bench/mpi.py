"""Benchmark of the evolution over MPI processes (velmora.mpi): strong scaling
on this machine, the slices exchanged per product and their cost.

    python bench/mpi.py [--sizes 22 24] [--repeats 2] [--out bench/results]

For each size, the `ising` workload of bench/workloads.py (open chain, J = h =
1) evolves its random state to t = 1 within tol 1e-10, once on 1 process with
1 and 2 threads and once on 2 processes with 1 thread each (every run under
mpiexec, in its own processes). Recorded per run: the best wall time, the
products H @ v and the time per product, the exchanges per product and the
bytes each process sends per product, the time of one exchange of a slice
measured alone (mpi4py Sendrecv), each process's peak resident memory, and a
digest of the final state's bytes (the same for every run, or the benchmark
fails). Writes mpi.md and mpi.json under --out.
"""

import argparse
import hashlib
import json
import os
import pathlib
import platform
import subprocess
import sys
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from environment import describe, library_versions  # noqa: E402
from worker import peak_bytes, reset_peak, rss_bytes  # noqa: E402

TOL = 1e-10
T = 1.0
PLAN = [(1, 1), (1, 2), (2, 1)]  # (processes, threads per process)


def child(n, threads, repeats):
    """Runs under mpiexec: one configuration, printed as JSON by rank 0."""
    from mpi4py import MPI

    import velmora.mpi as vm
    import workloads

    comm = MPI.COMM_WORLD
    H = workloads.operator("ising", n)
    local = vm.scatter(workloads.state(n) if comm.rank == 0 else None, comm)
    baseline = rss_bytes()
    reset_peak()
    seconds = []
    for _ in range(repeats):
        comm.Barrier()
        start = time.perf_counter()
        result = vm.evolve(H, local, T, comm=comm, tol=TOL, num_threads=threads)
        comm.Barrier()
        seconds.append(time.perf_counter() - start)
    peak = comm.gather(peak_bytes() - baseline, root=0)
    exchange = None
    if comm.size > 1:
        # One exchange of a slice with the partner, alone: the network's share.
        received = np.empty_like(local)
        times = []
        for _ in range(5):
            comm.Barrier()
            start = time.perf_counter()
            comm.Sendrecv(local, dest=comm.rank ^ 1, recvbuf=received, source=comm.rank ^ 1)
            times.append(time.perf_counter() - start)
        exchange = float(np.median(times))
    whole = vm.gather(result.state, comm)
    if comm.rank == 0:
        print(json.dumps(dict(
            best_s=min(seconds), seconds=seconds, applications=result.applications,
            steps=result.steps, error=result.error,
            exchanges_per_product=result.exchanges_per_product,
            exchange_buffer_bytes=result.exchange_bytes, slice_bytes=local.nbytes,
            exchange_s=exchange, peak_bytes=max(peak),
            digest=hashlib.sha256(whole.tobytes()).hexdigest())))


def measure(n, processes, threads, repeats):
    mpiexec = pathlib.Path(sys.executable).with_name("mpiexec")
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1")
    proc = subprocess.run([str(mpiexec), "-n", str(processes), sys.executable, __file__,
                           "--child", str(n), str(threads), str(repeats)],
                          capture_output=True, text=True, env=env, timeout=7200)
    if proc.returncode != 0:
        raise RuntimeError(f"n = {n}, {processes} x {threads} failed:\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def markdown(info, rows):
    lines = [
        f"Measured with `{info['command']}` ({info['machine']}, {info['cores']} cores, "
        f"{info['date']}; {describe(info['versions'])}): the `ising` workload evolved to t = {T:g} "
        f"within tol {TOL:g}, best of {info['repeats']}, every configuration under mpiexec in its "
        "own processes. Bytes sent are per process and product; the exchange time is one "
        "exchange of a slice with the partner measured alone. Memory is each process's peak "
        "resident set during the run, in state vectors of the whole state.",
        "",
        "| n | processes × threads | time [s] | speed-up vs 1 × 1 | products | per product [ms] | "
        "exchanges per product | sent per product [MiB] | one exchange [ms] | memory per "
        "process [vectors] | same bytes as 1 × 1 |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        base = next(b for b in rows if b["n"] == r["n"] and b["processes"] == 1
                    and b["threads"] == 1)
        sent = r["exchanges_per_product"] * r["slice_bytes"] / 2**20
        exchange = "" if r["exchange_s"] is None else f"{1e3 * r['exchange_s']:.1f}"
        lines.append(
            f"| {r['n']} | {r['processes']} × {r['threads']} | {r['best_s']:.2f} | "
            f"{base['best_s'] / r['best_s']:.2f}× | {r['applications']} | "
            f"{1e3 * r['best_s'] / r['applications']:.1f} | {r['exchanges_per_product']} | "
            f"{sent:.0f} | {exchange} | {r['peak_bytes'] / (16 * 2**r['n']):.2f} | "
            f"{'yes' if r['digest'] == base['digest'] else 'NO'} |")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[22, 24])
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--out", default=str(HERE / "results"))
    parser.add_argument("--child", nargs=3, type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    rows = []
    for n in args.sizes:
        for processes, threads in PLAN:
            print(f"n = {n}: {processes} process(es) x {threads} thread(s)", file=sys.stderr,
                  flush=True)
            record = measure(n, processes, threads, args.repeats)
            rows.append(dict(n=n, processes=processes, threads=threads, **record))
    digests = {(r["n"], r["digest"]) for r in rows}
    if len(digests) != len(args.sizes):
        raise SystemExit("the runs of one size did not give the same bytes: " + str(rows))
    info = dict(command="make bench-mpi", date=time.strftime("%Y-%m-%d"),
                machine=platform.machine(), cores=os.cpu_count(),
                versions=dict(library_versions(), **mpi_versions()), repeats=args.repeats)
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "mpi.json").write_text(json.dumps(dict(info=info, rows=rows), indent=1))
    (out / "mpi.md").write_text(markdown(info, rows))
    print(markdown(info, rows))


def mpi_versions():
    from importlib.metadata import PackageNotFoundError, version

    found = {}
    for name in ("mpi4py", "mpich"):
        try:
            found[name] = version(name)
        except PackageNotFoundError:
            pass
    return found


if __name__ == "__main__":
    main()
