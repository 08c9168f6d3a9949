"""Z2 symmetries of a `PauliSum` and tapering: the operator restricted to one
common eigenspace of commuting Pauli-word symmetries, on fewer qubits.

A Pauli word is handled here as bit masks (x, z) over the qubits, bit q for
qubit q: X is x alone, Z is z alone, Y is both. The operator they stand for is
the Hermitian word of the label (Y as the letter Y), and a phase i^k rides
along as the third entry of a `_Word` (x, z, k).

Tapering conjugates every term by a Clifford W built from the symmetries alone.
W maps each symmetry generator g to a single Z on its own "pivot" qubit, with
sign +1 (W g W^dagger = Z_q), so the sector where g has eigenvalue +1 (-1) is the
one where qubit q is ``|0>`` (``|1>``) after W. W is a product of steps
(A + B) / sqrt(2) for anticommuting Hermitian Pauli words A and B; each step is
Hermitian and unitary, maps B to A, and acts on any word P as
``P`` (commutes with both), ``-P`` (anticommutes with both), ``P B A``
(anticommutes with A only) or ``P A B`` (anticommutes with B only).
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Sequence
from typing import Any, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

from velmora.pauli_sum import PauliSum, masks, state_array

_Word = tuple[int, int, int]  # (x, z, k): i^k times the Hermitian word of (x, z)
_Step = tuple[_Word, _Word]  # (A, B): the Clifford (A + B) / sqrt(2)
_Symmetry = Union[PauliSum, str]  # a one-term PauliSum or a label

_LETTER = "IXZY"  # indexed by x_bit + 2 * z_bit
_PHASE = (1, 1j, -1, -1j)


def _bits(label: str) -> tuple[int, int]:
    flip, y, z = masks(label)
    return flip, z | y


def _label(x: int, z: int, num_qubits: int) -> str:
    return "".join(_LETTER[((x >> q) & 1) | (((z >> q) & 1) << 1)]
                   for q in range(num_qubits - 1, -1, -1))


def _anticommute(a: _Word, b: _Word) -> bool:
    return bool(((a[0] & b[1]) ^ (a[1] & b[0])).bit_count() & 1)


def _product(a: _Word, b: _Word) -> _Word:
    """a b. With P(x, z) = i^|x&z| X^x Z^z and Z^z1 X^x2 = (-1)^|z1&x2| X^x2 Z^z1."""
    x, z = a[0] ^ b[0], a[1] ^ b[1]
    k = (a[2] + b[2] + (a[0] & a[1]).bit_count() + (b[0] & b[1]).bit_count()
         + 2 * (a[1] & b[0]).bit_count() - (x & z).bit_count())
    return x, z, k % 4


def _conjugate(p: _Word, step: _Step) -> _Word:
    """S p S for the step S = (A + B) / sqrt(2)."""
    a, b = step
    with_a, with_b = _anticommute(p, a), _anticommute(p, b)
    if with_a and with_b:
        return p[0], p[1], (p[2] + 2) % 4
    if with_a:
        return _product(_product(p, b), a)
    if with_b:
        return _product(_product(p, a), b)
    return p


def _times_phase(c: complex, k: int) -> complex:
    """c * i^k, exactly (no rounding in the parts)."""
    if k == 0:
        return c
    if k == 2:
        return -c
    return complex(-c.imag, c.real) if k == 1 else complex(c.imag, -c.real)


# -- linear algebra over GF(2) -------------------------------------------------------


def _reduced_basis(vectors: Sequence[int] | set[int]) -> list[int]:
    """The reduced row echelon basis of the span of `vectors` (bit vectors as ints;
    each row's pivot is its highest bit, which no other row has), in ascending
    pivot order. The span alone decides the result."""
    rows: dict[int, int] = {}
    for vector in vectors:
        v = vector
        while v:
            top = v.bit_length() - 1
            if top not in rows:
                rows[top] = v
                break
            v ^= rows[top]
    pivots = sorted(rows)
    for i, p in enumerate(pivots):
        for higher in pivots[i + 1:]:
            if rows[higher] >> p & 1:
                rows[higher] ^= rows[p]
    return [rows[p] for p in pivots]


def _kernel(rows: list[int], width: int) -> list[int]:
    """A basis of {v : parity(row & v) = 0 for every row}, v of `width` bits."""
    basis = _reduced_basis(rows)
    pivot_of = {row.bit_length() - 1: row for row in basis}
    kernel = []
    for free in range(width):
        if free in pivot_of:
            continue
        v = 1 << free
        for p, row in pivot_of.items():
            if row >> free & 1:
                v |= 1 << p
        kernel.append(v)
    return kernel


class _Generator:
    """A product of some of the user's symmetries during the elimination."""

    __slots__ = ("word", "members")

    def __init__(self, word: _Word, members: int) -> None:
        self.word = word
        self.members = members  # bit i: symmetries[i] is a factor


def _eliminate(gens: list[_Generator], num_qubits: int) -> tuple[list[tuple[int, str, int]],
                                                                   list[int]]:
    """Bring generators to pivot form, qubit 0 first.

    At each qubit q the first unpivoted generator acting there with X or Y
    becomes the pivot with sigma = Z; failing that, the first acting with Z, with
    sigma = X. Every other generator whose letter at q anticommutes with sigma
    is multiplied by the pivot. Afterwards each pivot generator anticommutes
    with sigma on its qubit and every other generator acts there with I or
    sigma. Returns the pivots as (qubit, sigma, generator index) in qubit order
    and the indices of generators that never became pivots (for commuting
    generators these are products equal to +-identity).
    """
    open_ = list(range(len(gens)))
    pivots: list[tuple[int, str, int]] = []
    for q in range(num_qubits):
        bit = 1 << q
        chosen = next((i for i in open_ if gens[i].word[0] & bit), None)
        sigma, side = "Z", 0  # side: the mask (x or z) whose bit anticommutes with sigma
        if chosen is None:
            chosen = next((i for i in open_ if gens[i].word[1] & bit), None)
            sigma, side = "X", 1
            if chosen is None:
                continue
        pivot = gens[chosen]
        for i, g in enumerate(gens):
            if i != chosen and g.word[side] & bit:
                g.word = _product(g.word, pivot.word)
                g.members ^= pivot.members
        open_.remove(chosen)
        pivots.append((q, sigma, chosen))
    return pivots, open_


# -- the symmetries of a PauliSum --------------------------------------------------


def _symmetry_basis(H: PauliSum) -> list[PauliSum]:
    """The reduced basis of the Pauli words that commute with every term of H,
    as `PauliSum.z2_symmetries` returns it (see there)."""
    if not isinstance(H, PauliSum):
        raise TypeError(f"H must be a velmora.PauliSum, got {type(H).__name__}")
    n = H.num_qubits
    # A word (x', z') commutes with the term (x, z) when x.z' + z.x' is even: it
    # is in the kernel of the rows (z | x << n) applied to (x' | z' << n).
    rows = set()
    for label, _ in H.terms:
        x, z = _bits(label)
        if x | z:
            rows.add(z | x << n)
    low = (1 << n) - 1
    gens = [_Generator((v & low, v >> n, 0), 1 << i)
            for i, v in enumerate(_reduced_basis(_kernel(sorted(rows), 2 * n)))]
    pivots, rest = _eliminate(gens, n)
    order = [i for _, _, i in pivots] + rest
    return [PauliSum([(_label(gens[i].word[0], gens[i].word[1], n), 1.0)]) for i in order]


# -- tapering --------------------------------------------------------------------------


def _symmetry(index: int, item: object, num_qubits: int) -> tuple[PauliSum, _Word]:
    name = f"symmetries[{index}]"
    if isinstance(item, str):
        if not item or set(item) - set("IXYZ"):
            raise ValueError(f"{name}: {item!r} is not a Pauli label (letters I, X, Y, Z)")
        item = PauliSum([(item, 1.0)])
    if not isinstance(item, PauliSum):
        raise TypeError(f"{name} must be a PauliSum of one term or a label, got "
                        f"{type(item).__name__}")
    if len(item) != 1:
        raise ValueError(f"{name} has {len(item)} terms; a symmetry is a single Pauli word")
    label, coeff = item.terms[0]
    if item.num_qubits != num_qubits:
        raise ValueError(f"{name} ({label!r}) acts on {item.num_qubits} qubits, but the "
                         f"operator on {num_qubits}")
    if coeff not in (1, -1):
        raise ValueError(f"{name} ({label!r}) has the coefficient {coeff}; a symmetry needs "
                         "the coefficient 1 or -1")
    x, z = _bits(label)
    return item, (x, z, 0 if coeff == 1 else 2)


def _shown(word: PauliSum) -> str:
    label, coeff = word.terms[0]
    return repr(label if coeff == 1 else "-" + label)


def _eigenvalue(index: int, value: object) -> int:
    name = f"eigenvalues[{index}]"
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be 1 or -1, got {type(value).__name__} {value!r}")
    if value not in (1, -1):
        raise ValueError(f"{name} must be 1 or -1, got {value!r}")
    return 1 if value == 1 else -1


class _Sector:
    """What tapering needs besides the operator: the symmetries, the chosen
    eigenvalues, the Clifford W and the qubits it frees."""

    __slots__ = ("symmetries", "words", "eigenvalues", "num_qubits", "removed", "bits",
                 "kept", "steps", "_operators")

    def __init__(self, symmetries: object, eigenvalues: object, num_qubits: int) -> None:
        if isinstance(symmetries, (str, bytes, PauliSum)) or not isinstance(symmetries, Sequence):
            raise TypeError("symmetries must be a sequence of one-term PauliSums or labels, got "
                            f"{type(symmetries).__name__}")
        if isinstance(eigenvalues, (str, bytes)) or not isinstance(eigenvalues, (Sequence,
                                                                                 np.ndarray)):
            raise TypeError("eigenvalues must be a sequence of 1 and -1, got "
                            f"{type(eigenvalues).__name__}")
        checked = [_symmetry(i, item, num_qubits) for i, item in enumerate(symmetries)]
        if len(eigenvalues) != len(checked):
            raise ValueError(f"eigenvalues has {len(eigenvalues)} values, but there are "
                             f"{len(checked)} symmetries; give one per symmetry")
        values = tuple(_eigenvalue(i, v) for i, v in enumerate(eigenvalues))
        self.symmetries = tuple(s for s, _ in checked)
        self.words = tuple(w for _, w in checked)
        self.eigenvalues = values
        self.num_qubits = num_qubits
        for j, b in enumerate(self.words):
            for i in range(j):
                if _anticommute(self.words[i], b):
                    raise ValueError(
                        f"symmetries[{i}] ({_shown(self.symmetries[i])}) and symmetries[{j}] "
                        f"({_shown(self.symmetries[j])}) anticommute; tapering needs "
                        "symmetries that commute with each other")
        gens = [_Generator(w, 1 << i) for i, w in enumerate(self.words)]
        pivots, rest = _eliminate(gens, num_qubits)
        if rest:
            members = [i for i in range(len(gens)) if gens[rest[0]].members >> i & 1]
            if len(members) == 1:
                raise ValueError(f"symmetries[{members[0]}] is the identity (up to sign), "
                                 "which fixes no qubit")
            names = ", ".join(str(i) for i in members)
            raise ValueError(f"symmetries are dependent: the product of symmetries {names} "
                             f"is +-identity, so symmetries[{members[-1]}] follows from the "
                             "others; give independent ones")
        if len(pivots) >= num_qubits:
            raise ValueError(f"{len(pivots)} symmetries on {num_qubits} qubits would taper "
                             "every qubit away; keep at least one qubit")
        steps: list[_Step] = []
        hadamards: list[_Step] = []
        removed, bits = [], []
        for q, sigma, i in pivots:
            g = gens[i]
            single = (0, 1 << q, 0) if sigma == "Z" else (1 << q, 0, 0)
            steps.append((single, g.word))  # maps g to sigma on q
            if sigma == "X":
                hadamards.append(((0, 1 << q, 0), single))  # then X_q to Z_q
            # g is the product of its members, so its eigenvalue is theirs.
            product = math.prod(values[m] for m in range(len(values)) if g.members >> m & 1)
            removed.append(q)
            bits.append(0 if product == 1 else 1)
        self.steps = tuple(steps + hadamards)
        self.removed = tuple(removed)
        self.bits = tuple(bits)
        self.kept = tuple(q for q in range(num_qubits) if q not in removed)
        self._operators: list[PauliSum] | None = None

    def taper_terms(self, operator: PauliSum, name: str) -> list[tuple[str, complex]]:
        """The terms of W O W^dagger with the removed qubits' Z replaced by their
        eigenvalues, term by term in order."""
        if not isinstance(operator, PauliSum):
            raise TypeError(f"{name} must be a velmora.PauliSum, got {type(operator).__name__}")
        n = self.num_qubits
        if operator.num_qubits != n:
            raise ValueError(f"{name} acts on {operator.num_qubits} qubits, but the symmetries "
                             f"on {n}")
        positions = [n - 1 - q for q in reversed(self.kept)]
        flips = [(q, b) for q, b in zip(self.removed, self.bits) if b]
        out = []
        for index, (label, coeff) in enumerate(operator.terms):
            x, z = _bits(label)
            word: _Word = (x, z, 0)
            for j, symmetry in enumerate(self.words):
                if _anticommute(word, symmetry):
                    raise ValueError(
                        f"{name} term {index} ({label!r}) anticommutes with symmetries[{j}] "
                        f"({_shown(self.symmetries[j])}); every term must commute with every "
                        "symmetry")
            for step in self.steps:
                word = _conjugate(word, step)
            x, z, k = word
            # Commuting with every Z_q of the removed qubits, the word acts there
            # with I or Z; Z becomes the sector's eigenvalue.
            assert all(not x >> q & 1 for q in self.removed)
            k += 2 * sum(z >> q & 1 for q, _ in flips)
            full = _label(x, z, n)
            out.append(("".join(full[p] for p in positions), _times_phase(coeff, k % 4)))
        return out

    def operators(self) -> list[PauliSum]:
        """The steps of W as two-term PauliSums, in the order they act on a state."""
        if self._operators is None:
            s = 1 / math.sqrt(2)
            n = self.num_qubits
            self._operators = [PauliSum([(_label(a[0], a[1], n), _PHASE[a[2]] * s),
                                         (_label(b[0], b[1], n), _PHASE[b[2]] * s)])
                               for a, b in self.steps]
        return self._operators

    def indices(self) -> NDArray[np.int64]:
        """For each amplitude index of the tapered register, its full index."""
        j = np.arange(1 << len(self.kept), dtype=np.int64)
        full = np.zeros_like(j)
        for m, q in enumerate(self.kept):
            full |= ((j >> m) & 1) << q
        for q, b in zip(self.removed, self.bits):
            full |= b << q
        return full


def _check_merge(merge: object) -> bool:
    if not isinstance(merge, (bool, np.bool_)):
        raise TypeError(f"merge must be True or False, got {type(merge).__name__}")
    return bool(merge)


def _merged(terms: list[tuple[str, complex]], merge: bool) -> list[tuple[str, complex]]:
    return PauliSum(terms).simplify().terms if merge else terms


class TaperedSum(PauliSum):
    """An operator restricted to one sector of commuting Z2 symmetries, on fewer qubits.

    ``TaperedSum(H, symmetries, eigenvalues)`` (or ``H.taper(symmetries,
    eigenvalues)``) takes r independent Pauli words tau_i that commute with
    each other and with every term of H, and one eigenvalue lambda_i = +-1
    each. A Clifford W, built from the symmetries alone, maps each tau_i (or,
    when the symmetries are not in pivot form, an independent product of them)
    to Z on one qubit of its own with sign +1; every term of W H W^dagger then
    acts on those r qubits with I or Z, and Z is replaced by the eigenvalue.
    The result is a `PauliSum` on the n - r remaining qubits (in their order:
    tapered qubit j is full qubit ``kept_qubits[j]``) whose spectrum is the
    spectrum of H on the sector {tau_i psi = lambda_i psi}. It is accepted
    wherever a PauliSum is (``apply``, ``expectation``, `velmora.evolve`,
    `velmora.trajectory`, `velmora.mpi`); arithmetic on it (``+``, ``*``,
    ``simplify``) gives plain PauliSums.

    Terms are conjugated one by one in the order of H. With ``merge=True`` (the
    default) equal labels are then merged as by `PauliSum.simplify` (first
    appearance order, sums that are exactly zero dropped); with
    ``merge=False`` the i-th term comes from the i-th term of H. A Hermitian H
    gives a Hermitian TaperedSum: every coefficient is +-1 times H's.

    `to_sector` and `from_sector` carry states between the full register and
    the sector; `taper_observable` tapers another operator the same way. A
    TaperedSum pickles (with its symmetries and eigenvalues) and is immutable.

    Parameters
    ----------
    H : PauliSum
        The operator on n qubits.
    symmetries : sequence of PauliSum or str
        r Pauli words, each a one-term PauliSum with coefficient 1 or -1, or a
        label (coefficient 1). `PauliSum.z2_symmetries` finds them.
    eigenvalues : sequence of int
        One eigenvalue, 1 or -1, per symmetry: the sector kept.
    merge : bool, optional
        Merge equal labels after tapering (default True).

    Raises
    ------
    TypeError
        When H is not a PauliSum, a symmetry is neither a PauliSum nor a str,
        an eigenvalue is not a real number, or `merge` is not a bool.
    ValueError
        When a symmetry has more than one term, a coefficient other than 1 or
        -1, or the wrong number of qubits; when two symmetries anticommute or
        they are dependent (a product of some is +-identity, which includes the
        identity itself); when there are r >= n of them; when the number of
        eigenvalues differs from the number of symmetries or one is not +-1;
        when a term of H anticommutes with a symmetry (the message names both).

    Examples
    --------
    >>> import numpy as np
    >>> from velmora.models import xxz_ring
    >>> H = xxz_ring(4, delta=0.5)
    >>> [s.terms[0][0] for s in H.z2_symmetries()]
    ['XXXX', 'ZZZZ']
    >>> T = H.taper(H.z2_symmetries(), [1, 1])
    >>> T.num_qubits, T.full_num_qubits, T.removed_qubits, T.kept_qubits
    (2, 4, (0, 1), (2, 3))
    >>> [s.terms[0][0] for s in T.symmetries], T.eigenvalues
    (['XXXX', 'ZZZZ'], (1, 1))
    >>> sectors = [H.taper(H.z2_symmetries(), [a, b]) for a in (1, -1) for b in (1, -1)]
    >>> spectra = np.concatenate([np.linalg.eigvalsh(S.to_sparse().toarray())
    ...                           for S in sectors])
    >>> bool(np.allclose(np.sort(spectra), np.linalg.eigvalsh(H.to_sparse().toarray())))
    True
    """

    __slots__ = ("_sector",)

    _sector: _Sector

    def __init__(self, H: PauliSum, symmetries: Sequence[_Symmetry],
                 eigenvalues: Sequence[int], *, merge: bool = True) -> None:
        if not isinstance(H, PauliSum):
            raise TypeError(f"H must be a velmora.PauliSum, got {type(H).__name__}")
        merge = _check_merge(merge)
        sector = _Sector(symmetries, eigenvalues, H.num_qubits)
        super().__init__(_merged(sector.taper_terms(H, "H"), merge))
        object.__setattr__(self, "_sector", sector)

    def __reduce__(self) -> Any:
        sector = self._sector
        return (_restore_tapered, (self.terms, [s.terms[0] for s in sector.symmetries],
                                   sector.eigenvalues, sector.num_qubits))

    def __eq__(self, other: object) -> bool:
        """Equal terms, and for two TaperedSums also the same symmetries and eigenvalues."""
        if isinstance(other, TaperedSum):
            return (self._terms == other._terms
                    and self._sector.symmetries == other._sector.symmetries
                    and self._sector.eigenvalues == other._sector.eigenvalues)
        return super().__eq__(other)

    __hash__ = PauliSum.__hash__

    def __repr__(self) -> str:
        base = super().__repr__()[len("PauliSum("):-1]
        symmetries = ", ".join(_shown(s) for s in self._sector.symmetries)
        return (f"TaperedSum({base}, symmetries=[{symmetries}], "
                f"eigenvalues={list(self._sector.eigenvalues)})")

    # -- the sector ------------------------------------------------------------------

    @property
    def symmetries(self) -> list[PauliSum]:
        """The symmetries as one-term PauliSums, in the given order.

        A new list of r PauliSums, each with coefficient 1 or -1 (a label
        given as a str has coefficient 1).

        Examples
        --------
        >>> from velmora.models import xxz_ring
        >>> T = xxz_ring(4, delta=0.5).taper(["XXXX", "ZZZZ"], [1, -1])
        >>> [s.terms for s in T.symmetries]
        [[('XXXX', (1+0j))], [('ZZZZ', (1+0j))]]
        """
        return list(self._sector.symmetries)

    @property
    def eigenvalues(self) -> tuple[int, ...]:
        """The eigenvalue (1 or -1) of each symmetry in the sector.

        A tuple of r ints, in the order of `symmetries`.

        Examples
        --------
        >>> from velmora.models import xxz_ring
        >>> T = xxz_ring(4, delta=0.5).taper(["XXXX", "ZZZZ"], [1, -1])
        >>> T.eigenvalues
        (1, -1)
        """
        return self._sector.eigenvalues

    @property
    def full_num_qubits(self) -> int:
        """The number of qubits n of the operator before tapering.

        An int; `num_qubits` is n - r, r the number of symmetries.

        Examples
        --------
        >>> from velmora.models import xxz_ring
        >>> T = xxz_ring(4, delta=0.5).taper(["XXXX", "ZZZZ"], [1, -1])
        >>> T.full_num_qubits, T.num_qubits
        (4, 2)
        """
        return self._sector.num_qubits

    @property
    def removed_qubits(self) -> tuple[int, ...]:
        """The qubits of the full register that tapering removes, ascending.

        A tuple of r ints: each of these qubits carries one symmetry after the
        Clifford (the sector's bit: 0 for eigenvalue 1 of the mapped
        generator, 1 for -1).

        Examples
        --------
        >>> from velmora.models import xxz_ring
        >>> T = xxz_ring(4, delta=0.5).taper(["XXXX", "ZZZZ"], [1, -1])
        >>> T.removed_qubits
        (0, 1)
        """
        return self._sector.removed

    @property
    def kept_qubits(self) -> tuple[int, ...]:
        """The qubits of the full register that remain, ascending.

        A tuple of n - r ints: qubit j of the TaperedSum is full qubit
        ``kept_qubits[j]`` (before the Clifford).

        Examples
        --------
        >>> from velmora.models import xxz_ring
        >>> T = xxz_ring(4, delta=0.5).taper(["XXXX", "ZZZZ"], [1, -1])
        >>> T.kept_qubits
        (2, 3)
        """
        return self._sector.kept

    def to_sector(self, psi: ArrayLike, num_threads: int | None = None) -> NDArray[np.complex128]:
        """The component of a full state in the sector, on the tapered qubits.

        W psi is formed with `PauliSum.apply` (one two-term sum per step of the
        Clifford), then the amplitudes whose removed qubits hold the sector's
        bits (0 for eigenvalue +1 of the mapped generator, 1 for -1) are kept.
        On states of the sector this is an isometry onto the tapered register
        and ``from_sector(to_sector(psi)) == psi``; on other states it keeps
        their projection onto the sector (it is the adjoint of `from_sector`).

        Parameters
        ----------
        psi : array_like
            2^n amplitudes of the full register, n = `full_num_qubits`.
        num_threads : int or None, optional
            As for `PauliSum.apply`.

        Returns
        -------
        numpy.ndarray
            2^(n - r) complex128 amplitudes.

        Raises
        ------
        TypeError
            When psi does not hold numbers, or `num_threads` is not an int or
            None.
        ValueError
            When psi is not a 1-D array of 2^n amplitudes, or `num_threads` is
            negative.

        Examples
        --------
        >>> import numpy as np
        >>> from velmora import PauliSum
        >>> H = PauliSum([("ZZ", 1.0), ("XX", 0.5), ("YY", 0.5)])
        >>> T = H.taper(["ZZ"], [-1])
        >>> psi = np.array([0, 1, -1, 0]) / np.sqrt(2)   # a singlet: ZZ psi = -psi
        >>> phi = T.to_sector(psi)
        >>> bool(np.allclose(T.from_sector(phi), psi))
        True
        >>> round(float(np.linalg.norm(phi)), 12)
        1.0
        """
        state = state_array(psi, self._sector.num_qubits, "psi", "the full register has")
        for step in self._sector.operators():
            state = step.apply(state, num_threads)
        return state[self._sector.indices()]

    def from_sector(self, phi: ArrayLike,
                    num_threads: int | None = None) -> NDArray[np.complex128]:
        """The full state of a state of the tapered qubits: the inverse of `to_sector`
        on the sector.

        phi is placed at the sector's amplitudes (the removed qubits holding the
        sector's bits), then W^dagger is applied with `PauliSum.apply`. The map
        is an isometry whose image is the sector.

        Parameters
        ----------
        phi : array_like
            2^(n - r) amplitudes of the tapered register.
        num_threads : int or None, optional
            As for `PauliSum.apply`.

        Returns
        -------
        numpy.ndarray
            2^n complex128 amplitudes, an eigenvector of every symmetry with its
            eigenvalue.

        Raises
        ------
        TypeError
            When phi does not hold numbers, or `num_threads` is not an int or
            None.
        ValueError
            When phi is not a 1-D array of 2^(n - r) amplitudes, or
            `num_threads` is negative.

        Examples
        --------
        >>> from velmora import PauliSum
        >>> T = PauliSum([("ZZ", 1.0), ("XX", 0.5)]).taper(["ZZ"], [1])
        >>> T.from_sector([1, 0])
        array([1.+0.j, 0.+0.j, 0.+0.j, 0.+0.j])
        """
        sector = self._sector
        small = state_array(phi, self.num_qubits, "phi", "the tapered register has")
        state = np.zeros(1 << sector.num_qubits, dtype=np.complex128)
        state[sector.indices()] = small
        for step in reversed(sector.operators()):
            state = step.apply(state, num_threads)
        return state

    def taper_observable(self, O: PauliSum, *, merge: bool = True) -> TaperedSum:
        """Another operator on the full register, tapered with the same symmetries
        and sector.

        Every term of O must commute with every symmetry; then
        ``T.taper_observable(O).expectation(T.to_sector(psi))`` equals
        ``O.expectation(psi)`` for states psi of the sector.

        Parameters
        ----------
        O : PauliSum
            An operator on `full_num_qubits` qubits.
        merge : bool, optional
            Merge equal labels after tapering (default True).

        Returns
        -------
        TaperedSum
            O in the sector, with the same symmetries and eigenvalues.

        Raises
        ------
        TypeError
            When O is not a PauliSum or `merge` is not a bool.
        ValueError
            When O acts on another number of qubits, or one of its terms
            anticommutes with a symmetry (the message names the first such term
            and the first symmetry it breaks).

        Examples
        --------
        >>> from velmora import PauliSum
        >>> T = PauliSum([("ZZ", 1.0), ("XX", 0.5)]).taper(["ZZ"], [-1])
        >>> T.taper_observable(PauliSum([("ZI", 1.0), ("IZ", 1.0)])).terms
        [('I', 0j)]
        """
        merge = _check_merge(merge)
        terms = _merged(self._sector.taper_terms(O, "O"), merge)
        obj = TaperedSum.__new__(TaperedSum)
        PauliSum.__init__(obj, terms)
        object.__setattr__(obj, "_sector", self._sector)
        return obj


def _restore_tapered(terms: list[tuple[str, complex]], symmetries: list[tuple[str, complex]],
                     eigenvalues: tuple[int, ...], full_num_qubits: int) -> TaperedSum:
    """Unpickles a TaperedSum: the Clifford is rebuilt from the symmetries."""
    obj = TaperedSum.__new__(TaperedSum)
    PauliSum.__init__(obj, terms)
    sector = _Sector([PauliSum([t]) for t in symmetries], eigenvalues, full_num_qubits)
    object.__setattr__(obj, "_sector", sector)
    return obj
