#pragma once

// The element-wise sweeps of the Krylov engine over state vectors of
// interleaved (real, imaginary) doubles: the two passes of a Lanczos step,
// the division by beta, and the combinations of basis vectors. Each is
// compiled for several instruction sets with the same IEEE operations in the
// same order per entry (no fused multiply-add: the build forbids it), and
// sums run in eight interleaved lanes combined in a fixed tree, so every
// clone and every thread count gives the same bits.

#include <cstddef>
#include <cstdint>

#include "base/complex.h"

namespace velmora {

class Ranks;

inline double* parts(Complex* v) { return reinterpret_cast<double*>(v); }
inline const double* parts(const Complex* v) { return reinterpret_cast<const double*>(v); }

/// dest_t = sum_l c[l][t] * v_l for 1 to 9 targets t over `entries`
/// amplitudes: v_l starts at v + l * stride (doubles), `c` holds (re, im) per
/// target, by basis vector, and d[t] the targets' parts. Each entry's sum is
/// formed in order of l (the first term stored as it is).
void combine_targets(double* const* d, const double* c, std::size_t targets, const double* v,
                     std::size_t stride, std::size_t k, std::size_t entries);

/// Pass A of Lanczos step j: adds the diagonal part d * v to w (when dg is
/// not null; w holds the off-diagonal product only when `product`), then
/// w -= beta_prev * v_prev (when v_prev is not null); returns Re <v, w>, summed
/// over ranks.
double subtract_previous_and_project(Complex* w, const double* dg, bool product,
                                     const Complex* v_prev, double beta_prev, const Complex* v,
                                     std::uint64_t n, std::int32_t threads, Ranks* ranks);

/// Pass B: w -= alpha * v; returns ||w|| (over ranks).
double subtract_current_and_norm(Complex* w, double alpha, const Complex* v, std::uint64_t n,
                                 std::int32_t threads, Ranks* ranks);

/// dst = src / d, entry by entry (true divisions).
void divide_into(Complex* dst, const Complex* src, double d, std::uint64_t n,
                 std::int32_t threads);

}  // namespace velmora
