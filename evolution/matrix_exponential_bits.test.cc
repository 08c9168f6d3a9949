// Bit-for-bit checks of the dense exponential and its linear solve against an
// operation-by-operation reference written out here, independently of the
// helpers in matrix_exponential.cc. Every rounding the algorithm performs is
// replayed in the same order, so any change of operation order, grouping,
// pivot choice or division rule shows up as different bits.

#include "evolution/matrix_exponential.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace velmora {
namespace {

using C = std::complex<double>;
using Entries = std::vector<C>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------
// Reference arithmetic: one rounded binary64 operation per written operator.

C ref_add(C a, C b) { return C(a.real() + b.real(), a.imag() + b.imag()); }
C ref_sub(C a, C b) { return C(a.real() - b.real(), a.imag() - b.imag()); }
C ref_mul(C a, C b) {
    const double re = a.real() * b.real() - a.imag() * b.imag();
    const double im = a.real() * b.imag() + a.imag() * b.real();
    return C(re, im);
}
C ref_real_times(double k, C a) { return C(k * a.real(), k * a.imag()); }

/// Smith's scaled quotient c / p: divide through by the larger part of the
/// pivot (the imaginary one when the parts have equal size), plain division
/// for a real pivot, NaN for a NaN pivot or a vanishing scaled denominator.
C ref_smith(C c, C p) {
    const double x = p.real();
    const double y = p.imag();
    if (std::isnan(x) || std::isnan(y)) return C(kNaN, kNaN);
    if (std::fabs(y) < std::fabs(x)) {
        const double r = y / x;
        const double den = r * y + x;
        if (std::isnan(den) || den == 0.0) return C(kNaN, kNaN);
        return C((c.imag() * r + c.real()) / den, (c.imag() - c.real() * r) / den);
    }
    if (y == 0.0) return C(c.real() / x, c.imag() / x);
    const double r = x / y;
    const double den = r * x + y;
    if (std::isnan(den) || den == 0.0) return C(kNaN, kNaN);
    return C((c.real() * r + c.imag()) / den, (c.imag() * r - c.real()) / den);
}

/// The textbook quotient (c * conj(p)) / |p|^2: the rule the scaled one must
/// not be confused with.
C textbook_quotient(C c, C p) {
    const double n = p.real() * p.real() + p.imag() * p.imag();
    return C((c.real() * p.real() + c.imag() * p.imag()) / n,
             (c.imag() * p.real() - c.real() * p.imag()) / n);
}

bool bitwise_equal(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

bool bitwise_equal(C a, C b) {
    return bitwise_equal(a.real(), b.real()) && bitwise_equal(a.imag(), b.imag());
}

bool bitwise_equal(const Entries& a, const Entries& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t e = 0; e < a.size(); ++e) {
        if (!bitwise_equal(a[e], b[e])) return false;
    }
    return true;
}

std::string hex(C z) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "(%a, %a)", z.real(), z.imag());
    return buf;
}

/// The first entry whose bits differ, or "" when all agree.
std::string first_difference(const Entries& got, const Entries& want) {
    for (std::size_t e = 0; e < want.size(); ++e) {
        if (!bitwise_equal(got[e], want[e])) {
            return "entry " + std::to_string(e) + ": " + hex(got[e]) + " vs " + hex(want[e]);
        }
    }
    return "";
}

Matrix to_matrix(std::size_t m, const Entries& entries) {
    Matrix M = zero_matrix(m);
    for (std::size_t e = 0; e < m * m; ++e) M[e] = entries[e];
    return M;
}

Entries from_matrix(const Matrix& M, std::size_t m) { return Entries(M.get(), M.get() + m * m); }

// ---------------------------------------------------------------------------
// Reference Gauss-Jordan solve of P X = Q with a choosable pivot rule.

enum class Measure { Hypot, Taxicab, RealPart };

struct PivotRule {
    Measure measure = Measure::Hypot;
    bool last_on_tie = false;  // the right rule keeps the first (upper) maximal row
    bool skip_zero_factor = true;  // rows with an exact zero below the pivot are left alone
};

double pivot_measure(C z, Measure measure) {
    switch (measure) {
        case Measure::Hypot: return std::hypot(z.real(), z.imag());
        case Measure::Taxicab: return std::fabs(z.real()) + std::fabs(z.imag());
        case Measure::RealPart: return std::fabs(z.real());
    }
    return 0.0;
}

Entries ref_solve(Entries P, Entries Q, std::size_t m, PivotRule rule = {}) {
    auto at = [m](Entries& M, std::size_t r, std::size_t c) -> C& { return M[r * m + c]; };
    for (std::size_t col = 0; col < m; ++col) {
        // Search the column from the diagonal down.
        std::size_t chosen = col;
        double largest = pivot_measure(at(P, col, col), rule.measure);
        for (std::size_t r = col + 1; r < m; ++r) {
            const double size = pivot_measure(at(P, r, col), rule.measure);
            if (size > largest || (rule.last_on_tie && size == largest)) {
                largest = size;
                chosen = r;
            }
        }
        if (chosen != col) {
            for (std::size_t c = 0; c < m; ++c) {
                std::swap(at(P, col, c), at(P, chosen, c));
                std::swap(at(Q, col, c), at(Q, chosen, c));
            }
        }
        // Normalise the pivot row of both sides, pivot entry included.
        const C pivot = at(P, col, col);
        for (std::size_t c = 0; c < m; ++c) {
            at(P, col, c) = ref_smith(at(P, col, c), pivot);
            at(Q, col, c) = ref_smith(at(Q, col, c), pivot);
        }
        // Clear the column in every other row; rows with an exact zero there
        // are left alone.
        for (std::size_t r = 0; r < m; ++r) {
            if (r == col) continue;
            const C factor = at(P, r, col);
            if (rule.skip_zero_factor && factor.real() == 0.0 && factor.imag() == 0.0) continue;
            for (std::size_t c = 0; c < m; ++c) {
                at(P, r, c) = ref_sub(at(P, r, c), ref_mul(factor, at(P, col, c)));
                at(Q, r, c) = ref_sub(at(Q, r, c), ref_mul(factor, at(Q, col, c)));
            }
        }
    }
    return Q;
}

Entries code_solve(const Entries& P, const Entries& Q, std::size_t m) {
    return from_matrix(solve_linear_system(to_matrix(m, P), to_matrix(m, Q), m), m);
}

// ---------------------------------------------------------------------------
// 1. The pivot search: hypot modulus, first maximal row kept on a tie.

struct PivotCase {
    std::string name;
    std::size_t m;
    Entries P;
    Entries Q;
    PivotRule wrong;  // a plausible other rule that must give other bits
};

class PivotChoice : public ::testing::TestWithParam<PivotCase> {};

TEST_P(PivotChoice, MatchesReferenceBitsAndWrongRuleDiffers) {
    const PivotCase& c = GetParam();
    const Entries right = ref_solve(c.P, c.Q, c.m);
    const Entries wrong = ref_solve(c.P, c.Q, c.m, c.wrong);
    for (const C& z : right) {
        ASSERT_TRUE(std::isfinite(z.real()) && std::isfinite(z.imag())) << hex(z);
    }
    // The case discriminates: the other rule rounds differently somewhere.
    ASSERT_FALSE(bitwise_equal(right, wrong)) << "case does not separate the rules";
    const Entries got = code_solve(c.P, c.Q, c.m);
    EXPECT_TRUE(bitwise_equal(got, right)) << first_difference(got, right);
}

const Entries kIdentity2 = {1.0, 0.0, 0.0, 1.0};
constexpr PivotRule kLastTie{Measure::Hypot, true, true};
constexpr PivotRule kEliminateZeroFactors{Measure::Hypot, false, false};

INSTANTIATE_TEST_SUITE_P(
    Systems, PivotChoice,
    ::testing::Values(
        // Real tie |1| = |-1| in the first column; the other row gives answers
        // two units in the last place away.
        PivotCase{"RealTieTwoUlps", 2, {1.0, -9.0, -1.0, -5.0}, kIdentity2, kLastTie},
        // Same kind of tie where only the sign of an exact zero tells the rows apart.
        PivotCase{"RealTieSignedZero", 2, {1.0, -9.0, -1.0, 0.0}, kIdentity2, kLastTie},
        PivotCase{"RealTieEqualEntries", 2, {1.0, -9.0, 1.0, 5.0}, kIdentity2, kLastTie},
        // Three-way tie of modulus 5 among 3 - 4i, -5 and -5.
        PivotCase{"ComplexThreeWayTie", 3,
                  {C(3, -4), C(3, 6), C(-6, 6), C(-5, 0), C(6, -3), C(-3, -5), C(-5, 0), C(-4, -1),
                   C(-2, -1)},
                  {C(-1, 2), C(1, 6), C(-1, 5), C(2, -2), C(-4, 0), C(5, -1), C(-6, -4), C(2, 0),
                   C(-1, 5)},
                  kLastTie},
        // Three-way tie among 3 - 4i, 5i and 4 - 3i.
        PivotCase{"ComplexTieMixedPhases", 3,
                  {C(3, -4), C(-1, 1), C(6, -5), C(0, 5), C(4, 4), C(6, 3), C(4, -3), C(-5, -2),
                   C(0, 3)},
                  {C(5, 5), C(4, 5), C(4, -5), C(-3, -6), C(-6, -4), C(2, 5), C(1, -5), C(2, -1),
                   C(-1, 6)},
                  kLastTie},
        // No tie in the first column; 3 + 4i and -5 tie in the second.
        PivotCase{"TieAtSecondStep", 3,
                  {5.0, C(1, 2), C(2, -1), 0.0, C(3, 4), C(1, 1), 0.0, C(-5, 0), C(2, 3)},
                  {C(1, -2), C(3, 1), C(-1, 0), C(2, 2), C(0, -3), C(1, 4), C(-2, 1), C(5, -1),
                   C(3, 3)},
                  kLastTie},
        // The measure is the Euclidean modulus: 5 (modulus 5) beats the
        // diagonal 3.5 + 3.5i (modulus 4.95), though |re| + |im| = 7 says otherwise.
        PivotCase{"ModulusNotTaxicab", 3,
                  {C(3.5, 3.5), C(1, -2), C(2, 1), 5.0, C(-1, 3), C(4, 1), C(1, 1), C(2, 0),
                   C(-3, 2)},
                  {C(1, 0), C(0, 1), C(2, -1), C(-1, 1), C(3, 0), C(0, -2), C(1, 1), C(-2, 0),
                   C(1, -3)},
                  PivotRule{Measure::Taxicab, false}},
        // The imaginary part counts: 1 + 6i (modulus 6.08) stays on the
        // diagonal over -5, though its real part is smaller.
        PivotCase{"ModulusNotRealPart", 3,
                  {C(1, 6), C(2, -1), C(-1, 1), -5.0, C(1, 1), C(3, -2), C(2, 2), C(0, 1),
                   C(4, 0)},
                  {C(2, 1), C(0, -1), C(1, 0), C(-1, 2), C(1, 1), C(3, 0), C(0, 2), C(-2, 1),
                   C(1, 1)},
                  PivotRule{Measure::RealPart, false}},
        // The second row has an exact zero under the first pivot and is not
        // touched at that step: subtracting 0 * (row 1) would turn its -0
        // entries into +0.
        PivotCase{"ZeroFactorRowUntouched", 2, {2.0, 1.0, 0.0, 4.0},
                  {C(-1, 1), C(-0.0, 2), C(-0.0, -0.0), C(3, -0.0)}, kEliminateZeroFactors}),
    [](const auto& info) { return info.param.name; });

// The tie case worked by hand: [[1, -9], [-1, -5]] X = I. Keeping the upper
// row, row 1 becomes [0, -14 | 1, 1], so X(1, *) = [h, h] with h = fl(-1/14),
// and X(0, *) = [1 + 9 h, 9 h]. Taking the lower row first gives
// X(0, *) = [-5 h, -1 - 5 h] instead: 5/14 comes out as ...db8 one way and
// ...db6 the other.
TEST(PivotChoiceLiteral, UpperRowKeptOnTie) {
    const Entries got = code_solve({1.0, -9.0, -1.0, -5.0}, kIdentity2, 2);
    const Entries upper = {C(0x1.6db6db6db6db8p-2, 0.0), C(-0x1.4924924924924p-1, 0.0),
                           C(-0x1.2492492492492p-4, 0.0), C(-0x1.2492492492492p-4, 0.0)};
    const Entries lower = {C(0x1.6db6db6db6db6p-2, 0.0), C(-0x1.4924924924925p-1, 0.0),
                           C(-0x1.2492492492492p-4, 0.0), C(-0x1.2492492492492p-4, 0.0)};
    for (std::size_t e = 0; e < 4; ++e) {
        EXPECT_TRUE(bitwise_equal(got[e].real(), upper[e].real()))
            << e << ": " << hex(got[e]) << " vs " << hex(upper[e]);
        EXPECT_EQ(got[e].imag(), 0.0) << e;
    }
    EXPECT_FALSE(bitwise_equal(upper[0].real(), lower[0].real()));
    EXPECT_TRUE(bitwise_equal(ref_solve({1.0, -9.0, -1.0, -5.0}, kIdentity2, 2, kLastTie)[0].real(),
                              lower[0].real()));
}

// ---------------------------------------------------------------------------
// 2. Division by a pivot.

struct DivisionCase {
    std::string name;
    C value;
    C pivot;
    bool textbook_differs;  // the textbook quotient has other bits here
};

/// The quotient in extended precision and range (64-bit significand, 15-bit
/// exponent: 1e600 and 1e-600 are representable), rounded once to binary64.
C extended_quotient(C c, C p) {
    using L = long double;
    const L pr = p.real(), pi = p.imag(), cr = c.real(), ci = c.imag();
    const L n = pr * pr + pi * pi;
    return C(static_cast<double>((cr * pr + ci * pi) / n), static_cast<double>((ci * pr - cr * pi) / n));
}

class PivotDivision : public ::testing::TestWithParam<DivisionCase> {};

TEST_P(PivotDivision, ScaledRuleBits) {
    const DivisionCase& c = GetParam();
    const C want = ref_smith(c.value, c.pivot);
    const C got = divide_by_pivot(c.value, c.pivot);
    EXPECT_TRUE(bitwise_equal(got, want)) << hex(got) << " vs " << hex(want);

    // The reference answer is the right one: within a few units in the last
    // place of the quotient's modulus.
    ASSERT_TRUE(std::isfinite(want.real()) && std::isfinite(want.imag())) << hex(want);
    const C exact = extended_quotient(c.value, c.pivot);
    const double size = std::abs(exact);
    const double ulp = std::nextafter(size, INFINITY) - size;
    EXPECT_LE(std::fabs(want.real() - exact.real()), 4 * ulp) << hex(want) << " vs " << hex(exact);
    EXPECT_LE(std::fabs(want.imag() - exact.imag()), 4 * ulp) << hex(want) << " vs " << hex(exact);

    if (c.textbook_differs) {
        EXPECT_FALSE(bitwise_equal(textbook_quotient(c.value, c.pivot), want))
            << "case does not separate the scaled rule from the textbook one";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Quotients, PivotDivision,
    ::testing::Values(
        // Ordinary finite quotients whose bits differ between the two rules,
        // one per branch (larger real part, larger imaginary part).
        DivisionCase{"RealPartLarger", C(-0.4, -1.2), C(-6.3, -5.5), true},
        DivisionCase{"ImagPartLarger", C(-0.4, -1.2), C(-6.3, -9.9), true},
        DivisionCase{"ImagPartLargerPositiveImag", C(-0.4, -1.2), C(-6.3, 9.9), true},
        // Equal parts take the imaginary-part branch: (2 + i) / (1 - i) = (1 + 3i) / 2.
        DivisionCase{"EqualParts", C(2.0, 1.0), C(1.0, -1.0), false},
        // A purely imaginary pivot: (1 + 2i) / 4i = 0.5 - 0.25i.
        DivisionCase{"ImaginaryPivot", C(1.0, 2.0), C(0.0, 4.0), false},
        // |p|^2 = 2e600 overflows in the textbook rule (inf / inf = NaN);
        // the scaled rule gives 1.
        DivisionCase{"OverflowEqualParts", C(1e300, 1e300), C(1e300, 1e300), true},
        // (1 - 2i) / (4 + i) = (2 - 9i) / 17 with every part near 1e300.
        DivisionCase{"OverflowRealPartLarger", C(1e300, -2e300), C(4e300, 1e300), true},
        // (-3 + 2i) / (1 - 5i) = (-1 - i) / 2 with every part near 1e300.
        DivisionCase{"OverflowImagPartLarger", C(-3e300, 2e300), C(1e300, -5e300), true},
        // |p|^2 = 5e-600 underflows to 0 in the textbook rule; (1 + i) / (1 + 2i) = 0.6 - 0.2i.
        DivisionCase{"UnderflowImagPartLarger", C(1e-300, 1e-300), C(1e-300, 2e-300), true},
        // (2 + 3i) / (3 - i) = (3 + 11i) / 10 with every part near 1e-300.
        DivisionCase{"UnderflowRealPartLarger", C(2e-300, 3e-300), C(3e-300, -1e-300), true},
        // A large value over a tiny pivot and the other way round: quotients
        // near 1e270 and 1e-270, where |p|^2 is subnormal (1e-340) or
        // overflows (1e341) in the textbook rule.
        DivisionCase{"LargeOverTiny", C(1e100, -3e100), C(2e-170, 1e-170), true},
        DivisionCase{"SmallOverHuge", C(3e-100, 1e-100), C(-1e170, 4e170), true}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// 3. The exponential, written out plainly from the algorithm.

/// Z = X Y: each entry starts at +0 and adds X(i, j) Y(j, k) for increasing
/// j, skipping left-factor entries that are exactly zero.
Entries ref_product(const Entries& X, const Entries& Y, std::size_t m) {
    Entries Z(m * m);
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t k = 0; k < m; ++k) {
            C z(0.0, 0.0);
            for (std::size_t j = 0; j < m; ++j) {
                const C x = X[i * m + j];
                if (x.real() == 0.0 && x.imag() == 0.0) continue;
                z = ref_add(z, ref_mul(x, Y[j * m + k]));
            }
            Z[i * m + k] = z;
        }
    }
    return Z;
}

struct ProductCase {
    std::string name;
    std::size_t m;
    Entries X;
    Entries Y;
};

class MatrixProduct : public ::testing::TestWithParam<ProductCase> {};

TEST_P(MatrixProduct, MatchesReferenceBits) {
    const ProductCase& c = GetParam();
    const Entries want = ref_product(c.X, c.Y, c.m);
    const Matrix X = to_matrix(c.m, c.X);
    const Matrix Y = to_matrix(c.m, c.Y);
    const Entries got = from_matrix(matrix_multiply(X.get(), Y.get(), c.m), c.m);
    EXPECT_TRUE(bitwise_equal(got, want)) << first_difference(got, want);
}

Entries random_entries(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    Entries E(count);
    for (C& e : E) e = C(normal(rng), normal(rng));
    return E;
}

INSTANTIATE_TEST_SUITE_P(
    Factors, MatrixProduct,
    ::testing::Values(
        ProductCase{"Random7", 7, random_entries(49, 1), random_entries(49, 2)},
        ProductCase{"Random30", 30, random_entries(900, 3), random_entries(900, 4)},
        // Exact zeros on the left skip their rows of Y: the infinities and the
        // NaN there never meet a zero (0 * inf would be NaN).
        ProductCase{"ZeroLeftEntriesSkipNonFinite", 2,
                    {C(0.0, 0.0), C(1.0, 0.5), C(-0.0, 0.0), C(2.0, -1.0)},
                    {C(INFINITY, 1.0), C(kNaN, -INFINITY), C(3.0, -2.0), C(0.25, 4.0)}}),
    [](const auto& info) { return info.param.name; });

/// Largest column sum of hypot moduli, columns taken left to right.
double ref_one_norm(const Entries& A, std::size_t m) {
    double best = 0.0;
    for (std::size_t c = 0; c < m; ++c) {
        double column = 0.0;
        for (std::size_t r = 0; r < m; ++r) {
            column = column + std::hypot(A[r * m + c].real(), A[r * m + c].imag());
        }
        if (column > best) best = column;
    }
    return best;
}

struct ReferenceExp {
    Entries E;
    int squarings;
};

ReferenceExp ref_expm(Entries A, std::size_t m) {
    // theta for degree 13 (Higham 2005), 5.371920351148152.
    const double theta = 0x1.57cd8b04397b4p+2;
    // b_k = (26 - k)! / (k! (13 - k)!), k = 0 ... 13.
    const double b[14] = {64764752532480000.0, 32382376266240000.0, 7771770303897600.0,
                          1187353796428800.0,  129060195264000.0,   10559470521600.0,
                          670442572800.0,      33522128640.0,       1323241920.0,
                          40840800.0,          960960.0,            16380.0,
                          182.0,               1.0};
    // Fewest halvings that bring the 1-norm down to theta.
    const double norm = ref_one_norm(A, m);
    int s = 0;
    while (norm / std::ldexp(1.0, s) > theta) ++s;
    const double two_s = std::ldexp(1.0, s);
    for (C& a : A) a = C(a.real() / two_s, a.imag() / two_s);

    const std::size_t n = m * m;
    auto identity = [m](std::size_t e) { return C(e / m == e % m ? 1.0 : 0.0, 0.0); };
    const Entries A2 = ref_product(A, A, m);
    const Entries A4 = ref_product(A2, A2, m);
    const Entries A6 = ref_product(A4, A2, m);

    // U = A (A6 (b13 A6 + b11 A4 + b9 A2) + b7 A6 + b5 A4 + b3 A2 + b1 I),
    // every sum taken left to right.
    Entries inner(n), outer(n);
    for (std::size_t e = 0; e < n; ++e) {
        C t = ref_real_times(b[13], A6[e]);
        t = ref_add(t, ref_real_times(b[11], A4[e]));
        t = ref_add(t, ref_real_times(b[9], A2[e]));
        inner[e] = t;
    }
    const Entries A6_inner_odd = ref_product(A6, inner, m);
    for (std::size_t e = 0; e < n; ++e) {
        C t = A6_inner_odd[e];
        t = ref_add(t, ref_real_times(b[7], A6[e]));
        t = ref_add(t, ref_real_times(b[5], A4[e]));
        t = ref_add(t, ref_real_times(b[3], A2[e]));
        t = ref_add(t, ref_real_times(b[1], identity(e)));
        outer[e] = t;
    }
    const Entries U = ref_product(A, outer, m);

    // V = A6 (b12 A6 + b10 A4 + b8 A2) + b6 A6 + b4 A4 + b2 A2 + b0 I.
    for (std::size_t e = 0; e < n; ++e) {
        C t = ref_real_times(b[12], A6[e]);
        t = ref_add(t, ref_real_times(b[10], A4[e]));
        t = ref_add(t, ref_real_times(b[8], A2[e]));
        inner[e] = t;
    }
    const Entries A6_inner_even = ref_product(A6, inner, m);
    Entries V(n);
    for (std::size_t e = 0; e < n; ++e) {
        C t = A6_inner_even[e];
        t = ref_add(t, ref_real_times(b[6], A6[e]));
        t = ref_add(t, ref_real_times(b[4], A4[e]));
        t = ref_add(t, ref_real_times(b[2], A2[e]));
        t = ref_add(t, ref_real_times(b[0], identity(e)));
        V[e] = t;
    }

    // (V - U) R = V + U, then R squared s times.
    Entries P(n), Q(n);
    for (std::size_t e = 0; e < n; ++e) {
        P[e] = ref_sub(V[e], U[e]);
        Q[e] = ref_add(U[e], V[e]);
    }
    Entries R = ref_solve(std::move(P), std::move(Q), m);
    for (int q = 0; q < s; ++q) R = ref_product(R, R, m);
    return {std::move(R), s};
}

enum class Kind { Real, Complex, AntiHermitian, ImaginaryTridiagonal };

const char* kind_name(Kind k) {
    switch (k) {
        case Kind::Real: return "Real";
        case Kind::Complex: return "Complex";
        case Kind::AntiHermitian: return "AntiHermitian";
        case Kind::ImaginaryTridiagonal: return "ImaginaryTridiagonal";
    }
    return "";
}

/// A random matrix of the kind, scaled to the given 1-norm.
Entries random_matrix(std::size_t m, Kind kind, double target_norm, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    Entries A(m * m);
    switch (kind) {
        case Kind::Real:
            for (C& a : A) a = C(normal(rng), 0.0);
            break;
        case Kind::Complex:
            for (C& a : A) a = C(normal(rng), normal(rng));
            break;
        case Kind::AntiHermitian:
            // -i H with H Hermitian, as a real-time step produces.
            for (std::size_t r = 0; r < m; ++r) {
                for (std::size_t c = r; c < m; ++c) {
                    const double hr = normal(rng);
                    const double hi = r == c ? 0.0 : normal(rng);
                    A[r * m + c] = C(hi, -hr);
                    A[c * m + r] = C(-hi, -hr);
                }
            }
            break;
        case Kind::ImaginaryTridiagonal:
            // -i T with T real symmetric tridiagonal, as a Krylov step
            // produces: exact zeros off the band, signed zeros in the real parts.
            for (std::size_t r = 0; r < m; ++r) {
                A[r * m + r] = C(0.0, -normal(rng));
                if (r + 1 < m) {
                    const double beta = std::fabs(normal(rng));
                    A[r * m + r + 1] = C(0.0, -beta);
                    A[(r + 1) * m + r] = C(0.0, -beta);
                }
            }
            break;
    }
    const double factor = target_norm / ref_one_norm(A, m);
    for (C& a : A) a = C(a.real() * factor, a.imag() * factor);
    return A;
}

using ExpParam = std::tuple<std::size_t, Kind, double>;

class ExponentialBits : public ::testing::TestWithParam<ExpParam> {};

TEST_P(ExponentialBits, EveryEntryMatchesReference) {
    const auto [m, kind, target_norm] = GetParam();
    const std::uint64_t seed = m * 1000 + static_cast<std::uint64_t>(kind) * 100 +
                               static_cast<std::uint64_t>(target_norm);
    const Entries A = random_matrix(m, kind, target_norm, seed);
    const ReferenceExp want = ref_expm(A, m);
    // The table covers both sides of the scaling threshold.
    if (target_norm < 5.0) {
        ASSERT_EQ(want.squarings, 0);
    } else {
        ASSERT_GT(want.squarings, 0);
    }
    for (const C& z : want.E) {
        ASSERT_TRUE(std::isfinite(z.real()) && std::isfinite(z.imag())) << hex(z);
    }
    const Entries got = from_matrix(matrix_exponential(to_matrix(m, A), m), m);
    std::size_t differing = 0;
    for (std::size_t e = 0; e < m * m; ++e) {
        if (!bitwise_equal(got[e], want.E[e])) ++differing;
    }
    EXPECT_EQ(differing, 0u) << first_difference(got, want.E) << " (s = " << want.squarings
                             << ")";
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ExponentialBits,
    ::testing::Combine(::testing::Values<std::size_t>(3, 5, 8, 13, 21, 30),
                       ::testing::Values(Kind::Real, Kind::Complex, Kind::AntiHermitian,
                                         Kind::ImaginaryTridiagonal),
                       // s = 0 below theta; 3, 5 and 9 squarings above it.
                       ::testing::Values(0.25, 4.0, 40.0, 150.0, 2000.0)),
    [](const auto& info) {
        const double norm = std::get<2>(info.param);
        std::string name = "m";
        name += std::to_string(std::get<0>(info.param));
        name += "_";
        name += kind_name(std::get<1>(info.param));
        name += "_norm";
        name += norm < 1.0 ? std::string("Quarter") : std::to_string(static_cast<int>(norm));
        return name;
    });

// Summation order is observable at these sizes: the same product with the
// middle index run backwards rounds differently, so the bitwise comparison
// above does pin the order of the products.
TEST(ExponentialBitsReference, ProductOrderIsObservable) {
    const std::size_t m = 8;
    const Entries X = random_matrix(m, Kind::Complex, 3.0, 11);
    const Entries Y = random_matrix(m, Kind::Complex, 3.0, 12);
    Entries reversed(m * m);
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t k = 0; k < m; ++k) {
            C z(0.0, 0.0);
            for (std::size_t j = m; j-- > 0;) z = ref_add(z, ref_mul(X[i * m + j], Y[j * m + k]));
            reversed[i * m + k] = z;
        }
    }
    EXPECT_FALSE(bitwise_equal(reversed, ref_product(X, Y, m)));
}

}  // namespace
}  // namespace velmora
