#include "evolution/lanczos.h"

#include <cmath>
#include <cstring>
#include <memory>

namespace velmora {

namespace {

using Vector = std::unique_ptr<Complex[]>;

/// A new vector of n amplitudes, all 0 + 0i.
Vector zero_vector(std::uint64_t n) {
    return std::make_unique<Complex[]>(n);
}

/// w = H * v with the kernel that `num_threads` selects.
void apply_hamiltonian(const Hamiltonian& ham, const Complex* v, Complex* w,
                       std::int32_t num_threads) {
    if (num_threads == 0) {
        ham.apply(v, w);
    } else {
        ham.apply_parallel(v, w, num_threads);
    }
}

/// v[i] = state[i] / x, both parts divided.
void normalise_into(Complex* v, const Complex* state, double x, std::uint64_t n) {
    for (std::uint64_t i = 0; i < n; ++i) {
        v[i] = divide(state[i], x);
    }
}

/// w[i] = w[i] - beta * v[i] with a real beta applied to both parts.
void subtract_real_multiple(Complex* w, double beta, const Complex* v, std::uint64_t n) {
    for (std::uint64_t i = 0; i < n; ++i) {
        w[i] = Complex(w[i].real() - beta * v[i].real(), w[i].imag() - beta * v[i].imag());
    }
}

/// w[i] = w[i] - alpha * v[i] as a full complex product.
void subtract_complex_multiple(Complex* w, Complex alpha, const Complex* v, std::uint64_t n) {
    for (std::uint64_t i = 0; i < n; ++i) {
        w[i] = subtract(w[i], multiply(alpha, v[i]));
    }
}

void copy_vector(Complex* dst, const Complex* src, std::uint64_t n) {
    std::memcpy(static_cast<void*>(dst), src, n * sizeof(Complex));
}

}  // namespace

double vector_norm(const Complex* v, std::uint64_t n) {
    double s = 0.0;
    for (std::uint64_t i = 0; i < n; ++i) {
        const double square = v[i].real() * v[i].real() + v[i].imag() * v[i].imag();
        s = s + square;
    }
    return std::sqrt(s);
}

Complex inner_product(const Complex* a, const Complex* b, std::uint64_t n) {
    double re = 0.0;
    double im = 0.0;
    for (std::uint64_t i = 0; i < n; ++i) {
        const double a_re = a[i].real();
        const double a_im = -a[i].imag();
        re = re + (a_re * b[i].real() - a_im * b[i].imag());
        im = im + (a_re * b[i].imag() + a_im * b[i].real());
    }
    return Complex(re, im);
}

std::uint64_t lanczos_tridiagonalize(const Hamiltonian& ham, const Complex* state, double x,
                                     Complex* T, std::uint64_t m, std::int32_t num_threads) {
    const std::uint64_t n = std::uint64_t{1} << ham.num_qubits();
    Vector v_prev = zero_vector(n);
    Vector v_cur = zero_vector(n);
    Vector w = zero_vector(n);

    normalise_into(v_cur.get(), state, x, n);
    double beta_prev = 0.0;
    for (std::uint64_t j = 0;; ++j) {
        apply_hamiltonian(ham, v_cur.get(), w.get(), num_threads);
        if (j > 0) {
            subtract_real_multiple(w.get(), beta_prev, v_prev.get(), n);
        }
        const double alpha = inner_product(v_cur.get(), w.get(), n).real();
        T[j * m + j] = Complex(alpha, 0.0);
        subtract_complex_multiple(w.get(), Complex(alpha, 0.0), v_cur.get(), n);
        const double beta = vector_norm(w.get(), n);
        if (j + 1 < m) {
            T[(j + 1) * m + j] = Complex(beta, 0.0);
            T[j * m + (j + 1)] = Complex(beta, 0.0);
        }
        if (beta < breakdown_tol) {
            return j + 1;
        }
        if (j + 1 == m) {
            return m;
        }
        copy_vector(v_prev.get(), v_cur.get(), n);
        for (std::uint64_t i = 0; i < n; ++i) {
            v_cur[i] = divide(w[i], beta);
        }
        beta_prev = beta;
    }
}

Matrix scale_matrix(const Complex* T, std::uint64_t row_length, std::uint64_t k, Complex s) {
    Matrix S = zero_matrix(k);
    for (std::uint64_t i = 0; i < k; ++i) {
        for (std::uint64_t j = 0; j < k; ++j) {
            S[i * k + j] = multiply(s, T[i * row_length + j]);
        }
    }
    return S;
}

void lanczos_propagate(const Hamiltonian& ham, const Complex* state, double x,
                       const Complex* T, std::uint64_t m, std::uint64_t k, Complex c,
                       Complex* result, std::int32_t num_threads) {
    const std::uint64_t n = std::uint64_t{1} << ham.num_qubits();
    Vector v_prev = zero_vector(n);
    Vector v_cur = zero_vector(n);
    Vector w = zero_vector(n);

    normalise_into(v_cur.get(), state, x, n);
    const Complex s = multiply(c, Complex(0.0, -1.0));
    const Matrix E = matrix_exponential(scale_matrix(T, m, k, s), k);

    const Complex e0 = E[0];
    for (std::uint64_t i = 0; i < n; ++i) {
        const Complex p(x * v_cur[i].real(), x * v_cur[i].imag());
        result[i] = multiply(p, e0);
    }
    for (std::uint64_t l = 1; l < k; ++l) {
        const double beta = T[(l - 1) * m + l].real();
        const Complex alpha = T[(l - 1) * m + (l - 1)];
        apply_hamiltonian(ham, v_cur.get(), w.get(), num_threads);
        subtract_complex_multiple(w.get(), alpha, v_cur.get(), n);
        if (l > 1) {
            subtract_real_multiple(w.get(), T[(l - 2) * m + (l - 1)].real(), v_prev.get(), n);
        }
        copy_vector(v_prev.get(), v_cur.get(), n);
        const Complex el = E[l * k];
        for (std::uint64_t i = 0; i < n; ++i) {
            v_cur[i] = divide(w[i], beta);
            const Complex p(x * v_cur[i].real(), x * v_cur[i].imag());
            result[i] = add(result[i], multiply(p, el));
        }
    }
}

}  // namespace velmora
