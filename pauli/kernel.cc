#include "pauli/kernel.h"

// GCC 12 reports its own _mm512_undefined_pd placeholder inside the permute
// intrinsics as maybe-uninitialized; the lanes are all overwritten.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#include <omp.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "pauli/hamiltonian.h"
#include "parallel/policy.h"

namespace velmora {

namespace {

/// i^k for k mod 4, signs of zeros included: 1, i, -1, -i.
constexpr double phase_table[4][2] = {
    {1.0, +0.0},
    {+0.0, 1.0},
    {-1.0, +0.0},
    {-0.0, -1.0},
};

/// c x q as the kernel forms it: (c.re q.re - q.im c.im, c.im q.re + q.im c.re).
inline Complex weight(Complex c, double q_re, double q_im) {
    return Complex(c.real() * q_re - q_im * c.imag(), c.imag() * q_re + q_im * c.real());
}

inline int parity(std::uint64_t bits) {
    return __builtin_popcountll(bits) & 1;
}

/// What the loops of one word need, prepared once per word and call.
struct WordSetup {
    std::uint64_t flip;
    std::uint64_t sign_mask;
    TermWeights w;
};

inline WordSetup setup(const PauliWord& word) {
    return {word.term.flip_mask, word.term.z_mask | word.term.y_mask, term_weights(word.term)};
}

// ---------------------------------------------------------------------------
// Every body applies the prepared words to one block of `count` states. The
// words are prepared once per call for all blocks and states, and per
// amplitude (or vector of amplitudes) the input index, the sign parity and
// the weights are formed once for a group of states; each amplitude of each
// state receives the same operations in the same order whatever the count,
// so the bits are those of one state at a time.

/// f.template operator()<S>(first) for consecutive groups of S states from
/// `first` on: groups of Max while that many remain, then of the powers of
/// two below Max.
template <int Max, class F>
inline void for_state_groups(std::size_t first, std::size_t count, F& f) {
    for (; count - first >= static_cast<std::size_t>(Max); first += Max) {
        f.template operator()<Max>(first);
    }
    if constexpr (Max > 1) {
        for_state_groups<Max / 2>(first, count, f);
    }
}

// ---------------------------------------------------------------------------
// Generic body: one amplitude at a time.

/// States that share one pass of the generic and the AVX2 body's loops.
constexpr int narrow_states = 4;

/// One word on a block of S states (a function of its own for each S, so
/// that S = 1 compiles to the loop of one state).
template <int S>
__attribute__((noinline)) void word_generic(const WordSetup& word, const Complex* const* in, Complex* const* out,
                  std::uint64_t j0, std::uint64_t size) {
    // Copies, which the stores to the outputs cannot alias.
    const WordSetup w = word;
    const double* src[S];
    double* dst[S];
    for (int s = 0; s < S; ++s) {
        src[s] = reinterpret_cast<const double*>(in[s]);
        dst[s] = reinterpret_cast<double*>(out[s]);
    }
    for (std::uint64_t j = j0; j < j0 + size; ++j) {
        const std::uint64_t i = j ^ w.flip;
        const Complex a = index_weight(w.w, w.sign_mask, i);
        for (int s = 0; s < S; ++s) {
            add_product(a, src[s], dst[s], i, j);
        }
    }
}

void block_generic(const WordSetup* words, std::size_t num_words, const Complex* const* in,
                   Complex* const* out, std::size_t count, std::uint64_t j0, std::uint64_t size,
                   bool accumulate) {
    for (std::size_t s = 0; !accumulate && s < count; ++s) {
        std::memset(static_cast<void*>(out[s] + j0), 0, size * sizeof(Complex));
    }
    for (std::size_t t = 0; t < num_words; ++t) {
        auto group = [&]<int S>(std::size_t first) {
            word_generic<S>(words[t], in + first, out + first, j0, size);
        };
        for_state_groups<narrow_states>(0, count, group);
    }
}

// ---------------------------------------------------------------------------
// AVX2 body: the AVX-512 body's chunking at four doubles. A chunk of eight
// output amplitudes is four vectors of two interleaved amplitudes, whose sums
// stay in registers while a group of words is applied to it. Output vector v
// of a chunk at j reads input vector v ^ (f >> 1) of the input chunk at
// i0 = (j ^ flip) & ~7, its two amplitudes exchanged when f & 1 (f = flip &
// 7). The sign parity of an input index is parity(sign & i0) (one scalar per
// chunk) xor a fixed per-lane pattern, folded into two prepared weight sets.
// The product is b = addsub(A_re * x, A_im * swap(x)) with the weight's parts
// doubled per amplitude: the same four products, subtraction and addition as
// add_product, then out = b + out.

struct alignas(32) Avx2Word {
    double a_re[2][16];  // per base parity, the 8 lanes' real parts, each doubled
    double a_im[2][16];
    std::uint64_t high_flip;  // flip & ~7
    std::uint64_t sign_mask;
    std::uint32_t pair;  // (flip & 7) >> 1: which input vector feeds output vector 0
    bool swap;           // flip & 1
};

/// Words applied to a chunk before its sums go back to memory: their prepared
/// weights (16 KiB) stay in the first-level cache while a block is swept.
constexpr std::size_t avx2_word_group = 32;

void prepare_avx2(const PauliWord& word, Avx2Word& out) {
    const WordSetup s = setup(word);
    const std::uint64_t f = s.flip & 7;
    for (int h = 0; h < 2; ++h) {
        for (std::uint64_t a = 0; a < 8; ++a) {
            const Complex w = (h ^ parity(s.sign_mask & (a ^ f))) ? s.w.odd : s.w.even;
            out.a_re[h][2 * a] = out.a_re[h][2 * a + 1] = w.real();
            out.a_im[h][2 * a] = out.a_im[h][2 * a + 1] = w.imag();
        }
    }
    out.high_flip = s.flip & ~std::uint64_t{7};
    out.sign_mask = s.sign_mask;
    out.pair = static_cast<std::uint32_t>(f >> 1);
    out.swap = (f & 1) != 0;
}

/// One group of words on the chunks of a block of S states.
template <int S>
__attribute__((target("avx2"))) void chunks_avx2(const Avx2Word* words, std::size_t num_words,
                                                 bool first_group, const Complex* const* in,
                                                 Complex* const* out, std::uint64_t j0,
                                                 std::uint64_t size) {
    const double* src[S];
    double* dst[S];
    for (int s = 0; s < S; ++s) {
        src[s] = reinterpret_cast<const double*>(in[s]);
        dst[s] = reinterpret_cast<double*>(out[s]);
    }
    for (std::uint64_t j = j0; j < j0 + size; j += 8) {
        __m256d acc[S][4];
        for (int s = 0; s < S; ++s) {
            for (int v = 0; v < 4; ++v) {
                acc[s][v] = first_group ? _mm256_setzero_pd()
                                        : _mm256_loadu_pd(dst[s] + 2 * j + 4 * v);
            }
        }
        for (std::size_t t = 0; t < num_words; ++t) {
            const Avx2Word& w = words[t];
            const std::uint64_t i0 = (j ^ w.high_flip);
            const int h = parity(w.sign_mask & i0);
            for (std::uint32_t v = 0; v < 4; ++v) {
                const __m256d a_re = _mm256_load_pd(w.a_re[h] + 4 * v);
                const __m256d a_im = _mm256_load_pd(w.a_im[h] + 4 * v);
                for (int s = 0; s < S; ++s) {
                    __m256d x = _mm256_loadu_pd(src[s] + 2 * i0 + 4 * (v ^ w.pair));
                    if (w.swap) x = _mm256_permute2f128_pd(x, x, 0x01);
                    const __m256d b = _mm256_addsub_pd(_mm256_mul_pd(a_re, x),
                                                       _mm256_mul_pd(a_im, _mm256_permute_pd(x, 0x5)));
                    acc[s][v] = _mm256_add_pd(b, acc[s][v]);
                }
            }
        }
        for (int s = 0; s < S; ++s) {
            for (int v = 0; v < 4; ++v) _mm256_storeu_pd(dst[s] + 2 * j + 4 * v, acc[s][v]);
        }
    }
}

/// States that share a chunk of the AVX2 body.
constexpr int avx2_states = 2;

__attribute__((target("avx2"))) void block_avx2(const Avx2Word* words, std::size_t num_words,
                                                const Complex* const* in, Complex* const* out,
                                                std::size_t count, std::uint64_t j0,
                                                std::uint64_t size, bool accumulate) {
    // An empty Hamiltonian still clears the block (unless accumulating).
    const std::size_t groups =
        num_words == 0 ? 1 : (num_words + avx2_word_group - 1) / avx2_word_group;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t first = g * avx2_word_group;
        const std::size_t words_here =
            std::min(avx2_word_group, num_words - std::min(num_words, first));
        const bool first_group = g == 0 && !accumulate;
        auto group = [&]<int S>(std::size_t state) {
            chunks_avx2<S>(words + first, words_here, first_group, in + state, out + state, j0,
                           size);
        };
        for_state_groups<avx2_states>(0, count, group);
    }
}

// ---------------------------------------------------------------------------
// AVX-512 body. Amplitudes are handled in groups of eight ("pairs" of two
// vectors), turned into a plane of real parts and a plane of imaginary parts
// by one unpack each:
//     re = [r0 r4 r1 r5 r2 r6 r3 r7],  im = [i0 i4 i1 i5 i2 i6 i3 i7].
// In plane form the product is exactly b.re = a.re x.re - a.im x.im and
// b.im = a.re x.im + a.im x.re, lane by lane. A chunk of output amplitudes
// keeps its sums in registers while every word of a group is applied to it,
// so the output is read and written once per group of words instead of once
// per word.
//
// Output amplitude a of a pair (a = 0..7) reads input amplitude a ^ f with
// f = flip & 7: bit 2 of f exchanges the two input vectors, bits 0-1 permute
// the four amplitudes inside each vector. The sign parity of the input index
// is parity(sign & i0) for the pair's base i0 (one scalar per pair) xor a
// fixed per-lane pattern, folded into two precomputed weight planes.
//
// Words that flip nothing (Z letters only) read the chunk's own input
// amplitudes: its planes are unpacked once per chunk and shared by all of
// them, with the same products and sums as the general path.
//
// A chunk holds K pairs of each of S states: per word and pair, the base
// index, the parity and the weight planes serve the S states.

struct alignas(64) Avx512Word {
    __m512d a_re[2];  // weight planes for base parity 0 and 1
    __m512d a_im[2];
    __m512i lanes;  // permutation of the amplitudes inside a vector by f & 3
    std::uint64_t high_flip;  // flip & ~7
    std::uint64_t sign_mask;
    std::uint64_t first_offset;  // input offset of the vector feeding output amplitudes 0-3
    bool permute;
    bool own;  // flip == 0: reads the chunk's own input planes
};

/// Words applied to a chunk before its sums go back to memory.
constexpr std::size_t avx512_word_group = 32;

/// States that share a chunk. Measured on a 2-core AMD EPYC (Zen 4) at 12 to
/// 20 qubits: two states of two pairs each run up to 10% faster per state
/// than one state of four pairs; four states lose, their input streams
/// outrunning the prefetchers.
constexpr int avx512_states = 2;

/// Pairs per chunk for S states: K * S = 4, so that the sums and the own
/// planes stay in registers.
template <int S>
constexpr int avx512_pairs = S >= 4 ? 1 : 4 / S;

__attribute__((target("avx512f"))) void prepare_avx512(const PauliWord& word, Avx512Word& out) {
    const WordSetup s = setup(word);
    const std::uint64_t f = s.flip & 7;
    for (int h = 0; h < 2; ++h) {
        alignas(64) double re[8];
        alignas(64) double im[8];
        for (int p = 0; p < 8; ++p) {
            const std::uint64_t a = static_cast<std::uint64_t>((p & 1) * 4 + p / 2);
            const Complex w = (h ^ parity(s.sign_mask & (a ^ f))) ? s.w.odd : s.w.even;
            re[p] = w.real();
            im[p] = w.imag();
        }
        out.a_re[h] = _mm512_load_pd(re);
        out.a_im[h] = _mm512_load_pd(im);
    }
    alignas(64) std::int64_t lanes[8];
    for (int l = 0; l < 4; ++l) {
        const std::int64_t from = static_cast<std::int64_t>(static_cast<std::uint64_t>(l) ^ (f & 3));
        lanes[2 * l] = 2 * from;
        lanes[2 * l + 1] = 2 * from + 1;
    }
    out.lanes = _mm512_load_si512(lanes);
    out.high_flip = s.flip & ~std::uint64_t{7};
    out.sign_mask = s.sign_mask;
    out.first_offset = (f & 4) ? 4 : 0;
    out.permute = (f & 3) != 0;
    out.own = s.flip == 0;
}

/// The sums (or the own input planes) of a chunk: K pairs of each of S states.
template <int K, int S>
struct Avx512Planes {
    __m512d re[S][K];
    __m512d im[S][K];
};

/// Applies one word to a chunk whose sums are in `acc`; src[s] is state s.
template <int K, int S, bool Permute>
__attribute__((target("avx512f"), always_inline)) inline void word_on_chunk(
    const Avx512Word& w, const double* const* src, std::uint64_t j, Avx512Planes<K, S>& acc) {
    for (int k = 0; k < K; ++k) {
        const std::uint64_t i0 = (j + 8 * static_cast<std::uint64_t>(k)) ^ w.high_flip;
        const int h = parity(w.sign_mask & i0);
        const __m512d a_re = w.a_re[h];
        const __m512d a_im = w.a_im[h];
        const std::uint64_t first = 2 * (i0 + w.first_offset);
        const std::uint64_t second = 2 * (i0 + (4 - w.first_offset));
        for (int s = 0; s < S; ++s) {
            __m512d x1 = _mm512_loadu_pd(src[s] + first);
            __m512d x2 = _mm512_loadu_pd(src[s] + second);
            if (Permute) {
                x1 = _mm512_permutexvar_pd(w.lanes, x1);
                x2 = _mm512_permutexvar_pd(w.lanes, x2);
            }
            const __m512d re = _mm512_unpacklo_pd(x1, x2);
            const __m512d im = _mm512_unpackhi_pd(x1, x2);
            const __m512d b_re = _mm512_sub_pd(_mm512_mul_pd(a_re, re), _mm512_mul_pd(a_im, im));
            const __m512d b_im = _mm512_add_pd(_mm512_mul_pd(a_re, im), _mm512_mul_pd(a_im, re));
            acc.re[s][k] = _mm512_add_pd(b_re, acc.re[s][k]);
            acc.im[s][k] = _mm512_add_pd(b_im, acc.im[s][k]);
        }
    }
}

/// A word with flip 0 on a chunk whose input planes are `own`: the
/// operations of word_on_chunk<K, S, false> with high_flip = 0, first_offset = 0.
template <int K, int S>
__attribute__((target("avx512f"), always_inline)) inline void word_on_own(
    const Avx512Word& w, std::uint64_t j, const Avx512Planes<K, S>& own,
    Avx512Planes<K, S>& acc) {
    for (int k = 0; k < K; ++k) {
        const int h = parity(w.sign_mask & (j + 8 * static_cast<std::uint64_t>(k)));
        const __m512d a_re = w.a_re[h];
        const __m512d a_im = w.a_im[h];
        for (int s = 0; s < S; ++s) {
            const __m512d b_re = _mm512_sub_pd(_mm512_mul_pd(a_re, own.re[s][k]),
                                               _mm512_mul_pd(a_im, own.im[s][k]));
            const __m512d b_im = _mm512_add_pd(_mm512_mul_pd(a_re, own.im[s][k]),
                                               _mm512_mul_pd(a_im, own.re[s][k]));
            acc.re[s][k] = _mm512_add_pd(b_re, acc.re[s][k]);
            acc.im[s][k] = _mm512_add_pd(b_im, acc.im[s][k]);
        }
    }
}

/// Eight amplitudes from `at` as planes.
__attribute__((target("avx512f"), always_inline)) inline void load_planes(const double* at,
                                                                          __m512d& re,
                                                                          __m512d& im) {
    const __m512d x1 = _mm512_loadu_pd(at);
    const __m512d x2 = _mm512_loadu_pd(at + 8);
    re = _mm512_unpacklo_pd(x1, x2);
    im = _mm512_unpackhi_pd(x1, x2);
}

/// One group of words on the chunks of a block of S states, K pairs per chunk.
template <int K, int S>
__attribute__((target("avx512f"))) void chunks_avx512(const Avx512Word* words,
                                                      std::size_t num_words, bool first_group,
                                                      const Complex* const* in,
                                                      Complex* const* out, std::uint64_t j0,
                                                      std::uint64_t size) {
    bool any_own = false;
    for (std::size_t t = 0; t < num_words; ++t) any_own = any_own || words[t].own;
    const double* src[S];
    double* dst[S];
    for (int s = 0; s < S; ++s) {
        src[s] = reinterpret_cast<const double*>(in[s]);
        dst[s] = reinterpret_cast<double*>(out[s]);
    }
    for (std::uint64_t j = j0; j < j0 + size; j += 8 * K) {
        Avx512Planes<K, S> acc;
        Avx512Planes<K, S> own;
        for (int s = 0; any_own && s < S; ++s) {
            for (int k = 0; k < K; ++k) {
                load_planes(src[s] + 2 * (j + 8 * k), own.re[s][k], own.im[s][k]);
            }
        }
        for (int s = 0; s < S; ++s) {
            for (int k = 0; k < K; ++k) {
                if (first_group) {
                    acc.re[s][k] = _mm512_setzero_pd();
                    acc.im[s][k] = _mm512_setzero_pd();
                } else {
                    load_planes(dst[s] + 2 * (j + 8 * k), acc.re[s][k], acc.im[s][k]);
                }
            }
        }
        for (std::size_t t = 0; t < num_words; ++t) {
            if (words[t].own) {
                word_on_own<K, S>(words[t], j, own, acc);
            } else if (words[t].permute) {
                word_on_chunk<K, S, true>(words[t], src, j, acc);
            } else {
                word_on_chunk<K, S, false>(words[t], src, j, acc);
            }
        }
        for (int s = 0; s < S; ++s) {
            for (int k = 0; k < K; ++k) {
                double* at = dst[s] + 2 * (j + 8 * k);
                _mm512_storeu_pd(at, _mm512_unpacklo_pd(acc.re[s][k], acc.im[s][k]));
                _mm512_storeu_pd(at + 8, _mm512_unpackhi_pd(acc.re[s][k], acc.im[s][k]));
            }
        }
    }
}

/// chunks_avx512 with K pairs per chunk, or fewer when the block is smaller
/// than one chunk.
template <int K, int S>
__attribute__((target("avx512f"))) void chunks_fitting(const Avx512Word* words,
                                                       std::size_t num_words, bool first_group,
                                                       const Complex* const* in,
                                                       Complex* const* out, std::uint64_t j0,
                                                       std::uint64_t size) {
    if constexpr (K > 1) {
        if (size < 8 * static_cast<std::uint64_t>(K)) {
            chunks_fitting<K / 2, S>(words, num_words, first_group, in, out, j0, size);
            return;
        }
    }
    chunks_avx512<K, S>(words, num_words, first_group, in, out, j0, size);
}

__attribute__((target("avx512f"))) void block_avx512(const Avx512Word* words,
                                                     std::size_t num_words,
                                                     const Complex* const* in,
                                                     Complex* const* out, std::size_t count,
                                                     std::uint64_t j0, std::uint64_t size,
                                                     bool accumulate) {
    // An empty Hamiltonian still clears the block (unless accumulating).
    const std::size_t groups =
        num_words == 0 ? 1 : (num_words + avx512_word_group - 1) / avx512_word_group;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t first = g * avx512_word_group;
        const std::size_t words_here =
            std::min(avx512_word_group, num_words - std::min(num_words, first));
        const bool first_group = g == 0 && !accumulate;
        auto group = [&]<int S>(std::size_t state) {
            chunks_fitting<avx512_pairs<S>, S>(words + first, words_here, first_group,
                                               in + state, out + state, j0, size);
        };
        for_state_groups<avx512_states>(0, count, group);
    }
}

// ---------------------------------------------------------------------------
// The blocks. A sweep applies the words to the blocks of the states that
// states_per_sweep takes together, block by block (the blocks split over the
// team), all of its states at each block.

template <class Word>
using BlockBody = void (*)(const Word*, std::size_t, const Complex* const*, Complex* const*,
                           std::size_t, std::uint64_t, std::uint64_t, bool);

template <class Word, class Prepare>
void run_sweeps(const PauliWord* words, std::size_t num_words, std::uint64_t n,
                const Complex* const* in, Complex* const* out, std::size_t count,
                std::int32_t num_threads, bool accumulate, Prepare prepare,
                BlockBody<Word> body) {
    std::vector<Word> prepared(num_words);
    for (std::size_t t = 0; t < num_words; ++t) {
        prepare(words[t], prepared[t]);
    }
    const std::uint64_t block = std::min(n, kernel_block_size);
    const std::uint64_t num_blocks = n / block;
    const std::size_t per_sweep = states_per_sweep(n);
    for (std::size_t first = 0; first < count; first += per_sweep) {
        const std::size_t states = std::min(per_sweep, count - first);
        // Blocks are the items; each costs about one word application per
        // entry and state (the product saturates: it only decides whether a
        // team runs).
        constexpr std::uint64_t max_work = std::numeric_limits<std::uint64_t>::max();
        const std::uint64_t per_state = n * num_words;
        const std::uint64_t work =
            per_state != 0 && states > max_work / per_state ? max_work : per_state * states;
        Policy::for_work(num_threads, work).for_each(num_blocks, [&](std::uint64_t b) {
            body(prepared.data(), num_words, in + first, out + first, states, b * block, block,
                 accumulate);
        });
    }
}

}  // namespace

TermWeights term_weights(const PauliTerm& term) {
    const int k = __builtin_popcountll(term.y_mask);
    const double p_re = phase_table[k & 3][0];
    const double p_im = phase_table[k & 3][1];
    return {weight(term.coeff, p_re, p_im), weight(term.coeff, -p_re, -p_im)};
}

KernelIsa detected_kernel_isa() {
    static const KernelIsa isa = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f")) {
            return KernelIsa::avx512;
        }
        if (__builtin_cpu_supports("avx2")) {
            return KernelIsa::avx2;
        }
        return KernelIsa::generic;
    }();
    return isa;
}

const char* kernel_isa_name(KernelIsa isa) {
    switch (isa) {
        case KernelIsa::avx512:
            return "avx512";
        case KernelIsa::avx2:
            return "avx2";
        default:
            return "generic";
    }
}

void apply_blocked(const Hamiltonian& ham, const Complex* in, Complex* out,
                   std::int32_t num_threads, KernelIsa isa) {
    apply_words_blocked(ham.words().data(), ham.words().size(),
                        std::uint64_t{1} << ham.num_qubits(), in, out, num_threads, isa, false);
}

void apply_words_blocked(const PauliWord* words, std::size_t num_words, std::uint64_t n,
                         const Complex* in, Complex* out, std::int32_t num_threads,
                         KernelIsa isa, bool accumulate) {
    apply_words_blocked_batch(words, num_words, n, &in, &out, 1, num_threads, isa, accumulate);
}

void apply_blocked_batch(const Hamiltonian& ham, const Complex* const* in, Complex* const* out,
                         std::size_t count, std::int32_t num_threads, KernelIsa isa) {
    apply_words_blocked_batch(ham.words().data(), ham.words().size(),
                              std::uint64_t{1} << ham.num_qubits(), in, out, count, num_threads,
                              isa, false);
}

void apply_words_blocked_batch(const PauliWord* words, std::size_t num_words, std::uint64_t n,
                               const Complex* const* in, Complex* const* out, std::size_t count,
                               std::int32_t num_threads, KernelIsa isa, bool accumulate) {
    if (count == 0) {
        return;
    }
    // The widest body the instruction set runs, falling back to a narrower
    // one where the state is smaller than one vector.
    if (isa == KernelIsa::avx512 && n >= 8) {
        run_sweeps<Avx512Word>(words, num_words, n, in, out, count, num_threads, accumulate,
                               prepare_avx512, block_avx512);
    } else if ((isa == KernelIsa::avx512 || isa == KernelIsa::avx2) && n >= 8) {
        run_sweeps<Avx2Word>(words, num_words, n, in, out, count, num_threads, accumulate,
                             prepare_avx2, block_avx2);
    } else {
        run_sweeps<WordSetup>(
            words, num_words, n, in, out, count, num_threads, accumulate,
            [](const PauliWord& word, WordSetup& prepared) { prepared = setup(word); },
            block_generic);
    }
}

}  // namespace velmora
