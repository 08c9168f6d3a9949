"""Argument checks shared by the package's modules."""

from __future__ import annotations

import math
import numbers

import numpy as np

from velmora import _native


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


def check_memory(needed: int, what: str, detail: str, advice: str = "") -> None:
    """MemoryError when `needed` bytes exceed the most this process can ever
    hold (`_native.memory_limit`), saying "<what> needs 4.0 GiB (<detail>), but
    this process can have at most 2.0 GiB (<source>)<advice>"."""
    limit, source = _native.memory_limit()
    if needed > limit:
        raise MemoryError(f"{what} needs {needed / 2**30:.1f} GiB ({detail}), but this process "
                          f"can have at most {limit / 2**30:.1f} GiB ({source}){advice}")
