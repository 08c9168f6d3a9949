#include "evolution/evolve.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

#include "evolution/lanczos.h"
#include "process/memory_limit.h"
#include "parallel/policy.h"

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

namespace {

/// The power of two that brings the largest component of a nonzero, finite
/// state near 1, or 0 when the state is zero or has a non-finite entry.
int rescaling_exponent(const Complex* state, std::uint64_t n) {
    double largest = 0.0;
    for (std::uint64_t i = 0; i < n; ++i) {
        const double parts[2] = {std::fabs(state[i].real()), std::fabs(state[i].imag())};
        for (double part : parts) {
            if (!std::isfinite(part)) {
                return 0;
            }
            largest = std::max(largest, part);
        }
    }
    return largest == 0.0 ? 0 : -std::ilogb(largest);
}

/// v[i] * 2^e, part by part (exact unless the result leaves the range).
void scale_by_power_of_two(Complex* v, const Complex* src, std::uint64_t n, int e) {
    for (std::uint64_t i = 0; i < n; ++i) {
        v[i] = Complex(std::ldexp(src[i].real(), e), std::ldexp(src[i].imag(), e));
    }
}

}  // namespace

Buffer<Complex> Hamiltonian::evolve(const Complex* state, Complex c,
                                    std::int32_t num_threads) const {
    const std::uint64_t n = state_size(*this);
    if (num_threads < 0) {
        throw std::invalid_argument("num_threads must be 0 (serial) or positive, got " +
                                    std::to_string(num_threads));
    }
    if (num_threads > 0) {
        prepare_team(num_threads, n * std::max<std::uint64_t>(words().size(), sweep_entry_work));
    }
    // The result and the three scratch vectors of a Lanczos pass.
    check_state_vectors(n, 4, "evolve");
    // Cleared by the team that writes it later (the pages land where they
    // are used); a zero state leaves it as the answer.
    Buffer<Complex> result = team_zeros<Complex>(n, num_threads);
    const double x = vector_norm(state, n);
    if (x == 0.0 || !std::isfinite(x)) {
        // The plain sum of squares underflows to 0 for tiny amplitudes and
        // overflows for huge ones. A nonzero, finite state is then scaled by a
        // power of two (exact), evolved, and the result scaled back; a zero
        // state, or one with a non-finite entry, goes on as before.
        const int e = rescaling_exponent(state, n);
        if (e != 0) {
            result.reset();
            check_state_vectors(n, 5, "evolve");  // the scaled copy besides the four
            Buffer<Complex> scaled = uninitialised_buffer<Complex>(n);
            scale_by_power_of_two(scaled.get(), state, n, e);
            result = evolve(scaled.get(), c, num_threads);
            scale_by_power_of_two(result.get(), result.get(), n, -e);
            return result;
        }
    }
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
