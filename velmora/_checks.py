"""Argument checks shared by the package's modules."""

from __future__ import annotations

import math
import numbers

import numpy as np


def real_number(name: str, value: object) -> float:
    """`value` (a real number or a 0-d array of one) as a finite float, or a
    TypeError/ValueError naming `name`."""
    if isinstance(value, np.ndarray) and value.ndim == 0:
        value = value[()]
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, got {number}")
    return number
