#pragma once

#include <cstdint>
#include <vector>

namespace velmora {

/// Eigen-decomposition A = U diag(values) U^T of a real symmetric matrix.
struct SymmetricEigen {
    std::vector<double> values;   ///< eigenvalues, ascending
    std::vector<double> vectors;  ///< U, m x m row-major: column k belongs to values[k]
};

/// Decomposes the m x m symmetric matrix `a` (row-major; only the upper
/// triangle is read) by cyclic Jacobi rotations until every off-diagonal
/// entry is negligible next to its diagonal pair (at most 50 sweeps). The
/// rotations run in a fixed order, so the result depends on `a` alone; the
/// columns of U are orthonormal to working precision. Eigenvalues that tie
/// keep the order of their diagonal positions. Throws std::invalid_argument
/// for a non-finite entry; m = 0 gives empty results.
SymmetricEigen symmetric_eigen(const double* a, std::uint64_t m);

}  // namespace velmora
