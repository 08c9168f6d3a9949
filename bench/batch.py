"""Benchmark of batched products on one thread: velmora's PauliSum.apply on k
states at once against single calls, and QuSpin's hamiltonian.dot on k column
vectors against its single calls.

    python bench/batch.py [--qubits 20] [--repeats 5] [--out bench/results]

Workloads (--qubits n, random normalised states, one per call or row/column):
  ising       the open transverse-field Ising chain, velmora.models.ising_chain
              (2n - 1 terms)
  heisenberg  the open Heisenberg chain, velmora.models.heisenberg_chain
              (3(n - 1) terms)
Methods, each measured in a process of its own with OMP_NUM_THREADS=1:
  velmora single   8 calls H.apply(psi_s, num_threads=0) on 8 different states
  velmora k        one call H.apply(X, num_threads=0) on a (k, 2^n) array,
                   k = 1, 8, 16 (rows as states)
  quspin single    8 calls ham.dot(psi_s), ham a quspin.operators.hamiltonian
                   of the same words on spin_basis_1d(n, pauli=1)
  quspin k         one call ham.dot(V) on a C-ordered (2^n, k) array of k
                   column vectors, k = 8, 16
Every timing is of whole calls as users make them (argument checks, the copy of
the input, the allocation of the result), the median of --repeats after three
warm-up calls; the figure is time per state. Writes batch.md and batch.json
under --out.
"""

import os

# One thread everywhere, set before NumPy, SciPy or QuSpin start their pools.
os.environ["OMP_NUM_THREADS"] = "1"
os.environ["OPENBLAS_NUM_THREADS"] = "1"
os.environ["MKL_NUM_THREADS"] = "1"

import argparse  # noqa: E402
import json  # noqa: E402
import pathlib  # noqa: E402
import platform  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from environment import describe, library_versions  # noqa: E402

QUBITS = 20
WORKLOADS = ("ising", "heisenberg")
SINGLE_CALLS = 8
VELMORA_BATCHES = (1, 8, 16)
QUSPIN_BATCHES = (8, 16)


def operator(workload, n):
    from velmora.models import heisenberg_chain, ising_chain

    if workload == "ising":
        return ising_chain(n)
    if workload == "heisenberg":
        return heisenberg_chain(n)
    raise ValueError(f"unknown workload {workload!r}; known: {', '.join(WORKLOADS)}")


def states(n, k, seed=11):
    """k random normalised states of n qubits as the rows of a (k, 2^n) array."""
    rng = np.random.default_rng(seed)
    psi = rng.normal(size=(k, 2**n)) + 1j * rng.normal(size=(k, 2**n))
    return psi / np.linalg.norm(psi, axis=1, keepdims=True)


def quspin_hamiltonian(H, n):
    """QuSpin's hamiltonian with the matrix of H (real when H's is)."""
    from quspin.basis import spin_basis_1d
    from quspin.operators import hamiltonian

    from sectors import quspin_static

    static = quspin_static(H, n)
    real = all(c.imag == 0 for _, c in H.terms)
    if real:
        static = [[opstr, [[c.real] + sites for c, *sites in couplings]]
                  for opstr, couplings in static]
    basis = spin_basis_1d(n, pauli=1)
    return hamiltonian(static, [], basis=basis, dtype=np.float64 if real else np.complex128,
                       check_symm=False, check_herm=False, check_pcon=False)


def median_seconds(call, repeats, warm_up=3):
    # Warm-up calls: the libraries loaded, and the allocator settled (glibc
    # adapts its thresholds to the block sizes a process frees, which takes a
    # few calls; until then fresh pages are faulted in on every call).
    for _ in range(warm_up):
        call()
    seconds = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        seconds.append(time.perf_counter() - start)
    return statistics.median(seconds), seconds


def child(method, workload, n, k, repeats, out):
    """One measurement: prints a JSON line; saves the first state's product."""
    H = operator(workload, n)
    count = SINGLE_CALLS if k == 0 else k
    psi = states(n, count)
    if method == "velmora":
        if k == 0:
            rows = [np.ascontiguousarray(row) for row in psi]
            call = lambda: [H.apply(row, num_threads=0) for row in rows]  # noqa: E731
        else:
            call = lambda: H.apply(psi, num_threads=0)  # noqa: E731
        first = H.apply(psi[0], num_threads=0)
    elif method == "quspin":
        ham = quspin_hamiltonian(H, n)
        if k == 0:
            rows = [np.ascontiguousarray(row) for row in psi]
            call = lambda: [ham.dot(row) for row in rows]  # noqa: E731
        else:
            columns = np.ascontiguousarray(psi.T)  # (2^n, k), C-ordered
            call = lambda: ham.dot(columns)  # noqa: E731
        first = ham.dot(np.ascontiguousarray(psi[0]))
    else:
        raise SystemExit(f"unknown method {method}")
    median, seconds = median_seconds(call, repeats)
    np.save(out, first)
    print(json.dumps(dict(seconds=median, all_seconds=seconds, states=count,
                          per_state_s=median / count, words=len(H))))


def measure(method, workload, n, k, repeats, tmp):
    out = str(pathlib.Path(tmp) / f"{method}-{workload}-{k}.npy")
    proc = subprocess.run([sys.executable, __file__, "--child", method, workload, str(n), str(k),
                           str(repeats), out], capture_output=True, text=True, timeout=3600)
    if proc.returncode != 0:
        lines = proc.stderr.strip().splitlines()
        raise RuntimeError(lines[-1] if lines else f"exit status {proc.returncode}")
    return json.loads(proc.stdout.strip().splitlines()[-1]), out


def quspin_available():
    probe = "import quspin.basis, quspin.operators"
    return subprocess.run([sys.executable, "-c", probe], capture_output=True).returncode == 0


def kernel_isa():
    """The instruction set velmora's kernel picks here, from the CPU flags."""
    try:
        with open("/proc/cpuinfo") as info:
            flags = next((line.split(":", 1)[1].split() for line in info
                          if line.startswith("flags")), [])
    except OSError:
        return "unknown"
    return "avx512" if "avx512f" in flags else "avx2" if "avx2" in flags else "generic"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qubits", type=int, default=QUBITS)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--out", default=str(HERE / "results"))
    parser.add_argument("--child", nargs=6, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        method, workload, n, k, repeats, out = args.child
        child(method, workload, int(n), int(k), int(repeats), out)
        return

    def log(text):
        print(text, file=sys.stderr, flush=True)

    have_quspin = quspin_available()
    if not have_quspin:
        log("QuSpin is not importable: velmora alone")
    n = args.qubits
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for workload in WORKLOADS:
            plan = [("velmora", k) for k in (0, *VELMORA_BATCHES)]
            if have_quspin:
                plan += [("quspin", k) for k in (0, *QUSPIN_BATCHES)]
            files = {}
            for method, k in plan:
                label = f"{method} {'single' if k == 0 else k}"
                log(f"{workload} {n}: {label}")
                try:
                    record, out = measure(method, workload, n, k, args.repeats, tmp)
                except RuntimeError as failure:
                    log(f"  failed: {failure}")
                    rows.append(dict(workload=workload, n=n, method=method, k=k,
                                     failed=str(failure)))
                    continue
                files[method] = out
                rows.append(dict(workload=workload, n=n, method=method, k=k, **record))
            if len(files) == 2:  # both products of the first state, against each other
                ours, theirs = np.load(files["velmora"]), np.load(files["quspin"])
                for row in rows:
                    if row["workload"] == workload and "failed" not in row:
                        row["max_difference"] = float(np.abs(ours - theirs).max())
    for row in rows:
        if "failed" in row:
            continue
        single = next(r for r in rows if r["workload"] == row["workload"] and
                      r["method"] == row["method"] and r["k"] == 0 and "failed" not in r)
        row["per_state_speedup"] = single["per_state_s"] / row["per_state_s"]
    info = dict(date=time.strftime("%Y-%m-%d"), machine=platform.machine(),
                cores=os.cpu_count(), versions=library_versions(), kernel_isa=kernel_isa(),
                repeats=args.repeats, qubits=n)
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "batch.json").write_text(json.dumps(dict(info=info, rows=rows), indent=1))
    (out / "batch.md").write_text(markdown(info, rows))
    print(markdown(info, rows))


def markdown(info, rows):
    lines = [
        f"Measured with `make bench-batch` ({info['date']}, {info['machine']}, {info['cores']} "
        f"cores; {describe(info['versions'])}; velmora's kernel: {info['kernel_isa']}); one "
        f"thread, every measurement in a process of its own; {info['qubits']} qubits; median "
        f"of {info['repeats']} calls after three warm-up calls. `single`: {SINGLE_CALLS} calls on "
        f"{SINGLE_CALLS} different states; `k`: one call on k states (velmora: rows of a "
        "(k, 2^n) array to `PauliSum.apply`; QuSpin: columns of a C-ordered (2^n, k) array to "
        "`hamiltonian.dot`). Per-state speedup: time per state of the method's single calls "
        "over that of the row's calls. Difference: the largest |entry| of velmora's product "
        "of the first state minus QuSpin's.",
        "",
        "| workload | words | method | k | time per call [ms] | per state [ms] | "
        "per-state speedup | difference |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        k = "single" if r["k"] == 0 else str(r["k"])
        if "failed" in r:
            lines.append(f"| {r['workload']} | | {r['method']} | {k} | failed: {r['failed']} "
                         "| | | |")
            continue
        difference = f"{r['max_difference']:.1e}" if "max_difference" in r else ""
        lines.append(
            f"| {r['workload']} | {r['words']} | {r['method']} | {k} | "
            f"{r['seconds'] * 1e3:.2f} | {r['per_state_s'] * 1e3:.2f} | "
            f"{r['per_state_speedup']:.2f}× | {difference} |")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    main()
