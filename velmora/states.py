"""Quantities of state vectors: the reduced density matrix of a set of qubits
and its entanglement (Rényi) entropies, for full states and sector states."""

from __future__ import annotations

import math
import numbers
from collections.abc import Iterable
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from velmora._checks import check_memory


def _pure_state(psi: ArrayLike) -> tuple[NDArray[np.complex128], int]:
    """psi as a normalised complex128 vector, and its number of qubits."""
    array = np.asarray(psi)
    if array.ndim != 1:
        raise ValueError(f"psi must be a 1-D array of amplitudes, got shape {array.shape}")
    if not (np.issubdtype(array.dtype, np.number) or array.dtype == np.bool_):
        raise TypeError(f"psi must hold numbers, got dtype {array.dtype}")
    size = array.size
    if size == 0 or size & (size - 1):
        raise ValueError(f"psi has {size} amplitudes; a state of n qubits has 2^n")
    state = array.astype(np.complex128)
    if not np.all(np.isfinite(state)):
        raise ValueError("psi has non-finite amplitudes")
    # Scaled by the largest modulus first, so that the norm neither overflows
    # nor underflows.
    largest = float(np.max(np.abs(state)))
    if largest == 0.0:
        raise ValueError("psi is the zero vector; it has no normalised state")
    state /= largest
    state /= np.linalg.norm(state)
    return state, size.bit_length() - 1


def _subsystem(qubits: Iterable[int], num_qubits: int) -> list[int]:
    if isinstance(qubits, (numbers.Number, np.bool_, str, bytes)):
        raise TypeError(f"qubits must be a collection of qubit indices, got a single "
                        f"{type(qubits).__name__} (write [{qubits!r}] for one qubit)")
    try:
        items = list(qubits)
    except TypeError:
        raise TypeError("qubits must be a collection of qubit indices, got "
                        f"{type(qubits).__name__}") from None
    chosen: list[int] = []
    for item in items:
        if isinstance(item, (bool, np.bool_)) or not isinstance(item, numbers.Integral):
            raise TypeError(f"qubits must hold ints, got {item!r} ({type(item).__name__})")
        q = int(item)
        if not 0 <= q < num_qubits:
            raise ValueError(f"qubits: qubit {q} is outside 0..{num_qubits - 1} "
                             f"(psi has {num_qubits} qubits)")
        if q in chosen:
            raise ValueError(f"qubits: qubit {q} is given twice")
        chosen.append(q)
    return chosen


def _full_state(psi: ArrayLike, sector: Any) -> tuple[NDArray[np.complex128], int]:
    """psi normalised on all 2^n amplitudes: embedded first when it is a
    vector of `sector`."""
    if sector is None:
        return _pure_state(psi)
    from velmora.sector import Sector

    if not isinstance(sector, Sector):
        raise TypeError(f"sector must be a velmora.Sector or None, got {type(sector).__name__}")
    phi = sector._vector(psi, "psi", len(sector))
    if not np.all(np.isfinite(phi)):
        raise ValueError("psi has non-finite amplitudes")
    if not phi.any():
        raise ValueError("psi is the zero vector; it has no normalised state")
    return _pure_state(sector.embed(phi))


def _schmidt_matrix(state: NDArray[np.complex128], n: int,
                    chosen: list[int]) -> NDArray[np.complex128]:
    """psi as a 2^|A| x 2^(n - |A|) matrix: row index bit j is the bit of
    qubit chosen[j], column bits the other qubits in ascending order."""
    k = len(chosen)
    rest = [q for q in range(n) if q not in set(chosen)]
    # Tensor axis a holds the bit of qubit n - 1 - a (the most significant first);
    # the row index has chosen[-1] as its most significant bit, so chosen[j] is bit j.
    axes = [n - 1 - q for q in reversed(chosen)] + [n - 1 - q for q in reversed(rest)]
    return state.reshape((2,) * n).transpose(axes).reshape(1 << k, 1 << (n - k))


def reduced_density_matrix(psi: ArrayLike, qubits: Iterable[int], *,
                           sector: Any = None) -> NDArray[np.complex128]:
    """rho_A = tr_B ``|psi><psi|`` of the qubits A = `qubits`, the rest traced out.

    psi is normalised first, so ``trace(rho) == 1``. Bit j of rho's row and
    column index is the state of qubit ``qubits[j]`` (the first qubit given is
    the least significant bit, as qubit 0 is in a state's index): for
    ``qubits=[0, 1]`` rho is ordered as velmora's two-qubit states, and
    ``qubits=[1, 0]`` swaps the two. With a `sector`, psi is a sector vector
    (``len(sector)`` amplitudes), embedded on all 2^n amplitudes first.

    Parameters
    ----------
    psi : array_like
        The 2^n amplitudes of a state (any nonzero norm), or with `sector`
        its ``len(sector)`` amplitudes in the sector's basis.
    qubits : iterable of int
        The distinct qubits of A, each in 0..n - 1; at most 15.
    sector : velmora.Sector, optional
        The sector of a sector vector psi.

    Returns
    -------
    numpy.ndarray
        complex128 of shape (2^|A|, 2^|A|), Hermitian, positive semidefinite,
        trace 1 (the 1 x 1 matrix [[1]] for no qubits).

    Raises
    ------
    TypeError
        When psi does not hold numbers, `qubits` is not a collection of ints,
        or `sector` is not a Sector.
    ValueError
        When psi has the wrong length (2^n, or len(sector)), is zero or not
        finite; when a qubit is out of range or given twice, or more than 15
        are given.
    MemoryError
        When the embedded state or rho cannot fit.

    Examples
    --------
    >>> import numpy as np
    >>> from velmora import reduced_density_matrix
    >>> bell = np.array([1, 0, 0, 1]) / np.sqrt(2)
    >>> reduced_density_matrix(bell, [0]).real
    array([[0.5, 0. ],
           [0. , 0.5]])
    >>> psi = np.zeros(8); psi[0b110] = 1                   # qubits 1 and 2 in state 1
    >>> np.flatnonzero(np.diag(reduced_density_matrix(psi, [0, 2]).real)).tolist()
    [2]
    """
    state, n = _full_state(psi, sector)
    chosen = _subsystem(qubits, n)
    if len(chosen) > 15:
        raise ValueError(f"qubits: rho of {len(chosen)} qubits has 4^{len(chosen)} entries; "
                         "at most 15 qubits")
    check_memory(16 << (2 * len(chosen)), "reduced_density_matrix",
                 f"a matrix of 4^{len(chosen)} entries")
    matrix = _schmidt_matrix(state, n, chosen)
    rho = matrix @ matrix.conj().T
    return np.ascontiguousarray((rho + rho.conj().T) / 2)


def entanglement_entropy(psi: ArrayLike, qubits: Iterable[int], *, alpha: float = 1,
                         base: float = 2, sector: Any = None) -> float:
    """The Rényi entropy of order `alpha` of the qubits in `qubits` for the pure state psi.

    S_alpha(A) = log(tr rho_A^alpha) / (1 - alpha), where rho_A is the reduced
    density matrix of the qubits A = `qubits` (the rest traced out); alpha = 1
    (the default) is the von Neumann entropy -tr(rho_A log rho_A), alpha =
    inf the min-entropy -log(max eigenvalue of rho_A). For a pure state S(A)
    equals S of the complement, 0 for a product state across the cut, and at
    most ``min(|A|, n - |A|)`` bits; it does not increase with alpha. psi is
    normalised first. The entropy comes from the singular values of psi
    arranged as a ``2^|A| x 2^(n - |A|)`` matrix. With a `sector`, psi is a
    sector vector, embedded on all 2^n amplitudes first.

    Parameters
    ----------
    psi : array_like
        The 2^n amplitudes of a state (any nonzero norm); qubit 0 is the least
        significant bit of an amplitude index, as everywhere in velmora. With
        `sector`, its ``len(sector)`` amplitudes in the sector's basis.
    qubits : iterable of int
        The distinct qubits of A, each in 0..n - 1. Empty, or all n qubits,
        give 0.
    alpha : float, optional
        The order, > 0 (``math.inf`` allowed); default 1, von Neumann's.
    base : float, optional
        The base of the logarithm: 2 (the default) gives bits, ``math.e`` nats.
    sector : velmora.Sector, optional
        The sector of a sector vector psi.

    Returns
    -------
    float
        S_alpha(A) >= 0, in units of log(base).

    Raises
    ------
    TypeError
        When psi does not hold numbers, `qubits` is not a collection of ints,
        `alpha` or `base` is not a real number, or `sector` is not a Sector.
    ValueError
        When psi has the wrong length (2^n, or len(sector)), is zero or not
        finite; when a qubit is out of range or given twice; when `base` is
        not a finite number > 1 or `alpha` is not > 0.
    MemoryError
        When a sector vector's embedded state cannot fit.

    Examples
    --------
    >>> import numpy as np
    >>> from velmora import entanglement_entropy
    >>> bell = np.array([1, 0, 0, 1]) / np.sqrt(2)      # (|00> + |11>) / sqrt(2)
    >>> round(entanglement_entropy(bell, [0]), 12)
    1.0
    >>> round(entanglement_entropy(bell, {1}, base=np.e), 10)  # ln 2
    0.6931471806
    >>> entanglement_entropy([1, 0, 0, 0, 0, 0, 0, 0], [0, 2])
    0.0

    The ground state of the 6-spin Ising chain across its middle bond, and
    its Rényi-2 and min-entropies:

    >>> from velmora import eigsh
    >>> from velmora.models import ising_chain
    >>> ground = eigsh(ising_chain(6)).eigenvectors[0]
    >>> round(entanglement_entropy(ground, [0, 1, 2]), 6)
    0.473187
    >>> round(entanglement_entropy(ground, [3, 4, 5]), 6)     # the complement: the same
    0.473187
    >>> [round(entanglement_entropy(ground, [0, 1, 2], alpha=a), 6)
    ...  for a in (2, np.inf)]
    [0.28817, 0.153026]

    A state of a sector, without embedding it by hand:

    >>> from velmora import Sector
    >>> from velmora.models import heisenberg_chain
    >>> sector = Sector.chain(8, weight=4, momentum=0)
    >>> H = heisenberg_chain(8, periodic=True).in_sector(sector)
    >>> phi = eigsh(H).eigenvectors[0]
    >>> bool(abs(entanglement_entropy(phi, range(4), sector=sector)
    ...          - entanglement_entropy(sector.embed(phi), range(4))) < 1e-12)
    True
    """
    if isinstance(base, (bool, np.bool_)) or not isinstance(base, numbers.Real):
        raise TypeError(f"base must be a real number, got {type(base).__name__}")
    log_base = float(base)
    if not (math.isfinite(log_base) and log_base > 1.0):
        raise ValueError(f"base must be a finite number > 1, got {log_base}")
    if isinstance(alpha, (bool, np.bool_)) or not isinstance(alpha, numbers.Real):
        raise TypeError(f"alpha must be a real number, got {type(alpha).__name__}")
    order = float(alpha)
    if not order > 0.0:  # NaN too
        raise ValueError(f"alpha must be > 0 (math.inf for the min-entropy), got {order}")
    state, n = _full_state(psi, sector)
    chosen = _subsystem(qubits, n)
    k = len(chosen)
    if k == 0 or k == n:
        return 0.0
    singular = np.linalg.svd(_schmidt_matrix(state, n, chosen), compute_uv=False)
    p = singular * singular
    p = p[p > 0.0] / p.sum()
    if order == 1.0:
        entropy = -float(np.sum(p * np.log(p)))
    elif math.isinf(order):
        entropy = -math.log(float(np.max(p)))
    else:
        # log(sum p^alpha) from the largest p out: no overflow or underflow of p^alpha.
        largest = float(np.max(p))
        entropy = (order * math.log(largest)
                   + math.log(float(np.sum((p / largest) ** order)))) / (1.0 - order)
    entropy /= math.log(log_base)
    return entropy if entropy > 0.0 else 0.0  # no -0.0 or rounding below zero
