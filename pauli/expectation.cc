#include "pauli/expectation.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include <immintrin.h>

#include "parallel/ranks.h"
#include "parallel/reduce.h"
#include "pauli/isa.h"
#include "pauli/kernel.h"

namespace velmora {

namespace {

// The expectation of a Pauli sum streams over psi once per flip mask: with
// G_f(x) = sum_w c_w i^popcount(y_w) (-1)^popcount(s_w & x) over the words w
// of flip mask f (s_w = y_w | z_w, words in the operator's order),
//   <psi|H|psi> = sum_f sum_x conj(psi[x ^ f]) psi[x] G_f(x).
// G_f is formed tile by tile: for x = base + i in a tile of `tile` entries,
// (-1)^popcount(s & x) = (-1)^popcount(s & base) * (-1)^popcount(s & i), so a
// word whose sign mask lies above the tile is a constant on it, one whose
// mask lies inside the tile is the same table on every tile, and only words
// with bits on both sides cost an exact product and an addition per entry.

typedef double Pack __attribute__((vector_size(64)));
typedef double HalfPack __attribute__((vector_size(32)));

/// Entries per tile of G.
constexpr std::uint64_t expectation_tile = 256;

/// A word as the expectation uses it: its sign mask and c i^popcount(y).
struct ExpectationWord {
    std::uint64_t sign_mask;
    Complex weight;
};

/// The words of one flip mask, split by where their sign masks have bits:
/// only above the tile (a constant on each tile), only inside it (one table
/// for all tiles), or both. On a tile G = ((L + C) + m_1) + ... + m_k: L the
/// inside words' table, C the sum of the constants (each part formed in the
/// operator's order, absent parts left out) and m_j the mixed words in order.
struct FlipGroup {
    std::uint64_t flip;
    bool complex_weights;  // some weight has a nonzero imaginary part
    std::vector<ExpectationWord> constant;
    std::vector<ExpectationWord> mixed;
    std::vector<double> mixed_tau;  // per mixed word, a tile of +-1.0
    std::vector<double> inside_re;  // L, a tile (empty: no inside words)
    std::vector<double> inside_im;
};

/// c or -c for the parity of mask & bits.
inline Complex signed_weight(const ExpectationWord& w, std::uint64_t bits) {
    return (__builtin_popcountll(w.sign_mask & bits) & 1) ? Complex(-w.weight.real(), -w.weight.imag())
                                                          : w.weight;
}

std::vector<FlipGroup> flip_groups(const Hamiltonian& ham, std::uint64_t tile) {
    const std::vector<PauliWord>& all = ham.words();
    std::vector<std::size_t> order(all.size());
    for (std::size_t t = 0; t < order.size(); ++t) order[t] = t;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return all[a].term.flip_mask < all[b].term.flip_mask;
    });
    const std::uint64_t inside = tile - 1;
    std::vector<FlipGroup> groups;
    for (std::size_t index : order) {
        const PauliTerm& t = all[index].term;
        const ExpectationWord word{t.y_mask | t.z_mask, term_weights(t).even};
        if (groups.empty() || groups.back().flip != t.flip_mask) {
            groups.push_back({});
            groups.back().flip = t.flip_mask;
            groups.back().complex_weights = false;
        }
        FlipGroup& g = groups.back();
        g.complex_weights = g.complex_weights || word.weight.imag() != 0.0;
        if ((word.sign_mask & inside) == 0) {
            g.constant.push_back(word);
        } else if ((word.sign_mask & ~inside) == 0) {
            const bool first = g.inside_re.empty();
            g.inside_re.resize(tile, 0.0);
            g.inside_im.resize(tile, 0.0);
            for (std::uint64_t i = 0; i < tile; ++i) {
                const Complex c = signed_weight(word, i);
                g.inside_re[i] = first ? c.real() : g.inside_re[i] + c.real();
                g.inside_im[i] = first ? c.imag() : g.inside_im[i] + c.imag();
            }
        } else {
            g.mixed.push_back(word);
            for (std::uint64_t i = 0; i < tile; ++i) {
                g.mixed_tau.push_back((__builtin_popcountll(word.sign_mask & i) & 1) ? -1.0 : 1.0);
            }
        }
    }
    return groups;
}

/// The sums of one group over one chunk, in four accumulators of eight lanes
/// (each kept as four sub-accumulators, merged lane by lane at the end):
/// with A = psi[x ^ f] and B = psi[x] as interleaved parts, ab = A * B and
/// abs = A * swap(B) per part, acc[0] += Re G * ab, acc[1] += Re G * abs,
/// acc[2] += Im G * ab, acc[3] += Im G * abs. Then
///   Re sum conj(A) B G = (all lanes of acc[0]) - (even - odd lanes of acc[3]),
///   Im sum conj(A) B G = (even - odd lanes of acc[1]) + (all lanes of acc[2]).
struct GroupLanes {
    double acc[4][4][8];  // [sum][sub-accumulator][lane]
};

inline void spread4(const double* g, Pack& out) {
    HalfPack h;
    std::memcpy(&h, g, sizeof h);
    out = __builtin_shufflevector(h, h, 0, 0, 1, 1, 2, 2, 3, 3);
}

/// What one tile sweep needs besides its accumulators.
struct TileInput {
    const double* psi;
    const double* partner;  // the amplitudes x ^ flip are read from here
    std::uint64_t high;  // flip & ~3
    const double* g_re;
    const double* g_im;
    std::uint64_t g_step;
};

/// Four amplitudes x .. x + 3 (entry i of the tile) into sub-accumulator u;
/// F3 = flip & 3 places the partners inside a Pack. The shuffles take their
/// lanes from constants: a permutation chosen at run time has no AVX2
/// instruction for eight doubles, and was taken lane by lane there.
template <bool Diagonal, bool ComplexG, int F3>
inline __attribute__((always_inline)) void accumulate_pack(const TileInput& in, std::uint64_t x,
                                                           std::uint64_t i, Pack (*acc)[4],
                                                           int u) {
    Pack b;
    std::memcpy(&b, in.psi + 2 * x, sizeof b);
    Pack g;
    spread4(in.g_re + i * in.g_step, g);
    Pack gi;
    if (ComplexG) {
        spread4(in.g_im + i * in.g_step, gi);
    }
    if (Diagonal) {
        const Pack bb = b * b;
        acc[0][u] = acc[0][u] + g * bb;
        if (ComplexG) {
            acc[2][u] = acc[2][u] + gi * bb;
        }
        return;
    }
    Pack a;
    std::memcpy(&a, in.partner + 2 * (x ^ in.high), sizeof a);
    if constexpr (F3 != 0) {
        a = __builtin_shufflevector(a, a, 2 * (0 ^ F3), 2 * (0 ^ F3) + 1, 2 * (1 ^ F3),
                                    2 * (1 ^ F3) + 1, 2 * (2 ^ F3), 2 * (2 ^ F3) + 1,
                                    2 * (3 ^ F3), 2 * (3 ^ F3) + 1);
    }
    const Pack ab = a * b;
    const Pack abs = a * __builtin_shufflevector(b, b, 1, 0, 3, 2, 5, 4, 7, 6);
    acc[0][u] = acc[0][u] + g * ab;
    acc[1][u] = acc[1][u] + g * abs;
    if (ComplexG) {
        acc[2][u] = acc[2][u] + gi * ab;
        acc[3][u] = acc[3][u] + gi * abs;
    }
}

/// Pack p of the tile goes to sub-accumulator p mod 4, which keeps four
/// independent chains of additions per sum.
template <bool Diagonal, bool ComplexG, int F3>
inline __attribute__((always_inline)) void accumulate_packs(const TileInput& in,
                                                            std::uint64_t base,
                                                            std::uint64_t entries,
                                                            Pack (*acc)[4]) {
    std::uint64_t i = 0;
    for (; i + 16 <= entries; i += 16) {
        accumulate_pack<Diagonal, ComplexG, F3>(in, base + i, i, acc, 0);
        accumulate_pack<Diagonal, ComplexG, F3>(in, base + i + 4, i + 4, acc, 1);
        accumulate_pack<Diagonal, ComplexG, F3>(in, base + i + 8, i + 8, acc, 2);
        accumulate_pack<Diagonal, ComplexG, F3>(in, base + i + 12, i + 12, acc, 3);
    }
    if (i + 4 <= entries) accumulate_pack<Diagonal, ComplexG, F3>(in, base + i, i, acc, 0);
    if (i + 8 <= entries) {
        accumulate_pack<Diagonal, ComplexG, F3>(in, base + i + 4, i + 4, acc, 1);
    }
    if (i + 12 <= entries) {
        accumulate_pack<Diagonal, ComplexG, F3>(in, base + i + 8, i + 8, acc, 2);
    }
}

/// The packs of a flipping group, with the partners' placement F3 = flip & 3
/// fixed at compile time.
template <bool ComplexG>
inline __attribute__((always_inline)) void flipping_packs(const TileInput& in, std::uint64_t f3,
                                                          std::uint64_t base,
                                                          std::uint64_t entries,
                                                          Pack (*acc)[4]) {
    switch (f3) {
        case 0: accumulate_packs<false, ComplexG, 0>(in, base, entries, acc); break;
        case 1: accumulate_packs<false, ComplexG, 1>(in, base, entries, acc); break;
        case 2: accumulate_packs<false, ComplexG, 2>(in, base, entries, acc); break;
        default: accumulate_packs<false, ComplexG, 3>(in, base, entries, acc); break;
    }
}

// The AVX2 body of a tile: a Pack is two vectors of four doubles (amplitudes
// 0, 1 and 2, 3), the partners placed by F3 with whole-lane moves (pairs
// exchanged for F3 & 1, halves for F3 & 2), G spread with permute4x64. Each
// sub-accumulator u takes packs u, u + 4, ... as in the vector body; its
// packs are taken in a pass of their own, so that only the sums in use stay
// in registers (sixteen vectors for all four sub-accumulators of two sums
// fill AVX2's registers; the lanes and their order of addition are those of
// the vector body, so are the bits).
template <int F3>
__attribute__((target("avx2"), always_inline)) inline void place_partners_avx2(__m256d& lo,
                                                                              __m256d& hi) {
    if constexpr ((F3 & 1) != 0) {
        lo = _mm256_permute2f128_pd(lo, lo, 0x01);
        hi = _mm256_permute2f128_pd(hi, hi, 0x01);
    }
    if constexpr ((F3 & 2) != 0) {
        std::swap(lo, hi);
    }
}

template <bool Diagonal, bool ComplexG, int F3>
__attribute__((target("avx2"))) void tile_avx2(const TileInput& in, std::uint64_t base,
                                               std::uint64_t entries, double* lanes) {
    const std::uint64_t packs = entries / 4;
    for (std::uint64_t u = 0; u < 4 && u < packs; ++u) {
        // Sums 0 .. 3 of sub-accumulator u, lanes 0-3 and 4-7.
        double* sub[4] = {lanes + 0 * 32 + 8 * u, lanes + 1 * 32 + 8 * u,
                          lanes + 2 * 32 + 8 * u, lanes + 3 * 32 + 8 * u};
        __m256d s0_lo = _mm256_loadu_pd(sub[0]), s0_hi = _mm256_loadu_pd(sub[0] + 4);
        __m256d s1_lo = _mm256_setzero_pd(), s1_hi = _mm256_setzero_pd();
        __m256d s2_lo = _mm256_setzero_pd(), s2_hi = _mm256_setzero_pd();
        __m256d s3_lo = _mm256_setzero_pd(), s3_hi = _mm256_setzero_pd();
        if constexpr (!Diagonal) {
            s1_lo = _mm256_loadu_pd(sub[1]);
            s1_hi = _mm256_loadu_pd(sub[1] + 4);
        }
        if constexpr (ComplexG) {
            s2_lo = _mm256_loadu_pd(sub[2]);
            s2_hi = _mm256_loadu_pd(sub[2] + 4);
            if constexpr (!Diagonal) {
                s3_lo = _mm256_loadu_pd(sub[3]);
                s3_hi = _mm256_loadu_pd(sub[3] + 4);
            }
        }
        for (std::uint64_t p = u; p < packs; p += 4) {
            const std::uint64_t i = 4 * p;
            const std::uint64_t x = base + i;
            const __m256d b_lo = _mm256_loadu_pd(in.psi + 2 * x);
            const __m256d b_hi = _mm256_loadu_pd(in.psi + 2 * x + 4);
            const __m256d g4 = _mm256_loadu_pd(in.g_re + i * in.g_step);
            const __m256d g_lo = _mm256_permute4x64_pd(g4, 0x50);  // g0 g0 g1 g1
            const __m256d g_hi = _mm256_permute4x64_pd(g4, 0xFA);  // g2 g2 g3 g3
            __m256d gi_lo = g_lo;
            __m256d gi_hi = g_hi;
            if constexpr (ComplexG) {
                const __m256d gi4 = _mm256_loadu_pd(in.g_im + i * in.g_step);
                gi_lo = _mm256_permute4x64_pd(gi4, 0x50);
                gi_hi = _mm256_permute4x64_pd(gi4, 0xFA);
            }
            if constexpr (Diagonal) {
                const __m256d bb_lo = _mm256_mul_pd(b_lo, b_lo);
                const __m256d bb_hi = _mm256_mul_pd(b_hi, b_hi);
                s0_lo = _mm256_add_pd(s0_lo, _mm256_mul_pd(g_lo, bb_lo));
                s0_hi = _mm256_add_pd(s0_hi, _mm256_mul_pd(g_hi, bb_hi));
                if constexpr (ComplexG) {
                    s2_lo = _mm256_add_pd(s2_lo, _mm256_mul_pd(gi_lo, bb_lo));
                    s2_hi = _mm256_add_pd(s2_hi, _mm256_mul_pd(gi_hi, bb_hi));
                }
            } else {
                const double* a = in.partner + 2 * (x ^ in.high);
                __m256d a_lo = _mm256_loadu_pd(a);
                __m256d a_hi = _mm256_loadu_pd(a + 4);
                place_partners_avx2<F3>(a_lo, a_hi);
                const __m256d ab_lo = _mm256_mul_pd(a_lo, b_lo);
                const __m256d ab_hi = _mm256_mul_pd(a_hi, b_hi);
                const __m256d abs_lo = _mm256_mul_pd(a_lo, _mm256_permute_pd(b_lo, 0x5));
                const __m256d abs_hi = _mm256_mul_pd(a_hi, _mm256_permute_pd(b_hi, 0x5));
                s0_lo = _mm256_add_pd(s0_lo, _mm256_mul_pd(g_lo, ab_lo));
                s0_hi = _mm256_add_pd(s0_hi, _mm256_mul_pd(g_hi, ab_hi));
                s1_lo = _mm256_add_pd(s1_lo, _mm256_mul_pd(g_lo, abs_lo));
                s1_hi = _mm256_add_pd(s1_hi, _mm256_mul_pd(g_hi, abs_hi));
                if constexpr (ComplexG) {
                    s2_lo = _mm256_add_pd(s2_lo, _mm256_mul_pd(gi_lo, ab_lo));
                    s2_hi = _mm256_add_pd(s2_hi, _mm256_mul_pd(gi_hi, ab_hi));
                    s3_lo = _mm256_add_pd(s3_lo, _mm256_mul_pd(gi_lo, abs_lo));
                    s3_hi = _mm256_add_pd(s3_hi, _mm256_mul_pd(gi_hi, abs_hi));
                }
            }
        }
        _mm256_storeu_pd(sub[0], s0_lo);
        _mm256_storeu_pd(sub[0] + 4, s0_hi);
        if constexpr (!Diagonal) {
            _mm256_storeu_pd(sub[1], s1_lo);
            _mm256_storeu_pd(sub[1] + 4, s1_hi);
        }
        if constexpr (ComplexG) {
            _mm256_storeu_pd(sub[2], s2_lo);
            _mm256_storeu_pd(sub[2] + 4, s2_hi);
            if constexpr (!Diagonal) {
                _mm256_storeu_pd(sub[3], s3_lo);
                _mm256_storeu_pd(sub[3] + 4, s3_hi);
            }
        }
    }
}

template <bool ComplexG>
void flipping_tile_avx2(const TileInput& in, std::uint64_t f3, std::uint64_t base,
                        std::uint64_t entries, double* lanes) {
    switch (f3) {
        case 0: tile_avx2<false, ComplexG, 0>(in, base, entries, lanes); break;
        case 1: tile_avx2<false, ComplexG, 1>(in, base, entries, lanes); break;
        case 2: tile_avx2<false, ComplexG, 2>(in, base, entries, lanes); break;
        default: tile_avx2<false, ComplexG, 3>(in, base, entries, lanes); break;
    }
}

/// Adds one tile of `entries` amplitudes (a multiple of 4) starting at `base`
/// to the lanes, the partners psi[x ^ flip] read from `partner` (psi itself
/// unless the vector is split over ranks; `diagonal` when the word's flip
/// mask, before any cut to a slice, is 0); g_re[i * g_step] and g_im[i * g_step] hold G for entry i of
/// the tile (g_step 0: G is constant on the tile and the arrays hold it four
/// times; g_im is read only when `complex_g`). For flip 0 the partner is the
/// amplitude itself, and the sums 1 and 3 stay untouched (their lane
/// differences vanish exactly).
/// The vector body (Pack arithmetic as the compiler lowers it: AVX-512 where
/// the processor has it, else baseline x86-64 or the target's own vectors).
__attribute__((target_clones("avx512f", "default")))
void tile_vector(const double* psi, const double* partner, std::uint64_t base,
                 std::uint64_t entries, std::uint64_t flip, bool diagonal,
                 const double* g_re, const double* g_im, std::uint64_t g_step,
                 bool complex_g, double* lanes) {
    Pack acc[4][4];
    std::memcpy(acc, lanes, sizeof acc);
    const TileInput in{psi, partner, flip & ~std::uint64_t{3}, g_re, g_im, g_step};
    if (diagonal) {
        if (complex_g) {
            accumulate_packs<true, true, 0>(in, base, entries, acc);
        } else {
            accumulate_packs<true, false, 0>(in, base, entries, acc);
        }
    } else if (complex_g) {
        flipping_packs<true>(in, flip & 3, base, entries, acc);
    } else {
        flipping_packs<false>(in, flip & 3, base, entries, acc);
    }
    std::memcpy(lanes, acc, sizeof acc);
}

/// The tile by the body of `isa` (the AVX2 body on AVX2; the vector body
/// otherwise): the same bits.
void accumulate_tile(const double* psi, const double* partner, std::uint64_t base,
                     std::uint64_t entries, std::uint64_t flip, bool diagonal,
                     const double* g_re, const double* g_im, std::uint64_t g_step,
                     bool complex_g, double* lanes, KernelIsa isa) {
    if (isa != KernelIsa::avx2) {
        tile_vector(psi, partner, base, entries, flip, diagonal, g_re, g_im, g_step, complex_g,
                    lanes);
        return;
    }
    const TileInput in{psi, partner, flip & ~std::uint64_t{3}, g_re, g_im, g_step};
    if (diagonal) {
        if (complex_g) {
            tile_avx2<true, true, 0>(in, base, entries, lanes);
        } else {
            tile_avx2<true, false, 0>(in, base, entries, lanes);
        }
    } else if (complex_g) {
        flipping_tile_avx2<true>(in, flip & 3, base, entries, lanes);
    } else {
        flipping_tile_avx2<false>(in, flip & 3, base, entries, lanes);
    }
}

/// The same sums for a state of fewer than four amplitudes, entry by entry,
/// into sub-accumulator 0.
void accumulate_small(const Complex* psi, std::uint64_t n, std::uint64_t flip, const double* g_re,
                      const double* g_im, double* lanes) {
    for (std::uint64_t x = 0; x < n; ++x) {
        const Complex a = psi[x ^ flip];
        const Complex b = psi[x];
        const double ab[2] = {a.real() * b.real(), a.imag() * b.imag()};
        const double abs[2] = {a.real() * b.imag(), a.imag() * b.real()};
        for (int part = 0; part < 2; ++part) {
            const std::uint64_t l = (2 * x + part) % 8;
            lanes[0 * 32 + l] = lanes[0 * 32 + l] + g_re[x] * ab[part];
            lanes[1 * 32 + l] = lanes[1 * 32 + l] + g_re[x] * abs[part];
            lanes[2 * 32 + l] = lanes[2 * 32 + l] + g_im[x] * ab[part];
            lanes[3 * 32 + l] = lanes[3 * 32 + l] + g_im[x] * abs[part];
        }
    }
}

/// The four sub-accumulators of one sum, lane by lane, in a fixed tree.
inline void merge_subs(const double (*sub)[8], double* out) {
    for (int l = 0; l < 8; ++l) {
        out[l] = (sub[0][l] + sub[1][l]) + (sub[2][l] + sub[3][l]);
    }
}

inline double all_lanes(const double* a) {
    return ((a[0] + a[1]) + (a[2] + a[3])) + ((a[4] + a[5]) + (a[6] + a[7]));
}

inline double even_minus_odd(const double* a) {
    return ((a[0] + a[2]) + (a[4] + a[6])) - ((a[1] + a[3]) + (a[5] + a[7]));
}

}  // namespace

namespace {

/// States whose sums one sweep over a chunk forms together: G is formed once
/// per tile for all of them.
constexpr std::size_t expectation_states = 8;

/// totals[s] plus the sums of groups[first .. last) over the chunk
/// [begin, end) of state s, for the `count` (at most expectation_states)
/// states s, added group by group in order. The amplitudes x ^ flip come from
/// partners[s], which holds the slice of state s with the groups' high flip
/// bits (the state itself for one process); `offset` is the index of the
/// states' first amplitude in the whole vector and `low` the index mask of a
/// slice. G does not depend on the state: each tile's G serves every state,
/// and each state gets the operations it gets alone.
void chunk_expectation(const FlipGroup* gs, std::size_t first, std::size_t last,
                       const double* const* parts, const double* const* partners,
                       std::size_t count, std::uint64_t offset, std::uint64_t low,
                       std::uint64_t tile, std::uint64_t begin, std::uint64_t end,
                       KernelIsa isa, Complex* totals) {
    alignas(64) double g_re[expectation_tile];
    alignas(64) double g_im[expectation_tile];
    GroupLanes lanes[expectation_states];
    for (std::size_t k = first; k < last; ++k) {
        const FlipGroup& group = gs[k];
        const bool has_inside = !group.inside_re.empty();
        const bool has_constant = !group.constant.empty();
        for (std::size_t s = 0; s < count; ++s) lanes[s] = GroupLanes{};
        for (std::uint64_t base = begin; base < end; base += tile) {
            Complex c(0.0, 0.0);
            for (std::size_t q = 0; q < group.constant.size(); ++q) {
                const Complex w = signed_weight(group.constant[q], offset + base);
                c = q == 0 ? w : add(c, w);
            }
            const double* re = g_re;
            const double* im = g_im;
            std::uint64_t step = 1;
            if (group.mixed.empty() && !has_inside) {
                std::fill(g_re, g_re + 4, c.real());
                std::fill(g_im, g_im + 4, c.imag());
                step = 0;
            } else if (group.mixed.empty() && !has_constant) {
                re = group.inside_re.data();
                im = group.inside_im.data();
            } else {
                const double* l_re = group.inside_re.data();
                const double* l_im = group.inside_im.data();
                for (std::uint64_t i = 0; i < tile; ++i) {
                    g_re[i] = has_inside ? (has_constant ? l_re[i] + c.real() : l_re[i])
                                         : c.real();
                    g_im[i] = has_inside ? (has_constant ? l_im[i] + c.imag() : l_im[i])
                                         : c.imag();
                }
                for (std::size_t q = 0; q < group.mixed.size(); ++q) {
                    const Complex w = signed_weight(group.mixed[q], offset + base);
                    const double* tau = group.mixed_tau.data() + q * tile;
                    for (std::uint64_t i = 0; i < tile; ++i) {
                        g_re[i] = g_re[i] + w.real() * tau[i];
                        g_im[i] = g_im[i] + w.imag() * tau[i];
                    }
                }
            }
            for (std::size_t s = 0; s < count; ++s) {
                if (tile % 4 == 0) {
                    accumulate_tile(parts[s], partners[s], base, tile, group.flip & low,
                                    group.flip == 0, re, im, step, group.complex_weights,
                                    &lanes[s].acc[0][0][0], isa);
                } else {
                    // Fewer than four amplitudes: G written out for each.
                    double s_re[4];
                    double s_im[4];
                    for (std::uint64_t i = 0; i < tile; ++i) {
                        s_re[i] = re[i * step];
                        s_im[i] = im[i * step];
                    }
                    accumulate_small(reinterpret_cast<const Complex*>(parts[s]), tile,
                                     group.flip, s_re, s_im, &lanes[s].acc[0][0][0]);
                }
            }
        }
        for (std::size_t s = 0; s < count; ++s) {
            double sums[4][8];
            for (int kind = 0; kind < 4; ++kind) merge_subs(lanes[s].acc[kind], sums[kind]);
            const double sum_re = all_lanes(sums[0]) - even_minus_odd(sums[3]);
            const double sum_im = group.flip == 0
                                      ? all_lanes(sums[2])
                                      : even_minus_odd(sums[1]) + all_lanes(sums[2]);
            totals[s] = add(totals[s], Complex(sum_re, sum_im));
        }
    }
}

}  // namespace

Complex pauli_expectation(const Hamiltonian& ham, const Complex* psi, std::uint64_t n,
                          std::int32_t num_threads, Ranks* ranks) {
    if (ranks == nullptr) {
        Complex result;
        pauli_expectation_batch(ham, &psi, 1, n, num_threads, &result);
        return result;
    }
    if (ham.words().empty() || n == 0) {
        return Complex(0.0, 0.0);
    }
    const std::uint64_t tile = std::min(n, expectation_tile);
    const std::vector<FlipGroup> groups = flip_groups(ham, tile);
    const KernelIsa isa = ham.kernel_isa();
    const double* parts = reinterpret_cast<const double*>(psi);
    const FlipGroup* gs = groups.data();
    const std::size_t num_groups = groups.size();
    // Over ranks: the groups in runs of one high flip part each (ascending
    // flip masks make each high part one run), every chunk's running total
    // carried from run to run, so each chunk adds its groups in the same order.
    std::vector<Complex> totals(chunk_count(n), Complex(0.0, 0.0));
    Complex* out = totals.data();
    const std::uint64_t offset = ranks->offset();
    const std::uint64_t low = n - 1;
    const unsigned shift = static_cast<unsigned>(__builtin_ctzll(n));
    for (std::size_t first = 0; first < num_groups;) {
        const std::uint64_t pattern = gs[first].flip >> shift;
        std::size_t last = first;
        while (last < num_groups && (gs[last].flip >> shift) == pattern) ++last;
        const double* partner = parts;
        if (pattern != 0) {
            ranks->start_exchange(pattern, psi, 0);
            partner = reinterpret_cast<const double*>(ranks->finish_exchange(0));
        }
        for_each_chunk(n, num_threads, [=](std::uint64_t begin, std::uint64_t end) {
            chunk_expectation(gs, first, last, &parts, &partner, 1, offset, low, tile, begin, end,
                              isa, &out[begin / reduction_chunk]);
        });
        first = last;
    }
    return ranks->sum(pairwise_sum(totals.data(), totals.size(),
                                   [](Complex a, Complex b) { return add(a, b); }));
}

void pauli_expectation_batch(const Hamiltonian& ham, const Complex* const* psi,
                             std::size_t count, std::uint64_t n, std::int32_t num_threads,
                             Complex* results) {
    if (ham.words().empty() || n == 0) {
        std::fill(results, results + count, Complex(0.0, 0.0));
        return;
    }
    if (count == 0) {
        return;
    }
    const std::uint64_t tile = std::min(n, expectation_tile);
    const std::vector<FlipGroup> groups = flip_groups(ham, tile);
    const KernelIsa isa = ham.kernel_isa();
    const FlipGroup* gs = groups.data();
    const std::size_t num_groups = groups.size();
    std::vector<const double*> parts(count);
    for (std::size_t s = 0; s < count; ++s) parts[s] = reinterpret_cast<const double*>(psi[s]);
    // Each chunk's sum of every state (stored state-major), then per state
    // the chunks' sums in the pairwise tree: the chunked sum of one state.
    // The chunks are swept for the states states_per_sweep takes together.
    const std::uint64_t chunks = chunk_count(n);
    std::vector<Complex> totals(count * chunks, Complex(0.0, 0.0));
    Complex* out = totals.data();
    const double* const* states = parts.data();
    const std::size_t per_sweep = states_per_sweep(n);
    for (std::size_t first = 0; first < count; first += per_sweep) {
        const std::size_t last = std::min(count, first + per_sweep);
        for_each_chunk(n, num_threads, [=](std::uint64_t begin, std::uint64_t end) {
            const std::uint64_t c = begin / reduction_chunk;
            for (std::size_t s0 = first; s0 < last; s0 += expectation_states) {
                const std::size_t here = std::min(expectation_states, last - s0);
                Complex sums[expectation_states];
                std::fill(sums, sums + here, Complex(0.0, 0.0));
                chunk_expectation(gs, 0, num_groups, states + s0, states + s0, here, 0,
                                  ~std::uint64_t{0}, tile, begin, end, isa, sums);
                for (std::size_t s = 0; s < here; ++s) out[(s0 + s) * chunks + c] = sums[s];
            }
        });
    }
    for (std::size_t s = 0; s < count; ++s) {
        results[s] = pairwise_sum(out + s * chunks, chunks,
                                  [](Complex a, Complex b) { return add(a, b); });
    }
}

}  // namespace velmora
