"""Benchmark of a driven ring in its symmetry sector: velmora's TimeDependentSum
restricted to the sector against QuSpin's evolve in the same sector, at equal
achieved error, every run in its own process on one thread.

    python bench/sector_drive.py [--sites 20] [--out bench/results]
    python bench/sector_drive.py --sites 12       # seconds

Workload: the Heisenberg ring of L sites driven through its Ising part,
H(t) = sum_q (X_q X_(q+1) + Y_q Y_(q+1)) + h(t) sum_q Z_q Z_(q+1) with
h(t) = 1 + 0.5 cos 3t (xxz_ring(L, 1.0, parts=True), the drive of
bench/time_dependent.py), in the sector of weight L/2 and momentum 0
(Sector.chain; QuSpin: spin_basis_1d(L, Nup=L/2, kblock=0, pauli=1)), from the
momentum-0 part of the Neel state |0101...>, normalised, to T = 10.

Methods (the clock covers the evolution call alone, after a warm-up run on 8
sites in the same process; operators and bases are built before it):
  velmora  velmora.evolve(TimeDependentSum([xy, (zz, h)]).in_sector(sector), ...)
           (Taylor steps, the default) at tol 1e-6, 1e-8 and 1e-10;
  quspin   hamiltonian(static, dynamic, basis) (float64) and its
           .evolve(v, 0, [T], rtol=tol, atol=tol) (its default DOP853) at tol
           1e-6, 1e-7, ... 1e-13.
Reference: velmora at tol 1e-12; QuSpin at 1e-13 is listed with its difference
from it. Both results are compared as full-space states (velmora's
Sector.embed, QuSpin's basis.get_proj), so that the two bases' conventions do
not enter: achieved error = ||psi - psi_ref|| / ||psi_ref||. For each velmora
tolerance, the QuSpin row kept is the first (loosest) whose achieved error is
at most velmora's; `QuSpin / velmora` is its time over velmora's. Where no
QuSpin run reaches velmora's error, its most accurate run is shown, marked
"not reached", and the ratio is a lower bound ("≥").

Writes sector_drive.md and sector_drive.json under --out.
"""

from __future__ import annotations

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
from environment import describe, library_versions, machine_name  # noqa: E402
from sectors import git_commit, quspin_static, velmora_version  # noqa: E402
from time_dependent import LADDER, REFERENCE_TOL, VELMORA_TOLS, Counted, drive  # noqa: E402

T = 10.0
WARM_UP_SITES = 8


def problem(sites):
    """(xy part, zz part, sector, start state embedded in the full space)."""
    from velmora import Sector
    from velmora.models import xxz_ring

    parts = xxz_ring(sites, 1.0, parts=True)
    sector = Sector.chain(sites, weight=sites // 2, momentum=0, num_threads=1)
    neel = np.zeros(2**sites, dtype=np.complex128)
    neel[int("01" * (sites // 2), 2)] = 1.0
    full = sector.embed(sector.project(neel))
    return parts["xy"], parts["zz"], sector, full / np.linalg.norm(full)


def run(method, sites, tol):
    """(record, final state in the full space) of one evolution."""
    xy, zz, sector, start = problem(sites)
    h = Counted(drive)
    record = {}
    if method == "velmora":
        import warnings

        import velmora
        from velmora import TimeDependentSum

        warnings.simplefilter("ignore", velmora.ToleranceWarning)
        H = TimeDependentSum([xy, (zz, h)]).in_sector(sector)
        v = sector.project(start)

        def call():
            r = velmora.evolve(H, v, T, tol=tol, num_threads=1)
            record.update(products=int(r.applications), steps=int(r.steps),
                          reported_error=float(r.error))
            return sector.embed(r.state)
    else:
        from quspin.basis import spin_basis_1d
        from quspin.operators import hamiltonian

        static = [[opstr, [[c.real] + s for c, *s in couplings]]
                  for opstr, couplings in quspin_static(xy, sites)]
        dynamic = [[opstr, [[c.real] + s for c, *s in couplings], h, []]
                   for opstr, couplings in quspin_static(zz, sites)]
        basis = spin_basis_1d(sites, Nup=sites // 2, kblock=0, pauli=1)
        ham = hamiltonian(static, dynamic, basis=basis, dtype=np.float64, check_symm=False,
                          check_herm=False, check_pcon=False)
        # The projector's rows list the full space in the order of
        # spin_basis_1d(L).states: the integers, which are velmora's indices.
        full_basis = spin_basis_1d(sites, pauli=1)  # kept: its states are a view
        order = np.array(full_basis.states, dtype=np.int64)
        projector = basis.get_proj(np.complex128, pcon=False).tocsr()

        def to_full(v):
            out = np.zeros(2**sites, dtype=np.complex128)
            out[order] = projector @ v
            return out
        v = projector.conj().T @ start[order]
        if np.linalg.norm(to_full(v) - start) > 1e-12:
            raise RuntimeError("the start state is not in QuSpin's sector")
        record.update(rtol=tol, atol=tol)

        def call():
            out = ham.evolve(v, 0.0, [T], rtol=tol, atol=tol)
            return to_full(np.asarray(out).reshape(len(v), -1)[:, -1])
    h.calls = 0
    begin = time.perf_counter()
    state = call()
    record.update(time_s=time.perf_counter() - begin, f_calls=h.calls, states=len(sector))
    return record, state


def child(method, sites, tol, out):
    run(method, WARM_UP_SITES, tol)
    record, state = run(method, sites, tol)
    np.save(out, state)
    print(json.dumps(record))


def measure(method, sites, tol, tmp):
    out = pathlib.Path(tmp) / f"{method}-{sites}-{tol:g}.npy"
    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    proc = subprocess.run([sys.executable, __file__, "--child", method, str(sites), repr(tol),
                           str(out)], capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr.strip().splitlines()[-1])
    record = json.loads(proc.stdout.strip().splitlines()[-1])
    state = np.load(out)
    out.unlink()
    return dict(method=method, tol=tol, **record), state


def markdown(info, sites, velmora_rows, quspin_rows):
    lines = [f"# A driven ring in its sector ({info['date']})", "",
             f"`python bench/sector_drive.py --sites {sites}`: velmora {info['velmora']} "
             f"({info['commit']}), {describe(info['libraries'])}, Python {info['python']}, "
             f"{info['machine']}; one thread. {sites}-site ring, weight {sites // 2}, momentum "
             f"0 ({velmora_rows[0]['states']} states), T = {T:g}.", "",
             "| velmora tol | velmora [s] | products | reported error | achieved error | "
             "QuSpin rtol = atol | QuSpin [s] | QuSpin achieved | QuSpin / velmora |",
             "|---|---|---|---|---|---|---|---|---|"]
    for v in velmora_rows:
        match = next((q for q in quspin_rows if q["achieved_error"] <= v["achieved_error"]),
                     None)
        # Not reached: QuSpin's most accurate run, a lower bound of the ratio.
        closest = match or min(quspin_rows, key=lambda q: q["achieved_error"])
        peer = (f"{closest['tol']:.0e}{'' if match else ' (not reached)'} | "
                f"{closest['time_s']:.3g} | {closest['achieved_error']:.1e} | "
                f"{'' if match else '≥ '}{closest['time_s'] / v['time_s']:.1f}×")
        lines.append(f"| {v['tol']:g} | {v['time_s']:.3g} | {v['products']} | "
                     f"{v['reported_error']:.1e} | {v['achieved_error']:.1e} | {peer} |")
    lines += ["", "QuSpin's runs: " + "; ".join(
        f"{q['tol']:.0e}: {q['time_s']:.3g} s, {q['achieved_error']:.1e}" for q in quspin_rows)
        + "."]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sites", type=int, default=20, help="ring length L, even (default 20)")
    parser.add_argument("--out", default=str(HERE / "results"))
    parser.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        method, sites, tol, out = args.child
        child(method, int(sites), float(tol), out)
        return
    if args.sites < 8 or args.sites % 2:
        parser.error("--sites must be even and at least 8")
    with tempfile.TemporaryDirectory() as tmp:
        _, reference = measure("velmora", args.sites, REFERENCE_TOL, tmp)

        def achieved(record, state):
            record["achieved_error"] = float(np.linalg.norm(state - reference)
                                             / np.linalg.norm(reference))
            print(json.dumps(record), flush=True)
            return record
        velmora_rows = [achieved(*measure("velmora", args.sites, tol, tmp))
                        for tol in VELMORA_TOLS]
        quspin_rows = []
        target = min(v["achieved_error"] for v in velmora_rows)
        for tol in LADDER:
            quspin_rows.append(achieved(*measure("quspin", args.sites, tol, tmp)))
            if quspin_rows[-1]["achieved_error"] <= target:
                break
    info = dict(date=time.strftime("%Y-%m-%d"), velmora=velmora_version(), commit=git_commit(),
                machine=f"{machine_name()}, {os.cpu_count()} cores",
                libraries=library_versions(), python=platform.python_version())
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "sector_drive.json").write_text(json.dumps(
        dict(info=info, sites=args.sites, velmora=velmora_rows, quspin=quspin_rows), indent=1))
    text = markdown(info, args.sites, velmora_rows, quspin_rows)
    (out / "sector_drive.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()
