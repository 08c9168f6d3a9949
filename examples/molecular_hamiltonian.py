"""A molecular Hamiltonian given as (coefficient, Pauli string) pairs.

The hydrogen molecule in the STO-3G basis at 0.7414 Angstrom, mapped to four
qubits by Jordan-Wigner: the form OpenFermion (a QubitOperator's terms) and
Qiskit (SparsePauliOp.to_list()) export. Both are converted to PauliWords in a
few lines below, without either package. The example finds the ground-state
energy by imaginary-time evolution from the Hartree-Fock state, checks it
against exact diagonalisation, then follows the Hartree-Fock state in real
time, and plots both to examples/output/molecular_hamiltonian.png.

Run: python examples/molecular_hamiltonian.py
"""

import pathlib

import numpy as np
from pauli_tools import dense, expectation, z_expectations

from _velmora import Hamiltonian, PauliWord, evolve

# OpenFermion style: {((qubit, letter), ...): coefficient}, in Hartree.
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
NUM_QUBITS = 4


def from_openfermion(terms, num_qubits):
    """[(coefficient, string)]: qubit q is letter num_qubits - 1 - q, as in this module."""
    pairs = []
    for ops, coeff in terms.items():
        s = ["I"] * num_qubits
        for qubit, letter in ops:
            s[num_qubits - 1 - qubit] = letter
        pairs.append((coeff, "".join(s)))
    return pairs


def from_qiskit(label_coeff_list):
    """Qiskit labels already put qubit 0 last, as this module does."""
    return [(complex(c), label) for label, c in label_coeff_list]


def main():
    import argparse

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=str(pathlib.Path(__file__).parent / "output"))
    args = parser.parse_args()
    pairs = from_openfermion(OPENFERMION_TERMS, NUM_QUBITS)
    qiskit_list = [(s, c) for c, s in pairs]  # what SparsePauliOp.to_list() gives
    assert from_qiskit(qiskit_list) == [(complex(c), s) for c, s in pairs]
    ham = Hamiltonian([PauliWord(c, s) for c, s in pairs])
    exact = float(np.linalg.eigvalsh(dense(pairs))[0])

    hartree_fock = np.zeros(2**NUM_QUBITS, dtype=np.complex128)
    hartree_fock[0b0011] = 1.0  # two electrons in the lowest spin orbitals (qubits 0 and 1)
    e_hf = expectation(pairs, hartree_fock)

    psi, taus, errors = hartree_fock.copy(), [], []
    for step in range(1, 41):
        psi = evolve(ham, psi, -0.5j, 0)  # exp(-0.5 H) psi
        psi /= np.linalg.norm(psi)
        taus.append(0.5 * step)
        errors.append(expectation(pairs, psi) - exact)

    times = np.linspace(0, 40, 161)
    occupation = []
    state = hartree_fock.copy()
    for i, t in enumerate(times):
        if i:
            state = evolve(ham, state, times[1] - times[0], 0)
        occupation.append((1 - z_expectations(state, NUM_QUBITS)) / 2)
    occupation = np.array(occupation)

    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(10, 3.6))
    ax1.semilogy(taus, np.maximum(errors, 1e-16), marker=".")
    ax1.set_xlabel("imaginary time tau [1/Hartree]")
    ax1.set_ylabel("E(tau) - E_exact [Hartree]")
    ax1.grid(True, which="both", alpha=0.3)
    for q in range(NUM_QUBITS):
        ax2.plot(times, occupation[:, q], label=f"spin orbital {q}")
    ax2.set_xlabel("time [hbar/Hartree]")
    ax2.set_ylabel("occupation")
    ax2.legend(fontsize=8)
    fig.suptitle("H2 / STO-3G, Jordan-Wigner, 4 qubits")
    fig.tight_layout()
    fig.savefig(out / "molecular_hamiltonian.png", dpi=100)

    print(f"H2 (STO-3G, 0.7414 A), {len(pairs)} Pauli words on {NUM_QUBITS} qubits")
    print(f"  Hartree-Fock energy          {e_hf:.10f} Ha")
    print(f"  imaginary-time ground state  {exact + errors[-1]:.10f} Ha")
    print(f"  exact diagonalisation        {exact:.10f} Ha "
          f"(difference {abs(errors[-1]):.1e})")
    print(f"  correlation energy           {exact - e_hf:.6f} Ha")
    print(f"plot: {out / 'molecular_hamiltonian.png'}")


if __name__ == "__main__":
    main()
