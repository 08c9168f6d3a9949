"""The product H @ psi on one thread against SciPy's CSR product of the same
matrix, and what the product is worth end to end (evolve against SciPy's
expm_multiply), in one invocation:

    .venv/bin/python bench/products.py [--quick] [--before PYTHON [--before-label TEXT]]
                                       [--out bench/results]

Workloads: the Ising chain and the XXZ ring on 20 qubits (velmora.models),
and chemistry-shaped sums, OpenFermion's random_interaction_operator(n,
real=True, seed=7) under the Jordan-Wigner transformation, on 12, 14 and 16
qubits. Each time is the median of repeated products after a warm-up; the CSR
matrix is built once (not timed). Besides the times: ns per word-amplitude
and per group-amplitude (a group: the words of one flip mask that one pass
applies, pauli/flip_groups.h), and a roofline for this machine: the stream
bandwidth (a copy, one thread) and the bytes a product must move at least
(its input and output, 32 bytes per amplitude, and nothing per group),
against which each workload's time sits. The tables name the CPU, the kernel
body and the library versions. With --before PYTHON, the same products and
evolution are also timed with the velmora that interpreter imports (another
build, e.g. of an earlier commit, installed in its own environment), in the
same invocation, as a "before" column. Writes products.md and products.json.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import sys
import time

os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from environment import cpu_name, describe, library_versions  # noqa: E402
from run import cpu_isa, streaming_bandwidth  # noqa: E402
from workloads import chemistry  # noqa: E402

import velmora  # noqa: E402
from velmora.models import ising_chain, xxz_ring  # noqa: E402
from velmora.pauli_sum import masks  # noqa: E402


def groups_of(H: velmora.PauliSum) -> int:
    """Passes of the grouped product (pauli/flip_groups.h's partition)."""
    return int(H._operator.num_groups)


def median_time(call, repeats: int) -> float:
    call()  # warm-up
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def product_row(name: str, H: velmora.PauliSum, repeats: int) -> dict:
    n = H.num_qubits
    dim = 2**n
    rng = np.random.default_rng(1)
    psi = rng.normal(size=dim) + 1j * rng.normal(size=dim)
    csr = H.to_sparse(max_bytes=16 << 30).tocsr()
    csr.sum_duplicates()
    ours = median_time(lambda: H.apply(psi, num_threads=0), repeats)
    theirs = median_time(lambda: csr @ psi, repeats)
    flips = len({masks(label)[0] for label, _ in H.terms})
    groups = groups_of(H)
    error = float(np.linalg.norm(H.apply(psi, num_threads=0) - csr @ psi) / np.linalg.norm(csr @ psi))
    return {"workload": name, "qubits": n, "words": len(H), "flip_masks": flips,
            "groups": groups, "velmora_s": ours, "csr_s": theirs, "speedup": theirs / ours,
            "ns_per_word_amp": 1e9 * ours / (len(H) * dim),
            "ns_per_group_amp": 1e9 * ours / (groups * dim), "csr_nnz": int(csr.nnz),
            "relative_difference": error}


BEFORE_CHILD = """
import pickle, statistics, sys, time, warnings
warnings.simplefilter("ignore")
import numpy as np
import velmora
from velmora import PauliSum
terms, kind, repeats = pickle.load(open(sys.argv[1], "rb"))
H = PauliSum(terms)
dim = 2 ** H.num_qubits
if kind == "apply":
    rng = np.random.default_rng(1)
    psi = rng.normal(size=dim) + 1j * rng.normal(size=dim)
    call = lambda: H.apply(psi, num_threads=0)
else:
    psi = np.random.default_rng(2).normal(size=dim) + 0j
    psi /= np.linalg.norm(psi)
    call = lambda: velmora.evolve(H, psi, 1.0, tol=1e-12, num_threads=0)
call()
times = []
for _ in range(repeats):
    start = time.perf_counter()
    call()
    times.append(time.perf_counter() - start)
print(statistics.median(times))
"""


def before_time(python: str, H: velmora.PauliSum, kind: str, repeats: int) -> float:
    """The median time of apply or evolve (t = 1) of H with another build."""
    import pickle
    import subprocess
    import tempfile

    with tempfile.NamedTemporaryFile(suffix=".pkl", delete=False) as f:
        pickle.dump((list(H.terms), kind, repeats), f)
    out = subprocess.run([python, "-c", BEFORE_CHILD, f.name], capture_output=True, text=True,
                         cwd=tempfile.gettempdir(), check=True)
    pathlib.Path(f.name).unlink()
    return float(out.stdout.strip().splitlines()[-1])


def evolve_row(repeats: int) -> dict:
    import scipy.sparse.linalg

    H = xxz_ring(20, 0.5)
    dim = 2**20
    psi = np.random.default_rng(2).normal(size=dim) + 0j
    psi /= np.linalg.norm(psi)
    csr = H.to_sparse().tocsr()
    result = {}
    ours = median_time(lambda: result.setdefault("r", velmora.evolve(H, psi, 1.0, tol=1e-12,
                                                                      num_threads=0)), repeats)
    theirs = median_time(lambda: result.setdefault(
        "s", scipy.sparse.linalg.expm_multiply(-1j * csr, psi)), repeats)
    difference = float(np.linalg.norm(result["r"].state - result["s"]))
    return {"workload": "xxz ring 20, evolve t = 1, tol 1e-12", "velmora_s": ours,
            "expm_multiply_s": theirs, "speedup": theirs / ours,
            "products": int(result["r"].applications), "difference": difference}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats, no 16-qubit sum")
    parser.add_argument("--out", default=str(HERE / "results"), help="folder of the results")
    parser.add_argument("--before", metavar="PYTHON",
                        help="also time the products and the evolution with the velmora this "
                             "interpreter imports")
    parser.add_argument("--before-label", metavar="TEXT",
                        help="what the --before build is, for the table (default: its "
                             "interpreter's path), e.g. 'commit 193715e'")
    args = parser.parse_args()
    repeats = 3 if args.quick else 9
    cases = [("Ising chain", ising_chain(20)), ("XXZ ring", xxz_ring(20, 0.5))]
    for n in (12, 14) if args.quick else (12, 14, 16):
        cases.append(("chemistry-shaped", chemistry(n)))
    rows = [product_row(name, H, repeats) for name, H in cases]
    evolution = evolve_row(3 if args.quick else 5)
    if args.before:
        for (name, H), row in zip(cases, rows):
            row["before_s"] = before_time(args.before, H, "apply", repeats)
        evolution["before_s"] = before_time(args.before, xxz_ring(20, 0.5), "evolve",
                                            3 if args.quick else 5)
    bandwidth = streaming_bandwidth()
    meta = {"before": args.before, "before_label": args.before_label, "cpu": cpu_name(), "kernel_body": cases[0][1]._operator.kernel_isa,
            "cpu_isa": cpu_isa(), "threads": 1,
            "versions": describe(library_versions(("openfermion",))),
            "stream_bytes_per_s": bandwidth}
    lines = [f"CPU: {meta['cpu']} (kernel body: {meta['kernel_body']}); one thread; "
             f"{meta['versions']}; `python bench/products.py`.", "",
             "| sum | qubits | words | flip masks | groups | velmora | CSR | velmora vs CSR | "
             "ns/word·amp | ns/group·amp | at stream bandwidth |"
             + (" before | before vs CSR |" if args.before else ""),
             "|---|---|---|---|---|---|---|---|---|---|---|" + ("---|---|" if args.before else "")]
    for r in rows:
        floor = 32 * 2**r["qubits"] / bandwidth  # read psi and write the result, once
        before = (f" {1e3 * r['before_s']:.2f} ms | {r['csr_s'] / r['before_s']:.2f}× |"
                  if args.before else "")
        lines.append(f"| {r['workload']} | {r['qubits']} | {r['words']:,} | {r['flip_masks']:,} "
                     f"| {r['groups']:,} | {1e3 * r['velmora_s']:.2f} ms | "
                     f"{1e3 * r['csr_s']:.2f} ms | {r['speedup']:.2f}× | "
                     f"{r['ns_per_word_amp']:.3f} | {r['ns_per_group_amp']:.3f} | "
                     f"{r['velmora_s'] / floor:.0f}× |" + before)
    lines += ["", f"Stream bandwidth (one thread, copy): {bandwidth / 1e9:.1f} GB/s. The last "
              "column is the product's time over the time to read psi and write the result "
              "once at that bandwidth.", "",
              "| evolution | velmora | SciPy expm_multiply | speedup | products | difference |"
              + (" before | before vs SciPy |" if args.before else ""),
              "|---|---|---|---|---|---|" + ("---|---|" if args.before else ""),
              f"| {evolution['workload']} | {evolution['velmora_s']:.3f} s | "
              f"{evolution['expm_multiply_s']:.3f} s | {evolution['speedup']:.1f}× | "
              f"{evolution['products']} | {evolution['difference']:.1e} |"
              + (f" {evolution['before_s']:.3f} s | "
                 f"{evolution['expm_multiply_s'] / evolution['before_s']:.1f}× |"
                 if args.before else "")]
    if args.before:
        label = args.before_label or f"the velmora of `{args.before}`"
        lines += ["", f"Before: {label}, timed in the same invocation."]
    text = "\n".join(lines) + "\n"
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "products.md").write_text(text)
    (out / "products.json").write_text(json.dumps({"meta": meta, "rows": rows,
                                                    "evolution": evolution}, indent=1))
    print(text)


if __name__ == "__main__":
    main()
