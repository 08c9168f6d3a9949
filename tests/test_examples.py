"""Every example runs as one command, prints its summary and writes its plot
with the parameters that drew it; the pictures in examples/output (shown by the README and the documentation)
were drawn with the examples' current defaults."""

import importlib.util
import json
import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
PICTURES = EXAMPLES / "output"
# The examples that draw a picture, each named after its script and picture.
DRAWING = ["ising_quench", "xxz_ground_state", "molecular_hamiltonian", "accuracy_envelope",
           "sector_ring", "driven_ising", "heisenberg_autocorrelation", "mpi_chain"]


def load_example(name, monkeypatch):
    """The example's module, imported without running it (examples import their
    shared helper from their own folder, as `python examples/NAME.py` does)."""
    monkeypatch.syspath_prepend(str(EXAMPLES))
    spec = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def drawn_with(name, argv, monkeypatch):
    """The parameters the example records for a run with these arguments, as
    they read back from JSON."""
    module = load_example(name, monkeypatch)
    args = module.argument_parser().parse_args(argv)
    return json.loads(json.dumps(module.picture_parameters(args)))


@pytest.mark.parametrize(
    "name, args, summary, recorded",
    [
        ("ising_quench", ["--spins", "10", "--points", "11"], "against exact diagonalisation",
         {"spins": 10, "points": 11, "t_end": 10.0}),
        ("xxz_ground_state", ["--spins", "8", "--steps", "40"], "final energy",
         {"spins": 8, "steps": 40, "tau": 0.2}),
        ("molecular_hamiltonian", [], "exact diagonalisation", {"qubits": 4, "tol": 1e-12}),
        ("accuracy_envelope", [], "| real coeff |", {"qubits": 10, "trials": 4}),
        ("sector_ring", ["--spins", "12", "--check-spins", "8", "--points", "21"],
         "sector against full space", {"spins": 12, "check_spins": 8, "points": 21}),
        ("driven_ising", ["--spins", "8", "--check-spins", "6", "--ramps", "2", "4",
                          "--points", "21"],
         "against solve_ivp", {"spins": 8, "check_spins": 6, "ramps": [2.0, 4.0]}),
        ("heisenberg_autocorrelation", ["--spins", "10", "--check-spins", "6", "--t-end", "8",
                                        "--points", "41"],
         "consistent with the sampling noise", {"spins": 10, "check_spins": 6, "points": 41}),
        ("mpi_chain", ["--spins", "10", "--points", "5"], "sha256", {"spins": 10, "points": 5}),
    ],
)
def test_example_runs(tmp_path, monkeypatch, name, args, summary, recorded):
    proc = subprocess.run([sys.executable, str(EXAMPLES / f"{name}.py"), *args,
                           "--out", str(tmp_path)], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert summary in proc.stdout
    assert (tmp_path / f"{name}.png").stat().st_size > 10_000
    written = json.loads((tmp_path / f"{name}.json").read_text())
    assert written == drawn_with(name, args, monkeypatch)
    assert recorded.items() <= written.items()  # the arguments given, not the defaults
    assert not {"out", "threads"} & written.keys()  # they change nothing drawn


def test_every_committed_picture_has_its_parameters():
    pictures = {path.stem for path in PICTURES.glob("*.png")}
    records = {path.stem for path in PICTURES.glob("*.json")}
    assert pictures == records == set(DRAWING)


@pytest.mark.parametrize("name", DRAWING)
def test_committed_picture_was_drawn_with_the_example_defaults(name, monkeypatch):
    committed = json.loads((PICTURES / f"{name}.json").read_text())
    defaults = drawn_with(name, [], monkeypatch)
    assert committed == defaults, (
        f"examples/output/{name}.png was drawn with {committed}, but examples/{name}.py now "
        f"defaults to {defaults}: regenerate the pictures (make pictures)")


def test_examples_match_exact_results(tmp_path):
    proc = subprocess.run([sys.executable, str(EXAMPLES / "molecular_hamiltonian.py"), "--out",
                           str(tmp_path)], capture_output=True, text=True, timeout=300)
    difference = float(proc.stdout.split("(difference ")[1].split(")")[0])
    assert difference < 1e-10
    proc = subprocess.run([sys.executable, str(EXAMPLES / "ising_quench.py"), "--spins", "8",
                           "--t-end", "5", "--points", "21", "--out", str(tmp_path)],
                          capture_output=True, text=True, timeout=300)
    deviation = float(proc.stdout.split("max |d<Z>| = ")[1].split()[0])
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
