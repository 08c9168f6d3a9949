r"""Commutator-free quasi-Magnus integrators for :math:`H(t) = \sum_k f_k(t) P_k`.

One step of length h from t applies J exponentials of linear combinations of
H at the Gauss-Legendre nodes :math:`t + c_i h`, first row first:

.. math::

    \psi(t + h) &\approx e^{-i h B_J} \cdots e^{-i h B_1} \psi(t), \\
    B_j &= \sum_i A_{ji} H(t + c_i h) = \sum_k \Bigl(\sum_i A_{ji} f_k(t + c_i h)\Bigr) P_k .

Each :math:`B_j` is one Pauli sum whose words are fixed for the run
(`_native.WeightedSum`: the words of all parts merged and split once) and
whose coefficients are set before the exponential, which the Krylov engine
computes within its share of the tolerance.

Step control by step doubling: a step of length 2h is taken once as one step
and once as two steps of h; for a scheme of order p the local errors scale as
:math:`h^{p+1}`, so the error of the two half steps is about
:math:`\lVert\psi_\mathrm{big} - \psi_\mathrm{halves}\rVert / (2^p - 1)`. The
run goes on from the half steps; `SAFETY` times the estimate is kept below the
time discretisation's share of tol per unit time and added to `error`. The
estimate is asymptotic (it holds once the steps resolve H(t)), not a bound.

The public names: `SCHEMES`, the schemes by order (the `order` that
`velmora.evolve` and `velmora.trajectory` accept), each a `Scheme`, and
`default_order`, the order that ``order=None`` chooses from tol. The
integrator itself is internal: it runs through `velmora.evolve`.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np
from numpy.typing import NDArray

from velmora import _native
from velmora._threads import resolve_num_threads
from velmora.pauli_sum import PauliSum
from velmora.time_dependent import TimeDependentSum, evaluate

__all__ = ["SCHEMES", "Scheme", "default_order"]

#: The error estimate is multiplied by this before it is compared with the
#: tolerance and added to `error`: it is asymptotic, not a bound.
SAFETY = 4.0

#: Shares of tol: the time discretisation (estimates times SAFETY) and the
#: Krylov exponentials; the rest is left to rounding.
TIME_SHARE = 0.5
KRYLOV_SHARE = 0.25


@dataclass(frozen=True)
class Scheme:
    """exp(-i h B_J) ... exp(-i h B_1) with B_j = sum_i rows[j][i] H(t + nodes[i] h).

    A commutator-free quasi-Magnus scheme: one step of length h from t
    evaluates H at the nodes t + c_i h and applies J exponentials, the one of
    the first row first. The schemes velmora uses are in `SCHEMES`; the
    record is immutable.

    Parameters
    ----------
    name, order, nodes, rows
        The attributes below, in this order.

    Attributes
    ----------
    name : str
        "CF<order>:<exponentials>", as in the literature (e.g. "CF4:2").
    order : int
        The order p: the local error of a step scales as h^(p+1).
    nodes : tuple of float
        The Gauss-Legendre nodes c_i on [0, 1], ascending.
    rows : tuple of tuple of float
        The coefficients A[j][i] of H(t + c_i h) in B_j, one row of
        len(nodes) per exponential, in the order the exponentials act.

    Examples
    --------
    >>> from velmora.quasi_magnus import SCHEMES
    >>> scheme = SCHEMES[4]
    >>> scheme.name, scheme.order, scheme.exponentials
    ('CF4:2', 4, 2)
    >>> [round(c, 6) for c in scheme.nodes]
    [0.211325, 0.788675]
    >>> round(sum(map(sum, scheme.rows)), 12)      # consistent: the weights sum to 1
    1.0
    """

    name: str
    order: int
    nodes: tuple[float, ...]
    rows: tuple[tuple[float, ...], ...]

    @property
    def exponentials(self) -> int:
        """The number J of exponentials of a step.

        An int: ``len(rows)``. Each costs a Krylov exponential, so a step's
        cost grows with it.

        Examples
        --------
        >>> from velmora.quasi_magnus import SCHEMES
        >>> {order: scheme.exponentials for order, scheme in SCHEMES.items()}
        {4: 2, 6: 4, 8: 8}
        """
        return len(self.rows)


def _gauss_nodes(count: int) -> tuple[float, ...]:
    """The Gauss-Legendre nodes on [0, 1], ascending."""
    if count == 2:
        return (0.5 - math.sqrt(3.0) / 6.0, 0.5 + math.sqrt(3.0) / 6.0)
    if count == 3:
        return (0.5 - math.sqrt(15.0) / 10.0, 0.5, 0.5 + math.sqrt(15.0) / 10.0)
    if count == 4:
        outer = math.sqrt((15.0 + 2.0 * math.sqrt(30.0)) / 140.0)
        inner = math.sqrt((15.0 - 2.0 * math.sqrt(30.0)) / 140.0)
        return (0.5 - outer, 0.5 - inner, 0.5 + inner, 0.5 + outer)
    raise ValueError(count)


_GL2 = _gauss_nodes(2)
_GL3 = _gauss_nodes(3)
_GL4 = _gauss_nodes(4)

#: Order 4, two exponentials (Blanes & Moan 2006; Alvermann & Fehske 2011).
CF4 = Scheme("CF4:2", 4, _GL2, (
    (0.25 + math.sqrt(3.0) / 6.0, 0.25 - math.sqrt(3.0) / 6.0),
    (0.25 - math.sqrt(3.0) / 6.0, 0.25 + math.sqrt(3.0) / 6.0),
))

#: Order 6, four exponentials on three Gauss nodes (Blanes, Casas &
#: Thalhammer 2017).
CF6 = Scheme("CF6:4", 6, _GL3, (
    (7.9124225942889763e-01, -8.0400755305553218e-02, 1.2765293626634554e-02),
    (-4.8931475164583259e-01, 5.4170980027798808e-02, -1.2069823881924156e-02),
    (-2.9025638294289255e-02, 5.0138457552775674e-01, -2.5145341733509552e-02),
    (4.8759082890019896e-03, -3.0710355805557892e-02, 3.0222764976657693e-01),
))

#: Order 8, eight exponentials on four Gauss nodes (Blanes, Casas &
#: Thalhammer 2017).
CF8 = Scheme("CF8:8", 8, _GL4, (
    (1.84808462624313039047e-01, -2.07206621202004201439e-02,
     5.02711867953985524846e-03, -1.02882825365674947238e-03),
    (-2.34494788701189042407e-02, 4.21259009948623260268e-01,
     -4.74878986332597661320e-02, 9.04478813619618482626e-03),
    (4.46203609236170079455e-02, -2.12369356865717369483e-01,
     5.69989517802253965907e-01, 6.02984678266997385471e-03),
    (-4.93752515735367769884e-02, 2.32989476865882554115e-01,
     -6.22614628245849008467e-01, 3.27752279924315371495e-03),
    (3.27752279924315371495e-03, -6.22614628245849008467e-01,
     2.32989476865882554115e-01, -4.93752515735367769884e-02),
    (6.02984678266997385471e-03, 5.69989517802253965907e-01,
     -2.12369356865717369483e-01, 4.46203609236170079455e-02),
    (9.04478813619618482626e-03, -4.74878986332597661320e-02,
     4.21259009948623260268e-01, -2.34494788701189042407e-02),
    (-1.02882825365674947238e-03, 5.02711867953985524846e-03,
     -2.07206621202004201439e-02, 1.84808462624313039047e-01),
))

#: The schemes by order: {4: CF4:2, 6: CF6:4, 8: CF8:8}, each a `Scheme`; the
#: keys are the values of `order` that `velmora.evolve` and
#: `velmora.trajectory` accept for a `velmora.TimeDependentSum`.
#:
#: Examples
#: --------
#: >>> from velmora.quasi_magnus import SCHEMES
#: >>> {order: scheme.name for order, scheme in SCHEMES.items()}
#: {4: 'CF4:2', 6: 'CF6:4', 8: 'CF8:8'}
SCHEMES: dict[int, Scheme] = {4: CF4, 6: CF6, 8: CF8}


def default_order(tol: float) -> int:
    """The order that ``order=None`` chooses for a tolerance.

    The cost of a step grows with the order (2, 4 and 8 exponentials) and its
    length as tol^(1/order): on driven and ramped Ising chains of 10 to 16
    spins order 6 took the fewest products at tol >= 1e-6, order 8 below
    (order 4 never did).

    Parameters
    ----------
    tol : float
        The tolerance of the run, in (0, 1) (`velmora.evolve` checks it).

    Returns
    -------
    int
        6 when tol >= 1e-6, else 8: a key of `SCHEMES`.

    Examples
    --------
    >>> from velmora.quasi_magnus import SCHEMES, default_order
    >>> default_order(1e-6), default_order(1e-12)
    (6, 8)
    >>> SCHEMES[default_order(1e-12)].name
    'CF8:8'
    """
    return 6 if tol >= 1e-6 else 8


class Generator:
    """The linear combinations B = sum_k w_k P_k of a TimeDependentSum's
    parts as one compiled sum (`_native.WeightedSum`): the distinct words of
    all parts in order of first appearance, compiled and split once, and a
    table of their coefficients per part. The parts' diagonals are kept when
    they take at most `diagonal_budget` bytes."""

    def __init__(self, H: TimeDependentSum, threads: int, diagonal_budget: int) -> None:
        index: dict[str, int] = {}
        for part, _ in H.parts:
            for label, _ in part.terms:
                index.setdefault(label, len(index))
        table = np.zeros((len(H.parts), len(index)))
        for k, (part, _) in enumerate(H.parts):
            for label, coeff in part.terms:
                table[k, index[label]] += coeff.real
        words = PauliSum([(label, 1.0) for label in index])
        self.threads = threads
        self.sum = _native.WeightedSum(words._operator, table, diagonal_budget, threads)

    def set(self, weights: list[float]) -> None:
        """B = sum_k weights[k] P_k."""
        self.sum.set_weights(np.array(weights, dtype=np.float64), self.threads)


def _norm(v: NDArray[np.complex128]) -> float:
    """||v||_2 by NumPy's pairwise sum (the same bits on every run, unlike a
    threaded BLAS)."""
    return math.sqrt(float(np.sum(v.real * v.real + v.imag * v.imag)))


@dataclass
class Run:
    """What a run did, for the result objects."""

    error: float = 0.0
    steps: int = 0
    applications: int = 0
    function_calls: int = 0
    kept_basis: bool = True


class Integrator:
    """Evolves psi under a TimeDependentSum from t0 through ascending output
    times: steps of the scheme chosen by `order` (None: from tol), controlled
    by step doubling, landing on the breakpoints and the last time."""

    def __init__(self, H: TimeDependentSum, tol: float, num_threads: int | None,
                 krylov_dim: int, budget: int, order: int | None) -> None:
        self.H = H
        self.tol = tol
        self.threads = resolve_num_threads(num_threads)
        self.krylov_dim = krylov_dim
        self.budget = budget
        self.scheme = SCHEMES[default_order(tol) if order is None else order]
        self.generator = Generator(H, self.threads, budget // 4)
        self.run = Run()

    def _values(self, t: float, h: float) -> list[list[float]]:
        """f_k at the nodes, per part (1 for a constant part)."""
        nodes = [t + c * h for c in self.scheme.nodes]
        values: list[list[float]] = []
        for k, (_, f) in enumerate(self.H.parts):
            if f is None:
                values.append([1.0] * len(nodes))
            else:
                values.append([evaluate(k, f, s) for s in nodes])
                self.run.function_calls += len(nodes)
        return values

    def _step(self, state: NDArray[np.complex128], t: float, h: float,
              tol: float) -> tuple[NDArray[np.complex128], float]:
        """One application of the scheme over [t, t + h] to `state`, and the
        sum of its exponentials' error bounds."""
        values = self._values(t, h)
        error = 0.0
        for row in self.scheme.rows:
            weights = []
            for f_values in values:
                w = 0.0
                for a, v in zip(row, f_values):
                    w = w + a * v
                weights.append(w)
            self.generator.set(weights)
            out = _native.krylov_evolve(
                self.generator.sum, state, np.array([h]), 1.0 + 0j, tol, self.threads,
                self.krylov_dim, self.budget, True, [], None, None, False, "evolve")
            state = out[0][0]
            error += out[2]
            self.run.applications += out[4]
            self.run.kept_basis = self.run.kept_basis and bool(out[5])
        return state, error

    def measure(self, state: NDArray[np.complex128], observables: list[Any]) -> NDArray[Any]:
        """<state|O_j|state> as the constant-H engine measures them."""
        out = _native.krylov_evolve(
            self.generator.sum, state, np.array([0.0]), 1.0 + 0j, 0.5, self.threads,
            self.krylov_dim, self.budget, False, observables, None, None, False, "trajectory")
        return out[1][0]

    def evolve(self, psi: NDArray[np.complex128], t0: float, times: NDArray[np.float64],
               output: Callable[[int, NDArray[np.complex128]], None],
               progress: Callable[[float], None] | None) -> Run:
        """Calls output(k, state at times[k]) in order of k.

        The steps land on the breakpoints and the last time; an output time
        inside an accepted step [t, t + 2h] is reached by one more application
        of the scheme from t (dense output of the scheme's order), whose error
        is below the step's estimate, so output times do not shorten the
        steps. Each call counts its own run."""
        run = self.run = Run()
        end = float(times[-1])
        span = end - t0
        stops = [b for b in self.H.breakpoints if t0 < b < end] + [end]
        exponentials = 3 * self.scheme.exponentials
        p = self.scheme.order
        richardson = 2.0**p - 1.0  # the whole step's error over the halves'
        norm0 = _norm(psi)
        state = psi
        t = t0
        k = 0
        while k < times.size and times[k] <= t0:
            output(k, state)
            k += 1
        if norm0 == 0.0 or span == 0.0:
            while k < times.size:
                output(k, state)
                k += 1
            return run
        # A first step of two of length 1 / ||H(t0)||; the control adapts it.
        bound = 0.0
        for index, (part, f) in enumerate(self.H.parts):
            bound += part.norm_bound * (1.0 if f is None else abs(evaluate(index, f, t0)))
            run.function_calls += f is not None
        step = min(span, 2.0 / max(bound, 1e-300))
        rate = TIME_SHARE * self.tol / span  # time-discretisation error per unit time
        stop = 0
        reached = 0.0  # the largest error of an output inside a step so far
        while t < end:
            while stops[stop] <= t:
                stop += 1
            target = stops[stop]
            landing = t + step >= target
            length = target - t if landing else step
            half = 0.5 * length
            krylov_tol = min(0.5, KRYLOV_SHARE * self.tol * length / span / exponentials)
            # The whole step only enters the estimate, divided by 2^p - 1: its
            # exponentials may be that much less accurate.
            big, big_error = self._step(state, t, length,
                                        min(0.5, krylov_tol * richardson / 4.0))
            first, first_error = self._step(state, t, half, krylov_tol)
            halves, second_error = self._step(first, t + half, length - half, krylov_tol)
            main_error = first_error + second_error
            estimate = SAFETY * _norm(big - halves) / norm0 / richardson
            # The difference is known only to within the results' Krylov
            # errors: below them it is noise, and the step is as good as the
            # exponentials make it.
            allowed = max(rate * length, (big_error + main_error) / richardson)
            accepted = estimate <= allowed
            if accepted:
                after = target if landing else t + length
                while k < times.size and times[k] < after:
                    if times[k] == t + half:
                        inside, inside_error = first, first_error
                    else:
                        inside, inside_error = self._step(state, t, float(times[k]) - t,
                                                          krylov_tol)
                    reached = max(reached, run.error + estimate + inside_error)
                    output(k, inside)
                    k += 1
                run.steps += 2
                run.error += estimate + main_error
                state = halves
                t = after
                while k < times.size and times[k] <= t:
                    output(k, state)
                    k += 1
                if progress is not None:
                    progress(t - t0)
            factor = 0.9 * (allowed / max(estimate, 1e-300)) ** (1.0 / p)
            proposed = length * min(2.0, max(0.2, factor))
            # A step shortened only to land keeps the length it was given.
            step = max(proposed, step) if landing and accepted else proposed
            if step < 1e-13 * max(abs(t), span):
                raise ValueError(
                    f"the time-dependent sum changes too fast near t = {t:.6g} for tol = "
                    f"{self.tol:g}: the steps fell below {step:.2g}; is some f discontinuous "
                    "there? (give its jumps as breakpoints)")
        run.error = max(run.error, reached)
        return run
