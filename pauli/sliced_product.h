#pragma once

// H * v for a state vector split over ranks (parallel/ranks.h).
//
// The product is that of pauli/flip_groups.h: the words in groups of one flip
// mask, one pass per group. Consecutive groups that share the high part of
// their flip mask (the bits above the slice) form a run; a run with high part
// h reads the slice of rank ^ h, and its groups are applied to that slice as
// local groups: the flip and sign masks cut to the slice, the sign of the
// partner's high index bits folded into each word's weight (exactly). The
// local group's factor is then the whole group's, bit for bit (its table is
// the whole one's up to one exact sign), and the partition into groups is
// the whole sum's, so every amplitude gets the single-process bytes. With the
// words sorted by flip mask every high part forms one run, so one exchange
// per distinct high part is made per product; the next exchange is in flight
// while a run is applied, in at most two buffers.

#include <cstdint>
#include <vector>

#include "parallel/ranks.h"
#include "base/complex.h"
#include "pauli/flip_groups.h"
#include "pauli/isa.h"
#include "pauli/pauli_word.h"

namespace velmora {

class SlicedProduct {
public:
    /// The terms (on log2(ranks.count() * ranks.slice()) qubits) in the
    /// partition `starts` (pauli/flip_groups.h) of the whole sum.
    SlicedProduct(const std::vector<GroupTerm>& terms, const std::vector<std::size_t>& starts,
                  Ranks& ranks, KernelIsa isa);
    /// The words in their order, grouped as group_starts groups them.
    SlicedProduct(const std::vector<PauliWord>& words, Ranks& ranks, KernelIsa isa);

    /// w = H * v on this rank's slice (v and w hold ranks.slice() amplitudes
    /// and do not overlap); with `accumulate`, w += H * v (each entry
    /// continuing its sum). Every rank calls it at the same point.
    void apply(const Complex* v, Complex* w, std::int32_t num_threads, bool accumulate = false);

    /// Runs that read another rank's slice: the exchanges per product.
    std::size_t exchanges() const { return remote_.size(); }
    /// Exchange buffers a product uses (0, 1 or 2).
    std::size_t buffers() const { return remote_.size() < 2 ? remote_.size() : 2; }

private:
    struct Run {
        std::uint64_t pattern;  // high part of the flip masks, in units of ranks
        FlipGroups groups;      // local to the slice
    };
    Ranks& ranks_;
    KernelIsa isa_;
    std::vector<Run> runs_;
    std::vector<std::size_t> remote_;  // indices of the runs with pattern != 0
};

}  // namespace velmora
