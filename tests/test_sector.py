"""Symmetry sectors (velmora.Sector, PauliSum.in_sector) against references
built here: dense eigvalsh of the whole matrix, QuSpin's basis dimensions,
evolution in the whole register, and orbits enumerated in Python."""

import warnings

import numpy as np
import pytest
import scipy.sparse

import velmora
from velmora import PauliSum
from velmora.models import heisenberg_chain, pauli_label, xxz_ring

Sector = velmora.Sector


# -- the groups, their action on basis indices, and the orbits ------------------------

def translation(n):
    return [(q + 1) % n for q in range(n)]


def reflection(n):
    return [n - 1 - q for q in range(n)]


def lattice(lx, ly):
    """The x and y translations of the periodic lx-by-ly lattice (site x + lx * y)."""
    x, y = np.arange(lx * ly) % lx, np.arange(lx * ly) // lx
    return ((x + 1) % lx + lx * y).tolist(), (x + lx * ((y + 1) % ly)).tolist()


def order(perm):
    power, m = list(perm), 1
    while power != list(range(len(perm))):
        power, m = [perm[q] for q in power], m + 1
    return m


def move_bits(x, perm):
    """Basis indices (an int or an int64 array) with bit q moved to bit perm[q]."""
    moved = 0 * x
    for q, target in enumerate(perm):
        moved |= ((x >> q) & 1) << target
    return moved


def closure(x, moves):
    """{s: chi(g)} over the orbit of x (g x = s) under the group the moves
    (function, character) generate, and whether the character is trivial on the
    stabiliser (every edge of the orbit graph agrees)."""
    found, todo, consistent = {x: 1.0 + 0j}, [x], True
    while todo:
        s = todo.pop()
        for move, chi in moves:
            t, c = move(s), found[s] * chi
            if t not in found:
                found[t] = c
                todo.append(t)
            elif abs(found[t] - c) > 1e-9:
                consistent = False
    return found, consistent


def orbit(x, n, symmetries, spin_flip):
    moves = [(lambda s, p=perm: move_bits(s, p), np.exp(2j * np.pi * k / order(perm)))
             for perm, k in symmetries]
    if spin_flip is not None:
        moves.append((lambda s: s ^ ((1 << n) - 1), spin_flip))
    return closure(x, moves)


def representatives(n, weight, symmetries, spin_flip):
    reps = []
    for x in range(1 << n):
        if weight is None or bin(x).count("1") == weight:
            members, consistent = orbit(x, n, symmetries, spin_flip)
            if consistent and min(members) == x:
                reps.append(x)
    return reps


def basis(sector):
    """The basis vectors as the columns of a 2^n x len(sector) array."""
    columns = [sector.basis_state(i) for i in range(len(sector))]
    return np.array(columns).T.reshape(1 << sector.num_qubits, len(sector))


def random_vector(size, seed):
    rng = np.random.default_rng(seed)
    phi = rng.normal(size=size) + 1j * rng.normal(size=size)
    return phi / np.linalg.norm(phi)


# -- models (built inside the tests) ---------------------------------------------------

def field(n, letter, strengths):
    return PauliSum([(pauli_label(n, {q: letter}), float(h)) for q, h in enumerate(strengths)])


def frustrated_ring(n):
    """The XXZ ring with next-nearest XX + YY + ZZ: weight, ring group and flip kept."""
    return xxz_ring(n, 0.6) + PauliSum([(pauli_label(n, {q: c, (q + 2) % n: c}), 0.45)
                                        for q in range(n) for c in "XYZ"])


def chiral_ring(n):
    """XXZ ring plus X_q Y_{q+1} - Y_q X_{q+1} and a uniform Z field: keeps weight
    and translation, but not reflection or flip (nor their product, which would
    pair k with n - k); its k and n - k spectra differ."""
    return xxz_ring(n, 0.6) + field(n, "Z", [0.35] * n) + PauliSum(
        [(pauli_label(n, {q: a, (q + 1) % n: b}), s * 0.5)
         for q in range(n) for a, b, s in (("X", "Y", 1), ("Y", "X", -1))])


def heisenberg_lattice(lx, ly):
    tx, ty = lattice(lx, ly)
    return PauliSum([(pauli_label(lx * ly, {q: c, r[q]: c}), 1.0)
                     for q in range(lx * ly) for r in (tx, ty) for c in "XYZ"])


# -- the sectors of a family together hold the whole spectrum ----------------------

def random_field(n, letter, seed, mirrored=False):
    h = np.random.default_rng(seed).normal(size=n)
    return field(n, letter, h + h[::-1] if mirrored else h)


def ring_sectors(n):
    """Every sector of the ring: all weights and momenta, parity where k is 0 or
    n/2, the flip at half filling."""
    return [Sector.chain(n, weight=w, momentum=k, parity=p, spin_flip=z)
            for w in range(n + 1) for k in range(n)
            for p in ((1, -1) if 2 * k % n == 0 else (None,))
            for z in ((1, -1) if 2 * w == n else (None,))]


def momenta(n, flips=(None,)):
    return [Sector.chain(n, momentum=k, spin_flip=z) for k in range(n) for z in flips]


FAMILIES = {  # name: () -> (model, sectors that together span the register)
    "weight n=9": lambda: (xxz_ring(9, 0.6) + random_field(9, "Z", 1),
                           [Sector(9, weight=w) for w in range(10)]),
    "momentum n=8": lambda: (xxz_ring(8, 0.6) + field(8, "X", [0.7] * 8), momenta(8)),
    "momentum n=7": lambda: (xxz_ring(7, 0.6) + field(7, "X", [0.7] * 7), momenta(7)),
    "momentum flip n=7": lambda: (xxz_ring(7, 0.6) + field(7, "X", [0.4] * 7), momenta(7, (1, -1))),
    "open chain parity n=9": lambda: (
        heisenberg_chain(9) + random_field(9, "Z", 2, True) + random_field(9, "X", 3, True),
        [Sector.chain(9, parity=p) for p in (1, -1)]),
    "spin flip n=8": lambda: (xxz_ring(8, 0.6) + random_field(8, "X", 4),
                              [Sector(8, spin_flip=z) for z in (1, -1)]),
    "ring group n=10": lambda: (frustrated_ring(10), ring_sectors(10)),
    "ring group n=9": lambda: (frustrated_ring(9), ring_sectors(9)),
    "lattice 3x3": lambda: (heisenberg_lattice(3, 3) + field(9, "X", [0.3] * 9),
                            [Sector(9, symmetries=list(zip(lattice(3, 3), (kx, ky))))
                             for kx in range(3) for ky in range(3)]),
}


def sector_spectrum(H, sectors):
    values = [np.empty(0)]
    for sector in sectors:
        if len(sector):
            matrix = H.in_sector(sector).to_sparse().toarray()
            assert np.allclose(matrix, matrix.conj().T, atol=1e-12)
            values.append(np.linalg.eigvalsh(matrix))
    return np.sort(np.concatenate(values))


@pytest.mark.parametrize("family", list(FAMILIES))
def test_sectors_of_a_family_hold_the_whole_spectrum(family):
    H, sectors = FAMILIES[family]()
    assert sum(len(s) for s in sectors) == 2**H.num_qubits
    expected = np.linalg.eigvalsh(H.to_sparse().toarray())
    np.testing.assert_allclose(sector_spectrum(H, sectors), expected, atol=1e-10, rtol=0)


def test_lattice_4x3_at_half_filling():
    # The reference is the weight-6 block of the whole matrix (H keeps the weight).
    tx, ty = lattice(4, 3)
    H = heisenberg_lattice(4, 3)
    full = scipy.sparse.csr_matrix(H.to_sparse())
    weights = np.array([bin(x).count("1") for x in range(1 << 12)])
    block, rest = np.flatnonzero(weights == 6), np.flatnonzero(weights != 6)
    assert abs(full[block][:, rest]).sum() == 0
    expected = np.linalg.eigvalsh(full[block][:, block].toarray())
    sectors = [Sector(12, weight=6, symmetries=[(tx, kx), (ty, ky)], spin_flip=z)
               for kx in range(4) for ky in range(3) for z in (1, -1)]
    assert sum(len(s) for s in sectors) == len(block)
    np.testing.assert_allclose(sector_spectrum(H, sectors), expected, atol=1e-10, rtol=0)


def test_each_momentum_of_a_chiral_ring():
    # Sector by sector against the range of the projector onto T = exp(2 pi i k / n):
    # the k and n - k spectra differ here, so the sign of k matters.
    n = 8
    H = chiral_ring(n)
    full = H.to_sparse().toarray()
    T = np.zeros((1 << n, 1 << n))
    T[move_bits(np.arange(1 << n), translation(n)), np.arange(1 << n)] = 1
    powers = [np.linalg.matrix_power(T, j) for j in range(n)]
    spectra = []
    for k in range(n):
        projector = sum(np.exp(-2j * np.pi * k * j / n) * P for j, P in enumerate(powers)) / n
        weights, vectors = np.linalg.eigh(projector)
        range_ = vectors[:, weights > 0.5]
        expected = np.linalg.eigvalsh(range_.conj().T @ full @ range_)
        spectra.append(expected)
        np.testing.assert_allclose(sector_spectrum(H, [Sector.chain(n, momentum=k)]), expected,
                                   atol=1e-10, rtol=0)
    assert not np.allclose(spectra[1], spectra[n - 1])


# -- dimensions against QuSpin -------------------------------------------------------

def quspin_chain(L, weight, momentum, parity, spin_flip):
    from quspin.basis import spin_basis_1d

    given = dict(Nup=weight, kblock=momentum, pblock=parity, zblock=spin_flip)
    return spin_basis_1d(L, **{key: v for key, v in given.items() if v is not None}).Ns


def chain_cases(L):
    """Every combination the ring group allows (parity with k in {0, L/2} only,
    flip with a weight only at half filling)."""
    return [(L, w, k, p, z) for w in [None, *range(L + 1)] for k in [None, *range(L)]
            for p in ((None, 1, -1) if k is None or 2 * k % L == 0 else (None,))
            for z in ((None, 1, -1) if w is None or 2 * w == L else (None,))]


CHAIN_DIMENSIONS = [  # (L, weight, momentum, parity, spin_flip)
    (10, 5, 0, 1, 1), (10, 5, 5, -1, -1), (10, 4, 3, None, None), (11, None, 4, None, 1),
    (11, 5, 0, -1, None), (12, 6, 6, 1, 1), (12, 6, 0, -1, -1), (12, 6, 1, None, -1),
    (12, 3, None, 1, None), (12, 0, 1, None, None), (13, 6, 5, None, None),
    (14, 7, 0, 1, 1), (14, 7, 7, -1, -1), (14, 7, 3, None, 1), (14, None, 0, -1, None),
]


@pytest.mark.parametrize("L", [6, 7, 8])
def test_every_ring_sector_dimension_of_a_short_chain(L):
    pytest.importorskip("quspin")
    for L, w, k, p, z in chain_cases(L):
        sector = Sector.chain(L, weight=w, momentum=k, parity=p, spin_flip=z)
        assert len(sector) == quspin_chain(L, w, k, p, z), (w, k, p, z)


@pytest.mark.parametrize("L, weight, momentum, parity, spin_flip", CHAIN_DIMENSIONS)
def test_chain_dimension(L, weight, momentum, parity, spin_flip):
    pytest.importorskip("quspin")
    sector = Sector.chain(L, weight=weight, momentum=momentum, parity=parity, spin_flip=spin_flip)
    assert len(sector) == len(sector.states) == quspin_chain(L, weight, momentum, parity, spin_flip)


@pytest.mark.parametrize("lx, ly, weight, kx, ky, px, spin_flip", [
    (3, 3, None, 1, 2, None, None), (3, 3, 4, 0, 0, None, None), (4, 3, 6, 1, 2, None, None),
    (4, 3, 6, 0, 1, None, 1), (4, 3, 6, 2, 0, -1, -1), (4, 3, 5, 3, 1, None, None),
    (4, 3, None, 0, 2, 1, None), (4, 4, 8, 1, 3, None, -1), (4, 4, 8, 0, 2, 1, 1),
])
def test_lattice_dimension(lx, ly, weight, kx, ky, px, spin_flip):
    basis_general = pytest.importorskip("quspin.basis").spin_basis_general
    n = lx * ly
    tx, ty = lattice(lx, ly)
    mirror = [(lx - 1 - q % lx) + lx * (q // lx) for q in range(n)]
    symmetries = [(tx, kx), (ty, ky)] + ([] if px is None else [(mirror, (1 - px) // 2)])
    blocks = dict(kxblock=(np.array(tx), kx), kyblock=(np.array(ty), ky))
    if px is not None:
        blocks["pxblock"] = (np.array(mirror), (1 - px) // 2)
    if spin_flip is not None:
        blocks["zblock"] = (-(np.arange(n) + 1), (1 - spin_flip) // 2)
    if weight is not None:
        blocks["Nup"] = weight
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # QuSpin warns about the non-commuting mirror
        expected = basis_general(n, **blocks).Ns
    assert len(Sector(n, weight=weight, symmetries=symmetries, spin_flip=spin_flip)) == expected


# -- evolution in a sector is evolution in the whole register --------------------------

def start_state(sector, kind):
    if kind == "random":
        return random_vector(len(sector), len(sector))
    n = sector.num_qubits
    neel = np.zeros(1 << n, dtype=complex)
    neel[int("01" * (n // 2), 2)] = 1
    phi = sector.project(neel)
    assert np.linalg.norm(phi) > 0.1
    return phi / np.linalg.norm(phi)


SYSTEMS = {
    "ring 10 k=0 p=+1 z=+1": lambda: (
        heisenberg_chain(10, periodic=True),
        Sector.chain(10, weight=5, momentum=0, parity=1, spin_flip=1)),
    "xxz 10 w=5 k=3": lambda: (xxz_ring(10, 0.6), Sector.chain(10, weight=5, momentum=3)),
    "chiral 9 w=4 k=2": lambda: (chiral_ring(9), Sector.chain(9, weight=4, momentum=2)),
    "lattice 3x3 (1, 2)": lambda: (heisenberg_lattice(3, 3) + field(9, "X", [0.3] * 9),
                                   Sector(9, symmetries=list(zip(lattice(3, 3), (1, 2))))),
    # each field alone is not mirror-symmetric, their sum is: the sum is what is checked
    "open chain 8 p=-1": lambda: (
        heisenberg_chain(8) + field(8, "X", [0.2, 0.5, 0.1, 0.3] * 2)
        + field(8, "X", [0.3, 0.1, 0.5, 0.2] * 2), Sector.chain(8, parity=-1)),
}


@pytest.mark.parametrize("system, start, t", [
    ("ring 10 k=0 p=+1 z=+1", "neel", 0.9), ("ring 10 k=0 p=+1 z=+1", "neel", -0.4j),
    ("xxz 10 w=5 k=3", "random", 1.3), ("xxz 10 w=5 k=3", "random", -0.3j),
    ("chiral 9 w=4 k=2", "random", 0.8), ("chiral 9 w=4 k=2", "random", 0.5 - 0.2j),
    ("lattice 3x3 (1, 2)", "random", 0.6), ("lattice 3x3 (1, 2)", "random", -0.25j),
    ("open chain 8 p=-1", "random", 1.1),
])
def test_evolve_matches_the_whole_register(system, start, t):
    H, sector = SYSTEMS[system]()
    phi = start_state(sector, start)
    state = velmora.evolve(H.in_sector(sector), phi, t).state
    expected = velmora.evolve(H, sector.embed(phi), t).state
    assert state.shape == (len(sector),)
    assert np.linalg.norm(sector.embed(state) - expected) <= 1e-9 * np.linalg.norm(expected)


@pytest.mark.parametrize("system", list(SYSTEMS))
def test_operator_is_the_sum_compressed_to_the_sector(system):
    H, sector = SYSTEMS[system]()
    op = H.in_sector(sector)
    B, full = basis(sector), H.to_sparse()
    matrix = op.to_sparse()
    assert scipy.sparse.issparse(matrix) and matrix.format == "csr"
    assert matrix.dtype == np.complex128 and matrix.shape == (len(sector), len(sector))
    np.testing.assert_allclose(matrix.toarray(), B.conj().T @ (full @ B), atol=1e-12)
    assert len(op) == len(sector) and op.num_qubits == H.num_qubits and op.pauli_sum == H
    assert np.array_equal(op.sector.states, sector.states)
    phi = random_vector(len(sector), 7)
    psi = sector.embed(phi)
    np.testing.assert_allclose(op.apply(phi), sector.project(full @ psi), atol=1e-12)
    assert op.expectation(phi) == pytest.approx(np.vdot(psi, full @ psi).real, abs=1e-12)


def test_trajectory_observables_measure_the_embedded_state():
    n = 10
    H, sector = xxz_ring(n, 0.6), Sector.chain(n, weight=4, momentum=3)
    phi, times = random_vector(len(sector), 3), np.array([0.0, 0.4, 1.0, 1.0, 2.5])
    rng = np.random.default_rng(4)
    diagonal = rng.normal(size=len(sector))
    dense = rng.normal(size=(len(sector),) * 2) * (rng.random((len(sector),) * 2) < 0.2)
    sparse = scipy.sparse.csr_matrix(dense + dense.T)
    paulis = [PauliSum([(pauli_label(n, {0: "Z"}), 1.0)]),
              PauliSum([(pauli_label(n, {0: "Z", 2: "Z"}), 1.0)]), H]
    whole = velmora.trajectory(H, sector.embed(phi), times).states
    inside = velmora.trajectory(H.in_sector(sector), phi, times).states
    assert inside.shape == (len(times), len(sector))
    np.testing.assert_allclose(np.array([sector.embed(s) for s in inside]), whole, atol=1e-9)
    result = velmora.trajectory(H.in_sector(sector), phi, times, observables=[
        *paulis, diagonal, sparse, lambda state: state[0] * np.conj(state[-1])])
    projected = np.array([sector.project(s) for s in whole])
    expected = np.column_stack(
        [[np.vdot(s, P.to_sparse() @ s) for s in whole] for P in paulis]
        + [(np.abs(projected) ** 2) @ diagonal, [np.vdot(s, sparse @ s) for s in projected],
           projected[:, 0] * projected[:, -1].conj()])
    np.testing.assert_allclose(result.expectations, expected, atol=1e-9)
    # translation invariance at weight 4 of 10 fixes <Z_0> = (10 - 2 * 4) / 10
    np.testing.assert_allclose(result.expectations[:, 0].real, 0.2, atol=1e-9)


# -- the basis --------------------------------------------------------------------------

BASIS_CASES = [  # (n, weight, symmetries, spin_flip)
    (6, 3, [(translation(6), 0), (reflection(6), 0)], 1),
    (6, 3, [(translation(6), 3), (reflection(6), 1)], -1),
    (7, None, [(translation(7), 2)], None),
    (8, None, [(translation(8), 3)], -1),
    (8, 4, [(translation(8), 4), (reflection(8), 0)], -1),
    (6, None, [(reflection(6), 1)], None),
    (6, 2, list(zip(lattice(3, 2), (1, 1))), None),
    (8, None, [([1, 0, 3, 4, 2, 5, 6, 7], 1)], None),  # (0 1)(2 3 4): order 6
    (5, None, [], -1),
    (6, 3, [], None),
]
BASIS_IDS = [f"n={n} w={w} {[(p[:4], k) for p, k in s]} z={z}" for n, w, s, z in BASIS_CASES]


def make(case):
    n, weight, symmetries, spin_flip = case
    return Sector(n, weight=weight, symmetries=symmetries, spin_flip=spin_flip)


@pytest.mark.parametrize("case", BASIS_CASES, ids=BASIS_IDS)
def test_states_are_the_smallest_members_of_the_kept_orbits(case):
    n, weight, symmetries, spin_flip = case
    sector = make(case)
    states = sector.states
    assert states.dtype == np.uint64 and not states.flags.writeable
    assert np.all(np.diff(states.astype(np.int64)) > 0)
    assert states.tolist() == representatives(*case) and len(sector) == len(states)
    assert (sector.num_qubits, sector.weight, sector.spin_flip) == (n, weight, spin_flip)
    assert sector.symmetries == tuple((tuple(p), k) for p, k in symmetries)
    # the permutations act freely on arrangements of distinct labels
    moves = [(lambda g, p=p: tuple(p[q] for q in g), 1) for p, _ in symmetries]
    size = len(closure(tuple(range(n)), moves)[0])
    assert sector.group_order in ((size,) if spin_flip is None else (size, 2 * size))


@pytest.mark.parametrize("case", BASIS_CASES, ids=BASIS_IDS)
def test_basis_vectors_and_index(case):
    n, _, symmetries, spin_flip = case
    sector = make(case)
    B = basis(sector)
    np.testing.assert_allclose(B.conj().T @ B, np.eye(len(sector)), atol=1e-12)
    indices = np.arange(1 << n)
    for i, r in enumerate(sector.states.tolist()):
        members, _ = orbit(r, n, symmetries, spin_flip)
        expected = np.zeros(1 << n, dtype=complex)
        expected[list(members)] = np.conj(list(members.values())) / np.sqrt(len(members))
        np.testing.assert_allclose(B[:, i], expected, atol=1e-12)
        for s in members:  # every member of the orbit, as an int and as a label
            assert sector.index(s) == i and sector.index(format(s, f"0{n}b")) == i
        for perm, k in symmetries:
            moved = np.empty_like(B[:, i])
            moved[move_bits(indices, perm)] = B[:, i]
            chi = np.exp(2j * np.pi * k / order(perm))
            np.testing.assert_allclose(moved, chi * B[:, i], atol=1e-12)
        if spin_flip is not None:
            flipped = B[indices ^ ((1 << n) - 1), i]
            np.testing.assert_allclose(flipped, spin_flip * B[:, i], atol=1e-12)


@pytest.mark.parametrize("case", BASIS_CASES, ids=BASIS_IDS)
def test_embed_and_project_are_adjoint(case):
    sector = make(case)
    B = basis(sector)
    phi, psi = random_vector(len(sector), 5), random_vector(1 << case[0], 6)
    np.testing.assert_allclose(sector.embed(phi), B @ phi, atol=1e-12)
    np.testing.assert_allclose(sector.project(psi), B.conj().T @ psi, atol=1e-12)
    np.testing.assert_allclose(sector.project(sector.embed(phi)), phi, atol=1e-12)
    np.testing.assert_allclose(sector.embed(sector.project(B @ phi)), B @ phi, atol=1e-12)


@pytest.mark.parametrize("n, kwargs, symmetries", [
    (6, dict(momentum=2), [(translation(6), 2)]),
    (6, dict(weight=3, momentum=3, parity=-1, spin_flip=1),
     [(translation(6), 3), (reflection(6), 1)]),
    (7, dict(parity=1), [(reflection(7), 0)]),
])
def test_chain_is_the_ring_group(n, kwargs, symmetries):
    chain = Sector.chain(n, **kwargs)
    explicit = Sector(n, weight=kwargs.get("weight"), symmetries=symmetries,
                      spin_flip=kwargs.get("spin_flip"))
    assert set(chain.symmetries) == {(tuple(p), k) for p, k in symmetries}
    assert np.array_equal(chain.states, explicit.states)
    np.testing.assert_allclose(basis(chain), basis(explicit), atol=1e-12)


def test_empty_sector():
    # the orbit of 0 is fixed by the translation, whose eigenvalue here is not 1
    sector = Sector.chain(6, weight=0, momentum=1)
    assert len(sector) == 0 and sector.states.shape == (0,) and sector.states.dtype == np.uint64


# -- the same bytes for every thread count and with or without images ------------------

@pytest.mark.parametrize("n, weight, momentum, with_field",
                         [(18, 9, 5, False), (16, None, 3, True)])
def test_bytes_do_not_depend_on_threads_or_images(n, weight, momentum, with_field):
    H = xxz_ring(n, 0.6)
    if with_field:
        H = H + field(n, "X", [0.4] * n)
    reference = Sector.chain(n, weight=weight, momentum=momentum)
    for threads in range(4):
        sector = Sector(n, weight=weight, symmetries=[(translation(n), momentum)],
                        num_threads=threads)
        assert sector.states.tobytes() == reference.states.tobytes()
    phi = random_vector(len(reference), 8)
    op = H.in_sector(reference)
    assert len({op.apply(phi, num_threads=t).tobytes() for t in range(4)}) == 1
    assert op.image_bytes == 0
    evolved = {velmora.evolve(op, phi, 0.7, num_threads=t).state.tobytes() for t in range(4)}
    assert op.image_bytes > 0  # precomputed at the first evolve: they fit the default budget
    for precompute in (True, False):
        forced = H.in_sector(reference, precompute=precompute)
        evolved |= {velmora.evolve(forced, phi, 0.7, num_threads=t).state.tobytes()
                    for t in range(4)}
        assert (forced.image_bytes > 0) == precompute
    assert len(evolved) == 1


# -- the images policy: every function that applies the operator repeatedly -----------

def _ring10():
    return xxz_ring(10, 0.6), Sector.chain(10, weight=5, momentum=0)


IMAGE_CALLS = {
    "evolve": lambda op, phi: velmora.evolve(op, phi, 0.5).state,
    "trajectory": lambda op, phi: velmora.trajectory(
        op, phi, [0.2, 0.5], observables=[PauliSum([(pauli_label(10, {0: "Z"}), 1.0)])]
    ).expectations,
    "eigsh": lambda op, phi: velmora.eigsh(op, v0=phi).eigenvalues,
    "correlation": lambda op, phi: velmora.correlation(
        op, PauliSum([(pauli_label(10, {3: "Z"}), 1.0)]), np.ones(len(op)), [0.0, 0.3],
        state=phi).values,
    "spectral_function": lambda op, phi: velmora.spectral_function(
        op, np.arange(len(op), dtype=float), [0.0, 1.0], state=phi, eta=0.5,
        krylov_dim=40).values,
}


@pytest.mark.parametrize("call", sorted(IMAGE_CALLS))
def test_every_repeated_product_keeps_the_images_within_the_budget(call, monkeypatch):
    H, sector = _ring10()
    phi = random_vector(len(sector), 3)
    run = IMAGE_CALLS[call]
    lean = H.in_sector(sector, precompute=False)
    expected = run(lean, phi)
    assert lean.image_bytes == 0
    op = H.in_sector(sector)
    assert run(op, phi).tobytes() == expected.tobytes()
    assert op.image_bytes > 0
    # Half of the default budget is the room of all images of a call.
    room = 2 * op.image_bytes - 2
    monkeypatch.setattr(velmora.evolution, "default_memory_budget", lambda: room)
    tight = H.in_sector(sector)
    np.testing.assert_allclose(run(tight, phi), expected, rtol=0, atol=1e-9)  # a smaller basis
    assert tight.image_bytes == 0


# -- refused input --------------------------------------------------------------------

def ring6_plus(letter, qubit):
    return heisenberg_chain(6, periodic=True) + PauliSum([(pauli_label(6, {qubit: letter}), 0.3)])


def ring_sector():
    return Sector.chain(6, weight=3, momentum=0)  # 4 basis vectors of 64 amplitudes


def ring_op():
    return heisenberg_chain(6, periodic=True).in_sector(ring_sector())


MOVED = "symmetr|permutation|invariant"
NOT_PERMUTATION = "permutation|symmetries"
NOT_IN = "sector|not in"
BAD_INPUT = [  # (case, call, fragment of the message)
    ("X field with a weight", lambda: ring6_plus("X", 2).in_sector(Sector(6, weight=3)), "IIIXII"),
    # (on two qubits at weight 1, XX alone maps the sector into itself)
    ("XX alone changes the weight",
     lambda: PauliSum([("IXX", 1.0)]).in_sector(Sector(3, weight=1)), "IXX"),
    ("XY + YX changes the weight",
     lambda: PauliSum([("IXY", 1.0), ("IYX", 1.0)]).in_sector(Sector(3, weight=1)), "IXY|IYX"),
    ("open chain under translation",
     lambda: heisenberg_chain(6).in_sector(Sector.chain(6, momentum=0)), MOVED),
    ("chiral ring under reflection",
     lambda: chiral_ring(6).in_sector(Sector.chain(6, parity=1)), MOVED),
    ("Z field with spin_flip",
     lambda: ring6_plus("Z", 1).in_sector(Sector(6, spin_flip=1)), "IIIIZI"),
    ("ZZZ with spin_flip",
     lambda: PauliSum([("ZZZ", 1.0)]).in_sector(Sector(3, spin_flip=-1)), "ZZZ"),
    ("repeated entry", lambda: Sector(6, symmetries=[([0, 0, 1, 2, 3, 4], 0)]), NOT_PERMUTATION),
    ("too short", lambda: Sector(6, symmetries=[([1, 2, 3, 4, 0], 0)]), NOT_PERMUTATION),
    ("out of range", lambda: Sector(6, symmetries=[([1, 2, 3, 4, 5, 6], 0)]), NOT_PERMUTATION),
    ("negative entry", lambda: Sector(6, symmetries=[([-1, 0, 1, 2, 3, 4], 0)]), NOT_PERMUTATION),
    ("k = order", lambda: Sector(6, symmetries=[(translation(6), 6)]), r"\bk\b|symmetries"),
    ("k = 2 for a reflection",
     lambda: Sector(6, symmetries=[(reflection(6), 2)]), r"\bk\b|symmetries"),
    ("momentum n", lambda: Sector.chain(6, momentum=6), "momentum"),
    ("momentum -1", lambda: Sector.chain(6, momentum=-1), "momentum"),
    ("parity 0", lambda: Sector.chain(6, parity=0), "parity"),
    ("reflection with momentum 1", lambda: Sector.chain(6, momentum=1, parity=1),
     "momentum|parity|symmetr|inconsistent"),
    ("translation 1 with reflection",
     lambda: Sector(6, symmetries=[(translation(6), 1), (reflection(6), 0)]),
     "symmetr|inconsistent"),
    ("spin_flip at weight 2 of 6", lambda: Sector(6, weight=2, spin_flip=1), "spin_flip"),
    ("spin_flip with odd n and a weight", lambda: Sector(5, weight=2, spin_flip=-1), "spin_flip"),
    ("spin_flip 2", lambda: Sector(6, spin_flip=2), "spin_flip"),
    ("weight n + 1", lambda: Sector(6, weight=7), "weight"),
    ("num_qubits 0", lambda: Sector(0), "num_qubits"),
    ("num_qubits 64", lambda: Sector(64), "num_qubits"),
    ("group of 9! elements",
     lambda: Sector(9, symmetries=[([1, 0, *range(2, 9)], 0), (translation(9), 0)]), "65536|group"),
    ("index outside the weight", lambda: Sector(6, weight=3).index(0b000011), NOT_IN),
    ("index of a label outside the weight", lambda: Sector(6, weight=3).index("000011"), NOT_IN),
    ("index of a dropped orbit", lambda: Sector.chain(6, momentum=1).index(0), NOT_IN),
    # a state of the wrong size: the message gives the size received or the one needed
    ("apply 5", lambda: ring_op().apply(np.ones(5)), r"\b[54]\b"),
    ("expectation 3", lambda: ring_op().expectation(np.ones(3)), r"\b[34]\b"),
    ("evolve 64", lambda: velmora.evolve(ring_op(), np.ones(64), 0.1), r"\b(64|4)\b"),
    ("trajectory 5", lambda: velmora.trajectory(ring_op(), np.ones(5), [0.0, 0.1]), r"\b[54]\b"),
    ("embed 64", lambda: ring_sector().embed(np.ones(64)), r"\b(64|4)\b"),
    ("project 4", lambda: ring_sector().project(np.ones(4)), r"\b(64|4)\b"),
]


@pytest.mark.parametrize("call, fragment", [r[1:] for r in BAD_INPUT],
                         ids=[r[0] for r in BAD_INPUT])
def test_refused(call, fragment):
    with pytest.raises(ValueError, match=fragment):
        call()


def test_a_basis_that_cannot_fit_is_refused_before_enumeration():
    with pytest.raises(MemoryError, match="candidate states"):
        Sector(44, weight=22)


def test_mpi_refuses_a_sector():
    MPI = pytest.importorskip("mpi4py.MPI")
    import velmora.mpi

    op = heisenberg_chain(6, periodic=True).in_sector(Sector.chain(6, weight=3))
    with pytest.raises(TypeError, match="one process"):
        velmora.mpi.evolve(op, np.ones(len(op), dtype=complex), 1.0, comm=MPI.COMM_WORLD)


def test_a_sum_with_complex_diagonal_terms_is_compressed_exactly():
    # Not Hermitian: imaginary Z, ZZ and identity terms beside XX + YY.
    H = PauliSum([("IXX", 0.5), ("IYY", 0.5), ("XXI", 0.3), ("YYI", 0.3), ("IIZ", 0.7j),
                  ("ZZI", 0.2 - 0.4j), ("III", 1.5j), ("ZIZ", 0.25)])
    sector = Sector(3, weight=1)
    basis = np.array([sector.basis_state(i) for i in range(len(sector))]).T
    expected = basis.conj().T @ H.to_sparse().toarray() @ basis
    op = H.in_sector(sector)
    np.testing.assert_allclose(op.to_sparse().toarray(), expected, atol=1e-14)
    phi = np.array([1.0, 2.0 - 1j, 0.5j])
    np.testing.assert_allclose(op.apply(phi), expected @ phi, atol=1e-14)
    assert op.expectation(phi) == pytest.approx(np.vdot(phi, expected @ phi), abs=1e-13)


# -- decompose: a full state over every sector of a symmetry set ----------------------------

DECOMPOSE = [
    lambda: Sector.chain(8, weight=4, momentum=0, parity=1, spin_flip=1),
    lambda: Sector.chain(7, momentum=3),
    lambda: Sector.chain(8, momentum=0, parity=-1),
    lambda: Sector(6, weight=2, symmetries=[([1, 0, 3, 2, 5, 4], 0), ([2, 3, 4, 5, 0, 1], 0)]),
    lambda: Sector.lattice((2, 4), weight=4, momentum=(0, 0),
                           point_group=[("reflect_x", 1), ("reflect_y", 1)], spin_flip=1),
    lambda: Sector.lattice((3, 3), momentum=(0, 0), point_group=[("rotate", 1)]),
]


@pytest.mark.parametrize("make", DECOMPOSE)
def test_decompose_sums_back_to_the_state(make):
    sector = make()
    n = sector.num_qubits
    psi = random_vector(2**n, 11)
    parts = sector.decompose(psi)
    if sector.weight is not None:
        weights = np.array([bin(x).count("1") for x in range(2**n)])
        psi = np.where(weights == sector.weight, psi, 0)
    np.testing.assert_allclose(sum(s.embed(phi) for s, phi in parts), psi, atol=1e-13)
    norms = [np.vdot(phi, phi).real for _, phi in parts]
    assert sum(norms) == pytest.approx(np.vdot(psi, psi).real, rel=1e-13)
    # The parts are orthogonal: distinct sectors, each the projection of psi.
    for s, phi in parts:
        assert s.project(psi).tobytes() == phi.tobytes()
        assert s.num_qubits == n and s.weight == sector.weight


def test_decomposed_neel_state_evolves_sector_by_sector():
    n = 10
    H = heisenberg_chain(n, periodic=True)
    neel = int("01" * (n // 2), 2)
    psi = np.zeros(2**n, dtype=complex)
    psi[neel] = 1
    parts = Sector.chain(n, weight=n // 2, momentum=0, parity=1, spin_flip=1).decompose(psi)
    assert [(s.symmetries[0][1], s.symmetries[1][1], s.spin_flip) for s, _ in parts] == \
        [(0, 0, 1), (n // 2, 1, -1)]
    amplitude = sum(np.vdot(phi, velmora.evolve(H.in_sector(s), phi, 3.0, tol=1e-11).state)
                    for s, phi in parts)
    full = velmora.evolve(H, psi, 3.0, tol=1e-11).state
    assert abs(amplitude - full[neel]) < 1e-9
    # The momentum-0 part alone is not the Néel state's return amplitude.
    s, phi = parts[0]
    alone = np.vdot(phi, velmora.evolve(H.in_sector(s), phi, 3.0, tol=1e-11).state) / 0.5
    assert abs(abs(alone) - abs(full[neel])) > 1e-2


def test_decompose_refuses_a_state_of_the_wrong_length():
    with pytest.raises(ValueError, match="psi has 8 amplitudes"):
        Sector.chain(4, momentum=0).decompose(np.ones(8))
