#include "evolution/symmetric_eigen.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

namespace velmora {

SymmetricEigen symmetric_eigen(const double* a, std::uint64_t m) {
    std::vector<double> A(m * m);
    for (std::uint64_t r = 0; r < m; ++r) {
        for (std::uint64_t c = r; c < m; ++c) {
            const double x = a[r * m + c];
            if (!std::isfinite(x)) {
                throw std::invalid_argument("symmetric_eigen: the matrix has a non-finite entry");
            }
            A[r * m + c] = x;
            A[c * m + r] = x;
        }
    }
    std::vector<double> U(m * m, 0.0);
    for (std::uint64_t r = 0; r < m; ++r) U[r * m + r] = 1.0;

    for (int sweep = 0; sweep < 50; ++sweep) {
        bool rotated = false;
        for (std::uint64_t p = 0; p + 1 < m; ++p) {
            for (std::uint64_t q = p + 1; q < m; ++q) {
                const double apq = A[p * m + q];
                const double app = A[p * m + p];
                const double aqq = A[q * m + q];
                // Negligible: far below the rounding of both diagonal entries.
                if (apq == 0.0 || std::fabs(apq) <= 1e-18 * (std::fabs(app) + std::fabs(aqq))) {
                    A[p * m + q] = A[q * m + p] = 0.0;
                    continue;
                }
                rotated = true;
                // The rotation that zeroes A[p][q] (Golub & Van Loan, 8.5.2).
                const double tau = (aqq - app) / (2.0 * apq);
                const double t = (tau >= 0.0 ? 1.0 : -1.0) /
                                 (std::fabs(tau) + std::sqrt(1.0 + tau * tau));
                const double c = 1.0 / std::sqrt(1.0 + t * t);
                const double s = t * c;
                for (std::uint64_t k = 0; k < m; ++k) {
                    const double akp = A[k * m + p];
                    const double akq = A[k * m + q];
                    A[k * m + p] = c * akp - s * akq;
                    A[k * m + q] = s * akp + c * akq;
                }
                for (std::uint64_t k = 0; k < m; ++k) {
                    const double apk = A[p * m + k];
                    const double aqk = A[q * m + k];
                    A[p * m + k] = c * apk - s * aqk;
                    A[q * m + k] = s * apk + c * aqk;
                }
                A[p * m + q] = A[q * m + p] = 0.0;
                for (std::uint64_t k = 0; k < m; ++k) {
                    const double ukp = U[k * m + p];
                    const double ukq = U[k * m + q];
                    U[k * m + p] = c * ukp - s * ukq;
                    U[k * m + q] = s * ukp + c * ukq;
                }
            }
        }
        if (!rotated) break;
    }

    std::vector<std::uint64_t> order(m);
    std::iota(order.begin(), order.end(), std::uint64_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::uint64_t x, std::uint64_t y) {
        return A[x * m + x] < A[y * m + y];
    });
    SymmetricEigen out;
    out.values.resize(m);
    out.vectors.resize(m * m);
    for (std::uint64_t k = 0; k < m; ++k) {
        out.values[k] = A[order[k] * m + order[k]];
        for (std::uint64_t r = 0; r < m; ++r) out.vectors[r * m + k] = U[r * m + order[k]];
    }
    return out;
}

}  // namespace velmora
