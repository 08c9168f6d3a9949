#include "pauli/sliced_product.h"

namespace velmora {

namespace {

std::vector<GroupTerm> terms_of(const std::vector<PauliWord>& words) {
    std::vector<GroupTerm> terms;
    terms.reserve(words.size());
    for (const PauliWord& w : words) terms.push_back(group_term(w.term));
    return terms;
}

}  // namespace

SlicedProduct::SlicedProduct(const std::vector<PauliWord>& words, Ranks& ranks, KernelIsa isa)
    : SlicedProduct(terms_of(words), group_starts(terms_of(words)), ranks, isa) {}

SlicedProduct::SlicedProduct(const std::vector<GroupTerm>& terms,
                             const std::vector<std::size_t>& starts, Ranks& ranks, KernelIsa isa)
    : ranks_(ranks), isa_(isa) {
    const std::uint64_t slice = ranks.slice();
    const std::uint64_t low = slice - 1;
    const unsigned shift = static_cast<unsigned>(__builtin_ctzll(slice));
    // The groups of each run, as local terms and the partition among them.
    std::vector<GroupTerm> local;
    std::vector<std::size_t> local_starts;
    std::uint64_t pattern = 0;
    auto close_run = [&] {
        if (local.empty()) return;
        local_starts.push_back(local.size());
        runs_.push_back({pattern, FlipGroups(local, local_starts, slice, isa_)});
        if (pattern != 0) remote_.push_back(runs_.size() - 1);
        local.clear();
        local_starts.clear();
    };
    for (std::size_t b = 0; b + 1 < starts.size(); ++b) {
        if (starts[b] == starts[b + 1]) continue;
        const std::uint64_t group_pattern = terms[starts[b]].flip >> shift;
        if (!local.empty() && group_pattern != pattern) close_run();
        pattern = group_pattern;
        local_starts.push_back(local.size());
        // A term reads input index I = partner * slice + i for output index
        // offset + (i ^ flip_low). Its sign (-1)^popcount(s & I) splits into
        // the partner's part, a constant folded into the weight (negating
        // both parts is exact), and the local part, with the sign mask cut
        // to the slice.
        const std::uint64_t partner_base = (ranks.rank() ^ pattern) * slice;
        for (std::size_t t = starts[b]; t < starts[b + 1]; ++t) {
            GroupTerm term = terms[t];
            if (__builtin_popcountll(term.sign & partner_base) & 1) {
                term.weight = Complex(-term.weight.real(), -term.weight.imag());
            }
            term.flip &= low;
            term.sign &= low;
            local.push_back(term);
        }
    }
    close_run();
}

void SlicedProduct::apply(const Complex* v, Complex* w, std::int32_t num_threads,
                          bool accumulate) {
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
        runs_[r].groups.apply(src, w, num_threads, accumulate || r > 0);
    }
}

}  // namespace velmora
