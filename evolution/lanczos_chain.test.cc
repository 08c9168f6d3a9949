#include "evolution/lanczos_chain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "evolution/pauli_sum_operator.h"
#include "pauli/hamiltonian.h"

namespace velmora {
namespace {

class Quiet final : public EigenObserver {
public:
    void between_cycles(std::uint64_t, std::uint64_t) override {}
};

// A single spin, H = a X + b Z + c: from |0>, alpha_0 = b + c, beta_0 = |a|,
// alpha_1 = c - b, then the space is exhausted.
TEST(LanczosChain, OneSpinClosedForm) {
    const double a = 0.6, b = -0.8, c = 0.25;
    PauliSumOperator op(Hamiltonian({PauliWord(a, "X"), PauliWord(b, "Z"), PauliWord(c, "I")}),
                        nullptr, 0);
    const std::vector<Complex> v = {Complex(3.0, 0.0), Complex(0.0, 0.0)};
    Quiet quiet;
    const LanczosChain chain = lanczos_chain(op, v.data(), 10, 0, quiet);
    EXPECT_DOUBLE_EQ(chain.norm, 3.0);
    ASSERT_EQ(chain.alpha.size(), 2u);
    EXPECT_NEAR(chain.alpha[0], b + c, 1e-15);
    EXPECT_NEAR(chain.beta[0], std::fabs(a), 1e-15);
    EXPECT_NEAR(chain.alpha[1], c - b, 1e-15);
    EXPECT_EQ(chain.beta[1], 0.0);
}

TEST(LanczosChain, ZeroVectorAndZeroSteps) {
    PauliSumOperator op(Hamiltonian({PauliWord(1.0, "X")}), nullptr, 0);
    const std::vector<Complex> zero(2, Complex(0.0, 0.0));
    Quiet quiet;
    EXPECT_TRUE(lanczos_chain(op, zero.data(), 5, 0, quiet).alpha.empty());
    EXPECT_THROW(lanczos_chain(op, zero.data(), 0, 0, quiet), std::invalid_argument);
}

}  // namespace
}  // namespace velmora
