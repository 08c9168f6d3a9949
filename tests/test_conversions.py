"""PauliSum.from_qiskit and PauliSum.from_openfermion against the libraries'
own matrices."""

import os
import subprocess
import sys

import numpy as np
import pytest

from velmora import PauliSum

qiskit_info = pytest.importorskip("qiskit.quantum_info")
openfermion = pytest.importorskip("openfermion")


def random_qiskit_op(rng, num_qubits, num_terms):
    labels = ["".join(rng.choice(list("IXYZ"), size=num_qubits)) for _ in range(num_terms)]
    coeffs = rng.normal(size=num_terms) + 1j * rng.normal(size=num_terms)
    return qiskit_info.SparsePauliOp(labels, coeffs)


def random_qubit_operator(rng, num_qubits, num_terms):
    op = openfermion.QubitOperator()
    for _ in range(num_terms):
        qubits = rng.choice(num_qubits, size=rng.integers(0, num_qubits + 1), replace=False)
        factors = tuple((int(q), str(rng.choice(list("XYZ")))) for q in sorted(qubits))
        op += openfermion.QubitOperator(factors, complex(rng.normal(), rng.normal()))
    return op


@pytest.mark.parametrize("num_qubits,num_terms,seed", [(1, 3, 1), (3, 8, 2), (6, 25, 3)])
def test_from_qiskit_matches_to_matrix(num_qubits, num_terms, seed):
    rng = np.random.default_rng(seed)
    op = random_qiskit_op(rng, num_qubits, num_terms)
    H = PauliSum.from_qiskit(op)
    assert H.terms == [(label, complex(c)) for label, c in op.to_list()]
    expected = op.to_matrix(sparse=True)
    np.testing.assert_allclose(H.to_sparse().toarray(), expected.toarray(), atol=1e-13)
    psi = rng.normal(size=2**num_qubits) + 0j
    np.testing.assert_allclose(H.apply(psi), expected @ psi, atol=1e-12)


def test_from_qiskit_folds_the_phase_of_pauli_groups():
    op = qiskit_info.SparsePauliOp(qiskit_info.PauliList(["-iXY", "ZI"]), [2.0, 1.0])
    np.testing.assert_allclose(PauliSum.from_qiskit(op).to_sparse().toarray(), op.to_matrix())


@pytest.mark.parametrize("num_qubits,num_terms,n_qubits,seed",
                         [(2, 4, None, 1), (4, 10, None, 2), (5, 20, 7, 3)])
def test_from_openfermion_matches_get_sparse_operator(num_qubits, num_terms, n_qubits, seed):
    rng = np.random.default_rng(seed)
    op = random_qubit_operator(rng, num_qubits, num_terms)
    H = PauliSum.from_openfermion(op, n_qubits)
    expected = openfermion.get_sparse_operator(op, n_qubits or openfermion.count_qubits(op))
    np.testing.assert_allclose(H.to_sparse().toarray(), expected.toarray(), atol=1e-13)


def test_molecular_hamiltonian_from_openfermion_has_its_ground_energy():
    from openfermion.chem import MolecularData

    molecule = MolecularData([("Li", (0, 0, 0)), ("H", (0, 0, 1.45))], "sto-3g", 1,
                             filename=os.path.join(openfermion.config.DATA_DIRECTORY,
                                                   "H1-Li1_sto-3g_singlet_1.45"))
    molecule.load()
    op = openfermion.jordan_wigner(
        openfermion.get_fermion_operator(molecule.get_molecular_hamiltonian()))
    H = PauliSum.from_openfermion(op)
    expected = openfermion.get_sparse_operator(op)
    assert H.num_qubits == 12 and H.is_hermitian
    assert abs(H.to_sparse() - expected).max() < 1e-12
    # A state from OpenFermion passes unchanged: the Hartree-Fock determinant.
    hf = openfermion.jw_configuration_state(range(molecule.n_electrons), 12)
    assert H.expectation(hf) == pytest.approx(molecule.hf_energy, abs=1e-10)
    # The same operator through Qiskit's order is the same matrix.
    qiskit_op = qiskit_info.SparsePauliOp.from_list(H.terms)
    assert abs(H.to_sparse() - qiskit_op.to_matrix(sparse=True)).max() < 1e-12


def test_repeated_qubits_are_multiplied_out():
    op = openfermion.QubitOperator()
    op.terms[((0, "X"), (0, "Y"), (1, "Z"))] = 2.0  # X0 Y0 = i Z0
    op.terms[((1, "Z"), (1, "Z"))] = 0.5  # the identity
    H = PauliSum.from_openfermion(op)
    assert H.terms == [("ZZ", 2j), ("II", 0.5 + 0j)]


CONVERSION_REFUSALS = [  # (factory, exception, message)
    (lambda: PauliSum.from_qiskit([("XX", 1.0)]), TypeError,
     "from_qiskit expects a qiskit.quantum_info.SparsePauliOp, got list"),
    (lambda: PauliSum.from_openfermion(qiskit_info.SparsePauliOp("X")), TypeError,
     "from_openfermion expects an openfermion.QubitOperator, got SparsePauliOp"),
    (lambda: PauliSum.from_qiskit(
        qiskit_info.SparsePauliOp(["XX", "ZZ"], [1.0, __import__("qiskit").circuit.Parameter("θ")])),
     ValueError, r"unbound parameters \(θ\); bind them first"),
    (lambda: PauliSum.from_openfermion(openfermion.QubitOperator("X0 Y3"), n_qubits=2),
     ValueError, "n_qubits = 2, but the operator acts on qubit 3"),
    (lambda: PauliSum.from_openfermion(openfermion.QubitOperator(())), ValueError,
     "acts on no qubit; pass n_qubits"),
    (lambda: PauliSum.from_openfermion(openfermion.QubitOperator()), ValueError, "has no terms"),
    (lambda: PauliSum.from_openfermion(
        openfermion.QubitOperator("X0", __import__("sympy").Symbol("g"))), TypeError,
     "not a number .symbolic"),
]


@pytest.mark.parametrize("factory,error,message", CONVERSION_REFUSALS)
def test_conversion_refusals(factory, error, message):
    with pytest.raises(error, match=message):
        factory()


def test_identity_only_operator_with_n_qubits():
    H = PauliSum.from_openfermion(openfermion.QubitOperator((), 1.5), n_qubits=3)
    assert H.terms == [("III", 1.5 + 0j)]


def test_importing_velmora_imports_neither_library():
    code = ("import sys, velmora; velmora.PauliSum([('X', 1.0)]).to_sparse(); "
            "print(any(m.split('.')[0] in ('qiskit', 'openfermion') for m in sys.modules))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            cwd=os.path.dirname(__file__), check=True)
    assert result.stdout.strip() == "False"


@pytest.mark.parametrize("convert, make", [
    ("from_qiskit", lambda: qiskit_info.SparsePauliOp.from_list([("ZZI", 1.0), ("IXX", 0.5)])),
    ("from_openfermion", lambda: openfermion.QubitOperator("Z0 Z1", 1.0)
     + openfermion.QubitOperator("X2", 0.5)),
])
def test_conversions_called_on_a_tapered_sum_give_a_plain_sum(convert, make):
    from velmora import TaperedSum

    # The classmethods are inherited: they used to call TaperedSum's constructor,
    # which needs the sum and its symmetries, and raised TypeError.
    converted = getattr(TaperedSum, convert)(make())
    assert type(converted) is PauliSum
    assert converted == getattr(PauliSum, convert)(make())
