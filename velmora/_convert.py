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


def _quspin_site_terms(letter: str, pauli: int) -> list[tuple[str, complex]]:
    """One site's operator of a QuSpin operator string as (letter, coeff) terms
    in velmora's letters. QuSpin's up spin (its bit 1) is velmora's |0>, so its
    sigma^z is Z and its sigma^+ (down to up) is |0><1| = (X + iY) / 2. With
    pauli=1 x, y, z are the Pauli matrices and +, - carry a factor 2 (sigma^x
    +- i sigma^y); with pauli=0 all are spin-1/2 operators (a factor 1/2);
    with pauli=-1 x, y, z are Pauli matrices and +, - those of spin 1/2. "n"
    is the occupation of the up state, (1 + Z) / 2, as in QuSpin's hard-core
    boson basis; "I" the identity."""
    half = 0.5 if pauli == 0 else 1.0
    ladder = 1.0 if pauli == 1 else 0.5
    table = {
        "I": [("I", 1.0 + 0j)], "x": [("X", half + 0j)], "y": [("Y", half + 0j)],
        "z": [("Z", half + 0j)], "+": [("X", ladder + 0j), ("Y", 1j * ladder)],
        "-": [("X", ladder + 0j), ("Y", -1j * ladder)], "n": [("I", 0.5 + 0j), ("Z", 0.5 + 0j)],
    }
    return table[letter]


def quspin_terms(static: Any, num_sites: int, pauli: int) -> list[tuple[str, complex]]:
    """The merged terms of a QuSpin static list [[opstr, [[J, i, j, ...], ...]], ...]
    on `num_sites` sites, QuSpin's site i being the letter i from the left."""
    import numbers

    from velmora import _algebra

    if isinstance(num_sites, bool) or not isinstance(num_sites, numbers.Integral) \
            or num_sites < 1:
        raise ValueError(f"num_sites must be an int >= 1, got {num_sites!r}")
    if pauli not in (1, 0, -1) or isinstance(pauli, bool):
        raise ValueError(f"pauli must be 1, 0 or -1 (QuSpin's conventions), got {pauli!r}")
    n = int(num_sites)
    if isinstance(static, (str, bytes)) or not isinstance(static, (list, tuple)):
        raise TypeError("static must be a list of [operator string, couplings] pairs, as "
                        "QuSpin's hamiltonian takes")
    items: list[tuple[tuple[int, int], complex]] = []
    for index, entry in enumerate(static):
        where = f"static[{index}]"
        if not isinstance(entry, (list, tuple)) or len(entry) != 2 \
                or not isinstance(entry[0], str):
            raise TypeError(f"{where} must be an [operator string, couplings] pair, got "
                            f"{entry!r}")
        opstr, couplings = entry
        unknown = sorted(set(opstr) - set("Ixyz+-n"))
        if unknown:
            raise ValueError(f"{where}: the operator string {opstr!r} has {unknown[0]!r}; the "
                             "letters are I, x, y, z, +, - and n")
        if isinstance(couplings, (str, bytes)) or not hasattr(couplings, "__iter__"):
            raise TypeError(f"{where}: the couplings must be a list of [J, site, ...] lists")
        for j, coupling in enumerate(couplings):
            row = list(coupling)
            if len(row) != len(opstr) + 1:
                raise ValueError(f"{where}, coupling {j}: {opstr!r} needs a coefficient and "
                                 f"{len(opstr)} sites, got {row!r}")
            value = row[0]
            if isinstance(value, (bool, str, bytes)) or not isinstance(value, numbers.Number):
                raise TypeError(f"{where}, coupling {j}: the coefficient {value!r} is not a "
                                "number")
            c = complex(value)
            if not (abs(c.real) < float("inf") and abs(c.imag) < float("inf")):
                raise ValueError(f"{where}, coupling {j}: the coefficient {value!r} is not "
                                 "finite")
            terms: list[tuple[str, complex]] = [("I" * n, c)]
            for letter, site in zip(opstr, row[1:]):
                if isinstance(site, bool) or not isinstance(site, numbers.Integral) \
                        or not 0 <= int(site) < n:
                    raise ValueError(f"{where}, coupling {j}: site {site!r} is not in "
                                     f"0..{n - 1}")
                position = int(site)
                factor = [("I" * position + a + "I" * (n - 1 - position), b)
                          for a, b in _quspin_site_terms(letter, pauli)]
                terms = _algebra.product(terms, factor, n)
            items += [(_algebra.symplectic(label), coeff) for label, coeff in terms]
    if not items:
        raise ValueError("static has no couplings; a PauliSum needs at least one term")
    return _algebra.merged(items, n)
