"""velmora: exact, fast time evolution of state vectors under Pauli-sum Hamiltonians.

`PauliSum` is an operator written as (label, coeff) terms, the last letter of a
label acting on qubit 0 (Qiskit's order). `Sector` is a symmetry sector (fixed
weight, translations and reflections, spin flip), on which `PauliSum.in_sector`
gives a `SectorOperator` that evolves like a PauliSum in far fewer amplitudes.
`TimeDependentSum` is a Hamiltonian whose parts are scaled by functions of
time, evolved by commutator-free quasi-Magnus steps (`velmora.quasi_magnus`).
`eigsh` finds ground states and other extreme eigenpairs without a matrix.
`correlation` and `spectral_function` give dynamical correlations (also at
infinite temperature, by random states) and Lanczos continued fractions.
`velmora.models` builds the common spin chains; `entanglement_entropy` measures the entanglement of a state
across a cut. `velmora.mpi` (with mpi4py installed) runs the same evolution on
a state split over MPI processes. The low-level core stays available as the
`_velmora` module.
"""

from __future__ import annotations

import os as _os

# Idle OpenMP workers sleep instead of spinning, unless the user chose a wait
# policy: spinning workers slow everything else on cores shared with other
# processes (up to several times, measured), for a gain of 10-40 % on an idle
# machine. The runtime reads this when it starts, at the import below.
if "OMP_WAIT_POLICY" not in _os.environ and "GOMP_SPINCOUNT" not in _os.environ:
    _os.environ["OMP_WAIT_POLICY"] = "passive"

try:
    from velmora import _native  # noqa: F401  (the compiled part of the package)
except ImportError as error:  # pragma: no cover - depends on how Python was started
    import pathlib

    if (pathlib.Path(__file__).parent.parent / "CMakeLists.txt").is_file():
        raise ImportError(
            "velmora was imported from its source folder, which has no compiled "
            "extension; install it (`make install` or `pip install .`) and run "
            "from another folder"
        ) from error
    raise

from velmora import models
from velmora.correlations import CorrelationResult, SpectralResult, correlation, spectral_function
from velmora.eigen import ConvergenceError, EigshResult, eigsh
from velmora.evolution import EvolveResult, TrajectoryResult, evolve, trajectory
from velmora._tolerance import ToleranceWarning
from velmora.pauli_sum import PauliSum, commutator
from velmora.sector import Sector, SectorOperator
from velmora.states import entanglement_entropy, reduced_density_matrix
from velmora.tapering import TaperedSum
from velmora.time_dependent import TimeDependentSum

__all__ = ["ConvergenceError", "CorrelationResult", "EigshResult", "EvolveResult", "PauliSum",
           "Sector", "SectorOperator", "SpectralResult", "TaperedSum", "TimeDependentSum",
           "ToleranceWarning", "TrajectoryResult", "commutator", "correlation", "eigsh",
           "entanglement_entropy", "evolve", "models", "reduced_density_matrix",
           "spectral_function", "trajectory"]
__version__ = "0.1.0"
