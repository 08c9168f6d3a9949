"""Hamiltonians that change in time: H(t) = sum_k f_k(t) P_k.

A `TimeDependentSum` is a list of parts, each a `PauliSum` that is constant or
scaled by a real function of time. `velmora.evolve` and `velmora.trajectory`
evolve under it with commutator-free quasi-Magnus integrators
(`velmora.quasi_magnus`).
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable, Iterable, Sequence
from typing import Any, Union

import numpy as np

from velmora._checks import real_number
from velmora.pauli_sum import PauliSum
from velmora.sector import Sector, SectorOperator

#: A part: a constant PauliSum, or (PauliSum, f) for f(t) * PauliSum.
Part = Union[PauliSum, tuple[PauliSum, Callable[[float], float]]]


def evaluate(index: int, f: Callable[[float], float], t: float) -> float:
    """f(t) as a float, or ValueError naming the part and the time when it
    is not a finite real number."""
    value = f(t)
    if isinstance(value, np.ndarray) and value.ndim == 0:
        value = value[()]
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise ValueError(f"part {index}: f({t!r}) returned {value!r} of type "
                         f"{type(value).__name__}; it must return a real float")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"part {index}: f({t!r}) = {number} is not finite")
    return number


class TimeDependentSum:
    """H(t) = sum_k f_k(t) P_k: a Hamiltonian whose parts are scaled by real functions of time.

    `terms` is a sequence whose items are a `PauliSum` (a constant part) or a
    pair ``(PauliSum, f)`` with f a callable taking a float time and returning
    a real float (the part is f(t) * P). Every part acts on the same number of
    qubits and is Hermitian (real coefficients); every f(t) must be real and
    finite, which is checked each time f is called (a ValueError naming the
    part and the time).

    `breakpoints` are times where some f is not smooth (pulse edges, kinks of
    a piecewise ramp): no integration step straddles one, so the integrator's
    order holds on each smooth piece.

    The object is immutable; it pickles when its callables do (functions
    defined at module level, `functools.partial` of them, ...).
    `velmora.evolve` and `velmora.trajectory` evolve states under it by
    commutator-free quasi-Magnus steps (`velmora.quasi_magnus`).

    Parameters
    ----------
    terms : iterable of PauliSum or tuple
        The parts, at least one: a `PauliSum` P (the constant part P) or a
        pair ``(P, f)`` (the part f(t) P). Every P is Hermitian and acts on
        the same number of qubits.
    breakpoints : iterable of float, optional
        Real, finite times where some f is not smooth; kept sorted, without
        repeats.

    Raises
    ------
    TypeError
        When `terms` is a single PauliSum or str or is not iterable, an item
        is neither a PauliSum nor a (PauliSum, f) pair, an f is not callable,
        `breakpoints` is a str, or a breakpoint is not a real number.
    ValueError
        When `terms` is empty, a part acts on another number of qubits than
        part 0 or has a complex coefficient, or a breakpoint is not finite.

    Examples
    --------
    >>> import math
    >>> from velmora import PauliSum, TimeDependentSum
    >>> H = TimeDependentSum([PauliSum([("ZZ", 1.0)]),
    ...                       (PauliSum([("XI", 1.0), ("IX", 1.0)]), math.cos)])
    >>> H.at(0.0).terms
    [('ZZ', (1+0j)), ('XI', (1+0j)), ('IX', (1+0j))]
    >>> H
    TimeDependentSum(2 parts on 2 qubits: constant, cos; 0 breakpoints)
    """

    __slots__ = ("_parts", "_num_qubits", "_breakpoints")

    _parts: tuple[tuple[PauliSum, Callable[[float], float] | None], ...]
    _num_qubits: int
    _breakpoints: tuple[float, ...]

    def __init__(self, terms: Iterable[Part], *, breakpoints: Iterable[float] | None = None) -> None:
        if isinstance(terms, (str, bytes, PauliSum)):
            raise TypeError("terms must be a sequence of PauliSums and (PauliSum, f) pairs, got "
                            f"a single {type(terms).__name__}")
        try:
            items = list(terms)
        except TypeError:
            raise TypeError("terms must be a sequence of PauliSums and (PauliSum, f) pairs, got "
                            f"{type(terms).__name__}") from None
        if not items:
            raise ValueError("terms is empty; a TimeDependentSum needs at least one part")
        parts: list[tuple[Any, Callable[[float], float] | None]] = []
        operators = (PauliSum, SectorOperator)
        for index, item in enumerate(items):
            if isinstance(item, operators):
                part, f = item, None
            elif isinstance(item, (tuple, list)) and len(item) == 2 and isinstance(item[0], operators):
                part, f = item
                if not callable(f):
                    raise TypeError(f"part {index}: f must be a callable f(t) -> float, got "
                                    f"{type(f).__name__}")
            else:
                raise TypeError(f"part {index}: expected a PauliSum or a (PauliSum, f) pair "
                                f"(or SectorOperators on one sector), got {item!r}")
            if parts and part.num_qubits != parts[0][0].num_qubits:
                raise ValueError(f"part {index} acts on {part.num_qubits} qubits, but part 0 "
                                 f"acts on {parts[0][0].num_qubits}")
            if parts and _sector_of(part) is not _sector_of(parts[0][0]):
                raise ValueError(f"part {index} is on another space than part 0: the parts are "
                                 "all PauliSums, or all SectorOperators on the same Sector")
            if not part.is_hermitian:
                whole = part.pauli_sum if isinstance(part, SectorOperator) else part
                term, (label, coeff) = next((k, t) for k, t in enumerate(whole.terms)
                                            if t[1].imag != 0)
                raise ValueError(f"part {index} is not Hermitian: term {term} ({label!r}, {coeff}) "
                                 "has a complex coefficient")
            parts.append((part, f))
        times: list[float] = []
        if breakpoints is not None:
            if isinstance(breakpoints, (str, bytes)):
                raise TypeError("breakpoints must be a sequence of real times")
            times = sorted({real_number(f"breakpoints[{k}]", b)
                            for k, b in enumerate(np.asarray(breakpoints, dtype=object).ravel())})
        init = object.__setattr__
        init(self, "_parts", tuple(parts))
        init(self, "_num_qubits", parts[0][0].num_qubits)
        init(self, "_breakpoints", tuple(times))

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("TimeDependentSum is immutable")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("TimeDependentSum is immutable")

    def __reduce__(self) -> tuple[Any, ...]:
        terms = [part if f is None else (part, f) for part, f in self._parts]
        return (_rebuild, (terms, list(self._breakpoints)))

    def __repr__(self) -> str:
        shown = ", ".join("constant" if f is None else getattr(f, "__name__", type(f).__name__)
                          for _, f in self._parts)
        return (f"TimeDependentSum({len(self._parts)} parts on {self._num_qubits} qubits: "
                f"{shown}; {len(self._breakpoints)} breakpoints)")

    @property
    def num_qubits(self) -> int:
        """The number of qubits every part acts on.

        An int n >= 1; states have 2^n amplitudes.

        Examples
        --------
        >>> from velmora import PauliSum, TimeDependentSum
        >>> TimeDependentSum([PauliSum([("ZZI", 1.0)])]).num_qubits
        3
        """
        return self._num_qubits

    @property
    def parts(self) -> list[tuple[PauliSum, Callable[[float], float] | None]]:
        """The parts as (PauliSum, f) pairs, f None for a constant part.

        A new list, in the order given.

        Examples
        --------
        >>> import math
        >>> from velmora import PauliSum, TimeDependentSum
        >>> H = TimeDependentSum([PauliSum([("ZZ", 1.0)]),
        ...                       (PauliSum([("XI", 1.0)]), math.sin)])
        >>> [(len(P), f) for P, f in H.parts]
        [(1, None), (1, <built-in function sin>)]
        """
        return list(self._parts)

    @property
    def breakpoints(self) -> tuple[float, ...]:
        """The times no step straddles, ascending.

        A tuple of floats, sorted and without repeats; empty when none were
        given.

        Examples
        --------
        >>> from velmora import PauliSum, TimeDependentSum
        >>> H = TimeDependentSum([PauliSum([("Z", 1.0)])], breakpoints=[2, 1.0, 2.0])
        >>> H.breakpoints
        (1.0, 2.0)
        """
        return self._breakpoints

    def at(self, t: float) -> PauliSum:
        """H(t) as one PauliSum.

        The parts' terms concatenated in order, each part's coefficients
        multiplied by f(t) (nothing merged).

        Parameters
        ----------
        t : float
            A real, finite time.

        Returns
        -------
        PauliSum
            H(t), with as many terms as all parts together.

        Raises
        ------
        TypeError
            When `t` is not a real number.
        ValueError
            When `t` is not finite, or some f(t) is not a finite real number
            (the message names the part and the time).

        Examples
        --------
        >>> import math
        >>> from velmora import PauliSum, TimeDependentSum
        >>> H = TimeDependentSum([PauliSum([("ZZ", 1.0)]),
        ...                       (PauliSum([("XI", 1.0)]), math.cos)])
        >>> H.at(math.pi).terms
        [('ZZ', (1+0j)), ('XI', (-1+0j))]
        """
        time = real_number("t", t)
        terms: list[tuple[str, complex]] = []
        for index, (part, f) in enumerate(self._parts):
            scale = 1.0 if f is None else evaluate(index, f, time)
            whole = part.pauli_sum if isinstance(part, SectorOperator) else part
            terms.extend((label, scale * coeff.real) for label, coeff in whole.terms)
        if self.sector is not None:
            return PauliSum(terms).in_sector(self.sector)
        return PauliSum(terms)

    @property
    def sector(self) -> Sector | None:
        """The sector the parts act on, or None for the full space.

        A `velmora.Sector` when the parts are SectorOperators (states then
        hold ``len(sector)`` amplitudes in its basis), else None.

        Examples
        --------
        >>> import math
        >>> from velmora import Sector, TimeDependentSum
        >>> from velmora.models import heisenberg_chain, ising_chain
        >>> H = TimeDependentSum([heisenberg_chain(4, periodic=True)])
        >>> H.sector is None
        True
        >>> len(H.in_sector(Sector.chain(4, weight=2, momentum=0)).sector)
        2
        """
        return _sector_of(self._parts[0][0])

    def in_sector(self, sector: Sector) -> TimeDependentSum:
        """The same sum restricted to a symmetry sector.

        Every part becomes ``part.in_sector(sector)`` (a
        `velmora.SectorOperator`; each must map the sector into itself), the
        functions and breakpoints stay; `velmora.evolve` and
        `velmora.trajectory` then evolve sector vectors of ``len(sector)``
        amplitudes.

        Parameters
        ----------
        sector : velmora.Sector
            The sector, on the parts' number of qubits.

        Returns
        -------
        TimeDependentSum
            The restricted sum, its `sector` the given one.

        Raises
        ------
        ValueError
            When a part does not map the sector into itself (naming the term),
            or the parts are already SectorOperators.

        Examples
        --------
        >>> import math
        >>> from velmora import PauliSum, Sector, TimeDependentSum
        >>> from velmora.models import xxz_ring
        >>> parts = xxz_ring(6, delta=1.0, parts=True)
        >>> ring = TimeDependentSum([parts["xy"], (parts["zz"], math.cos)])
        >>> restricted = ring.in_sector(Sector.chain(6, weight=3, momentum=0))
        >>> len(restricted.sector), restricted.at(0.0).is_hermitian
        (4, True)
        """
        if self.sector is not None:
            raise ValueError("the parts are already SectorOperators; in_sector applies to a "
                             "sum of PauliSums")
        terms = [part.in_sector(sector) if f is None else (part.in_sector(sector), f)
                 for part, f in self._parts]
        return TimeDependentSum(terms, breakpoints=self._breakpoints)

    def _state(self, psi: Any, name: str = "psi", rows: bool = False) -> np.ndarray:
        return self._parts[0][0]._state(psi, name, rows)


def _sector_of(part: object) -> Sector | None:
    return part.sector if isinstance(part, SectorOperator) else None


def _rebuild(terms: Sequence[Part], breakpoints: list[float]) -> TimeDependentSum:
    return TimeDependentSum(terms, breakpoints=breakpoints)
