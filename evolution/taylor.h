#pragma once

// Time evolution under H(t) = sum_p f_p(t) P_p by Taylor steps with the drives
// as polynomials (evolution/chebyshev.h).
//
// On a step [t, t + h], with s = (time - t) / h and each f_p(t + s h) ~
// sum_j a_(p,j) s^j, the state psi(t + s h) = exp(-i c h s) sum_k u_k s^k
// (c the energy of psi(t) under H(t), taken out as an exact phase) has
//
//   u_0 = psi(t),   u_(k+1) = -i h / (k + 1) [sum_p P_p (sum_j a_(p,j) u_(k-j)) - c u_k],
//
// one product with each part per order. The series stops when two successive
// terms are below the step's share of tol (relative to the state); the step
// is accepted when that, the drives' polynomial error times h ||P_p||, and the
// rounding (the largest term times eps times the number of terms) fit its
// share tol h / T; otherwise it is taken again at half its length. The next
// step aims at `target_terms` terms, never longer than max_step (a floor of
// samples of the drives, whatever ||H|| is) nor past a breakpoint or the end.
// An output time inside a step is the same series at its s (every term
// smaller than at s = 1, so the step's estimate bounds it too). A drive whose
// polynomial does not converge on steps down to a floor (a jump, a narrow
// feature) stops the run with the time and the part (DriveNotSmooth).
//
// Every product and sum runs in a fixed order (the parts' products, chunked
// sums of reduce.h), so the bytes are the same for every number of threads;
// with ranks, every rank takes the same decisions (the norms are whole-state
// sums) and holds its slice.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/complex.h"
#include "evolution/krylov_engine.h"
#include "evolution/krylov_operator.h"

namespace velmora {

class Ranks;

/// The drives' values, asked for once per step attempt.
class DriveSampler {
public:
    virtual ~DriveSampler() = default;
    /// values[p * times.size() + i] = f_p(times[i]) for the driven parts p
    /// (those given drives); may throw (a non-finite value, an interrupt).
    virtual void sample(const std::vector<double>& times, std::vector<double>& values) = 0;
};

/// A drive that stays not smooth on steps down to the floor.
class DriveNotSmooth : public std::runtime_error {
public:
    DriveNotSmooth(const std::string& message, std::size_t part, double time)
        : std::runtime_error(message), part(part), time(time) {}
    std::size_t part;
    double time;
};

struct TaylorOptions {
    double tol = 1e-8;
    std::int32_t num_threads = 0;
    /// Longest step (> 0); the caller's default covers the run with a few
    /// hundred samples of every drive.
    double max_step = 1.0;
    /// Times where some drive is not smooth: no step straddles one.
    std::vector<double> breakpoints;
    /// Terms a step aims at.
    std::uint64_t target_terms = 36;
    /// Interpolation degree of the drives per step.
    std::uint64_t drive_degree = 16;
    Ranks* ranks = nullptr;
};

struct TaylorReport {
    /// The sum of the accepted steps' estimates (truncation, drives,
    /// rounding), relative to the state: an estimate, never below any output's.
    double error = 0.0;
    std::uint64_t steps = 0;
    std::uint64_t rejected = 0;
    /// Products with a part, and calls of the drives (per part and time).
    std::uint64_t applications = 0;
    std::uint64_t function_calls = 0;
};

/// A part: its operator and whether a drive scales it (drive index `drive`
/// into the sampler's parts; -1: constant).
struct TaylorPart {
    KrylovOperator* op;
    std::int64_t drive;
    /// A bound of ||P|| (sum of |coefficients| over its words).
    double norm_bound;
};

/// Evolves psi (op.local_dim() amplitudes of each part, the same for all) from
/// t0 to times[k] (ascending, >= t0), calling sink.output(k, state) in order
/// and sink.between_steps between steps. Throws std::invalid_argument for bad
/// arguments, DriveNotSmooth, OutOfMemory, and whatever the sampler and the
/// sink throw (every buffer is released).
TaylorReport taylor_evolve(const std::vector<TaylorPart>& parts, std::size_t num_drives,
                           DriveSampler& sampler, const Complex* psi, double t0,
                           const double* times, std::uint64_t num_times,
                           const TaylorOptions& options, KrylovSink& sink);

/// State vectors a run holds at most, for the memory check.
double taylor_working_vectors(const std::vector<TaylorPart>& parts, std::uint64_t degree,
                              std::uint64_t outputs_per_step);

}  // namespace velmora
