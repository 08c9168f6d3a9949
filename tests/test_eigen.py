"""velmora.eigsh and PauliSum.as_linear_operator against dense and sparse
references: NumPy's eigh on the dense matrix (n <= 12) and SciPy's ARPACK on
to_sparse() (larger n), degenerate spectra, sectors, threads and bad input."""

import pickle
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import scipy.sparse.linalg as sla

import velmora
from velmora import ConvergenceError, PauliSum, Sector, eigsh
from velmora.models import heisenberg_chain, ising_chain, random_local, xxz_chain, xxz_ring


def lih():
    """LiH in STO-3G at 1.45 Angstrom (OpenFermion's stored data), 12 qubits."""
    import os

    import openfermion

    path = os.path.join(os.path.dirname(openfermion.__file__), "testing", "data",
                        "H1-Li1_sto-3g_singlet_1.45")
    molecule = openfermion.MolecularData(filename=path)
    op = openfermion.jordan_wigner(molecule.get_molecular_hamiltonian())
    return PauliSum.from_openfermion(op, 12)


def free_spins(n, h=0.5):
    """sum_q X_q + h Z_q: levels -n e + 2 e j (e = sqrt(1 + h^2)), C(n, j)-fold."""
    terms = []
    for q in range(n):
        terms.append(("I" * (n - 1 - q) + "X" + "I" * q, 1.0))
        terms.append(("I" * (n - 1 - q) + "Z" + "I" * q, h))
    return PauliSum(terms)


MODELS = {
    "ising10": lambda: ising_chain(10),
    "xxz_ring10": lambda: xxz_ring(10, 0.5),
    "random4local9": lambda: random_local(9, 60, 4, seed=5),
    "heisenberg9": lambda: heisenberg_chain(9),  # a degenerate (Kramers) ground doublet
    "free_spins7": lambda: free_spins(7),  # a 7-fold first excited level
}


def dense(H):
    return np.linalg.eigh(H.to_sparse().toarray())


def check_pairs(H, result, exact_values, tol_value):
    """Values match, residuals hold as bounds, vectors are orthonormal
    eigenvectors spanning the eigenspaces of the values found."""
    k = len(result.eigenvalues)
    np.testing.assert_allclose(result.eigenvalues, exact_values, atol=tol_value, rtol=0)
    assert np.all(np.abs(result.eigenvalues - exact_values) <= result.residuals + 1e-12)
    V = result.eigenvectors
    np.testing.assert_allclose(V.conj() @ V.T, np.eye(k), atol=1e-9)
    for value, v, r in zip(result.eigenvalues, V, result.residuals):
        assert np.linalg.norm(H.apply(v) - value * v) <= r * (1 + 1e-6) + 1e-13


@pytest.mark.parametrize("name", sorted(MODELS))
@pytest.mark.parametrize("k, which", [(1, "SA"), (4, "SA"), (3, "LA")])
def test_matches_dense_eigh(name, k, which):
    H = MODELS[name]()
    w, U = dense(H)
    result = eigsh(H, k, which=which, tol=1e-10)
    exact = w[:k] if which == "SA" else w[-k:]
    check_pairs(H, result, exact, 1e-8)
    # Degenerate levels come out whole: the vectors found span the same
    # space as the exact eigenvectors of those values (when the level is not
    # cut by k).
    ends = w[k] if which == "SA" else w[-k - 1]
    if abs(ends - (exact[-1] if which == "SA" else exact[0])) > 1e-6:
        basis = U[:, :k] if which == "SA" else U[:, -k:]
        projector = basis @ basis.conj().T
        np.testing.assert_allclose(projector @ result.eigenvectors.T, result.eigenvectors.T,
                                   atol=1e-7)


@pytest.mark.parametrize("make, k", [
    (lambda: ising_chain(16), 4),
    (lambda: xxz_chain(15, 1.0), 2),  # Heisenberg, odd length: a degenerate doublet
    (lambda: xxz_ring(16, 0.5), 4),  # momentum +-k pairs: levels 2 and 3 are one pair
    (lambda: random_local(14, 200, 4, seed=2024), 3),
], ids=["ising16", "heisenberg15", "xxz_ring16", "random4local14"])
def test_matches_arpack_on_the_sparse_matrix(make, k):
    H = make()
    # ARPACK asked for more than k values, so that it sees every vector of a
    # degenerate level (asked for exactly k it can miss them too).
    reference = np.sort(sla.eigsh(H.to_sparse(), k=k + 4, which="SA", tol=1e-12,
                                  return_eigenvectors=False))[:k]
    result = eigsh(H, k, tol=1e-10)
    check_pairs(H, result, reference, 1e-8)


def test_lih_ground_state():
    H = lih()
    reference = sla.eigsh(H.to_sparse(), k=2, which="SA", tol=1e-12, return_eigenvectors=False)
    result = eigsh(H, 2, tol=1e-10)
    check_pairs(H, result, np.sort(reference), 1e-8)


def test_degenerate_pair_needs_the_check():
    """Without the check a one-vector Krylov space returns a wrong second
    eigenvalue for a degenerate doublet; with it, both vectors of the doublet."""
    H = heisenberg_chain(9)
    w = np.linalg.eigvalsh(H.to_sparse().toarray())
    assert abs(w[0] - w[1]) < 1e-10 and w[2] - w[1] > 0.1
    found = eigsh(H, 2, tol=1e-10)
    np.testing.assert_allclose(found.eigenvalues, w[:2], atol=1e-8)
    assert found.check_applications > 0
    unchecked = eigsh(H, 2, tol=1e-10, check_missed=False)
    assert unchecked.check_applications == 0
    np.testing.assert_allclose(unchecked.eigenvalues, [w[0], w[2]], atol=1e-8)


def test_sector_operator_matches_its_dense_block():
    sector = Sector.chain(12, weight=6, momentum=0, parity=1, spin_flip=1)
    H = xxz_ring(12, 0.7).in_sector(sector)
    block = np.linalg.eigvalsh(H.to_sparse().toarray())
    result = eigsh(H, 3, tol=1e-11)
    np.testing.assert_allclose(result.eigenvalues, block[:3], atol=1e-9)
    assert result.eigenvectors.shape == (3, len(H))


def test_same_bytes_for_every_thread_count():
    H = random_local(11, 80, 4, seed=3)
    runs = [eigsh(H, 3, num_threads=t) for t in (0, 1, 2, 3)]
    for run in runs[1:]:
        assert run.eigenvalues.tobytes() == runs[0].eigenvalues.tobytes()
        assert run.eigenvectors.tobytes() == runs[0].eigenvectors.tobytes()
        assert run.applications == runs[0].applications


def test_v0_and_tiny_spaces():
    H = ising_chain(6)
    w = np.linalg.eigvalsh(H.to_sparse().toarray())
    rng = np.random.default_rng(1)
    v0 = rng.normal(size=64) + 1j * rng.normal(size=64)
    np.testing.assert_allclose(eigsh(H, 2, v0=v0).eigenvalues, w[:2], atol=1e-9)
    # Every eigenpair of a one-qubit and a two-qubit sum.
    one = PauliSum([("X", 0.3), ("Z", 0.4), ("I", 1.0)])
    np.testing.assert_allclose(eigsh(one, 2).eigenvalues, [0.5, 1.5], atol=1e-14)
    two = PauliSum([("XX", 1.0), ("ZI", 0.25)])
    np.testing.assert_allclose(eigsh(two, 4).eigenvalues,
                               np.linalg.eigvalsh(two.to_sparse().toarray()), atol=1e-13)
    # A scalar H: every vector is an eigenvector.
    np.testing.assert_allclose(eigsh(PauliSum([("III", 2.0)]), 3).eigenvalues, [2.0] * 3)


def test_convergence_error_keeps_what_was_found():
    with pytest.raises(ConvergenceError, match="max_products") as raised:
        eigsh(random_local(12, 200, 4, seed=1), 2, tol=1e-13, max_products=30)
    partial = raised.value.result
    assert partial.eigenvectors.shape == (2, 4096)
    assert np.all(partial.residuals > 0)


def test_result_pickles():
    result = eigsh(ising_chain(5), 2)
    again = pickle.loads(pickle.dumps(result))
    assert again.eigenvalues.tobytes() == result.eigenvalues.tobytes()


@pytest.mark.parametrize("kwargs, error, match", [
    (dict(H=np.eye(4)), TypeError, "PauliSum"),
    (dict(H=[("XY", 1j)]), ValueError, "Hermitian"),
    (dict(k=0), ValueError, "k must be in 1..64"),
    (dict(k=65), ValueError, "k must be in 1..64"),
    (dict(k=1.5), TypeError, "k must be an int"),
    (dict(which="SM"), ValueError, "which"),
    (dict(tol=0.0), ValueError, "tol"),
    (dict(tol="1e-8"), TypeError, "tol"),
    (dict(v0=np.zeros(64)), ValueError, "v0 must not be zero"),
    (dict(v0=np.ones(32)), ValueError, "v0"),
    (dict(v0=np.full(64, np.nan)), ValueError, "non-finite"),
    (dict(krylov_dim=1), ValueError, "krylov_dim"),
    (dict(krylov_dim=300), ValueError, "krylov_dim"),
    (dict(k=3, krylov_dim=3), ValueError, "krylov_dim"),
    (dict(max_products=0), ValueError, "max_products"),
    (dict(memory_budget=-1), ValueError, "memory_budget"),
    (dict(num_threads=-2), ValueError, "num_threads"),
    (dict(check_missed=None), TypeError, "check_missed"),
])
def test_bad_input(kwargs, error, match):
    arguments = dict(H=ising_chain(6), k=1)
    arguments.update(kwargs)
    H = arguments.pop("H")
    if isinstance(H, list):
        H = PauliSum(H)
    k = arguments.pop("k")
    with pytest.raises(error, match=match):
        eigsh(H, k, **arguments)


def test_ctrl_c_stops_a_long_run():
    script = textwrap.dedent("""
        import sys, velmora
        from velmora.models import random_local
        print("ready", flush=True)
        try:
            velmora.eigsh(random_local(18, 400, 4, seed=1), 6, tol=1e-14, max_products=10**6)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "ready"
    import time

    time.sleep(1.5)
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=30)
    assert "interrupted" in out


@pytest.mark.parametrize("terms", [ising_chain(8).terms, [("XY", 1.0 + 0.5j), ("ZI", 1.0)]],
                         ids=["hermitian", "non_hermitian"])
def test_linear_operator(terms):
    H = PauliSum(terms)
    op = H.as_linear_operator()
    matrix = H.to_sparse().toarray()
    rng = np.random.default_rng(4)
    x = rng.normal(size=(matrix.shape[0], 3)) + 1j * rng.normal(size=(matrix.shape[0], 3))
    np.testing.assert_allclose(op @ x, matrix @ x, atol=1e-12)
    np.testing.assert_allclose(op.H @ x[:, 0], matrix.conj().T @ x[:, 0], atol=1e-12)
    assert op.shape == matrix.shape and op.dtype == np.complex128


def test_scipy_solvers_on_the_linear_operator():
    H = ising_chain(10)
    value = sla.eigsh(H.as_linear_operator(), k=1, which="SA", return_eigenvectors=False)[0]
    np.testing.assert_allclose(value, eigsh(H).eigenvalues[0], atol=1e-9)


def test_exported():
    assert velmora.eigsh is eigsh and "eigsh" in velmora.__all__
