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
