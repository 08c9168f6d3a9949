#include "evolution/chebyshev.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace velmora {

std::vector<double> chebyshev_points(std::size_t degree) {
    const double count = static_cast<double>(degree + 1);
    std::vector<double> s(degree + 1);
    for (std::size_t i = 0; i <= degree; ++i) {
        s[i] = 0.5 * (1.0 + std::cos(std::numbers::pi * (static_cast<double>(i) + 0.5) / count));
    }
    return s;
}

DrivePolynomial drive_polynomial(const std::vector<double>& values, double tolerance) {
    if (values.empty()) {
        throw std::invalid_argument("drive_polynomial needs at least one value");
    }
    DrivePolynomial out;
    const std::size_t degree = values.size() - 1;
    if (degree == 0) {
        out.coefficients = {values[0]};
        out.converged = true;
        return out;
    }
    const double count = static_cast<double>(degree + 1);
    // c_k = (2 / (N + 1)) sum_i f_i cos(pi k (i + 1/2) / (N + 1)), c_0 halved:
    // the interpolant sum_k c_k T_k(x) through the points x_i = cos(pi (i +
    // 1/2) / (N + 1)).
    std::vector<double> c(degree + 1, 0.0);
    for (std::size_t k = 0; k <= degree; ++k) {
        double sum = 0.0;
        for (std::size_t i = 0; i <= degree; ++i) {
            sum = sum + values[i] * std::cos(std::numbers::pi * static_cast<double>(k) *
                                             (static_cast<double>(i) + 0.5) / count);
        }
        c[k] = 2.0 / count * sum;
    }
    c[0] = 0.5 * c[0];

    // The lowest degree whose dropped coefficients sum to at most tolerance / 4.
    std::size_t kept = degree;
    double dropped = 0.0;
    while (kept > 0 && dropped + std::fabs(c[kept]) <= 0.25 * tolerance) {
        dropped = dropped + std::fabs(c[kept]);
        --kept;
    }
    const double tail = 2.0 * (std::fabs(c[degree]) + std::fabs(c[degree - 1]));
    out.converged = degree < 2 || tail <= 0.25 * tolerance;

    // T_k(2 s - 1) as polynomials in s (integer coefficients, exact in
    // doubles up to degree 26), then a_j = sum_k c_k T_k[j] in order of k.
    std::vector<std::vector<double>> t(kept + 1);
    t[0] = {1.0};
    if (kept >= 1) t[1] = {-1.0, 2.0};
    for (std::size_t k = 1; k < kept; ++k) {
        std::vector<double> next(k + 2, 0.0);
        for (std::size_t j = 0; j <= k; ++j) {
            next[j] = next[j] - 2.0 * t[k][j];  // 2 (2 s - 1) T_k: the -2 T_k part
            next[j + 1] = next[j + 1] + 4.0 * t[k][j];
        }
        for (std::size_t j = 0; j < t[k - 1].size(); ++j) next[j] = next[j] - t[k - 1][j];
        t[k + 1] = std::move(next);
    }
    out.coefficients.assign(kept + 1, 0.0);
    for (std::size_t k = 0; k <= kept; ++k) {
        for (std::size_t j = 0; j < t[k].size(); ++j) {
            out.coefficients[j] = out.coefficients[j] + c[k] * t[k][j];
        }
    }
    // The monomial form against the samples (Horner at each point).
    double worst = 0.0;
    const std::vector<double> s = chebyshev_points(degree);
    for (std::size_t i = 0; i <= degree; ++i) {
        double p = 0.0;
        for (std::size_t j = out.coefficients.size(); j-- > 0;) p = p * s[i] + out.coefficients[j];
        worst = std::max(worst, std::fabs(p - values[i]));
    }
    out.error = dropped + tail + worst;
    return out;
}

}  // namespace velmora
