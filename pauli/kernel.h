#pragma once

// The output-blocked application kernels behind Hamiltonian::apply and
// Hamiltonian::apply_parallel, with one body per instruction set.

#include <cstddef>
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

/// The factor c x q that input index i receives: q's sign from the parity of
/// sign_mask & i.
inline Complex index_weight(const TermWeights& w, std::uint64_t sign_mask, std::uint64_t i) {
    return (__builtin_popcountll(sign_mask & i) & 1) ? w.odd : w.even;
}

/// out[j] += a x in[i], the product written out. Arrays of interleaved
/// (real, imaginary) doubles.
inline void add_product(Complex a, const double* src, double* dst, std::uint64_t i,
                        std::uint64_t j) {
    const double x_re = src[2 * i];
    const double x_im = src[2 * i + 1];
    const double b_re = a.real() * x_re - a.imag() * x_im;
    const double b_im = a.real() * x_im + a.imag() * x_re;
    dst[2 * j] = b_re + dst[2 * j];
    dst[2 * j + 1] = b_im + dst[2 * j + 1];
}

/// One amplitude of one word: out[j] += (c x q) x in[i] for the input index i
/// and its output index j = i ^ flip.
inline void add_contribution(const TermWeights& w, std::uint64_t sign_mask, const double* src,
                             double* dst, std::uint64_t i, std::uint64_t j) {
    add_product(index_weight(w, sign_mask, i), src, dst, i, j);
}

/// Output amplitudes per block: a block of the output and the matching input
/// blocks stay in the first-level cache while every word is applied to it.
inline constexpr std::uint64_t kernel_block_size = 2048;

/// States that one sweep over the amplitudes (of a batched product or
/// expectation) takes together: as many as have 8 MiB of amplitudes, at least
/// one. Words with high flip bits read amplitudes far from the ones they
/// write; within a sweep of a few states those are read again from the
/// last-level cache, while a sweep over many states must fetch them from
/// memory (measured on a 2-core AMD EPYC with 32 MiB of L3: at 20 qubits, a
/// sweep over four states took 1.7 times as long per state as one per state).
inline std::size_t states_per_sweep(std::uint64_t n) {
    constexpr std::uint64_t sweep_bytes = std::uint64_t{8} << 20;
    const std::uint64_t state_bytes = n * sizeof(Complex);
    return state_bytes >= sweep_bytes ? 1 : static_cast<std::size_t>(sweep_bytes / state_bytes);
}

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

/// out[s] = H * in[s] for the `count` states s = 0 .. count - 1, each an
/// array of 2^num_qubits amplitudes of its own (no output overlaps an input
/// or another output; count 0 does nothing). Every amplitude of every state
/// gets the operations of apply_blocked in the same order, so the bits are
/// those of `count` separate calls, for every count, thread count and
/// instruction set. One pass over the blocks serves all states: a block's
/// word setups, and per group of amplitudes the input index, the sign parity
/// and the weights, are formed once for all of them.
void apply_blocked_batch(const Hamiltonian& ham, const Complex* const* in, Complex* const* out,
                         std::size_t count, std::int32_t num_threads, KernelIsa isa);

/// apply_words_blocked for `count` states at once, as apply_blocked_batch.
void apply_words_blocked_batch(const PauliWord* words, std::size_t num_words, std::uint64_t n,
                               const Complex* const* in, Complex* const* out, std::size_t count,
                               std::int32_t num_threads, KernelIsa isa, bool accumulate);

}  // namespace velmora
