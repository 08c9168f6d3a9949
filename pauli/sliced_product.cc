#include "pauli/sliced_product.h"

#include "pauli/kernel.h"

namespace velmora {

SlicedProduct::SlicedProduct(const std::vector<PauliWord>& words, Ranks& ranks, KernelIsa isa)
    : ranks_(ranks), isa_(isa) {
    const std::uint64_t low = ranks.slice() - 1;
    const unsigned shift = static_cast<unsigned>(__builtin_ctzll(ranks.slice()));
    for (const PauliWord& word : words) {
        const std::uint64_t pattern = word.term.flip_mask >> shift;
        if (runs_.empty() || runs_.back().pattern != pattern) {
            runs_.push_back({pattern, {}});
            if (pattern != 0) {
                remote_.push_back(runs_.size() - 1);
            }
        }
        // The word reads input index I = partner * slice + i for output
        // index offset + (i ^ flip_low). Its sign (-1)^popcount(s & I) splits
        // into the partner's part, a constant folded into the coefficient
        // (negating c negates both of its weights exactly), and the local
        // part, for which the sign mask is cut to the slice. The Y letters
        // above the slice stay in y_mask: they set the phase i^popcount(y)
        // and never meet a local index.
        PauliWord local = word;
        const std::uint64_t partner_base = (ranks.rank() ^ pattern) * ranks.slice();
        local.term.flip_mask &= low;
        local.term.z_mask &= low;
        if (__builtin_popcountll((word.term.y_mask | word.term.z_mask) & partner_base) & 1) {
            local.term.coeff = Complex(-word.term.coeff.real(), -word.term.coeff.imag());
        }
        runs_.back().words.push_back(std::move(local));
    }
}

void SlicedProduct::apply(const Complex* v, Complex* w, std::int32_t num_threads) {
    const std::uint64_t n = ranks_.slice();
    if (!remote_.empty()) {
        ranks_.start_exchange(runs_[remote_[0]].pattern, v, 0);
    }
    std::size_t received = 0;
    for (std::size_t r = 0; r < runs_.size(); ++r) {
        const Complex* src = v;
        if (runs_[r].pattern != 0) {
            src = ranks_.finish_exchange(static_cast<int>(received % 2));
            ++received;
            if (received < remote_.size()) {
                ranks_.start_exchange(runs_[remote_[received]].pattern, v,
                                      static_cast<int>(received % 2));
            }
        }
        apply_words_blocked(runs_[r].words.data(), runs_[r].words.size(), n, src, w,
                            num_threads, isa_, r > 0);
    }
}

}  // namespace velmora
