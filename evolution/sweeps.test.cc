#include "evolution/sweeps.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "pauli/test_support.h"

namespace velmora {
namespace {

using testing::same_bits;

std::vector<Complex> random_vector(std::mt19937_64& rng, std::size_t n) {
    std::normal_distribution<double> normal;
    std::vector<Complex> v(n);
    for (Complex& x : v) x = Complex(normal(rng), normal(rng));
    return v;
}

// Every target of a combination is the plain sum over the basis vectors in
// order, entry by entry, with the written-out complex product: the same bits,
// for every number of targets, whole vectors and ragged tails alike.
TEST(Sweeps, CombinationsAreThePlainOrderedSums) {
    std::mt19937_64 rng(5);
    for (const std::size_t entries : {std::size_t{1}, std::size_t{3}, std::size_t{37}}) {
        const std::size_t k = 7;
        std::vector<Complex> basis = random_vector(rng, k * entries);
        for (std::size_t targets = 1; targets <= 9; ++targets) {
            std::vector<std::vector<Complex>> coeffs(targets, random_vector(rng, k));
            std::vector<double> c(2 * targets * k);
            for (std::size_t l = 0; l < k; ++l) {
                for (std::size_t t = 0; t < targets; ++t) {
                    c[(l * targets + t) * 2] = coeffs[t][l].real();
                    c[(l * targets + t) * 2 + 1] = coeffs[t][l].imag();
                }
            }
            std::vector<std::vector<Complex>> out(targets, std::vector<Complex>(entries));
            std::vector<double*> d(targets);
            for (std::size_t t = 0; t < targets; ++t) d[t] = reinterpret_cast<double*>(out[t].data());
            combine_targets(d.data(), c.data(), targets,
                            reinterpret_cast<const double*>(basis.data()), 2 * entries, k, entries);
            for (std::size_t t = 0; t < targets; ++t) {
                std::vector<Complex> want(entries);
                for (std::size_t i = 0; i < entries; ++i) {
                    Complex s = multiply(coeffs[t][0], basis[i]);
                    for (std::size_t l = 1; l < k; ++l) {
                        s = add(s, multiply(coeffs[t][l], basis[l * entries + i]));
                    }
                    want[i] = s;
                }
                EXPECT_TRUE(same_bits(out[t], want)) << entries << " entries, " << targets;
            }
        }
    }
}

// The two passes of a Lanczos step against plain loops, and the same bits for
// every thread count, with and without a diagonal, a previous vector and an
// off-diagonal product.
TEST(Sweeps, LanczosPassesMatchPlainLoopsForEveryThreadCount) {
    std::mt19937_64 rng(9);
    const std::size_t n = 1 << 16;
    const std::vector<Complex> v = random_vector(rng, n);
    const std::vector<Complex> prev = random_vector(rng, n);
    const std::vector<Complex> product = random_vector(rng, n);
    std::vector<double> dg(n);
    std::normal_distribution<double> normal;
    for (double& x : dg) x = normal(rng);
    for (const bool with_diagonal : {false, true}) {
        for (const bool with_prev : {false, true}) {
            std::vector<Complex> serial;
            double serial_alpha = 0.0;
            double serial_beta = 0.0;
            for (const std::int32_t threads : {0, 1, 2, 3}) {
                std::vector<Complex> w = product;
                const double alpha = subtract_previous_and_project(
                    w.data(), with_diagonal ? dg.data() : nullptr, true,
                    with_prev ? prev.data() : nullptr, 0.75, v.data(), n, threads, nullptr);
                const double beta = subtract_current_and_norm(w.data(), alpha, v.data(), n,
                                                              threads, nullptr);
                if (threads == 0) {
                    // Plain loops in double precision, summed naively.
                    double a = 0.0;
                    std::vector<Complex> x(n);
                    for (std::size_t i = 0; i < n; ++i) {
                        Complex y = product[i];
                        if (with_diagonal) y += dg[i] * v[i];
                        if (with_prev) y -= 0.75 * prev[i];
                        x[i] = y;
                        a += v[i].real() * y.real() + v[i].imag() * y.imag();
                    }
                    double squares = 0.0;
                    for (std::size_t i = 0; i < n; ++i) squares += std::norm(x[i] - a * v[i]);
                    EXPECT_NEAR(alpha, a, 1e-10 * std::abs(a) + 1e-9);
                    EXPECT_NEAR(beta, std::sqrt(squares), 1e-10 * std::sqrt(squares));
                    serial = w;
                    serial_alpha = alpha;
                    serial_beta = beta;
                } else {
                    EXPECT_TRUE(same_bits(w, serial)) << threads;
                    EXPECT_TRUE(same_bits(alpha, serial_alpha)) << threads;
                    EXPECT_TRUE(same_bits(beta, serial_beta)) << threads;
                }
            }
        }
    }
}

TEST(Sweeps, DivisionIsATrueDivision) {
    std::mt19937_64 rng(11);
    const std::vector<Complex> v = random_vector(rng, 1000);
    std::vector<Complex> out(v.size());
    divide_into(out.data(), v.data(), 3.0, v.size(), 2);
    for (std::size_t i = 0; i < v.size(); ++i) {
        EXPECT_TRUE(same_bits(out[i].real(), v[i].real() / 3.0));
        EXPECT_TRUE(same_bits(out[i].imag(), v[i].imag() / 3.0));
    }
}

}  // namespace
}  // namespace velmora
