"""A random audit of velmora.evolve under TimeDependentSums against SciPy's
DOP853 at rtol 1e-13: random Hermitian Pauli sums of 3-6 qubits split into a
constant part and one to three driven parts with random smooth functions
(sums of sines and cosines of frequencies up to 8, linear ramps, Gaussian
pulses), random states, tolerances from 1e-11 to 1e-4, by Taylor steps (the
default) or, with METHOD magnus, quasi-Magnus steps of orders 4/6/8.
Prints the smallest and median ratio of the reported to the true error, the
largest ratio of the true error to tol, and lists every case where the
reported error is below the true one. Cases whose true error is below 1e-11
(the reference's own accuracy) count towards the tol check only.

    .venv/bin/python tests/time_dependent_audit.py [SEED] [COUNT] [METHOD]   (from outside the repository root)
"""
import functools
import math
import sys
import time
import warnings

import numpy as np
from scipy.integrate import solve_ivp

from velmora import PauliSum, TimeDependentSum, evolve

LETTERS = np.array(list("IXYZ"))


def wave(amplitudes, frequencies, phases, t):
    return sum(a * math.cos(w * t + p) for a, w, p in zip(amplitudes, frequencies, phases))


def ramp(a, b, t):
    return a + b * t


def pulse(a, center, width, t):
    return a * math.exp(-((t - center) / width) ** 2)


def random_function(rng):
    kind = rng.choice(["wave", "ramp", "pulse"])
    if kind == "wave":
        k = int(rng.integers(1, 4))
        return functools.partial(wave, tuple(rng.normal(size=k)), tuple(rng.uniform(0, 8, k)),
                                 tuple(rng.uniform(0, 6.3, k)))
    if kind == "ramp":
        return functools.partial(ramp, float(rng.normal()), float(rng.normal()))
    return functools.partial(pulse, float(rng.normal() * 2), float(rng.uniform(0, 3)),
                             float(rng.uniform(0.2, 1.0)))


def main():
    rng = np.random.default_rng(int(sys.argv[1]) if len(sys.argv) > 1 else 0)
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 60
    method = sys.argv[3] if len(sys.argv) > 3 else "taylor"
    ratios, over, below = [], [], []
    start = time.time()
    for case in range(count):
        n = int(rng.integers(3, 7))
        parts, dense = [], []
        for k in range(int(rng.integers(2, 5))):
            terms = [("".join(rng.choice(LETTERS, size=n)), float(rng.normal()))
                     for _ in range(int(rng.integers(1, 8)))]
            part = PauliSum(terms)
            f = None if k == 0 else random_function(rng)
            parts.append(part if f is None else (part, f))
            dense.append((part.to_sparse().toarray(), f))
        H = TimeDependentSum(parts)
        psi = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
        psi /= np.linalg.norm(psi)
        t1 = float(rng.uniform(0.5, 4.0))
        tol = float(10 ** rng.uniform(-11, -4))
        order = int(rng.choice([4, 6, 8]))

        def rhs(t, y):
            return -1j * sum((1.0 if f is None else f(t)) * (m @ y) for m, f in dense)

        want = solve_ivp(rhs, (0.0, t1), psi, method="DOP853", rtol=1e-13, atol=1e-15).y[:, -1]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            if method == "magnus":
                result = evolve(H, psi, t1, tol=tol, order=order, method="magnus")
            else:
                result = evolve(H, psi, t1, tol=tol)
        true = float(np.linalg.norm(result.state - want))
        over.append(true / tol)
        if true >= 1e-11:
            ratios.append(result.error / true)
            if result.error < true:
                below.append((case, n, order, tol, true, result.error))
    ratios = np.array(ratios)
    print(f"{count} cases in {time.time() - start:.0f} s; {ratios.size} with true error >= 1e-11")
    if ratios.size:
        print(f"reported/true: min {ratios.min():.2f}, median {np.median(ratios):.1f}")
    print(f"largest true/tol: {max(over):.3f}")
    for row in below:
        print("reported below true: case %d, n %d, order %d, tol %.1e, true %.2e, reported %.2e"
              % row)


if __name__ == "__main__":
    main()
