"""`ToleranceWarning`: a result that comes back with a reported error above the
tolerance asked for says so, once per call, naming the error, the tolerance
and the reason when it is known."""

from __future__ import annotations

import contextlib
import contextvars
import math
import os
import warnings
from collections.abc import Iterator

#: The smallest tol that real-time runs of a constant H meet is
#: max(SMALLEST_TOL, ROUNDING_PER_NORM_TIME * H.norm_bound * |t|).
SMALLEST_TOL = 1e-13
ROUNDING_PER_NORM_TIME = 5e-16

_PACKAGE = os.path.dirname(os.path.abspath(__file__))

# Set while a function of the package runs others on its behalf (correlation
# runs trajectories): the inner calls stay silent and the outer one warns once.
_quiet: contextvars.ContextVar[bool] = contextvars.ContextVar("velmora_quiet", default=False)


class ToleranceWarning(UserWarning):
    """A result's reported error exceeds the tolerance that was asked for.

    Issued once per call by `velmora.evolve`, `velmora.trajectory`,
    `velmora.correlation` and `velmora.eigsh` when the error they report is
    above `tol`, and by `velmora.spectral_function` when its chain stops
    unconverged. The message names the reported error, the tolerance and the
    reason when it is known (the rounding floor, the conditioning of
    imaginary or complex time, a tol below the smallest that can be met). The
    result is returned all the same, with its honest `error`.

    To make it an exception, set the warnings filter: ``warnings.simplefilter(
    "error", velmora.ToleranceWarning)`` (or ``python -W
    error::velmora.ToleranceWarning``); to silence it,
    ``warnings.simplefilter("ignore", velmora.ToleranceWarning)``.

    Examples
    --------
    >>> import warnings
    >>> import numpy as np
    >>> import velmora
    >>> from velmora import PauliSum, evolve
    >>> H = PauliSum([("ZI", 1e10), ("IX", 0.1), ("ZI", -1e10)])   # cancelling terms
    >>> psi = np.ones(4) / 2
    >>> with warnings.catch_warnings(record=True) as caught:
    ...     warnings.simplefilter("always")
    ...     result = evolve(H, psi, 1.0, tol=1e-10)
    >>> [w.category.__name__ for w in caught]
    ['ToleranceWarning']
    >>> bool(result.error > 1e-10)
    True
    >>> with warnings.catch_warnings():
    ...     warnings.simplefilter("error", velmora.ToleranceWarning)
    ...     evolve(H, psi, 1.0, tol=1e-10)
    Traceback (most recent call last):
    ...
    velmora.ToleranceWarning: evolve: the reported error ... exceeds tol = 1e-10; tol is
    below the smallest that a real-time run meets, ...
    """


ToleranceWarning.__module__ = "velmora"


@contextlib.contextmanager
def quiet() -> Iterator[None]:
    """Inner runs of a package function: their misses are the caller's to report."""
    token = _quiet.set(True)
    try:
        yield
    finally:
        _quiet.reset(token)


def warn(message: str) -> None:
    """Issues a ToleranceWarning attributed to the user's line that called the
    package (unless inside `quiet`)."""
    if _quiet.get():
        return
    warnings.warn(message, ToleranceWarning, skip_file_prefixes=(_PACKAGE,))


def smallest_tol(norm_bound: float, duration: float) -> float:
    """The smallest tol a real-time run of this length is documented to meet."""
    return max(SMALLEST_TOL, ROUNDING_PER_NORM_TIME * norm_bound * duration)


def real_time_reason(norm_bound: float, duration: float, tol: float) -> str:
    """Why a real-time run of a constant H reports more than tol."""
    floor = smallest_tol(norm_bound, duration)
    if tol < floor:
        return (f"tol is below the smallest that a real-time run meets, max(1e-13, "
                f"5e-16 * H.norm_bound * |t|) = {floor:.1e} (H.norm_bound = {norm_bound:.3g}: "
                "large or cancelling coefficients set the rounding floor)")
    return ("the rounding floor (a worst case that grows with the number of steps and with "
            "large or cancelling coefficients) exceeds tol; the state itself may meet it")


def complex_time_reason() -> str:
    return ("conditioning: in imaginary or complex time each step's error is weighted by its "
            "growth over the rest of the run relative to the result (an estimate), which is "
            "large when the state has little weight where the result grows (a small overlap "
            "with the ground state)")


def missed(what: str, error: float, tol: float, reason: str, where: str = "") -> str:
    """The message of a miss: '<what>: the reported error E<where> exceeds tol = T; <reason>'."""
    shown = f"{error:.1e}" if math.isfinite(error) else str(error)
    return f"{what}: the reported error {shown}{where} exceeds tol = {tol:g}; {reason}"
