#pragma once
// For the C++ unit tests: ranks simulated by the threads of one process, so
// that the code that runs over processes can be checked without MPI. Every
// simulated rank runs on its own std::thread and makes the same sequence of
// transport calls; each call meets the others at a barrier.

#include <barrier>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "parallel/ranks.h"

namespace velmora::testing {

/// What the simulated ranks share.
class ThreadGroup {
public:
    explicit ThreadGroup(std::uint64_t count)
        : count_(count), sync_(static_cast<std::ptrdiff_t>(count)), values_(count),
          sends_{std::vector<const Complex*>(count), std::vector<const Complex*>(count)} {}

    std::uint64_t count() const { return count_; }

private:
    friend class ThreadTransport;
    std::uint64_t count_;
    std::barrier<> sync_;
    std::vector<const double*> values_;
    std::vector<const Complex*> sends_[2];
};

class ThreadTransport final : public Transport {
public:
    ThreadTransport(ThreadGroup& group, std::uint64_t rank) : group_(group), rank_(rank) {}

    void all_gather(const double* values, std::size_t count, double* all) override {
        group_.values_[rank_] = values;
        group_.sync_.arrive_and_wait();
        for (std::uint64_t r = 0; r < group_.count_; ++r) {
            std::memcpy(all + r * count, group_.values_[r], count * sizeof(double));
        }
        group_.sync_.arrive_and_wait();
    }

    // An exchange publishes the send buffer and meets the others at a
    // barrier; finishing copies the partner's buffer and meets them again, so
    // no rank changes its send buffer before its partner has read it.
    void start_exchange(std::uint64_t partner, const Complex* send, Complex* recv,
                        std::uint64_t count, int slot) override {
        group_.sends_[slot][rank_] = send;
        pending_[slot] = {partner, recv, count};
        ++exchanges_;
        group_.sync_.arrive_and_wait();
    }

    void finish_exchange(int slot) override {
        const Pending& p = pending_[slot];
        std::memcpy(static_cast<void*>(p.recv), group_.sends_[slot][p.partner],
                    p.count * sizeof(Complex));
        group_.sync_.arrive_and_wait();
    }

    /// Exchanges started so far by this rank.
    std::uint64_t exchanges() const { return exchanges_; }

private:
    struct Pending {
        std::uint64_t partner = 0;
        Complex* recv = nullptr;
        std::uint64_t count = 0;
    };

    ThreadGroup& group_;
    std::uint64_t rank_;
    Pending pending_[2];
    std::uint64_t exchanges_ = 0;
};

/// Runs body(ranks) on `count` simulated ranks, each on its own thread with
/// a Ranks view of `slice` amplitudes, and waits for all of them.
inline void on_ranks(std::uint64_t count, std::uint64_t slice,
                     const std::function<void(Ranks&)>& body) {
    ThreadGroup group(count);
    std::vector<std::thread> threads;
    unsigned bits = 0;
    while ((std::uint64_t{1} << bits) < count) ++bits;
    for (std::uint64_t r = 0; r < count; ++r) {
        threads.emplace_back([&group, &body, r, bits, slice] {
            ThreadTransport transport(group, r);
            Ranks ranks(transport, bits, r, slice);
            body(ranks);
        });
    }
    for (std::thread& t : threads) t.join();
}

}  // namespace velmora::testing
