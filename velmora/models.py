"""Common spin models as `PauliSum` objects, and the label helper they share.

Every chain numbers its sites by qubit: site q is qubit q, the letter at
position n - 1 - q of each label.
"""

from __future__ import annotations

import numbers
from collections.abc import Iterable, Mapping

import numpy as np
from numpy.typing import NDArray

from velmora._checks import real_number
from velmora.pauli_sum import PauliSum

__all__ = ["heisenberg_chain", "ising_chain", "pauli_label", "random_local", "xxz_chain",
           "xxz_ring", "z_diagonal"]

# 2^40 float64 entries are 8 TiB: beyond that z_diagonal refuses before allocating.
_MAX_DIAGONAL_QUBITS = 40


def pauli_label(num_qubits: int, placed: Mapping[int, str] | Iterable[tuple[int, str]]) -> str:
    """The label with the given letters on the given qubits and I elsewhere.

    Qubit 0 is the last letter: ``pauli_label(3, {0: "X"}) == "IIX"``. Each
    qubit must be an int in 0..n - 1, given at most once, and each letter one
    of I, X, Y, Z; otherwise TypeError or ValueError names the qubit.

    Parameters
    ----------
    num_qubits : int
        The length n of the label, at least 1.
    placed : mapping of int to str, or iterable of (int, str) pairs
        The letter of each qubit that is not I.

    Returns
    -------
    str
        The label of n letters, the letter of qubit q at position n - 1 - q.

    Raises
    ------
    TypeError
        When `num_qubits` or a qubit is not an int.
    ValueError
        When `num_qubits` < 1, or a qubit is outside 0..n - 1, given more
        than once or given a letter other than I, X, Y and Z.

    Examples
    --------
    >>> from velmora.models import pauli_label
    >>> pauli_label(3, {0: "X"})
    'IIX'
    >>> pauli_label(4, [(0, "X"), (3, "Z")])
    'ZIIX'
    """
    n = _count("num_qubits", num_qubits, 1)
    letters = ["I"] * n
    pairs = placed.items() if isinstance(placed, Mapping) else placed
    seen: set[int] = set()
    for qubit, letter in pairs:
        if isinstance(qubit, (bool, np.bool_)) or not isinstance(qubit, numbers.Integral):
            raise TypeError(f"qubit {qubit!r} must be an int, got {type(qubit).__name__}")
        q = int(qubit)
        if not 0 <= q < n:
            raise ValueError(f"qubit {q} is outside 0..{n - 1}")
        if q in seen:
            raise ValueError(f"qubit {q} is given more than one letter")
        if not (isinstance(letter, str) and len(letter) == 1 and letter in "IXYZ"):
            raise ValueError(f"qubit {q}: the letter must be one of I, X, Y, Z, got {letter!r}")
        seen.add(q)
        letters[n - 1 - q] = letter
    return "".join(letters)


def _count(name: str, value: object, minimum: int, why: str = "") -> int:
    """`value` as an int of at least `minimum`, or a TypeError/ValueError naming `name`."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    count = int(value)
    if count < minimum:
        raise ValueError(f"{name} must be at least {minimum}{why}, got {count}")
    return count




def ising_chain(num_qubits: int, j: float = 1.0, h: float = 1.0) -> PauliSum:
    """The open transverse-field Ising chain -J sum Z_q Z_{q+1} - h sum X_q.

    2n - 1 terms: the bonds first (q = 0 .. n - 2), then the fields (q = 0 ..
    n - 1); one qubit has the field alone. `num_qubits` must be at least 1,
    `j` and `h` finite reals.

    Parameters
    ----------
    num_qubits : int
        The number of sites n >= 1; site q is qubit q.
    j : float, optional
        The coupling J of each bond Z_q Z_{q+1} (default 1.0).
    h : float, optional
        The transverse field h on each site (default 1.0).

    Returns
    -------
    PauliSum
        2n - 1 terms with coefficients -J and -h.

    Raises
    ------
    TypeError
        When `num_qubits` is not an int, or `j` or `h` is not a real number.
    ValueError
        When `num_qubits` < 1, or `j` or `h` is not finite.

    Examples
    --------
    >>> from velmora.models import ising_chain
    >>> ising_chain(3, j=1.0, h=0.5).terms
    [('IZZ', (-1+0j)), ('ZZI', (-1+0j)), ('IIX', (-0.5+0j)), ('IXI', (-0.5+0j)),
     ('XII', (-0.5+0j))]
    """
    n = _count("num_qubits", num_qubits, 1)
    j, h = real_number("j", j), real_number("h", h)
    bonds = [(pauli_label(n, {q: "Z", q + 1: "Z"}), -j) for q in range(n - 1)]
    return PauliSum(bonds + [(pauli_label(n, {q: "X"}), -h) for q in range(n)])


def xxz_chain(num_qubits: int, delta: float = 0.5, *, periodic: bool = False) -> PauliSum:
    """The XXZ chain: sum over the bonds (q, r) of X_q X_r + Y_q Y_r + delta Z_q Z_r.

    The bonds are (q, q + 1) for q = 0 .. n - 2, and with ``periodic=True``
    also (n - 1, 0), which closes the ring. Each bond gives its XX, YY and ZZ
    terms in that order, bond by bond. On two qubits the ring's closing bond
    would be (0, 1) again: it is not added, so the ring of two qubits is the
    single bond, the same operator as the open chain.

    Parameters
    ----------
    num_qubits : int
        The number of sites n >= 2; site q is qubit q.
    delta : float, optional
        The anisotropy, the coefficient of each ZZ term (default 0.5).
    periodic : bool, optional
        Close the chain into a ring (default False).

    Returns
    -------
    PauliSum
        3 (n - 1) terms for the open chain, 3n for the ring of n >= 3 sites.

    Raises
    ------
    TypeError
        When `num_qubits` is not an int or `delta` not a real number.
    ValueError
        When `num_qubits` < 2 or `delta` is not finite.

    Examples
    --------
    >>> from velmora.models import xxz_chain
    >>> xxz_chain(3, 0.5).terms
    [('IXX', (1+0j)), ('IYY', (1+0j)), ('IZZ', (0.5+0j)),
     ('XXI', (1+0j)), ('YYI', (1+0j)), ('ZZI', (0.5+0j))]
    >>> len(xxz_chain(3, 0.5, periodic=True)), len(xxz_chain(2, periodic=True))
    (9, 3)
    """
    n = _count("num_qubits", num_qubits, 2, " (a chain needs one bond)")
    delta = real_number("delta", delta)
    bonds = [(q, q + 1) for q in range(n - 1)]
    if periodic and n > 2:
        bonds.append((n - 1, 0))
    terms = []
    for q, r in bonds:
        terms += [(pauli_label(n, {q: "X", r: "X"}), 1.0),
                  (pauli_label(n, {q: "Y", r: "Y"}), 1.0),
                  (pauli_label(n, {q: "Z", r: "Z"}), delta)]
    return PauliSum(terms)


def xxz_ring(num_qubits: int, delta: float = 0.5) -> PauliSum:
    """The periodic XXZ ring sum X_q X_{q+1} + Y_q Y_{q+1} + delta Z_q Z_{q+1}.

    3n terms, site by site: ``xxz_chain(num_qubits, delta, periodic=True)``.
    `num_qubits` must be at least 2; the ring of two sites has the one bond
    (0, 1), counted once (3 terms).

    Parameters
    ----------
    num_qubits : int
        The number of sites n >= 2; site q is qubit q, next to q + 1 mod n.
    delta : float, optional
        The anisotropy, the coefficient of each ZZ term (default 0.5).

    Returns
    -------
    PauliSum
        3n terms for n >= 3 (the bond (n - 1, 0) last), 3 for n = 2.

    Raises
    ------
    TypeError
        When `num_qubits` is not an int or `delta` not a real number.
    ValueError
        When `num_qubits` < 2 or `delta` is not finite.

    Examples
    --------
    >>> from velmora.models import xxz_chain, xxz_ring
    >>> xxz_ring(3, 0.5).terms[-3:]                       # the closing bond (2, 0)
    [('XIX', (1+0j)), ('YIY', (1+0j)), ('ZIZ', (0.5+0j))]
    >>> len(xxz_ring(6)), xxz_ring(6) == xxz_chain(6, periodic=True)
    (18, True)
    """
    return xxz_chain(num_qubits, delta, periodic=True)


def heisenberg_chain(num_qubits: int, *, periodic: bool = False) -> PauliSum:
    """The Heisenberg chain: sum over the bonds (q, r) of X_q X_r + Y_q Y_r + Z_q Z_r.

    The same bonds and term order as `xxz_chain` with ``delta = 1``.

    Parameters
    ----------
    num_qubits : int
        The number of sites n >= 2; site q is qubit q.
    periodic : bool, optional
        Add the bond (n - 1, 0) for n >= 3 (default False); the ring of two
        sites is the single bond (0, 1).

    Returns
    -------
    PauliSum
        3 (n - 1) terms for the open chain, 3n for the ring of n >= 3 sites.

    Raises
    ------
    TypeError
        When `num_qubits` is not an int.
    ValueError
        When `num_qubits` < 2.

    Examples
    --------
    >>> from velmora.models import heisenberg_chain, xxz_ring
    >>> heisenberg_chain(2).terms
    [('XX', (1+0j)), ('YY', (1+0j)), ('ZZ', (1+0j))]
    >>> heisenberg_chain(4, periodic=True) == xxz_ring(4, 1.0)
    True
    """
    return xxz_chain(num_qubits, 1.0, periodic=periodic)


def z_diagonal(num_qubits: int, qubit: int) -> NDArray[np.float64]:
    """The eigenvalues of Z on `qubit` over the computational basis.

    Entry x is +1 when bit `qubit` of x is 0 and -1 when it is 1 (qubit 0 is
    the least significant bit): the diagonal of the label with Z on `qubit`,
    for `velmora.trajectory`'s ``observables`` as a diagonal observable.

    Parameters
    ----------
    num_qubits : int
        The number of qubits n, 1 <= n <= 40 (the array has 2^n entries).
    qubit : int
        The qubit Z acts on, 0 <= qubit < n.

    Returns
    -------
    numpy.ndarray
        A float64 array of 2^n entries, each +1 or -1.

    Raises
    ------
    TypeError
        When `num_qubits` or `qubit` is not an int.
    ValueError
        When either is out of range.

    Examples
    --------
    >>> from velmora.models import z_diagonal
    >>> z_diagonal(2, 0)
    array([ 1., -1.,  1., -1.])
    >>> z_diagonal(2, 1)
    array([ 1.,  1., -1., -1.])
    """
    n = _count("num_qubits", num_qubits, 1)
    if n > _MAX_DIAGONAL_QUBITS:
        raise ValueError(f"num_qubits must be at most {_MAX_DIAGONAL_QUBITS} (the array has "
                         f"2^num_qubits entries), got {n}")
    q = _count("qubit", qubit, 0)
    if q >= n:
        raise ValueError(f"qubit must be in 0..{n - 1} for num_qubits = {n}, got {q}")
    bits = (np.arange(1 << n, dtype=np.int64) >> q) & 1
    return 1.0 - 2.0 * bits.astype(np.float64)


def random_local(num_qubits: int, num_terms: int = 500, locality: int = 4,
                 seed: int = 2024) -> PauliSum:
    """`num_terms` random words with X, Y or Z on `locality` random qubits.

    Each word has X, Y or Z on `locality` distinct random qubits and a
    standard-normal coefficient. The same arguments give the same operator on
    every machine (NumPy's PCG64 generator). `num_qubits` and `num_terms`
    must be at least 1, `locality` in 1..num_qubits. A test and benchmark
    workload: a generic k-local Hamiltonian without structure.

    Parameters
    ----------
    num_qubits : int
        The number of qubits n >= 1.
    num_terms : int, optional
        The number of terms, at least 1 (default 500); equal words are not
        merged.
    locality : int, optional
        The number of qubits each word acts on, 1..n (default 4).
    seed : int, optional
        The seed of ``numpy.random.default_rng`` (default 2024); anything it
        accepts (None draws a fresh operator each call).

    Returns
    -------
    PauliSum
        `num_terms` terms with real coefficients (Hermitian).

    Raises
    ------
    TypeError
        When `num_qubits`, `num_terms` or `locality` is not an int, or NumPy
        refuses the type of `seed`.
    ValueError
        When `num_qubits` or `num_terms` is below 1, `locality` is outside
        1..num_qubits, or NumPy refuses `seed` (a negative int).

    Examples
    --------
    >>> from velmora.models import random_local
    >>> H = random_local(6, num_terms=3, locality=2, seed=1)
    >>> [(label, round(c.real, 4)) for label, c in H.terms]
    [('IIXZII', -1.3032), ('IIIIZY', -0.537), ('IIIXYI', 0.0284)]
    """
    num_qubits = _count("num_qubits", num_qubits, 1)
    num_terms = _count("num_terms", num_terms, 1)
    locality = _count("locality", locality, 1)
    if locality > num_qubits:
        raise ValueError(f"locality must be at most num_qubits = {num_qubits} (the qubits of a "
                         f"word are distinct), got {locality}")
    rng = np.random.default_rng(seed)
    terms = []
    for _ in range(num_terms):
        qubits = rng.choice(num_qubits, size=locality, replace=False)
        letters = rng.choice(list("XYZ"), size=locality)
        terms.append((pauli_label(num_qubits, zip(qubits.tolist(), letters.tolist())),
                      float(rng.normal())))
    return PauliSum(terms)
