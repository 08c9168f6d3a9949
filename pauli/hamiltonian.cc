#include "pauli/hamiltonian.h"

#include <stdexcept>
#include <string>
#include <utility>

#include "pauli/kernel.h"

namespace velmora {

Hamiltonian::Hamiltonian(std::vector<PauliWord> words)
    : words_(std::move(words)), isa_(detected_kernel_isa()) {
    for (std::size_t t = 1; t < words_.size(); ++t) {
        if (words_[t].num_qubits() != words_[0].num_qubits()) {
            throw std::invalid_argument(
                "all words of a Hamiltonian need strings of the same length: word " +
                std::to_string(t) + " has " + std::to_string(words_[t].num_qubits()) +
                " bytes, but word 0 has " + std::to_string(words_[0].num_qubits()));
        }
    }
}

Hamiltonian Hamiltonian::with_kernel_isa(KernelIsa isa) const {
    Hamiltonian copy = *this;
    copy.isa_ = isa;
    return copy;
}

std::uint64_t Hamiltonian::num_qubits() const {
    return words_.empty() ? 0 : words_.front().num_qubits();
}

void Hamiltonian::apply(const Complex* in, Complex* out) const {
    apply_blocked(*this, in, out, 0, isa_);
}

void Hamiltonian::apply_parallel(const Complex* in, Complex* out,
                                 std::int32_t num_threads) const {
    apply_blocked(*this, in, out, num_threads == 0 ? 1 : num_threads, isa_);
}

void Hamiltonian::apply_batch(const Complex* const* in, Complex* const* out, std::size_t count,
                              std::int32_t num_threads) const {
    apply_blocked_batch(*this, in, out, count, num_threads, isa_);
}

}  // namespace velmora
