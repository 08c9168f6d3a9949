#pragma once

// The expectation <psi|H|psi> of a Pauli sum, streamed over the state once per
// flip mask with the kernels' conventions; its sums are the chunked sums of
// parallel/reduce.h, so the bits do not depend on the thread count, and over
// ranks (parallel/ranks.h) they are the single-process bits.

#include <cstddef>
#include <cstdint>

#include "base/complex.h"
#include "pauli/hamiltonian.h"

namespace velmora {

class Ranks;

/// <psi| H |psi> for psi of n = 2^num_qubits amplitudes, streaming over psi
/// without a scratch vector. A word with coefficient c, masks flip, y, z
/// contributes
///   sum_x conj(psi[x ^ flip]) * c * i^popcount(y) * (-1)^popcount((y | z) & x) * psi[x],
/// the same convention as Hamiltonian::apply (the word maps amplitude x to
/// index x ^ flip). The words sharing a flip mask (all diagonal words among
/// them) are taken in one pass: per entry their factors are summed in the
/// operator's order, then weight conj(psi[x ^ flip]) * psi[x]. The passes run
/// in ascending order of flip mask, all within the same chunks; each chunk
/// sums its terms in eight interleaved lanes combined in a fixed tree, and the
/// groups' chunk sums are added in order. The bits depend on the operator and
/// n alone (the body is the operator's kernel_isa: every one gives them).
Complex pauli_expectation(const Hamiltonian& ham, const Complex* psi, std::uint64_t n,
                          std::int32_t num_threads, Ranks* ranks = nullptr);

/// results[s] = <psi[s]| H |psi[s]> for the `count` states psi[s] of n
/// amplitudes each: the bits of pauli_expectation for each state alone (one
/// process), for every count and num_threads. The chunks are swept once for
/// groups of states, each tile's G formed once for the group.
void pauli_expectation_batch(const Hamiltonian& ham, const Complex* const* psi,
                             std::size_t count, std::uint64_t n, std::int32_t num_threads,
                             Complex* results);

}  // namespace velmora
