"""Calls that the stub must reject: a type checker reports each line below."""

from _velmora import Hamiltonian, PauliWord, evolve

PauliWord(1.0, b"XZ")
Hamiltonian(PauliWord(1.0, "X"))
evolve(Hamiltonian([]), None, 0.1, 0)
evolve(Hamiltonian([]), [1, 0], 0.1, 1.5)
