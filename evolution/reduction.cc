#include "evolution/reduction.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "parallel/ranks.h"
#include "pauli/kernel.h"

namespace velmora {

double max_component(const Complex* v, std::uint64_t n, std::int32_t num_threads) {
    if (n == 0) {
        return 0.0;
    }
    std::vector<double> partial(chunk_count(n), 0.0);
    double* out = partial.data();
    for_each_chunk(n, num_threads, [=](std::uint64_t begin, std::uint64_t end) {
        double m = 0.0;
        for (std::uint64_t i = begin; i < end; ++i) {
            const double a = std::fabs(v[i].real());
            const double b = std::fabs(v[i].imag());
            // Comparisons with NaN are false: NaN entries never become the maximum.
            if (a > m) m = a;
            if (b > m) m = b;
        }
        out[begin / reduction_chunk] = m;
    });
    double m = 0.0;
    for (double p : partial) {
        if (p > m) m = p;
    }
    return m;
}

double stable_norm(const Complex* v, std::uint64_t n, std::int32_t num_threads,
                   Ranks* ranks) {
    double largest = max_component(v, n, num_threads);
    if (ranks != nullptr) {
        largest = ranks->max(largest);
    }
    if (largest == 0.0) {
        // All zero, or only NaN entries (which the maximum skips): the plain
        // sum of squares gives 0 or NaN.
        return std::sqrt(sum_over_ranks(
            chunked_real_sum(n, num_threads,
                             [=](std::uint64_t b, std::uint64_t e) {
                                 double s = 0.0;
                                 for (std::uint64_t i = b; i < e; ++i) {
                                     s = s + (v[i].real() * v[i].real() +
                                              v[i].imag() * v[i].imag());
                                 }
                                 return s;
                             }),
            ranks));
    }
    if (!std::isfinite(largest)) {
        return largest;
    }
    // 2^-e with largest = f * 2^e, 0.5 <= f < 1: the scaled entries are at
    // most 1 in modulus per part, so n of their squares cannot overflow, and
    // the largest one is at least 1/4, so the sum does not underflow into
    // meaninglessness. Scaling by a power of two is exact (short of entries
    // pushed below the subnormal range, which are negligible by 2^-1000).
    // 2^-e is formed as the product of two representable powers of two, as
    // it exceeds the double range for subnormal maxima.
    int e = 0;
    std::frexp(largest, &e);
    const double down1 = std::ldexp(1.0, -e / 2);
    const double down2 = std::ldexp(1.0, -e - (-e / 2));
    const double squares = sum_over_ranks(
        chunked_real_sum(n, num_threads,
                         [=](std::uint64_t b, std::uint64_t end) {
                             double s = 0.0;
                             for (std::uint64_t i = b; i < end; ++i) {
                                 const double re = (v[i].real() * down1) * down2;
                                 const double im = (v[i].imag() * down1) * down2;
                                 s = s + (re * re + im * im);
                             }
                             return s;
                         }),
        ranks);
    return std::ldexp(std::sqrt(squares), e);
}

Complex dot(const Complex* a, const Complex* b, std::uint64_t n, std::int32_t num_threads) {
    return chunked_complex_sum(n, num_threads, [=](std::uint64_t begin, std::uint64_t end) {
        double re = 0.0;
        double im = 0.0;
        for (std::uint64_t i = begin; i < end; ++i) {
            const double a_re = a[i].real();
            const double a_im = -a[i].imag();
            re = re + (a_re * b[i].real() - a_im * b[i].imag());
            im = im + (a_re * b[i].imag() + a_im * b[i].real());
        }
        return Complex(re, im);
    });
}

double diagonal_expectation(const double* d, const Complex* psi, std::uint64_t n,
                            std::int32_t num_threads, Ranks* ranks) {
    return sum_over_ranks(
        chunked_real_sum(n, num_threads,
                         [=](std::uint64_t begin, std::uint64_t end) {
                             double s = 0.0;
                             for (std::uint64_t i = begin; i < end; ++i) {
                                 const double p = psi[i].real() * psi[i].real() +
                                                  psi[i].imag() * psi[i].imag();
                                 s = s + d[i] * p;
                             }
                             return s;
                         }),
        ranks);
}

}  // namespace velmora
