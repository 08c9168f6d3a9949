"""A small user script that must type-check against the installed stub."""

import numpy as np
from numpy.typing import NDArray

from _velmora import Hamiltonian, PauliWord, evolve

words: list[PauliWord] = [PauliWord(1.0, "ZZ"), PauliWord(coeff=0.5j, string="XI")]
ham = Hamiltonian(words)
psi: NDArray[np.complex128] = np.zeros(4, dtype=np.complex128)
psi[0] = 1.0
out: NDArray[np.complex128] = evolve(ham, psi, 0.1, num_threads=0)
print(float(np.linalg.norm(out)))
