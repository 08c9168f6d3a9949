#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "pauli/isa.h"
#include "pauli/pauli_word.h"
#include "parallel/buffer.h"
#include "parallel/team.h"

namespace velmora {

/// An ordered sum of Pauli words over a fixed number of qubits, immutable once
/// built. Every word must have the same string length.
class Hamiltonian {
public:
    /// Takes the words over, in order. Throws std::invalid_argument naming the
    /// first word whose string length differs from the first word's.
    explicit Hamiltonian(std::vector<PauliWord> words);

    /// The words of the sum, in construction order.
    const std::vector<PauliWord>& words() const { return words_; }

    /// Qubit count: the first word's string length (0 for no words).
    std::uint64_t num_qubits() const;

    /// The instruction set of the kernels that apply this Hamiltonian and of
    /// the dense stage of its evolution: the widest this processor runs,
    /// unless chosen with `with_kernel_isa`. Every choice gives the same bits.
    KernelIsa kernel_isa() const { return isa_; }

    /// A copy that runs the given instruction set's bodies (which the
    /// processor must support): tests and benchmarks pass it along the whole
    /// path of an evolution this way.
    Hamiltonian with_kernel_isa(KernelIsa isa) const;

    /// out = H * in on the calling thread; both buffers hold 2^num_qubits
    /// amplitudes and do not overlap; `out` is overwritten completely. Every
    /// entry starts at +0.0 and adds the words' contributions in word order.
    void apply(const Complex* in, Complex* out) const;

    /// out = H * in with the output blocks split statically over a team of
    /// bounded_team_size(num_threads) threads (one region per call);
    /// bit-identical to `apply`.
    void apply_parallel(const Complex* in, Complex* out, std::int32_t num_threads) const;

    /// `apply` for num_threads 0, `apply_parallel` otherwise: the kernel a
    /// caller's thread count selects.
    void apply_with_threads(const Complex* in, Complex* out, std::int32_t num_threads) const {
        if (num_threads == 0) {
            apply(in, out);
        } else {
            apply_parallel(in, out, num_threads);
        }
    }

    /// out[s] = H * in[s] for `count` states of 2^num_qubits amplitudes each
    /// (no output overlapping an input or another output), one pass of the
    /// kernel for all of them (apply_blocked_batch): the bits of `count` calls
    /// of apply_with_threads, for every count and num_threads (0: the calling
    /// thread).
    void apply_batch(const Complex* const* in, Complex* const* out, std::size_t count,
                     std::int32_t num_threads) const;

    /// exp(-i * c * H) * state: the Krylov evolution, implemented and documented
    /// with the other evolution code in evolution/evolve.h. The result is
    /// released with std::free (parallel/buffer.h).
    Buffer<Complex> evolve(const Complex* state, Complex c, std::int32_t num_threads) const;

private:
    std::vector<PauliWord> words_;
    KernelIsa isa_;
};

}  // namespace velmora
