#pragma once

// Sweeps and sums over state vectors whose results do not depend on the
// number of threads that run them.
//
// [0, n) is cut into chunks of reduction_chunk entries (the last one may be
// shorter). A sum is formed chunk by chunk: each chunk adds its own terms
// sequentially in index order, and the chunk sums are then combined on the
// calling thread in a pairwise tree that depends on the chunk count alone.
// The chunks may run on a team (policy.h); which thread handles a chunk
// changes nothing, so the bits of every sum are the same for every
// num_threads, and the sums still run in parallel.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "parallel/policy.h"
#include "base/complex.h"

namespace velmora {

/// Entries per chunk of a sweep or a sum.
inline constexpr std::uint64_t reduction_chunk = 4096;

/// Number of chunks of [0, n).
inline std::uint64_t chunk_count(std::uint64_t n) {
    return (n + reduction_chunk - 1) / reduction_chunk;
}

/// The policy of a sweep over n entries: the calling thread for a small
/// vector (fewer than 2^15 entries) or no team asked for, else the team of
/// num_threads.
inline Policy sweep_policy(std::uint64_t n, std::int32_t num_threads) {
    return Policy::for_work(num_threads, n * sweep_entry_work);
}

/// Runs body(begin, end) for every chunk of [0, n), the chunks split
/// statically over the team of num_threads (0: all on the calling thread).
/// `body` must not throw; it runs inside an OpenMP region.
template <class Body>
void for_each_chunk(std::uint64_t n, std::int32_t num_threads, Body&& body) {
    sweep_policy(n, num_threads).for_each_chunk(n, reduction_chunk, body);
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

}  // namespace velmora
