"""A broad random audit of velmora.evolve against 200-bit references: random
Pauli sums of 2-6 qubits (some with identity terms), random states, real,
imaginary and complex times and tolerances from 1e-13 to 1e-6. Prints, per
kind of time, the smallest and median ratio of the reported to the true error,
and lists every case where the reported error is below the true one, or where
a real-time result misses a tol that is at least the documented smallest.

    .venv/bin/python tests/error_audit.py [SEED] [COUNT]     (from outside the repository root)
"""
import math
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import numpy as np
from precise import Reference
from velmora import PauliSum, evolve

LET = np.array(list("IXYZ"))
rng = np.random.default_rng(int(sys.argv[1]) if len(sys.argv) > 1 else 0)
count = int(sys.argv[2]) if len(sys.argv) > 2 else 200
rows = []
t0 = time.time()
for case in range(count):
    n = int(rng.integers(2, 7))
    words = int(rng.integers(1, 25))
    terms = [("".join(rng.choice(LET, size=n)), float(rng.normal() * 10 ** rng.uniform(-1, 1)))
             for _ in range(words)]
    if rng.random() < 0.3:
        terms.append(("I" * n, float(rng.normal() * 5)))
    H = PauliSum(terms)
    dense = H.to_sparse().toarray()
    w = np.linalg.eigvalsh(dense)
    radius = max(abs(w[0]), abs(w[-1]), 1e-300)
    kind = rng.choice(["real", "imag", "complex"], p=[0.5, 0.25, 0.25])
    tol = float(10 ** rng.uniform(-13, -6))
    psi = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    if kind == "real":
        t = float(10 ** rng.uniform(-3, 3)) / radius
    else:
        # keep the result within the double range
        tau = float(10 ** rng.uniform(-2, 1.5)) / max(w[-1] - w[0], 1e-3)
        d = -1j if kind == "imag" else np.exp(-1j * rng.uniform(0.05, math.pi - 0.05))
        t = tau * d
    try:
        r = evolve(H, psi, t, tol=tol, num_threads=0)
    except Exception as e:
        rows.append((case, kind, tol, "raised", str(e)[:60])); continue
    true = Reference(H, psi).relative_error(r.state, t)
    smallest = max(1e-13, 5e-16 * H.norm_bound * abs(t))
    rows.append((case, kind, tol, true, r.error, smallest))
print(f"{count} cases in {time.time() - t0:.0f} s")
bad_tol = [r for r in rows if r[3] != "raised" and r[1] == "real" and r[2] >= r[5] and r[3] > r[2]]
bad_rep = [r for r in rows if r[3] != "raised" and r[4] < r[3]]
raised = [r for r in rows if r[3] == "raised"]
for kind in ("real", "imag", "complex"):
    ks = [r for r in rows if r[1] == kind and r[3] != "raised"]
    if ks:
        ratios = [r[4] / r[3] for r in ks if r[3] > 0]
        print(f"{kind}: {len(ks)} cases, reported/true min {min(ratios):.2g} median {np.median(ratios):.2g}; true > tol (tol >= smallest): {sum(1 for r in ks if r[2] >= r[5] and r[3] > r[2])}")
print("true error above tol (real, tol >= smallest):", bad_tol[:5])
print("reported below true:", bad_rep[:5])
print("raised:", raised[:5])
