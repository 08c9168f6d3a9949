"""Benchmark of ground states in symmetry sectors: velmora against QuSpin, end to
end (basis, operator, eigensolver), every measurement in its own process, one
thread (OMP_NUM_THREADS=1, OPENBLAS_NUM_THREADS=1), and the sector product with
kept images against SciPy's CSR product of the same matrix.

    python bench/sector_ground.py [--cases ring24,j1j2-4x6,ring20]
                                  [--methods velmora,velmora-lean,quspin,products]
                                  [--repeats 1] [--out bench/results]
    python bench/sector_ground.py --quick      # ring16 and j1j2-4x4, well under a minute

Cases:
  ringL       the Heisenberg ring, heisenberg_chain(L, periodic=True), in the
              sector of weight L/2, momentum 0, parity +1, spin flip +1
              (Sector.chain); QuSpin: spin_basis_1d(L, Nup=L//2, pauli=1,
              kblock=0, pblock=1, zblock=1).
  j1j2-XxY    the J1-J2 model on the X x Y torus at J2 = 0.5
              (velmora.models.j1j2_square), weight N/2, momentum (0, 0),
              reflections x and y +1, spin flip +1 (Sector.lattice); QuSpin:
              spin_basis_general with the same permutations and indices (its site
              s is velmora's qubit N - 1 - s).

Methods (each run first solves the smallest case of its kind in the same process,
so that one-time costs stay off the clock):
  velmora       Sector, H.in_sector(sector), eigsh(op, k=1, tol=1e-10): the
                defaults, so the images are kept by eigsh's first product (the
                images policy of docs/concepts/memory.md);
  velmora-lean  the same with precompute=False: every product on the fly;
  quspin        the basis, hamiltonian(...) from the same terms (float64), and its
                eigsh(k=1, which="SA") (ARPACK on QuSpin's CSR matrix, its default
                tolerance);
  products      one product H @ v on the sector three ways, the median of 20 after
                one warm-up: velmora on the fly (precompute=False), velmora with
                kept images (precompute=True), SciPy's CSR product of
                op.to_sparse() (the same matrix).

Recorded: wall times of the parts and in total, products H @ v, the ground
energy, peak resident set above the state after the imports; for products the
three times and the ratio CSR / images. Writes sector_ground.md and
sector_ground.json under --out.
"""

import argparse
import json
import os
import pathlib
import platform
import subprocess
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from environment import describe, library_versions, machine_name  # noqa: E402
from sectors import git_commit, quspin_static, velmora_version  # noqa: E402
from worker import peak_bytes, reset_peak, rss_bytes  # noqa: E402

TOL = 1e-10
CASES = ("ring24", "j1j2-4x6", "ring20")
QUICK_CASES = ("ring16", "j1j2-4x4")
METHODS = ("velmora", "velmora-lean", "quspin", "products")
WARM_UP = {"ring": "ring8", "j1j2": "j1j2-2x4"}


def parse(case):
    """('ring', (L,)) or ('j1j2', (X, Y))."""
    kind, _, size = case.partition("-") if case.startswith("j1j2") else ("ring", "", case[4:])
    if kind == "ring":
        return kind, (int(size),)
    x, y = size.split("x")
    return kind, (int(x), int(y))


def problem(case):
    """(H, sector) of a case in velmora."""
    from velmora import Sector
    from velmora.models import heisenberg_chain, j1j2_square

    kind, shape = parse(case)
    if kind == "ring":
        (n,) = shape
        return (heisenberg_chain(n, periodic=True),
                Sector.chain(n, weight=n // 2, momentum=0, parity=1, spin_flip=1, num_threads=1))
    n = shape[0] * shape[1]
    return (j1j2_square(shape, 0.5),
            Sector.lattice(shape, weight=n // 2, momentum=(0, 0),
                           point_group=[("reflect_x", 1), ("reflect_y", 1)], spin_flip=1,
                           num_threads=1))


def run_velmora(case, precompute):
    from velmora import Sector, eigsh

    start = time.perf_counter()
    H, sector = problem(case)
    basis_s = time.perf_counter() - start
    start = time.perf_counter()
    op = H.in_sector(sector, precompute=precompute, num_threads=1)
    operator_s = time.perf_counter() - start
    start = time.perf_counter()
    result = eigsh(op, k=1, tol=TOL, num_threads=1)
    solve_s = time.perf_counter() - start
    assert isinstance(sector, Sector)
    return dict(states=len(sector), words=len(H), basis_s=basis_s, operator_s=operator_s,
                solve_s=solve_s, products=int(result.applications),
                energy=float(result.eigenvalues[0]), image_bytes=int(op.image_bytes))


def run_quspin(case):
    from quspin.basis import spin_basis_1d, spin_basis_general
    from quspin.operators import hamiltonian

    H, sector = problem(case)  # the terms and permutations, off the clock
    n = H.num_qubits
    static = [[opstr, [[c.real] + sites for c, *sites in couplings]]
              for opstr, couplings in quspin_static(H, n)]
    kind, _ = parse(case)
    start = time.perf_counter()
    if kind == "ring":
        basis = spin_basis_1d(n, Nup=n // 2, pauli=1, kblock=0, pblock=1, zblock=1)
    else:
        blocks = {f"block{j}": (np.array([n - 1 - perm[n - 1 - s] for s in range(n)]), k)
                  for j, (perm, k) in enumerate(sector.symmetries)}
        blocks["zblock"] = (-(np.arange(n) + 1), 0)
        basis = spin_basis_general(n, Nup=n // 2, pauli=1, **blocks)
    basis_s = time.perf_counter() - start
    start = time.perf_counter()
    ham = hamiltonian(static, [], basis=basis, dtype=np.float64, check_symm=False,
                      check_herm=False, check_pcon=False)
    operator_s = time.perf_counter() - start
    start = time.perf_counter()
    energy = ham.eigsh(k=1, which="SA", return_eigenvectors=False)[0]
    solve_s = time.perf_counter() - start
    return dict(states=int(basis.Ns), words=len(H), basis_s=basis_s, operator_s=operator_s,
                solve_s=solve_s, products=None, energy=float(energy))


def run_products(case):
    H, sector = problem(case)
    fly = H.in_sector(sector, precompute=False, num_threads=1)
    kept = H.in_sector(sector, precompute=True, num_threads=1)
    csr = kept.to_sparse()
    rng = np.random.default_rng(1)
    v = rng.normal(size=len(sector)) + 1j * rng.normal(size=len(sector))

    def median(apply, repeats=20):
        apply()
        times = []
        for _ in range(repeats):
            start = time.perf_counter()
            apply()
            times.append(time.perf_counter() - start)
        return float(np.median(times))

    record = dict(states=len(sector), words=len(H), nnz=int(csr.nnz),
                  image_bytes=int(kept.image_bytes),
                  csr_bytes=int(csr.data.nbytes + csr.indices.nbytes + csr.indptr.nbytes),
                  fly_s=median(lambda: fly.apply(v, num_threads=1), 3),
                  images_s=median(lambda: kept.apply(v, num_threads=1)),
                  csr_s=median(lambda: csr @ v))
    record["csr_over_images"] = record["csr_s"] / record["images_s"]
    return record


def child(method, case):
    runners = {"velmora": lambda c: run_velmora(c, None),
               "velmora-lean": lambda c: run_velmora(c, False),
               "quspin": run_quspin, "products": run_products}
    runner = runners[method]
    runner(WARM_UP[parse(case)[0]])
    reset_peak()
    baseline = rss_bytes()
    start = time.perf_counter()
    record = runner(case)
    record["total_s"] = time.perf_counter() - start
    record["peak_above_imports_bytes"] = peak_bytes() - baseline
    print(json.dumps(record))


def measure(method, case, repeats):
    best = None
    for _ in range(repeats):
        out = subprocess.run([sys.executable, __file__, "--child", method, case],
                             capture_output=True, text=True, check=True)
        record = json.loads(out.stdout.strip().splitlines()[-1])
        if best is None or record["total_s"] < best["total_s"]:
            best = record
    return dict(method=method, case=case, **best)


def fmt(value, pattern):
    return "" if value is None else format(value, pattern)


def markdown(info, rows):
    lines = [f"# Ground states in symmetry sectors ({info['date']})", "",
             f"velmora {info['velmora']} ({info['commit']}), {describe(info['libraries'])}, "
             f"Python {info['python']}, {info['machine']}; one thread; tol {TOL:g}.", "",
             "| case | states | method | basis [s] | operator [s] | eigsh [s] | total [s] | "
             "QuSpin / velmora | products | energy | peak above imports [MiB] |",
             "|---|---|---|---|---|---|---|---|---|---|---|"]
    totals = {(r["case"], r["method"]): r["total_s"] for r in rows if "solve_s" in r}
    for r in rows:
        if "solve_s" not in r:
            continue
        quspin = totals.get((r["case"], "quspin"))
        ratio = quspin / r["total_s"] if quspin and r["method"] != "quspin" else None
        lines.append(
            f"| {r['case']} | {r['states']} | {r['method']} | {r['basis_s']:.3f} | "
            f"{r['operator_s']:.3f} | {r['solve_s']:.3f} | {r['total_s']:.3f} | "
            f"{fmt(ratio, '.1f')} | {fmt(r['products'], 'd')} | {r['energy']:.10f} | "
            f"{r['peak_above_imports_bytes'] / 2**20:.0f} |")
    products = [r for r in rows if r["method"] == "products"]
    if products:
        lines += ["", "| case | states | nnz | on the fly [ms] | images [ms] | SciPy CSR [ms] | "
                  "CSR / images | images [MiB] | CSR [MiB] |", "|---|---|---|---|---|---|---|---|---|"]
        for r in products:
            lines.append(
                f"| {r['case']} | {r['states']} | {r['nnz']} | {1e3 * r['fly_s']:.3f} | "
                f"{1e3 * r['images_s']:.3f} | {1e3 * r['csr_s']:.3f} | "
                f"{r['csr_over_images']:.2f} | {r['image_bytes'] / 2**20:.1f} | "
                f"{r['csr_bytes'] / 2**20:.1f} |")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--cases", default=",".join(CASES))
    parser.add_argument("--methods", default=",".join(METHODS))
    parser.add_argument("--repeats", type=int, default=1)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--out", default=str(HERE / "results"))
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    cases = QUICK_CASES if args.quick else [c.strip() for c in args.cases.split(",") if c.strip()]
    methods = [m.strip() for m in args.methods.split(",") if m.strip()]
    unknown = set(methods) - set(METHODS)
    if unknown:
        parser.error(f"unknown methods {sorted(unknown)}; the methods are {', '.join(METHODS)}")
    rows = []
    for case in cases:
        parse(case)
        for method in methods:
            row = measure(method, case, args.repeats)
            rows.append(row)
            print(json.dumps(row), flush=True)
    versions = library_versions()
    info = dict(date=time.strftime("%Y-%m-%d"), velmora=velmora_version(), commit=git_commit(),
                machine=f"{machine_name()}, {os.cpu_count()} cores", libraries=versions,
                python=platform.python_version())
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "sector_ground.json").write_text(json.dumps(dict(info=info, rows=rows), indent=1))
    (out / "sector_ground.md").write_text(markdown(info, rows))
    print(markdown(info, rows))


if __name__ == "__main__":
    main()
