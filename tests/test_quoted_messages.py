"""Every error message the documentation quotes in its text is one the code
raises. A quote is a code span of the form `SomeError: message` in a page of
docs/ or in the README; each is produced here by a call and compared with the
code's message, "..." in the quote standing for any text. Quotes inside a
page's >>> examples are compared by the documentation's doctest run
(`make docs`), the table of refused input on the limits page by
test_bad_input_table.py.

A new quote fails here until a row of CASES reproduces it."""

import math
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import velmora
from velmora import PauliSum, TimeDependentSum, evolve
from velmora.models import ising_chain

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md"] + sorted(
    path for path in (ROOT / "docs").rglob("*.md")
    if not {"generated", "auto_examples"} & set(path.parts))
# `ValueError: ...`, `velmora.ToleranceWarning: ...`: a code span that starts with an
# exception's name and a colon (it may run over lines of the page).
QUOTE = re.compile(r"(?<!`)`((?:\w+\.)*[A-Z]\w*(?:Error|Warning|Interrupt)):\s+([^`]+)`(?!`)")


def quotes():
    """(page, exception name, message) of every quote, the message's line breaks
    and indentation read as single spaces."""
    found = []
    for page in PAGES:
        text = re.sub(r"```.*?```", "", page.read_text(), flags=re.S)  # examples: doctests
        for match in QUOTE.finditer(text):
            message = " ".join(match[2].split())
            found.append((page.relative_to(ROOT).as_posix(), match[1], message))
    return found


NUMBER = re.compile(r"\d+(?:\.\d+)?")


def matches(quote, message, any_numbers=False):
    """The quote is the message, "..." standing for any text and any run of
    spaces for any other; with `any_numbers`, a number for any number (sizes
    that depend on the machine)."""
    def literal(word):
        if not any_numbers:
            return re.escape(word)
        return NUMBER.pattern.join(map(re.escape, NUMBER.split(word)))

    pattern = ".*?".join(r"\s+".join(map(literal, part.split()))
                         for part in quote.split("..."))
    return re.fullmatch(r"\s*" + pattern + r"\s*", message, flags=re.S) is not None


def raised(call):
    try:
        call()
    except Exception as error:  # noqa: BLE001 - the exception is what is compared
        return type(error).__name__, str(error)
    return None, "no exception"


def in_subprocess(script, env=None, cwd=None, flags=()):
    """The last line a script prints: "Name: message" of what it caught."""
    proc = subprocess.run([sys.executable, *flags, "-c", script], capture_output=True, text=True,
                          timeout=300, env={**os.environ, **(env or {})}, cwd=cwd)
    assert proc.returncode == 0, proc.stderr
    name, _, message = proc.stdout.strip().splitlines()[-1].partition(": ")
    return name, message


CATCH = """
try:
    {call}
except Exception as error:
    print(f"{{type(error).__name__}}: {{error}}")
else:
    print("None: no exception")
"""


def overflowing_product():
    H = PauliSum([("XI", 1.7e308), ("IX", 1.7e308), ("XX", 1.7e308), ("ZZ", 1.7e308)])
    return raised(lambda: evolve(H, np.full(4, 0.5), 1e-300, tol=1e-8))


def steps_too_short():
    """A field with an integrable singularity at t = 1/pi: the quasi-Magnus
    steps shrink towards it until they reach the floor."""
    center = 1 / math.pi

    def f(t):
        return math.copysign(1.0, t - center) / math.sqrt(abs(t - center) + 1e-300)

    H = TimeDependentSum([PauliSum([("Z", 1.0)]), (PauliSum([("X", 1.0)]), f)])
    return raised(lambda: evolve(H, np.array([1, 0j]), 1.0, tol=1e-10, method="magnus"))


def undeclared_jump():
    """A field that jumps at t = 2.3, not declared as a breakpoint: the Taylor
    steps' drive does not converge there."""
    chain = ising_chain(6)
    bonds = PauliSum([(label, c) for label, c in chain.terms if "X" not in label])
    field = PauliSum([(label, c) for label, c in chain.terms if "X" in label])
    H = TimeDependentSum([bonds, (field, lambda t: 2.0 if t > 2.3 else 1.0)])
    return raised(lambda: evolve(H, np.full(64, 0.125, dtype=complex), 5.0, tol=1e-8))


def nan_from_a_part():
    H = TimeDependentSum([PauliSum([("X", 1.0)]), (PauliSum([("Z", 1.0)]), lambda t: math.nan)])
    return raised(lambda: evolve(H, np.array([1, 0j]), 1.0))


def beyond_the_machine():
    """The core step asked for four vectors of more than the machine has (the
    input is mapped, never touched): refused before allocating."""
    from test_memory_exhaustion import OVERCOMMIT, physical_plus_swap

    proc = subprocess.run([sys.executable, "-c", OVERCOMMIT, str(physical_plus_swap()), "core"],
                          capture_output=True, text=True, timeout=300, cwd="/")
    assert proc.returncode == 0, proc.stderr
    name, _, message = proc.stdout.strip().splitlines()[0].partition(" | ")
    if "physical memory plus swap" not in message:
        pytest.skip(f"this machine's limit is another one: {message}")
    return name, message


def thread_team_failure():
    """Worker stacks of 100 GiB: the second thread cannot be created (where
    the system allows such a stack, nothing fails and there is nothing to
    compare)."""
    name, message = in_subprocess(
        "import numpy as np\nfrom _velmora import Hamiltonian, PauliWord, evolve\n"
        + CATCH.format(call='evolve(Hamiltonian([PauliWord(1.0, "XZ")]), '
                            'np.ones(4, dtype=complex), 0.1, 2)'),
        env={"OMP_STACKSIZE": "100G"})
    if name != "RuntimeError" or "Resource temporarily unavailable" not in message:
        pytest.skip(f"the stacks did not fail as on the documented machine: {name}: {message}")
    return name, message


def python_without_velmora():
    """An interpreter that has no velmora: this one without its site-packages
    (-S) and without PYTHONPATH (-I)."""
    return in_subprocess(CATCH.format(call="import velmora"), cwd="/", flags=("-I", "-S"))


def import_from_the_source_folder():
    return in_subprocess(CATCH.format(call="import velmora"), cwd=ROOT,
                         env={"PYTHONSAFEPATH": ""})


def on_processes(count, call):
    """What rank 0 of `count` MPI processes catches from `call` (a statement
    with comm, vm, PauliSum and ising_chain at hand)."""
    pytest.importorskip("mpi4py")
    mpiexec = pathlib.Path(sys.executable).with_name("mpiexec")
    script = ("from mpi4py import MPI\nimport velmora.mpi as vm\nfrom velmora import PauliSum\n"
              "from velmora.models import ising_chain\ncomm = MPI.COMM_WORLD\n"
              + CATCH.format(call=call).replace("    print(", "    comm.rank or print("))
    proc = subprocess.run([str(mpiexec), "-n", str(count), sys.executable, "-c", script],
                          capture_output=True, text=True, timeout=120, cwd="/")
    assert proc.returncode == 0, proc.stderr
    name, _, message = proc.stdout.strip().splitlines()[-1].partition(": ")
    return name, message


# The quote's exception and the first words of its message -> how to raise it.
CASES = {
    ("OverflowError", "H * psi overflows double precision"): overflowing_product,
    ("ValueError", "the time-dependent sum changes too fast"): steps_too_short,
    ("ValueError", "part 1: f("): nan_from_a_part,
    ("ValueError", "f of part 1 is not smooth near"): undeclared_jump,
    ("ValueError", "to_sparse: the matrix of 20 qubits"):
        lambda: raised(lambda: ising_chain(20).to_sparse(max_bytes=2**20)),
    ("ValueError", "H is not Hermitian"):
        lambda: raised(lambda: evolve(PauliSum([("XY", 1j)]), np.ones(4), 1.0)),
    ("MemoryError", "evolve needs"): beyond_the_machine,
    ("RuntimeError", "cannot start a team of 2 threads"): thread_team_failure,
    ("ImportError", "velmora was imported from its source folder"): import_from_the_source_folder,
    ("ModuleNotFoundError", "No module named 'velmora'"): python_without_velmora,
    ("ValueError", "velmora.mpi needs a power-of-two number"):
        lambda: on_processes(3, "vm.basis_state(4, 0, comm)"),
    ("ValueError", "the ranks were given different t"):
        lambda: on_processes(2, "vm.evolve(ising_chain(4), vm.basis_state(4, 0, comm), "
                                "1.0 + comm.rank, comm=comm)"),
}


# Messages whose numbers are this machine's (its memory).
MACHINE = {beyond_the_machine}


def test_the_pages_quote_messages():
    assert len(quotes()) >= len(CASES)


@pytest.mark.parametrize("page, name, quote", quotes(),
                         ids=[f"{page}: {name}: {quote[:40]}" for page, name, quote in quotes()])
def test_a_quoted_message_is_one_the_code_raises(page, name, quote):
    keys = [key for key in CASES if key[0] == name.split(".")[-1] and quote.startswith(key[1])]
    assert keys, (f"{page} quotes {name}: {quote!r}, which no row of CASES reproduces: add "
                  "one (the call that raises it)")
    case = CASES[keys[0]]
    got_name, message = case()
    assert got_name == name.split(".")[-1], f"{page}: expected {name}, got {got_name}: {message}"
    assert matches(quote, message, any_numbers=case in MACHINE), f"{page} quotes\n  {quote}\nbut the code says\n  {message}"


@pytest.mark.parametrize("quote, message, same, same_but_numbers", [
    ("a b", "a  b", True, True),
    ("got 3", "got 4", False, True),
    ("near t = ...", "near t = 0.318 for tol = 1e-10: ...", True, True),
    ("the coefficient nan is not finite", "the coefficient (nan+0j) is not finite", False, False),
    ("is too large ...", "is not finite", False, False),
    ("needs 32.0 GiB, at most 24.0 GiB", "needs 64.0 GiB, at most 23.5 GiB", False, True),
    ("needs 32.0 GiB (physical memory)", "needs 32.0 GiB (the cgroup limit)", False, False),
])
def test_matching(quote, message, same, same_but_numbers):
    assert matches(quote, message) is same
    assert matches(quote, message, any_numbers=True) is same_but_numbers
