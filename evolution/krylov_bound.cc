#include "evolution/krylov_bound.h"

#include <algorithm>
#include <cmath>

namespace velmora {

namespace {

// 9-point Gauss-Legendre rule on [-1, 1]: nodes +-x_i and 0, weights w_i.
constexpr double gl_node[5] = {0.0, 0.3242534234038089, 0.6133714327005904,
                               0.8360311073266358, 0.9681602395076261};
constexpr double gl_weight[5] = {0.3302393550012598, 0.3123470770400029, 0.2606106964029354,
                                 0.1806481606948574, 0.0812743883615744};

}  // namespace

Complex complex_exp(Complex z) {
    const double r = std::exp(z.real());
    return Complex(r * std::cos(z.imag()), r * std::sin(z.imag()));
}

double growth_shift(const std::vector<double>& values, Complex direction) {
    if (direction.imag() < 0.0) {
        return values.front();
    }
    if (direction.imag() > 0.0) {
        return values.back();
    }
    return 0.0;
}

KrylovStepBound::KrylovStepBound(const TridiagonalEigen& eig, Complex direction, double shift)
    : vectors_(eig.vectors) {
    const std::size_t k = eig.values.size();
    first_.resize(k);
    weight_.resize(k);
    rate_.resize(k);
    // -i d = (d.im, -d.re)
    const Complex minus_i_d(direction.imag(), -direction.real());
    for (std::size_t j = 0; j < k; ++j) {
        first_[j] = vectors_[j];
        weight_[j] = vectors_[(k - 1) * k + j] * vectors_[j];
        const double lambda = eig.values[j] - shift;
        rate_[j] = Complex(minus_i_d.real() * lambda, minus_i_d.imag() * lambda);
        max_rate_ = std::max(max_rate_, std::abs(rate_[j]));
        weight_sum_ = weight_sum_ + std::fabs(weight_[j]);
    }
}

double KrylovStepBound::integrand(double s) const {
    double re = 0.0;
    double im = 0.0;
    for (std::size_t j = 0; j < weight_.size(); ++j) {
        const Complex e = complex_exp(Complex(s * rate_[j].real(), s * rate_[j].imag()));
        re = re + weight_[j] * e.real();
        im = im + weight_[j] * e.imag();
    }
    return std::hypot(re, im);
}

double KrylovStepBound::integral(double a, double b) const {
    if (!(b > a)) {
        return 0.0;
    }
    const double panel = max_rate_ > 0.0 ? 1.0 / max_rate_ : b - a;
    const double count = std::ceil((b - a) / panel);
    const std::uint64_t panels = count < 1.0 ? 1 : static_cast<std::uint64_t>(count);
    const double h = (b - a) / static_cast<double>(panels);
    double total = 0.0;
    for (std::uint64_t p = 0; p < panels; ++p) {
        const double lo = a + h * static_cast<double>(p);
        const double hi = p + 1 == panels ? b : a + h * static_cast<double>(p + 1);
        const double mid = 0.5 * (lo + hi);
        const double half = 0.5 * (hi - lo);
        double sum = gl_weight[0] * integrand(mid);
        for (int i = 1; i < 5; ++i) {
            sum = sum + gl_weight[i] * (integrand(mid - half * gl_node[i]) +
                                        integrand(mid + half * gl_node[i]));
        }
        total = total + half * sum;
    }
    return total;
}

double KrylovStepBound::result_norm(double s) const {
    double squares = 0.0;
    for (std::size_t j = 0; j < first_.size(); ++j) {
        const double decay = std::exp(s * rate_[j].real());
        const double a = first_[j] * decay;
        squares = squares + a * a;
    }
    return std::sqrt(squares);
}

double KrylovStepBound::relative_estimate(double beta_k, double tau) const {
    return relative_from(beta_k, integral(0.0, tau), tau);
}

double KrylovStepBound::relative_from(double beta_k, double integral_value, double tau) const {
    const double norm = std::min(1.0, result_norm(tau));
    return bound_safety * beta_k * integral_value / norm;
}

KrylovStepBound::Step KrylovStepBound::largest_step(double beta_k, double tau_max, double rate,
                                                   double floor, StepReserve reserve) const {
    return walk(beta_k, tau_max, rate, floor, reserve, true);
}

bool KrylovStepBound::reaches(double beta_k, double tau_max, double rate, double floor,
                              double end_reserve) const {
    const Step step = walk(beta_k, tau_max, rate, floor, {}, false);
    return step.tau >= tau_max &&
           step.estimate <= std::max(rate * tau_max - end_reserve, floor);
}

KrylovStepBound::Step KrylovStepBound::walk(double beta_k, double tau_max, double rate,
                                           double floor, StepReserve reserve, bool bisect) const {
    auto fits = [&](double tau, double estimate) {
        return estimate <=
               std::max(rate * tau - (reserve.constant + reserve.per_time * tau), floor);
    };
    const double crude = bound_safety * beta_k * weight_sum_ * tau_max /
                         std::min(1.0, result_norm(tau_max));
    if (fits(tau_max, crude)) {
        return {tau_max, crude};
    }
    const double panel = max_rate_ > 0.0 ? 1.0 / max_rate_ : tau_max;
    double a = 0.0;
    double value = 0.0;  // integral over [0, a]
    for (std::uint64_t p = 0; p < max_panels; ++p) {
        const double b = std::min(tau_max, a + panel);
        const double next = value + integral(a, b);
        const double at_b = relative_from(beta_k, next, b);
        if (!fits(b, at_b)) {
            if (!bisect) {
                return {a, relative_from(beta_k, value, a)};
            }
            // Bisect inside [a, b]: the condition holds at lo (or lo = 0).
            double lo = a;
            double lo_estimate = relative_from(beta_k, value, a);
            double hi = b;
            for (int i = 0; i < 1100 && (hi - lo > 1e-6 * hi || lo == 0.0); ++i) {
                const double mid = 0.5 * (lo + hi);
                const double e = relative_from(beta_k, value + integral(a, mid), mid);
                if (fits(mid, e)) {
                    lo = mid;
                    lo_estimate = e;
                } else {
                    hi = mid;
                }
            }
            return {lo, lo_estimate};
        }
        if (b >= tau_max) {
            return {tau_max, at_b};
        }
        a = b;
        value = next;
    }
    return {a, relative_from(beta_k, value, a)};
}

void KrylovStepBound::coefficients(double s, Complex* coeffs) const {
    const std::size_t k = first_.size();
    std::vector<Complex> e(k);
    for (std::size_t j = 0; j < k; ++j) {
        const Complex f = complex_exp(Complex(s * rate_[j].real(), s * rate_[j].imag()));
        e[j] = Complex(first_[j] * f.real(), first_[j] * f.imag());
    }
    for (std::size_t l = 0; l < k; ++l) {
        double re = 0.0;
        double im = 0.0;
        for (std::size_t j = 0; j < k; ++j) {
            re = re + vectors_[l * k + j] * e[j].real();
            im = im + vectors_[l * k + j] * e[j].imag();
        }
        coeffs[l] = Complex(re, im);
    }
}

}  // namespace velmora
