"""`PauliSum`: an immutable sum of weighted Pauli words that users can inspect,
convert and apply."""

from __future__ import annotations

import cmath
import math
import numbers
import sys
from collections.abc import Iterable, Mapping, Sequence
from typing import (TYPE_CHECKING, Any, SupportsComplex, SupportsFloat, SupportsIndex, Union,
                    cast, overload)

import numpy as np
from numpy.typing import ArrayLike, NDArray

import _velmora
from velmora import _native
from velmora._threads import resolve_num_threads

if TYPE_CHECKING:
    from velmora.tapering import TaperedSum

Coefficient = Union[SupportsComplex, SupportsFloat, SupportsIndex]
Term = tuple[str, Coefficient]

#: Largest matrix `to_sparse` builds unless told otherwise: 1 GiB.
DEFAULT_SPARSE_LIMIT = 1 << 30

_LETTERS = frozenset("IXYZ")
_FLIP = str.maketrans("IXYZ", "0110")
_Y = str.maketrans("IXYZ", "0010")
_Z = str.maketrans("IXYZ", "0001")


def _shown(value: object) -> str:
    """repr(value), shortened when it is long (a huge int shows its digit count)."""
    text = repr(value)
    if len(text) <= 40:
        return text
    if isinstance(value, numbers.Integral):
        return f"{text[:12]}...({len(str(abs(int(value))))} digits)"
    return f"{text[:36]}..."


def _coefficient(index: int, label: str, coeff: object) -> complex:
    term = f"term {index} ({label!r})"
    if isinstance(coeff, (str, bytes, bool, np.bool_)):
        raise TypeError(
            f"{term}: the coefficient {_shown(coeff)} is a {type(coeff).__name__}, not a number"
        )
    try:
        value = complex(coeff)  # type: ignore[arg-type]
    except OverflowError:
        raise OverflowError(
            f"{term}: the coefficient {_shown(coeff)} is too large for a double "
            f"(the largest finite one is about {sys.float_info.max:.1e})"
        ) from None
    except (TypeError, ValueError):
        raise TypeError(
            f"{term}: the coefficient {_shown(coeff)} is not a number (symbolic or "
            "parametrised coefficients must be bound to numbers first)"
        ) from None
    if not cmath.isfinite(value):
        raise ValueError(f"{term}: the coefficient {value} is not finite")
    return value


def _label(index: int, label: object, num_qubits: int | None) -> str:
    if not isinstance(label, str):
        raise TypeError(f"term {index}: the label must be a str, got {type(label).__name__}")
    if not label:
        raise ValueError(f"term {index}: the label is empty; it needs one letter per qubit")
    if not _LETTERS.issuperset(label):
        position, letter = next((p, c) for p, c in enumerate(label) if c not in _LETTERS)
        raise ValueError(
            f"term {index}: the label {label!r} has {letter!r} at position {position}; "
            "labels use only I, X, Y and Z"
        )
    if num_qubits is not None and len(label) != num_qubits:
        raise ValueError(
            f"term {index}: the label {label!r} has {len(label)} letters, but term 0 has "
            f"{num_qubits}; all labels need the same length"
        )
    return label


def _parity(values: NDArray[np.int64]) -> NDArray[np.int64]:
    """1 where a non-negative integer has an odd number of 1-bits, else 0."""
    v = values.copy()
    for shift in (32, 16, 8, 4, 2, 1):
        v ^= v >> shift
    return v & 1


def masks(label: str) -> tuple[int, int, int]:
    """The (flip, y, z) bit masks of a label: bit q is the letter acting on
    qubit q, the letter at position len(label) - 1 - q."""
    return (int(label.translate(_FLIP), 2), int(label.translate(_Y), 2),
            int(label.translate(_Z), 2))


def amplitude_array(psi: ArrayLike, size: int, name: str, needs: str,
                    rows: bool = False) -> NDArray[np.complex128]:
    """psi as a C-contiguous complex128 vector of `size` amplitudes, or with
    `rows` also as a 2-D array of k such states, one per row (k may be 0).
    The errors name the argument and end with `needs`, which says what needs
    that size ("psi has 3 amplitudes, but <needs>", "psi has rows of 3
    amplitudes, but <needs>")."""
    array = np.asarray(psi)
    if array.ndim != 1 and not (rows and array.ndim == 2):
        what = ("a 1-D array of amplitudes or a 2-D array of states (one per row)" if rows
                else "a 1-D array of amplitudes")
        raise ValueError(f"{name} must be {what}, got shape {array.shape}")
    length = array.shape[-1]
    if length != size:
        if array.ndim == 1:
            raise ValueError(f"{name} has {length} amplitudes, but {needs}")
        raise ValueError(f"{name} has rows of {length} amplitudes, but {needs}")
    if not (np.issubdtype(array.dtype, np.number) or array.dtype == np.bool_):
        raise TypeError(f"{name} must hold numbers, got dtype {array.dtype}")
    return np.ascontiguousarray(array, dtype=np.complex128)


def state_array(psi: ArrayLike, num_qubits: int, name: str, owner: str,
                rows: bool = False) -> NDArray[np.complex128]:
    """psi as a contiguous complex128 vector of 2^num_qubits amplitudes (with
    `rows`, or a 2-D array of such states, one per row); the errors name the
    argument and say what needs that size ("<name> has 3 amplitudes, but
    <owner> 2 qubits and needs 2^2 = 4")."""
    size = 1 << num_qubits
    return amplitude_array(psi, size, name,
                           f"{owner} {num_qubits} qubits and needs 2^{num_qubits} = {size}", rows)


def finite_expectations(values: Any, states: NDArray[np.complex128] | None, what: str) -> Any:
    """`values` (expectations) unchanged, or OverflowError when one is beyond
    the double range although its state is finite (a huge state or
    observable): never an inf or NaN for a finite input. `states`, when given,
    are the states measured, one per value (rows), so that non-finite inputs
    keep their IEEE results; None means every state was finite."""
    array = np.asarray(values)
    bad = ~np.isfinite(array)
    if states is not None and bad.any():
        bad &= np.isfinite(states).all(axis=-1).reshape(bad.shape)
    if bad.any():
        where = np.argwhere(bad)[0]
        at = f" (at index {tuple(int(i) for i in where)})" if array.ndim else ""
        raise OverflowError(f"{what} is beyond the double range{at}; scale the state or the "
                            "operator down (an expectation is quadratic in the state)")
    return values


def _format_bytes(size: int) -> str:
    for unit, scale in (("TiB", 1 << 40), ("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if size >= scale:
            return f"{size / scale:.1f} {unit}"
    return f"{size} bytes"


class PauliSum:
    """H = sum_t coeff_t * P_t over n qubits, from (label, coeff) pairs.

    Labels use the letters I, X, Y and Z, all of one length n; the **last letter
    acts on qubit 0**, the least significant bit of an amplitude index (Qiskit's
    order, and the order of ``SparsePauliOp.to_list()``). Terms are kept in the
    given order, never merged or dropped (`simplify` returns a merged copy). A
    mapping {label: coeff} is accepted too. The object is immutable and can be
    pickled.

    ``H + G`` and ``H - G`` concatenate the term lists, ``H + c``, ``c + H``,
    ``H - c`` and ``c - H`` add the identity term with a scalar c, ``-H`` and
    ``s * H`` scale every coefficient, ``H @ psi`` is ``H.apply(psi)`` (for a
    2-D psi, the matrix product with its columns). ``H @ G`` and ``H ** k``
    are operator products, merged with exact phases; `velmora.commutator`
    gives [H, G].

    Parameters
    ----------
    terms : iterable of (str, complex) pairs, or mapping of str to complex
        The terms as (label, coeff) pairs, in the order of
        ``SparsePauliOp.to_list()``, or a mapping {label: coeff}. All labels
        have the same length n >= 1; a coefficient is any finite number (int,
        float, complex, a NumPy scalar, `fractions.Fraction`, ...).

    Raises
    ------
    TypeError
        When `terms` is a str or not iterable, an item is not a (label, coeff)
        pair, a label is not a str, or a coefficient is not a number (a str, a
        bool, an unbound symbol); the message names the term.
    ValueError
        When `terms` is empty, or a label is empty, has a letter other than I,
        X, Y and Z or another length than the label of term 0, or a
        coefficient is not finite; the message names the term.
    OverflowError
        When a coefficient is beyond the double range (``10**400``); the
        message names the term and its label.

    Examples
    --------
    >>> import numpy as np
    >>> from velmora import PauliSum
    >>> H = PauliSum([("ZZ", 1.0), ("XI", 0.5), ("IX", 0.5)])
    >>> H.num_qubits, H.norm_bound, H.is_hermitian
    (2, 2.0, True)
    >>> H.apply(np.array([1, 0, 0, 0]))               # H |00>
    array([1. +0.j, 0.5+0.j, 0.5+0.j, 0. +0.j])
    >>> PauliSum({"ZZ": 1.0, "XI": 0.5}).terms        # a mapping works too
    [('ZZ', (1+0j)), ('XI', (0.5+0j))]
    >>> (H + 2 * PauliSum([("ZZ", 1.0)])).terms       # concatenated, not merged
    [('ZZ', (1+0j)), ('XI', (0.5+0j)), ('IX', (0.5+0j)), ('ZZ', (2+0j))]
    """

    __slots__ = ("_terms", "_num_qubits", "_coeffs", "_operator", "_hamiltonian")

    _terms: tuple[tuple[str, complex], ...]
    _num_qubits: int
    _coeffs: NDArray[np.complex128]
    _operator: _native.PauliOperator
    _hamiltonian: _velmora.Hamiltonian

    def __init__(self, terms: Iterable[Term] | Mapping[str, Coefficient]) -> None:
        if isinstance(terms, (str, bytes)):
            raise TypeError("terms must be an iterable of (label, coeff) pairs, not a single "
                            f"{type(terms).__name__}")
        if isinstance(terms, Mapping):
            terms = list(terms.items())
        try:
            items = list(terms)
        except TypeError:
            raise TypeError("terms must be an iterable of (label, coeff) pairs, got "
                            f"{type(terms).__name__}") from None
        if not items:
            raise ValueError("terms is empty; a PauliSum needs at least one term")
        checked: list[tuple[str, complex]] = []
        num_qubits: int | None = None
        for index, item in enumerate(items):
            if isinstance(item, (str, bytes)) or not isinstance(item, (tuple, list)) or len(item) != 2:
                raise TypeError(f"term {index}: expected a (label, coeff) pair, got {item!r}")
            label = _label(index, item[0], num_qubits)
            num_qubits = len(label)
            checked.append((label, _coefficient(index, label, item[1])))
        assert num_qubits is not None
        # Backed by an immutable bytes object: numpy refuses to make this array,
        # or any view of it, writeable again.
        coeffs = np.frombuffer(
            np.array([c for _, c in checked], dtype=np.complex128).tobytes(), dtype=np.complex128)
        labels = "".join(label for label, _ in checked).encode("ascii")
        init = object.__setattr__
        init(self, "_terms", tuple(checked))
        init(self, "_num_qubits", num_qubits)
        init(self, "_coeffs", coeffs)
        init(self, "_operator", _native.PauliOperator(labels, num_qubits, coeffs))
        init(self, "_hamiltonian", _velmora.Hamiltonian(
            [_velmora.PauliWord(c, label) for label, c in checked]))

    # -- immutability, pickling, comparison ---------------------------------

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("PauliSum is immutable")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("PauliSum is immutable")

    def __reduce__(self) -> tuple[type[PauliSum], tuple[list[tuple[str, complex]]]]:
        return (PauliSum, (list(self._terms),))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, PauliSum):
            return NotImplemented
        return self._terms == other._terms

    def __hash__(self) -> int:
        return hash(self._terms)

    def __len__(self) -> int:
        return len(self._terms)

    def __repr__(self) -> str:
        if len(self._terms) <= 6:
            return f"PauliSum({list(self._terms)!r})"
        head = ", ".join(repr(t) for t in self._terms[:3])
        return f"PauliSum([{head}, ...]: {len(self._terms)} terms on {self._num_qubits} qubits)"

    # -- arithmetic that keeps every term -----------------------------------

    # numpy defers to the operators below instead of treating a PauliSum as an
    # object scalar: `array @ H` and `array * H` raise TypeError.
    __array_ufunc__ = None

    def __mul__(self, scalar: Coefficient) -> PauliSum:
        if not isinstance(scalar, numbers.Number) or isinstance(scalar, bool):
            return NotImplemented
        try:
            s = complex(scalar)  # type: ignore[arg-type]
        except OverflowError:
            raise OverflowError(
                f"the scalar {_shown(scalar)} is too large for a double (the largest finite "
                f"one is about {sys.float_info.max:.1e})") from None
        if not cmath.isfinite(s):
            raise ValueError(f"the scalar {s} is not finite")
        return PauliSum([(label, s * c) for label, c in self._terms])

    __rmul__ = __mul__

    def _check_operand(self, other: PauliSum, operator: str) -> None:
        if other._num_qubits != self._num_qubits:
            raise ValueError(
                f"H {operator} G: H acts on {self._num_qubits} qubits and G on "
                f"{other._num_qubits}; both need the same number")

    def _scalar(self, value: object) -> complex | None:
        """A number (not a bool) as a finite complex, or None for anything else."""
        if not isinstance(value, numbers.Number) or isinstance(value, (bool, np.bool_)):
            return None
        return _coefficient(len(self._terms), "I" * self._num_qubits, value)

    def __add__(self, other: PauliSum | Coefficient) -> PauliSum:
        """H + G: the concatenation of both term lists (nothing merged); H + c
        appends the identity term ("I" * n, c) (none for c == 0)."""
        if isinstance(other, PauliSum):
            self._check_operand(other, "+")
            return PauliSum(self._terms + other._terms)
        c = self._scalar(other)
        if c is None:
            return NotImplemented
        return PauliSum(self._terms + ((("I" * self._num_qubits, c),) if c != 0 else ()))

    def __radd__(self, other: Coefficient) -> PauliSum:
        """c + H: the identity term ("I" * n, c) first (none for c == 0, so that
        ``sum()`` of PauliSums is their concatenation), then the terms of H."""
        c = self._scalar(other)
        if c is None:
            return NotImplemented
        return PauliSum(((("I" * self._num_qubits, c),) if c != 0 else ()) + self._terms)

    def __rsub__(self, other: Coefficient) -> PauliSum:
        """c - H: the identity term (none for c == 0), then -H's terms."""
        return (-self).__radd__(other)

    def __pow__(self, exponent: int) -> PauliSum:
        """H ** k: the product of k copies of H, merged (``H ** 0`` is the identity).

        Products are taken by repeated squaring, each merged with exact phases
        (`PauliSum.__matmul__`); the coefficients of one word are summed
        correctly rounded.

        Parameters
        ----------
        exponent : int
            k >= 0.

        Returns
        -------
        PauliSum
            H^k on the same qubits, each word once.

        Raises
        ------
        TypeError
            When k is not an int.
        ValueError
            When k is negative.

        Examples
        --------
        >>> from velmora import PauliSum
        >>> (PauliSum([("X", 1.0), ("Z", 1.0)]) ** 2).terms     # (X + Z)^2 = 2 I
        [('I', (2+0j))]
        >>> (PauliSum([("XI", 1.0)]) ** 0).terms
        [('II', (1+0j))]
        """
        if isinstance(exponent, (bool, np.bool_)) or not isinstance(exponent, numbers.Integral):
            return NotImplemented
        k = int(exponent)
        if k < 0:
            raise ValueError(f"H ** k needs k >= 0 (a PauliSum has no inverse here), got {k}")
        from velmora import _algebra

        n = self._num_qubits
        result: list[tuple[str, complex]] = [("I" * n, 1 + 0j)]
        power = list(self._terms)
        while k:
            if k & 1:
                result = _algebra.product(result, power, n)
            k >>= 1
            if k:
                power = _algebra.product(power, power, n)
        return PauliSum(result)

    def __neg__(self) -> PauliSum:
        """-H: every coefficient negated, the terms in the same order.

        Examples
        --------
        >>> from velmora import PauliSum
        >>> (-PauliSum([("ZZ", 1.0), ("XI", -0.5)])).terms
        [('ZZ', (-1-0j)), ('XI', (0.5-0j))]
        """
        return PauliSum([(label, -c) for label, c in self._terms])

    def __sub__(self, other: PauliSum | Coefficient) -> PauliSum:
        """H - G: the terms of H, then those of G with negated coefficients.

        Like ``H + G``, nothing is merged or dropped: ``H - H`` keeps both copies
        of every term (``(H - H).simplify()`` merges them). ``H - c`` for a
        number c appends the identity term ("I" * n, -c).

        Parameters
        ----------
        other : PauliSum or number
            G, on the same number of qubits as H, or a scalar c.

        Returns
        -------
        PauliSum
            ``len(H) + len(G)`` terms.

        Raises
        ------
        ValueError
            When H and G act on different numbers of qubits.

        Examples
        --------
        >>> from velmora import PauliSum
        >>> H = PauliSum([("ZZ", 1.0), ("XI", 0.5)])
        >>> (H - PauliSum([("ZZ", 0.25)])).terms
        [('ZZ', (1+0j)), ('XI', (0.5+0j)), ('ZZ', (-0.25-0j))]
        """
        if not isinstance(other, PauliSum):
            c = self._scalar(other)
            return NotImplemented if c is None else self + (-c)
        self._check_operand(other, "-")
        return PauliSum(self._terms + tuple((label, -c) for label, c in other._terms))

    @overload
    def __matmul__(self, psi: PauliSum) -> PauliSum: ...
    @overload
    def __matmul__(self, psi: ArrayLike) -> NDArray[np.complex128]: ...
    def __matmul__(self, psi: PauliSum | ArrayLike) -> PauliSum | NDArray[np.complex128]:
        """H @ psi: ``H.apply(psi)`` for a vector, the matrix product for a 2-D psi,
        on every core the process may use; H @ G, the operator product, for a
        PauliSum G.

        The product of two PauliSums multiplies every pair of words with its
        exact phase (a power of i: Y = i X Z per qubit) and merges equal words,
        their coefficients summed correctly rounded, in the order of first
        appearance (H's terms outer); words that cancel exactly are dropped (the
        zero identity when all do). It costs len(H) * len(G) word products.

        A 2-D psi of shape (2^n, k) holds k states as its columns, as in
        ``H.to_sparse() @ psi``: column j of the result is H @ psi[:, j], with the
        bits of ``H.apply(psi[:, j])`` (it is ``H.apply(psi.T).T``, whose
        products run in one pass of the kernel).

        Parameters
        ----------
        psi : array_like or PauliSum
            2^n amplitudes, qubit 0 the least significant bit of the index, or
            a (2^n, k) array of k such states as columns; or G, a PauliSum on
            the same qubits.

        Returns
        -------
        numpy.ndarray or PauliSum
            A new complex128 array of the shape of psi; HG for a PauliSum.

        Raises
        ------
        TypeError
            When psi does not hold numbers.
        ValueError
            When psi is neither a 1-D array of 2^n amplitudes nor a 2-D array
            of 2^n rows, or G acts on another number of qubits.
        OverflowError
            When a merged coefficient of HG is beyond the double range.

        Examples
        --------
        >>> import numpy as np
        >>> from velmora import PauliSum
        >>> H = PauliSum([("XI", 1.0), ("IZ", 2.0)])
        >>> H @ [1, 0, 0, 0]
        array([2.+0.j, 0.+0.j, 1.+0.j, 0.+0.j])
        >>> H @ np.eye(4)[:, :2]
        array([[ 2.+0.j,  0.+0.j],
               [ 0.+0.j, -2.+0.j],
               [ 1.+0.j,  0.+0.j],
               [ 0.+0.j,  1.+0.j]])
        >>> (PauliSum([("XI", 1.0)]) @ PauliSum([("ZZ", 2.0)])).terms   # XZ = -iY
        [('YZ', -2j)]
        """
        if isinstance(psi, PauliSum):
            self._check_operand(psi, "@")
            from velmora import _algebra

            return PauliSum(_algebra.product(self._terms, psi._terms, self._num_qubits))
        array = np.asarray(psi)
        if array.ndim == 1:
            return self.apply(array)
        if array.ndim != 2:
            raise ValueError("psi must be a 1-D array of amplitudes or a 2-D array of states "
                             f"(one per column), got shape {array.shape}")
        n = self._num_qubits
        if array.shape[0] != 1 << n:
            raise ValueError(f"psi has columns of {array.shape[0]} amplitudes, but the PauliSum "
                             f"acts on {n} qubits and needs 2^{n} = {1 << n}")
        return self.apply(array.T).T

    def simplify(self, atol: float = 0.0) -> PauliSum:
        """The same operator with equal labels merged and negligible terms dropped.

        The coefficients of each label are summed (correctly rounded, with
        `math.fsum` on the real and the imaginary parts); the result lists each
        label once, in the order of its first appearance in H. Then every term
        with ``|coeff| <= atol`` is dropped, so the default ``atol = 0`` drops
        the terms that sum to exactly zero. A PauliSum needs at least one term:
        when every term is dropped, the result is the identity with coefficient
        0 (one term, label ``"I" * n``).

        Parameters
        ----------
        atol : float, optional
            Terms whose merged coefficient has a modulus at most `atol` are
            dropped; a real number >= 0 (default 0.0).

        Returns
        -------
        PauliSum
            A new PauliSum on the same qubits.

        Raises
        ------
        TypeError
            When `atol` is not a real number.
        ValueError
            When `atol` is negative or NaN.
        OverflowError
            When the coefficients of one label sum beyond the double range.

        Examples
        --------
        >>> from velmora import PauliSum
        >>> H = PauliSum([("ZZ", 1.0), ("XI", 0.5), ("ZZ", 2.0), ("IX", 1e-9),
        ...               ("XI", -0.5)])
        >>> H.simplify().terms
        [('ZZ', (3+0j)), ('IX', (1e-09+0j))]
        >>> H.simplify(atol=1e-6).terms
        [('ZZ', (3+0j))]
        >>> (H - H).simplify().terms
        [('II', 0j)]
        """
        if isinstance(atol, bool) or not isinstance(atol, numbers.Real):
            raise TypeError(f"atol must be a real number, got {type(atol).__name__}")
        tolerance = float(atol)
        if not tolerance >= 0.0:
            raise ValueError(f"atol must be >= 0, got {tolerance}")
        groups: dict[str, list[complex]] = {}
        for label, c in self._terms:
            groups.setdefault(label, []).append(c)
        kept: list[tuple[str, complex]] = []
        for label, values in groups.items():
            try:
                total = complex(math.fsum(v.real for v in values),
                                math.fsum(v.imag for v in values))
            except OverflowError:
                total = complex(math.inf)
            if not cmath.isfinite(total):
                raise OverflowError(f"simplify: the coefficients of {label!r} sum beyond the "
                                    "double range")
            if math.hypot(total.real, total.imag) > tolerance:
                kept.append((label, total))
        return PauliSum(kept or [("I" * self._num_qubits, 0j)])

    # -- inspection ------------------------------------------------------------

    @property
    def num_qubits(self) -> int:
        """The number of qubits n: the length of every label.

        An int >= 1; the states H acts on have 2^n amplitudes.

        Examples
        --------
        >>> from velmora import PauliSum
        >>> PauliSum([("XIZ", 1.0)]).num_qubits
        3
        """
        return self._num_qubits

    @property
    def terms(self) -> list[tuple[str, complex]]:
        """The terms as (label, complex coefficient) pairs, in the given order.

        A new list of ``(str, complex)`` tuples on every access, one per term:
        nothing merged, reordered or dropped.

        Examples
        --------
        >>> from velmora import PauliSum
        >>> PauliSum([("ZZ", 1), ("XI", 0.5), ("ZZ", 2j)]).terms
        [('ZZ', (1+0j)), ('XI', (0.5+0j)), ('ZZ', 2j)]
        """
        return list(self._terms)

    @property
    def coeffs(self) -> NDArray[np.complex128]:
        """The coefficients as a read-only complex128 array, in term order.

        The array is a view of immutable storage: numpy refuses to set its
        ``WRITEABLE`` flag (``coeffs.flags.writeable = True`` raises ValueError),
        so it always shows the coefficients H was built with. Use
        ``H.coeffs.copy()`` for an array to modify.

        Examples
        --------
        >>> from velmora import PauliSum
        >>> H = PauliSum([("ZZ", 1.0), ("XI", 0.5)])
        >>> H.coeffs
        array([1. +0.j, 0.5+0.j])
        >>> H.coeffs.flags.writeable
        False
        """
        return self._coeffs

    @property
    def norm_bound(self) -> float:
        """The sum of ``|coeff|`` over the terms that are not the identity.

        A float >= 0: an upper bound of the spectral norm of H minus its
        identity part, summed with `math.fsum`; ``inf`` when the sum is beyond
        the double range (every coefficient is finite, their sum need not be).

        Examples
        --------
        >>> from velmora import PauliSum
        >>> PauliSum([("II", 3.0), ("ZZ", -1.0), ("XI", 0.5j)]).norm_bound
        1.5
        >>> PauliSum([("XI", 1e308), ("IX", 1e308)]).norm_bound
        inf
        """
        try:
            return float(math.fsum(abs(c) for label, c in self._terms if label.strip("I")))
        except OverflowError:  # the exact sum is above the largest double
            return math.inf

    @property
    def is_hermitian(self) -> bool:
        """True when every coefficient is real (each Pauli word is Hermitian).

        A bool; `velmora.evolve`, `velmora.trajectory` and `velmora.eigsh`
        need a Hermitian H.

        Examples
        --------
        >>> from velmora import PauliSum
        >>> PauliSum([("ZZ", 1.0), ("XI", 0.5)]).is_hermitian
        True
        >>> PauliSum([("XY", 1j)]).is_hermitian
        False
        """
        return all(c.imag == 0.0 for _, c in self._terms)

    @property
    def hamiltonian(self) -> _velmora.Hamiltonian:
        """The core `_velmora.Hamiltonian` of the same words, built once.

        The object the low-level step of the core module takes:
        ``_velmora.evolve(H.hamiltonian, psi, coeff, num_threads)`` returns
        exp(-i coeff H) psi as a new array.

        Examples
        --------
        >>> import numpy as np, _velmora
        >>> from velmora import PauliSum
        >>> H = PauliSum([("XI", 1.0), ("IZ", 2.0)])
        >>> psi = np.array([1, 0, 0, 0], dtype=complex)
        >>> np.round(_velmora.evolve(H.hamiltonian, psi, 0.1, 0), 6)
        array([ 0.97517 -0.197677j,  0.      +0.j      , -0.019834-0.097843j,
                0.      +0.j      ])
        """
        return self._hamiltonian

    # -- matrices and products -------------------------------------------------

    def as_linear_operator(self, num_threads: int | None = None) -> Any:
        """H as a `scipy.sparse.linalg.LinearOperator`, for SciPy's solvers on
        velmora's product (no matrix is built).

        Parameters
        ----------
        num_threads : int, optional
            Threads of each product (None: as `apply`).

        Returns
        -------
        scipy.sparse.linalg.LinearOperator
            Shape (2^n, 2^n), dtype complex128. `matvec` is ``H.apply``; the
            adjoint applies the sum with conjugated coefficients (H itself when
            H is Hermitian).

        Raises
        ------
        TypeError
            When `num_threads` is not an int or None.
        ValueError
            When `num_threads` is negative.
        ImportError
            When SciPy is not installed (it is an optional dependency).

        Examples
        --------
        >>> import scipy.sparse.linalg
        >>> from velmora.models import ising_chain
        >>> op = ising_chain(8).as_linear_operator()
        >>> values = scipy.sparse.linalg.eigsh(op, k=1, which="SA",
        ...                                    return_eigenvectors=False)
        >>> round(float(values[0]), 6)
        -9.837951
        """
        import scipy.sparse.linalg

        threads = resolve_num_threads(num_threads)
        adjoint = self if self.is_hermitian else PauliSum(
            [(label, c.conjugate()) for label, c in self._terms])

        def matvec(v: NDArray[np.complex128]) -> NDArray[np.complex128]:
            return self.apply(np.ravel(v), threads)

        def rmatvec(v: NDArray[np.complex128]) -> NDArray[np.complex128]:
            return adjoint.apply(np.ravel(v), threads)

        size = 1 << self._num_qubits
        return scipy.sparse.linalg.LinearOperator((size, size), matvec=matvec, rmatvec=rmatvec,
                                                  dtype=np.complex128)

    def to_sparse(self, max_bytes: int = DEFAULT_SPARSE_LIMIT) -> Any:
        """The 2^n x 2^n matrix as a `scipy.sparse.csr_array` (row = output index).

        For checks against exact methods (``scipy.linalg.expm``,
        ``numpy.linalg.eigh``) on small systems. Refuses with ValueError when
        the matrix would take more than `max_bytes` (default 1 GiB); the
        message says how much it needs.

        Parameters
        ----------
        max_bytes : int, optional
            The most bytes the matrix (its values and indices) may take;
            default ``2**30`` (1 GiB).

        Returns
        -------
        scipy.sparse.csr_array
            Shape (2^n, 2^n), dtype complex128, with sorted indices and no
            stored zeros; entry (r, c) is <r|H|c>, qubit 0 the least
            significant bit of r and c.

        Raises
        ------
        ValueError
            When the matrix would need more than `max_bytes`.
        ImportError
            When SciPy is not installed (it is an optional dependency).

        Examples
        --------
        >>> from velmora import PauliSum
        >>> H = PauliSum([("ZZ", 1.0), ("XI", 0.5), ("IX", 0.5)])
        >>> H.to_sparse().toarray().real
        array([[ 1. ,  0.5,  0.5,  0. ],
               [ 0.5, -1. ,  0. ,  0.5],
               [ 0.5,  0. , -1. ,  0.5],
               [ 0. ,  0.5,  0.5,  1. ]])
        >>> H.to_sparse(max_bytes=100)
        Traceback (most recent call last):
        ValueError: to_sparse: the matrix of 2 qubits has 12 stored entries and needs
        about 260 bytes, above max_bytes = 100 bytes; pass a larger max_bytes to build it
        anyway
        """
        import scipy.sparse

        n = self._num_qubits
        flips = sorted({masks(label)[0] for label, _ in self._terms})
        size = 1 << n
        entries = size * len(flips)
        index_bytes = 4 if entries < 2**31 else 8
        needed = entries * (16 + index_bytes) + (size + 1) * index_bytes
        if needed > max_bytes:
            raise ValueError(
                f"to_sparse: the matrix of {n} qubits has {entries} stored entries and needs "
                f"about {_format_bytes(needed)}, above max_bytes = {_format_bytes(max_bytes)}; "
                "pass a larger max_bytes to build it anyway"
            )
        index_type = np.int32 if index_bytes == 4 else np.int64
        rows = np.arange(size, dtype=np.int64)
        column_of = {flip: k for k, flip in enumerate(flips)}
        data = np.zeros((size, len(flips)), dtype=np.complex128)
        for label, coeff in self._terms:
            flip, y, z = masks(label)
            # P|x> = i^(#Y) (-1)^popcount((y|z) & x) |x ^ flip>: row r reads x = r ^ flip.
            sign = 1.0 - 2.0 * _parity((rows ^ flip) & (y | z))
            data[:, column_of[flip]] += (coeff * 1j ** (bin(y).count("1") % 4)) * sign
        indices = (rows[:, None] ^ np.array(flips, dtype=np.int64)[None, :]).astype(index_type)
        indptr = np.arange(0, entries + 1, len(flips), dtype=index_type)
        matrix = scipy.sparse.csr_array(
            (data.ravel(), indices.ravel(), indptr), shape=(size, size))
        matrix.sort_indices()
        matrix.eliminate_zeros()
        return matrix

    def _state(self, psi: ArrayLike, name: str = "psi",
               rows: bool = False) -> NDArray[np.complex128]:
        return state_array(psi, self._num_qubits, name, "the PauliSum acts on", rows)

    def apply(self, psi: ArrayLike, num_threads: int | None = None) -> NDArray[np.complex128]:
        """H @ psi as a new complex128 array, for one state or for k states at once.

        Parameters
        ----------
        psi : array_like
            2^n amplitudes, qubit 0 the least significant bit of the index; or
            a 2-D array of shape (k, 2^n) holding k states, one per row (k = 0
            gives an empty result).
        num_threads : int, optional
            None (default) uses every core the process may use, 0 the calling
            thread alone; the result has the same bits for every value.

        Returns
        -------
        numpy.ndarray
            H @ psi, of the shape of psi. Row r of a 2-D result has the bits of
            ``H.apply(psi[r])``: the k products run in one pass of the kernel,
            which reads each word's setup once for all rows.

        Raises
        ------
        ValueError
            When psi is not a 1-D array of 2^n amplitudes or a 2-D array of
            rows of 2^n amplitudes, or num_threads is negative.
        TypeError
            When psi does not hold numbers or num_threads is not an int.
        MemoryError
            When the copy of psi and the result cannot fit in the memory this
            process may have.

        Examples
        --------
        >>> from velmora import PauliSum
        >>> H = PauliSum([("XI", 1.0), ("IZ", 2.0)])
        >>> H.apply([1, 0, 0, 0])
        array([2.+0.j, 0.+0.j, 1.+0.j, 0.+0.j])
        >>> H.apply([[1, 0, 0, 0], [0, 1, 0, 0]])
        array([[ 2.+0.j,  0.+0.j,  1.+0.j,  0.+0.j],
               [ 0.+0.j, -2.+0.j,  0.+0.j,  1.+0.j]])
        """
        state = self._state(psi, rows=True)
        return _native.apply(self._operator, state, resolve_num_threads(num_threads))

    def expectation(self, psi: ArrayLike, num_threads: int | None = None) -> float | complex:
        """<psi|H|psi>, not normalised, for one state or for k states at once.

        Parameters
        ----------
        psi : array_like
            2^n amplitudes, or a 2-D array of shape (k, 2^n) holding k states,
            one per row (k = 0 gives an empty result).
        num_threads : int, optional
            As in `apply`; the result has the same bits for every value.

        Returns
        -------
        float, complex or numpy.ndarray
            For one state a float when H is Hermitian, else a complex; for a
            2-D psi an array of k float64 (complex128 when H is not Hermitian)
            whose entry r has the bits of ``H.expectation(psi[r])`` (the
            annotation describes one state).

        Raises
        ------
        ValueError, TypeError, MemoryError
            As in `apply`.
        OverflowError
            When a value is beyond the double range although its state is
            finite (a huge state or coefficients).

        Examples
        --------
        >>> from velmora import PauliSum
        >>> H = PauliSum([("ZZ", 1.0), ("XI", 0.5)])
        >>> H.expectation([1, 0, 0, 0])
        1.0
        >>> H.expectation([[1, 0, 0, 0], [0, 1, 0, 0]])
        array([ 1., -1.])
        """
        state = self._state(psi, rows=True)
        value = finite_expectations(
            _native.expectation(self._operator, state, resolve_num_threads(num_threads)), state,
            "<psi|H|psi>")
        if state.ndim == 2:
            rows = np.ascontiguousarray(value.real) if self.is_hermitian else value
            return cast("float | complex", rows)  # the annotation describes one state
        return float(value.real) if self.is_hermitian else complex(value)

    def in_sector(self, sector: Any, *, precompute: bool | None = None,
                  num_threads: int | None = None) -> Any:
        """H restricted to a symmetry sector, as a `velmora.SectorOperator`.

        Parameters
        ----------
        sector : velmora.Sector
            The sector; H must map it into itself.
        precompute : bool, optional
            Keep every product's images (basis index and factor of each
            term): True now, False never, None (default) at the first call of
            `evolve`, `trajectory`, `eigsh`, `correlation` or
            `spectral_function` when they fit in half of the default memory
            budget (``velmora.evolution.default_memory_budget()``). The results
            are the same bytes either way.
        num_threads : int, optional
            Threads of the checks and the diagonal (default as in `evolve`).

        Returns
        -------
        SectorOperator
            With `apply`, `expectation` and `to_sparse`, accepted by `evolve`
            and `trajectory` with states of ``len(sector)`` amplitudes.

        Raises
        ------
        ValueError
            Naming a term, when H does not map the sector into itself: a term
            that changes the weight (unless other terms flipping the same
            qubits cancel that, as XX + YY does), a sum that one of the
            permutations does not leave unchanged, a term that anticommutes
            with the spin flip; also when the sector has another number of
            qubits, or `num_threads` is negative.
        TypeError
            When `sector` is not a `velmora.Sector`, `precompute` is not None
            or a bool, or `num_threads` is not an int or None.

        Examples
        --------
        >>> import numpy as np
        >>> from velmora import Sector
        >>> from velmora.models import heisenberg_chain
        >>> sector = Sector.chain(8, weight=4, momentum=0)
        >>> H = heisenberg_chain(8, periodic=True).in_sector(sector)
        >>> len(H), round(float(min(np.linalg.eigvalsh(H.to_sparse().toarray()))), 6)
        (10, -14.604374)
        """
        from velmora.sector import in_sector

        return in_sector(self, sector, precompute=precompute, num_threads=num_threads)

    # -- Z2 symmetries and tapering -------------------------------------------------

    def z2_symmetries(self) -> list[PauliSum]:
        """A basis of the Pauli words that commute with every term of H.

        The words are found by linear algebra over GF(2): in the symplectic
        form (x, z) of the terms, a word (x', z') commutes with a term when
        x.z' + z.x' is even, so the words are the kernel of the terms' matrix
        with its X and Z halves swapped. Identity terms are ignored; terms with
        coefficient 0 count like any other (`simplify` drops them first). The
        identity is never returned, and signs are not: each word comes with the
        coefficient 1.

        The basis depends only on the group the words generate, not on the
        order of the terms: it is brought to pivot form, working from qubit 0
        up. When the words commute with each other (as for molecular
        Hamiltonians, or the parities of even rings), each has a pivot qubit
        where it acts with X or Y (else Z) while every other word acts there
        with I or with the one letter that anticommutes with the pivot's, so
        the list can be passed to `taper` as it is. When some anticommute (the
        X and the Z parity of an odd ring), the basis still spans them all, and
        `taper` needs a commuting subset.

        Returns
        -------
        list of PauliSum
            One one-term PauliSum (coefficient 1) per word, the words with a
            pivot first in qubit order; empty when only the identity commutes
            with every term.

        Examples
        --------
        >>> from velmora import PauliSum
        >>> H = PauliSum([("XX", 1.0), ("YY", 1.0), ("ZZ", 0.5)])
        >>> [s.terms for s in H.z2_symmetries()]
        [[('XX', (1+0j))], [('ZZ', (1+0j))]]
        """
        from velmora.tapering import _symmetry_basis

        return _symmetry_basis(self)

    def taper(self, symmetries: Sequence[PauliSum | str], eigenvalues: Sequence[int], *,
              merge: bool = True) -> TaperedSum:
        """H restricted to the sector of the given eigenvalues of commuting Z2
        symmetries, on one qubit fewer per symmetry.

        The symmetries (one-term PauliSums with coefficient 1 or -1, or labels)
        must be independent and commute with each other and with every term
        of H. A Clifford W maps each symmetry (or an independent product of
        them) to Z on a qubit of its own with sign +1; each term of W H
        W^dagger, conjugated exactly in the order of H, acts there with I or Z,
        Z is replaced by the eigenvalue and the qubit is dropped. The union of
        the spectra over all 2^r choices of eigenvalues is the spectrum of H.
        See `velmora.TaperedSum` for the conventions and the state maps.

        Parameters
        ----------
        symmetries : sequence of PauliSum or str
            r independent, mutually commuting Pauli words, e.g. from
            `z2_symmetries`.
        eigenvalues : sequence of int
            1 or -1 for each symmetry.
        merge : bool, optional
            Merge equal labels after tapering, as `simplify` does (default True).

        Returns
        -------
        TaperedSum
            A PauliSum on n - r qubits that also maps states to and from the
            sector.

        Raises
        ------
        TypeError
            When a symmetry is neither a PauliSum nor a str, an eigenvalue is not
            a real number, or `merge` is not a bool.
        ValueError
            When a symmetry has several terms, a coefficient other than +-1 or
            another length; when symmetries anticommute or are dependent, or
            leave no qubit; when the eigenvalues are not one +-1 per symmetry;
            when a term of H anticommutes with a symmetry (both are named).

        Examples
        --------
        >>> from velmora import PauliSum
        >>> H = PauliSum([("XX", 1.0), ("YY", 1.0), ("ZZ", 0.5)])
        >>> H.taper(["ZZ"], [-1]).terms
        [('X', (-2+0j)), ('I', (-0.5+0j))]
        """
        from velmora.tapering import TaperedSum

        return TaperedSum(self, symmetries, eigenvalues, merge=merge)

    # -- conversions ---------------------------------------------------------------

    @classmethod
    def from_qiskit(cls, op: Any) -> PauliSum:
        """From a Qiskit `SparsePauliOp`; the labels carry over unchanged (both
        put qubit 0 last).

        The terms are those of ``op.to_list()``, in that order (nothing merged).
        Unbound parameters are refused. Qiskit is not imported: the object is
        recognised by its class.

        Parameters
        ----------
        op : qiskit.quantum_info.SparsePauliOp
            The operator, with every parameter bound to a number.

        Returns
        -------
        PauliSum
            The same operator: its matrix equals ``op.to_matrix()``.

        Raises
        ------
        TypeError
            When `op` is not a `SparsePauliOp`, or a coefficient is not a
            number.
        ValueError
            When `op` has unbound parameters (bind them first with
            ``op.assign_parameters``), or a coefficient is not finite.
        OverflowError
            When a coefficient is beyond the double range.

        Examples
        --------
        >>> from qiskit.quantum_info import SparsePauliOp
        >>> from velmora import PauliSum
        >>> op = SparsePauliOp(["ZZ", "XI"], coeffs=[1.0, 0.5])
        >>> PauliSum.from_qiskit(op).terms
        [('ZZ', (1+0j)), ('XI', (0.5+0j))]
        """
        from velmora._convert import qiskit_terms

        # A plain sum whatever class is asked (a TaperedSum is made by taper).
        return PauliSum(qiskit_terms(op))

    @classmethod
    def from_openfermion(cls, op: Any, n_qubits: int | None = None) -> PauliSum:
        """From an OpenFermion `QubitOperator` on `n_qubits` qubits.

        OpenFermion's qubit q is the q-th letter from the left, so the matrix
        equals ``get_sparse_operator(op, n_qubits)`` and states from
        OpenFermion pass unchanged. The terms come in the order of
        ``op.terms``; a factor repeated on one qubit is multiplied out. The
        identity term ``()`` becomes the label of n I's. OpenFermion is not
        imported: the object is recognised by its class.

        Parameters
        ----------
        op : openfermion.QubitOperator
            The operator, with numeric coefficients.
        n_qubits : int, optional
            The number of qubits n; default the highest qubit index used, plus
            one.

        Returns
        -------
        PauliSum
            The same operator on n qubits.

        Raises
        ------
        TypeError
            When `op` is not a `QubitOperator`, or a coefficient is symbolic
            or not a number.
        ValueError
            When `op` has no terms, acts on no qubit and `n_qubits` is not
            given, acts on a qubit >= `n_qubits`, or has a coefficient that is
            not finite.
        OverflowError
            When a coefficient is beyond the double range.

        Examples
        --------
        >>> from openfermion import QubitOperator
        >>> from velmora import PauliSum
        >>> op = QubitOperator("X0 Z1", 0.5) + QubitOperator("Z0", 1.0)
        >>> PauliSum.from_openfermion(op).terms
        [('XZ', (0.5+0j)), ('ZI', (1+0j))]
        >>> PauliSum.from_openfermion(op, n_qubits=3).terms
        [('XZI', (0.5+0j)), ('ZII', (1+0j))]
        """
        from velmora._convert import openfermion_terms

        return PauliSum(openfermion_terms(op, n_qubits))

    @classmethod
    def from_quspin(cls, static: Sequence[Any], num_sites: int, *, pauli: int = 1) -> PauliSum:
        """From QuSpin's static list ``[[opstr, [[J, i, j, ...], ...]], ...]``.

        QuSpin's site i is the letter i from the left (velmora's qubit
        num_sites - 1 - i) and its up spin is velmora's ``|0>``, so the matrix
        equals QuSpin's ``hamiltonian(static, [], basis=spin_basis_1d(num_sites,
        pauli=pauli)).toarray()`` entry by entry (see the qubit-order page).
        The letters: ``x``, ``y``, ``z`` are Pauli matrices for ``pauli=1``
        (QuSpin's default) and ``-1``, spin-1/2 operators (a factor 1/2) for
        ``pauli=0``; ``+`` and ``-`` (up from down, down from up) are
        ``X +- iY`` for ``pauli=1`` and ``(X +- iY) / 2`` otherwise; ``n`` is
        the occupation of the up state, ``(1 + Z) / 2`` (QuSpin's hard-core
        boson "n"), and ``I`` the identity. An operator string is the product
        of its letters in the written order on their sites (a site may
        repeat); the result is merged with exact phases, as ``H @ G``.

        Parameters
        ----------
        static : list of [str, list of lists]
            The operator strings, each with its couplings [J, site, ...] (one
            site per letter; J any finite number).
        num_sites : int
            The number of sites N >= 1 (qubits).
        pauli : {1, 0, -1}, optional
            QuSpin's `pauli` argument of the basis (default 1).

        Returns
        -------
        PauliSum
            The operator, each Pauli word once.

        Raises
        ------
        TypeError
            When `static` or an entry does not have QuSpin's shape, or a
            coefficient is not a number.
        ValueError
            When an operator string has another letter, a coupling has the
            wrong number of sites or a site out of range, a coefficient is not
            finite, `num_sites` < 1, `pauli` is not 1, 0 or -1, or there is no
            coupling at all.
        OverflowError
            When merged coefficients leave the double range.

        Examples
        --------
        >>> from velmora import PauliSum
        >>> hop = [["+-", [[0.5, 0, 1]]], ["-+", [[0.5, 0, 1]]], ["zz", [[1.0, 0, 1]]]]
        >>> PauliSum.from_quspin(hop, 2).terms     # sigma+ sigma- = (X + iY)(X - iY)
        [('XX', (1+0j)), ('YY', (1+0j)), ('ZZ', (1+0j))]
        >>> PauliSum.from_quspin(hop, 2, pauli=0).terms  # spin-1/2 operators
        [('XX', (0.25+0j)), ('YY', (0.25+0j)), ('ZZ', (0.25+0j))]
        >>> PauliSum.from_quspin([["n", [[2.0, 2]]]], 3).terms   # (1 + Z) on site 2
        [('III', (1+0j)), ('IIZ', (1+0j))]
        """
        from velmora._convert import quspin_terms

        return PauliSum(quspin_terms(static, num_sites, pauli))


def commutator(H: PauliSum, G: PauliSum) -> PauliSum:
    """[H, G] = HG - GH, merged with exact phases.

    Only the pairs of words that anticommute contribute (2 c d P Q each); the
    coefficients of each word are summed correctly rounded, in the order of
    first appearance (H's terms outer), and words that cancel exactly are
    dropped, so commuting sums give the zero identity.

    Parameters
    ----------
    H, G : PauliSum
        Operators on the same number of qubits.

    Returns
    -------
    PauliSum
        [H, G], each word once.

    Raises
    ------
    TypeError
        When H or G is not a PauliSum.
    ValueError
        When they act on different numbers of qubits.
    OverflowError
        When merged coefficients leave the double range.

    Examples
    --------
    >>> from velmora import PauliSum, commutator
    >>> commutator(PauliSum([("X", 1.0)]), PauliSum([("Z", 1.0)])).terms  # -2iY
    [('Y', -2j)]
    >>> from velmora.models import heisenberg_chain, total_z
    >>> commutator(heisenberg_chain(4), total_z(4)).terms                  # conserved
    [('IIII', 0j)]
    """
    for name, value in (("H", H), ("G", G)):
        if not isinstance(value, PauliSum):
            raise TypeError(f"{name} must be a velmora.PauliSum, got {type(value).__name__}")
    H._check_operand(G, "commutator")
    from velmora import _algebra

    return PauliSum(_algebra.commutator(H._terms, G._terms, H._num_qubits))
