"""Benchmark of symmetry sectors: the Heisenberg ring from a Néel state to t = 10
(tol 1e-10), end to end in velmora and in QuSpin, every measurement in its own
process (its peak memory is its own), one thread unless --threads says otherwise.

    python bench/sectors.py [--sites 24,28,32] [--weight-only 24]
                            [--skip-quspin-above 28] [--methods velmora,quspin]
                            [--precompute auto,lean] [--skip-lean-above 28]
                            [--repeats 1] [--threads 1]
                            [--out bench/results]
    python bench/sectors.py --quick      # 16 and 20 sites, under a minute

Cases: the ring of n sites, H = sum over its n bonds of XX + YY + ZZ
(`velmora.models.heisenberg_chain(n, periodic=True)`, 3n words), from the Néel
state int('01' * (n // 2), 2), in the sector of weight n/2 (zero
magnetisation); the sizes not in --weight-only also fix momentum 0, parity +1
and spin flip +1, where the start is the Néel state's projection on the sector,
(|0101...> + |1010...>)/sqrt(2). Default: 24 sites at weight 12 (2.7 M states),
28 and 32 sites in the symmetric sector (3.6e5 and 4.7 M states); QuSpin runs up
to --skip-quspin-above sites.

Each run starts from the Pauli sum (built before the clock) and includes every
basis and matrix build, timed in three parts (after a run of the 4-site ring in
the same process, which pays each library's one-time costs off the clock):
  velmora  basis      Sector.chain(...), len(sector) and the start vector
                      (sector.index of the Néel state);
           operator   H.in_sector(sector);
           evolution  velmora.evolve(op, phi, 10.0, tol=1e-10): with the default
                      precompute=None, the images the operator precomputes at its
                      first evolve (when they fit the memory budget) are built
                      here; op.image_bytes is recorded after in_sector and after
                      evolve, which shows where they were built.
  QuSpin   basis      spin_basis_1d(n, Nup=n//2, pauli=1[, kblock=0, pblock=1,
                      zblock=1]);
           operator   quspin.operators.hamiltonian from the same Pauli sum's terms
                      (real, float64: the cheaper of QuSpin's matrix types for
                      this H; QuSpin's symbolic checks of the operator list are
                      off, they print) and its CSR matrix (H.tocsr());
           evolution  ExpmMultiplyParallel(csr, a=-10j).dot(psi0), at QuSpin's
                      own truncation tolerance (double precision), set up included.

The QuSpin Hamiltonian is the velmora one with qubit q on QuSpin's site n-1-q
and Y, Z both negated for each letter (QuSpin's up spin is a set bit, velmora's
Z is -1 there): the two matrices are then equal entry by entry in the basis of
integers, so both programs hold the same state at the same integers. The
symmetric sectors of both are spanned by the normalised sums over the orbits
under translations, reflection and spin flip (every character is 1 there); a
basis vector is named by its orbit. Compared where both ran:
  overlap      |<velmora|QuSpin>| after matching the orbits (velmora names an
               orbit by its smallest integer, QuSpin by its largest);
  return prob. |<start|psi(10)>|^2 in each, and the energy <psi(10)|H|psi(10)>
               (conserved: the Néel state's, -n, in both).

Recorded per run: the three wall times; peak resident set of the process (and
above its state after the imports); states; H-products (QuSpin: at most s * m*,
its Taylor partition); ns per state per word per product (velmora's evolve time
/ products / states / words); the bytes of the precomputed images and of the
basis (sector.states.nbytes; QuSpin: basis.states.nbytes). Ratios are QuSpin
time / velmora time. Writes sectors.md and sectors.json under --out.
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
from worker import peak_bytes, reset_peak, rss_bytes  # noqa: E402

TOL = 1e-10
T = 10.0
SITES = (24, 28, 32)
WEIGHT_ONLY = (24,)
QUICK_SITES = (16, 20)
QUICK_WEIGHT_ONLY = (16,)
SKIP_QUSPIN_ABOVE = 28
PRECOMPUTE = {"auto": None, "true": True, "false": False, "lean": None}
#: Modes with memory_budget=0: the Krylov basis regenerated in a second pass
#: (about six sector vectors instead of krylov_dim + 1), the images kept.
LEAN = {"lean"}
# Each measurement first runs the ring of this size in the same way, so that
# one-time costs (lazy imports, QuSpin's first hamiltonian takes 0.3 s) stay
# off the clock.
WARM_UP_SITES = 4


def neel(n):
    """|0101...01>: the odd qubits in state 1 (qubit 0 is the last letter)."""
    return int("01" * (n // 2), 2)


def sector_name(n, symmetric):
    return f"w={n // 2}, k=0, p=+1, z=+1" if symmetric else f"w={n // 2}"


# -- orbits of basis integers under the ring's translations, reflection and flip --

_REVERSED_BYTE = np.array([int(f"{b:08b}"[::-1], 2) for b in range(256)], dtype=np.uint8)


def _reflect(x, n):
    """Bit q of each x moved to bit n - 1 - q (x: uint64 array)."""
    # Bits reversed in each byte, then the bytes in reverse order: all 64 bits reversed.
    reversed_bits = _REVERSED_BYTE[x.view(np.uint8)].view(np.uint64).byteswap()
    return reversed_bits >> np.uint64(64 - n)


def orbit_extreme(states, n, symmetric, pick=np.minimum):
    """The smallest (pick=np.minimum) or largest (np.maximum) integer of each
    state's orbit under the translations, the reflection and the spin flip
    (symmetric), or the states themselves (not symmetric)."""
    x = np.ascontiguousarray(states, dtype=np.uint64)
    if not symmetric:
        return x.copy()
    mask = np.uint64((1 << n) - 1)
    one, back = np.uint64(1), np.uint64(n - 1)
    best = x.copy()
    for start in (x, x ^ mask):
        for y in (start, _reflect(start, n)):
            for _ in range(n):
                best = pick(best, y)
                y = ((y << one) | (y >> back)) & mask
    return best


# -- the two sides, each in a child process --------------------------------------

def run_velmora(n, symmetric, threads, precompute):
    from velmora import Sector, evolve
    from velmora.models import heisenberg_chain

    if n > WARM_UP_SITES:
        run_velmora(WARM_UP_SITES, symmetric, threads, precompute)
    H = heisenberg_chain(n, periodic=True)
    reset_peak()
    baseline = rss_bytes()

    start = time.perf_counter()
    if symmetric:
        sector = Sector.chain(n, weight=n // 2, momentum=0, parity=1, spin_flip=1)
    else:
        sector = Sector.chain(n, weight=n // 2)
    size = len(sector)
    first = sector.index(neel(n))
    phi = np.zeros(size, dtype=np.complex128)
    phi[first] = 1.0
    basis_s = time.perf_counter() - start

    start = time.perf_counter()
    op = H.in_sector(sector, precompute=PRECOMPUTE[precompute])
    operator_s = time.perf_counter() - start
    images_built = op.image_bytes

    start = time.perf_counter()
    budget = 0 if precompute in LEAN else None
    result = evolve(op, phi, T, tol=TOL, num_threads=threads, memory_budget=budget)
    evolution_s = time.perf_counter() - start
    peak = peak_bytes()

    state = result.state
    record = dict(
        states=size, words=len(H), basis_s=basis_s, operator_s=operator_s,
        evolution_s=evolution_s, baseline_bytes=baseline, peak_bytes=peak,
        basis_bytes=int(sector.states.nbytes), image_bytes_after_operator=int(images_built),
        image_bytes=int(op.image_bytes), applications=int(result.applications),
        steps=int(result.steps), error=float(result.error), kept_basis=bool(result.kept_basis),
        return_probability=float(abs(state[first]) ** 2),
        energy=float(np.real(op.expectation(state, num_threads=threads))),
        norm=float(np.linalg.norm(state)))
    return record, state, np.asarray(sector.states, dtype=np.uint64)


def quspin_static(H, n):
    """QuSpin's static list for the PauliSum H on n sites: qubit q is site
    n - 1 - q and each Y or Z letter takes a factor -1, which makes QuSpin's
    matrix (pauli=1) equal to velmora's in the basis of integers."""
    grouped = {}
    for label, coeff in H.terms:
        letters = [(n - 1 - position, letter)  # position p holds qubit n - 1 - p: site p
                   for position, letter in enumerate(label) if letter != "I"]
        sign = (-1) ** sum(letter in "YZ" for _, letter in letters)
        opstr = "".join(letter.lower() for _, letter in letters) or "I"
        sites = [n - 1 - q for q, _ in letters] if letters else [0]
        grouped.setdefault(opstr, []).append([sign * coeff] + sites)
    return [[opstr, couplings] for opstr, couplings in grouped.items()]


def run_quspin(n, symmetric, threads):
    from quspin.basis import spin_basis_1d
    from quspin.operators import hamiltonian
    from quspin.tools.expm_multiply_parallel_core import ExpmMultiplyParallel
    from velmora.models import heisenberg_chain

    H = heisenberg_chain(n, periodic=True)
    static = quspin_static(H, n)
    real = all(c.imag == 0 for _, c in H.terms)
    if real:
        static = [[opstr, [[c.real] + sites for c, *sites in couplings]]
                  for opstr, couplings in static]
    blocks = dict(kblock=0, pblock=1, zblock=1) if symmetric else {}
    if n > WARM_UP_SITES:
        run_quspin(WARM_UP_SITES, symmetric, threads)
    reset_peak()
    baseline = rss_bytes()

    start = time.perf_counter()
    basis = spin_basis_1d(n, Nup=n // 2, pauli=1, **blocks)
    size = basis.Ns
    representative = int(orbit_extreme(np.array([neel(n)], dtype=np.uint64), n, symmetric,
                                       np.maximum)[0])
    first = int(basis.index(representative))
    psi = np.zeros(size, dtype=np.complex128)
    psi[first] = 1.0
    basis_s = time.perf_counter() - start

    start = time.perf_counter()
    ham = hamiltonian(static, [], basis=basis, dtype=np.float64 if real else np.complex128,
                      check_symm=False, check_herm=False, check_pcon=False)
    matrix = ham.tocsr()
    operator_s = time.perf_counter() - start

    start = time.perf_counter()
    propagator = ExpmMultiplyParallel(matrix, a=-1j * T)
    state = propagator.dot(psi)
    evolution_s = time.perf_counter() - start
    peak = peak_bytes()

    record = dict(
        states=int(size), words=len(H), basis_s=basis_s, operator_s=operator_s,
        evolution_s=evolution_s, baseline_bytes=baseline, peak_bytes=peak,
        basis_bytes=int(basis.states.nbytes), matrix_bytes=int(
            matrix.data.nbytes + matrix.indices.nbytes + matrix.indptr.nbytes),
        nnz=int(matrix.nnz), max_applications=int(propagator._s * propagator._m_star),
        return_probability=float(abs(state[first]) ** 2),
        energy=float(np.real(np.vdot(state, matrix @ state))),
        norm=float(np.linalg.norm(state)))
    return record, state, np.asarray(basis.states, dtype=np.uint64)


def child(method, n, symmetric, threads, precompute, out):
    if method == "velmora":
        record, state, states = run_velmora(n, symmetric, threads, precompute)
    elif method == "quspin":
        record, state, states = run_quspin(n, symmetric, threads)
    else:
        raise SystemExit(f"unknown method {method}")
    if out != "-":
        np.savez(out, state=state, states=states)
    print(json.dumps(record))


def measure(method, n, symmetric, threads, precompute, save, tmp):
    out = str(pathlib.Path(tmp) / f"{method}-{n}-{precompute}.npz") if save else "-"
    env = dict(os.environ, OMP_NUM_THREADS=str(max(threads, 1)), OPENBLAS_NUM_THREADS="1",
               MKL_NUM_THREADS="1")
    proc = subprocess.run([sys.executable, __file__, "--child", method, str(n),
                           str(int(symmetric)), str(threads), precompute, out],
                          capture_output=True, text=True, env=env, timeout=4 * 3600)
    if proc.returncode != 0:
        lines = proc.stderr.strip().splitlines()
        raise RuntimeError(lines[-1] if lines else f"exit status {proc.returncode}")
    record = json.loads(proc.stdout.strip().splitlines()[-1])
    record["total_s"] = record["basis_s"] + record["operator_s"] + record["evolution_s"]
    return record, out


def best_of(method, n, symmetric, threads, precompute, repeats, save, tmp):
    """The run with the least total time of `repeats` runs, each in its own process."""
    best, totals = None, []
    for _ in range(repeats):
        record, out = measure(method, n, symmetric, threads, precompute, save, tmp)
        totals.append(record["total_s"])
        if best is None or record["total_s"] < best[0]["total_s"]:
            best = record, out
    best[0]["totals_s"] = totals
    return best


def compare(n, symmetric, velmora_file, quspin_file):
    """The two final states against each other, matched orbit by orbit."""
    with np.load(velmora_file) as v, np.load(quspin_file) as q:
        ours, our_states = v["state"], v["states"]
        theirs, their_states = q["state"], q["states"]
    if ours.size != theirs.size:
        return dict(same_size=False)
    names = orbit_extreme(their_states, n, symmetric)
    position = np.minimum(np.searchsorted(our_states, names), our_states.size - 1)
    matched = bool(np.array_equal(our_states[position], names)
                   and np.array_equal(np.sort(position), np.arange(ours.size)))
    if not matched:
        return dict(same_size=True, matched=False)
    overlap = abs(np.vdot(ours[position], theirs)) / (np.linalg.norm(ours)
                                                      * np.linalg.norm(theirs))
    return dict(same_size=True, matched=True, one_minus_overlap=float(1.0 - overlap),
                max_difference=float(np.abs(ours[position] - theirs).max()))


def quspin_available():
    probe = "import quspin.basis, quspin.operators, quspin.tools.expm_multiply_parallel_core"
    return subprocess.run([sys.executable, "-c", probe], capture_output=True).returncode == 0


def sizes(text):
    return tuple(int(part) for part in text.split(",") if part.strip())


def git_commit():
    proc = subprocess.run(["git", "-C", str(HERE.parent), "rev-parse", "--short", "HEAD"],
                          capture_output=True, text=True)
    return proc.stdout.strip() or None


def velmora_version():
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("velmora")
    except PackageNotFoundError:
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sites", type=sizes, default=None,
                        help=f"ring sizes, comma-separated (default {','.join(map(str, SITES))})")
    parser.add_argument("--weight-only", type=sizes, default=None,
                        help="the sizes whose sector fixes the weight alone; the others also "
                             "fix momentum 0, parity +1, spin flip +1 (default "
                             f"{','.join(map(str, WEIGHT_ONLY))})")
    parser.add_argument("--quick", action="store_true",
                        help=f"sites {','.join(map(str, QUICK_SITES))}, weight only at "
                             f"{','.join(map(str, QUICK_WEIGHT_ONLY))}")
    parser.add_argument("--skip-quspin-above", type=int, default=SKIP_QUSPIN_ABOVE, metavar="N",
                        help=f"run QuSpin only up to N sites (default {SKIP_QUSPIN_ABOVE})")
    parser.add_argument("--skip-lean-above", type=int, default=28, metavar="N",
                        help="run the memory_budget=0 row only up to N sites (default 28)")
    parser.add_argument("--methods", default="velmora,quspin",
                        help="velmora, quspin or both (default both)")
    parser.add_argument("--precompute", default="auto,lean",
                        help="velmora's precompute: auto (None), true, false, lean (None with "
                             "memory_budget=0, the basis regenerated), or several, "
                             "comma-separated, one row each (default auto)")
    parser.add_argument("--threads", type=int, default=1,
                        help="velmora's num_threads and QuSpin's OMP_NUM_THREADS (default 1)")
    parser.add_argument("--repeats", type=int, default=1,
                        help="runs per measurement, each in its own process; the fastest "
                             "total is kept (default 1)")
    parser.add_argument("--out", default=str(HERE / "results"))
    parser.add_argument("--child", nargs=6, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        method, n, symmetric, threads, precompute, out = args.child
        child(method, int(n), bool(int(symmetric)), int(threads), precompute, out)
        return

    def log(text):
        print(text, file=sys.stderr, flush=True)

    sites = args.sites or (QUICK_SITES if args.quick else SITES)
    weight_only = args.weight_only if args.weight_only is not None else (
        QUICK_WEIGHT_ONLY if args.quick else WEIGHT_ONLY)
    methods = {m.strip() for m in args.methods.split(",") if m.strip()}
    if not methods <= {"velmora", "quspin"}:
        parser.error(f"--methods: unknown {', '.join(sorted(methods - {'velmora', 'quspin'}))}")
    modes = [m.strip() for m in args.precompute.split(",") if m.strip()]
    if not modes or not set(modes) <= set(PRECOMPUTE):
        parser.error("--precompute takes auto, true, false and/or lean")
    odd = [n for n in sites if n % 2 or n < 4 or n > 63]
    if odd:
        parser.error(f"--sites: the Néel state needs an even ring of 4..62 sites, got {odd}")
    have_quspin = "quspin" in methods and quspin_available()
    if "quspin" in methods and not have_quspin:
        log("QuSpin is not importable: velmora alone")

    rows, checks = [], []
    with tempfile.TemporaryDirectory() as tmp:
        for n in sites:
            symmetric = n not in weight_only
            case = dict(n=n, sector=sector_name(n, symmetric), symmetric=symmetric)
            run_quspin_here = have_quspin and n <= args.skip_quspin_above
            files = {}
            if "velmora" in methods:
                for mode in modes:
                    if mode in LEAN and n > args.skip_lean_above:
                        continue
                    label = ("velmora" if mode == "auto" else
                             "velmora memory_budget=0" if mode == "lean" else
                             f"velmora precompute={mode}")
                    log(f"{n} sites ({case['sector']}): {label}")
                    try:
                        record, out = best_of("velmora", n, symmetric, args.threads, mode,
                                              args.repeats, run_quspin_here, tmp)
                    except RuntimeError as failure:
                        log(f"  failed: {failure}")
                        rows.append(dict(case, method=label, failed=str(failure)))
                        continue
                    files[label] = out
                    rows.append(dict(case, method=label, **record))
            if "quspin" in methods and not run_quspin_here:
                reason = (f"n > {args.skip_quspin_above} (--skip-quspin-above)"
                          if have_quspin else "QuSpin not importable")
                rows.append(dict(case, method="quspin", skipped=reason))
            elif "quspin" in methods:
                log(f"{n} sites ({case['sector']}): quspin")
                try:
                    record, out = best_of("quspin", n, symmetric, args.threads, "auto",
                                          args.repeats, True, tmp)
                    files["quspin"] = out
                    rows.append(dict(case, method="quspin", **record))
                except RuntimeError as failure:
                    log(f"  failed: {failure}")
                    rows.append(dict(case, method="quspin", failed=str(failure)))
            theirs = next((r for r in rows if r["n"] == n and r["method"] == "quspin"
                           and "total_s" in r), None)
            for r in rows:
                if r["n"] != n or not r["method"].startswith("velmora") or "total_s" not in r:
                    continue
                r["products_ns"] = 1e9 * r["evolution_s"] / (
                    r["applications"] * r["states"] * r["words"]) if r["applications"] else None
                if theirs is None:
                    continue
                for part in ("basis_s", "operator_s", "evolution_s", "total_s"):
                    r[f"ratio_{part[:-2]}"] = theirs[part] / r[part] if r[part] > 0 else None
                check = dict(n=n, sector=case["sector"], method=r["method"],
                             states=r["states"], quspin_states=theirs["states"],
                             return_probability=r["return_probability"],
                             quspin_return_probability=theirs["return_probability"],
                             energy=r["energy"], quspin_energy=theirs["energy"])
                if r["method"] in files and "quspin" in files:
                    check.update(compare(n, symmetric, files[r["method"]], files["quspin"]))
                checks.append(check)
            for path in files.values():
                pathlib.Path(path).unlink(missing_ok=True)

    info = dict(date=time.strftime("%Y-%m-%d"), machine=platform.machine(),
                cores=os.cpu_count(), versions=library_versions(), velmora=velmora_version(),
                commit=git_commit(), tol=TOL, t=T, threads=args.threads, repeats=args.repeats,
                command=" ".join(["python", "bench/sectors.py", *sys.argv[1:]]))
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "sectors.json").write_text(json.dumps(dict(info=info, rows=rows, checks=checks),
                                                 indent=1))
    text = markdown(info, rows, checks)
    (out / "sectors.md").write_text(text)
    print(text)


def fmt(value, pattern, suffix=""):
    return "" if value is None else format(value, pattern) + suffix


def mib(value):
    return fmt(None if value is None else value / 2**20, ".0f" if value and value >= 2**24
               else ".1f")


def markdown(info, rows, checks):
    versions = describe(info["versions"])
    if info.get("velmora"):
        versions = f"velmora {info['velmora']}" + (f" ({info['commit']})" if info.get("commit")
                                                   else "") + ", " + versions
    lines = [
        f"Measured with `{info['command']}` ({info['date']}, {info['machine']}, "
        f"{info['cores']} cores; {versions}); {info['threads']} thread(s); best total of "
        f"{info['repeats']} run(s), each in its own process. Heisenberg ring (3n words) from "
        f"the Néel state to t = {info['t']:g}; velmora at tol {info['tol']:g}, QuSpin's "
        "ExpmMultiplyParallel at its own tolerance (double precision). Times include every "
        "basis and matrix build; `QuSpin / velmora` is QuSpin's time over velmora's, total "
        "(evolution alone). Products for QuSpin: at most s·m* of its Taylor partition. "
        "ns/(state·word·product): velmora's evolution time per product, basis state and word. "
        "Memory: peak resident set of the process (interpreter and libraries included).",
        "",
        "| sites | sector | states | method | basis [s] | operator [s] | evolution [s] | "
        "total [s] | QuSpin / velmora | products | ns/(state·word·product) | "
        "peak RSS [MiB] (above imports) | basis [MiB] | images [MiB] | error bound |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        head = f"| {r['n']} | {r['sector']} | "
        if "skipped" in r or "failed" in r:
            why = f"skipped: {r['skipped']}" if "skipped" in r else f"failed: {r['failed']}"
            lines.append(head + f" | {r['method']} | {why} |" + " |" * 10)
            continue
        velmora = r["method"].startswith("velmora")
        ratio = ""
        if r.get("ratio_total") is not None:
            ratio = f"{r['ratio_total']:.1f}× ({fmt(r.get('ratio_evolution'), '.1f', '×')})"
        products = fmt(r.get("applications"), "d") if velmora else \
            f"≤ {r['max_applications']}"
        lines.append(
            head + f"{r['states']:,} | {r['method']} | {r['basis_s']:.3g} | "
            f"{r['operator_s']:.3g} | {r['evolution_s']:.3g} | {r['total_s']:.3g} | {ratio} | "
            f"{products} | {fmt(r.get('products_ns'), '.3f')} | {mib(r['peak_bytes'])} "
            f"({mib(r['peak_bytes'] - r['baseline_bytes'])}) | "
            f"{mib(r['basis_bytes'])} | {mib(r.get('image_bytes')) if velmora else ''} | "
            f"{fmt(r.get('error'), '.1e')} |")
    if checks:
        lines += [
            "",
            "The final states against QuSpin's: the overlap after matching the basis vectors "
            "orbit by orbit (velmora names an orbit by its smallest integer, QuSpin by its "
            "largest; the QuSpin matrix is velmora's entry by entry in the basis of integers), "
            "the return probability |<start|psi(t)>|² and the energy (-n at t = 0).",
            "",
            "| sites | sector | method | states (velmora / QuSpin) | 1 − overlap | "
            "max amplitude difference | return probability velmora | QuSpin | "
            "energy velmora | QuSpin |",
            "|---|---|---|---|---|---|---|---|---|---|",
        ]
        for c in checks:
            if not c.get("same_size", False):
                match = "sizes differ | "
            elif not c.get("matched", False):
                match = "orbits not matched | "
            else:
                match = f"{c['one_minus_overlap']:.1e} | {c['max_difference']:.1e}"
            lines.append(
                f"| {c['n']} | {c['sector']} | {c['method']} | {c['states']:,} / "
                f"{c['quspin_states']:,} | {match} | {c['return_probability']:.12f} | "
                f"{c['quspin_return_probability']:.12f} | {c['energy']:.10f} | "
                f"{c['quspin_energy']:.10f} |")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    main()
