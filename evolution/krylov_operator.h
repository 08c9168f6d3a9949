#pragma once

// The operator the Krylov engine evolves under: whatever can form H * v as an
// off-diagonal product plus a real diagonal plus a scalar shift, in a fixed
// order of operations per amplitude. The full-space Pauli sum
// (evolution/pauli_sum_operator.h) is one; operators on symmetry sectors and
// other spaces implement the same interface, so that the engine is written
// once.
//
// The engine forms H * v as K * v (apply_offdiagonal), then adds d[x] * v[x]
// in its first sweep, and applies mu exactly as the phase exp(-i d mu t).

#include <cstddef>
#include <cstdint>

#include "base/complex.h"
#include "parallel/buffer.h"
#include "parallel/reduce.h"

namespace velmora {

class KrylovOperator {
public:
    virtual ~KrylovOperator() = default;

    /// Amplitudes of the vectors this process holds (all of them without ranks).
    virtual std::uint64_t local_dim() const = 0;

    /// Amplitudes of the whole vector, over every process.
    virtual std::uint64_t dim() const = 0;

    /// Whether apply_offdiagonal writes anything (false: H is diagonal).
    virtual bool has_offdiagonal() const = 0;

    /// w = K v over the local amplitudes, on a team of `threads` (0: the
    /// calling thread); the same bits for every team size. With ranks, every
    /// rank calls it at the same point.
    virtual void apply_offdiagonal(const Complex* v, Complex* w, std::int32_t threads) = 0;

    /// w += K v: each entry of w continues its sum with the operations of
    /// apply_offdiagonal (operators that cannot do that in place go through a
    /// temporary vector: the sum of the two is then one more rounding).
    virtual void add_offdiagonal(const Complex* v, Complex* w, std::int32_t threads) {
        const std::uint64_t n = local_dim();
        Buffer<Complex> temporary = uninitialised_buffer<Complex>(n);
        apply_offdiagonal(v, temporary.get(), threads);
        Complex* t = temporary.get();
        for_each_chunk(n, threads, [=](std::uint64_t b, std::uint64_t e) {
            for (std::uint64_t x = b; x < e; ++x) {
                w[x] = Complex(t[x].real() + w[x].real(), t[x].imag() + w[x].imag());
            }
        });
    }

    /// The real diagonal part, local_dim() entries, or null when there is none.
    virtual const double* diagonal() const = 0;

    /// The scalar part mu.
    virtual double shift() const = 0;

    /// Per unit time, bounds of what rounding does: ||E|| for the computed
    /// product (H + E) v, and |computed mu - mu|.
    virtual double product_rounding() const = 0;
    virtual double shift_rounding() const = 0;

    /// Work of one product in word-amplitudes, for sizing the team.
    virtual std::uint64_t product_work() const = 0;

    /// With ranks: slices exchanged per product, and the exchange buffers
    /// (in state slices) the product holds.
    virtual std::uint64_t exchanges() const { return 0; }
    virtual std::size_t exchange_buffers() const { return 0; }
};

}  // namespace velmora
