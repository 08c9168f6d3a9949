"""Exercises every path of the module once, for running under valgrind:
construction, every refusal, and evolve on the serial and the parallel kernel;
then the package's error-controlled engine on each of its paths (its working
vectors are not cleared, so a read before the first write would show here)."""

import numpy as np

import velmora
from _velmora import Hamiltonian, PauliWord, evolve
from velmora.models import ising_chain


def expect(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn.__name__}{args} did not raise {exc.__name__}")


def exercise():
    words = [PauliWord(1.0, "XZY"), PauliWord(0.5j, "ZZI"), PauliWord(coeff=-0.25, string="IYX")]
    ham = Hamiltonian(words)
    Hamiltonian(pauli_words=tuple(words))
    Hamiltonian([])
    PauliWord(1, "X\u00e9\x00")
    psi = np.exp(1j * np.arange(8.0))

    for threads in (0, 1, 2, 3):
        out = evolve(ham, psi, 0.3 - 0.1j, threads)
        assert out.shape == (8,)
    evolve(ham, psi.real.copy(), 0.3, 2)  # converted input
    evolve(ham, np.repeat(psi, 2)[::2], 0.3, 0)  # strided input
    evolve(ham, np.zeros(8, complex), 1.0, 0)  # zero state
    evolve(Hamiltonian([PauliWord(0.5, "")]), np.ones(1, complex), 1j, 2)  # 0 qubits
    big = Hamiltonian([PauliWord(1.0, "XIZYIIXZIZ"), PauliWord(0.3, "ZZZZZIIIII")])
    evolve(big, np.ones(1024, complex), 0.2, 2)

    expect(TypeError, PauliWord, 1.0, b"XZ")
    expect(TypeError, PauliWord, "1", "XZ")
    expect(TypeError, PauliWord, 1.0, "\ud800")
    expect(TypeError, Hamiltonian, [words[0], None])
    expect(TypeError, Hamiltonian, (w for w in words))
    expect(ValueError, Hamiltonian, [PauliWord(1.0, "X"), PauliWord(1.0, "XX")])
    expect(TypeError, evolve, None, psi, 0.3, 0)
    expect(TypeError, evolve, ham, list(psi), 0.3, 0)
    expect(TypeError, evolve, ham, psi.reshape(8, 1), 0.3, 0)
    expect(TypeError, evolve, ham, psi, 0.3, 2**31)
    expect(TypeError, evolve, ham, psi, 0.3, 4.0)
    expect(ValueError, evolve, ham, psi[:4], 0.3, 0)
    expect(ValueError, evolve, ham, psi[:0], 0.3, 0)
    expect(ValueError, evolve, Hamiltonian([]), psi, 0.3, 0)
    expect(ValueError, evolve, Hamiltonian([PauliWord(1.0, "I" * 64)]), psi, 0.3, 0)
    expect(ValueError, evolve, ham, psi, 0.3, -1)

    H = ising_chain(6, 1.0, 0.7) + velmora.PauliSum([("IIIIII", 0.3)])
    state = np.exp(0.3j * np.arange(64.0))
    for threads in (0, 2):
        for budget in (None, 4 * 16 * 64):  # basis kept / regenerated in a second pass
            velmora.evolve(H, state, 1.5, num_threads=threads, memory_budget=budget)
            velmora.trajectory(H, state, [0.0, 0.5, 2.0], observables=[H, np.ones(64)],
                               num_threads=threads, memory_budget=budget)
    velmora.evolve(H, state, -0.7j, num_threads=0)  # imaginary time
    velmora.evolve(velmora.PauliSum([("ZZIIII", 1.0), ("IIIIIZ", 0.5)]), state, 1.0)  # diagonal
    velmora.evolve(velmora.PauliSum([("IIIIII", 2.0)]), state, 1.0)  # identity only
    velmora.evolve(H, np.zeros(64), 1.0)  # zero state


# Three rounds: a leak on any call path would grow with them.
for _ in range(3):
    exercise()
print("exercise complete")
