#pragma once

// The basis of a sector: the orbits of basis indices under a symmetry group
// (sector/symmetry_group.h), optionally restricted to a fixed number of set
// bits (the weight), on which the group's character is trivial on the
// stabiliser. Each orbit is represented by its smallest index r, and its
// basis vector is
//
//   |r~> = |orbit(r)|^(-1/2) * sum over distinct s = g r of conj(chi(g)) |s>,
//
// so that g |r~> = chi(g) |r~>. The representatives are held in ascending
// order; the result of the build is the same for every thread count.
//
// Finding the basis vector of an index x: its representative (the orbit
// minimum, element by element), then the position of the representative:
// by its combinatorial rank when the group is trivial and the weight fixed
// (all states of that weight, in ascending order, ranked from split tables),
// x itself for the whole space, else a binary search within the bucket of
// its high bits.

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "base/complex.h"
#include "sector/symmetry_group.h"

namespace velmora {

class SectorBasis {
public:
    static constexpr std::uint64_t npos = std::numeric_limits<std::uint64_t>::max();
    /// No fixed weight.
    static constexpr std::int32_t any_weight = -1;

    /// Enumerates the sector on a team of `threads` (0: the calling thread),
    /// calling `progress(fraction done)` on the calling thread between
    /// batches (it may throw to stop the build). Throws std::invalid_argument
    /// for a weight outside 0..n; OutOfMemory (process/memory_limit.h) before
    /// the enumeration when the fewest states the sector can have do not fit,
    /// std::bad_alloc when the states found do not.
    SectorBasis(SymmetryGroup group, std::int32_t weight, std::int32_t threads,
                const std::function<void(double)>& progress = {});

    const SymmetryGroup& group() const { return group_; }
    std::uint32_t num_qubits() const { return group_.num_qubits(); }
    std::int32_t weight() const { return weight_; }
    std::uint64_t size() const { return states_.size(); }
    const std::uint64_t* states() const { return states_.data(); }
    /// sqrt(|orbit|) of each basis vector.
    const double* orbit_roots() const { return roots_.data(); }

    /// Number of candidate indices the build examines: C(n, weight) or 2^n.
    static std::uint64_t candidates(std::uint32_t num_qubits, std::int32_t weight);

    /// Where x lies: the index of its orbit's basis vector (npos when the
    /// orbit is not in the sector) and a group element g with g(x) equal to
    /// the representative.
    struct Location {
        std::uint64_t index;
        std::size_t element;
    };
    Location locate(std::uint64_t x) const {
        if (weight_ != any_weight && __builtin_popcountll(x) != weight_) return {npos, 0};
        if (group_.trivial()) {
            if (weight_ == any_weight) return {x, 0};
            return {rank(x), 0};
        }
        const auto [rep, g] = group_.representative(x);
        return {find(rep), g};
    }

    /// The full vector (2^n amplitudes, written entirely) of the sector
    /// vector phi.
    void embed(const Complex* phi, Complex* psi, std::int32_t threads) const;
    /// The components <r~|psi> of a full vector psi.
    void project(const Complex* psi, Complex* phi, std::int32_t threads) const;

    /// With a fixed weight and no symmetries: the position of x among the
    /// indices of that weight (x must have the weight; any other x gives
    /// some number, never an out-of-range read).
    std::uint64_t rank(std::uint64_t x) const {
        std::uint64_t r = 0;
        std::uint32_t below = 0;
        for (std::uint32_t c = 0; c < chunks_; ++c) {
            const std::uint32_t byte = (x >> (8 * c)) & 0xff;
            r += rank_tables_[(c * rank_stride_ + below) * 256 + byte];
            below += __builtin_popcount(byte);
        }
        return r;
    }
private:
    std::uint64_t find(std::uint64_t rep) const;

    SymmetryGroup group_;
    std::int32_t weight_;
    std::uint32_t chunks_;
    std::vector<std::uint64_t> states_;
    std::vector<double> roots_;
    std::vector<std::uint64_t> rank_tables_;  // per byte position and set bits below it
    std::uint32_t rank_stride_ = 0;
    std::uint32_t bucket_shift_ = 0;
    std::vector<std::uint64_t> buckets_;  // first state of each value of x >> bucket_shift_
};

/// C(n, k) for n <= 64 (saturating at 2^64 - 1).
std::uint64_t binomial(std::uint32_t n, std::uint32_t k);

}  // namespace velmora
