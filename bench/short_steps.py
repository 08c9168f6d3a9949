"""Benchmark of short evolution steps, on one thread: velmora.evolve against
SciPy's expm_multiply and QuSpin's ExpmMultiplyParallel (both on a prebuilt
CSR matrix of the same words) for one short time, and a loop of 100 steps of
0.1 from a random state, as users write it with QuSpin.

    python bench/short_steps.py [--repeats 5] [--out bench/results]

Cases (XXZ ring, Delta = 0.5, random normalised start state):
  single  16 sites, one evolution to t = 0.001, 0.01 and 0.1; velmora at tol
          1e-12 (SciPy and QuSpin work to double precision, no tolerance).
  loop    18 sites, 100 evolutions of 0.1, each from the previous result.
Writes short_steps.md and short_steps.json under --out.
"""

import os

# One thread everywhere, set before NumPy, SciPy or QuSpin start their pools.
os.environ["OMP_NUM_THREADS"] = "1"
os.environ["OPENBLAS_NUM_THREADS"] = "1"

import argparse  # noqa: E402
import json  # noqa: E402
import pathlib  # noqa: E402
import platform  # noqa: E402
import statistics  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from environment import describe, library_versions  # noqa: E402

TOL = 1e-12
SINGLE_N = 16
SINGLE_TIMES = (0.001, 0.01, 0.1)
LOOP_N = 18
LOOP_STEPS = 100
LOOP_DT = 0.1


def start(n, seed=7):
    rng = np.random.default_rng(seed)
    psi = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    return psi / np.linalg.norm(psi)


def median_time(run, repeats):
    seconds = []
    result = None
    for _ in range(repeats):
        begin = time.perf_counter()
        result = run()
        seconds.append(time.perf_counter() - begin)
    return statistics.median(seconds), result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--out", default=str(HERE / "results"))
    args = parser.parse_args()

    from quspin.tools.expm_multiply_parallel_core import ExpmMultiplyParallel
    from scipy.sparse.linalg import expm_multiply

    from velmora import evolve
    from velmora.models import xxz_ring

    rows = []
    H = xxz_ring(SINGLE_N)
    psi = start(SINGLE_N)
    matrix = H.to_sparse().tocsr()
    for t in SINGLE_TIMES:
        a = (-1j * t) * matrix
        scipy_s, reference = median_time(lambda: expm_multiply(a, psi), args.repeats)
        op = ExpmMultiplyParallel(matrix, a=-1j * t)
        work = np.zeros(2 * psi.size, dtype=np.complex128)
        quspin_s, quspin_state = median_time(lambda: op.dot(psi, work_array=work), args.repeats)
        ours_s, ours = median_time(lambda: evolve(H, psi, t, tol=TOL, num_threads=1),
                                   args.repeats)
        rows.append(dict(case="single", n=SINGLE_N, t=t, velmora_s=ours_s, scipy_s=scipy_s,
                         quspin_s=quspin_s, applications=ours.applications, error=ours.error,
                         diff_scipy=float(np.linalg.norm(ours.state - reference)),
                         diff_quspin=float(np.linalg.norm(quspin_state - reference))))
        print(rows[-1], file=sys.stderr, flush=True)

    H = xxz_ring(LOOP_N)
    psi0 = start(LOOP_N)
    matrix = H.to_sparse().tocsr()

    def quspin_loop():
        op = ExpmMultiplyParallel(matrix, a=-1j * LOOP_DT)
        work = np.zeros(2 * psi0.size, dtype=np.complex128)
        psi = psi0.copy()
        for _ in range(LOOP_STEPS):
            psi = op.dot(psi, work_array=work, overwrite_v=True)
        return psi

    def velmora_loop():
        psi = psi0
        applications = 0
        error = 0.0
        for _ in range(LOOP_STEPS):
            result = evolve(H, psi, LOOP_DT, tol=TOL, num_threads=1)
            psi, applications, error = result.state, applications + result.applications, \
                error + result.error
        return psi, applications, error

    loop_repeats = max(1, args.repeats // 2)
    quspin_s, quspin_state = median_time(quspin_loop, loop_repeats)
    ours_s, (state, applications, error) = median_time(velmora_loop, loop_repeats)
    rows.append(dict(case="loop", n=LOOP_N, t=LOOP_DT * LOOP_STEPS, velmora_s=ours_s,
                     scipy_s=None, quspin_s=quspin_s, applications=applications, error=error,
                     diff_scipy=None, diff_quspin=float(np.linalg.norm(state - quspin_state))))
    print(rows[-1], file=sys.stderr, flush=True)

    info = dict(date=time.strftime("%Y-%m-%d"), machine=platform.machine(),
                cores=os.cpu_count(), versions=library_versions(), tol=TOL,
                repeats=args.repeats)
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "short_steps.json").write_text(json.dumps(dict(info=info, rows=rows), indent=1))
    (out / "short_steps.md").write_text(markdown(info, rows))
    print(markdown(info, rows))


def fmt(value, pattern, suffix=""):
    return "" if value is None else format(value, pattern) + suffix


def markdown(info, rows):
    lines = [
        f"Measured with `make bench` ({info['date']}, {info['machine']}, {info['cores']} cores; "
        f"{describe(info['versions'])}); one thread; median of {info['repeats']} "
        f"(the loop: of {max(1, info['repeats'] // 2)}); velmora at tol {info['tol']:g}. "
        f"`single`: one evolution of a random state on the {SINGLE_N}-site XXZ ring; `loop`: "
        f"{LOOP_STEPS} evolutions of {LOOP_DT} in a row on the {LOOP_N}-site ring, each "
        "velmora call a separate `evolve` (QuSpin's operator built once, inside the timing). "
        "Differences are 2-norms against SciPy (single) or QuSpin (loop) for a unit state.",
        "",
        "| case | n | t | velmora [s] | SciPy [s] | QuSpin [s] | vs SciPy | vs QuSpin | "
        "velmora products | velmora error | diff velmora | diff QuSpin vs SciPy |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        vs_scipy = r["scipy_s"] / r["velmora_s"] if r["scipy_s"] else None
        vs_quspin = r["quspin_s"] / r["velmora_s"]
        lines.append(
            f"| {r['case']} | {r['n']} | {r['t']:g} | {r['velmora_s']:.3g} | "
            f"{fmt(r['scipy_s'], '.3g')} | {r['quspin_s']:.3g} | {fmt(vs_scipy, '.1f', '×')} | "
            f"{vs_quspin:.1f}× | {r['applications']} | {r['error']:.1e} | "
            f"{fmt(r['diff_scipy'] if r['diff_scipy'] is not None else r['diff_quspin'], '.1e')}"
            f" | {fmt(r['diff_quspin'] if r['case'] == 'single' else None, '.1e')} |")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    main()
