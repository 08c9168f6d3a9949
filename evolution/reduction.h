#pragma once

// Norms, inner products and expectations of state vectors, formed with the
// chunked sums of parallel/reduce.h: the same bits for every num_threads.
// With `ranks` (parallel/ranks.h), the vector arguments are this rank's slice
// (n = ranks->slice() amplitudes) and the result is the value for the whole
// vector, on every rank: the bits of the single-process function applied to
// the whole vector. Every rank calls the function at the same point.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "parallel/reduce.h"
#include "base/complex.h"
#include "pauli/hamiltonian.h"

namespace velmora {

class Ranks;

/// The largest |real part| or |imaginary part| among n amplitudes (NaN
/// entries are skipped). Exact, so independent of the split by nature.
double max_component(const Complex* v, std::uint64_t n, std::int32_t num_threads);

/// Euclidean norm of n amplitudes that neither overflows nor underflows for
/// finite entries: the entries are scaled by a power of two (exactly) chosen
/// from the largest component, the scaled squares summed chunk-wise, and the
/// root scaled back. Returns 0 for a zero vector; NaN or infinity when an
/// entry is not finite.
double stable_norm(const Complex* v, std::uint64_t n, std::int32_t num_threads,
                   Ranks* ranks = nullptr);

/// sum_i conj(a_i) * b_i, products written out in full.
Complex dot(const Complex* a, const Complex* b, std::uint64_t n, std::int32_t num_threads);

/// sum_i d_i |psi_i|^2 (with ranks, d is this rank's slice of the diagonal).
double diagonal_expectation(const double* d, const Complex* psi, std::uint64_t n,
                            std::int32_t num_threads, Ranks* ranks = nullptr);

}  // namespace velmora
