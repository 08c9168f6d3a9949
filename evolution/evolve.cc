#include "evolution/evolve.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>

#include "evolution/lanczos.h"

namespace velmora {

std::uint64_t state_size(const Hamiltonian& ham) {
    if (ham.words().empty()) {
        throw std::invalid_argument("the Hamiltonian has no words; it needs at least one");
    }
    if (ham.num_qubits() > max_evolve_qubits) {
        throw std::invalid_argument("the Hamiltonian acts on " +
                                    std::to_string(ham.num_qubits()) +
                                    " qubits; evolve supports at most " +
                                    std::to_string(max_evolve_qubits));
    }
    return std::uint64_t{1} << ham.num_qubits();
}

std::unique_ptr<Complex[]> Hamiltonian::evolve(const Complex* state, Complex c,
                                               std::int32_t num_threads) const {
    const std::uint64_t n = state_size(*this);
    if (num_threads < 0) {
        throw std::invalid_argument("num_threads must be 0 (serial) or positive, got " +
                                    std::to_string(num_threads));
    }
    if (num_threads > 0) {
        prepare_team(num_threads);
    }
    std::unique_ptr<Complex[]> result = std::make_unique<Complex[]>(n);
    const double x = vector_norm(state, n);
    if (x == 0.0) {
        // exp(-i c H) 0 = 0: the zero-filled buffer is already the answer.
        return result;
    }
    const std::uint64_t m = std::min(n, max_krylov_dim);
    const std::unique_ptr<Complex[]> T = std::make_unique<Complex[]>(m * m);
    const std::uint64_t k = lanczos_tridiagonalize(*this, state, x, T.get(), m, num_threads);
    lanczos_propagate(*this, state, x, T.get(), m, k, c, result.get(), num_threads);
    return result;
}

}  // namespace velmora
