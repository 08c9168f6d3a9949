#pragma once

#include <cstdint>
#include <memory>

#include "base/complex.h"
#include "pauli/kernel.h"

namespace velmora {

/// An owned dense m x m complex matrix, row-major: entry (r, c) at r * m + c.
/// The dimension travels beside it.
using Matrix = std::unique_ptr<Complex[]>;

/// A new zero-filled m x m matrix.
Matrix zero_matrix(std::uint64_t m);

/// Scaling threshold of the degree-13 Padé approximant (bits 0x40157CD8B04397B4).
inline constexpr double theta_13 = 5.371920351148152;

/// Coefficients b_0 ... b_13 of the [13/13] Padé approximant of exp:
/// b_k = (26 - k)! / (k! (13 - k)!).
inline constexpr double pade_13[14] = {
    64764752532480000.0, 32382376266240000.0, 7771770303897600.0,
    1187353796428800.0,  129060195264000.0,   10559470521600.0,
    670442572800.0,      33522128640.0,       1323241920.0,
    40840800.0,          960960.0,            16380.0,
    182.0,               1.0,
};

/// exp(A) by scaling and squaring with the [13/13] Padé approximant for
/// m >= 2, the scalar exponential for m = 1, an empty matrix for m = 0.
/// Takes A over and returns the result in its storage. A non-finite 1-norm
/// gives a matrix of NaNs. Uses the widest instruction set of this processor.
Matrix matrix_exponential(Matrix A, std::uint64_t m);

/// The same with the instruction set of the dense products chosen by the
/// caller (one this processor runs). Every instruction set gives the same
/// bits: each entry is formed by the operation sequence of the scalar
/// matrix_multiply and solve_linear_system below, only several entries of a
/// row at a time.
Matrix matrix_exponential(Matrix A, std::uint64_t m, KernelIsa isa);

/// Z = X * Y, accumulated row by row in increasing middle index, skipping
/// left-factor entries that are exactly zero.
Matrix matrix_multiply(const Complex* X, const Complex* Y, std::uint64_t m);

/// X with P * X = Q by Gauss-Jordan elimination with row pivoting. Takes P and
/// Q over and returns X in the storage of Q. A singular P gives non-finite
/// entries, never an error.
Matrix solve_linear_system(Matrix P, Matrix Q, std::uint64_t m);

/// The number of squarings for a 1-norm: 0 up to theta_13, otherwise
/// ceil(log2(norm / theta_13)). Requires a finite norm.
std::int32_t squaring_count(double norm);

/// The exact 1-norm of A: the largest column sum of hypot moduli, columns in
/// order; a NaN column sum never becomes the maximum.
double one_norm(const Complex* A, std::uint64_t m);

/// The complex exponential of one entry, with explicit rules for non-finite
/// real parts.
Complex scalar_exponential(Complex z);

/// c / p by the scaled (Smith) rule, with NaN for a NaN pivot or a zero or
/// NaN denominator.
Complex divide_by_pivot(Complex c, Complex p);

}  // namespace velmora
