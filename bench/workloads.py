"""Benchmark workloads as lists of (coefficient, Pauli string) terms, and the
same Hamiltonians as SciPy CSR matrices built from those terms."""

import numpy as np

WORKLOADS = ("ising", "xxz", "random4local")


def _letters(n, placed):
    s = ["I"] * n
    for qubit, letter in placed:
        s[n - 1 - qubit] = letter  # the last letter acts on qubit 0
    return "".join(s)


def terms(workload, n):
    if workload == "ising":  # -sum Z Z - sum X on an open chain: 2n - 1 words
        out = [(-1.0, _letters(n, [(q, "Z"), (q + 1, "Z")])) for q in range(n - 1)]
        return out + [(-1.0, _letters(n, [(q, "X")])) for q in range(n)]
    if workload == "xxz":  # sum X X + Y Y + 0.5 Z Z on a ring: 3n words
        out = []
        for q in range(n):
            r = (q + 1) % n
            out += [(1.0, _letters(n, [(q, "X"), (r, "X")])),
                    (1.0, _letters(n, [(q, "Y"), (r, "Y")])),
                    (0.5, _letters(n, [(q, "Z"), (r, "Z")]))]
        return out
    if workload == "random4local":  # 500 random 4-local words
        rng = np.random.default_rng(2024 + n)
        out = []
        for _ in range(500):
            qubits = rng.choice(n, size=4, replace=False)
            letters = rng.choice(list("XYZ"), size=4)
            out.append((float(rng.normal()), _letters(n, list(zip(qubits, letters)))))
        return out
    raise ValueError(f"unknown workload {workload!r}")


def default_coeff(workload, n):
    """A coefficient well inside the accuracy range of one Krylov step."""
    if workload in ("ising", "xxz"):
        return 0.2
    bound = sum(abs(c) for c, _ in terms(workload, n))  # >= ||H||
    return 6.0 / bound


def masks(letters):
    n = len(letters)
    flip = y = z = 0
    for i, ch in enumerate(letters):
        bit = 1 << (n - 1 - i)
        if ch in "XY":
            flip |= bit
        if ch == "Y":
            y |= bit
        if ch == "Z":
            z |= bit
    return flip, y, z


def distinct_flips(term_list):
    return sorted({masks(s)[0] for _, s in term_list})


def csr_bytes(term_list, n):
    """Bytes of the CSR matrix: one entry per distinct flip mask and row."""
    return len(distinct_flips(term_list)) * 2**n * (16 + 4)


def csr_matrix(term_list, n, scale=1.0):
    """scale * H as a CSR matrix, built row-major without a COO detour: every
    row has one entry per distinct flip mask (zeros included)."""
    import scipy.sparse as sp

    size = 2**n
    flips = distinct_flips(term_list)
    rows = np.arange(size, dtype=np.int64)
    data = np.zeros((size, len(flips)), dtype=np.complex128)
    index = {f: r for r, f in enumerate(flips)}
    for coeff, letters in term_list:
        flip, y, z = masks(letters)
        phase = (1j) ** (bin(y).count("1") % 4)
        columns = rows ^ flip  # input index feeding output row j
        sign = 1.0 - 2.0 * (np.bitwise_count(columns & (y | z)) & 1)
        data[:, index[flip]] += (scale * coeff * phase) * sign
    indices = (rows[:, None] ^ np.array(flips, dtype=np.int64)[None, :]).astype(np.int32)
    indptr = np.arange(0, size * len(flips) + 1, len(flips), dtype=np.int64)
    return sp.csr_matrix((data.ravel(), indices.ravel(), indptr), shape=(size, size))


def state(n, seed=7):
    rng = np.random.default_rng(seed)
    psi = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    return psi / np.linalg.norm(psi)
