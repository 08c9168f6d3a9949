#pragma once

// Linear combinations B = sum_k w_k P_k of fixed Pauli sums P_k (the parts of
// a time-dependent Hamiltonian), as one operator for the Krylov engine whose
// weights change before every use. The distinct words of all parts are
// compiled and split once (evolution/pauli_sum_operator.h); setting weights
// only recomputes the coefficients, c_w = sum_k w_k table[k][w] in ascending
// k, and the diagonal. The diagonal is linear in the weights too: when the
// parts' own diagonals D_k fit the given budget they are kept, and d[x] =
// sum_k w_k D_k[x] costs one pass, instead of one pass per diagonal word.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "evolution/pauli_sum_operator.h"
#include "pauli/hamiltonian.h"

namespace velmora {

class WeightedPauliSum {
public:
    /// `words`: the distinct words (their coefficients are not used);
    /// `table`: num_parts rows of words.words().size() real coefficients,
    /// row k holding part k. The parts' diagonals are kept when they take at
    /// most `diagonal_budget` bytes. Throws std::invalid_argument when the
    /// table's size does not match.
    WeightedPauliSum(const Hamiltonian& words, std::vector<double> table, std::size_t num_parts,
                     std::uint64_t diagonal_budget, std::int32_t threads);

    /// B = sum_k weights[k] P_k (num_parts weights), on a team of `threads`;
    /// the same bytes for every team.
    void set_weights(const double* weights, std::int32_t threads);

    /// The operator, as last weighted.
    PauliSumOperator& op() { return op_; }

    std::size_t num_parts() const { return num_parts_; }

    /// Whether the parts' diagonals are kept (false: formed from the words).
    bool keeps_diagonals() const { return !diagonals_.empty(); }

private:
    PauliSumOperator op_;
    std::vector<double> table_;
    std::size_t num_parts_;
    std::size_t num_words_;
    std::vector<double> coeffs_;
    /// The parts with diagonal words, ascending, and their diagonals when kept.
    std::vector<std::size_t> diagonal_parts_;
    std::vector<std::unique_ptr<double[]>> diagonals_;
};

}  // namespace velmora
