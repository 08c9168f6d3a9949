#include "evolution/weighted_sum.h"

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "parallel/reduce.h"

namespace velmora {

WeightedPauliSum::WeightedPauliSum(const Hamiltonian& words, std::vector<double> table,
                                   std::size_t num_parts, std::uint64_t diagonal_budget,
                                   std::int32_t threads)
    : op_(words, nullptr, threads),
      table_(std::move(table)),
      num_parts_(num_parts),
      num_words_(words.words().size()),
      coeffs_(num_words_, 0.0) {
    if (num_parts_ == 0 || table_.size() != num_parts_ * num_words_) {
        throw std::invalid_argument("the table needs " + std::to_string(num_words_) +
                                    " coefficients for each of at least one part, got " +
                                    std::to_string(table_.size()) + " for " +
                                    std::to_string(num_parts_));
    }
    for (std::size_t k = 0; k < num_parts_; ++k) {
        for (std::size_t w = 0; w < num_words_; ++w) {
            const PauliTerm& term = words.words()[w].term;
            const bool diagonal = term.flip_mask == 0 && (term.z_mask | term.y_mask) != 0;
            if (diagonal && table_[k * num_words_ + w] != 0.0) {
                diagonal_parts_.push_back(k);
                break;
            }
        }
    }
    const std::uint64_t n = op_.local_dim();
    if (op_.diagonal() != nullptr && !diagonal_parts_.empty() &&
        diagonal_parts_.size() <= diagonal_budget / 8 / n) {
        // D_k is the diagonal of the operator weighted by part k alone.
        for (std::size_t k : diagonal_parts_) {
            op_.set_coefficients(table_.data() + k * num_words_, threads);
            diagonals_.emplace_back(new double[n]);
            std::memcpy(diagonals_.back().get(), op_.diagonal(), n * sizeof(double));
        }
    }
}

void WeightedPauliSum::set_weights(const double* weights, std::int32_t threads) {
    for (std::size_t w = 0; w < num_words_; ++w) {
        double c = 0.0;
        for (std::size_t k = 0; k < num_parts_; ++k) {
            c = c + weights[k] * table_[k * num_words_ + w];
        }
        coeffs_[w] = c;
    }
    op_.set_coefficients(coeffs_.data(), threads, !keeps_diagonals());
    if (!keeps_diagonals()) {
        return;
    }
    std::vector<std::pair<const double*, double>> terms;
    for (std::size_t j = 0; j < diagonal_parts_.size(); ++j) {
        terms.emplace_back(diagonals_[j].get(), weights[diagonal_parts_[j]]);
    }
    double* out = op_.diagonal_data();
    const std::pair<const double*, double>* t = terms.data();
    const std::size_t count = terms.size();
    for_each_chunk(op_.local_dim(), threads, [=](std::uint64_t b, std::uint64_t e) {
        for (std::uint64_t x = b; x < e; ++x) {
            double s = 0.0;
            for (std::size_t j = 0; j < count; ++j) {
                s = s + t[j].second * t[j].first[x];
            }
            out[x] = s;
        }
    });
}

}  // namespace velmora
