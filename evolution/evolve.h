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

/// Number of amplitudes of the state vectors `ham` acts on, 2^num_qubits.
/// Throws std::invalid_argument for a Hamiltonian without words or with more
/// than max_evolve_qubits qubits.
std::uint64_t state_size(const Hamiltonian& ham);

}  // namespace velmora
