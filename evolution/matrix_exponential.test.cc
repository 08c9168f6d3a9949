#include "evolution/matrix_exponential.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace velmora {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

Matrix make(std::uint64_t m, const std::vector<Complex>& entries) {
    Matrix A = zero_matrix(m);
    for (std::size_t e = 0; e < entries.size(); ++e) {
        A[e] = entries[e];
    }
    return A;
}

std::vector<Complex> expm(std::uint64_t m, const std::vector<Complex>& entries) {
    const Matrix E = matrix_exponential(make(m, entries), m);
    return std::vector<Complex>(E.get(), E.get() + m * m);
}

bool bits_equal(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(PadeCoefficients, FollowTheFactorialRule) {
    EXPECT_EQ(pade_13[13], 1.0);
    for (int k = 12; k >= 0; --k) {
        // Exact in binary64: every intermediate is an integer below 2^53 * 26.
        const double expected = pade_13[k + 1] * (k + 1) * (26 - k) / (13 - k);
        EXPECT_EQ(pade_13[k], expected) << "b_" << k;
    }
    std::uint64_t bits;
    std::memcpy(&bits, &theta_13, sizeof bits);
    EXPECT_EQ(bits, 0x40157CD8B04397B4u);
}

TEST(MatrixExponential, EmptyMatrix) {
    // Dimension 0 takes the general path: norm 0, no squaring, nothing fails.
    EXPECT_EQ(one_norm(zero_matrix(0).get(), 0), 0.0);
    EXPECT_NO_THROW(matrix_exponential(zero_matrix(0), 0));
}

struct ScalarCase {
    std::string name;
    Complex z;
    Complex expected;
};

class ScalarExponential : public ::testing::TestWithParam<ScalarCase> {};

TEST_P(ScalarExponential, FollowsTheScalarRules) {
    const ScalarCase& c = GetParam();
    const std::vector<Complex> E = expm(1, {c.z});
    EXPECT_TRUE(bits_equal(E[0].real(), c.expected.real()))
        << E[0].real() << " vs " << c.expected.real();
    EXPECT_TRUE(bits_equal(E[0].imag(), c.expected.imag()))
        << E[0].imag() << " vs " << c.expected.imag();
}

INSTANTIATE_TEST_SUITE_P(
    Entries, ScalarExponential,
    ::testing::Values(
        ScalarCase{"Zero", Complex(0.0, 0.0), Complex(1.0, 0.0)},
        ScalarCase{"Real", Complex(1.5, 0.0), Complex(std::exp(1.5), 0.0)},
        ScalarCase{"Finite", Complex(0.5, 2.0),
                   Complex(std::cos(2.0) * std::exp(0.5), std::sin(2.0) * std::exp(0.5))},
        ScalarCase{"MinusInfinityWithPhase", Complex(-inf, 2.0),
                   Complex(+0.0 * std::cos(2.0), +0.0 * std::sin(2.0))},
        ScalarCase{"PlusInfinityRealAxis", Complex(inf, 0.0), Complex(inf, 0.0)},
        ScalarCase{"PlusInfinityNegativeZero", Complex(inf, -0.0), Complex(inf, -0.0)},
        ScalarCase{"PlusInfinityInfinitePhase", Complex(inf, inf), Complex(inf, nan)},
        ScalarCase{"MinusInfinityNaNPhase", Complex(-inf, -nan), Complex(+0.0, -0.0)},
        ScalarCase{"NaNRealZeroImag", Complex(nan, 0.0), Complex(nan, 0.0)},
        ScalarCase{"RealOverflow", Complex(709.9, 0.0),
                   Complex(std::exp(709.9), 0.0)}),
    [](const auto& info) { return info.param.name; });

TEST(MatrixExponential, ZeroMatrixGivesExactIdentity) {
    for (std::uint64_t m = 2; m <= 6; ++m) {
        const std::vector<Complex> E = expm(m, std::vector<Complex>(m * m));
        for (std::uint64_t r = 0; r < m; ++r) {
            for (std::uint64_t c = 0; c < m; ++c) {
                EXPECT_EQ(E[r * m + c], Complex(r == c ? 1.0 : 0.0, 0.0)) << m;
            }
        }
    }
}

TEST(MatrixExponential, NilpotentIsExact) {
    EXPECT_EQ(expm(2, {0.0, 1.0, 0.0, 0.0}), (std::vector<Complex>{1.0, 1.0, 0.0, 1.0}));
}

TEST(MatrixExponential, DiagonalKeepsExactZerosOffDiagonal) {
    const std::vector<Complex> E = expm(3, {Complex(0.5, 1.0), 0.0, 0.0, 0.0, -2.0, 0.0, 0.0,
                                            0.0, Complex(0.0, -3.0)});
    for (int e : {1, 2, 3, 5, 6, 7}) {
        EXPECT_TRUE(bits_equal(E[e].real(), 0.0) && bits_equal(E[e].imag(), 0.0)) << e;
    }
    EXPECT_NEAR(E[4].real(), std::exp(-2.0), 1e-15);
}

TEST(MatrixExponential, UpperTriangularUsesColumnSumNorm) {
    // Row sums would give 6 > theta_13; the column sums give 3, so s = 0.
    EXPECT_DOUBLE_EQ(one_norm(make(2, {3.0, 3.0, 0.0, 0.0}).get(), 2), 3.0);
    const std::vector<Complex> E = expm(2, {3.0, 3.0, 0.0, 0.0});
    const double e3 = std::exp(3.0);
    EXPECT_NEAR(E[0].real(), e3, 4e-15 * e3);
    EXPECT_NEAR(E[1].real(), e3 - 1.0, 4e-15 * e3);
    EXPECT_NEAR(E[2].real(), 0.0, 1e-15);
    EXPECT_NEAR(E[3].real(), 1.0, 1e-15);
}

TEST(OneNorm, UsesEuclideanModulusAndIgnoresNaNColumns) {
    EXPECT_EQ(one_norm(make(2, {Complex(3.0, 4.0), 0.0, 0.0, 1.0}).get(), 2), 5.0);
    EXPECT_EQ(one_norm(make(2, {Complex(nan, 0.0), 2.0, 0.0, 1.0}).get(), 2), 3.0);
    EXPECT_EQ(one_norm(make(2, {1e300, 0.0, 1e300, 0.0}).get(), 2), 2e300);
}

struct SquaringCase {
    double norm;
    std::int32_t s;
};

class SquaringCount : public ::testing::TestWithParam<SquaringCase> {};

TEST_P(SquaringCount, MatchesThreshold) {
    EXPECT_EQ(squaring_count(GetParam().norm), GetParam().s) << GetParam().norm;
}

INSTANTIATE_TEST_SUITE_P(
    Norms, SquaringCount,
    ::testing::Values(SquaringCase{0.0, 0}, SquaringCase{1.0, 0}, SquaringCase{theta_13, 0},
                      SquaringCase{std::nextafter(theta_13, inf), 1},
                      SquaringCase{2 * theta_13, 1}, SquaringCase{100.0, 5},
                      SquaringCase{1000.0, 8}, SquaringCase{1.7976931348623157e308, 1022}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(MatrixExponential, NonFiniteNormGivesNaN) {
    for (const std::vector<Complex>& entries :
         {std::vector<Complex>{inf, 0.0, 0.0, 1.0}, std::vector<Complex>{1e308, 0.0, 1e308, 1.0}}) {
        for (const Complex& e : expm(2, entries)) {
            EXPECT_TRUE(std::isnan(e.real()) && std::isnan(e.imag()));
        }
    }
}

TEST(MatrixExponential, RotationFromImaginaryPauliX) {
    // exp(-3i X) = cos 3 I - i sin 3 X. Each part lies within one unit in the
    // last place of 1 (the scale of this unitary matrix), and the bits are
    // those of the same operation sequence replayed independently in Python.
    const std::vector<Complex> E = expm(2, {0.0, Complex(0.0, -3.0), Complex(0.0, -3.0), 0.0});
    const double eps = std::numeric_limits<double>::epsilon();
    for (int d : {0, 3}) {
        EXPECT_LE(std::fabs(E[d].real() - std::cos(3.0)), eps);
        EXPECT_LE(std::fabs(E[d].imag()), eps);
    }
    for (int o : {1, 2}) {
        EXPECT_LE(std::fabs(E[o].imag() + std::sin(3.0)), eps);
        EXPECT_LE(std::fabs(E[o].real()), eps);
    }
    const std::vector<Complex> bits = {
        Complex(-0x1.fae04be85e5d2p-1, 0.0), Complex(0.0, -0x1.210386db6d55ep-3),
        Complex(0.0, -0x1.210386db6d55ep-3), Complex(-0x1.fae04be85e5d3p-1, -0.0)};
    for (int e = 0; e < 4; ++e) {
        EXPECT_TRUE(bits_equal(E[e].real(), bits[e].real()) && bits_equal(E[e].imag(), bits[e].imag()))
            << e << ": " << E[e].real() << " " << E[e].imag();
    }
}

TEST(DivideByPivot, ScaledRuleAndNonFiniteCases) {
    const Complex q = divide_by_pivot(Complex(1.0, 2.0), Complex(3.0, -4.0));
    EXPECT_NEAR(q.real(), -0.2, 1e-16);
    EXPECT_NEAR(q.imag(), 0.4, 1e-16);
    const Complex r = divide_by_pivot(Complex(1.0, 2.0), Complex(-1.0, 8.0));
    const std::complex<long double> exact =
        std::complex<long double>(1.0L, 2.0L) / std::complex<long double>(-1.0L, 8.0L);
    EXPECT_NEAR(r.real(), static_cast<double>(exact.real()), 1e-16);
    EXPECT_NEAR(r.imag(), static_cast<double>(exact.imag()), 1e-16);
    const Complex by_zero = divide_by_pivot(Complex(1.0, -1.0), Complex(0.0, 0.0));
    EXPECT_EQ(by_zero.real(), inf);
    EXPECT_EQ(by_zero.imag(), -inf);
    EXPECT_TRUE(std::isnan(divide_by_pivot(Complex(1.0, 1.0), Complex(nan, 1.0)).real()));
    EXPECT_TRUE(std::isnan(divide_by_pivot(Complex(1.0, 1.0), Complex(inf, inf)).imag()));
}

TEST(SolveLinearSystem, SwapsRowsAndKeepsTies) {
    // P = X (needs a swap): X^-1 = X, exactly.
    Matrix X = solve_linear_system(make(2, {0.0, 1.0, 1.0, 0.0}), make(2, {1.0, 0.0, 0.0, 1.0}), 2);
    EXPECT_EQ(std::vector<Complex>(X.get(), X.get() + 4), (std::vector<Complex>{0.0, 1.0, 1.0, 0.0}));
    // Equal moduli keep the upper row: the solution of [[1, 2], [-1, 3]] x = I.
    Matrix Y = solve_linear_system(make(2, {1.0, 2.0, -1.0, 3.0}), make(2, {1.0, 0.0, 0.0, 1.0}), 2);
    EXPECT_NEAR(Y[0].real(), 0.6, 1e-15);
    EXPECT_NEAR(Y[1].real(), -0.4, 1e-15);
    EXPECT_NEAR(Y[2].real(), 0.2, 1e-15);
    EXPECT_NEAR(Y[3].real(), 0.2, 1e-15);
    // A singular system reports nothing and yields non-finite entries.
    Matrix Z = solve_linear_system(make(2, {1.0, 1.0, 1.0, 1.0}), make(2, {1.0, 0.0, 0.0, 1.0}), 2);
    EXPECT_FALSE(std::isfinite(Z[2].real()) && std::isfinite(Z[3].real()));
}

// Independent reference: Taylor series in long double with its own scaling
// and squaring, no Padé approximant and no pivoting.
std::vector<std::complex<long double>> reference_expm(std::uint64_t m, const std::vector<Complex>& A) {
    using C = std::complex<long double>;
    long double norm = 0;
    for (const Complex& a : A) norm = std::max<long double>(norm, std::abs(C(a.real(), a.imag())));
    int squarings = 0;
    while (norm * m > 0.25L) {
        norm /= 2;
        ++squarings;
    }
    std::vector<C> scaled(m * m), term(m * m), sum(m * m), next(m * m);
    for (std::size_t e = 0; e < A.size(); ++e) scaled[e] = C(A[e].real(), A[e].imag()) / std::ldexp(1.0L, squarings);
    for (std::uint64_t j = 0; j < m; ++j) term[j * m + j] = sum[j * m + j] = 1;
    for (int k = 1; k <= 40; ++k) {
        std::fill(next.begin(), next.end(), C(0));
        for (std::uint64_t i = 0; i < m; ++i)
            for (std::uint64_t j = 0; j < m; ++j)
                for (std::uint64_t l = 0; l < m; ++l) next[i * m + l] += term[i * m + j] * scaled[j * m + l];
        for (std::size_t e = 0; e < next.size(); ++e) {
            term[e] = next[e] / static_cast<long double>(k);
            sum[e] += term[e];
        }
    }
    for (int q = 0; q < squarings; ++q) {
        std::fill(next.begin(), next.end(), C(0));
        for (std::uint64_t i = 0; i < m; ++i)
            for (std::uint64_t j = 0; j < m; ++j)
                for (std::uint64_t l = 0; l < m; ++l) next[i * m + l] += sum[i * m + j] * sum[j * m + l];
        sum = next;
    }
    return sum;
}

class RandomMatrices : public ::testing::TestWithParam<double> {};

TEST_P(RandomMatrices, AgreeWithIndependentReference) {
    // Anti-Hermitian generators (as the Krylov step produces for real time)
    // and general ones, scaled to the 1-norm under test.
    const double target_norm = GetParam();
    std::mt19937_64 rng(static_cast<std::uint64_t>(target_norm * 1000));
    std::normal_distribution<double> normal;
    for (std::uint64_t m = 2; m <= 8; ++m) {
        for (int kind = 0; kind < 2; ++kind) {
            std::vector<Complex> A(m * m);
            for (std::uint64_t r = 0; r < m; ++r) {
                for (std::uint64_t c = 0; c < m; ++c) {
                    A[r * m + c] = Complex(normal(rng), normal(rng));
                }
            }
            if (kind == 0) {  // -i times a Hermitian matrix
                for (std::uint64_t r = 0; r < m; ++r) {
                    for (std::uint64_t c = r; c < m; ++c) {
                        const Complex h = r == c ? Complex(A[r * m + c].real(), 0.0) : A[r * m + c];
                        A[r * m + c] = Complex(h.imag(), -h.real());
                        A[c * m + r] = Complex(-h.imag(), -h.real());
                    }
                }
            }
            const double factor = target_norm / one_norm(make(m, A).get(), m);
            for (Complex& a : A) a = Complex(a.real() * factor, a.imag() * factor);
            const std::vector<Complex> E = expm(m, A);
            const auto R = reference_expm(m, A);
            long double err = 0, size = 0;
            for (std::size_t e = 0; e < E.size(); ++e) {
                err = std::max(err, std::abs(std::complex<long double>(E[e].real(), E[e].imag()) - R[e]));
                size = std::max(size, std::abs(R[e]));
            }
            // Unitary results are accurate to a few ulps per squaring; general
            // ones lose what their conditioning costs.
            const double tolerance = kind == 0 ? 1e-13 * (1 + target_norm) : 1e-11 * (1 + target_norm);
            EXPECT_LE(static_cast<double>(err / size), tolerance)
                << "m = " << m << ", kind " << kind << ", norm " << target_norm;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Magnitudes, RandomMatrices,
                         ::testing::Values(1e-3, 0.1, 1.0, 5.0, 5.371920351148152, 20.0, 100.0),
                         [](const auto& info) { return "norm" + std::to_string(info.index); });

// Fixed cases from a fixed seed whose output bytes are pinned by one hash, so
// that any change of operation order in the dense exponential shows up. The
// inputs are built with exact arithmetic only (raw generator bits scaled by
// powers of two), so they are the same on every platform.
struct PinnedCase {
    std::uint64_t m;
    std::vector<Complex> a;
};

double uniform_bits(std::mt19937_64& rng) {  // uniform in [-1, 1), 52 random bits
    return static_cast<double>(rng() >> 11) * 0x1p-52 - 1.0;
}

std::vector<PinnedCase> pinned_cases() {
    constexpr std::uint64_t sizes[] = {2, 3, 4, 5, 7, 8, 9, 13, 16, 17, 24, 29, 30};
    std::mt19937_64 rng(0x5eed'0013);
    std::vector<PinnedCase> cases;
    for (int q = 0; q < 40; ++q) {
        const std::uint64_t m = sizes[q % 13];
        const int kind = q % 5;
        const double scale = std::ldexp(1.0, -10 + (q * 7) % 22);
        PinnedCase c{m, std::vector<Complex>(m * m)};
        for (std::uint64_t r = 0; r < m; ++r) {
            for (std::uint64_t k = 0; k < m; ++k) {
                Complex& x = c.a[r * m + k];
                if (kind == 0) {  // dense complex
                    x = Complex(uniform_bits(rng) * scale, uniform_bits(rng) * scale);
                } else if (kind == 1) {  // dense real
                    x = Complex(uniform_bits(rng) * scale, 0.0);
                } else if (kind == 2) {  // sparse, with zeros of both signs
                    const std::uint64_t bits = rng();
                    x = bits % 3 == 0 ? Complex(uniform_bits(rng) * scale, uniform_bits(rng) * scale)
                                      : Complex((bits & 8) ? -0.0 : 0.0, (bits & 16) ? -0.0 : 0.0);
                }
            }
        }
        if (kind >= 3) {  // s T with T real symmetric tridiagonal, as the Krylov step forms it
            const Complex s = kind == 3 ? Complex(0.0, -scale) : Complex(-0.25 * scale, -scale);
            for (std::uint64_t r = 0; r < m; ++r) {
                const double alpha = 3.0 * uniform_bits(rng);
                c.a[r * m + r] = multiply(s, Complex(alpha, 0.0));
                if (r + 1 < m) {
                    const double beta = 2.0 * std::fabs(uniform_bits(rng)) + 0.125;
                    c.a[r * m + r + 1] = c.a[(r + 1) * m + r] = multiply(s, Complex(beta, 0.0));
                }
            }
        }
        cases.push_back(std::move(c));
    }
    // Special values: scalars, an exact zero matrix, a NaN entry, an infinite
    // entry (a matrix of NaNs), huge entries (about a thousand squarings),
    // subnormal entries.
    for (const Complex z : {Complex(0.75, -2.5), Complex(-0.0, 0.0), Complex(800.0, 1.0)}) {
        cases.push_back({1, {z}});
    }
    cases.push_back({6, std::vector<Complex>(36)});
    const std::vector<std::pair<std::uint64_t, Complex>> specials = {
        {5, Complex(nan, 0.5)}, {4, Complex(1.0, -inf)}, {3, Complex(1e300, -1e300)},
        {7, Complex(1e-310, 4.9e-324)}, {11, Complex(-0.0, 3.0)}};
    for (const auto& [m, v] : specials) {
        PinnedCase c{m, std::vector<Complex>(m * m)};
        for (Complex& x : c.a) x = Complex(uniform_bits(rng) * 0.5, uniform_bits(rng) * 0.5);
        c.a[rng() % (m * m)] = v;
        if (v.real() == 1e300) {
            for (Complex& x : c.a) x = Complex(x.real() * 1e300, x.imag() * 1e299);
        }
        if (v.real() == 1e-310) {
            for (Complex& x : c.a) x = Complex(x.real() * 1e-310, x.imag() * 1e-312);
        }
        cases.push_back(std::move(c));
    }
    return cases;
}

std::uint64_t fnv1a(std::uint64_t hash, const void* data, std::size_t size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t b = 0; b < size; ++b) {
        hash = (hash ^ bytes[b]) * 0x100000001b3u;
    }
    return hash;
}

TEST(MatrixExponential, PinnedCasesKeepTheirBits) {
    // The hash was taken from the scalar implementation (one complex entry at
    // a time); every instruction set this processor runs must reproduce it.
    const std::vector<PinnedCase> cases = pinned_cases();
    std::int32_t most_squarings = 0;
    for (const PinnedCase& c : cases) {
        if (c.m > 1) {
            const double norm = one_norm(c.a.data(), c.m);
            if (std::isfinite(norm)) most_squarings = std::max(most_squarings, squaring_count(norm));
        }
    }
    EXPECT_GE(most_squarings, 12);
    for (const KernelIsa isa : {KernelIsa::generic, KernelIsa::avx2, KernelIsa::avx512}) {
        if (static_cast<int>(isa) > static_cast<int>(detected_kernel_isa())) {
            continue;
        }
        std::uint64_t hash = 0xcbf29ce484222325u;
        for (const PinnedCase& c : cases) {
            const Matrix E = matrix_exponential(make(c.m, c.a), c.m, isa);
            hash = fnv1a(hash, E.get(), c.m * c.m * sizeof(Complex));
        }
        EXPECT_EQ(hash, 0xaa0a0f56dec301aau) << kernel_isa_name(isa) << ": " << std::hex << hash;
    }
}

}  // namespace
}  // namespace velmora
