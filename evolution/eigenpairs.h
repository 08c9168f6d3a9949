#pragma once

// Eigenpairs at one end of the spectrum of a Hermitian operator (any of the
// Krylov engine's operators, evolution/krylov_operator.h) by thick-restart
// Lanczos (Wu & Simon 2000) with partial reorthogonalisation (Simon 1984).
//
// A cycle extends the basis v_0 .. v_(m-1) by Lanczos steps: w = H v_j, minus
// alpha_j v_j and beta_(j-1) v_(j-1) (or, right after a restart, the arrow of
// the kept Ritz vectors). Simon's recurrence estimates the overlaps of the new
// vector with the basis from T alone; when one exceeds 1e-12, the vector (and
// the next one) gets a classical Gram-Schmidt pass against the whole basis,
// so the basis stays orthonormal to about 1e-12 while most steps read only
// three vectors instead of all of them. The Ritz pairs (theta, y = V u) of T = V^H H V estimate their
// residuals as |beta_m u_(m-1)|; a pair has converged when that is at most
// tol * max |theta| (the largest Ritz value estimating ||H||). A restart keeps
// the p best Ritz vectors and the residual direction, so that T becomes
// diagonal plus one arrow row.
//
// A Krylov space grown from one vector holds one vector of each eigenspace:
// the partner of a degenerate eigenvalue can be missed. After convergence, a
// check run in the complement of the eigenvectors found, from a fixed
// pseudo-random vector, looks for a better eigenvalue there; it stops when
// its best Ritz value converges (and swaps in when it beats the k-th) or when
// that value's residual interval clears the k-th.
//
// Every sum runs in a fixed order (chunked sums, parallel/reduce.h): the
// results are the same bytes for every number of threads.

#include <cstdint>
#include <vector>

#include "base/complex.h"
#include "evolution/krylov_operator.h"

namespace velmora {

struct EigenOptions {
    /// k: eigenpairs wanted, 1 <= k < dim (k = dim is allowed for tiny spaces).
    std::uint64_t count = 1;
    /// The largest eigenvalues instead of the smallest.
    bool largest = false;
    /// Convergence: Ritz residual <= tol * max |Ritz value|, tol in (0, 1).
    double tol = 1e-10;
    /// m: basis vectors per cycle, count < m (capped at dim).
    std::uint64_t basis_size = 20;
    /// The run stops unconverged after this many products H * v.
    std::uint64_t max_products = 10000;
    /// 0: the calling thread; k > 0: a team of k threads. Same bits for all.
    std::int32_t num_threads = 0;
    /// Run the check for eigenvalues the Krylov space missed.
    bool check_missed = true;
};

struct EigenReport {
    /// The k eigenvalues found (Rayleigh quotients of the vectors), ascending.
    std::vector<double> values;
    /// ||H y - lambda y|| of each unit vector y, computed from y itself, plus
    /// the operator's bound of the product's rounding.
    std::vector<double> residuals;
    std::uint64_t products = 0;
    std::uint64_t restarts = 0;
    /// Basis vectors orthogonalised against the whole basis (the others only
    /// against their two predecessors, while the overlap estimates allow).
    std::uint64_t reorthogonalizations = 0;
    /// Products spent by the check for missed eigenvalues (within `products`).
    std::uint64_t check_products = 0;
    /// Whether every pair met the tolerance within max_products.
    bool converged = false;
    /// Largest |Ritz value| seen: the scale of the tolerance.
    double norm_estimate = 0.0;
};

/// Called between cycles with the products so far and the number of wanted
/// pairs converged. May throw to stop the run; every buffer is released.
class EigenObserver {
public:
    virtual ~EigenObserver() = default;
    virtual void between_cycles(std::uint64_t products, std::uint64_t converged) = 0;
};

/// Working memory of a run in state vectors: the basis of m + 1.
inline double eigen_working_vectors(std::uint64_t basis_size) {
    return static_cast<double>(basis_size + 1);
}

/// Finds options.count eigenpairs of op at the end options.largest asks for,
/// starting from `start` (op.dim() amplitudes, not zero), and writes the unit
/// eigenvectors as rows of `vectors` (count x dim), in the order of
/// EigenReport::values. Without ranks only. Throws std::invalid_argument for
/// bad options or a zero or non-finite start, OutOfMemory when the basis does
/// not fit, and whatever the observer throws.
EigenReport lanczos_eigenpairs(KrylovOperator& op, const Complex* start, Complex* vectors,
                               const EigenOptions& options, EigenObserver& observer);

}  // namespace velmora
