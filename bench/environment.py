"""What a benchmark result depends on besides the code: library versions."""

from importlib.metadata import PackageNotFoundError, version


def library_versions():
    """{name: version} of NumPy, SciPy and QuSpin as installed (QuSpin optional)."""
    found = {}
    for name in ("numpy", "scipy", "quspin"):
        try:
            found[name] = version(name)
        except PackageNotFoundError:
            pass
    return found


def describe(versions):
    return ", ".join(f"{name} {v}" for name, v in versions.items())
