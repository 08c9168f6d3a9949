"""The files the C++ kernel benchmark reads hold exactly the operators the
Python harness measures, so that both benchmark tables name the same
Hamiltonians."""

import itertools
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import workloads  # noqa: E402


def read_back(path):
    """The words of a written file, split as kernel_bench.cc splits them."""
    words = []
    for line in path.read_text().splitlines():
        if line and not line.startswith("#"):
            real, imag, label = line.split()
            words.append((label, complex(float(real), float(imag))))
    return words


def test_written_files_hold_exactly_the_harness_operators(tmp_path):
    sizes = (5, 9)
    index = workloads.write(tmp_path, sizes)
    listed = [line.split() for line in index.read_text().splitlines()]
    assert sorted((w, int(n)) for w, n, _ in listed) == sorted(
        itertools.product(workloads.WORKLOADS, sizes))
    for workload, n, name in listed:
        # Bit-exact coefficients and the same labels, in the same order.
        assert read_back(tmp_path / name) == workloads.operator(workload, int(n)).terms
