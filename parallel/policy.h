#pragma once

// How a loop over independent items runs: on the calling thread, or split
// statically over a team of OpenMP threads.
//
// Every parallel loop of the core goes through a Policy, so the decision
// between the two (the requested thread count, the small-size cutoff, the
// fork guard of team.h) is made here alone. A loop body is written once and
// receives the same items either way; since each item is computed by the same
// operations whoever runs it, the results never depend on the policy. Sums
// that must not depend on it either are formed by reduce.h.
//
// Bodies run inside an OpenMP region when a team runs them: they must not
// throw.

#include <algorithm>
#include <cstdint>

#include "parallel/team.h"

namespace velmora {

/// A loop is run by a team only when it has at least this much work, counted
/// in applications of one Pauli word to one amplitude (about 0.3 ns); below
/// it, starting the region and waking the team cost more than the team saves
/// (measured on two cores: 2 threads were slower than 1 up to 14 qubits), so
/// one thread is never slower.
inline constexpr std::uint64_t default_min_parallel_work = std::uint64_t{1} << 20;

/// The cutoff in force: default_min_parallel_work unless set with
/// set_min_parallel_work. The results do not depend on it.
std::uint64_t min_parallel_work();

/// Sets the cutoff and returns the previous one: tests set 0 so that the
/// team paths run on small inputs too, benchmarks measure the cutoff.
std::uint64_t set_min_parallel_work(std::uint64_t work);

/// Work of one element-wise sweep entry in those units: a sweep reads and
/// writes a few vectors and is bound by memory, not arithmetic.
inline constexpr std::uint64_t sweep_entry_work = 32;

class Policy {
public:
    /// The calling thread alone.
    static Policy serial() { return Policy(0); }

    /// The policy for a requested `num_threads`: the calling thread for 0,
    /// otherwise a team of team_size_for(num_threads) threads (which is the
    /// calling thread again in a child forked after teams had started).
    static Policy for_threads(std::int32_t num_threads) {
        return Policy(team_size_for(num_threads));
    }

    /// for_threads(num_threads), but the calling thread when `work` is below
    /// min_parallel_work.
    static Policy for_work(std::int32_t num_threads, std::uint64_t work) {
        return work < min_parallel_work() ? serial() : for_threads(num_threads);
    }

    /// Team size, or 0 for the calling thread.
    std::int32_t team_size() const { return team_; }
    bool is_serial() const { return team_ == 0; }

    /// body(i) for every i in [0, count): in increasing order on the calling
    /// thread, or split statically over the team.
    template <class Body>
    void for_each(std::uint64_t count, Body&& body) const {
        if (team_ == 0) {
            for (std::uint64_t i = 0; i < count; ++i) {
                body(i);
            }
            return;
        }
        const std::int64_t items = static_cast<std::int64_t>(count);
#pragma omp parallel for schedule(static) num_threads(team_)
        for (std::int64_t i = 0; i < items; ++i) {
            body(static_cast<std::uint64_t>(i));
        }
    }

    /// body(begin, end) for the consecutive chunks of `chunk` entries of
    /// [0, n) (the last one may be shorter), chunks as the items of for_each.
    template <class Body>
    void for_each_chunk(std::uint64_t n, std::uint64_t chunk, Body&& body) const {
        for_each((n + chunk - 1) / chunk, [&](std::uint64_t c) {
            const std::uint64_t begin = c * chunk;
            body(begin, std::min(n, begin + chunk));
        });
    }

    /// body(begin, end) once per team member over its own contiguous share of
    /// [0, count), the shares differing in size by at most one (the static
    /// schedule without chunk size, written out); once over everything on
    /// the calling thread.
    template <class Body>
    void for_each_share(std::uint64_t count, Body&& body) const {
        if (team_ == 0) {
            body(std::uint64_t{0}, count);
            return;
        }
        const std::uint64_t team = static_cast<std::uint64_t>(team_);
        const std::uint64_t base = count / team;
        const std::uint64_t extra = count % team;
        for_each(team, [&](std::uint64_t rank) {
            const std::uint64_t begin = rank * base + std::min(rank, extra);
            body(begin, begin + base + (rank < extra ? 1 : 0));
        });
    }

private:
    explicit Policy(std::int32_t team) : team_(team) {}

    std::int32_t team_;
};

}  // namespace velmora
