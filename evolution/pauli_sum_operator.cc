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

/// d[x] = sum_w c_w (-1)^popcount(z_w & (offset + x)) over the diagonal words
/// in their order (real parts of the coefficients: H is Hermitian), starting
/// from +0.0, for the n entries from index `offset` on, written to `out`. The
/// sum per entry depends on the words alone; the chunks may run on a team.
void diagonal_values(const std::vector<const PauliWord*>& words, double* out, std::uint64_t n,
                     std::uint64_t offset, std::int32_t threads) {
    std::vector<std::pair<std::uint64_t, double>> terms;
    terms.reserve(words.size());
    for (const PauliWord* w : words) {
        terms.emplace_back(w->term.z_mask, w->term.coeff.real());
    }
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
}

}  // namespace

PauliSumOperator::PauliSumOperator(const Hamiltonian& ham, Ranks* ranks, std::int32_t threads)
    : words_(ham.words()), isa_(ham.kernel_isa()) {
    dim_ = state_size(ham);
    local_dim_ = dim_;
    if (ranks != nullptr) {
        if (ranks->slice() * ranks->count() != dim_) {
            throw std::invalid_argument(
                "the ranks' slices of " + std::to_string(ranks->slice()) + " amplitudes do not "
                "make up the " + std::to_string(dim_) + " amplitudes of the Hamiltonian's states");
        }
        local_dim_ = ranks->slice();
        offset_ = ranks->offset();
    }
    // The identity words go to mu, the diagonal words (flip mask 0, not the
    // identity) to the real diagonal d, the rest, stably sorted by flip mask,
    // to the kernel. The split and the order are fixed here, once.
    for (std::uint32_t t = 0; t < words_.size(); ++t) {
        const PauliTerm& term = words_[t].term;
        if ((term.flip_mask | term.y_mask | term.z_mask) == 0) {
            identity_source_.push_back(t);
        } else if (term.flip_mask == 0) {
            diagonal_source_.push_back(t);
        } else {
            offdiagonal_source_.push_back(t);
        }
    }
    std::stable_sort(offdiagonal_source_.begin(), offdiagonal_source_.end(),
                     [this](std::uint32_t a, std::uint32_t b) {
                         return words_[a].term.flip_mask < words_[b].term.flip_mask;
                     });
    if (!diagonal_source_.empty()) {
        diagonal_.reset(new double[local_dim_]);
    }
    split(threads, true, ranks == nullptr);
    // A pass per group, and one for the diagonal.
    work_ = local_dim_ * std::max<std::uint64_t>(
                             starts_.size() - 1 + (diagonal_source_.empty() ? 0 : 1), 1);
    if (ranks != nullptr && has_offdiagonal()) {
        sliced_ = std::make_unique<SlicedProduct>(terms_, starts_, *ranks, isa_);
    }
}

void PauliSumOperator::set_coefficients(const double* coeffs, std::int32_t threads,
                                        bool form_diagonal) {
    if (sliced_) {
        throw std::logic_error("set_coefficients: an operator over ranks cannot be reweighted");
    }
    for (std::size_t t = 0; t < words_.size(); ++t) {
        words_[t] = PauliWord(Complex(coeffs[t], 0.0), words_[t].string);
    }
    split(threads, form_diagonal);
}

void PauliSumOperator::split(std::int32_t threads, bool form_diagonal, bool form_groups) {
    double mu = 0.0;
    double sum_identity = 0.0;
    for (std::uint32_t t : identity_source_) {
        mu = mu + words_[t].coeff.real();
        sum_identity = sum_identity + std::fabs(words_[t].coeff.real());
    }
    if (!std::isfinite(mu)) {
        throw std::overflow_error(
            "the identity terms of H sum beyond the double range; scale H down and t up by the "
            "same factor");
    }
    std::vector<const PauliWord*> diagonal;
    double sum_diagonal = 0.0;
    for (std::uint32_t t : diagonal_source_) {
        diagonal.push_back(&words_[t]);
        sum_diagonal = sum_diagonal + std::fabs(words_[t].coeff.real());
    }
    terms_.clear();
    for (std::uint32_t t : offdiagonal_source_) {
        terms_.push_back(group_term(words_[t].term));
    }
    // The partition depends on the masks alone: the same for every weighting.
    if (starts_.empty()) {
        starts_ = group_starts(terms_);
    }
    // Summed in the Hamiltonian's order, not the kernel's.
    double sum_rest = 0.0;
    for (const PauliWord& w : words_) {
        if (w.term.flip_mask != 0) {
            sum_rest = sum_rest + std::fabs(w.coeff.real());
        }
    }
    // What rounding does to the operator the engine applies, per unit time:
    // an entry of H * v sums one term per group, each the product of a sum of
    // the group's words, and d[x] v[x], where d[x] sums one term per diagonal
    // word; every word's term thus passes at most (words in its group - 1) +
    // (groups) <= (off-diagonal words) additions, so the computed product is
    // (H + E) v with ||E|| <= product_rounding (the usual bound n * eps *
    // sum |c| of a sum of n terms, two more roundings for each product and the
    // final additions). Cancelling coefficients make it large compared to
    // ||H||, which the Krylov quantities alone would never show. The same for
    // mu: |computed mu - mu| <= shift_rounding. eps first: the sums of |c| may
    // exceed the range while these do not.
    product_rounding_ = static_cast<double>(terms_.size() + 2) * (eps * sum_rest) +
                        static_cast<double>(diagonal.size() + 2) * (eps * sum_diagonal);
    shift_rounding_ = static_cast<double>(identity_source_.size()) * (eps * sum_identity);
    mu_ = mu;
    if (form_groups) {
        groups_ = FlipGroups(terms_, starts_, local_dim_, isa_);
    }
    if (!diagonal.empty() && form_diagonal) {
        diagonal_values(diagonal, diagonal_.get(), local_dim_, offset_, threads);
    }
}

PauliSumOperator::~PauliSumOperator() = default;

void PauliSumOperator::apply_offdiagonal(const Complex* v, Complex* w, std::int32_t threads) {
    if (sliced_) {
        sliced_->apply(v, w, threads);
    } else if (has_offdiagonal()) {
        groups_.apply(v, w, threads, false);
    }
}

void PauliSumOperator::add_offdiagonal(const Complex* v, Complex* w, std::int32_t threads) {
    if (sliced_) {
        sliced_->apply(v, w, threads, true);
    } else if (has_offdiagonal()) {
        groups_.apply(v, w, threads, true);
    }
}

std::uint64_t PauliSumOperator::exchanges() const {
    return sliced_ ? sliced_->exchanges() : 0;
}

std::size_t PauliSumOperator::exchange_buffers() const {
    return sliced_ ? sliced_->buffers() : 0;
}

}  // namespace velmora
