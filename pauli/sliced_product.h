#pragma once

// H * v for a state vector split over ranks (parallel/ranks.h).
//
// The words are taken in their order, in runs of consecutive words that share
// the high part of their flip mask (the bits above the slice). A run with high
// part h reads the slice of rank ^ h: its words are applied to that slice as
// local words (the flip and sign masks cut to the slice, the sign of the
// partner's high index bits folded into the coefficient, exactly), adding to
// the sums the earlier runs left in the output. Each amplitude therefore
// receives the words' contributions in the words' order, as in the
// single-process kernels, and gets the same bits. With the words sorted by
// flip mask every high part forms one run, so one exchange per distinct high
// part is made per product; the next exchange is in flight while a run is
// applied, in at most two buffers.

#include <cstdint>
#include <vector>

#include "parallel/ranks.h"
#include "base/complex.h"
#include "pauli/isa.h"
#include "pauli/pauli_word.h"

namespace velmora {

class SlicedProduct {
public:
    /// `words` act on log2(ranks.count() * ranks.slice()) qubits.
    SlicedProduct(const std::vector<PauliWord>& words, Ranks& ranks, KernelIsa isa);

    /// w = H * v on this rank's slice (v and w hold ranks.slice() amplitudes
    /// and do not overlap). Every rank calls it at the same point.
    void apply(const Complex* v, Complex* w, std::int32_t num_threads);

    /// Runs that read another rank's slice: the exchanges per product.
    std::size_t exchanges() const { return remote_.size(); }
    /// Exchange buffers a product uses (0, 1 or 2).
    std::size_t buffers() const { return remote_.size() < 2 ? remote_.size() : 2; }

private:
    struct Run {
        std::uint64_t pattern;  // high part of the flip masks, in units of ranks
        std::vector<PauliWord> words;  // local to the slice
    };
    Ranks& ranks_;
    KernelIsa isa_;
    std::vector<Run> runs_;
    std::vector<std::size_t> remote_;  // indices of the runs with pattern != 0
};

}  // namespace velmora
