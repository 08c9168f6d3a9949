#include "evolution/sweeps.h"

#include <cstring>

#include "evolution/reduction.h"
#include "parallel/ranks.h"
#include "parallel/reduce.h"

namespace velmora {

namespace {

// Element-wise kernels over interleaved (real, imaginary) doubles, compiled
// for several instruction sets. They perform the same IEEE operations in the
// same order per entry on every instruction set (no contraction into fused
// multiply-add: the build forbids it), so all clones give the same bits.
// Sums run in `lanes` interleaved accumulators (double d goes to lane d mod
// lanes) combined in a fixed tree, which breaks the dependency chain of one
// running sum without making the result depend on the vector width.

constexpr std::size_t lanes = 8;

inline double combine_lanes(const double* a) {
    return ((a[0] + a[1]) + (a[2] + a[3])) + ((a[4] + a[5]) + (a[6] + a[7]));
}

/// w -= b * p (when p is not null), then returns sum_d v_d * w_d.
__attribute__((target_clones("avx512f", "avx2", "default")))
double subtract_and_project_kernel(double* __restrict w, const double* __restrict p, double b,
                                   const double* __restrict v, std::size_t count) {
    double acc[lanes] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    std::size_t d = 0;
    if (p != nullptr) {
        for (; d + lanes <= count; d += lanes) {
            for (std::size_t l = 0; l < lanes; ++l) {
                const double x = w[d + l] - b * p[d + l];
                w[d + l] = x;
                acc[l] = acc[l] + v[d + l] * x;
            }
        }
        for (; d < count; ++d) {
            const double x = w[d] - b * p[d];
            w[d] = x;
            acc[d % lanes] = acc[d % lanes] + v[d] * w[d];
        }
    } else {
        for (; d + lanes <= count; d += lanes) {
            for (std::size_t l = 0; l < lanes; ++l) {
                acc[l] = acc[l] + v[d + l] * w[d + l];
            }
        }
        for (; d < count; ++d) {
            acc[d % lanes] = acc[d % lanes] + v[d] * w[d];
        }
    }
    return combine_lanes(acc);
}

/// w -= a * v, then returns sum_d w_d^2.
__attribute__((target_clones("avx512f", "avx2", "default")))
double subtract_and_square_kernel(double* __restrict w, double a, const double* __restrict v,
                                  std::size_t count) {
    double acc[lanes] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    std::size_t d = 0;
    for (; d + lanes <= count; d += lanes) {
        for (std::size_t l = 0; l < lanes; ++l) {
            const double x = w[d + l] - a * v[d + l];
            w[d + l] = x;
            acc[l] = acc[l] + x * x;
        }
    }
    for (; d < count; ++d) {
        const double x = w[d] - a * v[d];
        w[d] = x;
        acc[d % lanes] = acc[d % lanes] + x * x;
    }
    return combine_lanes(acc);
}

/// dst = src / b.
__attribute__((target_clones("avx512f", "avx2", "default")))
void divide_kernel(double* dst, const double* src, double b, std::size_t count) {
    for (std::size_t d = 0; d < count; ++d) {
        dst[d] = src[d] / b;
    }
}

// The complex products of the combinations work on whole vectors of
// interleaved parts: with x = (re, im, ...), x' = (-im, re, ...) (the parts
// exchanged and the first negated, exactly) and a coefficient c, the vector
// c_re * x + c_im * x' has the real part c_re * re + c_im * (-im), which is
// exactly c_re * re - c_im * im, and the imaginary part c_re * im + c_im *
// re: the operations of multiply(), with one shuffle per basis vector shared
// by all targets.
typedef double Pack __attribute__((vector_size(64)));
typedef long long PackIndex __attribute__((vector_size(64)));
constexpr std::size_t pack = 8;  // doubles per Pack

/// Distance (doubles) at which the combination prefetches the basis vectors.
constexpr std::size_t combine_prefetch = 64;

/// For each of the T targets t: d_t = sum_l c[l][t] * v_l over `entries`
/// amplitudes, the sum formed in order of l (the first term stored as it is,
/// each further one added to the sum), the T sums of four amplitudes held in
/// registers across all k basis vectors. v_l starts at v + l * stride
/// (doubles); c holds (re, im) per basis vector and target, by basis vector.
template <int T>
inline __attribute__((always_inline)) void combine_group(double* const* d, const double* c,
                                                         const double* v, std::size_t stride,
                                                         std::size_t k, std::size_t entries) {
    const PackIndex swap = {1, 0, 3, 2, 5, 4, 7, 6};
    const Pack sign = {-1.0, 1.0, -1.0, 1.0, -1.0, 1.0, -1.0, 1.0};
    const std::size_t count = 2 * entries;
    std::size_t i = 0;
    for (; i + pack <= count; i += pack) {
        Pack acc[T] = {};  // every entry is set by the first basis vector (k >= 1)
        for (std::size_t l = 0; l < k; ++l) {
            Pack x;
            std::memcpy(&x, v + l * stride + i, sizeof x);
            // The k vectors are k streams a state apart, too many for the
            // hardware to follow: the lines a few iterations ahead are asked
            // for explicitly (a hint only; past the end it is ignored).
            __builtin_prefetch(v + l * stride + i + combine_prefetch);
            const Pack xs = __builtin_shuffle(x, swap) * sign;
            const double* cl = c + 2 * T * l;
            for (int t = 0; t < T; ++t) {
                const Pack p = cl[2 * t] * x + cl[2 * t + 1] * xs;
                acc[t] = l == 0 ? p : acc[t] + p;
            }
        }
        for (int t = 0; t < T; ++t) {
            std::memcpy(d[t] + i, &acc[t], sizeof acc[t]);
        }
    }
    for (; i < count; i += 2) {
        for (std::size_t l = 0; l < k; ++l) {
            const double* x = v + l * stride + i;
            const double* cl = c + 2 * T * l;
            for (int t = 0; t < T; ++t) {
                const double re = cl[2 * t] * x[0] - cl[2 * t + 1] * x[1];
                const double im = cl[2 * t] * x[1] + cl[2 * t + 1] * x[0];
                d[t][i] = l == 0 ? re : d[t][i] + re;
                d[t][i + 1] = l == 0 ? im : d[t][i + 1] + im;
            }
        }
    }
}

#define VELMORA_COMBINE(T)                                                                    \
    __attribute__((target_clones("avx512f", "avx2", "default"))) void combine_##T(             \
        double* const* d, const double* c, const double* v, std::size_t stride, std::size_t k, \
        std::size_t entries) {                                                                \
        combine_group<T>(d, c, v, stride, k, entries);                                        \
    }
VELMORA_COMBINE(1)
VELMORA_COMBINE(2)
VELMORA_COMBINE(3)
VELMORA_COMBINE(4)
VELMORA_COMBINE(5)
VELMORA_COMBINE(6)
VELMORA_COMBINE(7)
VELMORA_COMBINE(8)
VELMORA_COMBINE(9)
#undef VELMORA_COMBINE

typedef double HalfPack __attribute__((vector_size(32)));

/// Four diagonal entries spread over the eight parts of their amplitudes.
inline __attribute__((always_inline)) void spread(const double* d, Pack& out) {
    HalfPack h;
    std::memcpy(&h, d, sizeof h);
    out = __builtin_shufflevector(h, h, 0, 0, 1, 1, 2, 2, 3, 3);
}

/// The diagonal part of H added in the first sweep of a Lanczos step: per
/// part, x = (w + d * v) - b * p, or x = d * v - b * p when `product` is
/// false (H has no off-diagonal words and w holds nothing), without the
/// subtraction when p is null; stores x and returns sum_d v_d * x_d in the
/// lanes of subtract_and_project_kernel. `dg` has one entry per amplitude.
__attribute__((target_clones("avx512f", "avx2", "default")))
double diagonal_subtract_and_project_kernel(double* __restrict w, const double* __restrict dg,
                                            bool product, const double* __restrict p,
                                            double b, const double* __restrict v,
                                            std::size_t count) {
    Pack acc = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    const Pack bb = {b, b, b, b, b, b, b, b};
    std::size_t d = 0;
    for (; d + pack <= count; d += pack) {
        Pack vv;
        std::memcpy(&vv, v + d, sizeof vv);
        Pack x;
        spread(dg + d / 2, x);
        x = x * vv;
        if (product) {
            Pack ww;
            std::memcpy(&ww, w + d, sizeof ww);
            x = ww + x;
        }
        if (p != nullptr) {
            Pack pp;
            std::memcpy(&pp, p + d, sizeof pp);
            x = x - bb * pp;
        }
        std::memcpy(w + d, &x, sizeof x);
        acc = acc + vv * x;
    }
    double lane[lanes];
    std::memcpy(lane, &acc, sizeof lane);
    for (; d < count; ++d) {
        double x = dg[d / 2] * v[d];
        if (product) {
            x = w[d] + x;
        }
        if (p != nullptr) {
            x = x - b * p[d];
        }
        w[d] = x;
        lane[d % lanes] = lane[d % lanes] + v[d] * x;
    }
    return combine_lanes(lane);
}

}  // namespace

/// combine_group over 1 to 9 targets. `c` holds the coefficients by basis
/// vector, (re, im) per target.
void combine_targets(double* const* d, const double* c, std::size_t targets, const double* v,
                     std::size_t stride, std::size_t k, std::size_t entries) {
    switch (targets) {
        case 1: combine_1(d, c, v, stride, k, entries); break;
        case 2: combine_2(d, c, v, stride, k, entries); break;
        case 3: combine_3(d, c, v, stride, k, entries); break;
        case 4: combine_4(d, c, v, stride, k, entries); break;
        case 5: combine_5(d, c, v, stride, k, entries); break;
        case 6: combine_6(d, c, v, stride, k, entries); break;
        case 7: combine_7(d, c, v, stride, k, entries); break;
        case 8: combine_8(d, c, v, stride, k, entries); break;
        case 9: combine_9(d, c, v, stride, k, entries); break;
        default: break;
    }
}

/// Pass A of Lanczos step j: adds the diagonal part d * v to w (when dg is
/// not null; w holds the off-diagonal product only when `product`), then
/// w -= beta_prev * v_prev (when j > 0); returns Re <v, w>.
double subtract_previous_and_project(Complex* w, const double* dg, bool product,
                                     const Complex* v_prev, double beta_prev, const Complex* v,
                                     std::uint64_t n, std::int32_t threads, Ranks* ranks) {
    double local = 0.0;
    if (dg != nullptr) {
        local = chunked_real_sum(n, threads, [=](std::uint64_t b, std::uint64_t e) {
            return diagonal_subtract_and_project_kernel(
                parts(w + b), dg + b, product, v_prev != nullptr ? parts(v_prev + b) : nullptr,
                beta_prev, parts(v + b), 2 * (e - b));
        });
    } else {
        local = chunked_real_sum(n, threads, [=](std::uint64_t b, std::uint64_t e) {
            return subtract_and_project_kernel(parts(w + b),
                                               v_prev != nullptr ? parts(v_prev + b) : nullptr,
                                               beta_prev, parts(v + b), 2 * (e - b));
        });
    }
    return sum_over_ranks(local, ranks);
}

/// Pass B: w -= alpha * v; returns ||w||.
double subtract_current_and_norm(Complex* w, double alpha, const Complex* v, std::uint64_t n,
                                 std::int32_t threads, Ranks* ranks) {
    const double squares = sum_over_ranks(
        chunked_real_sum(n, threads,
                         [=](std::uint64_t b, std::uint64_t e) {
                             return subtract_and_square_kernel(parts(w + b), alpha, parts(v + b),
                                                               2 * (e - b));
                         }),
        ranks);
    // Far from both ends of the range the plain sum is exact enough; near
    // them the scaled norm avoids overflow and underflow.
    if (squares > 1e-280 && squares < 1e280) {
        return std::sqrt(squares);
    }
    return stable_norm(w, n, threads, ranks);
}

void divide_into(Complex* dst, const Complex* src, double d, std::uint64_t n,
                 std::int32_t threads) {
    for_each_chunk(n, threads, [=](std::uint64_t b, std::uint64_t e) {
        divide_kernel(parts(dst + b), parts(src + b), d, 2 * (e - b));
    });
}


}  // namespace velmora
