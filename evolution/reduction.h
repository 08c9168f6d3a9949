#pragma once

// Sweeps and sums over state vectors whose results do not depend on the
// number of threads that run them.
//
// [0, n) is cut into chunks of reduction_chunk entries (the last one may be
// shorter). A sum is formed chunk by chunk: each chunk adds its own terms
// sequentially in index order, and the chunk sums are then combined on the
// calling thread in a pairwise tree that depends on the chunk count alone.
// The chunks may run on an OpenMP team; which thread handles a chunk changes
// nothing, so the bits of every sum are the same for every num_threads.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "pauli/complex.h"
#include "pauli/hamiltonian.h"
#include "pauli/team.h"

namespace velmora {

/// Entries per chunk of a sweep or a sum.
inline constexpr std::uint64_t reduction_chunk = 4096;

/// Number of chunks of [0, n).
inline std::uint64_t chunk_count(std::uint64_t n) {
    return (n + reduction_chunk - 1) / reduction_chunk;
}

/// The team that shares a sweep over n entries, or 0 for the calling thread
/// (no team asked for, or a single chunk).
inline std::int32_t chunk_team(std::uint64_t n, std::int32_t num_threads) {
    return n <= reduction_chunk ? 0 : team_size_for(num_threads);
}

/// Runs body(begin, end) for every chunk of [0, n), the chunks split
/// statically over the team of num_threads (0: all on the calling thread).
/// `body` must not throw; it runs inside an OpenMP region.
template <class Body>
void for_each_chunk(std::uint64_t n, std::int32_t num_threads, Body&& body) {
    const std::int32_t team = chunk_team(n, num_threads);
    const std::int64_t chunks = static_cast<std::int64_t>(chunk_count(n));
    if (team == 0) {
        for (std::int64_t c = 0; c < chunks; ++c) {
            const std::uint64_t begin = static_cast<std::uint64_t>(c) * reduction_chunk;
            body(begin, std::min(n, begin + reduction_chunk));
        }
        return;
    }
#pragma omp parallel for schedule(static) num_threads(team)
    for (std::int64_t c = 0; c < chunks; ++c) {
        const std::uint64_t begin = static_cast<std::uint64_t>(c) * reduction_chunk;
        body(begin, std::min(n, begin + reduction_chunk));
    }
}

/// Adds values[0 .. count) in the fixed pairwise tree: the range is halved
/// (the left half taking the smaller part) until single values remain, and
/// the halves' sums are added left + right. `add` combines two values.
template <class T, class Add>
T pairwise_sum(const T* values, std::uint64_t count, Add&& add) {
    if (count == 1) {
        return values[0];
    }
    const std::uint64_t left = count / 2;
    const T a = pairwise_sum(values, left, add);
    const T b = pairwise_sum(values + left, count - left, add);
    return add(a, b);
}

/// sum over the chunks of chunk_sum(begin, end), each chunk's value computed
/// by the caller's sequential loop (which may also update entries of its
/// chunk), the chunk values combined by pairwise_sum. `zero` is the result
/// for n = 0. Allocates one value per chunk; throws std::bad_alloc.
template <class T, class ChunkSum, class Add>
T chunked_sum(std::uint64_t n, std::int32_t num_threads, T zero, ChunkSum&& chunk_sum,
              Add&& add) {
    if (n == 0) {
        return zero;
    }
    std::vector<T> partial(chunk_count(n), zero);
    T* out = partial.data();
    for_each_chunk(n, num_threads, [&](std::uint64_t begin, std::uint64_t end) {
        out[begin / reduction_chunk] = chunk_sum(begin, end);
    });
    return pairwise_sum(partial.data(), partial.size(), add);
}

/// Real sums with chunked_sum.
template <class ChunkSum>
double chunked_real_sum(std::uint64_t n, std::int32_t num_threads, ChunkSum&& chunk_sum) {
    return chunked_sum(n, num_threads, 0.0, chunk_sum,
                       [](double a, double b) { return a + b; });
}

/// Complex sums with chunked_sum (parts added separately).
template <class ChunkSum>
Complex chunked_complex_sum(std::uint64_t n, std::int32_t num_threads, ChunkSum&& chunk_sum) {
    return chunked_sum(n, num_threads, Complex(0.0, 0.0), chunk_sum,
                       [](Complex a, Complex b) { return add(a, b); });
}

/// The largest |real part| or |imaginary part| among n amplitudes (NaN
/// entries are skipped). Exact, so independent of the split by nature.
double max_component(const Complex* v, std::uint64_t n, std::int32_t num_threads);

/// Euclidean norm of n amplitudes that neither overflows nor underflows for
/// finite entries: the entries are scaled by a power of two (exactly) chosen
/// from the largest component, the scaled squares summed chunk-wise, and the
/// root scaled back. Returns 0 for a zero vector; NaN or infinity when an
/// entry is not finite.
double stable_norm(const Complex* v, std::uint64_t n, std::int32_t num_threads);

/// sum_i conj(a_i) * b_i, products written out in full.
Complex dot(const Complex* a, const Complex* b, std::uint64_t n, std::int32_t num_threads);

/// <psi| H |psi> for psi of n = 2^num_qubits amplitudes, streaming over psi
/// without a scratch vector. A word with coefficient c, masks flip, y, z
/// contributes
///   sum_x conj(psi[x ^ flip]) * c * i^popcount(y) * (-1)^popcount((y | z) & x) * psi[x],
/// the same convention as Hamiltonian::apply (the word maps amplitude x to
/// index x ^ flip). The words sharing a flip mask (all diagonal words among
/// them) are taken in one pass: per entry their factors are summed in the
/// operator's order, then weight conj(psi[x ^ flip]) * psi[x]. The passes run
/// in ascending order of flip mask, all within the same chunks; each chunk
/// sums its terms in eight interleaved lanes combined in a fixed tree, and the
/// groups' chunk sums are added in order. The bits depend on the operator and
/// n alone.
Complex pauli_expectation(const Hamiltonian& ham, const Complex* psi, std::uint64_t n,
                          std::int32_t num_threads);

/// sum_i d_i |psi_i|^2.
double diagonal_expectation(const double* d, const Complex* psi, std::uint64_t n,
                            std::int32_t num_threads);

}  // namespace velmora
