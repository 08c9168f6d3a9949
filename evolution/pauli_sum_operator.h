#pragma once

// A Hermitian Pauli sum on the full 2^n space as the Krylov engine's operator:
// the identity words summed into mu, the diagonal words (Z letters only)
// summed once into the real diagonal d, and the remaining words, stably
// sorted by flip mask, applied one pass per group of a flip mask
// (pauli/flip_groups.h; over ranks by the sliced product, which exchanges
// slices with partner ranks).

#include <cstdint>
#include <memory>
#include <vector>

#include "evolution/krylov_operator.h"
#include "pauli/flip_groups.h"
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
    bool has_offdiagonal() const override { return !offdiagonal_source_.empty(); }
    void apply_offdiagonal(const Complex* v, Complex* w, std::int32_t threads) override;
    void add_offdiagonal(const Complex* v, Complex* w, std::int32_t threads) override;
    const double* diagonal() const override { return diagonal_.get(); }
    double shift() const override { return mu_; }
    double product_rounding() const override { return product_rounding_; }
    double shift_rounding() const override { return shift_rounding_; }
    std::uint64_t product_work() const override { return work_; }
    std::uint64_t exchanges() const override;
    std::size_t exchange_buffers() const override;

    /// Gives the words of the Hamiltonian this operator was built from new
    /// real coefficients (`coeffs[t]` for its word t, in its order), keeping
    /// the split and the order of the words: the time-dependent integrator
    /// sets the combination of its parts this way before every exponential,
    /// with no sort. The diagonal, mu and the rounding bounds are recomputed
    /// (the diagonal on a team of `threads`); the results are those of an
    /// operator built from the reweighted Hamiltonian. With `form_diagonal`
    /// false the diagonal is left as it was, for a caller that forms it
    /// another way and writes it through diagonal_data(). Throws
    /// std::logic_error over ranks, std::overflow_error as the constructor.
    void set_coefficients(const double* coeffs, std::int32_t threads, bool form_diagonal = true);

    /// The diagonal's storage (null without diagonal words), to be written
    /// after set_coefficients(..., false).
    double* diagonal_data() { return diagonal_.get(); }

private:
    /// Splits words_ along the fixed sources into the groups' terms (and,
    /// unless `form_groups` is false, the groups), the diagonal (unless
    /// `form_diagonal` is false) and mu, with their rounding bounds.
    void split(std::int32_t threads, bool form_diagonal = true, bool form_groups = true);

    /// The off-diagonal words' groups (without ranks) and their terms and
    /// partition (the sliced product's, over ranks).
    FlipGroups groups_;
    std::vector<GroupTerm> terms_;
    std::vector<std::size_t> starts_;
    /// For each off-diagonal (in kernel order), diagonal and identity word,
    /// its index in the Hamiltonian the operator was built from.
    std::vector<std::uint32_t> offdiagonal_source_;
    std::vector<std::uint32_t> diagonal_source_;
    std::vector<std::uint32_t> identity_source_;
    std::vector<PauliWord> words_;  // the Hamiltonian's words, as reweighted last
    KernelIsa isa_;
    std::unique_ptr<double[]> diagonal_;
    std::unique_ptr<SlicedProduct> sliced_;
    double mu_ = 0.0;
    double product_rounding_ = 0.0;
    double shift_rounding_ = 0.0;
    std::uint64_t local_dim_ = 0;
    std::uint64_t offset_ = 0;  // of this rank's slice
    std::uint64_t dim_ = 0;
    std::uint64_t work_ = 0;
};

}  // namespace velmora
