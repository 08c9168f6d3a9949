"""Running out of memory inside evolve raises MemoryError and the interpreter
goes on. Each case runs in its own interpreter with a lowered address-space
limit, so the limit cannot disturb the test session."""

import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent(
    """
    import resource, sys
    import numpy as np
    from _velmora import Hamiltonian, PauliWord, evolve

    qubits = int(sys.argv[1])
    n = 2 ** qubits
    ham = Hamiltonian([PauliWord(1.0, "X" + "I" * (qubits - 1)), PauliWord(0.5, "Z" * qubits)])
    psi = np.zeros(n, dtype=complex)
    psi[0] = 1.0

    def vm_bytes():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * 4096

    # Headroom above what the process maps now, in state vectors of n amplitudes.
    vectors = float(sys.argv[2])
    limit = vm_bytes() + int(vectors * 16 * n)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    try:
        evolve(ham, psi, 0.1, int(sys.argv[3]))
    except MemoryError:
        print("MemoryError")
    else:
        print("no error")
    # The interpreter is alive and the module still works at a small size.
    small = Hamiltonian([PauliWord(1.0, "XZ")])
    out = evolve(small, np.array([1, 0, 0, 0], dtype=complex), 0.5, 0)
    print("alive", out.shape[0])
    """
)


@pytest.mark.parametrize(
    "qubits, vectors, threads",
    [
        (23, 0.5, 0),  # the result buffer itself cannot be allocated
        (23, 2.5, 0),  # result fits, the pass-1 scratch vectors do not
        (23, 2.5, 2),
        (23, 3.5, 0),  # result and two scratch vectors fit, the third does not
        (23, 4.01, 2),  # worker stacks are mapped first, so a vector fails instead
        (20, 6.0, 100000),  # no address space for the stacks of a 256-thread team
    ],
)
def test_memory_error_and_interpreter_survives(qubits, vectors, threads):
    proc = subprocess.run(
        [sys.executable, "-c", SCRIPT, str(qubits), str(vectors), str(threads)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["MemoryError", "alive", "4"], proc.stdout + proc.stderr


def physical_plus_swap():
    values = {}
    with open("/proc/meminfo") as f:
        for line in f:
            key, value = line.split(":")
            values[key] = int(value.split()[0]) * 1024
    return values["MemTotal"] + values.get("SwapTotal", 0)


OVERCOMMIT = """
import math, sys
import numpy as np
limit = int(sys.argv[1])
try:
    if sys.argv[2] == "core":
        from _velmora import Hamiltonian, PauliWord, evolve
        # The smallest state whose four working vectors exceed what the machine
        # has; the input itself is mapped but never touched.
        qubits = math.ceil(math.log2(limit / 64)) + 1
        psi = np.zeros(2 ** qubits, dtype=complex)
        psi[0] = 1.0
        evolve(Hamiltonian([PauliWord(1.0, "X" * qubits)]), psi, 0.1, 0)
    else:
        from velmora import trajectory
        from velmora.models import ising_chain
        psi = np.zeros(2 ** 16, dtype=complex); psi[0] = 1.0
        count = limit // 2 ** 20 + 10  # one MiB per returned state
        trajectory(ising_chain(16), psi, np.linspace(0, 1, count))
    print("no error")
except MemoryError as error:
    print("MemoryError |", error)
print("alive")
"""


@pytest.mark.parametrize("call, needs", [("core", "evolve needs"), ("trajectory", "trajectory needs")])
def test_working_set_beyond_the_machine_is_refused_before_allocating(call, needs):
    """With overcommit, allocating more than the machine has succeeds and the
    kernel kills the process later; the call must refuse it up front."""
    proc = subprocess.run([sys.executable, "-c", OVERCOMMIT, str(physical_plus_swap()), call],
                          capture_output=True, text=True, timeout=300, cwd="/")
    assert proc.returncode == 0, proc.stderr  # not killed
    first, last = proc.stdout.strip().splitlines()
    assert last == "alive"
    assert first.startswith(f"MemoryError | {needs} ") and "but this process can have at most" in first


LIMITED = """
import resource, sys
import numpy as np
from velmora import evolve
from velmora.models import ising_chain

qubits = 20
n = 2 ** qubits
H = ising_chain(qubits)
psi = np.zeros(n, dtype=complex)
psi[0] = 1.0
with open("/proc/self/statm") as f:
    mapped = int(f.read().split()[0]) * 4096
# Room for the regenerated basis (about nine state vectors) but not for a
# kept one of 31 vectors.
limit = mapped + 14 * 16 * n
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
result = evolve(H, psi, 0.2, num_threads=int(sys.argv[1]))
print("kept" if result.kept_basis else "regenerated", result.error < 1e-11)
"""


@pytest.mark.parametrize("threads", [0, 2])
def test_default_budget_respects_the_address_space_limit(threads):
    """Under a limit the kept basis cannot fit, the default falls back to the
    regenerated basis instead of raising MemoryError."""
    proc = subprocess.run([sys.executable, "-c", LIMITED, str(threads)], capture_output=True,
                          text=True, timeout=300, cwd="/")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["regenerated", "True"]
