"""What a benchmark result depends on besides the code: library versions, and
the OpenMP wait policy."""

import os
from importlib.metadata import PackageNotFoundError, version

# The benchmarks measure a dedicated machine: idle workers spin (the OpenMP
# runtime's own default) unless the caller chose otherwise. velmora's default
# outside benchmarks is passive (see docs/benchmarks.md, "Threads on a loaded machine").
# Processes the benchmarks start inherit the setting.
os.environ.setdefault("OMP_WAIT_POLICY", "active")


def library_versions(extra=()):
    """{name: version} of NumPy, SciPy and QuSpin as installed (QuSpin optional),
    then of the packages named in `extra` that are installed."""
    found = {}
    for name in ("numpy", "scipy", "quspin", *extra):
        try:
            found[name] = version(name)
        except PackageNotFoundError:
            pass
    return found


def describe(versions):
    return ", ".join(f"{name} {v}" for name, v in versions.items())
