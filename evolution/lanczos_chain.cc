#include "evolution/lanczos_chain.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

#include "evolution/lanczos.h"
#include "evolution/reduction.h"
#include "evolution/sweeps.h"
#include "process/memory_limit.h"

namespace velmora {

LanczosChain lanczos_chain(KrylovOperator& op, const Complex* v, std::uint64_t steps,
                           std::int32_t threads, EigenObserver& observer) {
    if (op.local_dim() != op.dim()) {
        throw std::invalid_argument("the Lanczos chain does not run over MPI processes");
    }
    if (steps == 0) {
        throw std::invalid_argument("krylov_dim must be >= 1");
    }
    const std::uint64_t n = op.dim();
    LanczosChain chain;
    chain.norm = stable_norm(v, n, threads);
    if (!std::isfinite(chain.norm)) {
        throw std::invalid_argument("the vector has a non-finite entry");
    }
    if (chain.norm == 0.0) {
        return chain;
    }
    check_state_vectors(n, 3, "the Lanczos chain");
    std::unique_ptr<Complex[]> prev = std::make_unique<Complex[]>(n);
    std::unique_ptr<Complex[]> cur = std::make_unique<Complex[]>(n);
    std::unique_ptr<Complex[]> next = std::make_unique<Complex[]>(n);
    divide_into(cur.get(), v, chain.norm, n, threads);
    const double* dg = op.diagonal();
    const bool product = op.has_offdiagonal();
    const double mu = op.shift();
    double scale = 0.0;
    for (std::uint64_t j = 0; j < steps; ++j) {
        Complex* w = next.get();
        if (product) {
            op.apply_offdiagonal(cur.get(), w, threads);
        } else if (dg == nullptr) {
            std::memset(static_cast<void*>(w), 0, n * sizeof(Complex));
        }
        ++chain.products;
        const double beta_prev = j > 0 ? chain.beta[j - 1] : 0.0;
        const double alpha = subtract_previous_and_project(
            w, dg, product, j > 0 ? prev.get() : nullptr, beta_prev, cur.get(), n, threads,
            nullptr);
        const double beta = subtract_current_and_norm(w, alpha, cur.get(), n, threads, nullptr);
        if (!std::isfinite(alpha) || !std::isfinite(beta)) {
            throw std::overflow_error("the Lanczos chain left the double range");
        }
        chain.alpha.push_back(alpha + mu);
        scale = std::max(scale, std::fabs(alpha) + beta);
        if (beta <= breakdown_tol * scale) {
            chain.beta.push_back(0.0);
            break;
        }
        chain.beta.push_back(beta);
        divide_into(w, w, beta, n, threads);
        std::swap(prev, cur);
        std::swap(cur, next);
        if ((j + 1) % 16 == 0) {
            observer.between_cycles(chain.products, 0);
        }
    }
    return chain;
}

}  // namespace velmora
