"""Time-dependent sums by Taylor steps (the native `taylor_evolve`): the parts
and drives as the core takes them, and what it reports, as results."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np
from numpy.typing import NDArray

from velmora import _native
from velmora.pauli_sum import PauliSum
from velmora.sector import SectorOperator, keep_images
from velmora.time_dependent import TimeDependentSum, evaluate

#: A run's longest step by default: 1/SAMPLED_STEPS of its span, so that every
#: drive is sampled at a few hundred times (17 per step) whatever ||H|| is.
SAMPLED_STEPS = 20


@dataclass
class TaylorRun:
    """What a run returned."""

    states: NDArray[np.complex128] | None
    expectations: NDArray[np.complex128] | None
    error: float
    steps: int
    applications: int
    function_calls: int


def _norm_bound(part: PauliSum | SectorOperator) -> float:
    whole = part.pauli_sum if isinstance(part, SectorOperator) else part
    return math.fsum(abs(c) for _, c in whole.terms)


def default_max_step(span: float) -> float:
    return span / SAMPLED_STEPS if span > 0 else 1.0


def run(H: TimeDependentSum, psi: NDArray[np.complex128], t0: float, times: NDArray[np.float64],
        tol: float, threads: int, max_step: float | None, keep_states: bool,
        observables: list[Any], progress: Callable[[float], None] | None,
        comm: Any = None) -> TaylorRun:
    """Evolves psi (the state at t0) to the times under H by Taylor steps."""
    span = float(times[-1]) - t0
    step = default_max_step(span) if max_step is None else max_step
    # Constant PauliSum parts are merged into one (a pass per flip mask of all
    # their words); each distinct function is one drive, shared by its parts.
    operators: list[Any] = []
    drives: list[int] = []
    bounds: list[float] = []
    functions: list[Callable[[float], float]] = []
    owners: list[int] = []  # per drive, the index of its first part (for messages)
    constant: list[tuple[str, complex]] = []
    for index, (part, f) in enumerate(H.parts):
        if f is None and isinstance(part, PauliSum):
            constant.extend(part.terms)
            continue
        if f is None:
            drive = -1
        else:
            drive = next((k for k, g in enumerate(functions) if g is f), len(functions))
            if drive == len(functions):
                functions.append(f)
                owners.append(index)
        operators.append(part._operator)
        drives.append(drive)
        bounds.append(_norm_bound(part))
    if constant:
        merged = PauliSum(constant)
        operators.insert(0, merged._operator)
        drives.insert(0, -1)
        bounds.insert(0, _norm_bound(merged))
    if H.sector is not None:
        # Sector parts keep their images by the policy of every repeated product
        # (docs/concepts/memory.md), together with the observables measured.
        from velmora import evolution  # evolution imports this module
        held = [part for part, _ in H.parts if isinstance(part, SectorOperator)]
        held += [o for o in observables if hasattr(o, "image_bytes")]
        keep_images(held, evolution.default_memory_budget() // 2, threads)

    def sample(at: NDArray[np.float64]) -> NDArray[np.float64]:
        values = np.empty((len(functions), at.size))
        for k, f in enumerate(functions):
            values[k] = [evaluate(owners[k], f, float(t)) for t in at]
        return values

    try:
        out = _native.taylor_evolve(operators, drives, bounds, len(functions), sample, psi, t0,
                                    times, tol, threads, step, list(H.breakpoints), keep_states,
                                    observables, progress, comm)
    except ValueError as error:
        text = str(error)
        if text.startswith(("not smooth near", "the time-dependent evolution does not converge")):
            message, part, where = text.rsplit("|", 2)
            t = float(where)
            drive = drives[int(part)]
            index = owners[drive] if drive >= 0 else int(part)
            raise ValueError(f"f of part {index} is not smooth near t = {t:.6g}: pass "
                             f"breakpoints=[{t:.6g}] (or a smaller max_step for a narrow "
                             "feature)") from None
        raise
    states, expectations, error, steps, applications, calls, _ = out
    return TaylorRun(states, expectations, float(error), int(steps), int(applications),
                     int(calls))
