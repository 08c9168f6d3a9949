#include "evolution/krylov_engine.h"

#include <algorithm>
#include <iterator>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "evolution/evolve.h"
#include "evolution/krylov_bound.h"
#include "evolution/pauli_sum_operator.h"
#include "evolution/pseudo_random.h"
#include "evolution/sweeps.h"
#include "process/memory_limit.h"
#include "evolution/reduction.h"
#include "evolution/tridiagonal_eigen.h"
#include "parallel/buffer.h"
#include "parallel/ranks.h"
#include "parallel/team.h"

namespace velmora {

namespace {

// The working vectors are not cleared: every entry is written by the team's
// first sweep over it before it is read, which also places its pages on the
// memory nodes of the threads that use them (parallel/buffer.h).
using Vector = Buffer<Complex>;

constexpr double eps = std::numeric_limits<double>::epsilon();
constexpr double ln2 = 0.6931471805599453;

/// Lanczos stops when beta_j <= breakdown_factor * eps * (max|alpha| + max|beta|):
/// the space is invariant to working precision.
constexpr double breakdown_factor = 8.0;

/// Rounding floor per step, in units of eps * (k + tau * rate).
constexpr double floor_factor = 32.0;

/// A step is accepted when its estimate is at most max(tol * tau / T,
/// accept_floor): below the rounding of the step itself nothing is gained by
/// shortening it, and the floor keeps steps from shrinking to nothing when tol
/// is near eps. It is eps, not a multiple of eps * k: the truncation errors of
/// all steps add up, and a larger floor would grow with the step count.
constexpr double accept_floor = eps;

/// Whether the recurrence checks, after reaching dimension k, if the rest of
/// the run already fits in one step (and stops there): a few sizes, not every
/// one, since each check solves a small eigenproblem.
constexpr bool is_checkpoint(std::uint64_t k) {
    if (k < 4) {
        return false;
    }
    if (k <= 12) {
        return k % 2 == 0;
    }
    return k <= 30 ? k % 3 == 0 : k % 6 == 0;
}

/// Entries per call of the combination kernel, which reads every basis
/// vector once for all targets of a sweep.
constexpr std::uint64_t combine_tile = 256;

/// Output buffers the kept-basis path uses at most per sweep.
constexpr std::uint64_t max_output_buffers = 8;

/// Two-pass path: outputs accumulated per regeneration of the basis.
constexpr std::uint64_t two_pass_outputs = 2;

/// w - b * v with the real b applied to both parts.
inline Complex minus_multiple(Complex w, double b, Complex v) {
    return Complex(w.real() - b * v.real(), w.imag() - b * v.imag());
}

/// A complex factor e^z split as f * 2^exponent with |f| in [0.7, 1.5), so
/// that huge or tiny moduli can be applied without overflow on the way.
struct ScaledFactor {
    Complex f;
    std::int64_t exponent;
};

ScaledFactor scaled_exp(Complex z) {
    const double q = std::nearbyint(z.real() / ln2);
    const double clamped = std::clamp(q, -4000.0, 4000.0);
    const double r = z.real() - clamped * ln2;
    return {complex_exp(Complex(r, z.imag())), static_cast<std::int64_t>(clamped)};
}

/// Both parts of a times 2^e (exact unless the result leaves the normal range).
inline Complex scale2(Complex a, std::int64_t e) {
    if (e == 0) {
        return a;
    }
    const int ei = static_cast<int>(std::clamp<std::int64_t>(e, -5000, 5000));
    return Complex(std::ldexp(a.real(), ei), std::ldexp(a.imag(), ei));
}

/// One combination of basis vectors: dest = sum_l coeffs[l] * v_l.
struct Target {
    Complex* dest;
    std::vector<Complex> coeffs;
};

/// The three-term recurrence data of one step.
struct Recurrence {
    std::vector<double> alpha;  // alpha_j, j < k
    std::vector<double> beta;   // beta[j] = norm of the residual after step j
    std::uint64_t k = 0;
    bool breakdown = false;
    double scale = 0.0;  // max |alpha| + max beta over the off-diagonal
};

/// Refuses an output the double range cannot hold: a norm (natural log
/// `log_norm`) beyond it, or one so small that the typical entry of a vector
/// of `dim` amplitudes would fall towards the subnormal range and lose digits.
void check_representable(double log_norm, double t, std::uint64_t dim) {
    const double largest = std::log(std::numeric_limits<double>::max()) - 1.0;
    const double smallest = std::log(1e-280) + 0.5 * std::log(static_cast<double>(dim));
    if (log_norm > largest || log_norm < smallest) {
        char text[64];
        std::snprintf(text, sizeof text, "%.6g", log_norm);
        throw std::overflow_error(
            std::string("the result at |t| = ") + std::to_string(t) +
            " is beyond the double range (the natural log of its norm is " + text +
            "); ask for normalised states (normalize=True) to get the state and the log of "
            "its norm");
    }
}

/// Records alpha_j and beta after step j; returns true when the recurrence
/// stops there (breakdown or k = m).
bool record_step(Recurrence& r, std::uint64_t j, std::uint64_t m, double alpha, double beta,
                 double& max_alpha, double& max_beta) {
    if (!std::isfinite(alpha) || !std::isfinite(beta)) {
        // The state is finite and of unit norm here, so only the product can
        // have left the double range.
        throw std::overflow_error(
            "H * psi overflows double precision: the coefficients of H are too large for the "
            "state's amplitudes; scale H down and t up by the same factor");
    }
    r.alpha.push_back(alpha);
    r.beta.push_back(beta);
    max_alpha = std::max(max_alpha, std::fabs(alpha));
    r.scale = max_alpha + max_beta;
    if (beta <= breakdown_factor * eps * r.scale) {
        r.k = j + 1;
        r.breakdown = true;
        return true;
    }
    max_beta = std::max(max_beta, beta);
    r.scale = max_alpha + max_beta;
    if (j + 1 == m) {
        r.k = m;
        return true;
    }
    return false;
}

/// The working storage and the state of a run.
class Engine {
public:
    /// `op` has an off-diagonal part, a diagonal part or both.
    Engine(KrylovOperator& op, const Complex* psi, const double* times, std::uint64_t num_times,
           Complex direction, const KrylovOptions& options, KrylovSink& sink)
        : op_(op), dg_(op.diagonal()), product_(op.has_offdiagonal()), mu_(op.shift()),
          n_(op.local_dim()), times_(times), num_times_(num_times), d_(direction),
          options_(options), sink_(sink), ranks_(options.ranks),
          product_rounding_(op.product_rounding()), identity_rounding_(op.shift_rounding()) {
        const std::uint64_t n = n_;
        report_.exchanges_per_product = op.exchanges();
        m_ = std::min<std::uint64_t>(options.krylov_dim, op.dim());
        const std::uint64_t vector_bytes = 16;
        const std::uint64_t per_vector = options.basis_budget_bytes / vector_bytes;
        kept_ = n <= per_vector / (m_ + 1);
        threads_ = options.num_threads;
        // The working set: the basis or the scratch vectors, the current state,
        // the output buffers and the diagonal (half a vector). A kept basis that
        // the process cannot hold gives way to the regenerated one; a working
        // set that cannot fit either way is refused before anything is
        // allocated.
        const std::size_t exchange_buffers = op.exchange_buffers();
        const auto working_set = [&](bool kept) {
            const std::uint64_t outputs = std::min(
                kept ? std::clamp<std::uint64_t>(per_vector / n - std::min(per_vector / n, m_ + 1),
                                                 1, max_output_buffers)
                     : two_pass_outputs,
                num_times);
            return static_cast<double>((kept ? m_ + 1 : std::size(scratch_)) + 1 + outputs +
                                       exchange_buffers) +
                   (dg_ != nullptr ? 0.5 : 0.0);
        };
        if (kept_ && !state_vectors_fit(n, working_set(true))) {
            kept_ = false;
        }
        check_state_vectors(n, working_set(kept_), "the evolution");
        if (kept_) {
            const std::uint64_t spare = per_vector / n - (m_ + 1);
            num_out_ = std::clamp<std::uint64_t>(spare, 1, max_output_buffers);
            num_out_ = std::min(num_out_, num_times);
            basis_ = uninitialised_buffer<Complex>((m_ + 1) * n);
        } else {
            num_out_ = std::min(two_pass_outputs, num_times);
            for (Vector& v : scratch_) {
                v = uninitialised_buffer<Complex>(n);
            }
        }
        cur_ = uninitialised_buffer<Complex>(n);
        for (std::uint64_t q = 0; q < num_out_; ++q) {
            out_.push_back(uninitialised_buffer<Complex>(n));
        }
        const Complex* src = psi;
        Complex* dst = cur_.get();
        for_each_chunk(n, threads_, [=](std::uint64_t b, std::uint64_t e) {
            std::copy(src + b, src + e, dst + b);
        });
        report_.kept_basis = kept_;
    }

    KrylovReport run() {
        const double total = times_[num_times_ - 1];
        std::uint64_t next = 0;
        // Outputs at time 0 are psi itself (normalised into an output buffer).
        while (next < num_times_ && times_[next] == 0.0) {
            if (options_.normalize) {
                const double norm = stable_norm(cur_.get(), n_, threads_, ranks_);
                divide_into(out_[0].get(), cur_.get(), norm, n_, threads_);
                sink_.log_norm(next, std::log(norm));
                sink_.output(next, out_[0].get());
            } else {
                sink_.output(next, cur_.get());
            }
            ++next;
        }
        double reached = 0.0;
        // The run's own rounding floor (added at the end) and that of one
        // short step (the rest of the run left after a long one, whose fixed
        // rounding exceeds its share) come out of the budget first, unless
        // they take more than half of it.
        const double reserved = run_floor(total) + floor_factor * eps * static_cast<double>(m_);
        step_rate_ = std::max(options_.tol - reserved, 0.5 * options_.tol) / total;
        bool partial_breakdown = false;
        while (next < num_times_) {
            if (report_.steps > 0) {
                sink_.between_steps(reached, total);
            }
            const double beta0 = stable_norm(cur_.get(), n_, threads_, ranks_);
            if (!std::isfinite(beta0)) {
                throw std::overflow_error(
                    "the evolved state left the double range at t = " +
                    std::to_string(reached) + " (its norm is not finite)");
            }
            int e0 = 0;
            const double mant = std::frexp(beta0, &e0);

            remaining_ = total - reached;
            const Recurrence rec = kept_ ? lanczos_kept(beta0) : lanczos_first_pass(beta0);
            const TridiagonalEigen eig = tridiagonal_eigen(
                rec.alpha.data(), rec.beta.data(), rec.k);
            const double shift = growth_shift(eig.values, d_);
            const KrylovStepBound bound(eig, d_, shift);
            if (!std::isfinite(bound.max_rate())) {
                throw std::overflow_error(
                    "the spread of H's spectrum exceeds the double range; scale H down and t up "
                    "by the same factor");
            }
            const double spread = std::max(bound.max_rate(), rec.scale);
            if (!real_time()) {
                note_growth(eig.values);
                partial_breakdown = partial_breakdown || (rec.breakdown && rec.k < full_dim());
            }

            const double remaining = remaining_;
            const double beta_k = rec.beta[rec.k - 1];
            double tau = remaining;
            double estimate = 0.0;
            if (!rec.breakdown) {
                const KrylovStepBound::Step step = choose_step(bound, beta_k, remaining,
                                                               rec.k, spread);
                tau = step.tau;
                estimate = step.estimate;
            }
            double end = tau >= remaining ? total : reached + tau;
            if (!(end > reached)) {
                end = std::nextafter(reached, total);
            }
            tau = end == total ? remaining : end - reached;

            // The outputs inside the step, with their offsets from its start.
            std::vector<std::pair<std::uint64_t, double>> inside;
            while (next < num_times_ && times_[next] <= end) {
                const double s = std::clamp(times_[next] - reached, 0.0, tau);
                inside.emplace_back(next, s);
                ++next;
            }
            deliver(bound, rec, beta0, mant, e0, shift, tau, inside);

            const double rounding = step_rounding(rec.k, tau, spread);
            if (real_time()) {
                report_.error += estimate + rounding;
            } else {
                // The estimate relative to the state at the step start (not to
                // the step's result), to be weighed by the conditioning below.
                const double local = estimate * std::min(1.0, bound.result_norm(tau)) + rounding;
                const double log_start =
                    std::log(beta0) + static_cast<double>(exponent_) * ln2 + log_scale_.real();
                steps_.push_back({reached, local, log_start});
                for (const auto& [k, s] : inside) {
                    outputs_.push_back({times_[k],
                                        log_start + shift_exponent(shift, s).real() +
                                            std::log(bound.result_norm(s)),
                                        steps_.size()});
                }
            }

            // The state at the end of the step: 2^(E + e0) exp(L) V (mant c(tau)).
            log_scale_ = add(log_scale_, shift_exponent(shift, tau));
            exponent_ += e0;
            reached = end;
            report_.steps += 1;
        }
        if (!real_time()) {
            if (partial_breakdown) {
                refine_growth();
            }
            report_.error = conditioned_error();
        }
        report_.error += run_floor(total);
        return report_;
    }

private:
    /// One time step, for the error of a run in imaginary or complex time.
    struct StepRecord {
        double start;      // |t| at the step start
        double local;      // error estimate plus rounding, relative to the start state
        double log_start;  // log of the norm of the true state at the start
    };

    /// One output time, for the same.
    struct OutputRecord {
        double time;           // |t_k|
        double log_norm;       // log of the norm of the output (H without mu)
        std::uint64_t steps;   // steps up to and including the one that formed it
    };

    bool real_time() const { return d_.imag() == 0.0; }

    /// The rounding floor of the run as a whole (the identity part's phase).
    double run_floor(double total) const {
        return floor_factor * eps * (1.0 + std::fabs(mu_) * total) + total * identity_rounding_;
    }

    /// The step of a recurrence of dimension k: the longest whose estimate
    /// fits its share of tol. When the step's rounding floor is a small part
    /// of that share (a quarter at most), the step instead leaves room for
    /// it, so that the reported error (estimates plus floors) stays within
    /// tol at the cost of slightly shorter steps. A larger floor (a tol near
    /// what rounding allows) is not reserved: shorter steps would only add
    /// floors, and the run reports an error above tol.
    KrylovStepBound::Step choose_step(const KrylovStepBound& bound, double beta_k,
                                      double remaining, std::uint64_t k, double spread) const {
        const StepReserve reserve{floor_factor * eps * static_cast<double>(k),
                                  floor_factor * eps * spread + product_rounding_};
        const KrylovStepBound::Step plain =
            bound.largest_step(beta_k, remaining, step_rate_, accept_floor);
        const double floor = reserve.constant + reserve.per_time * plain.tau;
        if (floor > 0.25 * step_rate_ * plain.tau) {
            return plain;
        }
        return bound.largest_step(beta_k, remaining, step_rate_, accept_floor, reserve);
    }

    /// The rounding floor of a step of dimension k and length tau whose Ritz
    /// values spread over `spread`, relative to the state at its start: the
    /// recurrence and the combination of k vectors, the propagation over tau,
    /// and the rounding of the product itself.
    double step_rounding(std::uint64_t k, double tau, double spread) const {
        return floor_factor * eps * (static_cast<double>(k) + tau * spread) +
               tau * product_rounding_;
    }

    /// Amplitudes of the whole state (all ranks).
    std::uint64_t full_dim() const { return ranks_ != nullptr ? n_ * ranks_->count() : n_; }

    /// After the recurrence reached dimension k (not its end): at the check
    /// sizes, whether the rest of the run fits in one step of this dimension.
    /// Then the recurrence stops at k, r.k = k. The decision depends on the
    /// recurrence coefficients alone, so on neither threads nor ranks.
    bool stops_early(Recurrence& r, std::uint64_t k) const {
        if (!early_stop_ || !is_checkpoint(k)) {
            return false;
        }
        const TridiagonalEigen eig = tridiagonal_eigen(r.alpha.data(), r.beta.data(), k);
        const KrylovStepBound bound(eig, d_, growth_shift(eig.values, d_));
        const double spread = std::max(bound.max_rate(), r.scale);
        if (!bound.reaches(r.beta[k - 1], remaining_, step_rate_, accept_floor,
                           step_rounding(k, remaining_, spread))) {
            return false;
        }
        r.k = k;
        return true;
    }

    /// Growth rate of exp(-i d s H) over s: max over the Ritz values seen of
    /// Im(d) lambda, an estimate of max over the spectrum (the Ritz values lie
    /// inside it, and the extreme ones converge first).
    void note_growth(const std::vector<double>& values) {
        growth_ = std::max({growth_, d_.imag() * values.front(), d_.imag() * values.back()});
    }

    /// When a step's Krylov space was invariant (the start state lay in a
    /// few eigenvectors), its Ritz values say nothing of the rest of the
    /// spectrum, although rounding puts components there that grow in
    /// imaginary time. The extreme eigenvalue is then estimated by a full
    /// recurrence from a fixed pseudo-random state (the same on every thread
    /// and rank count).
    void refine_growth() {
        const std::uint64_t offset = ranks_ != nullptr ? ranks_->offset() : 0;
        Complex* v = cur_.get();
        for_each_chunk(n_, threads_, [=](std::uint64_t b, std::uint64_t e) {
            for (std::uint64_t i = b; i < e; ++i) {
                v[i] = pseudo_random_amplitude(offset + i);
            }
        });
        const double norm = stable_norm(cur_.get(), n_, threads_, ranks_);
        early_stop_ = false;
        const Recurrence rec = kept_ ? lanczos_kept(norm) : lanczos_first_pass(norm);
        note_growth(tridiagonal_eigen(rec.alpha.data(), rec.beta.data(), rec.k).values);
    }

    /// The largest relative error over the outputs of a run in imaginary or
    /// complex time. The error made in step j grows by at most
    /// ||exp(-i d (t_k - t_j) H)|| = e^{(t_k - t_j) G} until output k, so
    ///   err_k <= sum_{j <= step of k} local_j ||psi_j|| e^{(t_k - t_j) G} / ||psi(t_k)||,
    /// where ||psi_j|| e^{(t_k - t_j) G} / ||psi(t_k)|| >= 1 is the conditioning
    /// of the problem from t_j on. Everything is summed in logarithms, so
    /// that neither the norms nor the growth factors overflow; the result is
    /// infinite when the error is beyond the double range.
    double conditioned_error() const {
        const double G = growth_;
        double log_sum = -std::numeric_limits<double>::infinity();
        std::size_t j = 0;
        double worst = 0.0;
        for (const OutputRecord& out : outputs_) {
            for (; j < out.steps; ++j) {
                const StepRecord& st = steps_[j];
                if (st.local > 0.0) {
                    log_sum = log_add(log_sum, std::log(st.local) + st.log_start - st.start * G);
                }
            }
            if (log_sum == -std::numeric_limits<double>::infinity()) {
                continue;
            }
            worst = std::max(worst, std::exp(log_sum + out.time * G - out.log_norm));
        }
        return worst;
    }

    /// log(e^a + e^b).
    static double log_add(double a, double b) {
        const double hi = std::max(a, b);
        const double lo = std::min(a, b);
        if (lo == -std::numeric_limits<double>::infinity()) {
            return hi;
        }
        return hi + std::log1p(std::exp(lo - hi));
    }

    /// w = (the off-diagonal part of H) * v; the diagonal part is added by the
    /// first sweep of the step. Counts one product H * v.
    void apply_offdiagonal(const Complex* v, Complex* w) {
        if (product_) {
            op_.apply_offdiagonal(v, w, threads_);
        }
        ++report_.applications;
    }

    /// -i d lambda_s s.
    Complex shift_exponent(double shift, double s) const {
        return Complex(d_.imag() * shift * s, -d_.real() * shift * s);
    }

    /// -i d mu t.
    Complex phase_exponent(double t) const {
        return Complex(d_.imag() * mu_ * t, -d_.real() * mu_ * t);
    }

    /// Lanczos keeping v_0 .. v_(k-1) in basis_ (the residual of the last step
    /// lands in the next slot, which exists up to slot m).
    Recurrence lanczos_kept(double beta0) {
        Recurrence r;
        Complex* V = basis_.get();
        divide_into(V, cur_.get(), beta0, n_, threads_);
        double max_alpha = 0.0;
        double max_beta = 0.0;
        for (std::uint64_t j = 0;; ++j) {
            Complex* v = V + j * n_;
            Complex* w = V + (j + 1) * n_;
            apply_offdiagonal(v, w);
            const Complex* v_prev = j > 0 ? V + (j - 1) * n_ : nullptr;
            const double beta_prev = j > 0 ? r.beta[j - 1] : 0.0;
            const double alpha = subtract_previous_and_project(w, dg_, product_, v_prev,
                                                               beta_prev, v, n_, threads_,
                                                               ranks_);
            const double beta = subtract_current_and_norm(w, alpha, v, n_, threads_, ranks_);
            if (record_step(r, j, m_, alpha, beta, max_alpha, max_beta) ||
                stops_early(r, j + 1)) {
                return r;
            }
            divide_into(w, w, beta, n_, threads_);
        }
    }

    /// Lanczos without keeping the basis: three scratch vectors.
    Recurrence lanczos_first_pass(double beta0) {
        Recurrence r;
        Complex* v_prev = scratch_[0].get();
        Complex* v = scratch_[1].get();
        Complex* w = scratch_[2].get();
        divide_into(v, cur_.get(), beta0, n_, threads_);
        double max_alpha = 0.0;
        double max_beta = 0.0;
        for (std::uint64_t j = 0;; ++j) {
            apply_offdiagonal(v, w);
            const double beta_prev = j > 0 ? r.beta[j - 1] : 0.0;
            const double alpha = subtract_previous_and_project(
                w, dg_, product_, j > 0 ? v_prev : nullptr, beta_prev, v, n_, threads_, ranks_);
            const double beta = subtract_current_and_norm(w, alpha, v, n_, threads_, ranks_);
            if (record_step(r, j, m_, alpha, beta, max_alpha, max_beta) ||
                stops_early(r, j + 1)) {
                return r;
            }
            divide_into(v_prev, w, beta, n_, threads_);
            std::swap(v_prev, v);
        }
    }

    /// The coefficients of the output at offset s of time t inside the step.
    std::vector<Complex> output_coefficients(const KrylovStepBound& bound, double mant, int e0,
                                             double shift, double s, double t) const {
        const std::uint64_t k = bound.dim();
        std::vector<Complex> c(k);
        bound.coefficients(s, c.data());
        const Complex z = add(add(log_scale_, shift_exponent(shift, s)), phase_exponent(t));
        if (options_.normalize) {
            // The direction of the output only; its size goes to log_norm.
            const double norm = bound.result_norm(s);
            const Complex phase = complex_exp(Complex(0.0, z.imag()));
            for (Complex& x : c) {
                x = multiply(Complex(x.real() / norm, x.imag() / norm), phase);
            }
            return c;
        }
        const ScaledFactor f = scaled_exp(z);
        const std::int64_t e = f.exponent + exponent_ + e0;
        for (Complex& x : c) {
            x = scale2(multiply(Complex(mant * x.real(), mant * x.imag()), f.f), e);
        }
        return c;
    }

    /// The natural log of the norm of the output at offset s of time t inside
    /// a step from a state of norm beta0 (the basis taken as orthonormal).
    double output_log_norm(const KrylovStepBound& bound, double beta0, double shift, double s,
                           double t) const {
        return std::log(beta0) + static_cast<double>(exponent_) * ln2 + log_scale_.real() +
               shift_exponent(shift, s).real() + phase_exponent(t).real() +
               std::log(bound.result_norm(s));
    }


    /// With `normalize`: scales out to unit norm and reports the log of the
    /// true norm, `predicted` corrected by the norm the basis actually gave.
    void normalize_output(std::uint64_t k, Complex* out, double predicted) {
        const double norm = stable_norm(out, n_, threads_, ranks_);
        if (norm > 0.0) {
            divide_into(out, out, norm, n_, threads_);
            sink_.log_norm(k, predicted + std::log(norm));
        } else {
            sink_.log_norm(k, -std::numeric_limits<double>::infinity());
        }
    }

    /// Forms the outputs of one step and the state at its end (into cur_),
    /// calling the sink for each output in order.
    void deliver(const KrylovStepBound& bound, const Recurrence& rec, double beta0, double mant,
                 int e0, double shift, double tau,
                 const std::vector<std::pair<std::uint64_t, double>>& inside) {
        std::vector<Complex> end_coeffs(rec.k);
        bound.coefficients(tau, end_coeffs.data());
        for (Complex& x : end_coeffs) {
            x = Complex(mant * x.real(), mant * x.imag());
        }
        const std::uint64_t group = kept_ ? num_out_ : two_pass_outputs;
        std::size_t first = 0;
        do {
            const std::size_t last = std::min(inside.size(), first + group);
            const bool final_group = last == inside.size();
            std::vector<Target> targets;
            std::vector<double> log_norms;
            for (std::size_t q = first; q < last; ++q) {
                const std::uint64_t k = inside[q].first;
                log_norms.push_back(
                    output_log_norm(bound, beta0, shift, inside[q].second, times_[k]));
                // Real time keeps the norm of psi: only a non-real direction
                // can leave the range.
                if (!options_.normalize && !real_time()) {
                    check_representable(log_norms.back(), times_[k], full_dim());
                }
                targets.push_back({out_[q - first].get(),
                                   output_coefficients(bound, mant, e0, shift, inside[q].second,
                                                       times_[k])});
            }
            if (final_group) {
                targets.push_back({cur_.get(), end_coeffs});
            }
            if (kept_) {
                combine_kept(targets, rec.k);
            } else {
                combine_regenerated(targets, rec, beta0);
            }
            for (std::size_t q = first; q < last; ++q) {
                if (options_.normalize) {
                    normalize_output(inside[q].first, out_[q - first].get(), log_norms[q - first]);
                }
                sink_.output(inside[q].first, out_[q - first].get());
            }
            first = last;
        } while (first < inside.size());
    }

    /// dest = sum_l c_l v_l for every target, from the kept basis: each entry
    /// of a basis vector is read once for all targets, the sums kept in
    /// registers until the last basis vector.
    void combine_kept(const std::vector<Target>& targets, std::uint64_t k) {
        const Complex* V = basis_.get();
        const std::uint64_t n = n_;
        const std::size_t count = targets.size();
        // Coefficients by basis vector: c[l][2 t], c[l][2 t + 1].
        std::vector<double> c(2 * count * k);
        for (std::uint64_t l = 0; l < k; ++l) {
            for (std::size_t t = 0; t < count; ++t) {
                c[(l * count + t) * 2] = targets[t].coeffs[l].real();
                c[(l * count + t) * 2 + 1] = targets[t].coeffs[l].imag();
            }
        }
        std::vector<Complex*> dest(count);
        for (std::size_t t = 0; t < count; ++t) dest[t] = targets[t].dest;
        const double* cs = c.data();
        Complex* const* ds = dest.data();
        static_assert(max_output_buffers + 1 <= 9, "combine_targets takes at most 9 targets");
        for_each_chunk(n, threads_, [=](std::uint64_t b, std::uint64_t e) {
            double* d[max_output_buffers + 1];
            for (std::uint64_t lo = b; lo < e; lo += combine_tile) {
                const std::uint64_t hi = std::min(e, lo + combine_tile);
                for (std::size_t t = 0; t < count; ++t) d[t] = parts(ds[t] + lo);
                combine_targets(d, cs, count, parts(V + lo), 2 * n, k, hi - lo);
            }
        });
    }

    /// The same combinations with the basis regenerated from cur_ one vector
    /// at a time (the same operations as the first pass, so the same vectors).
    /// A target may be cur_ itself: each entry of cur_ is read before it is
    /// overwritten.
    void combine_regenerated(const std::vector<Target>& targets, const Recurrence& rec,
                             double beta0) {
        Complex* v_prev = scratch_[0].get();
        Complex* v = scratch_[1].get();
        Complex* w = scratch_[2].get();
        const Target* t = targets.data();
        const std::size_t count = targets.size();
        {
            const Complex* src = cur_.get();
            Complex* v0 = v;
            for_each_chunk(n_, threads_, [=](std::uint64_t b, std::uint64_t e) {
                for (std::uint64_t i = b; i < e; ++i) {
                    const Complex x = divide(src[i], beta0);
                    v0[i] = x;
                    for (std::size_t q = 0; q < count; ++q) {
                        t[q].dest[i] = multiply(t[q].coeffs[0], x);
                    }
                }
            });
        }
        for (std::uint64_t l = 1; l < rec.k; ++l) {
            apply_offdiagonal(v, w);
            const bool has_prev = l > 1;
            const double beta_prev = has_prev ? rec.beta[l - 2] : 0.0;
            const double alpha = rec.alpha[l - 1];
            const double beta = rec.beta[l - 1];
            const Complex* wv = w;
            const Complex* cur = v;
            Complex* next = v_prev;
            const double* dg = dg_;
            const bool product = product_;
            for_each_chunk(n_, threads_, [=](std::uint64_t b, std::uint64_t e) {
                for (std::uint64_t i = b; i < e; ++i) {
                    // The operations of the first pass, entry by entry.
                    Complex x = product ? wv[i] : Complex(0.0, 0.0);
                    if (dg != nullptr) {
                        const Complex y(dg[i] * cur[i].real(), dg[i] * cur[i].imag());
                        x = product ? add(x, y) : y;
                    }
                    if (has_prev) {
                        x = minus_multiple(x, beta_prev, next[i]);
                    }
                    x = minus_multiple(x, alpha, cur[i]);
                    const Complex y = divide(x, beta);
                    next[i] = y;
                    for (std::size_t q = 0; q < count; ++q) {
                        t[q].dest[i] = add(t[q].dest[i], multiply(t[q].coeffs[l], y));
                    }
                }
            });
            std::swap(v_prev, v);
        }
    }

    KrylovOperator& op_;
    const double* dg_;        // the diagonal words' sum per entry, or null
    bool product_;            // whether ham_ has words
    double mu_;
    std::uint64_t n_;
    const double* times_;
    std::uint64_t num_times_;
    Complex d_;
    const KrylovOptions& options_;
    KrylovSink& sink_;
    Ranks* ranks_;
    std::uint64_t m_ = 0;
    bool kept_ = false;
    std::int32_t threads_ = 0;
    std::uint64_t num_out_ = 0;
    Vector basis_;
    Vector scratch_[3];
    Vector cur_;
    std::vector<Vector> out_;
    // The true state is 2^exponent_ * exp(log_scale_) * cur_.
    Complex log_scale_{0.0, 0.0};
    std::int64_t exponent_ = 0;
    KrylovReport report_;
    // Per-unit-time bounds of the rounding of the product and of mu.
    double product_rounding_;
    double identity_rounding_;
    // The step in progress: the time left and the accepted error per unit time.
    double remaining_ = 0.0;
    double step_rate_ = 0.0;
    bool early_stop_ = true;
    // Imaginary and complex time: max Im(d) lambda over the Ritz values seen,
    // and what the error of the outputs is assembled from.
    double growth_ = -std::numeric_limits<double>::infinity();
    std::vector<StepRecord> steps_;
    std::vector<OutputRecord> outputs_;
};

void validate(const Complex* psi, const double* times, std::uint64_t num_times,
              Complex direction, const KrylovOptions& options) {
    if (!(options.tol > 0.0 && options.tol < 1.0)) {
        throw std::invalid_argument("tol must lie in (0, 1), got " + std::to_string(options.tol));
    }
    if (options.num_threads < 0) {
        throw std::invalid_argument("num_threads must be 0 (serial) or positive, got " +
                                    std::to_string(options.num_threads));
    }
    if (options.krylov_dim < 2) {
        throw std::invalid_argument("krylov_dim must be at least 2, got " +
                                    std::to_string(options.krylov_dim));
    }
    const double modulus = std::hypot(direction.real(), direction.imag());
    if (!(std::fabs(modulus - 1.0) <= 1e-10)) {
        throw std::invalid_argument("direction must have modulus 1");
    }
    if (num_times > 0 && (psi == nullptr || times == nullptr)) {
        throw std::invalid_argument("psi and times must not be null");
    }
    for (std::uint64_t k = 0; k < num_times; ++k) {
        if (!std::isfinite(times[k]) || times[k] < 0.0) {
            throw std::invalid_argument("times must be finite and >= 0; times[" +
                                        std::to_string(k) + "] is not");
        }
        if (k > 0 && times[k] < times[k - 1]) {
            throw std::invalid_argument("times must be non-decreasing; times[" +
                                        std::to_string(k) + "] is smaller than its predecessor");
        }
    }
}

}  // namespace

KrylovReport krylov_evolve(const Hamiltonian& ham, const Complex* psi, const double* times,
                           std::uint64_t num_times, Complex direction,
                           const KrylovOptions& options, KrylovSink& sink) {
    std::uint64_t n = state_size(ham);
    validate(psi, times, num_times, direction, options);
    if (options.ranks != nullptr && options.ranks->slice() * options.ranks->count() != n) {
        throw std::invalid_argument(
            "the ranks' slices of " + std::to_string(options.ranks->slice()) + " amplitudes do "
            "not make up the " + std::to_string(n) + " amplitudes of the Hamiltonian's states");
    }
    if (num_times == 0) {
        return KrylovReport{};
    }
    if (options.ranks != nullptr) {
        n = options.ranks->slice();
    }
    prepare_team(options.num_threads,
                 n * std::max<std::uint64_t>(ham.words().size(), sweep_entry_work));
    PauliSumOperator op(ham, options.ranks, options.num_threads);
    return krylov_evolve(op, psi, times, num_times, direction, options, sink);
}

KrylovReport krylov_evolve(KrylovOperator& op, const Complex* psi, const double* times,
                           std::uint64_t num_times, Complex direction,
                           const KrylovOptions& options, KrylovSink& sink) {
    validate(psi, times, num_times, direction, options);
    KrylovReport report;
    if (num_times == 0) {
        return report;
    }
    Ranks* ranks = options.ranks;
    const std::uint64_t n = op.local_dim();
    prepare_team(options.num_threads, std::max(op.product_work(), n * sweep_entry_work));
    const std::int32_t threads = options.num_threads;
    const double beta0 = stable_norm(psi, n, threads, ranks);
    if (!std::isfinite(beta0)) {
        throw std::overflow_error(
            "the norm of psi is not finite in double precision (an amplitude is not finite, or "
            "they are too large to be squared and summed)");
    }
    if (beta0 == 0.0) {
        const Vector zero = team_zeros<Complex>(n, threads);
        for (std::uint64_t k = 0; k < num_times; ++k) {
            if (options.normalize) {
                sink.log_norm(k, -std::numeric_limits<double>::infinity());
            }
            sink.output(k, zero.get());
        }
        return report;
    }
    if (!op.has_offdiagonal() && op.diagonal() == nullptr) {
        // A scalar operator: every output is exp(-i mu t_k) psi.
        const Vector out = uninitialised_buffer<Complex>(n);
        const double mu = op.shift();
        const std::uint64_t whole = op.dim();
        for (std::uint64_t k = 0; k < num_times; ++k) {
            const double t = times[k];
            const Complex z(direction.imag() * mu * t, -direction.real() * mu * t);
            const double log_norm = std::log(beta0) + z.real();
            Complex* o = out.get();
            if (options.normalize) {
                const Complex phase = complex_exp(Complex(0.0, z.imag()));
                for_each_chunk(n, threads, [=](std::uint64_t b, std::uint64_t e) {
                    for (std::uint64_t i = b; i < e; ++i) {
                        o[i] = multiply(phase, divide(psi[i], beta0));
                    }
                });
                sink.log_norm(k, log_norm);
            } else {
                if (direction.imag() != 0.0) {
                    check_representable(log_norm, t, whole);
                }
                const ScaledFactor f = scaled_exp(z);
                for_each_chunk(n, threads, [=](std::uint64_t b, std::uint64_t e) {
                    for (std::uint64_t i = b; i < e; ++i) {
                        o[i] = t == 0.0 ? psi[i] : scale2(multiply(f.f, psi[i]), f.exponent);
                    }
                });
            }
            sink.output(k, o);
        }
        report.error = floor_factor * eps * (1.0 + std::fabs(mu) * times[num_times - 1]) +
                       times[num_times - 1] * op.shift_rounding();
        return report;
    }
    Engine engine(op, psi, times, num_times, direction, options, sink);
    return engine.run();
}

}  // namespace velmora
