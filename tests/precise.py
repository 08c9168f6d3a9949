"""High-precision references for the error-control tests: exp(-i t H) psi in
ball arithmetic (python-flint's arb/acb at 200 bits) with the matrix of H
summed exactly from its double coefficients, and the relative distance of a
double result from it, also evaluated in ball arithmetic.

The matrices are dense (2^n x 2^n), so this is for n <= 6 or so."""

from __future__ import annotations

import math

import flint
import numpy as np

PRECISION = 200


def _word_entries(label: str):
    """(row, column, phase) of the Pauli word's nonzero entries, phase in
    {1, -1, 1j, -1j}; the last letter acts on qubit 0."""
    n = len(label)
    flip = y = z = 0
    for position, letter in enumerate(label):
        bit = 1 << (n - 1 - position)
        if letter in "XY":
            flip |= bit
        if letter == "Y":
            y |= bit
        if letter in "YZ":
            z |= bit
    base = 1j ** (bin(y).count("1") % 4)
    for column in range(1 << n):
        # P|x> = i^#Y (-1)^popcount(z & x) |x ^ flip> for Y = i X Z.
        sign = -1 if bin(z & column).count("1") % 2 else 1
        yield column ^ flip, column, base * sign


def _acb(value: complex) -> flint.acb:
    # Doubles convert exactly.
    return flint.acb(flint.arb(float(value.real)), flint.arb(float(value.imag)))


def matrix(terms, num_qubits: int) -> flint.acb_mat:
    """The exact matrix of sum_t c_t P_t (the coefficients summed at 200 bits,
    exact for coefficients within 2^140 of each other)."""
    size = 1 << num_qubits
    entries: dict[tuple[int, int], flint.acb] = {}
    for label, coeff in terms:
        c = _acb(complex(coeff))
        for row, column, phase in _word_entries(label):
            term = c * _acb(phase)
            key = (row, column)
            entries[key] = entries[key] + term if key in entries else term
    m = flint.acb_mat(size, size)
    for (row, column), value in entries.items():
        m[row, column] = value
    return m


class Reference:
    """exp(-i t H) psi at high precision for one PauliSum H and state psi."""

    def __init__(self, H, psi) -> None:
        flint.ctx.prec = PRECISION
        self.num_qubits = H.num_qubits
        self.matrix = matrix(H.terms, H.num_qubits)
        self.psi = flint.acb_mat([[_acb(complex(a))] for a in np.asarray(psi).ravel()])

    def exact(self, t: complex) -> flint.acb_mat:
        flint.ctx.prec = PRECISION
        return (self.matrix * (_acb(-1j) * _acb(complex(t)))).exp() * self.psi

    def relative_error(self, state, t: complex) -> float:
        """||state - exp(-i t H) psi|| / ||exp(-i t H) psi||, as an upper
        bound from the balls (so never below the true value)."""
        flint.ctx.prec = PRECISION
        want = self.exact(t)
        return relative_distance(state, want)


def relative_distance(state, want: flint.acb_mat) -> float:
    """||state - want|| / ||want|| for a double array and a column of balls,
    rounded up."""
    flint.ctx.prec = PRECISION
    diff = flint.arb(0)
    norm = flint.arb(0)
    for k, a in enumerate(np.asarray(state).ravel()):
        w = want[k, 0]
        d = _acb(complex(a)) - w
        diff += d.real * d.real + d.imag * d.imag
        norm += w.real * w.real + w.imag * w.imag
    ratio = (diff / norm).sqrt() if norm > 0 else diff.sqrt()
    upper = ratio.mid() + ratio.rad()
    value = float(upper)
    if not math.isfinite(value):
        return math.inf
    return value


def log_norm(want: flint.acb_mat) -> float:
    """Natural logarithm of ||want||."""
    flint.ctx.prec = PRECISION
    total = flint.arb(0)
    for k in range(want.nrows()):
        w = want[k, 0]
        total += w.real * w.real + w.imag * w.imag
    return float(total.log().mid()) / 2
