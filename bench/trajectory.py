"""Benchmark of the error-controlled evolution: velmora.trajectory and
velmora.evolve against SciPy's expm_multiply and QuSpin, every measurement in
its own process (its peak memory is its own).

    python bench/trajectory.py [--repeats 2] [--out bench/results]

Cases:
  trajectory  16-spin open Ising chain (J = h = 1), psi = |0...0>, 201 equally
              spaced times in [0, 20], tol 1e-10; SciPy in its start/stop/num
              mode on a prebuilt CSR matrix; velmora returning the states and,
              separately, measuring <Z_q> for every q and the energy.
  long        20-spin Ising chain to t = 10, tol 1e-10; SciPy expm_multiply,
              QuSpin ExpmMultiplyParallel at the same thread count.
Writes trajectory.md and trajectory.json under --out.
"""

import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from environment import describe, library_versions, machine_name  # noqa: E402
from worker import peak_bytes, reset_peak, rss_bytes  # noqa: E402

TOL = 1e-10
CASES = {
    "trajectory": dict(n=16, times=(0.0, 20.0, 201)),
    "long": dict(n=20, times=(0.0, 10.0, 1)),
}


def ising_start(n):
    from velmora.models import ising_chain

    psi = np.zeros(2**n, dtype=np.complex128)
    psi[0] = 1.0
    return ising_chain(n), psi


class CountingCSR:
    """Counts the vectors SciPy multiplies by its matrix (for the product count)."""

    def __init__(self, matrix):
        import scipy.sparse

        count = [0]

        class Counted(scipy.sparse.csr_matrix):
            # Every product with a dense vector or block of vectors ends here.
            def _matmul_vector(self, other):
                count[0] += 1
                return super()._matmul_vector(other)

            def _matmul_multivector(self, other):
                count[0] += other.shape[1]
                return super()._matmul_multivector(other)

        self.matrix = Counted(matrix)
        self.count = count


def run_method(case, method, threads, repeats, out):
    """One measurement (in a child process): prints a JSON line."""
    setup = CASES[case]
    H, psi = ising_start(setup["n"])
    start_t, stop_t, num = setup["times"]
    times = np.linspace(start_t, stop_t, num)
    extra = {}
    if method.startswith("velmora"):
        from velmora import PauliSum, evolve, trajectory
        from velmora.models import pauli_label

        n = setup["n"]
        observables = [PauliSum([(pauli_label(n, {q: "Z"}), 1.0)]) for q in range(n)] + [H]
        reset_peak()
        baseline = rss_bytes()
        if case == "long":
            run = lambda: evolve(H, psi, stop_t, tol=TOL, num_threads=threads)  # noqa: E731
        elif method == "velmora-observables":
            run = lambda: trajectory(H, psi, times, observables=observables, tol=TOL,  # noqa
                                     num_threads=threads)
        elif method == "velmora-observables-8":  # a budget of 8 state vectors: two passes
            run = lambda: trajectory(H, psi, times, observables=observables, tol=TOL,  # noqa
                                     num_threads=threads, memory_budget=8 * 16 * 2**n)
        else:
            run = lambda: trajectory(H, psi, times, tol=TOL, num_threads=threads)  # noqa
    elif method == "scipy":
        from scipy.sparse.linalg import expm_multiply

        a = (-1j * H.to_sparse(max_bytes=8 << 30)).tocsr()
        reset_peak()
        baseline = rss_bytes()
        if case == "long":
            run = lambda: expm_multiply(stop_t * a, psi)  # noqa: E731
        else:
            run = lambda: expm_multiply(a, psi, start=0.0, stop=stop_t, num=num,  # noqa
                                        endpoint=True)
    elif method == "quspin":
        from quspin.tools.expm_multiply_parallel_core import ExpmMultiplyParallel

        op = ExpmMultiplyParallel(H.to_sparse(max_bytes=8 << 30), a=-1j * stop_t)
        work = np.zeros(2 * psi.size, dtype=np.complex128)
        reset_peak()
        baseline = rss_bytes()
        run = lambda: op.dot(psi, work_array=work)  # noqa: E731
    else:
        raise SystemExit(f"unknown method {method}")
    seconds = []
    result = None
    for _ in range(repeats):
        result = None
        begin = time.perf_counter()
        result = run()
        seconds.append(time.perf_counter() - begin)
    peak = peak_bytes()
    if method.startswith("velmora"):
        extra = dict(error=result.error, steps=result.steps, applications=result.applications,
                     kept_basis=result.kept_basis)
        data = result.state if case == "long" else (
            result.states if result.states is not None else result.expectations)
    else:
        data = result
    if method == "scipy":  # the product count, from a separate counted run
        from scipy.sparse.linalg import expm_multiply

        counted = CountingCSR(a)
        if case == "long":
            expm_multiply(stop_t * counted.matrix, psi)
        else:
            expm_multiply(counted.matrix, psi, start=0.0, stop=stop_t, num=num, endpoint=True)
        extra["applications"] = counted.count[0]
    np.save(out, np.asarray(data))
    print(json.dumps(dict(best_s=min(seconds), seconds=seconds, baseline_bytes=baseline,
                          peak_bytes=peak, **extra)))


def measure(case, method, threads, repeats, tmp):
    out = pathlib.Path(tmp) / f"{case}-{method}-{threads}.npy"
    env = dict(os.environ, OMP_NUM_THREADS=str(max(threads, 1)), OPENBLAS_NUM_THREADS="1")
    proc = subprocess.run([sys.executable, __file__, "--child", case, method, str(threads),
                           str(repeats), str(out)], capture_output=True, text=True, env=env,
                          timeout=3600)
    if proc.returncode != 0:
        raise RuntimeError(f"{case}/{method} failed:\n{proc.stderr}")
    record = json.loads(proc.stdout.strip().splitlines()[-1])
    record["data"] = np.load(out)
    return record


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--out", default=str(HERE / "results"))
    parser.add_argument("--child", nargs=5, help=argparse.SUPPRESS)
    parser.add_argument("--render-only", action="store_true",
                        help="rewrite trajectory.md from trajectory.json under --out")
    args = parser.parse_args()
    if args.child:
        case, method, threads, repeats, out = args.child
        run_method(case, method, int(threads), int(repeats), out)
        return
    if args.render_only:
        out = pathlib.Path(args.out)
        saved = json.loads((out / "trajectory.json").read_text())
        (out / "trajectory.md").write_text(markdown(saved["info"], saved["rows"]))
        return

    def log(text):
        print(text, file=sys.stderr, flush=True)

    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        plan = [("trajectory", "scipy", 1), ("trajectory", "velmora", 1),
                ("trajectory", "velmora", 2), ("trajectory", "velmora-observables", 1),
                ("trajectory", "velmora-observables-8", 1),
                ("long", "scipy", 1), ("long", "quspin", 1), ("long", "quspin", 2),
                ("long", "velmora", 1), ("long", "velmora", 2)]
        records = {}
        for case, method, threads in plan:
            log(f"{case}: {method}, {threads} thread(s)")
            try:
                records[case, method, threads] = measure(case, method, threads, args.repeats, tmp)
            except RuntimeError as failure:
                log(str(failure))
        for (case, method, threads), r in records.items():
            n = CASES[case]["n"]
            vector = 16 * 2**n
            scipy_record = records.get((case, "scipy", 1))
            quspin_record = records.get((case, "quspin", threads))
            row = dict(case=case, n=n, method=method, threads=threads, best_s=r["best_s"],
                       memory_vectors=(r["peak_bytes"] - r["baseline_bytes"]) / vector + 1,
                       applications=r.get("applications"), error=r.get("error"),
                       steps=r.get("steps"), kept_basis=r.get("kept_basis"))
            if scipy_record is not None and method != "scipy":
                row["vs_scipy"] = scipy_record["best_s"] / r["best_s"]
                if not method.startswith("velmora-observables"):
                    ref = scipy_record["data"]
                    row["diff_vs_scipy"] = float(np.abs(r["data"] - ref).max())
            if quspin_record is not None and method.startswith("velmora"):
                row["vs_quspin"] = quspin_record["best_s"] / r["best_s"]
            rows.append(row)
    info = dict(date=time.strftime("%Y-%m-%d"), machine=machine_name(),
                cores=os.cpu_count(), versions=library_versions(), tol=TOL, repeats=args.repeats)
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "trajectory.json").write_text(json.dumps(dict(info=info, rows=rows), indent=1))
    (out / "trajectory.md").write_text(markdown(info, rows))
    print(markdown(info, rows))


def fmt(value, pattern):
    return "" if value is None else format(value, pattern)


def markdown(info, rows):
    v = describe(info["versions"])
    lines = [
        f"Measured with `make bench` ({info['date']}, {info['machine']}, {info['cores']} cores; "
        f"{v}); best of {info['repeats']}; tol {info['tol']:g}. Memory: peak resident set of "
        "the call in state vectors, plus 1 for the input. `trajectory`: 16-spin Ising chain, "
        "201 times in [0, 20]; `long`: 20-spin Ising chain to t = 10. `velmora-observables` "
        "measures <Z_q> for every q and the energy instead of returning states; "
        "`velmora-observables-8` does the same within a memory budget of 8 state vectors "
        "(the basis is regenerated in a second pass).",
        "",
        "| case | method | threads | time [s] | vs SciPy | vs QuSpin | H-products | "
        "products/s | max diff vs SciPy | reported error | steps | memory [vectors] |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        rate = r["applications"] / r["best_s"] if r.get("applications") else None
        lines.append(
            f"| {r['case']} | {r['method']} | {r['threads']} | {r['best_s']:.3g} | "
            f"{fmt(r.get('vs_scipy'), '.1f')}{'×' if r.get('vs_scipy') else ''} | "
            f"{fmt(r.get('vs_quspin'), '.1f')}{'×' if r.get('vs_quspin') else ''} | "
            f"{fmt(r.get('applications'), 'd')} | {fmt(rate, '.0f')} | "
            f"{fmt(r.get('diff_vs_scipy'), '.1e')} | {fmt(r.get('error'), '.1e')} | "
            f"{fmt(r.get('steps'), 'd')} | {r['memory_vectors']:.1f} |")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    main()
