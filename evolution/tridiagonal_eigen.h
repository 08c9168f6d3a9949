#pragma once

#include <cstdint>
#include <vector>

namespace velmora {

/// Eigen-decomposition T = U diag(values) U^T of a real symmetric
/// tridiagonal matrix.
struct TridiagonalEigen {
    std::vector<double> values;   ///< eigenvalues, ascending
    std::vector<double> vectors;  ///< U, m x m row-major: column k is the eigenvector of values[k]
};

/// Decomposes the m x m symmetric tridiagonal matrix with diagonal
/// diag[0 .. m) and off-diagonal off[0 .. m-1) (off[j] joins rows j and j+1)
/// by the implicit QL algorithm with Wilkinson shifts (tql2), starting from
/// the identity; deterministic, no external library. The columns of U are
/// orthonormal to working precision. Any finite entries are accepted: the
/// matrix is scaled by a power of two (exactly) so that its largest entry
/// lies in [0.5, 1) and the eigenvalues are scaled back. Throws
/// std::invalid_argument for a non-finite entry; m = 0 gives empty results.
TridiagonalEigen tridiagonal_eigen(const double* diag, const double* off, std::uint64_t m);

}  // namespace velmora
