"""Products of Pauli sums: words multiplied with exact phases, equal words merged.

A word is kept as its symplectic pair (x, z) of bit masks, bit q the letter on
qubit q: X is (1, 0), Z is (0, 1), Y is (1, 1) = i X Z. Per qubit the letter is
i^(x z) X^x Z^z, so the product of two words is

    P(x1, z1) P(x2, z2) = i^(|x1 z1| + |x2 z2| + 2 |z1 x2| - |x3 z3|) P(x3, z3),

with x3 = x1 ^ x2, z3 = z1 ^ z2 and |m| the number of set bits of m: the
phase is a power of i, applied to a coefficient by swapping and negating its
parts (no rounding). Two words commute when |x1 z2| + |z1 x2| is even, and
anticommute otherwise.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence

_LETTER = {(0, 0): "I", (1, 0): "X", (1, 1): "Y", (0, 1): "Z"}


def symplectic(label: str) -> tuple[int, int]:
    """(x, z) of a label, bit q for the letter at position len(label) - 1 - q."""
    x = int(label.translate(str.maketrans("IXYZ", "0110")), 2)
    z = int(label.translate(str.maketrans("IXYZ", "0011")), 2)
    return x, z


def label_of(x: int, z: int, num_qubits: int) -> str:
    return "".join(_LETTER[((x >> q) & 1, (z >> q) & 1)] for q in range(num_qubits - 1, -1, -1))


def times_i_power(c: complex, power: int) -> complex:
    """c * i^power, exactly."""
    power %= 4
    if power == 0:
        return c
    if power == 1:
        return complex(-c.imag, c.real)
    if power == 2:
        return -c
    return complex(c.imag, -c.real)


def _phase(x1: int, z1: int, x2: int, z2: int) -> int:
    x3, z3 = x1 ^ x2, z1 ^ z2
    return ((x1 & z1).bit_count() + (x2 & z2).bit_count() + 2 * (z1 & x2).bit_count()
            - (x3 & z3).bit_count())


def merged(items: Iterable[tuple[tuple[int, int], complex]],
           num_qubits: int) -> list[tuple[str, complex]]:
    """The terms of a sum of (word, coefficient) items: the coefficients of
    each word summed correctly rounded (math.fsum on each part), in the order
    of the words' first appearance, words whose sum is exactly zero dropped;
    the zero identity when nothing is left. OverflowError when a sum leaves
    the double range."""
    groups: dict[tuple[int, int], list[complex]] = {}
    for word, c in items:
        groups.setdefault(word, []).append(c)
    terms: list[tuple[str, complex]] = []
    for (x, z), values in groups.items():
        try:
            total = complex(math.fsum(v.real for v in values), math.fsum(v.imag for v in values))
        except (OverflowError, ValueError):  # beyond the range, or inf - inf
            total = complex(math.inf)
        if not (math.isfinite(total.real) and math.isfinite(total.imag)):
            raise OverflowError(f"the coefficients of {label_of(x, z, num_qubits)!r} sum beyond "
                                "the double range")
        if total != 0:
            terms.append((label_of(x, z, num_qubits), total))
    return terms or [("I" * num_qubits, 0j)]


def _words(terms: Sequence[tuple[str, complex]]) -> list[tuple[int, int, complex]]:
    return [(*symplectic(label), c) for label, c in terms]


def product(left: Sequence[tuple[str, complex]], right: Sequence[tuple[str, complex]],
            num_qubits: int) -> list[tuple[str, complex]]:
    """The merged terms of (sum left) (sum right)."""
    b = _words(right)

    def items() -> Iterable[tuple[tuple[int, int], complex]]:
        for x1, z1, c1 in _words(left):
            for x2, z2, c2 in b:
                yield (x1 ^ x2, z1 ^ z2), times_i_power(c1 * c2, _phase(x1, z1, x2, z2))

    return merged(items(), num_qubits)


def commutator(left: Sequence[tuple[str, complex]], right: Sequence[tuple[str, complex]],
               num_qubits: int) -> list[tuple[str, complex]]:
    """The merged terms of [sum left, sum right]: 2 c d P Q over the pairs of
    words P, Q that anticommute (the others give zero)."""
    b = _words(right)

    def items() -> Iterable[tuple[tuple[int, int], complex]]:
        for x1, z1, c1 in _words(left):
            for x2, z2, c2 in b:
                if ((x1 & z2).bit_count() + (z1 & x2).bit_count()) & 1:
                    yield (x1 ^ x2, z1 ^ z2), times_i_power(2 * (c1 * c2),
                                                            _phase(x1, z1, x2, z2))

    return merged(items(), num_qubits)
