"""The package's rule for `num_threads`."""

from __future__ import annotations

import multiprocessing
import operator
import os


def available_cores() -> int:
    """The number of cores this process may run on (its CPU affinity)."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):  # platforms without affinity masks
        return max(1, os.cpu_count() or 1)


def _omp_num_threads() -> int | None:
    """The first level of OMP_NUM_THREADS ("4" or "4,2"), or None when unset
    or not a positive integer."""
    text = os.environ.get("OMP_NUM_THREADS", "").split(",")[0].strip()
    try:
        value = int(text)
    except ValueError:
        return None
    return value if value > 0 else None


def default_num_threads() -> int:
    """What `num_threads=None` means: OMP_NUM_THREADS when it is set (at most
    the cores this process may use); inside a worker process of a
    multiprocessing pool, the calling thread alone (0), since its siblings
    share the cores; otherwise every core the process may use."""
    cores = available_cores()
    requested = _omp_num_threads()
    if requested is not None:
        return min(requested, cores)
    if multiprocessing.parent_process() is not None:
        return 0
    return cores


def resolve_num_threads(num_threads: int | None) -> int:
    """`None` is `default_num_threads()`; 0 the calling thread alone; a positive
    count a team of that size (the results do not depend on it)."""
    if num_threads is None:
        return default_num_threads()
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
