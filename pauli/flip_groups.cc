#include "pauli/flip_groups.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>
#include <stdexcept>

#include "pauli/kernel.h"
#include "parallel/policy.h"

namespace velmora {

namespace {

inline int parity(std::uint64_t bits) {
    return __builtin_popcountll(bits) & 1;
}

/// The bits of x under `mask`, gathered to the low end in order.
inline std::uint64_t gather_bits(std::uint64_t x, std::uint64_t mask) {
    std::uint64_t out = 0;
    for (int k = 0; mask != 0; ++k) {
        const std::uint64_t low = mask & (~mask + 1);
        if (x & low) out |= std::uint64_t{1} << k;
        mask ^= low;
    }
    return out;
}

/// The low bits of x placed at the positions of `mask`, in order.
inline std::uint64_t scatter_bits(std::uint64_t x, std::uint64_t mask) {
    std::uint64_t out = 0;
    for (int k = 0; mask != 0; ++k) {
        const std::uint64_t low = mask & (~mask + 1);
        if ((x >> k) & 1) out |= low;
        mask ^= low;
    }
    return out;
}

inline Complex negated(Complex z) {
    return Complex(-z.real(), -z.imag());
}

/// g's factor for input index i: T at i's pattern under D, negated when s_0
/// & i has odd parity.
inline Complex factor(const FlipGroup& g, std::uint64_t i) {
    const Complex t = g.table[gather_bits(i, g.spread)];
    return parity(g.sign & i) ? negated(t) : t;
}

inline bool is_zero(Complex a) {
    return a.real() == 0.0 && a.imag() == 0.0;
}

/// out = b + out for b = g x, as every body forms it (nothing for g = 0).
inline void add_term(const FlipGroup& g, Complex a, const double* x, double* out) {
    if (is_zero(a)) return;
    double b_re;
    double b_im;
    if (g.real) {
        b_re = a.real() * x[0];
        b_im = a.real() * x[1];
    } else {
        b_re = a.real() * x[0] - a.imag() * x[1];
        b_im = a.real() * x[1] + a.imag() * x[0];
    }
    out[0] = b_re + out[0];
    out[1] = b_im + out[1];
}

// ---------------------------------------------------------------------------
// The chunked bodies. The output is taken in blocks of group_block amplitudes
// (the blocks split over the team), and the groups in runs of at most max_run
// consecutive groups whose flip masks agree above the block: every group of a
// run reads its input from the same partner block, which is then fetched once
// per run rather than once per group (a molecular Hamiltonian on 16 qubits has
// 2,196 groups, about 34 per partner block). A run is applied chunk by chunk
// (8 output amplitudes), the chunk's sums staying in registers while every
// group of the run adds to them in order.
//
// Per group and chunk at j the input chunk starts at i0 = j ^ (flip & ~7),
// its lanes permuted by flip & 7, and the factors are the plane of the
// pattern h of i0 under the group's spread above bit 2 and of the parity of
// s_0's bits above bit 2 on i0: the AVX2 body gathers h with pext; the
// generic body carries h and the parity from chunk to chunk (a run of bits of
// j from bit 3 up flips: h ^= 2^popcount(D & run) - 1, the run meeting the
// lowest bits of D above 2; parity ^= parity(s_0 & run)). A plane whose
// factors are all zero skips the group on that chunk; one with some zero
// factors keeps those lanes' sums.

/// Output amplitudes per block of the grouped product.
constexpr std::uint64_t group_block = 1024;

/// Groups of one run share their flip masks' bits from this one up: the
/// partner block of a block.
constexpr unsigned run_shift = 10;
static_assert(std::uint64_t{1} << run_shift == group_block);

/// Groups applied together to a chunk at most (a longer run is split).
constexpr std::size_t max_run = 8;

/// A group as the chunk loops read it.
struct ChunkGroup {
    std::uint64_t high_flip;   // flip & ~7
    std::uint64_t high_spread;
    std::uint64_t high_sign;
    const double* planes;
    const std::uint8_t* classes;
    std::uint64_t plane_doubles;
    std::uint32_t low_flip;  // flip & 7
    bool real;
};

/// The planes of a run's groups at the current chunk, carried from chunk to
/// chunk of a block.
class RunPlanes {
public:
    RunPlanes(const ChunkGroup* groups, std::size_t count, std::uint64_t j0)
        : groups_(groups), count_(count) {
        for (std::size_t g = 0; g < count; ++g) {
            const std::uint64_t i0 = (j0 ^ groups[g].high_flip) & ~std::uint64_t{7};
            index_[g] = 2 * gather_bits(i0, groups[g].high_spread) +
                        static_cast<std::uint64_t>(parity(groups[g].high_sign & i0));
        }
    }
    const double* plane(std::size_t g) const {
        return groups_[g].planes + index_[g] * groups_[g].plane_doubles;
    }
    std::uint8_t plane_class(std::size_t g) const { return groups_[g].classes[index_[g]]; }
    /// From the chunk at j to the one at j + 8.
    void advance(std::uint64_t j) {
        const std::uint64_t run = j ^ (j + group_chunk);
        for (std::size_t g = 0; g < count_; ++g) {
            const ChunkGroup& c = groups_[g];
            const std::uint64_t h_flip =
                (std::uint64_t{1} << __builtin_popcountll(c.high_spread & run)) - 1;
            index_[g] ^= (h_flip << 1) | static_cast<std::uint64_t>(parity(c.high_sign & run));
        }
    }

private:
    const ChunkGroup* groups_;
    std::size_t count_;
    std::uint64_t index_[max_run];  // 2 h + parity, per group
};

using RunBody = void (*)(const ChunkGroup*, std::size_t, const Complex* const*, Complex* const*,
                         std::size_t, std::uint64_t, std::uint64_t, bool);

// Generic body: the lanes of a chunk in plain loops (compilers vectorise them
// where they can, NEON included).
void run_generic(const ChunkGroup* groups, std::size_t count, const Complex* const* in,
                 Complex* const* out, std::size_t states, std::uint64_t j0, std::uint64_t size,
                 bool first) {
    RunPlanes planes(groups, count, j0);
    for (std::uint64_t j = j0; j < j0 + size; j += group_chunk) {
        for (std::size_t s = 0; s < states; ++s) {
            const double* src = reinterpret_cast<const double*>(in[s]);
            double* dst = reinterpret_cast<double*>(out[s]) + 2 * j;
            double acc[2 * group_chunk];
            if (first) {
                std::fill(acc, acc + 2 * group_chunk, 0.0);
            } else {
                std::memcpy(acc, dst, sizeof acc);
            }
            for (std::size_t g = 0; g < count; ++g) {
                const std::uint8_t kind = planes.plane_class(g);
                if (kind == 0) continue;
                const ChunkGroup& c = groups[g];
                const double* p = planes.plane(g);
                const double* x = src + 2 * (j ^ c.high_flip);
                for (std::uint32_t a = 0; a < group_chunk; ++a) {
                    const double g_re = p[2 * a];
                    const double g_im = c.real ? 0.0 : p[16 + 2 * a];
                    if (kind == 2 && g_re == 0.0 && g_im == 0.0) continue;
                    const std::uint32_t l = a ^ c.low_flip;
                    const double x_re = x[2 * l];
                    const double x_im = x[2 * l + 1];
                    double b_re;
                    double b_im;
                    if (c.real) {
                        b_re = g_re * x_re;
                        b_im = g_re * x_im;
                    } else {
                        b_re = g_re * x_re - g_im * x_im;
                        b_im = g_re * x_im + g_im * x_re;
                    }
                    acc[2 * a] = b_re + acc[2 * a];
                    acc[2 * a + 1] = b_im + acc[2 * a + 1];
                }
            }
            std::memcpy(dst, acc, sizeof acc);
        }
        planes.advance(j);
    }
}

/// b = g x for one vector of two amplitudes (the reference's operations), and
/// acc = b + acc, lanes with a zero factor kept when `partial`.
template <bool Real>
__attribute__((target("avx2,bmi2"), always_inline)) inline __m256d add_avx2(
    __m256d acc, __m256d x, const double* p, std::uint32_t v, bool partial) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d g_re = _mm256_loadu_pd(p + 4 * v);
    __m256d b;
    __m256d nonzero;
    if constexpr (Real) {
        b = _mm256_mul_pd(g_re, x);
        if (partial) nonzero = _mm256_cmp_pd(g_re, zero, _CMP_NEQ_UQ);
    } else {
        const __m256d g_im = _mm256_loadu_pd(p + 16 + 4 * v);
        b = _mm256_addsub_pd(_mm256_mul_pd(g_re, x), _mm256_mul_pd(g_im, _mm256_permute_pd(x, 0x5)));
        if (partial) {
            nonzero = _mm256_or_pd(_mm256_cmp_pd(g_re, zero, _CMP_NEQ_UQ),
                                   _mm256_cmp_pd(g_im, zero, _CMP_NEQ_UQ));
        }
    }
    const __m256d sum = _mm256_add_pd(b, acc);
    return partial ? _mm256_blendv_pd(acc, sum, nonzero) : sum;
}

// AVX2 body: a chunk is four vectors of two interleaved amplitudes. Output
// vector v reads input vector v ^ (f >> 1), its two amplitudes exchanged when
// f & 1. The planes hold each factor's parts doubled, so that b = g x is
// (g.re, g.re) * x for a real group and addsub((g.re, g.re) * x, (g.im, g.im)
// * swap(x)) otherwise: the same products, subtraction and addition as the
// reference. The plane of a chunk comes straight from i0 (pext), so nothing
// is carried between chunks.
__attribute__((target("avx2,bmi2"))) void run_avx2(const ChunkGroup* groups, std::size_t count,
                                                   const Complex* const* in, Complex* const* out,
                                                   std::size_t states, std::uint64_t j0,
                                                   std::uint64_t size, bool first) {
    for (std::uint64_t j = j0; j < j0 + size; j += group_chunk) {
        for (std::size_t s = 0; s < states; ++s) {
            const double* src = reinterpret_cast<const double*>(in[s]);
            double* dst = reinterpret_cast<double*>(out[s]) + 2 * j;
            __m256d acc[4];
            for (int v = 0; v < 4; ++v) {
                acc[v] = first ? _mm256_setzero_pd() : _mm256_loadu_pd(dst + 4 * v);
            }
            for (std::size_t g = 0; g < count; ++g) {
                const ChunkGroup& c = groups[g];
                const std::uint64_t i0 = j ^ c.high_flip;
                const std::uint64_t index = 2 * _pext_u64(i0, c.high_spread) +
                                            static_cast<std::uint64_t>(parity(c.high_sign & i0));
                const std::uint8_t kind = c.classes[index];
                if (kind == 0) continue;
                const double* p = c.planes + index * c.plane_doubles;
                const double* x0 = src + 2 * i0;
                const std::uint32_t pair = c.low_flip >> 1;
                const bool swap = (c.low_flip & 1) != 0;
                const bool partial = kind == 2;
                if (c.real) {
                    for (std::uint32_t v = 0; v < 4; ++v) {
                        __m256d x = _mm256_loadu_pd(x0 + 4 * (v ^ pair));
                        if (swap) x = _mm256_permute2f128_pd(x, x, 0x01);
                        acc[v] = add_avx2<true>(acc[v], x, p, v, partial);
                    }
                } else {
                    for (std::uint32_t v = 0; v < 4; ++v) {
                        __m256d x = _mm256_loadu_pd(x0 + 4 * (v ^ pair));
                        if (swap) x = _mm256_permute2f128_pd(x, x, 0x01);
                        acc[v] = add_avx2<false>(acc[v], x, p, v, partial);
                    }
                }
            }
            for (int v = 0; v < 4; ++v) _mm256_storeu_pd(dst + 4 * v, acc[v]);
        }
    }
}

}  // namespace

GroupTerm group_term(const PauliTerm& term) {
    return {term.flip_mask, term.y_mask | term.z_mask, term_weights(term).even};
}

std::vector<std::size_t> group_starts(const std::vector<GroupTerm>& terms) {
    std::vector<std::size_t> starts;
    std::uint64_t flip = 0;
    std::uint64_t first_sign = 0;
    std::uint64_t spread = 0;
    for (std::size_t t = 0; t < terms.size(); ++t) {
        const GroupTerm& term = terms[t];
        const std::uint64_t wider = spread | (term.sign ^ first_sign);
        if (starts.empty() || term.flip != flip ||
            __builtin_popcountll(wider & ~std::uint64_t{7}) > max_spread_bits) {
            starts.push_back(t);
            flip = term.flip;
            first_sign = term.sign;
            spread = 0;
        } else {
            spread = wider;
        }
    }
    starts.push_back(terms.size());
    return starts;
}

FlipGroups::FlipGroups(const std::vector<GroupTerm>& terms,
                       const std::vector<std::size_t>& starts, std::uint64_t n, KernelIsa isa)
    : n_(n), words_(terms.size()), isa_(isa) {
    for (std::size_t b = 0; b + 1 < starts.size(); ++b) {
        const std::size_t first = starts[b];
        const std::size_t end = starts[b + 1];
        if (first == end) continue;
        FlipGroup g;
        g.flip = terms[first].flip;
        g.sign = terms[first].sign;
        g.words = end - first;
        for (std::size_t t = first; t < end; ++t) {
            if (terms[t].flip != g.flip) {
                throw std::invalid_argument("a group of words with different flip masks");
            }
            g.spread |= terms[t].sign ^ g.sign;
        }
        if ((g.flip | g.sign | g.spread) >= n) {
            throw std::invalid_argument("a word acts on qubits beyond the state");
        }
        // T: each pattern's sum over the words in order, with exact signs.
        const std::uint64_t patterns = std::uint64_t{1} << __builtin_popcountll(g.spread);
        g.table.resize(patterns);
        g.real = true;
        for (std::uint64_t x = 0; x < patterns; ++x) {
            const std::uint64_t bits = scatter_bits(x, g.spread);
            Complex sum;
            for (std::size_t t = first; t < end; ++t) {
                const Complex e = parity((terms[t].sign ^ g.sign) & bits) ? negated(terms[t].weight)
                                                                        : terms[t].weight;
                sum = t == first ? e : Complex(sum.real() + e.real(), sum.imag() + e.imag());
            }
            g.table[x] = sum;
            g.real = g.real && sum.imag() == 0.0;
        }
        // The chunk planes.
        if (n >= group_chunk) {
            const std::uint64_t low_flip = g.flip & 7;
            const std::uint64_t low_spread = g.spread & 7;
            const int low_bits = __builtin_popcountll(low_spread);
            const std::uint64_t highs = std::uint64_t{1}
                                        << __builtin_popcountll(g.high_spread());
            const std::size_t pd = g.plane_doubles();
            g.planes.assign(2 * highs * pd, 0.0);
            g.plane_class.assign(2 * highs, 0);
            for (std::uint64_t h = 0; h < highs; ++h) {
                for (int high_parity = 0; high_parity < 2; ++high_parity) {
                    const std::uint64_t entry = 2 * h + static_cast<std::uint64_t>(high_parity);
                    double* p = g.planes.data() + entry * pd;
                    int zeros = 0;
                    for (std::uint64_t a = 0; a < group_chunk; ++a) {
                        const std::uint64_t l = a ^ low_flip;
                        Complex t = g.table[gather_bits(l, low_spread) | (h << low_bits)];
                        if (parity(g.sign & l) ^ high_parity) t = negated(t);
                        zeros += is_zero(t) ? 1 : 0;
                        p[2 * a] = p[2 * a + 1] = t.real();
                        if (!g.real) p[16 + 2 * a] = p[16 + 2 * a + 1] = t.imag();
                    }
                    g.plane_class[entry] = zeros == group_chunk ? 0 : zeros == 0 ? 1 : 2;
                }
            }
        }
        groups_.push_back(std::move(g));
    }
}

void FlipGroups::apply_reference(const Complex* in, Complex* out, bool accumulate) const {
    const double* src = reinterpret_cast<const double*>(in);
    double* dst = reinterpret_cast<double*>(out);
    for (std::uint64_t j = 0; j < n_; ++j) {
        if (!accumulate) dst[2 * j] = dst[2 * j + 1] = 0.0;
        for (const FlipGroup& g : groups_) {
            const std::uint64_t i = j ^ g.flip;
            add_term(g, factor(g, i), src + 2 * i, dst + 2 * j);
        }
    }
}

void FlipGroups::apply(const Complex* const* in, Complex* const* out, std::size_t count,
                       std::int32_t num_threads, bool accumulate) const {
    if (count == 0) return;
    if (n_ < group_chunk) {
        // Smaller than a chunk: the reference, one state after another.
        for (std::size_t s = 0; s < count; ++s) apply_reference(in[s], out[s], accumulate);
        return;
    }
    std::vector<ChunkGroup> chunk_groups;
    chunk_groups.reserve(groups_.size());
    // Runs: at most max_run consecutive groups with the same partner block.
    std::vector<std::size_t> runs;
    for (std::size_t g = 0; g < groups_.size(); ++g) {
        const FlipGroup& group = groups_[g];
        chunk_groups.push_back({group.flip & ~std::uint64_t{7}, group.high_spread(),
                                group.high_sign(), group.planes.data(), group.plane_class.data(),
                                group.plane_doubles(), static_cast<std::uint32_t>(group.flip & 7),
                                group.real});
        if (runs.empty() || g - runs.back() == max_run ||
            (group.flip >> run_shift) != (groups_[runs.back()].flip >> run_shift)) {
            runs.push_back(g);
        }
    }
    runs.push_back(groups_.size());
    const RunBody body = isa_ == KernelIsa::generic ? run_generic : run_avx2;
    const std::uint64_t block = std::min(n_, group_block);
    const std::uint64_t num_blocks = n_ / block;
    const std::size_t per_sweep = states_per_sweep(n_);
    for (std::size_t first = 0; first < count; first += per_sweep) {
        const std::size_t states = std::min(per_sweep, count - first);
        constexpr std::uint64_t max_work = std::numeric_limits<std::uint64_t>::max();
        const std::uint64_t per_state = n_ * std::max<std::size_t>(groups_.size(), 1);
        const std::uint64_t work =
            states > max_work / per_state ? max_work : per_state * states;
        Policy::for_work(num_threads, work).for_each(num_blocks, [&](std::uint64_t b) {
            const std::uint64_t j0 = b * block;
            if (groups_.empty() && !accumulate) {
                for (std::size_t s = 0; s < states; ++s) {
                    std::memset(static_cast<void*>(out[first + s] + j0), 0,
                                block * sizeof(Complex));
                }
            }
            for (std::size_t r = 0; r + 1 < runs.size(); ++r) {
                body(chunk_groups.data() + runs[r], runs[r + 1] - runs[r], in + first,
                     out + first, states, j0, block, r == 0 && !accumulate);
            }
        });
    }
}

FlipGroups group_words(const PauliWord* words, std::size_t count, std::uint64_t n,
                       KernelIsa isa) {
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return words[a].term.flip_mask < words[b].term.flip_mask;
    });
    std::vector<GroupTerm> terms;
    terms.reserve(count);
    for (std::size_t t : order) terms.push_back(group_term(words[t].term));
    return FlipGroups(terms, group_starts(terms), n, isa);
}

}  // namespace velmora
