"""Term lists from other libraries' operators. Neither library is imported:
the objects are recognised by their class and read through their public
attributes."""

from __future__ import annotations

import operator
from typing import Any

# Products of two Pauli letters: (a, b) -> (phase, a*b).
_PRODUCT = {
    ("X", "X"): (1, "I"), ("Y", "Y"): (1, "I"), ("Z", "Z"): (1, "I"),
    ("X", "Y"): (1j, "Z"), ("Y", "Z"): (1j, "X"), ("Z", "X"): (1j, "Y"),
    ("Y", "X"): (-1j, "Z"), ("Z", "Y"): (-1j, "X"), ("X", "Z"): (-1j, "Y"),
}


def _is_instance_of(op: Any, package: str, name: str) -> bool:
    return any(cls.__name__ == name and cls.__module__.split(".")[0] == package
               for cls in type(op).__mro__)


def qiskit_terms(op: Any) -> list[tuple[str, Any]]:
    if not _is_instance_of(op, "qiskit", "SparsePauliOp"):
        raise TypeError(
            f"from_qiskit expects a qiskit.quantum_info.SparsePauliOp, got {type(op).__name__}")
    parameters = getattr(op, "parameters", ())
    if len(parameters):
        names = ", ".join(sorted(str(p) for p in parameters))
        raise ValueError(
            f"the SparsePauliOp has unbound parameters ({names}); bind them first with "
            "op.assign_parameters({...})")
    return [(str(label), coeff) for label, coeff in op.to_list()]


def openfermion_terms(op: Any, n_qubits: int | None) -> list[tuple[str, Any]]:
    if not _is_instance_of(op, "openfermion", "QubitOperator"):
        raise TypeError(
            f"from_openfermion expects an openfermion.QubitOperator, got {type(op).__name__}")
    products: list[tuple[dict[int, str], Any]] = []
    used = 0
    for factors, coeff in op.terms.items():
        letters: dict[int, str] = {}
        phase: complex = 1
        for qubit, letter in factors:
            qubit = operator.index(qubit)
            if qubit < 0 or letter not in ("X", "Y", "Z"):
                raise ValueError(f"from_openfermion: the factor {(qubit, letter)!r} of term "
                                 f"{factors!r} is not a Pauli letter on a qubit index >= 0")
            if qubit in letters:  # a repeated qubit: multiply the letters out
                factor, letter = _PRODUCT[(letters[qubit], letter)]
                phase *= factor
            letters[qubit] = letter
            used = max(used, qubit + 1)
        products.append(({q: p for q, p in letters.items() if p != "I"},
                         coeff if phase == 1 else _scaled(coeff, phase, factors)))
    if not products:
        raise ValueError("from_openfermion: the QubitOperator has no terms")
    if n_qubits is None:
        if used == 0:
            raise ValueError("from_openfermion: the QubitOperator acts on no qubit; "
                             "pass n_qubits")
        n_qubits = used
    elif isinstance(n_qubits, bool) or operator.index(n_qubits) < used:
        raise ValueError(f"from_openfermion: n_qubits = {n_qubits!r}, but the operator "
                         f"acts on qubit {used - 1}")
    n = operator.index(n_qubits)
    terms = []
    for letters, coeff in products:
        label = ["I"] * n
        for qubit, letter in letters.items():
            label[qubit] = letter  # OpenFermion's qubit 0 is the leftmost factor
        terms.append(("".join(label), coeff))
    return terms


def _scaled(coeff: Any, phase: complex, factors: Any) -> Any:
    try:
        return complex(coeff) * phase
    except (TypeError, ValueError):
        raise TypeError(f"from_openfermion: the term {factors!r} has the symbolic coefficient "
                        f"{coeff!r}; substitute numbers first") from None
