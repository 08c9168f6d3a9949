"""Symmetry sectors of spin-1/2 lattices: fixed weight, permutations, spin flip.

A `Sector` is the subspace of states with a fixed number of qubits in state 1
(the weight: magnetisation, particle number), a given eigenvalue under each of
a set of qubit permutations (translations, reflections of a chain or lattice)
and, optionally, under the flip of every qubit. `PauliSum.in_sector` restricts
a sum that commutes with those symmetries to it, as a `SectorOperator` that
`evolve` and `trajectory` accept with states in the sector's basis.

Conventions. A permutation `perm` moves qubit q to qubit perm[q]: the basis
state with bit q set goes to the one with bit perm[q] set. Given (perm, k), the
sector's states have eigenvalue chi(perm) = exp(2 pi i k / order) under it,
order the permutation's order; `spin_flip` is the eigenvalue of the product of
X over all qubits. On the group G these generate, chi is a character, and the
basis vector of an orbit with smallest index r is::

    |r~> = |orbit(r)|^(-1/2) * sum over distinct s = g r of conj(chi(g)) |s>,

so that ``g |r~> = chi(g) |r~>``. Orbits on whose stabiliser chi is not 1 have no
such vector and are not in the sector.
"""

from __future__ import annotations

import cmath
import math
import numbers
from collections.abc import Sequence
from typing import Any, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from velmora import _native
from velmora._checks import check_memory
from velmora._threads import resolve_num_threads
from velmora.pauli_sum import PauliSum, amplitude_array, finite_expectations

__all__ = ["Sector", "SectorOperator"]


def _integer(name: str, value: object, low: int, high: int) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    number = int(value)
    if not low <= number <= high:
        raise ValueError(f"{name} must be in {low}..{high}, got {number}")
    return number


def _sign(name: str, value: object) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral) \
            or int(value) not in (1, -1):
        raise ValueError(f"{name} must be +1, -1 or None, got {value!r}")
    return int(value)


def _permutation(index: int, item: object, num_qubits: int) -> tuple[tuple[int, ...], int]:
    where = f"symmetries[{index}]"
    if not isinstance(item, (tuple, list)) or len(item) != 2:
        raise TypeError(f"{where} must be a (permutation, k) pair, got {item!r}")
    perm, k = item
    items = list(perm) if isinstance(perm, (Sequence, np.ndarray)) \
        and not isinstance(perm, (str, bytes)) else None
    if items is None or not all(isinstance(q, numbers.Integral)
                                and not isinstance(q, (bool, np.bool_)) for q in items):
        raise TypeError(f"{where}: the permutation must be a 1-D sequence of ints")
    entries = [int(q) for q in items]
    # Length and repeats are checked by the core, with the same wording; entries
    # outside 0..n-1 are refused here, before they are converted for it.
    for q, p in enumerate(entries):
        if not 0 <= p < num_qubits:
            raise ValueError(f"{where} is not a permutation of 0..{num_qubits - 1}: entry {q} "
                             f"is {p}, out of range")
    if isinstance(k, (bool, np.bool_)) or not isinstance(k, numbers.Integral):
        raise TypeError(f"{where}: k must be an int, got {type(k).__name__}")
    if int(k) < 0:
        raise ValueError(f"{where}: k must be >= 0, got {int(k)}")
    return tuple(entries), int(k)


def _shape(shape: object) -> tuple[int, ...]:
    """A lattice shape: a non-empty sequence of ints >= 1 whose product is 1..63."""
    if isinstance(shape, (str, bytes)) or not isinstance(shape, (Sequence, np.ndarray)):
        raise TypeError(f"shape must be a sequence of ints (the sites along each axis), got "
                        f"{type(shape).__name__}")
    sizes = tuple(_integer(f"shape[{d}]", length, 1, 63) for d, length in enumerate(shape))
    if not sizes:
        raise ValueError("shape must have at least one axis")
    sites = math.prod(sizes)
    if sites > 63:
        raise ValueError(f"shape {sizes} has {sites} sites; a sector holds at most 63 qubits")
    return sizes


def lattice_sites(shape: tuple[int, ...]) -> NDArray[np.int64]:
    """The coordinates of every site, one row per qubit: site q has
    coordinates (x_0, x_1, ...) with q = x_0 + L_0 (x_1 + L_1 (x_2 + ...))."""
    grids = np.meshgrid(*[np.arange(length) for length in shape], indexing="ij")
    coords = np.stack([grid.ravel(order="F") for grid in grids], axis=1)
    return coords.astype(np.int64)


def lattice_index(coords: NDArray[np.int64], shape: tuple[int, ...]) -> NDArray[np.int64]:
    """The qubit of each row of coordinates, taken modulo the shape (periodic)."""
    index = np.zeros(len(coords), dtype=np.int64)
    for d in reversed(range(len(shape))):
        index = index * shape[d] + coords[:, d] % shape[d]
    return index


#: The point-group operations `Sector.lattice` knows by name, as maps of the
#: coordinates (x for axis 0, y for axis 1, z for axis 2).
_AXES = "xyz"


def _named_operation(name: str, shape: tuple[int, ...], where: str) -> list[int]:
    coords = lattice_sites(shape)
    moved = coords.copy()
    if name.startswith("reflect_") and len(name) == 9 and name[8] in _AXES:
        axis = _AXES.index(name[8])
        if axis >= len(shape):
            raise ValueError(f"{where}: {name!r} needs a lattice of at least {axis + 1} axes, "
                             f"got shape {shape}")
        moved[:, axis] = shape[axis] - 1 - coords[:, axis]
    elif name in ("rotate", "transpose"):
        if len(shape) < 2 or shape[0] != shape[1]:
            raise ValueError(f"{where}: {name!r} maps the x axis onto the y axis and needs "
                             f"shape[0] == shape[1], got shape {shape}")
        if name == "transpose":  # (x, y) -> (y, x)
            moved[:, 0], moved[:, 1] = coords[:, 1], coords[:, 0]
        else:  # (x, y) -> (L - 1 - y, x), a quarter turn about the centre
            moved[:, 0], moved[:, 1] = shape[0] - 1 - coords[:, 1], coords[:, 0]
    else:
        raise ValueError(f"{where}: unknown operation {name!r}; the names are "
                         f"{', '.join(repr(f'reflect_{a}') for a in _AXES[:len(shape)])}, "
                         "'rotate' and 'transpose' (or give a permutation)")
    return [int(q) for q in lattice_index(moved, shape)]


def _permutation_order(perm: Sequence[int]) -> int:
    """The order of a permutation: the lcm of its cycle lengths."""
    seen = [False] * len(perm)
    order = 1
    for start in range(len(perm)):
        length = 0
        q = start
        while not seen[q]:
            seen[q] = True
            q = perm[q]
            length += 1
        if length:
            order = math.lcm(order, length)
    return order


def _root_index(where: str, eigenvalue: object, order: int) -> int:
    """k with eigenvalue = exp(2 pi i k / order), or ValueError."""
    if isinstance(eigenvalue, (bool, np.bool_, str, bytes)) \
            or not isinstance(eigenvalue, numbers.Number):
        raise TypeError(f"{where}: the eigenvalue must be a number (a root of unity such as "
                        f"+1, -1 or 1j), got {eigenvalue!r}")
    value = complex(eigenvalue)  # type: ignore[arg-type]
    k = int(round(order * cmath.phase(value) / (2 * math.pi))) % order
    if not abs(value - cmath.exp(2j * math.pi * k / order)) <= 1e-9:
        raise ValueError(f"{where}: the eigenvalue {eigenvalue!r} is not an eigenvalue of an "
                         f"operation of order {order} (one of exp(2 pi i k / {order}))")
    return k


def _label_bits(x: object, num_qubits: int) -> int:
    """A basis index from an int or a bitstring label (last character = qubit 0)."""
    if isinstance(x, str):
        if len(x) != num_qubits or set(x) - {"0", "1"}:
            raise ValueError(f"x must be an index or a string of {num_qubits} characters 0/1 "
                             f"(the last one qubit 0), got {x!r}")
        return int(x, 2)
    return _integer("x", x, 0, (1 << num_qubits) - 1)


class Sector:
    r"""The states of `num_qubits` qubits with fixed weight and symmetry eigenvalues.

    The basis is enumerated once, over the C(n, weight) (or 2^n) basis
    indices: each orbit is kept as its smallest index, with its size. Long
    enumerations can be interrupted with Ctrl-C. The object is immutable.
    `Sector.chain` builds the sectors of a ring from its momentum and parity;
    the conventions (how a permutation acts, the phases of the basis
    vectors) are in the Notes below.

    Parameters
    ----------
    num_qubits : int
        The number of qubits n, 1..63.
    weight : int, optional
        The number of qubits in state 1 (0..n); any when None.
    symmetries : sequence of (permutation, k) pairs, optional
        Each permutation (n distinct ints; qubit q goes to permutation[q])
        with the index k (0 <= k < its order) of its eigenvalue
        exp(2 pi i k / order); none by default.
    spin_flip : {+1, -1}, optional
        The eigenvalue of the product of X over all qubits. With `weight`,
        only at half filling (n even, weight = n / 2).
    num_threads : int, optional
        Threads of the enumeration (None: the default of `velmora.evolve`);
        the basis is the same for every value.
    progress : bool, optional
        Show a progress bar (tqdm) while the basis is enumerated (default
        False).

    Raises
    ------
    TypeError
        When `num_qubits`, `weight`, a permutation's entries or its k are not
        ints, `symmetries` is not a sequence of (permutation, k) pairs, or
        `num_threads` is not an int or None.
    ValueError
        For arguments out of range (`num_qubits` outside 1..63, `weight`
        outside 0..n, k outside 0..order - 1, `spin_flip` not +1 or -1,
        `num_threads` negative), permutations that are not permutations of
        0..n - 1, eigenvalues no state has together (a reflection and a
        momentum other than 0 and n/2), `spin_flip` with `weight` away from
        half filling, and groups of more than 65536 elements.
    MemoryError
        When the basis cannot fit in the memory this process may have
        (refused before the enumeration starts).
    KeyboardInterrupt
        On Ctrl-C during the enumeration.

    Notes
    -----
    A permutation `perm` moves qubit q to qubit perm[q]: the basis state with
    bit q set goes to the one with bit perm[q] set. Given (perm, k), the
    sector's states have eigenvalue :math:`\chi(\mathrm{perm}) = e^{2\pi i k /
    \mathrm{order}}` under it, order the permutation's order; `spin_flip` is
    the eigenvalue of the product of X over all qubits. On the group G these
    generate, :math:`\chi` is a character, and the basis vector of an orbit
    with smallest index r is

    .. math::

        |\tilde r\rangle = \lvert\mathrm{orbit}(r)\rvert^{-1/2}
            \sum_{\text{distinct } s = g r} \overline{\chi(g)}\, |s\rangle ,

    so that :math:`g|\tilde r\rangle = \chi(g)|\tilde r\rangle`. Orbits on
    whose stabiliser :math:`\chi` is not 1 have no such vector and are not in
    the sector.

    Examples
    --------
    >>> from velmora import Sector
    >>> sector = Sector.chain(8, weight=4, momentum=0, parity=1, spin_flip=1)
    >>> len(sector), sector.group_order
    (7, 32)
    >>> shift = [(q + 1) % 4 for q in range(4)]        # qubit q goes to q + 1
    >>> Sector(4, weight=2, symmetries=[(shift, 0)])    # momentum 0 of a 4-ring
    <Sector of 4 qubits, weight=2, 1 permutations: 2 states>
    """

    __slots__ = ("_num_qubits", "_weight", "_symmetries", "_spin_flip", "_basis", "_states")

    def __init__(self, num_qubits: int, *, weight: int | None = None,
                 symmetries: Sequence[tuple[Sequence[int], int]] = (),
                 spin_flip: int | None = None, num_threads: int | None = None,
                 progress: bool = False) -> None:
        n = _integer("num_qubits", num_qubits, 1, 63)
        w = None if weight is None else _integer("weight", weight, 0, n)
        if isinstance(symmetries, (str, bytes)) or not isinstance(symmetries, Sequence):
            raise TypeError("symmetries must be a sequence of (permutation, k) pairs")
        checked = tuple(_permutation(j, item, n) for j, item in enumerate(symmetries))
        flip = None if spin_flip is None else _sign("spin_flip", spin_flip)
        if flip is not None and w is not None and 2 * w != n:
            raise ValueError(f"spin_flip maps weight {w} to {n - w}: with a weight it needs half "
                             f"filling (n even, weight = n / 2), got n = {n}, weight = {w}")
        threads = resolve_num_threads(num_threads)
        bar = None
        report = None
        if progress:
            from tqdm.auto import tqdm

            bar = tqdm(total=1.0, bar_format="{l_bar}{bar}| basis [{elapsed}<{remaining}]")

            def report(fraction: float) -> None:
                bar.update(fraction - bar.n)
        try:
            basis = _native.SectorBasis(n, -1 if w is None else w, [list(p) for p, _ in checked],
                                        [k for _, k in checked], flip or 0, threads, report)
        finally:
            if bar is not None:
                bar.close()
        states = basis.states()
        states.flags.writeable = False
        init = object.__setattr__
        init(self, "_num_qubits", n)
        init(self, "_weight", w)
        init(self, "_symmetries", checked)
        init(self, "_spin_flip", flip)
        init(self, "_basis", basis)
        init(self, "_states", states)

    @classmethod
    def chain(cls, num_qubits: int, *, weight: int | None = None, momentum: int | None = None,
              parity: int | None = None, spin_flip: int | None = None,
              num_threads: int | None = None, progress: bool = False) -> Sector:
        """The sector of a ring of n sites, qubit q next to q + 1 mod n.

        `momentum` k (0..n-1) fixes the eigenvalue exp(2 pi i k / n) under the
        translation q -> q + 1 (crystal momentum 2 pi k / n); `parity` (+1 or
        -1) the eigenvalue under the reflection q -> n - 1 - q, which maps
        momentum k to -k and so combines with k = 0 and k = n/2 only;
        `spin_flip` (+1 or -1) as in `Sector`. Any may be None. The
        translation (with index k) and the reflection (index 0 for parity +1,
        1 for -1) become the sector's `symmetries`, in that order.

        Parameters
        ----------
        num_qubits : int
            The number of sites n, 1..63.
        weight : int, optional
            The number of qubits in state 1 (0..n); any when None.
        momentum : int, optional
            The momentum index k, 0..n - 1; no translation symmetry when None.
        parity : {+1, -1}, optional
            The eigenvalue under the reflection; none when None.
        spin_flip : {+1, -1}, optional
            The eigenvalue of the product of X over all qubits (with `weight`,
            only at half filling).
        num_threads : int, optional
            Threads of the enumeration, as in `Sector`.
        progress : bool, optional
            Show a progress bar (tqdm) while the basis is enumerated.

        Returns
        -------
        Sector
            The sector of the ring.

        Raises
        ------
        TypeError
            When `num_qubits`, `weight` or `momentum` is not an int, or
            `num_threads` is not an int or None.
        ValueError
            When `momentum` is outside 0..n - 1, `parity` or `spin_flip` is not
            +1 or -1, a parity is combined with a momentum other than 0 and
            n/2, or as in `Sector`.
        MemoryError
            As in `Sector`.
        KeyboardInterrupt
            On Ctrl-C during the enumeration.

        Examples
        --------
        >>> from velmora import Sector
        >>> len(Sector.chain(12, weight=6, momentum=0))
        80
        >>> Sector.chain(6, weight=3, momentum=0, parity=-1).symmetries
        (((1, 2, 3, 4, 5, 0), 0), ((5, 4, 3, 2, 1, 0), 1))
        """
        n = _integer("num_qubits", num_qubits, 1, 63)
        symmetries: list[tuple[list[int], int]] = []
        if momentum is not None:
            k = _integer("momentum", momentum, 0, n - 1)
            if parity is not None and (2 * k) % n != 0:
                raise ValueError(
                    f"momentum {k} cannot be combined with a parity on a ring of {n} sites: the "
                    f"reflection maps momentum k to -k, so only k = 0 and k = n/2 have a parity")
            symmetries.append(([(q + 1) % n for q in range(n)], k))
        if parity is not None:
            p = _sign("parity", parity)
            symmetries.append(([n - 1 - q for q in range(n)], 0 if p == 1 else 1))
        return cls(n, weight=weight, symmetries=symmetries, spin_flip=spin_flip,
                   num_threads=num_threads, progress=progress)

    @classmethod
    def lattice(cls, shape: Sequence[int], *, weight: int | None = None,
                momentum: Sequence[int | None] | None = None,
                point_group: Sequence[tuple[Sequence[int] | str, complex]] = (),
                spin_flip: int | None = None, num_threads: int | None = None,
                progress: bool = False) -> Sector:
        """The sector of a periodic lattice of shape (L_x, L_y, ...).

        Site (x, y, z) is qubit q = x + L_x (y + L_y z): x runs fastest, as in
        the lattice models of `velmora.models` (`heisenberg_square`, ...).
        `momentum` = (k_x, k_y, ...) fixes the eigenvalue exp(2 pi i k_d / L_d)
        under the translation by one site along each axis d (x -> x + 1 mod
        L_x; crystal momentum 2 pi k_d / L_d); an entry None leaves that axis
        free. `point_group` adds operations with their eigenvalues: a
        permutation of the sites (as in `Sector`) or one of the names
        ``"reflect_x"`` (x -> L_x - 1 - x), ``"reflect_y"``, ``"reflect_z"``,
        ``"transpose"`` ((x, y) -> (y, x)) and ``"rotate"`` ((x, y) ->
        (L - 1 - y, x), a quarter turn; the last two need L_x = L_y), each
        with an eigenvalue exp(2 pi i k / order) given as a number (+1, -1,
        1j, ...). The translations come first in `symmetries`, then the point
        group, in the order given. A reflection or rotation combines only
        with momenta it maps to themselves (0 and L/2 along a reflected
        axis); other combinations are refused.

        Parameters
        ----------
        shape : sequence of int
            The sites along each axis (each >= 1), at most 63 sites in all.
        weight : int, optional
            The number of qubits in state 1; any when None.
        momentum : sequence of int or None, optional
            One index k_d in 0..L_d - 1 (or None) per axis; no translations
            when None.
        point_group : sequence of (permutation or str, number) pairs, optional
            Further operations and their eigenvalues; none by default.
        spin_flip : {+1, -1}, optional
            The eigenvalue of the product of X over all qubits (with `weight`,
            only at half filling).
        num_threads : int, optional
            Threads of the enumeration, as in `Sector`.
        progress : bool, optional
            Show a progress bar (tqdm) while the basis is enumerated.

        Returns
        -------
        Sector
            The sector of the lattice.

        Raises
        ------
        TypeError
            When `shape` is not a sequence of ints, a momentum is not an int
            or None, an operation is neither a permutation nor a name, or an
            eigenvalue is not a number; or as in `Sector`.
        ValueError
            When the lattice has more than 63 sites, `momentum` does not have
            one entry per axis or an entry is out of range, a name is unknown
            or does not fit the shape, an eigenvalue is not a root of unity of
            its operation's order, or the symmetries have no common states
            (a reflection with a momentum it does not keep); or as in `Sector`.
        MemoryError
            As in `Sector`.
        KeyboardInterrupt
            On Ctrl-C during the enumeration.

        Examples
        --------
        >>> from velmora import Sector
        >>> group = [("reflect_x", 1), ("reflect_y", 1), ("transpose", 1)]
        >>> s = Sector.lattice((4, 4), weight=8, momentum=(0, 0), point_group=group,
        ...                    spin_flip=1)
        >>> len(s), s.group_order
        (107, 256)
        >>> Sector.lattice((3, 2), momentum=(1, None)).symmetries     # x -> x + 1 alone
        (((1, 2, 0, 4, 5, 3), 1),)
        """
        sizes = _shape(shape)
        n = math.prod(sizes)
        symmetries: list[tuple[list[int], int]] = []
        coords = lattice_sites(sizes)
        if momentum is not None:
            if isinstance(momentum, (str, bytes)) or not isinstance(momentum,
                                                                   (Sequence, np.ndarray)):
                raise TypeError(f"momentum must be a sequence of ints (k_x, k_y, ...) or None, "
                                f"got {type(momentum).__name__}")
            if len(momentum) != len(sizes):
                raise ValueError(f"momentum needs one entry per axis of shape {sizes}, got "
                                 f"{len(momentum)}")
            for d, k in enumerate(momentum):
                if k is None:
                    continue
                index = _integer(f"momentum[{d}]", k, 0, sizes[d] - 1)
                if sizes[d] == 1:
                    continue  # the translation along a single site is the identity
                moved = coords.copy()
                moved[:, d] += 1
                symmetries.append((lattice_index(moved, sizes).tolist(), index))
        if isinstance(point_group, (str, bytes)) or not isinstance(point_group, Sequence):
            raise TypeError("point_group must be a sequence of (permutation or name, "
                            "eigenvalue) pairs")
        for j, item in enumerate(point_group):
            where = f"point_group[{j}]"
            if not isinstance(item, (tuple, list)) or len(item) != 2:
                raise TypeError(f"{where} must be a (permutation or name, eigenvalue) pair, got "
                                f"{item!r}")
            operation, eigenvalue = item
            if isinstance(operation, str):
                perm = _named_operation(operation, sizes, where)
            else:
                perm = list(_permutation(j, (operation, 0), n)[0])
                if sorted(perm) != list(range(n)):
                    raise ValueError(f"{where} is not a permutation of 0..{n - 1}")
            symmetries.append((perm, _root_index(where, eigenvalue, _permutation_order(perm))))
        return cls(n, weight=weight, symmetries=symmetries, spin_flip=spin_flip,
                   num_threads=num_threads, progress=progress)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("Sector is immutable")

    def __len__(self) -> int:
        return len(self._basis)

    def __repr__(self) -> str:
        parts = [f"{self._num_qubits} qubits"]
        if self._weight is not None:
            parts.append(f"weight={self._weight}")
        if self._symmetries:
            parts.append(f"{len(self._symmetries)} permutations")
        if self._spin_flip is not None:
            parts.append(f"spin_flip={self._spin_flip:+d}")
        return f"<Sector of {', '.join(parts)}: {len(self)} states>"

    @property
    def num_qubits(self) -> int:
        """The number of qubits n.

        An int in 1..63; the full states have 2^n amplitudes.

        Examples
        --------
        >>> from velmora import Sector
        >>> Sector(6, weight=3).num_qubits
        6
        """
        return self._num_qubits

    @property
    def weight(self) -> int | None:
        """The number of qubits in state 1, or None when any weight is allowed.

        An int in 0..n, or None.

        Examples
        --------
        >>> from velmora import Sector
        >>> Sector(6, weight=3).weight, Sector(6, spin_flip=1).weight
        (3, None)
        """
        return self._weight

    @property
    def symmetries(self) -> tuple[tuple[tuple[int, ...], int], ...]:
        """The (permutation, k) pairs, as given.

        A tuple of pairs: each permutation as a tuple of n ints (qubit q goes
        to ``permutation[q]``) and its index k.

        Examples
        --------
        >>> from velmora import Sector
        >>> Sector.chain(4, momentum=1).symmetries
        (((1, 2, 3, 0), 1),)
        """
        return self._symmetries

    @property
    def spin_flip(self) -> int | None:
        """The eigenvalue (+1 or -1) under the flip of every qubit, or None.

        An int, or None when the sector has no spin-flip symmetry.

        Examples
        --------
        >>> from velmora import Sector
        >>> Sector(4, weight=2, spin_flip=-1).spin_flip, Sector(4, weight=2).spin_flip
        (-1, None)
        """
        return self._spin_flip

    @property
    def group_order(self) -> int:
        """The number of elements of the group the symmetries generate.

        An int >= 1 (1 without permutations and spin flip), at most 65536.

        Examples
        --------
        >>> from velmora import Sector
        >>> Sector.chain(6, momentum=0).group_order                     # translations
        6
        >>> Sector.chain(6, momentum=0, parity=1, spin_flip=1).group_order
        24
        """
        return int(self._basis.group_order)

    @property
    def states(self) -> NDArray[np.uint64]:
        """The smallest basis index of each basis vector's orbit, ascending (read-only).

        A uint64 array of ``len(sector)`` entries: entry r is the index of the
        representative of the orbit of basis vector r.

        Examples
        --------
        >>> from velmora import Sector
        >>> Sector(4, weight=2).states
        array([ 3,  5,  6,  9, 10, 12], dtype=uint64)
        >>> Sector.chain(6, weight=3, momentum=0).states
        array([ 7, 11, 13, 21], dtype=uint64)
        """
        return self._states

    def index(self, x: int | str) -> int:
        """The index of the basis vector whose orbit contains basis state `x`.

        Parameters
        ----------
        x : int or str
            A basis index 0 <= x < 2^n, or a label of n characters 0/1 with
            qubit 0 last.

        Returns
        -------
        int
            The position in `states` of x's orbit. Its basis vector is the
            normalised projection of ``|x>`` onto the sector, up to the phase
            chi(g) of the element g that takes x to the orbit's smallest index.

        Raises
        ------
        ValueError
            When that projection is zero (x has another weight, or chi is not
            1 on its stabiliser), or x is out of range or not a label.
        TypeError
            When x is neither an int nor a str.

        Examples
        --------
        >>> from velmora import Sector
        >>> s = Sector.chain(6, weight=3, momentum=0)
        >>> s.index("010101") == s.index("101010"), int(s.states[s.index("010101")])
        (True, 21)
        """
        bits = _label_bits(x, self._num_qubits)
        found = int(self._basis.locate(bits))
        if found < 0:
            raise ValueError(f"the basis state {bits:0{self._num_qubits}b} is not in the sector "
                             "(its projection onto the sector is zero)")
        return found

    def _vector(self, phi: ArrayLike, name: str, size: int,
                rows: bool = False) -> NDArray[np.complex128]:
        return amplitude_array(phi, size, name, f"the sector needs {size}", rows)

    def basis_state(self, index: int) -> NDArray[np.complex128]:
        """The full 2^n vector of basis vector `index`.

        ``embed`` of the sector vector with a 1 at `index`: the normalised sum
        over the orbit of ``states[index]``, with the phases conj(chi(g)).

        Parameters
        ----------
        index : int
            The position of the basis vector, 0 <= index < len(sector).

        Returns
        -------
        numpy.ndarray
            A new complex128 array of 2^n amplitudes with unit norm.

        Raises
        ------
        TypeError
            When `index` is not an int.
        ValueError
            When `index` is out of range.
        MemoryError
            When 2^n amplitudes cannot fit.

        Examples
        --------
        >>> import numpy as np
        >>> from velmora import Sector
        >>> s = Sector.chain(4, weight=1, momentum=2)   # one spin up, momentum pi
        >>> v = s.basis_state(0)                          # (|0001> - |0010> + ...) / 2
        >>> v.shape, v.real[[1, 2, 4, 8]]
        ((16,), array([ 0.5, -0.5,  0.5, -0.5]))
        """
        i = _integer("index", index, 0, len(self) - 1)
        phi = np.zeros(len(self), dtype=np.complex128)
        phi[i] = 1.0
        return self.embed(phi, num_threads=0)

    def embed(self, phi: ArrayLike, num_threads: int | None = None) -> NDArray[np.complex128]:
        """The full 2^n state ``sum_r phi[r] |r~>`` of a sector vector.

        `phi` holds len(sector) amplitudes (ValueError otherwise); the result
        is a new complex128 array with the same norm. MemoryError when 2^n
        amplitudes cannot fit. `project` is its adjoint.

        Parameters
        ----------
        phi : array_like
            A 1-D array of len(sector) amplitudes in the sector's basis.
        num_threads : int, optional
            Threads (None: as in `velmora.evolve`, 0: the calling thread).

        Returns
        -------
        numpy.ndarray
            2^n complex128 amplitudes, qubit 0 the least significant bit of
            the index.

        Raises
        ------
        ValueError
            When phi is not a 1-D array of len(sector) amplitudes, or
            `num_threads` is negative.
        TypeError
            When phi does not hold numbers, or `num_threads` is not an int or
            None.
        MemoryError
            When 2^n amplitudes cannot fit.

        Examples
        --------
        >>> import numpy as np
        >>> from velmora import Sector
        >>> s = Sector.chain(4, weight=2, momentum=0)
        >>> s.states
        array([3, 5], dtype=uint64)
        >>> np.round(s.embed([0, 1]).real, 4)          # (|0101> + |1010>) / sqrt(2)
        array([0.    , 0.    , 0.    , 0.    , 0.    , 0.7071, 0.    , 0.    ,
               0.    , 0.    , 0.7071, 0.    , 0.    , 0.    , 0.    , 0.    ])
        """
        return self._basis.embed(self._vector(phi, "phi", len(self)),
                                 resolve_num_threads(num_threads))

    def project(self, psi: ArrayLike, num_threads: int | None = None) -> NDArray[np.complex128]:
        """The components <r~|psi> of a full 2^n state.

        The adjoint of `embed`: ``project(embed(phi))`` is phi, and
        ``embed(project(psi))`` is psi's orthogonal projection onto the sector.
        `psi` holds 2^n amplitudes (ValueError otherwise).

        Parameters
        ----------
        psi : array_like
            A 1-D array of 2^n amplitudes.
        num_threads : int, optional
            Threads (None: as in `velmora.evolve`, 0: the calling thread).

        Returns
        -------
        numpy.ndarray
            len(sector) complex128 amplitudes in the sector's basis.

        Raises
        ------
        ValueError
            When psi is not a 1-D array of 2^n amplitudes, or `num_threads` is
            negative.
        TypeError
            When psi does not hold numbers, or `num_threads` is not an int or
            None.

        Examples
        --------
        >>> import numpy as np
        >>> from velmora import Sector
        >>> s = Sector.chain(4, weight=2, momentum=0)
        >>> psi = np.zeros(16); psi[5] = 1                  # |0101>
        >>> np.round(s.project(psi), 4)
        array([0.    +0.j, 0.7071+0.j])
        >>> np.round(s.project(s.embed([0.6, 0.8])), 12)
        array([0.6+0.j, 0.8+0.j])
        """
        return self._basis.project(self._vector(psi, "psi", 1 << self._num_qubits),
                                   resolve_num_threads(num_threads))

    def decompose(self, psi: ArrayLike, *,
                  num_threads: int | None = None) -> list[tuple[Sector, NDArray[np.complex128]]]:
        """psi's components in every sector of this sector's symmetries.

        The sectors have this sector's weight, permutations and spin flip,
        with every combination of eigenvalues: each index k of a permutation
        (0 .. order - 1) and each sign of the spin flip. Where no state has a
        combination because a later permutation does not commute with the
        earlier ones (a reflection with a momentum other than 0 and n/2), the
        sector of the earlier permutations alone takes its place (momentum k
        without the parity). Empty sectors are left out, and so are sectors
        where psi has no component. For a full state psi of this weight (any
        state, without a weight), the components add up to it:
        ``sum(s.embed(phi) for s, phi in parts)`` is psi, and the norms add
        up. Each sector evolves on its
        own, so ``<psi|exp(-iHt)|psi>`` is the sum of the sectors' ``<phi|
        exp(-iH_s t)|phi>``. Each sector is enumerated once (the cost of
        `Sector` times the number of combinations).

        Parameters
        ----------
        psi : array_like
            A full state of 2^n amplitudes.
        num_threads : int, optional
            Threads of the enumerations and projections (None: as in
            `velmora.evolve`).

        Returns
        -------
        list of (Sector, numpy.ndarray)
            The sectors, in the order of the eigenvalue indices (the first
            permutation's k slowest, the spin flip's +1 before -1), each with
            psi's components ``sector.project(psi)``.

        Raises
        ------
        ValueError
            When psi does not have 2^n amplitudes, or a part of psi of this
            weight lies in none of the sectors (symmetries whose group the
            rule above does not cover); decompose with fewer symmetries.
        TypeError
            When psi does not hold numbers, or `num_threads` is not an int or
            None.
        MemoryError
            As in `Sector`.

        Examples
        --------
        The Néel state of a ring of 8 sites is half in momentum 0 and half in
        momentum pi (the translation maps it onto the other Néel state):

        >>> import numpy as np
        >>> from velmora import Sector
        >>> psi = np.zeros(2**8); psi[int("01" * 4, 2)] = 1
        >>> parts = Sector.chain(8, weight=4, momentum=0, parity=1).decompose(psi)
        >>> [(s.symmetries[0][1], s.symmetries[1][1],
        ...   round(float(np.vdot(phi, phi).real), 12)) for s, phi in parts]
        [(0, 0, 0.5), (4, 1, 0.5)]
        >>> bool(np.allclose(sum(s.embed(phi) for s, phi in parts), psi))
        True
        """
        n = self.num_qubits
        state = self._vector(psi, "psi", 1 << n)
        threads = resolve_num_threads(num_threads)
        orders = [_permutation_order(perm) for perm, _ in self.symmetries]
        flips: list[int | None] = [1, -1] if self.spin_flip is not None else [None]

        def build(ks: tuple[int, ...], flip: int | None) -> Sector | None:
            try:
                return Sector(n, weight=self.weight,
                              symmetries=[(perm, int(k)) for (perm, _), k
                                          in zip(self.symmetries, ks)],
                              spin_flip=flip, num_threads=threads)
            except ValueError:
                return None  # no state has these eigenvalues together

        combinations = [(tuple(int(k) for k in ks), flip) for ks in np.ndindex(*orders)
                        for flip in flips]
        built = {combination: build(*combination) for combination in combinations}
        # Where every eigenvalue of the later permutations is refused with the
        # first m ones' (a momentum that a reflection does not keep), the
        # sector of the first m alone holds those states: the shortest such
        # prefix whose own prefix still has valid extensions.
        def dead(prefix: tuple[int, ...], flip: int | None) -> bool:
            return all(built[c] is None for c in combinations
                       if c[1] == flip and c[0][:len(prefix)] == prefix)

        parts: list[tuple[Sector, NDArray[np.complex128]]] = []
        found = 0.0
        taken: set[tuple[tuple[int, ...], int | None]] = set()
        for ks, flip in combinations:
            sector = built[(ks, flip)]
            if sector is None:
                m = next((m for m in range(1, len(ks) + 1)
                          if dead(ks[:m], flip) and not dead(ks[:m - 1], flip)), None)
                if m is None or (ks[:m], flip) in taken:
                    continue
                taken.add((ks[:m], flip))
                sector = build(ks[:m], flip) if m < len(ks) else None
                if sector is None:
                    continue
            if not len(sector):
                continue
            phi = sector.project(state, num_threads=threads)
            if phi.any():
                parts.append((sector, phi))
                found += float(np.vdot(phi, phi).real)
        if self.weight is None:
            total = float(np.vdot(state, state).real)
        else:
            indices = np.arange(1 << n, dtype=np.uint64)
            counts = np.zeros(1 << n, dtype=np.int64)
            for q in range(n):
                counts += ((indices >> np.uint64(q)) & np.uint64(1)).astype(np.int64)
            inside = state[counts == self.weight]
            total = float(np.vdot(inside, inside).real)
        if total - found > 1e-10 * total:
            raise ValueError(
                f"a part of psi (squared norm {total - found:.3g} of {total:.3g}) lies in none "
                "of the sectors of these symmetries, which do not commute in a way decompose "
                "covers; decompose with a sector of fewer symmetries (the translations alone)")
        return parts

    def symmetrize(self, O: PauliSum) -> PauliSum:
        """The average of g O g^-1 over the group.

        The operator whose sector matrix equals that of O between sector
        states (for a Pauli sum O): <a|O|b> = <a|sym(O)|b> for all sector
        states a and b, and sym(O) maps the sector into itself. This is how
        `velmora.trajectory` and `velmora.correlation` measure a PauliSum
        observable on a sector.

        Parameters
        ----------
        O : PauliSum
            An operator on the sector's `num_qubits` qubits.

        Returns
        -------
        PauliSum
            The average, with equal labels merged (`PauliSum.simplify`); O
            itself when the group has one element.

        Raises
        ------
        TypeError
            When O is not a `velmora.PauliSum`.
        ValueError
            When O acts on another number of qubits.

        Examples
        --------
        >>> from velmora import PauliSum, Sector
        >>> s = Sector.chain(3, momentum=0)
        >>> s.symmetrize(PauliSum([("IIZ", 1.0)])).terms     # Z on qubit 0, averaged
        [('IIZ', (0.3333333333333333+0j)), ('IZI', (0.3333333333333333+0j)),
         ('ZII', (0.3333333333333333+0j))]
        """
        if not isinstance(O, PauliSum):
            raise TypeError(f"O must be a velmora.PauliSum, got {type(O).__name__}")
        if O.num_qubits != self._num_qubits:
            raise ValueError(f"O acts on {O.num_qubits} qubits, but the sector has "
                             f"{self._num_qubits}")
        elements = self._basis.group_elements()
        if len(elements) == 1:
            return O
        n = self._num_qubits
        scale = 1.0 / len(elements)
        terms: list[tuple[str, complex]] = []
        for perm, flips in elements:
            for label, c in O.terms:
                letters = ["I"] * n
                odd = 0
                for q in range(n):
                    letter = label[n - 1 - q]
                    letters[n - 1 - perm[q]] = letter
                    odd ^= letter in "YZ"
                sign = -1.0 if flips and odd else 1.0
                terms.append(("".join(letters), c * sign * scale))
        return PauliSum(terms).simplify()


class SectorOperator:
    """A `PauliSum` restricted to a `Sector` (made by `PauliSum.in_sector`).

    Its vectors are sector vectors (`len(sector)` amplitudes in the basis of
    `sector.states`). The product is matrix-free: each output amplitude gathers
    the images of its basis state under the sum's words, mapped to their
    orbits' representatives; the images and their factors may be kept
    (`image_bytes`), with the same bytes either way and for every
    `num_threads`. `evolve`, `trajectory`, `eigsh`, `correlation` and
    `spectral_function` accept it in place of a PauliSum, and keep its images
    when they fit (`precompute`).
    The object is immutable; ``len(op)`` is the sector's dimension.

    Parameters
    ----------
    H : PauliSum
        The operator; it must map the sector into itself.
    sector : Sector
        The sector, on the qubits of H.
    precompute : bool, optional
        Keep every product's images: True now, False never, None (default)
        at the first call of `velmora.evolve`, `velmora.trajectory`,
        `velmora.eigsh`, `velmora.correlation` or `velmora.spectral_function`
        when they fit in half of the default memory budget (the images
        policy of the memory page). The results are the same bytes either
        way.
    num_threads : int, optional
        Threads of the checks and the diagonal (None: as in `velmora.evolve`).

    Raises
    ------
    TypeError
        When H is not a `velmora.PauliSum`, `sector` is not a `velmora.Sector`,
        `precompute` is not None or a bool, or `num_threads` is not an int or
        None.
    ValueError
        When H and the sector have different numbers of qubits, or H does not
        map the sector into itself (naming a term, as in
        `PauliSum.in_sector`), or `num_threads` is negative.
    MemoryError
        With ``precompute=True``, when the images cannot fit.

    Examples
    --------
    >>> import numpy as np
    >>> from velmora import Sector, SectorOperator
    >>> from velmora.models import heisenberg_chain
    >>> H = heisenberg_chain(8, periodic=True)
    >>> op = SectorOperator(H, Sector.chain(8, weight=4, momentum=0))  # H.in_sector
    >>> len(op), op.num_qubits
    (10, 8)
    >>> e_sector = np.linalg.eigvalsh(op.to_sparse().toarray())[0]
    >>> e_full = np.linalg.eigvalsh(H.to_sparse().toarray())[0]
    >>> round(float(e_sector), 6), bool(abs(e_sector - e_full) < 1e-10)
    (-14.604374, True)
    """

    __slots__ = ("_sum", "_sector", "_operator", "_precompute")

    def __init__(self, H: PauliSum, sector: Sector, *, precompute: bool | None = None,
                 num_threads: int | None = None, _require_closed: bool = True) -> None:
        if not isinstance(H, PauliSum):
            raise TypeError(f"H must be a velmora.PauliSum, got {type(H).__name__}")
        if not isinstance(sector, Sector):
            raise TypeError(f"sector must be a velmora.Sector, got {type(sector).__name__}")
        if H.num_qubits != sector.num_qubits:
            raise ValueError(f"H acts on {H.num_qubits} qubits, but the sector has "
                             f"{sector.num_qubits}")
        if precompute is not None and not isinstance(precompute, (bool, np.bool_)):
            raise TypeError(f"precompute must be None, True or False, got {precompute!r}")
        threads = resolve_num_threads(num_threads)
        init = object.__setattr__
        init(self, "_sum", H)
        init(self, "_sector", sector)
        init(self, "_operator", _native.SectorOperator(H._operator, sector._basis,
                                                       _require_closed, threads))
        init(self, "_precompute", None if precompute is None else bool(precompute))
        if precompute:
            self._operator.keep_images(threads)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("SectorOperator is immutable")

    def __len__(self) -> int:
        return len(self._sector)

    def __repr__(self) -> str:
        return f"<SectorOperator of {len(self._sum)} terms on {self._sector!r}>"

    @property
    def sector(self) -> Sector:
        """The sector the operator acts on.

        The `velmora.Sector` given, whose ``states`` list the basis of the
        sector vectors.

        Examples
        --------
        >>> from velmora import Sector
        >>> from velmora.models import heisenberg_chain
        >>> sector = Sector.chain(6, weight=3, momentum=0)
        >>> op = heisenberg_chain(6, periodic=True).in_sector(sector)
        >>> op.sector
        <Sector of 6 qubits, weight=3, 1 permutations: 4 states>
        """
        return self._sector

    @property
    def pauli_sum(self) -> PauliSum:
        """The PauliSum that was restricted to the sector.

        The `velmora.PauliSum` H, on the full register of `num_qubits` qubits.

        Examples
        --------
        >>> from velmora import Sector
        >>> from velmora.models import heisenberg_chain
        >>> sector = Sector.chain(6, weight=3, momentum=0)
        >>> op = heisenberg_chain(6, periodic=True).in_sector(sector)
        >>> len(op.pauli_sum), op.pauli_sum.num_qubits
        (18, 6)
        """
        return self._sum

    @property
    def num_qubits(self) -> int:
        """The number of qubits n of the full register.

        An int; the sector vectors have ``len(op)`` amplitudes, not 2^n.

        Examples
        --------
        >>> from velmora import Sector
        >>> from velmora.models import heisenberg_chain
        >>> sector = Sector.chain(6, weight=3, momentum=0)
        >>> op = heisenberg_chain(6, periodic=True).in_sector(sector)
        >>> op.num_qubits, len(op)
        (6, 4)
        """
        return self._sum.num_qubits

    @property
    def is_hermitian(self) -> bool:
        """True when every coefficient of the PauliSum is real.

        A bool, that of ``pauli_sum.is_hermitian``: `velmora.evolve` and
        `velmora.eigsh` need a Hermitian operator.

        Examples
        --------
        >>> from velmora import Sector
        >>> from velmora.models import heisenberg_chain
        >>> sector = Sector.chain(6, weight=3, momentum=0)
        >>> op = heisenberg_chain(6, periodic=True).in_sector(sector)
        >>> op.is_hermitian
        True
        """
        return self._sum.is_hermitian

    @property
    def image_bytes(self) -> int:
        """Bytes of the kept images (0 while products run matrix-free).

        An int >= 0; the images are kept by ``precompute=True``, or with
        ``precompute=None`` at the first call of a function that applies the
        operator repeatedly (`velmora.evolve`, `velmora.trajectory`,
        `velmora.eigsh`, `velmora.correlation`, `velmora.spectral_function`)
        when they fit in half of the default memory budget.

        Examples
        --------
        >>> from velmora import Sector
        >>> from velmora.models import heisenberg_chain
        >>> H, sector = heisenberg_chain(6, periodic=True), Sector.chain(6, weight=3)
        >>> H.in_sector(sector, precompute=False).image_bytes
        0
        >>> H.in_sector(sector, precompute=True).image_bytes > 0
        True
        >>> from velmora import eigsh
        >>> op = H.in_sector(sector)                  # kept by the first eigsh
        >>> _ = eigsh(op); op.image_bytes > 0
        True
        """
        return int(self._operator.image_bytes)

    def _state(self, phi: ArrayLike, name: str = "psi",
               rows: bool = False) -> NDArray[np.complex128]:
        return self._sector._vector(phi, name, len(self._sector), rows)


    def apply(self, phi: ArrayLike, num_threads: int | None = None) -> NDArray[np.complex128]:
        """H phi as a new sector vector of len(sector) amplitudes.

        Matrix-free unless the images are kept; the same bits either way and
        for every `num_threads` (None: as in `evolve`, 0: the calling thread).
        A 2-D phi of shape (k, len(sector)) holds k vectors, one per row (k may
        be 0): the result has the same shape, row r with the bits of
        ``apply(phi[r])``. ValueError for rows or a phi of another length;
        MemoryError when the result and a product's own copies cannot fit.

        Parameters
        ----------
        phi : array_like
            len(sector) amplitudes in the sector's basis, or a 2-D array of
            shape (k, len(sector)) holding k such vectors, one per row.
        num_threads : int, optional
            None (default) as in `velmora.evolve`, 0 the calling thread alone.

        Returns
        -------
        numpy.ndarray
            H phi, complex128, of the shape of phi.

        Raises
        ------
        ValueError
            When phi (or a row) does not have len(sector) amplitudes or phi
            has more than 2 dimensions, or `num_threads` is negative.
        TypeError
            When phi does not hold numbers, or `num_threads` is not an int or
            None.
        MemoryError
            When the result and a product's own copies cannot fit.

        Examples
        --------
        >>> import numpy as np
        >>> from velmora import Sector
        >>> from velmora.models import heisenberg_chain
        >>> sector = Sector.chain(6, weight=3, momentum=0)
        >>> op = heisenberg_chain(6, periodic=True).in_sector(sector)
        >>> np.round(op.apply([0, 1, 0, 0]).real, 6)
        array([ 2.      , -2.      ,  4.      ,  3.464102])
        >>> bool(np.allclose(op.apply([0, 1, 0, 0]), op.to_sparse() @ [0, 1, 0, 0]))
        True
        """
        states = self._state(phi, "phi", rows=True)
        threads = resolve_num_threads(num_threads)
        if states.ndim == 1:
            return self._operator.apply(states, threads)
        row_bytes = 16 * states.shape[1]
        check_memory(states.nbytes + 2 * row_bytes, "apply",
                     f"{len(states)} sector vectors of {row_bytes / 2**30:.2f} GiB and a "
                     "product's copies")
        out = np.empty_like(states)
        for r in range(len(states)):
            out[r] = self._operator.apply(states[r], threads)
        return out

    def expectation(self, phi: ArrayLike, num_threads: int | None = None) -> float | complex:
        """<phi|H|phi>, not normalised, of sector vectors.

        A float when H is Hermitian, else complex; summed in fixed chunks (the
        same bits for every `num_threads`). For a 2-D phi of k vectors (one
        per row), an array of k float64 (complex128 when H is not Hermitian),
        entry r with the bits of ``expectation(phi[r])`` (the annotation
        describes one vector).

        Parameters
        ----------
        phi : array_like
            len(sector) amplitudes in the sector's basis, or a 2-D array of
            shape (k, len(sector)) holding k such vectors, one per row.
        num_threads : int, optional
            None (default) as in `velmora.evolve`, 0 the calling thread alone.

        Returns
        -------
        float, complex or numpy.ndarray
            <phi|H|phi>; for a 2-D phi an array of k values.

        Raises
        ------
        ValueError
            When phi (or a row) does not have len(sector) amplitudes or phi
            has more than 2 dimensions, or `num_threads` is negative.
        TypeError
            When phi does not hold numbers, or `num_threads` is not an int or
            None.
        OverflowError
            When a value is beyond the double range although its state is
            finite.

        Examples
        --------
        >>> import numpy as np
        >>> from velmora import Sector
        >>> from velmora.models import heisenberg_chain
        >>> sector = Sector.chain(6, weight=3, momentum=0)
        >>> op = heisenberg_chain(6, periodic=True).in_sector(sector)
        >>> op.expectation([0, 1, 0, 0])
        -2.0
        >>> op.expectation(np.eye(4))                 # one value per row
        array([ 2., -2., -2., -6.])
        """
        states = self._state(phi, "phi", rows=True)
        threads = resolve_num_threads(num_threads)
        if states.ndim == 1:
            value = finite_expectations(self._operator.expectation(states, threads), states,
                                        "<phi|H|phi>")
            return float(value.real) if self.is_hermitian else complex(value)
        values = np.array([self._operator.expectation(row, threads) for row in states],
                          dtype=np.complex128).reshape(len(states))
        finite_expectations(values, states, "<phi|H|phi>")
        rows = np.ascontiguousarray(values.real) if self.is_hermitian else values
        return cast("float | complex", rows)

    def to_sparse(self) -> Any:
        """The sector matrix as a `scipy.sparse.csr_array`.

        Of len x len (complex128; row = output index), for checks and
        eigensolvers such as `scipy.sparse.linalg.eigsh`. Built on the calling
        thread.

        Returns
        -------
        scipy.sparse.csr_array
            Shape (len(sector), len(sector)), dtype complex128, with sorted
            indices; entry (r, c) is <r~|H|c~>.

        Raises
        ------
        ImportError
            When SciPy is not installed (it is an optional dependency).

        Examples
        --------
        >>> from velmora import Sector
        >>> from velmora.models import heisenberg_chain
        >>> op = heisenberg_chain(6, periodic=True).in_sector(Sector.chain(6, weight=3))
        >>> op.to_sparse().shape
        (20, 20)
        """
        import scipy.sparse

        rows, cols, values = self._operator.entries()
        size = len(self)
        matrix = scipy.sparse.coo_array((values, (rows.astype(np.int64), cols.astype(np.int64))),
                                        shape=(size, size)).tocsr()
        matrix.sum_duplicates()
        matrix.sort_indices()
        return matrix


def in_sector(H: PauliSum, sector: Sector, *, precompute: bool | None = None,
              num_threads: int | None = None) -> SectorOperator:
    """`H` restricted to `sector` (see `PauliSum.in_sector`)."""
    return SectorOperator(H, sector, precompute=precompute, num_threads=num_threads)


def keep_images(operators: Sequence[Any], room: int, num_threads: int) -> int:
    """The policy for kept images, the same for every function that applies a
    sector operator repeatedly (evolve, trajectory, eigsh, correlation,
    spectral_function; docs/concepts/memory.md): each operator in turn keeps
    its images when it may (a `SectorOperator` made with precompute=None, or a
    compiled observable of the call) and they fit in what is left of `room`
    after the images the operators before it hold. Returns the bytes of images
    the operators hold, counting each once.

    Keeping them costs about half of one product without them (the 20-site
    ring's symmetric sector: 4.3 ms against 8.5 ms), and every later product
    runs from them, so any call that applies an operator more than once gains
    from it, memory allowing."""
    held = 0
    seen: set[int] = set()
    for operator in operators:
        handle = operator._operator if isinstance(operator, SectorOperator) else operator
        if id(handle) in seen:
            continue
        seen.add(id(handle))
        allowed = not isinstance(operator, SectorOperator) or operator._precompute is None
        if allowed and handle.image_bytes == 0:
            bound = int(handle.image_bytes_bound)
            if 0 < bound <= room - held:
                handle.keep_images(num_threads)
        held += int(handle.image_bytes)
    return held


def observable_in(sector: Sector, O: PauliSum, num_threads: int) -> Any:
    """The compiled sector operator measuring <embed(phi)|O|embed(phi)>."""
    symmetric = sector.symmetrize(O)
    return SectorOperator(symmetric, sector, num_threads=num_threads,
                          _require_closed=False)._operator
