"""Common spin models as `PauliSum` objects, and the label helper they share.

Every chain numbers its sites by qubit: site q is qubit q, the letter at
position n - 1 - q of each label.
"""

from __future__ import annotations

import numbers
from collections.abc import Iterable, Mapping, Sequence
from typing import Literal, overload

import numpy as np
from numpy.typing import NDArray

from velmora._checks import real_number
from velmora.pauli_sum import PauliSum

__all__ = ["heisenberg_chain", "heisenberg_square", "ising_chain", "ising_square",
           "j1j2_square", "pauli_label", "random_local", "square_bonds", "staggered_z",
           "total_spin_squared", "total_weight", "total_x", "total_z", "xxz_chain", "xxz_ring",
           "xxz_square", "z_diagonal"]

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




@overload
def ising_chain(num_qubits: int, j: float = ..., h: float = ..., *,
                parts: Literal[False] = ...) -> PauliSum: ...
@overload
def ising_chain(num_qubits: int, j: float = ..., h: float = ..., *,
                parts: Literal[True]) -> dict[str, PauliSum]: ...
def ising_chain(num_qubits: int, j: float = 1.0, h: float = 1.0, *,
                parts: bool = False) -> PauliSum | dict[str, PauliSum]:
    """The open transverse-field Ising chain -J sum Z_q Z_{q+1} - h sum X_q.

    2n - 1 terms: the bonds first (q = 0 .. n - 2), then the fields (q = 0 ..
    n - 1); one qubit has the field alone. `num_qubits` must be at least 1,
    `j` and `h` finite reals. With ``parts=True`` the bonds and the fields
    come apart, ``{"zz": -J sum Z Z, "x": -h sum X}``, whose concatenation is
    the sum, term for term (for `velmora.TimeDependentSum` parts).

    Parameters
    ----------
    num_qubits : int
        The number of sites n >= 1; site q is qubit q.
    j : float, optional
        The coupling J of each bond Z_q Z_{q+1} (default 1.0).
    h : float, optional
        The transverse field h on each site (default 1.0).
    parts : bool, optional
        Return the parts as a dict instead of their sum (default False).

    Returns
    -------
    PauliSum or dict of str to PauliSum
        2n - 1 terms with coefficients -J and -h, or the parts "zz" (n - 1
        terms) and "x" (n terms).

    Raises
    ------
    TypeError
        When `num_qubits` is not an int, `j` or `h` is not a real number, or
        `parts` is not a bool.
    ValueError
        When `num_qubits` < 1, or `j` or `h` is not finite.

    Examples
    --------
    >>> from velmora.models import ising_chain
    >>> ising_chain(3, j=1.0, h=0.5).terms
    [('IZZ', (-1+0j)), ('ZZI', (-1+0j)), ('IIX', (-0.5+0j)), ('IXI', (-0.5+0j)),
     ('XII', (-0.5+0j))]
    >>> parts = ising_chain(3, parts=True)
    >>> sorted(parts), len(parts["zz"]), len(parts["x"])
    (['x', 'zz'], 2, 3)
    """
    n = _count("num_qubits", num_qubits, 1)
    j, h = real_number("j", j), real_number("h", h)
    bonds = [(pauli_label(n, {q: "Z", q + 1: "Z"}), -j) for q in range(n - 1)]
    return _parts_or_sum({"zz": bonds, "x": [(pauli_label(n, {q: "X"}), -h) for q in range(n)]},
                         parts)


@overload
def xxz_chain(num_qubits: int, delta: float = ..., *, periodic: bool = ...,
              parts: Literal[False] = ...) -> PauliSum: ...
@overload
def xxz_chain(num_qubits: int, delta: float = ..., *, periodic: bool = ...,
              parts: Literal[True]) -> dict[str, PauliSum]: ...
def xxz_chain(num_qubits: int, delta: float = 0.5, *, periodic: bool = False,
              parts: bool = False) -> PauliSum | dict[str, PauliSum]:
    """The XXZ chain: sum over the bonds (q, r) of X_q X_r + Y_q Y_r + delta Z_q Z_r.

    The bonds are (q, q + 1) for q = 0 .. n - 2, and with ``periodic=True``
    also (n - 1, 0), which closes the ring. Each bond gives its XX, YY and ZZ
    terms in that order, bond by bond. On two qubits the ring's closing bond
    would be (0, 1) again: it is not added, so the ring of two qubits is the
    single bond, the same operator as the open chain. With ``parts=True`` the
    hopping and the anisotropy come apart, ``{"xy": sum (XX + YY), "zz":
    delta sum ZZ}`` (each bond by bond), whose sum is the chain with its
    terms in another order (for `velmora.TimeDependentSum` parts).

    Parameters
    ----------
    num_qubits : int
        The number of sites n >= 2; site q is qubit q.
    delta : float, optional
        The anisotropy, the coefficient of each ZZ term (default 0.5).
    periodic : bool, optional
        Close the chain into a ring (default False).
    parts : bool, optional
        Return the parts as a dict instead of their sum (default False).

    Returns
    -------
    PauliSum or dict of str to PauliSum
        3 (n - 1) terms for the open chain, 3n for the ring of n >= 3 sites;
        or the parts "xy" (two thirds of them) and "zz" (one third).

    Raises
    ------
    TypeError
        When `num_qubits` is not an int, `delta` not a real number, or
        `parts` not a bool.
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
    >>> parts = xxz_chain(3, 0.5, parts=True)
    >>> parts["zz"].terms
    [('IZZ', (0.5+0j)), ('ZZI', (0.5+0j))]
    >>> difference = parts["xy"] + parts["zz"] - xxz_chain(3, 0.5)
    >>> difference.simplify().terms                 # the same operator
    [('III', 0j)]
    """
    n = _count("num_qubits", num_qubits, 2, " (a chain needs one bond)")
    delta = real_number("delta", delta)
    bonds = [(q, q + 1) for q in range(n - 1)]
    if periodic and n > 2:
        bonds.append((n - 1, 0))
    if not isinstance(parts, (bool, np.bool_)):
        raise TypeError(f"parts must be True or False, got {parts!r}")
    if parts:
        return {"xy": PauliSum(_exchange(n, bonds, "XY", 1.0)),
                "zz": PauliSum(_exchange(n, bonds, "Z", delta))}
    terms = []
    for q, r in bonds:
        terms += [(pauli_label(n, {q: "X", r: "X"}), 1.0),
                  (pauli_label(n, {q: "Y", r: "Y"}), 1.0),
                  (pauli_label(n, {q: "Z", r: "Z"}), delta)]
    return PauliSum(terms)


@overload
def xxz_ring(num_qubits: int, delta: float = ..., *,
             parts: Literal[False] = ...) -> PauliSum: ...
@overload
def xxz_ring(num_qubits: int, delta: float = ..., *,
             parts: Literal[True]) -> dict[str, PauliSum]: ...
def xxz_ring(num_qubits: int, delta: float = 0.5, *,
             parts: bool = False) -> PauliSum | dict[str, PauliSum]:
    """The periodic XXZ ring sum X_q X_{q+1} + Y_q Y_{q+1} + delta Z_q Z_{q+1}.

    3n terms, site by site: ``xxz_chain(num_qubits, delta, periodic=True,
    parts=parts)`` (with ``parts=True`` the dict ``{"xy": ..., "zz": ...}``).
    `num_qubits` must be at least 2; the ring of two sites has the one bond
    (0, 1), counted once (3 terms).

    Parameters
    ----------
    num_qubits : int
        The number of sites n >= 2; site q is qubit q, next to q + 1 mod n.
    delta : float, optional
        The anisotropy, the coefficient of each ZZ term (default 0.5).
    parts : bool, optional
        Return the parts "xy" and "zz" as a dict instead of their sum
        (default False).

    Returns
    -------
    PauliSum or dict of str to PauliSum
        3n terms for n >= 3 (the bond (n - 1, 0) last), 3 for n = 2; or the
        parts.

    Raises
    ------
    TypeError
        When `num_qubits` is not an int, `delta` not a real number, or
        `parts` not a bool.
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
    return xxz_chain(num_qubits, delta, periodic=True, parts=parts)


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


# -- square lattices -------------------------------------------------------------------


def _square_shape(shape: object) -> tuple[int, int]:
    if isinstance(shape, (str, bytes)) or not isinstance(shape, (Sequence, np.ndarray)) \
            or len(shape) != 2:
        raise TypeError(f"shape must be a pair (L_x, L_y) of ints, got {shape!r}")
    lx = _count("shape[0]", shape[0], 2)
    ly = _count("shape[1]", shape[1], 2)
    if lx * ly > 63:
        raise ValueError(f"shape {(lx, ly)} has {lx * ly} sites; the sums act on at most 63 "
                         "qubits here")
    return lx, ly


def square_bonds(shape: Sequence[int], *, neighbours: int = 1,
                 periodic: bool = True) -> list[tuple[int, int]]:
    """The bonds (q, r) of an L_x x L_y square lattice, as pairs of qubits.

    Site (x, y) is qubit x + L_x y, the numbering of `velmora.Sector.lattice`.
    ``neighbours=1`` gives the nearest neighbours, (x, y)-(x + 1, y) then
    (x, y)-(x, y + 1) for each site in qubit order; ``neighbours=2`` the
    next-nearest, (x, y)-(x + 1, y + 1) then (x, y)-(x - 1, y + 1). On the
    torus (``periodic=True``) the coordinates wrap around; each pair of
    qubits appears once even where two bonds of the torus join it (a side of
    2 sites), as in `heisenberg_chain`'s ring of two sites.

    Parameters
    ----------
    shape : sequence of int
        (L_x, L_y), each at least 2, at most 63 sites.
    neighbours : {1, 2}, optional
        Nearest (default) or next-nearest neighbours.
    periodic : bool, optional
        Wrap around both axes (default True); open edges otherwise.

    Returns
    -------
    list of (int, int)
        The bonds (q, r) in the order above, q the site they start from.

    Raises
    ------
    TypeError
        When `shape` is not a pair of ints.
    ValueError
        When a side is below 2, the lattice has more than 63 sites, or
        `neighbours` is not 1 or 2.

    Examples
    --------
    >>> from velmora.models import square_bonds
    >>> square_bonds((2, 2), periodic=False)
    [(0, 1), (0, 2), (1, 3), (2, 3)]
    >>> len(square_bonds((4, 4))), len(square_bonds((4, 4), neighbours=2))
    (32, 32)
    """
    lx, ly = _square_shape(shape)
    if neighbours not in (1, 2) or isinstance(neighbours, bool):
        raise ValueError(f"neighbours must be 1 or 2, got {neighbours!r}")
    steps = [(1, 0), (0, 1)] if neighbours == 1 else [(1, 1), (-1, 1)]
    bonds: list[tuple[int, int]] = []
    seen: set[tuple[int, int]] = set()
    for y in range(ly):
        for x in range(lx):
            for dx, dy in steps:
                tx, ty = x + dx, y + dy
                if not periodic and not (0 <= tx < lx and 0 <= ty < ly):
                    continue
                q, r = x + lx * y, tx % lx + lx * (ty % ly)
                key = (min(q, r), max(q, r))
                if q == r or key in seen:
                    continue
                seen.add(key)
                bonds.append((q, r))
    return bonds


def _exchange(n: int, bonds: Iterable[tuple[int, int]], letters: str,
              coupling: float) -> list[tuple[str, float]]:
    return [(pauli_label(n, {q: letter, r: letter}), coupling)
            for q, r in bonds for letter in letters]


def _parts_or_sum(parts: dict[str, list[tuple[str, float]]],
                  want_parts: bool) -> PauliSum | dict[str, PauliSum]:
    if not isinstance(want_parts, (bool, np.bool_)):
        raise TypeError(f"parts must be True or False, got {want_parts!r}")
    if want_parts:
        return {name: PauliSum(terms) for name, terms in parts.items()}
    return PauliSum([term for terms in parts.values() for term in terms])


@overload
def xxz_square(shape: Sequence[int], delta: float = ..., *, j: float = ...,
               periodic: bool = ..., parts: Literal[False] = ...) -> PauliSum: ...
@overload
def xxz_square(shape: Sequence[int], delta: float = ..., *, j: float = ...,
               periodic: bool = ..., parts: Literal[True]) -> dict[str, PauliSum]: ...
def xxz_square(shape: Sequence[int], delta: float = 1.0, *, j: float = 1.0,
               periodic: bool = True, parts: bool = False) -> PauliSum | dict[str, PauliSum]:
    """The XXZ model on a square lattice: J sum over nearest neighbours of
    X_q X_r + Y_q Y_r + delta Z_q Z_r.

    The bonds of `square_bonds` (site (x, y) is qubit x + L_x y), each with
    its XX and YY terms; then the ZZ terms bond by bond. With
    ``parts=True`` the two natural parts come apart, ``{"xy": J sum (XX +
    YY), "zz": J delta sum ZZ}``, whose concatenation is the sum (for
    `velmora.TimeDependentSum` parts).

    Parameters
    ----------
    shape : sequence of int
        (L_x, L_y), each at least 2, at most 63 sites.
    delta : float, optional
        The anisotropy (default 1.0, the Heisenberg model).
    j : float, optional
        The exchange J (default 1.0).
    periodic : bool, optional
        The torus (default) or open edges.
    parts : bool, optional
        Return the parts as a dict instead of their sum (default False).

    Returns
    -------
    PauliSum or dict of str to PauliSum
        The sum, or its parts "xy" and "zz".

    Raises
    ------
    TypeError
        When `shape` is not a pair of ints, `delta` or `j` is not a real
        number, or `parts` is not a bool.
    ValueError
        When a side is below 2, the lattice has more than 63 sites, or
        `delta` or `j` is not finite.

    Examples
    --------
    >>> from velmora.models import xxz_square
    >>> H = xxz_square((3, 3), delta=0.5)
    >>> len(H), H.num_qubits                      # 18 bonds, 3 words each
    (54, 9)
    >>> parts = xxz_square((3, 3), delta=0.5, parts=True)
    >>> sorted(parts), parts["xy"] + parts["zz"] == H
    (['xy', 'zz'], True)
    """
    lx, ly = _square_shape(shape)
    delta, j = real_number("delta", delta), real_number("j", j)
    n = lx * ly
    bonds = square_bonds((lx, ly), periodic=periodic)
    return _parts_or_sum({"xy": _exchange(n, bonds, "XY", j),
                          "zz": _exchange(n, bonds, "Z", j * delta)}, parts)


def heisenberg_square(shape: Sequence[int], *, j: float = 1.0,
                      periodic: bool = True) -> PauliSum:
    """The Heisenberg model on a square lattice: J sum over nearest neighbours
    of X_q X_r + Y_q Y_r + Z_q Z_r.

    ``xxz_square(shape, 1.0, j=j, periodic=periodic)``; site (x, y) is qubit
    x + L_x y.

    Parameters
    ----------
    shape : sequence of int
        (L_x, L_y), each at least 2, at most 63 sites.
    j : float, optional
        The exchange J (default 1.0).
    periodic : bool, optional
        The torus (default) or open edges.

    Returns
    -------
    PauliSum
        3 terms per bond.

    Raises
    ------
    TypeError
        When `shape` is not a pair of ints or `j` is not a real number.
    ValueError
        When a side is below 2, the lattice has more than 63 sites, or `j`
        is not finite.

    Examples
    --------
    >>> import numpy as np
    >>> from velmora.models import heisenberg_square
    >>> H = heisenberg_square((2, 2), periodic=False)     # a ring of four sites
    >>> round(float(np.linalg.eigvalsh(H.to_sparse().toarray())[0]), 10)
    -8.0
    """
    return xxz_square(shape, 1.0, j=j, periodic=periodic)


@overload
def j1j2_square(shape: Sequence[int], j2: float = ..., *, j1: float = ...,
                periodic: bool = ..., parts: Literal[False] = ...) -> PauliSum: ...
@overload
def j1j2_square(shape: Sequence[int], j2: float = ..., *, j1: float = ...,
                periodic: bool = ..., parts: Literal[True]) -> dict[str, PauliSum]: ...
def j1j2_square(shape: Sequence[int], j2: float = 0.5, *, j1: float = 1.0,
                periodic: bool = True, parts: bool = False) -> PauliSum | dict[str, PauliSum]:
    """The J1-J2 Heisenberg model on a square lattice: J1 over nearest and J2
    over next-nearest (diagonal) neighbours of X_q X_r + Y_q Y_r + Z_q Z_r.

    The bonds of `square_bonds` with ``neighbours=1`` (J1) and then 2 (J2);
    site (x, y) is qubit x + L_x y. With ``parts=True``, ``{"j1": ...,
    "j2": ...}`` with their couplings, whose concatenation is the sum.

    Parameters
    ----------
    shape : sequence of int
        (L_x, L_y), each at least 2, at most 63 sites.
    j2 : float, optional
        The diagonal coupling J2 (default 0.5, the most frustrated point).
    j1 : float, optional
        The nearest-neighbour coupling J1 (default 1.0).
    periodic : bool, optional
        The torus (default) or open edges.
    parts : bool, optional
        Return the parts as a dict instead of their sum (default False).

    Returns
    -------
    PauliSum or dict of str to PauliSum
        The sum, or its parts "j1" and "j2".

    Raises
    ------
    TypeError
        When `shape` is not a pair of ints, `j1` or `j2` is not a real
        number, or `parts` is not a bool.
    ValueError
        When a side is below 2, the lattice has more than 63 sites, or a
        coupling is not finite.

    Examples
    --------
    >>> from velmora.models import j1j2_square
    >>> H = j1j2_square((4, 4), 0.5)
    >>> len(H), len(j1j2_square((4, 4), parts=True)["j2"])  # 32 + 32 bonds, 3 words
    (192, 96)
    """
    lx, ly = _square_shape(shape)
    j1, j2 = real_number("j1", j1), real_number("j2", j2)
    n = lx * ly
    return _parts_or_sum(
        {"j1": _exchange(n, square_bonds((lx, ly), periodic=periodic), "XYZ", j1),
         "j2": _exchange(n, square_bonds((lx, ly), neighbours=2, periodic=periodic), "XYZ",
                         j2)}, parts)


@overload
def ising_square(shape: Sequence[int], j: float = ..., h: float = ..., *,
                 periodic: bool = ..., parts: Literal[False] = ...) -> PauliSum: ...
@overload
def ising_square(shape: Sequence[int], j: float = ..., h: float = ..., *,
                 periodic: bool = ..., parts: Literal[True]) -> dict[str, PauliSum]: ...
def ising_square(shape: Sequence[int], j: float = 1.0, h: float = 1.0, *,
                 periodic: bool = True, parts: bool = False) -> PauliSum | dict[str, PauliSum]:
    """The transverse-field Ising model on a square lattice: -J sum over
    nearest neighbours of Z_q Z_r - h sum_q X_q.

    The bonds of `square_bonds` first, then the fields in qubit order (site
    (x, y) is qubit x + L_x y). With ``parts=True``, ``{"zz": ..., "x":
    ...}``, whose concatenation is the sum: a field ramp is
    ``TimeDependentSum([parts["zz"], (parts["x"], f)])``.

    Parameters
    ----------
    shape : sequence of int
        (L_x, L_y), each at least 2, at most 63 sites.
    j : float, optional
        The coupling J of each bond (default 1.0).
    h : float, optional
        The transverse field (default 1.0).
    periodic : bool, optional
        The torus (default) or open edges.
    parts : bool, optional
        Return the parts as a dict instead of their sum (default False).

    Returns
    -------
    PauliSum or dict of str to PauliSum
        The sum, or its parts "zz" and "x".

    Raises
    ------
    TypeError
        When `shape` is not a pair of ints, `j` or `h` is not a real number,
        or `parts` is not a bool.
    ValueError
        When a side is below 2, the lattice has more than 63 sites, or `j` or
        `h` is not finite.

    Examples
    --------
    >>> from velmora.models import ising_square
    >>> H = ising_square((3, 3), h=3.0)
    >>> len(H), H.terms[0], H.terms[-1]
    (27, ('IIIIIIIZZ', (-1+0j)), ('XIIIIIIII', (-3+0j)))
    """
    lx, ly = _square_shape(shape)
    j, h = real_number("j", j), real_number("h", h)
    n = lx * ly
    return _parts_or_sum(
        {"zz": _exchange(n, square_bonds((lx, ly), periodic=periodic), "Z", -j),
         "x": [(pauli_label(n, {q: "X"}), -h) for q in range(n)]}, parts)


# -- observables -------------------------------------------------------------------------


def _sites(num_qubits: object) -> int:
    return _count("num_qubits", num_qubits, 1)


def total_x(num_qubits: int) -> PauliSum:
    """sum_q X_q over n qubits, in qubit order.

    Parameters
    ----------
    num_qubits : int
        n >= 1.

    Returns
    -------
    PauliSum
        n terms with coefficient 1.

    Raises
    ------
    TypeError
        When `num_qubits` is not an int.
    ValueError
        When `num_qubits` < 1.

    Examples
    --------
    >>> from velmora.models import total_x
    >>> total_x(2).terms
    [('IX', (1+0j)), ('XI', (1+0j))]
    """
    n = _sites(num_qubits)
    return PauliSum([(pauli_label(n, {q: "X"}), 1.0) for q in range(n)])


def total_z(num_qubits: int) -> PauliSum:
    """sum_q Z_q over n qubits, in qubit order: n minus twice the weight.

    Parameters
    ----------
    num_qubits : int
        n >= 1.

    Returns
    -------
    PauliSum
        n terms with coefficient 1.

    Raises
    ------
    TypeError
        When `num_qubits` is not an int.
    ValueError
        When `num_qubits` < 1.

    Examples
    --------
    >>> from velmora.models import total_z
    >>> total_z(3).expectation([0, 0, 0, 1, 0, 0, 0, 0])      # |011>: two qubits in 1
    -1.0
    """
    n = _sites(num_qubits)
    return PauliSum([(pauli_label(n, {q: "Z"}), 1.0) for q in range(n)])


def staggered_z(sites: int | Sequence[int]) -> PauliSum:
    """The staggered magnetisation sum_q (-1)^q Z_q of a chain, or
    sum (-1)^(x + y) Z_(x, y) of a lattice.

    For an int n, the chain of n qubits (qubit q has sign (-1)^q); for a
    shape (L_x, L_y, ...), site (x, y, ...) is qubit x + L_x y + ..., as in
    `velmora.Sector.lattice`, with sign (-1)^(x + y + ...). Its square, the
    order parameter of a Néel state, is ``staggered_z(...) ** 2``.

    Parameters
    ----------
    sites : int or sequence of int
        n >= 1, or a lattice shape (each side >= 1, at most 63 sites).

    Returns
    -------
    PauliSum
        One term per qubit, coefficients +1 and -1.

    Raises
    ------
    TypeError
        When `sites` is neither an int nor a sequence of ints.
    ValueError
        When a size is below 1 or a shape has more than 63 sites.

    Examples
    --------
    >>> from velmora.models import staggered_z
    >>> staggered_z(4).expectation([0] * 5 + [1] + [0] * 10)     # Néel |0101>: -4
    -4.0
    >>> [c.real for _, c in staggered_z((2, 2)).terms]  # sites (0,0) (1,0) (0,1) (1,1)
    [1.0, -1.0, -1.0, 1.0]
    """
    if isinstance(sites, numbers.Integral) and not isinstance(sites, (bool, np.bool_)):
        n = _sites(sites)
        return PauliSum([(pauli_label(n, {q: "Z"}), (-1.0) ** q) for q in range(n)])
    from velmora.sector import _shape, lattice_sites

    shape = _shape(sites)
    coords = lattice_sites(shape)
    n = len(coords)
    return PauliSum([(pauli_label(n, {q: "Z"}), (-1.0) ** int(coords[q].sum()))
                     for q in range(n)])


def total_spin_squared(num_qubits: int) -> PauliSum:
    """The total spin S^2 = (sum_q S_q)^2 of n spins 1/2, S_q = sigma_q / 2.

    S^2 = 3n/4 + (1/2) sum over pairs q < r of (X_q X_r + Y_q Y_r + Z_q Z_r);
    its eigenvalues are S(S + 1). The identity term first, then the pairs
    (q, r) in order, XX, YY, ZZ each.

    Parameters
    ----------
    num_qubits : int
        n >= 1.

    Returns
    -------
    PauliSum
        1 + 3 n (n - 1) / 2 terms.

    Raises
    ------
    TypeError
        When `num_qubits` is not an int.
    ValueError
        When `num_qubits` < 1.

    Examples
    --------
    >>> import numpy as np
    >>> from velmora.models import total_spin_squared
    >>> singlet = np.array([0, 1, -1, 0]) / np.sqrt(2)
    >>> S2 = total_spin_squared(2)
    >>> round(S2.expectation(singlet), 12), S2.expectation([1, 0, 0, 0])
    (0.0, 2.0)
    """
    n = _sites(num_qubits)
    terms: list[tuple[str, float]] = [("I" * n, 0.75 * n)]
    for q in range(n):
        for r in range(q + 1, n):
            terms += [(pauli_label(n, {q: a, r: a}), 0.5) for a in "XYZ"]
    return PauliSum(terms)


def total_weight(num_qubits: int) -> PauliSum:
    """The number of qubits in state 1, sum_q (1 - Z_q) / 2 (a Sector's weight).

    Parameters
    ----------
    num_qubits : int
        n >= 1.

    Returns
    -------
    PauliSum
        The identity with n / 2, then -Z_q / 2 for each qubit.

    Raises
    ------
    TypeError
        When `num_qubits` is not an int.
    ValueError
        When `num_qubits` < 1.

    Examples
    --------
    >>> from velmora.models import total_weight
    >>> total_weight(3).expectation([0, 0, 0, 0, 0, 0, 1, 0])     # |110>
    2.0
    """
    n = _sites(num_qubits)
    return PauliSum([("I" * n, 0.5 * n)] + [(pauli_label(n, {q: "Z"}), -0.5) for q in range(n)])
