"""A user script that uses every public name of the velmora package and must
type-check with mypy --strict against the package's inline annotations."""

from typing import Any

import numpy as np
from numpy.typing import NDArray

import _velmora
import velmora
from velmora import PauliSum
from velmora.models import (heisenberg_chain, ising_chain, pauli_label, random_local, xxz_chain,
                            xxz_ring, z_diagonal)

H: PauliSum = PauliSum([("ZZ", 1.0), (pauli_label(2, {0: "X"}), 0.5j)])
G: PauliSum = PauliSum({"XX": 1, "YY": np.float64(2.0)}) + 2.0 * ising_chain(2) + xxz_ring(2)
n: int = H.num_qubits + len(random_local(4, 3))
terms: list[tuple[str, complex]] = H.terms
coeffs: NDArray[np.complex128] = H.coeffs
bound: float = H.norm_bound
hermitian: bool = G.is_hermitian
core: _velmora.Hamiltonian = G.hamiltonian
matrix: Any = G.to_sparse(max_bytes=1 << 20)
psi: NDArray[np.complex128] = np.zeros(4, dtype=np.complex128)
psi[0] = 1.0
h_psi: NDArray[np.complex128] = H.apply(psi, num_threads=0)
value: float | complex = H.expectation(psi)
h_psi = H @ psi
D: PauliSum = (-H - G + xxz_chain(2, 0.5, periodic=True) - heisenberg_chain(2)).simplify(atol=1e-12)
diagonal: NDArray[np.float64] = z_diagonal(2, qubit=1)
entropy: float = velmora.entanglement_entropy(h_psi, {0}, base=2)
out: NDArray[np.complex128] = _velmora.evolve(core, psi, 0.1, 0)
converted: list[PauliSum] = []
if False:  # the conversions need the libraries; they only have to type-check here
    converted = [PauliSum.from_qiskit(object()), PauliSum.from_openfermion(object(), n_qubits=3)]
print(velmora.__version__, n, terms, coeffs, bound, hermitian, matrix.nnz, h_psi, value, out,
      converted, D, diagonal, entropy)
