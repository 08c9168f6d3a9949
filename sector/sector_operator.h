#pragma once

// A Pauli sum restricted to a sector (sector/sector_basis.h), as the Krylov
// engine's operator. H must commute with the sector's group; then row r' of
// the sector matrix needs only the words' images of the representative r':
//
//   (H phi)[r'] = sum over flip masks f (ascending) of
//                   B_f(r' ^ f) * chi(g) * sqrt(|orbit r'| / |orbit r|) * phi[r]
//                 + d[r'] phi[r'] + mu phi[r'],
//
// where B_f(x) = sum over the words w with flip mask f (in the sum's order)
// of c_w i^popcount(y_w) (-1)^popcount((y_w | z_w) & x), the factor by which
// those words map x to x ^ f = r', and g takes x to its representative r. The
// identity words sum into mu, the diagonal words (Z letters only) into d.
// Every output entry sums its terms in that fixed order on one thread, so the
// bytes do not depend on the team; the images (index and factor of every
// term) may be computed once and kept, which gives the same bytes.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "evolution/krylov_operator.h"
#include "pauli/hamiltonian.h"
#include "sector/sector_basis.h"

namespace velmora {

class SectorOperator final : public KrylovOperator {
public:
    /// With `require_closed`, throws std::invalid_argument naming a term when
    /// the sum does not map the sector into itself (a word changing the weight
    /// that no other word cancels, a sum not invariant under an element of
    /// the group, a word that anticommutes with the flip). Without it the sum
    /// must be invariant under the group (observables symmetrised by the
    /// caller); its parts leaving the sector are dropped, which measures the
    /// expectation of the embedded state.
    SectorOperator(const Hamiltonian& ham, std::shared_ptr<const SectorBasis> basis,
                   bool require_closed, std::int32_t threads);

    const SectorBasis& basis() const { return *basis_; }

    std::uint64_t local_dim() const override { return basis_->size(); }
    std::uint64_t dim() const override { return basis_->size(); }
    bool has_offdiagonal() const override { return !groups_.empty(); }
    void apply_offdiagonal(const Complex* v, Complex* w, std::int32_t threads) override;
    /// w += K v: with kept real images each row continues its sum from w;
    /// otherwise through a temporary (the interface's default).
    void add_offdiagonal(const Complex* v, Complex* w, std::int32_t threads) override;
    const double* diagonal() const override { return diagonal_.empty() ? nullptr : diagonal_.data(); }
    double shift() const override { return mu_; }
    double product_rounding() const override { return product_rounding_; }
    double shift_rounding() const override { return shift_rounding_; }
    std::uint64_t product_work() const override;

    /// w = H v in full (off-diagonal, diagonal and mu).
    void apply(const Complex* v, Complex* w, std::int32_t threads);
    /// <v|H|v>, in chunked sums (the same bits for every team).
    Complex expectation(const Complex* v, std::int32_t threads);

    /// The matrix entries, row by row (duplicates summed by the reader).
    void entries(std::vector<std::uint64_t>& rows, std::vector<std::uint64_t>& cols,
                 std::vector<Complex>& values) const;

    /// Bytes the kept images would take at most (0 when they cannot be kept:
    /// more than 2^32 - 1 basis vectors).
    std::uint64_t image_bytes_bound() const;
    /// Computes and keeps the images; products then read them.
    void keep_images(std::int32_t threads);
    std::uint64_t image_bytes() const { return image_bytes_; }

private:
    struct Word {
        std::uint64_t sign_mask;  // y | z
        Complex coeff;            // c * i^popcount(y)
    };
    struct FlipGroup {
        std::uint64_t flip;
        std::vector<Word> words;
    };
    /// Rows of one chunk: where each row's terms start, their columns and factors.
    struct ImageChunk {
        std::vector<std::uint32_t> starts;
        std::vector<std::uint32_t> cols;
        std::vector<Complex> factors;
        std::vector<double> real_factors;  // instead of factors, when all are real
    };

    /// Room for one row's terms.
    struct Scratch {
        explicit Scratch(std::size_t size) : cols(size), factors(size) {}
        std::vector<std::uint64_t> cols;
        std::vector<Complex> factors;
        std::vector<double> real_factors;  // instead of factors, when all are real
    };

    /// emit(column, factor) for the terms of row i, in order.
    template <class Emit>
    void row_terms(std::uint64_t i, Scratch& scratch, Emit&& emit) const;
    template <class Term>
    void kept_rows(const ImageChunk& chunk, Complex* w, std::uint64_t b, std::uint64_t e,
                   Term&& term) const;
    void check_invariance(const Hamiltonian& ham) const;
    void check_weight(const Hamiltonian& ham, std::int32_t threads) const;

    std::shared_ptr<const SectorBasis> basis_;
    std::vector<FlipGroup> groups_;
    std::vector<double> diagonal_;
    double mu_ = 0.0;
    double product_rounding_ = 0.0;
    double shift_rounding_ = 0.0;
    std::uint64_t words_ = 0;
    bool real_ = false;
    std::vector<ImageChunk> images_;
    std::uint64_t image_bytes_ = 0;
};

}  // namespace velmora
