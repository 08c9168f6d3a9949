"""Calls the package's annotations must reject: a type checker reports each line below."""

import velmora
from velmora import PauliSum

H = PauliSum([("X", 1.0)])
H.num_qubits = 2
H.apply([1, 0], num_threads="2")
PauliSum([(1.0, "X")]).is_hermitian()
H.simplify("0")
velmora.models.xxz_chain(4, 0.5, True)
velmora.entanglement_entropy([1, 0], 0)
