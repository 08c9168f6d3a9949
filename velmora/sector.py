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
basis vector of an orbit with smallest index r is

    |r~> = |orbit(r)|^(-1/2) * sum over distinct s = g r of conj(chi(g)) |s>,

so that g |r~> = chi(g) |r~>. Orbits on whose stabiliser chi is not 1 have no
such vector and are not in the sector.
"""

from __future__ import annotations

import numbers
from collections.abc import Sequence
from typing import Any, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from velmora import _native
from velmora._checks import check_memory
from velmora._threads import resolve_num_threads
from velmora.pauli_sum import PauliSum, amplitude_array

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


def _label_bits(x: object, num_qubits: int) -> int:
    """A basis index from an int or a bitstring label (last character = qubit 0)."""
    if isinstance(x, str):
        if len(x) != num_qubits or set(x) - {"0", "1"}:
            raise ValueError(f"x must be an index or a string of {num_qubits} characters 0/1 "
                             f"(the last one qubit 0), got {x!r}")
        return int(x, 2)
    return _integer("x", x, 0, (1 << num_qubits) - 1)


class Sector:
    """The states of `num_qubits` qubits with fixed weight and symmetry eigenvalues.

    Parameters
    ----------
    num_qubits : int
        The number of qubits n, 1..63.
    weight : int, optional
        The number of qubits in state 1 (0..n); any when None.
    symmetries : sequence of (permutation, k)
        Each permutation (n distinct ints; qubit q goes to permutation[q])
        with the index k (0 <= k < its order) of its eigenvalue
        exp(2 pi i k / order).
    spin_flip : {+1, -1}, optional
        The eigenvalue of the product of X over all qubits. With `weight`,
        only at half filling (n even, weight = n / 2).
    num_threads : int, optional
        Threads of the enumeration (None: the default of `evolve`); the basis
        is the same for every value.
    progress : bool
        Show a progress bar (tqdm) while the basis is enumerated.

    The basis is enumerated once, over the C(n, weight) (or 2^n) basis
    indices: each orbit is kept as its smallest index, with its size. Long
    enumerations can be interrupted with Ctrl-C.

    Raises
    ------
    TypeError, ValueError
        For arguments of the wrong type or range, permutations that are not
        permutations, eigenvalues no state has together (a reflection and a
        momentum other than 0 and n/2), `spin_flip` with `weight` away from
        half filling, and groups of more than 65536 elements.

    Examples
    --------
    >>> from velmora import Sector
    >>> sector = Sector.chain(8, weight=4, momentum=0, parity=1, spin_flip=1)
    >>> len(sector), sector.group_order
    (7, 32)
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
        `spin_flip` (+1 or -1) as in `Sector`. Any may be None.

        >>> len(Sector.chain(12, weight=6, momentum=0))
        80
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
        return self._num_qubits

    @property
    def weight(self) -> int | None:
        return self._weight

    @property
    def symmetries(self) -> tuple[tuple[tuple[int, ...], int], ...]:
        """The (permutation, k) pairs, as given."""
        return self._symmetries

    @property
    def spin_flip(self) -> int | None:
        return self._spin_flip

    @property
    def group_order(self) -> int:
        """The number of elements of the group the symmetries generate."""
        return int(self._basis.group_order)

    @property
    def states(self) -> NDArray[np.uint64]:
        """The smallest basis index of each basis vector's orbit, ascending (read-only)."""
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
            normalised projection of |x> onto the sector, up to the phase
            chi(g) of the element g that takes x to the orbit's smallest index.

        Raises
        ------
        ValueError
            When that projection is zero (x has another weight, or chi is not
            1 on its stabiliser), or x is out of range or not a label.

        Examples
        --------
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
        """The full 2^n vector (complex128, unit norm) of basis vector `index`
        (0 <= index < len(sector); ValueError otherwise)."""
        i = _integer("index", index, 0, len(self) - 1)
        phi = np.zeros(len(self), dtype=np.complex128)
        phi[i] = 1.0
        return self.embed(phi, num_threads=0)

    def embed(self, phi: ArrayLike, num_threads: int | None = None) -> NDArray[np.complex128]:
        """The full 2^n state sum_r phi[r] |r~> of a sector vector.

        `phi` holds len(sector) amplitudes (ValueError otherwise); the result
        is a new complex128 array with the same norm. MemoryError when 2^n
        amplitudes cannot fit.
        """
        return self._basis.embed(self._vector(phi, "phi", len(self)),
                                 resolve_num_threads(num_threads))

    def project(self, psi: ArrayLike, num_threads: int | None = None) -> NDArray[np.complex128]:
        """The components <r~|psi> of a full 2^n state.

        The adjoint of `embed`: `project(embed(phi))` is phi, and
        `embed(project(psi))` is psi's orthogonal projection onto the sector.
        `psi` holds 2^n amplitudes (ValueError otherwise).
        """
        return self._basis.project(self._vector(psi, "psi", 1 << self._num_qubits),
                                   resolve_num_threads(num_threads))

    def symmetrize(self, O: PauliSum) -> PauliSum:
        """The average of g O g^-1 over the group: the operator whose sector
        matrix equals that of O between sector states (for a Pauli sum O)."""
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
    `num_threads`. `evolve` and `trajectory` accept it in place of a PauliSum.
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
        return self._sector

    @property
    def pauli_sum(self) -> PauliSum:
        return self._sum

    @property
    def num_qubits(self) -> int:
        return self._sum.num_qubits

    @property
    def is_hermitian(self) -> bool:
        return self._sum.is_hermitian

    @property
    def image_bytes(self) -> int:
        """Bytes of the kept images (0 while products run matrix-free)."""
        return int(self._operator.image_bytes)

    def _state(self, phi: ArrayLike, name: str = "psi",
               rows: bool = False) -> NDArray[np.complex128]:
        return self._sector._vector(phi, name, len(self._sector), rows)

    def _prepare(self, budget: int, num_threads: int) -> None:
        """Keeps the images when allowed and they fit in half of `budget`."""
        if self._precompute is None and self._operator.image_bytes == 0:
            bound = int(self._operator.image_bytes_bound)
            if 0 < bound <= budget // 2:
                self._operator.keep_images(num_threads)

    def apply(self, phi: ArrayLike, num_threads: int | None = None) -> NDArray[np.complex128]:
        """H phi as a new sector vector of len(sector) amplitudes.

        Matrix-free unless the images are kept; the same bits either way and
        for every `num_threads` (None: as in `evolve`, 0: the calling thread).
        A 2-D phi of shape (k, len(sector)) holds k vectors, one per row (k may
        be 0): the result has the same shape, row r with the bits of
        ``apply(phi[r])``. ValueError for rows or a phi of another length;
        MemoryError when the result and a product's own copies cannot fit.
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
        """<phi|H|phi>, not normalised: a float when H is Hermitian, else
        complex; summed in fixed chunks (the same bits for every `num_threads`).
        For a 2-D phi of k vectors (one per row), an array of k float64
        (complex128 when H is not Hermitian), entry r with the bits of
        ``expectation(phi[r])`` (the annotation describes one vector)."""
        states = self._state(phi, "phi", rows=True)
        threads = resolve_num_threads(num_threads)
        if states.ndim == 1:
            value = self._operator.expectation(states, threads)
            return float(value.real) if self.is_hermitian else complex(value)
        values = np.array([self._operator.expectation(row, threads) for row in states],
                          dtype=np.complex128).reshape(len(states))
        rows = np.ascontiguousarray(values.real) if self.is_hermitian else values
        return cast("float | complex", rows)

    def to_sparse(self) -> Any:
        """The sector matrix as a `scipy.sparse.csr_array` of len x len
        (complex128; row = output index), for checks and eigensolvers such as
        `scipy.sparse.linalg.eigsh`. Built on the calling thread.

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


def observable_in(sector: Sector, O: PauliSum, num_threads: int) -> Any:
    """The compiled sector operator measuring <embed(phi)|O|embed(phi)>."""
    symmetric = sector.symmetrize(O)
    return SectorOperator(symmetric, sector, num_threads=num_threads,
                          _require_closed=False)._operator
