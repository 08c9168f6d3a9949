#pragma once

// A Hermitian Pauli sum on the full 2^n space as the Krylov engine's operator:
// the identity words summed into mu, the diagonal words (Z letters only)
// summed once into the real diagonal d, and the remaining words, stably
// sorted by flip mask, applied by the kernel (or, over ranks, by the sliced
// product, which exchanges slices with partner ranks).

#include <cstdint>
#include <memory>
#include <vector>

#include "evolution/krylov_operator.h"
#include "pauli/hamiltonian.h"

namespace velmora {

class Ranks;
class SlicedProduct;

class PauliSumOperator final : public KrylovOperator {
public:
    /// From a Hermitian `ham` (imaginary parts of the coefficients are
    /// ignored); with `ranks`, this process holds ranks->slice() amplitudes.
    /// The diagonal is summed on a team of `threads`. Throws
    /// std::overflow_error when the identity words sum beyond the double range.
    PauliSumOperator(const Hamiltonian& ham, Ranks* ranks, std::int32_t threads);
    ~PauliSumOperator() override;

    std::uint64_t local_dim() const override { return local_dim_; }
    std::uint64_t dim() const override { return dim_; }
    bool has_offdiagonal() const override { return !offdiagonal_.words().empty(); }
    void apply_offdiagonal(const Complex* v, Complex* w, std::int32_t threads) override;
    const double* diagonal() const override { return diagonal_.get(); }
    double shift() const override { return mu_; }
    double product_rounding() const override { return product_rounding_; }
    double shift_rounding() const override { return shift_rounding_; }
    std::uint64_t product_work() const override { return work_; }
    std::uint64_t exchanges() const override;
    std::size_t exchange_buffers() const override;

private:
    Hamiltonian offdiagonal_;
    std::unique_ptr<double[]> diagonal_;
    std::unique_ptr<SlicedProduct> sliced_;
    double mu_ = 0.0;
    double product_rounding_ = 0.0;
    double shift_rounding_ = 0.0;
    std::uint64_t local_dim_ = 0;
    std::uint64_t dim_ = 0;
    std::uint64_t work_ = 0;
};

}  // namespace velmora
