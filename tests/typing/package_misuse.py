"""Calls the package's annotations must reject: a type checker reports each line below."""

from velmora import PauliSum

H = PauliSum([("X", 1.0)])
H.num_qubits = 2
H.apply([1, 0], num_threads="2")
PauliSum([(1.0, "X")]).is_hermitian()
