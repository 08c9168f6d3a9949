#include "evolution/matrix_exponential.h"

#include <cmath>
#include <limits>
#include <utility>

namespace velmora {

Matrix zero_matrix(std::uint64_t m) {
    // make_unique<T[]> value-initialises: every entry is 0 + 0i.
    return std::make_unique<Complex[]>(m * m);
}

double one_norm(const Complex* A, std::uint64_t m) {
    double norm = 0.0;
    for (std::uint64_t c = 0; c < m; ++c) {
        double sum = 0.0;
        for (std::uint64_t r = 0; r < m; ++r) {
            const Complex a = A[r * m + c];
            sum = sum + std::hypot(a.real(), a.imag());
        }
        if (sum > norm) {
            norm = sum;
        }
    }
    return norm;
}

std::int32_t squaring_count(double norm) {
    if (!(norm > theta_13)) {
        return 0;
    }
    const double quotient = norm / theta_13;
    return static_cast<std::int32_t>(std::ceil(std::log2(quotient)));
}

Complex scalar_exponential(Complex z) {
    const double x = z.real();
    const double y = z.imag();
    if (std::isfinite(x)) {
        if (y == 0.0) {
            // Keeps the sign of a zero imaginary part and avoids inf * 0.
            return Complex(std::exp(x), y);
        }
        const double e = std::exp(x);
        if (std::isinf(e)) {
            // e^x overflows while cos y * e^x may not: split e^x in halves.
            const double h = std::exp(x / 2.0);
            return Complex((std::cos(y) * h) * h, (std::sin(y) * h) * h);
        }
        return Complex(std::cos(y) * e, std::sin(y) * e);
    }
    double rho;
    if (std::isnan(x)) {
        rho = std::fabs(x);  // the NaN with its sign bit cleared
    } else {
        rho = x > 0.0 ? std::numeric_limits<double>::infinity() : +0.0;
    }
    if (!std::isfinite(y)) {
        if (std::isinf(rho)) {
            return Complex(rho, std::numeric_limits<double>::quiet_NaN());
        }
        return Complex(rho, std::copysign(rho, y));
    }
    if (y == 0.0) {
        return Complex(rho, y);
    }
    return Complex(rho * std::cos(y), rho * std::sin(y));
}

Complex divide_by_pivot(Complex value, Complex pivot) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const double a = pivot.real();
    const double b = pivot.imag();
    const double c = value.real();
    const double d = value.imag();
    if (std::isnan(a) || std::isnan(b)) {
        return Complex(nan, nan);
    }
    if (std::fabs(a) > std::fabs(b)) {
        const double t = b / a;
        const double den = t * b + a;
        if (std::isnan(den) || den == 0.0) {
            return Complex(nan, nan);
        }
        return Complex((d * t + c) / den, (d - c * t) / den);
    }
    if (b == 0.0) {
        return Complex(c / a, d / a);
    }
    const double t = a / b;
    const double den = t * a + b;
    if (std::isnan(den) || den == 0.0) {
        return Complex(nan, nan);
    }
    return Complex((c * t + d) / den, (d * t - c) / den);
}

namespace {

inline bool is_exact_zero(Complex a) {
    return a.real() == 0.0 && a.imag() == 0.0;
}

/// Multiplies both parts of a complex entry by a real coefficient.
inline Complex scale(double b, Complex a) {
    return Complex(b * a.real(), b * a.imag());
}

}  // namespace

Matrix matrix_multiply(const Complex* X, const Complex* Y, std::uint64_t m) {
    Matrix Z = zero_matrix(m);
    for (std::uint64_t i = 0; i < m; ++i) {
        Complex* z_row = &Z[i * m];
        for (std::uint64_t j = 0; j < m; ++j) {
            const Complex a = X[i * m + j];
            if (is_exact_zero(a)) {
                continue;
            }
            const Complex* y_row = &Y[j * m];
            for (std::uint64_t k = 0; k < m; ++k) {
                z_row[k] = add(z_row[k], multiply(a, y_row[k]));
            }
        }
    }
    return Z;
}

Matrix solve_linear_system(Matrix P, Matrix Q, std::uint64_t m) {
    for (std::uint64_t i = 0; i < m; ++i) {
        if (i + 1 < m) {
            std::uint64_t best_row = i;
            double best = std::hypot(P[i * m + i].real(), P[i * m + i].imag());
            for (std::uint64_t j = i + 1; j < m; ++j) {
                const double modulus = std::hypot(P[j * m + i].real(), P[j * m + i].imag());
                if (modulus > best) {
                    best = modulus;
                    best_row = j;
                }
            }
            if (best_row != i) {
                for (std::uint64_t l = 0; l < m; ++l) {
                    std::swap(P[i * m + l], P[best_row * m + l]);
                    std::swap(Q[i * m + l], Q[best_row * m + l]);
                }
            }
        }
        const Complex pivot = P[i * m + i];
        for (std::uint64_t l = 0; l < m; ++l) {
            P[i * m + l] = divide_by_pivot(P[i * m + l], pivot);
            Q[i * m + l] = divide_by_pivot(Q[i * m + l], pivot);
        }
        for (std::uint64_t k = 0; k < m; ++k) {
            if (k == i) {
                continue;
            }
            const Complex f = P[k * m + i];
            if (is_exact_zero(f)) {
                continue;
            }
            for (std::uint64_t l = 0; l < m; ++l) {
                P[k * m + l] = subtract(P[k * m + l], multiply(f, P[i * m + l]));
                Q[k * m + l] = subtract(Q[k * m + l], multiply(f, Q[i * m + l]));
            }
        }
    }
    return Q;
}

Matrix matrix_exponential(Matrix A, std::uint64_t m) {
    if (m == 1) {
        Matrix E = zero_matrix(1);
        E[0] = scalar_exponential(A[0]);
        return E;
    }
    const std::uint64_t size = m * m;
    const double norm = one_norm(A.get(), m);
    if (!std::isfinite(norm)) {
        // An infinite column sum: no meaningful scaling exists.
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        Matrix E = zero_matrix(m);
        for (std::uint64_t e = 0; e < size; ++e) {
            E[e] = Complex(nan, nan);
        }
        return E;
    }
    const std::int32_t s = squaring_count(norm);
    const double factor = std::ldexp(1.0, s);
    for (std::uint64_t e = 0; e < size; ++e) {
        A[e] = divide(A[e], factor);
    }

    const double* b = pade_13;
    Matrix I = zero_matrix(m);
    for (std::uint64_t j = 0; j < m; ++j) {
        I[j * m + j] = Complex(1.0, 0.0);
    }
    Matrix A2 = matrix_multiply(A.get(), A.get(), m);
    Matrix A4 = matrix_multiply(A2.get(), A2.get(), m);
    Matrix A6 = matrix_multiply(A4.get(), A2.get(), m);

    // Odd part U = A * (A6 * (b13 A6 + b11 A4 + b9 A2) + b7 A6 + b5 A4 + b3 A2 + b1 I).
    Matrix W1 = zero_matrix(m);
    for (std::uint64_t e = 0; e < size; ++e) {
        W1[e] = add(add(scale(b[13], A6[e]), scale(b[11], A4[e])), scale(b[9], A2[e]));
    }
    Matrix Z1 = matrix_multiply(A6.get(), W1.get(), m);
    Matrix W = zero_matrix(m);
    for (std::uint64_t e = 0; e < size; ++e) {
        W[e] = add(add(add(add(Z1[e], scale(b[7], A6[e])), scale(b[5], A4[e])),
                       scale(b[3], A2[e])),
                   scale(b[1], I[e]));
    }
    Matrix U = matrix_multiply(A.get(), W.get(), m);

    // Even part V = A6 * (b12 A6 + b10 A4 + b8 A2) + b6 A6 + b4 A4 + b2 A2 + b0 I.
    Matrix& Z2 = W1;
    for (std::uint64_t e = 0; e < size; ++e) {
        Z2[e] = add(add(scale(b[12], A6[e]), scale(b[10], A4[e])), scale(b[8], A2[e]));
    }
    Matrix Z = matrix_multiply(A6.get(), Z2.get(), m);
    Matrix V = zero_matrix(m);
    for (std::uint64_t e = 0; e < size; ++e) {
        V[e] = add(add(add(add(Z[e], scale(b[6], A6[e])), scale(b[4], A4[e])),
                       scale(b[2], A2[e])),
                   scale(b[0], I[e]));
    }

    Matrix P = zero_matrix(m);
    Matrix Q = zero_matrix(m);
    for (std::uint64_t e = 0; e < size; ++e) {
        P[e] = subtract(V[e], U[e]);
        Q[e] = add(U[e], V[e]);
    }
    Matrix R = solve_linear_system(std::move(P), std::move(Q), m);
    for (std::int32_t squaring = 0; squaring < s; ++squaring) {
        R = matrix_multiply(R.get(), R.get(), m);
    }
    return R;
}

}  // namespace velmora
