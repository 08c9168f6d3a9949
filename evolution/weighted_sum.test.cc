#include "evolution/weighted_sum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "pauli/test_support.h"

namespace velmora {
namespace {

// Three parts over five distinct words (two diagonal, one identity): with the
// parts' diagonals kept or formed from the words, a weighted sum applies as
// the Pauli sum of the combined coefficients, and every team gives the same
// bytes.
TEST(WeightedPauliSum, AppliesTheCombinationOfItsParts) {
    const std::vector<PauliWord> words = {PauliWord(1.0, "ZIZ"), PauliWord(1.0, "XXI"),
                                          PauliWord(1.0, "IZI"), PauliWord(1.0, "III"),
                                          PauliWord(1.0, "YIX")};
    const std::vector<double> table = {-1.0, 0.0, 0.5, 2.0, 0.0,    // part 0
                                       0.0,  1.5, 0.0, 0.0, -0.25,  // part 1: no diagonal words
                                       0.75, 0.0, -2.0, 0.0, 1.0};  // part 2
    const double weights[3] = {1.25, -0.5, 3.0};
    std::vector<PauliWord> combined;
    for (std::size_t w = 0; w < words.size(); ++w) {
        double c = 0.0;
        for (std::size_t k = 0; k < 3; ++k) c += weights[k] * table[k * words.size() + w];
        combined.emplace_back(c, words[w].string);
    }
    const Hamiltonian want(combined);
    std::mt19937_64 rng(9);
    const std::vector<Complex> v = testing::random_state(rng, 3);
    const std::vector<Complex> expected = testing::reference_apply(want, v);
    for (std::uint64_t budget : {std::uint64_t{0}, std::uint64_t{1} << 20}) {
        WeightedPauliSum sum(Hamiltonian(words), table, 3, budget, 0);
        EXPECT_EQ(sum.keeps_diagonals(), budget > 0);
        std::vector<std::vector<Complex>> results;
        for (std::int32_t threads : {0, 2}) {
            sum.set_weights(weights, threads);
            PauliSumOperator& op = sum.op();
            std::vector<Complex> w(v.size());
            op.apply_offdiagonal(v.data(), w.data(), threads);
            for (std::size_t i = 0; i < v.size(); ++i) {
                w[i] += (op.diagonal()[i] + op.shift()) * v[i];
                EXPECT_NEAR(std::abs(w[i] - expected[i]), 0.0, 1e-13) << i;
            }
            results.push_back(w);
        }
        EXPECT_EQ(results[0], results[1]);
    }
}

TEST(WeightedPauliSum, RefusesATableOfTheWrongSize) {
    EXPECT_THROW(WeightedPauliSum(Hamiltonian({PauliWord(1.0, "XZ")}), {1.0, 2.0, 3.0}, 2, 0, 0),
                 std::invalid_argument);
}

}  // namespace
}  // namespace velmora
