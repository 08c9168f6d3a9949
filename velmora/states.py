"""Quantities of state vectors: the entanglement entropy of a set of qubits."""

from __future__ import annotations

import math
import numbers
from collections.abc import Iterable

import numpy as np
from numpy.typing import ArrayLike, NDArray


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


def entanglement_entropy(psi: ArrayLike, qubits: Iterable[int], *,
                         base: float = 2) -> float:
    """The von Neumann entropy of the qubits in `qubits` for the pure state psi.

    S(A) = -tr(rho_A log rho_A), where rho_A is the reduced density matrix of
    the qubits A = `qubits` (the rest traced out). For a pure state S(A) equals
    S of the complement, 0 for a product state across the cut, and at most
    ``min(|A|, n - |A|)`` bits. psi is normalised first. The entropy comes
    from the singular values of psi arranged as a ``2^|A| x 2^(n - |A|)``
    matrix.

    Parameters
    ----------
    psi : array_like
        The 2^n amplitudes of a state (any nonzero norm); qubit 0 is the least
        significant bit of an amplitude index, as everywhere in velmora.
    qubits : iterable of int
        The distinct qubits of A, each in 0..n - 1. Empty, or all n qubits,
        give 0.
    base : float, optional
        The base of the logarithm: 2 (the default) gives bits, ``math.e`` nats.

    Returns
    -------
    float
        S(A) >= 0, in units of log(base).

    Raises
    ------
    TypeError
        When psi does not hold numbers, `qubits` is not a collection of ints,
        or `base` is not a real number.
    ValueError
        When psi is not 1-D, its length is not a power of two, it is zero or
        not finite; when a qubit is out of range or given twice; when `base`
        is not a finite number > 1.

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

    The ground state of the 6-spin Ising chain across its middle bond:

    >>> from velmora import eigsh
    >>> from velmora.models import ising_chain
    >>> ground = eigsh(ising_chain(6)).eigenvectors[0]
    >>> round(entanglement_entropy(ground, [0, 1, 2]), 6)
    0.473187
    >>> round(entanglement_entropy(ground, [3, 4, 5]), 6)     # the complement: the same
    0.473187
    """
    if isinstance(base, (bool, np.bool_)) or not isinstance(base, numbers.Real):
        raise TypeError(f"base must be a real number, got {type(base).__name__}")
    log_base = float(base)
    if not (math.isfinite(log_base) and log_base > 1.0):
        raise ValueError(f"base must be a finite number > 1, got {log_base}")
    state, n = _pure_state(psi)
    chosen = _subsystem(qubits, n)
    k = len(chosen)
    if k == 0 or k == n:
        return 0.0
    # Tensor axis a holds the bit of qubit n - 1 - a (the most significant first).
    axes_a = [n - 1 - q for q in chosen]
    taken = set(axes_a)
    axes_b = [a for a in range(n) if a not in taken]
    matrix = state.reshape((2,) * n).transpose(axes_a + axes_b).reshape(1 << k, 1 << (n - k))
    singular = np.linalg.svd(matrix, compute_uv=False)
    p = singular * singular
    p = p[p > 0.0] / p.sum()
    entropy = -float(np.sum(p * np.log(p))) / math.log(log_base)
    return entropy if entropy > 0.0 else 0.0  # no -0.0 or rounding below zero
