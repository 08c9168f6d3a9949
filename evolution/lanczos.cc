#include "evolution/lanczos.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "parallel/buffer.h"
#include "parallel/reduce.h"

namespace velmora {

namespace {

using Vector = Buffer<Complex>;

/// A new vector of n amplitudes, all 0 + 0i, cleared by the team that will
/// sweep it (parallel/buffer.h).
Vector zero_vector(std::uint64_t n, std::int32_t num_threads) {
    return team_zeros<Complex>(n, num_threads);
}

/// Runs update(i) for every i, which changes entry i and returns a term, and
/// returns the sum of the terms added in index order on the calling thread:
/// ((0 + t_0) + t_1) + ... With a team, the updates run in parallel and park
/// their terms in `parking`, a vector whose contents are needed by nothing
/// but update(i) reading its entry i; then the calling thread adds them up.
/// The term of entry i goes to double 2 * begin + (i - begin) of its chunk,
/// which lies over an entry no later than i of the same chunk, so no entry is
/// overwritten before it has been read and no chunk touches another's bytes.
/// Without a team, update and sum share a single pass.
template <class Update>
double update_and_sum(std::uint64_t n, std::int32_t num_threads, Complex* parking,
                      Update update) {
    double sum = 0.0;
    if (sweep_policy(n, num_threads).is_serial()) {
        for (std::uint64_t i = 0; i < n; ++i) {
            sum = sum + update(i);
        }
        return sum;
    }
    double* terms = reinterpret_cast<double*>(parking);
    for_each_chunk(n, num_threads, [=](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t i = begin; i < end; ++i) {
            terms[2 * begin + (i - begin)] = update(i);
        }
    });
    for (std::uint64_t begin = 0; begin < n; begin += reduction_chunk) {
        const std::uint64_t end = std::min(n, begin + reduction_chunk);
        for (std::uint64_t i = begin; i < end; ++i) {
            sum = sum + terms[2 * begin + (i - begin)];
        }
    }
    return sum;
}

/// v[i] = src[i] / d, both parts divided.
void divide_into(Complex* v, const Complex* src, double d, std::uint64_t n,
                 std::int32_t num_threads) {
    for_each_chunk(n, num_threads, [=](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t i = begin; i < end; ++i) {
            v[i] = divide(src[i], d);
        }
    });
}

/// The real part of the inner product term conj(a) * b, as inner_product forms it.
inline double inner_term_real(Complex a, Complex b) {
    const double a_re = a.real();
    const double a_im = -a.imag();
    return a_re * b.real() - a_im * b.imag();
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
        re = re + inner_term_real(a[i], b[i]);
        im = im + (a_re * b[i].imag() + a_im * b[i].real());
    }
    return Complex(re, im);
}

std::uint64_t lanczos_tridiagonalize(const Hamiltonian& ham, const Complex* state, double x,
                                     Complex* T, std::uint64_t m, std::int32_t num_threads) {
    const std::uint64_t n = std::uint64_t{1} << ham.num_qubits();
    Vector v_prev = zero_vector(n, num_threads);
    Vector v_cur = zero_vector(n, num_threads);
    Vector w = zero_vector(n, num_threads);

    // The sweeps of one step are fused where they meet the same entries, and
    // "copy v_cur into v_prev" is an exchange of the two buffers; every entry
    // still receives the operations of the recurrence in their order, and every
    // sum is added sequentially in index order on the calling thread.
    divide_into(v_cur.get(), state, x, n, num_threads);
    double beta_prev = 0.0;
    for (std::uint64_t j = 0;; ++j) {
        ham.apply_with_threads(v_cur.get(), w.get(), num_threads);
        Complex* wv = w.get();
        const Complex* cur = v_cur.get();
        const Complex* prev = v_prev.get();
        // w -= beta_prev v_prev (from the second step on), then alpha = Re <v_cur, w>.
        // Once w is updated, v_prev's contents are not needed again in this
        // step, so its buffer can park the terms of both sums.
        const bool has_prev = j > 0;
        const double alpha =
            update_and_sum(n, num_threads, v_prev.get(), [=](std::uint64_t i) {
                if (has_prev) {
                    wv[i] = Complex(wv[i].real() - beta_prev * prev[i].real(),
                                    wv[i].imag() - beta_prev * prev[i].imag());
                }
                return inner_term_real(cur[i], wv[i]);
            });
        T[j * m + j] = Complex(alpha, 0.0);
        // w -= (alpha + 0i) v_cur as a full complex product, then beta = ||w||.
        const Complex a(alpha, 0.0);
        const double squares =
            update_and_sum(n, num_threads, v_prev.get(), [=](std::uint64_t i) {
                wv[i] = subtract(wv[i], multiply(a, cur[i]));
                return wv[i].real() * wv[i].real() + wv[i].imag() * wv[i].imag();
            });
        const double beta = std::sqrt(squares);
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
        std::swap(v_prev, v_cur);
        divide_into(v_cur.get(), w.get(), beta, n, num_threads);
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
    Vector v_prev = zero_vector(n, num_threads);
    Vector v_cur = zero_vector(n, num_threads);
    Vector w = zero_vector(n, num_threads);

    divide_into(v_cur.get(), state, x, n, num_threads);
    const Complex s = multiply(c, Complex(0.0, -1.0));
    const Matrix E = matrix_exponential(scale_matrix(T, m, k, s), k, ham.kernel_isa());

    const Complex e0 = E[0];
    {
        const Complex* cur = v_cur.get();
        for_each_chunk(n, num_threads, [=](std::uint64_t begin, std::uint64_t end) {
            for (std::uint64_t i = begin; i < end; ++i) {
                const Complex p(x * cur[i].real(), x * cur[i].imag());
                result[i] = multiply(p, e0);
            }
        });
    }
    // Each step is one element-wise sweep: w -= alpha v_cur, w -= beta' v_prev,
    // the new vector w / beta written over v_prev's buffer (the two buffers
    // then change roles), and its term folded into the result.
    for (std::uint64_t l = 1; l < k; ++l) {
        const double beta = T[(l - 1) * m + l].real();
        const Complex alpha = T[(l - 1) * m + (l - 1)];
        const double beta_prev = l > 1 ? T[(l - 2) * m + (l - 1)].real() : 0.0;
        const bool has_prev = l > 1;
        const Complex el = E[l * k];
        ham.apply_with_threads(v_cur.get(), w.get(), num_threads);
        const Complex* wv = w.get();
        const Complex* cur = v_cur.get();
        Complex* next = v_prev.get();  // holds v_(l-2) until overwritten entry by entry
        for_each_chunk(n, num_threads, [=](std::uint64_t begin, std::uint64_t end) {
            for (std::uint64_t i = begin; i < end; ++i) {
                Complex wi = subtract(wv[i], multiply(alpha, cur[i]));
                if (has_prev) {
                    wi = Complex(wi.real() - beta_prev * next[i].real(),
                                 wi.imag() - beta_prev * next[i].imag());
                }
                const Complex v = divide(wi, beta);
                next[i] = v;
                const Complex p(x * v.real(), x * v.imag());
                result[i] = add(result[i], multiply(p, el));
            }
        });
        std::swap(v_prev, v_cur);
    }
}

}  // namespace velmora
