"""
A molecular Hamiltonian from Qiskit and OpenFermion
===================================================

A molecular Hamiltonian read from the term lists Qiskit and OpenFermion export.

The hydrogen molecule in the STO-3G basis at 0.7414 Angstrom, mapped to four
qubits by Jordan-Wigner: spin orbital q is qubit q, and orbitals 0 and 1 are
the occupied bonding pair. The operator is written out twice below, once as
each library exports it, and both lists go into `PauliSum` as they are, without
either library. The example checks that the two lists are one operator, finds
the ground-state energy by imaginary-time evolution from the Hartree-Fock
state, checks it against exact diagonalisation, then follows the Hartree-Fock
state in real time, and plots both to
velmora-output/molecular_hamiltonian.png (or --out), with the parameters beside
it in molecular_hamiltonian.json.

Run::

    python examples/molecular_hamiltonian.py

Cost at the defaults: about 2 s and 90 MB of memory on a 2-core machine.
"""

import numpy as np

import _picture
from velmora import PauliSum, evolve, trajectory

NUM_QUBITS = 4
TOL = 1e-12
# Imaginary times TAU_STEP, 2 TAU_STEP, ..., TAU_END for the ground state;
# POINTS real times in [0, T_END] for the occupations.
TAU_STEP, TAU_END = 0.5, 20.0
T_END, POINTS = 40.0, 161

# Qiskit's order: SparsePauliOp.to_list() gives (label, coeff) pairs whose LAST
# letter acts on qubit 0, the least significant bit of an amplitude index. That
# is PauliSum's order, so the list goes in unchanged:
# PauliSum(op.to_list()) == PauliSum.from_qiskit(op). (to_list() gives complex
# coefficients; any numbers do.) Coefficients in Hartree.
QISKIT_LIST = [
    ("IIII", -0.09886396933545721),
    ("IIIZ", 0.17119774903432955),
    ("IIZI", 0.17119774903432958),
    ("IZII", -0.22278593024283064),
    ("ZIII", -0.22278593024283064),
    ("IIZZ", 0.16862219158920938),
    ("IZIZ", 0.12054482205301802),
    ("ZIIZ", 0.16586702410589748),
    ("IZZI", 0.16586702410589748),
    ("ZIZI", 0.12054482205301802),
    ("ZZII", 0.17434844185575682),
    ("YYXX", -0.04532220205287946),
    ("XYYX", 0.04532220205287946),
    ("YXXY", 0.04532220205287946),
    ("XXYY", -0.04532220205287946),
]

# OpenFermion's order: QubitOperator.terms maps ((qubit, letter), ...) to the
# coefficient, and get_sparse_operator(op, n) makes qubit 0 the MOST significant
# bit of an index. PauliSum.from_openfermion(op, n) keeps that order by putting
# qubit q at the q-th letter from the LEFT, so its matrix is OpenFermion's and
# OpenFermion's states need no reordering. Written that way (openfermion_list
# below), every label is the reverse of its Qiskit label.
OPENFERMION_TERMS = {
    (): -0.09886396933545721,
    ((0, "Z"),): 0.17119774903432955,
    ((1, "Z"),): 0.17119774903432958,
    ((2, "Z"),): -0.22278593024283064,
    ((3, "Z"),): -0.22278593024283064,
    ((0, "Z"), (1, "Z")): 0.16862219158920938,
    ((0, "Z"), (2, "Z")): 0.12054482205301802,
    ((0, "Z"), (3, "Z")): 0.16586702410589748,
    ((1, "Z"), (2, "Z")): 0.16586702410589748,
    ((1, "Z"), (3, "Z")): 0.12054482205301802,
    ((2, "Z"), (3, "Z")): 0.17434844185575682,
    ((0, "X"), (1, "X"), (2, "Y"), (3, "Y")): -0.04532220205287946,
    ((0, "X"), (1, "Y"), (2, "Y"), (3, "X")): 0.04532220205287946,
    ((0, "Y"), (1, "X"), (2, "X"), (3, "Y")): 0.04532220205287946,
    ((0, "Y"), (1, "Y"), (2, "X"), (3, "X")): -0.04532220205287946,
}


def openfermion_list(terms, num_qubits):
    """(label, coeff) pairs in OpenFermion's order, as from_openfermion writes
    them: the letter of qubit q at position q from the left."""
    return [("".join(dict(factors).get(q, "I") for q in range(num_qubits)), coeff)
            for factors, coeff in terms.items()]


def argument_parser():
    parser = _picture.argument_parser(__doc__)
    _picture.add_out_argument(parser)
    return parser


def picture_parameters(args):
    return _picture.parameters(args, qubits=NUM_QUBITS, words=len(QISKIT_LIST), tol=TOL,
                               tau_step=TAU_STEP, tau_end=TAU_END, t_end=T_END,
                               points=POINTS)


def main():
    args = argument_parser().parse_args()
    H = PauliSum(QISKIT_LIST)  # qubit 0 = the last letter = bit 0 of an index
    # OpenFermion's qubit 0 is bit 3 of an index:
    H_openfermion = PauliSum(openfermion_list(OPENFERMION_TERMS, NUM_QUBITS))
    # One operator with the qubits numbered in opposite directions:
    assert H_openfermion == PauliSum([(label[::-1], c) for label, c in QISKIT_LIST])
    exact = float(np.linalg.eigvalsh(H.to_sparse().toarray())[0])

    # Two electrons in the lowest spin orbitals, qubits 0 and 1: bits 0 and 1 of
    # the index in Qiskit's order, the two most significant bits in OpenFermion's.
    hartree_fock = np.zeros(2**NUM_QUBITS, dtype=np.complex128)
    hartree_fock[0b0011] = 1.0
    hartree_fock_openfermion = np.zeros(2**NUM_QUBITS, dtype=np.complex128)
    hartree_fock_openfermion[0b1100] = 1.0
    e_hf = H.expectation(hartree_fock)
    e_hf_openfermion = H_openfermion.expectation(hartree_fock_openfermion)

    # exp(-tau H)|HF> within tol for each tau, normalised for the energy.
    taus = TAU_STEP * np.arange(1, round(TAU_END / TAU_STEP) + 1)
    errors = []
    for tau in taus:
        psi = evolve(H, hartree_fock, -1j * tau, tol=TOL).state
        errors.append(H.expectation(psi / np.linalg.norm(psi)) - exact)

    # Real-time dynamics from |HF>: occupations (1 - Z_q) / 2 as diagonal observables.
    times = np.linspace(0, T_END, POINTS)
    index = np.arange(2**NUM_QUBITS)
    occupations = [((index >> q) & 1).astype(float) for q in range(NUM_QUBITS)]
    occupation = trajectory(H, hartree_fock, times, observables=occupations,
                            tol=TOL).expectations

    plt = _picture.pyplot()
    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(10, 3.6))
    # Below about 1e-13 the energy difference is rounding, not convergence: not plotted.
    rounding = 1e-13
    shown = np.array(errors) > rounding
    ax1.semilogy(taus[shown], np.array(errors)[shown], marker=".")
    ax1.axhline(rounding, color="gray", lw=0.8, ls="--")
    ax1.text(taus[-1], rounding / 1.5, f"rounding level {rounding:g}: beyond tau = "
             f"{taus[shown][-1]:g} below it (not drawn)", ha="right", va="top",
             fontsize=8, color="gray")
    ax1.set_ylim(bottom=rounding / 30)
    ax1.set_xlim(0, taus[-1] + TAU_STEP)
    ax1.set_xlabel("imaginary time tau [1/Hartree]")
    ax1.set_ylabel("E(tau) - E_exact [Hartree]")
    ax1.set_title(f"ground state from |HF> by imaginary time, tol {TOL:g}", fontsize=10)
    ax1.grid(True, which="both", alpha=0.3)
    # The two spin orbitals of a spatial orbital stay equally occupied: one curve
    # for each pair.
    for q, label in ((0, "spin orbitals 0 and 1 (bonding)"),
                     (2, "spin orbitals 2 and 3")):
        assert np.allclose(occupation[:, q], occupation[:, q + 1], atol=1e-10)
        ax2.plot(times, occupation[:, q], label=label)
    ax2.set_xlabel("time [hbar/Hartree]")
    ax2.set_ylabel("occupation")
    ax2.set_title("real time from |HF>", fontsize=10)
    ax2.legend(fontsize=8)
    fig.suptitle(r"H$_2$ / STO-3G at 0.7414 Angstrom, Jordan-Wigner, "
                 f"{NUM_QUBITS} qubits")
    fig.tight_layout()
    picture = _picture.save(fig, args.out, "molecular_hamiltonian",
                            picture_parameters(args))

    print(f"H2 (STO-3G, 0.7414 A), {len(H)} Pauli words on {NUM_QUBITS} qubits")
    print(f"  Hartree-Fock energy          {e_hf:.10f} Ha (|0011>, Qiskit's order)")
    print(f"  the same, OpenFermion's list {e_hf_openfermion:.10f} Ha "
          "(|1100>, its order)")
    print(f"  imaginary-time ground state  {exact + errors[-1]:.10f} Ha")
    print(f"  exact diagonalisation        {exact:.10f} Ha "
          f"(difference {abs(errors[-1]):.1e})")
    print(f"  correlation energy           {exact - e_hf:.6f} Ha")
    print(f"plot: {picture}")


if __name__ == "__main__":
    main()
