#include "evolution/taylor.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "evolution/chebyshev.h"
#include "evolution/reduction.h"
#include "parallel/buffer.h"
#include "parallel/ranks.h"
#include "parallel/reduce.h"
#include "process/memory_limit.h"

namespace velmora {

namespace {

constexpr double eps = std::numeric_limits<double>::epsilon();

/// Shares of a step's tolerance: the series' truncation, the drives'
/// polynomials, the rounding.
constexpr double truncation_share = 0.4;
constexpr double drive_share = 0.4;
constexpr double rounding_share = 0.2;

/// Output times a step serves at most (each holds a sum of the series): a
/// step with more ends at the last it can serve.
constexpr std::size_t max_outputs_per_step = 8;

/// A step is taken again at half its length at most this many times in a
/// row before its drive is declared not smooth; and never shorter than this
/// fraction of the run.
constexpr double step_floor = 1e-10;

using Vector = Buffer<Complex>;

Complex scaled(double a, Complex z) {
    return Complex(a * z.real(), a * z.imag());
}

/// exp(-i phi) as (cos phi, -sin phi).
Complex phase(double phi) {
    return Complex(std::cos(phi), -std::sin(phi));
}

class TaylorRun {
public:
    TaylorRun(const std::vector<TaylorPart>& parts, std::size_t num_drives, DriveSampler& sampler,
              const TaylorOptions& options, KrylovSink& sink)
        : parts_(parts), num_drives_(num_drives), sampler_(sampler), options_(options),
          sink_(sink), n_(parts.front().op->local_dim()), threads_(options.num_threads),
          ranks_(options.ranks) {}

    TaylorReport run(const Complex* psi, double t0, const double* times, std::uint64_t count) {
        const double end = times[count - 1];
        const double span = end - t0;
        norm0_ = stable_norm(psi, n_, threads_, ranks_);
        if (!std::isfinite(norm0_)) {
            throw std::overflow_error("psi's norm is not finite");
        }
        std::uint64_t next = 0;
        if (norm0_ == 0.0 || span == 0.0) {
            for (; next < count; ++next) sink_.output(next, psi);
            return report_;
        }
        allocate();
        // The run works on psi / ||psi||; outputs are scaled back.
        Complex* state = state_.get();
        const double scale = norm0_;
        for_each_chunk(n_, threads_, [=](std::uint64_t b, std::uint64_t e) {
            for (std::uint64_t x = b; x < e; ++x) state[x] = Complex(psi[x].real() / scale, psi[x].imag() / scale);
        });
        while (next < count && times[next] <= t0) {
            sink_.output(next, psi);
            ++next;
        }
        double t = t0;
        double h = std::min(options_.max_step, initial_step(span));
        std::size_t stop = 0;
        const std::vector<double>& breaks = options_.breakpoints;
        while (next < count) {
            if (report_.steps > 0 || report_.rejected > 0) sink_.between_steps(t - t0, span);
            while (stop < breaks.size() && breaks[stop] <= t) ++stop;
            const double target = stop < breaks.size() ? std::min(breaks[stop], end) : end;
            double length = std::min({h, options_.max_step, target - t});
            bool landing = length >= target - t;
            // At most max_outputs_per_step outputs inside the step.
            std::uint64_t last = next;
            while (last < count && times[last] < t + length) ++last;
            if (last - next > max_outputs_per_step) {
                length = times[next + max_outputs_per_step - 1] - t;
                landing = false;
            }
            Attempt attempt = step(t, length, span, times, next, count);
            if (!attempt.accepted) {
                ++report_.rejected;
                h = 0.5 * length;
                if (h < step_floor * std::max(span, std::fabs(t))) {
                    throw_not_smooth(attempt, t, length);
                }
                continue;
            }
            // Deliver the outputs inside the step, then move on to its end.
            const double after = landing ? target : t + length;
            for (std::size_t q = 0; q < attempt.outputs; ++q) {
                deliver(next, out_[q].get(), attempt.output_phase[q]);
                ++next;
            }
            advance(attempt.end_phase);
            report_.error += attempt.estimate;
            ++report_.steps;
            t = after;
            while (next < count && times[next] <= t) {
                deliver_state(next);
                ++next;
            }
            // The next step aims at target_terms terms (a step shortened only to
            // land keeps the length it was given).
            const double ratio = static_cast<double>(options_.target_terms) /
                                 static_cast<double>(std::max<std::uint64_t>(attempt.terms, 1));
            const double proposed = length * std::clamp(ratio, 0.5, 2.0);
            h = landing && ratio >= 1.0 ? std::max(proposed, h) : proposed;
        }
        return report_;
    }

private:
    struct Attempt {
        bool accepted = false;
        double estimate = 0.0;
        std::uint64_t terms = 0;
        std::size_t outputs = 0;
        double output_phase[max_outputs_per_step] = {};
        double end_phase = 0.0;
        // Why a rejected step failed: a drive (its index) or the series.
        std::int64_t drive = -1;
    };

    /// 1 / (the drives' and parts' size at the start), for a first step of
    /// about target_terms terms.
    double initial_step(double span) {
        double bound = 0.0;
        for (const TaylorPart& p : parts_) bound += p.norm_bound;
        const double guess = static_cast<double>(options_.target_terms) / 4.0 /
                             std::max(bound, 1e-300);
        return std::min(span, guess);
    }

    void allocate() {
        std::uint64_t degree = options_.drive_degree;
        ring_size_ = degree + 2;
        driven_ = 0;
        for (const TaylorPart& p : parts_) driven_ += p.drive >= 0 ? 1 : 0;
        check_state_vectors(n_ * (ranks_ != nullptr ? ranks_->count() : 1),
                            taylor_working_vectors(parts_, degree, max_outputs_per_step),
                            "the time-dependent evolution");
        state_ = uninitialised_buffer<Complex>(n_);
        for (std::uint64_t r = 0; r < ring_size_; ++r) ring_.push_back(uninitialised_buffer<Complex>(n_));
        for (std::size_t p = 0; p < driven_; ++p) w_.push_back(uninitialised_buffer<Complex>(n_));
        y_ = uninitialised_buffer<Complex>(n_);
        sum_ = uninitialised_buffer<Complex>(n_);
        for (std::size_t q = 0; q < max_outputs_per_step; ++q) out_.push_back(uninitialised_buffer<Complex>(n_));
        result_ = uninitialised_buffer<Complex>(n_);
    }

    Complex* term(std::uint64_t k) { return k == 0 ? state_.get() : ring_[k % ring_size_].get(); }

    /// One attempt of the step [t, t + h]; on success the sums of the series
    /// at the outputs inside it (out_) and at its end (sum_) hold sum_(k >= 1) u_k s^k.
    Attempt step(double t, double h, double span, const double* times, std::uint64_t next,
                 std::uint64_t count) {
        Attempt a;
        const double share = options_.tol * h / span;
        // The drives on the step.
        std::vector<std::vector<double>> poly(num_drives_);
        double drive_error = 0.0;
        if (num_drives_ > 0) {
            const std::vector<double> s = chebyshev_points(options_.drive_degree);
            std::vector<double> at(s.size());
            for (std::size_t i = 0; i < s.size(); ++i) at[i] = t + s[i] * h;
            std::vector<double> values;
            sampler_.sample(at, values);
            report_.function_calls += num_drives_ * at.size();
            for (std::size_t d = 0; d < num_drives_; ++d) {
                double weight = 0.0;  // sum of ||P_p|| over the parts it drives
                for (const TaylorPart& p : parts_) {
                    if (p.drive == static_cast<std::int64_t>(d)) weight += p.norm_bound;
                }
                const std::vector<double> samples(values.begin() + static_cast<std::ptrdiff_t>(d * at.size()),
                                                  values.begin() + static_cast<std::ptrdiff_t>((d + 1) * at.size()));
                // Below a few hundred eps of the drive's size nothing more can
                // be had: the polynomial is accepted there and its error
                // counted (a tol below it is missed and said so, not chased).
                double size = 0.0;
                for (double v : samples) size = std::max(size, std::fabs(v));
                const double allowed = std::max(drive_share * share / std::max(h * weight, 1e-300),
                                                256.0 * eps * size);
                const DrivePolynomial f = drive_polynomial(samples, allowed);
                if (!f.converged || f.error > allowed) {
                    a.drive = static_cast<std::int64_t>(d);
                    return a;
                }
                drive_error += f.error * h * weight;
                poly[d] = f.coefficients;
            }
        }
        // Outputs inside the step.
        std::vector<double> s_out;
        for (std::uint64_t k = next; k < count && times[k] < t + h; ++k) {
            if (times[k] > t) s_out.push_back((times[k] - t) / h);
        }
        a.outputs = s_out.size();
        // Order 0: y = H(t) u_0, c = <u_0|y> (u_0 has unit norm).
        norms_.assign(1, 1.0);
        hamiltonian_times(poly, 0);
        const Complex* u0 = state_.get();
        const Complex* y = y_.get();
        const double c = sum_over_ranks(chunked_real_sum(n_, threads_, [=](std::uint64_t b, std::uint64_t e) {
            double acc = 0.0;
            for (std::uint64_t x = b; x < e; ++x) {
                acc = acc + (u0[x].real() * y[x].real() + u0[x].imag() * y[x].imag());
            }
            return acc;
        }), ranks_);
        // The series.
        const double truncation_allowed = truncation_share * share;
        double previous = 1.0;  // ||u_0||
        double largest = 1.0;
        double pruned = 0.0;
        const std::uint64_t max_terms = 3 * options_.target_terms;
        std::uint64_t k = 0;
        for (;; ++k) {
            if (k > 0) pruned += hamiltonian_times(poly, k, h, truncation_allowed);
            const double norm = next_term(k, h, c, s_out);
            norms_.push_back(norm);
            largest = std::max(largest, norm);
            if (!std::isfinite(norm)) {
                return a;  // the terms left the range: a shorter step
            }
            // The rest of the series: once the terms fall by at least half from
            // one to the next, the geometric tail of the last ratio (the
            // terms fall faster than geometrically, as (rho h)^k / k!), plus
            // the last term itself and what was pruned.
            if (k >= 1 && norm <= 0.5 * previous &&
                tail(previous, norm) + pruned <= truncation_allowed) {
                break;
            }
            if (k + 2 >= max_terms) return a;
            previous = norm;
        }
        a.terms = k + 2;
        const double truncation = tail(previous, norms_.back()) + pruned;
        // Rounding: of the sums (eps per term and addition, from the largest
        // term) and of the products. Terms that grew large make it large: a
        // shorter step then helps; otherwise it is what double precision
        // leaves, counted and reported (a tol below it is missed, not chased).
        double rounding = 4.0 * eps * static_cast<double>(a.terms) * largest;
        for (const TaylorPart& p : parts_) rounding += 4.0 * h * p.op->product_rounding() * largest;
        if (rounding > rounding_share * share && largest > 8.0) {
            return a;
        }
        a.estimate = truncation + drive_error + rounding;
        a.accepted = true;
        for (std::size_t q = 0; q < s_out.size(); ++q) a.output_phase[q] = c * h * s_out[q];
        a.end_phase = c * h;
        return a;
    }

    /// The estimate of sum_(j > K) ||u_j|| from the last two norms, the last
    /// at most half the one before: last * (1 + r / (1 - r)), r their ratio.
    static double tail(double before, double last) {
        const double r = before > 0.0 ? last / before : 0.0;
        return last * (1.0 + r / (1.0 - r));
    }

    /// y = H u for the inputs of order k: for each part its input v_p =
    /// sum_j a_(p,j) u_(k-j) (u_k itself for a constant part), y = sum_p
    /// P_p v_p. Combination terms too small to matter are left out (their
    /// bound returned, to be added to the estimate).
    double hamiltonian_times(const std::vector<std::vector<double>>& poly, std::uint64_t k,
                             double h = 0.0, double allowed = 0.0) {
        double pruned = 0.0;
        std::size_t driven = 0;
        inputs_.assign(parts_.size(), nullptr);
        for (std::size_t p = 0; p < parts_.size(); ++p) {
            const TaylorPart& part = parts_[p];
            if (part.drive < 0) {
                inputs_[p] = term(k);
                continue;
            }
            const std::vector<double>& a = poly[static_cast<std::size_t>(part.drive)];
            Complex* w = w_[driven++].get();
            // The terms kept: j with |a_j| ||u_(k-j)|| h ||P|| / (k + 1) above a
            // small share of the allowed truncation.
            std::vector<std::pair<const Complex*, double>> kept;
            const double factor = h * part.norm_bound / static_cast<double>(k + 1);
            for (std::uint64_t j = 0; j <= std::min<std::uint64_t>(k, a.size() - 1); ++j) {
                if (a[j] == 0.0) continue;
                const double size = std::fabs(a[j]) * norms_[k - j] * factor;
                if (k > 0 && size < 1e-3 * allowed) {
                    pruned += size;
                    continue;
                }
                kept.emplace_back(term(k - j), a[j]);
            }
            const std::pair<const Complex*, double>* terms = kept.data();
            const std::size_t count = kept.size();
            for_each_chunk(n_, threads_, [=](std::uint64_t b, std::uint64_t e) {
                for (std::uint64_t x = b; x < e; ++x) {
                    Complex acc(0.0, 0.0);
                    for (std::size_t q = 0; q < count; ++q) {
                        const Complex u = terms[q].first[x];
                        acc = Complex(acc.real() + terms[q].second * u.real(),
                                      acc.imag() + terms[q].second * u.imag());
                    }
                    w[x] = acc;
                }
            });
            inputs_[p] = w;
        }
        // The products, part after part into y.
        Complex* y = y_.get();
        bool first = true;
        for (std::size_t p = 0; p < parts_.size(); ++p) {
            KrylovOperator& op = *parts_[p].op;
            if (!op.has_offdiagonal()) continue;
            if (first) {
                op.apply_offdiagonal(inputs_[p], y, threads_);
            } else {
                op.add_offdiagonal(inputs_[p], y, threads_);
            }
            first = false;
            ++report_.applications;
        }
        if (first) std::memset(static_cast<void*>(y), 0, n_ * sizeof(Complex));
        // The diagonals and scalars, in order of the parts.
        std::vector<std::pair<const double*, const Complex*>> diag;
        std::vector<std::pair<double, const Complex*>> shifts;
        for (std::size_t p = 0; p < parts_.size(); ++p) {
            const KrylovOperator& op = *parts_[p].op;
            if (op.diagonal() != nullptr) diag.emplace_back(op.diagonal(), inputs_[p]);
            if (op.shift() != 0.0) shifts.emplace_back(op.shift(), inputs_[p]);
        }
        if (!diag.empty() || !shifts.empty()) {
            const auto* dg = diag.data();
            const std::size_t nd = diag.size();
            const auto* sh = shifts.data();
            const std::size_t ns = shifts.size();
            for_each_chunk(n_, threads_, [=](std::uint64_t b, std::uint64_t e) {
                for (std::uint64_t x = b; x < e; ++x) {
                    Complex acc = y[x];
                    for (std::size_t q = 0; q < nd; ++q) {
                        const Complex v = dg[q].second[x];
                        const double d = dg[q].first[x];
                        acc = Complex(acc.real() + d * v.real(), acc.imag() + d * v.imag());
                    }
                    for (std::size_t q = 0; q < ns; ++q) {
                        const Complex v = sh[q].second[x];
                        acc = Complex(acc.real() + sh[q].first * v.real(),
                                      acc.imag() + sh[q].first * v.imag());
                    }
                    y[x] = acc;
                }
            });
        }
        return pruned;
    }

    /// u_(k+1) = -i h / (k + 1) (y - c u_k), added into the sums at the end
    /// and at the outputs (times s^(k+1)); returns ||u_(k+1)||.
    double next_term(std::uint64_t k, double h, double c, const std::vector<double>& s_out) {
        const Complex* y = y_.get();
        const Complex* u = term(k);
        Complex* next = term(k + 1);
        Complex* sum = sum_.get();
        const double g = h / static_cast<double>(k + 1);
        double powers[max_outputs_per_step];
        Complex* outs[max_outputs_per_step];
        const std::size_t q_count = s_out.size();
        for (std::size_t q = 0; q < q_count; ++q) {
            powers[q] = std::pow(s_out[q], static_cast<double>(k + 1));
            outs[q] = out_[q].get();
        }
        const bool first = k == 0;
        const double squares = sum_over_ranks(chunked_real_sum(n_, threads_, [&](std::uint64_t b, std::uint64_t e) {
            double acc = 0.0;
            for (std::uint64_t x = b; x < e; ++x) {
                const double re = y[x].real() - c * u[x].real();
                const double im = y[x].imag() - c * u[x].imag();
                // -i g (re + i im) = g im - i g re
                const Complex v(g * im, -(g * re));
                next[x] = v;
                sum[x] = first ? v : Complex(sum[x].real() + v.real(), sum[x].imag() + v.imag());
                for (std::size_t q = 0; q < q_count; ++q) {
                    const Complex p = scaled(powers[q], v);
                    outs[q][x] = first ? p : Complex(outs[q][x].real() + p.real(), outs[q][x].imag() + p.imag());
                }
                acc = acc + (v.real() * v.real() + v.imag() * v.imag());
            }
            return acc;
        }), ranks_);
        return std::sqrt(squares);
    }

    /// sink.output(k, norm0 exp(-i phi) (u_0 + sum)).
    void deliver(std::uint64_t k, const Complex* sum, double phi) {
        const Complex* u0 = state_.get();
        Complex* out = result_.get();
        const Complex z = phase(phi);
        const double norm = norm0_;
        for_each_chunk(n_, threads_, [=](std::uint64_t b, std::uint64_t e) {
            for (std::uint64_t x = b; x < e; ++x) {
                const Complex v(u0[x].real() + sum[x].real(), u0[x].imag() + sum[x].imag());
                const Complex r(z.real() * v.real() - z.imag() * v.imag(),
                                z.real() * v.imag() + z.imag() * v.real());
                out[x] = Complex(norm * r.real(), norm * r.imag());
            }
        });
        sink_.output(k, out);
    }

    void deliver_state(std::uint64_t k) {
        const Complex* u0 = state_.get();
        Complex* out = result_.get();
        const double norm = norm0_;
        for_each_chunk(n_, threads_, [=](std::uint64_t b, std::uint64_t e) {
            for (std::uint64_t x = b; x < e; ++x) out[x] = Complex(norm * u0[x].real(), norm * u0[x].imag());
        });
        sink_.output(k, out);
    }

    /// The state at the step's end: exp(-i phi) (u_0 + sum).
    void advance(double phi) {
        Complex* u0 = state_.get();
        const Complex* sum = sum_.get();
        const Complex z = phase(phi);
        for_each_chunk(n_, threads_, [=](std::uint64_t b, std::uint64_t e) {
            for (std::uint64_t x = b; x < e; ++x) {
                const Complex v(u0[x].real() + sum[x].real(), u0[x].imag() + sum[x].imag());
                u0[x] = Complex(z.real() * v.real() - z.imag() * v.imag(),
                                z.real() * v.imag() + z.imag() * v.real());
            }
        });
    }

    [[noreturn]] void throw_not_smooth(const Attempt& attempt, double t, double h) {
        const double where = t + 0.5 * h;
        std::size_t part = 0;
        for (std::size_t p = 0; p < parts_.size(); ++p) {
            if (parts_[p].drive == attempt.drive) {
                part = p;
                break;
            }
        }
        char text[64];
        std::snprintf(text, sizeof text, "%.6g", where);
        if (attempt.drive < 0) {
            throw DriveNotSmooth(std::string("the time-dependent evolution does not converge near t = ") +
                                     text + " (steps below " + std::to_string(h) + ")",
                                 part, where);
        }
        throw DriveNotSmooth(std::string("not smooth near t = ") + text, part, where);
    }

    const std::vector<TaylorPart>& parts_;
    std::size_t num_drives_;
    DriveSampler& sampler_;
    const TaylorOptions& options_;
    KrylovSink& sink_;
    std::uint64_t n_;
    std::int32_t threads_;
    Ranks* ranks_;
    TaylorReport report_;
    double norm0_ = 0.0;
    std::uint64_t ring_size_ = 0;
    std::size_t driven_ = 0;
    Vector state_;
    std::vector<Vector> ring_;
    std::vector<Vector> w_;
    Vector y_;
    Vector sum_;
    std::vector<Vector> out_;
    Vector result_;
    std::vector<const Complex*> inputs_;
    std::vector<double> norms_;
};

}  // namespace

double taylor_working_vectors(const std::vector<TaylorPart>& parts, std::uint64_t degree,
                              std::uint64_t outputs_per_step) {
    std::uint64_t driven = 0;
    for (const TaylorPart& p : parts) driven += p.drive >= 0 ? 1 : 0;
    // The state, the ring of terms, the parts' inputs, y, the sums, the result.
    return static_cast<double>(1 + (degree + 2) + driven + 1 + 1 + outputs_per_step + 1);
}

TaylorReport taylor_evolve(const std::vector<TaylorPart>& parts, std::size_t num_drives,
                           DriveSampler& sampler, const Complex* psi, double t0,
                           const double* times, std::uint64_t num_times,
                           const TaylorOptions& options, KrylovSink& sink) {
    if (parts.empty()) throw std::invalid_argument("the time-dependent sum has no parts");
    const std::uint64_t n = parts.front().op->local_dim();
    for (const TaylorPart& p : parts) {
        if (p.op->local_dim() != n || p.op->dim() != parts.front().op->dim()) {
            throw std::invalid_argument("the parts act on states of different sizes");
        }
        if (p.drive >= static_cast<std::int64_t>(num_drives)) {
            throw std::invalid_argument("a part names a drive that does not exist");
        }
    }
    if (!(options.tol > 0.0 && options.tol < 1.0)) throw std::invalid_argument("tol must lie in (0, 1)");
    if (!(options.max_step > 0.0)) throw std::invalid_argument("max_step must be > 0");
    if (options.num_threads < 0) throw std::invalid_argument("num_threads must be >= 0");
    if (options.drive_degree < 2 || options.drive_degree > 64) {
        throw std::invalid_argument("drive_degree must lie in 2..64");
    }
    if (num_times == 0) throw std::invalid_argument("no output times");
    for (std::uint64_t k = 0; k < num_times; ++k) {
        if (!std::isfinite(times[k]) || times[k] < t0 || (k > 0 && times[k] < times[k - 1])) {
            throw std::invalid_argument("times must be finite, >= t0 and non-decreasing");
        }
    }
    TaylorRun run(parts, num_drives, sampler, options, sink);
    return run.run(psi, t0, times, num_times);
}

}  // namespace velmora
