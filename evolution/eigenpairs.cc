#include "evolution/eigenpairs.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "evolution/lanczos.h"
#include "evolution/pseudo_random.h"
#include "evolution/reduction.h"
#include "evolution/sweeps.h"
#include "evolution/symmetric_eigen.h"
#include "parallel/reduce.h"
#include "process/memory_limit.h"

#include <omp.h>

namespace velmora {

namespace {

/// The largest basis.
constexpr std::uint64_t max_basis_size = 256;

constexpr double eps = 2.220446049250313e-16;

/// Overlap estimate beyond which a new basis vector is reorthogonalised
/// against the whole basis. Semi-orthogonality (sqrt(eps)) would keep the
/// Ritz values exact to rounding; a lower level keeps the eigenvectors
/// orthonormal to 1e-10 too, for a few more reorthogonalisations.
constexpr double reorthogonalization_level = 1e-12;

// The reorthogonalisation's kernels work on packs of eight doubles (four
// amplitudes, interleaved parts), in the manner of evolution/sweeps.cc: with
// x = (re, im, ...) and its swap xs = (im, re, ...), conj(v) w sums v * w over
// all lanes for the real part and v * swap(w) over even minus odd lanes for
// the imaginary part; c v is c_re x + c_im (-im, re, ...). Every lane and
// every combination runs in a fixed order, whatever the instruction set.
typedef double Pack __attribute__((vector_size(64)));
typedef long long PackIndex __attribute__((vector_size(64)));
constexpr std::size_t pack = 8;

/// (re, im) of sum_x conj(v_x) w_x over `entries` amplitudes.
__attribute__((target_clones("avx512f", "avx2", "default")))
void conj_dot_kernel(const double* __restrict v, const double* __restrict w, std::size_t entries,
                     double* out) {
    const PackIndex swap = {1, 0, 3, 2, 5, 4, 7, 6};
    Pack re = {};
    Pack im = {};
    const std::size_t count = 2 * entries;
    std::size_t i = 0;
    for (; i + pack <= count; i += pack) {
        Pack x;
        Pack y;
        std::memcpy(&x, v + i, sizeof x);
        std::memcpy(&y, w + i, sizeof y);
        re = re + x * y;
        im = im + x * __builtin_shuffle(y, swap);
    }
    double r[pack];
    double m[pack];
    std::memcpy(r, &re, sizeof r);
    std::memcpy(m, &im, sizeof m);
    for (; i < count; i += 2) {
        const std::size_t l = i % pack;
        r[l] = r[l] + v[i] * w[i];
        r[l + 1] = r[l + 1] + v[i + 1] * w[i + 1];
        m[l] = m[l] + v[i] * w[i + 1];
        m[l + 1] = m[l + 1] + v[i + 1] * w[i];
    }
    out[0] = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    out[1] = ((m[0] + m[2]) + (m[4] + m[6])) - ((m[1] + m[3]) + (m[5] + m[7]));
}

/// w -= c v over `entries` amplitudes.
__attribute__((target_clones("avx512f", "avx2", "default")))
void subtract_multiple_kernel(double* __restrict w, const double* __restrict v, double c_re,
                              double c_im, std::size_t entries) {
    const PackIndex swap = {1, 0, 3, 2, 5, 4, 7, 6};
    const Pack sign = {-1.0, 1.0, -1.0, 1.0, -1.0, 1.0, -1.0, 1.0};
    const std::size_t count = 2 * entries;
    std::size_t i = 0;
    for (; i + pack <= count; i += pack) {
        Pack x;
        Pack y;
        std::memcpy(&x, v + i, sizeof x);
        std::memcpy(&y, w + i, sizeof y);
        const Pack xs = __builtin_shuffle(x, swap) * sign;
        y = y - (c_re * x + c_im * xs);
        std::memcpy(w + i, &y, sizeof y);
    }
    for (; i < count; i += 2) {
        const double re = c_re * v[i] + c_im * (-v[i + 1]);
        const double im = c_re * v[i + 1] + c_im * v[i];
        w[i] = w[i] - re;
        w[i + 1] = w[i + 1] - im;
    }
}

/// c[i] = <V_i, w> for i < count (V_i at V + i * n): one pass over w, each
/// chunk's sums by the kernel above, the chunks combined by the fixed tree.
void project(const Complex* V, std::uint64_t count, const Complex* w, std::uint64_t n,
             std::int32_t threads, Complex* c) {
    if (count == 0) return;
    const std::uint64_t chunks = chunk_count(n);
    std::vector<Complex> partial(chunks * count);
    Complex* out = partial.data();
    for_each_chunk(n, threads, [=](std::uint64_t begin, std::uint64_t end) {
        const std::uint64_t chunk = begin / reduction_chunk;
        for (std::uint64_t i = 0; i < count; ++i) {
            double sum[2];
            conj_dot_kernel(parts(V + i * n + begin), parts(w + begin), end - begin, sum);
            out[chunk * count + i] = Complex(sum[0], sum[1]);
        }
    });
    std::vector<Complex> column(chunks);
    for (std::uint64_t i = 0; i < count; ++i) {
        for (std::uint64_t k = 0; k < chunks; ++k) column[k] = partial[k * count + i];
        c[i] = pairwise_sum(column.data(), chunks, [](Complex a, Complex b) {
            return Complex(a.real() + b.real(), a.imag() + b.imag());
        });
    }
}

/// w -= sum_i c[i] V_i, each entry's terms in order of i.
void subtract_combination(const Complex* V, std::uint64_t count, const Complex* c, Complex* w,
                          std::uint64_t n, std::int32_t threads) {
    if (count == 0) return;
    for_each_chunk(n, threads, [=](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t i = 0; i < count; ++i) {
            subtract_multiple_kernel(parts(w + begin), parts(V + i * n + begin), c[i].real(),
                                     c[i].imag(), end - begin);
        }
    });
}

/// Removes from w its components along V_0 .. V_(count-1) (orthonormal), twice.
void orthogonalize_twice(const Complex* V, std::uint64_t count, Complex* w, std::uint64_t n,
                         std::int32_t threads) {
    std::vector<Complex> c(count);
    for (int pass = 0; pass < 2; ++pass) {
        project(V, count, w, n, threads, c.data());
        subtract_combination(V, count, c.data(), w, n, threads);
    }
}

/// out_t = sum_l u[l * stride + sel[t]] V_l for t < targets, l < sources, each
/// entry's sum in order of l (the engine's combine_targets, nine targets at a
/// time); `out` rows may be V's own first rows (in place): each chunk's
/// results wait in a scratch block until the chunk's sources are all read.
void combine_rows(Complex* V, std::uint64_t sources, const double* u, std::uint64_t stride,
                  const std::vector<std::uint64_t>& sel, std::uint64_t targets, Complex* out,
                  std::uint64_t n, std::int32_t threads) {
    constexpr std::uint64_t group = 9;
    // (re, im) per target of a group, by source.
    std::vector<std::vector<double>> coefficients;
    for (std::uint64_t first = 0; first < targets; first += group) {
        const std::uint64_t size = std::min(group, targets - first);
        std::vector<double> c(2 * size * sources, 0.0);
        for (std::uint64_t l = 0; l < sources; ++l) {
            for (std::uint64_t t = 0; t < size; ++t) {
                c[2 * size * l + 2 * t] = u[l * stride + sel[first + t]];
            }
        }
        coefficients.push_back(std::move(c));
    }
    const Policy policy = sweep_policy(n, threads);
    const std::uint64_t block = std::min(n, reduction_chunk);
    std::vector<Complex> scratch(static_cast<std::size_t>(std::max(1, policy.team_size())) *
                                 targets * block);
    Complex* scratch_base = scratch.data();
    const auto* coeffs = coefficients.data();
    policy.for_each_chunk(n, reduction_chunk, [=](std::uint64_t begin, std::uint64_t end) {
        Complex* own = scratch_base + static_cast<std::uint64_t>(omp_get_thread_num()) * targets * block;
        const std::uint64_t entries = end - begin;
        double* d[group];
        for (std::uint64_t first = 0, g = 0; first < targets; first += group, ++g) {
            const std::uint64_t size = std::min(group, targets - first);
            for (std::uint64_t t = 0; t < size; ++t) d[t] = parts(own + (first + t) * block);
            combine_targets(d, coeffs[g].data(), size, parts(V + begin), 2 * n, sources, entries);
        }
        for (std::uint64_t t = 0; t < targets; ++t) {
            std::memcpy(static_cast<void*>(out + t * n + begin), own + t * block,
                        entries * sizeof(Complex));
        }
    });
}

/// The Ritz decomposition of one cycle.
struct Ritz {
    std::uint64_t size = 0;       // basis vectors used
    std::vector<double> values;   // ascending
    std::vector<double> vectors;  // size x size, row-major, columns by value
    std::vector<std::uint64_t> order;  // indices of values from the wanted end
    double beta = 0.0;            // coupling of the residual direction
    double residual(std::uint64_t i) const {
        return std::fabs(beta * vectors[(size - 1) * size + i]);
    }
};

class ThickRestart {
public:
    ThickRestart(KrylovOperator& op, const EigenOptions& options)
        : op_(op), n_(op.dim()), threads_(options.num_threads), options_(options),
          dg_(op.diagonal()), product_(op.has_offdiagonal()) {}

    /// A run wanting `count` pairs in the complement of `locked` rows (k of
    /// them, orthonormal), from V_0 = start (orthogonalised and normalised
    /// here). Stops by `done(ritz)` or when the products reach the limit.
    template <class Done>
    Ritz run(const Complex* start, std::uint64_t stream, const Complex* locked,
             std::uint64_t num_locked, std::uint64_t count, EigenObserver& observer,
             Done&& done) {
        m_ = std::min(options_.basis_size, n_ - num_locked);
        if (!basis_) {
            check_state_vectors(n_, eigen_working_vectors(options_.basis_size), "eigsh");
            basis_ = std::make_unique<Complex[]>((options_.basis_size + 1) * n_);
        }
        Complex* V = basis_.get();
        if (start != nullptr) {
            std::memcpy(static_cast<void*>(V), start, n_ * sizeof(Complex));
        } else {
            fill_random(V, stream);
        }
        locked_ = locked;
        num_locked_ = num_locked;
        if (!normalize_fresh(V, 0, stream)) {
            throw std::invalid_argument("the starting vector lies in the span of the vectors found");
        }
        kept_ = 0;
        T_.assign(m_ * m_, 0.0);
        W_.assign((m_ + 1) * (m_ + 1), 0.0);
        W_[0] = 1.0;
        reorthogonalize_next_ = false;
        for (;;) {
            Ritz ritz = cycle(stream, done);
            observer.between_cycles(products_, converged_count(ritz, count));
            const bool exhausted = ritz.size < m_ || (ritz.beta == 0.0 && m_ + num_locked >= n_);
            if (done(ritz) || exhausted || products_ >= options_.max_products) {
                return ritz;
            }
            restart(ritz, count, stream);
        }
    }

    /// Writes the Ritz vectors ritz.order[0 .. targets) into rows of out.
    void form_vectors(const Ritz& ritz, std::uint64_t targets, Complex* out) {
        combine_rows(basis_.get(), ritz.size, ritz.vectors.data(), ritz.size, ritz.order,
                     targets, out, n_, threads_);
    }

    std::uint64_t converged_count(const Ritz& ritz, std::uint64_t count) const {
        std::uint64_t c = 0;
        while (c < std::min(count, ritz.size) && converged(ritz, ritz.order[c])) ++c;
        return c;
    }

    bool converged(const Ritz& ritz, std::uint64_t i) const {
        return ritz.residual(i) <= options_.tol * norm_estimate_;
    }

    /// H y without the scalar part, into w (counts a product).
    void product(const Complex* v, Complex* w) {
        if (product_) {
            op_.apply_offdiagonal(v, w, threads_);
        } else {
            std::memset(static_cast<void*>(w), 0, n_ * sizeof(Complex));
        }
        if (dg_ != nullptr) {
            const double* d = dg_;
            for_each_chunk(n_, threads_, [=](std::uint64_t begin, std::uint64_t end) {
                for (std::uint64_t x = begin; x < end; ++x) {
                    w[x] = Complex(d[x] * v[x].real() + w[x].real(),
                                   d[x] * v[x].imag() + w[x].imag());
                }
            });
        }
        ++products_;
    }

    Complex* scratch() { return basis_.get(); }

    std::uint64_t basis_dim() const { return m_; }
    std::uint64_t products() const { return products_; }
    std::uint64_t restarts() const { return restarts_; }
    std::uint64_t reorthogonalizations() const { return reorthogonalizations_; }
    double norm_estimate() const { return norm_estimate_; }
    void see_value(double v) { norm_estimate_ = std::max(norm_estimate_, std::fabs(v)); }

private:
    void fill_random(Complex* v, std::uint64_t stream) {
        for_each_chunk(n_, threads_, [=](std::uint64_t begin, std::uint64_t end) {
            for (std::uint64_t x = begin; x < end; ++x) v[x] = pseudo_random_amplitude(x, stream);
        });
    }

    /// Orthogonalises row j of the basis against the locked rows and rows
    /// 0 .. j-1 and normalises it; when nothing is left, tries fresh
    /// pseudo-random vectors. False when no direction is left at all.
    bool normalize_fresh(Complex* V, std::uint64_t j, std::uint64_t& stream) {
        Complex* w = V + j * n_;
        for (int attempt = 0; attempt < 4; ++attempt) {
            const double before = stable_norm(w, n_, threads_);
            if (!std::isfinite(before)) {
                throw std::invalid_argument("the starting vector has a non-finite entry");
            }
            orthogonalize_twice(locked_, num_locked_, w, n_, threads_);
            orthogonalize_twice(V, j, w, n_, threads_);
            const double after = stable_norm(w, n_, threads_);
            if (before > 0.0 && after > 1e-8 * before) {
                divide_into(w, w, after, n_, threads_);
                return true;
            }
            fill_random(w, ++stream + 1000);
        }
        return false;
    }

    /// Extends the basis to m vectors (or until `done` accepts the Ritz pairs
    /// of the basis so far, asked every few steps) and returns the Ritz pairs.
    template <class Done>
    Ritz cycle(std::uint64_t& stream, Done&& done) {
        Complex* V = basis_.get();
        // How often the leading block is decomposed: every step for the usual
        // bases, about twenty times a cycle for long ones.
        const std::uint64_t every = std::max<std::uint64_t>(1, m_ / 20);
        const std::uint64_t m = m_;
        double beta = 0.0;
        std::uint64_t used = m;
        // Projections on the basis (up to m + 1 rows) and on the locked rows,
        // which outnumber the basis when more than half the space is locked.
        std::vector<Complex> c(std::max(m + 1, num_locked_));
        for (std::uint64_t j = kept_; j < m; ++j) {
            Complex* v = V + j * n_;
            Complex* w = V + (j + 1) * n_;
            if (product_) {
                op_.apply_offdiagonal(v, w, threads_);
            } else if (dg_ == nullptr) {
                std::memset(static_cast<void*>(w), 0, n_ * sizeof(Complex));  // H = mu
            }
            ++products_;
            const bool arrow = j == kept_ && kept_ > 0;
            const Complex* v_prev = (j > 0 && !arrow) ? V + (j - 1) * n_ : nullptr;
            const double beta_prev = v_prev != nullptr ? T_[(j - 1) * m + j] : 0.0;
            const double alpha = subtract_previous_and_project(w, dg_, product_, v_prev,
                                                               beta_prev, v, n_, threads_,
                                                               nullptr);
            if (arrow) {
                for (std::uint64_t i = 0; i < kept_; ++i) c[i] = Complex(T_[i * m + j], 0.0);
                subtract_combination(V, kept_, c.data(), w, n_, threads_);
            }
            double beta_local = subtract_current_and_norm(w, alpha, v, n_, threads_, nullptr);
            if (!std::isfinite(beta_local)) {
                throw std::overflow_error("eigsh: H * v left the double range");
            }
            T_[j * m + j] = alpha;
            see_value(alpha);
            scale_ = std::max(scale_, std::fabs(alpha) + beta_local);
            // The locked rows (the check's complement) always; the basis when
            // the estimates say that orthogonality is being lost, and at the
            // step after (whose vector inherits the loss from v_j).
            if (num_locked_ > 0) {
                project(locked_, num_locked_, w, n_, threads_, c.data());
                subtract_combination(locked_, num_locked_, c.data(), w, n_, threads_);
            }
            const bool forced = reorthogonalize_next_;
            const bool triggered = estimate_overlaps(j, beta_local) > reorthogonalization_level;
            const bool reorthogonalize = forced || triggered;
            reorthogonalize_next_ = triggered && !forced;
            if (reorthogonalize) {
                project(V, j + 1, w, n_, threads_, c.data());
                subtract_combination(V, j + 1, c.data(), w, n_, threads_);
                ++reorthogonalizations_;
            }
            beta = (reorthogonalize || num_locked_ > 0) ? stable_norm(w, n_, threads_) : beta_local;
            if (!std::isfinite(beta)) {
                throw std::overflow_error("eigsh: H * v left the double range");
            }
            if (reorthogonalize) {
                settle_overlaps(j, beta);
            }
            if (beta <= breakdown_tol * scale_) {
                // An invariant subspace: continue in its complement from a
                // fresh vector, coupled by zero.
                beta = 0.0;
                if (j + 1 == m) break;
                fill_random(w, ++stream + 2000);
                if (!normalize_fresh(V, j + 1, stream)) {
                    used = j + 1;
                    break;
                }
                settle_overlaps(j, 1.0);
                reorthogonalize_next_ = true;
            } else {
                divide_into(w, w, beta, n_, threads_);
                if (j + 1 < m) {
                    T_[j * m + j + 1] = T_[(j + 1) * m + j] = beta;
                }
            }
            if (j + 1 < m && (j + 1 - kept_) % every == 0) {
                Ritz early = ritz_of(j + 1, beta);
                if (done(early)) return early;
            }
        }
        return ritz_of(used, used == m && m + num_locked_ < n_ ? beta : 0.0);
    }

    /// Simon's recurrence for the overlaps omega_(j+1,k) ~ <v_(j+1), v_k>,
    /// k <= j, generalised to the arrow of a thick restart: from
    /// H v_k = sum_l T_lk v_l (+ the residual direction beyond the basis),
    ///   beta omega_(j+1,k) = (T omega_j)_k - alpha_j omega_(j,k)
    ///                        - sum_(l before j) T_lj omega_(l,k),
    /// where "before j" is j - 1, or every kept vector right after a restart,
    /// each step adding a rounding term of eps ||T|| in the direction of its
    /// sign. Stores omega_(j+1, .) (with w's norm beta before any
    /// reorthogonalisation) and returns the largest |omega_(j+1,k)|.
    double estimate_overlaps(std::uint64_t j, double beta) {
        const std::uint64_t m = m_;
        const std::uint64_t s = m + 1;
        if (beta == 0.0) return 0.0;
        const double noise = 2.0 * eps * scale_;
        double largest = 0.0;
        const bool arrow = j == kept_ && kept_ > 0;
        for (std::uint64_t k = 0; k < j; ++k) {
            double x = 0.0;
            for (std::uint64_t l = 0; l <= j; ++l) {
                const double t = l < m && k < m ? T_[l * m + k] : 0.0;
                if (t != 0.0) x = x + t * W_[j * s + l];
            }
            x = x - T_[j * m + j] * W_[j * s + k];
            if (arrow) {
                for (std::uint64_t l = 0; l < kept_; ++l) x = x - T_[l * m + j] * W_[l * s + k];
            } else if (j > 0) {
                x = x - T_[(j - 1) * m + j] * W_[(j - 1) * s + k];
            }
            x = (x + std::copysign(noise, x)) / beta;
            W_[(j + 1) * s + k] = W_[k * s + j + 1] = x;
            largest = std::max(largest, std::fabs(x));
        }
        // Against v_j: rounding of the local step alone.
        W_[(j + 1) * s + j] = W_[j * s + j + 1] = noise / beta;
        W_[(j + 1) * s + j + 1] = 1.0;
        return largest;
    }

    /// After a full reorthogonalisation of v_(j+1): overlaps at rounding level.
    void settle_overlaps(std::uint64_t j, double beta) {
        const std::uint64_t s = m_ + 1;
        const double level = beta > 0.0 ? std::max(eps, eps * scale_ / beta) : eps;
        for (std::uint64_t k = 0; k <= j; ++k) W_[(j + 1) * s + k] = W_[k * s + j + 1] = level;
        W_[(j + 1) * s + j + 1] = 1.0;
    }

    /// The Ritz pairs of the leading `used` basis vectors, coupled to the next
    /// one by beta.
    Ritz ritz_of(std::uint64_t used, double beta) {
        const std::uint64_t m = m_;
        Ritz ritz;
        ritz.size = used;
        ritz.beta = beta;
        std::vector<double> t(used * used);
        for (std::uint64_t r = 0; r < used; ++r) {
            for (std::uint64_t s = 0; s < used; ++s) t[r * used + s] = T_[r * m + s];
        }
        SymmetricEigen e = symmetric_eigen(t.data(), used);
        ritz.values = std::move(e.values);
        ritz.vectors = std::move(e.vectors);
        ritz.order.resize(used);
        for (std::uint64_t i = 0; i < used; ++i) {
            ritz.order[i] = options_.largest ? used - 1 - i : i;
        }
        see_value(ritz.values.front());
        see_value(ritz.values.back());
        return ritz;
    }

    /// Keeps the best p Ritz vectors and the residual direction.
    void restart(const Ritz& ritz, std::uint64_t count, std::uint64_t& stream) {
        const std::uint64_t m = m_;
        const std::uint64_t conv = converged_count(ritz, count);
        // Keep the wanted pairs and about half of the rest (more while few
        // have converged), leaving at least two new steps per cycle.
        std::uint64_t p = count + std::max<std::uint64_t>(conv, (m - count) / 2);
        p = std::min(p, m - 2);
        p = std::max<std::uint64_t>(p, std::min<std::uint64_t>(count, m - 1));
        Complex* V = basis_.get();
        combine_rows(V, m, ritz.vectors.data(), m, ritz.order, p, V, n_, threads_);
        std::memcpy(static_cast<void*>(V + p * n_), V + m * n_, n_ * sizeof(Complex));
        std::fill(T_.begin(), T_.end(), 0.0);
        for (std::uint64_t i = 0; i < p; ++i) {
            const std::uint64_t s = ritz.order[i];
            T_[i * m + i] = ritz.values[s];
            const double arrow = ritz.beta * ritz.vectors[(m - 1) * m + s];
            T_[i * m + p] = T_[p * m + i] = arrow;
        }
        kept_ = p;
        ++restarts_;
        // The kept Ritz vectors are orthogonal to the level the basis was;
        // the continuation vector is made orthogonal to them here.
        const std::uint64_t s = m + 1;
        double worst = eps;
        for (std::uint64_t a = 0; a < m; ++a) {
            for (std::uint64_t b = 0; b < a; ++b) worst = std::max(worst, std::fabs(W_[a * s + b]));
        }
        if (ritz.beta != 0.0) {
            std::vector<Complex> c(p);
            project(V, p, V + p * n_, n_, threads_, c.data());
            subtract_combination(V, p, c.data(), V + p * n_, n_, threads_);
            const double norm = stable_norm(V + p * n_, n_, threads_);
            divide_into(V + p * n_, V + p * n_, norm, n_, threads_);
        } else {
            // The basis spans an invariant subspace: go on from a fresh vector.
            fill_random(V + p * n_, ++stream + 3000);
            if (!normalize_fresh(V, p, stream)) {
                throw std::logic_error("eigsh: no direction left outside an invariant subspace");
            }
        }
        std::fill(W_.begin(), W_.end(), 0.0);
        for (std::uint64_t a = 0; a <= p; ++a) {
            for (std::uint64_t b = 0; b <= p; ++b) {
                W_[a * s + b] = a == b ? 1.0 : (a == p || b == p ? eps : worst);
            }
        }
        reorthogonalize_next_ = false;
    }

    KrylovOperator& op_;
    std::uint64_t n_;
    std::int32_t threads_;
    const EigenOptions& options_;
    const double* dg_;
    bool product_;
    std::unique_ptr<Complex[]> basis_;
    const Complex* locked_ = nullptr;
    std::uint64_t num_locked_ = 0;
    std::vector<double> T_;
    /// Estimates of the overlaps <v_a, v_b> of the basis, (m + 1) x (m + 1).
    std::vector<double> W_;
    bool reorthogonalize_next_ = false;
    std::uint64_t reorthogonalizations_ = 0;
    std::uint64_t m_ = 0;
    std::uint64_t kept_ = 0;
    std::uint64_t products_ = 0;
    std::uint64_t restarts_ = 0;
    double norm_estimate_ = 0.0;
    double scale_ = 0.0;
};

void check_options(const KrylovOperator& op, const EigenOptions& o) {
    if (op.local_dim() != op.dim()) {
        throw std::invalid_argument("eigsh does not run over MPI processes");
    }
    const std::uint64_t n = op.dim();
    if (o.count < 1 || o.count > n) {
        throw std::invalid_argument("k must lie in [1, " + std::to_string(n) + "]");
    }
    if (!(o.tol > 0.0 && o.tol < 1.0)) {
        throw std::invalid_argument("tol must lie in (0, 1)");
    }
    if (o.basis_size > max_basis_size || o.basis_size <= std::min(o.count, n - 1)) {
        throw std::invalid_argument("krylov_dim must lie in (k, " +
                                    std::to_string(max_basis_size) + "]");
    }
    if (o.num_threads < 0) {
        throw std::invalid_argument("num_threads must be >= 0");
    }
}

}  // namespace

EigenReport lanczos_eigenpairs(KrylovOperator& op, const Complex* start, Complex* vectors,
                               const EigenOptions& options, EigenObserver& observer) {
    check_options(op, options);
    const std::uint64_t n = op.dim();
    const std::uint64_t k = options.count;
    const double mu = op.shift();
    const bool largest = options.largest;
    ThickRestart solver(op, options);
    EigenReport report;

    std::uint64_t stream = 1;
    Ritz ritz = solver.run(start, stream, nullptr, 0, k, observer, [&](const Ritz& r) {
        return r.size >= k && solver.converged_count(r, k) >= k;
    });
    bool converged = solver.converged_count(ritz, k) >= k;
    solver.form_vectors(ritz, k, vectors);
    std::vector<double> values(k);
    for (std::uint64_t i = 0; i < k; ++i) values[i] = ritz.values[ritz.order[i]];

    // The check for missed eigenvalues: the k-th value (the worst kept) must
    // not be beaten by anything in the complement of the vectors found.
    auto worst = [&] {
        std::uint64_t w = 0;
        for (std::uint64_t i = 1; i < k; ++i) {
            if (largest ? values[i] < values[w] : values[i] > values[w]) w = i;
        }
        return w;
    };
    const std::uint64_t before_check = solver.products();
    const bool check = converged && options.check_missed && k < n;
    for (std::uint64_t round = 0; check && round <= k; ++round) {
        const std::uint64_t w = worst();
        const double bar = values[w];
        auto beats = [&](double theta, double margin) {
            return largest ? theta - margin > bar : theta + margin < bar;
        };
        // Whether the complement's best Ritz value is settled: converged, or
        // its residual interval clears bar. A Krylov space from a random
        // vector reaches the end of the spectrum first, so its best Ritz value
        // stands for the complement's end only once it is that accurate; the
        // question is asked at the ends of whole cycles (or of an exhausted
        // space) only. (Starting from the next Ritz vectors, or taking the
        // Kato-Temple bound with the next Ritz value as the gap, settled too
        // early: a degenerate pair of the 20-spin XXZ ring went unseen.)
        auto settled = [&](const Ritz& r) {
            if (r.size < solver.basis_dim() && r.beta != 0.0) return false;
            const std::uint64_t b = r.order[0];
            if (solver.converged(r, b)) return true;
            const double theta = r.values[b];
            const double res = r.residual(b);
            return largest ? theta + res < bar : theta - res > bar;
        };
        Ritz found = solver.run(nullptr, ++stream + 10, vectors, k, 1, observer, settled);
        const std::uint64_t b = found.order[0];
        if (!settled(found)) {
            converged = false;  // ran out of products
            break;
        }
        if (!solver.converged(found, b)) break;  // nothing beyond bar
        if (!beats(found.values[b], found.residual(b))) break;
        // A better eigenvalue was missed: it replaces the worst one found.
        // The check's basis was kept orthogonal to the rows found by one pass
        // per step, which leaves rounding-level components along them that a
        // near breakdown magnifies (2e-8 seen): the new row is orthogonalised
        // against the others twice (and normalised below).
        Complex* row = vectors + w * n;
        solver.form_vectors(found, 1, row);
        orthogonalize_twice(vectors, w, row, n, options.num_threads);
        orthogonalize_twice(vectors + (w + 1) * n, k - w - 1, row, n, options.num_threads);
        values[w] = found.values[b];
    }
    report.check_products = solver.products() - before_check;

    // The reported values and residuals come from the vectors themselves.
    Complex* hy = solver.scratch();
    report.values.resize(k);
    report.residuals.resize(k);
    const std::int32_t threads = options.num_threads;
    for (std::uint64_t i = 0; i < k; ++i) {
        Complex* y = vectors + i * n;
        const double norm = stable_norm(y, n, threads);
        divide_into(y, y, norm, n, threads);
        solver.product(y, hy);
        const double rho = dot(y, hy, n, threads).real();
        const double res = chunked_real_sum(n, threads, [=](std::uint64_t b, std::uint64_t e) {
            double s = 0.0;
            for (std::uint64_t x = b; x < e; ++x) {
                const double re = hy[x].real() - rho * y[x].real();
                const double im = hy[x].imag() - rho * y[x].imag();
                s = s + (re * re + im * im);
            }
            return s;
        });
        report.values[i] = rho + mu;
        // The computed product is (H + E) y with ||E|| <= product_rounding.
        report.residuals[i] = std::sqrt(res) + op.product_rounding();
        solver.see_value(rho);
    }
    // Ascending order of the values, the vectors with them.
    std::vector<std::uint64_t> idx(k);
    for (std::uint64_t i = 0; i < k; ++i) idx[i] = i;
    std::stable_sort(idx.begin(), idx.end(),
                     [&](std::uint64_t a, std::uint64_t b) { return report.values[a] < report.values[b]; });
    std::vector<double> sorted_values(k), sorted_residuals(k);
    Complex* tmp = hy;
    for (std::uint64_t i = 0; i < k; ++i) {
        sorted_values[i] = report.values[idx[i]];
        sorted_residuals[i] = report.residuals[idx[i]];
    }
    // Permute the rows through the scratch vector, one cycle at a time.
    std::vector<bool> placed(k, false);
    for (std::uint64_t start_row = 0; start_row < k; ++start_row) {
        if (placed[start_row] || idx[start_row] == start_row) {
            placed[start_row] = true;
            continue;
        }
        std::memcpy(static_cast<void*>(tmp), vectors + start_row * n, n * sizeof(Complex));
        std::uint64_t row = start_row;
        while (idx[row] != start_row) {
            std::memcpy(static_cast<void*>(vectors + row * n), vectors + idx[row] * n,
                        n * sizeof(Complex));
            placed[row] = true;
            row = idx[row];
        }
        std::memcpy(static_cast<void*>(vectors + row * n), tmp, n * sizeof(Complex));
        placed[row] = true;
    }
    report.values = std::move(sorted_values);
    report.residuals = std::move(sorted_residuals);
    report.products = solver.products();
    report.restarts = solver.restarts();
    report.reorthogonalizations = solver.reorthogonalizations();
    report.converged = converged;
    report.norm_estimate = solver.norm_estimate();
    return report;
}

}  // namespace velmora
