#pragma once

// The Lanczos chain of a vector: the coefficients alpha_j, beta_j of the
// tridiagonal matrix T = V^H H V grown from v / ||v|| by the plain three-term
// recurrence (no reorthogonalisation: the chain feeds continued fractions,
// whose values converge in spite of the loss of orthogonality). Products and
// sums are the Krylov engine's (evolution/sweeps.h): the same bits for every
// number of threads.

#include <cstdint>
#include <vector>

#include "base/complex.h"
#include "evolution/eigenpairs.h"
#include "evolution/krylov_operator.h"

namespace velmora {

struct LanczosChain {
    /// ||v||.
    double norm = 0.0;
    /// alpha_j = <v_j, H v_j> (the scalar part included), j < steps taken.
    std::vector<double> alpha;
    /// beta_j = ||H v_j - alpha_j v_j - beta_(j-1) v_(j-1)||, joining v_j and
    /// v_(j+1); the last one is the residual of the chain.
    std::vector<double> beta;
    std::uint64_t products = 0;
};

/// Runs at most `steps` steps from v (op.dim() amplitudes) on a team of
/// `threads`; stops early when beta_j breaks down (then it is the last entry,
/// set to zero). A zero v gives norm 0 and empty coefficients. The observer is
/// called every 16 steps and may throw. Without ranks only. Throws
/// std::invalid_argument for steps = 0 or a non-finite v, std::overflow_error
/// when H v leaves the double range.
LanczosChain lanczos_chain(KrylovOperator& op, const Complex* v, std::uint64_t steps,
                           std::int32_t threads, EigenObserver& observer);

}  // namespace velmora
