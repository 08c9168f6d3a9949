#pragma once

// The output-blocked application kernels behind Hamiltonian::apply and
// Hamiltonian::apply_parallel, with one body per instruction set.

#include <cstdint>

#include "base/complex.h"
#include "pauli/isa.h"
#include "pauli/pauli_word.h"

namespace velmora {

class Hamiltonian;

/// The two factors an amplitude index can receive from one word: c x p for an
/// even number of 1-bits under the sign mask, c x (-p) for an odd one, where p
/// is i^(number of Y letters). Formed with the four-product rule exactly as the
/// per-index formula forms them, so computing them once per word changes no bit.
struct TermWeights {
    Complex even;
    Complex odd;
};

/// The weights of one compiled word.
TermWeights term_weights(const PauliTerm& term);

/// One amplitude of one word: out[j] += (c x q) x in[i] for the input index i
/// and its output index j = i ^ flip, with q's sign from the parity of
/// sign_mask & i. Arrays of interleaved (real, imaginary) doubles.
inline void add_contribution(const TermWeights& w, std::uint64_t sign_mask, const double* src,
                             double* dst, std::uint64_t i, std::uint64_t j) {
    const Complex a = (__builtin_popcountll(sign_mask & i) & 1) ? w.odd : w.even;
    const double x_re = src[2 * i];
    const double x_im = src[2 * i + 1];
    const double b_re = a.real() * x_re - a.imag() * x_im;
    const double b_im = a.real() * x_im + a.imag() * x_re;
    dst[2 * j] = b_re + dst[2 * j];
    dst[2 * j + 1] = b_im + dst[2 * j + 1];
}

/// Output amplitudes per block: a block of the output and the matching input
/// blocks stay in the first-level cache while every word is applied to it.
inline constexpr std::uint64_t kernel_block_size = 2048;

/// out = H * in, computed block by block: each output block is cleared, then
/// receives every word's contribution in word order. With num_threads = 0 the
/// blocks run on the calling thread; otherwise one OpenMP region splits them
/// statically over team_size_for(num_threads) threads.
void apply_blocked(const Hamiltonian& ham, const Complex* in, Complex* out,
                   std::int32_t num_threads, KernelIsa isa);

/// The same for a list of words over n = 2^k amplitudes (masks below n).
/// With `accumulate` the output is not cleared: each entry continues its sum
/// from the value it holds, adding these words' contributions in order, so
/// applying a list in consecutive parts gives the bits of applying it whole.
void apply_words_blocked(const PauliWord* words, std::size_t num_words, std::uint64_t n,
                         const Complex* in, Complex* out, std::int32_t num_threads,
                         KernelIsa isa, bool accumulate);

}  // namespace velmora
