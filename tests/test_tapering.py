"""Z2 symmetries and tapering against independent references: dense matrices,
numpy's eigvalsh on the sector (projector built from the symmetries'
matrices), Qiskit's Z2Symmetries and Pauli algebra, exact evolution."""

import doctest
import itertools
import os
import pickle

import numpy as np
import pytest

import velmora
from reference import exact_evolve, random_state
from velmora import PauliSum, TaperedSum
from velmora.models import heisenberg_chain, ising_chain, xxz_ring

qiskit_info = pytest.importorskip("qiskit.quantum_info")
openfermion = pytest.importorskip("openfermion")


def molecule(filename, **active_space):
    from openfermion.chem import MolecularData

    data = MolecularData(filename=os.path.join(openfermion.config.DATA_DIRECTORY, filename))
    fermionic = data.get_molecular_hamiltonian(**active_space)
    return PauliSum.from_openfermion(openfermion.jordan_wigner(fermionic))


def h2():
    return molecule("H2_sto-3g_singlet_0.7414.hdf5")


def lih_active():
    return molecule("H1-Li1_sto-3g_singlet_1.45.hdf5", occupied_indices=[0],
                    active_indices=[1, 2, 3, 4, 5])


def planted(num_qubits, num_symmetries, num_terms, seed):
    """A random Hermitian sum (Y letters included) that commutes with random
    independent, mutually commuting words; some symmetries carry the sign -1."""
    rng = np.random.default_rng(seed)
    Pauli = qiskit_info.Pauli

    def word():
        return "".join(rng.choice(list("IXYZ"), size=num_qubits))

    symmetries = []
    while len(symmetries) < num_symmetries:
        candidate = word()
        group = [Pauli(s) for s in symmetries]
        if any(not Pauli(candidate).commutes(p) for p in group):
            continue
        # independent: not (up to phase) a product of a subset of the others
        products = {Pauli("I" * num_qubits).to_label()}
        for p in group:
            products |= {(Pauli(q) @ p).to_label().lstrip("-i") for q in products}
        if candidate.strip("I") and candidate not in products:
            symmetries.append(candidate)
    terms = []
    while len(terms) < num_terms:
        candidate = word()
        if all(Pauli(candidate).commutes(Pauli(s)) for s in symmetries):
            terms.append((candidate, float(rng.normal())))
    signs = [1.0 if i % 2 == 0 else -1.0 for i in range(num_symmetries)]
    return PauliSum(terms), [PauliSum([(s, c)]) for s, c in zip(symmetries, signs)]


def dense(op):
    return op.to_sparse().toarray()


def sector_spectrum(H, symmetries, eigenvalues):
    """The eigenvalues of H on {S psi = lambda psi} from dense matrices: the
    projector's range spanned by eigh, then eigvalsh of H there."""
    size = 1 << H.num_qubits
    projector = np.eye(size, dtype=complex)
    for S, value in zip(symmetries, eigenvalues):
        projector = projector @ (np.eye(size) + value * dense(S)) / 2
    weights, vectors = np.linalg.eigh(projector)
    basis = vectors[:, weights > 0.5]
    return np.linalg.eigvalsh(basis.conj().T @ dense(H) @ basis), projector


def sectors(count):
    return list(itertools.product((1, -1), repeat=count))


def letter(label, qubit):
    return label[len(label) - 1 - qubit]


MODELS = {  # name: builder
    "h2": h2,
    "h2_631g": lambda: molecule("H2_6-31g_singlet_0.75.hdf5"),
    "lih_active": lih_active,
    "xxz_ring6": lambda: xxz_ring(6, 0.3),
    "xxz_ring5": lambda: xxz_ring(5, 0.3),  # the X and Z parities anticommute
    "ising7": lambda: ising_chain(7, 1.0, 0.6),
    "heisenberg_ring4": lambda: heisenberg_chain(4, periodic=True),
    "planted6": lambda: planted(6, 3, 14, seed=1)[0],
}


@pytest.mark.parametrize("name", MODELS)
def test_symmetries_commute_with_every_term_and_match_qiskit(name):
    H = MODELS[name]()
    Pauli = qiskit_info.Pauli
    found = H.z2_symmetries()
    labels = [S.terms[0][0] for S in found]
    assert all(S.terms[0][1] == 1 and len(S) == 1 for S in found)
    for label in labels:
        assert label.strip("I")
        assert all(Pauli(label).commutes(Pauli(t)) for t, _ in H.terms), label
    reference = qiskit_info.Z2Symmetries.find_z2_symmetries(
        qiskit_info.SparsePauliOp.from_list(H.terms))
    assert len(found) == len(reference.symmetries)
    # independent: the 2^r products are distinct words
    products = {"I" * H.num_qubits}
    for label in labels:
        products |= {(Pauli(p) @ Pauli(label)).to_label().lstrip("-i") for p in products}
    assert len(products) == 2 ** len(labels)
    # the same basis whatever the order of the terms
    rng = np.random.default_rng(5)
    shuffled = PauliSum([H.terms[i] for i in rng.permutation(len(H))])
    assert [S.terms for S in shuffled.z2_symmetries()] == [S.terms for S in found]


@pytest.mark.parametrize("name", ["h2", "h2_631g", "lih_active", "xxz_ring6", "ising7",
                                  "heisenberg_ring4", "planted6"])
def test_commuting_symmetries_come_in_pivot_form(name):
    found = [S.terms[0][0] for S in MODELS[name]().z2_symmetries()]
    previous = -1
    for i, label in enumerate(found):
        others = found[:i] + found[i + 1:]

        def is_pivot(q):
            own = letter(label, q)
            seen = {letter(o, q) for o in others} - {"I"}
            return own != "I" and own not in seen and len(seen) <= 1

        # the pivots rise with the list, one qubit each
        previous = next(q for q in range(previous + 1, len(label)) if is_pivot(q))


def test_identity_terms_are_ignored_and_identity_is_never_returned():
    assert PauliSum([("III", 2.0)]).z2_symmetries()[0].num_qubits == 3
    assert len(PauliSum([("III", 2.0)]).z2_symmetries()) == 6
    with_identity = PauliSum([("XX", 1.0), ("II", 3.0), ("ZZ", 0.5)]).z2_symmetries()
    assert [S.terms[0][0] for S in with_identity] == ["XX", "ZZ"]
    assert PauliSum([("X", 1.0), ("Z", 1.0)]).z2_symmetries() == []


@pytest.mark.parametrize("name", ["h2", "h2_631g", "xxz_ring6", "ising7", "heisenberg_ring4",
                                  "planted6"])
def test_sector_spectra_together_are_the_full_spectrum(name):
    H = MODELS[name]()
    symmetries = (planted(6, 3, 14, seed=1)[1] if name == "planted6"
                  else H.z2_symmetries())
    union = np.concatenate([np.linalg.eigvalsh(dense(H.taper(symmetries, values)))
                            for values in sectors(len(symmetries))])
    np.testing.assert_allclose(np.sort(union), np.linalg.eigvalsh(dense(H)), atol=1e-10)


def test_lih_sector_spectra_together_are_the_full_spectrum():
    H = molecule("H1-Li1_sto-3g_singlet_1.45.hdf5")  # 12 qubits, 4 symmetries
    symmetries = H.z2_symmetries()
    assert len(symmetries) == 4
    union = np.concatenate([np.linalg.eigvalsh(dense(H.taper(symmetries, values)))
                            for values in sectors(4)])
    full = dense(H)
    assert np.abs(full.imag).max() == 0  # real symmetric: the faster eigvalsh
    np.testing.assert_allclose(np.sort(union), np.linalg.eigvalsh(full.real), atol=1e-10)


@pytest.mark.parametrize("num_qubits,num_symmetries,num_terms,seed", [
    (4, 2, 10, 2), (5, 1, 12, 3), (5, 3, 10, 4), (6, 2, 16, 5), (6, 4, 12, 6)])
def test_each_sector_has_the_spectrum_of_h_on_that_sector(num_qubits, num_symmetries,
                                                          num_terms, seed):
    H, symmetries = planted(num_qubits, num_symmetries, num_terms, seed)
    for values in sectors(num_symmetries):
        T = H.taper(symmetries, values)
        assert T.num_qubits == num_qubits - num_symmetries
        expected, _ = sector_spectrum(H, symmetries, values)
        np.testing.assert_allclose(np.linalg.eigvalsh(dense(T)), expected, atol=1e-10)


# Not the rings with both parities: Qiskit pins both to one qubit there, and the
# union of its sectors' spectra is not the spectrum of H.
@pytest.mark.parametrize("name", ["h2", "h2_631g", "lih_active", "ising7"])
def test_sector_spectra_agree_with_qiskit_tapering(name):
    H = MODELS[name]()
    op = qiskit_info.SparsePauliOp.from_list(H.terms)
    z2 = qiskit_info.Z2Symmetries.find_z2_symmetries(op)
    assert len(set(z2.sq_list)) == len(z2.sq_list)  # a sound reference
    reference = z2.taper(op)
    theirs = sorted(tuple(np.round(np.linalg.eigvalsh(o.to_matrix()), 8)) for o in reference)
    symmetries = H.z2_symmetries()
    ours = sorted(tuple(np.round(np.linalg.eigvalsh(dense(H.taper(symmetries, values))), 8))
                  for values in sectors(len(symmetries)))
    assert ours == theirs


@pytest.mark.parametrize("name", ["h2", "lih_active", "planted6"])
def test_terms_are_conjugated_one_by_one_with_real_signs(name):
    H = MODELS[name]()
    symmetries = H.z2_symmetries()
    values = [(-1) ** i for i in range(len(symmetries))]
    T = H.taper(symmetries, values, merge=False)
    assert len(T) == len(H) and T.is_hermitian
    assert all(c == a or c == -a for (_, c), (_, a) in zip(T.terms, H.terms))
    merged = H.taper(symmetries, values)
    assert merged.terms == PauliSum(T.terms).simplify().terms
    np.testing.assert_allclose(dense(merged), dense(T), atol=1e-12)


@pytest.mark.parametrize("name,values", [("h2", (1, -1, 1)), ("xxz_ring6", (1, -1)),
                                         ("planted6", None)])
def test_states_carry_over_and_evolve_alike(name, values):
    H = MODELS[name]()
    symmetries = planted(6, 3, 14, seed=1)[1] if name == "planted6" else H.z2_symmetries()
    values = values or (1, -1, -1)
    T = H.taper(symmetries, values)
    _, projector = sector_spectrum(H, symmetries, values)
    rng = np.random.default_rng(8)
    psi = projector @ random_state(rng, H.num_qubits)
    psi /= np.linalg.norm(psi)

    phi = T.to_sector(psi)
    assert np.linalg.norm(phi) == pytest.approx(1.0, abs=1e-12)
    np.testing.assert_allclose(T.from_sector(phi), psi, atol=1e-12)
    np.testing.assert_allclose(T.apply(phi), T.to_sector(H.apply(psi)), atol=1e-12)
    assert T.expectation(phi) == pytest.approx(H.expectation(psi), abs=1e-12)

    # Outside the sector: to_sector keeps the projection, from_sector lands in it.
    chi = random_state(rng, H.num_qubits)
    np.testing.assert_allclose(T.from_sector(T.to_sector(chi)), projector @ chi, atol=1e-11)
    embedded = T.from_sector(random_state(rng, T.num_qubits))
    for S, value in zip(symmetries, values):
        np.testing.assert_allclose(S.apply(embedded), value * embedded, atol=1e-12)

    evolved = velmora.evolve(T, phi, 0.7, tol=1e-12).state
    np.testing.assert_allclose(T.from_sector(evolved), exact_evolve(dense(H), psi, 0.7),
                               atol=1e-9)
    times = [0.0, 0.3, 0.6]
    term = PauliSum([H.terms[1]])  # commutes with every symmetry
    full = velmora.trajectory(H, psi, times, observables=[term])
    small = velmora.trajectory(T, phi, times, observables=[T.taper_observable(term)])
    np.testing.assert_allclose(small.expectations, full.expectations, atol=1e-9)


def test_mpi_evolution_accepts_a_tapered_sum():
    MPI = pytest.importorskip("mpi4py.MPI")
    import velmora.mpi as vm

    T = xxz_ring(6, 0.3).taper(["XXXXXX", "ZZZZZZ"], [1, 1])
    phi = random_state(np.random.default_rng(2), T.num_qubits)
    out = vm.evolve(T, phi, 0.5, comm=MPI.COMM_SELF).state
    np.testing.assert_array_equal(out, velmora.evolve(T, phi, 0.5).state)
    assert vm.exchanges_per_product(T, 2) >= 0


@pytest.mark.parametrize("name,observable", [
    ("h2", {"ZIII": 1.0, "IZII": 1.0, "IIZI": 1.0, "IIIZ": 1.0}),  # particle number
    ("h2", {"XXYY": 0.5, "YYXX": -0.5, "ZZII": 0.25}),
    ("xxz_ring6", {"IIIIXX": 1.0, "IIIYYI": 2.0, "ZIIIIZ": -1.0}),
])
def test_tapered_observables_keep_their_expectations(name, observable):
    H = MODELS[name]()
    symmetries = H.z2_symmetries()
    O = PauliSum(observable)
    for values in sectors(len(symmetries)):
        T = H.taper(symmetries, values)
        _, projector = sector_spectrum(H, symmetries, values)
        psi = projector @ random_state(np.random.default_rng(4), H.num_qubits)
        tapered = T.taper_observable(O)
        assert isinstance(tapered, TaperedSum) and tapered.eigenvalues == tuple(values)
        assert tapered.expectation(T.to_sector(psi)) == pytest.approx(O.expectation(psi),
                                                                      abs=1e-10)


def test_pickle_keeps_the_sector():
    H = h2()
    T = H.taper(H.z2_symmetries(), [1, -1, 1])
    copy = pickle.loads(pickle.dumps(T))
    assert type(copy) is TaperedSum and copy == T and hash(copy) == hash(T)
    assert (copy.symmetries, copy.eigenvalues, copy.removed_qubits) == \
        (T.symmetries, T.eigenvalues, T.removed_qubits)
    psi = random_state(np.random.default_rng(1), 4)
    np.testing.assert_array_equal(copy.to_sector(psi), T.to_sector(psi))
    assert T != H.taper(H.z2_symmetries(), [1, 1, 1]) and T.full_num_qubits == 4
    assert "eigenvalues=[1, -1, 1]" in repr(T)


def xxz():
    return xxz_ring(4, 0.5)


BAD_INPUT = [  # (call, exception, part of the message)
    (lambda: xxz().taper(["XXXX"], [2]), ValueError, "eigenvalues[0] must be 1 or -1, got 2"),
    (lambda: xxz().taper(["XXXX"], [1j]), TypeError, "eigenvalues[0] must be 1 or -1"),
    (lambda: xxz().taper(["XXXX"], [True]), TypeError, "eigenvalues[0] must be 1 or -1"),
    (lambda: xxz().taper(["XXXX"], [1, 1]), ValueError, "eigenvalues has 2 values, but there "
     "are 1 symmetries"),
    (lambda: xxz().taper(["XXXX"], 1), TypeError, "eigenvalues must be a sequence"),
    (lambda: xxz().taper("XXXX", [1]), TypeError, "symmetries must be a sequence"),
    (lambda: xxz().taper(PauliSum([("XXXX", 1)]), [1]), TypeError,
     "symmetries must be a sequence"),
    (lambda: xxz().taper([3], [1]), TypeError, "symmetries[0] must be a PauliSum of one term"),
    (lambda: xxz().taper(["XXXQ"], [1]), ValueError, "symmetries[0]: 'XXXQ' is not a Pauli"),
    (lambda: xxz().taper(["XXX"], [1]), ValueError, "symmetries[0] ('XXX') acts on 3 qubits"),
    (lambda: xxz().taper([PauliSum([("XXXX", 2.0)])], [1]), ValueError,
     "symmetries[0] ('XXXX') has the coefficient (2+0j)"),
    (lambda: xxz().taper([PauliSum([("XXXX", 1j)])], [1]), ValueError,
     "needs the coefficient 1 or -1"),
    (lambda: xxz().taper([PauliSum([("XXXX", 1), ("ZZZZ", 1)])], [1]), ValueError,
     "symmetries[0] has 2 terms"),
    (lambda: xxz().taper(["XXXX", "ZIII"], [1, 1]), ValueError,
     "symmetries[0] ('XXXX') and symmetries[1] ('ZIII') anticommute"),
    (lambda: xxz().taper(["XXXX", "ZZZZ", "YYYY"], [1, 1, 1]), ValueError,
     "the product of symmetries 0, 1, 2 is +-identity"),
    (lambda: xxz().taper(["IIII"], [1]), ValueError, "symmetries[0] is the identity"),
    (lambda: xxz().taper(["ZZII"], [1]), ValueError,
     "H term 3 ('IXXI') anticommutes with symmetries[0] ('ZZII')"),
    (lambda: PauliSum([("ZZ", 1.0)]).taper(["ZI", "IZ"], [1, 1]), ValueError,
     "would taper every qubit away"),
    (lambda: xxz().taper(["XXXX"], [1], merge=1), TypeError, "merge must be True or False"),
    (lambda: TaperedSum("XXXX", ["XXXX"], [1]), TypeError, "H must be a velmora.PauliSum"),
    (lambda: xxz().taper(["XXXX"], [1]).taper_observable(PauliSum([("IIIZ", 1.0)])),
     ValueError, "O term 0 ('IIIZ') anticommutes with symmetries[0] ('XXXX')"),
    (lambda: xxz().taper(["XXXX"], [1]).taper_observable(PauliSum([("XX", 1.0)])),
     ValueError, "O acts on 2 qubits"),
    (lambda: xxz().taper(["XXXX"], [1]).taper_observable("XXXX"), TypeError,
     "O must be a velmora.PauliSum"),
    (lambda: xxz().taper(["XXXX"], [1]).to_sector(np.ones(8)), ValueError,
     "psi has 8 amplitudes, but the full register has 4 qubits"),
    (lambda: xxz().taper(["XXXX"], [1]).to_sector(np.array(["a"] * 16)), TypeError,
     "psi must hold numbers"),
    (lambda: xxz().taper(["XXXX"], [1]).from_sector(np.ones((2, 4))), ValueError,
     "phi must be a 1-D array"),
    (lambda: xxz().taper(["XXXX"], [1]).from_sector(np.ones(16)), ValueError,
     "phi has 16 amplitudes, but the tapered register has 3 qubits"),
]


@pytest.mark.parametrize("call,exception,message", BAD_INPUT,
                         ids=[row[2][:40] for row in BAD_INPUT])
def test_bad_input_is_refused_by_name(call, exception, message):
    with pytest.raises(exception) as info:
        call()
    assert type(info.value) is exception and message in str(info.value)


def test_docstring_examples():
    import velmora.tapering

    result = doctest.testmod(velmora.tapering, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted >= 5 and result.failed == 0
