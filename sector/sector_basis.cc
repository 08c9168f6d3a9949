#include "sector/sector_basis.h"

#include <algorithm>
#include <cstdio>
#include <cmath>
#include <limits>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "parallel/policy.h"
#include "process/memory_limit.h"
#include "parallel/team.h"

namespace velmora {

namespace {

/// Candidates examined per work item; a fixed number, so that the items and
/// the order in which their results are joined do not depend on the team.
constexpr std::uint64_t chunk_candidates = std::uint64_t{1} << 16;
/// Items per batch between two progress calls.
constexpr std::uint64_t batch_chunks = 256;

/// The index with `weight` set bits of colex rank `r` (the r-th smallest).
std::uint64_t unrank(std::uint64_t r, std::uint32_t n, std::uint32_t weight) {
    std::uint64_t x = 0;
    std::uint32_t p = n;
    for (std::uint32_t j = weight; j >= 1; --j) {
        // The largest p with C(p, j) <= r.
        while (binomial(p, j) > r) --p;
        x |= std::uint64_t{1} << p;
        r -= binomial(p, j);
    }
    return x;
}

/// The next larger index with the same number of set bits.
std::uint64_t next_same_weight(std::uint64_t x) {
    const std::uint64_t c = x & (~x + 1);
    const std::uint64_t r = x + c;
    return (((r ^ x) >> 2) / c) | r;
}

}  // namespace

std::uint64_t binomial(std::uint32_t n, std::uint32_t k) {
    if (k > n) return 0;
    k = std::min(k, n - k);
    unsigned __int128 c = 1;
    for (std::uint32_t i = 1; i <= k; ++i) {
        c = c * (n - k + i) / i;  // exact: c * (n-k+i) is divisible by i
        if (c > std::numeric_limits<std::uint64_t>::max()) {
            return std::numeric_limits<std::uint64_t>::max();
        }
    }
    return static_cast<std::uint64_t>(c);
}

std::uint64_t SectorBasis::candidates(std::uint32_t num_qubits, std::int32_t weight) {
    return weight == any_weight ? std::uint64_t{1} << num_qubits
                                : binomial(num_qubits, static_cast<std::uint32_t>(weight));
}

SectorBasis::SectorBasis(SymmetryGroup group, std::int32_t weight, std::int32_t threads,
                         const std::function<void(double)>& progress)
    : group_(std::move(group)), weight_(weight), chunks_((group_.num_qubits() + 7) / 8) {
    const std::uint32_t n = group_.num_qubits();
    if (weight != any_weight && (weight < 0 || static_cast<std::uint32_t>(weight) > n)) {
        throw std::invalid_argument("weight must be in 0.." + std::to_string(n) + ", got " +
                                    std::to_string(weight));
    }
    const std::uint64_t total = candidates(n, weight);
    {
        // At least total / |G| orbits of 16 bytes (representative and root)
        // are kept: refused before the enumeration when that cannot fit.
        const double least = 16.0 * static_cast<double>(total / group_.order());
        char detail[96];
        std::snprintf(detail, sizeof detail, "%.3g candidate states over a group of %zu elements",
                      static_cast<double>(total), group_.order());
        check_memory(least >= 1.8e19 ? std::numeric_limits<std::uint64_t>::max()
                                     : static_cast<std::uint64_t>(least),
                     "the sector's basis", detail);
    }
    const std::uint64_t items = (total + chunk_candidates - 1) / chunk_candidates;
    const Policy policy = Policy::for_work(threads, total * group_.order());
    if (!policy.is_serial()) prepare_team(threads);
    const bool trivial = group_.trivial();
    // Each item's representatives and orbit sizes, joined in item order.
    std::vector<std::vector<std::uint64_t>> found(std::min(items, batch_chunks));
    std::vector<std::vector<std::uint32_t>> orbits(found.size());
    for (std::uint64_t first = 0; first < items; first += batch_chunks) {
        const std::uint64_t count = std::min(batch_chunks, items - first);
        bool failed = false;
        policy.for_each(count, [&](std::uint64_t i) {
            const std::uint64_t item = first + i;
            const std::uint64_t begin = item * chunk_candidates;
            const std::uint64_t end = std::min(total, begin + chunk_candidates);
            std::vector<std::uint64_t>& reps = found[i];
            std::vector<std::uint32_t>& sizes = orbits[i];
            reps.clear();
            sizes.clear();
            try {
                if (trivial) reps.reserve(end - begin);
                std::uint64_t x = weight == any_weight ? begin : unrank(begin, n, weight);
                for (std::uint64_t r = begin; r < end; ++r) {
                    if (trivial) {
                        reps.push_back(x);
                    } else if (const std::uint64_t orbit = group_.orbit_if_representative(x)) {
                        reps.push_back(x);
                        sizes.push_back(static_cast<std::uint32_t>(orbit));
                    }
                    if (r + 1 < end) {
                        x = weight == any_weight ? x + 1
                                                 : (weight == 0 ? x : next_same_weight(x));
                    }
                }
            } catch (...) {
#pragma omp atomic write
                failed = true;
            }
        });
        if (failed) throw std::bad_alloc();
        for (std::uint64_t i = 0; i < count; ++i) {
            states_.insert(states_.end(), found[i].begin(), found[i].end());
            for (std::uint32_t orbit : orbits[i]) {
                roots_.push_back(std::sqrt(static_cast<double>(orbit)));
            }
        }
        if (progress) progress(static_cast<double>(first + count) / static_cast<double>(items));
    }
    if (trivial) roots_.assign(states_.size(), 1.0);
    states_.shrink_to_fit();
    roots_.shrink_to_fit();

    if (trivial && weight != any_weight) {
        rank_stride_ = n + 1;
        rank_tables_.assign(std::size_t{chunks_} * rank_stride_ * 256, 0);
        for (std::uint32_t c = 0; c < chunks_; ++c) {
            for (std::uint32_t below = 0; below <= n; ++below) {
                for (std::uint32_t byte = 0; byte < 256; ++byte) {
                    std::uint64_t r = 0;
                    std::uint32_t j = below;
                    for (std::uint32_t b = 0; b < 8; ++b) {
                        if ((byte >> b) & 1) {
                            r += binomial(8 * c + b, j + 1);
                            ++j;
                        }
                    }
                    rank_tables_[(c * rank_stride_ + below) * 256 + byte] = r;
                }
            }
        }
    }
    if (!trivial) {
        // Buckets of the high bits: about one state per bucket, at most 2^20.
        std::uint32_t bits = 1;
        while (bits < 20 && (std::uint64_t{1} << bits) < states_.size()) ++bits;
        bits = std::min(bits, n);
        bucket_shift_ = n - bits;
        buckets_.assign((std::uint64_t{1} << bits) + 1, 0);
        std::uint64_t s = 0;
        for (std::uint64_t b = 0; b < buckets_.size(); ++b) {
            while (s < states_.size() && (states_[s] >> bucket_shift_) < b) ++s;
            buckets_[b] = s;
        }
    }
}

std::uint64_t SectorBasis::find(std::uint64_t rep) const {
    const std::uint64_t b = rep >> bucket_shift_;
    const std::uint64_t* first = states_.data() + buckets_[b];
    const std::uint64_t* last = states_.data() + buckets_[b + 1];
    const std::uint64_t* it = std::lower_bound(first, last, rep);
    return (it != last && *it == rep) ? static_cast<std::uint64_t>(it - states_.data()) : npos;
}

void SectorBasis::embed(const Complex* phi, Complex* psi, std::int32_t threads) const {
    const std::uint64_t full = std::uint64_t{1} << num_qubits();
    Policy::for_work(threads, full).for_each_chunk(full, chunk_candidates,
                                                   [&](std::uint64_t b, std::uint64_t e) {
        std::fill(psi + b, psi + e, Complex(0.0, 0.0));
    });
    const std::size_t order = group_.order();
    Policy::for_work(threads, size() * order).for_each_chunk(size(), 4096,
                                                             [&](std::uint64_t b, std::uint64_t e) {
        for (std::uint64_t i = b; i < e; ++i) {
            for (std::size_t g = 0; g < order; ++g) {
                psi[group_.apply(g, states_[i])] =
                    divide(multiply(std::conj(group_.character(g)), phi[i]), roots_[i]);
            }
        }
    });
}

void SectorBasis::project(const Complex* psi, Complex* phi, std::int32_t threads) const {
    const std::size_t order = group_.order();
    Policy::for_work(threads, size() * order).for_each_chunk(size(), 4096,
                                                             [&](std::uint64_t b, std::uint64_t e) {
        for (std::uint64_t i = b; i < e; ++i) {
            Complex sum(0.0, 0.0);
            for (std::size_t g = 0; g < order; ++g) {
                sum = add(sum, multiply(group_.character(g), psi[group_.apply(g, states_[i])]));
            }
            // Each distinct state appears |stabiliser| = |G| / |orbit| times.
            const double stabiliser = static_cast<double>(order) / (roots_[i] * roots_[i]);
            phi[i] = divide(sum, std::round(stabiliser) * roots_[i]);
        }
    });
}

}  // namespace velmora
