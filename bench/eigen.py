"""Benchmark of eigenpairs: velmora.eigsh against ARPACK (SciPy's eigsh), LOBPCG
and QuSpin on the same problems and tolerance, every measurement in its own
process (its peak memory is its own), one thread (OPENBLAS_NUM_THREADS=1 for
SciPy's BLAS too).

    python bench/eigen.py [--sizes 20] [--ks 1,4] [--cases ising,xxz,random4local,lih]
                          [--methods velmora,velmora-nocheck,arpack,scipy-csr,lobpcg,quspin]
                          [--out bench/results]
    python bench/eigen.py --quick      # 14 qubits, about a minute

With --merge, the rows already in --out/eigen.json are kept and only the runs
asked for are redone (the file is rewritten after every run), so that a long
benchmark can be run in parts.

Cases (bench/workloads.py defines the first three): ising = ising_chain(n), the
critical transverse-field chain; xxz = xxz_ring(n, 0.5); random4local =
random_local(n, 500, 4, seed=2024); lih = LiH in STO-3G at 1.45 Angstrom
(OpenFermion's stored molecular data, Jordan-Wigner, 12 qubits whatever
--sizes says). The k smallest eigenvalues at tol = 1e-10:

  velmora          velmora.eigsh(H, k, tol=1e-10, num_threads=1): its default, with
                   the check for eigenvalues a one-vector Krylov space misses;
  velmora-nocheck  the same with check_missed=False (no check, as ARPACK);
  velmora-2threads the default on two threads (the same bytes);
  arpack           scipy.sparse.linalg.eigsh on H.as_linear_operator(1) (velmora's
                   product): ARPACK's product count on the same operator;
  scipy-csr        H.to_sparse() (CSR) then SciPy's eigsh on it: the time a SciPy user
                   spends, matrix build included (skipped where the CSR matrix
                   exceeds 4 GiB);
  lobpcg           scipy.sparse.linalg.lobpcg with a block of k (at least 4) random
                   vectors on the operator, tol 1e-10 * sum |c| on the residuals,
                   no preconditioner; products are columns multiplied;
  quspin           QuSpin's hamiltonian in the full spin basis (pauli=1) built from
                   the same terms, then its eigsh (ARPACK on QuSpin's CSR matrix),
                   build included (skipped where the CSR would exceed 4 GiB).

Recorded per run: wall time, products H @ v, the largest residual
||H v - lambda v|| (computed with velmora's product for every method), the
eigenvalues, and the peak resident set above the state after the imports.
Writes eigen.md and eigen.json under --out.
"""

import argparse
import json
import os
import pathlib
import platform
import subprocess
import sys
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from environment import describe, library_versions  # noqa: E402
from sectors import git_commit, quspin_static, velmora_version  # noqa: E402
from worker import peak_bytes, reset_peak, rss_bytes  # noqa: E402
from workloads import CSR_LIMIT_BYTES, operator  # noqa: E402

TOL = 1e-10
CASES = ("ising", "xxz", "random4local", "lih")
METHODS = ("velmora", "velmora-nocheck", "velmora-2threads", "arpack", "scipy-csr", "lobpcg",
           "quspin")


def lih():
    """LiH in STO-3G at 1.45 Angstrom, Jordan-Wigner, as a PauliSum (12 qubits)."""
    import openfermion

    from velmora import PauliSum

    path = pathlib.Path(openfermion.__file__).parent / "testing" / "data" / \
        "H1-Li1_sto-3g_singlet_1.45"
    molecule = openfermion.MolecularData(filename=str(path))
    op = openfermion.jordan_wigner(molecule.get_molecular_hamiltonian())
    return PauliSum.from_openfermion(op, 12)


def hamiltonian(case, n):
    return lih() if case == "lih" else operator(case, n)


class Counted:
    """A LinearOperator over velmora's product that counts columns multiplied."""

    def __init__(self, H):
        import scipy.sparse.linalg as sla

        self.count = 0
        inner = H.as_linear_operator(num_threads=1)

        def matvec(v):
            self.count += 1
            return inner.matvec(v)

        def matmat(x):
            self.count += x.shape[1]
            return np.column_stack([inner.matvec(x[:, j]) for j in range(x.shape[1])])

        self.op = sla.LinearOperator(inner.shape, matvec=matvec, matmat=matmat,
                                     dtype=np.complex128)


class Skipped(Exception):
    pass


def csr_fits(H):
    flips = len({label.translate(str.maketrans("IXYZ", "0110")) for label, _ in H.terms})
    return (2**H.num_qubits) * flips * 20 <= CSR_LIMIT_BYTES


def run(method, case, n, k):
    import scipy.sparse.linalg as sla

    import velmora

    velmora.eigsh(velmora.models.ising_chain(4), 1)  # one-time costs off the clock
    H = hamiltonian(case, n)
    H.apply(np.ones(2**H.num_qubits), 1)
    reset_peak()
    base = rss_bytes()
    record = {"method": method, "case": case, "n": H.num_qubits, "k": k}
    start = time.perf_counter()
    if method in ("velmora", "velmora-nocheck", "velmora-2threads"):
        result = velmora.eigsh(H, k, tol=TOL, num_threads=2 if method == "velmora-2threads" else 1,
                               check_missed=method != "velmora-nocheck")
        values, vectors = result.eigenvalues, result.eigenvectors
        record.update(products=result.applications, check_products=result.check_applications,
                      restarts=result.restarts)
    elif method == "arpack":
        counted = Counted(H)
        values, columns = sla.eigsh(counted.op, k, which="SA", tol=TOL)
        vectors = columns.T
        record["products"] = counted.count
    elif method == "scipy-csr":
        if not csr_fits(H):
            raise Skipped("the CSR matrix exceeds 4 GiB")
        matrix = H.to_sparse(max_bytes=CSR_LIMIT_BYTES)
        record["build_seconds"] = time.perf_counter() - start
        counter = {"count": 0}

        def matvec(v):
            counter["count"] += 1
            return matrix @ v

        op = sla.LinearOperator(matrix.shape, matvec=matvec, dtype=np.complex128)
        values, columns = sla.eigsh(op, k, which="SA", tol=TOL)
        vectors = columns.T
        record["products"] = counter["count"]
    elif method == "lobpcg":
        counted = Counted(H)
        block = max(k, 4)
        rng = np.random.default_rng(1)
        dim = 2**H.num_qubits
        x = rng.normal(size=(dim, block)) + 1j * rng.normal(size=(dim, block))
        # Residual norms within tol times a bound of ||H|| (sum of |c|): no
        # tighter than the others' tol * |lambda|.
        values, columns = sla.lobpcg(counted.op, x, largest=False, tol=TOL * H.norm_bound,
                                     maxiter=20000)
        order = np.argsort(values)[:k]
        values, vectors = values[order], columns[:, order].T
        record["products"] = counted.count
    elif method == "quspin":
        if not csr_fits(H):
            raise Skipped("the CSR matrix exceeds 4 GiB")
        from quspin.basis import spin_basis_1d
        from quspin.operators import hamiltonian as quspin_hamiltonian

        n_sites = H.num_qubits
        basis = spin_basis_1d(n_sites, pauli=1)
        Hq = quspin_hamiltonian(quspin_static(H, n_sites), [], basis=basis, dtype=np.complex128,
                                check_symm=False, check_herm=False, check_pcon=False)
        record["build_seconds"] = time.perf_counter() - start
        values, columns = Hq.eigsh(k=k, which="SA", tol=TOL)
        # QuSpin's basis lists states from the largest integer down.
        vectors = columns[::-1].T
    else:
        raise ValueError(method)
    record["seconds"] = time.perf_counter() - start
    record["peak_mib"] = (peak_bytes() - base) / 2**20
    order = np.argsort(values)
    values, vectors = np.asarray(values)[order], np.asarray(vectors)[order]
    record["eigenvalues"] = [float(v) for v in values]
    record["max_residual"] = max(
        float(np.linalg.norm(H.apply(v / np.linalg.norm(v), 1) - e * v / np.linalg.norm(v)))
        for e, v in zip(values, vectors))
    return record


def child(method, case, n, k, out):
    try:
        record = run(method, case, n, k)
    except Skipped as why:
        record = {"method": method, "case": case, "n": n, "k": k, "skipped": str(why)}
    pathlib.Path(out).write_text(json.dumps(record))


def measure(method, case, n, k, tmp):
    out = pathlib.Path(tmp) / f"{method}-{case}-{n}-{k}.json"
    proc = subprocess.run([sys.executable, __file__, "--child", method, case, str(n), str(k),
                           str(out)], capture_output=True, text=True)
    if proc.returncode != 0:
        return {"method": method, "case": case, "n": n, "k": k,
                "failed": proc.stderr.strip().splitlines()[-1:]}
    return json.loads(out.read_text())


def fmt(value, pattern):
    return "–" if value is None else format(value, pattern)


def markdown(info, rows):
    lines = [
        "# Eigenpairs: velmora.eigsh against ARPACK, LOBPCG and QuSpin",
        "",
        f"`{info['command']}` on {info['machine']}, one thread; {info['versions']}; "
        f"velmora {info['velmora']} ({info['commit']}). tol = {TOL:g}, the k smallest "
        "eigenvalues.",
        "",
        "Products H @ v (velmora: with the check for missed eigenvalues, its share in "
        "brackets; without it) and wall times; SciPy's and QuSpin's times include building "
        "their matrix. Ratios: the peer's time over velmora's default run.",
        "",
        "| case | n | k | velmora products (check) | no check | ARPACK | LOBPCG | velmora s "
        "| no check s | 2 threads s | SciPy CSR s (build) | ratio | QuSpin s (build) | ratio "
        "| largest residual | peak MiB velmora / SciPy CSR |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    groups = {}
    for r in rows:
        groups.setdefault((r["case"], r["n"], r["k"]), {})[r["method"]] = r
    for (case, n, k), g in groups.items():
        def get(method, key):
            return g.get(method, {}).get(key)

        v = g.get("velmora", {})
        csr = g.get("scipy-csr", {})
        qs = g.get("quspin", {})

        def timed(r):
            if "seconds" not in r:
                return "–"
            return f"{r['seconds']:.2f} ({r.get('build_seconds', 0):.2f})"

        def ratio(r):
            if "seconds" not in r or "seconds" not in v:
                return "–"
            return f"{r['seconds'] / v['seconds']:.1f}×"

        lines.append(
            f"| {case} | {n} | {k} | {fmt(v.get('products'), 'd')} "
            f"({fmt(v.get('check_products'), 'd')}) | {fmt(get('velmora-nocheck', 'products'), 'd')} "
            f"| {fmt(get('arpack', 'products'), 'd')} | {fmt(get('lobpcg', 'products'), 'd')} "
            f"| {fmt(v.get('seconds'), '.2f')} | {fmt(get('velmora-nocheck', 'seconds'), '.2f')} "
            f"| {fmt(get('velmora-2threads', 'seconds'), '.2f')} "
            f"| {timed(csr)} | {ratio(csr)} | {timed(qs)} | {ratio(qs)} "
            f"| {fmt(v.get('max_residual'), '.1e')} "
            f"| {fmt(v.get('peak_mib'), '.0f')} / {fmt(csr.get('peak_mib'), '.0f')} |")
    missing = [f"- {r['method']}, {r['case']} n = {r['n']}, k = {r['k']}: "
               f"{r.get('skipped') or ' '.join(r.get('failed') or [])}"
               for r in rows if "seconds" not in r]
    if missing:
        lines += ["", "Not run:", ""] + missing
    lines += ["", "Eigenvalues agree between methods to (largest difference from velmora's):", ""]
    for (case, n, k), g in groups.items():
        ref = g.get("velmora", {}).get("eigenvalues")
        if not ref:
            continue
        diffs = []
        for method, r in g.items():
            if method != "velmora" and r.get("eigenvalues"):
                diffs.append(f"{method} {max(abs(a - b) for a, b in zip(ref, r['eigenvalues'])):.1e}")
        lines.append(f"- {case} n = {n}, k = {k}: " + ", ".join(diffs))
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--child", nargs=5, help=argparse.SUPPRESS)
    parser.add_argument("--sizes", default="20")
    parser.add_argument("--ks", default="1,4")
    parser.add_argument("--cases", default=",".join(CASES))
    parser.add_argument("--methods", default=",".join(METHODS))
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--merge", action="store_true")
    parser.add_argument("--out", default=str(HERE / "results"))
    args = parser.parse_args()
    if args.child:
        method, case, n, k, out = args.child
        child(method, case, int(n), int(k), out)
        return
    sizes = [14] if args.quick else [int(s) for s in args.sizes.split(",")]
    ks = [int(k) for k in args.ks.split(",")]
    methods = args.methods.split(",")
    info = {
        "command": "python bench/eigen.py " + " ".join(sys.argv[1:]),
        "machine": f"{platform.machine()}, {os.cpu_count()} cores",
        "versions": describe(library_versions(("quspin", "openfermion"))),
        "velmora": velmora_version(), "commit": git_commit(),
    }
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    name = "eigen-quick" if args.quick else "eigen"
    results = out / f"{name}.json"
    earlier = json.loads(results.read_text()) if args.merge and results.is_file() else None
    rows = earlier["rows"] if earlier else []
    if earlier:
        info["command"] = earlier["info"]["command"] + "`, then `" + info["command"]

    def key(r):
        return (r["method"], r["case"], r["n"], r["k"])

    with tempfile.TemporaryDirectory() as tmp:
        for case in args.cases.split(","):
            for n in ([12] if case == "lih" else sizes):
                for k in ks:
                    for method in methods:
                        record = measure(method, case, n, k, tmp)
                        rows = [r for r in rows if key(r) != key(record)] + [record]
                        results.write_text(json.dumps({"info": info, "rows": rows}, indent=1))
                        print(json.dumps({key: record.get(key) for key in (
                            "method", "case", "n", "k", "products", "seconds", "max_residual",
                            "skipped", "failed")}), flush=True)
    order = {(c, m): i for i, (c, m) in enumerate(
        (c, m) for c in CASES for m in METHODS)}
    rows.sort(key=lambda r: (order.get((r["case"], r["method"]), 0), r["n"], r["k"]))
    results.write_text(json.dumps({"info": info, "rows": rows}, indent=1))
    (out / f"{name}.md").write_text(markdown(info, rows))
    print(markdown(info, rows))


if __name__ == "__main__":
    main()
