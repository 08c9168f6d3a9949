#include "evolution/chebyshev.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace velmora {
namespace {

struct DriveCase {
    std::string name;
    std::function<double(double)> f;  // on the step's s in [0, 1]
    double tolerance;
    bool converges;
};

std::vector<double> sampled(const std::function<double(double)>& f, std::size_t degree) {
    std::vector<double> values;
    for (double s : chebyshev_points(degree)) values.push_back(f(s));
    return values;
}

double evaluate(const std::vector<double>& a, double s) {
    double p = 0.0;
    for (std::size_t j = a.size(); j-- > 0;) p = p * s + a[j];
    return p;
}

class Drives : public ::testing::TestWithParam<DriveCase> {};

// The reported error is never below the true one on a fine grid, and smooth
// drives converge while jumps do not.
TEST_P(Drives, ErrorBoundsTheTrueErrorAndSmoothnessIsSeen) {
    const DriveCase& c = GetParam();
    const DrivePolynomial p = drive_polynomial(sampled(c.f, 16), c.tolerance);
    EXPECT_EQ(p.converged && p.error <= c.tolerance, c.converges) << c.name << " error " << p.error;
    if (!c.converges) return;
    double worst = 0.0;
    for (int i = 0; i <= 4000; ++i) {
        const double s = i / 4000.0;
        worst = std::max(worst, std::fabs(evaluate(p.coefficients, s) - c.f(s)));
    }
    EXPECT_LE(worst, p.error) << c.name;
    EXPECT_LE(p.error, c.tolerance) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, Drives,
    ::testing::Values(
        DriveCase{"constant", [](double) { return 0.7; }, 1e-12, true},
        DriveCase{"cubic", [](double s) { return 1.0 - 2.0 * s + 0.5 * s * s * s; }, 1e-12, true},
        DriveCase{"cos_short", [](double s) { return 1.0 + 0.5 * std::cos(3.0 * (2.0 + 0.3 * s)); },
                  1e-12, true},
        DriveCase{"cos_long", [](double s) { return std::cos(8.0 * s); }, 1e-4, true},
        DriveCase{"cos_too_long", [](double s) { return std::cos(12.0 * s); }, 1e-9, false},
        DriveCase{"gaussian_resolved",
                  [](double s) { return std::exp(-0.5 * std::pow((s - 0.5) / 0.3, 2)); }, 1e-6, true},
        DriveCase{"gaussian_narrow",
                  [](double s) { return std::exp(-0.5 * std::pow((s - 0.47) / 0.02, 2)); }, 1e-6, false},
        DriveCase{"jump", [](double s) { return s > 0.43 ? 1.5 : 1.0; }, 1e-4, false},
        DriveCase{"small_jump", [](double s) { return s > 0.43 ? 1.001 : 1.0; }, 1e-6, false},
        DriveCase{"kink", [](double s) { return std::fabs(s - 0.41); }, 1e-8, false}),
    [](const auto& info) { return info.param.name; });

TEST(Drives, PointsLieInsideTheStep) {
    const std::vector<double> s = chebyshev_points(4);
    ASSERT_EQ(s.size(), 5u);
    for (std::size_t i = 0; i < s.size(); ++i) {
        EXPECT_GT(s[i], 0.0);
        EXPECT_LT(s[i], 1.0);
        if (i > 0) {
            EXPECT_LT(s[i], s[i - 1]);
        }
    }
    EXPECT_NEAR(s[2], 0.5, 1e-16);
}

}  // namespace
}  // namespace velmora
