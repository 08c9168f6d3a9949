#include "pauli/kernel.h"

// GCC 12 reports its own _mm512_undefined_pd placeholder inside the permute
// intrinsics as maybe-uninitialized; the lanes are all overwritten.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#include <omp.h>

#include <algorithm>
#include <cstring>

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

/// What the loops of one word need, prepared once per word and block.
struct WordSetup {
    std::uint64_t flip;
    std::uint64_t sign_mask;
    TermWeights w;
};

inline WordSetup setup(const PauliWord& word) {
    return {word.term.flip_mask, word.term.z_mask | word.term.y_mask, term_weights(word.term)};
}

// ---------------------------------------------------------------------------
// Generic body: one amplitude at a time.

void block_generic(const PauliWord* words, std::size_t num_words, const Complex* in,
                   Complex* out, std::uint64_t j0, std::uint64_t size, bool accumulate) {
    const double* src = reinterpret_cast<const double*>(in);
    double* dst = reinterpret_cast<double*>(out);
    if (!accumulate) {
        std::memset(static_cast<void*>(out + j0), 0, size * sizeof(Complex));
    }
    for (std::size_t t = 0; t < num_words; ++t) {
        const WordSetup s = setup(words[t]);
        for (std::uint64_t j = j0; j < j0 + size; ++j) {
            add_contribution(s.w, s.sign_mask, src, dst, j ^ s.flip, j);
        }
    }
}

// ---------------------------------------------------------------------------
// AVX2 body: two amplitudes per 256-bit vector. Output lane l of the vector at
// j (j even) reads input i0 + (l ^ f) with i0 = (j ^ flip) & ~1 and f = flip & 1.
// Its sign parity is parity(sign & i0) ^ parity(sign & (l ^ f)): the first
// part is one scalar per vector, the second a fixed lane pattern per word.
// The product is b = (a.re x.re - a.im x.im, a.re x.im + a.im x.re), formed
// as addsub(A_re * x, A_im * swap(x)): the same four products, the same
// subtraction and addition.

__attribute__((target("avx2"))) void block_avx2(const PauliWord* words, std::size_t num_words,
                                                const Complex* in, Complex* out,
                                                std::uint64_t j0, std::uint64_t size,
                                                bool accumulate) {
    const double* src = reinterpret_cast<const double*>(in);
    double* dst = reinterpret_cast<double*>(out);
    const __m256d zero = _mm256_setzero_pd();
    for (std::uint64_t j = j0; !accumulate && j < j0 + size; j += 2) {
        _mm256_storeu_pd(dst + 2 * j, zero);
    }
    for (std::size_t t = 0; t < num_words; ++t) {
        const WordSetup s = setup(words[t]);
        const std::uint64_t f = s.flip & 1;
        // weights[h] holds, per lane, the factor for high-part parity h.
        __m256d a_re[2];
        __m256d a_im[2];
        for (int h = 0; h < 2; ++h) {
            alignas(32) double re[4];
            alignas(32) double im[4];
            for (int l = 0; l < 2; ++l) {
                const Complex a = (h ^ parity(s.sign_mask & (l ^ f))) ? s.w.odd : s.w.even;
                re[2 * l] = re[2 * l + 1] = a.real();
                im[2 * l] = im[2 * l + 1] = a.imag();
            }
            a_re[h] = _mm256_load_pd(re);
            a_im[h] = _mm256_load_pd(im);
        }
        const std::uint64_t high_flip = s.flip & ~std::uint64_t{1};
        for (std::uint64_t j = j0; j < j0 + size; j += 2) {
            const std::uint64_t i0 = j ^ high_flip;
            const int h = parity(s.sign_mask & i0);
            __m256d x = _mm256_loadu_pd(src + 2 * i0);
            if (f) {
                x = _mm256_permute2f128_pd(x, x, 0x01);
            }
            const __m256d x_swap = _mm256_permute_pd(x, 0x5);
            const __m256d p1 = _mm256_mul_pd(a_re[h], x);
            const __m256d p2 = _mm256_mul_pd(a_im[h], x_swap);
            const __m256d b = _mm256_addsub_pd(p1, p2);
            _mm256_storeu_pd(dst + 2 * j, _mm256_add_pd(b, _mm256_loadu_pd(dst + 2 * j)));
        }
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

/// Words prepared at a time; their setups live on the stack.
constexpr std::size_t avx512_word_group = 32;

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

/// Applies one word to a chunk of K pairs whose sums are in acc_re/acc_im.
template <int K, bool Permute>
__attribute__((target("avx512f"), always_inline)) inline void word_on_chunk(
    const Avx512Word& w, const double* src, std::uint64_t j, __m512d* acc_re, __m512d* acc_im) {
    for (int k = 0; k < K; ++k) {
        const std::uint64_t i0 = (j + 8 * static_cast<std::uint64_t>(k)) ^ w.high_flip;
        const int h = parity(w.sign_mask & i0);
        __m512d x1 = _mm512_loadu_pd(src + 2 * (i0 + w.first_offset));
        __m512d x2 = _mm512_loadu_pd(src + 2 * (i0 + (4 - w.first_offset)));
        if (Permute) {
            x1 = _mm512_permutexvar_pd(w.lanes, x1);
            x2 = _mm512_permutexvar_pd(w.lanes, x2);
        }
        const __m512d re = _mm512_unpacklo_pd(x1, x2);
        const __m512d im = _mm512_unpackhi_pd(x1, x2);
        const __m512d b_re =
            _mm512_sub_pd(_mm512_mul_pd(w.a_re[h], re), _mm512_mul_pd(w.a_im[h], im));
        const __m512d b_im =
            _mm512_add_pd(_mm512_mul_pd(w.a_re[h], im), _mm512_mul_pd(w.a_im[h], re));
        acc_re[k] = _mm512_add_pd(b_re, acc_re[k]);
        acc_im[k] = _mm512_add_pd(b_im, acc_im[k]);
    }
}

/// A word with flip 0 on a chunk whose input planes are own_re/own_im: the
/// operations of word_on_chunk<K, false> with high_flip = 0, first_offset = 0.
template <int K>
__attribute__((target("avx512f"), always_inline)) inline void word_on_own(
    const Avx512Word& w, std::uint64_t j, const __m512d* own_re, const __m512d* own_im,
    __m512d* acc_re, __m512d* acc_im) {
    for (int k = 0; k < K; ++k) {
        const int h = parity(w.sign_mask & (j + 8 * static_cast<std::uint64_t>(k)));
        const __m512d b_re = _mm512_sub_pd(_mm512_mul_pd(w.a_re[h], own_re[k]),
                                           _mm512_mul_pd(w.a_im[h], own_im[k]));
        const __m512d b_im = _mm512_add_pd(_mm512_mul_pd(w.a_re[h], own_im[k]),
                                           _mm512_mul_pd(w.a_im[h], own_re[k]));
        acc_re[k] = _mm512_add_pd(b_re, acc_re[k]);
        acc_im[k] = _mm512_add_pd(b_im, acc_im[k]);
    }
}

template <int K>
__attribute__((target("avx512f"))) void chunks_avx512(const Avx512Word* setups,
                                                      std::size_t count, bool first_group,
                                                      const double* src, double* dst,
                                                      std::uint64_t j0, std::uint64_t size) {
    bool any_own = false;
    for (std::size_t t = 0; t < count; ++t) any_own = any_own || setups[t].own;
    for (std::uint64_t j = j0; j < j0 + size; j += 8 * K) {
        __m512d acc_re[K];
        __m512d acc_im[K];
        __m512d own_re[K];
        __m512d own_im[K];
        for (int k = 0; any_own && k < K; ++k) {
            const __m512d x1 = _mm512_loadu_pd(src + 2 * (j + 8 * k));
            const __m512d x2 = _mm512_loadu_pd(src + 2 * (j + 8 * k + 4));
            own_re[k] = _mm512_unpacklo_pd(x1, x2);
            own_im[k] = _mm512_unpackhi_pd(x1, x2);
        }
        for (int k = 0; k < K; ++k) {
            if (first_group) {
                acc_re[k] = _mm512_setzero_pd();
                acc_im[k] = _mm512_setzero_pd();
            } else {
                const __m512d x1 = _mm512_loadu_pd(dst + 2 * (j + 8 * k));
                const __m512d x2 = _mm512_loadu_pd(dst + 2 * (j + 8 * k + 4));
                acc_re[k] = _mm512_unpacklo_pd(x1, x2);
                acc_im[k] = _mm512_unpackhi_pd(x1, x2);
            }
        }
        for (std::size_t t = 0; t < count; ++t) {
            if (setups[t].own) {
                word_on_own<K>(setups[t], j, own_re, own_im, acc_re, acc_im);
            } else if (setups[t].permute) {
                word_on_chunk<K, true>(setups[t], src, j, acc_re, acc_im);
            } else {
                word_on_chunk<K, false>(setups[t], src, j, acc_re, acc_im);
            }
        }
        for (int k = 0; k < K; ++k) {
            _mm512_storeu_pd(dst + 2 * (j + 8 * k), _mm512_unpacklo_pd(acc_re[k], acc_im[k]));
            _mm512_storeu_pd(dst + 2 * (j + 8 * k + 4), _mm512_unpackhi_pd(acc_re[k], acc_im[k]));
        }
    }
}

__attribute__((target("avx512f"))) void block_avx512(const PauliWord* words,
                                                     std::size_t num_words, const Complex* in,
                                                     Complex* out, std::uint64_t j0,
                                                     std::uint64_t size, bool accumulate) {
    const double* src = reinterpret_cast<const double*>(in);
    double* dst = reinterpret_cast<double*>(out);
    Avx512Word setups[avx512_word_group];
    // An empty Hamiltonian still clears the block (unless accumulating).
    const std::size_t groups = num_words == 0 ? 1 : (num_words + avx512_word_group - 1) / avx512_word_group;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t first = g * avx512_word_group;
        const std::size_t count = std::min(avx512_word_group, num_words - std::min(num_words, first));
        for (std::size_t t = 0; t < count; ++t) {
            prepare_avx512(words[first + t], setups[t]);
        }
        if (size >= 32) {
            chunks_avx512<4>(setups, count, g == 0 && !accumulate, src, dst, j0, size);
        } else if (size >= 16) {
            chunks_avx512<2>(setups, count, g == 0 && !accumulate, src, dst, j0, size);
        } else {
            chunks_avx512<1>(setups, count, g == 0 && !accumulate, src, dst, j0, size);
        }
    }
}

using BlockBody = void (*)(const PauliWord*, std::size_t, const Complex*, Complex*,
                           std::uint64_t, std::uint64_t, bool);

/// The body for an instruction set, falling back to a narrower one where the
/// state is smaller than one vector.
BlockBody body_for(KernelIsa isa, std::uint64_t num_amplitudes) {
    if (isa == KernelIsa::avx512 && num_amplitudes >= 8) {
        return block_avx512;
    }
    if ((isa == KernelIsa::avx512 || isa == KernelIsa::avx2) && num_amplitudes >= 2) {
        return block_avx2;
    }
    return block_generic;
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
    const std::uint64_t block = std::min(n, kernel_block_size);
    const std::uint64_t num_blocks = n / block;
    const BlockBody body = body_for(isa, n);
    // Blocks are the items; each costs about one word application per entry.
    Policy::for_work(num_threads, n * num_words).for_each(num_blocks, [&](std::uint64_t b) {
        body(words, num_words, in, out, b * block, block, accumulate);
    });
}

}  // namespace velmora
