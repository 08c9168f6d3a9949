"""What a benchmark result depends on besides the code: library versions, and
the OpenMP wait policy."""

import os
import pathlib
import platform
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


def cpu_name():
    """The processor's model name (/proc/cpuinfo), or what platform knows."""
    info = pathlib.Path("/proc/cpuinfo")
    if info.exists():
        for line in info.read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown CPU"


def kernel_body():
    """The body of velmora's product on this processor ("avx2", "generic", ...)."""
    from velmora.models import ising_chain

    return ising_chain(2)._operator.kernel_isa


def machine_name():
    """The processor, the architecture and velmora's kernel body, for a table's
    heading: every table names the CPU and kernel body it was measured with."""
    return f"{cpu_name()} ({platform.machine()}; kernel body {kernel_body()})"
