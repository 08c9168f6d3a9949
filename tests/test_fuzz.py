"""Property-based tests of the whole Python surface.

The default example counts keep CI short. For a long run:

    HYPOTHESIS_PROFILE=long .venv/bin/python -m pytest tests/test_fuzz.py
"""

import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _velmora import Hamiltonian, PauliWord, evolve

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")  # NumPy on inf/NaN inputs

# CI replays the same examples every run (derandomize); the long profile explores.
settings.register_profile("ci", max_examples=60, deadline=None, derandomize=True,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("long", max_examples=5000, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

SPECIAL = [0.0, -0.0, 1.0, -1.0, float("inf"), float("-inf"), float("nan"), 1e308, -1e308,
           5e-324, 1e-300]
reals = st.one_of(st.sampled_from(SPECIAL), st.floats(allow_nan=True, allow_infinity=True))
finite = st.floats(min_value=-10, max_value=10, allow_nan=False)
complexes = st.builds(complex, reals, reals)
letters = st.text(alphabet=st.one_of(st.sampled_from("IXYZ"), st.characters()), max_size=6)
pauli_letters = st.sampled_from("IXYZ")
thread_counts = st.one_of(st.sampled_from([0, 1, 2, 3, 8, 2**31 - 1]),
                          st.integers(min_value=-(2**31), max_value=2**31 - 1))


@given(coeff=complexes, string=letters)
def test_any_word_constructs_or_is_refused_as_documented(coeff, string):
    try:
        string.encode("utf-8")
    except UnicodeEncodeError:  # lone surrogates cannot become bytes
        try:
            PauliWord(coeff, string)
        except TypeError:
            return
        raise AssertionError("an unencodable string was accepted")
    PauliWord(coeff, string)


@st.composite
def hamiltonians(draw, min_qubits=0, max_qubits=6, hermitian=False):
    n = draw(st.integers(min_qubits, max_qubits))
    count = draw(st.integers(1, 6))
    terms = []
    for _ in range(count):
        s = "".join(draw(st.lists(pauli_letters, min_size=n, max_size=n)))
        c = draw(finite) if hermitian else draw(complexes)
        terms.append((c, s))
    return n, terms


def states(n, elements=st.one_of(finite, reals)):
    size = 2**n
    parts = st.lists(elements, min_size=2 * size, max_size=2 * size)
    return parts.map(lambda v: np.array(v[:size]) + 1j * np.array(v[size:]))


@st.composite
def layouts(draw, psi):
    kind = draw(st.sampled_from(["plain", "readonly", "strided", "float64"]))
    if kind == "readonly":
        psi = psi.copy()
        psi.flags.writeable = False
    elif kind == "strided":
        psi = np.repeat(psi, 2)[::2]
    elif kind == "float64":
        psi = psi.real.copy()
    return psi


@given(data=st.data())
def test_evolve_refuses_only_as_documented_and_never_writes_psi(data):
    n, terms = data.draw(hamiltonians())
    ham = Hamiltonian([PauliWord(c, s) for c, s in terms])
    length = data.draw(st.sampled_from([2**n, 2**n, 2**n, 0, 2**n + 1, max(2**n // 2, 1)]))
    psi = data.draw(layouts(data.draw(states(max(length, 1).bit_length() - 1)).copy()))
    psi = psi[:length] if len(psi) >= length else np.resize(psi, length)
    coeff = data.draw(complexes)
    threads = data.draw(thread_counts)
    before = psi.tobytes()
    try:
        out = evolve(ham, psi, coeff, threads)
    except ValueError as exc:
        message = str(exc)
        assert (len(psi) != 2**n and message.startswith(f"psi has {len(psi)} amplitudes")) or (
            threads < 0 and message.startswith("num_threads must be 0")), message
    else:
        assert len(psi) == 2**n and threads >= 0
        assert out.shape == psi.shape and out.dtype == np.complex128
        assert out.tobytes() == evolve(ham, psi, coeff, 0).tobytes()
    assert psi.tobytes() == before


@given(data=st.data())
def test_results_identical_for_every_thread_count(data):
    n, terms = data.draw(hamiltonians())
    ham = Hamiltonian([PauliWord(c, s) for c, s in terms])
    psi = data.draw(states(n))
    coeff = data.draw(complexes)
    serial = evolve(ham, psi, coeff, 0).tobytes()
    for threads in data.draw(st.lists(thread_counts.filter(lambda t: t > 0), min_size=1,
                                      max_size=3)):
        assert evolve(ham, psi, coeff, threads).tobytes() == serial


@given(data=st.data())
def test_hermitian_real_time_preserves_norm(data):
    n, terms = data.draw(hamiltonians(min_qubits=1, max_qubits=7, hermitian=True))
    ham = Hamiltonian([PauliWord(c, s) for c, s in terms])
    bound = sum(abs(c) for c, _ in terms)  # >= ||H||
    coeff = data.draw(st.floats(-1, 1)) * min(8.0 / bound, 1e6) if bound > 0 else 1.0
    # Moderate amplitudes: the norm is summed without rescaling, so amplitudes
    # near the overflow threshold give an infinite norm by design.
    psi = data.draw(states(n, finite).filter(lambda v: np.linalg.norm(v) > 1e-3))
    out = evolve(ham, psi, coeff, data.draw(st.sampled_from([0, 2])))
    assert abs(np.linalg.norm(out) / np.linalg.norm(psi) - 1) <= 1e-12
