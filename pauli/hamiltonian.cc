#include "pauli/hamiltonian.h"

#include "pauli/kernel.h"

#include <omp.h>
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace velmora {

Hamiltonian::Hamiltonian(std::vector<PauliWord> words) : words_(std::move(words)) {
    for (std::size_t t = 1; t < words_.size(); ++t) {
        if (words_[t].num_qubits() != words_[0].num_qubits()) {
            throw std::invalid_argument(
                "all words of a Hamiltonian need strings of the same length: word " +
                std::to_string(t) + " has " + std::to_string(words_[t].num_qubits()) +
                " bytes, but word 0 has " + std::to_string(words_[0].num_qubits()));
        }
    }
}

std::uint64_t Hamiltonian::num_qubits() const {
    return words_.empty() ? 0 : words_.front().num_qubits();
}

void Hamiltonian::apply(const Complex* in, Complex* out) const {
    apply_blocked(*this, in, out, 0, detected_kernel_isa());
}

std::int32_t bounded_team_size(std::int32_t num_threads) {
    const std::int32_t limit = std::min<std::int32_t>(max_team_size, omp_get_thread_limit());
    return std::clamp<std::int32_t>(num_threads, 1, std::max<std::int32_t>(limit, 1));
}

void prepare_team(std::int32_t num_threads) {
    const std::int32_t team_size = bounded_team_size(num_threads);
    if (team_size > 1) {
        std::size_t stack_size = 8u << 20;
        pthread_attr_t attr;
        if (pthread_getattr_default_np(&attr) == 0) {
            std::size_t default_size = 0;
            if (pthread_attr_getstacksize(&attr, &default_size) == 0 && default_size > 0) {
                stack_size = default_size;
            }
            pthread_attr_destroy(&attr);
        }
        // Stacks, guard pages and thread-local storage of the workers.
        const std::size_t probe =
            static_cast<std::size_t>(team_size - 1) * (stack_size + (256u << 10));
        void* space = mmap(nullptr, probe, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                           -1, 0);
        if (space == MAP_FAILED) {
            throw std::bad_alloc();
        }
        munmap(space, probe);
    }
    // An empty region would be optimised away; the barrier in the body keeps
    // the region, and with it the creation of the team's threads.
#pragma omp parallel num_threads(team_size)
    {
#pragma omp barrier
    }
}

void Hamiltonian::apply_parallel(const Complex* in, Complex* out,
                                 std::int32_t num_threads) const {
    apply_blocked(*this, in, out, num_threads == 0 ? 1 : num_threads, detected_kernel_isa());
}

}  // namespace velmora
