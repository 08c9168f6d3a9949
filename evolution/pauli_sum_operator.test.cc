#include "evolution/pauli_sum_operator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "pauli/test_support.h"

namespace velmora {
namespace {

// K v + d v + mu v equals H v from the plain per-index kernel, for sums with
// and without each kind of word; the rounding bounds count |c| and the words.
TEST(PauliSumOperator, PartsAddUpToTheProduct) {
    std::mt19937_64 rng(3);
    const std::vector<std::vector<PauliWord>> sums = {
        {PauliWord(0.5, "IXZ"), PauliWord(-1.25, "ZIZ"), PauliWord(2.0, "III"),
         PauliWord(0.75, "YYI"), PauliWord(-0.5, "III"), PauliWord(0.3, "ZZZ")},
        {PauliWord(1.0, "ZIZ"), PauliWord(0.5, "IZI")},   // diagonal only
        {PauliWord(1.0, "XXI"), PauliWord(0.5, "IYY")},   // flipping only
        {PauliWord(3.0, "III")},                          // scalar only
    };
    for (const auto& words : sums) {
        const Hamiltonian ham(words);
        PauliSumOperator op(ham, nullptr, 2);
        const std::vector<Complex> v = testing::random_state(rng, 3);
        const std::vector<Complex> want = testing::reference_apply(ham, v);
        std::vector<Complex> w(v.size(), Complex(0.0, 0.0));
        op.apply_offdiagonal(v.data(), w.data(), 0);
        double sum_abs = 0.0;
        double mu = 0.0;
        for (const PauliWord& p : words) {
            const bool identity = p.term.flip_mask == 0 && p.term.z_mask == 0 && p.term.y_mask == 0;
            if (identity) mu += p.coeff.real(); else sum_abs += std::fabs(p.coeff.real());
        }
        EXPECT_EQ(op.shift(), mu);
        EXPECT_GE(op.product_rounding(), 2.0 * std::numeric_limits<double>::epsilon() * sum_abs);
        for (std::size_t i = 0; i < v.size(); ++i) {
            Complex total = w[i] + mu * v[i];
            if (op.diagonal() != nullptr) total += op.diagonal()[i] * v[i];
            EXPECT_NEAR(std::abs(total - want[i]), 0.0, 1e-13) << i;
        }
        EXPECT_EQ(op.dim(), 8u);
        EXPECT_EQ(op.local_dim(), 8u);
    }
}

TEST(PauliSumOperator, IdentityWordsBeyondTheRangeAreRefused) {
    const Hamiltonian ham({PauliWord(1.7e308, "II"), PauliWord(1.7e308, "II"),
                           PauliWord(1.0, "XI")});
    EXPECT_THROW(PauliSumOperator(ham, nullptr, 0), std::overflow_error);
}

// Reweighting keeps the split and the kernel order and gives the bytes of an
// operator built from the reweighted Hamiltonian: products, diagonal, shift
// and rounding bounds, for every team size.
TEST(PauliSumOperator, SetCoefficientsEqualsRebuilding) {
    std::mt19937_64 rng(5);
    const std::vector<PauliWord> words = {
        PauliWord(0.5, "IXZ"), PauliWord(-1.25, "ZIZ"), PauliWord(2.0, "III"),
        PauliWord(0.75, "YYI"), PauliWord(0.3, "ZZZ"), PauliWord(-0.4, "XII")};
    PauliSumOperator reweighted(Hamiltonian(words), nullptr, 0);
    for (const std::vector<double>& coeffs :
         {std::vector<double>{1.5, 0.0, -3.0, 0.25, 7.0, 2.0},
          std::vector<double>{-0.1, 2.5, 1e-3, -8.0, 0.0, 0.5}}) {
        std::vector<PauliWord> scaled;
        for (std::size_t t = 0; t < words.size(); ++t) {
            scaled.emplace_back(coeffs[t], words[t].string);
        }
        PauliSumOperator rebuilt(Hamiltonian(scaled), nullptr, 0);
        const std::vector<Complex> v = testing::random_state(rng, 3);
        for (std::int32_t threads : {0, 2}) {
            reweighted.set_coefficients(coeffs.data(), threads);
            std::vector<Complex> a(v.size()), b(v.size());
            reweighted.apply_offdiagonal(v.data(), a.data(), threads);
            rebuilt.apply_offdiagonal(v.data(), b.data(), 0);
            for (std::size_t i = 0; i < v.size(); ++i) {
                EXPECT_EQ(a[i], b[i]) << i;
                EXPECT_EQ(reweighted.diagonal()[i], rebuilt.diagonal()[i]) << i;
            }
            EXPECT_EQ(reweighted.shift(), rebuilt.shift());
            EXPECT_EQ(reweighted.product_rounding(), rebuilt.product_rounding());
            EXPECT_EQ(reweighted.shift_rounding(), rebuilt.shift_rounding());
        }
    }
}

}  // namespace
}  // namespace velmora
