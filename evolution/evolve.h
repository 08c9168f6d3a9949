#pragma once

#include <cstdint>

#include "pauli/hamiltonian.h"

namespace velmora {

/// Upper bound on the dimension of the Krylov space of one evolution.
inline constexpr std::uint64_t max_krylov_dim = 30;

/// Largest qubit count an evolution accepts: 2^63 is the largest power of two
/// an unsigned 64-bit count holds. (Such a vector cannot be allocated: its byte
/// count overflows, which is reported as an allocation failure.)
inline constexpr std::uint64_t max_evolve_qubits = 63;

// Hamiltonian::evolve(state, c, num_threads) returns exp(-i * c * H) * state as
// a new buffer of 2^num_qubits amplitudes, by one two-pass Lanczos step of
// dimension at most max_krylov_dim (evolution/lanczos.h) with the dense
// exponential of evolution/matrix_exponential.h. `num_threads` 0 runs on the
// calling thread, a positive value on a team (the same bits). A nonzero finite
// state whose plain norm underflows or overflows is scaled by a power of two
// and the result scaled back. Throws std::invalid_argument for a Hamiltonian
// without words, with more than 63 qubits, or for a negative `num_threads`;
// std::bad_alloc when memory runs out.

/// Number of amplitudes of the state vectors `ham` acts on, 2^num_qubits.
/// Throws std::invalid_argument for a Hamiltonian without words or with more
/// than max_evolve_qubits qubits.
std::uint64_t state_size(const Hamiltonian& ham);

}  // namespace velmora
