#pragma once

// The output-blocked application kernels behind Hamiltonian::apply and
// Hamiltonian::apply_parallel, with one body per instruction set.

#include <cstdint>

#include "pauli/complex.h"
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

/// Instruction sets of the blocked kernel. All give identical bits.
enum class KernelIsa { generic, avx2, avx512 };

/// The widest instruction set this processor runs.
KernelIsa detected_kernel_isa();

/// Readable name of an instruction set ("generic", "avx2", "avx512").
const char* kernel_isa_name(KernelIsa isa);

/// Output amplitudes per block: a block of the output and the matching input
/// blocks stay in the first-level cache while every word is applied to it.
inline constexpr std::uint64_t kernel_block_size = 2048;

/// out = H * in, computed block by block: each output block is cleared, then
/// receives every word's contribution in word order. With num_threads = 0 the
/// blocks run on the calling thread; otherwise one OpenMP region splits them
/// statically over team_size_for(num_threads) threads.
void apply_blocked(const Hamiltonian& ham, const Complex* in, Complex* out,
                   std::int32_t num_threads, KernelIsa isa);

}  // namespace velmora
