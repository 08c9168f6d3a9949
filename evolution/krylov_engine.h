#pragma once

// Error-controlled time evolution of a state vector by Krylov (Lanczos)
// steps with dense output.
//
// The run evolves psi to the output times t_k = d * times[k] (d: the
// direction, |d| = 1) and delivers exp(-i t_k H) psi for each k in order.
// Each step runs the Lanczos recurrence from the current state, picks the
// longest step whose error estimate (evolution/krylov_bound.h) stays within
// the budget tol * tau / times[last] relative to the state, and forms every
// output time inside the step from the same basis. Identity words are taken
// out of H and applied exactly as the scalar exp(-i mu t_k). The diagonal
// words (Z letters only) are summed once per run into the real diagonal d of
// their part of H, so that a product H * v costs one kernel pass over the
// off-diagonal words plus d * v, added by the first sweep of the Lanczos step.

#include <cstdint>

#include "evolution/krylov_operator.h"
#include "base/complex.h"
#include "pauli/hamiltonian.h"

namespace velmora {

class Ranks;

/// Settings of one run.
struct KrylovOptions {
    /// Target relative error of every output, in (0, 1).
    double tol = 1e-12;
    /// 0 runs everything on the calling thread, k > 0 on a team of k threads;
    /// the results are the same bytes for every value.
    std::int32_t num_threads = 0;
    /// m: Lanczos steps per time step (>= 2; capped at 2^num_qubits).
    std::uint64_t krylov_dim = 30;
    /// The m + 1 basis vectors are kept when (m + 1) * 16 * 2^num_qubits
    /// bytes fit; otherwise each step runs the recurrence twice (the second
    /// time regenerating the basis vectors one at a time) and holds at most
    /// six state vectors. Memory left over in the budget after the basis
    /// holds up to eight output buffers, so that several outputs of one step
    /// share a sweep over the basis. Not counted in the budget: the state
    /// carried between steps and, when H has diagonal words, their diagonal
    /// (8 * 2^num_qubits bytes, half a state vector).
    std::uint64_t basis_budget_bytes = std::uint64_t{1} << 30;
    /// The processes sharing the state (parallel/ranks.h), or null when this
    /// process holds all of it. With ranks, psi, the states given to the sink
    /// and the budget are this rank's slice; every rank calls krylov_evolve
    /// with the same arguments otherwise and obtains the bits of the
    /// single-process run, sliced. Two more slices (exchange buffers) are
    /// used when words flip the ranks' qubits.
    Ranks* ranks = nullptr;
    /// Deliver every output with unit norm (zero outputs stay zero) and its
    /// natural log norm through KrylovSink::log_norm, so that results of any
    /// size can be had. Without it, an output whose norm is beyond the
    /// double range (or so small that its entries would lose digits to
    /// underflow) throws std::overflow_error.
    bool normalize = false;
};

/// What a run did.
struct KrylovReport {
    /// Upper estimate of the relative error of every output: the sum of the
    /// per-step estimates used plus a rounding floor per step.
    double error = 0.0;
    /// Time steps taken.
    std::uint64_t steps = 0;
    /// Products H * v computed.
    std::uint64_t applications = 0;
    /// Whether the basis was kept (one recurrence per step).
    bool kept_basis = false;
    /// With ranks: exchanges of slices per product H * v.
    std::uint64_t exchanges_per_product = 0;
};

/// Receives the results of a run. Both functions are called on the thread
/// that called krylov_evolve, never inside an OpenMP region.
class KrylovSink {
public:
    virtual ~KrylovSink() = default;
    /// The state at output time k: `state` holds 2^num_qubits amplitudes,
    /// the identity words' phase included, and is valid only during the call.
    virtual void output(std::uint64_t k, const Complex* state) = 0;
    /// With KrylovOptions::normalize, called just before output(k, ...) with
    /// the natural log of the norm of the true output (-inf for a zero one).
    virtual void log_norm(std::uint64_t /*k*/, double /*value*/) {}
    /// Called between two time steps with the time reached so far and the
    /// final time (both in units of `times`). May throw to stop the run; the
    /// exception leaves krylov_evolve with every buffer released.
    virtual void between_steps(double reached, double total) = 0;
};

/// Evolves psi (2^num_qubits amplitudes, read only) to t_k = direction *
/// times[k] for k = 0 .. num_times - 1, calling sink.output(k, exp(-i t_k H)
/// psi) in order of k. `times` are finite, >= 0 and non-decreasing;
/// `direction` has modulus 1 (1: real time; -i: imaginary time exp(-tau H)).
/// H must be Hermitian (real coefficients; imaginary parts are ignored).
/// For a non-real direction the result is the true, non-normalised
/// exp(-i t_k H) psi; intermediate states are carried with a separate scale,
/// so they stay finite while the results are representable.
///
/// H * v is formed as K * v + d * v: K holds the words that flip qubits,
/// applied in ascending order of their flip mask (stable), and d[x] = sum_w
/// c_w (-1)^popcount(z_w & x) over the diagonal words in their order; the
/// result of K * v then receives d[x] * v[x]. Every amplitude thus gets its
/// contributions in an order fixed by the Hamiltonian alone. A zero psi gives
/// zero outputs and error 0.
///
/// Memory: when the kept basis does not fit in the memory the process can
/// get (memory_limit.h), the run falls back to the regenerated basis; only
/// when that does not fit either does it throw OutOfMemory.
///
/// Throws std::overflow_error when H * v, the sum of the identity words or
/// the spread of the spectrum leaves the double range, when psi's norm is not
/// finite, and for an output beyond the double range without `normalize`;
/// std::invalid_argument for a Hamiltonian without words or with more
/// than 63 qubits, tol outside (0, 1), negative num_threads, krylov_dim < 2,
/// |direction| != 1, or times that are not finite, negative or decreasing;
/// std::bad_alloc when memory runs out; and whatever the sink throws.
KrylovReport krylov_evolve(const Hamiltonian& ham, const Complex* psi, const double* times,
                           std::uint64_t num_times, Complex direction,
                           const KrylovOptions& options, KrylovSink& sink);

/// The same run under any operator (evolution/krylov_operator.h): psi holds
/// op.local_dim() amplitudes; with options.ranks, op must be built over the
/// same ranks. The Hamiltonian overload is this one with a PauliSumOperator.
KrylovReport krylov_evolve(KrylovOperator& op, const Complex* psi, const double* times,
                           std::uint64_t num_times, Complex direction,
                           const KrylovOptions& options, KrylovSink& sink);

}  // namespace velmora
