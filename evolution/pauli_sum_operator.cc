#include "evolution/pauli_sum_operator.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "evolution/evolve.h"
#include "parallel/ranks.h"
#include "parallel/reduce.h"
#include "pauli/sliced_product.h"

namespace velmora {

namespace {

constexpr double eps = std::numeric_limits<double>::epsilon();

/// H as the engine applies it: the identity words' coefficient sum mu, the
/// diagonal words (flip mask 0, not identity) as one real diagonal d, and the
/// remaining words stably sorted by flip mask.
struct SplitHamiltonian {
    Hamiltonian offdiagonal;
    std::vector<PauliWord> diagonal;  // in the Hamiltonian's order
    double mu;
    /// What rounding does to the operator the engine applies, per unit time:
    /// an entry of H * v sums one term per off-diagonal word and d[x] v[x],
    /// where d[x] sums one term per diagonal word, so the computed product is
    /// (H + E) v with ||E|| <= product_rounding (the usual bound n * eps *
    /// sum |c| of a sum of n terms, two more roundings for each product and
    /// the final additions). Cancelling coefficients make it large compared to
    /// ||H||, which the Krylov quantities alone would never show.
    double product_rounding;
    /// The same for mu: |computed mu - mu| <= identity_rounding.
    double identity_rounding;
};

SplitHamiltonian split_hamiltonian(const Hamiltonian& ham) {
    double mu = 0.0;
    std::vector<PauliWord> diagonal;
    std::vector<PauliWord> rest;
    double sum_identity = 0.0;
    double sum_diagonal = 0.0;
    double sum_rest = 0.0;
    std::uint64_t identities = 0;
    for (const PauliWord& w : ham.words()) {
        const double size = std::fabs(w.coeff.real());
        if ((w.term.flip_mask | w.term.y_mask | w.term.z_mask) == 0) {
            mu = mu + w.coeff.real();
            sum_identity = sum_identity + size;
            ++identities;
        } else if (w.term.flip_mask == 0) {
            diagonal.push_back(w);
            sum_diagonal = sum_diagonal + size;
        } else {
            rest.push_back(w);
            sum_rest = sum_rest + size;
        }
    }
    if (!std::isfinite(mu)) {
        throw std::overflow_error(
            "the identity terms of H sum beyond the double range; scale H down and t up by the "
            "same factor");
    }
    // eps first: the sums of |c| may exceed the range while these do not.
    const double product_rounding =
        static_cast<double>(rest.size() + 2) * (eps * sum_rest) +
        static_cast<double>(diagonal.size() + 2) * (eps * sum_diagonal);
    const double identity_rounding = static_cast<double>(identities) * (eps * sum_identity);
    std::stable_sort(rest.begin(), rest.end(), [](const PauliWord& a, const PauliWord& b) {
        return a.term.flip_mask < b.term.flip_mask;
    });
    return {Hamiltonian(std::move(rest)).with_kernel_isa(ham.kernel_isa()), std::move(diagonal), mu,
            product_rounding, identity_rounding};
}

/// d[x] = sum_w c_w (-1)^popcount(z_w & (offset + x)) over the diagonal words
/// in their order (real parts of the coefficients: H is Hermitian), starting
/// from +0.0, for the n entries from index `offset` on. The sum per entry
/// depends on the words alone; the chunks may run on a team.
std::unique_ptr<double[]> diagonal_values(const std::vector<PauliWord>& words, std::uint64_t n,
                                          std::uint64_t offset, std::int32_t threads) {
    std::unique_ptr<double[]> d(new double[n]);
    std::vector<std::pair<std::uint64_t, double>> terms;
    terms.reserve(words.size());
    for (const PauliWord& w : words) {
        terms.emplace_back(w.term.z_mask, w.term.coeff.real());
    }
    double* out = d.get();
    const std::pair<std::uint64_t, double>* t = terms.data();
    const std::size_t count = terms.size();
    for_each_chunk(n, threads, [=](std::uint64_t b, std::uint64_t e) {
        for (std::uint64_t x = b; x < e; ++x) {
            double s = 0.0;
            for (std::size_t q = 0; q < count; ++q) {
                const double c = t[q].second;
                s = s + ((__builtin_popcountll(t[q].first & (offset + x)) & 1) ? -c : c);
            }
            out[x] = s;
        }
    });
    return d;
}

}  // namespace

PauliSumOperator::PauliSumOperator(const Hamiltonian& ham, Ranks* ranks, std::int32_t threads)
    : offdiagonal_(std::vector<PauliWord>{}) {
    dim_ = state_size(ham);
    local_dim_ = dim_;
    if (ranks != nullptr) {
        if (ranks->slice() * ranks->count() != dim_) {
            throw std::invalid_argument(
                "the ranks' slices of " + std::to_string(ranks->slice()) + " amplitudes do not "
                "make up the " + std::to_string(dim_) + " amplitudes of the Hamiltonian's states");
        }
        local_dim_ = ranks->slice();
    }
    SplitHamiltonian split = split_hamiltonian(ham);
    mu_ = split.mu;
    product_rounding_ = split.product_rounding;
    shift_rounding_ = split.identity_rounding;
    work_ = local_dim_ * std::max<std::uint64_t>(ham.words().size(), 1);
    offdiagonal_ = std::move(split.offdiagonal);
    if (!split.diagonal.empty()) {
        diagonal_ = diagonal_values(split.diagonal, local_dim_,
                                    ranks != nullptr ? ranks->offset() : 0, threads);
    }
    if (ranks != nullptr && has_offdiagonal()) {
        sliced_ = std::make_unique<SlicedProduct>(offdiagonal_.words(), *ranks,
                                                  offdiagonal_.kernel_isa());
    }
}

PauliSumOperator::~PauliSumOperator() = default;

void PauliSumOperator::apply_offdiagonal(const Complex* v, Complex* w, std::int32_t threads) {
    if (sliced_) {
        sliced_->apply(v, w, threads);
    } else if (has_offdiagonal()) {
        offdiagonal_.apply_with_threads(v, w, threads);
    }
}

std::uint64_t PauliSumOperator::exchanges() const {
    return sliced_ ? sliced_->exchanges() : 0;
}

std::size_t PauliSumOperator::exchange_buffers() const {
    return sliced_ ? sliced_->buffers() : 0;
}

}  // namespace velmora
