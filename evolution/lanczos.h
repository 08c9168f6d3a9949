#pragma once

#include <cstdint>

#include "evolution/matrix_exponential.h"
#include "pauli/hamiltonian.h"

namespace velmora {

/// Lanczos breakdown threshold on beta_j: 100 * 2^-52, absolute and strict.
inline constexpr double breakdown_tol = 2.220446049250313e-14;

/// Euclidean norm of n amplitudes, summed sequentially in index order.
double vector_norm(const Complex* v, std::uint64_t n);

/// sum_i conj(a_i) * b_i, summed sequentially in index order.
Complex inner_product(const Complex* a, const Complex* b, std::uint64_t n);

/// Pass 1: runs at most m Lanczos steps from state / x, writes alpha_j on the
/// diagonal of T (m x m, row-major, zero on entry) and beta_j beside it
/// wherever it fits, and returns the dimension reached, 1 <= k <= m. Holds
/// three scratch vectors of 2^num_qubits amplitudes.
std::uint64_t lanczos_tridiagonalize(const Hamiltonian& ham, const Complex* state, double x,
                                     Complex* T, std::uint64_t m, std::int32_t num_threads);

/// S = s * T_k, where T_k is the leading k x k block of T (row length
/// `row_length`); S has row length k. Every entry takes the full product.
Matrix scale_matrix(const Complex* T, std::uint64_t row_length, std::uint64_t k, Complex s);

/// Pass 2: overwrites `result` with x * V_k * exp(-i c T_k) * e_1, regenerating
/// the Lanczos vectors from T one at a time and folding each into the result.
void lanczos_propagate(const Hamiltonian& ham, const Complex* state, double x,
                       const Complex* T, std::uint64_t m, std::uint64_t k, Complex c,
                       Complex* result, std::int32_t num_threads);

}  // namespace velmora
