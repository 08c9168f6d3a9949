#include "parallel/team.h"

#include "parallel/policy.h"

#include <dirent.h>
#include <omp.h>
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora {

namespace {

std::atomic<bool> team_started{false};
std::atomic<std::uint64_t> parallel_work_cutoff{default_min_parallel_work};
std::atomic<bool> teams_lost{false};
std::atomic<bool> parent_had_threads{false};

/// The number of threads of this process, from /proc (1 when unreadable).
int thread_count() {
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return 1;
    }
    int count = 0;
    while (const dirent* entry = readdir(tasks)) {
        count += entry->d_name[0] != '.';
    }
    closedir(tasks);
    return count;
}

// The OpenMP runtime keeps its idle threads between regions, and they do not
// survive fork: a region opened in the child would wait for them forever.
// Whoever started them (this library or any other user of the same runtime),
// a child forked from a process that had more than one thread runs serially.
void before_fork() {
    parent_had_threads.store(team_started.load(std::memory_order_relaxed) || thread_count() > 1,
                             std::memory_order_relaxed);
}

void after_fork_in_child() {
    if (parent_had_threads.load(std::memory_order_relaxed)) {
        teams_lost.store(true, std::memory_order_relaxed);
    }
}

// Registered when the module is loaded, before anything could fork.
[[maybe_unused]] const bool fork_watch_registered =
    pthread_atfork(before_fork, nullptr, after_fork_in_child) == 0;

/// The team size this thread has already started (the runtime keeps one pool
/// of workers per calling thread).
thread_local std::int32_t started_here = 1;

/// Calling threads that own a pool of workers. Each such pool stays alive as
/// long as its thread; a thread beyond max_team_owners runs on its own.
std::atomic<std::int32_t> owners{0};

struct PoolOwnership {
    bool owner = false;
    ~PoolOwnership() {
        if (owner) {
            owners.fetch_sub(1, std::memory_order_relaxed);
        }
    }
};
thread_local PoolOwnership pool;

void* idle_worker(void*) {
    return nullptr;
}

/// The stack size the OpenMP runtime gives its workers: OMP_STACKSIZE (or
/// GOMP_STACKSIZE) as the runtime reads it, a number with an optional B, K, M
/// or G suffix (K when absent), else the default thread stack size.
std::size_t worker_stack_size() {
    const char* text = std::getenv("OMP_STACKSIZE");
    if (text == nullptr) {
        text = std::getenv("GOMP_STACKSIZE");
    }
    if (text != nullptr) {
        char* end = nullptr;
        const unsigned long long value = std::strtoull(text, &end, 10);
        if (end != text) {
            while (*end == ' ') ++end;
            std::size_t unit = 1024;
            switch (*end) {
                case 'b': case 'B': unit = 1; break;
                case 'm': case 'M': unit = std::size_t{1} << 20; break;
                case 'g': case 'G': unit = std::size_t{1} << 30; break;
                default: break;
            }
            return static_cast<std::size_t>(value) * unit;
        }
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
    return stack_size;
}

/// Creates and joins `count` threads with the workers' stack size. The
/// OpenMP runtime ends the process when it cannot create a worker (memory
/// for the stacks, RLIMIT_NPROC, a container's pids limit); this finds out
/// first and throws instead: std::bad_alloc when the address space for the
/// stacks is missing, std::runtime_error when a thread cannot be created.
void try_workers(std::int32_t count, std::int32_t team_size) {
    const std::size_t stack = worker_stack_size();
    // Stacks, guard pages and thread-local storage of the workers.
    const std::size_t probe = static_cast<std::size_t>(count) * (stack + (256u << 10));
    void* space = mmap(nullptr, probe, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (space == MAP_FAILED) {
        throw std::bad_alloc();
    }
    munmap(space, probe);
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        throw std::bad_alloc();
    }
    pthread_attr_setstacksize(&attr, stack);
    std::vector<pthread_t> started;
    started.reserve(static_cast<std::size_t>(count));
    int failure = 0;
    for (std::int32_t w = 0; w < count && failure == 0; ++w) {
        pthread_t thread;
        failure = pthread_create(&thread, &attr, idle_worker, nullptr);
        if (failure == 0) {
            started.push_back(thread);
        }
    }
    pthread_attr_destroy(&attr);
    for (pthread_t thread : started) {
        pthread_join(thread, nullptr);
    }
    if (failure != 0) {
        throw std::runtime_error(
            "cannot start a team of " + std::to_string(team_size) + " threads: creating worker " +
            std::to_string(started.size() + 1) + " failed (" + std::strerror(failure) +
            "; worker stack " + std::to_string(stack >> 10) +
            " KiB). Ask for fewer threads (num_threads), or 0 for the calling thread");
    }
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
    team_started.store(true, std::memory_order_relaxed);
    const std::int32_t size = bounded_team_size(num_threads);
    if (size > 1 && !pool.owner) {
        if (owners.fetch_add(1, std::memory_order_relaxed) >= max_team_owners) {
            owners.fetch_sub(1, std::memory_order_relaxed);
            return 0;
        }
        pool.owner = true;
    }
    return size;
}

void prepare_team(std::int32_t num_threads) {
    const std::int32_t team_size = team_size_for(num_threads);
    if (team_size <= started_here) {
        return;
    }
    try_workers(team_size - 1, team_size);
    // An empty region would be optimised away; the barrier in the body keeps
    // the region, and with it the creation of the team's threads.
#pragma omp parallel num_threads(team_size)
    {
#pragma omp barrier
    }
    started_here = team_size;
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
