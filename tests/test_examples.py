"""Every example runs as one command, prints its summary and writes its plot."""

import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


@pytest.mark.parametrize(
    "script, args, summary, plot",
    [
        ("ising_quench.py", ["--spins", "10", "--points", "11"], "against exact diagonalisation",
         "ising_quench.png"),
        ("xxz_ground_state.py", ["--spins", "8", "--steps", "40"], "final energy",
         "xxz_ground_state.png"),
        ("molecular_hamiltonian.py", [], "exact diagonalisation", "molecular_hamiltonian.png"),
        ("accuracy_envelope.py", [], "| real coeff |", "accuracy_envelope.png"),
    ],
)
def test_example_runs(tmp_path, script, args, summary, plot):
    proc = subprocess.run([sys.executable, str(EXAMPLES / script), *args, "--out", str(tmp_path)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert summary in proc.stdout
    assert (tmp_path / plot).stat().st_size > 10_000


def test_examples_match_exact_results(tmp_path):
    proc = subprocess.run([sys.executable, str(EXAMPLES / "molecular_hamiltonian.py"), "--out",
                           str(tmp_path)], capture_output=True, text=True, timeout=300)
    difference = float(proc.stdout.split("(difference ")[1].split(")")[0])
    assert difference < 1e-10
    proc = subprocess.run([sys.executable, str(EXAMPLES / "ising_quench.py"), "--spins", "8",
                           "--t-end", "5", "--points", "21", "--out", str(tmp_path)],
                          capture_output=True, text=True, timeout=300)
    deviation = float(proc.stdout.split("max |d<Z>| = ")[1].split(";")[0])
    assert deviation < 1e-9  # <Z> is quadratic in the state: within about 2 tol


def test_mpi_example_prints_the_same_on_two_processes_as_on_one(tmp_path):
    script = str(EXAMPLES / "mpi_chain.py")
    args = ["--spins", "14", "--t-end", "2", "--points", "5"]
    mpiexec = pathlib.Path(sys.executable).with_name("mpiexec")
    one = subprocess.run([sys.executable, script, *args], capture_output=True, text=True,
                         timeout=300, cwd=tmp_path)
    two = subprocess.run([str(mpiexec), "-n", "2", sys.executable, script, *args],
                         capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert one.returncode == 0 and two.returncode == 0, one.stderr + two.stderr
    assert "sha256" in one.stdout
    assert one.stdout == two.stdout
    assert "2 process(es)" in two.stderr and "1 exchange(s) per product" in two.stderr
