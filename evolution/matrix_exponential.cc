#include "evolution/matrix_exponential.h"

// The vector helpers below pass GCC vector types by value; they are always
// inlined into one function per instruction set, so no call ever uses the
// argument-passing convention GCC warns about.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <tuple>
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

namespace {

/// How a row is divided by one pivot p = a + ib: the branch of the scaled
/// (Smith) rule and its two pivot-only values, found once per pivot.
struct PivotDivision {
    enum class Rule { nan, real_larger, real_only, imag_larger };
    Rule rule;
    double t;    // b / a or a / b
    double den;  // t b + a, a, or t a + b
};

PivotDivision pivot_division(Complex pivot) {
    using Rule = PivotDivision::Rule;
    const double a = pivot.real();
    const double b = pivot.imag();
    if (std::isnan(a) || std::isnan(b)) {
        return {Rule::nan, 0.0, 0.0};
    }
    if (std::fabs(a) > std::fabs(b)) {
        const double t = b / a;
        const double den = t * b + a;
        if (std::isnan(den) || den == 0.0) {
            return {Rule::nan, 0.0, 0.0};
        }
        return {Rule::real_larger, t, den};
    }
    if (b == 0.0) {
        return {Rule::real_only, 0.0, a};
    }
    const double t = a / b;
    const double den = t * a + b;
    if (std::isnan(den) || den == 0.0) {
        return {Rule::nan, 0.0, 0.0};
    }
    return {Rule::imag_larger, t, den};
}

/// (c + id) / p under the rule of p, for one entry (T = double) or for the
/// lanes of a vector of entries: the same operations lane by lane.
template <class T>
[[gnu::always_inline]] inline void divide_parts(const PivotDivision& p, T& c, T& d) {
    using Rule = PivotDivision::Rule;
    const T re = c;
    const T im = d;
    switch (p.rule) {
        case Rule::nan:
            // 0 + NaN is that NaN, in every lane.
            c = T{} + std::numeric_limits<double>::quiet_NaN();
            d = c;
            return;
        case Rule::real_larger:
            c = (im * p.t + re) / p.den;
            d = (im - re * p.t) / p.den;
            return;
        case Rule::real_only:
            c = re / p.den;
            d = im / p.den;
            return;
        case Rule::imag_larger:
            c = (re * p.t + im) / p.den;
            d = (im * p.t - re) / p.den;
            return;
    }
}

}  // namespace

Complex divide_by_pivot(Complex value, Complex pivot) {
    double c = value.real();
    double d = value.imag();
    divide_parts(pivot_division(pivot), c, d);
    return Complex(c, d);
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

namespace {

// ---------------------------------------------------------------------------
// Planar dense stage. Inside matrix_exponential a matrix is held as a plane
// of real parts and a plane of imaginary parts, m rows of `ld` doubles each,
// ld being m rounded up to whole vectors. Each kernel forms every entry with
// exactly the operations of the scalar code above, in the same order, and
// only runs several entries of a row side by side in the lanes of a vector
// (a GCC vector type V: two, four or eight doubles). Entries beyond column m
// are padding: computed along, never read into a real entry.

typedef double Vec2 __attribute__((vector_size(16)));
typedef double Vec4 __attribute__((vector_size(32)));
typedef double Vec8 __attribute__((vector_size(64)));

template <class V>
constexpr std::uint64_t lanes = sizeof(V) / sizeof(double);

template <class V>
[[gnu::always_inline]] inline V load(const double* p) {
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
[[gnu::always_inline]] inline void store(double* p, const V& v) {
    __builtin_memcpy(p, &v, sizeof v);
}

/// One planar matrix.
struct Planar {
    double* re;
    double* im;
};

/// The seven planar matrices of one exponential in a single 64-byte aligned
/// allocation, and a list of column indices, made once per call. The planes
/// are left uninitialised: each is written in full before it is read, and
/// the padding of A is zeroed when A is loaded.
class PadeWorkspace {
public:
    PadeWorkspace(std::uint64_t m, std::uint64_t ld)
        : m(m),
          ld(ld),
          storage_(std::make_unique_for_overwrite<double[]>(14 * m * ld + 8)),
          nonzero_(std::make_unique_for_overwrite<std::uint64_t[]>(m)) {
        const std::uint64_t plane = m * ld;
        const auto address = reinterpret_cast<std::uintptr_t>(storage_.get());
        double* next = storage_.get() + ((64 - address % 64) % 64) / sizeof(double);
        for (Planar* p : {&A, &A2, &A4, &A6, &T1, &T2, &T3}) {
            p->re = next;
            p->im = next + plane;
            next += 2 * plane;
        }
        nonzero = nonzero_.get();
    }

    const std::uint64_t m;
    const std::uint64_t ld;
    Planar A, A2, A4, A6, T1, T2, T3;
    std::uint64_t* nonzero;  // m entries

private:
    std::unique_ptr<double[]> storage_;
    std::unique_ptr<std::uint64_t[]> nonzero_;
};

/// Columns c0 ... c0 + B * lanes - 1 of row i of Z = X * Y. The sums start at
/// +0 and stay in registers while the middle index j runs in increasing
/// order over the `count` columns listed in `nonzero`: those where row i of X
/// is not exactly zero, the entries matrix_multiply does not skip.
template <class V, int B>
[[gnu::always_inline]] inline void product_block(Planar X, Planar Y, Planar Z, std::uint64_t ld,
                                                 std::uint64_t i, std::uint64_t c0,
                                                 const std::uint64_t* nonzero,
                                                 std::uint64_t count) {
    constexpr std::uint64_t W = lanes<V>;
    V z_re[B] = {};
    V z_im[B] = {};
    for (std::uint64_t t = 0; t < count; ++t) {
        const std::uint64_t j = nonzero[t];
        const double a_re = X.re[i * ld + j];
        const double a_im = X.im[i * ld + j];
        const double* y_re = Y.re + j * ld + c0;
        const double* y_im = Y.im + j * ld + c0;
        for (int b = 0; b < B; ++b) {
            const V r = load<V>(y_re + b * W);
            const V s = load<V>(y_im + b * W);
            z_re[b] = z_re[b] + (a_re * r - a_im * s);
            z_im[b] = z_im[b] + (a_re * s + a_im * r);
        }
    }
    for (int b = 0; b < B; ++b) {
        store(Z.re + i * ld + c0 + b * W, z_re[b]);
        store(Z.im + i * ld + c0 + b * W, z_im[b]);
    }
}

/// Z = X * Y (Z distinct from both), row by row in blocks of four vectors.
template <class V>
[[gnu::always_inline]] inline void multiply_planar(PadeWorkspace& ws, Planar X, Planar Y,
                                                   Planar Z) {
    constexpr std::uint64_t W = lanes<V>;
    const std::uint64_t m = ws.m;
    const std::uint64_t ld = ws.ld;
    for (std::uint64_t i = 0; i < m; ++i) {
        std::uint64_t count = 0;
        for (std::uint64_t j = 0; j < m; ++j) {
            ws.nonzero[count] = j;
            count += !(X.re[i * ld + j] == 0.0 && X.im[i * ld + j] == 0.0);
        }
        for (std::uint64_t c0 = 0; c0 < ld; c0 += 4 * W) {
            switch ((ld - c0) / W) {
                case 1:
                    product_block<V, 1>(X, Y, Z, ld, i, c0, ws.nonzero, count);
                    break;
                case 2:
                    product_block<V, 2>(X, Y, Z, ld, i, c0, ws.nonzero, count);
                    break;
                case 3:
                    product_block<V, 3>(X, Y, Z, ld, i, c0, ws.nonzero, count);
                    break;
                default:
                    product_block<V, 4>(X, Y, Z, ld, i, c0, ws.nonzero, count);
                    break;
            }
        }
    }
}

/// y = (c1 x1 + c2 x2) + c3 x3 over n doubles (n a multiple of the lanes).
template <class V>
[[gnu::always_inline]] inline void sum_of_three(double* y, double c1, const double* x1, double c2,
                                                const double* x2, double c3, const double* x3,
                                                std::uint64_t n) {
    for (std::uint64_t e = 0; e < n; e += lanes<V>) {
        store(y + e, (c1 * load<V>(x1 + e) + c2 * load<V>(x2 + e)) + c3 * load<V>(x3 + e));
    }
}

/// y = (((y + c1 x1) + c2 x2) + c3 x3) + 0 over n doubles; the + 0 is the
/// term c0 * 0 of a zero entry of c0 I.
template <class V>
[[gnu::always_inline]] inline void add_three_and_zero(double* y, double c1, const double* x1,
                                                      double c2, const double* x2, double c3,
                                                      const double* x3, std::uint64_t n) {
    for (std::uint64_t e = 0; e < n; e += lanes<V>) {
        const V sum = ((load<V>(y + e) + c1 * load<V>(x1 + e)) + c2 * load<V>(x2 + e)) +
                      c3 * load<V>(x3 + e);
        store(y + e, sum + 0.0);
    }
}

/// Y = (((Y + c1 X1) + c2 X2) + c3 X3) + c0 I, entry by entry as the scalar
/// code adds the scaled identity: c0 * 1 = c0 on the diagonal of the real
/// plane, c0 * 0 = +0 everywhere else. The diagonal first receives the + 0
/// with all other entries and then c0: (t + 0) + c0 and t + c0 agree in
/// every bit, since t + 0 differs from t only for t = -0 and -0 + c0 = +0 + c0.
template <class V>
[[gnu::always_inline]] inline void add_three_and_identity(const PadeWorkspace& ws, Planar Y,
                                                          double c1, Planar X1, double c2,
                                                          Planar X2, double c3, Planar X3,
                                                          double c0) {
    const std::uint64_t n = ws.m * ws.ld;
    add_three_and_zero<V>(Y.re, c1, X1.re, c2, X2.re, c3, X3.re, n);
    add_three_and_zero<V>(Y.im, c1, X1.im, c2, X2.im, c3, X3.im, n);
    for (std::uint64_t j = 0; j < ws.m; ++j) {
        Y.re[j * ws.ld + j] = Y.re[j * ws.ld + j] + c0;
    }
}

/// The [13/13] Padé approximant of exp(A) as its two halves, with
/// A2 = A^2, A4 = A2^2, A6 = A4 A2:
///     U = A (A6 (b13 A6 + b11 A4 + b9 A2) + b7 A6 + b5 A4 + b3 A2 + b1 I),
///     V = A6 (b12 A6 + b10 A4 + b8 A2) + b6 A6 + b4 A4 + b2 A2 + b0 I,
/// and P = V - U in T1, Q = U + V in T2.
template <class V>
[[gnu::always_inline]] inline void pade_13_halves(PadeWorkspace& ws) {
    const double* b = pade_13;
    const std::uint64_t n = ws.m * ws.ld;
    multiply_planar<V>(ws, ws.A, ws.A, ws.A2);
    multiply_planar<V>(ws, ws.A2, ws.A2, ws.A4);
    multiply_planar<V>(ws, ws.A4, ws.A2, ws.A6);

    // Odd half into T3.
    sum_of_three<V>(ws.T1.re, b[13], ws.A6.re, b[11], ws.A4.re, b[9], ws.A2.re, n);
    sum_of_three<V>(ws.T1.im, b[13], ws.A6.im, b[11], ws.A4.im, b[9], ws.A2.im, n);
    multiply_planar<V>(ws, ws.A6, ws.T1, ws.T2);
    add_three_and_identity<V>(ws, ws.T2, b[7], ws.A6, b[5], ws.A4, b[3], ws.A2, b[1]);
    multiply_planar<V>(ws, ws.A, ws.T2, ws.T3);

    // Even half into T2.
    sum_of_three<V>(ws.T1.re, b[12], ws.A6.re, b[10], ws.A4.re, b[8], ws.A2.re, n);
    sum_of_three<V>(ws.T1.im, b[12], ws.A6.im, b[10], ws.A4.im, b[8], ws.A2.im, n);
    multiply_planar<V>(ws, ws.A6, ws.T1, ws.T2);
    add_three_and_identity<V>(ws, ws.T2, b[6], ws.A6, b[4], ws.A4, b[2], ws.A2, b[0]);

    // P = V - U into T1, Q = U + V over V.
    for (std::uint64_t e = 0; e < n; e += lanes<V>) {
        for (auto [p, u, v] : {std::tuple{ws.T1.re, ws.T3.re, ws.T2.re},
                               std::tuple{ws.T1.im, ws.T3.im, ws.T2.im}}) {
            const V u_e = load<V>(u + e);
            const V v_e = load<V>(v + e);
            store(p + e, v_e - u_e);
            store(v + e, u_e + v_e);
        }
    }
}

/// The n entries of X from offset `start` divided by the pivot, as
/// divide_by_pivot divides each.
template <class V>
[[gnu::always_inline]] inline void divide_row(Planar X, std::uint64_t start, std::uint64_t n,
                                              const PivotDivision& pivot) {
    for (std::uint64_t e = start; e < start + n; e += lanes<V>) {
        V c = load<V>(X.re + e);
        V d = load<V>(X.im + e);
        divide_parts(pivot, c, d);
        store(X.re + e, c);
        store(X.im + e, d);
    }
}

/// X[k_start + e] -= f * X[i_start + e] for e < n: one row of the sweep minus
/// f times the pivot row, each entry as subtract(x, multiply(f, p)).
template <class V>
[[gnu::always_inline]] inline void eliminate_row(Planar X, std::uint64_t k_start,
                                                 std::uint64_t i_start, std::uint64_t n,
                                                 double f_re, double f_im) {
    for (std::uint64_t e = 0; e < n; e += lanes<V>) {
        const V p_re = load<V>(X.re + i_start + e);
        const V p_im = load<V>(X.im + i_start + e);
        store(X.re + k_start + e, load<V>(X.re + k_start + e) - (f_re * p_re - f_im * p_im));
        store(X.im + k_start + e, load<V>(X.im + k_start + e) - (f_re * p_im + f_im * p_re));
    }
}

/// Whether the squared modulus q = re^2 + im^2 of an entry is exact to a few
/// rounding errors: no part overflows or is lost to underflow. Then sqrt(q)
/// and hypot(re, im) agree to within four units of 2^-53, relatively.
inline bool well_scaled(double re, double im, double q) {
    return (q >= 0x1p-999 && q <= 0x1p1000) || (re == 0.0 && im == 0.0);
}

/// The pivot row of column i: the row j >= i whose entry has the largest
/// hypot modulus, the first of equal ones, as solve_linear_system picks it.
/// Squared moduli decide when the largest exceeds all others by a factor
/// (1 - 2^-44) that the rounding of hypot cannot undo; otherwise, and for
/// entries that are not well scaled, the hypot moduli are compared.
inline std::uint64_t pivot_row(Planar P, std::uint64_t ld, std::uint64_t m, std::uint64_t i) {
    const auto squared = [&](std::uint64_t j) {
        const double re = P.re[j * ld + i];
        const double im = P.im[j * ld + i];
        return re * re + im * im;
    };
    std::uint64_t best_row = i;
    double best = squared(i);
    bool decided = true;
    for (std::uint64_t j = i; j < m; ++j) {
        const double q = squared(j);
        decided = decided && well_scaled(P.re[j * ld + i], P.im[j * ld + i], q);
        if (q > best) {
            best = q;
            best_row = j;
        }
    }
    if (decided && best > 0.0) {
        const double bound = best * (1.0 - 0x1p-44);
        for (std::uint64_t j = i; j < m; ++j) {
            decided = decided && (j == best_row || squared(j) <= bound);
        }
    }
    if (decided) {
        return best_row;  // best = 0: every entry is zero, the first is kept
    }
    best_row = i;
    best = std::hypot(P.re[i * ld + i], P.im[i * ld + i]);
    for (std::uint64_t j = i + 1; j < m; ++j) {
        const double modulus = std::hypot(P.re[j * ld + i], P.im[j * ld + i]);
        if (modulus > best) {
            best = modulus;
            best_row = j;
        }
    }
    return best_row;
}

/// Solves P X = Q (P in T1, Q in T2) by the Gauss-Jordan sweep of
/// solve_linear_system, leaving X in T2. At step i only the columns of P
/// beyond i are still read by later steps, so P's rows are divided and
/// eliminated from the vector holding column i + 1 on; all of Q is.
template <class V>
[[gnu::always_inline]] inline void solve_planar(PadeWorkspace& ws) {
    const std::uint64_t m = ws.m;
    const std::uint64_t ld = ws.ld;
    const Planar P = ws.T1;
    const Planar Q = ws.T2;
    for (std::uint64_t i = 0; i < m; ++i) {
        if (i + 1 < m) {
            const std::uint64_t best_row = pivot_row(P, ld, m, i);
            if (best_row != i) {
                for (double* plane : {P.re, P.im, Q.re, Q.im}) {
                    std::swap_ranges(plane + i * ld, plane + (i + 1) * ld, plane + best_row * ld);
                }
            }
        }
        const PivotDivision pivot = pivot_division(Complex(P.re[i * ld + i], P.im[i * ld + i]));
        const std::uint64_t live = (i + 1) / lanes<V> * lanes<V>;
        divide_row<V>(P, i * ld + live, ld - live, pivot);
        divide_row<V>(Q, i * ld, ld, pivot);
        for (std::uint64_t k = 0; k < m; ++k) {
            const double f_re = P.re[k * ld + i];
            const double f_im = P.im[k * ld + i];
            if (k == i || (f_re == 0.0 && f_im == 0.0)) {
                continue;
            }
            eliminate_row<V>(P, k * ld + live, i * ld + live, ld - live, f_re, f_im);
            eliminate_row<V>(Q, k * ld, i * ld, ld, f_re, f_im);
        }
    }
}

/// Square roots of the lanes, two at a time by SSE2 (every x86-64 processor
/// has it; the scalar sqrt of the library may not be vectorised).
template <class V>
[[gnu::always_inline]] inline V sqrt_lanes(const V& q) {
    V v = q;
    for (std::uint64_t l = 0; l < lanes<V>; l += 2) {
        __m128d pair;
        __builtin_memcpy(&pair, reinterpret_cast<const double*>(&v) + l, sizeof pair);
        pair = _mm_sqrt_pd(pair);
        __builtin_memcpy(reinterpret_cast<double*>(&v) + l, &pair, sizeof pair);
    }
    return v;
}

/// Lane masks of a vector type: 64-bit integers.
template <class V>
using Bits = decltype(V{} < V{});

/// The lane indices that take the even (real) or odd (imaginary) doubles
/// of two vectors of interleaved entries, and their inverse.
template <class V>
[[gnu::always_inline]] inline Bits<V> deinterleave_indices(std::int64_t part) {
    Bits<V> index;
    for (std::uint64_t l = 0; l < lanes<V>; ++l) {
        index[l] = static_cast<std::int64_t>(2 * l) + part;
    }
    return index;
}

template <class V>
[[gnu::always_inline]] inline Bits<V> interleave_indices(std::int64_t half) {
    Bits<V> index;
    constexpr auto w = static_cast<std::int64_t>(lanes<V>);
    for (std::int64_t l = 0; l < w; ++l) {
        index[l] = half * (w / 2) + l / 2 + (l % 2) * w;
    }
    return index;
}

/// The interleaved m x m matrix A (row length m) as planes of row length
/// ld, with zero padding.
template <class V>
[[gnu::always_inline]] inline void load_planar(const Complex* A, std::uint64_t m, Planar X,
                                               std::uint64_t ld) {
    constexpr std::uint64_t W = lanes<V>;
    const Bits<V> even = deinterleave_indices<V>(0);
    const Bits<V> odd = deinterleave_indices<V>(1);
    for (std::uint64_t r = 0; r < m; ++r) {
        const double* row = reinterpret_cast<const double*>(A + r * m);
        std::uint64_t c = 0;
        for (; c + W <= m; c += W) {
            const V first = load<V>(row + 2 * c);
            const V second = load<V>(row + 2 * c + W);
            store(X.re + r * ld + c, __builtin_shuffle(first, second, even));
            store(X.im + r * ld + c, __builtin_shuffle(first, second, odd));
        }
        for (; c < ld; ++c) {
            X.re[r * ld + c] = c < m ? row[2 * c] : 0.0;
            X.im[r * ld + c] = c < m ? row[2 * c + 1] : 0.0;
        }
    }
}

/// The planes of X (row length ld) written out as the interleaved m x m
/// matrix A (row length m).
template <class V>
[[gnu::always_inline]] inline void store_interleaved(Planar X, std::uint64_t ld, Complex* A,
                                                     std::uint64_t m) {
    constexpr std::uint64_t W = lanes<V>;
    const Bits<V> low = interleave_indices<V>(0);
    const Bits<V> high = interleave_indices<V>(1);
    for (std::uint64_t r = 0; r < m; ++r) {
        double* row = reinterpret_cast<double*>(A + r * m);
        std::uint64_t c = 0;
        for (; c + W <= m; c += W) {
            const V re = load<V>(X.re + r * ld + c);
            const V im = load<V>(X.im + r * ld + c);
            store(row + 2 * c, __builtin_shuffle(re, im, low));
            store(row + 2 * c + W, __builtin_shuffle(re, im, high));
        }
        for (; c < m; ++c) {
            row[2 * c] = X.re[r * ld + c];
            row[2 * c + 1] = X.im[r * ld + c];
        }
    }
}
/// One bit per lane: 1 where an entry is not well scaled for the norm
/// estimate below, i.e. where neither part is zero-or-in-range: the larger
/// of |re| and |im| must lie in [2^-499, 2^500), or both must be zero, so
/// that re^2 + im^2 neither overflows nor loses its larger term to underflow.
/// Formed from the exponent fields with integer arithmetic alone.
template <class V>
[[gnu::always_inline]] inline Bits<V> badly_scaled(const V& re, const V& im) {
    using U = Bits<V>;
    constexpr std::int64_t magnitude = 0x7fff'ffff'ffff'ffff;
    const U re_bits = std::bit_cast<U>(re) & magnitude;
    const U im_bits = std::bit_cast<U>(im) & magnitude;
    // For 0 <= x, y < 2^62 the sign bit of x - y is set exactly when x < y.
    const auto less = [](const U& x, std::int64_t y) { return (x - y) >> 63 & 1; };
    const auto greater = [](const U& x, std::int64_t y) { return (y - x) >> 63 & 1; };
    const U re_exponent = re_bits >> 52;
    const U im_exponent = im_bits >> 52;
    const U too_large = greater(re_exponent, 1522) | greater(im_exponent, 1522);
    const U too_small = less(re_exponent, 524) & less(im_exponent, 524);
    const U zero = less(re_bits | im_bits, 1);
    return too_large | (too_small & (zero ^ 1));
}

/// The squaring count of A (the unscaled matrix in the workspace) from
/// estimated column sums, sqrt(re^2 + im^2) in place of hypot(re, im), or -1
/// when the estimate cannot settle it. For well-scaled entries each estimated
/// sum lies within (2m + 4) units of 2^-53 of the exact one, relatively, and
/// so does their largest; the count is returned only when every norm within
/// (4m + 64) 2^-48 of the estimate lies strictly between the same two
/// thresholds theta_13 2^(s-1) and theta_13 2^s, where squaring_count is s
/// for the exact norm too.
template <class V>
[[gnu::always_inline]] inline std::int32_t estimated_squaring_count(const PadeWorkspace& ws) {
    const std::uint64_t m = ws.m;
    const std::uint64_t ld = ws.ld;
    double largest = 0.0;
    Bits<V> bad = {};
    for (std::uint64_t c0 = 0; c0 < ld; c0 += lanes<V>) {
        V sum = {};
        for (std::uint64_t r = 0; r < m; ++r) {
            const V re = load<V>(ws.A.re + r * ld + c0);
            const V im = load<V>(ws.A.im + r * ld + c0);
            bad |= badly_scaled(re, im);
            sum = sum + sqrt_lanes(re * re + im * im);
        }
        for (std::uint64_t l = 0; l < lanes<V>; ++l) {
            largest = std::max(largest, sum[l]);
        }
    }
    for (std::uint64_t l = 0; l < lanes<V>; ++l) {
        if (bad[l] != 0) {
            return -1;
        }
    }
    const double delta = static_cast<double>(4 * m + 64) * 0x1p-48;
    const std::int32_t s = squaring_count(largest);
    const bool below = largest * (1.0 + delta) < std::ldexp(theta_13, s);
    const bool above = s == 0 || largest * (1.0 - delta) > std::ldexp(theta_13, s - 1);
    return below && above ? s : -1;
}

/// exp(A) for m >= 2, written back into A's storage: A is loaded into the
/// workspace, its squaring count s found (a matrix of NaNs for a non-finite
/// 1-norm), A scaled by 2^-s, the approximant solved for and squared s times.
template <class V>
[[gnu::always_inline]] inline void exponential_planar(Complex* A, std::uint64_t m) {
    const std::uint64_t ld = (m + lanes<V> - 1) / lanes<V> * lanes<V>;
    PadeWorkspace ws(m, ld);
    load_planar<V>(A, m, ws.A, ld);
    std::int32_t s = estimated_squaring_count<V>(ws);
    if (s < 0) {
        const double norm = one_norm(A, m);
        if (!std::isfinite(norm)) {
            // An infinite column sum: no meaningful scaling exists.
            constexpr double nan = std::numeric_limits<double>::quiet_NaN();
            std::fill(A, A + m * m, Complex(nan, nan));
            return;
        }
        s = squaring_count(norm);
    }
    const double factor = std::ldexp(1.0, s);
    for (double* plane : {ws.A.re, ws.A.im}) {
        for (std::uint64_t e = 0; e < m * ld; e += lanes<V>) {
            store(plane + e, load<V>(plane + e) / factor);
        }
    }
    pade_13_halves<V>(ws);
    solve_planar<V>(ws);
    Planar R = ws.T2;
    Planar spare = ws.T3;
    for (std::int32_t squaring = 0; squaring < s; ++squaring) {
        multiply_planar<V>(ws, R, R, spare);
        std::swap(R, spare);
    }
    store_interleaved<V>(R, ld, A, m);
}

__attribute__((target("avx512f"))) void exponential_avx512(Complex* A, std::uint64_t m) {
    exponential_planar<Vec8>(A, m);
}

__attribute__((target("avx2"))) void exponential_avx2(Complex* A, std::uint64_t m) {
    exponential_planar<Vec4>(A, m);
}

void exponential_generic(Complex* A, std::uint64_t m) {
    exponential_planar<Vec2>(A, m);
}

}  // namespace

Matrix matrix_exponential(Matrix A, std::uint64_t m) {
    return matrix_exponential(std::move(A), m, detected_kernel_isa());
}

Matrix matrix_exponential(Matrix A, std::uint64_t m, KernelIsa isa) {
    if (m == 0) {
        return zero_matrix(0);
    }
    if (m == 1) {
        A[0] = scalar_exponential(A[0]);
        return A;
    }
    switch (isa) {
        case KernelIsa::avx512:
            exponential_avx512(A.get(), m);
            break;
        case KernelIsa::avx2:
            exponential_avx2(A.get(), m);
            break;
        case KernelIsa::generic:
            exponential_generic(A.get(), m);
            break;
    }
    return A;
}

}  // namespace velmora
