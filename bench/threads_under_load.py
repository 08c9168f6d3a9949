"""Threads on a loaded machine: the 16-spin Ising trajectory (51 times in
[0, 5], tol 1e-12) on the calling thread (num_threads=0) and on 2 threads,
idle, next to one busy Python loop per core, and next to another process
running the same trajectory on 2 threads; with the OpenMP runtime's default
wait policy and with OMP_WAIT_POLICY=passive. Every configuration runs in its
own process (the runtime reads its policy at start). "passive" is velmora's
default; "active" the OpenMP runtime's own (workers spin before sleeping).

    python bench/threads_under_load.py [--repeats 3] [--out bench/results]

Writes threads_under_load.md and threads_under_load.json under --out.
"""

import argparse
import json
import os
import pathlib
import platform
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from environment import describe, library_versions  # noqa: E402

LOADS = ("idle", "busy loops", "velmora on 2 threads")
POLICIES = ("active", "passive")


def trajectory_call(threads):
    import numpy as np

    from velmora import trajectory
    from velmora.models import ising_chain

    H = ising_chain(16)
    psi = np.zeros(2**16, dtype=complex)
    psi[0] = 1.0
    times = np.linspace(0.0, 5.0, 51)
    return lambda: trajectory(H, psi, times, num_threads=threads)


def child(load, repeats):
    """Times 0 and 2 threads under `load`; prints a JSON line."""
    loaders = []
    if load == "busy loops":
        loaders = [subprocess.Popen([sys.executable, "-c", "while True: pass"])
                   for _ in range(os.cpu_count() or 1)]
    elif load == "velmora on 2 threads":
        loaders = [subprocess.Popen([sys.executable, __file__, "--load"])]
    try:
        time.sleep(1.0 if loaders else 0.0)
        best = {}
        for threads in (0, 2):
            run = trajectory_call(threads)
            run()  # warm up: pages, the team
            seconds = []
            for _ in range(repeats):
                begin = time.perf_counter()
                run()
                seconds.append(time.perf_counter() - begin)
            best[threads] = min(seconds)
    finally:
        for p in loaders:
            p.kill()
            p.wait()
    print(json.dumps(best))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--out", default=str(HERE / "results"))
    parser.add_argument("--child", nargs=1, help=argparse.SUPPRESS)
    parser.add_argument("--load", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.load:
        run = trajectory_call(2)
        while True:
            run()
    if args.child:
        child(args.child[0], args.repeats)
        return
    rows = []
    for policy in POLICIES:
        for load in LOADS:
            env = {k: v for k, v in os.environ.items() if k not in ("OMP_WAIT_POLICY",
                                                                      "OMP_NUM_THREADS")}
            env["OMP_WAIT_POLICY"] = policy
            proc = subprocess.run([sys.executable, __file__, "--child", load, "--repeats",
                                   str(args.repeats)], capture_output=True, text=True, env=env,
                                  timeout=1800)
            if proc.returncode != 0:
                raise SystemExit(proc.stderr)
            best = json.loads(proc.stdout.strip().splitlines()[-1])
            rows.append(dict(policy=policy, load=load, serial_s=best["0"], two_s=best["2"],
                             ratio=best["2"] / best["0"]))
            print(rows[-1], file=sys.stderr, flush=True)
    info = dict(date=time.strftime("%Y-%m-%d"), machine=platform.machine(),
                cores=os.cpu_count(), versions=library_versions(), repeats=args.repeats)
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "threads_under_load.json").write_text(json.dumps(dict(info=info, rows=rows),
                                                            indent=1))
    (out / "threads_under_load.md").write_text(markdown(info, rows))
    print(markdown(info, rows))


def markdown(info, rows):
    lines = [
        f"Measured with `make bench` ({info['date']}, {info['machine']}, {info['cores']} cores; "
        f"{describe(info['versions'])}); best of {info['repeats']}: the 16-spin Ising "
        "trajectory of 51 times in [0, 5] on the calling thread and on 2 threads, each "
        "configuration in its own process.",
        "",
        "| wait policy | load | 0 threads [s] | 2 threads [s] | 2 threads / 0 |",
        "|---|---|---|---|---|",
    ]
    for r in rows:
        lines.append(f"| {r['policy']} | {r['load']} | {r['serial_s']:.3f} | {r['two_s']:.3f} | "
                     f"{r['ratio']:.2f} |")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    main()
