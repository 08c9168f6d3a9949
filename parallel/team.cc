#include "parallel/team.h"

#include "parallel/policy.h"

#include <omp.h>
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <new>

namespace velmora {

namespace {

std::atomic<bool> team_started{false};
std::atomic<std::uint64_t> parallel_work_cutoff{default_min_parallel_work};
std::atomic<bool> teams_lost{false};

void after_fork_in_child() {
    if (team_started.load(std::memory_order_relaxed)) {
        teams_lost.store(true, std::memory_order_relaxed);
    }
}

void watch_fork() {
    static const bool registered = pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;
    (void)registered;
}

}  // namespace

std::int32_t bounded_team_size(std::int32_t num_threads) {
    const std::int32_t limit = std::min<std::int32_t>(max_team_size, omp_get_thread_limit());
    return std::clamp<std::int32_t>(num_threads, 1, std::max<std::int32_t>(limit, 1));
}

std::int32_t team_size_for(std::int32_t num_threads) {
    if (num_threads == 0 || teams_lost.load(std::memory_order_relaxed)) {
        return 0;
    }
    watch_fork();
    team_started.store(true, std::memory_order_relaxed);
    return bounded_team_size(num_threads);
}

void prepare_team(std::int32_t num_threads) {
    const std::int32_t team_size = team_size_for(num_threads);
    if (team_size <= 1) {
        return;
    }
    std::size_t stack_size = 8u << 20;
    pthread_attr_t attr;
    if (pthread_getattr_default_np(&attr) == 0) {
        std::size_t default_size = 0;
        if (pthread_attr_getstacksize(&attr, &default_size) == 0 && default_size > 0) {
            stack_size = default_size;
        }
        pthread_attr_destroy(&attr);
    }
    // Stacks, guard pages and thread-local storage of the workers.
    const std::size_t probe = static_cast<std::size_t>(team_size - 1) * (stack_size + (256u << 10));
    void* space = mmap(nullptr, probe, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (space == MAP_FAILED) {
        throw std::bad_alloc();
    }
    munmap(space, probe);
    // An empty region would be optimised away; the barrier in the body keeps
    // the region, and with it the creation of the team's threads.
#pragma omp parallel num_threads(team_size)
    {
#pragma omp barrier
    }
}

void prepare_team(std::int32_t num_threads, std::uint64_t work) {
    if (work >= min_parallel_work()) {
        prepare_team(num_threads);
    }
}

std::uint64_t min_parallel_work() {
    return parallel_work_cutoff.load(std::memory_order_relaxed);
}

std::uint64_t set_min_parallel_work(std::uint64_t work) {
    return parallel_work_cutoff.exchange(work, std::memory_order_relaxed);
}

}  // namespace velmora
