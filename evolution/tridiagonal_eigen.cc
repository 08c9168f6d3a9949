#include "evolution/tridiagonal_eigen.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>

namespace velmora {

TridiagonalEigen tridiagonal_eigen(const double* diag, const double* off, std::uint64_t m) {
    for (std::uint64_t j = 0; j < m; ++j) {
        if (!std::isfinite(diag[j]) || (j + 1 < m && !std::isfinite(off[j]))) {
            throw std::invalid_argument("tridiagonal_eigen needs finite entries");
        }
    }
    const std::size_t n = static_cast<std::size_t>(m);
    // The iteration multiplies entries with each other (the last step of a QL
    // sweep forms a product of two off-diagonal entries), which overflows or
    // underflows far inside the double range. The matrix is therefore scaled
    // by 2^-e with the largest entry 2^e * f, 0.5 <= f < 1, and the
    // eigenvalues scaled back. Powers of two scale exactly and every operation
    // below is homogeneous in the entries, so for matrices whose products stay
    // in range the results are the same bits as without the scaling.
    double largest = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        largest = std::max(largest, std::fabs(diag[i]));
        if (i + 1 < n) {
            largest = std::max(largest, std::fabs(off[i]));
        }
    }
    int exponent = 0;
    if (largest > 0.0) {
        std::frexp(largest, &exponent);
    }
    std::vector<double> d(n);
    // e[i] is the entry below the diagonal in row i + 1; e[n - 1] = 0.
    std::vector<double> e(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        d[i] = std::ldexp(diag[i], -exponent);
        if (i + 1 < n) {
            e[i] = std::ldexp(off[i], -exponent);
        }
    }
    std::vector<double> z(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        z[i * n + i] = 1.0;
    }

    const double eps = std::numeric_limits<double>::epsilon();
    double f = 0.0;
    double tst1 = 0.0;
    constexpr int max_iterations = 200;
    for (std::size_t l = 0; l < n; ++l) {
        // Look for a negligible off-diagonal entry to split the matrix.
        tst1 = std::max(tst1, std::fabs(d[l]) + std::fabs(e[l]));
        std::size_t k = l;
        while (k < n) {
            if (std::fabs(e[k]) <= eps * tst1) {
                break;
            }
            ++k;
        }
        if (k == n) {
            k = n - 1;  // e[n - 1] is zero, so this only guards the bound
        }
        if (k > l) {
            int iteration = 0;
            do {
                ++iteration;
                // Wilkinson-like shift from the leading 2 x 2 block.
                double g = d[l];
                double p = (d[l + 1] - g) / (2.0 * e[l]);
                double r = std::hypot(p, 1.0);
                if (p < 0) {
                    r = -r;
                }
                d[l] = e[l] / (p + r);
                d[l + 1] = e[l] * (p + r);
                const double dl1 = d[l + 1];
                double h = g - d[l];
                for (std::size_t i = l + 2; i < n; ++i) {
                    d[i] -= h;
                }
                f = f + h;

                // Implicit QL transformation, rotations accumulated into z.
                p = d[k];
                double c = 1.0;
                double c2 = c;
                double c3 = c;
                const double el1 = e[l + 1];
                double s = 0.0;
                double s2 = 0.0;
                for (std::size_t ii = k; ii-- > l;) {
                    c3 = c2;
                    c2 = c;
                    s2 = s;
                    g = c * e[ii];
                    h = c * p;
                    r = std::hypot(p, e[ii]);
                    e[ii + 1] = s * r;
                    s = e[ii] / r;
                    c = p / r;
                    p = c * d[ii] - s * g;
                    d[ii + 1] = h + s * (c * g + s * d[ii]);
                    for (std::size_t row = 0; row < n; ++row) {
                        double* zr = &z[row * n];
                        h = zr[ii + 1];
                        zr[ii + 1] = s * zr[ii] + c * h;
                        zr[ii] = c * zr[ii] - s * h;
                    }
                }
                p = -s * s2 * c3 * el1 * e[l] / dl1;
                e[l] = s * p;
                d[l] = c * p;
            } while (std::fabs(e[l]) > eps * tst1 && iteration < max_iterations);
        }
        d[l] = d[l] + f;
        e[l] = 0.0;
    }

    // Ascending order; equal values keep their order, so the result is fixed.
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return d[a] < d[b]; });
    TridiagonalEigen out;
    out.values.resize(n);
    out.vectors.resize(n * n);
    for (std::size_t col = 0; col < n; ++col) {
        out.values[col] = std::ldexp(d[order[col]], exponent);
        for (std::size_t row = 0; row < n; ++row) {
            out.vectors[row * n + col] = z[row * n + order[col]];
        }
    }
    return out;
}

}  // namespace velmora
