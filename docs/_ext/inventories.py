"""Intersphinx inventories of the libraries these pages cite, written here.

The machines that build the site reach no documentation site, so the links
to Python, NumPy, SciPy, Qiskit, OpenFermion and mpi4py come from this table:
each entry is a name, its kind and its page under the library's own base URL.
A name the pages cite and the table lacks is a build error (nitpicky), so the
table grows with the pages.
"""

import pathlib
import zlib

BASES = {
    "python": "https://docs.python.org/3/",
    "numpy": "https://numpy.org/doc/stable/",
    "scipy": "https://docs.scipy.org/doc/scipy/",
    "qiskit": "https://quantum.cloud.ibm.com/docs/api/qiskit/",
    "openfermion": "https://quantumai.google/reference/python/",
    "mpi4py": "https://mpi4py.readthedocs.io/en/stable/",
}


def _python():
    functions = ["int", "float", "bool", "complex", "object", "slice"]
    stdtypes = ["str", "list", "tuple", "dict", "range", "bytes"]
    exceptions = ["ValueError", "TypeError", "MemoryError", "KeyboardInterrupt", "RuntimeError",
                  "IndexError", "KeyError", "ArithmeticError", "OverflowError", "ImportError",
                  "Exception", "AttributeError", "NotImplementedError", "OSError"]
    abc = ["Sequence", "Iterable", "Mapping", "Callable", "Iterator", "Generator"]
    yield from ((n, "py:class", f"library/functions.html#{n}") for n in functions)
    yield from ((n, "py:class", f"library/stdtypes.html#{n}") for n in stdtypes)
    yield from ((n, "py:exception", f"library/exceptions.html#{n}") for n in exceptions)
    yield from ((f"collections.abc.{n}", "py:class",
                 f"library/collections.abc.html#collections.abc.{n}") for n in abc)
    yield "None", "py:data", "library/constants.html#None"
    yield "True", "py:data", "library/constants.html#True"
    yield "False", "py:data", "library/constants.html#False"
    yield "typing.Any", "py:data", "library/typing.html#typing.Any"
    yield "typing.Union", "py:data", "library/typing.html#typing.Union"
    yield "os.cpu_count", "py:function", "library/os.html#os.cpu_count"
    yield "pathlib.Path", "py:class", "library/pathlib.html#pathlib.Path"
    yield "numbers.Number", "py:class", "library/numbers.html#numbers.Number"
    yield "numbers.Real", "py:class", "library/numbers.html#numbers.Real"
    yield "math.fsum", "py:function", "library/math.html#math.fsum"
    yield "functools.partial", "py:function", "library/functools.html#functools.partial"
    yield "multiprocessing", "py:module", "library/multiprocessing.html#module-multiprocessing"
    yield "os.sched_getaffinity", "py:function", "library/os.html#os.sched_getaffinity"
    # numpydoc's type words: "sequence", "iterable", "bool".
    for term in ["sequence", "iterable", "mapping", "callable"]:
        yield term, "std:term", f"glossary.html#term-{term}"
    yield "bltin-boolean-values", "std:label", "library/stdtypes.html#boolean-values"
    yield "pickle", "py:module", "library/pickle.html#module-pickle"
    yield "doctest", "py:module", "library/doctest.html#module-doctest"


def _generated(prefix, names, role="py:function"):
    for name in names:
        yield f"{prefix}{name}", role, f"reference/generated/{prefix}{name}.html#{prefix}{name}"


def _numpy():
    yield from _generated("numpy.", ["ndarray", "dtype"], "py:class")
    yield from _generated("numpy.", ["zeros", "ones", "empty", "vdot", "allclose", "kron",
                                     "array", "asarray", "linspace", "exp", "load", "save"])
    yield from _generated("numpy.linalg.", ["eigh", "norm", "eigvalsh"])
    for scalar in ["complex128", "float64", "int64", "uint64", "bool_", "integer", "floating"]:
        yield f"numpy.{scalar}", "py:class", f"reference/arrays.scalars.html#numpy.{scalar}"
    yield "numpy.random.Generator", "py:class", \
        "reference/random/generator.html#numpy.random.Generator"
    yield "numpy.random.default_rng", "py:function", \
        "reference/random/generator.html#numpy.random.default_rng"
    yield "array_like", "std:term", "glossary.html#term-array_like"
    yield "numpy.typing.ArrayLike", "py:data", \
        "reference/typing.html#numpy.typing.ArrayLike"
    yield "numpy.typing.NDArray", "py:data", "reference/typing.html#numpy.typing.NDArray"


def _scipy():
    yield from _generated("scipy.sparse.", ["csr_matrix", "csr_array", "coo_matrix"], "py:class")
    yield from _generated("scipy.sparse.linalg.", ["LinearOperator"], "py:class")
    yield from _generated("scipy.sparse.linalg.", ["eigsh", "expm_multiply", "lobpcg", "expm"])
    yield from _generated("scipy.linalg.", ["expm", "eigh"])
    yield from _generated("scipy.integrate.", ["solve_ivp"])
    yield from _generated("scipy.integrate.", ["DOP853"], "py:class")


def _qiskit():
    for name in ["SparsePauliOp", "Pauli", "Statevector", "Operator"]:
        yield f"qiskit.quantum_info.{name}", "py:class", f"qiskit.quantum_info.{name}"


def _openfermion():
    for name in ["QubitOperator", "FermionOperator"]:
        yield f"openfermion.{name}", "py:class", f"openfermion/ops/{name}"
    yield "openfermion.InteractionOperator", "py:class", "openfermion/ops/InteractionOperator"
    yield "openfermion.jordan_wigner", "py:function", "openfermion/transforms/jordan_wigner"
    yield "openfermion.get_sparse_operator", "py:function", \
        "openfermion/linalg/get_sparse_operator"


def _mpi4py():
    for name in ["Comm", "Intracomm"]:
        yield f"mpi4py.MPI.{name}", "py:class", \
            f"reference/mpi4py.MPI.{name}.html#mpi4py.MPI.{name}"
    yield "mpi4py.MPI.COMM_WORLD", "py:data", \
        "reference/mpi4py.MPI.COMM_WORLD.html#mpi4py.MPI.COMM_WORLD"


ENTRIES = {"python": _python, "numpy": _numpy, "scipy": _scipy, "qiskit": _qiskit,
           "openfermion": _openfermion, "mpi4py": _mpi4py}


def write(folder):
    """Writes folder/NAME.inv for every library of BASES (Sphinx's format 2)."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    for project, entries in ENTRIES.items():
        lines = "".join(f"{name} {role} 1 {uri} -\n" for name, role, uri in entries())
        header = (f"# Sphinx inventory version 2\n# Project: {project}\n# Version: \n"
                  "# The remainder of this file is compressed using zlib.\n")
        (folder / f"{project}.inv").write_bytes(header.encode() +
                                                zlib.compress(lines.encode()))
