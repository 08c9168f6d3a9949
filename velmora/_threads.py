"""The package's rule for `num_threads`."""

from __future__ import annotations

import operator
import os


def available_cores() -> int:
    """The number of cores this process may run on (its CPU affinity)."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):  # platforms without affinity masks
        return max(1, os.cpu_count() or 1)


def resolve_num_threads(num_threads: int | None) -> int:
    """`None` means every core the process may use; 0 the calling thread alone;
    a positive count a team of that size (the results do not depend on it)."""
    if num_threads is None:
        return available_cores()
    if isinstance(num_threads, bool):
        raise TypeError("num_threads must be an int or None, got a bool")
    try:
        value = operator.index(num_threads)
    except TypeError:
        raise TypeError(
            f"num_threads must be an int or None, got {type(num_threads).__name__}"
        ) from None
    if value < 0:
        raise ValueError(f"num_threads must be None, 0 (calling thread) or positive, got {value}")
    return min(value, 2**31 - 1)
