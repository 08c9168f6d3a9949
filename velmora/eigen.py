"""Eigenpairs of Pauli sums without a matrix: `eigsh`, thick-restart Lanczos on
the package's own products H @ v."""

from __future__ import annotations

import numbers
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from velmora import _native, _tolerance
from velmora._threads import resolve_num_threads
from velmora.evolution import _check_budget, _check_hamiltonian, _check_tol, _with_images
from velmora.pauli_sum import PauliSum
from velmora.sector import SectorOperator

#: The largest Krylov basis `eigsh` builds per cycle.
MAX_EIGSH_KRYLOV_DIM = 256

#: Products H @ v after which `eigsh` gives up by default.
DEFAULT_MAX_PRODUCTS = 10_000


@dataclass(frozen=True)
class EigshResult:
    """The result of `eigsh`.

    The eigenpairs found and the work done; the record is immutable. dim is
    2^n, or len(H) for a `SectorOperator`.

    Parameters
    ----------
    eigenvalues, eigenvectors, residuals, applications, check_applications, restarts, norm_estimate, reorthogonalizations
        The attributes below, in this order; `eigsh` makes the record.

    Attributes
    ----------
    eigenvalues : numpy.ndarray
        Ascending, float64 of shape (k,).
    eigenvectors : numpy.ndarray
        One unit eigenvector per row, in the order of `eigenvalues`: complex128
        of shape (k, dim) (SciPy's `eigsh` returns them as columns).
    residuals : numpy.ndarray
        float64 of shape (k,):
        ||H v - lambda v|| of each row v, computed from v itself, plus a bound
        of the rounding of the product. For Hermitian H an eigenvalue of H lies
        within `residuals[i]` of `eigenvalues[i]`, and the residual bounds the
        error of the vector by ``residual / gap`` (gap: the distance to the
        rest of the spectrum).
    applications : int
        Products H @ v, the check for missed eigenvalues and the final
        residuals included.
    check_applications : int
        Products spent by the check for missed eigenvalues.
    restarts : int
        Thick restarts of the basis.
    norm_estimate : float
        The largest ``|Ritz value|`` seen: `tol` is relative to it.
    reorthogonalizations : int
        Basis vectors orthogonalised against the whole basis; the others were
        orthogonalised against their predecessors only, while the estimates of
        their overlaps with the rest stayed below 1e-12.

    Examples
    --------
    >>> import numpy as np
    >>> from velmora import eigsh
    >>> from velmora.models import ising_chain
    >>> H = ising_chain(6)
    >>> result = eigsh(H, k=2)
    >>> result.eigenvalues.shape, result.eigenvectors.shape, result.residuals.shape
    ((2,), (2, 64), (2,))
    >>> v, e = result.eigenvectors[0], result.eigenvalues[0]
    >>> bool(np.linalg.norm(H.apply(v) - e * v) <= result.residuals[0])
    True
    """

    eigenvalues: NDArray[np.float64]
    eigenvectors: NDArray[np.complex128]
    residuals: NDArray[np.float64]
    applications: int
    check_applications: int
    restarts: int
    norm_estimate: float
    reorthogonalizations: int


class ConvergenceError(RuntimeError):
    """`eigsh` ran out of products before every pair met the tolerance.

    The pairs reached so far, with their residuals, are in `result`. A
    subclass of `RuntimeError`; ``str(error)`` says the tolerance, the limit
    and the largest residual, and what to change.

    Parameters
    ----------
    message : str
        The message of the exception.
    result : EigshResult
        The pairs found when the products ran out.

    Attributes
    ----------
    result : EigshResult
        The pairs found, in the order of `eigsh`'s result: their eigenvalues
        are within ``residuals`` of eigenvalues of H, though not necessarily
        the extreme ones yet.

    Examples
    --------
    >>> from velmora import ConvergenceError, eigsh
    >>> from velmora.models import ising_chain
    >>> try:
    ...     eigsh(ising_chain(8), k=2, max_products=30)
    ... except ConvergenceError as error:
    ...     print(error.result.eigenvalues.round(4))
    ...     print(bool(error.result.residuals.max() > 1e-9))   # not converged
    [-9.838  -9.4689]
    True
    """

    def __init__(self, message: str, result: EigshResult) -> None:
        super().__init__(message)
        self.result = result


def _check_k(k: object, dim: int) -> int:
    if isinstance(k, bool) or not isinstance(k, numbers.Integral):
        raise TypeError(f"k must be an int, got {type(k).__name__}")
    if not 1 <= k <= dim:
        raise ValueError(f"k must be in 1..{dim} (the dimension of H's space), got {k}")
    return int(k)


def _check_positive_int(value: object, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be >= 1, got {value}")
    return int(value)


def _krylov_dim(krylov_dim: int | None, k: int, dim: int, budget: int) -> int:
    """ARPACK's default, max(2k + 1, 20), lowered to what the budget holds (the
    basis of krylov_dim + 1 vectors and the k results), never
    below k + 2."""
    least = min(k + 2, dim + 1)
    if krylov_dim is None:
        wanted = min(max(2 * k + 1, 20), MAX_EIGSH_KRYLOV_DIM, max(dim, least))
        fits = budget // (16 * dim) - 1 - k
        return max(least, min(wanted, fits))
    value = _check_positive_int(krylov_dim, "krylov_dim")
    if not min(k, dim - 1) < value <= MAX_EIGSH_KRYLOV_DIM:
        raise ValueError(
            f"krylov_dim must be in {min(k, dim - 1) + 1}..{MAX_EIGSH_KRYLOV_DIM} (more than k), "
            f"got {value}")
    return value


def eigsh(H: PauliSum | SectorOperator, k: int = 1, *, which: str = "SA", tol: float = 1e-10,
          v0: ArrayLike | None = None, krylov_dim: int | None = None,
          num_threads: int | None = None, memory_budget: int | None = None,
          max_products: int | None = None, check_missed: bool = True,
          progress: bool = False) -> EigshResult:
    """The `k` smallest (or largest) eigenvalues of a Hermitian H and their
    eigenvectors, without building a matrix.

    Thick-restart Lanczos (Wu & Simon 2000) with partial reorthogonalisation
    (Simon 1984: a vector is orthogonalised against the whole basis when the
    estimates of its overlaps exceed 1e-12): a cycle grows an orthonormal
    basis of `krylov_dim` vectors by products H @ v,
    the Ritz pairs of H on that basis estimate their residuals, and a restart
    keeps the best Ritz vectors. A pair has converged when its residual is at
    most ``tol * max |Ritz value|`` (``tol`` relative to the estimate of
    ||H||). A Krylov space grown from one vector holds one vector of each
    eigenspace, so the partner of a degenerate eigenvalue can be missed; with
    `check_missed` (the default), a second run from a fixed pseudo-random
    vector orthogonal to the vectors found looks for a better eigenvalue in
    their complement and swaps it in. Every sum runs in a fixed order: the
    results are the same bytes for every `num_threads`.

    Parameters
    ----------
    H : PauliSum or SectorOperator
        Hermitian (real coefficients).
    k : int, optional
        Eigenpairs wanted, 1 <= k <= dim (default 1); dim is 2^n, or len(H)
        for a SectorOperator.
    which : {"SA", "LA"}, optional
        Smallest (default) or largest algebraic eigenvalues.
    tol : float, optional
        Relative residual, in (0, 1) (default 1e-10).
    v0 : array_like, optional
        Starting vector (dim amplitudes, not zero); by default a fixed
        pseudo-random vector, so that runs repeat exactly. A v0 inside a
        symmetry sector keeps the run inside that sector.
    krylov_dim : int, optional
        Basis vectors per cycle, k < krylov_dim <= 256; by default
        max(2k + 1, 20) (ARPACK's default), lowered to what `memory_budget`
        holds.
    num_threads : int, optional
        Threads (None: as `evolve`); the bytes do not depend on it.
    memory_budget : int, optional
        Bytes for the basis and the results (default:
        ``velmora.evolution.default_memory_budget()``).
    max_products : int, optional
        Products H @ v after which the run gives up (default 10,000). It is
        checked at the end of each restart cycle, so a run may go up to one
        cycle (at most `krylov_dim` products) past it.
    check_missed : bool, optional
        Run the check for missed eigenvalues (default True; costs extra
        products; False behaves like ARPACK, which has no such check).
    progress : bool, optional
        Show a progress bar (tqdm) of the products and converged pairs
        (default False).

    Returns
    -------
    EigshResult
        `eigenvalues` (ascending), `eigenvectors` (rows), `residuals` (bounds of
        each eigenvalue's error), and the work done.

    Raises
    ------
    TypeError
        When H is not a PauliSum or SectorOperator; k, `krylov_dim`,
        `max_products`, `memory_budget` or `num_threads` is not an int (or
        None where allowed); tol is not a real number; v0 does not hold
        numbers; `check_missed` is not a bool. The message names the
        argument.
    ValueError
        When H is not Hermitian or its sector is empty; k is outside 1..dim;
        `which` is not "SA" or "LA"; tol is outside (0, 1); `krylov_dim` is
        outside min(k + 1, dim)..256; `max_products` < 1;
        `memory_budget` or `num_threads` is negative; v0 has the wrong shape,
        a non-finite amplitude or is zero. The message names the argument.
    MemoryError
        When the basis of k + 3 vectors does not fit the memory this process
        can have.
    ConvergenceError
        When `max_products` run out first; its `result` holds what was found.
    KeyboardInterrupt
        On Ctrl-C (checked between cycles).

    Warns
    -----
    ToleranceWarning
        When the run converged but a residual computed from a returned vector
        exceeds ``tol * norm_estimate``: the residuals include a bound of the
        rounding of H @ v, which large or cancelling coefficients, or a tol
        near the double precision, make larger than that.

    Examples
    --------
    The three lowest levels of the 6-spin Ising chain, against the
    eigenvalues of its matrix:

    >>> import numpy as np
    >>> from velmora import eigsh
    >>> from velmora.models import ising_chain
    >>> H = ising_chain(6)
    >>> result = eigsh(H, k=3)
    >>> [round(float(e), 6) for e in result.eigenvalues]
    [-7.29623, -6.814083, -5.87781]
    >>> dense = np.linalg.eigvalsh(H.to_sparse().toarray())
    >>> bool(np.allclose(result.eigenvalues, dense[:3]))
    True
    >>> bool(result.residuals.max() < 1e-8), result.eigenvectors.shape
    (True, (3, 64))

    The largest eigenvalue, and the ground state inside a symmetry sector:

    >>> round(float(eigsh(H, which="LA").eigenvalues[0]), 6)
    7.29623
    >>> from velmora import Sector
    >>> from velmora.models import heisenberg_chain
    >>> sector = Sector.chain(8, weight=4, momentum=0)
    >>> ring = heisenberg_chain(8, periodic=True).in_sector(sector)
    >>> round(float(eigsh(ring).eigenvalues[0]), 6)
    -14.604374
    """
    H = _check_hamiltonian(H)
    dim = len(H) if isinstance(H, SectorOperator) else 2**H.num_qubits
    count = _check_k(k, dim)
    if which not in ("SA", "LA"):
        raise ValueError(f"which must be 'SA' or 'LA', got {which!r}")
    tolerance = _check_tol(tol)
    _check_budget(memory_budget)
    if krylov_dim is not None:
        _krylov_dim(krylov_dim, count, dim, 2**64 - 1)
    limit = DEFAULT_MAX_PRODUCTS if max_products is None else _check_positive_int(
        max_products, "max_products")
    if not isinstance(check_missed, (bool, np.bool_)):
        raise TypeError("check_missed must be True or False")
    start: NDArray[np.complex128] | None = None
    if v0 is not None:
        start = H._state(v0, "v0")
        if not np.isfinite(start).all():
            raise ValueError("v0 has a non-finite amplitude")
        if not start.any():
            raise ValueError("v0 must not be zero")
    threads = resolve_num_threads(num_threads)
    basis = _krylov_dim(krylov_dim, count, dim, _with_images(H, memory_budget, threads))
    bar = _ProductBar(count) if progress else None
    try:
        (values, vectors, residuals, products, restarts, check_products, converged, norm,
         reorthogonalizations) = _native.eigenpairs(H._operator, start, count, which == "LA", tolerance, basis,
                                    limit, threads, bool(check_missed), bar)
    finally:
        if bar is not None:
            bar.close()
    result = EigshResult(values, vectors, residuals, int(products), int(check_products),
                         int(restarts), float(norm), int(reorthogonalizations))
    if not converged:
        raise ConvergenceError(
            f"eigsh did not reach tol={tolerance:g} within {limit} products H @ v (largest "
            f"residual {float(np.max(residuals)):.3g}); raise max_products or krylov_dim, or "
            "loosen tol. The pairs found are in this exception's `result`.", result)
    _warn_residuals(result, tolerance)
    return result


def _warn_residuals(result: EigshResult, tol: float) -> None:
    """One ToleranceWarning when a residual computed from a returned vector
    exceeds tol * norm_estimate although the run converged: the residuals
    include a bound of the rounding of H @ v, which the Lanczos estimates do
    not see (large or cancelling coefficients, or a tol near eps)."""
    allowed = tol * result.norm_estimate
    if result.residuals.size == 0 or not np.any(result.residuals > allowed):
        return
    worst = int(np.argmax(result.residuals))
    _tolerance.warn(
        f"eigsh: the residual {result.residuals[worst]:.1e} of eigenvalue {worst} exceeds "
        f"tol * norm_estimate = {tol:g} * {result.norm_estimate:.3g}; the residuals, computed "
        "from the returned vectors, include a bound of the rounding of H @ v, which large or "
        "cancelling coefficients or a tol near the double precision make larger than that")


class _ProductBar:
    """A tqdm counter of products, with the pairs converged."""

    def __init__(self, k: int) -> None:
        from tqdm.auto import tqdm

        self._bar: Any = tqdm(unit=" products", desc=f"eigsh (k={k})")
        self._done = 0

    def __call__(self, products: int, converged: int) -> None:
        self._bar.update(products - self._done)
        self._bar.set_postfix(converged=converged, refresh=False)
        self._done = products

    def close(self) -> None:
        self._bar.close()
