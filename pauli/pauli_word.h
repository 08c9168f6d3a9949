#pragma once

#include <cstdint>
#include <string>

#include "base/complex.h"

namespace velmora {

/// One compiled Pauli word: coefficient, letters and the three bit masks the
/// application kernels work from. Bit b of a mask belongs to qubit b, which is
/// the letter at position L-1-b of an L-letter string.
struct PauliTerm {
    Complex coeff;
    std::string string;
    std::uint64_t flip_mask = 0;  ///< qubits whose letter is X or Y
    std::uint64_t y_mask = 0;     ///< qubits whose letter is Y
    std::uint64_t z_mask = 0;     ///< qubits whose letter is Z

    /// Copies `coeff` and `string` and compiles the masks. Every byte other
    /// than 'X', 'Y' and 'Z' is an identity position; letters acting on qubit
    /// 64 or above (strings longer than 64 bytes) set no mask bit.
    PauliTerm(Complex coeff, std::string string);

    /// Adds this word's contribution coeff * P * in to `out`, on the calling
    /// thread. Both buffers hold 2^L amplitudes (L = string length <= 63) and
    /// do not overlap; `out` is not cleared.
    void apply(const Complex* in, Complex* out) const;

    /// Same as `apply`, with the index loop split statically over a team of
    /// team_size_for(num_threads) OpenMP threads. Bit-identical to `apply`.
    void apply_parallel(const Complex* in, Complex* out, std::int32_t num_threads) const;
};

/// A weighted Pauli word as the user wrote it, with its compiled `term`.
struct PauliWord {
    Complex coeff;
    std::string string;
    PauliTerm term;

    /// Stores `coeff` and `string` and compiles `term` from copies of both.
    PauliWord(Complex coeff, std::string string);

    /// Number of qubits: the byte length of `string`.
    std::uint64_t num_qubits() const { return string.size(); }
};

}  // namespace velmora
