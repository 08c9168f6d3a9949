"""Benchmark harness: _velmora.evolve against SciPy's expm_multiply (CSR),
QuSpin's ExpmMultiplyParallel and dense scipy.linalg.expm, on the same
Hamiltonian, state and coefficient, every measurement in its own process.

    python bench/run.py [--quick] [--repeats 3] [--out bench/results]
    python bench/run.py --plot-only      # redraws benchmark.png from benchmark.json

Writes benchmark.md, benchmark.png and benchmark.json under --out.
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

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from environment import describe, library_versions  # noqa: E402
from workloads import WORKLOADS, default_coeff, operator  # noqa: E402
from workloads import write as write_workloads  # noqa: E402

KRYLOV_APPLICATIONS = 2 * 30 - 1  # pass 1 and pass 2, no breakdown
DENSE_MAX_QUBITS = 12


def run_worker(method, workload, n, coeff, threads, repeats, tmp):
    out = pathlib.Path(tmp) / f"{method}-{workload}-{n}-{threads}.npy"
    env = dict(os.environ)
    team = str(max(threads, 1))
    env.update(OMP_NUM_THREADS=team, OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    cmd = [sys.executable, str(HERE / "worker.py"), method, workload, str(n), repr(coeff),
           str(threads), str(repeats), str(out)]
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=3600)
    if proc.returncode != 0:
        return {"error": proc.stderr.strip().splitlines()[-1] if proc.stderr else "failed"}
    record = json.loads(proc.stdout.strip().splitlines()[-1])
    if "skipped" in record:
        return record
    record["result"] = np.load(out)
    out.unlink()
    return record


def streaming_bandwidth():
    """Single-thread copy bandwidth of this machine (bytes read + written per second)."""
    code = (
        "import numpy as np, time\n"
        "a = np.ones(2**25); b = np.empty_like(a); np.copyto(b, a)\n"
        "best = min((lambda t: (np.copyto(b, a), time.perf_counter() - t)[1])(time.perf_counter())"
        " for _ in range(5))\n"
        "print(2 * a.nbytes / best)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return float(out.stdout)


def quspin_available():
    probe = "import quspin.tools.expm_multiply_parallel_core"
    return subprocess.run([sys.executable, "-c", probe], capture_output=True).returncode == 0


def rel(a, b):
    return float(np.linalg.norm(a - b) / np.linalg.norm(b))


def measure(workload, n, coeff, repeats, have_quspin, tmp, log):
    words = len(operator(workload, n))
    vector_bytes = 16 * 2**n
    reps = repeats if n <= 20 else 1
    rows = []
    velmora = {}
    for threads in (0, 1, 2):
        log(f"  velmora num_threads={threads}")
        velmora[threads] = run_worker("velmora", workload, n, coeff, threads, reps, tmp)
    reference = velmora[0]["result"]
    identical = all(velmora[t]["result"].tobytes() == reference.tobytes() for t in (1, 2))
    competitors = []
    log("  scipy expm_multiply")
    scipy_run = run_worker("scipy", workload, n, coeff, 1, reps, tmp)
    skipped = scipy_run.get("skipped")  # the CSR matrix would exceed CSR_LIMIT_BYTES
    if not skipped:
        competitors.append(("scipy", 1, scipy_run))
        if have_quspin:
            for threads in (1, 2):
                log(f"  quspin threads={threads}")
                competitors.append(
                    ("quspin", threads, run_worker("quspin", workload, n, coeff, threads, reps, tmp)))
    if n <= DENSE_MAX_QUBITS:
        log("  dense expm")
        competitors.append(("dense", 1, run_worker("dense", workload, n, coeff, 1, 1, tmp)))
    by_name = {(name, t): r for name, t, r in competitors if "error" not in r}
    scipy_result = by_name.get(("scipy", 1), {}).get("result")
    for threads, r in velmora.items():
        t = r["median_s"]
        row = {
            "workload": workload, "n": n, "words": words, "coeff": coeff, "method": "velmora",
            "threads": threads, "median_s": t, "build_s": r["build_s"],
            "mem_vectors": 1 + (r["peak_bytes"] - r["baseline_bytes"]) / vector_bytes,
            "peak_mib": r["peak_bytes"] / 2**20,
            "apps_per_s": KRYLOV_APPLICATIONS / t,
            "ns_per_word_amp": 1e9 * t / (KRYLOV_APPLICATIONS * words * 2**n),
            "bandwidth": KRYLOV_APPLICATIONS * 2 * vector_bytes / t,
            "identical_bits": identical,
            "rel_diff_scipy": rel(r["result"], scipy_result) if scipy_result is not None else None,
        }
        for (name, ct), cr in by_name.items():
            if name == "dense" or ct == max(threads, 1) or name == "scipy":
                row[f"speedup_{name}"] = cr["median_s"] / t
        rows.append(row)
    for name, threads, r in competitors:
        if "error" in r:
            rows.append({"workload": workload, "n": n, "words": words, "coeff": coeff,
                         "method": name, "threads": threads, "error": r["error"]})
            continue
        rows.append({
            "workload": workload, "n": n, "words": words, "coeff": coeff, "method": name,
            "threads": threads, "median_s": r["median_s"], "build_s": r["build_s"],
            "mem_vectors": 1 + (r["peak_bytes"] - r["baseline_bytes"]) / vector_bytes,
            "peak_mib": r["peak_bytes"] / 2**20,
            "rel_diff_velmora": rel(r["result"], reference),
        })
    if skipped:
        rows.append({"workload": workload, "n": n, "words": words, "coeff": coeff,
                     "method": "scipy/quspin", "threads": 1, "error": f"skipped: {skipped}"})
    return rows


def large_coeff_case(tmp, log):
    """Where one Krylov step stops being accurate: Ising n = 16, coeff x 1..16."""
    out = []
    for factor in (1, 2, 4, 8, 16):
        coeff = 0.2 * factor
        log(f"  accuracy, coeff={coeff}")
        v = run_worker("velmora", "ising", 16, coeff, 2, 1, tmp)
        s = run_worker("scipy", "ising", 16, coeff, 1, 1, tmp)
        out.append({"coeff": coeff, "rel_diff_scipy": rel(v["result"], s["result"])})
    return out


def fmt(x, pattern):
    return "" if x is None else format(x, pattern)


def markdown(rows, accuracy, meta):
    lines = [
        f"Machine: {meta['machine']}; kernel: {meta['isa']}; streaming bandwidth (1 thread, "
        f"numpy copy): {meta['stream_gbs']:.1f} GB/s. Command: `{meta['command']}` "
        f"({meta['date']}); {describe(meta['versions'])}. Median wall time of `repeats` runs (1 for n = 22); memory is the "
        "process's peak resident set above its state before the method was set up, in state "
        "vectors of 16·2^n bytes, plus 1 for the input.",
        "",
        "| workload | n | words | method | threads | time [s] | vs SciPy | vs QuSpin (same threads) "
        "| vs dense | rel. diff | memory [vectors] | build [s] | applications/s | ns/word·amp "
        "| bandwidth [GB/s] (% of stream) |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        if "error" in r:
            lines.append(f"| {r['workload']} | {r['n']} | {r['words']} | {r['method']} | "
                         f"{r['threads']} | {r['error']} |||||||||")
            continue
        diff = r.get("rel_diff_scipy", r.get("rel_diff_velmora"))
        if r["method"] == "velmora":
            bw = r["bandwidth"] / 1e9
            extra = (f"{r['apps_per_s']:.1f} | {r['ns_per_word_amp']:.3f} | "
                     f"{bw:.1f} ({100 * r['bandwidth'] / meta['stream_bytes']:.0f}%)")
            speed = " | ".join(fmt(r.get(k), ".1f") + ("×" if r.get(k) else "")
                               for k in ("speedup_scipy", "speedup_quspin", "speedup_dense"))
        else:
            extra = " | | "
            speed = " | | "
        lines.append(
            f"| {r['workload']} | {r['n']} | {r['words']} | {r['method']} | {r['threads']} | "
            f"{r['median_s']:.4g} | {speed} | {fmt(diff, '.1e')} | {r['mem_vectors']:.1f} | "
            f"{r['build_s']:.3g} | {extra} |")
    lines += ["", "One Krylov step of dimension 30 for growing coeff (Ising, n = 16), relative "
              "difference from SciPy's expm_multiply:", "",
              "| coeff | rel. diff |", "|---|---|"]
    lines += [f"| {a['coeff']:.1f} | {a['rel_diff_scipy']:.1e} |" for a in accuracy]
    return "\n".join(lines) + "\n"


def plot(rows, path):
    """The wall times against n, one panel per workload. Drawn at twice the
    resolution of the page's text column (about 740 px wide), so that its text
    is read at the size it is set in."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(WORKLOADS), figsize=(7.4, 3.7), sharey=True)
    for ax, workload in zip(axes, WORKLOADS):
        series = {}
        for r in rows:
            if r["workload"] == workload and "median_s" in r:
                label = f"{r['method']} ({r['threads']} thr)" if r["method"] != "velmora" \
                    else f"velmora (num_threads={r['threads']})"
                series.setdefault(label, []).append((r["n"], r["median_s"]))
        for label, pts in sorted(series.items()):
            pts.sort()
            ax.plot([p[0] for p in pts], [p[1] for p in pts], marker="o", markersize=4,
                    label=label)
        ax.set_yscale("log")
        ax.set_title(workload, fontsize=10)
        ax.set_xlabel("qubits n", fontsize=9)
        ax.set_xticks(sorted({r["n"] for r in rows if r["workload"] == workload}))
        ax.tick_params(labelsize=8)
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("evolve wall time [s]", fontsize=9)
    handles, labels = axes[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=3, fontsize=8, frameon=False)
    fig.tight_layout(rect=(0, 0.17, 1, 1))
    fig.savefig(path, dpi=200)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="stop at n = 20")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--out", default=str(HERE / "results"))
    parser.add_argument("--sizes", type=int, nargs="*")
    parser.add_argument("--plot-only", action="store_true",
                        help="redraw benchmark.png from the benchmark.json in --out, measuring "
                             "nothing")
    args = parser.parse_args()
    if args.plot_only:
        rows = json.loads((pathlib.Path(args.out) / "benchmark.json").read_text())["rows"]
        plot(rows, pathlib.Path(args.out) / "benchmark.png")
        return
    sizes = args.sizes or ([12, 16, 20] if args.quick else [12, 16, 20, 22])
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    log = lambda msg: print(msg, file=sys.stderr, flush=True)  # noqa: E731

    import _velmora  # noqa: F401  (fail early when the module is not installed)

    have_quspin = quspin_available()
    if not have_quspin:
        log("QuSpin is not importable: comparing against SciPy only")
    stream = streaming_bandwidth()
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for workload in WORKLOADS:
            for n in sizes:
                coeff = default_coeff(workload, n)
                log(f"{workload} n={n} coeff={coeff:.4g}")
                rows += measure(workload, n, coeff, args.repeats, have_quspin, tmp, log)
        accuracy = large_coeff_case(tmp, log)
    meta = {
        "machine": f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores",
        "isa": cpu_isa(),
        "stream_bytes": stream,
        "stream_gbs": stream / 1e9,
        "command": "make bench" + ("-quick" if args.quick else ""),
        "date": time.strftime("%Y-%m-%d"),
        "versions": library_versions(),
    }
    text = markdown(rows, accuracy, meta)
    kernel = kernel_table()
    if kernel:
        text += "\nKernel alone (`build/bench/velmora_kernel_bench`), ns per word·amplitude:\n\n" + kernel
    (out / "benchmark.md").write_text(text)
    (out / "benchmark.json").write_text(json.dumps({"meta": meta, "rows": rows,
                                                    "accuracy": accuracy}, indent=1))
    plot(rows, out / "benchmark.png")
    print(text)


def cpu_isa():
    flags = pathlib.Path("/proc/cpuinfo").read_text() if pathlib.Path("/proc/cpuinfo").exists() else ""
    if " avx512f" in flags:
        return "avx512"
    return "avx2" if " avx2" in flags else "generic"


def kernel_table():
    """Runs the C++ micro-benchmark when it has been built, on the workloads
    written afresh from workloads.py; a Markdown table."""
    binary = HERE.parent / "build" / "bench" / "velmora_kernel_bench"
    if not binary.exists():
        return ""
    directory = write_workloads(binary.parent / "workloads").parent
    proc = subprocess.run([str(binary), f"--workloads={directory}", "--benchmark_format=json",
                           "--benchmark_min_time=0.3"], capture_output=True, text=True)
    if proc.returncode != 0:
        print(f"kernel benchmark failed: {proc.stderr.strip()}", file=sys.stderr)
        return ""
    lines = ["| kernel | workload | n | threads | body | ns/word·amp | ns/group·amp |",
             "|---|---|---|---|---|---|---|"]
    for b in json.loads(proc.stdout)["benchmarks"]:
        kernel, workload = b["name"].split("/")[:2]
        parts = dict(p.split(":", 1) for p in b["name"].split("/")[2:] if ":" in p)
        per_group = f"{1e9 * b['ns_per_group_amp']:.3f}" if "ns_per_group_amp" in b else ""
        lines.append(f"| {'word by word (core)' if kernel == 'apply' else 'grouped'} | {workload} "
                     f"| {parts['n']} | {parts['threads']} | {b['label']} | "
                     f"{1e9 * b['ns_per_word_amp']:.3f} | {per_group} |")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    main()
