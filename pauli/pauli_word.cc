#include "pauli/pauli_word.h"

#include "pauli/kernel.h"
#include "parallel/policy.h"

#include <omp.h>

#include <utility>

namespace velmora {

PauliTerm::PauliTerm(Complex coeff_, std::string string_)
    : coeff(coeff_), string(std::move(string_)) {
    const std::size_t length = string.size();
    for (std::size_t i = 0; i < length; ++i) {
        const std::size_t qubit = length - 1 - i;
        if (qubit >= 64) {
            continue;  // no mask bit of its own; such a word is never applied
        }
        const std::uint64_t bit = std::uint64_t{1} << qubit;
        switch (string[i]) {
            case 'X':
                flip_mask |= bit;
                break;
            case 'Y':
                flip_mask |= bit;
                y_mask |= bit;
                break;
            case 'Z':
                z_mask |= bit;
                break;
            default:
                break;
        }
    }
}

PauliWord::PauliWord(Complex coeff_, std::string string_)
    : coeff(coeff_), string(std::move(string_)), term(coeff, string) {}

// ---------------------------------------------------------------------------
// Per-word kernels: one word's contribution over all indices, in index order.
// Hamiltonian::apply and apply_parallel use the blocked kernels of kernel.cc,
// which give every output entry the same operations in the same order.

namespace {

/// The shared loop body of both kernels: indices [begin, end) in increasing
/// order, each adding (c x q) x in[i] to out[i ^ flip_mask].
inline void apply_range(const PauliTerm& term, const TermWeights& w, const Complex* in,
                        Complex* out, std::uint64_t begin, std::uint64_t end) {
    const double* src = reinterpret_cast<const double*>(in);
    double* dst = reinterpret_cast<double*>(out);
    const std::uint64_t flip = term.flip_mask;
    const std::uint64_t sign_mask = term.z_mask | term.y_mask;
    for (std::uint64_t i = begin; i < end; ++i) {
        add_contribution(w, sign_mask, src, dst, i, i ^ flip);
    }
}

}  // namespace

void PauliTerm::apply(const Complex* in, Complex* out) const {
    const std::uint64_t count = std::uint64_t{1} << string.size();
    apply_range(*this, term_weights(*this), in, out, 0, count);
}

void PauliTerm::apply_parallel(const Complex* in, Complex* out, std::int32_t num_threads) const {
    const std::int64_t count = std::int64_t{1} << string.size();
    const TermWeights w = term_weights(*this);
    Policy::for_threads(num_threads).for_each_share(
        static_cast<std::uint64_t>(count),
        [&](std::uint64_t begin, std::uint64_t end) { apply_range(*this, w, in, out, begin, end); });
}

}  // namespace velmora
