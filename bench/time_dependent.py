"""Benchmark of time-dependent evolution: velmora's TimeDependentSum against
QuSpin, QuTiP, SciPy's DOP853 and piecewise-constant velmora steps, at equal
achieved error, every run in its own process on one thread.

    python bench/time_dependent.py [--sizes 16] [--full-up-to 16]
                                   [--workloads ramp,drive] [--large-workloads ramp]
                                   [--methods velmora,quspin,qutip,scipy,piecewise]
                                   [--reduced-methods quspin] [--run-cap 600]
                                   [--max-steps 3200] [--cross-check-up-to 16]
                                   [--merge] [--out bench/results]
    python bench/time_dependent.py --render-only [--out bench/results]

The default, n = 16 with every method, takes about 14 minutes on the project's
2-core machine. n = 20 is added to the results by

    python bench/time_dependent.py --sizes 20 --merge     # about 25 minutes

(the ramp alone: velmora, its reference, 13 minutes, and QuSpin at the setting
n = 16 found; the drive would add about 25 minutes more). --sizes 16,20 does
both in one run (about 38 minutes).

Workloads: the open Ising chain H(t) = -sum Z_q Z_(q+1) [- 0.3 sum Z_q] - h(t)
sum X_q, built as two PauliSums, the constant part and -sum X_q (scaled by
h(t)), from |0...0> (all spins up) to T = 10:
  ramp   h(t) = 2 t / 10, with the longitudinal field 0.3 (not integrable);
  drive  h(t) = 1 + 0.5 cos(3 t), without it.

Reference: velmora's TimeDependentSum at tol 1e-12 (Taylor steps); at the
sizes up to --cross-check-up-to (16) also SciPy's solve_ivp DOP853 at rtol
1e-13, atol 1e-15, and the relative difference of the two references is
recorded. Achieved error = ||state - reference|| / ||reference|| (velmora's
reference).

Methods (one thread each; the clock covers the evolution call alone, after a
warm-up run of the same method on 4 spins in the same process; the operators
and matrices are built before it):
  velmora    velmora.evolve(TimeDependentSum, psi, 10, tol) by Taylor steps (the
             default method) at tol 1e-6, 1e-8 and 1e-10 (the peers are searched
             for the error of 1e-8); products (one with each part), steps, f calls
             and its reported error.
  magnus     the same at method='magnus' (quasi-Magnus schemes, order from
             tol): the integrator the Taylor steps replaced as the default,
             searched like a peer.
  quspin     quspin.operators.hamiltonian(static, dynamic) (real float64, the
             static list of bench/sectors.py's quspin_static) and its
             .evolve(psi, 0, [10]): QuSpin's default integrator, SciPy's `ode`
             DOP853, with rtol = atol = tol; its right-hand side counted.
  qutip      qutip.sesolve(QobjEvo([H0, [H1, h]]), psi, [0, 10]) with its default
             method ('adams', SciPy's zvode), atol = rtol = tol, nsteps 10^7
             (its default, 2500 steps per call, is fewer than the tighter runs
             take at n = 16).
  scipy      scipy.integrate.solve_ivp(method='DOP853', t_eval=[10]) on the CSR
             matrices of PauliSum.to_sparse(), rtol = atol = tol; RHS
             -i (A0 y + h(t) A1 y).
  piecewise  N equal steps, each velmora.evolve(H.at(midpoint), ..., tol=1e-12)
             (the exponential midpoint rule, second order).
Tightening: quspin, qutip and scipy start at tol 1e-6 and divide it by 10
until the achieved error is at most velmora's achieved error (last try 1e-13);
piecewise doubles N from 100 up to --max-steps (3200: each doubling doubles
its time, and its error falls 4-fold, far from velmora's at any affordable N).
A run that takes more than --run-cap seconds is stopped and ends its method's
search. The row kept for each method is the first that reaches velmora's
achieved error, else the most accurate one (marked "not reached", with its
products and time extrapolated to velmora's error through its last two runs).
The SciPy cross-check run is listed with the methods as a measured point below
velmora's error. RHS evaluations (one H(t)·v each): SciPy's nfev, QuSpin's
right-hand side counted, QuTiP's calls of h(t) (equal to zvode's count); the
calls of h(t) are recorded for every method.

Sizes above --full-up-to run the --large-workloads only, with velmora, its
reference and the peers of --reduced-methods, those starting at the setting
the largest full size found for the same workload (in this run or, with
--merge, in the earlier results). What is skipped is listed in the .md.
Each run records the SHA-256 of the installed velmora's files (the "velmora
build" columns); the .md says so when they differ within a run.

Writes time_dependent.md and time_dependent.json under --out; --merge keeps
the rows of the cases (workload, n) this run does not measure from an earlier
time_dependent.json; --render-only rewrites the .md from the .json.
"""

import argparse
import json
import math
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
from sectors import git_commit, quspin_static, velmora_version  # noqa: E402

T = 10.0
TOL = 1e-8
REFERENCE_TOL = 1e-12
SCIPY_REFERENCE = dict(rtol=1e-13, atol=1e-15)
PIECEWISE_TOL = 1e-12
LADDER = tuple(10.0 ** -k for k in range(6, 14))  # 1e-6 ... 1e-13
FIRST_STEPS = 100
MAX_STEPS = 3200
QUTIP_NSTEPS = 10**7
WORKLOADS = ("ramp", "drive")
PEERS = ("magnus", "quspin", "qutip", "scipy", "piecewise")
METHODS = ("velmora",) + PEERS
#: velmora's own tolerances; the peers are searched for the error at TOL.
VELMORA_TOLS = (1e-6, TOL, 1e-10)
#: The longitudinal field of the ramp's chain.
LONGITUDINAL = 0.3
#: The rows of the main table: the methods, then the SciPy cross-check run.
ROWS = METHODS + ("scipy-reference",)
#: The rows whose results depend on the installed velmora build.
VELMORA_ROWS = ("velmora", "magnus", "piecewise")
WARM_UP_SITES = 4
LABELS = {"velmora": "velmora TimeDependentSum (Taylor)",
          "magnus": "velmora TimeDependentSum, method='magnus'",
          "quspin": "QuSpin evolve (DOP853)",
          "qutip": "QuTiP sesolve", "scipy": "SciPy solve_ivp DOP853",
          "piecewise": "velmora piecewise-constant",
          "scipy-reference": "SciPy solve_ivp DOP853 (the cross-check run)",
          "all": "every method", "peers": "the peers"}


def ramp(t):
    return 2.0 * t / T


def drive(t):
    return 1.0 + 0.5 * math.cos(3.0 * t)


FIELDS = {"ramp": ramp, "drive": drive}


class Counted:
    """h(t), counting its calls."""

    def __init__(self, f):
        self.f = f
        self.calls = 0

    def __call__(self, t, *args):
        self.calls += 1
        return self.f(t)


def parts(n, workload="drive"):
    """The constant part (the bonds -sum Z_q Z_(q+1) of ising_chain(n, j=1,
    h=1), and for the ramp the longitudinal field -0.3 sum Z_q) and the field
    part -sum X_q, as two PauliSums."""
    from velmora import PauliSum
    from velmora.models import ising_chain

    chain = ising_chain(n, j=1.0, h=1.0)
    bonds = [(label, c) for label, c in chain.terms if "Z" in label]
    field = [(label, c) for label, c in chain.terms if "X" in label]
    assert len(bonds) == n - 1 and len(field) == n
    if workload == "ramp":
        bonds += [("I" * (n - 1 - q) + "Z" + "I" * q, -LONGITUDINAL) for q in range(n)]
    return PauliSum(bonds), PauliSum(field)


def package_fingerprint():
    """The first 12 hex digits of the SHA-256 of the installed velmora's files:
    the rows of one run measured the same build when they all show the same."""
    import hashlib

    import velmora

    digest = hashlib.sha256()
    for path in sorted(pathlib.Path(velmora.__file__).parent.iterdir()):
        if path.is_file():
            digest.update(path.name.encode() + b"\0" + path.read_bytes())
    return digest.hexdigest()[:12]


def start_state(n):
    psi = np.zeros(2**n, dtype=np.complex128)
    psi[0] = 1.0  # |0...0>: every spin up (Z = +1)
    return psi


# -- the methods, each in a child process ----------------------------------------

def run(method, workload, n, setting):
    """One measurement: (record, final state). `setting` is the tolerance
    (velmora, quspin, qutip, scipy), the step count (piecewise), or 'reference'
    (velmora at REFERENCE_TOL; scipy at SCIPY_REFERENCE)."""
    f = Counted(FIELDS[workload])
    bonds, field = parts(n, workload)
    psi = start_state(n)
    extra = {}
    if method in ("velmora", "magnus", "piecewise"):
        import warnings

        import velmora
        from velmora import TimeDependentSum

        warnings.simplefilter("ignore", velmora.ToleranceWarning)
        H = TimeDependentSum([bonds, (field, f)])
        if method in ("velmora", "magnus"):
            options = dict(tol=REFERENCE_TOL) if setting == "reference" \
                else dict(tol=float(setting), method="taylor" if method == "velmora" else "magnus")

            def call():
                r = velmora.evolve(H, psi, T, t0=0.0, num_threads=1, **options)
                extra.update(applications=int(r.applications), steps=int(r.steps),
                             function_calls=int(r.function_calls), reported_error=float(r.error))
                return r.state
            if method == "magnus":
                from velmora.quasi_magnus import default_order

                extra["order"] = default_order(float(setting))
        else:
            steps = int(setting)

            def call():
                dt = T / steps
                state, products, bound = psi, 0, 0.0
                for k in range(steps):
                    r = velmora.evolve(H.at((k + 0.5) * dt), state, dt, tol=PIECEWISE_TOL,
                                       num_threads=1)
                    state, products, bound = r.state, products + r.applications, bound + r.error
                extra.update(applications=int(products), steps=steps, krylov_error=bound)
                return state
    elif method == "scipy":
        from scipy.integrate import solve_ivp

        limit = 8 << 30
        a0 = (-1j * bonds.to_sparse(max_bytes=limit)).tocsr()
        a1 = (-1j * field.to_sparse(max_bytes=limit)).tocsr()
        tolerances = SCIPY_REFERENCE if setting == "reference" else dict(
            rtol=float(setting), atol=float(setting))
        extra.update(tolerances)

        def rhs(t, y):
            return a0 @ y + f(t) * (a1 @ y)

        def call():
            sol = solve_ivp(rhs, (0.0, T), psi, method="DOP853", t_eval=[T], **tolerances)
            if sol.status != 0:
                raise RuntimeError(f"solve_ivp: {sol.message}")
            extra.update(nfev=int(sol.nfev))
            return sol.y[:, -1]
    elif method == "quspin":
        from quspin.basis import spin_basis_1d
        from quspin.operators import hamiltonian

        static = [[opstr, [[c.real] + sites for c, *sites in couplings]]
                  for opstr, couplings in quspin_static(bonds, n)]
        dynamic = [[opstr, [[c.real] + sites for c, *sites in couplings], f, []]
                   for opstr, couplings in quspin_static(field, n)]
        basis = spin_basis_1d(n, pauli=1)
        ham = hamiltonian(static, dynamic, basis=basis, dtype=np.float64, check_symm=False,
                          check_herm=False, check_pcon=False)
        # The QuSpin matrix is velmora's entry by entry in the basis of integers;
        # its vector lists them in the order of basis.states.
        states = np.asarray(basis.states, dtype=np.int64)
        start = np.ascontiguousarray(psi[states])
        tol = float(setting)
        extra.update(rtol=tol, atol=tol, solver="dop853 (QuSpin default, scipy ode)")

        # The right-hand side QuSpin's evolve hands to the integrator, counted.
        schroedinger = ham._hamiltonian__SO

        def counted(time, v, v_out):
            extra["rhs_evals"] += 1
            return schroedinger(time, v, v_out)
        ham._hamiltonian__SO = counted

        def call():
            extra["rhs_evals"] = 0
            out = ham.evolve(start, 0.0, [T], rtol=tol, atol=tol)
            final = np.zeros_like(psi)
            final[states] = np.asarray(out).reshape(-1, len(states))[-1]
            return final
    elif method == "qutip":
        import qutip

        dims = [[2] * n, [2] * n]
        h0 = qutip.Qobj(bonds.to_sparse(max_bytes=8 << 30).tocsr(), dims=dims)
        h1 = qutip.Qobj(field.to_sparse(max_bytes=8 << 30).tocsr(), dims=dims)
        ham = qutip.QobjEvo([h0, [h1, lambda t: f(t)]])  # QuTiP reads f's signature
        ket = qutip.Qobj(psi.reshape(-1, 1), dims=[[2] * n, [1] * n])
        tol = float(setting)
        options = dict(atol=tol, rtol=tol, nsteps=QUTIP_NSTEPS)
        extra.update(options, integrator=qutip.SESolver.solver_options["method"])

        def call():
            result = qutip.sesolve(ham, ket, [0.0, T], options=options)
            return np.asarray(result.final_state.full()).ravel()
    else:
        raise SystemExit(f"unknown method {method}")
    f.calls = 0
    begin = time.perf_counter()
    state = call()
    seconds = time.perf_counter() - begin
    extra["f_calls"] = f.calls
    return dict(time_s=seconds, **extra), np.asarray(state, dtype=np.complex128)


def child(method, workload, n, setting, out):
    if n > WARM_UP_SITES:  # one-time costs (imports, first calls) off the clock
        run(method, workload, WARM_UP_SITES, "100" if method == "piecewise" else setting)
    record, state = run(method, workload, n, setting)
    record["package"] = package_fingerprint()
    np.save(out, state)
    print(json.dumps(record))


class TimedOut(Exception):
    pass


def measure(method, workload, n, setting, cap, tmp):
    """(record, state) of one run in its own process; TimedOut after cap seconds."""
    out = pathlib.Path(tmp) / f"{method}-{workload}-{n}-{setting}.npy"
    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    try:
        proc = subprocess.run([sys.executable, __file__, "--child", method, workload, str(n),
                               str(setting), str(out)], capture_output=True, text=True,
                              env=env, timeout=cap)
    except subprocess.TimeoutExpired:
        raise TimedOut(f"stopped after {cap:g} s (--run-cap)") from None
    if proc.returncode != 0:
        lines = proc.stderr.strip().splitlines()
        raise RuntimeError(lines[-1] if lines else f"exit status {proc.returncode}")
    record = json.loads(proc.stdout.strip().splitlines()[-1])
    state = np.load(out)
    out.unlink()
    return record, state


def relative(state, ref):
    return float(np.linalg.norm(state - ref) / np.linalg.norm(ref))


def products(record):
    for key in ("applications", "nfev", "rhs_evals", "f_calls"):
        if key in record:
            return record[key]
    return None


def search(method, workload, n, start, target, reference, cap, max_steps, tmp, log):
    """The runs of one peer's tightening, in order, and the index of the row kept."""
    if method == "piecewise":
        settings, steps = [], max(int(start), 1)
        while steps <= max_steps:
            settings.append(steps)
            steps *= 2
    else:
        settings = [tol for tol in LADDER if tol <= float(start) * (1 + 1e-9)]
    tries = []
    for setting in settings:
        name = f"N = {setting}" if method == "piecewise" else f"tol {setting:.0e}"
        log(f"  {method} {name}")
        try:
            record, state = measure(method, workload, n, setting, cap, tmp)
        except (TimedOut, RuntimeError) as failure:
            log(f"    {failure}")
            tries.append(dict(setting=setting, failed=str(failure),
                              timed_out=isinstance(failure, TimedOut)))
            break
        record.update(setting=setting, achieved_error=relative(state, reference),
                      products=products(record))
        log(f"    {record['time_s']:.3g} s, {products(record)} products, "
            f"achieved {record['achieved_error']:.2e}")
        tries.append(record)
        if record["achieved_error"] <= target:
            break
    done = [k for k, r in enumerate(tries) if "time_s" in r]
    if not done:
        return tries, None
    reached = [k for k in done if tries[k]["achieved_error"] <= target]
    keep = reached[0] if reached else min(done, key=lambda k: tries[k]["achieved_error"])
    return tries, keep


def estimate(tries, target):
    """Products and time at the target error, extrapolated on a log-log line
    through the last two runs (for a search that stopped short of it)."""
    done = [t for t in tries if "time_s" in t]
    if len(done) < 2:
        return None
    a, b = done[-2], done[-1]
    if not 0 < b["achieved_error"] < a["achieved_error"]:
        return None
    span = math.log(a["achieved_error"] / b["achieved_error"])
    reach = math.log(b["achieved_error"] / target) / span

    def grown(key):
        return b[key] * (b[key] / a[key]) ** reach
    return dict(products=grown("products"), time_s=grown("time_s"),
                from_settings=[a["setting"], b["setting"]])


def setting_text(method, setting):
    if setting is None:
        return ""
    if method == "piecewise":
        return f"N = {setting}, tol {PIECEWISE_TOL:g} per step"
    if method in ("scipy", "scipy-reference") and setting == "reference":
        return f"rtol {SCIPY_REFERENCE['rtol']:g}, atol {SCIPY_REFERENCE['atol']:g}"
    if method in ("velmora", "magnus"):
        return f"tol {setting:g}"
    return f"rtol = atol = {setting:.0e}"


#: What the installed package is built from.
SOURCES = ("velmora", "base", "evolution", "module", "parallel", "pauli", "process", "sector",
           "CMakeLists.txt", "pyproject.toml")


def uncommitted():
    """The files of the package and its core that differ from HEAD (the
    installed package may hold them): a result is tied to its commit only when
    there are none."""
    proc = subprocess.run(["git", "-C", str(HERE.parent), "status", "--porcelain", "--",
                           *SOURCES], capture_output=True, text=True)
    return [line[3:] for line in proc.stdout.splitlines()]


def sizes(text):
    return tuple(int(part) for part in text.split(",") if part.strip())


def names(text, known, option, parser):
    chosen = [m.strip() for m in text.split(",") if m.strip()]
    unknown = [m for m in chosen if m not in known]
    if unknown:
        parser.error(f"{option}: unknown {', '.join(unknown)}; known: {', '.join(known)}")
    return chosen


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=sizes, default=(16,),
                        help="chain lengths, comma-separated (default 16; see the module "
                             "docstring for 20)")
    parser.add_argument("--full-up-to", type=int, default=16, metavar="N",
                        help="run every method's search up to N spins; above, velmora and "
                             "--reduced-methods only (default 16)")
    parser.add_argument("--reduced-methods", default="quspin",
                        help="the peers run above --full-up-to, from the setting found at the "
                             "largest full size (default quspin, the fastest DOP853 at n = 16; "
                             "'' for none)")
    parser.add_argument("--large-workloads", default="ramp",
                        help="the workloads run above --full-up-to (default ramp: the "
                             "references alone take about 10 minutes per workload at n = 20)")
    parser.add_argument("--cross-check-up-to", type=int, default=16, metavar="N",
                        help="the SciPy reference runs up to N spins (default 16)")
    parser.add_argument("--workloads", default=",".join(WORKLOADS))
    parser.add_argument("--methods", default=",".join(METHODS))
    parser.add_argument("--run-cap", type=float, default=600.0, metavar="SECONDS",
                        help="a peer's run that takes longer is stopped and ends its "
                             "method's search (default 600)")
    parser.add_argument("--max-steps", type=int, default=MAX_STEPS,
                        help=f"piecewise: the largest step count (default {MAX_STEPS}; "
                             "each doubling doubles its time, about 30 s at n = 16)")
    parser.add_argument("--merge", action="store_true",
                        help="keep the cases this run does not measure from the existing "
                             "time_dependent.json")
    parser.add_argument("--out", default=str(HERE / "results"))
    parser.add_argument("--render-only", action="store_true",
                        help="rewrite time_dependent.md from time_dependent.json and stop")
    parser.add_argument("--child", nargs=5, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        method, workload, n, setting, out = args.child
        child(method, workload, int(n), setting, out)
        return
    path = pathlib.Path(args.out) / "time_dependent.json"
    if args.render_only:
        text = markdown(json.loads(path.read_text()))
        path.with_suffix(".md").write_text(text)
        print(text)
        return
    earlier = json.loads(path.read_text()) if args.merge and path.is_file() else None

    def log(text):
        print(text, file=sys.stderr, flush=True)

    workloads = names(args.workloads, WORKLOADS, "--workloads", parser)
    methods = names(args.methods, METHODS, "--methods", parser)
    reduced = names(args.reduced_methods, PEERS, "--reduced-methods", parser)
    large = names(args.large_workloads, WORKLOADS, "--large-workloads", parser)
    this_run = dict(command=" ".join(["python", "bench/time_dependent.py", *sys.argv[1:]]),
                    date=time.strftime("%Y-%m-%d"), sizes=sorted(args.sizes),
                    velmora=velmora_version(), commit=git_commit(), uncommitted=uncommitted(),
                    versions=library_versions(extra=("qutip",)))

    rows, references, ladders, skipped = [], [], [], []
    cross_checks = {}  # (workload, n) -> the SciPy reference run as a row
    found = {}  # workload -> method -> setting kept at the largest full size so far
    for r in sorted(earlier["rows"] if earlier else [], key=lambda r: r["n"]):
        if r["n"] <= args.full_up_to and r["method"] in PEERS and "setting" in r:
            found.setdefault(r["workload"], {})[r["method"]] = r["setting"]
    with tempfile.TemporaryDirectory() as tmp:
        for n in sorted(args.sizes):
            full = n <= args.full_up_to
            for workload in workloads:
                case = dict(workload=workload, n=n)
                if not full and workload not in large:
                    skipped.append(dict(case, method="all", reason=(
                        f"n > {args.full_up_to} (--full-up-to) and not in --large-workloads: "
                        "time budget")))
                    continue
                log(f"{workload}, n = {n}: velmora reference (tol {REFERENCE_TOL:g})")
                try:
                    record, ref = measure("velmora", workload, n, "reference", None, tmp)
                except RuntimeError as failure:
                    log(f"  failed: {failure}")
                    skipped.append(dict(case, method="all", reason=f"reference failed: {failure}"))
                    continue
                log(f"  {record['time_s']:.3g} s, reported error {record['reported_error']:.1e}")
                reference = dict(case, method="velmora", setting=setting_text(
                    "velmora", REFERENCE_TOL) + ", Taylor steps", **record)
                if n <= args.cross_check_up_to:
                    log(f"{workload}, n = {n}: SciPy DOP853 reference")
                    try:
                        other, state = measure("scipy", workload, n, "reference", None, tmp)
                        reference["cross_check"] = dict(
                            method="scipy", setting=setting_text("scipy", "reference"),
                            difference=relative(state, ref), **other)
                        cross_checks[workload, n] = dict(
                            case, method="scipy-reference", setting="reference", **other,
                            achieved_error=reference["cross_check"]["difference"])
                        log(f"  {other['time_s']:.3g} s, difference "
                            f"{reference['cross_check']['difference']:.2e}")
                    except RuntimeError as failure:
                        reference["cross_check"] = dict(method="scipy", failed=str(failure))
                references.append(reference)

                velmora_row = None
                for tol in VELMORA_TOLS if "velmora" in methods else ():
                    log(f"{workload}, n = {n}: velmora tol {tol:g}")
                    try:
                        record, state = measure("velmora", workload, n, tol, None, tmp)
                        row = dict(case, method="velmora", setting=tol, **record,
                                   achieved_error=relative(state, ref), reached=True)
                        rows.append(row)
                        if tol == TOL:
                            velmora_row = row
                        log(f"  {record['time_s']:.3g} s, {record['applications']} products, "
                            f"achieved {row['achieved_error']:.2e}")
                    except RuntimeError as failure:
                        log(f"  failed: {failure}")
                        rows.append(dict(case, method="velmora", setting=tol, failed=str(failure)))
                if velmora_row is None:
                    skipped.append(dict(case, method="peers",
                                        reason="no velmora run: no target error"))
                    continue
                target = velmora_row["achieved_error"]
                if (workload, n) in cross_checks:
                    row = cross_checks[workload, n]
                    row.update(reached=row["achieved_error"] <= target,
                               time_vs_velmora=row["time_s"] / velmora_row["time_s"],
                               products_vs_velmora=products(row) / velmora_row["applications"])
                    rows.append(row)
                for method in PEERS:
                    if method not in methods:
                        continue
                    if not full and method not in reduced:
                        skipped.append(dict(case, method=method, reason=(
                            f"n > {args.full_up_to} (--full-up-to): only velmora and "
                            f"{', '.join(reduced) or 'no peer'} run at this size")))
                        continue
                    start = FIRST_STEPS if method == "piecewise" else LADDER[0]
                    if not full and method in found.get(workload, {}):
                        start = found[workload][method]
                    log(f"{workload}, n = {n}: {method} (target {target:.2e})")
                    tries, keep = search(method, workload, n, start, target, ref, args.run_cap,
                                         args.max_steps, tmp, log)
                    ladders.append(dict(case, method=method, tries=tries))
                    if keep is None:
                        rows.append(dict(case, method=method, failed=tries[-1].get("failed")
                                         if tries else "no run"))
                        continue
                    row = dict(case, method=method, **tries[keep])
                    row["reached"] = row["achieved_error"] <= target
                    if not row["reached"]:
                        last = tries[-1]
                        row["why_not"] = (last["failed"] if "failed" in last else
                                          "step cap (--max-steps)" if method == "piecewise"
                                          else "tightest tolerance tried (1e-13)")
                        row["estimate"] = estimate(tries, target)
                    row["time_vs_velmora"] = row["time_s"] / velmora_row["time_s"]
                    row["products_vs_velmora"] = products(row) / velmora_row["applications"]
                    rows.append(row)
                    if full:
                        found.setdefault(workload, {})[method] = row["setting"]

    # The builds velmora's own rows ran on (the peers use it only to build matrices).
    builds = {r["package"] for r in references + rows if "package" in r
              and r["method"] in VELMORA_ROWS}
    builds |= {t["package"] for ladder in ladders if ladder["method"] in VELMORA_ROWS
               for t in ladder["tries"] if "package" in t}
    this_run["packages"] = sorted(builds)
    if len(builds) > 1:
        log(f"the installed velmora changed during the run: {', '.join(sorted(builds))}")
    info = dict(machine=machine_name(), cores=os.cpu_count(), t=T, tol=TOL,
                reference_tol=REFERENCE_TOL,
                run_cap_s=args.run_cap, max_steps=args.max_steps,
                full_up_to=args.full_up_to, runs=[this_run])
    path.parent.mkdir(parents=True, exist_ok=True)
    if earlier:
        measured = {(r["workload"], r["n"]) for r in references + skipped}

        def kept(items):
            return [r for r in items if (r["workload"], r["n"]) not in measured]
        rows = kept(earlier["rows"]) + rows
        references = kept(earlier["references"]) + references
        ladders = kept(earlier["ladders"]) + ladders
        skipped = kept(earlier["skipped"]) + skipped
        info["runs"] = earlier["info"]["runs"] + info["runs"]

    def by_case(items):
        return sorted(items, key=lambda r: (r["n"], WORKLOADS.index(r["workload"]),
                                            ROWS.index(r["method"])
                                            if r["method"] in ROWS else 99))
    data = dict(info=info, references=by_case(references), rows=by_case(rows),
                ladders=by_case(ladders), skipped=by_case(skipped))
    path.write_text(json.dumps(data, indent=1))
    text = markdown(data)
    path.with_suffix(".md").write_text(text)
    print(text)


def fmt(value, pattern, suffix=""):
    return "" if value is None else format(value, pattern) + suffix


def markdown(data):
    info = data["info"]

    def described(run):
        versions = describe(run["versions"])
        commit = run.get("commit")
        if commit and run.get("uncommitted"):
            commit += " with uncommitted changes to " + ", ".join(run["uncommitted"])
        if run.get("velmora"):
            versions = f"velmora {run['velmora']}" + (f" ({commit})" if commit else "") + \
                ", " + versions
        builds = run.get("packages", [])
        if len(builds) == 1:
            versions += f"; installed velmora build {builds[0]}"
        elif builds:
            versions += ("; the installed velmora was rebuilt during this run: builds "
                         f"{', '.join(builds)}, see the build column")
        return f"`{run['command']}` ({run['date']}; {versions})"
    runs = "; ".join(described(run) for run in info["runs"])
    lines = [
        f"Measured with {runs} on {info['machine']}, {info['cores']} cores; one thread, every "
        "run in its own process, the clock on the evolution call alone. Open Ising chain "
        "H(t) = -Σ Z_q Z_(q+1) [- 0.3 Σ Z_q] - h(t) Σ X_q from |0…0> to "
        f"T = {info['t']:g}; ramp: h(t) = 2t/10 with the longitudinal field 0.3 (not "
        "integrable), drive: h(t) = 1 + 0.5 cos 3t. velmora: `evolve(TimeDependentSum, ..., "
        "tol)` by Taylor steps at tol 1e-6, 1e-8 and 1e-10; the peers (method='magnus' among "
        f"them) are searched for velmora's error at tol {info['tol']:g}: the first "
        "tolerance of 1e-6, 1e-7, ... 1e-13 (rtol = atol) whose achieved error is at most "
        "velmora's; piecewise-constant velmora: the first N of 100, 200, ... "
        f"{info['max_steps']} midpoint steps that does. Achieved error: ||ψ - ψ_ref|| / "
        f"||ψ_ref|| against velmora at tol {info['reference_tol']:g} (Taylor steps). Products: "
        "velmora's products with one part (H(t)·v costs one with each part), RHS evaluations, "
        "one H(t)·v each (SciPy's nfev, QuSpin's right-hand side counted, QuTiP's calls of "
        "h(t)). Time and products ratios: the method's over "
        f"velmora's. A run longer than {info['run_cap_s']:g} s is stopped. Where a search "
        "stopped short of velmora's achieved error, the last column extrapolates its products "
        "and time to that error on the log-log line through its last two runs (an estimate, "
        "not a measurement). The cross-check run (SciPy DOP853 at rtol 1e-13, atol 1e-15) is "
        "listed as a measured point below velmora's error where the searches stop above it."
        + (f" Above n = {info['full_up_to']}, the peers that run start at the setting found "
           f"at n = {info['full_up_to']} (Not run lists the rest)."
           if any(r["n"] > info.get("full_up_to", 99) for r in data["rows"]) else ""),
        "",
        "| workload | n | method | setting found | time [s] | time / velmora | "
        "products (RHS evals) | products / velmora | f calls | achieved error | "
        "reported error | steps | est. at velmora's error: products, time [s] | "
        "velmora build |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in data["rows"]:
        head = f"| {r['workload']} | {r['n']} | {LABELS[r['method']]} | "
        if "failed" in r:
            lines.append(head + f"failed: {r['failed']} |" + " |" * 11)
            continue
        setting = setting_text(r["method"], r["setting"])
        if r["method"] == "magnus":
            setting += f", order {r['order']} (auto)"
        if not r.get("reached", True):
            setting += f" (not reached: {r['why_not']})" if "why_not" in r else " (not reached)"
        guess = r.get("estimate")
        guess = f"≈ {guess['products']:.3g}, ≈ {guess['time_s']:.3g}" if guess else ""
        lines.append(
            head + f"{setting} | {r['time_s']:.3g} | {fmt(r.get('time_vs_velmora'), '.2f', '×')} "
            f"| {products(r)} | {fmt(r.get('products_vs_velmora'), '.2f', '×')} | "
            f"{r['f_calls']} | {r['achieved_error']:.1e} | "
            f"{fmt(r.get('reported_error'), '.1e')} | {fmt(r.get('steps'), 'd')} | {guess} | "
            f"{r.get('package', '') if r['method'] in VELMORA_ROWS else ''} |")
    lines += [
        "",
        "References, and the SciPy cross-check (relative difference of the two final states):",
        "",
        "| workload | n | reference | velmora build | time [s] | products | f calls | "
        "reported error | cross-check | its time [s] | its RHS evals | difference |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in data["references"]:
        check = r.get("cross_check")
        if check is None:
            other = "not run | | |"
        elif "failed" in check:
            other = f"SciPy DOP853 failed: {check['failed']} | | |"
        else:
            other = (f"SciPy DOP853, {check['setting']} | {check['time_s']:.3g} | "
                     f"{check['nfev']} | {check['difference']:.1e}")
        lines.append(
            f"| {r['workload']} | {r['n']} | velmora, {r['setting']} | {r.get('package', '')} | "
            f"{r['time_s']:.3g} | "
            f"{r['applications']} | {r['function_calls']} | {r['reported_error']:.1e} | "
            f"{other} |")
    lines += [
        "",
        "Every run of the searches:",
        "",
        "| workload | n | method | setting | time [s] | products (RHS evals) | f calls | "
        "achieved error |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for ladder in data["ladders"]:
        for t in ladder["tries"]:
            head = (f"| {ladder['workload']} | {ladder['n']} | {LABELS[ladder['method']]} | "
                    f"{setting_text(ladder['method'], t['setting'])} | ")
            if "failed" in t:
                lines.append(head + f"{t['failed']} | | | |")
            else:
                lines.append(head + f"{t['time_s']:.3g} | {products(t)} | {t['f_calls']} | "
                             f"{t['achieved_error']:.1e} |")
    if data["skipped"]:
        lines += ["", "Not run:", ""]
        for s in data["skipped"]:
            lines.append(f"- {s['workload']}, n = {s['n']}, {LABELS.get(s['method'], s['method'])}"
                         f": {s['reason']}")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    main()
